"""The command line as one program: help and mistyped commands, the exit
statuses and messages of every command, one JSON shape for every row, the
progress line on a terminal, the expiry warning, --alone on a split."""

import json
import os
import pathlib
import pty
import re
import shutil
import struct
import subprocess
import sys

import pytest

pytest.importorskip("c2pa")
x509 = pytest.importorskip("cryptography.x509")
tarnwick = pytest.importorskip("tarnwick")

import credentials  # noqa: E402
from program import tarnwick_program  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "many"))
import models  # noqa: E402

CLI = tarnwick_program()
SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"


def run(*args, stdin=None):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=300, input=stdin)


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    folder = tmp_path_factory.mktemp("creds")
    for name, data in zip(("chain.pem", "key.pem", "ca.pem"), credentials.credentials()):
        (folder / name).write_bytes(data)
    return folder


@pytest.fixture
def keys(creds):
    return ["--cert", creds / "chain.pem", "--key", creds / "key.pem"]


@pytest.fixture
def place(tmp_path, creds):
    """Every kind of model the table names, by name."""
    shutil.copy(SAMPLES / "model.gguf", tmp_path / "plain.gguf")
    tarnwick.sign_file(tmp_path / "plain.gguf", cert=creds / "chain.pem", key=creds / "key.pem",
                       output=tmp_path / "signed.gguf")
    (tmp_path / "junk.gguf").write_bytes(b"not a model")
    (tmp_path / "empty").mkdir()
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "README.md").write_text("a folder without a model")
    return tmp_path


def expiry(creds):
    leaf = x509.load_pem_x509_certificates((creds / "chain.pem").read_bytes())[0]
    return leaf.not_valid_after_utc.strftime("%Y-%m-%d")


# --- help and mistyped commands ----------------------------------------------------

@pytest.mark.parametrize("command", ["sign", "verify", "info", "embed", "read", "strip"])
def test_help_is_the_same_both_ways(command):
    by_help, by_option = run("help", command), run(command, "--help")
    assert (by_help.returncode, by_help.stdout, by_help.stderr) == (0, by_option.stdout, "")
    assert by_help.stdout.startswith(f"usage: tarnwick {command} ") and "\noptions:\n" in by_help.stdout


def test_every_option_sign_and_verify_take_is_in_their_help():
    from tarnwick import _cli
    for command, parser in (("sign", _cli._sign_parser()), ("verify", _cli._verify_parser())):
        options = {o for action in parser._actions for o in action.option_strings}
        assert {o for o in options if o not in _cli.HELP[command]} == set(), command


MISTYPED = [("sgin", "sign"), ("verfy", "verify"), ("inof", "info"), ("stirp", "strip"), ("hepl", "help")]


@pytest.mark.parametrize("typed, meant", MISTYPED)
def test_a_mistyped_command_gets_did_you_mean(typed, meant):
    r = run(typed, "model.gguf")
    assert (r.returncode, r.stderr) == (
        2, f"tarnwick: unknown command '{typed}'\nDid you mean '{meant}'?\nTry 'tarnwick --help'.\n")


# --- exit statuses and messages: one table across commands ---------------------------

def usage(command, text):
    return f"tarnwick {command}: {text}\nTry 'tarnwick {command} --help'.\n"


