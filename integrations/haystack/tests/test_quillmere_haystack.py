"""What Haystack's suite does not check: exactness, tie order, policies, persistence, pipelines."""

import random
from datetime import datetime

import numpy as np
import pytest
from haystack import Document, Pipeline, component
from haystack.dataclasses import ByteStream
from haystack.document_stores.errors import DuplicateDocumentError
from haystack.document_stores.types import DuplicatePolicy, FilterPolicy
from haystack.errors import FilterError
from haystack.utils.filters import document_matches_filter

import quillmere
from haystack_integrations.components.retrievers.quillmere import QuillmereEmbeddingRetriever
from haystack_integrations.document_stores.quillmere import QuillmereDocumentStore

D = 8


def make_docs(n, seed=0):
    """Random embeddings, every 7th repeated from the one before (ties), every 50th without one."""
    rng = random.Random(seed)
    docs, previous = [], None
    for i in range(n):
        embedding = previous if i % 7 == 0 and previous else [rng.gauss(0, 1) for _ in range(D)]
        previous = embedding
        docs.append(
            Document(id=f"d{i}", content=f"text {i}", meta={"i": i, "bucket": i % 100, "half": i % 2},
                     embedding=None if i % 50 == 3 else embedding)
        )
    return docs


def expected(query, docs, k, keep=lambda doc: True):
    """Every embedded document scored by quillmere.cosine_similarity, stable sort: ties in order of writing."""
    scored = [(quillmere.cosine_similarity(query, d.embedding), d.id) for d in docs if d.embedding is not None and keep(d)]
    return sorted(scored, key=lambda pair: -pair[0])[:k]


def answer(docs):
    return [(d.score, d.id) for d in docs]


@pytest.fixture
def store():
    return QuillmereDocumentStore(shared=False)


@pytest.mark.parametrize(
    "filters, keep",
    [
        (None, lambda d: True),
        ({"field": "meta.bucket", "operator": "==", "value": 42}, lambda d: d.meta["bucket"] == 42),  # 1%
        ({"field": "meta.half", "operator": "==", "value": 1}, lambda d: d.meta["half"] == 1),  # 50%
    ],
)
def test_retrieval_is_exact_with_ties_in_order_of_writing(store, filters, keep):
    docs = make_docs(320)
    store.write_documents(docs)
    # Rewriting moves a document to the end of the order, and so after its ties.
    store.write_documents([docs[7]], DuplicatePolicy.OVERWRITE)
    docs = docs[:7] + docs[8:] + [docs[7]]
    by_id = {d.id: d for d in docs}
    retriever = QuillmereEmbeddingRetriever(store, filters=filters)
    rng = random.Random(1)
    for query in [docs[6].embedding, [rng.gauss(0, 1) for _ in range(D)]]:
        for k in (1, 10, 400):
            got = retriever.run(query, top_k=k, return_embedding=True)["documents"]
            assert answer(got) == expected(query, docs, k, keep)
            assert all(d.embedding == np.float32(by_id[d.id].embedding).tolist() for d in got)
        scaled = retriever.run(query, scale_score=True)["documents"]
        assert [d.score for d in scaled] == [(s + 1) / 2 for s, _ in expected(query, docs, 10, keep)]


def test_documents_without_embedding_are_stored_filtered_never_retrieved(store):
    store.write_documents([Document(id="a", content="no vector"), Document(id="b", meta={"x": 1})])
    assert store.embedding_retrieval([1.0, 2.0]) == []  # no embedding at all yet: empty, as in Haystack
    # The first embedding fixes the length, whatever the NaN rows had before.
    store.write_documents([Document(id="c", embedding=[0.0, 1.0, 0.0])])
    assert answer(store.embedding_retrieval([0.0, 1.0, 0.0], top_k=5)) == [(1.0, "c")]
    assert [d.id for d in store.filter_documents({"field": "embedding", "operator": "==", "value": None})] == ["a", "b"]
    with pytest.raises(ValueError, match="length 2, but the stored embeddings have length 3"):
        store.write_documents([Document(id="d", embedding=[1.0, 2.0])])
    with pytest.raises(ValueError, match="query has length 2"):
        store.embedding_retrieval([1.0, 2.0])
    store.delete_documents(["c"])
    store.write_documents([Document(id="e", embedding=[1.0, 2.0])])  # no embedding left: any length again
    assert [d.id for d in store.filter_documents()] == ["a", "b", "e"]


