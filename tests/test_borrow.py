"""Access discipline of a Vectorstore: insert holds the store exclusively, readers hold it shared.

Converting an argument can run Python code (a sequence's __len__/__getitem__/__iter__, an item's
__float__, an integer's __index__). When that code calls back into the same store while the outer
call holds its borrow, the inner call meets the borrow flag: it fails at once with RuntimeError,
and every borrow is released on every way out of every member."""
import threading

import numpy as np
import pytest

from oracle import assert_same_results, top_k
from quillmere import Vectorstore

BORROWED = (RuntimeError, "Already borrowed")
MUT_BORROWED = (RuntimeError, "Already mutably borrowed")

BASE = [([1.0, 0.0, 2.0], 10), ([0.5, -1.0, 0.0], 11), ([2.0, 2.0, -1.0], 12)]
Q = [1.0, 0.5, -0.25]
NEW_VECTOR = [1.0, 2.0, 3.0]


def fresh_store():
    return Vectorstore(3, [(list(v), i) for v, i in BASE])


def assert_holds(store, entries):
    assert len(store) == len(entries)
    for q in (Q, [0.0, 0.0, 0.0], [0.0, 1.0, 0.0]):
        assert_same_results(store.search(q, len(entries) + 1), top_k(entries, q, len(entries) + 1))


def attempt(fn):
    try:
        return ("ok", fn())
    except Exception as exc:
        return (type(exc), str(exc))


# --- objects whose conversion runs a hook ---------------------------------------------------

class HookSeq:
    """A sequence of floats that runs `hook` once, from the protocol method named by `at`."""

    def __init__(self, values, hook, at):
        assert at in ("len", "getitem", "iter")
        self.values, self.hook, self.at, self.fired = list(values), hook, at, 0

    def _fire(self, where):
        if where == self.at and not self.fired:
            self.fired += 1
            self.hook()

    def __len__(self):
        self._fire("len")
        return len(self.values)

    def __getitem__(self, i):
        self._fire("getitem")
        return self.values[i]

    def __iter__(self):
        self._fire("iter")
        return (self[i] for i in range(len(self.values)))


class HookFloat:
    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __float__(self):
        self.hook()
        return self.value


class HookIndex:
    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __index__(self):
        self.hook()
        return self.value


class Untouchable:
    """A sequence that records any use: a call refused at its borrow must not convert it."""

    def __init__(self, values):
        self.values, self.touched = list(values), False

    def __len__(self):
        self.touched = True
        return len(self.values)

    def __getitem__(self, i):
        self.touched = True
        return self.values[i]


def hooked_vector(values, hook, where):
    """`values` as an argument whose conversion runs `hook` at the protocol point `where`."""
    if where == "float":
        return [HookFloat(values[0], hook)] + list(values[1:]) if values else []
    return HookSeq(values, hook, where)


# --- the members as inner calls ---------------------------------------------------------------

def member_calls(store):
    return {
        "insert": lambda: store.insert([0.5, 0.5, 0.5], 99),
        "search": lambda: store.search(Q, 2),
        "parallel_search": lambda: store.parallel_search(Q, 2),
        "parallel_search_2_threads": lambda: store.parallel_search(Q, 2, 2),
        "len": lambda: len(store),
        "bool": lambda: bool(store),
        "repr": lambda: repr(store),
        "vector_size": lambda: store.vector_size,
        "vectors": lambda: np.asarray(store.vectors()).tolist(),
        "ids": lambda: store.ids(1).tolist(),
    }


MEMBERS = list(member_calls(None).keys())


def expected_reader_results(entries):
    full = top_k(entries, Q, 2)
    return {
        "search": full,
        "parallel_search": full,
        "parallel_search_2_threads": full,
        "len": len(entries),
        "bool": True,
        "repr": f"Vectorstore(vector_size=3, len={len(entries)})",
        "vector_size": 3,
        "vectors": [v for v, _ in entries],
        "ids": [i for _, i in entries[1:]],
    }


# --- inside insert every member fails -----------------------------------------------------------

def _outer_insert(store, hook, where):
    """An insert of NEW_VECTOR with id 50 whose conversion runs `hook` at `where`."""
    if where == "id":
        return store.insert(list(NEW_VECTOR), HookIndex(50, hook))
    return store.insert(hooked_vector(NEW_VECTOR, hook, where), 50)


