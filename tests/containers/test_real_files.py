"""Real model files from public packages (tests/containers/data/SOURCES.md): every
function on them, exact round trips, and the peer readers on the outputs."""

import hashlib
import json
import os
import pathlib
import re
import struct

import pytest

import tarnwick
from gguf_files import store_kv, u64, uri_kv
from st_files import header_of, tensors_of, written_header

DATA = pathlib.Path(__file__).parent / "data"
NO_MANIFEST = "no C2PA manifest found in model"

# name: (format, model type, sha256)
FILES = {
    "ggml-vocab-bert-bge.gguf": (
        "GGUF", "c2pa.types.model", "fbcbe22278fb302694d5f4a41bfe48c5f90e8e3554eab1c0435387dff654a854"),
    "ggml-vocab-llama-spm.gguf": (
        "GGUF", "c2pa.types.model", "16c3724582d59aa8bf84711894e833f916ee46a31d80e21312759c48bf8d0e69"),
    "silero_vad_16k.safetensors": (
        "SafeTensors", "c2pa.types.model", "c59271c284ae9c8335d795d60e0bfdb71aaaceec578d9bd9ffc1b8153c319ea1"),
    "silero_vad_16k_op15.onnx": (
        "ONNX", "c2pa.types.model.onnx", "7ed98ddbad84ccac4cd0aeb3099049280713df825c610a8ed34543318f1b2c49"),
}
GGUF_FILES = [n for n, (f, _, _) in FILES.items() if f == "GGUF"]

STORE = bytes(range(256)) * 40 + b"tail"
URI = "https://example.com/models/manifest.c2pa"


def model(name):
    data = (DATA / name).read_bytes()
    assert hashlib.sha256(data).hexdigest() == FILES[name][2], "tests/containers/data/SOURCES.md"
    return data


def embedded(name, store=STORE, uri=URI):
    return tarnwick.embed_manifest_both(model(name), uri, store)


@pytest.mark.parametrize("name", FILES)
def test_every_function(name):
    data = model(name)
    kind, model_type, _ = FILES[name]
    assert tarnwick.detect_format(data) == kind
    assert tarnwick.model_type(data) == model_type
    with pytest.raises(ValueError, match="^" + re.escape(NO_MANIFEST) + "$"):
        tarnwick.read_manifest(data)
    assert tarnwick.read_manifest_uri(data) is None
    # written by the format's own tools, so nothing to change
    assert tarnwick.remove_manifest(data) == data

    outputs = {
        "store": tarnwick.embed_manifest(data, STORE),
        "uri": tarnwick.embed_manifest_remote(data, URI),
        "both": tarnwick.embed_manifest_both(data, URI, STORE),
        "empty": tarnwick.embed_manifest_both(data, "", b""),
    }
    for what, out in outputs.items():
        assert tarnwick.detect_format(out) == kind
        assert tarnwick.read_manifest_uri(out) == {"store": None, "uri": URI, "both": URI, "empty": ""}[what]
        if what == "uri":
            with pytest.raises(ValueError, match="^" + re.escape(NO_MANIFEST) + "$"):
                tarnwick.read_manifest(out)
        else:
            assert tarnwick.read_manifest(out) == (b"" if what == "empty" else STORE)
        assert tarnwick.remove_manifest(out) == data
        # embedding again replaces what was there
        assert tarnwick.embed_manifest_both(out, "", b"") == outputs["empty"]


@pytest.mark.parametrize("name", GGUF_FILES)
def test_gguf_without_padding_stays_so(name):
    data = model(name)
    (entries,) = struct.unpack_from("<Q", data, 16)
    # the new entries follow the last one, and no padding follows them
    assert embedded(name) == data[:16] + u64(entries + 2) + data[24:] + store_kv(STORE) + uri_kv(URI)


@pytest.mark.parametrize("name", GGUF_FILES)
def test_gguf_reader(tmp_path, name):
    gguf = pytest.importorskip("gguf")

    def fields(path):
        reader = gguf.GGUFReader(str(path))
        assert len(reader.tensors) == 0
        return {
            key: ([int(t) for t in f.types], [bytes(f.parts[i].tobytes()) for i in f.data])
            for key, f in reader.fields.items()
            if not key.startswith("GGUF.")
        }

    original = tmp_path / "original.gguf"
    original.write_bytes(model(name))
    out = tmp_path / "embedded.gguf"
    out.write_bytes(embedded(name))
    before, after = fields(original), fields(out)
    assert list(after) == list(before) + ["c2pa:manifest", "c2pa:manifest.uri"]
    assert {k: after[k] for k in before} == before
    assert after["c2pa:manifest"] == ([gguf.GGUFValueType.ARRAY, gguf.GGUFValueType.UINT8], [bytes([b]) for b in STORE])
    assert after["c2pa:manifest.uri"] == ([gguf.GGUFValueType.STRING], [URI.encode()])


@pytest.mark.parametrize("name", GGUF_FILES)
def test_llama_cpp_tokenizer(tmp_path, name):
    llama_cpp = pytest.importorskip("llama_cpp")
    text = b"Hello world, it's a test: 1234 \xc3\xa9t\xc3\xa9!"
    tokens = []
    for label, data in [("original", model(name)), ("embedded", embedded(name))]:
        path = tmp_path / f"{label}.gguf"
        path.write_bytes(data)
        vocab = llama_cpp.Llama(model_path=str(path), vocab_only=True, verbose=False)
        tokens.append(vocab.tokenize(text))
    assert tokens[0] == tokens[1] and tokens[0]


