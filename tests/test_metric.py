"""cosine_similarity: exact float32 arithmetic, observed bit for bit."""
import math
import struct

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import quillmere
from oracle import assert_score, cosine, same_float

cos = quillmere.cosine_similarity
INF = math.inf
NAN = math.nan


def f32_from_bits(b):
    return struct.unpack("<f", struct.pack("<I", b))[0]


def dbits(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1, 2, 3], [4, 5, 6], 0.9746317863464355),
        ([3, 4], [4, 3], 0.9599999785423279),
        # The product of the two float32 roots of 2 is just below 2.
        ([1, 1], [1, 1], 1.0000001192092896),
        ([1, 2, 3], [-1, -2, -3], -0.9999999403953552),
        ([1], [-1], -1.0),
        ([2, 0], [1, 0], 1.0),
        # Both products are -0.0 and the dot product starts at -0.0.
        ([-1, 0], [0, -1], -0.0),
        ([1, 0], [0, 1], 0.0),
        ([1, -1], [1, 1], 0.0),
        ([1.0, -0.0], [-0.0, 1.0], -0.0),
        ([-1.0, 0.0], [-0.0, 1.0], 0.0),
        ([], [], 0.0),
        # Zero vectors on either side, even against NaN or infinite components.
        ([0, 0], [1, 2], 0.0),
        ([1, 2], [0, 0], 0.0),
        ([-0.0, -0.0], [1, 2], 0.0),
        ([1, 2], [-0.0, 0.0], 0.0),
        ([0, 0], [NAN, 1], 0.0),
        ([NAN, 1], [0, 0], 0.0),
        ([INF], [0.0], 0.0),
        ([-0.0], [-INF], 0.0),
        # Squared norm underflowing to zero.
        ([1e-30], [1e-30], 0.0),
        ([1e-30], [1.0], 0.0),
        ([-1.0], [-1e-30], 0.0),
        # Squared norm overflowing: finite / inf, inf / inf.
        ([1e20], [1], 0.0),
        ([-1e20], [1], -0.0),
        ([1e20], [1e20], NAN),
        ([INF], [1], NAN),
        ([1], [-INF], NAN),
        ([NAN], [1], NAN),
        ([1, 2], [3, NAN], NAN),
        # Rounding can put a score just outside [-1, 1]; it is not clamped.
        ([10, 10], [1, 1], 1.0),
        ([-1, -1], [1, 1], -1.0000001192092896),
    ],
)
def test_documented_scores(a, b, expected):
    assert_score(cos(a, b), expected)
    assert_score(cos(a, b), cosine(a, b))


@pytest.mark.parametrize(
    "a, b, message",
    [
        ([1, 2], [1, 2, 3], "vectors have different dimensions (2 vs 3)"),
        ([1, 2, 3], [1, 2], "vectors have different dimensions (3 vs 2)"),
        ([], [1.0], "vectors have different dimensions (0 vs 1)"),
        ([1.0] * 1000, [], "vectors have different dimensions (1000 vs 0)"),
        ([0.0] * 12345, [0.0] * 123456, "vectors have different dimensions (12345 vs 123456)"),
        # NaN components do not matter when the lengths differ.
        ([NAN], [NAN, NAN], "vectors have different dimensions (1 vs 2)"),
    ],
)
def test_dimension_mismatch(a, b, message):
    with pytest.raises(ValueError) as info:
        cos(a, b)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_sums_are_sequential_from_index_zero():
    # Left to right in float32, 1e8 swallows the four ones that follow it, so the dot product is 2;
    # a pairwise or reordered sum would keep some of them.
    a = [1e8, 1.0, 1.0, 1.0, 1.0, -1e8, 1.0, 1.0]
    b = [1.0] * 8
    f = np.float32
    expected = f(2.0) / (np.sqrt(f(1e16) + f(1e16)) * np.sqrt(f(8.0)))
    assert_score(cos(a, b), expected)
    assert_score(cos(a, b), cosine(a, b))


