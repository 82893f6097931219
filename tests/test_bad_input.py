"""Every native entry point given the inputs at and past its edges: counts of
0, -1 and the int limits, byte counts near 2^64, ids and bounds at the int and
long limits, tables with no rows or no columns, and views whose rows are not
packed.  Each gives its documented result or a clear error, never a crash.
README.md ("Guarantees on bad input") sums these cases up in a table."""
import struct
import sys
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import morvex.utils.memory as memory
from model import DIV0, INT_MAX, INT_MIN, KEYS, MASK, NOT_FREED, OOB, ORDERS, RECORD_SIZES, step

LONG_MIN, LONG_MAX = -2 ** 63, 2 ** 63 - 1
U64 = 2 ** 64


def assigning(n):
    """The pool's refusal message, with the byte count read as signed 64-bit."""
    n &= MASK
    return "Error assigning %d bytes" % (n - U64 if n >= 2 ** 63 else n)


@pytest.fixture
def failing(consumer):
    """A pool whose next allocation fails, as any request too large for the
    machine would: lets counts up to the int limit be tried without
    allocating gigabytes."""
    pool = memory.MemoryPool()
    consumer.use_counting_allocator(pool)

    def arm():
        consumer.fail_next_malloc()
        return pool

    yield arm
    consumer.take_events()


# ---- the pool's method table ---------------------------------------------------------


class TestPoolAlloc:
    @pytest.mark.parametrize("number, elem_size", [
        (MASK, 1),              # -1 as a count
        (2 ** 63, 1),           # the sign bit alone
        (LONG_MAX, 1),          # more than any allocator gives
        (1, MASK),
        (2 ** 32, 2 ** 32),     # the product wraps to 0: still refused
        (2 ** 33, 2 ** 31),
        (3, 2 ** 63),           # wraps to 2^63
        (MASK, MASK),           # wraps to 1
    ])
    def test_impossible_byte_counts_are_refused(self, consumer, pool, number, elem_size):
        with pytest.raises(MemoryError) as info:
            consumer.pool_alloc(pool, number, elem_size)
        assert str(info.value) == assigning(number * elem_size)
        assert pool.addresses == {} and pool.size == 0

    def test_zero_counts(self, consumer, pool):
        with pytest.warns(UserWarning, match="^Allocating zero bytes!$"):
            a = consumer.pool_alloc(pool, 0, 0)
        with pytest.warns(UserWarning, match="^Allocating zero bytes!$"):
            b = consumer.pool_alloc(pool, 0, MASK)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            c = consumer.pool_alloc(pool, MASK, 0)  # no warning: the count is not 0
        assert len({a, b, c}) == 3 and 0 not in (a, b, c)
        assert pool.addresses == {a: 0, b: 0, c: 0} and pool.size == 0

    def test_a_null_allocation_function(self, consumer, pool):
        kept = consumer.pool_alloc(pool, 1, 8)
        consumer.null_malloc(pool)
        with pytest.raises(MemoryError) as info:
            consumer.pool_alloc(pool, 2, 8)
        assert str(info.value) == "Error assigning 16 bytes"
        with pytest.raises(MemoryError):
            consumer.pool_realloc(pool, kept, 64)
        consumer.pool_free(pool, kept)
        assert pool.addresses == {} and pool.size == 0

    def test_boxes_of_null_functions(self, consumer):
        boxes = consumer.wrap_null()
        assert [type(b) for b in boxes] == [memory.PyMalloc, memory.PyFree]
        assert [consumer.box_function(b) for b in boxes] == [0, 0]


