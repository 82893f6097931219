// index_data.h -- the storage of morvex.utils.triples.Index and its build:
// the distinct triples of a graph held twice, grouped by head and grouped by
// tail, with what the lookups and the sampler read of them.
//
// The triples are held twice, 8 bytes each time: grouped by head, each
// group holding (relation, tail) ascending, and grouped by tail, each group
// holding (relation, head) ascending.  A group is found through a table of
// 4-byte starts indexed by the id (or, when the ids are too sparse for that
// to be the smaller, by bisection over the ids present).  So the known tails
// of (h, r) are one sorted run, which the sampler (sampler.h) draws around.
//
// Nothing here touches the interpreter, nor includes Python.h; all of it
// runs without the GIL.  The Python type is index_type.cpp.
#pragma once

#include "../kernels/keys.h"
#include "../kernels/prefetch.h"
#include "block.h"
#include "directory.h"
#include "parallel.h"
#include "run_table.h"
#include "workers.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace mx {
namespace triples {

using Triple = morvex_Triple;
using keys::prefetch_read;

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
        index_lookups();
    }

    int64_t bytes() const { return base_bytes() + lookup_bytes(); }
    // The bytes of the long runs' directories and of the large groups' run
    // table, within bytes(): at most a quarter of the others.
    int64_t lookup_bytes() const { return runs_.bytes() + table_.bytes(); }
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
        const int32_t *ids = ids_.get();
        const int64_t at = ids_dir_.count<false>(key, [ids](int64_t i) { return ids[i]; });
        return at < count_ && ids[at] == key ? &starts_[size_t(at)] : nullptr;
    }

    // One pair's run, looked up in stages a few rows apart so that a caller
    // looking ahead over several rows overlaps their misses (look_ahead):
    // each stage reads what the one before fetched and fetches what the
    // next reads.  Stage 0 fetches the directory's bucket of a sparse side;
    // 1, its ids; 2, the key's start; 3, the rows of a group searched in
    // place, or the table's slot of the pair; 4, the first and last rows of
    // the pair's run found in the table; 5 finds the run, [lo, hi).  A dense
    // side has nothing to fetch before stage 2.
    struct Probe {
        int32_t key, rel;
        const uint32_t *slot;
        const Two *lo, *hi;
        int64_t from;  // the table's first candidate slot of the pair, or -1
    };
    static constexpr int kProbeStages = 6;
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    inline void probe(Probe &p, int stage) const {
        switch (stage) {
        case 0:
        case 1:
            if (!dense_ && p.key >= 0) {
                const int64_t b = int64_t(p.key) >> ids_dir_.shift;
                if (b < ids_dir_.buckets)
                    prefetch_read(stage == 0 ? static_cast<const void *>(ids_dir_.first + b)
                                             : static_cast<const void *>(ids_.get() + ids_dir_.first[b]));
            }
            break;
        case 2:
            p.slot = slot(p.key);
            prefetch_read(p.slot);
            break;
        case 3:
            if (p.slot == nullptr)
                break;
            if (p.slot[1] - p.slot[0] > table_min_) {
                prefetch_read(table_.home(p.key, p.rel));
            } else if (p.slot[1] - p.slot[0] <= kShortGroup) {
                // every line of a short group, which run() reads whole
                const uintptr_t b = reinterpret_cast<uintptr_t>(rows_.get() + p.slot[0]);
                const uintptr_t e = reinterpret_cast<uintptr_t>(rows_.get() + p.slot[1]);
                for (uintptr_t a = b; a < e; a += 64)
                    prefetch_read(a);
                if (e > b)
                    prefetch_read(e - 1);
            } else {
                fetch_group(p.slot);
            }
            break;
        case 4:
            if (p.slot != nullptr && p.slot[1] - p.slot[0] > table_min_) {
                uint32_t b = 0, length = 0;
                p.from = table_.candidate(p.key, p.rel, p.slot[0], p.slot[1], &b, &length);
                if (b - p.slot[0] < p.slot[1] - p.slot[0]) {
                    prefetch_read(rows_.get() + b);
                    prefetch_read(rows_.get() + b + std::min(length, p.slot[1] - b) - 1);
                }
            }
            break;
        default:
            run(p.slot, p.key, p.rel, &p.lo, &p.hi, p.from);
        }
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

    // The run of rows of group `slot` (of `key`) whose relation is `rel`:
    // [*lo, *hi).  `from`: the pair's candidate slot in the run table, when
    // a probe found it (else -1).
    void run(const uint32_t *slot, int32_t key, int32_t rel, const Two **lo, const Two **hi,
             int64_t from = -1) const {
        if (slot == nullptr) {
            *lo = *hi = nullptr;
            return;
        }
        const Two *b = rows_.get() + slot[0], *e = rows_.get() + slot[1];
        if (e - b > table_min_) {
            const Two *rows = rows_.get();
            uint32_t first, length;
            if (!table_.find(key, rel, slot[0], slot[1], [rows](uint32_t i) { return rows[i].rel; }, &first,
                             &length, from)) {
                *lo = *hi = b;
                return;
            }
            *lo = rows + first;
            *hi = length < RunTable::kLengthCap
                      ? *lo + length
                      : std::upper_bound(*lo + length, e, rel, [](int32_t r, const Two &t) { return r < t.rel; });
            return;
        }
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

    // The directories of the run [lo, hi) from run(), when it is long enough
    // to have them.
    bool long_run(const Two *lo, const Two *hi, RunDirectory *d) const {
        return hi - lo >= RunDirectories::kLongRun && runs_.find(lo - rows_.get(), hi[-1].other, d);
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

    int64_t base_bytes() const {
        return n_ * 8 + (count_ + 1) * 4 + (dense_ ? 0 : count_ * 4 + (ids_dir_.buckets + 1) * 4);
    }

    // The directories of the lookups, once the rows and starts are in
    // place: over the ids present when they are sparse, and over each long
    // run, found among the groups that can hold one.
    void index_lookups() {
        if (!dense_) {
            const int64_t top = count_ ? ids_[size_t(count_) - 1] : 0;
            ids_dir_.shift = Directory::shift_for(count_, top);
            ids_dir_.buckets = Directory::buckets_for(top, ids_dir_.shift);
            ids_first_ = Block<uint32_t>(size_t(ids_dir_.buckets) + 1);
            const int32_t *ids = ids_.get();
            Directory::fill(count_, [ids](int64_t i) { return ids[i]; }, ids_dir_.shift, ids_dir_.buckets,
                            ids_first_.get());
            ids_dir_.first = ids_first_.get();
        }
        const Two *rows = rows_.get();
        runs_.build(
            [&](auto &&run) {
                each_group([&](int32_t, int64_t b, int64_t e) {
                    if (e - b < RunDirectories::kLongRun)
                        return;
                    for (int64_t i = b; i < e;) {
                        int64_t j = i + 1;
                        while (j < e && rows[j].rel == rows[i].rel)
                            ++j;
                        run(i, j);
                        i = j;
                    }
                });
            },
            [rows](int64_t i) { return rows[i].other; });
        index_runs();
    }

    // The run table over the groups of more than table_min_ rows, the
    // threshold being the smallest from kShortGroup up, doubling, at which
    // the table and the long runs' directories take at most a quarter of
    // the side's other bytes (none fits: no table).
    void index_runs() {
        const Two *rows = rows_.get();
        std::vector<std::pair<int64_t, int64_t>> sizes;  // (rows, runs) of each group searched otherwise
        each_group([&](int32_t, int64_t b, int64_t e) {
            if (e - b <= kShortGroup)
                return;
            int64_t runs = 1;
            for (int64_t i = b + 1; i < e; ++i)
                runs += rows[i].rel != rows[i - 1].rel;
            sizes.emplace_back(e - b, runs);
        });
        const int64_t budget = base_bytes() / 4 - runs_.bytes();
        int64_t pairs = 0;
        table_min_ = INT64_MAX;
        for (int64_t t = kShortGroup; !sizes.empty() && t < n_; t *= 2) {
            int64_t p = 0;
            for (const auto &g : sizes)
                p += g.first > t ? g.second : 0;
            if (RunTable::bytes_for(p) <= budget) {
                table_min_ = t;
                pairs = p;
                break;
            }
        }
        table_.reset(pairs);
        if (pairs == 0) {
            table_min_ = INT64_MAX;
            return;
        }
        // each run inserted kAhead runs after its slot is fetched: the
        // slots are spread over the whole table
        struct Run {
            int32_t key, rel;
            uint32_t begin, length;
        };
        constexpr int64_t kAhead = 64;
        Run ahead[kAhead];
        int64_t queued = 0;
        each_group([&](int32_t key, int64_t b, int64_t e) {
            if (e - b <= table_min_)
                return;
            for (int64_t i = b; i < e;) {
                int64_t j = i + 1;
                while (j < e && rows[j].rel == rows[i].rel)
                    ++j;
                prefetch_read(table_.home(key, rows[i].rel));
                Run &r = ahead[queued++ % kAhead];
                if (queued > kAhead)
                    table_.insert(r.key, r.rel, r.begin, r.length);
                r = Run{key, rows[i].rel, uint32_t(i), uint32_t(j - i)};
                i = j;
            }
        });
        for (int64_t q = std::max<int64_t>(0, queued - kAhead); q < queued; ++q) {
            const Run &r = ahead[q % kAhead];
            table_.insert(r.key, r.rel, r.begin, r.length);
        }
    }

    int64_t n_ = 0, count_ = 0;
    bool dense_ = true;
    Block<Two> rows_;
    Block<uint32_t> starts_;  // count_ + 1 entries
    Block<int32_t> ids_;      // sparse only: the ids present, ascending
    Directory ids_dir_;       // sparse only: over ids_, in ids_first_
    Block<uint32_t> ids_first_;
    RunDirectories runs_;
    // the runs of the groups of more than table_min_ rows (INT64_MAX: none)
    RunTable table_;
    int64_t table_min_ = INT64_MAX;
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

// ---- the work on it ------------------------------------------------------------


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

// Calls visit(i, runs) for i in [lo, hi) in order, runs[0] and runs[1]
// the probes (Side::Probe) of row i's pairs on `first` and `second`, found
// over a few rows ahead in stages so that the misses overlap: stage s is
// made (kStages - s) * kAhead rows ahead, stages 0 to Side::kProbeStages - 1
// on each side given (key(i, 0), a (key, relation) pair, on `first`,
// key(i, 1) on `second`; a null side is not read), then the caller's
// `kMore` stages after them, as more(i, s, runs) once the runs are found.
// visit returns false to stop; the result is the row it stopped at, or -1.
// The prefetches stay in this function's body: a callable that did nothing
// but prefetch could be dropped, as a call without effects.
constexpr int64_t kLookAheadRing = 64;  // the rows look_ahead() keeps in flight, at most
template <int kMore, class Key, class More, class Visit>
inline int64_t look_ahead(int64_t lo, int64_t hi, const Side *first, const Side *second, Key &&key, More &&more,
                          Visit &&visit) {
    constexpr int64_t kAhead = 4, kStages = Side::kProbeStages + kMore, kRing = kLookAheadRing;
    static_assert(kStages * kAhead < kRing, "the ring holds every row in flight");
    Side::Probe ring[kRing][2];
    const Side *sides[2] = {first, second};
    for (int64_t i = lo - kStages * kAhead; i < hi; ++i) {
        for (int stage = 0; stage < kStages; ++stage) {
            const int64_t at = i + (kStages - stage) * kAhead;
            if (at < lo || at >= hi)
                continue;
            Side::Probe *runs = ring[at & (kRing - 1)];
            if (stage >= Side::kProbeStages) {
                more(at, stage - Side::kProbeStages, runs);
                continue;
            }
            for (int s = 0; s < 2; ++s) {
                if (stage == 0)
                    runs[s] = Side::Probe{-1, 0, nullptr, nullptr, nullptr, -1};
                if (sides[s] == nullptr)
                    continue;
                if (stage == 0) {
                    const auto k = key(at, s);
                    runs[s].key = k.first;
                    runs[s].rel = k.second;
                }
                sides[s]->probe(runs[s], stage);
            }
        }
        if (i >= lo && !visit(i, static_cast<const Side::Probe *>(ring[i & (kRing - 1)])))
            return i;
    }
    return -1;
}

// The first row of a[0, n) with a negative id (-1 when there is none), and
// the largest entity and relation ids (-1 for none).
void scan_ids(const Triple *a, int64_t n, int64_t *negative, int32_t *top_entity, int32_t *top_rel);

// Builds the index of a[0, n) (non-negative ids below x.entities and
// x.relations, rows in any order; a is used as scratch), sorting by the
// orders given (the head and the tail order) on up to `threads` threads.
void build(IndexData &x, Triple *a, int64_t n, const par::Order &by_head, const par::Order &by_tail, int threads);

// Writes the distinct triples in (head, relation, tail) order to t[0, x.size()).
void write_triples(const IndexData &x, Triple *t);

// Whether two indexes hold the same triples under the same ranges.
bool same_index(const IndexData &x, const IndexData &y);

// found[i]: whether row i of `queries` is a triple of the index.
void contains(const IndexData &x, const par::Rows &queries, bool *found, int threads);

// The known `other` ids of each (key, relation) row of `pairs` on one side
// (the tails of (head, relation) pairs by head, the heads of (relation, tail)
// pairs by tail), in two passes around the allocation of the result.
class RunLookup {
public:
    // `key_col`, `rel_col`: the pairs' columns holding the key and the
    // relation.  Throws NoMemory.
    RunLookup(const Side &side, const par::Rows &pairs, int key_col, int rel_col, int threads);

    // Fills off[0, m], m the number of pairs: the ids of pair i are to go
    // to values[off[i], off[i + 1]).
    void measure(int64_t *off);
    // Writes the ids, given the offsets measure() filled.
    void write(const int64_t *off, int32_t *values) const;

private:
    const Side &side_;
    par::Rows pairs_;
    int key_col_, rel_col_, threads_;
    // each pair's run: the one id itself when it holds one (the usual case,
    // copied then without a second visit of the rows), else its first row
    Block<uint32_t> first_;
};

}  // namespace triples
}  // namespace mx
