"""What sign, verify, info and batches print: one vocabulary of exit
statuses, one JSON shape for a row and its failures, and the human lines.

Every row printed as JSON has "path" (as the user gave it) and "state"; a
failure, wherever it appears (a row that could not be done, a verdict's
failures, a member's, an ingredient's), is {"code", "explanation"}."""

import os

from ._errors import UsageError

SUCCESS = 0      # done; every model trusted or valid
REJECTED = 1     # a model refused, invalid (or not trusted, with --require-trusted)
USAGE = 2        # the command line itself is wrong
UNSIGNED = 3     # nothing to verify: unsigned, unverified (a remote manifest not fetched), no store
UNREADABLE = 4   # a file, a URL or a server could not be read or written

# The code of a row that could not be done, by its status.
ERROR_CODES = {REJECTED: "tarnwick.rejected", USAGE: "tarnwick.usage", UNREADABLE: "tarnwick.unreadable"}

VERDICTS = ("trusted", "valid", "invalid", "unsigned", "unverified")
VERDICT_TEXT = {
    "trusted": "trusted: intact, well signed, and the signer chains to a trust anchor",
    "valid": "valid: intact and well signed; the signer is not trusted (no --trust anchor covers it)",
    "invalid": "invalid",
    "unsigned": "unsigned: no manifest store and no remote manifest",
    "unverified": "unverified: the manifest is remote and was not fetched",
}


def shown(name):
    """A name from the model, or the caller's, on one line whatever it holds:
    controls, bidirectional overrides and other unprintable characters
    escaped, and an undecodable byte (kept as a surrogate) shown as \\xNN."""
    out = []
    for c in str(name):
        if "\udc80" <= c <= "\udcff":
            out.append(f"\\x{ord(c) - 0xdc00:02x}")
        else:
            out.append(c if c.isprintable() else repr(c)[1:-1])
    return "".join(out)


def count(n, noun):
    """"1 file", "2 files"."""
    return f"{n} {noun}{'' if n == 1 else 's'}"


def units(n):
    """Bytes in decimal units, as a batch's summary gives them."""
    for unit in ("B", "KB", "MB", "GB"):
        if n < 1000:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"


def status_of(e):
    """The exit status of a failure: the command line's, a file's that could
    not be read (any OSError: a missing file, an HTTP status, a refused
    connection, a time-out), or the model's."""
    if isinstance(e, UsageError):
        return USAGE
    cause, depth = e, 0
    while cause is not None and depth < 16:  # a reading failure wrapped as the model's is still a reading failure
        if isinstance(cause, OSError):
            return UNREADABLE
        cause, depth = cause.__cause__ or cause.__context__, depth + 1
    return REJECTED


def message(e, subject=None):
    """A failure's text, naming `subject` (the model as given) once: the
    pipeline's messages name the file already; an OSError's filename and
    reason are joined; a text that names nothing gets the subject before it."""
    if isinstance(e, OSError) and e.filename is not None:
        text = f"{e.filename}: {e.strerror or e}"
    elif isinstance(e, OSError) and e.strerror:
        text = e.strerror
    else:
        text = str(e) or type(e).__name__
    if subject is not None:
        name = os.fspath(subject)
        # The native module names the file last, quoted: the name goes first.
        if text.endswith(f": '{name}'"):
            text = f"{name}: {text[:-len(name) - 4]}"
        # A model's own messages may name a file by its name in the folder.
        base = os.path.basename(name)
        if base and base != name and text.startswith(f"{base}: "):
            text = name + text[len(base):]
        if name not in text and not text.startswith("--"):
            text = f"{name}: {text}"
    return shown(text)


def failure(code, explanation):
    return {"code": code, "explanation": explanation}


def failures(pairs):
    return [failure(c, t) for c, t in pairs]


def error_row(path, e):
    """The row of a model that could not be done: the same shape whatever
    the command."""
    text = message(e, path)
    return {"path": path, "state": "error", "failures": [failure(ERROR_CODES[status_of(e)], text)]}


