"""The command-line tool against hostile files, links, users and limits: each
test is an attack on its file handling that must fail. Attacks that need a
second user run one as nobody (uid 65534) when the tests run as root; races
are made deterministic with FIFOs that hold the tool at a known point."""

import errno
import json
import os
import pathlib
import pty
import resource
import select
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import time
import tty

import pytest

from test_cli import (CLI, STORE, URI, failed, gguf_head, leftovers, read_all, route, run,  # noqa: F401
                      sanitized, sparse_gguf, tarnwick)

NOBODY = 65534
MODEL = gguf_head(64) + bytes(64)
SECRET = b"a file of root's"


def writer(fifo, victim):
    """The FIFO's write end, once `victim` has opened it for reading (None if
    it ended first)."""
    while victim.poll() is None:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            assert e.errno == errno.ENXIO  # no reader yet
    return None


def umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@pytest.fixture
def world():
    """A folder every user can reach (pytest's own is private to root)."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        pytest.skip("needs root and setpriv")
    folder = pathlib.Path(tempfile.mkdtemp())
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


def shared_folder(world, kind):
    """'owned': the attacker's own folder; 'sticky': world-writable and sticky, as /tmp."""
    folder = world / kind
    folder.mkdir()
    if kind == "owned":
        os.chown(folder, NOBODY, NOBODY)
    else:
        folder.chmod(0o1777)
    return folder


# --- --in-place replaces the file it read, and only that ----------------------


def test_in_place_through_a_link_to_a_fifo_is_refused_before_reading(tmp_path):
    secret = tmp_path / "secret"
    secret.write_bytes(SECRET)
    fifo, link = tmp_path / "fifo", tmp_path / "model.gguf"
    os.mkfifo(fifo)
    link.symlink_to(fifo)
    victim = subprocess.Popen([CLI, "strip", link, "--in-place"], stderr=subprocess.PIPE)
    # The attacker: once the victim reads, point the link at the secret and feed a model.
    w = writer(fifo, victim)
    if w is not None:
        link.unlink()
        link.symlink_to(secret)
        os.write(w, MODEL)
        os.close(w)
    assert (victim.wait(timeout=60), victim.stderr.read().decode()) == (
        2, f"tarnwick strip: --in-place needs a regular file, which '{link}' is not\n"
           "Try 'tarnwick strip --help'.\n")
    assert secret.read_bytes() == SECRET


def test_in_place_refuses_a_model_swapped_while_it_was_read(tmp_path):
    model, fifo = tmp_path / "model.gguf", tmp_path / "store"
    model.write_bytes(MODEL)
    other = gguf_head(32) + bytes(32)
    (tmp_path / "other").write_bytes(other)
    os.mkfifo(fifo)
    victim = subprocess.Popen([CLI, "embed", model, "--store", fifo, "--in-place"], stderr=subprocess.PIPE)
    w = writer(fifo, victim)
    os.replace(tmp_path / "other", model)
    os.write(w, STORE)
    os.close(w)
    assert (victim.wait(timeout=60), victim.stderr.read().decode()) == (
        4, f"{model}: replaced by another file during the rewrite; left as it is\n")
    assert model.read_bytes() == other
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("command", [("embed", "--uri", URI, "--in-place"), ("patch", "--store")])
def test_in_place_does_not_follow_an_attackers_link_in_a_sticky_folder(world, command):
    model, link = world / "model.gguf", shared_folder(world, "sticky") / "model.gguf"
    original = tarnwick.embed_manifest(MODEL, b"\0" * len(STORE))
    model.write_bytes(original)
    (world / "store").write_bytes(STORE)
    link.symlink_to(model)
    os.lchown(link, NOBODY, NOBODY)
    args = [command[0], link, *command[1:]] + ([world / "store"] if command[0] == "patch" else [])
    failed(run(*args), 4, f"{link}: Permission denied\n")
    assert model.read_bytes() == original


# --- -o over existing files and links ------------------------------------------

# The folder OUT is in, what OUT is (all the attacker's), the exit status, and
# what OUT is afterwards: a file with its owner and mode, or the link left.
OUTPUTS = {
    # Written, never as a set-id program: the bits are dropped.
    "set-id file, attacker's folder": ("owned", "set-id file", 0, ("file", NOBODY, 0o755)),
    "set-id file, sticky folder": ("sticky", "set-id file", 4, ("file", NOBODY, 0o4755)),
    "link, attacker's folder": ("owned", "link", 0, ("file", 0, 0o666 & ~umask())),
    "dangling link, attacker's folder": ("owned", "dangling link", 0, ("file", 0, 0o666 & ~umask())),
    "link, sticky folder": ("sticky", "link", 4, ("link", NOBODY, 0o777)),
    "dangling link, sticky folder": ("sticky", "dangling link", 4, ("link", NOBODY, 0o777)),
}


