"""The module surface: names, signatures, argument binding, type rules,
error mapping and import semantics. Container behaviour lives in the
per-format test modules."""

import importlib
import importlib.util
import inspect
import os
import pathlib
import shlex
import shutil
import struct
import subprocess
import sys
import sysconfig

import pytest

import api_calls
import tarnwick

ALL = [
    "embed_manifest",
    "embed_manifest_remote",
    "embed_manifest_both",
    "read_manifest",
    "read_manifest_uri",
    "remove_manifest",
    "detect_format",
    "model_type",
]

SIGNATURES = {
    "embed_manifest": ["model", "store"],
    "embed_manifest_remote": ["model", "uri"],
    "embed_manifest_both": ["model", "uri", "store"],
    "read_manifest": ["model"],
    "read_manifest_uri": ["model"],
    "remove_manifest": ["model"],
    "detect_format": ["model"],
    "model_type": ["model"],
}

DOCS = {
    "embed_manifest": "Embed a C2PA Manifest Store into a model, auto-detecting the format.",
    "embed_manifest_remote": "Embed a remote manifest URI into a model, auto-detecting the format.",
    "embed_manifest_both": "Embed both a Manifest Store and a remote URI into a model.",
    "read_manifest": "Read the embedded C2PA Manifest Store from a model.",
    "read_manifest_uri": "Read the remote manifest URI from a model, or `None` if absent.",
    "remove_manifest": "Remove any C2PA metadata from a model.",
    "detect_format": 'Detect the container format: `"GGUF"`, `"SafeTensors"`, `"ONNX"`, or `None`.',
    "model_type": "The canonical `c2pa.types.model.*` asset type string for the model's format,\n"
    "or `None` if the format is unrecognized.",
}

# The smallest valid GGUF file: header with no tensors and no metadata, padded
# to the default alignment of 32.
MINIMAL_GGUF = b"GGUF" + struct.pack("<IQQ", 3, 0, 0) + bytes(8)

# A valid value for each parameter name.
GOOD = {"model": MINIMAL_GGUF, "store": b"store", "uri": "https://example.com/m"}


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


def call(name, **overrides):
    args = {p: overrides.get(p, GOOD[p]) for p in SIGNATURES[name]}
    return getattr(tarnwick, name)(**args)


FILE_FUNCTIONS = ["embed_file", "strip_file", "read_file", "read_file_uri", "inspect",
                  "patch_file", "data_hash", "check_binding"]


def test_module_attributes():
    assert tarnwick.__all__ == ALL
    assert tarnwick.__doc__ == ""
    assert tarnwick.__name__ == "tarnwick"
    public = sorted(n for n in dir(tarnwick) if not n.startswith("_"))
    # The file functions, signing and verifying, and their result types are
    # attributes beyond __all__.
    assert public == sorted(ALL + FILE_FUNCTIONS + ["BindingCheck", "FileResult", "ModelInfo"]
                            + ["sign_file", "verify_file", "SignResult", "Verification"]
                            + ["sign_model", "verify_model", "ModelSignResult", "SignedMember",
                               "ModelVerification", "MemberVerification", "OmsVerification"]
                            + ["CommitInterrupted", "ModelError", "SigningError", "UsageError"]
                            + ["load_key", "SigningKey", "CallbackSigner"]
                            + ["open_verified", "VerifiedModel", "UntrustedModel"]
                            + ["batch"])


def test_version_is_the_package_and_program_version():
    import importlib.metadata
    import re

    assert re.fullmatch(r"[0-9]+(\.[0-9]+)+", tarnwick.__version__)
    package = pathlib.Path(tarnwick.__file__).resolve().parent
    try:
        dist = importlib.metadata.distribution("tarnwick")
        installed = pathlib.Path(dist.locate_file("tarnwick/__init__.py")).resolve().parent == package
    except importlib.metadata.PackageNotFoundError:
        installed = False
    if installed:
        assert tarnwick.__version__ == dist.version
    # The program of the same install or build folder as this package.
    cli = os.environ.get("TARNWICK_CLI") or (
        os.path.join(sysconfig.get_path("scripts"), "tarnwick") if installed
        else str(package.parent / "bin" / "tarnwick"))
    if not os.access(cli, os.X_OK):
        pytest.skip("no tarnwick program beside this package")
    run = subprocess.run([cli, "--version"], capture_output=True, text=True, timeout=30)
    assert run.stdout == f"tarnwick {tarnwick.__version__}\n", run.stderr


