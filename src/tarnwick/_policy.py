"""Who may have signed: trust anchors (trust=, --trust), a policy on the
signer's certificate subject (signer=, --signer) and a pin of the signer's
public key (signer_key=, --signer-key).

Each fails closed. Anchors that hold no certificate are an error, not an
empty trust list; a policy or a pin without anchors is an error, since
anyone can make a certificate of any name and any key. The subject is
judged on what the SDK reports of the signer (crjson's certificateInfo),
the key on the signer's certificate itself, the first of the x5chain in the
signature's protected header."""

import hashlib
import os

from ._errors import UsageError
from ._source import read_regular

# Every subject attribute the SDK reports; a policy on any other could never match.
ATTRIBUTES = ("CN", "O", "OU", "C", "L", "ST")
MISMATCH = "tarnwick.signer.mismatch"
KEY_MISMATCH = "tarnwick.signer.key_mismatch"
UNTRUSTED = "tarnwick.signer.untrusted"
PEM_LIMIT = 16 << 20  # the C2PA trust list is a few hundred KiB


class SignerPolicy:
    """A parsed signer policy: (attribute, value) pairs, all required."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __str__(self):
        return ", ".join(_pair(a, v) for a, v in self.pairs)


def _pair(attribute, value):
    return f"{attribute}={value.replace(chr(92), chr(92) * 2).replace(',', chr(92) + ',')}"


def _split(text):
    """`text` cut at each comma not escaped by a backslash, escapes resolved."""
    parts, part, chars = [], [], iter(text)
    for c in chars:
        if c == "\\":
            escaped = next(chars, None)
            if escaped not in (",", "\\"):
                raise UsageError('--signer: a backslash escapes only "," or "\\"')
            part.append(escaped)
        elif c == ",":
            parts.append("".join(part))
            part = []
        else:
            part.append(c)
    return parts + ["".join(part)]


def signer_policy(value):
    """A SignerPolicy from "ATTR=value, ATTR=value" (None passes through)."""
    if value is None or isinstance(value, SignerPolicy):
        return value
    if not isinstance(value, str):
        raise UsageError(f"--signer: a policy is text, not {type(value).__name__}")
    pairs = []
    for part in _split(value):
        attribute, equals, wanted = part.partition("=")
        attribute, wanted = attribute.strip(), wanted.strip()
        if not equals or not attribute or not wanted:
            raise UsageError(f"--signer: {part.strip()!r} is not ATTR=value")
        if attribute not in ATTRIBUTES:
            raise UsageError(f"--signer: {attribute} is not a subject attribute the SDK reports "
                             f"({', '.join(ATTRIBUTES)})")
        if any(attribute == a for a, _ in pairs):
            raise UsageError(f"--signer: {attribute} is given twice")
        pairs.append((attribute, wanted))
    return SignerPolicy(pairs)



class KeyPin:
    """The signer's public key required: its SubjectPublicKeyInfo (DER)."""

    def __init__(self, spki):
        self.spki = spki

    def __str__(self):
        return _fingerprint(self.spki)


def _fingerprint(spki):
    return "sha256:" + hashlib.sha256(spki).hexdigest()


