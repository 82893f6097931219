"""The memory pool, driven natively through its method table."""
import gc
import traceback
import warnings

import pytest

import morvex.utils.memory as memory


class TestAlloc:
    def test_blocks_are_zeroed_and_recorded(self, consumer, pool):
        p = consumer.pool_alloc(pool, 3, 4)
        assert consumer.read_bytes(p, 12) == bytes(12)
        assert pool.size == 12 == consumer.pool_size_member(pool)
        assert pool.addresses == {p: 12}

    def test_zero_count_warns_and_still_allocates(self, consumer, pool):
        with pytest.warns(UserWarning) as record:
            p = consumer.pool_alloc(pool, 0, 8)
        assert [str(w.message) for w in record] == ["Allocating zero bytes!"]
        assert p != 0 and pool.addresses == {p: 0} and pool.size == 0

    def test_zero_element_size_gives_no_warning(self, consumer, pool):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            p = consumer.pool_alloc(pool, 4, 0)
        assert pool.addresses == {p: 0}

    def test_warning_as_error_allocates_nothing(self, consumer, pool):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning, match="Allocating zero bytes!") as info:
                consumer.pool_alloc(pool, 0, 8)
        assert pool.addresses == {} and pool.size == 0
        names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
        assert "morvex.utils.memory.MemoryPool.alloc" in names

    def test_the_warnings_name_is_looked_up_at_every_call(self, consumer, pool):
        calls = []

        class Recorder:
            @staticmethod
            def warn(message):
                calls.append(message)

        saved = memory.warnings
        memory.warnings = Recorder
        try:
            consumer.pool_alloc(pool, 0, 1)
        finally:
            memory.warnings = saved
        assert calls == ["Allocating zero bytes!"]
        del memory.warnings
        try:
            with pytest.raises(NameError, match="name 'warnings' is not defined"):
                consumer.pool_alloc(pool, 0, 1)
        finally:
            memory.warnings = saved

    @pytest.mark.parametrize("number, elem_size, shown", [
        (2 ** 64 - 1, 4, -4),          # the product wraps: refused, not a 0-byte block
        (2 ** 62 + 1, 4, 4),
        (2 ** 63, 2, 0),
    ])
    def test_a_product_past_64_bits_is_refused(self, consumer, pool, number, elem_size, shown):
        with pytest.raises(MemoryError) as info:
            consumer.pool_alloc(pool, number, elem_size)
        assert str(info.value) == "Error assigning %d bytes" % shown
        assert pool.addresses == {} and pool.size == 0

    def test_a_refused_allocation_reports_the_signed_count(self, consumer, pool):
        with pytest.raises(MemoryError) as info:
            consumer.pool_alloc(pool, 2 ** 62, 1)
        assert str(info.value) == "Error assigning %d bytes" % 2 ** 62
        consumer.use_counting_allocator(pool)
        consumer.take_events()
        consumer.fail_next_malloc()
        with pytest.raises(MemoryError, match=r"^Error assigning 40 bytes$") as info:
            consumer.pool_alloc(pool, 5, 8)
        tb = traceback.extract_tb(info.value.__traceback__)[-1]
        assert tb.name == "morvex.utils.memory.MemoryPool.alloc"
        assert tb.filename == "morvex\\utils\\src\\pool.cpp" and tb.lineno > 0
        assert pool.addresses == {}


