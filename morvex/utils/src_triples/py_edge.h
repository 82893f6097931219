// py_edge.h -- what the Python functions and types of morvex.utils.triples
// share at the edge with Python: the edge and its errors, the arguments
// they take (`threads`, ints, flags), the tables they read (two-dimensional
// int32 buffers in any layout) and the numpy arrays they return.  The work
// itself is done by the Python-free units, on the views and arrays made
// here.
#pragma once

#include "../memory.h"
#include "../pyhelpers/mx_py.h"
#include "block.h"
#include "parallel.h"
#include "workers.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

// A method table entry's function and flags for a function taking
// (self, args, kwds).
#define MX_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)), METH_VARARGS | METH_KEYWORDS

namespace mx {
namespace py_edge {

constexpr char kSourceFile[] = "morvex\\utils\\src_triples\\py_edge.h";

using mx::Ref;
using mx::triples::Block;
using mx::triples::NoMemory;
using Triple = morvex_Triple;
namespace par = mx::par;

static_assert(std::is_same<Py_ssize_t, ptrdiff_t>::value, "counts are written as ptrdiff_t");


// ---- edges -------------------------------------------------------------------

// The edge of every function Python calls: the layer's, adding no traceback
// entries; an allocation failure of ours names its byte count.
constexpr mx::EdgeRules kTriplesEdge{nullptr, "morvex.utils.triples: unexpected C++ exception"};

template <class F>
inline PyObject *edge(F &&body) {
    return mx::edge(kTriplesEdge, nullptr, mx::kUntraced, std::forward<F>(body));
}

// The edge of a slot or function returning an int (-1 on failure).
template <class F>
inline int int_edge(F &&body) {
    return mx::edge(kTriplesEdge, nullptr, mx::kUntraced, std::forward<F>(body));
}

template <class... A>
[[noreturn]] void fail(PyObject *type, const char *format, A... args) {
    PyErr_Format(type, format, args...);
    MX_FAIL();
}

// An int argument: anything with __index__ (numpy's integers too) but a
// bool, as a Python int; else a TypeError saying that `arg` must be `takes`.
inline Ref int_arg(PyObject *obj, const char *arg, const char *takes) {
    PyObject *value = PyBool_Check(obj) || !PyIndex_Check(obj) ? nullptr : PyNumber_Index(obj);
    if (value == nullptr) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError))
            MX_FAIL();
        PyErr_Clear();
        fail(PyExc_TypeError, "%s must be %s, not '%.200s'", arg, takes, Py_TYPE(obj)->tp_name);
    }
    return Ref::take(value);
}

// The value of an int from int_arg, when it lies in [lo, hi]; else a
// ValueError saying that `arg` must be in `range`, with the value given.
inline long long int_in(const Ref &value, long long lo, long long hi, const char *arg, const char *range) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    MX_CHECK(!(v == -1 && PyErr_Occurred()));
    if (overflow != 0 || v < lo || v > hi)
        fail(PyExc_ValueError, "%s must be in %s, got %S", arg, range, value.get());
    return v;
}

// The `threads` argument: None for the default (see workers.h), else a
// positive integer, of which at most workers::kMaxThreads count.
inline int parse_threads(PyObject *threads) {
    if (threads == Py_None)
        return mx::workers::default_threads();
    const Ref value = int_arg(threads, "threads", "None or a positive int");
    const Py_ssize_t n = PyNumber_AsSsize_t(value.get(), nullptr);  // clamped on overflow
    MX_CHECK(!(n == -1 && PyErr_Occurred()));
    if (n < 1)
        fail(PyExc_ValueError, "threads must be None or a positive int, got %S", value.get());
    return static_cast<int>(std::min<Py_ssize_t>(n, mx::workers::kMaxThreads));
}

// Whether `obj` is the str `text`; any other object is not.
inline bool is_ascii(PyObject *obj, const char *text) {
    return PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// numpy's bool type, fetched on first use and kept: the module is never
// unloaded.
inline PyObject *numpy_bool = nullptr;

// A flag argument: True or False, numpy's bools, or an int 0 or 1.  Anything
// else is refused, so that a string such as "no" is never taken as true.
inline bool flag_arg(PyObject *obj, const char *arg) {
    if (PyBool_Check(obj))
        return obj == Py_True;
    if (numpy_bool == nullptr) {
        Ref numpy = MX_TAKE(PyImport_ImportModule("numpy"));
        numpy_bool = MX_TAKE(PyObject_GetAttrString(numpy.get(), "bool_")).steal();
    }
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(numpy_bool))) {
        const int truth = PyObject_IsTrue(obj);
        MX_CHECK(truth >= 0);
        return truth != 0;
    }
    const Ref value = int_arg(obj, arg, "True or False");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    MX_CHECK(!(v == -1 && PyErr_Occurred()));
    if (overflow != 0 || (v != 0 && v != 1))
        fail(PyExc_ValueError, "%s must be True or False, got %S", arg, value.get());
    return v == 1;
}