# (arguments; {m} is the test's folder, KEYS the signing options), status, stderr
STATUSES = {
    "verify trusted": (["verify", "{m}/signed.gguf", "--trust", "CA"], 0, ""),
    "verify untrusted, required": (["verify", "{m}/signed.gguf", "--require-trusted"], 1, ""),
    "verify unsigned": (["verify", "{m}/plain.gguf"], 3, ""),
    "verify missing": (["verify", "{m}/none.gguf"], 4, "{m}/none.gguf: No such file or directory\n"),
    "sign missing": (["sign", "{m}/none.gguf", "KEYS", "--in-place"], 4,
                     "{m}/none.gguf: No such file or directory\n"),
    "info missing": (["info", "{m}/none.gguf"], 4, "{m}/none.gguf: No such file or directory\n"),
    "verify not a model": (["verify", "{m}/junk.gguf"], 1,
                           "{m}/junk.gguf: malformed model container: not a GGUF file\n"),
    "sign not a model": (["sign", "{m}/junk.gguf", "KEYS", "--in-place"], 1,
                         "{m}/junk.gguf: malformed model container: not a GGUF file\n"),
    "info not a model": (["info", "{m}/junk.gguf"], 1, "{m}/junk.gguf: unrecognized ML model container format\n"),
    "verify empty folder": (["verify", "{m}/empty"], 1, "{m}/empty: an empty folder: no model to verify\n"),
    "sign empty folder": (["sign", "{m}/empty", "KEYS", "--in-place"], 1,
                          "{m}/empty: an empty folder: no model to sign\n"),
    "verify folder without a model": (
        ["verify", "{m}/notes"], 1, "{m}/notes: no model file in the folder (a .safetensors, .gguf or .onnx file, "
        "or a SafeTensors index) among its 1 file\n"),
    "engine without --from": (["verify", "{m}/signed.gguf", "--engine", "ray"], 2,
                              usage("verify", "--engine goes with --from LIST")),
    "workers without --from": (["sign", "{m}/plain.gguf", "KEYS", "--in-place", "--workers", "2"], 2,
                               usage("sign", "--workers goes with --from LIST")),
    "no output": (["sign", "{m}/plain.gguf", "KEYS"], 2, usage("sign", "give -o OUT or --in-place")),
    "ignore on one file": (["verify", "{m}/signed.gguf", "--ignore", "*.md"], 2,
                           usage("verify", "--ignore goes with a model of many files (a folder or its entry file)")),
    "verbose with json": (["verify", "{m}/signed.gguf", "--verbose", "--json"], 2,
                          usage("verify", "--verbose goes with the human lines, not --json")),
    "unknown option": (["verify", "{m}/signed.gguf", "--bogus"], 2, usage("verify", "unknown option '--bogus'")),
    "embed unknown option": (["embed", "{m}/plain.gguf", "--bogus"], 2, usage("embed", "unknown option '--bogus'")),
    "read without a store": (["read", "{m}/plain.gguf", "-o", "{m}/out.c2pa"], 3,
                             "{m}/plain.gguf: no C2PA manifest found in model\n"),
}


@pytest.mark.parametrize("case", STATUSES)
def test_exit_statuses_and_messages(case, place, keys, creds):
    args, status, stderr = STATUSES[case]
    given = []
    for a in args:
        given += keys if a == "KEYS" else [creds / "ca.pem"] if a == "CA" else [a.format(m=place)]
    r = run(*given)
    assert (r.returncode, r.stderr) == (status, stderr.format(m=place))


def test_a_refused_connection_could_not_be_read():
    url = "http://127.0.0.1:1/model.gguf"
    r = run("verify", url)
    assert r.returncode == 4 and r.stderr.count(url) == 1 and "Connection refused" in r.stderr


# --- one JSON shape ----------------------------------------------------------------

STATES = {"trusted", "valid", "invalid", "unsigned", "unverified", "signed", "inspected", "written", "error"}


def check_failures(failures):
    assert isinstance(failures, list)
    for f in failures:
        assert set(f) == {"code", "explanation"} and all(isinstance(v, str) for v in f.values()), f


def check_row(row):
    """The shape every row shares, and what it nests."""
    assert isinstance(row["path"], str) and row["state"] in STATES, row
    if row["state"] == "error" or "failures" in row:
        check_failures(row["failures"])
    if row["state"] == "error":
        assert len(row["failures"]) == 1
    for m in row.get("members", ()):
        assert isinstance(m["path"], str) and ("state" not in m or m["state"] in STATES)
        check_failures(m.get("failures", []))
    for i in row.get("ingredients", ()):
        check_failures(i["failures"])
    if isinstance(row.get("manifest"), dict) and "state" in row["manifest"]:
        check_row(row["manifest"])


