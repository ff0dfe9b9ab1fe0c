from typing import List, Optional

__version__: str
__all__ = [
    "embed_manifest",
    "embed_manifest_remote",
    "embed_manifest_both",
    "read_manifest",
    "read_manifest_uri",
    "remove_manifest",
    "detect_format",
    "model_type",
]

def embed_manifest(model: bytes, store: bytes) -> bytes:
    """Embed a C2PA Manifest Store into a model, auto-detecting the format."""

def embed_manifest_remote(model: bytes, uri: str) -> bytes:
    """Embed a remote manifest URI into a model, auto-detecting the format."""

def embed_manifest_both(model: bytes, uri: str, store: bytes) -> bytes:
    """Embed both a Manifest Store and a remote URI into a model."""

def read_manifest(model: bytes) -> bytes:
    """Read the embedded C2PA Manifest Store from a model."""

def read_manifest_uri(model: bytes) -> Optional[str]:
    """Read the remote manifest URI from a model, or `None` if absent."""

def remove_manifest(model: bytes) -> bytes:
    """Remove any C2PA metadata from a model."""

def detect_format(model: bytes) -> Optional[str]:
    """Detect the container format: `"GGUF"`, `"SafeTensors"`, `"ONNX"`, or `None`."""

def model_type(model: bytes) -> Optional[str]:
    """The canonical `c2pa.types.model.*` asset type string for the model's format,
    or `None` if the format is unrecognized."""

# File functions: models of any size, by path. Not in __all__.

import os
import sys
from _typeshed import structseq
from typing import Callable, Final, NamedTuple, Sequence, Tuple, Union, final

_Path = Union[str, "os.PathLike[str]"]
_Range = Tuple[int, int]

# The result types are struct sequences, as os.stat_result is: tuples with
# named read-only fields, without a named tuple's _asdict, _fields or _replace,
# and not subclassable.

@final
class ModelInfo(structseq[Union[str, int, _Range, None]], Tuple[str, str, Optional[int], Optional[str], Optional[_Range]]):
    """What a model holds: its format and its C2PA data."""
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("format", "model_type", "store_size", "uri", "store_range")
    @property
    def format(self) -> str:
        """the container format ("GGUF", "SafeTensors" or "ONNX")"""
    @property
    def model_type(self) -> str:
        """the C2PA asset type string of the format"""
    @property
    def store_size(self) -> Optional[int]:
        """the embedded manifest store's size in bytes, or None"""
    @property
    def uri(self) -> Optional[str]:
        """the remote manifest URI, or None"""
    @property
    def store_range(self) -> Optional[_Range]:
        """(offset, length) of the store as stored in the file, or None"""

@final
class FileResult(structseq[Union[str, int, _Range, bytes, bool, None]], Tuple[str, int, Optional[_Range], Optional[bytes], bool]):
    """The outcome of writing a model file."""
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("path", "size", "store_range", "digest", "changed")
    @property
    def path(self) -> str:
        """the file written"""
    @property
    def size(self) -> int:
        """its size in bytes"""
    @property
    def store_range(self) -> Optional[_Range]:
        """(offset, length) of the store as stored in the file, or None"""
    @property
    def digest(self) -> Optional[bytes]:
        """the data hash of the file without its store range, or None"""
    @property
    def changed(self) -> bool:
        """False when the file was left as it was (nothing to strip)"""

@final
class BindingCheck(structseq[Union[bool, _Range, str, None]], Tuple[bool, bool, bool, Optional[_Range], Optional[str]]):
    """The verdict on a C2PA data hash: location and digest."""
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("ok", "location_ok", "hash_ok", "store_range", "reason")
    @property
    def ok(self) -> bool:
        """the exclusions are exactly the store's range and the digest matches"""
    @property
    def location_ok(self) -> bool:
        """the exclusions are exactly the store's range"""
    @property
    def hash_ok(self) -> bool:
        """the digest of the model without the exclusions matches"""
    @property
    def store_range(self) -> Optional[_Range]:
        """(offset, length) of the store as stored in the file, or None"""
    @property
    def reason(self) -> Optional[str]:
        """why the check failed, or None"""

def embed_file(
    model: _Path,
    *,
    store: Optional[bytes] = None,
    uri: Optional[str] = None,
    output: Optional[_Path] = None,
    progress: Optional[Callable[[int, int], object]] = None,
    reserve: Optional[int] = None,
    hash: Optional[str] = None,
    external_data_copied: bool = False,
) -> FileResult:
    """Embed a Manifest Store (or a reserved room of `reserve` zero bytes) and/or a
    remote URI into a model file, in place or into `output`. An ONNX model with
    external data is refused an `output` in another folder, unless the caller
    copies the data files there (external_data_copied=True)."""

def strip_file(
    model: _Path,
    *,
    output: Optional[_Path] = None,
    progress: Optional[Callable[[int, int], object]] = None,
    external_data_copied: bool = False,
) -> FileResult:
    """Remove any C2PA metadata from a model file, in place or into `output`;
    `external_data_copied` as for embed_file."""

def read_file(model: _Path) -> bytes:
    """Read the embedded C2PA Manifest Store from a model file."""

