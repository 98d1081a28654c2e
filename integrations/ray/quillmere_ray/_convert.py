"""Turning user input into the exact float32 rows and u64 ids a store keeps.

The module is the judge of what it accepts: every argument is first offered
to a throw-away local `quillmere.Vectorstore`, so errors have the module's
own type and message. Only accepted input reaches the functions here, whose
job is to produce, for shipping, the float32 values the module would have
stored. The module narrows each component through a double: floats and
float-like objects go through `PyFloat_AsDouble` (what `array('d', ...)`
does per item), integers are rounded to double first and then to float32,
float64 to float32 in one step (round to nearest, as numpy's cast).
"""

from __future__ import annotations

import operator
from array import array
from typing import Any

import numpy as np

# numpy kinds whose values the module reads straight from memory.
NUMERIC_KINDS = "biuf"


def narrow(values: np.ndarray) -> np.ndarray:
    """The float32 values the module stores for a numeric numpy array (any shape)."""
    kind, size = values.dtype.kind, values.dtype.itemsize
    if values.dtype == np.float32:
        return values
    if kind == "f" and size <= 8:
        return values.astype(np.float32)  # exact widening, or one rounding from float64
    # Integers, booleans and extended floats become Python-style doubles first.
    return values.astype(np.float64).astype(np.float32)


def vector_f32(obj: Any) -> np.ndarray:
    """The float32 components of one vector the module has accepted."""
    if type(obj) is np.ndarray and obj.ndim == 1 and obj.dtype.kind in NUMERIC_KINDS:
        return narrow(obj)
    if isinstance(obj, (bytes, bytearray)):
        # array('d', b) would read the raw bytes as doubles; the module reads octets.
        return np.frombuffer(obj, dtype=np.uint8).astype(np.float32)
    # One PyFloat_AsDouble per item, exactly the module's general rule.
    return np.frombuffer(array("d", obj), dtype=np.float64).astype(np.float32)


def identifier(obj: Any) -> int:
    """An id the module has accepted, as a Python int."""
    return operator.index(obj)
