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
first use:
- a field's values are split by kind; numbers and strings each get a sorted
  column (positions ordered by value, with the distinct values and where each
  one's run starts), which answers equality, `$in` and ranges as slices;
- the other kinds (bool, null, lists, objects) go in a value -> positions map;
- a kind code per position answers `$exists` and the negations.
"""

from __future__ import annotations

import sys
from bisect import bisect_left, bisect_right
from itertools import compress, repeat
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["compile_filter", "reference", "PayloadIndex"]

EQUALITY = ("$eq", "$ne", "$in", "$nin")
RANGES = ("$gt", "$gte", "$lt", "$lte")
OPERATORS = EQUALITY + RANGES + ("$exists",)
GROUPS = ("$and", "$or")

# The largest magnitude up to which every integer is a float64 exactly, so
# numpy's float64 comparisons agree with Python's int/float comparisons.
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
    where = f"field {field!r}" if field is not None else "the filter"
    return ValueError(f"filter on {where}, operator {op!r}: {problem}")


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
                raise _bad(None, name, f"needs a non-empty list of filters, got {value!r}")
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


def leaf_matches(leaf: Leaf, value: Any) -> bool:
    """Whether one field value (MISSING if absent) satisfies one compiled condition."""
    op = leaf.op
    if op == "$exists":
        return (value is not MISSING) == leaf.operand
    if op == "$eq":
        return value is not MISSING and _equal(value, leaf.operand)
    if op == "$ne":
        return not (value is not MISSING and _equal(value, leaf.operand))
    if op == "$in":
        return value is not MISSING and any(_equal(value, item) for item in leaf.operand)
    if op == "$nin":
        return not (value is not MISSING and any(_equal(value, item) for item in leaf.operand))
    # a range: Python's comparisons, within the operand's kind
    if value is MISSING or not _comparable(value, leaf.operand):
        return False
    if leaf.low is not None and not (value >= leaf.low[0] if leaf.low[1] else value > leaf.low[0]):
        return False
    if leaf.high is not None and not (value <= leaf.high[0] if leaf.high[1] else value < leaf.high[0]):
        return False
    return True


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


class _Sorted:
    """Positions ordered by value, for one kind: the runs of equal values are slices of `order`.

    `values` are the distinct values ascending (Python objects, compared by
    Python, so ints beyond 2**53 and floats order exactly); the positions
    holding `values[i]` are `order[starts[i]:starts[i + 1]]`.
    """

    __slots__ = ("values", "order", "starts")

    def __init__(self, positions: np.ndarray, values: List[Any], column: Optional[np.ndarray] = None) -> None:
        """`column`: the values as float64, where that holds them exactly (see _float_column)."""
        if column is not None:
            # One stable sort: equal values keep position order, and a run
            # starts wherever the sorted value changes (-0.0 equals 0.0).
            by_value = np.argsort(column, kind="stable")
            ordered = column[by_value]
            change = np.empty(len(ordered), np.bool_)
            change[:1] = True
            np.not_equal(ordered[1:], ordered[:-1], out=change[1:])
            firsts = np.flatnonzero(change)
            self.values = ordered[firsts].tolist()
            self.order = positions[by_value]
            self.starts = np.append(firsts, len(ordered)).astype(np.int64)
            return
        # Group through a dict (Python's equality: 1 and 1.0 are one value),
        # and sort the distinct values with Python's comparisons.
        code_of: Dict[Any, int] = {}
        first = np.fromiter((code_of.setdefault(v, len(code_of)) for v in values), np.int64, len(values))
        distinct = list(code_of)
        ranked = sorted(range(len(distinct)), key=distinct.__getitem__)
        rank = np.empty(len(ranked), np.int64)
        rank[ranked] = np.arange(len(ranked))
        codes = rank[first] if len(first) else first
        self.values = [distinct[i] for i in ranked]
        self.order = positions[np.argsort(codes, kind="stable")]
        self.starts = np.zeros(len(self.values) + 1, np.int64)
        np.cumsum(np.bincount(codes, minlength=len(self.values)), out=self.starts[1:])

    def equal(self, value: Any) -> np.ndarray:
        i = bisect_left(self.values, value)
        if i < len(self.values) and self.values[i] == value:
            return self.order[self.starts[i] : self.starts[i + 1]]
        return self.order[:0]

    def between(self, low: Optional[Tuple[Any, bool]], high: Optional[Tuple[Any, bool]]) -> np.ndarray:
        values = self.values
        if (low is not None and low[0] != low[0]) or (high is not None and high[0] != high[0]):
            return self.order[:0]  # a NaN bound: no comparison holds
        lo = 0 if low is None else (bisect_left if low[1] else bisect_right)(values, low[0])
        hi = len(values) if high is None else (bisect_right if high[1] else bisect_left)(values, high[0])
        if lo >= hi:
            return self.order[:0]
        return self.order[self.starts[lo] : self.starts[hi]]

    def remap(self, new: np.ndarray) -> None:
        order = new[self.order]
        keep = order >= 0
        kept = np.zeros(len(order) + 1, np.int64)
        np.cumsum(keep, out=kept[1:])
        self.starts = kept[self.starts]
        self.order = order[keep]

    def nbytes(self) -> int:
        return self.order.nbytes + self.starts.nbytes + _list_bytes(self.values)


def _float_column(values: List[Any]) -> Optional[np.ndarray]:
    """The numbers as float64 if that holds each exactly, so numpy orders them as Python does; else None.

    Floats are exact by definition. An int whose double is below 2**53 in
    magnitude is exact too, since rounding is monotonic: only ints from
    2**53 on can round.
    """
    try:
        column = np.array(values, np.float64)
    except (OverflowError, TypeError, ValueError):
        return None
    if len(column) and not np.abs(column).max() < EXACT_INT:
        if any(not isinstance(v, float) and abs(v) >= EXACT_INT for v in values):
            return None
    return column


def _list_bytes(items: List[Any]) -> int:
    return sys.getsizeof(items) + sum(sys.getsizeof(item) for item in items)


class _Field:
    """The index of one field over positions [0, built), and its unindexed tail up to `upto`.

    Entries added since the build are kept as a tail of raw values, tested
    one by one; the tail is folded into a rebuild once it outgrows a fraction
    of the built part, so its cost per query stays a small share of the
    index's, and each entry is rebuilt a bounded number of times.
    """

    def __init__(self, path: Tuple[str, ...]) -> None:
        self.path = path
        self.built = 0
        self.kinds = np.zeros(0, np.uint8)
        nothing = np.zeros(0, np.int64)
        self.numbers = _Sorted(nothing, [])
        self.strings = _Sorted(nothing, [])
        self.others: Dict[Any, np.ndarray] = {}
        self.tail: List[Any] = []  # values of positions [built, built + len(tail))

    @property
    def upto(self) -> int:
        return self.built + len(self.tail)

    def catch_up(self, payloads: Sequence[Any], count: int) -> None:
        if count <= self.upto:
            return
        if not self.built or count - self.built > max(TAIL_MIN, self.built // TAIL_FRACTION):
            self.build(payloads, count)
        else:
            self.tail.extend(_values(payloads, self.path, self.upto, count))

    def build(self, payloads: Sequence[Any], count: int) -> None:
        values = _values(payloads, self.path, 0, count)
        kinds = np.fromiter(map(_KIND_OF_TYPE.get, map(type, values), repeat(K_UNSURE)), np.uint8, count)
        for p in np.flatnonzero(kinds == K_UNSURE).tolist():
            kinds[p] = _kind(values[p])
        positions = np.arange(count, dtype=np.int64)
        numbers = kinds == K_NUMBER
        number_values = list(compress(values, numbers.tolist()))
        column = _float_column(number_values)
        if column is not None:
            nan = np.isnan(column)
        else:
            nan = np.fromiter((v != v for v in number_values), np.bool_, len(number_values))
        if nan.any():  # NaN: equal to nothing, ordered with nothing
            kinds[np.flatnonzero(numbers)[nan]] = K_NEVER
            numbers = kinds == K_NUMBER
            number_values = list(compress(number_values, (~nan).tolist()))
            column = None if column is None else column[~nan]
        strings = kinds == K_STRING
        self.numbers = _Sorted(positions[numbers], number_values, column)
        self.strings = _Sorted(positions[strings], list(compress(values, strings.tolist())))
        groups: Dict[Any, List[int]] = {}
        for p in np.flatnonzero(kinds == K_OTHER).tolist():
            groups.setdefault(_key(values[p]), []).append(p)
        self.others = {key: np.array(members, np.int64) for key, members in groups.items()}
        self.kinds = kinds
        self.built = count
        self.tail = []

    def compacted(self, new: np.ndarray) -> None:
        """Positions renumbered: `new[old]` is the new position, -1 if dropped."""
        old_kinds, old_built = self.kinds, self.built
        self.kinds = old_kinds[new[:old_built] >= 0]
        self.numbers.remap(new)
        self.strings.remap(new)
        for key, members in list(self.others.items()):
            moved = new[members]
            self.others[key] = moved[moved >= 0]
        tail_new = new[old_built : self.upto]
        self.tail = [value for value, at in zip(self.tail, tail_new.tolist()) if at >= 0]
        self.built = len(self.kinds)

    def leaf(self, leaf: Leaf, n: int) -> np.ndarray:
        """The boolean mask over n positions (n == upto) of the positions satisfying `leaf`."""
        op = leaf.op
        if op == "$exists":
            present = np.empty(n, np.bool_)
            present[: self.built] = self.kinds != K_MISSING
            present[self.built :] = [value is not MISSING for value in self.tail]
            return present if leaf.operand else ~present
        mask = np.zeros(n, np.bool_)
        if op in ("$eq", "$ne", "$in", "$nin"):
            operands = [leaf.operand] if op in ("$eq", "$ne") else leaf.operand
            for operand in operands:
                mask[self._equal(operand)] = True
        else:
            column = self.numbers if leaf.operand == "number" else self.strings
            mask[column.between(leaf.low, leaf.high)] = True
        if self.tail:
            test = leaf if op not in ("$ne", "$nin") else Leaf(leaf.field, "$eq" if op == "$ne" else "$in", leaf.operand)
            mask[self.built :] = [leaf_matches(test, value) for value in self.tail]
        return ~mask if op in ("$ne", "$nin") else mask

    def _equal(self, operand: Any) -> np.ndarray:
        if _is_number(operand):
            return self.numbers.equal(operand) if operand == operand else self.numbers.order[:0]
        if isinstance(operand, str):
            return self.strings.equal(operand)
        key = _key(operand)
        members = self.others.get(key) if key is not None else None
        return members if members is not None else self.numbers.order[:0]

    def nbytes(self) -> int:
        total = self.kinds.nbytes + _list_bytes(self.tail) + self.numbers.nbytes() + self.strings.nbytes()
        total += sum(members.nbytes + sys.getsizeof(key) for key, members in self.others.items())
        return total


# Kinds by exact type, for the common payload values; anything else (a
# subclass, a list, an object) is judged by _kind. NaN floats are found after.
K_UNSURE = 255
_KIND_OF_TYPE = {int: K_NUMBER, float: K_NUMBER, str: K_STRING, bool: K_OTHER, type(None): K_OTHER, _Missing: K_MISSING}


# The tail of entries added since a field's build is tested entry by entry
# until it exceeds TAIL_MIN entries and 1/TAIL_FRACTION of the built part;
# then the field is rebuilt. A rebuild costs about as much per entry as
# testing one tail entry for one query, so the tail costs a query at most
# 1/TAIL_FRACTION of a rebuild, and an entry is rebuilt about TAIL_FRACTION
# times over a doubling of the collection.
TAIL_MIN = 1024
TAIL_FRACTION = 8


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
            return field.leaf(node, count)
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
        """The memory the indexes hold, in bytes (arrays, and the distinct values and tails they keep)."""
        return sum(field.nbytes() for field in self._fields.values())


def mask_bytes(mask: np.ndarray) -> bytes:
    """A boolean array as the store's allow mask: bit i % 8 of byte i // 8 is position i."""
    return np.packbits(mask, bitorder="little").tobytes()