INSERT_HOOKS = ["len", "getitem", "iter", "float", "id"]


@pytest.mark.parametrize("where", INSERT_HOOKS)
@pytest.mark.parametrize("member", MEMBERS)
def test_every_member_fails_inside_insert(member, where):
    store = fresh_store()
    seen = []
    inner = member_calls(store)[member]
    assert _outer_insert(store, lambda: seen.append(attempt(inner)), where) is None
    assert seen == [BORROWED if member == "insert" else MUT_BORROWED]
    # The outer insert went through, the inner one did not.
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])


@pytest.mark.parametrize("where", INSERT_HOOKS)
def test_exclusive_borrow_survives_refused_requests(where):
    store = fresh_store()
    seen = []

    def hook():
        calls = member_calls(store)
        for name in ("search", "len", "insert", "search", "repr", "insert", "vector_size", "len"):
            seen.append((name, attempt(calls[name])))

    _outer_insert(store, hook, where)
    assert seen == [(name, BORROWED if name == "insert" else MUT_BORROWED)
                    for name in ("search", "len", "insert", "search", "repr", "insert", "vector_size", "len")]
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])


# --- inside search and parallel_search readers succeed, insert fails -------------------------

def _outer_read(store, outer, hook, where):
    """search / parallel_search of Q, top_k 3, whose conversion runs `hook` at `where`."""
    vector = list(Q)
    k = 3
    n_threads = None
    if where == "top_k":
        k = HookIndex(3, hook)
    elif where == "n_threads":
        n_threads = HookIndex(2, hook)
    else:
        vector = hooked_vector(Q, hook, where)
    if outer == "search":
        return store.search(vector, k)
    return store.parallel_search(vector, k, n_threads)


READ_CASES = [("search", w) for w in ("len", "getitem", "iter", "float", "top_k")] + [
    ("parallel_search", w) for w in ("len", "getitem", "iter", "float", "top_k", "n_threads")
]


@pytest.mark.parametrize("member", MEMBERS)
@pytest.mark.parametrize("outer, where", READ_CASES, ids=[f"{o}-{w}" for o, w in READ_CASES])
def test_readers_succeed_inside_a_read(outer, where, member):
    store = fresh_store()
    seen = []
    inner = member_calls(store)[member]
    result = _outer_read(store, outer, lambda: seen.append(attempt(inner)), where)
    assert_same_results(result, top_k(BASE, Q, 3))
    assert len(seen) == 1
    if member == "insert":
        assert seen[0] == BORROWED
    else:
        status, value = seen[0]
        assert status == "ok", seen
        expected = expected_reader_results(BASE)[member]
        if member.startswith(("search", "parallel_search")):
            assert_same_results(value, expected)
        else:
            assert value == expected
    assert_holds(store, BASE)
    store.insert(NEW_VECTOR, 50)  # the shared borrow is gone
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])


@pytest.mark.parametrize("outer", ["search", "parallel_search"])
def test_shared_borrows_nest_and_count(outer):
    store = fresh_store()
    seen = []

    def innermost():
        seen.append(("innermost insert", attempt(lambda: store.insert(NEW_VECTOR, 1))))

    def middle():
        # a second shared borrow, taken and released while the outer one is held
        seen.append(("middle search", attempt(lambda: store.search(HookSeq(Q, innermost, "getitem"), 3))))
        # after the inner reader is done the outer borrow must still block writers
        seen.append(("insert after inner reader", attempt(lambda: store.insert(NEW_VECTOR, 2))))
        seen.append(("len", attempt(lambda: len(store))))

    result = _outer_read(store, outer, middle, "getitem")
    assert_same_results(result, top_k(BASE, Q, 3))
    assert seen[0] == ("innermost insert", BORROWED)
    assert seen[1][0] == "middle search" and seen[1][1][0] == "ok"
    assert_same_results(seen[1][1][1], top_k(BASE, Q, 3))
    assert seen[2] == ("insert after inner reader", BORROWED)
    assert seen[3] == ("len", ("ok", 3))
    store.insert(NEW_VECTOR, 50)
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])


# --- a refused call does not convert its arguments -------------------------------------------

