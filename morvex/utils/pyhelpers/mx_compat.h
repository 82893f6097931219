// mx_compat.h -- every difference between the CPython versions the
// extensions of morvex.utils build for (3.7 to 3.15) is handled here and
// nowhere else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstring>

#if PY_VERSION_HEX < 0x03070000
#error "morvex.utils needs CPython 3.7 or newer"
#endif

namespace mx::compat {

inline PyInterpreterState *current_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_Get();
#else
    return PyThreadState_Get()->interp;
#endif
}

// A frame for a traceback entry at `line`.  Before 3.11 the frame's line is
// a public field; from 3.11 on a fresh frame reports the code object's first
// line, which PyCode_NewEmpty has set to `line`.
inline void set_frame_line(PyFrameObject *frame, int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// sys.unraisablehook exists from 3.8; both versions print through
// PyErr_WriteUnraisable, so nothing differs for us but the tests.

// Py_NewRef (3.10 on): a new reference as a plain pointer, for a slot of a C
// structure that owns what it points at.  Everywhere else references are
// mx::Ref and mx::Borrowed (mx_py.h).
inline PyObject *new_ref(PyObject *o) {
    Py_INCREF(o);
    return o;
}

}  // namespace mx::compat

namespace mx::compat {

// Whether the interpreter is exiting (public from 3.13).
inline bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Whether a finaliser already ran for `o` (only tracked for GC objects).
inline bool already_finalized(PyObject *o) {
    if (!PyType_IS_GC(Py_TYPE(o)))
        return false;
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsFinalized(o) != 0;
#else
    return _PyGC_FINALIZED(o) != 0;
#endif
}

// The start of every dealloc `own`: lets a finaliser of a Python subclass
// run; true when it resurrected the object, which must then be left alone.
// Only when `own` is the class's own dealloc: a Python subclass's dealloc has
// already called the finaliser before handing over to ours, and calling it
// again would run __del__ twice for objects the collector does not track
// (3.7 makes such subclasses untracked), and after a resurrection in that
// second call the subclass dealloc would go on releasing a live object.
inline bool finalizer_resurrected(PyObject *o, destructor own) {
    PyTypeObject *t = Py_TYPE(o);
    if (t->tp_dealloc == own && t->tp_finalize != nullptr && !already_finalized(o)) {
        if (PyObject_CallFinalizerFromDealloc(o) != 0)
            return true;
    }
    return false;
}

#if PY_VERSION_HEX < 0x030900B1
inline void set_refcnt(PyObject *o, Py_ssize_t n) { Py_REFCNT(o) = n; }
#else
inline void set_refcnt(PyObject *o, Py_ssize_t n) { Py_SET_REFCNT(o, n); }
#endif

}  // namespace mx::compat

// Default flags of our classes: subclassable, with tp_finalize honoured (3.7
// needs the flag spelt out).
#define MX_TPFLAGS (Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_FINALIZE)

namespace mx::compat {

// A zeroed static class object with the header every version expects
// (immortal from 3.12 on); the caller fills in the slots it uses.
inline PyTypeObject blank_type(const char *name, Py_ssize_t basicsize) {
    PyTypeObject t{};
    PyVarObject head[1] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    static_assert(offsetof(PyTypeObject, ob_base) == 0, "type header first");
    std::memcpy(static_cast<void *>(&t), &head, sizeof head);
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    return t;
}

}  // namespace mx::compat

// The entry point stays visible under -fvisibility=hidden; PyMODINIT_FUNC
// only says so itself from 3.9 on.
#define MX_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *

namespace mx::compat {

// Removes `key` from `dict` in one probe: 1 with the value in *out (a new
// reference), 0 when the key is missing, -1 with an exception set.
inline int dict_pop(PyObject *dict, PyObject *key, PyObject **out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_Pop(dict, key, out);
#else
    *out = _PyDict_Pop(dict, key, nullptr);
    if (*out != nullptr)
        return 1;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
#endif
}

}  // namespace mx::compat

// The slot saying a module needs the GIL: one whose state is process-wide and
// guarded by the GIL alone (morvex.utils.memory's pools, random streams and
// classes' tables) makes a free-threaded interpreter (3.13 on) turn the GIL
// back on when it imports the module rather than run it without.  Older
// versions have no such slot and always hold the GIL.
#if PY_VERSION_HEX >= 0x030D0000
#define MX_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define MX_MOD_GIL_SLOT
#endif
