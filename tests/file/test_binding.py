"""Hard binding on the three formats: where the store lies, a reserved store
hashed in the same pass as the write, the signed store patched into place,
and the check of a declared exclusion and digest."""

import base64
import hashlib
import pathlib
import shutil

import pytest

tarnwick = pytest.importorskip("tarnwick")
if not hasattr(tarnwick, "patch_file"):
    pytest.skip("this build has no binding functions", allow_module_level=True)

SAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "models"
NAMES = ["model.gguf", "model.onnx", "model.safetensors"]


def stored_form(name, store):
    return store if name.endswith(".gguf") else base64.b64encode(store)


def digest_without(data, offset, length, alg="sha256"):
    return hashlib.new(alg, data[:offset] + data[offset + length:]).digest()


@pytest.fixture(params=NAMES)
def reserved(request, tmp_path):
    """A model with a 1000-byte reservation, and the FileResult of making it."""
    model = tmp_path / request.param
    shutil.copyfile(SAMPLES / request.param, model)
    out = tmp_path / ("reserved-" + request.param)
    return out, tarnwick.embed_file(model, reserve=1000, hash="sha384", output=str(out))


@pytest.mark.parametrize("size", [0, 1, 2, 3, 4096])
@pytest.mark.parametrize("name", NAMES)
def test_store_range_holds_the_stored_store(name, size):
    store = bytes(range(256)) * (size // 256) + bytes(range(size % 256))
    model = tarnwick.embed_manifest_both((SAMPLES / name).read_bytes(), "urn:u", store)
    offset, length = tarnwick.inspect(model).store_range
    assert model[offset:offset + length] == stored_form(name, store)


def test_reserve_and_hash_in_one_pass(reserved):
    out, result = reserved
    data = out.read_bytes()
    offset, length = result.store_range
    assert result.store_range == tarnwick.inspect(out).store_range
    assert data[offset:offset + length] == stored_form(out.name, bytes(1000))
    assert result.digest == digest_without(data, offset, length, "sha384")
    assert result.digest == tarnwick.data_hash(out, alg="sha384")


def test_patch_writes_only_the_store(reserved):
    out, result = reserved
    offset, length = result.store_range
    before = out.read_bytes()
    signed = bytes(range(250)) * 4
    patched = tarnwick.patch_file(out, signed)
    after = out.read_bytes()
    assert (patched.store_range, patched.size) == (result.store_range, len(before))
    assert tarnwick.read_file(out) == signed
    assert after[:offset] + after[offset + length:] == before[:offset] + before[offset + length:]
    assert tarnwick.check_binding(out, [result.store_range], tarnwick.data_hash(out, alg="sha384"),
                                  alg="sha384").ok


@pytest.mark.parametrize("size", [997, 1003, 0])
def test_patch_of_another_size_writes_nothing(reserved, size):
    out, result = reserved
    before = out.read_bytes()
    with pytest.raises(ValueError) as e:
        tarnwick.patch_file(out, bytes(size))
    assert str(e.value) == f"store size differs from the reserved store: {size} != 1000: {str(out)!r}"
    assert e.value.filename == str(out)
    assert out.read_bytes() == before


def test_patch_without_a_store(tmp_path):
    model = tmp_path / "model.gguf"
    shutil.copyfile(SAMPLES / "model.gguf", model)
    with pytest.raises(ValueError) as e:
        tarnwick.patch_file(model, b"x")
    assert str(e.value) == f"no C2PA manifest found in model: {str(model)!r}"


# Exclusions a verifier may be handed, built from the true range (o, n).
DECLARED = {
    "shifted": lambda o, n: [(o + 1, n)],
    "widened": lambda o, n: [(o - 1, n + 2)],
    "narrowed": lambda o, n: [(o, n - 1)],
    "split": lambda o, n: [(o, n // 2), (o + n // 2, n - n // 2)],
    "missing": lambda o, n: [],
    "doubled": lambda o, n: [(0, 1), (o, n)],
}


@pytest.mark.parametrize("how", sorted(DECLARED))
def test_check_binding_rejects_an_exclusion_not_at_the_store(reserved, how):
    out, result = reserved
    exclusions = DECLARED[how](*result.store_range)
    try:  # a digest that matches the declared exclusions, where they fit the file
        digest = tarnwick.data_hash(out, alg="sha384", exclusions=exclusions)
    except ValueError:
        digest = result.digest
    check = tarnwick.check_binding(out, exclusions, digest, alg="sha384")
    assert (check.ok, check.location_ok) == (False, False)
    assert check.store_range == result.store_range and "exclusions" in check.reason


def test_check_binding_rejects_a_changed_byte(reserved):
    out, result = reserved
    offset, length = result.store_range
    data = bytearray(out.read_bytes())
    # The last byte outside the store whose change leaves the store in place.
    for i in reversed(range(len(data))):
        if offset <= i < offset + length:
            continue
        data[i] ^= 1
        try:
            if tarnwick.inspect(bytes(data)).store_range == result.store_range:
                break
        except ValueError:
            pass
        data[i] ^= 1
    out.write_bytes(bytes(data))
    check = tarnwick.check_binding(out, [result.store_range], result.digest, alg="sha384")
    assert (check.ok, check.location_ok, check.hash_ok) == (False, True, False)
    assert check.reason == "the digest does not match the model's content"


def test_check_binding_on_a_model_without_a_store():
    model = (SAMPLES / "model.onnx").read_bytes()
    check = tarnwick.check_binding(model, [(0, 1)], b"", alg="sha256")
    assert check == (False, False, False, None, "the model holds no manifest store")
