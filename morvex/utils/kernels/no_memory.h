// no_memory.h -- the exception a native kernel throws when an allocation
// fails, carrying the byte count it asked for.  The edges of both extensions
// (../pyhelpers/mx_py.h) turn it into the MemoryError that names that count.
//
// Header-only and free of the interpreter, so that code built without
// Python.h can throw it.
#pragma once

#include <new>

namespace mx {

// An allocation that failed, with the number of bytes it asked for: the
// MemoryError it becomes says "<who>: could not allocate N bytes".
struct NoMemory : std::bad_alloc {
    NoMemory(const char *by, unsigned long long wanted) : who(by), bytes(wanted) {}
    const char *who;
    unsigned long long bytes;
};

}  // namespace mx
