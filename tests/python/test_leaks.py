"""Repeated calls on every success and error path keep memory flat and leave
reference counts alone."""

import gc
import os
import sys
import tracemalloc

import pytest

from api_calls import CALLS, LARGE_CALLS

WARM_UP = 200

# Large models are worked on without the interpreter lock, the call holding a
# reference of its own to the model meanwhile.
LARGE = {"large " + name: call for name, call in LARGE_CALLS.items()}
WITH_LARGE = {**CALLS, **LARGE}


def repeat(call, times):
    if call.raises is None:
        for _ in range(times):
            call()
    else:
        for _ in range(times):
            try:
                call()
            except call.raises:
                pass


def growth_of_second_batch(call, measure, batch):
    """Memory added by a second batch of calls after a first one. A leak adds
    about the same to both batches; a one-time cost shows in the first only,
    so only the second is judged."""
    repeat(call, WARM_UP)
    gc.collect()
    before = measure()
    repeat(call, batch)
    gc.collect()
    middle = measure()
    repeat(call, batch)
    gc.collect()
    after = measure()
    return middle - before, after - middle


@pytest.mark.parametrize("name", WITH_LARGE)
def test_outcome(name):
    call = WITH_LARGE[name]
    if call.raises is None:
        call()
        return
    with pytest.raises(call.raises) as e:
        call()
    if call.message is not None:
        assert str(e.value) == call.message


@pytest.mark.parametrize("name", CALLS)
def test_python_objects_do_not_accumulate(name):
    # One leaked object per call would add at least 32 bytes times the batch.
    batch, tolerance = 2000, 16 * 1024
    tracemalloc.start()
    try:
        first, second = growth_of_second_batch(CALLS[name], lambda: tracemalloc.get_traced_memory()[0], batch)
    finally:
        tracemalloc.stop()
    assert second < tolerance, f"traced memory grew by {first} then {second} bytes over {batch} calls"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# AddressSanitizer holds freed memory in quarantine, so the resident size
# grows under it whatever the code does; it finds leaks its own way.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif(UNDER_ASAN, reason="the resident size means nothing under AddressSanitizer")
@pytest.mark.parametrize("name", CALLS)
def test_native_memory_does_not_grow(name):
    # Catches native leaks down to about 20 bytes a call; a leaked model or
    # output copy (4 KiB and more) would add some 200 MiB.
    batch, tolerance = 50000, 1024 * 1024
    first, second = growth_of_second_batch(CALLS[name], resident_bytes, batch)
    assert second < tolerance, f"resident size grew by {first} then {second} bytes over {batch} calls"


@pytest.mark.parametrize("name", WITH_LARGE)
def test_reference_counts_are_kept(name):
    call = WITH_LARGE[name]
    times = 20 if name in LARGE else 1000
    arguments = list(call.args) + list(call.kwargs.values())
    counts = [sys.getrefcount(a) for a in arguments]
    repeat(call, times)
    assert [sys.getrefcount(a) for a in arguments] == counts
    if call.raises is None:
        result = call()
        fresh = bytes(bytearray(1))  # a new object held by one name, like `result`
        if result is not None:
            assert sys.getrefcount(result) == sys.getrefcount(fresh)
