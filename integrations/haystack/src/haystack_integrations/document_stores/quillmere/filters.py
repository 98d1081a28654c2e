"""The store's one filter step: Haystack filters as a predicate on collection entries.

Every operation that filters (filter_documents, embedding retrieval,
delete_by_filter, update_by_filter, count_documents_by_filter) goes through
`compile_filter`, so the semantics are Haystack's own
`document_matches_filter` everywhere, and a later compiled form replaces
this one function.
"""

from __future__ import annotations

from dataclasses import fields, make_dataclass
from typing import Any, Callable, Dict, Iterator, Optional

from haystack.dataclasses import ByteStream, Document, SparseEmbedding
from haystack.errors import FilterError
from haystack.utils.filters import document_matches_filter
from quillmere_collection import Collection

EntryFilter = Callable[[str, Dict[str, Any]], bool]

# What `document_matches_filter` reads: the Document's fields by name (and
# `dataclasses.fields` to tell a field from a legacy meta key). Building a
# Document costs about 3.5 µs (its metaclass and mutation guard); this plain
# dataclass with the same field names costs a tenth of that, and the matcher
# sees the same values.
_View = make_dataclass("_View", [(f.name, Any, None) for f in fields(Document)])

# Rows read at a time when a filter needs the stored embeddings.
_CHUNK = 4096


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
    filters: Optional[Dict[str, Any]], collection: Collection, *, strict_datetime_comparison: bool = False
) -> Optional[EntryFilter]:
    """The collection's `filter(id, payload)` for Haystack `filters`, or None when there are none.

    A malformed filter raises Haystack's `FilterError` when it is first
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
