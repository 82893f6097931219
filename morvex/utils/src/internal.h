// internal.h -- what the module's sources share: the process-wide state the
// frame creates at start, the class objects, and the exported functions each
// source defines.
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

// Readies a class while the module executes: PyType_Ready, then the method
// table capsule under __pyx_vtable__ when `vtable` is given, then the module
// attribute under `attr` when given.
void ready_class(PyTypeObject *type, void *vtable, const char *attr, PyErrOccurred where);

// The pickling refusals every class installs: both hooks raise TypeError with
// the class's fixed message, with the traceback entry `qualname` at `where`.
PyObject *refuse_pickling(Borrowed message_args, const char *qualname, PyErrOccurred where);
#define MX_PICKLE_REFUSAL(Class, message)                                      \
    static PyObject *Class##_reduce(PyObject *, PyObject *) {                  \
        return ::mx::refuse_pickling(::mx::g.t_##message,                      \
                                     "morvex.utils.memory." #Class ".__reduce__", MX_HERE); \
    }                                                                          \
    static PyObject *Class##_setstate(PyObject *, PyObject *) {                \
        return ::mx::refuse_pickling(::mx::g.t_##message,                      \
                                     "morvex.utils.memory." #Class ".__setstate__", MX_HERE); \
    }
#define MX_PICKLE_METHODS(Class)                                               \
    {"__reduce__", (PyCFunction)Class##_reduce, METH_NOARGS, nullptr},         \
    {"__setstate__", (PyCFunction)Class##_setstate, METH_O, nullptr}

// The typed-buffer view classes (views.cpp): readies the four classes and
// publishes their method tables; and the module attribute
// __pyx_unpickle_Enum.
void ready_view_classes(PyErrOccurred where);
Ref make_unpickle_enum(PyErrOccurred where);

// ---- exported variables ---------------------------------------------------
extern int WARN_ZERO_ALLOC;
extern unsigned long long *next_random;
extern unsigned long long *id_random;
extern morvex_MemoryPool *global_random_memory_pool;

// ---- exported functions ---------------------------------------------------
// Declared from the export table of memory.h, so each one has its row's
// exact type.  No C++ exception leaves them: each that can fail does so
// through an edge (pyutil.h).  They are not noexcept, since those that take
// the GIL, or run Python code, must let the forced unwind of a thread the
// interpreter ends at exit pass (mx_py.h).  They are defined in pool.cpp
// (boxes, typed array helpers), buffers.cpp (initializeData, the triple
// loader), ordering.cpp (orders, sort, _compare, over the sort kernels of
// radix_sort.cpp) and random.cpp (the random streams).
#define MX_X(name, ret, params, sig) ret name params;
MORVEX_MEMORY_FUNCTIONS(MX_X)
#undef MX_X

// Placed after the definitions in every source that defines exported
// functions: asserts that each name still denotes exactly one function, of
// its row's type.  A definition whose parameters drifted from the row would
// otherwise compile cleanly as a second overload, and the capsule would go
// on publishing the row's signature for a function nobody defines.
#define MX_ROW_TYPE(name, ret, params, sig)                                     \
    static_assert(std::is_same<decltype(&::mx::name), ret(*) params>::value, \
                  #name " must have the type of its row in memory.h");
#define MX_CHECK_EXPORT_TABLE() MORVEX_MEMORY_FUNCTIONS(MX_ROW_TYPE)

// A zeroed instance of `type` for its tp_new (or object.__new__'s usual
// error for an abstract subclass).  Its failures add no traceback entry.
inline Ref alloc_instance(PyTypeObject *type) {
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
        return take(PyBaseObject_Type.tp_new(type, g.empty_tuple, nullptr), kUntraced);
    return take(type->tp_alloc(type, 0), kUntraced);
}

// The tp_new of a class with a __cinit__: a zeroed instance of `type`, then
// `cinit(self)` run as "<class>.__cinit__" (`cinit_name`) for the traceback.
// A failed cinit takes the instance with it, so the class's dealloc must cope
// with whatever cinit left.
template <class Object, class Cinit>
PyObject *construct(PyTypeObject *type, const char *cinit_name, PyErrOccurred at, Cinit &&cinit) {
    return edge(kModuleEdge, nullptr, kUntraced, [&] {
        Ref self = alloc_instance(type);
        traced(kModuleEdge, cinit_name, at, [&] { cinit(reinterpret_cast<Object *>(self.get())); });
        return self.steal();
    });
}

// A new MemoryPool, as a call of the class with no arguments would make it.
Ref new_pool(PyErrOccurred where);

// ---- frozen layouts -------------------------------------------------------
// The records' layouts; the classes' instance sizes, which consumers check on
// import, are asserted once, by the tests (tests/model.py).
static_assert(sizeof(morvex_Triple) == 12, "Triple is 12 bytes");
static_assert(sizeof(morvex_Pair) == 16, "Pair is 16 bytes");
static_assert(sizeof(morvex_memviewslice) == 208, "slice record layout");
static_assert(offsetof(morvex_DataStruct, user) == 120, "DataStruct.user offset");
static_assert(offsetof(morvex_DataStruct, tables) == 152, "DataStruct.tables offset");
static_assert(offsetof(morvex_DataStruct, count) == 168, "DataStruct.count offset");
static_assert(offsetof(morvex_MemoryPool, size) == 24, "MemoryPool.size offset");

}  // namespace mx
