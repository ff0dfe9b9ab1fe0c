"""open_verified: a model loaded exactly as it was verified.

Every file of the model is read once, into anonymous memory sealed against
any change (a memfd with F_SEAL_WRITE, F_SEAL_GROW, F_SEAL_SHRINK and
F_SEAL_SEAL: not even its owner can write to it afterwards). The verdict is
taken from those copies alone, and the loaders are handed the same copies:
a private folder (mode 0700) holds one link per file, under the model's own
names, to /proc/PID/fd/N of its copy. Whatever happens to the model's files
after they were read, or between the verdict and the load, the loader reads
the bytes that were judged.

A file that the verdict does not cover (one the signer or the caller chose
to ignore) is dropped before the folder is handed over: a loader finds only
what was verified there.

A loader that resolves a path to its real name (onnxruntime does, for
external data) sees /memfd:NAME (deleted), which is no file: such a loader
is given the bytes themselves, through VerifiedModel.onnx_session."""

import argparse
import base64
import concurrent.futures
import errno
import mmap
import os
import resource
import select
import shutil
import stat
import sys
import tempfile
import time
import warnings
import weakref

from . import _listing, _model, _native, _source, _verify
from ._errors import ModelError, UntrustedModel, UsageError
from ._results import ModelVerification

# ONNX graphs are protocol buffers, which cannot exceed 2 GiB.
GRAPH_LIMIT = 2 << 30
# Descriptors kept free for the loaders beside the sealed copies.
SPARE_DESCRIPTORS = 256


# --- The sealed copies, as a source of files to verify ------------------------

class _Copy:
    """One file's sealed copy: its descriptor, size, and what the copy
    hashed on its way in: the SHA-256 of the whole file, or of a container
    without its store (`data_digest`, with `store_range`), each None when
    not taken."""

    __slots__ = ("fd", "size", "sha256", "data_digest", "store_range")

    def __init__(self, fd, size, sha256, data_digest=None, store_range=None):
        self.fd, self.size, self.sha256 = fd, size, sha256
        self.data_digest, self.store_range = data_digest, store_range

    def exclusions(self):
        """The exclusions data_digest was taken without, or None."""
        if self.data_digest is None:
            return None
        return [] if self.store_range is None else [tuple(self.store_range)]


class SealedFile(_source.File):
    """A File of a SealedFolder: one sealed copy, read through the native
    functions under its member's own name."""

    def __init__(self, rel, copy):
        self.rel = rel
        self._copy = copy
        self._path = _source.fd_path(copy.fd)

    def size(self):
        return self._copy.size

    def inspect(self):
        """(ModelInfo, the embedded store or None, external data locations)."""
        with _source.naming(self._path, self.rel):
            info = _native.inspect(self._path)
            store = None
            if info.store_size is not None and info.store_size <= _verify.STORE_LIMIT:
                store = _native.read_file(self._path)
            external = _native._onnx_external(self._path, name=self.rel) if info.format == "ONNX" else []
        return info, store, external

    def check(self, assertion, tick=None):
        """(hash_ok, store_range or False): whether the data hash that
        `assertion` (a c2pa.hash.data) declares is this copy's, and where
        its store lies; False when it cannot be computed. Exclusions that
        are exactly those the copy hashed without are answered from its
        digest; any others by check_binding, which reads the copy again."""
        if assertion.get("alg", "sha256") != "sha256":
            return False, False
        try:
            declared = assertion.get("hash")
            if isinstance(declared, str):
                declared = base64.b64decode(declared)
            exclusions = [(e["start"], e["length"]) for e in assertion.get("exclusions") or []]
            declared = bytes(declared)
            if (exclusions == self._copy.exclusions()
                    and all(type(v) is int for pair in exclusions for v in pair)):
                return declared == self._copy.data_digest, self._copy.store_range
            check = _native.check_binding(self._path, exclusions, declared, progress=tick)
        except (ValueError, TypeError, KeyError, OSError):
            return False, False
        return check.hash_ok, check.store_range

    def digest(self, tick=None):
        """(size, SHA-256) of the whole copy, computed once."""
        if self._copy.sha256 is None:
            with _source.naming(self._path, self.rel):
                _, self._copy.sha256 = _native._hash_file(self._path, name=self.rel, progress=tick)
        return self._copy.size, self._copy.sha256

    def read_all(self, limit):
        """The copy's bytes; refused past `limit` bytes."""
        if self._copy.size > limit:
            raise ModelError(f"{self.rel}: {self._copy.size} bytes, more than the {limit} bytes tarnwick reads")
        return _read_whole(self._copy.fd, self._copy.size)

    def close(self):
        """The copy stays with its folder: nothing to release here."""


