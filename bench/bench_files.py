"""Benchmarks of the file functions and the command line against the
machine's own limits: cp, the kernel's copy of the same bytes to the same
places (copy_file_range), hashlib, and one thread against two.

    python bench/bench_files.py            # 1 GiB, 4 GiB, 256 MiB threads; writes bench/results_files.md
    python bench/bench_files.py --short    # small sizes, under a minute (CI: keeps it from rotting)
    python bench/bench_files.py --runs 7 --tmp /path/on/ext4 --out results.md

Every figure is a ratio of times measured in turns in the same run (so the
noise of a shared machine falls on both sides alike), with min and median
over --runs runs. The models are written with random tensor data and synced
before any timing, so they sit clean in the page cache; outputs are removed
between runs, outside the timings. Memory is measured in a fresh process.
The module is the one on the path (PYTHONPATH=build/rel for a local build);
the command-line tool is $TARNWICK_CLI, else the one installed beside the
interpreter or on PATH.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import pathlib
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

import tarnwick

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from gguf_files import gguf_file, kv, store_kv, tensor, uri_kv, v_str, v_u32  # noqa: E402
from protowire import field_bytes, field_varint, key, varint  # noqa: E402

MIB = 1 << 20
GIB = 1 << 30
URI = "https://example.com/manifests/model.c2pa"
STORE = os.urandom(16 * 1024)
RESERVE = 20_000  # about the size of a signed C2PA store with a certificate chain
I8 = 24  # GGML type of one-byte tensor elements

# ----------------------------------------------------------------------------
# Models: a small head and random tensor data. Each maker writes the file and
# returns (offset of the tensor data, its length).


def _fill(f, n: int) -> None:
    block = os.urandom(16 * MIB)
    while n:
        k = min(n, len(block))
        f.write(block[:k])
        n -= k


def gguf_head(n: int, kvs=()) -> bytes:
    kvs = [kv("general.architecture", v_str("llama")), kv("general.alignment", v_u32(32)), *kvs]
    return gguf_file(kvs=kvs, tensors=[tensor("weight", [n], I8, 0)], alignment=32)


def write_gguf(path: str, size: int, *, kvs=(), sparse=False) -> tuple[int, int]:
    n = size - len(gguf_head(0, kvs))
    head = gguf_head(n, kvs)
    with open(path, "wb") as f:
        f.write(head)
        if sparse:
            f.truncate(len(head) + n)
        else:
            _fill(f, n)
    return len(head), n


def write_safetensors(path: str, size: int) -> tuple[int, int]:
    def header(n):
        h = json.dumps({"__metadata__": {"format": "pt"},
                        "weight": {"dtype": "U8", "shape": [n], "data_offsets": [0, n]}},
                       separators=(",", ":")).encode()
        return h + b" " * (-len(h) % 8)
    n = size - 8 - len(header(size))
    h = header(n)
    with open(path, "wb") as f:
        f.write(struct.pack("<Q", len(h)) + h)
        _fill(f, n)
    return 8 + len(h), n


def write_onnx(path: str, size: int) -> tuple[int, int]:
    # ModelProto: ir_version, producer, a graph with one UINT8 initializer
    # whose raw_data is the tensor data, then the opset. A store is appended
    # after it, so the whole file is copied in place.
    n = size - 64
    tensor_head = field_varint(1, n) + field_varint(2, 2) + field_bytes(8, b"weight") + key(9, 2) + varint(n)
    init_len = len(tensor_head) + n
    graph_head = field_bytes(2, b"main") + key(5, 2) + varint(init_len)
    graph_len = len(graph_head) + init_len
    head = field_varint(1, 8) + field_bytes(2, b"bench") + key(7, 2) + varint(graph_len) + graph_head + tensor_head
    tail = field_bytes(8, field_bytes(1, b"") + field_varint(2, 17))
    with open(path, "wb") as f:
        f.write(head)
        _fill(f, n)
        f.write(tail)
    return 0, os.path.getsize(path)


MAKERS = {"GGUF": (write_gguf, ".gguf"), "SafeTensors": (write_safetensors, ".safetensors"),
          "ONNX": (write_onnx, ".onnx")}


def settle(path: str) -> None:
    """Synced, so nothing of the model is written back during a timing; it
    stays in the page cache."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# ----------------------------------------------------------------------------
# Timing


