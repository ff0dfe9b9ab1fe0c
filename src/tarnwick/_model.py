"""Models of many files: which files make up a model, and opening them
without ever leaving the model's folder.

A model is every regular file under its folder but the ignored ones (.git/,
.cache/, .DS_Store, the model-level store itself, and what the caller adds),
since a tokenizer, a chat template, a config or custom code changes what a
model does as surely as its weights. Its containers come first, in the
model's order, read from the model itself (a SafeTensors index's weight_map,
a GGUF split's split.* keys with llama.cpp's naming rule, an ONNX graph's
external-data entries); they carry their own manifests. Every other file is
hashed whole.

A member's name comes from the model and is hostile until checked: it must be
a plain relative path (no `.` or `..` component, not absolute, no backslash or
NUL), every folder on the way is opened relative to the one before it and
must not be a link, and only the last component may be a link, followed when
it leads to a regular file (the Hugging Face cache keeps snapshot files as
links into ../../blobs)."""

import contextlib
import errno
import os
import re
import stat

from . import _native
from ._errors import ModelError, UsageError

DEFAULT_IGNORE = (".git/", ".cache/", ".DS_Store")
MAX_FILES = 100_000
MAX_DEPTH = 64
SPLIT = re.compile(r"^(?P<prefix>.+)-(?P<no>\d{5})-of-(?P<count>\d{5})\.(?P<ext>safetensors|gguf)$")
INDEX_SUFFIX = ".safetensors.index.json"

CONTAINER, DATA = "container", "data"


class MemberError(ModelError):
    """A member name the model gives that cannot be read safely."""


class Model:
    """A model's folder, its entry file and its members in the model's order,
    each (relative path, CONTAINER or DATA)."""

    def __init__(self, folder, entry, kind, members, pattern=None):
        self.folder = folder
        self.entry = entry
        self.kind = kind
        self.members = members  # the entry's own members
        self.pattern = pattern  # the member naming pattern, for stray files
        self.ignore = None      # an Ignore once the whole folder is taken
        self.others = []        # then, every other file, hashed whole

    @property
    def files(self):
        """Every file of the model: the entry's members, then the others."""
        return self.members + [(rel, DATA) for rel in self.others]

    @property
    def stem(self):
        name = self.entry
        if name.endswith(INDEX_SUFFIX):
            return name[: -len(INDEX_SUFFIX)]
        m = SPLIT.match(name)
        if m:
            return m.group("prefix")
        return os.path.splitext(name)[0]

    @property
    def store_name(self):
        """The model-level manifest store, beside the entry file."""
        return self.stem + ".c2pa"

    def path(self, rel):
        return os.path.join(self.folder, rel)


def check_name(name, what):
    """A member name must be a plain relative path inside the folder."""
    if not isinstance(name, str) or not name:
        raise MemberError(f"{what}: a member name must be a non-empty text, not {name!r}")
    if "\0" in name or "\\" in name:
        raise MemberError(f"{what}: member {name!r} is not a plain relative path (NUL or backslash)")
    if name.startswith("/"):
        raise MemberError(f"{what}: member {name!r} is an absolute path; members must stay inside the model's folder")
    parts = name.split("/")
    if any(p in ("", ".", "..") for p in parts):
        raise MemberError(f"{what}: member {name!r} is not a plain relative path inside the model's folder "
                          "(no '.', '..' or empty component)")
    return name