@pytest.mark.parametrize("case", OUTPUTS)
def test_output_over_an_attackers_entry(case, world):
    folder_kind, entry, status, (kind, uid, mode) = OUTPUTS[case]
    folder = shared_folder(world, folder_kind)
    secret, out = world / "secret", folder / "manifest.c2pa"
    secret.write_bytes(SECRET)
    if entry == "set-id file":
        out.write_bytes(b"old")
        os.chown(out, NOBODY, NOBODY)
        out.chmod(0o4755)
    else:
        out.symlink_to(secret if entry == "link" else folder / "nowhere")
        os.lchown(out, NOBODY, NOBODY)
    signed = world / "signed.gguf"
    signed.write_bytes(tarnwick.embed_manifest(MODEL, STORE))

    r = run("read", signed, "-o", out)
    failed(r, status, "" if status == 0 else f"{out}: Permission denied\n")
    st = out.lstat()
    assert ("link" if stat.S_ISLNK(st.st_mode) else "file", st.st_uid, stat.S_IMODE(st.st_mode)) == (kind, uid, mode)
    assert secret.read_bytes() == SECRET and not (folder / "nowhere").exists()
    if status == 0:
        assert out.read_bytes() == STORE


def test_output_over_a_file_the_caller_cannot_write(world):
    folder = shared_folder(world, "owned")
    out, model = folder / "out.gguf", world / "model.gguf"
    out.write_bytes(SECRET)
    model.write_bytes(MODEL)
    r = subprocess.run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                        CLI, "strip", model, "-o", out], capture_output=True)
    failed(r, 4, f"{out}: Permission denied\n")
    assert out.read_bytes() == SECRET


# --- signals, limits, names ---------------------------------------------------------


def no_file_size_beyond_1_mib():
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))


@pytest.mark.parametrize("in_place", [True, False])
def test_file_size_limit_is_an_error_not_a_kill(in_place, route, tmp_path):
    model, out = tmp_path / "model.gguf", tmp_path / "out.gguf"
    original = gguf_head(3 << 20) + os.urandom(3 << 20)
    model.write_bytes(original)
    dest = ["--in-place"] if in_place else ["-o", out]
    r = subprocess.run(route(["embed", model, "--uri", "https://a.example/m", *dest]), capture_output=True,
                       preexec_fn=no_file_size_beyond_1_mib)
    failed(r, 4, f"{model if in_place else out}: File too large\n")
    assert model.read_bytes() == original
    assert sorted(p.name for p in tmp_path.iterdir()) == ["model.gguf"]


def test_longest_names_can_be_rewritten(route, tmp_path):
    model, out = tmp_path / ("m" * 250 + ".gguf"), tmp_path / ("o" * 255)
    model.write_bytes(MODEL)
    assert subprocess.run(route(["strip", model, "-o", out])).returncode == 0
    assert subprocess.run(route(["embed", model, "--uri", URI, "--in-place"])).returncode == 0
    assert tarnwick.read_manifest_uri(model.read_bytes()) == URI


# --- what reaches the terminal ----------------------------------------------------

HOSTILE = "a\x1b]0;title\x07b\u009b2Jc\u202ed\u2066e\x7f"
SHOWN = "a\\x1B]0;title\\x07b\\u009B2Jc\\u202Ed\\u2066e\\x7F"
ENCODED = b"a%1B]0;title%07b%C2%9B2Jc%E2%80%AEd%E2%81%A6e%7F"


def test_messages_escape_what_would_act_on_a_terminal(tmp_path):
    name = os.fsencode(tmp_path / HOSTILE) + b"\xff"
    r = subprocess.run([CLI, "info", name], capture_output=True)
    assert r.stderr.decode() == f"{tmp_path}/{SHOWN}\\xFF: No such file or directory\n"
    header = b'{"a\\\x1b":1}'  # the parser's message quotes the bad byte
    (tmp_path / "bad.safetensors").write_bytes(struct.pack("<Q", len(header)) + header)
    assert run("info", tmp_path / "bad.safetensors").stderr.decode().endswith("invalid escape \\\\x1B\n")