class SealedFolder(_source.Source):
    """A Source over sealed copies: `name` is the model as the caller named
    it, every relative path one copy."""

    can_list = True

    def __init__(self, name, copies):
        self.name = name
        self._copies = copies

    def isdir(self, rel=""):
        if not rel:
            return True
        prefix = rel.rstrip("/") + "/"
        return any(r.startswith(prefix) for r in self._copies)

    def list(self):
        return sorted(self._copies)

    def file(self, rel, size=None):
        copy = self._copies.get(rel)
        if copy is None:
            raise _source.NotFound(f"{rel}: {os.strerror(errno.ENOENT)}")
        return SealedFile(rel, copy)


def _read_whole(fd, size):
    pieces, at = [], 0
    while at < size:
        piece = os.pread(fd, min(size - at, 1 << 30), at)
        if not piece:
            raise OSError(errno.EIO, "a sealed copy ended early")
        pieces.append(piece)
        at += len(piece)
    return b"".join(pieces)


# --- The verdict ----------------------------------------------------------------

def _judge(source, root, entry, many, *, opts, ignore):
    """The verdict on the model whose sealed copies `source` holds, linked
    under the folder `root`: verify_model's for a model of many files
    (`entry`, its entry file, or None to find it in the folder), else
    verify_file's on `entry`; the same pipeline, over the sealed copies
    only."""
    if many:
        if entry is None:
            entry = _model.choose_entry(root, [rel for rel in source.list() if "/" not in rel])
        store = entry if entry.endswith(".c2pa") else _model.store_name(entry)
        try:
            return _verify.verify_at(source, store, opts, ignore)
        except _source.NotFound:
            return ModelVerification("unsigned", [], _verify.empty("unsigned", None))
    with source.file(entry) as f:
        return _verify.check_container(f, opts, alone=entry)


def _accepted(verdict):
    """Trusted only. A signer_key pin does not stand in for an anchor: the
    SDK reports the signer's names, serial number and validity, never its
    key, and anyone can make a certificate that repeats those."""
    return verdict.state == "trusted"


def _refusal(shown, verdict):
    """The reason a model is not opened, on one line, naming it once."""
    why = f"{shown}: {verdict.state}, not trusted"
    if verdict.state == "valid":
        return f"{why}: no trust anchor given covers its signer"
    members = getattr(verdict, "members", None)
    failures = list(verdict.failures) if members is None else list(verdict.store_verification.failures)
    # The model's own signature first (who signed), then the first file that failed.
    signer = [f for f in failures if f[0].startswith("tarnwick.signer.")]
    if signer:
        return f"{why}: {signer[0][0]}: {signer[0][1]}"
    for m in members or []:
        if m.state not in ("trusted", "valid") and m.failures:
            return f"{why}: {m.path} is {m.state} ({m.failures[0][0]}: {m.failures[0][1]})"
    if failures:
        return f"{why}: {failures[0][0]}: {failures[0][1]}"
    return why


# --- Where the copies are linked ---------------------------------------------

