"""The OpenSSF model signing format, as model-signing 1.1.1 writes and reads
it for its "key" and "certificate" methods: a Sigstore bundle (JSON) holding
a DSSE envelope over an in-toto statement whose predicate lists one SHA-256
digest per file of the model's folder (the "files" serialization).

What its verifier hashes, and so what `files` must hold here: every regular
file under the folder, at any depth, hidden ones included, named by its
POSIX path relative to the folder; not directories (empty ones leave no
trace); not these top-level paths and what is under them: `.git`,
`.gitattributes`, `.github`, `.gitignore` (its default), the signature file
it was given, and whatever the statement's own `ignore_paths` list. A C2PA
store beside a model file (`<stem>.c2pa`) is a file of the model like any
other: the bundle covers it, while the C2PA listing of the folder leaves the
bundle out. A symbolic link stops model-signing's verifier unless it is
given --allow_symlinks; the bundles written here say allow_symlinks false.
A model of one file (not a folder) is hashed as the single name ".".

Keys: model-signing signs and verifies only ECDSA, on P-256, P-384 or P-521,
with SHA-256, SHA-384 or SHA-512 to match the curve; RSA and Ed25519 keys
and certificates are refused by both methods, so they are refused here.

What its verifier checks: the media type, one DSSE signature over the PAE of
the payload (the first, if there are more), the payload and statement types,
the predicate type, one subject whose SHA-256 is that of the listed digests
concatenated in their order, and then that the listed files and digests are
exactly those it hashes. The "key" method's bundle names its public key only
by a hint, the SHA-256 (hex) of its PEM SubjectPublicKeyInfo, so verifying
needs the key itself. The "certificate" method's bundle carries the chain,
leaf first; the verifier builds it to the given certificates at the leaf's
notBefore, and takes the leaf if its keyUsage has digitalSignature or its
extendedKeyUsage has codeSigning. Here the chain is built at the time of
verifying (these bundles carry no time-stamp), to the Web PKI profile's rules
for CAs.

Stricter than model-signing here: one signature exactly; no duplicate JSON
keys or resource names; names already in normal form; SHA-256 digests only;
no ignore path that would leave out the whole model; bundles of the older
v0.2 format (predicate https://model_signing/Digests/v0.1) are refused.

Messages do not name the bundle's file: the caller, which read it, does."""

import base64
import binascii
import datetime
import hashlib
import json
import re
from typing import Dict, List, NamedTuple, Optional, Tuple

from ._errors import ModelError, SigningError, UsageError
from ._results import OmsVerification

BUNDLE_NAME = "model.sig"
BUNDLE_LIMIT = 64 << 20  # bytes of bundle JSON read: about 300,000 files' digests
CHAIN_LIMIT = 16  # certificates in a bundle's chain
PEM_LIMIT = 1 << 20
NAME_LIMIT = 4096  # characters of a file's, a model's or an ignored path's name

MEDIA_TYPE = "application/vnd.dev.sigstore.bundle.v0.3+json"
PAYLOAD_TYPE = "application/vnd.in-toto+json"
STATEMENT_TYPE = "https://in-toto.io/Statement/v1"
PREDICATE_TYPE = "https://model_signing/signature/v1.0"
OLD_PREDICATE_TYPE = "https://model_signing/Digests/v0.1"

# model-signing's default exclusions, in the order its command line records them.
IGNORE_PATHS = (BUNDLE_NAME, ".git", ".gitattributes", ".github", ".gitignore")

MISMATCH = "oms.file.mismatch"
MISSING = "oms.file.missing"
EXTRA = "oms.file.extra"
SIGNATURE_INVALID = "oms.signature.invalid"
UNTRUSTED = "oms.signer.untrusted"

KEYLESS = ("the signature is a Sigstore keyless bundle: verifying it needs the Sigstore services, "
           "which tarnwick does not reach")
_CURVES = {"secp256r1": "SHA256", "secp384r1": "SHA384", "secp521r1": "SHA512"}
_HEX64 = re.compile(r"[0-9a-fA-F]{64}\Z")