class TestPoolReallocAndFree:
    @pytest.mark.parametrize("address", [0, 1, 4096, MASK, "interior"])
    def test_unknown_addresses(self, consumer, pool, capfd, address):
        p = consumer.pool_alloc(pool, 4, 4)
        if address == "interior":
            address = p + 1
        with pytest.raises(ValueError) as info:
            consumer.pool_realloc(pool, address, 8)
        assert str(info.value) == "Pointer %d not found in Pool {%d: 16}" % (address, p)
        capfd.readouterr()
        consumer.pool_free(pool, address)
        assert capfd.readouterr().out == NOT_FREED
        assert pool.addresses == {p: 16} and pool.size == 16

    @pytest.mark.parametrize("new_size", [MASK, 2 ** 63, LONG_MAX])
    def test_impossible_sizes_keep_the_block(self, consumer, pool, new_size):
        p = consumer.pool_alloc(pool, 2, 4)
        consumer.write_bytes(p, b"12345678")
        with pytest.raises(MemoryError) as info:
            consumer.pool_realloc(pool, p, new_size)
        assert str(info.value) == assigning(new_size)
        assert pool.addresses == {p: 8} and pool.size == 8
        assert consumer.read_bytes(p, 8) == b"12345678"

    def test_shrinking_to_nothing_and_growing_back(self, consumer, pool):
        p = consumer.pool_alloc(pool, 1, 8)
        consumer.write_bytes(p, b"abcdefgh")
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # a count of 1: no zero-size warning
            q = consumer.pool_realloc(pool, p, 0)
        assert pool.addresses == {q: 0} and pool.size == 0
        r = consumer.pool_realloc(pool, q, 8)
        assert consumer.read_bytes(r, 8) == bytes(8)
        assert pool.addresses == {r: 8}

    def test_freeing_twice(self, consumer, pool, capfd):
        p = consumer.pool_alloc(pool, 1, 8)
        consumer.pool_free(pool, p)
        capfd.readouterr()
        consumer.pool_free(pool, p)
        assert capfd.readouterr().out == NOT_FREED
        assert pool.size == 0

    def test_keeping_odd_objects(self, pool):
        for obj in (None, pool, pool.addresses, 2 ** 100):
            assert pool.own_pyref(obj) is None
        assert pool.refs[1] is pool and pool.refs[2] is pool.addresses
        assert pool.refs[0] is None and pool.refs[3] == 2 ** 100


# ---- typed array helpers ------------------------------------------------------------------

HELPERS = [("set_int_ptr", 4), ("set_float_ptr", 4), ("set_pair_ptr", 16), ("set_triple_ptr", 12)]


def call_helper(consumer, name, pool, count, prev=None):
    if name == "set_int_ptr":
        return consumer.set_int_ptr(pool, count, 1, prev) if prev else consumer.set_int_ptr(pool, count, 1)
    helper = getattr(consumer, name)
    return helper(pool, count, prev) if prev else helper(pool, count)


class TestTypedHelpers:
    @pytest.mark.parametrize("name, size", HELPERS)
    @pytest.mark.parametrize("count", [-1, INT_MIN])
    def test_negative_counts(self, consumer, pool, unraisable, name, size, count):
        old = call_helper(consumer, name, pool, 2)
        assert call_helper(consumer, name, pool, count, old) == old
        assert unraisable == [(MemoryError, assigning(count * size), "morvex.utils.memory." + name)]
        assert pool.addresses == {old: 2 * size}

    @pytest.mark.parametrize("name, size", HELPERS)
    def test_the_largest_count(self, consumer, failing, unraisable, name, size):
        pool = failing()
        old = 0x1000
        assert call_helper(consumer, name, pool, INT_MAX, old) == old
        assert unraisable == [(MemoryError, assigning(INT_MAX * size), "morvex.utils.memory." + name)]
        assert pool.addresses == {}

    @pytest.mark.parametrize("name, size", HELPERS)
    def test_zero_count(self, consumer, pool, name, size):
        with pytest.warns(UserWarning, match="^Allocating zero bytes!$"):
            p = call_helper(consumer, name, pool, 0)
        assert pool.addresses == {p: 0}

    @pytest.mark.parametrize("fill", [INT_MIN, -1, INT_MAX])
    def test_any_non_zero_fill_flag(self, consumer, pool, fill):
        p = consumer.set_int_ptr(pool, 3, fill)
        assert consumer.read_bytes(p, 12) == b"\xff" * 12

    @pytest.mark.parametrize("name, size", HELPERS)
    @pytest.mark.parametrize("bad", [None, "data"])
    def test_something_else_than_a_pool(self, consumer, unraisable, name, size, bad):
        bad = memory.Data(2) if bad == "data" else bad
        assert call_helper(consumer, name, bad, 3, 0x2000) == 0x2000
        shown = "NoneType" if bad is None else "morvex.utils.memory.Data"
        assert unraisable == [(TypeError, "Argument 'pool' has incorrect type "
                               "(expected morvex.utils.memory.MemoryPool, got %s)" % shown,
                               "morvex.utils.memory." + name)]


# ---- triple loader -------------------------------------------------------------------------


