"""A batch of 40 small models for the batch tests: the shipped sample files
copied, most signed, some of those tampered, some left unsigned; three
models of many files (two signed, one not); one path that does not exist."""

import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE.parent / "many"))
import models  # noqa: E402

SAMPLES = ["model.gguf", "model.onnx", "model.safetensors"]


def tamper(path):
    """One byte of the weights changed: the last byte of a GGUF or
    SafeTensors file is tensor data."""
    data = bytearray(path.read_bytes())
    data[-1] ^= 0xFF
    path.write_bytes(data)


def build(folder, cert, key, count=40):
    """(models, expected states are left to the caller): the list of paths,
    in a fixed order mixing every kind."""
    import tarnwick
    folder = pathlib.Path(folder)
    out = []
    files = count - 4
    for i in range(files):
        sample = SAMPLES[i % 3]
        path = folder / f"m{i:02d}-{sample}"
        shutil.copyfile(ROOT / "examples" / "models" / sample, path)
        if i % 6 != 5:  # one in six unsigned
            tarnwick.sign_file(path, cert=cert, key=key)
            if i % 7 == 3 and not sample.endswith(".onnx"):
                tamper(path)
        out.append(str(path))
    for n, kind in enumerate(("safetensors", "gguf", "onnx")):
        entry = pathlib.Path(getattr(models, kind + "_model")(str(folder / f"many-{kind}"), seed=n))
        if kind != "onnx":
            tarnwick.sign_model(entry, cert=cert, key=key)
        out.insert(7 * n + 2, str(entry.parent if kind == "safetensors" else entry))
    out.insert(20, str(folder / "no-such-model.gguf"))
    return out


def direct(path, trust):
    """What verify_file or verify_model says of one model: (state, result)."""
    import tarnwick
    from tarnwick._model import is_model
    try:
        if is_model(path):
            v = tarnwick.verify_model(path, trust=trust)
        else:
            v = tarnwick.verify_file(path, trust=trust)
    except Exception:  # noqa: BLE001 - an error row
        return "error", None
    return v.state, v
