"""data_hash: the digest of a model without its exclusion ranges, against
hashlib over the same bytes, and the exclusions it refuses."""

import hashlib

import pytest
import tarnwick
from gguf_files import gguf_file, kv, v_str

pytestmark = pytest.mark.skipif(not hasattr(tarnwick, "data_hash"), reason="this tarnwick has no data_hash")

MODEL = gguf_file([kv("general.architecture", v_str("llama"))], data=bytes(range(256)) * 40)
N = len(MODEL)


def reference(alg, exclusions):
    h = hashlib.new(alg)
    pos = 0
    for offset, length in exclusions:
        h.update(MODEL[pos:offset])
        pos = offset + length
    h.update(MODEL[pos:])
    return h.digest()


@pytest.mark.parametrize("alg", ["sha256", "sha384", "sha512"])
@pytest.mark.parametrize("exclusions", [
    [],
    [(0, 0)],
    [(0, N)],
    [(0, 10)],
    [(N - 10, 10)],
    [(N, 0)],
    [(5, 0), (5, 3), (8, 100)],  # empty, adjacent
    [(100, 4000), (4100, 1), (5000, N - 5000)],
])
def test_matches_hashlib(alg, exclusions):
    assert tarnwick.data_hash(MODEL, alg=alg, exclusions=exclusions) == reference(alg, exclusions)


# A megabyte or more is hashed a block at a time through a buffer:
# pieces that start, end and skip across those blocks.
BIG = bytes(range(251)) * 12600  # 3 MiB
K = 256 * 1024


@pytest.mark.parametrize("exclusions", [
    [],
    [(K - 1, 2)],
    [(0, K), (2 * K, K + 1)],
    [(K + 7, len(BIG) - K - 7)],
])
def test_large_input_matches_hashlib(exclusions):
    h = hashlib.sha256()
    pos = 0
    for offset, length in exclusions:
        h.update(BIG[pos:offset])
        pos = offset + length
    h.update(BIG[pos:])
    assert tarnwick.data_hash(BIG, exclusions=exclusions) == h.digest()


def test_no_store_no_exclusion():
    assert tarnwick.data_hash(MODEL) == hashlib.sha256(MODEL).digest()


@pytest.mark.parametrize("exclusions, message", [
    ([(0, N + 1)], f"(0, {N + 1}) extends past the end of the model ({N} bytes)"),
    ([(N, 1)], f"({N}, 1) extends past the end of the model ({N} bytes)"),
    ([(2**64 - 1, 2)], f"({2**64 - 1}, 2) extends past the end of the model ({N} bytes)"),
    ([(5, 2**64 - 1)], f"(5, {2**64 - 1}) extends past the end of the model ({N} bytes)"),
    ([(10, 5), (5, 2)], "(5, 2) starts before (10, 5); exclusions must be in ascending order"),
    ([(10, 5), (14, 4)], "(14, 4) overlaps (10, 5)"),
    ([(0, 1), (10, 5), (10, 1)], "(10, 1) overlaps (10, 5)"),
])
def test_malformed_exclusions(exclusions, message):
    with pytest.raises(ValueError) as e:
        tarnwick.data_hash(MODEL, exclusions=exclusions)
    assert str(e.value) == "data hash exclusion is malformed: " + message


@pytest.mark.parametrize("alg", ["SHA256", "Sha384", "sHA512"])
def test_algorithm_names_in_any_case(alg):
    assert tarnwick.data_hash(MODEL, alg=alg) == hashlib.new(alg, MODEL).digest()


@pytest.mark.parametrize("alg", ["md5", "SHA-256", "sha-256", "sha3_256", "sha256 ", ""])
def test_unsupported_algorithm(alg):
    with pytest.raises(ValueError) as e:
        tarnwick.data_hash(MODEL, alg=alg)
    assert str(e.value) == f"unsupported hash algorithm '{alg}': expected sha256, sha384 or sha512"
