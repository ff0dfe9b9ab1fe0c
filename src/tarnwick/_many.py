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
import re
import stat
from typing import Any, NamedTuple, Optional

from . import _model, _native, _sdk, _sign, _verify
from ._errors import UsageError
from ._model import CONTAINER
from ._results import MemberVerification, ModelSignResult, ModelVerification, SignedMember

LISTING = "tarnwick.hash.collection"
CHUNK = 8 << 20

MISSING = ("tarnwick.member.missing", "missing")
DIFFERS = ("tarnwick.member.mismatch", "hash differs")
EXTRA = ("tarnwick.member.extra", "not part of the signed model")
OTHER_MANIFEST = ("tarnwick.member.manifest", "its manifest is not the one the model's manifest records")
MEMBERS_ONLY = ("tarnwick.model.members_only", "signed by an earlier release: the signature covers the model's "
                "weights and index, not the other files of its folder")
REFUSED = "tarnwick.member.refused"
DAMAGED = "tarnwick.member.unreadable"


def _member_failure(rel, e):
    """A member's failure in its own name, never a descriptor's path."""
    if isinstance(e, OSError):
        return f"{rel}: {e.strerror or e}"
    text = str(e)
    for prefix in ("/proc/self/fd/",):
        if prefix in text:
            text = re.sub(r"'?/proc/self/fd/\d+'?", repr(rel), text)
    return text if text.startswith(rel) else f"{rel}: {text}"


class _Place:
    """Where the model-level store lies in its asset: nowhere, it is a sidecar."""
    store_range = None
    uri = None


def _canonical(listing):
    return json.dumps(listing, sort_keys=True, separators=(",", ":"), ensure_ascii=True).encode("ascii")


def _format(rel):
    return "application/json" if rel.endswith(".json") else "application/octet-stream"


def _hash(fd, name):
    """(size, SHA-256) of the member open at `fd`, computed natively."""
    return _native._hash_file(_model.fd_path(fd), name=name)


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
            # What finished is handed back for the caller to discard.
            for f in futures:
                if not f.cancelled():
                    try:
                        _discard(f.result())
                    except BaseException:  # noqa: BLE001 - its own failure is the one raised
                        pass
            raise


def _discard(done):
    pending = getattr(done, "pending", None)
    if pending is not None:
        pending.discard()


def _output_folder(output, model_folder):
    """The folder -o names, made if missing, resolved once. A link into it
    that another user placed in a sticky world-writable folder (/tmp) is
    refused, whatever the kernel's protected_symlinks setting."""
    path = os.fspath(output)
    parent = os.path.dirname(os.path.abspath(path))
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        os.makedirs(path, exist_ok=True)
        st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode):
        folder = os.stat(parent)
        shared = folder.st_mode & stat.S_ISVTX and folder.st_mode & stat.S_IWOTH
        if shared and st.st_uid not in (os.geteuid(), folder.st_uid):
            raise UsageError(f"{path}: a link another user placed in a shared folder; give the folder itself")
    resolved = os.path.realpath(path)
    if not os.path.isdir(resolved):
        raise UsageError(f"{path}: not a folder")
    if os.path.samefile(resolved, model_folder):
        raise UsageError(f"{path}: the output folder is the model's own folder: sign in place instead")
    inside = os.path.realpath(model_folder)
    if os.path.commonpath([resolved, inside]) == inside:
        raise UsageError(f"{path}: the output folder is inside the model's folder, whose every file is signed")
    return resolved


class _Member(NamedTuple):
    """A member signed or copied, not yet in place."""
    entry: dict            # its line of the listing
    signed: SignedMember
    store: Optional[bytes]  # a container's own store, for the ingredient
    pending: Any           # the native pending output, or None (hashed in place)


class _Plan(NamedTuple):
    """A model resolved and checked, its signer and definition ready."""
    model: Any
    dest_folder: str
    in_place: bool
    signer: Any
    definition: dict
    alg: str             # the signing algorithm, as results name it


