"""Where a model's bytes come from: a local folder, an HTTPS server (plain
HTTP on loopback only), or any filesystem fsspec reads. Each is a Source
of files; each file is read through one File, which parses the metadata,
checks a data hash and hashes the file whole, always on the same bytes.

Locally a file is one open descriptor: every folder on the way is opened
relative to the one before and must not be a link, and the native calls
read the descriptor through /proc/self/fd, their messages in the file's own
name.

From a server, the metadata comes through range reads, each recorded; when
the file is streamed to be hashed, the stream is compared with every
recorded byte, so that the verdict covers exactly the bytes a loader
downloading the file gets. A server without byte ranges is streamed once:
the metadata is parsed from the buffered head of that same stream.

Everything a server says is untrusted. Sizes are parsed strictly and
bounded; a body never gives more than the file's size. Nothing is scaled by
a size the server announces: a transfer ends when no byte comes for STALL
seconds, or when fewer than FLOOR bytes come in WINDOW seconds of transfer.
Every blocking step (name lookup, connect, TLS, headers, body, fsspec)
waits at most TICK at a time, so `stop` and those checks run every TICK.
A server's failure is a SourceError, never a verdict on the model."""

import base64
import bisect
import collections
import contextlib
import errno
import http.client
import io
import ipaddress
import os
import re
import select
import socket
import ssl
import stat
import threading
import time
import urllib.parse

from . import _native
from ._errors import ModelError, UsageError

STALL = 30.0          # seconds without a byte
WINDOW = 30.0         # seconds of transfer over which FLOOR bytes must come
FLOOR = 64 << 10
TICK = 1.0            # the longest a blocking step waits before the checks
CHUNK = 1 << 20
PROBE = 256 << 10     # the first range asked for, which also gives the size
MAX_REDIRECTS = 5
SIZE_LIMIT = 1 << 50  # no model file comes near; a larger size is refused
STORE_LIMIT = 64 << 20
# What the metadata of one file may take from a server: a store, its Base64
# form, and the containers' headers around it. A server without byte ranges
# is buffered up to this much of the head of its stream.
METADATA_LIMIT = 4 * STORE_LIMIT
MAX_FILES = 100_000
MAX_DEPTH = 64
CACHING = {"simplecache", "filecache", "blockcache", "cached"}
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*(://|::)")
_DIGITS = re.compile(r"[0-9]{1,16}")
_RANGE = re.compile(r"bytes ([0-9]{1,16})-([0-9]{1,16})/([0-9]{1,16})")


class SourceError(OSError):
    """A file that could not be read: an HTTP status, a reset, a stall, a
    server that contradicts itself, a stop. Never a verdict on the model."""


class NotFound(SourceError, FileNotFoundError):
    """No such file (HTTP 404, ENOENT)."""

    def __init__(self, message):
        super().__init__(message)
        self.errno = errno.ENOENT


class StoreTooLarge(UsageError):
    """A store larger than tarnwick reads."""


class MemberError(ModelError):
    """A name within a folder that cannot be read safely: one leaving the
    folder, a link on the way, a file that is not a regular file."""


def is_url(value):
    """Whether `value` is a URL rather than a path: text with a scheme (or
    an fsspec chain)."""
    return isinstance(value, str) and bool(_URL.match(value))


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def check_name(name, what=None):
    """A name within a folder must be a plain relative path inside it."""
    what = name if what is None else what
    if not isinstance(name, str) or not name:
        raise MemberError(f"{what}: a member name must be a non-empty text, not {name!r}")
    if "\0" in name or "\\" in name:
        raise MemberError(f"{what}: member {name!r} is not a plain relative path (NUL or backslash)")
    if name.startswith("/"):
        raise MemberError(f"{what}: member {name!r} is an absolute path; members must stay inside the model's folder")
    if any(p in ("", ".", "..") for p in name.split("/")):
        raise MemberError(f"{what}: member {name!r} is not a plain relative path inside the model's folder "
                         "(no '.', '..' or empty component)")
    return name


def _size(value, name, what="size"):
    """A size from a server: plain digits (or an int), at most SIZE_LIMIT."""
    shown = value
    if isinstance(value, str):
        shown = value[:40]
        value = int(value.strip()) if _DIGITS.fullmatch(value.strip()) else None
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value <= SIZE_LIMIT:
        raise SourceError(f"{name}: the server gave an unusable {what} {shown!r}")
    return value


def _reason(e):
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e) or type(e).__name__


def _declared(assertion):
    """(exclusions, digest) of a SHA-256 data hash assertion, or None."""
    if not isinstance(assertion, dict) or assertion.get("alg", "sha256") != "sha256":
        return None
    try:
        digest = assertion.get("hash")
        digest = base64.b64decode(digest, validate=True) if isinstance(digest, str) else bytes(digest)
        exclusions = [(e["start"], e["length"]) for e in assertion.get("exclusions") or []]
    except (ValueError, TypeError, KeyError):
        return None
    if not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= SIZE_LIMIT
               for pair in exclusions for v in pair):
        return None
    return exclusions, digest


# ---------------------------------------------------------------------------
# The interface

