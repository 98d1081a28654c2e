"""Running out of memory.

A child process lowers its address-space limit and then drives the module into the wall: inserting
until no new storage can be had, converting an endless vector, building a store from an endless
list of pairs, searching for a result too big to build, and asking for more worker threads than
there is room for. Every time the call
fails with MemoryError (or, for threads that cannot be started, the documented failure to spawn a
thread), the store is exactly as before, no worker thread is left behind, and once memory is
available again the store works on as if nothing had happened.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

import quillmere

pytestmark = pytest.mark.skipif(
    "libasan" in open("/proc/self/maps").read(),
    reason="AddressSanitizer reserves terabytes of address space; an address-space limit cannot apply",
)

CHILD = r"""
import array, json, os, random, resource, sys
from quillmere import Vectorstore, cosine_similarity

D = 256
POOL = [array.array("f", [random.Random(j).uniform(-1.0, 1.0) for _ in range(D)]) for j in range(64)]
PROBES = [POOL[3], array.array("f", [1.0] * D)]
MiB = 1 << 20
SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)
out = {}


def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()


def threads():
    return len(os.listdir("/proc/self/task"))


def limit(headroom):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, HARD))


def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))


def outcome(fn):
    try:
        fn()
        return "returned"
    except BaseException as exc:
        return f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}"


def expected_ranking(q, n):
    # Entry i holds POOL[i % 64]; equal vectors keep insertion order.
    score = [cosine_similarity(q, v) for v in POOL]
    order = sorted(range(n), key=lambda i: (-score[i % 64], i))
    return [(score[i % 64], i) for i in order]


def consistent(store, n):
    if len(store) != n or repr(store) != f"Vectorstore(vector_size={D}, len={n})":
        return False
    for q in PROBES:
        ranking = expected_ranking(q, n)
        if store.search(q, n + 1) != ranking or store.parallel_search(q, 25, 2) != ranking[:25]:
            return False
    return True


store = Vectorstore(D)
for i in range(1000):
    store.insert(POOL[i % 64], i)
n = 1000

# 1. Insert until no new segment can be allocated.
limit(48 * MiB)
failure = None
while n < 10_000_000:
    try:
        store.insert(POOL[n % 64], n)
    except MemoryError as exc:
        failure = exc
        break
    n += 1
out["insert_failed"] = failure is not None
out["inserted"] = n
out["len_at_the_wall"] = len(store)
out["again_at_the_wall"] = outcome(lambda: store.insert(POOL[0], -1 % 2**64))
out["len_after_again"] = len(store)
# A little memory comes back: reading works although inserting still cannot.
limit(8 * MiB)
out["readable_near_the_wall"] = store.search(PROBES[0], 10) == expected_ranking(PROBES[0], n)[:10]
unlimit()
out["consistent_after_insert_failure"] = consistent(store, n)

# 2. Vectors that never end: the conversion runs out of memory, the store is untouched.
limit(24 * MiB)
out["endless_insert"] = outcome(lambda: store.insert(range(10**12), 1))
out["endless_search"] = outcome(lambda: store.search(range(10**12), 1))
out["endless_parallel_search"] = outcome(lambda: store.parallel_search(range(10**12), 1, 2))
out["endless_cosine"] = outcome(lambda: cosine_similarity(range(10**12), [1.0]))
unlimit()
out["consistent_after_endless_vectors"] = consistent(store, n)


# 3. A store built from pairs that never end: no store, and its memory is given back, so that
# every further attempt in the same room gets as far as the first one.
class EndlessPairs:
    def __init__(self):
        self.taken = 0

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        self.taken += 1
        return (POOL[i % 64], i)


limit(32 * MiB)
out["endless_pairs"], out["pairs_taken"] = [], []
for _ in range(4):
    pairs = EndlessPairs()
    out["endless_pairs"].append(outcome(lambda: Vectorstore(D, pairs)))
    out["pairs_taken"].append(pairs.taken)
unlimit()

# 4. More workers than there are stacks for, again and again: no thread and no memory is left.
# The first round lets the C library keep the stacks of finished threads for reuse.
limit(48 * MiB)
spawn = [outcome(lambda: store.parallel_search(PROBES[1], 5, 64))]
unlimit()
baseline_threads, baseline_space = threads(), address_space()
limit(48 * MiB)
spawn += [outcome(lambda: store.parallel_search(PROBES[1], 5, 64)) for _ in range(30)]
unlimit()
out["spawn_outcomes"] = sorted(set(s.split(":")[0] for s in spawn))
out["spawn_messages"] = sorted(set(spawn))[:3]
out["threads_left"] = threads() - baseline_threads
out["space_growth"] = address_space() - baseline_space
out["consistent_after_spawn_failures"] = consistent(store, n)

