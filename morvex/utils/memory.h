/*
 * morvex/utils/memory.h -- the native interface of morvex.utils.memory.
 *
 * Compiled consumers (C99 or later, C++11 or later) include this header, call
 * morvex_memory_import() once with the GIL held (typically from their module
 * initialisation), and then call through the function table `morvex_memory`:
 *
 *     if (morvex_memory_import() < 0) return NULL;
 *     morvex_Triple *t = NULL;
 *     morvex_memory.set_triple_ptr(&t, n, pool);
 *     morvex_memory.quick_sort(t, n, morvex_memory.cmp_head);
 *
 * Until morvex_memory_import() has returned 0, every pointer in the table is
 * NULL: the first call through it crashes the process (a segmentation fault,
 * not a Python exception).  Import first, and give up when the import fails.
 *
 * The records and object layouts below are frozen: other modules read their
 * members by offset.  Object methods are always called through the instance's
 * method table, e.g. `pool->vtab->alloc(pool, n, sizeof(double))`.
 *
 * Consumers split over several source files share one table.  Every file
 * defines MORVEX_MEMORY_UNIQUE_SYMBOL to the same identifier before including
 * this header; the file that calls morvex_memory_import() then holds the one
 * external definition of the table, and every other file also defines
 * MORVEX_MEMORY_NO_IMPORT, which turns it into an `extern` declaration:
 *
 *     // module.c: imports, and so holds the table
 *     #define MORVEX_MEMORY_UNIQUE_SYMBOL my_morvex_memory
 *     #include "morvex/utils/memory.h"
 *     ... if (morvex_memory_import() < 0) return NULL; ...
 *
 *     // sort.c: uses the table filled by module.c
 *     #define MORVEX_MEMORY_UNIQUE_SYMBOL my_morvex_memory
 *     #define MORVEX_MEMORY_NO_IMPORT
 *     #include "morvex/utils/memory.h"
 *     ... morvex_memory.quick_sort(t, n, morvex_memory.cmp_head); ...
 *
 * `morvex_memory` names the shared table in all of them.  Without the macros
 * each file has a private table of its own (a single-file consumer needs
 * nothing more).  All consumer-side functions are `static inline`, so a file
 * that includes the header and calls none of them builds cleanly under
 * -Wall -Wextra -Werror.
 *
 * The module's own sources define MORVEX_MEMORY_MODULE before including this
 * header; the consumer-only part (the import function and its table) is then
 * left out.
 */
#ifndef MORVEX_UTILS_MEMORY_H
#define MORVEX_UTILS_MEMORY_H

#include <Python.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "triple.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- records ----------------------------------------------------------- */

/* morvex_Triple, the (head, relation, tail) record: triple.h. */

/* A 16-byte pair; set_pair_ptr leaves `first` 0 and `second` -1. */
typedef struct morvex_Pair {
    int64_t first;
    int64_t second;
} morvex_Pair;

/* A record owned by consumers; initializeData() clears `arrays`, `tables`
 * and `count` and leaves `user` untouched. */
typedef struct morvex_DataStruct {
    void *arrays[15];
    unsigned char user[32];
    void *tables[2];
    int32_t count;
} morvex_DataStruct;

/* Typed view of a buffer, passed by value to load_triple_from_numpy (the
 * layout of a Cython memoryview slice).  Only `data` and the first two
 * entries of `shape` and `strides` are read: item (i, j) lies at
 * data + i * strides[0] + j * strides[1] (bytes), and a strides[1] of 0 is
 * read as 4, the item size, so a hand-made slice may leave it unset.  A C or
 * C++ consumer fills one from a Py_buffer with
 * morvex_memviewslice_from_buffer() below; the buffer stays acquired while
 * the slice is in use. */
typedef struct morvex_memviewslice {
    void *memview;
    char *data;
    Py_ssize_t shape[8];
    Py_ssize_t strides[8];
    Py_ssize_t suboffsets[8];
} morvex_memviewslice;

/* Strict less-than on two triples: non-zero when `a` sorts before `b`.  The
 * five exported orders compare their keys in this order:
 *     cmp_head: head, relation, tail      cmp_rel2: relation, head, tail
 *     cmp_tail: tail, relation, head      cmp_rel3: relation, tail, head
 *     cmp_rel:  head, tail, relation  (starts with head, not relation) */
typedef int (*morvex_cmp_type)(morvex_Triple a, morvex_Triple b);
typedef void *(*morvex_malloc_t)(size_t);
typedef void (*morvex_free_t)(void *);

/* ---- objects ----------------------------------------------------------- */

struct morvex_PyMalloc;
struct morvex_PyFree;
struct morvex_MemoryPool;
struct morvex_Data;

