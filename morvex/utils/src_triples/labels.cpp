// labels.cpp -- the vocabulary's table of ids, and the reader of labeled
// lines: pieces parsed on their own threads with local tables, then merged
// into the vocabularies and rewritten in global ids (labels.h).
#include "labels.h"

#include "../kernels/prefetch.h"
#include "workers.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {
namespace triples {
namespace labels {

namespace {


uint64_t load8(const char *p) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

// The smallest power of two of at least 2 n slots, and at least 16.
size_t table_size(size_t n) {
    size_t s = 16;
    while (s < 2 * n)
        s *= 2;
    return s;
}

}  // namespace

bool valid_utf8(const char *p, size_t n) {
    const auto *s = reinterpret_cast<const unsigned char *>(p);
    size_t i = 0;
    while (i < n) {
        if (i + 8 <= n && (load8(p + i) & 0x8080808080808080ull) == 0) {
            i += 8;
            continue;
        }
        const unsigned c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t more;
        unsigned lo = 0x80, hi = 0xbf;  // the range of the second byte
        if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            if (c == 0xe0)
                lo = 0xa0;  // no overlong forms
            else if (c == 0xed)
                hi = 0x9f;  // no surrogates
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            if (c == 0xf0)
                lo = 0x90;
            else if (c == 0xf4)
                hi = 0x8f;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (n - i <= more || s[i + 1] < lo || s[i + 1] > hi)
            return false;
        for (size_t k = 2; k <= more; ++k)
            if ((s[i + k] & 0xc0) != 0x80)
                return false;
        i += more + 1;
    }
    return true;
}

// ---- the vocabulary -------------------------------------------------------------

void Vocab::index() {
    if (!slots_.empty() || size() == 0)
        return;
    slots_.assign(table_size(size_t(size())), 0);
    mask_ = slots_.size() - 1;
    for (int64_t id = 0; id < size(); ++id)
        place(id);
}

void Vocab::place(int64_t id) {
    if (size_t(size()) * 2 > slots_.size()) {  // the table grows with push()
        slots_.clear();
        index();
        return;
    }
    const std::string_view s = label(id);
    const uint64_t h = hash(s.data(), s.size());
    size_t i = size_t(h) & mask_;
    while (slots_[i] != 0)
        i = (i + 1) & mask_;
    slots_[i] = (h >> 32 << 32) | uint64_t(id + 1);
}

// ---- a piece ----------------------------------------------------------------------

namespace {

uint32_t load4(const char *p) {
    uint32_t x;
    std::memcpy(&x, p, 4);
    return x;
}

// A label's first 16 bytes, zero-padded, as two words.
inline void key_of(const char *p, size_t n, uint64_t &a, uint64_t &b) {
    if (n >= 16) {
        a = load8(p);
        b = load8(p + 8);
    } else if (n > 8) {
        a = load8(p);
        b = load8(p + n - 8) >> (8 * (16 - n));
    } else if (n == 8) {
        a = load8(p);
        b = 0;
    } else if (n >= 4) {
        a = load4(p) | (uint64_t(load4(p + n - 4)) << (8 * (n - 4)));
        b = 0;
    } else {
        a = uint64_t(uint8_t(p[0])) | (uint64_t(uint8_t(p[n / 2])) << (8 * (n / 2))) |
            (uint64_t(uint8_t(p[n - 1])) << (8 * (n - 1)));
        b = 0;
    }
}

// A slot's words for a label (Piece::Local::Slot).
inline void slot_of(const char *p, size_t n, uint64_t &a, uint32_t &b) {
    uint64_t hi;
    key_of(p, n, a, hi);
    b = uint32_t(hi & 0xffffff) | uint32_t(std::min<size_t>(n, 255) << 24);
}

// Slots for n labels: a power of two, at most three quarters full.
size_t slots_for(size_t n) {
    size_t s = 16;
    while (s / 4 * 3 < n + 1)
        s *= 2;
    return s;
}

}  // namespace

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

// ---- merging ---------------------------------------------------------------------

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

// Runs task(i) for i in [0, n) on `threads`; the first exception a task
// throws (an allocation's) is thrown here once all are done.
template <class F>
void run_all(int threads, int n, F task);

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

// Runs task(i) for i in [0, n) on `threads`; the first exception a task
// throws (an allocation's) is thrown here once all are done.
template <class F>
void run_all(int threads, int n, F task) {
    std::exception_ptr error;
    std::mutex lock;
    auto body = [&](int i) {
        try {
            task(i);
        } catch (...) {
            std::lock_guard<std::mutex> hold(lock);
            if (!error)
                error = std::current_exception();
        }
    };
    mx::workers::run(threads, n, body);
    if (error)
        std::rethrow_exception(error);
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

size_t count_lines(const char *p, const char *end) {
    size_t n = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    while (end - p >= 16) {
        // up to 255 blocks counted in bytes (each match subtracts -1), then summed
        __m128i counts = zero;
        for (int k = 0; k < 255 && end - p >= 16; ++k, p += 16)
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), nl));
        const __m128i sums = _mm_sad_epu8(counts, zero);
        n += size_t(_mm_cvtsi128_si32(sums)) + size_t(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; p < end; ++p)
        n += *p == '\n';
    return n;
}

// The first fault of the lines in [p, end), parsed by one piece.
Fault first_fault(const char *p, const char *end, const Options &options) {
    Piece whole(options, false);
    std::vector<Row> scratch;
    int64_t line = 1;
    while (p < end && whole.fault().kind == Fault::kNone) {
        const char *stop = std::min(end, p + (size_t{1} << 20));
        const void *nl = std::memchr(stop, '\n', size_t(end - stop));
        stop = nl ? static_cast<const char *>(nl) + 1 : end;
        const size_t lines = count_lines(p, stop);
        scratch.resize(lines + 1);
        whole.parse(p, stop, line, scratch.data());
        line += int64_t(lines);
        p = stop;
    }
    return whole.fault();
}

Plan plan(const char *data, size_t size, size_t min_piece, int threads) {
    const char *const end = data + size;
    if (size >= 3 && std::memcmp(data, "\xef\xbb\xbf", 3) == 0)
        data += 3;  // a byte-order mark
    const size_t pieces = std::max<size_t>(1, std::min<size_t>(size_t(threads), size / std::max<size_t>(min_piece, 1)));
    Plan x;
    x.cut.push_back(data);
    for (size_t i = 1; i < pieces; ++i) {
        const char *at = data + size_t(end - data) / pieces * i;
        if (at < x.cut.back())
            at = x.cut.back();
        const void *nl = std::memchr(at, '\n', size_t(end - at));
        x.cut.push_back(nl ? static_cast<const char *>(nl) + 1 : end);
    }
    x.cut.push_back(end);
    std::vector<size_t> lines(pieces);
    run_all(threads, int(pieces), [&](int i) { lines[size_t(i)] = count_lines(x.cut[size_t(i)], x.cut[size_t(i) + 1]); });
    x.first_line.push_back(1);
    x.row_at.push_back(0);
    for (size_t i = 0; i < pieces; ++i) {
        x.first_line.push_back(x.first_line.back() + int64_t(lines[i]));
        // a row a line end, and one for a last line without its end
        x.row_at.push_back(x.row_at.back() + lines[i] + (i + 1 == pieces && end > data && end[-1] != '\n'));
    }
    x.first_line.pop_back();
    return x;
}

size_t read(const Plan &plan, const Options &options, Row *out, Vocab vocab[2], bool built[2], Fault &fault,
            int64_t *skipped, int threads) {
    const size_t np = plan.first_line.size();
    std::vector<std::unique_ptr<Piece>> owned;
    std::vector<Piece *> pieces;
    for (size_t i = 0; i < np; ++i) {
        owned.emplace_back(new Piece(options, false));
        pieces.push_back(owned.back().get());
    }
    std::vector<size_t> rows(np);
    run_all(threads, int(np), [&](int i) {
        const size_t k = size_t(i);
        rows[k] = pieces[k]->parse(plan.cut[k], plan.cut[k + 1], plan.first_line[k], out + plan.row_at[k]);
    });
    // Too many labels for one piece, or for all together: the line where
    // the label one past the limit first shows (or an earlier fault) is
    // found by one piece parsing the whole file again.
    bool too_many = false;
    for (Piece *p : pieces) {
        if (p->fault().kind == Fault::kTooMany)
            too_many = true;
        else if (p->fault().before(fault))
            fault = p->fault();
        p->parsed();
    }
    if (!too_many && fault.kind == Fault::kNone) {
        merge(pieces, options, vocab, built, fault, threads);
        too_many = fault.kind == Fault::kTooMany;
    }
    if (too_many) {
        owned.clear();
        fault = first_fault(plan.cut.front(), plan.cut.back(), options);
    }
    if (fault.kind != Fault::kNone)
        return 0;
    std::vector<size_t> kept(np);
    run_all(threads, int(np), [&](int i) {
        Row *at = out + plan.row_at[size_t(i)];
        kept[size_t(i)] = remap(*pieces[size_t(i)], at, rows[size_t(i)], at);
    });
    size_t n = 0;
    *skipped = 0;
    for (size_t i = 0; i < np; ++i) {
        if (n != plan.row_at[i])
            std::memmove(out + n, out + plan.row_at[i], kept[i] * sizeof(Row));
        n += kept[i];
        *skipped += int64_t(rows[i] - kept[i]);
    }
    return n;
}

// ---- a stream -------------------------------------------------------------------

bool Stream::parse(const char *p, const char *end) {
    if (start_) {
        start_ = false;
        if (end - p >= 3 && std::memcmp(p, "\xef\xbb\xbf", 3) == 0)
            p += 3;
    }
    // in parts of whole lines, each within a block's room
    while (p < end && piece_.fault().kind == Fault::kNone) {
        if (blocks_.empty() || kBlock - counts_.back() < 2) {
            blocks_.emplace_back(kBlock);
            counts_.push_back(0);
        }
        const size_t room = kBlock - counts_.back();
        const char *stop = end;
        size_t lines = count_lines(p, stop);
        if (lines + 1 > room) {  // the first room - 1 lines
            stop = p;
            for (size_t k = 0; k + 1 < room; ++k)
                stop = static_cast<const char *>(std::memchr(stop, '\n', size_t(end - stop))) + 1;
            lines = room - 1;
        }
        const size_t got = piece_.parse(p, stop, line_, blocks_.back().data() + counts_.back());
        counts_.back() += got;
        n_ += got;
        line_ += int64_t(lines);
        p = stop;
    }
    if (piece_.fault().kind != Fault::kNone) {
        fault_ = piece_.fault();
        return false;
    }
    return true;
}

bool Stream::feed(const char *p, size_t n) {
    if (fault_.kind != Fault::kNone)
        return false;
    const char *end = p + n;
    if (!carry_.empty() || start_) {
        // the line begun in earlier chunks (or the first) ends in this one
        const void *nl = std::memchr(p, '\n', n);
        if (nl == nullptr) {
            carry_.append(p, n);
            return true;
        }
        const char *after = static_cast<const char *>(nl) + 1;
        carry_.append(p, after);
        if (!parse(carry_.data(), carry_.data() + carry_.size()))
            return false;
        carry_.clear();
        p = after;
    }
    const char *last = p;
    for (const char *q = end; q > p; --q)
        if (q[-1] == '\n') {
            last = q;
            break;
        }
    if (last > p && !parse(p, last))
        return false;
    carry_.assign(last, end);
    return true;
}

bool Stream::finish(Vocab vocab[2], bool built[2], int threads) {
    if (fault_.kind == Fault::kNone && !carry_.empty())
        parse(carry_.data(), carry_.data() + carry_.size());
    carry_.clear();
    carry_.shrink_to_fit();
    if (fault_.kind != Fault::kNone)
        return false;
    piece_.parsed();
    std::vector<Piece *> pieces{&piece_};
    merge(pieces, options_, vocab, built, fault_, threads);
    return fault_.kind == Fault::kNone;
}

size_t Stream::write(Row *out) {
    size_t kept = 0;
    for (size_t b = 0; b < blocks_.size(); ++b) {
        kept += remap(piece_, blocks_[b].data(), counts_[b], out + kept);
        std::vector<Row>().swap(blocks_[b]);
    }
    return kept;
}

}  // namespace labels
}  // namespace triples
}  // namespace mx
