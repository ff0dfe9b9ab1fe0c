"""verify_file: the SDK's validation of a model's store, combined with
tarnwick's own check of the data hash: the digest computed natively in one
streamed pass, and its exclusion exactly the store's range.

The SDK is given the store and an empty asset: it checks the signature, the
claim, the certificate chain and trust, never the model's bytes, which it
would read whole into memory. Every byte it does not read is accounted for
here: the excluded range holds exactly one store, with nothing after it."""

import base64
import io
import ipaddress
import json
import os
import socket
import stat
import time
import urllib.parse
import urllib.request

from . import _model, _policy, _sdk, _store
from ._errors import UsageError
from ._native import BindingCheck, check_binding, inspect, read_file
from ._results import Ingredient, Verification

# The SDK cannot parse model containers, so it reports this on every model;
# it is resolved exactly when the exclusion is the store's range.
LOCATION_UNCHECKED = "data hash exclusion does not match the manifest location"
# Intact and well signed, but not chained to a given anchor: "valid", not "invalid".
UNTRUSTED = "signingCredential.untrusted"
TRUSTED = "signingCredential.trusted"
# The SDK checked the time-stamp token against the signature; its signer's
# trust is told apart (timeStamp.trusted, or timeStamp.untrusted).
TIMESTAMP_VALIDATED = "timeStamp.validated"
TIMESTAMP_TRUSTED = "timeStamp.trusted"

FETCH_TIMEOUT = 30.0  # for the whole fetch, not for each read
# No store that tarnwick or the SDK writes comes near this; a larger one is
# refused before it is read (a sidecar, a model-level store, --manifest, a
# fetched store or one embedded in a model).
STORE_LIMIT = 64 << 20
FETCH_LIMIT = STORE_LIMIT
PEM_LIMIT = 16 << 20  # trust anchors: the C2PA trust list is a few hundred KiB


def _pem(value, what):
    """PEM text from a path, bytes or text."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("ascii")
    if isinstance(value, str) and value.lstrip().startswith("-----BEGIN"):
        return value
    data = read_store_file(value, PEM_LIMIT)  # a regular file only, bounded
    try:
        return data.decode("ascii")
    except UnicodeDecodeError:
        raise UsageError(f"{os.fspath(value)}: not PEM text ({what})") from None


def read_store_file(path, limit=STORE_LIMIT):
    """A store kept in a file of its own: a regular file only (a FIFO is
    refused, never waited on), refused past `limit` before it is read."""
    fd = os.open(os.fspath(path), os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise UsageError(f"{os.fspath(path)}: not a regular file")
        if st.st_size > limit:
            raise StoreTooLarge(f"{os.fspath(path)}: a manifest store of {st.st_size} bytes is larger than "
                                f"the {limit} bytes tarnwick reads")
        os.set_blocking(fd, True)
        data = os.pread(fd, st.st_size + 1, 0)
        if len(data) > st.st_size:
            raise StoreTooLarge(f"{os.fspath(path)}: the file grew while it was read")
        return data
    finally:
        os.close(fd)


class StoreTooLarge(UsageError):
    """A store larger than tarnwick reads."""


def _store_bytes(value):
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    return read_store_file(value)


def store_slack(store):
    """Why `store` is not exactly what its writer made (bytes after it, box
    lengths or labels the SDK does not read, padding that is not zeros), or
    None: such bytes are covered by no signature."""
    return _store.slack(store)


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
    """The manifest store published at `url`: HTTPS (HTTP on loopback), one
    deadline for the whole fetch (a server that drips bytes cannot hold it),
    and a size cap."""
    _check_url(url)
    deadline = time.monotonic() + timeout
    opener = urllib.request.build_opener(_Redirects)
    late = TimeoutError(f"fetching the manifest from {url!r} took longer than {timeout:g} s")
    with opener.open(urllib.request.Request(url, headers={"Accept": "application/c2pa"}), timeout=timeout) as r:
        sock = getattr(getattr(r.fp, "raw", None), "_sock", None)
        parts, size = [], 0
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise late
            if sock is not None:
                sock.settimeout(left)
            try:
                part = r.read1(65536)
            except socket.timeout:  # TimeoutError from 3.10 on
                raise late from None
            if not part:
                break
            size += len(part)
            if size > limit:
                raise UsageError(f"the manifest at {url!r} is larger than {limit} bytes")
            parts.append(part)
    return b"".join(parts)


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
    """(hash_ok, store_range): whether the file's data hash, computed natively
    (in parallel, the interpreter lock released), is the one the signed
    assertion declares, and where the store lies in that same open of the
    file, so that both are judged on one reading whatever the name leads to
    meanwhile. store_range is False when the file could not be read."""
    if data_hash_assertion.get("alg", "sha256") != "sha256":
        return False, False
    declared = data_hash_assertion.get("hash")
    try:
        declared = base64.b64decode(declared) if isinstance(declared, str) else bytes(declared)
        exclusions = [(e["start"], e["length"]) for e in data_hash_assertion.get("exclusions") or []]
        check = check_binding(path, exclusions, declared)
    except (ValueError, TypeError, KeyError, OSError):
        return False, False
    return check.hash_ok, check.store_range


SLACK = "tarnwick.store.slack"


def _unreadable(info, text, slack):
    failures = [("tarnwick.store.unreadable", text)]
    if slack is not None:
        failures.append((SLACK, slack))
    binding = BindingCheck((False, False, False, info.store_range, "the manifest store cannot be read"))
    return Verification("invalid", failures, None, None, None, False, None, None, None, [], [], binding,
                        info.uri, [], None)


def _manifest_of(report, label):
    manifests = report.get("manifests") if isinstance(report, dict) else None
    found = manifests.get(label) if isinstance(manifests, dict) and isinstance(label, str) else None
    return found if isinstance(found, dict) else None


def policy(signer, signer_key):
    """(signer, signer_key) parsed once, before any model is read: a
    malformed policy is the call's error, not a verdict on a model."""
    return _policy.signer_policy(signer), _policy.certificate_pin(signer_key)