typedef struct morvex_PyMalloc_vtable {
    void (*set_func)(struct morvex_PyMalloc *self, morvex_malloc_t func);
} morvex_PyMalloc_vtable;

typedef struct morvex_PyMalloc {
    PyObject_HEAD
    morvex_PyMalloc_vtable *vtab;
    morvex_malloc_t malloc_func;
} morvex_PyMalloc;

typedef struct morvex_PyFree_vtable {
    void (*set_func)(struct morvex_PyFree *self, morvex_free_t func);
} morvex_PyFree_vtable;

typedef struct morvex_PyFree {
    PyObject_HEAD
    morvex_PyFree_vtable *vtab;
    morvex_free_t free_func;
} morvex_PyFree;

/* alloc and realloc return NULL with a Python exception set on failure; free
 * returns nothing, so test PyErr_Occurred() after it. */
typedef struct morvex_MemoryPool_vtable {
    void *(*alloc)(struct morvex_MemoryPool *self, size_t number, size_t elem_size);
    void *(*realloc)(struct morvex_MemoryPool *self, void *p, size_t new_size);
    void (*free)(struct morvex_MemoryPool *self, void *p);
} morvex_MemoryPool_vtable;

/* `addresses` and `refs` are the pool's own live records, not copies (the
 * Python attributes of the same names hand out these very objects): the pool
 * frees every address left in `addresses` and keeps `refs` alive, so what is
 * put into or taken out of them changes what the pool releases. */
typedef struct morvex_MemoryPool {
    PyObject_HEAD
    morvex_MemoryPool_vtable *vtab;
    Py_ssize_t size;        /* bytes currently recorded */
    PyObject *addresses;    /* dict: address -> byte count */
    PyObject *refs;         /* list of objects kept alive */
    morvex_PyMalloc *pymalloc;
    morvex_PyFree *pyfree;
} morvex_MemoryPool;

/* add_row returns a new reference to None, or NULL with an exception set. */
typedef struct morvex_Data_vtable {
    PyObject *(*add_row)(struct morvex_Data *self, int *row);
} morvex_Data_vtable;

/* The row store is a C++ std::vector<int32_t>; C sees its three pointers. */
typedef struct morvex_int_store {
    int32_t *begin;
    int32_t *end;
    int32_t *capacity_end;
} morvex_int_store;

typedef struct morvex_Data {
    PyObject_HEAD
    morvex_Data_vtable *vtab;
    Py_ssize_t ncols;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    morvex_int_store cells;
    int view_count;
} morvex_Data;

typedef struct morvex_Memory {
    PyObject_HEAD
    void *ptr;              /* number x 4 bytes from PyMem_Malloc */
} morvex_Memory;

/* ---- the export table --------------------------------------------------- */

/* ==== generated by scripts/interface.py (export rows): edit its table and run it ==== */
/* Every published name, in publication order, with the exact capsule name a
 * consumer must pass to PyCapsule_GetPointer.  The module publishes its
 * capsules from these rows and checks each definition against its row; the
 * consumer's table below spells each entry out. */
#define MORVEX_SIG_POOL "struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *"
#define MORVEX_SIG_TRIPLE "__pyx_t_6morvex_5utils_6memory_Triple"
#define MORVEX_SIG_CMP                                                         \
    "int (__pyx_t_6morvex_5utils_6memory_Triple, "                             \
    "__pyx_t_6morvex_5utils_6memory_Triple)"

/* X(name, C type of the variable, capsule name) */
#define MORVEX_MEMORY_VARIABLES(X)                                             \
    X(WARN_ZERO_ALLOC, int, "int")                                             \
    X(next_random, unsigned long long *, "unsigned PY_LONG_LONG *")            \
    X(id_random, unsigned long long *, "unsigned PY_LONG_LONG *")              \
    X(global_random_memory_pool, struct morvex_MemoryPool *, MORVEX_SIG_POOL)

