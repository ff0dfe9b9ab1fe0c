"""The C2PA SDK (c2pa-python) as a signer and verifier of data-hashed models.

The library that c2pa-python bundles exports the SDK's signing of a store for
a data-hashed asset, but the Python wrapper does not expose it; this module is
the one place that calls it through ctypes. Everything else here uses the
wrapper's public API."""

import base64
import ctypes
import datetime
import io
import json

import c2pa
import c2pa.c2pa as _wrapper
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

# The store as raw JUMBF, the form a model file holds; signed in this format,
# the store has exactly the placeholder's size.
STORE_FORMAT = b"application/c2pa"
# What the SDK is told the asset is: it has no parser for model formats.
ASSET_FORMAT = "application/octet-stream"

# A handle of our own on the wrapper's library: the same loaded library, but
# separate function objects, so the prototypes below leave the wrapper's alone.
try:
    _lib = ctypes.CDLL(_wrapper._lib._name)
    _lib.c2pa_builder_data_hashed_placeholder, _lib.c2pa_builder_sign_data_hashed_embeddable
except AttributeError as e:  # a wrapper or library unlike the one this was written for
    raise ImportError(f"the C2PA SDK's data-hashed signing is not reachable: {e}") from e
_OUT_BYTES = ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte))

# int64_t c2pa_builder_data_hashed_placeholder(C2paBuilder*, uintptr_t reserved_size,
#                                              const char* format, const unsigned char** out)
_lib.c2pa_builder_data_hashed_placeholder.argtypes = [
    ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p, _OUT_BYTES]
_lib.c2pa_builder_data_hashed_placeholder.restype = ctypes.c_int64
# int64_t c2pa_builder_sign_data_hashed_embeddable(C2paBuilder*, C2paSigner*, const char* data_hash_json,
#     const char* format, C2paStream* asset /* NULL: the hash is given */, const unsigned char** out)
_lib.c2pa_builder_sign_data_hashed_embeddable.argtypes = [
    ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, _OUT_BYTES]
_lib.c2pa_builder_sign_data_hashed_embeddable.restype = ctypes.c_int64
# char* c2pa_error(void); int c2pa_free(const void*) releases both the error text and the bytes.
_lib.c2pa_error.argtypes = []
_lib.c2pa_error.restype = ctypes.c_void_p
_lib.c2pa_free.argtypes = [ctypes.c_void_p]
_lib.c2pa_free.restype = ctypes.c_int


def _take(size, out, call):
    if size < 0 or not out:
        raw = _lib.c2pa_error()
        text = ctypes.string_at(raw).decode("utf-8", "replace") if raw else "no error text"
        if raw:
            _lib.c2pa_free(raw)
        raise c2pa.C2paError(f"{call}: {text}")
    try:
        return ctypes.string_at(out, size)
    finally:
        _lib.c2pa_free(out)


def _handle(resource):
    return ctypes.cast(resource._handle, ctypes.c_void_p)


def placeholder(builder, signer):
    """A placeholder store of the size the signed store will have. It also
    adds the data hash assertion to the builder, so it must come before sign()."""
    out = ctypes.POINTER(ctypes.c_ubyte)()
    size = _lib.c2pa_builder_data_hashed_placeholder(
        _handle(builder), signer.reserve_size(), STORE_FORMAT, ctypes.byref(out))
    return _take(size, out, "c2pa_builder_data_hashed_placeholder")


def sign(builder, signer, exclusions, digest, alg="sha256"):
    """The signed store of a file whose data hash without `exclusions`
    [(offset, length), ...] is `digest`."""
    data_hash = {
        "exclusions": [{"start": offset, "length": length} for offset, length in exclusions],
        "name": "jumbf manifest",
        "alg": alg,
        "hash": list(digest),  # a byte list: the SDK does not take Base64 text here
        "pad": [],
    }
    out = ctypes.POINTER(ctypes.c_ubyte)()
    size = _lib.c2pa_builder_sign_data_hashed_embeddable(
        _handle(builder), _handle(signer), json.dumps(data_hash).encode(), STORE_FORMAT, None,
        ctypes.byref(out))
    return _take(size, out, "c2pa_builder_sign_data_hashed_embeddable")


def credentials():
    """A fresh test CA and an ES256 signing certificate it issued:
    (certificate chain PEM, private key PEM, CA certificate PEM). The SDK
    refuses self-signed signing certificates, and ones without an extended key
    usage or an authority key identifier."""
    now = datetime.datetime.now(datetime.timezone.utc)

    def name(common_name):
        return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])

    def certificate(subject, issuer, key, issuer_key, ca):
        usage = dict.fromkeys(["content_commitment", "key_encipherment", "data_encipherment",
                               "key_agreement", "encipher_only", "decipher_only"], False)
        builder = (x509.CertificateBuilder()
                   .subject_name(name(subject)).issuer_name(name(issuer))
                   .public_key(key.public_key())
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=7))
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
                   .add_extension(x509.KeyUsage(digital_signature=not ca, key_cert_sign=ca, crl_sign=ca,
                                                **usage), critical=True)
                   .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()),
                                  critical=False))
        if not ca:
            builder = builder.add_extension(
                x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False)
        return builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM)

    ca_key = ec.generate_private_key(ec.SECP256R1())
    key = ec.generate_private_key(ec.SECP256R1())
    ca = certificate("tarnwick test CA", "tarnwick test CA", ca_key, ca_key, True)
    leaf = certificate("tarnwick test signer", "tarnwick test CA", key, ca_key, False)
    key_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    return leaf + ca, key_pem, ca


def signer(chain, key):
    return c2pa.Signer.from_info(c2pa.C2paSignerInfo(b"es256", chain, key, None))


def builder(title):
    """A Builder for a model's manifest: a created action, nothing else."""
    return c2pa.Builder({
        "claim_generator_info": [{"name": "tarnwick example", "version": "0.1"}],
        "title": title,
        "assertions": [{"label": "c2pa.actions", "data": {"actions": [{
            "action": "c2pa.created",
            "digitalSourceType": "http://cv.iptc.org/newscodes/digitalsourcetype/trainedAlgorithmicMedia",
        }]}}],
    })


def verify(model, store, trust_anchor):
    """The SDK's validation of `store` against the bytes `model`, trusting
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
