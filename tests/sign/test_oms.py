"""OpenSSF model signatures, judged by model-signing 1.1.1 itself: its
command line accepts the bundles tarnwick writes and rejects them once the
model changes, and tarnwick verifies the bundles it writes, tampered or not.
The peer runs once per module, every command in one process."""

import base64
import hashlib
import json
import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("cryptography")
pytest.importorskip("model_signing")
import tarnwick  # noqa: E402
from tarnwick import _oms  # noqa: E402

import credentials  # noqa: E402
from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa  # noqa: E402

# A C2PA store beside its model file, a hidden file, and a name ("sub-notes")
# that sorts before "sub/..." as text but after it by path components.
MODEL = {
    "weights.safetensors": b"w" * 100,
    "weights.c2pa": b"a C2PA store",
    "sub/config.json": b"{}",
    "sub-notes.txt": b"notes",
    ".hidden": b"h",
    ".git/HEAD": b"ref: refs/heads/main",
    ".gitignore": b"*.tmp",
}
TAMPER = {  # what is done to the folder, and what is done to the listing
    "changed": (lambda m: (m / "sub/config.json").write_bytes(b"{1}"),
                lambda f: f.update({"sub/config.json": hashlib.sha256(b"{1}").digest()})),
    "added": (lambda m: (m / "extra.bin").write_bytes(b"x"),
              lambda f: f.update({"extra.bin": hashlib.sha256(b"x").digest()})),
    "removed": (lambda m: (m / "weights.c2pa").unlink(), lambda f: f.pop("weights.c2pa")),
}
CHANGED = ("oms.file.mismatch", "sub/config.json: its SHA-256 digest differs from the signed one")
ADDED = ("oms.file.extra", "extra.bin: in the model, but not signed")
REMOVED = ("oms.file.missing", "weights.c2pa: signed, but not in the model")

RUNNER = r"""
import contextlib, io, json, sys
from model_signing._cli import main
results = []
for argv in json.load(sys.stdin):
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        try:
            main(argv, prog_name="model_signing")
        except SystemExit as e:
            results.append([e.code or 0, out.getvalue()])
json.dump(results, sys.stdout)
"""


def peer(commands):
    """model-signing's command line, each of `commands` (argument lists) in turn: [(status, output)]."""
    run = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps(commands), capture_output=True,
                         text=True, timeout=120, check=True)
    return [tuple(r) for r in json.loads(run.stdout)]


def make_model(folder, files=MODEL):
    for rel, data in files.items():
        (folder / rel).parent.mkdir(parents=True, exist_ok=True)
        (folder / rel).write_bytes(data)
    return folder


def listing(folder):
    """The caller's one pass: every file not ignored, with its SHA-256."""
    out = {}
    for root, _, names in os.walk(folder):
        for name in names:
            rel = (pathlib.Path(root) / name).relative_to(folder).as_posix()
            if not _oms.ignored(rel):
                out[rel] = hashlib.sha256((pathlib.Path(root) / name).read_bytes()).digest()
    return out


def pem(obj):
    if isinstance(obj, x509.Certificate):
        return obj.public_bytes(serialization.Encoding.PEM)
    return obj.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)


