"""Declarative payload filters: checking them, the reference evaluator, and indexes.

The form is plain data, as document and vector databases write it:

    {"b": 7}                             shorthand for {"b": {"$eq": 7}}
    {"y": {"$gte": 2000, "$lt": 2010}}   several operators on a field: all must hold
    {"tag": {"$in": ["a", "b"]}}         also $ne, $gt, $gte, $lt, $lte, $nin, $exists
    {"$or": [{...}, {...}]}              also $and; several keys in one dict mean $and

A field name is a path into the payload: "metadata.year" is
`payload["metadata"]["year"]`. A payload that is not a dict, or a path that
stops at a non-dict, has no such field (it is missing).

Comparisons are Python's on JSON kinds, kept apart: numbers (int and float,
not bool) with numbers, strings with strings. Values of different kinds
never match each other, `$eq` on a list or an object compares it whole, and
NaN equals nothing, not even inside a list. `$ne` and `$nin` are the exact
negations of `$eq` and `$in`, so a missing field or a value of another kind
satisfies them; otherwise a missing field matches only `$exists: False`.

Two evaluators of this one meaning live here. `reference` is the plain one,
a predicate called per payload, kept for differential tests and for callers
that want a callable. `PayloadIndex` answers a filter for all positions at
once, as a boolean array, from per-field indexes that are built on a field's
first use and take in added entries on the next use:
- numbers are sorted by value (positions in sorted runs), which answers
  ranges, equality and `$in` as slices;
- strings and the other kinds (bool, null, lists, objects) go in a
  value -> positions map, with the distinct strings sorted for ranges;
- a kind code per position answers `$exists` and the negations.
"""

from __future__ import annotations

import math
import sys
from array import array
from bisect import bisect_left, bisect_right, insort
from itertools import compress, repeat
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["compile_filter", "reference", "PayloadIndex"]

EQUALITY = ("$eq", "$ne", "$in", "$nin")
RANGES = ("$gt", "$gte", "$lt", "$lte")
OPERATORS = EQUALITY + RANGES + ("$exists",)
GROUPS = ("$and", "$or")

# Every int of smaller magnitude is a float64 exactly, so there numpy's
# float64 comparisons agree with Python's int/float comparisons.
EXACT_INT = 2**53


class _Missing:
    __slots__ = ()

    def __repr__(self) -> str:
        return "MISSING"


MISSING = _Missing()

# ----------------------------------------------------------------- kinds

# Kind codes, per position in an index.
K_MISSING, K_NUMBER, K_STRING, K_OTHER, K_NEVER = 0, 1, 2, 3, 4
# K_OTHER: bool, None, list, dict (equality only). K_NEVER: present, but
# equal to nothing and ordered with nothing (NaN, a list holding a NaN,
# an object json cannot write).


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _kind(value: Any) -> int:
    if value is MISSING:
        return K_MISSING
    if isinstance(value, bool) or value is None:
        return K_OTHER
    if isinstance(value, (int, float)):
        return K_NEVER if value != value else K_NUMBER
    if isinstance(value, str):
        return K_STRING
    if isinstance(value, (list, tuple, dict)):
        return K_OTHER if _key(value) is not None else K_NEVER
    return K_NEVER


_BOOL, _NULL, _LIST, _DICT = "bool", "null", "list", "dict"


def _key(value: Any) -> Any:
    """A hashable key equal for exactly the values that compare equal here, or None if none does.

    Numbers and strings are their own keys (they never equal each other, and
    1 == 1.0 as Python has it); bools are tagged, since True == 1 in Python.
    """
    if isinstance(value, bool):
        return (_BOOL, value)
    if value is None:
        return (_NULL,)
    if isinstance(value, (int, float)):
        return None if value != value else value
    if isinstance(value, str):
        return value
    if isinstance(value, (list, tuple)):
        keys = []
        for item in value:
            key = _key(item)
            if key is None:
                return None
            keys.append(key)
        return (_LIST, tuple(keys))
    if isinstance(value, dict):
        pairs = []
        for name, item in value.items():
            key = _key(item)
            if key is None:
                return None
            pairs.append((name, key))
        return (_DICT, frozenset(pairs))
    return None


