// A compiled consumer of morvex.utils.memory, built only against the public
// header: it imports the module through morvex_memory_import(), calls every
// export through the fetched pointers and every method through the
// instances' method tables, and exposes small Python wrappers for the tests.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "morvex/utils/memory.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Pool = morvex_MemoryPool;

PyObject *address(const void *p) { return PyLong_FromVoidPtr(const_cast<void *>(p)); }

bool as_pool(PyObject *o, Pool **out) {
    if (!PyObject_TypeCheck(o, morvex_memory.MemoryPool_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a MemoryPool");
        return false;
    }
    *out = reinterpret_cast<Pool *>(o);
    return true;
}

void *as_pointer(PyObject *o) {
    return o == Py_None ? nullptr : PyLong_AsVoidPtr(o);
}

// ---- pool through its method table ------------------------------------------

PyObject *pool_alloc(PyObject *, PyObject *args) {
    PyObject *o;
    unsigned long long number, elem_size;
    Pool *pool;
    if (!PyArg_ParseTuple(args, "OKK", &o, &number, &elem_size) || !as_pool(o, &pool))
        return nullptr;
    void *p = pool->vtab->alloc(pool, number, elem_size);
    return p == nullptr ? nullptr : address(p);
}

PyObject *pool_realloc(PyObject *, PyObject *args) {
    PyObject *o, *addr;
    unsigned long long new_size;
    Pool *pool;
    if (!PyArg_ParseTuple(args, "OOK", &o, &addr, &new_size) || !as_pool(o, &pool))
        return nullptr;
    void *p = as_pointer(addr);
    if (p == nullptr && PyErr_Occurred())
        return nullptr;
    void *q = pool->vtab->realloc(pool, p, new_size);
    return q == nullptr ? nullptr : address(q);
}

PyObject *pool_free(PyObject *, PyObject *args) {
    PyObject *o, *addr;
    Pool *pool;
    if (!PyArg_ParseTuple(args, "OO", &o, &addr) || !as_pool(o, &pool))
        return nullptr;
    void *p = as_pointer(addr);
    if (p == nullptr && PyErr_Occurred())
        return nullptr;
    pool->vtab->free(pool, p);
    std::fflush(stdout);
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *read_bytes(PyObject *, PyObject *args) {
    PyObject *addr;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "On", &addr, &n))
        return nullptr;
    void *p = PyLong_AsVoidPtr(addr);
    if (p == nullptr && PyErr_Occurred())
        return nullptr;
    return PyBytes_FromStringAndSize(static_cast<const char *>(p), n);
}

PyObject *write_bytes(PyObject *, PyObject *args) {
    PyObject *addr;
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "Oy*", &addr, &data))
        return nullptr;
    void *p = PyLong_AsVoidPtr(addr);
    if (p != nullptr)
        std::memcpy(p, data.buf, static_cast<size_t>(data.len));
    PyBuffer_Release(&data);
    if (p == nullptr && PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *flush_stdout(PyObject *, PyObject *) {
    std::fflush(stdout);
    Py_RETURN_NONE;
}

PyObject *vtable_of(PyObject *, PyObject *o) {
    // the first member after the object header is the method table
    return address(*reinterpret_cast<void **>(reinterpret_cast<char *>(o) + sizeof(PyObject)));
}

PyObject *pool_size_member(PyObject *, PyObject *o) {
    Pool *pool;
    if (!as_pool(o, &pool))
        return nullptr;
    return PyLong_FromSsize_t(pool->size);
}

// ---- a counting allocator pair, set through the boxes' set_func ----------------

PyObject *events = nullptr;  // list of ("malloc", size, addr) / ("free", addr)
bool fail_next = false;

void log_event(PyObject *event) {
    if (event != nullptr && events != nullptr)
        PyList_Append(events, event);
    Py_XDECREF(event);
}

void *counting_malloc(size_t n) {
    if (fail_next) {
        fail_next = false;
        return nullptr;
    }
    void *p = PyMem_Malloc(n);
    log_event(Py_BuildValue("(snN)", "malloc", static_cast<Py_ssize_t>(n), address(p)));
    return p;
}

void counting_free(void *p) {
    log_event(Py_BuildValue("(sN)", "free", address(p)));
    PyMem_Free(p);
}

PyObject *use_counting_allocator(PyObject *, PyObject *o) {
    Pool *pool;
    if (!as_pool(o, &pool))
        return nullptr;
    if (events == nullptr && (events = PyList_New(0)) == nullptr)
        return nullptr;
    pool->pymalloc->vtab->set_func(pool->pymalloc, counting_malloc);
    pool->pyfree->vtab->set_func(pool->pyfree, counting_free);
    Py_RETURN_NONE;
}

PyObject *take_events(PyObject *, PyObject *) {
    PyObject *out = events != nullptr ? events : PyList_New(0);
    events = PyList_New(0);
    return out;
}

PyObject *fail_next_malloc(PyObject *, PyObject *) {
    fail_next = true;
    Py_RETURN_NONE;
}

PyObject *wrap_malloc(PyObject *, PyObject *) {
    return reinterpret_cast<PyObject *>(morvex_memory.WrapMalloc(PyMem_Malloc));
}

PyObject *wrap_free(PyObject *, PyObject *) {
    return reinterpret_cast<PyObject *>(morvex_memory.WrapFree(PyMem_Free));
}

PyObject *box_function(PyObject *, PyObject *o) {
    // PyMalloc and PyFree both keep their function right after the table
    return address(reinterpret_cast<void *>(reinterpret_cast<morvex_PyMalloc *>(o)->malloc_func));
}

PyObject *pymem_malloc_address(PyObject *, PyObject *) {
    return address(reinterpret_cast<void *>(PyMem_Malloc));
}

// ---- a compiled subclass whose alloc marks fresh blocks with 0x5A ---------------

morvex_MemoryPool_vtable marking_vtable;
Py_ssize_t marking_allocs = 0;

void *marking_alloc(Pool *self, size_t number, size_t elem_size) {
    void *p = morvex_memory.MemoryPool_vtable->alloc(self, number, elem_size);
    if (p != nullptr) {
        ++marking_allocs;
        std::memset(p, 0x5A, number * elem_size);
    }
    return p;
}

PyObject *marking_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    PyObject *o = morvex_memory.MemoryPool_type->tp_new(type, args, kwds);
    if (o != nullptr)
        reinterpret_cast<Pool *>(o)->vtab = &marking_vtable;
    return o;
}

