// bench.cpp -- the compiled side of the benchmark suite: a consumer of
// morvex.utils.memory built against the public header only, exactly as a
// user's module would be.  Every module call goes through the table filled by
// morvex_memory_import() or through an instance's method table; every
// reference runs in the same process, on the same data, interleaved with the
// module's runs.  Each entry point returns best-of-N seconds for both sides;
// run.py turns them into the table.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "morvex/utils/memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>

namespace {

using Triple = morvex_Triple;

// Every figure is CPU time of the calling thread: on a machine shared with
// other work, time spent descheduled would otherwise land on whichever side
// happened to be running, and a ratio of two such figures says little.
struct Clock {
    using time_point = double;
    static double now() {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
};

double seconds_since(double t0) { return Clock::now() - t0; }

// Tells the compiler that memory may have been read or written, so that a
// timed store is never dropped or moved across the clock reads.
inline void clobber() { asm volatile("" ::: "memory"); }

// ---- buffers ----------------------------------------------------------------------

// A Py_buffer released on scope exit.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held)
            PyBuffer_Release(&view);
    }
};

// A C-contiguous two-dimensional int32 table with `cols` columns (any number
// when cols is 0).
bool get_table(PyObject *obj, Buffer &b, int flags, Py_ssize_t cols) {
    if (PyObject_GetBuffer(obj, &b.view, flags | PyBUF_RECORDS_RO) < 0)
        return false;
    b.held = true;
    if (b.view.ndim != 2 || b.view.itemsize != 4 || !PyBuffer_IsContiguous(&b.view, 'C') ||
        (cols != 0 && b.view.shape[1] != cols)) {
        PyErr_Format(PyExc_ValueError, "need a C-contiguous int32 (n, %zd) table", cols);
        return false;
    }
    return true;
}

// The typed-view record the loader takes, built from a buffer the way a
// compiled consumer's typed view would describe it.
morvex_memviewslice slice_of(const Py_buffer &view) {
    morvex_memviewslice s;
    std::memset(&s, 0, sizeof s);
    s.data = static_cast<char *>(view.buf);
    for (int axis = 0; axis < 2; ++axis) {
        s.shape[axis] = view.shape[axis];
        s.strides[axis] = view.strides[axis];
        s.suboffsets[axis] = -1;
    }
    return s;
}

// ---- sort ---------------------------------------------------------------------------

bool order_by_name(const char *name, morvex_cmp_type *out) {
    const std::string n = name;
    if (n == "cmp_head") *out = morvex_memory.cmp_head;
    else if (n == "cmp_tail") *out = morvex_memory.cmp_tail;
    else if (n == "cmp_rel") *out = morvex_memory.cmp_rel;
    else if (n == "cmp_rel2") *out = morvex_memory.cmp_rel2;
    else if (n == "cmp_rel3") *out = morvex_memory.cmp_rel3;
    else {
        PyErr_Format(PyExc_ValueError, "unknown order '%s'", name);
        return false;
    }
    return true;
}

// The reference: the standard library's sort with a less-than that calls the
// same comparison through a pointer the compiler cannot see through.
morvex_cmp_type volatile g_reference_cmp = nullptr;

__attribute__((noinline)) void reference_sort(Triple *a, size_t n, morvex_cmp_type cmp) {
    g_reference_cmp = cmp;
    const morvex_cmp_type f = g_reference_cmp;
    std::sort(a, a + n, [f](const Triple &x, const Triple &y) { return f(x, y) != 0; });
}

void module_sort(Triple *a, size_t n, morvex_cmp_type cmp) {
    morvex_memory.quick_sort(a, static_cast<int>(n), cmp);
}

