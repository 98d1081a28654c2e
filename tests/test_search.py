"""Vectorstore.search: exhaustive top-k by cosine similarity, best first, ties in insertion order,
NaN scores after every number, every score bit-identical to the float32 reference."""
import array
import ctypes
import math
import operator
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from oracle import assert_same_results, f32bits, top_k
from quillmere import Vectorstore

U64_MAX = 2**64 - 1
INF = float("inf")
NAN = float("nan")


def u64_error(value):
    fn = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    fn.argtypes = [ctypes.py_object]
    fn.restype = ctypes.c_ulonglong
    try:
        fn(value)
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError(value)


def index_message(obj):
    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(obj)


def build(vector_size, entries, route="create"):
    """A store holding `entries` [(vector, id), ...], filled through the constructor, through
    insert, or half and half."""
    if route == "create":
        return Vectorstore(vector_size, [(list(v), i) for v, i in entries])
    if route == "insert":
        store = Vectorstore(vector_size)
        cut = 0
    else:
        cut = len(entries) // 2
        store = Vectorstore(vector_size, [(list(v), i) for v, i in entries[:cut]])
    for v, i in entries[cut:]:
        store.insert(list(v), i)
    return store


def double_bits(x):
    return struct.pack("<d", x)


def assert_exact(got, expected):
    """Same ids in the same order, and every score the same double, sign of zero included."""
    assert type(got) is list
    assert len(got) == len(expected), (got, expected)
    for (gs, gi), (es, ei) in zip(got, expected):
        assert gi == ei, (got, expected)
        if math.isnan(es):
            assert math.isnan(gs), (got, expected)
        else:
            assert double_bits(gs) == double_bits(es), (got, expected)


def assert_well_formed(result):
    assert type(result) is list
    for item in result:
        assert type(item) is tuple and len(item) == 2
        score, ident = item
        assert type(score) is float and type(ident) is int
        # the float32 score widened exactly
        assert math.isnan(score) or float(np.float32(score)) == score


ROUTES = ["create", "insert", "mixed"]