// ---- tables ------------------------------------------------------------------

// An object's buffer (any layout, read-only), released when this goes, also
// when the constructor of its holder throws; `ok` is false, with the Python
// exception set, when the object exports none.  Kept by a thread the
// interpreter ends at exit (mx_py.h).
struct HeldBuffer {
    explicit HeldBuffer(PyObject *obj) : ok(PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) == 0) {}
    ~HeldBuffer() noexcept(false) {
        if (ok && mx::holds_gil())
            PyBuffer_Release(&view);
    }
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    Py_buffer view{};
    bool ok;
};

// A two-dimensional int32 buffer of at least three columns, held for the
// object's lifetime.  Everything that can refuse it is checked here, with
// the GIL held; the work on it, without the GIL, raises nothing.
class Table {
public:
    // `columns`: the fewest columns the table may have (3 for triples, 2 for
    // pairs); the work reads that many.
    Table(PyObject *obj, const char *arg, int columns = 3) : held_(obj) {
        if (!held_.ok) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError))
                MX_FAIL();
            PyErr_Clear();
            fail(PyExc_TypeError, "%s must export a two-dimensional int32 buffer, such as a numpy array; "
                 "got '%.200s'", arg, Py_TYPE(obj)->tp_name);
        }
        check_items(arg);
        if (view_.ndim != 2)
            fail(PyExc_ValueError, "%s must be two-dimensional with at least %d columns, got %d dimension%s",
                 arg, columns, view_.ndim, view_.ndim == 1 ? "" : "s");
        if (view_.shape == nullptr)
            fail(PyExc_ValueError, "%s exports a buffer without a shape", arg);
        if (view_.shape[1] < columns)
            fail(PyExc_ValueError, "%s must be two-dimensional with at least %d columns, got shape (%zd, %zd)",
                 arg, columns, view_.shape[0], view_.shape[1]);
        if (view_.shape[0] > INT_MAX)
            fail(PyExc_OverflowError, "%s has %zd rows; at most %d are supported", arg, view_.shape[0], INT_MAX);
        if (view_.shape[0] < 0)
            fail(PyExc_ValueError, "%s exports a buffer with a negative row count (%zd)", arg, view_.shape[0]);
        if (view_.suboffsets != nullptr && (view_.suboffsets[0] >= 0 || view_.suboffsets[1] >= 0))
            fail(PyExc_ValueError, "%s exports an indirect buffer (with suboffsets), which cannot be read "
                 "directly; copy it into an array first", arg);
        rows_ = view_.shape[0];
        // a buffer without strides is in C order
        step_[0] = view_.strides ? view_.strides[0] : 4 * view_.shape[1];
        step_[1] = view_.strides ? view_.strides[1] : 4;
        // The loader's slice, made by the header's helper now, with the GIL
        // held, since its checks raise.  The checks above refuse all that it
        // refuses but for columns sharing one item (a column step of 0, as
        // broadcasting makes), which it refuses because the loader reads that
        // step as 4: such a table is read here item by item instead.
        if (step_[1] != 0 && columns >= 3)
            MX_CHECK(morvex_memviewslice_from_buffer(&view_, &slice_) == 0);
    }

    Py_ssize_t rows() const { return rows_; }
    par::Rows rows_view() const { return par::Rows{data(), step_[0], step_[1], size_t(rows_), is_records()}; }
    bool readonly() const { return view_.readonly != 0; }
    char *data() const { return static_cast<char *>(view_.buf); }

    // Whether the rows are `Triple` records already: C-contiguous (n, 3),
    // suitably aligned.
    bool is_records() const {
        return view_.shape[1] == 3 && step_[1] == 4 && (rows_ <= 1 || step_[0] == 12) &&
               reinterpret_cast<uintptr_t>(view_.buf) % alignof(Triple) == 0;
    }

    // Copies the first three columns of every row to out[0, rows).  Called
    // without the GIL.
    void load(Triple *out) const {
        if (rows_ == 0)
            return;
        // The exported loader reads the items of a row 4 bytes apart, from
        // aligned rows.  Its only paths that touch the interpreter (a null
        // destination, fewer than three columns) are excluded above, so it
        // runs without the GIL here.
        if (step_[1] == 4 && step_[0] % 4 == 0 && reinterpret_cast<uintptr_t>(view_.buf) % 4 == 0) {
            morvex_memory.load_triple_from_numpy(out, slice_);
            return;
        }
        const par::Rows r = rows_view();
        for (size_t i = 0; i < r.n; ++i)
            out[i] = r.row(i);
    }

    // The rows as records: the table's own when it holds records, else a
    // copy of them made in `copy`.  Called without the GIL.
    const Triple *records(Block<Triple> &copy) const {
        if (is_records())
            return reinterpret_cast<const Triple *>(data());
        copy = Block<Triple>(size_t(rows_));
        load(copy.get());
        return copy.get();
    }