class Source:
    """The folder a model's files are read from."""

    name = ""
    can_list = False
    stop = None  # a threading.Event: once set, every read ends soon

    def isdir(self, rel=""):
        raise NotImplementedError

    def list(self, prune=None):
        """Every file under the folder (relative, sorted), at most MAX_FILES,
        MAX_DEPTH folders deep; `prune(rel)` true skips folder `rel`."""
        raise UsageError(f"{self.name}: HTTP has no listing: give the URL of the model's entry file or of its "
                         ".c2pa store")

    def file(self, rel, size=None):
        raise NotImplementedError


class File:
    """One file, open until close()."""

    rel = ""
    name = ""            # for messages: the file as the caller would name it
    link_target = None   # the real path, when a local file is named by a link

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        pass

    def size(self):
        raise NotImplementedError

    def inspect(self):
        """(ModelInfo, embedded store or None, external-data locations)."""
        raise NotImplementedError

    def check(self, assertion, tick=None):
        """(hash_ok, store range) of a data hash assertion on this file;
        (False, False) for an assertion that cannot be checked or a file
        not of the size it must have."""
        raise NotImplementedError

    def digest(self, tick=None):
        """(size, SHA-256) of the whole file; (size, None) when it is not
        of the size it must have (nothing is read)."""
        raise NotImplementedError

    def read_all(self, limit):
        """The whole file (a store), StoreTooLarge past `limit` bytes."""
        raise NotImplementedError

    def download(self, sink):
        """Every byte of the file, once, in order, to sink(part) (a copy
        made as it downloads); compared with whatever was read of it before."""
        raise NotImplementedError

    def _too_large(self, size, limit):
        return StoreTooLarge(f"{self.name}: a manifest store of {size} bytes is larger than the {limit} bytes "
                             "tarnwick reads")


def open_source(location, stop=None):
    """(Source of the folder holding `location`, name within it; "" when
    `location` is the folder)."""
    if isinstance(location, os.PathLike):
        location = os.fspath(location)
    if not isinstance(location, str) or not location or "\0" in location:
        raise UsageError(f"not a path or URL: {location!r}")
    if not is_url(location):
        if os.path.isdir(location):
            return LocalFolder(location, location, stop, ""), ""
        folder, name = os.path.split(location)
        return LocalFolder(folder or ".", location, stop, folder), name
    scheme = location.split("://", 1)[0].lower() if "::" not in location.split("://", 1)[0] else ""
    if scheme in ("http", "https"):
        _check_http(location)
        parts = urllib.parse.urlsplit(location)
        folder, _, name = parts.path.rpartition("/")
        base = urllib.parse.urlunsplit((parts.scheme, parts.netloc, folder + "/", "", ""))
        if not name:
            return _HttpSource(location, base, None, stop), ""
        rel = urllib.parse.unquote(name)
        return _HttpSource(location, base, (rel, location), stop), rel
    return _open_fsspec(location, stop)


def _check_http(url, first=None):
    parts = urllib.parse.urlsplit(url)
    if not (parts.scheme == "https" or (parts.scheme == "http" and is_loopback(parts.hostname or ""))):
        if first is None:
            raise UsageError(f"refusing {url!r}: HTTPS is required (plain HTTP only on loopback)")
        raise SourceError(f"{first}: refusing the redirect to {url!r}: HTTPS is required (plain HTTP only on "
                          "loopback)")
    if first is not None and parts.scheme != urllib.parse.urlsplit(first).scheme:
        raise SourceError(f"{first}: refusing the redirect to {url!r}: another scheme")


# ---------------------------------------------------------------------------
# A local folder

_DIR = os.O_RDONLY | os.O_CLOEXEC | os.O_DIRECTORY


def _fd_path(fd):
    return f"/proc/self/fd/{fd}"


class _LocalSource(Source):
    can_list = True

    def __init__(self, folder, name, shown, stop):
        self.folder, self.name, self.shown, self.stop = folder, name, shown, stop

    def _open_folder(self, parts, rel):
        """A descriptor of the folder `parts` leads to, no component a link."""
        try:
            current = os.open(self.folder, _DIR)
        except FileNotFoundError:
            raise NotFound(f"{self.name}: No such file or directory") from None
        except OSError as e:
            raise SourceError(f"{self.name}: {_reason(e)}") from None
        try:
            for part in parts:
                try:
                    nxt = os.open(part, _DIR | os.O_NOFOLLOW, dir_fd=current)
                except OSError as e:
                    if e.errno in (errno.ELOOP, errno.ENOTDIR):
                        raise MemberError(f"{rel}: {part!r} is a link or not a folder; members must stay inside "
                                          "the model's folder") from None
                    if e.errno == errno.ENOENT:
                        raise NotFound(f"{self._shown(rel)}: No such file or directory") from None
                    raise SourceError(f"{self._shown(rel)}: {_reason(e)}") from None
                os.close(current)
                current = nxt
        except BaseException:
            os.close(current)
            raise
        return current

    def _shown(self, rel):
        return os.path.join(self.shown, rel) if self.shown else rel

    def isdir(self, rel=""):
        parts = check_name(rel).split("/") if rel else []
        try:
            os.close(self._open_folder(parts, rel))
        except (ModelError, OSError):
            return False
        return True

    def list(self, prune=None):
        found = []

        def walk(fd, sub, depth):
            if depth > MAX_DEPTH:
                raise ModelError(f"{self._shown(sub)}: folders nested more than {MAX_DEPTH} deep")
            with os.scandir(fd) as it:
                entries = sorted(it, key=lambda e: e.name)
            for e in entries:
                rel = f"{sub}/{e.name}" if sub else e.name
                if not e.is_dir(follow_symlinks=False):
                    found.append(rel)
                    if len(found) > MAX_FILES:
                        raise ModelError(f"{self.name}: more than {MAX_FILES} files")
                elif prune is None or not prune(rel):
                    try:
                        child = os.open(e.name, _DIR | os.O_NOFOLLOW, dir_fd=fd)
                    except OSError as err:
                        raise SourceError(f"{self._shown(rel)}: {_reason(err)}") from None
                    try:
                        walk(child, rel, depth + 1)
                    finally:
                        os.close(child)

        top = self._open_folder([], "")
        try:
            walk(top, "", 1)
        except OSError as e:
            if isinstance(e, SourceError):
                raise
            raise SourceError(f"{self.name}: {_reason(e)}") from None
        finally:
            os.close(top)
        return sorted(found)

    def file(self, rel, size=None):
        return _LocalFile(self, rel, size)


