// index.cpp -- morvex.utils.triples.Index: the distinct triples of a graph,
// held for lookups (membership, the known tails of a (head, relation) pair,
// the known heads of a (relation, tail) pair) and for drawing negatives, by
// replacing a row's head or tail, that are never known triples.
//
// The triples are held twice, 8 bytes each time: grouped by head, each
// group holding (relation, tail) ascending, and grouped by tail, each group
// holding (relation, head) ascending.  A group is found through a table of
// 4-byte starts indexed by the id (or, when the ids are too sparse for that
// to be the smaller, by bisection over the ids present).  So the known tails
// of (h, r) are one sorted run, and a uniform draw among the entities
// outside it is exact with a single draw: the k-th entity not in the run is
// k plus the number of run entries at or below it.
//
// Negatives come from a counter-based generator keyed by (seed, row,
// negative), so every negative is a function of those three alone and the
// result does not depend on how the rows are split over threads.
// the export table, which triples.cpp fills when the module is imported
#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#define MORVEX_MEMORY_NO_IMPORT
#include "front.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const char kSourceFile[] = "morvex\\utils\\src_triples\\index.cpp";

using mx::Ref;
using mx::WithoutGil;
using mx::front::Block;
using mx::front::edge;
using mx::front::fail;
using mx::front::flag_arg;
using mx::front::int_arg;
using mx::front::int_in;
using mx::front::is_ascii;
using mx::front::new_array;
using mx::front::NoMemory;
using mx::front::parse_threads;
using mx::front::Table;
using Triple = morvex_Triple;
namespace par = mx::par;

using mx::keys::prefetch_read;

// ---- one side of the index -----------------------------------------------------

// The other two fields of a triple, relation first, as one side holds them.
struct Two {
    int32_t rel, other;
};
static_assert(sizeof(Two) == 8, "two fields, no padding");

inline uint64_t two_key(int32_t rel, int32_t other) {
    return uint64_t(uint32_t(rel)) << 32 | uint32_t(other);  // both non-negative
}

// The triples grouped by one field (the key), each group sorted by
// (relation, other).
class Side {
public:
    Side() = default;

    // From rows sorted by (key, relation, other), distinct and non-negative;
    // key(i), rel(i), other(i) read row i, and each(i) is called for every
    // row in order, in the same pass: the rows are read once (a pass over a
    // large table costs about a tenth of its sort).
    template <class K, class R, class O, class E>
    void build(int64_t n, K key, R rel, O other, E each) {
        n_ = n;
        rows_ = Block<Two>(size_t(n));
        // (key, first row) for each key present, gathered without a branch
        // per row (a new key is as good as a coin toss when groups are
        // short): each row writes its entry to `recent`, and a new key's
        // entry stays
        std::vector<std::pair<int32_t, uint32_t>> groups;
        constexpr unsigned kRecent = 256;
        std::pair<int32_t, uint32_t> recent[kRecent];
        unsigned fresh = 0;
        int32_t last = -1;  // no key: ids are non-negative
        for (int64_t i = 0; i < n; ++i) {
            const int32_t k = key(i);
            rows_[size_t(i)] = Two{rel(i), other(i)};
            recent[fresh] = {k, uint32_t(i)};
            fresh += k != last;
            last = k;
            if (fresh == kRecent) {
                groups.insert(groups.end(), recent, recent + kRecent);
                fresh = 0;
            }
            each(i);
        }
        groups.insert(groups.end(), recent, recent + fresh);
        const int64_t distinct = int64_t(groups.size());
        const int64_t span = n ? int64_t(last) + 1 : 0;
        // a start per id, or an id and a start per id present: the smaller
        dense_ = span <= 2 * distinct + 1024;
        const int64_t entries = dense_ ? span : distinct;
        starts_ = Block<uint32_t>(size_t(entries) + 1);
        count_ = entries;
        if (!dense_)
            ids_ = Block<int32_t>(size_t(entries));
        int64_t e = 0;
        for (const auto &g : groups) {
            if (dense_) {
                while (e <= g.first)
                    starts_[size_t(e++)] = g.second;
            } else {
                ids_[size_t(e)] = g.first;
                starts_[size_t(e++)] = g.second;
            }
        }
        while (e <= entries)
            starts_[size_t(e++)] = uint32_t(n);
    }

    int64_t bytes() const { return n_ * 8 + (count_ + 1) * 4 + (dense_ ? 0 : count_ * 4); }
    const Two *rows() const { return rows_.get(); }
    int64_t size() const { return n_; }
    // The keys' groups in order: (key, first row) for each key present.
    template <class F>
    void each_group(F &&f) const {
        for (int64_t e = 0; e < count_; ++e)
            if (starts_[size_t(e)] < starts_[size_t(e) + 1])
                f(dense_ ? int32_t(e) : ids_[size_t(e)], starts_[size_t(e)], starts_[size_t(e) + 1]);
    }

    // Where the group of `key` starts in the table of starts (for a fetch
    // ahead of group()), or null when the key has none.
    const uint32_t *slot(int32_t key) const {
        if (key < 0)
            return nullptr;
        if (dense_)
            return key < count_ ? &starts_[size_t(key)] : nullptr;
        const int32_t *begin = ids_.get(), *end = begin + count_, *at = std::lower_bound(begin, end, key);
        return at != end && *at == key ? &starts_[size_t(at - begin)] : nullptr;
    }

