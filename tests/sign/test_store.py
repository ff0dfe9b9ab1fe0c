"""A trusted store is exactly as signed: every byte of it, and of every
manifest it carries, is covered by a signature or fixed by the format."""

import io
import json
import pathlib
import random
import sys

import pytest

c2pa = pytest.importorskip("c2pa")
import tarnwick  # noqa: E402

if not hasattr(tarnwick, "sign_file"):
    pytest.skip("this tarnwick cannot sign", allow_module_level=True)

import credentials  # noqa: E402
import tsa  # noqa: E402
from tarnwick import _store  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "many"))
import models  # noqa: E402

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models" / "model.gguf"
BINDING = "assertion.dataHash.mismatch"  # the model's bytes: judged apart from the store


def verdict(store, anchors):
    """The store's state as the SDK and the walk judge it, the asset aside."""
    context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors.decode()}})
    try:
        with c2pa.Reader("application/octet-stream", io.BytesIO(b""), store, context) as reader:
            report, detail = json.loads(reader.json()), json.loads(reader.detailed_json())
    except c2pa.C2paError:
        return "invalid"
    results = report["validation_results"]["activeManifest"]
    success = {e["code"] for e in results.get("success", [])}
    if any(e["code"] != BINDING for e in results.get("failure", [])) or \
            _store.slack(store, "timeStamp.validated" in success):
        return "invalid"
    if _store.manifest_failures(report, detail, _store.manifest_labels(store)):
        return "invalid"
    return "trusted" if "signingCredential.trusted" in success else "valid"


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """(CA, {kind: store}): one manifest, one time-stamped, a re-signed file
    (its parent's manifest carried), a model-level store (its members'
    manifests carried)."""
    chain, key, ca, tsa_cert, tsa_key = credentials.credentials(tsa=True)
    folder = tmp_path_factory.mktemp("stores")
    tarnwick.sign_file(SAMPLE, cert=chain, key=key, output=folder / "once.gguf")
    tarnwick.sign_file(folder / "once.gguf", cert=chain, key=key, output=folder / "twice.gguf")
    entry = models.safetensors_model(str(folder / "m"), shards=2)
    tarnwick.sign_model(entry, cert=chain, key=key)
    stores = {"one": tarnwick.read_file(str(folder / "once.gguf")),
              "parent": tarnwick.read_file(str(folder / "twice.gguf")),
              "members": (folder / "m" / "model.c2pa").read_bytes()}
    if tsa.AVAILABLE:
        with tsa.TimeStampAuthority(tsa_cert, tsa_key, ca) as authority:
            tarnwick.sign_file(SAMPLE, cert=chain, key=key, output=folder / "stamped.gguf", tsa_url=authority.url)
        stores["time-stamped"] = tarnwick.read_file(str(folder / "stamped.gguf"))
    return ca, stores


def byte_string(data, at):
    """Where the content of the CBOR byte string at `at` lies."""
    info = data[at] & 31
    size = 1 << (info - 24) if info >= 24 else 0
    length = int.from_bytes(data[at + 1:at + 1 + size], "big") if size else info
    return range(at + 1 + size, at + 1 + size + length)


def token(store):
    """Where the time-stamp token lies in a store's last signature."""
    return byte_string(store, store.index(b"cval") + 4)


