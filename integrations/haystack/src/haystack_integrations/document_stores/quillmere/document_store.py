"""QuillmereDocumentStore: a Haystack document store on `quillmere_collection.Collection`.

Each document is one collection entry: its id is the document id, its row
the embedding, and its payload the rest of the document as JSON-ready
values: `content`, `blob` and `sparse_embedding` as their `to_dict()`,
`meta`, `score`, and `has_embedding`.

A document without an embedding still needs a row. It gets one of NaNs: the
module scores it NaN against any query, and NaN ranks after every number,
so such rows come last in every ranking, and retrieval drops them by their
payload flag. While the store holds no embedding at all, these rows have
whatever length the collection has (1 at first); the first embedding fixes
the length, and the rows are rebuilt at that length.
"""

from __future__ import annotations

import math
import threading
import uuid
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np
from haystack import default_from_dict, default_to_dict, logging
from haystack.dataclasses import ByteStream, Document, SparseEmbedding
from haystack.document_stores.errors import DuplicateDocumentError
from haystack.document_stores.types import DuplicatePolicy
from haystack.errors import FilterError
from quillmere_collection import Collection, Entry

from .filters import FieldKinds, compile_filter

logger = logging.getLogger(__name__)

PAYLOAD_KEYS = frozenset({"content", "blob", "meta", "score", "sparse_embedding", "has_embedding"})


class _State:
    """The documents of one index, the kinds of their fields' values, and the lock that makes each store call atomic."""

    def __init__(self) -> None:
        # json_payloads=False: meta may hold any value in memory, as in
        # Haystack's own store; save_to_disk refuses what JSON cannot write.
        self.collection = Collection(json_payloads=False)
        # Kept in step with the collection by every call that changes it:
        # the filter compiler reads it (see filters.FieldKinds).
        self.kinds = FieldKinds()
        self.lock = threading.RLock()


# Stores created with shared=True and the same index share their documents,
# so a pipeline rebuilt with from_dict in the same process finds them.
_SHARED: Dict[str, _State] = {}
_SHARED_LOCK = threading.Lock()


def _payload(doc: Document) -> Dict[str, Any]:
    return {
        "content": doc.content,
        "blob": None if doc.blob is None else doc.blob.to_dict(),
        "meta": dict(doc.meta),
        "score": doc.score,
        "sparse_embedding": None if doc.sparse_embedding is None else doc.sparse_embedding.to_dict(),
        "has_embedding": doc.embedding is not None,
    }


def _document(entry_id: str, payload: Dict[str, Any], score: Optional[float], embedding: Optional[List[float]]) -> Document:
    blob = payload["blob"]
    sparse = payload["sparse_embedding"]
    return Document(
        id=entry_id,
        content=payload["content"],
        blob=None if blob is None else ByteStream.from_dict(blob),
        meta=dict(payload["meta"]),
        score=score,
        embedding=embedding,
        sparse_embedding=None if sparse is None else SparseEmbedding.from_dict(sparse),
    )


def _any_embedded(collection: Collection, besides: Iterable[str] = ()) -> bool:
    skip = set(besides)
    return any(e.payload["has_embedding"] and e.id not in skip for e in collection.items())


