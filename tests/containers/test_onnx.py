import re

import pytest

import tarnwick
from protowire import (
    FIXED32,
    FIXED64,
    GRAPH,
    IR_VERSION,
    OPSET,
    STORE_KEY,
    URI_KEY,
    VARINT,
    entry,
    entry_payload,
    field_bytes,
    field_varint,
    key,
    model,
    odd_field,
    varint,
)

TRUNCATED = "malformed model container: unexpected end of ONNX protobuf"
OVERFLOW = "malformed model container: varint overflow"
NO_MANIFEST = "no C2PA manifest found in model"
DUPLICATE = "more than one c2pa:manifest entry in the ONNX container"
NOT_BASE64 = "malformed manifest reference: value is not valid Base64"

MAX64 = 2**64 - 1


def raises(message):
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


# --- Detection: a whole top-level scan that carries field 1 or 7 ------------

DETECTED = {
    "ir_version varint 150": b"\x08\x96\x01",
    "graph only": field_bytes(7, b""),
    "field 1 length-delimited": field_bytes(1, b"x"),
    "field 7 as a varint": field_varint(7, 0),
    "field number 0 beside field 1": b"\x00\x00\x08\x01",
    "empty length-delimited payload": b"\x12\x00\x08\x01",
    "nine 0xFF then 0x01": b"\x08" + b"\xff" * 9 + b"\x01",
    "nine 0xFF then 0x7F": b"\x08" + b"\xff" * 9 + b"\x7f",
    "non-minimal key": b"\x88\x00\x01",
    "fixed64 and fixed32": key(3, FIXED64) + bytes(8) + key(4, FIXED32) + bytes(4) + IR_VERSION,
    "numbers past the protobuf maximum": field_varint(2**40, 1) + IR_VERSION,
}

NOT_DETECTED = {
    "empty": b"",
    "only metadata_props": entry(b"k", b"v"),
    "length 5 with 2 bytes left": IR_VERSION + b"\x0a\x05\x41\x42",
    "varint field without value": IR_VERSION + b"\x08",
    "fixed64 with 7 bytes": IR_VERSION + key(2, FIXED64) + bytes(7),
    "fixed32 with 3 bytes": IR_VERSION + key(2, FIXED32) + bytes(3),
    "length prefix 2**64-1": IR_VERSION + b"\x0a" + varint(MAX64) + b"xyz",
    "ten 0xFF then a byte": b"\x08" + b"\xff" * 10 + b"\x00",
    "ten 0xFF at the end": b"\x08" + b"\xff" * 10,
    **{f"wire type {w}": IR_VERSION + bytes([k]) for w, k in [(3, 0x0B), (4, 0x0C), (6, 0x0E), (7, 0x0F)]},
}


@pytest.mark.parametrize("data", DETECTED.values(), ids=DETECTED.keys())
def test_detected_as_onnx(data):
    assert tarnwick.detect_format(data) == "ONNX"
    assert tarnwick.model_type(data) == "c2pa.types.model.onnx"


@pytest.mark.parametrize("data", NOT_DETECTED.values(), ids=NOT_DETECTED.keys())
def test_not_detected(data):
    assert tarnwick.detect_format(data) is None


# --- Wire faults, observed inside a metadata entry's payload ----------------

ENTRY_FAULTS = {
    "length past the end": (b"\x0a\x05\x41\x42", TRUNCATED),
    "varint without value": (b"\x08", TRUNCATED),
    "fixed64 with 7 bytes": (key(3, FIXED64) + bytes(7), TRUNCATED),
    "length prefix 2**64-1": (b"\x0a" + varint(MAX64) + b"abc", TRUNCATED),
    "length prefix 2**63-1 (tenth byte 0x02)": (b"\x0a" + b"\xff" * 9 + b"\x02" + b"abc", TRUNCATED),
    "tenth byte with bit 0 set": (b"\x0a\x83" + b"\x80" * 8 + b"\x7f" + b"abc", TRUNCATED),
    "ten 0xFF then a byte": (b"\x08" + b"\xff" * 10 + b"\x01", OVERFLOW),
    "ten 0xFF at the end": (b"\x08" + b"\xff" * 10, TRUNCATED),
    **{
        f"wire type {w}": (bytes([k]), f"malformed model container: unsupported wire type {w}")
        for w, k in [(3, 0x0B), (4, 0x0C), (6, 0x0E), (7, 0x0F)]
    },
}