@pytest.mark.parametrize("outer", ["insert", "search", "parallel_search"])
def test_refused_insert_converts_nothing(outer):
    store = fresh_store()
    probe_vector = Untouchable([1.0, 1.0, 1.0])
    probe_id = HookIndex(7, lambda: pytest.fail("id converted"))
    seen = []

    def hook():
        seen.append(attempt(lambda: store.insert(probe_vector, probe_id)))

    if outer == "insert":
        _outer_insert(store, hook, "getitem")
    else:
        _outer_read(store, outer, hook, "getitem")
    assert seen == [BORROWED]
    assert not probe_vector.touched


def test_refused_search_converts_nothing():
    store = fresh_store()
    probe = Untouchable(Q)
    seen = []
    _outer_insert(store, lambda: seen.append(attempt(lambda: store.search(probe, 1))), "getitem")
    assert seen == [MUT_BORROWED]
    assert not probe.touched


def test_argument_binding_comes_before_the_borrow():
    store = fresh_store()
    seen = []

    def hook():
        seen.append(attempt(lambda: store.search()))
        seen.append(attempt(lambda: store.insert([1.0])))

    _outer_insert(store, hook, "getitem")
    assert seen == [
        (TypeError, "Vectorstore.search() missing 2 required positional arguments: 'vector' and 'top_k'"),
        (TypeError, "Vectorstore.insert() missing 1 required positional argument: 'id'"),
    ]


def test_other_instances_are_unaffected():
    store = fresh_store()
    other = Vectorstore(3, [([1.0, 1.0, 1.0], 1)])
    seen = []

    def hook():
        fresh = Vectorstore(2)
        fresh.insert([1.0, 0.0], 5)
        other.insert([0.0, 1.0, 0.0], 2)
        seen.append((fresh.search([1.0, 0.0], 1), len(other), other.search([0.0, 1.0, 0.0], 1)))

    _outer_insert(store, hook, "getitem")
    assert seen == [([(1.0, 5)], 2, [(1.0, 2)])]
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])


# --- errors that are not swallowed -----------------------------------------------------------

@pytest.mark.parametrize(
    "outer, inner, expected",
    [
        ("insert", "insert", BORROWED),
        ("insert", "search", MUT_BORROWED),
        ("insert", "len", MUT_BORROWED),
        ("search", "insert", BORROWED),
        ("parallel_search", "insert", BORROWED),
    ],
)
@pytest.mark.parametrize("where", ["getitem", "float"])
def test_inner_conflict_propagates_and_releases(outer, inner, expected, where):
    store = fresh_store()
    calls = member_calls(store)

    def hook():
        calls[inner]()

    with pytest.raises(RuntimeError) as err:
        if outer == "insert":
            _outer_insert(store, hook, where)
        else:
            _outer_read(store, outer, hook, where)
    assert (type(err.value), str(err.value)) == expected
    assert_holds(store, BASE)
    store.insert(NEW_VECTOR, 50)
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])


# --- every failing path releases its borrow ----------------------------------------------------

class Boom(Exception):
    pass


def _raise_boom():
    raise Boom("from a conversion")


FAILING_CALLS = {
    "insert-short-vector": (lambda s: s.insert([1.0, 2.0], 1), ValueError),
    "insert-long-vector": (lambda s: s.insert([1.0] * 4, 1), ValueError),
    "insert-negative-id": (lambda s: s.insert([1.0, 2.0, 3.0], -1), OverflowError),
    "insert-float-id": (lambda s: s.insert([1.0, 2.0, 3.0], 1.5), TypeError),
    "insert-str-vector": (lambda s: s.insert("abc", 1), TypeError),
    "insert-bad-component": (lambda s: s.insert([1.0, "x", 3.0], 1), TypeError),
    "insert-getitem-raises": (lambda s: s.insert(HookSeq([1.0, 2.0, 3.0], _raise_boom, "getitem"), 1), Boom),
    "insert-float-raises": (lambda s: s.insert([HookFloat(1.0, _raise_boom), 2.0, 3.0], 1), Boom),
    "insert-index-raises": (lambda s: s.insert([1.0, 2.0, 3.0], HookIndex(1, _raise_boom)), Boom),
    "insert-missing-argument": (lambda s: s.insert([1.0, 2.0, 3.0]), TypeError),
    "search-short-query": (lambda s: s.search([1.0], 1), ValueError),
    "search-negative-top_k": (lambda s: s.search(Q, -1), OverflowError),
    "search-none-top_k": (lambda s: s.search(Q, None), TypeError),
    "search-none-query": (lambda s: s.search(None, 1), TypeError),
    "search-iter-raises": (lambda s: s.search(HookSeq(Q, _raise_boom, "iter"), 1), Boom),
    "search-index-raises": (lambda s: s.search(Q, HookIndex(1, _raise_boom)), Boom),
    "parallel-short-query": (lambda s: s.parallel_search([1.0], 1), ValueError),
    "parallel-negative-top_k": (lambda s: s.parallel_search(Q, -1), OverflowError),
    "parallel-str-n_threads": (lambda s: s.parallel_search(Q, 1, "x"), TypeError),
    "parallel-getitem-raises": (lambda s: s.parallel_search(HookSeq(Q, _raise_boom, "getitem"), 1), Boom),
    "parallel-index-raises": (lambda s: s.parallel_search(Q, 1, HookIndex(2, _raise_boom)), Boom),
}


