from typing import Any, Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _Path, _Pem

__all__ = ["Row", "ENGINES", "read_list", "verify", "sign"]

ENGINES: Tuple[str, ...]

class Row(NamedTuple):
    """One model's outcome: state, result (None for an error), error text, seconds, attempts, bytes, I/O error."""
    model: str
    state: str
    result: Any
    error: Optional[str]
    seconds: float
    attempts: int
    size: int = ...
    io_error: bool = ...

def read_list(text: str) -> List[str]:
    """The models a list names: one a line, blank lines and # comments skipped."""

def verify(
    models: Iterable[_Path],
    *,
    trust: Optional[_Pem] = None,
    fetch: bool = False,
    signer: Optional[str] = None,
    signer_key: Optional[_Pem] = None,
    ignore: Iterable[str] = (),
    engine: str = "thread",
    workers: Optional[int] = None,
    address: Optional[str] = None,
    retries: int = 2,
) -> Iterator[Row]:
    """Verify many models; yields a Row for each, in the order given."""

def sign(
    models: Iterable[_Path],
    *,
    cert: _Pem,
    key: Any,
    alg: Optional[str] = None,
    definition: Union[None, str, bytes, dict] = None,
    tsa_url: Optional[str] = None,
    ignore: Iterable[str] = (),
    alone: bool = False,
    engine: str = "thread",
    workers: Optional[int] = None,
    address: Optional[str] = None,
    retries: int = 2,
) -> Iterator[Row]:
    """Sign many models in place; yields a Row for each, in the order given."""
