// ordering.cpp -- triple ordering: the five strict orders on (head, relation,
// tail) triples, quick_sort (a specialised radix sort for those five orders,
// a guarded comparison sort for any other) and the float-keyed qsort-style
// comparison _compare.
//
// Nothing here touches the interpreter: every function is callable without
// the GIL, on any thread.  Every path of the sort keeps its stack use small
// and bounded (well under 8 KiB, whatever the input): what the radix sort
// needs beyond that lives in a per-thread workspace on the heap.
#include "internal.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

namespace mx {

namespace {

// ---- keys ------------------------------------------------------------------
//
// Each order compares the three signed fields lexicographically in its own
// field sequence.  Flipping the sign bit of a field maps the signed order onto
// the unsigned one, so an order is also the order of the 96-bit unsigned key
// word(F0) : word(F1) : word(F2).

// Field indices in record order.
constexpr int kHead = 0, kRel = 1, kTail = 2;

template <int F>
inline int32_t field(const morvex_Triple &t) {
    static_assert(F >= 0 && F <= 2, "field index");
    if constexpr (F == kHead)
        return t.head;
    else if constexpr (F == kRel)
        return t.relation;
    else
        return t.tail;
}

// The order-preserving unsigned image of a field.
template <int F>
inline uint32_t word(const morvex_Triple &t) {
    return static_cast<uint32_t>(field<F>(t)) ^ 0x80000000u;
}

// An order: the fields compared first, second and third.
template <int F0, int F1, int F2>
struct Order {
    static constexpr int fields[3] = {F0, F1, F2};

    // The plain definition: signed fields, lexicographically.
    static int lex_less(const morvex_Triple &a, const morvex_Triple &b) {
        if (field<F0>(a) != field<F0>(b))
            return field<F0>(a) < field<F0>(b);
        if (field<F1>(a) != field<F1>(b))
            return field<F1>(a) < field<F1>(b);
        return field<F2>(a) < field<F2>(b);
    }

