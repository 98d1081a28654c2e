"""One measurement per process; run.py starts them and collects the JSON each prints.

Each measurement runs in a fresh interpreter so that the memory, caches and
allocator state left by one do not disturb the next, and so that resident
memory can be read from /proc/self/status without other data in the way.

    python measure.py search N D --floor-lib LIB --repeats R --seed S --dram-mib M [--data CASE|PATH.npy] [--only-quillmere]
    python measure.py load   N D --repeats R --seed S
    python measure.py memory N D --mode ctor|insert --seed S

LIB is the native read loop that run.py compiles (native_floor.cpp).
"""
import argparse
import array
import ctypes
import gc
import json
import os
import sys
import time

import numpy as np
import quillmere

TOP_K = 10


def make_data(n, d, seed):
    """Standard-normal float32 rows, the same for every measurement of (n, d)."""
    return np.random.default_rng([seed, n, d]).standard_normal((n, d), dtype=np.float32)


def make_queries(d, count, seed):
    # A stream of its own: queries are not stored vectors.
    return np.random.default_rng([seed, d, 1]).standard_normal((count, d), dtype=np.float32)


# Stores on which skipping blocks by the high plane can gain nothing or must
# refuse its bound: the search has to stay as fast as the full scan there.
ADVERSARIAL = ("identical", "ties", "nonfinite", "subnormal", "huge", "zeros")


def make_case(case, n, d, seed):
    rng = np.random.default_rng([seed, n, d, 7])
    X = rng.standard_normal((n, d), dtype=np.float32)
    if case == "identical":
        X[:] = X[0]
    elif case == "ties":
        # A twentieth of the rows share one of 4 vectors: the k-th score is tied many times over.
        copies = rng.random(n) < 0.05
        X[copies] = X[:4][rng.integers(0, 4, int(copies.sum()))]
    elif case == "nonfinite":
        X[np.arange(n), rng.integers(0, d, n)] = rng.choice(np.array([np.nan, np.inf, -np.inf], np.float32), n)
    elif case == "subnormal":
        X *= np.float32(1e-40)
    elif case == "huge":
        X *= np.float32(1e19)
    elif case == "zeros":
        X[rng.random(n) < 0.9] = 0
    else:
        raise SystemExit(f"unknown data case {case!r}")
    return X


def load_data(args):
    """(stored rows, queries, label) for a search measurement."""
    if args.data is None:
        return make_data(args.n, args.d, args.seed), make_queries(args.d, 64, args.seed), "random"
    if args.data.endswith(".npy"):
        # Real embeddings: the last 64 rows are held out as queries.
        rows = np.load(args.data)
        return np.ascontiguousarray(rows[:-64]), np.ascontiguousarray(rows[-64:]), "real"
    rows = make_case(args.data, args.n, args.d, args.seed)
    return rows, make_queries(args.d, 64, args.seed), args.data


class NativeFloor:
    """One core streaming a buffer once with a native loop (native_floor.cpp)."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.read_floor.restype = ctypes.c_uint64
        self.lib.read_floor.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        self.lib.read_floor_threads.restype = ctypes.c_uint64
        self.lib.read_floor_threads.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
        self.lib.floor_loop.restype = ctypes.c_char_p
        self.lib.copy_floor.restype = None
        self.lib.copy_floor.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        self.lib.copy_fresh_floor.restype = ctypes.c_int
        self.lib.copy_fresh_floor.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        self.loop = self.lib.floor_loop().decode()

    def read(self, array, threads=1):
        if threads == 1:
            return self.lib.read_floor(array.ctypes.data, array.nbytes)
        return self.lib.read_floor_threads(array.ctypes.data, array.nbytes, threads)

    def copy(self, destination, array):
        """memcpy of the array's bytes into `destination` (as large, already touched)."""
        self.lib.copy_floor(destination.ctypes.data, array.ctypes.data, array.nbytes)

    def copy_fresh(self, array):
        """memcpy of the array's bytes into fresh memory from malloc, then freed."""
        if self.lib.copy_fresh_floor(array.ctypes.data, array.nbytes) < 0:
            raise MemoryError(array.nbytes)


def status_bytes():
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0]) * 1024
    return fields


def export_buffers(pairs):
    """Exports each row's buffer once, so that numpy's per-array buffer cache exists beforehand.

    numpy keeps about 80 bytes of format, shape and strides with an array the
    first time its buffer is exported, for the array's lifetime. That memory
    belongs to the caller's rows (it goes when they go), not to the store,
    and would otherwise be counted against the store or its loading time.
    """
    before = status_bytes()["VmRSS"]
    for vector, _ in pairs:
        memoryview(vector).release()
    return status_bytes()["VmRSS"] - before


