"""Opening a model from sealed copies (open_verified) against verifying it in
place (verify_model), on a sharded SafeTensors model, side by side in one
run, in alternating order. open_verified reads every byte once more than
verify_model (into the copies) and holds the model in memory while open; the
row says what that costs. The copy alone (_seal_copy of each file, no
hash) is measured too, as the floor of what opening adds.

    python bench/bench_open.py              # 4 shards of 64 MiB
    python bench/bench_open.py --short      # 4 shards of 16 MiB (CI)
    python bench/bench_open.py --shards 8 --mib 256

Needs the build on PYTHONPATH (or tarnwick installed), numpy, safetensors and
the C2PA SDK; the test credentials come from tests/credentials.py."""

import argparse
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import credentials  # noqa: E402
import tarnwick  # noqa: E402
from bench_many import make_model  # noqa: E402
from tarnwick import _native  # noqa: E402


def seal_all(folder):
    for path in sorted(folder.iterdir()):
        fd = _native._seal_copy(path, hash=False)[0]
        os.close(fd)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--shards", type=int, default=4)
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--short", action="store_true")
    a = ap.parse_args()
    if a.short:
        a.mib, a.rounds = 16, 2
    chain, key, ca = credentials.credentials()
    root = pathlib.Path(tempfile.mkdtemp(prefix="bench-open-", dir=os.environ.get("BENCH_DIR")))
    try:
        model = make_model(root / "model", a.shards, a.mib)
        tarnwick.sign_model(model, cert=chain, key=key)

        def verify():
            assert tarnwick.verify_model(model, trust=ca).state == "trusted"

        def open_():
            with tarnwick.open_verified(model, trust=ca) as m:
                assert m.verification.state == "trusted"

        def copy():
            seal_all(model)

        steps = [("verify", verify), ("open", open_), ("copy", copy)]
        times = {name: [] for name, _ in steps}
        for r in range(a.rounds):
            for name, step in steps if r % 2 == 0 else steps[::-1]:
                t = time.perf_counter()
                step()
                times[name].append(time.perf_counter() - t)
        best = {k: min(v) for k, v in times.items()}
        median = {k: statistics.median(v) for k, v in times.items()}
        total = sum(p.stat().st_size for p in model.iterdir()) / (1 << 20)
        print(f"model: {a.shards} shards of {a.mib} MiB ({total:.0f} MiB), {os.cpu_count()} cores, "
              f"{a.rounds} rounds, best (median)")
        for k in ("verify", "open", "copy"):
            print(f"  {k:<7} {best[k]:7.3f} s ({median[k]:.3f})")
        print(f"  open / verify          = {best['open'] / best['verify']:.2f}")
        print(f"  open / (verify + copy) = {best['open'] / (best['verify'] + best['copy']):.2f}")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
