"""Peak extra memory of reads and rewrites of a GGUF made of millions of
tiny metadata entries (13 bytes each: empty key, UINT8 value).

    python bench/bench_gguf_memory.py [--entries 8000000] [--module-dir DIR ...]

Each operation runs in a fresh process: the resident high-water mark is
reset (/proc/self/clear_refs) once the model is built or written, and the
rise above the resident size at that point is the operation's peak extra
memory. A rewrite's result (about the model's size) is part of it; the
column "without the result" leaves it out. The file functions map the model,
so their rise includes the model's pages as they are read; a thread samples
the anonymous part alone. With several --module-dir, each is measured in
turn (e.g. a build before a change and one after).
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

ENTRY = struct.pack("<Q", 0) + struct.pack("<I", 0) + b"\x07"  # key "", UINT8 7
# a URI entry after each: every one is dropped by a rewrite, so no two kept
# entries are adjacent
URI = struct.pack("<Q", 17) + b"c2pa:manifest.uri" + struct.pack("<IQ", 8, 0)
STORE = b"s" * 4096
SHAPES = {"tiny entries": ENTRY, "tiny entries, each followed by a URI entry": ENTRY + URI}


def model(entries: int, shape: str) -> bytes:
    unit = SHAPES[shape]
    tensor = struct.pack("<Q", 1) + b"w" + struct.pack("<I", 1) + struct.pack("<Q", 16)
    tensor += struct.pack("<I", 0) + struct.pack("<Q", 0)
    count = entries * (1 if unit == ENTRY else 2)
    head = b"GGUF" + struct.pack("<IQQ", 3, 1, count) + unit * entries + tensor
    return head + bytes(-len(head) % 32) + bytes(64)


def status_kib(name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise RuntimeError(name)


def child(entries: int, shape: str, operation: str, tmp: str) -> None:
    import tarnwick

    data = model(entries, shape)
    path = os.path.join(tmp, "model.gguf")
    out = os.path.join(tmp, "out.gguf")
    calls = {
        "read_manifest_uri": lambda: tarnwick.read_manifest_uri(data),
        "embed_manifest": lambda: tarnwick.embed_manifest(data, STORE),
        "remove_manifest": lambda: tarnwick.remove_manifest(data),
        "inspect (file)": lambda: tarnwick.inspect(path),
        "embed_file": lambda: tarnwick.embed_file(path, store=STORE, output=out),
    }
    if operation.endswith("(file)") or operation == "embed_file":
        with open(path, "wb") as f:
            f.write(data)
        data = None
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    base = status_kib("RssAnon")
    anon = [base]
    stop = threading.Event()

    def sample():
        while not stop.is_set():
            anon[0] = max(anon[0], status_kib("RssAnon"))
            time.sleep(0.002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        result = calls[operation]()
    finally:
        stop.set()
        sampler.join()
    peak = (status_kib("VmHWM") - before) * 1024
    size = len(result) if isinstance(result, bytes) else 0
    print(json.dumps({"operation": operation, "model": os.path.getsize(path) if data is None else len(data),
                      "peak": peak,
                      "result": size, "anon": (anon[0] - base) * 1024}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=8_000_000)
    parser.add_argument("--module-dir", action="append", help="directory holding the tarnwick module")
    parser.add_argument("--shape", choices=SHAPES, action="append")
    parser.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(int(args.child[0]), *args.child[1:])
        return
    dirs = args.module_dir or [""]
    mib = 1 << 20
    print(f"{args.entries:,} units")
    print()
    print("| module | model of | operation | model | peak extra | without the result | anonymous (sampled) |")
    print("|---|---|---|---|---|---|---|")
    for shape, module_dir in ((s, d) for s in args.shape or list(SHAPES) for d in dirs):
        env = dict(os.environ)
        if module_dir:
            env["PYTHONPATH"] = module_dir
        operations = ["embed_manifest", "remove_manifest", "embed_file"]
        if SHAPES[shape] == ENTRY:  # the other has duplicate URIs, which reads refuse
            operations[:0] = ["read_manifest_uri", "inspect (file)"]
        for operation in operations:
            with tempfile.TemporaryDirectory() as tmp:
                out = subprocess.run([sys.executable, __file__, "--child", str(args.entries), shape, operation, tmp],
                                     capture_output=True, text=True, env=env)
            if out.returncode != 0:
                print(f"| {module_dir} | {shape} | {operation} | failed: {out.stderr.strip().splitlines()[-1]} | | | |")
                continue
            r = json.loads(out.stdout)
            print(f"| {module_dir or '(default)'} | {shape} | {operation} | {r['model'] / mib:.0f} MiB | "
                  f"{r['peak'] / mib:.1f} MiB | {(r['peak'] - r['result']) / mib:.1f} MiB | "
                  f"{r['anon'] / mib:.1f} MiB |", flush=True)


if __name__ == "__main__":
    main()
