"""Hostile arguments: whatever object a caller passes as whichever argument of whichever callable,
the call returns a value or raises a documented exception, and a failed call leaves the store
exactly as it was.

The objects are generated: plain values of every kind, nested containers, buffers, and sequences
and numbers whose protocol methods raise, return the wrong type, lie about their length, mutate the
container being converted, or call back into the very store the outer call is using.

Documented failures are TypeError, ValueError, OverflowError, MemoryError, RuntimeError with a
borrow-conflict message, or the very exception object that a caller's own method raised (passed
through unchanged). Anything else, a PanicException, SystemError or a crash, is a defect.
"""
import array
import math
from fractions import Fraction

import pytest
from hypothesis import event, given
from hypothesis import strategies as st

np = pytest.importorskip("numpy")

from oracle import assert_same_results, top_k  # noqa: E402
from quillmere import Vectorstore, cosine_similarity  # noqa: E402

# An unprintable object shown in a message is reported through the unraisable hook, by design.
pytestmark = [
    pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning"),
    pytest.mark.filterwarnings("ignore:Warning.*masked element:UserWarning"),
]

D = 3
BASE = [
    ([1.0, 0.0, 2.0], 10),
    ([0.5, -1.0, 0.0], 11),
    ([2.0, 2.0, -1.0], 12),
    ([1.0, 0.0, 2.0], 13),  # ties with 10
    ([0.0, 0.0, 0.0], 14),  # scores +0.0 against everything
]
PROBES = ([1.0, 0.5, -0.25], [0.0, 1.0, 0.0], [-2.0, 1.0, 3.0])
CALLBACK_VECTOR, CALLBACK_ID = [3.0, -1.0, 0.5], 777
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)
# Exceptions the interpreter itself raises while iterating some values: they pass through the
# conversion unchanged, like any other exception the interpreter's protocols raise.
INTERPRETER = (NotImplementedError,)  # iterating a multi-dimensional memoryview


class Boom(Exception):
    pass


class TypeBoom(TypeError):
    """A TypeError subclass: passes through without the argument prefix."""


class Abort(BaseException):
    pass


class Example:
    """State of the example being run: the store under attack, what callbacks did to it, and
    every exception object that a hostile method raised."""

    store = None
    callback_inserts = 0
    raised = []
    inner_failures = []  # what the store raised to calls made from inside a conversion


def hostile_raise(exc_type):
    exc = exc_type("raised by a hostile argument")
    Example.raised.append(exc)
    raise exc


# --- what a hostile method may do before it answers ----------------------------------------------

def _cb_insert():
    Example.store.insert(list(CALLBACK_VECTOR), CALLBACK_ID)
    Example.callback_inserts += 1


CALLBACKS = {
    "insert": _cb_insert,
    "search": lambda: Example.store.search(list(PROBES[0]), 2),
    "parallel_search": lambda: Example.store.parallel_search(list(PROBES[0]), 2, 2),
    "len": lambda: len(Example.store),
    "repr": lambda: repr(Example.store),
    "vector_size": lambda: Example.store.vector_size,
    "construct": lambda: Vectorstore(D, [(list(CALLBACK_VECTOR), 1)]),
    "cosine": lambda: cosine_similarity([1.0, 2.0], [2.0, 1.0]),
}


