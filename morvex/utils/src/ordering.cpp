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
// In-place most-significant-digit radix sort on the 96-bit key, reading the
// key straight out of the records.  The digit width follows the size of the
// range being split (wide digits for large ranges, narrow ones near the
// leaves, so that counting never costs much more than the records
// themselves); ranges of at most kInsertion records are finished by insertion
// sort.  A split that leaves every record in one bucket is skipped: the range
// is scanned once for the first key bit that differs, and splitting resumes
// there.  Each split consumes at least kMinBits key bits, so the recursion is
// at most 96 / kMinBits deep, with small frames; the counting arrays live only
// for the duration of one split.  Nothing is allocated on the heap and the
// work is O(n) per level.

#ifndef MX_SMALL
#define MX_SMALL 16
#endif
#ifndef MX_MAXBITS
#define MX_MAXBITS 8
#endif
#ifndef MX_SLACK
#define MX_SLACK 2
#endif
#ifndef MX_SWEEP
#define MX_SWEEP 4096
#endif
constexpr uint32_t kInsertion = MX_SMALL;  // ranges this small: insertion sort
constexpr int kMaxBits = MX_MAXBITS;       // widest digit
constexpr int kMinBits = 3;                // narrowest digit
constexpr int kWidthSlack = MX_SLACK;      // digit width = log2(n) - slack
constexpr uint32_t kSweepFrom = MX_SWEEP;  // ranges this large: permute by sweeps
constexpr int kKeyBits = 96;

#if defined(__GNUC__)
#define MX_PREFETCH(p) __builtin_prefetch(p, 1)
#else
#define MX_PREFETCH(p) ((void)0)
#endif

// Number of significant bits of x (0 for 0).
inline int bit_length(uint64_t x) {
    int r = 0;
    while (x) {
        x >>= 1;
        ++r;
    }
    return r;
}

// A window of `width` key bits starting `pos` bits below the top of the key.
// The key is split into two overlapping 64-bit halves, word(F0):word(F1)
// (key bits 0..63) and word(F1):word(F2) (bits 32..95); a window of at most
// 32 bits always fits in one of them.
template <class O, bool Upper>
struct Digit {
    int shift_left;   // drops the bits above the window
    int shift_right;  // drops the bits below it

    Digit(int pos, int width)
        : shift_left(Upper ? pos : pos - 32), shift_right(64 - width) {}

    unsigned operator()(const morvex_Triple &t) const {
        constexpr int A = Upper ? O::fields[0] : O::fields[1];
        constexpr int B = Upper ? O::fields[1] : O::fields[2];
        const uint64_t half = (uint64_t{word<A>(t)} << 32) | word<B>(t);
        return static_cast<unsigned>((half << shift_left) >> shift_right);
    }
};

template <class O>
void insertion_sort(morvex_Triple *a, uint32_t n) {
    for (uint32_t i = 1; i < n; ++i) {
        const morvex_Triple v = a[i];
        uint32_t j = i;
        for (; j > 0 && O::less(v, a[j - 1]); --j)
            a[j] = a[j - 1];
        a[j] = v;
    }
}

// Splits a[0, n) into the 2^width buckets of `digit`; returns false (leaving
// the records alone) when they all fall into one bucket.
template <class D>
bool split(morvex_Triple *a, uint32_t n, const D &digit, int width) {
    const unsigned buckets = 1u << width;
    uint32_t next[1u << kMaxBits], end[1u << kMaxBits];
    std::fill(next, next + buckets, 0u);
    for (uint32_t i = 0; i < n; ++i)
        ++next[digit(a[i])];
    uint32_t sum = 0;
    for (unsigned b = 0; b < buckets; ++b) {
        const uint32_t c = next[b];
        if (c == n)
            return false;
        next[b] = sum;
        sum += c;
        end[b] = sum;
    }

    if (n < kSweepFrom) {
        // Follow each displaced record to its bucket's next free slot,
        // carrying the record found there, until one belonging to the
        // current bucket turns up.  Once all buckets but the last are full,
        // so is the last.
        for (unsigned b = 0; b + 1 < buckets; ++b) {
            while (next[b] < end[b]) {
                morvex_Triple v = a[next[b]];
                unsigned d = digit(v);
                while (d != b) {
                    const morvex_Triple w = a[next[d]];
                    a[next[d]++] = v;
                    v = w;
                    d = digit(v);
                }
                a[next[b]++] = v;
            }
        }
        return true;
    }

    // Large ranges: sweep the unplaced part of each bucket, swapping every
    // record into the next free slot of its own bucket and leaving the one
    // that comes back for a later round.  A slot swept in bucket b only
    // receives records from b's placed front or from other buckets, so the
    // digits of a group can all be read before any record moves and the
    // swaps of a group are independent of one another (unlike the cycles
    // above, whose every step waits on the previous load).  Each swap places
    // one record for good; rounds repeat over the buckets still unfinished.
    unsigned open[1u << kMaxBits];
    unsigned nopen = 0;
    for (unsigned b = 0; b < buckets; ++b)
        if (next[b] != end[b])
            open[nopen++] = b;
    while (nopen > 0) {
        unsigned kept = 0;
        for (unsigned k = 0; k < nopen; ++k) {
            const unsigned b = open[k];
            uint32_t i = next[b];
            const uint32_t e = end[b];
            for (; i + 4 <= e; i += 4) {
                const unsigned d0 = digit(a[i]), d1 = digit(a[i + 1]);
                const unsigned d2 = digit(a[i + 2]), d3 = digit(a[i + 3]);
                const uint32_t t0 = next[d0]++;
                std::swap(a[i], a[t0]);
                MX_PREFETCH(&a[t0 + 16]);
                const uint32_t t1 = next[d1]++;
                std::swap(a[i + 1], a[t1]);
                MX_PREFETCH(&a[t1 + 16]);
                const uint32_t t2 = next[d2]++;
                std::swap(a[i + 2], a[t2]);
                MX_PREFETCH(&a[t2 + 16]);
                const uint32_t t3 = next[d3]++;
                std::swap(a[i + 3], a[t3]);
                MX_PREFETCH(&a[t3 + 16]);
            }
            for (; i < e; ++i)
                std::swap(a[i], a[next[digit(a[i])]++]);
            if (next[b] != e)
                open[kept++] = b;
        }
        nopen = kept;
    }
    return true;
}