    // The same order on the unsigned key, with few branches: the sort's
    // inner comparison.
    static inline bool less(const morvex_Triple &a, const morvex_Triple &b) {
        const uint64_t ha = (uint64_t{word<F0>(a)} << 32) | word<F1>(a);
        const uint64_t hb = (uint64_t{word<F0>(b)} << 32) | word<F1>(b);
        return ha < hb || (ha == hb && word<F2>(a) < word<F2>(b));
    }
};

using HeadOrder = Order<kHead, kRel, kTail>;
using TailOrder = Order<kTail, kRel, kHead>;
using RelOrder = Order<kHead, kTail, kRel>;
using Rel2Order = Order<kRel, kHead, kTail>;
using Rel3Order = Order<kRel, kTail, kHead>;

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
// records that share a bucket.  A split that
// would leave every record in one bucket is skipped: the range is scanned
// once for the first key bit at which its records differ, and splitting
// resumes there.
//
// Bounds: every split consumes at least one key bit, so at most 96 splits
// are ever open at once.  They are kept as frames on an explicit stack, not
// by recursion, and together with the bucket counts of the open splits (see
// kPoolEntries, 14 KiB), the buffer that ranges of up to kBuffered records
// are distributed through (24 KiB), the 16-bit counts of the one leaf split
// open at a time (4 KiB) and the cursors and counts of a distribution
// (8 KiB) they live in the thread's Workspace (56 KiB), not on the stack: the
// sort's own frames stay small and their depth fixed.  Nothing else is
// allocated, and each level of the splitting costs O(n).

constexpr uint32_t kDirectInsertion = 10;  // inputs this small: insertion sort alone
constexpr uint32_t kInsertion = 16;        // buckets this small: insertion sort
constexpr int kMaxBits = 8;                // widest digit
constexpr int kMinBits = 3;                // narrowest digit (unless fewer bits remain)
constexpr int kLeafBits = 1;               // see digit_width
constexpr uint32_t kBuffered = 2048;       // ranges this small: split through the buffer
constexpr int kLeafMaxBits = 11;           // widest digit of a leaf split
constexpr int kWideBits = 9;               // widest digit of the one wide split on a path
constexpr int kLeafTargetBits = 11;        // large ranges are split towards 2^this records
constexpr unsigned kMaxBuckets = 1u << kMaxBits;
constexpr unsigned kWideBuckets = 1u << kWideBits;

// Read-ahead distances, in records: for the sequential passes over ranges
// that may not be cached (the opening scan, counting, and the sweep of the
// in-place distribution), and for the slot each bucket fills next.
constexpr uint32_t kScanAhead = 256;
constexpr uint32_t kSweepAhead = 64;
constexpr uint32_t kSlotAhead = 16;

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
};

// The radix sort's working memory (56 KiB), one per thread.
//
// Small ranges use only the start of `buf` and of the count and cursor
// arrays, which are accessed at the same time.  The gap after `buf` (a whole
// number of 4 KiB pages) sets them 2 KiB apart modulo 4 KiB: a load whose
// address matches a pending store's in its low 12 bits waits for that store
// on common processors, and the leaf split's counts (written) sitting at the
// same page offsets as the records (read) made small sorts a third slower.
struct Workspace {
    morvex_Triple buf[kBuffered];             // the buffer of small distributions
    char gap[2048];
    uint16_t leaf[1u << kLeafMaxBits];        // a leaf split's counts, then bucket ends
    uint32_t next[kWideBuckets];              // distribution cursors
    uint32_t end[kWideBuckets];
    unsigned open[kWideBuckets];
    uint32_t first_counts[kWideBuckets];      // the opening scan's digit counts
    uint32_t pool[kPoolEntries];              // bucket counts of the open splits
    SplitFrame frames[kMaxOpenSplits];
};
static_assert(sizeof(morvex_Triple) * kBuffered % 4096 == 0, "the gap sets the counts 2 KiB off");

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

// Hints to fetch the cache line at `addr` (an integer) for writing or for
// reading; the address may lie past the array, which a prefetch tolerates.
// And a condition that is almost never true, whose code is then laid out
// off the straight path.
#if defined(__GNUC__)
#define MX_PREFETCH(addr) __builtin_prefetch(reinterpret_cast<const void *>(addr), 1)
#define MX_PREFETCH_READ(addr) __builtin_prefetch(reinterpret_cast<const void *>(addr), 0)
#define MX_UNLIKELY(cond) __builtin_expect(!!(cond), 0)
#else
#define MX_PREFETCH(addr) ((void)(addr))
#define MX_PREFETCH_READ(addr) ((void)(addr))
#define MX_UNLIKELY(cond) (cond)
#endif

// Number of significant bits of x (0 for 0).
inline int bit_length(uint32_t x) {
#if defined(__GNUC__)
    return x ? 32 - __builtin_clz(x) : 0;
#else
    int r = 0;
    for (; x; x >>= 1)
        ++r;
    return r;
#endif
}

inline uint32_t low_mask(int bits) { return bits >= 32 ? 0xffffffffu : (1u << bits) - 1; }

// A digit taken from one field: `mask` bits of its word above `shift` bits.
template <int F>
struct FieldDigit {
    int shift;
    uint32_t mask;
    unsigned operator()(const morvex_Triple &t) const { return (word<F>(t) >> shift) & mask; }
};

// A digit straddling two fields: the low bits of A's word (`mask_a`)
// followed by the `bits_b` bits of B's word that sit above `shift_b`.
template <int A, int B>
struct PairDigit {
    uint32_t mask_a;
    int bits_b;
    int shift_b;
    uint32_t mask_b;
    unsigned operator()(const morvex_Triple &t) const {
        return ((word<A>(t) & mask_a) << bits_b) | ((word<B>(t) >> shift_b) & mask_b);
    }
};

// The sort key: the varying bits ("span") of each field, in the order's field
// sequence.  A field's span is its low L bits, L being the bit length of the
// OR over all records of (word ^ first record's word); the bits above are the
// same in every record.  Fields that never vary have no span.  Key bits are
// counted from the top, 0 being the first bit of the first span.
class KeyLayout {
public:
    KeyLayout(const int *order_fields, const uint32_t *diff) {
        for (int k = 0; k < 3; ++k) {
            const int f = order_fields[k];
            const int len = bit_length(diff[f]);
            if (len == 0)
                continue;
            field_[spans_] = f;
            len_[spans_] = len;
            start_[spans_] = bits_;
            bits_ += len;
            ++spans_;
        }
    }

    int bits() const { return bits_; }

    // Calls fn(digit_of, width) with the digit of at most `width` bits starting
    // at key bit `pos` (< bits()) and its actual width: the digit stops at
    // the end of the key, and at the end of the second span it touches.
    template <class Fn>
    auto with_digit(int pos, int width, Fn &&fn) const {
        int j = 0;
        while (pos >= start_[j] + len_[j])
            ++j;
        const int avail = start_[j] + len_[j] - pos;  // bits left in span j
        if (width <= avail || j + 1 == spans_) {
            width = std::min(width, avail);
            return single(field_[j], avail - width, low_mask(width), width, fn);
        }
        const int b = std::min(width - avail, len_[j + 1]);
        return pair(field_[j], field_[j + 1], avail, b, len_[j + 1] - b, fn);
    }

    // Whether the digit of `width` bits at key bit 0 reads the same bits of
    // the same fields under both layouts (it reads span 0 and, when wider,
    // span 1, stopping at the end of the key).
    bool same_leading_digit(const KeyLayout &other, int width) const {
        if (spans_ == 0)
            return false;
        const int touched = width > len_[0] ? 2 : 1;
        for (int j = 0; j < touched; ++j) {
            const bool here = j < spans_, there = j < other.spans_;
            if (here != there)
                return false;
            if (here && (field_[j] != other.field_[j] || len_[j] != other.len_[j]))
                return false;
        }
        return true;
    }

