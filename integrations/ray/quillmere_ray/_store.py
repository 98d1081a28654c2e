"""The sharded store: placement of shards, loading, and reads with retry."""

from __future__ import annotations

import operator
import os
import time
import warnings
from contextlib import contextmanager
from itertools import chain
from typing import Any, Iterable, Iterator, Optional, Sequence

import numpy as np
import ray
from ray.exceptions import ActorDiedError, GetTimeoutError, RayActorError

import quillmere

from ._convert import NUMERIC_KINDS, identifier, narrow, vector_f32
from ._errors import ShardUnavailableError, reason as _reason
from ._replicas import Group, ReplicaGroups, asked_resources
from ._shard import Shard

# Shards take no CPU from Ray's accounting, so any number of them fits on a
# small machine, and are spread over the nodes of a cluster for memory and
# bandwidth. A lost actor is not restarted: it would come back empty.
DEFAULT_SHARD_OPTIONS = {"num_cpus": 0, "max_restarts": 0, "scheduling_strategy": "SPREAD"}

# A placement waits this long by default: long enough for worker processes
# to start on a busy node, short enough that a request the cluster can never
# satisfy is reported rather than waited on.
DEFAULT_PLACEMENT_TIMEOUT_S = 120.0

PICKLE_REFUSAL = ("a ShardedVectorstore lives in the process that made it and cannot be pickled; "
                  "pass the handles of replica_actors(shard) to tasks instead")


def _actor_option_names() -> Optional[frozenset]:
    """The option keys Ray actors accept, where this Ray version publishes them."""
    for module in ("ray._common.ray_option_utils", "ray._private.ray_option_utils"):
        try:
            return frozenset(__import__(module, fromlist=["actor_options"]).actor_options)
        except (ImportError, AttributeError):
            continue
    return None


def _seconds(name: str, value: Any, positive: bool = False) -> Optional[float]:
    """A timeout argument: None, or a number of seconds (> 0 if `positive`)."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number of seconds or None, not {type(value).__name__}")
    seconds = float(value)
    if not (seconds > 0 if positive else seconds >= 0):  # NaN fails both
        raise ValueError(f"{name} must be {'positive' if positive else 'at least 0'}, got {value!r}")
    return seconds


def _checked_ids(ids: np.ndarray) -> np.ndarray:
    """`extend_array`'s ids as u64; the first that is not an integer in
    [0, 2**64) raises, naming its index."""
    if ids.dtype.kind == "u":
        return ids.astype(np.uint64)
    if ids.dtype.kind == "i":
        negative = np.flatnonzero(ids < 0)
        if negative.size:
            bad = int(negative[0])
            raise OverflowError(f"argument 'ids': ids[{bad}] is {ids[bad]}, but ids must be integers in [0, 2**64)")
        return ids.astype(np.uint64)
    values = []
    for index, item in enumerate(ids):
        try:
            value = identifier(item)
        except TypeError:
            kind = type(item)
            name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
            raise TypeError(f"argument 'ids': ids[{index}] is {item} ({name}), "
                            "but ids must be integers in [0, 2**64)") from None
        if not 0 <= value < 2**64:
            raise OverflowError(f"argument 'ids': ids[{index}] is {value}, but ids must be integers in [0, 2**64)")
        values.append(value)
    return np.array(values, dtype=np.uint64)


class _Deadline:
    """The end of one call's `timeout`; None waits for ever."""

    def __init__(self, call: str, timeout: Any) -> None:
        self.call = call
        self.timeout = _seconds("timeout", timeout)
        self.at = None if self.timeout is None else time.monotonic() + self.timeout

    def remaining(self) -> Optional[float]:
        return None if self.at is None else max(0.0, self.at - time.monotonic())

    def expired(self) -> TimeoutError:
        return TimeoutError(f"{self.call} did not finish within {self.timeout:g} s; the store is as it was before it")

    def get(self, refs: Any) -> Any:
        try:
            return ray.get(refs, timeout=self.remaining())
        except GetTimeoutError:
            raise self.expired() from None

    def wait_all(self, refs: list) -> None:
        ready, _ = ray.wait(refs, num_returns=len(refs), timeout=self.remaining())
        if len(ready) < len(refs):
            raise self.expired()


