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

Every answer is checked against the other strategy's, bit for bit.
"""

import argparse
import statistics
import struct
import time

import numpy as np

import quillmere_collection
from floor import header
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=50_000)
    parser.add_argument("--d", type=int, default=384)
    parser.add_argument("--queries", type=int, default=15)
    args = parser.parse_args()
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


if __name__ == "__main__":
    main()