@pytest.mark.parametrize("policy", [DuplicatePolicy.NONE, DuplicatePolicy.FAIL, DuplicatePolicy.SKIP, DuplicatePolicy.OVERWRITE])
def test_duplicate_policies(store, policy):
    store.write_documents([Document(id="1", content="old", embedding=[1.0, 0.0]), Document(id="2", content="two")])
    batch = [Document(id="3", content="new"), Document(id="1", content="new", embedding=[0.0, 1.0]),
             Document(id="3", content="newer")]
    before = store.filter_documents()
    if policy in (DuplicatePolicy.NONE, DuplicatePolicy.FAIL):
        with pytest.raises(DuplicateDocumentError, match="ID '1' already exists"):
            store.write_documents(batch, policy)
        assert store.filter_documents() == before  # all or nothing
        return
    written = store.write_documents(batch, policy)
    docs = {d.id: d for d in store.filter_documents()}
    if policy == DuplicatePolicy.SKIP:
        assert written == 1 and list(docs) == ["1", "2", "3"]
        assert (docs["1"].content, docs["3"].content) == ("old", "new")
    else:
        assert written == 3 and list(docs) == ["2", "1", "3"]  # rewritten ids move to the end
        assert (docs["1"].content, docs["1"].embedding, docs["3"].content) == ("new", [0.0, 1.0], "newer")


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.write_documents([Document(id="x", embedding=[1.0, 2.0, 3.0])]),
        lambda s: s.write_documents([Document(id="x", embedding=[1.0, 2.0]), Document(id="y", embedding=[1.0])]),
        lambda s: s.write_documents([Document(id="x", embedding=[1.0, "a"])]),
        lambda s: s.delete_by_filter({"field": "meta.i", "operator": "in", "value": 3}),
        lambda s: s.update_by_filter({"operator": "AND"}, {"z": 1}),
        lambda s: s.delete_by_filter({}),
        lambda s: s.write_documents([Document(id="n", content="a"), Document(id="n", content="b")]),
    ],
    ids=["length", "lengths-in-batch", "not-a-number", "in-not-list", "no-conditions", "empty-filter", "repeated-id"],
)
def test_refused_calls_change_nothing(store, call):
    store.write_documents(make_docs(4, seed=2)[:3])
    before = store.filter_documents()
    with pytest.raises((ValueError, TypeError, FilterError, DuplicateDocumentError)):
        call(store)
    assert store.filter_documents() == before


def test_update_by_filter_merges_meta_and_moves_documents_to_the_end(store):
    store.write_documents(make_docs(6, seed=3))
    assert store.update_by_filter({"field": "meta.half", "operator": "==", "value": 0}, {"half": 9, "new": True}) == 3
    docs = store.filter_documents()
    assert [(d.id, d.meta["half"], d.meta.get("new")) for d in docs] == [
        ("d1", 1, None), ("d3", 1, None), ("d5", 1, None), ("d0", 9, True), ("d2", 9, True), ("d4", 9, True)]
    assert docs[3].embedding == np.float32(make_docs(6, seed=3)[0].embedding).tolist()


def test_save_and_load_round_trip(tmp_path, store):
    docs = make_docs(120, seed=4)
    docs[5] = Document(id="d5", content="blob", blob=ByteStream(b"\x00\xff", mime_type="x/y"), meta={"n": [1, {"a": None}]},
                       score=0.25, embedding=docs[5].embedding)
    store.write_documents(docs)
    store.delete_documents(["d9"])
    store.save_to_disk(str(tmp_path / "s"))
    store.write_documents([Document(id="late", embedding=docs[0].embedding)])
    store.save_to_disk(str(tmp_path / "s"))  # replaces the earlier save
    loaded = QuillmereDocumentStore.load_from_disk(str(tmp_path / "s"), shared=False)
    assert loaded.filter_documents() == store.filter_documents()
    query = docs[0].embedding
    assert answer(loaded.embedding_retrieval(query, top_k=50)) == answer(store.embedding_retrieval(query, top_k=50))
    QuillmereDocumentStore.load_from_disk(str(tmp_path / "s"), index="taken")
    with pytest.raises(ValueError, match="index 'taken' already holds 120 documents"):
        QuillmereDocumentStore.load_from_disk(str(tmp_path / "s"), index="taken")
    store.write_documents([Document(id="bad", meta={"when": object()})])  # kept in memory, as Haystack does
    with pytest.raises(TypeError, match="payload of id 'bad'"):
        store.save_to_disk(str(tmp_path / "s"))


def test_shared_index_and_store_serialisation():
    a = QuillmereDocumentStore(index="shared-test")
    a.write_documents([Document(id="1", embedding=[1.0, 0.0])])
    b = QuillmereDocumentStore.from_dict(a.to_dict())
    assert b.filter_documents() == a.filter_documents() and b.to_dict() == a.to_dict()
    b.delete_all_documents()
    assert a.count_documents() == 0
    assert QuillmereDocumentStore(shared=False, index="shared-test").count_documents() == 0


