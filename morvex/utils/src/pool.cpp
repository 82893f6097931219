// pool.cpp -- memory management: the allocator boxes PyMalloc and PyFree,
// the MemoryPool that owns blocks and references for its holder, and the
// typed array helpers that replace a caller's array with a fresh pool block.
#include "internal.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace mx {

static const char kSourceFile[] = "morvex\\utils\\src\\pool.cpp";

// ---- allocator boxes -----------------------------------------------------------

namespace {

void pymalloc_set_func(morvex_PyMalloc *self, morvex_malloc_t func) { self->malloc_func = func; }
void pyfree_set_func(morvex_PyFree *self, morvex_free_t func) { self->free_func = func; }

// Arguments are accepted and ignored; failures add no traceback entry.
template <class Box, class VTable, VTable *Table>
PyObject *box_new(PyTypeObject *type, PyObject *, PyObject *) {
    return edge(kModuleEdge, nullptr, kUntraced, [&] {
        Ref self = alloc_instance(type);
        reinterpret_cast<Box *>(self.get())->vtab = Table;
        return self.steal();
    });
}

void plain_dealloc(PyObject *o) {
    if (compat::finalizer_resurrected(o, plain_dealloc))
        return;
    Py_TYPE(o)->tp_free(o);
}

MX_PICKLE_REFUSAL(PyMalloc, pickle_malloc)
MX_PICKLE_REFUSAL(PyFree, pickle_free)
PyMethodDef pymalloc_methods[] = {MX_PICKLE_METHODS(PyMalloc), {nullptr, nullptr, 0, nullptr}};
PyMethodDef pyfree_methods[] = {MX_PICKLE_METHODS(PyFree), {nullptr, nullptr, 0, nullptr}};

}  // namespace

morvex_PyMalloc_vtable pymalloc_vtable = {pymalloc_set_func};
morvex_PyFree_vtable pyfree_vtable = {pyfree_set_func};

PyTypeObject PyMallocType = [] {
    PyTypeObject t = compat::blank_type("morvex.utils.memory.PyMalloc", sizeof(morvex_PyMalloc));
    t.tp_doc =
        "A box holding an allocation function for a MemoryPool (Default_Malloc holds\n"
        "PyMem_Malloc).  Compiled consumers make one with WrapMalloc or set its function\n"
        "with the native set_func; see `morvex_PyMalloc` in morvex/utils/memory.h\n"
        "(Cython: `PyMalloc` in morvex/utils/memory.pxd).";
    t.tp_dealloc = plain_dealloc;
    t.tp_flags = MX_TPFLAGS;
    t.tp_methods = pymalloc_methods;
    t.tp_new = box_new<morvex_PyMalloc, morvex_PyMalloc_vtable, &pymalloc_vtable>;
    return t;
}();

PyTypeObject PyFreeType = [] {
    PyTypeObject t = compat::blank_type("morvex.utils.memory.PyFree", sizeof(morvex_PyFree));
    t.tp_doc =
        "A box holding a release function for a MemoryPool (Default_Free holds\n"
        "PyMem_Free).  Compiled consumers make one with WrapFree or set its function with\n"
        "the native set_func; see `morvex_PyFree` in morvex/utils/memory.h (Cython:\n"
        "`PyFree` in morvex/utils/memory.pxd).";
    t.tp_dealloc = plain_dealloc;
    t.tp_flags = MX_TPFLAGS;
    t.tp_methods = pyfree_methods;
    t.tp_new = box_new<morvex_PyFree, morvex_PyFree_vtable, &pyfree_vtable>;
    return t;
}();

// Creates a box of `type` as a call of the class would, then gives it `fn`
// through its method table.
template <class Box, class Fn>
static Box *wrap(PyTypeObject *type, Fn fn, const char *name) {
    return edge(kModuleEdge, name, MX_HERE, [&] {
        Ref o = MX_TAKE(PyObject_Call(reinterpret_cast<PyObject *>(type), g.empty_tuple, nullptr));
        Box *box = reinterpret_cast<Box *>(o.steal());
        box->vtab->set_func(box, fn);
        return box;
    });
}

