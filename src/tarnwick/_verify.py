"""verify_file and verify_model: one pipeline over a source, whatever holds
the model (a folder here, a server, an fsspec file system):

locate   the model at a location: its source, entry and model-level store
listing  the store's signed listing, read (not yet believed)
check    each file: a container's own store judged with its data hash
         computed from the bytes its metadata was parsed from; any other
         file hashed whole
verdict  the store validated over the listing rebuilt from what was
         found, then each file's state, then the model's

The SDK is given a store and, for a container, an empty asset: it checks
the signature, the claim, the certificate chain and trust, never the model's
bytes, which it would read whole into memory. Every byte it does not read is
accounted for here: the excluded range holds exactly one store, with
nothing after it, and every byte of the store is signed or fixed (_store)."""

import concurrent.futures
import os
import threading
from typing import NamedTuple, Optional

from . import _listing, _manifest, _model, _policy, _sdk, _source, _store
from ._errors import ModelError, UsageError
from ._native import BindingCheck
from ._results import Ingredient, MemberVerification, ModelVerification, Verification

STORE_LIMIT = _listing.STORE_LIMIT
# The SDK cannot parse model containers, so it reports this on every model;
# it is resolved exactly when the exclusion is the store's range.
LOCATION_UNCHECKED = "data hash exclusion does not match the manifest location"
UNTRUSTED, TRUSTED = _manifest.UNTRUSTED, _manifest.TRUSTED
# The SDK checked the time-stamp token against the signature; its signer's
# trust is told apart (timeStamp.trusted, or timeStamp.untrusted).
TIMESTAMP_VALIDATED = "timeStamp.validated"
TIMESTAMP_TRUSTED = "timeStamp.trusted"
SLACK = "tarnwick.store.slack"
EXPIRED = "signingCredential.expired"
MALFORMED = "tarnwick.container.malformed"

MISSING = ("tarnwick.member.missing", "missing")
DIFFERS = ("tarnwick.member.mismatch", "hash differs")
EXTRA = ("tarnwick.member.extra", "not part of the signed model")
OTHER_MANIFEST = ("tarnwick.member.manifest", "its manifest is not the one the model's manifest records")
MEMBERS_ONLY = ("tarnwick.model.members_only", "signed by an earlier release: the signature covers the model's "
                "weights and index, not the other files of its folder")
REFUSED = "tarnwick.member.refused"
DAMAGED = "tarnwick.member.unreadable"
AS_MODEL = "tarnwick.file.model"
ALONE = "tarnwick.file.alone"

WORKERS = max(1, min(8, os.cpu_count() or 1))


class Options(NamedTuple):
    """Who may have signed, parsed once before any model is read: a
    malformed option is the call's error, not a verdict on a model."""
    anchors: Optional[str]
    signer: object
    signer_key: object


def options(trust=None, signer=None, signer_key=None, pin_is_anchor=False):
    """The options parsed and checked once. `pin_is_anchor`: the pinned key
    is itself what is trusted (an OpenSSF signature by key), so it needs no
    anchor beside it."""
    if isinstance(trust, Options):
        return trust
    opts = Options(_policy.anchors(trust), _policy.signer_policy(signer), _policy.key_pin(signer_key))
    if not pin_is_anchor or opts.signer_key is None:
        _policy.check_options(opts.anchors, opts.signer, opts.signer_key)
    return opts


# --- The verdict on one store ----------------------------------------------------

def _codes(entries):
    return [(e.get("code", ""), e.get("explanation", "")) for e in entries or [] if isinstance(e, dict)]


def _name(fields):
    """A certificate name as the SDK gives it ({"CN": ..., "O": ...})."""
    if not fields or not isinstance(fields, dict):
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


def empty(state, remote_uri, informational=()):
    return Verification(state, [], None, None, None, False, None, None, None, [], [], None, remote_uri,
                        list(informational), None)


def _failed(code, text, store_range, uri):
    binding = BindingCheck((False, False, False, store_range, text))
    return Verification("invalid", [(code, text)], None, None, None, False, None, None, None, [], [], binding,
                        uri, [], None)


def _manifest_of(report, label):
    manifests = report.get("manifests") if isinstance(report, dict) else None
    found = manifests.get(label) if isinstance(manifests, dict) and isinstance(label, str) else None
    return found if isinstance(found, dict) else None


