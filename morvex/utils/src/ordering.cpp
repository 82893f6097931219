// ordering.cpp -- triple ordering: the five strict orders on (head, relation,
// tail) triples, quick_sort (with a specialised in-place radix sort for those
// five orders) and the float-keyed qsort-style comparison _compare.
//
// Nothing here touches the interpreter: every function is callable without
// the GIL.
#include "internal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace mx {

namespace {

// ---- keys ------------------------------------------------------------------
//
// Each order compares the three signed fields lexicographically in its own
// field sequence.  Flipping the sign bit of a field maps the signed order onto
// the unsigned one, so an order is also the order of the 96-bit unsigned key
// (word(F0) : word(F1) : word(F2)).  The radix sort walks that key a byte at a
// time, most significant first: level k is byte k % 4 of word F[k / 4].

// Field indices in record order.
constexpr int kHead = 0, kRel = 1, kTail = 2;

template <int F>
inline int32_t field(const morvex_Triple &t) {
    static_assert(F >= 0 && F <= 2, "field index");
    if constexpr (F == kHead)
        return t.head;
    else if constexpr (F == kRel)
        return t.relation;
    else
        return t.tail;
}

// The order-preserving unsigned image of a field.
template <int F>
inline uint32_t word(const morvex_Triple &t) {
    return static_cast<uint32_t>(field<F>(t)) ^ 0x80000000u;
}

// Byte B (0 = most significant) of the unsigned image of field F.
template <int F, int B>
inline unsigned digit(const morvex_Triple &t) {
    static_assert(B >= 0 && B <= 3, "byte index");
    return (word<F>(t) >> (24 - 8 * B)) & 0xffu;
}

// An order: the fields compared first, second and third.
template <int F0, int F1, int F2>
struct Order {
    static constexpr int fields[3] = {F0, F1, F2};

    // The plain definition: signed fields, lexicographically.
    static int lex_less(const morvex_Triple &a, const morvex_Triple &b) {
        if (field<F0>(a) != field<F0>(b))
            return field<F0>(a) < field<F0>(b);
        if (field<F1>(a) != field<F1>(b))
            return field<F1>(a) < field<F1>(b);
        return field<F2>(a) < field<F2>(b);
    }

    // The same order on the unsigned key, with few branches: the sort's
    // inner comparison.
    static inline bool less(const morvex_Triple &a, const morvex_Triple &b) {
        const uint64_t ha = (uint64_t{word<F0>(a)} << 32) | word<F1>(a);
        const uint64_t hb = (uint64_t{word<F0>(b)} << 32) | word<F1>(b);
        return ha < hb || (ha == hb && word<F2>(a) < word<F2>(b));
    }
};

using HeadOrder = Order<kHead, kRel, kTail>;
using TailOrder = Order<kTail, kRel, kHead>;
using RelOrder = Order<kHead, kTail, kRel>;
using Rel2Order = Order<kRel, kHead, kTail>;
using Rel3Order = Order<kRel, kTail, kHead>;

// ---- the radix sort -------------------------------------------------------------
//
// In-place most-significant-digit radix sort with 8-bit digits (the
// "American flag" scheme: count, then permute along cycles), recursing into
// each bucket with the next byte.  Buckets of at most kSmallSort records go to
// an inlined comparison sort.  Bytes that are equal across the whole input are
// found in one scan first and skipped; within a bucket, a byte that puts every
// record into the same bucket is skipped without permuting.  Depth is at most
// 12 (one level per key byte), each level uses 1 KiB of stack, and nothing is
// allocated on the heap.

// Buckets of at most this many records are sorted by comparison.
#ifndef MX_SMALL
#define MX_SMALL 96
#endif
constexpr uint32_t kSmallSort = MX_SMALL;

constexpr int kLevels = 12;
constexpr unsigned kRadix = 256;

// Counts the digits of a[0, n) into cnt; returns false (and leaves the
// records alone) when they all share one digit, else permutes the records
// into digit order, leaving cnt holding each bucket's size.
template <int F, int B>
bool partition(morvex_Triple *a, uint32_t n, uint32_t *cnt) {
    // Two interleaved histograms shorten the store-to-load chains on runs of
    // equal digits.
    uint32_t c0[kRadix] = {}, c1[kRadix] = {};
    uint32_t i = 0;
    for (; i + 2 <= n; i += 2) {
        ++c0[digit<F, B>(a[i])];
        ++c1[digit<F, B>(a[i + 1])];
    }
    if (i < n)
        ++c0[digit<F, B>(a[i])];

    uint32_t next[kRadix], end[kRadix];
    uint32_t sum = 0;
    for (unsigned b = 0; b < kRadix; ++b) {
        const uint32_t c = c0[b] + c1[b];
        if (c == n)
            return false;
        cnt[b] = c;
        next[b] = sum;
        sum += c;
        end[b] = sum;
    }

    // Sweep the unplaced part of each bucket, swapping every record into the
    // next free slot of its own bucket; the record that comes back is left
    // for a later round.  A slot swept in bucket b only ever receives a
    // record from b's own placed front or from another bucket, so the digits
    // of a group of records can be read before any of them moves, and the
    // swaps of a group do not depend on one another.  Each swap places one
    // record for good; rounds repeat until every bucket is full.
    bool again = true;
    while (again) {
        again = false;
        for (unsigned b = 0; b < kRadix; ++b) {
            uint32_t i = next[b];
            const uint32_t e = end[b];
            if (i == e)
                continue;
            for (; i + 4 <= e; i += 4) {
                const unsigned d0 = digit<F, B>(a[i]), d1 = digit<F, B>(a[i + 1]);
                const unsigned d2 = digit<F, B>(a[i + 2]), d3 = digit<F, B>(a[i + 3]);
                std::swap(a[i], a[next[d0]++]);
                std::swap(a[i + 1], a[next[d1]++]);
                std::swap(a[i + 2], a[next[d2]++]);
                std::swap(a[i + 3], a[next[d3]++]);
            }
            for (; i < e; ++i)
                std::swap(a[i], a[next[digit<F, B>(a[i])]++]);
            again |= next[b] != e;
        }
    }
    return true;
}

using PartitionFn = bool (*)(morvex_Triple *, uint32_t, uint32_t *);

// The partition step of each (field, byte), indexed [field][byte].
constexpr PartitionFn kPartition[3][4] = {
    {partition<0, 0>, partition<0, 1>, partition<0, 2>, partition<0, 3>},
    {partition<1, 0>, partition<1, 1>, partition<1, 2>, partition<1, 3>},
    {partition<2, 0>, partition<2, 1>, partition<2, 2>, partition<2, 3>},
};

template <class O>
inline void small_sort(morvex_Triple *a, uint32_t n) {
    std::sort(a, a + n, [](const morvex_Triple &x, const morvex_Triple &y) { return O::less(x, y); });
}

// Sorts a[0, n) (n > kSmallSort) on the key bytes `steps[0, nsteps)`, all
// earlier bytes being equal across the range.
template <class O>
void radix_sort(morvex_Triple *a, uint32_t n, const PartitionFn *steps, int nsteps) {
    uint32_t cnt[kRadix];
    for (;;) {
        if (nsteps == 0)
            return;  // every remaining byte agrees: the records are equal
        const PartitionFn step = *steps++;
        --nsteps;
        if (step(a, n, cnt))
            break;
    }
    if (nsteps == 0)
        return;  // each bucket holds equal records
    for (unsigned b = 0; b < kRadix; ++b) {
        const uint32_t c = cnt[b];
        if (c > kSmallSort)
            radix_sort<O>(a, c, steps, nsteps);
        else if (c > 1)
            small_sort<O>(a, c);
        a += c;
    }
}

template <class O>
void fast_sort(morvex_Triple *a, uint32_t n) {
    if (n <= kSmallSort) {
        small_sort<O>(a, n);
        return;
    }

    // One scan: which bits differ anywhere (per field), and whether the input
    // is already in order.
    const uint32_t h0 = word<kHead>(a[0]), r0 = word<kRel>(a[0]), t0 = word<kTail>(a[0]);
    uint32_t dh = 0, dr = 0, dt = 0;
    uint32_t i = 1;
    for (; i < n && !O::less(a[i], a[i - 1]); ++i) {
        dh |= word<kHead>(a[i]) ^ h0;
        dr |= word<kRel>(a[i]) ^ r0;
        dt |= word<kTail>(a[i]) ^ t0;
    }
    if (i == n)
        return;
    for (; i < n; ++i) {
        dh |= word<kHead>(a[i]) ^ h0;
        dr |= word<kRel>(a[i]) ^ r0;
        dt |= word<kTail>(a[i]) ^ t0;
    }

    const uint32_t diff[3] = {dh, dr, dt};
    PartitionFn steps[kLevels];
    int nsteps = 0;
    for (int k = 0; k < kLevels; ++k) {
        const int f = O::fields[k / 4], byte = k % 4;
        if ((diff[f] >> (24 - 8 * byte)) & 0xffu)
            steps[nsteps++] = kPartition[f][byte];
    }
    radix_sort<O>(a, n, steps, nsteps);
}

}  // namespace

