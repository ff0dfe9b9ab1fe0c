"""Writes the three tiny sample models in examples/models/.

Each holds one float32 tensor "weight" = [1, 2, 3, 4] and a little ordinary
metadata, written byte by byte here so that the samples have a known origin.
Run it again to regenerate them; the output is deterministic.
"""

import json
import pathlib
import struct

WEIGHT = struct.pack("<4f", 1.0, 2.0, 3.0, 4.0)
HERE = pathlib.Path(__file__).resolve().parent / "models"


def gguf_string(s: str) -> bytes:
    b = s.encode()
    return struct.pack("<Q", len(b)) + b


def make_gguf() -> bytes:
    kvs = (
        gguf_string("general.architecture") + struct.pack("<I", 8) + gguf_string("demo")
        + gguf_string("general.alignment") + struct.pack("<II", 4, 32)
    )
    # name, dimension count, dimensions, element type (0 = F32), data offset
    tensor_info = gguf_string("weight") + struct.pack("<IQIQ", 1, 4, 0, 0)
    head = b"GGUF" + struct.pack("<IQQ", 3, 1, 2) + kvs + tensor_info
    return head + bytes(-len(head) % 32) + WEIGHT


def varint(n: int) -> bytes:
    out = bytearray()
    while True:
        low, n = n & 0x7F, n >> 7
        out.append(low | (0x80 if n else 0))
        if not n:
            return bytes(out)


def field(number: int, payload) -> bytes:
    if isinstance(payload, int):
        return varint(number << 3) + varint(payload)
    if isinstance(payload, str):
        payload = payload.encode()
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def make_onnx() -> bytes:
    def value_info(name: str) -> bytes:
        dim = field(1, field(1, 4))                     # dim { dim_value: 4 }
        tensor_type = field(1, 1) + field(2, dim)        # elem_type FLOAT, shape
        return field(1, name) + field(2, field(1, tensor_type))

    node = field(1, "x") + field(2, "y") + field(4, "Identity")
    graph = field(1, node) + field(2, "demo") + field(11, value_info("x")) + field(12, value_info("y"))
    return (
        field(1, 8)                                      # ir_version
        + field(2, "tarnwick-samples")                   # producer_name
        + field(7, graph)
        + field(8, field(1, "") + field(2, 17))          # opset_import
        + field(14, field(1, "license") + field(2, "CC0-1.0"))
    )


def make_safetensors() -> bytes:
    header = json.dumps(
        {"weight": {"dtype": "F32", "shape": [4], "data_offsets": [0, 16]},
         "__metadata__": {"format": "pt"}},
        separators=(",", ":"),
    ).encode()
    header += b" " * (-len(header) % 8)
    return struct.pack("<Q", len(header)) + header + WEIGHT


if __name__ == "__main__":
    HERE.mkdir(exist_ok=True)
    for name, data in [("model.gguf", make_gguf()), ("model.onnx", make_onnx()),
                       ("model.safetensors", make_safetensors())]:
        (HERE / name).write_bytes(data)
        print(f"wrote {name}: {len(data)} bytes")
