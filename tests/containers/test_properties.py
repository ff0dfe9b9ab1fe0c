"""Properties of the whole API over generated models of every format: what an
embed places is read back, remove leaves no C2PA data and nothing else
changes. (Arbitrary and corrupted bytes are the fuzzers' work, in src/fuzz/.)"""

import base64
import json
import re
import struct

import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import protowire as pw  # noqa: E402
import tarnwick  # noqa: E402
from gguf_files import (  # noqa: E402
    ARRAY, STRING, array_body, gstr, header, kv, store_kv, tensor, u32, uri_kv, v_u32,
)
from st_files import tensors_of, written_header  # noqa: E402

NO_MANIFEST = "no C2PA manifest found in model"
NOT_OBJECT = "malformed model container: __metadata__ is not a JSON object"

PROPERTY = settings(
    max_examples=300,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

STORE_KEY, URI_KEY = "c2pa:manifest", "c2pa:manifest.uri"
NEAR_MISS_KEYS = ["C2PA:MANIFEST", "c2pa:manifest ", "c2pa:manifest.uri.x", "xc2pa:manifest", "c2pa:manifes"]

stores = st.one_of(st.just(b""), st.binary(max_size=300))
uris = st.one_of(
    st.just(""),
    st.text(max_size=30),
    st.sampled_from(["https://ex.org/m", "ürï:✓/☃", "\"\\/\n\x00"]),
)
# (store, uri): every shape the Python API can ask for.
sources = st.one_of(
    st.tuples(stores, st.none()),
    st.tuples(st.none(), uris),
    st.tuples(stores, uris),
)


def embed(model, store, uri):
    if uri is None:
        return tarnwick.embed_manifest(model, store)
    if store is None:
        return tarnwick.embed_manifest_remote(model, uri)
    return tarnwick.embed_manifest_both(model, uri, store)


def assert_no_c2pa(model):
    with pytest.raises(ValueError, match="^" + re.escape(NO_MANIFEST) + "$"):
        tarnwick.read_manifest(model)
    assert tarnwick.read_manifest_uri(model) is None
    assert tarnwick.remove_manifest(model) == model


def check_embed(model, store, uri):
    """Embeds, checks what every format promises and returns the output."""
    original = bytearray(model)
    out = embed(model, store, uri)
    assert model == original
    assert tarnwick.detect_format(out) == tarnwick.detect_format(model)
    if store is None:
        with pytest.raises(ValueError, match="^" + re.escape(NO_MANIFEST) + "$"):
            tarnwick.read_manifest(out)
    else:
        assert tarnwick.read_manifest(out) == store
    assert tarnwick.read_manifest_uri(out) == uri
    assert_no_c2pa(tarnwick.remove_manifest(out))
    return out


# --- GGUF --------------------------------------------------------------------

SCALAR_SIZES = {0: 1, 1: 1, 2: 2, 3: 2, 4: 4, 5: 4, 6: 4, 7: 1, 10: 8, 11: 8, 12: 8}
VALUE_TYPES = sorted(SCALAR_SIZES) + [STRING, ARRAY]
MAX_ARRAY_DEPTH = 3


def gguf_payloads(code, depth=0):
    if code in SCALAR_SIZES:
        return st.binary(min_size=SCALAR_SIZES[code], max_size=SCALAR_SIZES[code])
    if code == STRING:
        return st.binary(max_size=12).map(gstr)  # STRING values need not be UTF-8
    return gguf_array_bodies(depth + 1)


def gguf_array_bodies(depth):
    element_types = VALUE_TYPES if depth < MAX_ARRAY_DEPTH else sorted(SCALAR_SIZES) + [STRING]

    def filled(code):
        return st.lists(gguf_payloads(code, depth), max_size=4).map(
            lambda items: array_body(code, len(items), b"".join(items))
        )

    # An empty array is accepted whatever its element type says.
    empty_of_any_type = st.integers(0, 2**32 - 1).map(lambda code: array_body(code, 0))
    return st.one_of(empty_of_any_type, st.sampled_from(element_types).flatmap(filled))


gguf_values = st.sampled_from(VALUE_TYPES).flatmap(lambda code: gguf_payloads(code).map(lambda p: u32(code) + p))
gguf_keys = st.one_of(
    st.text(max_size=16).filter(lambda k: k not in (STORE_KEY, URI_KEY, "general.alignment")),
    st.sampled_from(NEAR_MISS_KEYS + ["general.architecture"]),
)
# (is_c2pa, entry bytes)
gguf_entries = st.one_of(
    st.builds(kv, gguf_keys, gguf_values).map(lambda e: (False, e)),
    st.builds(kv, gguf_keys, gguf_values).map(lambda e: (False, e)),
    stores.map(lambda s: (True, store_kv(s))),
    uris.map(lambda u: (True, uri_kv(u))),
    st.builds(kv, st.sampled_from([STORE_KEY, URI_KEY]), gguf_values).map(lambda e: (True, e)),
)
gguf_tensors = st.builds(
    tensor,
    st.text(max_size=8),
    st.lists(st.integers(0, 2**64 - 1), max_size=4),
    st.integers(0, 2**32 - 1),
    st.integers(0, 2**64 - 1),
)


def gguf_bytes(version, entries, tensors, alignment, padding, data):
    head = header(len(tensors), len(entries), version) + b"".join(entries) + b"".join(tensors)
    return head + bytes([padding]) * (-len(head) % alignment) + data


@st.composite
def gguf_models(draw):
    """(model, rebuilt): `rebuilt(appended)` is the model as a rewrite must
    give it, its C2PA entries dropped, `appended` added and zero padding."""
    version = draw(st.sampled_from([2, 3]))
    entries = draw(st.lists(gguf_entries, max_size=8))
    alignment = draw(st.sampled_from([None, 1, 2, 3, 7, 8, 24, 32, 48, 64, 100]))
    if alignment is not None:
        at = draw(st.integers(0, len(entries)))
        entries.insert(at, (False, kv("general.alignment", v_u32(alignment))))
    tensors = draw(st.lists(gguf_tensors, max_size=4))
    data = draw(st.binary(max_size=200))
    padding = draw(st.integers(0, 255))
    align = alignment or 32
    given_kvs = [e for _, e in entries]
    kept = [e for c2pa, e in entries if not c2pa]

    def records(kvs):
        return header(len(tensors), len(kvs), version) + b"".join(kvs) + b"".join(tensors)

    model = gguf_bytes(version, given_kvs, tensors, align, padding, data)
    if not tensors and draw(st.booleans()):
        # ends inside the padding
        cut = draw(st.integers(0, max(-len(records(given_kvs)) % align - 1, 0)))
        model = records(given_kvs) + bytes([padding]) * cut

    def unpadded(file, kvs):
        """Without tensors, a file that ends at or inside its padding has no
        tensor data and is rewritten without padding."""
        left = len(file) - len(records(kvs))
        return not tensors and (left == 0 or left < -len(records(kvs)) % align)

    def rebuilt(appended, rewritten=None):
        """`rewritten`: (a rewrite's output, what it appended), when the
        rewrite is of that output rather than of the model."""
        if unpadded(model, given_kvs) if rewritten is None else unpadded(rewritten[0], kept + rewritten[1]):
            return records(kept + appended)
        return gguf_bytes(version, kept + appended, tensors, align, 0, data)

    return model, rebuilt


@PROPERTY
@given(gguf_models(), sources)
def test_gguf_embed_and_remove(generated, source):
    model, rebuilt = generated
    store, uri = source
    out = check_embed(model, store, uri)
    appended = ([] if store is None else [store_kv(store)]) + ([] if uri is None else [uri_kv(uri)])
    # Tensor data, tensor info and every other entry byte for byte; only the
    # entry count and the (zeroed) padding may differ.
    assert out == rebuilt(appended)
    assert tarnwick.remove_manifest(out) == rebuilt([], (out, appended))
    assert tarnwick.remove_manifest(model) == rebuilt([])
    assert_no_c2pa(tarnwick.remove_manifest(model))


# --- ONNX --------------------------------------------------------------------

C2PA_KEYS = (pw.STORE_KEY, pw.URI_KEY)
varint_padding = st.sampled_from([0, 0, 0, 0, 1, 3])


def loose_varint(n, padding):
    """A varint with `padding` redundant bytes, as far as ten bytes allow."""
    out = bytearray(pw.varint(n))
    for _ in range(min(padding, 10 - len(out))):
        out[-1] |= 0x80
        out.append(0)
    return bytes(out)


@st.composite
def proto_fields(draw, numbers, wire_types=(pw.VARINT, pw.FIXED64, pw.LENGTH, pw.FIXED32), payloads=None):
    """(field bytes, number, payload bytes) with any wire type and loose varints."""
    number = draw(numbers)
    wire_type = draw(st.sampled_from(wire_types))
    tag = loose_varint(number << 3 | wire_type, draw(varint_padding))
    if wire_type == pw.VARINT:
        payload = loose_varint(draw(st.integers(0, 2**64 - 1)), draw(varint_padding))
        return tag + payload, number, payload
    if wire_type in (pw.FIXED64, pw.FIXED32):
        size = 8 if wire_type == pw.FIXED64 else 4
        payload = draw(st.binary(min_size=size, max_size=size))
        return tag + payload, number, payload
    payload = draw(payloads if payloads is not None else st.binary(max_size=24))
    return tag + loose_varint(len(payload), draw(varint_padding)) + payload, number, payload


entry_keys = st.one_of(
    st.sampled_from(C2PA_KEYS),
    st.sampled_from(tuple(k.encode() for k in NEAR_MISS_KEYS)),
    st.binary(max_size=10),
)
entry_values = st.one_of(st.binary(max_size=20), stores.map(base64.b64encode))
entry_subfields = st.one_of(
    proto_fields(st.just(1), (pw.LENGTH,), entry_keys),
    proto_fields(st.just(2), (pw.LENGTH,), entry_values),
    proto_fields(st.sampled_from([1, 2, 3, 15, 1000])),
)


@st.composite
def metadata_entries(draw):
    """(is_c2pa, field bytes) of one top-level metadata_props element."""
    subfields = draw(st.lists(entry_subfields, max_size=4))
    # A key of another wire type than 2 is an unknown field to protobuf.
    keys = [payload for f, number, payload in subfields if number == 1 and f[0] & 7 == pw.LENGTH]
    payload = b"".join(f for f, _, _ in subfields)
    field, _, _ = draw(proto_fields(st.just(14), (pw.LENGTH,), st.just(payload)))
    return bool(keys) and keys[-1] in C2PA_KEYS, field


other_numbers = st.one_of(
    st.sampled_from([1, 2, 7, 8, 13, 15, 20]),
    st.integers(1, 2**29 - 1).filter(lambda n: n != 14),
)
top_level_fields = st.one_of(
    proto_fields(other_numbers).map(lambda f: (False, f[0])),
    proto_fields(st.just(14), (pw.VARINT, pw.FIXED64, pw.FIXED32)).map(lambda f: (False, f[0])),
    metadata_entries(),
    metadata_entries(),
)


@st.composite
def onnx_models(draw):
    """(model, the bytes of its non-C2PA fields in order). Leading with
    ir_version makes it ONNX, and its first eight bytes can never read as a
    SafeTensors header length that fits these small models."""
    ir_version, _, _ = draw(proto_fields(st.just(1), (pw.VARINT,)))
    fields = [(False, ir_version)] + draw(st.lists(top_level_fields, max_size=10))
    model = b"".join(f for _, f in fields)
    return model, b"".join(f for c2pa, f in fields if not c2pa)


def onnx_entry(key, value):
    return pw.field_bytes(14, pw.entry_payload(key, value))


@PROPERTY
@given(onnx_models(), sources)
def test_onnx_embed_and_remove(generated, source):
    model, kept = generated
    store, uri = source
    assert tarnwick.detect_format(model) == "ONNX"
    out = check_embed(model, store, uri)
    appended = b"" if store is None else onnx_entry(pw.STORE_KEY, base64.b64encode(store))
    appended += b"" if uri is None else onnx_entry(pw.URI_KEY, uri.encode())
    assert out == kept + appended
    # Exactly the C2PA entries' byte ranges cut out.
    assert tarnwick.remove_manifest(model) == kept
    assert tarnwick.remove_manifest(out) == kept


# --- SafeTensors -------------------------------------------------------------

# A header is held as a tree that keeps member order and duplicate keys:
# ("{}", [(key, value), ...]), ("[]", [value, ...]) or ("text", json_text).
whitespace = st.sampled_from(["", "", "", " ", "\n  ", "\t", "\r\n"])
json_keys = st.one_of(
    st.text(max_size=6),
    st.sampled_from(["__metadata__", STORE_KEY, URI_KEY, "format", "dtype"] + NEAR_MISS_KEYS),
)
json_scalars = st.one_of(
    st.text(max_size=8).map(json.dumps),
    stores.map(lambda s: json.dumps(base64.b64encode(s).decode())),
    st.from_regex(r"-?(0|[1-9][0-9]{0,5})(\.[0-9]{1,3})?([eE][+-]?[0-9]{1,2})?", fullmatch=True),
    st.sampled_from(["true", "false", "null"]),
).map(lambda text: ("text", text))
json_values = st.recursive(
    json_scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3).map(lambda items: ("[]", items)),
        st.lists(st.tuples(json_keys, inner), max_size=4).map(lambda members: ("{}", members)),
    ),
    max_leaves=10,
)
metadata_objects = st.lists(st.tuples(json_keys, json_values), max_size=5).map(lambda members: ("{}", members))


