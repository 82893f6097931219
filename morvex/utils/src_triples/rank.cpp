// rank.cpp -- filtered ranking from model scores: Index.rank_counts(), which
// counts for each test triple the candidates scoring above and level with the
// true entity, and the module's ranks() and rank_metrics(), which turn those
// counts into ranks and their means.
//
// rank_counts() reads a chunk of entity columns [start, start + w) of an
// (m, w) score matrix: each row's counts over the chunk, less the true entity
// and (filtered) the known entities of the row's pair that fall inside it,
// which are one sorted run of the index (index_data.h).  The counts of the
// chunks of a row add up to those of the whole row.  The counting step is
// rank_kernel.h; everything is checked with the GIL held, and the counts are
// made without it.

// the export table, which triples.cpp fills when the module is imported
#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#define MORVEX_MEMORY_NO_IMPORT
#include "rank.h"
#include "rank_kernel.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const char kSourceFile[] = "morvex\\utils\\src_triples\\rank.cpp";

using mx::Ref;
using mx::WithoutGil;
using mx::py_edge::edge;
using mx::py_edge::fail;
using mx::py_edge::flag_arg;
using mx::py_edge::int_arg;
using mx::py_edge::int_in;
using mx::py_edge::is_ascii;
using mx::py_edge::new_array;
using mx::py_edge::parse_threads;
using mx::py_edge::Table;
using mx::rank::Counts;
using mx::rank::Dtype;
using mx::rank::Threshold;
using mx::triples::Block;
using mx::triples::IndexData;
using mx::triples::Side;
using mx::triples::Two;
using Triple = morvex_Triple;

// ---- the scores ---------------------------------------------------------------

// A two-dimensional buffer of float16, float32 or float64 scores whose rows
// are contiguous, at any row step; held for the object's lifetime.
class Scores {
public:
    Scores(PyObject *obj, Py_ssize_t rows) : held_(obj) {
        if (!held_.ok) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError))
                MX_FAIL();
            PyErr_Clear();
            fail(PyExc_TypeError, "scores must export a two-dimensional float buffer, such as a numpy array "
                 "(a torch tensor: tensor.numpy() or np.from_dlpack(tensor)); got '%.200s'", Py_TYPE(obj)->tp_name);
        }
        const Py_buffer &v = held_.view;
        const char *f = v.format ? v.format : "B";
        const char mark = (*f != '\0' && std::strchr("@=<>!", *f)) ? *f : 0;
        const char *code = mark ? f + 1 : f;
        const bool big = mark == '>' || mark == '!';
        if (std::strcmp(code, "e") == 0 && v.itemsize == 2)
            dtype_ = Dtype::kF16;
        else if (std::strcmp(code, "f") == 0 && v.itemsize == 4)
            dtype_ = Dtype::kF32;
        else if (std::strcmp(code, "d") == 0 && v.itemsize == 8)
            dtype_ = Dtype::kF64;
        else
            fail(PyExc_TypeError, "scores must hold float16, float32 or float64 values, got buffer format '%s' "
                 "(%zd-byte items)", f, v.itemsize);
        if ((big || mark == '<') && big == static_cast<bool>(PY_LITTLE_ENDIAN))
            fail(PyExc_TypeError, "scores must be in native byte order, got buffer format '%s'", f);
        if (v.ndim != 2 || v.shape == nullptr)
            fail(PyExc_ValueError, "scores must be two-dimensional (a row per batch row, a column per entity "
                 "of the chunk), got %d dimension%s", v.ndim, v.ndim == 1 ? "" : "s");
        if (v.shape[0] != rows)
            fail(PyExc_ValueError, "scores has %zd rows, but batch has %zd: row i holds the scores of batch row i",
                 v.shape[0], rows);
        if (v.suboffsets != nullptr && (v.suboffsets[0] >= 0 || v.suboffsets[1] >= 0))
            fail(PyExc_ValueError, "scores exports an indirect buffer (with suboffsets); copy it into an array "
                 "first");
        width_ = v.shape[1];
        row_step_ = v.strides ? v.strides[0] : v.itemsize * width_;
        const Py_ssize_t column_step = v.strides ? v.strides[1] : v.itemsize;
        if (width_ > 1 && column_step != v.itemsize)
            fail(PyExc_ValueError, "scores must have contiguous rows (a column step of %zd bytes), got a column "
                 "step of %zd bytes; np.ascontiguousarray(scores) makes a copy that works", v.itemsize,
                 column_step);
    }

    Dtype dtype() const { return dtype_; }
    Py_ssize_t width() const { return width_; }
    Py_ssize_t row_step() const { return row_step_; }
    const char *data() const { return static_cast<const char *>(held_.view.buf); }

