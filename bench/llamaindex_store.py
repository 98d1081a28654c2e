"""QuillmereVectorStore against LlamaIndex's SimpleVectorStore: query time, side by side.

    pip install . ./integrations/collection ./integrations/llamaindex && python bench/llamaindex_store.py

For n = 10,000, 50,000 and 200,000 nodes of d = 384 precomputed
standard-normal float32 embeddings (the same Python floats in both stores),
top 4, `store.query(VectorStoreQuery(...))` is timed:
- without a filter;
- with one metadata filter (`year == 2003`, 10% of the nodes);
- with one matching 1% of the nodes (`bucket == 42`).
Each figure is the median over the same queries, run in turn on the two
stores (interleaved). Both stores must return the same node ids.
About 3 minutes and 5 GB of memory at the default sizes.
"""

import argparse
import statistics
import time

import numpy as np
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.core.vector_stores import SimpleVectorStore
from llama_index.core.vector_stores.types import MetadataFilter, MetadataFilters, VectorStoreQuery

from floor import header
from llama_index.vector_stores.quillmere import QuillmereVectorStore

D = 384
TOP_K = 4
FILTERS = {
    "none": None,
    "year == 2003 (10%)": MetadataFilters(filters=[MetadataFilter(key="year", value=2003)]),
    "bucket == 42 (1%)": MetadataFilters(filters=[MetadataFilter(key="bucket", value=42)]),
}


def make_nodes(rows):
    embeddings = rows.tolist()  # float32 values as Python floats, shared by both stores
    return [
        TextNode(
            id_=f"node-{i}",
            text=f"text of node {i}",
            metadata={"year": 2000 + i % 10, "bucket": i % 100},
            relationships={NodeRelationship.SOURCE: RelatedNodeInfo(node_id=f"doc-{i // 8}")},
            embedding=embedding,
        )
        for i, embedding in enumerate(embeddings)
    ]


def seconds(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def run(n, queries, seed):
    rows = np.random.default_rng([seed, n]).standard_normal((n, D), dtype=np.float32)
    nodes = make_nodes(rows)
    simple, ours = SimpleVectorStore(), QuillmereVectorStore()
    load_simple, _ = seconds(lambda: simple.add(nodes))
    load_ours, _ = seconds(lambda: ours.add(nodes))
    print(f"n={n:,}: add {load_simple:.1f} s (SimpleVectorStore), {load_ours:.1f} s (QuillmereVectorStore)", flush=True)
    query_rows = np.random.default_rng([seed, n, 1]).standard_normal((queries, D), dtype=np.float32).tolist()
    out = []
    for name, filters in FILTERS.items():
        times = {"simple": [], "ours": []}
        for q in query_rows:
            query = VectorStoreQuery(query_embedding=q, similarity_top_k=TOP_K, filters=filters)
            t_simple, a = seconds(lambda: simple.query(query))
            t_ours, b = seconds(lambda: ours.query(query))
            assert a.ids == b.ids, f"the stores disagree: {a.ids} vs {b.ids}"
            times["simple"].append(t_simple)
            times["ours"].append(t_ours)
        simple_ms = 1e3 * statistics.median(times["simple"])
        ours_ms = 1e3 * statistics.median(times["ours"])
        out.append((n, name, simple_ms, ours_ms))
        print(f"  {name}: {simple_ms:.2f} ms vs {ours_ms:.3f} ms", flush=True)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 50_000, 200_000])
    parser.add_argument("--queries", type=int, default=7, help="queries per size and filter")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    results = []
    for n in args.sizes:
        print(header(n, D), flush=True)
        results += run(n, args.queries, args.seed)
    print()
    print(f"| n × {D}, top {TOP_K} | filter | SimpleVectorStore | QuillmereVectorStore | ratio |")
    print("|---|---|---|---|---|")
    for n, name, simple_ms, ours_ms in results:
        print(f"| {n:,} | {name} | {simple_ms:.1f} ms | {ours_ms:.2f} ms | {simple_ms / ours_ms:.0f}× |")


if __name__ == "__main__":
    main()
