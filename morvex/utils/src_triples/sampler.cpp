// sampler.cpp -- the negatives of morvex.utils.triples.Index.corrupt() (see
// sampler.h).
#include "sampler.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace mx {
namespace triples {
namespace {

// Fills out[(i * negatives + j)] for rows [lo, hi); returns the first row
// without a valid replacement (and why), or -1.
int64_t corrupt_rows(const IndexData &x, const Triple *batch, const CorruptArgs &c, Triple *out, int64_t lo,
                     int64_t hi, RowFault *fault) {
    const bool need_head = c.side != SideRule::kTail, need_tail = c.side != SideRule::kHead;
    auto one = [&](int64_t i) {
        const Triple t = batch[i];
        const Two *tl = nullptr, *th = nullptr, *hl = nullptr, *hh = nullptr;
        if (c.filtered) {
            if (need_tail)
                x.by_head.run(x.by_head.slot(t.head), t.relation, &tl, &th);
            if (need_head)
                x.by_tail.run(x.by_tail.slot(t.tail), t.relation, &hl, &hh);
        }
        RunDirectory head_dir, tail_dir;
        const bool head_long = x.by_tail.long_run(hl, hh, &head_dir), tail_long = x.by_head.long_run(tl, th, &tail_dir);
        const Allowed heads(hl, hh, t.head, x.entities, head_long ? &head_dir : nullptr),
            tails(tl, th, t.tail, x.entities, tail_long ? &tail_dir : nullptr);
        const bool head_ok = need_head && heads.count() > 0, tail_ok = need_tail && tails.count() > 0;
        if (!head_ok && !tail_ok) {
            *fault = c.side == SideRule::kHead ? RowFault::kHead
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
    };
    if (!c.filtered) {
        for (int64_t i = lo; i < hi; ++i)
            if (!one(i))
                return i;
        return -1;
    }
    // filtered: the rows' groups are looked up a few ahead of their draws,
    // the tails' group by head, the heads' group by tail
    return look_ahead(lo, hi, need_tail ? &x.by_head : nullptr, need_head ? &x.by_tail : nullptr,
                      [&](int64_t i, int side) { return side == 0 ? batch[i].head : batch[i].tail; }, one);
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
