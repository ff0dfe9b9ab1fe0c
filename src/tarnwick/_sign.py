"""sign_file and sign_model: signing as a pipeline of stages with a value
between them:

plan     the model located, its signer, definition and ingredients, the
         size of each store, every refusal; nothing written (a Plan, or a
         Prepared for one file)
sign     each file rewritten once into a private new file with a room for
         its store, hashed as written; the SDK signs the range and digest;
         the store patched into the room (Signed, not yet committed); any
         other file of a model copied (or, in place, only hashed)
store    a model's model-level store, over the listing of every file
commit   every new file renamed into place, the model-level store last

Every byte goes through the native file layer: a new file is private until
committed, replaces the model's target (not a link to it) with its owner,
mode and extended attributes, and a failure or signal before the commit
leaves the model as it was."""

import concurrent.futures
import hashlib
import json
import os
from typing import Any, NamedTuple, Optional

from . import _listing, _manifest, _model, _native, _sdk, _source, _verify
from ._errors import CommitInterrupted, ModelError, SigningError, UsageError
from ._results import ModelSignResult, SignedMember, SignResult

PARENT = _manifest.PARENT
ALGS = _manifest.ALGS


def _utf8(rel):
    """A name the listing and the SDK can record, or the refusal of it."""
    try:
        rel.encode("utf-8")
    except UnicodeEncodeError:
        shown = rel.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        raise UsageError(f"{shown}: a file name that is not UTF-8 cannot be recorded in a signature; rename the "
                         "file, or ignore it (--ignore)") from None
    return rel


def _title(path):
    """A file's name as a manifest's title: bytes that are not UTF-8 escaped."""
    name = os.path.basename(os.fspath(path))
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _refuse_foreign(path):
    refusal = _model.foreign_link(path)
    if refusal is not None:
        raise UsageError(refusal)


def _refuse_sidecar(sidecar, *paths):
    """A sidecar may not be any file signing reads or writes."""
    if sidecar is None:
        return
    where = os.path.realpath(os.fspath(sidecar))
    for path in paths:
        if path is not None and os.path.realpath(os.fspath(path)) == where:
            raise UsageError(f"{os.fspath(sidecar)}: the sidecar would replace {os.fspath(path)}; give the store "
                             "another name")
    if _listing.signed_model_of(sidecar) is not None:
        raise UsageError(f"{os.fspath(sidecar)}: the sidecar would replace a file of a model signed as a whole")


# --- One file -----------------------------------------------------------------------

class Prepared(NamedTuple):
    """Everything signing one file needs, every refusal made; nothing
    written yet."""
    model: str           # the path the native layer opens
    name: str            # the model as the caller knows it, for messages
    output: Optional[str]
    builder: Any
    signer: Any
    store_size: int      # of the signed store, from the SDK's placeholder
    remote_uri: Optional[str]
    sidecar: Optional[str]
    external_data_copied: bool
    signing_alg: str
    # Re-signing: the parent's data hash assertion, checked while the model
    # is rewritten rather than in a pass of its own (None: nothing to check,
    # or checked already).
    parent_hash: Optional[dict]


class ParentChanged(Exception):
    """The parent's data hash, assumed intact to size the store, is not."""


class Signed(NamedTuple):
    """A model signed into a private new file (and its sidecar), not yet in
    place: commit() puts them there, discard() drops them."""
    result: SignResult
    store: bytes           # the signed store
    model: Any             # the native pending output
    sidecar: Any           # the sidecar's, or None

    def commit(self):
        if self.sidecar is not None:
            self.sidecar.commit()
        self.model.commit()
        return self.result

    def discard(self):
        if self.sidecar is not None:
            self.sidecar.discard()
        self.model.discard()


_NO_POLICY = _verify.Options(None, None, None)