def remove(*paths: str) -> None:
    for p in paths:
        try:
            os.unlink(p)
        except FileNotFoundError:
            pass


def _cpu() -> float:
    """CPU seconds of this process and its finished children, all threads."""
    import resource
    me, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + kids.ru_utime + kids.ru_stime


def turns(cases: dict, runs: int, *, repeat_fast=False) -> dict:
    """Stat of each case over `runs` runs, the cases taken in turns (the
    order rotating each run). A case is fn or (fn, cleanup); cleanup runs
    after each timing, untimed. With repeat_fast, a fast case is repeated
    within a sample until the sample lasts a few milliseconds."""
    cases = {k: (v if isinstance(v, tuple) else (v, None)) for k, v in cases.items()}
    reps = {}
    for name, (fn, cleanup) in cases.items():
        n, t0 = 0, time.perf_counter()
        while True:
            fn()
            n += 1
            if cleanup:
                cleanup()
            if not repeat_fast or n >= 1000 or time.perf_counter() - t0 > 0.005:
                break
        reps[name] = n if repeat_fast else 1
    times: dict = {k: [] for k in cases}
    cpu: dict = {k: [] for k in cases}
    names = list(cases)
    for r in range(runs):
        for name in names[r % len(names):] + names[:r % len(names)]:
            fn, cleanup = cases[name]
            c0, t0 = _cpu(), time.perf_counter()
            for _ in range(reps[name]):
                fn()
            wall, used = time.perf_counter() - t0, _cpu() - c0
            times[name].append(wall / reps[name])
            cpu[name].append(used / wall)
            if cleanup:
                cleanup()
    return {k: Stat(times[k], cpu[k]) for k in cases}


class Stat:
    def __init__(self, samples, cpu=None):
        self.samples = list(samples)
        self.min = min(self.samples)
        self.median = statistics.median(self.samples)
        # CPU seconds per wall second (threads and child processes): how
        # many cores the case kept busy.
        self.cpu = statistics.median(cpu) if cpu else None

    def __truediv__(self, other: "Stat") -> "Ratio":
        return Ratio(self.median / other.median, self.min / other.min)


def worst(*stats: Stat) -> Stat:
    """Per run, the slower of several cases (max(cp, hashlib))."""
    return Stat(max(vals) for vals in zip(*(s.samples for s in stats)))


class Ratio:
    def __init__(self, median: float, best: float):
        self.median, self.best = median, best

    def __str__(self):
        return f"{self.median:.2f} × ({self.best:.2f} × by min)"


def fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    return f"{s * 1e3:.1f} ms" if s < 1 else f"{s:.3f} s"


# ----------------------------------------------------------------------------
# Baselines


def cp(src: str, dst: str) -> None:
    subprocess.run(["cp", src, dst], check=True)


def fsync_path(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _sync_file_range():
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    fn = getattr(libc, "sync_file_range", None)
    if fn is not None:
        fn.argtypes = [ctypes.c_int, ctypes.c_longlong, ctypes.c_longlong, ctypes.c_uint]
    return fn


SYNC_FILE_RANGE = _sync_file_range()
SYNC_FILE_RANGE_WRITE = 2


def kernel_copy(src: str, dst: str, head: bytes, offset: int, length: int, tail: bytes, sync,
                ) -> None:
    """The bytes of a rewrite, put where the rewrite puts them: the new head,
    then the tensor data copied by the kernel from `offset`, then the tail.
    sync: False, True (fsync at the end), or "writeback" (also start writing
    each 64 MiB to the disk as it is copied, then fsync)."""
    fi = os.open(src, os.O_RDONLY)
    fo = os.open(dst, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fo, head)
        at, left = offset, length
        while left:
            n = os.copy_file_range(fi, fo, min(left, 64 * MIB), at)
            if n == 0:
                raise OSError("short copy")
            at += n
            left -= n
            if sync == "writeback" and SYNC_FILE_RANGE is not None:
                SYNC_FILE_RANGE(fo, 0, 0, SYNC_FILE_RANGE_WRITE)
        if tail:
            os.write(fo, tail)
        if sync:
            os.fsync(fo)
    finally:
        os.close(fo)
        os.close(fi)


def same_places(model: str, out: str, data_off: int, data_len: int, fmt: str):
    """(head, offset, length, tail) of the kernel's copy of what an embed
    wrote to `out`: the tensor data moved by the head's growth (GGUF,
    SafeTensors), or the whole model in place with the store after it (ONNX)."""
    size = os.path.getsize(model)
    out_size = os.path.getsize(out)
    with open(out, "rb") as f:
        if fmt == "ONNX":
            f.seek(size)
            return b"", 0, size, f.read()
        out_off = out_size - (size - data_off)
        head = f.read(out_off)
        probe = f.read(4096)
    with open(model, "rb") as f:
        f.seek(data_off)
        if f.read(4096) != probe:
            raise RuntimeError(f"{fmt}: tensor data not found at {out_off} of the output")
    return head, data_off, data_len, b""


def hashlib_file(path: str) -> bytes:
    """hashlib.sha256 over the file read in 1 MiB pieces (hashlib.file_digest's way)."""
    h = hashlib.sha256()
    buf = bytearray(MIB)
    view = memoryview(buf)
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buf):
            h.update(view[:n])
    return h.digest()


