"""QuillmereDocumentStore + QuillmereEmbeddingRetriever against Haystack's in-memory pair, side by side.

    pip install . ./integrations/collection ./integrations/haystack && python bench/haystack_store.py

For n = 10,000, 50,000 and 200,000 documents of d = 384 precomputed
standard-normal float32 embeddings (the same Document objects, embeddings
as Python floats, written to both stores), top 10,
`retriever.run(query_embedding=..., filters=...)` is timed for
`InMemoryEmbeddingRetriever` over `InMemoryDocumentStore(embedding_similarity_function="cosine")`
and for `QuillmereEmbeddingRetriever` over `QuillmereDocumentStore`:
- without a filter;
- with `meta.year == 2003` (10% of the documents);
- with `meta.bucket == 42` (1%).
The stores take turns query by query; the in-memory pair answers each
query once and Quillmere's `--inner` times. Each figure is the median of
that store's runs. The data are built first and frozen out of the garbage
collector's view (gc.freeze), so that no full collection lands in a timing.
The ids returned are compared (float32 scores here, float64 there, so a
near-tie could differ). About 4 minutes and 6 GB of memory at the default sizes.
"""

import argparse
import gc
import os
import statistics
import time

os.environ.setdefault("HAYSTACK_TELEMETRY_ENABLED", "False")

import numpy as np
from haystack import Document
from haystack.components.retrievers.in_memory import InMemoryEmbeddingRetriever
from haystack.document_stores.in_memory import InMemoryDocumentStore

from floor import header
from haystack_integrations.components.retrievers.quillmere import QuillmereEmbeddingRetriever
from haystack_integrations.document_stores.quillmere import QuillmereDocumentStore

D = 384
TOP_K = 10
FILTERS = {
    "none": None,
    "`meta.year == 2003` (10% match)": {"field": "meta.year", "operator": "==", "value": 2003},
    "`meta.bucket == 42` (1% match)": {"field": "meta.bucket", "operator": "==", "value": 42},
}


def seconds(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def run(n, queries, inner, seed):
    rows = np.random.default_rng([seed, n]).standard_normal((n, D), dtype=np.float32)
    docs = [
        Document(id=f"doc-{i}", content=f"text of document {i}", meta={"year": 2000 + i % 10, "bucket": i % 100},
                 embedding=embedding)
        for i, embedding in enumerate(rows.tolist())
    ]
    del rows
    theirs = InMemoryDocumentStore(embedding_similarity_function="cosine", shared=False)
    ours = QuillmereDocumentStore(shared=False)
    write_theirs, _ = seconds(lambda: theirs.write_documents(docs))
    write_ours, _ = seconds(lambda: ours.write_documents(docs))
    print(f"n={n:,}: write {write_theirs:.1f} s (InMemoryDocumentStore), {write_ours:.1f} s (QuillmereDocumentStore)",
          flush=True)
    retrievers = {"theirs": InMemoryEmbeddingRetriever(theirs, top_k=TOP_K),
                  "ours": QuillmereEmbeddingRetriever(ours, top_k=TOP_K)}
    query_rows = np.random.default_rng([seed, n, 1]).standard_normal((queries, D), dtype=np.float32).tolist()
    gc.collect()
    gc.freeze()
    out = []
    for name, filters in FILTERS.items():
        times = {"theirs": [], "ours": []}
        same = 0
        for q in query_rows:
            t, a = seconds(lambda: retrievers["theirs"].run(query_embedding=q, filters=filters))
            times["theirs"].append(t)
            for _ in range(inner):
                t, b = seconds(lambda: retrievers["ours"].run(query_embedding=q, filters=filters))
                times["ours"].append(t)
            same += [d.id for d in a["documents"]] == [d.id for d in b["documents"]]
        theirs_ms = 1e3 * statistics.median(times["theirs"])
        ours_ms = 1e3 * statistics.median(times["ours"])
        out.append((n, name, theirs_ms, ours_ms, same, len(query_rows)))
        print(f"  {name}: {theirs_ms:.2f} ms vs {ours_ms:.3f} ms; same ids in {same} of {len(query_rows)}", flush=True)
    gc.unfreeze()
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 50_000, 200_000])
    parser.add_argument("--queries", type=int, default=7, help="queries per size and filter")
    parser.add_argument("--inner", type=int, default=3, help="runs of each query on QuillmereDocumentStore")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    results, floors = [], {}
    for n in args.sizes:
        line = header(n, D)
        print(line, flush=True)
        floors[n] = line.rsplit(": ", 1)[1].split(",")[0]
        results += run(n, args.queries, args.inner, args.seed)
    print()
    print(f"| documents × {D} | native read floor | filter | InMemory | Quillmere | ratio | same ids |")
    print("|---|---|---|---|---|---|---|")
    for n, name, theirs_ms, ours_ms, same, total in results:
        floor = floors.pop(n, "")
        print(f"| {n:,} | {floor} | {name} | {theirs_ms:,.1f} ms | {ours_ms:.2f} ms | "
              f"{theirs_ms / ours_ms:,.0f}× | {same} of {total} |")


if __name__ == "__main__":
    main()
