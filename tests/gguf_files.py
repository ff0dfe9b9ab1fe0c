"""Builders for GGUF files held in memory."""

import struct

UINT8, INT8, UINT32, FLOAT32, STRING, ARRAY, UINT64 = 0, 1, 4, 6, 8, 9, 10


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def gstr(s):
    b = s.encode() if isinstance(s, str) else s
    return u64(len(b)) + b


def v_u32(n):
    return u32(UINT32) + u32(n)


def v_u64(n):
    return u32(UINT64) + u64(n)


def v_str(s):
    return u32(STRING) + gstr(s)


def array_body(element_type, count, payload=b""):
    return u32(element_type) + u64(count) + payload


def v_array(element_type, count, payload=b""):
    return u32(ARRAY) + array_body(element_type, count, payload)


def v_bytes(b):
    return v_array(UINT8, len(b), b)


def kv(key, value):
    return gstr(key) + value


def store_kv(store):
    return kv("c2pa:manifest", v_bytes(store))


def uri_kv(uri):
    return kv("c2pa:manifest.uri", v_str(uri))


def padding_kv(zeros):
    return kv("c2pa:padding", v_bytes(bytes(zeros)))


def tensor(name, dims, ggml_type=0, offset=0):
    return gstr(name) + u32(len(dims)) + b"".join(map(u64, dims)) + u32(ggml_type) + u64(offset)


def header(n_tensors, n_kvs, version=3):
    return b"GGUF" + u32(version) + u64(n_tensors) + u64(n_kvs)


def gguf_file(kvs=(), tensors=(), data=b"", alignment=32, n_kvs=None):
    head = header(len(tensors), len(kvs) if n_kvs is None else n_kvs)
    head += b"".join(kvs) + b"".join(tensors)
    return head + bytes(-len(head) % alignment) + data
