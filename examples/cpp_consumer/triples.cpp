// mx_triples: a C++ consumer of morvex.utils.memory.
//
// TripleSet(table) copies an (n, 3) int32 table into a Triple array owned by
// a MemoryPool, then offers the typical work on it:
//   sort(order)                  in place under one of the five orders,
//                                checked afterwards; returns True if sorted
//   corrupt_tails(threads, k, entities, seed)
//                                k negatives per triple, drawn on `threads`
//                                worker threads from per-thread random
//                                streams without the GIL; returns a checksum
//   relation_counts(relations)   a Data table of [relation, count] rows
//   fingerprint()                an order-independent hash of the triples
//   triples(limit), negatives(limit), pool
// Dropping the TripleSet drops the pool, which releases both arrays.
// The loader sits in load.cpp; both files share one function table.
#include "load.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

namespace {

struct TripleSet {
    PyObject_HEAD
    morvex_MemoryPool *pool;  // owns `triples` and `negatives`
    morvex_Triple *triples;
    int count;
    morvex_Triple *negatives;
    int negative_count;
};

morvex_cmp_type order_named(const char *name) {
    const struct { const char *name; morvex_cmp_type cmp; } orders[] = {
        {"cmp_head", morvex_memory.cmp_head}, {"cmp_tail", morvex_memory.cmp_tail},
        {"cmp_rel", morvex_memory.cmp_rel},   {"cmp_rel2", morvex_memory.cmp_rel2},
        {"cmp_rel3", morvex_memory.cmp_rel3}};
    for (const auto &o : orders)
        if (std::strcmp(o.name, name) == 0)
            return o.cmp;
    PyErr_Format(PyExc_ValueError, "unknown order '%s'", name);
    return nullptr;
}

bool ready(const TripleSet *self) {
    if (self->pool == nullptr)
        PyErr_SetString(PyExc_RuntimeError, "TripleSet was not initialised");
    return self->pool != nullptr;
}

PyObject *as_list(const morvex_Triple *t, int n) {
    PyObject *out = PyList_New(n);
    for (int i = 0; out != nullptr && i < n; ++i) {
        PyObject *item = Py_BuildValue("(iii)", t[i].head, t[i].relation, t[i].tail);
        if (item == nullptr)
            Py_CLEAR(out);
        else
            PyList_SET_ITEM(out, i, item);
    }
    return out;
}

// ---- construction: a pool, then load_table (load.cpp) ------------------------

int TripleSet_init(TripleSet *self, PyObject *args, PyObject *) {
    PyObject *table;
    if (!PyArg_ParseTuple(args, "O", &table))
        return -1;
    morvex_MemoryPool *pool = reinterpret_cast<morvex_MemoryPool *>(
        PyObject_CallObject(reinterpret_cast<PyObject *>(morvex_memory.MemoryPool_type), nullptr));
    if (pool == nullptr)
        return -1;
    Py_CLEAR(self->pool);
    self->pool = pool;
    self->triples = self->negatives = nullptr;
    self->count = self->negative_count = 0;
    return load_table(table, pool, &self->triples, &self->count);
}

void TripleSet_dealloc(TripleSet *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_XDECREF(self->pool);  // releases every block the pool still holds
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- sort under one order, without the GIL ---------------------------------

PyObject *TripleSet_sort(TripleSet *self, PyObject *arg) {
    const char *name = PyUnicode_AsUTF8(arg);
    morvex_cmp_type cmp = name ? order_named(name) : nullptr;
    if (cmp == nullptr || !ready(self))
        return nullptr;
    bool sorted;
    Py_BEGIN_ALLOW_THREADS
    morvex_memory.quick_sort(self->triples, self->count, cmp);
    sorted = std::is_sorted(self->triples, self->triples + self->count,
                            [cmp](morvex_Triple a, morvex_Triple b) { return cmp(a, b) != 0; });
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(sorted);
}

// ---- negatives: per-thread random streams on worker threads --------------------

PyObject *TripleSet_corrupt_tails(TripleSet *self, PyObject *args) {
    int threads, k, seed;
    long entities;
    if (!ready(self) || !PyArg_ParseTuple(args, "iili", &threads, &k, &entities, &seed))
        return nullptr;
    if (threads < 1 || k < 1 || entities < 2 || static_cast<long long>(self->count) * k > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "need threads >= 1, k >= 1, entities >= 2, count * k < 2**31");
        return nullptr;
    }
    // set-up, with the GIL: the streams' pool, one stream per worker, id streams
    morvex_memory.setRandMemory();
    morvex_memory.setThreadNumberAndRandSeed(threads, seed);
    morvex_memory.reset_random_on_id();
    int total = self->count * k;
    // the earlier negatives go back first, so that a repeat never holds both
    if (self->negatives != nullptr) {
        self->pool->vtab->free(self->pool, self->negatives);
        self->negatives = nullptr;
        self->negative_count = 0;
        if (PyErr_Occurred())
            return nullptr;
    }
    morvex_memory.set_triple_ptr(&self->negatives, total, self->pool);
    if (self->negatives == nullptr && total > 0)
        return PyErr_NoMemory();

    const morvex_Triple *pos = self->triples;
    morvex_Triple *neg = self->negatives;
    int n = self->count;
    uint64_t checksum = 1469598103934665603ULL;  // FNV-1a over the negatives
    std::atomic<bool> abandon{false};
    std::vector<std::thread> workers;
    char failure[200] = "";
    Py_BEGIN_ALLOW_THREADS
    // A worker that cannot be started (too many threads for the process's
    // limits) throws here: the workers already running are told to stop,
    // then joined, and the caller gets a RuntimeError instead of an abort.
    try {
        workers.reserve(static_cast<size_t>(threads));
        for (int w = 0; w < threads; ++w) {
            workers.emplace_back([=, &abandon] {
                int begin = static_cast<int>(static_cast<long long>(n) * w / threads);
                int end = static_cast<int>(static_cast<long long>(n) * (w + 1) / threads);
                auto go_on = [&abandon] { return !abandon.load(std::memory_order_relaxed); };
                for (int i = begin; i < end && go_on(); ++i)
                    for (int j = 0; j < k && go_on(); ++j) {
                        morvex_Triple t = pos[i];
                        do  // stream 1: this worker's own slot, w
                            t.tail = static_cast<int>(morvex_memory.rand_max(w, entities, 1));
                        while (t.tail == pos[i].tail);
                        neg[static_cast<long long>(i) * k + j] = t;
                    }
            });
        }
    } catch (const std::exception &e) {
        abandon = true;
        std::snprintf(failure, sizeof failure, "%s", e.what());
    }
    for (auto &t : workers)
        t.join();
    for (int i = 0; !abandon && i < total; ++i) {
        const int32_t f[3] = {neg[i].head, neg[i].relation, neg[i].tail};
        for (int32_t v : f)
            checksum = (checksum ^ static_cast<uint32_t>(v)) * 1099511628211ULL;
    }
    Py_END_ALLOW_THREADS
    if (abandon)  // the negatives are incomplete: none are shown
        return PyErr_Format(PyExc_RuntimeError, "only %d of %d worker threads could be started: %s",
                            static_cast<int>(workers.size()), threads, failure);
    self->negative_count = total;
    return PyLong_FromUnsignedLongLong(checksum);
}

// ---- per-relation counts into a Data table -------------------------------------

PyObject *TripleSet_relation_counts(TripleSet *self, PyObject *arg) {
    long relations = PyLong_AsLong(arg);
    if ((relations == -1 && PyErr_Occurred()) || !ready(self))
        return nullptr;
    morvex_MemoryPool *pool = self->pool;
    // a scratch block straight from the pool's method table (zeroed)
    int *counts = static_cast<int *>(pool->vtab->alloc(pool, static_cast<size_t>(relations), sizeof(int)));
    if (counts == nullptr)
        return nullptr;
    for (int i = 0; i < self->count; ++i) {
        int r = self->triples[i].relation;
        if (r < 0 || r >= relations) {
            pool->vtab->free(pool, counts);
            return PyErr_Format(PyExc_ValueError, "relation %d outside [0, %ld)", r, relations);
        }
        ++counts[r];
    }
    PyObject *data = PyObject_CallFunction(reinterpret_cast<PyObject *>(morvex_memory.Data_type), "i", 2);
    auto *table = reinterpret_cast<morvex_Data *>(data);
    for (int r = 0; data != nullptr && r < relations; ++r) {
        if (counts[r] == 0)
            continue;
        int row[2] = {r, counts[r]};
        PyObject *ok = table->vtab->add_row(table, row);
        if (ok == nullptr)
            Py_CLEAR(data);
        Py_XDECREF(ok);
    }
    pool->vtab->free(pool, counts);
    if (PyErr_Occurred())
        Py_CLEAR(data);
    return data;
}

// An order-independent fingerprint of the triples: the sum (mod 2**64) of a
// hash of each triple; sorting must leave it unchanged.
uint64_t mix(morvex_Triple t) {
    uint64_t x = static_cast<uint64_t>(static_cast<int64_t>(t.head)) * 0x9E3779B97F4A7C15ULL ^
                 static_cast<uint64_t>(static_cast<int64_t>(t.relation)) * 0xC2B2AE3D27D4EB4FULL ^
                 static_cast<uint64_t>(static_cast<int64_t>(t.tail)) * 0x165667B19E3779F9ULL;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    return x ^ (x >> 32);
}

PyObject *TripleSet_fingerprint(TripleSet *self, PyObject *) {
    uint64_t sum = 0;
    Py_BEGIN_ALLOW_THREADS
    for (int i = 0; i < self->count; ++i)
        sum += mix(self->triples[i]);
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLongLong(sum);
}

PyObject *TripleSet_triples(TripleSet *self, PyObject *arg) {
    long limit = PyLong_AsLong(arg);
    if (limit == -1 && PyErr_Occurred())
        return nullptr;
    return as_list(self->triples, static_cast<int>(std::min<long>(std::max<long>(limit, 0), self->count)));
}

PyObject *TripleSet_negatives(TripleSet *self, PyObject *arg) {
    long limit = PyLong_AsLong(arg);
    if (limit == -1 && PyErr_Occurred())
        return nullptr;
    return as_list(self->negatives, static_cast<int>(std::min<long>(std::max<long>(limit, 0), self->negative_count)));
}

PyObject *TripleSet_get_pool(TripleSet *self, void *) {
    PyObject *pool = self->pool ? reinterpret_cast<PyObject *>(self->pool) : Py_None;
    Py_INCREF(pool);
    return pool;
}

PyMethodDef TripleSet_methods[] = {
    {"sort", reinterpret_cast<PyCFunction>(TripleSet_sort), METH_O, "sort(order) -> True if sorted"},
    {"corrupt_tails", reinterpret_cast<PyCFunction>(TripleSet_corrupt_tails), METH_VARARGS,
     "corrupt_tails(threads, k, entities, seed) -> checksum of the negatives"},
    {"relation_counts", reinterpret_cast<PyCFunction>(TripleSet_relation_counts), METH_O,
     "relation_counts(relations) -> Data of [relation, count] rows"},
    {"fingerprint", reinterpret_cast<PyCFunction>(TripleSet_fingerprint), METH_NOARGS,
     "order-independent hash of the triples"},
    {"triples", reinterpret_cast<PyCFunction>(TripleSet_triples), METH_O, "first `limit` triples"},
    {"negatives", reinterpret_cast<PyCFunction>(TripleSet_negatives), METH_O, "first `limit` negatives"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef TripleSet_getset[] = {
    {const_cast<char *>("pool"), reinterpret_cast<getter>(TripleSet_get_pool), nullptr,
     const_cast<char *>("the MemoryPool that owns the arrays"), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot TripleSet_slots[] = {
    {Py_tp_init, reinterpret_cast<void *>(TripleSet_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(TripleSet_dealloc)},
    {Py_tp_methods, TripleSet_methods},
    {Py_tp_getset, TripleSet_getset},
    {0, nullptr}};

PyType_Spec TripleSet_spec = {"mx_triples.TripleSet", sizeof(TripleSet), 0, Py_TPFLAGS_DEFAULT,
                              TripleSet_slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "mx_triples", "A C++ consumer of morvex.utils.memory.",
                          -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_mx_triples(void) {
    if (morvex_memory_import() < 0)  // fetches every export, checks every signature
        return nullptr;
    PyObject *module = PyModule_Create(&module_def);
    PyObject *type = module ? PyType_FromSpec(&TripleSet_spec) : nullptr;
    if (type == nullptr || PyModule_AddObject(module, "TripleSet", type) < 0) {
        Py_XDECREF(type);
        Py_XDECREF(module);
        return nullptr;
    }
    return module;
}
