// membership.cpp -- the membership engine of morvex.utils.triples (see
// membership.h and the comment on membership_of below): the filters over
// triple hashes, the rows a pass over the known rows keeps, and the search.
#include "membership.h"

#include "../kernels/keys.h"
#include "../kernels/prefetch.h"
#include "block.h"
#include "sorted_index.h"
#include "workers.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

namespace mx {
namespace triples {
namespace {

// A hash of the whole triple, for the membership filter, which uses its top
// bits: those of a product depend on every bit of the factors.
inline uint64_t mix(const Triple &t) {
    const uint64_t x = (uint64_t{static_cast<uint32_t>(t.head)} << 32) | static_cast<uint32_t>(t.relation);
    return (x ^ (uint64_t{static_cast<uint32_t>(t.tail)} * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
}

// A filter over triple hashes: 2^bits bits, each entry setting two bits of
// one 64-bit word, so that a test costs one memory access.  A row with both
// of its bits set may be an entry; one with either bit clear is none.
class Filter {
public:
    explicit Filter(int bits) : shift_(64 - (bits - 6)), size_(size_t{1} << (bits - 6)), words_(size_) {
        std::fill(words_.get(), words_.get() + size_, uint64_t{0});
    }

    // The word comes from the top bits of the hash, the two bit positions
    // from its low bits, into which the fold brings the high ones.
    static uint64_t hash(const Triple &t) {
        const uint64_t h = mix(t);
        return h ^ (h >> 29);
    }
    void fetch(uint64_t h) const { prefetch_read(&words_[h >> shift_]); }
    bool may_hold(uint64_t h) const { return (words_[h >> shift_] & mask(h)) == mask(h); }

    // Adds the records of `parts` parts on up to `threads` threads:
    // records(p, add) calls add(a, n) with the records a[0, n) of part p.
    // Threads adding to shared words would have to add atomically, which
    // costs more than it saves: so each thread adds to words of its own
    // (the filter's, or a copy of its size: at most kCopies of them), which
    // are then ORed into the filter's, each thread a range of the words.
    // The words come out the same whatever the threads.
    template <class Records>
    void add(int parts, int threads, const Records &records) {
        const int copies = std::max(1, std::min({parts, threads, kCopies}));
        std::vector<Block<uint64_t>> own;
        for (int c = 1; c < copies; ++c)
            own.emplace_back(size_);
        auto fill = [&](int c) {
            uint64_t *const w = c == 0 ? words_.get() : own[size_t(c - 1)].get();
            if (c > 0)
                std::fill(w, w + size_, uint64_t{0});
            for (int p = c; p < parts; p += copies)
                records(p, [&](const Triple *a, int64_t n) { add(w, a, n); });
        };
        mx::workers::run(copies, copies, fill);
        if (copies == 1)
            return;
        auto merge = [&](int c) {
            const size_t lo = par::part_begin(size_, c, copies), hi = par::part_begin(size_, c + 1, copies);
            for (const Block<uint64_t> &o : own)
                for (size_t k = lo; k < hi; ++k)
                    words_[k] |= o[k];
        };
        mx::workers::run(copies, copies, merge);
    }

private:
    static constexpr int kCopies = 4;

    static uint64_t mask(uint64_t h) { return uint64_t{1} << (h & 63) | uint64_t{1} << (h >> 6 & 63); }

    // Adds records a[0, n) to words w, each word fetched a few records
    // ahead: the words are spread over more than a core's own cache.
    void add(uint64_t *w, const Triple *a, int64_t n) const {
        constexpr int64_t kAhead = 16;
        for (int64_t i = 0; i < std::min(n, kAhead); ++i)
            prefetch_read(&w[hash(a[i]) >> shift_]);
        for (int64_t i = 0; i < n; ++i) {
            if (i + kAhead < n)
                prefetch_read(&w[hash(a[i + kAhead]) >> shift_]);
            const uint64_t h = hash(a[i]);
            w[h >> shift_] |= mask(h);
        }
    }

    int shift_;
    size_t size_;
    Block<uint64_t> words_;
};

// The rows one part of the pass over `known` keeps: a buffer that starts
// small and doubles up to `cap` rows.  A row equal to the one kept last is
// not kept again.
class Kept {
public:
    explicit Kept(int64_t cap) : cap_(cap), size_(std::min<int64_t>(cap, 1 << 16)), rows_(size_t(size_)) {}

    Triple *get() const { return rows_.get(); }
    int64_t count() const { return count_; }
    bool full() const { return count_ == size_; }
    bool at_cap() const { return size_ == cap_; }
    bool repeats(const Triple &t) const { return count_ > 0 && same(rows_[count_ - 1], t); }
    void push(const Triple &t) { rows_[count_++] = t; }
    void clear() { count_ = 0; }

    void grow() {
        const int64_t size = std::min(2 * size_, cap_);
        Block<Triple> bigger(static_cast<size_t>(size));
        std::copy(rows_.get(), rows_.get() + count_, bigger.get());
        rows_ = std::move(bigger);
        size_ = size;
    }

    // Gives up the rows: the buffer goes, nothing is kept any more.
    void release() {
        rows_ = Block<Triple>();
        size_ = count_ = 0;
    }

private:
    int64_t cap_, size_, count_ = 0;
    Block<Triple> rows_;
};

// The distinct queries, sorted and searchable, each marked once a kept row
// equal to it has come by: what kept rows past their cap come down to.  The
// parts of the pass over `known` mark at the same time; each mark is set
// once, by one of them, and counted by that one.
template <int F0, int F1, int F2>
class Seen {
public:
    Seen(const Triple *q, int64_t m, const par::Order &order, int threads)
        : rows_(size_t(m)), distinct_(sort_distinct(q, m, order, threads)),
          index_(rows_.get(), static_cast<uint32_t>(distinct_)), marks_(size_t(distinct_)) {
        for (int64_t i = 0; i < distinct_; ++i)
            new (&marks_[size_t(i)]) std::atomic<bool>(false);
    }

    // Marks the queries among a[0, n); true once every query is marked.
    bool mark(const Triple *a, int64_t n) {
        for (int64_t i = 0; i < n; ++i) {
            const ptrdiff_t at = find(a[i]);
            // read first: a query already marked costs no write to a shared line
            if (at >= 0 && !marks_[at].load(std::memory_order_relaxed) &&
                !marks_[at].exchange(true, std::memory_order_relaxed))
                marked_.fetch_add(1, std::memory_order_relaxed);
        }
        return marked_.load(std::memory_order_relaxed) == distinct_;
    }

    bool marked(const Triple &t) const {
        const ptrdiff_t at = find(t);
        return at >= 0 && marks_[at].load(std::memory_order_relaxed);
    }

private:
    int64_t sort_distinct(const Triple *q, int64_t m, const par::Order &order, int threads) {
        Triple *a = rows_.get();
        std::copy(q, q + m, a);
        par::sort_rows(a, size_t(m), order, threads);
        return int64_t(par::write_distinct_counted(a, size_t(m), a, nullptr));
    }

    ptrdiff_t find(const Triple &t) const {
        const ptrdiff_t b = index_.locate(t);
        return b < 0 ? -1 : index_.find(t, b);
    }

    Block<Triple> rows_;
    int64_t distinct_;
    std::atomic<int64_t> marked_{0};
    SortedIndex<F0, F1, F2> index_;
    Block<std::atomic<bool>> marks_;
};

// Membership of each query row in `known`, for the order comparing fields
// F0, F1, F2.
//
// The queries go first: their hashes make a filter of about 16 bits per
// query (2 MiB for a million, so it stays in cache); one pass over `known`
// keeps only the rows the filter may hold (the true matches and about one
// other row in fifty), and just those are sorted and searched.  A query is
// looked up only when the filter of the kept rows may hold it.  Rows kept
// from a sorted `known` are sorted already.
//
// Memory follows the queries, never `known`: the kept rows have a cap of
// 2m + 4096, which fewer than about 50m known rows never reach.  Rows kept
// past it come down to marks on the distinct queries (Seen), and the pass
// stops early once every query is marked.
//
// Threads: each filter is filled by up to four threads, each in words of
// its own that are then merged (see Filter::add).  The pass over `known` is
// split into parts, one per thread, that share the cap: each keeps its rows
// in its own buffer of at most cap / parts rows, and the parts' rows are
// closed up in order afterwards (one copy of them, made on the threads), so
// a sorted `known` still gives sorted kept rows.  A part that finds its
// buffer full stops there; the distinct queries are then sorted once, on
// this thread, and every part goes on from where it stopped, marking them.
// The searches are split into parts too, and so is the filling of the kept
// rows' directory.  Every answer is exact either way, so none depends on
// the number of threads.
template <int F0, int F1, int F2>
void membership_of(const par::Rows &known, const Triple *q, int64_t m, const par::Order &order, bool assume_sorted,
                   bool *out, int threads) {
    int bits = 12;
    while (bits < 31 && (int64_t{1} << bits) < 16 * m)
        ++bits;
    Filter query_filter(bits);
    const int query_parts = par::threads_for(size_t(m), threads);
    query_filter.add(query_parts, threads, [&](int p, const auto &add) {
        const size_t lo = par::part_begin(size_t(m), p, query_parts);
        add(q + lo, int64_t(par::part_begin(size_t(m), p + 1, query_parts) - lo));
    });

    // Part p reads rows [next, end) of `known`; `failed` is the byte count
    // of an allocation it could not make.
    struct Part {
        Part(int64_t begin, int64_t stop, int64_t cap) : next(begin), end(stop), kept(cap) {}
        int64_t next, end;
        Kept kept;
        unsigned long long failed = 0;
    };
    const int64_t n = int64_t(known.n);
    const int parts = par::threads_for(size_t(n), threads);
    const int64_t cap = std::min<int64_t>(2 * m + 4096, INT_MAX) / parts;
    std::vector<Part> part;
    part.reserve(size_t(parts));
    for (int p = 0; p < parts; ++p)
        part.emplace_back(int64_t(par::part_begin(size_t(n), p, parts)),
                          int64_t(par::part_begin(size_t(n), p + 1, parts)), cap);
    std::optional<Seen<F0, F1, F2>> seen;
    std::atomic<bool> all_seen{false}, stop{false};

    // Keeps row t in part r; false when r has to stop: every query is seen
    // (all_seen is set), or its rows are at their cap and the queries not
    // sorted yet.
    auto keep = [&](Part &r, const Triple &t) {
        Kept &kept = r.kept;
        if (kept.repeats(t))
            return true;
        if (kept.full()) {
            if (!kept.at_cap()) {
                kept.grow();
            } else {
                if (!seen)
                    return false;
                if (seen->mark(kept.get(), kept.count())) {
                    all_seen.store(true, std::memory_order_relaxed);
                    return false;
                }
                kept.clear();
            }
        }
        kept.push(t);
        return true;
    };
    // Reads the rest of part r's rows; r.next is where it stopped.
    auto scan = [&](Part &r) {
        const int64_t begin = r.next, end = r.end;
        if (known.records) {
            // the filter words of one block of rows are fetched while the
            // previous block is tested
            constexpr int kBlock = 64;
            const Triple *k = reinterpret_cast<const Triple *>(known.data);
            uint64_t h[2][kBlock];
            for (int64_t block = 0; begin + block * kBlock < end + kBlock; ++block) {
                if (stop.load(std::memory_order_relaxed))
                    return;
                const int64_t start = begin + block * kBlock;
                uint64_t *next = h[block & 1];
                for (int64_t i = start; i < std::min<int64_t>(start + kBlock, end); ++i) {
                    next[i - start] = Filter::hash(k[i]);
                    query_filter.fetch(next[i - start]);
                }
                if (block == 0)
                    continue;
                const uint64_t *prev = h[(block - 1) & 1];
                const int64_t from = start - kBlock;
                for (int64_t i = from; i < std::min(start, end); ++i)
                    if (query_filter.may_hold(prev[i - from]) && !keep(r, k[i])) {
                        r.next = i;
                        return;
                    }
            }
        } else {
            for (int64_t i = begin; i < end; ++i) {
                if (i % 64 == 0 && stop.load(std::memory_order_relaxed))
                    return;
                const Triple t = known.row(size_t(i));
                if (query_filter.may_hold(Filter::hash(t)) && !keep(r, t)) {
                    r.next = i;
                    return;
                }
            }
        }
        r.next = end;
        // once the queries are sorted, what a part kept comes down to marks
        if (seen) {
            if (seen->mark(r.kept.get(), r.kept.count()))
                all_seen.store(true, std::memory_order_relaxed);
            r.kept.clear();
        }
    };
    auto pass = [&](int p) {
        Part &r = part[size_t(p)];
        try {
            scan(r);
        } catch (const NoMemory &e) {  // from a kept buffer's growth
            r.failed = e.bytes;
            stop.store(true, std::memory_order_relaxed);
        }
        if (all_seen.load(std::memory_order_relaxed))
            stop.store(true, std::memory_order_relaxed);
    };
    auto run_pass = [&] {
        mx::workers::run(parts, parts, pass);
        for (const Part &r : part)
            if (r.failed)
                throw NoMemory(r.failed);
    };
    run_pass();
    if (std::any_of(part.begin(), part.end(), [](const Part &r) { return r.next < r.end; })) {
        seen.emplace(q, m, order, threads);  // a part stopped at its cap
        run_pass();
    }

    const int search_parts = par::threads_for(size_t(m), threads);
    if (all_seen.load(std::memory_order_relaxed)) {
        std::fill(out, out + m, true);
        return;
    }
    if (seen) {
        auto answer = [&](int p) {
            const int64_t lo = int64_t(par::part_begin(size_t(m), p, search_parts));
            const int64_t hi = int64_t(par::part_begin(size_t(m), p + 1, search_parts));
            for (int64_t i = lo; i < hi; ++i)
                out[i] = seen->marked(q[i]);
        };
        mx::workers::run(search_parts, search_parts, answer);
        return;
    }

    // the parts' rows, closed up in order (fewer than the cap in all), and
    // their filter, each part's rows added as they are copied
    Block<Triple> joined;
    Triple *kept = part[0].kept.get();
    int64_t kept_count = part[0].kept.count();
    std::vector<int64_t> at(size_t(parts) + 1, 0);  // part p's rows go to kept[at[p], at[p + 1])
    for (int p = 0; p < parts; ++p)
        at[size_t(p) + 1] = at[size_t(p)] + part[size_t(p)].kept.count();
    if (parts > 1) {
        kept_count = at.back();
        joined = Block<Triple>(size_t(kept_count));
        kept = joined.get();
    }
    Filter kept_filter(bits);
    kept_filter.add(parts, threads, [&](int p, const auto &add) {
        const Kept &r = part[size_t(p)].kept;
        Triple *const to = kept + at[size_t(p)];
        if (to != r.get())
            std::copy(r.get(), r.get() + r.count(), to);
        add(to, r.count());
    });
    if (parts > 1)
        for (Part &r : part)
            r.kept.release();
    if (!assume_sorted)
        par::sort_rows(kept, size_t(kept_count), order, threads);  // at most the cap
    const SortedIndex<F0, F1, F2> index(kept, static_cast<uint32_t>(kept_count), threads);

    // Queries in groups, through a pipeline of four steps: while one group
    // is searched, the next has its records fetched, the one after its
    // directory entries and the one after that its filter words; so each
    // fetch has a group's worth of work to arrive in.  Each part of the
    // queries has its own pipeline.
    constexpr int kGroup = 16, kSteps = 4;
    const int64_t groups = (m + kGroup - 1) / kGroup;
    auto search = [&](int p) {
        struct Group {
            int64_t start = 0;
            int count = 0;
            uint64_t h[kGroup];
            ptrdiff_t b[kGroup];
        } ring[kSteps];
        const int64_t first = int64_t(par::part_begin(size_t(groups), p, search_parts));
        const int64_t last = int64_t(par::part_begin(size_t(groups), p + 1, search_parts));
        for (int64_t step = first; step < last + kSteps - 1; ++step) {
            if (step < last) {  // the filter word
                Group &g = ring[step % kSteps];
                g.start = step * kGroup;
                g.count = static_cast<int>(std::min<int64_t>(kGroup, m - g.start));
                for (int j = 0; j < g.count; ++j) {
                    g.h[j] = Filter::hash(q[g.start + j]);
                    kept_filter.fetch(g.h[j]);
                }
            }
            if (step >= first + 1 && step - 1 < last) {  // the directory entry
                Group &g = ring[(step - 1) % kSteps];
                for (int j = 0; j < g.count; ++j)
                    g.b[j] = kept_filter.may_hold(g.h[j]) ? index.locate(q[g.start + j]) : -1;
            }
            if (step >= first + 2 && step - 2 < last) {  // the records
                const Group &g = ring[(step - 2) % kSteps];
                for (int j = 0; j < g.count; ++j)
                    if (g.b[j] >= 0)
                        index.fetch(g.b[j]);
            }
            if (step >= first + 3) {  // the search
                const Group &g = ring[(step - 3) % kSteps];
                for (int j = 0; j < g.count; ++j)
                    out[g.start + j] = g.b[j] >= 0 && index.search(q[g.start + j], g.b[j]);
            }
        }
    };
    mx::workers::run(search_parts, search_parts, search);
}

}  // namespace

void membership(const par::Rows &known, const morvex_Triple *queries, int64_t m, const par::Order &order,
                bool assume_sorted, bool *out, int threads) {
    keys::with_order(order.id, [&](auto o) {
        using O = decltype(o);
        membership_of<O::f0, O::f1, O::f2>(known, queries, m, order, assume_sorted, out, threads);
    });
}

}  // namespace triples
}  // namespace mx
