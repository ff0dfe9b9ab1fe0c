"""A model is its whole folder: a Hugging Face-style model (shards made by
huggingface_hub's own splitter, its index, config, tokenizer, chat template,
custom code) signed as one, and every change to any file of it named."""

import json
import os
import pathlib
import shutil
import sys

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
np = pytest.importorskip("numpy")
pytest.importorskip("safetensors")
serialization = pytest.importorskip("huggingface_hub.serialization")
import tarnwick  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import credentials  # noqa: E402

EXTRA = ("tarnwick.member.extra", "not part of the signed model")
DIFFERS = ("tarnwick.member.mismatch", "hash differs")
MISSING = ("tarnwick.member.missing", "missing")


@pytest.fixture(scope="module")
def creds():
    return credentials.credentials()


def hub_model(folder):
    """Five shards as huggingface_hub splits a state dict, and the files a
    published model has beside them."""
    from safetensors.numpy import save_file
    rng = np.random.default_rng(0)
    state = {f"model.layers.{i}.weight": rng.standard_normal((64, 64)).astype(np.float32) for i in range(10)}
    split = serialization.split_state_dict_into_shards_factory(
        state, get_storage_size=lambda t: t.nbytes, filename_pattern="model{suffix}.safetensors",
        max_shard_size=40000)
    assert split.is_sharded and len(split.filename_to_tensors) == 5
    folder.mkdir(parents=True)
    for name, tensors in split.filename_to_tensors.items():
        save_file({t: state[t] for t in tensors}, str(folder / name), metadata={"format": "pt"})
    (folder / "model.safetensors.index.json").write_text(
        json.dumps({"metadata": split.metadata, "weight_map": split.tensor_to_filename}, indent=2))
    (folder / "config.json").write_text('{"architectures": ["TinyForCausalLM"], "auto_map": '
                                        '{"AutoModelForCausalLM": "modeling_tiny.TinyForCausalLM"}}')
    (folder / "generation_config.json").write_text('{"temperature": 0.7}')
    (folder / "tokenizer.json").write_text('{"model": {"vocab": {"a": 0, "b": 1}}}')
    (folder / "chat_template.jinja").write_text("{% for m in messages %}{{ m.content }}{% endfor %}")
    (folder / "modeling_tiny.py").write_text("class TinyForCausalLM:\n    pass\n")
    (folder / ".cache" / "huggingface").mkdir(parents=True)
    (folder / ".cache" / "huggingface" / "download.lock").write_text("")
    return folder


def edit(name, text=b"\n"):
    def change(folder):
        with open(folder / name, "ab") as f:
            f.write(text)
        return {name: [DIFFERS]}
    return change


def plant(name):
    def change(folder):
        shutil.copy(folder / "model-00001-of-00005.safetensors", folder / name)
        return {name: [EXTRA]}
    return change


def remove(folder):
    (folder / "generation_config.json").unlink()
    return {"generation_config.json": [MISSING]}


def ignored(folder):
    (folder / "notes.log").write_text("ignored at signing")
    (folder / ".cache" / "huggingface" / "more").write_text("the hub client's own")
    return {}


# Each change, and the files it makes invalid (every other file stays trusted).
CHANGES = {
    "config.json edited": edit("config.json"),
    "tokenizer edited": edit("tokenizer.json"),
    "chat template edited": edit("chat_template.jinja", b"{{ system_prompt }}"),
    "custom code edited": edit("modeling_tiny.py", b"import os; os.system('id')\n"),
    "model.safetensors planted": plant("model.safetensors"),
    "extra.bin planted": plant("extra.bin"),
    "a file removed": remove,
    "an ignored file added": ignored,
}


@pytest.mark.parametrize("change", CHANGES)
def test_every_file_of_the_folder_is_signed(tmp_path, change, creds):
    folder = hub_model(tmp_path / "tiny")
    r = tarnwick.sign_model(folder, cert=creds[0], key=creds[1], ignore=["*.log"])
    files = {m.path for m in r.members}
    assert {"config.json", "modeling_tiny.py", "chat_template.jinja", "model-00005-of-00005.safetensors"} <= files
    assert not any(f.startswith(".cache/") for f in files)

    broken = CHANGES[change](folder)
    v = tarnwick.verify_model(folder, trust=creds[2])
    got = {m.path: [f for f in m.failures if f[0].startswith("tarnwick.member.")] for m in v.members
           if m.state != "trusted"}
    assert got == broken
    assert v.state == ("invalid" if broken else "trusted")


def test_the_verifier_may_ignore_more(tmp_path, creds):
    folder = hub_model(tmp_path / "tiny")
    tarnwick.sign_model(folder, cert=creds[0], key=creds[1])
    (folder / "README.md").write_text("a model card written after signing")
    assert tarnwick.verify_model(folder, trust=creds[2]).state == "invalid"
    assert tarnwick.verify_model(folder, trust=creds[2], ignore=["README.md"]).state == "trusted"


def test_the_signed_ignore_list_cannot_be_widened(tmp_path, creds):
    folder = hub_model(tmp_path / "tiny")
    r = tarnwick.sign_model(folder, cert=creds[0], key=creds[1], ignore=["*.log"])
    store = pathlib.Path(r.store_path)
    data = store.read_bytes()
    assert data.count(b"*.log") == 1
    store.write_bytes(data.replace(b"*.log", b"*.bin"))
    assert tarnwick.verify_model(folder, trust=creds[2]).state == "invalid"


@pytest.mark.parametrize("pattern,refusal", [("!keep", "negation is not supported"), ("/", "not a pattern"),
                                             ("a[b", r"an unclosed \["), ("", "not a pattern")])
def test_bad_ignore_patterns(tmp_path, pattern, refusal, creds):
    folder = hub_model(tmp_path / "tiny")
    with pytest.raises(tarnwick.UsageError, match=refusal):
        tarnwick.sign_model(folder, cert=creds[0], key=creds[1], ignore=[pattern])


@pytest.mark.parametrize("pattern,path,folder,matches", [
    ("*.log", "a/b/c.log", False, True),
    ("/top.txt", "a/top.txt", False, False),
    ("docs/", "docs", True, True),
    ("docs/", "docs", False, False),
    ("a/**/z.bin", "a/b/c/z.bin", False, True),
    ("a/**/z.bin", "a/z.bin", False, True),
    ("w?.bin", "w1.bin", False, True),
    ("w[0-2].bin", "w3.bin", False, False),
])
def test_ignore_patterns_read_as_gitignore_reads_them(pattern, path, folder, matches):
    assert tarnwick._model.Ignore([pattern]).matches(path, folder) is matches


def test_a_fifo_in_the_folder_is_refused(tmp_path, creds):
    folder = hub_model(tmp_path / "tiny")
    os.mkfifo(folder / "weights.bin")
    with pytest.raises(tarnwick.ModelError, match="weights.bin: not a regular file"):
        tarnwick.sign_model(folder, cert=creds[0], key=creds[1])
    assert not (folder / "model.c2pa").exists()