    // The first key bit at which the records of a[0, n) differ, or bits()
    // if they are all equal.
    int first_difference(const morvex_Triple *a, uint32_t n) const {
        uint32_t x[3] = {0, 0, 0};
        const uint32_t h = word<kHead>(a[0]), r = word<kRel>(a[0]), t = word<kTail>(a[0]);
        for (uint32_t i = 1; i < n; ++i) {
            x[kHead] |= word<kHead>(a[i]) ^ h;
            x[kRel] |= word<kRel>(a[i]) ^ r;
            x[kTail] |= word<kTail>(a[i]) ^ t;
        }
        for (int j = 0; j < spans_; ++j)
            if (x[field_[j]])
                return start_[j] + len_[j] - bit_length(x[field_[j]]);
        return bits_;
    }

private:
    template <class Fn>
    static auto single(int f, int shift, uint32_t mask, int width, Fn &fn) {
        switch (f) {
        case kHead:
            return fn(FieldDigit<kHead>{shift, mask}, width);
        case kRel:
            return fn(FieldDigit<kRel>{shift, mask}, width);
        default:
            return fn(FieldDigit<kTail>{shift, mask}, width);
        }
    }

    template <int A, class Fn>
    static auto pair_from(int fb, int a, int b, int shift_b, Fn &fn) {
        const uint32_t ma = low_mask(a), mb = low_mask(b);
        if (fb == kHead)
            return fn(PairDigit<A, kHead>{ma, b, shift_b, mb}, a + b);
        if (fb == kRel)
            return fn(PairDigit<A, kRel>{ma, b, shift_b, mb}, a + b);
        return fn(PairDigit<A, kTail>{ma, b, shift_b, mb}, a + b);
    }

    template <class Fn>
    static auto pair(int fa, int fb, int a, int b, int shift_b, Fn &fn) {
        switch (fa) {
        case kHead:
            return pair_from<kHead>(fb, a, b, shift_b, fn);
        case kRel:
            return pair_from<kRel>(fb, a, b, shift_b, fn);
        default:
            return pair_from<kTail>(fb, a, b, shift_b, fn);
        }
    }

