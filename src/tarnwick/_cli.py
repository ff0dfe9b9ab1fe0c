"""`tarnwick sign` and `tarnwick verify`: the native `tarnwick` program hands
these two commands, with their arguments, to this entry point (installed as
`tarnwick-c2pa` beside it), since the C2PA SDK is a Python package."""

import argparse
import json
import os
import signal
import sys

SUCCESS, REJECTED, USAGE, NOT_FOUND, IO_FAILURE = 0, 1, 2, 3, 4


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        sys.stderr.write(f"{self.prog}: {message}\n")
        sys.exit(USAGE)


def _sign_parser():
    p = _Parser(prog="tarnwick sign", description="Sign a model with a C2PA data hash (the C2PA SDK signs; "
                "tarnwick reserves, hashes and writes the store in one pass). A model of many files (a folder, "
                "an index, a first split, an ONNX file with external data) is signed as one: each container "
                "member in place or into the folder -o DIR, and a model-level manifest beside them.")
    p.add_argument("model", metavar="MODEL", nargs="?")
    p.add_argument("--cert", required=True, metavar="CHAIN.pem", help="the signing certificate chain, leaf first")
    p.add_argument("--key", required=True, metavar="KEY.pem", help="the private key of the signing certificate")
    p.add_argument("--alg", default="es256", help="es256 (default), es384, es512, ps256, ps384, ps512, ed25519")
    p.add_argument("--manifest", metavar="DEF.json", help="a manifest definition as the SDK's Builder takes it")
    p.add_argument("--tsa", metavar="URL", help="a time-stamp authority for the signature")
    p.add_argument("--ingredient", action="append", default=[], metavar="SIGNED_MODEL",
                   help="another signed model to record as an ingredient (repeatable)")
    p.add_argument("--remote", metavar="URL", help="sign for a manifest published at URL; needs --sidecar")
    p.add_argument("--sidecar", metavar="OUT.c2pa", help="where the store goes with --remote")
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("-o", "--output", metavar="OUT")
    where.add_argument("--in-place", action="store_true")
    p.add_argument("--ignore", action="append", default=[], metavar="PATTERN",
                   help="a model of many files: leave out files matching PATTERN (gitignore-style, relative to the "
                   "model's folder; repeatable; recorded in the signature)")
    p.add_argument("--alone", action="store_true",
                   help="sign a file even though a model signed as a whole lists it (that model becomes invalid)")
    p.add_argument("--verbose", action="store_true", help="a model of many files: a line for every file")
    p.add_argument("--json", action="store_true", help="print the result as one JSON object")
    from . import batch
    batch._cli_options(p)
    return p


def _verify_parser():
    p = _Parser(prog="tarnwick verify", description="Verify signed models: the SDK's validation and tarnwick's "
                "binding check. Exit 1 when any is invalid (or not trusted, with --require-trusted), else 3 "
                "when any is unsigned or unverified, else 0.")
    p.add_argument("models", nargs="*", metavar="MODEL")
    p.add_argument("--trust", metavar="ANCHORS.pem", help="trust anchors (PEM)")
    p.add_argument("--manifest", metavar="STORE", help="the store, when it is held elsewhere (one model only)")
    p.add_argument("--fetch", action="store_true", help="fetch a remote manifest (HTTPS)")
    p.add_argument("--require-trusted", action="store_true", help="exit 1 unless every model is trusted")
    p.add_argument("--ignore", action="append", default=[], metavar="PATTERN",
                   help="a model of many files: files matching PATTERN may be present unsigned (gitignore-style; "
                   "repeatable), beside those the signer left out")
    p.add_argument("--verbose", action="store_true", help="a model of many files: a line for every file")

    def parsed(parse):  # a policy that cannot be used is an error of the command line (status 2)
        def convert(text):
            from ._errors import UsageError
            try:
                return parse(text)
            except (UsageError, OSError) as e:
                raise argparse.ArgumentTypeError(_message(e).split(": ", 1)[-1] if str(e).startswith("--")
                                                 else _message(e)) from None
        return convert
    from . import _policy
    p.add_argument("--signer", type=parsed(_policy.signer_policy), metavar='"ATTR=value, ..."',
                   help="the signer's certificate subject must hold these (CN, O, OU, C, L, ST; \\, for a comma)")
    p.add_argument("--signer-key", type=parsed(_policy.key_pin), metavar="CERT.pem",
                   help="the signer's certificate (the SDK reports its serial number, names and validity, "
                   "not its key)")
    p.add_argument("--json", action="store_true", help="print one JSON document for all models")
    from . import batch
    batch._cli_options(p)
    return p


