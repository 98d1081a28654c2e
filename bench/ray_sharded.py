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
  actors, which the sharded loads include);
- replicas: the same sharded store with `--replicas` replicas per shard
  (default 2) against one replica, loaded, batched and queried in turn with
  it; then the time to repair one lost replica (`ray.kill`, then
  `replica_counts` notices the loss and `wait_repaired` returns), repeated
  on `--repairs` shards;
- the memory of the replicated store, ÷ 4·n·d, once loaded and again after
  the queries and repairs: the growth of every shard actor's anonymous
  resident memory over an idle shard actor's, plus what the actors keep in
  Ray's object store. Beside it, in the same run and
  taking turns, the same figures and repairs for replicas that keep a copy
  of their rows in the object store and repair from it (`KeptCopyShard`
  below: how replicas worked before a store could hand its vectors back).

Every sharded answer is checked against the single store's, bit for bit.
"""
import argparse
import json
import os
import statistics
import struct
import tempfile
import time
import warnings

import numpy as np
import ray

import quillmere
import quillmere_ray
from floor import floor_ms, machine
from quillmere_ray._shard import Shard, ids_of, rows_of

TOP_K = 10


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def median_time(fn, repeats):
    return statistics.median(timed(fn)[0] for _ in range(repeats))


def bits(results):
    return [(struct.pack("<d", score), id_) for score, id_ in results]


class KeptCopyShard(Shard):
    """The baseline replica: it keeps a copy of its rows and ids in Ray's
    object store, and a new replica loads from the source's copy."""

    def __init__(self, vector_size):
        super().__init__(vector_size)
        self._blocks = []

    def _keep(self, rows, ids):
        if len(ids):
            self._blocks.append(ray.put((np.asarray(rows), np.asarray(ids, dtype=np.uint64))))

    def load(self, source, start, stop, ids):
        size = super().load(source, start, stop, ids)
        self._keep(rows_of(source, start, stop), ids_of(ids, start, stop))
        return size

    def stage(self, source, start, stop, ids):
        self._kept_stage = (rows_of(source, start, stop), ids_of(ids, start, stop))
        return super().stage(source, start, stop, ids)

    def commit(self):
        size = super().commit()
        self._keep(*self._kept_stage)
        return size

    def export(self):
        return list(self._blocks)

    def fill(self, source, size):
        data = ray.get(ray.get(source.export.remote()))
        pairs = [pair for rows, ids in data for pair in zip(rows, ids.tolist())]
        self._store = quillmere.Vectorstore(self._store.vector_size, pairs)
        del pairs
        self._blocks = [ray.put(block) for block in data]
        return len(self._store)

    def kept_bytes(self):
        return sum(rows.nbytes + ids.nbytes for rows, ids in ray.get(self._blocks))


def anon_bytes(actor):
    """The actor process's anonymous resident memory: its heap, not Ray's
    shared object store."""
    def read(_):
        with open("/proc/self/status") as status:
            line = next(line for line in status if line.startswith("RssAnon:"))
        return int(line.split()[1]) * 1024
    return ray.get(actor.__ray_call__.remote(read))


