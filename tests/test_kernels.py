"""Every scoring kernel (chosen at run time by instruction set), in every
scan mode (the sketch first, the high plane first, or every float), gives
the same bits."""
import json
import os
import subprocess
import sys

import pytest

CHILD = r"""
import json, random, struct, quillmere
rng = random.Random(11)
out = []
pack = lambda found: [(struct.pack("<f", s).hex(), i) for s, i in found]
def batches(store, queries, k):
    # A batch equals a loop of search, a range the filtered full ranking, and
    # a mask the same over the allowed entries; each kernel must give them.
    n = len(store)
    mask = bytes(rng.getrandbits(8) & rng.getrandbits(8) for _ in range((n + 7) // 8))
    allowed = [mask[p // 8] >> (p % 8) & 1 for p in range(n)]
    assert list(map(pack, store.search_batch(queries, k))) == [pack(store.search(q, k)) for q in queries]
    for q, found in zip(queries, store.range_search(queries, 0.3, 3)):
        assert pack(found) == pack([h for h in store.search(q, n) if h[0] >= 0.3])
    position = {i: p for p, i in enumerate(ids)}
    for q, found in zip(queries, store.search_batch(queries, k, 2, allowed=mask)):
        assert pack(found) == pack([h for h in store.search(q, n) if allowed[position[h[1]]]][:k])
    for found in store.search_batch(queries, k, 2, allowed=mask) + store.range_search(queries, 0.9, allowed=mask):
        out.append(pack(found))
    # Allowed: the entries ranked last for the first query, whose k-th sits where they crowd.
    last = {i for _, i in store.search(queries[0], n)[-max(1, n // 20):]}
    tail = bytes(sum(1 << b for b in range(8) if 8 * byte + b < n and ids[8 * byte + b] in last)
                 for byte in range((n + 7) // 8))
    for q, found in zip(queries, store.search_batch(queries, k, 1, allowed=tail)):
        assert pack(found) == pack([h for h in store.search(q, n) if h[1] in last][:k])
        out.append(pack(found))
for d in (0, 1, 5, 33, 128):
    rows = [[rng.choice([0.0, -0.0, 1.5, -2.25, rng.uniform(-3, 3), 1e-30, 3e19]) for _ in range(d)]
            for _ in range(150)]
    store = quillmere.Vectorstore(d, [(r, i) for i, r in enumerate(rows)])
    ids = list(range(len(rows)))
    for _ in range(4):
        q = [rng.uniform(-2, 2) for _ in range(d)]
        for found in (store.search(q, 200), store.parallel_search(q, 40, 3)):
            out.append([(struct.pack("<f", s).hex(), i) for s, i in found])
    batches(store, [[rng.uniform(-2, 2) for _ in range(d)] for _ in range(3)], 7)
# Same-sign components whose low halves are 0x7FFF: rounding to bfloat16
# errs most, all in one direction, against a threshold just inside the bound.
rounded_down_most = lambda x: struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", x))[0] & 0xFFFF0000 | 0x7FFF))[0]
for d in (3, 64, 300):
    rows = [[1.3] + [1.0] * (d - 1) for _ in range(40)]
    rows += [[rounded_down_most(1 + (n % 5) / 128 if n % 2 else rng.uniform(0.5, 8)) for _ in range(d)] for n in range(600)]
    store = quillmere.Vectorstore(d, [(r, i) for i, r in enumerate(rows)])
    ids = list(range(len(rows)))
    queries = [[1.0] * d, rows[-1], [rng.uniform(-1, 2) for _ in range(d)]]
    for q in queries:
        # The bounds are read only with 64 or more entries per best entry.
        for k in (1, 10, 45):
            for found in (store.search(q, k), store.parallel_search(q, k, 3)):
                out.append([(struct.pack("<f", s).hex(), i) for s, i in found])
    for k in (1, 10):
        batches(store, queries, k)
# Sketch codes: one component sets the scale, every other one sits just below
# a midpoint between codes (the largest rounding, one direction for every
# sign); d not a multiple of 4.
below_midpoint = lambda code: (code + 0.5 - 2 ** -10) / 127
for d in (7, 66, 131):
    rows = [[1.0 if i == n % d else below_midpoint(rng.randrange(-127, 127)) for i in range(d)] for n in range(500)]
    rows += [[(-1.0) ** n if i == 0 else below_midpoint(rng.randrange(9)) for i in range(d)] for n in range(300)]
    # As queries, rows[-2] and rows[3]-like rows err by almost half a digit step, all one way;
    # constant rows line their codes up with those errors (the digits' Cauchy-Schwarz bound is sharp).
    rows += [[1.0] * d for _ in range(4)]
    store = quillmere.Vectorstore(d, [(r, i) for i, r in enumerate(rows)])
    ids = list(range(len(rows)))
    queries = [[1.0] * d, rows[3], rows[-6], [rng.uniform(-1, 2) for _ in range(d)]]
    for q in queries:
        for k in (1, 4, 12, 45):
            for found in (store.search(q, k), store.parallel_search(q, k, 3)):
                out.append([(struct.pack("<f", s).hex(), i) for s, i in found])
    for k in (1, 12):
        batches(store, queries * 5, k)
print(json.dumps(out))
"""


def run_with_kernel(kernel, scan=None, prefetch=None):
    env = dict(os.environ)
    for name in ("QUILLMERE_KERNEL", "QUILLMERE_SCAN", "QUILLMERE_PREFETCH", "QUILLMERE_AMX"):
        env.pop(name, None)
    if kernel is not None:
        env["QUILLMERE_KERNEL"] = kernel
    if scan is not None:
        env["QUILLMERE_SCAN"] = scan
    if prefetch is not None:
        env["QUILLMERE_PREFETCH"] = prefetch
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


# "avx512" turns the batch's AMX pass off where the CPU has one.
@pytest.mark.parametrize("kernel, scan, prefetch", [
    ("portable", None, None), ("avx2", None, None), ("avx512", None, None), (None, "planes", None), ("portable", "planes", None),
    ("avx2", "planes", None), (None, "full", None), ("portable", "full", None), ("avx2", "full", None),
    ("portable", "planes", "on"), (None, "full", "off")])
def test_forced_kernel_matches_fastest(kernel, scan, prefetch):
    assert run_with_kernel(kernel, scan, prefetch) == run_with_kernel(None)


# Software prefetching is chosen by CPU, so one forced choice is always the
# default: compare the two forced choices with each other instead.
@pytest.mark.parametrize("kernel", [None, "portable"])
def test_prefetch_on_matches_off(kernel):
    assert run_with_kernel(kernel, None, "on") == run_with_kernel(kernel, None, "off")
