"""The five orders and quick_sort, called through the exported pointers:
the module's own orders take the fast path, any other comparison the
generic one; both must give exactly what `sorted` gives."""
import zlib

import numpy as np
import pytest
from model import KEYS, ORDERS

# sizes around the sort's internal thresholds (insertion sort alone, bucket
# finishing, buffered distribution, sampled first digit)
THRESHOLDS = [2, 3, 9, 10, 11, 15, 16, 17, 255, 256, 257, 511, 512, 513,
              1023, 1024, 1025, 65535, 65536, 65537]

INPUT = [(0, 1, 0), (0, 0, 2), (2, 0, 0), (1, 1, 2)]
TABLE = {
    "head": [(0, 0, 2), (0, 1, 0), (1, 1, 2), (2, 0, 0)],
    "tail": [(2, 0, 0), (0, 1, 0), (0, 0, 2), (1, 1, 2)],
    "rel": [(0, 1, 0), (0, 0, 2), (1, 1, 2), (2, 0, 0)],
    "rel2": [(0, 0, 2), (2, 0, 0), (0, 1, 0), (1, 1, 2)],
    "rel3": [(2, 0, 0), (0, 0, 2), (0, 1, 0), (1, 1, 2)],
}


def table(rows):
    return np.ascontiguousarray(np.array(rows, dtype=np.int32).reshape(-1, 3))


def expected(a, order):
    return table(sorted(map(tuple, a.tolist()), key=KEYS[order]))


def sort(consumer, a, order):
    out = a.copy()
    consumer.sort(out, order)
    return out


