"""verify_file and verify_model on a URL: a model verified where it is
published, with the same verdicts, failures and JSON as a local one.

`https://` (plain `http://` on loopback only) is read with http.client;
any other scheme (`s3://`, `gs://`, `hf://`, `memory://`, `file://`, ...)
through fsspec (`tarnwick[remote]`). Nothing is written to disk and memory
stays bounded: a container's metadata comes through range reads into the
native parser's image of the file, and every file is then streamed once,
hashed natively as its bytes arrive.

Everything a server says is untrusted: sizes are bounded before use, a body
never gives more bytes than the signed (or announced) size, a shorter one is
an error, and every file has one deadline for its whole transfer, scaled by
its size, checked between reads so that a server dripping bytes cannot hold
it. A redirect must keep its scheme and pass the same check as the first
URL. HTTP has no listing: a model read over HTTPS is the files its signed
listing names, and a file added beside them cannot be seen."""

import base64
import concurrent.futures
import errno
import http.client
import io
import os
import re
import socket
import ssl
import sys
import threading
import time
import urllib.parse

from . import _many, _model, _native, _sdk, _verify
from ._errors import ModelError, UsageError
from ._results import MemberVerification, ModelVerification

# One deadline per file: a base for the round trips, and the time its size
# takes at the slowest transfer rate still taken for a working server.
DEADLINE_BASE = 30.0
FLOOR_RATE = 1 << 20  # bytes a second
WORKERS = 4
CHUNK = 1 << 20
MAX_REDIRECTS = 5
# No model file comes near this; a larger size from a server is refused
# before any arithmetic or allocation uses it.
SIZE_LIMIT = 1 << 50
# The metadata range reads of one file (a store is at most STORE_LIMIT, its
# Base64 form 4/3 of it, and the containers' headers around it).
METADATA_LIMIT = 4 * _verify.STORE_LIMIT
CACHING = {"simplecache", "filecache", "blockcache", "cached"}
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*(://|::)")


class RemoteError(ModelError):
    """A server that does not give what it should: a failed request, a
    body of the wrong length, a deadline passed."""


class _Missing(RemoteError):
    pass


class _SizeDiffers(Exception):
    """A file whose size is not the one expected: a verdict, not a failure."""

    def __init__(self, size):
        super().__init__(size)
        self.size = size


def is_url(value):
    """Whether `value` is a URL rather than a path: text with a scheme (or
    an fsspec chain)."""
    return isinstance(value, str) and bool(_URL.match(value))


def _size(value, url):
    """A size from a server, refused unless a plain bounded count."""
    if isinstance(value, str):
        value = value.strip()
        if not re.fullmatch(r"[0-9]{1,20}", value):
            raise RemoteError(f"{url}: the server gave an unusable size {value[:40]!r}")
        value = int(value)
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= SIZE_LIMIT:
        raise RemoteError(f"{url}: the server gave an unusable size {value!r}")
    return value


class _Clock:
    """One deadline for a whole transfer."""

    def __init__(self, url, size=0, stop=None):
        self.url = url
        self.start = time.monotonic()
        self.stop = stop  # an Event: another file failed, the whole call stops
        self.scale(size)

    def scale(self, size):
        """The deadline for `size` bytes, from the start."""
        self.seconds = DEADLINE_BASE + size / FLOOR_RATE
        self.end = self.start + self.seconds

    def left(self):
        if self.stop is not None and self.stop.is_set():
            raise RemoteError(f"{self.url}: stopped")
        left = self.end - time.monotonic()
        if left <= 0:
            raise RemoteError(f"{self.url}: the transfer took longer than its {self.seconds:g} s")
        return left


# ---------------------------------------------------------------------------
# HTTPS (and HTTP on loopback)

def _check(url, first=None):
    try:
        _verify._check_url(url)
    except ValueError:
        raise UsageError(f"refusing {url!r}: HTTPS is required (plain HTTP only on loopback)") from None
    if first is not None and urllib.parse.urlsplit(url).scheme != urllib.parse.urlsplit(first).scheme:
        raise UsageError(f"refusing the redirect from {first!r} to {url!r}: another scheme")


def _cut(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def _close(conn):
    conn.deadline.cancel()
    conn.close()


def _failure(url, clock, e):
    """A failed read: the deadline's failure once it has passed (the
    watchdog cut the connection), else the read's own."""
    clock.left()
    return RemoteError(f"{url}: {e}")


class _Http:
    def join(self, base, rel):
        return base.rstrip("/") + "/" + urllib.parse.quote(rel)

    def _open(self, url, clock, headers=()):
        """(connection, response) of a GET, redirects followed and checked."""
        first = url
        for _ in range(MAX_REDIRECTS + 1):
            _check(url, first)
            parts = urllib.parse.urlsplit(url)
            timeout = clock.left()
            if parts.scheme == "https":
                conn = http.client.HTTPSConnection(parts.hostname, parts.port, timeout=timeout,
                                                   context=ssl.create_default_context())
            else:
                conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
            # A server dripping its headers or body a byte at a time meets
            # no read timeout: at the deadline the connection is cut.
            conn.deadline = threading.Timer(timeout, lambda: None)
            try:
                conn.connect()
                conn.deadline = threading.Timer(clock.left(), _cut, (conn.sock,))
                conn.deadline.daemon = True
                conn.deadline.start()
                target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
                conn.request("GET", target, headers={"Accept-Encoding": "identity", **dict(headers)})
                resp = conn.getresponse()
                clock.left()  # headers cut short by the watchdog are no answer
            except (OSError, http.client.HTTPException) as e:
                _close(conn)
                raise _failure(url, clock, e) from None
            except RemoteError:
                _close(conn)
                raise
            if resp.status in (301, 302, 303, 307, 308):
                location = resp.getheader("Location") or ""
                _close(conn)
                url = urllib.parse.urljoin(url, location)
                continue
            if resp.status == 404:
                _close(conn)
                raise _Missing(f"{url}: not found")
            return conn, resp
        raise RemoteError(f"{first}: more than {MAX_REDIRECTS} redirects")

    def _body(self, conn, resp, url, clock, size, sink, bound=False):
        """The body fed to `sink`, `size` bytes exactly (`bound`: at most),
        never more; its byte count. A size announced or found to differ is
        _SizeDiffers as soon as it shows; a body shorter than it announced
        is an error."""
        try:
            announced = resp.getheader("Content-Length")
            announced = None if announced is None else _size(announced, url)
            if announced is not None and (announced > size or (announced != size and not bound)):
                raise _SizeDiffers(announced)
            got = 0
            while True:
                clock.left()
                try:
                    part = resp.read1(min(CHUNK, size - got + 1))
                except (OSError, http.client.HTTPException) as e:
                    raise _failure(url, clock, e) from None
                if not part:
                    clock.left()
                    break
                got += len(part)
                if got > size:
                    raise _SizeDiffers(got)
                sink(part)
            if announced is not None and got != announced:
                raise RemoteError(f"{url}: the server gave {got} bytes of the {announced} it announced")
            return got
        finally:
            _close(conn)

    def size(self, url, clock):
        conn, resp = self._open(url, clock, {"Range": "bytes=0-0"})
        try:
            if resp.status == 206:
                total = (resp.getheader("Content-Range") or "").rpartition("/")[2]
                return _size(total, url)
            if resp.status == 416 and (resp.getheader("Content-Range") or "").strip() == "bytes */0":
                return 0
            if resp.status == 200:
                raise RemoteError(f"{url}: the server does not serve byte ranges")
            raise RemoteError(f"{url}: HTTP {resp.status} {resp.reason}")
        finally:
            _close(conn)

    def read(self, url, offset, length, total, clock):
        last = offset + length - 1
        conn, resp = self._open(url, clock, {"Range": f"bytes={offset}-{last}"})
        if resp.status != 206:
            _close(conn)
            raise RemoteError(f"{url}: HTTP {resp.status} to a range request")
        if (resp.getheader("Content-Range") or "").strip() != f"bytes {offset}-{last}/{total}":
            _close(conn)
            raise RemoteError(f"{url}: the server answered another range, or the file changed")
        parts = []
        try:
            got = self._body(conn, resp, url, clock, length, parts.append)
        except _SizeDiffers:
            got = -1
        if got != length:
            raise RemoteError(f"{url}: the server did not give the {length} bytes asked at offset {offset}")
        return b"".join(parts)

    def stream(self, url, size, sink, clock):
        conn, resp = self._open(url, clock)
        if resp.status != 200:
            _close(conn)
            raise RemoteError(f"{url}: HTTP {resp.status} {resp.reason}")
        return self._body(conn, resp, url, clock, size, sink)

    def fetch(self, url, limit):
        """A small file whole (a store), refused past `limit`."""
        clock = _Clock(url, limit)
        conn, resp = self._open(url, clock)
        if resp.status != 200:
            _close(conn)
            raise RemoteError(f"{url}: HTTP {resp.status} {resp.reason}")
        parts = []
        try:
            self._body(conn, resp, url, clock, limit, parts.append, bound=True)
        except _SizeDiffers:
            raise _verify.StoreTooLarge(f"{url}: a manifest store larger than the {limit} bytes tarnwick "
                                        "reads") from None
        return b"".join(parts)

    def listing(self, base):
        return None


# ---------------------------------------------------------------------------
# fsspec

class _Fs:
    def __init__(self, url):
        try:
            import fsspec.core
        except ImportError:
            raise UsageError(f"{url}: reading this URL needs fsspec: pip install 'tarnwick[remote]'") from None
        for part in url.split("::"):
            protocol = part.partition("://")[0].lower()
            if protocol in CACHING:
                raise UsageError(f"{url}: {protocol} writes to disk; give the URL without it")
        try:
            self.fs, self.root = fsspec.core.url_to_fs(url)
        except ImportError as e:  # the protocol's own package: fsspec's message names it
            raise UsageError(f"{url}: {e}") from None
        except ValueError as e:
            raise UsageError(f"{url}: {e}") from None
        except OSError as e:
            raise RemoteError(f"{url}: {e}") from None

    def join(self, base, rel):
        return base.rstrip("/") + "/" + rel

    def size(self, path, clock):
        clock.left()
        try:
            return _size(self.fs.size(path), path)
        except FileNotFoundError:
            raise _Missing(f"{path}: not found") from None
        except OSError as e:
            raise RemoteError(f"{path}: {e}") from None

    def read(self, path, offset, length, total, clock):
        clock.left()
        try:
            data = self.fs.cat_file(path, start=offset, end=offset + length)
        except OSError as e:
            raise RemoteError(f"{path}: {e}") from None
        if len(data) != length:
            raise RemoteError(f"{path}: the server gave {len(data)} bytes of the {length} asked at offset {offset}")
        return bytes(data)

    def stream(self, path, size, sink, clock):
        got = 0
        try:
            with self.fs.open(path, "rb", block_size=CHUNK, cache_type="none") as f:
                while True:
                    clock.left()
                    part = f.read(min(CHUNK, size - got + 1))
                    if not part:
                        break
                    got += len(part)
                    if got > size:
                        raise _SizeDiffers(got)
                    sink(part)
        except FileNotFoundError:
            raise _Missing(f"{path}: not found") from None
        except OSError as e:
            raise RemoteError(f"{path}: {e}") from None
        return got

    def fetch(self, path, limit):
        clock = _Clock(path, limit)
        size = self.size(path, clock)
        if size > limit:
            raise _verify.StoreTooLarge(f"{path}: a manifest store of {size} bytes is larger than the {limit} "
                                        "bytes tarnwick reads")
        parts = []
        try:
            got = self.stream(path, size, parts.append, clock)
        except _SizeDiffers:
            raise RemoteError(f"{path}: the file grew while it was read") from None
        if got != size:
            raise RemoteError(f"{path}: the server gave {got} bytes of the {size} announced")
        return b"".join(parts)

    def isdir(self, path):
        try:
            return self.fs.isdir(path)
        except OSError:
            return False

    def listing(self, base):
        """Every file under `base` (relative paths), bounded."""
        base = base.rstrip("/")
        try:
            found = self.fs.find(base, withdirs=False, maxdepth=_model.MAX_DEPTH)
        except OSError as e:
            raise RemoteError(f"{base}: {e}") from None
        if len(found) > _model.MAX_FILES:
            raise _model.MemberError(f"{base}: more than {_model.MAX_FILES} files")
        out = []
        for name in found:
            name = name if name.startswith("/") or not base.startswith("/") else "/" + name
            if name.startswith(base + "/"):
                out.append(name[len(base) + 1:])
        return sorted(out)


def _source(url):
    scheme = urllib.parse.urlsplit(url).scheme.lower()
    if scheme in ("http", "https"):
        _check(url)
        return _Http(), url
    fs = _Fs(url)
    return fs, fs.root


# ---------------------------------------------------------------------------
# One file

class _File:
    """One file at a source: its size, range reads of its metadata for the
    native parser (bounded in total), and its stream, all under one deadline
    scaled by `signed`, the size it must have (else by the size found)."""

    def __init__(self, source, where, name, signed=None, stop=None):
        self.source, self.where, self.name, self.signed = source, where, name, signed
        self.clock = _Clock(where, signed or 0, stop)
        self.size = None
        self.used = 0

    def probe(self):
        self.size = self.source.size(self.where, self.clock)
        if self.signed is None:
            self.clock.scale(self.size)
        return self.size

    def __call__(self, offset, length):
        self.used += length
        if self.used > METADATA_LIMIT:
            raise RemoteError(f"{self.where}: the model's metadata is larger than the {METADATA_LIMIT} bytes "
                              "tarnwick reads from a server")
        return self.source.read(self.where, offset, length, self.size, self.clock)

    def inspect(self):
        """(ModelInfo, store or None, has external data)."""
        return _native._inspect_remote(self.size, self, name=self.name, limit=_verify.STORE_LIMIT)

    def stream(self, sink):
        return self.source.stream(self.where, self.size, sink, self.clock)

    def hashed(self, info, tick=None):
        """The check of a data hash assertion on the file as streamed, for
        _verify._validate: (hash_ok, store range seen)."""
        def check(assertion):
            if assertion.get("alg", "sha256") != "sha256":
                return False, False
            try:
                declared = assertion.get("hash")
                declared = base64.b64decode(declared) if isinstance(declared, str) else bytes(declared)
                exclusions = [(e["start"], e["length"]) for e in assertion.get("exclusions") or []]
                h = _native._StreamHash("sha256", exclusions, self.size)
            except (ValueError, TypeError, KeyError):
                return False, False
            sink = _Sink(h, tick)
            try:
                got = self.stream(sink)
            except _SizeDiffers:
                return False, False
            sink.flush()
            if got != self.size:
                return False, False
            return h.finish() == declared, info.store_range
        return check


class _Sink:
    """Feeds a hash in parts of CHUNK or more, however small the reads: the
    native hash keeps the interpreter lock for a small part."""

    def __init__(self, h, tick=None):
        self.h, self.tick, self.parts, self.held = h, tick, [], 0

    def __call__(self, part):
        self.parts.append(part)
        self.held += len(part)
        if self.held >= CHUNK:
            self.flush()

    def flush(self):
        if not self.parts:
            return
        data = self.parts[0] if len(self.parts) == 1 else b"".join(self.parts)
        held, self.parts, self.held = self.held, [], 0
        self.h.update(data)
        if self.tick is not None:
            self.tick(held)


def _refusal(url, what):
    return (f"{url} keeps tensor data in external files: {what} would cover only the graph; verify the whole "
            "model with verify_model (tarnwick verify on its folder or on this file)")


def verify_file(url, *, trust=None, store=None, fetch=False, progress=None, signer=None, signer_key=None):
    """verify_file on the model file at `url`."""
    sdk = _sdk.load("verify")
    source, where = _source(url)
    f = _File(source, where, url)
    try:
        size = f.probe()
    except _Missing:
        raise _not_found(url) from None
    info, embedded, external = f.inspect()
    if external:
        raise ModelError(_refusal(url, "verify_file"))
    anchors = _verify._pem(trust, "trust") if trust is not None else None
    if store is not None:
        try:
            store = _verify._store_bytes(store)
        except _verify.StoreTooLarge as e:
            return _verify._too_large(info, str(e))
    elif info.store_size is not None:
        if embedded is None:
            return _verify._too_large(info, f"{url}: an embedded manifest store of {info.store_size} bytes is "
                                      f"larger than the {_verify.STORE_LIMIT} bytes tarnwick reads")
        store = embedded
    elif info.uri is not None:
        if not fetch:
            return _verify._empty("unverified", info.uri, [(
                "tarnwick.manifest.remote",
                f"the manifest is published at {info.uri}: verify with fetch=True (--fetch), "
                "or download it and give it with manifest= (--manifest)")])
        store = _verify.fetch_store(info.uri)
    else:
        return _verify._empty("unsigned", None)
    tick = None if progress is None else _Progress(progress, size, 1).tick
    return _verify._validate(sdk, url, info, store, anchors, hashed=f.hashed(info, tick), signer=signer,
                             signer_key=signer_key)


# ---------------------------------------------------------------------------
# A model of many files

class _Progress:
    """Bytes and files done, told to `show(done, total, files_done, files)`."""

    def __init__(self, show, total, files):
        self.show, self.total, self.files = show, total, files
        self.done = self.files_done = 0
        self.lock = threading.Lock()

    def tick(self, n):
        with self.lock:
            self.done += n
            self.show(self.done, self.total, self.files_done, self.files)

    def file_done(self):
        with self.lock:
            self.files_done += 1
            self.show(self.done, self.total, self.files_done, self.files)


def terminal_progress(label):
    """A progress line on a terminal (bytes and files), or None."""
    if not sys.stderr.isatty():
        return None
    shown = [-1]

    def show(done, total, files_done, files):
        percent = 100 * done // total if total else 100
        if (percent, files_done) != shown[0]:
            shown[0] = (percent, files_done)
            sys.stderr.write(f"\r{label} {done >> 20}/{total >> 20} MiB, {files_done}/{files} files {percent:3d}%")
            if files_done >= files:
                sys.stderr.write("\n")
            sys.stderr.flush()
    return show


def _entry_of(names):
    """The entry file among a folder's names, as _model.locate picks it."""
    candidates = [n for n in names if n.endswith(_model.INDEX_SUFFIX)]
    candidates += [n for n in names if (m := _model.SPLIT.match(n)) and m.group("ext") == "gguf" and
                   m.group("no") == "00001"]
    candidates += [n for n in names if n.endswith(".onnx")]
    if not candidates:
        candidates = [n for n in names if n.endswith((".safetensors", ".gguf")) and not _model.SPLIT.match(n)]
    return candidates[0] if len(candidates) == 1 else None


def _not_found(url):
    return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), url)


