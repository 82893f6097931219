// triples.cpp -- morvex.utils.triples: sorting, deduplicating and searching
// (n, 3) int32 triple tables from Python.
//
// An ordinary consumer of morvex.utils.memory: it includes the public header
// only, fetches the export table with morvex_memory_import() at start and
// reaches the module through that table alone (quick_sort, the five
// orders, load_triple_from_numpy).  From the header-only helpers of
// ../pyhelpers it takes the reference owner, the GIL scopes and the "Python
// exception is set" convention; nothing of the module's own sources.
//
// Results are numpy arrays, made by calling numpy.empty at run time: numpy
// is imported on the first call that needs it, so building this extension
// needs no numpy, and importing it neither.  Every function validates all of
// its inputs, allocates everything it returns, and only then releases the GIL
// for the work proper; a bad input therefore never touches the caller's data.
// The export table is shared with index.cpp, which uses it too.
#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#include "../memory.h"
#include "../pyhelpers/mx_py.h"
#include "../kernels/keys.h"
#include "front.h"
#include "parallel.h"
#include "workers.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include <stdlib.h>
#include <sys/mman.h>

namespace {

const char kSourceFile[] = "morvex\\utils\\src_triples\\triples.cpp";

using mx::Ref;
using mx::WithoutGil;
using Triple = morvex_Triple;
namespace par = mx::par;

using mx::front::Block;
using mx::front::edge;
using mx::front::fail;
using mx::front::flag_arg;
using mx::front::new_array;
using mx::front::new_records;
using mx::front::NoMemory;
using mx::front::parse_threads;
using mx::front::Table;


// ---- orders ------------------------------------------------------------------

namespace keys = mx::keys;
using keys::kHead;
using keys::kRel;
using keys::kTail;

template <int F0, int F1, int F2>
void membership(const Table &known, const Table &queries, morvex_cmp_type cmp, bool assume_sorted, bool *out,
                int threads);

// An order (a row of the key kernel's order table), with its exported
// comparison and its membership search.
struct OrderInfo {
    keys::OrderId id;
    morvex_cmp_type *cmp;  // the exported comparison (a slot of the table)
    decltype(&membership<kHead, kRel, kTail>) membership;  // ... for its fields in order
};

template <class O>
constexpr OrderInfo order_info(morvex_cmp_type *cmp) {
    return OrderInfo{O::id, cmp, membership<O::f0, O::f1, O::f2>};
}

const OrderInfo kOrders[keys::kOrderCount] = {
    order_info<keys::HeadOrder>(&morvex_memory.cmp_head), order_info<keys::TailOrder>(&morvex_memory.cmp_tail),
    order_info<keys::RelOrder>(&morvex_memory.cmp_rel), order_info<keys::Rel2Order>(&morvex_memory.cmp_rel2),
    order_info<keys::Rel3Order>(&morvex_memory.cmp_rel3),
};

// The order for the parallel kernels, which sort through the exported table.
par::Order parallel_order(const OrderInfo &o) { return par::Order{o.id, *o.cmp, morvex_memory.quick_sort}; }

const OrderInfo &parse_order(PyObject *order) {
    if (PyUnicode_Check(order)) {
        for (const OrderInfo &o : kOrders)
            if (PyUnicode_CompareWithASCIIString(order, keys::kOrderTable[o.id].name) == 0)
                return o;
    }
    // the refusal shows what it got, cut short: any object, of any length
    constexpr Py_ssize_t kShown = 60;
    const char *const message = "order must be one of 'head', 'tail', 'rel', 'rel2', 'rel3', not %U%s";
    Ref repr = MX_TAKE(PyObject_Repr(order));
    const Py_ssize_t len = PyUnicode_GetLength(repr.get());
    MX_CHECK(len >= 0);
    if (len <= kShown)
        fail(PyExc_ValueError, message, repr.get(), "");
    Ref cut = MX_TAKE(PyUnicode_Substring(repr.get(), 0, kShown - 3));
    fail(PyExc_ValueError, message, cut.get(), "...");
}


// ---- keys --------------------------------------------------------------------

using keys::bit_length;
using keys::prefetch_read;
using keys::same;
using keys::word;

// A sorted run of triples made searchable, for the order comparing fields
// F0, F1, F2.  The bits that vary among the records are packed into one
// 64-bit key (all of the first two fields' varying bits, then as many
// leading ones of the third as fit); the other bits are the same in every
// record, so a query that differs there is absent at once.  Keys are ordered
// like the records, a tie being broken by the third field's full word.  A
// directory on the key's leading bits narrows each search to a bucket of
// about eight records.
template <int F0, int F1, int F2>
class SortedIndex {
public:
    // The directory is filled on up to `threads` threads.
    SortedIndex(const Triple *a, uint32_t n, int threads = 1) : SortedIndex(a, n, keys::varying(a, n), threads) {}

private:
    SortedIndex(const Triple *a, uint32_t n, const keys::Varying &v, int threads) : a_(a), n_(n), key_(v.diff) {
        if (n == 0)
            return;
        // the bits above the varying ones are common to all records
        const uint32_t base[3] = {v.first[F0], v.first[F1], v.first[F2]};
        for (int k = 0; k < 3; ++k) {
            fixed_[k] = ~key_.mask(k);
            common_[k] = base[k] & fixed_[k];
        }

        // a directory of about one entry per 8 records
        lo_ = key(a[0]);
        hi_ = key(a[n - 1]);
        const int dir_bits = std::max(0, std::min(23, bit_length(n / 8)));
        shift_ = 0;
        while (shift_ < 64 && ((hi_ - lo_) >> shift_) >= (uint64_t{1} << dir_bits))
            ++shift_;
        const size_t entries = (size_t{1} << dir_bits) + 1;
        dir_ = Block<uint32_t>(entries);
        // dir_[b] is the first record of bucket b or later; kept monotone
        // even on an unsorted run, so a search never leaves the run.  In
        // parts: part p fills the entries from top[p], one past the largest
        // bucket of the records before it, to top[p + 1].
        const int parts = par::threads_for(n, threads);
        std::vector<size_t> top(size_t(parts) + 1, 0);
        auto begin = [&](int p) { return static_cast<uint32_t>(par::part_begin(n, p, parts)); };
        auto tops = [&](int p) {
            size_t t = 0;
            for (uint32_t i = begin(p), hi = begin(p + 1); i < hi; ++i)
                t = std::max(t, bucket(key(a[i])) + 1);
            top[size_t(p) + 1] = t;
        };
        if (parts > 1)
            mx::workers::run(parts, parts - 1, tops);  // the last part's is not needed
        for (int p = 0; p < parts; ++p)
            top[size_t(p) + 1] = std::max(top[size_t(p) + 1], top[size_t(p)]);
        auto fill = [&](int p) {
            size_t filled = top[size_t(p)];
            for (uint32_t i = begin(p), hi = begin(p + 1); i < hi; ++i) {
                const size_t b = bucket(key(a[i]));
                while (filled <= b)
                    dir_[filled++] = i;
            }
            if (p == parts - 1)
                top.back() = filled;  // the others end where the next begins
        };
        mx::workers::run(parts, parts, fill);
        for (size_t filled = top.back(); filled < entries;)
            dir_[filled++] = n;
    }

public:
    // Searches come in two steps, so that a caller can interleave the memory
    // accesses of several: locate() finds the bucket (or -1 when the query
    // is absent for sure) and fetches its directory entry, search() finishes.
    ptrdiff_t locate(const Triple &q) const {
        if (n_ == 0)
            return -1;
        if ((word<F0>(q) & fixed_[0]) != common_[0] || (word<F1>(q) & fixed_[1]) != common_[1] ||
            (word<F2>(q) & fixed_[2]) != common_[2])
            return -1;
        const uint64_t qk = key(q);
        if (qk < lo_ || qk > hi_)
            return -1;
        const size_t b = bucket(qk);
        prefetch_read(&dir_[b]);
        return static_cast<ptrdiff_t>(b);
    }