@pytest.mark.parametrize("kind, flips", [("one", 400), ("parent", 700), ("members", 700), ("time-stamped", 700)])
def test_no_bit_of_a_store_is_free(signed, kind, flips):
    ca, stores = signed
    if kind not in stores:
        pytest.skip("no openssl for the time-stamp authority")
    store = stores[kind]
    assert verdict(store, ca) == "trusted"
    # A time-stamp token: the SDK leaves much of it unchecked; flip there.
    where = token(store) if kind == "time-stamped" else range(len(store))
    bits = random.Random(kind).sample(range(where.start * 8, where.stop * 8), flips)
    free = [bit for bit in bits
            if verdict(bytes(b ^ (1 << bit % 8) if i == bit // 8 else b for i, b in enumerate(store)), ca)
            != "invalid"]
    assert free == []


# --- stores reshaped: CBOR and JUMBF as far as the cases need ------------------

def cbor(value):
    def head(major, n):
        for info, size in ((None, 0), (24, 1), (25, 2), (26, 4), (27, 8)):
            if info is None and n < 24:
                return bytes([major << 5 | n])
            if info is not None and n < 1 << (8 * size):
                return bytes([major << 5 | info]) + n.to_bytes(size, "big")
    if isinstance(value, int):
        return head(0, value)
    if isinstance(value, bytes):
        return head(2, len(value)) + value
    if isinstance(value, str):
        return head(3, len(value.encode())) + value.encode()
    if isinstance(value, list):
        return head(4, len(value)) + b"".join(cbor(v) for v in value)
    return head(5, len(value)) + b"".join(cbor(k) + cbor(v) for k, v in value.items())


def box(kind, payload):
    return (8 + len(payload)).to_bytes(4, "big") + kind + payload


def signature(store):
    """Where the last manifest's COSE_Sign1 lies: its box, the store's last, after its label."""
    start = store.rindex(b"c2pa.signature\0") + 15 + 8
    assert store[start:start + 2] == b"\xd2\x84"  # tag 18, an array of 4
    return start, len(store)


def with_unprotected(store, entries):
    """`store` with its last signature's unprotected header `entries`, the
    padding shrunk to keep every length (an ES256 signature: 64 bytes)."""
    start, end = signature(store)
    protected_end = byte_string(store, start + 2).stop
    pad_end = end - 3 - 64  # the null payload, the signature's head and bytes
    fixed = (protected_end - start) + (end - pad_end)
    for pad in range(end - start, -1, -1):
        header = cbor({**entries, "pad": bytes(pad)})
        if fixed + len(header) == end - start:
            return store[:protected_end] + header + store[pad_end:]
    raise AssertionError("no padding fits")


def grown(store, at, extra, depth):
    """`store` with `extra` inserted at `at`, inside `depth` superboxes (the store's first)."""
    out = bytearray(store[:at] + extra + store[at:])
    for size_at in _enclosing(store, at)[:depth]:
        size = int.from_bytes(out[size_at:size_at + 4], "big") + len(extra)
        out[size_at:size_at + 4] = size.to_bytes(4, "big")
    return bytes(out)


def _enclosing(store, at):
    """Where the length of each superbox holding offset `at` lies."""
    out, start, end = [], 0, len(store)
    while True:
        out.append(start)
        pos = start + 8
        while pos < end:
            size, kind = int.from_bytes(store[pos:pos + 4], "big"), store[pos + 4:pos + 8]
            if kind == b"jumb" and pos + 8 <= at <= pos + size:
                start, end = pos, pos + size
                break
            pos += size
        else:
            return out


def signature_box_end(store):
    return signature(store)[1]


# The first manifest's toggles: after the store's boxes (38 bytes), its box
# header, its description box's header and UUID.
TOGGLES = 38 + 8 + 8 + 16


CASES = {
    "unprotected x5chain": (lambda s: with_unprotected(s, {33: [bytes(40)]}),
                            "the signature's unprotected header holds x5chain (33): a certificate chain outside "
                            "the signed header"),
    "revocation values": (lambda s: with_unprotected(s, {"rVals": {"ocspVals": [bytes(40)]}}),
                          "the signature's unprotected header holds rVals: revocation values, which the SDK "
                          "does not check"),
    "a time-stamp not verified": (lambda s: with_unprotected(s, {"sigTst2": {"tstTokens": [{"val": bytes(9)}]}}),
                                  "the signature's time-stamp (sigTst2) is one the SDK did not verify"),
    "a json box after the signature": (lambda s: grown(s, signature_box_end(s), box(b"json", b"{}"), 3),
                                       "the box at {at} holds ['cbor', 'json'], not one cbor box"),
    "an unknown superbox": (lambda s: grown(s, signature_box_end(s), box(b"jumb", box(
        b"jumd", bytes.fromhex("0102030400110010800000aa00389b71") + b"\x03x\0")), 2),
                            "the superbox at {end} is of type 0102030400110010800000aa00389b71, not c2as or "
                            "c2cl or c2cs"),
    "a toggle bit": (lambda s: s[:TOGGLES] + b"\x02" + s[TOGGLES + 1:],
                     "the c2ma box at 46 has toggles 0x02, not 0x03"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_unsigned_bytes_are_refused(signed, case):
    ca, stores = signed
    store = stores["one"]
    reshape, why = CASES[case]
    changed = reshape(store)
    at = signature(store)[0] - 8 - 40  # the signature box's payload: before its cbor and description boxes
    why = why.format(at=at, end=len(store) + 8)
    assert _store.slack(changed) == "the manifest store is not as its writer made it: " + why
    assert verdict(store, ca) == "trusted" and verdict(changed, ca) == "invalid"


STAMPS = [
    (None, True, None),
    (None, False, "the signature's time-stamp (sigTst2) is one the SDK did not verify"),
    ({"sigTst2": {"tstTokens": [{"val": b"\x30\x00"}]}}, True, "the time-stamp's content is not as CMS has it"),
    ({"sigTst2": {"tstTokens": [{"val": b""}] * 2}}, True, "the signature's sigTst2 holds 2 tokens, not one"),
]


@pytest.mark.parametrize("case", range(len(STAMPS)))
def test_a_time_stamp_only_as_verified(signed, case):
    if "time-stamped" not in signed[1]:
        pytest.skip("no openssl for the time-stamp authority")
    header, verified, why = STAMPS[case]
    store = signed[1]["time-stamped"]
    store = store if header is None else with_unprotected(store, header)
    assert _store.slack(store, verified) == (
        None if why is None else "the manifest store is not as its writer made it: " + why)


def test_a_manifest_no_ingredient_refers_to(signed):
    """A manifest the active one does not reach is not validated by the SDK."""
    ca, stores = signed
    one, members = stores["one"], stores["members"]
    orphan = members[38:38 + int.from_bytes(members[38:42], "big")]
    store = grown(one, 38, orphan, 1)
    label = _store.manifest_labels(store)[0]
    context = c2pa.Context.from_dict({"trust": {"user_anchors": ca.decode()}})
    with c2pa.Reader("application/octet-stream", io.BytesIO(b""), store, context) as reader:
        report, detail = json.loads(reader.json()), json.loads(reader.detailed_json())
    assert _store.manifest_failures(report, detail, _store.manifest_labels(store)) == [(
        "tarnwick.store.unreferenced",
        f"the store holds the manifest {label}, which no ingredient refers to: the SDK does not validate it")]


def test_signer_chain(signed):
    from cryptography import x509
    store = signed[1]["parent"]
    labels = _store.manifest_labels(store)
    chain = _store.signer_chain(store, labels[-1])
    assert [x509.load_der_x509_certificate(c).subject.rfc4514_string() for c in chain] == [
        "CN=tarnwick test signer", "CN=tarnwick test CA"]
    with pytest.raises(ValueError) as e:
        _store.signer_chain(store, "urn:c2pa:none")
    assert str(e.value) == "manifest 'urn:c2pa:none': the store holds no manifest 'urn:c2pa:none'"
