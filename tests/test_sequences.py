"""Random sequences of operations, each step checked against a small Python
model: pool bookkeeping and block contents, table appends against live views,
the five sorts, and the random streams' recurrence."""
import gc
import warnings
import weakref

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition,
                                 rule, run_state_machine_as_test)

import morvex.utils.memory as memory
from model import INT_MAX, INT_MIN, KEYS, NOT_FREED, step

SETTINGS = settings(max_examples=60, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])
MACHINE_SETTINGS = settings(SETTINGS, max_examples=50, stateful_step_count=40)

INT32 = st.integers(INT_MIN, INT_MAX)
VIEWED = "can't add row while being viewed"


# ---- the pool ---------------------------------------------------------------------


class Kept:
    """An object handed to a pool; logs its release through the consumer."""

    def __init__(self, consumer, n):
        self.consumer = consumer
        self.n = n

    def __del__(self):
        self.consumer.log_marker(("del", self.n))


class PoolMachine(RuleBasedStateMachine):
    """Every native pool operation in any order.  The model is the ordered
    mapping address -> block contents (the pool's `addresses` keeps insertion
    order) and the list of kept objects; after every step `size`,
    `addresses`, `refs` and every block's bytes must match it."""

    consumer = None  # set by the test
    capfd = None

    def __init__(self):
        super().__init__()
        c = self.consumer
        self.pool = memory.MemoryPool()
        c.use_counting_allocator(self.pool)
        self.model = {}        # address -> bytes the block holds
        self.handed = []       # [address, live] for every block handed out
        self.kept = []         # the objects given to own_pyref, in order
        self.stamp = 0
        self.other = memory.MemoryPool()
        self.foreign = c.pool_alloc(self.other, 1, 8)
        self.capfd.readouterr()

    def pick(self, i):
        """An address to hand back: one handed out before (live or freed), or
        one this pool never gave out.  A freed block whose address malloc has
        since reused stands for an unknown address, so that each step takes
        the same path in every run whatever addresses malloc picks."""
        choices = self.handed + [None, 4096, self.foreign]
        choice = choices[i % len(choices)]
        if not isinstance(choice, list):
            return choice
        address, live = choice
        return address if live or address not in self.model else 4096

    def hand_out(self, p):
        self.handed.append([p, True])

    def forget(self, p):
        del self.model[p]
        for handle in self.handed:
            if handle[0] == p and handle[1]:
                handle[1] = False

    def fill(self, p, n):
        """Writes a fresh pattern into n bytes at p and returns it."""
        self.stamp += 1
        data = bytes((self.stamp * 31 + i * 7) & 0xFF for i in range(n))
        if n:
            self.consumer.write_bytes(p, data)
        return data

    def printed(self):
        return self.capfd.readouterr().out

    @rule(number=st.integers(0, 40), elem_size=st.sampled_from([0, 1, 3, 4, 8, 12, 16]))
    def alloc(self, number, elem_size):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            p = self.consumer.pool_alloc(self.pool, number, elem_size)
        expected = ["Allocating zero bytes!"] if number == 0 else []
        assert [str(w.message) for w in caught] == expected
        assert all(w.category is UserWarning for w in caught)
        size = number * elem_size
        assert p not in self.model and p != 0
        assert self.consumer.read_bytes(p, size) == bytes(size)
        self.model[p] = self.fill(p, size)
        self.hand_out(p)

    @rule(number=st.integers(1, 40))
    def alloc_fails(self, number):
        self.consumer.fail_next_malloc()
        with pytest.raises(MemoryError) as info:
            self.consumer.pool_alloc(self.pool, number, 8)
        assert str(info.value) == "Error assigning %d bytes" % (number * 8)

    @rule(i=st.integers(0, 2 ** 16), new_size=st.integers(0, 300))
    def realloc(self, i, new_size):
        p = self.pick(i)
        if p not in self.model:
            with pytest.raises(ValueError) as info:
                self.consumer.pool_realloc(self.pool, p, new_size)
            sizes = {a: len(c) for a, c in self.model.items()}
            assert str(info.value) == "Pointer %d not found in Pool %s" % (p or 0, sizes)
            return
        old = self.model[p]
        q = self.consumer.pool_realloc(self.pool, p, new_size)
        assert q != p and q not in self.model
        kept = old[:new_size]
        assert self.consumer.read_bytes(q, new_size) == kept + bytes(new_size - len(kept))
        self.forget(p)
        self.model[q] = self.fill(q, new_size)
        self.hand_out(q)

    @precondition(lambda self: self.model)
    @rule(i=st.integers(0, 2 ** 16), new_size=st.integers(1, 300))
    def realloc_fails(self, i, new_size):
        p = list(self.model)[i % len(self.model)]
        self.consumer.fail_next_malloc()
        with pytest.raises(MemoryError) as info:
            self.consumer.pool_realloc(self.pool, p, new_size)
        assert str(info.value) == "Error assigning %d bytes" % new_size

    @rule(i=st.integers(0, 2 ** 16))
    def free(self, i):
        p = self.pick(i)
        self.consumer.pool_free(self.pool, p)
        if p in self.model:
            self.forget(p)
            assert self.printed() == ""
        else:
            assert self.printed() == NOT_FREED

    @rule(again=st.booleans())
    def own_pyref(self, again):
        obj = self.kept[-1] if again and self.kept else Kept(self.consumer, len(self.kept))
        assert self.pool.own_pyref(obj) is None
        self.kept.append(obj)

    @invariant()
    def bookkeeping(self):
        sizes = [(a, len(c)) for a, c in self.model.items()]
        assert list(self.pool.addresses.items()) == sizes
        assert self.pool.size == sum(n for _, n in sizes) == self.consumer.pool_size_member(self.pool)
        assert len(self.pool.refs) == len(self.kept)
        assert all(a is b for a, b in zip(self.pool.refs, self.kept))
        for p, data in self.model.items():
            assert self.consumer.read_bytes(p, len(data)) == data
        assert self.other.addresses == {self.foreign: 8}

    def teardown(self):
        c = self.consumer
        c.take_events()
        alive = [weakref.ref(o) for o in self.kept]
        order = [("del", o.n) for o in self.kept]
        first_use = []
        for event in order:
            if event not in first_use:
                first_use.append(event)
        expected = [("free", a) for a in self.model]
        del self.kept, self.pool
        gc.collect()
        events = c.take_events()
        # every recorded block goes back once, in insertion order, before any
        # kept object is released
        assert events[:len(expected)] == expected
        assert sorted(events[len(expected):]) == sorted(first_use)
        assert all(r() is None for r in alive)


