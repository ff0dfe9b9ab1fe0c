"""Where a model's bytes come from: a folder on this machine, read through
the native file layer. Every file is one open descriptor: its metadata is
parsed, its store read and its bytes hashed through that descriptor, so
what is judged is what is hashed whatever the name leads to meanwhile."""

import base64
import contextlib
import errno
import os
import re
import stat

from . import _native
from ._errors import ModelError, UsageError

MAX_FILES = 100_000
MAX_DEPTH = 64


class SourceError(OSError):
    """The model could not be read: a server's failure, a stall, a stop."""


class NotFound(SourceError, FileNotFoundError):
    """The file is not there."""


class StoreTooLarge(ModelError):
    """A store larger than tarnwick reads."""


class MemberError(ModelError):
    """A member name the model gives that cannot be read safely."""


def check_name(name, what=None):
    """A member name must be a plain relative path inside the folder."""
    what = what or name
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


def fd_path(fd):
    """A path naming exactly the file open at `fd`, for the native functions;
    they are given the member's own name for their messages."""
    return f"/proc/self/fd/{fd}"


@contextlib.contextmanager
def naming(path, name):
    """Failures of the native functions called on `path` (a descriptor's
    path) told in the member's own name."""
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
        raise (type(e) if isinstance(e, ModelError) or type(e).__module__.startswith("tarnwick")
               else ModelError)(text) from None


def declared_digest(assertion):
    """(exclusions, digest) of a data hash assertion, or None when unusable."""
    if not isinstance(assertion, dict) or assertion.get("alg", "sha256") != "sha256":
        return None
    try:
        declared = assertion.get("hash")
        declared = base64.b64decode(declared, validate=True) if isinstance(declared, str) else bytes(declared)
        exclusions = [(int(e["start"]), int(e["length"])) for e in assertion.get("exclusions") or []]
    except (ValueError, TypeError, KeyError):
        return None
    return exclusions, declared


def _ticker(tick):
    """A native progress callback (done, total) turned into byte counts."""
    if tick is None:
        return None
    seen = [0]

    def show(done, total):
        if done > seen[0]:
            tick(done - seen[0])
            seen[0] = done
    return show


