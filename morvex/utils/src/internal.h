// internal.h -- what the module's sources share: the process-wide state the
// frame creates at start, the class objects, and the exported functions each
// subsystem defines.
#pragma once

#define MORVEX_MEMORY_MODULE
#include "../memory.h"
#include "pyutil.h"

#include <cstddef>
#include <type_traits>

namespace mx {

// Every string the module hands to the interpreter, created once at start:
// names interned, messages as plain strings.
#define MX_INTERNED_NAMES(X)                                                   \
    X(warn) X(number) X(ncols) X(__pyx_vtable__) X(__pyx_capi__)                \
    X(__test__) X(warnings) X(Default_Malloc) X(Default_Free) X(__pyx_unpickle_Enum)

// Builtins looked up once at start, in this order.
#define MX_CACHED_BUILTINS(X)                                                  \
    X(MemoryError) X(TypeError) X(ValueError) X(range) X(enumerate)            \
    X(Ellipsis) X(id) X(IndexError)

// One-element argument tuples of every exception (or warning) with a fixed
// message: X(field, message).
#define MX_FIXED_MESSAGES(X)                                                   \
    X(pickle_cinit, "no default __reduce__ due to non-trivial __cinit__")      \
    X(pickle_malloc, "self.malloc_func cannot be converted to a Python object for pickling") \
    X(pickle_free, "self.free_func cannot be converted to a Python object for pickling") \
    X(row_while_viewed, "can't add row while being viewed")                    \
    X(zero_alloc, "Allocating zero bytes!")                                    \
    X(zero_division, "integer division or modulo by zero")                     \
    X(float_division, "float division")                                        \
    X(not_fortran, "a Data table of more than one row and column is not Fortran contiguous") \
    X(none_not_iterable, "'NoneType' object is not iterable")                  \
    X(none_has_no_append, "'NoneType' object has no attribute 'append'")       \
    X(getbuffer_null_view, "PyObject_GetBuffer: view==NULL argument is obsolete") \
    X(pool_is_none, "the MemoryPool is None")                                  \
    X(pool_cleared, "MemoryPool has been cleared by the garbage collector")    \
    X(random_pool_none, "global_random_memory_pool is None: call setRandMemory first") \
    X(streams_not_ready, "random streams are not set up: call randReset first") \
    X(id_streams_not_ready, "id-keyed random streams are not set up: call reset_random_on_id first") \
    X(thread_out_of_range, "thread number out of range of next_random")       \
    X(negative_bound, "rand_max bound must not be negative")                   \
    X(negative_count, "count must not be negative")                            \
    X(ncols_negative, "ncols must not be negative")                            \
    X(ncols_too_large, "ncols must not exceed 2147483647")                     \
    X(table_full, "a Data table cannot grow past 2147483647 cells")

struct State {
    PyObject *module = nullptr;   // recorded after a successful start
    PyObject *dict = nullptr;     // the module's __dict__
    PyObject *builtins = nullptr; // the builtins module
    PyObject *empty_tuple = nullptr, *empty_bytes = nullptr, *empty_str = nullptr;
#define MX_X(n) PyObject *s_##n = nullptr;
    MX_INTERNED_NAMES(MX_X)
#undef MX_X
#define MX_X(n) PyObject *b_##n = nullptr;
    MX_CACHED_BUILTINS(MX_X)
#undef MX_X
#define MX_X(n, text) PyObject *t_##n = nullptr;
    MX_FIXED_MESSAGES(MX_X)
#undef MX_X
};
extern State g;

// ---- class objects and method tables ------------------------------------
extern PyTypeObject MemoryType, DataType, PyMallocType, PyFreeType, MemoryPoolType;
extern morvex_MemoryPool_vtable pool_vtable;
extern morvex_PyMalloc_vtable pymalloc_vtable;
extern morvex_PyFree_vtable pyfree_vtable;
extern morvex_Data_vtable data_vtable;

// Readies a class (execution step 13): PyType_Ready, then the method table
// capsule under __pyx_vtable__ when `vtable` is given, then the module
// attribute under `attr` when given.
void ready_class(PyTypeObject *type, void *vtable, const char *attr, PyErrOccurred where);

// The pickling refusals every class installs: both hooks raise TypeError with
// the class's fixed message and add a traceback entry for the hook.
PyObject *refuse_pickling(PyObject *message_args, const char *qualname, const char *file, int line);
#define MX_PICKLE_REFUSAL(Class, message)                                      \
    static PyObject *Class##_reduce(PyObject *, PyObject *) {                  \
        return ::mx::refuse_pickling(::mx::g.t_##message,                      \
                                     "morvex.utils.memory." #Class ".__reduce__", kSourceFile, __LINE__); \
    }                                                                          \
    static PyObject *Class##_setstate(PyObject *, PyObject *) {                \
        return ::mx::refuse_pickling(::mx::g.t_##message,                      \
                                     "morvex.utils.memory." #Class ".__setstate__", kSourceFile, __LINE__); \
    }
#define MX_PICKLE_METHODS(Class)                                               \
    {"__reduce__", (PyCFunction)Class##_reduce, METH_NOARGS, nullptr},         \
    {"__setstate__", (PyCFunction)Class##_setstate, METH_O, nullptr}

// Subsystem 6: readies its four classes and publishes their tables.
int ready_view_classes();
PyObject *make_unpickle_enum();

// ---- exported variables ---------------------------------------------------
extern int WARN_ZERO_ALLOC;
extern unsigned long long *next_random;
extern unsigned long long *id_random;
extern morvex_MemoryPool *global_random_memory_pool;

// ---- exported functions, by subsystem ------------------------------------
// memory management (pool.cpp)
morvex_PyMalloc *WrapMalloc(morvex_malloc_t fn);
morvex_PyFree *WrapFree(morvex_free_t fn);
void set_int_ptr(int **ptr, int count, int fill_minus_one, morvex_MemoryPool *pool);
void set_float_ptr(float **ptr, int count, morvex_MemoryPool *pool);
void set_pair_ptr(morvex_Pair **ptr, int count, morvex_MemoryPool *pool);
void set_triple_ptr(morvex_Triple **ptr, int count, morvex_MemoryPool *pool);
// buffers and triple data (buffers.cpp)
void initializeData(morvex_DataStruct *data);
void load_triple_from_numpy(morvex_Triple *ptr, morvex_memviewslice table);
// triple ordering (ordering.cpp)
int cmp_head(morvex_Triple a, morvex_Triple b);
int cmp_tail(morvex_Triple a, morvex_Triple b);
int cmp_rel(morvex_Triple a, morvex_Triple b);
int cmp_rel2(morvex_Triple a, morvex_Triple b);
int cmp_rel3(morvex_Triple a, morvex_Triple b);
void quick_sort(morvex_Triple *array, int count, morvex_cmp_type cmp);
int _compare(const void *a, const void *b);
// random numbers (random.cpp)
void setThreadNumberAndRandSeed(int thread_number, int seed);
void setRandMemory();
void setRandSeed(int seed);
void randReset(int thread_number);
unsigned long long _rand64(int id);
long rand_max(int id, long bound, int stream);
long rand64(long low, long high);
void reset_random_on_id();
unsigned long long random_for_prob(int id);

// Allocates a zeroed instance of `type` for its tp_new (or lets
// object.__new__ raise its usual error for an abstract subclass).
inline PyObject *alloc_instance(PyTypeObject *type) {
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
        return PyBaseObject_Type.tp_new(type, g.empty_tuple, nullptr);
    return type->tp_alloc(type, 0);
}

// A new MemoryPool, as a call of the class with no arguments would make it.
morvex_MemoryPool *new_pool();

// ---- frozen layouts -------------------------------------------------------
static_assert(sizeof(morvex_Triple) == 12, "Triple is 12 bytes");
static_assert(sizeof(morvex_Pair) == 16, "Pair is 16 bytes");
static_assert(sizeof(morvex_memviewslice) == 208, "slice record layout");
static_assert(offsetof(morvex_DataStruct, user) == 120, "DataStruct stretch 2");
static_assert(offsetof(morvex_DataStruct, tables) == 152, "DataStruct stretch 3");
static_assert(offsetof(morvex_DataStruct, count) == 168, "DataStruct stretch 4");
static_assert(sizeof(morvex_MemoryPool) == 64, "MemoryPool basic size");
static_assert(offsetof(morvex_MemoryPool, size) == 24, "MemoryPool.size offset");
static_assert(sizeof(morvex_PyMalloc) == 32 && sizeof(morvex_PyFree) == 32, "box size");
static_assert(sizeof(morvex_Data) == 96, "Data basic size");
static_assert(sizeof(morvex_Memory) == 24, "Memory basic size");

}  // namespace mx
