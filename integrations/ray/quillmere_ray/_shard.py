"""The shard: one Ray actor holding one `quillmere.Vectorstore`."""

from __future__ import annotations

import os
import time
from typing import Any, Union

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

# Single inserts collect here before they become one kept block, so that a
# stream of inserts does not leave one tiny object per entry.
TAIL_ROWS = 4096

# Tests set this in a shard's environment to the path of a file holding a
# number of seconds: while the file exists, each call sleeps that long
# first, which gives the test time to kill the replica in the middle of it.
PAUSE_VARIABLE = "QUILLMERE_RAY_TEST_PAUSE"


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


def _pause() -> None:
    path = os.environ.get(PAUSE_VARIABLE)
    if path:
        try:
            with open(path) as file:
                seconds = float(file.read())
        except OSError:
            return
        time.sleep(seconds)


class Shard:
    """One replica of one shard.

    With `keep_rows`, the replica also keeps its rows and ids in Ray's object
    store, in insertion order, because a `Vectorstore` cannot hand its
    vectors back: those blocks are what a new replica is filled from.
    """

    def __init__(self, vector_size: int, keep_rows: bool = False) -> None:
        self._store = quillmere.Vectorstore(vector_size)
        self._staged: Any = None
        self._keep = keep_rows
        self._blocks: list = []  # refs of (rows, ids) pairs, owned by this actor
        self._tail: list = []

    def _kept(self, rows: np.ndarray, ids: list) -> None:
        if self._keep and len(ids):
            # put copies the rows, which may be a view of an object this
            # actor does not own; the copy lives as long as this actor.
            self._blocks.append(ray.put((rows, np.array(ids, dtype=np.uint64))))

    def _flush(self) -> None:
        if self._tail:
            rows, ids = zip(*self._tail)
            self._tail = []
            self._kept(np.stack(rows), list(ids))

    def load(self, source: Source, start: int, stop: int, ids: Ids) -> int:
        """Fills an empty shard through the constructor, the module's fastest load."""
        _pause()
        assert len(self._store) == 0, "load is for a new shard"
        rows = rows_of(source, start, stop)
        id_list = ids_of(ids, start, stop)
        self._store = quillmere.Vectorstore(self._store.vector_size, list(zip(rows, id_list)))
        self._kept(rows, id_list)
        return len(self._store)

    def stage(self, source: Source, start: int, stop: int, ids: Ids) -> int:
        """Reads rows for appending without touching the store, so that a
        failure elsewhere in the same load leaves this shard as it was."""
        _pause()
        rows = rows_of(source, start, stop)
        self._staged = (rows, ids_of(ids, start, stop))
        return len(rows)

    def commit(self) -> int:
        _pause()
        rows, ids = self._staged
        self._staged = None
        insert = self._store.insert
        for row, id_ in zip(rows, ids):
            insert(row, id_)
        self._flush()
        self._kept(rows, ids)
        return len(self._store)

    def discard(self) -> None:
        self._staged = None

    def insert(self, vector: np.ndarray, id_: int) -> int:
        self._store.insert(vector, id_)
        if self._keep:
            self._tail.append((vector, id_))
            if len(self._tail) >= TAIL_ROWS:
                self._flush()
        return len(self._store)

    def export(self) -> list:
        """The refs of the kept blocks: a new replica reads them straight
        from the object store. Returned in a list, so that they pass through
        the caller as refs and the rows never do."""
        self._flush()
        return list(self._blocks)

    def fill(self, blocks: list) -> int:
        """Fills an empty replica with another replica's exported blocks."""
        _pause()
        assert len(self._store) == 0 and self._keep, "fill is for a new replica"
        data = ray.get(blocks)
        pairs = [pair for rows, ids in data for pair in zip(rows, ids.tolist())]
        self._store = quillmere.Vectorstore(self._store.vector_size, pairs)
        del pairs
        # The blocks belong to the source replica and go when it does.
        self._blocks = [ray.put(block) for block in data]
        return len(self._store)

    def search(self, query: np.ndarray, top_k: int) -> list:
        _pause()
        return self._store.search(query, top_k)

    def search_batch(self, queries: np.ndarray, top_k: int, start: int = 0, stop: Any = None) -> list:
        _pause()
        search = self._store.search
        return [search(query, top_k) for query in queries[start:stop]]

    def size(self) -> int:
        return len(self._store)
