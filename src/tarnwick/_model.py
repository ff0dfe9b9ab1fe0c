"""Which files make up a model, and the rules about where they may lie.

A model is every regular file under its folder but the ignored ones (.git/,
.cache/, .DS_Store, the model-level store itself, and what the caller adds),
since a tokenizer, a chat template, a config or custom code changes what a
model does as surely as its weights. Its containers come first, in the
model's order, read from the model itself (a SafeTensors index's weight_map,
a GGUF split's split.* keys with llama.cpp's naming rule, an ONNX graph's
external-data entries); they carry their own manifests. Every other file is
hashed whole.

A member's name comes from the model and is hostile until checked (the
source's check_name). A member that is a link is followed only where the
loaders follow it: into a Hugging Face cache's blobs/, which snapshots link
to; onnx and onnxruntime refuse external data behind a link."""

import os
import re
import stat

from . import _native
from ._errors import ModelError, UsageError
from ._source import LocalFolder, MemberError, check_name, fd_path

DEFAULT_IGNORE = (".git/", ".cache/", ".DS_Store")
SPLIT = re.compile(r"^(?P<prefix>.+)-(?P<no>\d{5})-of-(?P<count>\d{5})\.(?P<ext>safetensors|gguf)$")
INDEX_SUFFIX = ".safetensors.index.json"

CONTAINER, DATA = "container", "data"

def stem(entry):
    """The model's name from its entry file: what its store is named after."""
    if entry.endswith(INDEX_SUFFIX):
        return entry[: -len(INDEX_SUFFIX)]
    m = SPLIT.match(entry)
    if m:
        return entry[: len(entry) - len(os.path.basename(entry))] + m.group("prefix")
    return os.path.splitext(entry)[0]


def store_name(entry):
    """The model-level manifest store, beside the entry file."""
    return stem(entry) + ".c2pa"


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
    def store_name(self):
        return store_name(self.entry)

    def path(self, rel):
        return os.path.join(self.folder, rel)


# --- Ignore patterns -------------------------------------------------------------

