// radix_sort.h -- the sort of the five orders (radix_sort.cpp), which builds
// without Python.h: its callers hand it the records and the order's row of
// the key kernel's table.
#pragma once

#include "../kernels/keys.h"

#include <cstdint>

namespace mx {

// Sorts a[0, n) ascending in order `order`.  No memory beyond a per-thread
// workspace made on the thread's first sort; without it, the comparison sort
// does the work in place.  Other threads writing or sorting the same records
// meanwhile never make it read or write outside a[0, n), nor keep it from
// returning; the order it leaves is then unspecified.
void radix_sort(keys::OrderId order, morvex_Triple *a, uint32_t n) noexcept;

}  // namespace mx