morvex_PyMalloc *WrapMalloc(morvex_malloc_t fn) {
    return wrap<morvex_PyMalloc>(&PyMallocType, fn, "morvex.utils.memory.WrapMalloc");
}

morvex_PyFree *WrapFree(morvex_free_t fn) {
    return wrap<morvex_PyFree>(&PyFreeType, fn, "morvex.utils.memory.WrapFree");
}

// ---- the memory pool -------------------------------------------------------------

namespace {

using Pool = morvex_MemoryPool;

PyObject *as_object(void *o) { return reinterpret_cast<PyObject *>(o); }

// The key under which a block is recorded: its address as a non-negative int.
// The key of the block handed out last is kept, so that freeing that block
// (the common alloc-then-free pattern) finds the dict's own key object: no
// new int and an identity match in the lookup.  Any int equal to the address
// is a valid key, so the cache is never wrong, only missed.
void *last_address = nullptr;
PyObject *last_key = nullptr;

Ref address_key(void *p, PyErrOccurred where) {
    if (p == last_address && last_key != nullptr)
        return Ref::new_ref(last_key);
    return take(PyLong_FromVoidPtr(p), where);
}

void remember_key(void *p, Borrowed key) {
    PyObject *old = last_key;
    last_key = compat::new_ref(key.get());
    last_address = p;
    Py_XDECREF(old);
}

// "'NoneType' object is not iterable": what a membership test on a cleared
// pool's addresses raises.
void require_addresses(Pool *self, PyErrOccurred where) {
    if (self->addresses == Py_None) {
        raise_args(g.b_TypeError, g.t_none_not_iterable, where);
    }
}

// size - removed, as Python integers would compute it: exact ints are
// subtracted in C, anything Python code put into `addresses` goes through
// the number protocol.
Py_ssize_t size_after_removing(Py_ssize_t size, Borrowed removed, PyErrOccurred where) {
    if (PyLong_CheckExact(removed.get())) {
        int overflow = 0;
        long long count = PyLong_AsLongLongAndOverflow(removed.get(), &overflow);
        Py_ssize_t result;
        if (!overflow && !__builtin_sub_overflow(size, count, &result))
            return result;
    }
    Ref before = take(PyLong_FromSsize_t(size), where);
    Ref after = take(PyNumber_Subtract(before.get(), removed.get()), where);
    Py_ssize_t result = PyLong_AsSsize_t(after.get());
    check(!(result == -1 && PyErr_Occurred()), where);
    return result;
}

void *pool_alloc(Pool *self, size_t number, size_t elem_size) {
    return edge(kModuleEdge, "morvex.utils.memory.MemoryPool.alloc", MX_HERE, [&]() -> void * {
        if (number == 0) {
            Ref warnings = module_global(g.s_warnings, MX_HERE);
            Ref warn = MX_TAKE(PyObject_GetAttr(warnings.get(), g.s_warn));
            MX_TAKE(PyObject_Call(warn.get(), g.t_zero_alloc, nullptr));
        }
        // A product that does not fit 64 bits is refused like a failed
        // allocation: a pool never hands out a block smaller than asked.
        size_t bytes = 0;
        bool overflow = __builtin_mul_overflow(number, elem_size, &bytes);
        if (self->pymalloc == nullptr || as_object(self->pymalloc) == Py_None ||
            self->addresses == nullptr || self->addresses == Py_None)
            raise_args(PyExc_ReferenceError, g.t_pool_cleared, MX_HERE);
        morvex_malloc_t malloc_func = self->pymalloc->malloc_func;
        void *p = overflow || malloc_func == nullptr ? nullptr : malloc_func(bytes);
        if (p == nullptr) {
            PyErr_Format(g.b_MemoryError, "Error assigning %lld bytes",
                         static_cast<long long>(number * elem_size));
            MX_FAIL();
        }
        std::memset(p, 0, bytes);
        try {
            Ref key = address_key(p, MX_HERE);
            Ref value = MX_TAKE(PyLong_FromLongLong(static_cast<long long>(bytes)));
            MX_CHECK(PyDict_SetItem(self->addresses, key.get(), value.get()) == 0);
            remember_key(p, key.get());
        } catch (...) {
            // not recorded, so not the pool's: give it straight back
            if (as_object(self->pyfree) != Py_None && self->pyfree->free_func != nullptr)
                self->pyfree->free_func(p);
            throw;
        }
        self->size += static_cast<Py_ssize_t>(bytes);
        return p;
    });
}

void *pool_realloc(Pool *self, void *p, size_t new_size) {
    return edge(kModuleEdge, "morvex.utils.memory.MemoryPool.realloc", MX_HERE, [&]() -> void * {
        require_addresses(self, MX_HERE);
        Ref key = address_key(p, MX_HERE);
        int found = PyDict_Contains(self->addresses, key.get());
        MX_CHECK(found >= 0);
        if (!found) {
            Ref message = MX_TAKE(PyUnicode_FromFormat(
                "Pointer %zu not found in Pool %S", reinterpret_cast<size_t>(p), self->addresses));
            PyErr_SetObject(g.b_ValueError, message.get());
            MX_FAIL();
        }
        void *q = self->vtab->alloc(self, 1, new_size);
        MX_CHECK(q != nullptr);
        PyObject *recorded = PyDict_GetItemWithError(self->addresses, key.get());
        if (recorded == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, key.get());
            MX_FAIL();
        }
        unsigned long long old = PyLong_AsUnsignedLongLong(recorded);
        MX_CHECK(!(old == static_cast<unsigned long long>(-1) && PyErr_Occurred()));
        // Only what fits the new block is carried over.
        std::memcpy(q, p, old < new_size ? old : new_size);
        self->vtab->free(self, p);
        MX_CHECK(!PyErr_Occurred());
        Ref new_key = address_key(q, MX_HERE);
        Ref value = MX_TAKE(PyLong_FromLongLong(static_cast<long long>(new_size)));
        MX_CHECK(PyDict_SetItem(self->addresses, new_key.get(), value.get()) == 0);
        return q;
    });
}

