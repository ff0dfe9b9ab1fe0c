"""Many models verified or signed in one call, on this machine's threads or on
a Ray cluster; one row for every model given, in the order given.

A model is the unit of work: a file, or a model of many files (a folder, an
index, a first split) as verify_model and sign_model take it. On Ray, a
model of many files verified also spreads its files over the cluster, each
checked by a task of its own, its verdict assembled once by the model's
task. Each model's
failure is its row's verdict ("error", with the reason), never an exception
that stops the batch.

The "thread" engine runs `workers` models at once (os.cpu_count() by
default) in a pool of threads: the native hashing releases the interpreter
lock, so threads scale with the cores. The "ray" engine runs each model as a
Ray task on the cluster. Both yield rows as soon as every row before them is
out: a model that finishes early waits for the ones listed before it.

Why Ray tasks rather than Ray Data: the work is coarse (a model is seconds
to minutes of hashing, not a record of a data set), the rows must come back
in the caller's order with every input accounted for, and a model that
fails is a result to report, not a record to drop or an exception to end
the pipeline. Tasks give that directly: one task a model, ray.wait to
stream what finishes, Ray's own retries when a worker dies, and the
reason when it keeps dying."""

import collections
import concurrent.futures
import os
import sys
import time
import urllib.parse
from typing import Any, NamedTuple, Optional

from ._errors import UsageError

__all__ = ["Row", "ENGINES", "read_list", "verify", "sign"]

ENGINES = ("thread", "ray")
RAY_MISSING = "the ray engine needs Ray: pip install 'tarnwick[ray]'"


class Row(NamedTuple):
    """One model's outcome: its state ("trusted", "valid", "invalid",
    "unsigned", "unverified"; "signed" when signing; "error"), the result
    (a Verification, ModelVerification, SignResult or ModelSignResult; None
    for an error), the error's text, the seconds it took, the attempts it
    took (more than one when a Ray worker died under it), the bytes of the
    model, and whether the error was reading or writing a file."""
    model: str
    state: str
    result: Any
    error: Optional[str]
    seconds: float
    attempts: int
    size: int = 0
    io_error: bool = False


def read_list(text):
    """The models a list names: one a line, split at "\n" only (a name may
    hold any other character), a "\r" before it dropped, blank lines and
    lines starting with # skipped. Bytes are taken as UTF-8, a name that is
    not kept as it is (undecodable bytes as surrogates), its own row."""
    if isinstance(text, (bytes, bytearray)):
        text = bytes(text).decode("utf-8", "surrogateescape")
    out = []
    for line in text.split("\n"):
        if line.endswith("\r"):
            line = line[:-1]
        if line.strip(" \t") and not line.startswith("#"):
            out.append(line)
    return out


def resolve(entry):
    """A list's entry as every engine must see it: a relative path made
    absolute against the caller's working folder (a worker of a cluster runs
    in another one); URLs as they are."""
    entry = os.fspath(entry)
    if "://" in entry:
        return entry
    return os.path.abspath(entry)


# -- the work of one model, on whichever worker runs it ----------------------

def _local(entry):
    """The path an entry names: a path, or a file: URL. Only what the worker
    can open itself is read; nothing is downloaded (every byte written goes
    through the file functions, and a fetched model would be one)."""
    if "://" not in entry:
        return entry
    parts = urllib.parse.urlsplit(entry)
    if parts.scheme == "file" and parts.netloc in ("", "localhost"):
        return urllib.parse.unquote(parts.path)
    raise UsageError(f"{entry}: only local paths and file: URLs name a model here")


def _size(path, result):
    from . import _model
    members = getattr(result, "members", None)
    if members and hasattr(members[0], "size"):
        return sum(m.size for m in members)
    try:
        if not _model.is_model(path):
            return os.stat(path).st_size
        m = _model.locate(path)
        _model.take_folder(m)
        return sum(os.stat(m.path(rel)).st_size for rel, _ in m.files)
    except (OSError, ValueError):
        return 0


