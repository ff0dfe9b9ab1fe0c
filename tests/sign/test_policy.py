"""Who signed and when: trust anchors (trust=, --trust), a policy on the
signer's subject (signer=, --signer), a pin of the signer's public key
(signer_key=, --signer-key), each failing closed against forgeries of the
names, and RFC 3161 time-stamps from a loopback authority."""

import datetime
import hashlib
import io
import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

c2pa = pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
import tarnwick  # noqa: E402

if not hasattr(tarnwick, "sign_file"):
    pytest.skip("this tarnwick cannot sign", allow_module_level=True)

import credentials  # noqa: E402
import tsa  # noqa: E402
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.x509.oid import NameOID  # noqa: E402
from program import tarnwick_program  # noqa: E402
from tarnwick import _policy, _store  # noqa: E402

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models" / "model.gguf"
SUBJECT = "O=Example AI, OU=Release, EU, CN=tarnwick test signer"  # as the SDK reports it
MISMATCH, KEY_MISMATCH = "tarnwick.signer.mismatch", "tarnwick.signer.key_mismatch"
UNTRUSTED = "tarnwick.signer.untrusted"
EXPIRED = [("signingCredential.expired", "certificate expired")]
# The SDK reports no trust in a certificate that has expired.
UNCHAINED_EXPIRED = (UNTRUSTED, 'the signer "CN=tarnwick test signer" does not chain to the given trust anchors')


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
        tarnwick.verify_file(creds[4], trust=creds[2], signer=policy)
    assert str(e.value) == message


def judge(model, trust=None, signer=None, signer_key=None):
    """The signer's failures on a signed model, given the SDK's report and
    the store's own chain as a verifier gives them."""
    anchors = _policy.anchors(trust)
    policy, pin = _policy.signer_policy(signer), _policy.key_pin(signer_key)
    _policy.check_options(anchors, policy, pin)
    store = tarnwick.read_file(str(model))
    context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors}} if anchors else {})
    with c2pa.Reader("application/octet-stream", io.BytesIO(b""), store, context) as reader:
        report, card = json.loads(reader.json()), json.loads(reader.crjson())
    label = report["active_manifest"]
    success = {e["code"] for e in report["validation_results"]["activeManifest"]["success"]}
    info = next(m for m in card["manifests"] if m["label"] == label)["signature"]["certificateInfo"]
    return _policy.failures(_store.signer_chain(store, label), info, policy, pin, anchors is not None,
                            "signingCredential.trusted" in success)


def public_key(chain):
    return x509.load_pem_x509_certificate(chain).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)


@pytest.fixture(scope="module")
def forged(creds):
    """A model signed by a forgery of the signer: the same subject, issuer,
    serial number and validity, another key, from a CA of the same name."""
    chain, key, ca = credentials.forgery(creds[0])
    model = creds[3] / "forged.gguf"
    tarnwick.sign_file(SAMPLE, cert=chain, key=key, output=model)
    (creds[3] / "forged-chain.pem").write_bytes(chain)
    return chain, model


def spki(chain):
    der = x509.load_pem_x509_certificate(chain).public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    return "sha256:" + hashlib.sha256(der).hexdigest()


UNCHAINED = (UNTRUSTED, f'the signer "{SUBJECT}" does not chain to the given trust anchors')
# (who signed, the options, the failures): the real signer, or its forgery.
FORGERIES = [
    ("real", dict(signer_key="public key"), []),
    ("real", dict(signer_key="chain.pem", signer="O=Example AI"), []),
    ("real", dict(signer_key="forged-chain.pem"), [(KEY_MISMATCH, "the signer \"{subject}\" has key {real} but "
                                                                 "--signer-key requires {forged}")]),
    ("forged", dict(), [UNCHAINED]),
    ("forged", dict(signer="O=Example AI, CN=tarnwick test signer"), [UNCHAINED]),
    ("forged", dict(signer_key="chain.pem"), [UNCHAINED, (KEY_MISMATCH, "the signer \"{subject}\" has key "
                                                                        "{forged} but --signer-key requires {real}")]),
    ("forged", dict(signer_key="public key"), [UNCHAINED, (KEY_MISMATCH, "the signer \"{subject}\" has key "
                                                                         "{forged} but --signer-key requires {real}")]),
]


