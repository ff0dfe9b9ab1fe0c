"""sign_model and verify_model: a model of many files signed and verified as
one.

Every container member (a shard, a split, the ONNX graph) is signed with its
own embedded data-hash manifest, so it still verifies alone; the other
members (the SafeTensors index, ONNX external data) are hashed whole. Then a
model-level manifest store is written beside the entry file. It lists every
member in the model's order (relative path, size, SHA-256, and for a
container the store range its data hash excludes and its manifest's label)
in a `tarnwick.hash.collection` assertion shaped as C2PA's collection data
hash, records each member's manifest as a componentOf ingredient, and its
hard binding is a data hash over that listing's canonical bytes.

Why not `c2pa.hash.collection.data` itself: the bundled SDK signs one, but
its Reader refuses to validate it outside a ZIP ("type is unsupported"), so
no signature on it could be checked. With the listing as the asset, the SDK
checks the signature, the trust chain and the binding; tarnwick rebuilds the
listing from the files it finds, and compares entry by entry to name what
changed. A container's entry is its own data hash (the digest computed while
it was written, its store excluded), so each member is read once to sign it
and once to verify it."""

import base64
import concurrent.futures
import hashlib
import io
import json
import os
import secrets

from . import _model, _sdk, _sign, _verify
from ._model import CONTAINER
from ._results import MemberVerification, ModelSignResult, ModelVerification, SignedMember

LISTING = "tarnwick.hash.collection"
CHUNK = 8 << 20

MISSING = ("tarnwick.member.missing", "missing")
DIFFERS = ("tarnwick.member.mismatch", "hash differs")
EXTRA = ("tarnwick.member.extra", "not part of the signed model")
OTHER_MANIFEST = ("tarnwick.member.manifest", "its manifest is not the one the model's manifest records")


class _Place:
    """Where the model-level store lies in its asset: nowhere, it is a sidecar."""
    store_range = None
    uri = None


def _canonical(listing):
    return json.dumps(listing, sort_keys=True, separators=(",", ":"), ensure_ascii=True).encode("ascii")


def _format(rel):
    return "application/json" if rel.endswith(".json") else "application/octet-stream"


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _hash(fd, out=None):
    """(size, SHA-256) of the file at `fd`, copied to `out` on the way."""
    h, pos = hashlib.sha256(), 0
    while True:
        data = os.pread(fd, CHUNK, pos)
        if not data:
            return pos, h.digest()
        h.update(data)
        if out is not None:
            _write_all(out, data)
        pos += len(data)


def _copy(fd, dest):
    tmp = os.path.join(os.path.dirname(dest), f".{os.path.basename(dest)}.{secrets.token_hex(6)}.tarnwick-sign")
    out = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
    try:
        try:
            result = _hash(fd, out)
            os.fsync(out)
        finally:
            os.close(out)
        os.replace(tmp, dest)
    except BaseException:
        _sign._unlink(tmp)
        raise
    return result


def _workers(count, signer):
    # A caller's Signer object is one handle: used from one thread at a time.
    return 1 if signer is not None else max(1, min(count, os.cpu_count() or 1))


def _run(function, items, workers):
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(function, *item) for item in items]
        try:
            return [f.result() for f in futures]
        except BaseException:
            for f in futures:
                f.cancel()
            raise


def _open_all(model):
    """Every member opened first, so a hostile name is refused before
    anything is read or written."""
    fds = {}
    try:
        for rel, _ in model.members:
            fds[rel] = _model.open_member(model.folder, rel)
    except BaseException:
        for fd in fds.values():
            os.close(fd)
        raise
    return fds


