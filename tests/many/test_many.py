"""Models of many files: a sharded SafeTensors model, a split GGUF model and an
ONNX model with external data, signed and verified as one; every tampering
named; member names that leave the folder refused; the peers still load the
signed files."""

import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
pytest.importorskip("gguf")
pytest.importorskip("onnx")
pytest.importorskip("safetensors")
import tarnwick  # noqa: E402
import tarnwick._model  # noqa: E402,F401  (submodules the tests reach into)
import tarnwick._verify  # noqa: E402,F401

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import credentials  # noqa: E402
import models  # noqa: E402

from program import tarnwick_program  # noqa: E402
KINDS = ["safetensors", "gguf", "onnx"]
MISSING = ("tarnwick.member.missing", "missing")
DIFFERS = ("tarnwick.member.mismatch", "hash differs")
EXTRA = ("tarnwick.member.extra", "not part of the signed model")
OWN_HASH = "assertion.dataHash.mismatch"


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    chain, key, ca = credentials.credentials()
    folder = tmp_path_factory.mktemp("creds")
    for name, data in (("chain.pem", chain), ("key.pem", key), ("ca.pem", ca)):
        (folder / name).write_bytes(data)
    return chain, key, ca, folder


def build(kind, folder, seed=0):
    return pathlib.Path(getattr(models, kind + "_model")(str(folder), seed=seed))


def signed(kind, folder, creds, seed=0):
    entry = build(kind, folder, seed)
    tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    return entry


def states(v):
    return {m.path: (m.state, m.failures) for m in v.members}


@pytest.mark.parametrize("kind", KINDS)
def test_round_trip_and_peers_load(tmp_path, kind, creds):
    entry = build(kind, tmp_path / "m")
    r = tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    names = [m.path for m in r.members]
    expected = {
        "safetensors": ["model.safetensors.index.json"] + [f"model-0000{i}-of-00003.safetensors" for i in (1, 2, 3)],
        "gguf": [f"tiny-0000{i}-of-00003.gguf" for i in (1, 2, 3)],
        "onnx": ["model.onnx", "weights.bin"],
    }[kind]
    assert names == expected
    assert r.manifest == str(tmp_path / "m" / {"safetensors": "model", "gguf": "tiny", "onnx": "model"}[kind]) + ".c2pa"
    for m in r.members:  # containers carry their own manifest, each verifying alone (a graph with external
        if m.store_range is not None and kind != "onnx":  # data is refused alone: it would cover the graph only)
            assert tarnwick.verify_file(str(tmp_path / "m" / m.path), trust=creds[2], alone=True).state == "trusted"

    for where in (entry, entry.parent):
        v = tarnwick.verify_model(where, trust=creds[2])
        assert (v.state, v.manifest.state, v.manifest.label) == ("trusted", "trusted", r.label)
        assert [(m.path, m.state, m.failures) for m in v.members] == [(n, "trusted", []) for n in names]
    assert tarnwick.verify_model(entry).state == "valid"

    folder = entry.parent
    if kind == "safetensors":
        from safetensors import safe_open
        index = json.loads((folder / "model.safetensors.index.json").read_text())
        for tensor, shard in index["weight_map"].items():
            with safe_open(str(folder / shard), "np") as f:
                assert f.get_tensor(tensor).shape == (16, 8)
    elif kind == "gguf":
        import gguf
        for name in names:
            reader = gguf.GGUFReader(str(folder / name))
            assert len(reader.tensors) == 1 and reader.fields["split.count"].parts[-1][0] == 3
    else:
        ort = pytest.importorskip("onnxruntime")
        import numpy as np
        session = ort.InferenceSession(str(entry))
        assert session.run(None, {"x": np.ones((1, 8), np.float32)})[0].shape == (1, 4)


def containers(entry):
    return [rel for rel, kind in tarnwick._model.locate(entry).members if kind == "container"]


def last(entry):
    return entry.parent / tarnwick._model.locate(entry).members[-1][0]


def flip(path, at=-5):
    data = bytearray(path.read_bytes())
    data[at] ^= 1
    path.write_bytes(data)


# Each tampering returns {member: failures} for the members it breaks (the
# others stay trusted); failures listed are the ones tarnwick adds, after the
# member's own.
def edited(entry, other):
    target = last(entry)
    flip(target)
    own = [] if target.suffix == ".bin" else [OWN_HASH]
    return {target.name: (own, [DIFFERS])}


def missing(entry, other):
    target = last(entry)
    target.unlink()
    return {target.name: ([], [MISSING])}


def extra(entry, other):
    name = {"safetensors": "model-00004-of-00003.safetensors", "gguf": "tiny-00004-of-00003.gguf"}.get(other.kind)
    if name is None:
        pytest.skip("an ONNX model has no naming pattern")
    shutil.copy(last(entry), entry.parent / name)
    return {name: ([], [EXTRA])}


def renamed(entry, other):
    target = last(entry)
    if other.kind == "onnx":
        target.rename(entry.parent / "weights2.bin")
        return {target.name: ([], [MISSING]), "weights2.bin": ([], [EXTRA])}
    name = target.name.replace("-00003-of-", "-00004-of-")
    target.rename(entry.parent / name)
    return {target.name: ([], [MISSING]), name: ([], [EXTRA])}


