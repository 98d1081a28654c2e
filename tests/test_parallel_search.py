"""Tests of Vectorstore.parallel_search: argument binding and conversion, the
agreement with the sequential search for every thread count, and the failure
to start worker threads."""
import json
import math
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillmere
from oracle import assert_same_results, same_float, top_k
from quillmere import Vectorstore

NAME = "Vectorstore.parallel_search()"
Q4 = [1.0, 0.5, -0.25, 2.0]
U64_MAX = 2**64 - 1


def four_dim_entries():
    """Ten entries of size 4 with ties (ids 2/5 and 3/7 are equal vectors)."""
    vecs = [
        [1.0, 0.0, 0.0, 0.0],
        [0.5, 0.5, -1.0, 2.0],
        [1.0, 1.0, 1.0, 1.0],
        [-1.0, 0.0, 3.0, 0.5],
        [0.0, 0.0, 0.0, 0.0],
        [1.0, 1.0, 1.0, 1.0],
        [2.0, 1.0, -0.5, 4.0],
        [-1.0, 0.0, 3.0, 0.5],
        [0.25, -2.0, 1.0, 1.0],
        [1.0, 0.5, -0.25, 2.0],
    ]
    return [(v, i) for i, v in enumerate(vecs)]


@pytest.fixture
def store4():
    return Vectorstore(4, four_dim_entries())


@pytest.fixture(params=["empty", "filled"])
def any_store4(request):
    return Vectorstore(4) if request.param == "empty" else Vectorstore(4, four_dim_entries())


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrSub(str):
    pass


# ---------------------------------------------------------------------------
# Binding: every way of passing the arguments


CALL_FORMS = {
    "positional": lambda s: s.parallel_search(Q4, 3),
    "all_keywords": lambda s: s.parallel_search(vector=Q4, top_k=3, n_threads=2),
    "keywords_reordered": lambda s: s.parallel_search(n_threads=3, top_k=3, vector=Q4),
    "n_threads_keyword": lambda s: s.parallel_search(Q4, 3, n_threads=2),
    "top_k_keyword": lambda s: s.parallel_search(Q4, top_k=3),
    "n_threads_none_keyword": lambda s: s.parallel_search(Q4, 3, n_threads=None),
    "n_threads_none_positional": lambda s: s.parallel_search(Q4, 3, None),
    "n_threads_zero": lambda s: s.parallel_search(Q4, 3, 0),
    "n_threads_one": lambda s: s.parallel_search(Q4, 3, 1),
    "n_threads_true": lambda s: s.parallel_search(Q4, 3, True),
    "n_threads_index_object": lambda s: s.parallel_search(Q4, 3, Index(4)),
    "n_threads_numpy_int": lambda s: s.parallel_search(Q4, 3, np.int64(6)),
    "top_k_index_object": lambda s: s.parallel_search(Q4, Index(3), 2),
    "query_tuple": lambda s: s.parallel_search(tuple(Q4), 3, 2),
    "query_numpy_f32": lambda s: s.parallel_search(np.array(Q4, dtype=np.float32), 3, 5),
}


@pytest.mark.parametrize("call", CALL_FORMS.values(), ids=CALL_FORMS.keys())
def test_call_forms_match_sequential_search(store4, call):
    got = call(store4)
    assert_same_results(got, store4.search(Q4, 3))
    assert_same_results(got, top_k(four_dim_entries(), Q4, 3))


def test_signature():
    assert Vectorstore.parallel_search.__text_signature__ == "($self, vector, top_k, n_threads=None)"
    assert Vectorstore(2).parallel_search.__text_signature__ == "($self, vector, top_k, n_threads=None)"


