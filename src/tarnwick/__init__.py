# The package over the native module: its eight functions (__all__), the
# file functions and their result types, and signing and verifying with the
# C2PA SDK (an optional extra, imported only when those are called).
__doc__ = ""

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

# Need the C2PA SDK (the `c2pa` extra) only when called.
from ._results import (  # noqa: E402,F401
    MemberVerification,
    ModelSignResult,
    ModelVerification,
    SignedMember,
    SignResult,
    Verification,
)
from ._sign import sign_file  # noqa: E402,F401
from ._verify import verify_file  # noqa: E402,F401
from ._many import sign_model, verify_model  # noqa: E402,F401
