// sorted_index.h -- a sorted run of triples made searchable: the search
// structure of the sibling's membership engine (membership.cpp), for runs
// of up to 2^32 records.
//
// Nothing here touches the interpreter, nor includes Python.h.
#pragma once

#include "../kernels/keys.h"
#include "../kernels/prefetch.h"
#include "block.h"
#include "parallel.h"
#include "workers.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mx {
namespace triples {

using Triple = morvex_Triple;
using keys::prefetch_read;
using keys::same;
using keys::word;

// A sorted run of triples made searchable, for the order comparing fields
// F0, F1, F2.  The bits that vary among the records are packed into one
// 64-bit key (all of the first two fields' varying bits, then as many
// leading ones of the third as fit); the other bits are the same in every
// record, so a query that differs there is absent at once.  Keys are ordered
// like the records, a tie being broken by the third field's full word.  A
// directory on the key's leading bits narrows each search to a bucket of
// about eight records.
template <int F0, int F1, int F2>
class SortedIndex {
public:
    // The directory is filled on up to `threads` threads.
    SortedIndex(const Triple *a, uint32_t n, int threads = 1) : SortedIndex(a, n, keys::varying(a, n), threads) {}

private:
    SortedIndex(const Triple *a, uint32_t n, const keys::Varying &v, int threads) : a_(a), n_(n), key_(v.diff) {
        if (n == 0)
            return;
        // the bits above the varying ones are common to all records
        const uint32_t base[3] = {v.first[F0], v.first[F1], v.first[F2]};
        for (int k = 0; k < 3; ++k) {
            fixed_[k] = ~key_.mask(k);
            common_[k] = base[k] & fixed_[k];
        }

        // a directory of about one entry per 8 records
        lo_ = key(a[0]);
        hi_ = key(a[n - 1]);
        const int dir_bits = std::max(0, std::min(23, keys::bit_length(n / 8)));
        shift_ = 0;
        while (shift_ < 64 && ((hi_ - lo_) >> shift_) >= (uint64_t{1} << dir_bits))
            ++shift_;
        const size_t entries = (size_t{1} << dir_bits) + 1;
        dir_ = Block<uint32_t>(entries);
        // dir_[b] is the first record of bucket b or later; kept monotone
        // even on an unsorted run, so a search never leaves the run.  In
        // parts: part p fills the entries from top[p], one past the largest
        // bucket of the records before it, to top[p + 1].
        const int parts = par::threads_for(n, threads);
        std::vector<size_t> top(size_t(parts) + 1, 0);
        auto begin = [&](int p) { return static_cast<uint32_t>(par::part_begin(n, p, parts)); };
        auto tops = [&](int p) {
            size_t t = 0;
            for (uint32_t i = begin(p), hi = begin(p + 1); i < hi; ++i)
                t = std::max(t, bucket(key(a[i])) + 1);
            top[size_t(p) + 1] = t;
        };
        if (parts > 1)
            mx::workers::run(parts, parts - 1, tops);  // the last part's is not needed
        for (int p = 0; p < parts; ++p)
            top[size_t(p) + 1] = std::max(top[size_t(p) + 1], top[size_t(p)]);
        auto fill = [&](int p) {
            size_t filled = top[size_t(p)];
            for (uint32_t i = begin(p), hi = begin(p + 1); i < hi; ++i) {
                const size_t b = bucket(key(a[i]));
                while (filled <= b)
                    dir_[filled++] = i;
            }
            if (p == parts - 1)
                top.back() = filled;  // the others end where the next begins
        };
        mx::workers::run(parts, parts, fill);
        for (size_t filled = top.back(); filled < entries;)
            dir_[filled++] = n;
    }

public:
    // Searches come in two steps, so that a caller can interleave the memory
    // accesses of several: locate() finds the bucket (or -1 when the query
    // is absent for sure) and fetches its directory entry, search() finishes.
    ptrdiff_t locate(const Triple &q) const {
        if (n_ == 0)
            return -1;
        if ((word<F0>(q) & fixed_[0]) != common_[0] || (word<F1>(q) & fixed_[1]) != common_[1] ||
            (word<F2>(q) & fixed_[2]) != common_[2])
            return -1;
        const uint64_t qk = key(q);
        if (qk < lo_ || qk > hi_)
            return -1;
        const size_t b = bucket(qk);
        prefetch_read(&dir_[b]);
        return static_cast<ptrdiff_t>(b);
    }

    // Fetches the records of bucket b (once its directory entry is in):
    // the search that follows finds them in cache.
    void fetch(ptrdiff_t b) const {
        const char *const first = reinterpret_cast<const char *>(a_ + dir_[b]);
        const char *const end = reinterpret_cast<const char *>(a_ + dir_[b + 1]);
        for (const char *p = first; p < end && p < first + 3 * 64; p += 64)
            prefetch_read(p);
    }

    bool search(const Triple &q, ptrdiff_t b) const { return find(q, b) >= 0; }

    // The position of the record equal to q, or -1; b as for search().
    ptrdiff_t find(const Triple &q, ptrdiff_t b) const {
        const Triple *p = a_ + dir_[b];
        const Triple *const end = a_ + dir_[b + 1];
        uint32_t len = static_cast<uint32_t>(end - p);
        if (len == 0)
            return -1;
        const uint64_t qk = key(q);
        const uint32_t q3 = word<F2>(q);
        auto before = [&](const Triple &t) {
            const uint64_t k = key(t);
            return k < qk || (k == qk && word<F2>(t) < q3);
        };
        // a bucket holds a few records, which a scan passes fastest; a large
        // one (clustered keys) is first narrowed down by bisection
        while (len > 8) {
            const uint32_t half = len / 2;
            p += before(p[half]) ? half : 0;
            len -= half;
        }
        for (const Triple *const stop = p + len; p < stop && before(*p);)
            ++p;
        return p < end && same(*p, q) ? p - a_ : -1;
    }

private:
    uint64_t key(const Triple &t) const { return key_(t); }

    size_t bucket(uint64_t k) const {
        k = std::min(std::max(k, lo_), hi_);
        return static_cast<size_t>(shift_ >= 64 ? 0 : (k - lo_) >> shift_);
    }

    const Triple *a_;
    uint32_t n_;
    uint32_t fixed_[3] = {0, 0, 0};
    uint32_t common_[3] = {0, 0, 0};
    keys::PackedKey<F0, F1, F2> key_;
    uint64_t lo_ = 0, hi_ = 0;
    int shift_ = 0;
    Block<uint32_t> dir_;
};

}  // namespace triples
}  // namespace mx
