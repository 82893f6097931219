// radix_sort.cpp -- the sort of the five orders: a specialised in-place
// radix sort on the triples' key (see the key kernel, ../kernels/keys.h),
// with the comparison sort (comparison_sort.h) as its fallback.
//
// Nothing here touches the interpreter, nor includes Python.h: every
// function is callable without the GIL, on any thread.  Every path keeps its
// stack use small and bounded (well under 8 KiB, whatever the input): what
// the radix sort needs beyond that lives in a per-thread workspace on the
// heap.
#include "radix_sort.h"

#include "comparison_sort.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    bool large;    // its buckets may be finished by large leaf splits
};

// The radix sort's working memory (298 KiB), one per thread.
//
// Small ranges use only the start of `buf` and of the count and cursor
// arrays, which are accessed at the same time.  The gap after `buf` (a whole
// number of 4 KiB pages) sets them 2 KiB apart modulo 4 KiB: a load whose
// address matches a pending store's in its low 12 bits waits for that store
// on common processors, and the leaf split's counts (written) sitting at the
// same page offsets as the records (read) made small sorts a third slower.
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

// A record as its key under order O, the words of the fields it compares
// first and second, then third: what the exchanges below move, writing
// the record back from it.
template <class O>
struct Keyed {
    uint64_t hi;
    uint32_t lo;

    static MX_ALWAYS_INLINE Keyed load(const morvex_Triple *p) {
        return {(uint64_t{keys::word<O::f0>(*p)} << 32) | keys::word<O::f1>(*p), keys::word<O::f2>(*p)};
    }
    // Whether x sorts before y (without a branch between the words).
    static MX_ALWAYS_INLINE bool before(const Keyed &x, const Keyed &y) {
        return (x.hi < y.hi) | ((x.hi == y.hi) & (x.lo < y.lo));
    }
    MX_ALWAYS_INLINE void store(morvex_Triple *p) const {
        int32_t f[3];
        f[O::f0] = static_cast<int32_t>(static_cast<uint32_t>(hi >> 32) ^ 0x80000000u);
        f[O::f1] = static_cast<int32_t>(static_cast<uint32_t>(hi) ^ 0x80000000u);
        f[O::f2] = static_cast<int32_t>(lo ^ 0x80000000u);
        p->head = f[0];
        p->relation = f[1];
        p->tail = f[2];
    }
};

// Puts x and y in order.
template <class O>
MX_ALWAYS_INLINE void exchange(Keyed<O> &x, Keyed<O> &y) {
    // (GCC turns these selects into branches; here the same with masks, as
    // in sort2, measured 1 to 3% slower at 10^7 records)
    const bool swap = Keyed<O>::before(y, x);
    const uint64_t hx = swap ? y.hi : x.hi, hy = swap ? x.hi : y.hi;
    const uint32_t lx = swap ? y.lo : x.lo, ly = swap ? x.lo : y.lo;
    x.hi = hx;
    y.hi = hy;
    x.lo = lx;
    y.lo = ly;
}

// Sorts a[0, 2) by an exchange written with masks, which the compiler
// keeps free of branches: the order of a bucket's two records is a coin
// toss, which a branch would mispredict half the time (measured: 5% faster
// at 10^7 records than the network below applied to the pair).
template <class O>
MX_ALWAYS_INLINE void sort2(morvex_Triple *a) {
    const Keyed<O> x = Keyed<O>::load(a), y = Keyed<O>::load(a + 1);
    const uint64_t swap = uint64_t{0} - uint64_t{Keyed<O>::before(y, x)};
    const uint64_t dh = (x.hi ^ y.hi) & swap;
    const uint32_t dl = (x.lo ^ y.lo) & static_cast<uint32_t>(swap);
    Keyed<O>{x.hi ^ dh, x.lo ^ dl}.store(a);
    Keyed<O>{y.hi ^ dh, y.lo ^ dl}.store(a + 1);
}

// Sorts a[0, 3) by a network of three exchanges.
template <class O>
MX_ALWAYS_INLINE void sort3(morvex_Triple *a) {
    Keyed<O> x = Keyed<O>::load(a), y = Keyed<O>::load(a + 1), z = Keyed<O>::load(a + 2);
    exchange(x, y);
    exchange(y, z);
    exchange(x, y);
    x.store(a);
    y.store(a + 1);
    z.store(a + 2);
}

// Moves r (read from *slot) to slot t, and what was at t to *slot.
inline void place(morvex_Triple *a, morvex_Triple *slot, const morvex_Triple &r, uint32_t t) {
    *slot = a[t];
    a[t] = r;
    prefetch_write(reinterpret_cast<uintptr_t>(a + t) + kSlotAhead * sizeof(morvex_Triple));
}

