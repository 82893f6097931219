"""Nothing is kept behind: every operation and every error path, repeated many
times, returns to where it started.

Memory is measured with tracemalloc, which sees every PyMem block (the pools'
blocks, Memory's cells, the bookkeeping objects), and, where the C library
offers mallinfo2, with the heap in use, which also sees Data's row store.
References are counted on the objects each operation touches: the pool and
its dicts, objects kept through own_pyref, tables with views, and the module
dictionary that every traceback entry's frame refers to."""
import copy
import ctypes
import ctypes.util
import gc
import pickle
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

import morvex.utils.memory as memory

ROUNDS = 200
WARMUP = 20
# Bytes that may come and go over ROUNDS rounds: less than one leaked 16-byte
# block per round (a steady round moves a few dozen bytes in all).
TOLERANCE = 2048
# The C heap (mallinfo2) moves in coarser steps.
HEAP_TOLERANCE = 48 * 1024


def _mallinfo2():
    """uordblks of glibc's mallinfo2 (bytes in use), or None where there is
    no such function or it reports nothing (a sanitizer's allocator)."""
    name = ctypes.util.find_library("c")
    try:
        libc = ctypes.CDLL(name)
        fn = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None

    class Info(ctypes.Structure):
        _fields_ = [(f, ctypes.c_size_t) for f in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
            "fsmblks", "uordblks", "fordblks", "keepcost")]

    fn.restype = Info

    def in_use():
        info = fn()
        return info.uordblks + info.hblkhd

    return in_use if in_use() > 0 else None


heap_in_use = _mallinfo2()


@pytest.fixture(scope="module", autouse=True)
def traced():
    """tracemalloc runs for the whole module.  Every traceback entry the
    module adds is a new code object, and CPython 3.13 keeps a block of some
    400 KB that it sets aside after the first few thousand code objects and
    later frees and takes again at the same size: traced from before the
    first, it nets out; started in between, it would count as growth."""
    tracemalloc.start()
    try:
        for _ in range(5000):
            try:
                memory.Data(-1)
            except ValueError:
                pass
        yield
    finally:
        tracemalloc.stop()


def settle():
    for _ in range(3):
        gc.collect()


class Sink:
    """A stand-in for sys.stderr that keeps nothing but a count of the
    unraisable reports written to it."""

    def __init__(self):
        self.reports = 0

    def write(self, text):
        self.reports += text.count("Exception ignored in")
        return len(text)

    def flush(self):
        pass


class Quiet:
    """Unraisable reports during the rounds go nowhere but into counters.
    A report prints the exception (PyErr_PrintEx, which calls
    sys.excepthook) and then hands it to sys.unraisablehook; both hooks are
    replaced, since the ones installed by pytest and by the exceptiongroup
    backport keep the last reports or their formatting."""

    def __enter__(self):
        self.count = 0
        self.printed = 0
        self.sink = Sink()
        self.saved_stderr = sys.stderr
        self.saved_excepthook = sys.excepthook
        sys.stderr = self.sink

        def excepthook(exc_type, value, tb):
            self.printed += 1
        sys.excepthook = excepthook
        self.saved_hook = getattr(sys, "unraisablehook", None)
        if self.saved_hook is not None:
            def hook(report):
                self.count += 1
            sys.unraisablehook = hook
        return self

    def __exit__(self, *exc):
        sys.stderr = self.saved_stderr
        sys.excepthook = self.saved_excepthook
        if self.saved_hook is not None:
            sys.unraisablehook = self.saved_hook

    @property
    def reports(self):
        return self.count if self.saved_hook is not None else self.sink.reports


def refcounts(objects):
    """Reference counts, all taken the same way (a loop variable or zip's
    reused result tuple would each add one of their own)."""
    return [sys.getrefcount(objects[i]) for i in range(len(objects))]


def steady(one_round, watched=(), rounds=ROUNDS):
    """Runs `one_round` WARMUP times, then `rounds` times more, and returns
    the growth of traced memory, of the C heap (or None) and of the reference
    count of each watched object over those rounds."""
    assert tracemalloc.is_tracing()
    for _ in range(WARMUP):
        one_round()
    settle()
    refs = refcounts(watched)
    heap = heap_in_use() if heap_in_use else None
    traced = tracemalloc.get_traced_memory()[0]
    for _ in range(rounds):
        one_round()
    settle()
    traced = tracemalloc.get_traced_memory()[0] - traced
    heap = heap_in_use() - heap if heap is not None else None
    refs = [now - then for now, then in zip(refcounts(watched), refs)]
    return traced, heap, refs


