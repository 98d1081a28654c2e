"""What the standard suite leaves out: agreement with InMemoryVectorStore, filters, relevance, dump/load."""

import datetime
import math
import os
import warnings

import pytest
from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings
from langchain_core.vectorstores import InMemoryVectorStore
from quillmere_collection import Collection, CorruptSaveError

import quillmere
from langchain_quillmere import QuillmereVectorStore
from langchain_quillmere.vectorstores import relevance

EMBEDDING = DeterministicFakeEmbedding(size=16)
N = 300
FILTERS = {
    "none": None,
    "rare": lambda doc: doc.metadata["bucket"] == 3,  # 3 documents, fewer than k
    "common": lambda doc: doc.metadata["bucket"] < 50,
    "rare as data": {"bucket": 3},
    "common as data": {"$or": [{"bucket": {"$lt": 50}}, {"absent": {"$exists": True}}]},
}
# What InMemoryVectorStore, which takes callables only, is given for the dict forms.
CALLABLES = {"rare as data": FILTERS["rare"], "common as data": FILTERS["common"]}


def populate(store):
    store.add_texts(
        [f"text {i}" for i in range(N)], [{"bucket": i % 100, "i": i} for i in range(N)], ids=[str(i) for i in range(N)]
    )
    store.delete([str(i) for i in range(0, N, 7)])
    store.add_documents([Document(id="5", page_content="five again", metadata={"bucket": 3})])
    return store


@pytest.fixture(scope="module")
def pair():
    return populate(QuillmereVectorStore(EMBEDDING)), populate(InMemoryVectorStore(EMBEDDING))


@pytest.mark.parametrize("name", FILTERS)
@pytest.mark.parametrize("query", ["text 3", "five again", "unrelated"])
async def test_answers_match_in_memory_vector_store(pair, name, query):
    ours, theirs = pair
    filter, their_filter = FILTERS[name], CALLABLES.get(name, FILTERS[name])
    for k in (1, 4, N):
        got = ours.similarity_search_with_score(query, k, filter=filter)
        want = theirs.similarity_search_with_score(query, k, filter=their_filter)
        assert [doc for doc, _ in got] == [doc for doc, _ in want]
        assert [score for _, score in got] == pytest.approx([score for _, score in want], abs=1e-6)
        assert await ours.asimilarity_search(query, k, filter=filter) == [doc for doc, _ in got]
    for lambda_mult in (0.25, 0.75):
        got = ours.max_marginal_relevance_search(query, 4, 20, lambda_mult, filter=filter)
        assert got == theirs.max_marginal_relevance_search(query, 4, 20, lambda_mult, filter=their_filter)
        assert got == await ours.amax_marginal_relevance_search(query, 4, 20, lambda_mult, filter=filter)


def test_relevance_is_the_mapped_module_cosine(pair):
    ours, _ = pair
    query = EMBEDDING.embed_query("text 3")
    scored = ours.similarity_search_with_relevance_scores("text 3", 50, score_threshold=0.8)
    assert 0 < len(scored) < 50
    for doc, score in scored:
        (stored,) = ours.collection.vectors([doc.id])
        # The documented mapping, (1 + cosine) / 2 clamped to [0, 1], of the module's cosine.
        assert score == min(1.0, max(0.0, (1.0 + quillmere.cosine_similarity(query, stored)) / 2.0)) >= 0.8


@pytest.mark.parametrize(
    "cosine, mapped",
    [(1.0000001192092896, 1.0), (1.0, 1.0), (0.5, 0.75), (0.0, 0.5), (-1.0, 0.0), (-1.0000001192092896, 0.0)],
)
def test_relevance_mapping(cosine, mapped):
    assert relevance(cosine) == mapped
    assert math.isnan(relevance(math.nan))


class Ones(Embeddings):
    def embed_documents(self, texts):
        return [[1.0, 1.0] for _ in texts]

    def embed_query(self, text):
        return [1.0, 1.0]


def test_relevance_stays_in_range_when_float32_cosine_exceeds_one():
    store = QuillmereVectorStore.from_texts(["a"], Ones())
    ((_, cosine),) = store.similarity_search_with_score("a", 1)
    assert cosine == 1.0000001192092896  # as quillmere.cosine_similarity([1, 1], [1, 1])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # LangChain warns of relevance scores outside [0, 1]
        assert store.similarity_search_with_relevance_scores("a", 1)[0][1] == 1.0