PyObject *marking_count(PyObject *, PyObject *) { return PyLong_FromSsize_t(marking_allocs); }

PyObject *make_marking_type() {
    marking_vtable = *morvex_memory.MemoryPool_vtable;
    marking_vtable.alloc = marking_alloc;
    PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void *>(marking_new)}, {0, nullptr}};
    PyType_Spec spec = {"_mx_consumer.MarkingPool", 0, 0,
                        Py_TPFLAGS_DEFAULT, slots};
    PyObject *bases = PyTuple_Pack(1, reinterpret_cast<PyObject *>(morvex_memory.MemoryPool_type));
    if (bases == nullptr)
        return nullptr;
    PyObject *type = PyType_FromSpecWithBases(&spec, bases);
    Py_DECREF(bases);
    return type;
}

// ---- typed array helpers ------------------------------------------------------

template <class T, class Call>
PyObject *typed(PyObject *args, Call call) {
    PyObject *pool_obj, *prev = Py_None;
    int count;
    if (!PyArg_ParseTuple(args, "Oi|O", &pool_obj, &count, &prev))
        return nullptr;
    T *ptr = static_cast<T *>(as_pointer(prev));
    if (ptr == nullptr && PyErr_Occurred())
        return nullptr;
    call(&ptr, count, reinterpret_cast<Pool *>(pool_obj));
    std::fflush(stdout);
    if (PyErr_Occurred())
        return nullptr;  // the helpers never leave one pending
    return ptr == nullptr ? (Py_INCREF(Py_None), Py_None) : address(ptr);
}

PyObject *set_int_ptr(PyObject *, PyObject *args) {
    PyObject *pool_obj, *prev = Py_None;
    int count, fill;
    if (!PyArg_ParseTuple(args, "Oii|O", &pool_obj, &count, &fill, &prev))
        return nullptr;
    int *ptr = static_cast<int *>(as_pointer(prev));
    if (ptr == nullptr && PyErr_Occurred())
        return nullptr;
    morvex_memory.set_int_ptr(&ptr, count, fill, reinterpret_cast<Pool *>(pool_obj));
    std::fflush(stdout);
    if (PyErr_Occurred())
        return nullptr;
    return ptr == nullptr ? (Py_INCREF(Py_None), Py_None) : address(ptr);
}

PyObject *set_float_ptr(PyObject *, PyObject *args) {
    return typed<float>(args, [](float **p, int n, Pool *pool) { morvex_memory.set_float_ptr(p, n, pool); });
}

PyObject *set_pair_ptr(PyObject *, PyObject *args) {
    return typed<morvex_Pair>(args, [](morvex_Pair **p, int n, Pool *pool) { morvex_memory.set_pair_ptr(p, n, pool); });
}

