from typing import List, Optional

__all__: List[str]

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
from typing import Callable, NamedTuple, Sequence, Tuple, Union

_Path = Union[str, "os.PathLike[str]"]
_Range = Tuple[int, int]

class ModelInfo(NamedTuple):
    """What a model holds: its format and its C2PA data."""
    format: str
    model_type: str
    store_size: Optional[int]
    uri: Optional[str]
    store_range: Optional[_Range]

class FileResult(NamedTuple):
    """The outcome of writing a model file."""
    path: str
    size: int
    store_range: Optional[_Range]
    digest: Optional[bytes]
    changed: bool

class BindingCheck(NamedTuple):
    """The verdict on a C2PA data hash: location and digest."""
    ok: bool
    location_ok: bool
    hash_ok: bool
    store_range: Optional[_Range]
    reason: Optional[str]

def embed_file(
    model: _Path,
    *,
    store: Optional[bytes] = None,
    uri: Optional[str] = None,
    output: Optional[_Path] = None,
    progress: Optional[Callable[[int, int], object]] = None,
    reserve: Optional[int] = None,
    hash: Optional[str] = None,
) -> FileResult:
    """Embed a Manifest Store (or a reserved room of `reserve` zero bytes) and/or a
    remote URI into a model file, in place or into `output`."""

def strip_file(
    model: _Path,
    *,
    output: Optional[_Path] = None,
    progress: Optional[Callable[[int, int], object]] = None,
) -> FileResult:
    """Remove any C2PA metadata from a model file, in place or into `output`."""

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

from typing import Any, Iterable, List

class SignResult(NamedTuple):
    """The outcome of signing a model file."""
    path: str
    size: int
    store_range: Optional[_Range]
    digest: bytes
    hash_alg: str
    signing_alg: str
    label: str

class Ingredient(NamedTuple):
    title: Optional[str]
    relationship: Optional[str]
    label: Optional[str]
    state: str
    failures: List[Tuple[str, str]]

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
    ingredients: List[Ingredient]
    binding: Optional[BindingCheck]
    remote_uri: Optional[str]
    informational: List[Tuple[str, str]]
    label: Optional[str]

_Pem = Union[_Path, bytes, str]

def sign_file(
    model: _Path,
    *,
    signer: Any = None,
    cert: Optional[_Pem] = None,
    key: Optional[_Pem] = None,
    alg: str = "es256",
    manifest: Union[None, str, bytes, dict] = None,
    output: Optional[_Path] = None,
    hash: str = "sha256",
    ingredients: Iterable[_Path] = (),
    progress: Optional[Callable[[int, int], object]] = None,
    remote_uri: Optional[str] = None,
    sidecar: Optional[_Path] = None,
    tsa_url: Optional[str] = None,
) -> SignResult:
    """Sign a model file with a C2PA data hash, in place or into `output`."""

def verify_file(
    model: _Path,
    *,
    trust: Optional[_Pem] = None,
    manifest: Union[None, bytes, _Path] = None,
    fetch: bool = False,
) -> Verification:
    """Verify a signed model file: "trusted", "valid", "invalid", "unsigned" or
    "unverified" (a remote manifest not fetched), with what its manifest says."""

# Models of many files (sharded SafeTensors, split GGUF, ONNX with external
# data), signed and verified as one. Not in __all__.

class MemberVerification(NamedTuple):
    """One file of a model: its path relative to the folder, its state, its failures."""
    path: str
    state: str
    failures: List[Tuple[str, str]]

class ModelVerification(NamedTuple):
    """The verdict on a model of many files, every member, and the model-level manifest."""
    state: str
    members: List[MemberVerification]
    manifest: Verification

class SignedMember(NamedTuple):
    path: str
    size: int
    digest: bytes
    store_range: Optional[_Range]
    label: Optional[str]

class ModelSignResult(NamedTuple):
    """The model's folder, its model-level manifest store, that manifest's label, every member."""
    path: str
    manifest: str
    label: str
    members: List[SignedMember]

def sign_model(
    model: _Path,
    *,
    signer: Any = None,
    cert: Optional[_Pem] = None,
    key: Optional[_Pem] = None,
    alg: str = "es256",
    manifest: Union[None, str, bytes, dict] = None,
    output: Optional[_Path] = None,
    tsa_url: Optional[str] = None,
) -> ModelSignResult:
    """Sign a model of many files (a folder, an index file, a first split or an
    ONNX file with external data) as one model, in place or into the folder `output`."""

def verify_model(model: _Path, *, trust: Optional[_Pem] = None) -> ModelVerification:
    """Verify a model of many files as one: every member against the model-level
    manifest, each container also against its own."""
