// views.cpp -- the typed-buffer view classes registered beside the module's
// own: `array`, `Enum`, `memoryview` and its subclass `_memoryviewslice`,
// readied under the module's path but not bound as module attributes, with
// their method tables published; and the module attribute
// `__pyx_unpickle_Enum`.  The module's own code uses none of them beyond
// their registration: views reach it only as the slice record its loader
// takes.
#include "internal.h"

namespace mx {

static const char kSourceFile[] = "morvex\\utils\\src\\views.cpp";

namespace {

struct ViewObject;
struct ViewVTable {
    int (*is_slice)(ViewObject *self);
    PyObject *(*base)(ViewObject *self);  // new reference
};

// Instances of array, memoryview and _memoryviewslice: a table pointer and
// the object they view.  None of them can be created from Python.
struct ViewObject {
    PyObject_HEAD
    ViewVTable *vtab;
    PyObject *obj;
};

int view_is_slice(ViewObject *) { return 0; }
int slice_is_slice(ViewObject *) { return 1; }
PyObject *view_base(ViewObject *self) { return compat::new_ref(self->obj ? self->obj : Py_None); }
PyObject *slice_base(ViewObject *self) { return view_base(self); }

ViewVTable array_vtable = {view_is_slice, view_base};
ViewVTable memoryview_vtable = {view_is_slice, view_base};
ViewVTable slice_vtable;  // a copy of memoryview's with both entries replaced

void view_dealloc(PyObject *o) {
    if (compat::finalizer_resurrected(o, view_dealloc))
        return;
    PyObject_GC_UnTrack(o);
    Py_CLEAR(reinterpret_cast<ViewObject *>(o)->obj);
    Py_TYPE(o)->tp_free(o);
}

int view_traverse(PyObject *o, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<ViewObject *>(o)->obj);
    return 0;
}

int view_clear(PyObject *o) {
    Py_CLEAR(reinterpret_cast<ViewObject *>(o)->obj);
    return 0;
}

PyTypeObject make_view_type(const char *name) {
    PyTypeObject t = compat::blank_type(name, sizeof(ViewObject));
    t.tp_dealloc = view_dealloc;
    t.tp_flags = MX_TPFLAGS | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = view_traverse;
    t.tp_clear = view_clear;
    return t;
}

PyTypeObject ArrayType = make_view_type("morvex.utils.memory.array");
PyTypeObject MemoryviewType = make_view_type("morvex.utils.memory.memoryview");
PyTypeObject SliceType = make_view_type("morvex.utils.memory._memoryviewslice");

// Enum: a named constant, shown as "<name>".  Its functions add no traceback
// entries.
struct EnumObject {
    PyObject_HEAD
    PyObject *name;
};

PyObject *enum_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return edge(kModuleEdge, nullptr, kUntraced, [&] {
        PyObject *name = nullptr;
        static const char *keywords[] = {"name", nullptr};
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "|O:Enum", const_cast<char **>(keywords), &name));
        Ref self = MX_TAKE(type->tp_alloc(type, 0));
        reinterpret_cast<EnumObject *>(self.get())->name = compat::new_ref(name ? name : Py_None);
        return self.steal();
    });
}

void enum_dealloc(PyObject *o) {
    if (compat::finalizer_resurrected(o, enum_dealloc))
        return;
    Py_CLEAR(reinterpret_cast<EnumObject *>(o)->name);
    Py_TYPE(o)->tp_free(o);
}

PyObject *enum_repr(PyObject *o) {
    return edge(kModuleEdge, nullptr, kUntraced, [&] {
        return MX_TAKE(PyUnicode_FromFormat("<%S>", reinterpret_cast<EnumObject *>(o)->name)).steal();
    });
}

PyTypeObject EnumType = [] {
    PyTypeObject t = compat::blank_type("morvex.utils.memory.Enum", sizeof(EnumObject));
    t.tp_dealloc = enum_dealloc;
    t.tp_repr = enum_repr;
    t.tp_flags = MX_TPFLAGS;
    t.tp_new = enum_new;
    return t;
}();

// __pyx_unpickle_Enum(type, checksum, state): rebuilds an Enum from the
// state (name,) its pickle carries.  Only its own refusals add a traceback
// entry; the errors of argument parsing and of the call pass on as they are.
PyObject *unpickle_enum(PyObject *, PyObject *args) {
    return edge(kModuleEdge, "View.MemoryView.__pyx_unpickle_Enum", MX_HERE, [&] {
        PyObject *type, *checksum, *state;
        check(PyArg_ParseTuple(args, "OOO:__pyx_unpickle_Enum", &type, &checksum, &state), kUntraced);
        if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type), &EnumType)) {
            PyErr_SetString(PyExc_TypeError, "__pyx_unpickle_Enum() expects an Enum class");
            MX_FAIL();
        }
        Borrowed name = Py_None;
        if (state != Py_None) {
            if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) < 1) {
                PyErr_SetString(PyExc_TypeError, "__pyx_unpickle_Enum() expects a (name,) state");
                MX_FAIL();
            }
            name = PyTuple_GET_ITEM(state, 0);
        }
        Ref call_args = take(PyTuple_Pack(1, name.get()), kUntraced);
        return take(PyObject_Call(type, call_args.get(), nullptr), kUntraced).steal();
    });
}

PyMethodDef unpickle_def = {"__pyx_unpickle_Enum", unpickle_enum, METH_VARARGS, nullptr};

}  // namespace

void ready_view_classes(PyErrOccurred where) {
    ready_class(&ArrayType, &array_vtable, nullptr, where);
    ready_class(&EnumType, nullptr, nullptr, where);
    ready_class(&MemoryviewType, &memoryview_vtable, nullptr, where);
    slice_vtable = memoryview_vtable;
    slice_vtable.is_slice = slice_is_slice;
    slice_vtable.base = slice_base;
    SliceType.tp_base = &MemoryviewType;
    ready_class(&SliceType, &slice_vtable, nullptr, where);
}

Ref make_unpickle_enum(PyErrOccurred where) {
    Ref module_name = take(PyUnicode_FromString("View.MemoryView"), where);
    return take(PyCFunction_NewEx(&unpickle_def, nullptr, module_name.get()), where);
}

}  // namespace mx