private:
    mx::py_edge::HeldBuffer held_;
    Dtype dtype_ = Dtype::kF32;
    Py_ssize_t width_ = 0, row_step_ = 0;
};

// The value of one score, as a double.
double score_at(Dtype d, const char *p) {
    if (d == Dtype::kF16) {
        uint16_t bits;
        std::memcpy(&bits, p, 2);
        return mx::rank::half_is_nan(bits) ? NAN : mx::rank::half_key_value(mx::rank::half_key(bits));
    }
    if (d == Dtype::kF32) {
        float x;
        std::memcpy(&x, p, 4);
        return x;
    }
    double x;
    std::memcpy(&x, p, 8);
    return x;
}

// ---- the counts ------------------------------------------------------------------

// One call's work: the rows, the chunk of scores, the true score of each row.
struct Work {
    const IndexData *x;
    const Triple *batch;
    int64_t m;
    bool tails, filtered;
    Dtype dtype;
    const char *scores;
    int64_t row_step, start, width;
    const double *truth;  // m true scores, none NaN
    int64_t *out;         // m rows of (higher, tied, candidates)

    const char *row(int64_t i) const { return scores + i * row_step; }
    const Side &side() const { return tails ? x->by_head : x->by_tail; }
    int32_t key(int64_t i) const { return tails ? batch[i].head : batch[i].tail; }

    // Fetches the known entities of row `next` and where those of row
    // `after` start (-1: none), so that a row's lookups, made a row after
    // these fetches, find them in the cache.  Always inlined, as the
    // prefetches it makes are: a call of a function without effects may
    // be dropped.
#if defined(__GNUC__)
    __attribute__((always_inline))
#endif
    inline void fetch_known(int64_t next, int64_t after) const {
        if (!filtered)
            return;
        side().fetch_group(side().slot(key(next)));
        if (after >= 0)
            mx::keys::prefetch_read(side().slot(key(after)));
    }
    int32_t entity(int64_t i) const { return tails ? batch[i].tail : batch[i].head; }
};

// What row i leaves out of its counts over the chunk: the known entities of
// its pair inside the chunk (filtered) and the true entity; their counts
// and their number.
Counts left_out(const Work &w, int64_t i, const Threshold &t, int64_t *dropped) {
    const Triple &r = w.batch[i];
    const int32_t self = w.entity(i);
    const int64_t end = w.start + w.width;
    const int size = mx::rank::item_size(w.dtype);
    const char *row = w.row(i);
    Counts c;
    int64_t n = 0;
    bool self_known = false;
    if (w.filtered) {
        // the known tails of (head, relation), or heads of (relation, tail)
        const Side &side = w.side();
        const Two *lo = nullptr, *hi = nullptr;
        side.run(side.slot(w.key(i)), w.key(i), r.relation, &lo, &hi);
        const Two *a = std::lower_bound(lo, hi, w.start, [](const Two &k, int64_t v) { return k.other < v; });
        for (; a < hi && a->other < end; ++a, ++n) {
            mx::rank::count_one(w.dtype, row + (a->other - w.start) * size, t, c);
            self_known |= a->other == self;
        }
    }
    if (!self_known && self >= w.start && self < end) {
        mx::rank::count_one(w.dtype, row + (self - w.start) * size, t, c);
        ++n;
    }
    *dropped = n;
    return c;
}

