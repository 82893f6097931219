// labels.h -- labeled triples: the vocabulary of labels (the ids of
// distinct strings, in a fixed order), and the reader that turns lines of
// labels ("Q42<TAB>P31<TAB>Q5") into int32 id triples and the two
// vocabularies, entities and relations.
//
// Nothing here touches the interpreter, nor includes Python.h: the Python
// edge (labels_type.cpp) opens, maps or decompresses the file, and hands
// the bytes to these units.
//
// Rules of a file.  One triple per line; fields split by one separator byte
// (tab by default) and taken from three chosen columns, extra columns left
// out; lines end in LF or CRLF, the last may lack its end; empty lines are
// skipped; a UTF-8 byte-order mark at the start of the file is skipped.  No
// quoting: a field is every byte between two separators.  A label is 1 to
// kMaxLabel bytes of valid UTF-8.
#pragma once

#include "block.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace mx {
namespace triples {
namespace labels {

// The longest label, in bytes.
constexpr size_t kMaxLabel = 65535;

// One (head, relation, tail) row of ids, as the triple records hold them.
struct Row {
    int32_t v[3];
};

// The hash of a label's bytes (also the vocabulary's).
inline uint64_t hash(const char *p, size_t n) {
    auto mix = [](uint64_t a, uint64_t b) {
        const unsigned __int128 m = static_cast<unsigned __int128>(a) * b;
        return static_cast<uint64_t>(m) ^ static_cast<uint64_t>(m >> 64);
    };
    auto load8 = [](const char *q) {
        uint64_t x;
        std::memcpy(&x, q, 8);
        return x;
    };
    constexpr uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull, k2 = 0x8ebc6af09c88c6e3ull;
    uint64_t a, b, seed = k0 ^ n;
    if (n > 16) {
        for (size_t i = 0; n - i > 16; i += 16)
            seed = mix(load8(p + i) ^ k1, load8(p + i + 8) ^ seed);
        a = load8(p + n - 16);
        b = load8(p + n - 8);
    } else if (n >= 8) {
        a = load8(p);
        b = load8(p + n - 8);
    } else if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        a = lo;
        b = hi;
    } else if (n > 0) {
        a = (uint64_t(uint8_t(p[0])) << 16) | (uint64_t(uint8_t(p[n >> 1])) << 8) | uint8_t(p[n - 1]);
        b = 0;
    } else {
        a = b = 0;
    }
    return mix(a ^ k1, b ^ seed ^ k2) ^ seed;
}

// Whether p[0, n) is valid UTF-8 (no overlong forms, no surrogates, at most
// U+10FFFF), as Python's decoder has it.
bool valid_utf8(const char *p, size_t n);

// ---- the vocabulary ------------------------------------------------------------

// An immutable list of distinct labels: id i is the i-th.  The labels' bytes
// sit end to end in one array, with the end of each (8 bytes a label); the
// table that finds a label's id (8 bytes a slot, 2 to 4 slots a label) is
// made when first needed, by index().  Memory: the labels' bytes plus 24 to
// 40 bytes a label once indexed.
class Vocab {
public:
    Vocab() : ends_(1, 0) {}

    int64_t size() const { return int64_t(ends_.size()) - 1; }
    std::string_view label(int64_t id) const {
        return std::string_view(bytes_.data() + ends_[size_t(id)], size_t(ends_[size_t(id) + 1] - ends_[size_t(id)]));
    }
    const std::vector<char> &bytes() const { return bytes_; }
    const std::vector<int64_t> &ends() const { return ends_; }

    // Adds a label as the next id, before the table of ids is made: a
    // vocabulary is filled once, then indexed (whether its labels are
    // distinct is the filler's check).
    void push(std::string_view s) {
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        ends_.push_back(int64_t(bytes_.size()));
    }
    void reserve(size_t labels, size_t bytes) {
        ends_.reserve(labels + 1);
        bytes_.reserve(bytes);
    }

