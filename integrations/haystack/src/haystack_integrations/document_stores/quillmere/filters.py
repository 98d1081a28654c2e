"""The store's one filter step: Haystack filters as the collection's `filter=`.

Every operation that filters (filter_documents, embedding retrieval,
delete_by_filter, update_by_filter, count_documents_by_filter) goes through
`compile_filter`. Where every condition of a filter means, under Haystack's
own rules, exactly what some form of the collection's declarative filter
means, it returns that dict, which the collection answers from its payload
indexes. Otherwise it returns a predicate that runs Haystack's own
`document_matches_filter` on each entry, so the semantics are Haystack's
everywhere.

What compiles, on the fields `meta.a.b`, a legacy bare `a` (meaning
`meta.a`), `content` and `score`:
- `==`, `!=`, `in`, `not in` with None, bools, numbers, strings that cannot
  be read as ISO dates, and lists or dicts whose leaves are strings or None;
- `>`, `>=`, `<`, `<=` with None (never true) or a number (not NaN), on a
  field whose stored values are all numbers, bools or None;
- `AND`, `OR` and `NOT` (pushed down to the conditions by De Morgan's laws)
  over conditions that compile.
Everything else falls back: dates (Haystack compares ISO strings as dates),
lists with numbers (Python's `[1] == [True]`), `id`, `embedding`, `blob`,
`sparse_embedding`, malformed filters (so Haystack raises its FilterError),
and any field where a stored value could make Haystack's matcher raise or
compare by rules the dict form does not have (see `FieldKinds`).
"""

from __future__ import annotations

import operator
import sys
from dataclasses import fields, make_dataclass
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

from haystack.dataclasses import ByteStream, Document, SparseEmbedding
from haystack.errors import FilterError
from haystack.utils.filters import document_matches_filter
from quillmere_collection import Collection

EntryFilter = Callable[[str, Dict[str, Any]], bool]
CollectionFilter = Union[Dict[str, Any], EntryFilter]

# What `document_matches_filter` reads: the Document's fields by name (and
# `dataclasses.fields` to tell a field from a legacy meta key). Building a
# Document costs about 3.5 µs (its metaclass and mutation guard); this plain
# dataclass with the same field names costs a tenth of that, and the matcher
# sees the same values.
_View = make_dataclass("_View", [(f.name, Any, None) for f in fields(Document)])
_DOCUMENT_FIELDS = frozenset(f.name for f in fields(Document))

# Rows read at a time when a filter needs the stored embeddings.
_CHUNK = 4096

# A dict filter that no entry satisfies.
NOTHING: Dict[str, Any] = {"has_embedding": {"$in": []}}


# ------------------------------------------------------------ field kinds

# Kinds of stored value, per payload path, that the dict form cannot judge
# as Haystack does. Numbers, bools and None need no record.
STRING = 0  # `>` on a string makes Haystack parse it as a date, or raise
CONTAINER = 1  # a list or dict of plain values: `>` raises TypeError in Haystack
ODD = 2  # anything else (a datetime, a tuple, a subclass, NaN): Python's == may differ too


def _plain(value: Any) -> bool:
    """Whether `value` is made only of JSON's exact types (str keys), where Python's == and the dict form's agree."""
    kind = type(value)
    if kind is str or kind is int or kind is float or kind is bool or value is None:
        return True
    if kind is list:
        return all(_plain(item) for item in value)
    if kind is dict:
        return all(type(name) is str and _plain(item) for name, item in value.items())
    return False


def _walk(value: Any, path: str, out: List[Tuple[str, int]]) -> None:
    kind = type(value)
    if kind is int or kind is bool or value is None:
        return
    if kind is float:
        if value != value:
            out.append((path, ODD))  # NaN: `not x > v` is not `x <= v`
        return
    if kind is str:
        out.append((path, STRING))
        return
    if isinstance(value, dict):
        out.append((path, CONTAINER if _plain(value) else ODD))
        # Haystack and the collection both walk any dict by key; a path
        # segment is a string, so only string keys are reachable.
        for name, item in value.items():
            if isinstance(name, str):
                _walk(item, path + "." + name, out)
        return
    out.append((path, CONTAINER if kind is list and _plain(value) else ODD))