class Action:
    """Runs before a hostile method answers: calls back into the store (swallowing or propagating
    what that raises) or mutates the container that holds the object."""

    def __init__(self, kind, swallow):
        self.kind, self.swallow, self.container = kind, swallow, None

    def __repr__(self):
        return f"Action({self.kind!r}, swallow={self.swallow})"

    def __call__(self):
        if self.kind in CALLBACKS:
            try:
                CALLBACKS[self.kind]()
            except Exception as exc:
                Example.inner_failures.append(exc)
                if not self.swallow:
                    raise
            return
        box = self.container
        if box is None:
            return
        if self.kind == "clear":
            box.clear()
        elif self.kind == "append" and len(box) < 12:
            box.append(1.5)
        elif self.kind == "pop" and box:
            box.pop()
        elif self.kind == "replace" and box:
            box[0] = "not a number"
        elif self.kind == "shrink":
            del box[: len(box) // 2]


ACTION_KINDS = list(CALLBACKS) + ["clear", "append", "pop", "replace", "shrink"]
actions = st.builds(Action, st.sampled_from(ACTION_KINDS), st.booleans())
raisable = st.sampled_from([Boom, TypeBoom, ValueError, TypeError, OverflowError, Abort])


# --- hostile numbers -----------------------------------------------------------------------------

class Num:
    """A number whose __float__ and __index__ act, then answer as `mode` says."""

    def __init__(self, value, mode, exc, action):
        self.value, self.mode, self.exc, self.action = value, mode, exc, action

    def __repr__(self):
        return f"Num({self.value!r}, {self.mode!r}, {self.exc.__name__}, {self.action!r})"

    def _answer(self, kind):
        if self.action is not None:
            self.action()
        if self.mode == "raise":
            hostile_raise(self.exc)
        if self.mode == "wrong_type":
            return "not a number"
        return float(self.value) if kind == "float" else int(self.value)

    def __float__(self):
        return self._answer("float")

    def __index__(self):
        return self._answer("index")


class IndexOnly:
    """Only __index__: float conversion goes through it too."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __repr__(self):
        return f"IndexOnly({self.value!r}, {self.action!r})"

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


class Unprintable:
    def __str__(self):
        return hostile_raise(Boom)

    __repr__ = object.__repr__


class BadStr:
    """A number whose conversion fails with a TypeError that cannot even be printed: the message
    that names the argument must still come out."""

    def __float__(self):
        raise TypeError(Unprintable())

    __index__ = __float__

    __repr__ = object.__repr__


huge_ints = st.sampled_from([2**63, 2**64 - 1, 2**64, 2**100, -1, -(2**63), -(2**64), 10**400])
ints = st.one_of(st.integers(min_value=-5, max_value=20), st.integers(), huge_ints)
floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e39, -1e39, 5e-324, 3.4028235677973366e38]),
)
nums = st.one_of(
    st.builds(Num, st.one_of(st.integers(0, 5), ints, floats.filter(math.isfinite)),
              st.sampled_from(["ok", "ok", "ok", "raise", "wrong_type"]), raisable, st.none() | actions),
    st.builds(IndexOnly, st.one_of(st.integers(0, 5), ints), st.none() | actions),
    st.builds(BadStr),
    st.builds(Fraction, st.integers(-9, 9), st.integers(1, 9)),
)


# --- hostile sequences ---------------------------------------------------------------------------

class OldSeq:
    """A sequence with __len__ and __getitem__ but no __iter__: iteration calls __getitem__ with
    0, 1, 2, ... until IndexError. Its methods misbehave as configured.

    len_mode: true | short | long | huge | negative | raise | wrong_type
    iter_mode: plain | fails_midway (and, in Seq, iter_raises | not_an_iterator)
    """

    def __init__(self, items, len_mode, iter_mode, fail_at, exc, action):
        self.items, self.len_mode, self.iter_mode = items, len_mode, iter_mode
        self.fail_at, self.exc, self.action = fail_at, exc, action
        if action is not None:
            action.container = self.items

    def __repr__(self):
        return (f"{type(self).__name__}({self.items!r}, {self.len_mode!r}, {self.iter_mode!r}, "
                f"{self.fail_at}, {self.exc.__name__}, {self.action!r})")

    def __len__(self):
        if self.action is not None:
            self.action()
        n = len(self.items)
        mode = self.len_mode
        if mode == "raise":
            hostile_raise(self.exc)
        return {"true": n, "short": max(0, n - 2), "long": n + 1000, "huge": 2**62,
                "negative": -1, "wrong_type": "three"}[mode]

    def __getitem__(self, i):
        if self.action is not None:
            self.action()
        if self.iter_mode == "fails_midway" and i == self.fail_at:
            hostile_raise(self.exc)
        return self.items[i]  # IndexError past the end ends the iteration


class Seq(OldSeq):
    """Like OldSeq, with an __iter__ that may raise, return a non-iterator or fail midway."""

    def _gen(self):
        for i, item in enumerate(list(self.items)):
            if self.iter_mode == "fails_midway" and i == self.fail_at:
                hostile_raise(self.exc)
            yield item

    def __iter__(self):
        if self.iter_mode == "iter_raises":
            hostile_raise(self.exc)
        if self.iter_mode == "not_an_iterator":
            return 42
        return self._gen()


class NoIterSeq:
    """__getitem__ and __len__ only."""

    def __init__(self, items, action):
        self.items, self.action = items, action
        if action is not None:
            action.container = self.items

    def __repr__(self):
        return f"NoIterSeq({self.items!r}, {self.action!r})"

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.action is not None:
            self.action()
        return self.items[i]


class IterOnly:
    """Iterable but not a sequence: refused as 'not an instance of Sequence'."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class ListSub(list):
    """A list subclass whose methods lie: converted by the general rule, not by list indexing."""

    def __len__(self):
        return 7

    def __iter__(self):
        return iter(list(super().__iter__())[::-1])


class TupleSub(tuple):
    pass


def _gen_of(items):
    return (x for x in items)


def _released_view():
    view = memoryview(array.array("f", [1.0, 2.0, 3.0]))
    view.release()
    return view


def _mutating_list(items, action):
    """An exact list whose items mutate that very list while they are converted."""
    box = list(items)
    action.container = box
    box.insert(len(box) // 2, Num(2.0, "ok", Boom, action))
    return box


atoms = st.one_of(
    st.none(),
    st.booleans(),
    ints,
    floats,
    st.text(max_size=4),
    st.sampled_from(["\ud800", "1.0", ""]),
    st.binary(max_size=5),
    st.builds(bytearray, st.binary(max_size=5)),
    st.complex_numbers(max_magnitude=10),
    st.dictionaries(st.integers(0, 3), st.floats(-2, 2), max_size=3),
    st.sets(st.integers(0, 3), max_size=3),
    st.builds(range, st.integers(-2, 5)),
    st.builds(_released_view),
    st.builds(object),
    st.sampled_from([int, float, len, Vectorstore, Ellipsis, NotImplemented]),
    nums,
)

nested = st.recursive(
    atoms, lambda children: st.lists(children, max_size=4) | st.tuples(children, children), max_leaves=8
)
number_items = st.one_of(floats, ints, nums, st.booleans(), st.just(1.0))


def _np_array(draw):
    dtype = draw(st.sampled_from(
        ["<f4", "<f8", ">f4", "<f2", "<i1", "<i8", "<u8", "?", "<c8", "O", "<M8[s]", "U1"]))
    n = draw(st.sampled_from([0, 1, 2, 3, 4, 6]))
    raw = np.arange(n, dtype=np.int64) - 1
    if dtype == "O":
        arr = np.array(draw(st.lists(number_items, min_size=n, max_size=n)) + [None], dtype=object)[:n]
    elif dtype.startswith("<M8"):
        arr = raw.astype(dtype)
    elif dtype == "U1":
        arr = np.array(["a"] * n)
    else:
        arr = raw.astype(dtype)
    shape = draw(st.sampled_from(["flat", "2d", "strided", "0d"]))
    if shape == "2d" and n % 3 == 0 and n:
        arr = arr.reshape(-1, 3)
    elif shape == "strided":
        arr = np.repeat(arr, 2)[::2]
    elif shape == "0d":
        arr = arr.sum() if arr.dtype.kind in "fiub" else arr
        arr = np.asarray(arr)
    return arr


@st.composite
def buffers(draw):
    kind = draw(st.sampled_from(["numpy", "array", "memoryview", "memoryview2d", "masked"]))
    if kind == "numpy":
        return _np_array(draw)
    if kind == "array":
        code = draw(st.sampled_from("bBhHiIlLqQfd"))
        values = draw(st.lists(st.integers(0, 100), max_size=5))
        return array.array(code, values)
    if kind == "memoryview":
        return memoryview(array.array("f", draw(st.lists(st.floats(-4, 4, width=32), max_size=5))))
    if kind == "memoryview2d":
        return memoryview(array.array("f", [1.0, 2.0, 3.0, 4.0, 5.0, 6.0])).cast("B").cast("f", (2, 3))
    return np.ma.masked_array([1.0, 2.0, 3.0], mask=[0, 1, 0])


@st.composite
def hostile_sequences(draw):
    items = draw(st.lists(number_items, max_size=6))
    kind = draw(st.sampled_from(["seq", "old", "noiter", "iteronly", "listsub", "gen", "mutating"]))
    if kind == "seq":
        return Seq(items, draw(st.sampled_from(["true", "short", "long", "huge", "negative", "raise", "wrong_type"])),
                   draw(st.sampled_from(["iter", "iter_raises", "not_an_iterator", "fails_midway"])),
                   draw(st.integers(0, 5)), draw(raisable), draw(st.none() | actions))
    if kind == "old":
        return OldSeq(items, draw(st.sampled_from(["true", "long", "raise", "negative"])),
                      draw(st.sampled_from(["plain", "fails_midway"])),
                      draw(st.integers(0, 5)), draw(raisable), draw(st.none() | actions))
    if kind == "noiter":
        return NoIterSeq(items, draw(st.none() | actions))
    if kind == "iteronly":
        return IterOnly(items)
    if kind == "listsub":
        return ListSub(items)
    if kind == "gen":
        return _gen_of(items)
    return _mutating_list(items, draw(actions))


def valid_vector(n=D):
    return st.lists(st.floats(-8, 8, width=32), min_size=n, max_size=n)


@st.composite
def near_valid_vectors(draw):
    """Right length or nearly, mostly good items with some hostile ones; list or tuple."""
    n = draw(st.sampled_from([D, D, D - 1, D + 1, 0]))
    items = draw(st.lists(st.one_of(st.floats(-8, 8), st.floats(-8, 8), number_items), min_size=n, max_size=n))
    return draw(st.sampled_from([list, tuple, TupleSub]))(items)


@st.composite
def good_vectors(draw):
    """Vectors that convert to D floats, in every container and with well-behaved but unusual
    protocol methods (a lying length, callbacks whose failures are swallowed)."""
    values = draw(valid_vector())
    kind = draw(st.sampled_from(["list", "tuple", "numpy32", "numpy64", "array", "lying", "callback"]))
    if kind == "list":
        return values
    if kind == "tuple":
        return tuple(values)
    if kind in ("numpy32", "numpy64"):
        return np.array(values, dtype=np.float32 if kind == "numpy32" else np.float64)
    if kind == "array":
        return array.array("f", values)
    if kind == "lying":
        return OldSeq(values, draw(st.sampled_from(["short", "long", "huge", "negative", "raise"])), "plain",
                      0, Boom, None)
    action = Action(draw(st.sampled_from(sorted(CALLBACKS))), True)
    return [values[0], Num(values[1], "ok", Boom, action), values[2]]


good_counts = st.one_of(st.integers(0, 8), st.builds(IndexOnly, st.integers(0, 8), st.none()),
                        st.builds(np.int64, st.integers(0, 8)))
good_ids = st.one_of(st.integers(0, 2**64 - 1), st.booleans(), st.builds(IndexOnly, st.integers(0, 99), st.none()),
                     st.builds(np.uint64, st.integers(0, 2**64 - 1)))
# Half the arguments are good, so that most calls get past their first conversions.
vectors = st.one_of(good_vectors(), good_vectors(), good_vectors(), near_valid_vectors(), hostile_sequences(),
                    buffers(), nested)
counts = st.one_of(good_counts, good_counts, ints, nums, atoms)
identifiers = st.one_of(good_ids, good_ids, ints, nums, atoms)


@st.composite
def pair_items(draw):
    kind = draw(st.sampled_from(["pair", "pair", "sub", "list", "short", "long", "atom"]))
    vec, ident = draw(vectors), draw(identifiers)
    if kind == "pair":
        return (vec, ident)
    if kind == "sub":
        return TupleSub((vec, ident))
    if kind == "list":
        return [vec, ident]
    if kind == "short":
        return (vec,)
    if kind == "long":
        return (vec, ident, ident)
    return draw(atoms)


@st.composite
def pair_lists(draw):
    items = draw(st.lists(pair_items(), max_size=4))
    kind = draw(st.sampled_from(["list", "tuple", "seq", "gen", "none", "atom"]))
    if kind == "list":
        return items
    if kind == "tuple":
        return tuple(items)
    if kind == "seq":
        return Seq(items, draw(st.sampled_from(["true", "long", "raise"])),
                   draw(st.sampled_from(["iter", "fails_midway", "iter_raises"])),
                   draw(st.integers(0, 3)), draw(raisable), draw(st.none() | actions))
    if kind == "gen":
        return _gen_of(items)
    if kind == "none":
        return None
    return draw(nested)


PARAM_VALUES = {
    "vec1": vectors, "vec2": vectors, "vector": vectors, "id": identifiers,
    "top_k": counts, "n_threads": st.one_of(st.none(), counts), "vector_size": counts,
    "vectors": pair_lists(),
}
JUNK_KEYWORDS = st.sampled_from(["ids", "k", "vectors", "vector", "\ud800", "self", "top_k", "n_threads"])


@st.composite
def calls(draw, params):
    """Positional arguments (possibly too many), then some parameters by keyword, some junk."""
    npos = draw(st.sampled_from([len(params)] * 6 + list(range(len(params) + 2))))
    args = [draw(PARAM_VALUES[params[i]]) if i < len(params) else draw(atoms) for i in range(npos)]
    kwargs = {}
    for name in params[npos:]:
        if draw(st.integers(0, 7)) > 0:
            kwargs[name] = draw(PARAM_VALUES[name])
    if draw(st.integers(0, 9)) == 0:
        kwargs[draw(JUNK_KEYWORDS)] = draw(atoms)
    return args, kwargs


# --- running one hostile call and judging the outcome -------------------------------------------

def fresh_store():
    return Vectorstore(D, [(list(v), i) for v, i in BASE])


def begin():
    Example.store = fresh_store()
    Example.callback_inserts = 0
    Example.raised = []
    Example.inner_failures = []
    return Example.store


def attempt(fn):
    try:
        return True, fn()
    except BaseException as exc:  # noqa: BLE001 - judged below
        return False, exc


def assert_documented(exc):
    if any(exc is raised for raised in Example.raised):
        return  # the caller's own exception, passed through unchanged
    assert isinstance(exc, Exception), f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"
    assert not isinstance(exc, SystemError), repr(exc)
    if type(exc) in INTERPRETER:
        return
    if isinstance(exc, RuntimeError):
        assert type(exc) is RuntimeError and str(exc) in BORROW_MESSAGES, repr(exc)
        return
    assert isinstance(exc, DOCUMENTED), repr(exc)
    # A documented error says what went wrong (only an interpreter's MemoryError may be bare).
    assert str(exc) or type(exc) is MemoryError, repr(exc)


def expected_entries():
    return BASE + [(CALLBACK_VECTOR, CALLBACK_ID)] * Example.callback_inserts


def assert_store_holds(store, entries, one_more=False):
    """The store holds exactly `entries` in that order (checked by searching), plus, when
    `one_more`, one further entry appended by a successful insert."""
    n = len(entries) + (1 if one_more else 0)
    assert len(store) == n
    assert store.vector_size == D
    assert repr(store) == f"Vectorstore(vector_size={D}, len={n})"
    for q in PROBES:
        expected = top_k(entries, q, len(entries))
        got = store.search(list(q), n + 5)
        assert len(got) == n
        if one_more:
            # Removing one hit must leave the old ranking: nothing old was lost or changed.
            assert any(_same(got[:j] + got[j + 1:], expected) for j in range(n)), (got, expected)
        else:
            assert_same_results(got, expected)
        assert_same_results(store.parallel_search(list(q), n + 5, 2), got)


def _same(got, expected):
    try:
        assert_same_results(got, expected)
        return True
    except AssertionError:
        return False


def assert_released(store):
    """No borrow was left behind: an exclusive borrow can be taken again."""
    before = len(store)
    store.insert([0.25, 0.5, 0.75], 999)
    assert len(store) == before + 1


def _event(text):
    try:
        event(text)
    except Exception:  # outside a generated example
        pass


def judge(store, ok, value, inserted_into_store=False):
    _event("returned" if ok else f"raised {type(value).__name__}")
    if Example.callback_inserts:
        _event("a callback inserted")
    if not ok:
        assert_documented(value)
    # A call made from inside a conversion can only meet the outer call's borrow.
    for exc in Example.inner_failures:
        assert type(exc) is RuntimeError and str(exc) in BORROW_MESSAGES, repr(exc)
    assert_store_holds(store, expected_entries(), one_more=ok and inserted_into_store)
    assert_released(store)


def assert_result_list(result, store):
    assert type(result) is list
    assert len(result) <= len(store)
    ids = {i for _, i in BASE} | {CALLBACK_ID}
    for pair in result:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is float and type(pair[1]) is int
        assert pair[1] in ids or pair[1] == 999
    scores = [s for s, _ in result if not math.isnan(s)]
    assert scores == sorted(scores, reverse=True)


# --- the callables under attack --------------------------------------------------------------------

@given(calls(["vec1", "vec2"]))
def test_cosine_similarity(call):
    args, kwargs = call
    store = begin()
    ok, value = attempt(lambda: cosine_similarity(*args, **kwargs))
    if ok:
        assert type(value) is float
    judge(store, ok, value)


@given(calls(["vector_size", "vectors"]))
def test_construction(call):
    args, kwargs = call
    store = begin()
    ok, value = attempt(lambda: Vectorstore(*args, **kwargs))
    if ok:
        assert type(value) is Vectorstore
        n = len(value)
        assert repr(value) == f"Vectorstore(vector_size={value.vector_size}, len={n})"
        if value.vector_size == D:
            assert len(value.search([1.0, 2.0, 3.0], n + 1)) == n
    judge(store, ok, value)


@given(calls(["vector", "id"]))
def test_insert(call):
    args, kwargs = call
    store = begin()
    ok, value = attempt(lambda: store.insert(*args, **kwargs))
    if ok:
        assert value is None
    judge(store, ok, value, inserted_into_store=True)


@pytest.mark.parametrize("method", ["search", "parallel_search"])
@given(data=st.data())
def test_searches(method, data):
    params = ["vector", "top_k"] + (["n_threads"] if method == "parallel_search" else [])
    args, kwargs = data.draw(calls(params))
    store = begin()
    ok, value = attempt(lambda: getattr(store, method)(*args, **kwargs))
    if ok:
        assert_result_list(value, store)
    judge(store, ok, value)


RECEIVER_CALLS = {
    "insert": lambda r, a: Vectorstore.insert(r, *a),
    "search": lambda r, a: Vectorstore.search(r, *a),
    "parallel_search": lambda r, a: Vectorstore.parallel_search(r, *a),
    "len": lambda r, a: Vectorstore.__len__(r),
    "repr": lambda r, a: Vectorstore.__repr__(r),
    "vector_size": lambda r, a: Vectorstore.vector_size.__get__(r, Vectorstore),
    "new": lambda r, a: Vectorstore.__new__(r, *a),
}


@pytest.mark.parametrize("member", sorted(RECEIVER_CALLS))
@given(receiver=st.one_of(atoms, hostile_sequences(), st.sampled_from([int, object, type, Vectorstore])),
       args=st.lists(atoms, max_size=3))
def test_members_with_foreign_receivers(member, receiver, args):
    store = begin()
    ok, value = attempt(lambda: RECEIVER_CALLS[member](receiver, args))
    judge(store, ok, value)


@pytest.mark.parametrize("member", ["len", "repr", "vector_size", "bool"])
def test_reading_members_inside_every_hostile_call(member):
    """A reader called from a conversion inside insert is refused; inside a search it succeeds."""
    store = begin()
    read = {"len": len, "repr": repr, "vector_size": lambda s: s.vector_size, "bool": bool}[member]
    seen = []

    def hook():
        seen.append(attempt(lambda: read(store)))
        return 1.0

    store.insert([Num(1.0, "ok", Boom, hook), 2.0, 3.0], 5)
    store.search([Num(1.0, "ok", Boom, hook), 2.0, 3.0], 1)
    store.parallel_search([Num(1.0, "ok", Boom, hook), 2.0, 3.0], 1, 3)
    (ok1, e1), (ok2, _), (ok3, _) = seen
    assert not ok1 and type(e1) is RuntimeError and str(e1) == "Already mutably borrowed"
    assert ok2 and ok3


# Hand-picked objects that the generated ones reach only now and then: (is the call an insert into
# the store under attack, the call, what it must do).
VECTOR_ARG = "argument 'vector': "
FIXED_CASES = {
    # [1, item, 2, 3], the item empties the list: the list ends after it.
    "list cleared by its own item": (
        True, lambda s: s.insert(_mutating_list([1.0, 2.0, 3.0], Action("clear", True)), 1),
        (ValueError, "vector has length 2 but vectorstore expects 3")),
    # [1, 2, item, 3, 4], the item deletes the first two: [item, 3, 4] has no index 3.
    "list shrunk by its own item": (
        False, lambda s: s.search(_mutating_list([1.0, 2.0, 3.0, 4.0], Action("shrink", True)), 3), "ok"),
    "list item replaced by a string": (
        True, lambda s: s.insert(_mutating_list([1.0, 2.0], Action("replace", True)), 1), "ok"),
    "list grown by its own item": (
        True, lambda s: s.insert(_mutating_list([1.0, 2.0], Action("append", True)), 1),
        (ValueError, "vector has length 4 but vectorstore expects 3")),
    "unprintable conversion error": (
        True, lambda s: s.insert([BadStr(), 1.0, 2.0], 1), (TypeError, VECTOR_ARG + "<unprintable TypeError object>")),
    "huge length": (True, lambda s: s.insert(Seq([1.0, 2.0, 3.0], "huge", "plain", 0, Boom, None), 1), "ok"),
    "negative length": (True, lambda s: s.insert(Seq([1.0, 2.0, 3.0], "negative", "plain", 0, Boom, None), 1), "ok"),
    "length that raises": (True, lambda s: s.insert(OldSeq([1.0, 2.0, 3.0], "raise", "plain", 0, Abort, None), 1), "ok"),
    "iterator fails midway": (
        False, lambda s: s.search(Seq([1.0, 2.0, 3.0], "true", "fails_midway", 1, Boom, None), 1), (Boom, None)),
    "released memoryview": (
        True, lambda s: s.insert(_released_view(), 1),
        (ValueError, "operation forbidden on released memoryview object")),
    "two-dimensional memoryview": (
        False, lambda s: s.search(memoryview(array.array("f", [1.0] * 6)).cast("B").cast("f", (2, 3)), 1),
        (NotImplementedError, None)),
    "pair items that insert": (
        False, lambda s: Vectorstore(D, [([Num(1.0, "ok", Boom, Action("insert", False)), 2.0, 3.0], 1)]), "ok"),
    "top_k that inserts": (
        False, lambda s: s.search([1.0, 2.0, 3.0], IndexOnly(2, Action("insert", False))),
        (RuntimeError, "Already borrowed")),
    "id that searches": (
        True, lambda s: s.insert([1.0, 2.0, 3.0], IndexOnly(2, Action("search", False))),
        (RuntimeError, "Already mutably borrowed")),
    "n_threads that inserts, swallowed": (
        False, lambda s: s.parallel_search([1.0, 2.0, 3.0], 2, IndexOnly(3, Action("insert", True))), "ok"),
}


@pytest.mark.parametrize("name", sorted(FIXED_CASES))
def test_fixed_hostile_cases(name):
    is_insert, call, expected = FIXED_CASES[name]
    store = begin()
    ok, value = attempt(lambda: call(store))
    if expected == "ok":
        assert ok, repr(value)
    else:
        exc_type, message = expected
        assert not ok and type(value) is exc_type, repr(value)
        if message is not None:
            assert str(value) == message
    judge(store, ok, value, inserted_into_store=is_insert)
