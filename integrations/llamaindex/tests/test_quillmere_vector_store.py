import asyncio
import random
import zlib

import fsspec
import pytest
from llama_index.core import StorageContext, VectorStoreIndex, load_index_from_storage
from llama_index.core.embeddings import BaseEmbedding
from llama_index.core.schema import MetadataMode, NodeRelationship, QueryBundle, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores.types import FilterCondition as C
from llama_index.core.vector_stores.types import FilterOperator as Op
from llama_index.core.vector_stores.types import MetadataFilter, MetadataFilters, VectorStoreQuery

import quillmere
from llama_index.vector_stores.quillmere import QuillmereVectorStore
from llama_index.vector_stores.quillmere import base
from llama_index.vector_stores.quillmere.base import _declarative, _entry_filter, _metadata_predicate
from quillmere_collection._filters import reference

WORDS = "apple river stone cloud lamp forest copper violin harbour meadow".split()


class WordHashEmbedding(BaseEmbedding):
    """Counts words into 16 signed buckets by CRC-32: deterministic, and equal texts tie."""

    def _embed(self, text):
        vector = [0.0] * 16
        for word in text.split():
            h = zlib.crc32(word.encode())
            vector[h % 16] += 1.0 if h & 16 else -1.0
        return vector

    _get_text_embedding = _get_query_embedding = _embed

    async def _aget_query_embedding(self, query):
        return self._embed(query)


def expected(query, nodes, k, keep=lambda node: True):
    """Every node scored by quillmere.cosine_similarity, stable sort: ties in order of addition."""
    scored = [(quillmere.cosine_similarity(query, n.embedding), n.node_id) for n in nodes if keep(n)]
    return sorted(scored, key=lambda pair: -pair[0])[:k]


def reference_mmr(query, nodes, k, fetch_k, lambda_mult):
    """MMR written out plainly over the exact scores: the fetch_k best candidates, the best first,
    then each time the one maximising lambda * sim(query, c) - (1 - lambda) * max sim(chosen, c)."""
    candidates = expected(query, nodes, fetch_k)
    vectors = {n.node_id: n.embedding for n in nodes}
    chosen = [0]
    while len(chosen) < min(k, len(candidates)):
        values = {
            i: lambda_mult * score
            - (1 - lambda_mult) * max(quillmere.cosine_similarity(vectors[candidates[j][1]], vectors[id_]) for j in chosen)
            for i, (score, id_) in enumerate(candidates)
            if i not in chosen
        }
        chosen.append(max(values, key=lambda i: (values[i], -i)))  # the first of equal values
    return [candidates[i] for i in chosen]


def make_nodes(n, docs, dim=None, seed=0):
    rng = random.Random(seed)
    nodes = []
    for i in range(n):
        text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 3)))
        nodes.append(
            TextNode(
                id_=f"n{i}",
                text=text,
                metadata={"i": i, "bucket": i % 100, "price": i * 37 % 1000 / 10, "tags": [f"a{i % 100}", f"b{i % 50}"],
                          "title": {13: "Needle", 113: "NEEDLE"}.get(i % 200, "hay"),
                          **({} if i % 300 == 0 else {"note": ["", [], None, "x"][min(i % 300 - 1, 3)]})},
                relationships={NodeRelationship.SOURCE: RelatedNodeInfo(node_id=f"doc{i % docs}")},
                embedding=[rng.gauss(0, 1) for _ in range(dim)] if dim else None,
            )
        )
    return nodes


def answer(result):
    return list(zip(result.similarities, result.ids))


