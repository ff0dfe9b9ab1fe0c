"""SafeTensors: header framing, the C2PA members of "__metadata__", and
round trips through the safetensors library."""

import base64
import json
import os
import re

import pytest
from hypothesis import given, settings, strategies as st

import tarnwick
from tarnwick import _native as native
from st_files import header_of, st_file, tensors_of, with_length, written_header

NO_MANIFEST = "no C2PA manifest found in model"
DUPLICATE = "more than one c2pa:manifest entry in the SafeTensors container"
DUPLICATE_URI = "more than one c2pa:manifest.uri entry in the SafeTensors container"
NOT_BASE64 = "malformed manifest reference: value is not valid Base64"
NOT_OBJECT = "malformed model container: __metadata__ is not a JSON object"
NOT_SAFETENSORS = "unrecognized ML model container format"


def raises(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def embedded(header, store=None, uri=None, tensors=b""):
    model = st_file(header, tensors)
    if uri is None:
        return tarnwick.embed_manifest(model, store)
    if store is None:
        return tarnwick.embed_manifest_remote(model, uri)
    return tarnwick.embed_manifest_both(model, uri, store)


# ---------------------------------------------------------------------------
# Framing

NOT_DETECTED = {
    "seven bytes": b"\x00" * 7,
    "empty header": with_length(0),
    "length 2^64-8": with_length(2**64 - 8, b"{}"),
    "length 2^64-1": with_length(2**64 - 1, b"{}"),
    "length one past the end": with_length(3, b"{}"),
    "whitespace only": st_file(" \t\n\r\x0c"),
    "array header": st_file("[]"),
    "text before the brace": st_file('x{}'),
}


@pytest.mark.parametrize("model", NOT_DETECTED.values(), ids=NOT_DETECTED.keys())
def test_not_safetensors(model):
    assert tarnwick.detect_format(model) != "SafeTensors"


def test_header_may_end_at_the_end_of_the_file():
    model = with_length(2, b"{}")
    assert tarnwick.detect_format(model) == "SafeTensors"
    assert tarnwick.model_type(model) == "c2pa.types.model"
    assert tarnwick.remove_manifest(model) == st_file("{}", pad=6)


def test_leading_whitespace_including_form_feed_passes_detection():
    assert tarnwick.remove_manifest(st_file("  {}")) == st_file("{}", pad=6)
    model = st_file("\x0c{}")
    assert tarnwick.detect_format(model) == "SafeTensors"
    with raises("malformed model container: unexpected byte 0xc at 0"):
        tarnwick.remove_manifest(model)


def test_header_not_utf8():
    model = st_file(b'{"a":"\xff"}')
    with raises("malformed model container: header is not UTF-8"):
        tarnwick.remove_manifest(model)
    with raises("malformed model container: header is not UTF-8"):
        tarnwick.read_manifest_uri(model)
    with raises("data hash exclusion is malformed: header is not UTF-8"):
        tarnwick.read_manifest(model)


def test_trailing_data_after_the_header_object():
    with raises("malformed model container: trailing data at byte 2"):
        tarnwick.remove_manifest(st_file("{}x"))


def test_rewrite_pads_the_header_to_align_the_tensor_data():
    model = st_file('{"a":1}', b"\x01\x02\x03", pad=4)
    out = tarnwick.remove_manifest(model)
    assert out == bytes.fromhex("0800000000000000") + b'{"a":1} ' + b"\x01\x02\x03"
    assert len(out) == 19


@pytest.mark.parametrize("n", range(8))
def test_header_of_every_length_is_padded_to_a_multiple_of_8(n):
    text = '{"a":"' + "x" * n + '"}'
    out = tarnwick.remove_manifest(st_file(text, b"\xaa" * 4, pad=3))
    assert out == st_file(text, b"\xaa" * 4, pad=-(8 + len(text)) % 8)
    assert tarnwick.remove_manifest(out) == out


HEADER_LIMIT = 100_000_000  # the format's own loader refuses longer headers


@pytest.mark.parametrize(
    "operation",
    [tarnwick.read_manifest, tarnwick.read_manifest_uri, tarnwick.remove_manifest,
     lambda m: tarnwick.embed_manifest(m, b"s")],
    ids=["read", "read_uri", "remove", "embed"],
)
def test_header_longer_than_the_limit(operation):
    model = st_file("{}", pad=HEADER_LIMIT - 1)
    assert tarnwick.detect_format(model) == "SafeTensors"
    with raises(f"malformed model container: header longer than {HEADER_LIMIT} bytes"):
        operation(model)


def test_header_at_the_limit():
    model = st_file("{}", b"data", pad=HEADER_LIMIT - 2)
    assert tarnwick.remove_manifest(model) == st_file("{}", b"data", pad=6)


def test_tensor_data_is_never_scanned():
    bait = b'{"__metadata__":{"c2pa:manifest":"QUJD"}}\xff'
    model = st_file("{}", bait)
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(model)
    out = embedded("{}", b"XYZ", tensors=bait)
    assert tensors_of(out) == bait
    assert tarnwick.read_manifest(out) == b"XYZ"


# ---------------------------------------------------------------------------
# Embedding

EMBEDS = [
    ('{"w":{"k":[0,4]}}', b"ABC", None,
     '{"w":{"k":[0,4]},"__metadata__":{"c2pa:manifest":"QUJD"}}'),
    ('{"__metadata__":{"format":"pt"}}', b"ABC", "u1",
     '{"__metadata__":{"format":"pt","c2pa:manifest":"QUJD","c2pa:manifest.uri":"u1"}}'),
    ('{"__metadata__":{"c2pa:manifest":"WFla","c2pa:manifest.uri":"old","x":"y"}}', None, "new",
     '{"__metadata__":{"x":"y","c2pa:manifest.uri":"new"}}'),
    ('{"__metadata__":{"c2pa:manifest.uri":"old"}}', b"", None,
     '{"__metadata__":{"c2pa:manifest":""}}'),
    ("{}", None, "", '{"__metadata__":{"c2pa:manifest.uri":""}}'),
    ("{}", None, 'a"b\\c\n', r'{"__metadata__":{"c2pa:manifest.uri":"a\"b\\c\n"}}'),
    # a metadata object nested in another does not end the search of the outer
    ('{"__metadata__":{"__metadata__":{},"x":"y"}}', b"ABC", None,
     '{"__metadata__":{"__metadata__":{},"x":"y","c2pa:manifest":"QUJD"}}'),
    # keys spelt with escapes are the same keys
    (r'{"\u005f_metadata__":{"a":"b","c2pa\u003amanifest":"WFla"}}', b"ABC", None,
     '{"__metadata__":{"a":"b","c2pa:manifest":"QUJD"}}'),
]


def assert_reads_back(out, store, uri):
    assert tarnwick.read_manifest_uri(out) == uri
    if store is None:
        with raises(NO_MANIFEST):
            tarnwick.read_manifest(out)
    else:
        assert tarnwick.read_manifest(out) == store


@pytest.mark.parametrize("header,store,uri,expected", EMBEDS)
def test_embed(header, store, uri, expected):
    out = embedded(header, store, uri, tensors=b"\x00\x01\x02\x03")
    assert written_header(out) == expected.encode()
    assert tensors_of(out) == b"\x00\x01\x02\x03"
    assert_reads_back(out, store, uri)


@pytest.mark.parametrize("value", ['"x"', "null", "[]", "1", "true"])
def test_embed_into_metadata_that_is_not_an_object(value):
    with raises(NOT_OBJECT):
        embedded('{"__metadata__":' + value + "}", b"ABC")


# ---------------------------------------------------------------------------
# Removing

REMOVES = [
    ('{"__metadata__":{"c2pa:manifest":"QUJD"},"w":1}', '{"w":1}'),
    ('{"__metadata__":{"format":"pt","c2pa:manifest":"QUJD"}}', '{"__metadata__":{"format":"pt"}}'),
    ('{"__metadata__":{"c2pa:manifest.uri":"u","format":"pt"}}', '{"__metadata__":{"format":"pt"}}'),
    ('{"__metadata__":{}}', "{}"),
    ('{ "w" : [ 1.50 ] }', '{"w":[1.50]}'),
    ('{"__metadata__":"x"}', '{"__metadata__":"x"}'),
    # every C2PA member of every metadata object goes, at any depth
    ('{"__metadata__":{"c2pa:manifest":"QUJD","c2pa:manifest":"WFla"}}', "{}"),
    ('{"__metadata__":{"c2pa:manifest.uri":"a","x":1,"c2pa:manifest.uri":"b"}}',
     '{"__metadata__":{"x":1}}'),
    ('{"__metadata__":{"a":"b"},"__metadata__":{"c2pa:manifest":"QUJD"}}', '{"__metadata__":{"a":"b"}}'),
    ('{"__metadata__":{},"w":1,"__metadata__":{}}', '{"w":1}'),
    ('{"__metadata__":"x","__metadata__":{"c2pa:manifest":"QUJD"}}', '{"__metadata__":"x"}'),
    ('{"w":{"__metadata__":{"c2pa:manifest":"QUJD"}}}', '{"w":{"__metadata__":{}}}'),
    ('{"w":[{"__metadata__":{"c2pa:manifest":"QUJD","k":2}}]}', '{"w":[{"__metadata__":{"k":2}}]}'),
    ('{"__metadata__":{"__metadata__":{"c2pa:manifest":"QUJD"},"c2pa:manifest.uri":"u"}}',
     '{"__metadata__":{"__metadata__":{}}}'),
    (r'{"__metadata__":{"c2pa:manifes\u0074":"QUJD"}}', "{}"),
    (r'{"__m\u0065tadata__":{"c2pa:manifest.ur\u0069":"u"},"w":1}', '{"w":1}'),
    # only members of metadata objects are C2PA members
    ('{"c2pa:manifest":"QUJD","w":{"c2pa:manifest":"QUJD"}}', None),
    ('{"__metadata__":{"x":{"c2pa:manifest":"QUJD"}}}', None),
]


@pytest.mark.parametrize("header,expected", REMOVES)
def test_remove(header, expected):
    out = tarnwick.remove_manifest(st_file(header, b"\xaa\xbb"))
    assert written_header(out) == (header if expected is None else expected).encode()
    assert tensors_of(out) == b"\xaa\xbb"


# Headers whose C2PA data hides from a reader that looks only at the first
# member of the first top-level metadata object.
AWKWARD = {
    "duplicate store": '{"__metadata__":{"c2pa:manifest":"QUJD","c2pa:manifest":"WFla"}}',
    "duplicate uri": '{"__metadata__":{"c2pa:manifest.uri":"a","c2pa:manifest.uri":"b"}}',
    "second top-level metadata": '{"__metadata__":{"a":"b"},"__metadata__":{"c2pa:manifest":"QUJD"}}',
    "metadata in a tensor entry": '{"w":{"dtype":"F32","__metadata__":{"c2pa:manifest":"QUJD"}}}',
    "metadata in an array": '{"w":[{"__metadata__":{"c2pa:manifest":"QUJD"}}]}',
    "metadata in metadata": '{"__metadata__":{"__metadata__":{"c2pa:manifest":"QUJD"},"x":"y"}}',
    "store after nested metadata": '{"__metadata__":{"__metadata__":{},"c2pa:manifest":"QUJD"}}',
    "escaped key": r'{"__metadata__":{"c2pa:manifes\u0074":"QUJD","c2pa:manifest":"WFla"}}',
    "everything": '{"__metadata__":{"c2pa:manifest":"QUJD","__metadata__":{"c2pa:manifest":"QUJD"},'
    '"c2pa:manifest.uri":"u","c2pa:manifest":"QUJD"},"w":{"__metadata__":{"c2pa:manifest.uri":"v"}},'
    '"__metadata__":{"c2pa:manifest":"QUJD","c2pa:manifest.uri":"w"}}',
}


@pytest.mark.parametrize("header", AWKWARD.values(), ids=AWKWARD.keys())
def test_remove_leaves_nothing_to_read(header):
    out = tarnwick.remove_manifest(st_file(header, b"data"))
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(out)
    assert tarnwick.read_manifest_uri(out) is None
    assert tarnwick.remove_manifest(out) == out
    assert tensors_of(out) == b"data"


@pytest.mark.parametrize("store,uri", [(b"new", None), (None, "https://x/m"), (b"", "")])
@pytest.mark.parametrize("header", AWKWARD.values(), ids=AWKWARD.keys())
def test_embed_reads_back_exactly_the_source(header, store, uri):
    out = embedded(header, store, uri, tensors=b"data")
    assert_reads_back(out, store, uri)
    assert tensors_of(out) == b"data"


# ---------------------------------------------------------------------------
# Reading

READ_STORE = [
    ('{"__metadata__":{"c2pa:manifest":"QUJD"}}', b"ABC"),
    (' {"__metadata__" : { "c2pa:manifest" : "QUJD" } } ', b"ABC"),
    ('{"w":{"__metadata__":{"c2pa:manifest":"QUJD"}}}', b"ABC"),
    ('{"__metadata__":{"__metadata__":{"x":"y"},"c2pa:manifest":"QUJD"}}', b"ABC"),
    ('{"__metadata__":{"c2pa:manifest":""}}', b""),
    ('{"__metadata__":{"c2pa:manifest":"QUJD","c2pa:manifest":"QUJD"}}', DUPLICATE),
    ('{"__metadata__":{"c2pa:manifest":"QUJD"},"w":{"__metadata__":{"c2pa:manifest":"QUJD"}}}', DUPLICATE),
    ('{"__metadata__":{"c2pa:manifest":5}}', NO_MANIFEST),
    ('{"__metadata__":{"c2pa:manifest":["QUJD"]}}', NO_MANIFEST),
    ('{"__metadata__":{"x":{"c2pa:manifest":"QUJD"}}}', NO_MANIFEST),
    ('{"__metadata__":[{"c2pa:manifest":"QUJD"}]}', NO_MANIFEST),
    ('{"c2pa:manifest":"QUJD"}', NO_MANIFEST),
    ('{"__metadata__":{"x":"c2pa:manifest","y":"QUJD"}}', NO_MANIFEST),
    # keys are compared decoded, as every JSON reader compares them
    (r'{"__metadata__":{"c2pa:manifes\u0074":"QUJD"}}', b"ABC"),
    (r'{"__m\u0065tadata__":{"c2pa\u003amanifest":"QUJD"}}', b"ABC"),
    (r'{"__metadata__":{"c2pa:manifest":"QUJD","c2pa\u003amanifest":"WFla"}}', DUPLICATE),
    (r'{"__metadata__":{"c2pa\/manifest":"QUJD"}}', NO_MANIFEST),
    (r'{"__metadata__":{"c2pa:manifest":"QUJ\u0044"}}', NOT_BASE64),  # the value is taken raw
    (r'{"__metadata__":{"c2pa:manifest":"QU\/D"}}', NOT_BASE64),
    ('{"__metadata__":{"c2pa:manifest":"QUJ"}}', NOT_BASE64),
    ("{", "data hash exclusion is malformed: header length field does not span valid JSON: "
          "expected object key at 1"),
]


@pytest.mark.parametrize("header,expected", READ_STORE)
def test_read_manifest(header, expected):
    model = st_file(header, b"\x00" * 4)
    if isinstance(expected, bytes):
        assert tarnwick.read_manifest(model) == expected
    else:
        with raises(expected):
            tarnwick.read_manifest(model)


READ_URI = [
    ('{"__metadata__":{"c2pa:manifest.uri":"u1"}}', "u1"),
    (r'{"__metadata__":{"c2pa:manifest.uri":"\u00e9\/"}}', "é/"),
    ('{"__metadata__":{"c2pa:manifest.uri":"a","c2pa:manifest.uri":"b"}}', DUPLICATE_URI),
    ('{"__metadata__":{"c2pa:manifest.uri":5}}', None),
    ('{"__metadata__":{"c2pa:manifest.uri":5,"c2pa:manifest.uri":"b"}}', DUPLICATE_URI),
    ('{"__metadata__":{"c2pa:manifest.uri":"a","x":{"c2pa:manifest.uri":"b"}}}', "a"),
    (r'{"\u005f_metadata__":{"c2pa:manifest\u002euri":"u\u0031"}}', "u1"),
    (r'{"__metadata__":{"c2pa:manifest.uri":"a","c2pa:manifest\u002euri":"b"}}', DUPLICATE_URI),
    ('{"__metadata__":{"c2pa:manifest.uri":"a"},"__metadata__":{"c2pa:manifest.uri":"b"}}', "a"),
    ('{"__metadata__":"u"}', None),
    ("{}", None),
    ('{"w":{"__metadata__":{"c2pa:manifest.uri":"u"}}}', None),
    ('{"__metadata__":{},"__metadata__":{"c2pa:manifest.uri":"u"}}', None),
]


@pytest.mark.parametrize("header,expected", READ_URI)
def test_read_manifest_uri(header, expected):
    if expected == DUPLICATE_URI:
        with raises(expected):
            tarnwick.read_manifest_uri(st_file(header))
    else:
        assert tarnwick.read_manifest_uri(st_file(header)) == expected


# ---------------------------------------------------------------------------
# Round trips through the safetensors library

SAMPLES = {
    "float32 matrix": ("float32", (3, 4)),
    "float16 vector": ("float16", (5,)),
    "int64 cube": ("int64", (2, 3, 2)),
    "uint8 scalar": ("uint8", ()),
    "bool vector": ("bool", (7,)),
    "int8 odd": ("int8", (3,)),
    "empty": ("float64", (0, 3)),
}


def sample_tensors(np):
    rng = np.random.default_rng(5)
    return {
        name: np.asarray(rng.integers(0, 2 if dtype == "bool" else 100, size=shape), dtype=dtype)
        for name, (dtype, shape) in SAMPLES.items()
    }


def load(np, path):
    from safetensors import safe_open

    with safe_open(str(path), framework="numpy") as f:
        return {k: f.get_tensor(k) for k in f.keys()}, f.metadata()


@pytest.mark.parametrize("user_metadata", [None, {"format": "np", "note": 'quote " and é'}])
def test_safetensors_round_trip(tmp_path, user_metadata):
    np = pytest.importorskip("numpy")
    save = pytest.importorskip("safetensors.numpy").save
    tensors = sample_tensors(np)
    model = save(tensors, metadata=user_metadata)
    store = bytes(range(256)) * 3
    path = tmp_path / "m.safetensors"

    def check(expected_metadata):
        loaded, metadata = load(np, path)
        assert loaded.keys() == tensors.keys()
        for name, t in tensors.items():
            assert loaded[name].dtype == t.dtype and loaded[name].shape == t.shape
            assert np.array_equal(loaded[name], t)
        assert metadata == expected_metadata

    path.write_bytes(tarnwick.embed_manifest_both(model, "https://example.com/m.c2pa", store))
    check({**(user_metadata or {}),
           "c2pa:manifest": base64.b64encode(store).decode(),
           "c2pa:manifest.uri": "https://example.com/m.c2pa"})
    assert tarnwick.read_manifest(path.read_bytes()) == store

    path.write_bytes(tarnwick.embed_manifest_remote(path.read_bytes(), "u"))
    check({**(user_metadata or {}), "c2pa:manifest.uri": "u"})

    path.write_bytes(tarnwick.remove_manifest(path.read_bytes()))
    check(user_metadata)
    assert tensors_of(path.read_bytes()) == tensors_of(model)


def test_torch_loads_rewritten_files_and_views_them_in_place(tmp_path):
    torch = pytest.importorskip("torch")
    st_torch = pytest.importorskip("safetensors.torch")
    from safetensors import safe_open

    tensors = {
        "w": torch.arange(12, dtype=torch.float32).reshape(3, 4),
        "i": torch.arange(5, dtype=torch.int64),
        "h": torch.ones(3, dtype=torch.float16),
        "d": torch.arange(2, dtype=torch.float64),
    }
    original = tmp_path / "orig.safetensors"
    st_torch.save_file(tensors, str(original))
    lengths = set()
    for k in range(8):
        path = tmp_path / f"m{k}.safetensors"
        out = tarnwick.embed_manifest_both(original.read_bytes(), "u" * k, b"ABC")
        path.write_bytes(out)
        lengths.add(len(written_header(out)) % 8)
        with safe_open(str(path), framework="pt") as f:
            assert all(torch.equal(f.get_tensor(n), t) for n, t in tensors.items())
        loaded = st_torch.load_file(str(path))
        assert all(torch.equal(loaded[n], t) for n, t in tensors.items())
        for rewritten in (out, tarnwick.remove_manifest(out)):
            assert zero_copy_views(torch, rewritten).keys() == tensors.keys()
            assert all(torch.equal(zero_copy_views(torch, rewritten)[n], t) for n, t in tensors.items())
    assert lengths == set(range(8))  # compact headers of every length, padded


TORCH_DTYPES = {"F32": "float32", "F64": "float64", "F16": "float16", "BF16": "bfloat16",
                "I64": "int64", "I32": "int32", "I16": "int16", "I8": "int8", "U8": "uint8", "BOOL": "bool"}


def zero_copy_views(torch, model):
    """Every tensor as a view of the file's bytes, as loaders that map the
    file make them: torch refuses a view whose offset breaks the alignment
    of its element type."""
    import json

    whole = torch.frombuffer(bytearray(model), dtype=torch.uint8)
    start = 8 + len(header_of(model))
    views = {}
    for name, info in json.loads(header_of(model)).items():
        if name == "__metadata__":
            continue
        a, z = info["data_offsets"]
        dtype = getattr(torch, TORCH_DTYPES[info["dtype"]])
        views[name] = whole[start + a : start + z].view(dtype).reshape(info["shape"])
    return views


# ---------------------------------------------------------------------------
# Hostile headers: every operation returns or raises ValueError, and a strip
# or an embed that succeeds reads back as it should.

TOKENS = [b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b"u", b"D83D", b'"__metadata__"',
          b'"c2pa:manifest"', b'"c2pa:manifest.uri"', b'"QUJD"', b"1", b"null", b" ", b"\x0c",
          "é".encode(), b"\xff"]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=40))
