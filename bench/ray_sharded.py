"""Sharded search on a local Ray instance against one store, side by side.

    pip install . './integrations/ray[test]' && python bench/ray_sharded.py

Builds n × d standard-normal float32 rows (default 1M × 128), loads them into
one `quillmere.Vectorstore` and into a `ShardedVectorstore` of `--shards`
shards, and reports medians of:

- loading: the constructor from `list(zip(rows, ids))` against
  `extend_array(rows)` (through Ray's object store, actor start-up included)
  and `extend_array(path)` of a `.npy` file each worker maps;
- a batch of `--queries` queries: `search` in a loop on one store against one
  `search_batch` call, as time per query;
- one query: `search` on one store against the sharded `search`, and the same
  sharded call on a store of one entry per shard, which is the Ray round
  trip alone (building that store gives the start-up time of the shards'
  actors, which the sharded loads include).

Every sharded answer is checked against the single store's, bit for bit.
"""
import argparse
import json
import os
import statistics
import struct
import tempfile
import time

import numpy as np
import ray

import quillmere
import quillmere_ray

TOP_K = 10


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def median_time(fn, repeats):
    return statistics.median(timed(fn)[0] for _ in range(repeats))


def bits(results):
    return [(struct.pack("<d", score), id_) for score, id_ in results]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--d", type=int, default=128)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3, help="repeats of loads and batches")
    parser.add_argument("--single", type=int, default=51, help="repeats of single-query calls")
    args = parser.parse_args()
    n, d = args.n, args.d
    capacity = -(-n // args.shards)

    rng = np.random.default_rng(0)
    rows = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((args.queries, d), dtype=np.float32)
    ids = list(range(n))
    gigabytes = rows.nbytes / 1e9

    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False,
             object_store_memory=int(rows.nbytes * 1.5) + 2**28)
    out = {"n": n, "d": d, "shards": args.shards, "queries": args.queries, "top_k": TOP_K,
           "cpus": os.cpu_count(), "ray": ray.__version__}

    # Loading. Each load starts from nothing; the old stores are dropped first.
    out["load_single_s"] = median_time(lambda: quillmere.Vectorstore(d, list(zip(rows, ids))), args.repeats)

    def load_sharded(source):
        store = quillmere_ray.ShardedVectorstore(d, shard_capacity=capacity)
        store.extend_array(source)
        store.close()

    out["load_sharded_s"] = median_time(lambda: load_sharded(rows), args.repeats)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.npy")
        np.save(path, rows)
        out["load_sharded_npy_s"] = median_time(lambda: load_sharded(path), args.repeats)
    for key in ("load_single", "load_sharded", "load_sharded_npy"):
        out[key + "_gb_per_s"] = gigabytes / out[key + "_s"]

    single = quillmere.Vectorstore(d, list(zip(rows, ids)))
    sharded = quillmere_ray.ShardedVectorstore(d, shard_capacity=capacity)
    sharded.extend_array(rows)
    assert sharded.shard_sizes == (capacity,) * (n // capacity) + ((n % capacity,) if n % capacity else ())

    # A batch of queries.
    expected = [single.search(q, TOP_K) for q in queries]
    assert [bits(r) for r in sharded.search_batch(queries, TOP_K)] == [bits(r) for r in expected]
    out["batch_single_ms_per_query"] = 1e3 * median_time(
        lambda: [single.search(q, TOP_K) for q in queries], args.repeats) / len(queries)
    out["batch_sharded_ms_per_query"] = 1e3 * median_time(
        lambda: sharded.search_batch(queries, TOP_K), args.repeats) / len(queries)

    # One query at a time.
    picks = [queries[i % len(queries)] for i in range(args.single)]
    for q in picks[:5]:
        assert bits(sharded.search(q, TOP_K)) == bits(single.search(q, TOP_K))
    out["one_single_ms"] = 1e3 * statistics.median(timed(lambda: single.search(q, TOP_K))[0] for q in picks)
    out["one_sharded_ms"] = 1e3 * statistics.median(timed(lambda: sharded.search(q, TOP_K))[0] for q in picks)
    tiny = quillmere_ray.ShardedVectorstore(d, shard_capacity=1)
    out["start_shards_s"] = timed(lambda: tiny.extend_array(rows[: args.shards]))[0]
    out["round_trip_ms"] = 1e3 * statistics.median(timed(lambda: tiny.search(q, TOP_K))[0] for q in picks)

    print(json.dumps(out, indent=1))
    sharded.close()
    tiny.close()
    ray.shutdown()


if __name__ == "__main__":
    main()