def scalar(value):
    return ("text", json.dumps(value))


def tensor_entry(dtype, shape, begin, size):
    return ("{}", [
        ("dtype", scalar(dtype)),
        ("shape", ("[]", [scalar(n) for n in shape])),
        ("data_offsets", ("[]", [scalar(begin), scalar(begin + size)])),
    ])


tensor_entries = st.builds(
    tensor_entry, st.sampled_from(["F32", "BF16", "U8"]), st.lists(st.integers(0, 9), max_size=3),
    st.integers(0, 10**6), st.integers(0, 10**6),
)
top_level_members = st.one_of(
    st.tuples(st.text(max_size=6), tensor_entries),
    st.tuples(st.text(max_size=6), json_values),
    st.tuples(st.just("__metadata__"), metadata_objects),
    st.tuples(st.just("__metadata__"), st.one_of(metadata_objects, json_values)),
)


@st.composite
def json_text(draw, value):
    kind, body = value
    if kind == "text":
        return body

    def gaps():
        return draw(whitespace)

    if kind == "[]":
        items = [gaps() + draw(json_text(item)) + gaps() for item in body]
        return "[" + ",".join(items) + gaps() + "]"
    members = [gaps() + json.dumps(k, ensure_ascii=draw(st.booleans())) + gaps() + ":" + gaps()
               + draw(json_text(v)) + gaps() for k, v in body]
    return "{" + ",".join(members) + gaps() + "}"