@pytest.mark.parametrize("name", list(FAILING_CALLS))
def test_failing_calls_release_the_borrow(name):
    call, exc_type = FAILING_CALLS[name]
    store = fresh_store()
    for _ in range(3):
        with pytest.raises(exc_type):
            call(store)
    # a shared borrow left behind would refuse insert; a borrow released twice would refuse readers
    assert len(store) == len(BASE)
    assert repr(store) == "Vectorstore(vector_size=3, len=3)"
    assert store.vector_size == 3
    assert_holds(store, BASE)
    store.insert(NEW_VECTOR, 50)
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])
    assert_same_results(store.parallel_search(Q, 4), top_k(BASE + [(NEW_VECTOR, 50)], Q, 4))


# --- another thread meets the borrow ------------------------------------------------------------

def _in_thread(fn):
    box = []
    t = threading.Thread(target=lambda: box.append(attempt(fn)))
    t.start()
    t.join()  # lets the other thread run while the outer call is inside a conversion
    return box[0]


@pytest.mark.parametrize("member", MEMBERS)
def test_other_thread_meets_the_exclusive_borrow(member):
    store = fresh_store()
    seen = []
    inner = member_calls(store)[member]
    _outer_insert(store, lambda: seen.append(_in_thread(inner)), "getitem")
    assert seen == [BORROWED if member == "insert" else MUT_BORROWED]
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])


@pytest.mark.parametrize("outer", ["search", "parallel_search"])
def test_other_thread_meets_the_shared_borrow(outer):
    store = fresh_store()
    seen = []

    def hook():
        seen.append(_in_thread(lambda: store.insert(NEW_VECTOR, 1)))
        seen.append(_in_thread(lambda: store.search(Q, 3)))

    result = _outer_read(store, outer, hook, "getitem")
    assert_same_results(result, top_k(BASE, Q, 3))
    assert seen[0] == BORROWED
    assert seen[1][0] == "ok"
    assert_same_results(seen[1][1], top_k(BASE, Q, 3))
    assert_holds(store, BASE)


# --- read-backs hold a shared borrow while they convert, and none afterwards ---------------------

@pytest.mark.parametrize("outer", ["vectors", "ids"])
@pytest.mark.parametrize("where", ["start", "stop"])
def test_read_back_borrows_while_converting(outer, where):
    store = fresh_store()
    seen = []

    def hook():
        seen.append(attempt(lambda: store.insert(NEW_VECTOR, 1)))
        seen.append(attempt(lambda: store.search(Q, 1)[0][1]))

    start, stop = (HookIndex(1, hook), None) if where == "start" else (0, HookIndex(2, hook))
    view = getattr(store, outer)(start, stop)
    assert seen == [BORROWED, ("ok", 12)]
    want = [v for v, _ in BASE] if outer == "vectors" else [i for _, i in BASE]
    want = want[1:] if where == "start" else want[:2]
    assert view.tolist() == want
    store.insert(NEW_VECTOR, 50)  # the view is a copy, and holds no borrow
    assert view.tolist() == want
    assert_holds(store, BASE + [(NEW_VECTOR, 50)])