def _prepare(model, signer, cert, key, alg, manifest, output, tsa_url, ignore):
    sdk = _sdk.load("sign")
    m = _model.take_folder(_model.locate(model), ignore)
    stray = _model.strays(m)
    if stray:
        raise _model.ModelError(f"{stray[0]}: follows the model's naming pattern but is not part of the model "
                                f"({m.entry} does not name it): remove it, or fix the model, before signing")
    if m.kind == "gguf":
        _model.check_splits(m)
    the_signer = _sign._signer(sdk.c2pa, signer, cert, key, alg, tsa_url)
    first = next(rel for rel, kind in m.members if kind == CONTAINER)
    fd = _model.open_member(m.folder, first)
    try:
        with _model.naming(_model.fd_path(fd), first):
            info = _sign.inspect(_model.fd_path(fd))
    finally:
        os.close(fd)
    # Checked with the SDK now, before any member is signed.
    definition = _sign._definition(manifest, m.entry, info.model_type, info.format)
    _sign.trial(sdk, definition, [], the_signer)
    if output is None:
        for rel, kind in m.members:
            if kind == CONTAINER and _model._hf_blob(m.path(rel)):
                raise UsageError(f"{rel}: a file of the Hugging Face cache (a link into its blobs/, which other "
                                 "revisions share); signing it in place would change them all: sign a copy "
                                 "with -o DIR (output=)")
    dest_folder = m.folder if output is None else _output_folder(output, m.folder)
    return _Plan(m, dest_folder, output is None, the_signer, definition,
                 alg if signer is None else getattr(signer, "alg", "signer"))


def _sign_member(plan, rel, kind):
    fd = _model.open_member(plan.model.folder, rel)
    try:
        return _sign_open_member(plan, fd, rel, kind)
    finally:
        os.close(fd)


def _sign_open_member(plan, fd, rel, kind):
    if plan.in_place:
        dest = None
    else:
        dest = os.path.join(plan.dest_folder, rel)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
    entry = {"uri": rel, "dc:format": _format(rel)}
    if kind != CONTAINER:
        if dest is None:
            size, digest = _hash(fd, rel)
            pending = None
        else:
            with _model.naming(_model.fd_path(fd), rel):
                pending = _native._copying(_model.fd_path(fd), output=dest, name=rel)
            size, digest = pending.size, pending.digest
        entry.update(size=size, hash=digest.hex())
        return _Member(entry, SignedMember(rel, size, digest, None, None), None, pending)
    signed = _sign.sign_staged(_model.fd_path(fd), output=dest, title=os.path.basename(rel), name=rel,
                               external_data_copied=True, the_signer=plan.signer, alg=plan.alg)
    r = signed.result
    store = signed.store
    entry.update(size=r.size, hash=r.digest.hex(), exclusions=[list(r.store_range)], manifest=r.label)
    return _Member(entry, SignedMember(rel, r.size, r.digest, r.store_range, r.label), store, signed.model)


def _model_store(plan, members):
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    listing = {"alg": "sha256", "uris": [member.entry for member in members],
               "ignore": plan.model.ignore.patterns}
    definition = json.loads(json.dumps(plan.definition))
    definition.setdefault("assertions", []).append({"label": LISTING, "data": listing})
    resources = []
    for i, member in enumerate(members):
        if member.store is None:
            continue
        identifier = f"tarnwick.member.{i}.c2pa"
        resources.append((identifier, member.store))
        definition.setdefault("ingredients", []).append({
            "title": member.entry["uri"],
            "format": "application/octet-stream",
            "relationship": "componentOf",
            "label": f"tarnwick.member.{i}",
            "active_manifest": member.signed.label,
            # Signed just now, its digest taken from the bytes written.
            "validation_results": {"activeManifest": {"success": [
                {"code": "claimSignature.validated", "explanation": "claim signature valid"},
                {"code": "assertion.dataHash.match", "explanation": "data hash valid"}],
                "informational": [], "failure": []}},
            "manifest_data": {"format": "application/c2pa", "identifier": identifier},
        })
    builder = _sign.builder_for(c2pa, definition, resources)
    try:
        _sign.sdk_call(c2pa, "make a placeholder for the model's store", sdk.placeholder, builder, plan.signer)
        store = _sign.sdk_call(c2pa, "sign the model's store", sdk.sign, builder, plan.signer, [],
                               hashlib.sha256(_canonical(listing)).digest())
    finally:
        builder.close()
    return store