def _plain(result):
    """The result as tuples and lists only: it crosses to the driver without
    needing the SDK's or the native module's types there."""
    from ._results import ModelSignResult, ModelVerification, Verification
    if isinstance(result, ModelVerification):
        return ("model-verification", result.state, [tuple(m) for m in result.members],
                _plain(result.store_verification))
    if isinstance(result, Verification):
        fields = list(result)
        fields[10] = [tuple(i) for i in result.ingredients]
        fields[11] = None if result.binding is None else tuple(result.binding)
        return ("verification", fields)
    if isinstance(result, ModelSignResult):
        return ("model-signed", result.path, result.store_path, result.label, [tuple(m) for m in result.members])
    return ("signed", tuple(result))


def _unplain(plain):
    from . import _results
    from ._native import BindingCheck
    kind = plain[0]
    if kind == "model-verification":
        return _results.ModelVerification(plain[1], [_results.MemberVerification(*m) for m in plain[2]],
                                          _unplain(plain[3]))
    if kind == "verification":
        fields = list(plain[1])
        fields[10] = [_results.Ingredient(*i) for i in fields[10]]
        fields[11] = None if fields[11] is None else BindingCheck(tuple(fields[11]))
        return _results.Verification(*fields)
    if kind == "model-signed":
        return _results.ModelSignResult(plain[1], plain[2], plain[3], [_results.SignedMember(*m) for m in plain[4]])
    return _results.SignResult(*plain[1])


def _attempt():
    """Which run of its Ray task this is (1 for the first), when Ray says."""
    ray = sys.modules.get("ray")
    try:
        return ray._private.worker.global_worker.core_worker.get_current_task_attempt_number() + 1
    except Exception:  # noqa: BLE001 - not in a Ray task, or a Ray without it
        return 1


def _message(e):
    if isinstance(e, OSError) and e.filename is not None:
        return f"{e.filename}: {e.strerror or e}"
    return str(e) or type(e).__name__


def _work(kind, model, options):
    """One model verified or signed: a plain dict, whatever happened."""
    start = time.monotonic()
    try:
        from ._model import is_model
        path = _local(model)
        whole = is_model(path)
        if kind == "verify":
            if whole:
                from ._verify import verify_model_with
                result = verify_model_with(path, trust=options["policy"], ignore=options["ignore"],
                                           members_map=_members_on_ray(options))
            else:
                from ._verify import verify_file
                result = verify_file(path, trust=options["policy"], fetch=options["fetch"])
            state = result.state
        else:
            common = {k: options[k] for k in ("cert", "key", "alg", "definition", "tsa_url")}
            if whole:
                from ._sign import sign_model
                result = sign_model(path, ignore=options["ignore"], **common)
            else:
                from ._sign import sign_file
                result = sign_file(path, alone=options["alone"], **common)
            state = "signed"
        return {"model": model, "state": state, "result": _plain(result), "error": None,
                "seconds": time.monotonic() - start, "attempts": _attempt(), "size": _size(path, result),
                "io_error": False}
    except Exception as e:  # noqa: BLE001 - a model's failure is its row
        io = isinstance(e, OSError)
        return {"model": model, "state": "error", "result": None, "error": _message(e),
                "seconds": time.monotonic() - start, "attempts": _attempt(), "size": 0, "io_error": io}


def _members_on_ray(options):
    """On a Ray worker, a model's files checked as tasks of their own, so
    that a model of many shards is hashed by every node while its verdict
    is assembled once, here; None elsewhere (the model's own threads)."""
    retries = options.get("ray_members")
    if retries is None:
        return None

    def spread(function, items):
        import ray
        if len(items) < 2:
            return [function(*item) for item in items]
        remote = ray.remote(max_retries=retries, retry_exceptions=False)(function)
        return ray.get([remote.remote(*item) for item in items])
    return spread


def _row(d):
    return Row(d["model"], d["state"], None if d["result"] is None else _unplain(d["result"]), d["error"],
               d["seconds"], d["attempts"], d["size"], d["io_error"])


