"""Benchmarks: rewrites against one plain copy, reads against model size,
peak memory, and tarnwick against the peer libraries.

    python bench/bench.py            # 16 and 64 MiB, a few minutes
    python bench/bench.py --full     # 16 MiB, 256 MiB and 1 GiB, and a 4 GiB sparse file for the CLI
    python bench/bench.py --short    # tiny sizes, seconds (CI: keeps it from rotting)
    python bench/bench.py --sizes 16,128 --runs 7 --plot bench/results.png
    python bench/bench.py --sizes 16 --threads 256 --sweep 256   # only the thread and store-size rows at 256 MiB

Every figure is a ratio measured side by side in the same run, so a noisy
shared machine moves both sides alike. Times are medians over --runs runs;
memory is measured in a fresh process per case: the resident high-water mark
during the operation minus the resident size just before it (the process
already holds the model). Rewrites are timed in turns with one plain copy of
the same model (`model[1:]`) in the same process, the peers in turns with
tarnwick doing the same task; the command-line tool in turns with `cp`.

Two further row kinds: threads (two threads each rewriting their own model
against one thread doing the same calls, in turns; the ratio is the
throughput gained) and a store-size sweep (embed_manifest with stores whose
stored form, raw in GGUF and Base64 in ONNX and SafeTensors, takes 3900 to
4300 bytes, every 4, and a few sizes up to 64 KiB: the tensor data then moves
across a page boundary relative to the input; each size in turns with one
copy, the median of the per-pair ratios; the three worst sizes are measured
again with three times the runs and the worst of those is reported).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import pathlib
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

import tarnwick

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from make_samples import field, gguf_string  # noqa: E402

MIB = 1 << 20
STORE = bytes(range(256)) * 64  # a 16 KiB manifest store
URI = "https://example.com/manifests/model.c2pa"

# ----------------------------------------------------------------------------
# Models with realistic metadata; the tensor data fills them up to the size.


def make_gguf(size: int) -> bytes:
    n_tokens = 150_000
    tokens = b"".join(gguf_string(f"tok{i}") for i in range(n_tokens))
    kvs = [
        gguf_string("general.architecture") + struct.pack("<I", 8) + gguf_string("llama"),
        gguf_string("general.alignment") + struct.pack("<II", 4, 32),
        gguf_string("tokenizer.ggml.tokens") + struct.pack("<IIQ", 9, 8, n_tokens) + tokens,
        gguf_string("tokenizer.ggml.scores") + struct.pack("<IIQ", 9, 6, n_tokens)
        + struct.pack(f"<{n_tokens}f", *([0.5] * n_tokens)),
    ]
    # F32 tensors laid out as llama.cpp expects them: each at the end of the
    # one before, aligned, together filling the data section.
    n_tensors = 300
    elements = max(8, size // n_tensors // 4 // 8 * 8)
    per = elements * 4
    info = b"".join(
        gguf_string(f"blk.{i}.weight") + struct.pack("<IQIQ", 1, elements, 0, i * per)
        for i in range(n_tensors)
    )
    head = b"GGUF" + struct.pack("<IQQ", 3, n_tensors, len(kvs)) + b"".join(kvs) + info
    head += bytes(-len(head) % 32)
    return head + _filler(n_tensors * per)


def make_safetensors(size: int) -> bytes:
    n = 300
    per = max(size // n // 4 * 4, 4)
    header = {f"layers.{i}.weight": {"dtype": "F32", "shape": [per // 4], "data_offsets": [i * per, (i + 1) * per]}
              for i in range(n)}
    header["__metadata__"] = {"format": "pt"}
    raw = json.dumps(header, separators=(",", ":")).encode()
    raw += b" " * (-len(raw) % 8)
    return struct.pack("<Q", len(raw)) + raw + _filler(per * n)


def make_onnx(size: int) -> bytes:
    raw = _filler(size // 4 * 4)
    # One initializer: dims, data_type FLOAT, name, raw_data.
    tensor = field(1, len(raw) // 4) + field(2, 1) + field(8, "weight") + field(9, raw)
    graph = field(2, "main") + field(5, tensor)
    props = b"".join(field(14, field(1, f"key{i}") + field(2, f"value {i}")) for i in range(40))
    return (field(1, 8) + field(2, "bench") + field(7, graph)
            + field(8, field(1, "") + field(2, 17)) + props)


def _filler(n: int) -> bytes:
    block = os.urandom(MIB)
    whole, rest = divmod(n, MIB)
    return block * whole + block[:rest]


MAKERS = {"GGUF": (make_gguf, ".gguf"), "SafeTensors": (make_safetensors, ".safetensors"),
          "ONNX": (make_onnx, ".onnx")}

# ----------------------------------------------------------------------------
# Operations, by name. Each takes the model bytes and the file path.

REWRITES = {
    "embed_manifest": lambda m, p: tarnwick.embed_manifest(m, STORE),
    "embed_manifest_both": lambda m, p: tarnwick.embed_manifest_both(m, URI, STORE),
    "remove_manifest": lambda m, p: tarnwick.remove_manifest(m),
}
READS = {
    "read_manifest": lambda m, p: tarnwick.read_manifest(m),
    "read_manifest_uri": lambda m, p: tarnwick.read_manifest_uri(m),
    "detect_format": lambda m, p: tarnwick.detect_format(m),
    "model_type": lambda m, p: tarnwick.model_type(m),
}


def peer_read(fmt: str):
    if fmt == "GGUF":
        import gguf

        def run(m, p):
            reader = gguf.GGUFReader(p)
            field = reader.fields["c2pa:manifest"]
            return bytes(field.parts[field.data[0]])
        return run
    if fmt == "SafeTensors":
        from safetensors import safe_open

        def run(m, p):
            with safe_open(p, framework="numpy") as f:
                return f.metadata()["c2pa:manifest"]
        return run
    import onnx

    def run(m, p):
        model = onnx.load_from_string(m)
        return next(e.value for e in model.metadata_props if e.key == "c2pa:manifest")
    return run


def peer_embed(fmt: str):
    import base64
    if fmt == "GGUF":
        import gguf

        def run(m, p):
            reader = gguf.GGUFReader(p)
            out = p + ".peer"
            arch = reader.fields["general.architecture"]
            writer = gguf.GGUFWriter(out, str(bytes(arch.parts[arch.data[0]]), "utf-8"))
            for field in reader.fields.values():
                if field.name.startswith("GGUF.") or field.name == "general.architecture":
                    continue
                vtype = field.types[0]
                if vtype == gguf.GGUFValueType.ARRAY:
                    sub = field.types[-1]
                    vals = [bytes(field.parts[i]).decode() if sub == gguf.GGUFValueType.STRING
                            else field.parts[i].tolist()[0] for i in field.data]
                    writer.add_array(field.name, vals)
                elif vtype == gguf.GGUFValueType.STRING:
                    writer.add_string(field.name, bytes(field.parts[field.data[0]]).decode())
                else:
                    writer.add_key_value(field.name, field.parts[field.data[0]].tolist()[0], vtype)
            writer.add_array("c2pa:manifest", list(STORE))
            for t in reader.tensors:
                writer.add_tensor(t.name, t.data, raw_dtype=t.tensor_type)
            writer.write_header_to_file()
            writer.write_kv_data_to_file()
            writer.write_tensors_to_file()
            writer.close()
            os.unlink(out)
        return run
    if fmt == "SafeTensors":
        from safetensors.numpy import load, save

        def run(m, p):
            return save(load(m), metadata={"format": "pt", "c2pa:manifest": base64.b64encode(STORE).decode()})
        return run
    import onnx

    def run(m, p):
        model = onnx.load_from_string(m)
        entry = model.metadata_props.add()
        entry.key, entry.value = "c2pa:manifest", base64.b64encode(STORE).decode()
        return model.SerializeToString()
    return run


# ----------------------------------------------------------------------------
# Measurement.


def _status_kib(field_name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise RuntimeError(field_name + " not in /proc/self/status")


def peak_extra(fn, model, path) -> int:
    """Bytes the resident set rose above its level before one call."""
    try:
        # Resets the high-water mark to the current resident size.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = _status_kib("VmRSS")
    result = fn(model, path)
    after = _status_kib("VmHWM")
    del result
    return max(after - before, 0) * 1024


def interleaved(fns, model, path, runs: int):
    """Median times of several functions, run in turns so that the machine's
    noise falls on all of them alike. A fast function is repeated within a
    sample until the sample lasts a few milliseconds."""
    reps = []
    for fn in fns:
        n, t0 = 0, time.perf_counter()
        while n < 1000 and time.perf_counter() - t0 < 0.005:
            fn(model, path)
            n += 1
        reps.append(n)
    times = [[] for _ in fns]
    for _ in range(runs):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            for _ in range(reps[i]):
                result = fn(model, path)
                del result
            times[i].append((time.perf_counter() - t0) / reps[i])
    return [statistics.median(t) for t in times]


def copy_once(m, p):
    return m[1:]  # one allocation, one copy: the physical limit of a rewrite


def threads_gain(model: bytes, runs: int) -> dict:
    """Two threads each rewriting their own model against one thread making
    the same number of calls, in turns: median of the throughput ratios. The
    same for SHA-256 over the model (hashlib also works without the lock)
    shows how much of a second core the machine gives at the time."""
    own = [model, model[:1] + model[1:]]  # the second thread's own copy
    calls = 2

    def embed(m):
        for _ in range(calls):
            tarnwick.embed_manifest(m, STORE)

    def digest(m):
        for _ in range(calls):
            hashlib.sha256(m).digest()

    def gain(work):
        t0 = time.perf_counter()
        work(own[0])
        one = time.perf_counter() - t0
        threads = [threading.Thread(target=work, args=(m,)) for m in own]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return 2 * one / (time.perf_counter() - t0), one / calls

    embed(model)
    gains, single, reference = [], [], []
    for _ in range(runs):
        g, seconds = gain(embed)
        gains.append(g)
        single.append(seconds)
        reference.append(gain(digest)[0])
    return {"seconds": statistics.median(single), "gain": statistics.median(gains),
            "reference": statistics.median(reference)}


def sweep_stores(fmt: str, short: bool) -> list:
    """Store sizes whose stored form takes 3900 to 4300 bytes, every 4, and a
    few larger ones; Base64 in ONNX and SafeTensors takes 4 bytes per 3."""
    stored = [3900, 4096, 4204, 4300] if short else [*range(3900, 4301, 4), 1024, 8192, 16384, 32768, 65536]
    return stored if fmt == "GGUF" else [n * 3 // 4 for n in stored]


def store_sweep(model: bytes, fmt: str, runs: int, short: bool) -> dict:
    """Each store size against one copy, in turns. On a shared machine a
    burst of load can spoil a whole size, so the three worst are measured
    again with three times the runs; the row gives the first pass's median
    and the worst of the second pass."""
    def ratio(size, n):
        store = bytes(range(256)) * (size // 256) + bytes(size % 256)
        pairs = []
        for _ in range(n):
            t0 = time.perf_counter()
            out = tarnwick.embed_manifest(model, store)
            t1 = time.perf_counter()
            del out
            t2 = time.perf_counter()
            out = model[1:]
            t3 = time.perf_counter()
            del out
            pairs.append((t1 - t0) / (t3 - t2))
        return statistics.median(pairs)

    first = {size: ratio(size, runs) for size in sweep_stores(fmt, short)}
    suspects = sorted(first, key=first.get, reverse=True)[:3]
    again = {size: ratio(size, 3 * runs) for size in suspects}
    worst = max(again, key=again.get)
    return {"worst": again[worst], "worst_size": worst, "first_worst": first[suspects[0]],
            "first_worst_size": suspects[0], "median": statistics.median(first.values()), "count": len(first),
            "size": len(model)}


def child(args) -> None:
    """One case in a fresh process: prints times and memory as JSON."""
    path, fmt, op = args.child
    model = pathlib.Path(path).read_bytes()
    if op == "threads":
        print(json.dumps(threads_gain(model, args.runs)))
        return
    if op in ("sweep", "sweep-short"):
        print(json.dumps(store_sweep(model, fmt, args.runs, op == "sweep-short")))
        return
    if op == "peer_read":
        fns = [READS["read_manifest"], peer_read(fmt)]
    elif op == "peer_embed":
        fns = [REWRITES["embed_manifest"], peer_embed(fmt)]
    elif op in REWRITES:
        fns = [REWRITES[op], copy_once]
    else:
        fns = [READS[op]]
    peak = peak_extra(fns[0], model, path)
    times = interleaved(fns, model, path, args.runs)
    print(json.dumps({"seconds": times[0], "other": times[1] if len(times) > 1 else None,
                      "peak_bytes": peak, "size": len(model)}))


def measure(path: str, fmt: str, op: str, runs: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--runs", str(runs), "--child", path, fmt, op],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr.strip() else "failed"}
    return json.loads(out.stdout)


# ----------------------------------------------------------------------------
# The command-line tool against cp, on files.


def cli_program():
    import shutil
    import sysconfig
    beside = os.path.join(sysconfig.get_path("scripts"), "tarnwick")
    return beside if os.access(beside, os.X_OK) else shutil.which("tarnwick")


def run_peak(cmd) -> tuple:
    """Wall time and the peak resident size of one run of a command. GNU
    time is the parent, so the command's high-water mark starts from that
    small program rather than from this interpreter."""
    t0 = time.perf_counter()
    out = subprocess.run(["/usr/bin/time", "-f", "%M", *cmd], capture_output=True, text=True, check=True)
    seconds = time.perf_counter() - t0
    return seconds, int(out.stderr.strip().splitlines()[-1]) * 1024


def measure_cli(cli: str, path: str, store: str, runs: int) -> dict:
    out = path + ".out"
    embed = [cli, "embed", path, "--store", store, "-o", out, "--quiet"]
    cp = ["cp", path, out]
    times = {"embed": [], "cp": []}
    peaks = {"embed": 0, "cp": 0}
    for _ in range(runs):
        for name, cmd in (("embed", embed), ("cp", cp)):
            seconds, peak = run_peak(cmd)
            times[name].append(seconds)
            peaks[name] = max(peaks[name], peak)
            os.unlink(out)
    return {"embed": statistics.median(times["embed"]), "cp": statistics.median(times["cp"]),
            "embed_peak": peaks["embed"], "cp_peak": peaks["cp"]}


def fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    return f"{s * 1e3:.2f} ms" if s < 1 else f"{s:.2f} s"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--full", action="store_true", help="16 MiB, 256 MiB and 1 GiB")
    ap.add_argument("--short", action="store_true", help="tiny sizes, a few seconds")
    ap.add_argument("--sizes", help="comma-separated sizes in MiB")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--no-peers", action="store_true", help="skip the peer libraries")
    ap.add_argument("--plot", help="write a PNG plot (needs matplotlib)")
    ap.add_argument("--cli-gib", type=int, default=0,
                    help="also embed into a sparse GGUF of this many GiB with the command-line tool (memory bound)")
    ap.add_argument("--threads", type=int, default=0, metavar="MIB",
                    help="also time 2 threads against 1 on models of this many MiB")
    ap.add_argument("--sweep", type=int, default=0, metavar="MIB",
                    help="also sweep embed_manifest over store sizes on models of this many MiB")
    ap.add_argument("--tmp", help="folder for the model files (default: the system's temporary folder)")
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args)
        return

    if args.sizes is not None:
        sizes = [int(s) for s in args.sizes.split(",") if s]
    elif args.full:
        sizes = [16, 256, 1024]
        args.cli_gib = args.cli_gib or 4
    elif args.short:
        sizes = [1, 2]
    else:
        sizes = [16, 64]
    if args.full:
        args.threads = args.threads or 256
        args.sweep = args.sweep or 256
    elif args.short:
        args.threads = args.threads or 2
        args.sweep = args.sweep or 1
    runs = 3 if args.short else args.runs

    rows = []
    plot_data: dict = {}
    peers = not args.no_peers and not args.short
    cli = cli_program() if os.access("/usr/bin/time", os.X_OK) else None

    def row(*cells):
        rows.append([str(c) for c in cells])

    with tempfile.TemporaryDirectory(dir=args.tmp) as tmp:
        store_file = os.path.join(tmp, "store.c2pa")
        pathlib.Path(store_file).write_bytes(STORE)
        for fmt, (make, ext) in MAKERS.items():
            read_base: dict = {}
            for mib in sizes:
                # With C2PA data in it, so that reads find a store and
                # remove_manifest has something to cut.
                model = tarnwick.embed_manifest_both(make(mib * MIB), URI, STORE)
                path = os.path.join(tmp, f"model-{mib}{ext}")
                pathlib.Path(path).write_bytes(model)
                del model
                label = f"{mib} MiB"
                for op in REWRITES:
                    r = measure(path, fmt, op, runs)
                    if "error" in r:
                        row(fmt, label, op, "error: " + r["error"], "", "", "")
                        continue
                    peer = ""
                    if op == "embed_manifest" and peers:
                        p = measure(path, fmt, "peer_embed", min(runs, 3))
                        peer = f"{p['seconds'] / p['other']:.3f}" if "other" in p else p["error"]
                    row(fmt, label, op, fmt_time(r["seconds"]), f"{r['seconds'] / r['other']:.2f} × copy",
                        f"{r['peak_bytes'] / r['size']:.2f}", peer)
                    plot_data.setdefault((fmt, op), []).append((r["size"], r["seconds"]))
                    if op == "remove_manifest":
                        plot_data.setdefault((fmt, "one copy"), []).append((r["size"], r["other"]))
                for op in READS:
                    r = measure(path, fmt, op, runs)
                    read_base.setdefault(op, r["seconds"])
                    peer = ""
                    if op == "read_manifest" and peers:
                        p = measure(path, fmt, "peer_read", runs)
                        peer = f"{p['seconds'] / p['other']:.4f}" if "other" in p else p["error"]
                    row(fmt, label, op, fmt_time(r["seconds"]), f"{r['seconds'] / read_base[op]:.2f} × {sizes[0]} MiB",
                        f"{r['peak_bytes'] / r['size']:.3f}", peer)
                    plot_data.setdefault((fmt, op), []).append((r["size"], r["seconds"]))
                if cli:
                    c = measure_cli(cli, path, store_file, max(runs, 3))
                    row(fmt, label, "CLI `tarnwick embed -o`", fmt_time(c["embed"]), f"{c['embed'] / c['cp']:.2f} × cp",
                        f"{c['embed_peak'] / MIB:.1f} MiB (cp: {c['cp_peak'] / MIB:.1f} MiB)", "")
                os.unlink(path)

        for fmt, (make, ext) in MAKERS.items():
            if not args.threads and not args.sweep:
                break
            for mib, op in ((args.threads, "threads"), (args.sweep, "sweep-short" if args.short else "sweep")):
                if not mib:
                    continue
                model = tarnwick.embed_manifest_both(make(mib * MIB), URI, STORE)
                path = os.path.join(tmp, f"model-{mib}{ext}")
                pathlib.Path(path).write_bytes(model)
                del model
                r = measure(path, fmt, op, runs)
                os.unlink(path)
                if "error" in r:
                    row(fmt, f"{mib} MiB", op, "error: " + r["error"], "", "", "")
                elif op == "threads":
                    row(fmt, f"{mib} MiB", "embed_manifest, 2 threads each on its own model",
                        fmt_time(r["seconds"]) + " a call",
                        f"{r['gain']:.2f} × 1 thread's throughput (SHA-256: {r['reference']:.2f} ×)", "", "")
                else:
                    row(fmt, f"{mib} MiB", f"embed_manifest over {r['count']} store sizes",
                        f"worst at a {r['worst_size']} B store",
                        f"{r['worst']:.2f} × copy (median {r['median']:.2f}; first pass: "
                        f"{r['first_worst']:.2f} at {r['first_worst_size']} B)", "", "")

        if cli and args.cli_gib:
            # A sparse GGUF of several GiB: memory must not grow with it.
            path = os.path.join(tmp, "sparse.gguf")
            head = make_gguf(0)
            with open(path, "wb") as f:
                f.write(head)
                f.truncate(args.cli_gib << 30)
            c = measure_cli(cli, path, store_file, 1)
            # cp skips the holes of a sparse file and tarnwick writes them out,
            # so only the memory of this row says anything.
            row("GGUF", f"{args.cli_gib} GiB sparse", "CLI `tarnwick embed -o`", fmt_time(c["embed"]),
                "(memory only)", f"{c['embed_peak'] / MIB:.1f} MiB (cp: {c['cp_peak'] / MIB:.1f} MiB)", "")
            os.unlink(path)

    print("| format | size | operation | median time | ratio | peak memory / model | tarnwick / peer |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")

    if args.plot:
        plot(plot_data, args.plot)


def plot(data: dict, out: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    formats = list(MAKERS)
    fig, axes = plt.subplots(1, len(formats), figsize=(5 * len(formats), 4.2), sharey=True)
    for ax, fmt in zip(axes, formats):
        for (f, op), points in sorted(data.items()):
            if f != fmt:
                continue
            xs = [p[0] / MIB for p in points]
            ys = [p[1] for p in points]
            style = dict(color="black", linestyle="--", linewidth=2) if op == "one copy" else {}
            ax.plot(xs, ys, marker="o", label=op, **style)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_title(fmt)
        ax.set_xlabel("model size (MiB)")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("median time (s)")
    axes[-1].legend(fontsize=7, loc="upper left")
    fig.tight_layout()
    fig.savefig(out, dpi=110)


if __name__ == "__main__":
    main()
