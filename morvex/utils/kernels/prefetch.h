// prefetch.h -- hints to fetch a cache line ahead of its use, for reading or
// for writing, shared by the native kernels of both extensions.
//
// Header-only and free of the interpreter.
#pragma once

#include <cstdint>

namespace mx {
namespace keys {

// Hints to fetch the cache line at `address` for reading or for writing.  An
// address given as an integer may lie past the array: a prefetch tolerates
// it, where forming such a pointer would not be allowed.
// Always inlined: a function that does nothing but prefetch counts as one
// without effects, and a call of it that stayed a call would be dropped.
#if defined(__GNUC__)
#define MX_PREFETCH_INLINE inline __attribute__((always_inline))
MX_PREFETCH_INLINE void prefetch_read(uintptr_t address) {
    __builtin_prefetch(reinterpret_cast<const void *>(address), 0);
}
MX_PREFETCH_INLINE void prefetch_write(uintptr_t address) {
    __builtin_prefetch(reinterpret_cast<const void *>(address), 1);
}
MX_PREFETCH_INLINE void prefetch_read(const void *p) { prefetch_read(reinterpret_cast<uintptr_t>(p)); }
#undef MX_PREFETCH_INLINE
#else
inline void prefetch_read(uintptr_t) {}
inline void prefetch_write(uintptr_t) {}
inline void prefetch_read(const void *) {}
#endif

}  // namespace keys
}  // namespace mx
