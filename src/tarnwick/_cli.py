"""`tarnwick sign`, `tarnwick verify`, `tarnwick info` of a model of many
files, and their help: the native `tarnwick` program hands these commands,
with their arguments, to this entry point (installed as `tarnwick-c2pa`
beside it), since the C2PA SDK is a Python package. What they print, and
their exit statuses, are _report's."""

import argparse
import difflib
import json
import os
import signal
import sys

from . import _progress, _report
from ._errors import ModelError, UsageError
from ._report import REJECTED, SUCCESS, UNREADABLE, USAGE, shown
from .batch import ENGINES

TEXT_LIMIT = 16 << 20  # a manifest definition, a trust list, a list of models
COMMANDS = ("info", "read", "read-uri", "embed", "strip", "patch", "hash", "sign", "verify", "exec", "help")

HELP = {
    "sign": """\
usage: tarnwick sign MODEL --cert CHAIN.pem --key KEY (-o OUT | --in-place) [options]
       tarnwick sign --from LIST --cert CHAIN.pem --key KEY --in-place [options]

Sign a model with a C2PA data hash: one file, or a model of many files (a
folder, a SafeTensors index, a first GGUF split, an ONNX file with external
data) as one, each of its files in place or into the folder -o OUT, and a
model-level manifest store <stem>.c2pa beside them.

options:
  --cert CHAIN.pem   the signing certificate chain, signing certificate first
  --key KEY          its private key (PEM, or a pkcs11: URI)
  --password-file FILE
                     the key's password is FILE's first line; else the
                     TARNWICK_KEY_PASSWORD variable, else a prompt when
                     standard input is a terminal
  --pin-file FILE    a pkcs11: key's PIN is FILE's first line; else the
                     TARNWICK_PKCS11_PIN variable, else a prompt
  --pkcs11-module LIB
                     the PKCS#11 library for a pkcs11: key (default: p11-kit's
                     proxy, which reaches every token p11-kit knows)
  --alg ALG          the key's own (the default), or es256, es384, es512,
                     ps256, ps384, ps512, ed25519
  --manifest DEF.json
                     a manifest definition as the SDK's Builder takes it
  --tsa URL          a time-stamp authority: without one, the signature turns
                     invalid when the certificate expires
  -o, --output OUT   write the signed model to OUT (a folder for a model of
                     many files, made if missing); the model is left as it is
  --in-place         replace the model's files, each atomically
  --entry NAME       a folder holding more than one model: the entry file of
                     the one to sign
  --force            re-sign a model whose signature is invalid, recording it
                     as it is
  --fresh            sign without the previous signature as the parent
  --oms [SIG]        a model of many files: also write an OpenSSF model
                     signature (model.sig in the model's folder, or SIG)
  --oms-method M     certificate (the default: the chain) or key (the public
                     key's hint; verifiers need the key)
  --ingredient SIGNED_MODEL
                     one file: record another signed model as an ingredient
                     (repeatable)
  --remote URL       one file: sign for a manifest published at URL, its
                     store written to --sidecar OUT.c2pa (together)
  --sidecar OUT.c2pa
                     where the store goes with --remote
  --alone            sign one file even though a model signed as a whole
                     lists it (a GGUF split, a shard): that model turns
                     invalid
  --ignore PATTERN   a model of many files: leave out the files matching
                     PATTERN (gitignore-style, relative to the model's folder;
                     repeatable; recorded in the signature)
  --verbose          a model of many files: a line for every file
  --json             print the result as one JSON object
  -q, --quiet        no progress line
  --from LIST        sign the models LIST names, one a line, '#' comments,
                     '-' for standard input (with --in-place)
  --engine ENGINE    with --from: thread (the default, this machine) or ray
  --address ADDR     with --engine ray: the cluster to join (else a new one)
  --workers N        with --from: models at once
  -h, --help         show this help

exit status: 0 signed, 1 refused (nothing written), 2 usage error, 4 a file
could not be read or written, 128+N stopped by signal N
""",
    "verify": """\
usage: tarnwick verify MODEL... [options]
       tarnwick verify --from LIST [options]

Verify signed models (files, folders, entry files, or URLs): the SDK checks
the signature, the certificate chain and trust; tarnwick checks that the
data hash covers every byte a loader reads. The first word of each report
is the verdict: trusted, valid, invalid, unsigned or unverified.

options:
  --trust ANCHORS.pem the trust anchors (PEM), such as a published trust list
  --require-trusted  exit 1 unless every model is trusted
  --signer "ATTR=value, ..."
                     the signer's certificate subject must hold these (CN, O,
                     OU, C, L, ST; '\\,' for a comma)
  --signer-key PEM   pin the signer's key: a PEM public key, or a certificate
                     whose key it is
  --manifest STORE   one file: its manifest store, held elsewhere (a sidecar,
                     a downloaded remote manifest)
  --alone            a file of a model signed as a whole: verify the file by
                     itself, not the model
  --entry NAME       a folder holding more than one model: the entry file of
                     the one to verify
  --oms SIG          also check an OpenSSF model signature of the model's
                     folder; both must hold
  --fetch            fetch a remote manifest (HTTPS)
  --ignore PATTERN   a model of many files: files matching PATTERN may be
                     present unsigned (repeatable)
  --verbose          a model of many files: a line for every file
  --json             print one JSON document for all models
  -q, --quiet        no progress line
  --from LIST        verify the models LIST names, one a line, '#' comments,
                     '-' for standard input
  --engine ENGINE    with --from: thread (the default, this machine) or ray
  --address ADDR     with --engine ray: the cluster to join (else a new one)
  --workers N        with --from: models at once
  -h, --help         show this help

With --from, each model is a line as it finishes, in the list's order: a
human line on a terminal, a JSON line with --json or when standard output
is not a terminal.

exit status: 0 trusted or valid, 1 invalid (or not trusted, with
--require-trusted), 2 usage error, 3 unsigned or unverified, 4 a file or URL
could not be read, 128+N stopped by signal N; of many models, the first of
1, 4, 2, 3 that any has
""",
    "info": """\
usage: tarnwick info [--json] MODEL...

Show what each model holds: its container format, C2PA model type,
embedded manifest store (and its size) and remote manifest URI. A model of
many files (a folder or its entry file) lists every file a signature covers
(every regular file of its folder but .git/, .cache/ and .DS_Store), each
with what it holds, and the model-level store <stem>.c2pa. MODEL may be '-'
for standard input (one file).

options:
  --json             one JSON object per model, one per line
  -h, --help         show this help

exit status: 0 shown, 1 a model refused, 2 usage error, 4 a file could not
be read
""",
}