/* X(name, result type, parameter list, capsule name) */
#define MORVEX_MEMORY_FUNCTIONS(X)                                             \
    X(WrapMalloc, struct morvex_PyMalloc *, (morvex_malloc_t),                 \
      "struct __pyx_obj_6morvex_5utils_6memory_PyMalloc "                      \
      "*(__pyx_t_6morvex_5utils_6memory_malloc_t)")                            \
    X(WrapFree, struct morvex_PyFree *, (morvex_free_t),                       \
      "struct __pyx_obj_6morvex_5utils_6memory_PyFree "                        \
      "*(__pyx_t_6morvex_5utils_6memory_free_t)")                              \
    X(initializeData, void, (morvex_DataStruct *),                             \
      "void (__pyx_t_6morvex_5utils_6memory_DataStruct *)")                    \
    X(set_int_ptr, void, (int **, int, int, struct morvex_MemoryPool *),       \
      "void (int **, int, int, " MORVEX_SIG_POOL ")")                          \
    X(set_float_ptr, void, (float **, int, struct morvex_MemoryPool *),        \
      "void (float **, int, " MORVEX_SIG_POOL ")")                             \
    X(set_pair_ptr, void, (morvex_Pair **, int, struct morvex_MemoryPool *),   \
      "void (__pyx_t_6morvex_5utils_6memory_Pair "                             \
      "**, int, " MORVEX_SIG_POOL ")")                                         \
    X(set_triple_ptr, void,                                                    \
      (morvex_Triple **, int, struct morvex_MemoryPool *),                     \
      "void (" MORVEX_SIG_TRIPLE " **, int, " MORVEX_SIG_POOL ")")             \
    X(load_triple_from_numpy, void, (morvex_Triple *, morvex_memviewslice),    \
      "void (" MORVEX_SIG_TRIPLE " *, __Pyx_memviewslice)")                    \
    X(cmp_head, int, (morvex_Triple, morvex_Triple), MORVEX_SIG_CMP)           \
    X(cmp_tail, int, (morvex_Triple, morvex_Triple), MORVEX_SIG_CMP)           \
    X(cmp_rel, int, (morvex_Triple, morvex_Triple), MORVEX_SIG_CMP)            \
    X(cmp_rel2, int, (morvex_Triple, morvex_Triple), MORVEX_SIG_CMP)           \
    X(cmp_rel3, int, (morvex_Triple, morvex_Triple), MORVEX_SIG_CMP)           \
    X(quick_sort, void, (morvex_Triple *, int, morvex_cmp_type),               \
      "void (" MORVEX_SIG_TRIPLE " *, int, "                                   \
      "__pyx_t_6morvex_5utils_6memory_cmp_type)")                              \
    X(setThreadNumberAndRandSeed, void, (int, int),                            \
      "void (int const , int const )")                                         \
    X(setRandMemory, void, (void), "void (void)")                              \
    X(setRandSeed, void, (int), "void (int)")                                  \
    X(randReset, void, (int), "void (int)")                                    \
    X(_rand64, unsigned long long, (int), "unsigned PY_LONG_LONG (int)")       \
    X(rand_max, long, (int, long, int),                                        \
      "long (int const , long const , int const )")                            \
    X(rand64, long, (long, long), "long (long const , long const )")           \
    X(_compare, int, (const void *, const void *),                             \
      "int (const void *, const void *)")                                      \
    X(reset_random_on_id, void, (void), "void (void)")                         \
    X(random_for_prob, unsigned long long, (int),                              \
      "unsigned PY_LONG_LONG (int)")

/* X(class name, instance layout, method table or void) */
#define MORVEX_MEMORY_CLASSES(X)                                               \
    X(Memory, morvex_Memory, void)                                             \
    X(Data, morvex_Data, morvex_Data_vtable)                                   \
    X(PyMalloc, morvex_PyMalloc, morvex_PyMalloc_vtable)                       \
    X(PyFree, morvex_PyFree, morvex_PyFree_vtable)                             \
    X(MemoryPool, morvex_MemoryPool, morvex_MemoryPool_vtable)
/* ==== end of generated text ==== */

/* ---- the loader's slice ------------------------------------------------ */

/* Fills *slice from a two-dimensional buffer of 4-byte signed integers
 * (data, shape, strides, suboffsets; memview NULL).  Returns 0, or -1 with a
 * ValueError saying what is wrong.
 *
 * Request the buffer with PyBUF_FORMAT and PyBUF_STRIDES (PyBUF_RECORDS_RO),
 * so that any strided table (Fortran-ordered, transposed, every other column)
 * is accepted; missing strides are taken as C order.  Accepted item formats
 * are 32-bit signed integers in this machine's byte order: "i" bare or after
 * "@" or "=", or after the one of "<", ">", "!" that names this machine's
 * order; "l" after those same standard-size prefixes ("=", "<", ">", "!"),
 * and "l" or "@l" where a C long is 32 bits.  Refused: a negative row or
 * column count; tables reached through suboffsets (indirect buffers), since
 * the loader reads items directly; and tables whose columns share one item (a column
 * step of 0, as broadcasting makes), since the loader takes a column step of
 * 0 for the item size.  The checks raise, so call the helper with the GIL
 * held.  The slice borrows the buffer: release the buffer only after the
 * last use of the slice.
 *
 *     Py_buffer view;
 *     morvex_memviewslice slice;
 *     if (PyObject_GetBuffer(table, &view, PyBUF_RECORDS_RO) < 0) return NULL;
 *     if (morvex_memviewslice_from_buffer(&view, &slice) == 0)
 *         morvex_memory.load_triple_from_numpy(triples, slice);
 *     PyBuffer_Release(&view);
 */
