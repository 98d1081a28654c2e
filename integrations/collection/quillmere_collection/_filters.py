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
once, as a boolean array, from per-field columns that are built on a
field's first use and take in added entries on the next use:
- a kind code per position answers `$exists`;
- the float64 of each number (NaN elsewhere) answers ranges on numbers by
  comparing the column with the bounds, exactly (see `_Field`), and
  equality on a few numbers while the field has no codes;
- a code per position naming its value answers `$eq`, `$in`, their
  negations and string ranges, by one gather from a table of wanted codes.
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


_SCALARS = {int, float, str, bool, type(None)}


def _json_value(value: Any) -> bool:
    if value is None or isinstance(value, (bool, int, float, str)):
        return True
    if isinstance(value, (list, tuple)):
        if set(map(type, value)) <= _SCALARS:  # a flat list (a long $in): one pass in C
            return True
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

    def widen(self, dtype: Any) -> None:
        self.data = self.data.astype(dtype)


def _float_key(value: Any) -> float:
    try:
        return float(value)
    except OverflowError:  # an int beyond the doubles: it orders as an infinity would
        return math.inf if value > 0 else -math.inf


def _float_keys(numbers: List[Any]) -> np.ndarray:
    try:
        return np.array(numbers, np.float64)
    except OverflowError:
        return np.array([_float_key(v) for v in numbers], np.float64)


def _within(value: Any, low: Any, high: Any) -> bool:
    if low is not None and not (value >= low[0] if low[1] else value > low[0]):
        return False
    if high is not None and not (value <= high[0] if high[1] else value < high[0]):
        return False
    return True


# Kinds by exact type, for the common payload values; anything else (a
# subclass, a list, an object) is judged by _kind. NaN floats are found after.
K_UNSURE = 255
_KIND_OF_TYPE = {int: K_NUMBER, float: K_NUMBER, str: K_STRING, bool: K_OTHER, type(None): K_OTHER, _Missing: K_MISSING}
_PLAIN_OPERANDS = {int, float, str}  # types whose values are their own keys (a NaN float finds no code)
_CODE_TYPES = (np.uint8, np.uint16, np.uint32)
_NUMBER_TYPES = {int, float}
_STRING_TYPE = {str}


class _Chunk:
    """What one pass over positions [start, stop) of a field finds: values, kinds, numbers' float64 keys."""

    __slots__ = ("start", "values", "kinds", "number_at", "keys")

    def __init__(self, payloads: Sequence[Any], path: Tuple[str, ...], start: int, stop: int) -> None:
        self.start = start
        values = self.values = _values(payloads, path, start, stop)
        types = set(map(type, values))
        if types <= _NUMBER_TYPES:  # a field of numbers only, or of strings only: no per-value kinds
            kinds = np.full(len(values), K_NUMBER, np.uint8)
            number_at, numbers = np.arange(len(values)), values
        elif types == _STRING_TYPE:
            kinds = np.full(len(values), K_STRING, np.uint8)
            number_at, numbers = np.arange(0), []
        else:
            kinds = np.fromiter(map(_KIND_OF_TYPE.get, map(type, values), repeat(K_UNSURE)), np.uint8, len(values))
            for i in np.flatnonzero(kinds == K_UNSURE).tolist():
                kinds[i] = _kind(values[i])
            number_at = np.flatnonzero(kinds == K_NUMBER)
            numbers = list(compress(values, (kinds == K_NUMBER).tolist()))
        keys = _float_keys(numbers)
        nan = np.isnan(keys)  # NaN: equal to nothing, ordered with nothing
        if nan.any():
            kinds[number_at[nan]] = K_NEVER
            number_at, keys = number_at[~nan], keys[~nan]
        self.kinds, self.number_at, self.keys = kinds, number_at, keys


