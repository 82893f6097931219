"""The typed array helpers, called through their exported pointers."""
import struct
import warnings

import pytest

import morvex.utils.memory as memory


def ints(consumer, p, n):
    return list(struct.unpack("%di" % n, consumer.read_bytes(p, 4 * n)))


class TestFills:
    @pytest.mark.parametrize("fill, expected", [(0, 0), (1, -1), (7, -1)])
    def test_int_arrays(self, consumer, pool, fill, expected):
        p = consumer.set_int_ptr(pool, 5, fill)
        assert ints(consumer, p, 5) == [expected] * 5
        assert pool.addresses == {p: 20}

    def test_pairs_hold_zero_then_minus_one(self, consumer, pool):
        p = consumer.set_pair_ptr(pool, 3)
        assert consumer.read_bytes(p, 48) == (bytes(8) + b"\xff" * 8) * 3
        assert pool.addresses == {p: 48}

    def test_triples_and_floats_are_zero(self, consumer, pool):
        t = consumer.set_triple_ptr(pool, 4)
        f = consumer.set_float_ptr(pool, 4)
        assert consumer.read_bytes(t, 48) == bytes(48)
        assert struct.unpack("4f", consumer.read_bytes(f, 16)) == (0.0,) * 4
        assert pool.addresses == {t: 48, f: 16}

    @pytest.mark.parametrize("helper, size", [
        ("set_float_ptr", 4), ("set_pair_ptr", 16), ("set_triple_ptr", 12)])
    def test_replacing_gives_the_old_block_back(self, consumer, pool, helper, size):
        first = getattr(consumer, helper)(pool, 6)
        consumer.write_bytes(first, b"\x13" * 6 * size)
        second = getattr(consumer, helper)(pool, 2, first)
        assert second != first
        assert pool.addresses == {second: 2 * size} and pool.size == 2 * size
        fresh = consumer.read_bytes(second, 2 * size)
        assert b"\x13" not in fresh  # old contents are never carried over

    def test_replacing_an_int_array(self, consumer, pool):
        first = consumer.set_int_ptr(pool, 4, 1)
        second = consumer.set_int_ptr(pool, 3, 0, first)
        assert second != first and pool.addresses == {second: 12}
        assert ints(consumer, second, 3) == [0, 0, 0]

    def test_zero_count_stores_an_empty_block(self, consumer, pool):
        with pytest.warns(UserWarning, match="Allocating zero bytes!"):
            p = consumer.set_triple_ptr(pool, 0)
        assert pool.addresses == {p: 0}


class TestFailures:
    def test_negative_count_reports_the_pools_error(self, consumer, pool, unraisable, capfd):
        kept = consumer.set_int_ptr(pool, 2, 0)
        assert consumer.set_int_ptr(pool, -1, 0, kept) == kept
        assert unraisable == [(MemoryError, "Error assigning -4 bytes",
                               "morvex.utils.memory.set_int_ptr")]
        assert pool.addresses == {kept: 8}
        err = getattr(unraisable, "text", "") + capfd.readouterr().err
        assert "MemoryError: Error assigning -4 bytes" in err
        assert "morvex.utils.memory.MemoryPool.alloc" in err  # printed with its traceback

    @pytest.mark.parametrize("helper, size", [
        ("set_float_ptr", 4), ("set_pair_ptr", 16), ("set_triple_ptr", 12)])
    def test_each_helper_names_itself(self, consumer, pool, unraisable, helper, size):
        assert getattr(consumer, helper)(pool, -2) is None
        assert unraisable == [(MemoryError, "Error assigning %d bytes" % (-2 * size),
                               "morvex.utils.memory." + helper)]

    def test_zero_count_with_warnings_as_errors(self, consumer, pool, unraisable):
        kept = consumer.set_float_ptr(pool, 1)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert consumer.set_float_ptr(pool, 0, kept) == kept
        assert unraisable == [(UserWarning, "Allocating zero bytes!",
                               "morvex.utils.memory.set_float_ptr")]

    def test_a_pool_of_none_is_reported_and_leaves_the_pointer(self, consumer, unraisable):
        assert consumer.set_triple_ptr(None, 3, 1234) == 1234
        assert len(unraisable) == 1
        exc_type, message, context = unraisable[0]
        assert exc_type is TypeError and "got NoneType" in message
        assert context == "morvex.utils.memory.set_triple_ptr"

    def test_an_old_block_of_another_pool_is_left_alone(self, consumer, pool, capfd):
        other = memory.MemoryPool()
        foreign = consumer.set_int_ptr(other, 2, 0)
        capfd.readouterr()
        fresh = consumer.set_int_ptr(pool, 2, 1, foreign)
        assert capfd.readouterr().out == "Can not free some memory!\n"
        assert ints(consumer, fresh, 2) == [-1, -1]
        assert other.addresses == {foreign: 8}

    def test_a_failing_free_stops_before_the_fill(self, consumer, pool, unraisable):
        old = consumer.set_int_ptr(pool, 2, 0)
        pool.addresses[old] = "not a count"  # the pool's free then raises
        new = consumer.set_int_ptr(pool, 2, 1, old)
        assert new != old  # stored before the old block was given back
        assert ints(consumer, new, 2) == [0, 0]  # the fill was skipped
        assert [(t, c) for t, _, c in unraisable] == [(TypeError, "morvex.utils.memory.set_int_ptr")]

    def test_pairs_keep_the_old_pointer_when_free_fails(self, consumer, pool, unraisable):
        old = consumer.set_pair_ptr(pool, 1)
        pool.addresses[old] = "not a count"
        assert consumer.set_pair_ptr(pool, 2, old) == old
        assert len(pool.addresses) == 1  # the new block stays recorded
        assert [(t, c) for t, _, c in unraisable] == [(TypeError, "morvex.utils.memory.set_pair_ptr")]