def open_member(folder, rel):
    """A read-only descriptor of member `rel`, resolved relative to the
    folder's descriptor: folders on the way must not be links; the member
    itself may be a link to a regular file."""
    check_name(rel, rel)
    parts = rel.split("/")
    flags = os.O_RDONLY | os.O_CLOEXEC
    current = os.open(folder, flags | os.O_DIRECTORY)
    try:
        for part in parts[:-1]:
            try:
                nxt = os.open(part, flags | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=current)
            except OSError as e:
                if e.errno in (errno.ELOOP, errno.ENOTDIR):
                    raise MemberError(f"{rel}: {part!r} is a link or not a folder; members must stay inside the "
                                      "model's folder") from None
                raise OSError(e.errno, e.strerror, os.path.join(folder, rel)) from None
            os.close(current)
            current = nxt
        try:
            fd = os.open(parts[-1], flags | os.O_NONBLOCK, dir_fd=current)
        except OSError as e:
            raise OSError(e.errno, e.strerror, os.path.join(folder, rel)) from None
    finally:
        os.close(current)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise MemberError(f"{rel}: not a regular file")
    os.set_blocking(fd, True)
    return fd


# --- What each container says its members are, read natively --------------

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
        raise (type(e) if isinstance(e, (ModelError, UsageError)) else ModelError)(text) from None


def _read(function, folder, rel):
    fd = open_member(folder, rel)
    try:
        return function(fd_path(fd), name=rel)
    except ValueError as e:
        raise ModelError(str(e)) from None
    finally:
        os.close(fd)


def gguf_split(folder, rel):
    """(split.no, split.count) of a GGUF file, or None without split keys."""
    return _read(_native._gguf_split, folder, rel)


def onnx_locations(folder, rel):
    """The external-data locations an ONNX model names, in order of first use."""
    return _read(_native._onnx_external, folder, rel)


# --- The model -----------------------------------------------------------------

def _splits(folder, name):
    m = SPLIT.match(os.path.basename(name))
    keys = gguf_split(folder, name)
    if keys is None or keys[1] <= 1:
        return None
    count = keys[1]
    if m is None or m.group("ext") != "gguf":
        raise ModelError(f"{name}: a split GGUF model ({count} splits) must be named PREFIX-00001-of-"
                         f"{count:05d}.gguf")
    if int(m.group("no")) != 1:
        raise ModelError(f"{name}: give the model's first split, PREFIX-00001-of-{count:05d}.gguf")
    if int(m.group("count")) != count:
        raise ModelError(f"{name}: named as one of {int(m.group('count'))} splits, but its split.count is {count}")
    prefix = name[: len(name) - len(os.path.basename(name))] + m.group("prefix")
    return [f"{prefix}-{i:05d}-of-{count:05d}.gguf" for i in range(1, count + 1)]


def check_splits(model):
    """Each split says it is the one its name says (split.no counts from 0);
    checked before signing. Verifying needs no such check: a split out of
    place fails its hash."""
    for i, (rel, _) in enumerate(model.members):
        keys = gguf_split(model.folder, rel)
        if keys != (i, len(model.members)):
            got = "no split keys" if keys is None else f"split.no {keys[0]} of split.count {keys[1]}"
            raise ModelError(f"{rel}: {got}, but its name makes it split {i} of {len(model.members)} "
                             "(split.no counts from 0)")


def _pattern(members, ext):
    prefixes = {SPLIT.match(os.path.basename(m)).group("prefix") for m in members
                if SPLIT.match(os.path.basename(m)) and m.endswith("." + ext)}
    if not prefixes:
        return None
    return re.compile("^(" + "|".join(re.escape(p) for p in sorted(prefixes)) + r")-\d{5}-of-\d{5}\." + ext + "$")


def _from_entry(folder, name):
    if name.endswith(INDEX_SUFFIX):
        base = name[: len(name) - len(os.path.basename(name))]
        shards = [base + check_name(s, f"{name}: weight_map") for s in _read(_native._index_shards, folder, name)]
        return Model(folder, name, "safetensors", [(name, DATA)] + [(s, CONTAINER) for s in shards],
                     _pattern(shards, "safetensors"))
    if name.endswith(".gguf"):
        splits = _splits(folder, name)
        if splits is None:
            return Model(folder, name, "gguf", [(name, CONTAINER)])
        return Model(folder, name, "gguf", [(s, CONTAINER) for s in splits], _pattern(splits, "gguf"))
    if name.endswith(".onnx"):
        base = name[: len(name) - len(os.path.basename(name))]
        data = [base + check_name(loc, f"{name}: external data location") for loc in onnx_locations(folder, name)]
        return Model(folder, name, "onnx", [(name, CONTAINER)] + [(d, DATA) for d in dict.fromkeys(data)])
    if name.endswith(".safetensors"):
        return Model(folder, name, "safetensors", [(name, CONTAINER)])
    raise UsageError(f"{name}: not a model entry (a .safetensors.index.json, a first GGUF split, an .onnx file, "
                     "or a folder holding one)")