def test_retriever_end_to_end_is_exact_with_ties_in_order():
    nodes = make_nodes(300, docs=30)
    embed = WordHashEmbedding()
    for node in nodes:
        node.excluded_embed_metadata_keys = list(node.metadata)  # equal texts, equal embeddings
    index = VectorStoreIndex(nodes, storage_context=StorageContext.from_defaults(vector_store=QuillmereVectorStore()), embed_model=embed)
    for node in nodes:
        node.embedding = embed.get_text_embedding(node.get_content(MetadataMode.EMBED))
    for text in ["apple", "stone cloud violin", "unknown words only"]:  # the last embeds to zero: all tie
        for k in (1, 7, 300):
            got = index.as_retriever(similarity_top_k=k).retrieve(text)
            assert [(r.score, r.node.node_id) for r in got] == expected(embed._embed(text), nodes, k)
            assert [r.node.text for r in got] == [nodes[int(r.node.node_id[1:])].text for r in got]


def f(key, op, value):
    return MetadataFilter(key=key, operator=op, value=value)




def group(condition, *filters):
    return MetadataFilters(filters=list(filters), condition=condition)


FILTERS = {  # one metadata filter per operator, each matching about 1% of the nodes, and its meaning in Python
    "eq": ([f("bucket", Op.EQ, 7)], C.AND, lambda m: m["bucket"] == 7),
    "ne and in": ([f("bucket", Op.IN, [7, 8]), f("bucket", Op.NE, 8)], C.AND, lambda m: m["bucket"] == 7),
    "gt": ([f("price", Op.GT, 98.95)], C.AND, lambda m: m["price"] > 98.95),
    "gte": ([f("price", Op.GTE, 99.0)], C.AND, lambda m: m["price"] >= 99),
    "lt": ([f("price", Op.LT, 1.0)], C.AND, lambda m: m["price"] < 1),
    "lte": ([f("price", Op.LTE, 0.9)], C.AND, lambda m: m["price"] <= 0.9),
    "nin": ([f("bucket", Op.IN, [9, 10]), f("bucket", Op.NIN, [10])], C.AND, lambda m: m["bucket"] == 9),
    "any": ([f("tags", Op.ANY, ["a42", "zz"])], C.AND, lambda m: "a42" in m["tags"]),
    "all": ([f("tags", Op.ALL, ["a7", "b7"])], C.AND, lambda m: m["bucket"] == 7),
    "contains": ([f("tags", Op.CONTAINS, "a13")], C.AND, lambda m: m["bucket"] == 13),
    "text_match": ([f("title", Op.TEXT_MATCH, "Needle")], C.AND, lambda m: m["title"] == "Needle"),
    "text_match_insensitive": ([f("title", Op.TEXT_MATCH_INSENSITIVE, "nEEDLe")], C.AND, lambda m: m["title"] != "hay"),
    "is_empty": ([f("note", Op.IS_EMPTY, None)], C.AND, lambda m: m.get("note") in (None, "", [])),
    "or": ([f("bucket", Op.EQ, 3), f("title", Op.TEXT_MATCH, "Needle")], C.OR, lambda m: m["bucket"] == 3 or m["title"] == "Needle"),
    "not": ([f("bucket", Op.LT, 99), f("note", Op.NE, "x")], C.NOT, lambda m: m["bucket"] == 99 and m.get("note") == "x"),
    "nested or": (
        [group(C.AND, f("bucket", Op.EQ, 1), f("price", Op.LT, 50.0)), group(C.AND, f("bucket", Op.EQ, 2), f("price", Op.GTE, 50.0))],
        C.OR,
        lambda m: (m["bucket"], m["price"] < 50) in ((1, True), (2, False)),
    ),
    "nested and, not": (
        [f("bucket", Op.IN, [5, 6]), group(C.NOT, group(C.AND, f("bucket", Op.EQ, 6)), f("price", Op.GT, 200.0))],
        C.AND,
        lambda m: m["bucket"] == 5,
    ),
    "ref_doc_id": ([f("ref_doc_id", Op.EQ, "doc5")], C.AND, lambda m: m["i"] % 200 == 5),
}


# The FILTERS that compile to the collection's dict form; the others run LlamaIndex's predicate.
DECLARATIVE = {"eq", "ne and in", "gt", "gte", "lt", "lte", "nin", "is_empty", "nested or", "ref_doc_id"}


