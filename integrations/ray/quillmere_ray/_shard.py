"""The shard: one Ray actor holding one `quillmere.Vectorstore`."""

from __future__ import annotations

from typing import Any, Iterator, Sequence, Union

import numpy as np
import ray

import quillmere

from ._convert import narrow

# Where a load reads its rows: an array resolved from Ray's object store, or
# a `.npy` file the worker maps itself: ("npy", path, shape, dtype string).
Source = Union[np.ndarray, tuple]
# The ids of the rows: an array of u64 resolved from the object store, or
# the int id of row 0 (ids then count up from it).
Ids = Union[np.ndarray, int]

# A repair copies this many bytes of rows per call: the next chunk travels
# while this one loads, and the copy holds little beside the store it fills.
COPY_BYTES = 16 << 20


def rows_of(source: Source, start: int, stop: int) -> np.ndarray:
    if isinstance(source, tuple):
        _, path, shape, dtype = source
        mapped = np.load(path, mmap_mode="r")
        if mapped.shape != tuple(shape) or mapped.dtype.str != dtype:
            raise ValueError(f"{path} changed since it was checked: now {mapped.dtype.str} {mapped.shape}")
        # asarray drops the memmap subclass: rows of a plain ndarray take the
        # module's direct-read path.
        block = np.asarray(mapped[start:stop])
    else:
        block = source[start:stop]
    return narrow(block)


def ids_of(ids: Ids, start: int, stop: int) -> Sequence:
    if isinstance(ids, np.ndarray):
        return ids[start:stop].tolist()
    return range(ids + start, ids + stop)


class _Pairs:
    """(row, id) pairs that the constructor takes one by one, so that no list
    of pairs is built beside the store: the objects of such a list, freed,
    leave about 0.13 x the rows' bytes of heap that the process keeps. A
    sequence, as the constructor asks, that is read only in order."""

    def __init__(self, rows: np.ndarray, ids: Sequence) -> None:
        self._rows = rows
        self._ids = ids

    def __len__(self) -> int:
        return len(self._rows)

    def __getitem__(self, index: Any) -> Any:
        raise TypeError("pairs are read in order only")

    def __iter__(self) -> Iterator:
        return zip(self._rows, self._ids)


class _Copied(_Pairs):
    """The first `size` pairs of a live replica, fetched in chunks as the
    constructor takes them: only the chunk being loaded and the one in
    flight are held here."""

    def __init__(self, source: Any, size: int, vector_size: int, chunk_bytes: int) -> None:
        self._source = source
        self._size = size
        self._step = max(1, chunk_bytes // max(1, 4 * vector_size))

    def __len__(self) -> int:
        return self._size

    def __iter__(self) -> Iterator:
        step, size = self._step, self._size
        pending = self._source.read.remote(0, min(step, size))
        for start in range(0, size, step):
            rows, ids = ray.get(pending)
            if start + step < size:
                pending = self._source.read.remote(start + step, min(start + 2 * step, size))
            yield from zip(rows, ids.tolist())


class Shard:
    """One replica of one shard: a `quillmere.Vectorstore` and the rows of a
    write that is staged but not yet committed."""

    copy_bytes = COPY_BYTES  # per chunk of a repair's copy

    def __init__(self, vector_size: int) -> None:
        self._store = quillmere.Vectorstore(vector_size)
        self._staged: Any = None

    def load(self, source: Source, start: int, stop: int, ids: Ids) -> int:
        """Fills an empty shard through the constructor, the module's fastest load."""
        assert len(self._store) == 0, "load is for a new shard"
        rows = rows_of(source, start, stop)
        self._store = quillmere.Vectorstore(self._store.vector_size, _Pairs(rows, ids_of(ids, start, stop)))
        return len(self._store)

    def stage(self, source: Source, start: int, stop: int, ids: Ids) -> int:
        """Reads rows for appending without touching the store, so that a
        failure elsewhere in the same load leaves this shard as it was."""
        rows = rows_of(source, start, stop)
        self._staged = (rows, ids_of(ids, start, stop))
        return len(rows)

    def commit(self) -> int:
        rows, ids = self._staged
        self._staged = None
        insert = self._store.insert
        for row, id_ in zip(rows, ids):
            insert(row, id_)
        return len(self._store)

    def discard(self) -> None:
        self._staged = None

    def insert(self, vector: np.ndarray, id_: int) -> int:
        self._store.insert(vector, id_)
        return len(self._store)

    def read(self, start: int, stop: int) -> tuple:
        """Rows [start, stop) and their ids, bit for bit as the store holds them."""
        return np.asarray(self._store.vectors(start, stop)), np.asarray(self._store.ids(start, stop))

    def fill(self, source: Any, size: int) -> int:
        """Fills an empty replica with the first `size` entries of the live
        replica `source`, read actor to actor in chunks. The store only
        appends, so those entries stay as they were while later writes,
        queued behind this call, arrive here on their own."""
        assert len(self._store) == 0, "fill is for a new replica"
        d = self._store.vector_size
        self._store = quillmere.Vectorstore(d, _Copied(source, size, d, self.copy_bytes))
        return len(self._store)

    def search(self, query: np.ndarray, top_k: int) -> list:
        return self._store.search(query, top_k)

    def search_batch(self, queries: np.ndarray, top_k: int, n_threads: Any, start: int, stop: int) -> list:
        return self._store.search_batch(queries[start:stop], top_k, n_threads)

    def range_search(self, queries: np.ndarray, min_score: float, n_threads: Any, start: int, stop: int) -> list:
        return self._store.range_search(queries[start:stop], min_score, n_threads)

    def size(self) -> int:
        return len(self._store)