    int field_[3] = {0, 0, 0};
    int len_[3] = {0, 0, 0};
    int start_[3] = {0, 0, 0};
    int spans_ = 0;
    int bits_ = 0;
};

template <class O>
void insertion_sort(morvex_Triple *a, uint32_t n) {
    for (uint32_t i = 1; i < n; ++i) {
        if (!O::less(a[i], a[i - 1]))
            continue;  // the usual case in the nearly sorted runs it is given
        const morvex_Triple v = a[i];
        uint32_t j = i;
        do {
            a[j] = a[j - 1];
            --j;
        } while (j > 0 && O::less(v, a[j - 1]));
        a[j] = v;
    }
}

// Moves r (read from *slot) to slot t, and what was at t to *slot.
inline void place(morvex_Triple *a, morvex_Triple *slot, const morvex_Triple &r, uint32_t t) {
    *slot = a[t];
    a[t] = r;
    MX_PREFETCH(reinterpret_cast<uintptr_t>(a + t) + kSlotAhead * sizeof(morvex_Triple));
}

// Counts the digits of a[0, n) into cnt[0, buckets).
template <class D>
void count_digits(const morvex_Triple *a, uint32_t n, const D &digit_of, unsigned buckets,
                  uint32_t *cnt) {
    std::fill(cnt, cnt + buckets, 0u);
    for (uint32_t i = 0; i < n; ++i) {
        MX_PREFETCH_READ(reinterpret_cast<uintptr_t>(a + i) + kScanAhead * sizeof(morvex_Triple));
        ++cnt[digit_of(a[i])];
    }
}

// Copies a[0, n) to out[0, n) and counts the copy's digits into cnt[0,
// buckets): the counts match the copy whatever other threads do to `a`.
template <class D, class C>
inline void copy_counting(const morvex_Triple *a, uint32_t n, const D &digit_of, unsigned buckets, C *cnt,
                          morvex_Triple *out) {
    std::fill(cnt, cnt + buckets, C{0});
    // (Each record is read whole before anything is written, here and in
    // scatter: a store could alias the rest of the record, and a load
    // behind it would then wait on it.)
    for (uint32_t i = 0; i < n; ++i) {
        const morvex_Triple r = a[i];
        out[i] = r;
        ++cnt[digit_of(r)];
    }
}

// The start of each bucket, given the bucket sizes.
inline void bucket_starts(const uint32_t *cnt, unsigned buckets, uint32_t *next) {
    uint32_t sum = 0;
    for (unsigned b = 0; b < buckets; ++b) {
        next[b] = sum;
        sum += cnt[b];
    }
}

// Writes a[0, n), whose digit counts are cnt[0, buckets), to out[0, n) in
// digit order.
template <class D>
void scatter(const morvex_Triple *a, uint32_t n, const D &digit_of, unsigned buckets,
             const uint32_t *cnt, morvex_Triple *out, Workspace &ws) {
    uint32_t *const next = ws.next;
    bucket_starts(cnt, buckets, next);
    for (uint32_t i = 0; i < n; ++i) {
        const morvex_Triple r = a[i];  // read whole before the store (see copy_counting)
        out[next[digit_of(r)]++] = r;
    }
}

// The slot a record of digit d takes when found in bucket b's sweep (see
// distribute): the next free slot of its own bucket, or of b when its own
// is full.  That happens only when the records changed after they were
// counted (another thread writing or sorting them), and b always has room:
// while b is swept, next[b] <= i < end[b] for the slot i being swept.
inline uint32_t claim(uint32_t *next, const uint32_t *end, unsigned d, unsigned b) {
    if (MX_UNLIKELY(next[d] == end[d]))
        d = b;
    return next[d]++;
}

// Moves the records of a[0, n), whose digit counts are cnt[0, buckets)
// (summing to n), into digit order in place.
//
// Whatever other threads do to the records meanwhile, it stays inside
// a[0, n) and returns: every record is placed by one increment of a cursor,
// which never passes its bucket's end (see claim), so there are at most n
// placements, and each round over the unfinished buckets makes at least one.
// The order is then unspecified.
template <class D>
void distribute(morvex_Triple *a, const D &digit_of, unsigned buckets, const uint32_t *cnt,
                Workspace &ws) {
    uint32_t *const next = ws.next;
    uint32_t *const end = ws.end;
    bucket_starts(cnt, buckets, next);
    for (unsigned b = 0; b < buckets; ++b)
        end[b] = next[b] + cnt[b];

    // In place: sweep the unplaced part of each bucket, swapping every record
    // into the next free slot of its own bucket and leaving the one that
    // comes back for a later round.  A slot swept in bucket b only receives
    // records from b's placed front or from other buckets, so the digits of a
    // group can all be read before any record moves and the swaps of a group
    // are independent of one another (following cycles instead would make
    // every step wait on the previous load).  Each swap places one record for
    // good; rounds repeat over the buckets still unfinished.
    unsigned *const open = ws.open;
    unsigned nopen = 0;
    for (unsigned b = 0; b < buckets; ++b)
        if (next[b] != end[b])
            open[nopen++] = b;
    while (nopen > 0) {
        unsigned kept = 0;
        for (unsigned k = 0; k < nopen; ++k) {
            const unsigned b = open[k];
            morvex_Triple *p = a + next[b];
            const uint32_t e = end[b];
            morvex_Triple *const pe = a + e;
            for (; pe - p >= 4; p += 4) {
                MX_PREFETCH(reinterpret_cast<uintptr_t>(p) + kSweepAhead * sizeof(morvex_Triple));
                const morvex_Triple r0 = p[0], r1 = p[1], r2 = p[2], r3 = p[3];
                const unsigned d0 = digit_of(r0), d1 = digit_of(r1);
                const unsigned d2 = digit_of(r2), d3 = digit_of(r3);
                place(a, p, r0, claim(next, end, d0, b));
                place(a, p + 1, r1, claim(next, end, d1, b));
                place(a, p + 2, r2, claim(next, end, d2, b));
                place(a, p + 3, r3, claim(next, end, d3, b));
            }
            for (; p < pe; ++p) {
                const morvex_Triple r = *p;
                place(a, p, r, claim(next, end, digit_of(r), b));
            }
            if (next[b] != e)
                open[kept++] = b;
        }
        nopen = kept;
    }
}

// The digit width for a range of n <= kBuffered records that a leaf split
// left unfinished (rare: heavily repeated keys): enough levels of at most
// kMaxBits each to bring the buckets down to about one record, with the bits
// spread evenly over those levels (a last level of only a few bits would
// leave large buckets for insertion sort).  Ranges of up to 2^(kMaxBits +
// kLeafBits) records take a single level and leave buckets of a few records.
inline int digit_width(uint32_t n) {
    const int bits = std::max(kMinBits, bit_length(n));
    if (bits <= kMaxBits + kLeafBits)
        return std::min(bits, kMaxBits);
    const int levels = (bits - kLeafBits + kMaxBits - 1) / kMaxBits;
    return std::min(kMaxBits, (bits + levels - 1) / levels);
}

// The digit width for a range of n > kBuffered records: enough levels of at
// most kMaxBits each to bring the buckets down to about 2^kLeafTargetBits
// records, where a leaf split finishes them, with the bits spread evenly
// over those levels.  When `wide_ok` (no split on the path so far was wider
// than kMaxBits) a single level of up to kWideBits is taken instead of two:
// a range of a million records then needs one in-place pass, not two.
inline int split_width(uint32_t n, bool wide_ok) {
    const int bits = std::max(1, bit_length(n) - kLeafTargetBits);
    if (wide_ok && bits <= kWideBits)
        return std::max(kMinBits, bits);
    const int levels = (bits + kMaxBits - 1) / kMaxBits;
    return std::max(kMinBits, (bits + levels - 1) / levels);
}

template <class O>
class RadixSorter {
public:
    RadixSorter(const KeyLayout &layout, Workspace &ws) : layout_(layout), ws_(ws) {}