def replaced(entry, other):
    target = last(entry)
    shutil.copy(other.folder / target.name, target)
    return {target.name: ([], [DIFFERS])}


def duplicated(entry, other):
    first, target = containers(entry)[0], last(entry)
    if first == target.name:
        pytest.skip("one container member")
    shutil.copy(entry.parent / first, target)
    return {target.name: ([], [DIFFERS])}


def reordered(entry, other):
    a, b = containers(entry)[0], containers(entry)[-1]
    if a == b:
        pytest.skip("one container member")
    pa, pb = entry.parent / a, entry.parent / b
    pa.rename(pa.with_name("swap"))
    pb.rename(pa)
    pa.with_name("swap").rename(pb)
    return {a: ([], [DIFFERS]), b: ([], [DIFFERS])}


TAMPERINGS = [edited, missing, extra, renamed, replaced, duplicated, reordered]


class Other:
    def __init__(self, kind, folder):
        self.kind, self.folder = kind, folder


@pytest.mark.parametrize("tamper", TAMPERINGS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("kind", KINDS)
def test_tampering_is_named(tmp_path, kind, tamper, creds):
    entry = signed(kind, tmp_path / "m", creds)
    other = Other(kind, signed(kind, tmp_path / "other", creds, seed=1).parent)
    broken = tamper(entry, other)
    v = tarnwick.verify_model(entry, trust=creds[2])
    assert v.state == "invalid"
    found = states(v)
    for name, (own, added) in broken.items():
        state, failures = found.pop(name)
        assert state == "invalid"
        assert [c for c, _ in failures[: len(failures) - len(added)]] == own and failures[len(own):] == added
    assert all(s == ("trusted", []) for s in found.values()), found
    if set(broken) & {rel for rel, _ in tarnwick._model.locate(entry).members}:
        assert [c for c, _ in v.manifest.failures] == [OWN_HASH]


@pytest.mark.parametrize("kind", KINDS)
def test_without_the_model_manifest_unsigned(tmp_path, kind, creds):
    entry = signed(kind, tmp_path / "m", creds)
    (entry.parent / tarnwick._model.locate(entry).store_name).unlink()
    v = tarnwick.verify_model(entry, trust=creds[2])
    assert (v.state, v.manifest.state) == ("unsigned", "unsigned")
    for rel, kind_ in tarnwick._model.locate(entry).members:
        assert states(v)[rel] == ("trusted" if kind_ == "container" else "unsigned", [])


def set_index(entry, shard):
    index = json.loads(entry.read_text())
    index["weight_map"][next(iter(index["weight_map"]))] = shard
    entry.write_text(json.dumps(index))


def set_location(entry, location):
    import onnx
    model = onnx.load(str(entry), load_external_data=False)
    for entry_ in model.graph.initializer[0].external_data:
        if entry_.key == "location":
            entry_.value = location
    onnx.save_model(model, str(entry))


# (kind, how the model names a member outside, the text of the refusal)
HOSTILE = [
    ("safetensors", lambda e, out: set_index(e, "../outside/x.safetensors"), "not a plain relative path"),
    ("safetensors", lambda e, out: set_index(e, str(out / "x.safetensors")), "is an absolute path"),
    ("safetensors", lambda e, out: (os.symlink(out, e.parent / "sub"), set_index(e, "sub/x.safetensors")),
     "'sub' is a link or not a folder|sub: a link to a folder"),
    ("onnx", lambda e, out: set_location(e, "../outside/x.safetensors"), "not a plain relative path"),
    ("onnx", lambda e, out: set_location(e, str(out / "x.safetensors")), "is an absolute path"),
    ("onnx", lambda e, out: (os.symlink(out, e.parent / "sub"), set_location(e, "sub/x.safetensors")),
     "'sub' is a link or not a folder|sub: a link to a folder"),
]


@pytest.mark.parametrize("kind,name_it,refusal", HOSTILE)
def test_members_outside_the_folder_refused(tmp_path, kind, name_it, refusal, creds):
    outside = tmp_path / "outside"
    outside.mkdir()
    os.mkfifo(outside / "x.safetensors")  # opened, it would block: refused, it is never opened
    entry = build(kind, tmp_path / "m")
    name_it(entry, outside)
    with pytest.raises(ValueError, match=refusal):
        tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    with pytest.raises(ValueError, match=refusal):
        tarnwick.verify_model(entry)
    assert not (entry.parent / "model.c2pa").exists()


def hf_cache(tmp_path, revisions):
    """A Hugging Face cache: snapshots/REV/NAME link to ../../blobs/HASH,
    the revisions sharing every blob."""
    source = build("safetensors", tmp_path / "source").parent
    root = tmp_path / "hub" / "models--org--tiny"
    blobs = root / "blobs"
    blobs.mkdir(parents=True)
    for name in sorted(os.listdir(source)):
        data = (source / name).read_bytes()
        digest = hashlib.sha256(data).hexdigest()
        (blobs / digest).write_bytes(data)
        for rev in revisions:
            (root / "snapshots" / rev).mkdir(parents=True, exist_ok=True)
            os.symlink(f"../../blobs/{digest}", root / "snapshots" / rev / name)
    return root


def test_the_hugging_face_cache_is_never_rewritten(tmp_path, creds):
    root = hf_cache(tmp_path, ["rev1", "rev2"])
    blobs = {p.name: p.read_bytes() for p in (root / "blobs").iterdir()}
    snapshot = root / "snapshots" / "rev1"
    with pytest.raises(tarnwick.UsageError, match="a file of the Hugging Face cache .* sign a copy with -o DIR"):
        tarnwick.sign_model(snapshot, cert=creds[0], key=creds[1])
    assert {p.name: p.read_bytes() for p in (root / "blobs").iterdir()} == blobs
    assert all(hashlib.sha256(data).hexdigest() == name for name, data in blobs.items())
    assert sorted(os.listdir(snapshot)) == sorted(os.listdir(root / "snapshots" / "rev2"))

    out = tmp_path / "signed"
    tarnwick.sign_model(snapshot, cert=creds[0], key=creds[1], output=out)
    assert {p.name: p.read_bytes() for p in (root / "blobs").iterdir()} == blobs
    assert tarnwick.verify_model(out, trust=creds[2]).state == "trusted"
    assert tarnwick.verify_model(snapshot).state == "unsigned"  # read through its links, read-only


def test_stray_shard_refused_when_signing(tmp_path, creds):
    entry = build("gguf", tmp_path / "m")
    shutil.copy(entry, entry.parent / "tiny-00004-of-00003.gguf")
    with pytest.raises(ValueError, match="tiny-00004-of-00003.gguf: follows the model's naming pattern"):
        tarnwick.sign_model(entry, cert=creds[0], key=creds[1])


def test_file_functions_refuse_an_onnx_model_with_external_data(tmp_path, creds):
    entry = build("onnx", tmp_path / "m")
    for call in (lambda: tarnwick.sign_file(entry, cert=creds[0], key=creds[1]), lambda: tarnwick.verify_file(entry)):
        with pytest.raises(ValueError, match=r"keeps tensor data in external files \(weights.bin\): .* sign_model"):
            call()


def cli(*args):
    return subprocess.run([tarnwick_program(), *map(str, args)], capture_output=True, text=True)


def test_cli_sign_into_a_folder_and_verify_json(tmp_path, creds):
    entry = build("safetensors", tmp_path / "m")
    out = tmp_path / "out"
    r = cli("sign", entry, "--cert", creds[3] / "chain.pem", "--key", creds[3] / "key.pem", "-o", out, "--json")
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(out)) == sorted(os.listdir(entry.parent) + ["model.c2pa"])
    assert json.loads(r.stdout)["members"][0]["path"] == "model.safetensors.index.json"

    r = cli("verify", out, "--trust", creds[3] / "ca.pem", "--json")
    doc = json.loads(r.stdout)["models"][0]
    assert (r.returncode, doc["path"], doc["state"]) == (0, str(out), "trusted")
    assert [m["path"] for m in doc["members"]] == sorted(os.listdir(entry.parent), key=lambda n: (not n.endswith("json"), n))

    flip(out / "model-00002-of-00003.safetensors")
    r = cli("verify", out / "model.safetensors.index.json", "--trust", creds[3] / "ca.pem")
    assert r.returncode == 1
    lines = r.stdout.splitlines()
    assert lines[0] == f"{out / 'model.safetensors.index.json'}: invalid"
    assert lines[1:3] == ["  files       4 files: 3 trusted, 1 invalid",
                          "  invalid     model-00002-of-00003.safetensors: assertion.dataHash.mismatch: asset hash "
                          "error, name: jumbf manifest, error: hash verification( Hashes do not match ); "
                          "tarnwick.member.mismatch: hash differs"]
    assert "ingredient" not in r.stdout  # the files are the lines above

    (out / "model.c2pa").unlink()
    assert cli("verify", out).returncode == 3


def test_an_onnx_result_past_protobufs_limit_is_refused(tmp_path):
    """The issue's numbers: a 2,146,883,776-byte model and a 1 MB store. The
    graph is a hole in a sparse file: nothing is written."""
    from protowire import key, varint
    size = 2146883776
    head = b"\x08\x08" + key(7, 2)
    body = size - len(head) - len(varint(size))
    model = tmp_path / "big.onnx"
    with open(model, "wb") as f:
        f.write(head + varint(body))
        f.truncate(size)
    text = "would be 2148217135 bytes, past protobuf's limit of 2147483647"
    with pytest.raises(ValueError, match=text):
        tarnwick.embed_file(model, store=b"x" * 1000000, output=tmp_path / "out.onnx")
    (tmp_path / "store").write_bytes(b"x" * 1000000)
    r = cli("embed", model, "--store", tmp_path / "store", "-o", tmp_path / "out.onnx")
    assert r.returncode != 0 and text in r.stderr
    assert sorted(os.listdir(tmp_path)) == ["big.onnx", "store"]
