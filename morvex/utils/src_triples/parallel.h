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
// Nothing here touches the interpreter; all of it runs without the GIL.
#pragma once

#include "../memory.h"  // first: Python.h sets the feature macros
#include "../kernels/keys.h"
#include "workers.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#ifdef MX_PHASE_TIMES
#include <cstdio>
#include <time.h>
#endif

namespace mx {
namespace par {

using Triple = morvex_Triple;

// How an order is sorted: its row of the key kernel's order table, its
// comparison and the single-threaded sort of a range that takes it.
struct Order {
    keys::OrderId id;
    morvex_cmp_type cmp;
    void (*sort)(Triple *, int, morvex_cmp_type);
};

// Rows to read: three int32 items `col_step` bytes apart, rows `row_step`
// bytes apart; `records` when they are aligned, contiguous Triple records.
struct Rows {
    const char *data;
    ptrdiff_t row_step, col_step;
    size_t n;
    bool records;
};

// The times of a kernel's phases, printed on stderr by a build with
// -DMX_PHASE_TIMES (for the cost model); nothing in any other build.
#ifdef MX_PHASE_TIMES
// Per phase: wall time, the CPU time of all threads, and the critical path
// (the calling thread's CPU time outside the parallel tasks, plus that of
// the busiest thread of each parallel step): the time on idle cores.
struct Phases {
    double wall, cpu, mine, own, busiest;
    Phases() { read(wall, cpu, mine, own, busiest); }
    static double now(clockid_t clock) {
        timespec t;
        clock_gettime(clock, &t);
        return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
    }
    static void read(double &w, double &c, double &m, double &o, double &b) {
        w = now(CLOCK_MONOTONIC);
        c = now(CLOCK_PROCESS_CPUTIME_ID);
        m = now(CLOCK_THREAD_CPUTIME_ID);
        workers::job_times(&o, &b);
    }
    void operator()(const char *name) {
        double w, c, m, o, b;
        read(w, c, m, o, b);
        std::fprintf(stderr, "  %-10s wall %8.2f  cpu %8.2f  critical %8.2f  caller %8.2f ms\n", name, w - wall,
                     c - cpu, (m - mine) - (o - own) + (b - busiest), m - mine);
        read(wall, cpu, mine, own, busiest);
    }
};
#else
struct Phases {
    void operator()(const char *) {}
};
#endif

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

// Writes the distinct rows of sorted rows r[0, n) to rows[0, distinct_rows()),
// and the times each occurs to counts[0, distinct_rows()) when counts is not
// null.
inline void write_distinct_rows(const Triple *r, size_t n, Triple *rows, Py_ssize_t *counts) {
    ptrdiff_t k = -1;
    for (size_t i = 0; i < n; ++i) {
        if (i == 0 || !keys::same(r[i], r[i - 1])) {
            rows[++k] = r[i];
            if (counts)
                counts[k] = 0;
        }
        if (counts)
            ++counts[k];
    }
}

// Sorts a[0, n) in place.  Extra memory, whatever n: a count, two cursors
// and a bucket number per bucket and thread, 20 bytes (28 when n >= 2^32;
// at most 1,024 buckets: 40 KiB on two threads, 5 MiB at 256), and each
// thread's sort workspace (see radix_sort.cpp), which the thread keeps.
void sort(Triple *a, size_t n, const Order &order, int threads);

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
    void write_distinct(Triple *rows, Py_ssize_t *counts);

private:
    Triple *dst_ = nullptr;
    int threads_ = 1;
    std::vector<size_t> bounds_;    // bucket b is dst_[bounds_[b], bounds_[b + 1])
    std::vector<size_t> distinct_;  // distinct rows before bucket b
};

}  // namespace par
}  // namespace mx
