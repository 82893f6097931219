# distutils: language = c++
# cython: language_level=3, boundscheck=False, wraparound=False
"""A Cython consumer of morvex.utils.memory, built against the installed
memory.pxd only: it cimports every export, reaches the functions and
variables through the module's __pyx_capi__ capsules and the classes'
methods through their method tables, and exposes small Python wrappers
for tests/test_cython_interop.py."""

from cpython.mem cimport PyMem_Free, PyMem_Malloc
from cython.parallel cimport prange, threadid
from libc.stdlib cimport qsort
from libc.string cimport memset

import numpy

from morvex.utils.memory cimport (
    Data, DataStruct, Memory, MemoryPool, Pair, PyFree, PyMalloc, Triple,
    WARN_ZERO_ALLOC, WrapFree, WrapMalloc, _compare, _rand64, cmp_head,
    cmp_rel, cmp_rel2, cmp_rel3, cmp_tail, cmp_type, free_t,
    global_random_memory_pool, id_random, initializeData,
    load_triple_from_numpy, malloc_t, next_random, quick_sort, rand64,
    rand_max, randReset, random_for_prob, reset_random_on_id, set_float_ptr,
    set_int_ptr, set_pair_ptr, set_triple_ptr, setRandMemory, setRandSeed,
    setThreadNumberAndRandSeed,
)

ORDERS = ("cmp_head", "cmp_tail", "cmp_rel", "cmp_rel2", "cmp_rel3")


cdef cmp_type order_at(int k) nogil:
    if k == 0:
        return cmp_head
    if k == 1:
        return cmp_tail
    if k == 2:
        return cmp_rel
    if k == 3:
        return cmp_rel2
    return cmp_rel3


def struct_sizes():
    """sizeof of every record and object layout as this consumer sees them."""
    return {
        "Triple": sizeof(Triple), "Pair": sizeof(Pair), "DataStruct": sizeof(DataStruct),
        "MemoryPool": sizeof(MemoryPool), "PyMalloc": sizeof(PyMalloc),
        "PyFree": sizeof(PyFree), "Data": sizeof(Data), "Memory": sizeof(Memory),
    }


cdef list triples(const Triple *t, int n):
    return [(t[i].head, t[i].relation, t[i].tail) for i in range(n)]


# ---- a release function that records what it gets ------------------------

cdef list released = []


cdef void recording_free(void *p) noexcept:
    released.append(<size_t>p)
    PyMem_Free(p)


def take_released():
    """Addresses given to recording_free since the last call, in order."""
    out = list(released)
    del released[:]
    return out


def record_releases(MemoryPool pool):
    """Replaces the pool's release function through PyFree.set_func."""
    pool.pyfree.set_func(recording_free)


# ---- road 1: triples into a pool, sorted five ways ------------------------

def sort_road(int[:, :] table):
    """Loads `table` into a pool-owned Triple array and sorts it under each of
    the five orders in turn.  The pool comes back with the array still in it
    and a recording release function, so the caller can watch it go."""
    cdef MemoryPool pool = MemoryPool()
    cdef Triple *t = NULL
    cdef int n = <int>table.shape[0]
    cdef int k
    set_triple_ptr(&t, n, pool)
    zeroed = all(t[i].head == 0 and t[i].relation == 0 and t[i].tail == 0 for i in range(n))
    load_triple_from_numpy(t, table)
    out = {"pool": pool, "address": <size_t>t, "zeroed": zeroed,
           "size_seen_natively": pool.size, "loaded": triples(t, n), "sorted": {}}
    for k in range(5):
        with nogil:
            quick_sort(t, n, order_at(k))
        out["sorted"][ORDERS[k]] = triples(t, n)
    record_releases(pool)
    return out


def compare(str order, a, b):
    """One call of the named ordering on two (head, relation, tail) tuples."""
    cdef Triple x, y
    x.head, x.relation, x.tail = a
    y.head, y.relation, y.tail = b
    return order_at(ORDERS.index(order))(x, y)


# ---- road 2: random streams drawn without the GIL --------------------------

def set_up_streams(int threads, int seed):
    """setRandMemory, setThreadNumberAndRandSeed and reset_random_on_id;
    returns the start states of the per-thread and id-keyed slots."""
    setRandMemory()
    setThreadNumberAndRandSeed(threads, seed)
    reset_random_on_id()
    return ([next_random[i] for i in range(threads)],
            [id_random[i] for i in range(20)])


def reset_threads(int threads):
    """randReset alone: fresh per-thread slots from the runtime generator."""
    randReset(threads)
    return [next_random[i] for i in range(threads)]