def test_pool_operations(consumer, capfd):
    PoolMachine.consumer = consumer
    PoolMachine.capfd = capfd
    try:
        run_state_machine_as_test(PoolMachine, settings=MACHINE_SETTINGS)
    finally:
        PoolMachine.consumer = PoolMachine.capfd = None


# ---- the row table and its views --------------------------------------------------


class TableMachine(RuleBasedStateMachine):
    """Appends, writes and views (memoryviews, numpy arrays and slices of
    either) opened and released in random order.  Views derived from one
    another share one export, which lasts until the last of them goes; an
    append is refused exactly while some export is alive.  Each view is kept
    with the table rows it shows, so reads and writes through it are checked
    against the model."""

    consumer = None

    def __init__(self):
        super().__init__()
        self.rows = []
        self.exports = []  # per export: a list of live (view, row numbers)
        self.table = None
        self.ncols = None

    @initialize(ncols=st.integers(0, 4))
    def make(self, ncols):
        self.ncols = ncols
        self.table = memory.Data(ncols)

    def handles(self):
        return [(e, h) for e, group in enumerate(self.exports) for h in range(len(group))]

    def handle(self, i):
        handles = self.handles()
        e, h = handles[i % len(handles)]
        return e, h

    @rule(row=st.lists(INT32, min_size=4, max_size=4))
    def append(self, row):
        row = row[:self.ncols]
        if self.exports:
            with pytest.raises(ValueError) as info:
                self.consumer.data_add_row(self.table, row)
            assert str(info.value) == VIEWED
        else:
            assert self.consumer.data_add_row(self.table, row) is None
            if self.ncols:
                self.rows.append(row)

    @rule(kind=st.sampled_from(["memoryview", "numpy"]))
    def open_view(self, kind):
        if self.ncols == 0:
            if kind == "memoryview":
                with pytest.raises(ZeroDivisionError) as info:
                    memoryview(self.table)
                assert str(info.value) == "float division"
            return
        view = memoryview(self.table) if kind == "memoryview" else np.asarray(self.table)
        self.exports.append([(view, list(range(len(self.rows))))])
        assert view.shape == (len(self.rows), self.ncols)
        if self.rows or kind == "memoryview":  # numpy gives empty arrays strides of 0
            assert view.strides == (4 * self.ncols, 4)

    @precondition(lambda self: self.exports)
    @rule(i=st.integers(0, 2 ** 16), start=st.integers(0, 3), step=st.sampled_from([1, 2, -1]))
    def derive(self, i, start, step):
        e, h = self.handle(i)
        view, shown = self.exports[e][h]
        self.exports[e].append((view[start::step], shown[start::step]))

    @precondition(lambda self: self.exports)
    @rule(i=st.integers(0, 2 ** 16))
    def release(self, i):
        e, h = self.handle(i)
        view, _ = self.exports[e].pop(h)
        if isinstance(view, memoryview):
            view.release()
        del view
        if not self.exports[e]:
            del self.exports[e]

    @precondition(lambda self: self.exports)
    @rule(i=st.integers(0, 2 ** 16), j=st.integers(0, 2 ** 16), col=st.integers(0, 3), value=INT32)
    def write_through_a_view(self, i, j, col, value):
        e, h = self.handle(i)
        view, shown = self.exports[e][h]
        if not shown:
            return
        j %= len(shown)
        col %= self.ncols
        view[j, col] = value
        self.rows[shown[j]][col] = value

    @invariant()
    def agrees(self):
        if self.table is None:
            return
        assert self.consumer.data_members(self.table)[3] == len(self.exports)
        assert self.consumer.data_cells(self.table) == [v for row in self.rows for v in row]
        for group in self.exports:
            for view, shown in group:
                assert view.tolist() == [self.rows[r] for r in shown]

    def teardown(self):
        while self.exports:
            for view, _ in self.exports.pop():
                if isinstance(view, memoryview):
                    view.release()
            del view
        if self.table is not None:
            assert self.consumer.data_members(self.table)[3] == 0


