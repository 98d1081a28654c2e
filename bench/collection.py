"""The measurements behind quillmere_collection's filtered-search and compaction rules.

    pip install . './integrations/collection' && python bench/collection.py

On n × d standard-normal float32 rows (default 50,000 × 384), k = 4, medians
of interleaved single-query calls (the same queries for every contender):

1. Filtered search at 1%, 10% and 90% selectivity (matches spread evenly
   over the order of addition), with a cheap filter (one payload lookup)
   and a costlier one (it builds a document object per call, as a
   framework adapter does): the over-fetch against a temporary store of the
   matches, both forced, and the collection's own choice. Also a 1% filter
   whose matches are the entries least similar to the query, where the
   over-fetch must walk almost the whole ranking.
2. Restriction to known ids (no filter) at 1%, 2%, 5%, 10% and 50% of the
   entries: over-fetch against a temporary store of those rows.
3. Tombstones: unfiltered search with dead/live = 0, 0.25, 0.5, 1 against
   the same live entries compacted; the time of one compaction and of
   adding the entries, per live entry.
4. Memory and persistence (`--memory`, on its own or after the rest): a
   collection of --memory-n × --memory-d rows (default 1,000,000 × 128)
   without payloads, built in a fresh child process: its resident growth
   over 4·n·d, then the time and the resident peak above that steady state
   of save, load, and a compaction after deleting a quarter of the entries.
   `--baseline OTHER/bin/python` runs the same child with another
   installation (an earlier version of the collection) in the same run.

Every answer is checked against the other strategy's, bit for bit.
"""

import argparse
import gc
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from pathlib import Path

import numpy as np

import quillmere_collection
from floor import header, machine
from quillmere_collection import _collection

K = 4


def median_ms(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return 1e3 * statistics.median(times)


def bits(ranked):
    return [(struct.pack("<d", score), position) for score, position in ranked]


def interleaved(contenders, queries):
    """Median ms per contender, each run once per query in turn; answers must agree."""
    times = {name: [] for name in contenders}
    for query in queries:
        answers = []
        for name, fn in contenders.items():
            start = time.perf_counter()
            answers.append(bits(fn(query)))
            times[name].append(time.perf_counter() - start)
        assert all(answer == answers[0] for answer in answers), "strategies disagree"
    return {name: 1e3 * statistics.median(values) for name, values in times.items()}


class Document:
    """Stands in for a framework's document, built for every filter call."""

    def __init__(self, id, text, metadata):
        self.id = id
        self.page_content = text
        self.metadata = dict(metadata)


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def resident():
    """(current, peak) resident bytes of this process."""
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0]) * 1024
    return fields["VmRSS"], fields["VmHWM"]


def reset_peak():
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak restarts from the current resident size


def timed_peak(fn):
    """(seconds, resident peak above the size before, result) of one call."""
    gc.collect()
    before, _ = resident()
    reset_peak()
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    return seconds, resident()[1] - before, result


def memory_child(n, d, repeats):
    """Section 4 in this process: a JSON dict of bytes and seconds."""
    rows = np.random.default_rng(1).standard_normal((n, d), dtype=np.float32)
    gc.collect()
    without_ids, _ = resident()
    ids = [f"doc-{i}" for i in range(n)]
    gc.collect()
    base, _ = resident()
    collection = quillmere_collection.Collection(d)
    add_s, add_peak, _ = timed_peak(lambda: collection.add(ids, rows))
    gc.collect()
    steady, _ = resident()
    out = {"growth": steady - base, "add_s": add_s}
    queries = rows[:8].copy()
    ids = None
    del rows
    gc.collect()
    # Without the caller's inputs: what the collection alone keeps, its ids' strings included.
    out["kept"] = resident()[0] - (without_ids - 4 * n * d)
    rows = queries
    folder = tempfile.mkdtemp(prefix="quillmere-collection-")
    try:
        saves, peaks = [], []
        for _ in range(repeats):
            seconds, peak, _ = timed_peak(lambda: collection.save(folder))
            saves.append(seconds)
            peaks.append(peak)
        out["save_s"], out["save_peak"] = statistics.median(saves), max(peaks)
        loads, peaks = [], []
        for _ in range(repeats):
            seconds, peak, loaded = timed_peak(lambda: quillmere_collection.Collection.load(folder))
            assert [h[:2] for h in loaded.search(rows[7], 3)] == [h[:2] for h in collection.search(rows[7], 3)]
            del loaded
            loads.append(seconds)
            peaks.append(peak)
        out["load_s"], out["load_peak"] = statistics.median(loads), max(peaks)
    finally:
        shutil.rmtree(folder)
    saved_ratio = _collection.COMPACT_RATIO
    _collection.COMPACT_RATIO = float("inf")
    try:
        collection.delete([f"doc-{i}" for i in range(0, n, 4)])
    finally:
        _collection.COMPACT_RATIO = saved_ratio
    want = [h[:2] for h in collection.search(rows[5], 10)]
    out["compact_s"], out["compact_peak"], _ = timed_peak(collection.compact)
    assert [h[:2] for h in collection.search(rows[5], 10)] == want
    return out