// sort_large(src, out, order, reps, reference_reps)
//     -> (module_s, reference_s, same, memmove_s, module_in_reference_rounds_s)
// Sorts the whole table `reps` times with the module, each time after a
// memmove of the table's bytes between two arrays already written (the
// floor a sort of them is measured against), and in the first
// `reference_reps` of those rounds with the reference too (the copy that
// restores the input is not timed).  Best times; the last one is the
// module's best over the rounds the reference ran in, what it is compared
// with.  `out` receives the module's sorted table.  The first round
// compares both results byte for byte and stops at a difference.
PyObject *sort_large(PyObject *, PyObject *args) {
    PyObject *src_obj, *out_obj;
    const char *order;
    int reps, reference_reps;
    if (!PyArg_ParseTuple(args, "OOsii", &src_obj, &out_obj, &order, &reps, &reference_reps))
        return nullptr;
    morvex_cmp_type cmp;
    Buffer src, out;
    if (!order_by_name(order, &cmp) || !get_table(src_obj, src, PyBUF_SIMPLE, 3) ||
        !get_table(out_obj, out, PyBUF_WRITABLE, 3))
        return nullptr;
    const size_t n = static_cast<size_t>(src.view.shape[0]);
    if (static_cast<size_t>(out.view.shape[0]) != n || n > 0x7fffffffu || reference_reps < 1 ||
        reps < reference_reps)
        return PyErr_Format(PyExc_ValueError, "bad sizes or rounds");
    const size_t bytes = n * sizeof(Triple);
    auto *mine = static_cast<Triple *>(out.view.buf);
    std::vector<Triple> theirs(n);
    double best_mine = 1e300, best_paired = 1e300, best_theirs = 1e300, best_move = 1e300;
    bool same = true;
    for (int r = 0; r < reps && same; ++r) {
        std::memcpy(theirs.data(), src.view.buf, bytes);
        clobber();
        auto t0 = Clock::now();
        std::memmove(mine, theirs.data(), bytes);
        clobber();
        best_move = std::min(best_move, seconds_since(t0));

        std::memcpy(mine, src.view.buf, bytes);
        clobber();
        t0 = Clock::now();
        module_sort(mine, n, cmp);
        clobber();
        const double spent = seconds_since(t0);
        best_mine = std::min(best_mine, spent);
        if (r >= reference_reps)
            continue;
        best_paired = std::min(best_paired, spent);

        std::memcpy(theirs.data(), src.view.buf, bytes);
        clobber();
        t0 = Clock::now();
        reference_sort(theirs.data(), n, cmp);
        clobber();
        best_theirs = std::min(best_theirs, seconds_since(t0));
        if (r == 0)
            same = std::memcmp(mine, theirs.data(), bytes) == 0;
    }
    return Py_BuildValue("(ddOdd)", best_mine, best_theirs, same ? Py_True : Py_False, best_move, best_paired);
}

// A work array of `count` records whose first record lies `offset` bytes past
// a page boundary, so that both sides of a comparison work on equally placed
// memory (small sorts are sensitive to how records straddle cache lines).
class PlacedArray {
public:
    PlacedArray(size_t count, size_t offset)
        : raw_(count * sizeof(Triple) + offset + 4096), count_(count) {
        const auto base = reinterpret_cast<uintptr_t>(raw_.data());
        data_ = reinterpret_cast<Triple *>(((base + 4095) & ~uintptr_t{4095}) + offset);
    }
    Triple *data() { return data_; }
    size_t size() const { return count_; }

private:
    std::vector<unsigned char> raw_;
    size_t count_;
    Triple *data_;
};

// sort_small(src, n, order, sample_s, samples[, offset]) -> (module_ns, reference_ns, same)
// `src` holds many independent groups of n records; one pass sorts each
// group.  A sample is as many passes as fill `sample_s` seconds (only the
// sorting is timed); the result is the best sample's time per sort call.
// Both work arrays start `offset` bytes (a multiple of 4) past a page.
PyObject *sort_small(PyObject *, PyObject *args) {
    PyObject *src_obj;
    Py_ssize_t group, offset = 0;
    const char *order;
    double sample_s;
    int samples;
    if (!PyArg_ParseTuple(args, "Onsdi|n", &src_obj, &group, &order, &sample_s, &samples, &offset))
        return nullptr;
    if (offset < 0 || offset >= 4096 || offset % 4 != 0)
        return PyErr_Format(PyExc_ValueError, "offset must be a multiple of 4 below 4096");
    morvex_cmp_type cmp;
    Buffer src;
    if (!order_by_name(order, &cmp) || !get_table(src_obj, src, PyBUF_SIMPLE, 3))
        return nullptr;
    const size_t total = static_cast<size_t>(src.view.shape[0]);
    const size_t n = static_cast<size_t>(group);
    if (n == 0 || total < n || total % n != 0)
        return PyErr_Format(PyExc_ValueError, "the table must hold whole groups");
    const size_t groups = total / n;
    const Triple *input = static_cast<const Triple *>(src.view.buf);
    PlacedArray mine(total, static_cast<size_t>(offset)), theirs(total, static_cast<size_t>(offset));

    auto pass = [&](PlacedArray &work, bool module) {
        std::memcpy(work.data(), input, total * sizeof(Triple));
        clobber();
        const auto t0 = Clock::now();
        if (module)
            for (size_t g = 0; g < groups; ++g)
                module_sort(work.data() + g * n, n, cmp);
        else
            for (size_t g = 0; g < groups; ++g)
                reference_sort(work.data() + g * n, n, cmp);
        clobber();
        return seconds_since(t0);
    };

    const double one = std::max(pass(mine, true), pass(theirs, false));
    if (std::memcmp(mine.data(), theirs.data(), total * sizeof(Triple)) != 0)
        return Py_BuildValue("(ddO)", 0.0, 0.0, Py_False);
    const long passes = std::max(1L, static_cast<long>(sample_s / std::max(one, 1e-9)));
    double best_mine = 1e300, best_theirs = 1e300;
    for (int s = 0; s < samples; ++s) {
        double t = 0;
        for (long p = 0; p < passes; ++p)
            t += pass(mine, true);
        best_mine = std::min(best_mine, t);
        t = 0;
        for (long p = 0; p < passes; ++p)
            t += pass(theirs, false);
        best_theirs = std::min(best_theirs, t);
    }
    const double calls = static_cast<double>(passes) * static_cast<double>(groups);
    return Py_BuildValue("(ddO)", best_mine / calls * 1e9, best_theirs / calls * 1e9, Py_True);
}