def test_info_and_read_uri_escape_a_hostile_uri(tmp_path):
    model = tmp_path / "model.gguf"
    model.write_bytes(tarnwick.embed_manifest_remote(MODEL, HOSTILE))
    assert f"  uri:         {SHOWN}\n" in run("info", model).stdout.decode()
    line = run("info", "--json", model).stdout
    assert json.loads(line)["uri"] == HOSTILE and b"\x1b" not in line and "\u009b".encode() not in line
    assert run("read-uri", model).stdout == ENCODED + b"\n"
    master, slave = pty.openpty()
    subprocess.run([CLI, "read-uri", model], stdout=slave, check=True)
    os.close(slave)
    assert read_all(master) == ENCODED + b"\r\n"


# A URI and the line read-uri prints for it, into a pipe.
URI_LINES = {
    "a forged second line": ("https://e.com/a\nhttps://evil.com/b", b"https://e.com/a%0Ahttps://evil.com/b"),
    "spaces": ("https://e.com/a b\tc\u00a0d\u3000e", b"https://e.com/a%20b%09c%C2%A0d%E3%80%80e"),
    "invisible characters": ("https://e.com/\u200bx\u2066\ufeff\u00ad\U000e0041",
                             b"https://e.com/%E2%80%8Bx%E2%81%A6%EF%BB%BF%C2%AD%F3%A0%81%81"),
    "noncharacters": ("https://e.com/\ufdd0\U0010ffff", b"https://e.com/%EF%B7%90%F4%8F%BF%BF"),
    "an IRI, as it is": ("https://例え.jp/é?q=ü%20", "https://例え.jp/é?q=ü%20".encode()),
}


@pytest.mark.parametrize("case", URI_LINES)
def test_read_uri_percent_encodes_what_a_uri_cannot_hold(case, tmp_path):
    uri, line = URI_LINES[case]
    model = tmp_path / "model.gguf"
    model.write_bytes(tarnwick.embed_manifest_remote(MODEL, uri))
    r = run("read-uri", model)
    assert (r.returncode, r.stdout, r.stderr) == (0, line + b"\n", b"")


