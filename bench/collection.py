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
   entries: over-fetch against a temporary store of those rows, and the
   store's allowed mask (what the collection uses without a callable).
3. Tombstones: unfiltered search with dead/live = 0, 0.25, 0.5, 1 against
   the same live entries compacted; the time of one compaction and of
   adding the entries, per live entry.
4. Memory and persistence (`--memory`, on its own or after the rest): a
   collection of --memory-n × --memory-d rows (default 1,000,000 × 128)
   without payloads, built in a fresh child process: its resident growth
   over 4·n·d, then the time and the resident peak above that steady state
   of save, load, and a compaction after deleting a quarter of the entries;
   then calls by id (get, `in`, add and delete of one entry, a get of
   100,000 ids, a search restricted to 10,000 ids) and a plain search.
   `--baseline [LABEL=]OTHER/bin/python` (repeatable) runs the same child
   with another installation (an earlier version of the collection) in the
   same run, the children alternating.
5. Dict filters (`--filters`, on its own or after the rest), on
   --filters-n × d rows (default 100,000 × 384), top 10: at 50%, 10%, 1% and
   0.1% selectivity, on an int field, a string field, a float range, an $and
   of two fields, and on the entries least similar to the query (ranked
   last for it), the dict form against the same filter as a callable (the
   per-entry path), the module's masked search alone (default threads and
   one thread) and an unfiltered search, interleaved. Then building one
   field's index over --index-n payloads (default 1,000,000), what keeping
   the indexes up to date adds to `add`, and the indexes' memory.

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

import quillmere
import quillmere_collection
from floor import header, machine, median_ms
from measure import status_bytes
from quillmere_collection import _collection

K = 4


def bits(ranked):
    return [(struct.pack("<d", score), position) for score, position in ranked]


def interleaved(contenders, queries, agree=None):
    """Median ms per contender, each run once per query in turn; answers must agree.

    `agree` names the contenders that must agree, if not all of them.
    """
    times = {name: [] for name in contenders}
    for query in queries:
        answers = {}
        for name, fn in contenders.items():
            start = time.perf_counter()
            answers[name] = bits(fn(query))
            times[name].append(time.perf_counter() - start)
        same = [answers[name] for name in (agree or contenders)]
        assert all(answer == same[0] for answer in same), "strategies disagree"
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
    fields = status_bytes()
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
    # Calls by id, one at a time (µs each), on the compacted collection.
    pick = np.random.default_rng(2).choice(np.arange(1, n, 4), 2000, replace=False).tolist()
    some = [f"doc-{i}" for i in pick]
    out["get_us"] = 1e3 * median_ms(lambda: [collection.get([id_]) for id_ in some], repeats) / len(some)
    out["contains_us"] = 1e3 * median_ms(lambda: [id_ in collection for id_ in some], repeats) / len(some)
    out["get_many_s"] = median_ms(lambda: collection.get(some * 50), repeats) / 1e3
    out["search_ms"] = median_ms(lambda: collection.search(rows[3], 10), 5 * repeats)
    out["restrict_ms"] = median_ms(lambda: collection.search(rows[3], 10, ids=some * 5), repeats)
    added = [f"new-{i}" for i in range(len(some))]
    start = time.perf_counter()
    for id_, row in zip(added, np.repeat(rows[:1], len(added), axis=0)):
        collection.add([id_], row[None])
    out["add_one_us"] = 1e6 * (time.perf_counter() - start) / len(added)
    start = time.perf_counter()
    for id_ in some:
        collection.delete([id_])
    out["delete_one_us"] = 1e6 * (time.perf_counter() - start) / len(some)
    return out


def memory_section(n, d, repeats, baselines, rounds):
    command = [str(Path(__file__).resolve()), "--memory-child", f"--memory-n={n}", f"--memory-d={d}",
               f"--repeats={repeats}"]
    # Children alternate, so that the machine's load falls on all alike;
    # each figure is the median over the rounds.
    installs = []
    for baseline in baselines or []:
        label, _, python = baseline.rpartition("=")
        installs.append((label or "before", python))
    installs.append(("now", sys.executable))
    results = {}
    for _ in range(rounds):
        for label, python in installs:
            done = subprocess.run([python, *command], check=True, stdout=subprocess.PIPE, text=True)
            results.setdefault(label, []).append(json.loads(done.stdout))
    runs = {label: {key: statistics.median(r[key] for r in rs) for key in rs[0]} for label, rs in results.items()}
    raw = 4 * n * d
    print(f"Memory and persistence: {n:,} × {d} without payloads ({raw / 1e6:.0f} MB of float32), "
          f"medians of {repeats} saves and loads in each of {rounds} alternating child processes per "
          f"installation; machine: {machine()}; load average {os.getloadavg()[0]:.1f}.\n")
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
        ("get of one id, µs", "get_us", "µs"),
        ("`id in collection`, µs", "contains_us", "µs"),
        ("get of 100,000 ids in one call, s", "get_many_s", "s"),
        ("search, top 10, ms", "search_ms", "ms"),
        ("search restricted to 10,000 ids, ms", "restrict_ms", "ms"),
        ("add of one entry, µs", "add_one_us", "µs"),
        ("delete of one id, µs", "delete_one_us", "µs"),
    ]
    others = labels[:-1]
    table(["", *labels] + [f"now ÷ {label}" for label in others],
          [[label, *(fmt(runs[run][key], unit, raw) for run in labels)]
           + [f"{runs['now'][key] / runs[other][key]:.2f}" for other in others]
           for label, key, unit in rows if all(key in runs[run] for run in labels)])