    // Fetches the rows of the group at `slot` (from slot()), both ends: a
    // group may span two cache lines.  Always inlined, as the kernel's
    // prefetch is: a call of a function that only prefetches may be dropped.
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    inline void fetch_group(const uint32_t *slot) const {
        if (slot == nullptr)
            return;
        prefetch_read(rows_.get() + slot[0]);
        if (slot[1] > slot[0])
            prefetch_read(rows_.get() + slot[1] - 1);
    }

    // The run of rows of group `slot` whose relation is `rel`: [*lo, *hi).
    void run(const uint32_t *slot, int32_t rel, const Two **lo, const Two **hi) const {
        if (slot == nullptr) {
            *lo = *hi = nullptr;
            return;
        }
        const Two *b = rows_.get() + slot[0], *e = rows_.get() + slot[1];
        if (e - b <= kShortGroup) {
            // counted without branches: a bisection of a short group is
            // mostly mispredicted branches
            ptrdiff_t below = 0, upto = 0;
            for (const Two *t = b; t < e; ++t) {
                below += t->rel < rel;
                upto += t->rel <= rel;
            }
            *lo = b + below;
            *hi = b + upto;
            return;
        }
        b = std::lower_bound(b, e, rel, [](const Two &t, int32_t r) { return t.rel < r; });
        const Two *f = b;
        while (f < e && f->rel == rel)  // runs are short; a long one is bisected
            if (e - f > 16 && f[16].rel == rel)
                f = std::upper_bound(f + 16, e, rel, [](int32_t r, const Two &t) { return r < t.rel; });
            else
                ++f;
        *lo = b;
        *hi = f;
    }

    bool holds(int32_t key, int32_t rel, int32_t other) const {
        const uint32_t *s = slot(key);
        if (s == nullptr)
            return false;
        const Two *b = rows_.get() + s[0], *e = rows_.get() + s[1];
        const uint64_t want = two_key(rel, other);
        b = std::lower_bound(b, e, want, [](const Two &t, uint64_t k) { return two_key(t.rel, t.other) < k; });
        return b < e && b->rel == rel && b->other == other;
    }

    bool operator==(const Side &o) const {
        return n_ == o.n_ && dense_ == o.dense_ && count_ == o.count_ &&
               std::memcmp(rows_.get(), o.rows_.get(), size_t(n_) * sizeof(Two)) == 0 &&
               std::memcmp(starts_.get(), o.starts_.get(), size_t(count_ + 1) * 4) == 0 &&
               (dense_ || std::memcmp(ids_.get(), o.ids_.get(), size_t(count_) * 4) == 0);
    }

private:
    static constexpr ptrdiff_t kShortGroup = 32;
    int64_t n_ = 0, count_ = 0;
    bool dense_ = true;
    Block<Two> rows_;
    Block<uint32_t> starts_;  // count_ + 1 entries
    Block<int32_t> ids_;      // sparse only: the ids present, ascending
};

// ---- the counter-based generator ---------------------------------------------

inline uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

// The draws of one negative: a short sequence that depends on (seed, row,
// negative) only.  row_key() is computed once per row.
inline uint64_t row_key(uint64_t seed, int64_t row) { return mix64(mix64(seed) + uint64_t(row + 1) * kGolden); }

class Draws {
public:
    Draws(uint64_t row_key, int64_t negative) : state_(mix64(row_key ^ (uint64_t(negative) * 0xD1B54A32D192ED03ull))) {}

    uint64_t next() { return mix64(state_ += kGolden); }

    // Uniform in [0, range), range >= 1, without bias (multiply and shift,
    // redrawing the few values that would favour the low results).
    uint64_t below(uint64_t range) {
        __uint128_t m = static_cast<__uint128_t>(next()) * range;
        uint64_t low = static_cast<uint64_t>(m);
        if (low < range) {
            const uint64_t floor = (0 - range) % range;
            while (low < floor) {
                m = static_cast<__uint128_t>(next()) * range;
                low = static_cast<uint64_t>(m);
            }
        }
        return static_cast<uint64_t>(m >> 64);
    }

    // True with probability p.
    bool chance(double p) { return double(next() >> 11) * 0x1p-53 < p; }

private:
    uint64_t state_;
};

// The entities one side of a row may take: [0, entities) without the sorted
// run [lo, hi) of known ids (filtered; empty otherwise) and without `self`,
// the id being replaced.
struct Allowed {
    Allowed(const Two *lo, const Two *hi, int32_t self, int64_t entities) : lo_(lo), hi_(hi) {
        const Two *at = std::lower_bound(lo, hi, self, [](const Two &t, int32_t v) { return t.other < v; });
        self_known_ = at < hi && at->other == self;
        self_rank_ = int64_t(self) - (at - lo);  // self's place among the ids outside the run
        count_ = entities - (hi - lo) - (self_known_ ? 0 : 1);
    }

    int64_t count() const { return count_; }

