import os
import pickle
import struct
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import pytest

pytest.importorskip("ray", reason="ray is not installed: pip install './integrations/ray[test]'")
np = pytest.importorskip("numpy", reason="numpy is not installed: pip install './integrations/ray[test]'")

import quillmere  # noqa: E402
from conftest import start_ray  # noqa: E402
import quillmere_ray  # noqa: E402
import ray  # noqa: E402

D = 3
CAPACITY = 7


def make_data(n=40, seed=7):
    """Rows from a small grid, so that many scores are equal (ties straddle
    shard boundaries), with zero rows, signed zeros and a few NaN rows."""
    rng = np.random.default_rng(seed)
    rows = rng.choice(np.array([-1.0, -0.0, 0.0, 1.0, 2.0]), size=(n, D))
    rows[[5, 6, 20]] = 0.0
    rows[[3, 13, 14]] = np.nan
    rows[7:9] = rows[6]  # equal rows across the first shard boundary
    rows[27] = rows[28] = rows[1]
    ids = rng.integers(0, 2**64, size=n, dtype=np.uint64)
    ids[10] = ids[11]  # ids need not be unique
    return rows, ids


ROWS, IDS = make_data()
QUERIES = np.vstack([ROWS[[0, 1, 6, 13]], np.zeros(D), [1.0, -0.0, 0.5], np.random.default_rng(1).standard_normal((6, D))])


def bits(results):
    """Results with every score as its 64 bits, so NaN, -0.0 and +0.0 compare exactly."""
    return [(struct.pack("<d", score), id_) for score, id_ in results]


def load(store, how, rows, ids, tmp_path):
    n = len(rows)
    if how == "insert":
        for row, id_ in zip(rows, ids.tolist()):
            store.insert(row.tolist(), id_)
    elif how == "extend":
        store.extend(list(zip(rows, ids.tolist())))
    elif how == "array":
        store.extend_array(rows, ids)
    elif how == "npy":  # mixed: partial shards filled from a file, then from pairs and arrays
        path = tmp_path / "rows.npy"
        np.save(path, rows[:10])
        store.extend_array(str(path), ids[:10])
        store.extend(list(zip(rows[10:12], ids[10:12].tolist())))
        store.insert(rows[12], int(ids[12]))
        store.extend_array(rows[13:], ids[13:])
    assert len(store) == n


