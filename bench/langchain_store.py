"""QuillmereVectorStore against LangChain's InMemoryVectorStore, side by side.

    pip install . ./integrations/collection ./integrations/langchain && python bench/langchain_store.py

Both stores get the same documents and the same standard-normal float32
embeddings (d = 384), handed over as Python lists of floats, as embedding
models return them, by a fake `Embeddings` that looks them up: the times are
the stores', not a model's. k = 4. The stores take turns: in each of
`--rounds` rounds, InMemoryVectorStore answers one query and
QuillmereVectorStore answers `--inner` distinct queries, the first of them
the same one. Each figure is the median over all of that store's queries
(QuillmereVectorStore's are short and so more at the mercy of a noisy
machine, hence more of them).

- similarity_search, max_marginal_relevance_search (fetch_k = 20) and
  filtered similarity_search at 1% and 50% selectivity (a `filter(Document)`
  on a metadata field; the matches are spread evenly), at 10k, 50k and 200k
  documents;
- add_documents of 50k documents into an empty store;
- dump and load: both stores at 10k; QuillmereVectorStore alone at 200k
  (InMemoryVectorStore writes indented JSON, far too slow at that size).

The data and the stores are built before the timings start and then frozen
out of the garbage collector's view (gc.freeze), so that a full collection
over millions of long-lived objects does not land at random in one store's
timing.

The answers are compared: the document ids of both stores should agree
(scores are float32 here, float64 there, so near-ties could differ).
"""

import argparse
import gc
import os
import resource
import shutil
import statistics
import tempfile
import time

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import InMemoryVectorStore

from floor import header
from langchain_quillmere import QuillmereVectorStore

K = 4
FILTERS = {
    "1%": lambda doc: doc.metadata["bucket"] == 0,
    "50%": lambda doc: doc.metadata["bucket"] < 50,
}