// ---- exported --------------------------------------------------------------

int cmp_head(morvex_Triple a, morvex_Triple b) { return HeadOrder::lex_less(a, b); }
int cmp_tail(morvex_Triple a, morvex_Triple b) { return TailOrder::lex_less(a, b); }
int cmp_rel(morvex_Triple a, morvex_Triple b) { return RelOrder::lex_less(a, b); }
int cmp_rel2(morvex_Triple a, morvex_Triple b) { return Rel2Order::lex_less(a, b); }
int cmp_rel3(morvex_Triple a, morvex_Triple b) { return Rel3Order::lex_less(a, b); }

// Sorts array[0, count) ascending under `cmp`.  The five orders above take
// the radix sort; since equal triples are identical, its result is the same
// sequence any correct sort produces.  Any other comparison is used as given.
void quick_sort(morvex_Triple *array, int count, morvex_cmp_type cmp) {
    if (count < 2)
        return;
    const uint32_t n = static_cast<uint32_t>(count);
    if (cmp == cmp_head)
        fast_sort<HeadOrder>(array, n);
    else if (cmp == cmp_tail)
        fast_sort<TailOrder>(array, n);
    else if (cmp == cmp_rel)
        fast_sort<RelOrder>(array, n);
    else if (cmp == cmp_rel2)
        fast_sort<Rel2Order>(array, n);
    else if (cmp == cmp_rel3)
        fast_sort<Rel3Order>(array, n);
    else
        std::sort(array, array + count, [cmp](const morvex_Triple &a, const morvex_Triple &b) {
            return cmp(a, b) != 0;
        });
}

// qsort-style comparison of two records on their second 32-bit field, read as
// a float: the sign of the single-precision difference, with a zero
// difference counted as "after" and an undefined one (NaN, or the same
// infinity on both sides) as equal.
int _compare(const void *a, const void *b) {
    float fa, fb;
    std::memcpy(&fa, static_cast<const char *>(a) + 4, sizeof fa);
    std::memcpy(&fb, static_cast<const char *>(b) + 4, sizeof fb);
    const float d = fa - fb;
    if (d < 0.0f)
        return -1;
    if (d >= 0.0f)
        return 1;
    return 0;
}

}  // namespace mx