def _private_base():
    """A folder only this user can enter, on memory where there is one."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        try:
            st = os.stat(runtime)
            if stat.S_ISDIR(st.st_mode) and st.st_uid == os.geteuid() and not st.st_mode & 0o077:
                return runtime
        except OSError:
            pass
    return tempfile.gettempdir()


def _release(folder, copies, owner):
    """Closes every copy; the folder goes too, in the process that made it
    only (a forked child leaves its parent's folder alone)."""
    for copy in list(copies.values()):
        try:
            os.close(copy.fd)
        except OSError:
            pass
    copies.clear()
    if folder is not None and os.getpid() == owner:
        shutil.rmtree(folder, ignore_errors=True)


def _room_for(count, total, shown):
    """Refuses a model that would not fit in memory or in the descriptors
    this process may hold, before any of it is copied."""
    room = _native._memory_room()
    if room is not None and total > room:
        raise OSError(errno.ENOMEM, f"sealed copies of its {total} bytes need more memory than the {room} bytes "
                      "available", shown)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = count + SPARE_DESCRIPTORS
    if soft != resource.RLIM_INFINITY and need > soft:
        raised = need if hard == resource.RLIM_INFINITY else min(need, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
        except (ValueError, OSError):
            raised = soft
        if need > raised:
            raise OSError(errno.EMFILE, f"its {count} files need more descriptors than the {raised} this process "
                          "may hold", shown)


def _seal_all(folder, rels, copies, workers):
    """Seals each of `rels` (files of `folder`) into `copies`, on threads:
    the copies are made without the interpreter lock, each hashed in the
    same pass for the verdict: a SafeTensors or GGUF file without its store
    (its binding), any other whole, except an ONNX graph, whose store lies
    anywhere in it (its binding is checked from the copy, when asked)."""
    def one(rel):
        fd, _ = _source.LocalFolder(folder).open(rel)
        try:
            copy = _native._seal_copy(fd, name=rel, hash=not rel.endswith(".onnx"), bind=True)
        finally:
            os.close(fd)
        return rel, _Copy(*copy)

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, min(workers, len(rels) or 1))) as pool:
        futures = [pool.submit(one, rel) for rel in rels]
        failed = None
        for f in futures:
            try:
                rel, copy = f.result()
                copies[rel] = copy  # owned from here on, whatever fails next
            except BaseException as e:  # noqa: BLE001 - the first failure is raised once all are in
                failed = failed or e
                for other in futures:
                    other.cancel()
        if failed is not None:
            raise failed


def _link(root, rel, copy):
    where = os.path.join(root, rel)
    parent = os.path.dirname(where)
    if parent != root:
        os.makedirs(parent, mode=0o700, exist_ok=True)
    os.symlink(f"/proc/{os.getpid()}/fd/{copy.fd}", where)


def _sizes(folder, rels):
    total = 0
    for rel in rels:
        total += os.stat(os.path.join(folder, rel)).st_size
    return total


class VerifiedModel:
    """A model opened from sealed copies of its files, its verdict trusted.

    `path`: a private folder holding every verified file under the model's
    own names; `entry`: the model's entry file in it (the one file, an
    index, a first split or an ONNX graph); `verification`: the verdict
    (a Verification, or a ModelVerification for a model of many files);
    `files`: relative path -> size. Closing (also at the end of a `with`,
    when the object is collected, or at exit) frees the copies and removes
    the folder."""

    def __init__(self, path, entry, verification, copies, owner):
        self.path = path
        self.entry = os.path.join(path, entry)
        self.verification = verification
        self.files = {rel: copies[rel].size for rel in sorted(copies)}
        self._copies = copies
        self._finalizer = weakref.finalize(self, _release, path, copies, owner)

    @property
    def closed(self):
        return not self._finalizer.alive

    def close(self):
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else f"{len(self.files)} files at {self.path!r}"
        return f"<tarnwick.VerifiedModel {self.verification.state}, {state}>"

    def _open_copy(self, rel):
        if self.closed:
            raise UsageError("the verified model is closed")
        copy = self._copies.get(rel)
        if copy is None:
            raise ModelError(f"{rel}: not a verified file of this model")
        return copy

    def onnx_session(self, graph=None, **kwargs):
        """An onnxruntime.InferenceSession of the verified ONNX graph
        (`graph`, its relative path; by default the model's entry), built
        from the sealed bytes: the graph, and every external data file it
        names given to onnxruntime in memory, so that it opens no file.
        Other keyword arguments go to InferenceSession; a `sess_options`
        given is added the external data. The session keeps the memory it
        reads from, even once the model is closed."""
        import onnxruntime

        rel = graph if graph is not None else os.path.relpath(self.entry, self.path)
        copy = self._open_copy(rel)
        if not rel.endswith(".onnx"):
            raise UsageError(f"{rel}: not an ONNX graph")
        if copy.size > GRAPH_LIMIT:
            raise ModelError(f"{rel}: a graph of {copy.size} bytes is larger than an ONNX graph can be")
        path = _source.fd_path(copy.fd)
        with _source.naming(path, rel):
            locations = _native._onnx_external(path, name=rel)
        base = rel[: len(rel) - len(os.path.basename(rel))]
        buffers, sizes = [], []
        for location in locations:
            data = self._open_copy(base + _source.check_name(location, f"{rel}: external data location"))
            # Mapped read-only from the sealed copy: no copy, and no change.
            buffers.append(mmap.mmap(data.fd, data.size, prot=mmap.PROT_READ) if data.size else b"")
            sizes.append(data.size)
        options = kwargs.pop("sess_options", None) or onnxruntime.SessionOptions()
        if locations:
            options.add_external_initializers_from_files_in_memory(list(locations), buffers, sizes)
        session = onnxruntime.InferenceSession(_read_whole(copy.fd, copy.size), sess_options=options, **kwargs)
        session._tarnwick_buffers = buffers
        return session