@pytest.mark.parametrize("payload, message", ENTRY_FAULTS.values(), ids=ENTRY_FAULTS.keys())
def test_malformed_entry_fails_every_operation(payload, message):
    data = model(entry(URI_KEY + b"x", b"u"), field_bytes(14, payload), entry(STORE_KEY, b"YWJj"))
    with raises(message):
        tarnwick.read_manifest(data)
    with raises(message):
        tarnwick.read_manifest_uri(data)
    with raises(message):
        tarnwick.embed_manifest(data, b"abc")
    with raises(message):
        tarnwick.remove_manifest(data)


def test_malformed_entry_after_the_uri_fails_the_uri_read():
    data = model(entry(URI_KEY, b"first"), field_bytes(14, b"\x0b"))
    with raises("malformed model container: unsupported wire type 3"):
        tarnwick.read_manifest_uri(data)


# Lengths inside an entry decoded by the varint rules, seen through the URI.
ENTRY_LENGTHS = {
    "non-minimal 0x80 0x00 for an empty key": b"\x0a\x80\x00" + field_bytes(1, URI_KEY),
    "non-minimal length 3": field_bytes(1, URI_KEY) + b"\x12\x83\x80\x00abc",
    "tenth byte bits 1-6 dropped": field_bytes(1, URI_KEY) + b"\x12\x83" + b"\x80" * 8 + b"\x7e" + b"abc",
}


@pytest.mark.parametrize("payload", ENTRY_LENGTHS.values(), ids=ENTRY_LENGTHS.keys())
def test_entry_lengths_follow_varint_rules(payload):
    data = model(field_bytes(14, payload))
    expected = "abc" if b"abc" in payload else ""
    assert tarnwick.read_manifest_uri(data) == expected
    assert tarnwick.remove_manifest(data) == IR_VERSION


# --- The exact bytes of new entries ----------------------------------------

def test_three_byte_store_appends_23_bytes():
    data = model(GRAPH)
    out = tarnwick.embed_manifest(data, b"abc")
    assert out == data + b"\x72\x15\x0a\x0d" + STORE_KEY + b"\x12\x04" + b"YWJj"
    assert len(out) - len(data) == 23
    assert tarnwick.read_manifest(out) == b"abc"


def test_one_character_uri_appends_24_bytes():
    data = model(GRAPH)
    out = tarnwick.embed_manifest_remote(data, "u")
    assert out == data + b"\x72\x16\x0a\x11" + URI_KEY + b"\x12\x01u"
    assert len(out) - len(data) == 24
    assert tarnwick.read_manifest_uri(out) == "u"


def test_150_byte_store_takes_two_byte_varints():
    store = bytes(range(150))
    out = tarnwick.embed_manifest(IR_VERSION, store)
    tail = out[len(IR_VERSION):]
    assert tail[:5] == b"\x72\xda\x01\x0a\x0d"
    assert tail[5:18] == STORE_KEY
    assert tail[18:21] == b"\x12\xc8\x01"
    assert len(tail) == 21 + 200
    assert tarnwick.read_manifest(out) == store


def test_empty_store():
    out = tarnwick.embed_manifest(IR_VERSION, b"")
    assert out == IR_VERSION + b"\x72\x11\x0a\x0d" + STORE_KEY + b"\x12\x00"
    assert tarnwick.read_manifest(out) == b""


def test_store_entry_comes_before_uri_entry():
    out = tarnwick.embed_manifest_both(IR_VERSION, "https://x/m", b"abc")
    assert out == IR_VERSION + entry(STORE_KEY, b"YWJj") + entry(URI_KEY, b"https://x/m")


def test_multibyte_uri_length_counts_bytes():
    out = tarnwick.embed_manifest_remote(IR_VERSION, "h\u00e9\U0001f600")
    assert out == IR_VERSION + entry(URI_KEY, "h\u00e9\U0001f600".encode())
    assert tarnwick.read_manifest_uri(out) == "h\u00e9\U0001f600"