// Counts for every row, each thread on whole rows, or, when there are
// fewer rows than threads can share, on parts of rows whose counts are
// added afterwards.
void count_all(const Work &w, int threads) {
    constexpr int64_t kPerThread = int64_t(1) << 17;  // the fewest scores worth a thread
    constexpr int64_t kPerTask = int64_t(1) << 16;    // the fewest scores a task counts
    // rows at least this wide fetch the next row's start and lookups first
    // (narrower ones would spend more on the fetches than they save)
    constexpr int64_t kFetchWidth = 256;
    if (w.m == 0)
        return;
    const int64_t total = w.m * std::max<int64_t>(w.width, 1);
    const int use = int(std::max<int64_t>(1, std::min<int64_t>(threads, total / kPerThread)));
    const int64_t parts = w.m >= 4 * int64_t(use) ? 1 : (4 * int64_t(use) + w.m - 1) / std::max<int64_t>(w.m, 1);
    if (parts == 1) {
        const int64_t per = std::max<int64_t>(1, kPerTask / std::max<int64_t>(w.width, 1));
        const int64_t tasks = (w.m + per - 1) / per;
        auto task = [&](int k) {
            for (int64_t i = k * per, hi = std::min(w.m, (k + 1) * per); i < hi; ++i) {
                if (i + 1 < w.m && w.width >= kFetchWidth) {
                    mx::rank::fetch_run(w.dtype, w.row(i + 1), w.width);
                    w.fetch_known(i + 1, i + 2 < w.m ? i + 2 : -1);
                }
                const Threshold t = mx::rank::threshold(w.dtype, w.truth[i]);
                int64_t dropped = 0;
                const Counts minus = left_out(w, i, t, &dropped);
                const Counts all = mx::rank::count_run(w.dtype, w.row(i), w.width, t);
                w.out[3 * i] = all.higher - minus.higher;
                w.out[3 * i + 1] = all.tied - minus.tied;
                w.out[3 * i + 2] = w.width - dropped;
            }
        };
        if (tasks > 0)
            mx::workers::run(use, int(tasks), task);
        return;
    }
    // few long rows: each split in `parts` column ranges
    Block<Counts> partial(size_t(w.m * parts));
    const int size = mx::rank::item_size(w.dtype);
    auto task = [&](int k) {
        const int64_t i = k / parts, p = k % parts;
        const int64_t lo = w.width * p / parts, hi = w.width * (p + 1) / parts;
        partial[size_t(k)] =
            mx::rank::count_run(w.dtype, w.row(i) + lo * size, hi - lo, mx::rank::threshold(w.dtype, w.truth[i]));
    };
    mx::workers::run(use, int(w.m * parts), task);
    for (int64_t i = 0; i < w.m; ++i) {
        const Threshold t = mx::rank::threshold(w.dtype, w.truth[i]);
        int64_t dropped = 0;
        Counts all = left_out(w, i, t, &dropped);
        all.higher = -all.higher;
        all.tied = -all.tied;
        for (int64_t p = 0; p < parts; ++p) {
            all.higher += partial[size_t(i * parts + p)].higher;
            all.tied += partial[size_t(i * parts + p)].tied;
        }
        w.out[3 * i] = all.higher;
        w.out[3 * i + 1] = all.tied;
        w.out[3 * i + 2] = w.width - dropped;
    }
}

// What is wrong with a row before counting.
enum class RowFault { kNone, kOutside, kNoTruth, kNaN };

// Fills truth[0, m) with each row's true score, from `given` or else from the
// chunk; the first row whose ids are outside the index, whose true entity
// is outside the chunk with no score given, or whose true score is NaN, is
// returned with why, or -1.
int64_t true_scores(const Work &w, const double *given, double *truth, RowFault *fault) {
    const IndexData &x = *w.x;
    const int size = mx::rank::item_size(w.dtype);
    for (int64_t i = 0; i < w.m; ++i) {
        const Triple &r = w.batch[i];
        *fault = RowFault::kNone;
        if (r.head < 0 || r.head >= x.entities || r.tail < 0 || r.tail >= x.entities || r.relation < 0 ||
            r.relation >= x.relations)
            *fault = RowFault::kOutside;
        else if (given != nullptr)
            truth[i] = given[i];
        else if (w.entity(i) < w.start || w.entity(i) >= w.start + w.width)
            *fault = RowFault::kNoTruth;
        else
            truth[i] = score_at(w.dtype, w.row(i) + (w.entity(i) - w.start) * size);
        if (*fault == RowFault::kNone && std::isnan(truth[i]))
            *fault = RowFault::kNaN;
        if (*fault != RowFault::kNone)
            return i;
    }
    return -1;
}

const char *const kRankCountsKw[] = {"batch", "scores", "side", "start", "true_scores", "filtered", "threads",
                                     nullptr};

}  // namespace