def _pem_input(value, given):
    """(where, bytes) of PEM given as bytes, as text holding "-----BEGIN", or as a path."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        pem = bytes(value)
    elif isinstance(value, str) and "-----BEGIN" in value:
        pem = value.encode("utf-8", "replace")
    elif isinstance(value, (str, os.PathLike)):
        return os.fspath(value), read_regular(value, PEM_LIMIT, "a PEM file")
    else:
        raise UsageError(f"{given}: a path, bytes or PEM text, not {type(value).__name__}")
    if len(pem) > PEM_LIMIT:
        raise UsageError(f"{given}: {len(pem)} bytes, more than the {PEM_LIMIT} bytes read of a PEM file")
    return given, pem


def _certificates(pem):
    from cryptography import x509
    try:
        return x509.load_pem_x509_certificates(pem)
    except ValueError:
        return []


def anchors(value):
    """Trust anchors (a path, bytes or PEM text) as PEM text of the
    certificates they hold, at least one (None passes through)."""
    if value is None:
        return None
    from cryptography.hazmat.primitives import serialization
    where, pem = _pem_input(value, "the trust anchors given")
    found = _certificates(pem)
    if not found:
        raise UsageError(f"{where}: holds no PEM certificate (trust anchors)")
    return "".join(c.public_bytes(serialization.Encoding.PEM).decode("ascii") for c in found)


def key_pin(value):
    """A KeyPin from a PEM public key or a PEM certificate (its key): a
    path, bytes or text (None passes through)."""
    if value is None or isinstance(value, KeyPin):
        return value
    from cryptography.exceptions import UnsupportedAlgorithm
    from cryptography.hazmat.primitives import serialization
    where, pem = _pem_input(value, "--signer-key")
    key = None
    if b"-----BEGIN PUBLIC KEY-----" in pem:
        try:
            key = serialization.load_pem_public_key(pem[pem.index(b"-----BEGIN PUBLIC KEY-----"):])
        except (ValueError, TypeError, UnsupportedAlgorithm):
            key = None
    else:
        found = _certificates(pem)
        key = found[0].public_key() if found else None
    if key is None:
        raise UsageError(f"--signer-key: {where} holds no PEM public key or certificate")
    return KeyPin(key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo))


def check_options(anchors, signer, signer_key):
    """A policy or a pin needs anchors to mean anything."""
    if anchors is None and (signer is not None or signer_key is not None):
        raise UsageError("--signer and --signer-key need --trust: without a trust anchor anyone can make a "
                         "certificate of any name and any key")


def _name(fields):
    return ", ".join(f"{k}={v}" for k, v in fields.items())


def _leaf(chain):
    """The signer's certificate, or None when the chain cannot be read."""
    if not chain:
        return None
    from cryptography import x509
    try:
        return x509.load_der_x509_certificate(bytes(chain[0]))
    except (ValueError, TypeError):
        return None


def failures(chain, certificate_info, policy, pin, anchors_given, sdk_trusted):
    """[(code, text)]: who signed, judged against the options. `chain`: the
    signer's certificates (DER, its own first) from the signature, or None;
    `certificate_info`: the SDK's report of the signer ({} when none);
    `anchors_given`: trust anchors were given; `sdk_trusted`: the SDK found
    the signer chains to them. Without anchors there is no failure here:
    `valid` says only that the store is intact."""
    info = certificate_info if isinstance(certificate_info, dict) else {}
    subject = info.get("subject") if isinstance(info.get("subject"), dict) else {}
    leaf = _leaf(chain)
    if subject:
        shown = f'"{_name(subject)}"'
    elif leaf is not None:
        shown = f'"{leaf.subject.rfc4514_string()}"'
    else:
        shown = "unknown (the SDK reports no certificate)"
    out = []
    if anchors_given and not sdk_trusted:
        out.append((UNTRUSTED, f"the signer {shown} does not chain to the given trust anchors"))
    if policy is not None:
        unmet = [(a, v) for a, v in policy.pairs if subject.get(a) != v]
        if unmet:
            out.append((MISMATCH, f"the signer is {shown} but --signer requires "
                                  f"{', '.join(_pair(a, v) for a, v in unmet)}"))
    if pin is not None:
        from cryptography.exceptions import UnsupportedAlgorithm
        from cryptography.hazmat.primitives import serialization
        found = None
        if leaf is not None:
            try:
                found = leaf.public_key().public_bytes(serialization.Encoding.DER,
                                                       serialization.PublicFormat.SubjectPublicKeyInfo)
            except (ValueError, TypeError, UnsupportedAlgorithm):
                found = None
        if found is None:
            out.append((KEY_MISMATCH, f"the signer's key cannot be read from its signature, but --signer-key "
                                      f"requires {pin}"))
        elif found != pin.spki:
            out.append((KEY_MISMATCH, f"the signer {shown} has key {_fingerprint(found)} but --signer-key "
                                      f"requires {pin}"))
    return out