@pytest.mark.parametrize("name", ALL)
def test_function_surface(name):
    f = getattr(tarnwick, name)
    assert f.__module__ == "tarnwick"
    assert f.__doc__ == DOCS[name]
    assert f.__text_signature__ == "(" + ", ".join(SIGNATURES[name]) + ")"
    params = inspect.signature(f).parameters
    assert list(params) == SIGNATURES[name]
    for p in params.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


@pytest.mark.parametrize("name", ALL)
def test_binding_errors(name):
    f = getattr(tarnwick, name)
    params = SIGNATURES[name]
    values = [GOOD[p] for p in params]
    with pytest.raises(TypeError, match=params[-1]):
        f(*values[:-1])  # missing the last
    with pytest.raises(TypeError):
        f(*values, b"surplus")
    with pytest.raises(TypeError, match="unexpected keyword argument 'extra'"):
        f(*values, extra=1)
    with pytest.raises(TypeError, match=f"multiple values for argument '{params[0]}'"):
        f(*values, **{params[0]: values[0]})
    with pytest.raises(TypeError):
        f(*values, **{1: 2})


@pytest.mark.parametrize("name", ALL)
def test_keywords_in_any_order_equal_positional(name):
    f = getattr(tarnwick, name)
    params = SIGNATURES[name]
    positional = _outcome(f, [GOOD[p] for p in params], {})
    keywords = _outcome(f, [], {p: GOOD[p] for p in reversed(params)})
    assert positional == keywords


def _outcome(f, args, kwargs):
    try:
        return ("ok", f(*args, **kwargs))
    except ValueError as e:
        return ("ValueError", str(e))


BAD_VALUES = {
    "model": [bytearray(b"GGUF"), memoryview(b"GGUF"), "GGUF", None, 0],
    "store": [bytearray(b"s"), memoryview(b"s"), "s", None],
    "uri": [b"https://x", bytearray(b"u"), None, 1],
}


@pytest.mark.parametrize(
    "name,param,bad",
    [(n, p, b) for n in ALL for p in SIGNATURES[n] for b in BAD_VALUES[p]],
    ids=lambda v: type(v).__name__ if not isinstance(v, str) or v not in ALL + list(GOOD) else v,
)
def test_wrong_type_names_the_parameter(name, param, bad):
    with pytest.raises(TypeError, match=f"'{param}'"):
        call(name, **{param: bad})


def test_first_failing_conversion_wins():
    # uri is converted before store in embed_manifest_both.
    with pytest.raises(TypeError, match="'uri'"):
        tarnwick.embed_manifest_both(MINIMAL_GGUF, b"store", "uri")
    with pytest.raises(TypeError, match="'model'"):
        tarnwick.embed_manifest_both(None, None, None)


@pytest.mark.parametrize("name", ["embed_manifest_remote", "embed_manifest_both"])
def test_lone_surrogate_uri_raises_unicode_encode_error(name):
    with pytest.raises(UnicodeEncodeError):
        call(name, uri="a\udc80b")


def test_subclasses_are_accepted():
    assert tarnwick.detect_format(BytesSub(MINIMAL_GGUF)) == "GGUF"
    out = tarnwick.embed_manifest_both(BytesSub(MINIMAL_GGUF), StrSub("u"), BytesSub(b"s"))
    assert type(out) is bytes
    assert tarnwick.read_manifest(out) == b"s"
    assert type(tarnwick.read_manifest(out)) is bytes
    assert type(tarnwick.read_manifest_uri(out)) is str