def fmt(value, unit, raw):
    if unit == "x":
        return f"{value / raw:.2f}"
    if unit == "MB":
        return f"{value / 1e6:.0f}"
    return f"{value:.2f}"


def uncached(collection, query, k, filter):
    """The dict filter's search with no kept mask: the mask is built from the indexes."""
    saved, kept = _collection.MASK_CACHE, collection._masks
    _collection.MASK_CACHE, collection._masks = 0, {}  # the kept masks set aside, for the "dict" column
    try:
        return collection._rank(query, k, filter, None)
    finally:
        _collection.MASK_CACHE, collection._masks = saved, kept


def filters_section(n, d, queries, index_n):
    """Section 5: filtered search through the payload indexes; their build, upkeep and memory."""
    from quillmere_collection._filters import PayloadIndex, compile_filter, mask_bytes

    k = 10
    rng = np.random.default_rng(5)
    rows = rng.standard_normal((n, d), dtype=np.float32)
    query_rows = list(rng.standard_normal((queries, d), dtype=np.float32))
    b, c, y = rng.integers(0, 1000, n), rng.integers(0, 1000, n), rng.random(n) * 1000
    # w: the entry's permille in the first query's ranking, counted from the last.
    ranking = [position for _, position in quillmere.Vectorstore(d, list(zip(rows, range(n)))).search(query_rows[0], n)]
    w = np.empty(n, np.int64)
    w[ranking[::-1]] = np.arange(n) * 1000 // n
    ids = [f"doc-{i}" for i in range(n)]
    payloads = [
        {"b": int(b[i]), "c": int(c[i]), "s": f"s{b[i]:03d}", "y": float(y[i]), "w": int(w[i])} for i in range(n)
    ]
    collection = quillmere_collection.Collection(d)
    collection.add(ids, rows, payloads)

    print(f"## Dict filters: {n:,} × {d}, top {k}, medians of {queries} interleaved queries (ms)\n")
    print(header(n, d) + "\n")
    out = []
    for share in (0.5, 0.1, 0.01, 0.001):
        cut = round(share * 1000)
        side = round(share**0.5 * 1000)
        cases = {
            "int": ({"b": {"$in": list(range(cut))}}, lambda i, p, cut=cut: p["b"] < cut),
            "string": ({"s": {"$in": [f"s{j:03d}" for j in range(cut)]}}, lambda i, p, t=f"s{cut:03d}": p["s"] < t),
            "range": ({"y": {"$gte": 0.0, "$lt": share * 1000}}, lambda i, p, top=share * 1000: p["y"] < top),
            "and": ({"b": {"$lt": side}, "c": {"$lt": side}}, lambda i, p, s=side: p["b"] < s and p["c"] < s),
            "least similar": ({"w": {"$lt": cut}}, lambda i, p, cut=cut: p["w"] < cut),
        }
        for name, (data, keep) in cases.items():
            collection.search(query_rows[0], k, filter=data)  # builds the field's index
            matched = len(collection.search(query_rows[0], n, filter=data))
            asked = [query_rows[0]] * queries if name == "least similar" else query_rows
            store, bits = collection._store, mask_bytes(collection._allowed(compile_filter(data), None))
            result = interleaved(
                {
                    "unfiltered": lambda q: collection._rank(q, k, None, None),
                    "dict": lambda q, f=data: collection._rank(q, k, f, None),
                    # The mask built afresh for every query, as for a filter not seen before.
                    "dict, uncached": lambda q, f=data: uncached(collection, q, k, f),
                    "callable": lambda q, f=keep: collection._rank(q, k, f, None),
                    # The module alone: the same mask, given ready-made to the store, with its
                    # default threads (as the collection calls it) and on one thread, as the
                    # unfiltered search runs.
                    "masked store": lambda q, bits=bits: store.search_batch([q], k, allowed=bits)[0],
                    "masked store, 1 thread": lambda q, bits=bits: store.search_batch([q], k, 1, allowed=bits)[0],
                },
                asked,
                agree=("dict", "dict, uncached", "callable", "masked store", "masked store, 1 thread"),
            )
            t0, t1, t2, t3 = result["unfiltered"], result["dict"], result["callable"], result["masked store"]
            t4, t5 = result["masked store, 1 thread"], result["dict, uncached"]
            out.append([f"{share:.1%}".replace(".0%", "%"), name, f"{matched / n:.2%}", f"{t0:.2f}", f"{t1:.2f}",
                        f"{t1 / t0:.2f}", f"{t5:.2f}", f"{t5 / t0:.2f}", f"{t3:.2f}", f"{t3 / t0:.2f}", f"{t4:.2f}",
                        f"{t4 / t0:.2f}", f"{t2:.2f}", f"{t2 / t1:.1f}"])
    table(["selectivity", "filter", "matched", "unfiltered", "dict", "dict ÷ unfiltered", "dict, uncached",
           "uncached ÷ unfiltered", "masked store",
           "masked store ÷ unfiltered", "masked store, 1 thread", "1 thread ÷ unfiltered", "callable",
           "callable ÷ dict"], out)

    # Building one field's index over index_n payloads (no vectors needed).
    rng = np.random.default_rng(6)
    values = rng.integers(0, 1000, index_n)
    floats = rng.random(index_n)
    ids = rng.integers(0, 10**12, index_n)  # a field of (almost) all distinct numbers
    many = [
        {"i": int(v), "s": f"s{v:03d}", "f": float(x), "u": int(u)}
        for v, x, u in zip(values.tolist(), floats.tolist(), ids.tolist())
    ]
    builds = []
    cases = (
        ("int $eq", {"i": 7}),
        ("int $in", {"i": {"$in": list(range(16))}}),
        ("string", {"s": "s007"}),
        ("float range", {"f": {"$lt": 0.5}}),
        ("distinct ints $eq", {"u": int(ids[3])}),
    )
    for field, data in cases:
        index = PayloadIndex()
        tree = compile_filter(data)
        start = time.perf_counter()
        index.mask(tree, many, index_n)
        seconds = time.perf_counter() - start
        builds.append(f"{field} {seconds:.2f} s ({index.nbytes() / index_n:.1f} bytes per entry)")
    print(f"Building one field's index over {index_n:,} payloads: " + "; ".join(builds) + ".\n")
    del many

    # Upkeep: adds of 1,000 entries into the collection above, each followed by
    # bringing the indexes of b, s and y up to date, timed alone: the work a
    # filtered query does first after an add, without answering the filter
    # (earlier runs timed a query's mask less a second, cache-warm one, which
    # also counted the first mask's cache misses as upkeep).
    # (b holds both columns, from the int $in and the $and above; s its codes; y its float64s.)
    fields = [collection._index._fields[(name,)] for name in ("b", "s", "y")]
    batches = 20
    extra = rng.standard_normal((batches * 1000, d), dtype=np.float32)
    adds, upkeep = [], []
    for i in range(batches):
        block = range(i * 1000, (i + 1) * 1000)
        new_ids = [f"new-{j}" for j in block]
        new_payloads = [{"b": j % 1000, "c": j % 7, "s": f"s{j % 1000:03d}", "y": float(j % 1000), "w": 0} for j in block]
        start = time.perf_counter()
        collection.add(new_ids, extra[i * 1000 : (i + 1) * 1000], new_payloads)
        added = time.perf_counter()
        for field in fields:
            field.catch_up(collection._payloads, collection._count)
        caught = time.perf_counter()
        adds.append(added - start)
        upkeep.append(caught - added)
    share = sum(upkeep) / sum(adds)
    print(
        f"Upkeep: {batches} adds of 1,000 entries to {n:,} took {1e3 * statistics.median(adds):.2f} ms each (median); "
        f"bringing the indexes of 3 fields up to date after each added {share:.1%} to the adds' time "
        f"({share / 3:.1%} per field).\n"
    )
    vector_bytes = 4 * collection._count * d
    print(
        f"Index memory: {collection._index.nbytes() / 1e6:.1f} MB for {len(collection._index.fields)} fields over "
        f"{collection._count:,} entries ({collection._index.nbytes() / collection._count:.0f} bytes per entry; "
        f"the vectors are {vector_bytes / 1e6:.0f} MB).\n"
    )


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
    parser.add_argument("--baseline", action="append",
                        help="[LABEL=]PYTHON: another installation, measured beside this one in section 4 (repeatable)")
    parser.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--filters", action="store_true", help="only section 5")
    parser.add_argument("--filters-n", type=int, default=100_000)
    parser.add_argument("--index-n", type=int, default=1_000_000)
    args = parser.parse_args()
    if args.memory_child:
        print(json.dumps(memory_child(args.memory_n, args.memory_d, args.repeats)))
        return
    if args.memory:
        memory_section(args.memory_n, args.memory_d, args.repeats, args.baseline, args.rounds)
        return
    if args.filters:
        filters_section(args.filters_n, args.d, args.queries, args.index_n)
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
                s or "mask": (lambda q, s=s, subset=subset: collection._rank(q, K, None, subset, s))
                for s in ("overfetch", "matches", None)
            },
            queries,
        )
        ratio = result["matches"] / result["overfetch"]
        out.append([f"{fraction:.0%}", f"{result['overfetch']:.2f}", f"{result['matches']:.2f}", f"{ratio:.2f}",
                    f"{result['mask']:.2f}"])
    print("Restriction to known ids, no filter (the collection now uses the allowed mask).\n")
    table(["ids", "over-fetch", "store of those rows", "store ÷ over-fetch", "allowed mask"], out)

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
    filters_section(args.filters_n, args.d, args.queries, args.index_n)


if __name__ == "__main__":
    main()