def _session() -> Optional[tuple]:
    """Which Ray session and job this process is connected to, if any."""
    if not ray.is_initialized():
        return None
    context = ray.get_runtime_context()
    return (context.get_session_name(), context.get_job_id())


def _outcomes(refs: list) -> list:
    """(True, result) or (False, exception) for each call, once all have ended."""
    outcomes = []
    for ref in refs:
        try:
            outcomes.append((True, ray.get(ref)))
        except Exception as error:
            outcomes.append((False, error))
    return outcomes


def _rank_key(pair: tuple) -> tuple:
    # Score descending, NaN after every number. No NaN goes into the key, so
    # equal keys compare equal and the stable sort keeps shard order, then
    # rank within the shard; -0.0 and +0.0 are equal keys and keep their order.
    score = pair[0]
    return (0, -score) if score == score else (1, 0.0)


def _merge(per_shard: Iterable[list], top_k: Optional[int]) -> list:
    return sorted(chain.from_iterable(per_shard), key=_rank_key)[:top_k]


class ShardedVectorstore:
    """Entries of one logical store spread over Ray actors, `shard_capacity` each.

    Answers equal those of one `quillmere.Vectorstore` holding the same pairs
    in the same order. Ray is initialised with its defaults if it is not yet.
    Each shard is held by `replicas` actors, on different nodes when the
    cluster has more than one. `shard_options` are Ray actor options
    (`num_cpus`, `memory`, `resources`, `scheduling_strategy` when there is
    one replica, ...) layered over the defaults, and checked here. Placing a
    new shard's actors waits at most `placement_timeout` seconds (None: for
    ever). Not safe to share between threads of the driver without a lock.
    """

    def __init__(
        self,
        vector_size: int,
        shard_capacity: int = 1_000_000,
        *,
        replicas: int = 1,
        shard_options: Optional[dict] = None,
        placement_timeout: Optional[float] = DEFAULT_PLACEMENT_TIMEOUT_S,
    ) -> None:
        # The module judges vector_size, with its own errors.
        self._probe = quillmere.Vectorstore(vector_size)
        self._vector_size = self._probe.vector_size
        capacity = identifier(shard_capacity)
        if capacity < 1:
            raise ValueError(f"shard_capacity must be at least 1, got {capacity}")
        self._capacity = capacity
        count = identifier(replicas)
        if count < 1:
            raise ValueError(f"replicas must be at least 1, got {count}")
        self._replicas = count
        self._placement_timeout = _seconds("placement_timeout", placement_timeout, positive=True)
        options = {**DEFAULT_SHARD_OPTIONS, **(shard_options or {})}
        if count > 1 and "scheduling_strategy" in (shard_options or {}):
            raise ValueError("shard_options cannot set scheduling_strategy with replicas > 1: "
                             "each shard's replicas are placed on different nodes by a placement group")
        actor_class = ray.remote(Shard)
        known = _actor_option_names()
        unknown = [key for key in (shard_options or {}) if known is not None and key not in known]
        if unknown:
            raise ValueError(f"shard_options has {unknown[0]!r}, which is not an option of Ray actors")
        try:
            actor_class.options(**options)  # Ray's own checks of the values
        except (TypeError, ValueError) as error:
            raise type(error)(f"shard_options: {error}") from None
        if not ray.is_initialized():
            ray.init()
        self._session = _session()
        # On a single node there is nothing to spread the replicas over.
        spread = False
        if count > 1:
            nodes = sum(1 for node in ray.nodes() if node["Alive"])
            if nodes == 1:
                warnings.warn(
                    f"Ray runs a single node: the {count} replicas of each shard share it, "
                    "so they survive the loss of an actor but not of the node",
                    RuntimeWarning,
                    stacklevel=2,
                )
            elif nodes < count:
                raise ValueError(f"replicas={count} places each shard's replicas on different nodes, "
                                 f"but the Ray cluster has {nodes} alive nodes")
            else:
                spread = True
        self._groups = ReplicaGroups(actor_class, self._vector_size, count, options, spread)
        self._shards: list = self._groups.groups  # one Group per shard
        self._sizes: list[int] = []
        self._turn = 0  # rotates reads over the replicas
        # Set once a shard is known lost or left in an unknown state; the
        # store then refuses every further call rather than answer partially.
        self._failure: Optional[ShardUnavailableError] = None
        # Why the store refuses every call: it was closed, or its Ray is gone.
        self._closed: Optional[str] = None

    # ------------------------------------------------------------ properties

    @property
    def vector_size(self) -> int:
        return self._vector_size

    @property
    def shard_capacity(self) -> int:
        return self._capacity

    @property
    def shard_count(self) -> int:
        self._check_open()
        return len(self._shards)

    @property
    def shard_sizes(self) -> tuple:
        """The number of entries in each shard, in order (tracked in the driver)."""
        self._check_open()
        self._check_whole()
        return tuple(self._sizes)

    @property
    def replicas(self) -> int:
        """The number of replicas each shard is meant to have."""
        return self._replicas

    @property
    def replica_counts(self) -> tuple:
        """The replicas of each shard that are alive now, in shard order.

        Asks every replica, so a death is noticed here even if no call has
        reached that replica since; finished repairs are counted, and lost
        replicas start being repaired. A lost shard shows 0.
        """
        self._check_open()
        self._check_alive()
        self._start_repairs()
        return tuple(len(group.live) for group in self._shards)

    def replica_actors(self, shard: int) -> list:
        """The actor handles of the live replicas of shard `shard` (from 0)."""
        self._check_open()
        index = operator.index(shard)
        if not 0 <= index < len(self._shards):
            raise IndexError(f"shard {index} is out of range: the store has {len(self._shards)} shards")
        return [replica.actor for replica in self._shards[index].live]

    def __len__(self) -> int:
        # With a shard lost, the count the driver kept is no longer true.
        self._check_open()
        self._check_whole()
        return sum(self._sizes)

    def __bool__(self) -> bool:
        return len(self) > 0

    def _lost(self) -> list:
        lost = {index for index, group in enumerate(self._shards) if not group.live}
        if self._failure is not None and self._failure.shard < len(self._shards):
            lost.add(self._failure.shard)
        return sorted(lost)

    def __repr__(self) -> str:
        # What the driver knows, without asking the actors.
        text = f"ShardedVectorstore(vector_size={self._vector_size}"
        if self._closed is not None:
            state = "closed" if self._closed == "closed" else f"closed: {self._closed}"
            return f"{text}, shard_capacity={self._capacity}, {state})"
        lost = self._lost()
        if not lost:
            text += f", len={sum(self._sizes)}"
        text += f", shard_count={len(self._shards)}, shard_capacity={self._capacity}"
        if self._replicas > 1:
            live = tuple(len(group.live) for group in self._shards)
            repairing = sum(len(group.repairs) for group in self._shards)
            text += f", replicas={self._replicas}, live_replicas={live}, repairing={repairing}"
        if lost:
            text += f", lost_shards={tuple(lost)}"
        return text + ")"

    def __reduce_ex__(self, protocol: Any) -> Any:
        raise TypeError(PICKLE_REFUSAL)

    # ------------------------------------------------------------- loading

    def insert(self, vector: Any, id: Any) -> None:
        """Appends one entry, like `Vectorstore.insert`; a refused insert changes nothing."""
        self._check_open()
        quillmere.Vectorstore(self._vector_size).insert(vector, id)
        row, id_ = vector_f32(vector), identifier(id)
        with self._calling():
            if self._shards and self._sizes[-1] < self._capacity:
                index = len(self._shards) - 1
                # The module's insert is all or nothing: only a lost actor leaves doubt.
                self._sizes[-1] = self._apply(index, lambda actor: actor.insert.remote(row, id_), partial=False)
            else:
                self._load(1, row[None, :], np.array([id_], dtype=np.uint64), _Deadline("insert", None))

    def extend(self, vectors: Sequence[tuple], *, timeout: Optional[float] = None) -> None:
        """Appends `(vector, id)` pairs, like the `Vectorstore` constructor:
        every pair is checked before any shard is touched, and a refused
        call changes nothing. Past `timeout` seconds it raises `TimeoutError`
        and changes nothing."""
        self._check_open()
        deadline = _Deadline("extend", timeout)
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
        with self._calling():
            block = np.stack(rows)
            self._load(len(rows), ray.put(block), ray.put(np.array(ids, dtype=np.uint64)), deadline)

    def extend_array(self, array: Any, ids: Any = None, *, timeout: Optional[float] = None) -> None:
        """Appends the rows of a 2-D numeric array, or of a `.npy` file given by path.

        `ids` is a 1-D integer array with one id per row; by default the rows
        get the next positions, `len(self)` onwards. An array goes once into
        Ray's object store, where each shard reads its range. A path is
        memory-mapped by each shard's worker, which must see the file at the
        same path (the local machine, or storage shared by the cluster).
        Empty input is accepted as `extend` accepts it. Past `timeout`
        seconds it raises `TimeoutError` and changes nothing.
        """
        self._check_open()
        deadline = _Deadline("extend_array", timeout)
        if isinstance(array, (str, os.PathLike)):
            path = os.path.abspath(os.fspath(array))
            values = np.load(path, mmap_mode="r")  # reads the header only
        else:
            path, values = None, np.asarray(array)
        if values.shape == (0,):  # [] or any empty sequence, as extend([]) takes it
            values = np.empty((0, self._vector_size), np.float32)
        if values.ndim != 2:
            raise ValueError(f"array must be 2-D, got shape {values.shape}")
        n, width = values.shape
        if n == 0 and width != self._vector_size:
            raise ValueError(f"array has rows of length {width} but vectorstore expects {self._vector_size}")
        if ids is not None:
            ids = np.asarray(ids)
            if ids.shape != (n,):
                raise ValueError(f"ids must be 1-D with one id per row ({n}), got shape {ids.shape}")
        if values.dtype.kind not in NUMERIC_KINDS:
            # Objects, strings, complex numbers: the module's rule per row.
            if ids is None:
                ids = np.arange(len(self), len(self) + n, dtype=np.uint64)
            self.extend(list(zip(values, ids.tolist())), timeout=deadline.remaining())
            return
        id_values = _checked_ids(ids) if ids is not None else None
        if n and width != self._vector_size:
            quillmere.Vectorstore(self._vector_size, [(values[0], 0)])  # the module's length error
        if n == 0:
            return
        with self._calling():
            if path is not None:
                source: Any = ("npy", path, values.shape, values.dtype.str)
            else:
                source = ray.put(values)
            self._load(n, source, len(self) if id_values is None else ray.put(id_values), deadline)

    def _load(self, n: int, source: Any, ids: Any, deadline: _Deadline) -> None:
        """Spreads rows 0..n of `source` over the shards: first the free room of
        the last shard, then new shards of `shard_capacity` rows.

        New shards load in parallel, on every replica, while the last shard
        stages its part on each of its replicas; only when every part has
        reached some replica does the last shard append, so a failure while
        reading, a placement that does not come, or the `deadline` passing
        leaves the store as it was. The append itself is not timed: once
        begun, it ends. Replicas that fail meanwhile are dropped and
        repaired later.
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
        staged = plan[0][0]

        new_groups: list = []
        placed: list = []  # one per new actor: ends once Ray has started it
        calls: list = []  # (position in plan, replica, ref)
        try:
            for position, (index, start, stop) in enumerate(plan):
                if index is None:
                    group = self._new_group()
                    new_groups.append(group)
                    placed += [replica.actor.__ray_ready__.remote() for replica in group.live]
                    for replica in group.live:
                        calls.append((position, replica, replica.actor.load.remote(source, start, stop, ids)))
                else:
                    group = self._shards[index]
                    for replica in group.live:
                        calls.append((position, replica, replica.actor.stage.remote(source, start, stop, ids)))
                    for repair in group.repairs:
                        repair.forward(repair.actor.stage.remote(source, start, stop, ids), sized=False)
            if placed:
                self._await_placement(placed, deadline)
            deadline.wait_all([ref for _, _, ref in calls])
            outcomes = _outcomes([ref for _, _, ref in calls])
        except BaseException:
            for group in new_groups:
                self._end_group(group)
            if staged is not None:
                self._discard(staged, wait=False)  # behind a stage that may still run
            raise
        results: list = [[] for _ in plan]
        for (position, replica, _), outcome in zip(calls, outcomes):
            results[position].append((replica, *outcome))

        blocked = next((p for p, parts in enumerate(results) if not any(ok for _, ok, _ in parts)), None)
        if blocked is not None:
            # Some part reached no replica: nothing changes.
            for group in new_groups:
                self._end_group(group)
            if staged is not None:
                group = self._shards[staged]
                for replica, ok, value in results[0]:
                    if not ok and isinstance(value, RayActorError):
                        self._drop(group, replica)
                if group.live:
                    self._discard(staged)
                else:
                    self._failure = self._as_shard_error(results[0][-1][2], staged, len(self._shards))
            parts = results[blocked]
            error = next((value for _, _, value in parts if not isinstance(value, RayActorError)), parts[0][2])
            if isinstance(error, RayActorError):
                index = plan[blocked][0]
                if index is None:
                    index = len(self._shards) + blocked - (staged is not None)
                raise self._as_shard_error(error, index, total) from error
            raise error

        if deadline.remaining() == 0:
            for group in new_groups:
                self._end_group(group)
            if staged is not None:
                self._discard(staged, wait=False)
            raise deadline.expired()
        try:
            if staged is not None:
                group = self._shards[staged]
                for replica, ok, _ in results[0]:
                    if not ok:  # it holds none of the staged rows
                        self._drop(group, replica)
                self._sizes[staged] = self._apply(staged, lambda actor: actor.commit.remote(), partial=True)
                results = results[1:]
        except BaseException:
            for group in new_groups:
                self._end_group(group)
            raise
        for group, parts in zip(new_groups, results):
            counts = set()
            for replica, ok, value in parts:
                if ok:
                    counts.add(value)
                else:
                    self._drop(group, replica)
            assert len(counts) == 1, f"replicas of a new shard disagree on its size: {counts}"
            self._shards.append(group)
            self._sizes.append(counts.pop())

    def _await_placement(self, placed: list, deadline: _Deadline) -> None:
        """Waits until Ray has started every new actor, for at most the
        placement timeout or what remains of the call's own."""
        limit, remaining = self._placement_timeout, deadline.remaining()
        waits = [wait for wait in (limit, remaining) if wait is not None]
        ready, _ = ray.wait(placed, num_returns=len(placed), timeout=min(waits) if waits else None)
        if len(ready) == len(placed):
            return
        if limit is None or (remaining is not None and remaining <= limit):
            raise deadline.expired()
        asked = asked_resources(self._groups.options)
        names = sorted(asked) or ["CPU", "memory"]
        total, free = ray.cluster_resources(), ray.available_resources()

        def amounts(resources: dict) -> str:
            return ", ".join(f"{name} {resources.get(name, 0):g}" for name in names)

        where = f" on {self._replicas} distinct nodes per shard" if self._groups.bundle is not None else ""
        raise TimeoutError(
            f"Ray placed {len(ready)} of {len(placed)} new shard actors within placement_timeout="
            f"{limit:g} s: each asks for {amounts(asked) if asked else 'no resources'}{where}, and the "
            f"cluster has {amounts(total)} in all, {amounts(free)} free. Nothing was added; ask for less "
            "in shard_options, add nodes, or raise placement_timeout"
        )

    def _apply(self, index: int, call: Any, partial: bool) -> int:
        """Makes a change on every live replica of an existing shard, and
        returns its new size. Replicas that fail are dropped. If none takes
        the change: an error that left every replica as it was is raised
        as is; a lost actor, or a failed append of several rows (`partial`),
        leaves the shard lost or in an unknown state, so the store stops
        answering."""
        group = self._shards[index]
        replicas = list(group.live)
        refs = [call(replica.actor) for replica in replicas]
        for repair in group.repairs:
            repair.forward(call(repair.actor), sized=True)
        outcomes = _outcomes(refs)
        sizes = {value for ok, value in outcomes if ok}
        if sizes:
            for replica, (ok, _) in zip(replicas, outcomes):
                if not ok:
                    self._drop(group, replica)
            assert len(sizes) == 1, f"replicas of shard {index} disagree on its size: {sizes}"
            return sizes.pop()
        errors = [value for _, value in outcomes]
        refused = next((error for error in errors if not isinstance(error, RayActorError)), None)
        if refused is not None and not partial:
            for replica, error in zip(replicas, errors):
                if isinstance(error, RayActorError):
                    self._drop(group, replica)
            raise refused
        for replica in replicas:
            self._drop(group, replica)
        if refused is not None:
            reason = f"appending failed part way and it may hold only some rows ({_reason(refused)})"
            self._failure = ShardUnavailableError(index, len(self._shards), reason)
            raise self._failure from refused
        self._failure = self._as_shard_error(errors[0], index, len(self._shards), dropped=True)
        raise self._failure from errors[0]

    def _discard(self, index: int, wait: bool = True) -> None:
        """Drops the rows staged on every replica of a shard. Without `wait`,
        the discards queue behind whatever each replica is doing: a later
        write stages afresh anyway."""
        group = self._shards[index]
        replicas = list(group.live)
        refs = [replica.actor.discard.remote() for replica in replicas]
        for repair in group.repairs:
            repair.forward(repair.actor.discard.remote(), sized=False)
        if not wait:
            return
        for replica, (ok, error) in zip(replicas, _outcomes(refs)):
            if not ok and isinstance(error, RayActorError):
                self._drop(group, replica)
                if not group.live:
                    self._failure = self._as_shard_error(error, index, len(self._shards))

    # ------------------------------------------------------------- searching

    def search(self, vector: Any, top_k: Any, *, timeout: Optional[float] = None) -> list:
        """The `top_k` best `(score, id)` pairs of all shards, as one store
        would give them. Past `timeout` seconds it raises `TimeoutError`."""
        self._check_open()
        deadline = _Deadline("search", timeout)
        self._probe.search(vector, top_k)
        query, k = vector_f32(vector), identifier(top_k)
        with self._calling():
            if not self._shards:
                return []
            units = [(index, lambda actor: actor.search.remote(query, k)) for index in range(len(self._shards))]
            return _merge(self._read(units, deadline), k)

    def search_batch(self, queries: Any, top_k: Any, n_threads: Any = None, *,
                     timeout: Optional[float] = None) -> list:
        """`search` for each query of a list or a 2-D array, in one round trip
        per shard, where the module's `search_batch` answers with `n_threads`
        threads (default: the usable processors of the shard's node). Where a
        shard's replicas sit on different nodes the queries are split between
        them; replicas that share a node share its cores, so there each
        shard's batch goes whole to one replica, and successive calls rotate.
        Past `timeout` seconds it raises `TimeoutError`."""
        self._check_open()
        deadline = _Deadline("search_batch", timeout)
        batch = self._queries(queries, lambda checked: self._probe.search_batch(checked, top_k, n_threads))
        k, threads = identifier(top_k), None if n_threads is None else identifier(n_threads)
        with self._calling():
            if not self._shards or len(batch) == 0:
                return [[] for _ in range(len(batch))]
            per_shard = self._read_batch(batch, lambda actor, ref, start, stop:
                                         actor.search_batch.remote(ref, k, threads, start, stop), deadline)
            return [_merge(answers, k) for answers in zip(*per_shard)]

    def range_search(self, queries: Any, min_score: Any, n_threads: Any = None, *,
                     timeout: Optional[float] = None) -> list:
        """For each query, every entry whose score is at least `min_score`,
        best first, ties in insertion order: the answer of one store's
        `range_search`, bit for bit. Sent to the shards as `search_batch` is."""
        self._check_open()
        deadline = _Deadline("range_search", timeout)
        batch = self._queries(queries, lambda checked: self._probe.range_search(checked, min_score, n_threads))
        threshold, threads = float(min_score), None if n_threads is None else identifier(n_threads)
        with self._calling():
            if not self._shards or len(batch) == 0:
                return [[] for _ in range(len(batch))]
            per_shard = self._read_batch(batch, lambda actor, ref, start, stop:
                                         actor.range_search.remote(ref, threshold, threads, start, stop), deadline)
            return [_merge(answers, None) for answers in zip(*per_shard)]

    def _queries(self, queries: Any, check: Any) -> np.ndarray:
        """A batch of queries as float32 rows. Numeric arrays must be 2-D with
        `vector_size` columns; `check` then offers the batch and the other
        arguments to the probe, which refuses them with the module's errors."""
        if isinstance(queries, (str, bytes)):
            raise TypeError(f"queries must be a sequence of vectors or a 2-D array, not {type(queries).__name__}")
        d = self._vector_size
        if isinstance(queries, np.ndarray) and queries.dtype.kind in NUMERIC_KINDS:
            if queries.ndim != 2 or queries.shape[1] != d:
                raise ValueError(f"queries must be 2-D with {d} columns (vector_size), got shape {queries.shape}")
            check(queries)
            return np.ascontiguousarray(narrow(queries))
        if isinstance(queries, Iterator):
            queries = list(queries)  # the probe would use it up
        check(queries)
        rows = [vector_f32(query) for query in queries]
        return np.stack(rows) if rows else np.zeros((0, d), np.float32)

    def _read_batch(self, batch: np.ndarray, call: Any, deadline: "_Deadline") -> list:
        """Runs `call(actor, batch_ref, start, stop)` over every shard and
        returns, per shard, one answer per query."""
        ref = ray.put(batch)

        def part(start: int, stop: int) -> Any:
            return lambda actor: call(actor, ref, start, stop)

        units, owners = [], []
        spread = self._groups.bundle is not None  # replicas on distinct nodes
        for index, group in enumerate(self._shards):
            parts = min(len(group.live), len(batch)) if spread else 1
            bounds = [len(batch) * p // parts for p in range(parts + 1)]
            for start, stop in zip(bounds, bounds[1:]):
                units.append((index, part(start, stop)))
                owners.append(index)
        per_shard: list = [[] for _ in self._shards]
        for index, answers in zip(owners, self._read(units, deadline)):
            per_shard[index].extend(answers)
        return per_shard

    def _read(self, units: list, deadline: _Deadline) -> list:
        """Runs (shard, call) units, each on one live replica of its shard,
        rotating over the replicas. A unit whose replica fails runs again on
        another; only a shard with no replica left to try raises, and
        nothing waits past the deadline."""
        self._turn += 1
        chosen = []
        for position, (index, _) in enumerate(units):
            live = self._shards[index].live
            chosen.append(live[(self._turn + position) % len(live)])
        refs = [call(replica.actor) for (_, call), replica in zip(units, chosen)]
        try:
            return deadline.get(refs)
        except RayActorError:
            pass
        results = []
        for (index, call), replica, ref in zip(units, chosen, refs):
            group = self._shards[index]
            tried = []
            while True:
                try:
                    results.append(deadline.get(ref))
                    break
                except RayActorError as error:
                    tried.append(replica)
                    if isinstance(error, ActorDiedError) and replica in group.live:
                        self._drop(group, replica)
                    untried = [other for other in group.live if other not in tried]
                    if not untried:
                        self._poll_repairs()  # a finished repair can take over
                        untried = [other for other in group.live if other not in tried]
                    if not untried:
                        failure = self._as_shard_error(error, index, len(self._shards))
                        if not group.live:
                            self._failure = failure
                        raise failure from error
                    replica = untried[0]
                    ref = call(replica.actor)
        return results

    # ------------------------------------------------------------- replicas

    def _new_group(self) -> Group:
        return self._groups.new_group()

    def _end_group(self, group: Group) -> None:
        self._groups.end_group(group)

    def _drop(self, group: Group, replica: Any) -> None:
        self._groups.drop(group, replica)

    def _check_alive(self) -> None:
        """Asks every live replica whether it lives; a shard left with none is lost."""
        deaths = self._groups.check_alive(self._sizes)
        for index, error in deaths.items():
            if not self._shards[index].live and self._failure is None:
                self._failure = self._as_shard_error(error, index, len(self._shards))

    def _start_repairs(self) -> None:
        if self._failure is None and self._closed is None:
            self._groups.start_repairs(self._sizes)

    def _poll_repairs(self, timeout: Optional[float] = 0) -> None:
        self._groups.poll_repairs(self._sizes, timeout)

    def wait_repaired(self, timeout: Optional[float] = None) -> None:
        """Returns once every shard has all its replicas alive again.

        Raises `TimeoutError` if `timeout` seconds pass first,
        `ShardUnavailableError` if a shard has no replica left to copy from,
        and `RuntimeError` if repairing a shard failed several times in a row.
        """
        self._check_open()
        deadline = _Deadline("wait_repaired", timeout)
        for group in self._shards:
            group.failed_repairs = 0
        self._check_alive()
        while True:
            self._check_usable()
            self._start_repairs()
            index = self._groups.failed_repair()
            if index is not None:
                group = self._shards[index]
                raise RuntimeError(
                    f"repairing shard {index} failed {group.failed_repairs} times in a row "
                    f"({_reason(group.repair_error)})"
                ) from group.repair_error
            missing = self._groups.missing()
            if not missing:
                return
            remaining = deadline.remaining()
            if remaining is not None and remaining <= 0:
                shards = ", ".join(f"shard {index} has {live} of {self._replicas}" for index, live in missing)
                raise TimeoutError(f"replicas still missing after {deadline.timeout:g} s: {shards}")
            self._poll_repairs(timeout=remaining)

    # ------------------------------------------------------------- lifecycle

    @contextmanager
    def _calling(self) -> Iterator[None]:
        """Wraps every call that reaches the shards: finished repairs join
        first, and losses noticed during the call start their repair after
        it, never in the middle of a write."""
        self._check_usable()
        self._poll_repairs()
        try:
            yield
        finally:
            self._start_repairs()

    def _check_open(self) -> None:
        """Refuses every call once the store is closed or the Ray session that
        holds its actors has ended. Nothing here, or after it, starts Ray."""
        if self._closed is None and _session() != self._session:
            self._closed = "Ray is no longer running"
            self._groups.forget()
        if self._closed == "closed":
            raise RuntimeError("the store is closed")
        if self._closed is not None:
            raise RuntimeError("the store is closed: Ray is no longer running, and its shards are gone with it")

    def _check_usable(self) -> None:
        self._check_open()
        if self._failure is not None:
            failure = self._failure
            raise ShardUnavailableError(failure.shard, failure.shard_count, failure.reason)

    def _check_whole(self) -> None:
        """Raises what every call raises once a shard is lost."""
        self._check_usable()
        lost = self._lost()
        if lost:
            reason = "no replica of it is left and its entries are lost (rebuild the store)"
            raise ShardUnavailableError(lost[0], len(self._shards), reason)

    def _as_shard_error(self, error: Exception, index: int, count: int, dropped: bool = False) -> ShardUnavailableError:
        died = isinstance(error, ActorDiedError)
        if self._replicas == 1:
            reason = "its actor has died and its entries are lost (rebuild the store)"
            if not died:
                reason = "its actor cannot be reached"
        elif died or dropped:
            reason = "no replica of it is left and its entries are lost (rebuild the store)"
        else:
            reason = "no replica of it can be reached"
        return ShardUnavailableError(index, count, reason)

    def close(self) -> None:
        """Ends every shard's actors; the store then refuses every call but
        `close` and `repr`. Closing again, or after Ray has stopped, does
        nothing and never raises."""
        if self._closed is not None:
            return
        if _session() == self._session:
            self._groups.close()
        else:
            self._groups.forget()
        self._closed = "closed"

    def __enter__(self) -> "ShardedVectorstore":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
