"""Where a model's bytes come from, against a loopback server that lies:
ranges that differ from the download, no ranges at all, drips, stalls,
resets, errors and a stop; then a local folder's refusals and fsspec."""

import base64
import hashlib
import http.server
import os
import pathlib
import re
import shutil
import socket
import struct
import sys
import threading
import time

import pytest

import tarnwick
from tarnwick import _source as source
from tarnwick._errors import ModelError, UsageError

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "many"))
pytest.importorskip("numpy")  # the model builders
import models  # noqa: E402
from st_files import st_file  # noqa: E402

SAMPLE = HERE.parents[1] / "examples" / "models" / "model.safetensors"


@pytest.fixture(autouse=True)
def quick(monkeypatch):
    monkeypatch.setattr(source, "TICK", 0.05)
    monkeypatch.setattr(source, "STALL", 0.5)
    monkeypatch.setattr(source, "WINDOW", 1.0)
    monkeypatch.setattr(source, "FLOOR", 1000)


def assertion(data, exclusions=()):
    kept, at = b"", 0
    for start, length in exclusions:
        kept, at = kept + data[at:start], start + length
    return {"alg": "sha256", "hash": base64.b64encode(hashlib.sha256(kept + data[at:]).digest()).decode(),
            "exclusions": [{"start": s, "length": n} for s, n in exclusions]}


# --- the hostile server ------------------------------------------------------

class Handler(http.server.BaseHTTPRequestHandler):
    """server.files: path -> (bytes downloaded, bytes served by range);
    server.behave: path -> a misbehaviour, on every request; server.plain:
    the paths served without ranges; server.gets: what was asked."""

    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def head(self, status, length, extra=()):
        self.send_response(status)
        self.send_header("Content-Length", str(length))
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()

    def do_GET(self):  # noqa: N802 - the base class's name
        path = self.path.lstrip("/")
        rng = self.headers.get("Range")
        self.server.gets.append((path, rng))
        behave = self.server.behave.get(path, "")
        if behave.startswith("redirect "):
            self.head(302, 0, [("Location", behave[9:])])
            return
        if behave == "503":
            self.send_error(503)
            return
        if path not in self.server.files:
            self.send_error(404)
            return
        stream, ranged = self.server.files[path]
        m = re.fullmatch(r"bytes=(\d+)-(\d+)", rng or "")
        if m and path not in self.server.plain:
            total = 1 << 40 if behave == "huge" else len(ranged)
            start, end = int(m[1]), min(int(m[2]), total - 1)
            body = ranged[start:end + 1] if behave != "huge" else b"x" * (end + 1 - start)
            self.head(206, len(body), [("Content-Range", f"bytes {start}-{end}/{total}")])
        else:
            body = stream
            self.head(200, behave[7:] if behave.startswith("length ") else len(body))
        if behave == "stall":
            self.server.release.wait()
        elif behave in ("drip", "huge"):
            for i in range(len(body)):
                if self.server.release.is_set():
                    return
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
                time.sleep(0.05)
        elif behave in ("short", "reset"):
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            if behave == "reset":  # once the client has read that half
                time.sleep(0.2)
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                os.close(self.connection.detach())
        else:
            self.wfile.write(body)


@pytest.fixture
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    srv.files, srv.behave, srv.plain, srv.gets, srv.release = {}, {}, set(), [], threading.Event()
    srv.daemon_threads = True
    srv.handle_error = lambda *a: None  # a client that hung up
    srv.url = f"http://127.0.0.1:{srv.server_address[1]}/"
    threading.Thread(target=srv.serve_forever, args=(0.05,), daemon=True).start()
    yield srv
    srv.release.set()
    srv.shutdown()
    srv.server_close()


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """A signed SafeTensors file: (bytes, its store range, its store)."""
    import credentials
    path = tmp_path_factory.mktemp("signed") / "model.safetensors"
    shutil.copy(SAMPLE, path)
    chain, key, _ = credentials.credentials()
    tarnwick.sign_file(str(path), cert=chain, key=key)
    return path.read_bytes(), tarnwick.inspect(str(path)).store_range, tarnwick.read_file(str(path))


