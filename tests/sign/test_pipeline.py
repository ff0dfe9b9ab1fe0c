"""Signing in stages: a failure at any stage before the commit leaves the model
as it was; a store accounts for every byte of the range it is given; hostile
files, names and servers are refused without hanging or crashing."""

import hashlib
import http.server
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
pytest.importorskip("safetensors")
pytest.importorskip("gguf")
pytest.importorskip("onnx")
import tarnwick  # noqa: E402
import tarnwick._sdk  # noqa: E402
import tarnwick._verify  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "many"))
import credentials  # noqa: E402
import models  # noqa: E402
from program import tarnwick_program  # noqa: E402

SAMPLES = HERE.parents[1] / "examples" / "models"
NAMES = ["model.gguf", "model.onnx", "model.safetensors"]
KINDS = ["safetensors", "gguf", "onnx"]


@pytest.fixture(scope="module")
def creds(tmp_path_factory):
    chain, key, ca = credentials.credentials()
    folder = tmp_path_factory.mktemp("creds")
    for name, data in (("chain.pem", chain), ("key.pem", key), ("ca.pem", ca)):
        (folder / name).write_bytes(data)
    return chain, key, ca, folder


def snapshot(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(pathlib.Path(folder).iterdir())}


def build(kind, folder):
    return pathlib.Path(getattr(models, kind + "_model")(str(folder)))


# --- a failure before the commit changes nothing ------------------------------

class Injected(Exception):
    pass


def fail_on_signature(n):
    """The SDK's n-th signature (0: the first member's) fails."""
    def install(monkeypatch):
        calls = tarnwick._sdk.load("sign")
        real, count = calls.sign, [0]

        def sign(*args):
            count[0] += 1
            if count[0] > n:
                raise Injected("signature")
            return real(*args)
        monkeypatch.setattr(calls, "sign", sign)
    return install


def fail_on_model_store(monkeypatch):
    calls = tarnwick._sdk.load("sign")
    real = calls.sign

    def sign(builder, signer, exclusions, digest, *rest):
        if not exclusions:  # the model-level store binds the listing, with nothing excluded
            raise Injected("model store")
        return real(builder, signer, exclusions, digest, *rest)
    monkeypatch.setattr(calls, "sign", sign)


def interrupt_a_member(monkeypatch):
    def sign(*args):
        raise KeyboardInterrupt
    monkeypatch.setattr(tarnwick._sdk.load("sign"), "sign", sign)


FAILURES = {
    "the first member's signature": (fail_on_signature(0), Injected),
    "a later member's signature": (fail_on_signature(1), Injected),
    "the model-level store's signature": (fail_on_model_store, Injected),
    "Ctrl-C while members are signed": (interrupt_a_member, KeyboardInterrupt),
}


@pytest.mark.parametrize("resign", [False, True], ids=["first", "re-sign"])
@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("kind", KINDS)
def test_a_failure_before_the_commit_leaves_the_model_as_it_was(tmp_path, kind, failure, resign, creds,
                                                                monkeypatch):
    entry = build(kind, tmp_path / "m")
    if resign:
        tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    before = snapshot(entry.parent)
    inject, raised = FAILURES[failure]
    inject(monkeypatch)
    with pytest.raises(raised):
        tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    assert snapshot(entry.parent) == before
    monkeypatch.undo()
    if resign:
        assert tarnwick.verify_model(entry, trust=creds[2]).state == "trusted"


@pytest.mark.parametrize("definition,message", [
    ('{"assertions": [{"label": "c2pa.hash.data", "data": {}}]}', "brings its own hard binding"),
    ("[1, 2]", "must be a JSON object"),
    ("{not json", "is not JSON"),
    ('{"assertions": [{"label": "c2pa.actions", "data": {"actions": 5}}]}', "could not decode assertion c2pa.actions"),
    ('{"title": "no actions"}', "(?s)the C2PA SDK refuses the manifest definition: .*first action must be created"),
])
def test_a_refused_definition_writes_nothing(tmp_path, definition, message, creds):
    entry = build("safetensors", tmp_path / "m")
    tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    before = snapshot(entry.parent)
    with pytest.raises(tarnwick.UsageError, match=message):
        tarnwick.sign_model(entry, cert=creds[0], key=creds[1], definition=definition)
    assert snapshot(entry.parent) == before