# (name, vector_size, [(id, vector)], query, top_k, expected)
EXAMPLES = [
    ("ties-keep-insertion-order", 2, [(7, [1, 0]), (3, [1, 0]), (5, [0, 1])], [1, 0], 3,
     [(1.0, 7), (1.0, 3), (0.0, 5)]),
    ("ties-top-1", 2, [(7, [1, 0]), (3, [1, 0]), (5, [0, 1])], [1, 0], 1,
     [(1.0, 7)]),
    ("float32-rounding-decides", 2, [(1, [10, 10]), (2, [1, 1])], [1, 1], 2,
     [(1.0000001192092896, 2), (1.0, 1)]),
    ("negative-after-zero", 2, [(1, [-1, -1]), (2, [0, 0]), (3, [1, 1])], [1, 1], 3,
     [(1.0000001192092896, 3), (0.0, 2), (-1.0000001192092896, 1)]),
    ("zero-query", 2, [(4, [1, 2]), (9, [-3, 0.5]), (1, [0, 0]), (6, [7, 7])], [0, 0], 3,
     [(0.0, 4), (0.0, 9), (0.0, 1)]),
    ("negative-zero-query", 2, [(4, [1, 2]), (9, [-3, 0.5]), (1, [NAN, 1])], [-0.0, -0.0], 5,
     [(0.0, 4), (0.0, 9), (0.0, 1)]),
    ("zero-vector-against-nan-query", 2, [(1, [0, 0]), (2, [1, 1])], [NAN, 1], 2,
     [(0.0, 1), (NAN, 2)]),
    ("vector-size-0", 0, [(3, []), (1, []), (2, [])], [], 2,
     [(0.0, 3), (0.0, 1)]),
    ("signed-zeros-tie", 2, [(1, [0, -1]), (2, [0, 1]), (3, [0, -1]), (4, [1, 0]), (5, [-1, 0])], [-1, 0], 5,
     [(1.0, 5), (-0.0, 1), (0.0, 2), (-0.0, 3), (-1.0, 4)]),
    ("signed-zeros-tie-positive-first", 2, [(2, [0, 1]), (1, [0, -1]), (3, [0, 2])], [-1, 0], 3,
     [(0.0, 2), (-0.0, 1), (0.0, 3)]),
    ("duplicate-ids", 2, [(8, [1, 0]), (8, [0, 1]), (8, [1, 1]), (8, [1, 0])], [1, 0], 4,
     [(1.0, 8), (1.0, 8), (0.7071067690849304, 8), (0.0, 8)]),
    ("top-k-0", 2, [(1, [1, 0]), (2, [0, 1])], [1, 0], 0, []),
    ("top-k-above-n", 2, [(1, [0, 1]), (2, [1, 0]), (3, [-1, 1])], [1, 0], 10,
     [(1.0, 2), (0.0, 1), (-0.7071067690849304, 3)]),
    ("top-k-max", 2, [(1, [0, 1]), (2, [1, 0])], [1, 0], U64_MAX,
     [(1.0, 2), (0.0, 1)]),
    ("scores-outside-unit-range", 3, [(1, [1, 2, 3]), (2, [-1, -2, -3]), (3, [4, 5, 6])], [1, 2, 3], 3,
     [(0.9999999403953552, 1), (0.9746317863464355, 3), (-0.9999999403953552, 2)]),
    ("nan-after-numbers-in-insertion-order", 2,
     [(1, [NAN, 1]), (2, [1, 0]), (3, [INF, 0]), (4, [-1, 0]), (5, [0, 0]), (6, [1e20, 0])], [1, 0], 6,
     [(1.0, 2), (0.0, 5), (0.0, 6), (-1.0, 4), (NAN, 1), (NAN, 3)]),
    ("underflow-and-overflow", 1, [(1, [1e-30]), (2, [1e20]), (3, [1]), (4, [-2])], [1], 4,
     [(1.0, 3), (0.0, 1), (0.0, 2), (-1.0, 4)]),
]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(
    "vector_size, records, query, k, expected",
    [e[1:] for e in EXAMPLES],
    ids=[e[0] for e in EXAMPLES],
)
def test_examples(route, vector_size, records, query, k, expected):
    entries = [(v, i) for i, v in records]
    store = build(vector_size, entries, route)
    got = store.search(query, k)
    assert_well_formed(got)
    assert_exact(got, expected)
    assert_same_results(got, top_k(entries, query, min(k, len(entries) + 1)))
    assert len(store) == len(entries)  # searching changes nothing


@pytest.mark.parametrize("k", [0, 1, 2, 100, U64_MAX])
def test_empty_store(k):
    store = Vectorstore(3)
    result = store.search([1.0, 2.0, 3.0], k)
    assert result == []
    assert type(result) is list


@pytest.mark.parametrize("k", [0, 1, 5])
@pytest.mark.parametrize("filled", [False, True], ids=["empty", "filled"])
@pytest.mark.parametrize(
    "size, query, message",
    [
        (4, [1.0, 2.0, 3.0], "query has length 3 but vectorstore expects 4"),
        (4, [], "query has length 0 but vectorstore expects 4"),
        (4, [1.0] * 5, "query has length 5 but vectorstore expects 4"),
        (0, [0.0, 0.0], "query has length 2 but vectorstore expects 0"),
        (1, [0.0] * 1000, "query has length 1000 but vectorstore expects 1"),
    ],
    ids=["short", "empty", "long", "size-0", "much-longer"],
)
def test_query_length_error(size, query, message, filled, k):
    store = Vectorstore(size)
    if filled:
        store.insert([1.0] * size, 1)
        store.insert([-1.0] * size, 2)
    with pytest.raises(ValueError) as err:
        store.search(query, k)
    assert type(err.value) is ValueError
    assert str(err.value) == message
    assert len(store) == (2 if filled else 0)


