"""atheris target for the binding: python binding_fuzz.py [libFuzzer options] [corpus dirs].

Each input is a few calls to the members of one store, with arguments drawn from the input:
lists, tuples, array.array, memoryviews of every format, numpy arrays of every dtype, byte
order, stride and alignment, ctypes arrays, other sequences, integers on the edges of u64, and
numbers and sequences whose methods raise or call back into the store (hooks).

The outcome is first worked out with the hooks off, by the documented rule applied with the
interpreter's own functions (refuse str, require a sequence, iterate, PyFloat_AsDouble; ids
and counts by PyNumber_Index and PyLong_AsUnsignedLongLong), and by the mirror: a store that
only ever gets plain lists of floats. With the hooks on, the call must then give what the
mirror gave, raise what the rule raised, or raise the very error a hook let through; calls
from hooks meet the borrow rules, and a refused call changes no length. Reference counts of
the arguments, their items, the stores and the class do not move; with a debug interpreter the
call, repeated with the hooks off, leaves sys.gettotalrefcount() as it was (unless numpy, a
release build whose counting that total misses, took part). At the end the store, the mirror
and tests/oracle.py agree.
"""
import array
import collections
import ctypes
import gc
import os
import struct
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

import atheris
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from oracle import cosine, same_float, top_k  # noqa: E402
from quillmere import Vectorstore, cosine_similarity  # noqa: E402

