// parallel.cpp -- the multi-threaded kernels of morvex.utils.triples (see
// parallel.h).
//
// The split: one parallel pass finds the bits that vary among the rows, one
// counts each thread's rows per bucket of the leading bits, and a prefix
// sum over (bucket, thread) gives every thread its own output range per
// bucket.  A copy is then scattered into those ranges; an in-place sort
// moves its rows by a speculative permutation in rounds (each thread owns a
// share of every bucket's still unsettled range and swaps rows only within
// its shares; rows that found no room are gathered at the ends of the
// buckets and settled by the next round, the last round on one thread).
// Buckets far larger than a thread's share are split again the same way;
// the others are sorted by the caller's sort, largest first, each on one
// thread.
#include "parallel.h"

#include "../kernels/distribute.h"
#include "../kernels/keys.h"
#include "../kernels/prefetch.h"
#include "workers.h"

#include <algorithm>
#include <atomic>
#include <type_traits>
#include <utility>


namespace mx {
namespace par {
namespace {

// Below this many rows per thread, waking threads costs more than they save
// (measured: see the benchmark suite's threads rows).  The tests lower it,
// to run the parallel paths on small tables.
std::atomic<size_t> rows_per_thread{size_t{1} << 17};
// The digit: wide enough for a few buckets per thread (dealing them out
// largest first balances the threads), and for buckets of about
// 2^kBucketTargetBits rows, which the sort of a bucket finishes in a single
// leaf split, as the single-threaded sort of the whole table would; narrow
// enough that a thread's output streams, one per bucket, stay in its
// caches; and not so wide that buckets get smaller than 2^kBucketRowsBits
// rows.
constexpr int kMinDigitBits = 7;
constexpr int kMaxDigitBits = 10;
constexpr int kBucketRowsBits = 12;
constexpr int kBucketTargetBits = 14;
// Speculative rounds before the rest is settled on one thread.
constexpr int kParallelRounds = 4;

using keys::bit_length;

// Calls f(row) for rows [lo, hi) of r.
template <class F>
inline void visit(const Rows &r, size_t lo, size_t hi, F &&f) {
    if (r.records) {
        const Triple *p = reinterpret_cast<const Triple *>(r.data);
        for (size_t i = lo; i < hi; ++i)
            f(p[i]);
        return;
    }
    for (size_t i = lo; i < hi; ++i)
        f(r.row(i));
}

// The leading bits of the key of the order comparing fields F0, F1, F2:
// the top `width` bits of its packed key (the bits that vary among the
// rows, in the order's field sequence).  Ordered like the rows, so every
// bucket's rows sort before the next bucket's.
template <int F0, int F1, int F2>
class Digit {
public:
    // diff: the bits in which some row's fields (in record order) differ
    // from the first row's
    Digit(const uint32_t diff[3], size_t n, int threads) : key_(diff) {
        const int total = key_.bits();
        const int wanted = std::min(kMaxDigitBits, std::max({kMinDigitBits, bit_length(uint32_t(threads)) + 5,
                                                             bit_length(uint32_t(n >> kBucketTargetBits))}));
        width_ = std::min({total, wanted, std::max(1, bit_length(static_cast<uint32_t>(n >> kBucketRowsBits)))});
        shift_ = total - width_;
        first_only_ = shift_ >= key_.bits_after_first();
        first_shift_ = first_only_ ? shift_ - key_.bits_after_first() : 0;
    }

    bool operator==(const Digit &o) const { return key_ == o.key_ && width_ == o.width_ && shift_ == o.shift_; }
    unsigned buckets() const { return 1u << width_; }
    unsigned operator()(const Triple &t) const {
        if (first_only_)  // the usual case: the digit lies in the first field
            return key_.first_part(t) >> first_shift_;
        return static_cast<unsigned>(key_(t) >> shift_);
    }

private:
    keys::PackedKey<F0, F1, F2> key_;
    int width_, shift_;
    bool first_only_;
    int first_shift_;
};

// The split of rows r: the digit and each part's count of rows per bucket
// (counts[p * K + b]), from one parallel pass.  The digit is first guessed
// from a sample of the rows; the pass finds the bits that really vary while
// it counts, and counts again only when they make another digit.
template <int F0, int F1, int F2>
struct Split {
    Split(const Rows &r, int threads) : digit(guess(r), r.n, threads) {
        std::vector<keys::Varying> part_bits(static_cast<size_t>(threads));
        auto pass = [&](const Digit<F0, F1, F2> &d, bool find_bits) {
            const unsigned K = d.buckets();
            counts.assign(static_cast<size_t>(threads) * K, 0);
            auto task = [&](int p) {
                size_t *c = &counts[static_cast<size_t>(p) * K];
                const size_t lo = part_begin(r.n, p, threads), hi = part_begin(r.n, p + 1, threads);
                if (find_bits) {
                    keys::Varying mine = bits.restart();
                    if (r.records)
                        mine.add_each(reinterpret_cast<const Triple *>(r.data) + lo, hi - lo,
                                      [&](const Triple &t) { ++c[d(t)]; });
                    else
                        visit(r, lo, hi, [&](const Triple &t) {
                            mine.add(t);
                            ++c[d(t)];
                        });
                    part_bits[static_cast<size_t>(p)] = mine;
                } else {
                    visit(r, lo, hi, [&](const Triple &t) { ++c[d(t)]; });
                }
            };
            workers::run(threads, threads, task);
        };
        pass(digit, true);
        for (const keys::Varying &part : part_bits)
            bits.merge(part);
        const Digit<F0, F1, F2> exact(bits.diff, r.n, threads);
        if (!(exact == digit)) {
            digit = exact;
            pass(digit, false);
        }
    }

