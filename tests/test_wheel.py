"""The wheel that `pip wheel .` builds: what it contains, what its shared object
exports, and that it works once installed into a clean virtual environment."""
import ast
import shutil
import subprocess
import sys
import textwrap
import venv
import zipfile
from pathlib import Path

import pytest
from oracle import assert_same_results, top_k

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", str(out), str(ROOT)],
        check=True, capture_output=True, timeout=900,
    )
    (path,) = out.glob("quillmere-*.whl")
    return path


def test_wheel_holds_the_module_and_its_stubs(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if ".dist-info/" not in n]
        stub = (ROOT / "src" / "python" / "quillmere.pyi").read_bytes()
        assert archive.read("quillmere.pyi") == stub
        assert archive.read("quillmere-stubs/__init__.pyi") == stub
    (module,) = [n for n in names if n.endswith(".so")]
    assert module.startswith("quillmere.") and "/" not in module
    assert sorted(names) == sorted([module, "quillmere.pyi", "quillmere-stubs/__init__.pyi"])


def test_shared_object_exports_only_the_entry_point(wheel, tmp_path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    with zipfile.ZipFile(wheel) as archive:
        (module,) = [n for n in archive.namelist() if n.endswith(".so")]
        archive.extract(module, tmp_path)
    out = subprocess.run([nm, "-D", "--defined-only", str(tmp_path / module)],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split() for line in out.splitlines() if line.strip()]
    assert [s[-1] for s in symbols] == ["PyInit_quillmere"]
    assert symbols[0][-2] == "T"  # a function in the text section


def test_wheel_installs_and_runs_in_a_clean_environment(wheel, tmp_path):
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=False)
    python = env_dir / "bin" / "python"
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-deps", "-q", str(wheel)],
                   check=True, capture_output=True, timeout=300)
    entries = [([1.0, 0.0], 1), ([0.0, 1.0], 2), ([1.0, 1.0], 3)]
    query = [1.0, 0.1]
    script = textwrap.dedent(f"""
        import quillmere
        store = quillmere.Vectorstore(2, {entries[:2]!r})
        store.insert({entries[2][0]!r}, {entries[2][1]!r})
        print(repr((store.search({query!r}, 2), store.parallel_search({query!r}, 2, n_threads=2), repr(store))))
    """)
    # -I: isolated mode, so nothing from this checkout or the environment is importable.
    result = subprocess.run([str(python), "-I", "-c", script], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    found, found_parallel, text = ast.literal_eval(result.stdout)
    assert_same_results(found, top_k(entries, query, 2))
    assert found_parallel == found
    assert text == "Vectorstore(vector_size=2, len=3)"