// Counts the digits of a[0, n) into cnt[0, buckets).  (Here and below the
// digit is taken by value: a record store could alias a digit read through
// a reference, which would then be read again after every store.)
template <class D, class C>
void count_digits(const morvex_Triple *a, uint32_t n, D digit_of, unsigned buckets, C *cnt) {
    std::fill(cnt, cnt + buckets, C{0});
    for (uint32_t i = 0; i < n; ++i) {
        prefetch_read(reinterpret_cast<uintptr_t>(a + i) + kScanAhead * sizeof(morvex_Triple));
        ++cnt[digit_of(a[i])];
    }
}

// Copies record t of a (t itself, not a copy) to the same index of out and
// counts its digit into cnt: copy_counting() one record at a time, for
// scans that do more with each record.  `kAhead`: a is read ahead (a range
// that may not be cached).
template <bool kAhead, class D, class C>
MX_ALWAYS_INLINE void copy_one(const morvex_Triple *a, const morvex_Triple &t, D digit_of, C *cnt,
                               morvex_Triple *out) {
    if constexpr (kAhead)
        prefetch_read(reinterpret_cast<uintptr_t>(&t) + kScanAhead * sizeof(morvex_Triple));
    // (Each record is read whole before anything is written, here and in
    // scatter: a store could alias the rest of the record, and a load
    // behind it would then wait on it.)
    const morvex_Triple r = t;
    out[&t - a] = r;
    ++cnt[digit_of(r)];
}

// Copies a[0, n) to out[0, n) and counts the copy's digits into cnt[0,
// buckets): the counts match the copy whatever other threads do to `a`.
template <bool kAhead = false, class D, class C>
inline void copy_counting(const morvex_Triple *a, uint32_t n, D digit_of, unsigned buckets, C *cnt,
                          morvex_Triple *out) {
    std::fill(cnt, cnt + buckets, C{0});
    for (uint32_t i = 0; i < n; ++i)
        copy_one<kAhead>(a, a[i], digit_of, cnt, out);
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
void scatter(const morvex_Triple *a, uint32_t n, D digit_of, unsigned buckets,
             const uint32_t *cnt, morvex_Triple *out, Workspace &ws) {
    uint32_t *const next = ws.next;
    bucket_starts(cnt, buckets, next);
    for (uint32_t i = 0; i < n; ++i) {
        const morvex_Triple r = a[i];  // read whole before the store (see copy_counting)
        out[next[digit_of(r)]++] = r;
    }
}

// Turns the counts next[0, buckets) of a leaf split into the starts of
// their buckets, and returns the largest count.  kMark: also marks each
// bucket of two records or more in crowded[], a bit per bucket.  A leaf
// has at most kLargeLeaf records, so the counts and sums fit 15 bits; where
// SSE2 is there (always on x86-64), eight buckets are summed at a time:
// one bucket at a time, this loop cost a large leaf about as much as
// sorting its crowded buckets.
template <bool kMark>
inline uint32_t leaf_starts(uint16_t *next, unsigned buckets, uint64_t *crowded) {
    static_assert(kLargeLeaf < 0x8000, "signed 16-bit lanes");
    unsigned b = 0;
    uint32_t sum = 0, largest = 0;
    uint64_t word = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1);
    __m128i base = zero, most = zero;  // the sum so far in every lane; the largest count per lane
    for (; b + 8 <= buckets; b += 8) {
        __m128i *const p = reinterpret_cast<__m128i *>(next + b);
        const __m128i c = _mm_loadu_si128(p);
        __m128i s = _mm_add_epi16(c, _mm_slli_si128(c, 2));  // the sums up to each lane
        s = _mm_add_epi16(s, _mm_slli_si128(s, 4));
        s = _mm_add_epi16(s, _mm_slli_si128(s, 8));
        _mm_storeu_si128(p, _mm_add_epi16(base, _mm_sub_epi16(s, c)));
        s = _mm_shufflehi_epi16(_mm_add_epi16(s, base), 0xff);
        base = _mm_unpackhi_epi64(s, s);
        most = _mm_max_epi16(most, c);
        if constexpr (kMark) {
            const int many = _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpgt_epi16(c, one), zero));
            word |= uint64_t{static_cast<uint8_t>(many)} << (b & 63);
            if ((b & 63) == 56) {
                crowded[b >> 6] = word;
                word = 0;
            }
        }
    }
    sum = static_cast<uint16_t>(_mm_cvtsi128_si32(base));
    most = _mm_max_epi16(most, _mm_srli_si128(most, 8));
    most = _mm_max_epi16(most, _mm_srli_si128(most, 4));
    most = _mm_max_epi16(most, _mm_srli_si128(most, 2));
    largest = static_cast<uint16_t>(_mm_cvtsi128_si32(most));