@pytest.fixture
def loader_reports(request, capfd):
    """(type, message, context) of each report, from the hook or, on 3.7,
    counted on the error stream."""
    hooked = request.getfixturevalue("unraisable") if hasattr(sys, "unraisablehook") else None

    def take():
        err = capfd.readouterr().err
        if hooked is not None:
            got = list(hooked)
            del hooked[:]
            return got
        context = "morvex.utils.memory.load_triple_from_numpy"
        return [(IndexError, OOB, context)] * err.count("Exception ignored in: %r" % context)

    take()
    return take


class TestLoader:
    @pytest.mark.parametrize("ncols", [0, 1, 2, 3, 4, 1000])
    def test_no_rows(self, consumer, loader_reports, ncols):
        table = np.zeros((0, ncols), dtype=np.int32)
        assert consumer.load_triples(table, 1) == [(-7, -7, -7)]
        assert loader_reports() == []

    def test_no_columns(self, consumer, loader_reports):
        table = np.zeros((5, 0), dtype=np.int32)
        assert consumer.load_triples(table, 2) == [(-7, -7, -7)] * 2
        assert loader_reports() == [(IndexError, OOB, "morvex.utils.memory.load_triple_from_numpy")]

    def test_rows_that_are_all_the_same_memory(self, consumer):
        row = np.array([4, -5, 6, 99], dtype=np.int32)
        table = as_strided(row, shape=(6, 4), strides=(0, 4))
        assert consumer.load_triples(table) == [(4, -5, 6)] * 6

    def test_overlapping_rows(self, consumer):
        cells = np.arange(10, dtype=np.int32)
        table = as_strided(cells, shape=(8, 3), strides=(4, 4))
        assert consumer.load_triples(table) == [(i, i + 1, i + 2) for i in range(8)]
        wide = as_strided(cells, shape=(6, 5), strides=(4, 4))
        assert consumer.load_triples(wide) == [(i, i + 1, i + 2) for i in range(6)]

    @pytest.mark.parametrize("view", ["every third", "backwards", "columns 2-4 of 7", "backwards, wide"])
    def test_rows_not_packed(self, consumer, view):
        base = np.arange(30 * 7, dtype=np.int32).reshape(30, 7) * -3
        table = {
            "every third": np.ascontiguousarray(base[:, :3])[::3],
            "backwards": np.ascontiguousarray(base[:, :3])[::-1],
            "columns 2-4 of 7": base[:, 2:5],
            "backwards, wide": base[::-2, 1:],
        }[view]
        assert consumer.load_triples(table, len(table) + 1) == \
            [tuple(r[:3]) for r in table.tolist()] + [(-7, -7, -7)]

    def test_a_row_count_past_the_int_range(self, consumer, loader_reports):
        """The row count is the 32-bit value of the first extent: 2^31 rows
        read as a negative count load nothing; 2^32 + 2 rows load two."""
        row = np.array([1, 2, 3], dtype=np.int32)
        assert consumer.load_triples(as_strided(row, shape=(2 ** 31, 3), strides=(0, 4)), 3) == \
            [(-7, -7, -7)] * 3
        assert consumer.load_triples(as_strided(row, shape=(2 ** 32 + 2, 3), strides=(0, 4)), 3) == \
            [(1, 2, 3), (1, 2, 3), (-7, -7, -7)]
        assert loader_reports() == []

    def test_no_destination(self, consumer, loader_reports, capfd_text):
        capfd_text(consumer)
        for table in (np.zeros((0, 3), dtype=np.int32), np.ones((4, 3), dtype=np.int32),
                      np.ones((4, 1), dtype=np.int32)):
            assert consumer.load_into_null(table) is None
            assert capfd_text(consumer).out == "ptr is NULL!\n"
        assert loader_reports() == []


# ---- orderings and the sort ---------------------------------------------------------------------


