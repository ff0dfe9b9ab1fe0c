"""The installed wheel's `tarnwick sign` and `verify`: the native program
finds the entry point pip put beside it, in a venv and in a --user install,
and without the c2pa extra both say what to install.

Needs a built wheel: TARNWICK_WHEEL names it (.ci/run sets it)."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

WHEEL = os.environ.get("TARNWICK_WHEEL")
if not WHEEL:
    pytest.skip("TARNWICK_WHEEL names no built wheel", allow_module_level=True)

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models" / "model.gguf"
MISSING = "tarnwick sign needs the C2PA SDK: pip install 'tarnwick[c2pa]'"


def run(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=600, **kw)


def install(tmp_path, how):
    """Installs the wheel; returns the scripts folder and the environment."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TARNWICK_CLI")}
    if how == "user":
        env["PYTHONUSERBASE"] = str(tmp_path / "user")
        r = run(sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--user", WHEEL, env=env)
        assert r.returncode == 0, r.stderr
        return tmp_path / "user" / "bin", env
    venv = tmp_path / "venv"
    flags = ["--system-site-packages"] if how == "venv" else []
    assert run(sys.executable, "-m", "venv", *flags, venv).returncode == 0
    r = run(venv / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-deps", "--ignore-installed", WHEEL, env=env)
    assert r.returncode == 0, r.stderr
    return venv / "bin", env


@pytest.mark.parametrize("how", ["venv", "user"])
def test_sign_and_verify_through_the_installed_program(tmp_path, how):
    pytest.importorskip("c2pa")
    import credentials
    chain, key, ca = credentials.credentials()
    for name, data in (("chain.pem", chain), ("key.pem", key), ("ca.pem", ca)):
        (tmp_path / name).write_bytes(data)
    scripts, env = install(tmp_path, how)
    shutil.copy(SAMPLE, tmp_path / "m.gguf")
    # From an unrelated folder and with no PATH entry for the scripts.
    r = run(scripts / "tarnwick", "sign", tmp_path / "m.gguf", "--cert", tmp_path / "chain.pem",
            "--key", tmp_path / "key.pem", "--in-place", env=env, cwd="/")
    assert r.returncode == 0, r.stderr
    r = run(scripts / "tarnwick", "verify", tmp_path / "m.gguf", "--trust", tmp_path / "ca.pem", env=env, cwd="/")
    assert (r.returncode, r.stdout.splitlines()[0]) == (
        0, f"{tmp_path / 'm.gguf'}: trusted: intact, well signed, and the signer chains to a trust anchor")


def test_without_the_extra(tmp_path):
    scripts, env = install(tmp_path, "bare")
    shutil.copy(SAMPLE, tmp_path / "m.gguf")
    r = run(scripts / "tarnwick", "sign", tmp_path / "m.gguf", "--cert", "c", "--key", "k", "--in-place", env=env)
    assert (r.returncode, r.stderr) == (2, MISSING + "\n")
    r = run(scripts / "tarnwick", "verify", tmp_path / "m.gguf", env=env)
    assert (r.returncode, r.stderr) == (2, MISSING.replace("sign", "verify") + "\n")
    code = ("import tarnwick\ntry:\n    tarnwick.sign_file('m.gguf', cert=b'', key=b'')\n"
            "except ImportError as e:\n    print(e)\nprint(tarnwick.inspect('m.gguf').format)")
    r = run(scripts / "python", "-c", code, env=env, cwd=tmp_path)
    assert r.stdout.splitlines() == [MISSING, "GGUF"], r.stderr
