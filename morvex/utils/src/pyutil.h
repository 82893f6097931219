// pyutil.h -- the module's own side of the CPython helpers (the rest is
// ../pyhelpers/mx_py.h, shared with the sibling extension): traceback entries
// built on the module's globals, the edge rules of its functions, unraisable
// reports, the one-argument constructor parser and module-global lookups.
#pragma once

#include "../pyhelpers/mx_py.h"

namespace mx {

// Appends a traceback entry "name" at file:line to the pending exception.
void add_traceback(const char *name, const char *file, int line);

// The module's edges add the traceback entry of the function that failed;
// a thrown object that is no std::exception becomes this RuntimeError.
inline constexpr EdgeRules kModuleEdge{add_traceback, "unknown C++ exception"};

// Prints the pending exception with its traceback on sys.stderr, then hands
// it to PyErr_WriteUnraisable with `context` (a qualified name), which
// clears it.  The GIL must be held.
void report_unraisable(const char *context);

// Sets `type(*args)` and reports it as unraisable, taking the GIL through the
// GIL-state interface for the whole of it: callable from threads that do not
// hold the GIL.  Nothing is reported once the interpreter exits.
void raise_unraisable_nogil(PyObject *type, PyObject *args, const char *context);

// The edge of the exported functions that cannot pass an exception on: a
// failure is reported as unraisable under `context` instead, with no
// traceback entry of its own.
template <class F>
void unraisable_edge(const char *context, F &&body) {
    if (edge(kModuleEdge, nullptr, kUntraced, [&] {
            body();
            return 0;
        }) < 0)
        report_unraisable(context);
}

// Parses the single argument of a one-argument constructor, by position or
// as the keyword `kwname` (interned); errors name the function "__cinit__".
Borrowed parse_one_arg(PyObject *args, PyObject *kwds, Borrowed kwname, PyErrOccurred where);

// Looks a module-global name up in the module dict, then in builtins.
Ref module_global(Borrowed name, PyErrOccurred where);

}  // namespace mx
