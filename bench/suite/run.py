"""Benchmark suite of morvex.utils.memory.

Runs every measurement against a reference timed in the same process, on the
same data, and prints one table row per measurement: the module's figure, the
reference's, their ratio (module time / reference time; "1/x" means x times
faster) and the goal with met / NOT MET.  The timing loops live in the
compiled consumer `_mx_bench` (bench.cpp), which calls the module only
through the public header, as a user's compiled module does.

    python bench/suite/run.py --ext-dir DIR [--quick] [--numpy-reps N]

DIR holds `_mx_bench` and its build-info.json (see build.py).  --quick runs
smaller sizes and shorter loops, for checking the suite itself; its figures
do not speak for the goals.  Exit status 1 when the module's output differed
from a reference's anywhere, else 0 (goals not met do not fail the run).
"""
import argparse
import json
import os
import platform
import shlex
import subprocess
import sys
import sysconfig
import time

# numpy's BLAS worker threads must not spin on the second core while the
# timed loops run
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

ORDERS = {  # name: record fields compared first, second, third
    "cmp_head": (0, 1, 2),
    "cmp_tail": (2, 1, 0),
    "cmp_rel": (0, 2, 1),
    "cmp_rel2": (1, 0, 2),
    "cmp_rel3": (1, 2, 0),
}

COLUMNS = (("measured", 56), ("module", 12), ("reference", 12), ("ratio", 8), ("goal", 8), ("", 7))


# ---- data ------------------------------------------------------------------------

def graph_data(n, seed):
    """Head and tail uniform in [0, 2^20), relation in [0, 1000); about a
    tenth of the rows copied from other rows."""
    rng = np.random.default_rng(seed)
    a = np.empty((n, 3), dtype=np.int32)
    a[:, 0] = rng.integers(0, 1 << 20, n, dtype=np.int32)
    a[:, 1] = rng.integers(0, 1000, n, dtype=np.int32)
    a[:, 2] = rng.integers(0, 1 << 20, n, dtype=np.int32)
    if n > 1:
        dup = np.flatnonzero(rng.random(n) < 0.1)
        a[dup] = a[rng.integers(0, n, dup.size)]
    return a


def full_data(n, seed):
    """All three fields uniform over the whole int32 range."""
    rng = np.random.default_rng(seed)
    info = np.iinfo(np.int32)
    return rng.integers(info.min, info.max, size=(n, 3), dtype=np.int32, endpoint=True)


DATA_SETS = (("graph", graph_data), ("full", full_data))


# ---- table ------------------------------------------------------------------------

def fmt_ratio(r):
    if r <= 0 or r != r:
        return "-"
    if r < 1:
        return "1/%.2f" % (1 / r) if r > 0.1 else "1/%.1f" % (1 / r)
    return "%.2f" % r


class Table:
    def __init__(self):
        self.goals = []       # (label, met)
        self.mismatches = []  # labels

    @staticmethod
    def line(cells):
        out = []
        for (_, width), cell in zip(COLUMNS, cells):
            out.append(str(cell).ljust(width) if width == COLUMNS[0][1] else str(cell).rjust(width))
        return "  ".join(out).rstrip()

    def head(self, title):
        print()
        print(title)
        print(self.line([name for name, _ in COLUMNS]))
        print(self.line(["-" * w for _, w in COLUMNS]))
        sys.stdout.flush()

    def row(self, label, mine, theirs, ratio, goal=None, unit_fmt="%.1f"):
        """`goal` is the largest acceptable ratio, or None for a row that
        only informs."""
        if goal is None:
            goal_text, status = "-", ""
        else:
            met = ratio <= goal
            goal_text = "<= 1/%g" % round(1 / goal, 2) if goal < 1 else "<= %g" % goal
            status = "met" if met else "NOT MET"
            self.goals.append((label, met))
        print(self.line([label, unit_fmt % mine, unit_fmt % theirs, fmt_ratio(ratio), goal_text, status]))
        sys.stdout.flush()

    def mismatch(self, label, what):
        self.mismatches.append(label)
        print(self.line([label, "output differs from " + what + ": row aborted"]))
        sys.stdout.flush()


# ---- header -----------------------------------------------------------------------

def compiler_line(info):
    cmd = info.get("compile") or []
    cxx = cmd[0] if cmd else (sysconfig.get_config_var("CXX") or "c++").split()[0]
    try:
        version = subprocess.run([cxx, "--version"], stdout=subprocess.PIPE,
                                 universal_newlines=True, check=False).stdout.splitlines()[0]
    except (OSError, IndexError):
        version = "?"
    flags = []
    skip = False
    for arg in cmd[1:]:
        if skip:
            skip = False
            continue
        if arg in ("-c", "-o"):
            skip = arg == "-o"
            continue
        if arg.startswith("-I") or not arg.startswith("-"):
            continue
        flags.append(arg)
    return cxx, version, flags


def cpu_line():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        model = platform.processor() or "?"
    return "%s, %d logical CPUs" % (model, os.cpu_count() or 0)


