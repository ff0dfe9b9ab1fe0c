"""Test certificates for signing with the C2PA SDK, made at test time, and
the SDK's data-hashed calls as tarnwick reaches them (tarnwick._sdk)."""

import datetime
import io
import json
import base64

import c2pa
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

ASSET_FORMAT = "application/octet-stream"


def placeholder(builder, signer):
    from tarnwick import _sdk
    return _sdk.load("sign").placeholder(builder, signer)


def sign(builder, signer, exclusions, digest, alg="sha256"):
    from tarnwick import _sdk
    return _sdk.load("sign").sign(builder, signer, exclusions, digest, alg)


def _name(subject):
    """An x509.Name from a common name, or from (OID, value) pairs in order."""
    if isinstance(subject, x509.Name):
        return subject
    if isinstance(subject, str):
        return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)])
    return x509.Name([x509.NameAttribute(oid, value) for oid, value in subject])


def _certificate(subject, issuer, key, issuer_key, ca, start, end, usage=ExtendedKeyUsageOID.EMAIL_PROTECTION,
                 serial=None):
    flags = dict.fromkeys(["content_commitment", "key_encipherment", "data_encipherment",
                           "key_agreement", "encipher_only", "decipher_only"], False)
    builder = (x509.CertificateBuilder()
               .subject_name(_name(subject)).issuer_name(_name(issuer))
               .public_key(key.public_key())
               .serial_number(serial or x509.random_serial_number())
               .not_valid_before(start)
               .not_valid_after(end)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
               .add_extension(x509.KeyUsage(digital_signature=not ca, key_cert_sign=ca, crl_sign=ca,
                                            **flags), critical=True)
               .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
               .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()),
                              critical=False))
    if not ca:
        # A time-stamping certificate must say so, critically.
        builder = builder.add_extension(x509.ExtendedKeyUsage([usage]),
                                        critical=usage == ExtendedKeyUsageOID.TIME_STAMPING)
    return builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM)


def _pkcs8(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def credentials(expired=False, ca_name="tarnwick test CA", subject="tarnwick test signer", lifetime=None,
                tsa=False):
    """A fresh test CA and an ES256 signing certificate it issued:
    (certificate chain PEM, private key PEM, CA certificate PEM). The SDK
    refuses a self-signed CA as a signer, and certificates without an
    extended key usage it accepts or an authority key identifier. `expired`: the signing certificate
    ended yesterday. `subject`: a common name, or (OID, value) pairs.
    `lifetime`: the signing certificate ends that long from now (a
    timedelta). `tsa`: also a time-stamping certificate and its key, issued
    by the same CA, appended to the tuple."""
    now = datetime.datetime.now(datetime.timezone.utc)
    day = datetime.timedelta(days=1)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    key = ec.generate_private_key(ec.SECP256R1())
    ca = _certificate(ca_name, ca_name, ca_key, ca_key, True, now - day, now + 7 * day)
    start, end = now - day, now + (lifetime if lifetime is not None else 7 * day)
    if expired:
        start, end = now - 10 * day, now - day
    leaf = _certificate(subject, ca_name, key, ca_key, False, start, end)
    out = (leaf + ca, _pkcs8(key), ca)
    if tsa:
        tsa_key = ec.generate_private_key(ec.SECP256R1())
        out += (_certificate("tarnwick test TSA", ca_name, tsa_key, ca_key, False, now - day, now + 7 * day,
                             ExtendedKeyUsageOID.TIME_STAMPING), _pkcs8(tsa_key))
    return out


def forgery(chain):
    """A chain that copies `chain`'s signer (subject, issuer, serial number,
    validity) and its CA's name, with keys of its own: (certificate chain
    PEM, private key PEM, CA certificate PEM)."""
    real = x509.load_pem_x509_certificate(chain)
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca = _certificate(real.issuer, real.issuer, ca_key, ca_key, True, now - datetime.timedelta(days=1),
                      now + datetime.timedelta(days=7))
    leaf = _certificate(real.subject, real.issuer, key, ca_key, False, real.not_valid_before_utc,
                        real.not_valid_after_utc, serial=real.serial_number)
    return leaf + ca, _pkcs8(key), ca


def signer(chain, key):
    return c2pa.Signer.from_info(c2pa.C2paSignerInfo(b"es256", chain, key, None))


def builder(title):
    """A Builder for a model's manifest: a created action, nothing else."""
    return c2pa.Builder({
        "claim_generator_info": [{"name": "tarnwick test", "version": "0.1"}],
        "title": title,
        "assertions": [{"label": "c2pa.actions", "data": {"actions": [{
            "action": "c2pa.created",
            "digitalSourceType": "http://cv.iptc.org/newscodes/digitalsourcetype/trainedAlgorithmicMedia",
        }]}}],
    })


def verify(model, store, trust_anchor):
    """The SDK's own validation of `store` against the bytes `model`, trusting
    `trust_anchor` (PEM): ({"success"|"failure"|"informational": [(code,
    explanation), ...]}, the data hash assertion as {"exclusions": [(offset,
    length), ...], "alg": str, "hash": bytes})."""
    context = c2pa.Context.from_dict({"trust": {"user_anchors": trust_anchor.decode()}})
    with c2pa.Reader(ASSET_FORMAT, io.BytesIO(model), store, context) as reader:
        report = json.loads(reader.json())
        detail = json.loads(reader.detailed_json())
    active = report["active_manifest"]
    results = report["validation_results"]["activeManifest"]
    codes = {kind: [(s["code"], s.get("explanation", "")) for s in results.get(kind, [])]
             for kind in ("success", "failure", "informational")}
    assertion = detail["manifests"][active]["assertion_store"]["c2pa.hash.data"]
    data_hash = {
        "exclusions": [(e["start"], e["length"]) for e in assertion["exclusions"]],
        "alg": assertion["alg"],
        "hash": base64.b64decode(assertion["hash"]),
    }
    return codes, data_hash
