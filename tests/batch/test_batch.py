"""tarnwick.batch on this machine's threads, and `tarnwick verify|sign
--from LIST`: a row for every model, in order, each what verify_file or
verify_model says of it; the exit status the worst."""

import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
pytest.importorskip("gguf")
pytest.importorskip("onnx")
pytest.importorskip("safetensors")
import tarnwick  # noqa: E402
import tarnwick.batch as batch  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import corpus  # noqa: E402
import credentials  # noqa: E402

from program import tarnwick_program  # noqa: E402


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    chain, key, ca = credentials.credentials()
    folder = tmp_path_factory.mktemp("creds")
    for name, data in (("chain.pem", chain), ("key.pem", key), ("ca.pem", ca)):
        (folder / name).write_bytes(data)
    return chain, key, ca, folder


@pytest.fixture(scope="module")
def models(creds, tmp_path_factory):
    return corpus.build(tmp_path_factory.mktemp("models"), creds[0], creds[1])


def test_every_row_in_order_as_verified_alone(models, creds):
    rows = list(batch.verify(models, trust=creds[2], workers=4))
    assert [r.model for r in rows] == models
    states = set()
    for path, row in zip(models, rows):
        state, result = corpus.direct(path, creds[2])
        assert (row.state, row.result) == (state, result), path
        assert (row.error is None) == (state != "error") and row.attempts == 1 and row.seconds >= 0
        states.add(state)
    assert states == {"trusted", "invalid", "unsigned", "error"}


@pytest.mark.parametrize("text, expected", [
    ("a\nb\n", ["a", "b"]),
    ("# models\n\n  a  \n#b\nc", ["  a  ", "c"]),
    ("", []),
])
def test_read_list(text, expected):
    assert batch.read_list(text) == expected


@pytest.mark.parametrize("kwargs, message", [
    ({"engine": "spark"}, "unknown engine"),
    ({"workers": 0}, "workers must be at least 1"),
    ({"retries": -1}, "retries must be at least 0"),
    ({"signer": "XX=1"}, "XX"),
])
def test_wrong_arguments_are_refused_at_the_call(kwargs, message):
    with pytest.raises(tarnwick.UsageError, match=message):
        batch.verify(["x"], **kwargs)


def test_ray_engine_without_ray(monkeypatch):
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(tarnwick.UsageError, match=r"pip install 'tarnwick\[ray\]'"):
        batch.verify(["x"], engine="ray")


def stopping(kind, model, options):
    if os.path.basename(model) == "stop":
        time.sleep(0.2)
        raise KeyboardInterrupt
    return batch._work(kind, model, options)


def test_a_stop_still_hands_back_what_finished(tmp_path):
    rows = []
    with pytest.raises(KeyboardInterrupt):
        for row in batch._run("verify", ["a", "b", "stop", "c", "d"], {}, "thread", 5, None, 0, stopping):
            rows.append(row.model)
    assert rows == ["a", "b"]


def test_sign_in_place_then_verify(creds, tmp_path):
    paths = []
    for sample in corpus.SAMPLES:
        paths.append(tmp_path / sample)
        paths[-1].write_bytes((corpus.ROOT / "examples" / "models" / sample).read_bytes())
    paths.append(tmp_path / "missing.gguf")
    rows = list(batch.sign(paths, cert=creds[0], key=creds[1], workers=2))
    assert [r.state for r in rows] == ["signed"] * 3 + ["error"]
    assert [r.result.path for r in rows[:3]] == [str(p) for p in paths[:3]] and rows[3].io_error
    assert [r.state for r in batch.verify(paths[:3], trust=creds[2])] == ["trusted"] * 3


def cli(*args, stdin=None):
    return subprocess.run([tarnwick_program(), *map(str, args)], capture_output=True, text=True, input=stdin)


@pytest.mark.parametrize("want, status", [("trusted", 0), ("unsigned", 3), ("invalid", 1), ("all", 1)])
def test_cli_verify_from_list(models, creds, tmp_path, want, status):
    chosen = [m for m in models if want == "all" or corpus.direct(m, creds[2])[0] == want]
    listing = tmp_path / "list"
    listing.write_text("# the batch\n\n" + "\n".join(chosen) + "\n")
    r = cli("verify", "--from", listing, "--trust", creds[3] / "ca.pem", "--workers", 3)
    assert r.returncode == status, r.stderr
    lines = [json.loads(line) for line in r.stdout.splitlines()]
    assert [d.get("path", d.get("model")) for d in lines] == chosen
    assert all(d["seconds"] >= 0 for d in lines)
    assert f"{len(chosen)} models" in r.stderr


def test_cli_reads_standard_input(models, creds):
    r = cli("verify", "--from", "-", "--trust", creds[3] / "ca.pem", stdin="\n".join(models[:5]))
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert [d.get("path", d.get("model")) for d in rows] == models[:5]


@pytest.mark.parametrize("args", [
    ["sign", "--from", "LIST", "-o", "out", "--cert", "c", "--key", "k"],
    ["sign", "--from", "LIST", "--cert", "c", "--key", "k"],
    ["sign", "--from", "LIST", "MODEL", "--in-place", "--cert", "c", "--key", "k"],
    ["verify", "--from", "LIST", "MODEL"],
    ["verify", "--from", "LIST", "--engine", "spark"],
    ["verify", "--from", "LIST", "--address", "ray://head:10001"],
    ["verify", "--from", "LIST", "--manifest", "store.c2pa"],
    ["verify"],
])
def test_cli_usage(args):
    assert cli(*args).returncode == 2


def test_cli_sign_from_list(creds, tmp_path):
    path = tmp_path / "model.gguf"
    path.write_bytes((corpus.ROOT / "examples" / "models" / "model.gguf").read_bytes())
    r = cli("sign", "--from", "-", "--in-place", "--cert", creds[3] / "chain.pem", "--key", creds[3] / "key.pem",
            stdin=f"{path}\n{tmp_path / 'missing.gguf'}\n")
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert r.returncode == 4 and rows[0]["path"] == str(path) and rows[0]["label"] and rows[1]["state"] == "error"
    assert tarnwick.verify_file(path, trust=creds[2]).state == "trusted"