def _profile(payload: Dict[str, Any]) -> Tuple[Tuple[str, int], ...]:
    """The (path, kind) records of one payload. `content` is a string by type: only an odd one is recorded."""
    out: List[Tuple[str, int]] = []
    content = payload["content"]
    if not (content is None or type(content) is str):
        out.append(("content", ODD))
    _walk(payload["score"], "score", out)
    for name, item in payload["meta"].items():
        if isinstance(name, str):
            _walk(item, "meta." + name, out)
    return tuple((sys.intern(path), kind) for path, kind in out)


class FieldKinds:
    """How many live documents hold, at each payload path, a string, a container or an odd value.

    The compiler reads it to know that no stored value can make Haystack's
    matcher raise, or compare by rules of its own, where a condition is
    compiled. The store keeps it in step with every write and delete. Each
    document's records are kept, so that replacing or deleting it takes away
    exactly what it added.
    """

    def __init__(self) -> None:
        self._counts: Dict[Tuple[str, int], int] = {}
        self._of: Dict[str, Tuple[Tuple[str, int], ...]] = {}

    def put(self, ids: Iterable[str], payloads: Iterable[Dict[str, Any]]) -> None:
        """Records these documents, replacing what was recorded for their ids."""
        counts = self._counts
        for id_, payload in zip(ids, payloads):
            self.drop([id_])
            profile = _profile(payload)
            if profile:
                self._of[id_] = profile
                for key in profile:
                    counts[key] = counts.get(key, 0) + 1

    def drop(self, ids: Iterable[str]) -> None:
        """Forgets these documents (absent ids are ignored)."""
        counts = self._counts
        for id_ in ids:
            for key in self._of.pop(id_, ()):
                left = counts[key] - 1
                if left:
                    counts[key] = left
                else:
                    del counts[key]

    def any(self, path: str, *kinds: int) -> bool:
        return any((path, kind) in self._counts for kind in kinds)


# ------------------------------------------------------------- compiling


class _Fallback(Exception):
    """A condition has no exact dict form: Haystack's matcher answers the whole filter."""


# Constant conditions (an empty AND, `> None`), folded away before a dict is built.
_TRUE, _FALSE = object(), object()
Node = Union[object, Dict[str, Any]]


def _all(parts: List[Node]) -> Node:
    if any(part is _FALSE for part in parts):
        return _FALSE
    parts = [part for part in parts if part is not _TRUE]
    if not parts:
        return _TRUE
    return parts[0] if len(parts) == 1 else {"$and": parts}


def _any(parts: List[Node]) -> Node:
    if any(part is _TRUE for part in parts):
        return _TRUE
    parts = [part for part in parts if part is not _FALSE]
    if not parts:
        return _FALSE
    return parts[0] if len(parts) == 1 else {"$or": parts}


def _path(field: Any) -> Optional[str]:
    """The payload path that Haystack reads for `field`, or None where the dict form cannot reach it."""
    if not isinstance(field, str):
        return None
    if "." in field:
        root, _, rest = field.partition(".")
        # Haystack walks dicts only from `meta`: `content.x` and the like are always None.
        if root != "meta" or any(not segment for segment in rest.split(".")):
            return None
        return field
    if field in ("content", "score"):
        return field
    if field in _DOCUMENT_FIELDS or not field:
        return None  # id, embedding, blob, sparse_embedding, meta itself
    return "meta." + field  # a legacy filter's bare meta key


def _looks_like_date(value: str) -> bool:
    # Wider than Haystack's own test (which also wants digits around the
    # dashes): a string it might read as an ISO date is never compiled.
    return len(value) >= 10 and value[4] == "-" and value[7] == "-"


