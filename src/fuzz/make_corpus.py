"""Writes the seed corpora for the fuzz targets into a folder (default
src/fuzz/corpus/): valid files of each format, with and without C2PA data, made
by the sample builders and by tarnwick itself.

    python src/fuzz/make_corpus.py [OUT]
"""

import base64
import json
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "examples"))
import make_samples as samples  # noqa: E402

import tarnwick  # noqa: E402


def gguf_variants():
    s = samples.gguf_string
    kv_all = (
        s("u8") + struct.pack("<IB", 0, 7) + s("i16") + struct.pack("<Ih", 3, -2)
        + s("f64") + struct.pack("<Id", 12, 1.5) + s("b") + struct.pack("<IB", 7, 1)
        + s("arr") + struct.pack("<IIQ", 9, 8, 2) + s("x") + s("yz")
        + s("nested") + struct.pack("<IIQ", 9, 9, 1) + struct.pack("<IQ", 4, 2) + struct.pack("<II", 1, 2)
        + s("general.alignment") + struct.pack("<II", 4, 16)
    )
    head = b"GGUF" + struct.pack("<IQQ", 2, 0, 7) + kv_all
    yield head + bytes(-len(head) % 16) + b"tail"
    yield b"GGUF" + struct.pack("<IQQ", 3, 0, 0) + bytes(8)
    # no tensors, ending right after the metadata (llama.cpp's vocabulary files)
    yield b"GGUF" + struct.pack("<IQQ", 3, 0, 0)
    yield b"GGUF" + struct.pack("<IQQ", 3, 0, 1) + s("general.architecture") + struct.pack("<I", 8) + s("llama")
    yield samples.make_gguf()


def onnx_variants():
    f = samples.field
    yield samples.make_onnx()
    yield f(1, 7) + f(14, f(1, "c2pa:manifest") + f(2, base64.b64encode(b"abc")))
    yield f(7, b"") + f(14, f(1, "c2pa:manifest.uri") + f(2, "u")) + f(14, f(1, "k"))
    yield b"\x08\x80\x00" + f(5, b"\x01\x02") + b"\x0d\x00\x00\x00\x00\x09" + bytes(8)


def safetensors_variants():
    def st(header, data=b""):
        raw = header if isinstance(header, bytes) else json.dumps(header, separators=(",", ":")).encode()
        return struct.pack("<Q", len(raw)) + raw + data

    yield samples.make_safetensors()
    yield st({"__metadata__": {"c2pa:manifest": "QUJD", "c2pa:manifest.uri": "u"}})
    yield st(b'  {"w":{"__metadata__":{"c2pa:manifest":"QUJD"}},"n":[1.0,-2e3,null,true,false]} ', b"\x00" * 4)
    yield st(b'{"s":"\\u00e9\\ud83d\\ude00\\n\\"\\/","__metadata__":{"a":"b","a":"c"}}')


def json_variants():
    yield b'{"a":[1,2.5e-3,"x\\u0041",{"b":null}],"c":true}'
    yield b'  [ "\\ud83d\\ude00" , -0 , 1.2.3 ]  '
    yield b'"\\b\\f\\n\\r\\t\\\\\\/"'


def base64_variants():
    yield b"QUJD"
    yield b"QQ=="
    yield b"QUI="
    yield b""


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "corpus"
    groups = {
        "gguf": list(gguf_variants()),
        "onnx": list(onnx_variants()),
        "safetensors": list(safetensors_variants()),
        "json": list(json_variants()),
        "base64": list(base64_variants()),
    }
    # Container seeds also come with C2PA data embedded, when tarnwick takes them.
    for name in ("gguf", "onnx", "safetensors"):
        for model in list(groups[name]):
            try:
                groups[name].append(tarnwick.embed_manifest_both(model, "https://example.com/m", b"\x00store\xff"))
                groups[name].append(tarnwick.embed_manifest(model, b""))
            except ValueError:
                pass
    for name, seeds in groups.items():
        folder = out / name
        folder.mkdir(parents=True, exist_ok=True)
        for i, seed in enumerate(seeds):
            (folder / f"seed-{i:03d}").write_bytes(seed)
        print(f"{name}: {len(seeds)} seeds in {folder}")


if __name__ == "__main__":
    main()