    // Fetches the records of bucket b (once its directory entry is in):
    // the search that follows finds them in cache.
    void fetch(ptrdiff_t b) const {
        const char *const first = reinterpret_cast<const char *>(a_ + dir_[b]);
        const char *const end = reinterpret_cast<const char *>(a_ + dir_[b + 1]);
        for (const char *p = first; p < end && p < first + 3 * 64; p += 64)
            prefetch_read(p);
    }

    bool search(const Triple &q, ptrdiff_t b) const { return find(q, b) >= 0; }

    // The position of the record equal to q, or -1; b as for search().
    ptrdiff_t find(const Triple &q, ptrdiff_t b) const {
        const Triple *p = a_ + dir_[b];
        const Triple *const end = a_ + dir_[b + 1];
        uint32_t len = static_cast<uint32_t>(end - p);
        if (len == 0)
            return -1;
        const uint64_t qk = key(q);
        const uint32_t q3 = word<F2>(q);
        auto before = [&](const Triple &t) {
            const uint64_t k = key(t);
            return k < qk || (k == qk && word<F2>(t) < q3);
        };
        // a bucket holds a few records, which a scan passes fastest; a large
        // one (clustered keys) is first narrowed down by bisection
        while (len > 8) {
            const uint32_t half = len / 2;
            p += before(p[half]) ? half : 0;
            len -= half;
        }
        for (const Triple *const stop = p + len; p < stop && before(*p);)
            ++p;
        return p < end && same(*p, q) ? p - a_ : -1;
    }

private:
    uint64_t key(const Triple &t) const { return key_(t); }

