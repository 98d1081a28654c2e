import random
import struct

import numpy as np
import pytest

import quillmere
from quillmere_collection import Collection
from quillmere_collection._filters import PayloadIndex, compile_filter, reference

NAN = float("nan")
# Values built to tell the kinds apart and to break float64 shortcuts:
# 1 == 1.0 == True in Python, 2**53 + 1 rounds to 2**53 in float64, NaN
# equals nothing, -0.0 == 0.0, a NUL that numpy strings would drop.
VALUES = [
    0, 1, 1.0, -0.0, 0.0, 2.5, -7, 2**53, 2**53 + 1, float(2**53), 2**70, 1e300, NAN, float("inf"),
    True, False, None,
    "", "a", "b", "ab", "a\x00", "é", "日本", "Z",
    [], [1, 2], [1.0, 2], [True, 2], [[1], "x"], [NAN], ("a", "b"),
    {}, {"k": 1}, {"k": 1.0}, {"k": [1, 2]}, {"k": True},
]
OPERANDS = [v for v in VALUES if not isinstance(v, tuple)]
# float64 holds all of these exactly, so a field drawn from them takes the index's numpy path.
EXACT = [v for v in VALUES if not (isinstance(v, int) and abs(v) >= 2**53)]
ORDERED = [v for v in VALUES if isinstance(v, str) or (isinstance(v, (int, float)) and not isinstance(v, bool))]
FIELDS = ["a", "b", "m.k"]


def random_payload(rng):
    roll = rng.random()
    if roll < 0.05:
        return None  # a tombstone's payload, or a payload that is no dict
    if roll < 0.08:
        return rng.choice(["text", [1, 2]])
    payload = {}
    for name, pool in (("a", VALUES), ("b", EXACT)):
        if rng.random() < 0.8:
            payload[name] = rng.choice(pool)
    if rng.random() < 0.7:
        payload["m"] = {"k": rng.choice(VALUES)} if rng.random() < 0.9 else rng.choice(VALUES)
    return payload


def random_condition(rng):
    op = rng.choice(["short", "$eq", "$ne", "$in", "$nin", "$exists", "range", "range2"])
    if op == "short":
        operand = rng.choice(OPERANDS)
        return {"$eq": operand} if isinstance(operand, dict) else operand  # a dict would be operators
    if op in ("$in", "$nin"):
        return {op: rng.sample(OPERANDS, rng.randrange(0, 4))}
    if op == "$exists":
        return {op: rng.random() < 0.5}
    if op.startswith("range"):
        ops = rng.sample(["$gt", "$gte", "$lt", "$lte"], 1 if op == "range" else 2)
        return {o: rng.choice(ORDERED) for o in ops}
    return {op: rng.choice(OPERANDS)}


def random_filter(rng, depth=0):
    roll = rng.random()
    if depth < 2 and roll < 0.3:
        group = rng.choice(["$and", "$or"])
        return {group: [random_filter(rng, depth + 1) for _ in range(rng.randrange(1, 4))]}
    fields = rng.sample(FIELDS, 1 if roll < 0.8 else 2)  # two keys: their $and
    return {field: random_condition(rng) for field in fields}


def reference_mask(filter, payloads):
    keep = reference(filter)
    return np.array([keep(str(i), p) for i, p in enumerate(payloads)], np.bool_)


