"""Live id -> position, in an open-addressed table of int64 slots.

A dict from a million str ids to their positions costs about 100 bytes per
entry (its entries and index, and an int object per position). This table
holds no Python object: 8 bytes per slot, and between 1.5 and 3 slots per
id when it is built, so 12 to 24 bytes per live id. The ids themselves stay
in the collection's per-position list, against which every match is
confirmed. Deleted ids leave GONE slots until the next compaction rebuilds
the table.

A slot holds EMPTY, GONE (a deleted id: lookups probe past it, new ids may
take it), or `position << TAG_BITS | tag`, where the tag is the top bits of
the id's hash: a probe compares ids only when the tags agree, which for
different ids happens once in 65,536 probes. Slots are probed linearly from
`hash & mask`. Where an id sits depends on the order of insertion, which no
answer depends on: lookups only ever ask whether an id is present, and where.
"""

from __future__ import annotations

import operator
from typing import Any, List, Optional, Sequence

import numpy as np

EMPTY = -1
GONE = -2
TAG_BITS = 16
TAG_MASK = (1 << TAG_BITS) - 1
_HASH_MASK = (1 << 64) - 1
_TAG_SHIFT = 64 - TAG_BITS
# The table grows (and drops its GONE slots) when the slots in use would
# exceed this share of it; it is rebuilt at 1.5 slots or more per id.
_MAX_LOAD = 2 / 3
# Keys placed at once, at most: bounds the placing's temporaries to a few MB
# (glibc keeps large freed temporaries resident).
_PLACE_CHUNK = 1 << 16


# Every hash goes through this name, so that tests can make ids collide.
_hash = hash


def hashes_of(keys: Sequence[Any]) -> np.ndarray:
    """The hash of each key, as int64 (a str caches its hash, so this is cheap)."""
    return np.fromiter(map(_hash, keys), np.int64, len(keys))


def last_occurrences(keys: Sequence[Any], hashes: np.ndarray) -> Optional[np.ndarray]:
    """The ascending indexes of each distinct key's last occurrence, or None if the keys are distinct.

    Sorting the hashes finds the candidates without a Python object per key;
    only keys whose hashes are equal are compared.
    """
    order = np.argsort(hashes, kind="stable")  # equal hashes stay in key order
    ordered = hashes[order]
    if not np.any(ordered[1:] == ordered[:-1]):
        return None
    starts = np.flatnonzero(ordered[1:] != ordered[:-1]) + 1
    bounds = np.concatenate([[0], starts, [len(keys)]])
    runs = np.flatnonzero(np.diff(bounds) > 1)  # runs of two or more equal hashes
    drop = []
    for run in runs.tolist():
        last = {}
        for i in order[bounds[run] : bounds[run + 1]].tolist():
            last[keys[i]] = i  # ascending i: the last occurrence wins
        kept = set(last.values())
        drop.extend(i for i in order[bounds[run] : bounds[run + 1]].tolist() if i not in kept)
    if not drop:
        return None
    keep = np.ones(len(keys), np.bool_)
    keep[drop] = False
    return np.flatnonzero(keep)


def _gather(items: Sequence[Any], indexes: List[int]) -> Sequence[Any]:
    """items[i] for each index, gathered in C (itemgetter returns a tuple only for 2 or more)."""
    return operator.itemgetter(*indexes)(items) if len(indexes) > 1 else [items[i] for i in indexes]


def _capacity(count: int) -> int:
    capacity = 8
    while 2 * capacity < 3 * count:
        capacity *= 2
    return capacity