def test_signing_one_split_of_a_signed_model_is_refused(tmp_path, creds):
    entry = build("gguf", tmp_path / "m")
    tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    before = snapshot(entry.parent)
    with pytest.raises(tarnwick.UsageError, match=r"is a file of the model signed as a whole in .*tiny\.c2pa"):
        tarnwick.sign_file(entry.parent / "tiny-00002-of-00003.gguf", cert=creds[0], key=creds[1])
    assert snapshot(entry.parent) == before
    tarnwick.sign_file(entry.parent / "tiny-00002-of-00003.gguf", cert=creds[0], key=creds[1], alone=True)
    assert tarnwick.verify_model(entry, trust=creds[2]).state == "invalid"


@pytest.mark.parametrize("name", NAMES)
def test_re_signing_a_model_with_a_uri_or_for_a_remote_store(tmp_path, name, creds):
    model = tmp_path / name
    shutil.copy(SAMPLES / name, model)
    tarnwick.embed_file(model, uri="https://example.com/old.c2pa")
    tarnwick.sign_file(model, cert=creds[0], key=creds[1])
    assert tarnwick.inspect(model).uri is None
    assert tarnwick.verify_file(model, trust=creds[2]).state == "trusted"
    sidecar = tmp_path / "model.c2pa"
    tarnwick.sign_file(model, cert=creds[0], key=creds[1], remote_uri="https://example.com/m.c2pa",
                       sidecar=sidecar)
    assert (tarnwick.inspect(model).uri, tarnwick.inspect(model).store_size) == ("https://example.com/m.c2pa", None)
    assert tarnwick.verify_file(model, trust=creds[2], store=sidecar).state == "trusted"
    assert sorted(os.listdir(tmp_path)) == sorted([name, "model.c2pa"])


def test_a_private_model_gives_a_private_output(tmp_path, creds):
    model = tmp_path / "model.gguf"
    shutil.copy(SAMPLES / "model.gguf", model)
    model.chmod(0o600)
    tarnwick.sign_file(model, cert=creds[0], key=creds[1], output=tmp_path / "out.gguf")
    assert (tmp_path / "out.gguf").stat().st_mode & 0o777 == 0o600


# --- every byte of a store is accounted for -----------------------------------

def replaced(old, new, nth=0):
    """The nth occurrence of `old` replaced (-1: the last)."""
    def change(store):
        at = store.rindex(old) if nth < 0 else -1
        for _ in range(nth + 1):
            at = store.index(old, at + 1)
        return store[:at] + new + store[at + len(old):]
    return change


def nonzero_padding(store):
    at = store.rindex(b"cpad") + 4  # the signature's, after the data hash's own
    at += 2 if store[at] == 0x58 else 3  # the byte string's head
    return store[:at] + b"#!/bin/sh\n" + store[at + 10:]


# Each a change the SDK itself does not notice in a signed store.
SLACK = {
    "a shell script in the padding": (nonzero_padding, "padding at .* holds other bytes than zeros"),
    "the padding renamed": (replaced(b"cpad", b"cqad", -1), "unprotected header 'qad' .* is none a signer writes"),
    "a box relabelled": (replaced(b"c2pa.signature\0", b"c2pa.signaturf\0"),
                         "c2cs box is labelled b'c2pa.signaturf', not c2pa.signature"),
    "the store's own label": (replaced(b"c2pa\0", b"c3pa\0", 1), "c2pa box is labelled b'c3pa'"),
    "a payload that is not null": (lambda s: replaced(b"\xf6\x58\x40", b"\xf7\x58\x40")(s),
                                   "payload at .* is not the detached null"),
    "bytes appended": (lambda s: s + b"#!/bin/sh\n", "10 bytes that no signature covers"),
    "cut short": (lambda s: s[:-1], "claims .* bytes, but only .* are held"),
}


