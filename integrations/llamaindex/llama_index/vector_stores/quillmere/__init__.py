"""LlamaIndex vector store on quillmere: exact, reproducible cosine search in memory."""

from llama_index.vector_stores.quillmere.base import QuillmereVectorStore

__all__ = ["QuillmereVectorStore"]