PyObject *set_triple_ptr(PyObject *, PyObject *args) {
    return typed<morvex_Triple>(args, [](morvex_Triple **p, int n, Pool *pool) { morvex_memory.set_triple_ptr(p, n, pool); });
}

// ---- triple loader --------------------------------------------------------------

// A slice record over any 2-d int32 buffer, made by the header's helper.
bool slice_of(PyObject *obj, Py_buffer *view, morvex_memviewslice *slice) {
    if (PyObject_GetBuffer(obj, view, PyBUF_RECORDS_RO) < 0)
        return false;
    if (morvex_memviewslice_from_buffer(view, slice) < 0) {
        PyBuffer_Release(view);
        return false;
    }
    return true;
}

PyObject *triples_to_list(const morvex_Triple *t, Py_ssize_t n) {
    PyObject *out = PyList_New(n);
    for (Py_ssize_t i = 0; out != nullptr && i < n; ++i) {
        PyObject *item = Py_BuildValue("(iii)", t[i].head, t[i].relation, t[i].tail);
        if (item == nullptr) {
            Py_CLEAR(out);
            break;
        }
        PyList_SET_ITEM(out, i, item);
    }
    return out;
}

// load_triples(table, records=rows, column_step=table's): loads into
// `records` records prefilled with -7 and returns them all.
PyObject *load_triples(PyObject *, PyObject *args) {
    PyObject *obj;
    Py_ssize_t records = -1, column_step = -1;
    if (!PyArg_ParseTuple(args, "O|nn", &obj, &records, &column_step))
        return nullptr;
    Py_buffer view;
    morvex_memviewslice slice;
    if (!slice_of(obj, &view, &slice))
        return nullptr;
    if (column_step >= 0)
        slice.strides[1] = column_step;
    if (records < 0)
        records = view.shape[0];
    std::vector<morvex_Triple> dest(static_cast<size_t>(records), morvex_Triple{-7, -7, -7});
    morvex_memory.load_triple_from_numpy(dest.data(), slice);
    PyBuffer_Release(&view);
    if (PyErr_Occurred())
        return nullptr;
    return triples_to_list(dest.data(), records);
}

PyObject *load_into_null(PyObject *, PyObject *obj) {
    Py_buffer view;
    morvex_memviewslice slice;
    if (!slice_of(obj, &view, &slice))
        return nullptr;
    morvex_memory.load_triple_from_numpy(nullptr, slice);
    std::fflush(stdout);
    PyBuffer_Release(&view);
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

// ---- sorting ----------------------------------------------------------------------

Py_ssize_t cmp_calls = 0;
int counting_cmp(morvex_Triple a, morvex_Triple b) {
    ++cmp_calls;
    return morvex_memory.cmp_head(a, b);
}
// A comparison of the consumer's own: (head, relation, tail) descending.
int descending_cmp(morvex_Triple a, morvex_Triple b) {
    return morvex_memory.cmp_head(b, a);
}

// Comparisons that are no strict weak order: three-way, "<=", always
// "before", a coin toss.
int three_way_cmp(morvex_Triple a, morvex_Triple b) {
    return morvex_memory.cmp_head(a, b) ? -1 : morvex_memory.cmp_head(b, a);
}
int not_after_cmp(morvex_Triple a, morvex_Triple b) { return !morvex_memory.cmp_head(b, a); }
int always_cmp(morvex_Triple, morvex_Triple) { return 1; }
unsigned coin = 1;
int coin_cmp(morvex_Triple, morvex_Triple) { return (coin = coin * 1103515245u + 12345u) >> 30 & 1; }

morvex_cmp_type order_named(const char *name) {
    const struct {
        const char *name;
        morvex_cmp_type cmp;
    } orders[] = {{"head", morvex_memory.cmp_head}, {"tail", morvex_memory.cmp_tail},
                  {"rel", morvex_memory.cmp_rel},   {"rel2", morvex_memory.cmp_rel2},
                  {"rel3", morvex_memory.cmp_rel3}, {"counting", counting_cmp},
                  {"descending", descending_cmp}, {"three_way", three_way_cmp},
                  {"not_after", not_after_cmp},    {"always", always_cmp},
                  {"coin", coin_cmp}};
    for (const auto &o : orders)
        if (std::strcmp(o.name, name) == 0)
            return o.cmp;
    PyErr_Format(PyExc_ValueError, "no order named '%s'", name);
    return nullptr;
}

struct SortJob {
    morvex_Triple *array;
    int count;
    morvex_cmp_type cmp;
};

void *run_sort(void *job) {
    auto *j = static_cast<SortJob *>(job);
    morvex_memory.quick_sort(j->array, j->count, j->cmp);
    return nullptr;
}

// Runs the sort on a thread of its own with a stack of `stack_bytes`; an
// errno value when the thread cannot be made.
int sort_on_thread(SortJob &job, size_t stack_bytes) {
    pthread_attr_t attr;
    pthread_t thread;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_attr_setstacksize(&attr, stack_bytes);
    if (rc == 0)
        rc = pthread_create(&thread, &attr, run_sort, &job);
    if (rc == 0)
        pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return rc;
}

// sort(table, order, count=rows, stack=0): sorts a C-contiguous (n, 3) int32
// table in place, on a native thread with a stack of `stack` bytes when that
// is given (the interpreter's own threads need far more than the sort);
// returns the comparison calls made when order is "counting".
PyObject *sort(PyObject *, PyObject *args) {
    PyObject *obj;
    const char *name;
    int count = -1;
    int use_count = 0;
    Py_ssize_t stack = 0;
    if (!PyArg_ParseTuple(args, "Os|in", &obj, &name, &count, &stack))
        return nullptr;
    use_count = PyTuple_GET_SIZE(args) > 2;
    morvex_cmp_type cmp = order_named(name);
    if (cmp == nullptr)
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_CONTIG) < 0)
        return nullptr;
    if (view.len % 12 != 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "need whole triples");
        return nullptr;
    }
    if (!use_count)
        count = static_cast<int>(view.len / 12);
    cmp_calls = 0;
    SortJob job{static_cast<morvex_Triple *>(view.buf), count, cmp};
    int rc = 0;
    Py_BEGIN_ALLOW_THREADS
    if (stack > 0)
        rc = sort_on_thread(job, static_cast<size_t>(stack));
    else
        run_sort(&job);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&view);
    if (rc != 0) {
        errno = rc;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyLong_FromSsize_t(cmp_calls);
}

