// labels.cpp -- the vocabulary's table of ids, and the reader of labeled
// lines as a whole: a mapped file cut into pieces parsed on their own
// threads (labels_piece.cpp), merged into the vocabularies
// (labels_merge.cpp) and rewritten in global ids; a stream parsed as one
// piece (labels.h).
#include "labels.h"
#include "labels_work.h"

#include <algorithm>
#include <climits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {
namespace triples {
namespace labels {

namespace {


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
    const std::string_view s = label(id);
    const uint64_t h = hash(s.data(), s.size());
    size_t i = size_t(h) & mask_;
    while (slots_[i] != 0)
        i = (i + 1) & mask_;
    slots_[i] = (h >> 32 << 32) | uint64_t(id + 1);
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