@component
class CharacterEmbedder:
    """A deterministic text embedder: letter counts a..h."""

    @component.output_types(embedding=list[float])
    def run(self, text: str):
        return {"embedding": [float(text.count(c)) for c in "abcdefgh"]}


def test_pipeline_serialises_and_runs():
    store = QuillmereDocumentStore()
    texts = ["abba", "cafe", "bead", "hedge", "faced", "abba"]
    embedder = CharacterEmbedder()
    store.write_documents([Document(id=f"t{i}", content=t, meta={"i": i}, embedding=embedder.run(t)["embedding"])
                           for i, t in enumerate(texts)])
    pipeline = Pipeline()
    pipeline.add_component("embedder", embedder)
    pipeline.add_component("retriever", QuillmereEmbeddingRetriever(
        store, filters={"field": "meta.i", "operator": "<", "value": 5}, top_k=3, filter_policy="merge"))
    pipeline.connect("embedder.embedding", "retriever.query_embedding")
    again = Pipeline.loads(pipeline.dumps(), allowed_modules=[CharacterEmbedder.__module__])  # the test embedder only
    assert again.get_component("retriever").filter_policy == FilterPolicy.MERGE
    runtime = {"field": "content", "operator": "!=", "value": "bead"}  # merged: both apply
    for p in (pipeline, again):
        got = p.run({"embedder": {"text": "abba"}, "retriever": {"filters": runtime}})["retriever"]["documents"]
        query = embedder.run("abba")["embedding"]
        want = expected(query, store.filter_documents(), 3, lambda d: d.meta["i"] < 5 and d.content != "bead")
        assert answer(got) == want and got[0].embedding is None


# ------------------------------------------------ compiled filters

def odd_docs(with_odd):
    """Meta with missing keys, None, bools, ints and floats, unicode, lists, dicts and ISO dates.

    `n` holds only numbers, bools and None (ranges compile there); `m` mixes
    every kind (equality compiles, ranges fall back, and Haystack raises);
    `with_odd` adds values Python compares by rules of their own.
    """
    rng = random.Random(5)
    n_values = [0, 1, -0.0, 1.0, 2.5, -3, 2**60, float("inf"), True, False, None]
    m_values = [1, 0, True, False, None, 1.0, "a", "é", "日本", "", ["a", "b"], [], [1, True], ["a", None],
                {"x": "y"}, {"x": 1}, "2020-01-01", 2.5]
    if with_odd:
        m_values += [(1, 2), datetime(2020, 1, 1), np.int64(1)]
    docs = []
    for i in range(90):
        meta = {}
        for key, pool in (("n", n_values), ("m", m_values), ("tags", [["a", "é"], ["b"], [], "a"]),
                          ("nested", [{"k": 1}, {"k": "a"}, {"k": None}, {}, "k"]),
                          ("d", ["2020-01-01", "2021-06-30T12:00:00", "1999-12-31"])):
            if rng.random() < 0.8:
                meta[key] = rng.choice(pool)
        docs.append(Document(id=f"o{i}", content=rng.choice(["a", "é", "", None, "text"]), meta=meta,
                             embedding=None if i % 9 == 4 else [rng.gauss(0, 1) for _ in range(D)]))
    return docs


FIELDS = ["meta.n", "n", "meta.m", "m", "meta.tags", "meta.nested.k", "content", "meta.absent", "meta.d", "id"]
VALUES = [None, 0, 1, -0.0, 2.5, 2**60, True, False, "a", "é", "日本", "", ["a", "b"], [], ["a", 1],
          {"x": "y"}, "2020-01-01", float("nan"), [1, "a"], [None, "b"]]
OPERATORS = ["==", "!=", ">", ">=", "<", "<=", "in", "not in"]


def random_filter(rng, depth=0):
    if depth < 3 and rng.random() < 0.4:
        return {"operator": rng.choice(["AND", "OR", "NOT"]),
                "conditions": [random_filter(rng, depth + 1) for _ in range(rng.randrange(4))]}
    return {"field": rng.choice(FIELDS), "operator": rng.choice(OPERATORS), "value": rng.choice(VALUES)}


def haystack_ids(filters, docs):
    """Haystack's own answer, or the exception class it raises."""
    try:
        return [d.id for d in docs if document_matches_filter(filters, d)]
    except (FilterError, TypeError, ValueError) as error:  # ValueError: numpy values compared with lists
        return type(error)


