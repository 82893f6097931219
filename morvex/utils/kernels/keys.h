// keys.h -- the triple as a sort key, for every native kernel of the package:
// the five orders and their table, each field's order-preserving word, the
// bit scans (bit lengths, masks, the bits that vary over a range of
// records), the radix sort's key layout and the packed 64-bit key of the
// searches and the parallel split.
//
// Header-only and free of the interpreter: it needs the triple record
// (triple.h), the C++ standard library and, where the compiler targets SSE2,
// its intrinsics, nothing else, so that sources built without Python.h can
// use it.
#pragma once

#include "../triple.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mx {
namespace keys {

// ---- fields ----------------------------------------------------------------
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

// The order-preserving unsigned image of field F.
template <int F>
inline uint32_t word(const morvex_Triple &t) {
    return static_cast<uint32_t>(field<F>(t)) ^ 0x80000000u;
}

// ---- bit scans -------------------------------------------------------------

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

// The low `bits` bits set (all 32 from 32 on).
inline uint32_t low_mask(int bits) { return bits >= 32 ? 0xffffffffu : (1u << bits) - 1; }

// Four records read as three 16-byte words (as SSE2 code reads them) hold
// the fields in these lanes: kLaneField[w][l] is the field in lane l of
// word w.
constexpr int kLaneField[3][4] = {{kHead, kRel, kTail, kHead}, {kRel, kTail, kHead, kRel}, {kTail, kHead, kRel, kTail}};

// The lanes of field f in such words x, folded into `init` by op.
template <class T, class Op>
T fold_lanes(const T (&x)[3][4], int f, T init, Op op) {
    for (int w = 0; w < 3; ++w)
        for (int l = 0; l < 4; ++l)
            if (kLaneField[w][l] == f)
                init = op(init, x[w][l]);
    return init;
}

// The bits that vary over records: for each field (in record order) the OR of
// (word ^ the first record's word).  A field's bits above its bit length are
// the same in every record added.
struct Varying {
    uint32_t first[3] = {0, 0, 0};
    uint32_t diff[3] = {0, 0, 0};

    Varying() = default;
    explicit Varying(const morvex_Triple &t) : first{word<kHead>(t), word<kRel>(t), word<kTail>(t)} {}

    void add(const morvex_Triple &t) {
        diff[kHead] |= word<kHead>(t) ^ first[kHead];
        diff[kRel] |= word<kRel>(t) ^ first[kRel];
        diff[kTail] |= word<kTail>(t) ^ first[kTail];
    }
    void add(const morvex_Triple *a, size_t n) {
        add_each(a, n, [](const morvex_Triple &) {});
    }
    // Adds a[0, n) and calls f(a[i]) on each record in order (the record
    // itself, not a copy, so f may use its address).  Where SSE2 is there,
    // four records at a time as three 16-byte words: a third of the
    // instructions of adding them field by field, so that the scans that
    // count as they go keep up with reading the memory.
    template <class F>
    void add_each(const morvex_Triple *a, size_t n, F &&f) {
        size_t i = 0;
#if defined(__SSE2__)
        static_assert(sizeof(morvex_Triple) == 12, "three packed fields");
        if (n >= 8) {
            // the first record's fields as stored, in the lanes of each word
            // (three named words, not an array: GCC keeps arrays of them on
            // the stack)
            auto stored = [&](int w, int l) { return static_cast<int>(first[kLaneField[w][l]] ^ 0x80000000u); };
            auto pattern = [&](int w) { return _mm_setr_epi32(stored(w, 0), stored(w, 1), stored(w, 2), stored(w, 3)); };
            const __m128i p0 = pattern(0), p1 = pattern(1), p2 = pattern(2);
            __m128i d0 = _mm_setzero_si128(), d1 = d0, d2 = d0;
            for (; i + 4 <= n; i += 4) {
                const __m128i *x = reinterpret_cast<const __m128i *>(a + i);
                d0 = _mm_or_si128(d0, _mm_xor_si128(_mm_loadu_si128(x), p0));
                d1 = _mm_or_si128(d1, _mm_xor_si128(_mm_loadu_si128(x + 1), p1));
                d2 = _mm_or_si128(d2, _mm_xor_si128(_mm_loadu_si128(x + 2), p2));
                f(a[i]);
                f(a[i + 1]);
                f(a[i + 2]);
                f(a[i + 3]);
            }
            uint32_t x[3][4];
            _mm_storeu_si128(reinterpret_cast<__m128i *>(x[0]), d0);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(x[1]), d1);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(x[2]), d2);
            for (int k = 0; k < 3; ++k)
                diff[k] = fold_lanes(x, k, diff[k], [](uint32_t u, uint32_t v) { return u | v; });
        }
#endif
        for (; i < n; ++i) {
            add(a[i]);
            f(a[i]);
        }
    }
    // Takes in what another scan from the same first record found.
    void merge(const Varying &other) {
        for (int f = 0; f < 3; ++f)
            diff[f] |= other.diff[f];
    }
    // The same first record, nothing seen yet.
    Varying restart() const {
        Varying v = *this;
        v.diff[0] = v.diff[1] = v.diff[2] = 0;
        return v;
    }
    bool uniform() const { return (diff[0] | diff[1] | diff[2]) == 0; }
};

