"""sign_file and verify_file on the C2PA SDK, and the `tarnwick sign` and
`tarnwick verify` commands: round trips on each format, the tamperings a
verifier must name, re-signing, remote manifests, exit statuses and JSON."""

import functools
import http.server
import json
import os
import pathlib
import shutil
import struct
import subprocess
import threading

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
import tarnwick  # noqa: E402

if not hasattr(tarnwick, "sign_file"):
    pytest.skip("this tarnwick cannot sign", allow_module_level=True)

import tarnwick._sdk  # noqa: E402,F401  (submodules the tests reach into)
import tarnwick._sign  # noqa: E402,F401
import tarnwick._verify  # noqa: E402,F401
import credentials  # noqa: E402

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
NAMES = ["model.gguf", "model.onnx", "model.safetensors"]
from program import tarnwick_program  # noqa: E402
RESOLVED = ("assertion.dataHash.mismatch", "data hash exclusion does not match the manifest location in the asset; "
            "resolved: tarnwick found the store exactly at the excluded range")
HASH_MISMATCH = ("assertion.dataHash.mismatch",
                 "asset hash error, name: jumbf manifest, error: hash verification( Hashes do not match )")


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    chain, key, ca = credentials.credentials()
    folder = tmp_path_factory.mktemp("creds")
    for name, data in (("chain.pem", chain), ("key.pem", key), ("ca.pem", ca)):
        (folder / name).write_bytes(data)
    return chain, key, ca, folder


def copy(tmp_path, name):
    shutil.copy(SAMPLES / name, tmp_path / name)
    return tmp_path / name


def signed(tmp_path, name, creds, **kw):
    path = copy(tmp_path, name)
    tarnwick.sign_file(path, cert=creds[0], key=creds[1], **kw)
    return path


@pytest.mark.parametrize("in_place", [True, False])
@pytest.mark.parametrize("name", NAMES)
def test_round_trip(tmp_path, name, creds, in_place):
    model = copy(tmp_path, name)
    out = model if in_place else tmp_path / ("signed-" + name)
    r = tarnwick.sign_file(model, cert=creds[0], key=creds[1], output=None if in_place else out)
    assert (r.path, r.size, r.hash_alg, r.signing_alg) == (str(out), out.stat().st_size, "sha256", "es256")
    assert r.store_range == tarnwick.inspect(out).store_range and r.label.startswith("urn:c2pa:")
    assert r.digest == tarnwick.data_hash(out)
    assert sorted(os.listdir(tmp_path)) == sorted({name, out.name})  # nothing left behind

    v = tarnwick.verify_file(out, trust=creds[2])
    assert (v.state, v.failures, v.label, v.title) == ("trusted", [], r.label, out.name)
    assert RESOLVED in v.informational
    assert (v.signer, v.issuer, v.claim_generator) == (
        "CN=tarnwick test signer", "CN=tarnwick test CA", "tarnwick/" + tarnwick._manifest.version())
    assert (v.asset_type, v.actions, v.ingredients) == (tarnwick.model_type(out.read_bytes()), ["c2pa.created"], [])
    assert tuple(v.binding) == (True, True, True, r.store_range, None)
    assert tarnwick.verify_file(out).state == "valid"  # intact, but no anchor given


WEIGHT = struct.pack("<4f", 1, 2, 3, 4)  # the samples' one tensor; the ONNX one has only a graph


def flip_weight(path, *_):
    data = bytearray(path.read_bytes())
    at = data.find(WEIGHT)
    data[at + 5 if at >= 0 else data.index(b"tarnwick-samples") + 1] ^= 1
    path.write_bytes(data)


def other_store(path, creds, tmp_path):
    (tmp_path / "other").mkdir()
    other = signed(tmp_path / "other", "model.safetensors" if path.name == "model.gguf" else "model.gguf", creds)
    tarnwick.embed_file(path, store=tarnwick.read_file(other))


