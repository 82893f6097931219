// buffers.cpp -- buffers and triple data: the raw cell block Memory, the row
// table Data with its buffer export and native add_row, the DataStruct
// initialiser and the triple loader.
#include "internal.h"

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace mx {

static const char kSourceFile[] = "morvex\\utils\\src\\buffers.cpp";

namespace {

// Cells of Memory and Data are four bytes wide.
constexpr long long kCellBytes = 4;

// The most cells a Data table holds in all, and the widest row it accepts:
// consumers index the table with 32-bit integers.
constexpr long long kMaxCells = std::numeric_limits<int32_t>::max();

// The index protocol, to a signed 64-bit value; errors are the interpreter's.
long long index_to_i64(Borrowed arg, PyErrOccurred where) {
    Ref index = take(PyNumber_Index(arg.get()), where);
    long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred())
        throw where;
    return value;
}

// ---- Memory ------------------------------------------------------------------------

// The byte size of `number` cells.  A negative count, or one whose byte size
// does not fit the allocator's signed size, is refused here (false) exactly as
// the allocator refuses it, so a wrapped product never reaches the allocator.
bool cell_bytes(long long number, size_t *bytes) {
    long long product = 0;
    if (number < 0 || __builtin_mul_overflow(number, kCellBytes, &product) ||
        static_cast<unsigned long long>(product) > static_cast<unsigned long long>(PY_SSIZE_T_MAX))
        return false;
    *bytes = static_cast<size_t>(product);
    return true;
}

// A failed construction frees nothing: ptr is still null.
PyObject *memory_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return construct<morvex_Memory>(type, "morvex.utils.memory.Memory.__cinit__", MX_HERE,
                                    [&](morvex_Memory *self) {
        long long number = index_to_i64(parse_one_arg(args, kwds, g.s_number, MX_HERE), MX_HERE);
        size_t bytes = 0;
        void *p = cell_bytes(number, &bytes) ? PyMem_Malloc(bytes) : nullptr;
        if (p == nullptr) {
            PyErr_NoMemory();
            MX_FAIL();
        }
        self->ptr = p;
    });
}

void memory_dealloc(PyObject *o) {
    morvex_Memory *self = reinterpret_cast<morvex_Memory *>(o);
    if (compat::finalizer_resurrected(o, memory_dealloc))
        return;
    release_keeping_error(o, [self] {
        PyMem_Free(self->ptr);
        self->ptr = nullptr;
    });
    Py_TYPE(o)->tp_free(o);
}

PyObject *memory_resize(PyObject *o, PyObject *arg) {
    morvex_Memory *self = reinterpret_cast<morvex_Memory *>(o);
    return edge(kModuleEdge, "morvex.utils.memory.Memory.resize", MX_HERE, [&] {
        long long number = index_to_i64(arg, MX_HERE);
        size_t bytes = 0;
        void *p = cell_bytes(number, &bytes) ? PyMem_Realloc(self->ptr, bytes) : nullptr;
        if (p == nullptr) {
            PyErr_NoMemory();  // the old block stays, unchanged
            MX_FAIL();
        }
        self->ptr = p;
        Py_RETURN_NONE;
    });
}

MX_PICKLE_REFUSAL(Memory, pickle_cinit)

PyMethodDef memory_methods[] = {
    {"resize", (PyCFunction)memory_resize, METH_O, nullptr},
    MX_PICKLE_METHODS(Memory),
    {nullptr, nullptr, 0, nullptr},
};

// ---- Data ----------------------------------------------------------------------------

// The row store lives in the object's `cells` member; consumers built against
// memory.h see its three pointers as morvex_int_store.
using Cells = std::vector<int32_t>;
static_assert(sizeof(Cells) == sizeof(morvex_int_store), "row store size");
static_assert(alignof(Cells) <= alignof(morvex_int_store), "row store alignment");

Cells &cells_of(morvex_Data *self) {
    return *std::launder(reinterpret_cast<Cells *>(&self->cells));
}