class TestSort:
    @pytest.mark.parametrize("count", [0, 1, -1, -3, INT_MIN])
    def test_counts_below_two_touch_nothing(self, consumer, count):
        table = np.array([[3, 2, 1], [2, 1, 0], [1, 0, -1]], dtype=np.int32)
        before = table.copy()
        assert consumer.sort(table, "counting", count) == 0
        for order in ORDERS:
            consumer.sort(table, order, count)
        np.testing.assert_array_equal(table, before)

    def test_a_count_below_the_rows_sorts_only_that_prefix(self, consumer):
        table = np.array([[3, 0, 0], [1, 0, 0], [2, 0, 0], [0, 0, 0]], dtype=np.int32)
        consumer.sort(table, "head", 3)
        assert table[:, 0].tolist() == [1, 2, 3, 0]

    @pytest.mark.parametrize("order", ORDERS)
    def test_fields_at_the_int_limits(self, consumer, order):
        values = [INT_MIN, INT_MIN + 1, -1, 0, 1, INT_MAX - 1, INT_MAX]
        triples = [(a, b, c) for a in values for b in values[::3] for c in values[::2]][::-1]
        table = np.array(triples, dtype=np.int32)
        consumer.sort(table, order)
        assert [tuple(t) for t in table.tolist()] == sorted(triples, key=KEYS[order])

    @pytest.mark.parametrize("n", [2, 17, 5000])
    def test_all_equal(self, consumer, n):
        table = np.full((n, 3), INT_MIN, dtype=np.int32)
        for order in ORDERS:
            consumer.sort(table, order)
            assert (table == INT_MIN).all()

    @pytest.mark.parametrize("order", ORDERS)
    def test_comparisons_at_the_limits(self, consumer, order):
        low, high = (INT_MIN,) * 3, (INT_MAX,) * 3
        assert consumer.compare(order, low, high) == 1
        assert consumer.compare(order, high, low) == 0
        assert consumer.compare(order, low, low) == 0
        assert consumer.compare(order, high, high) == 0
        # each field decides at its own rank, whatever the others hold
        for a, b in [((INT_MIN, INT_MAX, INT_MAX), (INT_MAX, INT_MIN, INT_MIN)),
                     ((0, INT_MIN, INT_MAX), (0, INT_MAX, INT_MIN)),
                     ((5, 5, INT_MIN), (5, 5, INT_MAX)),
                     ((-1, 0, 0), (0, 0, 0))]:
            assert consumer.compare(order, a, b) == int(KEYS[order](a) < KEYS[order](b))
            assert consumer.compare(order, b, a) == int(KEYS[order](b) < KEYS[order](a))


class TestFloatCompare:
    @pytest.mark.parametrize("a, b, result", [
        (float("nan"), 1.0, 0), (1.0, float("nan"), 0), (float("nan"), float("nan"), 0),
        (float("inf"), float("inf"), 0), (float("-inf"), float("-inf"), 0),
        (float("-inf"), float("inf"), -1), (float("inf"), float("-inf"), 1),
        (0.0, -0.0, 1), (-0.0, 0.0, 1),
        (3.4028234663852886e38, -3.4028234663852886e38, 1),   # difference overflows to inf
        (-3.4028234663852886e38, 3.4028234663852886e38, -1),
        (1e-45, 0.0, 1), (0.0, 1e-45, -1),                     # the smallest subnormal
    ])
    def test_edges(self, consumer, a, b, result):
        assert consumer.float_compare(a, b) == result


# ---- random streams --------------------------------------------------------------------------


class TestRandomSetUp:
    @pytest.mark.parametrize("seed", [1, 0, -1, INT_MIN])
    def test_seeds_of_one_and_below_change_nothing(self, consumer, seed):
        consumer.c_srand(123)
        expected = [consumer.c_rand() for _ in range(3)]
        consumer.c_srand(123)
        consumer.call("setRandSeed", seed)
        assert [consumer.c_rand() for _ in range(3)] == expected

    def test_the_largest_seed(self, consumer):
        consumer.c_srand(INT_MAX)
        expected = [consumer.c_rand() for _ in range(3)]
        consumer.c_srand(5)
        consumer.call("setRandSeed", INT_MAX)
        assert [consumer.c_rand() for _ in range(3)] == expected

    @pytest.mark.parametrize("count", [-1, INT_MIN])
    def test_negative_thread_counts(self, streams, unraisable, count):
        before = streams.next_random_value()
        streams.call("randReset", count)
        streams.call("setThreadNumberAndRandSeed", count, 7)
        assert streams.next_random_value() == before
        report = (MemoryError, assigning(count * 8), "morvex.utils.memory.randReset")
        assert unraisable == [report, report]

    def test_the_largest_thread_count(self, streams, unraisable):
        pool = streams.random_state("pool")
        streams.use_counting_allocator(pool)
        before = streams.next_random_value()
        streams.fail_next_malloc()
        streams.call("randReset", INT_MAX)
        assert streams.next_random_value() == before
        assert unraisable == [(MemoryError, assigning(INT_MAX * 8), "morvex.utils.memory.randReset")]
        streams.take_events()

    def test_id_slots_when_the_pool_refuses(self, streams, unraisable):
        pool = streams.random_state("pool")
        streams.use_counting_allocator(pool)
        before = streams.random_state("id", 20)
        streams.fail_next_malloc()
        streams.call("reset_random_on_id")
        assert streams.random_state("id", 20) == before
        assert unraisable == [(MemoryError, "Error assigning 160 bytes",
                               "morvex.utils.memory.reset_random_on_id")]
        streams.take_events()


