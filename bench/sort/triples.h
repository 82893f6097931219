// triples.h -- data generators and the comparison-sort reference shared by
// sort_check and sort_bench.
#pragma once

#define MORVEX_MEMORY_MODULE
#include "../../morvex/utils/memory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace mx {
int cmp_head(morvex_Triple a, morvex_Triple b);
int cmp_tail(morvex_Triple a, morvex_Triple b);
int cmp_rel(morvex_Triple a, morvex_Triple b);
int cmp_rel2(morvex_Triple a, morvex_Triple b);
int cmp_rel3(morvex_Triple a, morvex_Triple b);
void quick_sort(morvex_Triple *array, int count, morvex_cmp_type cmp);
int _compare(const void *a, const void *b);
}  // namespace mx

namespace sortbench {

struct NamedOrder {
    const char *name;
    morvex_cmp_type cmp;
};

inline const NamedOrder kOrders[5] = {
    {"cmp_head", mx::cmp_head}, {"cmp_tail", mx::cmp_tail}, {"cmp_rel", mx::cmp_rel},
    {"cmp_rel2", mx::cmp_rel2}, {"cmp_rel3", mx::cmp_rel3},
};

// splitmix64: small, fast, good enough for test data.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t bound) { return static_cast<uint32_t>((next() >> 32) * bound >> 32); }
    int32_t any_int32() {
        const uint32_t u = static_cast<uint32_t>(next() >> 32);
        int32_t v;
        std::memcpy(&v, &u, sizeof v);
        return v;
    }

private:
    uint64_t s_;
};

// Graph-like: head and tail in [0, 2^20), relation in [0, 1000), about 10% of
// the rows copies of other rows.
inline std::vector<morvex_Triple> graph_data(size_t n, uint64_t seed) {
    Rng r(seed);
    std::vector<morvex_Triple> v(n);
    for (auto &t : v) {
        t.head = static_cast<int32_t>(r.below(1u << 20));
        t.relation = static_cast<int32_t>(r.below(1000));
        t.tail = static_cast<int32_t>(r.below(1u << 20));
    }
    if (n > 1)
        for (size_t i = 0; i < n; ++i)
            if (r.below(10) == 0)
                v[i] = v[r.below(static_cast<uint32_t>(n))];
    return v;
}

// Full-range: every field uniform over all of int32.
inline std::vector<morvex_Triple> full_data(size_t n, uint64_t seed) {
    Rng r(seed);
    std::vector<morvex_Triple> v(n);
    for (auto &t : v) {
        t.head = r.any_int32();
        t.relation = r.any_int32();
        t.tail = r.any_int32();
    }
    return v;
}

// The reference: std::sort calling the comparison through a pointer the
// compiler cannot see through.
inline morvex_cmp_type volatile g_reference_cmp = nullptr;

__attribute__((noinline)) inline void reference_sort(morvex_Triple *a, size_t n,
                                                     morvex_cmp_type cmp) {
    g_reference_cmp = cmp;
    const morvex_cmp_type f = g_reference_cmp;
    std::sort(a, a + n, [f](const morvex_Triple &x, const morvex_Triple &y) {
        return f(x, y) != 0;
    });
}

}  // namespace sortbench
