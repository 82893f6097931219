"""morvex.utils.triples against numpy's own results in every order and input
layout and on any number of threads, its refusals of bad input (which leave
the caller's array as it was), its memory and row limits, its sort running
while another thread works, and its pool of workers across fork, thread
limits and refused threads."""
import mmap
import os
import pickle
import struct
import subprocess
import sys
import textwrap
import threading
import time
import zlib

import numpy as np
import pytest
from conftest import Exported
from model import KEYS, ORDERS
from test_rank import RANK_BAD

from morvex.utils import triples

I32 = np.iinfo(np.int32)
EXTREMES = np.array([I32.min, I32.min + 1, -1, 0, 1, I32.max - 1, I32.max], dtype=np.int32)
LAYOUTS = {  # each keeps the table's values in its first three columns
    "C": lambda t: t.copy(),
    "fortran": np.asfortranarray,
    "strided": lambda t: np.repeat(t, 2, axis=0)[::2],
    "wide": lambda t: np.hstack([t, np.full((len(t), 2), 9, np.int32)]),
    "columns strided": lambda t: np.repeat(t, 2, axis=1)[:, ::2],
    "no strides": lambda t: Exported(t, strides=None),  # read in C order
}


THREADS = (1, 2, 3, 8)


@pytest.fixture
def split_small_tables():
    """Small tables take the parallel paths too: 500 rows per thread."""
    before = triples._set_rows_per_thread(500)
    yield
    triples._set_rows_per_thread(before)


def make(rng, kind, n):
    if kind == "high bit":  # one row far from the others: a sample of rows misses it
        t = rng.integers(0, 4, size=(n, 3)).astype(np.int32)
        t[rng.integers(0, n, min(n, 1))] = I32.max
        return t
    if kind == "extreme":
        return rng.choice(EXTREMES, size=(n, 3))
    if kind == "dups":
        return rng.integers(-3, 3, size=(n, 3)).astype(np.int32)
    return rng.integers(I32.min, I32.max, size=(n, 3), dtype=np.int32, endpoint=True)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("order", ORDERS)
