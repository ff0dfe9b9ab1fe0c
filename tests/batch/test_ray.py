"""tarnwick.batch on a local Ray cluster of two CPUs: the same rows as the
thread engine and as verifying each model alone; a worker killed under a
model is retried, one that always dies is an error row; never a row lost."""

import os
import pathlib
import shutil
import signal
import sys

import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("c2pa")
pytest.importorskip("cryptography")
pytest.importorskip("gguf")
pytest.importorskip("onnx")
pytest.importorskip("safetensors")
import tarnwick.batch as batch  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import corpus  # noqa: E402
import credentials  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    # The faulty tasks below live in this module, which the workers cannot import.
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    # Under the sanitizer build their runtimes are preloaded into this
    # process: Ray's own daemons start without them (they are not ours, and
    # under them miss Ray's start-up deadline), its workers, which load the
    # module, with them.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        ray.init(num_cpus=2, include_dashboard=False,
                 runtime_env={"env_vars": {"LD_PRELOAD": preload}} if preload else None)
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def creds():
    return credentials.credentials()


@pytest.fixture(scope="module")
def models(creds, tmp_path_factory):
    return corpus.build(tmp_path_factory.mktemp("models"), creds[0], creds[1])


def same(row):
    return row.model, row.state, row.result, row.error, row.size, row.io_error


def test_same_rows_as_threads_and_as_alone(cluster, models, creds):
    rows = list(batch.verify(models, trust=creds[2], engine="ray"))
    assert [r.model for r in rows] == models
    for path, row in zip(models, rows):
        assert (row.state, row.result) == corpus.direct(path, creds[2]), path
    assert [same(r) for r in rows] == [same(r) for r in batch.verify(models, trust=creds[2], workers=4)]


def dying(kind, model, options):
    """Kills its own worker process: always ("always" in the name), or the
    first time only (a marker file beside the model says it has)."""
    name = os.path.basename(model)
    marker = model + ".died"
    if "always" in name or ("once" in name and not os.path.exists(marker)):
        open(marker, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return batch._work(kind, model, options)


@pytest.mark.parametrize("retries", [1, 2])
def test_a_killed_worker_loses_no_row(cluster, models, creds, tmp_path, retries):
    once, always = tmp_path / "once.gguf", tmp_path / "always.gguf"
    shutil.copyfile(models[0], once)
    shutil.copyfile(models[0], always)
    given = [models[0], str(once), models[1], str(always), models[3]]
    import tarnwick._verify
    options = {"policy": tarnwick._verify.options(creds[2]), "fetch": False, "ignore": []}
    rows = list(batch._run("verify", given, options, "ray", None, None, retries, dying))
    assert [r.model for r in rows] == given
    for path, row in zip(given[:3] + given[4:], rows[:3] + rows[4:]):
        assert row.state == corpus.direct(path, creds[2])[0]
    assert rows[1].attempts == 2 and rows[0].attempts == 1
    assert rows[3].state == "error" and rows[3].attempts == retries + 1
    assert "WorkerCrashedError" in rows[3].error or "died" in rows[3].error


def test_sign_on_ray(cluster, creds, tmp_path):
    paths = []
    for sample in corpus.SAMPLES:
        paths.append(tmp_path / sample)
        shutil.copyfile(corpus.ROOT / "examples" / "models" / sample, paths[-1])
    rows = list(batch.sign(paths, cert=creds[0], key=creds[1], engine="ray"))
    assert [r.state for r in rows] == ["signed"] * 3
    assert [r.state for r in batch.verify(paths, trust=creds[2], engine="ray")] == ["trusted"] * 3


def test_relative_names_are_the_callers(cluster, models, creds, monkeypatch):
    """A worker runs in another folder: a relative name is resolved where the
    list was given, and its row keeps the name as given."""
    folder = os.path.dirname(models[0])
    names = [os.path.relpath(m, folder) for m in models]
    monkeypatch.chdir(folder)
    rows = list(batch.verify(names, trust=creds[2], engine="ray"))
    assert [r.model for r in rows] == names
    assert [r.state for r in rows] == [corpus.direct(m, creds[2])[0] for m in models]