def _strings_and_nones(value: Any) -> bool:
    kind = type(value)
    if kind is str or value is None:
        return True
    if kind is list:
        return all(_strings_and_nones(item) for item in value)
    if kind is dict:
        return all(type(name) is str and _strings_and_nones(item) for name, item in value.items())
    return False


def _equal_to(value: Any) -> List[Any]:
    """The plain values x for which Haystack's `x == value` holds, or _Fallback.

    Python finds True == 1 == 1.0 and False == 0, where the dict form keeps
    bools apart from numbers, so each side brings the other's equals.
    """
    kind = type(value)
    if value is None:
        return [None]
    if kind is bool:
        return [value, int(value)]
    if kind is int or kind is float:
        return [value] + [b for b in (False, True) if b == value]
    if kind is str:
        if _looks_like_date(value):
            raise _Fallback  # compared as a date with stored ISO strings and datetimes
        return [value]
    if (kind is list or kind is dict) and _strings_and_nones(value):
        # Python compares containers item by item with ==: without numbers
        # or bools inside, the dict form's whole-value equality is the same.
        return [value]
    raise _Fallback


def _membership(path: str, values: List[Any]) -> Tuple[Node, Node]:
    """(x is one of `values`, its negation), where a missing field reads as None, as in Haystack."""
    if not values:
        return _FALSE, _TRUE
    if any(value is None for value in values):
        return (
            _any([{path: {"$in": values}}, {path: {"$exists": False}}]),
            {path: {"$nin": values, "$exists": True}},
        )
    return {path: {"$in": values}}, {path: {"$nin": values}}


_ORDER = {">": operator.gt, ">=": operator.ge, "<": operator.lt, "<=": operator.le}
_RANGE = {">": "$gt", ">=": "$gte", "<": "$lt", "<=": "$lte"}
_COMPLEMENT = {">": "$lte", ">=": "$lt", "<": "$gte", "<=": "$gt"}


def _comparison(condition: Dict[str, Any], kinds: FieldKinds) -> Tuple[Node, Node]:
    if "operator" not in condition or "value" not in condition:
        raise _Fallback  # Haystack raises FilterError
    path = _path(condition["field"])
    op, value = condition["operator"], condition["value"]
    if path is None or not isinstance(op, str):
        raise _Fallback
    if op in ("==", "!=", "in", "not in"):
        if kinds.any(path, ODD):
            raise _Fallback
        if op in ("==", "!="):
            values = _equal_to(value)
        elif isinstance(value, list):
            values = [x for item in value for x in _equal_to(item)]
        else:
            raise _Fallback  # Haystack raises FilterError
        pos, neg = _membership(path, values)
        return (pos, neg) if op in ("==", "in") else (neg, pos)
    if op in _ORDER:
        if value is None:
            return _FALSE, _TRUE  # Haystack: never, whatever is stored
        if type(value) not in (int, float) or value != value:
            raise _Fallback  # strings are dates or FilterError; lists FilterError; NaN
        # Only numbers, bools, None and missing are stored here (content is
        # a string by type): Haystack compares without raising, a bool as
        # the int it is, and None never.
        if path == "content" or kinds.any(path, STRING, CONTAINER, ODD):
            raise _Fallback
        order = _ORDER[op]
        bools = [b for b in (False, True) if order(b, value)]
        others = [b for b in (False, True) if not order(b, value)]
        pos = _any([{path: {_RANGE[op]: value}}, {path: {"$in": bools}} if bools else _FALSE])
        # Without NaN stored, a number fails `x > v` exactly when `x <= v`.
        neg = _any([{path: {_COMPLEMENT[op]: value}}, {path: {"$in": [None] + others}}, {path: {"$exists": False}}])
        return pos, neg
    raise _Fallback  # Haystack raises FilterError