def test_hostile_headers(tokens):
    model = st_file(b"{" + b"".join(tokens), b"tail")
    for op in (tarnwick.read_manifest, tarnwick.read_manifest_uri):
        try:
            op(model)
        except ValueError:
            pass
    try:
        out = tarnwick.remove_manifest(model)
    except ValueError:
        return
    assert tarnwick.read_manifest_uri(out) is None
    with raises(NO_MANIFEST):
        tarnwick.read_manifest(out)
    try:
        out = tarnwick.embed_manifest(model, b"XYZ")
    except ValueError as e:
        assert str(e) == NOT_OBJECT
        return
    assert tarnwick.read_manifest(out) == b"XYZ"


# ---------------------------------------------------------------------------
# Rewrites for files: the header padded with spaces so that the tensor data
# stays congruent modulo the block.

BLOCK = 4096
BIG = bytes(range(256)) * 256  # 64 KiB: the least tensor data that is kept congruent
aligned_embed = tarnwick._embed_manifest_aligned
aligned_remove = tarnwick._remove_manifest_aligned


def data_offset(model):
    return 8 + len(header_of(model))


def big_model(filler, spaces=0, data=BIG):
    """A header with a `filler`-character member, padded to 8 and `spaces` more."""
    text = '{"t":{"dtype":"U8","shape":[%d],"data_offsets":[0,%d]},"__metadata__":{"f":"%s"}}' % (
        len(data), len(data), "x" * filler)
    return st_file(text, data, pad=-(8 + len(text)) % 8 + spaces)