class _LocalFile(File):
    def __init__(self, source, rel, size):
        check_name(rel)
        self.rel, self.name, self.expected = rel, source._shown(rel), size
        parts = rel.split("/")
        folder = source._open_folder(parts[:-1], rel)
        try:
            # Non-blocking: a FIFO is refused below, never waited on.
            flags = os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY
            linked = False
            try:
                try:
                    fd = os.open(parts[-1], flags | os.O_NOFOLLOW, dir_fd=folder)
                except OSError as e:
                    if e.errno != errno.ELOOP:
                        raise
                    linked = True
                    fd = os.open(parts[-1], flags, dir_fd=folder)
            except OSError as e:
                if e.errno == errno.ENOENT:
                    raise NotFound(f"{self.name}: No such file or directory") from None
                raise SourceError(f"{self.name}: {_reason(e)}") from None
            try:
                st = os.fstat(fd)
                if not stat.S_ISREG(st.st_mode):
                    raise MemberError(f"{self.name}: not a regular file")
                if linked:  # what was opened, whatever the link says now
                    self.link_target = os.readlink(_fd_path(fd))
                os.set_blocking(fd, True)
            except BaseException:
                os.close(fd)
                raise
        finally:
            os.close(folder)
        self.fd, self._size, self.stop = fd, st.st_size, source.stop
        self.path = _fd_path(fd)

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def size(self):
        return self._size

    def _native(self, function, *args, **kwargs):
        """A native call on the descriptor, its failures in the file's name:
        a read failure is a SourceError, a damaged file a ModelError."""
        try:
            return function(self.path, *args, **kwargs)
        except SourceError:
            raise
        except OSError as e:
            raise SourceError(f"{self.name}: {_reason(e).replace(self.path, self.name)}") from None
        except ValueError as e:
            text = str(e)
            if self.path not in text:
                raise
            text = text.replace(repr(self.path), repr(self.name)).replace(self.path, self.name)
            raise (type(e) if isinstance(e, (ModelError, UsageError)) else ModelError)(text) from None

    def _progress(self, tick):
        done = [0]

        def progress(now, total):
            if self.stop is not None and self.stop.is_set():
                raise SourceError(f"{self.name}: stopped")
            if tick is not None and now > done[0]:
                tick(now - done[0])
                done[0] = now
        return progress

    def inspect(self):
        info = self._native(_native.inspect)
        store = None
        if info.store_size is not None and info.store_size <= STORE_LIMIT:
            store = self._native(_native.read_file)
        external = self._native(_native._onnx_external, name=self.name) if info.format == "ONNX" else []
        return info, store, external

    def check(self, assertion, tick=None):
        declared = _declared(assertion)
        if declared is None or (self.expected is not None and self.expected != self._size):
            return False, False
        try:
            verdict = _native.check_binding(self.path, declared[0], declared[1], progress=self._progress(tick))
        except SourceError:
            raise
        except OSError as e:
            raise SourceError(f"{self.name}: {_reason(e).replace(self.path, self.name)}") from None
        except ValueError:  # exclusions that do not fit the file
            return False, False
        return verdict.hash_ok, verdict.store_range

    def digest(self, tick=None):
        if self.expected is not None and self.expected != self._size:
            return self._size, None
        return self._native(_native._hash_file, name=self.name, progress=self._progress(tick))

    def read_all(self, limit):
        if self._size > limit:
            raise self._too_large(self._size, limit)
        parts, got = [], 0
        while True:
            try:
                part = os.pread(self.fd, limit + 1 - got, got)
            except OSError as e:
                raise SourceError(f"{self.name}: {_reason(e)}") from None
            if not part:
                return b"".join(parts)
            got += len(part)
            if got > limit:
                raise StoreTooLarge(f"{self.name}: the file grew past the {limit} bytes tarnwick reads")
            parts.append(part)


# ---------------------------------------------------------------------------
# Progress of a transfer

