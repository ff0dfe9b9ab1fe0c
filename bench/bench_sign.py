"""Benchmark rows for signing and verifying one file, each a ratio of times
measured in turns in the same run, on the same model (GGUF, random tensor
data, written and synced before any timing, so it sits clean in the page
cache):

  sign_file            / embed_file(reserve=..., hash="sha256")   <= 1.1
  verify_file          / SHA-256 of the file (hashlib, 1 MiB reads) <= 1.05
  re-signing in place  / a first signing into a new file          <= 1.1

and, in a child process each, the peak resident memory that verify_file and
a re-signing add (<= 64 MiB whatever the model's size), and the store's size
after seven re-signs.

    python bench/bench_sign.py             # 2 GiB, 5 runs; prints a Markdown table
    python bench/bench_sign.py --short     # 64 MiB, 2 runs (CI: keeps it from rotting)

Needs the c2pa extra. The module is the one on the path (PYTHONPATH=build
for a local build)."""

import argparse
import hashlib
import os
import pathlib
import shutil
import statistics
import subprocess
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


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb", buffering=0) as f:
        while True:
            data = f.read(1 << 20)
            if not data:
                return h.digest()
            h.update(data)


PEAK = r"""
import resource, sys, tarnwick, tarnwick._sdk, tarnwick._verify
what, model, chain, key, ca = sys.argv[1:6]
tarnwick._sdk.load("sign")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if what == "verify":
    assert tarnwick.verify_file(model, trust=ca).state == "trusted"
else:
    tarnwick.sign_file(model, cert=chain, key=key)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


def peak_growth(what, path, pems):
    """MiB of peak resident memory that one call adds, in a fresh process."""
    r = subprocess.run([sys.executable, "-c", PEAK, what, path, *pems], capture_output=True, text=True, check=True)
    return int(r.stdout)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--short", action="store_true")
    p.add_argument("--size", type=int, help="model size in MiB")
    p.add_argument("--runs", type=int)
    p.add_argument("--tmp")
    a = p.parse_args()
    size = (a.size or (64 if a.short else 2048)) << 20
    runs = a.runs or (2 if a.short else 5)

    import credentials
    chain, key, ca = credentials.credentials()
    with tempfile.TemporaryDirectory(dir=a.tmp) as tmp:
        model, out, embedded, again = (os.path.join(tmp, n) for n in ("m.gguf", "out.gguf", "embedded.gguf",
                                                                        "again.gguf"))
        write_model(model, size)
        from tarnwick import _sdk
        calls = _sdk.load("sign")
        reserve = len(calls.placeholder(credentials.builder("m"), credentials.signer(chain, key)))

        def embed():
            tarnwick.embed_file(model, reserve=reserve, hash="sha256", output=embedded)

        def sign():
            tarnwick.sign_file(model, cert=chain, key=key, output=out)

        def resign():
            tarnwick.sign_file(again, cert=chain, key=key)

        def verify():
            v = tarnwick.verify_file(out, trust=ca)
            assert v.state == "trusted", v

        def sha256():
            sha256_file(out)

        times = {k: [] for k in ("embed", "sign", "resign", "verify", "sha256")}
        for run in range(runs):
            for name in ("embed", "sign"):
                old = embedded if name == "embed" else out  # no timing includes freeing an earlier output
                if os.path.exists(old):
                    os.unlink(old)
            shutil.copyfile(model, again)
            tarnwick.sign_file(again, cert=chain, key=key)
            os.sync()
            trio = (("embed", embed), ("sign", sign), ("resign", resign))
            for name, fn in trio if run % 2 == 0 else trio[::-1]:  # none always goes first
                times[name].append(timed(fn))
            pair = (("sha256", sha256), ("verify", verify))
            for name, fn in pair if run % 2 == 0 else pair[::-1]:
                times[name].append(timed(fn))
        pems = []
        for name, data in (("chain.pem", chain), ("key.pem", key), ("ca.pem", ca)):
            pems.append(os.path.join(tmp, name))
            with open(pems[-1], "wb") as f:
                f.write(data)
        verify_mib = peak_growth("verify", out, pems)
        resign_mib = peak_growth("sign", again, pems)
        first_store = tarnwick.inspect(out).store_size
        for _ in range(7):
            resign()
        seventh_store = tarnwick.inspect(again).store_size

    mib = size >> 20
    print(f"| row ({mib} MiB GGUF, {runs} runs, min / median s) | tarnwick | baseline | ratio (min) | target |")
    print("|---|---|---|---|---|")
    for label, ours, base, target in (
            ("sign_file vs embed_file(reserve, hash)", "sign", "embed", "<= 1.1"),
            ("verify_file vs SHA-256 of the file", "verify", "sha256", "<= 1.05"),
            ("re-signing in place vs a first signing", "resign", "sign", "<= 1.1")):
        o, b = times[ours], times[base]
        print(f"| {label} | {min(o):.3f} / {statistics.median(o):.3f} | {min(b):.3f} / {statistics.median(b):.3f} "
              f"| {min(o) / min(b):.3f} | {target} |")
    print()
    print(f"peak RSS growth: verify_file {verify_mib} MiB, re-signing in place {resign_mib} MiB (<= 64 MiB)")
    print(f"store: {first_store} bytes when first signed, {seventh_store} bytes after eight re-signs")


if __name__ == "__main__":
    main()