def _validate(sdk, path, info, store, anchors, declared=None, native=True, signer=None, signer_key=None,
              hashed=None):
    """The SDK's validation of `store` against the file at `path` (or a file
    object). `declared`, a dict, receives the data hash assertion. `signer`,
    `signer_key`: who must have signed the active manifest. `native`:
    the SDK checks everything but the data hash, which tarnwick computes
    itself; the SDK would read the whole file into memory under one call
    and hash it there, twice the time of a streamed hash. `hashed`, for a
    file that is not at a path (a URL): assertion -> (hash_ok, store range
    seen), in place of hashing `path`."""
    c2pa = sdk.c2pa
    slack = store_slack(store)
    context = c2pa.Context.from_dict({"trust": {"user_anchors": anchors}} if anchors else {})
    try:
        with (io.BytesIO(b"") if native else open(path, "rb") if isinstance(path, (str, bytes, os.PathLike))
              else path) as asset, \
                c2pa.Reader(_sdk.ASSET_FORMAT, asset, store, context) as reader:
            report = json.loads(reader.json())
            detail = json.loads(reader.detailed_json())
            card = json.loads(reader.crjson())
    except (c2pa.C2paError, ValueError) as e:
        return _unreadable(info, f"the SDK cannot read the manifest store: {e}", slack)

    # A damaged store can name an active manifest it does not hold.
    label = report.get("active_manifest") if isinstance(report, dict) else None
    manifest = _manifest_of(report, label)
    if manifest is None or not isinstance(_manifest_of(detail, label), dict) or not isinstance(card, dict):
        return _unreadable(info, f"the manifest store has no readable active manifest ({label!r})", slack)
    results = (report.get("validation_results") or {}).get("activeManifest") or {}
    success = {c for c, _ in _codes(results.get("success"))}
    informational = _codes(results.get("informational"))
    failures = []

    # The binding: the declared exclusions against where the store lies.
    assertion_store = _manifest_of(detail, label).get("assertion_store") or {}
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
        if data_hash is None or others:
            hash_ok, seen = False, False
        else:
            hash_ok, seen = hashed(data_hash) if hashed is not None else _native_hash(path, data_hash)
        if seen is not False and seen != info.store_range:
            location_ok = False
            reason = "the model changed while it was verified"
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
    if slack is not None:
        failures.append((SLACK, slack))

    signature = next((m.get("signature") or {} for m in card.get("manifests") or [] if m.get("label") == label), {})
    signature = signature if isinstance(signature, dict) else {}
    certificate = signature.get("certificateInfo") or {}
    certificate = certificate if isinstance(certificate, dict) else {}
    signer, signer_key = policy(signer, signer_key)
    failures += _policy.failures(certificate, signer, signer_key)
    state = "invalid" if failures else "trusted" if TRUSTED in success else "valid"
    stamp = signature.get("timeStampInfo") if isinstance(signature.get("timeStampInfo"), dict) else {}
    stamp_certificate = stamp.get("certificateInfo") if isinstance(stamp.get("certificateInfo"), dict) else {}
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
    signed_at = info_sig.get("time") or stamp.get("timestamp")
    return Verification(
        state, failures,
        _name(certificate.get("subject")) or info_sig.get("common_name"),
        _name(certificate.get("issuer")) or info_sig.get("issuer"),
        signed_at, bool(signed_at) and TIMESTAMP_VALIDATED in success, generator, manifest.get("title"),
        asset_type, actions,
        _ingredients(manifest, (report.get("validation_results") or {}).get("ingredientDeltas")),
        binding, info.uri, informational, label,
        _name(stamp_certificate.get("subject")), TIMESTAMP_TRUSTED in success)