class _Guard:
    """Ends a transfer that stalls, crawls or is stopped. Time counts only
    while a transfer is under way (`with guard:`), not while the caller
    works between reads."""

    def __init__(self, name, stop):
        self.name, self.stop = name, stop
        self.spent, self.since, self.depth = 0.0, None, 0
        self.last = 0.0                                 # when a byte last came
        self.total = 0
        self.samples = collections.deque([(0.0, 0)])   # (time, total)

    def __enter__(self):
        if self.depth == 0:
            self.since = time.monotonic()
        self.depth += 1
        return self

    def __exit__(self, *exc):
        self.depth -= 1
        if self.depth == 0:
            self.spent = self.now()
            self.since = None

    def now(self):
        return self.spent + (time.monotonic() - self.since if self.since is not None else 0.0)

    def got(self, n):
        if n <= 0:
            return
        t = self.now()
        self.total += n
        self.last = t
        if t - self.samples[-1][0] >= 0.1:
            self.samples.append((t, self.total))

    def check(self):
        if self.stop is not None and self.stop.is_set():
            raise SourceError(f"{self.name}: stopped")
        t = self.now()
        if t - self.last > STALL:
            raise SourceError(f"{self.name}: the server sent nothing for {STALL:g} s")
        if t >= WINDOW:
            while len(self.samples) > 1 and self.samples[1][0] <= t - WINDOW:
                self.samples.popleft()
            if self.total - self.samples[0][1] < FLOOR:
                raise SourceError(f"{self.name}: the server sent fewer than {FLOOR} bytes in {WINDOW:g} s")

    def wait(self, function, *args, expect=0):
        """function(*args) on a thread of its own, waited for TICK at a
        time: a call that cannot be interrupted (a name lookup, fsspec) is
        left behind when the transfer ends. A call shows no progress until
        it returns: one that should bring `expect` bytes has the time they
        take at the floor's rate, and at least STALL."""
        box = {}
        done = threading.Event()

        def run():
            try:
                box["value"] = function(*args)
            except BaseException as e:  # handed over to the caller
                box["error"] = e
            finally:
                done.set()

        patience = max(STALL, expect * WINDOW / FLOOR)
        threading.Thread(target=run, daemon=True).start()
        with self:
            start = self.now()
            while not done.wait(TICK):
                if self.stop is not None and self.stop.is_set():
                    raise SourceError(f"{self.name}: stopped")
                if self.now() - start > patience:
                    raise SourceError(f"{self.name}: the server sent nothing for {patience:g} s")
        if "error" in box:
            raise box.pop("error")
        return box["value"]


# ---------------------------------------------------------------------------
# Bytes read by range, compared with the stream

class _Known:
    """The bytes of a file read so far by range: disjoint (offset, bytes),
    sorted. The stream must agree with every one of them."""

    def __init__(self, name):
        self.name = name
        self.starts, self.parts = [], []

    def _differ(self, offset):
        return SourceError(f"{self.name}: the server sent different bytes at offset {offset} to a range request "
                           "and to the download of the whole file")

    def get(self, offset, length):
        i = bisect.bisect_right(self.starts, offset) - 1
        if i >= 0 and offset + length <= self.starts[i] + len(self.parts[i]):
            at = offset - self.starts[i]
            return self.parts[i][at:at + length]
        return None

    def add(self, offset, data):
        if not data:
            return
        end = offset + len(data)
        lo = bisect.bisect_left(self.starts, offset)
        if lo > 0 and self.starts[lo - 1] + len(self.parts[lo - 1]) >= offset:
            lo -= 1
        if lo == len(self.starts) or self.starts[lo] > end:
            # Nothing it touches: kept as it is, not copied (a whole head).
            self.starts.insert(lo, offset)
            self.parts.insert(lo, bytes(data))
            return
        hi = lo
        start, merged = offset, bytearray(data)
        while hi < len(self.starts) and self.starts[hi] <= end:
            s, p = self.starts[hi], self.parts[hi]
            self._compare(s, p, offset, data)
            if s < start:
                merged[0:0] = p[:start - s]
                start = s
            if s + len(p) > start + len(merged):
                merged += p[start + len(merged) - s:]
            hi += 1
        self.starts[lo:hi] = [start]
        self.parts[lo:hi] = [bytes(merged)]

    def _compare(self, s, p, offset, data):
        a, b = max(s, offset), min(s + len(p), offset + len(data))
        if a < b and p[a - s:b - s] != data[a - offset:b - offset]:
            for i in range(a, b):
                if p[i - s] != data[i - offset]:
                    raise self._differ(i)

    def compare(self, offset, data):
        """`data`, streamed at `offset`, against the bytes known there."""
        i = max(bisect.bisect_right(self.starts, offset) - 1, 0)
        end = offset + len(data)
        while i < len(self.starts) and self.starts[i] < end:
            self._compare(self.starts[i], self.parts[i], offset, data)
            i += 1


class _Sink:
    """Feeds a hash parts of CHUNK or more, however small the reads: the
    native hash keeps the interpreter lock for a small part."""

    def __init__(self, h, tick):
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


