"""Signing models with the C2PA SDK as a real client does: reserve a store of
the signed size, hash the file without it, sign, patch the signed store in;
then verify with the SDK and with check_binding."""

import base64

import pytest

pytest.importorskip("c2pa")
pytest.importorskip("cryptography")

import tarnwick  # noqa: E402

if not all(hasattr(tarnwick, f) for f in ("inspect", "embed_file", "patch_file", "data_hash", "check_binding")):
    pytest.skip("this tarnwick has no data-hash file functions", allow_module_level=True)

sdk = pytest.importorskip("credentials")
import protowire as pw  # noqa: E402
from gguf_files import gguf_file, kv, tensor, v_str  # noqa: E402
from st_files import st_file  # noqa: E402

# Holds no zero byte, so it is never taken for the reserved store, and is
# found in the file by searching for it.
TENSOR = bytes(range(1, 256)) * 16
N = len(TENSOR)

MODELS = {
    "model.gguf": gguf_file([kv("general.architecture", v_str("llama"))], [tensor("w", [N // 4])], TENSOR),
    # ModelProto.graph.initializer: TensorProto dims, data_type UINT8, name, raw_data
    "model.onnx": pw.model(
        pw.field_bytes(7, pw.field_bytes(5, pw.field_varint(1, N) + pw.field_varint(2, 2)
                                         + pw.field_bytes(8, b"w") + pw.field_bytes(9, TENSOR))),
        pw.entry(b"author", b"me")),
    "model.safetensors": st_file(
        '{"w":{"dtype":"U8","shape":[%d],"data_offsets":[0,%d]},"__metadata__":{"format":"pt"}}' % (N, N), TENSOR),
}

# Reported on every model: the SDK cannot parse these formats to see where
# the store lies. Confirming that is check_binding's part.
LOCATION_UNCHECKED = ("assertion.dataHash.mismatch",
                      "data hash exclusion does not match the manifest location in the asset")
HASH_MISMATCH = ("assertion.dataHash.mismatch",
                 "asset hash error, name: jumbf manifest, error: hash verification( Hashes do not match )")


@pytest.fixture(scope="module")
def credentials():
    return sdk.credentials()


def sign(tmp_path, name, credentials, widen=False):
    """Signs a copy of MODELS[name]; with `widen`, the declared exclusion
    also covers the tensor. Returns the path, the exclusions and the store."""
    chain, key, _ = credentials
    (tmp_path / name).write_bytes(MODELS[name])
    path = str(tmp_path / ("signed-" + name))
    signer, builder = sdk.signer(chain, key), sdk.builder(name)
    reserved = tarnwick.embed_file(str(tmp_path / name), reserve=len(sdk.placeholder(builder, signer)),
                                   hash="sha256", output=path)
    exclusions, digest = [reserved.store_range], reserved.digest
    if widen:
        offset, length = reserved.store_range
        t = open(path, "rb").read().find(TENSOR)
        start, end = min(offset, t), max(offset + length, t + N)
        exclusions = [(start, end - start)]
        digest = tarnwick.data_hash(path, exclusions=exclusions)
    store = sdk.sign(builder, signer, exclusions, digest)
    tarnwick.patch_file(path, store)
    return path, exclusions, store


def flip_tensor_byte(path):
    with open(path, "r+b") as f:
        data = f.read()
        f.seek(data.find(TENSOR) + 100)
        f.write(bytes([data[data.find(TENSOR) + 100] ^ 1]))


def verdicts(path, credentials):
    """The SDK's (success codes, failures) and tarnwick's check of the data
    hash assertion that the SDK read from the store."""
    model = open(path, "rb").read()
    codes, data_hash = sdk.verify(model, tarnwick.read_manifest(model), credentials[2])
    check = tarnwick.check_binding(path, data_hash["exclusions"], data_hash["hash"], alg=data_hash["alg"])
    return {c for c, _ in codes["success"]}, codes["failure"], check


@pytest.mark.parametrize("name", sorted(MODELS))
def test_signed_model_verifies(tmp_path, name, credentials):
    path, exclusions, store = sign(tmp_path, name, credentials)
    offset, length = tarnwick.inspect(path).store_range
    assert exclusions == [(offset, length)]
    stored = open(path, "rb").read()[offset:offset + length]
    assert stored == (store if name.endswith(".gguf") else base64.b64encode(store))

    success, failures, check = verdicts(path, credentials)
    assert {"signingCredential.trusted", "claimSignature.validated", "assertion.dataHash.match"} <= success
    assert failures == [LOCATION_UNCHECKED]
    assert (check.ok, check.location_ok, check.hash_ok, check.store_range, check.reason) == \
        (True, True, True, (offset, length), None)


@pytest.mark.parametrize("name", sorted(MODELS))
def test_changed_tensor_byte_fails_both_checks(tmp_path, name, credentials):
    path, _, _ = sign(tmp_path, name, credentials)
    flip_tensor_byte(path)
    success, failures, check = verdicts(path, credentials)
    assert "claimSignature.validated" in success and "assertion.dataHash.match" not in success
    assert HASH_MISMATCH in failures
    assert (check.ok, check.location_ok, check.hash_ok) == (False, True, False)
    assert check.reason


@pytest.mark.parametrize("name", sorted(MODELS))
def test_exclusion_wider_than_the_store_hides_a_change_from_the_sdk_only(tmp_path, name, credentials):
    path, exclusions, _ = sign(tmp_path, name, credentials, widen=True)
    flip_tensor_byte(path)
    success, failures, check = verdicts(path, credentials)
    assert "assertion.dataHash.match" in success and HASH_MISMATCH not in failures
    assert (check.ok, check.location_ok, check.hash_ok) == (False, False, True)
    assert check.store_range != exclusions[0] and check.reason