def padded_to(text, old):
    """The file with header `text`, padded so the data starts congruent to `old`."""
    return st_file(text, BIG, pad=(old - 8 - len(text)) % BLOCK)


@pytest.mark.parametrize("filler", [0, 1, 7, 2000, 4070, 4100, 9000])
@pytest.mark.parametrize("spaces", [0, 8, 4096])
@pytest.mark.parametrize("store", [b"s", bytes(5000)])
def test_embed_keeps_tensor_data_congruent(filler, spaces, store):
    model = big_model(filler, spaces)
    old = data_offset(model)
    out = aligned_embed(model, store, "u", BLOCK)
    assert out == padded_to(written_header(tarnwick.embed_manifest_both(model, "u", store)), old)
    assert tarnwick.read_manifest(out) == store
    assert tarnwick.read_manifest_uri(out) == "u"
    removed = aligned_remove(out, BLOCK)
    assert removed == padded_to(written_header(tarnwick.remove_manifest(out)), old)
    assert tarnwick.remove_manifest(out) == tarnwick.remove_manifest(model)


UNPADDED = {
    "block 0": (big_model(5), 0),
    "not a power of two": (big_model(5), 6144),
    "above the largest block": (big_model(5), 2**25),
    "tensor data 1 byte short": (big_model(5, data=BIG[:-1]), BLOCK),
    "data offset not a multiple of 8": (st_file(header_of(big_model(5)) + b" ", BIG), BLOCK),
}


