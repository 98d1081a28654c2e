from .document_store import QuillmereDocumentStore

__all__ = ["QuillmereDocumentStore"]
