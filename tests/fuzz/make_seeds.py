"""Writes the seed corpora of both fuzz targets: python make_seeds.py CORE_DIR BINDING_DIR.

Core seeds are programs in core_fuzz.cpp's input format that build the stores of
test_core.cpp's pruning test: near-parallel rows, high halves rounded down by almost
half a unit, one vector moved by a few ulps, values the bound refuses, thousands of
identical rows. Binding seeds are random byte strings of many lengths, from which the
binding target draws everything.
"""
import os
import random
import struct
import sys

SPLAT, COPY, REPEAT, HALVES, SCALE, SPECIAL, QUERY = 1, 2, 3, 4, 5, 6, 7


def f32(x):
    return struct.pack("<f", x)


def header(d, k, threads=3, first=5, last=60000):
    return struct.pack("<HHBHH", d - 1, k, threads, first, last)


def rounded_down_most(x):
    bits = struct.unpack("<I", f32(x))[0]
    return struct.unpack("<f", struct.pack("<I", bits & 0xFFFF0000 | 0x7FFF))[0]


def raw(values):
    return bytes([0]) + b"".join(f32(v) for v in values)


def splat(value, overrides=()):
    out = bytes([SPLAT]) + f32(value) + bytes([len(overrides)])
    return out + b"".join(struct.pack("<H", i) + f32(v) for i, v in overrides)


def copy(src, nudges=(), op=COPY):
    out = bytes([op]) + struct.pack("<H", src) + bytes([len(nudges)])
    return out + b"".join(struct.pack("<Hb", i, n) for i, n in nudges)


def repeat(copies, step=0):
    return bytes([REPEAT, copies - 1]) + struct.pack("<b", step)


def halves(src, which=0):  # 0: low halves 0x7FFF, the largest rounding of the high half
    return bytes([HALVES]) + struct.pack("<H", src) + bytes([which])


def core_seeds(rng):
    seeds = []
    for d in (1, 7, 64, 200):
        for k in (1, 3, 10, 40):
            gauss = [[rng.gauss(0, 1) for _ in range(d)] for _ in range(3)]
            # Near-parallel rows, then rows of 1 + j/128 with the high halves rounded down by
            # almost half a unit.
            rows = splat(1.0, [(0, 1.3)]) + repeat(39)
            rows += b"".join(splat(rounded_down_most(1.0 + (n % 5) / 128)) for n in range(40, 700))
            seeds.append(header(d, k) + splat(1.0) + rows)
            # Random magnitudes, every high half rounded down, queried with one of them.
            rows = b"".join(raw([rng.uniform(0.5, 1.5) * 2.0 ** rng.randint(-4, 4) for _ in range(d)]) + halves(2 * i)
                            for i in range(40))
            seeds.append(header(d, k, threads=7) + raw(gauss[0]) + rows + repeat(200, 1))
            # One vector moved by a few ulps: scores within ulps of each other, around the query.
            rows = raw([rng.uniform(0.5, 1.5) for _ in range(d)])
            rows += b"".join(copy(0, [(rng.randrange(d), rng.choice((-1, 1))) for _ in range(3)]) for _ in range(90))
            rows += bytes([SCALE]) + struct.pack("<Hb", 0, 3)  # the first row times 8: the same direction
            seeds.append(header(d, k, threads=2) + raw(gauss[1]) + rows + copy(0, [(0, 1)], op=QUERY))
            # Values the bound refuses, among ordinary rows.
            rows = b"".join(bytes([SPECIAL]) + bytes(rng.randrange(16) for _ in range(d)) + raw(gauss[2]) + repeat(20, 3)
                            for _ in range(12))
            seeds.append(header(d, k, threads=4) + raw(gauss[2]) + rows)
    # Thousands of identical rows and a different tail that ranks first.
    rows = splat(0.75, [(1, 0.5)]) + repeat(256) * 12 + splat(1.0) + repeat(4)
    seeds.append(header(7, 10, threads=2, first=0, last=65535) + splat(1.0) + rows)
    return seeds


def main():
    core_dir, binding_dir = sys.argv[1:3]
    rng = random.Random(17)
    os.makedirs(core_dir, exist_ok=True)
    os.makedirs(binding_dir, exist_ok=True)
    for i, seed in enumerate(core_seeds(rng)):
        with open(os.path.join(core_dir, f"seed-{i:03d}"), "wb") as f:
            f.write(seed)
    for i in range(64):
        with open(os.path.join(binding_dir, f"seed-{i:03d}"), "wb") as f:
            f.write(rng.randbytes(rng.randrange(16, 2048)))


if __name__ == "__main__":
    main()
