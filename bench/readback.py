"""Reading a store back: Vectorstore.vectors() and ids() against memcpy.

    pip install . && python bench/readback.py [--n 1000000 --d 128]

Measures, in one run, the median time of a full `vectors()` of an n × d
store (default 1,000,000 × 128), with the widest kernel the CPU has and with
the portable one (QUILLMERE_KERNEL=portable, in a child process), against a
native memcpy of the same 4·n·d bytes: into fresh memory (malloc, first
touch included, as vectors() must return new memory) and into a buffer
already touched. Also `ids()` against memcpy of its 8·n bytes. Every result
is checked bit for bit against the rows stored.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import quillmere
from floor import machine, median_ms
from measure import NativeFloor
from run import build_floor


def rows_of(n, d):
    rows = np.random.default_rng(0).standard_normal((n, d), dtype=np.float32)
    # Bit patterns a float path would change: NaN payloads, -0.0, subnormals.
    rows.view(np.uint32)[::97, 0] = 0x7FC0BEEF
    rows[1::89, 1 % d] = -0.0
    rows.view(np.uint32)[2::83, 2 % d] = 0x00000003
    return rows


def measure_store(n, d, repeats):
    """Times of vectors() and ids() with this process's kernel (ms)."""
    rows = rows_of(n, d)
    store = quillmere.Vectorstore(d, list(zip(rows, range(n))))
    got = np.asarray(store.vectors())
    assert got.tobytes() == rows.tobytes(), "vectors() differs from the rows stored"
    assert np.array_equal(np.asarray(store.ids()), np.arange(n, dtype=np.uint64))
    del got
    return {
        "vectors": median_ms(lambda: store.vectors(), repeats),
        "ids": median_ms(lambda: store.ids(), repeats),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--d", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    n, d = args.n, args.d
    if args.child:
        print(json.dumps(measure_store(n, d, args.repeats)))
        return

    floor = NativeFloor(str(build_floor(Path(tempfile.mkdtemp(prefix="quillmere-floor-")))))
    rows = rows_of(n, d)
    warm = np.empty_like(rows)
    warm[:] = 0
    ids = np.arange(n, dtype=np.uint64)
    warm_ids = np.zeros_like(ids)
    copy_fresh = median_ms(lambda: floor.copy_fresh(rows), args.repeats)
    copy_warm = median_ms(lambda: floor.copy(warm, rows), args.repeats)
    ids_fresh = median_ms(lambda: floor.copy_fresh(ids), args.repeats)
    ids_warm = median_ms(lambda: floor.copy(warm_ids, ids), args.repeats)
    del rows, warm

    here = Path(__file__).resolve().parent
    times = {}
    for kernel in ("default", "portable"):
        env = dict(os.environ)
        env.pop("QUILLMERE_KERNEL", None)
        if kernel == "portable":
            env["QUILLMERE_KERNEL"] = "portable"
        command = [sys.executable, str(here / "readback.py"), "--child", f"--n={n}", f"--d={d}",
                   f"--repeats={args.repeats}"]
        done = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE, text=True)
        times[kernel] = json.loads(done.stdout)

    mb = 4 * n * d / 1e6
    print(f"# Reading back {n:,} × {d} ({mb:.0f} MB), medians of {args.repeats}\n")
    print(f"machine: {machine()}\n")
    print("| copy | ms | GB/s | memcpy (fresh) ÷ it | memcpy (warm) ÷ it |")
    print("|---|---|---|---|---|")
    lines = [
        ("memcpy into fresh memory", copy_fresh),
        ("memcpy into touched memory", copy_warm),
        ("vectors(), widest kernel", times["default"]["vectors"]),
        ("vectors(), portable kernel", times["portable"]["vectors"]),
    ]
    for label, ms in lines:
        print(f"| {label} | {ms:.1f} | {mb / ms:.2f} | {copy_fresh / ms:.2f} | {copy_warm / ms:.2f} |")
    print()
    print(f"ids() ({8 * n / 1e6:.0f} MB): {times['default']['ids']:.1f} ms; memcpy into fresh memory "
          f"{ids_fresh:.1f} ms, into touched memory {ids_warm:.1f} ms.")


if __name__ == "__main__":
    main()