class Bundle(NamedTuple):
    """A bundle's parsed content; nothing in it is verified yet."""
    method: str  # "key" or "certificate"
    model_name: str
    files: Dict[str, bytes]  # relative POSIX path -> SHA-256 digest, in the statement's order
    ignore_paths: Tuple[str, ...]  # normalised, as the verifier applies them
    payload: bytes  # the statement's JSON bytes, as signed
    signature: bytes  # DER ECDSA over the DSSE PAE of payload
    key_hint: Optional[str]  # "key": the hex SHA-256 of the signer's PEM public key, if recorded
    chain: List[bytes]  # "certificate": DER certificates, leaf first




def ignored(rel: str) -> bool:
    """Whether model-signing's verifier leaves the folder's file `rel` out by
    default (a git path, or the bundle under its usual name)."""
    return any(rel == p or rel.startswith(p + "/") for p in IGNORE_PATHS)


def pae(payload: bytes) -> bytes:
    """DSSE's pre-authentication encoding of an in-toto payload: what is signed."""
    return b"DSSEv1 %d %s %d %s" % (len(PAYLOAD_TYPE), PAYLOAD_TYPE.encode(), len(payload), payload)


def _shown(text):
    """Text from a bundle, quoted, cut short enough for a message."""
    return repr(text if len(text) <= 80 else text[:80] + "...")


def _bad_name(rel):
    """Why `rel` is not a relative POSIX path in normal form, or None."""
    if not isinstance(rel, str) or not rel:
        return "an empty name"
    if len(rel) > NAME_LIMIT:
        return f"a name longer than {NAME_LIMIT} characters"
    if "\0" in rel:
        return "a name holding a NUL"
    if rel.startswith("/"):
        return "an absolute path"
    if any(part in ("", ".", "..") for part in rel.split("/")):
        return "a path not in normal form"
    return None


def _check_files(files, error):
    for rel, digest in files.items():
        if rel == "." and len(files) == 1:
            pass  # a model of one file
        elif _bad_name(rel):
            raise error(f"{_shown(rel)}: {_bad_name(rel)}, not a file's path relative to the model's folder")
        if not isinstance(digest, (bytes, bytearray)) or len(digest) != 32:
            raise error(f"{rel}: a SHA-256 digest is 32 bytes")


def _order(rel):
    # model-signing sorts by path components, so "a/b" comes before "a-c".
    return rel.split("/")


def statement(model_name: str, files: Dict[str, bytes], ignore=()) -> bytes:
    """The in-toto statement model-signing's "files" method makes for a model
    folder named `model_name` whose files have these SHA-256 digests
    (relative POSIX path -> 32 bytes), `ignore` the other paths of the
    folder it leaves out: its bytes exactly, the keys of its
    JSON objects in the order model-signing's code sets them (its own output
    orders them by string hashes, differently in each process)."""
    if not isinstance(model_name, str) or not model_name:
        # An empty name drops out of the protobuf JSON, and model-signing then cannot read the statement.
        raise UsageError("an OpenSSF model signature needs the model's name")
    _check_files(files, UsageError)
    for rel in files:
        if ignored(rel):
            raise UsageError(f"{rel}: model-signing leaves this path out of a model, so it cannot be signed")
    names = sorted(files, key=_order)
    root = hashlib.sha256(b"".join(bytes(files[n]) for n in names)).hexdigest()
    document = {
        "_type": STATEMENT_TYPE,
        "subject": [{"name": model_name, "digest": {"sha256": root}}],
        "predicateType": PREDICATE_TYPE,
        "predicate": {
            "serialization": {"method": "files", "hash_type": "sha256", "allow_symlinks": False,
                              "ignore_paths": list(IGNORE_PATHS) + [p for p in ignore if p not in IGNORE_PATHS]},
            "resources": [{"name": n, "algorithm": "sha256", "digest": bytes(files[n]).hex()} for n in names],
        },
    }
    # As protobuf's MessageToJson writes it: json.dumps, indent 2, ASCII only.
    return json.dumps(document, indent=2, ensure_ascii=True).encode("utf-8")


