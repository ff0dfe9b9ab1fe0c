"""Benchmark rows for signing and verifying, each a ratio of times measured
in turns in the same run:

  sign_file        / embed_file(reserve=..., hash="sha256")   target <= 1.1
  verify_file      / the SDK's own validation (c2pa.Reader)    target <= 1.1

on the same model (GGUF, random tensor data, written and synced before any
timing, so it sits clean in the page cache). Signing should add work
proportional to the store, not the model; verifying should add work
proportional to the metadata: the SDK hashes the model, tarnwick does not
hash it again.

    python bench/bench_sign.py             # 1 GiB, 5 runs; prints a Markdown table
    python bench/bench_sign.py --short     # 64 MiB, 2 runs (CI: keeps it from rotting)

Needs the c2pa extra. The module is the one on the path (PYTHONPATH=build
for a local build)."""

import argparse
import io
import json
import os
import pathlib
import statistics
import sys
import tempfile
import time

import tarnwick

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from gguf_files import gguf_file, kv, tensor, v_str  # noqa: E402


def write_model(path, size):
    """A GGUF model with one F32 tensor of `size` random bytes."""
    head = gguf_file([kv("general.architecture", v_str("llama"))], [tensor("w", [size // 4])], b"")
    with open(path, "wb") as f:
        f.write(head)
        left = size
        while left:
            chunk = min(left, 16 << 20)
            f.write(os.urandom(chunk))
            left -= chunk
        f.flush()
        os.fsync(f.fileno())


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--short", action="store_true")
    p.add_argument("--size", type=int, help="model size in MiB")
    p.add_argument("--runs", type=int)
    p.add_argument("--tmp")
    a = p.parse_args()
    size = (a.size or (64 if a.short else 1024)) << 20
    runs = a.runs or (2 if a.short else 5)

    import c2pa
    import credentials
    chain, key, ca = credentials.credentials()
    with tempfile.TemporaryDirectory(dir=a.tmp) as tmp:
        model, out, embedded = (os.path.join(tmp, n) for n in ("m.gguf", "out.gguf", "embedded.gguf"))
        write_model(model, size)
        from tarnwick import _sdk
        calls = _sdk.load("sign")
        reserve = len(calls.placeholder(credentials.builder("m"), credentials.signer(chain, key)))

        def embed():
            tarnwick.embed_file(model, reserve=reserve, hash="sha256", output=embedded)

        def sign():
            tarnwick.sign_file(model, cert=chain, key=key, output=out)

        store = None

        def verify():
            v = tarnwick.verify_file(out, trust=ca)
            assert v.state == "trusted", v

        def sdk():
            context = c2pa.Context.from_dict({"trust": {"user_anchors": ca.decode()}})
            with open(out, "rb") as f, c2pa.Reader("application/octet-stream", f, store, context) as r:
                json.loads(r.json())

        times = {"embed": [], "sign": [], "verify": [], "sdk": []}
        for run in range(runs):
            pair = (("embed", embed), ("sign", sign))
            for name, fn in pair if run % 2 == 0 else pair[::-1]:  # neither always goes first
                old = embedded if name == "embed" else out  # no timing includes freeing an earlier output
                if os.path.exists(old):
                    os.unlink(old)
                times[name].append(timed(fn))
            store = tarnwick.read_file(out)
            pair = (("sdk", sdk), ("verify", verify))
            for name, fn in pair if run % 2 == 0 else pair[::-1]:
                times[name].append(timed(fn))

    mib = size >> 20
    print(f"| row ({mib} MiB GGUF, {runs} runs, min / median s) | tarnwick | baseline | ratio (min) | target |")
    print("|---|---|---|---|---|")
    for label, ours, base in (("sign_file vs embed_file(reserve, hash)", "sign", "embed"),
                              ("verify_file vs c2pa.Reader", "verify", "sdk")):
        o, b = times[ours], times[base]
        print(f"| {label} | {min(o):.3f} / {statistics.median(o):.3f} | {min(b):.3f} / {statistics.median(b):.3f} "
              f"| {min(o) / min(b):.3f} | <= 1.1 |")


if __name__ == "__main__":
    main()
