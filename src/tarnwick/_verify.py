"""verify_file: the SDK's validation of a model and its store, combined with
tarnwick's check that the data hash excludes exactly the store's range.

The SDK hashes the model itself; tarnwick adds only metadata work (the
store's range from the container, compared with the declared exclusions),
never a second pass over the tensor data."""

import base64
import io
import ipaddress
import json
import os
import urllib.parse
import urllib.request

from . import _model, _sdk
from ._native import BindingCheck, check_binding, inspect, read_file
from ._results import Ingredient, Verification

# The SDK cannot parse model containers, so it reports this on every model;
# it is resolved exactly when the exclusion is the store's range.
LOCATION_UNCHECKED = "data hash exclusion does not match the manifest location"
# Intact and well signed, but not chained to a given anchor: "valid", not "invalid".
UNTRUSTED = "signingCredential.untrusted"
TRUSTED = "signingCredential.trusted"

FETCH_TIMEOUT = 30.0
FETCH_LIMIT = 64 << 20


def _pem(value, what):
    """PEM text from a path, bytes or text."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("ascii")
    if isinstance(value, str) and value.lstrip().startswith("-----BEGIN"):
        return value
    with open(os.fspath(value), "rb") as f:
        return f.read().decode("ascii")


def _store(value):
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    with open(os.fspath(value), "rb") as f:
        return f.read()


def _loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def _check_url(url):
    parts = urllib.parse.urlsplit(url)
    if parts.scheme == "https" or (parts.scheme == "http" and _loopback(parts.hostname or "")):
        return
    raise ValueError(f"refusing to fetch the manifest from {url!r}: HTTPS is required (plain HTTP only on loopback)")


class _Redirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        _check_url(newurl)
        return super().redirect_request(req, fp, code, msg, headers, newurl)


def fetch_store(url, timeout=FETCH_TIMEOUT, limit=FETCH_LIMIT):
    """The manifest store published at `url`: HTTPS (HTTP on loopback), a
    timeout, and a size cap."""
    _check_url(url)
    opener = urllib.request.build_opener(_Redirects)
    with opener.open(urllib.request.Request(url, headers={"Accept": "application/c2pa"}), timeout=timeout) as r:
        data = r.read(limit + 1)
    if len(data) > limit:
        raise ValueError(f"the manifest at {url!r} is larger than {limit} bytes")
    return data


def _codes(entries):
    return [(e.get("code", ""), e.get("explanation", "")) for e in entries or []]


def _name(fields):
    """A certificate name as the SDK gives it ({"CN": ..., "O": ...})."""
    if not fields:
        return None
    return ", ".join(f"{k}={v}" for k, v in fields.items())


def _ingredients(manifest, deltas):
    out = []
    for ing in manifest.get("ingredients") or []:
        recorded = (ing.get("validation_results") or {}).get("activeManifest") or {}
        failures = [c for c in _codes(recorded.get("failure")) if c[0] != UNTRUSTED]
        for delta in deltas or []:
            if delta.get("ingredientAssertionURI", "").endswith("/" + str(ing.get("label"))):
                failures += _codes((delta.get("validationDeltas") or {}).get("failure"))
        trusted = any(c == TRUSTED for c, _ in _codes(recorded.get("success")))
        state = "invalid" if failures else "trusted" if trusted else "valid"
        if not recorded and not ing.get("active_manifest"):
            state = "unsigned"
        out.append(Ingredient(ing.get("title"), ing.get("relationship"), ing.get("active_manifest"), state, failures))
    return out


def _empty(state, remote_uri, informational=()):
    return Verification(state, [], None, None, None, False, None, None, None, [], [], None, remote_uri,
                        list(informational), None)


def _native_hash(path, data_hash_assertion):
    """Whether the file's data hash, computed natively (in parallel, the
    interpreter lock released), is the one the signed assertion declares,
    and its exclusion is where the store lies in that same open of the file:
    both judged on one reading, whatever the name leads to meanwhile."""
    if data_hash_assertion.get("alg", "sha256") != "sha256":
        return False
    declared = data_hash_assertion.get("hash")
    try:
        declared = base64.b64decode(declared) if isinstance(declared, str) else bytes(declared)
        exclusions = [(e["start"], e["length"]) for e in data_hash_assertion.get("exclusions") or []]
        return check_binding(path, exclusions, declared).ok
    except (ValueError, TypeError, KeyError, OSError):
        return False


def _validate(sdk, path, info, store, anchors, declared=None, native=False):
    """The SDK's validation of `store` against the file at `path` (or a file
    object). `declared`, a dict, receives the data hash assertion. `native`:
    the SDK checks everything but the data hash, which tarnwick computes
    itself; the SDK would read the whole file into memory under one call
    and hash it there, twice the time of a streamed hash."""
    c2pa = sdk.c2pa
    context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors}} if anchors else {})
    try:
        with (io.BytesIO(b"") if native else open(path, "rb") if isinstance(path, (str, bytes, os.PathLike))
              else path) as asset, \
                c2pa.Reader(_sdk.ASSET_FORMAT, asset, store, context) as reader:
            report = json.loads(reader.json())
            detail = json.loads(reader.detailed_json())
            card = json.loads(reader.crjson())
    except c2pa.C2paError as e:
        failures = [("tarnwick.store.unreadable", f"the SDK cannot read the manifest store: {e}")]
        binding = BindingCheck((False, False, False, info.store_range, "the manifest store cannot be read"))
        return Verification("invalid", failures, None, None, None, False, None, None, None, [], [], binding,
                            info.uri, [], None)

    label = report.get("active_manifest")
    manifest = report["manifests"][label]
    results = (report.get("validation_results") or {}).get("activeManifest") or {}
    success = {c for c, _ in _codes(results.get("success"))}
    informational = _codes(results.get("informational"))
    failures = []

    # The binding: the declared exclusions against where the store lies.
    assertion_store = detail["manifests"][label].get("assertion_store") or {}
    data_hash = assertion_store.get("c2pa.hash.data")
    if declared is not None and data_hash is not None:
        declared.update(data_hash)
    expected = [tuple(info.store_range)] if info.store_range is not None else []
    if data_hash is None:
        location_ok, reason = False, "the manifest has no data hash assertion"
        exclusions = None
    else:
        exclusions = [(e["start"], e["length"]) for e in data_hash.get("exclusions") or []]
        location_ok = exclusions == expected
        reason = None if location_ok else (
            f"the data hash excludes {exclusions}, but the store lies at {expected[0]}" if expected
            else f"the data hash excludes {exclusions}, but the model holds no store")
    if native:
        # Any other hard binding is one tarnwick does not check itself.
        others = [k for k in assertion_store if k.startswith("c2pa.hash.") and k != "c2pa.hash.data"]
        hash_ok = data_hash is not None and not others and _native_hash(path, data_hash)
    else:
        hash_ok = "assertion.dataHash.match" in success
    if reason is None and not hash_ok:
        reason = "the model's data hash does not match the manifest's"
    binding = BindingCheck((location_ok and hash_ok, location_ok, hash_ok, info.store_range, reason))

    sdk_failures = _codes(results.get("failure"))
    if native:
        sdk_failures = [(c, t) for c, t in sdk_failures
                        if c != "assertion.dataHash.mismatch" or t.startswith(LOCATION_UNCHECKED)]
        if not hash_ok:
            name = (data_hash or {}).get("name", "jumbf manifest")
            sdk_failures.append(("assertion.dataHash.mismatch",
                                 f"asset hash error, name: {name}, error: hash verification( Hashes do not match )"))
    for code, text in sdk_failures:
        if code == UNTRUSTED:
            informational.append((code, text))
        elif code == "assertion.dataHash.mismatch" and text.startswith(LOCATION_UNCHECKED):
            if location_ok:
                informational.append((code, text + "; resolved: tarnwick found the store exactly at the excluded range"))
            else:
                failures.append((code, f"{text}: {reason}"))
        else:
            failures.append((code, text))
    if not location_ok and not any(code == "assertion.dataHash.mismatch" for code, _ in failures):
        failures.append(("tarnwick.binding.location", reason))

    state = "invalid" if failures else "trusted" if TRUSTED in success else "valid"

    signature = next((m.get("signature") or {} for m in card.get("manifests") or [] if m.get("label") == label), {})
    certificate = signature.get("certificateInfo") or {}
    info_sig = manifest.get("signature_info") or {}
    generator = manifest.get("claim_generator")
    if not generator and manifest.get("claim_generator_info"):
        g = manifest["claim_generator_info"][0]
        generator = g.get("name", "") + (f"/{g['version']}" if g.get("version") else "")
    actions, asset_type = [], None
    for assertion in manifest.get("assertions") or []:
        if assertion.get("label", "").startswith("c2pa.actions"):
            actions += [a.get("action") for a in (assertion.get("data") or {}).get("actions") or []]
        elif assertion.get("label", "").startswith("c2pa.asset-type"):
            types = (assertion.get("data") or {}).get("types") or []
            asset_type = types[0].get("type") if types else None
    signed_at = info_sig.get("time")
    return Verification(
        state, failures,
        _name(certificate.get("subject")) or info_sig.get("common_name"),
        _name(certificate.get("issuer")) or info_sig.get("issuer"),
        signed_at, bool(signed_at), generator, manifest.get("title"), asset_type, actions,
        _ingredients(manifest, (report.get("validation_results") or {}).get("ingredientDeltas")),
        binding, info.uri, informational, label)


def verify_file(model, *, trust=None, manifest=None, fetch=False):
    """Verify a signed model file: "trusted", "valid", "invalid", "unsigned" or
    "unverified" (a remote manifest not fetched), with what its manifest says."""
    _sdk.load("verify")
    refusal = _model.onnx_refusal(model, "verify_file")
    if refusal is not None:
        raise ValueError(refusal)
    return verify_one(model, trust=trust, manifest=manifest, fetch=fetch)


def verify_one(model, *, trust=None, manifest=None, fetch=False, declared=None, native=False):
    """verify_file without the check for external data: one member of a model."""
    sdk = _sdk.load("verify")
    path = os.fspath(model)
    info = inspect(path)
    anchors = _pem(trust, "trust") if trust is not None else None
    if manifest is not None:
        store = _store(manifest)
    elif info.store_size is not None:
        store = read_file(path)
    elif info.uri is not None:
        if not fetch:
            return _empty("unverified", info.uri, [(
                "tarnwick.manifest.remote",
                f"the manifest is published at {info.uri}: verify with fetch=True (--fetch), "
                "or download it and give it with manifest= (--manifest)")])
        store = fetch_store(info.uri)
    else:
        return _empty("unsigned", None)
    return _validate(sdk, path, info, store, anchors, declared, native)


def store_label(sdk, store):
    """The active manifest's label in a store, read from the store alone."""
    with sdk.c2pa.Reader(_sdk.STORE_MIME, io.BytesIO(store)) as reader:
        return json.loads(reader.json()).get("active_manifest")