namespace mx {
namespace py_edge {

const char kRankCountsDoc[] =
    "rank_counts(batch, scores, *, side='tail', start=0, true_scores=None, filtered=True,\n"
    "            threads=None)\n--\n\n"
    "Filtered ranking counts of each test triple of `batch` (an int32 table\n"
    "in any layout, m rows) from a model's scores, as a new int64 array of\n"
    "shape (m, 3): the candidates scoring strictly higher than the true\n"
    "entity, those scoring the same, and the number of candidates.\n\n"
    "side='tail' ranks the tail among the candidate tails of (head, relation),\n"
    "side='head' the head among the candidate heads of (relation, tail).\n"
    "`scores` is an (m, w) float16, float32 or float64 array (rows contiguous,\n"
    "any row step) of the scores of entities [start, start + w), higher\n"
    "meaning more plausible; a torch tensor is passed as tensor.numpy() or\n"
    "np.from_dlpack(tensor).  The true entity is never a candidate; with\n"
    "filtered=True neither is any known tail of (head, relation) (known head\n"
    "of (relation, tail)) of the index.  A NaN candidate is neither higher\n"
    "nor tied; a NaN true score is a ValueError naming the row.\n\n"
    "The entities can come in chunks: the counts of the chunks add up to\n"
    "those of one call over all entities.  The true score is read from the\n"
    "chunk that holds the true entity, or given for every row as\n"
    "`true_scores` (length m), which a chunk without it needs.  Memory: the\n"
    "result and m true scores; the scores are read in place, once.\n\n"
    "`threads` is how many threads may work on it, as for the module's\n"
    "functions: None for every CPU the process may run on (at most\n"
    "MORVEX_NUM_THREADS), 1 for the calling thread alone.  The result is the\n"
    "same for any number of threads.  The GIL is released while working.\n";

PyObject *rank_counts(const IndexData &x, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *batch_obj, *scores_obj, *side_obj = nullptr, *start_obj = nullptr, *truth_obj = Py_None,
                                          *filtered_obj = Py_True, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OOOOO:rank_counts", const_cast<char **>(kRankCountsKw),
                                             &batch_obj, &scores_obj, &side_obj, &start_obj, &truth_obj,
                                             &filtered_obj, &threads_obj));
        bool tails = true;
        if (side_obj != nullptr && !is_ascii(side_obj, "tail")) {
            if (!is_ascii(side_obj, "head"))
                fail(PyExc_ValueError, "side must be 'tail' or 'head', not %.60R", side_obj);
            tails = false;
        }
        long long start = 0;
        if (start_obj != nullptr)
            start = int_in(int_arg(start_obj, "start", "an int"), LLONG_MIN, LLONG_MAX, "start", "the int64 range");
        const bool filtered = flag_arg(filtered_obj, "filtered");
        const int threads = parse_threads(threads_obj);
        Table batch_table(batch_obj, "batch");
        const int64_t m = batch_table.rows();
        Scores scores(scores_obj, Py_ssize_t(m));
        const int64_t width = scores.width();
        if (start < 0 || start > x.entities || width > x.entities - start)
            fail(PyExc_ValueError, "the scores' %lld columns from start=%lld reach outside the index's "
                 "entities [0, %lld)", (long long)width, start, (long long)x.entities);
        // the true scores given, as m float64 values
        Ref given;
        const double *given_data = nullptr;
        if (truth_obj != Py_None) {
            Ref numpy = MX_TAKE(PyImport_ImportModule("numpy"));
            given = MX_TAKE(PyObject_CallMethod(numpy.get(), "ascontiguousarray", "Os", truth_obj, "float64"));
            Py_buffer view;
            MX_CHECK(PyObject_GetBuffer(given.get(), &view, PyBUF_CONTIG_RO) == 0);
            given_data = static_cast<const double *>(view.buf);  // `given` keeps the memory
            const int ndim = view.ndim;
            const Py_ssize_t length = ndim == 1 ? view.shape[0] : -1;
            PyBuffer_Release(&view);
            if (ndim != 1 || length != m)
                fail(PyExc_ValueError, "true_scores must be one-dimensional with a score per batch row (%lld), "
                     "got shape %S", (long long)m, MX_TAKE(PyObject_GetAttrString(given.get(), "shape")).get());
        }
        void *out = nullptr;
        Ref result = new_array(Py_ssize_t(m), 3, "int64", &out);
        Block<Triple> copy;
        Block<double> truth{size_t(m)};
        Work w{&x, nullptr, m, tails, filtered, scores.dtype(), scores.data(), scores.row_step(), start, width,
               truth.get(), static_cast<int64_t *>(out)};
        RowFault fault = RowFault::kNone;
        int64_t bad = -1;
        {
            WithoutGil nogil;
            w.batch = batch_table.records(copy);
            bad = true_scores(w, given_data, truth.get(), &fault);
            if (bad < 0)
                count_all(w, threads);
        }
        if (bad >= 0) {
            const Triple &t = w.batch[bad];
            const char *what = tails ? "tail" : "head";
            if (fault == RowFault::kOutside)
                fail(PyExc_ValueError, "batch row %lld (%d, %d, %d) is outside the index: entities are in "
                     "[0, %lld), relations in [0, %lld)", (long long)bad, t.head, t.relation, t.tail,
                     (long long)x.entities, (long long)x.relations);
            if (fault == RowFault::kNoTruth)
                fail(PyExc_ValueError, "batch row %lld (%d, %d, %d): its %s %d is outside the scores' entities "
                     "[%lld, %lld) and no true_scores are given", (long long)bad, t.head, t.relation, t.tail, what,
                     tails ? t.tail : t.head, start, start + (long long)width);
            fail(PyExc_ValueError, "batch row %lld (%d, %d, %d) has a NaN true score", (long long)bad, t.head,
                 t.relation, t.tail);
        }
        return result.steal();
    });
}

}  // namespace py_edge
}  // namespace mx