SAFETENSORS = "silero_vad_16k.safetensors"


def test_safetensors_header_and_data():
    data, out = model(SAFETENSORS), embedded(SAFETENSORS)
    assert tensors_of(out) == tensors_of(data)
    assert (8 + len(header_of(data))) % 8 == 0  # as the format's writer pads it
    header = json.loads(written_header(out))
    assert json.loads(header_of(data)) == {k: v for k, v in header.items() if k != "__metadata__"}
    assert list(header["__metadata__"]) == ["c2pa:manifest", "c2pa:manifest.uri"]


def test_safetensors_numpy(tmp_path):
    np = pytest.importorskip("numpy")
    from safetensors import safe_open

    def load(data):
        path = tmp_path / "m.safetensors"
        path.write_bytes(data)
        with safe_open(str(path), framework="numpy") as f:
            return {k: f.get_tensor(k) for k in f.keys()}, f.metadata()

    before, no_metadata = load(model(SAFETENSORS))
    after, metadata = load(embedded(SAFETENSORS))
    assert no_metadata is None and metadata["c2pa:manifest.uri"] == URI
    assert before.keys() == after.keys() and len(before) > 10
    assert all(np.array_equal(before[k], after[k]) and before[k].dtype == after[k].dtype for k in before)


def test_safetensors_torch_and_zero_copy_views(tmp_path):
    torch = pytest.importorskip("torch")
    st_torch = pytest.importorskip("safetensors.torch")
    from test_safetensors import zero_copy_views

    data = model(SAFETENSORS)
    expected = st_torch.load(data)
    for out in (embedded(SAFETENSORS), embedded(SAFETENSORS, b"x" * 5, "u"), tarnwick.remove_manifest(data)):
        loaded = st_torch.load(out)
        views = zero_copy_views(torch, out)
        assert loaded.keys() == views.keys() == expected.keys()
        assert all(torch.equal(loaded[k], expected[k]) and torch.equal(views[k], expected[k]) for k in expected)


ONNX = "silero_vad_16k_op15.onnx"


def test_onnx_checker_and_metadata():
    onnx = pytest.importorskip("onnx")
    out = onnx.load_from_string(embedded(ONNX))
    onnx.checker.check_model(out)
    assert [(p.key, p.value) for p in out.metadata_props][-1] == ("c2pa:manifest.uri", URI)
    assert onnx.load_from_string(model(ONNX)).graph == out.graph


def test_onnxruntime_outputs_unchanged():
    ort = pytest.importorskip("onnxruntime")
    np = pytest.importorskip("numpy")
    feed = {
        "input": np.sin(np.arange(512, dtype=np.float32) / 7)[None, :],
        "state": np.zeros((2, 1, 128), np.float32),
        "sr": np.array(16000, np.int64),
    }
    runs = [
        ort.InferenceSession(data, providers=["CPUExecutionProvider"]).run(None, feed)
        for data in (model(ONNX), embedded(ONNX))
    ]
    assert [a.tobytes() for a in runs[0]] == [b.tobytes() for b in runs[1]]
    assert runs[0][0].shape == (1, 1)


@pytest.mark.parametrize("name", FILES)
def test_command_line_and_file_functions(tmp_path, name):
    from test_cli import run

    data = model(name)
    (tmp_path / "store").write_bytes(STORE)
    path = tmp_path / name
    path.write_bytes(data)
    assert run("embed", path, "--store", tmp_path / "store", "--uri", URI, "--in-place").returncode == 0
    block = max(4096, os.stat(tmp_path).st_blksize)
    assert path.read_bytes() == tarnwick._embed_manifest_aligned(data, STORE, URI, block)
    assert run("read", path).stdout == STORE
    assert run("read-uri", path).stdout.decode() == URI + "\n"
    info = json.loads(run("info", "--json", path).stdout)
    assert (info["format"], info["store_size"]) == (FILES[name][0], len(STORE))
    assert run("strip", path, "-o", tmp_path / "clean").returncode == 0
    assert (tmp_path / "clean").read_bytes() == tarnwick.remove_manifest(embedded(name))
    tarnwick.strip_file(path)
    assert path.read_bytes() == tarnwick.remove_manifest(embedded(name))


# With a block: the ONNX rewrite and the tensor-less vocabularies are the
# bytes functions' output; the SafeTensors data keeps its offset modulo the block.
@pytest.mark.parametrize("name", FILES)
def test_rewrites_for_files(name):
    data = model(name)
    out = tarnwick._embed_manifest_aligned(data, STORE, URI, 4096)
    removed = tarnwick._remove_manifest_aligned(out, 4096)
    if FILES[name][0] != "SafeTensors":
        assert out == embedded(name)
        assert removed == tarnwick.remove_manifest(out) == data
        return
    old = 8 + len(header_of(data))
    assert out != embedded(name)
    assert header_of(out).rstrip(b" ") == written_header(embedded(name))
    for rewritten in (out, removed):
        assert (8 + len(header_of(rewritten)) - old) % 4096 == 0
        assert tensors_of(rewritten) == tensors_of(data)
    assert tarnwick.read_manifest(out) == STORE
    assert tarnwick.remove_manifest(out) == tarnwick.remove_manifest(data)
