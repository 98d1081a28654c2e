"""The exact float32 values the module would store for a vector.

The collection keeps its own copy of every vector (for MMR, saving and
rebuilding), so that copy must hold the very floats the module keeps. The
module narrows each component through a double:
- floats and float-like objects go through `PyFloat_AsDouble`, which is what
  `array('d', ...)` does per item;
- integers (Python ints and integer arrays alike) are rounded to double
  first and then to float32: two roundings;
- float64 goes to float32 in one rounding, as numpy's cast does.

numpy does not always agree: `int64_array.astype(np.float32)` rounds once,
straight from the integer, so 2**60 + 2**36 + 1 lands one float32 step away
from the module's value. Hence the detour through float64 below.

The module is the judge of what a vector is, with its own errors: `row`
converts lists, tuples and numeric arrays itself, where its rules and the
module's accept exactly the same input, and hands everything else, and
anything it cannot convert, to the module first.
"""

from __future__ import annotations

from array import array
from typing import Any, Optional

import numpy as np

import quillmere

# numpy kinds whose values the module reads as numbers (bool, int, uint, float).
NUMERIC_KINDS = "biuf"


def narrow(values: np.ndarray) -> np.ndarray:
    """The float32 values the module stores for a numeric numpy array (any shape)."""
    if values.dtype == np.float32:
        return values
    if values.dtype.kind == "f" and values.dtype.itemsize <= 8:
        return values.astype(np.float32)  # exact widening, or one rounding from float64
    # Integers, booleans and extended floats become Python-style doubles first.
    return values.astype(np.float64).astype(np.float32)


def vector_f32(obj: Any) -> np.ndarray:
    """The float32 components of one vector that the module accepts."""
    if type(obj) is np.ndarray and obj.ndim == 1 and obj.dtype.kind in NUMERIC_KINDS:
        return narrow(obj)
    if isinstance(obj, (bytes, bytearray)):
        # array('d', b) would read the raw bytes as doubles; the module reads octets.
        return np.frombuffer(obj, dtype=np.uint8).astype(np.float32)
    # One PyFloat_AsDouble per item: the module's general rule.
    return np.frombuffer(array("d", obj), dtype=np.float64).astype(np.float32)


def row(vector: Any, size: Optional[int]) -> np.ndarray:
    """The float32 row the module stores for `vector`, or the module's error for it.

    `size` is the required length; None accepts any length.
    """
    kind = type(vector)
    values = None
    if kind is list or kind is tuple:
        # array('d') converts each item as the module does, with the same
        # refusals; only the message would differ, so on failure the module
        # is asked below.
        try:
            values = np.frombuffer(array("d", vector), dtype=np.float64).astype(np.float32)
        except Exception:
            pass
    elif kind is np.ndarray and vector.ndim == 1 and vector.dtype.kind in NUMERIC_KINDS:
        values = narrow(vector)
    if values is None or (size is not None and len(values) != size):
        if size is None:
            quillmere.cosine_similarity(vector, vector)
        else:
            quillmere.Vectorstore(size).insert(vector, 0)
        if values is None:
            values = vector_f32(vector)  # accepted by the module
    return values