PyObject *compare(PyObject *, PyObject *args) {
    PyObject *a, *b;
    const char *name;
    if (!PyArg_ParseTuple(args, "sOO", &name, &a, &b))
        return nullptr;
    morvex_cmp_type cmp = order_named(name);
    morvex_Triple x, y;
    if (cmp == nullptr || !PyArg_ParseTuple(a, "iii", &x.head, &x.relation, &x.tail) ||
        !PyArg_ParseTuple(b, "iii", &y.head, &y.relation, &y.tail))
        return nullptr;
    return PyLong_FromLong(cmp(x, y));
}

struct FloatRecord {
    int id;
    float value;
    int other;
};

PyObject *float_compare(PyObject *, PyObject *args) {
    float a, b;
    if (!PyArg_ParseTuple(args, "ff", &a, &b))
        return nullptr;
    FloatRecord x{1, a, 2}, y{3, b, 4};
    return PyLong_FromLong(morvex_memory._compare(&x, &y));
}

// qsort_floats(values): sorts records by their float field with the C
// library's qsort and the exported comparison; returns (id, value) pairs.
PyObject *qsort_floats(PyObject *, PyObject *seq) {
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0)
        return nullptr;
    std::vector<FloatRecord> records(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_GetItem(seq, i);
        if (item == nullptr)
            return nullptr;
        records[i] = FloatRecord{static_cast<int>(i), static_cast<float>(PyFloat_AsDouble(item)), 0};
        Py_DECREF(item);
        if (PyErr_Occurred())
            return nullptr;
    }
    std::qsort(records.data(), records.size(), sizeof(FloatRecord), morvex_memory._compare);
    PyObject *out = PyList_New(n);
    for (Py_ssize_t i = 0; out != nullptr && i < n; ++i)
        PyList_SET_ITEM(out, i, Py_BuildValue("(if)", records[i].id, records[i].value));
    return out;
}

// ---- random streams ------------------------------------------------------------------

PyObject *call_void(PyObject *, PyObject *args) {
    const char *name;
    int a = 0, b = 0;
    if (!PyArg_ParseTuple(args, "s|ii", &name, &a, &b))
        return nullptr;
    std::string n = name;
    if (n == "setRandMemory") morvex_memory.setRandMemory();
    else if (n == "setRandSeed") morvex_memory.setRandSeed(a);
    else if (n == "randReset") morvex_memory.randReset(a);
    else if (n == "setThreadNumberAndRandSeed") morvex_memory.setThreadNumberAndRandSeed(a, b);
    else if (n == "reset_random_on_id") morvex_memory.reset_random_on_id();
    else {
        PyErr_Format(PyExc_ValueError, "unknown set-up function '%s'", name);
        return nullptr;
    }
    if (PyErr_Occurred())
        return nullptr;
    Py_RETURN_NONE;
}

