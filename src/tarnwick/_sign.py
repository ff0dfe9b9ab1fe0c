"""sign_file: a C2PA data-hash signature in one pass over the model, in
stages with a value between them:

prepare  the definition, the signer, the ingredients and the store's size,
         every refusal; nothing written (a `Prepared`)
sign     the model rewritten once into a private new file with a room of
         that size, hashed as written; the SDK signs the range and digest;
         the store patched into the room (a `Signed`, not yet committed)
commit   the new file linked or renamed into place, last

Every byte goes through the native file layer: the new file is private until
committed, replaces the model's target (not a link to it) with its owner,
mode and extended attributes, and a failure or signal before the commit
leaves the model as it was."""

import concurrent.futures
import io
import json
import os
from typing import Any, NamedTuple, Optional

from . import _model, _native, _sdk
from ._errors import SigningError, UsageError
from ._native import inspect, read_file
from ._results import SignResult
from ._verify import UNTRUSTED, verify_one

ALGS = ("es256", "es384", "es512", "ps256", "ps384", "ps512", "ed25519")
TRAINED = "http://cv.iptc.org/newscodes/digitalsourcetype/trainedAlgorithmicMedia"
PARENT = "tarnwick.parent"
PEM_LIMIT = 1 << 20


def _version():
    try:
        from ._version import version
        return version
    except ImportError:
        return "unknown"


def _pem_bytes(value, what):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str) and value.lstrip().startswith("-----BEGIN"):
        return value.encode("ascii")
    if value is None:
        raise UsageError(f"signing needs a signer, or a certificate chain and a private key: {what} is missing")
    from ._verify import read_store_file
    return read_store_file(value, PEM_LIMIT)


def _signer(c2pa, signer, cert, key, alg, tsa_url):
    if signer is not None:
        if cert is not None or key is not None:
            raise UsageError("give either signer or cert and key, not both")
        return signer
    if alg not in ALGS:
        raise UsageError(f"unknown signing algorithm {alg!r}: one of {', '.join(ALGS)}")
    info = c2pa.C2paSignerInfo(alg.encode(), _pem_bytes(cert, "cert"), _pem_bytes(key, "key"),
                               tsa_url.encode() if tsa_url else None)
    try:
        return c2pa.Signer.from_info(info)
    except c2pa.C2paError as e:
        raise SigningError(f"the C2PA SDK cannot sign with this certificate and key: {e}") from None


def _definition(manifest, title, model_type, fmt):
    if manifest is None:
        return {
            "claim_generator_info": [{"name": "tarnwick", "version": _version()}],
            "title": title,
            "assertions": [
                {"label": "c2pa.actions", "data": {"actions": [{"action": "c2pa.created", "digitalSourceType": TRAINED}]}},
                {"label": "c2pa.asset-type", "data": {"types": [{"type": model_type, "version": fmt}]}},
            ],
        }
    try:
        definition = json.loads(manifest) if isinstance(manifest, (str, bytes)) else json.loads(json.dumps(manifest))
    except (TypeError, ValueError) as e:
        raise UsageError(f"the manifest definition is not JSON: {e}") from None
    if not isinstance(definition, dict):
        raise UsageError("the manifest definition must be a JSON object")
    assertions = definition.get("assertions") or []
    if not isinstance(assertions, list) or not all(isinstance(a, dict) for a in assertions):
        raise UsageError("the manifest definition's assertions must be a list of objects")
    for assertion in assertions:
        label = str(assertion.get("label", ""))
        if label.startswith("c2pa.hash."):
            raise UsageError(f"the manifest definition brings its own hard binding ({label}): tarnwick adds the "
                             "data hash itself")
    definition.setdefault("title", title)
    definition.setdefault("claim_generator_info", [{"name": "tarnwick", "version": _version()}])
    return definition


def _ingredient(definition, path, store, relationship, label, shown, hashed=None, declared=None):
    """Adds a signed model's store as an ingredient, with the validation
    results tarnwick found for it (the SDK cannot read the model itself).
    `hashed`: the verdict on its data hash, when the caller checks it."""
    check = verify_one(path, store=store, name=shown, hashed=hashed, declared=declared)
    results = {
        "activeManifest": {
            "success": [],
            "informational": [{"code": c, "explanation": t} for c, t in check.informational if c != UNTRUSTED],
            "failure": [{"code": c, "explanation": t} for c, t in check.failures]
            + [{"code": c, "explanation": t} for c, t in check.informational if c == UNTRUSTED],
        }
    }
    if check.state in ("trusted", "valid"):
        results["activeManifest"]["success"].append({"code": "claimSignature.validated", "explanation": "claim signature valid"})
        if check.binding is not None and check.binding.hash_ok:
            results["activeManifest"]["success"].append({"code": "assertion.dataHash.match", "explanation": "data hash valid"})
    resource = f"{label}.c2pa"
    definition.setdefault("ingredients", []).append({
        "title": check.title or os.path.basename(shown),
        "format": "application/octet-stream",
        "relationship": relationship,
        "label": label,
        "active_manifest": check.label,
        "validation_results": results,
        "manifest_data": {"format": "application/c2pa", "identifier": resource},
    })
    return resource, store