    // Sorts a[0, n), whose keys agree above bit `pos`.
    void sort(morvex_Triple *a, uint32_t n, int pos) {
        start(a, n, pos);
        finish();
    }

    // Sorts a[0, n) given the counts of its digit of `width` bits at key bit
    // 0, counts[0, 2^width) (taken while scanning the input).
    void sort_counted(morvex_Triple *a, uint32_t n, int width, const uint32_t *counts) {
        uint32_t *const cnt = ws_.pool + used_;
        layout_.with_digit(0, width, [&](const auto &digit_of, int w) {
            if (w == width)
                std::copy(counts, counts + (1u << w), cnt);
            else
                count_digits(a, n, digit_of, 1u << w, cnt);
            split_counted(a, n, digit_of, w, w);
            return true;
        });
        finish();
    }

private:
    // The digit width of a leaf split of n (<= kBuffered) records: about one
    // record per bucket.
    static int leaf_width(uint32_t n) {
        return std::min(kLeafMaxBits, std::max(kMinBits, bit_length(n)));
    }

    // Splits a[0, n), whose keys agree above bit `pos`, and opens a frame for
    // its buckets; a range of equal records needs nothing.
    void start(morvex_Triple *a, uint32_t n, int pos) {
        if (n <= kBuffered && leaf_ok_) {
            auto leaf_step = [&](const auto &digit_of, int width) {
                return leaf(a, n, digit_of, width, pos + width);
            };
            while (pos < layout_.bits()) {
                if (layout_.with_digit(pos, leaf_width(n), leaf_step))
                    return;
                pos = next_pos(a, n, pos);
            }
            return;
        }
        uint32_t *const cnt = ws_.pool + used_;
        // Returns false, moving nothing, when every record has the same digit.
        // A range small enough for the buffer is counted as it is copied
        // there, and split_counted scatters it back from that copy.
        auto step = [&](const auto &digit_of, int width) {
            const morvex_Triple *first = a;
            if (n <= kBuffered) {
                copy_counting(a, n, digit_of, 1u << width, cnt, ws_.buf);
                first = ws_.buf;
            } else {
                count_digits(a, n, digit_of, 1u << width, cnt);
            }
            if (cnt[digit_of(*first)] == n)
                return false;
            split_counted(a, n, digit_of, width, pos + width);
            return true;
        };
        while (pos < layout_.bits()) {
            const int width = n <= kBuffered ? digit_width(n) : split_width(n, wide_ok_);
            if (layout_.with_digit(pos, width, step))
                return;
            pos = next_pos(a, n, pos);
        }
        // No key bits left: the records are equal.
    }

    // The key bit to split a[0, n) at after the digit at `pos` was the same
    // in every record: the first at which they differ, which lies beyond
    // that digit.  Unless other threads changed the records meanwhile: pos
    // grows in any case, so that the splits on one path take distinct key
    // bits (and their frames and counts fit the workspace) and this ends.
    int next_pos(const morvex_Triple *a, uint32_t n, int pos) const {
        return std::max(pos + 1, layout_.first_difference(a, n));
    }

    // A leaf split: a[0, n) (at most kBuffered records) is copied to the
    // buffer while its digits are counted, and scattered back in digit order
    // on a digit wide enough to leave buckets of about one record; its
    // buckets are then finished as a split's are, except that the rare large
    // bucket is split by the pool-based path (leaf_ok_ off), so that only one
    // leaf split is open at a time and its counts have one place.  Returns
    // false, moving nothing, when every record has the same digit.
    //
    // Everything after the copy reads the buffer only, which the counts
    // match whatever other threads do to `a`.
    template <class D>
    bool leaf(morvex_Triple *a, uint32_t n, const D &digit_of, int width, int pos) {
        const unsigned buckets = 1u << width;
        static_assert(kBuffered <= 0xffff, "leaf counts are 16-bit");
        uint16_t *const next = ws_.leaf;  // counts, then bucket cursors
        morvex_Triple *const buf = ws_.buf;
        copy_counting(a, n, digit_of, buckets, next, buf);
        if (next[digit_of(buf[0])] == n)
            return false;
        uint32_t sum = 0, largest = 0;
        for (unsigned b = 0; b < buckets; ++b) {
            const uint32_t c = next[b];
            next[b] = static_cast<uint16_t>(sum);
            sum += c;
            largest = std::max(largest, c);
        }
        for (uint32_t i = 0; i < n; ++i) {
            const morvex_Triple r = buf[i];
            a[next[digit_of(r)]++] = r;
        }

        // next[b] is now the end of bucket b.  Usually every bucket is
        // small, and one insertion sort finishes them all.
        if (largest <= kInsertion) {
            insertion_sort<O>(a, n);
            return true;
        }
        open_frame(a, pos, buckets, nullptr);
        leaf_ok_ = false;
        return true;
    }

