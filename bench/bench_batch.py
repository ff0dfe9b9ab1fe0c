"""Benchmark: verifying a batch of signed models on a local Ray cluster of
two CPUs against the thread engine with two workers, in turns in the same
run (the order alternating, the models already in the page cache):

  Ray engine / thread engine   (target <= 1.3)

and the throughput of one node (MB/s) each engine measured: the figure
docs/batch.md scales to a cluster.

    python bench/bench_batch.py            # 40 models of 64 MiB, 3 runs
    python bench/bench_batch.py --short    # 8 models of 4 MiB, 2 runs (CI)

Needs the c2pa and ray extras; the test credentials come from
tests/credentials.py. Asserts nothing about time."""

import argparse
import logging
import os
import pathlib
import statistics
import sys
import tempfile
import time

import tarnwick
import tarnwick.batch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import credentials  # noqa: E402
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


def run(engine, models, ca):
    start = time.perf_counter()
    rows = list(tarnwick.batch.verify(models, trust=ca, engine=engine, workers=2))
    seconds = time.perf_counter() - start
    assert len(rows) == len(models) and all(r.state == "trusted" for r in rows), [r.error for r in rows]
    return seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--short", action="store_true")
    a = ap.parse_args()
    count, size, runs = (8, 4 << 20, 2) if a.short else (40, 64 << 20, 3)
    import ray
    chain, key, ca = credentials.credentials()
    with tempfile.TemporaryDirectory() as folder:
        models = []
        for i in range(count):
            path = os.path.join(folder, f"m{i:03d}.gguf")
            write_model(path, size)
            tarnwick.sign_file(path, cert=chain, key=key)
            models.append(path)
        total = sum(os.path.getsize(m) for m in models)
        ray.init(num_cpus=2, include_dashboard=False, logging_level=logging.WARNING)
        try:
            run("ray", models[:2], ca)  # the workers started and tarnwick imported in them
            run("thread", models, ca)   # the page cache warm
            times = {"thread": [], "ray": []}
            for i in range(runs):
                for engine in (("thread", "ray") if i % 2 == 0 else ("ray", "thread")):
                    times[engine].append(run(engine, models, ca))
        finally:
            ray.shutdown()
    thread, on_ray = statistics.median(times["thread"]), statistics.median(times["ray"])
    mb = total / 1e6
    print(f"{count} signed models of {size >> 20} MiB ({mb:.0f} MB), {runs} runs, {os.cpu_count()} CPUs here")
    print("| engine | median s | MB/s (one node, 2 CPUs) |")
    print("|---|---|---|")
    print(f"| thread (2 workers) | {thread:.2f} | {mb / thread:.0f} |")
    print(f"| Ray (local, num_cpus=2) | {on_ray:.2f} | {mb / on_ray:.0f} |")
    print(f"Ray / thread: {on_ray / thread:.2f} (target <= 1.3)")


if __name__ == "__main__":
    main()
