// labels_merge.cpp -- the pieces' labels sorted by keys of their first 16
// bytes and merged into the vocabularies, and the rows rewritten in global
// ids (labels.h).
#include "labels.h"
#include "labels_work.h"

#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

namespace mx {
namespace triples {
namespace labels {

namespace {

// A label's place in sorted order: its first 16 bytes as a big-endian
// number (zero-padded), then its length; the whole label decides only
// between labels of more than 16 bytes that share those.  A label of up to
// 16 bytes is its key alone, so that sorting and merging read no label.
struct SortKey {
    uint64_t hi, lo;
    uint32_t len, id;
};

SortKey key_for(const Piece::Local &t, uint32_t id) {
    uint64_t a, b;
    key_of(t.ptr[id], t.len[id], a, b);
    return SortKey{__builtin_bswap64(a), __builtin_bswap64(b), t.len[id], id};
}

bool less(const Piece::Local &s, const SortKey &x, const Piece::Local &t, const SortKey &y) {
    if (x.hi != y.hi)
        return x.hi < y.hi;
    if (x.lo != y.lo)
        return x.lo < y.lo;
    if (x.len <= 16 && y.len <= 16)
        return x.len < y.len;
    return s.label(x.id) < t.label(y.id);
}

bool same(const Piece::Local &s, const SortKey &x, const Piece::Local &t, const SortKey &y) {
    return x.hi == y.hi && x.lo == y.lo && x.len == y.len && (x.len <= 16 || s.label(x.id) == t.label(y.id));
}

// The label of a key, from the key when it holds it all.
std::string_view label_of(const Piece::Local &t, const SortKey &k, char (&buf)[16]) {
    if (k.len > 16)
        return t.label(k.id);
    const uint64_t a = __builtin_bswap64(k.hi), b = __builtin_bswap64(k.lo);
    std::memcpy(buf, &a, 8);
    std::memcpy(buf + 8, &b, 8);
    return std::string_view(buf, k.len);
}

// The keys of the labels of `t` that `take` accepts, in sorted label order:
// sorted in `parts` parts on as many threads, then merged.
template <class Take>
std::vector<SortKey> sorted_keys(const Piece::Local &t, Take take, int parts) {
    std::vector<SortKey> keys;
    for (size_t i = 0; i < t.size(); ++i)
        if (take(i))
            keys.push_back(key_for(t, uint32_t(i)));
    auto by_label = [&](const SortKey &x, const SortKey &y) { return less(t, x, t, y); };
    parts = int(std::max<size_t>(1, std::min<size_t>(size_t(parts), keys.size() / 65536)));
    auto bound = [&](int i) { return keys.begin() + std::ptrdiff_t(keys.size() * size_t(i) / size_t(parts)); };
    run_all(parts, parts, [&](int i) { std::sort(bound(i), bound(i + 1), by_label); });
    for (int width = 1; width < parts; width *= 2)
        for (int i = 0; i + width < parts; i += 2 * width)
            std::inplace_merge(bound(i), bound(i + width), bound(std::min(parts, i + 2 * width)), by_label);
    return keys;
}

}  // namespace

void merge(std::vector<Piece *> &pieces, const Options &options, Vocab out[2], bool built[2], Fault &fault,
           int threads) {
    const int np = int(pieces.size());
    for (int which = 0; which < 2; ++which) {
        const Vocab *given = options.given[which];
        built[which] = false;
        if (given != nullptr && options.unknown != Unknown::kAdd)
            continue;  // every piece mapped its labels while parsing
        // each piece's labels to merge, sorted: all of them, or the unknown
        std::vector<std::vector<SortKey>> order(static_cast<size_t>(np));
        // one piece a thread, or one piece on every thread
        auto sort_piece = [&](int i, int parts) {
            const Piece::Local &t = pieces[size_t(i)]->local[which];
            order[size_t(i)] = sorted_keys(t, [&](size_t id) { return t.to_global[id] < 0; }, parts);
        };
        if (np == 1)
            sort_piece(0, threads);
        else
            run_all(threads, np, [&](int i) { sort_piece(i, 1); });
        size_t total = 0, bytes = 0;
        for (int i = 0; i < np; ++i) {
            total += order[size_t(i)].size();
            for (const SortKey &k : order[size_t(i)])
                bytes += k.len;
        }
        if (total == 0)
            continue;  // nothing added to a given vocabulary
        Vocab v;
        const int64_t base = given ? given->size() : 0;
        if (given != nullptr) {
            v.reserve(size_t(base) + total, given->bytes().size() + bytes);
            for (int64_t id = 0; id < base; ++id)
                v.push(given->label(id));
        } else {
            v.reserve(total, bytes);
        }
        // a merge of the sorted lists; equal labels become one id
        std::vector<size_t> at(size_t(np), 0);
        auto local = [&](int i) -> Piece::Local & { return pieces[size_t(i)]->local[which]; };
        for (;;) {
            int best = -1;
            for (int i = 0; i < np; ++i) {
                if (at[size_t(i)] == order[size_t(i)].size())
                    continue;
                if (best < 0 || less(local(i), order[size_t(i)][at[size_t(i)]], local(best),
                                     order[size_t(best)][at[size_t(best)]]))
                    best = i;
            }
            if (best < 0)
                break;
            const SortKey least = order[size_t(best)][at[size_t(best)]];
            const int64_t id = v.size();
            char buf[16];
            v.push(label_of(local(best), least, buf));
            for (int i = best; i < np; ++i) {
                const std::vector<SortKey> &o = order[size_t(i)];
                Piece::Local &t = local(i);
                if (at[size_t(i)] < o.size() && same(t, o[at[size_t(i)]], local(best), least))
                    t.to_global[o[at[size_t(i)]++].id] = int32_t(std::min<int64_t>(id, INT32_MAX));
            }
        }
        if (v.size() > options.max_ids) {
            Fault f;
            f.kind = Fault::kTooMany;
            f.line = INT64_MAX;  // found by the caller
            f.vocab = which;
            if (f.before(fault))
                fault = f;
            return;
        }
        out[which] = std::move(v);
        built[which] = true;
    }
}

size_t remap(const Piece &piece, const Row *rows, size_t n, Row *out) {
    const int32_t *e = piece.local[0].to_global.data(), *r = piece.local[1].to_global.data();
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        const Row x{{e[rows[i].v[0]], r[rows[i].v[1]], e[rows[i].v[2]]}};
        if ((x.v[0] | x.v[1] | x.v[2]) < 0)
            continue;  // a row with an unknown label, left out
        out[kept++] = x;
    }
    return kept;
}


}  // namespace labels
}  // namespace triples
}  // namespace mx