// The bits that vary over a[0, n) (none when n is 0).
inline Varying varying(const morvex_Triple *a, size_t n) {
    if (n == 0)
        return Varying();
    Varying v(a[0]);
    v.add(a + 1, n - 1);
    return v;
}

// ---- the orders ------------------------------------------------------------

// The five orders in the sequence of every table that lists them (the
// exported comparisons cmp_head ... cmp_rel3, the sibling's order names).
enum OrderId : int { kHeadOrder, kTailOrder, kRelOrder, kRel2Order, kRel3Order };
constexpr int kOrderCount = 5;

struct OrderRow {
    const char *name;
    int fields[3];  // compared first, second and third
};

constexpr OrderRow kOrderTable[kOrderCount] = {
    {"head", {kHead, kRel, kTail}}, {"tail", {kTail, kRel, kHead}}, {"rel", {kHead, kTail, kRel}},
    {"rel2", {kRel, kHead, kTail}}, {"rel3", {kRel, kTail, kHead}},
};

// The row of the order comparing f0, f1, f2, or -1.
constexpr int order_id(int f0, int f1, int f2) {
    for (int id = 0; id < kOrderCount; ++id) {
        const int *f = kOrderTable[id].fields;
        if (f[0] == f0 && f[1] == f1 && f[2] == f2)
            return id;
    }
    return -1;
}

// An order: the fields compared first, second and third.
template <int F0, int F1, int F2>
struct Order {
    static constexpr int f0 = F0, f1 = F1, f2 = F2;
    static constexpr int fields[3] = {F0, F1, F2};
    static constexpr OrderId id = static_cast<OrderId>(order_id(F0, F1, F2));
    static_assert(order_id(F0, F1, F2) >= 0, "one of the five orders");

    // The plain definition: signed fields, lexicographically.
    static int lex_less(const morvex_Triple &a, const morvex_Triple &b) {
        if (field<F0>(a) != field<F0>(b))
            return field<F0>(a) < field<F0>(b);
        if (field<F1>(a) != field<F1>(b))
            return field<F1>(a) < field<F1>(b);
        return field<F2>(a) < field<F2>(b);
    }

    // The same order on the unsigned key, with few branches: the sorts'
    // inner comparison.
    static inline bool less(const morvex_Triple &a, const morvex_Triple &b) {
        const uint64_t ha = (uint64_t{word<F0>(a)} << 32) | word<F1>(a);
        const uint64_t hb = (uint64_t{word<F0>(b)} << 32) | word<F1>(b);
        return ha < hb || (ha == hb && word<F2>(a) < word<F2>(b));
    }
};

// Whether two triples are equal: head and relation compared as one word,
// then the tail.  On sorted rows, whether a row repeats its predecessor's
// head, or its relation, is often a coin toss, which a branch on each field
// mispredicts; whether it repeats both is seldom one.
inline bool same(const morvex_Triple &a, const morvex_Triple &b) {
    static_assert(offsetof(morvex_Triple, relation) == offsetof(morvex_Triple, head) + 4, "head, relation");
    uint64_t x, y;
    std::memcpy(&x, &a.head, 8);
    std::memcpy(&y, &b.head, 8);
    return x == y && a.tail == b.tail;
}