def cli_program():
    if os.environ.get("TARNWICK_CLI"):
        return os.environ["TARNWICK_CLI"]
    beside = os.path.join(sysconfig.get_path("scripts"), "tarnwick")
    return beside if os.access(beside, os.X_OK) else shutil.which("tarnwick")


# ----------------------------------------------------------------------------
# Memory and reads, in a fresh process


def _status_kib(name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise RuntimeError(name)


def _read_bytes() -> int:
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("read_bytes:"):
                return int(line.split()[1])
    raise RuntimeError("read_bytes")


def child_memory(model: str, out: str, alg: str) -> None:
    """Peak resident growth of one embed_file: the high-water mark (reset
    first) minus the resident size just before."""
    import resource
    try:
        # Resets the high-water mark to the current resident size.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass  # then the mark may predate the call; the sampled rows still hold
    before = _status_kib("VmRSS")
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    kw = {"hash": alg} if alg != "-" else {}
    # The call releases the interpreter lock: a thread samples which kind of
    # memory grows (anonymous, or file pages mapped).
    base = {k: _status_kib(k) for k in ("RssAnon", "RssFile")}
    peak = dict(base)
    stop = threading.Event()

    def sample():
        while not stop.is_set():
            for k in peak:
                peak[k] = max(peak[k], _status_kib(k))
            time.sleep(0.005)
    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        tarnwick.embed_file(model, reserve=RESERVE, output=out, **kw)
    finally:
        stop.set()
        sampler.join()
    after = _status_kib("VmHWM")
    print(json.dumps({"growth": (after - before) * 1024, "rss_before": before * 1024,
                      "anon": (peak["RssAnon"] - base["RssAnon"]) * 1024,
                      "file": (peak["RssFile"] - base["RssFile"]) * 1024,
                      "maxrss_before": maxrss_before * 1024,
                      "maxrss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))


def child_reads(model: str) -> None:
    """Bytes each read function takes from the disk, the model dropped from
    the page cache before each: /proc/self/io read_bytes, and the model's
    pages resident after (fincore)."""
    fincore = shutil.which("fincore")

    def resident():
        if not fincore:
            return None
        out = subprocess.run([fincore, "-b", "-n", "-r", "-o", "RES", model], capture_output=True, text=True)
        return int(out.stdout.split()[0]) if out.returncode == 0 else None

    fns = {"read_file": tarnwick.read_file, "read_file_uri": tarnwick.read_file_uri,
           "inspect": tarnwick.inspect, "read_manifest (bytes, for contrast)": None}
    result = {}
    fd = os.open(model, os.O_RDONLY)
    try:
        for name, fn in fns.items():
            os.fsync(fd)
            for _ in range(20):  # readahead still in flight may land after a drop
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                if not resident():
                    break
                time.sleep(0.05)
            before, res_before = _read_bytes(), resident()
            if fn is None:
                tarnwick.read_manifest(pathlib.Path(model).read_bytes())
            else:
                fn(model)
            result[name] = {"read": _read_bytes() - before, "resident_before": res_before,
                            "resident": resident()}
    finally:
        os.close(fd)
    print(json.dumps(result))


def in_child(*args: str) -> dict:
    out = subprocess.run([sys.executable, __file__, *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip())
    return json.loads(out.stdout)


# ----------------------------------------------------------------------------
# The rows


class Report:
    def __init__(self):
        self.rows = []   # (target, what, min, median, cpu, ratio, goal, verdict)
        self.notes = {}  # target -> [sentence]

    def row(self, target, what, stat=None, ratio="", goal="", met=None):
        t_min = fmt_time(stat.min) if stat else ""
        t_med = fmt_time(stat.median) if stat else ""
        cpu = f"{stat.cpu:.2f}" if stat and stat.cpu is not None else ""
        verdict = "" if met is None else ("met" if met else "**missed**")
        self.rows.append((target, what, t_min, t_med, cpu, str(ratio), goal, verdict))
        print(f"  {what}: {t_min} / {t_med} cpu {cpu}  {ratio}  {goal} {verdict}", file=sys.stderr, flush=True)

    def note(self, target, text):
        self.notes.setdefault(target, []).append(text)
        print(f"  note: {text}", file=sys.stderr, flush=True)


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def memory_rows(rep: Report, tmp: str, huge: int, cli) -> None:
    log(f"1. memory: embed_file on a {huge // MIB} MiB sparse GGUF")
    model = os.path.join(tmp, "huge.gguf")
    out = os.path.join(tmp, "huge-out.gguf")
    write_gguf(model, huge, sparse=True)
    settle(model)
    label = f"{huge / GIB:g} GiB" if huge >= GIB else f"{huge // MIB} MiB"
    for alg in ("-", "sha256"):
        m = in_child("--child-memory", model, out, alg)
        remove(out)
        what = f"embed_file(reserve={RESERVE}{', hash=' + repr(alg) if alg != '-' else ''}) on {label}"
        growth = m["growth"]
        rep.row(1, what + ": peak resident growth (sampled: anonymous / mapped file pages)", None,
                f"{growth / MIB:.1f} MiB ({m['anon'] / MIB:.1f} / {m['file'] / MIB:.1f} MiB)",
                "≤ 64 MiB" if alg == "-" else "(not a target)", growth <= 64 * MIB if alg == "-" else None)
        if alg != "-":
            rep.note(1, f"With hash='sha256' the resident set grows by {growth / MIB:.0f} MiB for a "
                        f"{label} model, of which {m['anon'] / MIB:.1f} MiB anonymous: the digest reads the "
                        "model through its mapping, and every page it touched stays mapped until the call "
                        "ends (clean file pages shared with the page cache).")
    if cli and os.access("/usr/bin/time", os.X_OK):
        r = subprocess.run(["/usr/bin/time", "-f", "%M", cli, "embed", model, "--uri", URI, "-o", out],
                           capture_output=True, text=True, check=True)
        remove(out)
        peak = int(r.stderr.strip().splitlines()[-1]) * 1024
        rep.row(1, f"CLI `tarnwick embed --uri -o` on {label}: peak resident size (whole process)", None,
                f"{peak / MIB:.1f} MiB", "≤ 64 MiB", peak <= 64 * MIB)
    remove(model)


def cores_control(size: int) -> dict:
    """Two hashes in memory in one thread, and in two: their time
    ratio is the number of cores this process really had meanwhile."""
    bufs = [os.urandom(size) for _ in range(2)]

    def two():
        ts = [threading.Thread(target=lambda b=b: hashlib.sha256(b).digest()) for b in bufs]
        for th in ts:
            th.start()
        for th in ts:
            th.join()
    return {"control 1": lambda: [hashlib.sha256(b).digest() for b in bufs], "control 2": two}


def copy_rows(rep: Report, tmp: str, big: int, runs: int, cli, formats, cli_before=None) -> None:
    label = f"{big / GIB:g} GiB" if big >= GIB else f"{big // MIB} MiB"
    for fmt in formats:
        make, ext = MAKERS[fmt]
        log(f"2, 5, 6. {fmt} {label}: embed_file, the CLI, data_hash, reserve+hash against cp, the kernel's copy, hashlib")
        model = os.path.join(tmp, "big" + ext)
        out = os.path.join(tmp, "big-out" + ext)
        data_off, data_len = make(model, big)
        settle(model)
        tarnwick.embed_file(model, uri=URI, output=out)
        where = same_places(model, out, data_off, data_len, fmt)
        remove(out)
        in_memory = pathlib.Path(model).read_bytes() if fmt == "GGUF" else None

        cases = {
            "embed_file": (lambda: tarnwick.embed_file(model, uri=URI, output=out), lambda: remove(out)),
            "cp": (lambda: cp(model, out), lambda: remove(out)),
            "cp + fsync": (lambda: (cp(model, out), fsync_path(out)), lambda: remove(out)),
            "kernel copy": (lambda: kernel_copy(model, out, *where, sync=False), lambda: remove(out)),
            "kernel copy + fsync": (lambda: kernel_copy(model, out, *where, sync=True), lambda: remove(out)),
            "kernel copy + writeback + fsync": (lambda: kernel_copy(model, out, *where, sync="writeback"),
                                                lambda: remove(out)),
            "reserve + hash": (lambda: tarnwick.embed_file(model, reserve=RESERVE, hash="sha256", output=out),
                               lambda: remove(out)),
            "reserve, then data_hash": (lambda: (tarnwick.embed_file(model, reserve=RESERVE, output=out),
                                                 tarnwick.data_hash(out)), lambda: remove(out)),
            "hashlib (file)": lambda: hashlib_file(model),
        }
        if cli:
            cases["CLI"] = (lambda: subprocess.run([cli, "embed", model, "--uri", URI, "-o", out, "--quiet"],
                                                   check=True), lambda: remove(out))
        cases.update(cores_control(max(big // 16, MIB)))
        if cli_before:
            cases["CLI before"] = (lambda: subprocess.run([cli_before, "embed", model, "--uri", URI, "-o", out,
                                                           "--quiet"], check=True), lambda: remove(out))
        if in_memory is not None:
            cases["data_hash"] = lambda: tarnwick.data_hash(model)
            cases["hashlib (bytes in memory)"] = lambda: hashlib.sha256(in_memory).digest()
        t = turns(cases, runs)

        name = f"{fmt} {label}"
        cores = t["control 1"] / t["control 2"]
        rep.row(6, f"{name}: cores free during these runs (hashlib over memory, 2 threads / 1)", t["control 2"],
                cores, "(2 on an idle machine)")
        e = t["embed_file"]
        rep.row(2, f"{name}: embed_file(uri=…, output=…) / kernel copy + fsync", e, e / t["kernel copy + fsync"],
                "≤ 1.1 ×", (e / t["kernel copy + fsync"]).median <= 1.1)
        rep.row(2, f"{name}: embed_file / kernel copy + writeback as it copies + fsync", e,
                e / t["kernel copy + writeback + fsync"], "")
        rep.row(2, f"{name}: embed_file / kernel copy without fsync", e, e / t["kernel copy"], "(unfair: no fsync)")
        rep.row(2, f"{name}: embed_file / cp", e, e / t["cp"], "(cp does not fsync)")
        rep.row(2, f"{name}: embed_file / (cp + fsync)", e, e / t["cp + fsync"], "")
        if "CLI" in t:
            c = t["CLI"]
            rep.row(2, f"{name}: CLI `tarnwick embed --uri -o` / cp", c, c / t["cp"], "README: 0.5–1.0 ×")
            rep.row(2, f"{name}: CLI / (cp + fsync)", c, c / t["cp + fsync"], "")
            rep.row(2, f"{name}: CLI / kernel copy + fsync", c, c / t["kernel copy + fsync"], "")
        if "CLI before" in t:
            b = t["CLI before"]
            rep.row(2, f"{name}: CLI of --cli-before / cp", b, b / t["cp"], "")
            rep.row(2, f"{name}: CLI / CLI of --cli-before", t["CLI"], t["CLI"] / b, "")
        for base in ("cp", "cp + fsync", "kernel copy", "kernel copy + fsync", "kernel copy + writeback + fsync"):
            rep.row(2, f"{name}: {base} (baseline)", t[base])
        if "data_hash" in t:
            d = t["data_hash"]
            fastest = min(t["hashlib (file)"], t["hashlib (bytes in memory)"], key=lambda s: s.median)
            rep.row(5, f"{name}: data_hash(path) / hashlib.sha256 reading the file", d, d / t["hashlib (file)"],
                    "speed ≥ 0.9 × (time ≤ 1.11 ×)", (d / t["hashlib (file)"]).median <= 1 / 0.9)
            rep.row(5, f"{name}: data_hash(path) / hashlib.sha256 over bytes in memory", d,
                    d / t["hashlib (bytes in memory)"], "speed ≥ 0.9 × (time ≤ 1.11 ×)",
                    (d / fastest).median <= 1 / 0.9)
            rep.row(5, f"{name}: hashlib.sha256 over bytes in memory (baseline)", t["hashlib (bytes in memory)"])
        h = t["reserve + hash"]
        bound = worst(t["cp"], t["hashlib (file)"])
        fair = worst(t["cp + fsync"], t["hashlib (file)"])
        rep.row(6, f"{name}: embed_file(reserve=…, hash='sha256') / max(cp, hashlib)", h, h / bound,
                "≤ 1.25 ×", (h / bound).median <= 1.25)
        rep.row(6, f"{name}: embed_file(reserve, hash) / max(cp + fsync, hashlib)", h, h / fair, "")
        rep.row(6, f"{name}: embed_file(reserve, hash) / (embed_file(reserve), then data_hash)", h,
                h / t["reserve, then data_hash"], "")
        rep.row(6, f"{name}: embed_file(reserve), then data_hash / max(cp, hashlib)", t["reserve, then data_hash"],
                t["reserve, then data_hash"] / bound, "≈ 2 ×")
        rep.row(6, f"{name}: hashlib.sha256 reading the file (baseline)", t["hashlib (file)"])
        del in_memory
        remove(model)


def read_rows(rep: Report, tmp: str, small: int, big: int, runs: int) -> None:
    log(f"3. reads: {big // MIB} MiB against {small // MIB} MiB, and the bytes read from the disk")
    kvs = [store_kv(STORE), uri_kv(URI)]
    paths = {}
    for size in (small, big):
        paths[size] = os.path.join(tmp, f"read-{size // MIB}.gguf")
        write_gguf(paths[size], size, kvs=kvs)
        settle(paths[size])
    fns = {"read_file": tarnwick.read_file, "read_file_uri": tarnwick.read_file_uri, "inspect": tarnwick.inspect}
    cases = {f"{name} {size}": (lambda fn=fn, p=paths[size]: fn(p)) for name, fn in fns.items() for size in paths}
    t = turns(cases, runs, repeat_fast=True)
    for name in fns:
        a, b = t[f"{name} {big}"], t[f"{name} {small}"]
        rep.row(3, f"GGUF: {name}(path) at {big // MIB} MiB / at {small // MIB} MiB", a, a / b, "≤ 1.5 ×",
                (a / b).median <= 1.5)
    io = in_child("--child-reads", paths[big])
    window = readahead_bytes(tmp)
    head = len(gguf_head(0, kvs))
    for name, r in io.items():
        res = "" if r["resident"] is None else f"; resident after: {r['resident'] / 1024:.0f} KiB " \
                                                f"(before: {r['resident_before'] / 1024:.0f} KiB)"
        ours = "bytes" not in name
        # A first fault on the mapping reads one readahead window of the
        # device, whatever the model's size: metadata and what follows it.
        goal = f"≤ head + one readahead window ({(head + (window or 0)) // 1024} KiB)" if ours else ""
        rep.row(3, f"GGUF {big // MIB} MiB, dropped from the page cache: {name} reads from disk", None,
                f"{r['read'] / 1024:.0f} KiB{res}", goal,
                r["read"] <= head + (window or 0) + 64 * 1024 if ours else None)
    if window:
        rep.note(3, f"The device's readahead window here is {window // 1024} KiB (read_ahead_kb): the first "
                    "page fault on the mapped head reads that much, whatever the model's size.")
    for p in paths.values():
        remove(p)


def thread_rows(rep: Report, tmp: str, size: int, runs: int, shm) -> None:
    log(f"4. threads: two {size // MIB} MiB models, one thread against two")
    models, outs = [], []
    for i in range(2):
        models.append(os.path.join(tmp, f"thread-{i}.gguf"))
        outs.append(os.path.join(tmp, f"thread-{i}-out.gguf"))
        write_gguf(models[i], size)
        settle(models[i])
    # The same on a file system in memory, where fsync costs nothing: what
    # the module does with the disk out of the way.
    mem_models = [os.path.join(shm, f"thread-{i}.gguf") for i in range(2)] if shm else []
    mem_outs = [os.path.join(shm, f"thread-{i}-out.gguf") for i in range(2)] if shm else []
    for i, m in enumerate(mem_models):
        shutil.copyfile(models[i], m)
    tarnwick.embed_file(models[0], uri=URI, output=outs[0])
    data_off = len(gguf_head(size - len(gguf_head(0))))
    where = same_places(models[0], outs[0], data_off, size - data_off, "GGUF")
    remove(outs[0])
    buffers = [os.urandom(size // 4) for _ in range(2)]
    try:
        import numpy
        sources = [numpy.frombuffer(os.urandom(size), dtype=numpy.uint8) for _ in range(2)]
        targets = [numpy.empty(size, dtype=numpy.uint8) for _ in range(2)]
    except ImportError:
        numpy = None

    jobs = {
        "embed_file": lambda i: tarnwick.embed_file(models[i], uri=URI, output=outs[i]),
        "kernel copy + fsync": lambda i: kernel_copy(models[i], outs[i], *where, sync=True),
        "kernel copy": lambda i: kernel_copy(models[i], outs[i], *where, sync=False),
        "hashlib over memory (CPU control)": lambda i: hashlib.sha256(buffers[i]).digest(),
    }
    if shm:
        jobs["embed_file, in memory (tmpfs)"] = lambda i: tarnwick.embed_file(mem_models[i], uri=URI,
                                                                              output=mem_outs[i])
        jobs["kernel copy, in memory (tmpfs)"] = lambda i: kernel_copy(mem_models[i], mem_outs[i], *where,
                                                                       sync=False)
    if numpy is not None:
        jobs["memory copy, numpy.copyto (memory bandwidth control)"] = \
            lambda i: numpy.copyto(targets[i], sources[i])

    def one(job):
        job(0)
        job(1)

    def two(job):
        ts = [threading.Thread(target=job, args=(i,)) for i in range(2)]
        for th in ts:
            th.start()
        for th in ts:
            th.join()

    cleanup = lambda: remove(*outs, *mem_outs)  # noqa: E731
    cases = {}
    for name, job in jobs.items():
        cases[(name, 1)] = (lambda job=job: one(job), cleanup)
        cases[(name, 2)] = (lambda job=job: two(job), cleanup)
    t = turns(cases, runs)
    for name in jobs:
        # Throughput of two threads over one: time of the same work in one
        # thread over its time in two.
        r = t[(name, 1)] / t[(name, 2)]
        target = name == "embed_file"
        rep.row(4, f"GGUF 2 × {size // MIB} MiB: {name}, throughput 2 threads / 1 thread", t[(name, 2)], r,
                "≥ 1.7 ×" if target else "(the machine's ceiling)", r.median >= 1.7 if target else None)
    for m in models + mem_models:
        remove(m)


def patch_rows(rep: Report, tmp: str, small: int, huge: int, runs: int) -> None:
    log(f"7. patch_file: {huge // MIB} MiB sparse against {small // MIB} MiB")
    kvs = [store_kv(bytes(RESERVE)), uri_kv(URI)]
    paths = {}
    for size in (small, huge):
        paths[size] = os.path.join(tmp, f"patch-{size // MIB}.gguf")
        write_gguf(paths[size], size, kvs=kvs, sparse=True)
        settle(paths[size])
    signed = os.urandom(RESERVE)
    cases = {size: (lambda p=p: tarnwick.patch_file(p, signed)) for size, p in paths.items()}
    t = turns(cases, max(runs, 5))
    h, s = t[huge], t[small]
    label = f"{huge / GIB:g} GiB" if huge >= GIB else f"{huge // MIB} MiB"
    rep.row(7, f"GGUF {label} (sparse): patch_file", h, f"{h.median * 1e3:.1f} ms", "≤ 50 ms", h.median <= 0.05)
    rep.row(7, f"GGUF: patch_file at {label} / at {small // MIB} MiB", h, h / s, "independent of size")
    for p in paths.values():
        remove(p)


# ----------------------------------------------------------------------------


def machine() -> list[str]:
    lines = [f"- machine: Linux {platform.release()}, {os.cpu_count()} CPUs "
             f"({_cpu_model()}), {_mem_gib():.0f} GiB memory; Python {platform.python_version()}"]
    return lines


def _cpu_model() -> str:
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "?"


def _mem_gib() -> float:
    with open("/proc/meminfo") as f:
        return int(f.readline().split()[1]) / (1 << 20)


def readahead_bytes(path: str):
    """read_ahead_kb of the block device holding `path`, in bytes, or None."""
    st = os.stat(path)
    base = f"/sys/dev/block/{os.major(st.st_dev)}:{os.minor(st.st_dev)}"
    for q in (base + "/queue/read_ahead_kb", base + "/../queue/read_ahead_kb"):
        try:
            return int(pathlib.Path(q).read_text()) * 1024
        except (OSError, ValueError):
            continue
    return None


def fs_type(path: str) -> str:
    """The type of the file system mounted nearest above `path`."""
    path = os.path.realpath(path)
    best, kind = "", "?"
    with open("/proc/mounts") as f:
        for line in f:
            fields = line.split()
            point = fields[1]
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best):
                best, kind = point, fields[2]
    return kind


def write_markdown(rep: Report, path: str, header: list[str]) -> None:
    old = pathlib.Path(path).read_text() if os.path.exists(path) else ""
    kept = old[old.index("## Analysis"):] if "## Analysis" in old else ""
    lines = ["# File functions and the command line: benchmark", "",
             "Written by `bench/bench_files.py` (do not edit above the Analysis section; it is kept across runs).",
             "", *header, "",
             "| target | measurement | min | median | CPU / wall | ratio: median (min) | goal | |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rep.rows:
        lines.append("| " + " | ".join(str(c) for c in r) + " |")
    lines.append("")
    for target in sorted(rep.notes):
        for text in rep.notes[target]:
            lines.append(f"- ({target}) {text}")
    lines.append("")
    pathlib.Path(path).write_text("\n".join(lines) + "\n" + kept)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--short", action="store_true", help="small sizes, one or two runs (CI)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--tmp", help="folder for the models (default: the system's temporary folder)")
    ap.add_argument("--out", help="markdown file for the results (default: bench/results_files.md; none with --short)")
    ap.add_argument("--rows", default="1234567", help="which targets to run, e.g. 25")
    ap.add_argument("--formats", default="GGUF,SafeTensors,ONNX")
    ap.add_argument("--cli-before", help="another build of the command-line tool, timed side by side")
    ap.add_argument("--shm", default="/dev/shm", help="a folder in memory (tmpfs) for the thread rows; '' for none")
    ap.add_argument("--child-memory", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--child-reads", nargs=1, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child_memory:
        child_memory(*args.child_memory)
        return
    if args.child_reads:
        child_reads(*args.child_reads)
        return

    if args.short:
        small, big, huge, threads, runs = 1 * MIB, 16 * MIB, 64 * MIB, 8 * MIB, min(args.runs, 2)
        out = args.out
    else:
        small, big, huge, threads, runs = 16 * MIB, GIB, 4 * GIB, 256 * MIB, args.runs
        out = args.out or str(pathlib.Path(__file__).resolve().parent / "results_files.md")
    cli = cli_program()
    rep = Report()
    load_before = os.getloadavg()
    started = time.time()
    with tempfile.TemporaryDirectory(prefix="tarnwick-bench-", dir=args.tmp) as tmp:
        fs = fs_type(tmp)
        log(f"models in {tmp} ({fs}); {runs} runs; CLI: {cli or 'not found'}")
        if "1" in args.rows:
            memory_rows(rep, tmp, huge, cli)
        if "2" in args.rows or "5" in args.rows or "6" in args.rows:
            copy_rows(rep, tmp, big, runs, cli, args.formats.split(","), args.cli_before)
        if "3" in args.rows:
            read_rows(rep, tmp, small, big, runs)
        if "4" in args.rows:
            shm = args.shm if args.shm and fs_type(args.shm) == "tmpfs" else None
            thread_rows(rep, tmp, threads, runs, shm)
        if "7" in args.rows:
            patch_rows(rep, tmp, small, huge, runs)
    load_after = os.getloadavg()
    header = machine() + [
        f"- models on {fs} ({args.tmp or tempfile.gettempdir()}), in the page cache and synced before timing; "
        f"{runs} runs per case, cases in turns",
        f"- load average (1 min) {load_before[0]:.2f} before, {load_after[0]:.2f} after; "
        f"{time.time() - started:.0f} s in all",
    ]
    if out:
        write_markdown(rep, out, header)
        log(f"wrote {out}")
    else:
        print("\n".join(header))
        for r in rep.rows:
            print("| " + " | ".join(str(c) for c in r) + " |")


if __name__ == "__main__":
    main()