    // The k-th allowed id, k in [0, count()).
    int32_t pick(int64_t k) const {
        k += !self_known_ && k >= self_rank_;  // step over self
        // the k-th id outside the run is k plus the run's ids d with d - (its
        // place in the run) <= k, which are a prefix of the run: counted
        // without branches when the run is short (the usual case, where a
        // branch on each random k would be mispredicted half the time),
        // found by bisection otherwise
        const Two *p = lo_;
        int64_t len = hi_ - lo_;
        if (len <= kShortRun) {
            int64_t below = 0;
            for (int64_t i = 0; i < len; ++i)
                below += int64_t(p[i].other) - i <= k;
            return int32_t(k + below);
        }
        while (len > 0) {
            const int64_t half = len / 2;
            if (int64_t(p[half].other) - (p + half - lo_) <= k) {
                p += half + 1;
                len -= half + 1;
            } else {
                len = half;
            }
        }
        return int32_t(k + (p - lo_));
    }

private:
    static constexpr int64_t kShortRun = 8;
    const Two *lo_, *hi_;
    bool self_known_;
    int64_t self_rank_, count_;
};

// ---- the index ---------------------------------------------------------------------

struct IndexData {
    int64_t entities = 0, relations = 0;
    Side by_head;  // (relation, tail) per head
    Side by_tail;  // (relation, head) per tail
    // the relations present, ascending, and the probability of replacing
    // the head for each
    std::vector<int32_t> rel_ids;
    std::vector<double> head_p;

    int64_t size() const { return by_head.size(); }
    int64_t bytes() const {
        return by_head.bytes() + by_tail.bytes() + int64_t(rel_ids.size()) * (4 + 8) + int64_t(sizeof *this);
    }
    double head_probability(int32_t rel) const {
        const auto at = std::lower_bound(rel_ids.begin(), rel_ids.end(), rel);
        return at != rel_ids.end() && *at == rel ? head_p[size_t(at - rel_ids.begin())] : 0.5;
    }
};

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

void sort_rows(Triple *a, int64_t n, morvex_cmp_type cmp, mx::keys::OrderId order, int threads) {
    const int t = par::threads_for(size_t(n), threads);
    if (t > 1)
        par::sort(a, size_t(n), par::Order{order, cmp, morvex_memory.quick_sort}, t);
    else
        morvex_memory.quick_sort(a, static_cast<int>(n), cmp);
}

// Builds the index of a[0, n) (non-negative ids, rows in any order; a is
// used as scratch).  Runs without the GIL.
void build(IndexData &x, Triple *a, int64_t n, int threads) {
    sort_rows(a, n, morvex_memory.cmp_head, mx::keys::kHeadOrder, threads);
    // per relation: its triples, its distinct heads and its distinct tails,
    // counted as the repeats are dropped, and as the side by tail is filled
    const RelationSlots slot(a, n, x.relations);
    std::vector<int64_t> count(size_t(slot.size()), 0), heads(count), tails(count);
    // (A new head or relation is told with |, not ||, here and for the
    // tails below: whether a row repeats the previous one's head or relation
    // is a coin toss, which branches would mispredict; that cost this pass
    // more than its memory traffic.  The previous row starts as one no row
    // equals, ids being non-negative.)
    // A repeat is dropped without a branch too: on graph-like tables one
    // row in ten may repeat the one before, more than a branch predicts
    // well.  Every row is written to a[d], and d only moves past a new one.
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
    sort_rows(a, n, morvex_memory.cmp_tail, mx::keys::kTailOrder, threads);
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

struct IndexObject {
    PyObject_HEAD
    IndexData *data;
};

PyTypeObject IndexType = mx::compat::blank_type("morvex.utils.triples.Index", sizeof(IndexObject));

IndexData &data_of(PyObject *self) { return *reinterpret_cast<IndexObject *>(self)->data; }

// Splits [0, n) into parts of whole blocks; task(lo, hi) runs for each, on
// up to `threads` threads.  The parts depend on n only.
template <class F>
void for_rows(int64_t n, int threads, F &&task) {
    constexpr int64_t kBlock = 4096;
    const int64_t parts = (n + kBlock - 1) / kBlock;
    auto one = [&](int p) { task(int64_t(p) * kBlock, std::min(n, int64_t(p + 1) * kBlock)); };
    if (parts > 0)
        mx::workers::run(threads, static_cast<int>(std::min<int64_t>(parts, INT_MAX)), one);
}

// ---- construction -------------------------------------------------------------

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

const char *const kNewKw[] = {"known", "num_entities", "threads", nullptr};

PyObject *index_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return edge([&]() -> PyObject * {
        PyObject *known_obj, *entities_obj = Py_None, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:Index", const_cast<char **>(kNewKw), &known_obj,
                                             &entities_obj, &threads_obj));
        const int threads = parse_threads(threads_obj);
        long long entities = -1;
        if (entities_obj != Py_None)
            entities = int_in(int_arg(entities_obj, "num_entities", "None or an int"), 0, 1LL << 31, "num_entities",
                              "[0, 2**31]");
        Table known(known_obj, "known");
        const int64_t n = known.rows();
        Block<Triple> rows{static_cast<size_t>(n)};
        // the first row with a negative id, and the largest ids
        int64_t negative = -1;
        int32_t top_entity = -1, top_rel = -1;
        {
            WithoutGil nogil;
            known.load(rows.get());
            scan_ids(rows.get(), n, &negative, &top_entity, &top_rel);
        }
        if (negative >= 0) {
            const Triple &t = rows[size_t(negative)];
            fail(PyExc_ValueError, "known row %lld (%d, %d, %d) holds a negative id", (long long)negative, t.head,
                 t.relation, t.tail);
        }
        if (entities >= 0 && top_entity >= entities) {
            int64_t i = 0;
            while (rows[size_t(i)].head < entities && rows[size_t(i)].tail < entities)
                ++i;
            const Triple &t = rows[size_t(i)];
            fail(PyExc_ValueError, "num_entities is %lld, but known row %lld (%d, %d, %d) has an entity id "
                 "that is not below it", entities, (long long)i, t.head, t.relation, t.tail);
        }
        std::unique_ptr<IndexData> x(new IndexData());
        x->entities = entities >= 0 ? entities : int64_t(top_entity) + 1;
        x->relations = int64_t(top_rel) + 1;
        {
            WithoutGil nogil;
            build(*x, rows.get(), n, threads);
        }
        PyObject *self = type->tp_alloc(type, 0);
        MX_CHECK(self != nullptr);
        reinterpret_cast<IndexObject *>(self)->data = x.release();
        return self;
    });
}

