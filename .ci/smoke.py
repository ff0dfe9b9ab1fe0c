"""A short run of every function on success and error paths, for running
under valgrind: any definite leak in the extension shows up as a loss that
grows with the loop count."""

import importlib
import pathlib
import struct
import sys

import tarnwick

MODELS = [p.read_bytes() for p in sorted((pathlib.Path(__file__).resolve().parent.parent / "examples" / "models").iterdir())]
BAD = [
    b"",
    b"GGUF\x03\x00\x00\x00",
    b"GGUF" + struct.pack("<IQQ", 3, 0, 1) + b"\xff" * 20,
    struct.pack("<Q", 5) + b"{\"a\":",
    struct.pack("<Q", 2) + b"{\xff",
    b"\x08\x01\x72\x02\x0b\x00",
]

for _ in range(200):
    for model in MODELS:
        out = tarnwick.embed_manifest_both(model, "https://example.com/é", b"\x00store")
        assert tarnwick.read_manifest(out) == b"\x00store"
        assert tarnwick.read_manifest_uri(out) == "https://example.com/é"
        clean = tarnwick.remove_manifest(out)
        tarnwick.embed_manifest(clean, b"")
        tarnwick.embed_manifest_remote(clean, "")
        tarnwick.detect_format(clean)
        tarnwick.model_type(clean)
        try:
            tarnwick.read_manifest(clean)
        except ValueError:
            pass
    for bad in BAD:
        for f in (tarnwick.read_manifest, tarnwick.read_manifest_uri, tarnwick.remove_manifest):
            try:
                f(bad)
            except ValueError:
                pass
    for call in (lambda: tarnwick.read_manifest(bytearray()), lambda: tarnwick.embed_manifest(b"", "x"),
                 lambda: tarnwick.embed_manifest_remote(b"GGUF", "\udc80"), lambda: tarnwick.read_manifest()):
        try:
            call()
        except (TypeError, UnicodeEncodeError):
            pass
# The calls on models large enough to be worked on without the interpreter
# lock, from the tests' table.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from api_calls import LARGE_CALLS  # noqa: E402

for _ in range(3):
    for call in LARGE_CALLS.values():
        try:
            call()
        except (ValueError, TypeError):
            pass
# A fresh module on each import.
for _ in range(50):
    del sys.modules["tarnwick"]
    tarnwick = importlib.import_module("tarnwick")
    assert tarnwick.detect_format(MODELS[0]) is not None
print("smoke: ok")
