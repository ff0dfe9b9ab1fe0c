"""New files private until commit: signed through the file layer, nothing
in the folder before commit or after a discard, the destination's link,
extended attributes and the source's permission bits kept."""

import gc
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from tarnwick import _native as native

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
STORE = bytes(range(256)) * 3
REPLACED = "replaced by another file during the rewrite; left as it is"


@pytest.fixture(params=["model.gguf", "model.onnx", "model.safetensors"])
def model(request, tmp_path):
    path = tmp_path / request.param
    shutil.copyfile(SAMPLES / request.param, path)
    path.chmod(0o640)
    return path


def entries(folder):
    return sorted(os.listdir(folder))


@pytest.mark.parametrize("in_place", [True, False], ids=["in-place", "output"])
def test_a_signed_store_commits_and_binds(model, in_place):
    native.embed_file(model, store=b"old", uri="https://example.com/old")
    out = model if in_place else model.with_name("signed")
    before = entries(model.parent)
    p = native._signing_rewrite(str(model), reserve=len(STORE), output=None if in_place else str(out))
    assert (p.path, entries(model.parent)) == (str(out), before)
    p.patch(STORE)
    p.commit()
    assert native.read_file(out) == STORE and native.read_file_uri(out) is None
    assert native.check_binding(out, [p.store_range], p.digest).ok
    assert (p.size, os.stat(out).st_mode & 0o7777) == (out.stat().st_size, 0o640)


def test_a_remote_manifest_alone_needs_no_patch(model):
    p = native._signing_rewrite(model, reserve=None, uri="https://example.com/m.c2pa")
    assert p.store_range is None
    p.commit()
    assert native.read_file_uri(model) == "https://example.com/m.c2pa" and native.inspect(model).store_size is None
    assert native.data_hash(model, exclusions=[]) == p.digest


def discarded(p):
    p.discard()
    p.discard()


def in_with(p):
    with pytest.raises(KeyError), p:
        raise KeyError


def dropped(p):
    del p
    gc.collect()


@pytest.mark.parametrize("end", [discarded, in_with, dropped])
@pytest.mark.parametrize("make", ["rewrite", "in place", "copy", "store"])
def test_nothing_is_left_without_a_commit(model, end, make):
    before = entries(model.parent)
    out = str(model.with_name("out"))
    p = {"rewrite": lambda: native._signing_rewrite(model, reserve=10, output=out),
         "in place": lambda: native._signing_rewrite(model, reserve=10),
         "copy": lambda: native._copying(model, output=out),
         "store": lambda: native._storing(STORE, output=out, like=model)}[make]()
    end(p)
    assert entries(model.parent) == before and native.read_file_uri(model) is None


@pytest.mark.parametrize("call, error, message", [
    (lambda p: p.patch(STORE + b"x"), ValueError, "store size differs from the reserved store: 769 != 768: '{out}'"),
    (lambda p: p.commit(), ValueError, "the reserved store was never written (patch() first)"),
    (lambda p: (p.patch(STORE), p.patch(STORE)), ValueError, "the store was written already"),
    (lambda p: (p.discard(), p.commit()), ValueError, "the new file was discarded"),
    (lambda p: type(p)(), TypeError, "cannot create 'tarnwick._native.Pending' instances"),
])
def test_misuse_is_refused(model, call, error, message):
    out = model.with_name("out")
    p = native._signing_rewrite(model, reserve=len(STORE), output=out)
    with pytest.raises(error) as e:
        call(p)
    assert str(e.value) == message.format(out=out)
    p.discard()
    assert not out.exists()


def test_in_place_through_a_symlink_replaces_the_target_and_keeps_its_xattr(model):
    try:
        os.setxattr(model, "user.k", b"v")
    except OSError:
        pytest.skip("the file system refuses user extended attributes")
    link = model.with_name("link")
    link.symlink_to(model.name)
    p = native._signing_rewrite(str(link), reserve=len(STORE))
    p.patch(STORE)
    p.commit()
    assert os.readlink(link) == model.name and native.read_file(model) == STORE
    assert os.getxattr(model, "user.k") == b"v"