class _RemoteFile(File):
    """A file at a server: its size and first bytes from one probe, the
    parser's reads by range (or from the buffered head of the one stream of
    a server without ranges), the stream compared with all of them."""

    def __init__(self, rel, name, expected, stop):
        self.rel, self.name, self.expected = rel, name, expected
        self.guard = _Guard(name, stop)
        self.known = _Known(name)
        self._size = None
        self.ranged = True
        self.pending = None   # the stream of a server without ranges, its head read
        self.head = bytearray()
        self.used = 0
        self.info = None

    # What a transport gives: probe(whole) -> (size, first bytes or None,
    # stream or None), `whole` when the file is to be read whole anyway;
    # range(offset, length) -> bytes; stream() -> a _Stream.

    def size(self, whole=False):
        if self._size is None:
            size, first, stream = self.probe(whole)
            self._size = size
            if stream is not None:
                self.pending = stream
                self.ranged = whole  # a server that answered a range request with the whole file has none
            elif first:
                self.known.add(0, first)
        return self._size

    def _read(self, offset, length):
        """The native parser's read(offset, length)."""
        known = self.known.get(offset, length)
        if known is not None:
            return known
        if not self.ranged:
            end = offset + length
            if end > METADATA_LIMIT:
                raise SourceError(f"{self.name}: the server does not serve byte ranges, and the model's metadata "
                                  f"reaches past the first {METADATA_LIMIT} bytes, as far as tarnwick buffers")
            if self.pending is None:
                raise SourceError(f"{self.name}: the server does not serve byte ranges, and the file was already "
                                  "read")
            while len(self.head) < end:
                part = self.pending.read(min(max(CHUNK, end - len(self.head)), self._size - len(self.head)))
                if not part:
                    raise SourceError(f"{self.name}: the server sent {len(self.head)} of the file's {self._size} "
                                      "bytes")
                self.head += part
            return bytes(self.head[offset:end])
        self.used += length
        if self.used > METADATA_LIMIT:
            raise SourceError(f"{self.name}: the model's metadata is larger than the {METADATA_LIMIT} bytes "
                              "tarnwick reads from a server")
        data = self.range(offset, length)
        self.known.add(offset, data)
        return data

    def inspect(self):
        if self.info is None:
            size = self.size()
            try:
                self.info = _native._inspect_remote(size, self._read, name=self.name, limit=STORE_LIMIT)
            except (http.client.HTTPException, OSError) as e:
                if isinstance(e, SourceError):
                    raise
                raise SourceError(f"{self.name}: {_reason(e)}") from None
        return self.info

    def _stream(self, sink):
        """Every byte of the file to sink(part), each compared with what
        was read of it before; exactly size() bytes."""
        size = self.size()
        got = 0
        if self.pending is not None:
            stream, self.pending = self.pending, None
            if self.head:
                head = bytes(self.head)
                self.known.add(0, head)
                got = len(head)
                sink(head)
        else:
            stream = self.stream()
        try:
            while True:  # one read past the size, to see that nothing follows
                part = stream.read(min(CHUNK, size - got + 1))
                if not part:
                    break
                if got + len(part) > size:
                    raise SourceError(f"{self.name}: the server sent more than the file's {size} bytes")
                self.known.compare(got, part)
                sink(part)
                got += len(part)
        finally:
            stream.close()
        if got != size:
            raise SourceError(f"{self.name}: the server sent {got} of the file's {size} bytes")

    def check(self, assertion, tick=None):
        declared = _declared(assertion)
        if declared is None or (self.expected is not None and self.expected != self.size()):
            return False, False
        info = self.inspect()[0]
        try:
            h = _native._StreamHash("sha256", declared[0], self.size())
        except ValueError:  # exclusions that do not fit the file
            return False, False
        sink = _Sink(h, tick)
        self._stream(sink)
        sink.flush()
        return h.finish() == declared[1], info.store_range

    def digest(self, tick=None):
        size = self.size(whole=True)
        if self.expected is not None and self.expected != size:
            return size, None
        h = _native._StreamHash("sha256", [], size)
        sink = _Sink(h, tick)
        self._stream(sink)
        sink.flush()
        return size, h.finish()

    def read_all(self, limit):
        size = self.size(whole=True)
        if size > limit:
            raise self._too_large(size, limit)
        parts = []
        self._stream(parts.append)
        return b"".join(parts)

    def download(self, sink):
        self._stream(sink)

    def close(self):
        if self.pending is not None:
            self.pending.close()
            self.pending = None


# ---------------------------------------------------------------------------
# HTTPS (HTTP on loopback)

class _PatientRaw(io.RawIOBase):
    """A socket's bytes for http.client, each wait at most TICK long and
    then the guard's checks: a timeout on the socket itself would leave
    http.client's reader unusable."""

    def __init__(self, sockio, sock, guard):
        super().__init__()
        self.sockio, self.sock, self.guard = sockio, sock, guard

    def readable(self):
        return True

    def readinto(self, b):
        while True:
            self.guard.check()
            try:
                n = self.sock.recv_into(b)
            except socket.timeout:
                continue
            self.guard.got(n)
            return n

    def close(self):
        if not self.closed:
            self.sockio.close()  # the reference http.client counts on the socket
        super().close()


class _Response(http.client.HTTPResponse):
    def __init__(self, sock, debuglevel=0, method=None, url=None, guard=None):
        super().__init__(sock, debuglevel, method, url)
        self.fp = io.BufferedReader(_PatientRaw(self.fp.detach(), sock, guard), 1 << 16)


def _resolve(host, port, guard):
    try:
        ipaddress.ip_address(host)
        return socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_NUMERICHOST)
    except ValueError:
        return guard.wait(socket.getaddrinfo, host, port, 0, socket.SOCK_STREAM)