# ------------------------------------------------------------- compiling


class Leaf:
    """One condition on one field. `op` is one of OPERATORS, or "range" (bounds merged)."""

    __slots__ = ("field", "path", "op", "operand", "low", "high")

    def __init__(self, field: str, op: str, operand: Any = None) -> None:
        self.field = field
        self.path = tuple(field.split("."))
        self.op = op
        self.operand = operand
        self.low: Optional[Tuple[Any, bool]] = None  # (bound, inclusive), for "range"
        self.high: Optional[Tuple[Any, bool]] = None

    def __repr__(self) -> str:
        if self.op == "range":
            return f"Leaf({self.field!r}, range, {self.low}, {self.high})"
        return f"Leaf({self.field!r}, {self.op}, {self.operand!r})"


class Group:
    __slots__ = ("op", "children")

    def __init__(self, op: str, children: List[Any]) -> None:
        self.op = op  # "$and" or "$or"
        self.children = children

    def __repr__(self) -> str:
        return f"Group({self.op}, {self.children})"


def _json_value(value: Any) -> bool:
    if value is None or isinstance(value, (bool, int, float, str)):
        return True
    if isinstance(value, (list, tuple)):
        return all(_json_value(item) for item in value)
    if isinstance(value, dict):
        return all(isinstance(name, str) and _json_value(item) for name, item in value.items())
    return False


def _bad(field: Optional[str], op: str, problem: str) -> ValueError:
    if field is None:  # a group, or an operator where a field belongs
        return ValueError(f"filter, operator {op!r}: {problem}")
    return ValueError(f"filter on field {field!r}, operator {op!r}: {problem}")


def compile_filter(filter: Any) -> Any:
    """Checks a filter and returns its tree (Leaf and Group nodes).

    Raises ValueError naming the field and the operator for an unknown
    operator, an operand of the wrong type or a malformed group.
    """
    if not isinstance(filter, dict):
        raise ValueError(f"a filter must be a dict, not {type(filter).__name__}")
    return _compile_dict(filter)


def _compile_dict(filter: Dict[Any, Any]) -> Any:
    parts: List[Any] = []
    for name, value in filter.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"a filter's field names are non-empty strings, not {name!r}")
        if name in GROUPS:
            if not isinstance(value, (list, tuple)) or not value:
                got = "an empty list" if isinstance(value, (list, tuple)) else type(value).__name__
                raise _bad(None, name, f"needs a non-empty list of filters, got {got}")
            children = []
            for child in value:
                if not isinstance(child, dict):
                    raise _bad(None, name, f"needs a list of dicts, but holds {type(child).__name__}")
                children.append(_compile_dict(child))
            parts.append(Group(name, children))
        elif name.startswith("$"):
            raise _bad(None, name, "unknown operator" + (f"; operators go inside a field: {{field: {{{name!r}: ...}}}}" if name in OPERATORS else ""))
        else:
            parts.extend(_compile_field(name, value))
    if len(parts) == 1:
        return parts[0]
    return Group("$and", parts)  # no parts at all: $and of nothing, every entry