# --- Replacing, dropping and keeping entries --------------------------------

def test_model_without_metadata():
    data = model(GRAPH, OPSET)
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(data)
    assert tarnwick.read_manifest_uri(data) is None
    assert tarnwick.remove_manifest(data) == data


def test_re_embed_replaces_store():
    once = tarnwick.embed_manifest(model(GRAPH), b"first")
    twice = tarnwick.embed_manifest(once, b"second")
    assert twice == model(GRAPH) + entry(STORE_KEY, b"c2Vjb25k")
    assert tarnwick.read_manifest(twice) == b"second"


def test_uri_only_drops_store_and_store_only_drops_uri():
    both = tarnwick.embed_manifest_both(model(GRAPH), "u", b"abc")
    uri_only = tarnwick.embed_manifest_remote(both, "v")
    assert uri_only == model(GRAPH) + entry(URI_KEY, b"v")
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(uri_only)
    store_only = tarnwick.embed_manifest(both, b"x")
    assert tarnwick.read_manifest_uri(store_only) is None


def test_two_store_entries():
    data = model(entry(STORE_KEY, b"YQ=="), GRAPH, entry(STORE_KEY, b"Yg=="))
    with raises(DUPLICATE):
        tarnwick.read_manifest(data)
    assert tarnwick.remove_manifest(data) == model(GRAPH)
    assert tarnwick.embed_manifest(data, b"abc") == model(GRAPH) + entry(STORE_KEY, b"YWJj")


DUPLICATE_URI = "more than one c2pa:manifest.uri entry in the ONNX container"


@pytest.mark.parametrize(
    "entries",
    [
        [entry(URI_KEY, b"first"), entry(URI_KEY, b"second")],
        [entry(URI_KEY, b"same"), GRAPH, entry(URI_KEY, b"same")],
        [entry(URI_KEY), entry(URI_KEY, b"second")],  # a URI entry without value counts
        [entry(URI_KEY, b"\xff"), entry(URI_KEY, b"ok")],  # refused before the UTF-8 test
    ],
)
def test_two_uri_entries_are_refused(entries):
    data = model(*entries)
    with raises(DUPLICATE_URI):
        tarnwick.read_manifest_uri(data)
    assert tarnwick.remove_manifest(data) == model(*[e for e in entries if e == GRAPH])
    assert tarnwick.embed_manifest_remote(data, "u") == model(*[e for e in entries if e == GRAPH]) + entry(URI_KEY, b"u")


def test_store_key_without_value_field():
    data = model(entry(STORE_KEY), GRAPH)
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(data)
    assert tarnwick.remove_manifest(data) == model(GRAPH)
    # passed over by the reader, so it is no duplicate of a real store
    with_store = data + entry(STORE_KEY, b"YWJj")
    assert tarnwick.read_manifest(with_store) == b"abc"
    assert tarnwick.embed_manifest(with_store, b"") == model(GRAPH) + entry(STORE_KEY, b"")


def test_uri_key_without_value_field_is_empty_uri():
    data = model(entry(URI_KEY))
    assert tarnwick.read_manifest_uri(data) == ""
    assert tarnwick.remove_manifest(data) == IR_VERSION


def test_last_key_and_value_win():
    payload = field_bytes(1, b"x") + field_bytes(2, b"Yg==") + field_bytes(1, STORE_KEY) + field_bytes(2, b"YWJj")
    data = model(field_bytes(14, payload))
    assert tarnwick.read_manifest(data) == b"abc"
    assert tarnwick.remove_manifest(data) == IR_VERSION


NEAR_MISS_KEYS = [
    b"C2PA:manifest", b"c2pa:Manifest", b"c2pa:manifest ", b" c2pa:manifest",
    b"c2pa:manifest.URI", b"c2pa:manifest.uri ", b"x-c2pa:manifest", b"c2pa:manifes",
    b"c2pa:manifest\x00", b"",
]


