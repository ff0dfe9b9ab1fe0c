"""open_verified and tarnwick exec: a trusted model opened from sealed copies,
each loader reading exactly the verified bytes even once the model's own
files change; anything else refused with nothing left behind; the copies
unwritable; the native copy and writer."""

import errno
import fcntl
import gc
import hashlib
import mmap
import os
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

pytest.importorskip("c2pa")
np = pytest.importorskip("numpy")
pytest.importorskip("gguf")
pytest.importorskip("onnxruntime")
pytest.importorskip("safetensors")
import tarnwick  # noqa: E402
from tarnwick import _native  # noqa: E402
from tarnwick import _sealed  # noqa: E402

TESTS = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TESTS))
sys.path.insert(0, str(TESTS / "many"))
import credentials  # noqa: E402
import models  # noqa: E402
import st_files  # noqa: E402

SEALS = fcntl.F_SEAL_WRITE | fcntl.F_SEAL_GROW | fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_SEAL
FILES = {
    "safetensors": ["config.json", "model-00001-of-00003.safetensors", "model-00002-of-00003.safetensors",
                    "model-00003-of-00003.safetensors", "model.c2pa", "model.safetensors.index.json"],
    "gguf": ["config.json", "tiny-00001-of-00003.gguf", "tiny-00002-of-00003.gguf", "tiny-00003-of-00003.gguf",
             "tiny.c2pa"],
    "onnx": ["config.json", "model.c2pa", "model.onnx", "weights.bin"],
}
RUN_EXEC = "import sys; from tarnwick._sealed import run_exec; sys.exit(run_exec(sys.argv[1:]))"


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    chain, key, ca = credentials.credentials()
    path = tmp_path_factory.mktemp("creds") / "ca.pem"
    path.write_bytes(ca)
    return chain, key, ca, str(path)


@pytest.fixture(autouse=True)
def private_base(tmp_path, monkeypatch):
    """The folders open_verified makes, where each test can see them."""
    base = tmp_path / "run"
    base.mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(base))
    return base


def signed(kind, folder, creds, ignore=()):
    entry = getattr(models, kind + "_model")(str(folder))
    (folder / "config.json").write_text("{}")
    tarnwick.sign_model(entry, cert=creds[0], key=creds[1], ignore=ignore)
    return pathlib.Path(entry)


