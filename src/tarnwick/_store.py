"""Every byte of a manifest store accounted for.

A store sits in a range the data hash excludes, so a byte of it that no
signature covers is a byte an attacker may set. The SDK reads a store by
content type and label lookups and is lenient about what it does not read:
box lengths it does not need, the labels and toggles of boxes it finds by
type, boxes it does not look for, the headers of a COSE signature it
ignores, the padding a signer leaves to fill the reserved size. This walk
holds a store to the form the SDK writes: JUMBF boxes that tile their
superboxes exactly; C2PA boxes of their full UUIDs, fixed labels and
toggles, in the order written; one COSE_Sign1 in its shortest encoding, its
unprotected header only padding of zeros and a time-stamp the SDK verified,
the parts of its token the SDK does not check bound here.

What the walk leaves to the SDK: the claim and the assertions, which the
signature and the claim's hashes cover, and the manifests of ingredients,
which the active manifest's ingredient assertions hash whole. The SDK
validates those only when an ingredient refers to them, and reports their
failures apart from the active manifest's: manifest_failures reads them."""

from typing import List, NamedTuple, Optional, Tuple

# C2PA's UUIDs: a four-byte type, then this.
C2PA_UUID_TAIL = bytes.fromhex("00110010800000aa00389b71")
STORE, MANIFEST, UPDATE_MANIFEST = b"c2pa", b"c2ma", b"c2um"
ASSERTIONS, CLAIM, SIGNATURE = b"c2as", b"c2cl", b"c2cs"
# What an assertion's content may be: CBOR, JSON, an embedded file, a UUID box.
CONTENT_TYPES = {
    bytes.fromhex("63626f72") + C2PA_UUID_TAIL,  # cbor
    bytes.fromhex("6a736f6e") + C2PA_UUID_TAIL,  # json
    bytes.fromhex("40cb0c32bb8a489da70b2ad6f47f4369"),  # embedded file
    bytes.fromhex("75756964") + C2PA_UUID_TAIL,  # uuid
}
LABELS = {
    STORE: ("c2pa",),
    ASSERTIONS: ("c2pa.assertions",),
    CLAIM: ("c2pa.claim", "c2pa.claim.v2"),
    SIGNATURE: ("c2pa.signature",),
}
# Toggles: requestable (1) and labelled (2); an assertion's description
# box may also hold a private box (16), the salt its hash covers.
REQUESTABLE, LABELLED, HAS_ID, HAS_HASH, HAS_PRIVATE = 1, 2, 4, 8, 16
BOX_TOGGLES = REQUESTABLE | LABELLED
ASSERTION_TOGGLES = (REQUESTABLE | LABELLED, REQUESTABLE | LABELLED | HAS_PRIVATE)
MAX_DEPTH = 32
MAX_MANIFESTS = 4096
MAX_CERTIFICATES = 16

X5CHAIN = 33
PAD_KEYS = ("pad", "pad2")
TIMESTAMP_KEYS = ("sigTst", "sigTst2")
NULL = 0xF6  # the payload: detached
COSE_SIGN1_TAG = 18
# What the SDK reports of an ingredient's manifest that says nothing of its
# bytes: trust is judged on the active manifest's signer only, and a parent
# signed with a certificate since expired still is what it was.
CREDENTIAL_STATUS = ("signingCredential.untrusted", "signingCredential.expired")
INGREDIENT_FAILURE = "tarnwick.ingredient.invalid"
UNREFERENCED = "tarnwick.store.unreferenced"
UNVALIDATED = "tarnwick.ingredient.unvalidated"


class Slack(Exception):
    pass


class Outer(Slack):
    """The store's own box: its length against the bytes held."""


class Manifest(NamedTuple):
    label: str
    signature: Tuple[int, int]  # (start, end) of its COSE_Sign1


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
            if size < 1 << 32:  # a writer uses the long form only when it must
                raise Slack(f"the box at {pos} gives its length of {size} in the long form")
        if size == 0 or size < header or size > end - pos:
            raise Slack(f"the box at {pos} claims {size} bytes, but {end - pos} are held")
        yield kind, pos + header, pos + size
        pos += size


