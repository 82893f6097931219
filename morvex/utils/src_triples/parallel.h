// parallel.h -- the multi-threaded kernels of morvex.utils.triples: sorting
// a table in place, sorting a copy of one, and deduplicating.
//
// Every kernel first splits the rows by the leading bits of their key (the
// order's fields as unsigned words, only the bits that vary), so that each
// bucket holds rows that sort before every row of the next bucket; then the
// buckets are sorted independently, by the sort the caller passes (the
// exported quick_sort), spread over the threads largest first.  A result
// never depends on the number of threads: the split only decides where the
// work is done, and equal rows, being identical, end up in the same place.
//
// Nothing here touches the interpreter, nor includes Python.h; all of it
// runs without the GIL.
#pragma once

#include "../kernels/keys.h"
#include "workers.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace mx {
namespace par {

using Triple = morvex_Triple;

// A comparison of triples, of the type of the exported ones
// (morvex_cmp_type in memory.h).
using Cmp = int (*)(Triple, Triple);

// How an order is sorted: its row of the key kernel's order table, its
// comparison and the single-threaded sort of a range that takes it.
struct Order {
    keys::OrderId id;
    Cmp cmp;
    void (*sort)(Triple *, int, Cmp);
};

// Rows to read: int32 items `col_step` bytes apart, rows `row_step` bytes
// apart; `records` when they are aligned, contiguous Triple records.
struct Rows {
    const char *data;
    ptrdiff_t row_step, col_step;
    size_t n;
    bool records;

    // Item j of row i.
    int32_t item(size_t i, int j) const {
        int32_t v;
        std::memcpy(&v, data + static_cast<ptrdiff_t>(i) * row_step + j * col_step, 4);
        return v;
    }
    // The first three items of row i.
    Triple row(size_t i) const {
        const char *p = data + static_cast<ptrdiff_t>(i) * row_step;
        int32_t v[3];
        for (int j = 0; j < 3; ++j)
            std::memcpy(&v[j], p + j * col_step, 4);
        return Triple{v[0], v[1], v[2]};
    }
};

// Part p of `parts` equal parts of [0, n) begins here.
inline size_t part_begin(size_t n, int p, int parts) {
    return n * static_cast<size_t>(p) / static_cast<size_t>(parts);
}

// The threads worth using for a kernel over n rows when `threads` are
// allowed: 1 below the size where splitting pays, and never so many that a
// thread gets only a small share.
int threads_for(size_t n, int threads);

// For the tests: sets the rows per thread below which threads_for() takes
// fewer threads; returns the value it had.
size_t set_rows_per_thread(size_t rows);

// The distinct rows of sorted rows r[0, n).
inline size_t distinct_rows(const Triple *r, size_t n) {
    size_t d = n > 0 ? 1 : 0;
    for (size_t i = 1; i < n; ++i)
        d += !keys::same(r[i], r[i - 1]);
    return d;
}

// Writes the distinct rows of sorted rows r[0, n) to out[0, d) and returns
// d; out may be r, closing the rows up in place.  each(t, k, fresh) is
// called on every row t in order: k is the place of its distinct row in
// out, `fresh` whether t is the first of its run.  Whether a row repeats the
// one before is as good as a coin toss on graph-like rows, which a branch
// would mispredict: so every row is written to its distinct row's place,
// and the count moves past only a new one.
template <class F>
inline size_t write_distinct(const Triple *r, size_t n, Triple *out, F &&each) {
    if (n == 0)
        return 0;
    Triple prev = r[0];
    out[0] = prev;
    each(prev, size_t{0}, true);
    size_t d = 1;
    for (size_t i = 1; i < n; ++i) {
        const Triple t = r[i];
        const size_t fresh = !keys::same(t, prev);
        const size_t k = d - 1 + fresh;
        out[k] = t;
        each(t, k, fresh != 0);
        d += fresh;
        prev = t;
    }
    return d;
}

// write_distinct() without a call per row, and with the times each distinct
// row occurs in counts[0, d) when counts is not null.
inline size_t write_distinct_counted(const Triple *r, size_t n, Triple *out, ptrdiff_t *counts) {
    if (counts == nullptr)
        return write_distinct(r, n, out, [](const Triple &, size_t, bool) {});
    return write_distinct(r, n, out,
                          [counts](const Triple &, size_t k, bool fresh) { counts[k] = fresh ? 1 : counts[k] + 1; });
}

// Sorts a[0, n) in place.  Extra memory, whatever n: a count, two cursors
// and a bucket number per bucket and thread, 20 bytes (28 when n >= 2^32;
// at most 1,024 buckets: 40 KiB on two threads, 5 MiB at 256), and each
// thread's sort workspace (see radix_sort.cpp), which the thread keeps.
void sort(Triple *a, size_t n, const Order &order, int threads);

// Sorts a[0, n) in place on the threads worth using of `threads`
// (threads_for()): by sort() on several, by the order's own sort on one.
void sort_rows(Triple *a, size_t n, const Order &order, int threads);

// A sorted copy of rows that are read by several threads at once, kept with
// the bucket ranges it was sorted in.  fill() returns false when the rows
// changed while they were read (another thread writing the caller's array):
// the copy is then incomplete and the caller makes it single-threaded.
// With `count_distinct` (for unique()), each bucket's distinct rows are
// counted as soon as it is sorted, while it is still in the caches.
class SortedCopy {
public:
    bool fill(const Rows &src, Triple *dst, const Order &order, int threads, bool count_distinct = false);

    // After fill(..., true): the number of distinct rows; then the distinct
    // rows in order, with the times each occurs when `counts` is not null.
    size_t distinct() const;
    void write_distinct(Triple *rows, ptrdiff_t *counts);

private:
    Triple *dst_ = nullptr;
    int threads_ = 1;
    std::vector<size_t> bounds_;    // bucket b is dst_[bounds_[b], bounds_[b + 1])
    std::vector<size_t> distinct_;  // distinct rows before bucket b
};

}  // namespace par
}  // namespace mx
