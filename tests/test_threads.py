"""Many threads calling the functions on shared model objects get the same
results as calls made one after another."""

import sys
import threading

import pytest

import tarnwick
from api_calls import CALLS, GGUF_PLAIN, ONNX_PLAIN, SAFETENSORS_PLAIN

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


def test_concurrent_calls_match_sequential_ones(frequent_switches):
    names = list(CALLS)
    expected = {name: CALLS[name].outcome() for name in names}

    def work(index):
        # Each thread walks the table from its own starting point, so
        # different operations and formats overlap.
        outcomes = []
        for round_ in range(ROUNDS):
            for step in range(len(names)):
                name = names[(index * 7 + round_ + step) % len(names)]
                outcomes.append((name, CALLS[name].outcome()))
        return outcomes

    for outcomes in run_in_threads(work):
        assert len(outcomes) == ROUNDS * len(names)
        for name, outcome in outcomes:
            assert outcome == expected[name], name


def test_chained_operations_in_threads(frequent_switches):
    # Each thread embeds its own store into the shared models and reads it
    # back; no thread may see another's data.
    models = [GGUF_PLAIN, ONNX_PLAIN, SAFETENSORS_PLAIN]

    def work(index):
        store, uri = bytes([index]) * (index + 1), f"urn:thread:{index}"
        for _ in range(ROUNDS):
            for model in models:
                out = tarnwick.embed_manifest_both(model, uri, store)
                assert tarnwick.read_manifest(out) == store
                assert tarnwick.read_manifest_uri(out) == uri
                assert tarnwick.remove_manifest(out) == tarnwick.remove_manifest(model)
        return index

    assert run_in_threads(work) == list(range(THREADS))