static inline int
morvex_memviewslice_from_buffer(const Py_buffer *view, morvex_memviewslice *slice)
{
    const char *format = view->format;
    const char *item;
    char prefix = 0;
    /* '<' or '>': the byte order of this machine */
    const unsigned short probe = 1;
    const char order = *(const unsigned char *)&probe ? '<' : '>';
    int native_order, ok = 0;
    int axis;

    if (view->ndim != 2) {
        PyErr_Format(PyExc_ValueError,
                     "expected a two-dimensional buffer, got %d dimension(s)", view->ndim);
        return -1;
    }
    if (view->shape == NULL) {
        PyErr_SetString(PyExc_ValueError,
                        "buffer has no shape; request it with PyBUF_RECORDS_RO");
        return -1;
    }
    if (view->shape[0] < 0 || view->shape[1] < 0) {
        PyErr_Format(PyExc_ValueError, "buffer has a negative %s count (%zd)",
                     view->shape[0] < 0 ? "row" : "column",
                     view->shape[0] < 0 ? view->shape[0] : view->shape[1]);
        return -1;
    }
    if (view->itemsize != 4) {
        PyErr_Format(PyExc_ValueError,
                     "buffer items are %zd bytes, expected 4 (32-bit signed integers)",
                     view->itemsize);
        return -1;
    }
    if (format == NULL) {
        PyErr_SetString(PyExc_ValueError,
                        "buffer has no format (plain bytes), expected 32-bit signed "
                        "integers; request it with PyBUF_RECORDS_RO");
        return -1;
    }
    item = format;
    if (*item == '@' || *item == '=' || *item == '<' || *item == '>' || *item == '!')
        prefix = *item++;
    native_order = prefix == 0 || prefix == '@' || prefix == '=' || prefix == order ||
                   (prefix == '!' && order == '>');
    if (native_order && item[0] != '\0' && item[1] == '\0') {
        if (item[0] == 'i')
            ok = 1;
        else if (item[0] == 'l') /* 4 bytes in standard sizes, else a C long */
            ok = (prefix != 0 && prefix != '@') || sizeof(long) == 4;
    }
    if (!ok) {
        PyErr_Format(PyExc_ValueError,
                     "buffer format '%s' is not a native 32-bit signed integer", format);
        return -1;
    }
    if (view->shape[1] > 1 && view->strides != NULL && view->strides[1] == 0) {
        /* the loader reads a column step of 0 as the item size */
        PyErr_SetString(PyExc_ValueError,
                        "buffer columns share one item (column step 0); copy the table first");
        return -1;
    }
    if (view->suboffsets != NULL &&
        (view->suboffsets[0] >= 0 || view->suboffsets[1] >= 0)) {
        PyErr_SetString(PyExc_ValueError,
                        "indirect buffers (with suboffsets) are not supported");
        return -1;
    }
    slice->memview = NULL;
    slice->data = (char *)view->buf;
    for (axis = 0; axis < 8; ++axis) {
        slice->shape[axis] = 0;
        slice->strides[axis] = 0;
        slice->suboffsets[axis] = -1;
    }
    slice->shape[0] = view->shape[0];
    slice->shape[1] = view->shape[1];
    if (view->strides != NULL) {
        slice->strides[0] = view->strides[0];
        slice->strides[1] = view->strides[1];
    } else {
        slice->strides[1] = 4;
        slice->strides[0] = 4 * view->shape[1];
    }
    return 0;
}

#ifndef MORVEX_MEMORY_MODULE

/* ---- consumer side ------------------------------------------------------ */

/* ==== generated by scripts/interface.py (consumer table): edit its table and run it ==== */
/* What morvex_memory_import() fills: the address of each exported variable
 * (so that its current value is always read), each exported function, and
 * each class with its method table.  Above each entry stands the signature
 * string its capsule carries. */
