// distribute.h -- the in-place distribution of records into the buckets of
// their digit, shared by the radix sort of one thread (src/radix_sort.cpp)
// and by each thread's part of the parallel split (src_triples/parallel.cpp).
//
// Header-only and free of the interpreter.
#pragma once

#include "../triple.h"
#include "prefetch.h"

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
#define MX_DIST_INLINE inline __attribute__((always_inline))
#define MX_DIST_UNLIKELY(cond) __builtin_expect(!!(cond), 0)
#else
#define MX_DIST_INLINE inline
#define MX_DIST_UNLIKELY(cond) (cond)
#endif

namespace mx {
namespace dist {

// Read-ahead distances, in records: for the sweep, and for the slot each
// bucket fills next.
constexpr size_t kSweepAhead = 64;
constexpr size_t kSlotAhead = 16;

// What a sweep does with a record whose own bucket has no free slot left.
enum class WhenFull {
    // It takes the next slot of the bucket being swept, which always has
    // one (see sweep).  With every record counted, a bucket fills up early
    // only when other threads change the records meanwhile.
    kSweptBucket,
    // It stays where it is: a stray the caller gathers afterwards, for a
    // thread whose buckets are shares of the whole that fill up first.
    kStay,
};

// Moves the record r, read from *slot, into the next free slot of bucket d
// (or, when that is full, as kFull says; b is the bucket being swept), and
// what was there to *slot.
template <WhenFull kFull, class C>
MX_DIST_INLINE void place(morvex_Triple *a, C *next, const C *end, morvex_Triple *slot, const morvex_Triple &r,
                          unsigned d, unsigned b) {
    if constexpr (kFull == WhenFull::kSweptBucket) {
        if (MX_DIST_UNLIKELY(next[d] == end[d]))
            d = b;
    } else {
        if (next[d] >= end[d])
            return;
    }
    const C t = next[d]++;
    *slot = a[t];
    a[t] = r;
    keys::prefetch_write(reinterpret_cast<uintptr_t>(a + t) + kSlotAhead * sizeof(morvex_Triple));
}

// Distributes in place the records in the free slots [next[b], end[b]) of
// buckets [0, buckets): each bucket is swept, every record swapped into the
// next free slot of its digit's bucket and the one that comes back swept in
// turn, until every bucket is full (kSweptBucket) or a round places nothing
// (kStay).  Cursors only advance, and none passes its bucket's end.
//
// A slot swept in bucket b only receives records from b's placed front or
// from other buckets, so the digits of four records can all be read before
// any moves, and their swaps are independent of one another (following
// cycles instead would make every step wait on the previous load).  While b
// is swept, next[b] <= the slot swept < end[b]: b has room for a record
// sent back to it.  Whatever other threads do to the records meanwhile, the
// sweep stays inside the buckets and returns: each placement advances a
// cursor for good, and each round of kSweptBucket places at least one.
//
// C: the cursors' type (32 bits where the records allow, half the cache
// lines of 64-bit ones); D: the digit of a record, taken by value (a record
// store could alias a digit read through a reference, which would then be
// read again after every store); `open`: room for `buckets` numbers.
template <WhenFull kFull, class C, class D>
void sweep(morvex_Triple *a, C *next, const C *end, unsigned buckets, const D digit_of, unsigned *open) {
    unsigned nopen = 0;
    size_t placed = 0;  // the cursors' sum, which tells whether a round placed a record
    for (unsigned b = 0; b < buckets; ++b) {
        if (next[b] != end[b])
            open[nopen++] = b;
        if constexpr (kFull == WhenFull::kStay)
            placed += next[b];
    }
    while (nopen > 0) {
        unsigned kept = 0;
        for (unsigned k = 0; k < nopen; ++k) {
            const unsigned b = open[k];
            morvex_Triple *p = a + next[b];
            morvex_Triple *const e = a + end[b];
            for (; e - p >= 4; p += 4) {
                keys::prefetch_write(reinterpret_cast<uintptr_t>(p) + kSweepAhead * sizeof(morvex_Triple));
                const morvex_Triple r0 = p[0], r1 = p[1], r2 = p[2], r3 = p[3];
                const unsigned d0 = digit_of(r0), d1 = digit_of(r1), d2 = digit_of(r2), d3 = digit_of(r3);
                place<kFull>(a, next, end, p, r0, d0, b);
                place<kFull>(a, next, end, p + 1, r1, d1, b);
                place<kFull>(a, next, end, p + 2, r2, d2, b);
                place<kFull>(a, next, end, p + 3, r3, d3, b);
            }
            for (; p < e; ++p) {
                const morvex_Triple r = *p;
                place<kFull>(a, next, end, p, r, digit_of(r), b);
            }
            if (next[b] != end[b])
                open[kept++] = b;
        }
        nopen = kept;
        if constexpr (kFull == WhenFull::kStay) {
            size_t now = 0;
            for (unsigned b = 0; b < buckets; ++b)
                now += next[b];
            if (now == placed)
                break;
            placed = now;
        }
    }
}

}  // namespace dist
}  // namespace mx

#undef MX_DIST_INLINE
#undef MX_DIST_UNLIKELY
