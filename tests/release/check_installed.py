"""What an installed wheel must do on a machine with nothing but CPython and
glibc: run by isolated.sh inside a mount namespace where the machine's
libcrypto, libssl and libstdc++ are hidden from the loader.

Usage: python check_installed.py MODELS_DIR

Checks that those libraries really cannot be loaded, then imports tarnwick,
runs the byte functions' round trip on every sample model, embeds into a file
with a data hash and checks the digest against hashlib, and runs the
installed command-line program (--version, hash). Prints one closing line
"release: N passed, 0 failed", or exits non-zero at the first failure.
"""

import ctypes
import hashlib
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

HIDDEN = ("libcrypto.so.3", "libssl.so.3", "libstdc++.so.6")
STORE = bytes(range(256)) * 40 + b"end"
URI = "https://example.com/model.c2pa"

passed = 0


def check(what, ok, detail=""):
    global passed
    if not ok:
        print(f"FAILED: {what} {detail}".rstrip(), flush=True)
        print(f"release: {passed} passed, 1 failed")
        sys.exit(1)
    passed += 1
    print(f"ok: {what}", flush=True)


def mapped_libraries():
    with open("/proc/self/maps") as maps:
        return {line.split()[-1] for line in maps if ".so" in line}


def main():
    models = sorted(Path(sys.argv[1]).iterdir())

    for name in HIDDEN:
        try:
            ctypes.CDLL(name)
            loadable = True
        except OSError:
            loadable = False
        check(f"{name} is hidden from the loader", not loadable)

    import tarnwick

    check(f"import tarnwick ({Path(tarnwick.__file__).parent})", True)
    leaked = [m for m in mapped_libraries() if any(h.split(".so")[0] + ".so" in m for h in HIDDEN)]
    check("no libcrypto, libssl or libstdc++ mapped", not leaked, str(leaked))

    for path in models:
        model = path.read_bytes()
        signed = tarnwick.embed_manifest_both(model, URI, STORE)
        check(f"{path.name}: detect_format", tarnwick.detect_format(signed) == tarnwick.detect_format(model) is not None)
        check(f"{path.name}: read_manifest", tarnwick.read_manifest(signed) == STORE)
        check(f"{path.name}: read_manifest_uri", tarnwick.read_manifest_uri(signed) == URI)
        clean = tarnwick.remove_manifest(signed)
        check(f"{path.name}: remove_manifest", tarnwick.read_manifest_uri(clean) is None
              and clean == tarnwick.remove_manifest(model))
        try:
            tarnwick.read_manifest(clean)
            check(f"{path.name}: no store after remove_manifest", False)
        except ValueError as error:
            check(f"{path.name}: no store after remove_manifest ({error})", True)

    cli = Path(sysconfig.get_path("scripts")) / "tarnwick"
    version = subprocess.run([str(cli), "--version"], capture_output=True, text=True)
    check(f"tarnwick --version: {version.stdout.strip()}", version.returncode == 0
          and version.stdout.startswith("tarnwick "), version.stderr)

    with tempfile.TemporaryDirectory() as folder:
        for path in models:
            out = Path(folder) / f"signed-{path.name}"
            result = tarnwick.embed_file(str(path), store=STORE, hash="sha256", output=str(out))
            offset, length = tarnwick.inspect(str(out)).store_range
            data = out.read_bytes()
            expected = hashlib.sha256(data[:offset] + data[offset + length:]).digest()
            check(f"{path.name}: embed_file digest", result.digest == expected)
            check(f"{path.name}: read_file", tarnwick.read_file(str(out)) == STORE)
            hashed = subprocess.run([str(cli), "hash", str(out)], capture_output=True, text=True)
            check(f"{path.name}: tarnwick hash", hashed.returncode == 0
                  and hashed.stdout.strip() == expected.hex(), hashed.stdout + hashed.stderr)

    print(f"release: {passed} passed, 0 failed")


if __name__ == "__main__":
    main()
