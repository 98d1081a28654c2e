"""After deleting most of a large collection, the compaction also gives back row capacity: the
entries that remain must keep their vectors, answers and order, and grow again from there."""
import numpy as np

import quillmere
from quillmere_collection import Collection


def reference(vectors, query, k):
    """Every live entry scored by the module's cosine, stable sort: ties in order of addition."""
    scored = [(quillmere.cosine_similarity(query, v), id_) for id_, v in vectors.items()]
    return sorted(scored, key=lambda pair: -pair[0])[:k]


def test_mass_delete_then_growth_keeps_vectors_and_answers():
    rng = np.random.default_rng(3)
    collection, vectors = Collection(6), {}
    for batch in range(4):  # 600 rows, added in steps so that the capacity doubles
        ids = [f"e{batch}-{i}" for i in range(150)]
        rows = rng.normal(size=(150, 6)).astype(np.float32)
        collection.add(ids, rows)
        vectors.update(zip(ids, rows))
    doomed = [id_ for n, id_ in enumerate(vectors) if n % 50 != 7]
    assert collection.delete(doomed) == len(doomed)  # leaves 12 of 600
    for id_ in doomed:
        del vectors[id_]
    for round in range(2):  # right after the shrink, and after growing past it again
        assert list(collection) == list(vectors)
        np.testing.assert_array_equal(collection.vectors(list(vectors)), np.array(list(vectors.values())))
        for query in (rng.normal(size=6), next(iter(vectors.values()))):
            got = [(hit.score, hit.id) for hit in collection.search(query, 20)]
            assert got == reference(vectors, query, 20)
            mmr = [hit.id for hit in collection.mmr(query, 3, fetch_k=len(vectors), lambda_mult=1.0)]
            assert mmr == [id_ for _, id_ in reference(vectors, query, 3)]
        ids = [f"g{round}-{i}" for i in range(100)]
        rows = rng.normal(size=(100, 6)).astype(np.float32)
        collection.add(ids, rows)
        vectors.update(zip(ids, rows))
