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
    # Last, with defaults: results built by position before these keep working.
    timestamp_authority: Optional[str] = None  # the time-stamp's signer, as the SDK names it
    timestamp_trusted: bool = False  # that signer chains to a trust anchor


class MemberVerification(NamedTuple):
    """One file of a model of many files: `path` relative to the model's
    folder, its own state and what failed."""
    path: str
    state: str
    failures: List[Tuple[str, str]]


class ModelVerification(NamedTuple):
    """The verdict on a model of many files: its members in the model's order
    (then any file that is not part of it), the Verification of the
    model-level store, and that of an OpenSSF model signature when one was
    checked too (its state counts in `state`: both must hold)."""
    state: str
    members: List[MemberVerification]
    store_verification: Verification
    oms: Optional["OmsVerification"] = None

    @property
    def manifest(self) -> Verification:
        """store_verification, by its earlier name."""
        return self.store_verification


class SignedMember(NamedTuple):
    """A file of a signed model: a container signed with its own manifest
    (store_range and label), or another file (None for both)."""
    path: str
    size: int
    digest: bytes
    store_range: Optional[Tuple[int, int]]
    label: Optional[str]


class ModelSignResult(NamedTuple):
    """The outcome of signing a model of many files: its folder, the path of
    the model-level store written there, that manifest's label, and every
    member."""
    path: str
    store_path: str
    label: str
    members: List[SignedMember]

    @property
    def manifest(self) -> str:
        """store_path, by its earlier name."""
        return self.store_path


class OmsVerification(NamedTuple):
    """The verdict on an OpenSSF model signature: its state ("trusted",
    "valid", "invalid"), what failed, the signer, and each file's state."""
    state: str
    failures: List[Tuple[str, str]]
    signer: Optional[str]
    files: List[Tuple[str, str]]
