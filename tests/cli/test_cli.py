"""The `tarnwick` command-line tool, driven as a subprocess: every subcommand
on the three formats against the module's own results, the usage and exit
status table, in-place atomicity, a full disk, standard streams and the
progress bar.

The program is the one installed or built with the package under test, or
the one TARNWICK_CLI names (tests/program.py)."""

import hashlib
import json
import os
import pathlib
import re
import shutil
import signal
import stat
import struct
import subprocess

import pytest


tarnwick = pytest.importorskip("tarnwick")

from program import tarnwick_program  # noqa: E402

CLI = tarnwick_program()

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
FORMATS = {
    "GGUF": SAMPLES / "model.gguf",
    "ONNX": SAMPLES / "model.onnx",
    "SafeTensors": SAMPLES / "model.safetensors",
}
MODEL_TYPES = {"GGUF": "c2pa.types.model", "ONNX": "c2pa.types.model.onnx",
               "SafeTensors": "c2pa.types.model"}
STORE = b"\x00store\r\n\xff\x1a bytes"
URI = "https://example.com/manifests/model.c2pa"
UNRECOGNISED = "unrecognized ML model container format"


def run(*args, input=None):
    return subprocess.run([CLI, *map(str, args)], input=input, capture_output=True, timeout=120)


def failed(result, status, stderr):
    assert (result.returncode, result.stderr.decode()) == (status, stderr)


def error_row(path, code, reason):
    """A JSON row of a model that could not be done, as every command gives it."""
    return {"path": str(path), "state": "error", "failures": [{"code": code, "explanation": f"{path}: {reason}"}]}


def leftovers(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir() if ".tarnwick-" in p.name)


# --- model builders ---------------------------------------------------------


def gguf_string(s):
    b = s.encode()
    return struct.pack("<Q", len(b)) + b