@pytest.fixture(scope="module")
def filled():
    nodes = make_nodes(2000, docs=200, dim=8, seed=1)
    store = QuillmereVectorStore()
    store.add(nodes)
    return store, nodes


@pytest.mark.parametrize("name", FILTERS)
def test_filters_match_exactly(filled, name):
    store, nodes = filled
    filters, condition, meaning = FILTERS[name]
    filters = MetadataFilters(filters=filters, condition=condition)
    assert isinstance(_entry_filter(filters), dict) == (name in DECLARATIVE)
    matches = [n.node_id for n in nodes if meaning(n.metadata)]
    assert 5 <= len(matches) <= 40
    q = nodes[0].embedding
    for k in (4, 2000):
        result = store.query(VectorStoreQuery(query_embedding=q, similarity_top_k=k, filters=filters))
        assert answer(result) == expected(q, nodes, k, lambda n: meaning(n.metadata))
        assert [n.metadata for n in result.nodes] == [nodes[int(i[1:])].metadata for i in result.ids]
    assert [n.node_id for n in store.get_nodes(filters=filters)] == matches


@pytest.mark.parametrize(
    "node_ids, doc_ids, keep",
    [
        ([], [], lambda i: True),  # what as_retriever() passes: no restriction
        ([f"n{i}" for i in range(0, 2000, 3)], None, lambda i: i % 3 == 0),
        (None, ["doc4", "doc9", "absent"], lambda i: i % 200 in (4, 9)),
        ([f"n{i}" for i in range(1000)], ["doc4"], lambda i: i % 200 == 4 and i < 1000),
        (None, ["absent"], lambda i: False),
    ],
)
def test_node_and_doc_restrictions(filled, node_ids, doc_ids, keep):
    store, nodes = filled
    q = nodes[5].embedding
    result = store.query(VectorStoreQuery(query_embedding=q, similarity_top_k=50, node_ids=node_ids, doc_ids=doc_ids))
    assert answer(result) == expected(q, nodes, 50, lambda n: keep(n.metadata["i"]))


@pytest.mark.parametrize("where", ["keyword", "query"])
def test_mmr_threshold_as_keyword_or_in_query(filled, where):
    store, nodes = filled
    want = reference_mmr(nodes[3].embedding, nodes, 6, 24, 0.3)
    assert [score for score, _ in want] != sorted(score for score, _ in want)[::-1]  # diversity changed the order
    query = VectorStoreQuery(query_embedding=nodes[3].embedding, similarity_top_k=6, mode="mmr")
    if where == "query":
        query.mmr_threshold = 0.3
    assert answer(store.query(query, **({"mmr_threshold": 0.3} if where == "keyword" else {}))) == want
    with pytest.raises(ValueError, match="mmr_threshold"):
        store.query(query, mmr_threshold=0.4 if where == "query" else 1.5)


@pytest.mark.parametrize("mode", ["sparse", "hybrid", "text_search", "semantic_hybrid", "svm", "linear_regression"])
def test_unsupported_modes_are_named(filled, mode):
    with pytest.raises(ValueError, match=f"'{mode}'"):
        filled[0].query(VectorStoreQuery(query_embedding=[0.0] * 8, mode=mode))


def test_delete_by_document_and_by_node():
    nodes = make_nodes(60, docs=6, dim=4)
    store = QuillmereVectorStore()
    store.add(nodes)
    moved = nodes[0].model_copy(update={"relationships": {NodeRelationship.SOURCE: RelatedNodeInfo(node_id="doc1")}})
    store.add([moved])  # n0 moves from doc0 to doc1, and to the end of the order
    store.delete("doc0")
    left = [n.node_id for n in nodes[1:] if n.ref_doc_id != "doc0"] + ["n0"]
    assert [n.node_id for n in store.get_nodes()] == left
    asyncio.run(store.adelete("doc1"))
    store.delete_nodes(["n2", "n3", "n4"], filters=MetadataFilters(filters=[f("i", Op.GT, 2)]))
    assert [n.node_id for n in store.get_nodes()] == [i for i in left if i not in ("n0", "n3", "n4") and int(i[1:]) % 6 != 1]
    asyncio.run(store.aclear())
    assert store.get_nodes() == [] and len(store.client) == 0