// A draw of one id through an exported pointer, made without the GIL.
template <unsigned long long (*morvex_memory_api::*Draw)(int)>
PyObject *draw_by_id(PyObject *, PyObject *args) {
    int id;
    if (!PyArg_ParseTuple(args, "i", &id))
        return nullptr;
    unsigned long long v;
    Py_BEGIN_ALLOW_THREADS
    v = (morvex_memory.*Draw)(id);
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLongLong(v);
}

PyObject *rand_max(PyObject *, PyObject *args) {
    int id, stream;
    long bound;
    if (!PyArg_ParseTuple(args, "ili", &id, &bound, &stream))
        return nullptr;
    long v;
    Py_BEGIN_ALLOW_THREADS
    v = morvex_memory.rand_max(id, bound, stream);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(v);
}

PyObject *rand64(PyObject *, PyObject *args) {
    long low, high;
    if (!PyArg_ParseTuple(args, "ll", &low, &high))
        return nullptr;
    long v;
    Py_BEGIN_ALLOW_THREADS
    v = morvex_memory.rand64(low, high);
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(v);
}

PyObject *c_rand(PyObject *, PyObject *) { return PyLong_FromLong(std::rand()); }

PyObject *c_srand(PyObject *, PyObject *args) {
    unsigned seed;
    if (!PyArg_ParseTuple(args, "I", &seed))
        return nullptr;
    std::srand(seed);
    Py_RETURN_NONE;
}

// The exported variables, read through their published addresses.
PyObject *random_state(PyObject *, PyObject *args) {
    const char *which;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "s|n", &which, &n))
        return nullptr;
    std::string w = which;
    if (w == "pool") {
        PyObject *pool = reinterpret_cast<PyObject *>(*morvex_memory.global_random_memory_pool);
        Py_INCREF(pool);
        return pool;
    }
    unsigned long long *array = w == "next" ? *morvex_memory.next_random : *morvex_memory.id_random;
    if (array == nullptr)
        Py_RETURN_NONE;
    PyObject *out = PyList_New(n);
    for (Py_ssize_t i = 0; out != nullptr && i < n; ++i)
        PyList_SET_ITEM(out, i, PyLong_FromUnsignedLongLong(array[i]));
    return out;
}

PyObject *set_random_state(PyObject *, PyObject *args) {
    const char *which;
    PyObject *values;
    if (!PyArg_ParseTuple(args, "sO!", &which, &PyList_Type, &values))
        return nullptr;
    unsigned long long *array = std::string(which) == "next" ? *morvex_memory.next_random
                                                             : *morvex_memory.id_random;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        array[i] = PyLong_AsUnsignedLongLong(PyList_GET_ITEM(values, i));
        if (PyErr_Occurred())
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *variable_addresses(PyObject *, PyObject *) {
    return Py_BuildValue("(NNNN)", address(morvex_memory.WARN_ZERO_ALLOC),
                         address(morvex_memory.next_random), address(morvex_memory.id_random),
                         address(morvex_memory.global_random_memory_pool));
}

PyObject *next_random_value(PyObject *, PyObject *) { return address(*morvex_memory.next_random); }

// thread_draws(threads, draws, kind): each OS thread, without the GIL, draws
// from its own slot; kind "rand64" uses _rand64, "max" rand_max(tid, 1<<30, 1),
// "empty" makes one empty-range draw of each kind.
PyObject *thread_draws(PyObject *, PyObject *args) {
    int threads, draws;
    const char *kind_name;
    if (!PyArg_ParseTuple(args, "iis", &threads, &draws, &kind_name))
        return nullptr;
    std::string kind = kind_name;
    std::vector<std::vector<unsigned long long>> results(static_cast<size_t>(threads));
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            auto &out = results[static_cast<size_t>(t)];
            for (int i = 0; i < draws; ++i) {
                if (kind == "rand64")
                    out.push_back(morvex_memory._rand64(t));
                else if (kind == "max")
                    out.push_back(static_cast<unsigned long long>(morvex_memory.rand_max(t, 1L << 30, 1)));
                else {
                    out.push_back(static_cast<unsigned long long>(morvex_memory.rand_max(t, 0, 1)));
                    out.push_back(static_cast<unsigned long long>(morvex_memory.rand64(5, 5)));
                }
            }
        });
    }
    for (auto &th : pool)
        th.join();
    Py_END_ALLOW_THREADS
    PyObject *out = PyList_New(threads);
    for (int t = 0; out != nullptr && t < threads; ++t) {
        PyObject *row = PyList_New(static_cast<Py_ssize_t>(results[t].size()));
        for (size_t i = 0; row != nullptr && i < results[t].size(); ++i)
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLongLong(results[t][i]));
        PyList_SET_ITEM(out, t, row);
    }
    return out;
}

