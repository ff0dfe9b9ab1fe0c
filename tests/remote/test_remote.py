"""Models verified at a URL: a loopback HTTP server with byte ranges, and
fsspec's memory filesystem. Untampered models get the verdicts they get
locally; each tampering on the server gets the failure it gets locally, or
a refusal; nothing is written to disk."""

import functools
import hashlib
import http.server
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
pytest.importorskip("safetensors")
pytest.importorskip("huggingface_hub")
fsspec = pytest.importorskip("fsspec")
import tarnwick  # noqa: E402
import tarnwick._source as source  # noqa: E402
from tarnwick import _native as native  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "many"))
import credentials  # noqa: E402
from program import tarnwick_program  # noqa: E402
from test_folder import hub_model  # noqa: E402

SAMPLES = HERE.parents[1] / "examples" / "models"
INDEX = "model.safetensors.index.json"
SHARD = "model-00002-of-00005.safetensors"


class Handler(http.server.SimpleHTTPRequestHandler):
    """Files of the served folder with `Range: bytes=a-b`; server.behave maps
    a path to a misbehaviour."""

    def log_message(self, *args):
        pass

    def do_GET(self):  # noqa: N802 - the base class's name
        behave = self.server.behave.get(self.path.split("?")[0].lstrip("/"))
        if behave == "redirect":
            self.send_response(302)
            self.send_header("Location", "http://192.0.2.1" + self.path)
            self.end_headers()
            return
        if behave == "drip headers":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nX-Slow: ")
            for _ in range(100):
                self.wfile.write(b"a")
                self.wfile.flush()
                time.sleep(0.05)
            return
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            self.send_error(404)
            return
        data = pathlib.Path(path).read_bytes()
        ranged = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
        if ranged:
            start, end = int(ranged[1]), min(int(ranged[2]), len(data) - 1)
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end}/{len(data)}")
            body = data[start:end + 1]
        else:
            self.send_response(200)
            body = data
        lie = behave == "lie" and not ranged
        self.send_header("Content-Length", str(len(body) + (1000 if lie else 0)))
        self.end_headers()
        if behave == "short" and not ranged:
            self.wfile.write(body[:len(body) // 2])
            self.close_connection = True
        elif behave == "drip" and not ranged:
            for i in range(len(body)):
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
                time.sleep(0.05)
        else:
            self.wfile.write(body)


@pytest.fixture(scope="module")
def creds():
    chain, key, ca = credentials.credentials()
    return chain, key, ca


@pytest.fixture(scope="module")
def signed(tmp_path_factory, creds):
    """The untampered signed files: three single files and a many-file model."""
    root = tmp_path_factory.mktemp("signed")
    for name in ("model.safetensors", "model.gguf", "model.onnx"):
        shutil.copy(SAMPLES / name, root / name)
        tarnwick.sign_file(str(root / name), cert=creds[0], key=creds[1])
    shutil.copy(SAMPLES / "model.safetensors", root / "plain.safetensors")
    hub = hub_model(root / "hub")
    tarnwick.sign_model(str(hub), cert=creds[0], key=creds[1])
    return root


@pytest.fixture
def served(tmp_path, signed):
    """A copy of the signed files behind a loopback server: (folder, base URL, behave)."""
    folder = tmp_path / "served"
    shutil.copytree(signed, folder)
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), lambda *a: Handler(*a, directory=str(folder)))
    server.behave = {}
    server.daemon_threads = True
    server.handle_error = lambda *a: None  # a client that hung up
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield folder, f"http://127.0.0.1:{server.server_address[1]}/", server.behave
    server.shutdown()
    server.server_close()


# --- the native pieces ------------------------------------------------------

DATA = bytes(range(256)) * 1024


@pytest.mark.parametrize("exclusions,cuts", [
    ([], [0]),
    ([(0, 10)], [3, 70000]),
    ([(100, 0), (100, 5000), (200000, 62144)], [1, 99, 150000, 200001]),
    ([(len(DATA) - 7, 7)], [len(DATA) - 1]),
])
def test_stream_hash(exclusions, cuts):
    h = native._StreamHash("sha256", exclusions, len(DATA))
    for a, b in zip([0] + cuts, cuts + [len(DATA)]):
        h.update(DATA[a:b])
    kept, at = b"", 0
    for start, length in exclusions:
        kept, at = kept + DATA[at:start], start + length
    assert h.finish() == hashlib.sha256(kept + DATA[at:]).digest()