def _connect(host, port, tls, guard):
    """A connected socket (TLS when `tls`), every wait TICK long at most."""
    failure = None
    for family, kind, proto, _, address in _resolve(host, port, guard):
        sock = socket.socket(family, kind, proto)
        try:
            sock.setblocking(False)
            err = sock.connect_ex(address)
            if err in (errno.EINPROGRESS, errno.EWOULDBLOCK, errno.EAGAIN):
                while not select.select([], [sock], [], TICK)[1]:
                    guard.check()
                err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if err:
                raise OSError(err, os.strerror(err))
            if tls:
                sock = ssl.create_default_context().wrap_socket(sock, server_hostname=host,
                                                                do_handshake_on_connect=False)
                while True:
                    guard.check()
                    try:
                        sock.do_handshake()
                        break
                    except ssl.SSLWantReadError:
                        select.select([sock], [], [], TICK)
                    except ssl.SSLWantWriteError:
                        select.select([], [sock], [], TICK)
            sock.settimeout(TICK)
            return sock
        except SourceError:
            sock.close()
            raise
        except OSError as e:
            sock.close()
            failure = e
    raise failure if failure is not None else OSError(errno.EHOSTUNREACH, "no address")


class _Connection(http.client.HTTPConnection):
    def __init__(self, host, port, tls, guard):
        super().__init__(host, port, timeout=TICK)
        self.tls, self.guard = tls, guard
        self.response_class = lambda sock, *a, **kw: _Response(sock, *a, guard=guard, **kw)

    def connect(self):
        self.sock = _connect(self.host, self.port, self.tls, self.guard)


class _Stream:
    """The body of a response, read within the guard."""

    def __init__(self, file, conn, resp, key):
        self.file, self.conn, self.resp, self.key = file, conn, resp, key

    def read(self, n):
        with self.file.guard:
            try:
                part = self.resp.read1(n)
            except (OSError, http.client.HTTPException) as e:
                if isinstance(e, SourceError):
                    raise
                raise SourceError(f"{self.file.name}: {_reason(e)}") from None
        return part

    def close(self, reuse=False):
        if self.resp is None:
            return
        if reuse and not self.resp.will_close and self.resp.length == 0 and not self.resp.chunked:
            self.resp.close()
            self.file.conns[self.key] = self.conn
        else:
            self.resp.close()
            self.conn.close()
        self.resp = None


class _HttpSource(Source):
    def __init__(self, name, base, given, stop):
        self.name, self.base, self.given, self.stop = name, base, given, stop

    def isdir(self, rel=""):
        return rel == "" and self.given is None

    def url(self, rel):
        if self.given is not None and rel == self.given[0]:
            return self.given[1]
        return self.base + urllib.parse.quote(rel)

    def file(self, rel, size=None):
        check_name(rel)
        return _HttpFile(rel, self.url(rel), size, self.stop)


class _HttpFile(_RemoteFile):
    def __init__(self, rel, url, expected, stop):
        super().__init__(rel, url, expected, stop)
        self.url = url
        self.conns = {}

    def _request(self, headers):
        """A GET of the file, redirects followed and checked: a _Stream."""
        url = self.url
        for _ in range(MAX_REDIRECTS + 1):
            _check_http(url, None if url == self.url else self.url)
            parts = urllib.parse.urlsplit(url)
            tls = parts.scheme == "https"
            key = (parts.scheme, parts.hostname, parts.port)
            target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
            for attempt in (0, 1):
                conn = self.conns.pop(key, None)
                reused = conn is not None
                if conn is None:
                    conn = _Connection(parts.hostname, parts.port or (443 if tls else 80), tls, self.guard)
                try:
                    with self.guard:
                        conn.request("GET", target, headers={"Accept-Encoding": "identity", **headers})
                        resp = conn.getresponse()
                    break
                except (OSError, http.client.HTTPException) as e:
                    conn.close()
                    if isinstance(e, SourceError):
                        raise
                    if not reused:  # a kept connection the server closed meanwhile is tried afresh
                        raise SourceError(f"{self.name}: {_reason(e)}") from None
            stream = _Stream(self, conn, resp, key)
            if resp.status in (301, 302, 303, 307, 308):
                location = resp.getheader("Location") or ""
                stream.close()
                url = urllib.parse.urljoin(url, location)
                continue
            if resp.status == 404:
                stream.close()
                raise NotFound(f"{self.name}: not found (HTTP 404)")
            encoding = (resp.getheader("Content-Encoding") or "identity").strip().lower()
            if encoding != "identity":
                stream.close()
                raise SourceError(f"{self.name}: the server sent the file encoded ({encoding[:40]})")
            return stream
        raise SourceError(f"{self.name}: more than {MAX_REDIRECTS} redirects")

    def _failed(self, stream):
        resp = stream.resp
        stream.close()
        return SourceError(f"{self.name}: HTTP {resp.status} {resp.reason}")

    def _length(self, stream):
        value = stream.resp.getheader("Content-Length")
        return None if value is None else _size(value, self.name, "length")

    def _exactly(self, stream, length):
        """The whole body of `stream`, which must be `length` bytes."""
        parts, got = [], 0
        while True:
            part = stream.read(min(CHUNK, length - got + 1))
            if not part:
                break
            got += len(part)
            if got > length:
                stream.close()
                raise SourceError(f"{self.name}: the server sent more than the {length} bytes asked")
            parts.append(part)
        stream.close(reuse=True)
        if got != length:
            raise SourceError(f"{self.name}: the server sent {got} of the {length} bytes asked")
        return b"".join(parts)

    def probe(self, whole):
        stream = self._request({} if whole else {"Range": f"bytes=0-{PROBE - 1}"})
        status = stream.resp.status
        if status == 206:
            ranged = _RANGE.fullmatch((stream.resp.getheader("Content-Range") or "").strip())
            if not ranged:
                stream.close()
                raise SourceError(f"{self.name}: the server answered a range request without a usable "
                                  "Content-Range")
            size = _size(ranged[3], self.name)
            if int(ranged[1]) != 0 or int(ranged[2]) != min(PROBE, size) - 1:
                stream.close()
                raise SourceError(f"{self.name}: the server answered another range than the one asked")
            return size, self._exactly(stream, min(PROBE, size)), None
        if status == 416 and (stream.resp.getheader("Content-Range") or "").strip() == "bytes */0":
            stream.close()
            return 0, b"", None
        if status == 200:
            size = self._length(stream)
            if size is None:
                size = self.expected
            if size is None:
                stream.close()
                if whole:  # its size may come with a range
                    return self.probe(False)
                raise SourceError(f"{self.name}: the server serves neither byte ranges nor the file's size")
            return size, None, stream
        raise self._failed(stream)

    def range(self, offset, length):
        last = offset + length - 1
        stream = self._request({"Range": f"bytes={offset}-{last}"})
        if stream.resp.status != 206:
            if stream.resp.status == 200:
                stream.close()
                raise SourceError(f"{self.name}: the server answered a range request with the whole file")
            raise self._failed(stream)
        if (stream.resp.getheader("Content-Range") or "").strip() != f"bytes {offset}-{last}/{self._size}":
            stream.close()
            raise SourceError(f"{self.name}: the server answered another range than the one asked, or the file "
                              "changed")
        return self._exactly(stream, length)

    def stream(self):
        stream = self._request({})
        if stream.resp.status != 200:
            raise self._failed(stream)
        length = self._length(stream)
        if length is not None and length != self._size:
            stream.close()
            raise SourceError(f"{self.name}: the server announced {length} bytes for the file, then "
                              f"{self._size}")
        return stream

    def close(self):
        super().close()
        for conn in self.conns.values():
            conn.close()
        self.conns.clear()