    // Splits a[0, n) on `digit_of` (`width` bits; the counts are at the top of
    // the pool) and opens a frame that sorts each bucket on the key bits from
    // `pos` on.  A range of at most kBuffered records has been copied to the
    // buffer as it was counted (see start), and is scattered back from there.
    template <class D>
    void split_counted(morvex_Triple *a, uint32_t n, const D &digit_of, int width, int pos) {
        const uint32_t *const cnt = ws_.pool + used_;
        const unsigned buckets = 1u << width;
        if (n <= kBuffered)
            scatter(ws_.buf, n, digit_of, buckets, cnt, a, ws_);
        else
            distribute(a, digit_of, buckets, cnt, ws_);
        open_frame(a, pos, buckets, cnt);
        used_ += buckets;
        if (width > kMaxBits)
            wide_ok_ = false;
    }

    void open_frame(morvex_Triple *a, int pos, unsigned buckets, const uint32_t *counts) {
        // Frames nest only with strictly growing `pos` (each split takes at
        // least one key bit), which stays within the key's 96 bits.
        assert(depth_ < kMaxOpenSplits);
        SplitFrame &f = ws_.frames[depth_++];
        f.base = a;
        f.counts = counts;
        f.next = f.run = 0;
        f.bucket = 0;
        f.buckets = buckets;
        f.pos = pos;
        f.wide_ok = wide_ok_;
    }

    // Finishes the open splits, innermost first, splitting their large
    // buckets in turn.
    //
    // Large buckets are split further.  Runs of consecutive small buckets
    // are finished by one insertion sort over the whole run: records of
    // different buckets are already in order, so it only ever moves records
    // within a bucket, and its comparisons are mostly predictable, unlike a
    // loop that branches on each bucket's size.
    void finish() {
        while (depth_ > 0) {
            SplitFrame &f = ws_.frames[depth_ - 1];
            morvex_Triple *const a = f.base;
            uint32_t next = f.next;
            unsigned b = f.bucket;
            const unsigned buckets = f.buckets;
            uint32_t size = 0;  // of the large bucket found, if any
            // (The leaf loop reads bucket ends, so that no step waits on the
            // one before.)
            if (f.counts == nullptr) {
                for (const uint16_t *ends = ws_.leaf; b < buckets; ++b) {
                    if (ends[b] - next > kInsertion) {
                        size = ends[b] - next;
                        break;
                    }
                    next = ends[b];
                }
            } else {
                for (const uint32_t *counts = f.counts; b < buckets; ++b) {
                    if (counts[b] > kInsertion) {
                        size = counts[b];
                        break;
                    }
                    next += counts[b];
                }
            }
            insertion_sort<O>(a + f.run, next - f.run);
            if (b < buckets) {
                f.bucket = b + 1;
                f.next = f.run = next + size;
                start(a + next, size, f.pos);  // may open a frame above f
                continue;
            }
            if (f.counts == nullptr)
                leaf_ok_ = true;
            else
                used_ -= buckets;
            wide_ok_ = f.wide_ok;
            --depth_;
        }
    }

