// run_table.h -- the runs of a side's large groups, found by hashing their
// (key, relation) pair: a bisection of a hub's group for a relation is a
// chain of misses over up to its whole size, where a probe of the table is
// one miss, at an address that depends on the pair alone, so that a caller
// looking ahead over its rows fetches it before it needs it.
//
// The table is open-addressed with linear probing, about three slots for
// every two pairs.  A slot holds the run's first row and, in one word, 8
// bits of the pair's hash (the tag) above the run's length, capped at
// kLengthCap.  A slot is the pair's when its first row lies in the pair's
// group (known to the caller from the table of starts), its tag matches
// and that row's relation is the pair's: the first two tests read nothing
// more, and the third reads the row the caller reads next anyway.
//
// Nothing here touches the interpreter, nor includes Python.h.
#pragma once

#include "../kernels/prefetch.h"
#include "block.h"

#include <cstddef>
#include <cstdint>

namespace mx {
namespace triples {

class RunTable {
public:
    static constexpr uint32_t kLengthCap = (uint32_t{1} << 24) - 1;

    struct Slot {
        uint32_t begin;       // kEmpty when the slot is free
        uint32_t tag_length;  // the tag above 24 bits of length
    };
    static_assert(sizeof(Slot) == 8, "two words");

    // The bytes of a table of `pairs` runs.
    static int64_t bytes_for(int64_t pairs) { return pairs ? capacity_for(pairs) * int64_t(sizeof(Slot)) : 0; }

    // An empty table sized for `pairs` runs (none: no table).
    void reset(int64_t pairs) {
        cap_ = pairs ? capacity_for(pairs) : 0;
        slots_ = cap_ ? Block<Slot>(size_t(cap_)) : Block<Slot>();
        for (int64_t i = 0; i < cap_; ++i)
            slots_[size_t(i)] = Slot{kEmpty, 0};
    }

    bool empty() const { return cap_ == 0; }
    int64_t bytes() const { return cap_ * int64_t(sizeof(Slot)); }

    // The slot where the search for (key, rel) starts; the table is not empty.
    const Slot *home(int32_t key, int32_t rel) const { return slots_.get() + place(hash(key, rel)); }

    // Adds the run [begin, begin + length) of (key, rel), absent so far.
    void insert(int32_t key, int32_t rel, uint32_t begin, uint32_t length) {
        const uint64_t h = hash(key, rel);
        int64_t i = place(h);
        while (slots_[size_t(i)].begin != kEmpty)
            i = i + 1 == cap_ ? 0 : i + 1;
        slots_[size_t(i)] = Slot{begin, tag(h) << 24 | (length < kLengthCap ? length : kLengthCap)};
    }

    // The first row of the run of (key, rel) in its group, rows [g0, g1),
    // rel_at(i) being the relation of row i, and its length (kLengthCap
    // for one at least that long); false when the group has no such run.
    // The search starts at slot `from` when it is not -1: the pair's
    // candidate() (the slots before it are not the pair's).
    template <class RelAt>
    bool find(int32_t key, int32_t rel, uint32_t g0, uint32_t g1, RelAt &&rel_at, uint32_t *begin, uint32_t *length,
              int64_t from = -1) const {
        const uint64_t h = hash(key, rel);
        const uint32_t t = tag(h);
        for (int64_t i = from >= 0 ? from : place(h);; i = i + 1 == cap_ ? 0 : i + 1) {
            const Slot s = slots_[size_t(i)];
            if (s.begin == kEmpty)
                return false;
            if (s.begin - g0 < g1 - g0 && s.tag_length >> 24 == t && rel_at(s.begin) == rel) {
                *begin = s.begin;
                *length = s.tag_length & kLengthCap;
                return true;
            }
        }
    }

    // The pair's first candidate slot in its group, rows [g0, g1): the
    // first from its home that is free, or whose row lies in the group
    // with the pair's tag (the row not read).  Its run's first row and
    // length go to *begin and *length (kEmpty: a free slot), for a fetch
    // ahead of find(), which can start there.
    int64_t candidate(int32_t key, int32_t rel, uint32_t g0, uint32_t g1, uint32_t *begin, uint32_t *length) const {
        const uint64_t h = hash(key, rel);
        const uint32_t t = tag(h);
        for (int64_t i = place(h);; i = i + 1 == cap_ ? 0 : i + 1) {
            const Slot s = slots_[size_t(i)];
            if (s.begin == kEmpty || (s.begin - g0 < g1 - g0 && s.tag_length >> 24 == t)) {
                *begin = s.begin;
                *length = s.tag_length & kLengthCap;
                return i;
            }
        }
    }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;  // no row: a side holds fewer than 2^32

    static int64_t capacity_for(int64_t pairs) { return pairs + pairs / 2 + 1; }

    static uint64_t hash(int32_t key, int32_t rel) {
        uint64_t h = (uint64_t(uint32_t(key)) << 32 | uint32_t(rel)) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        return h ^ (h >> 32);
    }
    static uint32_t tag(uint64_t h) { return uint32_t(h & 0xFF); }
    // the high bits of the hash scaled to the capacity
    int64_t place(uint64_t h) const { return int64_t((static_cast<__uint128_t>(h) * uint64_t(cap_)) >> 64); }

    int64_t cap_ = 0;
    Block<Slot> slots_;
};

}  // namespace triples
}  // namespace mx