class Blas:
    """Switches the BLAS thread count outside the timed region (a direct C call)."""

    def __init__(self):
        self.info, self._lib = [], None
        try:
            from threadpoolctl import ThreadpoolController
        except ImportError:
            return
        controller = ThreadpoolController()
        self.info = controller.info()
        blas = controller.select(user_api="blas").lib_controllers
        self._lib = blas[0] if blas else None
        self.default = self._lib.num_threads if self._lib else None

    def threads(self, count):
        if self._lib is not None:
            self._lib.set_num_threads(count or self.default)


def interleaved(competitors, repeats):
    """Median seconds of each competitor, run in turn, rotating the order.

    Every timed call follows one untimed call of the same competitor, so a
    store that fits in cache is measured in cache even though the other
    competitors' data evicted it in between.
    """
    names = list(competitors)
    times = {name: [] for name in names}
    gc.collect()
    gc.disable()
    try:
        for rep in range(repeats):
            shift = rep % len(names)
            for name in names[shift:] + names[:shift]:
                setup, call = competitors[name]
                setup()
                call(rep)
                start = time.perf_counter()
                call(rep)
                times[name].append(time.perf_counter() - start)
    finally:
        gc.enable()
    return times


def measure_search(args):
    X, queries, label = load_data(args)
    n, d = X.shape
    ids = np.arange(n, dtype=np.uint64)
    store = quillmere.Vectorstore(d, list(zip(X, ids.tolist())))

    # numpy: norms stored beforehand, as a numpy user would keep them.
    norms = np.linalg.norm(X, axis=1) if not args.only_quillmere else None

    def numpy_top(q):
        scores = X @ q
        scores /= norms
        scores /= np.linalg.norm(q)
        best = np.argpartition(scores, n - TOP_K)[n - TOP_K:]
        best.sort()  # positions ascending, so the stable sort breaks ties by position
        best = best[np.argsort(-scores[best], kind="stable")]
        return list(zip(scores[best].tolist(), ids[best].tolist()))

    blas = Blas()
    floor = NativeFloor(args.floor_lib)
    X = np.ascontiguousarray(X)
    dram = np.ones(args.dram_mib * 2**20 // 4, dtype=np.int32)
    nothing = lambda: None
    Q = lambda rep: queries[rep % len(queries)]
    competitors = {
        "search": (nothing, lambda r: store.search(Q(r), TOP_K)),
        "parallel_search": (nothing, lambda r: store.parallel_search(Q(r), TOP_K)),
        "search_k100": (nothing, lambda r: store.search(Q(r), 100)),
        "parallel_search_k100": (nothing, lambda r: store.parallel_search(Q(r), 100)),
        # The floor: one core streaming the store's 4·n·d bytes once with a native loop.
        "read_same": (nothing, lambda r: floor.read(X)),
        # Every core the process may use streaming a share: parallel_search's own floor.
        "read_same_all_cores": (nothing, lambda r: floor.read(X, len(os.sched_getaffinity(0)))),
        "read_dram": (nothing, lambda r: floor.read(dram)),
    }
    if not args.only_quillmere:
        competitors["numpy_1t"] = (lambda: blas.threads(1), lambda r: numpy_top(Q(r)))
        competitors["numpy_default"] = (lambda: blas.threads(None), lambda r: numpy_top(Q(r)))
    faiss_info = None
    try:
        import faiss
    except ImportError:
        faiss = None
    if args.only_quillmere:
        faiss = None
    if faiss is not None:
        # Pre-normalised copies of the data and of the queries: only the
        # inner-product scan and its top-k are timed.
        unit = X / norms[:, None]
        unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        index = faiss.IndexFlatIP(d)
        index.add(unit)
        faiss_default = faiss.omp_get_max_threads()
        faiss_info = {"version": faiss.__version__, "default_threads": faiss_default}

        def faiss_top(r):
            dist, pos = index.search(unit_queries[r % len(queries)][None, :], TOP_K)
            return list(zip(dist[0].tolist(), ids[pos[0]].tolist()))

        competitors["faiss_1t"] = (lambda: faiss.omp_set_num_threads(1), faiss_top)
        competitors["faiss_default"] = (lambda: faiss.omp_set_num_threads(faiss_default), faiss_top)

    # Sanity: both searches must agree exactly; numpy may differ in low bits
    # (its sums are not sequential), so only its ids are compared.
    def bits(found):  # NaN scores compare by their bits, not by ==
        return [(float(score).hex(), i) for score, i in found]

    first = store.search(queries[0], TOP_K)
    check = {"parallel_equals_search": bits(store.parallel_search(queries[0], TOP_K)) == bits(first)}
    if not args.only_quillmere and label not in ADVERSARIAL:
        check["numpy_same_ids"] = [i for _, i in numpy_top(queries[0])] == [i for _, i in first]
    # The answers themselves, so run.py can check that the full scan gives the same bits.
    answers = [bits(store.search(q, TOP_K)) for q in queries[:8]]
    times = interleaved(competitors, args.repeats)
    blas.threads(None)
    return {"n": n, "d": d, "data": label, "scan": os.environ.get("QUILLMERE_SCAN", "sketch"),
            "repeats": args.repeats, "dram_bytes": dram.nbytes, "times": times, "check": check,
            "answers": answers, "blas": blas.info, "faiss": faiss_info, "floor_loop": floor.loop,
            "quillmere": quillmere.__file__}


def measure_load(args):
    n, d = args.n, args.d
    X = make_data(n, d, args.seed)
    ids = list(range(n))
    # Built beforehand: the caller's own data structures are not part of loading.
    row_pairs = list(zip(X, ids))
    export_buffers(row_pairs)
    lists = X.tolist()
    list_pairs = list(zip(lists, ids))

    def insert_all(pairs):
        store = quillmere.Vectorstore(d)
        insert = store.insert
        for vector, ident in pairs:
            insert(vector, ident)
        return store

    competitors = {
        "rows_numpy_copy": lambda: np.array(X),
        "rows_ctor": lambda: quillmere.Vectorstore(d, row_pairs),
        "rows_insert": lambda: insert_all(row_pairs),
        "lists_numpy_array": lambda: np.array(lists, np.float32),
        "lists_array_array": lambda: [array.array("f", v) for v in lists],
        # Reads every float object once and nothing more: the floor for lists.
        "lists_sum": lambda: [sum(v) for v in lists],
        "lists_ctor": lambda: quillmere.Vectorstore(d, list_pairs),
        "lists_insert": lambda: insert_all(list_pairs),
    }
    # Each build is timed once per repeat, from nothing: page faults of the
    # new memory are part of loading. Results are freed outside the timing.
    times = {name: [] for name in competitors}
    gc.collect()
    gc.disable()
    try:
        for rep in range(args.repeats):
            names = list(competitors)
            shift = rep % len(names)
            for name in names[shift:] + names[:shift]:
                start = time.perf_counter()
                result = competitors[name]()
                times[name].append(time.perf_counter() - start)
                del result
    finally:
        gc.enable()
    return {"n": n, "d": d, "repeats": args.repeats, "times": times}


def measure_memory(args):
    n, d = args.n, args.d
    X = make_data(n, d, args.seed)
    pairs = list(zip(X, range(n)))
    buffer_cache = export_buffers(pairs)
    gc.collect()
    before = status_bytes()["VmRSS"]
    # Writing 5 resets the peak (VmHWM) to the current RSS, so the peak read
    # afterwards is the peak during loading, whatever came before.
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    if args.mode == "ctor":
        store = quillmere.Vectorstore(d, pairs)
    else:
        store = quillmere.Vectorstore(d)
        for vector, ident in pairs:
            store.insert(vector, ident)
    gc.collect()
    after = status_bytes()
    assert len(store) == n
    return {"n": n, "d": d, "mode": args.mode, "peak_added": after["VmHWM"] - before,
            "after_added": after["VmRSS"] - before, "numpy_buffer_cache": buffer_cache}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["search", "load", "memory"])
    parser.add_argument("n", type=int)
    parser.add_argument("d", type=int)
    parser.add_argument("--repeats", type=int, default=21)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--dram-mib", type=int, default=1024)
    parser.add_argument("--floor-lib", help="the compiled native_floor.cpp (search only)")
    parser.add_argument("--mode", choices=["ctor", "insert"], default="ctor")
    parser.add_argument("--data", default=None, help="an adversarial case name or a .npy file of real rows")
    parser.add_argument("--only-quillmere", action="store_true", help="no numpy or faiss competitors")
    args = parser.parse_args()
    run = {"search": measure_search, "load": measure_load, "memory": measure_memory}[args.kind]
    json.dump(run(args), sys.stdout)


if __name__ == "__main__":
    main()
