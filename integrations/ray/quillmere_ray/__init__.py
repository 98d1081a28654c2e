"""Exact top-k cosine search over quillmere stores sharded across Ray actors.

A `ShardedVectorstore` gives the answer of one `quillmere.Vectorstore`
holding the same pairs in the same order, bit for bit, with its entries
spread over Ray actors (shards) that each hold a contiguous range of the
insertion order.
"""

from __future__ import annotations

import os
from itertools import chain
from typing import Any, Iterable, Optional, Sequence

import numpy as np
import ray
from ray.exceptions import ActorDiedError, RayActorError

import quillmere

from ._convert import NUMERIC_KINDS, identifier, narrow, vector_f32
from ._shard import Shard

__all__ = ["ShardedVectorstore", "ShardUnavailableError"]

# Shards take no CPU from Ray's accounting, so any number of them fits on a
# small machine, and are spread over the nodes of a cluster for memory and
# bandwidth. A lost actor is not restarted: it would come back empty.
DEFAULT_SHARD_OPTIONS = {"num_cpus": 0, "max_restarts": 0, "scheduling_strategy": "SPREAD"}


class ShardUnavailableError(RuntimeError):
    """A shard's actor has died or cannot be reached, so no complete answer exists.

    `shard` is the shard's position, numbered from 0 in insertion order, and
    `shard_count` the number of shards at the time.
    """

    def __init__(self, shard: int, shard_count: int, reason: str) -> None:
        super().__init__(f"shard {shard} of {shard_count} is unavailable: {reason}")
        self.shard = shard
        self.shard_count = shard_count
        self.reason = reason


def _rank_key(pair: tuple) -> tuple:
    # Score descending, NaN after every number. No NaN goes into the key, so
    # equal keys compare equal and the stable sort keeps shard order, then
    # rank within the shard; -0.0 and +0.0 are equal keys and keep their order.
    score = pair[0]
    return (0, -score) if score == score else (1, 0.0)


def _merge(per_shard: Iterable[list], top_k: int) -> list:
    return sorted(chain.from_iterable(per_shard), key=_rank_key)[:top_k]


def _reason(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}".rstrip(": ")


