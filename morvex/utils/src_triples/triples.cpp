// triples.cpp -- morvex.utils.triples: sorting, deduplicating and searching
// (n, 3) int32 triple tables from Python.
//
// An ordinary consumer of morvex.utils.memory: it includes the public header
// only, fetches the export table with morvex_memory_import() at start and
// reaches the module through that table alone (quick_sort, the five
// orders, load_triple_from_numpy).  From the header-only helpers of
// ../pyhelpers it takes the reference owner, the GIL scopes and the "Python
// exception is set" convention; nothing of the module's own sources.
//
// Results are numpy arrays, made by calling numpy.empty at run time: numpy
// is imported on the first call that needs it, so building this extension
// needs no numpy, and importing it neither.  Every function validates all of
// its inputs, allocates everything it returns, and only then releases the GIL
// for the work proper; a bad input therefore never touches the caller's data.
// The work proper is done by the Python-free units: the parallel sorts
// (parallel.h) and the membership engine (membership.h).  The export table
// is shared with index_type.cpp, which uses it too.
#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#include "../memory.h"
#include "../pyhelpers/mx_py.h"
#include "../kernels/keys.h"
#include "py_edge.h"
#include "rank.h"
#include "membership.h"
#include "parallel.h"
#include "workers.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

namespace {

const char kSourceFile[] = "morvex\\utils\\src_triples\\triples.cpp";

using mx::Ref;
using mx::WithoutGil;
using Triple = morvex_Triple;
namespace par = mx::par;
namespace keys = mx::keys;

using mx::py_edge::edge;
using mx::py_edge::fail;
using mx::py_edge::flag_arg;
using mx::py_edge::new_array;
using mx::py_edge::new_records;
using mx::py_edge::parse_threads;
using mx::py_edge::Table;
using mx::triples::Block;

// ---- orders ------------------------------------------------------------------

// An order (a row of the key kernel's order table), with its exported
// comparison.
struct OrderInfo {
    keys::OrderId id;
    morvex_cmp_type *cmp;  // the exported comparison (a slot of the table)
};

const OrderInfo kOrders[keys::kOrderCount] = {
    {keys::kHeadOrder, &morvex_memory.cmp_head}, {keys::kTailOrder, &morvex_memory.cmp_tail},
    {keys::kRelOrder, &morvex_memory.cmp_rel},   {keys::kRel2Order, &morvex_memory.cmp_rel2},
    {keys::kRel3Order, &morvex_memory.cmp_rel3},
};

// The order for the kernels, which sort through the exported table.
par::Order kernel_order(const OrderInfo &o) { return par::Order{o.id, *o.cmp, morvex_memory.quick_sort}; }

const OrderInfo &parse_order(PyObject *order) {
    if (PyUnicode_Check(order)) {
        for (const OrderInfo &o : kOrders)
            if (PyUnicode_CompareWithASCIIString(order, keys::kOrderTable[o.id].name) == 0)
                return o;
    }
    // the refusal shows what it got, cut short: any object, of any length
    constexpr Py_ssize_t kShown = 60;
    const char *const message = "order must be one of 'head', 'tail', 'rel', 'rel2', 'rel3', not %U%s";
    Ref repr = MX_TAKE(PyObject_Repr(order));
    const Py_ssize_t len = PyUnicode_GetLength(repr.get());
    MX_CHECK(len >= 0);
    if (len <= kShown)
        fail(PyExc_ValueError, message, repr.get(), "");
    Ref cut = MX_TAKE(PyUnicode_Substring(repr.get(), 0, kShown - 3));
    fail(PyExc_ValueError, message, cut.get(), "...");
}

// ---- arguments -----------------------------------------------------------------

const char *const kSortKw[] = {"a", "order", "threads", nullptr};
const char *const kUniqueKw[] = {"a", "order", "return_counts", "threads", nullptr};
const char *const kContainsKw[] = {"known", "queries", "order", "assume_sorted", "threads", nullptr};

PyObject *default_order() {
    static PyObject *head = PyUnicode_InternFromString("head");
    return head;
}

// The arguments every function here takes, parsed and checked in this
// order: one table (two for contains()), the order, a flag after it when
// `flag` names one (return_counts, assume_sorted; False when not given),
// then `threads`.  `format` and `kw` spell them for the parser.
struct Call {
    PyObject *table[2];
    const OrderInfo *order;
    bool flag;
    int threads;
};

Call parse_call(PyObject *args, PyObject *kwds, const char *format, const char *const *kw, int tables,
                const char *flag) {
    PyObject *table[2] = {nullptr, nullptr}, *order_obj = default_order(), *flag_obj = Py_False,
             *threads_obj = Py_None;
    // the parser's destinations in the order of `format`; those it does
    // not name are passed and left alone
    PyObject **to[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    int k = 0;
    for (int t = 0; t < tables; ++t)
        to[k++] = &table[t];
    to[k++] = &order_obj;
    if (flag != nullptr)
        to[k++] = &flag_obj;
    to[k++] = &threads_obj;
    MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char **>(kw), to[0], to[1], to[2], to[3],
                                         to[4]));
    MX_CHECK(order_obj != nullptr);
    Call call{{table[0], table[1]}, &parse_order(order_obj), false, 1};
    if (flag != nullptr)
        call.flag = flag_arg(flag_obj, flag);
    call.threads = parse_threads(threads_obj);
    return call;
}