def assert_steady(one_round, watched=(), rounds=ROUNDS):
    traced, heap, refs = steady(one_round, watched, rounds)
    assert traced <= TOLERANCE, "traced memory grew by %d bytes over %d rounds" % (traced, rounds)
    if heap is not None:
        assert heap <= HEAP_TOLERANCE, "C heap grew by %d bytes over %d rounds" % (heap, rounds)
    assert refs == [0] * len(watched), "reference counts moved by %r" % (refs,)


def raises(exc_type, message, call, *args, **kwargs):
    """Calls and checks the exception and its exact message, keeping nothing."""
    try:
        call(*args, **kwargs)
    except exc_type as e:
        assert str(e) == message, str(e)
    else:
        raise AssertionError("%s did not raise %s" % (call, exc_type.__name__))


class Kept:
    """An object to hand to pools; weak-referenceable."""


# ---- the harness itself ---------------------------------------------------------


class TestHarness:
    def test_a_python_leak_is_seen(self):
        hoard = []
        traced, _, _ = steady(lambda: hoard.append(bytes(16)))
        assert traced > TOLERANCE

    def test_a_leaked_pool_block_is_seen(self, consumer):
        pool = memory.MemoryPool()
        traced, _, refs = steady(lambda: consumer.pool_alloc(pool, 2, 8), [pool.addresses])
        assert traced > TOLERANCE and refs == [0]
        assert len(pool.addresses) == WARMUP + ROUNDS

    def test_a_leaked_reference_is_seen(self):
        target = Kept()
        hoard = []
        _, _, refs = steady(lambda: hoard.append(target), [target])
        assert refs == [ROUNDS]

    @pytest.mark.skipif(heap_in_use is None, reason="no mallinfo2 here")
    def test_a_leaked_row_store_is_seen(self, consumer):
        hoard = []

        def one_round():
            d = memory.Data(64)
            consumer.data_add_row(d, list(range(64)))
            consumer.data_add_row(d, list(range(64)))
            hoard.append(consumer.data_cells(d))  # Python ints, traced
            hoard.append(memoryview(d))            # keeps d and its store alive

        _, heap, _ = steady(one_round)
        assert heap > HEAP_TOLERANCE


# ---- pools ---------------------------------------------------------------------------


class TestPools:
    def test_pools_with_blocks_and_references(self, consumer):
        kept = Kept()
        other = [kept]

        def one_round():
            pool = memory.MemoryPool()
            a = consumer.pool_alloc(pool, 16, 8)
            b = consumer.pool_alloc(pool, 3, 4)
            consumer.write_bytes(b, b"abcdefghijkl")
            b = consumer.pool_realloc(pool, b, 200)
            b = consumer.pool_realloc(pool, b, 7)
            consumer.pool_free(pool, a)
            consumer.pool_alloc(pool, 5, 24)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                consumer.pool_alloc(pool, 0, 8)
            pool.own_pyref(kept)
            pool.own_pyref(kept)
            pool.own_pyref(other)
            assert pool.size == 7 + 120
            assert len(pool.refs) == 3

        assert_steady(one_round, [kept, other, memory.__dict__])

    def test_pools_made_natively(self, consumer):
        """Pools whose allocator boxes are replaced, and boxes on their own."""
        def one_round():
            pool = memory.MemoryPool()
            consumer.use_counting_allocator(pool)
            consumer.pool_alloc(pool, 4, 4)
            consumer.take_events()
            del pool
            consumer.take_events()
            consumer.wrap_malloc()
            consumer.wrap_free()

        assert_steady(one_round, [memory.PyMalloc, memory.PyFree, memory.MemoryPool])

    def test_a_compiled_subclass(self, consumer):
        cls = consumer.MarkingPool

        def one_round():
            pool = cls()
            p = consumer.pool_alloc(pool, 8, 8)
            consumer.pool_realloc(pool, p, 128)

        assert_steady(one_round, [cls])

    def test_a_python_subclass_with_a_finaliser(self, consumer):
        finalised = {"pools": 0, "blocks": 0}

        class Finalised(memory.MemoryPool):
            def __del__(self):
                finalised["pools"] += 1
                finalised["blocks"] += len(self.addresses)

        def one_round():
            pool = Finalised()
            consumer.pool_alloc(pool, 8, 8)
            pool.own_pyref(Kept())

        assert_steady(one_round, [Finalised])
        assert finalised == {"pools": WARMUP + ROUNDS, "blocks": WARMUP + ROUNDS}

    def test_pools_in_reference_cycles(self, consumer):
        kept = Kept()

        def one_round():
            pool = memory.MemoryPool()
            pool.own_pyref(pool)
            pool.own_pyref([pool, kept])
            pool.own_pyref(kept)

        def pools_alive():
            return sum(isinstance(o, memory.MemoryPool) for o in gc.get_objects())

        settle()
        before = pools_alive()
        assert_steady(one_round, [kept])
        assert pools_alive() == before

    def test_cleared_pools(self, consumer):
        kept = Kept()

        def one_round():
            pool = memory.MemoryPool()
            pool.own_pyref(kept)
            consumer.tp_clear(pool)
            raises(ReferenceError, "MemoryPool has been cleared by the garbage collector",
                   consumer.pool_alloc, pool, 1, 8)
            raises(TypeError, "'NoneType' object is not iterable", consumer.pool_realloc, pool, 64, 8)
            raises(TypeError, "'NoneType' object is not iterable", consumer.pool_free, pool, 64)
            raises(AttributeError, "'NoneType' object has no attribute 'append'", pool.own_pyref, kept)

        assert_steady(one_round, [kept, memory.__dict__])