@pytest.mark.parametrize("k", NEAR_MISS_KEYS, ids=repr)
def test_near_miss_keys_are_other_metadata(k):
    data = model(entry(k, b"YWJj"), GRAPH)
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(data)
    assert tarnwick.read_manifest_uri(data) is None
    assert tarnwick.remove_manifest(data) == data
    assert tarnwick.embed_manifest(data, b"abc") == data + entry(STORE_KEY, b"YWJj")


VALUE_FAULTS = {
    "store of three Base64 letters": (entry(STORE_KEY, b"YWJ"), tarnwick.read_manifest, NOT_BASE64),
    "store holding 0xFF": (entry(STORE_KEY, b"YW\xffj"), tarnwick.read_manifest,
                           "malformed model container: store is not UTF-8"),
    "URI holding 0xFF": (entry(URI_KEY, b"http://\xff"), tarnwick.read_manifest_uri,
                         "malformed model container: URI is not UTF-8"),
}


@pytest.mark.parametrize("entry_bytes, read, message", VALUE_FAULTS.values(), ids=VALUE_FAULTS.keys())
def test_bad_values(entry_bytes, read, message):
    data = model(entry_bytes)
    with raises(message):
        read(data)
    assert tarnwick.remove_manifest(data) == IR_VERSION


def test_other_fields_and_non_minimal_varints_kept_byte_for_byte():
    other_meta = entry(b"author", b"someone")
    odd = (
        b"\x88\x00\x08"  # ir_version, key written in two bytes
        + b"\x3a\x82\x00" + b"gr"  # graph with a non-minimal length
        + entry(STORE_KEY, b"YQ==")
        + other_meta
        + key(20, FIXED64) + bytes(range(8))
        + entry(URI_KEY, b"old")
        + field_bytes(0, b"")
        + key(21, FIXED32) + b"\xff" * 4
        + b"\xf2\x80\x00\x85\x00" + entry_payload(b"k", b"")  # another entry, non-minimal key and length
    )
    assert len(entry_payload(b"k", b"")) == 5
    kept = odd.replace(entry(STORE_KEY, b"YQ=="), b"").replace(entry(URI_KEY, b"old"), b"")
    assert tarnwick.remove_manifest(odd) == kept
    assert tarnwick.embed_manifest_remote(odd, "new") == kept + entry(URI_KEY, b"new")


def test_input_never_modified():
    data = model(entry(STORE_KEY, b"YQ=="), GRAPH, entry(b"k", b"v"))
    before = bytes(bytearray(data))
    tarnwick.embed_manifest_both(data, "u", b"abc")
    tarnwick.remove_manifest(data)
    tarnwick.read_manifest(data)
    tarnwick.read_manifest_uri(data)
    assert data == before


def test_large_graph_stepped_over():
    graph = field_bytes(7, bytes(5_000_000))
    data = model(graph, entry(STORE_KEY, b"YQ=="))
    out = tarnwick.embed_manifest(data, b"abc")
    assert out == model(graph) + entry(STORE_KEY, b"YWJj")
    assert tarnwick.remove_manifest(out) == model(graph)


# --- Fields read as protobuf reads them ---------------------------------------

def _entry_with_odd_field(k, v, number, wire_type):
    """An entry with a field `number` of `wire_type` after its key (1) or value (2)."""
    odd = odd_field(number, wire_type)
    if number == 1:
        return field_bytes(14, field_bytes(1, k) + odd + field_bytes(2, v))
    return field_bytes(14, field_bytes(1, k) + field_bytes(2, v) + odd)


# (kept, store): fields a strip keeps byte for byte, and the store entry.
# protobuf reads a field 14, 1 or 2 of another wire type than 2 as an
# unknown field, so none of them is an entry, a key or a value.
WIRE_TYPE_CASES = {
    **{f"top-level 14 wire type {w}": (odd_field(14, w), entry(STORE_KEY, b"YWJj"))
       for w in (VARINT, FIXED64, FIXED32)},
    **{f"entry field {n} wire type {w}": (_entry_with_odd_field(b"author", b"me", n, w),
                                          _entry_with_odd_field(STORE_KEY, b"YWJj", n, w))
       for n in (1, 2) for w in (VARINT, FIXED64, FIXED32)},
}