void pool_free(Pool *self, void *p) {
    edge(kModuleEdge, "morvex.utils.memory.MemoryPool.free", MX_HERE, [&] {
        require_addresses(self, MX_HERE);
        Ref key = address_key(p, MX_HERE);
        PyObject *removed = nullptr;
        int found = compat::dict_pop(self->addresses, key.get(), &removed);
        MX_CHECK(found >= 0);
        if (!found) {
            std::printf("Can not free some memory!\n");
            return;
        }
        Ref value = Ref::take(removed);
        // the bookkeeping is updated before the block is released
        self->size = size_after_removing(self->size, value, MX_HERE);
        if (as_object(self->pyfree) != Py_None && self->pyfree->free_func != nullptr)
            self->pyfree->free_func(p);
    });
}

// Releases every recorded block through the pool's own pyfree; the
// bookkeeping itself is left as it is.
void release_blocks(Pool *self) {
    if (self->addresses == nullptr || self->addresses == Py_None)
        return;
    morvex_free_t free_func = as_object(self->pyfree) != Py_None && self->pyfree != nullptr
                                  ? self->pyfree->free_func
                                  : nullptr;
    PyObject *addresses = self->addresses;
    const Py_ssize_t count = PyDict_GET_SIZE(addresses);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(addresses, &pos, &key, &value)) {
        // Keys are addresses as non-negative ints.  Anything else was written
        // from Python, and a negative int must never reach free_func as the
        // address its bits happen to spell.
        static_assert(sizeof(void *) == sizeof(unsigned long long), "addresses are 64-bit");
        unsigned long long address = PyLong_AsUnsignedLongLong(key);
        if (address == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            report_unraisable("morvex.utils.memory.MemoryPool.__dealloc__");
            return;
        }
        void *p = reinterpret_cast<void *>(static_cast<uintptr_t>(address));
        if (p != nullptr && free_func != nullptr)
            free_func(p);
        if (PyDict_GET_SIZE(addresses) != count) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            report_unraisable("morvex.utils.memory.MemoryPool.__dealloc__");
            return;
        }
    }
}

