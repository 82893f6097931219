"""Type stubs for morvex.utils.triples: reading labeled triple files,
sorting, deduplicating and searching (n, 3) int32 triple tables.

`a`, `known` and `queries` accept any object exporting a two-dimensional
int32 buffer with at least three columns (only the first three count).
`order` is one of "head" (head, relation, tail), "tail" (tail, relation,
head), "rel" (head, tail, relation), "rel2" (relation, head, tail) and "rel3"
(relation, tail, head).  Every function releases the GIL while it works.

`threads` (keyword only) is how many threads a call may use: None, the
default, for every CPU the process may run on (its affinity mask), at most
the environment variable MORVEX_NUM_THREADS when that is a positive integer;
1 for the calling thread alone; at most 256 count.  Small inputs stay on the
calling thread.  Results are the same for any number of threads.
"""
import os
from typing import (Any, Dict, Iterable, Iterator, List, Literal, NamedTuple, Optional, Sequence, Tuple, TypeVar,
                    Union, overload)

import numpy as np
import numpy.typing as npt

_Order = Literal["head", "tail", "rel", "rel2", "rel3"]
_A = TypeVar("_A")

def sort(a: _A, order: _Order = "head", *, threads: Optional[int] = None) -> _A:
    """Sort a writable C-contiguous (n, 3) int32 array in place; return it."""
def sorted_copy(a: Any, order: _Order = "head", *, threads: Optional[int] = None) -> npt.NDArray[np.int32]:
    """A new sorted (n, 3) int32 array from any layout."""
@overload
def unique(
    a: Any, order: _Order = "head", return_counts: Literal[False] = False, *, threads: Optional[int] = None
) -> npt.NDArray[np.int32]: ...
@overload
def unique(
    a: Any, order: _Order = "head", *, return_counts: Literal[True], threads: Optional[int] = None
) -> Tuple[npt.NDArray[np.int32], npt.NDArray[np.intp]]: ...
@overload
def unique(
    a: Any, order: _Order, return_counts: bool, *, threads: Optional[int] = None
) -> Union[npt.NDArray[np.int32], Tuple[npt.NDArray[np.int32], npt.NDArray[np.intp]]]: ...
def contains(
    known: Any, queries: Any, order: _Order = "head", assume_sorted: bool = False, *,
    threads: Optional[int] = None
) -> npt.NDArray[np.bool_]:
    """For each query row, whether it occurs in `known`."""

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

class Vocabulary:
    """An immutable list of distinct str labels; the id of a label is its place."""
    def __init__(self, labels: Iterable[str] = ...) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, label: object) -> bool: ...
    def __iter__(self) -> Iterator[str]: ...
    def id(self, label: str) -> int:
        """The id of `label`; KeyError when the vocabulary lacks it."""
    def ids(self, labels: Iterable[str], *, default: Optional[int] = None) -> npt.NDArray[np.int32]:
        """The ids of the labels; an unknown one is a KeyError, or `default`."""
    def label(self, id: int) -> str: ...
    def labels(self, ids: Any) -> List[str]: ...
    @property
    def nbytes(self) -> int: ...

class LabeledTriples(NamedTuple):
    """What read_labeled() returns; unpacks as (table, entities, relations)."""
    table: npt.NDArray[np.int32]
    entities: Vocabulary
    relations: Vocabulary
    @property
    def skipped(self) -> int: ...

def read_labeled(
    path: _Path, *, sep: str = "\t", columns: Sequence[int] = (0, 1, 2), entities: Optional[Vocabulary] = None,
    relations: Optional[Vocabulary] = None, unknown: Literal["error", "skip", "add"] = "error",
    threads: Optional[int] = None
) -> LabeledTriples:
    """The (n, 3) int32 ids of a file of labeled triples (plain or gzip) and
    its two vocabularies; ids in sorted label order unless vocabularies are given."""
def write_labeled(path: _Path, table: Any, entities: Vocabulary, relations: Vocabulary, *, sep: str = "\t") -> None:
    """Write the rows of `table` as lines of labels, which read_labeled() reads back."""

_RankKind = Literal["optimistic", "pessimistic", "realistic"]

def ranks(counts: Any, kind: _RankKind = "realistic") -> npt.NDArray[np.float64]:
    """The rank of each row of rank_counts()' (m, 3) counts: optimistic
    1 + higher, pessimistic 1 + higher + tied, realistic their mean."""
def rank_metrics(counts: Any, ks: Sequence[int] = (1, 3, 10)) -> Dict[str, Dict[str, float]]:
    """{kind: {"mr", "mrr", "hits@k" for each k}} for the three kinds of rank."""

class Index:
    """An immutable index of the distinct rows of `known`, for exact
    membership, per-pair tails and heads, and filtered negatives."""
    def __init__(self, known: Any, num_entities: Optional[int] = None, threads: Optional[int] = None) -> None: ...
    def __len__(self) -> int: ...
    @property
    def num_entities(self) -> int: ...
    @property
    def num_relations(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    def contains(self, queries: Any, threads: Optional[int] = None) -> npt.NDArray[np.bool_]: ...
    def tails(self, pairs: Any, threads: Optional[int] = None) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int32]]:
        """(offsets, values): the known tails of each (head, relation) pair, ascending."""
    def heads(self, pairs: Any, threads: Optional[int] = None) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int32]]:
        """(offsets, values): the known heads of each (relation, tail) pair, ascending."""
    def head_probability(self, relations: Any = None) -> npt.NDArray[np.float64]:
        """tph / (tph + hpt) per relation id: of `relations` (in their shape), or
        of every id below num_relations when the ids are not spread thin."""
    def corrupt(
        self, batch: Any, num_negatives: int, *, side: Literal["head", "tail", "both"] = "both",
        strategy: Literal["uniform", "bernoulli"] = "uniform", filtered: bool = True,
        rng: Union[None, int, np.random.Generator] = None, offset: int = 0, threads: Optional[int] = None,
        seed: Optional[int] = None
    ) -> npt.NDArray[np.int32]:
        """(m, num_negatives, 3) negatives drawn by a counter-based generator
        keyed by (key, offset + row, negative), never a known triple when
        filtered; the key is `rng` (an int, one uint64 drawn from a Generator,
        or fresh entropy for None) or `seed`, its older name."""
    def rank_counts(
        self, batch: Any, scores: Any, *, side: Literal["tail", "head"] = "tail", start: int = 0,
        true_scores: Any = None, filtered: bool = True, threads: Optional[int] = None
    ) -> npt.NDArray[np.int64]:
        """(m, 3) int64 (higher, tied, candidates) of each test row against the
        (m, w) float scores of entities [start, start + w); summable over chunks."""