def truncate_store(path, creds, tmp_path):
    store = tarnwick.read_file(path)
    tarnwick.embed_file(path, store=store[: len(store) // 2])


def move_exclusion(path, creds, tmp_path):
    """Signs afresh, declaring an exclusion that starts one byte before the store."""
    shutil.copy(SAMPLES / path.name, path)
    calls = tarnwick._sdk.load("sign")
    signer, builder = credentials.signer(creds[0], creds[1]), credentials.builder(path.name)
    reserved = tarnwick.embed_file(path, reserve=len(calls.placeholder(builder, signer)), hash="sha256")
    offset, length = reserved.store_range
    wider = [(offset - 1, length + 1)]
    tarnwick.patch_file(path, calls.sign(builder, signer, wider, tarnwick.data_hash(path, exclusions=wider)))


def untrusted_anchor(path, creds, tmp_path):
    pass  # verified below against another CA


# (tampering, verify's state, its failures' codes, binding (location_ok, hash_ok))
TAMPERINGS = [
    (flip_weight, "invalid", ["assertion.dataHash.mismatch"], (True, False)),
    (other_store, "invalid", ["assertion.dataHash.mismatch", "assertion.dataHash.mismatch"], (False, False)),
    (move_exclusion, "invalid", ["assertion.dataHash.mismatch"], (False, True)),
    (truncate_store, "invalid", ["tarnwick.store.unreadable", "tarnwick.store.slack"], (False, False)),
    # Anchors given that do not cover the signer: fails closed.
    (untrusted_anchor, "invalid", ["tarnwick.signer.untrusted"], (True, True)),
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("tamper,state,codes,binding", TAMPERINGS, ids=lambda v: getattr(v, "__name__", None))
def test_tampering_is_named(tmp_path, name, creds, tamper, state, codes, binding):
    path = signed(tmp_path, name, creds)
    tamper(path, creds, tmp_path)
    anchors = credentials.credentials(ca_name="another CA")[2] if tamper is untrusted_anchor else creds[2]
    v = tarnwick.verify_file(path, trust=anchors)
    assert (v.state, [c for c, _ in v.failures]) == (state, codes)
    assert (v.binding.location_ok, v.binding.hash_ok) == binding
    assert all(text for _, text in v.failures)
    if tamper is flip_weight:
        assert v.failures == [HASH_MISMATCH]
    if tamper is untrusted_anchor:
        assert ("signingCredential.untrusted", "signing certificate untrusted") in v.informational


@pytest.mark.parametrize("problem", ["expired", "wrong key", "sha384", "own binding"])
def test_sign_refuses_and_leaves_the_model_untouched(tmp_path, creds, problem):
    model = copy(tmp_path, "model.gguf")
    before = model.read_bytes()
    chain, key = creds[0], creds[1]
    kw = {}
    if problem == "expired":
        chain, key, _ = credentials.credentials(expired=True)
    elif problem == "wrong key":
        key = credentials.credentials()[1]
    elif problem == "sha384":
        kw["hash"] = "sha384"
    else:
        kw["manifest"] = {"assertions": [{"label": "c2pa.hash.data", "data": {}}]}
    with pytest.raises((ValueError, tarnwick._sdk.load("sign").c2pa.C2paError)):
        tarnwick.sign_file(model, cert=chain, key=key, **kw)
    assert model.read_bytes() == before and os.listdir(tmp_path) == ["model.gguf"]


@pytest.mark.parametrize("name", NAMES)
def test_resigning_keeps_the_parent_and_adds_ingredients(tmp_path, name, creds):
    base = tmp_path / "base.gguf"
    tarnwick.sign_file(SAMPLES / "model.gguf", cert=creds[0], key=creds[1], output=base)
    path = signed(tmp_path, name, creds)
    first = tarnwick.verify_file(path).label
    tarnwick.sign_file(path, cert=creds[0], key=creds[1], ingredients=[tmp_path / "base.gguf"])
    v = tarnwick.verify_file(path, trust=creds[2])
    assert (v.state, v.failures, v.actions) == ("trusted", [], ["c2pa.opened"])
    assert [(i.relationship, i.label, i.state, i.failures) for i in v.ingredients] == [
        ("parentOf", first, "valid", []), ("componentOf", tarnwick.verify_file(base).label, "valid", [])]


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture
def server(tmp_path):
    (tmp_path / "www").mkdir()
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=tmp_path / "www"))
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}", tmp_path / "www"
    httpd.shutdown()
    httpd.server_close()


@pytest.mark.parametrize("name", NAMES)
def test_remote_manifest_with_sidecar_and_fetch(tmp_path, name, creds, server):
    url, www = server
    model = copy(tmp_path, name)
    r = tarnwick.sign_file(model, cert=creds[0], key=creds[1], remote_uri=f"{url}/m.c2pa", sidecar=www / "m.c2pa")
    info = tarnwick.inspect(model)
    assert (info.uri, info.store_size, r.store_range) == (f"{url}/m.c2pa", None, None)
    assert r.digest == tarnwick.data_hash(model)  # nothing excluded
    v = tarnwick.verify_file(model, trust=creds[2])
    assert (v.state, v.remote_uri, [c for c, _ in v.informational]) == (
        "unverified", f"{url}/m.c2pa", ["tarnwick.manifest.remote"])
    for kw in ({"fetch": True}, {"manifest": www / "m.c2pa"}, {"manifest": (www / "m.c2pa").read_bytes()}):
        v = tarnwick.verify_file(model, trust=creds[2], **kw)
        assert (v.state, v.failures, tuple(v.binding)) == ("trusted", [], (True, True, True, None, None))
    (www / "m.c2pa").unlink()
    with pytest.raises(OSError):
        tarnwick.verify_file(model, fetch=True)