def _compile_field(field: str, spec: Any) -> List[Leaf]:
    if any(not segment for segment in field.split(".")):
        raise ValueError(f"filter on field {field!r}: a path may not have an empty segment")
    if not isinstance(spec, dict):
        spec = {"$eq": spec}
    elif not spec:
        raise ValueError(f"filter on field {field!r}: no operator (to compare with an object, use $eq)")
    leaves: List[Leaf] = []
    ranges: Dict[str, Leaf] = {}  # range operators on one operand kind merge into one leaf
    for op, operand in spec.items():
        if op not in OPERATORS:
            raise _bad(field, op, "unknown operator" + ("" if str(op).startswith("$") else " (operators start with '$'; to compare with an object, use $eq)"))
        if op in ("$eq", "$ne"):
            if not _json_value(operand):
                raise _bad(field, op, f"needs a JSON value, got {type(operand).__name__}")
            leaves.append(Leaf(field, op, operand))
        elif op in ("$in", "$nin"):
            if not isinstance(operand, (list, tuple)):
                raise _bad(field, op, f"needs a list of values, got {type(operand).__name__}")
            if not _json_value(operand):
                raise _bad(field, op, "needs a list of JSON values")
            leaves.append(Leaf(field, op, list(operand)))
        elif op == "$exists":
            if not isinstance(operand, bool):
                raise _bad(field, op, f"needs True or False, got {operand!r}")
            leaves.append(Leaf(field, op, operand))
        else:
            if not (_is_number(operand) or isinstance(operand, str)):
                raise _bad(field, op, f"needs a number or a string, got {type(operand).__name__}")
            kind = "number" if _is_number(operand) else "string"
            leaf = ranges.get(kind)
            if leaf is None:
                leaf = ranges[kind] = Leaf(field, "range", kind)
                leaves.append(leaf)
            inclusive = op in ("$gte", "$lte")
            if op in ("$gt", "$gte"):
                leaf.low = _tighter(leaf.low, (operand, inclusive), lower=True)
            else:
                leaf.high = _tighter(leaf.high, (operand, inclusive), lower=False)
    return leaves


def _tighter(old: Optional[Tuple[Any, bool]], new: Tuple[Any, bool], lower: bool) -> Tuple[Any, bool]:
    """The stricter of two bounds on the same side (a NaN bound wins: it admits nothing)."""
    if old is None or new[0] != new[0]:
        return new
    if old[0] != old[0]:
        return old
    if new[0] == old[0]:
        return (old[0], old[1] and new[1])
    return new if (new[0] > old[0]) == lower else old


# ------------------------------------------------------- the reference


def _lookup(payload: Any, path: Tuple[str, ...]) -> Any:
    value = payload
    for segment in path:
        if not isinstance(value, dict) or segment not in value:
            return MISSING
        value = value[segment]
    return value


def _equal(a: Any, b: Any) -> bool:
    """Equality on JSON kinds: bool is not a number, NaN equals nothing, lists and objects whole."""
    if isinstance(a, bool) or isinstance(b, bool):
        return isinstance(a, bool) and isinstance(b, bool) and a == b
    if a is None or b is None:
        return a is None and b is None
    if _is_number(a) or _is_number(b):
        return _is_number(a) and _is_number(b) and a == b
    if isinstance(a, str) or isinstance(b, str):
        return isinstance(a, str) and isinstance(b, str) and a == b
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_equal(a[name], b[name]) for name in a)
    return False


def _comparable(value: Any, kind: str) -> bool:
    return _is_number(value) if kind == "number" else isinstance(value, str)


def _satisfies(value: Any, op: str, operand: Any) -> bool:
    """Whether one field value (MISSING if absent) satisfies one operator, as written."""
    if op == "$exists":
        return (value is not MISSING) == operand
    if op == "$eq":
        return value is not MISSING and _equal(value, operand)
    if op == "$ne":
        return not _satisfies(value, "$eq", operand)
    if op == "$in":
        return any(_satisfies(value, "$eq", item) for item in operand)
    if op == "$nin":
        return not _satisfies(value, "$in", operand)
    kind = "number" if _is_number(operand) else "string"
    if value is MISSING or not _comparable(value, kind):
        return False
    if op == "$gt":
        return value > operand
    if op == "$gte":
        return value >= operand
    if op == "$lt":
        return value < operand
    return value <= operand


def _evaluate(filter: Dict[str, Any], payload: Any) -> bool:
    """The filter as written (already checked), on one payload: no merged bounds, no indexes."""
    for name, spec in filter.items():
        if name == "$and":
            ok = all(_evaluate(child, payload) for child in spec)
        elif name == "$or":
            ok = any(_evaluate(child, payload) for child in spec)
        else:
            value = _lookup(payload, tuple(name.split(".")))
            operators = spec if isinstance(spec, dict) else {"$eq": spec}
            ok = all(_satisfies(value, op, operand) for op, operand in operators.items())
        if not ok:
            return False
    return True