def _with_parent_action(definition):
    """A parent needs an opened action that names it."""
    opened = {"action": "c2pa.opened", "parameters": {"ingredientIds": [PARENT]}}
    for assertion in definition.setdefault("assertions", []):
        if str(assertion.get("label", "")).startswith("c2pa.actions"):
            actions = assertion.setdefault("data", {}).setdefault("actions", [])
            if not isinstance(actions, list) or not all(isinstance(a, dict) for a in actions):
                raise UsageError("the manifest definition's c2pa.actions must hold a list of action objects")
            actions[:] = [a for a in actions if a.get("action") != "c2pa.created"]
            if not any(a.get("action") == "c2pa.opened" for a in actions):
                actions.insert(0, opened)
            return
    definition["assertions"].insert(0, {"label": "c2pa.actions", "data": {"actions": [opened]}})


def builder_for(c2pa, definition, resources):
    """The SDK's builder of a definition, its resources added; a definition
    the SDK refuses is a usage error, found before anything is written."""
    try:
        builder = c2pa.Builder(definition)
    except c2pa.C2paError as e:
        raise UsageError(f"the C2PA SDK refuses the manifest definition: {e}") from None
    try:
        for identifier, store in resources:
            builder.add_resource(identifier, io.BytesIO(store))
    except BaseException:
        builder.close()
        raise
    return builder


def trial(sdk, definition, resources, signer):
    """Signs a definition once, over nothing, and throws the result away:
    the SDK validates a manifest only when it signs it, and a definition it
    refuses must be refused before anything is written."""
    builder = builder_for(sdk.c2pa, definition, resources)
    try:
        sdk.placeholder(builder, signer)
        sdk.sign(builder, signer, [], bytes(32))
    except sdk.c2pa.C2paError as e:
        raise UsageError(f"the C2PA SDK refuses the manifest definition: {e}") from None
    finally:
        builder.close()


def sdk_call(c2pa, what, call, *args):
    try:
        return call(*args)
    except c2pa.C2paError as e:
        raise SigningError(f"the C2PA SDK could not {what}: {e}") from None


def alias(value, earlier, name, earlier_name):
    """A keyword's value, given under its name or its earlier one."""
    if earlier is None:
        return value
    if value is not None:
        raise UsageError(f"give {name} or {earlier_name} (its earlier name), not both")
    return earlier


def member_of_signed_model(path):
    """The model-level store that lists `path`, when `path` is a file of a
    model signed as a whole, else None: such a store lies in the file's
    folder or one above it."""
    from ._many import listing_of
    folder = os.path.dirname(os.path.abspath(path))
    rel = os.path.basename(path)
    for _ in range(4):
        try:
            names = sorted(n for n in os.listdir(folder) if n.endswith(".c2pa"))
        except OSError:
            names = []
        for name in names:
            listed = listing_of(os.path.join(folder, name))
            if listed is not None and rel in listed:
                return os.path.join(folder, name)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        rel = os.path.basename(folder) + "/" + rel
        folder = parent
    return None


class Prepared(NamedTuple):
    """Everything signing needs, every refusal made; nothing written yet."""
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


