// sort_check.cpp -- correctness of the sort (ordering.cpp, radix_sort.cpp):
// quick_sort on the five module orders must give, byte for byte, what
// std::sort gives with the same comparison; short counts must leave the
// array and the comparison alone; other comparisons must still sort, also
// when the sort's workspace cannot be allocated; _compare must follow its
// sign rules.
//
// Prints one line per failure and "N passed, M failed"; exits 1 on failure.
//
//   sort_check          everything
//   sort_check quick    skips the data sets of a million records and more
#include "triples.h"

#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <thread>

// While set on a thread, the nothrow operator new (which the sort's
// workspace comes from) refuses, as when memory is short.
thread_local bool g_refuse_nothrow_new = false;
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    try {
        return g_refuse_nothrow_new ? nullptr : ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}

using namespace sortbench;

namespace {

int g_passed = 0, g_failed = 0;

void check(bool ok, const std::string &what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

// Sizes the sort treats differently, mirrored from radix_sort.cpp: plain
// insertion sort up to kDirectInsertion (10), insertion-sorted buckets up to
// kInsertion (16), buffered splits up to kBuffered (1024), a single digit
// level up to 2^(kMaxBits + kLeafBits) (512), the opening scan counting the
// first digit from kFusedFrom (65536) on, and digit widths that change at
// every power of two.
const uint32_t kThresholds[] = {10,  16,   32,   64,   128,   256,   512,
                                1024, 2048, 4096, 8192, 16384, 65536, 131072};

std::string describe(const char *set, size_t n, const NamedOrder &o) {
    return std::string(set) + " n=" + std::to_string(n) + " " + o.name;
}

// quick_sort under every module order must equal the reference.
void check_orders(const char *set, const std::vector<morvex_Triple> &input) {
    std::vector<morvex_Triple> ours, theirs;
    for (const auto &o : kOrders) {
        ours = input;
        theirs = input;
        mx::quick_sort(ours.data(), static_cast<int>(ours.size()), o.cmp);
        reference_sort(theirs.data(), theirs.size(), o.cmp);
        const bool same = ours.size() == theirs.size() &&
                          (ours.empty() || std::memcmp(ours.data(), theirs.data(),
                                                       ours.size() * sizeof(morvex_Triple)) == 0);
        check(same, describe(set, input.size(), o) + ": differs from std::sort");
    }
}

morvex_Triple triple(int32_t h, int32_t r, int32_t t) {
    morvex_Triple x;
    x.head = h;
    x.relation = r;
    x.tail = t;
    return x;
}

using Maker = std::function<morvex_Triple(Rng &, size_t)>;

std::vector<morvex_Triple> make(size_t n, uint64_t seed, const Maker &f) {
    Rng r(seed);
    std::vector<morvex_Triple> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = f(r, i);
    return v;
}

int32_t low_bits(Rng &r, int bits) { return static_cast<int32_t>(r.below(1u << bits)); }

// The generators the size sweeps rotate through.
struct NamedMaker {
    const char *name;
    Maker make;
};

const NamedMaker kMakers[] = {
    {"full", [](Rng &r, size_t) { return triple(r.any_int32(), r.any_int32(), r.any_int32()); }},
    {"graph-like",
     [](Rng &r, size_t) {
         return triple(low_bits(r, 20), static_cast<int32_t>(r.below(1000)), low_bits(r, 20));
     }},
    // few distinct values: many equal triples
    {"few-values",
     [](Rng &r, size_t) {
         return triple(low_bits(r, 2), low_bits(r, 1), static_cast<int32_t>(r.below(3)) - 1);
     }},
    // a large common offset, differing only in the low bits
    {"low-bits",
     [](Rng &r, size_t) {
         return triple(0x12345600 + low_bits(r, 5), -0x7654300 + low_bits(r, 3),
                       0x40000000 + low_bits(r, 6));
     }},
    // differing only in the high bits
    {"high-bits",
     [](Rng &r, size_t) {
         return triple(low_bits(r, 4) << 28, low_bits(r, 3) << 29,
                       (low_bits(r, 8) << 24) | 0x5a5a);
     }},
    // all heads equal
    {"one-head",
     [](Rng &r, size_t) { return triple(-77, low_bits(r, 10), r.any_int32()); }},
    // signs mixed, extremes frequent
    {"extremes",
     [](Rng &r, size_t) {
         const int32_t pool[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
         return triple(pool[r.below(7)], pool[r.below(7)], pool[r.below(7)]);
     }},
    // a 1-bit middle field between two wide ones: digits spanning three fields
    {"thin-middle",
     [](Rng &r, size_t) { return triple(low_bits(r, 20), low_bits(r, 1), low_bits(r, 20)); }},
    // small negatives around zero in every field
    {"negatives",
     [](Rng &r, size_t) {
         auto small = [&r] { return static_cast<int32_t>(r.below(64)) - 32; };
         const int32_t h = small(), rel = small(), t = small();
         return triple(h, rel, t);
     }},
};

void check_sizes() {
    // every size up to 3000, rotating through the generators
    size_t k = 0;
    for (size_t n = 0; n <= 3000; ++n, ++k) {
        const NamedMaker &m = kMakers[k % (sizeof kMakers / sizeof kMakers[0])];
        check_orders(m.name, make(n, 100 + n, m.make));
    }
    // around every threshold, with every generator
    for (uint32_t t : kThresholds)
        for (int d = -2; d <= 2; ++d)
            for (const NamedMaker &m : kMakers) {
                const size_t n = static_cast<size_t>(static_cast<int64_t>(t) + d);
                check_orders(m.name, make(n, 7 * n + d, m.make));
            }
}

// Buckets of exactly the threshold sizes inside the recursion: groups whose
// leading key bits differ between groups, each group `size` records long.
void check_bucket_sizes() {
    for (uint32_t size : {14u, 15u, 16u, 17u, 18u, 1022u, 1023u, 1024u, 1025u, 1026u}) {
        for (int groups : {3, 40}) {
            const auto v = make(size * groups, size + groups, [size](Rng &r, size_t i) {
                const int32_t g = static_cast<int32_t>(i / size);
                return triple(g << 24, r.any_int32(), r.any_int32());
            });
            check_orders("equal-sized-groups", v);
        }
    }
}

void check_shapes() {
    const size_t sizes[] = {2, 17, 100, 1500, 70000};
    for (size_t n : sizes) {
        check_orders("all-equal", std::vector<morvex_Triple>(n, triple(5, -6, 7)));
        auto v = full_data(n, 11 + n);
        for (const auto &o : kOrders) {
            // already sorted, reverse sorted, sorted with the last record
            // moved to the front, under each order
            auto s = v;
            reference_sort(s.data(), s.size(), o.cmp);
            check_orders((std::string("sorted-by-") + o.name).c_str(), s);
            std::reverse(s.begin(), s.end());
            check_orders((std::string("reversed-by-") + o.name).c_str(), s);
            std::reverse(s.begin(), s.end());
            std::rotate(s.begin(), s.end() - 1, s.end());
            check_orders((std::string("rotated-by-") + o.name).c_str(), s);
        }
        // one large block of identical records among random ones
        auto w = graph_data(n, 13 + n);
        for (size_t i = 0; i < n; i += 3)
            w[i] = triple(12345, 67, 890);
        check_orders("one-big-duplicate", w);
        // a long shared prefix: heads and relations equal, tails differing
        // only in their lowest bits
        check_orders("shared-prefix", make(n, 17 + n, [](Rng &r, size_t) {
                         return triple(INT32_MAX, INT32_MIN, 1000 + low_bits(r, 3));
                     }));
        // a single field with one varying bit
        check_orders("one-bit", make(n, 19 + n, [](Rng &r, size_t) {
                         return triple(-1, low_bits(r, 1) - 1, 42);
                     }));
    }
}

// Inputs whose leading bits are decided by a few outliers, placed where a
// sample of the input is unlikely to see them (the sort guesses its first
// digit, or a leaf-sized input its leaf digit, from a sample and must
// recover when the guess is wrong).
void check_outliers() {
    for (size_t n : {size_t{9001}, size_t{100003}}) {
        const std::vector<std::vector<size_t>> places = {{n / 2 + 7}, {n - 1}, {1, n / 3 + 1, n - 2}};
        for (int f = 0; f < 3; ++f) {
            for (int32_t outlier : {1 << 21, -1, INT32_MIN, INT32_MAX, 300}) {
                for (const auto &at : places) {
                    auto v = make(n, 23 + f, [](Rng &r, size_t) {
                        return triple(low_bits(r, 8), low_bits(r, 8), low_bits(r, 8));
                    });
                    for (size_t k : at) {
                        int32_t *fields[3] = {&v[k].head, &v[k].relation, &v[k].tail};
                        *fields[f] = outlier;
                    }
                    check_orders("outliers", v);
                }
            }
        }
    }
}

void check_data_sets(bool large) {
    std::vector<size_t> sizes = {100000};
    if (large)
        sizes.push_back(1000000);
    for (size_t n : sizes) {
        check_orders("graph", graph_data(n, 31 + n));
        check_orders("full", full_data(n, 37 + n));
    }
    if (large) {
        // a few million records: one split, then large leaf splits, some of
        // whose buckets hold many equal keys
        const size_t n = (size_t{1} << 21) + 4321;
        check_orders("graph", graph_data(n, 41));
        check_orders("full", full_data(n, 43));
        check_orders("ties", make(n, 47, [](Rng &r, size_t) { return triple(low_bits(r, 15), 0, low_bits(r, 3)); }));
    }
}

void check_example() {
    const morvex_Triple a = triple(0, 1, 0), b = triple(0, 0, 2), c = triple(2, 0, 0),
                        d = triple(1, 1, 2);
    const std::vector<morvex_Triple> input = {a, b, c, d};
    const struct {
        const char *name;
        morvex_cmp_type cmp;
        std::vector<morvex_Triple> want;
    } cases[] = {
        {"cmp_head", mx::cmp_head, {b, a, d, c}}, {"cmp_tail", mx::cmp_tail, {c, a, b, d}},
        {"cmp_rel", mx::cmp_rel, {a, b, d, c}},   {"cmp_rel2", mx::cmp_rel2, {b, c, a, d}},
        {"cmp_rel3", mx::cmp_rel3, {c, b, a, d}},
    };
    for (const auto &c : cases) {
        auto v = input;
        mx::quick_sort(v.data(), 4, c.cmp);
        check(std::memcmp(v.data(), c.want.data(), sizeof(morvex_Triple) * 4) == 0,
              std::string("example under ") + c.name);
    }
}

// The comparisons themselves: strict, lexicographic on signed fields in their
// documented order.
void check_comparisons() {
    const int32_t values[] = {INT32_MIN, -5, 0, 3, INT32_MAX};
    // key(t) lists the fields each order compares, first to last
    const std::function<std::array<int32_t, 3>(const morvex_Triple &)> keys[5] = {
        [](const morvex_Triple &t) { return std::array<int32_t, 3>{t.head, t.relation, t.tail}; },
        [](const morvex_Triple &t) { return std::array<int32_t, 3>{t.tail, t.relation, t.head}; },
        [](const morvex_Triple &t) { return std::array<int32_t, 3>{t.head, t.tail, t.relation}; },
        [](const morvex_Triple &t) { return std::array<int32_t, 3>{t.relation, t.head, t.tail}; },
        [](const morvex_Triple &t) { return std::array<int32_t, 3>{t.relation, t.tail, t.head}; },
    };
    std::vector<morvex_Triple> all;
    for (int32_t h : values)
        for (int32_t r : values)
            for (int32_t t : values)
                all.push_back(triple(h, r, t));
    for (int o = 0; o < 5; ++o) {
        int wrong = 0;
        for (const auto &a : all)
            for (const auto &b : all) {
                const int got = kOrders[o].cmp(a, b);
                const int want = keys[o](a) < keys[o](b) ? 1 : 0;
                wrong += got != want;
            }
        check(wrong == 0, std::string(kOrders[o].name) + " against the lexicographic definition");
    }
}

// count < 2 returns at once: the array is not written and cmp not called.
int g_calls = 0;
int counting_cmp(morvex_Triple a, morvex_Triple b) {
    ++g_calls;
    return a.head < b.head;
}

void check_short_counts() {
    for (int count : {0, 1, -3, INT_MIN}) {
        std::vector<morvex_Triple> v = {triple(9, 9, 9), triple(1, 1, 1), triple(5, 5, 5)};
        const auto before = v;
        g_calls = 0;
        mx::quick_sort(v.data(), count, counting_cmp);
        check(g_calls == 0 && std::memcmp(v.data(), before.data(), sizeof(morvex_Triple) * 3) == 0,
              "count " + std::to_string(count) + " with a custom comparison");
        for (const auto &o : kOrders) {
            mx::quick_sort(v.data(), count, o.cmp);
            check(std::memcmp(v.data(), before.data(), sizeof(morvex_Triple) * 3) == 0,
                  "count " + std::to_string(count) + " under " + o.name);
        }
        // null array with a short count is fine too
        mx::quick_sort(nullptr, count, counting_cmp);
        check(g_calls == 0, "count " + std::to_string(count) + " with a null array");
    }
}

// A comparison the module does not know: tail descending, then head, then
// relation ascending.
int custom_cmp(morvex_Triple a, morvex_Triple b) {
    if (a.tail != b.tail)
        return a.tail > b.tail;
    if (a.head != b.head)
        return a.head < b.head;
    return a.relation < b.relation;
}

void check_custom() {
    for (size_t n : {2, 20, 1000, 50000}) {
        auto v = graph_data(n, 41 + n);
        auto want = v;
        mx::quick_sort(v.data(), static_cast<int>(n), custom_cmp);
        std::sort(want.begin(), want.end(), [](const morvex_Triple &x, const morvex_Triple &y) {
            return custom_cmp(x, y) != 0;
        });
        check(std::memcmp(v.data(), want.data(), n * sizeof(morvex_Triple)) == 0,
              "custom comparison n=" + std::to_string(n));
        bool ordered = true;
        for (size_t i = 1; i < n; ++i)
            ordered &= !custom_cmp(v[i], v[i - 1]);
        check(ordered, "custom comparison leaves order n=" + std::to_string(n));
        g_calls = 0;
        auto u = graph_data(n, 43 + n);
        mx::quick_sort(u.data(), static_cast<int>(n), counting_cmp);
        check(g_calls > 0, "custom comparison is called n=" + std::to_string(n));
    }
}

// On a thread whose workspace cannot be allocated, the five orders take a
// path that needs none, with the same result.
void check_no_workspace() {
    std::vector<std::vector<morvex_Triple>> arrays;
    for (size_t n : {11, 2049, 100000})
        for (const NamedMaker &m : kMakers)
            arrays.push_back(make(n, 67 + n, m.make));
    auto want = arrays;
    std::thread([&] {
        g_refuse_nothrow_new = true;
        for (size_t i = 0; i < arrays.size(); ++i)
            mx::quick_sort(arrays[i].data(), static_cast<int>(arrays[i].size()), kOrders[i % 5].cmp);
    }).join();
    for (size_t i = 0; i < want.size(); ++i) {
        reference_sort(want[i].data(), want[i].size(), kOrders[i % 5].cmp);
        check(std::memcmp(arrays[i].data(), want[i].data(), want[i].size() * 12) == 0,
              describe("no workspace", want[i].size(), kOrders[i % 5]));
    }
}

// _compare reads the float at byte offset 4 of each record.
int compare_floats(float a, float b) {
    unsigned char ra[12] = {0}, rb[12] = {0};
    const uint32_t junk = 0xdeadbeef;
    std::memcpy(ra, &junk, 4);  // the first field must be ignored
    std::memcpy(ra + 4, &a, 4);
    std::memcpy(rb + 4, &b, 4);
    return mx::_compare(ra, rb);
}

void check_compare() {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float a, b;
        int want;
        const char *what;
    } cases[] = {
        {1.5f, 2.5f, -1, "1.5 vs 2.5"},
        {2.5f, 1.5f, 1, "2.5 vs 1.5"},
        {2.0f, 2.0f, 1, "2.0 vs 2.0"},
        {-0.0f, 0.0f, 1, "-0 vs +0"},
        {nan, 1.0f, 0, "NaN vs 1"},
        {1.0f, nan, 0, "1 vs NaN"},
        {inf, inf, 0, "+inf vs +inf"},
        {-inf, -inf, 0, "-inf vs -inf"},
        {inf, -inf, 1, "+inf vs -inf"},
        {-inf, inf, -1, "-inf vs +inf"},
        {-3.0f, 1e-30f, -1, "-3 vs tiny"},
        {1e38f, -1e38f, 1, "overflow to +inf"},
        {-1e38f, 1e38f, -1, "overflow to -inf"},
    };
    for (const auto &c : cases)
        check(compare_floats(c.a, c.b) == c.want, std::string("_compare ") + c.what);
}

}  // namespace

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "quick";
    check_example();
    check_comparisons();
    check_short_counts();
    check_custom();
    check_compare();
    check_no_workspace();
    check_sizes();
    check_bucket_sizes();
    check_shapes();
    check_outliers();
    check_data_sets(!quick);
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