void index_dealloc(PyObject *self) {
    delete reinterpret_cast<IndexObject *>(self)->data;
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t index_len(PyObject *self) { return Py_ssize_t(data_of(self).size()); }

// The distinct triples in (head, relation, tail) order, as a new array.
Ref triples_array(const IndexData &x) {
    void *out = nullptr;
    Ref array = new_array(Py_ssize_t(x.size()), 3, "int32", &out);
    Triple *t = static_cast<Triple *>(out);
    const Two *r = x.by_head.rows();
    x.by_head.each_group([&](int32_t head, uint32_t lo, uint32_t hi) {
        for (uint32_t i = lo; i < hi; ++i)
            t[i] = Triple{head, r[i].rel, r[i].other};
    });
    return array;
}

PyObject *index_reduce(PyObject *self, PyObject *) {
    return edge([&] {
        const IndexData &x = data_of(self);
        Ref rows = triples_array(x);
        return Py_BuildValue("(O(OL))", reinterpret_cast<PyObject *>(Py_TYPE(self)), rows.get(),
                             (long long)x.entities);
    });
}

PyObject *index_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, &IndexType))
        Py_RETURN_NOTIMPLEMENTED;
    const IndexData &x = data_of(a), &y = data_of(b);
    const bool same = x.entities == y.entities && x.relations == y.relations && x.by_head == y.by_head;
    return mx::compat::new_ref((same == (op == Py_EQ)) ? Py_True : Py_False);
}

PyObject *get_entities(PyObject *self, void *) { return PyLong_FromLongLong(data_of(self).entities); }
PyObject *get_relations(PyObject *self, void *) { return PyLong_FromLongLong(data_of(self).relations); }
PyObject *get_nbytes(PyObject *self, void *) { return PyLong_FromLongLong(data_of(self).bytes()); }

// ---- lookups -------------------------------------------------------------------

const char *const kQueriesKw[] = {"queries", "threads", nullptr};
const char *const kPairsKw[] = {"pairs", "threads", nullptr};

PyObject *index_contains(PyObject *self, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *queries_obj, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|O:contains", const_cast<char **>(kQueriesKw),
                                             &queries_obj, &threads_obj));
        const int threads = parse_threads(threads_obj);
        Table q(queries_obj, "queries");
        const IndexData &x = data_of(self);
        void *out = nullptr;
        Ref result = new_array(q.rows(), 0, "bool", &out);
        bool *found = static_cast<bool *>(out);
        {
            WithoutGil nogil;
            for_rows(q.rows(), par::threads_for(size_t(q.rows()), threads), [&](int64_t lo, int64_t hi) {
                for (int64_t i = lo; i < hi; ++i) {
                    const Triple t = q.row(i);
                    found[i] = x.by_head.holds(t.head, t.relation, t.tail);
                }
            });
        }
        return result.release();
    });
}