def open_file(url, name, size=None, stop=None):
    src, rel = source.open_source(url + name, stop)
    assert rel == name
    return src.file(rel, size)


RANGE = "bytes=0-262143"  # the first request: the size and the first bytes


def header(a, b):
    return ('{"%s":{"dtype":"F32","shape":[2],"data_offsets":[0,8]},'
            '"%s":{"dtype":"F32","shape":[2],"data_offsets":[8,16]}}' % (a, b))


STREAMED, RANGED = st_file(header("b", "a"), bytes(16)), st_file(header("a", "b"), bytes(16))


def onnx_graph(tmp_path):
    """(an ONNX graph with external data, the same with it marked inline)."""
    data = pathlib.Path(models.onnx_model(str(tmp_path))).read_bytes()
    return data, data.replace(b"\x70\x01", b"\x70\x00")  # TensorProto.data_location: EXTERNAL -> DEFAULT


def first_difference(a, b):
    return next(i for i in range(len(a)) if a[i] != b[i])


# --- What is parsed is what is hashed -------------------------------------------

@pytest.mark.parametrize("kind", ["safetensors header", "onnx graph"])
def test_ranges_that_differ_from_the_download(server, tmp_path, kind):
    if kind == "onnx graph":
        streamed, ranged = onnx_graph(tmp_path)
        seen = False  # what the ranges say: no external data
    else:
        streamed, ranged = STREAMED, RANGED
        seen = None
    server.files["m"] = (streamed, ranged)
    with open_file(server.url, "m") as f:
        info, store, external = f.inspect()
        assert (external if seen is False else info.format) == (seen if seen is False else "SafeTensors")
        with pytest.raises(source.SourceError) as e:
            f.check(assertion(streamed))
    assert str(e.value) == (f"{server.url}m: the server sent different bytes at offset "
                            f"{first_difference(streamed, ranged)} to a range request and to the download of "
                            "the whole file")


@pytest.mark.parametrize("ranges,gets", [(True, [RANGE, None]), (False, [RANGE])])
def test_verified_on_one_download(server, signed, ranges, gets):
    data, store_range, store = signed
    server.files["model.safetensors"] = (data, data)
    if not ranges:
        server.plain.add("model.safetensors")
    with open_file(server.url, "model.safetensors", len(data)) as f:
        assert f.inspect()[1] == store
        assert f.check(assertion(data, [store_range])) == (True, store_range)
    assert server.gets == [("model.safetensors", g) for g in gets]


def test_a_file_hashed_whole_is_downloaded_once(server):
    data = SAMPLE.read_bytes()
    server.files["m"] = (data, b"")
    with open_file(server.url, "m", len(data)) as f:
        assert f.digest() == (len(data), hashlib.sha256(data).digest())
    assert server.gets == [("m", None)]


def test_no_ranges_and_metadata_past_the_head(server, monkeypatch, signed):
    monkeypatch.setattr(source, "METADATA_LIMIT", 100)
    server.files["m"] = (signed[0], signed[0])
    server.plain.add("m")
    with open_file(server.url, "m") as f, pytest.raises(source.SourceError) as e:
        f.inspect()
    assert str(e.value) == (f"{server.url}m: the server does not serve byte ranges, and the model's metadata "
                            "reaches past the first 100 bytes, as far as tarnwick buffers")


def test_a_size_not_the_signed_one_is_not_read(server):
    data = SAMPLE.read_bytes()
    server.files["m"] = (data, data)
    with open_file(server.url, "m", len(data) - 1) as f:
        assert (f.size(), f.digest(), f.check(assertion(data))) == (len(data), (len(data), None), (False, False))
    assert len(server.gets) == 1


# --- A failing server: a SourceError, bounded by progress -------------------------

