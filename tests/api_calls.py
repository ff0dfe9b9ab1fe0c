"""A table of calls covering every function on every format, on success
paths and on every error a Python caller can meet, for tests that repeat
calls (leaks, reference counts, threads)."""

import base64
from dataclasses import dataclass, field

import protowire as pw
import tarnwick
from gguf_files import gguf_file, kv, store_kv, u32, uri_kv, v_str
from st_files import st_file

STORE = bytes(range(256)) * 4
STORE_TEXT = base64.b64encode(STORE)
URI = "https://example.org/manifests/ä☃"
TENSOR_DATA = bytes(range(256)) * 16  # big enough that a leaked copy shows in the process size


def st_model(metadata, data=TENSOR_DATA):
    tensor = '"w":{"dtype":"U8","shape":[%d],"data_offsets":[0,%d]}' % (len(data), len(data))
    return st_file("{" + tensor + ',"__metadata__":{' + metadata + "}}", data)


def models(data):
    """Per format: a model holding a store and a URI, and the same model without them."""
    onnx_graph = pw.field_bytes(7, pw.field_bytes(1, data))
    return {
        "GGUF": (gguf_file([kv("general.architecture", v_str("llama")), store_kv(STORE), uri_kv(URI)], data=data),
                 gguf_file([kv("general.architecture", v_str("llama"))], data=data)),
        "ONNX": (pw.model(onnx_graph, pw.entry(b"author", b"me"), pw.entry(pw.STORE_KEY, STORE_TEXT),
                          pw.entry(pw.URI_KEY, URI.encode())),
                 pw.model(onnx_graph, pw.entry(b"author", b"me"))),
        "SafeTensors": (st_model('"format":"pt","c2pa:manifest":"%s","c2pa:manifest.uri":"%s"'
                                 % (STORE_TEXT.decode(), URI), data),
                        st_model('"format":"pt"', data)),
    }


MODELS = models(TENSOR_DATA)
(GGUF, GGUF_PLAIN), (ONNX, ONNX_PLAIN), (SAFETENSORS, SAFETENSORS_PLAIN) = MODELS.values()


class Bytes(bytes):
    pass


class Str(str):
    pass


@dataclass
class Call:
    function: object
    args: tuple
    kwargs: dict = field(default_factory=dict)
    raises: type = None  # the exception expected, None for success
    message: str = None  # its exact text, for ValueError

    def __call__(self):
        return self.function(*self.args, **self.kwargs)

    def outcome(self):
        """The result, or the exception's type and text."""
        try:
            return self()
        except Exception as e:  # noqa: BLE001 - the outcome is the thing compared
            return type(e), str(e)


def successes(model, plain):
    return {
        "embed_manifest": Call(tarnwick.embed_manifest, (plain, STORE)),
        "embed_manifest_remote": Call(tarnwick.embed_manifest_remote, (model, URI)),
        "embed_manifest_both": Call(tarnwick.embed_manifest_both, (), dict(model=model, uri=URI, store=STORE)),
        "read_manifest": Call(tarnwick.read_manifest, (model,)),
        "read_manifest_uri": Call(tarnwick.read_manifest_uri, (model,)),
        "read_manifest_uri none": Call(tarnwick.read_manifest_uri, (plain,)),
        "remove_manifest": Call(tarnwick.remove_manifest, (model,)),
        "detect_format": Call(tarnwick.detect_format, (model,)),
        "model_type": Call(tarnwick.model_type, (model,)),
    }


def successes_on(models_by_format):
    return {f"{name} {fmt}": call for fmt, (model, plain) in models_by_format.items()
            for name, call in successes(model, plain).items()}


SUCCESSES = successes_on(MODELS)
SUCCESSES.update({
    "detect_format unrecognized": Call(tarnwick.detect_format, (b"not a model",)),
    "embed_manifest subclasses": Call(tarnwick.embed_manifest_both, (Bytes(GGUF), Str(URI), Bytes(STORE))),
})

MALFORMED = "malformed model container: "
NO_MANIFEST = "no C2PA manifest found in model"
NOT_BASE64 = "malformed manifest reference: value is not valid Base64"