class ShardedVectorstore:
    """Entries of one logical store spread over Ray actors, `shard_capacity` each.

    Answers equal those of one `quillmere.Vectorstore` holding the same pairs
    in the same order. Ray is initialised with its defaults if it is not yet.
    `shard_options` are Ray actor options (`num_cpus`, `memory`,
    `resources`, `scheduling_strategy`, ...) layered over the defaults.
    Not safe to share between threads of the driver without a lock.
    """

    def __init__(
        self,
        vector_size: int,
        shard_capacity: int = 1_000_000,
        *,
        shard_options: Optional[dict] = None,
    ) -> None:
        # The module judges vector_size, with its own errors.
        self._probe = quillmere.Vectorstore(vector_size)
        self._vector_size = self._probe.vector_size
        capacity = identifier(shard_capacity)
        if capacity < 1:
            raise ValueError(f"shard_capacity must be at least 1, got {capacity}")
        self._capacity = capacity
        if not ray.is_initialized():
            ray.init()
        self._actor_class = ray.remote(Shard).options(**{**DEFAULT_SHARD_OPTIONS, **(shard_options or {})})
        self._shards: list = []
        self._sizes: list[int] = []
        # Set once a shard is known lost or left in an unknown state; the
        # store then refuses every further call rather than answer partially.
        self._failure: Optional[ShardUnavailableError] = None
        self._closed = False

    # ------------------------------------------------------------ properties

    @property
    def vector_size(self) -> int:
        return self._vector_size

    @property
    def shard_capacity(self) -> int:
        return self._capacity

    @property
    def shard_count(self) -> int:
        return len(self._shards)

    @property
    def shard_sizes(self) -> tuple:
        """The number of entries in each shard, in order (tracked in the driver)."""
        return tuple(self._sizes)

    def __len__(self) -> int:
        return sum(self._sizes)

    def __bool__(self) -> bool:
        return bool(self._sizes)

    def __repr__(self) -> str:
        return (
            f"ShardedVectorstore(vector_size={self._vector_size}, len={len(self)}, "
            f"shard_count={self.shard_count}, shard_capacity={self._capacity})"
        )

    # ------------------------------------------------------------- loading

    def insert(self, vector: Any, id: Any) -> None:
        """Appends one entry, like `Vectorstore.insert`; a refused insert changes nothing."""
        quillmere.Vectorstore(self._vector_size).insert(vector, id)
        row, id_ = vector_f32(vector), identifier(id)
        self._check_usable()
        if self._shards and self._sizes[-1] < self._capacity:
            index = len(self._shards) - 1
            # The module's insert is all or nothing: only a lost actor leaves doubt.
            self._sizes[-1] = self._mutate(index, self._shards[index].insert.remote(row, id_), partial=False)
            return
        actor = self._actor_class.remote(self._vector_size)
        try:
            ray.get(actor.insert.remote(row, id_))
        except BaseException as error:
            ray.kill(actor)
            if isinstance(error, RayActorError):
                raise self._as_shard_error(error, len(self._shards), len(self._shards) + 1) from error
            raise
        self._shards.append(actor)
        self._sizes.append(1)

    def extend(self, vectors: Sequence[tuple]) -> None:
        """Appends `(vector, id)` pairs, like the `Vectorstore` constructor:
        every pair is checked before any shard is touched, and a refused
        call changes nothing."""
        # The module converts and checks the whole sequence with its own
        # errors; the probe holds one copy of the data until it is dropped.
        quillmere.Vectorstore(self._vector_size, vectors)
        if vectors is None:
            return
        rows, ids = [], []
        for vector, id_ in vectors:
            rows.append(vector_f32(vector))
            ids.append(identifier(id_))
        if not rows:
            return
        self._check_usable()
        block = np.stack(rows)
        self._load(len(rows), ray.put(block), ray.put(np.array(ids, dtype=np.uint64)))

    def extend_array(self, array: Any, ids: Any = None) -> None:
        """Appends the rows of a 2-D numeric array, or of a `.npy` file given by path.

        `ids` is a 1-D integer array with one id per row; by default the rows
        get the next positions, `len(self)` onwards. An array goes once into
        Ray's object store, where each shard reads its range. A path is
        memory-mapped by each shard's worker, which must see the file at the
        same path (the local machine, or storage shared by the cluster).
        """
        if isinstance(array, (str, os.PathLike)):
            path = os.path.abspath(os.fspath(array))
            values = np.load(path, mmap_mode="r")  # reads the header only
        else:
            path, values = None, np.asarray(array)
        if values.ndim != 2:
            raise ValueError(f"array must be 2-D, got shape {values.shape}")
        n = values.shape[0]
        if ids is not None:
            ids = np.asarray(ids)
            if ids.shape != (n,):
                raise ValueError(f"ids must be 1-D with one id per row ({n}), got shape {ids.shape}")
        if values.dtype.kind not in NUMERIC_KINDS:
            # Objects, strings, complex numbers: the module's rule per row.
            if ids is None:
                ids = np.arange(len(self), len(self) + n, dtype=np.uint64)
            self.extend(list(zip(values, ids.tolist())))
            return
        id_values = self._checked_ids(ids, values) if ids is not None else None
        if n and values.shape[1] != self._vector_size:
            quillmere.Vectorstore(self._vector_size, [(values[0], 0)])  # the module's length error
        if n == 0:
            return
        self._check_usable()
        if path is not None:
            source: Any = ("npy", path, values.shape, values.dtype.str)
        else:
            source = ray.put(values)
        self._load(n, source, len(self) if id_values is None else ray.put(id_values))

    def _checked_ids(self, ids: np.ndarray, values: np.ndarray) -> np.ndarray:
        """The ids as u64; the first one the module would refuse raises its error."""
        kind = ids.dtype.kind
        if kind == "u":
            return ids.astype(np.uint64)
        if kind == "i":
            negative = np.flatnonzero(ids < 0)
            bad = int(negative[0]) if negative.size else None
        else:
            bad = None
            for i, item in enumerate(ids):
                try:
                    if not 0 <= identifier(item) < 2**64:
                        bad = i
                except Exception:
                    bad = i
                if bad is not None:
                    break
        if bad is not None:
            quillmere.Vectorstore(self._vector_size, [(np.zeros(self._vector_size, np.float32), ids[bad])])
        if kind == "i":
            return ids.astype(np.uint64)
        return np.array([identifier(item) for item in ids], dtype=np.uint64)

    def _load(self, n: int, source: Any, ids: Any) -> None:
        """Spreads rows 0..n of `source` over the shards: first the free room of
        the last shard, then new shards of `shard_capacity` rows.

        New shards load in parallel while the last shard stages its part;
        only when every part has arrived does the last shard append, so a
        failure while reading leaves the store as it was.
        """
        plan = []
        start = 0
        if self._shards and self._sizes[-1] < self._capacity:
            start = min(self._capacity - self._sizes[-1], n)
            plan.append((len(self._shards) - 1, 0, start))
        while start < n:
            stop = min(start + self._capacity, n)
            plan.append((None, start, stop))
            start = stop
        total = len(self._shards) + sum(1 for index, _, _ in plan if index is None)

        new_actors, calls = [], []
        for index, start, stop in plan:
            if index is None:
                actor = self._actor_class.remote(self._vector_size)
                new_actors.append(actor)
                index = len(self._shards) + len(new_actors) - 1
                calls.append((index, actor.load.remote(source, start, stop, ids)))
            else:
                calls.append((index, self._shards[index].stage.remote(source, start, stop, ids)))
        staged = plan[0][0] if plan[0][0] is not None else None

        failure: Optional[tuple] = None
        counts = []
        for index, ref in calls:
            try:
                counts.append(ray.get(ref))
            except BaseException as error:
                if failure is None:
                    failure = (index, error)
        if failure is not None:
            for actor in new_actors:
                ray.kill(actor)
            if staged is not None:
                try:
                    ray.get(self._shards[staged].discard.remote())
                except RayActorError as error:
                    self._failure = self._as_shard_error(error, staged, len(self._shards))
            index, error = failure
            if isinstance(error, RayActorError):
                if index == staged:
                    self._failure = self._as_shard_error(error, index, len(self._shards))
                raise self._as_shard_error(error, index, total) from error
            raise error

        if staged is not None:
            self._sizes[staged] = self._mutate(staged, self._shards[staged].commit.remote(), partial=True)
            counts = counts[1:]
        self._shards.extend(new_actors)
        self._sizes.extend(counts)

    def _mutate(self, index: int, ref: Any, partial: bool) -> int:
        """Waits for a change to an existing shard. A lost actor, or a failed
        append of several rows (`partial`), leaves the shard in an unknown
        state, so the store stops answering."""
        try:
            return ray.get(ref)
        except RayActorError as error:
            self._failure = self._as_shard_error(error, index, len(self._shards))
            raise self._failure from error
        except Exception as error:
            if not partial:
                raise
            self._failure = ShardUnavailableError(
                index, len(self._shards), f"appending failed part way and it may hold only some rows ({_reason(error)})"
            )
            raise self._failure from error

    # ------------------------------------------------------------- searching

    def search(self, vector: Any, top_k: Any) -> list:
        """The `top_k` best `(score, id)` pairs of all shards, as one store would give them."""
        self._probe.search(vector, top_k)
        query, k = vector_f32(vector), identifier(top_k)
        self._check_usable()
        if not self._shards:
            return []
        refs = [shard.search.remote(query, k) for shard in self._shards]
        return _merge(self._gather(refs), k)

    def search_batch(self, queries: Any, top_k: Any) -> list:
        """`search` for each query of a list or a 2-D array, in one round trip per shard."""
        if isinstance(queries, (str, bytes)):
            raise TypeError(f"queries must be a sequence of vectors or a 2-D array, not {type(queries).__name__}")
        if type(queries) is np.ndarray and queries.ndim == 2 and queries.dtype.kind in NUMERIC_KINDS:
            first = queries[0] if len(queries) else np.zeros(self._vector_size, np.float32)
            self._probe.search(first, top_k)
            batch = np.ascontiguousarray(narrow(queries))
        else:
            rows = []
            for query in queries:
                self._probe.search(query, top_k)
                rows.append(vector_f32(query))
            if not rows:
                self._probe.search(np.zeros(self._vector_size, np.float32), top_k)
            batch = np.stack(rows) if rows else np.zeros((0, self._vector_size), np.float32)
        k = identifier(top_k)
        self._check_usable()
        if not self._shards or len(batch) == 0:
            return [[] for _ in range(len(batch))]
        ref = ray.put(batch)
        answers = self._gather([shard.search_batch.remote(ref, k) for shard in self._shards])
        return [_merge(per_shard, k) for per_shard in zip(*answers)]

    def _gather(self, refs: list) -> list:
        try:
            return ray.get(refs)
        except RayActorError:
            pass
        for index, ref in enumerate(refs):  # name the first shard that failed
            try:
                ray.get(ref)
            except RayActorError as error:
                failure = self._as_shard_error(error, index, len(self._shards))
                if isinstance(error, ActorDiedError):
                    self._failure = failure
                raise failure from error
        raise AssertionError("unreachable")

    # ------------------------------------------------------------- lifecycle

    def _check_usable(self) -> None:
        if self._closed:
            raise RuntimeError("the store is closed")
        if self._failure is not None:
            failure = self._failure
            raise ShardUnavailableError(failure.shard, failure.shard_count, failure.reason)

    @staticmethod
    def _as_shard_error(error: RayActorError, index: int, count: int) -> ShardUnavailableError:
        if isinstance(error, ActorDiedError):
            reason = "its actor has died and its entries are lost (rebuild the store)"
        else:
            reason = "its actor cannot be reached"
        return ShardUnavailableError(index, count, reason)

    def close(self) -> None:
        """Ends every shard's actor; the store then refuses every call."""
        for actor in self._shards:
            ray.kill(actor)
        self._closed = True

    def __enter__(self) -> "ShardedVectorstore":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
