"""Manifests with the C2PA SDK: the definition signed, the ingredients it
records, the signer, the SDK's builder and its reading of a store. Signing
and verifying both come here for every SDK call but the data-hashed ones
(_sdk)."""

import io
import json

from . import _keys, _sdk
from ._errors import SigningError, UsageError
from ._source import read_regular

ALGS = ("es256", "es384", "es512", "ps256", "ps384", "ps512", "ed25519")
TRAINED = "http://cv.iptc.org/newscodes/digitalsourcetype/trainedAlgorithmicMedia"
PARENT = "tarnwick.parent"
PEM_LIMIT = 1 << 20
# Intact and well signed, but not chained to a given anchor.
UNTRUSTED = "signingCredential.untrusted"
TRUSTED = "signingCredential.trusted"


def version():
    try:
        from ._version import version as text
        return text
    except ImportError:
        return "unknown"


def pem_bytes(value, what):
    """PEM from a path, bytes or text."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str) and value.lstrip().startswith("-----BEGIN"):
        return value.encode("ascii")
    if value is None:
        raise UsageError(f"signing needs a signer, or a certificate chain and a private key: {what} is missing")
    return read_regular(value, PEM_LIMIT, "a PEM file")


def signing_key(key):
    """The private key to sign with: a SigningKey as given (tarnwick.load_key:
    a password, a PKCS#11 token), or one read from a PEM path, bytes or text."""
    if key is None:
        raise UsageError("signing needs a signer, or a certificate chain and a private key: key is missing")
    return _keys.load_key(key)


def signer(c2pa, given, cert, key, alg, tsa_url):
    """(the SDK's signer, its SigningKey or None, the algorithm it signs
    with): the caller's own signer, or one of a chain and a key."""
    if given is not None:
        if cert is not None or key is not None:
            raise UsageError("give either signer or cert and key, not both")
        if isinstance(given, _keys.CallbackSigner):
            made = _keys.sdk_signer(c2pa, given, given.chain, given.alg, given.tsa_url)
            made._tarnwick_key = given  # its own failure, handed back over the SDK's
            return made, given, given.alg
        return given, None, getattr(given, "alg", "signer")
    if alg is not None and alg not in ALGS:
        raise UsageError(f"unknown signing algorithm {alg!r}: one of {', '.join(ALGS)}")
    chain = pem_bytes(cert, "cert")
    the_key = signing_key(key)
    alg = the_key.check_alg(alg)
    return _keys.sdk_signer(c2pa, the_key, chain, alg, tsa_url), the_key, alg


def definition(manifest, title, model_type, fmt):
    """The manifest definition to sign: the caller's, checked, or tarnwick's own."""
    if manifest is None:
        return {
            "claim_generator_info": [{"name": "tarnwick", "version": version()}],
            "title": title,
            "assertions": [
                {"label": "c2pa.actions", "data": {"actions": [{"action": "c2pa.created", "digitalSourceType": TRAINED}]}},
                {"label": "c2pa.asset-type", "data": {"types": [{"type": model_type, "version": fmt}]}},
            ],
        }
    try:
        built = json.loads(manifest) if isinstance(manifest, (str, bytes)) else json.loads(json.dumps(manifest))
    except (TypeError, ValueError) as e:
        raise UsageError(f"the manifest definition is not JSON: {e}") from None
    if not isinstance(built, dict):
        raise UsageError("the manifest definition must be a JSON object")
    assertions = built.get("assertions") or []
    if not isinstance(assertions, list) or not all(isinstance(a, dict) for a in assertions):
        raise UsageError("the manifest definition's assertions must be a list of objects")
    for assertion in assertions:
        label = str(assertion.get("label", ""))
        if label.startswith("c2pa.hash."):
            raise UsageError(f"the manifest definition brings its own hard binding ({label}): tarnwick adds the "
                             "data hash itself")
    built.setdefault("title", title)
    built.setdefault("claim_generator_info", [{"name": "tarnwick", "version": version()}])
    return built


def add_ingredient(built, check, relationship, label, title):
    """Records a signed model's store (its Verification `check`) as an
    ingredient, with the validation results tarnwick found for it (the SDK
    cannot read the model itself); the resource identifier to add it under."""
    results = {
        "activeManifest": {
            "success": [],
            "informational": [{"code": c, "explanation": t} for c, t in check.informational if c != UNTRUSTED],
            "failure": [{"code": c, "explanation": t} for c, t in check.failures]
            + [{"code": c, "explanation": t} for c, t in check.informational if c == UNTRUSTED],
        }
    }
    if check.state in ("trusted", "valid"):
        results["activeManifest"]["success"].append({"code": "claimSignature.validated",
                                                     "explanation": "claim signature valid"})
        if check.binding is not None and check.binding.hash_ok:
            results["activeManifest"]["success"].append({"code": "assertion.dataHash.match",
                                                         "explanation": "data hash valid"})
    resource = f"{label}.c2pa"
    built.setdefault("ingredients", []).append({
        "title": check.title or title,
        "format": "application/octet-stream",
        "relationship": relationship,
        "label": label,
        "active_manifest": check.label,
        "validation_results": results,
        "manifest_data": {"format": "application/c2pa", "identifier": resource},
    })
    return resource


def add_member(built, index, title):
    """Records a member signed just now as a componentOf ingredient (its
    digest taken from the bytes written). Its manifest is not copied in:
    the member carries it, the signed listing names it by label and binds
    the member's bytes, and a copy would only grow the model's store by
    every member's whole history at each re-sign."""
    built.setdefault("ingredients", []).append({
        "title": title,
        "format": "application/octet-stream",
        "relationship": "componentOf",
        "label": f"tarnwick.member.{index}",
        "validation_results": {"activeManifest": {"success": [
            {"code": "claimSignature.validated", "explanation": "claim signature valid"},
            {"code": "assertion.dataHash.match", "explanation": "data hash valid"}],
            "informational": [], "failure": []}},
    })


def with_parent_action(built):
    """A parent needs an opened action that names it."""
    opened = {"action": "c2pa.opened", "parameters": {"ingredientIds": [PARENT]}}
    for assertion in built.setdefault("assertions", []):
        if str(assertion.get("label", "")).startswith("c2pa.actions"):
            actions = assertion.setdefault("data", {}).setdefault("actions", [])
            if not isinstance(actions, list) or not all(isinstance(a, dict) for a in actions):
                raise UsageError("the manifest definition's c2pa.actions must hold a list of action objects")
            actions[:] = [a for a in actions if a.get("action") != "c2pa.created"]
            if not any(a.get("action") == "c2pa.opened" for a in actions):
                actions.insert(0, opened)
            return
    built["assertions"].insert(0, {"label": "c2pa.actions", "data": {"actions": [opened]}})


def builder(c2pa, built, resources):
    """The SDK's builder of a definition, its resources added; a definition
    the SDK refuses is a usage error, found before anything is written."""
    try:
        b = c2pa.Builder(built)
    except c2pa.C2paError as e:
        raise UsageError(f"the C2PA SDK refuses the manifest definition: {e}") from None
    try:
        for identifier, store in resources:
            b.add_resource(identifier, io.BytesIO(store))
    except BaseException:
        b.close()
        raise
    return b


def trial(sdk, built, resources, the_signer):
    """Signs a definition once, over nothing, and throws the result away:
    the SDK validates a manifest only when it signs it, and a definition it
    refuses must be refused before anything is written."""
    b = builder(sdk.c2pa, built, resources)
    try:
        sdk.placeholder(b, the_signer)
        sdk.sign(b, the_signer, [], bytes(32))
    except sdk.c2pa.C2paError as e:
        _callback_failure([the_signer])
        raise UsageError(f"the C2PA SDK refuses the manifest definition: {e}") from None
    finally:
        b.close()


def _callback_failure(args):
    """A callback signer's own exception, raised where the SDK only says it
    could not sign."""
    for arg in args:
        key = getattr(arg, "_tarnwick_key", None)
        if key is not None:
            key.raise_error()


def call(c2pa, what, function, *args):
    try:
        return function(*args)
    except c2pa.C2paError as e:
        _callback_failure(args)
        raise SigningError(f"the C2PA SDK could not {what}: {e}") from None


def alias(value, earlier, name, earlier_name):
    """A keyword's value, given under its name or its earlier one."""
    if earlier is None:
        return value
    if value is not None:
        raise UsageError(f"give {name} or {earlier_name} (its earlier name), not both")
    return earlier


def store_label(sdk, store):
    """The active manifest's label in a store, read from the store alone."""
    with sdk.c2pa.Reader(_sdk.STORE_MIME, io.BytesIO(store)) as reader:
        return json.loads(reader.json()).get("active_manifest")


def read(sdk, store, anchors, asset=b""):
    """The SDK's reading of `store` against `asset` (bytes; empty when
    tarnwick checks the data hash itself): (report, detailed report,
    crJSON), each a dict, or raises the SDK's error."""
    c2pa = sdk.c2pa
    context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors}} if anchors else {})
    with io.BytesIO(asset) as stream, c2pa.Reader(_sdk.ASSET_FORMAT, stream, store, context) as reader:
        return json.loads(reader.json()), json.loads(reader.detailed_json()), json.loads(reader.crjson())
