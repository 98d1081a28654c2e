"""QuillmereVectorStore: a LlamaIndex vector store on `quillmere_collection.Collection`.

Each node is one collection entry: its id is the node id, its vector the
node's embedding, and its payload the dict that LlamaIndex's own
`node_to_metadata_dict` makes (the user's metadata, the whole node as JSON
under `_node_content`, and `ref_doc_id` / `doc_id` / `document_id`). Filters
therefore see the same keys they see in LlamaIndex's other stores, and
`metadata_dict_to_node` gives back the node with the user's metadata alone.

Searches are the collection's: exact, the same score bits as
`quillmere.cosine_similarity`, equal scores in order of addition.
"""

from __future__ import annotations

import math
import os
import threading
from typing import Any, Callable, Dict, List, Optional, Sequence, Union

import fsspec
import numpy as np
from fsspec.implementations.local import LocalFileSystem
from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.simple import DEFAULT_VECTOR_STORE, NAMESPACE_SEP
from llama_index.core.vector_stores.types import (
    DEFAULT_PERSIST_DIR,
    DEFAULT_PERSIST_FNAME,
    BasePydanticVectorStore,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import (
    build_metadata_filter_fn,
    metadata_dict_to_node,
    node_to_metadata_dict,
)
from quillmere_collection import Collection, Entry

__all__ = ["QuillmereVectorStore"]

SUPPORTED_MODES = (VectorStoreQueryMode.DEFAULT, VectorStoreQueryMode.MMR)

# LlamaIndex's defaults: its MMR's threshold, and the candidate pool that its
# MMR-capable integrations fetch (similarity_top_k times this factor).
DEFAULT_MMR_THRESHOLD = 0.5
DEFAULT_MMR_PREFETCH_FACTOR = 4.0

QUERY_KWARGS = frozenset({"mmr_threshold", "mmr_prefetch_k", "mmr_prefetch_factor"})

# The payload key that names a node's source document ("None" when it has
# none, as node_to_metadata_dict writes it).
REF_DOC_KEY = "ref_doc_id"

Predicate = Callable[[Dict[str, Any]], bool]


def _same(payload: Dict[str, Any]) -> Dict[str, Any]:
    return payload


def _metadata_predicate(filters: MetadataFilters) -> Predicate:
    """LlamaIndex's own filter semantics, nested groups included.

    `build_metadata_filter_fn` implements every operator and condition but
    refuses nested `MetadataFilters`; a nested group is evaluated here, each
    of its plain filters by that same builder, and combined with the group's
    condition as the builder combines a flat list.
    """
    if not any(isinstance(f, MetadataFilters) for f in filters.filters):
        return build_metadata_filter_fn(_same, filters)
    parts = [
        _metadata_predicate(f) if isinstance(f, MetadataFilters) else build_metadata_filter_fn(_same, MetadataFilters(filters=[f]))
        for f in filters.filters
    ]
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return lambda payload: all(part(payload) for part in parts)
    if condition == FilterCondition.OR:
        return lambda payload: any(part(payload) for part in parts)
    if condition == FilterCondition.NOT:
        return lambda payload: not any(part(payload) for part in parts)
    raise ValueError(f"Invalid filter condition: {condition}")


# LlamaIndex compares with Python's == and <, where True == 1 and False == 0;
# the collection keeps bools apart from numbers. A number operand therefore
# also matches the bools that Python finds equal to it (or in its range).
_ORDER = {
    FilterOperator.GT: lambda a, b: a > b,
    FilterOperator.GTE: lambda a, b: a >= b,
    FilterOperator.LT: lambda a, b: a < b,
    FilterOperator.LTE: lambda a, b: a <= b,
}
_RANGE = {FilterOperator.GT: "$gt", FilterOperator.GTE: "$gte", FilterOperator.LT: "$lt", FilterOperator.LTE: "$lte"}


def _scalar(value: Any) -> bool:
    return isinstance(value, (str, int, float)) and not isinstance(value, bool)


def _equal_to(values: List[Any]) -> Optional[List[Any]]:
    """The JSON values that Python's == finds equal to one of `values` (scalars), or None."""
    # One plain loop, no generators: this runs on every filtered query, and
    # on a cache that the caller's work has made cold each frame costs.
    equal_false = equal_true = False
    for value in values:
        if isinstance(value, bool) or not isinstance(value, (str, int, float)):
            return None
        if not isinstance(value, str):
            equal_false = equal_false or False == value
            equal_true = equal_true or True == value
    result = list(values)
    if equal_false:
        result.append(False)
    if equal_true:
        result.append(True)
    return result


_EQUALITY = (FilterOperator.EQ, FilterOperator.NE, FilterOperator.IN, FilterOperator.NIN)
_ONE_VALUE = (FilterOperator.EQ, FilterOperator.NE)
_MATCHING = (FilterOperator.EQ, FilterOperator.IN)
_AND_OR = (FilterCondition.AND, FilterCondition.OR)


def _declarative_one(filter: MetadataFilter) -> Optional[Dict[str, Any]]:
    """One metadata filter in the collection's dict form, if its meaning carries over exactly."""
    key, op, value = filter.key, filter.operator, filter.value
    if not key or "." in key or key.startswith("$"):
        return None  # the dict form would read it as a path or an operator
    if op in _EQUALITY:
        # A missing or None value matches only != and nin, as in LlamaIndex.
        if op in _ONE_VALUE:
            values = [] if value is None else _equal_to([value])
        else:
            values = _equal_to(value) if isinstance(value, list) else None  # `x in "abc"` is a substring test
        if values is None:
            return None
        if op in _MATCHING:
            return {key: {"$in": values}}
        return {key: {"$nin": values}}
    bound = _RANGE.get(op)  # (one hash: an Enum's is computed in Python)
    if bound is not None:
        if value is None:
            return {key: {"$in": []}}  # LlamaIndex: False for a None value, TypeError for any other
        if not _scalar(value):
            return None
        # LlamaIndex raises TypeError where the kinds cannot be ordered; here they never match.
        condition = {key: {bound: value}}
        bools = [] if isinstance(value, str) else [b for b in (False, True) if _ORDER[op](b, value)]
        return {"$or": [condition, {key: {"$in": bools}}]} if bools else condition
    if op == FilterOperator.IS_EMPTY:
        return {"$or": [{key: {"$exists": False}}, {key: {"$in": [None, "", []]}}]}
    return None  # contains, any, all, text_match...: LlamaIndex's predicate


def _declarative(filters: MetadataFilters) -> Optional[Dict[str, Any]]:
    """The collection's dict form of these filters, or None if some part has no exact equivalent."""
    condition = filters.condition or FilterCondition.AND
    if condition not in _AND_OR:
        return None  # not: the dict form has no negation of a group
    parts = []
    for part in filters.filters:
        if isinstance(part, MetadataFilters):
            if not part.filters:
                return None  # an empty group: leave its meaning to LlamaIndex
            converted = _declarative(part)
        else:
            converted = _declarative_one(part)
        if converted is None:
            return None
        parts.append(converted)
    return {"$and" if condition == FilterCondition.AND else "$or": parts}


def _entry_filter(filters: Optional[MetadataFilters]) -> Union[None, Dict[str, Any], Callable[[str, Any], bool]]:
    """The collection's filter for these metadata filters: its dict form where it carries
    LlamaIndex's meaning exactly, answered from the collection's indexes; otherwise
    LlamaIndex's predicate, called per entry. None for no filter."""
    if filters is None or not filters.filters:
        return None
    declarative = _declarative(filters)
    if declarative is not None:
        return declarative
    test = _metadata_predicate(filters)
    return lambda _id, payload: test(payload)


def _check_local(fs: Optional[fsspec.AbstractFileSystem], what: str) -> None:
    # The collection's save is atomic through a rename and fsync on a local
    # directory; a remote file system cannot give that guarantee.
    if fs is not None and not isinstance(fs, LocalFileSystem):
        raise NotImplementedError(
            f"QuillmereVectorStore.{what} works on the local file system only, not on {type(fs).__name__}"
        )


# False forces `_finite` to convert every vector to an array, as it did
# before the shortcut below (the tests run both ways).
FINITE_BY_FSUM = True


def _finite(vector: Any, what: str) -> None:
    """Refuses a NaN or infinite component, naming `what` and its index.

    A NaN would only rank last, and an embedding model that returns one is
    broken: better to say so than to answer. Values that do not convert are
    left to the collection, which reports them in its own words.
    """
    if FINITE_BY_FSUM and type(vector) is list:
        # The shortcut for a query's usual list of floats, a few times cheaper
        # than building an array (on a cold cache above all). fsum reads each
        # item with PyFloat_AsDouble, as the module's conversion and numpy's
        # do for floats and ints, and it returns a finite sum only if every
        # item is finite: a NaN or infinity makes it return NaN or +-inf, or
        # raise ValueError (inf - inf); finite items whose sum overflows make
        # it raise OverflowError. So a finite sum proves there is nothing to
        # refuse. Any other outcome (a non-number raises TypeError) takes the
        # full check below, which finds the index or leaves the error to the
        # collection, exactly as without the shortcut.
        try:
            if math.isfinite(math.fsum(vector)):
                return
        except Exception:
            pass
    try:
        values = np.asarray(vector, dtype=np.float64)
    except (TypeError, ValueError):
        return
    if values.ndim != 1:
        return
    bad = np.flatnonzero(~np.isfinite(values))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"{what} holds {values[i]} at index {i}: embeddings must be finite")


