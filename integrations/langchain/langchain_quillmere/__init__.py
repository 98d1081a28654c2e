"""LangChain integration for quillmere: `QuillmereVectorStore`, an exact in-memory vector store."""

from importlib import metadata

from langchain_quillmere.vectorstores import QuillmereVectorStore

try:
    __version__ = metadata.version(__package__ or "langchain_quillmere")
except metadata.PackageNotFoundError:  # running from a source tree
    __version__ = ""

__all__ = ["QuillmereVectorStore", "__version__"]