    // Makes the table of ids, when there is none yet.
    void index();
    // The id of a label, or -1; the vocabulary must be indexed.
    int64_t find(std::string_view s, uint64_t h) const {
        if (slots_.empty())
            return -1;
        const uint64_t tag = h >> 32 << 32;
        for (size_t i = size_t(h) & mask_;; i = (i + 1) & mask_) {
            const uint64_t slot = slots_[i];
            if (slot == 0)
                return -1;
            if ((slot & ~0xffffffffull) == tag) {
                const int64_t id = int64_t(slot & 0xffffffffull) - 1;
                if (label(id) == s)
                    return id;
            }
        }
    }
    int64_t find(std::string_view s) const { return find(s, hash(s.data(), s.size())); }
    // The bytes held: labels, ends and the table of ids.
    int64_t nbytes() const {
        return int64_t(bytes_.size() + ends_.size() * sizeof(int64_t) + slots_.size() * sizeof(uint64_t));
    }
    bool operator==(const Vocab &o) const { return ends_ == o.ends_ && bytes_ == o.bytes_; }

private:
    void place(int64_t id);

    std::vector<char> bytes_;
    std::vector<int64_t> ends_;
    // slot: the hash's upper 32 bits, then id + 1 (0: empty)
    std::vector<uint64_t> slots_;
    size_t mask_ = 0;
};

// ---- the reader ----------------------------------------------------------------------

// What is done with a label that a given vocabulary lacks.
enum class Unknown { kError, kSkip, kAdd };

struct Options {
    char sep = '\t';
    int column[3] = {0, 1, 2};  // the columns of head, relation, tail
    // the vocabularies to map through (indexed), or null to build them
    const Vocab *given[2] = {nullptr, nullptr};  // entities, relations
    Unknown unknown = Unknown::kError;
    int64_t max_ids = int64_t{1} << 31;  // the most labels one vocabulary may hold
    size_t min_piece = size_t{1} << 20;   // the fewest bytes a thread parses
};

// The first thing wrong with a file.
struct Fault {
    enum Kind { kNone, kFewColumns, kBadUtf8, kLongLabel, kEmptyLabel, kUnknown, kTooMany, kTruncated } kind = kNone;
    int64_t line = 0;      // 1-based
    int column = 0;        // of the label at fault
    int64_t count = 0;     // kFewColumns: the columns the line has; kLongLabel: the label's bytes
    int vocab = 0;         // 0 entities, 1 relations (kUnknown, kTooMany)
    std::string label;     // kUnknown: the label
    bool before(const Fault &o) const { return kind != kNone && (o.kind == kNone || line < o.line); }
};

// Part of a file, parsed with tables of its own: its distinct labels get
// local ids in the order first seen, and its rows are written in local ids.
class Piece {
public:
    // `copy`: whether the labels are copied (the bytes parsed go away, as a
    // stream's chunks do), or kept as pointers into them (a mapped file).
    Piece(const Options &options, bool copy);

    // Parses the lines in [p, end): `end` is a line's end or the input's
    // end, and the first line is line `first_line` of the file.  Writes one
    // row per non-empty line to out (room for a row per line end, plus one
    // when the range does not end with one),
    // and returns the rows written; stops at the first fault (fault()).
    size_t parse(const char *p, const char *end, int64_t first_line, Row *out);
    const Fault &fault() const { return fault_; }
    // Lets go of the tables' slots, which only parsing needs.
    void parsed() {
        for (Local &t : local)
            std::vector<Local::Slot>().swap(t.slots);
    }

