# The package over the native module: its eight functions (__all__), the
# file functions and their result types, and signing and verifying with the
# C2PA SDK (an optional extra, imported only when those are called). The
# description lives in the README and the package metadata; the module's
# docstring stays empty, as the native module's is.
""

from ._version import version as __version__

from . import _native
from ._native import *  # noqa: F401,F403
from ._native import (  # noqa: F401
    _embed_manifest_aligned,
    _remove_manifest_aligned,
    BindingCheck,
    FileResult,
    ModelInfo,
    __all__,
    check_binding,
    data_hash,
    embed_file,
    inspect,
    patch_file,
    read_file,
    read_file_uri,
    strip_file,
)

# The native functions belong to this package as far as users can see, as
# they did when the module itself was `tarnwick`.
for _name in dir(_native):
    _f = getattr(_native, _name)
    if callable(_f) and not isinstance(_f, type) and not _name.startswith("_"):
        _f.__module__ = __name__
del _name, _f, _native

from ._errors import CommitInterrupted, ModelError, SigningError, UntrustedModel, UsageError  # noqa: E402,F401

# Need the C2PA SDK (the `c2pa` extra) only when called.
from ._results import (  # noqa: E402,F401
    MemberVerification,
    ModelSignResult,
    ModelVerification,
    OmsVerification,
    SignedMember,
    SignResult,
    Verification,
)

# Signing and verifying are imported on first use: they bring in ctypes and
# the HTTP client, which an isolated sub-interpreter cannot load and which
# a program that only embeds or reads should not pay for.
_LAZY = {"load_key": "._keys", "SigningKey": "._keys", "CallbackSigner": "._keys", "sign_file": "._sign", "verify_file": "._verify",
         "sign_model": "._sign", "verify_model": "._verify", "open_verified": "._sealed", "VerifiedModel": "._sealed"}


# tarnwick.batch (many models, on threads or Ray) after `import tarnwick`
# alone, as after `import tarnwick.batch`.
_SUBMODULES = ("batch",)


def __getattr__(name):
    if name in _SUBMODULES:
        import importlib

        return importlib.import_module("." + name, __name__)
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_LAZY) | set(_SUBMODULES))