def flip_last_byte(path):
    with open(path, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        last = f.read(1)
        f.seek(-1, os.SEEK_END)
        f.write(bytes([last[0] ^ 1]))


def load(kind, m):
    """What each loader reads from the folder (or, for onnxruntime, the
    session built from the sealed bytes)."""
    if kind == "safetensors":
        from safetensors import safe_open
        out = {}
        for rel in sorted(m.files):
            if rel.endswith(".safetensors"):
                with safe_open(os.path.join(m.path, rel), "np") as f:
                    out.update({k: f.get_tensor(k) for k in f.keys()})
        return out
    if kind == "gguf":
        import gguf
        return {t.name: np.array(t.data) for rel in sorted(m.files) if rel.endswith(".gguf")
                for t in gguf.GGUFReader(os.path.join(m.path, rel)).tensors}
    return {"y": m.onnx_session().run(None, {"x": np.ones((1, 8), np.float32)})[0]}


def expected(kind):
    if kind == "onnx":
        return {"y": np.ones((1, 8), np.float32) @ WEIGHTS[0] + WEIGHTS[1]}
    return models.tensors(3 if kind == "gguf" else 6)


rng = np.random.default_rng(0)
WEIGHTS = (rng.standard_normal((8, 4)).astype(np.float32), rng.standard_normal((4,)).astype(np.float32))


@pytest.mark.parametrize("kind", ["safetensors", "gguf", "onnx"])
def test_each_loader_reads_the_verified_bytes_even_once_the_files_change(tmp_path, creds, kind, private_base):
    entry = signed(kind, tmp_path / "m", creds)
    with tarnwick.open_verified(tmp_path / "m", trust=creds[3]) as m:
        assert (m.verification.state, sorted(m.files)) == ("trusted", FILES[kind])
        assert m.entry == os.path.join(m.path, entry.name)
        assert os.stat(m.path).st_mode & 0o777 == 0o700
        for rel in FILES[kind]:  # every byte of the folder changed after the verdict
            flip_last_byte(tmp_path / "m" / rel)
        got, want = load(kind, m), expected(kind)
        assert sorted(got) == sorted(want)
        for name in want:
            np.testing.assert_allclose(got[name], want[name], rtol=1e-6)
    assert m.closed and os.listdir(private_base) == []


REFUSALS = [
    # (what is done to the signed safetensors model, the message after the model's path)
    ("a shard changed", lambda m, c: flip_last_byte(m / "model-00002-of-00003.safetensors"),
     "invalid, not trusted: model-00002-of-00003.safetensors is invalid (assertion.dataHash.mismatch: asset hash "
     "error, name: jumbf manifest, error: hash verification( Hashes do not match ))"),
    ("a file added", lambda m, c: (m / "extra.py").write_text("import os"),
     "invalid, not trusted: extra.py is invalid (tarnwick.member.extra: not part of the signed model)"),
    ("the config changed", lambda m, c: (m / "config.json").write_text("{ }"),
     "invalid, not trusted: config.json is invalid (tarnwick.member.mismatch: hash differs)"),
    ("another CA's anchor", lambda m, c: None, 'invalid, not trusted: tarnwick.signer.untrusted: the signer '
                                               '"CN=tarnwick test signer" does not chain to the given trust anchors'),
]


@pytest.mark.parametrize("what, change, message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_untrusted_models_are_refused_and_leave_nothing(tmp_path, creds, what, change, message, private_base):
    signed("safetensors", tmp_path / "m", creds)
    change(tmp_path / "m", creds)
    trust = credentials.credentials()[2] if what == "another CA's anchor" else creds[3]
    descriptors = sorted(os.listdir("/proc/self/fd"))
    with pytest.raises(tarnwick.UntrustedModel) as e:
        tarnwick.open_verified(tmp_path / "m", trust=trust)
    assert str(e.value) == f"{tmp_path / 'm'}: {message}"
    assert isinstance(e.value, tarnwick.ModelError) and e.value.verification.state == message.split(",")[0]
    assert os.listdir(private_base) == [] and sorted(os.listdir("/proc/self/fd")) == descriptors


def test_one_file_the_files_a_verdict_leaves_out_and_the_usage(tmp_path, creds):
    folder = signed("safetensors", tmp_path / "m", creds, ignore=["notes.txt"])
    (tmp_path / "m" / "notes.txt").write_text("not signed")
    with tarnwick.open_verified(folder.parent, trust=creds[3]) as m:  # present, ignored, never handed over
        assert "notes.txt" not in m.files and not os.path.lexists(os.path.join(m.path, "notes.txt"))
    shard = tmp_path / "m" / "model-00001-of-00003.safetensors"
    with pytest.raises(tarnwick.UsageError) as e:
        tarnwick.open_verified(shard, trust=creds[3])
    assert str(e.value) == (f"{shard}: a file of the model signed as a whole by {tmp_path / 'm' / 'model.c2pa'}: "
                            "open that model (its folder), or say alone=True to open this file on its own manifest")
    with tarnwick.open_verified(shard, trust=creds[3], alone=True) as m:
        assert (m.verification.state, m.files, m.entry) == (
            "trusted", {shard.name: shard.stat().st_size}, os.path.join(m.path, shard.name))
    with pytest.raises(tarnwick.UsageError) as e:
        tarnwick.open_verified(folder.parent)
    assert str(e.value) == ("open_verified needs trust (anchors) or signer_key (the signer's certificate): "
                            "without either no model can be trusted")


def test_the_copies_cannot_be_written_and_go_with_the_object(tmp_path, creds, private_base):
    signed("onnx", tmp_path / "m", creds)
    m = tarnwick.open_verified(tmp_path / "m", trust=creds[3])
    link = os.path.join(m.path, "weights.bin")
    fd = os.open(link, os.O_RDWR)
    try:
        assert fcntl.fcntl(fd, fcntl.F_GET_SEALS) == SEALS
        for attempt in (lambda: os.write(fd, b"x"), lambda: os.ftruncate(fd, 0),
                        lambda: mmap.mmap(fd, 4, prot=mmap.PROT_WRITE)):
            with pytest.raises(PermissionError) as e:
                attempt()
            assert e.value.errno == errno.EPERM
    finally:
        os.close(fd)
    path = m.path
    if os.fork() == 0:  # a child's end leaves its parent's folder alone
        m.close()
        os._exit(0 if os.path.isdir(path) else 1)
    assert os.wait()[1] == 0 and os.path.isdir(path)
    del m
    gc.collect()
    assert os.listdir(private_base) == []


def test_the_sealed_folder_as_a_source(tmp_path, creds):
    signed("safetensors", tmp_path / "m", creds)
    with tarnwick.open_verified(tmp_path / "m", trust=creds[3]) as m:
        source = _sealed.SealedFolder("m", m._copies)
        assert source.list() == FILES["safetensors"] and source.isdir() and not source.isdir("config.json")
        index = source.file("model.safetensors.index.json")
        raw = (tmp_path / "m" / "model.safetensors.index.json").read_bytes()
        assert index.digest() == (len(raw), hashlib.sha256(raw).digest()) and index.read_all(len(raw)) == raw
        with pytest.raises(tarnwick.ModelError) as e:
            index.read_all(10)
        assert str(e.value) == f"model.safetensors.index.json: {len(raw)} bytes, more than the 10 bytes tarnwick reads"
        shard = source.file("model-00001-of-00003.safetensors")
        info, store, external = shard.inspect()
        assert (info.format, len(store), external) == ("SafeTensors", info.store_size, [])
        declared = {}
        tarnwick._verify.check_container(shard, tarnwick._verify.options(creds[2]), declared=declared)
        assert shard.check(declared) == (True, info.store_range)
        assert shard.check(dict(declared, hash=bytes(32))) == (False, info.store_range)
        # Other exclusions than the store's are hashed from the copy as declared; the verdict refuses them.
        start, length = info.store_range
        raw = (tmp_path / "m" / "model-00001-of-00003.safetensors").read_bytes()
        other = hashlib.sha256(raw[:start] + raw[start + length + 1:]).digest()
        for forged in ({"start": start, "length": length + 1}, {"start": start, "length": length + 1.0}):
            assert shard.check(dict(declared, exclusions=[forged], hash=other)) == (
                (True, info.store_range) if type(forged["length"]) is int else (False, False))
            assert shard.check(dict(declared, exclusions=[forged])) == (
                (False, info.store_range) if type(forged["length"]) is int else (False, False))
        with pytest.raises(FileNotFoundError):
            source.file("missing.json")


def sha(data):
    return hashlib.sha256(data).digest()


TENSOR = '{"w":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}}'
COPIES = [
    # (the file, hash=, bind=, (whole SHA-256, data hash, store range) from its bytes and its store's range)
    ("a signed shard", "safetensors", True, True, lambda raw, s, n: (None, sha(raw[:s] + raw[s + n:]), (s, n))),
    ("a signed split", "gguf", False, True, lambda raw, s, n: (None, sha(raw[:s] + raw[s + n:]), (s, n))),
    ("a shard without a store", st_files.st_file(TENSOR, bytes(4)), False, True,
     lambda raw, s, n: (sha(raw), sha(raw), None)),
    ("a shard its loader refuses", st_files.st_file(TENSOR, bytes(5)), True, True,
     lambda raw, s, n: (sha(raw), None, None)),
    ("JSON, hashed whole", b"{}", True, True, lambda raw, s, n: (sha(raw), None, None)),
    ("a signed shard, not hashed", "safetensors", False, False, lambda raw, s, n: (None, None, None)),
]


@pytest.mark.parametrize("what, model, hash, bind, want", COPIES, ids=[c[0] for c in COPIES])
def test_a_copy_is_hashed_in_its_one_pass(tmp_path, creds, what, model, hash, bind, want):
    path, (start, length) = tmp_path / "file", (0, 0)
    if isinstance(model, bytes):
        path.write_bytes(model)
    else:
        signed(model, tmp_path / "m", creds)
        path = sorted((tmp_path / "m").glob("*-00002-of-00003.*"))[0]
        start, length = _native.inspect(path).store_range
    raw = path.read_bytes()
    fd, size, *hashed = _native._seal_copy(path, hash=hash, bind=bind)
    try:
        assert (size, os.pread(fd, size + 1, 0), tuple(hashed)) == (len(raw), raw, want(raw, start, length))
        assert fcntl.fcntl(fd, fcntl.F_GET_SEALS) == SEALS
    finally:
        os.close(fd)


def test_native_copies_and_writer_refuse_and_keep_no_descriptor(tmp_path):
    descriptors = sorted(os.listdir("/proc/self/fd"))
    os.mkfifo(tmp_path / "fifo")
    for path, error, text in [
        (tmp_path, ValueError, f"{tmp_path}: not a regular file (a directory)"),
        (tmp_path / "fifo", ValueError, f"{tmp_path / 'fifo'}: not a regular file (a FIFO)"),
        (tmp_path / "none", FileNotFoundError, f"[Errno 2] No such file or directory: '{tmp_path / 'none'}'"),
    ]:
        with pytest.raises(error) as e:
            _native._seal_copy(path)
        assert str(e.value) == text
    w = _native._SealWriter(4, name="a/b.bin")
    w.write(b"abc")
    for call, text in [(lambda: w.write(b"de"), "a/b.bin: more bytes than the 4 announced"),
                       (w.seal, "a/b.bin: 3 bytes of the 4 announced")]:
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == text
    w.write(b"d")
    fd, size, digest = w.seal()
    assert (size, digest, os.pread(fd, 8, 0), fcntl.fcntl(fd, fcntl.F_GET_SEALS)) == (
        4, hashlib.sha256(b"abcd").digest(), b"abcd", SEALS)
    os.close(fd)
    with pytest.raises(ValueError) as e:
        w.write(b"")
    assert str(e.value) == "a/b.bin: the writer is sealed or closed"
    with pytest.raises(OSError) as e:
        _native._SealWriter(1 << 62, name="huge")
    assert e.value.errno == errno.ENOMEM
    _native._SealWriter(4, name="dropped").write(b"ab")
    assert sorted(os.listdir("/proc/self/fd")) == descriptors


def run_exec(*args):
    return subprocess.run([sys.executable, "-c", RUN_EXEC, *map(str, args)], capture_output=True, text=True,
                          timeout=120)


SHOW = ("import os, sys; from safetensors import safe_open\n"
        "f = safe_open(os.path.join(sys.argv[1], 'model-00003-of-00003.safetensors'), 'np')\n"
        "print(sys.argv[1]); print(sys.argv[1:], sorted(os.listdir(sys.argv[1])), sorted(f.keys()))")


def test_exec_runs_the_command_on_the_sealed_folder_only_when_trusted(tmp_path, creds, private_base):
    signed("safetensors", tmp_path / "m", creds)
    run = run_exec("--trust", creds[3], tmp_path / "m", "--", sys.executable, "-c", SHOW, "{}", "--at={}/x")
    assert (run.returncode, run.stderr) == (0, "")
    folder = run.stdout.split("\n")[0]
    assert os.path.dirname(folder) == str(private_base)
    assert run.stdout == (f"{folder}\n{[folder, f'--at={folder}/x']} {FILES['safetensors']} "
                          "['layer.4.weight', 'layer.5.weight']\n")
    deadline = time.monotonic() + 30  # removed by its watcher once the command has ended
    while os.path.exists(folder) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not os.path.exists(folder)

    flip_last_byte(tmp_path / "m" / "model-00001-of-00003.safetensors")
    run = run_exec("--trust", creds[3], tmp_path / "m", "--", "touch", tmp_path / "ran")
    assert (run.returncode, run.stdout, run.stderr) == (1, "", (
        f"tarnwick exec: {tmp_path / 'm'}: invalid, not trusted: model-00001-of-00003.safetensors is invalid "
        "(assertion.dataHash.mismatch: asset hash error, name: jumbf manifest, error: hash verification( Hashes do "
        "not match ))\n"))
    assert not (tmp_path / "ran").exists() and os.listdir(private_base) == []


class Quiet(__import__("http.server").server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.mark.parametrize("kind", ["safetensors", "gguf"])
def test_a_model_at_a_url_opens_with_no_byte_on_disk(tmp_path, creds, kind):
    import functools
    import http.server
    import threading
    entry = signed(kind, tmp_path / "served" / "m", creds)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Quiet, directory=str(tmp_path / "served")))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_port}/m/{entry.name}"
    try:
        with tarnwick.open_verified(url, trust=creds[3]) as m:
            assert sorted(os.listdir(m.path)) == FILES[kind]
            got, want = load(kind, m), expected(kind)
            assert sorted(got) == sorted(want) and all(np.array_equal(got[k], want[k]) for k in want)
        flip_last_byte(entry.parent / FILES[kind][1])
        with pytest.raises(tarnwick.UntrustedModel, match="invalid, not trusted"):
            tarnwick.open_verified(url, trust=creds[3])
        assert os.listdir(os.environ["XDG_RUNTIME_DIR"]) == []
    finally:
        server.shutdown()