typedef struct morvex_memory_api {
    /* "int": never read by the module */
    int *WARN_ZERO_ALLOC;
    /* "unsigned PY_LONG_LONG *": one state per worker thread */
    unsigned long long **next_random;
    /* "unsigned PY_LONG_LONG *": 20 id-keyed states */
    unsigned long long **id_random;
    /* "struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *": owns the two arrays */
    struct morvex_MemoryPool **global_random_memory_pool;

    /* allocator boxes: a new box holding the given function */
    /* "struct __pyx_obj_6morvex_5utils_6memory_PyMalloc *(__pyx_t_6morvex_5utils_6memory_malloc_t)" */
    struct morvex_PyMalloc *(*WrapMalloc)(morvex_malloc_t malloc_func);

    /* "struct __pyx_obj_6morvex_5utils_6memory_PyFree *(__pyx_t_6morvex_5utils_6memory_free_t)" */
    struct morvex_PyFree *(*WrapFree)(morvex_free_t free_func);

    /* clears the record's `arrays`, `tables` and `count`; `user` is left as it is */
    /* "void (__pyx_t_6morvex_5utils_6memory_DataStruct *)" */
    void (*initializeData)(morvex_DataStruct *data);

    /* typed array helpers: *ptr becomes a fresh block of `count` elements owned
     * by `pool` (zeroed; set_int_ptr fills -1 when fill_minus_one is non-zero,
     * set_pair_ptr stores second = -1); the old block goes back to the pool */
    /* "void (int **, int, int, struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *)" */
    void (*set_int_ptr)(int **ptr, int count, int fill_minus_one, struct morvex_MemoryPool *pool);

    /* "void (float **, int, struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *)" */
    void (*set_float_ptr)(float **ptr, int count, struct morvex_MemoryPool *pool);

    /* "void (__pyx_t_6morvex_5utils_6memory_Pair **, int, struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *)" */
    void (*set_pair_ptr)(morvex_Pair **ptr, int count, struct morvex_MemoryPool *pool);

    /* "void (__pyx_t_6morvex_5utils_6memory_Triple **, int, struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *)" */
    void (*set_triple_ptr)(morvex_Triple **ptr, int count, struct morvex_MemoryPool *pool);

    /* copies columns 0, 1, 2 of an (n, >=3) int32 table into ptr[0..n-1], reading
     * item (i, j) through both of the table's strides, so Fortran-ordered,
     * transposed and column-strided tables load as they read. */
    /* "void (__pyx_t_6morvex_5utils_6memory_Triple *, __Pyx_memviewslice)" */
    void (*load_triple_from_numpy)(morvex_Triple *ptr, morvex_memviewslice table);

    /* the five orders (the comparison type above lists their keys) and the sort */
    /* "int (__pyx_t_6morvex_5utils_6memory_Triple, __pyx_t_6morvex_5utils_6memory_Triple)" */
    int (*cmp_head)(morvex_Triple a, morvex_Triple b);

    /* "int (__pyx_t_6morvex_5utils_6memory_Triple, __pyx_t_6morvex_5utils_6memory_Triple)" */
    int (*cmp_tail)(morvex_Triple a, morvex_Triple b);

    /* "int (__pyx_t_6morvex_5utils_6memory_Triple, __pyx_t_6morvex_5utils_6memory_Triple)" */
    int (*cmp_rel)(morvex_Triple a, morvex_Triple b);

    /* "int (__pyx_t_6morvex_5utils_6memory_Triple, __pyx_t_6morvex_5utils_6memory_Triple)" */
    int (*cmp_rel2)(morvex_Triple a, morvex_Triple b);

    /* "int (__pyx_t_6morvex_5utils_6memory_Triple, __pyx_t_6morvex_5utils_6memory_Triple)" */
    int (*cmp_rel3)(morvex_Triple a, morvex_Triple b);

    /* "void (__pyx_t_6morvex_5utils_6memory_Triple *, int, __pyx_t_6morvex_5utils_6memory_cmp_type)" */
    void (*quick_sort)(morvex_Triple *array, int count, morvex_cmp_type cmp);

    /* The random streams are set up with the GIL held, in this order:
     *   1. setRandMemory(): a fresh pool for the state arrays (the previous pool,
     *      and with it both arrays, goes);
     *   2. setThreadNumberAndRandSeed(n, seed): seeds the C library's generator
     *      (setRandSeed), then fills n per-thread states from it (randReset(n));
     *      and reset_random_on_id(): re-seeds that generator with a fixed seed
     *      and fills the 20 id-keyed states, the same in every run;
     *   3. draws, from any thread and without the GIL: thread w uses its own slot
     *      through _rand64(w) or rand_max(w, bound, 1); random_for_prob(id) and
     *      rand_max(id, bound, other) use the id-keyed slot id % 20.
     * randReset(n) alone refills the per-thread states from wherever the
     * generator stands.  Only seeds above 1 are applied: a seed of 0 or 1 leaves
     * the generator unseeded, so the states go on from wherever it stands and a
     * second set-up with that seed gives other streams.  Use 2 or more to repeat
     * draws. */
    /* "void (int const , int const )" */
    void (*setThreadNumberAndRandSeed)(int thread_number, int seed);

    /* "void (void)" */
    void (*setRandMemory)(void);

    /* "void (int)" */
    void (*setRandSeed)(int seed);

    /* "void (int)" */
    void (*randReset)(int thread_number);

    /* "unsigned PY_LONG_LONG (int)" */
    unsigned long long (*_rand64)(int id);

    /* "long (int const , long const , int const )" */
    long (*rand_max)(int id, long bound, int stream);

    /* "long (long const , long const )" */
    long (*rand64)(long low, long high);

    /* qsort-style comparison of two records on their second 32-bit field, read as a float */
    /* "int (const void *, const void *)" */
    int (*_compare)(const void *a, const void *b);

    /* the id-keyed streams: their set-up and their draw (see the random streams above) */
    /* "void (void)" */
    void (*reset_random_on_id)(void);

    /* "unsigned PY_LONG_LONG (int)" */
    unsigned long long (*random_for_prob)(int id);

    /* the classes (their sizes are checked against the layouts above) and
     * their method tables */
    PyTypeObject *Memory_type;
    void *Memory_vtable; /* Memory has no method table: stays NULL */
    PyTypeObject *Data_type;
    morvex_Data_vtable *Data_vtable;
    PyTypeObject *PyMalloc_type;
    morvex_PyMalloc_vtable *PyMalloc_vtable;
    PyTypeObject *PyFree_type;
    morvex_PyFree_vtable *PyFree_vtable;
    PyTypeObject *MemoryPool_type;
    morvex_MemoryPool_vtable *MemoryPool_vtable;
} morvex_memory_api;
/* ==== end of generated text ==== */

