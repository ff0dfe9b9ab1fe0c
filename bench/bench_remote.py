"""Verifying a model at a URL, against the floors it is held to: every member
streamed through `curl | openssl dgst -sha256` (4 at once), fetched with
`curl -o /dev/null` (4 at once), and hashed locally (hashlib, 4 threads), side
by side in one run, in alternating order; then from memory:// and file://
against a local verify_model. Target: the URL at most 1.1 x the slowest
baseline, memory:// and file:// at most 1.1 x local. Times are reported, never
asserted.

    python bench/bench_remote.py            # 4 shards of 512 MiB
    python bench/bench_remote.py --short    # 4 shards of 16 MiB (CI)

The server is a Range-capable HTTP server on loopback in a subprocess (this
file with --serve). Each verify runs in a child process, which reports its
time and its peak RSS growth (getrusage maxrss) over the verify alone.

Needs the build on PYTHONPATH (or tarnwick installed), numpy, safetensors,
fsspec, curl, openssl and the C2PA SDK; the test credentials come from
tests/credentials.py."""

import argparse
import concurrent.futures
import hashlib
import http.server
import json
import os
import pathlib
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
WORKERS = 4


# --- the server (a subprocess) ----------------------------------------------

class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):  # noqa: N802 - the base class's name
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            self.send_error(404)
            return
        size = os.path.getsize(path)
        ranged = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
        start, end = (int(ranged[1]), min(int(ranged[2]), size - 1)) if ranged else (0, size - 1)
        self.send_response(206 if ranged else 200)
        if ranged:
            self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
        self.send_header("Content-Length", str(end - start + 1))
        self.end_headers()
        self.wfile.flush()
        with open(path, "rb") as f:
            self.connection.sendfile(f, start, end - start + 1)


def serve(folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), lambda *a: Handler(*a, directory=folder))
    server.daemon_threads = True
    server.handle_error = lambda *a: None  # a client closing a kept-alive connection
    print(server.server_address[1], flush=True)
    server.serve_forever()


# --- a verify in a child process ----------------------------------------------

def child(kind, target, trust):
    import tarnwick
    tarnwick.verify_model  # noqa: B018 - imported before the measure
    from tarnwick import _sdk
    _sdk.load("verify")
    if kind == "memory":
        import fsspec
        fs = fsspec.filesystem("memory")
        for path in sorted(pathlib.Path(target).iterdir()):
            fs.pipe_file("/bench/" + path.name, path.read_bytes())
        target = "memory://bench"
    # maxrss keeps the high-water mark of the process that forked this one;
    # where the kernel allows, the mark is reset to the memory held now.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = _status("VmHWM") or resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = time.perf_counter()
    v = tarnwick.verify_model(target, trust=trust)
    seconds = time.perf_counter() - t
    after = _status("VmHWM") or resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "rss_kib": after - before, "peak_kib": after, "state": v.state}))


