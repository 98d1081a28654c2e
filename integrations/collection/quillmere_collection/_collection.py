"""A mutable, exact collection of (string id, vector, payload) entries.

Layout. Every entry ever added occupies a *position*: its index in the
lists `_ids` / `_payloads` and in the `quillmere.Vectorstore` that answers
searches (whose u64 id for it is the position too). Positions only grow, in
order of addition, so the store's tie order (insertion order) is the order
of addition. Deleting or overwriting an entry leaves a tombstone (its
position's id becomes None) that searches skip; compaction rebuilds the
store and the lists from the live positions, in order, which keeps every
relative order and so every answer. Live ids find their positions through
an IdTable (_idtable), which holds no Python object per entry.

The store holds the only copy of the vectors. Compaction, saving, MMR and
`vectors` read them back with `Vectorstore.vectors`, a chunk of at most
CHUNK_BYTES at a time, so none of them holds a second copy of the store.

Exactness. The module ranks by score (descending, NaN last, -0.0 and +0.0
equal) and then by position, a total order. Dropping the positions that a
search must not return (tombstones, non-matches) from that order leaves the
order of the remaining entries untouched, and a store built from some
positions' rows, in position order, ranks them the same way. So every
answer here is a subsequence of, or a search over a subset of, the module's
own ranking: the same score bits, and no sorting by score in Python.
"""

from __future__ import annotations

import itertools
import json
import math
import operator
import threading
import time
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

import quillmere

from . import _persist
from ._convert import NUMERIC_KINDS, narrow, row
from ._filters import PayloadIndex, compile_filter, mask_bytes
from ._idtable import IdTable, hashes_of, last_occurrences

__all__ = ["Collection", "Entry", "Hit", "Filter"]

Filter = Callable[[str, Any], bool]
# A filter is a callable, or plain data answered from payload indexes (see _filters).
AnyFilter = Union[Filter, Dict[str, Any]]

# Compact when tombstones exceed this fraction of the live entries.
# bench/collection.py measures a search's time growing with the positions
# it scans (1.3-1.4x with a quarter as many tombstones as live entries,
# 1.5-1.7x at a half, 1.9-2.1x at as many), and a compaction costing about
# what adding the live entries afresh costs (0.6-1.1x). At 0.5 a delete or
# overwrite made one call at a time carries one to two adds' worth of
# compaction, and a search is at most about 1.7x slower than after one.
COMPACT_RATIO = 0.5

# A restriction to known ids searches a temporary store of just those rows
# when they are at most this fraction of the live entries, and otherwise
# searches the whole store, over-fetching past the others. bench/collection.py
# measured the two costs crossing between 5% and 10%: building a store costs
# per row, the over-fetch costs a search of the whole store with a longer
# prefix the rarer the ids.
RESTRICT_FRACTION = 0.07

# Vectors read back from the store at once, at most; runs of wanted
# positions closer than GAP_BYTES of vectors are read as one range. Below
# 2 MiB the module's read-back buffer comes from calloc, which hands the
# next call the memory the last one freed; from 2 MiB on, every call maps
# fresh pages: reading back 1M x 128 (512 MB) for a save took 0.05 s in
# 1 MiB chunks and 0.37 s in 8 MiB chunks, most of it page faults.
CHUNK_BYTES = 1 << 20
GAP_BYTES = 4096

# The allowed masks of this many recent dict filters are kept, while the
# collection is unchanged (any add, delete or compaction drops them): an
# application tends to repeat its filters (a tenant, a document type), and
# a kept mask spares a pass over the field's columns, which the store's
# scan has evicted from the caches by the next query. 0 keeps none.
MASK_CACHE = 8

# Adds of up to SMALL_ADD ids update the id table one id at a time, larger
# ones a chunk of at most ID_CHUNK ids at a time: the chunked path costs tens
# of µs per chunk, and bounds its temporaries to a few MB.
SMALL_ADD = 64
ID_CHUNK = 1 << 16

CHANGED = "collection changed during iteration"


def _name_unserialisable(ids: List[str], payloads: List[Any]) -> None:
    """Raises TypeError naming the first payload json cannot write, if there is one."""
    for id_, payload in zip(ids, payloads):
        try:
            json.dumps(payload)
        except (TypeError, ValueError) as error:
            raise TypeError(f"payload of id {id_!r} is not JSON-serialisable: {error}") from None


def _refuse_single_id(ids: Any) -> None:
    # A str is iterable, so it would pass as a sequence of one-letter ids.
    if isinstance(ids, (str, bytes)):
        raise TypeError(f"ids must be a sequence of str, not a single {type(ids).__name__}")


def _count(value: Any, name: str) -> int:
    count = operator.index(value)
    if count < 0:
        raise ValueError(f"{name} must be at least 0, got {count}")
    return count


class Hit(NamedTuple):
    """One search result: the module's cosine score (a float32 value), the id and its payload."""

    score: float
    id: str
    payload: Any


class Entry(NamedTuple):
    """A stored entry's id and payload."""

    id: str
    payload: Any