warnings.simplefilter("ignore")  # numpy warns on complex and size-1 array conversions
API = ctypes.pythonapi
for name, restype in [("PyFloat_AsDouble", ctypes.c_double), ("PyNumber_Index", ctypes.py_object),
                      ("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong), ("PySequence_Check", ctypes.c_int)]:
    getattr(API, name).restype, getattr(API, name).argtypes = restype, [ctypes.py_object]
TOTAL = getattr(sys, "gettotalrefcount", None)


Boom = type("Boom", (Exception,), {})
TypeBoom = type("TypeBoom", (TypeError,), {})  # passes through without the argument's name
ListSub, TupleSub = type("ListSub", (list,), {}), type("TupleSub", (tuple,), {})  # converted by the general rule
FloatSub = type("FloatSub", (float,), {"__float__": lambda self: 99.0})  # its own value counts, not __float__'s


class S:
    """The input being run: its store, the mirror, what the mirror holds, and what hooks did."""
    store = mirror = None
    d = 0
    entries, inner = [], []  # (vector, id) pairs; (member, None or its error) of each hook's call
    armed, passed = False, None  # hooks act; the error one let through


INNER = {"insert": lambda s: s.insert([0.5] * S.d, 4242), "search": lambda s: s.search([0.5] * S.d, 2),
         "parallel_search": lambda s: s.parallel_search([0.5] * S.d, 2, 2),
         "len": len, "repr": repr, "bool": bool, "vector_size": lambda s: s.vector_size}


class Hook:
    """Calls a member of the store under attack; lets its error through or swallows it."""

    def __init__(self, member, swallow):
        self.member, self.swallow = member, swallow

    def __call__(self):
        if not S.armed:
            return
        try:
            INNER[self.member](S.store)
        except RuntimeError as exc:
            S.inner.append((self.member, exc))
            if not self.swallow:
                S.passed = exc
                raise
            return
        S.inner.append((self.member, None))
        if self.member == "insert":
            S.mirror.insert([0.5] * S.d, 4242)
            S.entries.append(([0.5] * S.d, 4242))


class HNum:
    """A number whose __float__ and __index__ run a hook, then answer or raise."""

    def __init__(self, value, fail, hook):
        self.value, self.fail, self.hook = value, fail, hook

    def answer(self, convert):
        if self.hook:
            self.hook()
        if self.fail:
            raise self.fail("refused by the number")
        return convert(self.value)

    def __float__(self):
        return self.answer(float)

    def __index__(self):
        return self.answer(int)


class Seq:
    """A sequence by __len__ and __getitem__ alone. Its length may lie, and __len__ may run a hook
    and raise (when `at` is -1)."""

    def __init__(self, items, lie=0, fail=None, at=0, hook=None):
        self.items, self.lie, self.fail, self.at, self.hook = items, lie, fail, at, hook

    def __len__(self):
        if self.hook:
            self.hook()
        if self.fail and self.at < 0:
            raise self.fail("no length")
        return len(self.items) + self.lie

    def __getitem__(self, i):
        return self.items[i]


class HSeq(Seq):
    """A Seq whose __iter__ runs the hook too, and raises at item `at`."""

    def __iter__(self):
        if self.hook:
            self.hook()
        for i, item in enumerate(self.items):
            if self.fail and i == self.at:
                raise self.fail("iteration refused")
            yield item


# ---------------------------------------------------------------- the rule

def sequence(obj):
    if isinstance(obj, str) or not API.PySequence_Check(obj):
        raise TypeError("not a sequence")
    if isinstance(obj, memoryview):
        obj.format  # noqa: B018 - a released view raises ValueError; CPython 3.11's iter() of one leaves it set
    return obj


def as_vector(obj):
    return [API.PyFloat_AsDouble(item) for item in sequence(obj)]


def as_count(obj):
    return API.PyLong_AsUnsignedLongLong(obj if isinstance(obj, int) else API.PyNumber_Index(obj))


def as_pairs(obj):
    if obj is None:
        return None
    pairs = []
    for item in sequence(obj):
        if not isinstance(item, tuple):
            raise TypeError("not a tuple")
        if tuple.__len__(item) != 2:
            raise ValueError("not a pair")
        pairs.append((as_vector(tuple.__getitem__(item, 0)), as_count(tuple.__getitem__(item, 1))))
    return pairs


CONVERT = {"vector": as_vector, "vec1": as_vector, "vec2": as_vector, "id": as_count, "top_k": as_count,
           "vector_size": as_count, "n_threads": lambda x: None if x is None else as_count(x), "vectors": as_pairs}


# ---------------------------------------------------------------- drawing arguments

DTYPES = [order + code for code in ("i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "c8", "c16") for order in "<>"] + \
    ["?", "i1", "u1", "g", "<M8[s]", ">m8[ms]", "S3", "V4", "<U1"]
FORMATS = list("bBhHiIlLqQnNfd?cP") + ["@f", "@d", "@q", "@?"]  # numpy and ctypes give "<f", ">f", "e", ...
EDGE_INTS = [0, 1, 2, 3, 7, 255, 2**31, 2**32 - 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -1, -2**63, 10**400]
ODD_ITEMS = [True, 2**53 + 1, 2**1024, FloatSub(1.5), Fraction(1, 3), Decimal("0.1"), 1j, "1.0", b"1", None, [1.0]]


def draw_number(fdp, numpy_used):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind < 5:
        return fdp.ConsumeFloat()
    if kind < 7:  # any float32, NaN payloads included
        return struct.unpack("<f", fdp.ConsumeBytes(4).ljust(4, b"\0"))[0]
    if kind == 7:
        return fdp.PickValueInList(EDGE_INTS)
    if kind == 8 and fdp.ConsumeBool():
        numpy_used.append(True)
        return np.float32(fdp.ConsumeFloat())
    return fdp.PickValueInList(ODD_ITEMS)


def draw_hook(fdp):
    return None if fdp.ConsumeIntInRange(0, 3) else Hook(fdp.PickValueInList(sorted(INNER)), fdp.ConsumeBool())


def draw_fail(fdp):
    return fdp.PickValueInList([None, None, Boom, TypeBoom, TypeError, ValueError, OverflowError])


def draw_numpy(fdp, raw, n):
    dtype = np.dtype(fdp.PickValueInList(DTYPES))
    if dtype.kind == "U":  # valid code points only
        raw = (np.frombuffer(raw, "<u4") % 0xD800).astype("<u4").tobytes()
    arr = np.frombuffer(raw, dtype=dtype, count=min(len(raw) // dtype.itemsize, 2 * n))
    shape = fdp.ConsumeIntInRange(0, 6)
    if shape == 1:
        return arr[::2][:n]
    if shape == 2 and n:
        return arr[n - 1::-1]
    if shape == 3 and n:  # unaligned
        return np.frombuffer(b"\0" + raw, dtype=dtype, offset=1, count=n)
    if shape == 4:
        return arr[:n].reshape(-1, 1) if n else arr[:0].reshape(0, 2)
    if shape == 5 and n:
        return np.asarray(arr[0])
    if shape == 6 and dtype.kind in "biuf":
        return memoryview(arr[:n])
    return arr[:n]


def draw_memoryview(fdp, raw, n):
    fmt = fdp.PickValueInList(FORMATS)
    view = memoryview(raw).cast(fmt)
    shape = fdp.ConsumeIntInRange(0, 4)
    if shape == 1:
        view.release()
        return view
    if shape == 2:
        return view[:2 * n:2]
    if shape == 3 and n:
        return view[n - 1::-1]
    if shape == 4 and n:
        return view[:2 * n].cast("B").cast(fmt, (2, n))
    return view[:n]


def draw_vector(fdp, numpy_used):
    n = fdp.PickValueInList([S.d] * 6 + [0, S.d + 1, max(S.d - 1, 0)])
    raw = fdp.ConsumeBytes(16 * n + 16).ljust(16 * n + 16, b"\1")
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind < 4:
        items = [draw_number(fdp, numpy_used) for _ in range(n)]
        if n and fdp.ConsumeIntInRange(0, 3) == 0:
            items[fdp.ConsumeIntInRange(0, n - 1)] = HNum(draw_number(fdp, numpy_used), draw_fail(fdp), draw_hook(fdp))
        return fdp.PickValueInList([list, tuple, ListSub, TupleSub, Seq, collections.deque])(items) if kind else items
    if kind == 4:
        code = fdp.PickValueInList(list("bBhHiIlLqQfd"))
        return array.array(code, raw[:n * array.array(code).itemsize])
    if kind == 5:
        return draw_memoryview(fdp, raw, n)
    if kind in (6, 7):
        numpy_used.append(True)
        return draw_numpy(fdp, raw, n)
    if kind == 8:
        numpy_used.append(True)
        return np.array([draw_number(fdp, numpy_used) for _ in range(n)] + [None], dtype=object)[:n]
    if kind == 9:
        return fdp.PickValueInList([(ctypes.c_float * n).from_buffer_copy(raw[:4 * n]),
                                    memoryview((ctypes.c_double * n).from_buffer_copy(raw[:8 * n]))])
    if kind == 10:
        items = [draw_number(fdp, numpy_used) for _ in range(n)]
        return HSeq(items, 0, draw_fail(fdp), fdp.ConsumeIntInRange(-1, n), draw_hook(fdp))
    return fdp.PickValueInList([range(n), range(n, 0, -1), bytes(raw[:n]), bytearray(raw[:n]), Seq([1.0] * n, 1000),
                                "abc", {1: 2.0}, {1.0}, 5, None, [[1.0]] * n])


def draw_count(fdp, numpy_used):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind < 2:
        return fdp.ConsumeIntInRange(0, 40)
    if kind == 2:
        return fdp.PickValueInList(EDGE_INTS)
    if kind == 3:
        return HNum(fdp.ConsumeIntInRange(0, 40), draw_fail(fdp), draw_hook(fdp))
    if kind == 4:
        numpy_used.append(True)
        return fdp.PickValueInList([np.uint64(2**64 - 1), np.int64(-1), np.int8(3), np.uint8(0)])
    return fdp.PickValueInList([1.5, "3", None, True, [1]])


def draw_args(fdp, member, numpy_used):
    """The parameters and arguments of one call."""
    if member in ("len", "repr", "bool", "vector_size"):
        return [], []
    if member == "new":
        pairs = [(draw_vector(fdp, numpy_used), draw_count(fdp, numpy_used)) for _ in range(fdp.ConsumeIntInRange(0, 6))]
        if pairs and fdp.ConsumeIntInRange(0, 4) == 0:
            pairs[-1] = fdp.PickValueInList([list(pairs[-1]), pairs[-1] + (1,), pairs[-1][:1], TupleSub(pairs[-1]), 7])
        size = fdp.PickValueInList([S.d, S.d, 0, 2, 2**64 - 1, -1, HNum(S.d, draw_fail(fdp), draw_hook(fdp))])
        return ["vector_size", "vectors"], [size, fdp.PickValueInList([list, tuple, Seq, lambda p: None])(pairs)]
    if member == "cosine":
        return ["vec1", "vec2"], [draw_vector(fdp, numpy_used), draw_vector(fdp, numpy_used)]
    first = draw_vector(fdp, numpy_used)
    if member == "insert":
        return ["vector", "id"], [first, draw_count(fdp, numpy_used)]
    args = [first, draw_count(fdp, numpy_used)]
    if member == "parallel_search" and fdp.ConsumeBool():
        threads = fdp.PickValueInList([None, 0, 1, 2, 3, 64, 2**64 - 1])
        return ["vector", "top_k", "n_threads"], args + [threads if fdp.ConsumeBool() else draw_count(fdp, numpy_used)]
    return ["vector", "top_k"], args


# ---------------------------------------------------------------- calls and judgement

READS = {"len": len, "repr": repr, "bool": bool, "vector_size": lambda s: s.vector_size}
CALLS = {  # member: (the call on the store under attack, the call on the mirror with converted arguments)
    "insert": (lambda *a, **k: S.store.insert(*a, **k), lambda v, i: Vectorstore(S.d).insert(v, i)),
    "search": (lambda *a, **k: S.store.search(*a, **k), lambda v, k: S.mirror.search(v, k)),
    "parallel_search": (lambda *a, **k: S.store.parallel_search(*a, **k), lambda v, k, t=None: S.mirror.search(v, k)),
    "cosine": (cosine_similarity, cosine_similarity),
    "new": (Vectorstore, Vectorstore),
    **{name: (lambda read=read: read(S.store), lambda read=read: read(S.mirror)) for name, read in READS.items()},
}


def attempt(call):
    try:
        return True, call()
    except BaseException as exc:  # noqa: BLE001 - judged by the caller
        return False, exc


def same(got, expected):
    if isinstance(expected, Vectorstore):
        probe = [1.0] * expected.vector_size if expected.vector_size <= 64 else None
        return isinstance(got, Vectorstore) and repr(got) == repr(expected) and (
            probe is None or same(got.search(probe, len(got)), expected.search(probe, len(expected))))
    if isinstance(expected, (list, tuple)):
        return type(got) is type(expected) and len(got) == len(expected) and all(map(same, got, expected))
    if isinstance(expected, float):
        return type(got) is float and struct.pack("<d", got) == struct.pack("<d", expected)
    return type(got) is type(expected) and got == expected


def tracked(objects, depth=3):
    """The objects a call is handed, into lists, tuples and sequences, but for shared singletons."""
    out = []
    for obj in objects:
        if not (obj is None or isinstance(obj, bool) or (type(obj) is int and -5 <= obj <= 256)):
            out.append(obj)
        if depth and isinstance(obj, (list, tuple, Seq)):
            out += tracked(obj.items if isinstance(obj, Seq) else obj, depth - 1)
    return out


def leak(call):
    """How much a call, three times over, grows the interpreter's total reference count each time."""
    for _ in range(3):
        before = TOTAL()
        attempt(call)
        delta = TOTAL() - before
        if delta == 0:
            return 0
    return delta


def check_inner_calls(member, show):
    """A hook's call meets the borrow of the member converting it: an insert's refuses everything,
    a search's only inserts."""
    for inner, outcome in S.inner:
        refused = ("Already borrowed" if inner == "insert" else "Already mutably borrowed") if member == "insert" \
            else "Already borrowed" if inner == "insert" and member in ("search", "parallel_search") else None
        assert outcome is None if refused is None else type(outcome) is RuntimeError and str(outcome) == refused, \
            f"{show()}: its hook's {inner} gave {outcome!r}"


def run_call(member, params, args, numpy_used, keywords):
    real, plain = CALLS[member]
    show = lambda: f"{member}({', '.join(map(repr, args))})"  # noqa: E731
    converted = []
    try:
        for param, arg in zip(params, args):
            converted.append(CONVERT[param](arg))
    except Exception as exc:  # noqa: BLE001 - the rule refused this argument
        expected_ok, expected, failed = False, exc, params[len(converted)]
    else:
        (expected_ok, expected), failed = attempt(lambda: plain(*converted)), None
    expected_type, expected_text = (None, None) if expected_ok else (type(expected), str(expected))
    expected = expected if expected_ok else None  # an error's traceback would hold the arguments

    call_args, call_kwargs = ([], dict(zip(params, args))) if keywords else (args, {})
    objects = [S.store, S.mirror, Vectorstore] + tracked(args)
    refs = [sys.getrefcount(o) for o in objects]
    length = len(S.store)
    S.inner, S.passed, S.armed = [], None, True
    ok, got = attempt(lambda: real(*call_args, **call_kwargs))
    S.armed = False

    check_inner_calls(member, show)
    if S.passed is not None:
        assert not ok and got is S.passed, f"{show()}: the error its hook let through became {got!r}"
    elif not expected_ok:
        assert not ok and type(got) is expected_type, f"{show()}: {expected_type.__name__} expected, got {got!r}"
        if expected_type is TypeError and failed:
            assert str(got).startswith(f"argument '{failed}': "), f"{show()}: {got}"
        elif not failed:  # the mirror's own error
            assert str(got) == expected_text, f"{show()}: {got} where the mirror said {expected_text}"
    else:
        assert ok and same(got, expected), f"{show()}: got {got!r}, the mirror gave {expected!r}"
    grown = sum(1 for inner, outcome in S.inner if inner == "insert" and outcome is None)
    if ok and member == "insert":
        S.mirror.insert(*converted)
        S.entries.append(tuple(converted))
    else:
        assert len(S.store) == length + grown, f"{show()}: len went from {length} to {len(S.store)}"

    got = S.passed = None  # `expected` was alive at the first count too
    S.inner = []
    after = [sys.getrefcount(o) for o in objects]
    if after != refs:
        gc.collect()
        after = [sys.getrefcount(o) for o in objects]
    moved = [(type(o).__name__, b, a) for o, b, a in zip(objects, refs, after) if a != b]
    assert not moved, f"{show()}: reference counts moved (type, before, after): {moved}"
    if TOTAL is not None and not numpy_used:
        # Hooks off; an insert that would succeed goes to a scratch store.
        target = Vectorstore(S.d).insert if member == "insert" and expected_ok else real
        delta = leak(lambda: target(*call_args, **call_kwargs))
        assert delta == 0, f"{show()}: each call changes the interpreter's total reference count by {delta}"


def run(data):
    fdp = atheris.FuzzedDataProvider(data)
    S.d = fdp.PickValueInList([0, 1, 2, 3, 3, 4, 5, 8, 17, 33])
    S.store, S.mirror, S.entries = Vectorstore(S.d), Vectorstore(S.d), []
    for _ in range(fdp.ConsumeIntInRange(1, 6)):
        member = fdp.PickValueInList(["insert"] * 3 + ["search", "parallel_search", "cosine", "new"] + list(READS))
        numpy_used = []
        keywords = fdp.ConsumeIntInRange(0, 4) == 0
        params, args = draw_args(fdp, member, numpy_used)
        run_call(member, params, args, numpy_used, keywords)
    # The store holds what the mirror holds, and the mirror what the oracle says.
    n = len(S.mirror)
    for probe in ([1.0] * S.d, [float(i % 3) - 1.0 for i in range(S.d)]):
        found = S.mirror.search(probe, n + 1)
        assert same(S.store.search(probe, n + 1), found), "the store and its mirror differ"
        assert same(S.store.parallel_search(probe, n + 1, 3), found), "parallel_search differs from search"
        expected = top_k(S.entries, probe, n + 1)
        assert len(found) == len(expected), "the mirror and the oracle differ"
        assert all(a[1] == b[1] and same_float(a[0], b[0]) for a, b in zip(found, expected)), "the mirror and the oracle differ"
        for vector, _ in S.entries[-3:]:
            assert same_float(cosine_similarity(probe, vector), cosine(probe, vector)), "cosine differs from the oracle"


def test_one_input(data):
    before = sys.getrefcount(Vectorstore)
    run(data)
    S.store = S.mirror = None
    S.entries = []
    if sys.getrefcount(Vectorstore) != before:
        gc.collect()
    assert sys.getrefcount(Vectorstore) == before, "a Vectorstore outlived its input"


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