# ---------------------------------------------------------------------------
# fsspec

def _open_fsspec(location, stop):
    try:
        import fsspec.core
    except ImportError:
        raise UsageError(f"{location}: reading this URL needs fsspec: pip install 'tarnwick[remote]'") from None
    for part in location.split("::"):
        protocol = part.partition("://")[0].lower()  # a part without "://" is a protocol alone
        if protocol in CACHING:
            raise UsageError(f"{location}: {protocol} writes to disk; give the URL without it")
    guard = _Guard(location, stop)
    try:
        fs, root = guard.wait(fsspec.core.url_to_fs, location)
        isdir = guard.wait(fs.isdir, root)
    except (ImportError, ValueError) as e:  # the protocol's own package: fsspec's message names it
        raise UsageError(f"{location}: {e}") from None
    except FileNotFoundError:
        raise NotFound(f"{location}: not found") from None
    except OSError as e:
        if isinstance(e, SourceError):
            raise
        raise SourceError(f"{location}: {_reason(e)}") from None
    if isdir:
        return _FsSource(location, fs, root.rstrip("/"), None, stop), ""
    folder, _, name = root.rpartition("/")
    return _FsSource(location, fs, folder, (name, location), stop), name


class _FsSource(Source):
    can_list = True

    def __init__(self, name, fs, root, given, stop):
        self.name, self.fs, self.root, self.given, self.stop = name, fs, root, given, stop

    def path(self, rel):
        return f"{self.root}/{rel}" if rel else self.root

    def _call(self, what, function, *args, **kwargs):
        guard = _Guard(what, self.stop)
        try:
            return guard.wait(lambda: function(*args, **kwargs))
        except FileNotFoundError:
            raise NotFound(f"{what}: not found") from None
        except OSError as e:
            if isinstance(e, SourceError):
                raise
            raise SourceError(f"{what}: {_reason(e)}") from None

    def isdir(self, rel=""):
        if rel:
            check_name(rel)
        try:
            return bool(self._call(self.name, self.fs.isdir, self.path(rel)))
        except NotFound:
            return False

    def list(self, prune=None):
        found = self._call(self.name, self.fs.find, self.root, withdirs=False, maxdepth=MAX_DEPTH)
        if len(found) > MAX_FILES:
            raise ModelError(f"{self.name}: more than {MAX_FILES} files")
        prefix = self.root.rstrip("/") + "/" if self.root else ""
        out = []
        for path in found:
            if not isinstance(path, str) or not path.startswith(prefix):
                raise SourceError(f"{self.name}: the listing names {str(path)[:200]!r}, outside the folder")
            rel = check_name(path[len(prefix):], self.name)
            parts = rel.split("/")
            if prune is not None and any(prune("/".join(parts[:i])) for i in range(1, len(parts))):
                continue
            out.append(rel)
        return sorted(out)

    def file(self, rel, size=None):
        check_name(rel)
        shown = self.given[1] if self.given is not None and rel == self.given[0] else \
            self.fs.unstrip_protocol(self.path(rel))
        return _FsFile(self, rel, shown, size)


class _FsStream:
    def __init__(self, file, handle):
        self.file, self.handle = file, handle

    def read(self, n):
        part = self.file.call(self.handle.read, n, expect=n)
        self.file.guard.got(len(part))
        return bytes(part)

    def close(self):
        handle, self.handle = self.handle, None
        if handle is not None:
            try:
                handle.close()
            except Exception:  # noqa: BLE001 - a close that fails leaves nothing to undo
                pass


