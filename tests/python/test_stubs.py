"""The type stubs against the running module: what mypy accepts runs, and what
fails at run time mypy rejects. stubtest (.ci/run) compares the rest."""

import json
import subprocess
import sys

import pytest

import tarnwick

pytest.importorskip("mypy")

# Run as written; the model is a GGUF file with a store.
ACCEPTED = """
import json
import sys
from tarnwick import *
import tarnwick

model = embed_manifest(open(sys.argv[1], "rb").read(), b"store")
info = tarnwick.inspect(model)
kind, asset, size, uri, where = info
assert (kind, size, uri) == ("GGUF", 5, None)
if info.store_range is not None:
    offset, length = info.store_range
text = json.dumps(list(info))
pair: "tuple[str, str]" = info[:2]
fields: int = tarnwick.ModelInfo.n_fields
assert fields == 5 and isinstance(info, tuple)
print(type(tarnwick.__version__).__name__, detect_format(model))
"""

# Each line fails at run time, and mypy must say so.
REJECTED = [
    "json.dumps(tarnwick.inspect(model)._asdict())",
    "tarnwick.inspect(model)._replace(format='ONNX')",
    "tarnwick.inspect(model)._fields",
    "tarnwick.inspect(model).format = 'ONNX'",
    "tarnwick.BindingCheck._make([True])",
    "class Sub(tarnwick.FileResult): pass",
]

MODEL = b"GGUF" + (3).to_bytes(4, "little") + bytes(16) + bytes(8)


def test_what_mypy_accepts_runs_and_what_it_rejects_fails(tmp_path):
    for line in REJECTED:
        with pytest.raises((AttributeError, TypeError)):
            exec(line, {"json": json, "tarnwick": tarnwick, "model": MODEL})
    model = tmp_path / "m.gguf"
    model.write_bytes(MODEL)
    accepted = tmp_path / "accepted.py"
    accepted.write_text(ACCEPTED)
    run = subprocess.run([sys.executable, str(accepted), str(model)], capture_output=True, text=True,
                         timeout=60, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (0, "str GGUF\n"), run.stderr

    rejected = []
    for i, line in enumerate(REJECTED):
        rejected.append(tmp_path / f"rejected_{i}.py")
        rejected[-1].write_text(f"import json\nimport tarnwick\nmodel = b''\n{line}\n")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version",
         f"{sys.version_info[0]}.{sys.version_info[1]}", accepted.name, *(path.name for path in rejected)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert "import-not-found" not in run.stdout and "import-untyped" not in run.stdout, run.stdout
    assert not [e for e in errors if e.startswith(accepted.name)], run.stdout
    for path in rejected:
        assert [e for e in errors if e.startswith(f"{path.name}:4:")], (path.read_text(), run.stdout)


@pytest.mark.parametrize("name", ["ModelInfo", "FileResult", "BindingCheck"])
def test_struct_sequence_fields_in_the_stubs_order(name):
    # stubtest sees the properties but not their order, nor __match_args__.
    import ast
    import pathlib

    stubs = pathlib.Path(tarnwick.__file__).with_name("__init__.pyi")
    if not stubs.exists():
        pytest.skip("this tarnwick has no inline stubs")
    cls = next(node for node in ast.parse(stubs.read_text()).body
               if isinstance(node, ast.ClassDef) and node.name == name)
    props = [f.name for f in cls.body if isinstance(f, ast.FunctionDef)]
    match_args = ast.literal_eval(next(node for node in ast.walk(cls)
                                       if isinstance(node, ast.AnnAssign)).value)
    arity = len(cls.bases[1].slice.elts)
    runtime = getattr(tarnwick, name)
    numbered = runtime(range(runtime.n_fields))
    assert props == list(match_args) == sorted(props, key=lambda p: getattr(numbered, p))
    assert len(props) == arity == runtime.n_fields == runtime.n_sequence_fields
    assert getattr(runtime, "__match_args__", match_args) == match_args