def _locate(model):
    """(folder, name or None, shown): a folder, or a file in its folder."""
    path = os.fspath(model)
    if "://" in path:
        raise UsageError(f"{path}: open_verified takes a model on this machine")
    if os.path.isdir(path):
        return path, None, path
    folder, name = os.path.split(path)
    if not name:
        raise UsageError(f"{path}: not a model file or folder")
    return folder or ".", name, path


def open_verified(model, *, trust=None, signer=None, signer_key=None, ignore=(), alone=False):
    """Open a model from sealed copies of its files, verified from those
    copies; raise UntrustedModel (and keep nothing) unless trusted.

    `model`: a folder, or a model file (one file, an index, a first split,
    an ONNX graph). `trust`: trust anchors (PEM: a path, bytes or text);
    `signer_key`: the signer's certificate, pinned; one of the two is
    required, and the verdict must be trusted either way (a pin alone
    opens only what anchors the SDK itself holds cover). `signer`,
    `ignore`: as verify_model's. `alone`: open a file that a model signed as a whole
    lists on its own manifest (else refused: open the model instead)."""
    if trust is None and signer_key is None:
        raise UsageError("open_verified needs trust (anchors) or signer_key (the signer's certificate): "
                         "without either no model can be trusted")
    # Options that cannot be used are the call's error, before anything is copied.
    opts = _verify.options(trust, signer, signer_key)
    if _source.is_url(model):
        return _open_url(model, opts, ignore)
    folder, name, shown = _locate(model)
    owner = os.getpid()
    copies = {}
    root = None
    try:
        root = tempfile.mkdtemp(prefix="tarnwick-open-", dir=_private_base())
        workers = os.cpu_count() or 1
        many = name is None
        if name is not None:
            _room_for(1, _sizes(folder, [name]), shown)
            _seal_all(folder, [name], copies, 1)
            _link(root, name, copies[name])
            # Whether it is one file or the entry of many is read from its copy.
            many = _model.is_model(os.path.join(root, name))
            if not many and not alone:
                signed_in = _listing.signed_model_of(os.path.join(folder, name))
                store = None if signed_in is None else signed_in[0]
                if store is not None:
                    raise UsageError(f"{shown}: a file of the model signed as a whole by {store}: open that "
                                     "model (its folder), or say alone=True to open this file on its own manifest")
        if many:
            rels = [rel for rel, _ in _source.LocalFolder(folder).walk(_model.Ignore(list(_model.DEFAULT_IGNORE)))
                    if rel not in copies]
            _room_for(len(rels) + len(copies), _sizes(folder, rels), shown)
            _seal_all(folder, rels, copies, workers)
            for rel in rels:
                _link(root, rel, copies[rel])
        return _verified(shown, root, name, many, copies, owner, opts, ignore)
    except BaseException:
        _release(root, copies, owner)
        raise


