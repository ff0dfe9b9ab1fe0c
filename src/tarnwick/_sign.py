"""sign_file: a C2PA data-hash signature in one pass over the model.

The SDK's placeholder gives the signed store's size; embed_file reserves it
and hashes the rest of the new file as it writes it; the SDK signs that
range and digest; patch_file writes the store into the range. All of it
happens in a temporary file beside the destination, which replaces the
destination only when complete and checked."""

import io
import json
import os
import secrets
import stat

from . import _model, _sdk
from ._native import embed_file, inspect, patch_file, read_file, strip_file
from ._results import SignResult
from ._verify import UNTRUSTED, verify_one

ALGS = ("es256", "es384", "es512", "ps256", "ps384", "ps512", "ed25519")
TRAINED = "http://cv.iptc.org/newscodes/digitalsourcetype/trainedAlgorithmicMedia"
PARENT = "tarnwick.parent"


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
        raise ValueError(f"signing needs a signer, or a certificate chain and a private key: {what} is missing")
    with open(os.fspath(value), "rb") as f:
        return f.read()


def _signer(c2pa, signer, cert, key, alg, tsa_url):
    if signer is not None:
        if cert is not None or key is not None:
            raise ValueError("give either signer or cert and key, not both")
        return signer
    if alg not in ALGS:
        raise ValueError(f"unknown signing algorithm {alg!r}: one of {', '.join(ALGS)}")
    info = c2pa.C2paSignerInfo(alg.encode(), _pem_bytes(cert, "cert"), _pem_bytes(key, "key"),
                               tsa_url.encode() if tsa_url else None)
    return c2pa.Signer.from_info(info)


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
    definition = json.loads(manifest) if isinstance(manifest, (str, bytes)) else json.loads(json.dumps(manifest))
    if not isinstance(definition, dict):
        raise ValueError("the manifest definition must be a JSON object")
    for assertion in definition.get("assertions") or []:
        label = str(assertion.get("label", ""))
        if label.startswith("c2pa.hash."):
            raise ValueError(f"the manifest definition brings its own hard binding ({label}): tarnwick adds the "
                             "data hash itself")
    definition.setdefault("title", title)
    definition.setdefault("claim_generator_info", [{"name": "tarnwick", "version": _version()}])
    return definition


def _ingredient(definition, path, store, relationship, label):
    """Adds a signed model's store as an ingredient, with the validation
    results tarnwick found for it (the SDK cannot read the model itself)."""
    check = verify_one(path)
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
        "title": check.title or os.path.basename(path),
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
            actions[:] = [a for a in actions if a.get("action") != "c2pa.created"]
            if not any(a.get("action") == "c2pa.opened" for a in actions):
                actions.insert(0, opened)
            return
    definition["assertions"].insert(0, {"label": "c2pa.actions", "data": {"actions": [opened]}})


def _temporary(dest):
    folder, name = os.path.split(os.path.abspath(dest))
    return os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tarnwick-sign")


def _mode_from(tmp, existing):
    """The new file takes the replaced file's permission bits and owner."""
    try:
        st = os.stat(existing)
    except FileNotFoundError:
        return
    if not stat.S_ISREG(st.st_mode):
        return
    os.chmod(tmp, stat.S_IMODE(st.st_mode))
    try:
        os.chown(tmp, st.st_uid, st.st_gid)
    except OSError:
        pass


