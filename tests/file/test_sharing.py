"""Rewrites into files on loop-mounted XFS and btrfs share the tensor data's
blocks with the source (FIEMAP: the same physical blocks, marked shared);
ext4 shares nothing and gives the same bytes. Every output is exactly the
aligned bytes functions' result for the destination's block, and loads in
the format's own reader."""

import contextlib
import json
import os
import shutil
import subprocess
import uuid

import pytest

tarnwick = pytest.importorskip("tarnwick")
if not hasattr(tarnwick, "embed_file"):
    pytest.skip("this build has no file functions", allow_module_level=True)
np = pytest.importorskip("numpy")

import loopfs  # noqa: E402
from gguf_files import gguf_file, kv, tensor, v_str, v_u32  # noqa: E402

STORE = b"\x00store\r\n\xff bytes"
URI = "https://example.com/manifests/model.c2pa"
RESERVE = 20_000
# Tensor data of each model: whole blocks to share, well above the size
# under which rewrites do not pad.
ELEMENTS = 1 << 20  # 4 MiB of float32
GGML_F32 = 0


# ----------------------------------------------------------------------------
# File systems


# name: (kind, more formatting arguments, mount options, st_blksize). The
# striped XFS reports its stripe width, 3 × 64 KiB, as st_blksize: no power
# of two, so the rewrites pad for its largest power-of-two factor.
FILE_SYSTEMS = {
    "xfs": ("xfs", (), None, 4096),
    "btrfs": ("btrfs", (), None, 4096),
    "ext4": ("ext4", (), None, 4096),
    "xfs-stripe": ("xfs", ("-d", "su=64k,sw=3"), "largeio", 3 * 65536),
}


@pytest.fixture(scope="module", params=list(FILE_SYSTEMS))
def fs(request):
    """(name, mount point) of a fresh file system for this module."""
    kind, mkfs, options, _ = FILE_SYSTEMS[request.param]
    with contextlib.ExitStack() as stack:
        try:
            # mkfs.xfs wants a 64 MiB log for a striped volume.
            size = (1 << 30) if mkfs else loopfs.MIN_SIZE
            point = stack.enter_context(loopfs.mounted(kind, size, mkfs=mkfs, options=options))
        except loopfs.Unavailable as e:
            if os.environ.get("TARNWICK_LOOPFS_REQUIRED"):
                pytest.fail(str(e))
            pytest.skip(str(e))
        yield request.param, point


@pytest.fixture
def folder(fs):
    """A fresh folder on the file system, removed after the test."""
    path = os.path.join(fs[1], uuid.uuid4().hex)
    os.mkdir(path)
    yield path
    shutil.rmtree(path)


@pytest.fixture
def shares(fs):
    """Whether the file system under test shares blocks between files."""
    return loopfs.SHARES[FILE_SYSTEMS[fs[0]][0]]


def block_of(path):
    """The block a rewrite into `path`'s folder keeps the data congruent to."""
    size = os.stat(path).st_blksize
    return max(4096, size & -size)


def test_block_size_reported(fs, folder):
    assert os.stat(folder).st_blksize == FILE_SYSTEMS[fs[0]][3]


# ----------------------------------------------------------------------------
# Models, each made by the format's own writer where there is one, with the
# tensor data starting mid-block. Each maker returns the tensors by name.


def _tensors(seed):
    rng = np.random.default_rng(seed)
    return {"w": rng.standard_normal(ELEMENTS - 1000, dtype=np.float32),
            "b": rng.standard_normal(1000, dtype=np.float32)}


def make_gguf(path):
    tensors = _tensors(1)
    kvs = [kv("general.architecture", v_str("llama")), kv("general.alignment", v_u32(32)),
           kv("general.name", v_str("sharing"))]
    records, data = [], b""
    for name, t in tensors.items():
        data += bytes(-len(data) % 32)
        records.append(tensor(name, [t.size], GGML_F32, len(data)))
        data += t.tobytes()
    with open(path, "wb") as f:
        f.write(gguf_file(kvs, records, data))
    return tensors


def load_gguf(path):
    from gguf import GGUFReader
    return {t.name: np.array(t.data) for t in GGUFReader(path).tensors}


def make_safetensors(path):
    from safetensors.numpy import save_file
    tensors = _tensors(2)
    save_file(tensors, path, metadata={"format": "np"})
    return tensors


def load_safetensors(path):
    from safetensors import safe_open
    with safe_open(path, framework="numpy") as f:
        return {k: f.get_tensor(k) for k in f.keys()}