@pytest.mark.parametrize("url", ["http://example.com/m.c2pa", "ftp://127.0.0.1/m.c2pa", "file:///etc/passwd"])
def test_fetch_needs_https_off_loopback(url):
    with pytest.raises(ValueError, match="HTTPS is required"):
        tarnwick._verify.fetch_store(url)


def cli(*args):
    return subprocess.run([tarnwick_program(), *map(str, args)], capture_output=True, text=True, timeout=120)


@pytest.fixture
def models(tmp_path, creds):
    """A trusted, an unsigned and an invalid model."""
    good = signed(tmp_path, "model.onnx", creds)
    plain = copy(tmp_path, "model.gguf")
    bad = signed(tmp_path, "model.safetensors", creds)
    flip_weight(bad)
    return good, plain, bad


# (arguments, exit status): invalid wins over unsigned, unsigned over success.
VERIFY_STATUSES = [
    (["good", "--trust"], 0),
    (["good"], 0),
    (["good", "--require-trusted"], 1),
    (["good", "--trust", "--require-trusted"], 0),
    (["good", "plain", "--trust"], 3),
    (["good", "plain", "bad", "--trust"], 1),
    (["missing"], 4),
    (["good", "--bogus"], 2),
]


@pytest.mark.parametrize("args,status", VERIFY_STATUSES)
def test_verify_exit_status(tmp_path, models, creds, args, status):
    good, plain, bad = models
    names = {"good": good, "plain": plain, "bad": bad, "missing": tmp_path / "missing.gguf",
             "--trust": "--trust=" + str(creds[3] / "ca.pem")}
    run = cli("verify", *[names.get(a, a) for a in args])
    assert run.returncode == status, run.stderr
    assert run.stdout or run.stderr  # never silent


def test_verify_json_schema(models, creds):
    good, plain, bad = models
    run = cli("verify", "--json", "--trust", creds[3] / "ca.pem", good, plain, bad)
    doc = json.loads(run.stdout)
    assert (run.returncode, doc["status"], [m["state"] for m in doc["models"]]) == (
        1, 1, ["trusted", "unsigned", "invalid"])
    keys = {"path", "state", "failures", "informational", "signer", "issuer", "signed_at", "timestamped",
            "timestamp_authority", "timestamp_trusted", "claim_generator", "title", "asset_type", "actions", "label", "remote_uri", "ingredients", "binding"}
    assert all(set(m) == keys for m in doc["models"])
    assert set(doc["models"][0]["binding"]) == {"ok", "location_ok", "hash_ok", "store_range", "reason"}
    assert doc["models"][2]["failures"] == [{"code": HASH_MISMATCH[0], "explanation": HASH_MISMATCH[1]}]


@pytest.mark.parametrize("case,status", [("ok", 0), ("in place", 0), ("wrong key", 2), ("no output", 2),
                                         ("missing", 4), ("not a model", 1)])
def test_sign_exit_status(tmp_path, creds, case, status):
    model = copy(tmp_path, "model.gguf")
    key = creds[3] / ("ca.pem" if case == "wrong key" else "key.pem")
    target = {"missing": tmp_path / "none.gguf", "not a model": creds[3] / "ca.pem"}.get(case, model)
    where = [] if case == "no output" else ["--in-place"] if case == "in place" else ["-o", tmp_path / "out.gguf"]
    run = cli("sign", target, "--cert", creds[3] / "chain.pem", "--key", key, "--json", *where)
    assert run.returncode == status, run.stderr
    if status == 0:
        doc = json.loads(run.stdout)
        assert tarnwick.verify_file(doc["path"], trust=creds[2]).state == "trusted"
        assert doc["store_range"] == list(tarnwick.inspect(doc["path"]).store_range)
    else:
        # The failure once, naming what failed: the model, the key, or the usage.
        said = {"wrong key": "ca.pem: not a private key in PEM", "no output": "tarnwick sign: give -o OUT or --in-place",
                "missing": "none.gguf: No such file or directory", "not a model": "ca.pem: unrecognized"}[case]
        assert said in run.stderr and run.stderr.count("\n") <= 2 and not run.stdout
