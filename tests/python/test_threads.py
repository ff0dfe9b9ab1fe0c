"""Many threads calling the functions on shared model objects get the same
results as calls made one after another, and a large model is worked on
without the interpreter lock."""

import sys
import threading
import time

import pytest

import tarnwick
from api_calls import CALLS, LARGE_CALLS, LARGE_MODELS, MODELS, STORE, models

THREADS = 8
ROUNDS = 20

@pytest.fixture
def frequent_switches():
    # Switch threads as often as the interpreter allows, so calls interleave.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_in_threads(work):
    start = threading.Barrier(THREADS)
    results = [None] * THREADS
    failures = []

    def thread_main(index):
        try:
            start.wait()
            results[index] = work(index)
        except BaseException as e:  # noqa: BLE001 - reported by the test below
            failures.append(e)

    threads = [threading.Thread(target=thread_main, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    return results


@pytest.mark.parametrize("calls,rounds", [(CALLS, ROUNDS), (LARGE_CALLS, 3)], ids=["small", "large"])
def test_concurrent_calls_match_sequential_ones(frequent_switches, calls, rounds):
    names = list(calls)
    expected = {name: calls[name].outcome() for name in names}

    def work(index):
        # Each thread walks the table from its own starting point, so
        # different operations and formats overlap.
        outcomes = []
        for round_ in range(rounds):
            for step in range(len(names)):
                name = names[(index * 7 + round_ + step) % len(names)]
                outcomes.append((name, calls[name].outcome()))
        return outcomes

    for outcomes in run_in_threads(work):
        assert len(outcomes) == rounds * len(names)
        for name, outcome in outcomes:
            assert outcome == expected[name], name


@pytest.mark.parametrize("models_by_format,rounds", [(MODELS, ROUNDS), (LARGE_MODELS, 3)], ids=["small", "large"])
def test_chained_operations_in_threads(frequent_switches, models_by_format, rounds):
    # Each thread embeds its own store into the shared models and reads it
    # back; no thread may see another's data.
    plain = [plain for _, plain in models_by_format.values()]

    def work(index):
        store, uri = bytes([index]) * (index + 1), f"urn:thread:{index}"
        for _ in range(rounds):
            for model in plain:
                out = tarnwick.embed_manifest_both(model, uri, store)
                assert tarnwick.read_manifest(out) == store
                assert tarnwick.read_manifest_uri(out) == uri
                assert tarnwick.remove_manifest(out) == tarnwick.remove_manifest(model)
        return index

    assert run_in_threads(work) == list(range(THREADS))


def test_rewrites_of_large_models_let_other_threads_run():
    # With a switch interval longer than the test, a thread only gets the
    # lock when its holder gives it up of its own accord; the watcher gives it
    # up in every turn, the main thread only inside the calls. So the watcher
    # sees a call's name only if that call released the lock. A sleeping
    # thread may wake later than one call lasts, so each call is repeated
    # until seen, a bounded number of times.
    model = models(bytes(range(256)) * 65536)["SafeTensors"][0]  # 16 MiB: the copy outlasts a turn
    calls = {
        "embed_manifest": lambda: tarnwick.embed_manifest(model, STORE),
        "embed_manifest_remote": lambda: tarnwick.embed_manifest_remote(model, "urn:x"),
        "embed_manifest_both": lambda: tarnwick.embed_manifest_both(model, "urn:x", STORE),
        "remove_manifest": lambda: tarnwick.remove_manifest(model),
    }
    current = [None]
    seen = set()
    stop = threading.Event()

    def watch():
        while not stop.is_set():
            seen.add(current[0])
            time.sleep(1e-4)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    watcher = threading.Thread(target=watch)
    try:
        watcher.start()
        for name, call in calls.items():
            for _ in range(50):
                current[0] = name
                call()
                current[0] = None
                if name in seen:
                    break
    finally:
        stop.set()
        watcher.join()
        sys.setswitchinterval(interval)
    assert seen - {None} == set(calls)
