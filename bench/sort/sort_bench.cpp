// sort_bench.cpp -- times quick_sort on the five module orders against the
// reference (std::sort calling the same comparison through an opaque function
// pointer), best of three runs each, in the same process.
//
//   sort_bench            all rows (large sizes and small sizes)
//   sort_bench small      small sizes only
//   sort_bench large      large sizes only
#include "triples.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

using namespace sortbench;

namespace {

using Clock = std::chrono::steady_clock;

// Best of `reps` runs of sorting every n-record group of `input` (one group
// for the large rows, many for the small ones) with `sorter`; the copy that
// restores the input is outside the timed part.
template <class Sorter>
double best_seconds(const std::vector<morvex_Triple> &input, size_t n, int reps,
                    std::vector<morvex_Triple> &work, Sorter sorter) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        work = input;
        const auto t0 = Clock::now();
        for (size_t off = 0; off + n <= work.size(); off += n)
            sorter(work.data() + off, n);
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        best = std::min(best, s);
    }
    return best;
}

bool same(const std::vector<morvex_Triple> &a, const std::vector<morvex_Triple> &b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(morvex_Triple)) == 0;
}

// One row per order; returns the number of rows whose results disagreed.
int run_rows(const char *set, const std::vector<morvex_Triple> &input, size_t n, int reps,
             double *worst_ratio) {
    int bad = 0;
    std::vector<morvex_Triple> work, ours, theirs;
    for (const auto &o : kOrders) {
        const double tm = best_seconds(input, n, reps, work, [&](morvex_Triple *a, size_t k) {
            mx::quick_sort(a, static_cast<int>(k), o.cmp);
        });
        ours = work;
        const double tr = best_seconds(input, n, reps, work, [&](morvex_Triple *a, size_t k) {
            reference_sort(a, k, o.cmp);
        });
        theirs = work;
        const bool ok = same(ours, theirs);
        bad += !ok;
        const double ratio = tr / tm;
        *worst_ratio = std::min(*worst_ratio, ratio);
        const size_t groups = input.size() / n;
        std::printf("%-6s %-9s %9zu x%-6zu %11.3f %11.3f %8.2fx %s\n", set, o.name, n, groups,
                    tm * 1e3, tr * 1e3, ratio, ok ? "" : "MISMATCH");
        std::fflush(stdout);
    }
    return bad;
}

void header(const char *title) {
    std::printf("\n%s\n%-6s %-9s %9s %-7s %11s %11s %9s\n", title, "data", "order", "n",
                " groups", "module ms", "ref ms", "speedup");
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    int bad = 0;
    double worst_large = 1e30, worst_small = 1e30;

    if (mode == "all" || mode == "large") {
        header("large inputs (one array, best of 3)");
        for (size_t n : {size_t(100000), size_t(1000000), size_t(10000000)}) {
            const auto g = graph_data(n, 1000 + n);
            bad += run_rows("graph", g, n, 3, &worst_large);
            const auto f = full_data(n, 2000 + n);
            bad += run_rows("full", f, n, 3, &worst_large);
        }
        std::printf("smallest large-input speedup: %.2fx\n", worst_large);
    }

    if (mode == "all" || mode == "small") {
        header("small inputs (many independent arrays totalling ~200k records, best of 3)");
        for (size_t n : {2, 3, 4, 5, 7, 8, 10, 11, 12, 16, 17, 24, 32, 48, 64, 95, 96, 97, 98, 128, 200,
                         256, 300, 500, 700, 1000}) {
            const size_t total = (200000 / n) * n;
            const auto g = graph_data(total, 3000 + n);
            bad += run_rows("graph", g, n, 3, &worst_small);
            const auto f = full_data(total, 4000 + n);
            bad += run_rows("full", f, n, 3, &worst_small);
        }
        std::printf("smallest small-input speedup: %.2fx\n", worst_small);
    }

    if (bad) {
        std::printf("%d rows disagreed with the reference\n", bad);
        return 1;
    }
    return 0;
}
