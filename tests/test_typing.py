"""The type stub: it matches the compiled module, and a type checker reading it
accepts every kind of input the module accepts and flags misuse.

The stub lives in src/python/quillmere.pyi. An installed copy is found by type
checkers as the stub-only package quillmere-stubs (a single-module distribution
cannot mark itself typed with py.typed)."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quillmere

pytest.importorskip("mypy", reason="mypy is not installed")

SOURCE_STUBS = Path(__file__).resolve().parent.parent / "src" / "python"
MODULE_DIR = Path(quillmere.__file__).resolve().parent
# Imported from an installed wheel (not from a build tree): the stub must be installed too.
INSTALLED = any(MODULE_DIR.glob("quillmere-*.dist-info"))


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(args, cwd, source_stub):
    env = dict(os.environ)
    # The subprocess must import the very module under test.
    env["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR)] + [p for p in [env.get("PYTHONPATH")] if p])
    if source_stub:
        env["MYPYPATH"] = str(SOURCE_STUBS)
    else:
        env.pop("MYPYPATH", None)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=300,
    )


def test_stub_matches_the_compiled_module(tmp_path):
    """Every name, parameter (name, kind, default), property and the final
    class in the stub agree with what the imported module exposes."""
    result = run_mypy(["mypy.stubtest", "quillmere"], tmp_path, source_stub=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


# Each line that must be flagged ends with "# E: <error code>"; each reveal_type
# line ends with "# R: <type>"; every other line must check cleanly.
SNIPPET = '''\
import array
import numpy as np
import quillmere

store = quillmere.Vectorstore(3)
store = quillmere.Vectorstore(vector_size=np.int64(3), vectors=None)
store = quillmere.Vectorstore(3, [([0.1, 0.7, 0.2], 1), ((1, 2, 3), True)])
store = quillmere.Vectorstore(3, ((np.ones(3, dtype=np.float32), np.uint64(2)),))
store.insert(array.array("f", [1, 2, 3]), 3)
store.insert(range(3), 4)
store.insert(b"abc", 5)
store.insert(vector=np.arange(3.0), id=6)
store.insert([np.float32(1), 2, 3.5], 7)
hits: list[tuple[float, int]] = store.search(np.zeros(3), top_k=2)
hits = store.parallel_search([1.0, 2.0, 3.0], np.intp(2), n_threads=np.int32(2))
reveal_type(store.search([1.0, 2.0, 3.0], 2))  # R: list[tuple[float, int]]
reveal_type(store.parallel_search([1.0, 2.0, 3.0], 2))  # R: list[tuple[float, int]]
reveal_type(store.parallel_search((1, 2, 3), 2, None))  # R: list[tuple[float, int]]
reveal_type(store.vector_size)  # R: int
reveal_type(len(store))  # R: int
reveal_type(repr(store))  # R: str
reveal_type(quillmere.cosine_similarity([1, 2], (3.0, 4.0)))  # R: float
reveal_type(store.search_batch(np.zeros((2, 3)), 2, allowed=b"\\x07"))  # R: list[list[tuple[float, int]]]
reveal_type(store.range_search([[1.0, 2.0, 3.0]], 0.5, allowed=bytearray(1)))  # R: list[list[tuple[float, int]]]
store.search_batch([[1.0, 2.0, 3.0]], 2, None, b"\\x01")  # E: call-arg
store.range_search([[1.0, 2.0, 3.0]], 0.5, allowed=[1])  # E: arg-type
store.insert("abc", 9)  # E: arg-type
store.insert([1.0, "x", 3.0], 9)  # E: list-item
store.insert({1.0, 2.0, 3.0}, 9)  # E: arg-type
store.insert((x for x in [1.0, 2.0, 3.0]), 9)  # E: arg-type
store.insert([1.0, 2.0, 3.0], 1.5)  # E: arg-type
store.insert([1.0, 2.0, 3.0])  # E: call-arg
store.search([1.0, 2.0, 3.0], None)  # E: arg-type
store.parallel_search([1.0, 2.0, 3.0], 2, 2.0)  # E: arg-type
store.parallel_search([1.0, 2.0, 3.0], 2, threads=2)  # E: call-arg
quillmere.Vectorstore(3, [[[1.0, 2.0, 3.0], 1]])  # E: list-item
quillmere.Vectorstore(3, [([1.0, 2.0, 3.0], 1, 2)])  # E: list-item
quillmere.Vectorstore(3, (([1.0, 2.0, 3.0], i) for i in range(2)))  # E: arg-type
quillmere.Vectorstore("3")  # E: arg-type
quillmere.cosine_similarity([1.0], None)  # E: arg-type
store.vector_size = 4  # E: misc
store.get_vector_size  # E: attr-defined
store.tag = "x"  # E: attr-defined
store[0]  # E: index
quillmere.PanicException  # E: attr-defined
class Sub(quillmere.Vectorstore): ...  # E: misc
'''

LINE = re.compile(r"^[^:]+:(\d+): (error|note): (.*?)(?:  \[([a-z-]+)\])?$")


def expectations():
    errors, reveals = {}, {}
    for number, line in enumerate(SNIPPET.splitlines(), start=1):
        if "# E: " in line:
            errors[number] = line.rsplit("# E: ", 1)[1].strip()
        elif "# R: " in line:
            reveals[number] = line.rsplit("# R: ", 1)[1].strip()
    return errors, reveals


@pytest.mark.parametrize("stub", ["source", "installed"])
def test_type_checker_reads_the_stub(stub, tmp_path, mypy_cache):
    pytest.importorskip("numpy")
    if stub == "installed" and not INSTALLED:
        pytest.skip("quillmere is not imported from an installed wheel")
    (tmp_path / "use.py").write_text(SNIPPET)
    result = run_mypy(
        ["mypy", "--strict", "--no-pretty", "--show-error-codes", "--hide-error-context",
         "--no-error-summary", "--config-file", "", "--cache-dir", str(mypy_cache), "use.py"],
        tmp_path, source_stub=(stub == "source"),
    )
    assert "import-not-found" not in result.stdout and "import-untyped" not in result.stdout, result.stdout
    errors, reveals = {}, {}
    for line in result.stdout.splitlines():
        match = LINE.match(line)
        if match is None:
            continue  # explanatory notes of a protocol mismatch
        number, kind, message, code = int(match[1]), match[2], match[3], match[4]
        if kind == "error":
            # Older mypy releases (the last for Python 3.9) file too many
            # positional arguments under "misc".
            if message.startswith("Too many positional arguments") and code == "misc":
                code = "call-arg"
            errors.setdefault(number, code)
        elif message.startswith("Revealed type is "):
            # Older mypy releases qualify builtin names ("builtins.int").
            reveals[number] = message[len('Revealed type is "'):-1].replace("builtins.", "")
    expected_errors, expected_reveals = expectations()
    assert errors == expected_errors, result.stdout
    assert reveals == expected_reveals, result.stdout
