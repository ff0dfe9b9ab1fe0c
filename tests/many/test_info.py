"""`tarnwick info` on the entry file of a model of many files lists its
members; a plain file is described as before."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("gguf")
pytest.importorskip("onnx")
pytest.importorskip("safetensors")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import models  # noqa: E402

from program import tarnwick_program  # noqa: E402

ST = [f"model-0000{i}-of-00003.safetensors" for i in (1, 2, 3)]
GG = [f"tiny-0000{i}-of-00003.gguf" for i in (1, 2, 3)]
CASES = {
    "safetensors": (models.safetensors_model, ["model.safetensors.index.json  (data, hashed whole)"]
                    + [f"{n}  (SafeTensors, no store)" for n in ST], "model.c2pa"),
    "gguf": (models.gguf_model, [f"{n}  (GGUF, no store)" for n in GG], "tiny.c2pa"),
    "onnx": (models.onnx_model, ["model.onnx  (ONNX, no store)", "weights.bin  (data, hashed whole)"], "model.c2pa"),
}


def info(*args):
    r = subprocess.run([tarnwick_program(), "info", *map(str, args)], capture_output=True, text=True)
    return r.returncode, r.stdout, r.stderr


@pytest.mark.parametrize("kind", CASES)
def test_members_listed(tmp_path, kind):
    make, members, store = CASES[kind]
    entry = make(str(tmp_path / "m"))
    given = entry
    status, out, err = info(given)
    assert (status, err) == (0, "")
    assert out.splitlines() == [given, f"  entry:       {os.path.basename(entry)}",
                                f"  files:       {len(members)} files"] + [f"    {m}" for m in members] + \
        [f"  manifest:    {store} (none: the model is not signed as a whole)"]
    status, out, err = info("--json", given)
    doc = json.loads(out)
    assert (status, doc["path"], doc["entry"]) == (0, given, os.path.basename(entry))
    assert [m["path"] for m in doc["members"]] == [m.split("  ")[0] for m in members]


def test_a_plain_file_beside_a_model(tmp_path):
    entry = models.onnx_model(str(tmp_path / "m"))
    shard = models.safetensors_model(str(tmp_path / "s")).replace("model.safetensors.index.json", ST[0])
    status, out, _ = info(shard, entry)
    assert status == 0
    assert out.split("\n\n")[0].splitlines() == [shard, "  format:      SafeTensors",
                                                 "  model type:  c2pa.types.model", "  store:       none",
                                                 "  uri:         none"]
    assert "  files:       2 files" in out.split("\n\n")[1]