def verification_row(path, v):
    b = v.binding
    return {
        "path": path, "state": v.state,
        "failures": failures(v.failures), "informational": failures(v.informational),
        "signer": v.signer, "issuer": v.issuer, "signed_at": v.signed_at, "timestamped": v.timestamped,
        "timestamp_authority": v.timestamp_authority, "timestamp_trusted": v.timestamp_trusted,
        "claim_generator": v.claim_generator, "title": v.title, "asset_type": v.asset_type,
        "actions": v.actions, "label": v.label, "remote_uri": v.remote_uri,
        "ingredients": [{"title": i.title, "relationship": i.relationship, "label": i.label, "state": i.state,
                         "failures": failures(i.failures)} for i in v.ingredients],
        "binding": None if b is None else {
            "ok": b.ok, "location_ok": b.location_ok, "hash_ok": b.hash_ok,
            "store_range": list(b.store_range) if b.store_range else None, "reason": b.reason},
    }


def model_verification_row(path, mv, store_path=None):
    """A model of many files: its verdict, each file's (paths relative to
    the model's folder), and the model-level store's own row."""
    row = {
        "path": path, "state": mv.state,
        "members": [{"path": m.path, "state": m.state, "failures": failures(m.failures)} for m in mv.members],
        "manifest": verification_row(store_path or path, mv.store_verification),
    }
    oms = getattr(mv, "oms", None)
    if oms is not None:
        row["openssf"] = {"state": oms.state, "signer": oms.signer, "failures": failures(oms.failures),
                          "files": [{"path": p, "state": st} for p, st in oms.files]}
    return row


def _as_given(path, r, output):
    """Where a model of many files went and its model-level store, named
    from what the user gave: the store is in the model's folder (-o's, or
    the folder of the model given)."""
    folder = output if output is not None else path if os.path.isdir(path) else os.path.dirname(path) or "."
    return folder, os.path.join(folder, os.path.basename(r.store_path))


def sign_row(path, r, remote_uri=None, sidecar=None, output=None):
    """A signed model's row: "path" is where the signed model is (-o's, or
    the model's), as the user named it."""
    if hasattr(r, "members"):
        folder, store = _as_given(path, r, output)
        return {"path": folder if output is not None else path, "state": "signed", "manifest": store,
                "label": r.label,
                "members": [{"path": m.path, "state": "signed", "size": m.size, "digest": m.digest.hex(),
                             "store_range": list(m.store_range) if m.store_range else None, "label": m.label}
                            for m in r.members]}
    return {"path": output if output is not None else path, "state": "signed", "size": r.size,
            "store_range": list(r.store_range) if r.store_range else None, "digest": r.digest.hex(),
            "hash_alg": r.hash_alg, "signing_alg": r.signing_alg, "label": r.label, "remote_uri": remote_uri,
            "sidecar": sidecar}


def verdict_status(states, require_trusted=False, errors=()):
    """The status of a verify over models of these states and these failed
    rows' statuses: rejected over could-not-be-read over unsigned."""
    statuses = set(errors)
    if any(s == "invalid" or (require_trusted and s in ("valid",)) for s in states) or REJECTED in statuses:
        return REJECTED
    if UNREADABLE in statuses:
        return UNREADABLE
    if USAGE in statuses:
        return USAGE
    if any(s in ("unsigned", "unverified") for s in states):
        return UNSIGNED
    return SUCCESS


# -- human lines --------------------------------------------------------------

def verification_lines(path, v, files=()):
    """A model's verdict, then what its manifest says. Every text but the
    fixed ones comes from the model or its manifest: each on one line, its
    controls escaped."""
    lines = [f"{shown(path)}: {VERDICT_TEXT[v.state]}"]
    lines.extend(files)
    for code, text in v.failures:
        lines.append(f"  failed      {shown(code)}: {shown(text)}")
    if v.state in ("unsigned", "unverified"):
        if v.remote_uri:
            lines.append(f"  manifest    {shown(v.remote_uri)} (verify with --fetch, or download it and give "
                         "--manifest)")
        return lines
    if v.signer:
        lines.append(f"  signer      {shown(v.signer)}" + (f" (issued by {shown(v.issuer)})" if v.issuer else ""))
    by = f" by {shown(v.timestamp_authority)}" * bool(v.timestamp_authority) + ", untrusted" * (not v.timestamp_trusted)
    lines.append("  signed at   " + (f"{shown(v.signed_at)} (time-stamped{by})" if v.timestamped
                                     else "unknown (not time-stamped)"))
    for label, value in (("generator", v.claim_generator), ("title", v.title), ("asset type", v.asset_type)):
        if value:
            lines.append(f"  {label:<11} {shown(value)}")
    if v.actions:
        lines.append(f"  actions     {shown(', '.join(str(a) for a in v.actions))}")
    for i in v.ingredients:
        lines.append(f"  ingredient  {shown(str(i.relationship))} {shown(str(i.title))}: {i.state}")
    b = v.binding
    if b is not None:
        where = f"store at {b.store_range[0]}+{b.store_range[1]}" if b.store_range else "no store in the model"
        lines.append(f"  binding     sha256 data hash, {where}: location {'ok' if b.location_ok else 'wrong'}, "
                     f"hash {'ok' if b.hash_ok else 'mismatch'}" + (f" ({shown(b.reason)})" if b.reason else ""))
    return lines


