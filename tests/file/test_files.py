"""File functions: the same results as the bytes functions on the three
formats, the error mapping, and atomicity on every failure."""

import errno
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading

import pytest

tarnwick = pytest.importorskip("tarnwick")
if not hasattr(tarnwick, "embed_file"):
    pytest.skip("this build has no file functions", allow_module_level=True)

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
SAMPLE_NAMES = ["model.gguf", "model.onnx", "model.safetensors"]
STORE = b"\x00store\r\n\xff bytes"
URI = "https://example.com/manifests/model.c2pa"


@pytest.fixture(params=SAMPLE_NAMES)
def model(request, tmp_path):
    path = tmp_path / request.param
    shutil.copyfile(SAMPLES / request.param, path)
    return path


def entries(folder):
    return sorted(p.name for p in folder.iterdir())


EMBEDS = [
    (dict(store=STORE), lambda m: tarnwick.embed_manifest(m, STORE)),
    (dict(uri=URI), lambda m: tarnwick.embed_manifest_remote(m, URI)),
    (dict(store=STORE, uri=URI), lambda m: tarnwick.embed_manifest_both(m, URI, STORE)),
]


@pytest.mark.parametrize("kwargs, expected", EMBEDS, ids=["store", "uri", "both"])
@pytest.mark.parametrize("in_place", [False, True], ids=["output", "in-place"])
def test_embed_file_matches_bytes_function(model, kwargs, expected, in_place):
    original = model.read_bytes()
    out = model if in_place else model.with_name("out")
    result = tarnwick.embed_file(model, output=None if in_place else str(out), **kwargs)
    assert out.read_bytes() == expected(original)
    assert (result.path, result.size) == (str(out), out.stat().st_size)
    if not in_place:
        assert model.read_bytes() == original


def test_strip_and_readers_match_bytes_functions(model):
    embedded = tarnwick.embed_manifest_both(model.read_bytes(), URI, STORE)
    model.write_bytes(embedded)
    assert tarnwick.read_file(model) == STORE
    assert tarnwick.read_file_uri(str(model)) == URI
    info = tarnwick.inspect(model)
    assert info == tarnwick.inspect(embedded)
    assert (info.format, info.model_type, info.store_size, info.uri) == (
        tarnwick.detect_format(embedded), tarnwick.model_type(embedded), len(STORE), URI)
    assert repr(info).startswith("tarnwick.ModelInfo(format=")

    result = tarnwick.strip_file(model)
    assert model.read_bytes() == tarnwick.remove_manifest(embedded)
    assert result.size == model.stat().st_size
    assert tarnwick.inspect(model).store_range is None


def test_model_faults_raise_the_bytes_functions_texts(tmp_path):
    junk = tmp_path / "junk.bin"
    junk.write_bytes(b"\x07not a model")
    # The text, then the file's name, which is also the exception's filename.
    for call in (tarnwick.read_file, tarnwick.read_file_uri, tarnwick.strip_file, tarnwick.inspect,
                 tarnwick.data_hash, lambda p: tarnwick.embed_file(p, uri=URI)):
        with pytest.raises(ValueError) as e:
            call(junk)
        assert (str(e.value), e.value.filename) == (f"unrecognized ML model container format: {str(junk)!r}",
                                                    str(junk))
    assert junk.read_bytes() == b"\x07not a model"
    with pytest.raises(ValueError):
        tarnwick.embed_file(junk)  # neither store nor uri
    assert entries(tmp_path) == ["junk.bin"]


@pytest.mark.parametrize("bad", [b"model.gguf", 3, None])
def test_paths_only(bad):
    with pytest.raises(TypeError):
        tarnwick.read_file(bad)


def test_os_errors_carry_errno_and_filename(model, tmp_path):
    missing = str(tmp_path / "missing.gguf")
    with pytest.raises(FileNotFoundError) as e:
        tarnwick.inspect(missing)
    assert (e.value.errno, e.value.filename) == (errno.ENOENT, missing)
    with pytest.raises(IsADirectoryError):
        tarnwick.strip_file(tmp_path)
    with pytest.raises(FileNotFoundError):
        tarnwick.strip_file(model, output=str(tmp_path / "no" / "such" / "dir"))


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"), reason="needs root")
def test_permission_error_for_another_user(model):
    """Another user may read root's model but not replace it in root's folder."""
    folder = pathlib.Path(tempfile.mkdtemp())
    try:
        folder.chmod(0o755)
        shutil.copy(model, folder)
        shutil.copytree(os.path.dirname(tarnwick.__file__), folder / "tarnwick")
        script = (f"import sys; sys.path.insert(0, {str(folder)!r}); import tarnwick\n"
                  "try:\n    tarnwick.strip_file(sys.argv[1])\n"
                  "except PermissionError as e:\n    print(e.errno, e.filename)\n")
        target = str(folder / model.name)
        as_other = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", sys.executable, "-I"]
        if subprocess.run([*as_other, "-c", "pass"], capture_output=True).returncode != 0:
            pytest.skip("this interpreter cannot be run by another user")
        r = subprocess.run([*as_other, "-c", script, target], capture_output=True, text=True)
        assert r.stdout.split() == [str(errno.EACCES), target], r.stderr
        assert (folder / model.name).read_bytes() == model.read_bytes()
    finally:
        shutil.rmtree(folder)


def test_progress_and_an_exception_from_it(model):
    original = model.read_bytes()
    seen = []
    tarnwick.embed_file(model, uri=URI, output=str(model.with_name("out")),
                        progress=lambda done, total: seen.append((done, total)))
    assert seen and seen[-1][0] == seen[-1][1] == model.with_name("out").stat().st_size

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tarnwick.embed_file(model, store=STORE, progress=stop)
    assert model.read_bytes() == original
    assert entries(model.parent) == sorted([model.name, "out"])


def test_output_may_not_be_the_model(model):
    with pytest.raises(ValueError):
        tarnwick.strip_file(model, output=str(model))


def test_threads_rewrite_their_own_files(tmp_path):
    paths = []
    for i in range(4):
        p = tmp_path / f"m{i}.gguf"
        shutil.copyfile(SAMPLES / "model.gguf", p)
        paths.append(p)
    expected = tarnwick.embed_manifest(paths[0].read_bytes(), STORE)
    threads = [threading.Thread(target=tarnwick.embed_file, args=(p,), kwargs=dict(store=STORE))
               for p in paths]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(p.read_bytes() == expected for p in paths)
    assert entries(tmp_path) == [p.name for p in paths]