class Collection:
    """Entries of (str id, float32 vector, JSON-serialisable payload), searched exactly.

    Every search gives what scoring every live entry with
    `quillmere.cosine_similarity` would give: the same score bits, best
    first, NaN last, equal scores in order of addition. Adding an id that is
    already present replaces its entry and moves it to the end of that order,
    as if it had been deleted and added again.

    `vector_size` may be left None; the first add then fixes it. Payloads are
    kept as given, not copied, and returned as they are: treat them as
    read-only. With `json_payloads=False` a payload may be any object, and
    only `save` requires that json can write it. Calls are serialised by a
    lock, so threads may share a collection. A filter (or an `ids`
    iterable) that changes the collection during a search makes the search
    raise RuntimeError("collection changed during iteration"); the change
    itself stands.
    """

    def __init__(self, vector_size: Optional[int] = None, *, json_payloads: bool = True) -> None:
        self._lock = threading.RLock()
        # Checking at add time keeps every collection saveable; an adapter
        # whose framework accepts any metadata defers the check to save.
        self._json_payloads = bool(json_payloads)
        self._store: Optional[quillmere.Vectorstore] = None
        self._size: Optional[int] = None
        if vector_size is not None:
            self._fix_size(vector_size)
        self._reset()

    def _fix_size(self, vector_size: Any) -> None:
        # The module judges vector_size, with its own errors.
        self._store = quillmere.Vectorstore(vector_size)
        self._size = self._store.vector_size

    def _reset(self) -> None:
        self._count = 0  # positions in use, tombstones included
        self._ids: List[Optional[str]] = []  # per position; None marks a tombstone
        self._payloads: List[Any] = []  # per position
        self._table = IdTable()  # live id -> position
        self._alive = bytearray()  # per position: 1 live, 0 tombstone
        self._index = PayloadIndex()  # payload fields, indexed on their first dict filter
        # Packed allowed masks (bytes, allowed count) of recent dict filters,
        # by _filter_key, and the packed live positions: valid at _masks_version.
        self._masks: Dict[str, Tuple[bytes, int]] = {}
        self._live_bits: Optional[Tuple[bytes, int]] = None
        self._masks_version = -1
        self._version = 0  # bumped by every change, for iterators
        if self._size is not None:
            self._store = quillmere.Vectorstore(self._size)

    # ------------------------------------------------------------ properties

    @property
    def vector_size(self) -> Optional[int]:
        """The length of every vector, or None until the first add fixes it."""
        return self._size

    def __len__(self) -> int:
        return len(self._table)

    def __contains__(self, id: object) -> bool:
        return self._table.get(id, self._ids) >= 0

    def __iter__(self) -> Iterator[str]:
        """The live ids, in order of addition (an overwritten id at its new place)."""
        return (entry.id for entry in self.items())

    def items(self) -> Iterator[Entry]:
        """The live entries as `Entry(id, payload)`, in the order of `iter()`.

        Like a dict's views, the iterator raises RuntimeError if the
        collection changes while it is consumed.
        """
        return self._entries(self._version, self._ids, self._payloads)

    def _entries(self, version: int, ids: List[Optional[str]], payloads: List[Any]) -> Iterator[Entry]:
        for position in range(len(ids)):
            if self._version != version:
                raise RuntimeError("collection changed during iteration")
            id_ = ids[position]
            if id_ is not None:
                yield Entry(id_, payloads[position])

    def __repr__(self) -> str:
        return f"Collection(vector_size={self._size}, len={len(self)})"

    # ------------------------------------------------------------- changing

    def add(self, ids: Sequence[str], vectors: Any, payloads: Optional[Sequence[Any]] = None) -> None:
        """Adds or replaces entries: `ids[i]` gets `vectors[i]` and `payloads[i]`.

        `vectors` is a sequence of vectors (anything the module accepts as a
        vector) or a 2-D numeric numpy array; `payloads` defaults to None for
        every entry and each must be JSON-serialisable (any object with
        `json_payloads=False`). An id already present,
        or repeated within the call, keeps only its last vector and payload
        and moves to the end of the order. The call is all or nothing: a
        refused add (a wrong length, a value that does not convert, a payload
        json cannot write) raises and changes nothing.
        """
        with self._lock:
            ids = self._checked_ids(ids)
            rows = self._checked_rows(vectors, len(ids))
            payloads = self._checked_payloads(payloads, ids, self._json_payloads)
            if not ids:
                return
            if self._size is None:
                self._fix_size(rows.shape[1])
            # Within one call the last occurrence of an id wins, as it would
            # in a sequence of single adds. Both ways hash every id before
            # any change, so an id whose hash raises changes nothing.
            if len(ids) <= SMALL_ADD:
                hashes = None
                last = {id_: i for i, id_ in enumerate(ids)}
                keep = None if len(last) == len(ids) else sorted(last.values())
            else:
                hashes = hashes_of(ids)
                keep = last_occurrences(ids, hashes)
                keep = None if keep is None else keep.tolist()
            if keep is not None:
                ids = [ids[i] for i in keep]
                payloads = None if payloads is None else [payloads[i] for i in keep]
                rows = rows[keep]
                hashes = None if hashes is None else hashes[keep]
            self._append(ids, hashes, rows, payloads)
            self._maybe_compact()

    def _checked_ids(self, ids: Any) -> List[str]:
        _refuse_single_id(ids)
        ids = list(ids)
        for i, id_ in enumerate(ids):
            if not isinstance(id_, str):
                raise TypeError(f"ids must be str, but ids[{i}] is {type(id_).__name__}")
        return ids

    def _checked_rows(self, vectors: Any, n: int) -> np.ndarray:
        """The float32 rows the module would store for `vectors`, or the module's error."""
        if isinstance(vectors, np.ndarray) and vectors.ndim == 2 and vectors.dtype.kind in NUMERIC_KINDS:
            if len(vectors) != n:
                raise ValueError(f"{n} ids but {len(vectors)} vectors")
            size = self._size if self._size is not None else vectors.shape[1]
            if n and vectors.shape[1] != size:
                quillmere.Vectorstore(size, [(vectors[0], 0)])  # raises the module's length error
            return np.ascontiguousarray(narrow(vectors))
        if isinstance(vectors, (str, bytes)):
            raise TypeError(f"vectors must be a sequence of vectors, not a single {type(vectors).__name__}")
        vectors = list(vectors)
        if len(vectors) != n:
            raise ValueError(f"{n} ids but {len(vectors)} vectors")
        if not vectors:
            return np.empty((0, self._size or 0), np.float32)
        first = row(vectors[0], self._size)
        rows = np.empty((n, len(first)), np.float32)
        rows[0] = first
        for i in range(1, n):
            rows[i] = row(vectors[i], len(first))
        return rows

    @staticmethod
    def _checked_payloads(payloads: Any, ids: List[str], check_json: bool) -> Optional[List[Any]]:
        """The payloads as a list, or None for all None."""
        if payloads is None:
            return None
        payloads = list(payloads)
        if len(payloads) != len(ids):
            raise ValueError(f"{len(ids)} ids but {len(payloads)} payloads")
        if check_json:
            try:
                json.dumps(payloads)  # one pass over the whole batch
            except (TypeError, ValueError):
                _name_unserialisable(ids, payloads)
                raise
        return payloads

    def _append(
        self, ids: List[str], hashes: Optional[np.ndarray], rows: np.ndarray, payloads: Optional[List[Any]]
    ) -> None:
        """Appends checked, distinct entries at new positions, all or nothing.

        With `hashes` (the ids' hashes_of) the table takes them a chunk at a
        time, otherwise one by one.
        """
        start, n = self._count, len(ids)
        table = self._table
        table.reserve(n, self._ids)  # changes no entry, so it comes before the store takes any row
        store, inserted = self._store, 0
        try:
            for i in range(n):
                store.insert(rows[i], start + i)
                inserted += 1
        except BaseException:
            # Only running out of memory (or an interrupt) stops the loop.
            # The rows the store took become tombstones, so the store and
            # the bookkeeping agree and no entry has changed.
            self._ids.extend([None] * inserted)
            self._payloads.extend([None] * inserted)
            self._alive.extend(bytes(inserted))
            self._count += inserted
            raise
        self._alive.extend(b"\x01" * n)
        self._ids.extend(ids)  # first: the table confirms its matches against these
        self._payloads.extend(itertools.repeat(None, n) if payloads is None else payloads)
        if hashes is None:
            for position, id_ in enumerate(ids, start):
                old = table.put(id_, position, self._ids)
                if old >= 0:
                    self._ids[old] = None
                    self._payloads[old] = None
                    self._alive[old] = 0
        # A chunk of ids at a time, so that the table's temporaries stay small
        # (glibc keeps large freed temporaries resident).
        for first in range(0, n if hashes is not None else 0, ID_CHUNK):
            chunk = slice(first, first + ID_CHUNK)
            keys, chunk_hashes = ids[chunk], hashes[chunk]
            found = table.lookup(keys, chunk_hashes, self._ids)
            for old in table.positions_at(found[found >= 0]).tolist():
                self._ids[old] = None
                self._payloads[old] = None
                self._alive[old] = 0
            table.commit(found, chunk_hashes, np.arange(start + first, start + first + len(keys), dtype=np.int64))
        self._count = start + n
        self._version += 1

    def delete(self, ids: Iterable[str]) -> int:
        """Removes the entries with these ids; ids not present are ignored.

        Returns the number of entries removed.
        """
        with self._lock:
            _refuse_single_id(ids)
            removed = 0
            table, names = self._table, self._ids
            for id_ in ids:
                position = table.pop(id_, names)
                if position >= 0:
                    self._ids[position] = None
                    self._payloads[position] = None
                    self._alive[position] = 0
                    removed += 1
            if removed:
                self._version += 1
                self._maybe_compact()
            return removed

    def clear(self) -> None:
        """Removes every entry; `vector_size` stays as it is."""
        with self._lock:
            self._reset()

    # ------------------------------------------------------------- compaction

    @property
    def _dead(self) -> int:
        return self._count - len(self._table)

    def _maybe_compact(self) -> None:
        if self._dead > COMPACT_RATIO * len(self._table):
            self.compact()

    def compact(self) -> None:
        """Drops the tombstones now: rebuilds the store from the live entries, in order.

        Runs by itself when tombstones exceed half the live entries; answers
        are the same before and after.
        """
        with self._lock:
            if self._dead:
                self._rebuild(self._live_positions())

    def _live_positions(self) -> np.ndarray:
        """The live positions, ascending (the order of addition)."""
        return np.flatnonzero(np.frombuffer(self._alive, np.bool_)).astype(np.int64, copy=False)

    def _rebuild(self, positions: np.ndarray) -> None:
        """Keeps only `positions` (ascending), renumbered from 0 in the same order."""
        store = self._store_of(positions, renumber=True)
        ids = [self._ids[p] for p in positions.tolist()]
        table = IdTable.of(ids, np.arange(len(ids), dtype=np.int64))
        # Nothing has changed up to here; the rest cannot fail part way.
        self._payloads = [self._payloads[p] for p in positions.tolist()]
        self._ids = ids
        self._table = table
        self._index.compacted(positions, self._count)
        self._alive = bytearray(b"\x01") * len(ids)
        self._count = len(ids)
        self._store = store
        self._version += 1

    # ------------------------------------------------------------- reading back

    def _row_chunks(self, positions: np.ndarray) -> Iterator[Tuple[np.ndarray, np.ndarray]]:
        """(positions, their rows) for ascending distinct `positions`, a chunk at a time.

        Each chunk is one `Vectorstore.vectors` range of at most CHUNK_BYTES,
        spanning wanted positions that lie within GAP_BYTES of each other;
        a chunk of consecutive positions is the read-back buffer itself.
        """
        if len(positions) == 0:
            return
        row_bytes = 4 * self._size
        chunk = max(1, CHUNK_BYTES // row_bytes) if row_bytes else len(positions)
        gap = max(1, GAP_BYTES // row_bytes) if row_bytes else len(positions)
        cuts = (np.flatnonzero(np.diff(positions) > gap) + 1).tolist()
        store = self._store
        for begin, end in zip([0] + cuts, cuts + [len(positions)]):
            while begin < end:
                first = int(positions[begin])
                stop = begin + int(np.searchsorted(positions[begin:end], first + chunk))
                wanted = positions[begin:stop]
                last = int(wanted[-1]) + 1
                rows = np.asarray(store.vectors(first, last))
                yield wanted, rows if last - first == len(wanted) else rows[wanted - first]
                begin = stop

    def _rows_of(self, positions: np.ndarray) -> np.ndarray:
        """The stored rows of ascending distinct `positions`, as one new float32 array."""
        out = np.empty((len(positions), self._size or 0), np.float32)
        done = 0
        for wanted, rows in self._row_chunks(positions):
            out[done : done + len(wanted)] = rows
            done += len(wanted)
        return out

    def _store_of(self, positions: np.ndarray, renumber: bool) -> quillmere.Vectorstore:
        """A new store of the rows of ascending distinct `positions`, in order.

        Its ids are 0, 1, ... with `renumber`, else the positions. The
        constructor converts each pair straight into the store as it
        iterates, so only one chunk of rows exists beside the stores.
        """
        def pairs() -> Iterator[Tuple[np.ndarray, int]]:
            done = 0
            for wanted, rows in self._row_chunks(positions):
                yield from zip(rows, range(done, done + len(wanted)) if renumber else wanted.tolist())
                done += len(wanted)

        return quillmere.Vectorstore(self._size, _Pairs(len(positions), pairs))

    # ------------------------------------------------------------- reading

    def get(self, ids: Iterable[str]) -> List[Entry]:
        """The entries for these ids, in the order asked; ids not present are skipped."""
        with self._lock:
            _refuse_single_id(ids)
            out = []
            table, names = self._table, self._ids
            for id_ in ids:
                position = table.get(id_, names)
                if position >= 0:
                    out.append(Entry(id_, self._payloads[position]))
            return out

    def vectors(self, ids: Iterable[str]) -> np.ndarray:
        """A float32 array (a copy) of the stored vectors of these ids, one row each.

        These are the values the module stores and scores. A missing id
        raises KeyError.
        """
        with self._lock:
            _refuse_single_id(ids)
            version = self._version
            positions = []
            table, names = self._table, self._ids
            for id_ in ids:
                position = table.get(id_, names)
                if position < 0:
                    raise KeyError(id_)
                positions.append(position)
            if self._version != version:
                raise RuntimeError(CHANGED)  # the ids' iterator changed the positions
            wanted = np.array(positions, np.int64)
            distinct, where = np.unique(wanted, return_inverse=True)
            return self._rows_of(distinct)[where.reshape(-1)].reshape(len(positions), self._size or 0)

    # ------------------------------------------------------------- persistence

    def save(self, path: Any) -> None:
        """Saves the live entries, in order, to the directory `path`, atomically.

        The directory holds an .npy of the vectors, a JSON file of ids and
        payloads, and `manifest.json`, which is replaced last: a crash leaves
        the previous save (or none) intact. `path` must be absent, empty, or
        an earlier save. Loaded payloads are what json reads back (tuples
        become lists, for instance). A payload json cannot write raises
        TypeError naming its id, and nothing is written.
        """
        with self._lock:
            if self._dead:
                positions = self._live_positions()
                ids = [self._ids[p] for p in positions.tolist()]
                payloads = [self._payloads[p] for p in positions.tolist()]
            else:
                positions = np.arange(self._count, dtype=np.int64)
                ids, payloads = self._ids, self._payloads
            chunks = (rows for _, rows in self._row_chunks(positions)) if self._size is not None else iter(())
            try:
                _persist.save(path, self._size, ids, chunks, payloads)
            except (TypeError, ValueError):
                # json fails before any file is written; say whose payload it was.
                _name_unserialisable(ids, payloads)
                raise

    @classmethod
    def load(cls, path: Any, *, json_payloads: bool = True) -> "Collection":
        """A collection read from a directory written by `save`.

        Every file's size, the .npy header and the entries' checksum are
        checked first, the vectors' checksum as they are read; a truncated,
        altered or incomplete save raises `CorruptSaveError` naming the file,
        and nothing is built from it.
        `json_payloads` is the constructor's, for the entries added later.
        """
        vector_size, ids, payloads, read_rows = _persist.load(path)
        collection = cls(vector_size, json_payloads=json_payloads)
        if ids:
            # The rows go from the file into the store a chunk at a time; the
            # checksum, checked as they pass, is settled before the store is kept.
            count = len(ids)
            chunk = max(1, CHUNK_BYTES // (4 * vector_size)) if vector_size else count

            def pairs() -> Iterator[Tuple[np.ndarray, int]]:
                done = 0
                for rows in read_rows(chunk):
                    yield from zip(rows, range(done, done + len(rows)))
                    done += len(rows)

            store = quillmere.Vectorstore(vector_size, _Pairs(count, pairs))
            collection._store = store
            collection._ids = ids
            collection._payloads = payloads
            collection._table = IdTable.of(ids, np.arange(len(ids), dtype=np.int64))
            collection._alive = bytearray(b"\x01") * len(ids)
            collection._count = len(ids)
        return collection

    # ------------------------------------------------------------- searching

    def search(
        self, query: Any, k: int, *, filter: Optional[AnyFilter] = None, ids: Optional[Iterable[str]] = None
    ) -> List[Hit]:
        """The `k` live entries most similar to `query`, best first, as `Hit`s.

        Returns exactly min(k, number of eligible entries). `filter` keeps
        only some entries: either a dict such as `{"year": {"$gte": 2000}}`,
        answered from indexes of the payloads' fields (see the README for the
        form), or a callable `filter(id, payload) -> bool`, called per entry.
        `ids` restricts the search to those ids (absent ones are ignored, and
        an empty iterable means no entry at all). Both together: entries that
        pass both. The query is checked by the module, with its errors
        ("query has length 2 but vectorstore expects 3"); a malformed dict
        filter raises ValueError naming the field and the operator.
        """
        with self._lock:
            return self._hits(self._rank(query, k, filter, ids))

    def search_batch(
        self, queries: Any, k: int, *, filter: Optional[AnyFilter] = None, ids: Optional[Iterable[str]] = None
    ) -> List[List[Hit]]:
        """`search(q, k, filter=filter, ids=ids)` for each query `q`, in order.

        `queries` is a sequence of vectors or a 2-D numeric array. Result `i`
        equals `search(queries[i], k, ...)`, hit for hit and bit for bit.
        """
        with self._lock:
            k = _count(k, "k")
            if not isinstance(queries, np.ndarray):
                queries = list(queries)  # converted twice below, so not an iterator
            if filter is not None and not isinstance(filter, dict):
                if ids is not None:
                    _refuse_single_id(ids)
                    ids = list(ids)  # iterated once per query below
                return [self._hits(self._rank(query, k, filter, ids)) for query in queries]  # one by one, as today
            version = self._version
            tree = None if filter is None else compile_filter(filter)
            if self._store is None:
                for query in queries:
                    quillmere.cosine_similarity(query, query)  # the module's conversion errors
                return [[] for _ in range(len(queries))]
            self._store.search_batch(queries, 0)  # the module's errors for a bad query
            ranked = self._search_allowed(queries, k, tree, _filter_key(filter), self._universe(ids))
            if self._version != version:
                raise RuntimeError(CHANGED)
            return [self._hits(one) for one in ranked]

    def mmr(
        self,
        query: Any,
        k: int,
        *,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: Optional[AnyFilter] = None,
        ids: Optional[Iterable[str]] = None,
    ) -> List[Hit]:
        """Up to `k` entries chosen by maximal marginal relevance, in the order chosen.

        The candidates are `search(query, fetch_k, filter=filter, ids=ids)`.
        The first chosen is the best candidate. Each next one is the
        candidate with the highest value

            lambda_mult * sim(query, c) - (1 - lambda_mult) * max(sim(s, c) for s chosen)

        computed in double precision, where every `sim` is the module's
        cosine similarity (float32 bits, as `quillmere.cosine_similarity`
        gives it). Equal values (-0.0 and +0.0 included) go to the candidate
        ranked first by the search; a NaN value ranks after every number.
        `lambda_mult` is in [0, 1]: 1 is the plain search order, 0 ignores
        relevance after the first pick. Each `Hit` carries the candidate's
        exact search score, not its MMR value.
        """
        lambda_mult = float(lambda_mult)
        if not 0.0 <= lambda_mult <= 1.0:
            raise ValueError(f"lambda_mult must be between 0 and 1, got {lambda_mult}")
        k = _count(k, "k")
        fetch_k = _count(fetch_k, "fetch_k")
        with self._lock:
            ranked = self._rank(query, fetch_k, filter, ids)
            count = min(k, len(ranked))
            if count == 0:
                return []
            positions = np.array([position for _, position in ranked], np.int64)
            order = np.argsort(positions, kind="stable")  # distinct positions
            rows = np.empty((len(positions), self._size), np.float32)
            rows[order] = self._rows_of(positions[order])
            # The candidates' similarities to each chosen one come from a
            # search of a store of the candidates, so they are module bits.
            candidates = quillmere.Vectorstore(self._size, list(zip(rows, range(len(rows)))))
            relevance = lambda_mult * np.array([score for score, _ in ranked], np.float64)
            redundancy = np.full(len(ranked), -np.inf)
            chosen = [0]
            open_ = np.ones(len(ranked), np.bool_)
            open_[0] = False
            sims = np.empty(len(ranked), np.float64)
            while len(chosen) < count:
                for score, i in candidates.search(rows[chosen[-1]], len(ranked)):
                    sims[i] = score
                redundancy = np.maximum(redundancy, sims)  # NaN stays NaN
                value = relevance - (1.0 - lambda_mult) * redundancy
                usable = open_ & ~np.isnan(value)
                if usable.any():
                    best = int(np.argmax(np.where(usable, value, -np.inf)))  # first of equals
                else:
                    best = int(np.argmax(open_))  # only NaN left: the first open candidate
                chosen.append(best)
                open_[best] = False
            return self._hits([ranked[i] for i in chosen])

    def _hits(self, ranked: List[Tuple[float, int]]) -> List[Hit]:
        ids, payloads = self._ids, self._payloads
        return [Hit(score, ids[position], payloads[position]) for score, position in ranked]

    def _rank(
        self, query: Any, k: Any, filter: Optional[AnyFilter], ids: Optional[Iterable[str]], strategy: Optional[str] = None
    ) -> List[Tuple[float, int]]:
        """(score, position) of the best `k` eligible live entries, in the module's order.

        `strategy` forces a filtered search's method ("overfetch" or
        "matches", or "mask": the masked search without a prefix first) for
        tests and benchmarks; None chooses.

        The query's conversion, the `ids` iterable and the filter are the
        caller's code, and may change the collection: positions would then
        name other entries or tombstones. That raises RuntimeError(CHANGED),
        checked after each filter call (so a filter never sees a changed
        collection) and once at the end.
        """
        version = self._version
        ranked = self._rank_positions(query, k, filter, ids, strategy)
        if self._version != version:
            raise RuntimeError(CHANGED)
        return ranked

    def _rank_positions(
        self, query: Any, k: Any, filter: Optional[AnyFilter], ids: Optional[Iterable[str]], strategy: Optional[str]
    ) -> List[Tuple[float, int]]:
        k = _count(k, "k")
        tree = compile_filter(filter) if isinstance(filter, dict) else None
        if self._store is None:
            quillmere.cosine_similarity(query, query)  # the module's conversion errors
            return []
        self._store.search(query, 0)  # the module's errors for a bad query
        universe = self._universe(ids)
        if strategy in (None, "mask") and (filter is None or tree is not None):
            return self._search_allowed([query], k, tree, _filter_key(filter), universe)[0]
        keep = None if isinstance(filter, dict) else filter
        if tree is not None:  # a strategy forced on a dict filter: the positions it allows
            universe = np.flatnonzero(self._allowed(tree, universe))
        eligible = len(self._table) if universe is None else len(universe)
        want = min(k, eligible)
        if want == 0:
            return []
        if strategy is None and universe is not None and len(universe) <= RESTRICT_FRACTION * len(self._table):
            strategy = "matches"
        if strategy == "matches":
            candidates = self._live_positions() if universe is None else universe
            return self._search_matches(query, want, self._matching(candidates, keep))
        return self._overfetch(query, want, universe, keep, may_switch=strategy is None)

    def _universe(self, ids: Optional[Iterable[str]]) -> Optional[np.ndarray]:
        """The ascending live positions of these ids (absent ones ignored), or None for no restriction."""
        _refuse_single_id(ids)
        if ids is None:
            return None
        version = self._version
        keys = list(ids)
        if self._version != version:
            raise RuntimeError(CHANGED)
        found = self._table.lookup(keys, hashes_of(keys), self._ids)
        return np.unique(self._table.positions_at(found[found >= 0]))

    def _allowed(self, tree: Any, universe: Optional[np.ndarray]) -> np.ndarray:
        """Booleans over positions: live, within `universe` (if given), and satisfying `tree` (if given)."""
        bits, _ = self._allowed_bits(tree, None, universe)
        return np.unpackbits(np.frombuffer(bits, np.uint8), count=self._count, bitorder="little").view(np.bool_)

    def _allowed_bits(self, tree: Any, key: Optional[str], universe: Optional[np.ndarray]) -> Tuple[bytes, int]:
        """The store's allowed mask (bit i % 8 of byte i // 8 for position i) of `_allowed`, and its count of 1 bits.

        `key` is the filter's `_filter_key`, under which the mask of `tree`
        and the live positions is kept until the collection changes.
        """
        if self._masks_version != self._version:
            self._masks.clear()
            self._live_bits = None
            self._masks_version = self._version
        if self._live_bits is None:
            live = np.packbits(np.frombuffer(self._alive, np.bool_), bitorder="little")
            self._live_bits = (live.tobytes(), self._count - self._dead)
        if tree is None:
            bits, allowed = self._live_bits
        else:
            found = self._masks.get(key) if key is not None else None
            if found is None:
                packed = np.packbits(self._index.mask(tree, self._payloads, self._count), bitorder="little")
                packed &= np.frombuffer(self._live_bits[0], np.uint8)  # tombstones are never allowed
                found = (packed.tobytes(), _ones(packed))
                if key is not None and MASK_CACHE > 0:
                    if len(self._masks) >= MASK_CACHE:
                        del self._masks[next(iter(self._masks))]  # the oldest
                    self._masks[key] = found
            bits, allowed = found
        if universe is not None:
            within = np.zeros(self._count, np.bool_)
            within[universe] = True
            packed = np.packbits(within, bitorder="little")
            packed &= np.frombuffer(bits, np.uint8)
            bits, allowed = packed.tobytes(), _ones(packed)
        return bits, allowed

    def _search_allowed(
        self, queries: Any, k: int, tree: Any, key: Optional[str], universe: Optional[np.ndarray]
    ) -> List[List[Tuple[float, int]]]:
        """(score, position) lists for checked queries, from store searches with an allowed mask.

        The mask's 0 bits (tombstones, positions outside `universe`, payloads
        that fail `tree`) never enter a result, and the store's answer equals
        its full ranking with them dropped: the answer of an over-fetch, bit
        for bit, from one search that skips the blocks with no allowed entry.
        (A plain search of a short prefix first, kept when it held enough
        allowed hits, no longer paid: in bench/collection.py --filters the
        masked search on one thread costs what an unfiltered one costs down
        to 10% allowed, and a prefix of 40 cost about 1.2 times a top 10.)
        """
        store = self._store
        if tree is None and universe is None and not self._dead:
            allowed, eligible = None, self._count
        else:
            allowed, eligible = self._allowed_bits(tree, key, universe)
            if eligible == self._count:
                allowed = None
        want = min(k, eligible)
        if want == 0:
            return [[] for _ in range(len(queries))]
        if allowed is None:
            return [store.search(queries[0], want)] if len(queries) == 1 else store.search_batch(queries, want)
        # One query runs on the calling thread, as the unmasked path's
        # store.search does, so that a filter never changes how many cores
        # a search takes.
        threads = 1 if len(queries) == 1 else None
        return store.search_batch(queries, want, threads, allowed=allowed)

    def _matching(self, positions: np.ndarray, filter: Optional[Filter]) -> np.ndarray:
        if filter is None:
            return positions
        ids, payloads, version = self._ids, self._payloads, self._version
        keep = []
        for p in positions.tolist():
            if filter(ids[p], payloads[p]):
                keep.append(p)
            if self._version != version:
                raise RuntimeError(CHANGED)
        return np.array(keep, np.int64)

    def _search_matches(self, query: Any, want: int, positions: np.ndarray) -> List[Tuple[float, int]]:
        """Searches a temporary store of just these rows (ascending positions)."""
        if len(positions) == 0:
            return []
        return self._store_of(positions, renumber=False).search(query, want)

    def _overfetch(
        self, query: Any, want: int, universe: Optional[np.ndarray], filter: Optional[Filter], may_switch: bool
    ) -> List[Tuple[float, int]]:
        """Walks the whole store's ranking, fetched in growing prefixes, keeping eligible entries.

        Each search returns a longer prefix of the same total order, so a
        round only examines what the previous one had not reached. Without
        a filter, the entries to skip are known (tombstones, and positions
        outside `universe`): fetching `want` plus their number always
        suffices. With a filter, the rate at which it has passed entries so
        far sizes the next prefix, and when the time spent on searching so
        far reaches the time the filter would take over every entry not yet
        examined (timed on the calls made so far), the rest of the work goes
        to `_search_matches` instead (`may_switch`); the next search counts
        in that sum, estimated from the last one in proportion to its size.
        The over-fetch pays per search of the whole store, the other per
        filter call for every entry, so neither wins everywhere. This rule
        costs about what the better one costs when matches are spread
        evenly, and a few times it in the over-fetch's worst case, the
        matches ranking last (bench/collection.py measures all three).
        """
        n = self._count
        ids, payloads, version = self._ids, self._payloads, self._version
        if universe is not None:
            mask = np.zeros(n, np.bool_)
            mask[universe] = True
            member = mask.tobytes()  # indexing bytes is the cheapest test per position
            pool = len(universe)
        else:
            member = None
            pool = len(self._table)
        if filter is None:
            limit = min(n, want + (n - pool))  # enough, however the skipped ones rank
            # If the skipped positions are spread evenly, this prefix holds
            # `want` eligible ones about two standard deviations above the mean.
            margin = want + 2 * math.isqrt(want) + 4
            fetch = min(limit, -(-margin * n // pool))
        else:
            limit = n
            fetch = min(limit, -(-want * n // pool) + want + 16)
        found: List[Tuple[float, int]] = []
        checked = 0  # ranked positions examined so far
        examined = 0  # of which in the pool (filter calls)
        searching = filtering = 0.0
        while True:
            started = time.perf_counter()
            ranked = self._store.search(query, fetch)
            searched = time.perf_counter()
            for score, position in ranked[checked:]:
                if member[position] if member is not None else ids[position] is not None:
                    if filter is not None:
                        examined += 1
                        keep = filter(ids[position], payloads[position])
                        if self._version != version:
                            raise RuntimeError(CHANGED)
                        if not keep:
                            continue
                    found.append((score, position))
                    if len(found) == want:
                        return found
            if len(ranked) < fetch or fetch >= limit:
                return found  # every position has been ranked
            checked = len(ranked)
            searching += searched - started
            filtering += time.perf_counter() - searched
            if found:
                estimate = -(-checked * want * 5 // (len(found) * 4))  # 25% margin over the observed rate
            else:
                estimate = 4 * fetch
            previous, fetch = fetch, min(limit, max(2 * fetch, estimate))
            if may_switch and filter is not None and examined:
                # A search costs at least in proportion to the prefix it returns.
                next_search = (searched - started) * fetch / previous
                if fetch >= n or searching + next_search >= (pool - examined) * filtering / examined:
                    return self._finish_with_matches(query, want, universe, filter, found, ranked)

    def _finish_with_matches(
        self,
        query: Any,
        want: int,
        universe: Optional[np.ndarray],
        filter: Filter,
        found: List[Tuple[float, int]],
        seen: List[Tuple[float, int]],
    ) -> List[Tuple[float, int]]:
        """Filters the entries an over-fetch has not examined and searches all matches."""
        done = np.zeros(self._count, np.bool_)
        done[[position for _, position in seen]] = True
        candidates = self._live_positions() if universe is None else universe
        rest = self._matching(candidates[~done[candidates]], filter)
        matches = np.union1d(np.array([position for _, position in found], np.int64), rest)
        return self._search_matches(query, want, matches)


_POPCOUNT = np.array([bin(i).count("1") for i in range(256)], np.int64)


def _ones(packed: np.ndarray) -> int:
    """The number of 1 bits in a uint8 array."""
    if hasattr(np, "bitwise_count"):  # numpy 2
        return int(np.bitwise_count(packed).sum(dtype=np.int64))
    return int(_POPCOUNT.take(packed).sum())


def _filter_key(filter: Any) -> Optional[str]:
    """A dict filter's key for the kept masks: equal keys are equal filters, or None (nothing kept).

    json writes every value it accepts exactly as its kind and value (1,
    1.0 and true differ, floats round-trip, a subclass of int, float or str
    as its plain value), and a checked filter holds nothing else.
    """
    if not isinstance(filter, dict):
        return None
    try:
        return json.dumps(filter)
    except (TypeError, ValueError, RecursionError):
        return None


class _Pairs:
    """`count` (row, id) pairs made by `make()` as they are iterated.

    The `Vectorstore` constructor takes a sequence (it asks the length as a
    capacity hint) and converts each pair into the store before it takes
    the next, so the rows behind these pairs never exist all at once.
    """

    def __init__(self, count: int, make: Callable[[], Iterator[Tuple[np.ndarray, int]]]) -> None:
        self._count = count
        self._make = make

    def __len__(self) -> int:
        return self._count

    def __getitem__(self, index: int) -> Tuple[np.ndarray, int]:
        raise TypeError("pairs are only iterated")  # never called: the constructor iterates

    def __iter__(self) -> Iterator[Tuple[np.ndarray, int]]:
        return self._make()
