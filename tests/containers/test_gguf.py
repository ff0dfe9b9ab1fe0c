import re
import struct

import pytest

import tarnwick
from gguf_files import (
    ARRAY,
    FLOAT32,
    INT8,
    STRING,
    UINT8,
    UINT64,
    array_body,
    gguf_file,
    gstr,
    header,
    kv,
    padding_kv,
    store_kv,
    tensor,
    u32,
    u64,
    uri_kv,
    v_array,
    v_bytes,
    v_str,
    v_u32,
    v_u64,
)

ORDINARY = [
    kv("general.architecture", v_str("llama")),
    kv("llama.block_count", v_u32(2)),
    kv("general.weights", v_array(FLOAT32, 2, struct.pack("<2f", 0.5, 1.5))),
    kv("tokenizer.tokens", v_array(STRING, 3, gstr("a") + gstr("bc") + gstr(""))),
    kv("nested", v_array(ARRAY, 2, array_body(UINT8, 1, b"\x07") + array_body(INT8, 0))),
]
TENSORS = [tensor("w", [2, 3], 0, 0), tensor("b", [3], 1, 32)]
DATA = bytes(range(1, 41))
MODEL = gguf_file(ORDINARY, TENSORS, DATA)


def fails(function, message, *args):
    with pytest.raises(ValueError) as e:
        function(*args)
    assert str(e.value) == "malformed model container: " + message


# --- the file model ----------------------------------------------------------


def test_minimal_file_is_32_bytes_and_round_trips():
    minimal = header(0, 0) + bytes(8)
    assert minimal.hex() == "47475546" "03000000" + "00" * 24
    assert tarnwick.remove_manifest(minimal) == minimal
    assert tarnwick.remove_manifest(header(0, 0) + b"\xff" * 8) == minimal
    assert tarnwick.read_manifest_uri(minimal) is None


# Files without tensors that end at or inside the padding after their
# records, as llama.cpp writes its vocabulary files: no tensor data, and
# rewritten without padding.
ARCH = kv("general.architecture", v_str("llama"))
UNPADDED = {
    "24-byte header": ([], b""),
    "one entry (69 bytes)": ([ARCH], b""),
    "inside the padding": ([ARCH], b"\0\0\0"),
    "on an alignment boundary": ([kv("k", v_str("x" * 19))], b""),
    "alignment 4096": ([kv("general.alignment", v_u32(4096)), ARCH], bytes(100)),
    "alignment 2^31": ([kv("general.alignment", v_u32(2**31))], b""),
}


@pytest.mark.parametrize("kvs, tail", UNPADDED.values(), ids=UNPADDED.keys())
def test_file_without_tensors_ending_at_its_records(kvs, tail):
    records = header(0, len(kvs)) + b"".join(kvs)
    model = records + tail
    assert tarnwick.remove_manifest(model) == records
    assert tarnwick.read_manifest_uri(model) is None
    for store in (b"", b"s" * 5, b"s" * 8):
        out = tarnwick.embed_manifest_both(model, "u", store)
        assert out == header(0, len(kvs) + 2) + b"".join(kvs) + store_kv(store) + uri_kv("u")
        assert tarnwick.read_manifest(out) == store
        assert tarnwick.remove_manifest(out) == records


def test_unpadded_sizes_and_full_padding():
    assert len(header(0, 1) + ARCH) == 69
    assert len(header(0, 1) + UNPADDED["on an alignment boundary"][0][0]) == 64
    # a tensor-less file with the whole padding keeps it, recomputed as zeros
    padded = header(0, 1) + ARCH + b"\xff" * 27
    assert tarnwick.remove_manifest(padded) == header(0, 1) + ARCH + bytes(27)


def test_rewrite_keeps_everything_else():
    assert tarnwick.remove_manifest(MODEL) == MODEL
    trailing = MODEL + b"after the last tensor"
    assert tarnwick.remove_manifest(trailing) == trailing
    v2 = b"GGUF" + u32(2) + MODEL[8:]
    assert tarnwick.remove_manifest(v2) == v2


def test_every_cut_inside_the_metadata_and_tensor_info_is_truncation():
    info_end = len(header(0, 0) + b"".join(ORDINARY) + b"".join(TENSORS))
    for cut in range(4, info_end):
        fails(tarnwick.remove_manifest, "unexpected end of GGUF data", MODEL[:cut])
    fails(tarnwick.remove_manifest, "tensor data offset out of range", MODEL[:info_end])


TRUNCATED = "unexpected end of GGUF data"
NOT_UTF8 = "metadata key is not UTF-8"

