"""Haystack's own document store suite, run unmodified against QuillmereDocumentStore."""

import numpy as np
import pytest
from haystack import Document
from haystack.document_stores.errors import DuplicateDocumentError
from haystack.document_stores.types import DuplicatePolicy
from haystack.testing.document_store import CountDocumentsByFilterTest, DocumentStoreBaseExtendedTests

from haystack_integrations.document_stores.quillmere import QuillmereDocumentStore


def as_stored(doc):
    """The document as the store keeps it: its embedding in float32."""
    if doc.embedding is None:
        return doc
    return Document.from_dict({**doc.to_dict(flatten=False), "embedding": np.float32(doc.embedding).tolist()})


class TestQuillmereDocumentStore(DocumentStoreBaseExtendedTests, CountDocumentsByFilterTest):
    @pytest.fixture
    def document_store(self):
        return QuillmereDocumentStore(shared=False)

    # The suite's documented hook for a store that returns documents differently:
    # these embeddings come back as float32 values, bit for bit; all else is equal.
    @staticmethod
    def assert_documents_are_equal(received, expected):
        assert received == [as_stored(doc) for doc in expected]

    # The suite leaves the default policy to the store and asks for this test.
    def test_write_documents(self, document_store):
        docs = [Document(id="1", content="one"), Document(id="2", content="two")]
        assert document_store.write_documents(docs) == 2
        with pytest.raises(DuplicateDocumentError):
            document_store.write_documents([Document(id="3"), Document(id="1", content="again")])
        assert document_store.filter_documents() == docs
        assert document_store.write_documents([Document(id="1", content="new")], DuplicatePolicy.OVERWRITE) == 1
