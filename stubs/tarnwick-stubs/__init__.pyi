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
