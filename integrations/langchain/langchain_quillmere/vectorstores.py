"""QuillmereVectorStore: an exact LangChain vector store over a quillmere collection.

Each document is one entry of a `quillmere_collection.Collection`: its id,
the embedding of its text, and the payload `{"text": page_content,
"metadata": metadata}`. Every search is the collection's, so scores are the
module's float32 cosine similarities, ties come in order of addition and NaN
scores rank last; this class only turns documents into entries and back.
"""

from __future__ import annotations

import json
import math
import os
import tempfile
import uuid
import zipfile
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.load import load as lc_load
from langchain_core.vectorstores import VectorStore
from quillmere_collection import Collection, CorruptSaveError, Hit

__all__ = ["QuillmereVectorStore"]

DocumentFilter = Callable[[Document], bool]


def _document(id_: str, payload: dict[str, Any]) -> Document:
    # Document() copies the metadata dict, so callers cannot change the stored one.
    return Document(id=id_, page_content=payload["text"], metadata=payload["metadata"])


def _under_metadata(filter: dict[str, Any]) -> dict[str, Any]:
    """A filter on the documents' metadata as one on the payloads, whose metadata is under "metadata"."""
    out: dict[str, Any] = {}
    for name, spec in filter.items():
        if name in ("$and", "$or") and isinstance(spec, (list, tuple)):
            out[name] = [_under_metadata(part) if isinstance(part, dict) else part for part in spec]
        elif isinstance(name, str) and name and not name.startswith("$"):
            out["metadata." + name] = spec
        else:
            out[name] = spec  # the collection names what is wrong with it
    return out


def _entry_filter(filter: DocumentFilter | dict[str, Any] | None) -> Callable[[str, Any], bool] | dict[str, Any] | None:
    """The collection's filter for LangChain's `filter(Document)`, or for a dict on the metadata."""
    if filter is None:
        return None
    if isinstance(filter, dict):
        return _under_metadata(filter)
    if not callable(filter):
        raise TypeError(
            "filter must be a callable that takes a Document and returns a bool, or a dict, "
            f"not {type(filter).__name__}"
        )
    return lambda id_, payload: filter(_document(id_, payload))


def _with_ids(texts: Iterable[str], ids: Sequence[str | None] | None) -> list[str]:
    # The base class pairs texts with ids by zip(), which would drop the extra texts silently.
    texts = list(texts)
    if ids and len(ids) != len(texts):
        raise ValueError(f"ids must be the same length as texts: got {len(ids)} ids and {len(texts)} texts")
    return texts


def _finite(vector: Any, what: str) -> None:
    """Refuses a NaN or infinite component, naming `what` and its index.

    `InMemoryVectorStore` refuses a NaN query, and an embedding model that
    returns NaN is broken: saying so beats ranking it last. Values that are
    not numbers are left to the collection, which reports them itself.
    """
    try:
        values = [float(x) for x in vector]
    except (TypeError, ValueError):
        return
    for i, x in enumerate(values):
        if not math.isfinite(x):
            raise ValueError(f"{what} holds {x} at index {i}: embeddings must be finite")


# A dump is one zip file (stored, not compressed) holding the collection's
# save: its manifest, vectors and entries, each member with zip's CRC-32 on
# top of the manifest's own checks.
_ZIP_MAGIC = b"PK\x03\x04"