def prepare(model, *, signer=None, cert=None, key=None, alg="es256", definition=None, output=None, hash="sha256",
            ingredients=(), remote_uri=None, sidecar=None, tsa_url=None, title=None, name=None,
            external_data_copied=False, the_signer=None, parent_hashed=None):
    """Stage one: the builder with its definition and ingredients, the signer,
    and the size of the store to reserve. `the_signer`: one built already
    (a model of many files builds its signer once). A parent's data hash is
    assumed intact here and checked during the rewrite, in the same pass
    over the model; `parent_hashed` is its verdict once known."""
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    if hash != "sha256":
        raise UsageError(f"c2pa-python {_sdk._version_found()} signs SHA-256 data hashes only (its placeholder "
                         f"fixes the algorithm); {hash!r} cannot be signed")
    if (remote_uri is None) != (sidecar is None):
        raise UsageError("remote_uri and sidecar go together: the store is written to sidecar for publishing at "
                         "remote_uri")
    path = os.fspath(model)
    shown = name or path
    dest = os.fspath(output) if output is not None else path
    with _model.naming(path, name):
        info = inspect(path)
        parent = read_file(path) if info.store_size is not None else None
    if the_signer is None:
        the_signer = _signer(c2pa, signer, cert, key, alg, tsa_url)
    built = _definition(definition, title or os.path.basename(dest), info.model_type, info.format)
    resources = []
    parent_hash = None
    if parent is not None:  # re-signing: the earlier manifest becomes the parent
        declared = {}
        with _model.naming(path, name):
            resources.append(_ingredient(built, path, parent, "parentOf", PARENT, shown,
                                         lambda _: parent_hashed or (True, False), declared))
        _with_parent_action(built)
        parent_hash = declared if parent_hashed is None and declared else None
    for i, other in enumerate(ingredients):
        other = os.fspath(other)
        if inspect(other).store_size is None:
            raise UsageError(f"{other}: an ingredient must be a signed model with an embedded manifest store")
        resources.append(_ingredient(built, other, read_file(other), "componentOf", f"tarnwick.ingredient.{i}",
                                     other))
    if definition is not None:
        trial(sdk, built, resources, the_signer)
    builder = builder_for(c2pa, built, resources)
    try:
        size = len(sdk_call(c2pa, "make a placeholder for the store", sdk.placeholder, builder, the_signer))
    except BaseException:
        builder.close()
        raise
    return Prepared(path, shown, None if output is None else os.fspath(output), builder, the_signer, size,
                    remote_uri, None if sidecar is None else os.fspath(sidecar), external_data_copied,
                    alg if signer is None else getattr(signer, "alg", "signer"), parent_hash)


def sign_prepared(p, progress=None):
    """Stage two: the model rewritten into a private new file, signed, the
    store patched into its room. Nothing is in place until commit()."""
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    from ._verify import store_label
    remote = p.remote_uri is not None
    checking = None
    if p.parent_hash is not None:
        from ._verify import _native_hash
        checking = concurrent.futures.ThreadPoolExecutor(max_workers=1)
        parent = checking.submit(_native_hash, p.model, p.parent_hash)
    try:
        with _model.naming(p.model, p.name):
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
        store = sdk_call(c2pa, "sign the store", sdk.sign, p.builder, p.signer, exclusions, pending.digest)
        if remote:
            side = _native._storing(store, output=p.sidecar, like=p.model)
        else:
            if len(store) != p.store_size:
                raise SigningError(f"the C2PA SDK signed a {len(store)}-byte store for a {p.store_size}-byte "
                                   "placeholder")
            pending.patch(store)
        result = SignResult(pending.path, pending.size, None if remote else pending.store_range, pending.digest,
                            "sha256", p.signing_alg, store_label(sdk, store))
        return Signed(result, store, pending, side)
    except BaseException:
        if side is not None:
            side.discard()
        pending.discard()
        raise


def sign_staged(model, progress=None, **options):
    """prepare, then sign_prepared: the model signed into a private new file,
    not committed. A parent found damaged while the model was rewritten is
    recorded as it is, at the cost of a second pass."""
    hashed = None
    while True:
        p = prepare(model, parent_hashed=hashed, **options)
        try:
            return sign_prepared(p, progress)
        except ParentChanged as e:
            hashed = e.args[0]
        finally:
            p.builder.close()


def sign_file(model, *, signer=None, cert=None, key=None, alg="es256", definition=None, output=None,
              hash="sha256", ingredients=(), progress=None, remote_uri=None, sidecar=None, tsa_url=None,
              alone=False, manifest=None):
    """Sign a model file with a C2PA data hash, in place or into `output`;
    `alone`: even a file that a model signed as a whole lists."""
    _sdk.load("sign")
    definition = alias(definition, manifest, "definition", "manifest")
    refusal = _model.onnx_refusal(model, "sign_file")
    if refusal is not None:
        raise _model.ModelError(refusal)
    store = None if alone else member_of_signed_model(model if output is None else output)
    if store is not None:
        raise UsageError(f"{os.fspath(output or model)} is a file of the model signed as a whole in {store}: "
                         "signing it alone would leave that model invalid; sign the whole model with sign_model "
                         "(tarnwick sign on its folder), or say alone=True (--alone) if that is what you mean")
    signed = sign_staged(model, progress, signer=signer, cert=cert, key=key, alg=alg, definition=definition,
                         output=output, hash=hash, ingredients=ingredients, remote_uri=remote_uri, sidecar=sidecar,
                         tsa_url=tsa_url)
    try:
        return signed.commit()
    except BaseException:
        signed.discard()
        raise