@pytest.mark.parametrize("behave,ranges,error", [
    ("503", True, "HTTP 503 Service Unavailable"),
    ("reset", True, "Connection reset by peer"),
    ("reset", False, "Connection reset by peer"),
    ("stall", True, "the server sent nothing for 0.5 s"),
    ("stall", False, "the server sent nothing for 0.5 s"),
    ("drip", False, "the server sent fewer than 1000 bytes in 1 s"),
    ("huge", True, "the server sent fewer than 1000 bytes in 1 s"),
    ("short", True, "the server sent 60 of the 120 bytes asked"),
    ("short", False, "the server sent 60 of the file's 120 bytes"),
    ("length +120", False, "the server gave an unusable length '+120'"),
    ("length 1125899906842625", False, "the server gave an unusable length '1125899906842625'"),
    ("redirect https://127.0.0.1/m", True, "refusing the redirect to 'https://127.0.0.1/m': another scheme"),
    ("redirect http://192.0.2.1/m", True, "refusing the redirect to 'http://192.0.2.1/m': HTTPS is required "
                                          "(plain HTTP only on loopback)"),
    ("redirect /nowhere", True, "not found (HTTP 404)"),
])
def test_a_failing_server(server, behave, ranges, error):
    data = SAMPLE.read_bytes()
    server.files["m"] = (data, data)
    server.behave["m"] = behave
    if not ranges:
        server.plain.add("m")
    with open_file(server.url, "m") as f, pytest.raises(source.SourceError) as e:
        f.inspect()  # a range request, unless the server has none
        f.digest()
    assert str(e.value) == f"{server.url}m: {error}"
    assert isinstance(e.value, FileNotFoundError) == behave.endswith("nowhere")


def test_stop_ends_a_stalled_read(server, monkeypatch):
    monkeypatch.setattr(source, "STALL", 60.0)
    monkeypatch.setattr(source, "WINDOW", 60.0)
    server.files["m"] = (b"x" * 100, b"x" * 100)
    server.behave["m"] = "stall"
    stop = threading.Event()
    threading.Timer(0.2, stop.set).start()
    with open_file(server.url, "m", stop=stop) as f, pytest.raises(source.SourceError) as e:
        f.digest()
    assert str(e.value) == f"{server.url}m: stopped"


def test_a_redirect_followed(server):
    data = SAMPLE.read_bytes()
    server.files["there"] = (data, data)
    server.behave["m"] = "redirect /there"
    with open_file(server.url, "m") as f:
        assert f.digest() == (len(data), hashlib.sha256(data).digest())


@pytest.mark.parametrize("url,error", [
    ("http://192.0.2.1/m", "refusing 'http://192.0.2.1/m': HTTPS is required (plain HTTP only on loopback)"),
    ("simplecache::memory://m", "simplecache::memory://m: simplecache writes to disk; give the URL without it"),
])
def test_refused_urls(url, error):
    with pytest.raises(UsageError) as e:
        source.open_source(url)
    assert str(e.value) == error


# --- A local folder -------------------------------------------------------------

@pytest.fixture
def folder(tmp_path):
    root = tmp_path / "m"
    (root / "sub" / "deep").mkdir(parents=True)
    shutil.copy(SAMPLE, root / "model.safetensors")
    (root / "sub" / "deep" / "a.txt").write_bytes(b"a")
    (root / "bad.safetensors").write_bytes(b"garbage!" * 10)
    (root / "linked").symlink_to(root / "sub" / "deep" / "a.txt")
    (root / "up").symlink_to(root / "sub")
    os.mkfifo(root / "fifo")
    return root


@pytest.mark.parametrize("rel,error", [
    ("up/deep/a.txt", (ModelError, "up/deep/a.txt: 'up' is a link or not a folder; members must stay inside the "
                                   "model's folder")),
    ("fifo", (ModelError, "fifo: not a regular file")),
    ("gone", (source.NotFound, "gone: No such file or directory")),
    ("../m/model.safetensors", (ModelError, "../m/model.safetensors: member '../m/model.safetensors' is not a "
                                            "plain relative path inside the model's folder (no '.', '..' or "
                                            "empty component)")),
    ("/etc/passwd", (ModelError, "/etc/passwd: member '/etc/passwd' is an absolute path; members must stay "
                                 "inside the model's folder")),
    ("a\\b", (ModelError, "a\\b: member 'a\\\\b' is not a plain relative path (NUL or backslash)")),
])
def test_local_refusals(folder, rel, error):
    src, _ = source.open_source(str(folder))
    with pytest.raises(error[0]) as e:
        src.file(rel)
    assert str(e.value) == error[1]