def judge(sdk, store, opts, store_range=None, uri=None, hashed=None, declared=None, asset=b""):
    """The verdict on `store`. For a container, `hashed(assertion)` gives
    (hash_ok, store range seen or False) of its data hash assertion, which
    tarnwick computes itself, and `store_range` is where its metadata puts
    the store; for a model-level store, `asset` is the rebuilt listing,
    whose binding the SDK checks. `declared`, a dict, receives the data
    hash assertion."""
    native = hashed is not None
    try:
        report, detail, card = _manifest.read(sdk, store, opts.anchors, asset)
    except (sdk.c2pa.C2paError, ValueError) as e:
        return _unreadable(store, f"the SDK cannot read the manifest store: {e}", store_range, uri)

    # A damaged store can name an active manifest it does not hold.
    label = report.get("active_manifest") if isinstance(report, dict) else None
    manifest = _manifest_of(report, label)
    if manifest is None or not isinstance(_manifest_of(detail, label), dict) or not isinstance(card, dict):
        return _unreadable(store, f"the manifest store has no readable active manifest ({label!r})", store_range,
                           uri)
    results = (report.get("validation_results") or {}).get("activeManifest") or {}
    success = {c for c, _ in _codes(results.get("success"))}
    informational = _codes(results.get("informational"))
    failures = []

    # The binding: the declared exclusions against where the store lies.
    assertion_store = _manifest_of(detail, label).get("assertion_store") or {}
    data_hash = assertion_store.get("c2pa.hash.data")
    if declared is not None and isinstance(data_hash, dict):
        declared.update(data_hash)
    expected = [tuple(store_range)] if store_range is not None else []
    if not isinstance(data_hash, dict):
        location_ok, reason = False, "the manifest has no data hash assertion"
    else:
        try:
            exclusions = [(e["start"], e["length"]) for e in data_hash.get("exclusions") or []]
        except (TypeError, KeyError):
            exclusions = None
        location_ok = exclusions == expected
        reason = None if location_ok else (
            f"the data hash excludes {exclusions}, but the store lies at {expected[0]}" if expected
            else f"the data hash excludes {exclusions}, but the model holds no store")
    if native:
        # Any other hard binding is one tarnwick does not check itself.
        others = [k for k in assertion_store if k.startswith("c2pa.hash.") and k != "c2pa.hash.data"]
        if not isinstance(data_hash, dict) or others:
            hash_ok, seen = False, False
        else:
            hash_ok, seen = hashed(data_hash)
        if seen is not False and seen != store_range:
            location_ok = False
            reason = "the model changed while it was verified"
    else:
        hash_ok = "assertion.dataHash.match" in success
    if reason is None and not hash_ok:
        reason = "the model's data hash does not match the manifest's"
    binding = BindingCheck((location_ok and hash_ok, location_ok, hash_ok, store_range, reason))

    sdk_failures = _codes(results.get("failure"))
    if native:
        sdk_failures = [(c, t) for c, t in sdk_failures
                        if c != "assertion.dataHash.mismatch" or t.startswith(LOCATION_UNCHECKED)]
        if not hash_ok:
            name = (data_hash or {}).get("name", "jumbf manifest") if isinstance(data_hash, dict) else "jumbf manifest"
            sdk_failures.append(("assertion.dataHash.mismatch",
                                 f"asset hash error, name: {name}, error: hash verification( Hashes do not match )"))
    try:
        chain = _store.signer_chain(store, label)
    except ValueError:
        chain = None
    for code, text in sdk_failures:
        if code == EXPIRED:
            text += _ended(chain)
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
    slack = _store.slack(store, TIMESTAMP_VALIDATED in success)
    if slack is not None:
        failures.append((SLACK, slack))
    else:
        failures += _store.manifest_failures(report, detail, _store.manifest_labels(store))

    signature = next((m.get("signature") or {} for m in card.get("manifests") or []
                      if isinstance(m, dict) and m.get("label") == label), {})
    signature = signature if isinstance(signature, dict) else {}
    certificate = signature.get("certificateInfo") or {}
    certificate = certificate if isinstance(certificate, dict) else {}
    failures += _policy.failures(chain, certificate, opts.signer, opts.signer_key, opts.anchors is not None,
                                 TRUSTED in success)
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
        binding if native else None, uri, informational, label,
        _name(stamp_certificate.get("subject")), TIMESTAMP_TRUSTED in success)