def _compile(condition: Any, kinds: FieldKinds) -> Tuple[Node, Node]:
    """(the condition, its negation) as dict-form nodes, or _Fallback."""
    if not isinstance(condition, dict):
        raise _Fallback
    if "field" in condition:
        return _comparison(condition, kinds)
    op, conditions = condition.get("operator"), condition.get("conditions")
    if op not in ("AND", "OR", "NOT") or not isinstance(conditions, list):
        raise _Fallback  # Haystack raises FilterError, or reads the odd shape its own way
    pairs = [_compile(inner, kinds) for inner in conditions]
    every = _all([pos for pos, _ in pairs])
    some_fails = _any([neg for _, neg in pairs])
    if op == "AND":
        return every, some_fails
    if op == "NOT":  # Haystack's NOT is not(AND)
        return some_fails, every
    return _any([pos for pos, _ in pairs]), _all([neg for _, neg in pairs])


def compile_dict(filters: Dict[str, Any], kinds: FieldKinds) -> Optional[Node]:
    """The dict form of a well-formed Haystack filter, `_TRUE`/`_FALSE` for constants, or None if it falls back."""
    try:
        return _compile(filters, kinds)[0]
    except _Fallback:
        return None


# ----------------------------------------------------------- the step


def _view(entry_id: str, payload: Dict[str, Any], embedding: Optional[list] = None) -> Any:
    blob = payload["blob"]
    sparse = payload["sparse_embedding"]
    return _View(
        id=entry_id,
        content=payload["content"],
        blob=None if blob is None else ByteStream.from_dict(blob),
        meta=payload["meta"],
        score=payload["score"],
        embedding=embedding,
        sparse_embedding=None if sparse is None else SparseEmbedding.from_dict(sparse),
    )


def _field_names(condition: Any) -> Iterator[str]:
    if isinstance(condition, dict):
        if isinstance(condition.get("field"), str):
            yield condition["field"]
        if isinstance(condition.get("conditions"), list):
            for inner in condition["conditions"]:
                yield from _field_names(inner)


def compile_filter(
    filters: Optional[Dict[str, Any]],
    collection: Collection,
    kinds: FieldKinds,
    *,
    strict_datetime_comparison: bool = False,
) -> Optional[CollectionFilter]:
    """The collection's `filter=` for Haystack `filters`: None (no filter), a dict, or `filter(id, payload)`.

    A dict is returned where the filter compiles (see the module's notes);
    the collection answers it from its payload indexes. Otherwise the
    predicate evaluates Haystack's `document_matches_filter` per entry, and
    a malformed filter raises Haystack's `FilterError` when it is first
    evaluated, as in Haystack's in-memory store. The caller holds the
    store's lock: a filter on the `embedding` field reads every stored
    vector here, once, because a filter callback must not call back into
    the collection.
    """
    if not filters:
        return None
    if not isinstance(filters, dict) or ("operator" not in filters and "conditions" not in filters):
        raise FilterError(
            f"Invalid filter syntax: {filters!r}. Filters are a comparison "
            "{'field', 'operator', 'value'} or a logical {'operator', 'conditions'}."
        )
    compiled = compile_dict(filters, kinds)
    if compiled is _TRUE:
        return None
    if compiled is _FALSE:
        return NOTHING
    if compiled is not None:
        return compiled

    def matches(entry_id: str, payload: Dict[str, Any], embedding: Optional[list] = None) -> bool:
        view = _view(entry_id, payload, embedding)
        return document_matches_filter(filters, view, strict_datetime_comparison=strict_datetime_comparison)

    if not any(name == "embedding" or name.startswith("embedding.") for name in _field_names(filters)):
        return lambda entry_id, payload: matches(entry_id, payload)

    entries = list(collection.items())
    matched = set()
    for start in range(0, len(entries), _CHUNK):
        chunk = entries[start : start + _CHUNK]
        rows = collection.vectors([entry.id for entry in chunk])
        for entry, row in zip(chunk, rows):
            embedding = row.tolist() if entry.payload["has_embedding"] else None
            if matches(entry.id, entry.payload, embedding):
                matched.add(entry.id)
    return lambda entry_id, payload: entry_id in matched