def test_table_views(consumer):
    TableMachine.consumer = consumer
    try:
        run_state_machine_as_test(TableMachine, settings=MACHINE_SETTINGS)
    finally:
        TableMachine.consumer = None


# ---- sorting -------------------------------------------------------------------------

FIELD = st.one_of(st.integers(-3, 3), INT32, st.sampled_from([-2 ** 31, 2 ** 31 - 1, 0, -1]))


@SETTINGS
@given(triples=st.lists(st.tuples(FIELD, FIELD, FIELD), max_size=120),
       order=st.sampled_from(sorted(KEYS)))
def test_sorts_match_sorted(consumer, triples, order):
    table = np.array(triples, dtype=np.int32).reshape(len(triples), 3)
    consumer.sort(table, order)
    assert [tuple(t) for t in table.tolist()] == sorted(triples, key=KEYS[order])
    # the comparison agrees with the key on every pair it is asked about
    for a, b in zip(triples, triples[1:]):
        assert consumer.compare(order, a, b) == int(KEYS[order](a) < KEYS[order](b))


@settings(SETTINGS, max_examples=25)
@given(seed=st.integers(0, 2 ** 32 - 1), n=st.integers(0, 20000),
       spread=st.sampled_from([2, 50, 70000, 2 ** 32]), order=st.sampled_from(sorted(KEYS)))