def print_header(info, args):
    import morvex.utils.memory as memory
    cxx, version, flags = compiler_line(info)
    print("morvex.utils.memory benchmarks%s" % ("  (--quick: sizes reduced, goals not meaningful)" if args.quick else ""))
    print("compiler : %s  [%s]" % (version, cxx))
    print("flags    : %s" % " ".join(shlex.quote(f) for f in flags))
    print("           (the interpreter's CFLAGS, then the module's own flags from build_flags.py: %s)"
          % " ".join(info.get("module_flags", [])))
    print("cpu      : %s" % cpu_line())
    print("python   : %s %s (%s)" % (platform.python_implementation(), platform.python_version(), sys.executable))
    print("numpy    : %s" % np.__version__)
    print("module   : %s" % memory.__file__)
    print("timing   : best of %d runs at 10^7 records, best of 5 elsewhere; the numpy figures are %s"
          % (args.reps_huge, "one run" if args.numpy_reps == 1 else "best of %d" % args.numpy_reps))
    print("           (quick_sort against memmove: best of %d, the two alternated)" % args.reps_move)
    print("           CPU time of the benchmarking thread; references run in this process, interleaved")
    print("ratio    : module time / reference time; 1/x means the module is x times faster")
    sys.stdout.flush()


# ---- sections ---------------------------------------------------------------------

def numpy_sort(a, fields, reps):
    """np.lexsort on the key columns (primary key last) plus the gather, in
    CPU time of this thread like the compiled figures."""
    best, result = float("inf"), None
    keys = (a[:, fields[2]], a[:, fields[1]], a[:, fields[0]])
    for _ in range(reps):
        result = None  # (see _best)
        t0 = time.thread_time()
        result = a[np.lexsort(keys)]
        best = min(best, time.thread_time() - t0)
    return best, result


def sorts(bench, table, args):
    table.head("sort: quick_sort with the exported order vs std::sort calling it through an opaque pointer (ms)")
    exps = (4, 5) if args.quick else (5, 6, 7)
    moves = []
    for set_name, make in DATA_SETS:
        for exp in exps:
            n = 10 ** exp
            a = make(n, seed=1000 + exp)
            out = np.empty_like(a)
            reps, reference_reps = (args.reps_move, args.reps_huge) if exp >= 7 else (5, 5)
            for order, fields in ORDERS.items():
                label = "%-8s %-5s n=10^%d" % (order, set_name, exp)
                mine, theirs, same, move, paired = bench.sort_large(a, out, order, max(reps, reference_reps),
                                                                    reference_reps)
                if not same:
                    table.mismatch(label, "std::sort")
                    continue
                goal = 1 / 8 if exp >= 6 else 1.0
                table.row(label, paired * 1e3, theirs * 1e3, paired / theirs, goal)
                if exp >= 7 or (args.quick and exp == exps[-1]):
                    moves.append((label + " vs memmove", mine, move))
                    t_np, np_sorted = numpy_sort(a, fields, args.numpy_reps)
                    label_np = label + " vs np.lexsort+a[idx]"
                    if not np.array_equal(np_sorted, out):
                        table.mismatch(label_np, "numpy")
                    else:
                        table.row(label_np, paired * 1e3, t_np * 1e3, paired / t_np)
                    del np_sorted
            del a, out
    # how far the sort is from memory speed: a memmove of the same bytes
    table.head("sort: quick_sort vs a memmove of the same bytes, alternated in the same run, best of %d (ms)"
               % (args.reps_move if not args.quick else 5))
    for label, mine, move in moves:
        table.row(label, mine * 1e3, move * 1e3, mine / move, 8.0)