// ---- functions ---------------------------------------------------------------

PyObject *py_sort(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        const Call arg = parse_call(args, kwds, "O|O$O:sort", kSortKw, 1, nullptr);
        Table t(arg.table[0], "a");
        if (t.readonly())
            fail(PyExc_ValueError, "sort() sorts in place and needs a writable array; "
                 "use sorted_copy() for a read-only one");
        if (!t.is_records())
            fail(PyExc_ValueError, "sort() needs a C-contiguous, aligned (n, 3) int32 array; "
                 "use sorted_copy() for other layouts");
        {
            WithoutGil nogil;
            par::sort_rows(reinterpret_cast<Triple *>(t.data()), size_t(t.rows()), kernel_order(*arg.order),
                           arg.threads);
        }
        return mx::compat::new_ref(arg.table[0]);
    });
}

PyObject *py_sorted_copy(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        const Call arg = parse_call(args, kwds, "O|O$O:sorted_copy", kSortKw, 1, nullptr);
        Table t(arg.table[0], "a");
        Ref out;
        Triple *dst = new_records(t.rows(), out);
        const int threads = par::threads_for(size_t(t.rows()), arg.threads);
        {
            WithoutGil nogil;
            par::SortedCopy split;
            if (threads <= 1 || !split.fill(t.rows_view(), dst, kernel_order(*arg.order), threads)) {
                t.load(dst);
                morvex_memory.quick_sort(dst, static_cast<int>(t.rows()), *arg.order->cmp);
            }
        }
        return out.steal();
    });
}

PyObject *py_unique(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        const Call arg = parse_call(args, kwds, "O|OO$O:unique", kUniqueKw, 1, "return_counts");
        Table t(arg.table[0], "a");
        const Py_ssize_t n = t.rows();
        Block<Triple> tmp(static_cast<size_t>(n));
        Py_ssize_t distinct = 0;
        const int threads = par::threads_for(size_t(n), arg.threads);
        par::SortedCopy split;
        bool parallel = false;
        {
            WithoutGil nogil;
            parallel = threads > 1 && split.fill(t.rows_view(), tmp.get(), kernel_order(*arg.order), threads, true);
            if (parallel) {
                distinct = static_cast<Py_ssize_t>(split.distinct());
            } else {
                t.load(tmp.get());
                morvex_memory.quick_sort(tmp.get(), static_cast<int>(n), *arg.order->cmp);
                distinct = static_cast<Py_ssize_t>(par::distinct_rows(tmp.get(), size_t(n)));
            }
        }
        Ref out, counts;
        Triple *rows = new_records(distinct, out);
        void *count_data = nullptr;
        if (arg.flag)
            counts = new_array(distinct, 0, "intp", &count_data);
        {
            WithoutGil nogil;
            Py_ssize_t *c = static_cast<Py_ssize_t *>(count_data);
            if (parallel)
                split.write_distinct(rows, c);
            else
                par::write_distinct_counted(tmp.get(), size_t(n), rows, c);
        }
        if (!arg.flag)
            return out.steal();
        return MX_TAKE(PyTuple_Pack(2, out.get(), counts.get())).steal();
    });
}

PyObject *py_contains(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        const Call arg = parse_call(args, kwds, "OO|OO$O:contains", kContainsKw, 2, "assume_sorted");
        Table known(arg.table[0], "known");
        Table queries(arg.table[1], "queries");
        void *data = nullptr;
        Ref out = new_array(queries.rows(), 0, "bool", &data);
        {
            WithoutGil nogil;
            Block<Triple> copy;
            mx::triples::membership(known.rows_view(), queries.records(copy), queries.rows(), kernel_order(*arg.order),
                                    arg.flag, static_cast<bool *>(data), arg.threads);
        }
        return out.steal();
    });
}

// ---- module ------------------------------------------------------------------