def _parent_check(sdk, path, name, parent, info, parent_hashed, declared):
    """The verdict on the store being replaced, its data hash assumed intact
    (`parent_hashed`, once known, says whether it is)."""
    with _source.naming(path, name):
        return _verify.judge(sdk, parent, _NO_POLICY, info.store_range, info.uri,
                             lambda _: parent_hashed or (True, False), declared)


def prepare(model, *, signer=None, cert=None, key=None, alg=None, definition=None, output=None, hash="sha256",
            ingredients=(), remote_uri=None, sidecar=None, tsa_url=None, title=None, name=None,
            external_data_copied=False, the_signer=None, parent_hashed=None, force=False, fresh=False):
    """Stage one: the builder with its definition and ingredients, the signer,
    and the size of the store to reserve. `the_signer`: one built already
    (a model of many files builds its signer once). A parent's data hash is
    assumed intact here and checked during the rewrite, in the same pass
    over the model; `parent_hashed` is its verdict once known."""
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    if hash != "sha256":
        raise UsageError(f"c2pa-python {_sdk.version_found()} signs SHA-256 data hashes only (its placeholder "
                         f"fixes the algorithm); {hash!r} cannot be signed")
    if (remote_uri is None) != (sidecar is None):
        raise UsageError("remote_uri and sidecar go together: the store is written to sidecar for publishing at "
                         "remote_uri")
    path = os.fspath(model)
    shown = name or path
    dest = os.fspath(output) if output is not None else path
    with _source.naming(path, name):
        info = _native.inspect(path)
        parent = _native.read_file(path) if info.store_size is not None and not fresh else None
    if the_signer is None:
        the_signer, _, alg = _manifest.signer(c2pa, signer, cert, key, alg, tsa_url)
    built = _manifest.definition(definition, title or _title(dest), info.model_type, info.format)
    resources = []
    parent_hash = None
    if parent is not None:  # re-signing: the earlier manifest becomes the parent
        declared = {}
        check = _parent_check(sdk, path, name, parent, info, parent_hashed, declared)
        if check.state == "invalid" and not force:
            why = "; ".join(f"{c}: {t}" for c, t in check.failures[:3])
            raise ModelError(f"{shown}: its signature is invalid ({why}); re-signing would record it as the "
                             "parent: check the model, then sign with force=True (--force) to record it anyway, "
                             "or fresh=True (--fresh) to sign without it")
        resources.append((_manifest.add_ingredient(built, check, "parentOf", PARENT, os.path.basename(shown)),
                          parent))
        _manifest.with_parent_action(built)
        parent_hash = declared if parent_hashed is None and declared else None
    for i, other in enumerate(ingredients):
        other = os.fspath(other)
        if _native.inspect(other).store_size is None:
            raise UsageError(f"{other}: an ingredient must be a signed model with an embedded manifest store")
        with _source.LocalFolder(os.path.dirname(other) or ".").file(os.path.basename(other)) as f:
            check = _verify.check_container(f, _NO_POLICY)
        resources.append((_manifest.add_ingredient(built, check, "componentOf", f"tarnwick.ingredient.{i}",
                                                   os.path.basename(other)), _native.read_file(other)))
    if definition is not None:
        _manifest.trial(sdk, built, resources, the_signer)
    builder = _manifest.builder(c2pa, built, resources)
    try:
        size = len(_manifest.call(c2pa, "make a placeholder for the store", sdk.placeholder, builder, the_signer))
    except BaseException:
        builder.close()
        raise
    return Prepared(path, shown, None if output is None else os.fspath(output), builder, the_signer, size,
                    remote_uri, None if sidecar is None else os.fspath(sidecar), external_data_copied, alg,
                    parent_hash)


def _check_parent(path, assertion):
    folder, name = os.path.split(path)
    try:
        with _source.LocalFolder(folder or ".").file(name) as f:
            return f.check(assertion)
    except (OSError, ValueError):
        return False, False