class TestFreeAndRealloc:
    def test_free_updates_the_bookkeeping(self, consumer, pool):
        a = consumer.pool_alloc(pool, 2, 8)
        b = consumer.pool_alloc(pool, 3, 4)
        consumer.pool_free(pool, a)
        assert pool.size == 12 and pool.addresses == {b: 12}

    def test_unknown_pointers_print_and_change_nothing(self, consumer, pool, capfd):
        other = memory.MemoryPool()
        kept = consumer.pool_alloc(pool, 1, 8)
        foreign = consumer.pool_alloc(other, 1, 8)
        freed = consumer.pool_alloc(pool, 1, 8)
        consumer.pool_free(pool, freed)
        capfd.readouterr()
        for p in (None, freed, foreign):
            consumer.pool_free(pool, p)
        assert capfd.readouterr().out == "Can not free some memory!\n" * 3
        assert pool.addresses == {kept: 8} and pool.size == 8
        assert other.addresses == {foreign: 8}

    def test_realloc_of_an_unknown_pointer(self, consumer, pool):
        with pytest.raises(ValueError) as info:
            consumer.pool_realloc(pool, 4096, 16)
        assert str(info.value) == "Pointer 4096 not found in Pool {}"
        p = consumer.pool_alloc(pool, 1, 4)
        with pytest.raises(ValueError) as info:
            consumer.pool_realloc(pool, 8, 16)
        assert str(info.value) == "Pointer 8 not found in Pool {%d: 4}" % p
        assert traceback.extract_tb(info.value.__traceback__)[-1].name == \
            "morvex.utils.memory.MemoryPool.realloc"

    def test_realloc_grows_into_a_new_zeroed_block(self, consumer, pool):
        p = consumer.pool_alloc(pool, 1, 8)
        consumer.write_bytes(p, b"ABCDEFGH")
        q = consumer.pool_realloc(pool, p, 20)
        assert q != p
        assert consumer.read_bytes(q, 20) == b"ABCDEFGH" + bytes(12)
        assert pool.addresses == {q: 20} and pool.size == 20

    def test_realloc_shrinks_copying_only_what_fits(self, consumer, pool):
        p = consumer.pool_alloc(pool, 1, 16)
        consumer.write_bytes(p, bytes(range(1, 17)))
        q = consumer.pool_realloc(pool, p, 5)
        assert consumer.read_bytes(q, 5) == bytes(range(1, 6))
        assert pool.addresses == {q: 5} and pool.size == 5
        r = consumer.pool_realloc(pool, q, 0)
        assert pool.addresses == {r: 0} and pool.size == 0

    def test_a_compiled_subclass_replacing_alloc_changes_realloc(self, consumer):
        pool = consumer.MarkingPool()
        assert isinstance(pool, memory.MemoryPool)
        before = consumer.marking_count()
        p = consumer.pool_alloc(pool, 1, 4)
        consumer.write_bytes(p, b"wxyz")
        q = consumer.pool_realloc(pool, p, 8)
        assert consumer.marking_count() == before + 2
        # the subclass's alloc marks fresh bytes; realloc copied over the first four
        assert consumer.read_bytes(q, 8) == b"wxyz" + b"\x5a" * 4
        assert pool.addresses == {q: 8}


class TestLifetime:
    def test_destruction_releases_every_block_before_dropping_refs(self, consumer):
        pool = memory.MemoryPool()
        consumer.use_counting_allocator(pool)
        consumer.take_events()
        blocks = [consumer.pool_alloc(pool, n, 4) for n in (1, 2, 3)]
        consumer.pool_free(pool, blocks[1])

        class Kept:
            def __del__(self):
                consumer.log_marker(("del",))

        pool.own_pyref(Kept())
        consumer.take_events()
        del pool
        gc.collect()
        assert consumer.take_events() == [("free", blocks[0]), ("free", blocks[2]), ("del",)]

    def test_destruction_keeps_an_exception_in_flight(self, consumer):
        pool = memory.MemoryPool()
        consumer.pool_alloc(pool, 1, 8)
        try:
            try:
                raise KeyError("in flight")
            finally:
                del pool
        except KeyError as e:
            assert e.args == ("in flight",)

    @pytest.mark.parametrize("key, error", [("not an address", TypeError), (-8, OverflowError)])
    def test_a_key_that_is_no_address_is_reported_at_destruction(self, consumer, unraisable, key, error):
        pool = memory.MemoryPool()
        consumer.pool_alloc(pool, 1, 8)
        pool.addresses[key] = 1
        del pool
        gc.collect()
        assert len(unraisable) == 1
        exc_type, _, context = unraisable[0]
        assert exc_type is error
        assert context == "morvex.utils.memory.MemoryPool.__dealloc__"

    def test_forgotten_blocks_are_not_released(self, consumer):
        pool = memory.MemoryPool()
        consumer.use_counting_allocator(pool)
        p = consumer.pool_alloc(pool, 1, 8)
        pool.addresses.clear()
        consumer.take_events()
        consumer.pool_free(pool, p)
        assert pool.size == 8
        del pool
        assert consumer.take_events() == []

    def test_a_cycle_through_refs_is_collected(self, consumer):
        pool = memory.MemoryPool()
        consumer.use_counting_allocator(pool)
        pool.own_pyref([pool])
        consumer.take_events()

        class Marker:
            def __del__(self):
                consumer.log_marker(("collected",))

        pool.own_pyref(Marker())
        del pool
        gc.collect()
        assert ("collected",) in consumer.take_events()

    def test_a_cleared_pool_refuses_clearly(self, consumer, pool):
        consumer.tp_clear(pool)
        assert (pool.addresses, pool.refs, pool.pymalloc, pool.pyfree) == (None,) * 4
        with pytest.raises(ReferenceError):
            consumer.pool_alloc(pool, 1, 8)
        for call in (lambda: consumer.pool_realloc(pool, 16, 8), lambda: consumer.pool_free(pool, 16)):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == "'NoneType' object is not iterable"
        with pytest.raises(AttributeError) as info:
            pool.own_pyref(1)
        assert str(info.value) == "'NoneType' object has no attribute 'append'"
