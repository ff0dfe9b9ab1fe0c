"""The C2PA SDK (c2pa-python) for signing and validating data-hashed models.

The library that c2pa-python bundles exports the SDK's signing of a store for
a data-hashed asset, but the Python wrapper does not expose it; this module
is the one place that calls it, through ctypes on the wrapper's own library.
Everything else goes through the wrapper's public API."""

import ctypes
import json

# The range the data-hashed calls below were written and tested against.
SUPPORTED = ">=0.38,<0.39"
_LOW, _HIGH = (0, 38), (0, 39)

# The store as raw JUMBF, the form a model file holds; signed in this format,
# the store has exactly the placeholder's size.
STORE_FORMAT = b"application/c2pa"
# What the SDK is told a model is: it has no parser for model formats.
ASSET_FORMAT = "application/octet-stream"
# What it is told a store on its own is, for an ingredient.
STORE_MIME = "application/x-c2pa-manifest-store"


def missing(command):
    return f"tarnwick {command} needs the C2PA SDK: pip install 'tarnwick[c2pa]'"


def version_found():
    try:
        from importlib.metadata import version
        return version("c2pa-python")
    except Exception:  # noqa: BLE001 - only for the message
        return "unknown"


def _in_range(text):
    try:
        parts = tuple(int(p) for p in text.split(".")[:2])
    except ValueError:
        return False
    return _LOW <= parts < _HIGH


class _Calls:
    """The SDK's data-hashed calls, bound once per process."""

    def __init__(self, c2pa, wrapper):
        self.c2pa = c2pa
        lib = ctypes.CDLL(wrapper._lib._name)  # the same library, our own prototypes
        out = ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte))
        # int64_t c2pa_builder_data_hashed_placeholder(C2paBuilder*, uintptr_t reserved_size,
        #                                              const char* format, const unsigned char** out)
        lib.c2pa_builder_data_hashed_placeholder.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p, out]
        lib.c2pa_builder_data_hashed_placeholder.restype = ctypes.c_int64
        # int64_t c2pa_builder_sign_data_hashed_embeddable(C2paBuilder*, C2paSigner*, const char* data_hash_json,
        #     const char* format, C2paStream* asset /* NULL: the hash is given */, const unsigned char** out)
        lib.c2pa_builder_sign_data_hashed_embeddable.argtypes = [
            ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, out]
        lib.c2pa_builder_sign_data_hashed_embeddable.restype = ctypes.c_int64
        # char* c2pa_error(void); int c2pa_free(const void*) releases both the text and the bytes.
        lib.c2pa_error.argtypes = []
        lib.c2pa_error.restype = ctypes.c_void_p
        lib.c2pa_free.argtypes = [ctypes.c_void_p]
        lib.c2pa_free.restype = ctypes.c_int
        self.lib = lib

    def _take(self, size, out):
        if size < 0 or not out:
            raw = self.lib.c2pa_error()
            text = ctypes.string_at(raw).decode("utf-8", "replace") if raw else "no error text"
            if raw:
                self.lib.c2pa_free(raw)
            raise self.c2pa.C2paError(text)
        try:
            return ctypes.string_at(out, size)
        finally:
            self.lib.c2pa_free(out)

    @staticmethod
    def _handle(resource):
        return ctypes.cast(resource._handle, ctypes.c_void_p)

    def placeholder(self, builder, signer):
        """A placeholder store of the size the signed store will have. It also
        adds the data hash assertion to the builder, so it comes before sign()."""
        out = ctypes.POINTER(ctypes.c_ubyte)()
        size = self.lib.c2pa_builder_data_hashed_placeholder(
            self._handle(builder), signer.reserve_size(), STORE_FORMAT, ctypes.byref(out))
        return self._take(size, out)

    def sign(self, builder, signer, exclusions, digest, alg="sha256"):
        """The signed store of a file whose data hash without `exclusions`
        [(offset, length), ...] is `digest`."""
        data_hash = {
            "exclusions": [{"start": offset, "length": length} for offset, length in exclusions],
            "name": "jumbf manifest",
            "alg": alg,
            "hash": list(digest),  # a byte list: the SDK takes no Base64 text here
            "pad": [],
        }
        out = ctypes.POINTER(ctypes.c_ubyte)()
        size = self.lib.c2pa_builder_sign_data_hashed_embeddable(
            self._handle(builder), self._handle(signer), json.dumps(data_hash).encode(), STORE_FORMAT, None,
            ctypes.byref(out))
        return self._take(size, out)


_calls = None


def load(command):
    """The SDK's calls; ImportError saying what to install, or which SDK
    version was found and which range works, when they cannot be had."""
    global _calls
    if _calls is not None:
        return _calls
    try:
        import c2pa
        import c2pa.c2pa as wrapper
    except ImportError as e:
        raise ImportError(missing(command), name="c2pa") from e
    try:
        calls = _Calls(c2pa, wrapper)
    except (AttributeError, OSError) as e:
        raise ImportError(
            f"tarnwick {command}: the C2PA SDK found (c2pa-python {version_found()}) lacks the data-hashed "
            f"signing calls; tarnwick supports c2pa-python {SUPPORTED}: pip install 'tarnwick[c2pa]' ({e})",
            name="c2pa") from e
    _calls = calls
    return calls


def version_supported():
    return _in_range(version_found())