#define MX_THREADS_DOC                                                                  \
    "`threads` is how many threads may work on it: None (the default) for every\n"      \
    "CPU the process may run on, at most MORVEX_NUM_THREADS when that is set;\n"        \
    "1 for the calling thread alone.  Small inputs stay on the calling thread.\n"       \
    "The result is the same for any number of threads.\n"

// For the tests: (the threads a call uses by default, the workers started
// so far); a limit on how many more workers may start; the rows per thread
// below which fewer threads work (returns the previous value).
PyObject *py_workers(PyObject *, PyObject *) {
    return Py_BuildValue("(ii)", mx::workers::default_threads(), mx::workers::started());
}

PyObject *py_limit_worker_starts(PyObject *, PyObject *arg) {
    return edge([&] {
        const long allowed = PyLong_AsLong(arg);
        MX_CHECK(!(allowed == -1 && PyErr_Occurred()));
        mx::workers::limit_starts(allowed < 0 ? -1 : static_cast<int>(std::min<long>(allowed, INT_MAX)));
        return mx::compat::new_ref(Py_None);
    });
}

PyObject *py_set_rows_per_thread(PyObject *, PyObject *arg) {
    return edge([&] {
        const Py_ssize_t rows = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
        MX_CHECK(!(rows == -1 && PyErr_Occurred()));
        return PyLong_FromSize_t(par::set_rows_per_thread(size_t(std::max<Py_ssize_t>(rows, 1))));
    });
}

PyMethodDef methods[] = {
    {"sort", MX_KW(py_sort),
     "sort(a, order='head', *, threads=None)\n--\n\n"
     "Sort the rows of `a` in place under `order` and return `a`.\n\n"
     "`a` must be a writable, C-contiguous (n, 3) int32 array; use sorted_copy()\n"
     "for any other layout.  `order` is one of 'head' (head, relation, tail),\n"
     "'tail' (tail, relation, head), 'rel' (head, tail, relation), 'rel2'\n"
     "(relation, head, tail) and 'rel3' (relation, tail, head).\n\n"
     MX_THREADS_DOC "The GIL is released while sorting.  Other threads that write or sort `a`\n"
     "meanwhile leave its order unspecified, but the sort stays inside `a` and\n"
     "returns."},
    {"sorted_copy", MX_KW(py_sorted_copy),
     "sorted_copy(a, order='head', *, threads=None)\n--\n\n"
     "Return a new (n, 3) int32 array holding the first three columns of `a`,\n"
     "sorted under `order`.\n\n"
     "`a` is any two-dimensional int32 buffer with at least three columns, in\n"
     "any layout (strided, Fortran-ordered, with extra columns).\n\n"
     MX_THREADS_DOC "The GIL is released while copying and sorting."},
    {"unique", MX_KW(py_unique),
     "unique(a, order='head', return_counts=False, *, threads=None)\n--\n\n"
     "Return the distinct rows of `a` (its first three columns) as a new\n"
     "(k, 3) int32 array sorted under `order`; with `return_counts`, a tuple\n"
     "of that array and the number of times each row occurs (intp).\n\n"
     MX_THREADS_DOC "The GIL is released while working."},
    {"contains", MX_KW(py_contains),
     "contains(known, queries, order='head', assume_sorted=False, *, threads=None)\n--\n\n"
     "Return a bool array telling for each row of `queries` whether it occurs\n"
     "in `known` (first three columns of both).\n\n"
     "`known` is never copied whole: only its rows that may match a query are\n"
     "gathered and sorted, and the memory taken grows with the queries, never\n"
     "with `known`.  With `assume_sorted`, `known` is trusted to be\n"
     "sorted under `order` and they are not sorted again (a wrong promise\n"
     "gives wrong answers, never a crash).\n\n"
     MX_THREADS_DOC "The GIL is released while working."},
    {"_workers", py_workers, METH_NOARGS, nullptr},
    {"_limit_worker_starts", py_limit_worker_starts, METH_O, nullptr},
    {"_set_rows_per_thread", py_set_rows_per_thread, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "morvex.utils.triples",
    "Sorting, deduplicating and searching (n, 3) int32 triple tables.\n\n"
    "A Python front end to the sort of morvex.utils.memory; results are numpy arrays.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

MX_MODINIT_FUNC PyInit_triples(void) {
    if (morvex_memory_import() < 0)
        return nullptr;
    PyObject *module = PyModule_Create(&module_def);
    if (module != nullptr &&
        (mx::py_edge::add_index_type(module) < 0 || mx::py_edge::add_rank_functions(module) < 0 ||
         mx::py_edge::add_label_types(module) < 0))
        Py_CLEAR(module);
    return module;
}