# distutils: language = c++
#
# Cython declarations of morvex.utils.memory, for compiled consumers written
# in Cython (0.29.31 or newer, or 3.x; `noexcept` marks the functions that
# never raise, so that Cython 3 adds no error checks around them):
#
#     from morvex.utils.memory cimport MemoryPool, Triple, set_triple_ptr
#
# Cython then imports every function and variable the consumer uses from the
# module's __pyx_capi__ (checking each against the signature written below)
# and the classes' method tables from their __pyx_vtable__ entries.  The
# declarations match memory.h member for member and slot for slot; the
# parameter spelling (`const int`, `const_void *`, `unsigned long long`) is
# what makes the generated signature strings equal the published ones, so do
# not "tidy" it.
#
# The `Data` class holds a C++ vector, so a consumer that cimports this file
# is compiled as C++ (the `distutils: language` line above carries over).

from libc.stdint cimport int64_t
from libc.string cimport const_void
from libcpp.vector cimport vector

# ---- records -------------------------------------------------------------

# One (head, relation, tail) triple: 12 bytes, no padding.
ctypedef struct Triple:
    int head
    int relation
    int tail

# A 16-byte pair; set_pair_ptr leaves `first` 0 and `second` -1.
ctypedef struct Pair:
    int64_t first
    int64_t second

# A record owned by consumers; initializeData clears `arrays`, `tables` and
# `count` and leaves `user` untouched.
ctypedef struct DataStruct:
    void *arrays[15]
    unsigned char user[32]
    void *tables[2]
    int count

# Strict less-than on two triples: non-zero when `a` sorts before `b`.  The
# five exported orders compare their keys in this order:
#     cmp_head: head, relation, tail      cmp_rel2: relation, head, tail
#     cmp_tail: tail, relation, head      cmp_rel3: relation, tail, head
#     cmp_rel:  head, tail, relation  (starts with head, not relation)
ctypedef int (*cmp_type)(Triple a, Triple b) noexcept nogil
ctypedef void *(*malloc_t)(size_t size) noexcept
ctypedef void (*free_t)(void *p) noexcept

# ---- classes -------------------------------------------------------------

cdef class PyMalloc:
    cdef malloc_t malloc_func
    cdef void set_func(self, malloc_t func) noexcept

cdef class PyFree:
    cdef free_t free_func
    cdef void set_func(self, free_t func) noexcept

# `addresses` and `refs` are the pool's own live records, not copies (the
# Python attributes hand out these very objects): the pool frees every
# address left in `addresses` and keeps `refs` alive, so what is put into or
# taken out of them changes what the pool releases.
cdef class MemoryPool:
    cdef Py_ssize_t size          # bytes currently recorded
    cdef dict addresses           # address -> byte count
    cdef list refs                # objects kept alive with the pool
    cdef PyMalloc pymalloc
    cdef PyFree pyfree
    # zeroed block of number * elem_size bytes, owned by the pool
    cdef void *alloc(self, size_t number, size_t elem_size) except NULL
    cdef void *realloc(self, void *p, size_t new_size) except NULL
    cdef void free(self, void *p) except *

cdef class Data:
    cdef Py_ssize_t ncols
    cdef Py_ssize_t shape[2]
    cdef Py_ssize_t strides[2]
    cdef vector[int] cells
    cdef int view_count
    # appends ncols ints copied from `row`; fails while a buffer view is alive
    cdef add_row(self, int *row)

cdef class Memory:
    cdef void *ptr                # number x 4 bytes

# ---- variables -----------------------------------------------------------

cdef int WARN_ZERO_ALLOC
cdef unsigned long long *next_random          # one state per worker thread
cdef unsigned long long *id_random            # 20 id-keyed states
cdef MemoryPool global_random_memory_pool     # owns the two arrays

# ---- functions -----------------------------------------------------------

# allocator boxes
cdef PyMalloc WrapMalloc(malloc_t malloc_func)
cdef PyFree WrapFree(free_t free_func)

# typed array helpers: *ptr becomes a fresh block of `count` elements owned
# by `pool` (zeroed; set_int_ptr fills -1 when fill_minus_one is non-zero,
# set_pair_ptr stores second = -1); the old block goes back to the pool
cdef void initializeData(DataStruct *data) noexcept
cdef void set_int_ptr(int **ptr, int count, int fill_minus_one, MemoryPool pool) noexcept
cdef void set_float_ptr(float **ptr, int count, MemoryPool pool) noexcept
cdef void set_pair_ptr(Pair **ptr, int count, MemoryPool pool) noexcept
cdef void set_triple_ptr(Triple **ptr, int count, MemoryPool pool) noexcept

# copies columns 0, 1, 2 of an (n, >=3) int32 view into ptr[0..n-1], reading
# item (i, j) through both of the view's strides, so Fortran-ordered,
# transposed and column-strided views load as they read.  The view stays
# `int[:, :]`: Cython will not pass an `int[:, :]` view where `int[:, ::1]`
# is declared.  It is not const either: Cython's code for const views trips
# -Wextra's -Wignored-qualifiers; copy a read-only array first.  (C and C++
# consumers build the slice from a Py_buffer with
# morvex_memviewslice_from_buffer() in memory.h.)
cdef void load_triple_from_numpy(Triple *ptr, int[:, :] table) noexcept

# orderings and sort
cdef int cmp_head(Triple a, Triple b) noexcept nogil
cdef int cmp_tail(Triple a, Triple b) noexcept nogil
cdef int cmp_rel(Triple a, Triple b) noexcept nogil
cdef int cmp_rel2(Triple a, Triple b) noexcept nogil
cdef int cmp_rel3(Triple a, Triple b) noexcept nogil
cdef void quick_sort(Triple *array, int count, cmp_type cmp) noexcept nogil
cdef int _compare(const_void *a, const_void *b) noexcept nogil

# random streams, set up with the GIL in this order: setRandMemory() (a fresh
# pool for the state arrays; the previous one, with both arrays, goes), then
# setThreadNumberAndRandSeed(n, seed) (setRandSeed, then randReset(n): n
# per-thread states from the C library's generator) and reset_random_on_id()
# (re-seeds that generator with a fixed seed and fills the 20 id-keyed states,
# the same in every run); then draw from any thread without the GIL: thread
# w from its own slot with _rand64(w) or rand_max(w, bound, 1), any thread
# from slot id % 20 with random_for_prob(id) or rand_max(id, bound, other).
# Only seeds above 1 are applied: with 0 or 1 the generator stays unseeded,
# the states go on from wherever it stands, and a second set-up with that
# seed gives other streams; use 2 or more to repeat draws.
cdef void setThreadNumberAndRandSeed(const int thread_number, const int seed) noexcept
cdef void setRandMemory() noexcept
cdef void setRandSeed(int seed) noexcept nogil
cdef void randReset(int thread_number) noexcept
cdef void reset_random_on_id() noexcept
cdef unsigned long long _rand64(int id) noexcept nogil
cdef long rand_max(const int id, const long bound, const int stream) noexcept nogil
cdef long rand64(const long low, const long high) noexcept nogil
cdef unsigned long long random_for_prob(int id) noexcept nogil