@pytest.mark.parametrize("model, block", UNPADDED.values(), ids=UNPADDED.keys())
def test_block_changes_nothing(model, block):
    assert aligned_embed(model, b"s", "u", block) == tarnwick.embed_manifest_both(model, "u", b"s")
    assert aligned_remove(model, block) == tarnwick.remove_manifest(model)


def test_no_congruence_past_the_header_cap():
    # 64 bytes under the cap: the embed fits, the padding to the block would not
    model = big_model(100_000_000 - 64 - len(header_of(big_model(0))))
    assert len(header_of(model)) == 100_000_000 - 64
    out = aligned_embed(model, b"s", None, BLOCK)
    assert len(header_of(out)) <= 100_000_000
    assert out == tarnwick.embed_manifest(model, b"s")


def test_peers_load_padded_output(tmp_path):
    np = pytest.importorskip("numpy")
    from safetensors import safe_open
    from safetensors.numpy import load, save

    tensors = {"w": np.arange(20_000, dtype=np.float32).reshape(100, 200),
               "i": np.arange(5, dtype=np.int64), "h": np.ones(3, dtype=np.float16)}
    model = save(tensors)
    for i, store in enumerate([b"s", bytes(3000), bytes(5000)]):
        out = aligned_embed(model, store, "u", BLOCK)
        assert (data_offset(out) - data_offset(model)) % BLOCK == 0 and out != tarnwick.embed_manifest_both(
            model, "u", store)
        assert all(np.array_equal(load(out)[n], t) for n, t in tensors.items())
        path = tmp_path / f"out{i}.safetensors"
        path.write_bytes(out)
        with safe_open(str(path), framework="np") as f:
            assert all(np.array_equal(f.get_tensor(n), t) for n, t in tensors.items())
            assert f.metadata() == {"c2pa:manifest": base64.b64encode(store).decode(), "c2pa:manifest.uri": "u"}
        try:
            import torch
            import safetensors.torch as st_torch
        except ImportError:
            continue
        for loaded in (st_torch.load(out), st_torch.load_file(str(path)), zero_copy_views(torch, out)):
            assert all(np.array_equal(loaded[n].numpy(), t) for n, t in tensors.items())


