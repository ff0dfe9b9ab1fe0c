"""Small models of many files, written by the peers' own writers: a sharded
SafeTensors model with its index (the Hugging Face layout), a split GGUF model
(gguf's writer: split.* keys, llama.cpp's naming rule) and an ONNX model with
external data (onnx.save_model)."""

import json
import os

import numpy as np


def tensors(count, seed=0):
    rng = np.random.default_rng(seed)
    return {f"layer.{i}.weight": rng.standard_normal((16, 8)).astype(np.float32) for i in range(count)}


def safetensors_model(folder, shards=3, seed=0):
    """model-0000i-of-0000N.safetensors and model.safetensors.index.json, as
    huggingface_hub's sharded save writes them."""
    from safetensors.numpy import save_file
    os.makedirs(folder, exist_ok=True)
    weights = tensors(shards * 2, seed)
    names = sorted(weights)
    weight_map, total = {}, 0
    for i in range(shards):
        shard = f"model-{i + 1:05d}-of-{shards:05d}.safetensors"
        part = {n: weights[n] for n in names[2 * i: 2 * i + 2]}
        save_file(part, os.path.join(folder, shard), metadata={"format": "np"})
        weight_map.update(dict.fromkeys(part, shard))
        total += sum(t.nbytes for t in part.values())
    with open(os.path.join(folder, "model.safetensors.index.json"), "w") as f:
        json.dump({"metadata": {"total_size": total}, "weight_map": weight_map}, f, indent=2)
    return os.path.join(folder, "model.safetensors.index.json")


def gguf_model(folder, splits=3, seed=0):
    """name-0000i-of-0000N.gguf by gguf's writer with one tensor a split."""
    import gguf
    os.makedirs(folder, exist_ok=True)
    w = gguf.GGUFWriter(os.path.join(folder, "tiny.gguf"), "llama", split_max_tensors=1)
    w.add_name("tiny")
    for name, t in tensors(splits, seed).items():
        w.add_tensor(name, t)
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return os.path.join(folder, f"tiny-00001-of-{splits:05d}.gguf")


def onnx_model(folder, seed=0, location="weights.bin"):
    """model.onnx with its initializers in `location` (onnx.save_model)."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(seed)
    w = numpy_helper.from_array(rng.standard_normal((8, 4)).astype(np.float32), "w")
    b = numpy_helper.from_array(rng.standard_normal((4,)).astype(np.float32), "b")
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w"], ["xw"]), helper.make_node("Add", ["xw", "b"], ["y"])],
        "tiny", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 8])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4])], [w, b])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    path = os.path.join(folder, "model.onnx")
    onnx.save_model(model, path, save_as_external_data=True, all_tensors_to_one_file=True, location=location,
                    size_threshold=0)
    return path