@pytest.mark.parametrize(
    "data,fmt,mtype",
    [
        (b"", None, None),
        (b"GGU", None, None),
        (b"gguf", None, None),
        (b"GGUF", "GGUF", "c2pa.types.model"),
        (b"GGUF" + b"\xff" * 100, "GGUF", "c2pa.types.model"),
        (MINIMAL_GGUF, "GGUF", "c2pa.types.model"),
        (b"\x00" * 3, None, None),
    ],
)
def test_detection(data, fmt, mtype):
    assert tarnwick.detect_format(data) == fmt
    assert tarnwick.model_type(data) == mtype


@pytest.mark.parametrize("name", ["read_manifest", "read_manifest_uri", "remove_manifest",
                                  "embed_manifest", "embed_manifest_remote", "embed_manifest_both"])
@pytest.mark.parametrize("data", [b"", b"GGU", b"not a model at all"])
def test_unrecognized_input_raises_value_error(name, data):
    with pytest.raises(ValueError) as e:
        call(name, model=data)
    assert str(e.value) == "unrecognized ML model container format"
    assert type(e.value) is ValueError
    assert e.value.args == ("unrecognized ML model container format",)


def test_gguf_magic_with_junk_is_malformed_not_unrecognized():
    with pytest.raises(ValueError) as e:
        tarnwick.read_manifest(b"GGUF\x03\x00\x00\x00")
    assert str(e.value) == "malformed model container: unexpected end of GGUF data"


def test_empty_store_and_uri_are_embedded():
    out = tarnwick.embed_manifest_both(MINIMAL_GGUF, "", b"")
    assert tarnwick.read_manifest(out) == b""
    assert tarnwick.read_manifest_uri(out) == ""
    assert tarnwick.read_manifest_uri(MINIMAL_GGUF) is None
    with pytest.raises(ValueError, match="^no C2PA manifest found in model$"):
        tarnwick.read_manifest(MINIMAL_GGUF)


def test_inputs_are_never_modified():
    model = bytes(MINIMAL_GGUF)
    store = b"store bytes"
    snapshot = (bytes(model), bytes(store))
    out = tarnwick.embed_manifest_both(model, "u", store)
    for f in (tarnwick.read_manifest, tarnwick.read_manifest_uri, tarnwick.remove_manifest,
              tarnwick.detect_format, tarnwick.model_type):
        f(out)
        try:
            f(model)
        except ValueError:
            pass
    assert (model, store) == snapshot
    assert out is not model


def test_success_leaves_no_error_state():
    # A successful call after a failing one must not carry an exception.
    with pytest.raises(ValueError):
        tarnwick.read_manifest(b"")
    assert tarnwick.detect_format(MINIMAL_GGUF) == "GGUF"
    assert sys.exc_info() == (None, None, None)


def test_reimport_gives_a_fresh_working_module():
    first = sys.modules["tarnwick"]
    del sys.modules["tarnwick"]
    try:
        again = importlib.import_module("tarnwick")
        assert again is not first
        assert again.__all__ == ALL and again.__doc__ == first.__doc__
        for module in (first, again):
            assert module.read_manifest(module.embed_manifest(MINIMAL_GGUF, b"s")) == b"s"
    finally:
        sys.modules["tarnwick"] = first