# -- the engines ---------------------------------------------------------------

def _threads(kind, models, options, workers, task):
    workers = workers or os.cpu_count() or 1
    # A bounded window: a list of 10,000 models holds a few futures, not all.
    window = max(2 * workers, 16)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="tarnwick-batch")
    pending = collections.deque()
    entries = iter(models)

    def fill():
        while len(pending) < window:
            model = next(entries, None)
            if model is None:
                return
            pending.append(pool.submit(task, kind, model, options))

    try:
        fill()
        while pending:
            try:
                d = pending[0].result()
            except BaseException:
                # Stopped while waiting: what already finished, in order, then the stop.
                finished = []
                while pending and pending[0].done() and not pending[0].cancelled():
                    finished.append(_row(pending.popleft().result()))
                for f in pending:
                    f.cancel()
                yield from finished
                raise
            pending.popleft()
            fill()
            yield _row(d)
    finally:
        for f in pending:
            f.cancel()
        pool.shutdown(wait=not pending)


def _failed(model, e, attempts):
    reason = str(e).strip().splitlines()
    reason = reason[0] if reason else ""
    return {"model": model, "state": "error", "result": None, "error": f"{type(e).__name__}: {reason}".rstrip(": "),
            "seconds": 0.0, "attempts": attempts, "size": 0, "io_error": False}


def _unwrapped(call, *args, **kwargs):
    """Ray's compiled calls hand a stop raised under them (Ctrl-C, the
    command's own signals) back as a SystemError; the stop is what it is."""
    try:
        return call(*args, **kwargs)
    except SystemError as e:
        cause = e.__cause__ or e.__context__
        if cause is not None and not isinstance(cause, Exception):
            raise cause from None
        raise


def _ray(kind, models, options, workers, address, retries, task):
    try:
        import ray
    except ImportError:
        raise UsageError(RAY_MISSING) from None
    started = False
    if not ray.is_initialized():
        import logging
        extra = {} if address else {"include_dashboard": False}
        ray.init(address=address, logging_level=logging.WARNING, **extra)
        started = True
    try:
        remote = ray.remote(max_retries=retries, retry_exceptions=False)(task)
        options = dict(options, ray_members=retries)
        if not workers:
            workers = int(ray.cluster_resources().get("CPU", 1))
        # Twice the slots, so that the next model is queued when one ends;
        # rows held back behind a slow model are bounded too.
        window, held = max(2 * workers, 2), 8 * workers + 64
        entries = iter(enumerate(models))
        pending, ready, models_of, starts = {}, {}, {}, {}
        nxt = 0
        exhausted = False
        try:
            while True:
                while not exhausted and len(pending) < window and len(ready) < held:
                    item = next(entries, None)
                    if item is None:
                        exhausted = True
                        break
                    i, model = item
                    ref = remote.remote(kind, model, options)
                    pending[ref], models_of[i], starts[i] = i, model, time.monotonic()
                while nxt in ready:
                    yield _row(ready.pop(nxt))
                    nxt += 1
                if not pending:
                    if exhausted and not ready:
                        return
                    continue
                # A timeout, so that a stop is seen while nothing finishes.
                done, _ = _unwrapped(ray.wait, list(pending), num_returns=1, timeout=0.5)
                for ref in done:
                    i = pending.pop(ref)
                    try:
                        ready[i] = _unwrapped(ray.get, ref)
                    except ray.exceptions.RayError as e:
                        # Retried `retries` times already: the reason is the row.
                        ready[i] = _failed(models_of[i], e, retries + 1)
                        ready[i]["seconds"] = time.monotonic() - starts[i]
                    del models_of[i], starts[i]
        except BaseException:
            for ref in pending:
                ray.cancel(ref)
            pending.clear()
            finished = []
            while nxt in ready:
                finished.append(_row(ready.pop(nxt)))
                nxt += 1
            yield from finished
            raise
        finally:
            for ref in pending:
                ray.cancel(ref)
    finally:
        if started:
            ray.shutdown()


