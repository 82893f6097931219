// keys.h -- the sibling's view of a triple as a sort key: each field's
// order-preserving unsigned word (the sign bit flipped, so signed order is
// unsigned order), written once for the searches and the parallel kernels.
#pragma once

#include "../memory.h"

#include <cstdint>

namespace mx {
namespace keys {

// Field indices in record order.
constexpr int kHead = 0, kRel = 1, kTail = 2;

// The order-preserving unsigned image of field F.
template <int F>
inline uint32_t word(const morvex_Triple &t) {
    const int32_t v = F == kHead ? t.head : F == kRel ? t.relation : t.tail;
    return static_cast<uint32_t>(v) ^ 0x80000000u;
}

// Number of significant bits of x (0 for 0).
inline int bit_length(uint32_t x) { return x ? 32 - __builtin_clz(x) : 0; }

}  // namespace keys
}  // namespace mx