using HeadOrder = Order<kHead, kRel, kTail>;
using TailOrder = Order<kTail, kRel, kHead>;
using RelOrder = Order<kHead, kTail, kRel>;
using Rel2Order = Order<kRel, kHead, kTail>;
using Rel3Order = Order<kRel, kTail, kHead>;
static_assert(HeadOrder::id == kHeadOrder && TailOrder::id == kTailOrder && RelOrder::id == kRelOrder &&
                  Rel2Order::id == kRel2Order && Rel3Order::id == kRel3Order,
              "the order types follow the table");

// Calls fn(O{}) with the Order type of row `id`.  The switch names every
// order and has no default, so the compiler reports one left out; `id` must
// be one of the five (an OrderId holding any other value is the caller's
// error, and is not mapped to some order).
template <class Fn>
decltype(auto) with_order(OrderId id, Fn &&fn) {
    switch (id) {
    case kHeadOrder:
        return fn(HeadOrder{});
    case kTailOrder:
        return fn(TailOrder{});
    case kRelOrder:
        return fn(RelOrder{});
    case kRel2Order:
        return fn(Rel2Order{});
    case kRel3Order:
        return fn(Rel3Order{});
    }
#if defined(__GNUC__)
    __builtin_unreachable();
#else
    std::abort();
#endif
}

// ---- the radix sort's key --------------------------------------------------

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

// The full key: the varying bits ("span") of each field, in the order's field
// sequence.  A field's span is its low L bits, L being the bit length of its
// Varying::diff; the bits above are the same in every record.  Fields that
// never vary have no span.  Key bits are counted from the top, 0 being the
// first bit of the first span.
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
        const Varying v = varying(a, n);
        for (int j = 0; j < spans_; ++j)
            if (v.diff[field_[j]])
                return start_[j] + len_[j] - bit_length(v.diff[field_[j]]);
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

// ---- the packed key --------------------------------------------------------

// The varying bits of the order comparing F0, F1, F2 packed into one 64-bit
// key: all of the first two fields' (at most 32 each), then as many leading
// ones of the third as fit.  Keys are ordered like the records; two records
// whose keys are equal differ at most in the third field's low bits.
template <int F0, int F1, int F2>
class PackedKey {
public:
    // diff: a Varying's, in record order
    explicit PackedKey(const uint32_t diff[3]) {
        const int len[3] = {bit_length(diff[F0]), bit_length(diff[F1]), bit_length(diff[F2])};
        const int kept = std::min(len[2], 64 - len[0] - len[1]);
        for (int k = 0; k < 3; ++k)
            mask_[k] = low_mask(len[k]);
        drop_ = len[2] - kept;
        up1_ = len[1];
        up2_ = kept;
        bits_ = len[0] + len[1] + kept;
    }

    uint64_t operator()(const morvex_Triple &t) const {
        uint64_t k = word<F0>(t) & mask_[0];
        k = (k << up1_) | (word<F1>(t) & mask_[1]);
        return (k << up2_) | (uint64_t{word<F2>(t) & mask_[2]} >> drop_);
    }

    // The key's bits; those that follow the first field's.
    int bits() const { return bits_; }
    int bits_after_first() const { return up1_ + up2_; }
    // The first field's part of the key (its top bits).
    uint32_t first_part(const morvex_Triple &t) const { return word<F0>(t) & mask_[0]; }
    // The varying bits of the k-th compared field's word.
    uint32_t mask(int k) const { return mask_[k]; }

    bool operator==(const PackedKey &o) const {
        return std::equal(mask_, mask_ + 3, o.mask_) && drop_ == o.drop_ && up1_ == o.up1_ && up2_ == o.up2_;
    }

private:
    uint32_t mask_[3];
    int drop_;  // the third field's low bits left out
    int up1_, up2_;
    int bits_;
};

}  // namespace keys
}  // namespace mx