@pytest.mark.parametrize("kept, store", WIRE_TYPE_CASES.values(), ids=WIRE_TYPE_CASES.keys())
def test_other_wire_types_are_unknown_fields(kept, store):
    data = model(GRAPH, kept, store)
    assert tarnwick.read_manifest(data) == b"abc"
    assert tarnwick.remove_manifest(data) == model(GRAPH, kept)
    assert tarnwick.embed_manifest(data, b"xyz") == model(GRAPH, kept, entry(STORE_KEY, b"eHl6"))


def _peer_metadata(onnx, ort, data):
    """metadata_props as onnx lists them, checked against onnxruntime's map."""
    listed = [(p.key, p.value) for p in onnx.load_from_string(data).metadata_props]
    session = ort.InferenceSession(data, providers=["CPUExecutionProvider"])
    assert session.get_modelmeta().custom_metadata_map == dict(listed)
    return listed


@pytest.mark.parametrize("kept, store", WIRE_TYPE_CASES.values(), ids=WIRE_TYPE_CASES.keys())
def test_other_wire_types_agree_with_onnx(kept, store):
    onnx = pytest.importorskip("onnx")
    ort = pytest.importorskip("onnxruntime")
    data = _helper_model(onnx).SerializeToString() + kept + store
    other = [("author", "me")] if b"author" in kept else []
    assert _peer_metadata(onnx, ort, data) == other + [("c2pa:manifest", "YWJj")]
    assert tarnwick.read_manifest(data) == b"abc"
    stripped = tarnwick.remove_manifest(data)
    assert _peer_metadata(onnx, ort, stripped) == other
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(stripped)
    embedded = tarnwick.embed_manifest(data, b"xyz")
    assert _peer_metadata(onnx, ort, embedded) == other + [("c2pa:manifest", "eHl6")]
    assert tarnwick.read_manifest(embedded) == b"xyz"


TAG_BEYOND_32_BITS = "malformed model container: field tag beyond 32 bits"
STORE_ENTRY = entry_payload(STORE_KEY, b"YWJj")

# Still ONNX to detection; protobuf would read each one's key as 32 bits.
WIDE_TAGS = {
    "metadata_props with bit 32": varint(2**32 | 0x72) + varint(len(STORE_ENTRY)) + STORE_ENTRY,
    "entry key with bit 32":
        field_bytes(14, varint(2**32 | 0x0A) + varint(len(STORE_KEY)) + STORE_KEY + field_bytes(2, b"YWJj")),
    "entry value with bit 35, after a store":
        entry(STORE_KEY, b"YWJj") + field_bytes(14, field_bytes(1, b"k") + varint(2**35 | 0x12) + b"\x00"),
    "field number 2**29": field_varint(2**29, 1),
    "largest key": varint(MAX64 & ~7) + b"\x00",
}


@pytest.mark.parametrize("tail", WIDE_TAGS.values(), ids=WIDE_TAGS.keys())
def test_tag_beyond_32_bits_fails_every_operation(tail):
    data = model(GRAPH, tail)
    assert tarnwick.detect_format(data) == "ONNX"
    for operation in (tarnwick.read_manifest, tarnwick.read_manifest_uri, tarnwick.remove_manifest):
        with raises(TAG_BEYOND_32_BITS):
            operation(data)
    with raises(TAG_BEYOND_32_BITS):
        tarnwick.embed_manifest(data, b"abc")


def test_largest_field_number_is_kept():
    data = model(GRAPH, field_varint(2**29 - 1, 1), entry(STORE_KEY, b"YWJj"))
    assert tarnwick.read_manifest(data) == b"abc"
    assert tarnwick.remove_manifest(data) == model(GRAPH, field_varint(2**29 - 1, 1))


def test_tag_with_bit_32_is_read_two_ways_by_the_peers():
    onnx = pytest.importorskip("onnx")
    ort = pytest.importorskip("onnxruntime")
    from google.protobuf.message import DecodeError

    data = _helper_model(onnx).SerializeToString() + WIDE_TAGS["metadata_props with bit 32"]
    with pytest.raises(DecodeError):
        onnx.load_from_string(data)
    session = ort.InferenceSession(data, providers=["CPUExecutionProvider"])
    assert session.get_modelmeta().custom_metadata_map == {"c2pa:manifest": "YWJj"}