@pytest.mark.parametrize("steps,error", [
    ([b"x" * 11], "more bytes"),
    ([b"x" * 9, "finish"], "9 bytes of the 10"),
    ([b"x" * 10, "finish", b""], "finished"),
])
def test_stream_hash_refuses(steps, error):
    h = native._StreamHash("sha256", [], 10)
    with pytest.raises(ValueError, match=error):
        for step in steps:
            h.finish() if step == "finish" else h.update(step)


@pytest.mark.parametrize("exclusions", [[(5, 10)], [(0, 4), (2, 4)], [(4, 1), (0, 1)]])
def test_stream_hash_exclusions_checked(exclusions):
    with pytest.raises(ValueError):
        native._StreamHash("sha256", exclusions, 10)


@pytest.mark.parametrize("name", ["model.safetensors", "model.gguf", "model.onnx", "plain.safetensors"])
def test_inspect_remote_as_locally(signed, name):
    data = (signed / name).read_bytes()
    asked = []

    def read(offset, length):
        asked.append(length)
        return data[offset:offset + length]
    info, store, external = native._inspect_remote(len(data), read, name="u")
    assert info == tarnwick.inspect(str(signed / name)) and not external
    assert store == (tarnwick.read_file(str(signed / name)) if info.store_size else None)
    assert sum(asked) < len(data) or len(data) < 1 << 20


class Refused(Exception):
    pass


def refused(offset, length):
    raise Refused


@pytest.mark.parametrize("size,read,error", [
    (len(DATA), lambda o, n: DATA[o:o + n - 1], (ValueError, "url: the server gave")),
    (len(DATA), lambda o, n: DATA[o:o + n].decode("latin-1"), (TypeError, "bytes")),
    (len(DATA), refused, (Refused, None)),
    (1 << 63, refused, (OSError, "url")),
])
def test_inspect_remote_refuses(size, read, error):
    with pytest.raises(error[0], match=error[1]):
        native._inspect_remote(size, read, name="url")


# --- against a server -------------------------------------------------------

def outline(v):
    """What must be the same remotely as locally (not the names of places)."""
    members = getattr(v, "members", None)
    if members is not None:
        return v.state, [(m.path, m.state, [c for c, _ in m.failures]) for m in members], \
            [c for c, _ in v.store_verification.failures]
    return v.state, [c for c, _ in v.failures], v.label, tuple(v.binding or ())


@pytest.mark.parametrize("name", ["model.safetensors", "model.gguf", "model.onnx", "plain.safetensors"])
def test_file_as_locally(served, creds, name):
    folder, base, _ = served
    local = tarnwick.verify_file(str(folder / name), trust=creds[2])
    assert outline(tarnwick.verify_file(base + name, trust=creds[2])) == outline(local)
    assert local.state in ("trusted", "unsigned")


@pytest.mark.parametrize("entry", ["hub/", "hub/model.safetensors.index.json", "hub/model.c2pa"])
def test_model_as_locally(served, creds, entry):
    folder, base, _ = served
    local = tarnwick.verify_model(str(folder / "hub"), trust=creds[2])
    assert local.state == "trusted"
    if entry.endswith("/"):
        with pytest.raises(tarnwick.UsageError, match="cannot list a folder"):
            tarnwick.verify_model(base + entry, trust=creds[2])
        return
    assert outline(tarnwick.verify_model(base + entry, trust=creds[2])) == outline(local)


def flip(name, at=-3):
    def tamper(folder):
        path = folder / "hub" / name
        data = bytearray(path.read_bytes())
        data[at] ^= 1
        path.write_bytes(bytes(data))
    return tamper


def swap(folder):
    hub = folder / "hub"
    a, b = hub / SHARD, hub / "model-00003-of-00005.safetensors"
    data = a.read_bytes()
    a.write_bytes(b.read_bytes())
    b.write_bytes(data)


def longer(folder):
    with open(folder / "hub" / "config.json", "ab") as f:
        f.write(b" ")