def sign_prepared(p, progress=None):
    """Stage two: the model rewritten into a private new file, signed, the
    store patched into its room. Nothing is in place until commit()."""
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    remote = p.remote_uri is not None
    checking = None
    if p.parent_hash is not None:
        checking = concurrent.futures.ThreadPoolExecutor(max_workers=1)
        parent = checking.submit(_check_parent, p.model, p.parent_hash)
    try:
        with _source.naming(p.model, p.name):
            pending = _native._signing_rewrite(p.model, reserve=None if remote else p.store_size,
                                               uri=p.remote_uri, output=p.output, name=p.name, progress=progress,
                                               external_data_copied=p.external_data_copied)
    finally:
        if checking is not None:
            checking.shutdown(wait=True)
    if checking is not None:
        hashed = parent.result()
        if not hashed[0]:
            pending.discard()
            raise ParentChanged(hashed)
    side = None
    try:
        exclusions = [] if remote else [pending.store_range]
        store = _manifest.call(c2pa, "sign the store", sdk.sign, p.builder, p.signer, exclusions, pending.digest)
        if remote:
            side = _native._storing(store, output=p.sidecar, like=p.model)
        else:
            if len(store) != p.store_size:
                raise SigningError(f"the C2PA SDK signed a {len(store)}-byte store for a {p.store_size}-byte "
                                   "placeholder")
            pending.patch(store)
        result = SignResult(pending.path, pending.size, None if remote else pending.store_range, pending.digest,
                            "sha256", p.signing_alg, _manifest.store_label(sdk, store))
        return Signed(result, store, pending, side)
    except BaseException:
        if side is not None:
            side.discard()
        pending.discard()
        raise


def sign_staged(model, progress=None, **options):
    """prepare, then sign_prepared: the model signed into a private new file,
    not committed. A parent found damaged while the model was rewritten is
    judged as it is, at the cost of a second pass."""
    hashed = None
    while True:
        p = prepare(model, parent_hashed=hashed, **options)
        try:
            return sign_prepared(p, progress)
        except ParentChanged as e:
            hashed = e.args[0]
        finally:
            p.builder.close()


def sign_file(model, *, signer=None, cert=None, key=None, alg=None, definition=None, output=None,
              hash="sha256", ingredients=(), progress=None, remote_uri=None, sidecar=None, tsa_url=None,
              alone=False, manifest=None, force=False, fresh=False):
    """Sign a model file with a C2PA data hash, in place or into `output`;
    `alone`: even a file that a model signed as a whole lists. Re-signing
    records the earlier manifest as the parent (`fresh`: not), and refuses
    one whose signature is invalid unless `force`."""
    _sdk.load("sign")
    definition = _manifest.alias(definition, manifest, "definition", "manifest")
    refusal = _model.onnx_refusal(model, "sign_file")
    if refusal is not None:
        raise ModelError(refusal)
    if output is None:
        _refuse_foreign(model)
        if _model.shared_blob(model):
            raise UsageError(f"{os.fspath(model)}: a file of the Hugging Face cache (a link into its blobs/, which "
                             "other revisions share); signing it in place would change them all: sign a copy with "
                             "-o FILE (output=)")
    _refuse_sidecar(sidecar, model, output)
    owner = None if alone else _listing.signed_model_of(model if output is None else output)
    if owner is not None:
        raise UsageError(f"{os.fspath(output or model)} is a file of the model signed as a whole in {owner[0]}: "
                         "signing it alone would leave that model invalid; sign the whole model with sign_model "
                         "(tarnwick sign on its folder), or say alone=True (--alone) if that is what you mean")
    signed = sign_staged(model, progress, signer=signer, cert=cert, key=key, alg=alg, definition=definition,
                         output=output, hash=hash, ingredients=ingredients, remote_uri=remote_uri, sidecar=sidecar,
                         tsa_url=tsa_url, force=force, fresh=fresh)
    try:
        return commit([signed], [os.fspath(output or model)])[0]
    except BaseException:
        signed.discard()
        raise


# --- Commit ---------------------------------------------------------------------------