/* Filled by morvex_memory_import().  Without MORVEX_MEMORY_UNIQUE_SYMBOL
 * every file has its own copy; with it, all files share the one defined in
 * the file without MORVEX_MEMORY_NO_IMPORT.  The shared table is hidden
 * (where the compiler can say so): it is the consumer's own, so two
 * extensions in one process that happen to pick the same name each keep
 * theirs instead of one binding to the other's. */
#ifdef MORVEX_MEMORY_UNIQUE_SYMBOL
#define morvex_memory MORVEX_MEMORY_UNIQUE_SYMBOL
#if defined(__GNUC__) || defined(__clang__)
#define MORVEX_MEMORY__HIDDEN __attribute__((visibility("hidden")))
#else
#define MORVEX_MEMORY__HIDDEN
#endif
extern MORVEX_MEMORY__HIDDEN morvex_memory_api morvex_memory;
#ifndef MORVEX_MEMORY_NO_IMPORT
MORVEX_MEMORY__HIDDEN morvex_memory_api morvex_memory;
#endif
#undef MORVEX_MEMORY__HIDDEN
#else
#ifdef MORVEX_MEMORY_NO_IMPORT
#error "MORVEX_MEMORY_NO_IMPORT shares the table of another file: define MORVEX_MEMORY_UNIQUE_SYMBOL too"
#endif
static morvex_memory_api morvex_memory;
#endif

static inline int
morvex_memory__fetch(PyObject *capi, const char *name, const char *sig, void **out)
{
    PyObject *capsule = PyDict_GetItemString(capi, name); /* borrowed */
    const char *found;
    if (capsule == NULL || !PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError,
                     "morvex.utils.memory does not export '%s' (expected signature \"%s\")",
                     name, sig);
        return -1;
    }
    found = PyCapsule_GetName(capsule);
    if (found == NULL ? sig != NULL : (sig == NULL || strcmp(found, sig) != 0)) {
        PyErr_Format(PyExc_ImportError,
                     "morvex.utils.memory: '%s' has signature \"%s\", expected \"%s\"",
                     name, found ? found : "(none)", sig ? sig : "(none)");
        return -1;
    }
    *out = PyCapsule_GetPointer(capsule, sig);
    return *out == NULL ? -1 : 0;
}