// The known `other` ids of each (key, relation) pair of one side, as
// (offsets, values).  `key_col` is the pair's column holding the key.
PyObject *lookup(PyObject *self, PyObject *args, PyObject *kwds, bool tails) {
    return edge([&] {
        PyObject *pairs_obj, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, tails ? "O|O:tails" : "O|O:heads",
                                             const_cast<char **>(kPairsKw), &pairs_obj, &threads_obj));
        const int threads_wanted = parse_threads(threads_obj);
        Table p(pairs_obj, "pairs", 2);
        const IndexData &x = data_of(self);
        const Side &side = tails ? x.by_head : x.by_tail;
        const int key_col = tails ? 0 : 1, rel_col = tails ? 1 : 0;
        const int64_t m = p.rows();
        void *off_data = nullptr;
        Ref offsets = new_array(Py_ssize_t(m + 1), 0, "int64", &off_data);
        int64_t *off = static_cast<int64_t *>(off_data);
        // each pair's run, its length in off[i + 1]: the one id itself when
        // it holds one (the usual case, copied then without a second visit
        // of the rows), else its first row
        Block<uint32_t> first{size_t(m)};
        const Two *rows = side.rows();
        const int threads = par::threads_for(size_t(m), threads_wanted);
        {
            WithoutGil nogil;
            // the pairs are looked up a few ahead: the starts of their groups
            // first, then the groups' rows (both ends), so that the misses
            // overlap
            for_rows(m, threads, [&](int64_t lo, int64_t hi) {
                constexpr int64_t kAhead = 8;
                for (int64_t i = lo - 2 * kAhead; i < hi; ++i) {
                    if (i + 2 * kAhead < hi)
                        prefetch_read(side.slot(p.item(i + 2 * kAhead, key_col)));
                    if (i + kAhead >= lo && i + kAhead < hi)
                        side.fetch_group(side.slot(p.item(i + kAhead, key_col)));
                    if (i < lo)
                        continue;
                    const Two *b, *e;
                    side.run(side.slot(p.item(i, key_col)), p.item(i, rel_col), &b, &e);
                    first[size_t(i)] = e - b == 1 ? uint32_t(b->other) : b ? uint32_t(b - rows) : 0;
                    off[i + 1] = e - b;
                }
            });
            off[0] = 0;
            for (int64_t i = 0; i < m; ++i)
                off[i + 1] += off[i];
        }
        void *values_data = nullptr;
        Ref values = new_array(Py_ssize_t(off[m]), 0, "int32", &values_data);
        int32_t *v = static_cast<int32_t *>(values_data);
        {
            WithoutGil nogil;
            for_rows(m, threads, [&](int64_t lo, int64_t hi) {
                constexpr int64_t kAhead = 8;
                for (int64_t i = lo; i < hi; ++i) {
                    if (i + kAhead < hi && off[i + kAhead + 1] - off[i + kAhead] > 1)
                        prefetch_read(rows + first[size_t(i + kAhead)]);
                    const int64_t k = off[i], len = off[i + 1] - k;
                    if (len == 1) {
                        v[k] = int32_t(first[size_t(i)]);
                        continue;
                    }
                    const Two *r = rows + first[size_t(i)];
                    for (int64_t j = 0; j < len; ++j)
                        v[k + j] = r[j].other;
                }
            });
        }
        return MX_TAKE(PyTuple_Pack(2, offsets.get(), values.get())).release();
    });
}

PyObject *index_tails(PyObject *self, PyObject *args, PyObject *kwds) { return lookup(self, args, kwds, true); }
PyObject *index_heads(PyObject *self, PyObject *args, PyObject *kwds) { return lookup(self, args, kwds, false); }

// The dense answer of head_probability() has one value per relation id up
// to the largest: it is refused when the ids are so spread out that it would
// be more than kDenseSlack + kDenseRatio values per relation present.
constexpr int64_t kDenseSlack = 1024, kDenseRatio = 8;

const char *const kProbabilityKw[] = {"relations", nullptr};

PyObject *index_head_probability(PyObject *self, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *relations = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "|O:head_probability", const_cast<char **>(kProbabilityKw),
                                             &relations));
        const IndexData &x = data_of(self);
        const int64_t present = int64_t(x.rel_ids.size());
        void *out = nullptr;
        if (relations == Py_None) {
            if (x.relations > kDenseSlack + kDenseRatio * present)
                fail(PyExc_ValueError, "head_probability() would return %lld values, one per relation id below "
                     "num_relations, for %lld relation%s present; pass the ids you need as "
                     "head_probability(relations)", (long long)x.relations, (long long)present,
                     present == 1 ? "" : "s");
            Ref result = new_array(Py_ssize_t(x.relations), 0, "float64", &out);
            double *p = static_cast<double *>(out);
            std::fill(p, p + x.relations, 0.5);
            for (size_t i = 0; i < x.rel_ids.size(); ++i)
                p[x.rel_ids[i]] = x.head_p[i];
            return result.steal();
        }
        // any integer array numpy makes of `relations`, answered in its shape
        Ref numpy = MX_TAKE(PyImport_ImportModule("numpy"));
        Ref ids = MX_TAKE(PyObject_CallMethod(numpy.get(), "asarray", "O", relations));
        Ref dtype = MX_TAKE(PyObject_GetAttrString(ids.get(), "dtype"));
        Ref kind = MX_TAKE(PyObject_GetAttrString(dtype.get(), "kind"));
        if (!is_ascii(kind.get(), "i") && !is_ascii(kind.get(), "u"))
            fail(PyExc_TypeError, "relations must hold integers, got dtype %S", dtype.get());
        Ref wide = MX_TAKE(PyObject_CallMethod(numpy.get(), "ascontiguousarray", "Os", ids.get(), "int64"));
        Ref result = MX_TAKE(PyObject_CallMethod(numpy.get(), "empty_like", "Os", wide.get(), "float64"));
        Py_buffer in, res;
        MX_CHECK(PyObject_GetBuffer(wide.get(), &in, PyBUF_CONTIG_RO) == 0);
        const int64_t *id = static_cast<const int64_t *>(in.buf);
        const Py_ssize_t n = in.len / Py_ssize_t(sizeof(int64_t));
        PyBuffer_Release(&in);  // `wide` keeps the memory
        MX_CHECK(PyObject_GetBuffer(result.get(), &res, PyBUF_CONTIG) == 0);
        double *p = static_cast<double *>(res.buf);
        PyBuffer_Release(&res);  // `result` keeps the memory
        for (Py_ssize_t i = 0; i < n; ++i) {
            // an id of uint64 above 2**63 - 1 has wrapped to a negative one
            if (id[i] < 0 || id[i] >= x.relations)
                fail(PyExc_ValueError, "relations item %zd (%lld) is outside the index: relations are in [0, %lld)",
                     i, (long long)id[i], (long long)x.relations);
            p[i] = x.head_probability(int32_t(id[i]));
        }
        return result.steal();
    });
}