def test_results_match_numpy(order, layout, resolve, split_small_tables):
    rng = np.random.default_rng(zlib.crc32((order + layout).encode()))
    fields = list(KEYS[order]((0, 1, 2)))
    for kind in ("dups", "extreme", "full", "high bit"):
        for n in (0, 1, 2, 17, 5000):
            t = make(rng, kind, n)
            a = resolve(LAYOUTS[layout](t))
            ref = t[np.lexsort([t[:, f] for f in reversed(fields)])]
            first = np.r_[True, (ref[1:] != ref[:-1]).any(axis=1)] if n else np.zeros(0, bool)
            queries = np.vstack([t[: n // 2], make(rng, kind, 40), make(rng, "full", 40)])
            present = {tuple(r) for r in t.tolist()}
            expected = np.array([tuple(q) in present for q in queries.tolist()], dtype=bool)
            for threads in THREADS if n == 5000 else (None, 8):
                assert np.array_equal(triples.sorted_copy(a, order, threads=threads), ref)
                rows, counts = triples.unique(a, order, return_counts=True, threads=threads)
                assert np.array_equal(rows, ref[first]) and rows.dtype == np.int32
                assert np.array_equal(counts, np.diff(np.r_[np.flatnonzero(first), n]))
                assert np.array_equal(triples.unique(a, order=order, threads=threads), rows)
                assert np.array_equal(
                    triples.contains(a, resolve(LAYOUTS[layout](queries)), order, threads=threads), expected)
                assert np.array_equal(triples.contains(ref, queries, order, assume_sorted=True, threads=threads),
                                      expected)
                # told an unsorted table is sorted: rows may be missed, but none is found that is absent
                lied = triples.contains(a, resolve(LAYOUTS[layout](queries)), order, assume_sorted=True, threads=threads)
                assert not (lied & ~expected).any()
                assert np.array_equal(a, resolve(LAYOUTS[layout](t)))  # inputs are never written...
                if layout == "C":  # ...but by sort
                    b = a.copy()
                    assert triples.sort(b, order, threads=threads) is b and np.array_equal(b, ref)


GOOD = np.array([[3, 2, 1], [1, 2, 3]], dtype=np.int32)
CALLS = {
    "sort": lambda a, order="head": triples.sort(a, order),
    "sorted_copy": lambda a, order="head": triples.sorted_copy(a, order),
    "unique": lambda a, order="head": triples.unique(a, order, True),
    "contains known": lambda a, order="head": triples.contains(a, GOOD, order),
    "contains queries": lambda a, order="head": triples.contains(GOOD, a, order, True),
}
ARG = {"contains known": "known", "contains queries": "queries"}
SHAPE_MESSAGE = "{} must be two-dimensional with at least 3 columns, got "
LAYOUT_MESSAGE = "sort() needs a C-contiguous, aligned (n, 3) int32 array; use sorted_copy() for other layouts"
ORDER_MESSAGE = "order must be one of 'head', 'tail', 'rel', 'rel2', 'rel3', not "
SWAPPED = ">" if sys.byteorder == "little" else "<"
LONG_IS_8 = pytest.mark.skipif(struct.calcsize("l") != 8, reason="a C long has 4 bytes here")
BAD = [  # (input, order, functions, exception, message with {} for the argument's name)
    (GOOD.astype(np.float64), "head", CALLS, TypeError,
     "{} must hold int32 values, got buffer format 'd' (8-byte items)"),
    (GOOD.astype(np.uint32), "head", CALLS, TypeError,
     "{} must hold int32 values, got buffer format 'I' (4-byte items)"),
    (GOOD.tolist(), "head", CALLS, TypeError,
     "{} must export a two-dimensional int32 buffer, such as a numpy array; got 'list'"),
    (GOOD[0], "head", CALLS, ValueError, SHAPE_MESSAGE + "1 dimension"),
    (GOOD.reshape(1, 2, 3), "head", CALLS, ValueError, SHAPE_MESSAGE + "3 dimensions"),
    (GOOD[:, :2], "head", CALLS, ValueError, SHAPE_MESSAGE + "shape (2, 2)"),
    (np.lib.stride_tricks.as_strided(GOOD, (2 ** 31, 3), (0, 4)), "head", CALLS, OverflowError,
     "{} has 2147483648 rows; at most 2147483647 are supported"),
    (GOOD.astype(SWAPPED + "i4"), "head", CALLS, TypeError, "{} must hold int32 values in native byte order, "
     "got buffer format '%si' (%s-endian)" % (SWAPPED, "big" if SWAPPED == ">" else "little")),
    pytest.param(Exported(GOOD, "l"), "head", CALLS, TypeError,
                 "{} must hold int32 values, got buffer format 'l' (4-byte items)", marks=LONG_IS_8),
    pytest.param(Exported(GOOD, "@l"), "head", CALLS, TypeError,
                 "{} must hold int32 values, got buffer format '@l' (4-byte items)", marks=LONG_IS_8),
    (Exported(GOOD, shape=None), "head", CALLS, ValueError, "{} exports a buffer without a shape"),
    (Exported(GOOD, shape=(-1, 3)), "head", CALLS, ValueError,
     "{} exports a buffer with a negative row count (-1)"),
    (Exported(GOOD, suboffsets=(0, -1)), "head", CALLS, ValueError,
     "{} exports an indirect buffer (with suboffsets), which cannot be read directly; copy it into an array first"),
    (GOOD, "cmp_head", CALLS, ValueError, ORDER_MESSAGE + "'cmp_head'"),
    (GOOD, None, CALLS, ValueError, ORDER_MESSAGE + "None"),
    (GOOD, "x" * 10000, CALLS, ValueError, ORDER_MESSAGE + "'" + "x" * 56 + "..."),
    (GOOD, list(range(10000)), CALLS, ValueError,
     ORDER_MESSAGE + "[0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16..."),
    (np.frombuffer(GOOD.tobytes(), np.int32).reshape(2, 3), "head", ["sort"], ValueError,
     "sort() sorts in place and needs a writable array; use sorted_copy() for a read-only one"),
    (np.asfortranarray(GOOD), "head", ["sort"], ValueError, LAYOUT_MESSAGE),
    (np.hstack([GOOD, GOOD]), "head", ["sort"], ValueError, LAYOUT_MESSAGE),
    (np.frombuffer(bytearray(b"\0" + GOOD.tobytes()), np.int32, offset=1).reshape(2, 3), "head", ["sort"],
     ValueError, LAYOUT_MESSAGE),
]


@pytest.mark.parametrize("bad, order, names, exc, message", BAD)
def test_bad_input_is_refused_and_left_alone(bad, order, names, exc, message, resolve):
    bad = resolve(bad)
    before = np.array(bad, copy=True) if isinstance(bad, np.ndarray) and bad.size < 100 else None
    for name in names:
        with pytest.raises(exc) as info:
            CALLS[name](bad, order)
        assert str(info.value) == message.format(ARG.get(name, "a")), name
        if before is not None:
            assert np.array_equal(bad, before), name


@pytest.mark.parametrize("threads, exc, message", [
    (0, ValueError, "got 0"), (-2, ValueError, "got -2"), (-10 ** 20, ValueError, "got -100000000000000000000"),
    (2.0, TypeError, "not 'float'"), (True, TypeError, "not 'bool'")])
def test_bad_thread_counts_are_refused(threads, exc, message):
    a = GOOD.copy()
    for call in (triples.sort, triples.sorted_copy, triples.unique, lambda t, **kw: triples.contains(t, t, **kw)):
        with pytest.raises(exc) as info:
            call(a, threads=threads)
        assert str(info.value) == "threads must be None or a positive int, " + message
    assert np.array_equal(a, GOOD)


def test_thread_count_follows_affinity_and_environment(monkeypatch):
    cpus = os.sched_getaffinity(0)
    monkeypatch.delenv("MORVEX_NUM_THREADS", raising=False)
    assert triples._workers()[0] == len(cpus)
    for value, expected in (("1", 1), ("64", len(cpus)), ("0", len(cpus)), ("two", len(cpus))):
        monkeypatch.setenv("MORVEX_NUM_THREADS", value)
        assert triples._workers()[0] == expected, value
    monkeypatch.delenv("MORVEX_NUM_THREADS")
    os.sched_setaffinity(0, {min(cpus)})
    try:
        assert triples._workers()[0] == 1
    finally:
        os.sched_setaffinity(0, cpus)


def run_python(script, stack_kib=None):
    """Runs `script` in a new interpreter (with threads' stacks of
    `stack_kib` when given); a deadlock fails the test after a minute."""
    command = [sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(script)]
    if stack_kib:
        command = ["bash", "-c", 'ulimit -s %d && exec "$0" "$@"' % stack_kib] + command
    done = subprocess.run(command,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
    assert done.returncode == 0, done.stdout
    return done.stdout


COMMON = """
    import os, signal, numpy as np
    from morvex.utils import triples
    triples._set_rows_per_thread(1000)
    a = np.random.default_rng(1).integers(-50, 50, size=(20000, 3), dtype=np.int32)
    ref = triples.sorted_copy(a, "rel", threads=1)
    def check():
        assert np.array_equal(triples.sort(a.copy(), "rel", threads=4), ref)
        assert np.array_equal(triples.unique(a, "rel", threads=4), triples.unique(a, "rel", threads=1))
        assert triples.contains(a, ref, "rel", threads=4).all()
"""


def test_a_forked_child_makes_its_own_workers():
    run_python(COMMON + """
    check()
    assert triples._workers()[1] == 3
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)  # a child stuck on its parent's workers ends here
        ok = triples._workers()[1] == 0
        check()
        os._exit(0 if ok and triples._workers()[1] == 3 else 1)
    assert os.waitpid(pid, 0)[1] == 0
    check()
    assert triples._workers()[1] == 3
    """)


def test_refused_threads_leave_the_work_to_fewer():
    run_python(COMMON + """
    import resource
    # threads' stacks of 1 GiB and no room for one: the system refuses every worker
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
    check()
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    assert triples._workers()[1] == 0
    triples._limit_worker_starts(1)
    check()
    assert triples._workers()[1] == 1
    triples._limit_worker_starts(-1)
    check()
    assert triples._workers()[1] == 3
    """, stack_kib=1 << 20)


def test_sort_releases_the_gil():
    a = make(np.random.default_rng(5), "full", 10 ** 7)
    window = []
    worker = threading.Thread(target=lambda: window.extend([time.perf_counter(), triples.sort(a),
                                                            time.perf_counter()]))
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    start, _, end = window
    middle = [t for t in ticks if start + (end - start) / 4 < t < end - (end - start) / 4]
    assert len(middle) > 100, (end - start, len(ticks))
    assert (np.diff(a[:, 0]) >= 0).all()


def test_exit_while_daemon_threads_work_without_the_gil():
    """The interpreter ends daemon threads that come back for the GIL while
    it exits (pthread_exit up to 3.13); a slow finaliser keeps it exiting
    while they are still inside their calls."""
    printed = run_python("""
        import sys, threading, time, types, numpy as np
        from morvex.utils import triples
        slow = types.ModuleType("slow"); sys.modules["slow"] = slow
        exec("import time\\nclass S:\\n def __del__(s, sleep=time.sleep): sleep(2)\\nkeep = S()", slow.__dict__)
        a = np.random.default_rng(0).integers(0, 10 ** 9, (20_000_000, 3), dtype=np.int32)
        index = triples.Index(a[:200_000])
        calls = [lambda: triples.sort(a, threads=1), lambda: index.corrupt(a[:200_000], 64, threads=1)]
        going, done = threading.Barrier(len(calls) + 1), []
        for call in calls:
            threading.Thread(target=lambda c=call: (going.wait(), c(), done.append(1)), daemon=True).start()
        going.wait(); time.sleep(0.05)
        print("running:", len(calls) - len(done))
        """)
    assert printed == "running: 2\n"


def test_contains_takes_memory_for_the_queries_not_known():
    """10^7 known rows, copies of 999 of the 1001 queries but for the last
    row, the 1000th: keeping what passes the filter would take 114 MiB, on
    one thread or split over four.  The pass over `known` goes to its end,
    or stops once all are found."""
    printed = run_python("""
        import resource, numpy as np
        from morvex.utils import triples
        queries = np.random.default_rng(7).integers(-2 ** 31, 2 ** 31, (1001, 3), dtype=np.int32)
        known = np.empty((999 * 10 ** 4 + 1, 3), np.int32)
        known[:-1].reshape(10 ** 4, 999, 3)[:] = queries[:999]
        known[-1] = queries[999]
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for threads in (1, 4):
            found = triples.contains(known, queries, threads=threads)
            print(found[:-1].all(), found[-1], triples.contains(known, queries[:999], threads=threads).all())
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak)
        """).split()
    assert printed[:-1] == ["True", "False", "True"] * 2 and int(printed[-1]) < 16 * 1024, printed  # KiB


def test_contains_marks_repeated_queries_past_the_kept_rows_cap(split_small_tables):
    """Known rows that match past the cap on kept rows (2m + 4096) come down
    to marks on the distinct queries: queries given more than once, present
    or absent, are each answered, on one thread or several."""
    rows = np.random.default_rng(3).choice(50, (5, 3), replace=False).astype(np.int32)
    known = np.tile(rows, (2000, 1))  # no row equals the one before it: every one is kept
    absent = rows + 100
    queries = np.concatenate([rows, absent, rows[::-1], absent[:2], rows[:1]])
    expected = [i < 5 or 10 <= i < 15 or i == 17 for i in range(len(queries))]
    for threads in (1, 2):
        assert triples.contains(known, queries, threads=threads).tolist() == expected


@pytest.mark.skipif(bool(os.environ.get("MORVEX_SANITIZE")),
                    reason="AddressSanitizer needs an unlimited address space")
def test_memory_error_names_its_byte_count():
    message = run_python("""
        import resource, numpy as np
        from morvex.utils import triples
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + 2 ** 30, resource.RLIM_INFINITY))
        try:
            triples.unique(np.broadcast_to(np.int32([1, 2, 3]), (2 ** 31 - 1, 3)))
        except MemoryError as e:
            print(e)
        """)
    assert message == "morvex.utils.triples: could not allocate %d bytes\n" % (12 * (2 ** 31 - 1))


@pytest.mark.skipif(not os.environ.get("MORVEX_TEST_LIMITS"),
                    reason="takes a minute and 2.5 GB: one run of scripts/test-all sets MORVEX_TEST_LIMITS")
def test_contains_at_the_row_limit():
    """2^31 - 1 query rows, all zero (a read-only mapping, no memory of
    their own), against a table holding the zero row."""
    rows = 2 ** 31 - 1
    zeros = mmap.mmap(-1, 12 * rows, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ)
    found = triples.contains(np.zeros((1, 3), np.int32), np.frombuffer(zeros, np.int32).reshape(rows, 3))
    assert found.shape == (rows,) and found.all()


@pytest.mark.parametrize("sorts, writing", [  # each thread's orders; a thread writing rows meanwhile
    ([[order] for order in ORDERS], False), ([["head"]] * 5, False), ([ORDERS], True)])
def test_sort_survives_other_threads_on_the_array(sorts, writing):
    """Every sort returns (a hang fails here), and every value left in a column
    is one it held before: nothing was read from outside the array."""
    rows = make(np.random.default_rng(len(sorts)), "full", 300000)  # two threads' worth
    for _ in range(3):
        a, returned, stop, rng = rows.copy(), [], threading.Event(), np.random.default_rng(7)

        def write():  # by column: the sanitized run's memmove, which copies rows, tears values
            while writing and not stop.is_set():
                i, j = rng.integers(0, len(a), (2, 1000))
                for f in range(3):
                    a[i, f] = rows[j, f]

        threads = [threading.Thread(target=lambda o=o: returned.extend(triples.sort(a, x) is a for x in o),
                                    daemon=True) for o in sorts]
        for t in [threading.Thread(target=write, daemon=True)] + threads:
            t.start()
        for t in threads:
            t.join(60)
        stop.set()
        assert returned == [True] * sum(map(len, sorts))
        assert all(np.isin(a[:, f], rows[:, f]).all() for f in range(3))


def graph(rng, n, entities=12, relations=3):
    t = rng.integers(0, entities, (n, 3)).astype(np.int32)
    t[:, 1] %= relations
    return t


@pytest.mark.parametrize("layout", ["C", "fortran", "wide"])
def test_index_lookups_match_python(layout, split_small_tables):
    rng = np.random.default_rng(11)
    known = graph(rng, 3000, 60, 5)
    known = np.vstack([known, known[:500], [[70, 6, 0]]]).astype(np.int32)  # duplicates; relation 5 unused
    rows = {tuple(r) for r in known.tolist()}
    tails, heads = {}, {}
    for h, r, t in rows:
        tails.setdefault((h, r), []).append(t)
        heads.setdefault((r, t), []).append(h)
    queries = np.vstack([known[::7], graph(rng, 2000, 75, 8)])
    pairs = queries[:, :2].copy()
    rel = known[:, 1]
    expected_p = []
    for r in range(7):
        mine = np.unique(known[rel == r], axis=0)
        if len(mine) == 0:
            expected_p.append(0.5)
            continue
        tph, hpt = len(mine) / len(np.unique(mine[:, 0])), len(mine) / len(np.unique(mine[:, 2]))
        expected_p.append(tph / (tph + hpt))
    idx = triples.Index(LAYOUTS[layout](known))
    assert (len(idx), idx.num_entities, idx.num_relations) == (len(rows), 71, 7)
    assert idx.nbytes < 24 * len(idx) + 2000
    for threads in (1, 2, 8):
        assert triples.Index(known, threads=threads) == idx
        assert idx.contains(LAYOUTS[layout](queries), threads=threads).tolist() == \
            [tuple(q) in rows for q in queries.tolist()]
        for lookup, table, flip in ((idx.tails, tails, False), (idx.heads, heads, True)):
            offsets, values = lookup(LAYOUTS[layout](pairs[:, ::-1] if flip else pairs), threads=threads)
            assert offsets.dtype == np.int64 and values.dtype == np.int32 and offsets[0] == 0
            assert [values[a:b].tolist() for a, b in zip(offsets[:-1], offsets[1:])] == \
                [sorted(table.get(tuple(p[::-1] if flip else p), [])) for p in pairs.tolist()]
    np.testing.assert_allclose(idx.head_probability(), expected_p, rtol=1e-15)
    copy = pickle.loads(pickle.dumps(idx))
    assert copy == idx and copy.num_entities == 71 and copy != triples.Index(known[:-1])
    assert triples.Index(known, num_entities=90) != idx


def test_corrupt_follows_the_rules(split_small_tables):
    rng = np.random.default_rng(12)
    known = graph(rng, 400)
    known = np.vstack([known, [[h, 4, 11] for h in range(12)] + [[5, 3, t] for t in range(12) if t != 4]])
    known = known.astype(np.int32)
    rows = {tuple(r) for r in known.tolist()}
    # side="both": (5, 3, 4) has no valid tail, (0, 4, 11) no valid head
    closed = np.array([[5, 3, 4]] * 3 + [[0, 4, 11]] * 3, np.int32)
    for side in ("head", "tail", "both"):
        batch = np.vstack([known[:300]] + ([closed] if side == "both" else []))
        batch.setflags(write=False)
        for strategy in ("uniform", "bernoulli"):
            for filtered in (True, False):
                kw = dict(side=side, strategy=strategy, filtered=filtered, seed=99)
                neg = idx_corrupt(known, batch, 40, **kw)
                assert neg.shape == (len(batch), 40, 3) and neg.dtype == np.int32
                changed = neg != batch[:, None, :]
                assert not changed[:, :, 1].any() and (changed.sum(axis=2) == 1).all()
                kept = {"tail": 0, "head": 2}.get(side)
                assert kept is None or not changed[:, :, kept].any()
                assert ((neg[:, :, [0, 2]] >= 0) & (neg[:, :, [0, 2]] < 12)).all()
                if filtered:
                    assert not any(tuple(r) in rows for r in neg.reshape(-1, 3).tolist())
                    if side == "both":
                        assert (neg[-6:-3, :, 2] == 4).all() and (neg[-3:, :, 0] == 0).all()  # the other side
                for threads in (2, 8):
                    assert np.array_equal(idx_corrupt(known, batch, 40, threads=threads, **kw), neg)
        # no negatives: nothing is drawn, so no row lacks a replacement
        assert idx_corrupt(known, closed, 0, side=side).shape == (6, 0, 3)
    # numpy's integers wherever an int is taken
    kw = dict(seed=np.uint64(99), filtered=np.bool_(True), threads=np.int8(2))
    assert np.array_equal(triples.Index(known, num_entities=known[:, [0, 2]].max() + 1).corrupt(
        batch, np.int64(40), **kw), idx_corrupt(known, batch, 40, seed=99))
    first, second = (idx_corrupt(known, known, 8) for _ in range(2))
    assert not np.array_equal(first, second)  # fresh entropy


def test_corrupt_generators_advance_and_parts_match_the_whole(split_small_tables):
    """A Generator gives one key per call (a uint64 drawn from it), so a new
    array at every call and the same ones again when seeded alike; a refused
    call draws nothing.  Parts of a batch, each given the position of its
    first row, give together the array of one call."""
    known = graph(np.random.default_rng(13), 3000, 200, 4)
    idx, batch = triples.Index(known), known[:1700]
    keys = np.random.default_rng(5).integers(0, 2 ** 64, size=3, dtype=np.uint64).tolist()
    g = np.random.default_rng(5)
    first, second = idx.corrupt(batch, 8, rng=g), idx.corrupt(batch, 8, rng=g, threads=2)
    assert not np.array_equal(first, second)
    assert np.array_equal(first, idx.corrupt(batch, 8, rng=keys[0])) and \
        np.array_equal(second, idx.corrupt(batch, 8, seed=keys[1], threads=2))
    with pytest.raises(ValueError):
        idx.corrupt(batch + 200, 8, rng=g)
    assert np.array_equal(idx.corrupt(batch, 8, rng=g), idx.corrupt(batch, 8, rng=keys[2]))
    cuts = [0, 1, 600, 601, 1700]
    for threads in (1, 2):
        for kw in (dict(), dict(side="head", filtered=False), dict(strategy="bernoulli")):
            whole = idx.corrupt(batch, 8, rng=9, threads=threads, **kw)
            parts = [idx.corrupt(batch[a:b], 8, rng=9, offset=a, threads=threads, **kw) for a, b in zip(cuts, cuts[1:])]
            assert np.array_equal(np.concatenate(parts), whole)


def idx_corrupt(known, batch, negatives, **kw):
    return triples.Index(known).corrupt(batch, negatives, **kw)


def test_corrupt_draws_are_uniform_and_bernoulli():
    """Chi-square over the allowed tails of one row, drawn for 20000 copies
    of it; and the share of heads replaced under 'bernoulli'."""
    known = np.array([[0, 0, t] for t in (1, 3, 4, 8)] + [[h, 1, 0] for h in range(6)] + [[0, 1, 1]], np.int32)
    idx = triples.Index(known, num_entities=10)
    neg = idx.corrupt(np.tile([[0, 0, 2]], (20000, 1)).astype(np.int32), 1, side="tail", seed=1)[:, 0, 2]
    allowed = [0, 5, 6, 7, 9]
    counts = np.bincount(neg, minlength=10)
    assert counts[[1, 2, 3, 4, 8]].sum() == 0
    chi2 = ((counts[allowed] - 4000) ** 2 / 4000).sum()
    assert chi2 < 18.5, counts  # p = 0.001 with 4 degrees of freedom
    p = idx.head_probability()
    assert p.tolist() == [0.8, 0.25] and idx.head_probability(np.uint8([[1], [0]])).tolist() == [[0.25], [0.8]]
    neg = idx.corrupt(np.tile([[7, 1, 7]], (20000, 1)).astype(np.int32), 1, strategy="bernoulli", seed=2)[:, 0]
    share = (neg[:, 0] != 7).mean()
    assert abs(share - p[1]) < 4 * (p[1] * (1 - p[1]) / 20000) ** 0.5, share


M64, GOLDEN = 2 ** 64 - 1, 0x9E3779B97F4A7C15


def mix64(z):
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9 & M64
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB & M64
    return z ^ (z >> 31)


def reference_negatives(known, batch, negatives, seed, side, entities, offset=0):
    """corrupt(filtered=True, strategy="uniform") in Python: the generator
    keyed by (seed, position of the row, negative) and the k-th entity
    outside the known ids of the row's side and the id it replaces."""
    tails, heads = {}, {}
    for h, r, t in {tuple(x) for x in known.tolist()}:
        tails.setdefault((h, r), []).append(t)
        heads.setdefault((r, t), []).append(h)
    out = []
    for i, (h, r, t) in enumerate(batch.tolist()):
        key = mix64((mix64(seed) + (i + offset + 1) * GOLDEN) & M64)
        skip = {"head": sorted(set(heads.get((r, t), [])) | {h}), "tail": sorted(set(tails.get((h, r), [])) | {t})}
        for j in range(negatives):
            state = mix64(key ^ (j * 0xD1B54A32D192ED03 & M64))

            def draw():
                nonlocal state
                state = (state + GOLDEN) & M64
                return mix64(state)
            which = side if side != "both" else ("head" if (draw() >> 11) * 2.0 ** -53 < 0.5 else "tail")
            width = entities - len(skip[which])
            m = draw() * width
            while m & M64 < (2 ** 64 - width) % width:
                m = draw() * width
            k = m >> 64
            for d in skip[which]:  # each id skipped at or below the k-th allowed one moves it up
                k += d <= k
            out.append([k, r, t] if which == "head" else [h, r, k])
    return np.array(out, np.int32).reshape(len(batch), negatives, 3)


def test_sparse_ids_lookups_and_negatives(split_small_tables):
    """Ids spread up to 2**31 - 1 over few triples: both sides keep their
    ids present in a sorted list, searched by every lookup and draw."""
    rng = np.random.default_rng(21)
    ids = np.concatenate([[0, 1, I32.max - 1, I32.max], rng.integers(0, I32.max, 60)]).astype(np.int32)
    known = np.stack([rng.choice(ids, 900), rng.integers(0, 4, 900), rng.choice(ids, 900)], axis=1).astype(np.int32)
    known[:40] = known[40:80, [2, 1, 0]]  # (t, r, h) known with (h, r, t)
    rows = {tuple(r) for r in known.tolist()}
    idx = triples.Index(known)
    assert idx.num_entities == 2 ** 31 and idx.nbytes < 24 * len(idx) + 4096
    queries = np.vstack([known[::3], rng.choice(np.concatenate([ids, ids + 1, ids - 1]), (600, 3))]).astype(np.int32)
    queries[:, 1] %= 5
    for threads in (1, 2):
        assert idx.contains(queries, threads=threads).tolist() == [tuple(q) in rows for q in queries.tolist()]
        for lookup, cols in ((idx.tails, [0, 1]), (idx.heads, [1, 2])):
            offsets, values = lookup(queries[:, cols], threads=threads)
            other = 2 if cols[0] == 0 else 0
            assert [values[a:b].tolist() for a, b in zip(offsets[:-1], offsets[1:])] == \
                [sorted({x[other] for x in rows if [x[c] for c in cols] == q}) for q in queries[:, cols].tolist()]
        batch = known[::2]
        for side in ("head", "tail", "both"):
            assert np.array_equal(idx.corrupt(batch, 6, side=side, seed=5, threads=threads),
                                  reference_negatives(known, batch, 6, 5, side, 2 ** 31))


def test_corrupt_over_long_runs(split_small_tables):
    """Hubs: runs of known ids long enough to be read through their
    directories, or copied into blocks (9 to 255 ids), in groups found
    through their run tables, give the draws of the Python reference,
    uniform over the allowed ids, the directories and tables taking at most
    a quarter of nbytes."""
    rng = np.random.default_rng(14)
    hub = rng.choice(1000, 600, replace=False)
    base = graph(rng, 4000, 1000, 3)
    known = np.vstack([base, np.stack([0 * hub, hub * 0 + 3, hub], 1),  # head 0: 600 tails under relation 3
                       np.stack([hub, hub * 0 + 4, hub * 0 + 7], 1),  # tail 7: 600 heads under relation 4
                       np.stack([hub[:300], hub[:300] * 0 + 4, hub[:300] * 0 + 8], 1)] +
                      [np.stack([hub[:m] * 0 + h, hub[:m] * 0 + 5, hub[-m:]], 1) for h, m in ((1, 9), (2, 16), (3, 255))] +
                      [np.stack([hub[:m], hub[:m] * 0 + 5, hub[:m] * 0 + t], 1) for t, m in ((4, 17), (5, 100))]
                      ).astype(np.int32)
    idx = triples.Index(known)
    assert 0 < idx._run_directory_nbytes <= idx.nbytes / 4 and triples.Index(base)._run_directory_nbytes == 0
    batch = np.vstack([known[4000:4030], known[4600:4630], known[5200:5230], base[:30], known[5500::9]])
    for side in ("head", "tail", "both"):
        assert np.array_equal(idx.corrupt(batch, 8, side=side, seed=3),
                              reference_negatives(known, batch, 8, 3, side, 1000))
    assert np.array_equal(idx.corrupt(batch[10:], 8, side="both", seed=3, offset=10, threads=2),
                          reference_negatives(known, batch, 8, 3, "both", 1000)[10:])
    neg = idx.corrupt(np.tile(known[4000], (20000, 1)), 1, side="tail", seed=4)[:, 0, 2]
    counts = np.bincount(neg, minlength=1000)
    assert counts[hub].sum() == 0
    chi2 = ((np.delete(counts, hub) - 50) ** 2 / 50).sum()
    assert chi2 < 492, counts  # p = 0.001 with 399 degrees of freedom


KNOWN = np.array([[0, 0, 1], [1, 0, 2], [2, 1, 0]], np.int32)
INDEX_BAD = [  # (call, exception, message)
    (lambda: triples.Index(np.array([[0, 0, 1], [1, -1, 2]], np.int32)), ValueError,
     "known row 1 (1, -1, 2) holds a negative id"),
    (lambda: triples.Index(np.vstack([KNOWN, KNOWN[:2], [[5, 1, -3], [-1, 0, 0]], KNOWN]).astype(np.int32)),
     ValueError, "known row 5 (5, 1, -3) holds a negative id"),  # the first of two, in a table read four rows at a time
    (lambda: triples.Index(KNOWN, num_entities=2), ValueError,
     "num_entities is 2, but known row 1 (1, 0, 2) has an entity id that is not below it"),
    (lambda: triples.Index(KNOWN, num_entities=2 ** 31 + 1), ValueError,
     "num_entities must be in [0, 2**31], got 2147483649"),
    (lambda: triples.Index(KNOWN, num_entities=3.0), TypeError, "num_entities must be None or an int, not 'float'"),
    (lambda: triples.Index(KNOWN).corrupt(np.array([[0, 0, 1], [0, 2, 1]], np.int32), 1), ValueError,
     "batch row 1 (0, 2, 1) is outside the index: entities are in [0, 3), relations in [0, 2)"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, -1), ValueError, "num_negatives must be in [0, 2**31), got -1"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, side="heads"), ValueError,
     "side must be 'head', 'tail' or 'both', not 'heads'"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, strategy="bern"), ValueError,
     "strategy must be 'uniform' or 'bernoulli', not 'bern'"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, seed=1.5), TypeError, "seed must be None or an int, not 'float'"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, rng=1.5), TypeError,
     "rng must be None, an int or a numpy.random.Generator, not 'float'"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, rng=np.random.RandomState(0)), TypeError,
     "rng must be None, an int or a numpy.random.Generator, not 'numpy.random.mtrand.RandomState'"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, rng=1, seed=1), TypeError,
     "corrupt() takes rng or seed, not both (seed is the older name of rng)"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, offset=-1), ValueError, "offset must be in [0, 2**62], got -1"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, offset=2.0), TypeError, "offset must be an int, not 'float'"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, side=1), ValueError, "side must be 'head', 'tail' or 'both', not 1"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, filtered="no"), TypeError,
     "filtered must be True or False, not 'str'"),
    (lambda: triples.Index(KNOWN).corrupt(KNOWN, 1, filtered=2), ValueError, "filtered must be True or False, got 2"),
    (lambda: triples.unique(KNOWN, "head", None), TypeError, "return_counts must be True or False, not 'NoneType'"),
    (lambda: triples.Index(np.int32([[0, 2 ** 31 - 1, 1]])).head_probability(), ValueError,
     "head_probability() would return 2147483648 values, one per relation id below num_relations, for 1 relation "
     "present; pass the ids you need as head_probability(relations)"),
    (lambda: triples.Index(KNOWN).head_probability([1, 2]), ValueError,
     "relations item 1 (2) is outside the index: relations are in [0, 2)"),
    (lambda: triples.Index(KNOWN).head_probability([0.0]), TypeError, "relations must hold integers, got dtype float64"),
    (lambda: triples.Index(KNOWN).tails(KNOWN[:, :1]), ValueError,
     "pairs must be two-dimensional with at least 2 columns, got shape (3, 1)"),
    (lambda: triples.Index(np.int32([[0, 0, 1], [1, 0, 1]])).corrupt(KNOWN[:1], 1, side="head"), ValueError,
     "batch row 0 (0, 0, 1) has no valid head replacement that is not a known triple"),
    (lambda: triples.Index(KNOWN[:1] * 0).corrupt(KNOWN[:1] * 0, 1, filtered=False, side="tail"),
     ValueError, "batch row 0 (0, 0, 0) has no valid tail replacement"),
    (lambda: triples.Index(np.array([[0, 0, 0], [1, 0, 0], [0, 0, 1], [1, 0, 1], [0, 1, 0]], np.int32)).corrupt(
        np.array([[0, 1, 0], [1, 0, 1]], np.int32), 1), ValueError,
     "batch row 1 (1, 0, 1) has no valid head or tail replacement that is not a known triple"),
]


@pytest.mark.parametrize("call, exc, message", INDEX_BAD + RANK_BAD)
def test_index_refuses_bad_input(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