def test_local_files(folder):
    src, rel = source.open_source(str(folder))
    assert rel == "" and src.isdir() and src.isdir("sub") and not src.isdir("up")
    assert src.list() == ["bad.safetensors", "fifo", "linked", "model.safetensors", "sub/deep/a.txt", "up"]
    assert src.list(prune=lambda d: d == "sub") == ["bad.safetensors", "fifo", "linked", "model.safetensors", "up"]
    with src.file("linked") as f:
        assert (f.link_target, f.digest()) == (str(folder / "sub/deep/a.txt"), (1, hashlib.sha256(b"a").digest()))
    with src.file("bad.safetensors") as f, pytest.raises(ModelError) as e:
        f.inspect()
    assert str(e.value) == "unrecognized ML model container format: 'bad.safetensors'"
    stop = threading.Event()
    stop.set()
    src, rel = source.open_source(str(folder / "model.safetensors"), stop)
    with src.file(rel) as f, pytest.raises(source.SourceError) as e:
        f.digest()
    assert str(e.value) == f"{folder}/model.safetensors: stopped"


def test_local_signed_file(tmp_path, signed):
    data, store_range, store = signed
    (tmp_path / "s.safetensors").write_bytes(data)
    src, rel = source.open_source(str(tmp_path / "s.safetensors"))
    with src.file(rel) as f:
        assert f.inspect()[1] == store
        assert f.check(assertion(data, [store_range])) == (True, store_range)
        with pytest.raises(source.StoreTooLarge):
            f.read_all(100)


# --- fsspec ---------------------------------------------------------------------

def test_fsspec_memory(signed):
    fsspec = pytest.importorskip("fsspec")
    data, store_range, _ = signed
    fs = fsspec.filesystem("memory")
    fs.pipe({"/src-test/m/model.safetensors": data, "/src-test/m/sub/x.json": b"{}"})
    src, rel = source.open_source("memory://src-test/m")
    assert (rel, src.list()) == ("", ["model.safetensors", "sub/x.json"])
    with src.file("model.safetensors") as f:
        assert f.check(assertion(data, [store_range])) == (True, store_range)
    with pytest.raises(source.NotFound) as e:
        src.file("gone").size()
    assert str(e.value) == "memory:///src-test/m/gone: not found"


@pytest.mark.parametrize("patch,stop,error", [
    ("cat_file", False, f"the server sent different bytes at offset {first_difference(STREAMED, RANGED)} to a "
                        "range request and to the download of the whole file"),
    ("info", True, "stopped"),
    ("info", False, "the server sent nothing for 0.5 s"),
])
def test_fsspec_hostile(monkeypatch, patch, stop, error):
    fsspec = pytest.importorskip("fsspec")
    fs = fsspec.filesystem("memory")
    fs.pipe({"/src-test/hostile/m": STREAMED})
    release = threading.Event()
    if patch == "cat_file":
        monkeypatch.setattr(type(fs), "cat_file", lambda self, path, start, end: RANGED[start:end])
    else:
        monkeypatch.setattr(type(fs), "info", lambda self, path, **kw: release.wait())
    stopping = threading.Event()
    if stop:
        threading.Timer(0.1, stopping.set).start()
    try:
        with pytest.raises(source.SourceError) as e:
            src, rel = source.open_source("memory://src-test/hostile/m", stopping)
            with src.file(rel) as f:
                f.inspect()
                f.digest()
    finally:
        release.set()
    assert str(e.value) == f"memory://src-test/hostile/m: {error}"
