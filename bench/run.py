#!/usr/bin/env python3
"""Benchmark of quillmere: search speed against the native read floor (one
core streaming the store's 4·n·d bytes once with a native loop, compiled
here), numpy and faiss; the same search in each scan mode (the sketch first,
the default; QUILLMERE_SCAN=planes; QUILLMERE_SCAN=full, which reads every
float); adversarial stores; loading speed; resident memory.

    pip install '.[bench]' && python bench/run.py            # full run, ~30 minutes
    python bench/run.py --quick                              # smoke run, a few minutes
    python bench/run.py --baseline OTHER/bin/python          # also measure another build, before/after

Every number is measured in this run, on seeded random data, in a fresh
subprocess per measurement (bench/measure.py). Out-of-cache stores are sized
from the last-level cache the machine reports: the sketch a search streams
(n·d bytes) is at least twice the LLC. It prints a markdown table of medians
and ratios and writes results.json, table.md and chart.png into
bench/results/. Targets are reported as measured ratios, never asserted.
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

from measure import ADVERSARIAL

HERE = Path(__file__).resolve().parent
GB = 1e9
MB = 1e6

# BLAS tuning variables that the development machines may set and that slow
# numpy down; the workers run without them so that numpy is at its best.
# (Only here: tests and CI keep the environment they are given.)
BLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def parse_sizes(text):
    return [tuple(int(part) for part in item.lower().split("x")) for item in text.split(",") if item]


def build_floor(out):
    """Compiles native_floor.cpp with the C++ compiler that builds the module (CXX, else c++)."""
    compiler = os.environ.get("CXX") or "c++"
    out.mkdir(parents=True, exist_ok=True)
    target = out / "native_floor.so"
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-pthread", "-o", str(target),
                    str(HERE / "native_floor.cpp")], check=True)
    return target


# numpy's and faiss's worker threads spin for a while after each call by
# default, taking the cores that the next competitor (parallel_search, or the
# floor) needs; in the workers they sleep instead.
PASSIVE_THREADS = {"OMP_WAIT_POLICY": "PASSIVE", "OPENBLAS_THREAD_TIMEOUT": "4"}


def worker(kind, n, d, *options, scan=None, python=None):
    env = {key: value for key, value in os.environ.items() if key not in BLAS_OVERRIDES + ("QUILLMERE_SCAN",)}
    env.update(PASSIVE_THREADS)
    if scan is not None:
        env["QUILLMERE_SCAN"] = scan
    command = [python or sys.executable, str(HERE / "measure.py"), kind, str(n), str(d), *map(str, options)]
    done = subprocess.run(command, check=False, env=env, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit(f"measurement failed ({done.returncode}): {' '.join(command)}")
    return json.loads(done.stdout)


def llc_bytes():
    """The last-level cache's size: it decides which stores are read from memory and which from cache."""
    llc, level = None, 0
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        this = int((index / "level").read_text())
        if this > level:
            level, size = this, (index / "size").read_text().strip()
            llc = int(size[:-1]) * {"K": 2**10, "M": 2**20}[size[-1]] if size[-1] in "KM" else int(size)
    return llc


def machine():
    def first(path, prefix):
        try:
            with open(path) as lines:
                return next((line.split(":", 1)[1].strip() for line in lines if line.startswith(prefix)), None)
        except OSError:
            return None

    import numpy
    import quillmere

    mem = first("/proc/meminfo", "MemTotal")
    return {
        "cpu": first("/proc/cpuinfo", "model name") or platform.processor(),
        "cores": len(os.sched_getaffinity(0)),
        "memory_gib": round(int(mem.split()[0]) / 2**20, 1) if mem else None,
        "llc_bytes": llc_bytes(),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "quillmere": quillmere.__file__,
        "blas_env_removed": {key: os.environ[key] for key in BLAS_OVERRIDES if key in os.environ},
    }


def med(samples):
    return statistics.median(samples)


def fmt_size(n, d):
    return f"{n:,} × {d}"


