#!/usr/bin/env python3
"""Benchmark of quillmere: search speed against the read-once floor (one core
streaming the store's bytes once), numpy and faiss; the same search forced to
read every float (QUILLMERE_SCAN=full); adversarial stores; loading speed;
resident memory.

    pip install '.[bench]' && python bench/run.py            # full run, ~2-4 minutes
    python bench/run.py --quick                              # smoke run, ~1 minute

Every number is measured in this run, on seeded random data, in a fresh
subprocess per measurement (bench/measure.py). It prints a markdown table of
medians and ratios and writes results.json, table.md and chart.png into
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


def worker(kind, n, d, *options, scan=None):
    env = {key: value for key, value in os.environ.items() if key not in BLAS_OVERRIDES + ("QUILLMERE_SCAN",)}
    if scan is not None:
        env["QUILLMERE_SCAN"] = scan
    command = [sys.executable, str(HERE / "measure.py"), kind, str(n), str(d), *map(str, options)]
    done = subprocess.run(command, check=False, env=env, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit(f"measurement failed ({done.returncode}): {' '.join(command)}")
    return json.loads(done.stdout)


def machine():
    def first(path, prefix):
        try:
            with open(path) as lines:
                return next((line.split(":", 1)[1].strip() for line in lines if line.startswith(prefix)), None)
        except OSError:
            return None

    # The last-level cache decides which stores are read from memory and which from cache.
    llc, level = None, 0
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        this = int((index / "level").read_text())
        if this > level:
            level, size = this, (index / "size").read_text().strip()
            llc = int(size[:-1]) * {"K": 2**10, "M": 2**20}[size[-1]] if size[-1] in "KM" else int(size)
    import numpy
    import quillmere

    mem = first("/proc/meminfo", "MemTotal")
    return {
        "cpu": first("/proc/cpuinfo", "model name") or platform.processor(),
        "cores": len(os.sched_getaffinity(0)),
        "memory_gib": round(int(mem.split()[0]) / 2**20, 1) if mem else None,
        "llc_bytes": llc,
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


def summarise_search(result, full, llc):
    """One row: the default search and, from a second process, the forced full scan."""
    n, d, t = result["n"], result["d"], result["times"]
    nbytes = 4 * n * d
    row = {"n": n, "d": d, "data": result["data"], "bytes": nbytes, "in_cache": llc is not None and nbytes <= llc}
    for name in ("search", "parallel_search", "search_k100", "parallel_search_k100", "read_same", "read_dram"):
        row[name] = med(t[name])
    # numpy and faiss each get their better thread setting (one thread or their default).
    for name in ("numpy", "faiss"):
        options = {key.split("_", 1)[1]: med(t[key]) for key in t if key.startswith(name + "_")}
        if options:
            best = min(options, key=options.get)
            row[name], row[name + "_threads"] = options[best], best
    row["floor"] = read_once_floor(result, llc)
    row["full"] = med(full["times"]["search"])
    row["full_parallel"] = med(full["times"]["parallel_search"])
    row["full_floor"] = read_once_floor(full, llc)
    for name in ("search", "parallel_search", "search_k100", "parallel_search_k100", "numpy", "faiss"):
        if name in row:
            row[name + "_x"] = row["floor"] / row[name]
    row["full_x"] = row["full_floor"] / row["full"]
    row["full_parallel_x"] = row["full_floor"] / row["full_parallel"]
    row["check"] = dict(result["check"], full_scan_same_answers=result["answers"] == full["answers"])
    return row


def read_once_floor(result, llc):
    """Seconds for one core to stream the store's 4·n·d bytes once: numpy's
    single-thread or-reduction over those bytes, or, for a store larger than
    the cache, the 1 GiB read's rate if that is faster (one slow streak in
    either must not flatter the search)."""
    nbytes = 4 * result["n"] * result["d"]
    same = med(result["times"]["read_same"])
    if llc is not None and nbytes <= llc:
        return same
    dram = nbytes / (result["dram_bytes"] / med(result["times"]["read_dram"]))
    return min(same, dram)


def label(r):
    text = fmt_size(r["n"], r["d"])
    if r["data"] == "real":
        text += " real sentence embeddings"
    return text + (" (in cache)" if r["in_cache"] else "")


def ms_x(r, name):
    return f"{r[name] * 1e3:.3g} ({r[name + '_x']:.2f}×)" if name in r else "n/a"


def search_table(rows):
    lines = [
        ("| n × d | data MB | read-once floor ms | search ms (× floor) | parallel_search | search, top 100 "
         "| parallel_search, top 100 | full scan: search | full scan: parallel_search | numpy | faiss |"),
        "|" + "---|" * 11,
    ]
    for r in rows:
        faiss = f"{r['faiss'] * 1e3:.3g} ({r['faiss_x']:.2f}×, {r['faiss_threads']})" if "faiss" in r else "n/a"
        numpy = f"{r['numpy'] * 1e3:.3g} ({r['numpy_x']:.2f}×, {r['numpy_threads']})" if "numpy" in r else "n/a"
        lines.append(
            f"| {label(r)} | {r['bytes'] / MB:.0f} | {r['floor'] * 1e3:.3g} | {ms_x(r, 'search')} "
            f"| {ms_x(r, 'parallel_search')} | {ms_x(r, 'search_k100')} | {ms_x(r, 'parallel_search_k100')} "
            f"| {ms_x(r, 'full')} | {ms_x(r, 'full_parallel')} | {numpy} | {faiss} |"
        )
    return lines


def adversarial_table(rows):
    lines = [("| store | search ms (× floor) | full scan ms (× floor) | search time ÷ full scan time "
              "| parallel_search ÷ full scan | same answers |"), "|" + "---|" * 6]
    for r in rows:
        # Each process measured its own floor; comparing "× floor" cancels drift between them.
        ratio = r["full_x"] / r["search_x"]
        par = r["full_parallel_x"] / r["parallel_search_x"]
        lines.append(f"| {r['data']}, {fmt_size(r['n'], r['d'])} | {ms_x(r, 'search')} | {ms_x(r, 'full')} "
                     f"| {ratio:.2f} | {par:.2f} | {'yes' if r['check']['full_scan_same_answers'] else 'NO'} |")
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


def load_table(result):
    n, d, t = result["n"], result["d"], result["times"]
    nbytes = 4 * n * d
    lines = [f"Loading {fmt_size(n, d)} ({nbytes / MB:.0f} MB of float32), median of {result['repeats']}:", "",
             "| source | method | ms | GB/s of float32 | time ÷ fastest baseline |", "|---|---|---|---|---|"]
    for key, source, text, baselines in LOAD_METHODS:
        ratio = f"{med(t[key]) / min(med(t[b]) for b in baselines):.2f}" if baselines else "baseline"
        lines.append(f"| {source} | {text} | {med(t[key]) * 1e3:.0f} | {nbytes / med(t[key]) / GB:.2f} | {ratio} |")
    return lines


def budget(n, d):
    return 1.1 * 4 * n * d + 16 * n


def memory_table(results):
    by_size = {}
    for r in results:
        by_size.setdefault((r["n"], r["d"]), {})[r["mode"]] = r
    lines = [("| n × d | 4·n·d MB | budget 1.1·4·n·d + 16·n MB | constructor peak | constructor after "
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


def targets(search_rows, adversarial, loads, memory):
    out = []

    def line(text, value, met):
        out.append(f"- {text}: {value} — {'met' if met else 'MISSED'}")

    for r in search_rows:
        size = label(r)
        if r["in_cache"]:
            continue
        for name, goal in (("search", 1.8), ("parallel_search", 1.8), ("search_k100", 1.5),
                           ("parallel_search_k100", 1.5)):
            text = name.replace("_k100", ", top 100")
            line(f"{text} {size} ≥ {goal}× the read-once floor", f"{r[name + '_x']:.2f}×", r[name + "_x"] >= goal)
    for r in search_rows + adversarial:
        line(f"{label(r)}{'' if r['data'] in ('random', 'real') else ' ' + r['data']}: same answers as the full scan",
             "same" if r["check"]["full_scan_same_answers"] else "DIFFERENT", r["check"]["full_scan_same_answers"])
    for r in adversarial:
        ratio = r["full_x"] / r["search_x"]
        line(f"adversarial {r['data']} {fmt_size(r['n'], r['d'])}: search at most 10% slower than the full scan",
             f"{ratio:.2f}× its time", ratio <= 1.1)
    for result in loads:
        n, d, t = result["n"], result["d"], result["times"]
        for key in ("rows_ctor", "rows_insert"):
            gbs = 4 * n * d / med(t[key]) / GB
            line(f"loading {fmt_size(n, d)} from numpy rows, {key[5:]} ≥ 1 GB/s", f"{gbs:.2f} GB/s", gbs >= 1)
        floor = min(med(t[key]) for key in LIST_BASELINES)
        converters = min(med(t["lists_numpy_array"]), med(t["lists_array_array"]))
        for key in ("lists_ctor", "lists_insert"):
            ratio = med(t[key]) / floor
            # "Limited by reading the floats": within 10% of the fastest way to read them.
            line(f"loading {fmt_size(n, d)} from lists, {key[6:]}, within 10% of reading the floats",
                 f"{ratio:.2f}× the fastest baseline's time ({med(t[key]) / converters:.2f}× that of the "
                 f"faster of numpy.array and array.array)", ratio <= 1.1)
    for r in memory:
        if 4 * r["n"] * r["d"] >= 100 * MB:
            worst = max(r["peak_added"], r["after_added"]) / budget(r["n"], r["d"])
            line(f"memory {fmt_size(r['n'], r['d'])}, {r['mode']}, peak and after ≤ budget",
                 f"{worst:.2f}× budget", worst <= 1)
    return out


def chart(path, search_rows, loads, memory):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(17, 5.2), width_ratios=[3, 2, 2])
    ax = axes[0]
    names = [("search", "search"), ("parallel_search", "parallel_search"), ("full", "search, full scan"),
             ("numpy", "numpy"), ("faiss", "faiss IndexFlatIP")]
    width = 0.8 / len(names)
    for i, (key, text) in enumerate(names):
        xs = [j + (i - len(names) / 2 + 0.5) * width for j in range(len(search_rows))]
        ys = [r.get(key + "_x", 0) for r in search_rows]
        ax.bar(xs, ys, width, label=text)
    ax.axhline(1.0, color="0.3", linestyle="dashed", linewidth=1, label="read-once floor")
    ax.set_xticks(range(len(search_rows)))
    ax.set_xticklabels([short_size(r["n"], r["d"]) + ("\nreal" if r["data"] == "real" else "")
                        + ("\n(in cache)" if r["in_cache"] else "") for r in search_rows])
    ax.set_ylabel("× read-once floor: floor time ÷ search time (higher is better)")
    ax.set_title("top-10 search, one query (median)")
    ax.legend(fontsize=8)

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
    for i, (mode, key, label) in enumerate(series):
        values = [next(r[key] for r in memory if (r["n"], r["d"], r["mode"]) == (n, d, mode)) / (4 * n * d)
                  for n, d in sizes]
        ax.bar([j + (i - 1.5) * width for j in range(len(sizes))], values, width, label=label)
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
    parser.add_argument("--sizes", default="1000000x128,100000x384,100000x768,10000x384",
                        help="search sizes, n x d, comma separated")
    parser.add_argument("--load-sizes", default="100000x384")
    parser.add_argument("--real", type=Path, default=HERE / "results" / "stdlib_minilm.npy",
                        help="real embeddings (.npy) made by bench/real_embeddings.py; measured when present")
    parser.add_argument("--adversarial-size", default=None, help="n x d of the adversarial stores (300000x128)")
    parser.add_argument("--memory-sizes", default=None, help="default: the search sizes")
    parser.add_argument("--repeats", type=int, default=61, help="timed calls per search competitor")
    parser.add_argument("--load-repeats", type=int, default=7)
    parser.add_argument("--dram-mib", type=int, default=1024, help="array read for the memory bandwidth")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--quick", action="store_true", help="smoke run: few repeats, small loading size")
    args = parser.parse_args()
    if args.quick:
        args.repeats, args.load_repeats, args.load_sizes, args.dram_mib = 5, 1, "20000x384", 256
        args.adversarial_size = args.adversarial_size or "50000x128"
    args.adversarial_size = args.adversarial_size or "300000x128"
    sizes = parse_sizes(args.sizes)
    memory_sizes = parse_sizes(args.memory_sizes) if args.memory_sizes else sizes

    started = time.time()
    info = machine()
    common = ("--repeats", args.repeats, "--seed", args.seed, "--dram-mib", args.dram_mib)

    def search_pair(n, d, *options):
        # The default search and the forced full scan, each in its own process.
        return (worker("search", n, d, *common, *options),
                worker("search", n, d, *common, *options, "--only-quillmere", scan="full"))

    search = []
    for n, d in sizes:
        print(f"search {fmt_size(n, d)} ...", file=sys.stderr, flush=True)
        search.append(search_pair(n, d))
    if args.real is not None and args.real.exists():
        print(f"search over real embeddings in {args.real} ...", file=sys.stderr, flush=True)
        search.append(search_pair(0, 0, "--data", args.real))
    elif args.real is not None:
        print(f"no real embeddings at {args.real} (python bench/real_embeddings.py makes them)", file=sys.stderr)
    adversarial = []
    for n, d in parse_sizes(args.adversarial_size):
        for case in ADVERSARIAL:
            print(f"adversarial {case} {fmt_size(n, d)} ...", file=sys.stderr, flush=True)
            adversarial.append(search_pair(n, d, "--data", case, "--only-quillmere"))
    loads = []
    for n, d in parse_sizes(args.load_sizes):
        print(f"loading {fmt_size(n, d)} ...", file=sys.stderr, flush=True)
        loads.append(worker("load", n, d, "--repeats", args.load_repeats, "--seed", args.seed))
    memory = []
    for n, d in memory_sizes:
        print(f"memory {fmt_size(n, d)} ...", file=sys.stderr, flush=True)
        for mode in ("ctor", "insert"):
            memory.append(worker("memory", n, d, "--mode", mode, "--seed", args.seed))
    elapsed = time.time() - started

    rows = [summarise_search(r, full, info["llc_bytes"]) for r, full in search]
    hard = [summarise_search(r, full, info["llc_bytes"]) for r, full in adversarial]
    info["blas"] = [{k: lib.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
                    for lib in (search[0][0]["blas"] if search else [])]
    info["faiss"] = search[0][0]["faiss"] if search else None
    dram = [r["dram_bytes"] / med(r["times"]["read_dram"]) / GB for pair in search for r in pair]
    blas = ", ".join(f"{b['internal_api']} {b['version']} {b['architecture']}" for b in info["blas"]) or "unknown"
    faiss = f"faiss {info['faiss']['version']}" if info["faiss"] else "faiss not installed"
    md = [
        (f"Measured {time.strftime('%Y-%m-%d')} by `python bench/run.py`. Machine: {info['cpu']}, "
         f"{info['cores']} cores, {info['memory_gib']} GiB, last-level cache "
         f"{(info['llc_bytes'] or 0) / 2**20:.0f} MiB, Linux {info['kernel']}; Python {info['python']}, "
         f"numpy {info['numpy']} ({blas}), {faiss}."),
        "",
        (f"Search: `search(q, 10)` and `parallel_search(q, 10)` (and with top 100) against numpy (norms "
         f"precomputed; matvec, divide, argpartition, stable sort of 10) and faiss `IndexFlatIP` on pre-normalised "
         f"copies, one query per call; median of {args.repeats} interleaved calls, each after one warm-up call. "
         f"numpy and faiss show their faster thread setting (1t or default). Read-once floor: the time for one "
         f"core to stream the store's 4·n·d bytes once (numpy's single-thread integer or-reduction over those "
         f"bytes, or at the rate of its 1 GiB read if faster), interleaved with the searches; each search is "
         f"shown as floor time ÷ its time. Full scan: the same searches in a second process with "
         f"QUILLMERE_SCAN=full, which reads every stored float, against that process's own floor. "
         f"1 GiB read in this run: {min(dram):.1f}-{max(dram):.1f} GB/s."),
        "",
        *search_table(rows),
        "",
        (f"Adversarial stores ({', '.join(ADVERSARIAL)}): where the high plane cannot rule blocks out, "
         f"the search must cost no more than the full scan."),
        "",
        *adversarial_table(hard),
        "",
    ]
    for result in loads:
        md += load_table(result) + [""]
    md += ["Resident memory added by building a store from numpy rows (MB, and ÷ 4·n·d):", "",
           *memory_table(memory), "", "Targets:", "", *targets(rows, hard, loads, memory)]
    problems = [f"{label(r)} {r['data']}: {k}" for r in rows + hard for k, ok in r["check"].items() if not ok]
    if problems:
        md += ["", "Result checks that failed: " + "; ".join(problems)]
    text = "\n".join(md) + "\n"

    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "table.md").write_text(text)
    with open(args.out / "results.json", "w") as raw:
        json.dump({"machine": info, "args": {k: str(v) for k, v in vars(args).items()}, "seconds": elapsed,
                   "search": search, "adversarial": adversarial, "load": loads, "memory": memory}, raw, indent=1)
    chart(args.out / "chart.png", rows, loads, memory)
    print(text)
    print(f"raw results, table and chart in {args.out} ({elapsed:.0f} s)", file=sys.stderr)


if __name__ == "__main__":
    main()