class Ignore:
    """Ignore patterns in the manner of .gitignore, relative to the model's
    folder: `*`, `?` and `[...]` within a name, `**` across folders, a
    trailing `/` for folders only, a `/` elsewhere anchors the pattern at the
    folder, otherwise it matches a name at any depth.

    Each pattern is a small automaton run over the name once, its states
    kept as a set: time linear in the name whatever the pattern, so a
    pattern from a hostile listing cannot stall a verdict."""

    def __init__(self, patterns):
        self.patterns = list(patterns)
        self._compiled = [self._compile(p) for p in self.patterns]

    @staticmethod
    def _compile(pattern):
        if not isinstance(pattern, str) or not pattern.strip("/") or "\0" in pattern:
            raise UsageError(f"ignore pattern {pattern!r}: not a pattern")
        if pattern.startswith("!"):
            raise UsageError(f"ignore pattern {pattern!r}: negation is not supported")
        if len(pattern) > 4096:
            raise UsageError(f"ignore pattern {pattern[:40]!r}...: longer than 4096 characters")
        folders_only = pattern.endswith("/")
        body = pattern.rstrip("/")
        anchored = "/" in body
        body = body.lstrip("/")
        # Steps: ("c", char), ("?",), ("[", negated, text), ("*",) a run
        # within a name, ("**",) any run, ("**/",) any run of whole folders.
        steps = [] if anchored else [("**/",)]
        i = 0
        while i < len(body):
            if body.startswith("**/", i):
                steps.append(("**/",))
                i += 3
            elif body.startswith("**", i):
                steps.append(("**",))
                i += 2
            elif body[i] == "*":
                steps.append(("*",))
                i += 1
            elif body[i] == "?":
                steps.append(("?",))
                i += 1
            elif body[i] == "[":
                end = body.find("]", i + 2)
                if end < 0:
                    raise UsageError(f"ignore pattern {pattern!r}: an unclosed [")
                inner = body[i + 1:end]
                negated = inner.startswith("!")
                steps.append(("[", negated, inner[1:] if negated else inner))
                i = end + 1
            else:
                steps.append(("c", body[i]))
                i += 1
        return steps, folders_only

    @staticmethod
    def _in_class(text, c):
        i = 0
        while i < len(text):
            if i + 2 < len(text) and text[i + 1] == "-":
                if text[i] <= c <= text[i + 2]:
                    return True
                i += 3
            else:
                if text[i] == c:
                    return True
                i += 1
        return False

    @classmethod
    def _run(cls, steps, name):
        # A state is (step index, inside): `inside` marks a "**/" that has
        # consumed characters since its last "/" and may not end yet.
        def close(states):
            out, todo = set(), list(states)
            while todo:
                s = todo.pop()
                if s in out:
                    continue
                out.add(s)
                i, inside = s
                if i < len(steps) and not inside and steps[i][0] in ("*", "**", "**/"):
                    todo.append((i + 1, False))
            return out

        states = close({(0, False)})
        for c in name:
            nxt = set()
            for i, inside in states:
                if i >= len(steps):
                    continue
                kind = steps[i][0]
                if kind == "c":
                    if c == steps[i][1]:
                        nxt.add((i + 1, False))
                elif kind == "?":
                    if c != "/":
                        nxt.add((i + 1, False))
                elif kind == "[":
                    if c != "/" and cls._in_class(steps[i][2], c) != steps[i][1]:
                        nxt.add((i + 1, False))
                elif kind == "*":
                    if c != "/":
                        nxt.add((i, False))
                elif kind == "**":
                    nxt.add((i, False))
                else:  # "**/": a "/" ends a folder, and the pattern may go on
                    nxt.add((i, c != "/"))
            states = close(nxt)
            if not states:
                return False
        return any(i == len(steps) for i, _ in states)

    def matches(self, rel, is_folder=False):
        return any((is_folder or not folders_only) and self._run(steps, rel)
                   for steps, folders_only in self._compiled)

    def covers(self, rel):
        """Whether `rel` or a folder on its way is ignored."""
        parts = rel.split("/")
        return self.matches(rel) or any(self.matches("/".join(parts[:i]), True) for i in range(1, len(parts)))


# --- What each container says its members are, read natively -----------------