class LookupEmbeddings(Embeddings):
    """Returns stored vectors: 'doc i' and 'query j' map to precomputed rows."""

    def __init__(self, vectors):
        self.vectors = vectors

    def embed_documents(self, texts):
        return [self.vectors[text] for text in texts]

    def embed_query(self, text):
        return self.vectors[text]


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def side_by_side(calls, rounds, inner):
    """Median seconds of each store's calls (see the docstring), and in how many rounds the two agreed."""
    times = {"memory": [], "quillmere": []}
    agree = 0
    for r in range(rounds):
        seconds, docs = timed(lambda: calls["memory"](r * inner))
        times["memory"].append(seconds)
        expected = [doc.id for doc in docs]
        for i in range(inner):
            seconds, docs = timed(lambda: calls["quillmere"](r * inner + i))
            times["quillmere"].append(seconds)
            if i == 0:
                agree += [doc.id for doc in docs] == expected
    return statistics.median(times["memory"]), statistics.median(times["quillmere"]), agree


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 50_000, 200_000])
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--inner", type=int, default=5)
    parser.add_argument("--add", type=int, default=50_000, help="documents added in the add_documents row")
    parser.add_argument("--dump-small", type=int, default=10_000)
    args = parser.parse_args()

    largest = max(args.sizes + [args.add, args.dump_small])
    rng = np.random.default_rng(0)
    n_queries = args.rounds * args.inner
    rows = rng.standard_normal((largest + n_queries, args.dim), dtype=np.float32)
    lists = rows.tolist()  # Python floats holding the float32 values
    del rows
    texts = [f"doc {i}" for i in range(largest)]
    queries = [f"query {j}" for j in range(n_queries)]
    embedding = LookupEmbeddings(dict(zip(texts + queries, lists)))
    documents = [Document(page_content=text, metadata={"bucket": i % 100}) for i, text in enumerate(texts)]
    ids = [str(i) for i in range(largest)]
    # The long-lived data leaves the collector's view, so that a full
    # collection over it does not land at random in one contender's timing.
    gc.collect()
    gc.freeze()

    for n in sorted(set(args.sizes)):
        print(header(n, args.dim))
    print(f"{os.cpu_count()} CPUs; load average at start {os.getloadavg()[0]:.1f}")
    print(f"d = {args.dim}, k = {K}; medians of {args.rounds} queries (InMemoryVectorStore), {n_queries} (quillmere)\n")
    table = []

    def row(operation, n, memory, quillmere, agree=None):
        if memory and quillmere:
            ratio = memory / quillmere
            ratio = f"{ratio:,.0f}×" if ratio >= 10 else f"{ratio:.2f}×"
        else:
            ratio = "—"
        mem = f"{1e3 * memory:,.2f}" if memory is not None else "—"
        agreement = "" if agree is None else f"{agree}/{args.rounds}"
        table.append(f"| {operation} | {n:,} | {mem} | {1e3 * quillmere:,.2f} | {ratio} | {agreement} |")
        print(table[-1], flush=True)

    print("| operation | documents | InMemoryVectorStore (ms) | QuillmereVectorStore (ms) | speed-up | same ids |")
    print("|---|---:|---:|---:|---:|---:|")
    for n in args.sizes:
        stores = {"memory": InMemoryVectorStore(embedding), "quillmere": QuillmereVectorStore(embedding)}
        for store in stores.values():
            store.add_documents(documents[:n], ids=ids[:n])
        searches = {
            "similarity_search": lambda store, q: store.similarity_search(q, K),
            "MMR, fetch_k = 20": lambda store, q: store.max_marginal_relevance_search(q, K, fetch_k=20),
        }
        for label, keep in FILTERS.items():
            searches[f"filtered, {label} match"] = lambda store, q, f=keep: store.similarity_search(q, K, filter=f)
        gc.freeze()
        for operation, search in searches.items():
            calls = {name: (lambda r, s=store: search(s, queries[r])) for name, store in stores.items()}
            row(operation, n, *side_by_side(calls, args.rounds, args.inner))
        del stores, calls
        gc.unfreeze()  # the stores are gone; freeze only the data again
        gc.collect()
        gc.freeze()

    adds = {"memory": [], "quillmere": []}
    for _ in range(3):
        for name, cls in (("memory", InMemoryVectorStore), ("quillmere", QuillmereVectorStore)):
            store = cls(embedding)
            adds[name].append(timed(lambda: store.add_documents(documents[: args.add], ids=ids[: args.add]))[0])
            del store
            gc.collect()
    row("add_documents (median of 3)", args.add, *(statistics.median(adds[name]) for name in ("memory", "quillmere")))

    scratch = tempfile.mkdtemp(prefix="langchain-store-bench-")
    try:
        for n, with_memory in ((args.dump_small, True), (max(args.sizes), False)):
            contenders = [("quillmere", QuillmereVectorStore)]
            if with_memory:
                contenders.append(("memory", InMemoryVectorStore))
            dumped, loaded = {}, {}
            for name, cls in contenders:
                store = cls(embedding)
                store.add_documents(documents[:n], ids=ids[:n])
                path = os.path.join(scratch, f"{name}-{n}" + (".json" if name == "memory" else ""))
                dumped[name] = timed(lambda: store.dump(path))[0]
                del store
                gc.collect()
                seconds, again = timed(lambda: cls.load(path, embedding))
                loaded[name] = seconds
                assert len(again.get_by_ids(["0", str(n - 1)])) == 2
                del again
                gc.collect()
            row("dump (one run)", n, dumped.get("memory"), dumped["quillmere"])
            row("load (one run)", n, loaded.get("memory"), loaded["quillmere"])
    finally:
        shutil.rmtree(scratch)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20  # KiB on Linux
    print(f"\nload average at end {os.getloadavg()[0]:.1f}; peak resident memory {peak:.1f} GiB")


if __name__ == "__main__":
    main()