@pytest.mark.parametrize(
    "top_k_arg, exc_type, message",
    [
        (-1, *u64_error(-1)),
        (2**64, *u64_error(2**64)),
        (1.0, TypeError, "argument 'top_k': " + index_message(1.0)),
        (None, TypeError, "argument 'top_k': " + index_message(None)),
        ("3", TypeError, "argument 'top_k': " + index_message("3")),
    ],
    ids=["negative", "2**64", "float", "none", "str"],
)
def test_invalid_top_k(top_k_arg, exc_type, message):
    store = Vectorstore(2, [([1.0, 0.0], 1)])
    with pytest.raises(BaseException) as err:
        store.search([1.0, 0.0], top_k_arg)
    assert type(err.value) is exc_type
    assert str(err.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.search(), "Vectorstore.search() missing 2 required positional arguments: 'vector' and 'top_k'"),
        (lambda s: s.search([1.0, 0.0]), "Vectorstore.search() missing 1 required positional argument: 'top_k'"),
        (lambda s: s.search(top_k=1), "Vectorstore.search() missing 1 required positional argument: 'vector'"),
        (lambda s: s.search([1.0, 0.0], 1, 2), "Vectorstore.search() takes 2 positional arguments but 3 were given"),
        (lambda s: s.search(vector=[1.0], top_k=1, k=2), "Vectorstore.search() got an unexpected keyword argument 'k'"),
        (lambda s: s.search([1.0], 1, top_k=1), "Vectorstore.search() got multiple values for argument 'top_k'"),
        (lambda s: s.search("ab", 1), "argument 'vector': Can't extract `str` to `Vec`"),
        (lambda s: s.search({1.0: 2.0}, 1), "argument 'vector': 'dict' object is not an instance of 'Sequence'"),
        (lambda s: s.search(None, 1), "argument 'vector': 'None' is not an instance of 'Sequence'"),
    ],
    ids=["no-args", "no-top_k", "no-vector", "too-many", "unknown-keyword", "given-twice",
         "str-query", "dict-query", "none-query"],
)
def test_search_argument_errors(call, message):
    store = Vectorstore(2, [([1.0, 0.0], 1)])
    with pytest.raises(TypeError) as err:
        call(store)
    assert type(err.value) is TypeError
    assert str(err.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda s, q: s.search(q, 2),
        lambda s, q: s.search(vector=q, top_k=2),
        lambda s, q: s.search(top_k=2, vector=q),
        lambda s, q: s.search(q, top_k=True + 1),
    ],
    ids=["positional", "keywords", "keywords-reversed", "bool-arithmetic"],
)
def test_search_by_keyword(call):
    entries = [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([1.0, 1.0], 3)]
    store = build(2, entries)
    assert_exact(call(store, [1.0, 0.5]), top_k(entries, [1.0, 0.5], 2))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "k, expected_len", [(True, 1), (False, 0), (np.int64(2), 2), (Index(3), 3), (np.uint64(U64_MAX), 4)],
    ids=["true", "false", "numpy-int", "index-object", "numpy-max"],
)
def test_top_k_integer_like(k, expected_len):
    entries = [([1.0, 2.0], 1), ([2.0, 1.0], 2), ([-1.0, 0.0], 3), ([0.0, 1.0], 4)]
    store = build(2, entries)
    assert_exact(store.search([1.0, 1.0], k), top_k(entries, [1.0, 1.0], expected_len))


@pytest.mark.parametrize(
    "make_query",
    [
        lambda v: list(v),
        lambda v: tuple(v),
        lambda v: np.array(v, dtype=np.float64),
        lambda v: np.array(v, dtype=np.float32),
        lambda v: array.array("d", v),
        lambda v: array.array("f", v),
        lambda v: memoryview(array.array("d", v)),
        lambda v: [np.float64(x) for x in v],
    ],
    ids=["list", "tuple", "np-float64", "np-float32", "array-d", "array-f", "memoryview", "numpy-scalars"],
)
def test_query_forms_agree(make_query):
    rng = np.random.default_rng(5)
    entries = [(list(rng.standard_normal(7)), i) for i in range(40)]
    store = build(7, entries)
    q = [0.1, 0.7, 0.2, -0.3, 1e-3, 3.3333333333, -2.0000001]
    assert_exact(store.search(make_query(q), 40), top_k(entries, q, 40))


def test_results_are_new_lists():
    store = Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2)])
    first = store.search([1.0, 0.0], 2)
    second = store.search([1.0, 0.0], 2)
    assert first is not second
    assert first == second
    first.append("x")
    first[0] = None
    assert store.search([1.0, 0.0], 2) == [(1.0, 1), (0.0, 2)]
    assert_well_formed(second)