def sign_model(model, *, signer=None, cert=None, key=None, alg="es256", definition=None, output=None,
               tsa_url=None, ignore=(), manifest=None):
    """Sign a model (a folder, or the entry file of one: an index file, a
    first split or an ONNX file) as one: every file of its folder but the
    ignored ones, in place or into the folder `output`."""
    sdk = _sdk.load("sign")
    definition = _sign.alias(definition, manifest, "definition", "manifest")
    plan = _prepare(model, signer, cert, key, alg, definition, output, tsa_url, ignore)
    m = plan.model
    members, pending_store = [], None
    try:
        members = _run(lambda rel, kind: _sign_member(plan, rel, kind), m.files, _workers(len(m.files), signer))
        store = _model_store(plan, members)
        entry = os.path.join(m.folder, m.entry)
        pending_store = _native._storing(store, output=os.path.join(plan.dest_folder, m.store_name), like=entry)
        # Commit: every member, then the model's store, last. Should a rename
        # fail midway, the model's store (old or none) no longer matches the
        # members: it verifies invalid or unsigned, never trusted.
        for member in members:
            if member.pending is not None:
                member.pending.commit()
        pending_store.commit()
    except BaseException:
        for member in members:
            _discard(member)
        if pending_store is not None:
            pending_store.discard()
        raise
    return ModelSignResult(plan.dest_folder, pending_store.path, _verify.store_label(sdk, store),
                           [member.signed for member in members])


def _signed_listing(sdk, store):
    """The listing as signed, read before validation: it says which files to
    look at; the SDK's validation of the rebuilt listing then decides.
    (entries, ignore patterns), the patterns None for a listing of an
    earlier release, which covered only the entry's own members."""
    c2pa = sdk.c2pa
    context = c2pa.Context.from_dict({"verify": {"verify_after_reading": False}})
    with c2pa.Reader(_sdk.STORE_MIME, io.BytesIO(store), None, context) as reader:
        report = json.loads(reader.json())
    active = (report.get("manifests") or {}).get(report.get("active_manifest")) or {}
    for assertion in active.get("assertions") or []:
        if assertion.get("label") == LISTING:
            data = assertion.get("data") or {}
            uris, ignore = data.get("uris"), data.get("ignore")
            if not isinstance(uris, list) or not all(isinstance(u, dict) and isinstance(u.get("uri"), str)
                                                     for u in uris):
                return None
            if ignore is not None and not (isinstance(ignore, list) and all(isinstance(i, str) for i in ignore)):
                return None
            return uris, ignore
    return None


def listing_of(path):
    """The relative paths a model-level store at `path` lists, read without
    validation (to warn, never to trust), or None."""
    try:
        store = _verify.read_store_file(path)
        signed = _signed_listing(_sdk.load("sign"), store)
    except (OSError, ValueError, ImportError):
        return None
    except Exception:  # noqa: BLE001 - the SDK's own errors: not a store
        return None
    return None if signed is None else {entry["uri"] for entry in signed[0]}


def _hex(value):
    if isinstance(value, str):
        return base64.b64decode(value).hex()
    return bytes(value).hex()


def _found(folder, entry, anchors, signer=None, signer_key=None):
    """What lies at a signed entry now: (entry as found, state, failures)."""
    rel = entry["uri"]
    try:
        _model.check_name(rel, rel)
        fd = _model.open_member(folder, rel)
    except FileNotFoundError:
        return {"uri": rel}, "invalid", [MISSING]
    except (_model.MemberError, OSError) as e:
        return {"uri": rel}, "invalid", [(REFUSED, _member_failure(rel, e))]
    try:
        found = {"uri": rel, "dc:format": _format(rel)}
        if "manifest" not in entry:
            size, digest = _hash(fd, rel)
            found.update(size=size, hash=digest.hex())
            return found, None, []
        declared = {}
        try:
            v = _verify.verify_one(_model.fd_path(fd), trust=anchors, declared=declared, name=rel, signer=signer,
                                   signer_key=signer_key)
        except (ValueError, OSError) as e:  # a damaged member is a verdict on it, not a failure of the call
            return {"uri": rel}, "invalid", [(DAMAGED, _member_failure(rel, e))]
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
    if MISSING not in failures and not any(c in (REFUSED, DAMAGED) for c, _ in failures):
        keys = ("size", "hash", "exclusions")
        if any(found.get(k) != entry.get(k) for k in keys):
            failures.append(DIFFERS)
        elif found.get("manifest") != entry.get("manifest"):
            failures.append(OTHER_MANIFEST)
    return MemberVerification(entry["uri"], "invalid" if failures else state, failures)


def verify_model(model, *, trust=None, ignore=(), signer=None, signer_key=None):
    """Verify a model as one: every file of its folder against the
    model-level manifest (a file neither listed nor ignored is invalid),
    each container also against its own manifest (`signer`, `signer_key`:
    as verify_file's, on each of those manifests). `model` may be a URL
    (https://, or any fsspec URL: tarnwick[remote])."""
    return verify_model_with(model, trust=trust, ignore=ignore, signer=signer, signer_key=signer_key)