def signer(key, algorithm=hashes.SHA256()):
    return lambda data: key.sign(data, ec.ECDSA(algorithm))


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """Keys, a CA, models signed both ways, tampered copies, and the peer's verdicts on all of them."""
    base = tmp_path_factory.mktemp("oms")
    chain_pem, key_pem, ca_pem = credentials.credentials()
    certs = x509.load_pem_x509_certificates(chain_pem)
    key = serialization.load_pem_private_key(key_pem, None)
    p384 = ec.generate_private_key(ec.SECP384R1())
    files = {"ca.pem": ca_pem, "leaf.pem": pem(certs[0]), "key.pem": key_pem, "pub.pem": pem(key.public_key()),
             "pub384.pem": pem(p384.public_key())}
    for name, data in files.items():
        (base / name).write_bytes(data)
    der = [c.public_bytes(serialization.Encoding.DER) for c in certs]
    ours = {  # method -> (bundle arguments, the peer's verify arguments)
        "certificate": (dict(sign=signer(key), public_key=key.public_key(), chain=der),
                        ["certificate", "--certificate_chain", str(base / "ca.pem")]),
        "key": (dict(sign=signer(key), public_key=key.public_key(), method="key"),
                ["key", "--public_key", str(base / "pub.pem")]),
        "key-p384": (dict(sign=signer(p384, hashes.SHA384()), public_key=p384.public_key(), method="key"),
                     ["key", "--public_key", str(base / "pub384.pem")]),
    }
    commands, cases = [], []
    for method, (kwargs, verify) in ours.items():
        for tamper in [None, *TAMPER]:
            model = make_model(base / f"ours-{method}-{tamper}" / "model")
            bundle = _oms.sign_bundle("model", listing(model), **kwargs)
            (model / _oms.BUNDLE_NAME).write_bytes(bundle)
            if tamper:
                TAMPER[tamper][0](model)
            cases.append((method, tamper))
            commands.append(["verify", verify[0], str(model), "--signature", str(model / "model.sig"), *verify[1:]])
    theirs = {"certificate": ["certificate", "--private_key", str(base / "key.pem"), "--signing_certificate",
                              str(base / "leaf.pem"), "--certificate_chain", str(base / "ca.pem")],
              "key": ["key", "--private_key", str(base / "key.pem")]}
    for method, args in theirs.items():
        model = make_model(base / f"theirs-{method}" / "model")
        commands.append(["sign", args[0], str(model), "--signature", str(model / "model.sig"), *args[1:]])
    verdicts = dict(zip(cases, peer(commands)))
    signed = {m: (base / f"theirs-{m}" / "model" / "model.sig").read_bytes() for m in theirs}
    return dict(base=base, ca=ca_pem.decode(), pub=pem(key.public_key()), key=key, der=der, verdicts=verdicts,
                signed=signed, model=base / "theirs-key" / "model")


@pytest.mark.parametrize("method", ["certificate", "key", "key-p384"])
@pytest.mark.parametrize("tamper,expected", [
    (None, (0, "Verification succeeded\n")),
    ("changed", (1, "Verification failed with error: Signature mismatch: " + repr([
        "Hash mismatch for 'sub/config.json': Expected 'Digest(algorithm='sha256', digest_value="
        f"{hashlib.sha256(MODEL['sub/config.json']).digest()!r})', Actual 'Digest(algorithm='sha256', "
        f"digest_value={hashlib.sha256(b'{1}').digest()!r})'"]) + "\n")),
    ("added", (1, "Verification failed with error: Signature mismatch: [\"Extra files found in model 'model': "
                  "extra.bin\"]\n")),
    ("removed", (1, "Verification failed with error: Signature mismatch: [\"Missing files in model 'model': "
                    "weights.c2pa\"]\n")),
])
def test_the_peer_judges_our_bundles(world, method, tamper, expected):
    assert world["verdicts"][method, tamper] == expected


@pytest.mark.parametrize("method,trust", [
    ("certificate", dict(anchors_pem="ca")),
    ("certificate", dict(public_key_pem="pub")),  # the signing certificate's key, pinned
    ("key", dict(public_key_pem="pub")),
])
@pytest.mark.parametrize("tamper,failures", [
    (None, []), ("changed", [CHANGED]), ("added", [ADDED]), ("removed", [REMOVED]),
])
def test_we_judge_the_peers_bundles(world, method, trust, tamper, failures):
    files = listing(world["model"])
    if tamper:
        TAMPER[tamper][1](files)
    v = _oms.verify_bundle(world["signed"][method], files, **{k: world[v] for k, v in trust.items()})
    signer = "tarnwick test signer" if method == "certificate" else \
        "public key sha256:" + hashlib.sha256(world["pub"]).hexdigest()
    bad = {f[1].split(":")[0] for f in failures}
    signed = [".hidden", "sub/config.json", "sub-notes.txt", "weights.c2pa", "weights.safetensors"]
    states = [(rel, "invalid" if rel in bad else "trusted") for rel in signed]
    assert v == ("invalid" if failures else "trusted", failures, signer,
                 states + ([("extra.bin", "invalid")] if tamper == "added" else []))