def _place(url):
    """(source, folder, store name, listing or None, what `url` named) of
    the model at `url`: a folder (fsspec; None), or the entry file (its
    place) or model-level store ("") of one."""
    source, where = _source(url)
    listing = None
    if isinstance(source, _Fs) and source.isdir(where):
        folder = where.rstrip("/")
        listing = source.listing(folder)
        entry = _entry_of([n for n in listing if "/" not in n])
        if entry is None:
            raise UsageError(f"{url}: a folder must hold one model (an index, a first split or an ONNX file): "
                             "give the entry file")
    else:
        if isinstance(source, _Http):
            parts = urllib.parse.urlsplit(where)
            if parts.path.endswith("/") or not parts.path:
                raise UsageError(f"{url}: HTTP has no listing: give the URL of the model's entry file or of "
                                 "its .c2pa store")
            folder, _, name = where.rpartition("/")
            entry = urllib.parse.unquote(name)
        else:
            folder, _, entry = where.rpartition("/")
            if isinstance(source, _Fs):
                listing = source.listing(folder)
        if entry.endswith(".c2pa"):
            return source, folder, entry, listing, ""
        return source, folder, _model.Model(folder, entry, None, []).store_name, listing, where
    return source, folder, _model.Model(folder, entry, None, []).store_name, listing, None