ERRORS = {
    "UnrecognizedFormat": Call(tarnwick.read_manifest, (b"not a model",), raises=ValueError,
                               message="unrecognized ML model container format"),
    "Malformed GGUF": Call(tarnwick.embed_manifest, (b"GGUF" + u32(1) + bytes(16), STORE), raises=ValueError,
                           message=MALFORMED + "unsupported GGUF version 1"),
    "Malformed ONNX": Call(tarnwick.remove_manifest, (pw.model(pw.field_bytes(14, b"\x0a\x05ab")),),
                           raises=ValueError, message=MALFORMED + "unexpected end of ONNX protobuf"),
    "Malformed SafeTensors": Call(tarnwick.read_manifest_uri, (st_file('{"a":'),), raises=ValueError,
                                  message=MALFORMED + "unexpected end of input"),
    "NoManifest GGUF": Call(tarnwick.read_manifest, (GGUF_PLAIN,), raises=ValueError, message=NO_MANIFEST),
    "NoManifest ONNX": Call(tarnwick.read_manifest, (ONNX_PLAIN,), raises=ValueError, message=NO_MANIFEST),
    "NoManifest SafeTensors": Call(tarnwick.read_manifest, (SAFETENSORS_PLAIN,), raises=ValueError,
                                   message=NO_MANIFEST),
    "MalformedReference ONNX": Call(tarnwick.read_manifest, (pw.model(pw.entry(pw.STORE_KEY, b"abc")),),
                                    raises=ValueError, message=NOT_BASE64),
    "MalformedReference SafeTensors": Call(tarnwick.read_manifest, (st_model('"c2pa:manifest":"abc"'),),
                                           raises=ValueError, message=NOT_BASE64),
    "DuplicateManifest ONNX": Call(tarnwick.read_manifest, (ONNX + pw.entry(pw.STORE_KEY, STORE_TEXT),),
                                   raises=ValueError,
                                   message="more than one c2pa:manifest entry in the ONNX container"),
    "DuplicateManifest SafeTensors": Call(tarnwick.read_manifest,
                                          (st_model('"c2pa:manifest":"QUJD","c2pa:manifest":"QUJD"'),),
                                          raises=ValueError,
                                          message="more than one c2pa:manifest entry in the SafeTensors container"),
    "MalformedExclusion": Call(tarnwick.read_manifest, (st_file(b'{"a":"\xff"}'),), raises=ValueError,
                               message="data hash exclusion is malformed: header is not UTF-8"),
    "TypeError model": Call(tarnwick.read_manifest, (bytearray(GGUF),), raises=TypeError),
    "TypeError uri": Call(tarnwick.embed_manifest_both, (GGUF, URI.encode(), STORE), raises=TypeError),
    "TypeError missing": Call(tarnwick.embed_manifest, (GGUF,), raises=TypeError),
    "TypeError keyword": Call(tarnwick.remove_manifest, (GGUF,), dict(extra=1), raises=TypeError),
    "UnicodeEncodeError": Call(tarnwick.embed_manifest_remote, (GGUF, "\ud800"), raises=UnicodeEncodeError),
}

CALLS = {**SUCCESSES, **ERRORS}

# Models large enough to be parsed and copied without the interpreter lock.
LARGE_MODELS = models(bytes(range(256)) * 4096)  # 1 MiB of tensor data
LARGE_CALLS = {
    **successes_on(LARGE_MODELS),
    # Errors found while the lock is released are raised once it is back.
    "NoManifest GGUF": Call(tarnwick.read_manifest, (LARGE_MODELS["GGUF"][1],), raises=ValueError,
                            message=NO_MANIFEST),
    "Malformed GGUF": Call(tarnwick.embed_manifest, (b"GGUF" + u32(1) + bytes(1 << 20), STORE), raises=ValueError,
                           message=MALFORMED + "unsupported GGUF version 1"),
    "UnrecognizedFormat": Call(tarnwick.remove_manifest, (b"\xff" * (1 << 20),), raises=ValueError,
                               message="unrecognized ML model container format"),
    "TypeError uri": Call(tarnwick.embed_manifest_both, (LARGE_MODELS["GGUF"][1], URI.encode(), STORE),
                          raises=TypeError),
}