class IdTable:
    """The live ids' positions; `ids` arguments are the collection's per-position ids."""

    def __init__(self, capacity: int = 8) -> None:
        self._slots = np.full(capacity, EMPTY, np.int64)
        self._view = memoryview(self._slots)  # a Python int per item read: faster than numpy scalars
        self._mask = capacity - 1
        self._used = 0  # slots not EMPTY
        self._live = 0

    @classmethod
    def of(cls, keys: Sequence[str], positions: np.ndarray) -> "IdTable":
        """A table of these distinct keys at these positions."""
        table = cls(_capacity(len(keys)))
        table._place(hashes_of(keys), positions)
        return table

    def __len__(self) -> int:
        return self._live

    # ------------------------------------------------------------ one id

    def find(self, key: Any, ids: List[Optional[str]]) -> int:
        """The slot holding `key`, or -1."""
        h = _hash(key) & _HASH_MASK
        tag, mask, view = h >> _TAG_SHIFT, self._mask, self._view
        slot = h & mask
        while True:
            value = view[slot]
            if value == EMPTY:
                return -1
            if value >= 0 and value & TAG_MASK == tag and ids[value >> TAG_BITS] == key:
                return slot
            slot = (slot + 1) & mask

    def get(self, key: Any, ids: List[Optional[str]]) -> int:
        """The position of `key`, or -1 (find's probe, inlined: the most frequent call)."""
        h = _hash(key) & _HASH_MASK
        tag, mask, view = h >> _TAG_SHIFT, self._mask, self._view
        slot = h & mask
        while True:
            value = view[slot]
            if value == EMPTY:
                return -1
            if value >= 0 and value & TAG_MASK == tag:
                position = value >> TAG_BITS
                if ids[position] == key:
                    return position
            slot = (slot + 1) & mask

    def pop(self, key: Any, ids: List[Optional[str]]) -> int:
        """Removes `key`: its position, or -1 if it was absent."""
        slot = self.find(key, ids)
        if slot < 0:
            return -1
        position = self._view[slot] >> TAG_BITS
        self._view[slot] = GONE
        self._live -= 1
        return position

    def put(self, key: str, position: int, ids: List[Optional[str]]) -> int:
        """Sets `key`'s position (room reserved): its previous position, or -1 if it was absent."""
        h = _hash(key) & _HASH_MASK
        tag, mask, view = h >> _TAG_SHIFT, self._mask, self._view
        slot, free = h & mask, -1
        while True:
            value = view[slot]
            if value == EMPTY:
                break
            if value == GONE:
                if free < 0:
                    free = slot
            elif value & TAG_MASK == tag and ids[value >> TAG_BITS] == key:
                view[slot] = position << TAG_BITS | tag
                return value >> TAG_BITS
            slot = (slot + 1) & mask
        if free < 0:
            free = slot
            self._used += 1
        view[free] = position << TAG_BITS | tag
        self._live += 1
        return -1

    # ------------------------------------------------------------ many ids

    def reserve(self, extra: int, ids: List[Optional[str]]) -> None:
        """Makes room for `extra` more ids, rebuilding the table if needed.

        Slot numbers found before a rebuild are stale after it, so callers
        reserve first, then `lookup`, then `commit`.
        """
        if self._used + extra <= _MAX_LOAD * len(self._slots):
            return
        values = self._slots[self._slots >= 0]
        positions = values >> TAG_BITS
        keys = [ids[p] for p in positions.tolist()]
        table = IdTable(_capacity(self._live + extra))
        table._place(hashes_of(keys), positions)
        self._slots, self._view, self._mask, self._used = table._slots, table._view, table._mask, table._used

    def lookup(self, keys: Sequence[str], hashes: np.ndarray, ids: List[Optional[str]]) -> np.ndarray:
        """The slot of each key (-1 where absent), probing all keys at once."""
        found = np.full(len(keys), -1, np.int64)
        if self._live == 0:
            return found
        slot, tag = self._start(hashes)
        slots, mask = self._slots, self._mask
        pending = np.arange(len(keys))
        while len(pending):
            value = slots[slot[pending]]
            maybe = (value >= 0) & ((value & TAG_MASK) == tag[pending])
            if maybe.any():
                who = pending[maybe]
                stored = _gather(ids, (value[maybe] >> TAG_BITS).tolist())
                same = np.fromiter(map(operator.eq, stored, _gather(keys, who.tolist())), np.bool_, len(who))
                found[who[same]] = slot[who[same]]
            pending = pending[(value != EMPTY) & (found[pending] < 0)]
            slot[pending] = (slot[pending] + 1) & mask
        return found

    def positions_at(self, slots: np.ndarray) -> np.ndarray:
        """The positions held by these slots (found by `lookup`)."""
        return self._slots[slots] >> TAG_BITS

    def commit(self, found: np.ndarray, hashes: np.ndarray, positions: np.ndarray) -> None:
        """Moves the keys found (slot >= 0) to their new positions and places the rest.

        Room must have been reserved, and `found` looked up since.
        """
        present = found >= 0
        tags = (hashes.view(np.uint64) >> np.uint64(_TAG_SHIFT)).astype(np.int64)
        self._slots[found[present]] = positions[present] << TAG_BITS | tags[present]
        absent = ~present
        self._place(hashes[absent], positions[absent])

    def _start(self, hashes: np.ndarray):
        h = hashes.view(np.uint64)
        slot = (h & np.uint64(self._mask)).astype(np.int64)
        tag = (h >> np.uint64(_TAG_SHIFT)).astype(np.int64)
        return slot, tag

    def _place(self, hashes: np.ndarray, positions: np.ndarray) -> None:
        """Places distinct keys known to be absent, a chunk at a time."""
        for first in range(0, len(hashes), _PLACE_CHUNK):
            self._place_chunk(hashes[first : first + _PLACE_CHUNK], positions[first : first + _PLACE_CHUNK])

    def _place_chunk(self, hashes: np.ndarray, positions: np.ndarray) -> None:
        """Places keys all at once: each round, every key whose slot is free
        writes itself there, and of several keys that wrote the same slot
        the one that reads itself back has it; the others, and the keys that
        met a taken slot, move one slot on."""
        slot, tag = self._start(hashes)
        values = np.asarray(positions, np.int64) << TAG_BITS | tag
        slots, mask = self._slots, self._mask
        pending = np.arange(len(values))
        while len(pending):
            at = slot[pending]
            free = slots[at] < 0
            contenders, where = pending[free], at[free]
            was_empty = slots[where] == EMPTY
            slots[where] = values[contenders]
            won = slots[where] == values[contenders]  # values are distinct: one winner per slot
            self._used += int(np.count_nonzero(won & was_empty))
            self._live += int(np.count_nonzero(won))
            pending = np.concatenate([pending[~free], contenders[~won]])
            slot[pending] = (slot[pending] + 1) & mask
