"""Exact nearest-neighbour search by cosine similarity over float32 vectors."""

from typing import Protocol, Sequence, SupportsFloat, SupportsIndex, TypeVar, final

from typing_extensions import Buffer

__all__ = ["Vectorstore", "cosine_similarity"]

_T_co = TypeVar("_T_co", covariant=True)

class _SequenceLike(Protocol[_T_co]):
    # What the module accepts as a vector: anything indexable by position
    # with a length (list, tuple, range, array.array, bytes, numpy arrays, ...).
    # `str` is refused at run time.
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...

# What `allowed` accepts: any object exporting a contiguous buffer
# (bytes, bytearray, memoryview, array.array, numpy arrays, ...).
_BytesLike = Buffer

# Components may be floats, ints, bools or any object with __float__ or __index__.
_VectorLike = _SequenceLike[SupportsFloat | SupportsIndex]

@final
class Vectorstore:
    """An in-memory store of float32 vectors of one length, each tagged with an
    unsigned 64-bit id, searched exhaustively by cosine similarity."""

    def __new__(
        cls,
        vector_size: SupportsIndex,
        vectors: Sequence[tuple[_VectorLike, SupportsIndex]] | None = None,
    ) -> Vectorstore:
        """Create a store of vectors of exactly `vector_size` components,
        optionally filled from a sequence of `(vector, id)` tuples."""

    @property
    def vector_size(self) -> int:
        """The number of components of every stored vector (read-only)."""

    def insert(self, vector: _VectorLike, id: SupportsIndex) -> None:
        """Append one vector with its id; ids need not be unique."""

    def search(self, vector: _VectorLike, top_k: SupportsIndex) -> list[tuple[float, int]]:
        """The `top_k` most similar entries as `(score, id)` tuples, best first;
        equal scores keep insertion order."""

    def parallel_search(
        self, vector: _VectorLike, top_k: SupportsIndex, n_threads: SupportsIndex | None = None
    ) -> list[tuple[float, int]]:
        """Like `search`, spread over `n_threads` worker threads (default: the
        usable processors); returns the same list as `search`."""

    def search_batch(
        self,
        queries: _SequenceLike[_VectorLike],
        top_k: SupportsIndex,
        n_threads: SupportsIndex | None = None,
        *,
        allowed: _BytesLike | None = None,
    ) -> list[list[tuple[float, int]]]:
        """For each query (a 2-D array or a sequence of vectors), the list that
        `search(query, top_k)` returns, bit for bit. With `allowed`, one bit per
        entry (bit i % 8 of byte i // 8), only entries whose bit is 1 are ranked."""

    def range_search(
        self,
        queries: _SequenceLike[_VectorLike],
        min_score: SupportsFloat | SupportsIndex,
        n_threads: SupportsIndex | None = None,
        *,
        allowed: _BytesLike | None = None,
    ) -> list[list[tuple[float, int]]]:
        """For each query, every entry whose score is at least `min_score`
        (never NaN), best first, equal scores in insertion order."""
    def vectors(self, start: SupportsIndex = 0, stop: SupportsIndex | None = None) -> memoryview:
        """The stored vectors of positions [start, stop) (slice rules; no
        negative values), bit for bit, as a new read-only C-contiguous
        memoryview of format "f" and shape (m, vector_size)."""

    def ids(self, start: SupportsIndex = 0, stop: SupportsIndex | None = None) -> memoryview:
        """The ids of positions [start, stop), as a new read-only memoryview
        of format "Q" (u64) and shape (m,)."""

    def __len__(self) -> int: ...
    def __repr__(self) -> str: ...

def cosine_similarity(vec1: _VectorLike, vec2: _VectorLike) -> float:
    """The cosine similarity of two vectors of equal length, computed in float32."""
