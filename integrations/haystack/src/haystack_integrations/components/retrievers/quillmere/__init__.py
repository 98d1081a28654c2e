from .embedding_retriever import QuillmereEmbeddingRetriever

__all__ = ["QuillmereEmbeddingRetriever"]
