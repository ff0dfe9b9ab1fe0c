"""Base64 of manifest stores, observed through ONNX store entries."""

import base64
import binascii

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarnwick
from protowire import IR_VERSION, STORE_KEY, entry

NOT_BASE64 = "malformed manifest reference: value is not valid Base64"


def read_text(text: bytes) -> bytes:
    return tarnwick.read_manifest(IR_VERSION + entry(STORE_KEY, text))


ENCODED = {b"": b"", b"A": b"QQ==", b"AB": b"QUI=", b"ABC": b"QUJD", b"\xff\xfe\xfd\xfc": b"//79/A=="}


@pytest.mark.parametrize("raw, text", ENCODED.items(), ids=repr)
def test_encode(raw, text):
    assert tarnwick.embed_manifest(IR_VERSION, raw) == IR_VERSION + entry(STORE_KEY, text)


@pytest.mark.parametrize("raw, text", ENCODED.items(), ids=repr)
def test_decode(raw, text):
    assert read_text(text) == raw


REJECTED = {
    "length 2": b"QQ",
    "length 3": b"QQ=",
    "padding before the last group": b"QQ==QUJD",
    "three padding characters": b"Q===",
    "four padding characters": b"====",
    "padding first": b"=QQQ",
    "padding second": b"Q=QQ",
    "padding third only": b"QU=D",
    "padding second and fourth": b"Q=Q=",
    "leftover bits with two pads": b"QR==",
    "leftover bits with one pad": b"QUJ=",
    "space": b"QU D",
    "line break": b"QUJD\nQUJD",
    "trailing newline": b"QUJDQQ==\n",
    "url-safe minus": b"QU-D",
    "url-safe underscore": b"QU_D",
    "non-ASCII letter": "QU\u00e9".encode(),
    "NUL": b"QU\x00D",
}


@pytest.mark.parametrize("text", REJECTED.values(), ids=REJECTED.keys())
def test_decode_rejects(text):
    with pytest.raises(ValueError) as e:
        read_text(text)
    assert str(e.value) == NOT_BASE64


@given(st.binary(max_size=300))
def test_round_trip(raw):
    out = tarnwick.embed_manifest(IR_VERSION, raw)
    assert out.endswith(base64.b64encode(raw))
    assert tarnwick.read_manifest(out) == raw


@given(st.text(alphabet="AQgw+/=Zz09-_ \n", max_size=12))
def test_accepts_exactly_canonical_text(text):
    data = text.encode()
    try:
        canonical = base64.b64encode(base64.b64decode(data, validate=True)) == data
    except binascii.Error:
        canonical = False
    if canonical:
        assert read_text(data) == base64.b64decode(data)
    else:
        with pytest.raises(ValueError, match="^malformed manifest reference: value is not valid Base64$"):
            read_text(data)