def _hash_for(public_key, error):
    """The ECDSA hash model-signing pairs with the key's curve."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec
    if not isinstance(public_key, ec.EllipticCurvePublicKey):
        raise error(f"an OpenSSF model signature needs an ECDSA key (P-256, P-384 or P-521), not "
                    f"{_key_kind(public_key)}")
    name = public_key.curve.name
    if name not in _CURVES:
        raise error(f"an OpenSSF model signature needs an ECDSA key on P-256, P-384 or P-521, not {name}")
    return ec.ECDSA(getattr(hashes, _CURVES[name])())


def _key_kind(public_key):
    kind = type(public_key).__name__
    for prefix, words in (("RSA", "an RSA key"), ("Ed25519", "an Ed25519 key"), ("Ed448", "an Ed448 key"),
                          ("DSA", "a DSA key"), ("X25519", "an X25519 key"), ("X448", "an X448 key")):
        if kind.startswith(prefix):
            return words
    return "this key"


def _pem(public_key):
    from cryptography.hazmat.primitives import serialization
    return public_key.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)


def key_hint(public_key) -> str:
    """How the "key" method names its public key: SHA-256 (hex) of its PEM."""
    return hashlib.sha256(_pem(public_key)).hexdigest()


def sign_bundle(model_name, files, *, sign, public_key, chain=None, method="certificate", ignore=()) -> bytes:
    """The bundle (JSON bytes) of an OpenSSF model signature over the model
    folder `model_name` whose files have these SHA-256 digests. `sign(data)`
    returns the DER ECDSA signature over `data` with the key's curve's hash
    (SHA-256 for P-256, SHA-384 for P-384, SHA-512 for P-521); `public_key`,
    its public key (a cryptography object). method "certificate": `chain`,
    DER certificates, the signing certificate first; method "key": no chain,
    the bundle names the key by its hint. The signature is checked against
    `public_key` before the bundle is returned."""
    from cryptography import exceptions, x509
    if method not in ("certificate", "key"):
        raise UsageError(f'an OpenSSF model signature\'s method is "certificate" or "key", not {method!r}')
    ecdsa = _hash_for(public_key, UsageError)
    if method == "key":
        if chain:
            raise UsageError('the "key" method records no certificates: give chain only with "certificate"')
        material = {"publicKey": {"hint": key_hint(public_key)}, "tlogEntries": []}
    else:
        if not chain:
            raise UsageError('the "certificate" method needs the certificate chain, the signing certificate first')
        if len(chain) > CHAIN_LIMIT:
            raise UsageError(f"a chain of {len(chain)} certificates is longer than the {CHAIN_LIMIT} read back")
        try:
            leaf = x509.load_der_x509_certificate(bytes(chain[0]))
            for der in chain[1:]:
                x509.load_der_x509_certificate(bytes(der))
        except (TypeError, ValueError) as e:
            raise UsageError(f"the certificate chain is not DER certificates: {e}") from None
        if _pem(leaf.public_key()) != _pem(public_key):
            raise UsageError("the signing certificate (the chain's first) is not for this public key")
        material = {"x509CertificateChain": {"certificates": [
            {"rawBytes": base64.b64encode(bytes(der)).decode("ascii")} for der in chain]}, "tlogEntries": []}
    for p in ignore:
        if _bad_name(p) or p in files or any(rel.startswith(p + "/") for rel in files):
            raise UsageError(f"{_shown(p)}: not a path the signature may leave out")
    payload = statement(model_name, files, ignore)
    signature = sign(pae(payload))
    if not isinstance(signature, (bytes, bytearray)):
        raise SigningError("the signer returned no signature")
    try:
        public_key.verify(bytes(signature), pae(payload), ecdsa)
    except exceptions.InvalidSignature:
        raise SigningError("the signature made does not verify with the public key: a key that does not "
                           "match, or not DER ECDSA with the curve's hash") from None
    document = {
        "mediaType": MEDIA_TYPE,
        "verificationMaterial": material,
        "dsseEnvelope": {
            "payload": base64.b64encode(payload).decode("ascii"),
            "payloadType": PAYLOAD_TYPE,
            "signatures": [{"sig": base64.b64encode(bytes(signature)).decode("ascii"), "keyid": ""}],
        },
    }
    return json.dumps(document, separators=(",", ":")).encode("ascii")


def _unique(pairs):
    out = {}
    for key, value in pairs:
        if key in out:
            raise ModelError(f"the signature's JSON holds {_shown(key)} twice")
        out[key] = value
    return out


def _no_constant(name):
    raise ModelError(f"the signature's JSON holds {name}, which JSON does not allow")


def _json(data, what):
    try:
        text = bytes(data).decode("utf-8")
    except UnicodeDecodeError:
        raise ModelError(f"{what} is not UTF-8 text") from None
    try:
        return json.loads(text, object_pairs_hook=_unique, parse_constant=_no_constant)
    except RecursionError:
        raise ModelError(f"{what} nests too deeply") from None
    except ModelError:
        raise
    except ValueError as e:  # a JSONDecodeError, or an integer too long to convert
        raise ModelError(f"{what} is not JSON: {e}") from None


_KINDS = {str: "text", list: "a list", dict: "an object", bool: "true or false"}


def _field(obj, key, kind, where):
    """obj[key], of type `kind`; `where`: the JSON path to obj, for messages."""
    if not isinstance(obj, dict) or key not in obj:
        raise ModelError(f"the signature has no {where}{key}")
    if not isinstance(obj[key], kind):
        raise ModelError(f"the signature's {where}{key} is not {_KINDS[kind]}")
    return obj[key]


def _base64(text, where):
    try:
        return base64.b64decode(text.encode("ascii"), validate=True)
    except (UnicodeEncodeError, binascii.Error):
        raise ModelError(f"the signature's {where} is not base64") from None


def read_bundle(data: bytes) -> Bundle:
    """The parsed Bundle of an OpenSSF model signature's bytes, its shape
    checked (ModelError otherwise); nothing verified."""
    if len(data) > BUNDLE_LIMIT:
        raise ModelError(f"a signature of {len(data)} bytes is larger than the {BUNDLE_LIMIT} bytes tarnwick reads")
    top = _json(data, "the signature")
    if not isinstance(top, dict):
        raise ModelError("the signature is not a Sigstore bundle (a JSON object)")
    material = _field(top, "verificationMaterial", dict, "")
    tlog = material.get("tlogEntries", [])
    if not isinstance(tlog, list):
        raise ModelError("the signature's verificationMaterial.tlogEntries is not a list")
    if "certificate" in material or "timestampVerificationData" in material or tlog:
        raise ModelError(KEYLESS)
    media = _field(top, "mediaType", str, "")
    if media != MEDIA_TYPE:
        raise ModelError(f"the signature's media type is {_shown(media)}, not {MEDIA_TYPE}")
    kinds = [k for k in ("publicKey", "x509CertificateChain") if k in material]
    if len(kinds) != 1:
        raise ModelError("the signature's verificationMaterial holds neither a public key hint nor a certificate "
                         "chain, or both")
    hint, chain = None, []
    if kinds[0] == "publicKey":
        method = "key"
        key = _field(material, "publicKey", dict, "verificationMaterial.")
        if key.get("hint") is not None:
            hint = _field(key, "hint", str, "verificationMaterial.publicKey.")
            if not _HEX64.match(hint):
                raise ModelError("the signature's public key hint is not a SHA-256 (64 hexadecimal digits)")
    else:
        method = "certificate"
        certs = _field(_field(material, "x509CertificateChain", dict, "verificationMaterial."), "certificates",
                       list, "verificationMaterial.x509CertificateChain.")
        if not 1 <= len(certs) <= CHAIN_LIMIT:
            raise ModelError(f"the signature's certificate chain holds {len(certs)} certificates, not 1 to "
                             f"{CHAIN_LIMIT}")
        chain = [_base64(_field(c, "rawBytes", str, "verificationMaterial.x509CertificateChain.certificates[]."),
                         "certificate") for c in certs]
    if "messageSignature" in top:
        raise ModelError("the signature signs a message, not a DSSE envelope over a model's statement")
    envelope = _field(top, "dsseEnvelope", dict, "")
    payload_type = _field(envelope, "payloadType", str, "dsseEnvelope.")
    if payload_type != PAYLOAD_TYPE:
        raise ModelError(f"the signature's payload type is {_shown(payload_type)}, not {PAYLOAD_TYPE}")
    payload = _base64(_field(envelope, "payload", str, "dsseEnvelope."), "payload")
    signatures = _field(envelope, "signatures", list, "dsseEnvelope.")
    if len(signatures) != 1:
        raise ModelError(f"the signature's envelope holds {len(signatures)} signatures, not one")
    signature = _base64(_field(signatures[0], "sig", str, "dsseEnvelope.signatures[]."), "DSSE signature")
    model_name, files, ignore = _read_statement(payload)
    if method == "certificate":
        _leaf_key(chain)
    return Bundle(method, model_name, files, ignore, payload, signature, hint, chain)


def _leaf_key(chain):
    from cryptography import x509
    try:
        certs = [x509.load_der_x509_certificate(der) for der in chain]
    except ValueError as e:
        raise ModelError(f"the signature's certificate chain holds a damaged certificate: {e}") from None
    key = certs[0].public_key()
    _hash_for(key, ModelError)
    return certs


def _read_statement(payload):
    s = _json(payload, "the signed statement")
    if _field(s, "_type", str, "statement.") != STATEMENT_TYPE:
        raise ModelError(f"the signed statement's type is {_shown(s['_type'])}, not {STATEMENT_TYPE}")
    predicate_type = _field(s, "predicateType", str, "statement.")
    if predicate_type == OLD_PREDICATE_TYPE:
        raise ModelError("the signature is in model-signing's format before 1.0 (v0.2), which tarnwick does not read")
    if predicate_type != PREDICATE_TYPE:
        raise ModelError(f"the signed statement's predicate type is {_shown(predicate_type)}, not {PREDICATE_TYPE}")
    subjects = _field(s, "subject", list, "statement.")
    if len(subjects) != 1:
        raise ModelError(f"the signed statement has {len(subjects)} subjects, not one")
    name = _field(subjects[0], "name", str, "statement.subject[].")
    if len(name) > NAME_LIMIT:
        raise ModelError(f"the signed statement's model name is longer than {NAME_LIMIT} characters")
    root = _field(_field(subjects[0], "digest", dict, "statement.subject[]."), "sha256", str,
                  "statement.subject[].digest.")
    predicate = _field(s, "predicate", dict, "statement.")
    where = "statement.predicate.serialization."
    serialization = _field(predicate, "serialization", dict, "statement.predicate.")
    method = _field(serialization, "method", str, where)
    if method != "files":
        raise ModelError(f"the signature hashes the model by {_shown(method)}; tarnwick reads only the \"files\" "
                         "method")
    hash_type = _field(serialization, "hash_type", str, where)
    if hash_type != "sha256":
        raise ModelError(f"the signature hashes files with {_shown(hash_type)}; tarnwick compares only SHA-256")
    _field(serialization, "allow_symlinks", bool, where)
    ignore = []
    for p in _field(serialization, "ignore_paths", list, where) if "ignore_paths" in serialization else ():
        if not isinstance(p, str) or len(p) > NAME_LIMIT:
            raise ModelError(f"the signature's {where}ignore_paths holds something other than a path")
        if p.startswith("/"):
            continue  # model-signing drops a path outside the model
        parts = [q for q in p.split("/") if q not in ("", ".")]
        if not parts:
            raise ModelError(f"the signature's {where}ignore_paths leaves out the whole model ({_shown(p)})")
        ignore.append("/".join(parts))
    files = {}
    where = "statement.predicate.resources[]."
    for r in _field(predicate, "resources", list, "statement.predicate."):
        rel = _field(r, "name", str, where)
        if len(rel) > NAME_LIMIT:
            raise ModelError(f"the signature names a file longer than {NAME_LIMIT} characters")
        if _field(r, "algorithm", str, where) != "sha256":
            raise ModelError(f"{rel}: the signature's digest is {_shown(r['algorithm'])}, not sha256")
        digest = _field(r, "digest", str, where)
        if not _HEX64.match(digest):
            raise ModelError(f"{rel}: the signature's digest is not 64 hexadecimal digits")
        if rel in files:
            raise ModelError(f"{rel}: the signature lists this file twice")
        files[rel] = bytes.fromhex(digest)
    try:
        _check_files(files, ModelError)
    except ModelError as e:
        raise ModelError(f"the signature names a file {e}") from None
    if not _HEX64.match(root) or hashlib.sha256(b"".join(files.values())).hexdigest() != root.lower():
        raise ModelError("the signed statement's subject digest is not that of its files' digests")
    return name, files, tuple(ignore)


def _under(rel, paths):
    return any(rel == p or rel.startswith(p + "/") for p in paths)


def _signer_name(cert):
    from cryptography.x509.oid import NameOID
    names = cert.subject.get_attributes_for_oid(NameOID.COMMON_NAME)
    return str(names[-1].value) if names else cert.subject.rfc4514_string()


def _load_key(public_key_pem):
    from cryptography.hazmat.primitives import serialization
    if not isinstance(public_key_pem, (bytes, bytearray)) or len(public_key_pem) > PEM_LIMIT:
        raise UsageError(f"the public key is PEM bytes of at most {PEM_LIMIT} bytes")
    try:
        key = serialization.load_pem_public_key(bytes(public_key_pem))
    except (TypeError, ValueError) as e:
        raise UsageError(f"the public key is not a PEM public key: {e}") from None
    _hash_for(key, UsageError)
    return key


def _load_anchors(anchors_pem):
    from cryptography import x509
    if not isinstance(anchors_pem, str) or len(anchors_pem) > 16 * PEM_LIMIT:
        raise UsageError(f"the trust anchors are PEM text of at most {16 * PEM_LIMIT} characters")
    try:
        return x509.load_pem_x509_certificates(anchors_pem.encode("ascii"))
    except (UnicodeEncodeError, ValueError) as e:
        raise UsageError(f"the trust anchors are not PEM certificates: {e}") from None


def _chain_failure(certs, anchors):
    """Why the chain does not lead to `anchors` now, or None."""
    from cryptography import x509
    from cryptography.x509 import verification as v
    from cryptography.x509.oid import ExtendedKeyUsageOID
    # The signing certificate's extensions are model-signing's to judge; the CAs' follow the Web PKI's rules.
    leaf = certs[0]
    now = datetime.datetime.now(datetime.timezone.utc)
    if now > leaf.not_valid_after_utc:
        return (f"the signing certificate expired at {leaf.not_valid_after_utc:%Y-%m-%d %H:%M:%S} UTC, and the "
                "signature carries no time-stamp")
    if now < leaf.not_valid_before_utc:
        return f"the signing certificate is valid only from {leaf.not_valid_before_utc:%Y-%m-%d %H:%M:%S} UTC"
    if not hasattr(v.PolicyBuilder, "extension_policies"):
        return "checking the certificate chain needs cryptography 45 or newer"
    # A root the bundle carries proves nothing (trust is in the anchors) and only sends the search in circles.
    intermediates = [c for c in certs[1:] if c.subject != c.issuer]
    builder = (v.PolicyBuilder().store(v.Store(anchors))
               .extension_policies(ca_policy=v.ExtensionPolicy.webpki_defaults_ca(),
                                   ee_policy=v.ExtensionPolicy.permit_all()))
    try:
        builder.build_client_verifier().verify(certs[0], intermediates)
    except v.VerificationError as e:
        return f"the signing certificate does not chain to a trust anchor: {e}"
    try:
        if leaf.extensions.get_extension_for_class(x509.KeyUsage).value.digital_signature:
            return None
    except x509.ExtensionNotFound:
        pass
    try:
        if ExtendedKeyUsageOID.CODE_SIGNING in leaf.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value:
            return None
    except x509.ExtensionNotFound:
        pass
    return "the signing certificate may not sign: neither keyUsage digitalSignature nor extendedKeyUsage codeSigning"


def verify_bundle(bundle: bytes, files: Dict[str, bytes], *, anchors_pem: Optional[str] = None,
                  public_key_pem: Optional[bytes] = None) -> OmsVerification:
    """Verify an OpenSSF model signature (the bundle's bytes) against the
    model folder's files as the caller listed and hashed them (relative
    POSIX path -> SHA-256 digest; without the paths ignored() names and
    without the bundle's own file). Files under the statement's
    ignore_paths are left out, as model-signing leaves them out.

    "certificate": the signature is checked with the signing certificate's
    key; the signer is trusted when the chain leads to one of `anchors_pem`
    (PEM text) now, or when that key is `public_key_pem`. "key": the
    signature is checked with `public_key_pem`, which is required
    (UsageError without it), and a signature that verifies is trusted.

    A malformed bundle raises ModelError (see read_bundle)."""
    from cryptography import exceptions
    b = read_bundle(bundle)
    _check_files(files, UsageError)
    pinned = _load_key(public_key_pem) if public_key_pem is not None else None
    anchors = _load_anchors(anchors_pem) if anchors_pem is not None else None
    failures = []
    trusted = False
    if b.method == "key":
        if pinned is None:
            raise UsageError("the signature names its signer's public key only by a hash: verifying it needs "
                             "that public key")
        key, signer = pinned, f"public key sha256:{key_hint(pinned)}"
        if b.key_hint is not None and b.key_hint.lower() != key_hint(pinned):
            failures.append((SIGNATURE_INVALID, f"signed with another key than the given one (sha256:{b.key_hint})"))
            key = None
        trusted = True
    else:
        certs = _leaf_key(b.chain)
        key, signer = certs[0].public_key(), _signer_name(certs[0])
        if pinned is not None and _pem(pinned) == _pem(key):
            trusted = True
        elif anchors:
            why = _chain_failure(certs, anchors)
            if why is None:
                trusted = True
            else:
                failures.append((UNTRUSTED, why))
        elif pinned is not None:
            failures.append((UNTRUSTED, "the signing certificate's key is not the given public key"))
        else:
            failures.append((UNTRUSTED, "no trust anchors given for the signing certificate"))
    if key is not None:
        try:
            key.verify(b.signature, pae(b.payload), _hash_for(key, ModelError))
        except exceptions.InvalidSignature:
            failures.append((SIGNATURE_INVALID, "the signature does not match the signed statement"))
    listed = {rel: d for rel, d in files.items() if not _under(rel, b.ignore_paths)}
    wrong = []
    for rel, digest in b.files.items():
        if rel not in listed:
            wrong.append((rel, (MISSING, f"{rel}: signed, but not in the model")))
        elif bytes(listed[rel]) != digest:
            wrong.append((rel, (MISMATCH, f"{rel}: its SHA-256 digest differs from the signed one")))
    for rel in sorted((r for r in listed if r not in b.files), key=_order):
        wrong.append((rel, (EXTRA, f"{rel}: in the model, but not signed")))
    failures += [f for _, f in wrong]
    invalid = any(code != UNTRUSTED for code, _ in failures)
    state = "invalid" if invalid else "trusted" if trusted else "valid"
    bad = {rel for rel, _ in wrong}
    signed_state = "invalid" if any(code == SIGNATURE_INVALID for code, _ in failures) else \
        "trusted" if trusted else "valid"
    states = [(rel, "invalid" if rel in bad else signed_state) for rel in b.files]
    states += [(rel, "invalid") for rel, (code, _) in wrong if code == EXTRA]
    return OmsVerification(state, failures, signer, states)