def sign_model(model, *, signer=None, cert=None, key=None, alg="es256", manifest=None, output=None, tsa_url=None):
    """Sign a model of many files (a folder, an index file, a first split or
    an ONNX file with external data) as one model, in place or into the
    folder `output`."""
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    m = _model.locate(model)
    stray = _model.strays(m)
    if stray:
        raise ValueError(f"{stray[0]}: follows the model's naming pattern but is not part of the model "
                         f"({m.entry} does not name it): remove it, or fix the model, before signing")
    if signer is None:
        cert, key = _sign._pem_bytes(cert, "cert"), _sign._pem_bytes(key, "key")
    if m.kind == "gguf":
        _model.check_splits(m)
    the_signer = _sign._signer(c2pa, signer, cert, key, alg, tsa_url)
    dest_folder = m.folder if output is None else os.fspath(output)
    if output is not None:
        os.makedirs(dest_folder, exist_ok=True)
        if os.path.samefile(dest_folder, m.folder):
            raise ValueError(f"{dest_folder}: the output folder is the model's own folder: sign in place instead")

    fds = _open_all(m)
    try:
        def one(rel, kind):
            fd = fds[rel]
            if output is None:
                dest = os.path.realpath(m.path(rel))  # a linked member: its target is replaced
            else:
                dest = os.path.join(dest_folder, rel)
                os.makedirs(os.path.dirname(dest) or dest_folder, exist_ok=True)
            entry = {"uri": rel, "dc:format": _format(rel)}
            if kind != CONTAINER:
                size, digest = _hash(fd) if output is None else _copy(fd, dest)
                entry.update(size=size, hash=digest.hex())
                return entry, SignedMember(rel, size, digest, None, None), None
            r = _sign.sign_one(_model.fd_path(fd), signer=signer, cert=cert, key=key, alg=alg, output=dest,
                               tsa_url=tsa_url, title=os.path.basename(rel), external_data_copied=True)
            entry.update(size=r.size, hash=r.digest.hex(), exclusions=[list(r.store_range)], manifest=r.label)
            store = _sign.read_file(dest)
            return entry, SignedMember(rel, r.size, r.digest, r.store_range, r.label), store

        done = _run(one, m.members, _workers(len(m.members), signer))
    finally:
        for fd in fds.values():
            os.close(fd)

    listing = {"alg": "sha256", "uris": [entry for entry, _, _ in done]}
    first = next(os.path.join(dest_folder, rel) for rel, kind in m.members if kind == CONTAINER)
    info = _sign.inspect(first)
    definition = _sign._definition(manifest, m.entry, info.model_type, info.format)
    definition.setdefault("assertions", []).append({"label": LISTING, "data": listing})
    resources = []
    for i, (entry, signed, store) in enumerate(done):
        if store is None:
            continue
        identifier = f"tarnwick.member.{i}.c2pa"
        resources.append((identifier, store))
        definition.setdefault("ingredients", []).append({
            "title": entry["uri"],
            "format": "application/octet-stream",
            "relationship": "componentOf",
            "label": f"tarnwick.member.{i}",
            "active_manifest": signed.label,
            # Signed just now, its digest taken from the bytes written.
            "validation_results": {"activeManifest": {"success": [
                {"code": "claimSignature.validated", "explanation": "claim signature valid"},
                {"code": "assertion.dataHash.match", "explanation": "data hash valid"}],
                "informational": [], "failure": []}},
            "manifest_data": {"format": "application/c2pa", "identifier": identifier},
        })
    builder = c2pa.Builder(definition)
    try:
        for identifier, store in resources:
            builder.add_resource(identifier, io.BytesIO(store))
        sdk.placeholder(builder, the_signer)
        store = sdk.sign(builder, the_signer, [], hashlib.sha256(_canonical(listing)).digest())
    finally:
        builder.close()
    dest = os.path.join(dest_folder, m.store_name)
    tmp = _sign._temporary(dest)
    try:
        with open(tmp, "wb") as f:
            f.write(store)
            f.flush()
            os.fsync(f.fileno())
        _sign._mode_from(tmp, dest)
        os.replace(tmp, dest)
    except BaseException:
        _sign._unlink(tmp)
        raise
    return ModelSignResult(dest_folder, dest, _verify.store_label(sdk, store), [s for _, s, _ in done])


def _signed_listing(sdk, store):
    """The listing as signed, read before validation: it says which files to
    look at; the SDK's validation of the rebuilt listing then decides."""
    c2pa = sdk.c2pa
    context = c2pa.Context.from_dict({"verify": {"verify_after_reading": False}})
    with c2pa.Reader(_sdk.STORE_MIME, io.BytesIO(store), None, context) as reader:
        report = json.loads(reader.json())
    active = (report.get("manifests") or {}).get(report.get("active_manifest")) or {}
    for assertion in active.get("assertions") or []:
        if assertion.get("label") == LISTING:
            uris = (assertion.get("data") or {}).get("uris")
            if isinstance(uris, list) and all(isinstance(u, dict) and isinstance(u.get("uri"), str) for u in uris):
                return uris
    return None


def _hex(value):
    if isinstance(value, str):
        return base64.b64decode(value).hex()
    return bytes(value).hex()


