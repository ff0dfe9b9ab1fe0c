"""The signed listing of a model of many files: the `tarnwick.hash.collection`
assertion of its model-level store, shaped as C2PA's collection data hash.
It lists every file (relative path, size, SHA-256, and for a container the
store range its data hash excludes and its manifest's label) and the ignore
patterns the signer used; the store's hard binding is a data hash over the
listing's canonical bytes.

Why not `c2pa.hash.collection.data` itself: the bundled SDK signs one, but
its Reader refuses to validate it outside a ZIP ("type is unsupported"), so
no signature on it could be checked. With the listing as the asset, the SDK
checks the signature, the trust chain and the binding; tarnwick rebuilds the
listing from the files it finds and compares entry by entry to name what
changed.

A listing read here is unverified: it says which files to look at, and
nothing it says is believed until the store's signature over it holds."""

import io
import json
import os
from typing import List, NamedTuple, Optional

from . import _model, _sdk
from ._source import read_regular

LABEL = "tarnwick.hash.collection"
STORE_LIMIT = 64 << 20


class Listing(NamedTuple):
    """The files a model-level store lists (dicts: uri, size, hash, and for
    a container exclusions and manifest) and its ignore patterns (None for
    a listing of an earlier release, which covered only the entry's own
    members)."""
    entries: List[dict]
    ignore: Optional[List[str]]

    @property
    def names(self):
        return [e["uri"] for e in self.entries]


def canonical(listing):
    """The bytes the store's data hash covers."""
    return json.dumps(listing, sort_keys=True, separators=(",", ":"), ensure_ascii=True).encode("ascii")


def document(entries, ignore):
    out = {"alg": "sha256", "uris": list(entries)}
    if ignore is not None:
        out["ignore"] = list(ignore)
    return out


def read(sdk, store):
    """The listing in `store`, unverified, or None when it holds none that
    can be read."""
    c2pa = sdk.c2pa
    context = c2pa.Context.from_dict({"verify": {"verify_after_reading": False}})
    try:
        with c2pa.Reader(_sdk.STORE_MIME, io.BytesIO(store), None, context) as reader:
            report = json.loads(reader.json())
    except (c2pa.C2paError, ValueError):
        return None
    active = (report.get("manifests") or {}).get(report.get("active_manifest")) or {}
    for assertion in active.get("assertions") or []:
        if assertion.get("label") == LABEL:
            data = assertion.get("data") or {}
            uris, ignore = data.get("uris"), data.get("ignore")
            if not isinstance(uris, list) or not all(isinstance(u, dict) and isinstance(u.get("uri"), str)
                                                     for u in uris):
                return None
            if ignore is not None and not (isinstance(ignore, list) and all(isinstance(i, str) for i in ignore)):
                return None
            return Listing(uris, ignore)
    return None


def names_in(path):
    """The relative paths the model-level store at `path` lists, read
    without validation (to refuse or to redirect, never to trust), or None."""
    try:
        signed = read(_sdk.load("sign"), read_regular(path, STORE_LIMIT))
    except (OSError, ValueError, ImportError):
        return None
    return None if signed is None else set(signed.names)


def signed_model_of(path, levels=4):
    """(model-level store, the file's name in it) when `path` is a file of a
    model signed as a whole, else None. Judged on where the file really
    lies: a link to a member is that member."""
    real = os.path.realpath(os.fspath(path))
    folder, rel = os.path.dirname(real), os.path.basename(real)
    for _ in range(levels):
        try:
            names = sorted(n for n in os.listdir(folder) if n.endswith(".c2pa"))
        except OSError:
            names = []
        for name in names:
            listed = names_in(os.path.join(folder, name))
            if listed is not None and rel in listed:
                return os.path.join(folder, name), rel
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        rel = os.path.basename(folder) + "/" + rel
        folder = parent
    return None


def entry_of_store(names, store):
    """The entry file among a folder's names whose store is `store`."""
    found = [n for n in _model.entries(names) if _model.store_name(n) == store]
    return found[0] if len(found) == 1 else None