def commit(pendings, names):
    """Every pending file renamed into place, in order, the last one last.
    Stopped midway, what was replaced is said: the model no longer verifies
    until it is signed again."""
    results, done = [], []
    for pending, name in zip(pendings, names):
        try:
            results.append(pending.commit())
        except BaseException as e:
            if not done:
                raise
            if isinstance(e, OSError):
                raise type(e)(e.errno, f"{e.strerror or e}; {CommitInterrupted.say(done, len(pendings))}",
                              e.filename) from e
            raise CommitInterrupted(done, len(pendings), e) from e
        done.append(name)
    return results


# --- A model of many files --------------------------------------------------------------

class Plan(NamedTuple):
    """A model located and checked, its signer and definition ready:
    every refusal made, nothing written."""
    model: Any
    dest_folder: str
    in_place: bool
    signer: Any
    definition: dict
    alg: str             # the signing algorithm, as results name it
    force: bool
    fresh: bool
    oms: Any = None      # an OpenSSF signature to write too (Oms), or None


class Member(NamedTuple):
    """A file of the model signed or copied, not yet in place."""
    entry: dict            # its line of the listing
    signed: SignedMember
    store: Optional[bytes]  # a container's own store, for the ingredient
    pending: Any           # the native pending output, or None (hashed in place)
    whole: Optional[bytes] = None  # the SHA-256 of the whole file as written, when asked


def _workers(count, signer):
    # A caller's Signer object is one handle: used from one thread at a time.
    return 1 if signer is not None else max(1, min(count, os.cpu_count() or 1))


def _output_folder(output, model_folder):
    """The folder -o names, checked, not made: a link another user placed
    in a shared folder, the model's own folder, a folder inside it or one
    holding anything are refused."""
    path = os.fspath(output)
    _refuse_foreign(path)
    resolved = os.path.realpath(path)
    inside = os.path.realpath(model_folder)
    if resolved == inside:
        raise UsageError(f"{path}: the output folder is the model's own folder: sign in place instead")
    if os.path.commonpath([resolved, inside]) == inside:
        raise UsageError(f"{path}: the output folder is inside the model's folder, whose every file is signed")
    if os.path.lexists(path):
        if not os.path.isdir(resolved):
            raise UsageError(f"{path}: not a folder; a model of many files is signed into a folder")
        if os.listdir(resolved):
            raise UsageError(f"{path}: not empty; give a new or empty folder, or sign in place (--in-place)")
    elif os.path.splitext(path)[1] in (".onnx", ".gguf", ".safetensors", ".json", ".c2pa"):
        raise UsageError(f"{path}: a model of many files is signed into a folder, and this names a file; give "
                         "a folder")
    return resolved


def plan_model(model, *, signer=None, cert=None, key=None, alg=None, definition=None, output=None, tsa_url=None,
               ignore=(), entry=None, force=False, fresh=False, oms=None, oms_method="certificate"):
    """Stage one for a model of many files: every refusal, nothing written."""
    sdk = _sdk.load("sign")
    path = os.fspath(model)
    if output is None:
        _refuse_foreign(path)
    located = _model.locate(path, entry)
    the_signer, the_key, alg = _manifest.signer(sdk.c2pa, signer, cert, key, alg, tsa_url)
    request = None
    if oms is not None and oms is not False:
        request = _oms_request(oms, oms_method, located.folder if output is None else os.fspath(output), the_key,
                               cert)
        if request.rel is not None:
            ignore = list(ignore) + ["/" + request.rel]
    m = _model.take_folder(located, ignore)
    if output is None:
        _refuse_foreign(m.path(m.entry))
    for rel, _ in m.files:
        _utf8(rel)
    stray = _model.strays(m)
    if stray:
        raise ModelError(f"{stray[0]}: follows the model's naming pattern but is not part of the model "
                         f"({m.entry} does not name it): remove it, or fix the model, before signing")
    _model.check_splits(m)
    if output is None:
        for rel, kind in m.files:
            if _model.shared_blob(m.path(rel)):
                raise UsageError(f"{rel}: a file of the Hugging Face cache (a link into its blobs/, which other "
                                 "revisions share); signing it in place would change them all: sign a copy with "
                                 "-o DIR (output=)")
    dest_folder = m.folder if output is None else _output_folder(output, m.folder)
    first = next(rel for rel, kind in m.members if kind == _model.CONTAINER)
    with _source.LocalFolder(m.folder).file(first) as f:
        info = f.inspect()[0]
    # Checked with the SDK now, before any member is signed.
    built = _manifest.definition(definition, m.entry, info.model_type, info.format)
    _manifest.trial(sdk, built, [], the_signer)
    return Plan(m, dest_folder, output is None, the_signer, built, alg, force, fresh, request)


