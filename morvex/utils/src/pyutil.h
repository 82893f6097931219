// pyutil.h -- the CPython conventions every source follows, written once:
// owned references, "a Python exception is set" as a C++ exception, the
// catch-all at every edge that CPython or a consumer calls, traceback entries,
// unraisable reports and the one-argument constructor parser.
#pragma once

#include "compat.h"

#include <new>
#include <utility>

namespace mx {

// Thrown when a Python exception is pending; carries the source position of
// the statement that failed, for the traceback entry added at the edge.
struct PyErrOccurred {
    const char *file;
    int line;
};

// Each source defines its traceback file name and throws through MX_FAIL.
#define MX_HERE ::mx::PyErrOccurred{kSourceFile, __LINE__}
#define MX_FAIL() throw MX_HERE

// An owned reference: released in the destructor, handed back with release().
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject *o) { return Ref(o); }
    static Ref borrow(PyObject *o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const { return obj_; }
    PyObject *release() {
        PyObject *o = obj_;
        obj_ = nullptr;
        return o;
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *o) : obj_(o) {}
    PyObject *obj_ = nullptr;
};

// Saves the pending exception and restores it when the scope ends, so that a
// release running during exception handling leaves that exception in flight.
class SavedError {
public:
    SavedError() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;

private:
    PyObject *type_, *value_, *tb_;
};

// The release logic of a dealloc: runs with the pending exception saved and
// restored, and with the object's reference count raised by one meanwhile,
// so that releasing never disturbs an exception in flight.
template <class F>
void release_keeping_error(PyObject *o, F &&release) {
    SavedError pending;
    compat::set_refcnt(o, Py_REFCNT(o) + 1);
    release();
    compat::set_refcnt(o, Py_REFCNT(o) - 1);
}

// Holds the GIL for a scope, through the GIL-state interface.
class GilHold {
public:
    GilHold() : state_(PyGILState_Ensure()) {}
    ~GilHold() { PyGILState_Release(state_); }
    GilHold(const GilHold &) = delete;
    GilHold &operator=(const GilHold &) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the GIL for a scope; it is taken back even when the scope is left
// by an exception (std::bad_alloc from a temporary).
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;

private:
    PyThreadState *state_;
};

// Appends a traceback entry "name" at file:line to the pending exception.
void add_traceback(const char *name, const char *file, int line);

// Prints the pending exception with its traceback on sys.stderr, then hands
// it to PyErr_WriteUnraisable with `context` (a qualified name), which
// clears it.  The GIL must be held.
void report_unraisable(const char *context);

// Sets `type(*args)` and reports it as unraisable, taking the GIL through the
// GIL-state interface for the whole of it: callable from threads that do not
// hold the GIL.
void raise_unraisable_nogil(PyObject *type, PyObject *args, const char *context);

// Turns whatever a body threw into a pending Python exception plus the
// traceback entry `name`.  Call only from a catch(...) handler.
void exception_to_python(const char *name, const char *file, int line);

// The edge of every function that CPython or a consumer calls: runs `body`;
// on failure sets the Python exception, adds the entry `name` and returns
// `sentinel`.  No C++ exception ever leaves it.
template <class R, class F>
R guarded(const char *name, const char *file, int line, R sentinel, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        exception_to_python(name, file, line);
        return sentinel;
    }
}

// As guarded, for functions that cannot pass an exception on: a failure is
// reported as unraisable under `context` instead.
template <class F>
void guarded_unraisable(const char *context, F &&body) noexcept {
    try {
        body();
    } catch (...) {
        exception_to_python(nullptr, nullptr, 0);
        report_unraisable(context);
    }
}

// Throws PyErrOccurred when `o` is null, else returns it as an owned Ref.
inline Ref take(PyObject *o, PyErrOccurred where) {
    if (o == nullptr)
        throw where;
    return Ref::steal(o);
}
#define MX_TAKE(expr) ::mx::take((expr), MX_HERE)
#define MX_CHECK(cond)                                                         \
    do {                                                                       \
        if (!(cond))                                                           \
            MX_FAIL();                                                         \
    } while (0)

// Raises `type(*args)` with a prebuilt argument tuple.
[[noreturn]] void raise_args(PyObject *type, PyObject *args, PyErrOccurred where);

// Parses the single argument of a one-argument constructor, by position or
// as the keyword `kwname` (interned); errors name the function "__cinit__".
// Returns a borrowed reference.
PyObject *parse_one_arg(PyObject *args, PyObject *kwds, PyObject *kwname,
                        PyErrOccurred where);

// Looks a module-global name up in the module dict, then in builtins.
Ref module_global(PyObject *name, PyErrOccurred where);

}  // namespace mx
