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
Both filters compile to the collection's dict form, answered from its
payload indexes; each filtered call is also timed with the compiler switched
off, on Haystack's matcher per document (the store before filters
compiled), in turn with the compiled one. Then `filter_documents` with each
filter is timed the same way, `--inner` times.
The stores take turns query by query; the in-memory pair answers each
query once and Quillmere's `--inner` times. Each figure is the median of
that store's runs. The data are built first and frozen out of the garbage
collector's view (gc.freeze), so that no full collection lands in a timing.
The ids returned are compared (float32 scores here, float64 there, so a
near-tie could differ). About 4 minutes and 6 GB of memory at the default sizes.
"""

import argparse
import contextlib
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
from haystack_integrations.document_stores.quillmere import filters as quillmere_filters

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


@contextlib.contextmanager
def per_document_matcher():
    """The store as it was before filters compiled: every filter on Haystack's matcher, per document."""
    compile_dict = quillmere_filters.compile_dict
    quillmere_filters.compile_dict = lambda filters, kinds: None
    try:
        yield
    finally:
        quillmere_filters.compile_dict = compile_dict


def compare(n, name, calls, filtered, query_rows, inner):
    """Median seconds of calls["theirs"](q) (once per query), of calls["ours"](q) (`inner` times),
    and, when `filtered`, of calls["ours"] on the per-document matcher (`inner` times), taking turns."""
    times = {"theirs": [], "ours": [], "matcher": []}
    same = 0
    for q in query_rows:
        t, a = seconds(lambda: calls["theirs"](q))
        times["theirs"].append(t)
        for _ in range(inner):
            t, b = seconds(lambda: calls["ours"](q))
            times["ours"].append(t)
            if filtered:
                with per_document_matcher():
                    t, c = seconds(lambda: calls["ours"](q))
                times["matcher"].append(t)
                assert [d.id for d in c] == [d.id for d in b]
        same += [d.id for d in a] == [d.id for d in b]
    ms = {key: 1e3 * statistics.median(value) if value else None for key, value in times.items()}
    matcher = "" if ms["matcher"] is None else f" ({ms['matcher']:.2f} ms on the per-document matcher)"
    print(f"  {name}: {ms['theirs']:.2f} ms vs {ms['ours']:.3f} ms{matcher}; same ids in {same} of {len(query_rows)}",
          flush=True)
    return n, name, ms["theirs"], ms["ours"], ms["matcher"], same, len(query_rows)


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
        calls = {
            "theirs": lambda q: retrievers["theirs"].run(query_embedding=q, filters=filters)["documents"],
            "ours": lambda q: retrievers["ours"].run(query_embedding=q, filters=filters)["documents"],
        }
        out.append(compare(n, name, calls, filters is not None, query_rows, inner))
    for name, filters in FILTERS.items():
        if filters is not None:
            calls = {"theirs": lambda q: theirs.filter_documents(filters), "ours": lambda q: ours.filter_documents(filters)}
            out.append(compare(n, f"`filter_documents`, {name}", calls, True, query_rows[:1] * inner, 1))
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
    print(f"| documents × {D} | native read floor | call, filter | InMemory | Quillmere | ratio "
          "| Quillmere, per-document matcher | same ids |")
    print("|---|---|---|---|---|---|---|---|")
    for n, name, theirs_ms, ours_ms, matcher_ms, same, total in results:
        floor = floors.pop(n, "")
        matcher = "" if matcher_ms is None else f"{matcher_ms:,.2f} ms ({matcher_ms / ours_ms:,.1f}× slower)"
        print(f"| {n:,} | {floor} | {name} | {theirs_ms:,.1f} ms | {ours_ms:.2f} ms | "
              f"{theirs_ms / ours_ms:,.0f}× | {matcher} | {same} of {total} |")


if __name__ == "__main__":
    main()
