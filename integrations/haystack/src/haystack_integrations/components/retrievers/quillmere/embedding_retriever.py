"""QuillmereEmbeddingRetriever: exact embedding retrieval from a QuillmereDocumentStore."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Union

from haystack import Document, component, default_from_dict, default_to_dict
from haystack.document_stores.types import FilterPolicy, apply_filter_policy

from haystack_integrations.document_stores.quillmere import QuillmereDocumentStore


@component
class QuillmereEmbeddingRetriever:
    """Retrieves the documents most similar to a query embedding, exactly, from a `QuillmereDocumentStore`.

    A drop-in for Haystack's `InMemoryEmbeddingRetriever` with cosine
    similarity: scores are the bits `quillmere.cosine_similarity` gives,
    best first, ties in order of writing.

    :param document_store: the `QuillmereDocumentStore` to search.
    :param filters: filters applied to every run (see `filter_policy`).
    :param top_k: the number of documents to return; must be greater than 0.
    :param scale_score: with True, a cosine c is returned as (c + 1) / 2, in [0, 1].
    :param return_embedding: with True, the documents carry their stored embeddings.
    :param filter_policy: REPLACE (run-time filters replace these) or MERGE
        (both apply), as Haystack's `apply_filter_policy` combines them.
    """

    def __init__(
        self,
        document_store: QuillmereDocumentStore,
        filters: Optional[Dict[str, Any]] = None,
        top_k: int = 10,
        scale_score: bool = False,
        return_embedding: bool = False,
        filter_policy: Union[str, FilterPolicy] = FilterPolicy.REPLACE,
    ) -> None:
        if not isinstance(document_store, QuillmereDocumentStore):
            raise TypeError(
                f"document_store must be a QuillmereDocumentStore, not {type(document_store).__name__}"
            )
        if top_k <= 0:
            raise ValueError(f"top_k must be greater than 0, but got {top_k}")
        self.document_store = document_store
        self.filters = filters
        self.top_k = top_k
        self.scale_score = scale_score
        self.return_embedding = return_embedding
        self.filter_policy = (
            filter_policy if isinstance(filter_policy, FilterPolicy) else FilterPolicy.from_str(filter_policy)
        )

    def to_dict(self) -> Dict[str, Any]:
        return default_to_dict(
            self,
            document_store=self.document_store,
            filters=self.filters,
            top_k=self.top_k,
            scale_score=self.scale_score,
            return_embedding=self.return_embedding,
            filter_policy=self.filter_policy.value,
        )

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "QuillmereEmbeddingRetriever":
        return default_from_dict(cls, data)

    @component.output_types(documents=List[Document])
    def run(
        self,
        query_embedding: List[float],
        filters: Optional[Dict[str, Any]] = None,
        top_k: Optional[int] = None,
        scale_score: Optional[bool] = None,
        return_embedding: Optional[bool] = None,
    ) -> Dict[str, List[Document]]:
        """The documents most similar to `query_embedding`; None arguments take the retriever's settings.

        `top_k` may be 0 here (no documents); a negative one raises `ValueError`.
        """
        docs = self.document_store.embedding_retrieval(
            query_embedding=query_embedding,
            filters=apply_filter_policy(self.filter_policy, self.filters, filters),
            top_k=self.top_k if top_k is None else top_k,
            scale_score=self.scale_score if scale_score is None else scale_score,
            return_embedding=self.return_embedding if return_embedding is None else return_embedding,
        )
        return {"documents": docs}

    @component.output_types(documents=List[Document])
    async def run_async(
        self,
        query_embedding: List[float],
        filters: Optional[Dict[str, Any]] = None,
        top_k: Optional[int] = None,
        scale_score: Optional[bool] = None,
        return_embedding: Optional[bool] = None,
    ) -> Dict[str, List[Document]]:
        """As `run`: the search is computation in memory, with nothing to wait for."""
        return self.run(query_embedding, filters, top_k, scale_score, return_embedding)
