// sampler.h -- the exact sampler of morvex.utils.triples.Index.corrupt():
// negatives made by replacing a row's head or tail, never equal to their
// row and, when filtered, never known triples, drawn by a counter-based
// generator.
//
// A uniform draw among the entities outside a sorted run of known ids is
// exact with a single draw: the k-th entity not in the run is k plus the
// number of run entries at or below it.  The generator is keyed by (seed,
// row, negative), so every negative is a function of those three alone and
// the result does not depend on how the rows are split over threads, nor,
// the row being its position in the whole batch, over calls on parts of it.
// A long run is read through its directories (directory.h): a pick then
// reads a few entries near each other, as over a short run.
//
// Nothing here touches the interpreter, nor includes Python.h; all of it
// runs without the GIL.
#pragma once

#include "directory.h"
#include "index_data.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {
namespace triples {

// ---- the counter-based generator ---------------------------------------------

inline uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

// The draws of one negative: a short sequence that depends on (seed, row,
// negative) only.  row_key() is computed once per row.
inline uint64_t row_key(uint64_t seed, int64_t row) { return mix64(mix64(seed) + uint64_t(row + 1) * kGolden); }

class Draws {
public:
    Draws(uint64_t row_key, int64_t negative) : state_(mix64(row_key ^ (uint64_t(negative) * 0xD1B54A32D192ED03ull))) {}

    uint64_t next() { return mix64(state_ += kGolden); }

    // Uniform in [0, range), range >= 1, without bias (multiply and shift,
    // redrawing the few values that would favour the low results).
    uint64_t below(uint64_t range) {
        __uint128_t m = static_cast<__uint128_t>(next()) * range;
        uint64_t low = static_cast<uint64_t>(m);
        if (low < range) {
            const uint64_t floor = (0 - range) % range;
            while (low < floor) {
                m = static_cast<__uint128_t>(next()) * range;
                low = static_cast<uint64_t>(m);
            }
        }
        return static_cast<uint64_t>(m >> 64);
    }

    // True with probability p.
    bool chance(double p) { return double(next() >> 11) * 0x1p-53 < p; }

private:
    uint64_t state_;
};

// The first row of the sorted run [lo, hi) whose id is at least v, searched
// outward from `near`, a guess of it in [lo, hi): doubling steps away from
// the guess, then a bisection of the last step, so that a good guess costs
// a few reads near it.
inline const Two *lower_bound_near(const Two *lo, const Two *hi, int32_t v, const Two *near) {
    const auto before = [](const Two &t, int32_t x) { return t.other < x; };
    ptrdiff_t step = 1;
    if (near->other < v) {  // after `near`
        while (hi - near > step && near[step].other < v) {
            near += step;
            step *= 2;
        }
        return std::lower_bound(near + 1, hi - near > step ? near + step : hi, v, before);
    }
    while (near - lo >= step && near[-step].other >= v) {  // at or before `near`
        near -= step;
        step *= 2;
    }
    return std::lower_bound(near - lo < step ? lo : near - step + 1, near, v, before);
}

// Where in the sorted run [lo, hi) the id v would be if the run's ids were
// spread evenly between its first and its last: a guess for
// lower_bound_near().
inline const Two *interpolate(const Two *lo, const Two *hi, int32_t v) {
    const int64_t first = lo->other, last = hi[-1].other, len = hi - lo;
    if (v <= first || last <= first)
        return lo;
    if (v >= last)
        return hi - 1;
    return lo + (int64_t(v) - first) * (len - 1) / (last - first);
}

#if defined(__SSE2__)
// The values f(i) = run[i] - i of a run of up to kBlocks * 16 ids copied in
// blocks of 16, padded with INT32_MAX, and the last value of each block, so
// that the count of the values at most k takes no bisection: it is 16 times
// the number of blocks whose last value is at most k, plus the count in the
// next block, each a count over 16 values made with four compares and no
// branch, where a bisection's reads each wait for the one before.
class RunBlocks {
public:
    static constexpr int64_t kBlocks = 16;

