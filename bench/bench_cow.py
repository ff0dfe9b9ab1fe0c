"""Rewrites on copy-on-write file systems: an embed of a model of each format
on loop-mounted XFS (reflink) and btrfs, where the tensor data's blocks are
shared with the source instead of copied, and on ext4, where they are
copied, against the plain copy in the same run. Run as root.

    python bench/bench_cow.py            # 4 GiB models, 5 runs; writes bench/results_cow.md
    python bench/bench_cow.py --short    # 64 MiB, 2 runs, nothing written (CI: keeps it from rotting)
    python bench/bench_cow.py --size-mib 1024 --runs 7 --tmp /var/tmp --out results.md

Each file system is a sparse image in --tmp, formatted, mounted on a loop
device, and removed at the end. The models hold real data (a 16 MiB random
block written over and over, no holes) and are synced before any timing.
Cases are taken in turns, outputs removed between runs outside the timings.
"Shared" is the fraction of the output's whole tensor-data blocks that
FIEMAP shows shared and at the same physical place as the source's bytes.
The module is the one on the path (PYTHONPATH=build); the command-line tool
is $TARNWICK_CLI, else the one installed beside the interpreter or on PATH.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import tarnwick  # noqa: E402
from bench_files import (MAKERS, MIB, GIB, SYNC_FILE_RANGE, SYNC_FILE_RANGE_WRITE, Stat,  # noqa: E402
                         cli_program, fmt_time, hashlib_file, machine, remove, settle, turns)
import loopfs  # noqa: E402

URI = "https://example.com/manifests/model.c2pa"
STORE = os.urandom(16 * 1024)
RESERVE = 20_000
TARGET = 0.050  # seconds, on a file system that shares blocks


def data_range(model: str, fmt: str, off: int, length: int) -> tuple[int, int]:
    """(offset, length) of the model's tensor data, or of a part of it that
    holds all but its edge blocks: the ONNX maker reports the whole file,
    whose tensor data lies between a head and a tail of under 64 bytes."""
    if fmt != "ONNX":
        return off, length
    return 64, os.path.getsize(model) - 128


def found_at(model: str, old: int, out: str, block: int) -> int:
    """Where the output holds the model's tensor data (the head may grow by
    the new C2PA data and up to a block of padding)."""
    with open(model, "rb") as f:
        f.seek(old)
        probe = f.read(4096)
    with open(out, "rb") as f:
        head = f.read(old + 4 * MIB + block)
    at = head.find(probe)
    if at < 0:
        raise RuntimeError(f"tensor data not found in {out}")
    return at


def shared(model: str, out: str, old: int, length: int) -> tuple[int, int]:
    block = max(4096, os.stat(out).st_blksize)
    new = found_at(model, old, out, block)
    return loopfs.shared_blocks(model, old, out, new, length, block)


def copy_file(src: str, dst: str, *, reflink: bool, sync: bool) -> None:
    subprocess.run(["cp", "--reflink=always" if reflink else "--reflink=never", src, dst], check=True)
    if sync:
        fd = os.open(dst, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def kernel_copy(src: str, dst: str, head: int, offset: int, length: int) -> None:
    """`head` bytes, then the tensor data copied by the kernel in 16 MiB
    calls, written back as it goes, then fsync: a rewrite's own work, with
    the data at `head` (congruent to `offset` or not)."""
    fi = os.open(src, os.O_RDONLY)
    fo = os.open(dst, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fo, bytes(head))
        at, left = offset, length
        while left:
            n = os.copy_file_range(fi, fo, min(left, 16 * MIB), at)
            if n == 0:
                raise OSError("short copy")
            at += n
            left -= n
            if SYNC_FILE_RANGE is not None:
                SYNC_FILE_RANGE(fo, 0, 0, SYNC_FILE_RANGE_WRITE)
        os.fsync(fo)
    finally:
        os.close(fo)
        os.close(fi)


class Table:
    def __init__(self):
        self.rows = []

    def row(self, fs, fmt, what, stat=None, ratio="", share="", goal="", met=None):
        cells = (fs, fmt, what, fmt_time(stat.min) if stat else "", fmt_time(stat.median) if stat else "",
                 ratio, share, goal, "" if met is None else ("met" if met else "**missed**"))
        self.rows.append(cells)
        print("  " + " | ".join(cells), file=sys.stderr, flush=True)


def ratio(a: Stat, b: Stat) -> str:
    return f"{a.median / b.median:.2f} × ({a.min / b.min:.2f} × by min)"


def fraction(counts: tuple[int, int]) -> str:
    s, t = counts
    return f"{s / t:.4%} ({s}/{t})" if t else "no whole blocks"


def run_fs(kind: str, size: int, runs: int, formats, tmp, cli, table: Table) -> None:
    image = int(2.5 * size) + GIB
    with loopfs.mounted(kind, image, parent=tmp) as point:
        print(f"{kind}: {image // MIB} MiB image at {point}", file=sys.stderr, flush=True)
        for fmt in formats:
            make, suffix = MAKERS[fmt]
            model = os.path.join(point, "model" + suffix)
            out = os.path.join(point, "out" + suffix)
            off, length = make(model, size)
            settle(model)
            old, length = data_range(model, fmt, off, length)

            def embed():
                tarnwick.embed_file(model, store=STORE, uri=URI, output=out)

            def embed_hash():
                tarnwick.embed_file(model, reserve=RESERVE, hash="sha256", output=out)

            def embed_cli():
                subprocess.run([cli, "embed", model, "--store", store_path, "--uri", URI, "-q", "-o", out],
                               check=True)

            store_path = os.path.join(point, "store")
            pathlib.Path(store_path).write_bytes(STORE)
            gone = lambda: remove(out)  # noqa: E731

            # Where the output's data lies, and whether it is shared, from
            # one embed outside the timings.
            embed()
            counts = shared(model, out, old, length)
            new = found_at(model, old, out, max(4096, os.stat(out).st_blksize))
            remove(out)

            if loopfs.SHARES[kind]:
                def reflink_and_read():
                    copy_file(model, out, reflink=True, sync=True)
                    hashlib_file(out)

                cases = {"embed": (embed, gone), "hash": (embed_hash, gone),
                         "reflink": (lambda: copy_file(model, out, reflink=True, sync=True), gone),
                         "reflink+read": (reflink_and_read, gone)}
                if cli:
                    cases["cli"] = (embed_cli, gone)
                st = turns(cases, runs)
                embed_hash()
                hash_counts = shared(model, out, old, length)
                remove(out)
                table.row(kind, fmt, "embed_file(store, uri, output=…)", st["embed"], "", fraction(counts),
                          f"≤ {TARGET * 1e3:.0f} ms, all shared",
                          st["embed"].median <= TARGET and counts[0] == counts[1])
                if cli:
                    embed_cli()
                    cli_counts = shared(model, out, old, length)
                    remove(out)
                    table.row(kind, fmt, "CLI `tarnwick embed --store --uri -o`", st["cli"], "",
                              fraction(cli_counts), "all shared", cli_counts[0] == cli_counts[1])
                # The digest reads the new file back: its shared blocks are
                # not in the page cache under its name, as for a reflinked copy.
                table.row(kind, fmt, "embed_file(reserve, hash='sha256') / (cp --reflink + fsync, then "
                          "hashlib.sha256 reading the copy)", st["hash"], ratio(st["hash"], st["reflink+read"]),
                          fraction(hash_counts), "one read: ≈ 1 ×, all shared", hash_counts[0] == hash_counts[1])
                table.row(kind, fmt, "cp --reflink=always + fsync (baseline)", st["reflink"])
                table.row(kind, fmt, "cp --reflink=always + fsync, then hashlib.sha256 reading the copy (baseline)",
                          st["reflink+read"])
            else:
                # The same copy with the data 1000 bytes off congruence: the
                # layout of the bytes functions, which does not pad.
                cases = {"embed": (embed, gone),
                         "cp": (lambda: copy_file(model, out, reflink=False, sync=True), gone),
                         "kernel": (lambda: kernel_copy(model, out, new, old, length), gone),
                         "unpadded": (lambda: kernel_copy(model, out, new + 1000, old, length), gone)}
                st = turns(cases, runs)
                table.row(kind, fmt, "embed_file(store, uri, output=…) / (cp + fsync)", st["embed"],
                          ratio(st["embed"], st["cp"]), fraction(counts), "≤ 1 ×, none shared",
                          st["embed"].median <= st["cp"].median and counts[0] == 0)
                table.row(kind, fmt, "kernel copy at embed_file's offsets / at 1000 bytes off (padding's cost)",
                          st["kernel"], ratio(st["kernel"], st["unpadded"]), "", "≈ 1 ×")
                table.row(kind, fmt, "cp --reflink=never + fsync (baseline)", st["cp"])
                table.row(kind, fmt, "kernel copy + writeback + fsync, 1000 bytes off (baseline)", st["unpadded"])
            remove(model, store_path)


def write_markdown(table: Table, path: str, header: list[str]) -> None:
    old = pathlib.Path(path).read_text() if os.path.exists(path) else ""
    kept = old[old.index("## Analysis"):] if "## Analysis" in old else ""
    lines = ["# Rewrites on copy-on-write file systems: benchmark", "",
             "Written by `bench/bench_cow.py` (do not edit above the Analysis section; it is kept across runs).",
             "", *header, "",
             "| file system | format | measurement | min | median | ratio: median (min) | tensor blocks shared | goal | |",
             "|---|---|---|---|---|---|---|---|---|"]
    lines += ["| " + " | ".join(r) + " |" for r in table.rows]
    pathlib.Path(path).write_text("\n".join(lines) + "\n\n" + kept)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--short", action="store_true", help="64 MiB models, 2 runs, no results file (CI)")
    ap.add_argument("--size-mib", type=int, help="model size (default 4096, or 64 with --short)")
    ap.add_argument("--runs", type=int, help="runs per case (default 5, or 2 with --short)")
    ap.add_argument("--tmp", help="folder for the images (default: the system's temporary folder)")
    ap.add_argument("--fs", default="xfs,btrfs,ext4")
    ap.add_argument("--formats", default="GGUF,SafeTensors,ONNX")
    ap.add_argument("--out", help="results file (default: bench/results_cow.md; none with --short)")
    a = ap.parse_args()
    size = (a.size_mib or (64 if a.short else 4096)) * MIB
    runs = a.runs or (2 if a.short else 5)
    out = a.out or (None if a.short else str(HERE / "results_cow.md"))
    kinds = a.fs.split(",")
    for kind in kinds:
        reason = loopfs.unavailable(kind)
        if reason:
            sys.exit(f"{kind}: {reason}")
    cli = cli_program()
    table = Table()
    t0, load0 = time.time(), os.getloadavg()[0]
    for kind in kinds:
        run_fs(kind, size, runs, a.formats.split(","), a.tmp, cli, table)
    label = f"{size / GIB:g} GiB" if size >= GIB else f"{size // MIB} MiB"
    header = machine() + [
        f"- {label} models on loop-mounted images (sparse files in {a.tmp or '/tmp'}): "
        + ", ".join(f"{k} ({_version(k)})" for k in kinds),
        f"- {runs} runs per case, cases in turns; models synced before timing; every embed_file fsyncs",
        f"- load average (1 min) {load0:.2f} before, {os.getloadavg()[0]:.2f} after; {time.time() - t0:.0f} s in all",
    ]
    if out:
        write_markdown(table, out, header)
        print(f"wrote {out}", file=sys.stderr)


def _version(kind: str) -> str:
    tool = {"xfs": ["mkfs.xfs", "-V"], "btrfs": ["mkfs.btrfs", "--version"], "ext4": ["mkfs.ext4", "-V"]}[kind]
    try:
        done = subprocess.run([loopfs._tool(tool[0]) or tool[0], *tool[1:]], capture_output=True, text=True)
    except OSError:
        return "?"
    text = (done.stdout or done.stderr).strip().splitlines()
    return text[0] if text else "?"


if __name__ == "__main__":
    main()
