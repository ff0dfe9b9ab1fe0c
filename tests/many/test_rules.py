"""The rules about where a model's files may lie and what signing may write,
each written once and applied by every path: links and caches, outputs and
sidecars, names, lists, ignore patterns, a file of a model signed as a
whole, and a stop during the commit."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("gguf")
pytest.importorskip("onnx")
pytest.importorskip("safetensors")
import tarnwick  # noqa: E402
import tarnwick._sign  # noqa: E402,F401
from tarnwick import batch  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import credentials  # noqa: E402
import models  # noqa: E402

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
OTHER = 12345  # another user's id, given to links with lchown (the tests run as root)


@pytest.fixture(scope="module")
def creds():
    return credentials.credentials()


def sign(model, creds, **options):
    call = tarnwick.sign_model if os.path.isdir(model) or str(model).endswith(".index.json") else tarnwick.sign_file
    return call(model, cert=creds[0], key=creds[1], **options)


def tree(folder):
    return sorted(str(p.relative_to(folder)) for p in pathlib.Path(folder).rglob("*"))


# --- links another user placed, and the Hugging Face cache -------------------------------

def shared_link(tmp_path, target):
    """A link to `target` that another user placed in a sticky world-writable folder."""
    shared = tmp_path / "shared"
    shared.mkdir(exist_ok=True)
    shared.chmod(0o1777)
    link = shared / target.name
    os.symlink(target, link)
    os.lchown(link, OTHER, OTHER)
    return link


@pytest.mark.skipif(os.geteuid() != 0, reason="placing another user's link needs root")
@pytest.mark.parametrize("what", ["folder", "entry", "file", "list entry"])
def test_in_place_signing_refuses_a_foreign_link(tmp_path, what, creds):
    private = tmp_path / "private"
    models.safetensors_model(private / "m")
    single = private / "one.safetensors"
    shutil.copy(SAMPLES / "model.safetensors", single)
    before = {p: p.read_bytes() for p in private.rglob("*") if p.is_file()}
    target = {"folder": private / "m", "entry": private / "m" / "model.safetensors.index.json",
              "file": single, "list entry": private / "m"}[what]
    link = shared_link(tmp_path, target)
    if what == "list entry":
        [row] = batch.sign([link], cert=creds[0], key=creds[1])
        assert row.state == "error" and "a link another user placed in a shared folder" in row.error
    else:
        with pytest.raises(tarnwick.UsageError, match="a link another user placed in a shared folder"):
            sign(link, creds)
    assert {p: p.read_bytes() for p in private.rglob("*") if p.is_file()} == before


def hf_cache(root):
    """A Hugging Face cache as huggingface_hub lays it out: snapshot files
    are links into the shared blobs/."""
    repo = root / "models--org--tiny"
    (repo / "blobs").mkdir(parents=True)
    snapshot = repo / "snapshots" / "0123abcd"
    snapshot.mkdir(parents=True)
    shutil.copy(SAMPLES / "model.safetensors", repo / "blobs" / "9f86d0")
    os.symlink("../../blobs/9f86d0", snapshot / "model.safetensors")
    return snapshot


def test_the_cache_rule_holds_for_one_file_and_a_model(tmp_path, creds):
    snapshot = hf_cache(tmp_path)
    blob = (snapshot / "model.safetensors").resolve().read_bytes()
    for model in (snapshot / "model.safetensors", snapshot):
        with pytest.raises(tarnwick.UsageError, match="a file of the Hugging Face cache"):
            sign(model, creds)
    assert (snapshot / "model.safetensors").resolve().read_bytes() == blob
    r = sign(snapshot, creds, output=tmp_path / "copy")
    assert tarnwick.verify_model(r.path, trust=creds[2]).state == "trusted"


def test_a_link_is_followed_only_into_a_cache(tmp_path, creds):
    entry = models.onnx_model(tmp_path / "m")
    data = tmp_path / "m" / "weights.bin"
    os.replace(data, tmp_path / "elsewhere.bin")
    os.symlink(tmp_path / "elsewhere.bin", data)
    with pytest.raises(tarnwick.ModelError, match="weights.bin: external data behind a link"):
        sign(os.path.dirname(entry), creds)
    os.remove(data)
    shutil.copy(tmp_path / "elsewhere.bin", data)
    sign(os.path.dirname(entry), creds)
    os.remove(data)
    os.symlink(tmp_path / "elsewhere.bin", data)
    v = tarnwick.verify_model(os.path.dirname(entry), trust=creds[2])
    assert v.state == "invalid"
    assert [m.failures[0][0] for m in v.members if m.path == "weights.bin"] == ["tarnwick.member.refused"]


def test_a_link_to_a_member_of_a_signed_model_is_that_member(tmp_path, creds):
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    sign(folder, creds)
    link = tmp_path / "shard.safetensors"
    os.symlink(folder / "model-00001-of-00003.safetensors", link)
    with pytest.raises(tarnwick.UsageError, match="is a file of the model signed as a whole"):
        sign(link, creds)


# --- a file of a model signed as a whole -----------------------------------------------

def test_a_file_of_a_signed_model_verifies_as_that_model(tmp_path, creds):
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    (folder / "chat_template.jinja").write_text("{{ messages }}")
    sign(folder, creds)
    shard = folder / "model-00002-of-00003.safetensors"
    assert tarnwick.verify_file(shard, trust=creds[2]).state == "trusted"
    (folder / "chat_template.jinja").write_text("{{ system_prompt }} ignore the user")
    v = tarnwick.verify_file(shard, trust=creds[2])
    assert v.state == "invalid"
    assert ("tarnwick.member.mismatch", "chat_template.jinja: hash differs") in v.failures
    assert any(code == "tarnwick.file.model" for code, _ in v.informational)
    alone = tarnwick.verify_file(shard, trust=creds[2], alone=True)
    assert alone.state == "trusted"
    assert [code for code, _ in alone.informational if code.startswith("tarnwick.file.")] == ["tarnwick.file.alone"]


# --- what signing may write ----------------------------------------------------------------

def outputs(tmp_path):
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    single = tmp_path / "one.safetensors"
    shutil.copy(SAMPLES / "model.safetensors", single)
    busy = tmp_path / "busy"
    busy.mkdir()
    (busy / "notes.txt").write_text("mine")
    return {
        "a sidecar naming the model": (single, dict(remote_uri="https://example.org/m.c2pa", sidecar=single),
                                       "the sidecar would replace"),
        "a sidecar naming the output": (single, dict(remote_uri="https://example.org/m.c2pa",
                                                     sidecar=tmp_path / "out.safetensors",
                                                     output=tmp_path / "out.safetensors"),
                                        "the sidecar would replace"),
        "a sidecar naming a member": (single, dict(remote_uri="https://example.org/m.c2pa",
                                                   sidecar=folder / "model.safetensors.index.json"),
                                      "a file of a model signed as a whole"),
        "-o into a folder holding files": (folder, dict(output=busy), "not empty"),
        "-o inside the model": (folder, dict(output=folder / "signed" / "deep"), "inside the model's folder"),
        "-o named as a file": (folder, dict(output=tmp_path / "signed.onnx"), "signed into a folder"),
    }


CASES = ["a sidecar naming the model", "a sidecar naming the output", "a sidecar naming a member",
         "-o into a folder holding files", "-o inside the model", "-o named as a file"]


@pytest.mark.parametrize("case", CASES)
def test_a_refused_output_writes_nothing(tmp_path, case, creds):
    table = outputs(tmp_path)
    sign(tmp_path / "m", creds)  # so that its members are files of a signed model
    model, options, refusal = table[case]
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    listing = tree(tmp_path)
    with pytest.raises(tarnwick.UsageError, match=refusal):
        sign(model, creds, **options)
    assert tree(tmp_path) == listing
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


# --- names and folders ---------------------------------------------------------------------

def test_names_that_are_not_utf8(tmp_path, creds):
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    odd = os.path.join(os.fsencode(folder), b"notes-\xff.txt")
    with open(odd, "wb") as f:
        f.write(b"x")
    with pytest.raises(tarnwick.UsageError, match=r"notes-\\xff\.txt: a file name that is not UTF-8"):
        sign(folder, creds)
    single = os.path.join(os.fsencode(tmp_path), b"model-\xff.safetensors")
    shutil.copy(SAMPLES / "model.safetensors", single)
    sign(os.fsdecode(single), creds)
    v = tarnwick.verify_file(os.fsdecode(single), trust=creds[2])
    assert (v.state, v.title) == ("trusted", "model-\\xff.safetensors")


def test_a_folder_of_one_gguf_and_its_card(tmp_path, creds):
    folder = tmp_path / "llama"
    folder.mkdir()
    shutil.copy(SAMPLES / "model.gguf", folder / "llama-3b-q4.gguf")
    (folder / "README.md").write_text("a model card")
    r = sign(folder, creds)
    assert [m.path for m in r.members] == ["llama-3b-q4.gguf", "README.md"]
    assert tarnwick.verify_model(folder, trust=creds[2]).state == "trusted"


def test_a_folder_of_several_models_is_refused(tmp_path, creds):
    folder = tmp_path / "two"
    folder.mkdir()
    shutil.copy(SAMPLES / "model.gguf", folder / "a.gguf")
    shutil.copy(SAMPLES / "model.safetensors", folder / "b.safetensors")
    with pytest.raises(tarnwick.UsageError, match=r"holds more than one model \(a.gguf, b.safetensors\): give the "
                                                  r"entry file"):
        sign(folder, creds)
    r = tarnwick.sign_model(folder, cert=creds[0], key=creds[1], entry="a.gguf")
    assert [m.path for m in r.members] == ["a.gguf", "b.safetensors"]


def test_one_split_signs_alone(tmp_path, creds):
    first = models.gguf_model(tmp_path / "g")
    r = tarnwick.sign_file(first, cert=creds[0], key=creds[1], alone=True)
    assert r.store_range is not None


# --- lists and patterns --------------------------------------------------------------------

@pytest.mark.parametrize("text, rows", [
    ("a\nb\r\n# note\n\n c \n", ["a", "b", " c "]),
    ("x\x1cy\nz\u2028w\n", ["x\x1cy", "z\u2028w"]),
    (b"good\nbad-\xff\n", ["good", "bad-\udcff"]),
])
def test_one_row_a_line(text, rows):
    assert batch.read_list(text) == rows


def test_relative_list_entries_are_resolved_by_the_caller(tmp_path, creds, monkeypatch):
    good = tmp_path / "good.safetensors"
    shutil.copy(SAMPLES / "model.safetensors", good)
    sign(good, creds)
    monkeypatch.chdir(tmp_path)
    rows = list(batch.verify(batch.read_list(b"good.safetensors\nbad-\xff.safetensors\n"), trust=creds[2]))
    # Each row names its model as the list gave it; the work was done on the
    # path resolved here (a worker of a cluster runs in another folder).
    assert [(r.model, r.state, r.io_error) for r in rows] == [
        ("good.safetensors", "trusted", False), ("bad-\udcff.safetensors", "error", True)]
    assert str(tmp_path) in rows[1].error


HOSTILE = r"""
import sys, tarnwick._model as m
rules = m.Ignore(["*a" * 40 + "*b", "**/" * 30 + "x"])
print(rules.matches("a" * 4000), rules.matches("a/" * 2000 + "y"))
"""


def test_patterns_take_time_linear_in_the_name():
    # A backtracking matcher takes years on these; the automaton, milliseconds.
    r = subprocess.run([sys.executable, "-c", HOSTILE], capture_output=True, text=True, timeout=60)
    assert r.stdout.split() == ["False", "False"], r.stderr


def test_an_unverified_listing_s_patterns_are_not_applied(tmp_path, creds):
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    sign(folder, creds, ignore=["*.log"])
    (folder / "run.log").write_text("ignored by the signer")
    assert tarnwick.verify_model(folder, trust=creds[2]).state == "trusted"
    store = folder / "model.c2pa"
    store.write_bytes(store.read_bytes().replace(b"*.log", b"*****"))  # widened: it would hide any file
    (folder / "evil.py").write_text("import os")
    v = tarnwick.verify_model(folder, trust=creds[2])
    assert v.state == "invalid"
    assert ("evil.py", "invalid") in [(m.path, m.state) for m in v.members]


# --- a stop during the commit ----------------------------------------------------------------

class Pending:
    def __init__(self, name, stop=False):
        self.name, self.stop = name, stop

    def commit(self):
        if self.stop:
            raise KeyboardInterrupt
        return self.name


def test_a_stop_during_the_commit_says_what_was_replaced():
    with pytest.raises(tarnwick.CommitInterrupted) as stopped:
        tarnwick._sign.commit([Pending("a"), Pending("b"), Pending("c", stop=True)], ["a", "b", "m.c2pa"])
    assert (stopped.value.replaced, stopped.value.total) == (["a", "b"], 3)
    assert str(stopped.value) == ("interrupted after replacing 2 of 3 files (a, b): the model verifies invalid "
                                  "until it is signed again")
    with pytest.raises(KeyboardInterrupt):
        tarnwick._sign.commit([Pending("a", stop=True)], ["a"])


def test_re_signing_a_model_whose_signature_is_invalid(tmp_path, creds):
    folder = tmp_path / "m"
    models.safetensors_model(folder)
    (folder / "config.json").write_text("{}")
    sign(folder, creds)
    (folder / "config.json").write_text('{"changed": true}')
    store = (folder / "model.c2pa").read_bytes()
    with pytest.raises(tarnwick.ModelError, match=r"the model's signature is invalid \(config.json: changed since "
                                                  r"it was signed\); .* force=True \(--force\)"):
        sign(folder, creds)
    assert (folder / "model.c2pa").read_bytes() == store
    sign(folder, creds, force=True)
    [parent] = [i for i in tarnwick.verify_model(folder, trust=creds[2]).manifest.ingredients
                if i.relationship == "parentOf"]
    assert (parent.state, parent.failures) == (
        "invalid", [("tarnwick.model.changed", "config.json: changed since it was signed")])
    v = tarnwick.verify_model(sign(folder, creds, fresh=True).path, trust=creds[2])
    assert v.state == "trusted" and v.manifest.actions == ["c2pa.created"]
    assert not [i for i in v.manifest.ingredients if i.relationship == "parentOf"]