    size_t bucket(uint64_t k) const {
        k = std::min(std::max(k, lo_), hi_);
        return static_cast<size_t>(shift_ >= 64 ? 0 : (k - lo_) >> shift_);
    }

    const Triple *a_;
    uint32_t n_;
    uint32_t fixed_[3] = {0, 0, 0};
    uint32_t common_[3] = {0, 0, 0};
    keys::PackedKey<F0, F1, F2> key_;
    uint64_t lo_ = 0, hi_ = 0;
    int shift_ = 0;
    Block<uint32_t> dir_;
};

// A hash of the whole triple, for the membership filter, which uses its top
// bits: those of a product depend on every bit of the factors.
inline uint64_t mix(const Triple &t) {
    const uint64_t x = (uint64_t{static_cast<uint32_t>(t.head)} << 32) | static_cast<uint32_t>(t.relation);
    return (x ^ (uint64_t{static_cast<uint32_t>(t.tail)} * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
}

// ---- functions ---------------------------------------------------------------

const char *const kSortKw[] = {"a", "order", "threads", nullptr};
const char *const kUniqueKw[] = {"a", "order", "return_counts", "threads", nullptr};
const char *const kContainsKw[] = {"known", "queries", "order", "assume_sorted", "threads", nullptr};

PyObject *default_order() {
    static PyObject *head = PyUnicode_InternFromString("head");
    return head;
}

PyObject *py_sort(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *a, *order_obj = default_order(), *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|O$O:sort", const_cast<char **>(kSortKw), &a, &order_obj,
                                             &threads_obj));
        MX_CHECK(order_obj != nullptr);
        const OrderInfo &order = parse_order(order_obj);
        const int threads_wanted = parse_threads(threads_obj);
        Table t(a, "a");
        if (t.readonly())
            fail(PyExc_ValueError, "sort() sorts in place and needs a writable array; "
                 "use sorted_copy() for a read-only one");
        if (!t.is_records())
            fail(PyExc_ValueError, "sort() needs a C-contiguous, aligned (n, 3) int32 array; "
                 "use sorted_copy() for other layouts");
        const int threads = par::threads_for(size_t(t.rows()), threads_wanted);
        {
            WithoutGil nogil;
            if (threads > 1)
                par::sort(reinterpret_cast<Triple *>(t.data()), size_t(t.rows()), parallel_order(order), threads);
            else
                morvex_memory.quick_sort(reinterpret_cast<Triple *>(t.data()), static_cast<int>(t.rows()),
                                         *order.cmp);
        }
        return mx::compat::new_ref(a);
    });
}