#endif
    for (; b < buckets; ++b) {
        const uint32_t c = next[b];
        next[b] = static_cast<uint16_t>(sum);
        sum += c;
        largest = std::max(largest, c);
        if constexpr (kMark) {
            word |= uint64_t{c > 1} << (b & 63);
            if ((b & 63) == 63) {
                crowded[b >> 6] = word;
                word = 0;
            }
        }
    }
    if (kMark && buckets % 64 != 0)
        crowded[buckets / 64] = word;
    return largest;
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
void distribute(morvex_Triple *a, D digit_of, unsigned buckets, const uint32_t *cnt,
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
                prefetch_write(reinterpret_cast<uintptr_t>(p) + kSweepAhead * sizeof(morvex_Triple));
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
// than kMaxBits) a single level is taken instead of two: of up to kWideBits
// (a range of a million records then needs one in-place pass, not two), or
// else of up to kLargeWideBits towards buckets of about
// 2^kLargeLeafTargetBits records, which large leaf splits finish (`large`):
// ten million records then need one pass over main memory, not two.
inline int split_width(uint32_t n, bool wide_ok, bool &large) {
    large = false;
    const int bits = std::max(1, bit_length(n) - kLeafTargetBits);
    if (wide_ok && bits <= kWideBits)
        return std::max(kMinBits, bits);
    if (wide_ok && bit_length(n) - kLargeLeafTargetBits <= kLargeWideBits) {
        large = true;
        return bit_length(n) - kLargeLeafTargetBits;
    }
    const int levels = (bits + kMaxBits - 1) / kMaxBits;
    return std::max(kMinBits, (bits + levels - 1) / levels);
}

// The digit width of a leaf split of n records: about one record per
// bucket, or two buckets per record in a large leaf (n > kBuffered), whose
// crowded buckets cost more than the counts it sums: at 10^7 records, that
// cuts them to a third and sorts 4% faster.
inline int leaf_width(uint32_t n) {
    static_assert(2 * kLargeLeaf <= 1u << kLeafMaxBits, "leaf digits");
    return std::min(kLeafMaxBits, std::max(kMinBits, bit_length(n) + (n > kBuffered ? 1 : 0)));
}

template <class O>
class RadixSorter {
public:
    RadixSorter(const KeyLayout &layout, Workspace &ws) : layout_(layout), ws_(ws) {}

    // Sorts a[0, n), whose keys agree above bit `pos`; `large`: by a large
    // leaf split when n allows.
    void sort(morvex_Triple *a, uint32_t n, int pos, bool large = false) {
        start(a, n, pos, large);
        finish();
    }

    // Sorts a[0, n) given the counts of its digit of `width` bits at key bit
    // 0, counts[0, 2^width) (taken while scanning the input), and whether
    // that digit is the width for large leaves (see split_width).
    void sort_counted(morvex_Triple *a, uint32_t n, int width, bool large, const uint32_t *counts) {
        uint32_t *const cnt = ws_.pool + used_;
        layout_.with_digit(0, width, [&](const auto &digit_of, int w) {
            if (w == width)
                std::copy(counts, counts + (1u << w), cnt);
            else
                count_digits(a, n, digit_of, 1u << w, cnt);
            split_counted(a, n, digit_of, w, w, large && w == width);
            return true;
        });
        finish();
    }

    // Sorts a[0, n) (kBuffered < n <= kLargeLeaf) by one leaf split, the
    // caller having copied it to the buffer and, when `counted`, counted
    // there the digit of `width` bits at key bit 0 as this layout lays it
    // out (which is then the digit with_digit gives, of the same width).
    void sort_copied_leaf(morvex_Triple *a, uint32_t n, int width, bool counted) {
        const bool split = layout_.with_digit(0, width, [&](const auto &digit_of, int w) {
            if (!counted)
                count_digits(ws_.buf, n, digit_of, 1u << w, ws_.leaf);
            return leaf_from_buffer(a, n, digit_of, w, w);
        });
        if (split)
            finish();
        else  // one digit in every record: the usual path finds where they differ
            sort(a, n, 0, true);
    }

private:
    // Splits a[0, n), whose keys agree above bit `pos`, and opens a frame for
    // its buckets; a range of equal records needs nothing.  `large_leaf`: a
    // range of up to kLargeLeaf records may be finished by one leaf split
    // (its parent split chose its width for that).
    void start(morvex_Triple *a, uint32_t n, int pos, bool large_leaf) {
        if (leaf_ok_ && (n <= kBuffered || (large_leaf && n <= kLargeLeaf))) {
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
        bool large = false;  // the width wanted leaves large leaf splits
        int wanted = 0;
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
            split_counted(a, n, digit_of, width, pos + width, large && width == wanted);
            return true;
        };
        while (pos < layout_.bits()) {
            wanted = n <= kBuffered ? digit_width(n) : split_width(n, wide_ok_, large);
            if (layout_.with_digit(pos, wanted, step))
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

    // A leaf split: a[0, n) (at most kLargeLeaf records) is copied to the
    // buffer while its digits are counted, and scattered back in digit order
    // on a digit wide enough to leave buckets of about one record; the
    // buckets that received several are then sorted in place.  The rare
    // bucket of more than kInsertion records makes it a split like the
    // others instead, whose buckets are finished as a split's are, by the
    // pool-based path (leaf_ok_ off), so that only one leaf split is open at
    // a time and its counts have one place.  Returns false, moving nothing,
    // when every record has the same digit.
    //
    // Everything after the copy reads the buffer only, which the counts
    // match whatever other threads do to `a`.
    template <class D>
    bool leaf(morvex_Triple *a, uint32_t n, D digit_of, int width, int pos) {
        if (n > kBuffered)  // (from main memory: read ahead)
            copy_counting<true>(a, n, digit_of, 1u << width, ws_.leaf, ws_.buf);
        else
            copy_counting(a, n, digit_of, 1u << width, ws_.leaf, ws_.buf);
        return leaf_from_buffer(a, n, digit_of, width, pos);
    }

    // The leaf split of a[0, n) after its copy to the buffer and the count
    // of its digits there.
    template <class D>
    bool leaf_from_buffer(morvex_Triple *a, uint32_t n, D digit_of, int width, int pos) {
        const unsigned buckets = 1u << width;
        static_assert(kLargeLeaf <= 0xffff, "leaf counts are 16-bit");
        uint16_t *const next = ws_.leaf;  // counts, then bucket cursors
        const morvex_Triple *const buf = ws_.buf;
        // Large leaves mark their crowded buckets (two records or more) as
        // the counts are summed, a bit per bucket; small ones are in the
        // first-level cache, where one insertion sort over them finishes
        // them at less cost.
        const bool large = n > kBuffered;
        if (next[digit_of(buf[0])] == n)
            return false;
        const uint32_t largest =
            large ? leaf_starts<true>(next, buckets, ws_.crowded) : leaf_starts<false>(next, buckets, nullptr);
        for (uint32_t i = 0; i < n; ++i) {
            const morvex_Triple r = buf[i];
            a[next[digit_of(r)]++] = r;
        }

        // next[b] is now the end of bucket b.  Usually every bucket is small.
        if (largest <= kInsertion) {
            if (large)
                sort_crowded(a, buckets);
            else
                insertion_sort<O>(a, n);
            return true;
        }
        open_frame(a, pos, buckets, nullptr, false);
        leaf_ok_ = false;
        return true;
    }

    // Sorts the buckets of a leaf split of a that received more than one
    // record, marked in ws_.crowded; their ends are in ws_.leaf.  They are
    // taken in bucket order, which walks the records forward.  Most hold
    // two records (four in five on graph-like data, nine in ten on
    // full-range), which one exchange free of branches puts in order; three
    // take a network of three exchanges, more an insertion sort.
    void sort_crowded(morvex_Triple *a, unsigned buckets) {
        const uint16_t *const ends = ws_.leaf;
        for (unsigned w = 0; w < (buckets + 63) / 64; ++w) {
            for (uint64_t word = ws_.crowded[w]; word != 0; word &= word - 1) {
                const unsigned d = w * 64 + static_cast<unsigned>(lowest_bit(word));
                const uint32_t end = ends[d], start = d > 0 ? ends[d - 1] : 0;
                if (end - start == 2)
                    sort2<O>(a + start);
                else if (end - start == 3)
                    sort3<O>(a + start);
                else
                    insertion_sort<O>(a + start, end - start);
            }
        }
    }

    // Splits a[0, n) on `digit_of` (`width` bits; the counts are at the top of
    // the pool) and opens a frame that sorts each bucket on the key bits from
    // `pos` on.  A range of at most kBuffered records has been copied to the
    // buffer as it was counted (see start), and is scattered back from there.
    template <class D>
    void split_counted(morvex_Triple *a, uint32_t n, D digit_of, int width, int pos, bool large) {
        const uint32_t *const cnt = ws_.pool + used_;
        const unsigned buckets = 1u << width;
        if (n <= kBuffered)
            scatter(ws_.buf, n, digit_of, buckets, cnt, a, ws_);
        else
            distribute(a, digit_of, buckets, cnt, ws_);
        open_frame(a, pos, buckets, cnt, large);
        used_ += buckets;
        if (width > kMaxBits)
            wide_ok_ = false;
    }

    void open_frame(morvex_Triple *a, int pos, unsigned buckets, const uint32_t *counts, bool large) {
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
        f.large = large;
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
                start(a + next, size, f.pos, f.large);  // may open a frame above f
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
constexpr uint32_t kLeafSample = 64;  // records sampled for a leaf-sized input's digit

template <class O>
void fast_sort(morvex_Triple *a, uint32_t n) {
    if (n <= kDirectInsertion) {
        insertion_sort<O>(a, n);
        return;
    }

    // One scan finds whether the input is already in order and which bits
    // of each field vary.  For large inputs it also counts the first digit
    // of the key as a sample of the input lays it out; when the full scan
    // agrees on that digit_of, the counts stand.  An input that one leaf
    // split sorts is copied to the buffer by that scan (see below).
    Varying vary(a[0]);
    uint32_t i = 1;
    for (; i < n && !O::less(a[i], a[i - 1]); ++i)
        vary.add(a[i]);
    if (i == n)
        return;

    Workspace *const ws = thread_workspace();
    if (ws == nullptr) {
        // The same sequence, in place: the order ties only equal records.
        sorting::comparison_sort(a, n, OrderLess<O>{});
        return;
    }

    bool large = false;
    const int width = split_width(n, true, large);
    uint32_t *const counts = ws->first_counts;
    bool counted = false;
    Varying sampled = vary;
    const bool fused = n >= kFusedFrom, leaf_sized = n > kBuffered && n <= kLargeLeaf;
    if (fused || leaf_sized) {
        const uint32_t step = n / (fused ? kSample : kLeafSample);
        for (uint32_t k = i; k < n; k += step)
            sampled.add(a[k]);
    }
    const KeyLayout guess(O::fields, sampled.diff);
    if (fused && guess.bits() > 0) {
        guess.with_digit(0, width, [&](const auto &digit_of, int w) {
            std::fill(counts, counts + (1u << w), 0u);
            for (uint32_t k = 0; k < i; ++k)
                ++counts[digit_of(a[k])];
            vary.add_each(a + i, n - i, [&](const morvex_Triple &t) {  // t: the record itself
                prefetch_read(reinterpret_cast<uintptr_t>(&t) + kScanAhead * sizeof(morvex_Triple));
                ++counts[digit_of(t)];
            });
            i = n;
            counted = w == width;
            return true;
        });
    }
    if (leaf_sized && guess.bits() > 0) {
        // One leaf split sorts it (see RadixSorter::start), whose digit is
        // guessed the same way: the copy to the buffer then finds the
        // varying bits and counts that digit, and the input is read once.
        const int lw = leaf_width(n);
        guess.with_digit(0, lw, [&](const auto &digit_of, int w) {
            uint16_t *const cnt = ws->leaf;
            morvex_Triple *const buf = ws->buf;
            std::fill(cnt, cnt + (1u << w), uint16_t{0});
            vary.add_each(a, n, [&](const morvex_Triple &t) { copy_one<true>(a, t, digit_of, cnt, buf); });
            counted = w == lw;
            return true;
        });
        const KeyLayout layout(O::fields, vary.diff);
        if (layout.bits() == 0)
            return;  // (the records changed under us: all equal now)
        RadixSorter<O>(layout, *ws).sort_copied_leaf(a, n, lw, counted && guess.same_leading_digit(layout, lw));
        return;
    }
    vary.add(a + i, n - i);

    const KeyLayout layout(O::fields, vary.diff);
    RadixSorter<O> sorter(layout, *ws);
    if (counted && guess.same_leading_digit(layout, width))
        sorter.sort_counted(a, n, width, large, counts);
    else
        sorter.sort(a, n, 0, n > kBuffered);  // (up to kLargeLeaf records: one leaf split)
}

}  // namespace

void radix_sort(keys::OrderId order, morvex_Triple *a, uint32_t n) noexcept {
    keys::with_order(order, [&](auto o) { fast_sort<decltype(o)>(a, n); });
}

}  // namespace mx