def _description(data, start, end):
    """(UUID, toggles, label or None) of a description box that holds
    exactly what its toggles announce."""
    if end - start < 17:
        raise Slack(f"the description box at {start} is too short")
    uuid, toggles, pos = bytes(data[start:start + 16]), data[start + 16], start + 17
    label = None
    if toggles & LABELLED:
        nul = data.find(b"\0", pos, end)
        if nul < 0:
            raise Slack(f"the label at {pos} has no end")
        try:
            label = bytes(data[pos:nul]).decode("utf-8")
        except UnicodeDecodeError:
            raise Slack(f"the label at {pos} is not UTF-8") from None
        pos = nul + 1
    if toggles & HAS_ID:
        pos += 4
    if toggles & HAS_HASH:
        pos += 32
    if toggles & HAS_PRIVATE:
        private = list(_boxes(data, pos, end)) if pos <= end else []
        if len(private) != 1:
            raise Slack(f"the description box at {start} does not end in one private box")
        pos = end
    if pos != end:
        raise Slack(f"the description box at {start} holds {end - pos} bytes its toggles do not announce")
    return uuid, toggles, label


def _superbox(data, start, end, kinds, toggles_allowed=(BOX_TOGGLES,)):
    """(type, label, children) of the superbox [start, end), its UUID one
    of C2PA's `kinds` (4-byte types) and its toggles as written."""
    boxes = list(_boxes(data, start, end))
    if not boxes or boxes[0][0] != b"jumd":
        raise Slack(f"the superbox at {start} has no description box first")
    uuid, toggles, label = _description(data, boxes[0][1], boxes[0][2])
    kind = uuid[:4]
    if uuid[4:] != C2PA_UUID_TAIL or kind not in kinds:
        raise Slack(f"the superbox at {start} is of type {uuid.hex()}, not "
                    f"{' or '.join(k.decode() for k in kinds)}")
    if toggles not in toggles_allowed:
        raise Slack(f"the {kind.decode()} box at {start} has toggles {toggles:#04x}, not {toggles_allowed[0]:#04x}")
    allowed = LABELS.get(kind)
    if allowed is not None and label not in allowed:
        shown = None if label is None else label.encode()
        raise Slack(f"a {kind.decode()} box is labelled {shown!r}, not {' or '.join(allowed)}")
    return kind, label, boxes[1:]


def _only_child(data, start, children, kind):
    if [c[0] for c in children] != [kind]:
        raise Slack(f"the box at {start} holds {[c[0].decode('latin-1') for c in children]}, "
                    f"not one {kind.decode()} box")
    return children[0][1], children[0][2]


def _assertion(data, start, end):
    boxes = list(_boxes(data, start, end))
    if not boxes or boxes[0][0] != b"jumd":
        raise Slack(f"the assertion at {start} has no description box first")
    uuid, toggles, label = _description(data, boxes[0][1], boxes[0][2])
    if uuid not in CONTENT_TYPES:
        raise Slack(f"the assertion at {start} is of content type {uuid.hex()}, which no assertion has")
    if toggles not in ASSERTION_TOGGLES or not label:
        raise Slack(f"the assertion at {start} has toggles {toggles:#04x}")
    if len(boxes) < 2 or any(k == b"jumb" for k, _, _ in boxes[1:]):
        raise Slack(f"the assertion {label!r} at {start} holds no content or another superbox")


def _manifests(data):
    """The manifests of a store, in order, each held to the form the SDK
    writes; Slack if any byte is not."""
    if len(data) < 8:
        raise Outer("the manifest store is shorter than a JUMBF box header")
    size = int.from_bytes(data[:4], "big")
    if bytes(data[4:8]) != b"jumb":
        raise Outer("the manifest store is not a JUMBF superbox")
    if size < len(data) and size >= 8:
        raise Outer(f"the manifest store's box is {size} bytes, but {len(data)} bytes are held: "
                    f"{len(data) - size} bytes that no signature covers")
    if size != len(data):
        raise Outer(f"the manifest store's box claims {size} bytes, but only {len(data)} are held")
    _, _, children = _superbox(data, 8, len(data), (STORE,))
    if not children:
        raise Slack("the manifest store holds no manifest")
    if len(children) > MAX_MANIFESTS:
        raise Slack(f"the manifest store holds {len(children)} manifests")
    out, seen = [], set()
    for child, start, end in children:
        if child != b"jumb":
            raise Slack(f"the manifest store holds a {child.decode('latin-1')!r} box at {start}, not a manifest")
        _, label, parts = _superbox(data, start, end, (MANIFEST, UPDATE_MANIFEST))
        if not label or label in seen:
            raise Slack(f"the manifest at {start} is labelled {label!r}, " +
                        ("as another is" if label else "not with its URN"))
        seen.add(label)
        kinds = [(k, _superbox(data, s, e, (ASSERTIONS, CLAIM, SIGNATURE))) if k == b"jumb" else (k, None)
                 for k, s, e in parts]
        order = [found[0] if found else k for k, found in kinds]
        if order != [ASSERTIONS, CLAIM, SIGNATURE]:
            raise Slack(f"the manifest {label} holds {[k.decode('latin-1') for k in order]}, "
                        "not its assertions, claim and signature alone")
        for k, s, e in kinds[0][1][2]:
            if k != b"jumb":
                raise Slack(f"the assertions of {label} hold a {k.decode('latin-1')!r} box at {s}")
            _assertion(data, s, e)
        _only_child(data, parts[1][1], kinds[1][1][2], b"cbor")
        signature = _only_child(data, parts[2][1], kinds[2][1][2], b"cbor")
        out.append(Manifest(label, signature))
    return out


