// radix_sort.cpp -- the sort of the five orders: a specialised in-place
// radix sort on the triples' key (see the key kernel, ../kernels/keys.h),
// with the comparison sort (comparison_sort.h) as its fallback.  Its plan
// and workspace are in radix_plan.h, its passes over a range in
// radix_passes.h; here are the walk over the splits (RadixSorter) and the
// entry, which scans the input once before choosing a path.
//
// Nothing here touches the interpreter, nor includes Python.h: every
// function is callable without the GIL, on any thread.  Every path keeps its
// stack use small and bounded (well under 8 KiB, whatever the input): what
// the radix sort needs beyond that lives in a per-thread workspace on the
// heap.
#include "radix_sort.h"

#include "comparison_sort.h"
#include "radix_passes.h"

#include <algorithm>
#include <cassert>
#include <cstdint>

namespace mx {

namespace {

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