# --- Real models through the onnx peer ---------------------------------------

def _metadata(proto):
    return [(p.key, p.value) for p in proto.metadata_props]


def _embed_and_check(onnx, data):
    """Embeds a store and a URI, checks onnx sees exactly them, and strips them again."""
    original = onnx.load_from_string(data)
    existing = [kv for kv in _metadata(original) if kv[0] not in ("c2pa:manifest", "c2pa:manifest.uri")]
    out = tarnwick.embed_manifest_both(data, "https://example.com/m.c2pa", b"\x00store\xff")
    loaded = onnx.load_from_string(out)
    onnx.checker.check_model(loaded)
    assert _metadata(loaded) == existing + [
        ("c2pa:manifest", "AHN0b3Jl/w=="),
        ("c2pa:manifest.uri", "https://example.com/m.c2pa"),
    ]
    assert tarnwick.read_manifest(out) == b"\x00store\xff"
    assert tarnwick.read_manifest_uri(out) == "https://example.com/m.c2pa"
    assert tarnwick.remove_manifest(out) == data
    return out


def _helper_model(onnx, metadata=None):
    from onnx import TensorProto, helper

    node = helper.make_node("Add", ["x", "y"], ["z"])
    graph = helper.make_graph(
        [node], "add",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [2]),
         helper.make_tensor_value_info("y", TensorProto.FLOAT, [2])],
        [helper.make_tensor_value_info("z", TensorProto.FLOAT, [2])],
    )
    m = helper.make_model(graph, producer_name="tests", opset_imports=[helper.make_opsetid("", 17)])
    m.ir_version = 8
    if metadata:
        helper.set_model_props(m, metadata)
    return m


@pytest.mark.parametrize("metadata", [None, {"author": "me", "licence": "MIT"}])
def test_helper_models(metadata):
    onnx = pytest.importorskip("onnx")
    data = _helper_model(onnx, metadata).SerializeToString()
    _embed_and_check(onnx, data)


def test_helper_model_with_fields_after_metadata():
    onnx = pytest.importorskip("onnx")
    data = _helper_model(onnx, {"a": "b"}).SerializeToString()
    # training_info (20) and functions (25) after metadata_props (14)
    data += field_bytes(20, b"") + field_bytes(25, field_bytes(1, b"f") + field_bytes(10, b"dom"))
    out = _embed_and_check(onnx, data)
    assert out.startswith(data)


def _backend_models():
    try:
        import onnx
    except ImportError:
        return []
    import pathlib

    root = pathlib.Path(onnx.__file__).parent / "backend" / "test" / "data"
    return sorted(root.glob("**/model.onnx"))


BACKEND_MODELS = _backend_models()


@pytest.mark.skipif(not BACKEND_MODELS, reason="onnx backend test models not installed")
def test_onnx_backend_models():
    onnx = pytest.importorskip("onnx")
    for path in BACKEND_MODELS:
        data = path.read_bytes()
        assert tarnwick.detect_format(data) == "ONNX", path
        _embed_and_check(onnx, data)


def test_onnxruntime_outputs_unchanged():
    onnx = pytest.importorskip("onnx")
    ort = pytest.importorskip("onnxruntime")
    np = pytest.importorskip("numpy")
    data = _helper_model(onnx, {"author": "me"}).SerializeToString()
    out = tarnwick.embed_manifest_both(data, "https://example.com/m", b"store")
    feed = {"x": np.array([1.5, -2.0], np.float32), "y": np.array([0.25, 4.0], np.float32)}
    before = ort.InferenceSession(data, providers=["CPUExecutionProvider"]).run(None, feed)
    after = ort.InferenceSession(out, providers=["CPUExecutionProvider"]).run(None, feed)
    assert [a.tobytes() for a in after] == [b.tobytes() for b in before]
    assert after[0].tolist() == [1.75, 2.0]