def replicated(*args, **kwargs):
    """A store with replicas on the test's single Ray node, without its warning."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Ray runs a single node")
        return quillmere_ray.ShardedVectorstore(*args, **kwargs)


@pytest.fixture(scope="module", params=[("insert", 1), ("extend", 1), ("array", 1), ("npy", 1), ("npy", 2)])
def loaded(request, ray_session, tmp_path_factory):
    how, replicas = request.param
    store = replicated(D, shard_capacity=CAPACITY, replicas=replicas)
    load(store, how, ROWS, IDS, tmp_path_factory.mktemp("npy"))
    yield store
    store.close()


REFERENCE = quillmere.Vectorstore(D, list(zip(ROWS, IDS.tolist())))


def test_shards_fill_in_order(loaded):
    full, rest = divmod(len(ROWS), CAPACITY)
    assert loaded.shard_sizes == (CAPACITY,) * full + ((rest,) if rest else ())
    assert loaded.shard_count == len(loaded.shard_sizes)


@pytest.mark.parametrize("top_k", [0, 1, 6, 8, len(ROWS), len(ROWS) + 5])
def test_search_equals_one_store(loaded, top_k):
    expected = [bits(REFERENCE.search(q, top_k)) for q in QUERIES]
    assert [bits(loaded.search(q, top_k)) for q in QUERIES] == expected
    assert [bits(r) for r in loaded.search_batch(QUERIES, top_k)] == expected
    assert [bits(r) for r in loaded.search_batch(QUERIES.tolist(), top_k)] == expected
    assert [bits(r) for r in loaded.search_batch(iter(QUERIES), top_k, n_threads=1)] == expected


@pytest.mark.parametrize("min_score", [-np.inf, -1.0, -0.0, 0.5, 1.0, np.inf, "a stored score"])
def test_range_search_equals_one_store(loaded, min_score):
    if min_score == "a stored score":  # equality qualifies, ties straddle shard boundaries
        min_score = REFERENCE.search(QUERIES[0], 8)[7][0]
    expected = [bits([h for h in REFERENCE.search(q, len(ROWS)) if h[0] >= min_score]) for q in QUERIES]
    assert [bits(r) for r in loaded.range_search(QUERIES, min_score)] == expected
    assert [bits(r) for r in loaded.range_search(QUERIES.tolist(), min_score, 2)] == expected


@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.float16])
def test_arrays_are_narrowed_like_the_module(ray_session, dtype):
    rng = np.random.default_rng(3)
    if dtype is np.int64:
        # Just above half a float32 step but exactly half after rounding to
        # double: going straight to float32 rounds the other way.
        rows = rng.choice([-1, 1], (20, D)) * (2**62 + rng.integers(0, 2**21, (20, D)) * 2**40 + 2**38 + 1)
    else:
        rows = rng.standard_normal((20, D)).astype(dtype)
    store = quillmere_ray.ShardedVectorstore(D, shard_capacity=8)
    store.extend_array(rows)
    expected = quillmere.Vectorstore(D, list(zip(rows, range(20))))
    query = rows[4].astype(np.float64) + 0.1
    assert bits(store.search(query, 20)) == bits(expected.search(query, 20))
    store.close()


def test_empty_store(ray_session):
    store = quillmere_ray.ShardedVectorstore(D)
    assert (len(store), store.shard_count, store.search([1, 2, 3], 5)) == (0, 0, [])
    assert store.search_batch(np.ones((2, D)), 5) == [[], []]
    # Empty input is taken alike by both loaders, as by the constructor.
    for empty in ([], np.empty((0,)), np.empty((0, D), np.float64)):
        store.extend(list(empty))
        store.extend_array(empty)
        store.extend_array(empty, ids=[])
    assert (len(store), store.shard_count) == (0, 0)


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


BAD_CALLS = {
    "query length": (lambda s: s.search([1.0, 2.0], 3), lambda v: v.search([1.0, 2.0], 3)),
    "query type": (lambda s: s.search("abc", 3), lambda v: v.search("abc", 3)),
    "negative top_k": (lambda s: s.search([1, 2, 3], -1), lambda v: v.search([1, 2, 3], -1)),
    "batch query": (lambda s: s.search_batch([[1, 2, 3], [1, 2]], 3), lambda v: v.search_batch([[1, 2, 3], [1, 2]], 3)),
    "batch top_k": (lambda s: s.search_batch(QUERIES, -1), lambda v: v.search_batch(QUERIES, -1)),
    "batch n_threads": (lambda s: s.search_batch(QUERIES, 3, "2"), lambda v: v.search_batch(QUERIES, 3, "2")),
    "range NaN": (lambda s: s.range_search(QUERIES, float("nan")), lambda v: v.range_search(QUERIES, float("nan"))),
    "range query": (lambda s: s.range_search([[1, 2]], 0.5), lambda v: v.range_search([[1, 2]], 0.5)),
    "batch width": (lambda s: s.search_batch(np.ones((2, 4)), 3), (ValueError, "queries must be 2-D with 3 columns (vector_size), got shape (2, 4)")),
    "batch empty width": (lambda s: s.search_batch(np.ones((0, 4)), 3), (ValueError, "queries must be 2-D with 3 columns (vector_size), got shape (0, 4)")),
    "batch 1-D": (lambda s: s.search_batch(ROWS[0], 3), (ValueError, "queries must be 2-D with 3 columns (vector_size), got shape (3,)")),
    "batch 3-D": (lambda s: s.search_batch(ROWS[:4].reshape(2, 2, D), 3), (ValueError, "queries must be 2-D with 3 columns (vector_size), got shape (2, 2, 3)")),
    "insert length": (lambda s: s.insert([1.0], 9), lambda v: v.insert([1.0], 9)),
    "insert id": (lambda s: s.insert([1, 2, 3], -9), lambda v: v.insert([1, 2, 3], -9)),
    "extend pair": (
        lambda s: s.extend([([1, 2, 3], 1), ([1, 2], 2), ([1, 2, 3], None)]),
        lambda v: quillmere.Vectorstore(D, [([1, 2, 3], 1), ([1, 2], 2), ([1, 2, 3], None)]),
    ),
    "array width": (lambda s: s.extend_array(np.ones((2, 4))), lambda v: quillmere.Vectorstore(D, [(np.ones(4), 0)])),
    "array empty width": (lambda s: s.extend_array(np.empty((0, 4))), (ValueError, "array has rows of length 4 but vectorstore expects 3")),
    "array negative id": (
        lambda s: s.extend_array(np.ones((3, D)), np.array([1, -2, 3])),
        (OverflowError, "argument 'ids': ids[1] is -2, but ids must be integers in [0, 2**64)"),
    ),
    "array float id": (
        lambda s: s.extend_array(np.ones((3, D)), np.arange(3) + 0.5),
        (TypeError, "argument 'ids': ids[0] is 0.5 (numpy.float64), but ids must be integers in [0, 2**64)"),
    ),
    "array huge id": (
        lambda s: s.extend_array(np.ones((2, D)), np.array([1, 2**64], dtype=object)),
        (OverflowError, f"argument 'ids': ids[1] is {2**64}, but ids must be integers in [0, 2**64)"),
    ),
    "pickle": (lambda s: pickle.dumps(s), (TypeError, quillmere_ray._store.PICKLE_REFUSAL)),
    "timeout": (lambda s: s.search(ROWS[0], 3, timeout=-1), (ValueError, "timeout must be at least 0, got -1")),
}


@pytest.mark.parametrize("case", sorted(BAD_CALLS))
def test_refused_calls_raise_the_module_error_and_change_nothing(ray_session, case):
    sharded_call, expected = BAD_CALLS[case]
    store = quillmere_ray.ShardedVectorstore(D, shard_capacity=2)
    store.extend_array(ROWS[:3])
    if callable(expected):  # the module's own error for the same input
        expected = raised(lambda: expected(quillmere.Vectorstore(D)))
    assert raised(lambda: sharded_call(store)) == expected
    assert store.shard_sizes == (2, 1)
    assert bits(store.search(ROWS[0], 5)) == bits(quillmere.Vectorstore(D, list(zip(ROWS[:3], range(3)))).search(ROWS[0], 5))
    store.close()


@pytest.mark.parametrize("replicas, reason", [(1, "its actor has died"), (2, "no replica of it is left")])
def test_a_dead_shard_raises_instead_of_a_short_answer(ray_session, replicas, reason):
    store = replicated(D, shard_capacity=10, replicas=replicas)
    store.extend_array(ROWS, IDS)
    kill(store.replica_actors(1))
    for call in (lambda: store.search(ROWS[0], 5), lambda: store.search_batch(ROWS[:2], 5),
                 lambda: store.insert(ROWS[0], 1), lambda: store.extend_array(ROWS[:2]), store.wait_repaired):
        with pytest.raises(quillmere_ray.ShardUnavailableError, match=rf"^shard 1 of 4 is unavailable: {reason}"):
            call()
    with pytest.raises(quillmere_ray.ShardUnavailableError, match="^shard 1 of 4 is unavailable"):
        len(store)  # it would count the lost entries
    assert store.replica_counts == (replicas, 0, replicas, replicas)
    store.close()


def kill(actors):
    """Kills actors and waits until they are gone: ray.kill returns before that."""
    for actor in actors:
        ray.kill(actor)
    for actor in actors:
        for _ in range(100):
            try:
                ray.get(actor.size.remote())
            except ray.exceptions.RayActorError:
                break
            time.sleep(0.1)


def answers_equal_one_store(store, n):
    """Every answer, from every replica (reads rotate over them), equals one store's."""
    reference = quillmere.Vectorstore(D, list(zip(ROWS[:n], IDS[:n].tolist())))
    assert len(store) == n
    for top_k in (1, 8, n + 5):
        expected = [bits(reference.search(q, top_k)) for q in QUERIES]
        for _ in range(2):
            assert [bits(r) for r in store.search_batch(QUERIES, top_k)] == expected
            assert [bits(store.search(q, top_k)) for q in QUERIES] == expected


