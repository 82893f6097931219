// mx_py.h -- the CPython helpers both extensions of morvex.utils are written
// with: owned and borrowed references, GIL scopes, "a Python exception is
// set" as a C++ exception with its checking helpers, and the edge where every
// function that CPython or a consumer calls turns a failure into its sentinel.
//
// Header-only, and it needs nothing that either extension defines: what an
// extension does at its edges beyond setting the exception (adding traceback
// entries, naming a thrown object that is no std::exception) it passes in as
// EdgeRules.  A source that throws through MX_HERE names itself in a constant
// `kSourceFile`, the file name its traceback entries show.
//
// Threads the interpreter ends.  At exit, CPython 3.7 to 3.13 end a thread
// that waits for the GIL with pthread_exit: a forced unwind of its stack,
// which runs the cleanups of every C++ frame on the way and becomes
// std::terminate where it meets a noexcept frame.  So nothing here that can
// wait for the GIL, or run Python code that may, is noexcept: not the edges,
// not the destructors of references and GIL scopes.  The cleanups then run
// without the GIL, and leave the interpreter's objects as they are, as a C
// function that never returns does (holds_gil).
#pragma once

#include "mx_compat.h"
#include "../kernels/no_memory.h"  // the allocation failure the edge names

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace mx {

// Whether this thread holds the GIL: false on a thread that the interpreter
// is ending while it waited for it.  (With several interpreters CPython
// cannot tell, and says true.)
inline bool holds_gil() { return PyGILState_Check() != 0; }

// Drops a reference, unless the thread is being ended without the GIL.  The
// last reference's finaliser may run Python code that waits for the GIL.
inline void let_go(PyObject *o) {
    if (o != nullptr && holds_gil())
        Py_DECREF(o);
}

// ---- references ---------------------------------------------------------------

class Ref;

// A borrowed reference: someone else keeps the object alive for as long as
// this is used, and nothing is released.  CPython's borrowed results convert
// to it as they are, and so does an owned Ref that outlives the use (never a
// temporary one); Ref::new_ref makes an owned reference of it.
class Borrowed {
public:
    Borrowed() = default;
    Borrowed(PyObject *o) : obj_(o) {}  // CPython lends references as plain pointers
    inline Borrowed(const Ref &owner);
    Borrowed(const Ref &&) = delete;  // it would dangle once the statement ends

    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject *obj_ = nullptr;
};

// An owned reference, released in the destructor.  Made with take() from a
// new reference (what CPython documents as "Return value: New reference"),
// or with new_ref() from a borrowed one, which adds the reference it owns.
// steal() hands the reference on: to a function that steals it, into a slot
// of a C structure, or back to CPython as a result.
class Ref {
public:
    Ref() = default;
    static Ref take(PyObject *new_reference) { return Ref(new_reference); }
    static Ref new_ref(Borrowed o) {
        Py_XINCREF(o.get());
        return Ref(o.get());
    }
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept(false) {
        if (this != &other) {
            PyObject *old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            let_go(old);
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() noexcept(false) { let_go(obj_); }

    PyObject *get() const { return obj_; }
    PyObject *steal() {
        PyObject *o = obj_;
        obj_ = nullptr;
        return o;
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject *o) : obj_(o) {}
    PyObject *obj_ = nullptr;
};

inline Borrowed::Borrowed(const Ref &owner) : obj_(owner.get()) {}

// ---- threads the interpreter ends ---------------------------------------------

// The handler that lets the forced unwind of a thread the interpreter ends
// pass on; it comes first in every catch (...) of the edges.
#if defined(__GLIBCXX__)
#define MX_PASS_FORCED_UNWIND \
    catch (abi::__forced_unwind &) { throw; }
#else
#define MX_PASS_FORCED_UNWIND
#endif

// A forced unwind carries no object for that handler to bind, which
// UndefinedBehaviorSanitizer reports, and g++ cannot turn off that one check
// for a function.  So in the sanitized build (AddressSanitizer and
// UndefinedBehaviorSanitizer always come together) the functions holding the
// handler are built without UndefinedBehaviorSanitizer, and run their body
// through call_body, which is not inlined there: the body keeps its checks.
#if defined(__SANITIZE_ADDRESS__)
#define MX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MX_SANITIZED 1
#endif
#endif
#if defined(MX_SANITIZED)
extern "C" void __asan_handle_no_return(void);  // AddressSanitizer's runtime
#define MX_FORCED_UNWIND_CATCHER __attribute__((no_sanitize("undefined")))
template <class F>
__attribute__((noinline)) auto call_body(F &body) -> decltype(body()) {
    return body();
}
#else
#define MX_FORCED_UNWIND_CATCHER
template <class F>
inline auto call_body(F &body) -> decltype(body()) {
    return body();
}
#endif

// Takes the GIL by `take`.  In the sanitized build, a thread that the
// interpreter ends there has the poison of its stack cleared first, as
// AddressSanitizer does for a throw: the forced unwind skips the epilogues
// that would clear it, and the thread's own end reuses that stack.
template <class F>
MX_FORCED_UNWIND_CATCHER inline void taking_gil(F &&take) {
#if defined(MX_SANITIZED) && defined(__GLIBCXX__)
    try {
        take();
    } catch (abi::__forced_unwind &) {
        __asan_handle_no_return();
        throw;
    }
#else
    take();
#endif
}

// ---- the GIL and the pending exception ---------------------------------------

// Holds the GIL for a scope, through the GIL-state interface: callable from
// threads that do not hold it, or have no thread state at all.
class GilHold {
public:
    GilHold() {
        taking_gil([&] { state_ = PyGILState_Ensure(); });
    }
    ~GilHold() noexcept(false) {
        if (holds_gil())
            PyGILState_Release(state_);
    }
    GilHold(const GilHold &) = delete;
    GilHold &operator=(const GilHold &) = delete;

private:
    PyGILState_STATE state_;
};

// Releases the GIL for a scope; it is taken back even when the scope is left
// by an exception (std::bad_alloc from a temporary).  Taking it back is where
// the interpreter ends the thread at exit.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() noexcept(false) {
        taking_gil([&] { PyEval_RestoreThread(state_); });
    }
    WithoutGil(const WithoutGil &) = delete;
    WithoutGil &operator=(const WithoutGil &) = delete;

private:
    PyThreadState *state_;
};

// Saves the pending exception and restores it when the scope ends, so that a
// release running during exception handling leaves that exception in flight.
class SavedError {
public:
    SavedError() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() {
        if (holds_gil())
            PyErr_Restore(type_, value_, tb_);
    }
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

// ---- errors --------------------------------------------------------------------

// Thrown when a Python exception is set.  It carries the position of the
// statement that saw the failure, where the edge adds the traceback entry; a
// position without a file (kUntraced) asks for no entry.
struct PyErrOccurred {
    const char *file;
    int line;
};
inline constexpr PyErrOccurred kUntraced{nullptr, 0};

#define MX_HERE ::mx::PyErrOccurred{kSourceFile, __LINE__}
#define MX_FAIL() throw MX_HERE

// The checking helpers: a null new reference, or a false condition, means
// CPython has set an exception.  take() hands the reference over as a Ref.
inline Ref take(PyObject *new_reference, PyErrOccurred where) {
    if (new_reference == nullptr)
        throw where;
    return Ref::take(new_reference);
}
inline void check(bool ok, PyErrOccurred where) {
    if (!ok)
        throw where;
}
#define MX_TAKE(expr) ::mx::take((expr), MX_HERE)
#define MX_CHECK(cond) ::mx::check(static_cast<bool>(cond), MX_HERE)

// Raises `type(*args)` with a prebuilt argument tuple.
[[noreturn]] inline void raise_args(PyObject *type, PyObject *args, PyErrOccurred where) {
    PyErr_SetObject(type, args);
    throw where;
}

// ---- the edge ------------------------------------------------------------------

// What an extension's edges do besides setting the Python exception.
struct EdgeRules {
    // Adds the traceback entry `name` at file:line to the pending exception;
    // null for an extension whose functions add no entries.
    void (*add_entry)(const char *name, const char *file, int line);
    // The RuntimeError message for a thrown object that is no std::exception.
    const char *unknown_exception;
};

// Sets the Python exception for the C++ exception being handled: for
// PyErrOccurred the pending one (SystemError when none was set), MemoryError
// for std::bad_alloc (naming the byte count of a NoMemory), RuntimeError with its what() for any other
// std::exception and with `unknown_exception` for anything else.  Returns
// where the failure happened: the position PyErrOccurred carries, `at` for a
// C++ exception.  Call only inside a catch handler.
inline PyErrOccurred set_python_error(PyErrOccurred at, const char *unknown_exception) noexcept {
    try {
        throw;
    } catch (const PyErrOccurred &e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return e;
    } catch (const NoMemory &e) {
        PyErr_Format(PyExc_MemoryError, "%s: could not allocate %llu bytes", e.who, e.bytes);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, unknown_exception);
    }
    return at;
}


// Runs `body` as the function `name` of the traceback: whatever it throws
// becomes the pending Python exception, with the entry `name` added at the
// failing statement (at `at` for a C++ exception), and leaves as kUntraced,
// since the traceback is complete.  A null `name` adds no entry.
template <class F>
MX_FORCED_UNWIND_CATCHER auto traced(const EdgeRules &rules, const char *name, PyErrOccurred at, F &&body)
    -> decltype(body()) {
    try {
        return call_body(body);
    }
    MX_PASS_FORCED_UNWIND
    catch (...) {
        const PyErrOccurred where = set_python_error(at, rules.unknown_exception);
        if (name != nullptr && where.file != nullptr && rules.add_entry != nullptr)
            rules.add_entry(name, where.file, where.line);
    }
    throw kUntraced;
}

// What a function returning R returns on failure: null for a pointer, -1 for
// an int.
template <class R>
R failure_value() {
    static_assert(std::is_pointer<R>::value || std::is_same<R, int>::value,
                  "an edge returns a pointer, an int or nothing");
    if constexpr (std::is_pointer<R>::value)
        return nullptr;
    else
        return -1;
}

// The edge of every function that CPython or a consumer calls: runs `body`
// traced as `name`, and on failure returns failure_value (nothing for void)
// with the Python exception set.  No C++ exception ever leaves it; only the
// forced unwind of a thread the interpreter ends passes through.
template <class F>
MX_FORCED_UNWIND_CATCHER auto edge(const EdgeRules &rules, const char *name, PyErrOccurred at, F &&body)
    -> decltype(body()) {
    using R = decltype(body());
    try {
        return traced(rules, name, at, std::forward<F>(body));
    }
    MX_PASS_FORCED_UNWIND
    catch (...) {
    }
    if constexpr (!std::is_void<R>::value)
        return failure_value<R>();
}

}  // namespace mx
