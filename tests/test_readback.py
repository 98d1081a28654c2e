"""Reading a store back: vectors() and ids() give the stored bits and ids of
any range of positions, as read-only C-contiguous buffers that numpy wraps
without a copy."""
import struct

import numpy as np
import pytest

from quillmere import Vectorstore

# Bit patterns a float conversion anywhere on the way would change or merge.
PATTERNS = {
    "nan-payloads": [0x7FC00001, 0xFFC0BEEF, 0x7FBFFFFF, 0xFF800001],
    "zeros": [0x00000000, 0x80000000],
    "subnormal-huge": [0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0xFF7FFFFF, 0x7F800000, 0xFF800000],
    # High halves that round up into the exponent, or wrap around.
    "rounding-edges": [0x3F807FFF, 0x3F808000, 0xFFFF7FFF, 0xFFFF8000, 0x80008000],
}
# Segments of 1, 2, 4 and 8 blocks of 32 end at 32, 96, 224 and 480; then a partly filled block.
N = 500


def stored_rows(kind, d, n=N):
    rng = np.random.default_rng(d)
    bits = rng.integers(0, 2**32, (n, d), dtype=np.uint64).astype(np.uint32)
    special = np.array(PATTERNS[kind], np.uint32)
    pick = rng.random((n, d)) < 0.5
    bits[pick] = special[rng.integers(0, len(special), int(pick.sum()))]
    return bits.view(np.float32)


def build(rows, ids, route):
    d = rows.shape[1]
    if route == "create":
        return Vectorstore(d, list(zip(rows, ids)))
    store = Vectorstore(d)
    for row, id_ in zip(rows, ids):
        store.insert(row, id_)
    return store


@pytest.mark.parametrize("route", ["create", "insert"])
@pytest.mark.parametrize("d", [0, 1, 7, 131])
@pytest.mark.parametrize("kind", sorted(PATTERNS))
def test_round_trip_bit_for_bit(kind, d, route):
    rows = stored_rows(kind, d)
    ids = [(2**64 - 1 - 7 * p) if p % 2 else p for p in range(N)]
    store = build(rows, ids, route)
    edges = [0, 1, 31, 32, 95, 96, 97, 224, 479, 480, 481, N - 1, N, N + 7]
    for start in edges:
        for stop in [None] + [e for e in edges if e >= start]:
            end = N if stop is None else min(stop, N)
            begin = min(start, N)
            got = np.asarray(store.vectors(start, stop))
            assert got.dtype == np.float32 and got.shape == (end - begin, d)
            assert got.view(np.uint32).tobytes() == rows[begin:end].view(np.uint32).tobytes()
            assert store.ids(start=start, stop=stop).tolist() == ids[begin:end]


def test_buffers_are_read_only_and_wrapped_without_copy():
    store = Vectorstore(3, [([1.0, -0.0, 2.5], 4), ([0.5, 0.25, 8.0], 2**64 - 1)])
    view = store.vectors()
    assert (view.format, view.shape, view.itemsize, view.readonly, view.c_contiguous) == ("f", (2, 3), 4, True, True)
    first, second = np.asarray(view), np.asarray(view)
    assert np.shares_memory(first, second) and not first.flags.writeable
    with pytest.raises(ValueError):
        first[0, 0] = 1.0
    with pytest.raises(TypeError):
        view[0, 0] = 1.0
    assert struct.pack("<f", view[0, 1]) == struct.pack("<f", -0.0)
    ids = store.ids()
    assert (ids.format, ids.shape, ids.readonly, np.asarray(ids).dtype) == ("Q", (2,), True, np.uint64)
    assert ids.tolist() == [4, 2**64 - 1]
    assert store.vectors() is not view  # a new object every call
    with pytest.raises(TypeError):
        type(view.obj)()


@pytest.mark.parametrize("method", ["vectors", "ids"])
@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1,), ValueError, "start must be at least 0, got -1"),
        ((0, -2), ValueError, "stop must be at least 0, got -2"),
        ((-(2**70), 1), ValueError, f"start must be at least 0, got {-(2**70)}"),
        ((3, 2), ValueError, "start must not be greater than stop, got start=3 and stop=2"),
        ((9, 8), ValueError, "start must not be greater than stop, got start=9 and stop=8"),
        ((1.0,), TypeError, "argument 'start': 'float' object cannot be interpreted as an integer"),
        ((0, "2"), TypeError, "argument 'stop': 'str' object cannot be interpreted as an integer"),
        ((0, 1, 2), TypeError, r"takes from 0 to 2 positional arguments but 3 were given"),
    ],
)
def test_bad_start_and_stop(method, args, error, message):
    store = Vectorstore(2, [([1.0, 2.0], 1), ([3.0, 4.0], 2), ([5.0, 6.0], 3)])
    with pytest.raises(error, match=f"^{message}$" if error is ValueError else message):
        getattr(store, method)(*args)


@pytest.mark.parametrize(
    "start, stop, want",
    [(0, None, [1, 2, 3]), (2, None, [3]), (3, None, []), (7, None, []), (1, 1, []), (1, 2**64, [2, 3]),
     (2**70, 2**80, []), (True, None, [2, 3])],
)
def test_slice_rules(start, stop, want):
    store = Vectorstore(2, [([1.0, 2.0], 1), ([3.0, 4.0], 2), ([5.0, 6.0], 3)])
    assert store.ids(start, stop).tolist() == want
    assert np.asarray(store.vectors(start, stop)).reshape(-1, 2)[:, 0].tolist() == [2.0 * i - 1 for i in want]