class Gates:
    """Files in a directory that hold shard calls back: while the file named
    after a method exists, calls of that method wait at it, each leaving a
    mark once it has entered. Tests act on the marks, never on the clock."""

    def __init__(self, directory):
        self.directory = directory

    def close(self, *names):
        for name in names:
            (self.directory / name).touch()

    def open(self, *names):
        for name in names:
            (self.directory / name).unlink(missing_ok=True)

    def wait_entered(self, name, count):
        for _ in range(3000):
            if len(list(self.directory.glob(f"entered-{name}-*"))) >= count:
                return
            time.sleep(0.02)
        raise AssertionError(f"fewer than {count} calls of {name} reached their gate within a minute")

    def install(self, store):
        """Makes every actor the store starts from now on a gated one."""
        from quillmere_ray._shard import Shard

        directory = str(self.directory)

        def wait(name):
            open(os.path.join(directory, f"entered-{name}-{os.getpid()}-{time.monotonic_ns()}"), "w").close()
            for _ in range(6000):  # at most a minute, so that a failed test cannot hang
                if not os.path.exists(os.path.join(directory, name)):
                    return
                time.sleep(0.01)

        # Defined here, so that Ray ships the class by value to its workers.
        class GatedShard(Shard):
            copy_bytes = 2 * 4 * D  # repairs copy two rows at a time, across shard ranges of 5 and 10

            def load(self, *args):
                wait("load")
                return super().load(*args)

            def stage(self, *args):
                wait("stage")
                return super().stage(*args)

            def fill(self, *args):
                wait("fill")
                return super().fill(*args)

            def search(self, *args):
                wait("search")
                return super().search(*args)

            def search_batch(self, *args):
                wait("search_batch")
                return super().search_batch(*args)

        store._groups.actor_class = ray.remote(GatedShard)


