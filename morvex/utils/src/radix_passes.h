// radix_passes.h -- the passes of the radix sort of radix_sort.cpp over a
// range of records: the sorts that finish small buckets, counting digits,
// copying and scattering through the buffer, the leaf split's bucket ends,
// the in-place distribution, and the digit widths.
//
// Included by radix_sort.cpp alone, and free of the interpreter.
#pragma once

#include "radix_plan.h"

#include "../kernels/distribute.h"

#include <algorithm>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {

namespace {

template <class O>
void insertion_sort(morvex_Triple *a, uint32_t n) {
    for (uint32_t i = 1; i < n; ++i) {
        if (!O::less(a[i], a[i - 1]))
            continue;  // the usual case in the nearly sorted runs it is given
        const morvex_Triple v = a[i];
        uint32_t j = i;
        do {
            a[j] = a[j - 1];
            --j;
        } while (j > 0 && O::less(v, a[j - 1]));
        a[j] = v;
    }
}

// A record as its key under order O, the words of the fields it compares
// first and second, then third: what the exchanges below move, writing
// the record back from it.
template <class O>
struct Keyed {
    uint64_t hi;
    uint32_t lo;

    static MX_ALWAYS_INLINE Keyed load(const morvex_Triple *p) {
        return {(uint64_t{keys::word<O::f0>(*p)} << 32) | keys::word<O::f1>(*p), keys::word<O::f2>(*p)};
    }
    // Whether x sorts before y (without a branch between the words).
    static MX_ALWAYS_INLINE bool before(const Keyed &x, const Keyed &y) {
        return (x.hi < y.hi) | ((x.hi == y.hi) & (x.lo < y.lo));
    }
    MX_ALWAYS_INLINE void store(morvex_Triple *p) const {
        int32_t f[3];
        f[O::f0] = static_cast<int32_t>(static_cast<uint32_t>(hi >> 32) ^ 0x80000000u);
        f[O::f1] = static_cast<int32_t>(static_cast<uint32_t>(hi) ^ 0x80000000u);
        f[O::f2] = static_cast<int32_t>(lo ^ 0x80000000u);
        p->head = f[0];
        p->relation = f[1];
        p->tail = f[2];
    }
};

// Puts x and y in order.
template <class O>
MX_ALWAYS_INLINE void exchange(Keyed<O> &x, Keyed<O> &y) {
    // (selects, which GCC turns into branches: the masks of sort2 cost more
    // here, where each exchange depends on the one before)
    const bool swap = Keyed<O>::before(y, x);
    const uint64_t hx = swap ? y.hi : x.hi, hy = swap ? x.hi : y.hi;
    const uint32_t lx = swap ? y.lo : x.lo, ly = swap ? x.lo : y.lo;
    x.hi = hx;
    y.hi = hy;
    x.lo = lx;
    y.lo = ly;
}

// Sorts a[0, 2) by an exchange written with masks, which the compiler
// keeps free of branches: the order of a bucket's two records is a coin
// toss, which a branch would mispredict half the time.
template <class O>
MX_ALWAYS_INLINE void sort2(morvex_Triple *a) {
    const Keyed<O> x = Keyed<O>::load(a), y = Keyed<O>::load(a + 1);
    const uint64_t swap = uint64_t{0} - uint64_t{Keyed<O>::before(y, x)};
    const uint64_t dh = (x.hi ^ y.hi) & swap;
    const uint32_t dl = (x.lo ^ y.lo) & static_cast<uint32_t>(swap);
    Keyed<O>{x.hi ^ dh, x.lo ^ dl}.store(a);
    Keyed<O>{y.hi ^ dh, y.lo ^ dl}.store(a + 1);
}

// Sorts a[0, 3) by a network of three exchanges.
template <class O>
MX_ALWAYS_INLINE void sort3(morvex_Triple *a) {
    Keyed<O> x = Keyed<O>::load(a), y = Keyed<O>::load(a + 1), z = Keyed<O>::load(a + 2);
    exchange(x, y);
    exchange(y, z);
    exchange(x, y);
    x.store(a);
    y.store(a + 1);
    z.store(a + 2);
}

// Counts the digits of a[0, n) into cnt[0, buckets).  (Here and below the
// digit is taken by value: a record store could alias a digit read through
// a reference, which would then be read again after every store.)
template <class D, class C>
void count_digits(const morvex_Triple *a, uint32_t n, D digit_of, unsigned buckets, C *cnt) {
    std::fill(cnt, cnt + buckets, C{0});
    for (uint32_t i = 0; i < n; ++i) {
        prefetch_read(reinterpret_cast<uintptr_t>(a + i) + kScanAhead * sizeof(morvex_Triple));
        ++cnt[digit_of(a[i])];
    }
}

// Copies record t of a (t itself, not a copy) to the same index of out and
// counts its digit into cnt: copy_counting() one record at a time, for
// scans that do more with each record.  `kAhead`: a is read ahead (a range
// that may not be cached).
template <bool kAhead, class D, class C>
MX_ALWAYS_INLINE void copy_one(const morvex_Triple *a, const morvex_Triple &t, D digit_of, C *cnt,
                               morvex_Triple *out) {
    if constexpr (kAhead)
        prefetch_read(reinterpret_cast<uintptr_t>(&t) + kScanAhead * sizeof(morvex_Triple));
    // (Each record is read whole before anything is written, here and in
    // scatter: a store could alias the rest of the record, and a load
    // behind it would then wait on it.)
    const morvex_Triple r = t;
    out[&t - a] = r;
    ++cnt[digit_of(r)];
}

// Copies a[0, n) to out[0, n) and counts the copy's digits into cnt[0,
// buckets): the counts match the copy whatever other threads do to `a`.
template <bool kAhead = false, class D, class C>
inline void copy_counting(const morvex_Triple *a, uint32_t n, D digit_of, unsigned buckets, C *cnt,
                          morvex_Triple *out) {
    std::fill(cnt, cnt + buckets, C{0});
    for (uint32_t i = 0; i < n; ++i)
        copy_one<kAhead>(a, a[i], digit_of, cnt, out);
}

// The start of each bucket, given the bucket sizes.
inline void bucket_starts(const uint32_t *cnt, unsigned buckets, uint32_t *next) {
    uint32_t sum = 0;
    for (unsigned b = 0; b < buckets; ++b) {
        next[b] = sum;
        sum += cnt[b];
    }
}

// Writes a[0, n), whose digit counts are cnt[0, buckets), to out[0, n) in
// digit order.
template <class D>
void scatter(const morvex_Triple *a, uint32_t n, D digit_of, unsigned buckets,
             const uint32_t *cnt, morvex_Triple *out, Workspace &ws) {
    uint32_t *const next = ws.next;
    bucket_starts(cnt, buckets, next);
    for (uint32_t i = 0; i < n; ++i) {
        const morvex_Triple r = a[i];  // read whole before the store (see copy_counting)
        out[next[digit_of(r)]++] = r;
    }
}

// Turns the counts next[0, buckets) of a leaf split into the starts of
// their buckets, and returns the largest count.  kMark: also marks each
// bucket of two records or more in crowded[], a bit per bucket.  A leaf
// has at most kLargeLeaf records, so the counts and sums fit 15 bits; where
// SSE2 is there (always on x86-64), eight buckets are summed at a time:
// one bucket at a time, this loop cost a large leaf about as much as
// sorting its crowded buckets.
template <bool kMark>
inline uint32_t leaf_starts(uint16_t *next, unsigned buckets, uint64_t *crowded) {
    static_assert(kLargeLeaf < 0x8000, "signed 16-bit lanes");
    unsigned b = 0;
    uint32_t sum = 0, largest = 0;
    uint64_t word = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1);
    __m128i base = zero, most = zero;  // the sum so far in every lane; the largest count per lane
    for (; b + 8 <= buckets; b += 8) {
        __m128i *const p = reinterpret_cast<__m128i *>(next + b);
        const __m128i c = _mm_loadu_si128(p);
        __m128i s = _mm_add_epi16(c, _mm_slli_si128(c, 2));  // the sums up to each lane
        s = _mm_add_epi16(s, _mm_slli_si128(s, 4));
        s = _mm_add_epi16(s, _mm_slli_si128(s, 8));
        _mm_storeu_si128(p, _mm_add_epi16(base, _mm_sub_epi16(s, c)));
        s = _mm_shufflehi_epi16(_mm_add_epi16(s, base), 0xff);
        base = _mm_unpackhi_epi64(s, s);
        most = _mm_max_epi16(most, c);
        if constexpr (kMark) {
            const int many = _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpgt_epi16(c, one), zero));
            word |= uint64_t{static_cast<uint8_t>(many)} << (b & 63);
            if ((b & 63) == 56) {
                crowded[b >> 6] = word;
                word = 0;
            }
        }
    }
    sum = static_cast<uint16_t>(_mm_cvtsi128_si32(base));
    most = _mm_max_epi16(most, _mm_srli_si128(most, 8));
    most = _mm_max_epi16(most, _mm_srli_si128(most, 4));
    most = _mm_max_epi16(most, _mm_srli_si128(most, 2));
    largest = static_cast<uint16_t>(_mm_cvtsi128_si32(most));