# name: (tampering of the served folder, behaviour of the server, expected)
# expected: {member: failure codes} or an exception type with a message.
TAMPERED = {
    "byte flipped": (flip(SHARD), {}, {SHARD: ["assertion.dataHash.mismatch", "tarnwick.member.mismatch"]}),
    "byte flipped in a plain file": (flip("tokenizer.json", 5), {}, {"tokenizer.json": ["tarnwick.member.mismatch"]}),
    "shards swapped": (swap, {}, {SHARD: ["tarnwick.member.mismatch"],
                                  "model-00003-of-00005.safetensors": ["tarnwick.member.mismatch"]}),
    "shard missing": (lambda f: (f / "hub" / SHARD).unlink(), {}, {SHARD: ["tarnwick.member.missing"]}),
    "longer file": (longer, {}, {"config.json": ["tarnwick.member.mismatch"]}),
    "redirect to plain http elsewhere": (None, {"hub/config.json": "redirect"}, (OSError, "HTTPS")),
    "slow server": (None, {"hub/tokenizer.json": "drip"}, (OSError, "fewer than")),
    "slow headers": (None, {"hub/" + SHARD: "drip headers"}, (OSError, "fewer than|sent nothing")),
    "Content-Length too large": (None, {"hub/config.json": "lie"}, {"config.json": ["tarnwick.member.mismatch"]}),
    "body shorter than its Content-Length": (None, {"hub/" + SHARD: "short"}, (OSError, "sent .* of the file")),
}


@pytest.mark.parametrize("case", list(TAMPERED))
def test_tampered_model(served, creds, monkeypatch, case):
    folder, base, behave = served
    tamper, behaviour, expected = TAMPERED[case]
    if tamper is not None:
        tamper(folder)
    behave.update(behaviour)
    # A server's failure says nothing of the model: it could not be read.
    monkeypatch.setattr(source, "WINDOW", 1.0)
    monkeypatch.setattr(source, "STALL", 1.0)
    url = base + "hub/" + INDEX
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=expected[1]):
            tarnwick.verify_model(url, trust=creds[2])
        return
    v = tarnwick.verify_model(url, trust=creds[2])
    assert v.state == "invalid"
    failed = {m.path: sorted(c for c, _ in m.failures) for m in v.members if m.failures}
    assert failed == {k: sorted(c) for k, c in expected.items()}
    if tamper is not None:
        assert outline(v)[:2] == outline(tarnwick.verify_model(str(folder / "hub"), trust=creds[2]))[:2]


def test_failure_stops_the_others(served, monkeypatch):
    folder, base, behave = served
    behave.update({"hub/" + SHARD: "drip", "hub/tokenizer.json": "redirect"})
    started = time.monotonic()
    with pytest.raises(OSError, match="HTTPS"):
        tarnwick.verify_model(base + "hub/" + INDEX)
    assert time.monotonic() - started < 60  # the drip alone would take minutes


def test_file_tampered(served, creds):
    folder, base, behave = served
    data = bytearray((folder / "model.gguf").read_bytes())
    data[-2] ^= 1
    (folder / "model.gguf").write_bytes(bytes(data))
    v = tarnwick.verify_file(base + "model.gguf", trust=creds[2])
    assert outline(v) == outline(tarnwick.verify_file(str(folder / "model.gguf"), trust=creds[2]))
    assert v.state == "invalid"
    # A server that contradicts itself could not be read: no verdict on the model.
    for behaviour, said in (("lie", r"announced \d+ bytes for the file, then \d+"), ("short", "sent .* of the file")):
        behave["model.safetensors"] = behaviour
        with pytest.raises(OSError, match=said):
            tarnwick.verify_file(base + "model.safetensors", trust=creds[2])


@pytest.fixture
def memory(signed):
    fs = fsspec.filesystem("memory")
    for path in signed.rglob("*"):
        if path.is_file():
            fs.pipe_file("/models/" + str(path.relative_to(signed)), path.read_bytes())
    yield fs
    fs.rm("/models", recursive=True)


def test_memory(memory, signed, creds):
    local = tarnwick.verify_model(str(signed / "hub"), trust=creds[2])
    for url in ("memory://models/hub", "memory://models/hub/" + INDEX):
        assert outline(tarnwick.verify_model(url, trust=creds[2])) == outline(local)
    assert outline(tarnwick.verify_file("memory://models/model.gguf", trust=creds[2])) == \
        outline(tarnwick.verify_file(str(signed / "model.gguf"), trust=creds[2]))
    memory.pipe_file("/models/hub/notes.txt", b"added")
    v = tarnwick.verify_model("memory://models/hub", trust=creds[2])
    assert v.state == "invalid" and [m.failures[0][0] for m in v.members if m.failures] == ["tarnwick.member.extra"]