# --- CBOR, only as far as a COSE_Sign1 needs -----------------------------------

def _head(data, pos, end):
    """(major type, argument, next position) of an item in its shortest
    head: any other encoding of the same value is a byte free to change."""
    if pos >= end:
        raise Slack("the signature ends inside a CBOR item")
    first = data[pos]
    major, info = first >> 5, first & 31
    if info < 24:
        return major, info, pos + 1
    if info in (24, 25, 26, 27) and major != 7:
        n = 1 << (info - 24)
        if end - pos - 1 < n:
            raise Slack("the signature ends inside a CBOR item")
        arg = int.from_bytes(data[pos + 1:pos + 1 + n], "big")
        if arg < (24 if n == 1 else 1 << (4 * n)):
            raise Slack(f"the CBOR item at {pos} is not in its shortest form")
        return major, arg, pos + 1 + n
    raise Slack(f"the signature holds a CBOR item of indefinite, reserved or floating form at {pos}")


def _skip(data, pos, end, depth=0):
    if depth > MAX_DEPTH:
        raise Slack("CBOR nested too deeply")
    major, arg, pos = _head(data, pos, end)
    if major in (2, 3):
        if arg > end - pos:
            raise Slack("a CBOR string runs past the signature")
        return pos + arg
    if major in (4, 5):
        if arg > end - pos:  # each item takes a byte at least
            raise Slack("a CBOR array or map runs past the signature")
        for _ in range(arg * (2 if major == 5 else 1)):
            pos = _skip(data, pos, end, depth + 1)
        return pos
    if major == 6:
        return _skip(data, pos, end, depth + 1)
    if major == 7 and arg not in (20, 21, 22):  # false, true, null
        raise Slack(f"the signature holds CBOR simple value {arg} at {pos}")
    return pos


def _key(data, pos, end):
    major, arg, start = _head(data, pos, end)
    if major == 0:
        return arg
    if major == 3 and arg <= end - start:
        return bytes(data[start:start + arg]).decode("utf-8", "replace")
    return None


def _bstr(data, pos, end, what):
    major, arg, start = _head(data, pos, end)
    if major != 2 or arg > end - start:
        raise Slack(f"{what} at {pos} is not a byte string")
    return start, start + arg


def _map(data, pos, end, what, starts=None):
    """{key: (value start, value end)} of the map at `pos`, its keys once
    each (`starts`, a dict, receives where each key lies); and its end."""
    major, count, pos = _head(data, pos, end)
    if major != 5 or count > end - pos:
        raise Slack(f"{what} is not a map")
    entries = {}
    for _ in range(count):
        key_start = pos
        key = _key(data, pos, end)
        pos = _skip(data, pos, end)
        value_start = pos
        pos = _skip(data, pos, end)
        if key is None or key in entries:
            raise Slack(f"{what} holds the key at {key_start} " + ("twice" if key is not None else "of no kind"))
        entries[key] = (value_start, pos)
        if starts is not None:
            starts[key] = key_start
    return entries, pos


def _array(data, pos, end, what):
    major, count, pos = _head(data, pos, end)
    if major != 4 or count > end - pos:
        raise Slack(f"{what} is not an array")
    items = []
    for _ in range(count):
        start, pos = pos, _skip(data, pos, end)
        items.append((start, pos))
    return items, pos