def seed(int value):
    setRandSeed(value)


def random_pool():
    """global_random_memory_pool as the consumer sees it."""
    return global_random_memory_pool


def stream_addresses():
    return <size_t>next_random, <size_t>id_random


def draw(int slot, int count, long bound=0):
    """`count` draws from per-thread slot `slot` with the GIL released:
    _rand64 when `bound` is 0, else rand_max(slot, bound, 1)."""
    out = numpy.zeros(count, dtype=numpy.ulonglong)
    cdef unsigned long long[::1] o = out
    cdef int j
    with nogil:
        if bound == 0:
            for j in range(count):
                o[j] = _rand64(slot)
        else:
            for j in range(count):
                o[j] = <unsigned long long>rand_max(slot, bound, 1)
    return out


def draw_prange(int threads, int count):
    """Each of `threads` OpenMP threads draws `count` values from its own
    slot; returns the draws (one row per slot) and the OpenMP thread that
    served each slot."""
    out = numpy.zeros((threads, count), dtype=numpy.ulonglong)
    who = numpy.full(threads, -1, dtype=numpy.intc)
    cdef unsigned long long[:, ::1] o = out
    cdef int[::1] w = who
    cdef int t, j
    for t in prange(threads, nogil=True, num_threads=threads, schedule="static", chunksize=1):
        w[t] = threadid()
        for j in range(count):
            o[t, j] = _rand64(t)
    return out, who


def draw_by_id(ids, long bound=0):
    """random_for_prob (bound 0) or rand_max(id, bound, 0) for each id."""
    cdef int i
    return [random_for_prob(i) if bound == 0 else rand_max(i, bound, 0) for i in ids]


def draw_range(long low, long high, int count):
    cdef int j
    out = []
    for j in range(count):
        out.append(rand64(low, high))
    return out


# ---- the row table -----------------------------------------------------------

def data_road(rows, int ncols):
    """A Data filled through add_row from a list of rows."""
    cdef Data d = Data(ncols)
    cdef int[::1] buf = numpy.zeros(max(ncols, 1), dtype=numpy.intc)
    cdef int j
    for row in rows:
        for j in range(ncols):
            buf[j] = row[j]
        d.add_row(&buf[0])
    return d


def add_row(Data d, row):
    cdef int[::1] buf = numpy.asarray(row, dtype=numpy.intc)
    return d.add_row(&buf[0])


def data_members(Data d):
    """The members of a Data read natively: (ncols, cell count, view_count,
    shape, strides)."""
    return (d.ncols, d.cells.size(), d.view_count,
            (d.shape[0], d.shape[1]), (d.strides[0], d.strides[1]))


def initialize_data():
    """initializeData on a record whose every byte is 0xAB; returns the
    record's members afterwards."""
    cdef DataStruct s
    memset(&s, 0xAB, sizeof(DataStruct))
    initializeData(&s)
    return ([<size_t>s.arrays[i] for i in range(15)], bytes(s.user[:32]),
            [<size_t>s.tables[i] for i in range(2)], s.count)


# ---- the pool's native methods, typed helpers, boxes, Memory ---------------

def pool_methods():
    """alloc, realloc and free through the method table, with the pool's
    bookkeeping seen from Python after each step."""
    cdef MemoryPool pool = MemoryPool()
    cdef double *p = <double *>pool.alloc(4, sizeof(double))
    steps = [("alloc", <size_t>p, pool.size, dict(pool.addresses), [p[i] for i in range(4)])]
    for i in range(4):
        p[i] = 1.5 * (i + 1)
    cdef double *q = <double *>pool.realloc(p, 8 * sizeof(double))
    steps.append(("realloc", <size_t>q, pool.size, dict(pool.addresses), [q[i] for i in range(8)]))
    pool.free(q)
    steps.append(("free", 0, pool.size, dict(pool.addresses), []))
    return steps


def realloc_unknown():
    """realloc of an address the pool never handed out: the ValueError comes
    back through the method table's `except NULL`."""
    cdef MemoryPool pool = MemoryPool()
    cdef int x = 0
    pool.realloc(&x, 8)