#endif
    for (; b < buckets; ++b) {
        const uint32_t c = next[b];
        next[b] = static_cast<uint16_t>(sum);
        sum += c;
        largest = std::max(largest, c);
        if constexpr (kMark) {
            word |= uint64_t{c > 1} << (b & 63);
            if ((b & 63) == 63) {
                crowded[b >> 6] = word;
                word = 0;
            }
        }
    }
    if (kMark && buckets % 64 != 0)
        crowded[buckets / 64] = word;
    return largest;
}

// Moves the records of a[0, n), whose digit counts are cnt[0, buckets)
// (summing to n), into digit order in place (see ../kernels/distribute.h).
// Whatever other threads do to the records meanwhile, it stays inside
// a[0, n) and returns; the order is then unspecified.
template <class D>
void distribute(morvex_Triple *a, D digit_of, unsigned buckets, const uint32_t *cnt, Workspace &ws) {
    bucket_starts(cnt, buckets, ws.next);
    for (unsigned b = 0; b < buckets; ++b)
        ws.end[b] = ws.next[b] + cnt[b];
    dist::sweep<dist::WhenFull::kSweptBucket>(a, ws.next, ws.end, buckets, digit_of, ws.open);
}

// The digit width for a range of n <= kBuffered records that a leaf split
// left unfinished (rare: heavily repeated keys): enough levels of at most
// kMaxBits each to bring the buckets down to about one record, with the bits
// spread evenly over those levels (a last level of only a few bits would
// leave large buckets for insertion sort).  Ranges of up to 2^(kMaxBits +
// kLeafBits) records take a single level and leave buckets of a few records.
inline int digit_width(uint32_t n) {
    const int bits = std::max(kMinBits, bit_length(n));
    if (bits <= kMaxBits + kLeafBits)
        return std::min(bits, kMaxBits);
    const int levels = (bits - kLeafBits + kMaxBits - 1) / kMaxBits;
    return std::min(kMaxBits, (bits + levels - 1) / levels);
}

