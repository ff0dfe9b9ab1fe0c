"""Signs a GGUF, an ONNX and a SafeTensors model with the C2PA SDK
(c2pa-python) and a data hash, then verifies them, before and after one
weight byte is changed.

The five steps of a data-hash signature, with tarnwick doing the model part:
  1. reserve a store of the signed size in the model (embed_file reserve=N),
  2. learn where it landed (store_range) and
  3. hash the file without that range (both from the same embed_file call),
  4. sign with the SDK, declaring that range as the exclusion,
  5. write the signed store into exactly that range (patch_file).
A verifier runs the SDK's checks (signature, hash) and tarnwick's
check_binding, which confirms that the declared exclusion is exactly where the
store lies: the SDK cannot parse model files to check that.

Needs c2pa-python, cryptography, numpy, gguf, onnx and safetensors (the test
extras). The SDK's data-hashed signing is reached through tests/c2pa_sdk.py.
"""

import pathlib
import sys
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import tarnwick  # noqa: E402

# One float32 tensor, written by each format's own library.
WEIGHT = np.linspace(0.5, 32.0, 64, dtype=np.float32)


def write_models(folder):
    import gguf
    import onnx
    import safetensors.numpy
    from onnx import TensorProto, helper, numpy_helper

    writer = gguf.GGUFWriter(folder / "model.gguf", "demo")
    writer.add_tensor("weight", WEIGHT)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()

    graph = helper.make_graph([helper.make_node("Identity", ["weight"], ["y"])], "demo", [],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [len(WEIGHT)])],
                              initializer=[numpy_helper.from_array(WEIGHT, "weight")])
    onnx.save(helper.make_model(graph), folder / "model.onnx")

    (folder / "model.safetensors").write_bytes(
        safetensors.numpy.save({"weight": WEIGHT}, metadata={"format": "np"}))
    return [folder / name for name in ("model.gguf", "model.onnx", "model.safetensors")]


def sign(sdk, credentials, model, out):
    chain, key, _ = credentials
    signer, builder = sdk.signer(chain, key), sdk.builder(model.name)
    size = len(sdk.placeholder(builder, signer))  # the signed store has exactly this size
    reserved = tarnwick.embed_file(str(model), reserve=size, hash="sha256", output=str(out))
    print(f"  reserved a {size}-byte store at {reserved.store_range}; "
          f"sha256 of the rest {reserved.digest.hex()[:16]}...")
    store = sdk.sign(builder, signer, [reserved.store_range], reserved.digest)
    tarnwick.patch_file(str(out), store)
    print(f"  signed with the SDK and patched the {len(store)}-byte store into that range")


def verify(sdk, credentials, path):
    """Prints both verdicts and returns whether the model is bound to its
    manifest."""
    model = path.read_bytes()
    codes, data_hash = sdk.verify(model, tarnwick.read_manifest(model), credentials[2])
    success = {code for code, _ in codes["success"]}
    for code in ("claimSignature.validated", "assertion.dataHash.match"):
        if code in success:
            print(f"    SDK      ok    {code}")
    for code, explanation in codes["failure"]:
        print(f"    SDK      fail  {code}: {explanation}")
    check = tarnwick.check_binding(str(path), data_hash["exclusions"], data_hash["hash"], alg=data_hash["alg"])
    print(f"    tarnwick {'ok   ' if check.ok else 'fail '} check_binding: exclusions {data_hash['exclusions']}, "
          f"store at {check.store_range}, location {'ok' if check.location_ok else 'wrong'}, "
          f"hash {'ok' if check.hash_ok else 'differs'}" + (f" ({check.reason})" if check.reason else ""))
    bound = {"claimSignature.validated", "assertion.dataHash.match"} <= success and check.ok
    print(f"    verdict: {'signed and bound' if bound else 'NOT bound to its manifest'}")
    return bound


def main() -> int:
    try:
        import c2pa_sdk as sdk
    except ImportError as e:
        print(f"skipped: the C2PA SDK is not available ({e})")
        return 0
    if not all(hasattr(tarnwick, f) for f in ("embed_file", "patch_file", "check_binding")):
        print("skipped: this tarnwick has no data-hash file functions")
        return 0

    credentials = sdk.credentials()  # a throwaway test CA and signing certificate
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        for model in write_models(folder):
            print(f"{model.name}: {model.stat().st_size} bytes, {tarnwick.detect_format(model.read_bytes())}")
            out = folder / ("signed-" + model.name)
            sign(sdk, credentials, model, out)
            print("  verify:")
            good = verify(sdk, credentials, out)
            data = bytearray(out.read_bytes())
            data[data.find(WEIGHT.tobytes()) + 1] ^= 0x01
            out.write_bytes(data)
            print("  verify after flipping one bit of a weight:")
            bad = verify(sdk, credentials, out)
            if not good or bad:
                print("unexpected verdict", file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