@pytest.mark.parametrize("call,path,expected", [
    ("verify_file", "nothing.gguf", FileNotFoundError),
    ("verify_model", "hub/nothing.c2pa", FileNotFoundError),
    ("verify_model", "nothing/model.safetensors.index.json", FileNotFoundError),
    ("verify_model", "unsigned/model.safetensors.index.json", "unsigned"),
])
def test_missing(served, call, path, expected):
    folder, base, _ = served
    shutil.copytree(folder / "hub", folder / "unsigned")
    (folder / "unsigned" / "model.c2pa").unlink()
    if isinstance(expected, str):
        assert getattr(tarnwick, call)(base + path).state == expected
        return
    with pytest.raises(expected):
        getattr(tarnwick, call)(base + path)


@pytest.mark.parametrize("url,message", [
    ("http://192.0.2.1/model.gguf", "HTTPS is required"),
    ("nosuchprotocol://127.0.0.1/model.gguf", "nosuchprotocol"),
    ("simplecache::memory://x", "writes to disk"),
    ("s3://bucket/model.gguf", "s3fs"),  # the protocol's package, when it is missing
])
def test_refused(url, message):
    if message == "s3fs":
        try:
            import s3fs  # noqa: F401
            pytest.skip("s3fs is installed")
        except ImportError:
            pass
    with pytest.raises(tarnwick.UsageError, match=message):
        tarnwick.verify_file(url)


def test_program_writes_nothing(served, tmp_path, signed, creds):
    folder, base, _ = served
    (tmp_path / "ca.pem").write_bytes(creds[2])
    empty, work = tmp_path / "tmp", tmp_path / "cwd"
    empty.mkdir()
    work.mkdir()
    env = dict(os.environ, TMPDIR=str(empty))
    run = subprocess.run([tarnwick_program(), "verify", "--json", "--trust", str(tmp_path / "ca.pem"),
                          base + "model.gguf", base + "hub/" + INDEX, "memory://nothing/here.gguf"],
                         cwd=work, env=env, capture_output=True, text=True, timeout=120)
    documents = json.loads(run.stdout)["models"]
    assert [d["state"] for d in documents] == ["trusted", "trusted", "error"], run.stderr
    local = subprocess.run([tarnwick_program(), "verify", "--json", "--trust", str(tmp_path / "ca.pem"),
                            str(folder / "model.gguf")], capture_output=True, text=True, timeout=120)
    remote_doc, local_doc = documents[0], json.loads(local.stdout)["models"][0]
    assert {**remote_doc, "path": None} == {**local_doc, "path": None}
    assert list(empty.iterdir()) == [] and list(work.iterdir()) == []


class Plain(http.server.SimpleHTTPRequestHandler):
    """Python's own server: no byte ranges."""

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("name", ["model.onnx", "model.safetensors", "model.gguf"])
def test_every_file_gets_the_verdict_its_local_copy_gets(tmp_path, signed, creds, name):
    """A server without ranges streams each file once; a file 1 MiB longer
    is judged over HTTP as on disk, from the same bytes."""
    shutil.copy(signed / name, tmp_path / name)
    with open(tmp_path / name, "ab") as f:
        f.write(bytes(1 << 20))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Plain, directory=str(tmp_path)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_port}/{name}"
        local = tarnwick.verify_file(tmp_path / name, trust=creds[2])
        remote = tarnwick.verify_file(url, trust=creds[2])
        assert remote.state == local.state == "invalid"
        assert [c for c, _ in remote.failures] == [c for c, _ in local.failures]
        shutil.copy(signed / name, tmp_path / name)
        assert tarnwick.verify_file(url, trust=creds[2]).state == "trusted"
    finally:
        server.shutdown()


class Stall(http.server.BaseHTTPRequestHandler):
    """Answers the headers, then sends nothing."""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "1000")
        self.end_headers()
        time.sleep(60)

    def log_message(self, *args):
        pass


def test_ctrl_c_ends_verify_of_a_stalled_server(creds, tmp_path):
    import signal
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stall)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        (tmp_path / "ca.pem").write_bytes(creds[2])
        url = f"http://127.0.0.1:{server.server_port}/hub/{INDEX}"
        run = subprocess.Popen([tarnwick_program(), "verify", "--trust", str(tmp_path / "ca.pem"), url],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(2)
        run.send_signal(signal.SIGINT)
        started = time.monotonic()
        _, err = run.communicate(timeout=30)
        # Within a second of Ctrl-C (a generous bound here, for a loaded machine).
        assert time.monotonic() - started < 5
        assert run.returncode == 130, err
    finally:
        server.shutdown()