def verify_file(model, *, trust=None, store=None, fetch=False, manifest=None, signer=None, signer_key=None):
    """Verify a signed model file: "trusted", "valid", "invalid", "unsigned" or
    "unverified" (a remote manifest not fetched), with what its manifest says.
    `signer`: "ATTR=value, ..." that the signer's certificate subject must
    hold (CN, O, OU, C, L, ST; "\\," for a comma in a value); `signer_key`:
    the signer's certificate (PEM: a path, bytes or text). `model` may be a
    URL (https://, or any fsspec URL: tarnwick[remote])."""
    _sdk.load("verify")
    signer, signer_key = policy(signer, signer_key)
    if manifest is not None:  # the keyword's earlier name
        if store is not None:
            raise UsageError("give store or manifest (its earlier name), not both")
        store = manifest
    from . import _remote
    if _remote.is_url(model):
        return _remote.verify_file(model, trust=trust, store=store, fetch=fetch, signer=signer,
                                   signer_key=signer_key)
    refusal = _model.onnx_refusal(model, "verify_file")
    if refusal is not None:
        raise _model.ModelError(refusal)
    return verify_one(model, trust=trust, store=store, fetch=fetch, signer=signer, signer_key=signer_key)


def _too_large(info, text):
    failures = [("tarnwick.store.too_large", text)]
    binding = BindingCheck((False, False, False, info.store_range, text))
    return Verification("invalid", failures, None, None, None, False, None, None, None, [], [], binding,
                        info.uri, [], None)


def verify_one(model, *, trust=None, store=None, fetch=False, declared=None, name=None, signer=None,
               signer_key=None, hashed=None):
    """verify_file without the check for external data: one member of a model
    (`name`, the member's own name, for messages about `model`). `hashed`:
    assertion -> (hash_ok, store range seen or False), when the caller
    judges the data hash itself."""
    with _model.naming(os.fspath(model), name):
        return _verify_one(model, trust, store, fetch, declared, name, signer, signer_key, hashed)


def _verify_one(model, trust, store, fetch, declared, name, signer=None, signer_key=None, hashed=None):
    sdk = _sdk.load("verify")
    path = os.fspath(model)
    info = inspect(path)
    anchors = _pem(trust, "trust") if trust is not None else None
    if store is not None:
        try:
            store = _store_bytes(store)
        except StoreTooLarge as e:
            return _too_large(info, str(e))
    elif info.store_size is not None:
        if info.store_size > STORE_LIMIT:
            return _too_large(info, f"{name or path}: an embedded manifest store of {info.store_size} bytes is "
                              f"larger than the {STORE_LIMIT} bytes tarnwick reads")
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
    return _validate(sdk, path, info, store, anchors, declared, signer=signer, signer_key=signer_key,
                     hashed=hashed)


def store_label(sdk, store):
    """The active manifest's label in a store, read from the store alone."""
    with sdk.c2pa.Reader(_sdk.STORE_MIME, io.BytesIO(store)) as reader:
        return json.loads(reader.json()).get("active_manifest")