def _no_extra(kwargs: Dict[str, Any], method: str) -> None:
    if kwargs:
        names = ", ".join(repr(name) for name in sorted(kwargs))
        raise TypeError(f"QuillmereVectorStore.{method}() got unexpected keyword arguments: {names}")


class QuillmereVectorStore(BasePydanticVectorStore):
    """An in-memory, exact vector store that keeps the nodes' text and metadata.

    `collection` is the `quillmere_collection.Collection` to use (a new, empty
    one by default, of `vector_size` or, for None, of the size the first add
    fixes). It must hold only entries that a QuillmereVectorStore wrote, as
    `from_persist_path` loads them. `client` returns it. Any other keyword
    but the base class's fields (`stores_text`, `is_embedding_query`) raises
    TypeError.

    Queries score every eligible node by cosine similarity, exactly: the
    similarities are the bits `quillmere.cosine_similarity` gives, best first,
    equal scores in order of addition (a node added again moves to the end).
    """

    stores_text: bool = True

    _collection: Collection = PrivateAttr()
    _docs: Dict[str, Dict[str, None]] = PrivateAttr()  # ref_doc_id -> its node ids
    _lock: Any = PrivateAttr()

    def __init__(
        self, collection: Optional[Collection] = None, *, vector_size: Optional[int] = None, **kwargs: Any
    ) -> None:
        # pydantic would ignore an unknown keyword, and a typo with it.
        _no_extra({name: value for name, value in kwargs.items() if name not in type(self).model_fields}, "__init__")
        if collection is not None and vector_size is not None and collection.vector_size != vector_size:
            raise ValueError(
                f"vector_size is {vector_size} but the collection's vector_size is {collection.vector_size}"
            )
        super().__init__(**kwargs)
        self._collection = Collection(vector_size) if collection is None else collection
        self._lock = threading.RLock()
        self._docs = {}
        for entry in self._collection.items():
            payload = entry.payload
            if not (isinstance(payload, dict) and "_node_content" in payload and isinstance(payload.get(REF_DOC_KEY), str)):
                raise ValueError(f"entry {entry.id!r} of the collection was not written by a QuillmereVectorStore")
            self._link(entry.id, payload)

    @classmethod
    def class_name(cls) -> str:
        return "QuillmereVectorStore"

    @property
    def client(self) -> Collection:
        """The underlying `quillmere_collection.Collection`."""
        return self._collection

    # ------------------------------------------------------ source documents

    def _link(self, node_id: str, payload: Dict[str, Any]) -> None:
        self._docs.setdefault(payload[REF_DOC_KEY], {})[node_id] = None

    def _unlink(self, node_id: str, payload: Dict[str, Any]) -> None:
        doc = payload[REF_DOC_KEY]
        members = self._docs.get(doc)
        if members is not None:
            members.pop(node_id, None)
            if not members:
                del self._docs[doc]

    # ------------------------------------------------------------- changing

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> List[str]:
        """Adds the nodes (each with its embedding); a node id already present is replaced.

        All or nothing: a node without an embedding, an embedding of the wrong
        length or metadata that JSON cannot hold refuses the whole call.
        Returns the node ids.
        """
        _no_extra(add_kwargs, "add")
        ids: List[str] = []
        vectors: List[Any] = []
        payloads: List[Dict[str, Any]] = []
        for node in nodes:
            if node.embedding is None:
                raise ValueError(f"node {node.node_id!r} has no embedding: embed the nodes before adding them")
            _finite(node.embedding, f"the embedding of node {node.node_id!r}")
            ids.append(node.node_id)
            vectors.append(node.embedding)
            # The payload keeps the node without its embedding: the vector is the collection's.
            payloads.append(node_to_metadata_dict(node.model_copy(update={"embedding": None})))
        if not ids:
            return []
        with self._lock:
            replaced = self._collection.get(ids)
            self._collection.add(ids, vectors, payloads)
            for entry in replaced:
                self._unlink(entry.id, entry.payload)
            for node_id, payload in dict(zip(ids, payloads)).items():  # the last of a repeated id wins
                self._link(node_id, payload)
        return ids

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node whose source document is `ref_doc_id`."""
        _no_extra(delete_kwargs, "delete")
        with self._lock:
            members = self._docs.pop(ref_doc_id, None)
            if members:
                self._collection.delete(list(members))

    def delete_nodes(
        self,
        node_ids: Optional[List[str]] = None,
        filters: Optional[MetadataFilters] = None,
        **delete_kwargs: Any,
    ) -> None:
        """Deletes the nodes among `node_ids` that match `filters`.

        As in LlamaIndex's SimpleVectorStore, None means no restriction, so a
        call with neither argument deletes every node; an empty list means no node.
        """
        _no_extra(delete_kwargs, "delete_nodes")
        with self._lock:
            doomed = self._select(node_ids, filters)
            self._collection.delete([entry.id for entry in doomed])
            for entry in doomed:
                self._unlink(entry.id, entry.payload)

    async def adelete_nodes(
        self,
        node_ids: Optional[List[str]] = None,
        filters: Optional[MetadataFilters] = None,
        **delete_kwargs: Any,
    ) -> None:
        """Asynchronous `delete_nodes`; the base class's would drop `delete_kwargs`."""
        self.delete_nodes(node_ids, filters, **delete_kwargs)

    def clear(self) -> None:
        """Deletes every node; the vector size stays as it is."""
        with self._lock:
            self._collection.clear()
            self._docs.clear()

    # -------------------------------------------------------------- reading

    def _select(self, node_ids: Optional[List[str]], filters: Optional[MetadataFilters]) -> List[Entry]:
        entries = self._collection.items() if node_ids is None else self._collection.get(node_ids)
        if filters is None or not filters.filters:
            return list(entries)
        keep = _metadata_predicate(filters)
        return [entry for entry in entries if keep(entry.payload)]

    def get_nodes(
        self,
        node_ids: Optional[List[str]] = None,
        filters: Optional[MetadataFilters] = None,
    ) -> List[BaseNode]:
        """The nodes among `node_ids` (in that order; all, in order of addition, for None) that match `filters`.

        Each node carries its embedding as the store keeps it (float32 values).
        """
        with self._lock:
            chosen = self._select(node_ids, filters)
            vectors = self._collection.vectors([entry.id for entry in chosen])
        nodes = []
        for entry, vector in zip(chosen, vectors):
            node = metadata_dict_to_node(entry.payload)
            node.embedding = vector.tolist()
            nodes.append(node)
        return nodes

    def _restriction(self, node_ids: Optional[List[str]], doc_ids: Optional[List[str]]) -> Optional[List[str]]:
        """The node ids a query may return, or None for all.

        `VectorStoreIndex.as_retriever()` passes `node_ids=[]` to a store that
        keeps its own text, so here an empty list restricts nothing.
        """
        allowed = list(node_ids) if node_ids else None
        if doc_ids:
            in_docs = [node_id for doc in doc_ids for node_id in self._docs.get(doc, ())]
            allowed = in_docs if allowed is None else list(set(allowed).intersection(in_docs))
        return allowed

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The `similarity_top_k` best nodes for `query.query_embedding`.

        Honours `node_ids` and `doc_ids` (both restrict; an empty list
        restricts nothing) and `filters`. Modes: "default", and "mmr" with
        `mmr_threshold` (in [0, 1], default 0.5) given either in the query or
        as a keyword; the candidates are the `mmr_prefetch_k` best nodes, or
        `similarity_top_k * mmr_prefetch_factor` (4 by default). MMR returns
        the chosen nodes in the order chosen, each with its exact
        similarity, not its MMR value. Other modes raise ValueError.
        """
        if kwargs:
            _no_extra({name: value for name, value in kwargs.items() if name not in QUERY_KWARGS}, "query")
        mode = query.mode
        if mode is not VectorStoreQueryMode.DEFAULT:  # the usual mode needs no Enum call
            mode = VectorStoreQueryMode(mode)
        if mode not in SUPPORTED_MODES:
            raise ValueError(
                f"QuillmereVectorStore does not support query mode {mode.value!r}; "
                f"it supports {', '.join(repr(m.value) for m in SUPPORTED_MODES)}"
            )
        if query.query_embedding is None:
            raise ValueError("the query has no query_embedding: QuillmereVectorStore searches by embedding")
        _finite(query.query_embedding, "the query_embedding")
        keep = _entry_filter(query.filters)
        with self._lock:
            allowed = self._restriction(query.node_ids, query.doc_ids)
            if mode == VectorStoreQueryMode.MMR:
                threshold = self._mmr_threshold(query, kwargs.get("mmr_threshold"))
                fetch_k = self._mmr_fetch_k(query.similarity_top_k, kwargs.get("mmr_prefetch_k"), kwargs.get("mmr_prefetch_factor"))
                hits = self._collection.mmr(
                    query.query_embedding, query.similarity_top_k, fetch_k=fetch_k, lambda_mult=threshold, filter=keep, ids=allowed
                )
            else:
                hits = self._collection.search(query.query_embedding, query.similarity_top_k, filter=keep, ids=allowed)
        return VectorStoreQueryResult(
            nodes=[metadata_dict_to_node(hit.payload) for hit in hits],
            similarities=[hit.score for hit in hits],
            ids=[hit.id for hit in hits],
        )

    @staticmethod
    def _mmr_threshold(query: VectorStoreQuery, keyword: Optional[float]) -> float:
        # The retriever passes it as a keyword (vector_store_kwargs); callers
        # that build the query themselves may set the field.
        if keyword is not None and query.mmr_threshold is not None and float(keyword) != float(query.mmr_threshold):
            raise ValueError(
                f"mmr_threshold is {keyword} as a keyword but {query.mmr_threshold} in the query: give one"
            )
        threshold = keyword if keyword is not None else query.mmr_threshold
        threshold = DEFAULT_MMR_THRESHOLD if threshold is None else float(threshold)
        if not 0.0 <= threshold <= 1.0:
            raise ValueError(f"mmr_threshold must be between 0 and 1, got {threshold}")
        return threshold

    @staticmethod
    def _mmr_fetch_k(top_k: int, prefetch_k: Optional[int], prefetch_factor: Optional[float]) -> int:
        if prefetch_k is not None and prefetch_factor is not None:
            raise ValueError("give mmr_prefetch_k or mmr_prefetch_factor, not both")
        if prefetch_k is None:
            factor = DEFAULT_MMR_PREFETCH_FACTOR if prefetch_factor is None else float(prefetch_factor)
            prefetch_k = math.ceil(top_k * factor)
        return max(int(prefetch_k), top_k)

    # ---------------------------------------------------------- persistence

    def persist(self, persist_path: str, fs: Optional[fsspec.AbstractFileSystem] = None) -> None:
        """Saves the store as a directory at `persist_path`, atomically.

        Load it back by passing the store to the storage context:

            store = QuillmereVectorStore.from_persist_dir(persist_dir)
            load_index_from_storage(StorageContext.from_defaults(vector_store=store, persist_dir=persist_dir))

        Without `vector_store=`, LlamaIndex tries to read the save as a
        SimpleVectorStore file and fails with IsADirectoryError.

        `StorageContext.persist(dir)` passes `dir/default__vector_store.json`,
        which becomes a directory of that name (the collection's save:
        vectors, entries and a manifest). Saving over an earlier save replaces
        it; a crash leaves the earlier one intact. A file already at that
        path (such as a SimpleVectorStore's) raises FileExistsError and is
        left as it is. Local file system only.
        """
        _check_local(fs, "persist")
        if os.path.isfile(persist_path):
            raise FileExistsError(
                f"{persist_path!r} is a file (a SimpleVectorStore writes its JSON under this name), "
                "so a QuillmereVectorStore cannot save its directory there: persist into another "
                "directory, or remove the file if it is no longer needed"
            )
        with self._lock:
            self._collection.save(persist_path)

    @classmethod
    def from_persist_path(
        cls, persist_path: str, fs: Optional[fsspec.AbstractFileSystem] = None
    ) -> "QuillmereVectorStore":
        """A store loaded from a directory written by `persist`.

        A truncated or altered save raises `quillmere_collection.CorruptSaveError`.
        """
        _check_local(fs, "from_persist_path")
        if os.path.isfile(persist_path):
            raise FileNotFoundError(
                f"{persist_path!r} is a file, not a QuillmereVectorStore save (a directory): "
                "it may be a SimpleVectorStore's, which SimpleVectorStore.from_persist_path reads"
            )
        return cls(Collection.load(persist_path))

    @classmethod
    def from_persist_dir(
        cls,
        persist_dir: str = DEFAULT_PERSIST_DIR,
        namespace: str = DEFAULT_VECTOR_STORE,
        fs: Optional[fsspec.AbstractFileSystem] = None,
    ) -> "QuillmereVectorStore":
        """The store that `StorageContext.persist(persist_dir)` saved under `namespace`."""
        return cls.from_persist_path(
            os.path.join(persist_dir, f"{namespace}{NAMESPACE_SEP}{DEFAULT_PERSIST_FNAME}"), fs=fs
        )