    // From the run [lo, lo + len), len at most kBlocks * 16.
    void fill(const Two *lo, int64_t len) {
        blocks_ = (len + 15) / 16;
        int64_t i = 0;
        // four rows a step: their ids (the odd words of two rows' 16
        // bytes) less their places
        const __m128i four = _mm_set1_epi32(4);
        __m128i at = _mm_set_epi32(3, 2, 1, 0);
        for (; i + 4 <= len; i += 4, at = _mm_add_epi32(at, four)) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lo + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lo + i + 2));
            _mm_store_si128(reinterpret_cast<__m128i *>(f_ + i),
                            _mm_sub_epi32(_mm_unpacklo_epi64(_mm_shuffle_epi32(a, 0xDD), _mm_shuffle_epi32(b, 0xDD)),
                                          at));
        }
        for (; i < len; ++i)
            f_[i] = lo[i].other - int32_t(i);
        for (; i < blocks_ * 16; ++i)
            f_[i] = INT32_MAX;
        for (int64_t j = 0; j < kBlocks; ++j)
            last_[j] = j < blocks_ ? f_[j * 16 + 15] : INT32_MAX;
    }

    // The number of values at most k, 0 <= k < INT32_MAX.
    int64_t count(int64_t k) const {
        const __m128i kv = _mm_set1_epi32(int32_t(k));
        const int64_t full = count16(last_, kv);
        return 16 * full + (full < blocks_ ? count16(f_ + 16 * full, kv) : 0);
    }

private:
    static int64_t count16(const int32_t *f, __m128i kv) {
        const __m128i *v = reinterpret_cast<const __m128i *>(f);
        // -1 in a lane for each value above k
        __m128i above = _mm_add_epi32(_mm_add_epi32(_mm_cmpgt_epi32(_mm_load_si128(v), kv),
                                                    _mm_cmpgt_epi32(_mm_load_si128(v + 1), kv)),
                                      _mm_add_epi32(_mm_cmpgt_epi32(_mm_load_si128(v + 2), kv),
                                                    _mm_cmpgt_epi32(_mm_load_si128(v + 3), kv)));
        above = _mm_add_epi32(above, _mm_shuffle_epi32(above, 0x4E));
        above = _mm_add_epi32(above, _mm_shuffle_epi32(above, 0xB1));
        return 16 + _mm_cvtsi128_si32(above);
    }

    alignas(16) int32_t last_[kBlocks];
    alignas(16) int32_t f_[kBlocks * 16];
    int64_t blocks_;
};
#endif

// The entities one side of a row may take: [0, entities) without the sorted
// run [lo, hi) of known ids (filtered; empty otherwise) and without `self`,
// the id being replaced.  `dir`, when given, holds the run's directories;
// `near`, when given, is a guess of self's place in a run without them.
// With `many` picks to come, a run without them longer than kShortRun is
// first copied into RunBlocks, which each pick then counts in.
struct Allowed {
    Allowed(const Two *lo, const Two *hi, int32_t self, int64_t entities, const RunDirectory *dir = nullptr,
            const Two *near = nullptr, bool many = false)
        : lo_(lo), hi_(hi), long_(dir != nullptr) {
#if defined(__SSE2__)
        blocked_ = many && !long_ && hi - lo > kShortRun && hi - lo <= RunBlocks::kBlocks * 16;
        if (blocked_)
            blocks_.fill(lo, hi - lo);
#else
        (void)many;
#endif
        if (long_)
            dir_ = *dir;
        const Two *at = long_           ? lo + dir_.ids.count<false>(self, [lo](int64_t i) { return lo[i].other; })
                        : near != nullptr ? lower_bound_near(lo, hi, self, near)
                                          : std::lower_bound(lo, hi, self,
                                                             [](const Two &t, int32_t v) { return t.other < v; });
        self_known_ = at < hi && at->other == self;
        self_rank_ = int64_t(self) - (at - lo);  // self's place among the ids outside the run
        count_ = entities - (hi - lo) - (self_known_ ? 0 : 1);
    }