// ---- negatives ------------------------------------------------------------------

enum class SideRule { kHead, kTail, kBoth };

struct CorruptArgs {
    int64_t negatives;
    SideRule side;
    bool bernoulli, filtered;
    uint64_t seed;
};

// What went wrong with one row of the batch, if anything.
enum class RowFault { kNone, kHead, kTail, kNeither };

// Fills out[(i * negatives + j)] for rows [lo, hi); returns the first row
// without a valid replacement (and why), or -1.
int64_t corrupt_rows(const IndexData &x, const Triple *batch, const CorruptArgs &c, Triple *out, int64_t lo,
                     int64_t hi, RowFault *fault) {
    // rows are looked up a few ahead of their draws: the starts of their
    // groups first, then the groups' rows (Side::fetch_group), so that the
    // misses overlap.
    constexpr int64_t kAhead = 8;
    const bool need_head = c.side != SideRule::kTail, need_tail = c.side != SideRule::kHead;
    const bool ahead = c.filtered;
    for (int64_t i = ahead ? lo - 2 * kAhead : lo; i < hi; ++i) {
        if (ahead) {
            if (i + 2 * kAhead < hi) {
                const Triple &f = batch[i + 2 * kAhead];
                if (need_tail)
                    prefetch_read(x.by_head.slot(f.head));
                if (need_head)
                    prefetch_read(x.by_tail.slot(f.tail));
            }
            if (i + kAhead >= lo && i + kAhead < hi) {
                const Triple &f = batch[i + kAhead];
                if (need_tail)
                    x.by_head.fetch_group(x.by_head.slot(f.head));
                if (need_head)
                    x.by_tail.fetch_group(x.by_tail.slot(f.tail));
            }
            if (i < lo)
                continue;
        }
        const Triple t = batch[i];
        const Two *tl = nullptr, *th = nullptr, *hl = nullptr, *hh = nullptr;
        if (c.filtered) {
            if (need_tail)
                x.by_head.run(x.by_head.slot(t.head), t.relation, &tl, &th);
            if (need_head)
                x.by_tail.run(x.by_tail.slot(t.tail), t.relation, &hl, &hh);
        }
        const Allowed heads(hl, hh, t.head, x.entities), tails(tl, th, t.tail, x.entities);
        const bool head_ok = need_head && heads.count() > 0, tail_ok = need_tail && tails.count() > 0;
        if (!head_ok && !tail_ok) {
            *fault = c.side == SideRule::kHead ? RowFault::kHead
                     : c.side == SideRule::kTail ? RowFault::kTail
                                                 : RowFault::kNeither;
            return i;
        }
        const double p = !(head_ok && tail_ok) ? (head_ok ? 1.0 : 0.0)
                         : c.bernoulli        ? x.head_probability(t.relation)
                                              : 0.5;
        const uint64_t key = row_key(c.seed, i);
        Triple *o = out + i * c.negatives;
        for (int64_t j = 0; j < c.negatives; ++j) {
            Draws draw(key, j);
            // the side is drawn for "both" even when one side is closed, so
            // that the entity draws do not depend on it
            const bool head = c.side == SideRule::kBoth ? draw.chance(p) : head_ok;
            o[j] = t;
            if (head)
                o[j].head = heads.pick(int64_t(draw.below(uint64_t(heads.count()))));
            else
                o[j].tail = tails.pick(int64_t(draw.below(uint64_t(tails.count()))));
        }
    }
    return -1;
}

const char *const kCorruptKw[] = {"batch", "num_negatives", "side", "strategy", "filtered", "seed", "threads",
                                  nullptr};

uint64_t fresh_seed() {
    std::random_device device;
    return uint64_t(device()) << 32 ^ device();
}