    // true when all rows are equal
    bool uniform() const { return bits.uniform(); }

    // The buckets' ranges in the split rows: bucket b is [r[b], r[b + 1]).
    std::vector<size_t> bounds(int threads) const {
        const unsigned K = digit.buckets();
        std::vector<size_t> r(K + 1, 0);
        for (unsigned b = 0; b < K; ++b) {
            size_t size = 0;
            for (int p = 0; p < threads; ++p)
                size += counts[static_cast<size_t>(p) * K + b];
            r[b + 1] = r[b] + size;
        }
        return r;
    }

    keys::Varying bits;  // over the rows, from the first
    Digit<F0, F1, F2> digit;
    std::vector<size_t> counts;

private:
    // The varying bits of about 4096 rows spread over r.
    const uint32_t *guess(const Rows &r) {
        visit(r, 0, 1, [&](const Triple &t) { bits = keys::Varying(t); });
        const size_t step = std::max<size_t>(1, r.n / 4096);
        for (size_t i = r.n - 1;; i -= std::min(i, step)) {
            visit(r, i, i + 1, [&](const Triple &t) { bits.add(t); });
            if (i == 0)
                break;
        }
        return bits.diff;
    }
};

template <int F0, int F1, int F2>
void sort_in_place(Triple *a, size_t n, const Order &order, int threads, int depth);

// For buckets that need nothing once sorted.
inline void nothing(size_t) {}

// Splits of a split (of a bucket far larger than a thread's share) at most.
constexpr int kMaxDepth = 8;

// Sorts every bucket a[bounds[b], bounds[b + 1]), then calls sorted(b),
// on the thread that sorted it, while the bucket is still in its caches.
// One far larger than a thread's share is split again on all threads; the
// others go to the threads one each, largest first.
template <int F0, int F1, int F2, class Sorted>
void sort_buckets(Triple *a, const std::vector<size_t> &bounds, const Order &order, int threads, int depth,
                  const Sorted &sorted) {
    const size_t K = bounds.size() - 1, n = bounds[K] - bounds[0];
    const size_t large = std::max(n / (2 * static_cast<size_t>(threads)), 2 * rows_per_thread.load(std::memory_order_relaxed));
    std::vector<uint32_t> rest;
    for (size_t b = 0; b < K; ++b) {
        const size_t size = bounds[b + 1] - bounds[b];
        if (size > large && size < n && depth < kMaxDepth) {
            sort_in_place<F0, F1, F2>(a + bounds[b], size, order, threads, depth + 1);
            sorted(b);
        } else if (size > 1) {
            rest.push_back(static_cast<uint32_t>(b));
        } else {
            sorted(b);
        }
    }
    std::sort(rest.begin(), rest.end(), [&](uint32_t x, uint32_t y) {
        const size_t sx = bounds[x + 1] - bounds[x], sy = bounds[y + 1] - bounds[y];
        return sx != sy ? sx > sy : x < y;
    });
    auto task = [&](int i) {
        const size_t b = rest[static_cast<size_t>(i)];
        order.sort(a + bounds[b], static_cast<int>(bounds[b + 1] - bounds[b]), order.cmp);
        sorted(b);
    };
    workers::run(threads, static_cast<int>(rest.size()), task);
}

// Moves the strays of a bucket to its end.  The bucket's unsettled range
// [head, end) was split into `parts` shares, share p [lo(p), hi(p)) having
// its settled rows in [lo(p), h(p)) and its strays after them.  Strays
// before the cut (the start of the bucket's last `strays` slots) trade
// places with settled rows after it; nothing else moves.  Returns the cut.
template <class H>
size_t gather(Triple *a, size_t head, size_t end, int parts, const H &h) {
    const size_t len = end - head;
    auto lo = [&](int p) { return head + part_begin(len, p, parts); };
    size_t strays = 0;
    for (int p = 0; p < parts; ++p)
        strays += lo(p + 1) - h(p);
    const size_t cut = end - strays;
    int sp = 0, rp = 0;  // the shares whose strays and settled rows are walked
    size_t s = h(0), r = std::max(lo(0), cut);
    for (;;) {
        while (sp < parts && s >= std::min(lo(sp + 1), cut))
            if (++sp < parts)
                s = h(sp);
        while (rp < parts && r >= h(rp))
            if (++rp < parts)
                r = std::max(lo(rp), cut);
        if (sp == parts || rp == parts)
            return cut;
        std::swap(a[s++], a[r++]);
    }
}

// Moves the rows of a[0, n) into the buckets a[bounds[b], bounds[b + 1])
// of their digit, in speculative rounds (see the file comment); head[b]:
// where bucket b's unsettled rows begin, bounds[b] on entry.
template <class C, class D>
void permute(Triple *a, size_t n, const D &digit, const std::vector<size_t> &bounds, std::vector<size_t> &head,
             int threads) {
    const unsigned K = digit.buckets();
    std::vector<C> share(2 * static_cast<size_t>(threads) * K);
    std::vector<unsigned> open(static_cast<size_t>(threads) * K);
    size_t unsettled = n;
    for (int round = 0; unsettled > 0; ++round) {
        const int parts = round < kParallelRounds && unsettled > n / 64 ? threads : 1;
        for (int p = 0; p < parts; ++p) {
            C *h = &share[2 * static_cast<size_t>(p) * K];
            for (unsigned b = 0; b < K; ++b) {
                const size_t left = bounds[b + 1] - head[b];
                h[b] = static_cast<C>(head[b] + part_begin(left, p, parts));
                h[K + b] = static_cast<C>(head[b] + part_begin(left, p + 1, parts));
            }
        }
        auto task = [&](int p) {
            C *h = &share[2 * static_cast<size_t>(p) * K];
            // its shares a[h[b], h[K + b]) distributed in place; what is left in
            // them (strays) belongs to buckets whose share here is full
            dist::sweep<dist::WhenFull::kStay>(a, h, h + K, K, digit, &open[static_cast<size_t>(p) * K]);
        };
        workers::run(threads, parts, task);
        if (parts == 1)
            break;  // one thread owning every share settles every row
        // the strays of each bucket to its end, for the next round
        auto strays_to_end = [&](int b) {
            head[b] = gather(a, head[b], bounds[b + 1], parts,
                             [&](int p) { return size_t{share[2 * static_cast<size_t>(p) * K + b]}; });
        };
        workers::run(threads, static_cast<int>(K), strays_to_end);
        unsettled = 0;
        for (unsigned b = 0; b < K; ++b)
            unsettled += bounds[b + 1] - head[b];
    }
}

template <int F0, int F1, int F2>
void sort_in_place(Triple *a, size_t n, const Order &order, int threads, int depth) {
    const Rows rows{reinterpret_cast<const char *>(a), sizeof(Triple), 4, n, true};
    const Split<F0, F1, F2> split(rows, threads);
    if (split.uniform())
        return;  // all rows are equal

    const std::vector<size_t> bounds = split.bounds(threads);
    std::vector<size_t> head(bounds.begin(), bounds.end() - 1);
    if (n <= UINT32_MAX)
        permute<uint32_t>(a, n, split.digit, bounds, head, threads);
    else
        permute<size_t>(a, n, split.digit, bounds, head, threads);
    sort_buckets<F0, F1, F2>(a, bounds, order, threads, depth, nothing);
}

// Copies rows `src` to the buckets dst[bounds[b], bounds[b + 1]) of their
// digit, part p of the rows by thread p, given each part's counts per
// bucket.  False when a row found its range full: the rows changed since
// they were counted (another thread writing them), and the copy is
// incomplete.  C: the cursors' type, 32 bits where the rows allow.
template <class C, class D>
bool scatter(const Rows &src, Triple *dst, const D &digit, const std::vector<size_t> &counts,
             const std::vector<size_t> &bounds, int threads) {
    const unsigned K = digit.buckets();
    // part p's rows of bucket b go to dst[next[p * K + b], end[p * K + b])
    std::vector<C> next(counts.size()), end(counts.size());
    for (unsigned b = 0; b < K; ++b) {
        size_t at = bounds[b];
        for (int p = 0; p < threads; ++p) {
            const size_t i = static_cast<size_t>(p) * K + b;
            next[i] = static_cast<C>(at);
            at += counts[i];
            end[i] = static_cast<C>(at);
        }
    }
    std::atomic<bool> changed{false};
    auto task = [&](int p) {
        const D d = digit;  // a copy, which the row stores cannot alias
        C *const cur = &next[static_cast<size_t>(p) * K];
        const C *const stop = &end[static_cast<size_t>(p) * K];
        bool full = false;
        visit(src, part_begin(src.n, p, threads), part_begin(src.n, p + 1, threads), [&](const Triple &t) {
            const unsigned b = d(t);
            const C i = cur[b];
            if (i < stop[b]) {
                dst[i] = t;
                cur[b] = i + 1;
            } else {
                full = true;
            }
        });
        if (full)
            changed.store(true, std::memory_order_relaxed);
    };
    workers::run(threads, threads, task);
    return !changed.load(std::memory_order_relaxed);
}

// With `distinct`, also counts each bucket's distinct rows as it is sorted:
// (*distinct)[b + 1] for bucket b.
template <int F0, int F1, int F2>
bool fill_copy(const Rows &src, Triple *dst, const Order &order, int threads, std::vector<size_t> &bounds,
               std::vector<size_t> *distinct) {
    const Split<F0, F1, F2> split(src, threads);
    const unsigned K = split.digit.buckets();

    bounds = split.bounds(threads);
    const bool whole = src.n <= UINT32_MAX ? scatter<uint32_t>(src, dst, split.digit, split.counts, bounds, threads)
                                           : scatter<size_t>(src, dst, split.digit, split.counts, bounds, threads);
    if (!whole)
        return false;
    if (distinct == nullptr) {
        sort_buckets<F0, F1, F2>(dst, bounds, order, threads, 0, nothing);
    } else {
        distinct->assign(K + 1, 0);
        sort_buckets<F0, F1, F2>(dst, bounds, order, threads, 0, [&](size_t b) {
            (*distinct)[b + 1] = distinct_rows(dst + bounds[b], bounds[b + 1] - bounds[b]);
        });
    }
    return true;
}

// Calls f(F0, F1, F2), the order's fields as integral constants.
template <class F>
auto with_fields(const Order &o, F &&f) {
    return keys::with_order(o.id, [&](auto order) {
        using O = decltype(order);
        return f(std::integral_constant<int, O::f0>{}, std::integral_constant<int, O::f1>{},
                 std::integral_constant<int, O::f2>{});
    });
}

}  // namespace

int threads_for(size_t n, int threads) {
    return static_cast<int>(std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(threads), n / rows_per_thread.load(std::memory_order_relaxed))));
}

