"""Several Python threads using one store at once.

The arguments release the interpreter lock while they are converted (their protocol methods sleep
for a moment), so another thread really runs in the middle of a call and meets its borrow. Every
failure must be the borrow conflict of the member that was refused, and in the end the store holds
exactly the vectors whose insert succeeded, each findable with its exact score.
"""
import math
import random
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")

from oracle import cosine, same_float  # noqa: E402
from quillmere import Vectorstore  # noqa: E402

D = 6
THREADS = 4
OPS_PER_THREAD = 250
RETRIES = 6
READ_REFUSED = "Already mutably borrowed"
WRITE_REFUSED = "Already borrowed"


def yield_lock():
    time.sleep(0)  # a blocking call: releases the interpreter lock, so other threads run


class Yielding:
    """A sequence of floats whose length and item methods release the interpreter lock."""

    def __init__(self, values):
        self.values = list(values)

    def __len__(self):
        yield_lock()
        return len(self.values)

    def __getitem__(self, i):
        yield_lock()
        return self.values[i]


class YieldingFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        yield_lock()
        return self.value


class YieldingIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        yield_lock()
        return self.value


def vector_for(rng):
    return [rng.uniform(-4.0, 4.0) for _ in range(D)]


def wrapped(values, rng):
    """The same numbers, in an argument that lets other threads run while it converts."""
    kind = rng.randrange(3)
    if kind == 0:
        return Yielding(values)
    if kind == 1:
        return [YieldingFloat(v) for v in values]
    return tuple(values[:-1]) + (YieldingFloat(values[-1]),)


class Worker:
    """One thread's planned calls and what became of them."""

    def __init__(self, index, store, vectors_by_id, barrier):
        self.index, self.store, self.vectors_by_id, self.barrier = index, store, vectors_by_id, barrier
        self.rng = random.Random(1000 + index)
        self.inserted, self.refused, self.unexpected = [], 0, []
        self.plan = []
        for op in range(OPS_PER_THREAD):
            kind = self.rng.choice(["insert", "insert", "search", "parallel_search", "len", "repr", "vector_size"])
            ident = (index + 1) * 100_000 + op
            vec = [float(np.float32(x)) for x in vector_for(self.rng)]
            if kind == "insert":
                vectors_by_id[ident] = vec
            self.plan.append((kind, ident, vec))

    def call(self, kind, ident, vec):
        store, rng = self.store, self.rng
        if kind == "insert":
            return store.insert(wrapped(vec, rng), YieldingIndex(ident) if rng.random() < 0.5 else ident)
        if kind == "search":
            return store.search(wrapped(vec, rng), YieldingIndex(rng.randrange(1, 8)))
        if kind == "parallel_search":
            return store.parallel_search(wrapped(vec, rng), rng.randrange(1, 8), YieldingIndex(rng.randrange(0, 5)))
        if kind == "len":
            return len(store)
        if kind == "repr":
            return repr(store)
        return store.vector_size

    def run(self):
        self.barrier.wait()
        for kind, ident, vec in self.plan:
            for _attempt in range(RETRIES):
                # A pause outside any call, of random length, keeps the threads out of lockstep.
                time.sleep(self.rng.random() * 2e-4)
                try:
                    result = self.call(kind, ident, vec)
                except RuntimeError as exc:
                    expected = WRITE_REFUSED if kind == "insert" else READ_REFUSED
                    if type(exc) is RuntimeError and str(exc) == expected:
                        self.refused += 1
                        continue  # refused at once; try again
                    self.unexpected.append((kind, repr(exc)))
                except BaseException as exc:  # noqa: BLE001 - reported by the test
                    self.unexpected.append((kind, repr(exc)))
                else:
                    problem = self.check(kind, vec, result)
                    if problem:
                        self.unexpected.append((kind, problem))
                    elif kind == "insert":
                        self.inserted.append(ident)
                break

    def check(self, kind, vec, result):
        """A result read while other threads were inserting: it must still be exact."""
        if kind == "insert":
            return None if result is None else f"insert returned {result!r}"
        if kind == "vector_size":
            return None if result == D else f"vector_size {result}"
        if kind == "len":
            return None if isinstance(result, int) and result >= INITIAL else f"len {result}"
        if kind == "repr":
            return None if result.startswith(f"Vectorstore(vector_size={D}, len=") else result
        previous = math.inf
        for score, ident in result:
            stored = self.vectors_by_id.get(ident)
            if stored is None:
                return f"unknown id {ident}"
            if not same_float(score, cosine(vec, stored)):
                return f"score {score} for id {ident}"
            if score > previous:
                return f"ranking {result}"
            previous = score
        return None


INITIAL = 16