PyObject *index_corrupt(PyObject *self, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *batch_obj, *negatives_obj, *side_obj = nullptr, *strategy_obj = nullptr, *filtered_obj = Py_True,
                                             *seed_obj = Py_None, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OOOOO:corrupt", const_cast<char **>(kCorruptKw),
                                             &batch_obj, &negatives_obj, &side_obj, &strategy_obj, &filtered_obj,
                                             &seed_obj, &threads_obj));
        CorruptArgs c{};
        c.negatives = int_in(int_arg(negatives_obj, "num_negatives", "an int"), 0, INT32_MAX, "num_negatives",
                             "[0, 2**31)");
        c.side = SideRule::kBoth;
        if (side_obj != nullptr) {
            if (is_ascii(side_obj, "head"))
                c.side = SideRule::kHead;
            else if (is_ascii(side_obj, "tail"))
                c.side = SideRule::kTail;
            else if (!is_ascii(side_obj, "both"))
                fail(PyExc_ValueError, "side must be 'head', 'tail' or 'both', not %.60R", side_obj);
        }
        if (strategy_obj != nullptr) {
            c.bernoulli = is_ascii(strategy_obj, "bernoulli");
            if (!c.bernoulli && !is_ascii(strategy_obj, "uniform"))
                fail(PyExc_ValueError, "strategy must be 'uniform' or 'bernoulli', not %.60R", strategy_obj);
        }
        c.filtered = flag_arg(filtered_obj, "filtered");
        if (seed_obj == Py_None) {
            c.seed = fresh_seed();
        } else {
            const Ref seed = int_arg(seed_obj, "seed", "None or an int");
            c.seed = PyLong_AsUnsignedLongLongMask(seed.get());  // any int, taken modulo 2**64
            MX_CHECK(!(c.seed == static_cast<uint64_t>(-1) && PyErr_Occurred()));
        }
        const int threads_wanted = parse_threads(threads_obj);
        Table batch_table(batch_obj, "batch");
        const IndexData &x = data_of(self);
        const int64_t m = batch_table.rows();
        Block<Triple> copy;
        const Triple *batch = reinterpret_cast<const Triple *>(batch_table.data());
        int64_t outside = -1;
        {
            WithoutGil nogil;
            if (!batch_table.is_records()) {
                copy = Block<Triple>(size_t(m));
                batch_table.load(copy.get());
                batch = copy.get();
            }
            for (int64_t i = 0; i < m && outside < 0; ++i) {
                const Triple &t = batch[i];
                if (t.head < 0 || t.head >= x.entities || t.tail < 0 || t.tail >= x.entities || t.relation < 0 ||
                    t.relation >= x.relations)
                    outside = i;
            }
        }
        if (outside >= 0) {
            const Triple &t = batch[outside];
            fail(PyExc_ValueError, "batch row %lld (%d, %d, %d) is outside the index: entities are in [0, %lld), "
                 "relations in [0, %lld)", (long long)outside, t.head, t.relation, t.tail,
                 (long long)x.entities, (long long)x.relations);
        }
        void *out_data = nullptr;
        Ref result;
        {
            Ref flat = new_array(Py_ssize_t(m * c.negatives), 3, "int32", &out_data);
            result = MX_TAKE(PyObject_CallMethod(flat.get(), "reshape", "(nnn)", Py_ssize_t(m),
                                                 Py_ssize_t(c.negatives), Py_ssize_t(3)));
        }
        Triple *out = static_cast<Triple *>(out_data);
        std::atomic<int64_t> first_bad{INT64_MAX};
        if (c.negatives > 0) {  // with none to draw, no row lacks a replacement
            WithoutGil nogil;
            const int threads = par::threads_for(size_t(m) * size_t(c.negatives) / 16, threads_wanted);
            for_rows(m, threads, [&](int64_t lo, int64_t hi) {
                RowFault fault = RowFault::kNone;
                const int64_t bad = corrupt_rows(x, batch, c, out, lo, hi, &fault);
                if (bad < 0)
                    return;
                // the first bad row over all parts, whichever part finds it first
                int64_t seen = first_bad.load();
                while (bad < seen && !first_bad.compare_exchange_weak(seen, bad)) {
                }
            });
        }
        const int64_t bad = first_bad.load();
        if (bad != INT64_MAX) {
            const Triple &t = batch[bad];
            RowFault fault = RowFault::kNone;
            corrupt_rows(x, batch, c, out, bad, bad + 1, &fault);
            const char *what = fault == RowFault::kHead   ? "head"
                               : fault == RowFault::kTail ? "tail"
                                                          : "head or tail";
            fail(PyExc_ValueError, "batch row %lld (%d, %d, %d) has no valid %s replacement%s", (long long)bad,
                 t.head, t.relation, t.tail, what, c.filtered ? " that is not a known triple" : "");
        }
        return result.release();
    });
}

// ---- the type ----------------------------------------------------------------------

#define MX_INDEX_THREADS_DOC                                                            \
    "`threads` is how many threads may work on it, as for the module's\n"               \
    "functions: None for every CPU the process may run on (at most\n"                   \
    "MORVEX_NUM_THREADS), 1 for the calling thread alone.  The result is the\n"        \
    "same for any number of threads.  The GIL is released while working.\n"