# ---- typed arrays ----------------------------------------------------------------------


class TestTypedArrays:
    def test_replacing_arrays_gives_every_old_block_back(self, consumer):
        pool = memory.MemoryPool()
        state = {"int": None, "float": None, "pair": None, "triple": None, "round": 0}

        def one_round():
            n = 8 + state["round"] % 5
            state["round"] += 1
            state["int"] = consumer.set_int_ptr(pool, n, 1, state["int"])
            state["float"] = consumer.set_float_ptr(pool, n, state["float"])
            state["pair"] = consumer.set_pair_ptr(pool, n, state["pair"])
            state["triple"] = consumer.set_triple_ptr(pool, n, state["triple"])
            assert len(pool.addresses) == 4
            assert pool.size == n * (4 + 4 + 16 + 12)

        assert_steady(one_round, [pool, pool.addresses, memory.__dict__], rounds=ROUNDS // 5 * 5)

    def test_destroying_the_pool_releases_the_arrays(self, consumer):
        def one_round():
            pool = memory.MemoryPool()
            p = consumer.set_pair_ptr(pool, 50)
            consumer.set_pair_ptr(pool, 60, p)
            consumer.set_triple_ptr(pool, 70)

        assert_steady(one_round)


# ---- Data and Memory --------------------------------------------------------------------


class TestData:
    def test_appending_and_viewing(self, consumer):
        def one_round():
            d = memory.Data(4)
            for i in range(40):
                consumer.data_add_row(d, [i, -i, i * i, 7])
            base = sys.getrefcount(d)
            mv = memoryview(d)
            part = mv[3:9]
            a = np.asarray(d)
            col = a[:, 2]
            assert sys.getrefcount(d) > base
            raises(ValueError, "can't add row while being viewed", consumer.data_add_row, d, [1, 2, 3, 4])
            assert col[5] == 25 and part.tolist()[0] == [3, -3, 9, 7]
            mv.release()
            del a, col
            raises(ValueError, "can't add row while being viewed", consumer.data_add_row, d, [1, 2, 3, 4])
            part.release()
            assert sys.getrefcount(d) == base
            consumer.data_add_row(d, [1, 2, 3, 4])
            assert consumer.data_members(d)[3] == 0

        assert_steady(one_round, [memory.__dict__])

    def test_one_table_viewed_again_and_again(self, consumer):
        d = memory.Data(3)
        consumer.data_add_row(d, [1, 2, 3])

        def one_round():
            with memoryview(d) as mv:
                assert mv.shape == (1, 3)
            assert np.asarray(d).sum() == 6
            assert bytes(d) == b"\x01\0\0\0\x02\0\0\0\x03\0\0\0"

        assert_steady(one_round, [d])
        assert consumer.data_members(d)[3] == 0

    def test_tables_without_columns(self, consumer):
        def one_round():
            d = memory.Data(0)
            consumer.data_add_row(d, [])
            raises(ZeroDivisionError, "float division", memoryview, d)
            assert consumer.data_members(d)[3] == 0

        assert_steady(one_round, [memory.__dict__])


class TestMemory:
    def test_resizing(self, consumer):
        def one_round():
            m = memory.Memory(100)
            m.resize(1000)
            m.resize(0)
            m.resize(10)
            before = consumer.memory_ptr(m)
            raises(MemoryError, "", m.resize, -1)
            assert consumer.memory_ptr(m) == before
            raises(MemoryError, "", m.resize, 2 ** 61)
            raises(OverflowError, "int too big to convert", m.resize, 2 ** 64)
            raises(TypeError, "'float' object cannot be interpreted as an integer", m.resize, 1.5)

        assert_steady(one_round, [memory.__dict__])

    def test_refused_construction(self):
        def one_round():
            raises(MemoryError, "", memory.Memory, -1)
            raises(MemoryError, "", memory.Memory, 2 ** 62)

        assert_steady(one_round, [memory.__dict__])


# ---- error paths -------------------------------------------------------------------------


class TestErrorPaths:
    def test_refused_allocations(self, consumer):
        pool = memory.MemoryPool()
        kept = consumer.pool_alloc(pool, 2, 2)

        def one_round():
            raises(MemoryError, "Error assigning %d bytes" % 2 ** 62, consumer.pool_alloc, pool, 2 ** 62, 1)
            raises(MemoryError, "Error assigning -4 bytes", consumer.pool_alloc, pool, 2 ** 64 - 1, 4)
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                raises(UserWarning, "Allocating zero bytes!", consumer.pool_alloc, pool, 0, 8)
            raises(MemoryError, "Error assigning %d bytes" % 2 ** 62, consumer.pool_realloc, pool, kept, 2 ** 62)
            assert pool.addresses == {kept: 4}

        assert_steady(one_round, [pool, pool.addresses, memory.__dict__])

    def test_triples_results_and_refusals(self, tmp_path):
        import gzip
        from morvex.utils import triples
        a = np.arange(300, dtype=np.int32).reshape(100, 3)[::-1].copy()
        text = b"".join(b"Q%d\tP%d\tQ%d\n" % tuple(row) for row in a % 7)
        (tmp_path / "a.txt").write_bytes(text)
        (tmp_path / "a.gz").write_bytes(gzip.compress(text))
        (tmp_path / "bad.txt").write_bytes(text + b"a\tb\n")

        def one_round():
            table, entities, relations = triples.read_labeled(tmp_path / "a.gz", threads=2)
            triples.write_labeled(tmp_path / "b.txt", table, entities, relations)
            triples.read_labeled(tmp_path / "b.txt", entities=triples.Vocabulary(["Q1"]), unknown="add")
            # pickling's own parts (pickle's lookups fill CPython's type cache)
            unpickle, state = entities.__reduce__()
            unpickle(*state).ids(list(relations), default=-1)
            raises(ValueError, "%s, line 101: 2 columns, but columns (0, 1, 2) need 3" % (tmp_path / "bad.txt"),
                   triples.read_labeled, tmp_path / "bad.txt")
            triples.sort(triples.sorted_copy(a[:, ::-1], "tail"))
            triples.unique(np.asfortranarray(a), "rel", True)
            triples.contains(a, a[::2], "rel3", True)
            raises(TypeError, "a must hold int32 values, got buffer format 'd' (8-byte items)",
                   triples.unique, a.astype(float))
            raises(ValueError, "queries must be two-dimensional with at least 3 columns, got shape (100, 2)",
                   triples.contains, a, a[:, :2])

        assert_steady(one_round, [a, triples.__dict__])

    def test_a_failing_allocator(self, consumer):
        pool = memory.MemoryPool()
        consumer.use_counting_allocator(pool)
        kept = consumer.pool_alloc(pool, 2, 2)

        def one_round():
            consumer.fail_next_malloc()
            raises(MemoryError, "Error assigning 40 bytes", consumer.pool_alloc, pool, 5, 8)
            consumer.fail_next_malloc()
            raises(MemoryError, "Error assigning 64 bytes", consumer.pool_realloc, pool, kept, 64)
            consumer.take_events()

        assert_steady(one_round, [pool, pool.addresses, memory.__dict__])
        assert pool.addresses == {kept: 4}

    def test_unknown_pointers(self, consumer, capfd):
        pool = memory.MemoryPool()
        a = consumer.pool_alloc(pool, 1, 4)
        b = consumer.pool_alloc(pool, 1, 8)
        text = "Pointer 4096 not found in Pool {%d: 4, %d: 8}" % (a, b)

        def one_round():
            raises(ValueError, text, consumer.pool_realloc, pool, 4096, 16)
            consumer.pool_free(pool, 4096)
            consumer.pool_free(pool, None)

        assert_steady(one_round, [pool, pool.addresses, memory.__dict__])
        assert capfd.readouterr().out == "Can not free some memory!\n" * 2 * (WARMUP + ROUNDS)

    def test_missing_warnings_module(self, consumer):
        pool = memory.MemoryPool()
        saved = memory.warnings

        def one_round():
            del memory.warnings
            try:
                raises(NameError, "name 'warnings' is not defined", consumer.pool_alloc, pool, 0, 1)
            finally:
                memory.warnings = saved

        assert_steady(one_round, [pool, saved, memory.__dict__])

    def test_unraisable_reports(self, consumer):
        pool = memory.MemoryPool()
        table = np.arange(6, dtype=np.int32).reshape(3, 2)
        consumer.call("setRandMemory")
        consumer.call("setThreadNumberAndRandSeed", 2, 5)
        consumer.call("reset_random_on_id")
        random_pool = consumer.random_state("pool")

        def one_round():
            assert consumer.set_int_ptr(pool, -1, 0) is None
            assert consumer.set_pair_ptr(pool, -2) is None
            assert consumer.set_triple_ptr(None, 3) is None
            assert consumer.rand_max(0, 0, 1) == 0
            assert consumer.rand_max(0, 0, 0) == 0
            assert consumer.rand64(3, 3) == 0
            assert consumer.rand64_(9) == 0
            assert consumer.load_triples(table)[0] == (0, 1, -7)
            consumer.call("randReset", -1)

        with Quiet() as quiet:
            assert_steady(one_round, [pool, pool.addresses, table, random_pool, memory.__dict__])
        assert quiet.reports == quiet.printed == 9 * (WARMUP + ROUNDS)
        assert pool.addresses == {}

    def test_unraisable_report_at_destruction(self, consumer):
        def one_round():
            pool = memory.MemoryPool()
            consumer.pool_alloc(pool, 1, 8)
            pool.addresses["not an address"] = 1

        with Quiet() as quiet:
            assert_steady(one_round, [memory.__dict__])
        assert quiet.reports == quiet.printed == WARMUP + ROUNDS

    def test_constructor_argument_errors(self):
        count = "__cinit__() takes exactly 1 positional argument (%d given)"

        def one_round():
            raises(TypeError, count % 0, memory.Memory)
            raises(TypeError, count % 2, memory.Data, 1, 2)
            raises(TypeError, "__cinit__() got multiple values for keyword argument 'number'",
                   memory.Memory, 1, number=2)
            raises(TypeError, "__cinit__() got an unexpected keyword argument 'rows'",
                   memory.Data, ncols=2, rows=3)
            raises(TypeError, "'float' object cannot be interpreted as an integer", memory.Data, 2.0)
            raises(ValueError, "ncols must not be negative", memory.Data, -1)
            raises(OverflowError, "ncols must not exceed 2147483647", memory.Data, 2 ** 31)
            memory.MemoryPool(1, 2, key=3)
            memory.PyMalloc(7)
            memory.PyFree(x=1)

        assert_steady(one_round, [memory.__dict__])

    def test_pickling_refusals(self):
        cinit = "no default __reduce__ due to non-trivial __cinit__"
        pool = memory.MemoryPool()
        data = memory.Data(2)
        cells = memory.Memory(2)

        def one_round():
            raises(TypeError, cinit, pickle.dumps, pool)
            raises(TypeError, cinit, copy.deepcopy, data)
            raises(TypeError, cinit, cells.__reduce__)
            raises(TypeError, cinit, pool.__setstate__, None)
            raises(TypeError, "self.malloc_func cannot be converted to a Python object for pickling",
                   copy.copy, memory.Default_Malloc)
            raises(TypeError, "self.free_func cannot be converted to a Python object for pickling",
                   pickle.dumps, memory.Default_Free)

        assert_steady(one_round, [pool, data, cells, memory.Default_Malloc, memory.Default_Free,
                                  memory.__dict__])

    def test_executing_the_module_again(self, consumer):
        text = "Module 'memory' has already been imported. Re-initialisation is not supported."

        def one_round():
            raises(RuntimeError, text, consumer.exec_def_on_fresh, memory)

        assert_steady(one_round, [memory, memory.__dict__])