def memory_section(n, d, repeats, baseline, rounds):
    command = [str(Path(__file__).resolve()), "--memory-child", f"--memory-n={n}", f"--memory-d={d}",
               f"--repeats={repeats}"]
    # Children alternate, so that the machine's load falls on both alike;
    # each figure is the median over the rounds.
    results = {}
    for _ in range(rounds):
        for label, python in [("before", baseline), ("now", sys.executable)]:
            if python is not None:
                done = subprocess.run([python, *command], check=True, stdout=subprocess.PIPE, text=True)
                results.setdefault(label, []).append(json.loads(done.stdout))
    runs = {label: {key: statistics.median(r[key] for r in rs) for key in rs[0]} for label, rs in results.items()}
    raw = 4 * n * d
    print(f"Memory and persistence: {n:,} × {d} without payloads ({raw / 1e6:.0f} MB of float32), "
          f"medians of {repeats} saves and loads in each of {rounds} alternating child processes per "
          f"installation; machine: {machine()}.\n")
    labels = list(runs)
    rows = [
        ("resident growth of add, ÷ 4·n·d (the caller keeps its rows and ids)", "growth", "x"),
        ("resident kept after the caller drops them (ids' strings included), ÷ 4·n·d", "kept", "x"),
        ("add, s", "add_s", "s"),
        ("save, s", "save_s", "s"),
        ("save, resident peak above steady, MB", "save_peak", "MB"),
        ("load, s", "load_s", "s"),
        ("load, resident peak above the size before, MB", "load_peak", "MB"),
        ("compaction of 750,000 live of 1,000,000, s".replace("750,000", f"{n - (n + 3) // 4:,}")
         .replace("1,000,000", f"{n:,}"), "compact_s", "s"),
        ("compaction, resident peak above steady, MB", "compact_peak", "MB"),
    ]
    table(["", *labels] + (["now ÷ before"] if len(labels) == 2 else []),
          [[label, *(fmt(runs[run][key], unit, raw) for run in labels)]
           + ([f"{runs['now'][key] / runs['before'][key]:.2f}"] if len(labels) == 2 else [])
           for label, key, unit in rows])