def verify_model_with(model, *, trust=None, ignore=(), signer=None, signer_key=None,  # noqa: C901 - one verdict
                      members_map=None):
    """verify_model; `members_map(function, items)`, for a batch on a
    cluster: how each signed file is checked, [function(*item) for item in
    items] spread over its nodes."""
    sdk = _sdk.load("verify")
    signer, signer_key = _verify.policy(signer, signer_key)
    from . import _remote
    if _remote.is_url(model):
        return _remote.verify_model(model, trust=trust, ignore=ignore, signer=signer, signer_key=signer_key)
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
            try:
                member = _model.open_member(m.folder, rel)
            except FileNotFoundError:
                return MemberVerification(rel, "invalid", [MISSING])
            except (_model.MemberError, OSError) as e:
                return MemberVerification(rel, "invalid", [(REFUSED, _member_failure(rel, e))])
            try:
                if kind != CONTAINER:
                    return MemberVerification(rel, "unsigned", [])
                v = _verify.verify_one(_model.fd_path(member), trust=anchors, name=rel, signer=signer,
                                       signer_key=signer_key)
            except (ValueError, OSError) as e:
                return MemberVerification(rel, "invalid", [(DAMAGED, _member_failure(rel, e))])
            finally:
                os.close(member)
            return MemberVerification(rel, v.state, list(v.failures))
        members = _run(alone, m.members, workers)
        return ModelVerification("unsigned", members, _verify._empty("unsigned", None))
    try:
        size = os.fstat(fd).st_size
        if size > _verify.STORE_LIMIT:
            manifest = _verify._empty("invalid", None)
            manifest.failures.append(("tarnwick.store.too_large", f"{m.store_name}: a manifest store of {size} "
                                      f"bytes is larger than the {_verify.STORE_LIMIT} bytes tarnwick reads"))
            return ModelVerification("invalid", [MemberVerification(rel, "invalid", [DIFFERS])
                                                 for rel, _ in m.members], manifest)
        store = os.pread(fd, size, 0)
    finally:
        os.close(fd)

    try:
        signed = _signed_listing(sdk, store)
    except sdk.c2pa.C2paError:
        signed = None
    if signed is not None:
        signed, signed_ignore = signed
    if signed is None:
        # No listing to go by: the model's own members, checked alone, and a
        # manifest that cannot bind them.
        manifest = _verify._empty("invalid", None)
        manifest.failures.append(("tarnwick.model.listing", f"{m.store_name} holds no readable list of the "
                                  "model's files"))
        members = [MemberVerification(rel, "invalid", [DIFFERS]) for rel, _ in m.members]
        return ModelVerification("invalid", members, manifest)

    if signed_ignore is not None:
        _model.take_folder(m, [p for p in signed_ignore if p not in _model.DEFAULT_IGNORE] + list(ignore))
    items = [(m.folder, entry, anchors, signer, signer_key) for entry in signed]
    results = members_map(_found, items) if members_map is not None else _run(_found, items, workers)
    rebuilt = {"alg": "sha256", "uris": [found for found, _, _ in results]}
    if signed_ignore is not None:
        rebuilt["ignore"] = signed_ignore
    manifest = _verify._validate(sdk, io.BytesIO(_canonical(rebuilt)), _Place(), store, anchors, native=False,
                                 signer=signer, signer_key=signer_key)
    # A file hashed whole is as good as the signature over the listing: a
    # listing that differs elsewhere does not make it invalid.
    whole = manifest.state
    if whole == "invalid" and all(code == "assertion.dataHash.mismatch" for code, _ in manifest.failures):
        whole = "valid" if any(code == _verify.UNTRUSTED for code, _ in manifest.informational) else "trusted"

    members = [_member(entry, found, state or whole, failures)
               for entry, (found, state, failures) in zip(signed, results)]
    listed = {e["uri"] for e in signed}
    if signed_ignore is None:
        manifest.informational.append(MEMBERS_ONLY)
        present = [rel for rel, _ in m.members] + _model.strays(m)
    else:
        present = [rel for rel, _ in m.files]
    for rel in present:
        if rel not in listed:
            listed.add(rel)
            members.append(MemberVerification(rel, "invalid", [EXTRA]))

    states = {manifest.state} | {v.state for v in members}
    state = "invalid" if "invalid" in states or states - {"trusted", "valid"} else \
        "trusted" if states == {"trusted"} else "valid"
    return ModelVerification(state, members, manifest)