def reference(filter: Any) -> Callable[[str, Any], bool]:
    """The filter as a callable `filter(id, payload) -> bool`, evaluated per payload.

    The same meaning as the indexed path, evaluated one payload at a time
    from the filter as written; it is checked (ValueError) when this is
    called, not on first use.
    """
    compile_filter(filter)
    return lambda _id, payload: _evaluate(filter, payload)


# ------------------------------------------------------------ the index


def _values(payloads: Sequence[Any], path: Tuple[str, ...], start: int, stop: int) -> List[Any]:
    """The field's value at each position in [start, stop), MISSING where absent."""
    chunk = payloads[start:stop]
    if len(path) == 1:
        name = path[0]
        try:
            return [p.get(name, MISSING) for p in chunk]  # every payload a dict: the common case
        except AttributeError:
            pass
    return [_lookup(p, path) for p in chunk]


class _Grow:
    """A numpy array appended to in chunks, with room to grow (doubling)."""

    __slots__ = ("data", "size")

    def __init__(self, dtype: Any) -> None:
        self.data = np.empty(16, dtype)
        self.size = 0

    def extend(self, values: Any) -> None:
        need = self.size + len(values)
        if need > len(self.data):
            bigger = np.empty(max(need, 2 * len(self.data)), self.data.dtype)
            bigger[: self.size] = self.data[: self.size]
            self.data = bigger
        self.data[self.size : need] = values
        self.size = need

    def view(self) -> np.ndarray:
        return self.data[: self.size]

    def keep(self, values: np.ndarray) -> None:
        self.data = np.array(values, self.data.dtype)
        self.size = len(values)


def _float_key(value: Any) -> float:
    try:
        return float(value)
    except OverflowError:  # an int beyond the doubles: it orders as an infinity would
        return math.inf if value > 0 else -math.inf


class _Run:
    """Some positions holding numbers, sorted by value: `keys[i]` is the float64 of `order[i]`'s number.

    Rounding to float64 is monotonic, so a key below (above) a bound's key
    means a value below (above) the bound: only entries whose key equals a
    bound's key can be on either side. Where every value is its key (floats,
    and ints under 2**53 in magnitude) even those are decided by comparing
    the key with the bound once; otherwise (`lossy`) each such entry's own
    value is compared, exactly as Python compares numbers.
    """

    __slots__ = ("keys", "order", "lossy")

    def __init__(self, keys: np.ndarray, order: np.ndarray, lossy: bool) -> None:
        self.keys, self.order, self.lossy = keys, order, lossy

    @classmethod
    def of(cls, positions: np.ndarray, values: List[Any]) -> "_Run":
        try:
            keys = np.array(values, np.float64)
        except OverflowError:
            keys = np.array([_float_key(v) for v in values], np.float64)
        lossy = False
        if len(keys) and not np.abs(keys).max() < EXACT_INT:
            big = np.flatnonzero(np.abs(keys) >= EXACT_INT).tolist()
            lossy = any(not isinstance(values[i], float) for i in big)
        by_key = np.argsort(keys, kind="stable")  # equal keys stay in position order
        return cls(keys[by_key], positions[by_key], lossy)

    def merged(self, newer: "_Run") -> "_Run":
        # Two sorted runs: the stable sort merges them in linear time, and the
        # newer positions, all larger, stay after the older among equal keys.
        keys = np.concatenate([self.keys, newer.keys])
        by_key = np.argsort(keys, kind="stable")
        return _Run(keys[by_key], np.concatenate([self.order, newer.order])[by_key], self.lossy or newer.lossy)

    def select(self, mask: np.ndarray, low: Any, high: Any, value_at: Callable[[int], Any]) -> None:
        """Sets mask[p] for the positions p whose number lies within the bounds ((value, inclusive) or None)."""
        keys, n = self.keys, len(self.keys)
        first, last = 0, n  # keys strictly inside both bounds' keys: sure
        edges = []
        for bound, is_low in ((low, True), (high, False)):
            if bound is None:
                continue
            key = _float_key(bound[0])
            a = int(np.searchsorted(keys, key, "left"))
            b = int(np.searchsorted(keys, key, "right"))
            if is_low:
                first = max(first, b)
            else:
                last = min(last, a)
            if a < b and (a, b) not in edges:
                edges.append((a, b))
        if first < last:
            mask[self.order[first:last]] = True
        for a, b in edges:
            if self.lossy:
                for position in self.order[a:b].tolist():
                    value = value_at(position)  # MISSING for a tombstone: never within
                    if _is_number(value) and _within(value, low, high):
                        mask[position] = True
            elif _within(float(keys[a]), low, high):  # every entry here holds exactly this value
                mask[self.order[a:b]] = True

    def select_keys(self, mask: np.ndarray, keys: np.ndarray) -> None:
        """Sets mask[p] for the positions whose key is one of `keys` (sorted, distinct)."""
        starts = np.searchsorted(self.keys, keys, "left")
        stops = np.searchsorted(self.keys, keys, "right")
        found = starts < stops
        if not found.any():
            return
        starts, stops = starts[found], stops[found]
        if len(starts) == 1:
            mask[self.order[starts[0] : stops[0]]] = True
            return
        # The runs of equal keys, gathered into one index array: each run's
        # indices are its start plus 0, 1, ... (the runs are disjoint).
        lengths = stops - starts
        shift = np.repeat(starts - (np.cumsum(lengths) - lengths), lengths)
        mask[self.order[np.arange(len(shift)) + shift]] = True

    def remap(self, new: np.ndarray) -> "_Run":
        order = new[self.order]
        keep = order >= 0
        return _Run(self.keys[keep], order[keep], self.lossy)

    def nbytes(self) -> int:
        return self.keys.nbytes + self.order.nbytes