def test_our_statement_is_the_peers(world):
    payload = json.loads(base64.b64decode(json.loads(world["signed"]["key"])["dsseEnvelope"]["payload"]))
    ours = json.loads(_oms.statement("model", listing(world["model"])))
    for s in (payload, ours):
        s["predicate"]["serialization"]["ignore_paths"].sort()  # the peer's order differs in every process
    assert ours == payload


def other_ca():
    return credentials.credentials(ca_name="another CA")[2].decode()


def resign(bundle, key):
    """`bundle` with its signature replaced by one over the same statement with `key`."""
    doc = json.loads(bundle)
    payload = base64.b64decode(doc["dsseEnvelope"]["payload"])
    doc["dsseEnvelope"]["signatures"][0]["sig"] = base64.b64encode(signer(key)(_oms.pae(payload))).decode()
    return json.dumps(doc).encode()


@pytest.mark.parametrize("case,state,failures", [
    ("no anchors", "valid", [("oms.signer.untrusted", "no trust anchors given for the signing certificate")]),
    ("another CA", "valid", [("oms.signer.untrusted", "the signing certificate does not chain to a trust anchor: "
                                                      "validation failed: candidates exhausted: all candidates "
                                                      "exhausted with no interior errors")]),
    ("expired", "valid", [("oms.signer.untrusted", "the signing certificate expired at {end} UTC, and the signature "
                                                   "carries no time-stamp")]),
    ("another key pinned", "valid", [("oms.signer.untrusted", "the signing certificate's key is not the given "
                                                              "public key")]),
    ("signed by another key", "invalid", [("oms.signature.invalid", "the signature does not match the signed "
                                                                    "statement"),
                                          ("oms.signer.untrusted", "no trust anchors given for the signing "
                                                                   "certificate")]),
])
def test_an_untrusted_or_forged_signer(world, case, state, failures):
    bundle, kwargs = world["signed"]["certificate"], {}
    if case == "another CA":
        kwargs["anchors_pem"] = other_ca()
    elif case == "expired":
        chain, key, ca = credentials.credentials(expired=True)
        key, leaf = serialization.load_pem_private_key(key, None), x509.load_pem_x509_certificate(chain)
        bundle = _oms.sign_bundle("model", listing(world["model"]), sign=signer(key), public_key=key.public_key(),
                                  chain=[leaf.public_bytes(serialization.Encoding.DER)])
        kwargs["anchors_pem"] = ca.decode()
        failures = [(c, t.format(end=f"{leaf.not_valid_after_utc:%Y-%m-%d %H:%M:%S}")) for c, t in failures]
    elif case == "another key pinned":
        kwargs["public_key_pem"] = pem(ec.generate_private_key(ec.SECP256R1()).public_key())
    elif case == "signed by another key":
        bundle = resign(bundle, ec.generate_private_key(ec.SECP256R1()))
    v = _oms.verify_bundle(bundle, listing(world["model"]), **kwargs)
    assert (v.state, sorted(v.failures)) == (state, failures)


def test_a_key_bundle_needs_its_key(world):
    with pytest.raises(tarnwick.UsageError, match="^the signature names its signer's public key only by a hash: "
                                                  "verifying it needs that public key$"):
        _oms.verify_bundle(world["signed"]["key"], listing(world["model"]))
    other = pem(ec.generate_private_key(ec.SECP256R1()).public_key())
    v = _oms.verify_bundle(world["signed"]["key"], listing(world["model"]), public_key_pem=other)
    hint = json.loads(world["signed"]["key"])["verificationMaterial"]["publicKey"]["hint"]
    assert (v.state, v.failures) == ("invalid", [("oms.signature.invalid",
                                                  f"signed with another key than the given one (sha256:{hint})")])


