"""Benchmarks: rewrites against one plain copy, reads against model size,
peak memory, and tarnwick against the peer libraries.

    python bench/bench.py            # 16 and 64 MiB, a few minutes
    python bench/bench.py --full     # 16 MiB, 256 MiB and 1 GiB
    python bench/bench.py --short    # tiny sizes, seconds (CI: keeps it from rotting)
    python bench/bench.py --sizes 16,128 --runs 7 --plot bench/results.png

Every figure is a ratio measured side by side in the same run, so a noisy
shared machine moves both sides alike. Times are medians over --runs runs;
memory is measured in a fresh process per case (resident high-water mark
after the operation minus the mark after loading the model).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import tarnwick

MIB = 1 << 20
STORE = bytes(range(256)) * 64  # a 16 KiB manifest store
URI = "https://example.com/manifests/model.c2pa"

# ----------------------------------------------------------------------------
# Models with realistic metadata; the tensor data fills them up to the size.


def _gguf_str(s: str) -> bytes:
    b = s.encode()
    return struct.pack("<Q", len(b)) + b


def make_gguf(size: int) -> bytes:
    n_tokens = 150_000
    tokens = b"".join(_gguf_str(f"tok{i}") for i in range(n_tokens))
    kvs = [
        _gguf_str("general.architecture") + struct.pack("<I", 8) + _gguf_str("llama"),
        _gguf_str("general.alignment") + struct.pack("<II", 4, 32),
        _gguf_str("tokenizer.ggml.tokens") + struct.pack("<IIQ", 9, 8, n_tokens) + tokens,
        _gguf_str("tokenizer.ggml.scores") + struct.pack("<IIQ", 9, 6, n_tokens)
        + struct.pack(f"<{n_tokens}f", *([0.5] * n_tokens)),
    ]
    n_tensors = 300
    info = b"".join(
        _gguf_str(f"blk.{i}.weight") + struct.pack("<IQQIQ", 2, 64, 64, 0, i * 64)
        for i in range(n_tensors)
    )
    head = b"GGUF" + struct.pack("<IQQ", 3, n_tensors, len(kvs)) + b"".join(kvs) + info
    head += bytes(-len(head) % 32)
    return head + _filler(max(size - len(head), 0))


def make_safetensors(size: int) -> bytes:
    n = 300
    per = max(size // n // 4 * 4, 4)
    header = {f"layers.{i}.weight": {"dtype": "F32", "shape": [per // 4], "data_offsets": [i * per, (i + 1) * per]}
              for i in range(n)}
    header["__metadata__"] = {"format": "pt"}
    raw = json.dumps(header, separators=(",", ":")).encode()
    raw += b" " * (-len(raw) % 8)
    return struct.pack("<Q", len(raw)) + raw + _filler(per * n)


def _varint(n: int) -> bytes:
    out = bytearray()
    while True:
        low, n = n & 0x7F, n >> 7
        out.append(low | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _field(number: int, payload) -> bytes:
    if isinstance(payload, int):
        return _varint(number << 3) + _varint(payload)
    if isinstance(payload, str):
        payload = payload.encode()
    return _varint(number << 3 | 2) + _varint(len(payload)) + payload


def make_onnx(size: int) -> bytes:
    raw = _filler(size // 4 * 4)
    # One initializer: dims, data_type FLOAT, name, raw_data.
    tensor = _field(1, len(raw) // 4) + _field(2, 1) + _field(8, "weight") + _field(9, raw)
    graph = _field(2, "main") + _field(5, tensor)
    props = b"".join(_field(14, _field(1, f"key{i}") + _field(2, f"value {i}")) for i in range(40))
    return (_field(1, 8) + _field(2, "bench") + _field(7, graph)
            + _field(8, _field(1, "") + _field(2, 17)) + props)


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


def timed(fn, model, path, runs: int) -> float:
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        result = fn(model, path)
        times.append(time.perf_counter() - t0)
        del result
    return statistics.median(times)


def child(args) -> None:
    """One case in a fresh process: prints time and memory as JSON."""
    path, fmt, op = args.child
    model = pathlib.Path(path).read_bytes()
    if op == "copy":
        fn = lambda m, p: m[1:]  # noqa: E731 - one allocation, one copy
    elif op == "peer_read":
        fn = peer_read(fmt)
    elif op == "peer_embed":
        fn = peer_embed(fmt)
    else:
        fn = {**REWRITES, **READS}[op]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    first = fn(model, path)
    del first
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    seconds = timed(fn, model, path, args.runs)
    print(json.dumps({"seconds": seconds, "peak_bytes": (after - before) * 1024, "size": len(model)}))


def measure(path: str, fmt: str, op: str, runs: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--runs", str(runs), "--child", path, fmt, op],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr.strip() else "failed"}
    return json.loads(out.stdout)


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
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args)
        return

    if args.sizes:
        sizes = [int(s) for s in args.sizes.split(",")]
    elif args.full:
        sizes = [16, 256, 1024]
    elif args.short:
        sizes = [1, 2]
    else:
        sizes = [16, 64]
    runs = 3 if args.short else args.runs

    rows = []
    plot_data: dict = {}
    with tempfile.TemporaryDirectory() as tmp:
        for fmt, (make, ext) in MAKERS.items():
            read_base: dict = {}
            for mib in sizes:
                model = make(mib * MIB)
                # The rewrites need a model with C2PA data to remove; reads need a store.
                model = tarnwick.embed_manifest_both(model, URI, STORE)
                path = os.path.join(tmp, f"model-{mib}{ext}")
                pathlib.Path(path).write_bytes(model)
                del model
                copy = measure(path, fmt, "copy", runs)
                peers = not args.no_peers and not args.short
                peer_e = measure(path, fmt, "peer_embed", min(runs, 3)) if peers else None
                peer_r = measure(path, fmt, "peer_read", runs) if peers else None
                for op in REWRITES:
                    r = measure(path, fmt, op, runs)
                    if "error" in r:
                        rows.append([fmt, f"{mib} MiB", op, "error: " + r["error"], "", "", ""])
                        continue
                    peer = ""
                    if op == "embed_manifest" and peer_e and "seconds" in peer_e:
                        peer = f"{r['seconds'] / peer_e['seconds']:.3f}"
                    rows.append([fmt, f"{mib} MiB", op, fmt_time(r["seconds"]),
                                 f"{r['seconds'] / copy['seconds']:.2f} × copy",
                                 f"{r['peak_bytes'] / r['size']:.2f}", peer])
                    plot_data.setdefault((fmt, op), []).append((r["size"], r["seconds"]))
                plot_data.setdefault((fmt, "one copy"), []).append((copy["size"], copy["seconds"]))
                for op in READS:
                    r = measure(path, fmt, op, runs)
                    read_base.setdefault(op, r["seconds"])
                    peer = ""
                    if op == "read_manifest" and peer_r and "seconds" in peer_r:
                        peer = f"{r['seconds'] / peer_r['seconds']:.4f}"
                    rows.append([fmt, f"{mib} MiB", op, fmt_time(r["seconds"]),
                                 f"{r['seconds'] / read_base[op]:.2f} × {sizes[0]} MiB",
                                 f"{r['peak_bytes'] / r['size']:.3f}", peer])
                    plot_data.setdefault((fmt, op), []).append((r["size"], r["seconds"]))
                os.unlink(path)

    print("| format | size | operation | median time | ratio | peak memory / model | tarnwick / peer |")
    print("|---|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")

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