def model_lines(path, mv, verbose=False):
    """A model of many files: its verdict, a line counting its files by
    state, a line for each file that failed (every file, verbose), then its
    manifest."""
    states = {}
    for m in mv.members:
        states[m.state] = states.get(m.state, 0) + 1
    counted = ", ".join(f"{states[s]} {s}" for s in ("trusted", "valid", "unsigned", "invalid") if s in states)
    files = [f"  files       {count(len(mv.members), 'file')}" + (f": {counted}" if counted else "")]
    for m in mv.members:
        if verbose or m.state not in ("trusted", "valid"):
            why = "; ".join(f"{shown(c)}: {shown(t)}" for c, t in m.failures)
            files.append(f"  {m.state:<11} {shown(m.path)}" + (f": {why}" if why else ""))
    # Its files' own manifests are ingredients too, as they were when
    # signed; each file's state now is the line above.
    names = {m.path for m in mv.members}
    store = mv.store_verification
    lines = verification_lines(path, store._replace(state=mv.state, binding=None,
                                                    ingredients=[i for i in store.ingredients
                                                                 if i.title not in names]), files)
    oms = getattr(mv, "oms", None)
    if oms is not None:
        lines.append(f"  openssf     {oms.state}" + (f", signed by {shown(oms.signer)}" if oms.signer else ""))
        lines += [f"  failed      {shown(c)}: {shown(t)}" for c, t in oms.failures]
    b = store.binding
    if b is not None:
        lines.append(f"  binding     sha256 data hash over the list of {count(len(mv.members), 'file')}: "
                     f"hash {'ok' if b.hash_ok else 'mismatch'}")
    return lines


def sign_lines(path, r, verbose=False, remote_uri=None, sidecar=None, output=None):
    if hasattr(r, "members"):
        _, store = _as_given(path, r, output)
        lines = []
        if verbose:
            for m in r.members:
                what = f"store at {m.store_range[0]}+{m.store_range[1]}, manifest {shown(m.label)}" \
                    if m.store_range else "hashed whole"
                lines.append(f"  signed      {shown(m.path)} (sha256 {m.digest.hex()[:16]}..., {what})")
        own = sum(1 for m in r.members if m.store_range)
        head = (f"{shown(path)}: signed as one model of {count(len(r.members), 'file')}, {own} with a manifest of "
                f"{'its' if own == 1 else 'their'} own (manifest {shown(store)}, {shown(r.label)})")
        return [head] + lines
    where = f"store at {r.store_range[0]}+{r.store_range[1]}" if r.store_range \
        else f"store in {sidecar} for {remote_uri}"
    into = "" if os.path.abspath(r.path) == os.path.abspath(path) else f" into {r.path}"
    return [f"{shown(path)}: signed{shown(into)} ({r.signing_alg}, {r.hash_alg} {r.digest.hex()[:16]}..., "
            f"{shown(where)}, manifest {shown(r.label)})"]


def row_line(command, path, row):
    """One human line for a row of a batch."""
    state = row["state"]
    if state == "error":
        return f"{row['failures'][0]['explanation']}" if path in row['failures'][0]['explanation'] \
            else f"{shown(path)}: {row['failures'][0]['explanation']}"
    if command == "sign":
        return f"{shown(path)}: signed"
    why = "; ".join(f"{shown(f['code'])}: {shown(f['explanation'])}" for f in row.get("failures", ()))
    bad = [m for m in row.get("members", ()) if m["state"] not in ("trusted", "valid")]
    if bad:
        why = "; ".join(filter(None, [why, f"{count(len(bad), 'file')} not intact: "
                                      + ", ".join(shown(m["path"]) for m in bad[:3])
                                      + (", ..." if len(bad) > 3 else "")]))
    return f"{shown(path)}: {state}" + (f" ({why})" if why else "")