def edit(bundle, change):
    doc = json.loads(bundle)
    change(doc)
    return json.dumps(doc).encode()


def edit_statement(bundle, change):
    def go(doc):
        s = json.loads(base64.b64decode(doc["dsseEnvelope"]["payload"]))
        change(s)
        doc["dsseEnvelope"]["payload"] = base64.b64encode(json.dumps(s).encode()).decode()
    return edit(bundle, go)


KEYLESS = ("the signature is a Sigstore keyless bundle: verifying it needs the Sigstore services, which tarnwick "
           "does not reach")
REFUSED = [
    (lambda b: edit(b, lambda d: d["verificationMaterial"].update(certificate={"rawBytes": "AA=="})), KEYLESS),
    (lambda b: edit(b, lambda d: d["verificationMaterial"]["tlogEntries"].append({})), KEYLESS),
    (lambda b: edit(b, lambda d: d["dsseEnvelope"]["signatures"].append({"sig": ""})),
     "the signature's envelope holds 2 signatures, not one"),
    (lambda b: b[:-1] + b',"mediaType":"x"}', "the signature's JSON holds 'mediaType' twice"),
    (lambda b: b"[" * 100000 + b"]" * 100000, "the signature nests too deeply"),
    (lambda b: b" " * (_oms.BUNDLE_LIMIT + 1),
     f"a signature of {_oms.BUNDLE_LIMIT + 1} bytes is larger than the {_oms.BUNDLE_LIMIT} bytes tarnwick reads"),
    (lambda b: edit_statement(b, lambda s: s.update(predicateType="https://model_signing/Digests/v0.1")),
     "the signature is in model-signing's format before 1.0 (v0.2), which tarnwick does not read"),
    (lambda b: edit_statement(b, lambda s: s["predicate"]["resources"][0].update(digest="00" * 32)),
     "the signed statement's subject digest is not that of its files' digests"),
    (lambda b: edit_statement(b, lambda s: s["predicate"]["resources"][0].update(name="a/../b")),
     "the signature names a file 'a/../b': a path not in normal form, not a file's path relative to the "
     "model's folder"),
    (lambda b: edit_statement(b, lambda s: s["predicate"]["serialization"].update(ignore_paths=["./"])),
     "the signature's statement.predicate.serialization.ignore_paths leaves out the whole model ('./')"),
]


@pytest.mark.parametrize("damage,message", REFUSED)
def test_a_bundle_that_cannot_be_read(world, damage, message):
    with pytest.raises(tarnwick.ModelError) as e:
        _oms.read_bundle(damage(world["signed"]["key"]))
    assert str(e.value) == message


@pytest.mark.parametrize("kwargs,error,message", [
    (dict(public_key="rsa"), tarnwick.UsageError,
     "an OpenSSF model signature needs an ECDSA key (P-256, P-384 or P-521), not an RSA key"),
    (dict(public_key="ed25519"), tarnwick.UsageError,
     "an OpenSSF model signature needs an ECDSA key (P-256, P-384 or P-521), not an Ed25519 key"),
    (dict(sign="other"), tarnwick.SigningError, "the signature made does not verify with the public key: a key "
                                                "that does not match, or not DER ECDSA with the curve's hash"),
    (dict(files={".git/HEAD": b"\0" * 32}), tarnwick.UsageError,
     ".git/HEAD: model-signing leaves this path out of a model, so it cannot be signed"),
])
def test_what_cannot_be_signed(world, kwargs, error, message):
    keys = {"rsa": lambda: rsa.generate_private_key(65537, 2048), "ed25519": ed25519.Ed25519PrivateKey.generate}
    args = dict(files={"a": b"\0" * 32}, sign=signer(world["key"]), public_key=world["key"].public_key(),
                chain=world["der"])
    args.update(kwargs)
    if isinstance(args["public_key"], str):
        args["public_key"] = keys[args["public_key"]]().public_key()
    if isinstance(args["sign"], str):
        args["sign"] = signer(ec.generate_private_key(ec.SECP256R1()))
    with pytest.raises(error) as e:
        _oms.sign_bundle("model", args.pop("files"), **args)
    assert str(e.value) == message