CORRUPTIONS = {
    "version 1, 12 bytes": (b"GGUF" + u32(1) + bytes(4), "unsupported GGUF version 1"),
    "version 3, 12 bytes": (b"GGUF" + u32(3) + bytes(4), TRUNCATED),
    "version 1": (gguf_file()[:4] + u32(1) + gguf_file()[8:], "unsupported GGUF version 1"),
    "version 4": (gguf_file()[:4] + u32(4) + gguf_file()[8:], "unsupported GGUF version 4"),
    "big-endian": (b"GGUF\x00\x00\x00\x03" + bytes(24), "unsupported GGUF version 50331648"),
    "tensor record, no padding": (header(1, 0) + tensor("w", [1]), "tensor data offset out of range"),
    "one entry too many": (header(0, 2) + ORDINARY[0], TRUNCATED),
    "bad value type": (gguf_file([kv("k", u32(13) + bytes(8))]), "bad value type 13"),
    "bad value type max": (gguf_file([kv("k", u32(2**32 - 1))]), "bad value type 4294967295"),
    "array of bad type": (gguf_file([kv("k", v_array(13, 1, bytes(8)))]), "bad value type 13"),
    "nested bad type": (
        gguf_file([kv("k", v_array(ARRAY, 1, array_body(42, 1, bytes(8))))]),
        "bad value type 42",
    ),
    "key not UTF-8": (gguf_file([kv(b"\xff", v_u32(1))]), NOT_UTF8),
    "key surrogate": (gguf_file([kv(b"\xed\xa0\x80", v_u32(1))]), NOT_UTF8),
    "tensor name not UTF-8": (gguf_file([], [tensor(b"w\xc0\x80", [1])]), NOT_UTF8),
    "key longer than file": (header(0, 1) + u64(2**64 - 1) + bytes(16), TRUNCATED),
    "string longer than file": (header(0, 1) + gstr("k") + u32(STRING) + u64(2**63) + bytes(16), TRUNCATED),
    "byte array count huge": (header(0, 1) + gstr("k") + v_array(UINT8, 2**64 - 1) + bytes(16), TRUNCATED),
    "u64 array count overflows": (header(0, 1) + gstr("k") + v_array(UINT64, 2**61 + 1) + bytes(16), TRUNCATED),
    "string array count huge": (header(0, 1) + gstr("k") + v_array(STRING, 2**40, gstr("a")) + bytes(16), TRUNCATED),
    "dimension count huge": (header(1, 0) + gstr("w") + u32(2**32 - 1) + bytes(40), TRUNCATED),
    "entry count huge": (header(0, 2**64 - 1) + ORDINARY[1] + bytes(40), TRUNCATED),
    "tensor count huge": (header(2**64 - 1, 0) + TENSORS[0] + bytes(40), TRUNCATED),
    "alignment beyond file": (
        gguf_file([kv("general.alignment", v_u32(2**31))], TENSORS), "tensor data offset out of range"
    ),
    "alignment max": (
        gguf_file([kv("general.alignment", v_u32(2**32 - 1))], TENSORS), "tensor data offset out of range"
    ),
}


@pytest.mark.parametrize("model, message", CORRUPTIONS.values(), ids=CORRUPTIONS.keys())
@pytest.mark.parametrize(
    "operation",
    [
        tarnwick.read_manifest,
        tarnwick.read_manifest_uri,
        tarnwick.remove_manifest,
        lambda m: tarnwick.embed_manifest_both(m, "u", b"s"),
    ],
    ids=["read", "read_uri", "remove", "embed"],
)
def test_corruption(operation, model, message):
    kept = bytes(model)
    fails(operation, message, model)
    assert model == kept


ACCEPTED = {
    "empty array of bad type": [kv("k", v_array(13, 0))],
    "string value not UTF-8": [kv("k", v_str(b"\xff\xfe"))],
    "any bool byte": [kv("k", u32(7) + b"\x99")],
    "empty key": [kv("", v_u32(1))],
}