# 5. Usable as before: more inserts, all of them found.
for i in range(n, n + 100):
    store.insert(POOL[i % 64], i)
out["consistent_at_the_end"] = consistent(store, n + 100)
print(json.dumps(out))
"""


# A result list that cannot be built: the store and the search fit, the Python objects of a
# result with every entry do not. The call runs on a thread that has not called into the module
# before (the interpreter's main thread, or a new one), so that nothing the module keeps per
# thread exists yet when memory runs out.
RESULT_CHILD = r"""
import array, json, resource, sys, threading
from quillmere import Vectorstore

method, where = sys.argv[1], sys.argv[2]
N = 500_000
SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)
store = Vectorstore(1)
one = array.array("f", [1.0])
for i in range(N):
    store.insert(one, i)


def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()


outcomes = []


def attempt():
    for headroom in (40, 48, 64, 96):
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + (headroom << 20), HARD))
        try:
            extra = (1,) if method == "parallel_search" else ()
            result = getattr(store, method)(one, N, *extra)
            outcome = "returned" if len(result) == N and result[-1] == (1.0, N - 1) else "wrong result"
            del result
        except BaseException as exc:
            outcome = f"{type(exc).__module__}.{type(exc).__qualname__}"
        resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
        outcomes.append(outcome)


if where == "main":
    attempt()
else:
    worker = threading.Thread(target=attempt)
    worker.start()
    worker.join()
print(json.dumps({"outcomes": outcomes, "len": len(store), "top": store.search(one, 2)}))
"""


def run_child(code, *args):
    env = dict(os.environ, MALLOC_ARENA_MAX="1")
    mod_dir = os.path.dirname(os.path.abspath(quillmere.__file__))
    prelude = f"import sys\nsys.path.insert(0, {mod_dir!r})\n"
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code), *args],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def child():
    return run_child(CHILD)


@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("method", ["search", "parallel_search"])
def test_result_that_does_not_fit_raises_memory_error(method, where):
    out = run_child(RESULT_CHILD, method, where)
    assert set(out["outcomes"]) <= {"returned", "builtins.MemoryError"}, out["outcomes"]
    assert "builtins.MemoryError" in out["outcomes"]
    assert out["len"] == 500_000
    assert out["top"] == [[1.0, 0], [1.0, 1]]


def test_inserting_until_memory_runs_out_raises_memory_error(child):
    assert child["insert_failed"]
    assert child["inserted"] > 1000 + 10_000  # 48 MiB of room holds tens of thousands of entries
    assert child["len_at_the_wall"] == child["inserted"]
    assert child["again_at_the_wall"] == "builtins.MemoryError: "
    assert child["len_after_again"] == child["inserted"]


def test_store_stays_consistent_and_usable(child):
    assert child["readable_near_the_wall"]
    for stage in ("insert_failure", "endless_vectors", "spawn_failures"):
        assert child[f"consistent_after_{stage}"], stage
    assert child["consistent_at_the_end"]


@pytest.mark.parametrize("call", ["insert", "search", "parallel_search", "cosine"])
def test_endless_vector_raises_memory_error(child, call):
    assert child[f"endless_{call}"].startswith("builtins.MemoryError")


def test_endless_pairs_raise_memory_error_and_free_the_partial_store(child):
    assert all(o.startswith("builtins.MemoryError") for o in child["endless_pairs"]), child["endless_pairs"]
    taken = child["pairs_taken"]
    assert taken[0] > 10_000  # 32 MiB of room holds tens of thousands of entries
    # A partial store kept after its failure would leave less room for the next attempt.
    assert min(taken) > 0.9 * max(taken), taken


def test_failing_to_start_workers_leaves_nothing_behind(child):
    # Either the workers' stacks do not fit (the documented spawn failure) or, where they all fit,
    # the search simply succeeds; memory errors are allowed too. Nothing else.
    allowed = {"returned", "pyo3_runtime.PanicException", "builtins.MemoryError"}
    assert set(child["spawn_outcomes"]) <= allowed, child["spawn_messages"]
    assert "pyo3_runtime.PanicException" in child["spawn_outcomes"]
    for message in child["spawn_messages"]:
        if message.startswith("pyo3_runtime"):
            assert message.startswith("pyo3_runtime.PanicException: failed to spawn thread: "), message
    assert child["threads_left"] == 0
    assert child["space_growth"] < (1 << 20), child["space_growth"]