def fmt(value, unit, raw):
    if unit == "x":
        return f"{value / raw:.2f}"
    if unit == "MB":
        return f"{value / 1e6:.0f}"
    return f"{value:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=50_000)
    parser.add_argument("--d", type=int, default=384)
    parser.add_argument("--queries", type=int, default=15)
    parser.add_argument("--memory", action="store_true", help="only section 4")
    parser.add_argument("--memory-n", type=int, default=1_000_000)
    parser.add_argument("--memory-d", type=int, default=128)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--baseline", help="another installation's python, measured beside this one in section 4")
    parser.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        print(json.dumps(memory_child(args.memory_n, args.memory_d, args.repeats)))
        return
    if args.memory:
        memory_section(args.memory_n, args.memory_d, args.repeats, args.baseline, args.rounds)
        return
    n, d = args.n, args.d

    rng = np.random.default_rng(0)
    rows = rng.standard_normal((n, d), dtype=np.float32)
    queries = list(rng.standard_normal((args.queries, d), dtype=np.float32))
    ids = [f"doc-{i}" for i in range(n)]
    payloads = [{"text": f"text {i}", "metadata": {"bucket": i % 1000}} for i in range(n)]
    collection = quillmere_collection.Collection(d)
    collection.add(ids, rows, payloads)

    print(f"# quillmere_collection, {n:,} × {d}, k = {K}, medians of {args.queries} interleaved queries (ms)\n")
    print(header(n, d) + "\n")

    # 1. Filtered search.
    out = []
    for label, permille in (("1%", 10), ("10%", 100), ("90%", 900)):
        for kind in ("cheap", "document"):
            if kind == "cheap":
                keep = lambda id, p, cut=permille: p["metadata"]["bucket"] < cut
            else:
                keep = lambda id, p, cut=permille: Document(id, p["text"], p["metadata"]).metadata["bucket"] < cut
            result = interleaved(
                {
                    strategy or "auto": (lambda q, s=strategy, keep=keep: collection._rank(q, K, keep, None, s))
                    for strategy in ("overfetch", "matches", None)
                },
                queries,
            )
            out.append([label, kind] + [f"{result[s]:.2f}" for s in ("overfetch", "matches", "auto")])
    # 1% of the entries, the ones least similar to the query: the over-fetch's worst case.
    first = queries[0]
    worst = {hit.id for hit in collection.search(-first, n // 100)}
    for kind in ("cheap", "document"):
        if kind == "cheap":
            keep = lambda id, p: id in worst
        else:
            keep = lambda id, p: Document(id, p["text"], p["metadata"]).id in worst
        result = interleaved(
            {
                s or "auto": (lambda q, s=s, keep=keep: collection._rank(q, K, keep, None, s))
                for s in ("overfetch", "matches", None)
            },
            [first] * args.queries,
        )
        out.append(["1%, least similar", kind] + [f"{result[s]:.2f}" for s in ("overfetch", "matches", "auto")])
    calls = {
        kind: median_ms(lambda f=f: [f(i, p) for i, p in zip(ids, payloads)], 5) / n * 1e6
        for kind, f in (
            ("cheap", lambda id, p: p["metadata"]["bucket"] < 10),
            ("document", lambda id, p: Document(id, p["text"], p["metadata"]).metadata["bucket"] < 10),
        )
    }
    unfiltered = median_ms(lambda: collection.search(first, K), args.queries)
    print(
        f"Filtered search. A filter call costs {calls['cheap']:.0f} ns (cheap) and {calls['document']:.0f} ns "
        f"(document); an unfiltered search {unfiltered:.2f} ms.\n"
    )
    table(["selectivity", "filter", "over-fetch", "store of matches", "auto"], out)

    # 2. Restriction to known ids.
    out = []
    for fraction in (0.01, 0.02, 0.05, 0.1, 0.5):
        chosen = sorted(rng.choice(n, int(n * fraction), replace=False).tolist())
        subset = [ids[i] for i in chosen]
        result = interleaved(
            {
                s: (lambda q, s=s, subset=subset: collection._rank(q, K, None, subset, s))
                for s in ("overfetch", "matches")
            },
            queries,
        )
        ratio = result["matches"] / result["overfetch"]
        out.append([f"{fraction:.0%}", f"{result['overfetch']:.2f}", f"{result['matches']:.2f}", f"{ratio:.2f}"])
    print("Restriction to known ids, no filter.\n")
    table(["ids", "over-fetch", "store of those rows", "store ÷ over-fetch"], out)

    # 3. Tombstones and compaction.
    saved_ratio = _collection.COMPACT_RATIO
    _collection.COMPACT_RATIO = float("inf")  # no automatic compaction while measuring
    try:
        live = n // 2
        out = []
        for ratio in (0.0, 0.25, 0.5, 1.0):
            dead = int(live * ratio)
            grown = quillmere_collection.Collection(d)
            grown.add(ids[: live + dead], rows[: live + dead], payloads[: live + dead])
            grown.delete(rng.choice(ids[: live + dead], dead, replace=False).tolist())
            compacted = quillmere_collection.Collection(d)
            live_ids = list(grown)
            compacted.add(live_ids, grown.vectors(live_ids), [p for _, p in grown.items()])
            result = interleaved(
                {
                    "tombstones": lambda q, c=grown: [hit[:2] for hit in c.search(q, K)],
                    "compacted": lambda q, c=compacted: [hit[:2] for hit in c.search(q, K)],
                },
                queries,
            )
            t_dead, t_live = result["tombstones"], result["compacted"]
            out.append([f"{ratio:g}", f"{t_dead:.2f}", f"{t_live:.2f}", f"{t_dead / t_live:.2f}"])
        print(f"Tombstones: unfiltered search over {live:,} live entries.\n")
        table(["dead ÷ live", "with tombstones", "compacted", "ratio"], out)

        batch = quillmere_collection.Collection(d)
        add = median_ms(lambda: (batch.clear(), batch.add(ids[:live], rows[:live], payloads[:live])), 3)
        compaction = []
        for _ in range(3):
            grown = quillmere_collection.Collection(d)
            grown.add(ids[: live + live // 4], rows[: live + live // 4], payloads[: live + live // 4])
            grown.delete(ids[: live // 4])
            start = time.perf_counter()
            grown.compact()
            compaction.append(time.perf_counter() - start)
        compact = 1e3 * statistics.median(compaction)
        print(
            f"Adding {live:,} entries in one call: {add:.1f} ms ({add / live * 1e3:.2f} µs each); "
            f"compacting {live:,} live entries: {compact:.1f} ms ({compact / live * 1e3:.2f} µs each, "
            f"{compact / add:.2f} × the add). At dead ÷ live = r, a compaction comes once every r × live "
            f"deletes or overwrites, so each pays 1/r of a per-entry compaction: "
            + ", ".join(f"r = {r:g}: {compact / live / r * 1e3:.2f} µs" for r in (0.25, 0.5, 1.0))
            + ".\n"
        )
    finally:
        _collection.COMPACT_RATIO = saved_ratio

    memory_section(args.memory_n, args.memory_d, args.repeats, args.baseline, args.rounds)


if __name__ == "__main__":
    main()