IDS = [0, 1, 2**31, 2**32, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 2, U64_MAX]


@pytest.mark.parametrize("route", ROUTES)
def test_large_ids_round_trip(route):
    entries = [([float(n), 1.0], ident) for n, ident in enumerate(IDS)]
    store = build(2, entries, route)
    got = store.search([0.0, 0.0], len(IDS))
    assert [i for _, i in got] == IDS
    assert all(type(i) is int for _, i in got)
    got = store.search([1.0, 0.0], len(IDS))
    assert_exact(got, top_k(entries, [1.0, 0.0], len(IDS)))
    assert sorted(i for _, i in got) == sorted(IDS)


# --- property test against the reference ranking ----------------------------------------

VALUES = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -3.0, 7.0, 1e-30, 1e20]
NON_FINITE = [INF, -INF, NAN]
component = st.sampled_from(VALUES * 6 + NON_FINITE)


@st.composite
def search_cases(draw):
    d = draw(st.integers(0, 4))
    vec = st.lists(component, min_size=d, max_size=d)
    pool = draw(st.lists(vec, min_size=1, max_size=5)) + [[0.0] * d, [-0.0] * d]
    n = draw(st.integers(0, 40))
    picks = draw(st.lists(st.integers(0, len(pool) - 1), min_size=n, max_size=n))
    rnd = draw(st.randoms(use_true_random=False))
    # small ids repeat, large ones exercise the whole 64-bit range
    ids = [rnd.randrange(6) if rnd.random() < 0.5 else rnd.randrange(2**64) for _ in range(n)]
    entries = [(pool[p], i) for p, i in zip(picks, ids)]
    query = draw(st.one_of(st.sampled_from(pool), vec))
    route = draw(st.sampled_from(ROUTES))
    return d, entries, query, route


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(search_cases())
def test_matches_reference_with_ties_zeros_and_non_finite(case):
    d, entries, query, route = case
    store = build(d, entries, route)
    n = len(entries)
    full = top_k(entries, query, n)
    for k in range(n + 2):
        got = store.search(query, k)
        assert_well_formed(got)
        assert_same_results(got, full[:k])


