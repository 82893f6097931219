// index_data.cpp -- the build of morvex.utils.triples.Index and the work
// its lookups do on it (see index_data.h).
#include "index_data.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {
namespace triples {
namespace {

// Where a relation's counts go while building: its id when the ids are
// dense enough, else its place among the ids present.
class RelationSlots {
public:
    RelationSlots(const Triple *a, int64_t n, int64_t relations) {
        dense_ = relations <= 2 * n + 1024;
        if (dense_) {
            size_ = relations;
            return;
        }
        ids_.resize(size_t(n));
        for (int64_t i = 0; i < n; ++i)
            ids_[size_t(i)] = a[i].relation;
        std::sort(ids_.begin(), ids_.end());
        ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
        size_ = int64_t(ids_.size());
    }
    int64_t size() const { return size_; }
    size_t operator()(int32_t rel) const {
        return dense_ ? size_t(rel) : size_t(std::lower_bound(ids_.begin(), ids_.end(), rel) - ids_.begin());
    }
    int32_t id(int64_t slot) const { return dense_ ? int32_t(slot) : ids_[size_t(slot)]; }

private:
    bool dense_;
    int64_t size_ = 0;
    std::vector<int32_t> ids_;
};

}  // namespace

// ---- the build -----------------------------------------------------------------

// The first row of a[0, n) with a negative id (-1 when there is none), and
// the largest entity and relation ids (-1 for none), in one pass that does
// not branch on the rows: where SSE2 is there, four rows at a time as three
// 16-byte words (see keys::kLaneField).
void scan_ids(const Triple *a, int64_t n, int64_t *negative, int32_t *top_entity, int32_t *top_rel) {
    int64_t i = 0;
    int32_t any = 0, entity = -1, rel = -1;  // any: the OR of the ids
#if defined(__SSE2__)
    if (n >= 4) {
        auto larger = [](__m128i x, __m128i y) {
            const __m128i gt = _mm_cmpgt_epi32(x, y);
            return _mm_or_si128(_mm_and_si128(gt, x), _mm_andnot_si128(gt, y));
        };
        __m128i m0 = _mm_set1_epi32(-1), m1 = m0, m2 = m0, o = _mm_setzero_si128();
        for (; i + 4 <= n; i += 4) {
            const __m128i *p = reinterpret_cast<const __m128i *>(a + i);
            const __m128i x0 = _mm_loadu_si128(p), x1 = _mm_loadu_si128(p + 1), x2 = _mm_loadu_si128(p + 2);
            o = _mm_or_si128(o, _mm_or_si128(x0, _mm_or_si128(x1, x2)));
            m0 = larger(m0, x0);
            m1 = larger(m1, x1);
            m2 = larger(m2, x2);
        }
        int32_t v[3][4], ov[4];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(v[0]), m0);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(v[1]), m1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(v[2]), m2);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(ov), o);
        any = ov[0] | ov[1] | ov[2] | ov[3];
        auto larger_id = [](int32_t x, int32_t y) { return std::max(x, y); };
        entity = mx::keys::fold_lanes(v, mx::keys::kHead, int32_t{-1}, larger_id);
        entity = mx::keys::fold_lanes(v, mx::keys::kTail, entity, larger_id);
        rel = mx::keys::fold_lanes(v, mx::keys::kRel, int32_t{-1}, larger_id);
    }
#endif
    for (; i < n; ++i) {
        any |= a[i].head | a[i].relation | a[i].tail;
        entity = std::max({entity, a[i].head, a[i].tail});
        rel = std::max(rel, a[i].relation);
    }
    *negative = -1;
    if (any < 0)  // some id is negative: the first row with one
        for (int64_t j = 0; j < n && *negative < 0; ++j)
            if ((a[j].head | a[j].relation | a[j].tail) < 0)
                *negative = j;
    *top_entity = entity;
    *top_rel = rel;
}

