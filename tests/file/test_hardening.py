"""File functions against a hostile or changing file: digests of the bytes
written, no signal handler in the interpreter, regular files only, writes in
place that keep what the file had and never make a set-id file."""

import os
import pathlib
import shutil
import stat
import subprocess
import sys
import threading

import pytest

tarnwick = pytest.importorskip("tarnwick")

from program import tarnwick_program  # noqa: E402

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
TESTS = str(pathlib.Path(__file__).resolve().parents[1])
URI = "https://example.com/manifests/model.c2pa"


@pytest.fixture(params=["model.gguf", "model.onnx", "model.safetensors"])
def model(request, tmp_path):
    path = tmp_path / request.param
    shutil.copyfile(SAMPLES / request.param, path)
    return path


# --- the digest is of the file written ------------------------------------------

def cut(path):
    os.truncate(path, 100)


def swap_weights(path):
    # Four KiB of the model changed, its modification time put back.
    st = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(st.st_size - 4096)
        f.write(os.urandom(4096))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


@pytest.mark.parametrize("change", [cut, swap_weights])
def test_a_digest_is_of_the_output_whatever_the_model_does_after_the_copy(change, tmp_path):
    model = tmp_path / "big.safetensors"
    # Tensor data of several MiB, so that the digest is still being taken
    # when the copy ends.
    header = b'{"w":{"dtype":"U8","shape":[8388608],"data_offsets":[0,8388608]}}'
    model.write_bytes(len(header).to_bytes(8, "little") + header + os.urandom(8 << 20))
    out = tmp_path / "out.safetensors"

    def progress(done, total):
        if done == total:
            change(model)

    r = tarnwick.embed_file(model, reserve=1000, hash="sha256", output=out, progress=progress)
    assert r.digest == tarnwick.data_hash(out, exclusions=[r.store_range])


# --- nothing of ours in the interpreter's signal handling ---------------------------

CUT_WHILE_READ = """
import faulthandler, os, signal, sys, threading, time
sys.path[:0] = {path!r}
def caught():  # the signals with a handler, as the kernel sees them
    return [l for l in open("/proc/self/status") if l.startswith("SigCgt:")]
before = caught()
import tarnwick
tarnwick.inspect  # the module itself, loaded
assert caught() == before, (before, caught())
faulthandler.enable()
from gguf_files import STRING, gguf_file, gstr, kv, v_array
model = gguf_file([kv("t", v_array(STRING, 200000, b"".join(gstr(f"tok{{i}}") for i in range(200000))))])
name = {name!r}
open(name, "wb").write(model)
stop = time.time() + 1.5
def cut():
    fd = os.open(name, os.O_WRONLY)
    while time.time() < stop:
        os.ftruncate(fd, 4096)
        os.pwrite(fd, model[4096:], 4096)
    os.close(fd)
threading.Thread(target=cut).start()
def read():
    while time.time() < stop:
        for call in (tarnwick.inspect, tarnwick.read_file_uri, tarnwick.data_hash):
            try:
                call(name)
            except (OSError, ValueError):
                pass
readers = [threading.Thread(target=read) for _ in range(4)]
for t in readers:
    t.start()
for t in readers:
    t.join()
"""


def test_a_file_cut_short_while_read_is_an_error_even_with_faulthandler(tmp_path):
    code = CUT_WHILE_READ.format(path=[TESTS, *sys.path], name=str(tmp_path / "m.gguf"))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr


# --- regular files only -------------------------------------------------------------

READERS = {
    "read_file": tarnwick.read_file,
    "read_file_uri": tarnwick.read_file_uri,
    "inspect": tarnwick.inspect,
    "data_hash": tarnwick.data_hash,
    "check_binding": lambda p: tarnwick.check_binding(p, [], b""),
    "embed_file -o": lambda p: tarnwick.embed_file(p, uri=URI, output=p.parent / "out"),
    "strip_file -o": lambda p: tarnwick.strip_file(p, output=p.parent / "out"),
}


@pytest.mark.parametrize("call", READERS.values(), ids=READERS.keys())
@pytest.mark.parametrize("kind", ["FIFO", "character device"])
def test_file_functions_take_regular_files_only(call, kind, tmp_path):
    path = tmp_path / "model"
    if kind == "FIFO":
        os.mkfifo(path)  # no writer: an open for reading would block
    else:
        path.symlink_to("/dev/zero")  # endless
    with pytest.raises(ValueError) as e:
        call(path)
    assert str(e.value) == f"{str(path)!r}: not a regular file (a {kind})"