def _within(value: Any, low: Any, high: Any) -> bool:
    if low is not None and not (value >= low[0] if low[1] else value > low[0]):
        return False
    if high is not None and not (value <= high[0] if high[1] else value < high[0]):
        return False
    return True


class _Field:
    """The index of one field over positions [0, upto).

    Numbers live in sorted runs; each catch-up sorts the new entries into a
    run of their own and merges runs like a binary counter (a run absorbs
    the next newer one while that is at least half its size), so a run
    count stays logarithmic and each entry is merged a logarithmic number of
    times, in linear merges. Strings and the other kinds are grouped by
    value (a position array per value, appended to), with the distinct
    strings kept sorted for ranges. A kind code per position answers
    `$exists` and the negations. Nothing is rebuilt when entries are added.
    """

    def __init__(self, path: Tuple[str, ...]) -> None:
        self.path = path
        self.upto = 0
        self.kinds = _Grow(np.uint8)
        self.runs: List[_Run] = []
        # Strings, and the keys of the other kinds, to their positions. An
        # array('q') takes a batch's positions in one cheap extend; queries
        # read it through a numpy view that they drop before returning.
        self.groups: Dict[Any, array] = {}
        self.strings: List[str] = []  # the distinct strings, sorted

    def catch_up(self, payloads: Sequence[Any], count: int) -> None:
        if count <= self.upto:
            return
        start = self.upto
        values = _values(payloads, self.path, start, count)
        kinds = np.fromiter(map(_KIND_OF_TYPE.get, map(type, values), repeat(K_UNSURE)), np.uint8, len(values))
        for i in np.flatnonzero(kinds == K_UNSURE).tolist():
            kinds[i] = _kind(values[i])
        numbers = kinds == K_NUMBER
        if numbers.any():
            at = np.flatnonzero(numbers)
            run = _Run.of(at + start, list(compress(values, numbers.tolist())))
            nan = np.isnan(run.keys)  # NaN: equal to nothing, ordered with nothing
            if nan.any():
                kinds[run.order[nan] - start] = K_NEVER
                run = _Run(run.keys[~nan], run.order[~nan], run.lossy)
            self._push(run)
        grouped = np.flatnonzero((kinds == K_STRING) | (kinds == K_OTHER))
        if len(grouped):
            # Number the distinct keys in one pass, then hand each key its
            # positions as one slice of the positions sorted by number.
            keys = list(compress(values, np.isin(kinds, (K_STRING, K_OTHER)).tolist()))
            if set(map(type, keys)) != {str}:
                keys = [v if v.__class__ is str else _key(v) for v in keys]
            code_of = {key: code for code, key in enumerate(dict.fromkeys(keys))}
            codes = np.fromiter(map(code_of.__getitem__, keys), np.int64, len(keys))
            by_code = (grouped[np.argsort(codes, kind="stable")] + start).tobytes()
            ends = np.cumsum(np.bincount(codes, minlength=len(code_of))).tolist()
            new_strings = []
            begin = 0
            for key, end in zip(code_of, ends):
                group = self.groups.get(key)
                if group is None:
                    group = self.groups[key] = array("q")
                    if isinstance(key, str):
                        new_strings.append(key)
                group.frombytes(by_code[8 * begin : 8 * end])
                begin = end
            if new_strings:
                if len(new_strings) > 64:
                    self.strings = sorted(self.strings + new_strings)
                else:
                    for string in new_strings:
                        insort(self.strings, string)
        self.kinds.extend(kinds)
        self.upto = count

    def _push(self, run: _Run) -> None:
        runs = self.runs
        runs.append(run)
        while len(runs) > 1 and 2 * len(runs[-1].keys) >= len(runs[-2].keys):
            newer = runs.pop()
            runs[-1] = runs[-1].merged(newer)

    def compacted(self, new: np.ndarray) -> None:
        """Positions renumbered: `new[old]` is the new position, -1 if dropped."""
        kept = new[: self.upto] >= 0
        self.kinds.keep(self.kinds.view()[kept])
        self.upto = int(np.count_nonzero(kept))
        runs = [run.remap(new) for run in self.runs]
        self.runs = []
        for run in runs:
            if len(run.keys):
                self._push(run)
        for key, group in list(self.groups.items()):
            moved = new[np.frombuffer(group, np.int64)]
            moved = moved[moved >= 0]
            if len(moved):
                self.groups[key] = array("q", moved.tobytes())
            else:
                del self.groups[key]
        self.strings = [string for string in self.strings if string in self.groups]

    def leaf(self, leaf: Leaf, n: int, payloads: Sequence[Any]) -> np.ndarray:
        """The boolean mask over n positions (n == upto) of the positions satisfying `leaf`."""
        op = leaf.op
        if op == "$exists":
            present = self.kinds.view() != K_MISSING
            return present if leaf.operand else ~present
        mask = np.zeros(n, np.bool_)
        if op in ("$eq", "$ne", "$in", "$nin"):
            self._equal(mask, [leaf.operand] if op in ("$eq", "$ne") else leaf.operand, payloads)
            return ~mask if op in ("$ne", "$nin") else mask
        if leaf.operand == "number":
            self._numbers(mask, leaf.low, leaf.high, payloads)
        else:
            strings = self.strings
            low, high = leaf.low, leaf.high
            lo = 0 if low is None else (bisect_left if low[1] else bisect_right)(strings, low[0])
            hi = len(strings) if high is None else (bisect_right if high[1] else bisect_left)(strings, high[0])
            if lo < hi:
                for string in strings[lo:hi]:
                    mask[np.frombuffer(self.groups[string], np.int64)] = True
        return mask

    def _numbers(self, mask: np.ndarray, low: Any, high: Any, payloads: Sequence[Any]) -> None:
        if (low is not None and low[0] != low[0]) or (high is not None and high[0] != high[0]):
            return  # a NaN bound: no comparison holds
        value_at = lambda position: _lookup(payloads[position], self.path)
        for run in self.runs:
            run.select(mask, low, high, value_at)

    def _equal(self, mask: np.ndarray, operands: List[Any], payloads: Sequence[Any]) -> None:
        """Sets mask[p] where p's value equals one of `operands`."""
        is_number = [_is_number(v) for v in operands]
        numbers = [v for v, number in zip(operands, is_number) if number and v == v]
        if numbers:
            keys = np.unique(np.array([_float_key(v) for v in numbers], np.float64))
            exact = all(_float_key(v) == v for v in numbers)
            for run in self.runs:
                if exact and not run.lossy:
                    run.select_keys(mask, keys)  # every key is its value: one pass for all of them
                else:
                    for v in numbers:
                        run.select(mask, (v, True), (v, True), lambda p: _lookup(payloads[p], self.path))
        groups = []
        for operand, number in zip(operands, is_number):
            if not number:
                key = _key(operand)
                group = self.groups.get(key) if key is not None else None
                if group is not None:
                    groups.append(np.frombuffer(group, np.int64))
        if groups:
            mask[groups[0] if len(groups) == 1 else np.concatenate(groups)] = True

    def nbytes(self) -> int:
        total = self.kinds.data.nbytes + sum(run.nbytes() for run in self.runs)
        total += sum(sys.getsizeof(group) + sys.getsizeof(key) for key, group in self.groups.items())
        return total + sys.getsizeof(self.strings)