def _found(source, folder, entry, anchors, progress, stop, signer=None, signer_key=None):
    """What the server has for a signed entry: (entry as found, state,
    failures), as _many._found for a local file."""
    rel = entry["uri"]
    try:
        _model.check_name(rel, rel)
    except _model.MemberError as e:
        return {"uri": rel}, "invalid", [(_many.REFUSED, _many._member_failure(rel, e))]
    where = source.join(folder, rel)
    signed = entry.get("size")
    signed = signed if isinstance(signed, int) and not isinstance(signed, bool) and 0 <= signed <= SIZE_LIMIT \
        else None
    found = {"uri": rel, "dc:format": _many._format(rel)}
    tick = None if progress is None else progress.tick
    f = _File(source, where, rel, signed, stop)
    try:
        if "manifest" not in entry:
            f.size = f.probe() if signed is None else signed
            h = _native._StreamHash("sha256", [], f.size)
            sink = _Sink(h, tick)
            got = f.stream(sink)
            sink.flush()
            if got != f.size:
                found["size"] = got
                return found, None, []
            found.update(size=f.size, hash=h.finish().hex())
            return found, None, []
        found["size"] = f.probe()
        if signed is not None and f.size != signed:
            return found, None, []
        try:
            info, store, _ = f.inspect()
        except RemoteError:
            raise
        except ValueError as e:  # a damaged member is a verdict on it, not a failure of the call
            return {"uri": rel}, "invalid", [(_many.DAMAGED, _many._member_failure(rel, e))]
        if store is None:
            if info.store_size is not None:
                v = _verify._too_large(info, f"{rel}: an embedded manifest store of {info.store_size} bytes is "
                                       f"larger than the {_verify.STORE_LIMIT} bytes tarnwick reads")
            elif info.uri is not None:
                v = _verify._empty("unverified", info.uri)
            else:
                v = _verify._empty("unsigned", None)
            return found, v.state, list(v.failures)
        declared = {}
        with _model.naming(where, rel):
            v = _verify._validate(_sdk.load("verify"), where, info, store, anchors, declared,
                                  hashed=f.hashed(info, tick), signer=signer, signer_key=signer_key)
        if v.binding is not None and v.binding.hash_ok and "hash" in declared:
            found.update(hash=_many._hex(declared["hash"]),
                         exclusions=[[e["start"], e["length"]] for e in declared.get("exclusions") or []])
        if v.label is not None:
            found["manifest"] = v.label
        return found, v.state, list(v.failures)
    except _Missing:
        return {"uri": rel}, "invalid", [_many.MISSING]
    except _SizeDiffers as e:
        found["size"] = e.size
        return found, None, []
    finally:
        if progress is not None:
            progress.file_done()