@pytest.fixture(scope="module")
def a_store(creds, tmp_path_factory):
    model = tmp_path_factory.mktemp("store") / "model.gguf"
    shutil.copy(SAMPLES / "model.gguf", model)
    tarnwick.sign_file(model, cert=creds[0], key=creds[1])
    return model, tarnwick.read_file(model)


@pytest.mark.parametrize("change", SLACK)
def test_every_byte_of_a_store_is_accounted_for(a_store, change, creds):
    model, store = a_store
    assert tarnwick._store.slack(store) is None
    changed = SLACK[change][0](store)
    assert re.search(SLACK[change][1], tarnwick._store.slack(changed))
    v = tarnwick.verify_file(model, trust=creds[2], store=changed)
    assert v.state == "invalid" and "tarnwick.store.slack" in [c for c, _ in v.failures]


@pytest.mark.parametrize("kind", KINDS)
def test_bytes_after_a_model_level_store_make_it_invalid(tmp_path, kind, creds):
    entry = build(kind, tmp_path / "m")
    r = tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    with open(r.store_path, "ab") as f:
        f.write(b"\n#!/bin/sh\necho hi\n")
    v = tarnwick.verify_model(entry, trust=creds[2])
    assert v.state == "invalid"
    assert any(code == "tarnwick.store.slack" for code, _ in v.store_verification.failures)


def test_bytes_after_a_given_store_make_it_invalid(tmp_path, creds):
    model = tmp_path / "model.safetensors"
    shutil.copy(SAMPLES / "model.safetensors", model)
    sidecar = tmp_path / "model.c2pa"
    tarnwick.sign_file(model, cert=creds[0], key=creds[1], remote_uri="https://example.com/m.c2pa",
                       sidecar=sidecar)
    store = sidecar.read_bytes()
    assert tarnwick.verify_file(model, trust=creds[2], store=store).state == "trusted"
    v = tarnwick.verify_file(model, trust=creds[2], store=store + b"\0" * 64)
    assert v.state == "invalid" and ("tarnwick.store.slack", "the manifest store's box is %d bytes, but %d bytes "
                                     "are held: 64 bytes that no signature covers" % (len(store), len(store) + 64)) \
        in v.failures


def test_a_huge_model_level_store_is_refused_unread(tmp_path, creds):
    entry = build("gguf", tmp_path / "m")
    r = tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    os.truncate(r.store_path, 3 << 30)  # a hole: nothing is written
    started = time.monotonic()
    v = tarnwick.verify_model(entry, trust=creds[2])
    assert v.state == "invalid" and time.monotonic() - started < 10
    assert [c for c, _ in v.store_verification.failures] == ["tarnwick.store.too_large"]


# --- damaged and hostile files ---------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
def test_a_damaged_member_is_named_not_raised(tmp_path, kind, creds):
    entry = build(kind, tmp_path / "m")
    first = next(rel for rel, k in tarnwick._model.locate(entry).members if k == "container" and
                 rel != entry.name) if kind != "onnx" else None
    if first is None:
        pytest.skip("an ONNX model's only container is its entry")
    tarnwick.sign_model(entry, cert=creds[0], key=creds[1])
    with open(entry.parent / first, "r+b") as f:  # its header broken, its size kept
        f.write(b"\xff" * 20)
    v = tarnwick.verify_model(entry, trust=creds[2])
    member = next(m for m in v.members if m.path == first)
    assert v.state == "invalid" and member.state == "invalid"
    assert member.failures[0][1].startswith(first + ": ") and "/proc/" not in member.failures[0][1]


