// sampler.cpp -- the negatives of morvex.utils.triples.Index.corrupt() (see
// sampler.h).
#include "sampler.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <cstdint>

namespace mx {
namespace triples {
namespace {

// What a row's draws read of one side's run beyond the run itself: its
// directories when it is long, else a guess of where the replaced id is.
struct RunNotes {
    RunDirectory dir;
    bool long_run;
    const Two *near;

    // From the run [lo, hi) of `side` (the rows the probe fetched at its
    // first and last row are in), fetching what the search of `self` reads
    // first: the bucket of the run's directory, or the guessed row.
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    inline void note(const Side &side, const Two *lo, const Two *hi, int32_t self) {
        long_run = side.long_run(lo, hi, &dir);
        near = nullptr;
        if (long_run) {
            const int64_t b = int64_t(self) >> dir.ids.shift;
            if (b < dir.ids.buckets)
                prefetch_read(dir.ids.first + b);
        } else if (hi - lo > Allowed::kShortRun) {
            near = interpolate(lo, hi, self);
            prefetch_read(near);
        }
    }
    // Once the bucket is in: fetches the rows it points to, both ends.
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    inline void fetch_rows(const Two *lo, int32_t self) const {
        if (!long_run)
            return;
        const int64_t b = int64_t(self) >> dir.ids.shift;
        if (b >= dir.ids.buckets)
            return;
        const uint32_t first = dir.ids.first[b], end = dir.ids.first[b + 1];
        prefetch_read(lo + first);
        if (end > first + 1)
            prefetch_read(lo + end - 1);
    }
};

// Fills out[(i * negatives + j)] for row i, given the runs of known ids of
// its two sides (empty when not filtered) and what notes were taken of
// them; returns false when the row has no valid replacement (why in *fault).
bool corrupt_row(const IndexData &x, const Triple *batch, const CorruptArgs &c, Triple *out, int64_t i,
                 const Two *tl, const Two *th, const RunNotes *tail_notes, const Two *hl, const Two *hh,
                 const RunNotes *head_notes, RowFault *fault) {
    const bool need_head = c.side != SideRule::kTail, need_tail = c.side != SideRule::kHead;
    const Triple t = batch[i];
    // (a run's blocks take about a bisection's time to fill)
    const bool many = c.negatives >= 8;
    const Allowed heads(hl, hh, t.head, x.entities, head_notes && head_notes->long_run ? &head_notes->dir : nullptr,
                        head_notes ? head_notes->near : nullptr, many && need_head),
        tails(tl, th, t.tail, x.entities, tail_notes && tail_notes->long_run ? &tail_notes->dir : nullptr,
              tail_notes ? tail_notes->near : nullptr, many && need_tail);
    const bool head_ok = need_head && heads.count() > 0, tail_ok = need_tail && tails.count() > 0;
    if (!head_ok && !tail_ok) {
        *fault = c.side == SideRule::kHead   ? RowFault::kHead
                 : c.side == SideRule::kTail ? RowFault::kTail
                                             : RowFault::kNeither;
        return false;
    }
    const double p = !(head_ok && tail_ok) ? (head_ok ? 1.0 : 0.0)
                     : c.bernoulli        ? x.head_probability(t.relation)
                                          : 0.5;
    const uint64_t key = row_key(c.seed, c.offset + i);
    Triple *o = out + i * c.negatives;
    if (heads.long_run() || tails.long_run()) {
        // the same draws, made a chunk at a time, with what each pick
        // reads of a long run fetched for the whole chunk in two stages
        constexpr int64_t kChunk = 32;
        int64_t ks[kChunk];
        bool hs[kChunk];
        for (int64_t j0 = 0; j0 < c.negatives; j0 += kChunk) {
            const int64_t n = std::min(kChunk, c.negatives - j0);
            for (int64_t q = 0; q < n; ++q) {
                Draws draw(key, j0 + q);
                hs[q] = c.side == SideRule::kBoth ? draw.chance(p) : head_ok;
                const Allowed &a = hs[q] ? heads : tails;
                ks[q] = int64_t(draw.below(uint64_t(a.count())));
                a.fetch_pick(ks[q], 0);
            }
            for (int64_t q = 0; q < n; ++q)
                (hs[q] ? heads : tails).fetch_pick(ks[q], 1);
            for (int64_t q = 0; q < n; ++q) {
                Triple &neg = o[j0 + q];
                neg = t;
                if (hs[q])
                    neg.head = heads.pick(ks[q]);
                else
                    neg.tail = tails.pick(ks[q]);
            }
        }
        return true;
    }
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
    return true;
}

// Fills out[(i * negatives + j)] for rows [lo, hi); returns the first row
// without a valid replacement (and why), or -1.
int64_t corrupt_rows(const IndexData &x, const Triple *batch, const CorruptArgs &c, Triple *out, int64_t lo,
                     int64_t hi, RowFault *fault) {
    if (!c.filtered) {
        for (int64_t i = lo; i < hi; ++i)
            if (!corrupt_row(x, batch, c, out, i, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, fault))
                return i;
        return -1;
    }
    // filtered: the rows' runs are looked up a few rows ahead of their
    // draws, the tails' by head (probe 0), the heads' by tail (probe 1),
    // and then what the search of the replaced id reads of them is fetched
    const bool need_head = c.side != SideRule::kTail, need_tail = c.side != SideRule::kHead;
    const Side *sides[2] = {need_tail ? &x.by_head : nullptr, need_head ? &x.by_tail : nullptr};
    RunNotes notes[kLookAheadRing][2];
    return look_ahead<2>(
        lo, hi, sides[0], sides[1],
        [&](int64_t i, int side) {
            return std::make_pair(side == 0 ? batch[i].head : batch[i].tail, batch[i].relation);
        },
        [&](int64_t i, int stage, const Side::Probe *runs) {
            RunNotes *n = notes[i & (kLookAheadRing - 1)];
            for (int s = 0; s < 2; ++s) {
                if (sides[s] == nullptr)
                    continue;
                const int32_t self = s == 0 ? batch[i].tail : batch[i].head;
                if (stage == 0)
                    n[s].note(*sides[s], runs[s].lo, runs[s].hi, self);
                else
                    n[s].fetch_rows(runs[s].lo, self);
            }
        },
        [&](int64_t i, const Side::Probe *runs) {
            const RunNotes *n = notes[i & (kLookAheadRing - 1)];
            return corrupt_row(x, batch, c, out, i, runs[0].lo, runs[0].hi, sides[0] ? &n[0] : nullptr, runs[1].lo,
                               runs[1].hi, sides[1] ? &n[1] : nullptr, fault);
        });
}

}  // namespace

int64_t first_outside(const IndexData &x, const Triple *batch, int64_t m) {
    for (int64_t i = 0; i < m; ++i) {
        const Triple &t = batch[i];
        if (t.head < 0 || t.head >= x.entities || t.tail < 0 || t.tail >= x.entities || t.relation < 0 ||
            t.relation >= x.relations)
            return i;
    }
    return -1;
}

int64_t corrupt(const IndexData &x, const Triple *batch, int64_t m, const CorruptArgs &c, Triple *out, int threads,
                RowFault *fault) {
    if (c.negatives == 0)  // with none to draw, no row lacks a replacement
        return -1;
    std::atomic<int64_t> first_bad{INT64_MAX};
    for_rows(m, par::threads_for(size_t(m) * size_t(c.negatives) / 16, threads), [&](int64_t lo, int64_t hi) {
        RowFault row_fault = RowFault::kNone;
        const int64_t bad = corrupt_rows(x, batch, c, out, lo, hi, &row_fault);
        if (bad < 0)
            return;
        // the first bad row over all parts, whichever part finds it first
        int64_t seen = first_bad.load();
        while (bad < seen && !first_bad.compare_exchange_weak(seen, bad)) {
        }
    });
    const int64_t bad = first_bad.load();
    if (bad == INT64_MAX)
        return -1;
    corrupt_rows(x, batch, c, out, bad, bad + 1, fault);  // why it failed
    return bad;
}

}  // namespace triples
}  // namespace mx