def _run(function, items):
    """function(item, stop) for every item, WORKERS at a time; the first
    failure (or Ctrl-C) stops the others at their next read."""
    stop = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS) as pool:
        futures = [pool.submit(function, item, stop) for item in items]
        try:
            done, _ = concurrent.futures.wait(futures, return_when=concurrent.futures.FIRST_EXCEPTION)
            for f in futures:
                if f in done and f.exception() is not None:
                    f.result()
            return [f.result() for f in futures]
        except BaseException:
            stop.set()
            for f in futures:
                f.cancel()
            raise


def verify_model(url, *, trust=None, ignore=(), progress=None, signer=None, signer_key=None):
    """verify_model on the model at `url`: a folder (fsspec), or the URL of
    its entry file or of its model-level store `<stem>.c2pa`. Every file
    the signed listing names is streamed once, WORKERS at a time. Over
    HTTPS, which lists no folder, a file the listing does not name cannot
    be seen: only fsspec folders report files added beside the model."""
    sdk = _sdk.load("verify")
    source, folder, store_name, listing, entry = _place(url)
    anchors = _verify._pem(trust, "trust") if trust is not None else None
    try:
        store = source.fetch(source.join(folder, store_name), _verify.STORE_LIMIT)
    except _Missing:
        # Unsigned as a whole if its entry is there (its members are not
        # looked at: HTTP cannot list them); a URL of nothing, as a path.
        if entry == "":
            raise _not_found(url) from None
        if entry is not None:
            try:
                source.size(entry, _Clock(entry))
            except _Missing:
                raise _not_found(url) from None
        return ModelVerification("unsigned", [], _verify._empty("unsigned", None))
    except _verify.StoreTooLarge as e:
        manifest = _verify._empty("invalid", None)
        manifest.failures.append(("tarnwick.store.too_large", str(e)))
        return ModelVerification("invalid", [], manifest)
    try:
        signed = _many._signed_listing(sdk, store)
    except sdk.c2pa.C2paError:
        signed = None
    if signed is None:
        manifest = _verify._empty("invalid", None)
        manifest.failures.append(("tarnwick.model.listing", f"{store_name} holds no readable list of the "
                                  "model's files"))
        return ModelVerification("invalid", [], manifest)
    signed, signed_ignore = signed

    total = sum(e.get("size") for e in signed if isinstance(e.get("size"), int) and 0 <= e["size"] <= SIZE_LIMIT)
    shown = None if progress is None else _Progress(progress, total, len(signed))
    results = _run(lambda entry, stop: _found(source, folder, entry, anchors, shown, stop, signer, signer_key),
                   signed)

    # From here as _many.verify_model: the same rebuilt listing, the same
    # validation, the same verdicts.
    rebuilt = {"alg": "sha256", "uris": [found for found, _, _ in results]}
    if signed_ignore is not None:
        rebuilt["ignore"] = signed_ignore
    manifest = _verify._validate(sdk, io.BytesIO(_many._canonical(rebuilt)), _many._Place(), store, anchors,
                                 native=False, signer=signer, signer_key=signer_key)
    whole = manifest.state
    if whole == "invalid" and all(code == "assertion.dataHash.mismatch" for code, _ in manifest.failures):
        whole = "valid" if any(code == _verify.UNTRUSTED for code, _ in manifest.informational) else "trusted"
    members = [_many._member(entry, found, state or whole, failures)
               for entry, (found, state, failures) in zip(signed, results)]
    listed = {e["uri"] for e in signed}
    if signed_ignore is None:
        manifest.informational.append(_many.MEMBERS_ONLY)
    elif listing is not None:
        patterns = [p for p in signed_ignore if p not in _model.DEFAULT_IGNORE] + list(ignore)
        rules = _model.Ignore(list(_model.DEFAULT_IGNORE) + patterns)
        for rel in listing:
            parts = rel.split("/")
            if rel in listed or rel == store_name or rules.matches(rel) or \
                    any(rules.matches("/".join(parts[:i]), True) for i in range(1, len(parts))):
                continue
            listed.add(rel)
            members.append(MemberVerification(rel, "invalid", [_many.EXTRA]))
    states = {manifest.state} | {v.state for v in members}
    state = "invalid" if "invalid" in states or states - {"trusted", "valid"} else \
        "trusted" if states == {"trusted"} else "valid"
    return ModelVerification(state, members, manifest)