@pytest.mark.parametrize("kvs", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted_and_written_back_verbatim(kvs):
    model = gguf_file(kvs, TENSORS, DATA)
    assert tarnwick.remove_manifest(model) == model
    assert tarnwick.embed_manifest(model, b"s") == gguf_file(kvs + [store_kv(b"s")], TENSORS, DATA)


ALIGNMENTS = {
    "default": ([], 32),
    "uint64 ignored": ([kv("general.alignment", v_u64(64))], 32),
    "zero ignored": ([kv("general.alignment", v_u32(0))], 32),
    "string ignored": ([kv("general.alignment", v_str("64"))], 32),
    "near-miss key ignored": ([kv("general.alignment.", v_u32(64))], 32),
    "64 then 16": ([kv("general.alignment", v_u32(64)), kv("general.alignment", v_u32(16))], 16),
    "16 then zero": ([kv("general.alignment", v_u32(16)), kv("general.alignment", v_u32(0))], 16),
    "48": ([kv("general.alignment", v_u32(48))], 48),
    "1": ([kv("general.alignment", v_u32(1))], 1),
    "4096": ([kv("general.alignment", v_u32(4096))], 4096),
}


@pytest.mark.parametrize("kvs, alignment", ALIGNMENTS.values(), ids=ALIGNMENTS.keys())
@pytest.mark.parametrize("store", [b"", b"s" * 7, b"s" * 100])
def test_alignment(kvs, alignment, store):
    data = b"\xab" * 5
    model = gguf_file(kvs, TENSORS, data, alignment)
    assert tarnwick.remove_manifest(model) == model
    out = tarnwick.embed_manifest(model, store)
    assert out == gguf_file(kvs + [store_kv(store)], TENSORS, data, alignment)
    assert (len(out) - len(data)) % alignment == 0


# --- the C2PA entries --------------------------------------------------------


def test_without_c2pa_entries():
    with pytest.raises(ValueError, match="^no C2PA manifest found in model$"):
        tarnwick.read_manifest(MODEL)
    assert tarnwick.read_manifest_uri(MODEL) is None


def test_embed_both_appends_store_then_uri():
    out = tarnwick.embed_manifest_both(MODEL, "https://example.com/m", b"\x00store\xff")
    assert out == gguf_file(
        ORDINARY + [store_kv(b"\x00store\xff"), uri_kv("https://example.com/m")], TENSORS, DATA
    )
    assert out[16:24] == u64(7)
    assert tarnwick.read_manifest(out) == b"\x00store\xff"
    assert tarnwick.read_manifest_uri(out) == "https://example.com/m"
    assert tarnwick.remove_manifest(out) == MODEL


def test_embed_replaces_entries_mid_metadata():
    model = gguf_file(ORDINARY[:2] + [uri_kv("old"), store_kv(b"old")] + ORDINARY[2:], TENSORS, DATA)
    assert tarnwick.embed_manifest_both(model, "new", b"new") == gguf_file(
        ORDINARY + [store_kv(b"new"), uri_kv("new")], TENSORS, DATA
    )
    assert tarnwick.embed_manifest(model, b"new") == gguf_file(ORDINARY + [store_kv(b"new")], TENSORS, DATA)
    assert tarnwick.embed_manifest_remote(model, "") == gguf_file(ORDINARY + [uri_kv("")], TENSORS, DATA)
    assert tarnwick.remove_manifest(model) == MODEL


DUPLICATE_STORE = "more than one c2pa:manifest entry in the GGUF container"
DUPLICATE_URI = "more than one c2pa:manifest.uri entry in the GGUF container"

# Refused before the value type is looked at, and whatever the other entries hold.
DUPLICATES = {
    "two stores": ([store_kv(b"first"), ORDINARY[0], store_kv(b"second")], DUPLICATE_STORE, None),
    "string store, then a store": ([kv("c2pa:manifest", v_str("x")), store_kv(b"ok")], DUPLICATE_STORE, None),
    "two uris": ([uri_kv("a"), ORDINARY[0], uri_kv("b")], None, DUPLICATE_URI),
    "array uri, then a uri": ([kv("c2pa:manifest.uri", v_bytes(b"x")), uri_kv("b")], None, DUPLICATE_URI),
    "both twice": ([store_kv(b"1"), uri_kv("a"), store_kv(b"2"), uri_kv("b")], DUPLICATE_STORE, DUPLICATE_URI),
}


@pytest.mark.parametrize("kvs, store_error, uri_error", DUPLICATES.values(), ids=DUPLICATES.keys())
def test_duplicates(kvs, store_error, uri_error):
    model = gguf_file(kvs)
    with pytest.raises(ValueError) as e:
        tarnwick.read_manifest(model)
    assert str(e.value) == (store_error or "no C2PA manifest found in model")
    if uri_error:
        with pytest.raises(ValueError, match="^" + re.escape(uri_error) + "$"):
            tarnwick.read_manifest_uri(model)
    once = tarnwick.remove_manifest(model)
    assert once == gguf_file([k for k in kvs if k == ORDINARY[0]])
    assert tarnwick.remove_manifest(once) == once
    assert tarnwick.embed_manifest_both(model, "u", b"s") == gguf_file(
        [k for k in kvs if k == ORDINARY[0]] + [store_kv(b"s"), uri_kv("u")]
    )


def test_empty_store():
    out = tarnwick.embed_manifest(MODEL, b"")
    assert out == gguf_file(ORDINARY + [kv("c2pa:manifest", v_array(UINT8, 0))], TENSORS, DATA)
    assert tarnwick.read_manifest(out) == b""


NOT_ARRAY = "c2pa:manifest is not a UINT8 array"
NOT_STRING = "c2pa:manifest.uri is not a string"

BAD_ENTRIES = {
    "store is a string": (tarnwick.read_manifest, [kv("c2pa:manifest", v_str("x")), uri_kv("ok")], NOT_ARRAY),
    "store is int8": (tarnwick.read_manifest, [kv("c2pa:manifest", v_array(INT8, 1, b"x"))], NOT_ARRAY),
    "store is uint32": (tarnwick.read_manifest, [kv("c2pa:manifest", v_u32(1))], NOT_ARRAY),
    "uri is an array": (tarnwick.read_manifest_uri, [kv("c2pa:manifest.uri", v_bytes(b"x"))], NOT_STRING),
    "uri not UTF-8": (tarnwick.read_manifest_uri, [uri_kv(b"http://\xff")], "URI is not UTF-8"),
}


@pytest.mark.parametrize("reader, kvs, message", BAD_ENTRIES.values(), ids=BAD_ENTRIES.keys())
def test_bad_c2pa_entries(reader, kvs, message):
    model = gguf_file(kvs)
    fails(reader, message, model)
    assert tarnwick.remove_manifest(model) == gguf_file()


@pytest.mark.parametrize(
    "key", ["c2pa:manifest.urix", "c2pa:manifest.ur", "C2PA:MANIFEST", "xc2pa:manifest", "c2pa:manifest\0"]
)
def test_near_miss_keys_are_ordinary(key):
    model = gguf_file([kv(key, v_bytes(b"x"))])
    with pytest.raises(ValueError, match="^no C2PA manifest found in model$"):
        tarnwick.read_manifest(model)
    assert tarnwick.read_manifest_uri(model) is None
    assert tarnwick.remove_manifest(model) == model
    assert tarnwick.embed_manifest(model, b"s") == gguf_file([kv(key, v_bytes(b"x")), store_kv(b"s")])


# --- hostile and large input -------------------------------------------------


DEEP = 1_000_000
NESTINGS = {
    "one element per level": lambda inner: v_array(ARRAY, 1) + array_body(ARRAY, 1) * (DEEP - 1) + inner,
    "two elements per level": lambda inner: (
        v_array(ARRAY, 2) + array_body(ARRAY, 2) * (DEEP - 1) + inner + array_body(UINT8, 0) * DEEP
    ),
}


@pytest.mark.parametrize("nesting", NESTINGS.values(), ids=NESTINGS.keys())
def test_arrays_nested_a_million_deep(nesting):
    entry = kv("deep", nesting(array_body(UINT8, 1, b"\x05")))
    whole = gguf_file([entry])
    assert tarnwick.remove_manifest(whole) == whole
    fails(tarnwick.read_manifest, TRUNCATED, header(0, 1) + entry[:-1])


# Rewrites keep runs of entries between dropped ones: short runs are copied
# together, long ones (4096 bytes and more) stay views of the input.
SHORT = kv("a", v_u32(1))
LONG = kv("b", v_bytes(bytes(5000)))
RUNS = {
    "one entry each": [SHORT, uri_kv("x")] * 300,
    "short and long": [SHORT, uri_kv("x"), SHORT, SHORT, store_kv(b"s"), LONG, kv("c2pa:manifest", v_u32(3))] * 9,
    "long only": [LONG, store_kv(b"s"), LONG, LONG, uri_kv("y")] * 3,
    "dropped first": [store_kv(b"s"), uri_kv("y"), SHORT, LONG, SHORT],
}


@pytest.mark.parametrize("kvs", RUNS.values(), ids=RUNS.keys())
def test_runs_between_dropped_entries(kvs):
    kept = [k for k in kvs if k in (SHORT, LONG)]
    model = gguf_file(kvs, TENSORS, DATA)
    assert tarnwick.remove_manifest(model) == gguf_file(kept, TENSORS, DATA)
    assert tarnwick.embed_manifest(model, b"n") == gguf_file(kept + [store_kv(b"n")], TENSORS, DATA)


def test_tokenizer_sized_arrays():
    n = 150_000
    tokens = b"".join(gstr("tok%d" % i) for i in range(n))
    kvs = [kv("tokens", v_array(STRING, n, tokens)), kv("scores", v_array(FLOAT32, n, bytes(4 * n)))]
    model = gguf_file(kvs, TENSORS, DATA)
    out = tarnwick.embed_manifest(model, b"m")
    assert out == gguf_file(kvs + [store_kv(b"m")], TENSORS, DATA)


# --- round trips with the gguf package ----------------------------------------


def write_peer_model(path, gguf, np):
    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_custom_alignment(64)
    writer.add_uint32("llama.block_count", 3)
    writer.add_int64("sample.offset", -5)
    writer.add_float32("llama.rope.freq_base", 10000.0)
    writer.add_bool("sample.flag", True)
    writer.add_string("general.name", "tiny ünïcode")
    writer.add_array("tokenizer.ggml.tokens", ["<s>", "</s>", "hello"])
    writer.add_array("tokenizer.ggml.scores", [0.0, -1.5, 2.25])
    writer.add_tensor("token_embd.weight", np.arange(12, dtype=np.float32).reshape(3, 4))
    writer.add_tensor("output_norm.weight", np.linspace(0, 1, 7).astype(np.float16))
    writer.add_tensor("blk.0.idx", np.arange(-5, 5, dtype=np.int32).reshape(2, 5))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


def peer_view(path, gguf):
    reader = gguf.GGUFReader(str(path))
    fields = {
        name: ([int(t) for t in f.types], [bytes(f.parts[i].tobytes()) for i in f.data])
        for name, f in reader.fields.items()
        if not name.startswith("GGUF.")
    }
    tensors = [
        (t.name, [int(d) for d in t.shape], int(t.tensor_type), t.data.tobytes()) for t in reader.tensors
    ]
    return fields, tensors


def test_peer_round_trip(tmp_path):
    gguf = pytest.importorskip("gguf")
    np = pytest.importorskip("numpy")
    original_path = tmp_path / "model.gguf"
    write_peer_model(original_path, gguf, np)
    original = original_path.read_bytes()
    fields, tensors = peer_view(original_path, gguf)
    assert len(tensors) == 3

    store = bytes(range(256)) * 3
    embedded_path = tmp_path / "embedded.gguf"
    embedded_path.write_bytes(tarnwick.embed_manifest_both(original, "https://example.com/m.c2pa", store))
    got_fields, got_tensors = peer_view(embedded_path, gguf)
    assert got_tensors == tensors
    assert list(got_fields)[: len(fields)] == list(fields)
    assert list(got_fields)[len(fields) :] == ["c2pa:manifest", "c2pa:manifest.uri"]
    assert {k: got_fields[k] for k in fields} == fields
    assert got_fields["c2pa:manifest"] == ([ARRAY, UINT8], [bytes([b]) for b in store])
    assert got_fields["c2pa:manifest.uri"] == ([STRING], [b"https://example.com/m.c2pa"])
    assert tarnwick.read_manifest(embedded_path.read_bytes()) == store

    removed_path = tmp_path / "removed.gguf"
    removed_path.write_bytes(tarnwick.remove_manifest(embedded_path.read_bytes()))
    assert peer_view(removed_path, gguf) == (fields, tensors)
    assert removed_path.read_bytes() == original


# --- rewrites for files: tensor data congruent modulo the block ---------------

BLOCK = 4096
BIG = bytes(range(256)) * 256  # 64 KiB: the least tensor data that is kept congruent
aligned_embed = tarnwick._embed_manifest_aligned
aligned_remove = tarnwick._remove_manifest_aligned


def data_offset(model, data):
    assert model.endswith(data)
    return len(model) - len(data)


def congruent(source, out, data=BIG):
    return (data_offset(out, data) - data_offset(source, data)) % BLOCK == 0


def with_padding(kvs, data, alignment, old):
    """The file with kvs and a c2pa:padding entry that ends the records where
    the tensor data starts, at an offset congruent to `old`."""
    records = len(gguf_file(kvs + [padding_kv(0)], TENSORS, alignment=1))
    return gguf_file(kvs + [padding_kv((old - records) % BLOCK)], TENSORS, data, alignment)


@pytest.mark.parametrize("filler", [0, 1, 29, 2000, 4090, 4100, 9000])
@pytest.mark.parametrize("alignment", [32, 64, 1, 4096])
@pytest.mark.parametrize("store", [b"s" * 7, bytes(5000)])
def test_embed_keeps_tensor_data_congruent(filler, alignment, store):
    kvs = [kv("general.name", v_str("x" * filler))]
    if alignment != 32:
        kvs.insert(0, kv("general.alignment", v_u32(alignment)))
    model = gguf_file(kvs, TENSORS, BIG, alignment)
    new = kvs + [store_kv(store), uri_kv("u")]
    plain = tarnwick.embed_manifest_both(model, "u", store)
    out = aligned_embed(model, store, "u", BLOCK)
    # no entry when the data lands congruent anyway (always, at alignment 4096)
    expected = plain if congruent(model, plain) else with_padding(new, BIG, alignment, data_offset(model, BIG))
    assert out == expected
    assert congruent(model, out)
    assert tarnwick.read_manifest(out) == store
    assert tarnwick.read_manifest_uri(out) == "u"
    # a strip drops the padding and cannot keep the congruence
    assert aligned_remove(out, BLOCK) == tarnwick.remove_manifest(out) == model
    # embed replaces the padding, never keeps two
    again = aligned_embed(out, b"n", None, BLOCK)
    assert again.count(b"c2pa:padding") <= 1
    assert congruent(model, again)
    assert tarnwick.embed_manifest(out, b"n") == tarnwick.embed_manifest(model, b"n")


ALIGNMENT_48 = [kv("general.alignment", v_u32(48))]

# Where the block changes nothing: the output is the bytes functions'.
UNPADDED_CASES = {
    "block 0": ([], BIG, 0),
    "below the smallest block": ([], BIG, 2048),
    "not a power of two": ([], BIG, 6144),
    "above the largest block": ([], BIG, 2**25),
    "block 2^64 - 1": ([], BIG, 2**64 - 1),
    "tensor data 1 byte short": ([], BIG[:-1], BLOCK),
    "no tensors": ([], b"", BLOCK),
    "alignment not dividing the block": (ALIGNMENT_48, BIG, BLOCK),
}


@pytest.mark.parametrize("kvs, data, block", UNPADDED_CASES.values(), ids=UNPADDED_CASES.keys())
def test_block_changes_nothing(kvs, data, block):
    tensors = TENSORS if data else []
    for filler in range(0, 64, 8):  # whatever the metadata's length
        model = gguf_file(kvs + [kv("f", v_str("x" * filler))], tensors, data, 48 if kvs else 32)
        assert aligned_embed(model, b"s", "u", block) == tarnwick.embed_manifest_both(model, "u", b"s")
        assert aligned_remove(model, block) == tarnwick.remove_manifest(model) == model


# Entries under the padding key that this module did not write: readers pass
# them over, rewrites drop them like the other C2PA entries, whatever they hold.
STRAY_PADDING = {
    "string": kv("c2pa:padding", v_str("hidden")),
    "uint32": kv("c2pa:padding", v_u32(7)),
    "non-zero bytes": kv("c2pa:padding", v_bytes(b"\x01\x02")),
    "nested arrays": kv("c2pa:padding", v_array(ARRAY, 1, array_body(UINT8, 1, b"\x00"))),
}


@pytest.mark.parametrize("stray", STRAY_PADDING.values(), ids=STRAY_PADDING.keys())
def test_stray_padding_is_dropped(stray):
    model = gguf_file(ORDINARY[:1] + [stray, store_kv(b"s"), stray], TENSORS, BIG)
    assert tarnwick.read_manifest(model) == b"s"
    assert tarnwick.read_manifest_uri(model) is None
    clean = gguf_file(ORDINARY[:1], TENSORS, BIG)
    assert tarnwick.remove_manifest(model) == aligned_remove(model, BLOCK) == clean
    assert tarnwick.embed_manifest(model, b"n") == tarnwick.embed_manifest(clean, b"n")
    out = aligned_embed(model, b"n", None, BLOCK)
    assert congruent(model, out)
    assert out.count(b"c2pa:padding") == 1
    assert tarnwick.remove_manifest(out) == clean


def test_padding_alone_is_no_manifest():
    model = gguf_file([padding_kv(3)], TENSORS, DATA)
    with pytest.raises(ValueError, match="^no C2PA manifest found in model$"):
        tarnwick.read_manifest(model)
    assert tarnwick.read_manifest_uri(model) is None
    assert tarnwick.remove_manifest(model) == gguf_file([], TENSORS, DATA)


def write_big_peer_model(path, gguf, np, alignment=None):
    writer = gguf.GGUFWriter(str(path), "llama")
    if alignment:
        writer.add_custom_alignment(alignment)
    writer.add_string("general.name", "padded")
    writer.add_tensor("big", np.arange(20_000, dtype=np.float32))
    writer.add_tensor("small", np.arange(3, dtype=np.int8))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


@pytest.mark.parametrize("alignment", [None, 64])
def test_peer_reads_padded_output(tmp_path, alignment):
    gguf = pytest.importorskip("gguf")
    np = pytest.importorskip("numpy")
    path = tmp_path / "model.gguf"
    write_big_peer_model(path, gguf, np, alignment)
    model = path.read_bytes()
    fields, tensors = peer_view(path, gguf)
    old = gguf.GGUFReader(str(path)).data_offset

    for i, store in enumerate([b"s", bytes(3000), bytes(5000)]):
        out_path = tmp_path / f"out{i}.gguf"
        out = aligned_embed(model, store, "u", BLOCK)
        out_path.write_bytes(out)
        assert gguf.GGUFReader(str(out_path)).data_offset % BLOCK == old % BLOCK
        got_fields, got_tensors = peer_view(out_path, gguf)
        assert got_tensors == tensors
        assert list(got_fields) == list(fields) + ["c2pa:manifest", "c2pa:manifest.uri", "c2pa:padding"]
        assert {k: got_fields[k] for k in fields} == fields
        assert tarnwick.remove_manifest(out) == model


def llama_cpp_lib():
    """The library llama_cpp ships with llama.cpp's own GGUF reader, and the
    type of its parameters."""
    import ctypes
    import pathlib

    llama_cpp = pytest.importorskip("llama_cpp")
    found = sorted((pathlib.Path(llama_cpp.__file__).parent / "lib").glob("libggml-base.so*"))
    if not found:
        pytest.skip("llama_cpp ships no libggml-base")
    lib = ctypes.CDLL(str(found[0]))

    class Params(ctypes.Structure):
        _fields_ = [("no_alloc", ctypes.c_bool), ("ctx", ctypes.c_void_p)]

    lib.gguf_init_from_file.restype = ctypes.c_void_p
    lib.gguf_init_from_file.argtypes = [ctypes.c_char_p, Params]
    lib.gguf_free.argtypes = [ctypes.c_void_p]
    return lib, Params


def llama_cpp_gguf():
    """llama.cpp's own GGUF reader, from the library llama_cpp ships."""
    import ctypes

    lib, Params = llama_cpp_lib()
    for name, restype in [("gguf_get_data_offset", ctypes.c_size_t), ("gguf_get_n_tensors", ctypes.c_int64),
                          ("gguf_get_tensor_offset", ctypes.c_size_t), ("gguf_find_key", ctypes.c_int64)]:
        getattr(lib, name).restype = restype
    lib.gguf_get_tensor_offset.argtypes = [ctypes.c_void_p, ctypes.c_int64]
    lib.gguf_find_key.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.gguf_get_data_offset.argtypes = lib.gguf_get_n_tensors.argtypes = lib.gguf_free.argtypes = [ctypes.c_void_p]

    def read(path):
        ctx = lib.gguf_init_from_file(str(path).encode(), Params(True, None))
        assert ctx, path
        try:
            offsets = [lib.gguf_get_tensor_offset(ctx, i) for i in range(lib.gguf_get_n_tensors(ctx))]
            return lib.gguf_get_data_offset(ctx), offsets, lib.gguf_find_key(ctx, b"c2pa:padding") >= 0
        finally:
            lib.gguf_free(ctx)

    return read


def test_llama_cpp_reads_padded_output(tmp_path):
    gguf = pytest.importorskip("gguf")
    np = pytest.importorskip("numpy")
    read = llama_cpp_gguf()
    path = tmp_path / "model.gguf"
    write_big_peer_model(path, gguf, np)
    old, offsets, padded = read(path)
    assert not padded
    out = tmp_path / "out.gguf"
    out.write_bytes(aligned_embed(path.read_bytes(), bytes(3000), "u", BLOCK))
    new, new_offsets, padded = read(out)
    assert padded and new_offsets == offsets and new % BLOCK == old % BLOCK and new != old


# ---------------------------------------------------------------------------
# Signing and verifying take only tensor records llama.cpp loads

F32, Q4_0 = 0, 2


def tensors_file(*tensors, data=bytes(64), kvs=()):
    return gguf_file(list(kvs), list(tensors), data)


# (model, message, whether gguf-py refuses it too: the rest only llama.cpp does)
CUT = tensors_file(tensor("w", [8]), tensor("b", [4], F32, 32), data=bytes(40))
REFUSED_RECORDS = {
    "tensor past the end": (CUT, 'tensor "b" data, 16 bytes from byte 128, goes past the end of the file (136 bytes)',
                            True),
    "misaligned offset": (tensors_file(tensor("w", [8]), tensor("b", [4], F32, 40)),
                          'tensor "b" data offset 40 is not a multiple of the alignment 32', False),
    "gap": (tensors_file(tensor("w", [8]), tensor("b", [4], F32, 64), data=bytes(80)),
            'tensor "b" data offset is 64, but llama.cpp expects 32: the end of the tensor data before it, '
            "aligned to 32", False),
    "overlap": (tensors_file(tensor("w", [8]), tensor("b", [4], F32, 0)),
                'tensor "b" data offset is 0, but llama.cpp expects 32: the end of the tensor data before it, '
                "aligned to 32", False),
    "name twice": (tensors_file(tensor("w", [8]), tensor("w", [4], F32, 32)), 'tensor name "w" appears twice', True),
    "row of blocks": (tensors_file(tensor("q", [33], Q4_0)),
                      'tensor "q" of type Q4_0 has 33 elements a row, not a multiple of its block of 32', True),
    "removed type": (tensors_file(tensor("q", [32], 4)), 'tensor "q" has unknown type 4', True),
    "five dimensions": (tensors_file(tensor("w", [1] * 5)),
                        'tensor "w" has 5 dimensions, more than the 4 llama.cpp allows', False),
    "negative dimension": (tensors_file(tensor("w", [2**63])), 'tensor "w" dimension 0 is negative', True),
    "too many elements": (tensors_file(tensor("w", [2**32, 2**31])),
                          'tensor "w" has more elements than llama.cpp can count', True),
    "long name": (tensors_file(tensor("n" * 64, [1])),
                  f'tensor "{"n" * 64}" has a name of 64 bytes, longer than the 63 llama.cpp allows', False),
    "empty key": (tensors_file(kvs=[kv("", v_u32(1))]), "a metadata key is empty", False),
    "key twice": (tensors_file(kvs=[kv("k", v_u32(1)), kv("k", v_u32(1))]), 'duplicate metadata key "k"', True),
    "alignment type": (tensors_file(kvs=[kv("general.alignment", v_u64(32))]),
                       "general.alignment is a UINT64, not a UINT32", True),
    "alignment not a power of two": (tensors_file(kvs=[kv("general.alignment", v_u32(48))]),
                                     "general.alignment 48 is not a power of two", True),
}


def llama_cpp_refuses(path):
    """Whether llama.cpp's own reader refuses the file; skips without it."""
    lib, params = llama_cpp_lib()
    ctx = lib.gguf_init_from_file(str(path).encode(), params(True, None))
    if ctx:
        lib.gguf_free(ctx)
    return not ctx


@pytest.mark.parametrize("model,message,gguf_py", REFUSED_RECORDS.values(), ids=REFUSED_RECORDS.keys())
def test_records_llama_cpp_refuses_are_refused(tmp_path, model, message, gguf_py):
    path = tmp_path / "model.gguf"
    path.write_bytes(model)
    for operation in (tarnwick.inspect, lambda p: tarnwick.embed_file(p, reserve=8, output=p + ".out"),
                      lambda p: tarnwick.check_binding(p, [], b"")):
        with pytest.raises(ValueError) as refused:
            operation(str(path))
        assert str(refused.value) == f"malformed model container: {message}: {str(path)!r}"
    assert tarnwick.read_manifest(tarnwick.embed_manifest(model, b"s")) == b"s"  # the bytes functions as before
    if gguf_py:
        gguf = pytest.importorskip("gguf")
        with pytest.raises((ValueError, KeyError)):
            [t.data for t in gguf.GGUFReader(str(path)).tensors]


@pytest.mark.parametrize("model", [m for m, _, gguf_py in REFUSED_RECORDS.values() if not gguf_py],
                         ids=[k for k, (_, _, gguf_py) in REFUSED_RECORDS.items() if not gguf_py])
def test_llama_cpp_refuses_what_only_it_checks(tmp_path, model):
    path = tmp_path / "model.gguf"
    path.write_bytes(model)
    assert llama_cpp_refuses(path)


def test_records_llama_cpp_lays_out_pass(tmp_path):
    model = tensors_file(tensor("q", [64, 2], Q4_0), tensor("z", [0, 3], F32, 96), tensor("w", [3], F32, 96),
                         data=bytes(96 + 12), kvs=[kv("general.alignment", v_u32(32)), store_kv(b"x"), store_kv(b"y")])
    path = tmp_path / "model.gguf"
    path.write_bytes(model)
    with pytest.raises(ValueError, match="^more than one c2pa:manifest entry"):
        tarnwick.inspect(str(path))
    assert tarnwick.embed_file(str(path), reserve=8).store_range is not None
    assert tarnwick.inspect(str(path)).store_size == 8