def _status(field):
    """A field of /proc/self/status in KiB, or None."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def run_child(kind, target, trust):
    out = subprocess.run([sys.executable, __file__, "--child", kind, target, trust],
                         capture_output=True, text=True, check=True)
    r = json.loads(out.stdout.strip().splitlines()[-1])
    if r["state"] != "trusted":
        raise SystemExit(f"{kind}: {target} verified {r['state']}")
    return r


# --- the baselines -------------------------------------------------------------

def parallel_shell(commands):
    t = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS) as p:
        list(p.map(lambda c: subprocess.run(c, shell=True, check=True, stdout=subprocess.DEVNULL), commands))
    return time.perf_counter() - t


def hash_one(path):
    h = hashlib.sha256()
    with open(path, "rb", buffering=0) as f:
        while chunk := f.read(8 << 20):
            h.update(chunk)
    return h.digest()


def hash_local(paths):
    t = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS) as p:
        list(p.map(hash_one, paths))
    return time.perf_counter() - t


def make_model(folder, shards, mib, creds):
    import numpy as np
    from safetensors.numpy import save_file
    import tarnwick
    folder.mkdir(parents=True)
    rng = np.random.default_rng(0)
    weight_map = {}
    for i in range(shards):
        name = f"model-{i + 1:05d}-of-{shards:05d}.safetensors"
        t = np.frombuffer(rng.bytes(mib << 20), dtype=np.float32)
        save_file({f"w{i}": t}, str(folder / name))
        weight_map[f"w{i}"] = name
    (folder / "model.safetensors.index.json").write_text(json.dumps({"weight_map": weight_map}))
    tarnwick.sign_model(str(folder), cert=creds[0], key=creds[1])
    return folder


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--short", action="store_true", help="4 shards of 16 MiB")
    ap.add_argument("--mib", type=int, default=512)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--serve", metavar="DIR")
    ap.add_argument("--child", nargs=3, metavar=("KIND", "TARGET", "TRUST"))
    a = ap.parse_args()
    if a.serve:
        return serve(a.serve)
    if a.child:
        return child(*a.child)
    mib = 16 if a.short else a.mib
    sys.path.insert(0, str(HERE.parent / "tests"))
    import credentials
    creds = credentials.credentials()
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        folder = make_model(root / "model", WORKERS, mib, creds)
        trust = root / "ca.pem"
        trust.write_bytes(creds[2])
        server = subprocess.Popen([sys.executable, __file__, "--serve", str(folder)], stdout=subprocess.PIPE,
                                  text=True)
        try:
            base = f"http://127.0.0.1:{server.stdout.readline().strip()}/"
            files = sorted(p.name for p in folder.iterdir() if p.name != "model.c2pa")
            index = base + "model.safetensors.index.json"
            rows = {
                "verify URL": lambda: run_child("url", index, str(trust)),
                "curl | openssl dgst": lambda: parallel_shell(
                    [f"curl -sf {base}{n} | openssl dgst -sha256" for n in files]),
                "curl -o /dev/null": lambda: parallel_shell([f"curl -sf -o /dev/null {base}{n}" for n in files]),
                "hashlib, 4 threads": lambda: hash_local([folder / n for n in files]),
                "verify local": lambda: run_child("local", str(folder), str(trust)),
                "verify file://": lambda: run_child("url", "file://" + str(folder), str(trust)),
                "verify memory://": lambda: run_child("memory", str(folder), str(trust)),
            }
            times, rss = {k: [] for k in rows}, {}
            names = list(rows)
            for r in range(a.rounds):
                order = names[r % len(names):] + names[:r % len(names)]
                if r % 2:
                    order.reverse()
                for name in order:
                    out = rows[name]()
                    if isinstance(out, dict):
                        times[name].append(out["seconds"])
                        grown, peak = rss.get(name, (0, 0))
                        rss[name] = (max(grown, out["rss_kib"]), max(peak, out["peak_kib"]))
                    else:
                        times[name].append(out)
        finally:
            server.kill()
            server.wait()
    median = {k: statistics.median(v) for k, v in times.items()}
    folder_size = WORKERS * (mib << 20)
    print(f"model: {WORKERS} shards of {mib} MiB, {a.rounds} rounds, median seconds\n")
    print("| row | seconds | MiB/s | peak RSS growth in the verify | peak RSS |\n|---|---:|---:|---:|---:|")
    for k, s in median.items():
        grow, peak = (f"{rss[k][0] / 1024:.1f} MiB", f"{rss[k][1] / 1024:.0f} MiB") if k in rss else ("", "")
        print(f"| {k} | {s:.3f} | {folder_size / (1 << 20) / s:.0f} | {grow} | {peak} |")
    slowest = max(median["curl | openssl dgst"], median["curl -o /dev/null"], median["hashlib, 4 threads"])
    print(f"\nverify URL / slowest baseline: {median['verify URL'] / slowest:.2f} (target <= 1.1)")
    print(f"verify file:// / local: {median['verify file://'] / median['verify local']:.2f} (target <= 1.1)")
    print(f"verify memory:// / local: {median['verify memory://'] / median['verify local']:.2f} (target <= 1.1)")


if __name__ == "__main__":
    main()