def is_object(value):
    return value[0] == "{}"


def strip_c2pa(value):
    """The tree with every C2PA member of every metadata object, at any
    depth, dropped."""
    kind, body = value
    if kind == "[]":
        return kind, [strip_c2pa(item) for item in body]
    if kind != "{}":
        return value
    members = []
    for k, v in body:
        v = strip_c2pa(v)
        if k == "__metadata__" and is_object(v):
            v = ("{}", [(mk, mv) for mk, mv in v[1] if mk not in (STORE_KEY, URI_KEY)])
        members.append((k, v))
    return kind, members


def comparable(value):
    """The tree in the form json.loads gives with `as_pairs`."""
    kind, body = value
    if kind == "text":
        return json.loads(body)
    if kind == "[]":
        return [comparable(item) for item in body]
    return ("{}", [(k, comparable(v)) for k, v in body])


def as_pairs(pairs):
    return ("{}", pairs)


def parsed_header(model):
    return json.loads(written_header(model).decode(), object_pairs_hook=as_pairs)


@st.composite
def safetensors_models(draw):
    """(model, header tree, tensor data)."""
    tree = ("{}", draw(st.lists(top_level_members, max_size=5)))
    text = draw(whitespace) + draw(json_text(tree)) + draw(whitespace) + " " * draw(st.integers(0, 7))
    data = draw(st.binary(max_size=100))
    encoded = text.encode()
    return struct.pack("<Q", len(encoded)) + encoded + data, tree, data


