// directory.h -- directories over sorted sequences of non-negative values,
// so that finding a value's place among n of them costs a few reads near
// each other instead of a bisection's log2(n) reads spread over the whole.
//
// The value space is cut into buckets of 2^shift values, shift chosen so
// that a bucket holds about kPerBucket of the values when they are spread
// evenly; first[j] is the first position whose value is at least j <<
// shift, and first[buckets] is n.  A query for v searches only positions
// [first[v >> shift], first[(v >> shift) + 1]), by a bisection without
// branches on the data, so that a crowded bucket costs its logarithm.
//
// The index (index_data.h) keeps one over the sorted ids of a side whose ids
// are sparse, and two over each long run of known ids (RunDirectories):
// one over the run's ids, for the place of the id a negative replaces, and
// one over f(i) = run[i] - i, non-decreasing, for the k-th id outside the
// run, which is k + #{i : f(i) <= k} (sampler.h).
//
// Nothing here touches the interpreter, nor includes Python.h.
#pragma once

#include "block.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mx {
namespace triples {

// The place of values in a sorted sequence of n non-negative values, read
// through a callable value(i); the directory itself is held elsewhere.
struct Directory {
    static constexpr int64_t kPerBucket = 8;

    const uint32_t *first = nullptr;  // buckets + 1 entries
    int64_t buckets = 0;
    int shift = 0;

    // The shift for n values whose largest is `top`: the smallest giving at
    // most max(1, n / kPerBucket) buckets.
    static int shift_for(int64_t n, int64_t top) {
        const int64_t most = std::max<int64_t>(1, n / kPerBucket);
        int s = 0;
        while ((top >> s) + 1 > most)
            ++s;
        return s;
    }
    static int64_t buckets_for(int64_t top, int shift) { return (top >> shift) + 1; }

    // Fills out[0, buckets + 1] for the n values, ascending, whose largest
    // is at most (buckets << shift) - 1.
    template <class Value>
    static void fill(int64_t n, Value &&value, int shift, int64_t buckets, uint32_t *out) {
        int64_t j = 0;
        for (int64_t i = 0; i < n; ++i) {
            const int64_t b = int64_t(value(i)) >> shift;
            while (j <= b)
                out[j++] = uint32_t(i);
        }
        while (j <= buckets)
            out[j++] = uint32_t(n);
    }

    // The number of positions whose value is below v (kOrEqual false) or at
    // most v (kOrEqual true), v >= 0.
    template <bool kOrEqual, class Value>
    int64_t count(int64_t v, Value &&value) const {
        const int64_t b = v >> shift;
        if (b >= buckets)
            return first[buckets];
        int64_t base = first[b], len = int64_t(first[b + 1]) - base;
        if (len == 0)
            return base;
        while (len > 1) {
            const int64_t half = len / 2;
            base += below<kOrEqual>(int64_t(value(base + half - 1)), v) ? half : 0;
            len -= half;
        }
        return base + below<kOrEqual>(int64_t(value(base)), v);
    }

private:
    template <bool kOrEqual>
    static bool below(int64_t x, int64_t v) {
        return kOrEqual ? x <= v : x < v;
    }
};

// The two directories of one long run of known ids (see above).
struct RunDirectory {
    Directory ids;    // over run[i]
    Directory picks;  // over run[i] - i
};

// The directories of every run of at least kLongRun ids of one side, in one
// pooled block, found from the run's first row through a directory over
// the long runs' first rows.
class RunDirectories {
public:
    static constexpr int64_t kLongRun = 256;

    // `runs(f)` calls f(begin, end) for each run of rows (positions of the
    // side's rows, ascending, not overlapping) that may be long; other(i)
    // reads the id of row i.  Runs shorter than kLongRun are skipped.
    template <class Runs, class Other>
    void build(Runs &&runs, Other &&other) {
        entries_.clear();
        pool_size_ = 0;
        runs([&](int64_t begin, int64_t end) {
            const int64_t n = end - begin;
            if (n < kLongRun)
                return;
            Entry e{};
            e.begin = uint32_t(begin);
            e.length = uint32_t(n);
            const int64_t top = other(end - 1);
            e.id_shift = uint8_t(Directory::shift_for(n, top));
            e.pick_shift = uint8_t(Directory::shift_for(n, top - (n - 1)));
            entries_.push_back(e);
        });
        int64_t total = 0;
        for (Entry &e : entries_) {
            const int64_t top = other(int64_t(e.begin) + e.length - 1);
            e.at = uint64_t(total);
            total += Directory::buckets_for(top, e.id_shift) + 1 + Directory::buckets_for(top - (e.length - 1),
                                                                                           e.pick_shift) + 1;
        }
        pool_ = Block<uint32_t>(size_t(total) + 1);
        pool_size_ = total;
        for (const Entry &e : entries_) {
            const RunDirectory d = at(e, other(int64_t(e.begin) + e.length - 1));
            const int64_t b = e.begin;
            uint32_t *const ids = pool_.get() + e.at, *const picks = ids + d.ids.buckets + 1;
            Directory::fill(e.length, [&](int64_t i) { return other(b + i); }, d.ids.shift, d.ids.buckets, ids);
            Directory::fill(e.length, [&](int64_t i) { return other(b + i) - i; }, d.picks.shift, d.picks.buckets,
                            picks);
        }
        const int64_t count = int64_t(entries_.size());
        const int64_t top = count ? int64_t(entries_.back().begin) : 0;
        begins_.shift = Directory::shift_for(count, top);
        begins_.buckets = Directory::buckets_for(top, begins_.shift);
        begins_first_ = Block<uint32_t>(size_t(begins_.buckets) + 1);
        Directory::fill(count, [&](int64_t i) { return entries_[size_t(i)].begin; }, begins_.shift, begins_.buckets,
                        begins_first_.get());
        begins_.first = begins_first_.get();
    }

    // The directories of the run starting at row `begin`, if it is long;
    // top is its last id.
    bool find(int64_t begin, int32_t top, RunDirectory *d) const {
        if (entries_.empty())
            return false;
        const int64_t i = begins_.count<false>(begin, [&](int64_t j) { return entries_[size_t(j)].begin; });
        if (i == int64_t(entries_.size()) || entries_[size_t(i)].begin != begin)
            return false;
        *d = at(entries_[size_t(i)], top);
        return true;
    }

    int64_t runs() const { return int64_t(entries_.size()); }
    int64_t bytes() const {
        return int64_t(entries_.size() * sizeof(Entry)) + (runs() ? (begins_.buckets + 1) * 4 : 0) +
               pool_size_ * 4;
    }

private:
    struct Entry {
        uint64_t at;  // the run's directories in the pool: ids', then picks'
        uint32_t begin, length;
        uint8_t id_shift, pick_shift;
    };

    RunDirectory at(const Entry &e, int64_t top) const {
        RunDirectory d;
        d.ids.shift = e.id_shift;
        d.ids.buckets = Directory::buckets_for(top, e.id_shift);
        d.ids.first = pool_.get() + e.at;
        d.picks.shift = e.pick_shift;
        d.picks.buckets = Directory::buckets_for(top - (int64_t(e.length) - 1), e.pick_shift);
        d.picks.first = d.ids.first + d.ids.buckets + 1;
        return d;
    }

    std::vector<Entry> entries_;  // ascending by begin
    Directory begins_;
    Block<uint32_t> begins_first_;
    Block<uint32_t> pool_;
    int64_t pool_size_ = 0;
};

}  // namespace triples
}  // namespace mx
