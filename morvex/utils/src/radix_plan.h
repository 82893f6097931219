// radix_plan.h -- the plan of the radix sort of radix_sort.cpp: how it walks
// the key, its widths and thresholds, and the per-thread workspace that all
// its paths work in.
//
// Included by radix_sort.cpp alone, and free of the interpreter.
#pragma once

#include "../kernels/keys.h"
#include "../kernels/prefetch.h"
#include "../triple.h"

#include <cstdint>
#include <new>

namespace mx {

namespace {

using keys::bit_length;
using keys::KeyLayout;
using keys::prefetch_read;
using keys::prefetch_write;
using keys::Varying;

// ---- the radix sort --------------------------------------------------------
//
// In-place most-significant-digit radix sort straight on the triples.
//
// The key it walks is not the full 96 bits but the concatenation of each
// field's varying bits (see KeyLayout): graph-like data (node ids below
// 2^20, a thousand relations) has only about 50 of them, and no digit is
// wasted on bits every record shares.  The digit width follows the size of
// the range being split (wide digits for large ranges, narrow ones near the
// leaves, so counting never costs much more than moving the records); buckets
// of at most kInsertion records are finished by insertion sort, and so are
// whole inputs of at most kDirectInsertion records.
//
// Large ranges are split in place (see distribute) until the buckets hold
// about 2^kLeafTargetBits records; a range of at most kBuffered records is
// then finished by a leaf split (see RadixSorter::leaf): one pass copies it
// to the buffer while counting a digit wide enough for buckets of about one
// record, one pass scatters it back, and insertion sort settles the few
// records that share a bucket (in a large leaf, see below, the buckets that
// received two records or more are sorted one by one: a pair by one
// exchange, three by a network of three).  Inputs of a few million records,
// which would need two in-place splits to get there, take one and end in
// large leaf splits of up to kLargeLeaf records instead (see split_width):
// one pass over main memory fewer, for leaves that work in the second-level
// cache rather than the first; and an input of up to kLargeLeaf records is
// one leaf split.  A split that would leave every record in one bucket is
// skipped: the range is scanned once for the first key bit at which its
// records differ, and splitting resumes there.
//
// Bounds: every split consumes at least one key bit, so at most 96 splits
// are ever open at once.  They are kept as frames on an explicit stack, not
// by recursion, and together with the bucket counts of the open splits (see
// kPoolEntries, 16 KiB), the buffer that ranges are distributed through
// and leaf splits copied to (192 KiB, of which ranges of up to kBuffered
// records use the first 24 KiB), the 16-bit counts of the one leaf split
// open at a time (64 KiB, of which 4 KiB for small leaves) and the cursors
// and counts of a distribution (16 KiB) they live in the thread's Workspace
// (298 KiB; a thread whose sorts never take large leaves touches about 70
// KiB of it), not on the stack: the sort's own frames stay small and their
// depth fixed.  Nothing else is allocated, and each level of the splitting
// costs O(n).

constexpr uint32_t kDirectInsertion = 10;  // inputs this small: insertion sort alone
constexpr uint32_t kInsertion = 16;        // buckets this small: insertion sort
constexpr int kMaxBits = 8;                // widest digit
constexpr int kMinBits = 3;                // narrowest digit (unless fewer bits remain)
constexpr int kLeafBits = 1;               // see digit_width
constexpr uint32_t kBuffered = 2048;       // ranges this small: split through the buffer
constexpr uint32_t kLargeLeaf = 16384;     // the largest leaf split (see split_width)
constexpr int kLeafMaxBits = 15;           // widest digit of a leaf split
constexpr int kWideBits = 9;               // widest digit of the one wide split on a path
constexpr int kLargeWideBits = 10;         // ... of one that leaves large leaves
constexpr int kLeafTargetBits = 11;        // large ranges are split towards 2^this records
constexpr int kLargeLeafTargetBits = 14;   // ... or, in one split, towards 2^this
constexpr unsigned kMaxBuckets = 1u << kMaxBits;
constexpr unsigned kWideBuckets = 1u << kLargeWideBits;
static_assert(kWideBits <= kLargeWideBits && (1u << kLeafMaxBits) >= kLargeLeaf, "widths");

// Read-ahead distance, in records, for the sequential passes over ranges
// that may not be cached (the opening scan, counting); the distribution's
// are in ../kernels/distribute.h.
constexpr uint32_t kScanAhead = 256;

// The splits open on one path consume distinct key bits, at most 96 in
// all, and a split of w bits needs 2^w counts; as 2^w / w grows with w, the
// narrow splits (at most kMaxBits) need at most 96 * 2^kMaxBits / kMaxBits
// counts, and at most one split on a path is wider (see split_width).
constexpr unsigned kPoolEntries = kWideBuckets + (96 * kMaxBuckets + kMaxBits - 1) / kMaxBits;

// Open splits on one path: each consumes at least one of the 96 key bits.
constexpr unsigned kMaxOpenSplits = 96;

// A split of base[0, n) whose buckets are being finished: the buckets before
// `bucket` are done, except the small ones from offset `run` on, which wait
// to be insertion sorted together; bucket `bucket` starts at offset `next`.
struct SplitFrame {
    morvex_Triple *base;
    const uint32_t *counts;  // bucket sizes; null for a leaf split, whose
                             // bucket ends are in Workspace::leaf
    uint32_t next, run;
    unsigned bucket, buckets;
    int pos;       // the key bit its buckets are sorted from
    bool wide_ok;  // RadixSorter::wide_ok_ to restore when it is done
    bool large;    // its buckets may be finished by large leaf splits
};

// The radix sort's working memory (298 KiB), one per thread.
//
// Small ranges use only the start of `buf` and of the count and cursor
// arrays, which are accessed at the same time.  The gap after `buf` (a whole
// number of 4 KiB pages) sets them 2 KiB apart modulo 4 KiB: a load whose
// address matches a pending store's in its low 12 bits waits for that store
// on common processors, as the leaf split's counts (written) would if they
// sat at the same page offsets as the records (read).
struct Workspace {
    morvex_Triple buf[kLargeLeaf];            // small distributions and leaf splits
    char gap[2048];
    uint16_t leaf[1u << kLeafMaxBits];        // a leaf split's counts, then bucket ends
    uint32_t next[kWideBuckets];              // distribution cursors
    uint32_t end[kWideBuckets];
    unsigned open[kWideBuckets];
    uint32_t first_counts[kWideBuckets];      // the opening scan's digit counts
    uint32_t pool[kPoolEntries];              // bucket counts of the open splits
    SplitFrame frames[kMaxOpenSplits];
    uint64_t crowded[(1u << kLeafMaxBits) / 64];  // a large leaf's buckets of two records or more
};
static_assert(sizeof(morvex_Triple) * kLargeLeaf % 4096 == 0 && sizeof(uint16_t) * (1u << kLeafMaxBits) % 4096 == 0,
              "the gap sets the counts 2 KiB off");

// The calling thread's workspace, made on its first use and released when
// the thread ends; null when it cannot be had (no memory, or the thread is
// already ending), and the caller then sorts without it.
//
// `cached` is read on every sort and has a trivial type, so reading it costs
// no initialisation check; only the first use on a thread touches `owner`,
// whose destructor frees the block at thread exit.
Workspace *thread_workspace() {
    static thread_local Workspace *cached = nullptr;
    static thread_local bool ended = false;
    if (cached != nullptr || ended)
        return cached;
    struct Owner {
        Workspace *ws = nullptr;
        ~Owner() {
            delete ws;
            cached = nullptr;
            ended = true;
        }
    };
    static thread_local Owner owner;
    owner.ws = new (std::nothrow) Workspace;
    cached = owner.ws;
    return cached;
}

// A condition that is almost never true, whose code is then laid out off the
// straight path.
#if defined(__GNUC__)
#define MX_UNLIKELY(cond) __builtin_expect(!!(cond), 0)
#define MX_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define MX_UNLIKELY(cond) (cond)
#define MX_ALWAYS_INLINE inline
#endif

// The index of the lowest set bit of x (not 0).
inline int lowest_bit(uint64_t x) {
#if defined(__GNUC__)
    return __builtin_ctzll(x);
#else
    int i = 0;
    for (; !(x & 1); x >>= 1)
        ++i;
    return i;
#endif
}

}  // namespace

}  // namespace mx