def read_file_uri(model: _Path) -> Optional[str]:
    """Read the remote manifest URI from a model file, or `None` if absent."""

def inspect(model: Union[_Path, bytes]) -> ModelInfo:
    """Describe a model (a path or bytes): format, model type, store and URI."""

def patch_file(model: _Path, store: bytes) -> FileResult:
    """Write a signed Manifest Store into the room reserved for it, in place."""

def data_hash(
    model: Union[_Path, bytes],
    *,
    alg: str = "sha256",
    exclusions: Optional[Sequence[_Range]] = None,
    progress: Optional[Callable[[int, int], object]] = None,
) -> bytes:
    """The C2PA data hash of a model (a path or bytes) without the exclusion
    ranges; by default without the store's range."""

def check_binding(
    model: Union[_Path, bytes],
    exclusions: Sequence[_Range],
    digest: bytes,
    *,
    alg: str = "sha256",
    progress: Optional[Callable[[int, int], object]] = None,
) -> BindingCheck:
    """Check a C2PA data hash: the exclusions must be exactly where the store
    lies, and the digest must match."""

# Signing and verifying with the C2PA SDK (the `c2pa` extra). Not in __all__.

class ModelError(ValueError):
    """The model cannot be read as the loader would read it: a damaged file, or members that cannot be determined."""

class UsageError(ValueError):
    """The call itself is wrong: arguments that do not go together, a manifest definition that cannot be used."""

class SigningError(ValueError):
    """The C2PA SDK refused to sign; nothing was written."""

class CommitInterrupted(BaseException):
    """Stopped while new files were renamed into place: `replaced` of `total` are."""
    replaced: List[str]
    total: int
    cause: BaseException
    def __init__(self, replaced: Iterable[str], total: int, cause: BaseException) -> None: ...
    @staticmethod
    def say(replaced: List[str], total: int) -> str: ...

from typing import Any, Iterable, List
from ._results import Ingredient as _Ingredient

# These are named tuples (tarnwick._results), unlike the struct sequences
# above: _asdict and _replace work on them.
class SignResult(NamedTuple):
    """The outcome of signing a model file."""
    path: str
    size: int
    store_range: Optional[_Range]
    digest: bytes
    hash_alg: str
    signing_alg: str
    label: str

class Verification(NamedTuple):
    """The verdict on a signed model and what its manifest says."""
    state: str
    failures: List[Tuple[str, str]]
    signer: Optional[str]
    issuer: Optional[str]
    signed_at: Optional[str]
    timestamped: bool
    claim_generator: Optional[str]
    title: Optional[str]
    asset_type: Optional[str]
    actions: List[str]
    ingredients: List[_Ingredient]
    binding: Optional[BindingCheck]
    remote_uri: Optional[str]
    informational: List[Tuple[str, str]]
    label: Optional[str]
    timestamp_authority: Optional[str] = ...
    timestamp_trusted: bool = ...

_Pem = Union[_Path, bytes, str]

class SigningKey:
    """A private key held in memory (a file's, or a PKCS#11 token's)."""
    name: str
    alg: str
    kind: str
    algs: Tuple[str, ...]
    def check_alg(self, alg: Optional[str] = None) -> str: ...
    def public_key(self) -> Any: ...
    def sign(self, data: bytes, alg: Optional[str] = None) -> bytes: ...
    def sign_der(self, data: bytes, alg: Optional[str] = None) -> bytes: ...
    def close(self) -> None: ...
    def __enter__(self) -> "SigningKey": ...
    def __exit__(self, *exc: object) -> None: ...

class CallbackSigner(SigningKey):
    """A key held elsewhere (a cloud KMS, a remote signing service): sign(data) -> signature."""
    chain: bytes
    tsa_url: Optional[str]
    error: Optional[BaseException]
    def __init__(
        self, sign: Callable[[bytes], bytes], chain: _Pem, alg: str = "es256", tsa_url: Optional[str] = None
    ) -> None: ...
    def raise_error(self) -> None: ...

def load_key(
    key: Union[_Pem, SigningKey],
    *,
    password_file: Optional[_Path] = None,
    password_env: str = "TARNWICK_KEY_PASSWORD",
    prompt: Optional[Callable[[str], str]] = None,
    pin_file: Optional[_Path] = None,
    pin_env: str = "TARNWICK_PKCS11_PIN",
    module: Optional[str] = None,
) -> SigningKey:
    """A private key from a PEM file (PKCS#8, SEC1 EC, PKCS#1 RSA; encrypted or not) or a PKCS#11 URI."""

def sign_file(
    model: _Path,
    *,
    signer: Any = None,
    cert: Optional[_Pem] = None,
    key: Union[None, _Pem, SigningKey] = None,
    alg: Optional[str] = None,
    definition: Union[None, str, bytes, dict] = None,
    output: Optional[_Path] = None,
    hash: str = "sha256",
    ingredients: Iterable[_Path] = (),
    progress: Optional[Callable[[int, int], object]] = None,
    remote_uri: Optional[str] = None,
    sidecar: Optional[_Path] = None,
    tsa_url: Optional[str] = None,
    alone: bool = False,
    manifest: Union[None, str, bytes, dict] = None,
    force: bool = False,
    fresh: bool = False,
) -> SignResult:
    """Sign a model file with a C2PA data hash, in place or into `output`;
    `alone`: even a file that a model signed as a whole lists."""

