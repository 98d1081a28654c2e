"""The Vectorstore class: construction, insert, len/bool/repr, the vector_size property,
the order in which arguments are converted, and the class object's reference count."""
import ctypes
import gc
import operator
import sys
import weakref
from collections import namedtuple

import numpy as np
import pytest

from oracle import assert_same_results, top_k
from quillmere import Vectorstore

IS_64BIT = sys.maxsize > 2**32
U64_MAX = 2**64 - 1


# --- the interpreter's own wording for the conversions the module relies on ---------------

def _capi_error(name, restype, obj):
    fn = getattr(ctypes.pythonapi, name)
    fn.argtypes = [ctypes.py_object]
    fn.restype = restype
    try:
        fn(obj)
    except Exception as exc:  # the error that the C API call leaves pending
        return type(exc), str(exc)
    raise AssertionError(f"{name}({obj!r}) did not fail")


def u64_error(value):
    """(type, message) of PyLong_AsUnsignedLongLong for an out-of-range int."""
    return _capi_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, value)


def float_error(item):
    """(type, message) of PyFloat_AsDouble for an item that is not a number."""
    return _capi_error("PyFloat_AsDouble", ctypes.c_double, item)


def index_message(obj):
    try:
        operator.index(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{obj!r} has __index__")


# --- shared data -------------------------------------------------------------------------

ENTRIES = [
    ([1.0, 0.0, 2.0], 10),
    ([0.5, -1.0, 0.0], 11),
    ([0.0, 0.0, 0.0], 12),
    ([3.0, 3.0, -1.0], 13),
    ([1.0, 0.0, 2.0], 14),
]
PROBES = [
    [1.0, 0.0, 0.0],
    [0.0, 1.0, 0.0],
    [0.0, 0.0, 1.0],
    [-2.0, 0.5, 3.0],
    [0.0, 0.0, 0.0],
]


def fresh_store():
    return Vectorstore(3, [(list(v), i) for v, i in ENTRIES])


def assert_holds(store, entries, probes=PROBES):
    """The store holds exactly `entries` in this order: checked through len and searches."""
    assert len(store) == len(entries)
    for q in probes:
        assert_same_results(store.search(q, len(entries) + 1), top_k(entries, q, len(entries) + 1))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


# --- construction ------------------------------------------------------------------------

@pytest.mark.parametrize(
    "make",
    [
        lambda: Vectorstore(3),
        lambda: Vectorstore(3, None),
        lambda: Vectorstore(3, []),
        lambda: Vectorstore(3, ()),
        lambda: Vectorstore(vector_size=3),
        lambda: Vectorstore(3, vectors=None),
        lambda: Vectorstore(vectors=[], vector_size=3),
        lambda: Vectorstore(Index(3)),
        lambda: Vectorstore(np.uint8(3)),
    ],
    ids=["positional", "none", "empty-list", "empty-tuple", "keyword", "keyword-none",
         "keywords-reversed", "index-object", "numpy-int"],
)
def test_construction_without_entries(make):
    store = make()
    assert len(store) == 0
    assert not store
    assert repr(store) == "Vectorstore(vector_size=3, len=0)"
    assert store.vector_size == 3
    assert store.search([1.0, 2.0, 3.0], 5) == []


Pair = namedtuple("Pair", "vector id")


@pytest.mark.parametrize(
    "vectors",
    [
        [([1.0, 2.0], 7), ([3.0, -4.0], 8), ([0.0, 0.5], 9)],
        (([1.0, 2.0], 7), ([3.0, -4.0], 8), ([0.0, 0.5], 9)),
        [((1, 2), 7), (np.array([3.0, -4.0]), 8), (np.array([0.0, 0.5], np.float32), 9)],
        [Pair([1.0, 2.0], 7), Pair([3, -4], 8), ([0.0, 0.5], Index(9))],
    ],
    ids=["list-of-tuples", "tuple-of-tuples", "mixed-vector-types", "tuple-subclass"],
)
def test_construction_with_entries(vectors):
    store = Vectorstore(2, vectors)
    entries = [([1.0, 2.0], 7), ([3.0, -4.0], 8), ([0.0, 0.5], 9)]
    assert len(store) == 3
    assert store
    assert repr(store) == "Vectorstore(vector_size=2, len=3)"
    assert_holds(store, entries, probes=[[1.0, 0.0], [0.0, 1.0], [-1.0, 3.0], [0.0, 0.0]])


def test_duplicate_ids_are_independent_entries():
    store = Vectorstore(2, [([1.0, 2.0], 7), ([3.0, 4.0], 7)])
    assert len(store) == 2
    store.insert([-1.0, 0.5], 7)
    store.insert([-1.0, 0.5], 7)
    entries = [([1.0, 2.0], 7), ([3.0, 4.0], 7), ([-1.0, 0.5], 7), ([-1.0, 0.5], 7)]
    assert_holds(store, entries, probes=[[1.0, 0.0], [0.0, 1.0], [-1.0, 0.5]])
    assert [i for _, i in store.search([1.0, 0.0], 10)] == [7, 7, 7, 7]


def test_created_entries_come_before_inserted_ones():
    store = Vectorstore(2, [([1.0, 1.0], 1), ([2.0, -1.0], 2)])
    store.insert([0.5, 0.25], 3)
    store.insert([-4.0, 1.0], 4)
    # A zero query scores every entry 0.0, so the result lists the store order.
    assert store.search([0.0, 0.0], 10) == [(0.0, 1), (0.0, 2), (0.0, 3), (0.0, 4)]


@pytest.mark.parametrize("n", [0, 1, 2, 33, 100])
def test_len_bool_repr_follow_inserts(n):
    store = Vectorstore(4)
    for i in range(n):
        store.insert([float(i), 1.0, 0.0, -1.0], i)
    assert len(store) == n
    assert bool(store) is (n > 0)
    assert repr(store) == f"Vectorstore(vector_size=4, len={n})"


@pytest.mark.skipif(not IS_64BIT, reason="needs a 64-bit size type")
def test_largest_vector_size():
    store = Vectorstore(U64_MAX)
    assert store.vector_size == U64_MAX
    assert repr(store) == "Vectorstore(vector_size=18446744073709551615, len=0)"
    with pytest.raises(ValueError) as err:
        store.insert([1.0, 2.0], 1)
    assert str(err.value) == "vector has length 2 but vectorstore expects 18446744073709551615"
    with pytest.raises(ValueError) as err:
        store.search([], 1)
    assert str(err.value) == "query has length 0 but vectorstore expects 18446744073709551615"
    assert len(store) == 0


# --- the vector_size property ---------------------------------------------------------------

@pytest.mark.parametrize("size", [0, 1, 3, 128, 2**31 + 5])
def test_vector_size_returns_construction_value(size):
    store = Vectorstore(size)
    assert store.vector_size == size
    assert type(store.vector_size) is int


def test_vector_size_is_read_only():
    store = Vectorstore(3, [([1.0, 2.0, 3.0], 1)])
    with pytest.raises(AttributeError):
        store.vector_size = 4
    with pytest.raises(AttributeError):
        del store.vector_size
    assert store.vector_size == 3
    assert len(store) == 1


@pytest.mark.parametrize("owner", ["instance", "class"])
def test_no_get_vector_size_member(owner):
    target = Vectorstore(2) if owner == "instance" else Vectorstore
    assert not hasattr(target, "get_vector_size")
    with pytest.raises(AttributeError):
        getattr(target, "get_vector_size")


# --- the class object --------------------------------------------------------------------

def test_instances_have_no_attribute_dictionary():
    store = Vectorstore(2)
    with pytest.raises(AttributeError):
        store.anything = 1
    with pytest.raises(AttributeError):
        del store.search
    assert not hasattr(store, "__dict__")


def test_instances_cannot_be_weakly_referenced():
    with pytest.raises(TypeError):
        weakref.ref(Vectorstore(2))


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        class Sub(Vectorstore):  # noqa: F841
            pass


@pytest.mark.parametrize(
    "obj, signature",
    [
        (Vectorstore, "(vector_size, vectors=None)"),
        (Vectorstore.insert, "($self, vector, id)"),
        (Vectorstore.search, "($self, vector, top_k)"),
        (Vectorstore.parallel_search, "($self, vector, top_k, n_threads=None)"),
    ],
    ids=["class", "insert", "search", "parallel_search"],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_instances_are_not_gc_tracked():
    assert not gc.is_tracked(Vectorstore(2, [([1.0, 2.0], 1)]))


# --- insert ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "vector, ident, stored_vector, stored_id",
    [
        ([0.25, -1.5, 4.0], 20, [0.25, -1.5, 4.0], 20),
        ((1, 2, 3), 21, [1.0, 2.0, 3.0], 21),
        ([True, False, 2], 22, [1.0, 0.0, 2.0], 22),
        (range(-1, 2), 23, [-1.0, 0.0, 1.0], 23),
        (np.array([0.1, 0.2, 0.3]), 24, [0.1, 0.2, 0.3], 24),
        (np.array([0.1, 0.2, 0.3], np.float32), 25, [0.1, 0.2, 0.3], 25),
        ([0.1, 1e-3, 1e39], 26, [0.1, 1e-3, float("inf")], 26),
        ([1.0, 2.0, 3.0], True, [1.0, 2.0, 3.0], 1),
        ([1.0, 2.0, 3.0], Index(2**64 - 1), [1.0, 2.0, 3.0], U64_MAX),
        ([1.0, 2.0, 3.0], np.uint64(2**63), [1.0, 2.0, 3.0], 2**63),
    ],
    ids=["floats", "int-tuple", "bools", "range", "np-float64", "np-float32", "narrowed",
         "bool-id", "index-id", "numpy-id"],
)
def test_insert_appends_one_entry(vector, ident, stored_vector, stored_id):
    store = fresh_store()
    assert store.insert(vector, ident) is None
    expected = ENTRIES + [(stored_vector, stored_id)]
    assert len(store) == len(expected)
    assert repr(store) == f"Vectorstore(vector_size=3, len={len(expected)})"
    assert_holds(store, expected)
    returned_ids = [i for _, i in store.search([0.0, 0.0, 0.0], 10)]
    assert returned_ids[-1] == stored_id and type(returned_ids[-1]) is int


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.insert(vector=[1.0, 2.0, 3.0], id=30),
        lambda s: s.insert(id=30, vector=[1.0, 2.0, 3.0]),
        lambda s: s.insert([1.0, 2.0, 3.0], id=30),
    ],
    ids=["keywords", "keywords-reversed", "mixed"],
)
def test_insert_by_keyword(call):
    store = fresh_store()
    assert call(store) is None
    assert_holds(store, ENTRIES + [([1.0, 2.0, 3.0], 30)])