def _timestamp(data, start, end, key):
    """A time-stamp as the SDK writes one: {"tstTokens": [{"val": token}]}."""
    what = f"the signature's {key}"
    tokens = _map(data, start, end, what)[0]
    if list(tokens) != ["tstTokens"]:
        raise Slack(f"{what} holds other keys than tstTokens")
    items = _array(data, *tokens["tstTokens"], what + " tokens")[0]
    if len(items) != 1:
        raise Slack(f"{what} holds {len(items)} tokens, not one")
    token = _map(data, *items[0], what + " token")[0]
    if list(token) != ["val"]:
        raise Slack(f"{what} token holds other keys than val")
    return _bstr(data, *token["val"], what + " token")


# --- a time-stamp token, as far as the SDK leaves it unchecked ----------------------
#
# The SDK checks a token's signed attributes and its TSTInfo, but not the
# CMS around them: the certificates it carries (names, validity, the
# signatures on them), the digest algorithms listed, the versions, the
# signer's identifier and signature algorithm. Here each of those is bound:
# the time-stamping certificate by the hash in the signed attributes, each
# other certificate by issuing the one before it and the last by its own
# signature, the signature verified again with the algorithm the token
# names.

OID_SIGNED_DATA = bytes.fromhex("2a864886f70d010702")
OID_TST_INFO = bytes.fromhex("2a864886f70d0109100104")
OID_MESSAGE_DIGEST = bytes.fromhex("2a864886f70d010904")
OID_SIGNING_CERTIFICATE = bytes.fromhex("2a864886f70d010910020c")
OID_SIGNING_CERTIFICATE_V2 = bytes.fromhex("2a864886f70d010910022f")
DIGESTS = {bytes.fromhex("2b0e03021a"): "SHA1", bytes.fromhex("608648016503040201"): "SHA256",
           bytes.fromhex("608648016503040202"): "SHA384", bytes.fromhex("608648016503040203"): "SHA512"}
ECDSA = {bytes.fromhex("2a8648ce3d040302"): "SHA256", bytes.fromhex("2a8648ce3d040303"): "SHA384",
         bytes.fromhex("2a8648ce3d040304"): "SHA512"}
RSA = {bytes.fromhex("2a864886f70d010101"): None, bytes.fromhex("2a864886f70d01010b"): "SHA256",
       bytes.fromhex("2a864886f70d01010c"): "SHA384", bytes.fromhex("2a864886f70d01010d"): "SHA512"}
ED25519 = bytes.fromhex("2b6570")
SEQUENCE, SET, OID, OCTETS, INTEGER, NULL_TAG = 0x30, 0x31, 0x06, 0x04, 0x02, 0x05


def _tlv(data, pos, end):
    """(tag, content start, content end) of the DER item at `pos`, its length in the shortest form."""
    if end - pos < 2 or data[pos] & 0x1F == 0x1F:
        raise Slack(f"the time-stamp's item at {pos} is not DER")
    tag, first, pos = data[pos], data[pos + 1], pos + 2
    length = first
    if first >= 0x80:
        n = first & 0x7F
        if not 0 < n <= 4 or end - pos < n or data[pos] == 0:
            raise Slack(f"the time-stamp's item at {pos - 2} has a length that is not DER")
        length, pos = int.from_bytes(data[pos:pos + n], "big"), pos + n
        if length < 0x80:
            raise Slack(f"the time-stamp's item at {pos - 2 - n} has a length that is not DER")
    if length > end - pos:
        raise Slack(f"the time-stamp's item at {pos} runs past its end")
    return tag, pos, pos + length


def _der_items(data, start, end):
    """(tag, start, content start, content end) of each item tiling [start, end)."""
    out, pos = [], start
    while pos < end:
        tag, c_start, c_end = _tlv(data, pos, end)
        out.append((tag, pos, c_start, c_end))
        pos = c_end
    return out


def _expect(items, tags, what):
    if [i[0] for i in items] != list(tags):
        raise Slack(f"the time-stamp's {what} is not as CMS has it")
    return items