# ---------------------------------------------------------------------------
# Signing and verifying take only a layout the safetensors library loads


def layout(*tensors, data=None, metadata=None):
    """A file of (name, dtype, shape, (start, end)) tensors; the data region
    is as long as the last end unless given."""
    header = {name: {"dtype": dtype, "shape": shape, "data_offsets": offsets}
              for name, dtype, shape, offsets in tensors}
    if metadata is not None:
        header = {"__metadata__": metadata, **header}
    end = max((offsets[1] for *_, offsets in tensors), default=0)
    return st_file(json.dumps(header), bytes(end) if data is None else data)


def ends_at(model, end):
    return f"the tensor data ends at byte {8 + len(header_of(model)) + end}, but the file is {len(model)} bytes"


A = ("a", "F32", [2], [0, 8])
TRUNCATED = layout(A, data=bytes(5))
TRAILING = layout(A, data=bytes(9))
PAST_THE_END = layout(A, ("b", "U8", [2**40], [8, 8 + 2**40]), data=bytes(16))
REFUSED_LAYOUTS = {
    "truncated": (TRUNCATED, ends_at(TRUNCATED, 8)),
    "trailing bytes": (TRAILING, ends_at(TRAILING, 8)),
    "offset past the end": (PAST_THE_END, ends_at(PAST_THE_END, 8 + 2**40)),
    "gap at the start": (layout(("a", "U8", [2], [1, 3])),
                         'tensor "a" data [1, 3) leaves a gap: the tensor data before it ends at 0'),
    "gap": (layout(A, ("b", "U8", [1], [9, 10])),
            'tensor "b" data [9, 10) leaves a gap: the tensor data before it ends at 8'),
    "overlap": (layout(A, ("b", "U8", [4], [4, 8])), 'tensor "b" data [4, 8) overlaps tensor "a" data [0, 8)'),
    "end before start": (layout(("a", "U8", [0], [4, 0]), data=bytes(4)),
                         'tensor "a" data_offsets [4, 0) end before they start'),
    "size of shape and dtype": (layout(("a", "F32", [3], [0, 8])),
                                'tensor "a" data [0, 8) is 8 bytes, but its dtype F32 and shape make 12'),
    "sub-byte remainder": (layout(("a", "F4", [3], [0, 2])),
                           'tensor "a" has 3 elements of dtype F4, which do not fill whole bytes'),
    "size overflow": (layout(("a", "U64", [2**32, 2**32, 0], [0, 0])),
                      'tensor "a" has a shape whose size in U64 overflows 64 bits'),
    "unknown dtype": (layout(("a", "Q4", [2], [0, 1])),
                      'tensor "a" has dtype "Q4", which the safetensors library does not know'),
    "negative dimension": (layout(("a", "U8", [-1], [0, 0])),
                           'tensor "a" shape is not a list of non-negative integers'),
    "three offsets": (layout(("a", "U8", [1], [0, 1, 1])),
                      'tensor "a" data_offsets is not a pair of non-negative integers'),
    "no data_offsets": (st_file('{"a":{"dtype":"U8","shape":[1]}}', b"\0"), 'tensor "a" has no data_offsets'),
    "named twice": (st_file('{"a":{"dtype":"U8","shape":[1],"data_offsets":[0,1]},'
                            '"a":{"dtype":"U8","shape":[1],"data_offsets":[1,2]}}', bytes(2)),
                    'tensor "a" is named twice in the header'),
    "metadata not text": (layout(A, metadata={"n": 1}), '__metadata__["n"] is not a string'),
    "metadata twice": (st_file('{"__metadata__":{},"__metadata__":{}}'), "__metadata__ appears twice in the header"),
}


