// pyutil.cpp -- the module's own side of the CPython helpers: traceback
// entries, unraisable reports, the one-argument constructor parser and
// module-global lookups.
#include "internal.h"

namespace mx {

void add_traceback(const char *name, const char *file, int line) {
    // The entry is a frame of an empty code object carrying name, file and
    // line, built with the exception put aside; if the code object or the
    // frame cannot be made, the entry is left out.
    if (g.dict == nullptr)
        return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject *frame = nullptr;
    if (PyCodeObject *code = PyCode_NewEmpty(file, name, line)) {
        frame = PyFrame_New(PyThreadState_Get(), code, g.dict, nullptr);
        Py_DECREF(code);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
        compat::set_frame_line(frame, line);
        PyTraceBack_Here(frame);  // wants the exception pending
        Py_DECREF(frame);
    }
}

void report_unraisable(const char *context) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);  // one exception object for both reports
    // Print with the full traceback, keeping a copy for the unraisable hook.
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(1);
    PyObject *ctx = PyUnicode_FromString(context);
    PyErr_Restore(type, value, tb);
    if (ctx == nullptr) {
        PyErr_WriteUnraisable(Py_None);
    } else {
        PyErr_WriteUnraisable(ctx);
        Py_DECREF(ctx);
    }
}

void raise_unraisable_nogil(PyObject *type, PyObject *args, const char *context) {
    // Once the interpreter exits, a thread asking for the GIL is ended there,
    // or (a thread of the consumer's own, once the interpreter is gone)
    // crashes inside CPython: the report is dropped instead.
    if (compat::finalizing())
        return;
    // One GIL-state section for raising and reporting: a thread that had no
    // thread state gets one for exactly this span, so the report is never
    // lost between the two.
    GilHold gil;
    PyErr_SetObject(type, args);
    report_unraisable(context);
}

Borrowed parse_one_arg(PyObject *args, PyObject *kwds, Borrowed kwname, PyErrOccurred where) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    const char *fn = "__cinit__";
    auto count_error = [&]() {
        PyErr_Format(PyExc_TypeError,
                     "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     fn, "exactly", (Py_ssize_t)1, "", npos);
        throw where;
    };
    if (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0) {
        if (npos != 1)
            count_error();
        return PyTuple_GET_ITEM(args, 0);
    }
    if (npos > 1)
        count_error();
    // With no positional argument the parameter's keyword is looked for
    // first: when it is missing, the count is what is wrong, whatever other
    // keywords came along.
    if (npos == 0 && PyDict_GetItemWithError(kwds, kwname.get()) == nullptr) {
        if (PyErr_Occurred())
            throw where;
        count_error();
    }
    PyObject *value = npos == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    PyObject *key, *item;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwds, &pos, &key, &item)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn);
            throw where;
        }
        // identity first, then string comparison
        bool match = key == kwname.get();
        if (!match) {
            int eq = PyUnicode_Compare(key, kwname.get());
            if (eq == -1 && PyErr_Occurred())
                throw where;
            match = eq == 0;
        }
        if (!match) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         fn, key);
            throw where;
        }
        if (npos == 1) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'", fn, key);
            throw where;
        }
        value = item;
    }
    if (value == nullptr)
        count_error();
    return value;
}

Ref module_global(Borrowed name, PyErrOccurred where) {
    PyObject *found = PyDict_GetItemWithError(g.dict, name.get());
    if (found == nullptr && !PyErr_Occurred())
        found = PyDict_GetItemWithError(PyModule_GetDict(g.builtins), name.get());
    if (found == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        throw where;
    }
    return Ref::new_ref(found);
}

}  // namespace mx