private:
    // The item formats the header's helper takes for int32: "i" bare or
    // after "@", "=" or a mark of this machine's byte order; "l" after a
    // mark of standard sizes ("=", "<", ">", "!"), bare or after "@" only
    // where a C long has four bytes (numpy spells int32 so there).
    void check_items(const char *arg) const {
        const char *f = view_.format ? view_.format : "B";
        const char mark = (*f != '\0' && std::strchr("@=<>!", *f)) ? *f : 0;
        const char *code = mark ? f + 1 : f;
        const bool standard = mark != 0 && mark != '@';
        if (view_.itemsize != 4 ||
            (std::strcmp(code, "i") != 0 && !(std::strcmp(code, "l") == 0 && (standard || sizeof(long) == 4))))
            fail(PyExc_TypeError, "%s must hold int32 values, got buffer format '%s' (%zd-byte items)", arg, f,
                 view_.itemsize);
        const bool big = mark == '>' || mark == '!';
        if ((big || mark == '<') && big == static_cast<bool>(PY_LITTLE_ENDIAN))
            fail(PyExc_TypeError, "%s must hold int32 values in native byte order, got buffer format '%s' "
                 "(%s-endian)", arg, f, big ? "big" : "little");
    }

    HeldBuffer held_;
    Py_buffer &view_ = held_.view;
    Py_ssize_t rows_ = 0;
    Py_ssize_t step_[2] = {0, 0};
    morvex_memviewslice slice_{};  // unset when the column step is 0
};

// ---- results -----------------------------------------------------------------

// numpy.empty, fetched on first use and kept: the module is never unloaded.
inline PyObject *numpy_empty = nullptr;

// A new C-contiguous numpy array of `rows` x `cols` items (one-dimensional
// when cols is 0) of `dtype`; *data receives its first item.
inline Ref new_array(Py_ssize_t rows, Py_ssize_t cols, const char *dtype, void **data) {
    if (numpy_empty == nullptr) {
        Ref numpy = MX_TAKE(PyImport_ImportModule("numpy"));
        numpy_empty = MX_TAKE(PyObject_GetAttrString(numpy.get(), "empty")).steal();
    }
    Ref shape = MX_TAKE(cols ? Py_BuildValue("(nn)", rows, cols) : Py_BuildValue("(n)", rows));
    Ref array = MX_TAKE(PyObject_CallFunction(numpy_empty, "Os", shape.get(), dtype));
    Py_buffer view;
    MX_CHECK(PyObject_GetBuffer(array.get(), &view, PyBUF_CONTIG) == 0);
    *data = view.buf;  // stays valid while we own the array: nothing can resize it
    PyBuffer_Release(&view);
    return array;
}

inline Triple *new_records(Py_ssize_t rows, Ref &array) {
    void *data = nullptr;
    array = new_array(rows, 3, "int32", &data);
    return static_cast<Triple *>(data);
}

// Adds the class Index (index_type.cpp) to the module; -1 with an exception set
// on failure.
int add_index_type(PyObject *module);

// Adds Vocabulary, LabeledTriples, read_labeled() and write_labeled()
// (labels_type.cpp) to the module; -1 with an exception set on failure.
int add_label_types(PyObject *module);

}  // namespace py_edge
}  // namespace mx