def test_index_matches_reference_through_adds_and_compactions():
    rng = random.Random(26)
    payloads = [random_payload(rng) for _ in range(300)]
    index = PayloadIndex()
    filters = [random_filter(rng) for _ in range(400)]
    seen = {"all": 0, "none": 0, "one": 0, "lossy": 0}
    for round_ in range(6):
        for filter in filters[round_::6]:
            got = index.mask(compile_filter(filter), payloads, len(payloads))
            want = reference_mask(filter, payloads)
            assert got.tolist() == want.tolist(), filter
            # A fresh index answers equality on a few numbers from the numbers column, not codes.
            fresh = PayloadIndex().mask(compile_filter(filter), payloads, len(payloads))
            assert fresh.tolist() == want.tolist(), filter
            seen["all"] += bool(want.all())
            seen["none"] += not want.any()
            seen["one"] += int(want.sum()) == 1
            seen["lossy"] += any(len(field.lossy) for field in index._fields.values())
        if round_ % 2:
            # compaction: keep a random subset, in order, renumbered from 0
            kept = np.array(sorted(rng.sample(range(len(payloads)), len(payloads) * 2 // 3)), np.int64)
            index.compacted(kept, len(payloads))
            payloads = [payloads[p] for p in kept.tolist()]
        payloads += [random_payload(rng) for _ in range(rng.choice([3, 40]))]  # into the tail, or past it
    assert all(seen.values()), seen


def test_semantics_on_chosen_cases():
    payloads = [
        {"n": 1}, {"n": 1.0}, {"n": True}, {"n": "1"}, {"n": [1]}, {"n": None}, {},
        {"n": 2**53 + 1}, {"n": NAN}, {"n": [1, 2]}, {"n": {"x": 1}},
    ]

    def matching(filter):
        index = PayloadIndex()
        mask = index.mask(compile_filter(filter), payloads, len(payloads))
        assert mask.tolist() == reference_mask(filter, payloads).tolist()
        return np.flatnonzero(mask).tolist()

    assert matching({"n": 1}) == [0, 1]  # not True, not "1", not [1]
    assert matching({"n": True}) == [2]
    assert matching({"n": None}) == [5]  # null, not missing
    assert matching({"n": {"$ne": 1}}) == [2, 3, 4, 5, 6, 7, 8, 9, 10]
    assert matching({"n": [1, 2]}) == [9]  # the whole list
    assert matching({"n": {"$eq": {"x": 1.0}}}) == [10]
    assert matching({"n": {"$gt": 2**53}}) == [7]  # exact, though float64 rounds it down
    assert matching({"n": 2**53 + 1}) == [7]
    assert matching({"n": {"$in": [2**53, float(2**53), 1]}}) == [0, 1]  # not 2**53 + 1
    assert matching({"n": {"$gte": 1, "$lt": 2}}) == [0, 1]
    assert matching({"n": {"$lt": "2"}}) == [3]
    assert matching({"n": {"$exists": False}}) == [6]
    assert matching({"n": {"$in": [NAN, [1]]}}) == [4]
    assert matching({"$or": [{"n": "1"}, {"n": {"$exists": False}}]}) == [3, 6]
    assert matching({}) == list(range(len(payloads)))


@pytest.mark.parametrize(
    "filter, field, op",
    [
        ({"b": {"$regex": "x"}}, "b", "$regex"),
        ({"b": {"gt": 1}}, "b", "gt"),
        ({"b": {"$gt": [1]}}, "b", "$gt"),
        ({"b": {"$lt": True}}, "b", "$lt"),
        ({"b": {"$lte": None}}, "b", "$lte"),
        ({"b": {"$in": "ab"}}, "b", "$in"),
        ({"b": {"$nin": 3}}, "b", "$nin"),
        ({"b": {"$exists": 1}}, "b", "$exists"),
        ({"b": {"$eq": {1, 2}}}, "b", "$eq"),
        ({"b": {"$in": [object()]}}, "b", "$in"),
        ({"$and": []}, None, "$and"),
        ({"$or": {"b": 1}}, None, "$or"),
        ({"$or": [{"b": 1}, 3]}, None, "$or"),
        ({"$gt": 3}, None, "$gt"),
    ],
)
def test_bad_filters_name_field_and_operator(filter, field, op):
    with pytest.raises(ValueError) as raised:
        compile_filter(filter)
    message = str(raised.value)
    assert repr(op) in message
    if field is not None:
        assert f"field {field!r}" in message
    with pytest.raises(ValueError):
        reference(filter)


def test_index_build_reports_memory_and_fields():
    payloads = [{"b": i % 10, "s": f"s{i % 3}", "l": [i % 2]} for i in range(5000)]
    index = PayloadIndex()
    index.mask(compile_filter({"b": {"$lt": 3}, "s": "s1", "l": [1]}), payloads, len(payloads))
    assert sorted(index.fields) == ["b", "l", "s"]
    # a kind per entry per field, a float64 per entry of b (ranges), a code per entry of s and l
    assert index.nbytes() >= 5000 * (3 + 8 + 2)


def hits_bits(hits):
    return [(struct.pack("<d", hit.score), hit.id) for hit in hits]


def test_collection_dict_filters_equal_callables_through_changes_and_save(tmp_path):
    rng = random.Random(24)
    collection = Collection(4)
    filters = [random_filter(rng) for _ in range(60)]
    filters += [{}, {"a": {"$in": []}}, {"u": "u7"}]  # every entry, none, exactly one
    vector = lambda: [rng.choice([1.0, -1.0, 0.5, 0.0]) for _ in range(4)]
    compactions = 0
    for step in range(14):
        ids = [f"e{rng.randrange(400)}" for _ in range(rng.choice([5, 60]))]
        payloads = [random_payload(rng) for _ in ids]
        payloads = [{**p, "u": f"u{rng.randrange(400)}"} if isinstance(p, dict) else p for p in payloads]
        collection.add(ids, [vector() for _ in ids], payloads)  # overwrites move entries to the end
        before = collection._count
        collection.delete(rng.sample(list(collection), len(collection) // 4))
        compactions += collection._count < before
        if step == 9:
            collection.save(tmp_path / "saved")
            collection = Collection.load(tmp_path / "saved")
        query = vector()
        for filter in filters[step::7] + filters[-3:]:
            keep = reference(filter)
            for k in (1, 10, 1000):
                got = collection.search(query, k, filter=filter)
                assert hits_bits(got) == hits_bits(collection.search(query, k, filter=keep)), filter
        chosen = set(rng.sample(list(collection), len(collection) // 3))
        filter = filters[step]
        assert hits_bits(collection.mmr(query, 5, filter=filter, ids=chosen)) == hits_bits(
            collection.mmr(query, 5, filter=reference(filter), ids=chosen)
        )
        batch = [vector() for _ in range(3)]
        assert [hits_bits(h) for h in collection.search_batch(batch, 7, filter=filter, ids=chosen)] == [
            hits_bits(collection.search(q, 7, filter=reference(filter), ids=chosen)) for q in batch
        ]
    assert compactions >= 2


@pytest.mark.parametrize("share", [0.3, 0.6, 0.95])
@pytest.mark.parametrize("last", [False, True], ids=["spread", "ranked-last"])
def test_dense_filters_prefix_search_equals_masked_search(share, last):
    # Dense masks, with exact ties and tombstones: the collection's choice,
    # the forced masked search and a store of the matches agree; matches
    # that rank last for the first query sit where any prefix falls short.
    rng = np.random.default_rng(7)
    n = 2000
    rows = rng.standard_normal((n, 8)).astype(np.float32)
    rows[::50] = rows[1]  # exact ties across the prefix's edge
    queries = rng.standard_normal((4, 8)).astype(np.float32)
    ranking = np.array([p for _, p in quillmere.Vectorstore(8, list(zip(rows, range(n)))).search(queries[0], n)])
    rank = np.empty(n, np.int64)
    rank[ranking] = np.arange(n)
    chosen = rank >= n * (1 - share) if last else rng.random(n) < share
    collection = Collection(8)
    collection.add([f"r{i}" for i in range(n)], rows, [{"keep": bool(c)} for c in chosen])
    collection.delete([f"r{i}" for i in range(0, n, 7)])  # tombstones too
    for k in (1, 10, 300):
        auto = collection._rank(queries[0], k, {"keep": True}, None)
        assert bits_of(auto) == bits_of(collection._rank(queries[0], k, {"keep": True}, None, "mask"))
        assert bits_of(auto) == bits_of(collection._rank(queries[0], k, reference({"keep": True}), None, "matches"))
        batch = collection.search_batch(queries, k, filter={"keep": True})
        assert [hits_bits(h) for h in batch] == [hits_bits(collection._hits(collection._rank(q, k, {"keep": True}, None, "mask"))) for q in queries]


def bits_of(ranked):
    return [(struct.pack("<d", score), position) for score, position in ranked]


@pytest.mark.parametrize("change", ["add", "overwrite", "delete", "compact", "clear", "load"])
def test_kept_masks_follow_every_change(change, tmp_path, monkeypatch):
    # A repeated dict filter reuses its mask until the collection changes;
    # filters whose values differ only in kind (1, 1.0, True) are kept apart.
    from quillmere_collection import _collection

    rng = random.Random(len(change))
    collection = Collection(4)
    vector = lambda: [rng.choice([1.0, -1.0, 0.5]) for _ in range(4)]
    names = [f"e{i}" for i in range(60)]
    collection.add(names, [vector() for _ in names], [{"n": rng.choice([1, 1.0, True, 2, "1"])} for _ in names])
    filters = [{"n": 1}, {"n": True}, {"n": 1.0}, {"n": {"$ne": 1}}, {"n": {"$gte": 1, "$lt": 2}}]
    query = vector()

    def check():
        for filter in filters:
            want = hits_bits(collection.search(query, 100, filter=reference(filter)))
            assert hits_bits(collection.search(query, 100, filter=filter)) == want, filter
            monkeypatch.setattr(_collection, "MASK_CACHE", 0)
            assert hits_bits(collection.search(query, 100, filter=filter)) == want, filter
            monkeypatch.undo()

    check()
    if change == "add":
        collection.add(["x1", "x2"], [vector(), vector()], [{"n": 1}, {"n": True}])
    elif change == "overwrite":
        collection.add(names[:5], [vector() for _ in range(5)], [{"n": "1"}] * 5)
    elif change == "delete":
        collection.delete(names[10:20])
    elif change == "compact":
        monkeypatch.setattr(_collection, "COMPACT_RATIO", float("inf"))
        collection.delete(names[::3])
        check()
        monkeypatch.undo()
        collection.compact()
    elif change == "clear":
        collection.clear()
        collection.add(names[:7], [vector() for _ in range(7)], [{"n": 2}] * 7)
    else:
        collection.delete(names[::2])
        collection.save(tmp_path / "saved")
        collection = Collection.load(tmp_path / "saved")
    check()


@pytest.mark.parametrize("distinct", [300, 70_000], ids=["uint16-codes", "uint32-codes"])
def test_value_codes_widen_and_narrow(distinct):
    # Codes start as one byte and widen as distinct values arrive, within
    # one catch-up or across two; a compaction that drops values renumbers
    # (and narrows) them.
    payloads = [{"v": i if i % 2 else f"s{i}"} for i in range(distinct)]
    index = PayloadIndex()
    probes = [{"v": 5}, {"v": "s4"}, {"v": {"$in": [1, "s0", distinct - 1, f"s{distinct - 2}", "none"]}},
              {"v": {"$nin": [3, "s2"]}}, {"v": {"$gte": "s1", "$lt": "s2"}}]
    for filter in probes:
        index.mask(compile_filter(filter), payloads[:100], 100)  # one byte per code so far
    payloads += [{"v": i} for i in range(distinct, distinct + 50)]
    for count in (len(payloads) - 50, len(payloads)):
        for filter in probes + [{"v": distinct + 7}]:
            got = index.mask(compile_filter(filter), payloads, count)
            assert got.tolist() == reference_mask(filter, payloads[:count]).tolist(), filter
    field = index._fields[("v",)]
    assert field.codes.data.dtype == (np.uint16 if distinct < 65_536 else np.uint32)
    kept = np.arange(0, len(payloads), 1000, dtype=np.int64)
    index.compacted(kept, len(payloads))
    payloads = [payloads[p] for p in kept.tolist()]
    assert field.codes.data.dtype == np.uint8
    for filter in probes:
        got = index.mask(compile_filter(filter), payloads, len(payloads))
        assert got.tolist() == reference_mask(filter, payloads).tolist(), filter