def _verified(shown, root, name, many, copies, owner, opts, ignore):
    """The verdict on the sealed copies; the model opened when trusted,
    holding only the files the verdict covers."""
    source = SealedFolder(shown, copies)
    verdict = _judge(source, root, name, many, opts=opts, ignore=ignore)
    if not _accepted(verdict):
        raise UntrustedModel(_refusal(shown, verdict), verdict)
    entry = name
    if many:
        located = _model.locate(os.path.join(root, name) if name and not name.endswith(".c2pa") else root)
        entry = located.entry
        kept = {m.path for m in verdict.members} | {located.store_name}
    else:
        kept = {name}
    for rel in [rel for rel in copies if rel not in kept]:
        os.unlink(os.path.join(root, rel))
        os.close(copies.pop(rel).fd)
    _prune_empty(root)
    return VerifiedModel(root, entry, verdict, copies, owner)


def _open_url(url, opts, ignore):
    """open_verified of a model at a URL: each file downloaded once into a
    sealed copy, hashed as it arrives, nothing written to disk. Which files
    comes from the signed listing (not yet believed: the verdict, from the
    copies, decides), and for an fsspec folder from its listing too."""
    from . import _sdk
    many = _verify.is_model(url)
    source, store_name, _ = _verify.locate(url)
    name = _source.open_source(url)[1] or None
    owner = os.getpid()
    copies = {}
    root = None
    try:
        root = tempfile.mkdtemp(prefix="tarnwick-open-", dir=_private_base())
        wanted = [(name, None)] if not many else [(store_name, None)]
        room = [0]

        def fetch(rel, signed):
            try:
                with source.file(rel, size=signed) as f:
                    size = f.size()
                    if signed is not None and size != signed:
                        return  # not the file signed: the verdict names it
                    room[0] += size
                    _room_for(len(copies) + 1, room[0], url)
                    writer = _native._SealWriter(size, name=rel)
                    try:
                        f.download(writer.write)
                        fd, size, sha256 = writer.seal()
                    finally:
                        writer.close()
            except _source.NotFound:
                return  # missing: the verdict names it
            copies[rel] = _Copy(fd, size, sha256)
            _link(root, rel, copies[rel])

        for rel, signed in wanted:
            fetch(rel, signed)
        if many and store_name in copies:
            store = _read_whole(copies[store_name].fd, copies[store_name].size)
            listing = _listing.read(_sdk.load("verify"), store)
            names = [] if listing is None else [
                (e["uri"], e.get("size") if isinstance(e.get("size"), int) else None) for e in listing.entries]
            if source.can_list:
                rules = _model.Ignore(list(_model.DEFAULT_IGNORE))
                listed = {rel for rel, _ in names} | {store_name}
                names += [(rel, None) for rel in source.list() if rel not in listed and not rules.covers(rel)]
            for rel, signed in names:
                try:
                    _source.check_name(rel)
                except ModelError:
                    continue  # refused by the verdict, never fetched
                fetch(rel, signed)
        return _verified(url, root, store_name if many and name is None else name, many, copies, owner, opts,
                         ignore)
    except BaseException:
        _release(root, copies, owner)
        raise


def _prune_empty(root):
    """Folders left empty once the unverified files are gone."""
    for here, subdirs, files in os.walk(root, topdown=False):
        if here != root and not subdirs and not files:
            try:
                os.rmdir(here)
            except OSError:
                pass


# --- tarnwick exec ------------------------------------------------------------

USAGE_LINE = ("tarnwick exec (--trust ANCHORS.pem | --signer-key CERT.pem) [--signer ...] [--ignore PATTERN]... "
              "[--alone] MODEL -- COMMAND [ARGS...]")


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        sys.stderr.write(f"{self.prog}: {message}\n")
        raise _Usage()


class _Usage(Exception):
    pass


