"""Signs the shipped GGUF, ONNX and SafeTensors sample models with a C2PA
data hash, verifies them, then changes one byte of each and verifies again.

Needs the `c2pa` extra: pip install 'tarnwick[c2pa]' (the C2PA SDK, which
brings `cryptography`, used here only to make a throwaway test certificate;
a real signer uses their own certificate chain and key).

    sign_file(model, cert=CHAIN, key=KEY)   reserve, hash, sign, patch: one pass
    verify_file(model, trust=ANCHORS)       the SDK's checks and tarnwick's binding check
"""

import datetime
import pathlib
import shutil
import sys
import tempfile

import tarnwick

SAMPLES = pathlib.Path(__file__).resolve().parent / "models"


def test_certificate():
    """A test CA and an ES256 signing certificate it issued, valid for a day:
    (chain PEM, key PEM, CA PEM). The SDK refuses self-signed signers."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def make(subject, issuer, key, issuer_key, ca):
        b = (x509.CertificateBuilder()
             .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
             .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
             .public_key(key.public_key()).serial_number(x509.random_serial_number())
             .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
             .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
             .add_extension(x509.KeyUsage(digital_signature=not ca, content_commitment=False, key_encipherment=False,
                                          data_encipherment=False, key_agreement=False, key_cert_sign=ca,
                                          crl_sign=ca, encipher_only=False, decipher_only=False), critical=True)
             .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
             .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()),
                            critical=False))
        if not ca:
            b = b.add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False)
        return b.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM)

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca = make("example CA", "example CA", ca_key, ca_key, True)
    leaf = make("example signer", "example CA", key, ca_key, False)
    return leaf + ca, key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                        serialization.NoEncryption()), ca


def show(v):
    print(f"    {v.state}" + (f" - signed by {v.signer}, issued by {v.issuer}" if v.signer else ""))
    for code, text in v.failures:
        print(f"      failed {code}: {text}")
    b = v.binding
    print(f"      binding: store at {b.store_range}, location {'ok' if b.location_ok else 'wrong'}, "
          f"hash {'ok' if b.hash_ok else 'differs'}")


def main() -> int:
    try:
        chain, key, ca = test_certificate()
    except ImportError as e:  # cryptography comes with the C2PA SDK
        print(f"skipped: tarnwick sign needs the C2PA SDK: pip install 'tarnwick[c2pa]' ({e})")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        for sample in sorted(SAMPLES.iterdir()):
            model = pathlib.Path(tmp) / sample.name
            shutil.copy(sample, model)
            try:
                r = tarnwick.sign_file(model, cert=chain, key=key)
            except ImportError as e:  # the message says what to install
                print(f"skipped: {e}")
                return 0
            print(f"{model.name}: signed, a {r.store_range[1]}-byte store at {r.store_range[0]}, "
                  f"manifest {r.label}")
            print("  verify, trusting the example CA:")
            good = tarnwick.verify_file(model, trust=ca)
            show(good)
            print("  verify, with no trust anchors:")
            show(tarnwick.verify_file(model))
            data = bytearray(model.read_bytes())
            # A weight byte (tensor data ends the GGUF and SafeTensors samples;
            # the ONNX one has only a graph, so a letter of its producer name).
            at = data.find(b"tarnwick-samples")
            data[at + 1 if at >= 0 else len(data) - 5] ^= 0x01
            model.write_bytes(data)
            print("  verify after changing one byte of the model:")
            bad = tarnwick.verify_file(model, trust=ca)
            show(bad)
            if good.state != "trusted" or bad.state != "invalid":
                print("unexpected verdict", file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