def gguf_head(tensor_bytes):
    """A GGUF v3 header for one F32 tensor of `tensor_bytes` bytes, padded to
    the default alignment of 32; the tensor data follows."""
    assert tensor_bytes % 4 == 0
    kvs = gguf_string("general.architecture") + struct.pack("<I", 8) + gguf_string("big")
    info = gguf_string("weight") + struct.pack("<IQIQ", 1, tensor_bytes // 4, 0, 0)
    head = b"GGUF" + struct.pack("<IQQ", 3, 1, 1) + kvs + info
    return head + bytes(-len(head) % 32)


def sparse_gguf(path, tensor_bytes):
    """A large model that costs no disk space: the tensor data is a hole."""
    with open(path, "wb") as f:
        head = gguf_head(tensor_bytes)
        f.write(head)
        f.truncate(len(head) + tensor_bytes)
    return path


def sanitized():
    return b"__asan_init" in pathlib.Path(CLI).read_bytes()


# Models are rewritten through an unnamed file (O_TMPFILE) where the file
# system allows it; "named" hides /proc from the tool, which then falls back
# to a named temporary file.
@pytest.fixture(params=["unnamed", "named"])
def route(request):
    if request.param == "unnamed":
        return lambda args: [CLI, *map(str, args)]
    if os.geteuid() != 0 or not shutil.which("unshare") or sanitized():
        pytest.skip("needs root, unshare, and no sanitizer runtime (which reads /proc)")
    hide = 'mount -t tmpfs none /proc && exec "$@"'
    return lambda args: ["unshare", "-m", "--propagation", "private", "sh", "-c", hide, "sh", CLI,
                         *map(str, args)]


@pytest.fixture
def junk(tmp_path):
    path = tmp_path / "junk.bin"
    path.write_bytes(b"this is not a model")
    return path


@pytest.fixture(params=list(FORMATS))
def sample(request, tmp_path):
    """A copy of one sample model, with its expected format."""
    path = tmp_path / FORMATS[request.param].name
    shutil.copyfile(FORMATS[request.param], path)
    return request.param, path


# --- plumbing: help, version, usage, unrecognised input, I/O failures -------


def test_version():
    r = run("--version")
    assert (r.returncode, r.stdout, r.stderr) == (0, b"tarnwick 0.1.0\n", b"")


@pytest.mark.parametrize("command", ["", "info", "read", "read-uri", "embed", "strip", "patch", "hash"])
def test_help(command):
    r = run(*command.split(), "--help")
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout.decode().startswith(f"usage: tarnwick {command or '<command>'}")
    assert run(*command.split(), "-h").stdout == r.stdout


# Arguments ({m}: an existing file, {out}: a path in the same folder) and the
# first line of the message; all end with status 2 and a hint to --help.
USAGE_ERRORS = {
    "no command": ([], "tarnwick: missing command"),
    "unknown command": (["frobnicate"], "tarnwick: unknown command 'frobnicate'"),
    "unknown global option": (["--bogus"], "tarnwick: unknown option '--bogus'"),
    "no model": (["info"], "tarnwick info: missing MODEL"),
    "two models": (["read", "{m}", "{m}"], "tarnwick read: unexpected argument '{m}'"),
    "option of another command": (["read", "{m}", "--json"], "tarnwick read: unknown option '--json'"),
    "no in-place for reads": (["read-uri", "{m}", "--in-place"],
                              "tarnwick read-uri: unknown option '--in-place'"),
    "value for a flag": (["info", "--json=yes", "{m}"], "tarnwick info: option '--json' takes no value"),
    "missing value": (["read", "{m}", "-o"], "tarnwick read: option '-o' needs a value"),
    "repeated value": (["embed", "{m}", "--uri", "a", "--uri=b", "--in-place"],
                       "tarnwick embed: option '--uri' given twice"),
    "nothing to embed": (["embed", "{m}", "-o", "{out}"],
                         "tarnwick embed: give --store (or --reserve), --uri or both"),
    "no destination": (["embed", "{m}", "--uri", "u"], "tarnwick embed: give -o OUT or --in-place"),
    "two destinations": (["strip", "{m}", "-o", "{out}", "--in-place"],
                         "tarnwick strip: give either -o or --in-place, not both"),
    "in-place on stdin": (["strip", "-", "--in-place"],
                          "tarnwick strip: --in-place needs a model file, not standard input"),
    "stdin twice": (["embed", "-", "--store", "-", "-o", "{out}"],
                    "tarnwick embed: standard input cannot hold both the model and the store"),
    "stdin twice for info": (["info", "-", "-"], "tarnwick info: standard input given more than once"),
    "output is the model": (["strip", "{m}", "-o", "{m}"],
                            "tarnwick strip: -o names the model itself; use --in-place to rewrite it"),
    "output is a hard link to the model": (["embed", "{m}", "--uri", "u", "-o", "{link}"],
                                           "tarnwick embed: -o names the model itself; "
                                           "use --in-place to rewrite it"),
    "store over the model": (["read", "{m}", "-o", "{m}"], "tarnwick read: -o names the model itself"),
    "empty output name": (["strip", "{m}", "-o", ""], "tarnwick strip: the output file name is empty"),
    "in-place on a device": (["strip", "/dev/null", "--in-place"],
                             "tarnwick strip: --in-place needs a regular file, which '/dev/null' is not"),
    "control characters in the URI": (["embed", "{m}", "--uri", "a\x1b[2Jb", "-o", "{out}"],
                                      "tarnwick embed: the URI holds control characters"),
    "store and reserve": (["embed", "{m}", "--store", "{m}", "--reserve", "4", "-o", "{out}"],
                          "tarnwick embed: give either --store or --reserve, not both"),
    "reserve not a number": (["embed", "{m}", "--reserve", "4k", "-o", "{out}"],
                             "tarnwick embed: --reserve takes a number of bytes, not '4k'"),
    "reserve beyond 64 bits": (["embed", "{m}", "--reserve", "18446744073709551616", "--in-place"],
                               "tarnwick embed: --reserve takes a number of bytes, not '18446744073709551616'"),
    "unknown hash": (["embed", "{m}", "--uri", "u", "--hash", "md5", "-o", "{out}"],
                     "tarnwick embed: unsupported hash algorithm 'md5': expected sha256, sha384 or sha512"),
    "json and the model on stdout": (["embed", "{m}", "--uri", "u", "-o", "-", "--json"],
                                     "tarnwick embed: --json and -o - cannot share standard output"),
    "patch without a store": (["patch", "{m}"], "tarnwick patch: give --store FILE"),
    "patch on stdin": (["patch", "-", "--store", "{m}"],
                       "tarnwick patch: the model must be a regular file, not standard input"),
    "patch on a device": (["patch", "/dev/null", "--store", "{m}"],
                          "tarnwick patch: the model must be a regular file, which '/dev/null' is not"),
    "exclusion without a length": (["hash", "{m}", "--exclude", "4"],
                                   "tarnwick hash: --exclude takes OFFSET:LENGTH, not '4'"),
    "negative exclusion": (["hash", "{m}", "--exclude=4:-1"],
                           "tarnwick hash: --exclude takes OFFSET:LENGTH, not '4:-1'"),
    "--hash is embed's": (["hash", "{m}", "--hash", "sha256"], "tarnwick hash: unknown option '--hash'"),
}


@pytest.mark.parametrize("case", USAGE_ERRORS)
def test_usage_errors(case, junk):
    args, first_line = USAGE_ERRORS[case]
    os.link(junk, junk.parent / "link.bin")
    names = {"m": junk, "out": junk.parent / "out.bin", "link": junk.parent / "link.bin"}
    r = run(*(a.format(**names) for a in args))
    prog = first_line.split(":")[0]
    failed(r, 2, first_line.format(**names) + f"\nTry '{prog} --help'.\n")
    assert r.stdout == b""
    assert junk.read_bytes() == b"this is not a model"
    assert not (junk.parent / "out.bin").exists()


def test_uri_must_be_utf8(junk, tmp_path):
    r = subprocess.run([CLI, "embed", str(junk), "--uri", b"\xff", "-o", str(tmp_path / "o")],
                       capture_output=True)
    failed(r, 2, "tarnwick embed: the URI is not valid UTF-8\nTry 'tarnwick embed --help'.\n")


def test_stdout_that_is_the_model_is_refused(junk):
    with open(junk, "ab") as out:
        r = subprocess.run([CLI, "strip", str(junk), "-o", "-"], stdout=out, stderr=subprocess.PIPE)
    failed(r, 2, "tarnwick strip: standard output is the model itself; use --in-place to rewrite it\n"
                 "Try 'tarnwick strip --help'.\n")
    assert junk.read_bytes() == b"this is not a model"


COMMANDS_ON = {
    "info": ["info", "{m}"],
    "read": ["read", "{m}"],
    "read-uri": ["read-uri", "{m}"],
    "embed -o": ["embed", "{m}", "--uri", "u", "-o", "{out}"],
    "embed --in-place": ["embed", "{m}", "--store", "{m}", "--in-place"],
    "strip -o": ["strip", "{m}", "-o", "{out}"],
    "strip --in-place": ["strip", "{m}", "--in-place"],
    "patch": ["patch", "{m}", "--store", "{m}"],
    "hash": ["hash", "{m}"],
}


@pytest.mark.parametrize("command", COMMANDS_ON)
def test_unrecognised_model_is_rejected_and_left_alone(command, junk):
    out = junk.parent / "out.bin"
    r = run(*(a.format(m=junk, out=out) for a in COMMANDS_ON[command]))
    failed(r, 1, f"{junk}: {UNRECOGNISED}\n")
    assert r.stdout == b""
    assert junk.read_bytes() == b"this is not a model"
    assert sorted(p.name for p in junk.parent.iterdir()) == ["junk.bin"]


@pytest.mark.parametrize("command", COMMANDS_ON)
def test_unreadable_model(command, tmp_path):
    missing = tmp_path / "missing.gguf"
    r = run(*(a.format(m=missing, out=tmp_path / "out") for a in COMMANDS_ON[command]))
    failed(r, 4, f"{missing}: No such file or directory\n")
    assert list(tmp_path.iterdir()) == []


def test_directory_as_model(tmp_path):
    failed(run("info", tmp_path), 1, f"{tmp_path}: an empty folder: no model to describe\n")


def test_unreadable_store(sample, tmp_path):
    _, model = sample
    missing = tmp_path / "no-store"
    failed(run("embed", model, "--store", missing, "--in-place"), 4,
           f"{missing}: No such file or directory\n")
    assert model.read_bytes() == FORMATS[sample[0]].read_bytes()


def test_unrecognised_model_on_stdin():
    failed(run("read-uri", "-", input=b"junk"), 1, f"<stdin>: {UNRECOGNISED}\n")


def test_info_reports_every_file_and_the_worst_status(junk, tmp_path):
    missing = tmp_path / "missing"
    r = run("info", "--json", junk, missing)
    failed(r, 4, f"{junk}: {UNRECOGNISED}\n{missing}: No such file or directory\n")
    assert [json.loads(line) for line in r.stdout.splitlines()] == [
        error_row(junk, "tarnwick.rejected", UNRECOGNISED),
        error_row(missing, "tarnwick.unreadable", "No such file or directory"),
    ]


def test_json_escapes_file_names(tmp_path):
    odd = tmp_path / 'a"b\\c\nd'
    odd.write_bytes(b"junk")
    r = run("info", "--json", odd)
    assert json.loads(r.stdout) == error_row(odd, "tarnwick.rejected", UNRECOGNISED)


# --- the subcommands on the three formats -------------------------------------

EMBEDS = {
    "store": (["--store", "{store}"], lambda m: tarnwick.embed_manifest(m, STORE)),
    "uri": (["--uri", URI], lambda m: tarnwick.embed_manifest_remote(m, URI)),
    "both": (["--uri", URI, "--store", "{store}"], lambda m: tarnwick.embed_manifest_both(m, URI, STORE)),
    "empty store": (["--store", "{empty}"], lambda m: tarnwick.embed_manifest(m, b"")),
}


@pytest.mark.parametrize("how", EMBEDS)
def test_embed_matches_module(how, sample, tmp_path):
    _, model = sample
    original = model.read_bytes()
    (tmp_path / "store.c2pa").write_bytes(STORE)
    (tmp_path / "empty.c2pa").write_bytes(b"")
    options, expected = EMBEDS[how]
    options = [o.format(store=tmp_path / "store.c2pa", empty=tmp_path / "empty.c2pa") for o in options]
    out = tmp_path / "out.bin"

    r = run("embed", model, *options, "-o", out)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert out.read_bytes() == expected(original)
    assert model.read_bytes() == original

    r = run("embed", model, *options, "-o", "-")
    assert (r.returncode, r.stdout) == (0, expected(original))

    r = run("embed", model, *options, "--in-place")
    assert (r.returncode, r.stderr) == (0, b"")
    assert model.read_bytes() == expected(original)
    assert leftovers(tmp_path) == []


def test_strip_matches_module(sample, tmp_path):
    _, model = sample
    signed = tarnwick.embed_manifest_both(model.read_bytes(), URI, STORE)
    model.write_bytes(signed)
    r = run("strip", model, "-o", tmp_path / "out.bin")
    assert r.returncode == 0
    assert (tmp_path / "out.bin").read_bytes() == tarnwick.remove_manifest(signed)
    assert run("strip", model, "--in-place").returncode == 0
    assert model.read_bytes() == tarnwick.remove_manifest(signed)


def test_model_and_store_through_standard_streams(sample, tmp_path):
    _, model = sample
    original = model.read_bytes()
    r = run("embed", "-", "--uri", URI, "-o", "-", input=original)
    assert (r.returncode, r.stdout) == (0, tarnwick.embed_manifest_remote(original, URI))
    r = run("embed", model, "--store", "-", "-o", "-", input=STORE)
    assert (r.returncode, r.stdout) == (0, tarnwick.embed_manifest(original, STORE))
    r = run("strip", "-", "-o", "-", input=r.stdout)
    assert (r.returncode, r.stdout) == (0, tarnwick.remove_manifest(original))


def test_read(sample, tmp_path):
    _, model = sample
    model.write_bytes(tarnwick.embed_manifest(model.read_bytes(), STORE))
    r = run("read", model)
    assert (r.returncode, r.stdout, r.stderr) == (0, STORE, b"")
    assert run("read", model, "-o", tmp_path / "store.c2pa").returncode == 0
    assert (tmp_path / "store.c2pa").read_bytes() == STORE
    assert run("read", "-", input=model.read_bytes()).stdout == STORE


def test_read_without_store_finds_nothing(sample, tmp_path):
    _, model = sample
    r = run("read", model, "-o", tmp_path / "store.c2pa")
    failed(r, 3, f"{model}: no C2PA manifest found in model\n")
    assert not (tmp_path / "store.c2pa").exists()


def test_read_uri(sample):
    _, model = sample
    r = run("read-uri", model)
    assert (r.returncode, r.stdout, r.stderr) == (3, b"", b"")
    model.write_bytes(tarnwick.embed_manifest_remote(model.read_bytes(), URI))
    r = run("read-uri", model)
    assert (r.returncode, r.stdout, r.stderr) == (0, URI.encode() + b"\n", b"")


def test_info(sample):
    fmt, model = sample
    signed = model.parent / ("signed-" + model.name)
    signed.write_bytes(tarnwick.embed_manifest_both(model.read_bytes(), URI, STORE))
    r = run("info", model.parent / "missing", model, signed)
    assert (r.returncode, r.stderr) == (4, f"{model.parent / 'missing'}: No such file or directory\n".encode())
    assert r.stdout.decode() == (
        f"{model}\n  format:      {fmt}\n  model type:  {MODEL_TYPES[fmt]}\n"
        f"  store:       none\n  uri:         none\n"
        f"\n"
        f"{signed}\n  format:      {fmt}\n  model type:  {MODEL_TYPES[fmt]}\n"
        f"  store:       {len(STORE)} bytes\n  uri:         {URI}\n"
    )
    r = run("info", "--json", model, signed)
    assert [json.loads(line) for line in r.stdout.splitlines()] == [
        {"path": str(model), "state": "inspected", "format": fmt, "model_type": MODEL_TYPES[fmt],
         "store_size": None, "uri": None, "store_range": None},
        {"path": str(signed), "state": "inspected", "format": fmt, "model_type": MODEL_TYPES[fmt],
         "store_size": len(STORE), "uri": URI, "store_range": list(tarnwick.inspect(signed).store_range)},
    ]


def test_info_escapes_control_characters_in_uri(sample):
    _, model = sample
    model.write_bytes(tarnwick.embed_manifest_remote(model.read_bytes(), "a\nstore: forged"))
    assert "  uri:         a\\x0Astore: forged\n" in run("info", model).stdout.decode()


# --- data hash: reserve, patch, hash -------------------------------------------

SIGNED = bytes(range(100, 140))  # a signed store of the size reserved for it


def without(data, ranges):
    kept, at = b"", 0
    for offset, length in ranges:
        kept, at = kept + data[at:offset], offset + length
    return kept + data[at:]


@pytest.mark.parametrize("alg", ["sha256", "sha384", "sha512", "SHA256"])
def test_embed_reserve_with_hash(alg, sample, tmp_path):
    _, model = sample
    out = tmp_path / "out.bin"
    r = run("embed", model, "--reserve", len(SIGNED), "--uri", URI, "--hash", alg, "-o", out, "--json")
    assert (r.returncode, r.stderr) == (0, b"")
    data, found = out.read_bytes(), tarnwick.inspect(out)
    assert (found.store_size, found.uri, tarnwick.read_file(out)) == (len(SIGNED), URI, bytes(len(SIGNED)))
    assert json.loads(r.stdout) == {"path": str(out), "state": "written", "size": len(data), "store_range": list(found.store_range),
                                    "digest": tarnwick.data_hash(out, alg=alg).hex()}
    assert json.loads(r.stdout)["digest"] == hashlib.new(alg, without(data, [found.store_range])).hexdigest()
    # Without --reserve or --hash, as the module's FileResult: no range, no digest.
    (tmp_path / "store.c2pa").write_bytes(STORE)
    r = run("embed", model, "--store", tmp_path / "store.c2pa", "--in-place", "--json")
    assert json.loads(r.stdout) == {"path": str(model), "state": "written", "size": model.stat().st_size, "store_range": None,
                                    "digest": None}


# Reservations no model of the format can hold: refused before anything is
# written (a reservation is a number, never memory).
TOO_LARGE = {
    "any format": (None, 2**62 + 1, f"a store of {2**62 + 1} bytes is larger than any model file can hold"),
    "a SafeTensors header": ("SafeTensors", 75_000_000,
                             "the result's header would be longer than 100000000 bytes"),
}


@pytest.mark.parametrize("case", TOO_LARGE)
def test_reserve_beyond_what_the_format_holds(case, sample, tmp_path):
    fmt, model = sample
    only, size, text = TOO_LARGE[case]
    if only not in (None, fmt):
        pytest.skip(f"{only} only")
    failed(run("embed", model, "--reserve", size, "-o", tmp_path / "out.bin"), 2,
           f"tarnwick embed: {text}\nTry 'tarnwick embed --help'.\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == [model.name]


@pytest.mark.parametrize("store", ["file", "stdin"])
def test_patch_writes_the_signed_store_in_place(store, sample, tmp_path):
    _, model = sample
    assert run("embed", model, "--reserve", len(SIGNED), "--in-place").returncode == 0
    before, at, inode = model.read_bytes(), tarnwick.inspect(model).store_range, model.stat().st_ino
    (tmp_path / "signed.c2pa").write_bytes(SIGNED)
    source = tmp_path / "signed.c2pa" if store == "file" else "-"
    r = run("patch", model, "--store", source, input=SIGNED)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")
    assert run("read", model).stdout == SIGNED
    after = model.read_bytes()
    assert (len(after), model.stat().st_ino, tarnwick.inspect(model).store_range) == (len(before), inode, at)
    assert hashlib.sha256(without(after, [at])).digest() == hashlib.sha256(without(before, [at])).digest()


# The store patched in (its length), the room reserved for it (None: none).
PATCH_REFUSALS = {
    "longer": (len(SIGNED) + 3, len(SIGNED)),
    "shorter": (len(SIGNED) - 3, len(SIGNED)),
    "into a model without a store": (len(SIGNED), None),
}


@pytest.mark.parametrize("case", PATCH_REFUSALS)
def test_patch_refuses_a_store_of_another_size(case, sample, tmp_path):
    fmt, model = sample
    size, room = PATCH_REFUSALS[case]
    if room is not None:
        assert run("embed", model, "--reserve", room, "--in-place").returncode == 0
    before = model.read_bytes()
    (tmp_path / "signed.c2pa").write_bytes(b"s" * size)
    r = run("patch", model, "--store", tmp_path / "signed.c2pa")
    if room is None:
        failed(r, 3, f"{model}: no C2PA manifest found in model\n")
    else:
        # Raw sizes, as the signer chose them, in every format.
        failed(r, 1, f"{model}: store size differs from the reserved store: {size} != {room}\n")
    assert model.read_bytes() == before


# Options, the algorithm, and the ranges left out (None: where the store lies).
HASHES = {
    "the store's range by default": ([], "sha256", None),
    "sha384": (["--alg", "sha384"], "sha384", None),
    "any case": (["--alg", "SHA384"], "sha384", None),
    "given ranges": (["--alg=sha512", "--exclude", "0:4", "--exclude=10:6", "--exclude", "16:0"], "sha512",
                     [(0, 4), (10, 6), (16, 0)]),
    "nothing": (["--exclude", "0:0"], "sha256", []),
}


@pytest.mark.parametrize("case", HASHES)
def test_hash(case, sample, tmp_path):
    _, model = sample
    options, alg, ranges = HASHES[case]
    signed = tmp_path / "signed.bin"
    signed.write_bytes(tarnwick.embed_manifest(model.read_bytes(), STORE))
    for path in (model, signed):
        data, at = path.read_bytes(), tarnwick.inspect(path).store_range
        left_out = ranges if ranges is not None else [at] if at else []
        expected = hashlib.new(alg, without(data, left_out)).hexdigest()
        r = run("hash", path, *options)
        assert (r.returncode, r.stdout, r.stderr) == (0, f"{expected}\n".encode(), b"")


# Exclusions against a 19-byte file, and the core's complaint.
BAD_EXCLUSIONS = {
    "out of order": (["5:3", "4:1"], "(4, 1) starts before (5, 3); exclusions must be in ascending order"),
    "overlapping": (["0:6", "5:3"], "(5, 3) overlaps (0, 6)"),
    "past the end": (["0:20"], "(0, 20) extends past the end of the model (19 bytes)"),
    "offset past the end": (["20:0"], "(20, 0) extends past the end of the model (19 bytes)"),
    "length beyond 64 bits": (["1:18446744073709551615"],
                              "(1, 18446744073709551615) extends past the end of the model (19 bytes)"),
}


@pytest.mark.parametrize("case", BAD_EXCLUSIONS)
def test_hash_rejects_bad_exclusions(case, junk):
    ranges, text = BAD_EXCLUSIONS[case]
    r = run("hash", junk, *(f"--exclude={e}" for e in ranges))
    failed(r, 1, f"{junk}: data hash exclusion is malformed: {text}\n")
    assert r.stdout == b""


# --- in place: permissions, links, atomicity --------------------------------


def test_in_place_keeps_permission_bits(sample):
    _, model = sample
    os.chmod(model, 0o640)
    before = os.stat(model)
    assert run("embed", model, "--uri", URI, "--in-place").returncode == 0
    after = os.stat(model)
    assert stat.S_IMODE(after.st_mode) == 0o640
    assert (after.st_uid, after.st_gid) == (before.st_uid, before.st_gid)
    assert after.st_ino != before.st_ino  # a new file renamed into place


def test_in_place_through_a_symlink_replaces_the_target(sample, tmp_path):
    _, model = sample
    link = tmp_path / "link"
    link.symlink_to(model)
    assert run("embed", link, "--uri", URI, "--in-place").returncode == 0
    assert link.is_symlink()
    assert tarnwick.read_manifest_uri(model.read_bytes()) == URI


def test_output_over_an_existing_file_keeps_its_mode(sample, tmp_path):
    _, model = sample
    out = tmp_path / "out.bin"
    out.write_bytes(b"old")
    os.chmod(out, 0o600)
    assert run("strip", model, "-o", out).returncode == 0
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o600
    assert out.read_bytes() == tarnwick.remove_manifest(model.read_bytes())


@pytest.mark.parametrize("alias", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"])
def test_output_to_a_name_of_standard_output(alias, sample, tmp_path):
    _, model = sample
    with open(tmp_path / "out", "wb") as out:
        assert subprocess.run([CLI, "strip", model, "-o", alias], stdout=out).returncode == 0
    assert (tmp_path / "out").read_bytes() == tarnwick.remove_manifest(model.read_bytes())
    assert os.path.islink("/dev/stdout")


@pytest.fixture
def small_disk(tmp_path):
    """A 4 MiB tmpfs, mounted for the test (skipped where that is not allowed)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    try:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(disk)],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield disk
    finally:
        subprocess.run(["umount", str(disk)], check=True)


def test_full_disk_leaves_the_model_untouched(small_disk):
    # 3 MiB of real (not sparse) tensor data: the model fits once, not twice.
    tensor = os.urandom(3 * 1024 * 1024)
    model = small_disk / "model.gguf"
    original = gguf_head(len(tensor)) + tensor
    model.write_bytes(original)

    r = run("embed", model, "--uri", URI, "--in-place")
    failed(r, 4, f"{model}: No space left on device\n")
    assert model.read_bytes() == original
    assert leftovers(small_disk) == []

    out = small_disk / "copy.gguf"
    failed(run("strip", model, "-o", out), 4, f"{out}: No space left on device\n")
    assert sorted(p.name for p in small_disk.iterdir()) == ["model.gguf"]


# --- progress -----------------------------------------------------------------


def read_all(master):
    """What reached a pseudo-terminal, read until its other side is closed."""
    drawn = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: the program closed the terminal
            break
        if not chunk:
            break
        drawn += chunk
    os.close(master)
    return drawn


def run_on_terminal(*args):
    """Runs the program with stderr on a pseudo-terminal; returns what it drew."""
    import pty

    master, slave = pty.openpty()
    p = subprocess.Popen([CLI, *map(str, args)], stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    drawn = read_all(master)
    assert p.wait(timeout=120) == 0
    return drawn


def test_progress_bar_on_a_terminal_for_large_copies(tmp_path):
    model = sparse_gguf(tmp_path / "big.gguf", 300 * 1024 * 1024)
    drawn = run_on_terminal("strip", model, "-o", os.devnull)
    assert re.search(rb"\r300\.0 MiB / 300\.0 MiB  100%  [\d.]+ [MG]iB/s  0:00 left\x1b\[K", drawn)
    assert drawn.endswith(b"\r\x1b[K")  # the line is cleared at the end
    assert run_on_terminal("strip", model, "-o", os.devnull, "--quiet") == b""
    # stderr not a terminal: nothing
    assert run("strip", model, "-o", os.devnull).stderr == b""


def test_no_progress_bar_for_small_copies(sample):
    _, model = sample
    assert run_on_terminal("strip", model, "-o", os.devnull) == b""


# Output routes for a model whose tensor data is large enough to be copied by
# the kernel: into a file (copy_file_range), into a pipe and into an appending
# descriptor (neither allows it: copied through the mapping instead).
def test_every_output_route_gives_the_same_bytes(tmp_path):
    tensor = os.urandom(5 * 1024 * 1024 + 3 * 4)
    model = tmp_path / "model.gguf"
    model.write_bytes(gguf_head(len(tensor)) + tensor)
    expected = tarnwick.embed_manifest_remote(model.read_bytes(), URI)
    # A new file keeps the tensor data's offset modulo the block, for a file
    # system that shares blocks; streams get the bytes functions' layout.
    block = max(4096, os.stat(tmp_path).st_blksize)
    in_file = tarnwick._embed_manifest_aligned(model.read_bytes(), uri=URI, block=block)

    assert run("embed", model, "--uri", URI, "-o", tmp_path / "out.gguf").returncode == 0
    assert (tmp_path / "out.gguf").read_bytes() == in_file
    assert run("embed", model, "--uri", URI, "-o", "-").stdout == expected
    with open(tmp_path / "appended", "ab") as out:
        subprocess.run([CLI, "embed", str(model), "--uri", URI, "-o", "-"], stdout=out, check=True)
    assert (tmp_path / "appended").read_bytes() == expected


def writing(pid, folder):
    """Whether process `pid` has its new file in `folder` open, named or not."""
    names = []
    for fd in pathlib.Path(f"/proc/{pid}/fd").glob("*"):
        try:
            names.append(os.readlink(fd))
        except OSError:  # closed meanwhile
            pass
    return any(n.startswith(f"{folder}/") and (".tarnwick-" in n or n.endswith(" (deleted)")) for n in names)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                                 signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM])
def test_interrupted_in_place_rewrite_leaves_no_trace(sig, route, tmp_path):
    size = 300 * 1024 * 1024
    model = sparse_gguf(tmp_path / "big.gguf", size)
    old_head = gguf_head(size)
    p = subprocess.Popen(route(["embed", model, "--uri", URI, "--in-place"]))
    while p.poll() is None and not writing(p.pid, tmp_path):
        pass
    p.send_signal(sig)
    status = p.wait(timeout=120)
    assert leftovers(tmp_path) == []
    if status == 0:  # finished before the signal came
        assert run("read-uri", model).stdout == URI.encode() + b"\n"
    else:
        assert status == -sig
        with open(model, "rb") as f:
            assert f.read(len(old_head)) == old_head
        assert model.stat().st_size == len(old_head) + size