// ---- loader -------------------------------------------------------------------------

// load(table, reference3, reps) -> (load_s, memcpy_s, same)
// Loads the first three columns of `table` (an (n, k) int32 table, k >= 3)
// into a Triple array the size of n records, against a memcpy of the 12n
// bytes of `reference3` (an (n, 3) table) into the same array.  The array is
// written once before any timing, so no run pays for first-touch faults.
PyObject *load(PyObject *, PyObject *args) {
    PyObject *table_obj, *ref_obj;
    int reps;
    if (!PyArg_ParseTuple(args, "OOi", &table_obj, &ref_obj, &reps))
        return nullptr;
    Buffer table, ref;
    if (!get_table(table_obj, table, PyBUF_SIMPLE, 0) || !get_table(ref_obj, ref, PyBUF_SIMPLE, 3))
        return nullptr;
    const size_t n = static_cast<size_t>(table.view.shape[0]);
    const size_t cols = static_cast<size_t>(table.view.shape[1]);
    if (static_cast<size_t>(ref.view.shape[0]) != n || cols < 3)
        return PyErr_Format(PyExc_ValueError, "bad sizes");
    const size_t bytes = n * sizeof(Triple);
    std::vector<Triple> dest(n, Triple{-1, -1, -1});
    const morvex_memviewslice slice = slice_of(table.view);
    double best_load = 1e300, best_copy = 1e300;
    bool same = true;
    for (int r = 0; r < reps; ++r) {
        clobber();
        auto t0 = Clock::now();
        std::memcpy(dest.data(), ref.view.buf, bytes);
        clobber();
        best_copy = std::min(best_copy, seconds_since(t0));

        std::memset(dest.data(), 0xff, bytes);  // so the check below sees the loader's work
        clobber();
        t0 = Clock::now();
        morvex_memory.load_triple_from_numpy(dest.data(), slice);
        clobber();
        best_load = std::min(best_load, seconds_since(t0));
        if (PyErr_Occurred())
            return nullptr;
        if (r == 0) {
            const int32_t *rows = static_cast<const int32_t *>(table.view.buf);
            for (size_t i = 0; i < n && same; ++i)
                same = std::memcmp(&dest[i], rows + i * cols, sizeof(Triple)) == 0;
        }
    }
    return Py_BuildValue("(ddO)", best_load, best_copy, same ? Py_True : Py_False);
}

// ---- random draws ---------------------------------------------------------------------

// The reference draws: the bare multiply-add on one slot, behind function
// pointers of the module's shapes that the compiler cannot see through.
unsigned long long g_reference_state[20];

__attribute__((noinline)) unsigned long long reference_draw(int id) {
    return g_reference_state[id] = g_reference_state[id] * 25214903917ULL + 11ULL;
}

__attribute__((noinline)) long reference_draw_bounded(int id, long, int) {
    return static_cast<long>(g_reference_state[id] =
                                 g_reference_state[id] * 25214903917ULL + 11ULL);
}

unsigned long long (*volatile g_draw)(int) = nullptr;
long (*volatile g_draw_bounded)(int, long, int) = nullptr;

