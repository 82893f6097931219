# cython: language_level=3, boundscheck=False, wraparound=False
"""triples_cy: a Cython consumer of morvex.utils.memory.

Triples(table) copies an (n, 3) int32 table into a Triple array owned by a
MemoryPool; sort(order) sorts it in place without the GIL; corrupt_tails()
draws a negative for every triple on OpenMP threads, each thread from its own
random stream.  Dropping the object drops the pool and with it the array."""
from cython.parallel cimport prange

import numpy

from morvex.utils.memory cimport (
    MemoryPool, Triple, cmp_type, cmp_head, cmp_rel, cmp_rel2, cmp_rel3, cmp_tail,
    load_triple_from_numpy, quick_sort, rand_max, set_triple_ptr,
    setRandMemory, setThreadNumberAndRandSeed,
)


cdef cmp_type order_named(str name) except NULL:
    if name == "cmp_head":
        return cmp_head      # head, relation, tail
    if name == "cmp_tail":
        return cmp_tail      # tail, relation, head
    if name == "cmp_rel":
        return cmp_rel       # head, tail, relation
    if name == "cmp_rel2":
        return cmp_rel2      # relation, head, tail
    if name == "cmp_rel3":
        return cmp_rel3      # relation, tail, head
    raise ValueError("unknown order %r" % name)


cdef class Triples:
    cdef MemoryPool pool       # owns `triples`
    cdef Triple *triples
    cdef readonly int count

    def __cinit__(self, int[:, :] table):
        if table.shape[1] < 3:
            raise ValueError("need at least three columns: head, relation, tail")
        self.pool = MemoryPool()
        self.count = <int>table.shape[0]
        set_triple_ptr(&self.triples, self.count, self.pool)  # zeroed, owned by the pool
        if self.triples == NULL:
            raise MemoryError()
        load_triple_from_numpy(self.triples, table)

    def sort(self, str order="cmp_head"):
        cdef cmp_type cmp = order_named(order)
        with nogil:
            quick_sort(self.triples, self.count, cmp)

    def to_numpy(self):
        out = numpy.empty((self.count, 3), dtype=numpy.intc)
        cdef int[:, ::1] o = out
        cdef int i
        for i in range(self.count):
            o[i, 0] = self.triples[i].head
            o[i, 1] = self.triples[i].relation
            o[i, 2] = self.triples[i].tail
        return out

    def corrupt_tails(self, long entities, int threads=4, int seed=7):
        """A copy of the triples with every tail replaced by a random entity
        in [0, entities); thread t draws from stream t, without the GIL."""
        setRandMemory()                             # with the GIL: set-up
        setThreadNumberAndRandSeed(threads, seed)
        out = self.to_numpy()
        cdef int[:, ::1] o = out
        cdef int t, i, n = self.count
        cdef int chunk = (n + threads - 1) // threads
        for t in prange(threads, nogil=True, num_threads=threads, schedule="static", chunksize=1):
            for i in range(t * chunk, min((t + 1) * chunk, n)):
                o[i, 2] = <int>rand_max(t, entities, 1)
        return out
