"""Binding of call arguments to parameters and conversion of Python values.

Every callable binds its arguments the same way and names itself in the messages; every vector,
identifier and count is converted by one rule whatever container or number type the caller uses,
and conversion errors name the argument only when they are exactly TypeError.
"""
import array
import ctypes
import math
import operator
import struct
import subprocess
import sys
from collections import namedtuple
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracle import assert_score as assert_same_score, cosine
from quillmere import Vectorstore, cosine_similarity as cos

U64_MAX = 2**64 - 1
FLT_MAX = 3.4028234663852886e38
# Doubles just below and exactly at the midpoint between FLT_MAX and 2**128.
BELOW_OVERFLOW = 3.4028235677973362e38
AT_OVERFLOW = 3.4028235677973366e38
# An int whose nearest double is a float32 tie: int -> double -> float32 gives 2**60, while a
# direct int -> float32 rounding would give 2**60 + 2**37.
DOUBLE_ROUNDED = 2**60 + 2**36 + 1

is_64bit = sys.maxsize > 2**32

try:
    import _testbuffer  # CPython's buffer exporter for tests: any struct format, shape and sub-offsets
except ImportError:
    _testbuffer = None


def raised(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


def assert_raises(exc_type, message, fn, *args, **kwargs):
    exc = raised(fn, *args, **kwargs)
    assert type(exc) is exc_type, repr(exc)
    assert str(exc) == message
    return exc


def float_error(obj):
    """The exception that converting obj to a C double raises (math.fabs converts the same way)."""
    try:
        math.fabs(obj)
    except BaseException as e:  # noqa: B036
        return e
    raise AssertionError(f"{obj!r} converts to float")


def index_error(obj):
    try:
        operator.index(obj)
    except BaseException as e:  # noqa: B036
        return e
    raise AssertionError(f"{obj!r} converts to an index")


def observe(x):
    """The float32 that x narrows to, for |x| <= 2**-13: the score of [x, 1] against [1, -0]."""
    return cos([x, 1.0], [1.0, -0.0])


# --------------------------------------------------------------------------------------------
# Binding
# --------------------------------------------------------------------------------------------


class Callee:
    def __init__(self, display, params, required, make, valid):
        self.display, self.params, self.required, self.make, self.valid = display, params, required, make, valid

    def __repr__(self):
        return self.display


CALLEES = [
    Callee("cosine_similarity()", ("vec1", "vec2"), 2, lambda: cos, ([1.0], [1.0])),
    Callee("Vectorstore.__new__()", ("vector_size", "vectors"), 1, lambda: Vectorstore, (1, None)),
    Callee("Vectorstore.insert()", ("vector", "id"), 2, lambda: Vectorstore(1).insert, ([1.0], 7)),
    Callee("Vectorstore.search()", ("vector", "top_k"), 2, lambda: Vectorstore(1).search, ([1.0], 1)),
    Callee(
        "Vectorstore.parallel_search()",
        ("vector", "top_k", "n_threads"),
        2,
        lambda: Vectorstore(1).parallel_search,
        ([1.0], 1, 1),
    ),
]


@pytest.fixture(params=CALLEES, ids=repr)
def callee(request):
    return request.param


class TestBinding:
    @pytest.mark.parametrize("extra", [1, 2])
    def test_too_many_positional(self, callee, extra):
        p, r = len(callee.params), callee.required
        k = p + extra
        takes = f"{p}" if r == p else f"from {r} to {p}"
        message = f"{callee.display} takes {takes} positional arguments but {k} were given"
        assert_raises(TypeError, message, callee.make(), *callee.valid, *([0] * extra))
        # Counted before any keyword is looked at, and before any conversion.
        assert_raises(TypeError, message, callee.make(), *(["ab"] * k), bogus=1)

    def test_multiple_values(self, callee):
        for index, name in enumerate(callee.params):
            message = f"{callee.display} got multiple values for argument '{name}'"
            args = callee.valid[: index + 1]
            assert_raises(TypeError, message, callee.make(), *args, **{name: callee.valid[index]})
            # The argument values are not looked at.
            assert_raises(TypeError, message, callee.make(), *(["ab"] * (index + 1)), **{name: "ab"})

    @pytest.mark.parametrize("keyword", ["bogus", "k", "é", "VEC1", "ids", "self"])
    def test_unexpected_keyword(self, callee, keyword):
        message = f"{callee.display} got an unexpected keyword argument '{keyword}'"
        assert_raises(TypeError, message, callee.make(), *callee.valid, **{keyword: 1})
        # Also after valid keywords, and before missing arguments.
        required = dict(zip(callee.params[:1], callee.valid[:1]))
        assert_raises(TypeError, message, callee.make(), **required, **{keyword: 1})
        assert_raises(TypeError, message, callee.make(), **{keyword: 1})

    @pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
    def test_keyword_not_encodable_as_utf8_is_unexpected(self, callee):
        # How the name is shown is not fixed: it cannot be written as UTF-8.
        exc = raised(callee.make(), *callee.valid, **{"\udc80": 1})
        assert type(exc) is TypeError
        assert str(exc).startswith(f"{callee.display} got an unexpected keyword argument '")

    def test_first_failing_keyword_decides(self, callee):
        first = callee.params[0]
        fn = callee.make()
        assert_raises(
            TypeError,
            f"{callee.display} got multiple values for argument '{first}'",
            fn,
            callee.valid[0],
            **{first: callee.valid[0], "bogus": 1},
        )
        assert_raises(
            TypeError,
            f"{callee.display} got an unexpected keyword argument 'bogus'",
            fn,
            callee.valid[0],
            **{"bogus": 1, first: callee.valid[0]},
        )

    def test_missing_everything(self, callee):
        required = callee.params[: callee.required]
        if len(required) == 1:
            message = f"{callee.display} missing 1 required positional argument: '{required[0]}'"
        else:
            message = (
                f"{callee.display} missing 2 required positional arguments: '{required[0]}' and '{required[1]}'"
            )
        assert_raises(TypeError, message, callee.make())
        optional = {name: value for name, value in zip(callee.params, callee.valid) if name not in required}
        if optional:
            assert_raises(TypeError, message, callee.make(), **optional)

    @pytest.mark.parametrize("callee", [c for c in CALLEES if c.required == 2], ids=repr)
    def test_missing_one_of_two(self, callee):
        a, b = callee.params[:2]
        va, vb = callee.valid[:2]
        assert_raises(TypeError, f"{callee.display} missing 1 required positional argument: '{b}'", callee.make(), va)
        assert_raises(
            TypeError, f"{callee.display} missing 1 required positional argument: '{a}'", callee.make(), **{b: vb}
        )
        assert_raises(
            TypeError, f"{callee.display} missing 1 required positional argument: '{b}'", callee.make(), **{a: va}
        )

    def test_all_by_keyword_in_any_order(self, callee):
        kwargs = dict(zip(callee.params, callee.valid))
        positional = callee.make()(*callee.valid)
        by_keyword = callee.make()(**kwargs)
        reversed_keywords = callee.make()(**dict(reversed(list(kwargs.items()))))
        if isinstance(positional, Vectorstore):
            positional, by_keyword, reversed_keywords = map(repr, (positional, by_keyword, reversed_keywords))
        assert positional == by_keyword == reversed_keywords

    def test_mixed_position_and_keyword(self, callee):
        head, tail = callee.valid[:1], dict(zip(callee.params[1:], callee.valid[1:]))
        result = callee.make()(*head, **tail)
        expected = callee.make()(*callee.valid)
        if isinstance(result, Vectorstore):
            result, expected = repr(result), repr(expected)
        assert result == expected

    def test_new_called_directly(self):
        assert_raises(
            TypeError,
            "Vectorstore.__new__() missing 1 required positional argument: 'vector_size'",
            Vectorstore.__new__,
            Vectorstore,
        )
        assert len(Vectorstore.__new__(Vectorstore, 2, vectors=[([1.0, 2.0], 3)])) == 1

    def test_optional_n_threads(self):
        store = Vectorstore(2, [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([1.0, 1.0], 3)])
        expected = store.search([1.0, 0.5], 3)
        assert store.parallel_search([1.0, 0.5], 3) == expected
        assert store.parallel_search([1.0, 0.5], 3, None) == expected
        assert store.parallel_search([1.0, 0.5], 3, n_threads=None) == expected
        assert store.parallel_search(n_threads=None, top_k=3, vector=[1.0, 0.5]) == expected

    def test_optional_vectors(self):
        for store in (Vectorstore(3), Vectorstore(3, None), Vectorstore(3, vectors=None), Vectorstore(vector_size=3)):
            assert len(store) == 0
            assert store.vector_size == 3


# --------------------------------------------------------------------------------------------
# Float vectors
# --------------------------------------------------------------------------------------------

# Each site converts one float vector argument and reports it under the given name; a vector
# inside a `vectors` pair is reported under "vectors".
VECTOR_SITES = [
    ("vec1", lambda v: cos(v, [1.0, 2.0])),
    ("vec2", lambda v: cos([1.0, 2.0], v)),
    ("vector", lambda v: Vectorstore(2).insert(v, 1)),
    ("vector", lambda v: Vectorstore(2).search(v, 1)),
    ("vector", lambda v: Vectorstore(2).parallel_search(v, 1)),
    ("vectors", lambda v: Vectorstore(2, [(v, 1)])),
]
VECTOR_SITE_IDS = ["cos-vec1", "cos-vec2", "insert", "search", "parallel_search", "new-pair"]


@pytest.fixture(params=VECTOR_SITES, ids=VECTOR_SITE_IDS)
def vector_site(request):
    return request.param


class StrSub(str):
    pass


class DictWithGetitem(dict):
    def __getitem__(self, i):
        return 1.0


def make_opaque():
    class Opaque:
        pass

    return Opaque()


NOT_SEQUENCES = [
    (None, "'None' is not an instance of 'Sequence'"),
    (5, "'int' object is not an instance of 'Sequence'"),
    (1.5, "'float' object is not an instance of 'Sequence'"),
    (True, "'bool' object is not an instance of 'Sequence'"),
    ({1.0, 2.0}, "'set' object is not an instance of 'Sequence'"),
    (frozenset([1.0, 2.0]), "'frozenset' object is not an instance of 'Sequence'"),
    ({0: 1.0, 1: 2.0}, "'dict' object is not an instance of 'Sequence'"),
    (DictWithGetitem(a=1), "'DictWithGetitem' object is not an instance of 'Sequence'"),
    (iter([1.0, 2.0]), "'list_iterator' object is not an instance of 'Sequence'"),
    ((x for x in [1.0, 2.0]), "'generator' object is not an instance of 'Sequence'"),
    ({}.keys(), "'dict_keys' object is not an instance of 'Sequence'"),
    (np.float64(1.0), "'float64' object is not an instance of 'Sequence'"),
    (make_opaque(), "'make_opaque.<locals>.Opaque' object is not an instance of 'Sequence'"),
]


class TestVectorConversionErrors:
    @pytest.mark.parametrize("value", ["ab", "", StrSub("xy")], ids=["str", "empty", "subclass"])
    def test_str_refused(self, vector_site, value):
        name, call = vector_site
        assert_raises(TypeError, f"argument '{name}': Can't extract `str` to `Vec`", call, value)

    @pytest.mark.parametrize("value, message", NOT_SEQUENCES, ids=[m.split("'")[1] for _, m in NOT_SEQUENCES])
    def test_not_a_sequence(self, vector_site, value, message):
        name, call = vector_site
        exc = assert_raises(TypeError, f"argument '{name}': {message}", call, value)
        assert exc.__cause__ is None
        assert exc.__suppress_context__

    @pytest.mark.parametrize(
        "item",
        ["x", None, [1.0], 1j, b"1", (1.0,)],
        ids=["str", "None", "list", "complex", "bytes", "tuple"],
    )
    def test_item_not_a_number(self, vector_site, item):
        name, call = vector_site
        expected = float_error(item)
        assert type(expected) is TypeError
        exc = assert_raises(TypeError, f"argument '{name}': {expected}", call, [1.0, item])
        assert exc.__cause__ is None

    def test_item_int_too_large_for_double(self, vector_site):
        _, call = vector_site
        expected = float_error(10**400)
        exc = assert_raises(OverflowError, str(expected), call, [10**400, 1.0])
        assert not str(exc).startswith("argument")

    def test_zero_dimensional_array(self, vector_site):
        name, call = vector_site
        value = np.array(5.0)
        try:
            iter(value)
        except TypeError as e:
            expected = str(e)
        assert_raises(TypeError, f"argument '{name}': {expected}", call, value)

    def test_two_dimensional_array_items_are_rows(self, vector_site):
        name, call = vector_site
        value = np.ones((2, 2), dtype=np.float32)
        expected = float_error(value[0])
        assert_raises(type(expected), f"argument '{name}': {expected}", call, value)

    def test_two_dimensional_memoryview(self, vector_site):
        # Iterating a 2-D memoryview fails; the failure passes through as the
        # interpreter raised it (a TypeError would gain the argument prefix).
        name, call = vector_site
        view = memoryview(np.ones((2, 2)))
        try:
            list(view)
        except Exception as e:  # noqa: BLE001 - the type differs across versions
            expected = e
        message = str(expected)
        if type(expected) is TypeError:
            message = f"argument '{name}': {message}"
        assert_raises(type(expected), message, call, view)


class Floaty:
    """An item whose __float__ returns or raises what it was given."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Indexy:
    def __init__(self, result, log=None, tag=None):
        self.result, self.log, self.tag = result, log, tag

    def __index__(self):
        if self.log is not None:
            self.log.append(self.tag)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class MyTypeError(TypeError):
    pass


class MyBaseException(BaseException):
    pass


class TestErrorWrapping:
    @pytest.mark.parametrize(
        "error",
        [ValueError("bad float"), MyTypeError("subclass"), ZeroDivisionError("zero"), MyBaseException("base"),
         OverflowError("big"), KeyError("k")],
        ids=lambda e: type(e).__name__,
    )
    def test_other_exceptions_pass_unchanged(self, vector_site, error):
        _, call = vector_site
        assert raised(call, [1.0, Floaty(error)]) is error

    def test_exact_type_error_gets_prefix(self, vector_site):
        name, call = vector_site
        original = TypeError("boom")
        exc = assert_raises(TypeError, f"argument '{name}': boom", call, [Floaty(original), 1.0])
        assert exc is not original
        assert exc.args == (f"argument '{name}': boom",)
        assert exc.__cause__ is None
        assert exc.__suppress_context__

    def test_cause_of_the_wrapped_type_error_is_kept(self, vector_site):
        name, call = vector_site
        root = KeyError("root")
        original = TypeError("boom")
        original.__cause__ = root
        exc = assert_raises(TypeError, f"argument '{name}': boom", call, [1.0, Floaty(original)])
        assert exc.__cause__ is root
        assert exc.__suppress_context__

    def test_float_returning_non_float(self, vector_site):
        name, call = vector_site
        item = Floaty(1)
        expected = float_error(item)
        assert_raises(TypeError, f"argument '{name}': {expected}", call, [item, 1.0])

    def test_no_exception_left_behind(self):
        with pytest.raises(ValueError):
            cos([Floaty(ValueError("x"))], [1.0])
        assert cos([1.0], [1.0]) == 1.0


class Seq:
    """A sequence whose length and iteration are under the test's control."""

    def __init__(self, items, length=None, fail_at=None, error=None, iter_error=None):
        self.items, self.length, self.fail_at, self.error, self.iter_error = items, length, fail_at, error, iter_error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iter_error is not None:
            raise self.iter_error
        return self._gen()

    def _gen(self):
        for i, x in enumerate(self.items):
            if i == self.fail_at:
                raise self.error
            yield x


class GetitemOnly:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class NotIterable(GetitemOnly):
    __iter__ = None


def length_of(value):
    """The number of components the module converted value into."""
    exc = raised(cos, value, [0.0] * 10007)
    assert type(exc) is ValueError
    prefix = "vectors have different dimensions ("
    assert str(exc).startswith(prefix) and str(exc).endswith(" vs 10007)")
    return int(str(exc)[len(prefix):].split(" ")[0])


class TestSequenceProtocol:
    @pytest.mark.parametrize(
        "length", [RuntimeError("no len"), TypeError("no len"), 0, 1, 100, -1], ids=repr
    )
    def test_length_is_only_a_hint(self, length):
        items = [1.0, 2.0, 3.0]
        value = Seq(items, length=length)
        assert length_of(value) == 3
        assert_same_score(cos(value, [3.0, 2.0, 1.0]), cos(items, [3.0, 2.0, 1.0]))

    @pytest.mark.parametrize(
        "error", [KeyError("third"), RuntimeError("third"), StopIteration()], ids=lambda e: type(e).__name__
    )
    def test_iterator_failing_at_item_three(self, vector_site, error):
        _, call = vector_site
        value = Seq([1.0, 2.0, 3.0, 4.0], fail_at=2, error=error)
        exc = raised(call, value)
        if isinstance(error, StopIteration):
            # A generator turns StopIteration into RuntimeError.
            assert type(exc) is RuntimeError and exc.__cause__ is error
        else:
            assert exc is error

    def test_iterator_raising_type_error_is_prefixed(self, vector_site):
        name, call = vector_site
        value = Seq([1.0, 2.0, 3.0], fail_at=2, error=TypeError("third item"))
        assert_raises(TypeError, f"argument '{name}': third item", call, value)

    def test_iter_failing(self, vector_site):
        name, call = vector_site
        error = ValueError("no iterator")
        assert raised(call, Seq([1.0, 2.0], iter_error=error)) is error
        assert_raises(
            TypeError, f"argument '{name}': no iterator", call, Seq([1.0, 2.0], iter_error=TypeError("no iterator"))
        )

    def test_sequence_that_is_not_iterable(self, vector_site):
        name, call = vector_site
        value = NotIterable([1.0, 2.0])
        try:
            iter(value)
        except TypeError as e:
            expected = str(e)
        assert_raises(TypeError, f"argument '{name}': {expected}", call, value)

    def test_getitem_only_sequence(self):
        assert length_of(GetitemOnly([1.0, 2.0, 3.0])) == 3
        assert_same_score(cos(GetitemOnly([1, 2, 3]), [4, 5, 6]), 0.9746317863464355)

    def test_empty_sequences(self):
        for empty in ([], (), range(0), b"", Seq([]), GetitemOnly([]), np.array([]), array.array("d")):
            assert length_of(empty) == 0
            assert_same_score(cos(empty, ()), 0.0)

    def test_list_grown_during_conversion(self):
        values = [1.0, None, 3.0]

        class Grow:
            def __float__(self):
                values.append(4.0)
                return 2.0

        values[1] = Grow()
        assert length_of(values) == 4
        values[1:] = [Grow(), 3.0]
        assert_same_score(cos(values, [1.0, 1.0, 1.0, 1.0]), cos([1.0, 2.0, 3.0, 4.0], [1.0, 1.0, 1.0, 1.0]))

    def test_list_shrunk_and_changed_during_conversion(self):
        values = [1.0, None, 3.0, 4.0]

        class Shrink:
            def __float__(self):
                del values[3:]
                values[2] = 5.0
                return 2.0

        values[1] = Shrink()
        assert length_of(values) == 3
        values[1:] = [Shrink(), 3.0, 4.0]
        assert_same_score(cos(values, [1.0, 1.0, 1.0]), cos([1.0, 2.0, 5.0], [1.0, 1.0, 1.0]))

    def test_subclass_iteration_is_used(self):
        class RevList(list):
            def __iter__(self):
                return reversed(list(super().__iter__()))

        class RevTuple(tuple):
            def __iter__(self):
                return iter(tuple(reversed(tuple(super().__iter__()))))

        class RevArray(np.ndarray):
            def __iter__(self):
                return iter([float(x) for x in reversed(np.asarray(self))])

        class RevDoubles(array.array):
            def __iter__(self):
                return iter(reversed(array.array("d", self)))

        base = [1.0, 2.0, 3.0]
        expected = cos([3.0, 2.0, 1.0], [1.0, 0.0, 0.0])
        assert expected != cos(base, [1.0, 0.0, 0.0])
        for value in (RevList(base), RevTuple(base), np.array(base).view(RevArray), RevDoubles("d", base)):
            assert_same_score(cos(value, [1.0, 0.0, 0.0]), expected)


class TestFloatItems:
    @pytest.mark.parametrize(
        "x",
        [
            0.1 * 2**-20,
            -0.3 * 2**-14,
            (1 + 2**-24) * 2**-20,  # tie: rounds to even, down
            (1 + 3 * 2**-24) * 2**-20,  # tie: rounds to even, up
            (1 + 2**-24 + 2**-40) * 2**-20,  # just above the tie
            1e-40,  # subnormal float32
            1e-45,
            2.0**-150,  # half of the smallest subnormal: ties to 0
            2.0**-150 * (1 + 2**-30),
            1e-46,
            -1e-46,  # sign of an underflowed value is kept
            -0.0,
            0.0,
        ],
    )
    def test_doubles_round_to_nearest_float32(self, x):
        assert_same_score(observe(x), float(np.float32(x)))

    def test_nan_stays_nan(self):
        assert math.isnan(observe(math.nan))

    @pytest.mark.parametrize(
        "x, expected",
        [(BELOW_OVERFLOW, 0.0), (-BELOW_OVERFLOW, -0.0), (FLT_MAX, 0.0), (AT_OVERFLOW, math.nan),
         (1e39, math.nan), (-1e39, math.nan), (math.inf, math.nan)],
    )
    def test_beyond_float32_range_becomes_infinity(self, x, expected):
        # FLT_MAX over an infinite root product gives 0; an infinite component gives NaN.
        assert_same_score(cos([x], [1.0]), expected)

    def test_large_double_narrowed_without_error(self):
        assert math.isnan(cos([1e39], [1.0]))
        assert math.isnan(cos([1e39, 1.0], [1.0, 1.0]))
        assert cos([1e39, 1.0], [0.0, 0.0]) == 0.0

    @pytest.mark.parametrize(
        "item, value",
        [
            (True, 1.0),
            (False, 0.0),
            (3, 3.0),
            (2**24 + 1, 2.0**24),
            (Fraction(1, 3), 1 / 3),
            (Decimal("0.1"), 0.1),
            (np.float32(0.1), float(np.float32(0.1))),
            (np.float64(0.1), 0.1),
            (np.int64(7), 7.0),
            (np.bool_(True), 1.0),
            (Floaty(0.25), 0.25),
            (Indexy(5), 5.0),
            (Indexy(DOUBLE_ROUNDED), float(DOUBLE_ROUNDED)),
        ],
        ids=repr,
    )
    def test_items_converted_through_double(self, item, value):
        q = [0.5, -1.0, 2.0]
        assert_same_score(cos([1.0, item, 3.0], q), cos([1.0, value, 3.0], q))
        assert_same_score(cos([1.0, item, 3.0], q), cosine([1.0, value, 3.0], q))

    def test_float_subclass_value_is_used_directly(self):
        class F(float):
            def __float__(self):
                return 99.0

        assert_same_score(cos([F(0.5), 1.0], [1.0, 2.0]), cos([0.5, 1.0], [1.0, 2.0]))

    def test_int_rounded_twice(self):
        # DOUBLE_ROUNDED -> 2**60 + 2**36 as a double -> 2**60 as a float32, so the dot product with
        # [1, -1] cancels exactly.
        assert_same_score(cos([DOUBLE_ROUNDED, 2**60], [1.0, -1.0]), 0.0)
        up = 2**60 + 2**37
        assert_same_score(cos([up, 2**60], [1.0, -1.0]), cosine([up, 2**60], [1.0, -1.0]))
        assert cos([up, 2**60], [1.0, -1.0]) > 0.0

    def test_documented_conversions(self):
        assert_same_score(cos((1, 2), range(1, 3)), cos([1.0, 2.0], [1.0, 2.0]))
        assert_same_score(cos(b"ab", b"ab"), cosine([97, 98], [97, 98]))
        assert_same_score(cos(bytearray(b"ab"), [97.0, 98.0]), cosine([97, 98], [97, 98]))


# --------------------------------------------------------------------------------------------
# Fast paths must agree with the per-item rule
# --------------------------------------------------------------------------------------------

FLOATS = [0.1, -2.5, 1e-3, 3.0, -0.0, 7.25, 1 / 3, 1e10, (1 + 2**-24), -(1 + 3 * 2**-24), 1e-40, 12345.678]
INTS32 = [3, -7, 2**24 + 1, 2**31 - 1, -(2**31), 0, 2**24 + 3, 99]
INTS64 = INTS32 + [DOUBLE_ROUNDED, 2**60, -DOUBLE_ROUNDED, 2**53 + 1]
BOOLS = [True, False, True, True, False]
BYTES = bytes([0, 1, 127, 128, 255, 3, 200])


def _strided(values, dtype):
    doubled = np.repeat(np.array(values, dtype=dtype), 2)
    return doubled[::2]


CONTAINERS = {
    "tuple": lambda: tuple(FLOATS),
    "range": lambda: range(-3, 9),
    "list-ints": lambda: list(INTS64),
    "list-bools": lambda: list(BOOLS),
    "list-mixed": lambda: [1, 2.5, True, np.float32(0.1), np.int64(DOUBLE_ROUNDED), 2**60],
    "array-f": lambda: array.array("f", FLOATS),
    "array-d": lambda: array.array("d", FLOATS),
    "array-i": lambda: array.array("i", INTS32),
    "array-q": lambda: array.array("q", INTS64),
    "array-B": lambda: array.array("B", BYTES),
    "np-float32": lambda: np.array(FLOATS, dtype=np.float32),
    "np-float64": lambda: np.array(FLOATS, dtype=np.float64),
    "np-float16": lambda: np.array([0.1, -2.5, 1e-3, 3.0, -0.0, 7.25, 1 / 3, 1000.0], dtype=np.float16),
    "np-float64-bigendian": lambda: np.array(FLOATS, dtype=">f8"),
    "np-float64-strided": lambda: _strided(FLOATS, np.float64),
    "np-float32-reversed": lambda: np.array(FLOATS, dtype=np.float32)[::-1],
    "np-int64": lambda: np.array(INTS64, dtype=np.int64),
    "np-int64-strided": lambda: _strided(INTS64, np.int64),
    "np-uint64": lambda: np.array([x for x in INTS64 if x >= 0] + [2**63 + 2**39 + 1], dtype=np.uint64),
    "np-int32": lambda: np.array(INTS32, dtype=np.int32),
    "np-int8": lambda: np.array([-128, 127, 0, -1, 5], dtype=np.int8),
    "np-uint8": lambda: np.frombuffer(BYTES, dtype=np.uint8),
    "np-bool": lambda: np.array(BOOLS, dtype=np.bool_),
    "np-object": lambda: np.array([1, 2.5, DOUBLE_ROUNDED, 2**60], dtype=object),
    "memoryview-d": lambda: memoryview(array.array("d", FLOATS)),
    "memoryview-f": lambda: memoryview(np.array(FLOATS, dtype=np.float32)),
    "memoryview-q": lambda: memoryview(array.array("q", INTS64)),
    "memoryview-bytes": lambda: memoryview(BYTES),
    "memoryview-strided": lambda: memoryview(array.array("d", FLOATS))[::3],
    "memoryview-cast": lambda: memoryview(array.array("d", FLOATS)).cast("B").cast("d"),
    "bytes": lambda: BYTES,
    "bytearray": lambda: bytearray(BYTES),
}


def per_item(container):
    """The components the per-item rule gives, as Python floats (each item through a double)."""
    return [float(x) for x in container]


def queries(n):
    rng = np.random.default_rng(n)
    out = [rng.standard_normal(n).astype(np.float32).tolist()]
    for i in range(n):
        e = [0.0] * n
        e[i] = 1.0
        out.append(e)
        if i + 1 < n:
            d = list(e)
            d[i + 1] = -1.0
            out.append(d)
    return out


@pytest.mark.parametrize("make", list(CONTAINERS.values()), ids=list(CONTAINERS))
def test_containers_convert_like_lists_of_floats(make):
    container = make()
    reference = per_item(container)
    n = len(reference)
    assert n > 0
    ref32 = np.array(reference, dtype=np.float64).astype(np.float32)
    for q in queries(n):
        assert_same_score(cos(container, q), cos(reference, q))
        assert_same_score(cos(container, q), cosine(ref32, q))
        assert_same_score(cos(q, container), cos(q, reference))
    assert_same_score(cos(container, container), cos(reference, reference))
    assert_same_score(cos(make(), reference), cosine(ref32, ref32))

    # The same vector stored through `vectors` and `insert`, and used as a query.
    store = Vectorstore(n, [(make(), 1)])
    store.insert(make(), 2)
    ref_store = Vectorstore(n, [(reference, 1)])
    ref_store.insert(reference, 2)
    for q in queries(n)[:4]:
        got = store.search(q, 2)
        expected = ref_store.search(q, 2)
        assert [i for _, i in got] == [i for _, i in expected]
        for (gs, _), (es, _) in zip(got, expected):
            assert_same_score(gs, es)
    for got, expected in ((store.search(make(), 2), ref_store.search(reference, 2)),
                          (store.parallel_search(make(), 2, 2), ref_store.parallel_search(reference, 2, 2))):
        assert [i for _, i in got] == [i for _, i in expected]
        for (gs, _), (es, _) in zip(got, expected):
            assert_same_score(gs, es)


@pytest.mark.parametrize(
    "wrap",
    [list, tuple, lambda v: array.array("d", v), lambda v: np.array(v, dtype=np.float64),
     lambda v: memoryview(array.array("d", v)), lambda v: np.array(v, dtype=">f8")],
    ids=["list", "tuple", "array-d", "np-float64", "memoryview-d", "np-bigendian"],
)
@pytest.mark.parametrize(
    "x", [0.1 * 2**-20, (1 + 2**-24) * 2**-20, (1 + 3 * 2**-24) * 2**-20, 2.0**-150, -1e-46, -0.0, 1e-40]
)
def test_container_doubles_round_like_single_items(wrap, x):
    assert_same_score(cos(wrap([x, 1.0]), [1.0, -0.0]), float(np.float32(x)))


@pytest.mark.parametrize(
    "wrap",
    [list, tuple, lambda v: array.array("d", v), lambda v: np.array(v, dtype=np.float64),
     lambda v: memoryview(array.array("d", v))],
    ids=["list", "tuple", "array-d", "np-float64", "memoryview-d"],
)
@pytest.mark.parametrize("x, expected", [(BELOW_OVERFLOW, 0.0), (AT_OVERFLOW, math.nan), (-1e39, math.nan)])
def test_container_doubles_overflow_like_single_items(wrap, x, expected):
    assert_same_score(cos(wrap([x]), [1.0]), expected)


@pytest.mark.parametrize(
    "wrap",
    [list, tuple, lambda v: array.array("q", v), lambda v: np.array(v, dtype=np.int64),
     lambda v: np.array(v, dtype=np.uint64), lambda v: memoryview(array.array("q", v))],
    ids=["list", "tuple", "array-q", "np-int64", "np-uint64", "memoryview-q"],
)
def test_container_ints_round_through_double(wrap):
    assert_same_score(cos(wrap([DOUBLE_ROUNDED, 2**60]), [1.0, -1.0]), 0.0)


# Every buffer against the general path run on the very same object: whatever the format, byte
# order, item size, strides, dimensions and sub-offsets, a fast path gives the same floats or
# the same exception.


def converted(value):
    """What the module makes of value: the exception, or the length and the bits of the scores
    against each basis vector (component / norm) and the other probes of queries()."""
    exc = raised(cos, value, [0.0] * 10007)
    prefix = "vectors have different dimensions ("
    if type(exc) is not ValueError or not str(exc).startswith(prefix):
        return type(exc), str(exc)
    n = int(str(exc)[len(prefix):].split(" ")[0])
    return n, [struct.pack("<d", cos(value, q)) for q in queries(n)]


NUMBER_CODES = "?bBhHiIlLqQnNfde"
CTYPES = [getattr(ctypes, "c_" + name) for name in
          "bool byte ubyte short ushort int uint long ulong longlong ulonglong size_t float double longdouble char".split()]
NP_DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", "c8"]


def _sliced(draw, view):
    if view.ndim == 0 or not draw(st.booleans()):
        return view
    return view[draw(st.integers(-3, 3)) or None:draw(st.integers(-3, 3)) or None:draw(st.sampled_from([1, 2, -1, -2]))]


def _shape(draw, n):
    """A shape for n items: one or two dimensions, or none (0-d, one item) when n is 1."""
    return draw(st.sampled_from([(n,)] * 3 + [(1, n)] + [()] * (n == 1) + [(2, n // 2)] * (n % 2 == 0)))


@st.composite
def buffers(draw):
    n = draw(st.integers(0, 6))
    kind = draw(st.sampled_from(["struct"] * 3 + ["cast", "array", "ctypes", "numpy", "numpy"]))
    if kind == "struct" and _testbuffer is not None:
        # Any struct format, byte-order prefix included, in any shape, optionally with sub-offsets.
        code = draw(st.sampled_from(NUMBER_CODES + "c"))
        fmt = draw(st.sampled_from(["", "@"] + ([] if code in "nN" else ["=", "<", ">", "!"]))) + code
        fmt = draw(st.sampled_from([fmt] * 3 + ["2" + code, fmt + code]))
        size = struct.calcsize(fmt)
        raw = draw(st.binary(min_size=max(n, 1) * size, max_size=max(n, 1) * size))
        items = [unpacked[0] if len(unpacked) == 1 else unpacked for unpacked in struct.iter_unpack(fmt, raw)]
        shape = _shape(draw, n) if n else (1,)
        flags = _testbuffer.ND_PIL if shape and draw(st.integers(0, 3)) == 0 else 0
        view = memoryview(_testbuffer.ndarray(items if shape else items[0], shape=list(shape), format=fmt, flags=flags))
        return _sliced(draw, view) if n else view[:0]  # the exporter needs an item; an empty slice keeps the format
    if kind in ("struct", "cast"):
        code = draw(st.sampled_from([c for c in NUMBER_CODES if c != "e"]))
        raw = draw(st.binary(min_size=n * struct.calcsize(code), max_size=n * struct.calcsize(code)))
        view = memoryview(raw).cast(draw(st.sampled_from(["", "@"])) + code)
        return _sliced(draw, view.cast("B").cast(code, _shape(draw, n)) if n else view)
    if kind == "array":
        code = draw(st.sampled_from("bBhHiIlLqQfd"))
        values = array.array(code)
        values.frombytes(draw(st.binary(min_size=n * values.itemsize, max_size=n * values.itemsize)))
        return _sliced(draw, memoryview(values)) if draw(st.booleans()) else values
    if kind == "ctypes":
        ctype = draw(st.sampled_from(CTYPES))
        ctype = getattr(ctype, draw(st.sampled_from(["__ctype_le__", "__ctype_be__"])), ctype)
        shape = _shape(draw, n)
        for length in reversed(shape):
            ctype = ctype * length
        size = ctypes.sizeof(ctype)
        value = ctype.from_buffer_copy(draw(st.binary(min_size=size, max_size=size)))
        return _sliced(draw, memoryview(value))
    dtype = np.dtype(draw(st.sampled_from(NP_DTYPES))).newbyteorder(draw(st.sampled_from("<>=")))
    offset = draw(st.integers(0, 1))  # 1: unaligned
    raw = draw(st.binary(min_size=n * dtype.itemsize, max_size=n * dtype.itemsize))
    arr = np.frombuffer(bytearray(offset) + raw, dtype=np.uint8)[offset:].view(dtype)
    arr = arr.reshape(_shape(draw, n)) if draw(st.booleans()) else arr[::draw(st.sampled_from([1, 2, -1]))]
    if arr.ndim == 2 and draw(st.booleans()):
        arr = arr.T
    if draw(st.integers(0, 3)) == 0:
        try:
            return memoryview(arr)
        except ValueError:  # not every dtype and byte order can be exported
            pass
    return arr


@pytest.mark.filterwarnings("ignore")  # numpy warns when converting complex and 1-item rows
@settings(max_examples=3 * settings.default.max_examples)
@given(value=buffers())
def test_buffers_convert_like_their_iteration(value):
    assert converted(value) == converted(Seq(value))  # Seq: seen only as a sequence


@pytest.mark.parametrize(
    "ctype", [ctypes.c_double, ctypes.c_float, ctypes.c_int, ctypes.c_longlong, ctypes.c_ubyte, ctypes.c_short,
              ctypes.c_bool, ctypes.c_double.__ctype_be__], ids=lambda t: memoryview(t()).format)
def test_prefixed_format_refused_like_iteration(vector_site, ctype):
    _, call = vector_site
    view = memoryview((ctype * 2)(1, 0))
    expected = raised(list, view)
    assert type(expected) is NotImplementedError
    assert_raises(NotImplementedError, str(expected), call, view)
    store = Vectorstore(2)
    assert_raises(NotImplementedError, str(expected), store.insert, view, 1)
    assert len(store) == 0


LOOK_ALIKES = r"""
import array, ctypes, struct, sys, types
from quillmere import Vectorstore, cosine_similarity as cos

def as_double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]

class Items:
    __slots__ = ()
    def __len__(self):
        return 2
    def __getitem__(self, i):
        return [3.0, 4.0][i]
    def __iter__(self):
        return iter([3.0, 4.0])

# Laid out so that a reader of numpy's array record would see one dimension, a float64 dtype and
# data in `doubles`.
doubles = (ctypes.c_double * 64)(*[1234.5] * 64)
descr = complex(0.0, as_double(ord("=") << 16 | 12 << 32))
FakeArray = type("numpy.ndarray", (Items, complex), {"__slots__": ("a_dims", "b_strides", "c_base", "d_descr")})
fake = FakeArray(as_double(ctypes.addressof(doubles)), as_double(1))
fake.a_dims, fake.b_strides, fake.d_descr = object(), object(), descr
sys.modules["numpy"] = types.ModuleType("numpy")
sys.modules["numpy"].ndarray = FakeArray
sys.modules["numpy._core._multiarray_umath"] = types.ModuleType("numpy._core._multiarray_umath")
sys.modules["numpy._core._multiarray_umath"]._ARRAY_API = "not a capsule"

# A real array's buffer behind a type that only borrows the name and iterates its own way.
FakeDoubles = type("array.array", (array.array,), {"__iter__": lambda self: iter([3.0, 4.0])})
sys.modules["array"] = types.ModuleType("array")
sys.modules["array"].array = FakeDoubles

for value in (fake, FakeDoubles("d", [1234.5, 1.0])):
    assert cos(value, [1.0, 0.0]) == cos([3.0, 4.0], [1.0, 0.0]), type(value)
    store = Vectorstore(2, [(value, 1)])
    store.insert(value, 2)
    assert store.search([1.0, 0.0], 2) == Vectorstore(2, [([3.0, 4.0], 1), ([3.0, 4.0], 2)]).search([1.0, 0.0], 2)
assert "numpy._core" not in sys.modules  # nothing was imported
"""


def test_look_alike_types_take_the_general_path():
    # A fresh interpreter: the real types, once seen, are recognised by identity.
    done = subprocess.run([sys.executable, "-c", LOOK_ALIKES], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


# --------------------------------------------------------------------------------------------
# Identifiers and counts
# --------------------------------------------------------------------------------------------


def id_via_insert(value):
    store = Vectorstore(1)
    store.insert([1.0], value)
    [(score, ident)] = store.search([1.0], 1)
    return ident


def id_via_pairs(value):
    store = Vectorstore(1, [([1.0], value)])
    [(score, ident)] = store.search([1.0], 1)
    return ident


ID_SITES = [("id", id_via_insert), ("vectors", id_via_pairs)]


class IntSub(int):
    pass


@pytest.fixture(params=ID_SITES, ids=["insert", "new-pair"])
def id_site(request):
    return request.param


class TestIdentifiers:
    @pytest.mark.parametrize(
        "value, expected",
        [
            (0, 0),
            (1, 1),
            (True, 1),
            (False, 0),
            (2**63, 2**63),
            (U64_MAX, U64_MAX),
            (IntSub(9), 9),
            (Indexy(42), 42),
            (Indexy(U64_MAX), U64_MAX),
            (np.uint64(U64_MAX), U64_MAX),
            (np.int64(5), 5),
            (np.int8(3), 3),
        ],
        ids=repr,
    )
    def test_valid(self, id_site, value, expected):
        _, via = id_site
        got = via(value)
        assert type(got) is int
        assert got == expected

    @pytest.mark.parametrize(
        "value", [-1, 2**64, 2**100, -(2**70), Indexy(-1), Indexy(2**64), np.int64(-1), IntSub(-5)], ids=repr
    )
    def test_out_of_range(self, id_site, value):
        _, via = id_site
        exc = raised(via, value)
        assert type(exc) is OverflowError
        assert not str(exc).startswith("argument")

    @pytest.mark.parametrize(
        "value", [1.5, 1.0, "3", None, [1], 1j, np.float64(2.0), Decimal(1), Indexy(1.5)], ids=repr
    )
    def test_not_an_integer(self, id_site, value):
        name, via = id_site
        expected = index_error(value)
        assert type(expected) is TypeError
        exc = assert_raises(TypeError, f"argument '{name}': {expected}", via, value)
        assert exc.__cause__ is None

    def test_index_errors(self, id_site):
        name, via = id_site
        error = ValueError("no index")
        assert raised(via, Indexy(error)) is error
        assert_raises(TypeError, f"argument '{name}': no index", via, Indexy(TypeError("no index")))

    def test_documented_insert_examples(self):
        store = Vectorstore(2)
        exc = raised(store.insert, [0.0, 1.0], -1)
        assert type(exc) is OverflowError and not str(exc).startswith("argument")
        assert_raises(TypeError, f"argument 'id': {index_error(1.5)}", store.insert, [0.0, 1.0], 1.5)
        assert len(store) == 0
        store.insert([0.0, 1.0], True)
        assert store.search([0.0, 1.0], 1) == [(1.0, 1)]


COUNT_SITES = {
    "vector_size": lambda v: Vectorstore(v).vector_size,
    "top_k": lambda v: len(Vectorstore(1, [([1.0], 1), ([2.0], 2), ([3.0], 3)]).search([1.0], v)),
    "parallel_search-top_k": lambda v: len(
        Vectorstore(1, [([1.0], 1), ([2.0], 2), ([3.0], 3)]).parallel_search([1.0], v)
    ),
    "n_threads": lambda v: len(Vectorstore(1, [([1.0], 1), ([2.0], 2), ([3.0], 3)]).parallel_search([1.0], 3, v)),
}
COUNT_NAMES = {"vector_size": "vector_size", "top_k": "top_k", "parallel_search-top_k": "top_k",
               "n_threads": "n_threads"}


@pytest.fixture(params=list(COUNT_SITES), ids=list(COUNT_SITES))
def count_site(request):
    return COUNT_NAMES[request.param], request.param, COUNT_SITES[request.param]


class TestCounts:
    @pytest.mark.parametrize("value", [0, 1, 2, True, IntSub(2), Indexy(2), np.int64(2), U64_MAX], ids=repr)
    def test_valid(self, count_site, value):
        _, site, call = count_site
        if value == U64_MAX and not is_64bit:
            pytest.skip("64-bit size type only")
        got = call(value)
        if site == "vector_size":
            assert got == int(operator.index(value))
        elif site == "n_threads":
            assert got == 3
        else:
            assert got == min(3, operator.index(value))

    @pytest.mark.parametrize("value", [-1, 2**64, 2**70, -(2**64), Indexy(-1), np.int64(-3)], ids=repr)
    def test_out_of_range(self, count_site, value):
        _, _, call = count_site
        exc = raised(call, value)
        assert type(exc) is OverflowError
        assert not str(exc).startswith("argument")

    @pytest.mark.parametrize("value", [1.5, 2.0, "2", [2], np.float32(2.0), Indexy("2")], ids=repr)
    def test_not_an_integer(self, count_site, value):
        name, _, call = count_site
        assert_raises(TypeError, f"argument '{name}': {index_error(value)}", call, value)

    def test_none_only_for_n_threads(self, count_site):
        name, site, call = count_site
        if site == "n_threads":
            assert call(None) == 3
        else:
            assert_raises(TypeError, f"argument '{name}': {index_error(None)}", call, None)

    def test_documented_top_k_overflow(self):
        store = Vectorstore(2)
        exc = raised(store.search, [0.0, 1.0], 2**64)
        assert type(exc) is OverflowError and not str(exc).startswith("argument")

    def test_huge_vector_size(self):
        if not is_64bit:
            pytest.skip("64-bit size type only")
        store = Vectorstore(U64_MAX)
        assert store.vector_size == U64_MAX
        assert_raises(
            ValueError, f"vector has length 1 but vectorstore expects {U64_MAX}", store.insert, [1.0], 1
        )


# --------------------------------------------------------------------------------------------
# Pair lists
# --------------------------------------------------------------------------------------------

Pair = namedtuple("Pair", "vector id")


class PairTuple(tuple):
    pass


class TestPairList:
    @pytest.mark.parametrize(
        "vectors, message",
        [
            ("ab", "Can't extract `str` to `Vec`"),
            (StrSub("ab"), "Can't extract `str` to `Vec`"),
            (5, "'int' object is not an instance of 'Sequence'"),
            ({1, 2}, "'set' object is not an instance of 'Sequence'"),
            ({"a": ([1.0, 2.0], 1)}, "'dict' object is not an instance of 'Sequence'"),
            ((p for p in [([1.0, 2.0], 1)]), "'generator' object is not an instance of 'Sequence'"),
            ([[[1.0, 2.0], 7]], "'list' object is not an instance of 'tuple'"),
            ([None], "'None' is not an instance of 'tuple'"),
            (range(3), "'int' object is not an instance of 'tuple'"),
            ([([1.0, 2.0], 1), "ab"], "'str' object is not an instance of 'tuple'"),
            ([("ab", 1)], "Can't extract `str` to `Vec`"),
            ([(5, 1)], "'int' object is not an instance of 'Sequence'"),
            ([(None, 1)], "'None' is not an instance of 'Sequence'"),
            ([([1.0, 2.0], 1.5)], str(index_error(1.5))),
            ([([1.0, 2.0], None)], str(index_error(None))),
            ([([1.0, "x"], 1)], str(float_error("x"))),
        ],
        ids=repr,
    )
    def test_type_errors_are_prefixed(self, vectors, message):
        exc = assert_raises(TypeError, f"argument 'vectors': {message}", Vectorstore, 2, vectors)
        assert exc.__cause__ is None

    @pytest.mark.parametrize("n", [0, 1, 3, 10])
    def test_wrong_tuple_length(self, n):
        pair = tuple([[1.0, 2.0], 1, 2, 3, 4, 5, 6, 7, 8, 9][:n])
        assert_raises(
            ValueError, f"expected tuple of length 2, but got tuple of length {n}", Vectorstore, 2, [([1.0, 2.0], 1), pair]
        )
        assert_raises(
            ValueError, f"expected tuple of length 2, but got tuple of length {n}", Vectorstore, 2, [PairTuple(pair)]
        )

    @pytest.mark.parametrize("ident", [-1, 2**64])
    def test_identifier_overflow_unprefixed(self, ident):
        exc = raised(Vectorstore, 2, [([1.0, 2.0], ident)])
        assert type(exc) is OverflowError
        assert not str(exc).startswith("argument")

    def test_accepted_forms(self):
        pairs = [([1.0, 0.0], 1), ([0.0, 1.0], 2)]
        expected = Vectorstore(2, pairs).search([1.0, 0.5], 2)
        for vectors in (
            tuple(pairs),
            [Pair(*p) for p in pairs],
            [PairTuple(p) for p in pairs],
            Seq(pairs, length=RuntimeError("no len")),
            GetitemOnly(pairs),
            [((1, 0), True), (np.array([0.0, 1.0]), np.uint64(2))],
            [(array.array("d", [1, 0]), 1), (b"\x00\x01", 2)],
        ):
            assert Vectorstore(2, vectors).search([1.0, 0.5], 2) == expected

    def test_first_failing_item_decides(self):
        assert_raises(
            ValueError, "expected tuple of length 2, but got tuple of length 1", Vectorstore, 2, [(1,), ("ab", 1)]
        )
        assert_raises(
            TypeError, "argument 'vectors': Can't extract `str` to `Vec`", Vectorstore, 2, [("ab", 1), (1,)]
        )
        # Within a pair the vector is converted before the identifier.
        assert_raises(TypeError, "argument 'vectors': Can't extract `str` to `Vec`", Vectorstore, 2, [("ab", -1)])
        exc = raised(Vectorstore, 2, [([1.0, 2.0], -1), ("ab", 1)])
        assert type(exc) is OverflowError


# --------------------------------------------------------------------------------------------
# Order of conversion
# --------------------------------------------------------------------------------------------


class Logged:
    def __init__(self, log, tag, value=1.0):
        self.log, self.tag, self.value = log, tag, value

    def __float__(self):
        self.log.append(self.tag)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TestConversionOrder:
    def test_cosine_converts_vec1_then_vec2_then_compares_lengths(self):
        log = []
        a = [Logged(log, "a0"), Logged(log, "a1")]
        b = [Logged(log, "b0")]
        assert_raises(ValueError, "vectors have different dimensions (2 vs 1)", cos, a, b)
        assert log == ["a0", "a1", "b0"]

    def test_first_failing_argument_wins(self):
        log = []
        a = [Logged(log, "a0", ValueError("a0"))]
        b = [Logged(log, "b0")]
        assert str(raised(cos, a, b)) == "a0"
        assert log == ["a0"]
        assert_raises(TypeError, "argument 'vec1': Can't extract `str` to `Vec`", cos, "ab", 5)
        assert_raises(TypeError, "argument 'vec1': 'int' object is not an instance of 'Sequence'", cos, 5, "ab")
        assert_raises(TypeError, "argument 'vec2': Can't extract `str` to `Vec`", cos, [1.0], "ab")
        assert_raises(
            TypeError, f"argument 'vec2': {float_error('x')}", cos, [1.0, 2.0, 3.0], ["x"]
        )
        assert_raises(
            TypeError, f"argument 'vec1': {float_error('x')}", cos, ["x"], [1.0, 2.0, 3.0]
        )
        assert_raises(TypeError, "argument 'vec1': 'set' object is not an instance of 'Sequence'", cos, {1.0, 2.0}, [1.0, 2.0])
        assert_raises(TypeError, "argument 'vec1': 'None' is not an instance of 'Sequence'", cos, None, [1.0])
        assert_raises(TypeError, "argument 'vec1': Can't extract `str` to `Vec`", cos, "ab", [1.0])

    def test_binding_precedes_conversion(self):
        log = []
        assert_raises(
            TypeError,
            "cosine_similarity() got an unexpected keyword argument 'bogus'",
            cos,
            [Logged(log, "a")],
            [Logged(log, "b")],
            bogus=1,
        )
        assert log == []

    def test_insert_order(self):
        log = []
        store = Vectorstore(3)
        vector = [Logged(log, "v0"), Logged(log, "v1")]
        assert_raises(ValueError, "vector has length 2 but vectorstore expects 3", store.insert, vector, Indexy(4, log, "id"))
        assert log == ["v0", "v1", "id"]
        # An invalid id is reported before the wrong length, a bad vector before a bad id.
        assert_raises(TypeError, f"argument 'id': {index_error('x')}", store.insert, [1.0], "x")
        assert type(raised(store.insert, [1.0], -1)) is OverflowError
        assert_raises(TypeError, "argument 'vector': Can't extract `str` to `Vec`", store.insert, "ab", "x")
        assert_raises(TypeError, f"argument 'vector': {float_error('x')}", store.insert, [1.0, "x", 2.0], -1)
        assert len(store) == 0

    def test_search_order(self):
        log = []
        store = Vectorstore(3, [([1.0, 2.0, 3.0], 1)])
        assert_raises(
            ValueError,
            "query has length 2 but vectorstore expects 3",
            store.search,
            [Logged(log, "v0"), Logged(log, "v1")],
            Indexy(1, log, "top_k"),
        )
        assert log == ["v0", "v1", "top_k"]
        assert type(raised(store.search, [1.0], -1)) is OverflowError
        assert_raises(TypeError, f"argument 'top_k': {index_error('x')}", store.search, [1.0], "x")
        assert_raises(TypeError, "argument 'vector': Can't extract `str` to `Vec`", store.search, "ab", -1)

    def test_parallel_search_order(self):
        log = []
        store = Vectorstore(3, [([1.0, 2.0, 3.0], 1)])
        assert_raises(
            ValueError,
            "query has length 1 but vectorstore expects 3",
            store.parallel_search,
            [Logged(log, "v0")],
            Indexy(1, log, "top_k"),
            Indexy(2, log, "n_threads"),
        )
        assert log == ["v0", "top_k", "n_threads"]
        assert type(raised(store.parallel_search, [1.0], 1, -1)) is OverflowError
        assert_raises(TypeError, f"argument 'n_threads': {index_error(1.5)}", store.parallel_search, [1.0], 1, 1.5)
        assert_raises(TypeError, f"argument 'top_k': {index_error('x')}", store.parallel_search, [1.0], "x", -1)
        assert_raises(
            TypeError, "argument 'vector': Can't extract `str` to `Vec`", store.parallel_search, "ab", "x", -1
        )
        # The empty store still converts everything and checks the length.
        assert type(raised(Vectorstore(3).parallel_search, [1.0, 2.0, 3.0], 1, -1)) is OverflowError

    def test_construction_order(self):
        log = []
        pairs = [([Logged(log, "p0v0")], Indexy(1, log, "p0id")), ([Logged(log, "p1v0")], Indexy(2, log, "p1id"))]
        assert_raises(
            ValueError, "vector has length 1 but vectorstore expects 2", Vectorstore, Indexy(2, log, "size"), pairs
        )
        assert log == ["size", "p0v0", "p0id", "p1v0", "p1id"]
        # vector_size before vectors; every pair converted before any length is compared.
        assert type(raised(Vectorstore, -1, "ab")) is OverflowError
        assert_raises(TypeError, f"argument 'vector_size': {index_error('x')}", Vectorstore, "x", "ab")
        assert_raises(
            TypeError,
            f"argument 'vectors': {index_error('x')}",
            Vectorstore,
            2,
            [([1.0], 1), ([1.0, 2.0], "x")],
        )
        assert_raises(
            ValueError, "expected tuple of length 2, but got tuple of length 1", Vectorstore, 2, [([1.0], 1), (1,)]
        )
        assert_raises(
            ValueError,
            "vector has length 1 but vectorstore expects 2",
            Vectorstore,
            2,
            [([1.0, 2.0], 1), ([1.0], 2), ([1.0, 2.0, 3.0], 3)],
        )