// ---- ranks and their means -----------------------------------------------------

namespace {

enum class Kind { kOptimistic, kPessimistic, kRealistic };
const char *const kKindNames[] = {"optimistic", "pessimistic", "realistic"};

// The counts argument: any integer array numpy makes of it, of shape (m, 3),
// as int64 in C order; higher and tied never negative.
class CountsArg {
public:
    explicit CountsArg(PyObject *obj) {
        Ref numpy = MX_TAKE(PyImport_ImportModule("numpy"));
        Ref a = MX_TAKE(PyObject_CallMethod(numpy.get(), "asarray", "O", obj));
        Ref dtype = MX_TAKE(PyObject_GetAttrString(a.get(), "dtype"));
        Ref kind = MX_TAKE(PyObject_GetAttrString(dtype.get(), "kind"));
        if (!is_ascii(kind.get(), "i") && !is_ascii(kind.get(), "u"))
            fail(PyExc_TypeError, "counts must hold integers (from Index.rank_counts), got dtype %S", dtype.get());
        array_ = MX_TAKE(PyObject_CallMethod(numpy.get(), "ascontiguousarray", "Os", a.get(), "int64"));
        Py_buffer view;
        MX_CHECK(PyObject_GetBuffer(array_.get(), &view, PyBUF_CONTIG_RO) == 0);
        data_ = static_cast<const int64_t *>(view.buf);  // array_ keeps the memory
        const bool shaped = view.ndim == 2 && view.shape[1] == 3;
        rows_ = shaped ? view.shape[0] : 0;
        PyBuffer_Release(&view);
        if (!shaped)
            fail(PyExc_ValueError, "counts must have shape (m, 3), (higher, tied, candidates) per row, got %S",
                 MX_TAKE(PyObject_GetAttrString(array_.get(), "shape")).get());
        for (Py_ssize_t i = 0; i < rows_; ++i)
            if (data_[3 * i] < 0 || data_[3 * i + 1] < 0)
                fail(PyExc_ValueError, "counts row %zd (%lld, %lld, %lld) has a negative count", i,
                     (long long)data_[3 * i], (long long)data_[3 * i + 1], (long long)data_[3 * i + 2]);
    }

    Py_ssize_t rows() const { return rows_; }
    // The rank of row i of this kind.
    double rank(Py_ssize_t i, Kind k) const {
        const double higher = double(data_[3 * i]), tied = double(data_[3 * i + 1]);
        return k == Kind::kOptimistic ? 1 + higher : k == Kind::kPessimistic ? 1 + higher + tied
                                                                              : 1 + higher + tied / 2;
    }

private:
    Ref array_;
    const int64_t *data_ = nullptr;
    Py_ssize_t rows_ = 0;
};

Kind kind_arg(PyObject *obj) {
    for (int k = 0; k < 3; ++k)
        if (is_ascii(obj, kKindNames[k]))
            return Kind(k);
    fail(PyExc_ValueError, "kind must be 'optimistic', 'pessimistic' or 'realistic', not %.60R", obj);
}

const char *const kRanksKw[] = {"counts", "kind", nullptr};

PyObject *py_ranks(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *counts_obj, *kind_obj = nullptr;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|O:ranks", const_cast<char **>(kRanksKw), &counts_obj,
                                             &kind_obj));
        const Kind kind = kind_obj == nullptr ? Kind::kRealistic : kind_arg(kind_obj);
        CountsArg counts(counts_obj);
        void *out = nullptr;
        Ref result = new_array(counts.rows(), 0, "float64", &out);
        double *rank = static_cast<double *>(out);
        for (Py_ssize_t i = 0; i < counts.rows(); ++i)
            rank[i] = counts.rank(i, kind);
        return result.steal();
    });
}