PyObject *py_sorted_copy(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *a, *order_obj = default_order(), *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|O$O:sorted_copy", const_cast<char **>(kSortKw), &a,
                                             &order_obj, &threads_obj));
        MX_CHECK(order_obj != nullptr);
        const OrderInfo &order = parse_order(order_obj);
        const int threads_wanted = parse_threads(threads_obj);
        Table t(a, "a");
        Ref out;
        Triple *dst = new_records(t.rows(), out);
        const int threads = par::threads_for(size_t(t.rows()), threads_wanted);
        {
            WithoutGil nogil;
            par::SortedCopy split;
            if (threads <= 1 || !split.fill(t.rows_view(), dst, parallel_order(order), threads)) {
                t.load(dst);
                morvex_memory.quick_sort(dst, static_cast<int>(t.rows()), *order.cmp);
            }
        }
        return out.release();
    });
}

PyObject *py_unique(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *a, *order_obj = default_order(), *counts_obj = Py_False, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|OO$O:unique", const_cast<char **>(kUniqueKw), &a,
                                             &order_obj, &counts_obj, &threads_obj));
        MX_CHECK(order_obj != nullptr);
        const OrderInfo &order = parse_order(order_obj);
        const bool return_counts = flag_arg(counts_obj, "return_counts");
        const int threads_wanted = parse_threads(threads_obj);
        Table t(a, "a");
        const Py_ssize_t n = t.rows();
        Block<Triple> tmp(static_cast<size_t>(n));
        Py_ssize_t distinct = 0;
        const int threads = par::threads_for(size_t(n), threads_wanted);
        par::SortedCopy split;
        bool parallel = false;
        {
            WithoutGil nogil;
            parallel = threads > 1 && split.fill(t.rows_view(), tmp.get(), parallel_order(order), threads, true);
            if (parallel) {
                distinct = static_cast<Py_ssize_t>(split.distinct());
            } else {
                t.load(tmp.get());
                morvex_memory.quick_sort(tmp.get(), static_cast<int>(n), *order.cmp);
                distinct = static_cast<Py_ssize_t>(par::distinct_rows(tmp.get(), size_t(n)));
            }
        }
        Ref out, counts;
        Triple *rows = new_records(distinct, out);
        void *count_data = nullptr;
        if (return_counts)
            counts = new_array(distinct, 0, "intp", &count_data);
        {
            WithoutGil nogil;
            Py_ssize_t *c = static_cast<Py_ssize_t *>(count_data);
            if (parallel)
                split.write_distinct(rows, c);
            else
                par::write_distinct_rows(tmp.get(), size_t(n), rows, c);
        }
        if (!return_counts)
            return out.release();
        return MX_TAKE(PyTuple_Pack(2, out.get(), counts.get())).release();
    });
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
    Seen(const Triple *q, int64_t m, morvex_cmp_type cmp, int threads)
        : rows_(size_t(m)), distinct_(sort_distinct(q, m, cmp, threads)),
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
    int64_t sort_distinct(const Triple *q, int64_t m, morvex_cmp_type cmp, int threads) {
        Triple *a = rows_.get();
        std::copy(q, q + m, a);
        const int sort_threads = par::threads_for(size_t(m), threads);
        if (sort_threads > 1)
            par::sort(a, size_t(m), par::Order{keys::Order<F0, F1, F2>::id, cmp, morvex_memory.quick_sort}, sort_threads);
        else
            morvex_memory.quick_sort(a, static_cast<int>(m), cmp);
        int64_t d = 0;
        for (int64_t i = 0; i < m; ++i)
            if (d == 0 || !same(a[i], a[d - 1]))
                a[d++] = a[i];
        return d;
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
void membership(const Table &known, const Table &queries, morvex_cmp_type cmp, bool assume_sorted, bool *out,
                int threads) {
    par::Phases phase;
    const int64_t m = queries.rows();
    int bits = 12;
    while (bits < 31 && (int64_t{1} << bits) < 16 * m)
        ++bits;
    Filter query_filter(bits);
    Block<Triple> copy;
    const Triple *q = reinterpret_cast<const Triple *>(queries.data());
    if (!queries.is_records()) {
        copy = Block<Triple>(size_t(m));
        queries.load(copy.get());
        q = copy.get();
    }
    const int query_parts = par::threads_for(size_t(m), threads);
    query_filter.add(query_parts, threads, [&](int p, const auto &add) {
        const size_t lo = par::part_begin(size_t(m), p, query_parts);
        add(q + lo, int64_t(par::part_begin(size_t(m), p + 1, query_parts) - lo));
    });
    phase("queries");

    // Part p reads rows [next, end) of `known`; `failed` is the byte count
    // of an allocation it could not make.
    struct Part {
        Part(int64_t begin, int64_t stop, int64_t cap) : next(begin), end(stop), kept(cap) {}
        int64_t next, end;
        Kept kept;
        unsigned long long failed = 0;
    };
    const int64_t n = known.rows();
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
        if (known.is_records()) {
            // the filter words of one block of rows are fetched while the
            // previous block is tested
            constexpr int kBlock = 64;
            const Triple *k = reinterpret_cast<const Triple *>(known.data());
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
                const Triple t = known.row(i);
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
        seen.emplace(q, m, cmp, threads);  // a part stopped at its cap
        run_pass();
    }
    phase("known");

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
    if (!assume_sorted) {
        const int sort_threads = par::threads_for(size_t(kept_count), threads);
        if (sort_threads > 1)
            par::sort(kept, size_t(kept_count), par::Order{keys::Order<F0, F1, F2>::id, cmp, morvex_memory.quick_sort},
                      sort_threads);
        else
            morvex_memory.quick_sort(kept, static_cast<int>(kept_count), cmp);  // at most the cap
    }
    phase("kept");
    const SortedIndex<F0, F1, F2> index(kept, static_cast<uint32_t>(kept_count), threads);
    phase("index");

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
    phase("search");
}

PyObject *py_contains(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *known_obj, *queries_obj, *order_obj = default_order(), *sorted_obj = Py_False,
                 *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "OO|OO$O:contains", const_cast<char **>(kContainsKw),
                                             &known_obj, &queries_obj, &order_obj, &sorted_obj, &threads_obj));
        MX_CHECK(order_obj != nullptr);
        const OrderInfo &order = parse_order(order_obj);
        const bool assume_sorted = flag_arg(sorted_obj, "assume_sorted");
        const int threads = parse_threads(threads_obj);
        Table known(known_obj, "known");
        Table queries(queries_obj, "queries");
        void *data = nullptr;
        Ref out = new_array(queries.rows(), 0, "bool", &data);
        {
            WithoutGil nogil;
            order.membership(known, queries, *order.cmp, assume_sorted, static_cast<bool *>(data), threads);
        }
        return out.release();
    });
}

