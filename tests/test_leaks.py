"""Repeating a call many thousands of times must not leak.

Every member of the module and every way it can fail is run in a loop. Afterwards the reference
counts of the argument objects, of the store and of the class are what they were, the number of
memory blocks the interpreter has handed out has not grown with the loop (so no result, exception
or temporary object is left behind), and the process's resident memory is flat (so no converted
vector, store segment or message buffer is left behind: each call moves a vector of 256 floats).

Set QUILLMERE_LEAK_ROUNDS to change the number of repetitions.
"""
import array
import gc
import os
import sys

import pytest

from quillmere import Vectorstore, cosine_similarity

ROUNDS = int(os.environ.get("QUILLMERE_LEAK_ROUNDS", "20000"))
# Calls that start worker threads cost far more than the others; they repeat less often.
THREAD_ROUNDS = max(1, ROUNDS // 40)
D = 256
# A leak of one converted vector per call would grow memory by ROUNDS kB; of 64 bytes, by more
# than this slack.
RSS_SLACK = 1 << 20


def sanitized():
    """Under AddressSanitizer freed memory sits in a quarantine, so resident memory is not flat by
    design; its leak checker watches native memory there instead."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Boom(Exception):
    pass


class Num:
    def __init__(self, value, fail=None, hook=None):
        self.value, self.fail, self.hook = value, fail, hook

    def __float__(self):
        if self.hook is not None:
            self.hook()
        if self.fail is not None:
            raise self.fail("refused") from KeyError("cause")
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    """A sequence by the general protocol, optionally with a failing __len__ or iterator."""

    def __init__(self, values, len_fails=False, fail_at=None):
        self.values, self.len_fails, self.fail_at = values, len_fails, fail_at

    def __len__(self):
        if self.len_fails:
            raise Boom("no length")
        return len(self.values)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom("item")
        return self.values[i]


class BadStr:
    def __float__(self):
        raise TypeError("not a number")

    def __str__(self):
        raise Boom("unprintable")


def vec(offset=0.0):
    return [float(i % 7) - 3.0 + offset for i in range(D)]


def make_store(n=40):
    return Vectorstore(D, [(vec(i), i) for i in range(n)])


def expect(exc_type, fn, message=None):
    """Runs fn and checks that it fails as this error path should (so the loop really takes it)."""
    try:
        fn()
    except exc_type as exc:
        if message is not None:
            assert str(exc) == message, str(exc)
        return
    raise AssertionError(f"expected {exc_type.__name__}")


def refused_inside(call):
    """An item that calls `call` while it is converted, and expects the borrow to refuse it."""
    def hook():
        expect(RuntimeError, call)
    return Num(1.0, hook=hook)


# Each case builds its objects and returns (one call, objects whose reference counts must not move).
def cases():
    store = make_store()
    v, bad_len = vec(), vec()[:-1]
    big_id, huge = 2**40 + 12345, 2**64
    buf = array.array("f", vec())
    num_item = Num(2.5)
    type_fail, value_fail = Num(1.0, TypeError), Num(1.0, Boom)
    seq_ok, seq_nolen, seq_fail = Seq(v), Seq(v, len_fails=True), Seq(v, fail_at=100)
    mixed = vec()[:-1] + [num_item]
    pairs = [(vec(i), i) for i in range(6)]
    pairs_bad_last = pairs + [(bad_len, 99)]
    k5, k_neg, k_str = Index(5), -1, "5"
    conflict_in_search = [refused_inside(lambda: store.insert(v, 1))] + vec()[1:]
    # The first item calls a member that the insert's exclusive borrow refuses; the vector has one
    # component too many, so the insert then fails too and the store does not grow.
    conflict_in_insert = {
        name: [refused_inside(call)] + vec()
        for name, call in {
            "search": lambda: store.search(v, 1),
            "parallel_search": lambda: store.parallel_search(v, 1, 2),
            "len": lambda: len(store),
            "repr": lambda: repr(store),
            "vector_size": lambda: store.vector_size,
            "insert": lambda: store.insert(v, 1),
        }.items()
    }
    # The store, the vector and two of its items (float objects) take part in almost every call.
    common = [store, v, v[0], v[-1], Vectorstore]
    return {
        # cosine_similarity
        "cosine ok": (lambda: cosine_similarity(v, mixed), common + [mixed, num_item]),
        "cosine buffer": (lambda: cosine_similarity(buf, v), common + [buf]),
        "cosine general sequence": (lambda: cosine_similarity(seq_ok, v), common + [seq_ok]),
        "cosine length raises": (lambda: cosine_similarity(seq_nolen, v), common + [seq_nolen]),
        "cosine iteration raises": (lambda: expect(Boom, lambda: cosine_similarity(seq_fail, v)), common + [seq_fail]),
        "cosine dimensions": (lambda: expect(ValueError, lambda: cosine_similarity(v, bad_len)), common + [bad_len]),
        "cosine str": (lambda: expect(TypeError, lambda: cosine_similarity("abc", v)), common),
        "cosine not a sequence": (lambda: expect(TypeError, lambda: cosine_similarity({1.0}, v)), common),
        "cosine item TypeError": (lambda: expect(TypeError, lambda: cosine_similarity(v[:-1] + [type_fail], v)),
                                  common + [type_fail]),
        "cosine item other error": (lambda: expect(Boom, lambda: cosine_similarity([value_fail], v)),
                                    common + [value_fail]),
        "cosine unprintable item": (lambda: expect(TypeError, lambda: cosine_similarity([BadStr()], v)), common),
        "cosine too many": (lambda: expect(TypeError, lambda: cosine_similarity(v, v, v)), common),
        "cosine missing": (lambda: expect(TypeError, lambda: cosine_similarity(v)), common),
        "cosine keyword twice": (lambda: expect(TypeError, lambda: cosine_similarity(v, vec1=v)), common),
        "cosine unknown keyword": (lambda: expect(TypeError, lambda: cosine_similarity(v, v, other=v)), common),
        "cosine unencodable keyword": (lambda: expect(TypeError, lambda: cosine_similarity(v, v, **{"\ud800": 1})),
                                       common),
        # construction and deallocation
        "new empty": (lambda: Vectorstore(D), common),
        "new with pairs": (lambda: Vectorstore(D, pairs), common + [pairs] + [p[0] for p in pairs]),
        "new by keyword": (lambda: Vectorstore(vectors=pairs, vector_size=D), common + [pairs]),
        "new length mismatch": (lambda: expect(ValueError, lambda: Vectorstore(D, pairs_bad_last)),
                                common + [pairs_bad_last, bad_len]),
        "new negative size": (lambda: expect(OverflowError, lambda: Vectorstore(-1, pairs)), common + [pairs]),
        "new size not int": (lambda: expect(TypeError, lambda: Vectorstore("3")), common),
        "new str vectors": (lambda: expect(TypeError, lambda: Vectorstore(D, "ab")), common),
        "new item not tuple": (lambda: expect(TypeError, lambda: Vectorstore(D, pairs[:3] + [[v, 1]])), common),
        "new tuple of 3": (lambda: expect(ValueError, lambda: Vectorstore(D, pairs[:3] + [(v, 1, 2)])), common),
        "new id overflow": (lambda: expect(OverflowError, lambda: Vectorstore(D, pairs[:3] + [(v, -1)])), common),
        "new item fails": (lambda: expect(Boom, lambda: Vectorstore(D, pairs[:3] + [([value_fail], 1)])),
                           common + [value_fail]),
        "new too many": (lambda: expect(TypeError, lambda: Vectorstore(D, pairs, 1)), common + [pairs]),
        "new foreign class": (lambda: expect(TypeError, lambda: Vectorstore.__new__(int, D)), common),
        # insert
        "insert ok": (lambda: Vectorstore(D).insert(v, big_id), common + [big_id]),
        "insert from buffer": (lambda: Vectorstore(D).insert(buf, big_id), common + [buf, big_id]),
        "insert wrong length": (lambda: expect(ValueError, lambda: store.insert(bad_len, big_id)),
                                common + [bad_len, big_id]),
        "insert negative id": (lambda: expect(OverflowError, lambda: store.insert(v, -5)), common),
        "insert id not int": (lambda: expect(TypeError, lambda: store.insert(v, 1.5)), common),
        "insert id too large": (lambda: expect(OverflowError, lambda: store.insert(v, huge)), common + [huge]),
        "insert str": (lambda: expect(TypeError, lambda: store.insert("abc", 1)), common),
        "insert item fails": (lambda: expect(TypeError, lambda: store.insert(v[:-1] + [type_fail], 1)),
                              common + [type_fail]),
        "insert while searching": (lambda: store.search(conflict_in_search, 1), common + conflict_in_search[:1]),
        **{
            f"{name} while inserting": (lambda arg=arg: expect(ValueError, lambda: store.insert(arg, 1)),
                                        common + arg[:1])
            for name, arg in conflict_in_insert.items()
        },
        # search
        "search ok": (lambda: store.search(mixed, k5), common + [mixed, k5, num_item]),
        "search all": (lambda: store.search(v, 10**6), common),
        "search nan query": (lambda: store.search([float("nan")] * D, 3), common),
        "search wrong length": (lambda: expect(ValueError, lambda: store.search(bad_len, 1)), common + [bad_len]),
        "search negative top_k": (lambda: expect(OverflowError, lambda: store.search(v, k_neg)), common),
        "search top_k not int": (lambda: expect(TypeError, lambda: store.search(v, k_str)), common + [k_str]),
        "search top_k too large": (lambda: expect(OverflowError, lambda: store.search(v, huge)), common + [huge]),
        "search str": (lambda: expect(TypeError, lambda: store.search("abc", 1)), common),
        "search missing": (lambda: expect(TypeError, lambda: store.search(v)), common),
        # parallel_search
        "parallel_search ok": (lambda: store.parallel_search(mixed, k5, 2), common + [mixed, k5], THREAD_ROUNDS),
        "parallel_search default threads": (lambda: store.parallel_search(v, 3), common, THREAD_ROUNDS),
        "parallel_search one thread": (lambda: store.parallel_search(v, 3, 0), common, THREAD_ROUNDS),
        "parallel_search empty store": (lambda: Vectorstore(D).parallel_search(v, 3, 4), common),
        "parallel_search wrong length": (lambda: expect(ValueError, lambda: store.parallel_search(bad_len, 1, 2)),
                                         common + [bad_len]),
        "parallel_search bad n_threads": (lambda: expect(OverflowError, lambda: store.parallel_search(v, 1, -2)),
                                          common),
        "parallel_search n_threads not int": (lambda: expect(TypeError, lambda: store.parallel_search(v, 1, "2")),
                                              common),
        "parallel_search too many": (lambda: expect(TypeError, lambda: store.parallel_search(v, 1, 2, 3)), common),
        # slots and the property
        "len": (lambda: len(store), common),
        "repr": (lambda: repr(store), common),
        "vector_size": (lambda: store.vector_size, common),
        "vector_size read-only": (lambda: expect(AttributeError, lambda: setattr(store, "vector_size", 3)), common),
        "foreign receiver": (lambda: expect(TypeError, lambda: Vectorstore.search(v, v, 1)), common),
    }


def numpy_cases():
    np = pytest.importorskip("numpy")
    store = make_store()
    common = [store, Vectorstore]
    arrays = {
        "float32": np.array(vec(), dtype=np.float32),
        "float64": np.array(vec(), dtype=np.float64),
        "int64": np.arange(D, dtype=np.int64),
        "bool": np.arange(D) % 2 == 0,
        "strided": np.array(vec() * 2, dtype=np.float32)[::2],
        "float16 (general path)": np.array(vec(), dtype=np.float16),
    }
    out = {f"numpy {name}": (lambda a=a: store.search(a, 3), common + [a]) for name, a in arrays.items()}
    two_d = np.ones((2, D), dtype=np.float32)
    out["numpy 2-D refused item by item"] = (lambda: expect(TypeError, lambda: store.search(two_d, 3)),
                                             common + [two_d])
    return out


CASES = cases()


def measure(fn, tracked, rounds):
    for _ in range(min(200, rounds)):
        fn()
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in tracked]
    blocks = sys.getallocatedblocks()
    rss = resident_bytes()
    for _ in range(rounds):
        fn()
    gc.collect()
    return (
        [sys.getrefcount(obj) for obj in tracked] == refs,
        sys.getallocatedblocks() - blocks,
        resident_bytes() - rss,
    )


@pytest.fixture
def quiet_unraisable():
    """Unprintable objects are reported through the unraisable hook on every call; drop those."""
    old = sys.unraisablehook
    sys.unraisablehook = lambda report: None
    yield
    sys.unraisablehook = old


NUMPY_CASES = ["numpy float32", "numpy float64", "numpy int64", "numpy bool", "numpy strided",
               "numpy float16 (general path)", "numpy 2-D refused item by item"]


def check_case(fn, tracked, *rest):
    rounds = rest[0] if rest else ROUNDS
    refs_unchanged, new_blocks, rss_growth = measure(fn, tracked, rounds)
    assert refs_unchanged
    # One object left behind per call would add `rounds` blocks; caches may add a handful.
    assert new_blocks < max(50, rounds // 100), new_blocks
    if not sanitized():
        assert rss_growth < RSS_SLACK, rss_growth


@pytest.mark.parametrize("name", sorted(CASES))
def test_repeated_calls_do_not_leak(name, quiet_unraisable):
    check_case(*CASES[name])


@pytest.mark.parametrize("name", NUMPY_CASES)
def test_repeated_buffer_conversions_do_not_leak(name, quiet_unraisable):
    check_case(*numpy_cases()[name])


def test_stores_of_many_segments_are_freed():
    """Stores that span several segments, built and dropped again and again."""
    rows = [(vec(i), i) for i in range(600)]  # more than one segment of a store of 256 floats
    tracked = [Vectorstore, rows]

    def build_and_drop():
        store = Vectorstore(D, rows)
        for i in range(100):
            store.insert(rows[i][0], i)
        assert len(store) == 700

    refs_unchanged, new_blocks, rss_growth = measure(build_and_drop, tracked, max(1, ROUNDS // 200))
    assert refs_unchanged and new_blocks < 50
    if not sanitized():
        assert rss_growth < RSS_SLACK, rss_growth