@pytest.fixture
def gates(tmp_path):
    gates = Gates(tmp_path)
    yield gates
    gates.open("load", "stage", "fill", "search", "search_batch")  # let nothing wait on a failed test


@pytest.mark.parametrize("moment", ["between calls", "during search_batch", "during extend_array"])
def test_losing_a_replica_of_each_shard_loses_no_entry_and_no_answer(ray_session, gates, moment):
    # The calls wait at their gate; one replica of each shard is killed once
    # they have all entered, and only then do they go on.
    store = replicated(D, shard_capacity=10, replicas=2)
    gates.install(store)
    # Three shards, the last one part full and partly from single inserts.
    store.extend_array(ROWS[:22], IDS[:22])
    for i in range(22, 25):
        store.insert(ROWS[i], int(IDS[i]))
    victims = [store.replica_actors(shard)[0] for shard in range(store.shard_count)]
    spawned = []  # every actor started from here on: new shards' and repairs'
    spawn = store._groups.spawn
    store._groups.spawn = lambda placement, bundle: spawned.append(spawn(placement, bundle)) or spawned[-1]

    if moment == "between calls":
        kill(victims)
        answers_equal_one_store(store, 25)
    else:
        # A batch goes whole to one replica per shard; an append stages on
        # both replicas of the part full shard and loads the new one on two.
        entering = {"search_batch": 3} if moment == "during search_batch" else {"stage": 2, "load": 2}
        gates.close(*entering, "fill")
        failures = []

        def kill_inside():
            try:
                for name, count in entering.items():
                    gates.wait_entered(name, count)
                kill(victims + spawned[::2])
            except BaseException as error:
                failures.append(error)
            finally:
                gates.open(*entering)

        killer = threading.Thread(target=kill_inside)
        killer.start()
        if moment == "during search_batch":
            answers = store.search_batch(QUERIES, 8)
            expected = quillmere.Vectorstore(D, list(zip(ROWS[:25], IDS[:25].tolist())))
            assert [bits(r) for r in answers] == [bits(expected.search(q, 8)) for q in QUERIES]
            # The batch went to one replica per shard, some of them victims;
            # asking every replica finds all the victims dead.
            assert store.replica_counts == (1, 1, 1)
            with pytest.raises(TimeoutError, match="shard 0 has 1 of 2"):
                store.wait_repaired(timeout=0)  # the copies wait at their gate
        else:
            store.extend_array(ROWS[25:], IDS[25:])
            # The shards it wrote to lost their victims: the part full one
            # while staging, the new one while loading.
            assert [len(store.replica_actors(shard)) for shard in (2, 3)] == [1, 1]
        killer.join()
        assert not failures, failures
        gates.open("fill")
        if moment == "during search_batch":
            # Repairs have started; this write reaches them behind their copy.
            store.extend_array(ROWS[25:], IDS[25:])
    n = len(store)
    answers_equal_one_store(store, n)

    store.wait_repaired(timeout=120)
    assert store.replica_counts == (2,) * store.shard_count
    assert not set(victims) & {actor for shard in range(store.shard_count) for actor in store.replica_actors(shard)}
    # One repair per lost replica: none failed and had to start again.
    assert len(spawned) == {"between calls": 3, "during search_batch": 3 + 2, "during extend_array": 2 + 4}[moment]
    answers_equal_one_store(store, n)
    if n < len(ROWS):  # the repaired replicas take writes too
        store.extend_array(ROWS[n:], IDS[n:])
        answers_equal_one_store(store, len(ROWS))
    store.close()