    const KeyLayout &layout_;
    Workspace &ws_;
    unsigned used_ = 0;   // pool entries held by open splits
    unsigned depth_ = 0;  // open splits
    bool leaf_ok_ = true;
    bool wide_ok_ = true;
};

// ---- the comparison sort --------------------------------------------------
//
// For any comparison other than the five above, and for those when the
// radix sort's workspace cannot be had: an introspective sort (quick sort on
// median-of-three pivots, heap sort for a range once its pieces have been
// split 2 log2 n times, insertion sort for short ranges).
//
// Every loop checks its index against its range instead of relying on the
// comparison to stop it, so a comparison that is no strict weak order (a
// three-way result, "<=", one that always says "less", a random one) can
// only leave the records in a poor order: nothing outside the array is read
// or written, and the records are always a permutation of the input.  The
// checks are one predictable compare per step.  Ranges waiting to be sorted
// are kept on a fixed stack: the smaller piece of each split is sorted
// first, so at most log2 n ranges ever wait.

constexpr uint32_t kShortRange = 16;
constexpr unsigned kMaxWaiting = 32;  // > log2 of any int count

template <class Less>
void guarded_insertion_sort(morvex_Triple *a, uint32_t n, Less less) {
    for (morvex_Triple *i = a + 1; i < a + n; ++i) {
        const morvex_Triple v = *i;
        morvex_Triple *j = i;
        for (; j != a && less(v, j[-1]); --j)
            *j = j[-1];
        *j = v;
    }
}

// Moves a[root] down the max-heap a[0, n).
template <class Less>
void sift_down(morvex_Triple *a, uint32_t root, uint32_t n, Less less) {
    const morvex_Triple v = a[root];
    for (;;) {
        uint32_t child = 2 * root + 1;  // root < n < 2^31: no overflow
        if (child >= n)
            break;
        if (child + 1 < n && less(a[child], a[child + 1]))
            ++child;
        if (!less(v, a[child]))
            break;
        a[root] = a[child];
        root = child;
    }
    a[root] = v;
}

template <class Less>
void heap_sort(morvex_Triple *a, uint32_t n, Less less) {
    for (uint32_t i = n / 2; i-- > 0;)
        sift_down(a, i, n, less);
    for (uint32_t end = n; end-- > 1;) {
        std::swap(a[0], a[end]);
        sift_down(a, 0, end, less);
    }
}

// Partitions a[0, n) (n > 2) around the median of its first, middle and
// last records; returns the pivot's final index p: no record of a[0, p)
// orders after the pivot, none of a[p + 1, n) before it.
template <class Less>
uint32_t partition(morvex_Triple *a, uint32_t n, Less less) {
    morvex_Triple *const mid = a + n / 2, *const last = a + n - 1;
    if (less(*mid, *a))
        std::swap(*mid, *a);
    if (less(*last, *mid)) {
        std::swap(*last, *mid);
        if (less(*mid, *a))
            std::swap(*mid, *a);
    }
    std::swap(*a, *mid);
    const morvex_Triple pivot = *a;
    morvex_Triple *i = a, *j = a + n;
    for (;;) {
        // For a strict weak order *last (and *a) would stop these scans;
        // the bounds checks make them stop for any comparison.
        while (less(*++i, pivot))
            if (i == last)
                break;
        while (less(pivot, *--j))
            if (j == a)
                break;
        if (i >= j)
            break;
        std::swap(*i, *j);
    }
    std::swap(*a, *j);
    return static_cast<uint32_t>(j - a);
}

template <class Less>
void comparison_sort(morvex_Triple *a, uint32_t n, Less less) {
    struct Range {
        morvex_Triple *a;
        uint32_t n;
        int splits_left;
    };
    Range waiting[kMaxWaiting];
    unsigned nwaiting = 0;
    int splits_left = 2 * bit_length(n);
    for (;;) {
        while (n > kShortRange) {
            if (splits_left == 0) {
                heap_sort(a, n, less);
                n = 0;
                break;
            }
            --splits_left;
            const uint32_t p = partition(a, n, less);
            morvex_Triple *const right = a + p + 1;
            const uint32_t nright = n - p - 1;
            // Each range that waits is larger than the one sorted on, which
            // at least halves: at most log2 n of them.
            if (p < nright) {
                waiting[nwaiting++] = {right, nright, splits_left};
                n = p;
            } else {
                waiting[nwaiting++] = {a, p, splits_left};
                a = right;
                n = nright;
            }
        }
        guarded_insertion_sort(a, n, less);
        if (nwaiting == 0)
            return;
        const Range &r = waiting[--nwaiting];
        a = r.a;
        n = r.n;
        splits_left = r.splits_left;
    }
}

// A comparison function of the caller's, called with copies of the records.
struct CallerLess {
    morvex_cmp_type cmp;
    bool operator()(const morvex_Triple &x, const morvex_Triple &y) const { return cmp(x, y) != 0; }
};

// One of the five orders, inline.
template <class O>
struct OrderLess {
    bool operator()(const morvex_Triple &x, const morvex_Triple &y) const { return O::less(x, y); }
};

// ---- the fast path ---------------------------------------------------------

// Inputs at least this large guess the first digit from a sample so that the
// opening scan can count it too, saving a pass over memory.
constexpr uint32_t kFusedFrom = 1u << 16;
constexpr uint32_t kSample = 256;

template <class O>
void fast_sort(morvex_Triple *a, uint32_t n) {
    if (n <= kDirectInsertion) {
        insertion_sort<O>(a, n);
        return;
    }

    // One scan finds whether the input is already in order and which bits
    // of each field vary.  For large inputs it also counts the first digit
    // of the key as a sample of the input lays it out; when the full scan
    // agrees on that digit_of, the counts stand.
    const uint32_t first[3] = {word<kHead>(a[0]), word<kRel>(a[0]), word<kTail>(a[0])};
    uint32_t diff[3] = {0, 0, 0};
    auto vary = [&](const morvex_Triple &t) {
        diff[kHead] |= word<kHead>(t) ^ first[kHead];
        diff[kRel] |= word<kRel>(t) ^ first[kRel];
        diff[kTail] |= word<kTail>(t) ^ first[kTail];
    };
    uint32_t i = 1;
    for (; i < n && !O::less(a[i], a[i - 1]); ++i)
        vary(a[i]);
    if (i == n)
        return;

    Workspace *const ws = thread_workspace();
    if (ws == nullptr) {
        // The same sequence, in place: the order ties only equal records.
        comparison_sort(a, n, OrderLess<O>{});
        return;
    }

    const int width = split_width(n, true);
    uint32_t *const counts = ws->first_counts;
    bool counted = false;
    uint32_t guess_diff[3] = {diff[0], diff[1], diff[2]};
    if (n >= kFusedFrom) {
        const uint32_t step = n / kSample;
        for (uint32_t k = i; k < n; k += step) {
            guess_diff[kHead] |= word<kHead>(a[k]) ^ first[kHead];
            guess_diff[kRel] |= word<kRel>(a[k]) ^ first[kRel];
            guess_diff[kTail] |= word<kTail>(a[k]) ^ first[kTail];
        }
    }
    const KeyLayout guess(O::fields, guess_diff);
    if (n >= kFusedFrom && guess.bits() > 0) {
        guess.with_digit(0, width, [&](const auto &digit_of, int w) {
            std::fill(counts, counts + (1u << w), 0u);
            for (uint32_t k = 0; k < i; ++k)
                ++counts[digit_of(a[k])];
            for (; i < n; ++i) {
                MX_PREFETCH_READ(reinterpret_cast<uintptr_t>(a + i) + kScanAhead * sizeof(morvex_Triple));
                vary(a[i]);
                ++counts[digit_of(a[i])];
            }
            counted = w == width;
            return true;
        });
    }
    for (; i < n; ++i)
        vary(a[i]);

    const KeyLayout layout(O::fields, diff);
    RadixSorter<O> sorter(layout, *ws);
    if (counted && guess.same_leading_digit(layout, width))
        sorter.sort_counted(a, n, width, counts);
    else
        sorter.sort(a, n, 0);
}

}  // namespace

