#!/usr/bin/env python3
"""Many queries at once: search_batch and range_search against a loop of
search, a loop of parallel_search, numpy's best batch recipe and faiss, side
by side in one run, with the native read floor and the machine.

    pip install '.[bench]' && python bench/batch.py                 # default sizes, ~10 minutes
    python bench/batch.py --sizes 200000x128 --queries 64           # smoke run

Stores are sized from the last-level cache as in run.py (the sketch a
search streams, n·d bytes, at least twice the LLC): 1M × 128 or more, and
100k × 768; the real embeddings of bench/real_embeddings.py when present.
Every figure is a time per query, the median of --repeats timed calls of
the whole batch (the loops: of --loop-queries queries). Each store is built
once, in this process; every competitor reads the same rows and queries.
numpy's recipe: rows normalised once, then for each block of rows the matrix
product with the normalised queries and argpartition per query, merged at
the end; its block size is the fastest of several, with its threads on.
The integer sketch pass is compute-bound in a batch: the report names the
instruction set of each quillmere figure (QUILLMERE_KERNEL and QUILLMERE_AMX
change it, in a process of their own).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from floor import floor_ms, machine  # noqa: E402
from run import llc_bytes, parse_sizes, sized_from_cache  # noqa: E402



def what_else_runs():
    """The load average and the busiest other processes, since the machine may be shared."""
    load = os.getloadavg()
    top = subprocess.run(["ps", "-eo", "pcpu,comm", "--sort=-pcpu"], capture_output=True, text=True).stdout
    busy = [line.strip() for line in top.splitlines()[1:8] if line.strip() and float(line.split()[0]) >= 5.0]
    return f"load average {load[0]:.1f}, {load[1]:.1f}, {load[2]:.1f}; busiest processes: {'; '.join(busy)}"


def timed(fn, repeats):
    fn()  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def numpy_recipe(normalised, queries, k, block):
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    best_scores, best_rows = [], []
    for start in range(0, normalised.shape[0], block):
        scores = normalised[start:start + block] @ q.T  # block × Q
        top = np.argpartition(-scores, min(k, scores.shape[0] - 1), axis=0)[:k]
        best_rows.append(top + start)
        best_scores.append(np.take_along_axis(scores, top, axis=0))
    scores = np.concatenate(best_scores)
    rows = np.concatenate(best_rows)
    order = np.argsort(-scores, axis=0, kind="stable")[:k]
    return np.take_along_axis(rows, order, axis=0).T


def measure(n, d, rows, queries, args):
    import quillmere

    store = quillmere.Vectorstore(d, list(zip(rows, range(n))))
    q_count = queries.shape[0]
    loop_q = queries[: args.loop_queries]
    out = {"n": n, "d": d, "queries": q_count, "sketch_pass": sketch_pass_name(), "floor_ms": floor_ms(n, d)}
    per_query = {}
    per_query["loop of search"] = timed(lambda: [store.search(q, args.k) for q in loop_q], args.repeats) / len(loop_q)
    per_query["loop of parallel_search"] = timed(
        lambda: [store.parallel_search(q, args.k) for q in loop_q], args.repeats) / len(loop_q)
    for threads in (1, None):
        name = "search_batch, 1 thread" if threads == 1 else f"search_batch, {os.cpu_count()} threads"
        per_query[name] = timed(lambda: store.search_batch(queries, args.k, threads), args.repeats) / q_count
    batch = store.search_batch(queries, args.k)
    assert batch[: len(loop_q)] == [store.search(q, args.k) for q in loop_q], "batch differs from search"
    # A min_score that keeps about k entries per query: the median k-th score.
    min_score = float(np.median([found[-1][0] for found in batch]))
    ranged = store.range_search(queries, min_score, 1)
    out["range_min_score"] = min_score
    out["range_mean_hits"] = float(np.mean([len(found) for found in ranged]))
    per_query["range_search, 1 thread"] = timed(lambda: store.range_search(queries, min_score, 1), args.repeats) / q_count
    single = queries[:1]
    out["batch_of_1_ms"] = 1e3 * timed(lambda: [store.search_batch(single, args.k, 1) for _ in range(8)], args.repeats) / 8
    out["search_ms"] = 1e3 * timed(lambda: [store.search(single[0], args.k) for _ in range(8)], args.repeats) / 8

    normalised = rows / np.linalg.norm(rows, axis=1, keepdims=True)
    blocks = {}
    for block in (8192, 32768, 131072, 524288):
        if block <= 4 * n:
            blocks[block] = timed(lambda: numpy_recipe(normalised, queries, args.k, block), args.repeats) / q_count
    best_block = min(blocks, key=blocks.get)
    per_query[f"numpy recipe (block {best_block:,})"] = blocks[best_block]
    del normalised
    try:
        import faiss

        index = faiss.IndexFlatIP(d)
        flat = rows / np.linalg.norm(rows, axis=1, keepdims=True)
        index.add(flat)
        qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        per_query["faiss IndexFlatIP.search"] = timed(lambda: index.search(qn, args.k), args.repeats) / q_count
        del index, flat
    except ImportError:
        out["faiss"] = "not installed"
    out["per_query_s"] = per_query
    return out


def sketch_pass_name():
    flags = Path("/proc/cpuinfo").read_text()
    if " amx_int8" in flags and os.environ.get("QUILLMERE_AMX") != "off":
        return "AMX int8 tiles (tdpbsud)"
    if " avx512_vnni" in flags:
        return "AVX-512 VNNI (vpdpbusd)"
    return "AVX2 (vpmaddubsw)" if " avx2" in flags else "SSE2 (pmaddwd)"


def table(result, loop_name="loop of search"):
    per_query = result["per_query_s"]
    base = per_query[loop_name]
    lines = [f"{result['n']:,} × {result['d']}, batch of {result['queries']}, top 10; native read floor "
             f"{result['floor_ms']:.2f} ms per read of the store", "",
             "| method | time per query | loop of search ÷ this |", "|---|---|---|"]
    for name, seconds in per_query.items():
        lines.append(f"| {name} | {seconds * 1e3:.3f} ms | {base / seconds:.1f}× |")
    lines += ["", f"batch of 1: {result['batch_of_1_ms']:.2f} ms against search {result['search_ms']:.2f} ms "
              f"({result['batch_of_1_ms'] / result['search_ms']:.2f}×); range_search at min_score "
              f"{result['range_min_score']:.4f} keeps {result['range_mean_hits']:.1f} entries per query"]
    return lines


def targets(result):
    p = result["per_query_s"]
    one = p["search_batch, 1 thread"]
    many = next(v for k, v in p.items() if k.startswith("search_batch, ") and k != "search_batch, 1 thread")
    others = {k: v for k, v in p.items() if k.startswith(("numpy", "faiss"))}
    lines = []

    def line(text, value, met):
        lines.append(f"- {text}: {value} — {'met' if met else 'MISSED'}")

    size = f"{result['n']:,} × {result['d']}"
    line(f"{size}: search_batch, 1 thread, ≥ 8× a loop of search", f"{p['loop of search'] / one:.1f}×",
         p["loop of search"] / one >= 8)
    line(f"{size}: all threads ≥ 1.7× one thread", f"{one / many:.2f}×", one / many >= 1.7)
    for name, seconds in others.items():
        best = min(one, many)
        line(f"{size}: ≥ 3× faster than {name}", f"{seconds / best:.1f}×", seconds / best >= 3)
    ratio = result["batch_of_1_ms"] / result["search_ms"]
    line(f"{size}: a batch of 1 within 5% of search", f"{ratio:.2f}×", ratio <= 1.05)
    r = p["range_search, 1 thread"] / one
    line(f"{size}: range_search (~10 per query) within 20% of search_batch top 10", f"{r:.2f}×", r <= 1.2)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default=None, help="n x d, comma separated (default: from the LLC)")
    parser.add_argument("--queries", type=int, default=256)
    parser.add_argument("--loop-queries", type=int, default=64, help="queries timed in the loops")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--real", type=Path, default=HERE / "results" / "stdlib_minilm.npy")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    args = parser.parse_args()
    llc = llc_bytes()
    sizes = (parse_sizes(args.sizes) if args.sizes else
             [(sized_from_cache(llc, 128, 1_000_000), 128), (sized_from_cache(llc, 768, 100_000), 768)])
    md = [f"Measured {time.strftime('%Y-%m-%d %H:%M')} by `python bench/batch.py`. Machine: {machine()}, "
          f"{os.cpu_count()} CPUs; the batch sketch pass: {sketch_pass_name()}. Before the run: {what_else_runs()}.",
          ""]
    results = []
    cases = [(n, d, None) for n, d in sizes]
    if args.real.exists():
        cases.append((0, 0, args.real))
    else:
        md += [f"(no real embeddings at {args.real}: bench/real_embeddings.py makes them)", ""]
    rng = np.random.default_rng(0)
    for n, d, path in cases:
        if path is None:
            rows = rng.standard_normal((n, d), dtype=np.float32)
            queries = rng.standard_normal((args.queries, d), dtype=np.float32)
        else:
            data = np.load(path).astype(np.float32)
            rows, queries = data[: -args.queries], data[-args.queries:]
            n, d = rows.shape
        print(f"{n:,} × {d} ...", file=sys.stderr, flush=True)
        result = measure(n, d, rows, np.ascontiguousarray(queries), args)
        result["data"] = "real" if path else "random"
        results.append(result)
        md += table(result) + [""] + targets(result) + [""]
        del rows
    md.append(f"After the run: {what_else_runs()}.")
    text = "\n".join(md) + "\n"
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "batch.md").write_text(text)
    (args.out / "batch.json").write_text(json.dumps(results, indent=1))
    print(text)


if __name__ == "__main__":
    main()
