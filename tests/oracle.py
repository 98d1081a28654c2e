"""Independent float32 reference arithmetic for the tests.

numpy's float32 operations are IEEE single precision, so the strictly
sequential sums can be reproduced with np.add.accumulate (np.sum and np.dot
sum pairwise or in blocks and would not match).
"""
import math
import struct

import numpy as np


def f32bits(x):
    """The 32 bits of x rounded to float32, so -0.0, +0.0 and NaN compare exactly."""
    return struct.unpack("<I", struct.pack("<f", x))[0]


def same_float(a, b):
    """True when two scores are the same float32 value, sign of zero and NaN included."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return f32bits(a) == f32bits(b)


def assert_score(got, expected):
    """got is a Python float holding exactly a float32 value, equal bit for bit
    (sign of zero included; any NaN matches NaN) to expected."""
    assert type(got) is float
    if math.isnan(expected):
        assert math.isnan(got), got
        return
    # A score is a float32 widened exactly, so the double is representable as a float32.
    assert struct.pack("<d", got) == struct.pack("<d", float(np.float32(got))), got
    assert struct.pack("<d", got) == struct.pack("<d", float(expected)), (got, expected)


def seq_sum(values):
    """Strictly sequential float32 sum starting from -0.0."""
    values = np.asarray(values, dtype=np.float32)
    if values.size == 0:
        return np.float32(-0.0)
    acc = np.add.accumulate(np.concatenate([np.array([-0.0], np.float32), values]))
    return np.float32(acc[-1])


def cosine(a, b):
    """Reference score: dot / (sqrt(|a|^2) * sqrt(|b|^2)), every step rounded to float32."""
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)
    assert a.shape == b.shape
    with np.errstate(all="ignore"):
        dot = seq_sum(a * b)
        aa = seq_sum(a * a)
        bb = seq_sum(b * b)
        if aa == 0 or bb == 0:
            return 0.0
        return float(np.float32(dot / np.float32(np.sqrt(aa) * np.sqrt(bb))))


def rank_key(score, position):
    """Best first: higher score, NaN after every number, ties by insertion position."""
    if math.isnan(score):
        return (1, 0.0, position)
    return (0, -score, position)


def top_k(entries, query, k):
    """Reference search over [(vector, id), ...] in insertion order."""
    scored = [(cosine(query, vec), pos, ident) for pos, (vec, ident) in enumerate(entries)]
    scored.sort(key=lambda t: rank_key(t[0], t[1]))
    return [(s, ident) for s, _, ident in scored[:k]]


def assert_same_results(got, expected):
    assert len(got) == len(expected), (got, expected)
    for (gs, gi), (es, ei) in zip(got, expected):
        assert gi == ei, (got, expected)
        assert same_float(gs, es), (got, expected)