def refusal(tmp_path, model, operation):
    path = tmp_path / "model.safetensors"
    path.write_bytes(model)
    with pytest.raises(ValueError) as refused:
        operation(str(path))
    return str(refused.value).replace(repr(str(path)), "PATH")


def loader_refuses(tmp_path, model):
    """The safetensors library refuses it too (when it is installed)."""
    try:
        from safetensors import SafetensorError, safe_open
    except ImportError:
        return

    path = tmp_path / "loaded.safetensors"
    path.write_bytes(model)
    with pytest.raises(SafetensorError):
        with safe_open(str(path), framework="numpy") as f:
            list(f.keys())


@pytest.mark.parametrize("model,message", REFUSED_LAYOUTS.values(), ids=REFUSED_LAYOUTS.keys())
def test_layout_the_library_refuses_is_refused(tmp_path, model, message):
    assert refusal(tmp_path, model, tarnwick.inspect) == f"malformed model container: {message}: PATH"
    loader_refuses(tmp_path, model)


SIGNING_AND_VERIFYING = {
    "inspect": tarnwick.inspect,
    "embed_file": lambda path: tarnwick.embed_file(path, reserve=10, output=path + ".out"),
    "signing rewrite": lambda path: native._signing_rewrite(path, reserve=10, output=path + ".out"),
    "check_binding": lambda path: tarnwick.check_binding(path, [], b""),
    "remote image": lambda path: native._inspect_remote(
        os.path.getsize(path), lambda offset, n: open(path, "rb").read()[offset:offset + n], name="model.safetensors"),
}