# (filter, whether it compiles to the collection's dict form)
KNOWN = [
    ({"field": "meta.n", "operator": ">", "value": 1}, True),
    ({"field": "n", "operator": "<=", "value": 0}, True),  # a legacy bare meta key
    ({"field": "meta.m", "operator": "==", "value": 1}, True),  # also True and 1.0, as in Python
    ({"field": "meta.m", "operator": "!=", "value": None}, True),
    ({"field": "meta.m", "operator": "in", "value": ["a", [], {"x": "y"}]}, True),
    ({"field": "meta.nested.k", "operator": "not in", "value": [None, "a"]}, True),
    ({"field": "content", "operator": "==", "value": "é"}, True),
    ({"operator": "NOT", "conditions": [{"field": "meta.n", "operator": ">=", "value": 1},
                                        {"field": "meta.tags", "operator": "==", "value": ["b"]}]}, True),
    ({"field": "meta.n", "operator": ">", "value": None}, True),  # never true
    ({"field": "meta.m", "operator": ">", "value": 1}, False),  # strings stored: Haystack raises
    ({"field": "meta.n", "operator": ">", "value": "1"}, False),
    ({"field": "meta.d", "operator": "==", "value": "2020-01-01T00:00:00"}, False),  # a date
    ({"field": "meta.m", "operator": "==", "value": [1, True]}, False),  # [1] == [True] in Python
    ({"field": "id", "operator": "==", "value": "o3"}, False),
    ({"field": "meta.m", "operator": "in", "value": "a"}, False),  # Haystack raises
    ({"operator": "AND", "conditions": [{"field": "meta.n", "operator": "=="}]}, False),
]


@pytest.mark.parametrize("with_odd", [False, True])
def test_compiled_filters_answer_as_haystack_does(store, with_odd):
    docs = odd_docs(with_odd)
    store.write_documents(docs)
    rng = random.Random(6)
    # Odd values under m make every condition on m fall back.
    known = [(f, compiles and not (with_odd and f.get("field") in ("meta.m", "m"))) for f, compiles in KNOWN]
    cases = known + [(random_filter(rng), None) for _ in range(500)]
    compiled = 0
    for filters, compiles in cases:
        is_dict = isinstance(store._filter(filters), dict) or store._filter(filters) is None
        if compiles is not None:
            assert is_dict == compiles, filters
        compiled += is_dict
        want = haystack_ids(filters, docs)
        if isinstance(want, type):
            assert not is_dict, filters  # a filter that can raise never compiles
            with pytest.raises(want):
                store.filter_documents(filters)
            continue
        assert [d.id for d in store.filter_documents(filters)] == want, filters
        query = [rng.gauss(0, 1) for _ in range(D)]
        chosen = set(want)
        got = store.embedding_retrieval(query, filters=filters, top_k=7)
        assert answer(got) == expected(query, docs, 7, lambda d: d.id in chosen), filters
    # The vocabulary holds many fallbacks (id, dates, ranges on mixed kinds):
    # still a good share of random filters take the mask path.
    assert compiled >= len(cases) // 4


@pytest.mark.parametrize(
    "change, compiles",
    [
        (lambda s: None, False),
        (lambda s: s.delete_documents(["s", "s"]), True),
        (lambda s: s.delete_by_filter({"field": "meta.x", "operator": "==", "value": "a"}), True),
        (lambda s: s.write_documents([Document(id="s", meta={"x": 3})], DuplicatePolicy.OVERWRITE), True),
        (lambda s: s.update_by_filter({"field": "id", "operator": "==", "value": "s"}, {"x": 4}), True),
        (lambda s: s.update_by_filter({"field": "id", "operator": "==", "value": "t"}, {"x": [1]}), False),
        (lambda s: s.delete_all_documents(), True),
    ],
    ids=["as-written", "delete", "delete-by-filter", "overwrite", "update", "update-to-list", "delete-all"],
)
def test_value_kinds_follow_every_change(tmp_path, store, change, compiles):
    store.write_documents([Document(id="s", meta={"x": "a"}), Document(id="t", meta={"x": 1}),
                           Document(id="u", meta={"x": 2})])
    change(store)
    # A string stored under x makes Haystack's `>` raise: the range compiles only without one.
    filters = {"field": "meta.x", "operator": ">", "value": 1}
    assert isinstance(store._filter(filters), dict) == compiles
    if compiles:
        docs = store.filter_documents()
        assert [d.id for d in store.filter_documents(filters)] == haystack_ids(filters, docs)
        if docs:  # the kinds are rebuilt on load
            store.save_to_disk(str(tmp_path / "s"))
            loaded = QuillmereDocumentStore.load_from_disk(str(tmp_path / "s"), shared=False)
            assert isinstance(loaded._filter(filters), dict)