def initial_entries():
    rng = random.Random(7)
    return [([float(np.float32(x)) for x in vector_for(rng)], i) for i in range(INITIAL)]


def assert_store_holds_exactly(store, vectors_by_id, ids):
    """The store holds one entry per id in `ids` (insertion order unknown), each with its vector."""
    assert len(store) == len(ids)
    rng = random.Random(3)
    probes = [vector_for(rng) for _ in range(3)] + [vectors_by_id[i] for i in list(ids)[:: max(1, len(ids) // 20)]]
    for q in probes:
        got = store.search(q, len(ids) + 1)
        assert sorted(i for _, i in got) == sorted(ids)
        for score, ident in got:
            assert same_float(score, cosine(q, vectors_by_id[ident])), ident
        scores = [s for s, _ in got]
        assert scores == sorted(scores, reverse=True)
        assert store.parallel_search(q, len(ids) + 1, 3) == got


@pytest.fixture
def fast_switching():
    """Switch threads as often as the interpreter allows, so Python code interleaves finely too."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize("round_", range(3))
def test_threads_share_one_store(round_, fast_switching):
    entries = initial_entries()
    store = Vectorstore(D, entries)
    vectors_by_id = {i: v for v, i in entries}
    barrier = threading.Barrier(THREADS)
    workers = [Worker(k + 10 * round_, store, vectors_by_id, barrier) for k in range(THREADS)]
    threads = [threading.Thread(target=w.run) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for w in workers:
        assert w.unexpected == []
    inserted = [i for w in workers for i in w.inserted]
    assert_store_holds_exactly(store, vectors_by_id, list(range(INITIAL)) + inserted)
    # The borrow flag is free again: an insert and a read both succeed.
    store.insert([1.0] * D, 1)
    assert len(store) == INITIAL + len(inserted) + 1


class Gate:
    """An argument item that, while it converts, lets another thread run a call to completion."""

    def __init__(self, other_call):
        self.other_call, self.outcome = other_call, None

    def __float__(self):
        box = []

        def run():
            try:
                box.append(("ok", self.other_call()))
            except BaseException as exc:  # noqa: BLE001
                box.append((type(exc), str(exc)))

        t = threading.Thread(target=run)
        t.start()
        t.join()  # waiting releases the interpreter lock: the other thread runs now
        self.outcome = box[0]
        return 1.0


OTHER_CALLS = {
    "insert": lambda s: s.insert([0.5] * D, 42),
    "search": lambda s: s.search([0.5] * D, 3),
    "parallel_search": lambda s: s.parallel_search([0.5] * D, 3, 2),
    "len": len,
    "repr": repr,
    "vector_size": lambda s: s.vector_size,
}


@pytest.mark.parametrize("outer", ["insert", "search", "parallel_search"])
@pytest.mark.parametrize("other", sorted(OTHER_CALLS))
def test_call_from_another_thread_meets_the_borrow(outer, other):
    entries = initial_entries()
    store = Vectorstore(D, entries)
    gate = Gate(lambda: OTHER_CALLS[other](store))
    arg = [gate] + [0.25] * (D - 1)
    if outer == "insert":
        store.insert(arg, 99)
    elif outer == "search":
        store.search(arg, 2)
    else:
        store.parallel_search(arg, 2, 3)
    if outer == "insert":
        expected = (RuntimeError, WRITE_REFUSED if other == "insert" else READ_REFUSED)
        assert gate.outcome == expected
    elif other == "insert":
        assert gate.outcome == (RuntimeError, WRITE_REFUSED)
    else:
        assert gate.outcome[0] == "ok"
    assert len(store) == INITIAL + (1 if outer == "insert" else 0)


def test_parallel_searches_from_many_threads_agree():
    """Readers only: many threads run parallel searches with different thread counts at once,
    each with the interpreter lock released between calls, and all agree with search."""
    rng = random.Random(11)
    entries = [([float(np.float32(x)) for x in vector_for(rng)], i % 50) for i in range(400)]
    store = Vectorstore(D, entries)
    queries = [vector_for(rng) for _ in range(6)]
    expected = {(qi, k): store.search(q, k) for qi, q in enumerate(queries) for k in (1, 7, 400)}
    failures = []

    def reader(seed):
        r = random.Random(seed)
        for _ in range(25):
            qi, k = r.randrange(len(queries)), r.choice((1, 7, 400))
            n_threads = r.choice((None, 0, 1, 2, 3, 5, 16, 399, 400, 1000))
            got = store.parallel_search(Yielding(queries[qi]), k, n_threads)
            if got != expected[(qi, k)]:
                failures.append((qi, k, n_threads))

    threads = [threading.Thread(target=reader, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