def _found(folder, entry, anchors):
    """What lies at a signed entry now: (entry as found, state, failures)."""
    rel = entry["uri"]
    try:
        _model.check_name(rel, rel)
        fd = _model.open_member(folder, rel)
    except FileNotFoundError:
        return {"uri": rel}, "invalid", [MISSING]
    except _model.MemberError as e:
        return {"uri": rel}, "invalid", [("tarnwick.member.refused", str(e))]
    try:
        found = {"uri": rel, "dc:format": _format(rel)}
        if "manifest" not in entry:
            size, digest = _hash(fd)
            found.update(size=size, hash=digest.hex())
            return found, None, []
        declared = {}
        v = _verify.verify_one(_model.fd_path(fd), trust=anchors, declared=declared, native=True)
        found["size"] = os.fstat(fd).st_size
        if v.binding is not None and v.binding.hash_ok and "hash" in declared:
            found.update(hash=_hex(declared["hash"]),
                         exclusions=[[e["start"], e["length"]] for e in declared.get("exclusions") or []])
        if v.label is not None:
            found["manifest"] = v.label
        return found, v.state, list(v.failures)
    finally:
        os.close(fd)


def _member(entry, found, state, failures):
    failures = list(failures)
    if MISSING not in failures and not any(c == "tarnwick.member.refused" for c, _ in failures):
        keys = ("size", "hash", "exclusions")
        if any(found.get(k) != entry.get(k) for k in keys):
            failures.append(DIFFERS)
        elif found.get("manifest") != entry.get("manifest"):
            failures.append(OTHER_MANIFEST)
    return MemberVerification(entry["uri"], "invalid" if failures else state, failures)


def verify_model(model, *, trust=None):
    """Verify a model of many files as one: every member against the
    model-level manifest, each container also against its own."""
    sdk = _sdk.load("verify")
    m = _model.locate(model)
    anchors = _verify._pem(trust, "trust") if trust is not None else None
    workers = _workers(len(m.members), None)
    for rel, _ in m.members:  # a name leaving the folder is refused, whatever was signed
        try:
            os.close(_model.open_member(m.folder, rel))
        except FileNotFoundError:
            pass
    try:
        fd = _model.open_member(m.folder, m.store_name)
    except FileNotFoundError:
        fd = None
    if fd is None:
        # Unsigned as a whole; the members still say what they are alone.
        def alone(rel, kind):
            if kind != CONTAINER:
                return MemberVerification(rel, "unsigned", [])
            member = _model.open_member(m.folder, rel)
            try:
                v = _verify.verify_one(_model.fd_path(member), trust=anchors, native=True)
            finally:
                os.close(member)
            return MemberVerification(rel, v.state, list(v.failures))
        members = _run(alone, m.members, workers)
        return ModelVerification("unsigned", members, _verify._empty("unsigned", None))
    try:
        store = os.pread(fd, os.fstat(fd).st_size, 0)
    finally:
        os.close(fd)

    try:
        signed = _signed_listing(sdk, store)
    except sdk.c2pa.C2paError:
        signed = None
    if signed is None:
        # No listing to go by: the model's own members, checked alone, and a
        # manifest that cannot bind them.
        manifest = _verify._empty("invalid", None)
        manifest.failures.append(("tarnwick.model.listing", f"{m.store_name} holds no readable list of the "
                                  "model's files"))
        members = [MemberVerification(rel, "invalid", [DIFFERS]) for rel, _ in m.members]
        return ModelVerification("invalid", members, manifest)

    results = _run(lambda entry: _found(m.folder, entry, anchors), [(e,) for e in signed], workers)
    rebuilt = {"alg": "sha256", "uris": [found for found, _, _ in results]}
    manifest = _verify._validate(sdk, io.BytesIO(_canonical(rebuilt)), _Place(), store, anchors)
    # A file hashed whole is as good as the signature over the listing: a
    # listing that differs elsewhere does not make it invalid.
    whole = manifest.state
    if whole == "invalid" and all(code == "assertion.dataHash.mismatch" for code, _ in manifest.failures):
        whole = "valid" if any(code == _verify.UNTRUSTED for code, _ in manifest.informational) else "trusted"

    members = [_member(entry, found, state or whole, failures)
               for entry, (found, state, failures) in zip(signed, results)]
    listed = {e["uri"] for e in signed}
    for rel in [rel for rel, _ in m.members if rel not in listed] + _model.strays(m):
        if rel not in listed:
            listed.add(rel)
            members.append(MemberVerification(rel, "invalid", [EXTRA]))

    states = {manifest.state} | {v.state for v in members}
    state = "invalid" if "invalid" in states or states - {"trusted", "valid"} else \
        "trusted" if states == {"trusted"} else "valid"
    return ModelVerification(state, members, manifest)