def on_terminal(args):
    """Runs the program with standard output on a raw pseudo-terminal; returns
    its status, what reached the terminal, and its stderr."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    r = subprocess.run([CLI, *map(str, args)], stdout=slave, stderr=subprocess.PIPE, timeout=60)
    os.close(slave)
    return r.returncode, read_all(master), r.stderr


READS_ONTO_A_TERMINAL = {
    "refused": ([], 2, b"", b"tarnwick read: refusing to write a binary manifest store to a terminal; "
                            b"use -o FILE, or -o - to force it\nTry 'tarnwick read --help'.\n"),
    "forced with -o -": (["-o", "-"], 0, STORE, b""),
}


@pytest.mark.parametrize("case", READS_ONTO_A_TERMINAL)
def test_read_does_not_dump_a_store_onto_a_terminal(case, tmp_path):
    options, *expected = READS_ONTO_A_TERMINAL[case]
    model = tmp_path / "model.gguf"
    model.write_bytes(tarnwick.embed_manifest(MODEL, STORE))
    assert on_terminal(["read", model, *options]) == tuple(expected)


def test_json_gives_back_the_bytes_of_names_that_are_not_utf8(tmp_path):
    folder, out = os.fsencode(tmp_path) + b"/", os.fsencode(tmp_path) + b"/out\xfe"
    names = [folder + n for n in (b"m\xff", b"a\xff", b"a\xfe", b"\xe2\x82", b"\xed\xa0\x80", b"\xc0\x80")]
    for name, content in zip(names, [MODEL] + [b"junk"] * 5):  # a model, then "error" objects
        pathlib.Path(os.fsdecode(name)).write_bytes(content)
    lines = subprocess.run([CLI, "info", "--json", *names], capture_output=True).stdout.splitlines()
    lines.append(subprocess.run([CLI, "embed", names[0], "--uri", URI, "-o", out, "--json"],
                                capture_output=True).stdout)
    assert lines[0].startswith(b'{"path": "' + folder + b'm\\udcff", "state": "inspected", "format": "GGUF"')
    assert [json.loads(line)["path"].encode("utf-8", "surrogateescape") for line in lines] == [*names, out]


# --- standard streams, shrinking models, memory ------------------------------------


def closing_stdout(args):
    return subprocess.run([CLI, *map(str, args)], stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))


def test_closed_standard_output_is_not_taken_for_the_model(tmp_path):
    model = tmp_path / "model.gguf"
    model.write_bytes(tarnwick.embed_manifest(MODEL, STORE))
    r = closing_stdout(["read", model, "-o", tmp_path / "store.c2pa"])
    assert (r.returncode, r.stderr, (tmp_path / "store.c2pa").read_bytes()) == (0, b"", STORE)


# Commands that write to standard output ({m}: a model with a store and a URI).
WRITING_TO_STDOUT = {
    "read": ["read", "{m}"],
    "read -o -": ["read", "{m}", "-o", "-"],
    "read-uri": ["read-uri", "{m}"],
    "info": ["info", "{m}"],
    "info --json": ["info", "--json", "{m}"],
    "hash": ["hash", "{m}"],
    "strip -o -": ["strip", "{m}", "-o", "-"],
    "embed --json": ["embed", "{m}", "--uri", URI, "-o", "{out}", "--json"],
    "help": ["hash", "--help"],
}


@pytest.mark.parametrize("case", WRITING_TO_STDOUT)
def test_closed_standard_output_fails_a_command_that_writes_there(case, tmp_path):
    model = tmp_path / "model.gguf"
    model.write_bytes(tarnwick.embed_manifest_both(MODEL, URI, STORE))
    r = closing_stdout(a.format(m=model, out=tmp_path / "out") for a in WRITING_TO_STDOUT[case])
    failed(r, 4, "<stdout>: standard output is closed\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["model.gguf"]


# What follows a progress bar on the terminal, stdout being the terminal too
# or a pipe without a reader: the bar's line is cleared first.
AFTER_THE_BAR = {
    "a JSON line": (False, 0, '{{"path": "{out}", "state": "written", "size": {size}, "store_range": null, '
                    '"digest": null}}\r\n'),
    "an error": (True, 4, "<stdout>: Broken pipe\r\n"),
}


@pytest.mark.parametrize("case", AFTER_THE_BAR)
def test_what_follows_a_progress_bar_starts_its_own_line(case, tmp_path):
    broken_pipe, status, tail = AFTER_THE_BAR[case]
    model, out = sparse_gguf(tmp_path / "big.gguf", 300 << 20), tmp_path / "out.gguf"
    master, slave = pty.openpty()
    reader, writer_end = os.pipe()
    os.close(reader)
    r = subprocess.run([CLI, "embed", model, "--uri", URI, "-o", out, "--json"],
                       stdout=writer_end if broken_pipe else slave, stderr=slave, timeout=120)
    os.close(slave)
    os.close(writer_end)
    tail = tail.format(out=out, size=out.stat().st_size)
    assert (r.returncode, read_all(master).endswith(b" left\x1b[K\r\x1b[K" + tail.encode())) == (status, True)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_clears_the_progress_bar(sig, tmp_path):
    model = sparse_gguf(tmp_path / "big.gguf", 300 << 20)
    master, slave = pty.openpty()
    reader, writer_end = os.pipe()
    p = subprocess.Popen([CLI, "strip", model, "-o", "-"], stdout=writer_end, stderr=slave)
    os.close(slave)
    os.close(writer_end)
    # The model's bytes are taken slowly, and never all of them, until the bar
    # shows: the tool is still writing when the signal comes.
    drawn, taken, deadline = b"", 0, time.monotonic() + 60
    while b" left\x1b[K" not in drawn:
        assert time.monotonic() < deadline
        if select.select([master], [], [], 0.001)[0]:
            drawn += os.read(master, 4096)
        elif taken < 200 << 20:
            taken += len(os.read(reader, 1 << 16))
    p.send_signal(sig)
    assert p.wait(timeout=60) == -sig
    os.close(reader)
    assert (drawn + read_all(master)).endswith(b" left\x1b[K\r\x1b[K")


def test_model_shrinking_while_written_to_a_pipe(tmp_path):
    size = 16 << 20
    model = sparse_gguf(tmp_path / "model.gguf", size)
    p = subprocess.Popen([CLI, "strip", model, "-o", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdout.read(1 << 16)  # the tensor data is being written; the full pipe holds the tool
    os.truncate(model, len(gguf_head(size)))
    p.stdout.read()
    assert (p.wait(timeout=60), p.stderr.read().decode()) == (
        4, f"{model}: the model file changed while it was being read\n")


@pytest.mark.skipif(sanitized(), reason="AddressSanitizer cannot run under an address-space limit")
def test_out_of_memory_is_reported_per_model(tmp_path):
    model = tmp_path / "model.gguf"
    model.write_bytes(MODEL)
    r = subprocess.run([CLI, "info", "--json", "/dev/zero", model], capture_output=True,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (48 << 20, 48 << 20)))
    failed(r, 4, "/dev/zero: out of memory\n")
    assert [json.loads(line)["state"] for line in r.stdout.splitlines()] == ["error", "inspected"]
    assert json.loads(r.stdout.splitlines()[0])["failures"] == [
        {"code": "tarnwick.unreadable", "explanation": "/dev/zero: out of memory"}]
