"""Who signed and when: a policy on the signer's subject (signer=, --signer),
a pin of the signer's certificate (signer_key=, --signer-key), a bundle of
trust anchors, and RFC 3161 time-stamps from a loopback authority."""

import datetime
import pathlib
import subprocess
import sys
import time

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
import tarnwick  # noqa: E402

if not hasattr(tarnwick, "sign_file"):
    pytest.skip("this tarnwick cannot sign", allow_module_level=True)

import credentials  # noqa: E402
import tsa  # noqa: E402
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402
from program import tarnwick_program  # noqa: E402

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models" / "model.gguf"
SUBJECT = "O=Example AI, OU=Release, EU, CN=tarnwick test signer"  # as the SDK reports it
MISMATCH, KEY_MISMATCH = "tarnwick.signer.mismatch", "tarnwick.signer.key_mismatch"
EXPIRED = [("signingCredential.expired", "certificate expired")]


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    chain, key, ca = credentials.credentials(subject=[
        (NameOID.ORGANIZATION_NAME, "Example AI"), (NameOID.ORGANIZATIONAL_UNIT_NAME, "Release, EU"),
        (NameOID.COMMON_NAME, "tarnwick test signer")])
    folder = tmp_path_factory.mktemp("policy")
    for name, data in (("chain.pem", chain), ("ca.pem", ca)):
        (folder / name).write_bytes(data)
    model = folder / "model.gguf"
    tarnwick.sign_file(SAMPLE, cert=chain, key=key, output=model)
    return chain, key, ca, folder, model


def serial(pem):
    return f"{x509.load_pem_x509_certificate(pem).serial_number:x}"


POLICIES = [
    ("O=Example AI", []),
    (r" O = Example AI ,OU=Release\, EU,CN=tarnwick test signer", []),
    ("O=example ai", [(MISMATCH, f'the signer is "{SUBJECT}" but --signer requires O=example ai')]),
    ("O=Example AI, C=US, L=Paris", [(MISMATCH, f'the signer is "{SUBJECT}" but --signer requires C=US, L=Paris')]),
    (r"OU=Release\, US", [(MISMATCH, f'the signer is "{SUBJECT}" but --signer requires OU=Release\\, US')]),
]


@pytest.mark.parametrize("policy, failures", POLICIES)
def test_signer_policy(creds, policy, failures):
    v = tarnwick.verify_file(creds[4], trust=creds[2], signer=policy)
    assert (v.state, v.failures) == ("invalid" if failures else "trusted", failures)


MALFORMED = [
    ("", "--signer: '' is not ATTR=value"),
    ("O=Example AI, EU", "--signer: 'EU' is not ATTR=value"),
    ("O=", "--signer: 'O=' is not ATTR=value"),
    ("E=a@example.com", "--signer: E is not a subject attribute the SDK reports (CN, O, OU, C, L, ST)"),
    ("O=a, O=b", "--signer: O is given twice"),
    ("O=a\\b", '--signer: a backslash escapes only "," or "\\"'),
]


@pytest.mark.parametrize("policy, message", MALFORMED)
def test_malformed_policy_is_a_usage_error(creds, policy, message):
    with pytest.raises(tarnwick.UsageError) as e:
        tarnwick.verify_file(creds[4], signer=policy)
    assert str(e.value) == message


def test_cli_policy(creds):
    run = subprocess.run([tarnwick_program(), "verify", "--trust", creds[3] / "ca.pem", "--signer", "O=Example AI",
                          "--signer-key", creds[3] / "chain.pem", creds[4]],
                         capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stderr
    run = subprocess.run([tarnwick_program(), "verify", "--signer", "O=a, O=b", creds[4]],
                         capture_output=True, text=True, check=False)
    assert (run.returncode, run.stderr.splitlines()[-1]) == (
        2, "tarnwick verify: --signer: O is given twice")


def pins(creds):
    """(pinned PEM, failures): the signer's own certificate, as its chain or
    as bytes, and another's."""
    other_chain = credentials.credentials()[0]
    own = creds[0][: -len(creds[2])]
    return [
        (creds[3] / "chain.pem", []),
        (own, []),
        (other_chain, [(KEY_MISMATCH, f'the signer\'s certificate is "{SUBJECT}" (serial {serial(own)}, issued by '
                                      f'"CN=tarnwick test CA") but --signer-key requires "CN=tarnwick test signer" '
                                      f'(serial {serial(other_chain)}, issued by "CN=tarnwick test CA")')]),
    ]


@pytest.mark.parametrize("case", range(3))
def test_signer_key(creds, case):
    pin, failures = pins(creds)[case]
    v = tarnwick.verify_file(creds[4], trust=creds[2], signer_key=pin)
    assert (v.state, v.failures) == ("invalid" if failures else "trusted", failures)


def test_a_bare_public_key_cannot_be_pinned(creds):
    key = x509.load_pem_x509_certificate(creds[0]).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)
    with pytest.raises(tarnwick.UsageError) as e:
        tarnwick.verify_file(creds[4], signer_key=key)
    assert str(e.value) == ("--signer-key: the pinned key holds a public key, which the SDK does not report of a "
                            "signer; give the signer's certificate (PEM)")