// setup_random(threads, seed): the set-up a consumer does before its workers
// draw: a fresh random pool, one slot per thread, and the id-keyed slots.
PyObject *setup_random(PyObject *, PyObject *args) {
    int threads, seed;
    if (!PyArg_ParseTuple(args, "ii", &threads, &seed))
        return nullptr;
    morvex_memory.setRandMemory();
    if (!PyErr_Occurred())
        morvex_memory.setThreadNumberAndRandSeed(threads, seed);
    if (!PyErr_Occurred())
        morvex_memory.reset_random_on_id();
    if (PyErr_Occurred())
        return nullptr;
    if (*morvex_memory.next_random == nullptr || *morvex_memory.id_random == nullptr)
        return PyErr_Format(PyExc_RuntimeError, "random streams were not set up");
    for (int i = 0; i < 20; ++i)
        g_reference_state[i] = static_cast<unsigned long long>(i) + 1;
    Py_RETURN_NONE;
}

template <class Draw>
__attribute__((noinline)) double time_draws(long draws, Draw draw, unsigned long long *sink) {
    unsigned long long acc = 0;
    const auto t0 = Clock::now();
    for (long i = 0; i < draws; ++i)
        acc += static_cast<unsigned long long>(draw());
    const double s = seconds_since(t0);
    *sink += acc;
    return s;
}

// draws(kind, count, reps) -> (module_s, reference_s)
// kind: "_rand64" (thread slot 0), "rand_max" (slot 0, bound 1000, stream 1)
// or "random_for_prob" (id 5).  The GIL is released, as a worker's would be.
PyObject *draws(PyObject *, PyObject *args) {
    const char *kind_name;
    long count;
    int reps;
    if (!PyArg_ParseTuple(args, "sli", &kind_name, &count, &reps))
        return nullptr;
    const std::string kind = kind_name;
    if (kind != "_rand64" && kind != "rand_max" && kind != "random_for_prob")
        return PyErr_Format(PyExc_ValueError, "unknown draw '%s'", kind_name);
    double best_mine = 1e300, best_theirs = 1e300;
    unsigned long long sink = 0;
    Py_BEGIN_ALLOW_THREADS
    for (int r = 0; r < reps; ++r) {
        if (kind == "_rand64") {
            g_draw = morvex_memory._rand64;
            const auto f = g_draw;
            best_mine = std::min(best_mine, time_draws(count, [f] { return f(0); }, &sink));
        } else if (kind == "random_for_prob") {
            g_draw = morvex_memory.random_for_prob;
            const auto f = g_draw;
            best_mine = std::min(best_mine, time_draws(count, [f] { return f(5); }, &sink));
        } else {
            g_draw_bounded = morvex_memory.rand_max;
            const auto f = g_draw_bounded;
            best_mine = std::min(best_mine, time_draws(count, [f] { return f(0, 1000, 1); }, &sink));
        }
        if (kind == "rand_max") {
            g_draw_bounded = reference_draw_bounded;
            const auto f = g_draw_bounded;
            best_theirs = std::min(best_theirs, time_draws(count, [f] { return f(0, 1000, 1); }, &sink));
        } else {
            g_draw = reference_draw;
            const auto f = g_draw;
            const int id = kind == "_rand64" ? 0 : 5;
            best_theirs = std::min(best_theirs, time_draws(count, [f, id] { return f(id); }, &sink));
        }
    }
    Py_END_ALLOW_THREADS
    if (sink == 0x5eed)  // keeps every draw observable
        std::fputs("", stderr);
    return Py_BuildValue("(dd)", best_mine, best_theirs);
}

// ---- pool -------------------------------------------------------------------------------