def random_table(rng, n, kind):
    if kind == "full":
        return rng.integers(-2 ** 31, 2 ** 31, size=(n, 3), dtype=np.int64).astype(np.int32)
    if kind == "dups":
        return rng.integers(-3, 3, size=(n, 3)).astype(np.int32)
    if kind == "graph":
        a = np.empty((n, 3), dtype=np.int32)
        a[:, 0] = rng.integers(0, 1 << 20, n)
        a[:, 1] = rng.integers(0, 1000, n)
        a[:, 2] = rng.integers(0, 1 << 20, n)
        if n > 10:
            a[rng.integers(0, n, n // 10)] = a[rng.integers(0, n, n // 10)]
        return a
    if kind == "prefix":  # fields sharing all but their lowest bits
        return (np.int32(0x5A5A0000) + rng.integers(0, 4, size=(n, 3))).astype(np.int32)
    if kind == "high":  # fields differing only in their highest bits
        return (rng.integers(-2, 2, size=(n, 3)) << 30).astype(np.int32)
    raise ValueError(kind)


class TestOrders:
    @pytest.mark.parametrize("order", ORDERS)
    def test_the_example_table(self, consumer, order):
        assert sort(consumer, table(INPUT), order).tolist() == [list(t) for t in TABLE[order]]

    @pytest.mark.parametrize("order", ORDERS)
    def test_comparisons_are_strict(self, consumer, order):
        t = (4, -5, 6)
        assert consumer.compare(order, t, t) == 0
        assert consumer.compare("head", (-1, 0, 0), (0, 0, 0)) == 1
        for a in INPUT:
            for b in INPUT:
                assert consumer.compare(order, a, b) == int(KEYS[order](a) < KEYS[order](b))

    @pytest.mark.parametrize("count", [0, 1, -3])
    def test_short_counts_touch_nothing(self, consumer, count):
        a = table(INPUT)
        before = a.copy()
        assert consumer.sort(a, "counting", count) == 0
        assert consumer.sort(a, "head", count) == 0
        assert (a == before).all()

    def test_a_comparison_of_the_callers_own(self, consumer):
        rng = np.random.default_rng(5)
        a = random_table(rng, 3000, "dups")
        out = sort(consumer, a, "descending")
        assert out.tolist() == sorted(a.tolist(), reverse=True)
        assert consumer.sort(a.copy(), "counting") > 0

    @pytest.mark.parametrize("order", ["three_way", "not_after", "always", "coin"])
    def test_any_comparison_stays_inside_and_permutes(self, consumer, order):
        rng = np.random.default_rng(9)
        for n in (2, 16, 17, 300, 20000):
            a = random_table(rng, n + 2, "dups")
            out = a.copy()
            consumer.sort(out[1:], order, n)  # the rows either side must stay
            assert out[[0, -1]].tolist() == a[[0, -1]].tolist(), n
            assert sorted(out.tolist()) == sorted(a.tolist()), n

    def test_a_thread_with_a_small_stack(self, consumer):
        # a native thread: CPython 3.14 and later refuse stacks this small
        # for their own threads
        a = random_table(np.random.default_rng(12), 100000, "graph")
        for order in ORDERS + ["descending"]:
            out = a.copy()
            consumer.sort(out, order, len(out), 32768)
            assert (out == sort(consumer, a, order)).all(), order


class TestAgainstSorted:
    @pytest.mark.parametrize("kind", ["full", "dups", "graph", "prefix", "high"])
    @pytest.mark.parametrize("order", ORDERS)
    def test_random_tables(self, consumer, order, kind):
        rng = np.random.default_rng(zlib.crc32((order + kind).encode()))
        for n in [0, 1, 2, 5, 40, 700, 5000]:
            a = random_table(rng, n, kind)
            assert (sort(consumer, a, order) == expected(a, order)).all(), (order, kind, n)

    @pytest.mark.parametrize("n", THRESHOLDS)
    def test_sizes_around_thresholds_match_the_generic_path(self, consumer, n):
        rng = np.random.default_rng(n)
        a = random_table(rng, n, "graph")
        generic = a.copy()
        consumer.sort(generic, "counting")  # cmp_head behind another pointer
        assert (sort(consumer, a, "head") == generic).all()
        for order in ORDERS:
            assert (sort(consumer, a, order) == expected(a, order)).all(), (order, n)

    @pytest.mark.parametrize("order", ORDERS)
    def test_presorted_reversed_and_equal_inputs(self, consumer, order):
        rng = np.random.default_rng(11)
        a = expected(random_table(rng, 20000, "full"), order)
        assert (sort(consumer, a, order) == a).all()
        assert (sort(consumer, a[::-1].copy(), order) == a).all()
        same = np.tile(np.array([[7, -1, 3]], dtype=np.int32), (3000, 1))
        assert (sort(consumer, same, order) == same).all()

    def test_a_few_hundred_thousand(self, consumer):
        rng = np.random.default_rng(2024)
        for kind in ("full", "graph"):
            a = random_table(rng, 300000, kind)
            for order in ORDERS:
                out = sort(consumer, a, order)
                cols = {"head": (2, 1, 0), "tail": (0, 1, 2), "rel": (1, 2, 0),
                        "rel2": (2, 0, 1), "rel3": (0, 2, 1)}[order]
                ref = a[np.lexsort([a[:, c] for c in cols])]
                assert (out == ref).all(), (kind, order)


class TestFloatCompare:
    def test_three_way_results(self, consumer):
        assert consumer.float_compare(1.5, 2.5) == -1
        assert consumer.float_compare(2.5, 1.5) == 1
        assert consumer.float_compare(2.0, 2.0) == 1
        nan, inf = float("nan"), float("inf")
        assert consumer.float_compare(nan, 1.0) == 0
        assert consumer.float_compare(1.0, nan) == 0
        assert consumer.float_compare(inf, inf) == 0
        assert consumer.float_compare(-inf, inf) == -1

    def test_qsort_orders_by_the_float_field(self, consumer):
        rng = np.random.default_rng(3)
        values = [float(v) for v in rng.normal(size=500).astype(np.float32)]
        out = consumer.qsort_floats(values)
        assert [v for _, v in out] == sorted(values)
        assert sorted(i for i, _ in out) == list(range(500))