// Arguments are accepted and ignored.  The slots hold None before anything
// can fail, so that a half-built pool (it has no blocks) is released by the
// ordinary dealloc.
PyObject *pool_new(PyTypeObject *type, PyObject *, PyObject *) {
    return construct<Pool>(type, "morvex.utils.memory.MemoryPool.__cinit__", MX_HERE, [&](Pool *self) {
        self->vtab = &pool_vtable;
        self->addresses = compat::new_ref(Py_None);
        self->refs = compat::new_ref(Py_None);
        self->pymalloc = reinterpret_cast<morvex_PyMalloc *>(compat::new_ref(Py_None));
        self->pyfree = reinterpret_cast<morvex_PyFree *>(compat::new_ref(Py_None));
        // Each slot takes over the reference `value` owned and drops None.
        auto replace = [](auto &slot, Ref value) {
            Ref old = Ref::take(as_object(slot));
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(value.steal());
        };
        self->size = 0;
        replace(self->addresses, MX_TAKE(PyDict_New()));
        replace(self->refs, MX_TAKE(PyList_New(0)));
        replace(self->pymalloc, MX_TAKE(as_object(WrapMalloc(PyMem_Malloc))));
        replace(self->pyfree, MX_TAKE(as_object(WrapFree(PyMem_Free))));
    });
}

void pool_dealloc(PyObject *o) {
    Pool *self = reinterpret_cast<Pool *>(o);
    if (compat::finalizer_resurrected(o, pool_dealloc))
        return;
    PyObject_GC_UnTrack(o);
    release_keeping_error(o, [self] { release_blocks(self); });
    // blocks first, then the objects kept alive through own_pyref
    Py_CLEAR(self->addresses);
    Py_CLEAR(self->refs);
    Py_CLEAR(self->pymalloc);
    Py_CLEAR(self->pyfree);
    Py_TYPE(o)->tp_free(o);
}

int pool_traverse(PyObject *o, visitproc visit, void *arg) {
    Pool *self = reinterpret_cast<Pool *>(o);
    Py_VISIT(self->addresses);
    Py_VISIT(self->refs);
    Py_VISIT(as_object(self->pymalloc));
    Py_VISIT(as_object(self->pyfree));
    return 0;
}

int pool_clear(PyObject *o) {
    Pool *self = reinterpret_cast<Pool *>(o);
    PyObject **slots[] = {&self->addresses, &self->refs,
                          reinterpret_cast<PyObject **>(&self->pymalloc),
                          reinterpret_cast<PyObject **>(&self->pyfree)};
    for (PyObject **slot : slots) {
        PyObject *old = *slot;
        *slot = compat::new_ref(Py_None);
        Py_XDECREF(old);
    }
    return 0;
}

PyObject *pool_own_pyref(PyObject *o, PyObject *obj) {
    Pool *self = reinterpret_cast<Pool *>(o);
    return edge(kModuleEdge, "morvex.utils.memory.MemoryPool.own_pyref", MX_HERE, [&] {
        if (self->refs == Py_None)
            raise_args(PyExc_AttributeError, g.t_none_has_no_append, MX_HERE);
        MX_CHECK(PyList_Append(self->refs, obj) == 0);
        Py_RETURN_NONE;
    });
}

PyObject *pool_get_size(PyObject *o, void *) {
    return edge(kModuleEdge, "morvex.utils.memory.MemoryPool.size.__get__", MX_HERE, [&] {
        return MX_TAKE(PyLong_FromSsize_t(reinterpret_cast<Pool *>(o)->size)).steal();
    });
}

template <size_t Offset>
PyObject *pool_get_member(PyObject *o, void *) {
    PyObject *member = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + Offset);
    return compat::new_ref(member);
}

MX_PICKLE_REFUSAL(MemoryPool, pickle_cinit)