// pool(count, reps) -> (module_s, reference_s)
// `count` rounds of pool->vtab->alloc(pool, 1, 64) then ->free(pool, p),
// against PyMem_Malloc + PyMem_Free plus recording the address in a dict and
// removing it again.  GIL held.
PyObject *pool(PyObject *, PyObject *args) {
    long count;
    int reps;
    if (!PyArg_ParseTuple(args, "li", &count, &reps))
        return nullptr;
    PyObject *pool_obj = PyObject_CallObject(reinterpret_cast<PyObject *>(morvex_memory.MemoryPool_type), nullptr);
    if (pool_obj == nullptr)
        return nullptr;
    PyObject *dict = PyDict_New();
    if (dict == nullptr) {
        Py_DECREF(pool_obj);
        return nullptr;
    }
    auto *mp = reinterpret_cast<morvex_MemoryPool *>(pool_obj);
    double best_mine = 1e300, best_theirs = 1e300;
    bool ok = true;
    for (int r = 0; r < reps && ok; ++r) {
        auto t0 = Clock::now();
        for (long i = 0; i < count; ++i) {
            void *p = mp->vtab->alloc(mp, 1, 64);
            if (p == nullptr) {
                ok = false;
                break;
            }
            mp->vtab->free(mp, p);
            if (PyErr_Occurred()) {
                ok = false;
                break;
            }
        }
        best_mine = std::min(best_mine, seconds_since(t0));
        if (!ok)
            break;

        t0 = Clock::now();
        for (long i = 0; i < count; ++i) {
            void *p = PyMem_Malloc(64);
            PyObject *key = p == nullptr ? nullptr : PyLong_FromVoidPtr(p);
            if (key == nullptr || PyDict_SetItem(dict, key, Py_None) < 0 ||
                PyDict_DelItem(dict, key) < 0) {
                Py_XDECREF(key);
                PyMem_Free(p);
                ok = false;
                break;
            }
            Py_DECREF(key);
            PyMem_Free(p);
        }
        best_theirs = std::min(best_theirs, seconds_since(t0));
    }
    const Py_ssize_t left = mp->size;
    Py_DECREF(dict);
    Py_DECREF(pool_obj);
    if (!ok)
        return PyErr_Occurred() ? nullptr : PyErr_Format(PyExc_MemoryError, "allocation failed");
    if (left != 0)
        return PyErr_Format(PyExc_RuntimeError, "the pool still records %zd bytes", left);
    return Py_BuildValue("(dd)", best_mine, best_theirs);
}

// ---- Data.add_row ---------------------------------------------------------------------

// add_row(rows, reps) -> (module_s, reference_s)
// Appends `rows` rows of three ints to a new Data(3) through its method table
// (the returned None released), against three push_backs onto a new
// std::vector<int32_t> per row.  Creating and destroying the tables is not
// timed.
PyObject *add_row(PyObject *, PyObject *args) {
    long rows;
    int reps;
    if (!PyArg_ParseTuple(args, "li", &rows, &reps))
        return nullptr;
    double best_mine = 1e300, best_theirs = 1e300;
    int64_t check = 0;
    for (int r = 0; r < reps; ++r) {
        PyObject *obj = PyObject_CallFunction(reinterpret_cast<PyObject *>(morvex_memory.Data_type), "i", 3);
        if (obj == nullptr)
            return nullptr;
        auto *data = reinterpret_cast<morvex_Data *>(obj);
        int row[3];
        auto t0 = Clock::now();
        for (long i = 0; i < rows; ++i) {
            row[0] = static_cast<int>(i);
            row[1] = static_cast<int>(i) & 1023;
            row[2] = static_cast<int>(i) ^ 0x5555;
            PyObject *res = data->vtab->add_row(data, row);
            if (res == nullptr) {
                Py_DECREF(obj);
                return nullptr;
            }
            Py_DECREF(res);
        }
        best_mine = std::min(best_mine, seconds_since(t0));
        const int32_t *cells = data->cells.begin;
        const size_t ncells = static_cast<size_t>(data->cells.end - data->cells.begin);

        std::vector<int32_t> v;
        t0 = Clock::now();
        for (long i = 0; i < rows; ++i) {
            v.push_back(static_cast<int32_t>(i));
            v.push_back(static_cast<int32_t>(i) & 1023);
            v.push_back(static_cast<int32_t>(i) ^ 0x5555);
        }
        clobber();
        best_theirs = std::min(best_theirs, seconds_since(t0));
        const bool same = ncells == v.size() && std::memcmp(cells, v.data(), v.size() * 4) == 0;
        check += static_cast<int64_t>(v.size());
        Py_DECREF(obj);
        if (!same)
            return PyErr_Format(PyExc_RuntimeError, "Data holds other cells than the reference");
    }
    if (check < 0)
        return nullptr;
    return Py_BuildValue("(dd)", best_mine, best_theirs);
}

PyMethodDef methods[] = {
    {"sort_large", sort_large, METH_VARARGS, nullptr},
    {"sort_small", sort_small, METH_VARARGS, nullptr},
    {"load", load, METH_VARARGS, nullptr},
    {"setup_random", setup_random, METH_VARARGS, nullptr},
    {"draws", draws, METH_VARARGS, nullptr},
    {"pool", pool, METH_VARARGS, nullptr},
    {"add_row", add_row, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_mx_bench", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__mx_bench(void) {
    if (morvex_memory_import() < 0)
        return nullptr;
    return PyModule_Create(&module_def);
}