void build(IndexData &x, Triple *a, int64_t n, const par::Order &by_head, const par::Order &by_tail, int threads) {
    par::sort_rows(a, size_t(n), by_head, threads);
    // per relation: its triples, its distinct heads and its distinct tails,
    // counted as the repeats are dropped, and as the side by tail is filled
    const RelationSlots slot(a, n, x.relations);
    std::vector<int64_t> count(size_t(slot.size()), 0), heads(count), tails(count);
    // (A new head or relation is told with |, not ||, here and for the
    // tails below: whether a row repeats the previous one's head or relation
    // is a coin toss, which branches would mispredict, at a cost above this
    // pass's memory traffic.  The previous row starts as one no row equals,
    // ids being non-negative.)
    // The repeats are dropped here rather than by par::write_distinct, which
    // must keep to an output of the distinct rows' size: in place, every row
    // can be written to a[d], an address that does not wait for this row's
    // comparison, and d only moves past a new one.
    Triple prev{-1, -1, -1};
    int64_t d = 0;
    for (int64_t i = 0; i < n; ++i) {
        const Triple t = a[i];
        const int64_t fresh = !mx::keys::same(t, prev);
        const size_t s = slot(t.relation);
        count[s] += fresh;
        heads[s] += (t.head != prev.head) | (t.relation != prev.relation);  // 0 for a repeat
        a[d] = t;
        d += fresh;
        prev = t;
    }
    n = d;
    x.by_head.build(
        n, [&](int64_t i) { return a[i].head; }, [&](int64_t i) { return a[i].relation; },
        [&](int64_t i) { return a[i].tail; }, [](int64_t) {});
    par::sort_rows(a, size_t(n), by_tail, threads);
    x.by_tail.build(
        n, [&](int64_t i) { return a[i].tail; }, [&](int64_t i) { return a[i].relation; },
        [&](int64_t i) { return a[i].head; },
        [&, prev = Triple{-1, -1, -1}](int64_t i) mutable {
            const Triple t = a[i];
            tails[slot(t.relation)] += (t.tail != prev.tail) | (t.relation != prev.relation);
            prev = t;
        });
    for (int64_t s = 0; s < slot.size(); ++s) {
        if (count[size_t(s)] == 0)
            continue;
        const double c = double(count[size_t(s)]);
        const double tph = c / double(heads[size_t(s)]), hpt = c / double(tails[size_t(s)]);
        x.rel_ids.push_back(slot.id(s));
        x.head_p.push_back(tph / (tph + hpt));
    }
}

void write_triples(const IndexData &x, Triple *t) {
    const Two *r = x.by_head.rows();
    x.by_head.each_group([&](int32_t head, uint32_t lo, uint32_t hi) {
        for (uint32_t i = lo; i < hi; ++i)
            t[i] = Triple{head, r[i].rel, r[i].other};
    });
}

bool same_index(const IndexData &x, const IndexData &y) {
    return x.entities == y.entities && x.relations == y.relations && x.by_head == y.by_head;
}

// ---- lookups -------------------------------------------------------------------

void contains(const IndexData &x, const par::Rows &queries, bool *found, int threads) {
    for_rows(int64_t(queries.n), par::threads_for(queries.n, threads), [&](int64_t lo, int64_t hi) {
        for (int64_t i = lo; i < hi; ++i) {
            const Triple t = queries.row(size_t(i));
            found[i] = x.by_head.holds(t.head, t.relation, t.tail);
        }
    });
}

RunLookup::RunLookup(const Side &side, const par::Rows &pairs, int key_col, int rel_col, int threads)
    : side_(side), pairs_(pairs), key_col_(key_col), rel_col_(rel_col),
      threads_(par::threads_for(pairs.n, threads)), first_(pairs.n) {}

void RunLookup::measure(int64_t *off) {
    const int64_t m = int64_t(pairs_.n);
    const par::Rows pairs = pairs_;
    const Side &side = side_;
    const int key_col = key_col_, rel_col = rel_col_;
    uint32_t *const first = first_.get();
    const Two *rows = side.rows();
    // each pair's run, its length in off[i + 1]
    for_rows(m, threads_, [&](int64_t lo, int64_t hi) {
        look_ahead<0>(
            lo, hi, &side, nullptr,
            [&](int64_t i, int) { return std::make_pair(pairs.item(size_t(i), key_col), pairs.item(size_t(i), rel_col)); },
            [](int64_t, int, const Side::Probe *) {},
            [&](int64_t i, const Side::Probe *runs) {
                const Two *b = runs[0].lo, *e = runs[0].hi;
                first[i] = e - b == 1 ? uint32_t(b->other) : b ? uint32_t(b - rows) : 0;
                off[i + 1] = e - b;
                return true;
            });
    });
    off[0] = 0;
    for (int64_t i = 0; i < m; ++i)
        off[i + 1] += off[i];
}

void RunLookup::write(const int64_t *off, int32_t *v) const {
    const Two *rows = side_.rows();
    const uint32_t *const first = first_.get();
    for_rows(int64_t(pairs_.n), threads_, [&](int64_t lo, int64_t hi) {
        constexpr int64_t kAhead = 8;
        for (int64_t i = lo; i < hi; ++i) {
            if (i + kAhead < hi && off[i + kAhead + 1] - off[i + kAhead] > 1)
                prefetch_read(rows + first[i + kAhead]);
            const int64_t k = off[i], len = off[i + 1] - k;
            if (len == 1) {
                v[k] = int32_t(first[i]);
                continue;
            }
            const Two *r = rows + first[i];
            int64_t j = 0;
#if defined(__SSE2__)
            for (; j + 4 <= len; j += 4) {  // the ids of four rows a store
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r + j));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r + j + 2));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(v + k + j),
                                 _mm_unpacklo_epi64(_mm_shuffle_epi32(a, 0xDD), _mm_shuffle_epi32(b, 0xDD)));
            }
#endif
            for (; j < len; ++j)
                v[k + j] = r[j].other;
        }
    });
}

}  // namespace triples
}  // namespace mx