# Tensor data around the size from which it is copied a page at a time, with
# a period that is no power of two, so a misplaced page shows.
@pytest.mark.parametrize("size", [(4 << 20) - 1, 4 << 20, (4 << 20) + 4097])
@pytest.mark.parametrize("store_size", [0, 3, 4096 + 77])
@pytest.mark.parametrize("fmt", ["GGUF", "ONNX", "SafeTensors"])
def test_large_models_are_copied_exactly(fmt, store_size, size):
    data = bytes(range(251)) * (size // 251) + bytes(range(size % 251))
    _, plain = api_calls.models(data)[fmt]
    store = bytes(range(7)) * (store_size // 7) + bytes(store_size % 7)
    out = tarnwick.embed_manifest(plain, store)
    assert tarnwick.read_manifest(out) == store
    if fmt == "ONNX":
        assert data in out
    else:
        assert out.endswith(data)
    assert tarnwick.remove_manifest(out) == tarnwick.remove_manifest(plain)


# Imports the module and uses it; prints one line naming where it ran.
USE_MODULE = """
import sys
sys.path[:0] = {path!r}
import tarnwick
model = tarnwick.embed_manifest_both({model!r}, "urn:x", b"store")
print({where!r}, tarnwick.detect_format(model), tarnwick.read_manifest(model),
      tarnwick.read_manifest_uri(model), len(tarnwick.__all__), flush=True)
"""

# Isolated interpreters (their own lock, extensions checked) appeared in
# 3.12; the modules that make them are private and moved in 3.13.
RUN_ISOLATED = """
def run_isolated(code):
    try:
        import _interpreters as xi
        interp = xi.create("isolated")
    except ImportError:
        import _xxsubinterpreters as xi
        interp = xi.create(isolated=True)
    try:
        failure = xi.run_string(interp, code)
        assert failure is None, failure
    finally:
        xi.destroy(interp)
"""


def run_interpreters(*steps):
    """Runs each step ("main", "legacy" or "isolated") in turn in a child
    process, so that a broken interpreter cannot disturb this one; returns
    the lines printed."""
    script = ["import _testcapi", RUN_ISOLATED]
    for i, step in enumerate(steps):
        code = USE_MODULE.format(path=sys.path, model=MINIMAL_GGUF, where=f"{i} {step}")
        if step == "main":
            script.append(code)
        elif step == "legacy":
            script.append(f"assert _testcapi.run_in_subinterp({code!r}) == 0")
        else:
            script.append(f"run_isolated({code!r})")
    run = subprocess.run([sys.executable, "-c", "\n".join(script)], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    return run.stdout.splitlines()


def expected_lines(*steps):
    return [f"{i} {step} GGUF b'store' urn:x 8" for i, step in enumerate(steps)]


@pytest.mark.parametrize("steps", [
    # A second sub-interpreter, and the main one after a sub-interpreter,
    # each get a working module of their own.
    ("legacy", "legacy", "main", "legacy"),
    ("main", "legacy", "main"),
])
def test_every_interpreter_gets_a_working_module(steps):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot run sub-interpreters from tests")
    assert run_interpreters(*steps) == expected_lines(*steps)


def test_isolated_interpreters_may_load_the_module():
    pytest.importorskip("_testcapi")
    if importlib.util.find_spec("_interpreters") is None and importlib.util.find_spec("_xxsubinterpreters") is None:
        pytest.skip("no interpreters with their own lock before 3.12")
    steps = ("isolated", "main", "isolated", "legacy")
    assert run_interpreters(*steps) == expected_lines(*steps)


EMBED_SOURCE = pathlib.Path(__file__).resolve().parent / "embed" / "reinit.cpp"

# Imports the module afresh each time, so that a sub-interpreter's import and
# the main interpreter's next one are both real.
EMBED_SCRIPT = """
import sys
sys.modules.pop("tarnwick", None)
sys.path[:0] = [{folder!r}]
import tarnwick
assert tarnwick.__file__ == {file!r}, tarnwick.__file__
model = tarnwick.embed_manifest_both({model!r}, "urn:x", b"store")
print(tarnwick.detect_format(model), tarnwick.read_manifest(model), tarnwick.read_manifest_uri(model),
      len(tarnwick.__all__), flush=True)
"""


def build_embedding_program(folder):
    """Compiles the embedding program against this interpreter's headers and
    library; returns its path, or skips the test saying why it cannot."""
    def cannot(reason):
        if os.environ.get("TARNWICK_EMBED_REQUIRED"):
            pytest.fail(reason)
        pytest.skip(reason)

    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    include, libdir = sysconfig.get_paths()["include"], sysconfig.get_config_var("LIBDIR")
    if compiler is None:
        cannot("no C++ compiler")
    if not os.path.exists(os.path.join(include, "Python.h")) or not libdir:
        cannot("no headers or library of this interpreter to embed it")
    program = folder / "reinit"
    command = [*shlex.split(compiler), "-std=c++20", "-O1", f"-I{include}", str(EMBED_SOURCE), "-o", str(program),
               f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{sysconfig.get_config_var('LDVERSION')}",
               *shlex.split(sysconfig.get_config_var("LIBS") or ""),
               *shlex.split(sysconfig.get_config_var("SYSLIBS") or "")]
    if sys.platform.startswith("linux"):
        # A static libpython must export its symbols to the extension module.
        command.append("-Wl,--export-dynamic")
    build = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if build.returncode != 0:
        cannot("cannot build the embedding program: " + (build.stderr.strip().splitlines() or ["?"])[-1])
    return program


def test_module_works_after_finalize_and_in_sub_interpreters(tmp_path):
    program = build_embedding_program(tmp_path)
    # The folder that holds the package.
    script = EMBED_SCRIPT.format(folder=os.path.dirname(os.path.dirname(tarnwick.__file__)), file=tarnwick.__file__,
                                 model=MINIMAL_GGUF)
    rounds = 3
    run = subprocess.run([str(program), str(rounds), script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    # Per round: the main interpreter, a sub-interpreter, the main one again.
    assert run.stdout.splitlines() == ["GGUF b'store' urn:x 8"] * (3 * rounds)


STUB_GOOD = """
import tarnwick
m: bytes = tarnwick.embed_manifest(b"", b"store")
b: bytes = tarnwick.embed_manifest_both(b"", "uri", b"store")
u: "str | None" = tarnwick.read_manifest_uri(m)
f: "str | None" = tarnwick.detect_format(m)
import pathlib
r: tarnwick.FileResult = tarnwick.embed_file(pathlib.Path("m.gguf"), uri="u", output="o.gguf")
size: int = r.size
i: "tuple[int, int] | None" = tarnwick.inspect(b"").store_range
"""

STUB_BAD = """
import tarnwick
tarnwick.read_manifest("not bytes")
tarnwick.read_file(b"model.gguf")
"""


def test_type_stubs_are_found_by_mypy(tmp_path):
    pytest.importorskip("mypy")
    stubs = os.path.join(os.path.dirname(tarnwick.__file__), "__init__.pyi")
    if not os.path.exists(stubs):
        pytest.skip("this tarnwick has no inline stubs")
    good = tmp_path / "good.py"
    bad = tmp_path / "bad.py"
    good.write_text(STUB_GOOD)
    bad.write_text(STUB_BAD)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--python-version",
         f"{sys.version_info[0]}.{sys.version_info[1]}", str(good), str(bad)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )
    lines = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert lines, run.stdout + run.stderr
    assert all(line.startswith(str(bad)) or "bad.py" in line for line in lines), run.stdout
    assert any('"read_manifest"' in line and '"bytes"' in line for line in lines), run.stdout
    assert any('"read_file"' in line for line in lines), run.stdout
    assert "missing library stubs" not in run.stdout
    assert "import-not-found" not in run.stdout and "import-untyped" not in run.stdout


OUT_OF_MEMORY = """
import resource, struct, tarnwick
model = b"GGUF" + struct.pack("<IQQ", 3, 0, 0) + bytes(8)
store = bytes(64 << 20)
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
# Room for small allocations, none for another copy of the store.
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), resource.RLIM_INFINITY))
try:
    tarnwick.embed_manifest(model, store)
    print("no error")
except MemoryError:
    print("MemoryError")
print(tarnwick.detect_format(model))
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or "libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="needs Linux address-space limits, without AddressSanitizer's reservations")
def test_allocation_failure_raises_memory_error():
    run = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["MemoryError", "GGUF"]


def test_import_loads_no_ctypes_nor_http_client():
    # Signing and verifying come in on first use: an isolated sub-interpreter
    # cannot load ctypes, and a reader should not pay for the SDK.
    code = "import sys, tarnwick; print(sorted({'ctypes', 'urllib.request'} & set(sys.modules)))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout == "[]\n"