def test_a_private_model_gives_a_private_output_owned_by_the_caller(model):
    model.chmod(0o600)
    out = model.with_name("out")
    out.write_bytes(b"left by someone else")
    out.chmod(0o666)
    if os.geteuid() == 0:
        os.chown(out, 12345, 12345)
    for make in (lambda: native._signing_rewrite(model, reserve=1, output=out),
                 lambda: native._copying(model, output=out), lambda: native._storing(b"s", output=out, like=model)):
        p = make()
        if p.store_range:
            p.patch(b"s")
        p.commit()
        assert (out.stat().st_mode & 0o7777, out.stat().st_uid) == (0o600, os.geteuid())


@pytest.mark.parametrize("write", [native.strip_file, lambda m, output: native.embed_file(m, uri="u:x", output=output)],
                         ids=["strip_file", "embed_file"])
def test_a_new_output_of_the_file_functions_takes_the_models_bits_as_cp(model, write):
    model.chmod(0o600)
    write(model, output=model.with_name("new"))
    assert model.with_name("new").stat().st_mode & 0o7777 == 0o600


def test_the_entry_swapped_before_commit_is_refused(model):
    p = native._signing_rewrite(model, reserve=len(STORE))
    p.patch(STORE)
    other = model.with_name("other")
    other.write_bytes(b"swapped in")
    os.replace(other, model)
    with pytest.raises(OSError) as e:
        p.commit()
    assert str(e.value) == f"{str(model)!r}: {REPLACED}" and model.read_bytes() == b"swapped in"
    assert entries(model.parent) == [model.name]


FIFO = """
import os, sys
from tarnwick import _native as n
fifo = sys.argv[1]
for call in (lambda: n._signing_rewrite(fifo, reserve=1), lambda: n._signing_rewrite(fifo, reserve=1, output=fifo + "o"),
             lambda: n._copying(fifo, output=fifo + "o"), lambda: n._hash_file(fifo)):
    try:
        call()
    except ValueError as e:
        print(e)
"""


def test_a_fifo_is_refused_without_blocking(tmp_path):
    fifo = tmp_path / "x.gguf"
    os.mkfifo(fifo)
    run = subprocess.run([sys.executable, "-c", FIFO, str(fifo)], capture_output=True, text=True, timeout=60)
    assert run.stdout == f"{str(fifo)!r}: not a regular file (a FIFO)\n" * 4, run.stderr


def test_copies_and_hashes_are_of_the_whole_file(tmp_path):
    index = tmp_path / "model.safetensors.index.json"
    index.write_bytes(b'{"weight_map": {"w": "model-00001.safetensors"}}' + os.urandom(1 << 20))
    expected = hashlib.sha256(index.read_bytes()).digest()
    assert native._hash_file(index) == (index.stat().st_size, expected)
    p = native._copying(index, output=tmp_path / "copy.json", name="shown")
    assert (p.size, p.store_range, p.digest) == (index.stat().st_size, None, expected)
    p.commit()
    assert (tmp_path / "copy.json").read_bytes() == index.read_bytes()
    with pytest.raises(FileNotFoundError) as e:
        native._hash_file(tmp_path / "missing", name="shown")
    assert e.value.filename == "shown"


def test_no_references_or_descriptors_are_kept(model):
    out, store = str(model.with_name("out")), bytes(bytearray(STORE))
    args = [model, out, store, native.Pending]
    gc.collect()
    counts, fds = [sys.getrefcount(a) for a in args], len(os.listdir("/proc/self/fd"))
    for _ in range(200):
        native._signing_rewrite(model, reserve=len(store), output=out).patch(store)
        native._storing(store, output=out).discard()
    gc.collect()
    assert ([sys.getrefcount(a) for a in args], len(os.listdir("/proc/self/fd"))) == (counts, fds)
