// ordering.cpp -- triple ordering as the module exports it: the five strict
// orders on (head, relation, tail) triples, quick_sort and the float-keyed
// qsort-style comparison _compare.
//
// The work is the sort kernels': the radix sort of the five orders
// (radix_sort.cpp) and the comparison sort of any other comparison
// (comparison_sort.h), both on the key kernel (../kernels/keys.h) and built
// without Python.h.  Nothing here touches the interpreter either: every
// function is callable without the GIL, on any thread.
#include "internal.h"

#include "comparison_sort.h"
#include "radix_sort.h"

#include <cstdint>
#include <cstring>

namespace mx {

// ---- exported --------------------------------------------------------------

int cmp_head(morvex_Triple a, morvex_Triple b) { return keys::HeadOrder::lex_less(a, b); }
int cmp_tail(morvex_Triple a, morvex_Triple b) { return keys::TailOrder::lex_less(a, b); }
int cmp_rel(morvex_Triple a, morvex_Triple b) { return keys::RelOrder::lex_less(a, b); }
int cmp_rel2(morvex_Triple a, morvex_Triple b) { return keys::Rel2Order::lex_less(a, b); }
int cmp_rel3(morvex_Triple a, morvex_Triple b) { return keys::Rel3Order::lex_less(a, b); }

namespace {

// The exported comparisons, in the sequence of the key kernel's order table.
constexpr morvex_cmp_type kOrderComparisons[keys::kOrderCount] = {cmp_head, cmp_tail, cmp_rel, cmp_rel2,
                                                                  cmp_rel3};

// A comparison function of the caller's, called with copies of the records.
struct CallerLess {
    morvex_cmp_type cmp;
    bool operator()(const morvex_Triple &x, const morvex_Triple &y) const { return cmp(x, y) != 0; }
};

}  // namespace

// Sorts array[0, count) ascending under `cmp`.  The five orders above take
// the radix sort; since equal triples are identical, its result is the same
// sequence any correct sort produces.  Any other comparison is used as given
// by the comparison sort, which stays inside the array whatever it returns.
//
// Other threads writing or sorting the same array meanwhile never make it
// read or write outside array[0, count), nor keep it from returning; the
// order it leaves is then unspecified.  (The radix sort trusts no count
// once the records may have moved: see radix_sort.cpp.)
void quick_sort(morvex_Triple *array, int count, morvex_cmp_type cmp) {
    if (count < 2)
        return;
    const uint32_t n = static_cast<uint32_t>(count);
    for (int order = 0; order < keys::kOrderCount; ++order) {
        if (cmp == kOrderComparisons[order]) {
            radix_sort(static_cast<keys::OrderId>(order), array, n);
            return;
        }
    }
    sorting::comparison_sort(array, n, CallerLess{cmp});
}

// qsort-style comparison of two records on their second 32-bit field, read as
// a float: the sign of the single-precision difference, with a zero
// difference counted as "after" and an undefined one (NaN, or the same
// infinity on both sides) as equal.
int _compare(const void *a, const void *b) {
    float fa, fb;
    std::memcpy(&fa, static_cast<const char *>(a) + 4, sizeof fa);
    std::memcpy(&fb, static_cast<const char *>(b) + 4, sizeof fb);
    const float d = fa - fb;
    if (d < 0.0f)
        return -1;
    if (d >= 0.0f)
        return 1;
    return 0;
}

MX_CHECK_EXPORT_TABLE()

}  // namespace mx
