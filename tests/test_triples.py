"""morvex.utils.triples against numpy's own results in every order and input
layout, its refusals of bad input (which leave the caller's array as it
was), and its sort running while another thread works."""
import threading
import time
import zlib

import numpy as np
import pytest
from model import KEYS, ORDERS

from morvex.utils import triples

I32 = np.iinfo(np.int32)
EXTREMES = np.array([I32.min, I32.min + 1, -1, 0, 1, I32.max - 1, I32.max], dtype=np.int32)
LAYOUTS = {  # each keeps the table's values in its first three columns
    "C": lambda t: t.copy(),
    "fortran": np.asfortranarray,
    "strided": lambda t: np.repeat(t, 2, axis=0)[::2],
    "wide": lambda t: np.hstack([t, np.full((len(t), 2), 9, np.int32)]),
    "columns strided": lambda t: np.repeat(t, 2, axis=1)[:, ::2],
}


def make(rng, kind, n):
    if kind == "extreme":
        return rng.choice(EXTREMES, size=(n, 3))
    if kind == "dups":
        return rng.integers(-3, 3, size=(n, 3)).astype(np.int32)
    return rng.integers(I32.min, I32.max, size=(n, 3), dtype=np.int32, endpoint=True)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("order", ORDERS)
def test_results_match_numpy(order, layout):
    rng = np.random.default_rng(zlib.crc32((order + layout).encode()))
    fields = list(KEYS[order]((0, 1, 2)))
    for kind in ("dups", "extreme", "full"):
        for n in (0, 1, 2, 17, 5000):
            t = make(rng, kind, n)
            a = LAYOUTS[layout](t)
            ref = t[np.lexsort([t[:, f] for f in reversed(fields)])]
            assert np.array_equal(triples.sorted_copy(a, order), ref)
            first = np.r_[True, (ref[1:] != ref[:-1]).any(axis=1)] if n else np.zeros(0, bool)
            rows, counts = triples.unique(a, order, return_counts=True)
            assert np.array_equal(rows, ref[first]) and rows.dtype == np.int32
            assert np.array_equal(counts, np.diff(np.r_[np.flatnonzero(first), n]))
            assert np.array_equal(triples.unique(a, order=order), rows)

            queries = np.vstack([t[: n // 2], make(rng, kind, 40), make(rng, "full", 40)])
            present = {tuple(r) for r in t.tolist()}
            expected = np.array([tuple(q) in present for q in queries.tolist()], dtype=bool)
            assert np.array_equal(triples.contains(a, LAYOUTS[layout](queries), order), expected)
            assert np.array_equal(triples.contains(ref, queries, order, assume_sorted=True), expected)
            assert np.array_equal(a, LAYOUTS[layout](t))  # inputs are never written...
            if layout == "C":  # ...but by sort
                assert triples.sort(a, order) is a and np.array_equal(a, ref)


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
    (GOOD, "cmp_head", CALLS, ValueError,
     "order must be one of 'head', 'tail', 'rel', 'rel2', 'rel3', not 'cmp_head'"),
    (GOOD, None, CALLS, ValueError, "order must be one of 'head', 'tail', 'rel', 'rel2', 'rel3', not None"),
    (np.frombuffer(GOOD.tobytes(), np.int32).reshape(2, 3), "head", ["sort"], ValueError,
     "sort() sorts in place and needs a writable array; use sorted_copy() for a read-only one"),
    (np.asfortranarray(GOOD), "head", ["sort"], ValueError, LAYOUT_MESSAGE),
    (np.hstack([GOOD, GOOD]), "head", ["sort"], ValueError, LAYOUT_MESSAGE),
    (np.frombuffer(bytearray(b"\0" + GOOD.tobytes()), np.int32, offset=1).reshape(2, 3), "head", ["sort"],
     ValueError, LAYOUT_MESSAGE),
]


@pytest.mark.parametrize("bad, order, names, exc, message", BAD)
def test_bad_input_is_refused_and_left_alone(bad, order, names, exc, message):
    before = np.array(bad, copy=True) if isinstance(bad, np.ndarray) and bad.size < 100 else None
    for name in names:
        with pytest.raises(exc) as info:
            CALLS[name](bad, order)
        assert str(info.value) == message.format(ARG.get(name, "a")), name
        if before is not None:
            assert np.array_equal(bad, before), name


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


@pytest.mark.parametrize("sorts, writing", [  # each thread's orders; a thread writing rows meanwhile
    ([[order] for order in ORDERS], False), ([["head"]] * 5, False), ([ORDERS], True)])
def test_sort_survives_other_threads_on_the_array(sorts, writing):
    """Every sort returns (a hang fails here), and every value left in a column
    is one it held before: nothing was read from outside the array."""
    rows = make(np.random.default_rng(len(sorts)), "full", 200000)
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