BINDING_ERRORS = [
    ((), {}, f"{NAME} missing 2 required positional arguments: 'vector' and 'top_k'"),
    ((), {"n_threads": 1}, f"{NAME} missing 2 required positional arguments: 'vector' and 'top_k'"),
    ((Q4,), {}, f"{NAME} missing 1 required positional argument: 'top_k'"),
    ((), {"top_k": 1}, f"{NAME} missing 1 required positional argument: 'vector'"),
    ((Q4,), {"n_threads": 2}, f"{NAME} missing 1 required positional argument: 'top_k'"),
    ((Q4, 1, 2, 3), {}, f"{NAME} takes from 2 to 3 positional arguments but 4 were given"),
    ((Q4, 1, 2, 3, 4), {}, f"{NAME} takes from 2 to 3 positional arguments but 5 were given"),
    # too many positionals is reported before any keyword is looked at
    ((Q4, 1, 2, 3), {"bogus": 1}, f"{NAME} takes from 2 to 3 positional arguments but 4 were given"),
    ((Q4, 1), {"k": 2}, f"{NAME} got an unexpected keyword argument 'k'"),
    ((Q4,), {"top_k": 1, "threads": 2}, f"{NAME} got an unexpected keyword argument 'threads'"),
    ((Q4, 1), {"top_k": 1}, f"{NAME} got multiple values for argument 'top_k'"),
    ((Q4, 1, 2), {"n_threads": 2}, f"{NAME} got multiple values for argument 'n_threads'"),
    ((Q4, 1, None), {"n_threads": None}, f"{NAME} got multiple values for argument 'n_threads'"),
    ((Q4, 1), {"vector": Q4}, f"{NAME} got multiple values for argument 'vector'"),
    # keywords are taken in order; the first failing one decides
    ((Q4, 1), {"bogus": 1, "top_k": 1}, f"{NAME} got an unexpected keyword argument 'bogus'"),
    ((Q4, 1), {"top_k": 1, "bogus": 1}, f"{NAME} got multiple values for argument 'top_k'"),
    # binding comes before any conversion
    (("abcd", -1), {"k": 1}, f"{NAME} got an unexpected keyword argument 'k'"),
    (("abcd",), {}, f"{NAME} missing 1 required positional argument: 'top_k'"),
    (("abc", -1, -1, -1), {}, f"{NAME} takes from 2 to 3 positional arguments but 4 were given"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(any_store4, args, kwargs, message):
    before = len(any_store4)
    with pytest.raises(TypeError) as info:
        any_store4.parallel_search(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    any_store4.insert([0.0, 0.0, 0.0, 1.0], 77)  # no borrow left behind
    assert len(any_store4) == before + 1


# ---------------------------------------------------------------------------
# Conversion, in parameter order, before the length of the query is compared

STR_VEC = "argument 'vector': Can't extract `str` to `Vec`"
NOT_INT = "'{}' object cannot be interpreted as an integer"

CONVERSION_ERRORS = [
    # a str query is refused first, whatever follows it
    (("abcd", 1), TypeError, STR_VEC),
    (("abc", -1), TypeError, STR_VEC),
    (("abc", "x"), TypeError, STR_VEC),
    (("abc", 1, -1), TypeError, STR_VEC),
    (("abc", 2**64, 1.5), TypeError, STR_VEC),
    (("", 1), TypeError, STR_VEC),
    ((StrSub("abcd"), 1), TypeError, STR_VEC),
    ((5, 1), TypeError, "argument 'vector': 'int' object is not an instance of 'Sequence'"),
    ((None, 1), TypeError, "argument 'vector': 'None' is not an instance of 'Sequence'"),
    (({1.0, 2.0, 3.0, 4.0}, -1), TypeError, "argument 'vector': 'set' object is not an instance of 'Sequence'"),
    ((["x", 0.0, 0.0, 0.0], 1), TypeError, "argument 'vector': must be real number, not str"),
    # top_k is converted before n_threads, both before the length check
    ((Q4, -1), OverflowError, None),
    ((Q4, 2**64), OverflowError, None),
    (([1.0], -1), OverflowError, None),
    ((Q4, -1, "x"), OverflowError, None),
    ((Q4, "x", -1), TypeError, "argument 'top_k': " + NOT_INT.format("str")),
    (([1.0], 1.0), TypeError, "argument 'top_k': " + NOT_INT.format("float")),
    ((Q4, None), TypeError, "argument 'top_k': " + NOT_INT.format("NoneType")),
    ((Q4, 1, -1), OverflowError, None),
    ((Q4, 0, -1), OverflowError, None),
    ((Q4, 1, -(2**70)), OverflowError, None),
    ((Q4, 1, 2**64), OverflowError, None),
    (([1.0, 2.0, 3.0], 1, -1), OverflowError, None),
    (([], 0, -1), OverflowError, None),
    ((Q4, 1, 1.5), TypeError, "argument 'n_threads': " + NOT_INT.format("float")),
    ((Q4, 1, "2"), TypeError, "argument 'n_threads': " + NOT_INT.format("str")),
    (([1.0, 2.0, 3.0], 1, 2.0), TypeError, "argument 'n_threads': " + NOT_INT.format("float")),
    # all three convert: the length error comes last
    (([1.0, 2.0, 3.0], 1), ValueError, "query has length 3 but vectorstore expects 4"),
    (([1.0, 2.0, 3.0], 0, 0), ValueError, "query has length 3 but vectorstore expects 4"),
    (([1.0, 2.0, 3.0], 5, 2**63), ValueError, "query has length 3 but vectorstore expects 4"),
    (([], 1, None), ValueError, "query has length 0 but vectorstore expects 4"),
    (([0.0] * 5, U64_MAX, 3), ValueError, "query has length 5 but vectorstore expects 4"),
    ((range(3), 1, 1), ValueError, "query has length 3 but vectorstore expects 4"),
]


@pytest.mark.parametrize("args, exc, message", CONVERSION_ERRORS)
def test_conversion_and_length_errors(any_store4, args, exc, message):
    before = len(any_store4)
    with pytest.raises(BaseException) as info:
        any_store4.parallel_search(*args)
    assert type(info.value) is exc, repr(info.value)
    if message is None:
        # the interpreter's own range error passes through without an argument name
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value) == message
    any_store4.insert([0.0, 0.0, 0.0, 1.0], 77)  # the borrow was released
    assert len(any_store4) == before + 1


def test_item_errors_other_than_typeerror_pass_unchanged(store4):
    class Boom(ValueError):
        pass

    class BadFloat:
        def __float__(self):
            raise Boom("no float here")

    class SubTypeError(TypeError):
        pass

    class BadFloat2:
        def __float__(self):
            raise SubTypeError("plain message")

    with pytest.raises(Boom, match="^no float here$"):
        store4.parallel_search([1.0, BadFloat(), 0.0, 0.0], 1, 2)
    with pytest.raises(SubTypeError, match="^plain message$"):
        store4.parallel_search([1.0, BadFloat2(), 0.0, 0.0], 1, 2)


# ---------------------------------------------------------------------------
# Empty stores, top_k 0 and large counts

THREAD_COUNTS_WIDE = [None, 0, 1, 2, 7, 2**32, 2**63, U64_MAX]


@pytest.mark.parametrize("n_threads", THREAD_COUNTS_WIDE)
@pytest.mark.parametrize("k", [0, 1, 5, U64_MAX])
def test_empty_store_returns_empty_list(n_threads, k):
    store = Vectorstore(4)
    got = store.parallel_search(Q4, k, n_threads)
    assert type(got) is list and got == []
    assert Vectorstore(0).parallel_search([], k, n_threads=n_threads) == []


@pytest.mark.parametrize("n_threads", [None, 0, 1, 2, 3, 10, 11, 1000])
def test_top_k_zero_returns_empty_list(store4, n_threads):
    got = store4.parallel_search(Q4, 0, n_threads)
    assert type(got) is list and got == []


@pytest.mark.parametrize("n_threads", [None, 0, 1, 4, 10, 64])
@pytest.mark.parametrize("k", [10, 11, 1000, U64_MAX])
def test_top_k_beyond_store_returns_every_entry(store4, n_threads, k):
    got = store4.parallel_search(Q4, k, n_threads)
    assert len(got) == 10
    assert sorted(i for _, i in got) == list(range(10))
    assert_same_results(got, top_k(four_dim_entries(), Q4, 10))


def test_result_is_a_fresh_list_of_float_int_pairs():
    store = Vectorstore(2, [([1.0, 2.0], U64_MAX), ([3.0, -1.0], 0), ([0.0, 1.0], 2**63)])
    a = store.parallel_search([1.0, 1.0], 3, 2)
    b = store.parallel_search([1.0, 1.0], 3, 2)
    assert a is not b and a == b
    for pair in a:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is float and type(pair[1]) is int
    assert sorted(i for _, i in a) == [0, 2**63, U64_MAX]


# ---------------------------------------------------------------------------
# Fixed rankings, each checked for many thread counts

THREADS_SMALL = [None, 0, 1, 2, 3, 4, 6, 9, 10, 11, 100]


@pytest.mark.parametrize("n_threads", THREADS_SMALL)
def test_ties_keep_insertion_order(n_threads):
    store = Vectorstore(2, [([1.0, 0.0], 7), ([1.0, 0.0], 3), ([0.0, 1.0], 5)])
    assert store.parallel_search([1.0, 0.0], 3, n_threads) == [(1.0, 7), (1.0, 3), (0.0, 5)]
    assert store.parallel_search([1.0, 0.0], 1, n_threads) == [(1.0, 7)]


@pytest.mark.parametrize("n_threads", THREADS_SMALL)
def test_scores_ranked_in_float32(n_threads):
    store = Vectorstore(2, [([10.0, 10.0], 1), ([1.0, 1.0], 2)])
    assert store.parallel_search([1.0, 1.0], 2, n_threads) == [(1.0000001192092896, 2), (1.0, 1)]
    store = Vectorstore(2, [([-1.0, -1.0], 1), ([0.0, 0.0], 2), ([1.0, 1.0], 3)])
    assert store.parallel_search([1.0, 1.0], 3, n_threads) == [
        (1.0000001192092896, 3),
        (0.0, 2),
        (-1.0000001192092896, 1),
    ]


@pytest.mark.parametrize("n_threads", THREADS_SMALL)
def test_signed_zero_ties_across_chunks(n_threads):
    # Against [1, 0]: [-0.0, -1.0] scores -0.0, [0.0, 1.0] scores +0.0; the last entry scores 1.0.
    entries = [([-0.0, -1.0] if i % 2 == 0 else [0.0, 1.0], 100 + i) for i in range(9)]
    entries.append(([3.0, 0.0], 200))
    store = Vectorstore(2, entries)
    full = store.parallel_search([1.0, 0.0], 10, n_threads)
    assert [i for _, i in full] == [200] + [100 + i for i in range(9)]
    assert [math.copysign(1.0, s) for s, _ in full[1:]] == [-1.0 if i % 2 == 0 else 1.0 for i in range(9)]
    for k in range(12):
        got = store.parallel_search([1.0, 0.0], k, n_threads)
        assert_same_results(got, full[:k])
        assert_same_results(got, store.search([1.0, 0.0], k))


@pytest.mark.parametrize("n_threads", [None, 0, 1, 2, 3, 7, 40, 41])
def test_zero_size_vectors_rank_in_insertion_order(n_threads):
    store = Vectorstore(0, [([], 1000 - i) for i in range(40)])
    for k in (0, 1, 17, 40, 41):
        got = store.parallel_search([], k, n_threads)
        assert [i for _, i in got] == [1000 - i for i in range(min(k, 40))]
        assert all(same_float(s, 0.0) for s, _ in got)


NAN, INF = math.nan, math.inf


@pytest.mark.parametrize("n_threads", THREADS_SMALL)
def test_nan_scores_rank_last_in_insertion_order(n_threads):
    vecs = [
        [NAN, 1.0],   # 0: NaN
        [1.0, 0.0],   # 1: 1.0
        [INF, 0.0],   # 2: NaN (inf / inf)
        [0.0, 0.0],   # 3: zero vector, 0.0
        [0.5, 0.5],   # 4
        [-1.0, 0.0],  # 5: -1.0
        [1.0, NAN],   # 6: NaN
        [2.0, 0.0],   # 7: 1.0, ties with 1
        [0.0, -INF],  # 8: NaN
        [0.0, 1.0],   # 9: 0.0, ties with 3
    ]
    store = Vectorstore(2, [(v, i) for i, v in enumerate(vecs)])
    expected_ids = [1, 7, 4, 3, 9, 5, 0, 2, 6, 8]
    for k in range(12):
        got = store.parallel_search([1.0, 0.0], k, n_threads)
        assert [i for _, i in got] == expected_ids[:k]
        assert_same_results(got, store.search([1.0, 0.0], k))
    # a NaN query scores every non-zero vector NaN, the zero vector 0.0
    got = store.parallel_search([NAN, 1.0], 10, n_threads)
    assert [i for _, i in got] == [3, 0, 1, 2, 4, 5, 6, 7, 8, 9]


@pytest.mark.parametrize("n_threads", [None, 1, 2, 5, 33, 300, 400])
def test_long_stores_with_many_nan_scores(n_threads):
    rnd = random.Random(1234)
    entries = []
    for i in range(300):
        if i % 3 == 0:
            vec = [rnd.choice([NAN, INF, -INF]), rnd.uniform(-1, 1), 1.0]
        else:
            vec = [float(rnd.randint(-2, 2)), float(rnd.randint(-2, 2)), rnd.choice([0.0, -0.0, 1.0])]
        entries.append((vec, i))
    store = Vectorstore(3, entries)
    query = [1.0, -1.0, 0.5]
    for k in (0, 1, 5, 32, 99, 100, 101, 199, 200, 201, 299, 300, 301):
        expected = top_k(entries, query, k)
        assert_same_results(store.search(query, k), expected)
        assert_same_results(store.parallel_search(query, k, n_threads), expected)


# ---------------------------------------------------------------------------
# Agreement with the sequential search over random stores

NOTABLE = (0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -3.0, 1e-30, 1e20)
WILD = (INF, -INF, NAN)


def _component(rnd, wild):
    r = rnd.random()
    if wild and r < 0.08:
        return rnd.choice(WILD)
    if r < 0.45:
        return rnd.choice(NOTABLE)
    if r < 0.7:
        return float(rnd.randint(-2, 2))
    return rnd.uniform(-4.0, 4.0)


def _vector(rnd, d, wild):
    return [_component(rnd, wild) for _ in range(d)]


def random_case(seed, n, d, wild):
    """A store of n entries (many exact ties, zero vectors of either sign, and with
    wild=True infinities and NaN) and a query."""
    rnd = random.Random(seed)
    protos = [_vector(rnd, d, wild) for _ in range(rnd.randint(1, 4))]
    id_base = rnd.choice([0, 1000, 2**64 - n])
    entries = []
    for i in range(n):
        r = rnd.random()
        if r < 0.35:
            vec = list(rnd.choice(protos))
        elif r < 0.45:
            vec = [2.0 * x for x in rnd.choice(protos)]
        elif r < 0.55:
            vec = [rnd.choice((0.0, -0.0)) for _ in range(d)]
        else:
            vec = _vector(rnd, d, wild)
        entries.append((vec, id_base + i))
    r = rnd.random()
    if r < 0.4:
        query = list(rnd.choice(protos))
    elif r < 0.5:
        query = [-x for x in rnd.choice(protos)]
    elif r < 0.55:
        query = [rnd.choice((0.0, -0.0)) for _ in range(d)]
    else:
        query = _vector(rnd, d, wild)
    return entries, query


# (n, hypothesis examples): larger stores cost more threads per example
SIZES = [(1, 20), (2, 20), (31, 8), (33, 8), (64, 5), (100, 4), (257, 3)]


@pytest.mark.parametrize("n, examples", SIZES, ids=[f"n{n}" for n, _ in SIZES])
def test_agrees_with_sequential_search(n, examples):
    @settings(
        max_examples=examples,
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    @given(
        seed=st.integers(0, 2**32 - 1),
        d=st.sampled_from([3, 1, 2, 5, 0]),
        wild=st.sampled_from([True, False]),
    )
    def check(seed, d, wild):
        entries, query = random_case(seed, n, d, wild)
        store = Vectorstore(d, entries)
        expected = [store.search(query, k) for k in range(n + 2)]
        assert_same_results(store.parallel_search(query, n + 1, 3), top_k(entries, query, n + 1))
        every_k = range(n + 2)
        # With a thread per entry every chunk holds one entry and no chunk is ever
        # cut, so only the final cut depends on top_k: a few values suffice there.
        few_k = sorted({k for k in (0, 1, 2, 31, 32, 33, n // 2, n - 1, n, n + 1) if 0 <= k <= n + 1})
        for n_threads in (None, 0, 1, 2, 3, 7, n, n + 5):
            for k in every_k if n_threads is None or n_threads < n or n <= 2 else few_k:
                got = store.parallel_search(query, k, n_threads)
                assert_same_results(got, expected[k])

    check()


# ---------------------------------------------------------------------------
# Re-entrant use of the store while the arguments are being converted


class HookedSequence:
    """A sequence whose first item access runs a callback."""

    def __init__(self, values, hook):
        self.values = values
        self.hook = hook

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i == 0:
            self.hook()
        return self.values[i]


class HookedIndex:
    def __init__(self, value, hook):
        self.value = value
        self.hook = hook

    def __index__(self):
        self.hook()
        return self.value


def _attempts(store):
    """Run every member of the store from inside a conversion; record the outcome."""
    outcomes = {}

    def attempt(name, fn):
        try:
            fn()
            outcomes[name] = "ok"
        except RuntimeError as e:
            outcomes[name] = str(e)

    def hook():
        attempt("insert", lambda: store.insert([1.0, 1.0, 1.0, 1.0], 500))
        attempt("search", lambda: store.search(Q4, 2))
        attempt("parallel_search", lambda: store.parallel_search(Q4, 2, 2))
        attempt("len", lambda: len(store))
        attempt("repr", lambda: repr(store))
        attempt("vector_size", lambda: store.vector_size)

    return outcomes, hook


READS_OK_INSERT_REFUSED = {
    "insert": "Already borrowed",
    "search": "ok",
    "parallel_search": "ok",
    "len": "ok",
    "repr": "ok",
    "vector_size": "ok",
}


@pytest.mark.parametrize("where", ["vector", "top_k", "n_threads"])
def test_store_is_shared_borrowed_during_conversion(store4, where):
    outcomes, hook = _attempts(store4)
    vector, k, n_threads = Q4, 3, 2
    if where == "vector":
        vector = HookedSequence(Q4, hook)
    elif where == "top_k":
        k = HookedIndex(3, hook)
    else:
        n_threads = HookedIndex(2, hook)
    got = store4.parallel_search(vector, k, n_threads)
    assert outcomes == READS_OK_INSERT_REFUSED
    assert len(store4) == 10
    assert_same_results(got, store4.search(Q4, 3))
    store4.insert([1.0, 1.0, 1.0, 1.0], 500)  # released afterwards
    assert len(store4) == 11


def test_refused_while_insert_holds_the_store(store4):
    seen = []

    def hook():
        try:
            store4.parallel_search(Q4, 2, 2)
            seen.append("ok")
        except RuntimeError as e:
            seen.append(str(e))

    store4.insert(HookedSequence([0.0, 1.0, 0.0, 0.0], hook), 42)
    assert seen == ["Already mutably borrowed"]
    assert len(store4) == 11
    assert store4.parallel_search([0.0, 1.0, 0.0, 0.0], 1, 3) == [(1.0, 42)]


# ---------------------------------------------------------------------------
# Child processes: CPU affinity, huge thread counts and thread-creation failure


def run_child(code, env_extra=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    mod_dir = os.path.dirname(os.path.abspath(quillmere.__file__))
    prelude = f"import sys\nsys.path.insert(0, {mod_dir!r})\n"
    proc = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def decode(results):
    return [(float.fromhex(s), i) for s, i in results]


CHILD_HELPERS = """
import json, os, quillmere

def encode(results):
    return [[s.hex(), i] for s, i in results]
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity")
def test_default_thread_count_with_one_cpu():
    out = run_child(
        CHILD_HELPERS
        + """
cpu = min(os.sched_getaffinity(0))
os.sched_setaffinity(0, {cpu})
assert os.sched_getaffinity(0) == {cpu}
entries = [([float(i % 5), float(i % 3) - 1.0, -0.0], i) for i in range(70)]
store = quillmere.Vectorstore(3, entries)
q = [1.0, 0.0, 0.0]
out = []
for k in (0, 1, 13, 14, 69, 70, 71):
    out.append([k, encode(store.search(q, k)), encode(store.parallel_search(q, k)),
                encode(store.parallel_search(q, k, None)),
                encode(store.parallel_search(vector=q, top_k=k, n_threads=None))])
print(json.dumps(out))
"""
    )
    for k, seq, *parallel in out:
        assert len(seq) == min(k, 70)
        for got in parallel:
            assert_same_results(decode(got), decode(seq))


def test_thread_counts_up_to_the_largest_count():
    # More threads than entries: one worker per entry; the chunk size must not overflow.
    out = run_child(
        CHILD_HELPERS
        + """
store = quillmere.Vectorstore(2, [([1.0, float(i % 2)], i) for i in range(5)])
out = []
for t in (5, 6, 2**32, 2**63 - 1, 2**63, 2**64 - 1):
    out.append([t, encode(store.search([1.0, 0.5], 4)), encode(store.parallel_search([1.0, 0.5], 4, t))])
print(json.dumps(out))
"""
    )
    assert len(out) == 6
    for _, seq, got in out:
        assert len(got) == 4
        assert_same_results(decode(got), decode(seq))


SPAWN_FAILURE_CHILD = CHILD_HELPERS + """
import resource, threading

SPARE_STACKS = {spare}
N = 4096

def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")

store = quillmere.Vectorstore(2, [([float(i % 7), 1.0], i) for i in range(N)])
query = [1.0, 0.5]
expected = store.search(query, 5)

# Address space that one default thread stack takes (stack plus guard page).
gate = threading.Event()
base = vm_size()
th = threading.Thread(target=gate.wait)
th.start()
stack = vm_size() - base
gate.set()
th.join()

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Room for SPARE_STACKS more stacks and half a stack for the interpreter: the
# workers cannot all be started, while Python keeps enough memory to go on.
limit = vm_size() + SPARE_STACKS * stack + stack // 2
caught = None
resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
try:
    result = store.parallel_search(query, 5, N)
except BaseException as e:
    caught = e
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

out = {{"stack": stack, "returned": caught is None}}
if caught is not None:
    out.update(
        qualname=type(caught).__qualname__,
        module=type(caught).__module__,
        is_exception=isinstance(caught, Exception),
        bases=[b.__name__ for b in type(caught).__bases__],
        message=str(caught),
        nargs=len(caught.args),
        in_module=any(v is type(caught) for v in vars(quillmere).values()),
    )
out["search_after"] = store.search(query, 5) == expected
store.insert([1.0, 0.5], 99999)
out["len_after_insert"] = len(store)
out["inserted_found"] = any(i == 99999 for _, i in store.search(query, N + 1))
out["one_thread"] = encode(store.parallel_search(query, 5, n_threads=1))
out["three_threads"] = encode(store.parallel_search(query, 5, n_threads=3))
out["expected_after"] = encode(store.search(query, 5))
print(json.dumps(out))
"""


@pytest.mark.skipif(
    "libasan" in open("/proc/self/maps").read(),
    reason="AddressSanitizer reserves terabytes of address space; an address-space limit cannot apply",
)
@pytest.mark.parametrize("spare", [0, 3])
def test_thread_creation_failure_raises_panic(spare):
    # One arena for every thread, so that worker allocations do not reserve address space.
    out = run_child(SPAWN_FAILURE_CHILD.format(spare=spare), {"MALLOC_ARENA_MAX": "1"})
    assert out["stack"] > 0
    assert not out["returned"], "parallel_search succeeded without room for its thread stacks"
    assert out["qualname"] == "PanicException"
    assert out["module"] == "pyo3_runtime"
    assert out["bases"] == ["BaseException"]
    assert not out["is_exception"]
    assert not out["in_module"]
    assert out["nargs"] == 1
    prefix = "failed to spawn thread: "
    assert out["message"].startswith(prefix) and len(out["message"]) > len(prefix), out["message"]
    # The store is unchanged and free again.
    assert out["search_after"]
    assert out["len_after_insert"] == 4097
    assert out["inserted_found"]
    assert_same_results(decode(out["one_thread"]), decode(out["expected_after"]))
    assert_same_results(decode(out["three_threads"]), decode(out["expected_after"]))