    int64_t count() const { return count_; }
    // Whether the run is read through its directories.
    bool long_run() const { return long_; }

    // Fetches what pick(k) reads of a long run's directory (stage 0) and,
    // once that is in, of the run (stage 1): picks fetched a few at a time
    // in stages wait for their misses together.
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    inline void fetch_pick(int64_t k, int stage) const {
        k += !self_known_ && k >= self_rank_;
        const int64_t b = k >> dir_.picks.shift;
        if (!long_ || b >= dir_.picks.buckets)
            return;
        if (stage == 0) {
            prefetch_read(dir_.picks.first + b);
        } else {  // the bucket's rows, both ends: they may span two lines
            const uint32_t first = dir_.picks.first[b], end = dir_.picks.first[b + 1];
            prefetch_read(lo_ + first);
            if (end > first + 1)
                prefetch_read(lo_ + end - 1);
        }
    }

    // The k-th allowed id, k in [0, count()).
    int32_t pick(int64_t k) const {
        k += !self_known_ && k >= self_rank_;  // step over self
        // the k-th id outside the run is k plus the run's ids d with d - (its
        // place in the run) <= k, which are a prefix of the run: counted
        // without branches when the run is short (the usual case, where a
        // branch on each random k would be mispredicted half the time),
        // found through the directory of a long run, by bisection otherwise
        const Two *p = lo_;
        if (long_)
            return int32_t(k + dir_.picks.count<true>(k, [p](int64_t i) { return int64_t(p[i].other) - i; }));
#if defined(__SSE2__)
        if (blocked_)
            return int32_t(k + blocks_.count(k));
#endif
        int64_t len = hi_ - lo_;
        if (len <= kShortRun) {
            int64_t below = 0;
            for (int64_t i = 0; i < len; ++i)
                below += int64_t(p[i].other) - i <= k;
            return int32_t(k + below);
        }
        // a bisection without branches on the data: each step's direction is
        // a coin toss
        while (len > 1) {
            const int64_t half = len / 2;
            p += int64_t(p[half - 1].other) - (p + half - 1 - lo_) <= k ? half : 0;
            len -= half;
        }
        return int32_t(k + (p - lo_) + (int64_t(p->other) - (p - lo_) <= k));
    }

    // Runs up to this long are counted, not searched.
    static constexpr int64_t kShortRun = 8;

private:
    const Two *lo_, *hi_;
    bool long_;
    RunDirectory dir_;
    bool self_known_;
    int64_t self_rank_, count_;
#if defined(__SSE2__)
    bool blocked_;
    RunBlocks blocks_;
#endif
};

// ---- negatives ------------------------------------------------------------------

enum class SideRule { kHead, kTail, kBoth };

struct CorruptArgs {
    int64_t negatives;
    SideRule side;
    bool bernoulli, filtered;
    uint64_t seed;
    int64_t offset;  // the position of the batch's first row in the whole
};

// What went wrong with one row of the batch, if anything.
enum class RowFault { kNone, kHead, kTail, kNeither };

// The first row of batch[0, m) with an id outside the index's ranges, or -1.
int64_t first_outside(const IndexData &x, const Triple *batch, int64_t m);

// Fills out[i * c.negatives + j], negative j of row i, for every row of
// batch[0, m) on up to `threads` threads (ids inside the index's ranges).
// Returns the first row without a valid replacement, with why in *fault,
// or -1.
int64_t corrupt(const IndexData &x, const Triple *batch, int64_t m, const CorruptArgs &c, Triple *out, int threads,
                RowFault *fault);

}  // namespace triples
}  // namespace mx