def locate(path):
    """The model at `path`: a folder, an index file, a first split or an
    ONNX file."""
    path = os.fspath(path)
    if os.path.isdir(path):
        names = sorted(os.listdir(path))
        candidates = [n for n in names if n.endswith(INDEX_SUFFIX)]
        candidates += [n for n in names if (m := SPLIT.match(n)) and m.group("ext") == "gguf" and
                       m.group("no") == "00001"]
        candidates += [n for n in names if n.endswith(".onnx")]
        if not candidates:
            candidates = [n for n in names if n.endswith((".safetensors", ".gguf")) and not SPLIT.match(n)]
        if len(candidates) != 1:
            found = ", ".join(candidates) if candidates else "none"
            raise UsageError(f"{path}: a folder must hold one model (an index, a first split or an ONNX "
                             f"file); found {found}: give the entry file")
        return _from_entry(path, candidates[0])
    folder, name = os.path.split(path)
    return _from_entry(folder or ".", name)


class Ignore:
    """Ignore patterns in the manner of .gitignore, relative to the model's
    folder: `*`, `?` and `[...]` within a name, `**` across folders, a
    trailing `/` for folders only, a `/` elsewhere anchors the pattern at the
    folder, otherwise it matches a name at any depth."""

    def __init__(self, patterns):
        self.patterns = list(patterns)
        self._compiled = [self._compile(p) for p in self.patterns]

    @staticmethod
    def _compile(pattern):
        if not isinstance(pattern, str) or not pattern.strip("/") or "\0" in pattern:
            raise UsageError(f"ignore pattern {pattern!r}: not a pattern")
        if pattern.startswith("!"):
            raise UsageError(f"ignore pattern {pattern!r}: negation is not supported")
        folders_only = pattern.endswith("/")
        body = pattern.rstrip("/")
        anchored = "/" in body
        body = body.lstrip("/")
        out, i = [], 0
        while i < len(body):
            c = body[i]
            if body.startswith("**/", i):
                out.append("(?:.*/)?")
                i += 3
                continue
            if body.startswith("**", i):
                out.append(".*")
                i += 2
                continue
            if c == "*":
                out.append("[^/]*")
            elif c == "?":
                out.append("[^/]")
            elif c == "[":
                end = body.find("]", i + 2)
                if end < 0:
                    raise UsageError(f"ignore pattern {pattern!r}: an unclosed [")
                inner = body[i + 1:end].replace("\\", "\\\\")
                out.append("[^" + inner[1:] + "]" if inner.startswith("!") else "[" + inner + "]")
                i = end
            else:
                out.append(re.escape(c))
            i += 1
        return re.compile(("" if anchored else "(?:.*/)?") + "".join(out) + "$"), folders_only

    def matches(self, rel, is_folder=False):
        return any((is_folder or not folders_only) and regex.match(rel)
                   for regex, folders_only in self._compiled)


def _hf_blob(path):
    """Whether `path` resolves into a Hugging Face cache's blobs/ folder."""
    target = os.path.realpath(path)
    blobs = os.path.dirname(target)
    return os.path.basename(blobs) == "blobs" and os.path.isdir(os.path.join(os.path.dirname(blobs), "snapshots"))