def _engine(engine):
    if engine not in ENGINES:
        raise UsageError(f"unknown engine {engine!r}: one of {', '.join(ENGINES)}")
    if engine == "ray":
        try:
            import ray  # noqa: F401
        except ImportError:
            raise UsageError(RAY_MISSING) from None


def _run(kind, models, options, engine, workers, address, retries, task=None):
    """The rows of `models`: the generator behind verify and sign; `task`
    replaces the work of one model (a test's fault)."""
    _engine(engine)
    if workers is not None and workers < 1:
        raise UsageError(f"workers must be at least 1, not {workers}")
    if retries < 0:
        raise UsageError(f"retries must be at least 0, not {retries}")
    given = [os.fspath(m) for m in models]
    task = task or _work
    resolved = [resolve(m) for m in given]
    if engine == "ray":
        rows = _ray(kind, resolved, options, workers, address, retries, task)
    else:
        rows = _threads(kind, resolved, options, workers, task)
    return _as_given(given, rows)


def _as_given(given, rows):
    """The rows, each naming its model as the caller gave it (rows come in
    the list's order, one a model)."""
    for name, row in zip(given, rows):
        yield row._replace(model=name)


def verify(models, *, trust=None, fetch=False, signer=None, signer_key=None, ignore=(), engine="thread",
           workers=None, address=None, retries=2):
    """Verify many models; yields a Row for each, in the order given.

    Each model is what verify_file (a file) or verify_model (a model of many
    files) takes; `trust`, `fetch`, `signer`, `signer_key` and `ignore` are
    theirs (`fetch` for files, `ignore` for models of many files). Paths
    (and file: URLs) must be readable where the work runs.

    engine="thread": `workers` models at once (os.cpu_count() by default).
    engine="ray": a Ray task for each model, `workers` in flight (twice the
    cluster's CPUs by default). If Ray is not initialised yet, this calls
    ray.init(address=address) (a new local cluster when address is None)
    and ray.shutdown() once the rows are out; call ray.init yourself to keep
    a cluster across batches. `retries`: how often Ray runs a model again
    whose worker died; one that keeps dying is an "error" row naming why.

    Arguments are checked when this is called; the work starts with the
    first row asked for. Stopping (KeyboardInterrupt) cancels the work not
    yet done; rows that had finished still come out before it is raised."""
    from . import _model, _verify
    # Parsed once, before any model: a malformed option is the call's error.
    policy = _verify.options(trust, signer, signer_key)
    _model.Ignore(ignore)
    options = {"policy": policy, "fetch": bool(fetch), "ignore": list(ignore)}
    return _run("verify", models, options, engine, workers, address, retries)


def sign(models, *, cert, key, alg=None, definition=None, tsa_url=None, ignore=(), alone=False,
         engine="thread", workers=None, address=None, retries=2):
    """Sign many models in place; yields a Row for each ("signed" or
    "error"), in the order given. Each model is what sign_file or sign_model
    takes; `cert` and `key` (PEM: a path, bytes or text, read once here),
    `alg`, `definition`, `tsa_url` are theirs, `ignore` sign_model's and
    `alone` sign_file's. The engines, `workers`, `address` and `retries`
    are as for verify; a model whose worker died is signed again from the
    start (what a signing left unfinished is never committed)."""
    from ._keys import SigningKey
    from ._manifest import ALGS, pem_bytes
    key = key if isinstance(key, SigningKey) else pem_bytes(key, "key")
    options = {"cert": pem_bytes(cert, "cert"), "key": key, "alg": alg,
               "definition": definition, "tsa_url": tsa_url, "ignore": list(ignore), "alone": bool(alone)}
    if alg is not None and alg not in ALGS:
        raise UsageError(f"unknown signing algorithm {alg!r}: one of {', '.join(ALGS)}")
    return _run("sign", models, options, engine, workers, address, retries)