// ---- module ------------------------------------------------------------------

#define MX_THREADS_DOC                                                                  \
    "`threads` is how many threads may work on it: None (the default) for every\n"      \
    "CPU the process may run on, at most MORVEX_NUM_THREADS when that is set;\n"        \
    "1 for the calling thread alone.  Small inputs stay on the calling thread.\n"       \
    "The result is the same for any number of threads.\n"

// For the tests: (the threads a call uses by default, the workers started
// so far); a limit on how many more workers may start; the rows per thread
// below which fewer threads work (returns the previous value).
PyObject *py_workers(PyObject *, PyObject *) {
    return Py_BuildValue("(ii)", mx::workers::default_threads(), mx::workers::started());
}

PyObject *py_limit_worker_starts(PyObject *, PyObject *arg) {
    return edge([&] {
        const long allowed = PyLong_AsLong(arg);
        MX_CHECK(!(allowed == -1 && PyErr_Occurred()));
        mx::workers::limit_starts(allowed < 0 ? -1 : static_cast<int>(std::min<long>(allowed, INT_MAX)));
        return mx::compat::new_ref(Py_None);
    });
}

PyObject *py_set_rows_per_thread(PyObject *, PyObject *arg) {
    return edge([&] {
        const Py_ssize_t rows = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
        MX_CHECK(!(rows == -1 && PyErr_Occurred()));
        return PyLong_FromSize_t(par::set_rows_per_thread(size_t(std::max<Py_ssize_t>(rows, 1))));
    });
}

