"""The machine and the native read floor, for the benchmarks beside run.py.

Each of them prints `header(n, d)` for every store size it measures, so that
its figures come with the machine that gave them (lscpu's model name and
last-level cache) and with the time one core needs to stream that store's
4·n·d bytes once with a native loop, measured in the same run.
"""
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

from measure import NativeFloor
from run import build_floor

_floor = None


def median_ms(fn, repeats):
    """The median time of `repeats` calls of fn, in ms."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return 1e3 * statistics.median(times)


def machine():
    lines = subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines()
    fields = {key.strip(): value.strip() for key, _, value in (line.partition(":") for line in lines)}
    return f"{fields.get('Model name', '?')}, L3 {fields.get('L3 cache', '?')}"


def floor_ms(n, d, repeats=9):
    """Median ms for one core to read n × d float32 once (the store's 4·n·d bytes)."""
    global _floor
    if _floor is None:
        _floor = NativeFloor(str(build_floor(Path(tempfile.mkdtemp(prefix="quillmere-floor-")))))
    data = np.random.default_rng(0).standard_normal((n, d), dtype=np.float32)
    _floor.read(data)  # faults the pages in
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        _floor.read(data)
        times.append(time.perf_counter() - start)
    return 1e3 * statistics.median(times)


def header(n, d):
    ms = floor_ms(n, d)
    return (f"machine: {machine()}; native read floor for {n:,} × {d} "
            f"({4 * n * d / 1e6:.0f} MB): {ms:.2f} ms, {4 * n * d / ms / 1e6:.1f} GB/s")
