"""Builds protobuf wire bytes by hand: ONNX models and metadata entries for tests."""

STORE_KEY = b"c2pa:manifest"
URI_KEY = b"c2pa:manifest.uri"

VARINT, FIXED64, LENGTH, FIXED32 = 0, 1, 2, 5


def varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def key(number: int, wire_type: int) -> bytes:
    return varint(number << 3 | wire_type)


def field_varint(number: int, value: int) -> bytes:
    return key(number, VARINT) + varint(value)


def odd_field(number: int, wire_type: int) -> bytes:
    """A field of wire type 0, 1 or 5 whose body is all 0xFF bytes, so it
    scans as no protobuf message."""
    body = {VARINT: b"\xff" * 9 + b"\x01", FIXED64: b"\xff" * 8, FIXED32: b"\xff" * 4}[wire_type]
    return key(number, wire_type) + body


def field_bytes(number: int, payload: bytes) -> bytes:
    return key(number, LENGTH) + varint(len(payload)) + payload


def entry_payload(k=None, v=None) -> bytes:
    """A StringStringEntryProto: key (field 1) and value (field 2), each optional."""
    out = b""
    if k is not None:
        out += field_bytes(1, k)
    if v is not None:
        out += field_bytes(2, v)
    return out


def entry(k=None, v=None) -> bytes:
    """One top-level metadata_props element (field 14)."""
    return field_bytes(14, entry_payload(k, v))


IR_VERSION = field_varint(1, 8)
GRAPH = field_bytes(7, field_bytes(1, b"node") + field_bytes(2, b"graph-name"))
OPSET = field_bytes(8, field_bytes(1, b"") + field_varint(2, 17))


def model(*fields: bytes) -> bytes:
    """A ModelProto-shaped message: ir_version, then the given fields."""
    return IR_VERSION + b"".join(fields)
