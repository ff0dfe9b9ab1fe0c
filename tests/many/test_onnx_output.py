"""embed and strip of an ONNX model with external data into another folder
are refused (its data files stay behind), from Python and from the CLI; into
the model's own folder, or for a model without external data, they go on."""

import os
import pathlib
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

import tarnwick  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
import models  # noqa: E402
from protowire import field_bytes, field_varint  # noqa: E402

from program import tarnwick_program  # noqa: E402
REFUSAL = ("the ONNX model keeps tensors in external data files, which are not copied with it: write the output "
           "into the model's own folder, or sign the whole model into a new folder (tarnwick sign -o DIR, "
           "sign_model(..., output=DIR))")


def external(name):
    """A tensor that says its data lies in another file."""
    t = numpy_helper.from_array(np.ones((2,), np.float32), name)
    t.ClearField("raw_data")
    t.data_location = TensorProto.EXTERNAL
    for key, value in (("location", "w.bin"), ("offset", "0"), ("length", "8")):
        entry = t.external_data.add()
        entry.key, entry.value = key, value
    return t


def inline(name):
    return numpy_helper.from_array(np.ones((2,), np.float32), name)


def graph(nodes=(), initializers=(), sparse=(), name="g"):
    return helper.make_graph(list(nodes), name, [], [helper.make_tensor_value_info("y", TensorProto.FLOAT, [2])],
                             list(initializers), sparse_initializer=list(sparse))


def save(folder, g, functions=()):
    os.makedirs(folder, exist_ok=True)
    m = helper.make_model(g, functions=list(functions))
    path = os.path.join(folder, "model.onnx")
    onnx.save_model(m, path)
    return path


def saved_as_external(folder):
    return models.onnx_model(folder)


def in_initializer(folder):
    return save(folder, graph(initializers=[external("w")]))


def in_sparse_initializer(folder):
    sparse = helper.make_sparse_tensor(external("v"), numpy_helper.from_array(np.array([0], np.int64), "i"), [4])
    return save(folder, graph(sparse=[sparse]))


def in_attribute(folder):
    return save(folder, graph([helper.make_node("Constant", [], ["y"], value=external("c"))]))


def in_subgraph(folder):
    inner = graph([helper.make_node("Constant", [], ["y"], value=external("c"))], name="inner")
    return save(folder, graph([helper.make_node("If", ["x"], ["y"], then_branch=inner, else_branch=inner)]))


def in_function(folder):
    f = helper.make_function("local", "f", [], ["y"], [helper.make_node("Constant", [], ["y"], value=external("c"))],
                             [helper.make_opsetid("", 13)])
    return save(folder, graph(), functions=[f])


def all_inline(folder):
    inner = graph([helper.make_node("Constant", [], ["y"], value=inline("c"))], name="inner")
    return save(folder, graph([helper.make_node("If", ["x"], ["y"], then_branch=inner, else_branch=inner)],
                              initializers=[inline("w")]))


MODELS = {f.__name__: f for f in (saved_as_external, in_initializer, in_sparse_initializer, in_attribute,
                                  in_subgraph, in_function)}


def py_embed(model, out):
    tarnwick.embed_file(model, store=b"store", output=out)


def py_strip(model, out):
    tarnwick.strip_file(model, output=out)


def cli(command):
    def run(model, out):
        extra = ["--reserve", "16"] if command == "embed" else []
        r = subprocess.run([tarnwick_program(), command, *extra, model, "-o", out], capture_output=True, text=True)
        if r.returncode != 0:
            raise ValueError((r.returncode, r.stderr))
    run.__name__ = f"cli_{command}"
    return run


WRITERS = [py_embed, py_strip, cli("embed"), cli("strip")]


@pytest.mark.parametrize("make", MODELS.values(), ids=MODELS.keys())
@pytest.mark.parametrize("write", WRITERS, ids=lambda w: w.__name__)
def test_into_another_folder_refused(tmp_path, make, write):
    model = make(str(tmp_path / "a"))
    os.makedirs(tmp_path / "b")
    with pytest.raises(ValueError) as e:
        write(model, str(tmp_path / "b" / "out.onnx"))
    if write.__name__.startswith("cli"):
        assert e.value.args[0] == (2, f"tarnwick {write.__name__[4:]}: '{model}': {REFUSAL}\n"
                                      f"Try 'tarnwick {write.__name__[4:]} --help'.\n")
    else:
        assert str(e.value) == f"{model!r}: {REFUSAL}"
    assert not (tmp_path / "b" / "out.onnx").exists()


@pytest.mark.parametrize("write", WRITERS, ids=lambda w: w.__name__)
@pytest.mark.parametrize("make, where", [
    (saved_as_external, "a/out.onnx"),           # its own folder
    (saved_as_external, "link/out.onnx"),        # the same folder by another name
    (all_inline, "b/out.onnx"),                  # nothing outside the file
])
def test_allowed(tmp_path, make, where, write):
    model = make(str(tmp_path / "a"))
    os.makedirs(tmp_path / "b")
    os.symlink(tmp_path / "a", tmp_path / "link")
    write(model, str(tmp_path / where))
    assert tarnwick.inspect(str(tmp_path / where)).format == "ONNX"


@pytest.mark.parametrize("depth, refused", [(64, False), (65, True)])
def test_graph_nesting_capped(tmp_path, depth, refused):
    # Written by hand: protobuf's own decoder stops at a lower depth.
    g = field_bytes(5, field_varint(14, 0))  # an initializer kept inside
    for _ in range(depth):
        g = field_bytes(1, field_bytes(5, field_bytes(6, g)))  # node -> attribute -> g
    os.makedirs(tmp_path / "a")
    os.makedirs(tmp_path / "b")
    model = str(tmp_path / "a" / "model.onnx")
    pathlib.Path(model).write_bytes(field_varint(1, 8) + field_bytes(7, g))
    out = str(tmp_path / "b" / "out.onnx")
    if not refused:
        tarnwick.embed_file(model, store=b"store", output=out)
        return
    with pytest.raises(ValueError) as e:
        tarnwick.embed_file(model, store=b"store", output=out)
    assert str(e.value) == f"malformed model container: ONNX graphs nested too deeply: {model!r}"


NO_LOCATION = "malformed model container: a tensor's data is EXTERNAL but it names no location"


@pytest.mark.parametrize("write", WRITERS, ids=lambda w: w.__name__)
def test_external_data_that_cannot_be_told_refused(tmp_path, write):
    # Which files the model needs cannot be told: refused as if it had some.
    os.makedirs(tmp_path / "a")
    os.makedirs(tmp_path / "b")
    model = str(tmp_path / "a" / "model.onnx")
    pathlib.Path(model).write_bytes(field_varint(1, 8) + field_bytes(7, field_bytes(5, field_varint(14, 1))))
    with pytest.raises(ValueError) as e:
        write(model, str(tmp_path / "b" / "out.onnx"))
    if write.__name__.startswith("cli"):
        assert e.value.args[0] == (1, f"{model}: {NO_LOCATION}\n")
    else:
        assert str(e.value) == f"{NO_LOCATION}: {model!r}"
    assert not (tmp_path / "b" / "out.onnx").exists()
    # `info` hands it to the Python entry point, which names the member.
    r = subprocess.run([tarnwick_program(), "info", model], capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (1, f"{model}: {NO_LOCATION}\n")