#ifndef NDEBUG
// The store's three pointers are begin, end and end of capacity, in this
// order, as memory.h promises consumers.
bool store_matches(morvex_Data *self) {
    const Cells &v = cells_of(self);
    int32_t *raw[3];
    std::memcpy(raw, &self->cells, sizeof raw);
    return raw[0] == v.data() && raw[1] == v.data() + v.size() &&
           raw[2] == v.data() + v.capacity();
}
#endif

// ncols is checked once, here: a negative width has no meaningful shape or
// row size, and a width above 2^31 - 1 could never hold a single row (and
// would overflow the row stride), so both are refused at construction rather
// than left to surface later in add_row or a buffer export.
// The table and its store exist before anything can fail, so that a failed
// construction is released by the ordinary dealloc.
PyObject *data_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return construct<morvex_Data>(type, "morvex.utils.memory.Data.__cinit__", MX_HERE,
                                  [&](morvex_Data *self) {
        self->vtab = &data_vtable;
        new (&self->cells) Cells();
        assert(store_matches(self));
        long long ncols = index_to_i64(parse_one_arg(args, kwds, g.s_ncols, MX_HERE), MX_HERE);
        if (ncols < 0)
            raise_args(g.b_ValueError, g.t_ncols_negative, MX_HERE);
        if (ncols > kMaxCells)
            raise_args(PyExc_OverflowError, g.t_ncols_too_large, MX_HERE);
        self->ncols = static_cast<Py_ssize_t>(ncols);
        self->view_count = 0;
    });
}

void data_dealloc(PyObject *o) {
    morvex_Data *self = reinterpret_cast<morvex_Data *>(o);
    if (compat::finalizer_resurrected(o, data_dealloc))
        return;
    cells_of(self).~Cells();  // touches no Python state
    Py_TYPE(o)->tp_free(o);
}

// What each request gets follows its flags, as for any contiguous block:
// the table's own memory, always writable and in row order, so a request
// for Fortran order can be met only while that order is the same one (at
// most one row or one column).  Without PyBUF_ND the request is for a flat
// block: one dimension, no shape, and, without PyBUF_FORMAT too, items of one
// byte (what such consumers assume, and what they check).  Without
// PyBUF_STRIDES there are no strides; without PyBUF_FORMAT no format, and a
// shaped view keeps its item size of 4.
// A null view is refused before the buffer's own code runs, so its error
// carries no traceback entry.
int data_getbuffer(PyObject *o, Py_buffer *view, int flags) {
    morvex_Data *self = reinterpret_cast<morvex_Data *>(o);
    return edge(kModuleEdge, "morvex.utils.memory.Data.__getbuffer__", MX_HERE, [&] {
        if (view == nullptr)
            raise_args(PyExc_BufferError, g.t_getbuffer_null_view, kUntraced);
        view->obj = nullptr;
        const Py_ssize_t ncols = self->ncols;
        if (ncols == 0)
            raise_args(PyExc_ZeroDivisionError, g.t_float_division, MX_HERE);
        if (ncols < 0)  // only reachable if a consumer rewrote the member
            raise_args(g.b_ValueError, g.t_ncols_negative, MX_HERE);
        Cells &v = cells_of(self);
        const Py_ssize_t count = static_cast<Py_ssize_t>(v.size());
        self->shape[0] = count / ncols;
        self->shape[1] = ncols;
        self->strides[0] = ncols * static_cast<Py_ssize_t>(sizeof(int32_t));
        self->strides[1] = static_cast<Py_ssize_t>(sizeof(int32_t));
        if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && self->shape[0] > 1 && ncols > 1)
            raise_args(PyExc_BufferError, g.t_not_fortran, MX_HERE);
        const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
        const bool format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
        view->buf = v.data();
        view->len = count * static_cast<Py_ssize_t>(sizeof(int32_t));
        view->itemsize = nd || format ? static_cast<Py_ssize_t>(sizeof(int32_t)) : 1;
        view->readonly = 0;
        view->ndim = nd ? 2 : 1;
        view->format = format ? const_cast<char *>("i") : nullptr;
        view->shape = nd ? self->shape : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? self->strides : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        view->obj = compat::new_ref(o);
        self->view_count += 1;
        return 0;
    });
}