def _sign_member(plan, rel, kind, tick):
    source = _source.LocalFolder(plan.model.folder)
    fd, _ = source.open(rel)
    try:
        return _sign_open_member(plan, fd, rel, kind, tick)
    finally:
        os.close(fd)


def _sign_open_member(plan, fd, rel, kind, tick):
    dest = None if plan.in_place else os.path.join(plan.dest_folder, rel)
    if dest is not None:
        os.makedirs(os.path.dirname(dest), exist_ok=True)
    path = _source.fd_path(fd)
    entry = {"uri": rel, "dc:format": "application/json" if rel.endswith(".json") else "application/octet-stream"}
    progress = _ticker(tick)
    if kind != _model.CONTAINER:
        with _source.naming(path, rel):
            if dest is None:
                size, digest = _native._hash_file(path, name=rel, progress=progress)
                pending = None
            else:
                pending = _native._copying(path, output=dest, name=rel, progress=progress)
                size, digest = pending.size, pending.digest
        entry.update(size=size, hash=digest.hex())
        return Member(entry, SignedMember(rel, size, digest, None, None), None, pending)
    signed = sign_staged(path, progress, output=dest, title=_title(rel), name=rel, external_data_copied=True,
                         the_signer=plan.signer, alg=plan.alg, force=plan.force, fresh=plan.fresh)
    r = signed.result
    entry.update(size=r.size, hash=r.digest.hex(), exclusions=[list(r.store_range)], manifest=r.label)
    # The store now patched in: the whole file, as a loader reads it, read
    # back while other members are still being written.
    whole = signed.model.file_digest() if plan.oms is not None else None
    return Member(entry, SignedMember(rel, r.size, r.digest, r.store_range, r.label), signed.store, signed.model,
                  whole)


def _ticker(tick):
    if tick is None:
        return None
    seen = [0]

    def show(done, total):
        if done > seen[0]:
            tick(done - seen[0])
            seen[0] = done
    return show


def previous(plan, members):
    """(the model-level store being replaced, its Verification) when the
    model was signed as a whole before, judged from this signing's own pass:
    the old store's signature over its own listing, and every file against
    that listing (a container by its own parent check, made while it was
    rewritten; any other file by the digest just taken). None when there is
    none, or `fresh`. Invalid is refused unless `force`."""
    if plan.fresh:
        return None
    sdk = _sdk.load("sign")
    m = plan.model
    try:
        store = _source.read_regular(m.path(m.store_name), _listing.STORE_LIMIT)
    except FileNotFoundError:
        return None
    signed = _listing.read(sdk, store)
    reasons = []
    if signed is None:
        check = _verify.empty("invalid", None)
        reasons.append(f"{m.store_name} holds no readable list of the model's files")
    else:
        check = _verify.judge(sdk, store, _NO_POLICY, asset=_listing.canonical(_listing.document(signed.entries,
                                                                                               signed.ignore)))
        reasons += [f"{code}: {text}" for code, text in check.failures]
        now = {member.entry["uri"]: member for member in members}
        for entry in signed.entries:
            member = now.get(entry.get("uri"))
            if member is None:
                reasons.append(f"{entry.get('uri')}: missing")
            elif member.store is None and (entry.get("size"), entry.get("hash")) != (member.entry["size"],
                                                                                      member.entry["hash"]):
                reasons.append(f"{member.entry['uri']}: changed since it was signed")
        if signed.ignore is not None:
            reasons += [f"{rel}: not part of the signed model" for rel in now if rel not in set(signed.names)]
    if reasons and not plan.force:
        raise ModelError(f"{m.path(m.entry)}: the model's signature is invalid ({'; '.join(reasons[:3])}); "
                         "re-signing would record it as the parent: check the model, then sign with force=True "
                         "(--force) to record it anyway, or fresh=True (--fresh) to sign without it")
    if signed is None or check.failures:
        return None  # a store whose own signature fails cannot be carried: forced, it signs afresh
    if reasons:
        check = check._replace(state="invalid", failures=[("tarnwick.model.changed", r) for r in reasons])
    return store, check