def _read(function, folder, rel):
    fd, _ = LocalFolder(folder).open(rel)
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
    checked before signing. A model of one GGUF file without split keys is
    no split model. Verifying needs no such check: a split out of place
    fails its hash."""
    if model.kind != "gguf" or model.pattern is None:
        return
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
                     "a .safetensors or .gguf file, or a folder holding one)")


def entries(names):
    """The candidate entry files among a folder's own names: indexes, first
    GGUF splits, ONNX graphs, and SafeTensors or GGUF files that are not
    shards or splits. More than one means more than one model."""
    out = []
    for n in sorted(names):
        m = SPLIT.match(n)
        if n.endswith((INDEX_SUFFIX, ".onnx")):
            out.append(n)
        elif m is not None:
            if m.group("ext") == "gguf" and m.group("no") == "00001":
                out.append(n)
        elif n.endswith((".safetensors", ".gguf")):
            out.append(n)
    return out


def choose_entry(where, names, signed=None):
    """The one entry among a folder's names, or the usage error saying why
    there is none. `signed(entry)`, when verifying: whether the model-level
    store beside `entry` lists it; that entry wins (a file planted beside a
    signed model is that model's extra file, not a second model)."""
    found = entries(names)
    if signed is not None and len(found) > 1:
        stored = [n for n in found if store_name(n) in names and signed(n)]
        found = stored if len(stored) == 1 else found
    if len(found) == 1:
        return found[0]
    if not found:
        raise UsageError(f"{where}: holds no model (no .safetensors, .gguf or .onnx file, nor an index)")
    shown = ", ".join(found[:8]) + (", ..." if len(found) > 8 else "")
    raise UsageError(f"{where}: holds more than one model ({shown}): give the entry file of the one to take "
                     "(or --entry NAME)")


def locate(path, entry=None, signed=None):
    """The model at `path`: a folder (its one entry file, or `entry`), an
    index file, a first split, an ONNX file or a single container.
    `signed`: as choose_entry's."""
    path = os.fspath(path)
    if os.path.isdir(path):
        if entry is None:
            entry = choose_entry(path, [n for n in os.listdir(path) if os.path.isfile(os.path.join(path, n))],
                                 signed)
        check_name(entry, "entry")
        return _from_entry(path, entry)
    if entry is not None:
        raise UsageError(f"{path}: an entry is chosen within a folder; give the folder, or the entry file alone")
    folder, name = os.path.split(path)
    return _from_entry(folder or ".", name)


def link_refusal(rel, target, kind=DATA, onnx=False):
    """Why a member reached through a link may not be followed, or None:
    only a Hugging Face cache's blob is, as its loaders follow snapshots'
    links; ONNX external data behind a link never is (onnx refuses it)."""
    if target is None:
        return None
    if onnx and kind == DATA:
        return f"{rel}: external data behind a link, which onnx and onnxruntime refuse to load"
    if not shared_blob(target):
        return (f"{rel}: a link (to {target}); links are followed only into a Hugging Face cache's blobs/: "
                "give the file itself")
    return None


def take_folder(model, extra_ignore=()):
    """The model widened to every file of its folder but the ignored ones."""
    model.ignore = Ignore(list(DEFAULT_IGNORE) + list(extra_ignore))
    own = {rel for rel, _ in model.members}
    kinds = dict(model.members)
    found = LocalFolder(model.folder).walk(model.ignore, {model.store_name})
    for rel, target in found:
        refusal = link_refusal(rel, target, kinds.get(rel, DATA), model.kind == "onnx" and rel in own)
        if refusal is not None:
            raise MemberError(refusal)
    model.others = [rel for rel, _ in found if rel not in own]
    return model


def shared_blob(path):
    """Whether `path` resolves into a Hugging Face cache's blobs/ folder,
    which every revision of the cache shares."""
    target = os.path.realpath(path)
    blobs = os.path.dirname(target)
    return os.path.basename(blobs) == "blobs" and os.path.isdir(os.path.join(os.path.dirname(blobs), "snapshots"))


def foreign_link(path):
    """Why `path` may not be written through, or None: a link on its way
    that another user placed in a folder others may write (a sticky /tmp
    among them), whatever the kernel's protected_symlinks says."""
    current = os.path.abspath(os.fspath(path))
    parts = [p for p in current.split("/") if p]
    resolved = "/"
    me = os.geteuid()
    for part in parts:
        candidate = os.path.join(resolved, part)
        try:
            st = os.lstat(candidate)
        except FileNotFoundError:
            return None
        if stat.S_ISLNK(st.st_mode):
            folder = os.stat(resolved)
            shared = folder.st_mode & (stat.S_IWOTH | stat.S_IWGRP) or folder.st_uid not in (me, 0)
            if shared and st.st_uid not in (me, folder.st_uid):
                if candidate == current:
                    return f"{os.fspath(path)}: a link another user placed in a shared folder; give the real path"
                return (f"{os.fspath(path)}: {candidate} on its way is a link another user placed in a shared "
                        "folder; give the real path")
            candidate = os.path.realpath(candidate)
        resolved = candidate
    return None


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


def external_refusal(path, external, what):
    """The refusal of a file operation that would bind only an ONNX graph
    whose tensor data lies in the files `external`."""
    shown = " (" + ", ".join(external[:3]) + (", ..." if len(external) > 3 else "") + ")" if external else ""
    return (f"{os.fspath(path)} keeps tensor data in external files{shown}: {what} would cover only the graph; "
            f"sign and verify the whole model with sign_model/verify_model (tarnwick sign/verify on the "
            f"folder or on this file)")


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
    return external_refusal(path, external, what) if external else None