void data_releasebuffer(PyObject *o, Py_buffer *) {
    reinterpret_cast<morvex_Data *>(o)->view_count -= 1;
}

// A failed growth becomes the Python exception add_row reports, carrying the
// store's own message (the edge would give a bare MemoryError), unless one is
// already pending.
[[noreturn]] void growth_failed(const char *message, PyObject *type, PyErrOccurred where) {
    if (!PyErr_Occurred())
        PyErr_SetString(type, message);
    throw where;
}

// The hot path of table building: one check, one append of ncols ints into
// the store's spare capacity (no zero fill first), and None.
PyObject *data_add_row(morvex_Data *self, int *row) {
    return edge(kModuleEdge, "morvex.utils.memory.Data.add_row", MX_HERE, [&] {
        if (self->view_count > 0)
            raise_args(g.b_ValueError, g.t_row_while_viewed, MX_HERE);
        Cells &v = cells_of(self);
        const Py_ssize_t ncols = self->ncols;
        if (ncols > 0) {
            // The table never passes 2^31 - 1 cells; a row that would take it
            // past is refused and nothing changes.
            if (ncols > kMaxCells - static_cast<long long>(v.size()))
                raise_args(PyExc_OverflowError, g.t_table_full, MX_HERE);
            const int32_t *first = reinterpret_cast<const int32_t *>(row);
            if (v.capacity() - v.size() >= static_cast<size_t>(ncols)) {
                // the usual case: appends that cannot reallocate, so cannot
                // fail (a ranged insert costs a library call or two more)
                for (Py_ssize_t j = 0; j < ncols; ++j)
                    v.push_back(first[j]);
                assert(store_matches(self));
                Py_RETURN_NONE;
            }
            try {
                // Inserting at the end either succeeds or leaves the store as it was.
                v.insert(v.end(), first, first + ncols);
            } catch (const std::bad_alloc &e) {
                growth_failed(e.what(), PyExc_MemoryError, MX_HERE);
            } catch (const std::length_error &e) {
                growth_failed(e.what(), PyExc_RuntimeError, MX_HERE);
            }
            assert(store_matches(self));
        }
        Py_RETURN_NONE;
    });
}

MX_PICKLE_REFUSAL(Data, pickle_cinit)

PyMethodDef data_methods[] = {
    MX_PICKLE_METHODS(Data),
    {nullptr, nullptr, 0, nullptr},
};

PyBufferProcs data_buffer_procs = {data_getbuffer, data_releasebuffer};

// ---- triple loader ------------------------------------------------------------------

void raise_column_out_of_bounds() {
    PyErr_Format(g.b_IndexError, "Out of bounds on buffer access (axis %d)", 1);
    report_unraisable("morvex.utils.memory.load_triple_from_numpy");
}

}  // namespace

morvex_Data_vtable data_vtable = {data_add_row};

PyTypeObject MemoryType = [] {
    PyTypeObject t = compat::blank_type("morvex.utils.memory.Memory", sizeof(morvex_Memory));
    t.tp_doc =
        "Memory(number): a block of `number` four-byte cells taken from PyMem_Malloc, which\n"
        "resize(number) grows or shrinks keeping the cells that fit.  Compiled consumers\n"
        "read the block through `morvex_Memory` in morvex/utils/memory.h (Cython: `Memory`\n"
        "in morvex/utils/memory.pxd).";
    t.tp_dealloc = memory_dealloc;
    t.tp_flags = MX_TPFLAGS;
    t.tp_methods = memory_methods;
    t.tp_new = memory_new;
    return t;
}();

