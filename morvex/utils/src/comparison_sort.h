// comparison_sort.h -- the sort of triples under any comparison: for the
// caller's comparisons other than the five orders, and for those when the
// radix sort's workspace cannot be had (radix_sort.cpp).  Header-only and
// free of the interpreter, like the key kernel it uses.
//
// The algorithm: an introspective sort (quick sort on median-of-three
// pivots, heap sort for a range once its pieces have been split 2 log2 n
// times, insertion sort for short ranges).
//
// Every loop checks its index against its range instead of relying on the
// comparison to stop it, so a comparison that is no strict weak order (a
// three-way result, "<=", one that always says "less", a random one) can
// only leave the records in a poor order: nothing outside the array is read
// or written, and the records are always a permutation of the input.  The
// checks are one predictable compare per step.  Ranges waiting to be sorted
// are kept on a fixed stack: the smaller piece of each split is sorted
// first, so at most log2 n ranges ever wait.
#pragma once

#include "../kernels/keys.h"

#include <algorithm>
#include <cstdint>

namespace mx {
namespace sorting {

constexpr uint32_t kShortRange = 16;
constexpr unsigned kMaxWaiting = 32;  // > log2 of any int count

template <class Less>
void guarded_insertion_sort(morvex_Triple *a, uint32_t n, Less less) {
    for (morvex_Triple *i = a + 1; i < a + n; ++i) {
        const morvex_Triple v = *i;
        morvex_Triple *j = i;
        for (; j != a && less(v, j[-1]); --j)
            *j = j[-1];
        *j = v;
    }
}

// Moves a[root] down the max-heap a[0, n).
template <class Less>
void sift_down(morvex_Triple *a, uint32_t root, uint32_t n, Less less) {
    const morvex_Triple v = a[root];
    for (;;) {
        uint32_t child = 2 * root + 1;  // root < n < 2^31: no overflow
        if (child >= n)
            break;
        if (child + 1 < n && less(a[child], a[child + 1]))
            ++child;
        if (!less(v, a[child]))
            break;
        a[root] = a[child];
        root = child;
    }
    a[root] = v;
}

template <class Less>
void heap_sort(morvex_Triple *a, uint32_t n, Less less) {
    for (uint32_t i = n / 2; i-- > 0;)
        sift_down(a, i, n, less);
    for (uint32_t end = n; end-- > 1;) {
        std::swap(a[0], a[end]);
        sift_down(a, 0, end, less);
    }
}

// Partitions a[0, n) (n > 2) around the median of its first, middle and
// last records; returns the pivot's final index p: no record of a[0, p)
// orders after the pivot, none of a[p + 1, n) before it.
template <class Less>
uint32_t partition(morvex_Triple *a, uint32_t n, Less less) {
    morvex_Triple *const mid = a + n / 2, *const last = a + n - 1;
    if (less(*mid, *a))
        std::swap(*mid, *a);
    if (less(*last, *mid)) {
        std::swap(*last, *mid);
        if (less(*mid, *a))
            std::swap(*mid, *a);
    }
    std::swap(*a, *mid);
    const morvex_Triple pivot = *a;
    morvex_Triple *i = a, *j = a + n;
    for (;;) {
        // For a strict weak order *last (and *a) would stop these scans;
        // the bounds checks make them stop for any comparison.
        while (less(*++i, pivot))
            if (i == last)
                break;
        while (less(pivot, *--j))
            if (j == a)
                break;
        if (i >= j)
            break;
        std::swap(*i, *j);
    }
    std::swap(*a, *j);
    return static_cast<uint32_t>(j - a);
}

template <class Less>
void comparison_sort(morvex_Triple *a, uint32_t n, Less less) {
    struct Range {
        morvex_Triple *a;
        uint32_t n;
        int splits_left;
    };
    Range waiting[kMaxWaiting];
    unsigned nwaiting = 0;
    int splits_left = 2 * keys::bit_length(n);
    for (;;) {
        while (n > kShortRange) {
            if (splits_left == 0) {
                heap_sort(a, n, less);
                n = 0;
                break;
            }
            --splits_left;
            const uint32_t p = partition(a, n, less);
            morvex_Triple *const right = a + p + 1;
            const uint32_t nright = n - p - 1;
            // Each range that waits is larger than the one sorted on, which
            // at least halves: at most log2 n of them.
            if (p < nright) {
                waiting[nwaiting++] = {right, nright, splits_left};
                n = p;
            } else {
                waiting[nwaiting++] = {a, p, splits_left};
                a = right;
                n = nright;
            }
        }
        guarded_insertion_sort(a, n, less);
        if (nwaiting == 0)
            return;
        const Range &r = waiting[--nwaiting];
        a = r.a;
        n = r.n;
        splits_left = r.splits_left;
    }
}


}  // namespace sorting
}  // namespace mx