class TestDrawsAtTheLimits:
    @pytest.mark.parametrize("tid", [-1, 4, INT_MAX, INT_MIN])
    def test_thread_numbers_outside_the_array(self, streams, unraisable, tid):
        before = streams.random_state("next", 4)
        assert streams.rand64_(tid) == 0
        assert streams.rand_max(tid, 10, 1) == 0
        assert streams.random_state("next", 4) == before
        message = "thread number out of range of next_random"
        assert unraisable == [(IndexError, message, "morvex.utils.memory._rand64"),
                              (IndexError, message, "morvex.utils.memory.rand_max")]

    @pytest.mark.parametrize("key, slot", [(INT_MIN, 12), (INT_MAX, 7), (-1, 19), (-20, 0), (0, 0)])
    def test_ids_at_the_int_limits(self, streams, key, slot):
        start = streams.random_state("id", 20)
        assert streams.random_for_prob(key) == step(start[slot])
        assert streams.rand_max(key, 1000, 0) == step(step(start[slot])) % 1000
        state = streams.random_state("id", 20)
        assert state[slot] == step(step(start[slot]))
        assert state[:slot] + state[slot + 1:] == start[:slot] + start[slot + 1:]

    @pytest.mark.parametrize("stream", [0, 2, -1, INT_MIN, INT_MAX])
    def test_every_stream_other_than_one_is_id_keyed(self, streams, stream):
        start = streams.random_state("id", 20)
        assert streams.rand_max(3, LONG_MAX, stream) == step(start[3]) % LONG_MAX

    @pytest.mark.parametrize("bound", [1, 2, LONG_MAX])
    def test_bounds_up_to_the_long_limit(self, streams, bound):
        s = streams.random_state("next", 1)[0]
        for _ in range(5):
            s = step(s)
            assert streams.rand_max(0, bound, 1) == s % bound

    @pytest.mark.parametrize("bound, error", [
        (0, (ZeroDivisionError, DIV0)),
        (-1, (ValueError, "rand_max bound must not be negative")),
        (LONG_MIN, (ValueError, "rand_max bound must not be negative")),
    ])
    def test_bounds_that_give_no_range(self, streams, unraisable, bound, error):
        s = streams.random_state("next", 1)[0]
        assert streams.rand_max(0, bound, 1) == 0
        assert streams.random_state("next", 1)[0] == step(s)  # drawn all the same
        assert unraisable == [error + ("morvex.utils.memory.rand_max",)]

    @pytest.mark.parametrize("low, high", [(LONG_MIN, LONG_MIN), (LONG_MAX, LONG_MAX), (0, 0)])
    def test_empty_ranges_at_the_long_limits(self, consumer, unraisable, low, high):
        consumer.c_srand(77)
        second = [consumer.c_rand() for _ in range(2)][1]
        consumer.c_srand(77)
        assert consumer.rand64(low, high) == 0
        assert consumer.c_rand() == second
        assert unraisable == [(ZeroDivisionError, DIV0, "morvex.utils.memory.rand64")]

    @pytest.mark.parametrize("low, high", [
        (LONG_MIN, LONG_MAX), (LONG_MAX, LONG_MIN), (LONG_MAX - 1, LONG_MAX), (LONG_MIN + 1, LONG_MIN),
        (-1, 0), (0, -1), (LONG_MIN, 0), (0, LONG_MIN),
    ])
    def test_ranges_at_the_long_limits(self, consumer, low, high):
        consumer.c_srand(31)
        draws = [consumer.c_rand() for _ in range(20)]
        consumer.c_srand(31)
        for c in draws:
            got = consumer.rand64(low, high)
            width = high - low
            r = c % width  # Python's remainder takes the sign of the divisor
            assert got == low + r
            assert (low <= got < high) if low < high else (high < got <= low)


# ---- Data and DataStruct ---------------------------------------------------------------------