    // A local table of labels.
    struct Local {
        std::vector<const char *> ptr;
        std::vector<uint32_t> len;
        // A slot holds a label's first 11 bytes (zero-padded) and its length
        // (at most 255 counted; 0: an empty slot), and its local id, so
        // that a label of up to 11 bytes, as the datasets' ids are, is found
        // with one read of the table.
        struct Slot {
            uint64_t a;  // bytes 0 to 7
            uint32_t b;  // bytes 8 to 10, then the length
            uint32_t id;
        };
        std::vector<Slot> slots;
        std::vector<int32_t> to_global;   // filled by the merge (-1: unknown)
        int64_t added = 0;                // labels a given vocabulary lacks
        size_t mask = 0;
        size_t size() const { return ptr.size(); }
        std::string_view label(size_t i) const { return std::string_view(ptr[i], len[i]); }
    };
    Local local[2];  // entities, relations

private:
    int32_t intern(int which, const char *p, size_t n, uint64_t h, int64_t line, int column);
    void grow(Local &t);

    const Options &options_;
    bool copy_;
    std::vector<Block<char>> arena_;
    size_t arena_left_ = 0;
    char *arena_at_ = nullptr;
    Fault fault_;
};

// After every piece is parsed: the vocabularies (built from the pieces'
// labels in sorted byte order, or the given ones, with labels added when
// asked), each piece's local-to-global maps filled.  A fault of kind
// kTooMany, without its line, is set for too many labels.
// `built[v]` says whether out[v] was made (false: the given vocabulary
// serves as it is).
void merge(std::vector<Piece *> &pieces, const Options &options, Vocab out[2], bool built[2], Fault &fault,
           int threads);

// Writes rows[0, n) of a piece in global ids to out (which may be rows),
// leaving out the rows with an unknown label (Unknown::kSkip); returns the
// rows kept.
size_t remap(const Piece &piece, const Row *rows, size_t n, Row *out);

// The line ends in [p, end).
size_t count_lines(const char *p, const char *end);

// A file held whole in memory, cut into pieces at line ends, one a thread:
// where each begins, its first line's number, and where its rows go in the
// output (room for a row per line end, and for a last line without one).
struct Plan {
    std::vector<const char *> cut;  // pieces + 1 bounds
    std::vector<int64_t> first_line;
    std::vector<size_t> row_at;     // pieces + 1 bounds
};
Plan plan(const char *data, size_t size, size_t min_piece, int threads);

// Reads the planned pieces on `threads`: rows to out (plan.row_at.back()
// rows of room), the vocabularies to vocab (see merge()), the rows left out
// to *skipped.  Returns the rows, at the start of out, in file order; or 0
// with `fault` set.  Too many labels are found by the merge, and the line
// by parsing the file again on one thread.
size_t read(const Plan &plan, const Options &options, Row *out, Vocab vocab[2], bool built[2], Fault &fault,
            int64_t *skipped, int threads);

// A file read as a stream of chunks (a decompressed one), parsed on the
// thread that feeds it, with its labels copied.  Its first fault is the
// first in the file, too many labels included.
class Stream {
public:
    explicit Stream(const Options &options) : options_(options), piece_(options, true) {}

    // Parses the next bytes of the file; false once a fault has stopped it.
    bool feed(const char *p, size_t n);
    // At the end of the file: parses its last line, then makes the
    // vocabularies (see merge()); returns false with fault() set.
    bool finish(Vocab vocab[2], bool built[2], int threads);
    // Then: the rows parsed, and the rows kept written to out in global ids
    // (the rows parsed are let go meanwhile).
    size_t rows() const { return n_; }
    size_t write(Row *out);
    const Fault &fault() const { return fault_; }
    int64_t lines() const { return line_ - 1; }

private:
    bool parse(const char *p, const char *end);

    const Options &options_;
    Piece piece_;
    static constexpr size_t kBlock = size_t{1} << 20;
    std::vector<std::vector<Row>> blocks_;  // the rows, in local ids, kBlock a block
    std::vector<size_t> counts_;            // the rows in each
    std::string carry_;  // a line not yet ended
    bool start_ = true;
    size_t n_ = 0;       // rows parsed
    int64_t line_ = 1;   // the number of the next line
    Fault fault_;
};

}  // namespace labels
}  // namespace triples
}  // namespace mx
