"""The shard: one Ray actor holding one `quillmere.Vectorstore`."""

from __future__ import annotations

from typing import Any, Union

import numpy as np

import quillmere

from ._convert import narrow

# Where a load reads its rows: an array resolved from Ray's object store, or
# a `.npy` file the worker maps itself: ("npy", path, shape, dtype string).
Source = Union[np.ndarray, tuple]
# The ids of the rows: an array of u64 resolved from the object store, or
# the int id of row 0 (ids then count up from it).
Ids = Union[np.ndarray, int]


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


def ids_of(ids: Ids, start: int, stop: int) -> list:
    if isinstance(ids, np.ndarray):
        return ids[start:stop].tolist()
    return list(range(ids + start, ids + stop))


class Shard:
    def __init__(self, vector_size: int) -> None:
        self._store = quillmere.Vectorstore(vector_size)
        self._staged: Any = None

    def load(self, source: Source, start: int, stop: int, ids: Ids) -> int:
        """Fills an empty shard through the constructor, the module's fastest load."""
        assert len(self._store) == 0, "load is for a new shard"
        rows = rows_of(source, start, stop)
        self._store = quillmere.Vectorstore(self._store.vector_size, list(zip(rows, ids_of(ids, start, stop))))
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

    def search(self, query: np.ndarray, top_k: int) -> list:
        return self._store.search(query, top_k)

    def search_batch(self, queries: np.ndarray, top_k: int) -> list:
        search = self._store.search
        return [search(query, top_k) for query in queries]

    def size(self) -> int:
        return len(self._store)