def test_persist_and_load_through_storage_context(tmp_path, filled):
    store, nodes = filled
    embed = WordHashEmbedding()
    context = VectorStoreIndex.from_vector_store(store, embed_model=embed).storage_context
    context.persist(persist_dir=str(tmp_path))
    context.persist(persist_dir=str(tmp_path))  # replaces the earlier save
    loaded = QuillmereVectorStore.from_persist_dir(str(tmp_path))
    again = load_index_from_storage(StorageContext.from_defaults(vector_store=loaded, persist_dir=str(tmp_path)), embed_model=embed)
    query = VectorStoreQuery(query_embedding=nodes[9].embedding, similarity_top_k=10)
    got = asyncio.run(again.as_retriever(similarity_top_k=10).aretrieve(QueryBundle("q", embedding=nodes[9].embedding)))
    assert [(r.score, r.node.node_id) for r in got] == answer(store.query(query)) == answer(loaded.query(query))
    assert [(n.node_id, n.metadata, n.text, n.embedding) for n in asyncio.run(loaded.aget_nodes())] == [
        (n.node_id, n.metadata, n.text, n.embedding) for n in store.get_nodes()
    ]
    loaded.delete("doc3")  # the document index is rebuilt on load
    asyncio.run(loaded.adelete_nodes(["n0"]))
    assert len(loaded.client) == len(nodes) - 11
    with pytest.raises(NotImplementedError, match="local file system"):
        store.persist("x", fs=fsspec.filesystem("memory"))
    with pytest.raises(TypeError, match="'mmr_treshold'"):
        store.query(query, mmr_treshold=0.2)


def random_metadata_filters(rng, depth=0):
    values = [0, 1, 2, 1.0, 0.5, -3, "", "a", "b", "é"]
    parts = []
    for _ in range(rng.randrange(1, 4)):
        if depth < 2 and rng.random() < 0.25:
            parts.append(random_metadata_filters(rng, depth + 1))
            continue
        op = rng.choice([Op.EQ, Op.NE, Op.GT, Op.GTE, Op.LT, Op.LTE, Op.IN, Op.NIN, Op.IS_EMPTY])
        if op in (Op.IN, Op.NIN):
            kind = rng.choice([str, int, float])
            value = rng.sample([v for v in values if type(v) is kind], rng.randrange(0, 3))
        else:
            value = None if op == Op.IS_EMPTY or rng.random() < 0.05 else rng.choice(values)
        parts.append(f(rng.choice(["x", "y"]), op, value))
    return group(rng.choice([C.AND, C.OR]), *parts)


def test_metadata_filters_compile_to_the_dict_form_with_llamaindex_meaning():
    rng = random.Random(26)
    pool = [0, 1, 2, 0.5, 1.0, -3, True, False, None, "", "a", "é", [], ["a"], {"k": 1}, float("nan")]
    payloads = [{k: rng.choice(pool) for k in ("x", "y") if rng.random() < 0.85} for _ in range(200)]
    compared = 0
    for _ in range(300):
        filters = random_metadata_filters(rng)
        declarative = _declarative(filters)
        assert declarative is not None, filters  # every operator drawn here maps
        ours, theirs = reference(declarative), _metadata_predicate(filters)
        for payload in payloads:
            try:
                want = theirs(payload)
            except TypeError:
                continue  # LlamaIndex cannot order these kinds; the dict form does not match them
            assert ours("id", payload) == want, (filters, payload)
            compared += 1
    assert compared > 30000
    unmapped = [f("tags", Op.CONTAINS, "a"), f("x", Op.TEXT_MATCH, "a"), f("a.b", Op.EQ, 1), f("x", Op.EQ, ["a"])]
    for filter in unmapped:
        assert _declarative(group(C.AND, filter)) is None
    assert _declarative(group(C.NOT, f("x", Op.EQ, 1))) is None