@pytest.mark.parametrize("operation", SIGNING_AND_VERIFYING.values(), ids=SIGNING_AND_VERIFYING.keys())
def test_signing_and_verifying_refuse_a_truncated_file(tmp_path, operation):
    message = f"malformed model container: {ends_at(TRUNCATED, 8)}"
    assert refusal(tmp_path, TRUNCATED, operation) in (f"{message}: PATH", f"{message}: 'model.safetensors'")
    assert not os.path.exists(tmp_path / "model.safetensors.out")


def test_the_bytes_functions_and_strip_still_take_a_truncated_file(tmp_path):
    stored = tarnwick.embed_manifest(TRUNCATED, b"store")
    assert tarnwick.read_manifest(stored) == b"store" and tensors_of(stored) == bytes(5)
    path = tmp_path / "model.safetensors"
    path.write_bytes(stored)
    tarnwick.strip_file(str(path))
    assert tensors_of(path.read_bytes()) == bytes(5)


def test_store_and_uri_in_metadata_are_no_tensor_data(tmp_path):
    model = tarnwick.embed_manifest_both(layout(A, metadata={"note": "x"}), "https://x/m", b"s" * 100)
    path = tmp_path / "model.safetensors"
    path.write_bytes(model)
    assert tarnwick.inspect(str(path)).store_size == 100