def test_large_sorts_match_sorted(consumer, seed, n, spread, order):
    """Tables large enough for every stage of the sort, with few or many
    distinct values per field."""
    rng = np.random.default_rng(seed)
    low = -(spread // 2)
    table = rng.integers(low, low + spread, size=(n, 3), dtype=np.int64).astype(np.int32)
    triples = [tuple(t) for t in table.tolist()]
    consumer.sort(table, order)
    assert [tuple(t) for t in table.tolist()] == sorted(triples, key=KEYS[order])


@SETTINGS
@given(triples=st.lists(st.tuples(FIELD, FIELD, FIELD), max_size=80))
def test_a_comparison_of_the_consumers_own(consumer, triples):
    table = np.array(triples, dtype=np.int32).reshape(len(triples), 3)
    consumer.sort(table, "descending")
    assert [tuple(t) for t in table.tolist()] == sorted(triples, reverse=True)


# ---- random streams --------------------------------------------------------------------

THREADS = 6
OPS = st.one_of(
    st.tuples(st.just("rand64"), st.integers(0, THREADS - 1)),
    st.tuples(st.just("prob"), INT32),
    st.tuples(st.just("max"), st.integers(0, THREADS - 1),
              st.one_of(st.integers(1, 1000), st.integers(1, 2 ** 63 - 1)), st.just(1)),
    st.tuples(st.just("max"), INT32,
              st.one_of(st.integers(1, 1000), st.integers(1, 2 ** 63 - 1)),
              st.one_of(st.just(0), INT32.filter(lambda s: s != 1))),
    st.tuples(st.just("reset_id")),
    st.tuples(st.just("reseed"), st.integers(2, 2 ** 31 - 1)),
)


@SETTINGS
@given(seed=st.integers(2, 2 ** 31 - 1), ops=st.lists(OPS, max_size=60))
def test_draws_follow_the_recurrence(consumer, seed, ops):
    consumer.call("setRandMemory")
    consumer.call("reset_random_on_id")
    consumer.call("setThreadNumberAndRandSeed", THREADS, seed)
    consumer.c_srand(41504)
    id_start = [consumer.c_rand() for _ in range(20)]
    consumer.c_srand(seed)
    threads = [consumer.c_rand() for _ in range(THREADS)]
    assert consumer.random_state("next", THREADS) == threads
    ids = list(id_start)
    assert consumer.random_state("id", 20) == ids
    for op in ops:
        kind = op[0]
        if kind == "rand64":
            t = op[1]
            threads[t] = step(threads[t])
            assert consumer.rand64_(t) == threads[t]
        elif kind == "prob":
            k = op[1] % 20
            ids[k] = step(ids[k])
            assert consumer.random_for_prob(op[1]) == ids[k]
        elif kind == "max":
            _, i, bound, stream = op
            if stream == 1:
                threads[i] = step(threads[i])
                value = threads[i]
            else:
                ids[i % 20] = step(ids[i % 20])
                value = ids[i % 20]
            assert consumer.rand_max(i, bound, stream) == value % bound
        elif kind == "reset_id":
            consumer.call("reset_random_on_id")
            ids = list(id_start)
        else:
            # a new seed and a new array of per-thread slots
            consumer.call("setThreadNumberAndRandSeed", THREADS, op[1])
            consumer.c_srand(op[1])
            threads = [consumer.c_rand() for _ in range(THREADS)]
    assert consumer.random_state("next", THREADS) == threads
    assert consumer.random_state("id", 20) == ids
