"""Quick start: sign and verify models with a throwaway test PKI.

1. Makes a test CA and a signing certificate it issues (EC P-256), in a
   temporary folder.
2. Copies each sample model from examples/models/ and signs it with
   tarnwick.sign_file.
3. Builds a small sharded SafeTensors model (three shards and
   model.safetensors.index.json) and signs it as one with tarnwick.sign_model.
4. Verifies everything, trusting the test CA: one line each, "trusted".
5. Changes one byte of a shard's tensor data and shows verify_model naming
   that shard invalid.

Needs the c2pa extra and numpy and safetensors:

    pip install 'tarnwick[c2pa]' numpy safetensors
    python examples/quickstart.py

A real signer uses their own certificate chain and key; docs/certificates.md
says what the certificate needs.
"""

import datetime
import json
import pathlib
import shutil
import sys
import tempfile

import tarnwick

SAMPLES = pathlib.Path(__file__).resolve().parent / "models"


def make_pki(folder: pathlib.Path):
    """A test CA and a signing certificate it issued, valid for a day. Writes
    ca.pem, chain.pem (the signing certificate, then the CA) and key.pem, and
    returns their paths."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def name(common_name):
        return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])

    def certificate(subject, issuer, key, issuer_key, ca):
        builder = (
            x509.CertificateBuilder()
            .subject_name(name(subject))
            .issuer_name(name(issuer))
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
            .add_extension(
                x509.KeyUsage(
                    digital_signature=not ca, content_commitment=False, key_encipherment=False,
                    data_encipherment=False, key_agreement=False, key_cert_sign=ca, crl_sign=ca,
                    encipher_only=False, decipher_only=False,
                ),
                critical=True,
            )
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .add_extension(
                x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()), critical=False
            )
        )
        if not ca:
            # The C2PA SDK accepts a signing certificate with this usage
            # (docs/certificates.md lists what it refuses).
            builder = builder.add_extension(
                x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False
            )
        return builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM)

    ca_key = ec.generate_private_key(ec.SECP256R1())
    key = ec.generate_private_key(ec.SECP256R1())
    ca = certificate("quickstart test CA", "quickstart test CA", ca_key, ca_key, True)
    leaf = certificate("quickstart signer", "quickstart test CA", key, ca_key, False)

    paths = folder / "ca.pem", folder / "chain.pem", folder / "key.pem"
    paths[0].write_bytes(ca)
    paths[1].write_bytes(leaf + ca)
    paths[2].write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    paths[2].chmod(0o600)
    return paths


def make_sharded_model(folder: pathlib.Path, shards: int = 3) -> pathlib.Path:
    """A small SafeTensors model in `shards` files and its index."""
    import numpy as np
    from safetensors.numpy import save_file

    folder.mkdir()
    rng = np.random.default_rng(0)
    weight_map, total = {}, 0
    for i in range(1, shards + 1):
        shard = f"model-{i:05d}-of-{shards:05d}.safetensors"
        tensors = {
            f"layers.{i}.weight": rng.standard_normal((64, 64)).astype(np.float32),
            f"layers.{i}.bias": rng.standard_normal(64).astype(np.float32),
        }
        save_file(tensors, str(folder / shard))
        for tensor_name, tensor in tensors.items():
            weight_map[tensor_name] = shard
            total += tensor.nbytes
    index = {"metadata": {"total_size": total}, "weight_map": weight_map}
    entry = folder / "model.safetensors.index.json"
    entry.write_text(json.dumps(index, indent=2) + "\n")
    return entry


def main() -> int:
    try:
        import c2pa  # noqa: F401 - the c2pa extra
        import cryptography  # noqa: F401
        import numpy  # noqa: F401
        import safetensors  # noqa: F401
    except ImportError as e:
        print(f"quickstart needs the c2pa extra, numpy and safetensors: "
              f"pip install 'tarnwick[c2pa]' numpy safetensors ({e})", file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory(prefix="tarnwick-quickstart-") as tmp:
        work = pathlib.Path(tmp)
        ca, chain, key = make_pki(work)
        print(f"test PKI: {ca.name}, {chain.name}, {key.name} in {work}")

        # One file each: the shipped samples, signed in place (on copies).
        files = []
        for sample in sorted(SAMPLES.iterdir()):
            model = work / sample.name
            shutil.copy(sample, model)
            r = tarnwick.sign_file(model, cert=chain, key=key)
            print(f"signed {model.name}: a {r.store_range[1]}-byte store at {r.store_range[0]}")
            files.append(model)

        # A model of many files, signed as one.
        entry = make_sharded_model(work / "sharded")
        r = tarnwick.sign_model(entry, cert=chain, key=key)
        print(f"signed {entry.parent.name}/ as one model of {len(r.members)} files "
              f"(model-level store {pathlib.Path(r.store_path).name})")

        print("verify, trusting the test CA:")
        ok = True
        for model in files:
            v = tarnwick.verify_file(model, trust=ca)
            print(f"  {model.name}: {v.state}")
            ok &= v.state == "trusted"
        v = tarnwick.verify_model(entry, trust=ca)
        print(f"  {entry.parent.name}/ ({len(v.members)} files): {v.state}")
        ok &= v.state == "trusted"

        # One byte of tensor data: the last byte of the second shard.
        shard = entry.parent / "model-00002-of-00003.safetensors"
        data = bytearray(shard.read_bytes())
        data[-1] ^= 0x01
        shard.write_bytes(data)
        print(f"changed one byte of {shard.name}'s tensor data; verify again:")
        v = tarnwick.verify_model(entry, trust=ca)
        print(f"  {entry.parent.name}/: {v.state}")
        for member in v.members:
            print(f"    {member.path}: {member.state}")
            for code, text in member.failures:
                print(f"      {code}: {text}")
        bad = [m.path for m in v.members if m.state == "invalid"]
        ok &= v.state == "invalid" and bad == [shard.name]

    if not ok:
        print("unexpected verdict", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