class _Field:
    """The index of one field: columns over positions [0, upto), each a vectorised answer to some operators.

    - `kinds`, a kind code per position: `$exists`. Always kept.
    - `numbers`, the float64 of each position's number (NaN for the other
      kinds): ranges, by comparing the column with the bounds. Rounding to
      float64 is monotonic, so a value whose key lies above (below) a
      bound's key lies above (below) the bound; where the keys are equal
      the bound's own exact comparison with its key decides, the same for
      every such value that is its key. The few positions whose int is not
      its key (beyond 2**53) are `lossy` and compared exactly, one by one.
      Equality on a few numbers is answered here too, while `codes` is not
      built (`FEW_NUMBERS`).
    - `codes`, a small int per position naming its value's `_key` (0: none,
      for a missing value or one equal to nothing): `$eq`, `$in` and their
      negations, as one gather from a table of the wanted codes. Keys are
      exact (2**53 + 1 and 2**53 are different ints), so nothing is lossy
      here. The distinct strings are kept sorted for string ranges.

    `numbers` and `codes` are built on their first use (a field filtered
    only by ranges never keeps codes), then kept up to date with `kinds`:
    each query on the field first takes in the positions added since.
    """

    def __init__(self, path: Tuple[str, ...]) -> None:
        self.path = path
        self.kinds = _Grow(np.uint8)
        self.numbers: Optional[_Grow] = None
        self.lossy = np.empty(0, np.int64)  # positions whose number is not its float64 key
        self.lossy_values: List[Any] = []  # their numbers
        self.codes: Optional[_Grow] = None
        self.code_of: Dict[Any, int] = {}  # key -> code, from 1
        self.strings: List[str] = []  # the distinct strings among the keys, sorted

    @property
    def upto(self) -> int:
        return self.kinds.size

    def catch_up(self, payloads: Sequence[Any], count: int, numbers: bool = False, codes: bool = False) -> None:
        """Takes in positions [upto, count), and builds the `numbers` or `codes` column if asked and not yet there."""
        if numbers and self.numbers is None:
            self.numbers = _Grow(np.float64)
            if self.upto:
                self._add_numbers(_Chunk(payloads, self.path, 0, self.upto))
        if codes and self.codes is None:
            self.codes = _Grow(np.uint8)
            if self.upto:
                self._add_codes(_Chunk(payloads, self.path, 0, self.upto))
        if count <= self.upto:
            return
        chunk = _Chunk(payloads, self.path, self.upto, count)
        if self.numbers is not None:
            self._add_numbers(chunk)
        if self.codes is not None:
            self._add_codes(chunk)
        self.kinds.extend(chunk.kinds)

    def _add_numbers(self, chunk: _Chunk) -> None:
        column = np.full(len(chunk.values), np.nan)
        column[chunk.number_at] = chunk.keys
        self.numbers.extend(column)
        big = np.flatnonzero(~(np.abs(chunk.keys) < EXACT_INT))
        if len(big):
            values = [chunk.values[i] for i in chunk.number_at[big].tolist()]
            # A float is its key; an int beyond 2**53 may not be (nor one beyond the doubles).
            inexact = [i for i, v in enumerate(values) if not isinstance(v, float) and _float_key(v) != v]
            if inexact:
                self.lossy = np.concatenate([self.lossy, chunk.number_at[big[inexact]] + chunk.start])
                self.lossy_values.extend(values[i] for i in inexact)

    def _add_codes(self, chunk: _Chunk) -> None:
        kinds = chunk.kinds
        coded = (kinds == K_NUMBER) | (kinds == K_STRING) | (kinds == K_OTHER)
        at = np.flatnonzero(coded)
        column = np.zeros(len(kinds), np.uint32)
        if len(at):
            keys = chunk.values if len(at) == len(kinds) else list(compress(chunk.values, coded.tolist()))
            if not set(map(type, keys)) <= _PLAIN_OPERANDS:  # ints, floats (not NaN here) and strings are their keys
                keys = [v if v.__class__ in _PLAIN_OPERANDS else _key(v) for v in keys]
            code_of = self.code_of
            found = np.fromiter(map(code_of.get, keys, repeat(0)), np.uint32, len(keys))
            if not found.all():
                # Number the new keys (a loop over distinct new keys only), then look all up again.
                fresh = dict.fromkeys(compress(keys, (found == 0).tolist()))
                strings = []
                for key in fresh:
                    code_of[key] = len(code_of) + 1
                    if isinstance(key, str):
                        strings.append(key)
                found = np.fromiter(map(code_of.__getitem__, keys), np.uint32, len(keys))
                if strings:
                    if len(strings) > 64:
                        self.strings = sorted(self.strings + strings)
                    else:
                        for string in strings:
                            insort(self.strings, string)
            column[at] = found
        grown = self.codes
        for dtype in _CODE_TYPES:
            if len(self.code_of) <= np.iinfo(dtype).max:
                break
        if grown.data.dtype != dtype:
            grown.widen(dtype)
        grown.extend(column)

    def compacted(self, new: np.ndarray) -> None:
        """Positions renumbered: `new[old]` is the new position, -1 if dropped."""
        kept = new[: self.upto] >= 0
        self.kinds.keep(self.kinds.view()[kept])
        if self.numbers is not None:
            self.numbers.keep(self.numbers.view()[kept])
            moved = new[self.lossy]
            self.lossy_values = list(compress(self.lossy_values, (moved >= 0).tolist()))
            self.lossy = moved[moved >= 0]
        if self.codes is not None:
            column = self.codes.view()[kept]
            # Renumber the codes still in use, so that dropped values are forgotten.
            used = np.zeros(len(self.code_of) + 1, np.bool_)
            used[column] = True
            used[0] = True
            renumber = np.cumsum(used) - 1
            codes = renumber[column]
            self.code_of = {key: int(renumber[code]) for key, code in self.code_of.items() if used[code]}
            self.strings = [string for string in self.strings if string in self.code_of]
            self.codes = _Grow(_CODE_TYPES[0])
            for dtype in _CODE_TYPES:
                if len(self.code_of) <= np.iinfo(dtype).max:
                    break
            self.codes.widen(dtype)
            self.codes.extend(codes)

    def leaf(self, leaf: Leaf, n: int, payloads: Sequence[Any]) -> np.ndarray:
        """The boolean mask over n positions (n == upto) of the positions satisfying `leaf`."""
        op = leaf.op
        if op == "$exists":
            present = self.kinds.view() != K_MISSING
            return present if leaf.operand else ~present
        if op in ("$eq", "$ne", "$in", "$nin"):
            # Without codes, the operands are a few numbers (PayloadIndex._node).
            operands = _operands(leaf)
            mask = self._equal(operands) if self.codes is not None else self._equal_numbers(operands)
            return np.logical_not(mask, out=mask) if op in ("$ne", "$nin") else mask
        if leaf.operand == "number":
            return self._numbers(leaf.low, leaf.high)
        strings = self.strings
        low, high = leaf.low, leaf.high
        lo = 0 if low is None else (bisect_left if low[1] else bisect_right)(strings, low[0])
        hi = len(strings) if high is None else (bisect_right if high[1] else bisect_left)(strings, high[0])
        return self._codes_in(np.fromiter(map(self.code_of.__getitem__, strings[lo:hi]), np.int64, max(0, hi - lo)))

    def _codes_in(self, codes: np.ndarray) -> np.ndarray:
        column = self.codes.view()
        codes = codes[codes > 0]
        if len(codes) == 0:
            return np.zeros(len(column), np.bool_)
        if len(codes) == 1:
            return column == codes[0]
        table = np.zeros(len(self.code_of) + 1, np.bool_)
        table[codes] = True
        return table.take(column)

    def _numbers(self, low: Any, high: Any) -> np.ndarray:
        column = self.numbers.view()
        if (low is not None and low[0] != low[0]) or (high is not None and high[0] != high[0]):
            return np.zeros(len(column), np.bool_)  # a NaN bound: no comparison holds
        mask: Optional[np.ndarray] = None
        for bound, is_low in ((low, True), (high, False)):
            if bound is None:
                continue
            value, inclusive = bound
            key = _float_key(value)
            # A column value equal to the key stands to the bound as the key does.
            at_key = _within(key, bound if is_low else None, None if is_low else bound)
            if is_low:
                side = np.greater_equal(column, key) if at_key else np.greater(column, key)
            else:
                side = np.less_equal(column, key) if at_key else np.less(column, key)
            mask = side if mask is None else np.logical_and(mask, side, out=mask)
        if mask is None:  # no bound (not compiled so, but sound): every number
            mask = ~np.isnan(column)
        if len(self.lossy):
            mask[self.lossy] = [_within(v, low, high) for v in self.lossy_values]
        return mask

    def _equal(self, operands: List[Any]) -> np.ndarray:
        """The positions whose value equals one of `operands`."""
        if not set(map(type, operands)) <= _PLAIN_OPERANDS:
            operands = [_key(v) for v in operands]
        codes = np.fromiter(map(self.code_of.get, operands, repeat(0)), np.int64, len(operands))
        return self._codes_in(codes)

    def _equal_numbers(self, operands: List[Any]) -> np.ndarray:
        """The positions whose number equals one of `operands` (ints and floats), from the `numbers` column.

        A position that is not lossy holds a number that is its float64 key
        exactly, so it equals an operand exactly when its key equals the
        operand's key and that key is the operand itself (never for NaN, nor
        for an int that float64 cannot hold). Lossy positions are compared
        as they are.
        """
        column = self.numbers.view()
        mask = np.zeros(len(column), np.bool_)
        for value in operands:
            key = _float_key(value)
            if key == value:
                np.logical_or(mask, column == key, out=mask)
        if len(self.lossy):
            mask[self.lossy] = [any(number == value for value in operands) for number in self.lossy_values]
        return mask

    def nbytes(self) -> int:
        total = self.kinds.data.nbytes + self.lossy.nbytes + sys.getsizeof(self.lossy_values)
        if self.numbers is not None:
            total += self.numbers.data.nbytes
        if self.codes is not None:
            total += self.codes.data.nbytes + sys.getsizeof(self.code_of) + sys.getsizeof(self.strings)
            # the keys themselves, but a string or number also held by a payload costs nothing more
            total += sum(sys.getsizeof(key) for key in self.code_of if not isinstance(key, (str, int, float)))
        return total