def test_every_command_prints_rows_of_one_shape(place, keys, creds, tmp_path):
    folder = pathlib.Path(models.safetensors_model(str(tmp_path / "st"))).parent
    listing = "\n".join([str(place / "plain.gguf"), str(place / "none.gguf")])
    outputs = [
        run("sign", folder, *keys, "-o", tmp_path / "st-signed", "--json"),
        run("sign", place / "plain.gguf", *keys, "-o", tmp_path / "one.gguf", "--json"),
        run("verify", "--json", "--trust", creds / "ca.pem", tmp_path / "st-signed", place / "signed.gguf",
            place / "plain.gguf", place / "none.gguf"),
        run("info", "--json", tmp_path / "st-signed", place / "signed.gguf", place / "junk.gguf"),
        run("embed", place / "plain.gguf", "--uri", "https://example.com/m.c2pa", "-o", tmp_path / "e.gguf",
            "--json"),
        run("verify", "--from", "-", "--trust", creds / "ca.pem", stdin=listing),
        run("sign", "--from", "-", *keys, "--in-place", stdin=listing),
    ]
    rows = []
    for r in outputs:
        text = r.stdout.strip()
        if text.startswith("{\n"):
            rows += json.loads(text)["models"]
        else:
            rows += [json.loads(line) for line in text.splitlines()]
    for row in rows:
        check_row(row)
    states = [row["state"] for row in rows]
    assert states == ["signed", "signed", "trusted", "trusted", "unsigned", "error", "inspected", "inspected",
                      "error", "written", "unsigned", "error", "signed", "error"]
    assert rows[0]["path"] == str(tmp_path / "st-signed") and rows[0]["manifest"] == str(
        tmp_path / "st-signed" / "model.c2pa")


# --- the progress line, the expiry warning, --alone ------------------------------------

