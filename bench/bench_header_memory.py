"""Peak extra memory of the SafeTensors operations on a large header of small
members, as a multiple of the header's size.

    python bench/bench_header_memory.py [--mb 50]

Each operation runs in a fresh process: the resident high-water mark is
reset (/proc/self/clear_refs) once the model is built, and the rise above
the resident size at that point is the operation's peak extra memory. The
result of a rewrite (a new file of about the header's size) is part of it;
the second column leaves it out.
"""

import argparse
import json
import struct
import subprocess
import sys

OPERATIONS = ["read_manifest", "read_manifest_uri", "embed_manifest", "remove_manifest", "detect_format"]


SHAPES = {
    "tensor entries": lambda i: f'"blk.{i}.w":{{"dtype":"F32","shape":[1],"data_offsets":[{4 * i},{4 * i + 4}]}}',
    "tiny members": lambda i: f'"{i:x}":[]',
    # raw control characters, written back as 6-byte escapes: the new header
    # is about 4 times as long, and the result with it
    "control characters": lambda i: f'"{i:x}":"\x01\x02\x03\x04\x05\x06\x07\x0b"',
}


def model(mb: int, shape: str) -> bytes:
    """A header of about `mb` MB of members of the given shape, and a store."""
    members = []
    size = 0
    i = 0
    while size < mb * 1_000_000:
        member = SHAPES[shape](i)
        members.append(member)
        size += len(member) + 1
        i += 1
    header = ("{" + ",".join(members) + ',"__metadata__":{"c2pa:manifest":"QUJD","c2pa:manifest.uri":"u"}}')
    data = header.encode()
    return struct.pack("<Q", len(data)) + data + bytes(4 * i)


def status_kib(name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise RuntimeError(name)


def child(mb: int, shape: str, operation: str) -> None:
    import tarnwick

    data = model(mb, shape)
    (header_size,) = struct.unpack_from("<Q", data)
    fn = getattr(tarnwick, operation)
    args = (data, b"store") if operation == "embed_manifest" else (data,)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status_kib("VmRSS")
    result = fn(*args)
    peak = (status_kib("VmHWM") - before) * 1024
    result_size = len(result) if isinstance(result, bytes) else 0
    print(json.dumps({"shape": shape, "operation": operation, "header": header_size, "peak": peak,
                      "result": result_size}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=50, help="header size in MB (default 50)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(int(args.child[0]), args.child[1], args.child[2])
        return
    print("| header of | operation | header size | peak extra / header | without the result |")
    print("|---|---|---|---|---|")
    for shape in SHAPES:
        for operation in OPERATIONS:
            out = subprocess.run([sys.executable, __file__, "--child", str(args.mb), shape, operation],
                                 capture_output=True, text=True, check=True)
            r = json.loads(out.stdout)
            print(f"| {shape} | {operation} | {r['header'] / 1e6:.1f} MB | {r['peak'] / r['header']:.2f} | "
                  f"{(r['peak'] - r['result']) / r['header']:.2f} |")


if __name__ == "__main__":
    main()
