"""Who may have signed: a policy on the signer's certificate subject
(signer=, --signer) and a pin of the signer's certificate (signer_key=,
--signer-key), judged on what the SDK reports of the active manifest's
signer (crjson's certificateInfo).

The SDK reports neither the signer's certificate chain nor its public key,
only the certificate's subject and issuer (CN, O, OU, C, L, ST; the last
value of a repeated attribute), serial number and validity. So the pin is a
pin of the certificate by those, not of the key; it means as much as the
issuer's care never to reuse a serial number, so it goes with a trust
anchor for that issuer."""

import datetime
import os

from ._errors import UsageError

# Every subject attribute the SDK reports; a policy on any other could never match.
ATTRIBUTES = ("CN", "O", "OU", "C", "L", "ST")
MISMATCH = "tarnwick.signer.mismatch"
KEY_MISMATCH = "tarnwick.signer.key_mismatch"
PEM_LIMIT = 1 << 20


class SignerPolicy:
    """A parsed signer policy: (attribute, value) pairs, all required."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __str__(self):
        return ", ".join(_pair(a, v) for a, v in self.pairs)


class CertificatePin:
    """What the SDK reports of a certificate, taken from the pinned one."""

    def __init__(self, serial, issuer, subject, validity):
        self.serial, self.issuer, self.subject, self.validity = serial, issuer, subject, validity


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


def _reported(name):
    """An x509.Name as the SDK reports one: its attributes in order, the last
    value of a repeated one kept."""
    from cryptography.x509.oid import NameOID
    short = {NameOID.COMMON_NAME: "CN", NameOID.ORGANIZATION_NAME: "O", NameOID.ORGANIZATIONAL_UNIT_NAME: "OU",
             NameOID.COUNTRY_NAME: "C", NameOID.LOCALITY_NAME: "L", NameOID.STATE_OR_PROVINCE_NAME: "ST"}
    out = {}
    for attribute in name:
        if attribute.oid in short:
            out[short[attribute.oid]] = attribute.value
    return out


def certificate_pin(value):
    """A CertificatePin from a PEM certificate (the first of a chain): a
    path, bytes or text (None passes through)."""
    if value is None or isinstance(value, CertificatePin):
        return value
    from cryptography import x509
    if isinstance(value, (bytes, bytearray)) or (isinstance(value, str) and "-----BEGIN" in value):
        where, pem = "the pinned key", bytes(value.encode("ascii") if isinstance(value, str) else value)
    else:
        from ._source import read_regular
        where, pem = os.fspath(value), read_regular(value, PEM_LIMIT, "a PEM file")
    if b"-----BEGIN CERTIFICATE-----" not in pem:
        if b"PUBLIC KEY-----" in pem:
            raise UsageError(f"--signer-key: {where} holds a public key, which the SDK does not report of a "
                             "signer; give the signer's certificate (PEM)")
        raise UsageError(f"--signer-key: {where} holds no PEM certificate")
    try:
        cert = x509.load_pem_x509_certificate(pem[pem.index(b"-----BEGIN CERTIFICATE-----"):])
    except ValueError as e:
        raise UsageError(f"--signer-key: {where}: {e}") from None
    return CertificatePin(cert.serial_number, _reported(cert.issuer), _reported(cert.subject),
                          (cert.not_valid_before_utc, cert.not_valid_after_utc))


def _when(text):
    try:
        return datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None


def _name(fields):
    return ", ".join(f"{k}={v}" for k, v in fields.items())


def _describe(serial, issuer, subject, validity, with_validity):
    text = f'"{_name(subject)}" (serial {serial:x}, issued by "{_name(issuer)}"'
    if with_validity:
        text += f", valid {' to '.join(v.isoformat() if v else 'unknown' for v in validity)}"
    return text + ")"


def failures(certificate, policy, pin):
    """The policy's and the pin's failures on `certificate`, the SDK's
    certificateInfo of the active manifest's signer ({} when it has none)."""
    out = []
    subject = certificate.get("subject") if isinstance(certificate.get("subject"), dict) else {}
    shown = f'"{_name(subject)}"' if subject else "unknown (the SDK reports no certificate)"
    if policy is not None:
        unmet = [(a, v) for a, v in policy.pairs if subject.get(a) != v]
        if unmet:
            out.append((MISMATCH, f"the signer is {shown} but --signer requires "
                                  f"{', '.join(_pair(a, v) for a, v in unmet)}"))
    if pin is not None:
        try:
            serial = int(certificate.get("serialNumber"), 16)
        except (TypeError, ValueError):
            serial = None
        issuer = certificate.get("issuer") if isinstance(certificate.get("issuer"), dict) else {}
        validity = certificate.get("validity") if isinstance(certificate.get("validity"), dict) else {}
        validity = (_when(validity.get("notBefore")), _when(validity.get("notAfter")))
        found = (serial, issuer, subject, validity)
        wanted = (pin.serial, pin.issuer, pin.subject, pin.validity)
        if found != wanted:
            if serial is None:
                out.append((KEY_MISMATCH, f"the signer is {shown} but --signer-key requires "
                                          f"{_describe(*wanted, False)}"))
            else:
                same = found[:3] == wanted[:3]  # then only the validity tells them apart
                out.append((KEY_MISMATCH, f"the signer's certificate is {_describe(*found, same)} but "
                                          f"--signer-key requires {_describe(*wanted, same)}"))
    return out


# TEMPORARY shims (replaced by the policy rework)
def anchors(value):
    if value is None:
        return None
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("ascii")
    if isinstance(value, str) and value.lstrip().startswith("-----BEGIN"):
        return value
    from ._source import read_regular
    return read_regular(value, 16 << 20).decode("ascii")


def key_pin(value):
    return certificate_pin(value)


def check_options(anchors, signer, signer_key):
    return None


_old_failures = failures


def failures(chain, certificate, policy, pin, anchors_given, sdk_trusted):  # noqa: F811
    return _old_failures(certificate, policy, pin)