@pytest.mark.parametrize("case", range(len(FORGERIES)))
def test_a_forged_signer_is_refused(creds, forged, case):
    who, options, failures = FORGERIES[case]
    if options.get("signer_key") == "public key":
        options = dict(options, signer_key=public_key(creds[0]))
    elif "signer_key" in options:
        options = dict(options, signer_key=creds[3] / options["signer_key"])
    model = creds[4] if who == "real" else forged[1]
    names = dict(subject=SUBJECT, real=spki(creds[0]), forged=spki(forged[0]))
    assert judge(model, trust=creds[3] / "ca.pem", **options) == [
        (code, text.format(**names)) for code, text in failures]


def test_without_anchors_valid_is_integrity_only(creds, forged):
    assert judge(forged[1]) == []
    for options in (dict(signer="O=Example AI"), dict(signer_key=public_key(creds[0]))):
        with pytest.raises(tarnwick.UsageError) as e:
            judge(forged[1], **options)
        assert str(e.value) == ("--signer and --signer-key need --trust: without a trust anchor anyone can make a "
                                "certificate of any name and any key")


def anchor_files(folder):
    """(value, the file named in the message or None): anchors that hold no certificate."""
    fifo = folder / "fifo.pem"
    if not fifo.exists():
        os.mkfifo(fifo)
    files = {"text.pem": b"not a certificate\n", "empty.pem": b"", "binary.pem": bytes(range(256)),
             "key.pem": b"-----BEGIN PUBLIC KEY-----\nMFkw\n-----END PUBLIC KEY-----\n"}
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return [(folder / name, f"{folder / name}: holds no PEM certificate (trust anchors)") for name in files] + [
        (fifo, f"{fifo}: not a regular file"),
        (b"", "the trust anchors given: holds no PEM certificate (trust anchors)"),
        ("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n",
         "the trust anchors given: holds no PEM certificate (trust anchors)"),
    ]


@pytest.mark.parametrize("case", range(7))
def test_anchors_without_a_certificate_are_refused(tmp_path, case):
    value, message = anchor_files(tmp_path)[case]
    with pytest.raises(tarnwick.UsageError) as e:
        _policy.anchors(value)
    assert str(e.value) == message


def test_anchors_keep_every_certificate(creds):
    other = credentials.credentials(ca_name="another CA")[2]
    assert _policy.anchors(other + b"# between the certificates\n" + creds[2]) == (other + creds[2]).decode()
    assert _policy.anchors(None) is None


def test_a_pin_that_is_no_key(tmp_path):
    (tmp_path / "pin.pem").write_text("not a key\n")
    with pytest.raises(tarnwick.UsageError) as e:
        _policy.key_pin(tmp_path / "pin.pem")
    assert str(e.value) == f"--signer-key: {tmp_path / 'pin.pem'} holds no PEM public key or certificate"


def test_trust_bundle_of_several_anchors(creds):
    unrelated = [credentials.credentials(ca_name=f"unrelated CA {i}")[2] for i in (1, 2)]
    assert tarnwick.verify_file(creds[4], trust=unrelated[0] + creds[2] + unrelated[1]).state == "trusted"
    v = tarnwick.verify_file(creds[4], trust=unrelated[0] + unrelated[1])
    assert (v.state, v.failures) == ("invalid", [UNCHAINED])


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
    ("own CA, not anchored", "invalid", EXPIRED + [UNCHAINED_EXPIRED], True),
    (None, "invalid", EXPIRED + [UNCHAINED_EXPIRED], False),
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
    return folder, ca, end


@needs_openssl
@pytest.mark.parametrize("case", range(len(EXPIRY)))
def test_timestamp_outlives_the_certificate(expired, case):
    _, state, failures, timestamped = EXPIRY[case]
    v = tarnwick.verify_file(expired[0] / f"{case}.gguf", trust=expired[1])
    # The SDK's "certificate expired", and when it ended.
    ended = f"certificate expired: the signer's certificate ended on {expired[2]:%Y-%m-%d %H:%M:%S} UTC"
    failures = [(c, ended if c == "signingCredential.expired" else t) for c, t in failures]
    assert (v.state, v.failures, v.timestamped) == (state, failures, timestamped)