def expected_removal(tree):
    _, members = strip_c2pa(tree)
    return ("{}", [(k, v) for k, v in members if not (k == "__metadata__" and is_object(v) and not v[1])])


@PROPERTY
@given(safetensors_models(), sources)
def test_safetensors_embed_and_remove(generated, source):
    model, tree, data = generated
    store, uri = source
    assert tarnwick.detect_format(model) == "SafeTensors"
    removed = tarnwick.remove_manifest(model)
    assert tensors_of(removed) == data
    assert parsed_header(removed) == comparable(expected_removal(tree))
    assert_no_c2pa(removed)

    _, members = strip_c2pa(tree)
    metadata = next((v for k, v in members if k == "__metadata__"), None)
    if metadata is not None and not is_object(metadata):
        with pytest.raises(ValueError, match="^" + re.escape(NOT_OBJECT) + "$"):
            embed(model, store, uri)
        return
    out = check_embed(model, store, uri)
    assert tensors_of(out) == data
    appended = [] if store is None else [(STORE_KEY, scalar(base64.b64encode(store).decode()))]
    appended += [] if uri is None else [(URI_KEY, scalar(uri))]
    if metadata is None:
        members.append(("__metadata__", ("{}", appended)))
    else:
        metadata[1].extend(appended)  # the first top-level one, in place
    assert parsed_header(out) == comparable(("{}", members))