static inline int
morvex_memory__class(PyObject *module, const char *name, Py_ssize_t size,
                     int has_vtable, PyTypeObject **type_out, void **vtable_out)
{
    PyObject *type = PyObject_GetAttrString(module, name);
    if (type == NULL)
        return -1;
    if (!PyType_Check(type)) {
        PyErr_Format(PyExc_ImportError, "morvex.utils.memory.%s is not a class", name);
        Py_DECREF(type);
        return -1;
    }
    if (((PyTypeObject *)type)->tp_basicsize != size) {
        PyErr_Format(PyExc_ImportError,
                     "morvex.utils.memory.%s has size %zd, this consumer was built for %zd",
                     name, ((PyTypeObject *)type)->tp_basicsize, size);
        Py_DECREF(type);
        return -1;
    }
    if (has_vtable) {
        PyObject *cap = PyDict_GetItemString(((PyTypeObject *)type)->tp_dict, "__pyx_vtable__");
        if (cap == NULL) {
            PyErr_Format(PyExc_ImportError,
                         "morvex.utils.memory.%s publishes no __pyx_vtable__", name);
            Py_DECREF(type);
            return -1;
        }
        *vtable_out = PyCapsule_GetPointer(cap, NULL);
        if (*vtable_out == NULL) {
            Py_DECREF(type);
            return -1;
        }
    }
    *type_out = (PyTypeObject *)type; /* kept: the module is never unloaded */
    return 0;
}

/* Import morvex.utils.memory and fetch every export.  Returns 0, or -1 with
 * an ImportError (or the underlying error) naming what is missing.  Call it
 * before anything goes through `morvex_memory`: until it has returned 0 the
 * table's pointers are NULL (or, after a failure, only some are set), and a
 * call through a NULL one crashes the process. */