def make_onnx(path):
    onnx = pytest.importorskip("onnx")
    from onnx import TensorProto, helper, numpy_helper
    tensors = _tensors(3)
    n = tensors["w"].size
    graph = helper.make_graph(
        [helper.make_node("Add", ["x", "w"], ["y"])], "sharing",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [n])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [n])],
        [numpy_helper.from_array(tensors["w"], "w"), numpy_helper.from_array(tensors["b"], "b")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.save(model, path)
    return tensors


def load_onnx(path):
    import onnx
    from onnx import numpy_helper
    loaded = {i.name: numpy_helper.to_array(i) for i in onnx.load(path).graph.initializer}
    ort = pytest.importorskip("onnxruntime")
    session = ort.InferenceSession(path, providers=["CPUExecutionProvider"])
    (y,) = session.run(None, {"x": np.zeros_like(loaded["w"])})
    assert np.array_equal(y, loaded["w"])
    return loaded


FORMATS = {"GGUF": (".gguf", make_gguf, load_gguf),
           "SafeTensors": (".safetensors", make_safetensors, load_safetensors),
           "ONNX": (".onnx", make_onnx, load_onnx)}


@pytest.fixture(params=sorted(FORMATS))
def model(request, folder):
    """(format, path, tensors) of a model on the file system under test."""
    suffix, make, _ = FORMATS[request.param]
    path = os.path.join(folder, "model" + suffix)
    return request.param, path, make(path)


# ----------------------------------------------------------------------------
# Checks


def tensor_data(data, tensors):
    """Where the tensor data lies in `data`: from the first tensor's bytes to
    the end of the last's, each found once (random data)."""
    spans = []
    for t in tensors.values():
        b = t.tobytes()
        at = data.index(b[:256])
        assert data.count(b[:256]) == 1 and data[at:at + len(b)] == b
        spans.append((at, at + len(b)))
    start, end = min(spans)[0], max(spans)[1]
    return start, end - start


def assert_shared(source, output, tensors, shares, congruent=True):
    """The output's tensor data is where the layout says (congruent to the
    source's modulo the block, or not), and its whole blocks are the
    source's own, marked shared, exactly when both allow it."""
    old, length = tensor_data(read(source), tensors)
    new, length_out = tensor_data(read(output), tensors)
    block = block_of(output)
    assert (length_out, (new - old) % block == 0) == (length, congruent)
    shared, total = loopfs.shared_blocks(source, old, output, new, length, block)
    assert total >= length // block - 1
    assert shared == (total if congruent and shares else 0)


def assert_loads(fmt, path, tensors):
    loaded = FORMATS[fmt][2](path)
    assert sorted(loaded) == sorted(tensors)
    assert all(np.array_equal(loaded[k].reshape(-1), tensors[k]) for k in tensors)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def keep(path):
    """A second name for the model, which keeps its old content when it is
    replaced in place."""
    kept = path + ".kept"
    os.link(path, kept)
    return kept


# ----------------------------------------------------------------------------
# Python


@pytest.mark.parametrize("in_place", [False, True], ids=["output", "in-place"])
def test_embed_file_shares_the_tensor_data(model, shares, in_place):
    fmt, path, tensors = model
    original = read(path)
    source = keep(path) if in_place else path
    out = path if in_place else path + ".out"
    result = tarnwick.embed_file(path, store=STORE, uri=URI, output=None if in_place else out)
    assert read(out) == tarnwick._embed_manifest_aligned(original, STORE, URI, block_of(out))
    assert (result.path, result.size, read(source)) == (out, os.path.getsize(out), original)
    assert_shared(source, out, tensors, shares)
    assert_loads(fmt, out, tensors)


def test_reserve_and_hash_share_and_digest_the_output(model, shares):
    fmt, path, tensors = model
    out = path + ".out"
    result = tarnwick.embed_file(path, reserve=RESERVE, hash="sha256", output=out)
    assert read(out) == tarnwick._embed_manifest_aligned(read(path), bytes(RESERVE), None, block_of(out))
    assert result.digest == tarnwick.data_hash(out, exclusions=[result.store_range])
    assert_shared(path, out, tensors, shares)
    assert_loads(fmt, out, tensors)


# A strip goes back to the layout before the embed. After a padded embed
# (embed_file) that is congruent again, so it shares; after the bytes
# functions' embed a GGUF strip cannot be (its padding goes with the C2PA
# entries), and copies.
@pytest.mark.parametrize("embedded_by", ["embed_file", "embed_manifest"])
@pytest.mark.parametrize("in_place", [False, True], ids=["output", "in-place"])
def test_strip_file(model, shares, embedded_by, in_place):
    fmt, path, tensors = model
    original = read(path)
    embedded = path + ".c2pa"
    if embedded_by == "embed_file":
        tarnwick.embed_file(path, store=STORE, uri=URI, output=embedded)
    else:
        with open(embedded, "wb") as f:
            f.write(tarnwick.embed_manifest_both(original, URI, STORE))
    before = read(embedded)
    source = keep(embedded) if in_place else embedded
    out = embedded if in_place else path + ".out"
    tarnwick.strip_file(embedded, output=None if in_place else out)
    assert read(out) == tarnwick._remove_manifest_aligned(before, block_of(out))
    if embedded_by == "embed_file" or fmt == "GGUF":
        assert read(out) == original
    assert_shared(source, out, tensors, shares, congruent=not (fmt == "GGUF" and embedded_by == "embed_manifest"))
    assert_loads(fmt, out, tensors)


# ----------------------------------------------------------------------------
# Command line


@pytest.mark.parametrize("route", ["-o", "--in-place"])
def test_cli_embed_shares_the_tensor_data(model, shares, route):
    from test_cli import CLI

    fmt, path, tensors = model
    original = read(path)
    in_place = route == "--in-place"
    source = keep(path) if in_place else path
    out = path if in_place else path + ".out"
    args = [CLI, "embed", path, "--reserve", str(RESERVE), "--uri", URI, "--hash", "sha384", "--json", "-q"]
    done = subprocess.run(args + (["--in-place"] if in_place else ["-o", out]), capture_output=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, b"")
    report = json.loads(done.stdout)
    assert read(out) == tarnwick._embed_manifest_aligned(original, bytes(RESERVE), URI, block_of(out))
    assert bytes.fromhex(report["digest"]) == tarnwick.data_hash(
        out, alg="sha384", exclusions=[tuple(report["store_range"])])
    assert_shared(source, out, tensors, shares)
    assert_loads(fmt, out, tensors)