def _ended(chain):
    """When the signer's certificate ended, said after the SDK's "certificate
    expired" (the SDK does not say)."""
    try:
        from cryptography import x509
        leaf = x509.load_der_x509_certificate(chain[0])
        end = getattr(leaf, "not_valid_after_utc", None) or leaf.not_valid_after
    except Exception:  # noqa: BLE001 - only the message depends on it
        return ""
    return f": the signer's certificate ended on {end.strftime('%Y-%m-%d %H:%M:%S')} UTC"


def _unreadable(store, text, store_range, uri):
    failures = [("tarnwick.store.unreadable", text)]
    slack = _store.slack(store)
    if slack is not None:
        failures.append((SLACK, slack))
    binding = BindingCheck((False, False, False, store_range, "the manifest store cannot be read"))
    return Verification("invalid", failures, None, None, None, False, None, None, None, [], [], binding,
                        uri, [], None)


# --- One file ------------------------------------------------------------------------

def fetch_store(uri):
    """The manifest store published at `uri` (HTTPS; HTTP on loopback)."""
    return _source.fetch(uri, STORE_LIMIT)


def check_container(f, opts, *, store=None, fetch=False, tick=None, declared=None, alone=None):
    """The verdict on one container `f` (a source's file): its own store,
    or `store` given for it, judged with the data hash of exactly the bytes
    its metadata was parsed from. A container its loader would refuse is
    invalid. `alone`: the name to refuse a graph with external data under,
    when `f` is verified by itself."""
    sdk = _sdk.load("verify")
    try:
        info, embedded, external = f.inspect()
    except _source.SourceError:
        raise
    except ValueError as e:  # a container its loader would refuse (a read failure is raised)
        return _failed(MALFORMED, str(e), None, None)
    if alone is not None and external:
        raise ModelError(_model.external_refusal(alone, external if isinstance(external, list) else [],
                                                 "verify_file"))
    if store is None:
        if info.store_size is not None:
            if embedded is None:
                return _failed("tarnwick.store.too_large", f"{f.rel}: an embedded manifest store of "
                               f"{info.store_size} bytes is larger than the {STORE_LIMIT} bytes tarnwick reads",
                               info.store_range, info.uri)
            store = embedded
        elif info.uri is not None:
            if not fetch:
                return empty("unverified", info.uri, [(
                    "tarnwick.manifest.remote",
                    f"the manifest is published at {info.uri}: verify with fetch=True (--fetch), "
                    "or download it and give it with manifest= (--manifest)")])
            store = fetch_store(info.uri)
        else:
            return empty("unsigned", None)
    return judge(sdk, store, opts, info.store_range, info.uri, lambda assertion: f.check(assertion, tick),
                 declared)


def _store_given(value):
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    return _source.read_regular(value, STORE_LIMIT)


def verify_file(model, *, trust=None, store=None, fetch=False, manifest=None, signer=None, signer_key=None,
                progress=None, alone=False):
    """Verify a signed model file: "trusted", "valid", "invalid", "unsigned" or
    "unverified" (a remote manifest not fetched), with what its manifest says.
    `trust`: the trust anchors (PEM: a path, bytes or text); given, a signer
    that does not chain to them is invalid. `signer`: "ATTR=value, ..."
    that the signer's certificate subject must hold (CN, O, OU, C, L, ST;
    "\\," for a comma in a value); `signer_key`: the signer's public key
    or certificate (PEM), pinned; both need `trust`. A file of a model
    signed as a whole is verified as that model; `alone`: by itself.
    `model` may be a URL (https://, or any fsspec URL: tarnwick[remote])."""
    _sdk.load("verify")
    opts = options(trust, signer, signer_key)
    store = _manifest.alias(store, manifest, "store", "manifest")
    if store is not None:
        try:
            store = _store_given(store)
        except _source.StoreTooLarge as e:
            return _failed("tarnwick.store.too_large", str(e), None, None)
    source, rel = _source.open_source(model)
    if rel == "":
        raise UsageError(f"{model}: a folder; verify it with verify_model (tarnwick verify on the folder)")
    if not alone and store is None and source.can_list and not _source.is_url(model):
        owner = _listing.signed_model_of(model)
        if owner is not None:
            return _as_model(owner, opts, progress)
    with source.file(rel) as f:
        tick = Progress(progress, f.size(), 1).tick if progress is not None else None
        v = check_container(f, opts, store=store, fetch=fetch, tick=tick, alone=os.fspath(model))
    if alone:
        v.informational.append((ALONE, "verified by itself, not as a file of any model signed as a whole"))
    return v