def _insert_failures():
    ok = [1.0, 2.0, 3.0]
    ovf_neg = u64_error(-1)
    ovf_big = u64_error(2**64)
    str_item = float_error("x")
    none_item = float_error(None)
    huge_item = float_error(10**400)
    return [
        ("short", (lambda s: s.insert([1.0, 2.0], 1)),
         ValueError, "vector has length 2 but vectorstore expects 3"),
        ("empty", (lambda s: s.insert([], 1)),
         ValueError, "vector has length 0 but vectorstore expects 3"),
        ("long", (lambda s: s.insert([1.0, 2.0, 3.0, 4.0], 1)),
         ValueError, "vector has length 4 but vectorstore expects 3"),
        ("negative-id", (lambda s: s.insert(ok, -1)), *ovf_neg),
        ("id-2**64", (lambda s: s.insert(ok, 2**64)), *ovf_big),
        ("float-id", (lambda s: s.insert(ok, 1.5)),
         TypeError, "argument 'id': " + index_message(1.5)),
        ("str-id", (lambda s: s.insert(ok, "7")),
         TypeError, "argument 'id': " + index_message("7")),
        ("none-id", (lambda s: s.insert(ok, None)),
         TypeError, "argument 'id': " + index_message(None)),
        ("str-component", (lambda s: s.insert([1.0, "x", 3.0], 1)),
         str_item[0], "argument 'vector': " + str_item[1]),
        ("none-component", (lambda s: s.insert([1.0, 2.0, None], 1)),
         none_item[0], "argument 'vector': " + none_item[1]),
        ("huge-int-component", (lambda s: s.insert([10**400, 2.0, 3.0], 1)), *huge_item),
        ("float-raises", (lambda s: s.insert([1.0, FloatRaises(), 3.0], 1)),
         ValueError, "no float here"),
        ("str-vector", (lambda s: s.insert("abc", 1)),
         TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        ("none-vector", (lambda s: s.insert(None, 1)),
         TypeError, "argument 'vector': 'None' is not an instance of 'Sequence'"),
        ("set-vector", (lambda s: s.insert({1.0, 2.0, 3.0}, 1)),
         TypeError, "argument 'vector': 'set' object is not an instance of 'Sequence'"),
        ("int-vector", (lambda s: s.insert(3, 1)),
         TypeError, "argument 'vector': 'int' object is not an instance of 'Sequence'"),
        ("no-arguments", (lambda s: s.insert()),
         TypeError, "Vectorstore.insert() missing 2 required positional arguments: 'vector' and 'id'"),
        ("missing-id", (lambda s: s.insert(ok)),
         TypeError, "Vectorstore.insert() missing 1 required positional argument: 'id'"),
        ("too-many", (lambda s: s.insert(ok, 1, 2)),
         TypeError, "Vectorstore.insert() takes 2 positional arguments but 3 were given"),
        ("unknown-keyword", (lambda s: s.insert(vector=ok, ids=3)),
         TypeError, "Vectorstore.insert() got an unexpected keyword argument 'ids'"),
        ("given-twice", (lambda s: s.insert(ok, 1, vector=ok)),
         TypeError, "Vectorstore.insert() got multiple values for argument 'vector'"),
    ]


INSERT_FAILURES = _insert_failures()


@pytest.mark.parametrize(
    "call, exc_type, message",
    [f[1:] for f in INSERT_FAILURES],
    ids=[f[0] for f in INSERT_FAILURES],
)
def test_refused_insert_leaves_store_unchanged(call, exc_type, message):
    store = fresh_store()
    with pytest.raises(BaseException) as err:
        call(store)
    assert type(err.value) is exc_type
    assert str(err.value) == message
    assert_holds(store, ENTRIES)
    assert repr(store) == f"Vectorstore(vector_size=3, len={len(ENTRIES)})"
    # The store still accepts entries afterwards.
    store.insert([9.0, 8.0, 7.0], 99)
    assert_holds(store, ENTRIES + [([9.0, 8.0, 7.0], 99)])


# --- construction failures --------------------------------------------------------------

def _construction_failures():
    str_item = float_error("x")
    return [
        ("second-pair-short", (lambda: Vectorstore(2, [([1.0, 2.0], 1), ([1.0], 2)])),
         ValueError, "vector has length 1 but vectorstore expects 2"),
        ("first-mismatch-reported", (lambda: Vectorstore(2, [([1.0, 2.0], 1), ([1.0], 2), ([1.0, 2.0, 3.0], 3)])),
         ValueError, "vector has length 1 but vectorstore expects 2"),
        ("first-pair-long", (lambda: Vectorstore(2, [([1.0, 2.0, 3.0], 1), ([1.0], 2)])),
         ValueError, "vector has length 3 but vectorstore expects 2"),
        ("size-zero", (lambda: Vectorstore(0, [([], 1), ([0.0], 2)])),
         ValueError, "vector has length 1 but vectorstore expects 0"),
        ("later-component-error-wins", (lambda: Vectorstore(2, [([1.0], 1), (["x", 1.0], 2)])),
         str_item[0], "argument 'vectors': " + str_item[1]),
        ("later-negative-id-wins", (lambda: Vectorstore(2, [([1.0], 1), ([1.0, 2.0], -1)])),
         *u64_error(-1)),
        ("later-3-tuple-wins", (lambda: Vectorstore(2, [([1.0], 1), ([1.0, 2.0], 2, 3)])),
         ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ("later-list-item-wins", (lambda: Vectorstore(2, [([1.0], 1), [[1.0, 2.0], 2]])),
         TypeError, "argument 'vectors': 'list' object is not an instance of 'tuple'"),
        ("later-str-vector-wins", (lambda: Vectorstore(2, [([1.0], 1), ("ab", 2)])),
         TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
        ("3-tuple", (lambda: Vectorstore(2, [([1.0, 2.0], 7, 8)])),
         ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ("1-tuple", (lambda: Vectorstore(2, [([1.0, 2.0],)])),
         ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ("0-tuple", (lambda: Vectorstore(2, [()])),
         ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ("list-item", (lambda: Vectorstore(2, [[[1.0, 2.0], 7]])),
         TypeError, "argument 'vectors': 'list' object is not an instance of 'tuple'"),
        ("none-item", (lambda: Vectorstore(2, [None])),
         TypeError, "argument 'vectors': 'None' is not an instance of 'tuple'"),
        ("str-vectors", (lambda: Vectorstore(2, "ab")),
         TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
        ("int-vectors", (lambda: Vectorstore(2, 5)),
         TypeError, "argument 'vectors': 'int' object is not an instance of 'Sequence'"),
        ("generator-vectors", (lambda: Vectorstore(2, (p for p in [([1.0, 2.0], 1)]))),
         TypeError, "argument 'vectors': 'generator' object is not an instance of 'Sequence'"),
        ("float-id-in-pair", (lambda: Vectorstore(2, [([1.0, 2.0], 1.0)])),
         TypeError, "argument 'vectors': " + index_message(1.0)),
        ("negative-size", (lambda: Vectorstore(-1)), *u64_error(-1)),
        ("negative-size-before-vectors", (lambda: Vectorstore(-1, "ab")), *u64_error(-1)),
        ("size-2**64", (lambda: Vectorstore(2**64)), *u64_error(2**64)),
        ("float-size", (lambda: Vectorstore(2.0)),
         TypeError, "argument 'vector_size': " + index_message(2.0)),
        ("none-size", (lambda: Vectorstore(None, [([1.0], 1)])),
         TypeError, "argument 'vector_size': " + index_message(None)),
        ("no-arguments", (lambda: Vectorstore()),
         TypeError, "Vectorstore.__new__() missing 1 required positional argument: 'vector_size'"),
        ("too-many", (lambda: Vectorstore(1, None, 3)),
         TypeError, "Vectorstore.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        ("unknown-keyword", (lambda: Vectorstore(1, vector=[])),
         TypeError, "Vectorstore.__new__() got an unexpected keyword argument 'vector'"),
        ("given-twice", (lambda: Vectorstore(1, vector_size=1)),
         TypeError, "Vectorstore.__new__() got multiple values for argument 'vector_size'"),
    ]


CONSTRUCTION_FAILURES = _construction_failures()


@pytest.mark.parametrize(
    "make, exc_type, message",
    [f[1:] for f in CONSTRUCTION_FAILURES],
    ids=[f[0] for f in CONSTRUCTION_FAILURES],
)
def test_construction_failures(make, exc_type, message):
    with pytest.raises(BaseException) as err:
        make()
    assert type(err.value) is exc_type
    assert str(err.value) == message


# --- the order in which arguments are converted ------------------------------------------

@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda s: s.insert([1.0], -1), *u64_error(-1)),
        (lambda s: s.insert([1.0], 1.5), TypeError, "argument 'id': " + index_message(1.5)),
        (lambda s: s.insert("ab", -1), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        (lambda s: s.search([1.0], -1), *u64_error(-1)),
        (lambda s: s.search([1.0, 2.0, 3.0, 4.0], None),
         TypeError, "argument 'top_k': " + index_message(None)),
        (lambda s: s.search(None, -1),
         TypeError, "argument 'vector': 'None' is not an instance of 'Sequence'"),
    ],
    ids=["insert-short-vector-negative-id", "insert-short-vector-float-id", "insert-str-vector-negative-id",
         "search-short-query-negative-top_k", "search-long-query-none-top_k", "search-none-query-negative-top_k"],
)
def test_conversion_errors_come_before_length_errors(call, exc_type, message):
    store = fresh_store()
    with pytest.raises(BaseException) as err:
        call(store)
    assert type(err.value) is exc_type
    assert str(err.value) == message
    assert_holds(store, ENTRIES)


class LoggingSeq:
    def __init__(self, values, log, name):
        self.values, self.log, self.name = values, log, name

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i == 0:
            self.log.append(self.name)
        return self.values[i]


class LoggingIndex:
    def __init__(self, value, log, name):
        self.value, self.log, self.name = value, log, name

    def __index__(self):
        self.log.append(self.name)
        return self.value


@pytest.mark.parametrize("method", ["insert", "search"])
def test_arguments_converted_in_parameter_order(method):
    store = fresh_store()
    log = []
    vector = LoggingSeq([1.0, 2.0], log, "vector")  # wrong length: found only after both conversions
    second = LoggingIndex(1, log, "second")
    with pytest.raises(ValueError) as err:
        getattr(store, method)(vector, second)
    assert log == ["vector", "second"]
    noun = "vector" if method == "insert" else "query"
    assert str(err.value) == f"{noun} has length 2 but vectorstore expects 3"


def test_construction_converts_every_pair_before_measuring():
    log = []
    pairs = [(LoggingSeq([1.0], log, "first"), 1), (LoggingSeq([1.0, 2.0], log, "second"), 2)]
    with pytest.raises(ValueError) as err:
        Vectorstore(2, pairs)
    assert str(err.value) == "vector has length 1 but vectorstore expects 2"
    assert log == ["first", "second"]


# --- vector size 0 -------------------------------------------------------------------------

def test_vector_size_zero_store():
    store = Vectorstore(0, [([], 5), ((), 6)])
    store.insert([], 7)
    store.insert(np.zeros(0), 8)
    with pytest.raises(ValueError) as err:
        store.insert([0.0], 9)
    assert str(err.value) == "vector has length 1 but vectorstore expects 0"
    assert len(store) == 4
    assert store.vector_size == 0
    assert repr(store) == "Vectorstore(vector_size=0, len=4)"
    result = store.search([], 10)
    assert result == [(0.0, 5), (0.0, 6), (0.0, 7), (0.0, 8)]
    assert all(str(score) == "0.0" for score, _ in result)  # +0.0, not -0.0
    with pytest.raises(ValueError) as err:
        store.search([1.0], 1)
    assert str(err.value) == "query has length 1 but vectorstore expects 0"


# --- lifetime ------------------------------------------------------------------------------

def _exercise(i):
    store = Vectorstore(2, [([1.0, 2.0], i), ([0.0, 1.0], i + 1)])
    store.insert([3.0, -1.0], i + 2)
    store.search([1.0, 1.0], 2)
    repr(store)
    len(store)
    store.vector_size
    try:
        store.insert([1.0], 0)
    except ValueError:
        pass
    return store


def test_instances_hold_and_release_the_class():
    gc.collect()
    before = sys.getrefcount(Vectorstore)
    alive = [_exercise(i) for i in range(50)]
    assert sys.getrefcount(Vectorstore) == before + 50
    del alive
    for i in range(500):
        _exercise(i)
        try:
            Vectorstore(2, [([1.0, 2.0], 1), ([1.0], 2)])
        except ValueError:
            pass
        try:
            Vectorstore(2, [([1.0, 2.0], 1), ("x", 2)])
        except TypeError:
            pass
    gc.collect()
    assert sys.getrefcount(Vectorstore) == before