class _FsFile(_RemoteFile):
    def __init__(self, source, rel, name, expected):
        super().__init__(rel, name, expected, source.stop)
        self.fs, self.where = source.fs, source.path(rel)

    def call(self, function, *args, expect=0, **kwargs):
        try:
            return self.guard.wait(lambda: function(*args, **kwargs), expect=expect)
        except FileNotFoundError:
            raise NotFound(f"{self.name}: not found") from None
        except OSError as e:
            if isinstance(e, SourceError):
                raise
            raise SourceError(f"{self.name}: {_reason(e)}") from None

    def probe(self, whole):
        info = self.call(self.fs.info, self.where)
        if not isinstance(info, dict) or info.get("type") != "file":
            raise ModelError(f"{self.name}: not a regular file")
        return _size(info.get("size"), self.name), None, None

    def range(self, offset, length):
        data = self.call(self.fs.cat_file, self.where, start=offset, end=offset + length, expect=length)
        self.guard.got(len(data))
        if len(data) != length:
            raise SourceError(f"{self.name}: the server sent {len(data)} of the {length} bytes asked at offset "
                              f"{offset}")
        return bytes(data)

    def stream(self):
        return _FsStream(self, self.call(self.fs.open, self.where, "rb", block_size=CHUNK, cache_type="none"))


# ---------------------------------------------------------------------------
# What the model layer and signing need of a local folder

class LocalFolder(_LocalSource):
    """A folder of this machine, as the model layer and signing use it."""

    def __init__(self, folder, name=None, stop=None, shown=None):
        folder = os.fspath(folder)
        super().__init__(folder, name or folder, folder if shown is None else shown, stop)

    def path(self, rel):
        return os.path.join(self.folder, rel) if rel else self.folder

    def open(self, rel):
        """A read-only descriptor of `rel` (the caller closes it) and the
        real path of its last component when that is a link (else None)."""
        f = _LocalFile(self, rel, None)
        target = None if f.link_target is None else os.path.realpath(f.path)
        fd, f.fd = f.fd, -1
        return fd, target

    def walk(self, ignore=None, skip=()):
        """Every file under the folder (relative, sorted) that `ignore` does
        not match, as (rel, real path when it is a link, else None). A link
        to a folder, a FIFO, a device or a socket is refused: no loader
        reads those as the files they seem to be."""
        found = []
        prune = None if ignore is None else (lambda rel: ignore.matches(rel, True))
        for rel in self.list(prune):
            if (ignore is not None and ignore.matches(rel)) or rel in skip:
                continue
            path = os.path.join(self.folder, rel)
            st = os.lstat(path)
            target = None
            if stat.S_ISLNK(st.st_mode):
                try:
                    st = os.stat(path)
                except FileNotFoundError:
                    raise MemberError(f"{rel}: a link to nothing") from None
                if stat.S_ISDIR(st.st_mode):
                    if ignore is not None and ignore.matches(rel, True):
                        continue
                    raise MemberError(f"{rel}: a link to a folder; give the folder itself, or ignore it")
                target = os.path.realpath(path)
            if not stat.S_ISREG(st.st_mode):
                raise MemberError(f"{rel}: not a regular file; remove it, or ignore it")
            found.append((rel, target))
        return found


def fd_path(fd):
    """A path naming exactly the file open at `fd`, for the native functions;
    they are given the file's own name for their messages."""
    return _fd_path(fd)


@contextlib.contextmanager
def naming(path, name):
    """Failures of the native functions called on `path` (a descriptor's
    path) told in the file's own name."""
    if not name or name == path:
        yield
        return
    try:
        yield
    except OSError as e:
        if e.filename != path and not (e.filename is None and path in str(e)):
            raise
        raise type(e)(e.errno, e.strerror or str(e).replace(path, name), name) from None
    except ValueError as e:
        text = str(e)
        if path not in text:
            raise
        text = text.replace(repr(path), repr(name)).replace(path, name)
        raise (type(e) if isinstance(e, (ModelError, UsageError)) else ModelError)(text) from None


def read_regular(path, limit, what="a manifest store"):
    """A small file kept on its own (a store, trust anchors, a definition):
    a regular file only (a FIFO is refused, never waited on), refused past
    `limit` before it is read."""
    shown = os.fspath(path)
    fd = os.open(shown, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise UsageError(f"{shown}: not a regular file")
        if st.st_size > limit:
            raise StoreTooLarge(f"{shown}: {what} of {st.st_size} bytes is larger than the {limit} bytes "
                                "tarnwick reads")
        os.set_blocking(fd, True)
        data = os.pread(fd, st.st_size + 1, 0)
        if len(data) > st.st_size:
            raise StoreTooLarge(f"{shown}: the file grew while it was read")
        return data
    finally:
        os.close(fd)


def fetch(url, limit):
    """A remote manifest store: HTTPS only (plain HTTP on loopback), a
    redirect held to the same rule, bounded by progress and by `limit`."""
    parts = urllib.parse.urlsplit(url) if isinstance(url, str) else None
    if parts is None or not (parts.scheme == "https" or (parts.scheme == "http" and
                                                           is_loopback(parts.hostname or ""))):
        raise UsageError(f"refusing to fetch the manifest from {url!r}: HTTPS is required (plain HTTP only on "
                         "loopback)")
    source, rel = open_source(url)
    with source.file(rel) as f:
        return f.read_all(limit)