def answer(store):
    return [(doc.id, score) for doc, score in store.similarity_search_with_score("a", 5)]


def small_store():
    store = QuillmereVectorStore(EMBEDDING)
    store.add_texts(["a", "b", "c"], [{"pair": (1, 2)}, {"nested": {"x": [1]}}, {}], ids=["a", "b", "c"])
    store.delete(["b"])
    return store


def test_dump_and_load(tmp_path):
    store = small_store()
    assert repr(store) == "QuillmereVectorStore(embedding=DeterministicFakeEmbedding, vector_size=16, documents=2)"
    store.dump(tmp_path / "new" / "saved.json")
    assert os.listdir(tmp_path / "new") == ["saved.json"]  # one file, and nothing left beside it
    loaded = QuillmereVectorStore.load(tmp_path / "new" / "saved.json", EMBEDDING)
    assert loaded.get_by_ids(["a", "c"]) == [
        Document(id="a", page_content="a", metadata={"pair": [1, 2]}),
        Document(id="c", page_content="c", metadata={}),
    ]
    assert answer(loaded) == answer(store)
    # Metadata json cannot write is accepted, as by InMemoryVectorStore, but refused by dump.
    loaded.add_texts(["d"], [{"when": datetime.date(2024, 1, 2)}], ids=["d"])
    with pytest.raises(TypeError, match="payload of id 'd' is not JSON-serialisable"):
        loaded.dump(tmp_path / "new" / "saved.json")
    assert os.listdir(tmp_path / "new") == ["saved.json"]
    assert answer(QuillmereVectorStore.load(tmp_path / "new" / "saved.json", EMBEDDING)) == answer(store)  # the dump before


def test_directory_dumps_of_earlier_versions_still_load_and_update(tmp_path):
    store = small_store()
    store.collection.save(tmp_path / "saved")  # what dump wrote before it wrote one file
    assert answer(QuillmereVectorStore.load(tmp_path / "saved", EMBEDDING)) == answer(store)
    store.add_texts(["e"], ids=["e"])
    store.dump(tmp_path / "saved")  # an existing dump directory keeps its form
    assert os.path.isdir(tmp_path / "saved")
    assert answer(QuillmereVectorStore.load(tmp_path / "saved", EMBEDDING)) == answer(store)


def test_every_damaged_dump_raises_corrupt_save_error(tmp_path):
    store = small_store()
    path = tmp_path / "saved.json"
    store.dump(path)
    data = path.read_bytes()
    intact = QuillmereVectorStore.load(path, EMBEDDING).get_by_ids(["a", "c"])
    damaged = [data[:n] for n in range(0, len(data), 97)]
    damaged += [data[:i] + bytes([data[i] ^ (1 << (i % 8))]) + data[i + 1 :] for i in range(len(data))]
    caught = 0
    for copy in damaged:
        path.write_bytes(copy)
        try:
            loaded = QuillmereVectorStore.load(path, EMBEDDING)
        except CorruptSaveError as error:
            assert str(path) in str(error)
            caught += 1
        else:  # a flip in a field that nothing reads (a timestamp, say) changes nothing
            assert answer(loaded) == answer(store) and loaded.get_by_ids(["a", "c"]) == intact
    assert caught > len(damaged) // 2  # zip headers hold a few fields nothing reads; the rest are checked


def test_load_imports_an_in_memory_vector_store_dump(pair, tmp_path):
    ours, theirs = pair
    theirs.dump(str(tmp_path / "in-memory.json"))
    imported = QuillmereVectorStore.load(tmp_path / "in-memory.json", EMBEDDING)
    assert repr(imported) == f"QuillmereVectorStore(embedding=DeterministicFakeEmbedding, vector_size=16, documents={len(theirs.store)})"
    for query in ("text 3", "five again"):
        want = theirs.similarity_search_with_score(query, 10)
        got = imported.similarity_search_with_score(query, 10)
        assert [doc for doc, _ in got] == [doc for doc, _ in want]
        assert [score for _, score in got] == pytest.approx([score for _, score in want], abs=1e-6)
    (tmp_path / "other.json").write_text('{"not": "a store"}')
    with pytest.raises(CorruptSaveError, match="other.json.*neither a QuillmereVectorStore dump nor an InMemoryVectorStore dump"):
        QuillmereVectorStore.load(tmp_path / "other.json", EMBEDDING)