def _progress(label):
    if not sys.stderr.isatty():
        return None
    state = {"shown": -1}

    def show(done, total):
        percent = 100 * done // total if total else 100
        if percent != state["shown"]:
            state["shown"] = percent
            bar = "#" * (percent // 4)
            sys.stderr.write(f"\r{label} [{bar:<25}] {percent:3d}%")
            if done >= total:
                sys.stderr.write("\n")
            sys.stderr.flush()
    return show


TEXT_LIMIT = 16 << 20  # a manifest definition or a trust list


def _read_file(path):
    """A file the user names (a definition, trust anchors): a regular file
    only, never waited on, bounded."""
    from ._source import read_regular
    return read_regular(path, TEXT_LIMIT, "a file")


def _read_text(path, command):
    try:
        return _read_file(path).decode("utf-8")
    except UnicodeDecodeError as e:
        from ._errors import UsageError
        raise UsageError(f"{path}: not UTF-8 text ({e.reason} at byte {e.start})") from None


def _failure_status(e):
    from ._errors import UsageError
    if isinstance(e, UsageError):
        return USAGE
    if isinstance(e, OSError):
        return IO_FAILURE
    return REJECTED


def _message(e):
    if isinstance(e, OSError) and e.filename is not None:
        return _shown(f"{e.filename}: {e.strerror or e}")
    return _shown(str(e))


def _sign_model(a):
    from . import sign_model
    try:
        manifest = _read_text(a.manifest, "sign") if a.manifest else None
        result = sign_model(a.model, cert=a.cert, key=a.key, alg=a.alg, definition=manifest,
                            output=None if a.in_place else a.output, tsa_url=a.tsa, ignore=a.ignore)
    except _Stopped as e:
        print("tarnwick sign: interrupted; the model is unchanged", file=sys.stderr)
        return e.status
    except Exception as e:  # noqa: BLE001 - every failure is reported and mapped to a status
        print(f"tarnwick sign: {_message(e)}", file=sys.stderr)
        return _failure_status(e)
    if a.json:
        print(json.dumps({
            "model": result.path, "manifest": result.store_path, "label": result.label,
            "members": [{"file": m.path, "size": m.size, "digest": m.digest.hex(),
                         "store_range": list(m.store_range) if m.store_range else None, "label": m.label}
                        for m in result.members],
        }))
        return SUCCESS
    if a.verbose:
        for m in result.members:
            what = f"store at {m.store_range[0]}+{m.store_range[1]}, manifest {m.label}" if m.store_range \
                else "hashed whole"
            print(f"{_shown(m.path)}: signed (sha256 {m.digest.hex()[:16]}..., {what})")
    own = sum(1 for m in result.members if m.store_range)
    print(f"{_shown(result.path)}: signed as one model of {_count(len(result.members), 'file')}, "
          f"{own} with a manifest of {'its' if own == 1 else 'their'} own (manifest {_shown(result.store_path)}, "
          f"{result.label})")
    return SUCCESS


def run_sign(argv):
    a = _sign_parser().parse_args(argv)
    if a.from_list is not None:
        from . import batch
        return batch._run_cli("sign", a, _sign_parser())
    if a.model is None:
        _sign_parser().error("the following arguments are required: MODEL (or --from LIST)")
    if (a.remote is None) != (a.sidecar is None):
        _sign_parser().error("--remote and --sidecar go together")
    from . import _sdk
    try:
        _sdk.load("sign")
    except ImportError as e:
        print(e, file=sys.stderr)
        return USAGE
    from ._model import is_model
    if is_model(a.model):
        if a.remote or a.ingredient or a.alone:
            _sign_parser().error("--remote, --ingredient and --alone sign one file, not a model of many files")
        return _sign_model(a)
    if a.ignore:
        _sign_parser().error("--ignore goes with a model of many files (a folder)")
    from . import sign_file
    try:
        manifest = _read_text(a.manifest, "sign") if a.manifest else None
        result = sign_file(a.model, cert=a.cert, key=a.key, alg=a.alg, definition=manifest,
                           output=None if a.in_place else a.output, ingredients=a.ingredient, tsa_url=a.tsa,
                           remote_uri=a.remote, sidecar=a.sidecar, alone=a.alone,
                           progress=None if a.json else _progress(f"tarnwick sign: {a.model}"))
    except _Stopped as e:
        print("tarnwick sign: interrupted; the model is unchanged", file=sys.stderr)
        return e.status
    except Exception as e:  # noqa: BLE001 - every failure is reported and mapped to a status
        print(f"tarnwick sign: {_message(e)}", file=sys.stderr)
        return _failure_status(e)
    if a.json:
        print(json.dumps({
            "path": result.path, "size": result.size,
            "store_range": list(result.store_range) if result.store_range else None,
            "digest": result.digest.hex(), "hash_alg": result.hash_alg, "signing_alg": result.signing_alg,
            "label": result.label, "remote_uri": a.remote, "sidecar": a.sidecar,
        }))
    else:
        where = f"store at {result.store_range[0]}+{result.store_range[1]}" if result.store_range \
            else f"store in {a.sidecar} for {a.remote}"
        print(f"{_shown(result.path)}: signed ({result.signing_alg}, {result.hash_alg} "
              f"{result.digest.hex()[:16]}..., {_shown(where)}, manifest {_shown(result.label)})")
    return SUCCESS


def _as_json(path, v=None, error=None):
    if v is None:
        return {"path": path, "state": "error", "error": error}
    b = v.binding
    return {
        "path": path, "state": v.state,
        "failures": [{"code": c, "explanation": t} for c, t in v.failures],
        "informational": [{"code": c, "explanation": t} for c, t in v.informational],
        "signer": v.signer, "issuer": v.issuer, "signed_at": v.signed_at, "timestamped": v.timestamped,
        "timestamp_authority": v.timestamp_authority, "timestamp_trusted": v.timestamp_trusted,
        "claim_generator": v.claim_generator, "title": v.title, "asset_type": v.asset_type,
        "actions": v.actions, "label": v.label, "remote_uri": v.remote_uri,
        "ingredients": [{"title": i.title, "relationship": i.relationship, "label": i.label, "state": i.state,
                         "failures": [{"code": c, "explanation": t} for c, t in i.failures]}
                        for i in v.ingredients],
        "binding": None if b is None else {
            "ok": b.ok, "location_ok": b.location_ok, "hash_ok": b.hash_ok,
            "store_range": list(b.store_range) if b.store_range else None, "reason": b.reason},
    }


STATE_TEXT = {
    "trusted": "trusted: intact, well signed, and the signer chains to a trust anchor",
    "valid": "valid: intact and well signed; the signer is not trusted (no --trust anchor covers it)",
    "invalid": "INVALID",
    "unsigned": "unsigned: no manifest store and no remote manifest",
    "unverified": "unverified: the manifest is remote and was not fetched",
}


def _count(n, noun):
    return f"{n} {noun}{'' if n == 1 else 's'}"


def _print_human(path, v, files=()):
    # Every text below but the fixed ones comes from the model or its
    # manifest: each is shown on one line, its controls escaped.
    print(f"{_shown(path)}: {STATE_TEXT[v.state]}")
    for line in files:
        print(line)
    for code, text in v.failures:
        print(f"  failed      {_shown(code)}: {_shown(text)}")
    if v.state in ("unsigned", "unverified"):
        if v.remote_uri:
            print(f"  manifest    {_shown(v.remote_uri)} (verify with --fetch, or download it and give --manifest)")
        return
    if v.signer:
        print(f"  signer      {_shown(v.signer)}" + (f" (issued by {_shown(v.issuer)})" if v.issuer else ""))
    by = f" by {_shown(v.timestamp_authority)}" * bool(v.timestamp_authority) + ", untrusted" * (not v.timestamp_trusted)
    print(f"  signed at   {_shown(v.signed_at) + f' (time-stamped{by})' if v.timestamped else 'unknown (not time-stamped)'}")
    if v.claim_generator:
        print(f"  generator   {_shown(v.claim_generator)}")
    if v.title:
        print(f"  title       {_shown(v.title)}")
    if v.asset_type:
        print(f"  asset type  {_shown(v.asset_type)}")
    if v.actions:
        print(f"  actions     {_shown(', '.join(str(a) for a in v.actions))}")
    for i in v.ingredients:
        print(f"  ingredient  {_shown(str(i.relationship))} {_shown(str(i.title))}: {i.state}")
    b = v.binding
    if b is not None:
        where = f"store at {b.store_range[0]}+{b.store_range[1]}" if b.store_range else "no store in the model"
        print(f"  binding     sha256 data hash, {where}: location {'ok' if b.location_ok else 'WRONG'}, "
              f"hash {'ok' if b.hash_ok else 'MISMATCH'}" + (f" ({_shown(b.reason)})" if b.reason else ""))


def _model_json(path, v):
    return {
        "model": path, "state": v.state,
        "members": [{"file": m.path, "state": m.state, "failures": [[c, t] for c, t in m.failures]}
                    for m in v.members],
        "manifest": _as_json(path, v.store_verification),
    }


def _print_model(path, v, verbose=False):
    """A model's state, a line counting its files by state, a line for each
    file that failed (every file, verbose), then its manifest."""
    states = {}
    for m in v.members:
        states[m.state] = states.get(m.state, 0) + 1
    order = ("trusted", "valid", "unsigned", "invalid")
    counted = ", ".join(f"{states[s]} {s if s != 'invalid' else 'INVALID'}" for s in order if s in states)
    lines = [f"  files       {_count(len(v.members), 'file')}: {counted}"]
    for m in v.members:
        if verbose or m.state not in ("trusted", "valid"):
            why = "; ".join(f"{_shown(c)}: {_shown(t)}" for c, t in m.failures)
            state = m.state if m.state != "invalid" else "INVALID"
            lines.append(f"  {state:<11} {_shown(m.path)}" + (f": {why}" if why else ""))
    # Its files' own manifests are ingredients too, as they were when
    # signed; each file's state now is the line above.
    files = {m.path for m in v.members}
    store = v.store_verification
    _print_human(path, store._replace(state=v.state, binding=None,
                                      ingredients=[i for i in store.ingredients if i.title not in files]), lines)
    b = v.store_verification.binding
    if b is not None:
        print(f"  binding     sha256 data hash over the list of {len(v.members)} files: "
              f"hash {'ok' if b.hash_ok else 'MISMATCH'}")


def run_verify(argv):
    a = _verify_parser().parse_args(argv)
    if a.from_list is not None:
        from . import batch
        return batch._run_cli("verify", a, _verify_parser())
    if not a.models:
        _verify_parser().error("the following arguments are required: MODEL (or --from LIST)")
    if a.manifest and len(a.models) > 1:
        _verify_parser().error("--manifest goes with one model")
    from . import _sdk
    try:
        _sdk.load("verify")
    except ImportError as e:
        print(e, file=sys.stderr)
        return USAGE
    from . import verify_file
    try:
        trust = _read_file(a.trust) if a.trust else None
    except OSError as e:
        print(f"tarnwick verify: {_message(e)}", file=sys.stderr)
        return IO_FAILURE
    except ValueError as e:
        print(f"tarnwick verify: {_message(e)}", file=sys.stderr)
        return USAGE
    documents, invalid, missing, io_failure = [], False, False, False
    from . import verify_model
    from ._model import is_model
    from . import _source, _verify
    for path in a.models:
        try:
            if _source.is_url(path) and _verify.is_model(path):
                mv = verify_model(path, trust=trust, ignore=a.ignore, signer=a.signer, signer_key=a.signer_key)
                v = mv.store_verification._replace(state=mv.state)
            elif is_model(path):
                if a.manifest:
                    raise ValueError("--manifest goes with one file; a model of many files keeps its manifest "
                                     "beside its members")
                mv = verify_model(path, trust=trust, ignore=a.ignore, signer=a.signer, signer_key=a.signer_key)
                v = mv.store_verification._replace(state=mv.state)
            else:
                mv = None
                v = verify_file(path, trust=trust, store=a.manifest, fetch=a.fetch, signer=a.signer,
                                signer_key=a.signer_key)
        except _Stopped:
            raise
        except Exception as e:  # noqa: BLE001 - reported per model, mapped to a status
            if isinstance(e, OSError) and not isinstance(e, (ConnectionError, TimeoutError)) and e.filename:
                io_failure = True
            else:
                invalid = True
            if a.json:
                documents.append(_as_json(path, error=_message(e)))
            else:
                print(f"tarnwick verify: {_shown(path)}: {_message(e)}", file=sys.stderr)
            continue
        invalid |= v.state == "invalid" or (a.require_trusted and v.state != "trusted")
        missing |= v.state in ("unsigned", "unverified")
        if a.json:
            documents.append(_as_json(path, v) if mv is None else _model_json(path, mv))
        elif mv is None:
            _print_human(path, v)
        else:
            _print_model(path, mv, a.verbose)
    status = REJECTED if invalid else IO_FAILURE if io_failure else NOT_FOUND if missing else SUCCESS
    if a.json:
        print(json.dumps({"models": documents, "status": status}, indent=2))
    return status


def _shown(name):
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


def _file_info(path, display):
    """As the native `info` describes one file: (JSON object, text lines)."""
    from . import inspect
    i = inspect(path)
    doc = {"file": display, "format": i.format, "model_type": i.model_type, "store_size": i.store_size,
           "uri": i.uri, "store_range": list(i.store_range) if i.store_range else None}
    lines = [f"  format:      {i.format}", f"  model type:  {i.model_type}",
             f"  store:       {i.store_size} bytes" if i.store_size is not None else "  store:       none",
             f"  uri:         {_shown(i.uri) if i.uri is not None else 'none'}"]
    return doc, lines


def _model_info(path):
    """A model of many files: its entry file as one file, then its members."""
    from . import _model
    m = _model.locate(path)
    entry = m.path(m.entry)
    if any(rel == m.entry and kind == _model.CONTAINER for rel, kind in m.members):
        doc, lines = _file_info(entry, path)
    else:
        doc, lines = {"file": path, "format": None, "model_type": None, "store_size": None, "uri": None,
                      "store_range": None}, []
    doc["entry"] = m.entry
    doc["members"] = []
    lines.append(f"  members:     {len(m.members)} files")
    for rel, kind in m.members:
        member = {"file": rel, "format": None, "store_size": None}
        what = "data"
        if kind == _model.CONTAINER:
            from ._source import LocalFolder
            fd, _ = LocalFolder(m.folder).open(rel)
            try:
                i, _ = _file_info(_model.fd_path(fd), rel)
            except ValueError as e:
                raise ValueError(f"{rel}: {e}".replace(f"'{_model.fd_path(fd)}'", repr(rel))) from None
            finally:
                os.close(fd)
            member.update(format=i["format"], store_size=i["store_size"])
            what = i["format"] + (f", store {i['store_size']} bytes" if i["store_size"] is not None else ", no store")
        doc["members"].append(member)
        lines.append(f"    {_shown(rel)}  ({what})")
    return doc, lines


def run_info(argv):
    """`tarnwick info` when a model is a folder or the entry file of a model
    of many files: the native program hands the command here."""
    a = argv[:]
    as_json = "--json" in a
    models = [x for x in a if x != "--json"]
    status, first = SUCCESS, True
    for path in models:
        from . import _model
        try:
            doc, lines = _model_info(path) if _model.is_model(path) else _file_info(path, path)
        except OSError as e:
            print(f"{_shown(path)}: {e.strerror or e}", file=sys.stderr)
            status = max(status, IO_FAILURE)
            if as_json:
                print(json.dumps({"file": path, "error": e.strerror or str(e)}))
            continue
        except ValueError as e:
            print(f"{_shown(path)}: {_shown(str(e))}", file=sys.stderr)
            status = max(status, REJECTED)
            if as_json:
                print(json.dumps({"file": path, "error": str(e)}))
            continue
        if as_json:
            print(json.dumps(doc))
            continue
        if not first:
            print()
        first = False
        print(_shown(path))
        print("\n".join(lines))
    return status


class _Stopped(BaseException):
    """Ctrl-C, SIGTERM or SIGHUP: unwinds, so that every private file not yet
    committed is dropped on the way out."""

    def __init__(self, status):
        super().__init__(status)
        self.status = status


def _stop(signum, frame):
    from . import _native
    _native._remove_pending_temporaries()
    raise _Stopped(128 + signum)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    commands = {"sign": run_sign, "verify": run_verify, "info": run_info}
    if not argv or argv[0] not in commands:
        sys.stderr.write("usage: tarnwick {sign,verify,info} ...\n")
        return USAGE
    # This process is the command's own: it may take these signals.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _stop)
    try:
        return commands[argv[0]](argv[1:])
    except _Stopped as e:
        return e.status
    except BrokenPipeError:
        return IO_FAILURE


if __name__ == "__main__":
    sys.exit(main())