def _algorithm(data, item, names, what):
    """The name `names` gives an AlgorithmIdentifier, its parameters absent or NULL."""
    parts = _der_items(data, item[2], item[3]) if item[0] == SEQUENCE else []
    if not parts or parts[0][0] != OID or len(parts) > 2 or \
            (len(parts) == 2 and (parts[1][0] != NULL_TAG or parts[1][3] != parts[1][2])):
        raise Slack(f"the time-stamp's {what} is not an algorithm identifier")
    oid = bytes(data[parts[0][2]:parts[0][3]])
    if oid not in names:
        raise Slack(f"the time-stamp's {what} is one tarnwick does not check ({oid.hex()})")
    return oid


def _signing_certificate(data, attributes):
    """(hash name, hash) of the signer's certificate named in the signed attributes."""
    found = None
    for attribute in attributes:
        oid_item, values = _expect(_der_items(data, attribute[2], attribute[3]), (OID, SET), "attribute")
        oid = bytes(data[oid_item[2]:oid_item[3]])
        if oid in (OID_SIGNING_CERTIFICATE, OID_SIGNING_CERTIFICATE_V2):
            if found is not None:
                raise Slack("the time-stamp names its signer's certificate twice")
            value = _expect(_der_items(data, values[2], values[3]), (SEQUENCE,), "signing certificate")[0]
            ids = _der_items(data, value[2], value[3])
            first = _der_items(data, ids[0][2], ids[0][3]) if ids and ids[0][0] == SEQUENCE else []
            cert_ids = _der_items(data, first[0][2], first[0][3]) if first and first[0][0] == SEQUENCE else []
            if not cert_ids:
                raise Slack("the time-stamp's signing certificate names none")
            name = "SHA1" if oid == OID_SIGNING_CERTIFICATE else "SHA256"
            if cert_ids[0][0] == SEQUENCE and oid == OID_SIGNING_CERTIFICATE_V2:
                name = DIGESTS[_algorithm(data, cert_ids[0], DIGESTS, "signing certificate's hash")]
                cert_ids = cert_ids[1:]
            if not cert_ids or cert_ids[0][0] != OCTETS:
                raise Slack("the time-stamp's signing certificate holds no hash")
            found = (name, bytes(data[cert_ids[0][2]:cert_ids[0][3]]))
    if found is None:
        raise Slack("the time-stamp does not name its signer's certificate in what it signs")
    return found


def _issued(child, parent):
    from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
    try:
        child.verify_directly_issued_by(parent)
        return True
    except (ValueError, TypeError, InvalidSignature, UnsupportedAlgorithm):
        return False