def test_the_paths_a_statement_ignores_are_not_the_models(world):
    files = {**listing(world["model"]), "model.sig": b"\0" * 32, ".github/ci.yml": b"\1" * 32}
    v = _oms.verify_bundle(world["signed"]["key"], files, public_key_pem=world["pub"])
    assert (v.state, v.failures, len(v.files)) == ("trusted", [], 5)


# --- from the same signing as C2PA ------------------------------------------------------

@pytest.mark.parametrize("method", ["certificate", "key"])
def test_one_signing_writes_both_and_each_verifier_holds_its_own(tmp_path, method):
    pytest.importorskip("c2pa")
    pytest.importorskip("safetensors")
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "many"))
    import models
    chain_pem, key_pem, ca_pem = credentials.credentials()
    key = serialization.load_pem_private_key(key_pem, None)
    (tmp_path / "ca.pem").write_bytes(ca_pem)
    (tmp_path / "pub.pem").write_bytes(pem(key.public_key()))
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    (folder / ".cache").mkdir()
    (folder / ".cache" / "lock").write_text("")  # ignored by C2PA, left out by name in the bundle
    tarnwick.sign_model(folder, cert=chain_pem, key=key_pem, oms=True, oms_method=method)
    anchor = ["--certificate_chain", str(tmp_path / "ca.pem")] if method == "certificate" else \
        ["--public_key", str(tmp_path / "pub.pem")]
    command = ["verify", method, str(folder), "--signature", str(folder / "model.sig")] + anchor
    trust = {"trust": ca_pem, "signer_key": tmp_path / "pub.pem"} if method == "key" else {"trust": ca_pem}
    v = tarnwick.verify_model(folder, oms=folder / "model.sig", **trust)
    assert (v.state, v.store_verification.state, v.oms.state) == ("trusted", "trusted", "trusted")
    [(ok, said)] = peer([command])
    assert ok == 0, said
    with open(folder / "model.safetensors.index.json", "a") as f:
        f.write("\n")
    [(status, said)] = peer([command])
    assert status != 0 and "model.safetensors.index.json" in said
    v = tarnwick.verify_model(folder, oms=folder / "model.sig", **trust)
    assert (v.state, v.oms.state) == ("invalid", "invalid")


class KmsDown(Exception):
    pass


def test_a_callback_signer_signs_both_and_its_failure_is_its_own(tmp_path):
    """A key held elsewhere (here, in the test): one callback signs the C2PA
    stores and the OpenSSF bundle; its own exception reaches the caller and
    nothing is written."""
    pytest.importorskip("c2pa")
    pytest.importorskip("safetensors")
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "many"))
    import models
    chain_pem, key_pem, ca_pem = credentials.credentials()
    key = serialization.load_pem_private_key(key_pem, None)
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    before = {p.name: p.read_bytes() for p in folder.iterdir()}

    def down(data):
        raise KmsDown("the KMS is unreachable")
    with pytest.raises(KmsDown, match="the KMS is unreachable"):
        tarnwick.sign_model(folder, signer=tarnwick.CallbackSigner(down, chain_pem), oms=True)
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before

    signer = tarnwick.CallbackSigner(lambda data: key.sign(data, ec.ECDSA(hashes.SHA256())), chain_pem)
    tarnwick.sign_model(folder, signer=signer, oms=True)
    (tmp_path / "ca.pem").write_bytes(ca_pem)
    v = tarnwick.verify_model(folder, trust=ca_pem, oms=folder / "model.sig")
    assert (v.state, v.store_verification.state, v.oms.state) == ("trusted", "trusted", "trusted")
    [(status, said)] = peer([["verify", "certificate", str(folder), "--signature", str(folder / "model.sig"),
                              "--certificate_chain", str(tmp_path / "ca.pem")]])
    assert status == 0, said