PyMethodDef methods[] = {
    {"sort", MX_KW(py_sort),
     "sort(a, order='head', *, threads=None)\n--\n\n"
     "Sort the rows of `a` in place under `order` and return `a`.\n\n"
     "`a` must be a writable, C-contiguous (n, 3) int32 array; use sorted_copy()\n"
     "for any other layout.  `order` is one of 'head' (head, relation, tail),\n"
     "'tail' (tail, relation, head), 'rel' (head, tail, relation), 'rel2'\n"
     "(relation, head, tail) and 'rel3' (relation, tail, head).\n\n"
     MX_THREADS_DOC "The GIL is released while sorting.  Other threads that write or sort `a`\n"
     "meanwhile leave its order unspecified, but the sort stays inside `a` and\n"
     "returns."},
    {"sorted_copy", MX_KW(py_sorted_copy),
     "sorted_copy(a, order='head', *, threads=None)\n--\n\n"
     "Return a new (n, 3) int32 array holding the first three columns of `a`,\n"
     "sorted under `order`.\n\n"
     "`a` is any two-dimensional int32 buffer with at least three columns, in\n"
     "any layout (strided, Fortran-ordered, with extra columns).\n\n"
     MX_THREADS_DOC "The GIL is released while copying and sorting."},
    {"unique", MX_KW(py_unique),
     "unique(a, order='head', return_counts=False, *, threads=None)\n--\n\n"
     "Return the distinct rows of `a` (its first three columns) as a new\n"
     "(k, 3) int32 array sorted under `order`; with `return_counts`, a tuple\n"
     "of that array and the number of times each row occurs (intp).\n\n"
     MX_THREADS_DOC "The GIL is released while working."},
    {"contains", MX_KW(py_contains),
     "contains(known, queries, order='head', assume_sorted=False, *, threads=None)\n--\n\n"
     "Return a bool array telling for each row of `queries` whether it occurs\n"
     "in `known` (first three columns of both).\n\n"
     "`known` is never copied whole: only its rows that may match a query are\n"
     "gathered and sorted, and the memory taken grows with the queries, never\n"
     "with `known`.  With `assume_sorted`, `known` is trusted to be\n"
     "sorted under `order` and they are not sorted again (a wrong promise\n"
     "gives wrong answers, never a crash).\n\n"
     MX_THREADS_DOC "The GIL is released while working."},
    {"_workers", py_workers, METH_NOARGS, nullptr},
    {"_limit_worker_starts", py_limit_worker_starts, METH_O, nullptr},
    {"_set_rows_per_thread", py_set_rows_per_thread, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "morvex.utils.triples",
    "Sorting, deduplicating and searching (n, 3) int32 triple tables.\n\n"
    "A Python front end to the sort of morvex.utils.memory; results are numpy arrays.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

MX_MODINIT_FUNC PyInit_triples(void) {
    if (morvex_memory_import() < 0)
        return nullptr;
    PyObject *module = PyModule_Create(&module_def);
    if (module != nullptr && mx::front::add_index_type(module) < 0)
        Py_CLEAR(module);
    return module;
}