static inline int
morvex_memory_import(void)
{
    PyObject *module, *capi;
    int rc = -1;
    module = PyImport_ImportModule("morvex.utils.memory");
    if (module == NULL)
        return -1;
    capi = PyObject_GetAttrString(module, "__pyx_capi__");
    if (capi == NULL || !PyDict_Check(capi)) {
        if (capi != NULL)
            PyErr_SetString(PyExc_ImportError,
                            "morvex.utils.memory.__pyx_capi__ is not a dict");
        goto done;
    }
    /* ==== generated by scripts/interface.py (fetch list): edit its table and run it ==== */
    if (morvex_memory__fetch(capi, "WARN_ZERO_ALLOC", "int",
                             (void **)&morvex_memory.WARN_ZERO_ALLOC) < 0 ||
        morvex_memory__fetch(capi, "next_random", "unsigned PY_LONG_LONG *",
                             (void **)&morvex_memory.next_random) < 0 ||
        morvex_memory__fetch(capi, "id_random", "unsigned PY_LONG_LONG *",
                             (void **)&morvex_memory.id_random) < 0 ||
        morvex_memory__fetch(capi, "global_random_memory_pool",
                             "struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *",
                             (void **)&morvex_memory.global_random_memory_pool) < 0 ||
        morvex_memory__fetch(capi, "WrapMalloc",
                             "struct __pyx_obj_6morvex_5utils_6memory_PyMalloc "
                             "*(__pyx_t_6morvex_5utils_6memory_malloc_t)",
                             (void **)&morvex_memory.WrapMalloc) < 0 ||
        morvex_memory__fetch(capi, "WrapFree",
                             "struct __pyx_obj_6morvex_5utils_6memory_PyFree "
                             "*(__pyx_t_6morvex_5utils_6memory_free_t)",
                             (void **)&morvex_memory.WrapFree) < 0 ||
        morvex_memory__fetch(capi, "initializeData",
                             "void (__pyx_t_6morvex_5utils_6memory_DataStruct *)",
                             (void **)&morvex_memory.initializeData) < 0 ||
        morvex_memory__fetch(capi, "set_int_ptr",
                             "void (int **, int, int, struct "
                             "__pyx_obj_6morvex_5utils_6memory_MemoryPool *)",
                             (void **)&morvex_memory.set_int_ptr) < 0 ||
        morvex_memory__fetch(capi, "set_float_ptr",
                             "void (float **, int, struct "
                             "__pyx_obj_6morvex_5utils_6memory_MemoryPool *)",
                             (void **)&morvex_memory.set_float_ptr) < 0 ||
        morvex_memory__fetch(capi, "set_pair_ptr",
                             "void (__pyx_t_6morvex_5utils_6memory_Pair **, int, "
                             "struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *)",
                             (void **)&morvex_memory.set_pair_ptr) < 0 ||
        morvex_memory__fetch(capi, "set_triple_ptr",
                             "void (__pyx_t_6morvex_5utils_6memory_Triple **, int, "
                             "struct __pyx_obj_6morvex_5utils_6memory_MemoryPool *)",
                             (void **)&morvex_memory.set_triple_ptr) < 0 ||
        morvex_memory__fetch(capi, "load_triple_from_numpy",
                             "void (__pyx_t_6morvex_5utils_6memory_Triple *, __Pyx_memviewslice)",
                             (void **)&morvex_memory.load_triple_from_numpy) < 0 ||
        morvex_memory__fetch(capi, "cmp_head",
                             "int (__pyx_t_6morvex_5utils_6memory_Triple, "
                             "__pyx_t_6morvex_5utils_6memory_Triple)",
                             (void **)&morvex_memory.cmp_head) < 0 ||
        morvex_memory__fetch(capi, "cmp_tail",
                             "int (__pyx_t_6morvex_5utils_6memory_Triple, "
                             "__pyx_t_6morvex_5utils_6memory_Triple)",
                             (void **)&morvex_memory.cmp_tail) < 0 ||
        morvex_memory__fetch(capi, "cmp_rel",
                             "int (__pyx_t_6morvex_5utils_6memory_Triple, "
                             "__pyx_t_6morvex_5utils_6memory_Triple)",
                             (void **)&morvex_memory.cmp_rel) < 0 ||
        morvex_memory__fetch(capi, "cmp_rel2",
                             "int (__pyx_t_6morvex_5utils_6memory_Triple, "
                             "__pyx_t_6morvex_5utils_6memory_Triple)",
                             (void **)&morvex_memory.cmp_rel2) < 0 ||
        morvex_memory__fetch(capi, "cmp_rel3",
                             "int (__pyx_t_6morvex_5utils_6memory_Triple, "
                             "__pyx_t_6morvex_5utils_6memory_Triple)",
                             (void **)&morvex_memory.cmp_rel3) < 0 ||
        morvex_memory__fetch(capi, "quick_sort",
                             "void (__pyx_t_6morvex_5utils_6memory_Triple *, "
                             "int, __pyx_t_6morvex_5utils_6memory_cmp_type)",
                             (void **)&morvex_memory.quick_sort) < 0 ||
        morvex_memory__fetch(capi, "setThreadNumberAndRandSeed", "void (int const , int const )",
                             (void **)&morvex_memory.setThreadNumberAndRandSeed) < 0 ||
        morvex_memory__fetch(capi, "setRandMemory", "void (void)",
                             (void **)&morvex_memory.setRandMemory) < 0 ||
        morvex_memory__fetch(capi, "setRandSeed", "void (int)",
                             (void **)&morvex_memory.setRandSeed) < 0 ||
        morvex_memory__fetch(capi, "randReset", "void (int)",
                             (void **)&morvex_memory.randReset) < 0 ||
        morvex_memory__fetch(capi, "_rand64", "unsigned PY_LONG_LONG (int)",
                             (void **)&morvex_memory._rand64) < 0 ||
        morvex_memory__fetch(capi, "rand_max", "long (int const , long const , int const )",
                             (void **)&morvex_memory.rand_max) < 0 ||
        morvex_memory__fetch(capi, "rand64", "long (long const , long const )",
                             (void **)&morvex_memory.rand64) < 0 ||
        morvex_memory__fetch(capi, "_compare", "int (const void *, const void *)",
                             (void **)&morvex_memory._compare) < 0 ||
        morvex_memory__fetch(capi, "reset_random_on_id", "void (void)",
                             (void **)&morvex_memory.reset_random_on_id) < 0 ||
        morvex_memory__fetch(capi, "random_for_prob", "unsigned PY_LONG_LONG (int)",
                             (void **)&morvex_memory.random_for_prob) < 0 ||
        morvex_memory__class(module, "Memory", (Py_ssize_t)sizeof(morvex_Memory), 0,
                             &morvex_memory.Memory_type, (void **)&morvex_memory.Memory_vtable) < 0 ||
        morvex_memory__class(module, "Data", (Py_ssize_t)sizeof(morvex_Data), 1,
                             &morvex_memory.Data_type, (void **)&morvex_memory.Data_vtable) < 0 ||
        morvex_memory__class(module, "PyMalloc", (Py_ssize_t)sizeof(morvex_PyMalloc), 1,
                             &morvex_memory.PyMalloc_type, (void **)&morvex_memory.PyMalloc_vtable) < 0 ||
        morvex_memory__class(module, "PyFree", (Py_ssize_t)sizeof(morvex_PyFree), 1,
                             &morvex_memory.PyFree_type, (void **)&morvex_memory.PyFree_vtable) < 0 ||
        morvex_memory__class(module, "MemoryPool", (Py_ssize_t)sizeof(morvex_MemoryPool), 1,
                             &morvex_memory.MemoryPool_type, (void **)&morvex_memory.MemoryPool_vtable) < 0)
        goto done;
    /* ==== end of generated text ==== */
    rc = 0;
done:
    Py_XDECREF(capi);
    Py_DECREF(module);
    return rc;
}

#endif /* !MORVEX_MEMORY_MODULE */

#ifdef __cplusplus
}
#endif

#endif /* MORVEX_UTILS_MEMORY_H */