class QuillmereDocumentStore:
    """An in-memory document store whose embedding retrieval is exact cosine similarity.

    Scores are the bits `quillmere.cosine_similarity` gives for the query and
    the stored float32 embedding, best first, equal scores in order of
    writing (a document written again moves to the end).

    :param index: the name of the document set; a random one by default.
    :param shared: with True, stores with the same `index` in this process
        share their documents (as Haystack's in-memory store does), so a
        pipeline loaded with `from_dict` sees them. With False the documents
        belong to this instance.
    :param return_embedding: whether `filter_documents` returns embeddings.
    :param strict_datetime_comparison: passed to Haystack's filter matching:
        with True, naive and aware datetimes never match each other.
    """

    def __init__(
        self,
        index: Optional[str] = None,
        shared: bool = True,
        return_embedding: bool = True,
        *,
        strict_datetime_comparison: bool = False,
    ) -> None:
        self.index = str(uuid.uuid4()) if index is None else index
        self._shared = shared
        self.return_embedding = return_embedding
        self.strict_datetime_comparison = strict_datetime_comparison
        if shared:
            with _SHARED_LOCK:
                self._state = _SHARED.setdefault(self.index, _State())
        else:
            self._state = _State()

    def to_dict(self) -> Dict[str, Any]:
        """The store's settings (not its documents: see `save_to_disk`)."""
        return default_to_dict(
            self,
            index=self.index,
            shared=self._shared,
            return_embedding=self.return_embedding,
            strict_datetime_comparison=self.strict_datetime_comparison,
        )

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "QuillmereDocumentStore":
        return default_from_dict(cls, data)

    @property
    def client(self) -> Collection:
        """The underlying `quillmere_collection.Collection` (replaced by `delete_all_documents`)."""
        return self._state.collection

    def _filter(self, filters: Optional[Dict[str, Any]]):
        return compile_filter(
            filters,
            self._state.collection,
            self._state.kinds,
            strict_datetime_comparison=self.strict_datetime_comparison,
        )

    # -------------------------------------------------------------- reading

    def count_documents(self) -> int:
        """The number of documents, with or without an embedding."""
        return len(self._state.collection)

    def _select(self, filters: Optional[Dict[str, Any]]) -> List[Entry]:
        """The entries that match `filters`, in order of writing."""
        keep = self._filter(filters)
        collection = self._state.collection
        if keep is None:
            return list(collection.items())
        if not isinstance(keep, dict):
            return [entry for entry in collection.items() if keep(entry.id, entry.payload)]
        if not len(collection):
            return []
        # A query of zeros scores every row +0.0 (the metric's answer when
        # either vector's squared norm is zero, so NaN rows too), and the
        # collection ranks equal scores in order of addition, which is the
        # order of writing. So this search returns every matching entry, in
        # that order, from the allowed mask the dict compiles to.
        zeros = np.zeros(collection.vector_size, np.float32)
        return [Entry(hit.id, hit.payload) for hit in collection.search(zeros, len(collection), filter=keep)]

    def filter_documents(self, filters: Optional[Dict[str, Any]] = None) -> List[Document]:
        """The documents that match `filters` (all for None or {}), in order of writing.

        Embeddings come back as the float32 values the store keeps, unless
        the store was made with `return_embedding=False`.
        """
        with self._state.lock:
            chosen = self._select(filters)
            embedded = [e.id for e in chosen if e.payload["has_embedding"]] if self.return_embedding else []
            rows = dict(zip(embedded, self._state.collection.vectors(embedded).tolist())) if embedded else {}
        return [_document(e.id, e.payload, e.payload["score"], rows.get(e.id)) for e in chosen]

    def count_documents_by_filter(self, filters: Dict[str, Any]) -> int:
        """The number of documents that match `filters`."""
        with self._state.lock:
            return len(self._select(filters))

    # ------------------------------------------------------------- writing

    def write_documents(self, documents: List[Document], policy: DuplicatePolicy = DuplicatePolicy.NONE) -> int:
        """Writes the documents, all or nothing; returns how many were written.

        `DuplicatePolicy.NONE` means FAIL. FAIL refuses the whole call with
        `DuplicateDocumentError` if an id is already stored or repeats in
        the call. SKIP keeps the stored document (and the first of repeated
        ids). OVERWRITE replaces it, and the last of repeated ids wins; the
        document moves to the end of the order of writing. As in Haystack's
        in-memory store, OVERWRITE counts every document given.

        Every embedding must have the length of the stored ones. A wrong
        length refuses the call with `ValueError`, as does anything that is
        not a list of Documents.
        """
        if isinstance(documents, (str, bytes)) or not isinstance(documents, Iterable):
            raise ValueError("Please provide a list of Documents.")
        documents = list(documents)
        if any(not isinstance(doc, Document) for doc in documents):
            raise ValueError("Please provide a list of Documents.")
        if policy == DuplicatePolicy.NONE:
            policy = DuplicatePolicy.FAIL

        with self._state.lock:
            collection = self._state.collection
            chosen: Dict[str, Document] = {}
            for doc in documents:
                if doc.id in chosen or doc.id in collection:
                    if policy == DuplicatePolicy.FAIL:
                        where = "already exists" if doc.id in collection else "appears more than once in this write"
                        raise DuplicateDocumentError(f"ID '{doc.id}' {where}.")
                    if policy == DuplicatePolicy.SKIP:
                        logger.warning("ID '{document_id}' already exists", document_id=doc.id)
                        continue
                    chosen.pop(doc.id, None)  # OVERWRITE: the last one, at its position
                chosen[doc.id] = doc
            if not chosen:
                return 0
            target, size = self._target(collection, list(chosen.values()))
            placeholder = [math.nan] * size
            payloads = [_payload(doc) for doc in chosen.values()]
            target.add(
                list(chosen),
                [placeholder if doc.embedding is None else doc.embedding for doc in chosen.values()],
                payloads,
            )
            self._state.collection = target
            self._state.kinds.put(chosen, payloads)
        return len(documents) if policy == DuplicatePolicy.OVERWRITE else len(chosen)

    @staticmethod
    def _target(collection: Collection, docs: List[Document]) -> Tuple[Collection, int]:
        """The collection to add `docs` to (this one, or a rebuild at a new embedding length), and its row length.

        Refuses embeddings whose lengths differ from each other or from the
        stored ones. Nothing is changed here: a rebuild is a new collection,
        which the caller keeps only if its add succeeds.
        """
        embedded = [doc for doc in docs if doc.embedding is not None]
        if not embedded:
            return collection, collection.vector_size or 1
        first = embedded[0]
        length = len(first.embedding)
        for doc in embedded:
            if len(doc.embedding) != length:
                raise ValueError(
                    f"document '{doc.id}' has an embedding of length {len(doc.embedding)}, "
                    f"but document '{first.id}' has one of length {length}"
                )
        size = collection.vector_size
        if size == length or size is None:
            return collection, length
        if _any_embedded(collection, besides=[doc.id for doc in docs]):
            raise ValueError(
                f"document '{first.id}' has an embedding of length {length}, "
                f"but the stored embeddings have length {size}"
            )
        # Only NaN rows are stored (or only ones about to be replaced): give
        # them the new length, in order.
        rebuilt = Collection(json_payloads=False)
        entries = list(collection.items())
        if entries:
            rows = np.full((len(entries), length), np.nan, dtype=np.float32)
            rebuilt.add([e.id for e in entries], rows, [e.payload for e in entries])
        return rebuilt, length

    # ------------------------------------------------------------ deleting

    def delete_documents(self, document_ids: List[str]) -> None:
        """Deletes the documents with these ids; absent ids are ignored."""
        with self._state.lock:
            if not isinstance(document_ids, (str, bytes)):  # a lone id: the collection refuses it
                document_ids = list(document_ids)
            self._state.collection.delete(document_ids)
            self._state.kinds.drop(document_ids)

    def delete_all_documents(self) -> None:
        """Deletes every document; the next embedding written may have any length."""
        with self._state.lock:
            self._state.collection = Collection(json_payloads=False)
            self._state.kinds = FieldKinds()

    def delete_by_filter(self, filters: Dict[str, Any]) -> int:
        """Deletes the documents that match `filters`; returns how many.

        Empty filters raise `FilterError`: `delete_all_documents` deletes everything.
        """
        if not filters:
            raise FilterError("delete_by_filter needs filters; delete_all_documents deletes every document")
        with self._state.lock:
            doomed = [entry.id for entry in self._select(filters)]
            deleted = self._state.collection.delete(doomed)
            self._state.kinds.drop(doomed)
            return deleted

    def update_by_filter(self, filters: Dict[str, Any], meta: Dict[str, Any]) -> int:
        """Merges `meta` into the metadata of the documents that match `filters`; returns how many.

        The updated documents move to the end of the order of writing, as if
        written again. Empty filters raise `FilterError`.
        """
        if not filters:
            raise FilterError("update_by_filter needs filters")
        if not isinstance(meta, dict):
            raise ValueError(f"meta must be a dict, not {type(meta).__name__}")
        with self._state.lock:
            collection = self._state.collection
            chosen = self._select(filters)
            if chosen:
                ids = [entry.id for entry in chosen]
                payloads = [{**entry.payload, "meta": {**entry.payload["meta"], **meta}} for entry in chosen]
                collection.add(ids, collection.vectors(ids), payloads)
                self._state.kinds.put(ids, payloads)
            return len(chosen)

    # ----------------------------------------------------------- retrieval

    def embedding_retrieval(
        self,
        query_embedding: List[float],
        filters: Optional[Dict[str, Any]] = None,
        top_k: int = 10,
        scale_score: bool = False,
        return_embedding: bool = False,
    ) -> List[Document]:
        """The `top_k` documents most similar to `query_embedding` by cosine similarity, best first.

        Exact: each score is `quillmere.cosine_similarity(query_embedding,
        stored embedding)`, ties in order of writing. Documents without an
        embedding are never returned. With `scale_score`, a score c becomes
        (c + 1) / 2, as Haystack scales cosine. A query of the wrong length
        raises `ValueError` (unless no document has an embedding: then the
        answer is empty, as in Haystack's in-memory store).
        """
        if top_k < 0:
            raise ValueError(f"top_k must be greater than or equal to 0, but got {top_k}")
        if query_embedding is None or len(query_embedding) == 0:
            raise ValueError("query_embedding should be a non-empty list of floats.")
        with self._state.lock:
            collection = self._state.collection
            keep = self._filter(filters)
            if top_k == 0 or len(collection) == 0:
                return []
            if len(query_embedding) != collection.vector_size and not _any_embedded(collection):
                logger.warning("No Documents found with embeddings. Returning empty list.")
                return []
            if keep is None or isinstance(keep, dict):
                hits = collection.search(query_embedding, top_k, filter=keep)
                # NaN rows rank last: if none is among the hits, they are the
                # best of the embedded (and matching) documents too.
                if not all(hit.payload["has_embedding"] for hit in hits):
                    embedded = {"has_embedding": True}
                    hits = collection.search(
                        query_embedding, top_k, filter=embedded if keep is None else {"$and": [keep, embedded]}
                    )
            else:
                hits = collection.search(
                    query_embedding, top_k, filter=lambda i, p: p["has_embedding"] and keep(i, p)
                )
            rows = collection.vectors([hit.id for hit in hits]).tolist() if return_embedding and hits else None
        return [
            _document(
                hit.id,
                hit.payload,
                (hit.score + 1) / 2 if scale_score else hit.score,
                rows[i] if rows is not None else None,
            )
            for i, hit in enumerate(hits)
        ]

    # --------------------------------------------------------- persistence

    def save_to_disk(self, path: str) -> None:
        """Saves the documents as a directory at `path`, atomically (the collection's format).

        `path` must be absent, empty, or an earlier save, which is replaced;
        a crash leaves the earlier save whole. Metadata that JSON cannot
        write raises `TypeError` naming the document, before any file is
        written. The store's settings are not saved: pass them to
        `load_from_disk`.
        """
        with self._state.lock:
            self._state.collection.save(path)

    @classmethod
    def load_from_disk(
        cls,
        path: str,
        index: Optional[str] = None,
        shared: bool = True,
        return_embedding: bool = True,
        *,
        strict_datetime_comparison: bool = False,
    ) -> "QuillmereDocumentStore":
        """A store holding the documents saved at `path` by `save_to_disk`.

        A truncated or altered save raises `quillmere_collection.CorruptSaveError`;
        a save of some other collection raises `ValueError`. A shared `index`
        that already holds documents raises `ValueError`.
        """
        collection = Collection.load(path, json_payloads=False)
        for entry in collection.items():
            if not (isinstance(entry.payload, dict) and entry.payload.keys() == PAYLOAD_KEYS):
                raise ValueError(f"entry '{entry.id}' of the save at '{path}' was not written by a QuillmereDocumentStore")
        store = cls(index, shared, return_embedding, strict_datetime_comparison=strict_datetime_comparison)
        with store._state.lock:
            if len(store._state.collection):
                raise ValueError(
                    f"index '{store.index}' already holds {len(store._state.collection)} documents: load into another index"
                )
            store._state.collection = collection
            store._state.kinds = FieldKinds()
            entries = list(collection.items())
            store._state.kinds.put([entry.id for entry in entries], [entry.payload for entry in entries])
        return store