def typed_helpers(int count):
    """set_int_ptr (both fills), set_float_ptr and set_pair_ptr into one pool,
    each called twice so the first block goes back to the pool."""
    cdef MemoryPool pool = MemoryPool()
    cdef int *ints = NULL
    cdef int *minus = NULL
    cdef float *floats = NULL
    cdef Pair *pairs = NULL
    set_int_ptr(&ints, count, 0, pool)
    first_ints = <size_t>ints
    set_int_ptr(&ints, count, 0, pool)
    first_kept = first_ints in pool.addresses
    set_int_ptr(&minus, count, 1, pool)
    set_float_ptr(&floats, count, pool)
    set_pair_ptr(&pairs, count, pool)
    set_pair_ptr(&pairs, count, pool)
    return {
        "first_ints_kept": first_kept,
        "ints": [ints[i] for i in range(count)],
        "minus": [minus[i] for i in range(count)],
        "floats": [floats[i] for i in range(count)],
        "pairs": [(pairs[i].first, pairs[i].second) for i in range(count)],
        "addresses": sorted(pool.addresses.items()),
        "expected": sorted([(<size_t>ints, 4 * count), (<size_t>minus, 4 * count),
                            (<size_t>floats, 4 * count), (<size_t>pairs, 16 * count)]),
        "size": pool.size,
    }


def boxes():
    """WrapMalloc / WrapFree around the interpreter's allocator, read back
    through the boxes' members."""
    cdef PyMalloc m = WrapMalloc(PyMem_Malloc)
    cdef PyFree f = WrapFree(PyMem_Free)
    cdef malloc_t want_m = PyMem_Malloc
    cdef free_t want_f = PyMem_Free
    return m, f, m.malloc_func == want_m, f.free_func == want_f


def memory_cells(Memory mem, values):
    """Writes `values` into a Memory block's cells and reads them back."""
    cdef int *cells = <int *>mem.ptr
    for i, v in enumerate(values):
        cells[i] = v
    return [cells[i] for i in range(len(values))]


def warn_zero_alloc():
    return WARN_ZERO_ALLOC


cdef struct Weighted:
    int id
    float weight
    int other


def qsort_by_weight(weights):
    """The C library's qsort with the exported _compare on records whose
    second field is a float; returns the ids in sorted order."""
    cdef int n = len(weights)
    cdef Weighted *recs = <Weighted *>PyMem_Malloc(max(n, 1) * sizeof(Weighted))
    if recs == NULL:
        raise MemoryError()
    try:
        for i in range(n):
            recs[i].id = i
            recs[i].weight = weights[i]
            recs[i].other = -i
        qsort(recs, n, sizeof(Weighted), _compare)
        return [recs[i].id for i in range(n)]
    finally:
        PyMem_Free(recs)


# ---- a Cython subclass that replaces alloc ----------------------------------

cdef class MarkingPool(MemoryPool):
    """Fills every fresh block with 0x5A; the module's realloc goes through
    this table too, so what it copies over lands on marked memory."""
    cdef public int marked

    cdef void *alloc(self, size_t number, size_t elem_size) except NULL:
        cdef void *p = MemoryPool.alloc(self, number, elem_size)
        memset(p, 0x5A, number * elem_size)
        self.marked += 1
        return p


def marking_realloc(MarkingPool pool):
    """alloc 4 bytes set to 1..4, realloc to 8: returns the 8 bytes."""
    cdef unsigned char *p = <unsigned char *>pool.alloc(1, 4)
    for i in range(4):
        p[i] = i + 1
    cdef unsigned char *q = <unsigned char *>pool.realloc(p, 8)
    return bytes(q[:8])


# ---- a buffer exporter that describes its cells as told ----------------------

cdef class Exporter:
    """Exports the bytes `cells` as a read-only two-dimensional buffer with
    the item format, item size, shape, strides and suboffsets given; None
    leaves that array out (a NULL pointer), as an exporter may."""
    cdef bytes cells, format
    cdef Py_ssize_t itemsize
    cdef Py_ssize_t dims[3][2]  # shape, strides, suboffsets
    cdef bint given[3]

    def __init__(self, bytes cells, str format, shape, strides=None, suboffsets=None, Py_ssize_t itemsize=4):
        self.cells, self.format, self.itemsize = cells, format.encode(), itemsize
        for k, pair in enumerate((shape, strides, suboffsets)):
            self.given[k] = pair is not None
            if pair is not None:
                self.dims[k][0], self.dims[k][1] = pair

    def __getbuffer__(self, Py_buffer *view, int flags):
        view.buf = <char *>self.cells
        view.obj = self
        view.len = len(self.cells)
        view.readonly = 1
        view.itemsize = self.itemsize
        view.format = <char *>self.format
        view.ndim = 2
        view.shape = &self.dims[0][0] if self.given[0] else <Py_ssize_t *>NULL
        view.strides = &self.dims[1][0] if self.given[1] else <Py_ssize_t *>NULL
        view.suboffsets = &self.dims[2][0] if self.given[2] else <Py_ssize_t *>NULL
        view.internal = NULL