def model_store(plan, members, parent=None):
    """Stage three: the model-level store over the listing of every file,
    each container recorded as an ingredient, the store it replaces (when
    re-signing) as the parent."""
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    listing = _listing.document([member.entry for member in members], plan.model.ignore.patterns)
    built = json.loads(json.dumps(plan.definition))
    built.setdefault("assertions", []).append({"label": _listing.LABEL, "data": listing})
    resources = []
    if parent is not None:
        store, check = parent
        resources.append((_manifest.add_ingredient(built, check, "parentOf", PARENT, plan.model.store_name), store))
        _manifest.with_parent_action(built)
    for i, member in enumerate(members):
        if member.store is not None:
            _manifest.add_member(built, i, member.entry["uri"])
    builder = _manifest.builder(c2pa, built, resources)
    try:
        _manifest.call(c2pa, "make a placeholder for the model's store", sdk.placeholder, builder, plan.signer)
        return _manifest.call(c2pa, "sign the model's store", sdk.sign, builder, plan.signer, [],
                              hashlib.sha256(_listing.canonical(listing)).digest())
    finally:
        builder.close()


# --- An OpenSSF model signature from the same pass ---------------------------------------

class Oms(NamedTuple):
    """An OpenSSF model signature to write: where, its path in the model's
    folder (None outside it), and how it signs."""
    path: str
    rel: Optional[str]
    method: str
    sign: Any
    public_key: Any
    chain: Any


def _oms_request(oms, method, folder, the_key, cert):
    """The OpenSSF signature asked for, its key checked: every refusal here."""
    from . import _oms
    if method not in ("certificate", "key"):
        raise UsageError(f'the OpenSSF signature\'s method is "certificate" or "key", not {method!r}')
    if the_key is None:
        raise UsageError("an OpenSSF model signature is made with cert and key, or a CallbackSigner, not an SDK "
                         "signer object")
    from cryptography.hazmat.primitives.asymmetric import ec
    public_key = the_key.public_key()
    if not isinstance(public_key, ec.EllipticCurvePublicKey) or public_key.curve.name not in (
            "secp256r1", "secp384r1", "secp521r1"):
        raise UsageError("an OpenSSF model signature needs an ECDSA key on P-256, P-384 or P-521 (model-signing "
                         "takes no other)")
    path = os.path.join(folder, _oms.BUNDLE_NAME) if oms is True else os.fspath(oms)
    real, top = os.path.realpath(path), os.path.realpath(folder)
    rel = os.path.relpath(real, top) if os.path.commonpath([real, top]) == top else None
    chain = None
    if method == "certificate":
        from cryptography import x509
        from cryptography.hazmat.primitives import serialization
        pem = getattr(the_key, "chain", None) if cert is None else _manifest.pem_bytes(cert, "cert")
        try:
            chain = [c.public_bytes(serialization.Encoding.DER) for c in x509.load_pem_x509_certificates(pem)]
        except ValueError as e:
            raise UsageError(f"the certificate chain cannot be read: {e}") from None
    return Oms(path, rel, method, the_key.sign_der, public_key, chain)