PyTypeObject DataType = [] {
    PyTypeObject t = compat::blank_type("morvex.utils.memory.Data", sizeof(morvex_Data));
    t.tp_doc =
        "Data(ncols): a growable table of int32 rows, `ncols` wide, that Python and numpy\n"
        "read and write through the buffer protocol (a writable (rows, ncols) buffer of\n"
        "format \"i\").  Compiled consumers append rows with the native add_row, through\n"
        "the method table; the layout is `morvex_Data` in morvex/utils/memory.h (Cython:\n"
        "`Data` in morvex/utils/memory.pxd).";
    t.tp_dealloc = data_dealloc;
    t.tp_as_buffer = &data_buffer_procs;
    t.tp_flags = MX_TPFLAGS;
    t.tp_methods = data_methods;
    t.tp_new = data_new;
    return t;
}();

void initializeData(morvex_DataStruct *data) {
    std::memset(data->arrays, 0, sizeof data->arrays);
    std::memset(data->tables, 0, sizeof data->tables);
    data->count = 0;  // `user` is the caller's and stays as it is
}

// Copies head, relation and tail of every row; further columns are skipped.
// Item (i, j) lies at data + i * strides[0] + j * strides[1], so Fortran-
// ordered, transposed and column-strided tables load as they read; a column
// step of 0 is taken as the item size, which keeps slices made by hand that
// leave it unset working.  The row count is the 32-bit value of the table's
// first extent, so a table of 2^31 rows or more loads whatever that count says
// (nothing when it is negative).  A null destination is announced on the C
// standard output and nothing is written.
void load_triple_from_numpy(morvex_Triple *ptr, morvex_memviewslice table) {
    if (ptr == nullptr) {
        std::printf("ptr is NULL!\n");
        std::fflush(stdout);
        return;
    }
    const int n = static_cast<int>(table.shape[0]);
    if (n <= 0)
        return;
    const Py_ssize_t ncols = table.shape[1];
    const Py_ssize_t step = table.strides[0];
    const Py_ssize_t column_step = table.strides[1] != 0 ? table.strides[1] : Py_ssize_t{kCellBytes};
    const char *data = table.data;
    char *out = reinterpret_cast<char *>(ptr);
    if (ncols >= 3 && column_step != kCellBytes) {
        for (int i = 0; i < n; ++i) {
            const char *row = data + static_cast<Py_ssize_t>(i) * step;
            morvex_Triple &t = ptr[i];
            std::memcpy(&t.head, row, sizeof(int32_t));
            std::memcpy(&t.relation, row + column_step, sizeof(int32_t));
            std::memcpy(&t.tail, row + 2 * column_step, sizeof(int32_t));
        }
        return;
    }
    if (ncols >= 3) {
        // Rows are runs of consecutive items from here on.
        int i = 0;
        if (step == static_cast<Py_ssize_t>(sizeof(morvex_Triple))) {
            // rows are packed triples: one copy
            std::memcpy(out, data, static_cast<size_t>(n) * sizeof(morvex_Triple));
            return;
        }
        if (ncols >= 4) {
            // A fourth column exists, so each row can be moved as one 16-byte
            // block; its last four bytes land on the next record's head and are
            // overwritten by the next row.  The last record takes 12 bytes.
            for (; i < n - 1; ++i) {
                char block[16];
                std::memcpy(block, data + static_cast<Py_ssize_t>(i) * step, sizeof block);
                std::memcpy(out + static_cast<size_t>(i) * sizeof(morvex_Triple), block,
                            sizeof block);
            }
        }
        for (; i < n; ++i)
            std::memcpy(out + static_cast<size_t>(i) * sizeof(morvex_Triple),
                        data + static_cast<Py_ssize_t>(i) * step, sizeof(morvex_Triple));
        return;
    }
    // Too few columns: the first record gets the fields whose columns exist,
    // then the missing column is reported.
    if (ncols >= 1)
        std::memcpy(&ptr->head, data, sizeof(int32_t));
    if (ncols >= 2)
        std::memcpy(&ptr->relation, data + column_step, sizeof(int32_t));
    raise_column_out_of_bounds();
}

MX_CHECK_EXPORT_TABLE()

}  // namespace mx