def sparse_gguf(path, tensor_bytes):
    """A GGUF model of one tensor whose data is a hole: large, and free."""
    def string(s):
        return struct.pack("<Q", len(s)) + s.encode()
    head = b"GGUF" + struct.pack("<IQQ", 3, 1, 1) + string("general.architecture") + struct.pack("<I", 8) + \
        string("big") + string("weight") + struct.pack("<IQIQ", 1, tensor_bytes // 4, 0, 0)
    head += bytes(-len(head) % 32)
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(len(head) + tensor_bytes)
    return path


def drain(master):
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
    return drawn.decode()


def on_terminal(*args):
    """(status, what reached the terminal on standard error)."""
    master, slave = pty.openpty()
    p = subprocess.Popen([CLI, *map(str, args)], stdout=subprocess.DEVNULL, stderr=slave, stdin=subprocess.DEVNULL)
    os.close(slave)
    drawn = drain(master)
    return p.wait(timeout=300), drawn


def test_progress_on_a_terminal_only(tmp_path, keys, creds):
    model = sparse_gguf(tmp_path / "big.gguf", 300 << 20)
    status, drawn = on_terminal("sign", model, *keys, "-o", tmp_path / "signed.gguf")
    assert status == 0, drawn
    assert re.search(r"\r300\.0 MiB / 300\.0 MiB  100%  [\d.]+ [MG]iB/s  0:00 left\x1b\[K\r\n", drawn), drawn
    assert "left" not in on_terminal("sign", model, *keys, "-o", tmp_path / "quiet.gguf", "--quiet")[1]
    assert "left" not in run("sign", model, *keys, "-o", tmp_path / "piped.gguf").stderr
    # A batch: a human line a model on a terminal.
    master, slave = pty.openpty()
    listing = f"{tmp_path / 'signed.gguf'}\n{tmp_path / 'none.gguf'}\n"
    p = subprocess.run([CLI, "verify", "--from", "-", "--trust", creds / "ca.pem"], input=listing.encode(),
                       stdout=slave, stderr=subprocess.PIPE, timeout=300)
    os.close(slave)
    assert p.returncode == 4
    assert drain(master).splitlines() == [f"{tmp_path / 'signed.gguf'}: trusted",
                                          f"{tmp_path / 'none.gguf'}: No such file or directory"]


def test_signing_without_a_time_stamp_warns_of_the_expiry(place, keys, creds):
    r = run("sign", place / "plain.gguf", *keys, "--in-place")
    assert (r.returncode, r.stderr) == (0, f"tarnwick sign: the signature turns invalid when the certificate "
                                           f"expires on {expiry(creds)}: sign with --tsa URL to time-stamp it\n")


def test_alone_signs_one_split(tmp_path, keys, creds):
    entry = pathlib.Path(models.gguf_model(str(tmp_path / "gg")))
    second = entry.parent / entry.name.replace("00001-of", "00002-of")
    assert run("sign", second, *keys, "--in-place").returncode == 1  # a split is signed with its model
    r = run("sign", second, *keys, "--in-place", "--alone")
    assert r.returncode == 0 and r.stdout.startswith(f"{second}: signed (es256"), r.stderr
    assert tarnwick.verify_file(second, trust=creds / "ca.pem").state == "trusted"


def test_ctrl_c_while_signing_leaves_the_model_unchanged(tmp_path, keys):
    import signal
    model = sparse_gguf(tmp_path / "big.gguf", 4 << 30)
    master, slave = pty.openpty()
    p = subprocess.Popen([CLI, "sign", model, *keys, "--in-place"], stdout=subprocess.DEVNULL, stderr=slave,
                         stdin=subprocess.DEVNULL)
    os.close(slave)
    drawn = b""
    while b" left" not in drawn:  # working: the progress line is drawn
        drawn += os.read(master, 4096)
    p.send_signal(signal.SIGINT)
    tail = drain(master)
    assert p.wait(timeout=60) == 128 + signal.SIGINT
    assert tail.endswith("\r\ntarnwick sign: interrupted; the model is unchanged\r\n"), tail
    assert sorted(os.listdir(tmp_path)) == ["big.gguf"] and not tarnwick.inspect(model).store_size


def test_progress_redraws_at_most_ten_times_a_second_from_any_thread():
    import io
    import threading
    from tarnwick import _progress
    clock = [0.0]
    out = io.StringIO()
    bar = _progress.Progress(out, threshold=0, now=lambda: clock[0])

    def work(n):
        for i in range(1000):
            bar(n * 1000 + i, 8000, n, 8)
    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    clock[0] = 0.05
    bar(8000, 8000, 7, 8)   # too soon after the first draw: not drawn
    clock[0] = 0.5
    bar(8000, 8000, 8, 8)
    bar.finish()
    bar(0, 8000, 0, 8)      # finished: nothing more
    lines = out.getvalue().split("\r")[1:]
    assert len(lines) == 3 and lines[-1] == "0.0 MiB / 0.0 MiB  100%  0.0 MiB/s  0:00 left  8/8 files\x1b[K\n"


class Replacing(KeyboardInterrupt):
    """A stop while a model's files were being renamed into place, as the
    pipeline reports it."""

    def __init__(self, replaced, total):
        super().__init__()
        self.replaced, self.total = replaced, total


STOPS = [
    (KeyboardInterrupt(), "interrupted; the model is unchanged"),
    (Replacing(["a.safetensors"], 1), "interrupted after replacing 1 of 1 file (a.safetensors): the model verifies "
                                      "invalid until it is signed again"),
    (Replacing([f"{n}.gguf" for n in range(7)], 9), "interrupted after replacing 7 of 9 files (0.gguf, 1.gguf, "
     "2.gguf, 3.gguf, 4.gguf, ...): the model verifies invalid until it is signed again"),
]


@pytest.mark.parametrize("stop, text", STOPS)
def test_a_stop_says_what_it_left(stop, text):
    from tarnwick import _cli
    assert _cli._interrupted(stop) == (130, text)