const char *const kMetricsKw[] = {"counts", "ks", nullptr};

PyObject *py_rank_metrics(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *counts_obj, *ks_obj = nullptr;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|O:rank_metrics", const_cast<char **>(kMetricsKw),
                                             &counts_obj, &ks_obj));
        std::vector<long long> ks{1, 3, 10};
        if (ks_obj != nullptr) {
            Ref seq = MX_TAKE(PySequence_Fast(ks_obj, "ks must be a sequence of positive ints"));
            ks.clear();
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i)
                ks.push_back(int_in(int_arg(PySequence_Fast_GET_ITEM(seq.get(), i), "each of ks", "a positive int"),
                                    1, LLONG_MAX, "each of ks", "[1, 2**63)"));
        }
        CountsArg counts(counts_obj);
        const Py_ssize_t m = counts.rows();
        Ref result = MX_TAKE(PyDict_New());
        for (int k = 0; k < 3; ++k) {
            double sum = 0, reciprocal = 0;
            std::vector<Py_ssize_t> hits(ks.size(), 0);
            for (Py_ssize_t i = 0; i < m; ++i) {
                const double r = counts.rank(i, Kind(k));
                sum += r;
                reciprocal += 1 / r;
                for (size_t j = 0; j < ks.size(); ++j)
                    hits[j] += r <= double(ks[j]);
            }
            // zero rows have no mean: NaN
            const double rows = m > 0 ? double(m) : NAN;
            Ref metrics = MX_TAKE(PyDict_New());
            Ref mr = MX_TAKE(PyFloat_FromDouble(sum / rows)), mrr = MX_TAKE(PyFloat_FromDouble(reciprocal / rows));
            MX_CHECK(PyDict_SetItemString(metrics.get(), "mr", mr.get()) == 0);
            MX_CHECK(PyDict_SetItemString(metrics.get(), "mrr", mrr.get()) == 0);
            for (size_t j = 0; j < ks.size(); ++j) {
                Ref name = MX_TAKE(PyUnicode_FromFormat("hits@%lld", ks[j]));
                Ref value = MX_TAKE(PyFloat_FromDouble(double(hits[j]) / rows));
                MX_CHECK(PyDict_SetItem(metrics.get(), name.get(), value.get()) == 0);
            }
            MX_CHECK(PyDict_SetItemString(result.get(), kKindNames[k], metrics.get()) == 0);
        }
        return result.steal();
    });
}

PyMethodDef rank_functions[] = {
    {"ranks", MX_KW(py_ranks),
     "ranks(counts, kind='realistic')\n--\n\n"
     "The rank of each row of `counts` (the (m, 3) counts (higher, tied,\n"
     "candidates) of Index.rank_counts(), summed over chunks), as float64:\n"
     "'optimistic' 1 + higher, 'pessimistic' 1 + higher + tied, 'realistic'\n"
     "their mean, 1 + higher + tied / 2 (a model that scores every candidate\n"
     "the same gets no credit for it)."},
    {"rank_metrics", MX_KW(py_rank_metrics),
     "rank_metrics(counts, ks=(1, 3, 10))\n--\n\n"
     "The means of the ranks of `counts` (see ranks()) of each kind, as a dict\n"
     "{'optimistic': ..., 'pessimistic': ..., 'realistic': ...} of dicts with\n"
     "'mr' (mean rank), 'mrr' (mean reciprocal rank) and 'hits@k' (the share of\n"
     "rows whose rank is at most k) for each k of `ks`.  Without rows, NaN."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace mx {
namespace py_edge {

int add_rank_functions(PyObject *module) { return PyModule_AddFunctions(module, rank_functions); }

}  // namespace py_edge
}  // namespace mx