// ---- Data, DataStruct and Memory ---------------------------------------------------

PyObject *data_add_row(PyObject *, PyObject *args) {
    PyObject *data, *row;
    if (!PyArg_ParseTuple(args, "O!O", morvex_memory.Data_type, &data, &row))
        return nullptr;
    PyObject *seq = PySequence_Fast(row, "row must be a sequence");
    if (seq == nullptr)
        return nullptr;
    std::vector<int> cells(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq)) + 1);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i)
        cells[i] = static_cast<int>(PyLong_AsLong(PySequence_Fast_GET_ITEM(seq, i)));
    Py_DECREF(seq);
    if (PyErr_Occurred())
        return nullptr;
    morvex_Data *d = reinterpret_cast<morvex_Data *>(data);
    return d->vtab->add_row(d, cells.data());
}

PyObject *data_cells(PyObject *, PyObject *data) {
    if (!PyObject_TypeCheck(data, morvex_memory.Data_type)) {
        PyErr_SetString(PyExc_TypeError, "expected Data");
        return nullptr;
    }
    const morvex_Data *d = reinterpret_cast<morvex_Data *>(data);
    PyObject *out = PyList_New(0);
    for (const int32_t *c = d->cells.begin; out != nullptr && c != d->cells.end; ++c) {
        PyObject *v = PyLong_FromLong(*c);
        PyList_Append(out, v);
        Py_XDECREF(v);
    }
    return out;
}

PyObject *data_members(PyObject *, PyObject *data) {
    const morvex_Data *d = reinterpret_cast<morvex_Data *>(data);
    return Py_BuildValue("(n(nn)(nn)i)", d->ncols, d->shape[0], d->shape[1], d->strides[0],
                         d->strides[1], d->view_count);
}

PyObject *initialize_data_struct(PyObject *, PyObject *arg) {
    char *buf;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(arg, &buf, &len) < 0)
        return nullptr;
    if (len != static_cast<Py_ssize_t>(sizeof(morvex_DataStruct))) {
        PyErr_Format(PyExc_ValueError, "need %zd bytes", sizeof(morvex_DataStruct));
        return nullptr;
    }
    morvex_DataStruct record;
    std::memcpy(&record, buf, sizeof record);
    morvex_memory.initializeData(&record);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(&record), sizeof record);
}

PyObject *memory_ptr(PyObject *, PyObject *o) {
    if (!PyObject_TypeCheck(o, morvex_memory.Memory_type)) {
        PyErr_SetString(PyExc_TypeError, "expected Memory");
        return nullptr;
    }
    return address(reinterpret_cast<morvex_Memory *>(o)->ptr);
}