PyMethodDef index_methods[] = {
    {"contains", MX_KW(index_contains),
     "contains(queries, threads=None)\n--\n\n"
     "Return a bool array telling for each row of `queries` (first three\n"
     "columns of an int32 table in any layout) whether it is a triple of the\n"
     "index.  Exact.\n\n" MX_INDEX_THREADS_DOC},
    {"tails", MX_KW(index_tails),
     "tails(pairs, threads=None)\n--\n\n"
     "The known tails of each (head, relation) row of `pairs`, an (m, 2)\n"
     "int32 table, as a tuple (offsets, values): `offsets` is int64 of length\n"
     "m + 1 and values[offsets[i]:offsets[i + 1]] are the tails of pair i,\n"
     "ascending (int32).  A pair of no triple has an empty list.  These are\n"
     "the entities a filtered ranking masks out.\n\n" MX_INDEX_THREADS_DOC},
    {"heads", MX_KW(index_heads),
     "heads(pairs, threads=None)\n--\n\n"
     "The known heads of each (relation, tail) row of `pairs`, in the form\n"
     "tails() returns.\n\n" MX_INDEX_THREADS_DOC},
    {"head_probability", MX_KW(index_head_probability),
     "head_probability(relations=None)\n--\n\n"
     "The probability of replacing the head in Bernoulli negative sampling,\n"
     "tph / (tph + hpt): tph is a relation's triples per distinct head, hpt its\n"
     "triples per distinct tail.  A relation without triples gets 0.5.\n\n"
     "With `relations` (integer ids in [0, num_relations), any shape), a\n"
     "float64 array of the same shape.  Without, one value per relation id, of\n"
     "length num_relations; that is refused (ValueError) when the ids are\n"
     "spread so thin that num_relations exceeds 1024 + 8 x the relations\n"
     "present."},
    {"corrupt", MX_KW(index_corrupt),
     "corrupt(batch, num_negatives, *, side='both', strategy='uniform', filtered=True,\n"
     "        seed=None, threads=None)\n--\n\n"
     "Negatives for each row of `batch` (an int32 table in any layout, never\n"
     "written), as a new int32 array of shape (m, num_negatives, 3): negative j\n"
     "of row i is batch[i] with its head or its tail replaced.\n\n"
     "side='head' or 'tail' always replaces that field; side='both' replaces the\n"
     "head with probability 0.5 (strategy='uniform') or with the relation's\n"
     "head_probability() (strategy='bernoulli').  The new entity is uniform over\n"
     "[0, num_entities) without the entity it replaces, so a negative never\n"
     "equals its positive.  With filtered=True it is also never a triple of the\n"
     "index (exactly: the draw is among the allowed entities only).  A row\n"
     "whose side has no valid replacement takes the other side under\n"
     "side='both'; when neither has one, ValueError names the row.  Rows with\n"
     "ids outside the index's ranges are a ValueError naming the first.\n\n"
     "The draws come from a counter-based generator keyed by (seed, row,\n"
     "negative), not from the module's random streams (which belong to its\n"
     "consumers): the same `seed` gives the same array for any `threads`, and\n"
     "seed=None draws fresh entropy.  Any int seeds it (modulo 2**64).\n\n" MX_INDEX_THREADS_DOC},
    {"__reduce__", index_reduce, METH_NOARGS, "Pickling: the index is rebuilt from its distinct triples."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {const_cast<char *>("num_entities"), get_entities, nullptr,
     const_cast<char *>("Entity ids are in [0, num_entities)."), nullptr},
    {const_cast<char *>("num_relations"), get_relations, nullptr,
     const_cast<char *>("Relation ids are in [0, num_relations): the largest one known, plus one."), nullptr},
    {const_cast<char *>("nbytes"), get_nbytes, nullptr,
     const_cast<char *>("The memory the index holds, in bytes: 16 per distinct triple, plus 4 per\n"
                        "entity id up to the largest head and the largest tail (4 per id present\n"
                        "when that is less), plus 12 per relation present."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods index_mapping = {index_len, nullptr, nullptr};

}  // namespace

namespace mx {
namespace front {

int add_index_type(PyObject *module) {
    IndexType.tp_flags = Py_TPFLAGS_DEFAULT;
    IndexType.tp_doc =
        "Index(known, num_entities=None, threads=None)\n--\n\n"
        "An immutable index of the distinct rows of `known` (first three columns\n"
        "of an (n, 3) int32 table in any layout; duplicates count once), for\n"
        "exact membership, the known tails of (head, relation) pairs and heads\n"
        "of (relation, tail) pairs, and negatives that are never known triples\n"
        "(corrupt()).\n\n"
        "len() is the number of distinct triples.  num_entities and\n"
        "num_relations are the largest id plus one, unless num_entities is given,\n"
        "which must exceed every head and tail.  Ids must be non-negative.\n"
        "An index pickles (it is rebuilt from its triples) and compares equal to\n"
        "its copy.  Memory: see nbytes (about 17 bytes per distinct triple on\n"
        "graph-like data).\n\n" MX_INDEX_THREADS_DOC;
    IndexType.tp_new = index_new;
    IndexType.tp_dealloc = index_dealloc;
    IndexType.tp_methods = index_methods;
    IndexType.tp_getset = index_getset;
    IndexType.tp_as_mapping = &index_mapping;
    IndexType.tp_richcompare = index_richcompare;
    IndexType.tp_hash = PyObject_HashNotImplemented;
    if (PyType_Ready(&IndexType) < 0)
        return -1;
    Py_INCREF(&IndexType);
    if (PyModule_AddObject(module, "Index", reinterpret_cast<PyObject *>(&IndexType)) < 0) {
        Py_DECREF(&IndexType);
        return -1;
    }
    return 0;
}

}  // namespace front
}  // namespace mx