def _fsync(path: str, directory: bool = False) -> None:
    fd = os.open(path, os.O_RDONLY | (os.O_DIRECTORY if directory else 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _unpack(path: str) -> Collection:
    """The collection in a one-file dump, or CorruptSaveError naming `path`; builds nothing on failure."""
    with open(path, "rb") as file, tempfile.TemporaryDirectory(prefix="quillmere-load-") as work:
        members = {}
        try:
            with zipfile.ZipFile(file) as archive:
                for info in archive.infolist():
                    members[info.filename] = archive.read(info)  # checks the member's CRC-32
        except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, OSError, ValueError,
                NotImplementedError, RuntimeError) as error:
            # A damaged container: zipfile reports it in many ways (a seek
            # to a damaged offset is an OSError, for one).
            raise CorruptSaveError(path, f"not a readable dump ({error!r})") from None
        for name, data in members.items():
            if "/" in name or "\\" in name or name in ("", ".", ".."):
                raise CorruptSaveError(path, f"the dump holds an unexpected member {name!r}")
            with open(os.path.join(work, name), "wb") as out:
                out.write(data)
        try:
            return Collection.load(work, json_payloads=False)
        except CorruptSaveError as error:
            raise CorruptSaveError(path, error.reason) from None


def _import_in_memory(path: str) -> Collection:
    """The documents of a file that `InMemoryVectorStore.dump` wrote, in its order."""
    try:
        with open(path, encoding="utf-8") as file:
            store = lc_load(json.load(file), allowed_objects=[Document])
        ids, vectors, payloads = [], [], []
        for item in store.values():
            ids.append(str(item["id"]))
            vectors.append(item["vector"])
            payloads.append({"text": item["text"], "metadata": dict(item["metadata"] or {})})
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        raise CorruptSaveError(
            path, f"neither a QuillmereVectorStore dump nor an InMemoryVectorStore dump ({error!r})"
        ) from None
    for id_, vector in zip(ids, vectors):
        _finite(vector, f"the embedding of document {id_!r}")
    collection = Collection(json_payloads=False)
    collection.add(ids, vectors, payloads)
    return collection


def relevance(score: float) -> float:
    """Maps a cosine similarity in [-1, 1] linearly onto a relevance in [0, 1].

    `(1 + cosine) / 2`: 1 for the same direction, 0.5 for orthogonal, 0 for
    opposite. float32 rounding can put a cosine a step outside [-1, 1]; such
    values are clamped. NaN stays NaN (it ranks last, and no
    `score_threshold` keeps it).
    """
    mapped = (1.0 + score) / 2.0
    return 1.0 if mapped > 1.0 else 0.0 if mapped < 0.0 else mapped


class QuillmereVectorStore(VectorStore):
    """A LangChain `VectorStore` that searches exactly, in memory, with quillmere.

    A drop-in replacement for `InMemoryVectorStore`:

        from langchain_quillmere import QuillmereVectorStore

        vector_store = QuillmereVectorStore(embeddings)

    Searches score every stored document (no approximation) with the module's
    float32 cosine similarity, so results are reproducible bit for bit: equal
    scores come in the order the documents were added, NaN scores last.
    Re-adding an id replaces the document and moves it to the end of that
    order. `filter=` takes a callable `filter(Document) -> bool`, as
    `InMemoryVectorStore` does, or a dict on the metadata in the collection's
    form (`{"source": "a.txt", "year": {"$gte": 2020}}`), which is answered
    from indexes of the metadata fields instead of a call per document. Extra keyword arguments to the add and search
    methods are accepted and ignored, as `InMemoryVectorStore` does.

    Args:
        embedding: the embeddings model for texts and queries.
        vector_size: the embedding length; None takes it from the first add.
    """

    def __init__(self, embedding: Embeddings, *, vector_size: int | None = None) -> None:
        self.embedding = embedding
        # Metadata may hold any object, as in InMemoryVectorStore; only dump() needs JSON.
        self._collection = Collection(vector_size, json_payloads=False)

    @property
    def embeddings(self) -> Embeddings:
        return self.embedding

    def __repr__(self) -> str:
        collection = self._collection
        return (
            f"QuillmereVectorStore(embedding={type(self.embedding).__name__}, "
            f"vector_size={collection.vector_size}, documents={len(collection)})"
        )

    @property
    def collection(self) -> Collection:
        """The underlying collection: ids, payloads `{"text", "metadata"}` and vectors."""
        return self._collection

    # ------------------------------------------------------------- adding

    @staticmethod
    def _ids(documents: Sequence[Document], ids: Sequence[str | None] | None) -> list[str]:
        # As InMemoryVectorStore: `ids` wins over Document.id; a missing id gets a uuid4.
        if ids and len(ids) != len(documents):
            raise ValueError(
                f"ids must be the same length as documents: got {len(ids)} ids and {len(documents)} documents"
            )
        given = ids if ids else [document.id for document in documents]
        return [id_ or str(uuid.uuid4()) for id_ in given]

    def _add(self, documents: Sequence[Document], ids: list[str], vectors: Sequence[Any]) -> list[str]:
        for id_, vector in zip(ids, vectors):
            _finite(vector, f"the embedding of document {id_!r}")
        payloads = [{"text": document.page_content, "metadata": dict(document.metadata)} for document in documents]
        self._collection.add(ids, vectors, payloads)
        return ids

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and adds texts, as `add_documents` adds documents. Returns the ids."""
        texts = _with_ids(texts, ids)
        return super().add_texts(texts, metadatas, ids=ids, **kwargs)

    async def aadd_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        texts = _with_ids(texts, ids)
        return await super().aadd_texts(texts, metadatas, ids=ids, **kwargs)

    def add_documents(self, documents: list[Document], ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        """Embeds and adds documents; an id already stored is replaced. Returns the ids.

        Ids come from `ids`, else from each `Document.id`, else a new uuid4.
        The call is all or nothing.
        """
        ids_ = self._ids(documents, ids)
        if not documents:
            return []
        return self._add(documents, ids_, self.embedding.embed_documents([d.page_content for d in documents]))

    async def aadd_documents(self, documents: list[Document], ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        ids_ = self._ids(documents, ids)
        if not documents:
            return []
        return self._add(documents, ids_, await self.embedding.aembed_documents([d.page_content for d in documents]))

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents with these ids; absent ids are ignored.

        Returns True. With `ids=None` nothing is deleted (as in
        `InMemoryVectorStore`) and it returns False.
        """
        if ids is None:
            return False
        self._collection.delete(ids)
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents with these ids, in the order asked; absent ids are skipped."""
        return [_document(entry.id, entry.payload) for entry in self._collection.get(ids)]

    # ------------------------------------------------------------- searching

    def _pairs(self, hits: list[Hit]) -> list[tuple[Document, float]]:
        return [(_document(hit.id, hit.payload), hit.score) for hit in hits]

    def similarity_search_with_score_by_vector(
        self, embedding: Sequence[float], k: int = 4, filter: DocumentFilter | dict[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The `k` documents most similar to `embedding`, with their cosine similarities, best first."""
        _finite(embedding, "the query embedding")
        return self._pairs(self._collection.search(embedding, k, filter=_entry_filter(filter)))

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: DocumentFilter | dict[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The `k` documents most similar to `query`, with their cosine similarities, best first."""
        return self.similarity_search_with_score_by_vector(self.embedding.embed_query(query), k, filter)

    async def asimilarity_search_with_score(
        self, query: str, k: int = 4, filter: DocumentFilter | dict[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        return self.similarity_search_with_score_by_vector(await self.embedding.aembed_query(query), k, filter)

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: DocumentFilter | dict[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter)]

    def similarity_search(
        self, query: str, k: int = 4, filter: DocumentFilter | dict[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter)]

    async def asimilarity_search(
        self, query: str, k: int = 4, filter: DocumentFilter | dict[str, Any] | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in await self.asimilarity_search_with_score(query, k, filter)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        # similarity_search_with_relevance_scores and its async twin use this
        # on similarity_search_with_score's cosines.
        return relevance

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        *,
        filter: DocumentFilter | dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """`k` of the `fetch_k` documents most similar to `embedding`, chosen by maximal marginal relevance.

        Each next choice maximises `lambda_mult * sim(query, d) - (1 -
        lambda_mult) * max(sim(d, chosen))`, LangChain's formulation, with
        the module's cosine similarities. Returned in the order chosen.
        """
        _finite(embedding, "the query embedding")
        hits = self._collection.mmr(
            embedding, k, fetch_k=fetch_k, lambda_mult=lambda_mult, filter=_entry_filter(filter)
        )
        return [_document(hit.id, hit.payload) for hit in hits]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        *,
        filter: DocumentFilter | dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self.embedding.embed_query(query), k, fetch_k, lambda_mult, filter=filter
        )

    async def amax_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        *,
        filter: DocumentFilter | dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            await self.embedding.aembed_query(query), k, fetch_k, lambda_mult, filter=filter
        )

    # ------------------------------------------------------------- construction and persistence

    @classmethod
    def from_texts(
        cls,
        texts: Iterable[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        vector_size: int | None = None,
        **kwargs: Any,
    ) -> QuillmereVectorStore:
        store = cls(embedding, vector_size=vector_size)
        store.add_texts(texts, metadatas, ids=ids, **kwargs)
        return store

    @classmethod
    async def afrom_texts(
        cls,
        texts: Iterable[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        vector_size: int | None = None,
        **kwargs: Any,
    ) -> QuillmereVectorStore:
        store = cls(embedding, vector_size=vector_size)
        await store.aadd_texts(texts, metadatas, ids=ids, **kwargs)
        return store

    def dump(self, path: str) -> None:
        """Saves the store to the file `path`, atomically.

        The file is the collection's save (vectors, entries, and a manifest
        with checksums) packed in one zip container. It is written beside
        `path` and renamed over it, so a crash leaves the earlier file (or
        none). Missing parent directories are created, as
        `InMemoryVectorStore.dump` does. If `path` is a directory that an
        earlier version dumped into, the directory form is kept there.
        Metadata must be JSON-serialisable: otherwise TypeError names the
        document, and nothing is written.
        """
        path = os.fspath(path)
        if os.path.isdir(path):
            self._collection.save(path)
            return
        parent = os.path.dirname(os.path.abspath(path))
        os.makedirs(parent, exist_ok=True)
        # Everything is written in a hidden directory beside `path`, on the
        # same file system, so that the last step is one rename.
        with tempfile.TemporaryDirectory(dir=parent, prefix=".quillmere-dump-") as work:
            save = os.path.join(work, "save")
            self._collection.save(save)  # refuses metadata json cannot write before writing anything
            packed = os.path.join(work, "dump.zip")
            with zipfile.ZipFile(packed, "x", zipfile.ZIP_STORED) as archive:
                for name in sorted(os.listdir(save)):
                    archive.write(os.path.join(save, name), name)
            _fsync(packed)
            os.replace(packed, path)
        _fsync(parent, directory=True)

    @classmethod
    def load(cls, path: str, embedding: Embeddings) -> QuillmereVectorStore:
        """A store read from `path`, searched with `embedding`.

        `path` is a file that `dump` wrote, a directory that an earlier
        version's `dump` wrote, or a file that `InMemoryVectorStore.dump`
        wrote (its documents come in its order). A truncated or altered dump
        raises `quillmere_collection.CorruptSaveError` naming it, and builds
        nothing. Metadata comes back as json reads it (tuples become lists).
        """
        path = os.fspath(path)
        if os.path.isdir(path):
            collection = Collection.load(path, json_payloads=False)
        else:
            with open(path, "rb") as file:
                head = file.read(len(_ZIP_MAGIC))
            collection = _unpack(path) if head == _ZIP_MAGIC else _import_in_memory(path)
        for entry in collection.items():
            payload = entry.payload
            if not (
                type(payload) is dict
                and isinstance(payload.get("text"), str)
                and isinstance(payload.get("metadata"), dict)
            ):
                raise ValueError(f"{path!r} holds a collection, but not one of documents: see the entry {entry.id!r}")
        store = cls(embedding)
        store._collection = collection
        return store
