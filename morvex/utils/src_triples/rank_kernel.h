// rank_kernel.h -- the counting step of filtered ranking: how many scores of
// a row are strictly above a threshold and how many equal it.
//
// A row is `count` scores of one type (float16, float32 or float64, in this
// machine's byte order), contiguous but at any address: they are read with
// unaligned loads, each once.  The threshold is the true entity's score as
// the row's type sees it (Threshold): a true score that the type cannot hold
// exactly ties with nothing, and the scores above it are those above the
// largest value of the type below it.  A NaN score is neither above nor
// equal to anything.
//
// The loops use SSE2, which every x86-64 has, four vectors at a time; float16
// is compared through an order-preserving 16-bit integer key, so it needs no
// conversion instructions.  Elsewhere the same counts come from the scalar
// loop.  The loops fetch kAhead bytes ahead of what they read, and a run's
// first kAhead bytes at once: runs are often short (a chunk of each row),
// and the hardware's prefetcher would otherwise start each one late.
//
// Nothing here touches the interpreter, nor includes Python.h.
#pragma once

#include "../kernels/prefetch.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {
namespace rank {

enum class Dtype { kF16, kF32, kF64 };

inline int item_size(Dtype d) { return d == Dtype::kF16 ? 2 : d == Dtype::kF32 ? 4 : 8; }

// Scores above and equal to the threshold.
struct Counts {
    int64_t higher = 0, tied = 0;
};

// ---- float16 as ordered integers -------------------------------------------------

// The order-preserving key of a float16 that is not NaN: its magnitude,
// negated when the sign is set, so that -0 and +0 are both 0.
inline int32_t half_key(uint16_t bits) {
    const int32_t magnitude = bits & 0x7FFF;
    return bits & 0x8000 ? -magnitude : magnitude;
}

inline bool half_is_nan(uint16_t bits) { return (bits & 0x7FFF) > 0x7C00; }

// The value of a float16 magnitude (bits without the sign, not NaN).
inline double half_magnitude(int32_t magnitude) {
    const int exponent = magnitude >> 10, fraction = magnitude & 0x3FF;
    if (exponent == 0x1F)
        return std::numeric_limits<double>::infinity();
    if (exponent == 0)
        return std::ldexp(double(fraction), -24);
    return std::ldexp(double(fraction | 0x400), exponent - 25);
}

// The value of a key (from half_key).
inline double half_key_value(int32_t key) { return key < 0 ? -half_magnitude(-key) : half_magnitude(key); }

// ---- the threshold ---------------------------------------------------------------

// The true score of a row as its scores' type sees it: `value` (float32 and
// float64) or `key` (float16) is the largest value of the type at or below
// the true score; `exact` says whether it is the true score itself.  When it
// is not, no score ties, and the scores above it are the scores above the
// true score.  The true score is not NaN.
struct Threshold {
    double value = 0;
    int32_t key = 0;
    bool exact = true;
};

inline Threshold threshold(Dtype d, double score) {
    Threshold t;
    if (d == Dtype::kF64) {
        t.value = score;
    } else if (d == Dtype::kF32) {
        float f = static_cast<float>(score);  // the nearest float, or an infinity past the largest
        if (double(f) > score)
            f = std::nextafter(f, -std::numeric_limits<float>::infinity());
        t.value = f;
        t.exact = double(f) == score;
    } else {
        // the largest key whose value is at or below the score, by bisection
        // over the keys of the values that are not NaN, [-0x7C00, 0x7C00]
        int32_t lo = -0x7C00, hi = 0x7C00;  // value(lo) = -inf <= score throughout
        while (lo < hi) {
            const int32_t mid = lo + (hi - lo + 1) / 2;
            if (half_key_value(mid) <= score)
                lo = mid;
            else
                hi = mid - 1;
        }
        t.key = lo;
        t.value = half_key_value(lo);
        t.exact = t.value == score;
    }
    return t;
}

// ---- one score ----------------------------------------------------------------

// Adds to `c` score `p` (an item of type `d`, at any address); a tie only
// when the threshold is exact.
inline void count_one(Dtype d, const char *p, const Threshold &t, Counts &c) {
    if (d == Dtype::kF16) {
        uint16_t bits;
        std::memcpy(&bits, p, 2);
        if (half_is_nan(bits))
            return;
        const int32_t key = half_key(bits);
        c.higher += key > t.key;
        c.tied += t.exact && key == t.key;
    } else if (d == Dtype::kF32) {
        float x;
        std::memcpy(&x, p, 4);
        c.higher += x > float(t.value);
        c.tied += t.exact && x == float(t.value);
    } else {
        double x;
        std::memcpy(&x, p, 8);
        c.higher += x > t.value;
        c.tied += t.exact && x == t.value;
    }
}

// ---- a run of scores ----------------------------------------------------------

namespace detail {

#if defined(__SSE2__)

constexpr int64_t kAhead = 8192;

// Fetches the cache lines of [p, p + bytes).  Always inlined, as the
// prefetch is: a call of a function that only prefetches may be dropped.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void fetch(const char *p, int64_t bytes) {
    for (int64_t b = 0; b < bytes; b += 64)
        keys::prefetch_read(p + b);
}

// Fetches the line kAhead bytes past q, which may lie past the run, even
// past the array: a prefetch tolerates that, so its address is formed as an
// integer.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void fetch_ahead(const char *q) {
    keys::prefetch_read(reinterpret_cast<uintptr_t>(q) + kAhead);
}