# --- writing in place ----------------------------------------------------------------

def test_strip_in_place_leaves_a_model_without_c2pa_data_untouched(model):
    before = os.stat(model)
    r = tarnwick.strip_file(model)
    after = os.stat(model)
    assert (r.changed, r.size) == (False, before.st_size)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    tarnwick.embed_file(model, uri=URI)
    assert tarnwick.strip_file(model).changed
    assert tarnwick.read_file_uri(model) is None


def test_a_rewrite_in_place_never_keeps_set_id_bits(model):
    model.chmod(0o6755)
    tarnwick.embed_file(model, uri=URI)
    assert stat.S_IMODE(os.stat(model).st_mode) == 0o755


def test_the_command_line_says_when_it_drops_set_id_bits(model):
    model.chmod(0o4750)
    r = subprocess.run([tarnwick_program(), "embed", model, "--uri", URI, "--in-place"], capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (0, f"{model}: the set-user-ID and set-group-ID bits were cleared\n")
    assert stat.S_IMODE(os.stat(model).st_mode) == 0o750


def test_a_rewrite_in_place_keeps_extended_attributes(model):
    try:
        os.setxattr(model, "user.origin", b"hub")
    except OSError as e:
        pytest.skip(f"no user extended attributes here: {e}")
    tarnwick.embed_file(model, uri=URI)
    assert os.getxattr(model, "user.origin") == b"hub"


def test_patch_refuses_a_model_with_other_names(model):
    r = tarnwick.embed_file(model, reserve=100, hash="sha256")
    os.link(model, model.parent / "other-name")
    before = model.read_bytes()
    with pytest.raises(ValueError, match="more than one name"):
        tarnwick.patch_file(model, bytes(100))
    run = subprocess.run([tarnwick_program(), "patch", model, "--store", "/dev/null"], capture_output=True, text=True)
    assert run.returncode == 2 and "more than one name" in run.stderr
    assert model.read_bytes() == before and r.store_range


def test_patch_never_opens_a_fifo(tmp_path):
    fifo = tmp_path / "model.gguf"
    os.mkfifo(fifo)
    opened = []
    # A reader blocked on the FIFO would wake if the FIFO were opened for
    # writing.
    reader = threading.Thread(target=lambda: opened.append(os.open(fifo, os.O_RDONLY)), daemon=True)
    reader.start()
    with pytest.raises(ValueError, match="not a regular file"):
        tarnwick.patch_file(fifo, b"x")
    reader.join(0.2)
    assert opened == []
    os.close(os.open(fifo, os.O_WRONLY))  # let the reader go
    reader.join()
    os.close(opened[0])


# --- stopping -----------------------------------------------------------------------

class Stop(Exception):
    pass


@pytest.mark.parametrize("call", [
    lambda p, cb: tarnwick.data_hash(p, progress=cb),
    lambda p, cb: tarnwick.check_binding(p, [], b"", progress=cb),
    lambda p, cb: tarnwick.embed_file(p, reserve=10, hash="sha512", output=p.parent / "out", progress=cb),
], ids=["data_hash", "check_binding", "embed_file with a hash"])
def test_an_exception_from_progress_stops_the_pass(call, model):
    def progress(done, total):
        raise Stop

    with pytest.raises(Stop):
        call(model, progress)
    assert sorted(p.name for p in model.parent.iterdir()) == [model.name]


RESERVE_MEMORY = """
import resource, sys
sys.path[:0] = {path!r}
import tarnwick
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
r = tarnwick.embed_file({model!r}, reserve=256 << 20, hash="sha256", output={out!r})
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(r.store_range[1], grown < 64 << 10)
"""


@pytest.mark.parametrize("name, stored", [("model.gguf", 256 << 20), ("model.onnx", (256 << 20) // 3 * 4 + 4)])
def test_a_reservation_costs_no_memory_of_its_size(name, stored, tmp_path):
    model = tmp_path / name
    shutil.copyfile(SAMPLES / name, model)
    code = RESERVE_MEMORY.format(path=sys.path, model=str(model), out=str(tmp_path / "out"))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.stdout.split() == [str(stored), "True"], run.stderr
    assert tarnwick.check_binding(tmp_path / "out", [(0, 0)], b"").store_range[1] == stored
