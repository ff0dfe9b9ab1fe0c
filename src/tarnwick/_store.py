"""Every byte of a manifest store accounted for.

A store sits in a range the data hash excludes, so a byte of it that no
signature covers is a byte an attacker may set. The SDK reads a store by
content type and label lookups and is lenient about what it does not read:
box lengths it does not need, the labels of boxes it finds by type, the
padding a signer leaves in its COSE signature to fill the reserved size.
This walk holds a store to the form writers give it: JUMBF boxes that tile
their superboxes exactly, the fixed labels of the C2PA boxes, and padding of
zeros, with nothing after the COSE signature."""

from typing import Optional

# The C2PA box types (the first four bytes of a description box's UUID)
# found by type, each with the labels writers give them.
LABELS = {
    b"c2pa": ("c2pa",),
    b"c2as": ("c2pa.assertions",),
    b"c2cl": ("c2pa.claim", "c2pa.claim.v2"),
    b"c2cs": ("c2pa.signature",),
}
MAX_DEPTH = 32
PAD_KEYS = ("pad", "pad2")
# What a C2PA signature's unprotected header may hold (COSE's x5chain, 33,
# the time-stamps, the revocation values, the padding): a header the SDK does
# not know it would skip, and so anything could hide there.
UNPROTECTED = {33, "sigTst", "sigTst2", "rVals", "pad", "pad2"}
NULL = 0xF6  # the payload: detached


class Slack(Exception):
    pass


def _boxes(data, start, end):
    """(type, payload start, payload end) of each box tiling [start, end)."""
    pos = start
    while pos < end:
        if end - pos < 8:
            raise Slack(f"{end - pos} bytes at {pos} are too few for a box")
        size, kind = int.from_bytes(data[pos:pos + 4], "big"), bytes(data[pos + 4:pos + 8])
        header = 8
        if size == 1:
            if end - pos < 16:
                raise Slack(f"the box at {pos} is too short for its length")
            size, header = int.from_bytes(data[pos + 8:pos + 16], "big"), 16
        if size == 0 or size < header or size > end - pos:
            raise Slack(f"the box at {pos} claims {size} bytes, but {end - pos} are held")
        yield kind, pos + header, pos + size
        pos += size


def _superbox(data, start, end, depth):
    if depth > MAX_DEPTH:
        raise Slack("boxes nested too deeply")
    boxes = list(_boxes(data, start, end))
    if not boxes or boxes[0][0] != b"jumd":
        raise Slack(f"the superbox at {start} has no description box first")
    _, d_start, d_end = boxes[0]
    if d_end - d_start < 17:
        raise Slack(f"the description box at {d_start} is too short")
    kind = bytes(data[d_start:d_start + 4])
    toggles = data[d_start + 16]
    label = None
    if toggles & 0x02:
        nul = data.find(b"\0", d_start + 17, d_end)
        if nul < 0:
            raise Slack(f"the label at {d_start + 17} has no end")
        label = bytes(data[d_start + 17:nul])
    allowed = LABELS.get(kind)
    if allowed is not None and (label is None or label.decode("utf-8", "replace") not in allowed):
        raise Slack(f"a {kind.decode('latin-1')} box is labelled {label!r}, not {' or '.join(allowed)}")
    for child, c_start, c_end in boxes[1:]:
        if child == b"jumb":
            _superbox(data, c_start, c_end, depth + 1)
        elif kind == b"c2cs" and child == b"cbor":
            _signature(data, c_start, c_end)


# --- CBOR, only as far as a COSE_Sign1 needs -----------------------------------

def _head(data, pos, end):
    """(major type, argument or None if indefinite, next position)."""
    if pos >= end:
        raise Slack("the signature ends inside a CBOR item")
    first = data[pos]
    major, info = first >> 5, first & 31
    if info < 24:
        return major, info, pos + 1
    if info in (24, 25, 26, 27):
        n = 1 << (info - 24)
        if end - pos - 1 < n:
            raise Slack("the signature ends inside a CBOR item")
        return major, int.from_bytes(data[pos + 1:pos + 1 + n], "big"), pos + 1 + n
    raise Slack(f"the signature holds a CBOR item of indefinite or reserved length at {pos}")


def _skip(data, pos, end, depth=0):
    if depth > MAX_DEPTH:
        raise Slack("CBOR nested too deeply")
    major, arg, pos = _head(data, pos, end)
    if major in (2, 3):
        if arg > end - pos:
            raise Slack("a CBOR string runs past the signature")
        return pos + arg
    if major in (4, 5):
        for _ in range(arg * (2 if major == 5 else 1)):
            pos = _skip(data, pos, end, depth + 1)
        return pos
    if major == 6:
        return _skip(data, pos, end, depth + 1)
    return pos


def _signature(data, start, end):
    """A COSE_Sign1 (tagged or not) filling the box, its padding zeros."""
    major, arg, pos = _head(data, start, end)
    if major == 6:
        major, arg, pos = _head(data, pos, end)
    if major != 4 or arg != 4:
        raise Slack("the signature is not a COSE_Sign1")
    pos = _skip(data, pos, end)  # protected headers, signed
    major, count, pos = _head(data, pos, end)
    if major != 5:
        raise Slack("the signature's unprotected headers are not a map")
    for _ in range(count):
        key_start = pos
        pos = _skip(data, pos, end)
        value_start = pos
        pos = _skip(data, pos, end)
        k_major, k_arg, k_pos = _head(data, key_start, end)
        key = k_arg if k_major == 0 else data[k_pos:k_pos + k_arg].decode("utf-8", "replace") if k_major == 3 \
            else None
        if key not in UNPROTECTED:
            raise Slack(f"the signature's unprotected header {key!r} at {key_start} is none a signer writes")
        if key in PAD_KEYS:
            v_major, v_len, v_pos = _head(data, value_start, end)
            if v_major != 2 or any(data[v_pos:v_pos + v_len]):
                raise Slack(f"the signature's padding at {v_pos} holds other bytes than zeros")
    if pos >= end or data[pos] != NULL:
        raise Slack(f"the signature's payload at {pos} is not the detached null")
    pos = _skip(data, pos + 1, end)  # the signature itself
    if pos != end:
        raise Slack(f"{end - pos} bytes follow the COSE signature")


def slack(store) -> Optional[str]:
    """Why `store` holds bytes no signature covers, or None."""
    data = bytes(store)
    if len(data) < 8:
        return "the manifest store is shorter than a JUMBF box header"
    size, kind, header = int.from_bytes(data[:4], "big"), bytes(data[4:8]), 8
    if kind != b"jumb":
        return "the manifest store is not a JUMBF superbox"
    if size == 1:
        if len(data) < 16:
            return "the manifest store is shorter than a JUMBF box header"
        size, header = int.from_bytes(data[8:16], "big"), 16
    if size < len(data):
        return (f"the manifest store's box is {size} bytes, but {len(data)} bytes are held: "
                f"{len(data) - size} bytes that no signature covers")
    if size > len(data):
        return f"the manifest store's box claims {size} bytes, but only {len(data)} are held"
    try:
        _superbox(data, header, size, 0)
    except Slack as e:
        return f"the manifest store is not as its writer made it: {e}"
    return None


# TEMPORARY shims (replaced by the store walk rework)
_old_slack = slack


def slack(store, timestamp_verified=False):  # noqa: F811
    return _old_slack(store)


def manifest_failures(report, detail):
    return []


def signer_chain(store, label):
    raise ValueError("not read")