class Broken(Embeddings):
    """An embedding model that puts a non-finite value into one embedding."""

    def __init__(self, bad):
        self.bad = bad

    def embed_documents(self, texts):
        return [[1.0, self.bad if text == "broken" else 2.0] for text in texts]

    def embed_query(self, text):
        return self.embed_documents([text])[0]


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf], ids=["nan", "inf", "-inf"])
def test_non_finite_embeddings_and_queries_are_refused(bad):
    store = QuillmereVectorStore(Broken(bad))
    store.add_texts(["fine"], ids=["fine"])
    with pytest.raises(ValueError, match=f"the embedding of document 'x' holds {bad} at index 1"):
        store.add_texts(["ok", "broken"], ids=["ok", "x"])
    assert store.get_by_ids(["ok", "x"]) == []
    for search in (
        lambda: store.similarity_search("broken"),
        lambda: store.similarity_search_by_vector([1.0, bad]),
        lambda: store.max_marginal_relevance_search("broken"),
        lambda: store.similarity_search_with_relevance_scores("broken"),
    ):
        with pytest.raises(ValueError, match=f"the query embedding holds {bad} at index 1"):
            search()


def test_load_refuses_a_collection_of_other_payloads(tmp_path):
    collection = Collection(3)
    collection.add(["x"], [[1, 2, 3]], [{"title": "not a document"}])
    collection.save(tmp_path / "saved")
    with pytest.raises(ValueError, match="not one of documents: see the entry 'x'"):
        QuillmereVectorStore.load(tmp_path / "saved", EMBEDDING)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.similarity_search("a", filter=["bucket"]), TypeError, "filter must be a callable"),
        (lambda s: s.similarity_search("a", filter={"bucket": {"$gt": None}}), ValueError, "'metadata.bucket', operator '.gt'"),
        (lambda s: s.add_texts(["a", "b"], ids=["1"]), ValueError, "got 1 ids and 2 texts"),
        (lambda s: s.add_texts(["a"], ids=[1]), TypeError, r"ids\[0\] is int"),
        (lambda s: s.add_documents([Document(page_content="a")] * 2, ids=["1"]), ValueError, "1 ids and 2 documents"),
    ],
    ids=["list-filter", "bad-dict-filter", "texts-ids-length", "int-id", "documents-ids-length"],
)
def test_refusals(call, error, message):
    store = QuillmereVectorStore(EMBEDDING)
    store.add_texts(["kept"], ids=["kept"])
    with pytest.raises(error, match=message):
        call(store)
    assert store.get_by_ids(["kept", "a", "1"]) == [Document(id="kept", page_content="kept")]
    assert store.delete(None) is False and store.delete(["kept"]) is True and store.get_by_ids(["kept"]) == []


class AsyncOnlyEmbedding(Embeddings):
    """Native async embeddings: the async methods must not fall back to the sync ones."""

    def embed_documents(self, texts):
        raise AssertionError("sync embed_documents called")

    def embed_query(self, text):
        raise AssertionError("sync embed_query called")

    async def aembed_documents(self, texts):
        return EMBEDDING.embed_documents(texts)

    async def aembed_query(self, text):
        return EMBEDDING.embed_query(text)


async def test_async_methods_use_async_embeddings():
    store = await QuillmereVectorStore.afrom_texts(["a", "b"], AsyncOnlyEmbedding(), [{"n": 1}, {"n": 2}])
    await store.aadd_documents([Document(page_content="c")], ids=["c"])
    assert [doc.page_content for doc in await store.asimilarity_search("c", 1)] == ["c"]
    assert len(await store.asimilarity_search_with_relevance_scores("c", 3)) == 3
    assert len(await store.amax_marginal_relevance_search("c", 2, filter=lambda doc: doc.id != "c")) == 2
    # The base class's defaults, run in an executor, and the retriever.
    vector = EMBEDDING.embed_query("c")
    assert [doc.id for doc in await store.asimilarity_search_by_vector(vector, 1)] == ["c"]
    chosen = await store.amax_marginal_relevance_search_by_vector(vector, 2, filter=lambda doc: doc.id != "c")
    assert len(chosen) == 2 and "c" not in [doc.id for doc in chosen]
    retriever = store.as_retriever(search_type="similarity_score_threshold", search_kwargs={"score_threshold": 0.99})
    assert [doc.id for doc in await retriever.ainvoke("c")] == ["c"]
    await store.adelete(["c"])
    assert await store.aget_by_ids(["c"]) == []