def _bundle(plan, members):
    """The OpenSSF signature over the model's files as they will be: each
    container's whole new file, every other file's digest from the pass
    that signed it. The model-level store and the files the C2PA listing
    ignores are left out, by name."""
    from . import _oms
    files = {member.signed.path: member.whole if member.whole is not None else member.signed.digest
             for member in members}
    skip = set(files) | {plan.model.store_name}
    if plan.oms.rel is not None:
        skip.add(plan.oms.rel)
    left_out = [plan.model.store_name]
    for root, folders, names in os.walk(plan.dest_folder):
        folders.sort()
        for name in sorted(names):
            rel = os.path.relpath(os.path.join(root, name), plan.dest_folder).replace(os.sep, "/")
            if rel not in skip and not _oms.ignored(rel):
                left_out.append(rel)
    return _oms.sign_bundle(os.path.basename(os.path.normpath(plan.dest_folder)), files, sign=plan.oms.sign,
                            public_key=plan.oms.public_key, chain=plan.oms.chain, method=plan.oms.method,
                            ignore=left_out)


def _discard(members, store=None):
    for member in members:
        if member.pending is not None:
            member.pending.discard()
    if store is not None:
        store.discard()


def sign_model(model, *, signer=None, cert=None, key=None, alg=None, definition=None, output=None,
               tsa_url=None, ignore=(), manifest=None, progress=None, entry=None, force=False, fresh=False,
               oms=None, oms_method="certificate"):
    """Sign a model (a folder, or the entry file of one: an index file, a
    first split or an ONNX file) as one: every file of its folder but the
    ignored ones, in place or into the new folder `output`.
    `progress(done, total, files_done, files)`: bytes and files signed.
    `oms`: also an OpenSSF model signature (True: model.sig in the model's
    folder; or its path), by `oms_method` "certificate" or "key"."""
    sdk = _sdk.load("sign")
    definition = _manifest.alias(definition, manifest, "definition", "manifest")
    plan = plan_model(model, signer=signer, cert=cert, key=key, alg=alg, definition=definition, output=output,
                      tsa_url=tsa_url, ignore=ignore, entry=entry, force=force, fresh=fresh, oms=oms,
                      oms_method=oms_method)
    m = plan.model
    shown = None
    if progress is not None:
        total = 0
        for rel, _ in m.files:
            try:
                total += os.stat(m.path(rel)).st_size
            except OSError:
                pass
        shown = _verify.Progress(progress, total, len(m.files))

    def one(rel, kind):
        try:
            return _sign_member(plan, rel, kind, None if shown is None else shown.tick)
        finally:
            if shown is not None:
                shown.file_done()

    members, pending_store, pending_bundle = [], None, None
    try:
        members = _verify.run(one, m.files, None, _workers(len(m.files), signer), lambda member: _discard([member]))
        store = model_store(plan, members, previous(plan, members))
        like = os.path.join(m.folder, m.entry)
        pending_store = _native._storing(store, output=os.path.join(plan.dest_folder, m.store_name), like=like)
        if plan.oms is not None:
            pending_bundle = _native._storing(_bundle(plan, members), output=plan.oms.path, like=like)
        # Every member, then the model's store, then the OpenSSF signature:
        # stopped midway, a signature (old or none) no longer matches the
        # members, so the model verifies invalid or unsigned, never trusted.
        ordered = [member for member in members if member.pending is not None]
        pendings = [member.pending for member in ordered] + [pending_store]
        names = [member.entry["uri"] for member in ordered] + [m.store_name]
        if pending_bundle is not None:
            pendings.append(pending_bundle)
            names.append(plan.oms.path)
        commit(pendings, names)
    except BaseException:
        _discard(members, pending_store)
        if pending_bundle is not None:
            pending_bundle.discard()
        raise
    return ModelSignResult(plan.dest_folder, pending_store.path, _manifest.store_label(sdk, store),
                           [member.signed for member in members])