def _token(data, start, end):
    """A time-stamp token (CMS SignedData of a TSTInfo) whose every byte the
    signature or a certificate's issuer covers."""
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa

    outer = _expect(_der_items(data, start, end), (SEQUENCE,), "content")[0]
    oid, wrapped = _expect(_der_items(data, outer[2], outer[3]), (OID, 0xA0), "content")
    if bytes(data[oid[2]:oid[3]]) != OID_SIGNED_DATA:
        raise Slack("the time-stamp is not CMS signed data")
    signed_data = _expect(_der_items(data, wrapped[2], wrapped[3]), (SEQUENCE,), "signed data")[0]
    parts = _der_items(data, signed_data[2], signed_data[3])
    tags = [p[0] for p in parts]
    if tags not in ([INTEGER, SET, SEQUENCE, 0xA0, SET], [INTEGER, SET, SEQUENCE, SET]):
        raise Slack("the time-stamp's signed data holds other parts than a version, its digest algorithm, "
                    "its content, certificates and one signer")
    version, digests, content, signers = parts[0], parts[1], parts[2], parts[-1]
    if bytes(data[version[2]:version[3]]) != b"\x03":
        raise Slack("the time-stamp's signed data is not of version 3")
    encapsulated = _expect(_der_items(data, content[2], content[3]), (OID, 0xA0), "content")
    if bytes(data[encapsulated[0][2]:encapsulated[0][3]]) != OID_TST_INFO:
        raise Slack("the time-stamp's content is not a TSTInfo")
    tst_info = _expect(_der_items(data, encapsulated[1][2], encapsulated[1][3]), (OCTETS,), "content")[0]
    certificates = []
    if len(parts) == 5:
        for item in _der_items(data, parts[3][2], parts[3][3]):
            if item[0] != SEQUENCE or len(certificates) >= MAX_CERTIFICATES:
                raise Slack("the time-stamp's certificates are not X.509 certificates, or too many")
            certificates.append(x509.load_der_x509_certificate(bytes(data[item[1]:item[3]])))
    signer = _expect(_der_items(data, signers[2], signers[3]), (SEQUENCE,), "signer")[0]
    fields = _der_items(data, signer[2], signer[3])
    if [f[0] for f in fields] not in ([INTEGER, SEQUENCE, SEQUENCE, 0xA0, SEQUENCE, OCTETS],
                                      [INTEGER, 0x80, SEQUENCE, 0xA0, SEQUENCE, OCTETS]):
        raise Slack("the time-stamp's signer holds other parts than CMS signs (unsigned attributes?)")
    signer_version, sid, digest_item, attrs, algorithm_item, signature = fields
    digest = _algorithm(data, digest_item, DIGESTS, "digest algorithm")
    listed = _der_items(data, digests[2], digests[3])
    if len(listed) != 1 or data[listed[0][1]:listed[0][3]] != data[digest_item[1]:digest_item[3]]:
        raise Slack("the time-stamp lists other digest algorithms than its signer's")
    algorithm = _algorithm(data, algorithm_item, {**ECDSA, **RSA, ED25519: None}, "signature algorithm")

    attributes = _der_items(data, attrs[2], attrs[3])
    if any(a[0] != SEQUENCE for a in attributes):
        raise Slack("the time-stamp's signed attributes are not attributes")
    name, certificate_hash = _signing_certificate(data, attributes)
    signer_certificate = None
    for certificate in certificates:
        h = hashes.Hash(getattr(hashes, name)())
        h.update(certificate.public_bytes(_der_encoding()))
        if h.finalize() == certificate_hash:
            signer_certificate = certificate
    if signer_certificate is None:
        raise Slack("the time-stamp does not carry the certificate its signed attributes name")
    if sid[0] == SEQUENCE:
        issuer, serial = _expect(_der_items(data, sid[2], sid[3]), (SEQUENCE, INTEGER), "signer's identifier")
        wanted = (signer_certificate.issuer.public_bytes(), signer_certificate.serial_number)
        found = (bytes(data[issuer[1]:issuer[3]]), int.from_bytes(data[serial[2]:serial[3]], "big", signed=True))
        expected_version = b"\x01"
    else:
        try:
            key_id = signer_certificate.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value.digest
        except x509.ExtensionNotFound:
            key_id = None
        wanted, found, expected_version = key_id, bytes(data[sid[2]:sid[3]]), b"\x03"
    if found != wanted or bytes(data[signer_version[2]:signer_version[3]]) != expected_version:
        raise Slack("the time-stamp's signer is not identified as its certificate")

    digested = None
    for attribute in attributes:
        oid_item, values = _der_items(data, attribute[2], attribute[3])
        if bytes(data[oid_item[2]:oid_item[3]]) == OID_MESSAGE_DIGEST:
            value = _expect(_der_items(data, values[2], values[3]), (OCTETS,), "message digest")[0]
            digested = bytes(data[value[2]:value[3]])
    h = hashes.Hash(getattr(hashes, DIGESTS[digest])())
    h.update(bytes(data[tst_info[2]:tst_info[3]]))
    if digested != h.finalize():
        raise Slack("the time-stamp's message digest is not its content's")

    signed = b"\x31" + bytes(data[attrs[1] + 1:attrs[3]])  # signed as a SET, not as the [0] it is stored as
    value = bytes(data[signature[2]:signature[3]])
    key = signer_certificate.public_key()
    hash_name = DIGESTS[digest]
    try:
        if algorithm in ECDSA and isinstance(key, ec.EllipticCurvePublicKey) and ECDSA[algorithm] == hash_name:
            key.verify(value, signed, ec.ECDSA(getattr(hashes, hash_name)()))
        elif algorithm in RSA and isinstance(key, rsa.RSAPublicKey) and RSA[algorithm] in (None, hash_name):
            key.verify(value, signed, padding.PKCS1v15(), getattr(hashes, hash_name)())
        elif algorithm == ED25519 and isinstance(key, ed25519.Ed25519PublicKey):
            key.verify(value, signed)
        else:
            raise Slack("the time-stamp's signature algorithm does not fit its certificate's key or digest")
    except (InvalidSignature, UnsupportedAlgorithm, ValueError, TypeError):
        raise Slack("the time-stamp's signature does not verify") from None

    remaining = [c for c in certificates if c is not signer_certificate]
    current = signer_certificate
    while remaining:
        issuer = next((c for c in remaining if _issued(current, c)), None)
        if issuer is None:
            raise Slack("the time-stamp carries a certificate that issues none of its chain")
        remaining.remove(issuer)
        current = issuer
    # Issuing binds an issuer's name and key only; the rest of the last
    # certificate is bound by its own signature, so it must be self-signed.
    if current is not signer_certificate and not _issued(current, current):
        raise Slack("the time-stamp's chain ends in a certificate that is not self-signed")