// Sums the 32-bit lanes of v.
inline int64_t lanes32(__m128i v) {
    int32_t l[4];
    std::memcpy(l, &v, 16);
    return int64_t(l[0]) + l[1] + l[2] + l[3];
}

inline int64_t lanes64(__m128i v) {
    int64_t l[2];
    std::memcpy(l, &v, 16);
    return l[0] + l[1];
}

// float32, 16 scores a step; each lane counts at most count / 16 of them.
inline int64_t run_f32(const char *p, int64_t count, float v, Counts &c) {
    const __m128 t = _mm_set1_ps(v);
    __m128i g0 = _mm_setzero_si128(), g1 = g0, e0 = g0, e1 = g0;
    int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const char *q = p + i * 4;
        fetch_ahead(q);
        const __m128 x0 = _mm_loadu_ps(reinterpret_cast<const float *>(q));
        const __m128 x1 = _mm_loadu_ps(reinterpret_cast<const float *>(q + 16));
        const __m128 x2 = _mm_loadu_ps(reinterpret_cast<const float *>(q + 32));
        const __m128 x3 = _mm_loadu_ps(reinterpret_cast<const float *>(q + 48));
        // a true comparison is all ones, -1 in each lane
        g0 = _mm_sub_epi32(g0, _mm_castps_si128(_mm_cmpgt_ps(x0, t)));
        e0 = _mm_sub_epi32(e0, _mm_castps_si128(_mm_cmpeq_ps(x0, t)));
        g1 = _mm_sub_epi32(g1, _mm_castps_si128(_mm_cmpgt_ps(x1, t)));
        e1 = _mm_sub_epi32(e1, _mm_castps_si128(_mm_cmpeq_ps(x1, t)));
        g0 = _mm_sub_epi32(g0, _mm_castps_si128(_mm_cmpgt_ps(x2, t)));
        e0 = _mm_sub_epi32(e0, _mm_castps_si128(_mm_cmpeq_ps(x2, t)));
        g1 = _mm_sub_epi32(g1, _mm_castps_si128(_mm_cmpgt_ps(x3, t)));
        e1 = _mm_sub_epi32(e1, _mm_castps_si128(_mm_cmpeq_ps(x3, t)));
    }
    c.higher += lanes32(g0) + lanes32(g1);
    c.tied += lanes32(e0) + lanes32(e1);
    return i;
}

