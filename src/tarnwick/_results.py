"""The results of signing and verifying: plain named tuples, so that they
print, compare and unpack like the native module's result types."""

from typing import List, NamedTuple, Optional, Tuple


class SignResult(NamedTuple):
    """The outcome of signing a model file."""
    path: str
    size: int
    store_range: Optional[Tuple[int, int]]
    digest: bytes
    hash_alg: str
    signing_alg: str
    label: str


class Ingredient(NamedTuple):
    """An ingredient of a signed model, with its own validation state."""
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
    binding: object  # a BindingCheck, or None without a manifest
    remote_uri: Optional[str]
    informational: List[Tuple[str, str]]
    label: Optional[str]