MAIN_HELP = """\
usage: tarnwick <command> [options]

commands: info, read, read-uri, embed, strip, patch, hash, sign, verify, exec
Run 'tarnwick help COMMAND' or 'tarnwick COMMAND --help' for a command's options.
"""


class _Usage(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    """argparse with tarnwick's wording: the command, the failure, then how
    to get help, status 2; never argparse's own help."""

    def __init__(self, command):
        super().__init__(prog=f"tarnwick {command}", add_help=False, allow_abbrev=False)
        self.command = command

    def error(self, message):
        raise _Usage(message)


def _usage(command, text):
    sys.stderr.write(f"tarnwick {command}: {text}\nTry 'tarnwick {command} --help'.\n")
    return USAGE


def _common(p):
    p.add_argument("-h", "--help", action="store_true")
    p.add_argument("--json", action="store_true")
    p.add_argument("-q", "--quiet", action="store_true")
    p.add_argument("--verbose", action="store_true")
    p.add_argument("--ignore", action="append", default=[])
    p.add_argument("--from", dest="from_list")
    p.add_argument("--engine")
    p.add_argument("--address")
    p.add_argument("--workers")


def _sign_parser():
    p = _Parser("sign")
    p.add_argument("models", nargs="*")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--password-file")
    p.add_argument("--pin-file")
    p.add_argument("--pkcs11-module")
    p.add_argument("--alg")
    p.add_argument("--entry")
    p.add_argument("--force", action="store_true")
    p.add_argument("--fresh", action="store_true")
    p.add_argument("--oms", nargs="?", const="")
    p.add_argument("--oms-method", default="certificate", choices=("certificate", "key"))
    p.add_argument("--manifest")
    p.add_argument("--tsa")
    p.add_argument("--ingredient", action="append", default=[])
    p.add_argument("--remote")
    p.add_argument("--sidecar")
    p.add_argument("-o", "--output")
    p.add_argument("--in-place", action="store_true")
    p.add_argument("--alone", action="store_true")
    _common(p)
    return p


def _verify_parser():
    p = _Parser("verify")
    p.add_argument("models", nargs="*")
    p.add_argument("--trust")
    p.add_argument("--manifest")
    p.add_argument("--fetch", action="store_true")
    p.add_argument("--require-trusted", action="store_true")
    p.add_argument("--signer")
    p.add_argument("--signer-key")
    p.add_argument("--entry")
    p.add_argument("--alone", action="store_true")
    p.add_argument("--oms")
    _common(p)
    return p


def _parse(parser, argv):
    """The parsed arguments; _Usage with the native program's wording."""
    a, rest = parser.parse_known_args(argv)
    for arg in rest:
        if arg.startswith("-") and arg != "-":
            raise _Usage(f"unknown option '{arg.split('=', 1)[0]}'")
        raise _Usage(f"unexpected argument '{arg}'")
    return a


def _batch_checks(a, command):
    """Options that do something only with --from are usage errors without it."""
    if a.from_list is None:
        for name in ("engine", "address", "workers"):
            if getattr(a, name) is not None:
                raise _Usage(f"--{name} goes with --from LIST")
        return
    if a.models:
        raise _Usage("give MODEL or --from LIST, not both")
    if a.engine is not None and a.engine not in ENGINES:
        raise _Usage(f"--engine takes {' or '.join(ENGINES)}, not '{a.engine}'")
    if a.address is not None and a.engine != "ray":
        raise _Usage("--address goes with --engine ray")
    if a.workers is not None:
        try:
            a.workers = int(a.workers)
        except ValueError:
            raise _Usage(f"--workers takes a number, not '{a.workers}'") from None
        if a.workers < 1:
            raise _Usage(f"--workers must be at least 1, not {a.workers}")
    if a.verbose:
        raise _Usage("--verbose goes with one model, not --from")


def _read_file(path):
    """A file the user names (a definition, trust anchors, a list): a regular
    file only, never waited on, bounded."""
    from ._source import read_regular
    return read_regular(path, TEXT_LIMIT, "a file")


def _read_text(path):
    try:
        return _read_file(path).decode("utf-8")
    except UnicodeDecodeError as e:
        raise UsageError(f"{path}: not UTF-8 text ({e.reason} at byte {e.start})") from None


def _read_list(path):
    """The list's bytes: a name that is not UTF-8 is its own row, never a
    refusal of the whole list."""
    if path != "-":
        return _read_file(path)
    data = sys.stdin.buffer.read(TEXT_LIMIT + 1)
    if len(data) > TEXT_LIMIT:
        raise UsageError(f"the list on standard input is larger than {TEXT_LIMIT} bytes")
    return data


def _fail(command, e, subject=None):
    """A failure on standard error, as the native commands print theirs: one
    about a file starts with the file's name; one about the command with
    the command's."""
    text = _report.message(e, subject)
    if subject is None and not (isinstance(e, OSError) and e.filename is not None):
        text = f"tarnwick {command}: {text}"
    sys.stderr.write(text + "\n")
    return _report.status_of(e)


def _with_progress(call, *args, progress=None, **kwargs):
    """`call` given the progress callable when there is one to give and it
    takes one."""
    if progress is not None:
        import inspect
        try:
            takes = "progress" in inspect.signature(call).parameters
        except (TypeError, ValueError):
            takes = False
        if takes:
            kwargs["progress"] = progress
    return call(*args, **kwargs)


def _finish(progress):
    if progress is not None:
        progress.finish()


def _is_url(path):
    from . import _source
    return _source.is_url(path)


def _model_of_many(path):
    from . import _verify
    return _verify.is_model(path)


def _check_folder(path, command):
    """A folder with no model in it: refused alike by sign and verify, with a
    message saying what is there."""
    if not os.path.isdir(path):
        return
    from . import _model
    try:
        _model.locate(path)
        return
    except UsageError:
        pass
    except (OSError, ValueError):
        return  # the pipeline says why
    from . import _source
    try:
        names = [rel for rel, _ in _source.LocalFolder(path).walk(_model.Ignore(list(_model.DEFAULT_IGNORE)))]
    except (OSError, ValueError):
        return
    if not names:
        raise ModelError(f"{path}: an empty folder: no model to {command}")
    kinds = (".gguf", ".onnx", ".safetensors", _model.INDEX_SUFFIX)
    if not any(n.endswith(kinds) for n in names):
        raise ModelError(f"{path}: no model file in the folder (a .safetensors, .gguf or .onnx file, or a "
                         f"SafeTensors index) among its {_report.count(len(names), 'file')}")


# -- sign -----------------------------------------------------------------------

def _signing_key(a):
    """The key as the pipeline takes it: loaded here, its password from
    --password-file, TARNWICK_KEY_PASSWORD or a prompt on a terminal."""
    try:
        from . import _keys
    except ImportError:
        if a.password_file is not None:
            raise UsageError("--password-file: this tarnwick reads unencrypted keys only") from None
        return a.key
    import getpass
    prompt = getpass.getpass if sys.stdin.isatty() else None
    return _keys.load_key(a.key, password_file=a.password_file, prompt=prompt, pin_file=a.pin_file,
                          module=a.pkcs11_module)


def _expiry(cert):
    """The signing certificate's expiry date (YYYY-MM-DD), or None when the
    chain cannot be read here (signing says why)."""
    try:
        from cryptography import x509
        with open(cert, "rb") as f:
            data = f.read(TEXT_LIMIT)
        leaf = x509.load_pem_x509_certificates(data)[0]
        after = getattr(leaf, "not_valid_after_utc", None) or leaf.not_valid_after
        return after.strftime("%Y-%m-%d")
    except Exception:  # noqa: BLE001 - only a warning depends on it
        return None


def _warn_expiry(a):
    if a.tsa is None:
        when = _expiry(a.cert)
        if when is not None:
            sys.stderr.write(f"tarnwick sign: the signature turns invalid when the certificate expires on {when}: "
                             "sign with --tsa URL to time-stamp it\n")


def _interrupted(e):
    """The status and message of a stop; a stop in the middle of replacing
    a model's files says which were replaced."""
    status, cause = 128 + signal.SIGINT, e
    while cause is not None:
        if isinstance(cause, _Stopped):
            status = cause.status
            break
        cause = cause.__cause__ or cause.__context__
    replaced = getattr(e, "replaced", None)
    if replaced is None:
        return status, "interrupted; the model is unchanged"
    replaced = [shown(r) for r in replaced]
    total = getattr(e, "total", None)
    names = ", ".join(replaced[:5]) + (", ..." if len(replaced) > 5 else "")
    of = f" of {total}" if total is not None else ""
    return status, (f"interrupted after replacing {len(replaced)}{of} {'file' if total == 1 else 'files'}"
                    f"{f' ({names})' if names else ''}: the model verifies invalid until it is signed again")


def _sign_checks(a):
    if a.cert is None or a.key is None:
        raise _Usage("give --cert CHAIN.pem and --key KEY")
    if (a.remote is None) != (a.sidecar is None):
        raise _Usage("--remote and --sidecar go together")
    if a.from_list is not None:
        if a.output is not None:
            raise _Usage("-o names one output; a list is signed --in-place")
        if not a.in_place:
            raise _Usage("give --in-place: a list is signed in place")
        if a.remote or a.ingredient:
            raise _Usage("--remote, --sidecar and --ingredient go with one model, not --from")
        return
    if not a.models:
        raise _Usage("missing MODEL (or --from LIST)")
    if len(a.models) > 1:
        raise _Usage(f"unexpected argument '{a.models[1]}'")
    if a.output is not None and a.in_place:
        raise _Usage("give either -o or --in-place, not both")
    if a.output is None and not a.in_place:
        raise _Usage("give -o OUT or --in-place")
    if a.output == "":
        raise _Usage("the output name is empty")
    if a.verbose and a.json:
        raise _Usage("--verbose goes with the human lines, not --json")
    path = a.models[0]
    whole = os.path.isdir(path) or (_model_of_many(path) and not a.alone)
    if whole:
        if a.alone:
            raise _Usage("--alone signs one file, not a folder")
        if a.remote or a.ingredient:
            raise _Usage("--remote, --sidecar and --ingredient sign one file, not a model of many files")
    else:
        if a.ignore:
            raise _Usage("--ignore goes with a model of many files (a folder or its entry file)")
        if a.verbose:
            raise _Usage("--verbose goes with a model of many files (a folder or its entry file)")
    a.whole = whole


def run_sign(argv):
    p = _sign_parser()
    try:
        a = _parse(p, argv)
        if a.help:
            return _print(HELP["sign"])
        _batch_checks(a, "sign")
        _sign_checks(a)
    except _Usage as e:
        return _usage("sign", e)
    if a.from_list is not None:
        return _run_batch("sign", a)
    from . import _sdk
    try:
        _sdk.load("sign")
    except ImportError as e:
        sys.stderr.write(f"{e}\n")
        return USAGE
    path = a.models[0]
    progress = _progress.on_terminal(a.quiet)
    try:
        _check_folder(path, "sign")
        key = _signing_key(a)
        definition = _read_text(a.manifest) if a.manifest else None
        output = None if a.in_place else a.output
        if a.whole:
            from . import sign_model
            result = _with_progress(sign_model, path, cert=a.cert, key=key, alg=a.alg, definition=definition,
                                    output=output, tsa_url=a.tsa, ignore=a.ignore, progress=progress,
                                    entry=a.entry, force=a.force, fresh=a.fresh,
                                    oms=None if a.oms is None else True if a.oms == "" else a.oms,
                                    oms_method=a.oms_method)
        else:
            from . import sign_file
            result = _with_progress(sign_file, path, cert=a.cert, key=key, alg=a.alg, definition=definition,
                                    output=output, ingredients=a.ingredient, tsa_url=a.tsa,
                                    remote_uri=a.remote, sidecar=a.sidecar, alone=a.alone, progress=progress,
                                    force=a.force, fresh=a.fresh)
    except KeyboardInterrupt as e:
        _finish(progress)
        status, text = _interrupted(e)
        sys.stderr.write(f"tarnwick sign: {text}\n")
        raise _Stopped(status) from None
    except Exception as e:  # noqa: BLE001 - every failure is reported once, with its status
        _finish(progress)
        return _fail("sign", e, path)
    _finish(progress)
    if a.json:
        _print(json.dumps(_report.sign_row(path, result, a.remote, a.sidecar, output)) + "\n")
    else:
        _print("".join(line + "\n" for line in _report.sign_lines(path, result, a.verbose, a.remote, a.sidecar,
                                                                 output)))
    _warn_expiry(a)
    return SUCCESS


# -- verify ---------------------------------------------------------------------

def _verify_checks(a):
    if a.from_list is not None:
        if a.manifest:
            raise _Usage("--manifest goes with one model, not --from")
        return
    if not a.models:
        raise _Usage("missing MODEL (or --from LIST)")
    if a.verbose and a.json:
        raise _Usage("--verbose goes with the human lines, not --json")
    if a.manifest and len(a.models) > 1:
        raise _Usage("--manifest goes with one model")
    local = [m for m in a.models if not _is_url(m)]
    if a.manifest and local and _model_of_many(local[0]):
        raise _Usage("--manifest goes with one file; a model of many files keeps its manifest beside its files")
    if (a.ignore or a.verbose) and local and len(local) == len(a.models) and \
            not any(_model_of_many(m) for m in local):
        raise _Usage(f"--{'ignore' if a.ignore else 'verbose'} goes with a model of many files "
                     "(a folder or its entry file)")


def _policy(a):
    """--trust, --signer and --signer-key read and checked once, before any
    model: options that cannot be used are an error of the command line."""
    from . import _verify
    return _verify.options(_read_file(a.trust) if a.trust else None, a.signer, a.signer_key)


def _store_as_given(path):
    """The model-level store of a local model of many files, named from the
    path given; None when it cannot be told here."""
    if _is_url(path):
        return None
    from . import _model
    try:
        m = _model.locate(path)
    except (OSError, ValueError):
        return None
    return os.path.join(path if os.path.isdir(path) else os.path.dirname(path), m.store_name)


def _verify_one(path, a, anchors, progress):
    """(ModelVerification or None, Verification) of one model."""
    options = {"trust": anchors}
    if not _is_url(path):
        _check_folder(path, "verify")
    if a.oms is not None or (_model_of_many(path) and not a.alone):
        if a.manifest:
            raise UsageError("--manifest goes with one file; a model of many files keeps its manifest "
                             "beside its files")
        from . import verify_model
        mv = _with_progress(verify_model, path, ignore=a.ignore, progress=progress, entry=a.entry, oms=a.oms,
                            **options)
        return mv, mv.store_verification._replace(state=mv.state)
    from . import verify_file
    return None, _with_progress(verify_file, path, store=a.manifest, fetch=a.fetch, progress=progress,
                                alone=a.alone, **options)


def run_verify(argv):
    p = _verify_parser()
    try:
        a = _parse(p, argv)
        if a.help:
            return _print(HELP["verify"])
        _batch_checks(a, "verify")
        _verify_checks(a)
    except _Usage as e:
        return _usage("verify", e)
    if a.from_list is not None:
        return _run_batch("verify", a)
    from . import _sdk
    try:
        _sdk.load("verify")
        anchors = _policy(a)
    except ImportError as e:
        sys.stderr.write(f"{e}\n")
        return USAGE
    except Exception as e:  # noqa: BLE001 - the call's own failure, before any model
        return _fail("verify", e)
    rows, states, errors = [], [], []
    for path in a.models:
        progress = _progress.on_terminal(a.quiet)
        try:
            mv, v = _verify_one(path, a, anchors, progress)
        except KeyboardInterrupt:
            _finish(progress)
            raise
        except Exception as e:  # noqa: BLE001 - reported for its model, with its status
            _finish(progress)
            errors.append(_report.status_of(e))
            if a.json:
                rows.append(_report.error_row(path, e))
            else:
                _fail("verify", e, path)
            continue
        _finish(progress)
        states.append(v.state)
        if a.json:
            rows.append(_report.verification_row(path, v) if mv is None else
                        _report.model_verification_row(path, mv, _store_as_given(path)))
        else:
            lines = _report.verification_lines(path, v) if mv is None else _report.model_lines(path, mv, a.verbose)
            _print("".join(line + "\n" for line in lines))
    status = _report.verdict_status(states, a.require_trusted, errors)
    if a.json:
        _print(json.dumps({"models": rows, "status": status}, indent=2) + "\n")
    return status


# -- batches: --from LIST ---------------------------------------------------------

def _size_of(entry):
    """The bytes of a model a list names, for the progress line (0 when it
    cannot be told here: the work will say why)."""
    from . import _model
    path = entry
    if entry.startswith("file:"):
        import urllib.parse
        path = urllib.parse.unquote(urllib.parse.urlsplit(entry).path)
    try:
        if not _model.is_model(path):
            return os.stat(path).st_size
        m = _model.take_folder(_model.locate(path))
        return sum(os.stat(m.path(rel)).st_size for rel, _ in m.files)
    except (OSError, ValueError):
        return 0


def _row_status(row):
    status = getattr(row, "status", None)
    if status is not None:
        return status
    return UNREADABLE if row.io_error else REJECTED


def _batch_row(command, row):
    if row.result is None:
        text = row.error or "failed"
        if row.model not in text:
            text = f"{row.model}: {text}"
        status = _row_status(row)
        doc = {"path": row.model, "state": "error",
               "failures": [_report.failure(_report.ERROR_CODES.get(status, "tarnwick.rejected"), shown(text))]}
    elif command == "sign":
        doc = _report.sign_row(row.model, row.result)
    elif hasattr(row.result, "members"):
        doc = _report.model_verification_row(row.model, row.result, _store_as_given(row.model))
    else:
        doc = _report.verification_row(row.model, row.result)
    doc["seconds"] = round(row.seconds, 3)
    return doc


def _run_batch(command, a):
    """One line a model as it finishes, in the list's order (JSON with
    --json or off a terminal), then a summary on standard error; the status
    is the worst model's."""
    import time
    from . import batch
    engine = a.engine or "thread"
    if engine == "thread":  # on Ray, the workers need the SDK, not this process
        from . import _sdk
        try:
            _sdk.load(command)
        except ImportError as e:
            sys.stderr.write(f"{e}\n")
            return USAGE
    try:
        models = batch.read_list(_read_list(a.from_list))
        if command == "verify":
            rows = batch.verify(models, trust=_policy(a), fetch=a.fetch, signer=a.signer,
                                signer_key=a.signer_key, ignore=a.ignore, engine=engine, workers=a.workers,
                                address=a.address)
        else:
            rows = batch.sign(models, cert=a.cert, key=_signing_key(a), alg=a.alg,
                              definition=_read_text(a.manifest) if a.manifest else None, tsa_url=a.tsa,
                              ignore=a.ignore, alone=a.alone, engine=engine, workers=a.workers,
                              address=a.address)
    except Exception as e:  # noqa: BLE001 - the call's own failure
        return _fail(command, e)

    as_json = a.json or not sys.stdout.isatty()
    progress = _progress.on_terminal(a.quiet)
    total = sum(_size_of(m) for m in models) if progress is not None else 0
    start, done, size, counts = time.monotonic(), 0, 0, {}
    states, errors = [], []
    stopped = None
    try:
        for row in rows:
            doc = _batch_row(command, row)
            if as_json:
                line = json.dumps(doc)
            else:
                line = _report.row_line(command, row.model, doc)
            if progress is not None:
                sys.stderr.write("\r\033[K")
            _print(line + "\n")
            done, size = done + 1, size + row.size
            counts[row.state] = counts.get(row.state, 0) + 1
            if row.state == "error":
                errors.append(_row_status(row))
            else:
                states.append(row.state)
            if progress is not None:
                progress(size, max(total, size), done, len(models))
    except KeyboardInterrupt as e:
        stopped = e
    except Exception as e:  # noqa: BLE001 - the engine's own failure (a cluster that cannot be reached)
        _finish(progress)
        return _fail(command, e)
    _finish(progress)
    elapsed = time.monotonic() - start
    if command == "sign" and "signed" in counts:
        _warn_expiry(a)
    tally = ", ".join(f"{n} {s}" for s, n in sorted(counts.items()))
    how = f"interrupted after {done} of {_report.count(len(models), 'model')}" if stopped is not None \
        else _report.count(done, "model")
    sys.stderr.write(f"tarnwick {command}: {how} ({tally or 'none'}), {_report.units(size)} in {elapsed:.1f} s "
                     f"({_report.units(size / max(elapsed, 1e-9))}/s)\n")
    if stopped is not None:
        raise stopped
    if command == "sign":
        return _report.verdict_status([], False, errors)
    return _report.verdict_status(states, a.require_trusted, errors)


# -- info -------------------------------------------------------------------------

def _file_info(path):
    """One file as the native `info` describes it: (JSON object, text lines)."""
    from . import inspect
    i = inspect(path)
    doc = {"format": i.format, "model_type": i.model_type, "store_size": i.store_size, "uri": i.uri,
           "store_range": list(i.store_range) if i.store_range else None}
    lines = [f"  format:      {i.format}", f"  model type:  {i.model_type}",
             f"  store:       {i.store_size} bytes" if i.store_size is not None else "  store:       none",
             f"  uri:         {shown(i.uri) if i.uri is not None else 'none'}"]
    return doc, lines


def _holds(info):
    if info is None:
        return "data, hashed whole"
    store = f"a store of {info['store_size']} bytes" if info["store_size"] is not None else "no store"
    uri = f", uri {shown(info['uri'])}" if info["uri"] is not None else ""
    return f"{info['format']}, {store}{uri}"


def _model_info(path):
    """A model of many files: every file a signature covers, what each
    holds, and the model-level store."""
    from . import _model
    m = _model.take_folder(_model.locate(path))
    doc = {"path": path, "state": "inspected", "entry": m.entry, "members": []}
    lines = [shown(path), f"  entry:       {shown(m.entry)}", f"  files:       {_report.count(len(m.files), 'file')}"]
    for rel, kind in m.files:
        info = None
        if kind == _model.CONTAINER:
            from ._source import LocalFolder, fd_path
            fd, _ = LocalFolder(m.folder).open(rel)
            try:
                info, _ = _file_info(fd_path(fd))
            except ValueError as e:
                raise ModelError(f"{os.path.join(path, rel) if os.path.isdir(path) else rel}: "
                                 f"{str(e).replace(fd_path(fd), rel)}") from None
            finally:
                os.close(fd)
        doc["members"].append({"path": rel, "format": info and info["format"],
                               "store_size": info and info["store_size"], "uri": info and info["uri"]})
        lines.append(f"    {shown(rel)}  ({_holds(info)})")
    store = m.path(m.store_name)
    try:
        size = os.stat(store).st_size
        held = f"the model's manifest store, {size} bytes"
    except FileNotFoundError:
        size, held = None, "none: the model is not signed as a whole"
    doc["manifest"] = {"path": m.store_name, "store_size": size}
    lines.append(f"  manifest:    {shown(m.store_name)} ({held})")
    return doc, lines


def run_info(argv):
    """`tarnwick info` when a model is a folder or the entry file of a model
    of many files: the native program hands the command here."""
    if "-h" in argv or "--help" in argv:
        return _print(HELP["info"])
    as_json = "--json" in argv
    paths = [x for x in argv if x != "--json"]
    if not paths:
        return _usage("info", "missing MODEL")
    status, first = SUCCESS, True
    for path in paths:
        from . import _model
        try:
            if os.path.isdir(path) or _model.is_model(path):
                _check_folder(path, "describe")
                doc, lines = _model_info(path)
            else:
                info, body = _file_info(path)
                doc, lines = {"path": path, "state": "inspected", **info}, [shown(path)] + body
        except Exception as e:  # noqa: BLE001 - reported for its model; the others still listed
            status = max(status, _report.status_of(e))
            _fail("info", e, path)
            if as_json:
                _print(json.dumps(_report.error_row(path, e)) + "\n")
            continue
        if as_json:
            _print(json.dumps(doc) + "\n")
            continue
        _print(("" if first else "\n") + "\n".join(lines) + "\n")
        first = False
    return status


# -- the entry point ----------------------------------------------------------------

def _print(text):
    sys.stdout.write(text)
    sys.stdout.flush()
    return SUCCESS


def suggestion(word, names=COMMANDS):
    """The command a mistyped one most likely meant, or None."""
    close = difflib.get_close_matches(word, names, n=1, cutoff=0.6)
    return close[0] if close else None


def run_help(argv):
    if not argv:
        return _print(MAIN_HELP)
    if argv[0] in HELP:
        return _print(HELP[argv[0]])
    if argv[0] == "exec":
        return _exec(["--help"])
    return _unknown(argv[0])


def _unknown(word):
    near = suggestion(word)
    hint = f"\nDid you mean '{near}'?" if near else ""
    sys.stderr.write(f"tarnwick: unknown command '{shown(word)}'{hint}\nTry 'tarnwick --help'.\n")
    return USAGE


def _exec(argv):
    from . import _sealed
    return _sealed.run_exec(argv)


class _Stopped(KeyboardInterrupt):
    """Ctrl-C, SIGTERM or SIGHUP: a KeyboardInterrupt, so that the pipeline
    unwinds as it does for Ctrl-C, dropping every private file not yet
    committed; `status` is the signal's."""

    def __init__(self, status):
        super().__init__(status)
        self.status = status


def _stop(signum, frame):
    from . import _native
    _native._remove_pending_temporaries()
    raise _Stopped(128 + signum)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    commands = {"sign": run_sign, "verify": run_verify, "info": run_info, "help": run_help, "exec": _exec}
    if not argv or argv[0] in ("-h", "--help"):
        if not argv:
            sys.stderr.write(MAIN_HELP)
            return USAGE
        return _print(MAIN_HELP)
    if argv[0] not in commands:
        return _unknown(argv[0])
    # This process is the command's own: it may take these signals.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _stop)
    try:
        return commands[argv[0]](argv[1:])
    except KeyboardInterrupt as e:
        status = e.status if isinstance(e, _Stopped) else 128 + signal.SIGINT
        # Worker threads may be deep in a file: the pending files are gone,
        # so the process ends now rather than waiting for them.
        _exit_now(status)
    except BrokenPipeError:
        _exit_now(UNREADABLE)


def _exit_now(status):
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status)


if __name__ == "__main__":
    sys.exit(main())