// float64, 8 scores a step, in 64-bit lanes.
inline int64_t run_f64(const char *p, int64_t count, double v, Counts &c) {
    const __m128d t = _mm_set1_pd(v);
    __m128i g0 = _mm_setzero_si128(), g1 = g0, e0 = g0, e1 = g0;
    int64_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const char *q = p + i * 8;
        fetch_ahead(q);
        const __m128d x0 = _mm_loadu_pd(reinterpret_cast<const double *>(q));
        const __m128d x1 = _mm_loadu_pd(reinterpret_cast<const double *>(q + 16));
        const __m128d x2 = _mm_loadu_pd(reinterpret_cast<const double *>(q + 32));
        const __m128d x3 = _mm_loadu_pd(reinterpret_cast<const double *>(q + 48));
        g0 = _mm_sub_epi64(g0, _mm_castpd_si128(_mm_cmpgt_pd(x0, t)));
        e0 = _mm_sub_epi64(e0, _mm_castpd_si128(_mm_cmpeq_pd(x0, t)));
        g1 = _mm_sub_epi64(g1, _mm_castpd_si128(_mm_cmpgt_pd(x1, t)));
        e1 = _mm_sub_epi64(e1, _mm_castpd_si128(_mm_cmpeq_pd(x1, t)));
        g0 = _mm_sub_epi64(g0, _mm_castpd_si128(_mm_cmpgt_pd(x2, t)));
        e0 = _mm_sub_epi64(e0, _mm_castpd_si128(_mm_cmpeq_pd(x2, t)));
        g1 = _mm_sub_epi64(g1, _mm_castpd_si128(_mm_cmpgt_pd(x3, t)));
        e1 = _mm_sub_epi64(e1, _mm_castpd_si128(_mm_cmpeq_pd(x3, t)));
    }
    c.higher += lanes64(g0) + lanes64(g1);
    c.tied += lanes64(e0) + lanes64(e1);
    return i;
}

// float16 keys, 16 scores a step in 16-bit lanes, which are widened every
// kSpan steps (before any can overflow).
inline int64_t run_f16(const char *p, int64_t count, int32_t key, Counts &c) {
    constexpr int64_t kSpan = 8192;  // 2 * kSpan per lane, below 2^15
    const __m128i t = _mm_set1_epi16(int16_t(key)), magnitude = _mm_set1_epi16(0x7FFF),
                  past_inf = _mm_set1_epi16(0x7C01), ones = _mm_set1_epi16(1);
    __m128i g32 = _mm_setzero_si128(), e32 = g32;
    int64_t i = 0;
    while (i + 16 <= count) {
        __m128i g = _mm_setzero_si128(), e = g;
        const int64_t end = i + 16 * kSpan < count ? i + 16 * kSpan : count;
        for (; i + 16 <= end; i += 16) {
            fetch_ahead(p + i * 2);
            for (int half = 0; half < 2; ++half) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i * 2 + half * 16));
                const __m128i sign = _mm_srai_epi16(x, 15), m = _mm_and_si128(x, magnitude);
                const __m128i k = _mm_sub_epi16(_mm_xor_si128(m, sign), sign);  // -m where the sign is set
                const __m128i valid = _mm_cmpgt_epi16(past_inf, m);              // not NaN
                g = _mm_sub_epi16(g, _mm_and_si128(valid, _mm_cmpgt_epi16(k, t)));
                e = _mm_sub_epi16(e, _mm_and_si128(valid, _mm_cmpeq_epi16(k, t)));
            }
        }
        g32 = _mm_add_epi32(g32, _mm_madd_epi16(g, ones));
        e32 = _mm_add_epi32(e32, _mm_madd_epi16(e, ones));
    }
    c.higher += lanes32(g32);
    c.tied += lanes32(e32);
    return i;
}

#endif

}  // namespace detail

// The counts of scores p[0, count) (items of type `d`, contiguous, at any
// address) against `t`.  Each 32-bit lane of the vector loops counts at
// most count / 4 scores, so any count below 2^33 is safe.
// Fetches the first scores of a run counted next, while another is counted.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void fetch_run(Dtype d, const char *p, int64_t count) {
#if defined(__SSE2__)
    detail::fetch(p, std::min<int64_t>(count * item_size(d), detail::kAhead));
#else
    (void)d, (void)p, (void)count;
#endif
}

inline Counts count_run(Dtype d, const char *p, int64_t count, const Threshold &t) {
    Counts c;
    int64_t done = 0;
#if defined(__SSE2__)
    detail::fetch(p, std::min<int64_t>(count * item_size(d), detail::kAhead));
    if (d == Dtype::kF32)
        done = detail::run_f32(p, count, float(t.value), c);
    else if (d == Dtype::kF64)
        done = detail::run_f64(p, count, t.value, c);
    else
        done = detail::run_f16(p, count, t.key, c);
#endif
    if (!t.exact)
        c.tied = 0;
    const int size = item_size(d);
    for (int64_t i = done; i < count; ++i)
        count_one(d, p + i * size, t, c);
    return c;
}

}  // namespace rank
}  // namespace mx