def _unlink(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def sign_file(model, *, signer=None, cert=None, key=None, alg="es256", manifest=None, output=None,
              hash="sha256", ingredients=(), progress=None, remote_uri=None, sidecar=None, tsa_url=None):
    """Sign a model file with a C2PA data hash, in place or into `output`."""
    _sdk.load("sign")
    refusal = _model.onnx_refusal(model, "sign_file")
    if refusal is not None:
        raise ValueError(refusal)
    return sign_one(model, signer=signer, cert=cert, key=key, alg=alg, manifest=manifest, output=output, hash=hash,
                    ingredients=ingredients, progress=progress, remote_uri=remote_uri, sidecar=sidecar,
                    tsa_url=tsa_url)


def sign_one(model, *, signer=None, cert=None, key=None, alg="es256", manifest=None, output=None,
             hash="sha256", ingredients=(), progress=None, remote_uri=None, sidecar=None, tsa_url=None, title=None,
             external_data_copied=False):
    """sign_file without the check for external data: one member of a model
    (`external_data_copied`: sign_model writes its other members beside it)."""
    sdk = _sdk.load("sign")
    c2pa = sdk.c2pa
    if hash != "sha256":
        raise ValueError(f"c2pa-python {_sdk._version_found()} signs SHA-256 data hashes only (its placeholder "
                         f"fixes the algorithm); {hash!r} cannot be signed")
    if (remote_uri is None) != (sidecar is None):
        raise ValueError("remote_uri and sidecar go together: the store is written to sidecar for publishing at "
                         "remote_uri")
    path = os.fspath(model)
    dest = os.fspath(output) if output is not None else path
    info = inspect(path)
    the_signer = _signer(c2pa, signer, cert, key, alg, tsa_url)

    definition = _definition(manifest, title or os.path.basename(dest), info.model_type, info.format)
    resources = []
    if info.store_size is not None:  # re-signing: the earlier manifest becomes the parent
        resources.append(_ingredient(definition, path, read_file(path), "parentOf", PARENT))
        _with_parent_action(definition)
    for i, other in enumerate(ingredients):
        other = os.fspath(other)
        if inspect(other).store_size is None:
            raise ValueError(f"{other}: an ingredient must be a signed model with an embedded manifest store")
        resources.append(_ingredient(definition, other, read_file(other), "componentOf", f"tarnwick.ingredient.{i}"))
    builder = c2pa.Builder(definition)
    try:
        for identifier, store in resources:
            builder.add_resource(identifier, io.BytesIO(store))
        size = len(sdk.placeholder(builder, the_signer))

        tmp = _temporary(dest)
        side_tmp = _temporary(os.fspath(sidecar)) if sidecar is not None else None
        try:
            if remote_uri is not None:
                # Only the URI goes into the model; the hash covers all of it.
                source = path
                if info.store_size is not None:
                    strip_file(path, output=tmp, external_data_copied=external_data_copied)
                    source = tmp
                written = embed_file(source, uri=remote_uri, hash="sha256", output=tmp, progress=progress,
                                     external_data_copied=external_data_copied)
                store = sdk.sign(builder, the_signer, [], written.digest)
                with open(side_tmp, "wb") as f:
                    f.write(store)
                    f.flush()
                    os.fsync(f.fileno())
                _mode_from(side_tmp, os.fspath(sidecar))
            else:
                source = path
                if info.uri is not None:  # a stale remote reference would point elsewhere
                    strip_file(path, output=tmp, external_data_copied=external_data_copied)
                    source = tmp
                written = embed_file(source, reserve=size, hash="sha256", output=tmp, progress=progress,
                                     external_data_copied=external_data_copied)
                store = sdk.sign(builder, the_signer, [written.store_range], written.digest)
                if len(store) != size:
                    raise RuntimeError(f"the SDK signed a {len(store)}-byte store for a {size}-byte placeholder")
                patch_file(tmp, store)
                # The digest excludes the patched range, so the binding holds if
                # the store now lies, whole, exactly there.
                if inspect(tmp).store_range != written.store_range or read_file(tmp) != store:
                    raise RuntimeError("the signed store did not land in the reserved range")
            _mode_from(tmp, dest)
            if side_tmp is not None:
                os.replace(side_tmp, os.fspath(sidecar))
            os.replace(tmp, dest)
        except BaseException:
            _unlink(tmp)
            if side_tmp is not None:
                _unlink(side_tmp)
            raise
    finally:
        builder.close()
    from ._verify import store_label
    return SignResult(dest, written.size, written.store_range if remote_uri is None else None, written.digest,
                      "sha256", alg if signer is None else getattr(signer, "alg", "signer"), store_label(sdk, store))