def test_trust_bundle_of_several_anchors(creds):
    unrelated = [credentials.credentials(ca_name=f"unrelated CA {i}")[2] for i in (1, 2)]
    assert tarnwick.verify_file(creds[4], trust=unrelated[0] + creds[2] + unrelated[1]).state == "trusted"
    assert tarnwick.verify_file(creds[4], trust=unrelated[0] + unrelated[1]).state == "valid"


def test_policy_on_a_model_of_many_files(tmp_path, creds):
    pytest.importorskip("safetensors")
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "many"))
    import models
    entry = models.safetensors_model(str(tmp_path / "m"), shards=2)
    tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    assert tarnwick.verify_model(entry, trust=creds[2], signer="O=Example AI").state == "trusted"
    v = tarnwick.verify_model(entry, trust=creds[2], signer="CN=Release")
    wanted = (MISMATCH, f'the signer is "{SUBJECT}" but --signer requires CN=Release')
    assert (v.state, v.store_verification.failures) == ("invalid", [wanted])
    assert [(m.path, m.failures) for m in v.members if m.path.endswith(".safetensors")] == [
        ("model-00001-of-00002.safetensors", [wanted]), ("model-00002-of-00002.safetensors", [wanted])]


needs_openssl = pytest.mark.skipif(not tsa.AVAILABLE, reason="no openssl for the time-stamp authority")


@needs_openssl
def test_timestamp_is_reported(tmp_path):
    chain, key, ca, tsa_cert, tsa_key = credentials.credentials(tsa=True)
    with tsa.TimeStampAuthority(tsa_cert, tsa_key, ca) as authority:
        tarnwick.sign_file(SAMPLE, cert=chain, key=key, output=tmp_path / "m.gguf", tsa_url=authority.url)
        assert authority.answered == 1
    v = tarnwick.verify_file(tmp_path / "m.gguf", trust=ca)
    assert (v.state, v.timestamped, v.timestamp_authority, v.timestamp_trusted) == (
        "trusted", True, "CN=tarnwick test TSA", True)
    assert datetime.datetime.fromisoformat(v.signed_at) <= datetime.datetime.now(datetime.timezone.utc)
    run = subprocess.run([tarnwick_program(), "verify", tmp_path / "m.gguf"],
                         capture_output=True, text=True, check=False)
    assert f"  signed at   {v.signed_at} (time-stamped by CN=tarnwick test TSA, untrusted)" in run.stdout


# Signed with a certificate that expires seconds later, verified after it
# has: (the time-stamp authority's CA, state, failures, timestamped). The
# SDK keeps such a signature only when the time-stamp's own chain reaches a
# trust anchor.
EXPIRY = [
    ("signer's CA", "trusted", [], True),
    ("own CA, not anchored", "invalid", EXPIRED, True),
    (None, "invalid", EXPIRED, False),
]


@pytest.fixture(scope="module")
def expired(tmp_path_factory):
    folder = tmp_path_factory.mktemp("expired")
    chain, key, ca, tsa_cert, tsa_key = credentials.credentials(tsa=True, lifetime=datetime.timedelta(seconds=4))
    other = credentials.credentials(ca_name="TSA CA", tsa=True)
    authorities = {"signer's CA": (tsa_cert, tsa_key, ca), "own CA, not anchored": (other[3], other[4], other[2])}
    for i, (which, *_) in enumerate(EXPIRY):
        if which is None:
            tarnwick.sign_file(SAMPLE, cert=chain, key=key, output=folder / f"{i}.gguf")
            continue
        with tsa.TimeStampAuthority(*authorities[which]) as authority:
            tarnwick.sign_file(SAMPLE, cert=chain, key=key, output=folder / f"{i}.gguf", tsa_url=authority.url)
    end = x509.load_pem_x509_certificate(chain).not_valid_after_utc
    time.sleep(max(0.0, (end - datetime.datetime.now(datetime.timezone.utc)).total_seconds() + 1.5))
    return folder, ca


@needs_openssl
@pytest.mark.parametrize("case", range(len(EXPIRY)))
def test_timestamp_outlives_the_certificate(expired, case):
    _, state, failures, timestamped = EXPIRY[case]
    v = tarnwick.verify_file(expired[0] / f"{case}.gguf", trust=expired[1])
    assert (v.state, v.failures, v.timestamped) == (state, failures, timestamped)
