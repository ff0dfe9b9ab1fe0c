"""The member files a model names, read by the native module: an ONNX
model's external-data locations, a GGUF file's split keys and a SafeTensors
index's shards; each either read as the format's own readers read it or
refused with a message that starts with the member's name."""

import re
import struct

import pytest

import tarnwick
from tarnwick import _native as native
from gguf_files import FLOAT32, INT8, STRING, UINT64, gguf_file, gstr, header, kv, u32, u64, v_str, v_u32
from protowire import GRAPH, IR_VERSION, LENGTH, entry_payload, field_bytes, field_varint, key, model, varint
from st_files import st_file

MALFORMED = "malformed model container: "


def raises(message):
    return pytest.raises(ValueError, match=f"^{re.escape(message)}$")


def written(tmp_path, data, name="m"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


# --- ONNX ----------------------------------------------------------------------

NAME = field_bytes(8, b"w")
EXTERNAL = field_varint(14, 1)


def loc(value, k=b"location"):
    return field_bytes(13, entry_payload(k, value))


def graph(*fields):
    return field_bytes(7, b"".join(fields))


def init(*fields):
    return field_bytes(5, NAME + b"".join(fields))


def attribute(*fields):
    """A node of the graph with one attribute."""
    return field_bytes(1, field_bytes(5, field_bytes(1, b"a") + b"".join(fields)))


def nested(depth, leaf):
    body = leaf
    for _ in range(depth):
        body = attribute(field_bytes(6, body))
    return graph(body)


LAYOUTS = {
    "data_location 2**32+1": (graph(init(loc(b"a.bin"), field_varint(14, 2**32 + 1))), ["a.bin"]),
    "EXTERNAL then DEFAULT": (graph(init(loc(b"a.bin"), EXTERNAL, field_varint(14, 0))), []),
    "EXTERNAL then 7": (graph(init(loc(b"a.bin"), EXTERNAL, field_varint(14, 7))), ["a.bin"]),
    "data_location as bytes": (graph(init(loc(b"a.bin"), field_bytes(14, b"\x01"))), []),
    "t over two fields": (graph(attribute(field_bytes(5, NAME + loc(b"t.bin")), field_bytes(5, EXTERNAL))),
                          ["t.bin"]),
    "location twice": (graph(init(loc(b"a.bin"), loc(b"b.bin"), loc(b"x", b"checksum"), EXTERNAL)), ["b.bin"]),
    "sparse values over two fields": (
        graph(attribute(field_bytes(22, field_bytes(1, loc(b"s.bin"))), field_bytes(22, field_bytes(1, EXTERNAL)))),
        ["s.bin"]),
    "two initializers, one file": (graph(init(loc(b"a.bin"), EXTERNAL), init(loc(b"a.bin"), EXTERNAL),
                                         field_bytes(15, field_bytes(2, loc(b"i.bin") + EXTERNAL))),
                                   ["a.bin", "i.bin"]),
    "training_info": (graph() + field_bytes(20, field_bytes(2, init(loc(b"t.bin"), EXTERNAL))), ["t.bin"]),
    "function node": (graph() + field_bytes(25, field_bytes(7, field_bytes(5, field_bytes(10, loc(b"f.bin") + EXTERNAL)))),
                      ["f.bin"]),
    "30 subgraphs": (nested(30, init(loc(b"d.bin"), EXTERNAL)), ["d.bin"]),
    "65 subgraphs": (nested(65, b""), "ONNX graphs nested too deeply"),
    "group in the graph": (graph(key(9, 3), key(9, 4)), "unsupported wire type 3"),
    "wire type 7 in a tensor": (graph(init(key(1, 7))), "unsupported wire type 7"),
    "truncated graph": (graph(key(5, LENGTH) + varint(9) + NAME), "unexpected end of ONNX protobuf"),
    "truncated tensor": (graph(init(key(14, 0) + b"\x81")), "unexpected end of ONNX protobuf"),
    "field number 0": (graph(init(field_varint(0, 1))), "field number 0"),
    "wide tag in a tensor": (graph(init(varint(2**32 | 0x0B))), "field tag beyond 32 bits"),
    "wide tag in external_data": (graph(init(field_bytes(13, varint(2**32 | 0x0B))), EXTERNAL),
                                  "field tag beyond 32 bits"),
    "EXTERNAL without location": (graph(init(loc(b"a.bin", b"offset"), EXTERNAL)),
                                  "a tensor's data is EXTERNAL but it names no location"),
    "location without value": (graph(init(field_bytes(13, entry_payload(b"location")), EXTERNAL)),
                               "an external data location is empty"),
    "location not UTF-8": (graph(init(loc(b"\xff.bin"), EXTERNAL)), "an external data location is not UTF-8"),
}


def peer_locations(path):
    """The locations onnx itself reads, or None when it refuses the model;
    its helper leaves out sparse tensors and training graphs, added here."""
    onnx = pytest.importorskip("onnx")
    from google.protobuf.message import DecodeError
    from onnx.external_data_helper import ExternalDataInfo, _get_all_tensors, uses_external_data

    try:
        m = onnx.load_model(str(path), load_external_data=False)
    except DecodeError:
        return None

    def in_nodes(nodes):
        for a in (a for n in nodes for a in n.attribute):
            yield from ([a.t] if a.HasField("t") else []) + list(a.tensors)
            for s in ([a.sparse_tensor] if a.HasField("sparse_tensor") else []) + list(a.sparse_tensors):
                yield from (s.values, s.indices)
            for g in ([a.g] if a.HasField("g") else []) + list(a.graphs):
                yield from in_graph(g)

    def in_graph(g):
        yield from g.initializer
        for s in g.sparse_initializer:
            yield from (s.values, s.indices)
        yield from in_nodes(g.node)

    graphs = [m.graph] + [g for t in m.training_info for g in (t.initialization, t.algorithm)]
    tensors = [*_get_all_tensors(m), *(t for g in graphs for t in in_graph(g)),
               *in_nodes(n for f in m.functions for n in f.node)]
    return {ExternalDataInfo(t).location for t in tensors if uses_external_data(t)}


@pytest.mark.parametrize("body, expected", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_onnx_layouts_read_as_onnx_reads_them_or_refused(tmp_path, body, expected):
    path = written(tmp_path, IR_VERSION + body, "m.onnx")
    if isinstance(expected, str):
        with raises(f"weights.onnx: {MALFORMED}{expected}"):
            native._onnx_external(path, name="weights.onnx")
        return
    assert native._onnx_external(path, name="weights.onnx") == expected
    assert peer_locations(path) == set(expected)


@pytest.mark.parametrize("data, message", [
    (st_file("{}"), f"{MALFORMED}a SafeTensors file, not an ONNX model"),
    (b"\xff" * 8, "unrecognized ML model container format"),
])
def test_onnx_other_files_refused(tmp_path, data, message):
    path = written(tmp_path, data)
    with raises(f"{path}: {message}"):
        native._onnx_external(path)


WIDE_ENTRY_KEYS = {
    "before a group": varint(2**32 | 0x0B),
    "at the end": varint(2**32 | 0x0A),
    "before a length past the end": varint(2**32 | 0x0A) + varint(100),
}


@pytest.mark.parametrize("entry_body", WIDE_ENTRY_KEYS.values(), ids=WIDE_ENTRY_KEYS.keys())
def test_wide_key_in_metadata_entry_judged_first(entry_body):
    with raises(f"{MALFORMED}field tag beyond 32 bits"):
        tarnwick.read_manifest(model(GRAPH, field_bytes(14, field_bytes(1, b"k") + entry_body)))


# --- GGUF ----------------------------------------------------------------------

UINT16, INT32, INT64 = 2, 5, 11


def v_int(kind, fmt, n):
    return u32(kind) + struct.pack(fmt, n)


SPLITS = {
    "none": ([kv("general.name", v_str("m"))], None),
    "UINT16": ([kv("split.no", v_int(UINT16, "<H", 1)), kv("split.count", v_int(UINT16, "<H", 3))], (1, 3)),
    "INT8 and UINT64": ([kv("split.count", v_int(INT8, "<b", 4)), kv("split.no", v_int(UINT64, "<Q", 2))], (2, 4)),
    "count only": ([kv("split.count", v_u32(2))], (0, 2)),
    "duplicate key": ([kv("split.count", v_u32(2)), kv("a", v_u32(1)), kv("split.count", v_u32(2))],
                      'duplicate metadata key "split.count"'),
    "duplicate other key": ([kv("a", v_u32(1)), kv("a", v_u32(1))], 'duplicate metadata key "a"'),
    "FLOAT32 count": ([kv("split.count", u32(FLOAT32) + struct.pack("<f", 2))], "split.count is a FLOAT32, not an integer"),
    "STRING no": ([kv("split.no", v_str("1")), kv("split.count", v_u32(2))], "split.no is a STRING, not an integer"),
    "negative no": ([kv("split.no", v_int(INT32, "<i", -1)), kv("split.count", v_u32(2))], "split.no is negative (-1)"),
    "negative count": ([kv("split.count", v_int(INT64, "<q", -2**63))],
                       "split.count is negative (-9223372036854775808)"),
    "a value past the end": ([gstr("k") + u32(STRING) + u64(99)],
                             "unexpected end of GGUF data"),
}


@pytest.mark.parametrize("kvs, expected", SPLITS.values(), ids=SPLITS.keys())
def test_gguf_split_keys(tmp_path, kvs, expected):
    path = written(tmp_path, gguf_file(kvs))
    if isinstance(expected, str):
        with raises(f"x.gguf: {MALFORMED}{expected}"):
            native._gguf_split(path, name="x.gguf")
    else:
        assert native._gguf_split(path, name="x.gguf") == expected


def test_gguf_split_keys_after_257_mib_of_metadata(tmp_path):
    path = tmp_path / "m-00001-of-00002.gguf"
    big = 257 << 20
    with open(path, "wb") as f:
        f.write(header(0, 3) + gstr("general.big") + u32(STRING) + u64(big))
        f.write(bytes(big))
        f.write(kv("split.no", v_int(UINT16, "<H", 0)) + kv("split.count", v_int(UINT16, "<H", 2)))
    try:
        assert native._gguf_split(path) == (0, 2)
    finally:
        path.unlink()


def test_gguf_split_agrees_with_gguf_reader(tmp_path):
    gguf = pytest.importorskip("gguf")
    np = pytest.importorskip("numpy")
    path = tmp_path / "m-00002-of-00003.gguf"
    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_uint16(gguf.Keys.Split.LLM_KV_SPLIT_NO, 1)
    writer.add_uint16(gguf.Keys.Split.LLM_KV_SPLIT_COUNT, 3)
    writer.add_tensor("w", np.ones((4,), np.float32))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    fields = gguf.GGUFReader(str(path)).fields
    peer = tuple(int(fields[k].contents()) for k in ("split.no", "split.count"))
    assert native._gguf_split(path) == peer == (1, 3)


# --- SafeTensors index -----------------------------------------------------------

INDEXES = {
    "not JSON": (b'{"weight_map": ', "the index is not JSON: unexpected end of input"),
    "not UTF-8": (b'{"weight_map": {"a": "\xff"}}', "the index is not UTF-8"),
    "an array": (b'[{"weight_map": {"a": "b"}}]', "the index is not a JSON object"),
    "a string": (b'"weight_map"', "the index is not a JSON object"),
    "no weight_map": (b'{"metadata": {"weight_map": {"a": "b"}}}', "the index has no weight_map"),
    "weight_map a list": (b'{"weight_map": ["a"]}', "the index's weight_map is not an object"),
    "weight_map null": (b'{"weight_map": null}', "the index's weight_map is not an object"),
    "two weight_maps": (b'{"weight_map": {"a": "b"}, "weight_map": {"a": "b"}}',
                        "the index has more than one weight_map"),
    "empty weight_map": (b'{"weight_map": {}}', "the index's weight_map is empty"),
    "number value": (b'{"weight_map": {"a": "s1", "b": 3}}', 'weight_map["b"] is not a string'),
    "object value": (b'{"weight_map": {"a\\n": {"x": "y"}}}', 'weight_map["a\\n"] is not a string'),
    "tensor in two shards": (b'{"weight_map": {"a": "s1", "b": "s1", "a": "s2"}}',
                             'weight_map names "a" twice, in "s1" and "s2"'),
}


@pytest.mark.parametrize("text, message", INDEXES.values(), ids=INDEXES.keys())
def test_malformed_indexes_refused(tmp_path, text, message):
    path = written(tmp_path, text)
    with raises(f"m.safetensors.index.json: {MALFORMED}{message}"):
        native._index_shards(path, name="m.safetensors.index.json")


def test_index_shards_unique_and_sorted(tmp_path):
    text = b'{"metadata": {"total_size": 8}, "weight_map": {"a": "s-2", "b": "s-1", "a": "s-2", "c": "s-2"}}'
    assert native._index_shards(written(tmp_path, text)) == ["s-1", "s-2"]


def test_index_over_64_mib_refused_by_its_size(tmp_path):
    path = tmp_path / "big.json"
    with open(path, "wb") as f:
        f.truncate((64 << 20) + 1)
    with raises(f"{path}: the index is 67108865 bytes, more than the 67108864 an index may have"):
        native._index_shards(path)
