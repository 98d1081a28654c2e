"""LangChain's standard vector store suite, run unmodified against QuillmereVectorStore."""

from collections.abc import Iterator

import pytest
from langchain_core.vectorstores import VectorStore
from langchain_tests.integration_tests import VectorStoreIntegrationTests

from langchain_quillmere import QuillmereVectorStore


class TestQuillmereVectorStore(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self) -> Iterator[VectorStore]:  # type: ignore[override]
        yield QuillmereVectorStore(self.get_embeddings())