# ---------------------------------------------------------------------------
# The program

def is_model(url):
    """Whether `url` names a model of many files, as _model.is_model for a path."""
    name = urllib.parse.unquote(urllib.parse.urlsplit(url).path.rstrip("/").rpartition("/")[2])
    if name.endswith((_model.INDEX_SUFFIX, ".c2pa")):
        return True
    m = _model.SPLIT.match(name)
    if m and m.group("ext") == "gguf" and int(m.group("count")) > 1:
        return True
    source, where = _source(url)
    if isinstance(source, _Fs) and source.isdir(where):
        return True
    if name.endswith(".onnx"):
        f = _File(source, where, url)
        f.probe()
        return bool(f.inspect()[2])
    return False


def verify_any(url, *, trust=None, store=None, fetch=False, ignore=(), progress=False, signer=None, signer_key=None):
    """For `tarnwick verify`: (ModelVerification or None, Verification)."""
    show = terminal_progress(f"tarnwick verify: {url}") if progress else None
    if is_model(url):
        if store is not None:
            raise UsageError("--manifest goes with one file; a model of many files keeps its manifest "
                             "beside its members")
        mv = verify_model(url, trust=trust, ignore=ignore, progress=show, signer=signer, signer_key=signer_key)
        return mv, mv.store_verification._replace(state=mv.state)
    one = None if show is None else (lambda done, total, *_: show(done, total, 0 if done < total else 1, 1))
    return None, verify_file(url, trust=trust, store=store, fetch=fetch, progress=one, signer=signer,
                             signer_key=signer_key)