PyObject *log_marker(PyObject *, PyObject *arg) {
    if (events == nullptr && (events = PyList_New(0)) == nullptr)
        return nullptr;
    if (PyList_Append(events, arg) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *tp_clear(PyObject *, PyObject *o) {
    if (Py_TYPE(o)->tp_clear == nullptr) {
        PyErr_SetString(PyExc_TypeError, "no tp_clear");
        return nullptr;
    }
    Py_TYPE(o)->tp_clear(o);
    Py_RETURN_NONE;
}

// Executes the module's definition on a new, fresh module object.
PyObject *exec_def_on_fresh(PyObject *, PyObject *module) {
    PyModuleDef *def = PyModule_GetDef(module);
    if (def == nullptr)
        return nullptr;
    PyObject *fresh = PyModule_New("fresh");
    if (fresh == nullptr)
        return nullptr;
    int rc = PyModule_ExecDef(fresh, def);
    Py_DECREF(fresh);
    if (rc < 0)
        return nullptr;
    Py_RETURN_NONE;
}


// ---- threads: draws without the GIL beside a thread that holds it ----------------

// thread_mix(pool, drawers, draws, allocs, empty_every): `drawers` OS threads
// draw without the GIL, thread t from per-thread slot t and id-keyed slot t in
// turn (_rand64, rand_max(t, 2^40, 1), random_for_prob(t)); every
// `empty_every`-th draw (when positive) is instead one empty-range draw of each
// kind, which must take the GIL to report.  Meanwhile one more OS thread takes
// the GIL in batches of 16 allocations and, through the pool's method table,
// allocates a block, fills it, reallocates it to twice its size, checks the
// copy, and frees it (keeping every fifth).  Returns (draws per drawer,
// addresses of the kept blocks, failures seen by the allocating thread).
PyObject *thread_mix(PyObject *, PyObject *args) {
    PyObject *pool_obj;
    int drawers, draws, allocs, empty_every;
    Pool *pool;
    if (!PyArg_ParseTuple(args, "Oiiii", &pool_obj, &drawers, &draws, &allocs, &empty_every) ||
        !as_pool(pool_obj, &pool))
        return nullptr;
    if (drawers < 0 || draws < 0 || allocs < 0) {
        PyErr_SetString(PyExc_ValueError, "counts must not be negative");
        return nullptr;
    }
    std::vector<std::vector<unsigned long long>> results(static_cast<size_t>(drawers));
    std::vector<void *> kept;
    int failures = 0;
    Py_BEGIN_ALLOW_THREADS
    std::vector<std::thread> threads;
    for (int t = 0; t < drawers; ++t) {
        threads.emplace_back([&, t] {
            auto &out = results[static_cast<size_t>(t)];
            for (int i = 0; i < draws; ++i) {
                if (empty_every > 0 && i % empty_every == empty_every - 1) {
                    out.push_back(static_cast<unsigned long long>(morvex_memory.rand_max(t, 0, 1)));
                    out.push_back(static_cast<unsigned long long>(morvex_memory.rand64(7, 7)));
                } else if (i % 3 == 0) {
                    out.push_back(morvex_memory._rand64(t));
                } else if (i % 3 == 1) {
                    out.push_back(static_cast<unsigned long long>(morvex_memory.rand_max(t, 1L << 40, 1)));
                } else {
                    out.push_back(morvex_memory.random_for_prob(t));
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int done = 0; done < allocs;) {
            PyGILState_STATE gil = PyGILState_Ensure();
            for (int k = 0; k < 16 && done < allocs; ++k, ++done) {
                const size_t n = static_cast<size_t>(done % 7 + 1) * 8;
                void *p = pool->vtab->alloc(pool, n, 1);
                if (p == nullptr) {
                    PyErr_Clear();
                    ++failures;
                    continue;
                }
                std::memset(p, 0x33, n);
                unsigned char *q = static_cast<unsigned char *>(pool->vtab->realloc(pool, p, 2 * n));
                if (q == nullptr) {
                    PyErr_Clear();
                    ++failures;
                    continue;
                }
                for (size_t b = 0; b < 2 * n; ++b)
                    if (q[b] != (b < n ? 0x33 : 0)) {
                        ++failures;
                        break;
                    }
                if (done % 5 == 0) {
                    kept.push_back(q);
                } else {
                    pool->vtab->free(pool, q);
                    if (PyErr_Occurred()) {
                        PyErr_Clear();
                        ++failures;
                    }
                }
            }
            PyGILState_Release(gil);
        }
    });
    for (auto &th : threads)
        th.join();
    Py_END_ALLOW_THREADS
    PyObject *per_thread = PyList_New(drawers);
    for (int t = 0; per_thread != nullptr && t < drawers; ++t) {
        const auto &r = results[static_cast<size_t>(t)];
        PyObject *row = PyList_New(static_cast<Py_ssize_t>(r.size()));
        if (row == nullptr) {
            Py_CLEAR(per_thread);
            break;
        }
        for (size_t i = 0; i < r.size(); ++i)
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLongLong(r[i]));
        PyList_SET_ITEM(per_thread, t, row);
    }
    PyObject *addresses = PyList_New(0);
    for (size_t i = 0; addresses != nullptr && i < kept.size(); ++i) {
        PyObject *a = address(kept[i]);
        if (a == nullptr || PyList_Append(addresses, a) < 0)
            Py_CLEAR(addresses);
        Py_XDECREF(a);
    }
    if (per_thread == nullptr || addresses == nullptr) {
        Py_XDECREF(per_thread);
        Py_XDECREF(addresses);
        return nullptr;
    }
    return Py_BuildValue("(NNi)", per_thread, addresses, failures);
}

// wrap_null(): the boxes WrapMalloc and WrapFree make around null functions.
PyObject *wrap_null(PyObject *, PyObject *) {
    PyObject *m = reinterpret_cast<PyObject *>(morvex_memory.WrapMalloc(nullptr));
    PyObject *f = m == nullptr ? nullptr : reinterpret_cast<PyObject *>(morvex_memory.WrapFree(nullptr));
    if (f == nullptr) {
        Py_XDECREF(m);
        return nullptr;
    }
    return Py_BuildValue("(NN)", m, f);
}

// null_malloc(pool): gives the pool's allocation box a null function.
PyObject *null_malloc(PyObject *, PyObject *o) {
    Pool *pool;
    if (!as_pool(o, &pool))
        return nullptr;
    pool->pymalloc->vtab->set_func(pool->pymalloc, nullptr);
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"log_marker", log_marker, METH_O, nullptr},
    {"tp_clear", tp_clear, METH_O, nullptr},
    {"exec_def_on_fresh", exec_def_on_fresh, METH_O, nullptr},
    {"pool_alloc", pool_alloc, METH_VARARGS, nullptr},
    {"pool_realloc", pool_realloc, METH_VARARGS, nullptr},
    {"pool_free", pool_free, METH_VARARGS, nullptr},
    {"pool_size_member", pool_size_member, METH_O, nullptr},
    {"read_bytes", read_bytes, METH_VARARGS, nullptr},
    {"write_bytes", write_bytes, METH_VARARGS, nullptr},
    {"flush_stdout", flush_stdout, METH_NOARGS, nullptr},
    {"vtable_of", vtable_of, METH_O, nullptr},
    {"use_counting_allocator", use_counting_allocator, METH_O, nullptr},
    {"take_events", take_events, METH_NOARGS, nullptr},
    {"fail_next_malloc", fail_next_malloc, METH_NOARGS, nullptr},
    {"wrap_malloc", wrap_malloc, METH_NOARGS, nullptr},
    {"wrap_free", wrap_free, METH_NOARGS, nullptr},
    {"box_function", box_function, METH_O, nullptr},
    {"pymem_malloc_address", pymem_malloc_address, METH_NOARGS, nullptr},
    {"marking_count", marking_count, METH_NOARGS, nullptr},
    {"set_int_ptr", set_int_ptr, METH_VARARGS, nullptr},
    {"set_float_ptr", set_float_ptr, METH_VARARGS, nullptr},
    {"set_pair_ptr", set_pair_ptr, METH_VARARGS, nullptr},
    {"set_triple_ptr", set_triple_ptr, METH_VARARGS, nullptr},
    {"load_triples", load_triples, METH_VARARGS, nullptr},
    {"load_into_null", load_into_null, METH_O, nullptr},
    {"sort", sort, METH_VARARGS, nullptr},
    {"compare", compare, METH_VARARGS, nullptr},
    {"float_compare", float_compare, METH_VARARGS, nullptr},
    {"qsort_floats", qsort_floats, METH_O, nullptr},
    {"call", call_void, METH_VARARGS, nullptr},
    {"rand64_", draw_by_id<&morvex_memory_api::_rand64>, METH_VARARGS, nullptr},
    {"random_for_prob", draw_by_id<&morvex_memory_api::random_for_prob>, METH_VARARGS, nullptr},
    {"rand_max", rand_max, METH_VARARGS, nullptr},
    {"rand64", rand64, METH_VARARGS, nullptr},
    {"c_rand", c_rand, METH_NOARGS, nullptr},
    {"c_srand", c_srand, METH_VARARGS, nullptr},
    {"random_state", random_state, METH_VARARGS, nullptr},
    {"set_random_state", set_random_state, METH_VARARGS, nullptr},
    {"variable_addresses", variable_addresses, METH_NOARGS, nullptr},
    {"next_random_value", next_random_value, METH_NOARGS, nullptr},
    {"thread_draws", thread_draws, METH_VARARGS, nullptr},
    {"data_add_row", data_add_row, METH_VARARGS, nullptr},
    {"data_cells", data_cells, METH_O, nullptr},
    {"data_members", data_members, METH_O, nullptr},
    {"initialize_data_struct", initialize_data_struct, METH_O, nullptr},
    {"memory_ptr", memory_ptr, METH_O, nullptr},
    {"thread_mix", thread_mix, METH_VARARGS, nullptr},
    {"wrap_null", wrap_null, METH_NOARGS, nullptr},
    {"null_malloc", null_malloc, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_mx_consumer", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__mx_consumer(void) {
    if (morvex_memory_import() < 0)
        return nullptr;
    PyObject *m = PyModule_Create(&module_def);
    if (m == nullptr)
        return nullptr;
    PyObject *marking = make_marking_type();
    if (marking == nullptr || PyModule_AddObject(m, "MarkingPool", marking) < 0) {
        Py_XDECREF(marking);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