# Kinds by exact type, for the common payload values; anything else (a
# subclass, a list, an object) is judged by _kind. NaN floats are found after.
K_UNSURE = 255
_KIND_OF_TYPE = {int: K_NUMBER, float: K_NUMBER, str: K_STRING, bool: K_OTHER, type(None): K_OTHER, _Missing: K_MISSING}


class PayloadIndex:
    """Answers compiled filters over a collection's positions, from lazily built field indexes.

    The collection hands over its payloads (one per position, tombstones
    included) and the count of positions in use with every query. Entries
    appended since the last query are picked up then. Deletes and overwrites
    need nothing here: they leave tombstones, which the caller masks out with
    its live positions, and a tombstone's payload is never read again.
    Compaction renumbers positions and must be reported with `compacted`.
    """

    def __init__(self) -> None:
        self._fields: Dict[Tuple[str, ...], _Field] = {}

    def mask(self, tree: Any, payloads: Sequence[Any], count: int) -> np.ndarray:
        """A boolean array over positions [0, count): True where the payload satisfies `tree`.

        Tombstones' bits are meaningless; the caller ANDs the live positions in.
        """
        return self._node(tree, payloads, count)

    def _node(self, node: Any, payloads: Sequence[Any], count: int) -> np.ndarray:
        if isinstance(node, Leaf):
            field = self._fields.get(node.path)
            if field is None:
                field = self._fields[node.path] = _Field(node.path)
            field.catch_up(payloads, count)
            return field.leaf(node, count, payloads)
        if not node.children:
            return np.ones(count, np.bool_)
        masks = iter(self._node(child, payloads, count) for child in node.children)
        result = next(masks)
        combine = np.logical_and if node.op == "$and" else np.logical_or
        for mask in masks:
            combine(result, mask, out=result)
        return result

    def compacted(self, kept: np.ndarray, count: int) -> None:
        """The positions `kept` (ascending, of `count` in use) became 0, 1, ...; the rest are gone."""
        new = np.full(count, -1, np.int64)
        new[kept] = np.arange(len(kept), dtype=np.int64)
        for field in self._fields.values():
            field.compacted(new)

    def clear(self) -> None:
        self._fields.clear()

    @property
    def fields(self) -> List[str]:
        """The indexed fields, as dotted paths."""
        return [".".join(path) for path in self._fields]

    def nbytes(self) -> int:
        """The memory the indexes hold, in bytes (arrays, and the distinct values and strings they keep)."""
        return sum(field.nbytes() for field in self._fields.values())


def mask_bytes(mask: np.ndarray) -> bytes:
    """A boolean array as the store's allow mask: bit i % 8 of byte i // 8 is position i."""
    return np.packbits(mask, bitorder="little").tobytes()