def memory_ratio(store, idle, raw):
    """(anonymous growth + object store copies) of every replica ÷ the raw rows."""
    actors = [actor for shard in range(store.shard_count) for actor in store.replica_actors(shard)]
    grown = sum(anon_bytes(actor) - idle for actor in actors)
    kept = sum(ray.get(actor.__ray_call__.remote(lambda shard: getattr(shard, "kept_bytes", lambda: 0)()))
               for actor in actors)
    return (grown + kept) / raw, kept / raw


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--d", type=int, default=128)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3, help="repeats of loads and batches")
    parser.add_argument("--single", type=int, default=51, help="repeats of single-query calls")
    parser.add_argument("--replicas", type=int, default=2)
    parser.add_argument("--repairs", type=int, default=3, help="replicas killed and repaired, one at a time")
    args = parser.parse_args()
    n, d = args.n, args.d
    capacity = -(-n // args.shards)

    rng = np.random.default_rng(0)
    rows = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((args.queries, d), dtype=np.float32)
    ids = list(range(n))
    gigabytes = rows.nbytes / 1e9

    # Room for the rows put by the driver while loading, and for the copy
    # of its rows that each replica keeps when there are several.
    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False,
             object_store_memory=int(rows.nbytes * (1.5 + args.replicas)) + 2**28)
    out = {"n": n, "d": d, "shards": args.shards, "queries": args.queries, "top_k": TOP_K,
           "replicas": args.replicas, "cpus": os.cpu_count(), "ray": ray.__version__,
           "machine": machine(), "floor_ms": floor_ms(n, d)}

    # Loading. Each load starts from nothing; the old stores are dropped
    # first. Loads with one replica and with several take turns.
    out["load_single_s"] = median_time(lambda: quillmere.Vectorstore(d, list(zip(rows, ids))), args.repeats)

    def load_sharded(source, replicas=1):
        store = quillmere_ray.ShardedVectorstore(d, shard_capacity=capacity, replicas=replicas)
        store.extend_array(source)
        store.close()

    warnings.filterwarnings("ignore", "Ray runs a single node")
    loads: dict = {"load_sharded": [], "load_replicated": []}
    for _ in range(args.repeats):
        loads["load_sharded"].append(timed(lambda: load_sharded(rows))[0])
        loads["load_replicated"].append(timed(lambda: load_sharded(rows, args.replicas))[0])
    for key, times in loads.items():
        out[key + "_s"] = statistics.median(times)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.npy")
        np.save(path, rows)
        out["load_sharded_npy_s"] = median_time(lambda: load_sharded(path), args.repeats)
    for key in ("load_single", "load_sharded", "load_sharded_npy", "load_replicated"):
        out[key + "_gb_per_s"] = gigabytes / out[key + "_s"]
    out["load_replicated_over_sharded"] = out["load_replicated_s"] / out["load_sharded_s"]

    single = quillmere.Vectorstore(d, list(zip(rows, ids)))
    sharded = quillmere_ray.ShardedVectorstore(d, shard_capacity=capacity)
    sharded.extend_array(rows)
    assert sharded.shard_sizes == (capacity,) * (n // capacity) + ((n % capacity,) if n % capacity else ())
    replicated = quillmere_ray.ShardedVectorstore(d, shard_capacity=capacity, replicas=args.replicas)
    replicated.extend_array(rows)
    kept = quillmere_ray.ShardedVectorstore(d, shard_capacity=capacity, replicas=args.replicas)
    kept._groups.actor_class = ray.remote(KeptCopyShard)
    kept.extend_array(rows)
    # Memory at rest, once loaded; an idle shard actor (of one entry) is the
    # zero. Queries and repairs later leave their working memory behind in
    # the actors' heaps, measured again at the end.
    tiny = quillmere_ray.ShardedVectorstore(d, shard_capacity=1)
    out["start_shards_s"] = timed(lambda: tiny.extend_array(rows[: args.shards]))[0]
    idle = statistics.median(anon_bytes(tiny.replica_actors(shard)[0]) for shard in range(tiny.shard_count))
    for name, store in (("replicated", replicated), ("kept", kept)):
        out[f"memory_{name}_x_raw"], out[f"memory_{name}_object_store_x_raw"] = memory_ratio(store, idle, rows.nbytes)

    # A batch of queries; the two sharded stores take turns.
    expected = [bits(single.search(q, TOP_K)) for q in queries]

    def exact(store):
        # Reads rotate over the replicas: as many calls as replicas cover each.
        for _ in range(store.replicas):
            assert [bits(r) for r in store.search_batch(queries, TOP_K)] == expected

    exact(sharded)
    exact(replicated)
    out["batch_single_ms_per_query"] = 1e3 * median_time(
        lambda: [single.search(q, TOP_K) for q in queries], args.repeats) / len(queries)
    batches: dict = {"batch_sharded": [], "batch_replicated": []}
    for _ in range(args.repeats):
        batches["batch_sharded"].append(timed(lambda: sharded.search_batch(queries, TOP_K))[0])
        batches["batch_replicated"].append(timed(lambda: replicated.search_batch(queries, TOP_K))[0])
    for key, times in batches.items():
        out[key + "_ms_per_query"] = 1e3 * statistics.median(times) / len(queries)
    out["batch_throughput_replicated_over_sharded"] = (
        out["batch_sharded_ms_per_query"] / out["batch_replicated_ms_per_query"])

    # One query at a time, the three stores in turn.
    picks = [queries[i % len(queries)] for i in range(args.single)]
    for q in picks[:5]:
        assert bits(sharded.search(q, TOP_K)) == bits(single.search(q, TOP_K))
        assert bits(replicated.search(q, TOP_K)) == bits(single.search(q, TOP_K))
    ones: dict = {"one_single": [], "one_sharded": [], "one_replicated": []}
    for q in picks:
        ones["one_single"].append(timed(lambda: single.search(q, TOP_K))[0])
        ones["one_sharded"].append(timed(lambda: sharded.search(q, TOP_K))[0])
        ones["one_replicated"].append(timed(lambda: replicated.search(q, TOP_K))[0])
    for key, times in ones.items():
        out[key + "_ms"] = 1e3 * statistics.median(times)
    out["one_replicated_over_sharded"] = out["one_replicated_ms"] / out["one_sharded_ms"]
    out["round_trip_ms"] = 1e3 * statistics.median(timed(lambda: tiny.search(q, TOP_K))[0] for q in picks)

    sharded.close()

    # Repairs, one lost replica at a time, the two kinds of replica taking
    # turns; answers are checked after each.
    repairs: dict = {"replicated": [], "kept": []}
    for i in range(args.repairs):
        for name, store in (("replicated", replicated), ("kept", kept)):
            victim = store.replica_actors(i % store.shard_count)[0]
            ray.kill(victim)
            while True:  # ray.kill returns before the actor is gone
                try:
                    ray.get(victim.size.remote())
                except ray.exceptions.RayActorError:
                    break
            start = time.perf_counter()
            assert store.replica_counts[i % store.shard_count] == args.replicas - 1
            store.wait_repaired()
            repairs[name].append(time.perf_counter() - start)
            exact(store)
    out["repair_rows"] = capacity
    out["repair_s"] = statistics.median(repairs["replicated"])
    out["repair_kept_s"] = statistics.median(repairs["kept"])
    out["repair_over_kept"] = out["repair_s"] / out["repair_kept_s"]
    # After the batches, single queries and repairs.
    for name, store in (("replicated", replicated), ("kept", kept)):
        out[f"memory_{name}_after_queries_and_repairs_x_raw"] = memory_ratio(store, idle, rows.nbytes)[0]

    print(json.dumps(out, indent=1))
    replicated.close()
    kept.close()
    tiny.close()
    ray.shutdown()


if __name__ == "__main__":
    main()