class LocalFile:
    """One file of a local folder, open once."""

    def __init__(self, fd, rel, link_target):
        self.fd, self.rel, self.link_target = fd, rel, link_target
        self.path = fd_path(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def size(self):
        return os.fstat(self.fd).st_size

    def inspect(self, limit):
        """(ModelInfo, embedded store or None when larger than `limit`,
        external-data locations)."""
        with naming(self.path, self.rel):
            info = _native.inspect(self.path)
            store = None
            if info.store_size is not None and info.store_size <= limit:
                store = _native.read_file(self.path)
            external = _native._onnx_external(self.path, name=self.rel) if info.format == "ONNX" else []
        return info, store, list(external)

    def check(self, assertion, tick=None):
        """(hash_ok, store range seen, or False when the file could not be
        hashed) of a data hash assertion."""
        declared = declared_digest(assertion)
        if declared is None:
            return False, False
        try:
            with naming(self.path, self.rel):
                check = _native.check_binding(self.path, declared[0], declared[1], progress=_ticker(tick))
        except (ValueError, OSError):
            return False, False
        return check.hash_ok, check.store_range

    def digest(self, tick=None):
        with naming(self.path, self.rel):
            return _native._hash_file(self.path, name=self.rel, progress=_ticker(tick))

    def read_all(self, limit):
        size = self.size()
        if size > limit:
            raise StoreTooLarge(f"{self.rel}: a manifest store of {size} bytes is larger than the {limit} bytes "
                                "tarnwick reads")
        data = os.pread(self.fd, size + 1, 0)
        if len(data) != size:
            raise SourceError(errno.EIO, "the file changed while it was read", self.rel)
        return data


class LocalFolder:
    """A folder of this machine. Every folder on the way to a file is opened
    relative to the one before it and must not be a link; the file itself
    may be one (whether to follow it is the model's rule: link_target)."""

    can_list = True
    stop = None

    def __init__(self, folder, name=None):
        self.folder = os.fspath(folder)
        self.name = name or self.folder

    def path(self, rel):
        return os.path.join(self.folder, rel) if rel else self.folder

    def isdir(self, rel=""):
        return os.path.isdir(self.path(rel))

    def open(self, rel):
        """A read-only descriptor of `rel` and the target of its last
        component when that is a link (else None)."""
        check_name(rel)
        parts = rel.split("/")
        flags = os.O_RDONLY | os.O_CLOEXEC
        current = os.open(self.folder, flags | os.O_DIRECTORY)
        try:
            for part in parts[:-1]:
                try:
                    nxt = os.open(part, flags | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=current)
                except OSError as e:
                    if e.errno in (errno.ELOOP, errno.ENOTDIR):
                        raise MemberError(f"{rel}: {part!r} is a link or not a folder; members must stay inside "
                                          "the model's folder") from None
                    raise OSError(e.errno, e.strerror, self.path(rel)) from None
                os.close(current)
                current = nxt
            flags |= os.O_NONBLOCK | os.O_NOCTTY
            try:
                try:
                    fd, link = os.open(parts[-1], flags | os.O_NOFOLLOW, dir_fd=current), False
                except OSError as e:
                    if e.errno != errno.ELOOP:
                        raise
                    fd, link = os.open(parts[-1], flags, dir_fd=current), True
            except OSError as e:
                raise OSError(e.errno, e.strerror, self.path(rel)) from None
            target = os.path.realpath(fd_path(fd)) if link else None
        finally:
            os.close(current)
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            os.close(fd)
            raise MemberError(f"{rel}: not a regular file")
        os.set_blocking(fd, True)
        return fd, target

    def file(self, rel, size=None):
        fd, target = self.open(rel)
        return LocalFile(fd, rel, target)

    def list(self):
        return [rel for rel, _ in self.walk()]

    def walk(self, ignore=None, skip=()):
        """Every regular file or link under the folder (relative, sorted)
        that `ignore` does not match: (rel, link target or None). A link to
        a folder, a FIFO, a device or a socket is refused: no loader reads
        those as the files they seem to be."""
        found = []

        def walk(sub, depth):
            if depth > MAX_DEPTH:
                raise MemberError(f"{sub}: folders nested too deeply")
            with os.scandir(self.path(sub)) as it:
                entries = sorted(it, key=lambda e: e.name)
            for e in entries:
                rel = f"{sub}/{e.name}" if sub else e.name
                if e.is_dir(follow_symlinks=False):
                    if ignore is None or not ignore.matches(rel, True):
                        walk(rel, depth + 1)
                    continue
                if (ignore is not None and ignore.matches(rel)) or rel in skip:
                    continue
                target = None
                if e.is_symlink():
                    try:
                        st = os.stat(e.path)
                    except FileNotFoundError:
                        raise MemberError(f"{rel}: a link to nothing") from None
                    if stat.S_ISDIR(st.st_mode):
                        if ignore is not None and ignore.matches(rel, True):
                            continue
                        raise MemberError(f"{rel}: a link to a folder; give the folder itself, or ignore it")
                    mode, target = st.st_mode, os.path.realpath(e.path)
                else:
                    mode = e.stat(follow_symlinks=False).st_mode
                if not stat.S_ISREG(mode):
                    raise MemberError(f"{rel}: not a regular file; remove it, or ignore it")
                found.append((rel, target))
                if len(found) > MAX_FILES:
                    raise MemberError(f"{self.name}: more than {MAX_FILES} files")

        walk("", 0)
        return found


def read_regular(path, limit, what="a manifest store"):
    """A small file kept on its own (a store, trust anchors, a definition):
    a regular file only (a FIFO is refused, never waited on), refused past
    `limit` before it is read."""
    shown = os.fspath(path)
    fd = os.open(shown, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise MemberError(f"{shown}: not a regular file")
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


_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*(://|::)")


def is_url(value):
    """Whether `value` is a URL rather than a path: text with a scheme (or
    an fsspec chain)."""
    return isinstance(value, str) and bool(_URL.match(value))


def open_source(location, stop=None):
    """(source, name within it) of a path or URL; the name is "" when the
    location is a folder."""
    if is_url(location):
        raise UsageError(f"{location}: URLs are not read here yet")
    path = os.fspath(location)
    if os.path.isdir(path):
        return LocalFolder(path), ""
    folder, name = os.path.split(path)
    return LocalFolder(folder or ".", path), name


def fetch(url, limit):
    raise UsageError(f"{url}: fetching is not available")