// The first key bit (counted from the top) at which the records of a[0, n)
// differ, or kKeyBits if they are all equal.
template <class O>
int first_difference(const morvex_Triple *a, uint32_t n) {
    constexpr int F0 = O::fields[0], F1 = O::fields[1], F2 = O::fields[2];
    uint32_t x0 = 0, x1 = 0, x2 = 0;
    for (uint32_t i = 1; i < n; ++i) {
        x0 |= word<F0>(a[i]) ^ word<F0>(a[0]);
        x1 |= word<F1>(a[i]) ^ word<F1>(a[0]);
        x2 |= word<F2>(a[i]) ^ word<F2>(a[0]);
    }
    if (x0)
        return 32 - bit_length(x0);
    if (x1)
        return 64 - bit_length(x1);
    if (x2)
        return 96 - bit_length(x2);
    return kKeyBits;
}

// Splits a[0, n) at key bit `pos` with a width of `width` bits.
template <class O>
bool split_at(morvex_Triple *a, uint32_t n, int pos, int width) {
    if (pos + width <= 64)
        return split(a, n, Digit<O, true>(pos, width), width);
    return split(a, n, Digit<O, false>(pos, width), width);
}

// The end of the bucket starting at `from` in a range already split on
// `digit`: the first index whose digit is larger, found by galloping.
template <class D>
uint32_t bucket_end(const morvex_Triple *a, uint32_t from, uint32_t n, const D &digit) {
    const unsigned d = digit(a[from]);
    uint32_t lo = from + 1, step = 1;  // a[lo - 1] is in the bucket
    uint32_t hi = lo;
    while (hi < n && digit(a[hi]) == d) {
        lo = hi + 1;
        step *= 2;
        hi = (n - lo > step) ? lo + step : n;
    }
    // the bucket ends in [lo, hi]: a[lo - 1] inside, a[hi] (if any) beyond
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (digit(a[mid]) == d)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

template <class O>
void radix_sort(morvex_Triple *a, uint32_t n, int pos);

// Sorts each bucket of a range split on `digit`.
template <class O, class D>
void sort_buckets(morvex_Triple *a, uint32_t n, const D &digit, int pos) {
    for (uint32_t from = 0; from < n;) {
        const uint32_t to = bucket_end(a, from, n, digit);
        const uint32_t c = to - from;
        if (c > kInsertion)
            radix_sort<O>(a + from, c, pos);
        else if (c > 1)
            insertion_sort<O>(a + from, c);
        from = to;
    }
}

// Sorts a[0, n) (n > kInsertion), whose keys agree on the bits above `pos`.
template <class O>
void radix_sort(morvex_Triple *a, uint32_t n, int pos) {
    int width;
    for (;;) {
        if (pos >= kKeyBits)
            return;
        width = std::min(kMaxBits, std::max(kMinBits, bit_length(n) - kWidthSlack));
        width = std::min(width, kKeyBits - pos);
        if (split_at<O>(a, n, pos, width))
            break;
        pos = first_difference<O>(a, n);
    }
    if (pos + width <= 64)
        sort_buckets<O>(a, n, Digit<O, true>(pos, width), pos + width);
    else
        sort_buckets<O>(a, n, Digit<O, false>(pos, width), pos + width);
}

template <class O>
void fast_sort(morvex_Triple *a, uint32_t n) {
    if (n <= kInsertion) {
        insertion_sort<O>(a, n);
        return;
    }

    // Skip the work for input already in order; otherwise start splitting
    // at the first key bit that differs anywhere.
    uint32_t i = 1;
    while (i < n && !O::less(a[i], a[i - 1]))
        ++i;
    if (i == n)
        return;
    radix_sort<O>(a, n, first_difference<O>(a, n));
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