def test_constructor_takes_vector_size_and_refuses_unknown_keywords():
    store = QuillmereVectorStore(vector_size=3)
    assert store.client.vector_size == 3
    with pytest.raises(ValueError, match="expects 3"):
        store.add(make_nodes(1, docs=1, dim=2))
    with pytest.raises(TypeError, match="'vector_sise'"):
        QuillmereVectorStore(vector_sise=8)
    with pytest.raises(ValueError, match="vector_size is 4 but the collection's vector_size is 3"):
        QuillmereVectorStore(store.client, vector_size=4)
    assert QuillmereVectorStore(stores_text=True, vector_size=None).client.vector_size is None


def test_persist_over_a_simple_vector_store_file_says_what_is_there(tmp_path):
    from llama_index.core.vector_stores import SimpleVectorStore

    StorageContext.from_defaults(vector_store=SimpleVectorStore()).persist(persist_dir=str(tmp_path))
    path = tmp_path / "default__vector_store.json"
    before = path.read_bytes()
    store = QuillmereVectorStore()
    store.add(make_nodes(3, docs=1, dim=4))
    with pytest.raises(FileExistsError, match="SimpleVectorStore.*persist into another directory, or remove the file"):
        StorageContext.from_defaults(vector_store=store).persist(persist_dir=str(tmp_path))
    assert path.read_bytes() == before
    with pytest.raises(FileNotFoundError, match="is a file, not a QuillmereVectorStore save"):
        QuillmereVectorStore.from_persist_dir(str(tmp_path))


INF, NAN = float("inf"), float("nan")


# Built against the fsum shortcut of the finiteness check: fsums of NaN and inf,
# an overflow around the bad value and inf - inf (fsum raises), and a finite
# vector whose fsum overflows.
@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")  # 1e308 as float32
@pytest.mark.parametrize("shortcut", [True, False], ids=["fsum", "array"])
@pytest.mark.parametrize(
    "vector, bad, at",
    [
        ([0.5, 2.0, -1.0, NAN], "nan", 3),
        ([0.5, 2.0, -1.0, INF], "inf", 3),
        ([0.5, 1e308, 1e308, -INF], "-inf", 3),
        ([0.5, 2.0, INF, -INF], "inf", 2),
        ([1e308, 1e308, -1.0, 2.0], None, None),  # finite, though its sum overflows: accepted
    ],
    ids=["nan", "inf", "-inf", "inf-inf", "overflowing sum"],
)
def test_non_finite_embeddings_are_refused(monkeypatch, shortcut, vector, bad, at):
    monkeypatch.setattr(base, "FINITE_BY_FSUM", shortcut)
    store = QuillmereVectorStore()
    nodes = make_nodes(3, docs=1, dim=4)
    store.add(nodes[:1])
    nodes[2].embedding = vector
    query = VectorStoreQuery(query_embedding=vector, similarity_top_k=3)
    if bad is None:
        store.add(nodes[1:])  # (float32 makes 1e308 infinite, as before: no error either)
        assert sorted(store.query(query).ids) == ["n0", "n1", "n2"]
        return
    with pytest.raises(ValueError, match=f"the embedding of node 'n2' holds {bad} at index {at}"):
        store.add(nodes[1:])
    assert [n.node_id for n in store.get_nodes()] == ["n0"]
    with pytest.raises(ValueError, match=f"the query_embedding holds {bad} at index {at}"):
        store.query(query)
    with pytest.raises(TypeError):  # not a number: left to the collection, either way
        store.query(VectorStoreQuery(query_embedding=["0.5"] * 4, similarity_top_k=1))