def test_replica_arguments(ray_session):
    with pytest.raises(ValueError, match="replicas must be at least 1, got 0"):
        quillmere_ray.ShardedVectorstore(D, replicas=0)
    with pytest.raises(ValueError, match="cannot set scheduling_strategy"):
        quillmere_ray.ShardedVectorstore(D, replicas=2, shard_options={"scheduling_strategy": "SPREAD"})
    with pytest.warns(RuntimeWarning, match="single node: the 2 replicas of each shard share it"):
        quillmere_ray.ShardedVectorstore(D, replicas=2)
    with pytest.raises(ValueError, match="^shard_options has 'bogus', which is not an option of Ray actors$"):
        quillmere_ray.ShardedVectorstore(D, shard_options={"num_cpus": 1, "bogus": 1})
    with pytest.raises(ValueError, match="^shard_options: .*num_cpus"):
        quillmere_ray.ShardedVectorstore(D, shard_options={"num_cpus": -1})
    for bad in (0, -1, float("nan")):
        with pytest.raises(ValueError, match="^placement_timeout must be positive"):
            quillmere_ray.ShardedVectorstore(D, placement_timeout=bad)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quillmere_ray.ShardedVectorstore(D, replicas=1)


def test_replicas_on_a_cluster_sit_on_different_nodes_and_survive_a_lost_node():
    # A cluster of three local nodes needs a Ray instance of its own: it runs
    # in a fresh process, with a private Ray directory so that no other
    # ray.init on the machine finds it (short: socket paths are limited).
    script = os.path.join(os.path.dirname(__file__), "cluster_check.py")
    with tempfile.TemporaryDirectory(dir="/tmp") as directory:
        env = {**os.environ, "RAY_TMPDIR": directory}
        run = subprocess.run([sys.executable, script], env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr


# Every call a store offers, with valid arguments.
ALL_CALLS = {
    "search": lambda s: s.search(ROWS[0], 3),
    "search_batch": lambda s: s.search_batch(QUERIES, 3),
    "range_search": lambda s: s.range_search(QUERIES, 0.5),
    "insert": lambda s: s.insert(ROWS[0], 1),
    "extend": lambda s: s.extend([(ROWS[0], 1)]),
    "extend_array": lambda s: s.extend_array(ROWS[:2]),
    "wait_repaired": lambda s: s.wait_repaired(timeout=1),
    "len": len,
    "bool": bool,
    "shard_count": lambda s: s.shard_count,
    "shard_sizes": lambda s: s.shard_sizes,
    "replica_counts": lambda s: s.replica_counts,
    "replica_actors": lambda s: s.replica_actors(0),
}


def refuses_every_call(store, error, message):
    for name, call in ALL_CALLS.items():
        with pytest.raises(error, match=message):
            call(store)
    store.close()
    store.close()  # closing again does nothing
    assert repr(store).startswith("ShardedVectorstore(vector_size=3, shard_capacity=10, closed")


def closed_store(gates):
    store = quillmere_ray.ShardedVectorstore(D, shard_capacity=10)
    store.extend_array(ROWS, IDS)
    actors = store.replica_actors(0)
    store.close()
    assert repr(store) == "ShardedVectorstore(vector_size=3, shard_capacity=10, closed)"
    refuses_every_call(store, RuntimeError, "^the store is closed$")
    # close ended the actors; ray.kill is asynchronous, so a call made at
    # once may still be served: poll until the actor refuses, within a bound.
    deadline = time.monotonic() + 60
    while True:
        try:
            ray.get(actors[0].size.remote(), timeout=60)
        except ray.exceptions.RayActorError:
            break
        assert time.monotonic() < deadline, "close left the actor running"
        time.sleep(0.1)


def lost_shard(gates):
    store = quillmere_ray.ShardedVectorstore(D, shard_capacity=10)
    store.extend_array(ROWS, IDS)
    kill(store.replica_actors(1))
    with pytest.raises(quillmere_ray.ShardUnavailableError):
        store.search(ROWS[0], 3)
    assert repr(store) == "ShardedVectorstore(vector_size=3, shard_count=4, shard_capacity=10, lost_shards=(1,))"
    for name in ("len", "bool", "shard_sizes", "search"):
        with pytest.raises(quillmere_ray.ShardUnavailableError, match="^shard 1 of 4 is unavailable: its actor has died"):
            ALL_CALLS[name](store)
    store.close()
    assert repr(store).endswith("closed)")


def unsatisfiable_placement(gates):
    # Four shards of one CPU each on a node of two: two can never start.
    store = quillmere_ray.ShardedVectorstore(D, shard_capacity=10, shard_options={"num_cpus": 1}, placement_timeout=3)
    with pytest.raises(TimeoutError, match=r"^Ray placed [0-2] of 4 new shard actors within placement_timeout=3 s: "
                                           r"each asks for CPU 1, and the cluster has CPU 2 in all, CPU [0-2] free\. "
                                           r"Nothing was added"):
        store.extend_array(ROWS, IDS)
    assert (len(store), store.shard_count, store.search(ROWS[0], 3)) == (0, 0, [])
    store.close()


def timed_out_calls(gates):
    store = quillmere_ray.ShardedVectorstore(D, shard_capacity=10)
    gates.install(store)
    store.extend_array(ROWS[:15], IDS[:15])
    gates.close("search", "search_batch", "stage", "load")
    for call, name in [(lambda: store.search(ROWS[0], 3, timeout=0.5), "search"),
                       (lambda: store.search_batch(QUERIES, 3, timeout=0), "search_batch"),
                       (lambda: store.extend(list(zip(ROWS[15:], IDS[15:].tolist())), timeout=0.5), "extend"),
                       (lambda: store.extend_array(ROWS[15:], IDS[15:], timeout=0.5), "extend_array")]:
        with pytest.raises(TimeoutError, match=rf"^{name} did not finish within 0\.?5? s; the store is as it was"):
            call()
    gates.open("search", "search_batch", "stage", "load")
    # No entry of the timed-out appends is anywhere: answers are those of the first 15.
    assert store.shard_sizes == (10, 5)
    answers_equal_one_store(store, 15)
    store.extend_array(ROWS[15:], IDS[15:], timeout=60)
    answers_equal_one_store(store, len(ROWS))
    store.close()


def ray_shut_down(gates):
    store = quillmere_ray.ShardedVectorstore(D, shard_capacity=10)
    store.extend_array(ROWS, IDS)
    ray.shutdown()
    try:
        assert repr(store).startswith("ShardedVectorstore(vector_size=3, len=40")  # known to the driver
        refuses_every_call(store, RuntimeError, "^the store is closed: Ray is no longer running")
        assert not ray.is_initialized()  # and no call started it again
        assert repr(store) == "ShardedVectorstore(vector_size=3, shard_capacity=10, closed: Ray is no longer running)"
    finally:
        start_ray()  # for whatever runs next in this session


# Ray's shutdown comes last: the session's Ray starts again after it.
OPERATING = {"closed": closed_store, "lost shard": lost_shard, "placement": unsatisfiable_placement,
             "timeouts": timed_out_calls, "ray.shutdown": ray_shut_down}


@pytest.mark.parametrize("case", list(OPERATING))
def test_operating_the_store(ray_session, gates, case):
    OPERATING[case](gates)