def verify_file(
    model: _Path,
    *,
    trust: Optional[_Pem] = None,
    store: Union[None, bytes, _Path] = None,
    fetch: bool = False,
    manifest: Union[None, bytes, _Path] = None,
    signer: Optional[str] = None,
    signer_key: Optional[_Pem] = None,
    progress: Optional[Callable[[int, int, int, int], object]] = None,
    alone: bool = False,
) -> Verification:
    """Verify a signed model file: "trusted", "valid", "invalid", "unsigned" or
    "unverified" (a remote manifest not fetched), with what its manifest says.
    `model` may be a URL (https://, or any fsspec URL: tarnwick[remote])."""

# Models of many files (sharded SafeTensors, split GGUF, ONNX with external
# data), signed and verified as one. Not in __all__.

class MemberVerification(NamedTuple):
    """One file of a model: its path relative to the folder, its state, its failures."""
    path: str
    state: str
    failures: List[Tuple[str, str]]

class OmsVerification(NamedTuple):
    """The verdict on an OpenSSF model signature."""
    state: str
    failures: List[Tuple[str, str]]
    signer: Optional[str]
    files: List[Tuple[str, str]]

class ModelVerification(NamedTuple):
    """The verdict on a model of many files, every member, and the model-level manifest."""
    state: str
    members: List[MemberVerification]
    store_verification: Verification
    oms: Optional[OmsVerification] = ...
    @property
    def manifest(self) -> Verification: ...

class SignedMember(NamedTuple):
    path: str
    size: int
    digest: bytes
    store_range: Optional[_Range]
    label: Optional[str]

class ModelSignResult(NamedTuple):
    """The model's folder, its model-level manifest store, that manifest's label, every member."""
    path: str
    store_path: str
    label: str
    members: List[SignedMember]
    @property
    def manifest(self) -> str: ...

def sign_model(
    model: _Path,
    *,
    signer: Any = None,
    cert: Optional[_Pem] = None,
    key: Union[None, _Pem, SigningKey] = None,
    alg: Optional[str] = None,
    definition: Union[None, str, bytes, dict] = None,
    output: Optional[_Path] = None,
    tsa_url: Optional[str] = None,
    ignore: Iterable[str] = (),
    manifest: Union[None, str, bytes, dict] = None,
    progress: Optional[Callable[[int, int, int, int], object]] = None,
    entry: Optional[str] = None,
    force: bool = False,
    fresh: bool = False,
    oms: Union[None, bool, _Path] = None,
    oms_method: str = "certificate",
) -> ModelSignResult:
    """Sign a model (a folder, or the entry file of one: an index file, a
    first split or an ONNX file) as one: every file of its folder but the
    ignored ones, in place or into the folder `output`."""

def verify_model(
    model: _Path,
    *,
    trust: Optional[_Pem] = None,
    ignore: Iterable[str] = (),
    signer: Optional[str] = None,
    signer_key: Optional[_Pem] = None,
    progress: Optional[Callable[[int, int, int, int], object]] = None,
    entry: Optional[str] = None,
    oms: Optional[_Path] = None,
) -> ModelVerification:
    """Verify a model as one: every file of its folder against the
    model-level manifest (a file neither listed nor ignored is invalid),
    each container also against its own manifest (`signer`, `signer_key`:
    as verify_file's, on each of those manifests). `model` may be a URL
    (https://, or any fsspec URL: tarnwick[remote])."""

# A model opened from sealed copies of its files, verified from them. Not in
# __all__.

from typing import Dict

class UntrustedModel(ModelError):
    """The model was read and judged, and is not trusted: `verification` holds the verdict."""
    verification: Union[Verification, ModelVerification, None]
    def __init__(self, message: str, verification: Union[Verification, ModelVerification, None] = None) -> None: ...

class VerifiedModel:
    """A model opened from sealed copies of its files, its verdict trusted."""
    path: str
    entry: str
    verification: Union[Verification, ModelVerification]
    files: Dict[str, int]
    # Made by open_verified only.
    def __init__(self, path: str, entry: str, verification: Union[Verification, ModelVerification],
                 copies: Dict[str, Any], owner: int) -> None: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> "VerifiedModel": ...
    def __exit__(self, *exc: object) -> None: ...
    def onnx_session(self, graph: Optional[str] = None, **kwargs: Any) -> Any:
        """An onnxruntime.InferenceSession built from the sealed bytes of the
        graph and of every external data file it names."""

def open_verified(
    model: _Path,
    *,
    trust: Optional[_Pem] = None,
    signer: Optional[str] = None,
    signer_key: Optional[_Pem] = None,
    ignore: Iterable[str] = (),
    alone: bool = False,
) -> VerifiedModel:
    """Open a model from sealed copies of its files, verified from those
    copies; raise UntrustedModel (and keep nothing) unless trusted."""