def folder_files(folder, ignore, skip=()):
    """Every regular file under `folder` (relative paths, sorted) that
    `ignore` does not match. A link to a regular file counts as the file (a
    Hugging Face snapshot links into its blobs); a link to a folder, a FIFO,
    a device or a socket is refused: no loader reads those as the files
    they seem to be."""
    found = []

    def walk(sub, depth):
        if depth > MAX_DEPTH:
            raise MemberError(f"{sub}: folders nested too deeply")
        with os.scandir(os.path.join(folder, sub) if sub else folder) as it:
            entries = sorted(it, key=lambda e: e.name)
        for e in entries:
            rel = f"{sub}/{e.name}" if sub else e.name
            if e.is_dir(follow_symlinks=False):
                if not ignore.matches(rel, True):
                    walk(rel, depth + 1)
                continue
            if ignore.matches(rel) or rel in skip:
                continue
            if e.is_symlink():
                try:
                    st = os.stat(e.path)
                except FileNotFoundError:
                    raise MemberError(f"{rel}: a link to nothing") from None
                if stat.S_ISDIR(st.st_mode):
                    if ignore.matches(rel, True):
                        continue
                    raise MemberError(f"{rel}: a link to a folder; give the folder itself, or ignore it")
                mode = st.st_mode
            else:
                mode = e.stat(follow_symlinks=False).st_mode
            if not stat.S_ISREG(mode):
                raise MemberError(f"{rel}: not a regular file; remove it, or ignore it")
            found.append(rel)
            if len(found) > MAX_FILES:
                raise MemberError(f"{folder}: more than {MAX_FILES} files")

    walk("", 0)
    return found


def take_folder(model, extra_ignore=()):
    """The model widened to every file of its folder but the ignored ones."""
    model.ignore = Ignore(list(DEFAULT_IGNORE) + list(extra_ignore))
    own = {rel for rel, _ in model.members}
    model.others = [rel for rel in folder_files(model.folder, model.ignore, {model.store_name})
                    if rel not in own]
    return model


def is_model(path):
    """True when `path` names a model of many files (or a folder): what
    sign_model and verify_model take rather than sign_file and verify_file.
    A file whose members cannot be determined counts as one, so that the
    model's own functions refuse it with their message: it is never taken
    for a file on its own."""
    path = os.fspath(path)
    if os.path.isdir(path) or path.endswith(INDEX_SUFFIX):
        return True
    if not path.endswith((".gguf", ".onnx")):
        return False
    folder, name = os.path.split(path)
    try:
        if path.endswith(".gguf"):
            keys = gguf_split(folder or ".", name)
            return keys is not None and keys[1] > 1
        return bool(onnx_locations(folder or ".", name))
    except ModelError:
        return True
    except OSError:
        return False


def strays(model):
    """Files beside the members that follow the model's naming pattern but are
    not members."""
    if model.pattern is None:
        return []
    members = {rel for rel, _ in model.members}
    folders = sorted({os.path.dirname(rel) for rel in members})
    out = []
    for sub in folders:
        try:
            names = sorted(os.listdir(os.path.join(model.folder, sub)))
        except OSError:
            continue
        for n in names:
            rel = f"{sub}/{n}" if sub else n
            if model.pattern.match(n) and rel not in members:
                out.append(rel)
    return out


def onnx_refusal(path, what):
    """The refusal of a file operation that would bind only an ONNX model's
    graph, or None. A graph whose external data cannot be determined is
    refused too: what it would cover is unknown."""
    path = os.fspath(path)
    if not path.endswith(".onnx"):
        try:
            if _native.inspect(path).format != "ONNX":
                return None
        except (OSError, ValueError):
            return None
    folder, name = os.path.split(path)
    try:
        external = onnx_locations(folder or ".", name)
    except OSError:
        return None
    if not external:
        return None
    shown = ", ".join(external[:3]) + (", ..." if len(external) > 3 else "")
    return (f"{path} keeps tensor data in external files ({shown}): {what} would cover only the graph; "
            f"sign and verify the whole model with sign_model/verify_model (tarnwick sign/verify on the "
            f"folder or on this file)")