def test_an_unsigned_model_with_a_missing_shard_names_it(tmp_path):
    entry = build("safetensors", tmp_path / "m")
    (entry.parent / "model-00002-of-00003.safetensors").unlink()
    v = tarnwick.verify_model(entry)
    assert v.state == "unsigned"
    assert ("model-00002-of-00003.safetensors", "invalid", [("tarnwick.member.missing", "missing")]) in \
        [tuple(m) for m in v.members]


PROBE = r"""
import os, sys, tarnwick
folder, creds = sys.argv[1], sys.argv[2:]
calls = {
    "verify_file": lambda p: tarnwick.verify_file(p),
    "sign_file": lambda p: tarnwick.sign_file(p, cert=creds[0], key=creds[1]),
    "verify_model": lambda p: tarnwick.verify_model(p),
    "sign_model": lambda p: tarnwick.sign_model(p, cert=creds[0], key=creds[1]),
}
for name in sorted(os.listdir(folder)):
    for call, f in calls.items():
        try:
            f(os.path.join(folder, name))
            print(name, call, "ok")
        except ValueError as e:
            print(name, call, type(e).__name__, "/proc/" in str(e))
        except OSError as e:
            print(name, call, "OSError", "/proc/" in str(e))
"""


def test_fifos_and_cut_files_on_every_entry_point(tmp_path, creds):
    """A FIFO is refused before it is opened for reading (nothing blocks); a
    file cut short is refused in its own name; nothing crashes."""
    folder = tmp_path / "in"
    folder.mkdir()
    for name in NAMES:
        os.mkfifo(folder / ("fifo-" + name))
        (folder / ("cut-" + name)).write_bytes((SAMPLES / name).read_bytes()[:40])
    os.mkfifo(folder / "fifo.safetensors.index.json")
    r = subprocess.run([sys.executable, "-c", PROBE, str(folder), str(creds[3] / "chain.pem"),
                        str(creds[3] / "key.pem")], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    rows = [line.split() for line in r.stdout.splitlines()]
    assert len(rows) == 4 * 7
    # A file cut short is a verdict of verify_model and verify_file (invalid,
    # its container malformed); everything else is refused, in the file's own name.
    assert all((row[2] in ("ModelError", "MemberError", "UsageError", "ValueError", "OSError") and row[3] == "False")
               or row[1:] == ["verify_model", "ok"] or (row[0].startswith("cut-") and row[1:] == ["verify_file", "ok"])
               for row in rows), rows


# --- the command line ------------------------------------------------------------------

def test_verify_escapes_what_the_manifest_says(tmp_path, creds):
    model = tmp_path / "model.gguf"
    shutil.copy(SAMPLES / "model.gguf", model)
    title = "m\x1b]0;owned\x07\x1b[2J\u202e\nmodel.gguf: trusted"
    created = {"action": "c2pa.created",
               "digitalSourceType": "http://cv.iptc.org/newscodes/digitalsourcetype/trainedAlgorithmicMedia"}
    definition = {"title": title, "assertions": [{"label": "c2pa.actions", "data": {"actions": [created]}}]}
    tarnwick.sign_file(model, cert=creds[0], key=creds[1], definition=definition)
    r = subprocess.run([tarnwick_program(), "verify", model, "--trust", creds[3] / "ca.pem"],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert "\x1b" not in r.stdout and "\x07" not in r.stdout and "\u202e" not in r.stdout
    assert "  title       m\\x1b]0;owned\\x07\\x1b[2J\\u202e\\nmodel.gguf: trusted\n" in r.stdout


# --- fetching has one deadline --------------------------------------------------------

class Drip(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "1000000")
        self.end_headers()
        try:
            for _ in range(1000):
                self.wfile.write(b"x")
                self.wfile.flush()
                time.sleep(0.05)
        except OSError:
            pass

    def log_message(self, *args):
        pass


def test_a_dripping_server_hits_the_deadline(monkeypatch):
    """Bounded by progress as bytes arrive, not by what the server announces."""
    import tarnwick._source
    monkeypatch.setattr(tarnwick._source, "WINDOW", 1.0)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Drip)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        started = time.monotonic()
        with pytest.raises(OSError, match="the server sent fewer than 65536 bytes in 1 s"):
            tarnwick._verify.fetch_store(f"http://127.0.0.1:{server.server_port}/m.c2pa")
        assert time.monotonic() - started < 3
    finally:
        server.shutdown()


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root, to place another user's link")
def test_an_output_folder_linked_by_another_user_in_a_shared_folder_is_refused(tmp_path, creds):
    shared, private = tmp_path / "shared", tmp_path / "root-only"
    shared.mkdir(mode=0o1777)
    shared.chmod(0o1777)
    private.mkdir(mode=0o700)
    os.symlink(private, shared / "out")
    os.lchown(shared / "out", 12345, 12345)
    entry = build("safetensors", tmp_path / "m")
    with pytest.raises(tarnwick.UsageError, match="a link another user placed in a shared folder"):
        tarnwick.sign_model(entry, cert=creds[0], key=creds[1], output=shared / "out")
    assert os.listdir(private) == []


MEMORY = r"""
import resource, sys, tarnwick, tarnwick._sdk, tarnwick._verify
tarnwick._sdk.load("verify")
trust = open(sys.argv[2], "rb").read()
tarnwick.verify_file(sys.argv[1], trust=trust)  # the SDK's first use allocates for good
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
v = tarnwick.verify_file(sys.argv[1], trust=trust)
print(v.state, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


def test_verifying_a_large_model_holds_no_part_of_it_in_memory(tmp_path, creds):
    sys.path.insert(0, str(HERE.parent))
    from gguf_files import gguf_file, kv, tensor, v_str
    model = tmp_path / "big.gguf"
    size = 512 << 20
    with open(model, "wb") as f:
        f.write(gguf_file([kv("general.architecture", v_str("llama"))], [tensor("w", [size // 4])], b""))
        f.truncate(f.tell() + size)  # a hole: read back as zeros, nothing written
    tarnwick.sign_file(model, cert=creds[0], key=creds[1])
    r = subprocess.run([sys.executable, "-c", MEMORY, str(model), str(creds[3] / "ca.pem")],
                       capture_output=True, text=True, timeout=300)
    state, growth = r.stdout.split()
    assert (state, r.returncode) == ("trusted", 0), r.stderr
    assert int(growth) < 64, f"verify_file grew the peak resident set by {growth} MiB"


@pytest.mark.parametrize("name", NAMES)
def test_re_signing_a_changed_model_records_its_parent_as_it_is(tmp_path, name, creds):
    """The parent's data hash is checked in the pass that rewrites the model;
    found broken, the store is sized and signed again with the truth."""
    model = tmp_path / name
    shutil.copy(SAMPLES / name, model)
    first = tarnwick.sign_file(model, cert=creds[0], key=creds[1]).label
    if name.endswith(".onnx"):  # its store lies last: the graph is changed, the store kept
        import onnx
        graph = onnx.load(str(model))
        graph.graph.name = "changed"
        onnx.save(graph, str(model))
    else:
        data = bytearray(model.read_bytes())
        data[-1] ^= 1  # tensor data
        model.write_bytes(bytes(data))
    with pytest.raises(tarnwick.ModelError, match=r"its signature is invalid \(assertion\.dataHash\.mismatch: .*"
                       r"sign with force=True \(--force\)"):
        tarnwick.sign_file(model, cert=creds[0], key=creds[1])
    tarnwick.sign_file(model, cert=creds[0], key=creds[1], force=True)
    v = tarnwick.verify_file(model, trust=creds[2])
    assert v.state == "trusted"
    [parent] = v.ingredients
    assert (parent.relationship, parent.label, parent.state) == ("parentOf", first, "invalid")
    assert "assertion.dataHash.mismatch" in [c for c, _ in parent.failures]