def _der_encoding():
    from cryptography.hazmat.primitives import serialization
    return serialization.Encoding.DER


def _sign1(data, start, end):
    """(protected header start, end, unprotected header start) of the tagged COSE_Sign1 filling [start, end)."""
    major, arg, pos = _head(data, start, end)
    if (major, arg) != (6, COSE_SIGN1_TAG):
        raise Slack("the signature is not a tagged COSE_Sign1")
    major, arg, pos = _head(data, pos, end)
    if major != 4 or arg != 4:
        raise Slack("the signature is not a COSE_Sign1")
    protected = _bstr(data, pos, end, "the signature's protected header")
    return protected[0], protected[1], protected[1]


def _signature(data, start, end, timestamp_verified):
    """A COSE_Sign1 filling the box, its unprotected header only padding of
    zeros and, if `timestamp_verified` is not None, a time-stamp (allowed
    when it is True: the SDK checked it)."""
    _, _, pos = _sign1(data, start, end)
    starts = {}
    unprotected, pos = _map(data, pos, end, "the signature's unprotected header", starts)
    stamps = [k for k in TIMESTAMP_KEYS if k in unprotected]
    for key, (value_start, value_end) in unprotected.items():
        if key in PAD_KEYS:
            pad_start, pad_end = _bstr(data, value_start, value_end, "the signature's padding")
            if any(data[pad_start:pad_end]):
                raise Slack(f"the signature's padding at {pad_start} holds other bytes than zeros")
        elif key in TIMESTAMP_KEYS and timestamp_verified is not None:
            if not timestamp_verified:
                raise Slack(f"the signature's time-stamp ({key}) is one the SDK did not verify")
            if len(stamps) > 1:
                raise Slack("the signature holds two time-stamps (sigTst and sigTst2)")
            try:
                _token(data, *_timestamp(data, value_start, value_end, key))
            except Slack:
                raise
            except Exception as e:  # noqa: BLE001 - cryptography's parsers raise several kinds
                raise Slack(f"the time-stamp cannot be read ({type(e).__name__})") from None
        elif key in TIMESTAMP_KEYS:
            _timestamp(data, value_start, value_end, key)
        elif key == X5CHAIN:
            raise Slack("the signature's unprotected header holds x5chain (33): a certificate chain outside "
                        "the signed header")
        elif key == "rVals":
            raise Slack("the signature's unprotected header holds rVals: revocation values, which the SDK "
                        "does not check")
        else:
            raise Slack(f"the signature's unprotected header {key!r} at {starts[key]} is none a signer writes")
    if pos >= end or data[pos] != NULL:
        raise Slack(f"the signature's payload at {pos} is not the detached null")
    pos = _bstr(data, pos + 1, end, "the signature")[1]
    if pos != end:
        raise Slack(f"{end - pos} bytes follow the COSE signature")


def slack(store, timestamp_verified: bool = False) -> Optional[str]:
    """Why `store` is not exactly as signed (a byte no signature covers and
    the format does not fix), or None. `timestamp_verified`: the SDK
    verified the active manifest's time-stamp ("timeStamp.validated"); a
    time-stamp it did not verify is refused. The manifests of ingredients
    are held to the same form; their unprotected headers, hashed whole by
    the manifest that refers to them, may hold time-stamps."""
    data = bytes(store)
    try:
        manifests = _manifests(data)
        for i, m in enumerate(manifests):
            start, end = m.signature
            _signature(data, start, end, timestamp_verified if i == len(manifests) - 1 else None)
    except Outer as e:
        return str(e)
    except Slack as e:
        return f"the manifest store is not as its writer made it: {e}"
    return None


def manifest_labels(store) -> List[str]:
    """The labels of the manifests a store holds, in order (the last is the
    active one); ValueError if the store is not as the SDK writes one."""
    try:
        return [m.label for m in _manifests(bytes(store))]
    except Slack as e:
        raise ValueError(f"the manifest store is not as its writer made it: {e}") from None