@settings(max_examples=150, deadline=None)
@given(
    st.integers(1, 6).flatmap(
        lambda d: st.tuples(
            st.lists(st.lists(st.floats(width=32), min_size=d, max_size=d), max_size=35),
            st.lists(st.floats(width=32), min_size=d, max_size=d),
            st.just(d),
        )
    )
)
def test_matches_reference_on_arbitrary_floats(case):
    vectors, query, d = case
    entries = [(v, i) for i, v in enumerate(vectors)]
    store = build(d, entries, "mixed")
    n = len(entries)
    full = top_k(entries, query, n)
    for k in sorted({0, 1, n // 2, n, n + 1}):
        assert_same_results(store.search(query, k), full[:k])


# --- larger stores: block boundaries must not matter ---------------------------------------

def _large_entries(n, d, seed):
    rng = np.random.default_rng(seed)
    pool = [list(map(float, rng.standard_normal(d).astype(np.float32))) for _ in range(4)]
    entries = []
    for pos in range(n):
        if pos in (0, 31, 32, 63, 64) or pos == n - 1:
            vec = [0.0] * d
        elif pos % 3 == 0:
            vec = pool[pos % 4]  # exact ties spread across blocks
        else:
            vec = list(map(float, rng.standard_normal(d).astype(np.float32)))
        entries.append((vec, int(rng.integers(0, 2**63)) if pos % 5 else pos % 7))
    if d > 0 and n > 40:
        entries[5] = ([NAN] + [1.0] * (d - 1), 555)
        entries[33] = ([INF] * d, 333)
        entries[n - 2] = ([-0.0] * d, 777)
    return entries, pool


def _truncation_entries(n, d, seed):
    """Positive components whose low 16 bits are 0x7FFF, so that their
    bfloat16 roundings underestimate every score by almost 2**-8, against a
    first block of rows that score just below the rounded ones."""
    rng = np.random.default_rng(seed)
    entries = []
    for pos in range(n):
        if pos < 40:
            vec = np.ones(d, np.float32)
            vec[:1] = 1.3
        else:
            vec = (rng.uniform(0.5, 1.5, d) * 2.0 ** rng.integers(-4, 5, d)).astype(np.float32)
            if pos % 2:
                vec[:] = 1 + (pos % 5) * 2.0**-7
            vec = (vec.view(np.uint32) & 0xFFFF0000 | 0x7FFF).view(np.float32)
        entries.append((list(map(float, vec)), pos))
    return entries, [[1.0] * d, entries[-1][0]]


@pytest.mark.parametrize("data", [_large_entries, _truncation_entries])
@pytest.mark.parametrize("d", [0, 1, 3, 17, 128])
@pytest.mark.parametrize("n", [31, 32, 33, 65, 1000])
def test_large_stores(n, d, data):
    entries, pool = data(n, d, seed=n * 1000 + d)
    rng = np.random.default_rng(d)
    queries = [pool[1], list(map(float, rng.standard_normal(d)))]
    ks = sorted({0, 1, 2, 31, 32, 33, n // 2, n - 1, n, n + 1})
    for route in ("create", "mixed"):
        store = build(d, entries, route)
        assert len(store) == n
        # Read back as stored, across block and segment edges.
        stored = np.array([v for v, _ in entries], np.float32).reshape(n, d)
        assert np.asarray(store.vectors()).tobytes() == stored.tobytes()
        assert np.asarray(store.ids()).tolist() == [i for _, i in entries]
        for q in queries:
            full = top_k(entries, q, n)
            for k in ks:
                assert_same_results(store.search(q, k), full[:k])
        for k in (1, 10):
            assert_batch_matches(store, entries, queries, k, n_threads=3 if route == "mixed" else 1)


def test_search_after_every_insert():
    rng = np.random.default_rng(11)
    pool = [list(map(float, rng.standard_normal(3))) for _ in range(3)]
    store = Vectorstore(3)
    entries = []
    q = [0.3, -1.0, 2.0]
    for pos in range(70):
        vec = pool[pos % 3] if pos % 2 else list(map(float, rng.standard_normal(3)))
        store.insert(vec, pos)
        entries.append((vec, pos))
        full = top_k(entries, q, len(entries))
        for k in (1, 3, len(entries)):
            assert_same_results(store.search(q, k), full[:k])


def test_many_nan_scores_never_fail():
    entries = [([NAN, 1.0] if i % 2 else [float(i % 7) - 3.0, 1.0], i) for i in range(200)]
    store = build(2, entries, "mixed")
    for q in ([1.0, 0.0], [NAN, 0.0], [0.0, 0.0]):
        full = top_k(entries, q, 200)
        for k in (0, 1, 50, 100, 150, 200):
            assert_same_results(store.search(q, k), full[:k])
    nan_ids = [i for s, i in store.search([1.0, 0.0], 200) if math.isnan(s)]
    assert nan_ids == list(range(1, 200, 2))
    assert f32bits(store.search([0.0, 0.0], 1)[0][0]) == 0


# --- many queries at once: search_batch and range_search ----------------------------------

def packed_mask(n, seed):
    """A mask of n bits (bit i % 8 of byte i // 8) with runs of whole blocks off, single
    lanes on, and the rest random, and the positions it allows."""
    rng = np.random.default_rng(seed)
    bits = rng.random(n) < 0.3
    bits[64:160] = False  # three whole blocks without an allowed lane
    bits[200:232] = False
    bits[215:216] = True  # one lane alone in its block
    return np.packbits(bits, bitorder="little").tobytes(), bits


def assert_batch_matches(store, entries, queries, k, n_threads=None):
    """search_batch against a loop of search; range_search, at ±inf and at stored scores
    (equality qualifies), against the filtered full ranking; then both under a mask against
    the full ranking of the allowed entries."""
    n = len(entries)
    got = store.search_batch(queries, k, n_threads)
    assert len(got) == len(queries)
    for q, found in zip(queries, got):
        assert_well_formed(found)
        assert_exact(found, store.search(q, k))
    allowed, bits = packed_mask(n, seed=n + k)
    by_position = [(v, p) for p, (v, _) in enumerate(entries)]
    for q in queries[:2]:
        full = store.search(q, n)
        numbers = [s for s, _ in full if not math.isnan(s)]
        for min_score in {-INF, INF, *(numbers[i] for i in (0, min(k, len(numbers)) - 1) if numbers)}:
            assert_exact(store.range_search([q], min_score, n_threads)[0], [h for h in full if h[0] >= min_score])
        ranked = [(s, p) for s, p in top_k(by_position, q, n) if bits[p]]
        expected = [(s, entries[p][1]) for s, p in ranked]
        assert_same_results(store.search_batch([q], k, n_threads, allowed=allowed)[0], expected[:k])
        assert_same_results(store.range_search([q], -INF, n_threads, allowed=allowed)[0],
                            [h for h in expected if not math.isnan(h[0])])


@pytest.mark.parametrize("share", [0.5, 0.1, 0.01, 0.001])
@pytest.mark.parametrize("which", ["random", "ranked last", "ranked first"])
def test_batch_masks_at_selectivities(share, which):
    # Sparse masks and masks of the entries least similar to the query: the scan must
    # keep its bounds (or go exact and come back) by the allowed lanes alone.
    rng = np.random.default_rng(int(share * 1000))
    n, d, k = 12000, 20, 10
    rows = rng.standard_normal((n, d)).astype(np.float32)
    store = Vectorstore(d, [(r, i) for i, r in enumerate(rows)])
    q = rng.standard_normal(d).astype(np.float32)
    full = store.search(q, n)
    keep = max(1, round(share * n))
    if which == "random":
        bits = rng.random(n) < share
    else:
        chosen = [i for _, i in (full[-keep:] if which == "ranked last" else full[:keep])]
        bits = np.zeros(n, bool)
        bits[chosen] = True
    allowed = np.packbits(bits, bitorder="little").tobytes()
    expected = [h for h in full if bits[h[1]]]
    for n_threads in (None, 1, 2):  # None: workers by the blocks the mask leaves to read
        assert store.search_batch([q, q], k, n_threads, allowed=allowed) == [expected[:k]] * 2
        assert store.search_batch([q], k, n_threads, allowed=allowed) == [expected[:k]]
    cut = expected[min(k, len(expected)) - 1][0]
    assert store.range_search([q], cut, 1, allowed=allowed) == [[h for h in expected if h[0] >= cut]]


@pytest.mark.parametrize("count", [0, 1, 15, 16, 17, 33])
@pytest.mark.parametrize("n_threads", [None, 1, 2])
def test_batch_sizes(count, n_threads):
    # 16 queries share one batch pass; one more or less leaves a partial group; from 16 a
    # worker, the workers share the queries rather than the store.
    rng = np.random.default_rng(count)
    rows = rng.standard_normal((2000, 24)).astype(np.float32)
    rows[::7] = rows[3]  # identical rows across blocks
    store = Vectorstore(24, [(r, i) for i, r in enumerate(rows)])
    queries = np.concatenate([rows[:count // 2], rng.standard_normal((count - count // 2, 24))]).astype(np.float32)
    got = store.search_batch(queries, 10, n_threads)
    assert got == [store.search(q, 10) for q in queries]
    ranged = store.range_search(queries, 0.5, n_threads)
    assert ranged == [[h for h in store.search(q, 2000) if h[0] >= 0.5] for q in queries]
    assert store.search_batch(queries, 0, n_threads) == [[] for _ in queries]


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a,
        lambda a: a.astype(np.float64),
        lambda a: np.asfortranarray(a),
        lambda a: a[:, ::-1][:, ::-1],
        lambda a: [list(map(float, r)) for r in a],
        lambda a: tuple(r for r in a),
        lambda a: memoryview(a),
        lambda a: [array.array("d", r) for r in a],
    ],
    ids=["np-float32", "np-float64", "fortran", "negative-strides", "lists", "tuple-of-rows", "memoryview-2d",
         "arrays"],
)
def test_batch_query_forms_agree(make):
    rng = np.random.default_rng(2)
    rows = rng.standard_normal((300, 7)).astype(np.float32)
    store = Vectorstore(7, [(r, i) for i, r in enumerate(rows)])
    queries = rng.standard_normal((5, 7)).astype(np.float32)
    expected = [store.search(list(map(float, q)), 4) for q in queries]
    assert store.search_batch(make(queries), 4) == expected
    assert store.range_search(make(queries), 0.2) == [[h for h in store.search(q, 300) if h[0] >= 0.2]
                                                       for q in queries]


BATCH = "Vectorstore.search_batch()"
RANGE = "Vectorstore.range_search()"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: s.search_batch([[1.0, 0.0], [1.0]], 1), ValueError,
         "query 1 has length 1 but vectorstore expects 2"),
        (lambda s: s.range_search(np.zeros((2, 3), np.float32), 0.5), ValueError,
         "query 0 has length 3 but vectorstore expects 2"),
        # every argument is converted before a length is reported
        (lambda s: s.search_batch([[1.0], [1.0, 0.0]], -1), OverflowError, u64_error(-1)[1]),
        (lambda s: s.search_batch([[1.0], "ab"], 1), TypeError, "argument 'queries': Can't extract `str` to `Vec`"),
        (lambda s: s.search_batch("ab", 1), TypeError, "argument 'queries': Can't extract `str` to `Vec`"),
        (lambda s: s.search_batch(5, 1), TypeError, "argument 'queries': 'int' object is not an instance of 'Sequence'"),
        (lambda s: s.range_search([[1.0, 0.0]], NAN), ValueError, "min_score must not be NaN"),
        (lambda s: s.range_search([[1.0, 0.0]], "0.5"), TypeError,
         "argument 'min_score': must be real number, not str"),
        (lambda s: s.search_batch([[1.0, 0.0]], 1, -2), OverflowError, u64_error(-2)[1]),
        (lambda s: s.search_batch([[1.0, 0.0]], 1, allowed=b"\x01\x00"), ValueError,
         "allowed has length 2 but vectorstore expects 1 (one bit for each of its 3 entries)"),
        (lambda s: s.range_search([], 0.0, allowed=b""), ValueError,
         "allowed has length 0 but vectorstore expects 1 (one bit for each of its 3 entries)"),
        (lambda s: s.search_batch([[1.0, 0.0]], 1, allowed=[1]), TypeError,
         "argument 'allowed': a bytes-like object is required, not 'list'"),
        (lambda s: s.search_batch([[1.0, 0.0]], 1, None, b"\x07"), TypeError,
         f"{BATCH} takes from 2 to 3 positional arguments but 4 were given"),
        (lambda s: s.range_search(), TypeError,
         f"{RANGE} missing 2 required positional arguments: 'queries' and 'min_score'"),
        (lambda s: s.range_search([], 0.0, mask=b""), TypeError,
         f"{RANGE} got an unexpected keyword argument 'mask'"),
    ],
    ids=["query-length", "numpy-query-length", "top_k-first", "later-query-str", "str", "int", "nan-min_score",
         "str-min_score", "negative-n_threads", "long-mask", "short-mask", "list-mask", "mask-by-position",
         "no-args", "unknown-keyword"],
)
def test_batch_errors(call, exc, message):
    store = Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([1.0, 1.0], 3)])
    with pytest.raises(BaseException) as err:
        call(store)
    assert type(err.value) is exc
    assert str(err.value) == message
    assert len(store) == 3


def test_batch_masks_and_empty_stores():
    store = Vectorstore(2, [([1.0, 0.0], 1), ([1.0, 0.0], 2), ([0.0, 1.0], 3)])
    q = [[1.0, 0.0]]
    assert store.search_batch(q, 3, allowed=b"\x06") == [[(1.0, 2), (0.0, 3)]]
    assert store.search_batch(q, 3, allowed=bytearray(b"\x00")) == [[]]
    assert store.range_search(q, 0.0, allowed=memoryview(b"\xff")) == [[(1.0, 1), (1.0, 2), (0.0, 3)]]
    assert store.range_search(q, 0.5, allowed=np.array([5], np.uint8)) == [[(1.0, 1)]]
    assert store.search_batch([], 3) == [] and store.range_search(np.zeros((0, 2)), 0.0) == []
    assert Vectorstore(2).search_batch(q * 2, 3, allowed=b"") == [[], []]
    assert Vectorstore(0, [([], 4)]).range_search([[]], 0.0) == [[(0.0, 4)]]