def short_size(n, d):
    for unit, scale in (("M", 10**6), ("k", 10**3)):
        if n >= scale and n % scale == 0:
            return f"{n // scale}{unit}×{d}"
    return f"{n}×{d}"


def sized_from_cache(llc, d, at_least):
    """The smallest round n (at least `at_least`) whose sketch, n·d bytes, is twice the LLC."""
    n = max(at_least, -(-2 * (llc or 0) // d))
    step = 10 ** max(0, len(str(n)) - 2)
    return -(-n // step) * step


def cache_place(n, d, llc):
    """Out of cache: even the sketch (n·d bytes) is at least twice the LLC; in cache: 4·n·d fits in it."""
    if llc is None:
        return "unknown"
    if n * d >= 2 * llc:
        return "out of cache"
    return "in cache" if 4 * n * d <= llc else "partly in cache"


# The three ways a search can read the store, each measured in its own process.
MODES = (("sketch", None), ("planes", "planes"), ("full", "full"))
SEARCHES = ("search", "parallel_search", "search_k100", "parallel_search_k100")


def floor_seconds(result):
    """One core streaming the store's 4·n·d bytes once with the native loop, in that process."""
    return med(result["times"]["read_same"])


def summarise_search(results, llc):
    """One row: every scan mode's searches against its own process's floor, numpy and faiss."""
    base = results["sketch"]
    n, d, t = base["n"], base["d"], base["times"]
    row = {"n": n, "d": d, "data": base["data"], "bytes": 4 * n * d, "place": cache_place(n, d, llc),
           "floor": floor_seconds(base), "floor_all_cores": med(t["read_same_all_cores"])}
    for mode, result in results.items():
        floor = floor_seconds(result)
        for name in SEARCHES:
            key = name if mode == "sketch" else f"{mode}_{name}"
            if name in result["times"]:
                row[key] = med(result["times"][name])
                row[key + "_x"] = floor / row[key]
                if name.startswith("parallel"):
                    row[key + "_x_all"] = med(result["times"]["read_same_all_cores"]) / row[key]
    # numpy and faiss each get their better thread setting (one thread or their default).
    for name in ("numpy", "faiss"):
        options = {key.split("_", 1)[1]: med(t[key]) for key in t if key.startswith(name + "_")}
        if options:
            best = min(options, key=options.get)
            row[name], row[name + "_threads"] = options[best], best
            row[name + "_x"] = row["floor"] / row[name]
    row["check"] = dict(base["check"])
    for mode, result in results.items():
        if mode != "sketch":
            row["check"][f"{mode}_same_answers"] = result["answers"] == base["answers"]
    return row


def label(r):
    text = fmt_size(r["n"], r["d"])
    if r["data"] == "real":
        text += " real sentence embeddings"
    return text + f" ({r['place']})"


def ms_x(r, name):
    if name not in r:
        return "n/a"
    if name + "_x_all" in r:
        return f"{r[name] * 1e3:.3g} ({r[name + '_x']:.2f}×; {r[name + '_x_all']:.2f}× all-core)"
    return f"{r[name] * 1e3:.3g} ({r[name + '_x']:.2f}×)"


def search_table(rows):
    lines = [
        ("| n × d | data MB | floor ms | all-core floor ms | search ms (× floor) | parallel_search | search, top 100 "
         "| parallel_search, top 100 | planes: search | planes: parallel | planes: top 100 | full: search "
         "| full: parallel | numpy | faiss |"),
        "|" + "---|" * 15,
    ]
    for r in rows:
        faiss = f"{r['faiss'] * 1e3:.3g} ({r['faiss_x']:.2f}×, {r['faiss_threads']})" if "faiss" in r else "n/a"
        numpy = f"{r['numpy'] * 1e3:.3g} ({r['numpy_x']:.2f}×, {r['numpy_threads']})" if "numpy" in r else "n/a"
        lines.append(
            f"| {label(r)} | {r['bytes'] / MB:.0f} | {r['floor'] * 1e3:.3g} | {r['floor_all_cores'] * 1e3:.3g} "
            f"| {ms_x(r, 'search')} "
            f"| {ms_x(r, 'parallel_search')} | {ms_x(r, 'search_k100')} | {ms_x(r, 'parallel_search_k100')} "
            f"| {ms_x(r, 'planes_search')} | {ms_x(r, 'planes_parallel_search')} | {ms_x(r, 'planes_search_k100')} "
            f"| {ms_x(r, 'full_search')} | {ms_x(r, 'full_parallel_search')} | {numpy} | {faiss} |"
        )
    return lines


def adversarial_table(rows):
    lines = [("| store | search ms (× floor) | planes: search | full: search | search time ÷ full time "
              "| parallel_search (× floor) | same answers in every mode |"), "|" + "---|" * 7]
    for r in rows:
        # Each process measured its own floor; comparing "× floor" cancels drift between them.
        ratio = r["full_search_x"] / r["search_x"]
        same = all(ok for key, ok in r["check"].items() if key.endswith("same_answers"))
        lines.append(f"| {r['data']}, {fmt_size(r['n'], r['d'])} | {ms_x(r, 'search')} | {ms_x(r, 'planes_search')} "
                     f"| {ms_x(r, 'full_search')} | {ratio:.2f} | {ms_x(r, 'parallel_search')} "
                     f"| {'yes' if same else 'NO'} |")
    return lines


LIST_BASELINES = ["lists_numpy_array", "lists_array_array", "lists_sum"]
LOAD_METHODS = [
    # (key, source, description, baseline keys)
    ("rows_numpy_copy", "numpy rows", "`numpy.array(X)` (copy of the same data)", None),
    ("rows_ctor", "numpy rows", "`Vectorstore(d, pairs)`", ["rows_numpy_copy"]),
    ("rows_insert", "numpy rows", "`insert(row, id)` loop", ["rows_numpy_copy"]),
    ("lists_numpy_array", "lists of floats", "`numpy.array(lists, numpy.float32)`", None),
    ("lists_array_array", "lists of floats", "`array.array('f', v)` for each list", None),
    ("lists_sum", "lists of floats", "`sum(v)` for each list (reads each float once)", None),
    ("lists_ctor", "lists of floats", "`Vectorstore(d, pairs)`", LIST_BASELINES),
    ("lists_insert", "lists of floats", "`insert(list, id)` loop", LIST_BASELINES),
]
STORE_LOADS = ("rows_ctor", "rows_insert", "lists_ctor", "lists_insert")


def load_table(result, before=None):
    n, d, t = result["n"], result["d"], result["times"]
    nbytes = 4 * n * d
    lines = [f"Loading {fmt_size(n, d)} ({nbytes / MB:.0f} MB of float32), median of {result['repeats']}:", "",
             "| source | method | ms | GB/s of float32 | time ÷ fastest baseline | before: ms |",
             "|---|---|---|---|---|---|"]
    for key, source, text, baselines in LOAD_METHODS:
        ratio = f"{med(t[key]) / min(med(t[b]) for b in baselines):.2f}" if baselines else "baseline"
        old = f"{med(before['times'][key]) * 1e3:.0f}" if before and key in STORE_LOADS else ""
        lines.append(f"| {source} | {text} | {med(t[key]) * 1e3:.0f} | {nbytes / med(t[key]) / GB:.2f} | {ratio} "
                     f"| {old} |")
    return lines


def budget(n, d):
    return 1.3 * 4 * n * d


def memory_table(results):
    by_size = {}
    for r in results:
        by_size.setdefault((r["n"], r["d"]), {})[r["mode"]] = r
    lines = [("| n × d | 4·n·d MB | budget 1.3·4·n·d MB | constructor peak | constructor after "
              "| insert loop peak | insert loop after | worst ÷ budget |"), "|" + "---|" * 8]
    for (n, d), modes in by_size.items():
        cells, worst = [], 0.0
        for mode in ("ctor", "insert"):
            for key in ("peak_added", "after_added"):
                value = modes[mode][key]
                worst = max(worst, value / budget(n, d))
                cells.append(f"{value / MB:.0f} ({value / (4 * n * d):.2f}×)")
        lines.append(f"| {fmt_size(n, d)} | {4 * n * d / MB:.0f} | {budget(n, d) / MB:.0f} | "
                     + " | ".join(cells) + f" | {worst:.2f} |")
    return lines


def before_after_table(rows, hard, before_rows, before_hard):
    """The same searches with the other build (--baseline), each against its own process's floor."""
    lines = [("| store | before: search (× floor) | before: full scan | now: search | now: planes | now: full scan "
              "| before: parallel_search | now: parallel_search |"), "|" + "---|" * 8]
    for r, b in zip(rows + hard, before_rows + before_hard):
        name = label(r) if r in rows else f"{r['data']}, {fmt_size(r['n'], r['d'])}"
        lines.append(f"| {name} | {ms_x(b, 'search')} | {ms_x(b, 'full_search')} | {ms_x(r, 'search')} "
                     f"| {ms_x(r, 'planes_search')} | {ms_x(r, 'full_search')} | {ms_x(b, 'parallel_search')} "
                     f"| {ms_x(r, 'parallel_search')} |")
    return lines


def targets(search_rows, adversarial, loads, memory, before_hard, before_loads):
    out = []

    def line(text, value, met):
        out.append(f"- {text}: {value} — {'met' if met else 'MISSED'}")

    for r in search_rows:
        # Out-of-cache stores, and the real embeddings wherever they sit.
        if r["place"] != "out of cache" and r["data"] != "real":
            continue
        size = label(r)
        for name, goal in (("search", 3.0), ("search_k100", 2.5), ("parallel_search", 5.0),
                           ("planes_search", 1.8), ("planes_search_k100", 1.6), ("planes_parallel_search", 3.2),
                           ("full_search", 0.95)):
            text = name.replace("_k100", ", top 100").replace("planes_", "QUILLMERE_SCAN=planes ").replace(
                "full_", "QUILLMERE_SCAN=full ")
            extra = (f" (all cores read {r['floor'] / r['floor_all_cores']:.2f}× what one reads)"
                     if "parallel" in name else "")
            line(f"{text} {size} ≥ {goal}× the floor", f"{r[name + '_x']:.2f}×{extra}", r[name + "_x"] >= goal)
        speedup = r["planes_search"] / r["search"]
        line(f"search {size} ≥ 1.4× faster than QUILLMERE_SCAN=planes", f"{speedup:.2f}×", speedup >= 1.4)
    for r in search_rows + adversarial:
        same = all(ok for key, ok in r["check"].items() if key.endswith("same_answers"))
        line(f"{label(r)} {r['data']}: the same answers in every scan mode", "same" if same else "DIFFERENT", same)
    for i, r in enumerate(adversarial):
        name = f"adversarial {r['data']} {fmt_size(r['n'], r['d'])}"
        if r["data"] == "subnormal":
            if before_hard:
                ratio = before_hard[i]["search"] / r["search"]
                line(f"{name}: no slower than before", f"{ratio:.2f}× the speed before", ratio >= 0.95)
            continue
        line(f"{name}: search ≥ 0.95× the floor", f"{r['search_x']:.2f}×", r["search_x"] >= 0.95)
    for i, result in enumerate(loads):
        n, d, t = result["n"], result["d"], result["times"]
        if before_loads:
            for key in STORE_LOADS:
                ratio = med(t[key]) / med(before_loads[i]["times"][key])
                line(f"loading {fmt_size(n, d)}, {key.replace('_', ' ')}: within 15% of before",
                     f"{ratio:.2f}× the time before", ratio <= 1.15)
    for r in memory:
        if 4 * r["n"] * r["d"] >= 100 * MB:
            worst = max(r["peak_added"], r["after_added"]) / (4 * r["n"] * r["d"])
            line(f"memory {fmt_size(r['n'], r['d'])}, {r['mode']}, peak and after ≤ 1.30 × 4·n·d",
                 f"{worst:.2f}×", worst <= 1.3)
    return out


def chart(path, search_rows, loads, memory):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(18, 5.4), width_ratios=[3.4, 2, 2])
    ax = axes[0]
    names = [("search", "search"), ("parallel_search", "parallel_search"), ("planes_search", "search, planes"),
             ("full_search", "search, full scan"), ("numpy", "numpy"), ("faiss", "faiss IndexFlatIP")]
    width = 0.8 / len(names)
    for i, (key, text) in enumerate(names):
        xs = [j + (i - len(names) / 2 + 0.5) * width for j in range(len(search_rows))]
        ys = [r.get(key + "_x", 0) for r in search_rows]
        ax.bar(xs, ys, width, label=text)
    ax.axhline(1.0, color="0.3", linestyle="dashed", linewidth=1, label="native read floor")
    ax.set_xticks(range(len(search_rows)))
    ax.set_xticklabels([short_size(r["n"], r["d"]) + ("\nreal" if r["data"] == "real" else "")
                        + f"\n({r['place']})" for r in search_rows], fontsize=8)
    ax.set_ylabel("× floor: floor time ÷ search time (higher is better)")
    ax.set_title("top-10 search, one query (median)")
    # Head room above the bars for the legend.
    ax.set_ylim(0, 1.3 * max(r.get(key + "_x", 0) for r in search_rows for key, _ in names))
    ax.legend(fontsize=8, loc="upper center", ncols=4)

    ax = axes[1]
    if loads:
        result = loads[0]
        nbytes = 4 * result["n"] * result["d"]
        labels = [f"{source}:\n{text.replace('`', '')}" for _, source, text, _ in LOAD_METHODS]
        values = [nbytes / med(result["times"][key]) / GB for key, *_ in LOAD_METHODS]
        colors = ["0.6" if base is None else "C0" for *_, base in LOAD_METHODS]
        ax.barh(range(len(values)), values, color=colors)
        ax.set_yticks(range(len(values)))
        ax.set_yticklabels(labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_xlabel("GB/s of float32 loaded (grey: baselines)")
        ax.set_title(f"loading {fmt_size(result['n'], result['d'])}")

    ax = axes[2]
    sizes = list(dict.fromkeys((r["n"], r["d"]) for r in memory))
    series = [("ctor", "peak_added", "constructor, peak"), ("ctor", "after_added", "constructor, after"),
              ("insert", "peak_added", "insert loop, peak"), ("insert", "after_added", "insert loop, after")]
    width = 0.8 / len(series)
    for i, (mode, key, text) in enumerate(series):
        values = [next(r[key] for r in memory if (r["n"], r["d"], r["mode"]) == (n, d, mode)) / (4 * n * d)
                  for n, d in sizes]
        ax.bar([j + (i - 1.5) * width for j in range(len(sizes))], values, width, label=text)
    for j, (n, d) in enumerate(sizes):
        ax.hlines(budget(n, d) / (4 * n * d), j - 0.45, j + 0.45, colors="k", linestyles="dashed")
    ax.set_xticks(range(len(sizes)))
    ax.set_xticklabels([short_size(n, d) for n, d in sizes])
    ax.set_ylabel("resident memory added ÷ 4·n·d (dashed: budget)")
    # Head room above the bars and budget lines for the legend.
    top = max(max(r["peak_added"], r["after_added"]) / (4 * r["n"] * r["d"]) for r in memory)
    ax.set_ylim(0, 1.35 * max([top] + [budget(n, d) / (4 * n * d) for n, d in sizes]))
    ax.set_title("memory of a store")
    ax.legend(fontsize=8, loc="upper center", ncols=2)

    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default=None,
                        help="search sizes, n x d, comma separated (default: d = 128 and 768 out of cache, "
                             "sized from the LLC, then 100000x384 and 10000x384)")
    parser.add_argument("--load-sizes", default="100000x384")
    parser.add_argument("--real", type=Path, default=HERE / "results" / "stdlib_minilm.npy",
                        help="real embeddings (.npy) made by bench/real_embeddings.py; measured when present")
    parser.add_argument("--adversarial-size", default=None,
                        help="n x d of the adversarial stores (default: d = 128, 4·n·d at least twice the LLC)")
    parser.add_argument("--memory-sizes", default=None, help="default: the search sizes")
    parser.add_argument("--repeats", type=int, default=41, help="timed calls per search competitor")
    parser.add_argument("--load-repeats", type=int, default=7)
    parser.add_argument("--dram-mib", type=int, default=1024, help="array read for the memory bandwidth")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--baseline", default=None,
                        help="a Python with another quillmere build: its searches, adversarial stores and "
                             "loading are measured too, for a before/after table")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--quick", action="store_true", help="smoke run: few repeats, small sizes")
    args = parser.parse_args()

    started = time.time()
    info = machine()
    llc = info["llc_bytes"]
    if args.quick:
        args.repeats, args.load_repeats, args.load_sizes, args.dram_mib = 5, 1, "20000x384", 256
        args.sizes = args.sizes or "200000x128,10000x384"
        args.adversarial_size = args.adversarial_size or "50000x128"
    default_sizes = [(sized_from_cache(llc, 128, 1_000_000), 128), (sized_from_cache(llc, 768, 100_000), 768),
                     (100_000, 384), (10_000, 384)]
    sizes = parse_sizes(args.sizes) if args.sizes else default_sizes
    adversarial_sizes = (parse_sizes(args.adversarial_size) if args.adversarial_size
                         else [(sized_from_cache(llc // 2, 128, 300_000), 128)])
    memory_sizes = parse_sizes(args.memory_sizes) if args.memory_sizes else sizes
    floor_lib = build_floor(args.out)
    common = ("--repeats", args.repeats, "--seed", args.seed, "--dram-mib", args.dram_mib, "--floor-lib", floor_lib)

    def search_modes(n, d, *options, python=None, modes=MODES):
        # Every scan mode in its own process; numpy and faiss only beside the default one.
        return {mode: worker("search", n, d, *common, *options, *(() if scan is None else ("--only-quillmere",)),
                             scan=scan, python=python)
                for mode, scan in modes}

    before_modes = (("sketch", None), ("full", "full"))
    cases = [((n, d), ()) for n, d in sizes]
    if args.real is not None and args.real.exists():
        cases.append(((0, 0), ("--data", args.real)))
    elif args.real is not None:
        print(f"no real embeddings at {args.real} (python bench/real_embeddings.py makes them)", file=sys.stderr)
    search, before_search = [], []
    for (n, d), options in cases:
        print(f"search {fmt_size(n, d)} {' '.join(map(str, options))} ...", file=sys.stderr, flush=True)
        search.append(search_modes(n, d, *options))
        if args.baseline:
            before_search.append(search_modes(n, d, *options, "--only-quillmere", python=args.baseline,
                                              modes=before_modes))
    adversarial, before_adversarial = [], []
    for n, d in adversarial_sizes:
        for case in ADVERSARIAL:
            print(f"adversarial {case} {fmt_size(n, d)} ...", file=sys.stderr, flush=True)
            adversarial.append(search_modes(n, d, "--data", case, "--only-quillmere"))
            if args.baseline:
                before_adversarial.append(search_modes(n, d, "--data", case, "--only-quillmere",
                                                       python=args.baseline, modes=before_modes))
    loads, before_loads = [], []
    for n, d in parse_sizes(args.load_sizes):
        print(f"loading {fmt_size(n, d)} ...", file=sys.stderr, flush=True)
        loads.append(worker("load", n, d, "--repeats", args.load_repeats, "--seed", args.seed))
        if args.baseline:
            before_loads.append(worker("load", n, d, "--repeats", args.load_repeats, "--seed", args.seed,
                                       python=args.baseline))
    memory = []
    for n, d in memory_sizes:
        print(f"memory {fmt_size(n, d)} ...", file=sys.stderr, flush=True)
        for mode in ("ctor", "insert"):
            memory.append(worker("memory", n, d, "--mode", mode, "--seed", args.seed))
    elapsed = time.time() - started

    rows = [summarise_search(r, llc) for r in search]
    hard = [summarise_search(r, llc) for r in adversarial]
    before_rows = [summarise_search(r, llc) for r in before_search]
    before_hard = [summarise_search(r, llc) for r in before_adversarial]
    first = search[0]["sketch"] if search else {}
    info["blas"] = [{k: lib.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
                    for lib in first.get("blas", [])]
    info["faiss"] = first.get("faiss")
    info["floor_loop"] = first.get("floor_loop")
    dram = [r["dram_bytes"] / med(r["times"]["read_dram"]) / GB for modes in search for r in modes.values()]
    blas = ", ".join(f"{b['internal_api']} {b['version']} {b['architecture']}" for b in info["blas"]) or "unknown"
    faiss = f"faiss {info['faiss']['version']}" if info["faiss"] else "faiss not installed"
    md = [
        (f"Measured {time.strftime('%Y-%m-%d')} by `python bench/run.py`. Machine: {info['cpu']}, "
         f"{info['cores']} cores, {info['memory_gib']} GiB, last-level cache "
         f"{(llc or 0) / 2**20:.0f} MiB, Linux {info['kernel']}; Python {info['python']}, "
         f"numpy {info['numpy']} ({blas}), {faiss}."),
        "",
        (f"Search: `search(q, 10)` and `parallel_search(q, 10)` (and with top 100) against numpy (norms "
         f"precomputed; matvec, divide, argpartition, stable sort of 10) and faiss `IndexFlatIP` on pre-normalised "
         f"copies, one query per call; median of {args.repeats} interleaved calls, each after one warm-up call. "
         f"numpy and faiss show their faster thread setting (1t or default); their idle worker threads sleep "
         f"(OMP_WAIT_POLICY=PASSIVE, OPENBLAS_THREAD_TIMEOUT=4) instead of spinning on the cores that the other "
         f"competitors use. Floor: the time for one core to "
         f"stream the store's 4·n·d bytes once with a native loop ({info['floor_loop']}, eight independent "
         f"accumulators), interleaved with the searches; each search is shown as floor time ÷ its time. "
         f"All-core floor: the same bytes read by {info['cores']} threads at once, one share each; "
         f"parallel_search is also shown against it. "
         f"planes and full: the same searches in further processes with QUILLMERE_SCAN=planes (the high plane "
         f"first, no sketch) and QUILLMERE_SCAN=full (every stored float), each against its own process's floor. "
         f"Out of cache: the sketch (n·d bytes) is at least twice the LLC. "
         f"1 GiB read in this run: {min(dram):.1f}-{max(dram):.1f} GB/s."),
        "",
        *search_table(rows),
        "",
        (f"Adversarial stores ({', '.join(ADVERSARIAL)}): where the bounds cannot rule blocks out, "
         f"the search must cost no more than one read of the store."),
        "",
        *adversarial_table(hard),
        "",
    ]
    if args.baseline:
        md += [f"Before and after, in this run: the build of `{args.baseline}` against this one.", "",
               *before_after_table(rows, hard, before_rows, before_hard), ""]
    for i, result in enumerate(loads):
        md += load_table(result, before_loads[i] if before_loads else None) + [""]
    md += ["Resident memory added by building a store from numpy rows (MB, and ÷ 4·n·d):", "",
           *memory_table(memory), "", "Targets:", "",
           *targets(rows, hard, loads, memory, before_hard, before_loads)]
    problems = [f"{label(r)} {r['data']}: {k}" for r in rows + hard for k, ok in r["check"].items() if not ok]
    if problems:
        md += ["", "Result checks that failed: " + "; ".join(problems)]
    text = "\n".join(md) + "\n"

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "table.md").write_text(text)
    with open(args.out / "results.json", "w") as raw:
        json.dump({"machine": info, "args": {k: str(v) for k, v in vars(args).items()}, "seconds": elapsed,
                   "search": search, "adversarial": adversarial, "load": loads, "memory": memory,
                   "before": {"search": before_search, "adversarial": before_adversarial, "load": before_loads}},
                  raw, indent=1)
    chart(args.out / "chart.png", rows, loads, memory)
    print(text)
    print(f"raw results, table and chart in {args.out} ({elapsed:.0f} s)", file=sys.stderr)


if __name__ == "__main__":
    main()