size_t set_rows_per_thread(size_t rows) {
    return rows_per_thread.exchange(std::max<size_t>(rows, 1));
}

void sort(Triple *a, size_t n, const Order &order, int threads) {
    with_fields(order, [&](auto f0, auto f1, auto f2) {
        sort_in_place<decltype(f0)::value, decltype(f1)::value, decltype(f2)::value>(a, n, order, threads, 0);
    });
}

void sort_rows(Triple *a, size_t n, const Order &order, int threads) {
    const int t = threads_for(n, threads);
    if (t > 1)
        sort(a, n, order, t);
    else
        order.sort(a, static_cast<int>(n), order.cmp);
}

bool SortedCopy::fill(const Rows &src, Triple *dst, const Order &order, int threads, bool count_distinct) {
    dst_ = dst;
    threads_ = threads;
    distinct_.clear();
    const bool filled = with_fields(order, [&](auto f0, auto f1, auto f2) {
        return fill_copy<decltype(f0)::value, decltype(f1)::value, decltype(f2)::value>(
            src, dst, order, threads, bounds_, count_distinct ? &distinct_ : nullptr);
    });
    // distinct rows before each bucket
    for (size_t b = 1; filled && b < distinct_.size(); ++b)
        distinct_[b] += distinct_[b - 1];
    return filled;
}

size_t SortedCopy::distinct() const {
    return distinct_.back();
}

void SortedCopy::write_distinct(Triple *rows, ptrdiff_t *counts) {
    // equal rows share a bucket, so a bucket's first row is a new one
    auto task = [&](int b) {
        const size_t at = distinct_[b];
        write_distinct_counted(dst_ + bounds_[b], bounds_[b + 1] - bounds_[b], rows + at, counts ? counts + at : nullptr);
    };
    workers::run(threads_, static_cast<int>(bounds_.size() - 1), task);
}

}  // namespace par
}  // namespace mx
