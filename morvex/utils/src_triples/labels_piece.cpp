// labels_piece.cpp -- a piece of a labeled file parsed with tables of its
// own: lines split with SSE2, labels looked up in batches fetched ahead, a
// label first seen checked and kept (labels.h).
#include "labels.h"
#include "labels_work.h"

#include "../kernels/prefetch.h"

#include <algorithm>
#include <climits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {
namespace triples {
namespace labels {

Piece::Piece(const Options &options, bool copy) : options_(options), copy_(copy) {
    for (Local &t : local) {
        t.slots.assign(slots_for(0), Local::Slot{0, 0, 0});
        t.mask = t.slots.size() - 1;
    }
}

void Piece::grow(Local &t) {
    t.slots.assign(t.slots.size() * 2, Local::Slot{0, 0, 0});
    t.mask = t.slots.size() - 1;
    for (size_t id = 0; id < t.size(); ++id) {
        Local::Slot x{0, 0, uint32_t(id)};
        slot_of(t.ptr[id], t.len[id], x.a, x.b);
        size_t i = size_t(hash(t.ptr[id], t.len[id])) & t.mask;
        while (t.slots[i].b != 0)
            i = (i + 1) & t.mask;
        t.slots[i] = x;
    }
}

int32_t Piece::intern(int which, const char *p, size_t n, uint64_t h, int64_t line, int column) {
    Local &t = local[which];
    uint64_t a;
    uint32_t b;
    slot_of(p, n, a, b);
    size_t i = size_t(h) & t.mask;
    for (;; i = (i + 1) & t.mask) {
        const Local::Slot &x = t.slots[i];
        if (x.b == 0)
            break;
        if (x.a == a && x.b == b &&
            (n <= 11 || (t.len[x.id] == n && std::memcmp(t.ptr[x.id] + 11, p + 11, n - 11) == 0)))
            return int32_t(x.id);
    }
    // a label first seen here: checked once, for every later line too
    auto failed = [&](Fault::Kind kind) {
        fault_.kind = kind;
        fault_.line = line;
        fault_.column = column;
        fault_.vocab = which;
        return -1;
    };
    if (!valid_utf8(p, n))
        return failed(Fault::kBadUtf8);
    int32_t global = -1;
    if (options_.given[which] != nullptr) {
        global = int32_t(options_.given[which]->find(std::string_view(p, n), h));
        if (global < 0 && options_.unknown == Unknown::kError) {
            fault_.label.assign(p, n);
            return failed(Fault::kUnknown);
        }
    }
    // one piece alone may hold too many labels: the file surely does
    if (options_.given[which] == nullptr ? int64_t(t.size()) >= options_.max_ids
                                         : global < 0 && options_.given[which]->size() + t.added >= options_.max_ids)
        return failed(Fault::kTooMany);
    t.added += global < 0;
    if (copy_) {
        if (arena_left_ < n) {
            const size_t size = std::max<size_t>(n, size_t{1} << 20);
            arena_.emplace_back(size);
            arena_at_ = arena_.back().get();
            arena_left_ = size;
        }
        std::memcpy(arena_at_, p, n);
        p = arena_at_;
        arena_at_ += n;
        arena_left_ -= n;
    }
    const size_t id = t.size();
    t.ptr.push_back(p);
    t.len.push_back(uint32_t(n));
    t.to_global.push_back(global);
    t.slots[i] = Local::Slot{a, b, uint32_t(id)};
    if (t.size() + 1 > t.slots.size() / 4 * 3)
        grow(t);
    return int32_t(id);
}

size_t Piece::parse(const char *p, const char *end, int64_t line, Row *out) {
    const char sep = options_.sep;
    const int last = std::max({options_.column[0], options_.column[1], options_.column[2]});
    // which of the row's fields column c is: -1 for none, else a bit set
    // (one column may give several fields)
    int wanted[256] = {};
    for (int f = 0; f < 3; ++f)
        wanted[options_.column[f]] |= 1 << f;

    // Rows are looked up in batches: the fields of kBatch lines first, their
    // table slots fetched ahead, then the lookups.
    constexpr int kBatch = 16;
    struct Field {
        const char *p;
        uint32_t n;
        uint64_t h;
    };
    Field fields[kBatch][3];
    int64_t lines[kBatch];
    int pending = 0;
    size_t rows = 0;
    auto flush = [&]() {
        for (int j = 0; j < pending; ++j) {
            for (int f = 0; f < 3; ++f) {
                const Field &x = fields[j][f];
                const int32_t id = intern(f == 1, x.p, x.n, x.h, lines[j], options_.column[f]);
                if (id < 0)
                    return false;
                out[rows].v[f] = id;
            }
            ++rows;
        }
        pending = 0;
        return true;
    };
    auto stop = [&](Fault::Kind kind, int column, int64_t count) {
        if (flush()) {  // a fault on an earlier line comes first
            fault_.kind = kind;
            fault_.line = line;
            fault_.column = column;
            fault_.count = count;
        }
        return rows;
    };

    const char *starts[257];  // the first bytes of columns 0..last, and one past
    while (p < end) {
        // the columns of one line, up to the last wanted, and its end
        int col = 0;
        starts[0] = p;
        const char *q = p;
        const char *line_end = nullptr;
        while (line_end == nullptr) {
#if defined(__SSE2__)
            if (end - q >= 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
                unsigned bits = unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                                                        _mm_cmpeq_epi8(v, _mm_set1_epi8(sep)))));
                while (bits != 0 && line_end == nullptr) {
                    const char *at = q + __builtin_ctz(bits);
                    bits &= bits - 1;
                    if (*at == '\n')
                        line_end = at;
                    else if (col < last)
                        starts[++col] = at + 1;
                }
                if (line_end == nullptr)
                    q += 16;
                continue;
            }
#endif
            if (q == end) {
                line_end = end;
                break;
            }
            if (*q == '\n')
                line_end = q;
            else if (*q == sep && col < last)
                starts[++col] = q + 1;
            ++q;
        }
        const char *next = line_end == end ? end : line_end + 1;
        const char *e = line_end;
        if (e > p && e[-1] == '\r')
            --e;
        if (e == p) {  // an empty line
            p = next;
            ++line;
            continue;
        }
        // a separator found inside the stripped '\r' is no column's
        while (col > 0 && starts[col] > e)
            --col;
        if (col < last)
            return stop(Fault::kFewColumns, 0, col + 1);
        starts[last + 1] = e + 1;  // the last wanted column ends at the line's end or a separator
        Field *row = fields[pending];
        for (int c = 0; c <= last; ++c) {
            if (wanted[c] == 0)
                continue;
            const char *s = starts[c];
            const char *t = c < last ? starts[c + 1] - 1 : nullptr;
            if (t == nullptr) {  // the last wanted column: up to the next separator
                const void *cut = std::memchr(s, sep, size_t(e - s));
                t = cut ? static_cast<const char *>(cut) : e;
            }
            const size_t n = size_t(t - s);
            if (n == 0)
                return stop(Fault::kEmptyLabel, c, 0);
            if (n > kMaxLabel)
                return stop(Fault::kLongLabel, c, int64_t(n));
            const uint64_t h = hash(s, n);
            for (int f = 0; f < 3; ++f) {
                if (wanted[c] & (1 << f)) {
                    row[f] = Field{s, uint32_t(n), h};
                    const Local &tab = local[f == 1];
                    mx::keys::prefetch_read(&tab.slots[size_t(h) & tab.mask]);
                }
            }
        }
        lines[pending++] = line;
        if (pending == kBatch && !flush())
            return rows;
        p = next;
        ++line;
    }
    flush();
    return rows;
}


}  // namespace labels
}  // namespace triples
}  // namespace mx