PyMethodDef pool_methods[] = {
    {"own_pyref", (PyCFunction)pool_own_pyref, METH_O, nullptr},
    MX_PICKLE_METHODS(MemoryPool),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pool_getset[] = {
    {"size", pool_get_size, nullptr, nullptr, nullptr},
    {"addresses", pool_get_member<offsetof(Pool, addresses)>, nullptr, nullptr, nullptr},
    {"refs", pool_get_member<offsetof(Pool, refs)>, nullptr, nullptr, nullptr},
    {"pymalloc", pool_get_member<offsetof(Pool, pymalloc)>, nullptr, nullptr, nullptr},
    {"pyfree", pool_get_member<offsetof(Pool, pyfree)>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

morvex_MemoryPool_vtable pool_vtable = {pool_alloc, pool_realloc, pool_free};

PyTypeObject MemoryPoolType = [] {
    PyTypeObject t = compat::blank_type("morvex.utils.memory.MemoryPool", sizeof(morvex_MemoryPool));
    t.tp_doc =
        "MemoryPool(): owns raw blocks and Python references on behalf of its holder and\n"
        "releases them all when it goes.  Compiled consumers allocate through its method\n"
        "table (alloc, realloc, free) and the typed array helpers such as set_triple_ptr;\n"
        "own_pyref(obj) keeps obj alive with the pool.  `size`, `addresses` and `refs`\n"
        "are the pool's own live records, not copies.  See `morvex_MemoryPool` in\n"
        "morvex/utils/memory.h (Cython: `MemoryPool` in morvex/utils/memory.pxd).";
    t.tp_dealloc = pool_dealloc;
    t.tp_flags = MX_TPFLAGS | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = pool_traverse;
    t.tp_clear = pool_clear;
    t.tp_methods = pool_methods;
    t.tp_getset = pool_getset;
    t.tp_new = pool_new;
    return t;
}();

Ref new_pool(PyErrOccurred where) {
    return take(PyObject_Call(reinterpret_cast<PyObject *>(&MemoryPoolType), g.empty_tuple, nullptr), where);
}

// ---- typed array helpers ---------------------------------------------------------

namespace {

// Replaces *ptr with a fresh block of `count` elements of `pool`, giving the
// old block back.  `store_last` keeps *ptr on the old block until the fill is
// done (and leaves it there if giving the old block back fails).
template <class T, class Fill>
void replace_array(const char *context, T **ptr, int count, size_t elem_size, Pool *pool,
                   bool store_last, Fill fill) {
    unraisable_edge(context, [&] {
        if (pool == nullptr || !PyObject_TypeCheck(as_object(pool), &MemoryPoolType)) {
            PyErr_Format(g.b_TypeError,
                         "Argument 'pool' has incorrect type (expected %s, got %.200s)",
                         MemoryPoolType.tp_name,
                         pool == nullptr ? "NULL" : Py_TYPE(as_object(pool))->tp_name);
            MX_FAIL();
        }
        T *old = *ptr;
        // the count is widened with its sign: a negative count wraps to a
        // huge request, which the pool refuses
        void *fresh = pool->vtab->alloc(pool, static_cast<size_t>(static_cast<long long>(count)),
                                        elem_size);
        MX_CHECK(fresh != nullptr);
        if (!store_last)
            *ptr = static_cast<T *>(fresh);
        if (old != nullptr) {
            pool->vtab->free(pool, old);
            MX_CHECK(!PyErr_Occurred());
        }
        fill(static_cast<T *>(fresh));
        if (store_last)
            *ptr = static_cast<T *>(fresh);
    });
}

}  // namespace

void set_int_ptr(int **ptr, int count, int fill_minus_one, morvex_MemoryPool *pool) {
    replace_array(("morvex.utils.memory.set_int_ptr"), ptr, count, sizeof(int), pool, false,
                  [&](int *fresh) {
                      if (fill_minus_one)
                          std::memset(fresh, 0xFF, static_cast<size_t>(count) * sizeof(int));
                  });
}

void set_float_ptr(float **ptr, int count, morvex_MemoryPool *pool) {
    replace_array("morvex.utils.memory.set_float_ptr", ptr, count, sizeof(float), pool, false,
                  [](float *) {});
}

void set_pair_ptr(morvex_Pair **ptr, int count, morvex_MemoryPool *pool) {
    replace_array("morvex.utils.memory.set_pair_ptr", ptr, count, sizeof(morvex_Pair), pool, true,
                  [&](morvex_Pair *fresh) {
                      for (int i = 0; i < count; ++i)
                          fresh[i].second = -1;
                  });
}

void set_triple_ptr(morvex_Triple **ptr, int count, morvex_MemoryPool *pool) {
    replace_array("morvex.utils.memory.set_triple_ptr", ptr, count, sizeof(morvex_Triple), pool,
                  false, [](morvex_Triple *) {});
}

MX_CHECK_EXPORT_TABLE()

}  // namespace mx