class TestData:
    @pytest.mark.parametrize("ncols, error", [
        (-1, (ValueError, "ncols must not be negative")),
        (LONG_MIN, (ValueError, "ncols must not be negative")),
        (INT_MAX + 1, (OverflowError, "ncols must not exceed 2147483647")),
        (LONG_MAX, (OverflowError, "ncols must not exceed 2147483647")),
        (2 ** 63, (OverflowError, "int too big to convert")),
        (-2 ** 63 - 1, (OverflowError, "int too big to convert")),
        (2.0, (TypeError, "'float' object cannot be interpreted as an integer")),
        ("3", (TypeError, "'str' object cannot be interpreted as an integer")),
    ])
    def test_refused_widths(self, ncols, error):
        with pytest.raises(error[0]) as info:
            memory.Data(ncols)
        assert str(info.value) == error[1]

    def test_the_widest_table(self):
        d = memory.Data(INT_MAX)
        with memoryview(d) as mv:
            assert mv.shape == (0, INT_MAX) and mv.strides == (4 * INT_MAX, 4)
            assert mv.tolist() == [] and mv.nbytes == 0
        assert bytes(d) == b""

    def test_no_columns(self, consumer):
        d = memory.Data(0)
        for _ in range(3):
            assert consumer.data_add_row(d, []) is None
        assert consumer.data_cells(d) == []
        for request in (memoryview, bytes, bytearray):
            with pytest.raises(ZeroDivisionError) as info:
                request(d)
            assert str(info.value) == "float division"
        assert consumer.data_members(d)[3] == 0

    @pytest.mark.parametrize("ncols", [1, 3, 7])
    def test_no_rows(self, ncols):
        d = memory.Data(ncols)
        with memoryview(d) as mv:
            assert mv.shape == (0, ncols) and mv.tolist() == []
        assert np.asarray(d).shape == (0, ncols)
        assert bytes(d) == b"" and bytearray(d) == bytearray()

    def test_values_at_the_int_limits(self, consumer):
        d = memory.Data(3)
        consumer.data_add_row(d, [INT_MIN, INT_MAX, -1])
        assert np.asarray(d).tolist() == [[INT_MIN, INT_MAX, -1]]
        assert bytes(d) == struct.pack("3i", INT_MIN, INT_MAX, -1)

    def test_views_that_skip_and_reverse(self, consumer):
        d = memory.Data(2)
        for i in range(6):
            consumer.data_add_row(d, [i, -i])
        with memoryview(d) as mv:
            assert mv[::-2].tolist() == [[5, -5], [3, -3], [1, -1]]
            assert mv.cast("B").nbytes == 48
        column = np.asarray(d)[::2, 1]
        assert column.tolist() == [0, -2, -4]
        column[:] = 9
        assert consumer.data_cells(d) == [0, 9, 1, -1, 2, 9, 3, -3, 4, 9, 5, -5]

    def test_initialising_any_record(self, consumer):
        # 15 pointers, 32 bytes of the caller's, 2 pointers, a 4-byte count,
        # padding to 176 bytes
        for fill in (b"\xff", b"\x00", b"\x5a"):
            out = consumer.initialize_data_struct(fill * RECORD_SIZES["DataStruct"])
            assert out[:120] == bytes(120)
            assert out[120:152] == fill * 32
            assert out[152:172] == bytes(20)


# ---- Memory ---------------------------------------------------------------------------------


class TestMemory:
    @pytest.mark.parametrize("number, error", [
        (-1, MemoryError), (LONG_MIN, MemoryError), (2 ** 61, MemoryError), (2 ** 62, MemoryError),
        (LONG_MAX, MemoryError),
        (2 ** 63, OverflowError), (-2 ** 63 - 1, OverflowError),
        (1.0, TypeError), ("3", TypeError), (None, TypeError),
    ])
    def test_refused_counts(self, consumer, number, error):
        with pytest.raises(error):
            memory.Memory(number)
        m = memory.Memory(3)
        before = consumer.memory_ptr(m)
        with pytest.raises(error):
            m.resize(number)
        assert consumer.memory_ptr(m) == before

    def test_zero_cells(self, consumer):
        m = memory.Memory(0)
        assert consumer.memory_ptr(m) != 0
        assert m.resize(0) is None
        assert consumer.memory_ptr(m) != 0
        assert memory.Memory(True) is not None and memory.Memory(False) is not None