// The digit width for a range of n > kBuffered records: enough levels of at
// most kMaxBits each to bring the buckets down to about 2^kLeafTargetBits
// records, where a leaf split finishes them, with the bits spread evenly
// over those levels.  When `wide_ok` (no split on the path so far was wider
// than kMaxBits) a single level is taken instead of two: of up to kWideBits
// (a range of a million records then needs one in-place pass, not two), or
// else of up to kLargeWideBits towards buckets of about
// 2^kLargeLeafTargetBits records, which large leaf splits finish (`large`):
// ten million records then need one pass over main memory, not two.
inline int split_width(uint32_t n, bool wide_ok, bool &large) {
    large = false;
    const int bits = std::max(1, bit_length(n) - kLeafTargetBits);
    if (wide_ok && bits <= kWideBits)
        return std::max(kMinBits, bits);
    if (wide_ok && bit_length(n) - kLargeLeafTargetBits <= kLargeWideBits) {
        large = true;
        return bit_length(n) - kLargeLeafTargetBits;
    }
    const int levels = (bits + kMaxBits - 1) / kMaxBits;
    return std::max(kMinBits, (bits + levels - 1) / levels);
}

// The digit width of a leaf split of n records: about one record per
// bucket, or two buckets per record in a large leaf (n > kBuffered), whose
// crowded buckets cost more than the extra counts it sums.
inline int leaf_width(uint32_t n) {
    static_assert(2 * kLargeLeaf <= 1u << kLeafMaxBits, "leaf digits");
    return std::min(kLeafMaxBits, std::max(kMinBits, bit_length(n) + (n > kBuffered ? 1 : 0)));
}

}  // namespace

}  // namespace mx