def test_long_vectors_match_reference():
    rng = np.random.default_rng(1234)
    for n in (1, 7, 31, 32, 33, 255, 1000, 4099):
        a = rng.standard_normal(n).astype(np.float32)
        b = rng.standard_normal(n).astype(np.float32)
        assert_score(cos(a.tolist(), b.tolist()), cosine(a, b))


def test_no_fused_multiply_add():
    # x*x is 1 + 2**-11 + 2**-24 exactly and rounds to 1 + 2**-11 in float32, so the dot product
    # is -1 + (1 + 2**-11) = 2**-11; fusing the product into the sum would give 2**-11 + 2**-24.
    x = 1.0 + 2.0**-12
    a = [1.0, x]
    b = [-1.0, x]
    f = np.float32
    norm = np.sqrt(f(1.0) + f(x) * f(x))
    assert_score(cos(a, b), f(2.0**-11) / (norm * norm))
    assert_score(cos(a, b), cosine(a, b))


finite32 = st.floats(width=32, allow_nan=False, allow_infinity=False)
extremes = st.sampled_from(
    [0.0, -0.0, 1.0, -1.0, 1e-45, -1e-45, 1.17549435e-38, 1e-30, 1e19, 1e20, 3.4028234663852886e38,
     -3.4028234663852886e38, INF, -INF, NAN]
)
component = st.one_of(finite32, finite32, finite32, extremes)


@st.composite
def vector_pairs(draw, elements=component, max_size=24):
    n = draw(st.integers(0, max_size))
    a = draw(st.lists(elements, min_size=n, max_size=n))
    b = draw(st.lists(elements, min_size=n, max_size=n))
    return a, b


@settings(max_examples=400, deadline=None)
@given(vector_pairs())
def test_matches_reference_on_float32_vectors(pair):
    a, b = pair
    expected = cosine(a, b)
    got = cos(a, b)
    assert_score(got, expected)
    # Symmetric bit for bit.
    assert same_float(cos(b, a), got)
    # The same values given as float32 arrays score identically.
    assert_score(cos(np.array(a, np.float32), np.array(b, np.float32)), expected)


@settings(max_examples=200, deadline=None)
@given(vector_pairs(elements=st.floats(allow_nan=True, allow_infinity=True), max_size=12))
def test_doubles_are_narrowed_to_float32_first(pair):
    a, b = pair
    with np.errstate(over="ignore"):
        a32 = np.array(a, dtype=np.float64).astype(np.float32)
        b32 = np.array(b, dtype=np.float64).astype(np.float32)
    assert_score(cos(a, b), cosine(a32, b32))


@settings(max_examples=200, deadline=None)
@given(st.lists(finite32, min_size=1, max_size=16))
def test_vector_against_itself_and_its_negation(a):
    assume(any(x != 0.0 for x in a))
    pos = cos(a, a)
    neg = cos(a, [-x for x in a])
    assert_score(pos, cosine(a, a))
    # Negating one side negates every product exactly and so only flips the score's sign
    # (unless the norm underflowed and the score is the fixed +0.0).
    if not math.isnan(pos) and pos != 0.0:
        assert dbits(neg) == dbits(-pos)


@pytest.mark.parametrize(
    "a, b",
    [
        ([-1, 0], [0, -1]),
        ([1, 2, 3], [4, 5, 6]),
        ([1e20], [1]),
        ([0.1, 0.2, 0.3], [0.3, -0.2, 0.1]),
        ([1e-30, 5], [3, 1e-30]),
        ([NAN, 1], [0, 0]),
        # NaNs of other payloads and signs on both sides, and inf * 0: one NaN comes out
        ([f32_from_bits(0x7FC00001), 1], [f32_from_bits(0xFFC12345), 2]),
        ([math.inf, f32_from_bits(0x7FA00000)], [0, f32_from_bits(0xFFBFFFFF)]),
    ],
)
def test_symmetric_bits(a, b):
    ab, ba = cos(a, b), cos(b, a)
    assert dbits(ab) == dbits(ba)
    assert not math.isnan(ab) or dbits(ab) == dbits(NAN)
    # search scores the same pair to the same bits
    assert dbits(quillmere.Vectorstore(len(b), [(b, 0)]).search(a, 1)[0][0]) == dbits(ab)