def _exec_parser():
    p = _Parser(prog="tarnwick exec", usage=USAGE_LINE, description=(
        "Verify a model from sealed in-memory copies of its files and, only if it is trusted, run COMMAND "
        "on those very copies: every {} in ARGS becomes a private folder holding the verified files under "
        "their own names. Exit 1 without running COMMAND when the model is not trusted."))
    p.add_argument("model", metavar="MODEL")
    p.add_argument("--trust", metavar="ANCHORS.pem", help="trust anchors (PEM)")
    p.add_argument("--signer", metavar='"ATTR=value, ..."', help="the signer's certificate subject must hold these")
    p.add_argument("--signer-key", metavar="CERT.pem", help="the signer's certificate, pinned")
    p.add_argument("--ignore", action="append", default=[], metavar="PATTERN",
                   help="files matching PATTERN may be present unsigned; they are left out of the folder")
    p.add_argument("--alone", action="store_true", help="a file that a model signed as a whole lists, on its own")
    return p


def _start_cleaner(folder):
    """A process of its own session that removes `folder` once this process
    (by then COMMAND) has ended; True once it watches. The child runs no
    code but system calls and the removal, so the threads a library left
    running here (which fork does not copy) cannot hold anything it needs."""
    pid = os.getpid()
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            started = f.read().rsplit(b")", 1)[1].split()[19]
    except (OSError, IndexError):
        started = None
    r, w = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        child = os.fork()
    if child == 0:
        try:
            os.setsid()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                grandchild = os.fork()
            if grandchild == 0:
                try:
                    null = os.open(os.devnull, os.O_RDWR)
                    for target in (0, 1, 2):
                        os.dup2(null, target)
                    # The copies' memory goes with COMMAND, not with this.
                    for fd in [int(n) for n in os.listdir("/proc/self/fd")]:
                        if fd > 2 and fd != w:
                            try:
                                os.close(fd)
                            except OSError:
                                pass
                    try:
                        watch = os.pidfd_open(pid)
                    except (AttributeError, OSError):
                        watch = None
                    os.write(w, b"1")
                    os.close(w)
                    if watch is not None:
                        select.select([watch], [], [])
                    else:
                        while True:
                            try:
                                with open(f"/proc/{pid}/stat", "rb") as f:
                                    if f.read().rsplit(b")", 1)[1].split()[19] != started:
                                        break
                            except (OSError, IndexError):
                                break
                            time.sleep(1)
                    shutil.rmtree(folder, ignore_errors=True)
                finally:
                    os._exit(0)
        finally:
            os._exit(0)
    os.close(w)
    try:
        os.waitpid(child, 0)
        return os.read(r, 1) == b"1"
    finally:
        os.close(r)


def run_exec(argv):
    """`tarnwick exec`: 0 never (COMMAND takes the process's place), 1 the
    model is not trusted, 2 a usage error, 4 a file could not be read, 126
    or 127 COMMAND could not be run."""
    argv = list(argv)
    if "--" not in argv:
        head, tail = argv, []
    else:
        cut = argv.index("--")
        head, tail = argv[:cut], argv[cut + 1:]
    parser = _exec_parser()
    try:
        a = parser.parse_args(head)
        if not tail:
            parser.error("the following arguments are required: -- COMMAND")
        if a.trust is None and a.signer_key is None:
            parser.error("--trust or --signer-key is required")
    except _Usage:
        return 2
    try:
        m = open_verified(a.model, trust=a.trust, signer=a.signer, signer_key=a.signer_key, ignore=a.ignore,
                          alone=a.alone)
    except UntrustedModel as e:
        print(f"tarnwick exec: {e}", file=sys.stderr)
        return 1
    except UsageError as e:
        print(f"tarnwick exec: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        print(f"tarnwick exec: {where}{e.strerror or e}", file=sys.stderr)
        return 4
    except ValueError as e:
        print(f"tarnwick exec: {e}", file=sys.stderr)
        return 1
    args = [arg.replace("{}", m.path) for arg in tail[1:]]
    try:
        if not _start_cleaner(m.path):
            print(f"tarnwick exec: cannot watch for {tail[0]} to end, to remove {m.path} then", file=sys.stderr)
            return 4
        for copy in m._copies.values():
            os.set_inheritable(copy.fd, True)
        sys.stdout.flush()
        sys.stderr.flush()
        os.execvp(tail[0], [tail[0]] + args)
    except OSError as e:
        print(f"tarnwick exec: {tail[0]}: {e.strerror or e}", file=sys.stderr)
        return 127 if e.errno == errno.ENOENT else 126
    finally:
        m.close()