def small_sorts(bench, table, args):
    table.head("sort, small arrays: many independent sorts of n records; worst of the five orders (ns per call)")
    sample = 0.005 if args.quick else 0.02
    for set_name, make in DATA_SETS:
        for n in (2, 8, 64, 1000):
            groups = max(1, 16384 // n)
            a = make(n * groups, seed=7 + n)
            worst = None
            for order in ORDERS:
                mine, theirs, same = bench.sort_small(a, n, order, sample, 5)
                if not same:
                    table.mismatch("%-8s %-5s n=%d" % (order, set_name, n), "std::sort")
                    continue
                if worst is None or mine / theirs > worst[0]:
                    worst = (mine / theirs, order, mine, theirs)
            if worst is not None:
                ratio, order, mine, theirs = worst
                table.row("%-5s n=%-5d (worst: %s)" % (set_name, n, order), mine, theirs, ratio, 1.0)


def loader(bench, table, args):
    table.head("load_triple_from_numpy from an int32 (n, k) array vs memcpy of the 12n bytes (ms)")
    n = 10 ** 6 if args.quick else 10 ** 7
    rng = np.random.default_rng(5)
    wide = rng.integers(-1000, 1000, size=(n, 5), dtype=np.int32)
    three = np.ascontiguousarray(wide[:, :3])
    exp = len(str(n)) - 1
    for cols, table_in, goal in ((3, three, 1.1), (5, wide, 1.5)):
        label = "%d columns, n=10^%d" % (cols, exp)
        mine, theirs, same = bench.load(table_in, three, 5)
        if not same:
            table.mismatch(label, "the table's first three columns")
            continue
        table.row(label, mine * 1e3, theirs * 1e3, mine / theirs, goal, "%.2f")


def draws(bench, table, args):
    count = 10 ** 7 if args.quick else 10 ** 8
    table.head("random draws through the exported pointers, 10^%d in a loop, vs a bare multiply-add "
               "behind an opaque pointer of the same shape (ns per draw)" % (len(str(count)) - 1))
    bench.setup_random(2, 12345)
    for kind, label, goal in (("_rand64", "_rand64(0)", 1.3),
                              ("rand_max", "rand_max(0, 1000, 1)", None),
                              ("random_for_prob", "random_for_prob(5)", None)):
        mine, theirs = bench.draws(kind, count, 5)
        table.row(label, mine / count * 1e9, theirs / count * 1e9, mine / theirs, goal, "%.2f")


def pool_and_rows(bench, table, args):
    count = 10 ** 5 if args.quick else 10 ** 6
    table.head("MemoryPool and Data through their method tables, GIL held (ns per operation)")
    mine, theirs = bench.pool(count, 5)
    table.row("pool alloc(1, 64) + free vs PyMem + dict", mine / count * 1e9, theirs / count * 1e9,
              mine / theirs, 1.5)
    mine, theirs = bench.add_row(count, 5)
    table.row("Data(3).add_row vs vector<int32_t> x3", mine / count * 1e9, theirs / count * 1e9,
              mine / theirs, 2.0)


def _numpy_contains(known, queries, set_name):
    """The fastest pure-numpy membership test we found for each data set.
    Graph-like rows pack exactly into one int64 (20 + 10 + 20 bits): sort the
    packed known keys, searchsorted the packed queries.  Full-range rows do
    not pack, so a 64-bit hash of each row stands in: argsort the known
    hashes, searchsorted the query hashes, then compare the candidate rows
    themselves."""
    if set_name == "graph":
        def pack(a):
            return (a[:, 0].astype(np.int64) << 30) | (a[:, 1].astype(np.int64) << 20) | a[:, 2]
        keys = np.sort(pack(known))
        q = pack(queries)
        i = np.minimum(np.searchsorted(keys, q), len(keys) - 1)
        return keys[i] == q

    def hashed(a):
        u = a.astype(np.uint64)
        return (u[:, 0] * np.uint64(0x9E3779B97F4A7C15)) ^ (u[:, 1] * np.uint64(0xBF58476D1CE4E5B9)) \
            ^ (u[:, 2] * np.uint64(0x94D049BB133111EB))
    hk = hashed(known)
    order = np.argsort(hk)
    hk = hk[order]
    hq = hashed(queries)
    i = np.minimum(np.searchsorted(hk, hq), len(hk) - 1)
    return (hk[i] == hq) & (known[order[i]] == queries).all(axis=1)


# (Each timed call's last result is let go before the clock starts: freeing
# it, up to 200 MB of pages, is no part of the call being timed.)

def _best(fn, reps):
    best, result = float("inf"), None
    for _ in range(reps):
        result = None
        t0 = time.thread_time()
        result = fn()
        best = min(best, time.thread_time() - t0)
    return best, result


def _best_both(fn, reps):
    """Best CPU time of this thread and best wall-clock time of `reps` runs."""
    cpu = wall = float("inf")
    result = None
    for _ in range(reps):
        result = None
        c0, w0 = time.thread_time(), time.perf_counter()
        result = fn()
        cpu, wall = min(cpu, time.thread_time() - c0), min(wall, time.perf_counter() - w0)
    return cpu, wall, result


def python_triples(bench, table, args):
    """morvex.utils.triples against what a numpy user writes today."""
    from morvex.utils import triples
    table.head("morvex.utils.triples (threads=1 unless said) vs numpy, head order, timed in Python (ms); "
               "contains vs numpy's packed-key or hashed-key sort + searchsorted")
    exps = (4, 5) if args.quick else (6, 7)
    for set_name, make in DATA_SETS:
        for exp in exps:
            a = make(10 ** exp, seed=2000 + exp)
            tag = "%-5s n=10^%d" % (set_name, exp)
            copies = iter([a.copy() for _ in range(3)])
            mine, out = _best(lambda: triples.sort(next(copies), threads=1), 3)
            theirs, ref = _best(lambda: a[np.lexsort((a[:, 2], a[:, 1], a[:, 0]))], args.numpy_reps)
            label = "sort %s vs lexsort+a[idx]" % tag
            if np.array_equal(out, ref):
                table.row(label, mine * 1e3, theirs * 1e3, mine / theirs, 1 / 30)
            else:
                table.mismatch(label, "numpy")
            del copies, out, ref
            mine, out = _best(lambda: triples.unique(a, return_counts=True, threads=1), 3)
            theirs, ref = _best(lambda: np.unique(a, axis=0, return_counts=True), args.numpy_reps)
            label = "unique %s vs np.unique(axis=0)" % tag
            if np.array_equal(out[0], ref[0]) and np.array_equal(out[1], ref[1]):
                table.row(label, mine * 1e3, theirs * 1e3, mine / theirs, 1 / 10)
            else:
                table.mismatch(label, "numpy")
            del out, ref, a
        # 10^(k-1) queries against 10^k known rows: sampled negatives (known
        # rows with the tail drawn afresh, so nearly all absent), and a set
        # of which half are known rows
        n = 10 ** (exps[-1])
        known = make(n, seed=3000)
        rng = np.random.default_rng(3001)
        fresh_tails = make(n // 10, seed=3002)[:, 2]
        negatives = known[rng.integers(0, n, n // 10)]
        negatives[:, 2] = fresh_tails
        half = known[rng.integers(0, n, n // 10)]
        half[1::2, 2] = fresh_tails[1::2]
        reference = "packed" if set_name == "graph" else "hashed"
        for kind, queries in (("negatives", negatives), ("half true", half)):
            # numpy's idiom runs on one thread: against it, contains on one
            # thread (CPU time, as above) and on every core (wall-clock time,
            # numpy's too), the latter with the goal
            theirs, theirs_wall, ref = _best_both(lambda: _numpy_contains(known, queries, set_name),
                                                  args.numpy_reps)
            mine, out = _best(lambda: triples.contains(known, queries, threads=1), 3)
            best, results = _alternate({None: lambda _: triples.contains(known, queries)}, 3)
            every, out_every = best[None], results[None]
            for threads_label, spent, reference_time, result, goal in (
                    ("1 thr", mine, theirs, out, None),
                    ("%d thr" % triples._workers()[0], every, theirs_wall, out_every, 1 / 10)):
                label = "contains %s n=10^%d %s, %s vs %s" % (set_name, exps[-1], kind, threads_label, reference)
                if np.array_equal(result, ref):
                    table.row(label, spent * 1e3, reference_time * 1e3, spent / reference_time, goal)
                else:
                    table.mismatch(label, "numpy")
        del known, negatives, half, out, ref


def _alternate(calls, reps, timer=time.perf_counter, prepare=None):
    """Times each of `calls` ({key: fn}) once a round for `reps` rounds
    (wall-clock by default: the work of parallel calls is spread over
    threads, which the calling thread's CPU time would miss),
    alternating so that load on the machine hits them alike: each one's
    best time and last result, in dicts by key.  `prepare`: called before
    each timed call (untimed), its result passed to the call; a dict of
    them by key when the calls need different ones."""
    best = {key: float("inf") for key in calls}
    results = {}
    for _ in range(reps):
        for key, fn in calls.items():
            prep = prepare.get(key) if isinstance(prepare, dict) else prepare
            arg = prep() if prep else None
            results.pop(key, None)
            t0 = timer()
            results[key] = fn(arg)
            best[key] = min(best[key], timer() - t0)
    return best, results


def _same(x, y):
    if isinstance(x, tuple):
        return all(np.array_equal(p, q) for p, q in zip(x, y))
    return np.array_equal(x, y)


def threads(bench, table, args):
    """The functions of morvex.utils.triples on every core (threads=None)
    against threads=1, each pair timed alternately in the same run."""
    from morvex.utils import triples
    cores = triples._workers()[0]
    exp = 5 if args.quick else 7
    n = 10 ** exp
    reps = 3 if args.quick else args.reps_threads
    table.head("morvex.utils.triples on %d threads (threads=None) vs threads=1, head order, "
               "wall-clock time, best of %d (ms)" % (cores, reps))
    # Every call of both data sets is timed in each round, so that a stretch
    # of load on the host costs each row one round, not all of its rounds.
    calls, prepare, rows = {}, {}, []
    for set_name, make in DATA_SETS:
        a = make(n, seed=4000 + exp)
        rng = np.random.default_rng(4001)
        queries = a[rng.integers(0, n, n // 10)]
        queries[1::2, 2] = make(n // 10, seed=4002)[1::2, 2]
        for name, call, prep, goal in (
                ("sort", lambda b, t: triples.sort(b, threads=t), lambda a=a: a.copy(), 1 / 1.6),
                ("sorted_copy", lambda _, t, a=a: triples.sorted_copy(a, threads=t), None, 1 / 1.7),
                ("unique", lambda _, t, a=a: triples.unique(a, return_counts=True, threads=t), None, 1 / 1.7),
                ("contains", lambda _, t, a=a, q=queries: triples.contains(a, q, threads=t), None, 1 / 1.7)):
            for t in (None, 1):
                calls[set_name, name, t] = lambda arg, call=call, t=t: call(arg, t)
                prepare[set_name, name, t] = prep
            rows.append((set_name, name, goal))
        del a, queries
    best, results = _alternate(calls, reps, prepare=prepare)
    for set_name, name, goal in rows:
        label = "%-11s %-5s n=10^%d%s" % (name, set_name, exp, ", 10^%d queries" % (exp - 1)
                                           if name == "contains" else "")
        if not _same(results[set_name, name, None], results[set_name, name, 1]):
            table.mismatch(label, "threads=1")
            continue
        table.row(label, best[set_name, name, None] * 1e3, best[set_name, name, 1] * 1e3,
                  best[set_name, name, None] / best[set_name, name, 1], goal if cores > 1 else None)
    results.clear()

    # Where splitting starts to pay: two threads forced on small tables
    # (the module's own threshold set to one row per thread) against one.
    table.head("crossover: 2 threads forced vs threads=1, full-range data, head order, wall-clock, best of 15 (ms)")
    before = triples._set_rows_per_thread(1)
    try:
        for exp2 in range(14, 21, 2):
            n = 2 ** exp2
            a = full_data(n, seed=4100 + exp2)
            for name, call, prepare in (
                    ("sort", lambda b, t: triples.sort(b, threads=t), lambda: a.copy()),
                    ("sorted_copy", lambda _, t: triples.sorted_copy(a, threads=t), None),
                    ("contains", lambda _, t: triples.contains(a, a[::10], threads=t), None)):
                best, _ = _alternate({t: lambda arg, t=t: call(arg, t) for t in (2, 1)}, 15, prepare=prepare)
                table.row("%-11s n=2^%d" % (name, exp2), best[2] * 1e3, best[1] * 1e3, best[2] / best[1],
                          unit_fmt="%.2f")
    finally:
        triples._set_rows_per_thread(before)


def _pack(a):
    """Graph-like rows as one int64 each: 20 + 10 + 20 bits."""
    return (a[:, 0].astype(np.int64) << 30) | (a[:, 1].astype(np.int64) << 20) | a[:, 2]


def _numpy_corrupt(keys, batch, k, entities, rng):
    """Filtered negatives the vectorised numpy way: draw every negative,
    look the packed rows up in the sorted packed keys of the known triples
    with searchsorted, and redraw the hits until none remain."""
    neg = np.repeat(batch, k, axis=0)
    col = np.where(rng.random(len(neg)) < 0.5, 0, 2)
    own = neg[np.arange(len(neg)), col]
    todo = np.arange(len(neg))
    while todo.size:
        draw = rng.integers(0, entities - 1, todo.size, dtype=np.int32)
        draw += draw >= own[todo]  # never the entity it replaces
        neg[todo, col[todo]] = draw
        q = _pack(neg[todo])
        i = np.minimum(np.searchsorted(keys, q), len(keys) - 1)
        todo = todo[keys[i] == q]
    return neg.reshape(len(batch), k, 3)


def _numpy_tails(keys, pairs):
    """The known tails of each (head, relation) pair from the sorted packed
    keys: two searchsorted on the (head, relation) part, then a gather."""
    hr = keys >> 20
    q = (pairs[:, 0].astype(np.int64) << 10) | pairs[:, 1]
    lo, hi = np.searchsorted(hr, q, "left"), np.searchsorted(hr, q, "right")
    offsets = np.zeros(len(pairs) + 1, np.int64)
    np.cumsum(hi - lo, out=offsets[1:])
    at = np.repeat(lo - offsets[:-1], hi - lo) + np.arange(offsets[-1])
    return offsets, (keys[at] & 0xFFFFF).astype(np.int32)


def index(bench, table, args):
    """triples.Index: its build, its lookups and filtered negatives, on
    graph-like data, against numpy and against itself."""
    from morvex.utils import triples
    exp = 5 if args.quick else 7
    n, m, k = 10 ** exp, 10 ** (exp - 1), 32
    reps = 3 if args.quick else args.reps_index
    table.head("triples.Index, graph n=10^%d, batch 10^%d x %d negatives, best of %d (ms)" % (exp, exp - 1, k, reps))
    known = graph_data(n, seed=5000)
    rng = np.random.default_rng(5001)
    batch = known[rng.integers(0, n, m)]
    keys = np.unique(_pack(known))

    built, idx = _best(lambda: triples.Index(known, threads=1), reps)
    copies = iter([known.copy() for _ in range(reps)])
    sorted_once, _ = _best(lambda: triples.sort(next(copies), threads=1), reps)
    table.row("Index() build vs triples.sort, threads=1", built * 1e3, sorted_once * 1e3, built / sorted_once, 3)
    table.row("Index memory per distinct triple (bytes) vs 24", idx.nbytes / len(idx), 24,
              idx.nbytes / len(idx) / 24, 1)

    best, results = _alternate({True: lambda _: idx.corrupt(batch, k, seed=1, threads=1),
                                False: lambda _: idx.corrupt(batch, k, seed=1, filtered=False, threads=1)},
                               reps, timer=time.thread_time)
    filtered, plain, out = best[True], best[False], results[True]
    label = "corrupt filtered vs filtered=False, threads=1"
    if idx.contains(out.reshape(-1, 3)).any():
        table.mismatch(label, "the rule (a known triple among the negatives)")
    else:
        table.row(label, filtered * 1e3, plain * 1e3, filtered / plain, 1.3)
    theirs, ref = _best(lambda: _numpy_corrupt(keys, batch, k, idx.num_entities, rng), args.numpy_reps)
    label = "corrupt filtered vs numpy draw+searchsorted+redraw"
    if np.isin(_pack(ref.reshape(-1, 3)), keys).any():
        table.mismatch(label, "the rule (numpy's own negatives)")
    else:
        table.row(label, filtered * 1e3, theirs * 1e3, filtered / theirs, 1 / 20)
    del ref
    cores = triples._workers()[0]
    best, results = _alternate({t: lambda _, t=t: idx.corrupt(batch, k, seed=1, threads=t) for t in (2, 1)}, reps)
    label = "corrupt filtered, threads=2 vs threads=1 (wall)"
    if not np.array_equal(results[1], results[2]):
        table.mismatch(label, "threads=1")
    else:
        table.row(label, best[2] * 1e3, best[1] * 1e3, best[2] / best[1], 1 / 1.7 if cores > 1 else None)
    del results, out

    pairs = np.ascontiguousarray(batch[:, :2])
    mine, got = _best(lambda: idx.tails(pairs, threads=1), reps)
    theirs, ref = _best(lambda: _numpy_tails(keys, pairs), args.numpy_reps)
    label = "tails 10^%d pairs vs numpy searchsorted+gather" % (exp - 1)
    if _same(got, ref):
        table.row(label, mine * 1e3, theirs * 1e3, mine / theirs, 1 / 10)
    else:
        table.mismatch(label, "numpy")


def _numpy_rank_counts(idx, batch, scores, block=8):
    """The exact filtered counts the numpy way, a few rows at a time: a copy
    of the rows with the known tails and the true tail set to NaN, then the
    scores above and equal to the true one counted."""
    m, w = scores.shape
    offsets, values = idx.tails(batch[:, :2])
    truth = scores[np.arange(m), batch[:, 2]]
    out = np.empty((m, 3), np.int64)
    for lo in range(0, m, block):
        hi = min(m, lo + block)
        x = scores[lo:hi].copy()
        rows = np.repeat(np.arange(hi - lo), np.diff(offsets[lo:hi + 1]))
        x[rows, values[offsets[lo]:offsets[hi]]] = np.nan
        x[np.arange(hi - lo), batch[lo:hi, 2]] = np.nan
        t = truth[lo:hi, None]
        out[lo:hi, 0] = np.count_nonzero(x > t, axis=1)
        out[lo:hi, 1] = np.count_nonzero(x == t, axis=1)
        out[lo:hi, 2] = w - np.count_nonzero(np.isnan(x), axis=1)
    return out


def rank(bench, table, args):
    """Index.rank_counts: filtered ranking counts of test triples from a
    float32 score matrix, against a memmove of its bytes, itself on two
    threads, in chunks, and numpy."""
    import ctypes
    from morvex.utils import triples
    exp, m = 20, 8 if args.quick else args.rank_rows
    entities = 1 << exp
    reps = 3 if args.quick else args.reps_index
    gib = m * entities * 4 / 2 ** 30
    table.head("Index.rank_counts, graph n=10^%d, %d test rows x 2^%d float32 scores (%.2f GiB), filtered, "
               "wall-clock, best of %d (ms)" % (6 if args.quick else 7, m, exp, gib, reps))
    known = graph_data(10 ** 6 if args.quick else 10 ** 7, seed=6000)
    idx = triples.Index(known, num_entities=entities)
    rng = np.random.default_rng(6001)
    batch = known[rng.integers(0, len(known), m)]
    scores = np.empty((m, entities), np.float32)
    for lo in range(0, m, 64):
        scores[lo:lo + 64] = rng.random((min(m, lo + 64) - lo, entities), dtype=np.float32)
    target = np.empty_like(scores)
    target.fill(0)  # its pages are in place before the memmove is timed

    def move(_):
        ctypes.memmove(target.ctypes.data, scores.ctypes.data, scores.nbytes)

    best, results = _alternate({1: lambda _: idx.rank_counts(batch, scores, threads=1),
                                2: lambda _: idx.rank_counts(batch, scores, threads=2), "move": move}, reps)
    del target
    one, out = best[1], results[1]
    table.row("filtered, threads=1 vs memmove of the scores", one * 1e3, best["move"] * 1e3, one / best["move"], 1.0)
    label = "filtered, threads=2 vs threads=1"
    if not np.array_equal(results[2], out):
        table.mismatch(label, "threads=1")
    else:
        table.row(label, best[2] * 1e3, one * 1e3, best[2] / one,
                  1 / 1.5 if triples._workers()[0] > 1 else None)

    truth = scores[np.arange(m), batch[:, 2]]
    width = entities // 16

    def chunked(_):
        total = np.zeros((m, 3), np.int64)
        for start in range(0, entities, width):
            total += idx.rank_counts(batch, scores[:, start:start + width], start=start, true_scores=truth,
                                     threads=1)
        return total

    best, results = _alternate({"whole": lambda _: idx.rank_counts(batch, scores, threads=1), "chunks": chunked},
                               reps)
    label = "filtered, 16 chunks vs one call, threads=1"
    if not np.array_equal(results["chunks"], results["whole"]):
        table.mismatch(label, "one call")
    else:
        table.row(label, best["chunks"] * 1e3, best["whole"] * 1e3, best["chunks"] / best["whole"], 1.1)
    del results

    theirs, ref = _best_both(lambda: _numpy_rank_counts(idx, batch, scores), args.numpy_reps)[1:]
    label = "filtered, threads=1 vs numpy copy+NaN mask+compare"
    if not np.array_equal(ref, out):
        table.mismatch(label, "numpy")
    else:
        table.row(label, one * 1e3, theirs * 1e3, one / theirs, 1 / 5)
    del scores, ref, out


def skewed_graph(n, seed, entities=2_000_000, relations=300, classes=8):
    """Power-law head and tail degrees (ids drawn with weight rank^-0.8,
    scattered over the range), relations with weight rank^-1; the most
    frequent relation is an "instance of": nine in ten of its tails are one
    of a few class entities, themselves drawn with weight rank^-1."""
    rng = np.random.default_rng(seed)

    def power(count, alpha, size):
        cdf = np.cumsum(np.arange(1, count + 1, dtype=np.float64) ** -alpha)
        return np.minimum(np.searchsorted(cdf, rng.random(size) * cdf[-1]), count - 1)

    ent, rel = rng.permutation(entities).astype(np.int32), rng.permutation(relations).astype(np.int32)
    a = np.empty((n, 3), np.int32)
    a[:, 0] = ent[power(entities, 0.8, n)]
    a[:, 1] = rel[power(relations, 1.0, n)]
    a[:, 2] = ent[power(entities, 0.8, n)]
    typed = np.flatnonzero((a[:, 1] == rel[0]) & (rng.random(n) < 0.9))
    a[typed, 2] = ent[power(classes, 1.0, typed.size)]
    return a


def demo_graph(n, seed=2024, entities=200_000, relations=500):
    """The graph of examples/demo.py (its make_graph, with its default sizes
    and seed), its functions read from the file: the demo itself imports a
    compiled example that the suite does not build."""
    import ast
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "demo.py")
    with open(path) as f:
        tree = ast.parse(f.read())
    space = {"numpy": np}
    body = [node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name in ("zipf_ids", "make_graph")]
    exec(compile(ast.Module(body=body, type_ignores=[]), path, "exec"), space)
    return space["make_graph"](np.random.default_rng(seed), n, entities, relations)


def _pack_fields(a, cols, bits):
    """Rows as one int64 each: the fields `cols` of `a`, key and other of
    `bits` bits, the relation of 10 between them."""
    return (a[:, cols[0]].astype(np.int64) << (bits + 10)) | (a[:, cols[1]].astype(np.int64) << bits) | a[:, cols[2]]


def _numpy_others(keys, pairs, bits):
    """The known ids of each (key, relation) pair from the sorted packed
    keys: two searchsorted, then a gather."""
    kr = keys >> bits
    q = (pairs[:, 0].astype(np.int64) << 10) | pairs[:, 1]
    lo, hi = np.searchsorted(kr, q, "left"), np.searchsorted(kr, q, "right")
    offsets = np.zeros(len(pairs) + 1, np.int64)
    np.cumsum(hi - lo, out=offsets[1:])
    at = np.repeat(lo - offsets[:-1], hi - lo) + np.arange(offsets[-1])
    return offsets, (keys[at] & ((1 << bits) - 1)).astype(np.int32)


def graphs(bench, table, args):
    """triples.Index on a skewed graph with hubs and classes, the demo's
    graph and a sparse one: filtered negatives against unfiltered ones,
    skewed against uniform per negative, lookups against numpy, and the
    memory of the long runs' directories."""
    from morvex.utils import triples
    quick = args.quick
    n, m, k = (10 ** 5, 10 ** 4, 32) if quick else (10 ** 7, 10 ** 6, 32)
    reps = 3 if quick else args.reps_index
    table.head("triples.Index on a uniform, a skewed, the demo's and a sparse graph, batch x 32 negatives, "
               "threads=1, best of %d (ms)" % reps)
    per_negative = {}
    sets = (("uniform", lambda: graph_data(n, seed=5000), m),
            ("skewed", lambda: skewed_graph(n, seed=7000), m),
            ("demo", lambda: demo_graph(10 ** 5 if quick else 10 ** 6), m // 10),
            ("sparse", lambda: _sparse_graph(n // 10, seed=7100), m))
    for name, make, rows in sets:
        known = make()
        idx = triples.Index(known)
        batch = known[np.random.default_rng(7200).integers(0, len(known), rows)]
        tag = name
        print("  %s: %s distinct triples, %s entities, batch of %s rows" % (
            name, format(len(idx), ","), format(idx.num_entities, ","), format(rows, ",")))
        for strategy in ("uniform", "bernoulli"):
            best, results = _alternate(
                {f: lambda _, f=f: idx.corrupt(batch, k, strategy=strategy, filtered=f, rng=1, threads=1)
                 for f in (True, False)}, reps, timer=time.thread_time)
            label = "%s: corrupt filtered vs not, %s" % (tag, strategy)
            if idx.contains(results[True].reshape(-1, 3)).any():
                table.mismatch(label, "the rule (a known triple among the negatives)")
            elif name != "uniform":
                table.row(label, best[True] * 1e3, best[False] * 1e3, best[True] / best[False], 1.3)
            per_negative.setdefault(name, best[True] / (rows * k))
            del results
        if name == "uniform":
            continue
        if name == "skewed":
            table.row("skewed vs uniform: filtered corrupt per negative (ns)", per_negative["skewed"] * 1e9,
                      per_negative["uniform"] * 1e9, per_negative["skewed"] / per_negative["uniform"], 1.5)
        bits = max(20, int(known[:, [0, 2]].max()).bit_length())
        # the skewed graph's class entities have a million heads or more
        # under its "instance of": its pairs would ask for billions
        asked = batch[batch[:, 1] != np.bincount(known[:, 1]).argmax()] if name == "skewed" else batch
        for lookup, cols in (("tails", (0, 1, 2)), ("heads", (2, 1, 0))):
            keys = np.unique(_pack_fields(known, cols, bits))
            pairs = np.ascontiguousarray(asked[:, cols[:2]])
            call = idx.tails if lookup == "tails" else idx.heads
            args_of = pairs if lookup == "tails" else np.ascontiguousarray(pairs[:, ::-1])
            mine, got = _best(lambda: call(args_of, threads=1), reps)
            theirs, ref = _best(lambda: _numpy_others(keys, pairs, bits), args.numpy_reps)
            label = "%s: %s vs numpy searchsorted+gather" % (tag, lookup)
            if _same(got, ref):
                table.row(label, mine * 1e3, theirs * 1e3, mine / theirs, 1 / 10)
            else:
                table.mismatch(label, "numpy")
        table.row("%s: long-run directories vs a quarter of nbytes (KiB)" % name, idx._run_directory_nbytes / 1024,
                  idx.nbytes / 4096, idx._run_directory_nbytes * 4 / idx.nbytes, 1)
        del idx, known, batch


def _sparse_graph(n, seed):
    """Head and tail uniform in [0, 2^21), relation in [0, 100): at 10^6
    triples most ids are absent, and the index keeps the ids present."""
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 1 << 21, (n, 3), dtype=np.int32)
    a[:, 1] %= 100
    return a


from labels import labels  # noqa: E402  (its own file)

SECTIONS = (sorts, small_sorts, loader, draws, pool_and_rows, python_triples, threads, index, graphs, rank, labels)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ext-dir", required=True, help="directory holding _mx_bench")
    parser.add_argument("--quick", action="store_true", help="small sizes, for checking the suite")
    parser.add_argument("--numpy-reps", type=int, default=1, help="runs of the numpy sort (default 1)")
    parser.add_argument("--reps-huge", type=int, default=2, help="runs of each 10^7-record sort (default 2)")
    parser.add_argument("--reps-move", type=int, default=7,
                        help="runs of quick_sort and of memmove at 10^7 records, for their ratio (default 7)")
    parser.add_argument("--reps-threads", type=int, default=15,
                        help="runs of each call in the threads section (default 15)")
    parser.add_argument("--reps-index", type=int, default=3,
                        help="runs of each call in the index section (default 3)")
    parser.add_argument("--rank-rows", type=int, default=1000,
                        help="test rows of the rank section, each of 2^20 float32 scores (default 1000: 4 GiB)")
    parser.add_argument("--only", action="append", choices=[f.__name__ for f in SECTIONS],
                        help="run only this section (may be repeated)")
    args = parser.parse_args()
    sys.path.insert(0, os.path.abspath(args.ext_dir))
    import _mx_bench as bench

    with open(os.path.join(args.ext_dir, "build-info.json")) as f:
        info = json.load(f)
    print_header(info, args)
    table = Table()
    start = time.perf_counter()
    for section in SECTIONS:
        if not args.only or section.__name__ in args.only:
            section(bench, table, args)

    met = [label for label, ok in table.goals if ok]
    missed = [label for label, ok in table.goals if not ok]
    print()
    print("goals met: %d of %d" % (len(met), len(table.goals)))
    for label in missed:
        print("  not met: %s" % label.strip())
    if table.mismatches:
        print("output differed from the reference in %d rows:" % len(table.mismatches))
        for label in table.mismatches:
            print("  %s" % label.strip())
    print("ran for %.0f s" % (time.perf_counter() - start))
    return 1 if table.mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