// ---- exported --------------------------------------------------------------

int cmp_head(morvex_Triple a, morvex_Triple b) noexcept { return HeadOrder::lex_less(a, b); }
int cmp_tail(morvex_Triple a, morvex_Triple b) noexcept { return TailOrder::lex_less(a, b); }
int cmp_rel(morvex_Triple a, morvex_Triple b) noexcept { return RelOrder::lex_less(a, b); }
int cmp_rel2(morvex_Triple a, morvex_Triple b) noexcept { return Rel2Order::lex_less(a, b); }
int cmp_rel3(morvex_Triple a, morvex_Triple b) noexcept { return Rel3Order::lex_less(a, b); }

// Sorts array[0, count) ascending under `cmp`.  The five orders above take
// the radix sort; since equal triples are identical, its result is the same
// sequence any correct sort produces.  Any other comparison is used as given
// by the comparison sort, which stays inside the array whatever it returns.
//
// Other threads writing or sorting the same array meanwhile never make it
// read or write outside array[0, count), nor keep it from returning; the
// order it leaves is then unspecified.  (The radix sort trusts no count
// once the records may have moved: see distribute, next_pos and leaf.)
void quick_sort(morvex_Triple *array, int count, morvex_cmp_type cmp) noexcept {
    if (count < 2)
        return;
    const uint32_t n = static_cast<uint32_t>(count);
    if (cmp == cmp_head)
        fast_sort<HeadOrder>(array, n);
    else if (cmp == cmp_tail)
        fast_sort<TailOrder>(array, n);
    else if (cmp == cmp_rel)
        fast_sort<RelOrder>(array, n);
    else if (cmp == cmp_rel2)
        fast_sort<Rel2Order>(array, n);
    else if (cmp == cmp_rel3)
        fast_sort<Rel3Order>(array, n);
    else
        comparison_sort(array, n, CallerLess{cmp});
}

// qsort-style comparison of two records on their second 32-bit field, read as
// a float: the sign of the single-precision difference, with a zero
// difference counted as "after" and an undefined one (NaN, or the same
// infinity on both sides) as equal.
int _compare(const void *a, const void *b) noexcept {
    float fa, fb;
    std::memcpy(&fa, static_cast<const char *>(a) + 4, sizeof fa);
    std::memcpy(&fb, static_cast<const char *>(b) + 4, sizeof fb);
    const float d = fa - fb;
    if (d < 0.0f)
        return -1;
    if (d >= 0.0f)
        return 1;
    return 0;
}

MX_CHECK_EXPORT_TABLE()

}  // namespace mx