def _as_model(owner, opts, progress):
    """A file of a model signed as a whole, verified as that model: the
    model's verdict, what failed in any of its files, and why."""
    store_path, rel = owner
    folder, store = os.path.split(store_path)
    mv = verify_at(_source.LocalFolder(folder), store, opts, (), progress, None)
    v = mv.store_verification
    failures = list(v.failures) + [(code, f"{m.path}: {text}") for m in mv.members for code, text in m.failures]
    informational = list(v.informational) + [(AS_MODEL, f"{rel} is a file of the model signed as a whole in "
                                              f"{store_path}: verified as that model (alone=True, --alone: the "
                                              "file by itself)")]
    return v._replace(state=mv.state, failures=failures, informational=informational)


# --- A model of many files ----------------------------------------------------------

class Progress:
    """Bytes and files done, told to `show(done, total, files_done, files)`."""

    def __init__(self, show, total, files):
        self.show, self.total, self.files = show, total, files
        self.done = self.files_done = 0
        self.lock = threading.Lock()

    def tick(self, n):
        with self.lock:
            self.done += n
            self.show(self.done, self.total, self.files_done, self.files)

    def file_done(self):
        with self.lock:
            self.files_done += 1
            self.show(self.done, self.total, self.files_done, self.files)


def run(function, items, stop=None, workers=WORKERS, undo=None):
    """function(*item) for every item, a few at a time, in order. The first
    failure or a stop (Ctrl-C) sets `stop`, which ends the others' reads,
    and hands what had finished to `undo`."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(function, *item) for item in items]
        try:
            pending = set(futures)
            while pending:
                # A timeout, so that Ctrl-C is taken while nothing finishes.
                done, pending = concurrent.futures.wait(pending, timeout=0.5,
                                                        return_when=concurrent.futures.FIRST_EXCEPTION)
                for f in done:
                    if f.exception() is not None:
                        f.result()
            return [f.result() for f in futures]
        except BaseException:
            if stop is not None:
                stop.set()
            for f in futures:
                f.cancel()
            if undo is not None:
                for f in futures:
                    if not f.cancelled():
                        try:
                            finished = f.result()
                        except BaseException:  # noqa: BLE001 - its own failure is the one raised
                            continue
                        undo(finished)
            raise


def _member_failure(rel, e):
    """A member's failure in its own name, never a descriptor's path."""
    if isinstance(e, OSError):
        return f"{rel}: {e.strerror or e}"
    text = str(e)
    if "/proc/self/fd/" in text:
        import re
        text = re.sub(r"'?/proc/self/fd/\d+'?", repr(rel), text)
    return text if text.startswith(rel) else f"{rel}: {text}"


def _hex(value):
    import base64
    if isinstance(value, str):
        return base64.b64decode(value).hex()
    return bytes(value).hex()


def check_listed(source, entry, opts, progress=None, onnx_entry=None):
    """What lies at a listed file now: (entry as found, state or None when
    its state is the listing's, failures). A server's failure is raised: it
    says nothing of the model."""
    rel = entry["uri"]
    signed = entry.get("size")
    signed = signed if isinstance(signed, int) and not isinstance(signed, bool) and 0 <= signed < 1 << 50 else None
    tick = None if progress is None else progress.tick
    try:
        _model.check_name(rel)
        f = source.file(rel, size=signed)
    except _source.NotFound:
        return {"uri": rel}, "invalid", [MISSING]
    except _source.SourceError:
        raise
    except (ModelError, OSError) as e:
        return {"uri": rel}, "invalid", [(REFUSED, _member_failure(rel, e))]
    try:
        return _check_open(f, entry, opts, tick, onnx_entry)
    except _source.NotFound:
        return {"uri": rel}, "invalid", [MISSING]
    finally:
        f.close()
        if progress is not None:
            progress.file_done()


def _check_open(f, entry, opts, tick, onnx_entry):
    """check_listed on the file `f`, opened."""
    rel = entry["uri"]
    refusal = _model.link_refusal(rel, getattr(f, "link_target", None),
                                  _model.CONTAINER if "manifest" in entry else _model.DATA,
                                  onnx_entry is not None and rel != onnx_entry)
    if refusal is not None:
        return {"uri": rel}, "invalid", [(REFUSED, refusal)]
    found = {"uri": rel, "dc:format": "application/json" if rel.endswith(".json") else "application/octet-stream"}
    if "manifest" not in entry:
        size, digest = f.digest(tick)
        found["size"] = size
        if digest is not None:  # None: another size than the signed one, not read
            found["hash"] = digest.hex()
        return found, None, []
    if isinstance(entry.get("size"), int) and f.size() != entry["size"]:
        # Not the file signed: named as differing, and not read (a server's
        # file is never read past the signed size).
        found["size"] = f.size()
        return found, None, []
    declared = {}
    v = check_container(f, opts, tick=tick, declared=declared)
    if v.failures and v.failures[0][0] == MALFORMED:
        return {"uri": rel}, "invalid", [(DAMAGED, _member_failure(rel, v.failures[0][1]))]
    found["size"] = f.size()
    if v.binding is not None and v.binding.hash_ok and "hash" in declared:
        found.update(hash=_hex(declared["hash"]),
                     exclusions=[[e["start"], e["length"]] for e in declared.get("exclusions") or []])
    if v.label is not None:
        found["manifest"] = v.label
    return found, v.state, list(v.failures)


def _member(entry, found, state, failures):
    failures = list(failures)
    if MISSING not in failures and not any(c in (REFUSED, DAMAGED) for c, _ in failures):
        keys = ("size", "hash", "exclusions")
        if any(found.get(k) != entry.get(k) for k in keys):
            failures.append(DIFFERS)
        elif found.get("manifest") != entry.get("manifest"):
            failures.append(OTHER_MANIFEST)
    return MemberVerification(entry["uri"], "invalid" if failures else state, failures)


def _fold(manifest, members):
    states = {manifest.state} | {v.state for v in members}
    return "invalid" if "invalid" in states or states - {"trusted", "valid"} else \
        "trusted" if states == {"trusted"} else "valid"


def _invalid_model(text, code="tarnwick.model.listing"):
    manifest = empty("invalid", None)
    manifest.failures.append((code, text))
    return ModelVerification("invalid", [], manifest)


def verify_at(source, store_name, opts, ignore=(), progress=None, members_map=None):
    """The model whose model-level store is `store_name` in `source`."""
    sdk = _sdk.load("verify")
    try:
        with source.file(store_name) as f:
            store = f.read_all(STORE_LIMIT)
    except _source.StoreTooLarge as e:
        return _invalid_model(str(e), "tarnwick.store.too_large")
    signed = _listing.read(sdk, store)
    if signed is None:
        return _invalid_model(f"{store_name} holds no readable list of the model's files")
    onnx = next((e["uri"] for e in signed.entries if e["uri"].endswith(".onnx") and "manifest" in e), None)

    total = sum(e["size"] for e in signed.entries
                if isinstance(e.get("size"), int) and not isinstance(e["size"], bool) and 0 <= e["size"] < 1 << 50)
    shown = None if progress is None else Progress(progress, total, len(signed.entries))
    items = [(source, entry, opts, shown, onnx) for entry in signed.entries]
    results = members_map(check_listed, items) if members_map is not None else \
        run(check_listed, items, source.stop)

    rebuilt = _listing.document([found for found, _, _ in results], signed.ignore)
    manifest = judge(sdk, store, opts, asset=_listing.canonical(rebuilt))
    # A file hashed whole is as good as the signature over the listing: a
    # listing that differs elsewhere does not make it invalid.
    whole = manifest.state
    signature_holds = whole != "invalid" or all(code == "assertion.dataHash.mismatch"
                                                for code, _ in manifest.failures)
    if whole == "invalid" and signature_holds:
        whole = "valid" if any(code == UNTRUSTED for code, _ in manifest.informational) else "trusted"
    members = [_member(entry, found, state or whole, failures)
               for entry, (found, state, failures) in zip(signed.entries, results)]

    # Files beside the listed ones, where the source can list: the signer's
    # ignore patterns count only once the signature over them holds.
    listed = set(signed.names)
    if signed.ignore is None:
        manifest.informational.append(MEMBERS_ONLY)
    elif source.can_list:
        patterns = signed.ignore if signature_holds else []
        rules = _model.Ignore(list(_model.DEFAULT_IGNORE) + [p for p in patterns if p not in _model.DEFAULT_IGNORE]
                              + list(ignore))
        for rel in source.list():
            if rel in listed or rel == store_name or rules.covers(rel):
                continue
            listed.add(rel)
            members.append(MemberVerification(rel, "invalid", [EXTRA]))
    return ModelVerification(_fold(manifest, members), members, manifest)


def _unsigned(m, opts):
    """A model without a model-level store: unsigned as a whole; its
    containers still say what they are alone."""
    source = _source.LocalFolder(m.folder)

    def alone(rel, kind):
        try:
            f = source.file(rel)
        except FileNotFoundError:
            return MemberVerification(rel, "invalid", [MISSING])
        except (_source.MemberError, OSError) as e:
            return MemberVerification(rel, "invalid", [(REFUSED, _member_failure(rel, e))])
        with f:
            if kind != _model.CONTAINER:
                return MemberVerification(rel, "unsigned", [])
            v = check_container(f, opts)
        if v.failures and v.failures[0][0] == MALFORMED:
            return MemberVerification(rel, "invalid", [(DAMAGED, _member_failure(rel, v.failures[0][1]))])
        return MemberVerification(rel, v.state, list(v.failures))
    members = run(alone, m.members, None)
    return ModelVerification("unsigned", members, empty("unsigned", None))


def locate(model, entry=None):
    """(source, model-level store name, the local Model or None) of the
    model at `model`: a folder, an entry file or a model-level store, at
    a path or a URL."""
    source, rel = _source.open_source(model, threading.Event())
    if not _source.is_url(model):
        if rel.endswith(".c2pa"):
            names = [n for n in os.listdir(source.folder) if os.path.isfile(os.path.join(source.folder, n))]
            found = _listing.entry_of_store(names, rel)
            if found is None:
                return source, rel, None
            rel = found
        m = _model.locate(source.path(rel) if rel else source.folder, entry,
                           lambda n: n in (_listing.names_in(source.path(_model.store_name(n))) or ()))
        return _source.LocalFolder(m.folder, os.fspath(model)), m.store_name, m
    if rel == "":
        if not source.can_list:
            raise UsageError(f"{model}: HTTPS cannot list a folder: give the URL of the model's entry file (or "
                             "of its .c2pa store)")
        top = [n for n in source.list() if "/" not in n]
        rel = entry or _model.choose_entry(model, top)
    elif entry is not None:
        raise UsageError(f"{model}: an entry is chosen within a folder; give the folder, or the entry file alone")
    if rel.endswith(".c2pa"):
        return source, rel, None
    return source, _model.store_name(rel), None


def _public_key_pem(value):
    """The PEM public key of a pinned key given as a public key or a
    certificate (a path, bytes or text), for the OpenSSF signature's key
    method; None when not given."""
    if value is None:
        return None
    from cryptography import x509
    from cryptography.hazmat.primitives import serialization
    pem = _manifest.pem_bytes(value, "signer_key")
    if b"CERTIFICATE" in pem:
        key = x509.load_pem_x509_certificate(pem).public_key()
    else:
        key = serialization.load_pem_public_key(pem)
    return key.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)


def check_oms(folder, bundle_path, opts, key_pem=None):
    """The verdict on an OpenSSF model signature over the folder `folder`:
    every file of it hashed whole as its verifier hashes them (the bundle
    and the paths that verifier leaves out excepted)."""
    from . import _oms
    bundle = _source.read_regular(bundle_path, _oms.BUNDLE_LIMIT, "an OpenSSF signature")
    source = _source.LocalFolder(folder)
    skip = os.path.relpath(os.path.realpath(bundle_path), os.path.realpath(folder)).replace(os.sep, "/")
    files = {}
    for rel, target in source.walk():
        if rel == skip or _oms.ignored(rel):
            continue
        if target is not None:
            return _results_oms("invalid", [("oms.file.link", f"{rel}: a link, which model-signing refuses")])
        with source.file(rel) as f:
            files[rel] = f.digest()[1]
    return _oms.verify_bundle(bundle, files, anchors_pem=opts.anchors, public_key_pem=key_pem)


def _results_oms(state, failures):
    from ._results import OmsVerification
    return OmsVerification(state, failures, None, [])


def verify_model(model, *, trust=None, ignore=(), signer=None, signer_key=None, progress=None, entry=None,
                 oms=None):
    """Verify a model as one: every file of its folder against the
    model-level manifest (a file neither listed nor ignored is invalid),
    each container also against its own manifest (`trust`, `signer`,
    `signer_key`: as verify_file's, on each of those manifests). `model`
    may be a URL (https://, or any fsspec URL: tarnwick[remote]).
    `progress(done, total, files_done, files)`: bytes and files checked.
    `oms`: an OpenSSF model signature of the model's folder (its path) to
    check too; the model is trusted only when both are."""
    opts = options(trust, signer, signer_key, pin_is_anchor=oms is not None)
    mv = verify_model_with(model, trust=opts, ignore=ignore, progress=progress, entry=entry,
                           unsigned_ok=oms is not None)
    if oms is None:
        return mv
    folder = os.fspath(model) if os.path.isdir(model) else os.path.dirname(os.fspath(model)) or "."
    check = check_oms(folder, oms, opts, _public_key_pem(signer_key))
    if mv.store_verification.state == "unsigned" and not mv.members:
        return ModelVerification(check.state, [], mv.store_verification, check)
    states = {mv.state, check.state}
    state = "invalid" if "invalid" in states or states - {"trusted", "valid"} else \
        "trusted" if states == {"trusted"} else "valid"
    return mv._replace(state=state, oms=check)


def verify_model_with(model, *, trust=None, ignore=(), signer=None, signer_key=None, progress=None, entry=None,
                      members_map=None, unsigned_ok=False):
    """verify_model; `members_map(function, items)`, for a batch on a
    cluster: how each listed file is checked, [function(*item) for item in
    items] spread over its nodes."""
    _sdk.load("verify")
    opts = options(trust, signer, signer_key)
    _model.Ignore(ignore)  # a pattern that cannot be used is the call's error
    try:
        source, store_name, m = locate(model, entry)
    except UsageError:
        if unsigned_ok:  # an OpenSSF signature alone: no C2PA model to find
            return ModelVerification("unsigned", [], empty("unsigned", None))
        raise
    if m is not None:
        # A name leaving the folder is refused, whatever was signed.
        for rel, _ in m.members:
            try:
                source.file(rel).close()
            except FileNotFoundError:
                pass
    try:
        return verify_at(source, store_name, opts, ignore, progress, members_map)
    except _source.NotFound:
        pass
    if m is not None:
        return _unsigned(m, opts)
    entry_name = _source.open_source(model)[1]
    if entry_name and not entry_name.endswith(".c2pa"):
        # Unsigned as a whole if its entry is there; its members are not
        # looked at (a server cannot list them).
        with source.file(entry_name) as f:
            f.size()
        return ModelVerification("unsigned", [], empty("unsigned", None))
    raise _source.NotFound(f"{os.fspath(model)}: No such file or directory")


def is_model(location):
    """True when `location` (a path or URL) names a model of many files or
    a folder: what verify_model and sign_model take rather than the file
    functions. One rule for paths and URLs."""
    if not _source.is_url(location):
        return _model.is_model(location)
    source, rel = _source.open_source(location)
    if rel == "" or source.isdir(rel):
        return True
    name = rel.rpartition("/")[2]
    if name.endswith((_model.INDEX_SUFFIX, ".c2pa")):
        return True
    m = _model.SPLIT.match(name)
    if m and m.group("ext") == "gguf" and int(m.group("count")) > 1:
        return True
    if name.endswith(".onnx"):
        with source.file(rel) as f:
            try:
                return bool(f.inspect()[2])
            except ValueError:
                return True
    return False