def signer_chain(store, label) -> List[bytes]:
    """The certificates (DER, the signer's first) of the protected x5chain
    of manifest `label`'s signature; ValueError if it has none or it is
    malformed."""
    data = bytes(store)
    try:
        found = [m for m in _manifests(data) if m.label == label]
        if not found:
            raise Slack(f"the store holds no manifest {label!r}")
        start, end, _ = _sign1(data, *found[0].signature)
        header = _map(data, start, end, "the signature's protected header")
        entries, pos = header
        if pos != end:
            raise Slack("bytes follow the signature's protected header")
        if X5CHAIN not in entries:
            raise Slack("the signature's protected header holds no x5chain")
        value_start, value_end = entries[X5CHAIN]
        if data[value_start] >> 5 == 2:
            items = [(value_start, value_end)]
        else:
            items = _array(data, value_start, value_end, "the signature's x5chain")[0]
        if not items or len(items) > MAX_CERTIFICATES:
            raise Slack(f"the signature's x5chain holds {len(items)} certificates")
        chain = []
        for item in items:
            cert_start, cert_end = _bstr(data, *item, "a certificate of the x5chain")
            chain.append(data[cert_start:cert_end])
        return chain
    except Slack as e:
        raise ValueError(f"manifest {label!r}: {e}") from None


def _entries(results, kind):
    found = results.get(kind) if isinstance(results, dict) else None
    return [e for e in found if isinstance(e, dict)] if isinstance(found, list) else []


def manifest_failures(report, detail, labels=None):
    """[(code, text)]: what makes a manifest other than the active one in
    the store fail, read from the SDK Reader's json() and detailed_json()
    (parsed). Each must be reached from the active manifest through
    ingredients (the SDK validates no other), and the SDK must report its
    hash and signature validated (ingredientDeltas) with no failure but of
    the credential's status. What an ingredient assertion records (a
    parent whose model had changed since it was signed) is the signer's
    statement about the ingredient's asset, not about these bytes: it is
    not judged here. `labels`: the manifests the store holds
    (manifest_labels), to catch one the SDK's report leaves out."""
    out = []
    if not isinstance(report, dict) or not isinstance(detail, dict):
        return [(UNREFERENCED, "the SDK reports no manifests")]
    active = report.get("active_manifest")
    manifests = report.get("manifests") if isinstance(report.get("manifests"), dict) else {}
    held = set(manifests)
    held |= set(detail.get("manifests") or {}) if isinstance(detail.get("manifests"), dict) else set()
    held |= set(labels or ())
    reached, pending = set(), [active]
    while pending:
        label = pending.pop()
        if label in reached or not isinstance(label, str):
            continue
        reached.add(label)
        manifest = manifests.get(label)
        for ingredient in (manifest.get("ingredients") if isinstance(manifest, dict) else None) or []:
            if not isinstance(ingredient, dict):
                continue
            if ingredient.get("active_manifest") is not None:
                pending.append(ingredient.get("active_manifest"))
    for label in sorted(held - reached, key=str):
        out.append((UNREFERENCED, f"the store holds the manifest {label}, which no ingredient refers to: "
                                  "the SDK does not validate it"))
    results = report.get("validation_results")
    deltas = results.get("ingredientDeltas") if isinstance(results, dict) else None
    validated = set()
    for delta in deltas if isinstance(deltas, list) else []:
        if not isinstance(delta, dict):
            continue
        where = delta.get("ingredientAssertionURI", "an ingredient")
        for e in _entries(delta.get("validationDeltas"), "failure"):
            if e.get("code") not in CREDENTIAL_STATUS:
                out.append((INGREDIENT_FAILURE, f"{where}: {e.get('code')}: {e.get('explanation', '')} "
                                                f"({e.get('url', '')})"))
        validated |= {(e.get("code"), e.get("url")) for e in _entries(delta.get("validationDeltas"), "success")}
    # No failure is not enough: the SDK must say it checked the manifest's
    # hash and its signature.
    for label in sorted(reached - {active}, key=str):
        wanted = {("ingredient.manifest.validated", f"self#jumbf=/c2pa/{label}"),
                  ("claimSignature.validated", f"self#jumbf=/c2pa/{label}/c2pa.signature")}
        if not wanted <= validated:
            out.append((UNVALIDATED, f"the SDK reports no validation of the ingredient manifest {label} "
                                     "(its hash and its signature)"))
    return out