# Equality on at most this many numbers, on a field with no codes yet, is
# answered from the numbers column: one compare per operand, and no code
# for each distinct value, which a field of ids or timestamps would make
# as large and slow to build as a dict of all its values.
FEW_NUMBERS = 8


def _operands(leaf: Leaf) -> List[Any]:
    return [leaf.operand] if leaf.op in ("$eq", "$ne") else leaf.operand


def _few_numbers(operands: List[Any]) -> bool:
    return len(operands) <= FEW_NUMBERS and all(type(value) in _NUMBER_TYPES for value in operands)


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
            numbers = node.op == "range" and node.operand == "number"
            by_number = node.op in EQUALITY and field.codes is None and _few_numbers(_operands(node))
            codes = (node.op in EQUALITY and not by_number) or (node.op == "range" and not numbers)
            field.catch_up(payloads, count, numbers or by_number, codes)
            return field.leaf(node, count, payloads)
        if not node.children:
            return np.ones(count, np.bool_)
        masks = iter(self._node(child, payloads, count) for child in node.children)
        result = next(masks)
        combine = np.logical_and if node.op == "$and" else np.logical_or
        for mask in masks:
            combine(result, mask, out=result)
        return result

    def catch_up(self, payloads: Sequence[Any], count: int) -> None:
        """Takes positions up to `count` into every indexed field's columns (what the next query would)."""
        for field in self._fields.values():
            field.catch_up(payloads, count)

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
