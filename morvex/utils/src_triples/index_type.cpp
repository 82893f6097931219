// index_type.cpp -- the Python type morvex.utils.triples.Index: its
// arguments, methods and type object, a thin layer over the Python-free
// index (index_data.h) and sampler (sampler.h).  Every method validates all
// of its inputs and allocates what it returns with the GIL held, then
// releases it for the work proper.

// the export table, which triples.cpp fills when the module is imported
#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#define MORVEX_MEMORY_NO_IMPORT
#include "py_edge.h"
#include "index_data.h"
#include "py_draw_key.h"
#include "sampler.h"
#include "rank.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>

namespace {

const char kSourceFile[] = "morvex\\utils\\src_triples\\index_type.cpp";

using mx::Ref;
using mx::WithoutGil;
using mx::py_edge::DrawKey;
using mx::py_edge::edge;
using mx::py_edge::fail;
using mx::py_edge::flag_arg;
using mx::py_edge::int_arg;
using mx::py_edge::int_in;
using mx::py_edge::is_ascii;
using mx::py_edge::new_array;
using mx::py_edge::parse_threads;
using mx::py_edge::Table;
using mx::triples::Block;
using mx::triples::IndexData;
using mx::triples::Side;
using Triple = morvex_Triple;
namespace par = mx::par;
namespace tri = mx::triples;

struct IndexObject {
    PyObject_HEAD
    IndexData *data;
};

PyTypeObject IndexType = mx::compat::blank_type("morvex.utils.triples.Index", sizeof(IndexObject));

IndexData &data_of(PyObject *self) { return *reinterpret_cast<IndexObject *>(self)->data; }

// ---- construction -------------------------------------------------------------

const char *const kNewKw[] = {"known", "num_entities", "threads", nullptr};

PyObject *index_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    return edge([&]() -> PyObject * {
        PyObject *known_obj, *entities_obj = Py_None, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:Index", const_cast<char **>(kNewKw), &known_obj,
                                             &entities_obj, &threads_obj));
        const int threads = parse_threads(threads_obj);
        long long entities = -1;
        if (entities_obj != Py_None)
            entities = int_in(int_arg(entities_obj, "num_entities", "None or an int"), 0, 1LL << 31, "num_entities",
                              "[0, 2**31]");
        Table known(known_obj, "known");
        const int64_t n = known.rows();
        Block<Triple> rows{static_cast<size_t>(n)};
        // the first row with a negative id, and the largest ids
        int64_t negative = -1;
        int32_t top_entity = -1, top_rel = -1;
        {
            WithoutGil nogil;
            known.load(rows.get());
            tri::scan_ids(rows.get(), n, &negative, &top_entity, &top_rel);
        }
        if (negative >= 0) {
            const Triple &t = rows[size_t(negative)];
            fail(PyExc_ValueError, "known row %lld (%d, %d, %d) holds a negative id", (long long)negative, t.head,
                 t.relation, t.tail);
        }
        if (entities >= 0 && top_entity >= entities) {
            int64_t i = 0;
            while (rows[size_t(i)].head < entities && rows[size_t(i)].tail < entities)
                ++i;
            const Triple &t = rows[size_t(i)];
            fail(PyExc_ValueError, "num_entities is %lld, but known row %lld (%d, %d, %d) has an entity id "
                 "that is not below it", entities, (long long)i, t.head, t.relation, t.tail);
        }
        std::unique_ptr<IndexData> x(new IndexData());
        x->entities = entities >= 0 ? entities : int64_t(top_entity) + 1;
        x->relations = int64_t(top_rel) + 1;
        {
            WithoutGil nogil;
            tri::build(*x, rows.get(), n, par::Order{mx::keys::kHeadOrder, morvex_memory.cmp_head, morvex_memory.quick_sort},
                       par::Order{mx::keys::kTailOrder, morvex_memory.cmp_tail, morvex_memory.quick_sort}, threads);
        }
        PyObject *self = type->tp_alloc(type, 0);
        MX_CHECK(self != nullptr);
        reinterpret_cast<IndexObject *>(self)->data = x.release();
        return self;
    });
}

void index_dealloc(PyObject *self) {
    delete reinterpret_cast<IndexObject *>(self)->data;
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t index_len(PyObject *self) { return Py_ssize_t(data_of(self).size()); }

// The distinct triples in (head, relation, tail) order, as a new array.
Ref triples_array(const IndexData &x) {
    void *out = nullptr;
    Ref array = new_array(Py_ssize_t(x.size()), 3, "int32", &out);
    tri::write_triples(x, static_cast<Triple *>(out));
    return array;
}

PyObject *index_reduce(PyObject *self, PyObject *) {
    return edge([&] {
        const IndexData &x = data_of(self);
        Ref rows = triples_array(x);
        return Py_BuildValue("(O(OL))", reinterpret_cast<PyObject *>(Py_TYPE(self)), rows.get(),
                             (long long)x.entities);
    });
}

PyObject *index_richcompare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, &IndexType))
        Py_RETURN_NOTIMPLEMENTED;
    const bool same = tri::same_index(data_of(a), data_of(b));
    return mx::compat::new_ref((same == (op == Py_EQ)) ? Py_True : Py_False);
}

PyObject *get_entities(PyObject *self, void *) { return PyLong_FromLongLong(data_of(self).entities); }
PyObject *get_relations(PyObject *self, void *) { return PyLong_FromLongLong(data_of(self).relations); }
PyObject *get_nbytes(PyObject *self, void *) { return PyLong_FromLongLong(data_of(self).bytes()); }
PyObject *get_run_directory_nbytes(PyObject *self, void *) {
    const IndexData &x = data_of(self);
    return PyLong_FromLongLong(x.by_head.lookup_bytes() + x.by_tail.lookup_bytes());
}

// ---- lookups -------------------------------------------------------------------

const char *const kQueriesKw[] = {"queries", "threads", nullptr};
const char *const kPairsKw[] = {"pairs", "threads", nullptr};

PyObject *index_contains(PyObject *self, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *queries_obj, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|O:contains", const_cast<char **>(kQueriesKw),
                                             &queries_obj, &threads_obj));
        const int threads = parse_threads(threads_obj);
        Table q(queries_obj, "queries");
        const IndexData &x = data_of(self);
        void *out = nullptr;
        Ref result = new_array(q.rows(), 0, "bool", &out);
        {
            WithoutGil nogil;
            tri::contains(x, q.rows_view(), static_cast<bool *>(out), threads);
        }
        return result.steal();
    });
}

// tails() when `tails`, else heads(): the known tails or heads of each row
// of the `pairs` argument, as (offsets, values).
PyObject *lookup(PyObject *self, PyObject *args, PyObject *kwds, bool tails) {
    return edge([&] {
        PyObject *pairs_obj, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, tails ? "O|O:tails" : "O|O:heads",
                                             const_cast<char **>(kPairsKw), &pairs_obj, &threads_obj));
        const int threads = parse_threads(threads_obj);
        Table p(pairs_obj, "pairs", 2);
        const IndexData &x = data_of(self);
        const int64_t m = p.rows();
        void *off_data = nullptr;
        Ref offsets = new_array(Py_ssize_t(m + 1), 0, "int64", &off_data);
        int64_t *off = static_cast<int64_t *>(off_data);
        // (head, relation) pairs by head, (relation, tail) pairs by tail
        tri::RunLookup runs(tails ? x.by_head : x.by_tail, p.rows_view(), tails ? 0 : 1, tails ? 1 : 0, threads);
        {
            WithoutGil nogil;
            runs.measure(off);
        }
        void *values_data = nullptr;
        Ref values = new_array(Py_ssize_t(off[m]), 0, "int32", &values_data);
        {
            WithoutGil nogil;
            runs.write(off, static_cast<int32_t *>(values_data));
        }
        return MX_TAKE(PyTuple_Pack(2, offsets.get(), values.get())).steal();
    });
}

PyObject *index_tails(PyObject *self, PyObject *args, PyObject *kwds) { return lookup(self, args, kwds, true); }
PyObject *index_heads(PyObject *self, PyObject *args, PyObject *kwds) { return lookup(self, args, kwds, false); }

// The dense answer of head_probability() has one value per relation id up
// to the largest: it is refused when the ids are so spread out that it would
// be more than kDenseSlack + kDenseRatio values per relation present.
constexpr int64_t kDenseSlack = 1024, kDenseRatio = 8;

const char *const kProbabilityKw[] = {"relations", nullptr};

PyObject *index_head_probability(PyObject *self, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *relations = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "|O:head_probability", const_cast<char **>(kProbabilityKw),
                                             &relations));
        const IndexData &x = data_of(self);
        const int64_t present = int64_t(x.rel_ids.size());
        void *out = nullptr;
        if (relations == Py_None) {
            if (x.relations > kDenseSlack + kDenseRatio * present)
                fail(PyExc_ValueError, "head_probability() would return %lld values, one per relation id below "
                     "num_relations, for %lld relation%s present; pass the ids you need as "
                     "head_probability(relations)", (long long)x.relations, (long long)present,
                     present == 1 ? "" : "s");
            Ref result = new_array(Py_ssize_t(x.relations), 0, "float64", &out);
            double *p = static_cast<double *>(out);
            std::fill(p, p + x.relations, 0.5);
            for (size_t i = 0; i < x.rel_ids.size(); ++i)
                p[x.rel_ids[i]] = x.head_p[i];
            return result.steal();
        }
        // any integer array numpy makes of `relations`, answered in its shape
        Ref numpy = MX_TAKE(PyImport_ImportModule("numpy"));
        Ref ids = MX_TAKE(PyObject_CallMethod(numpy.get(), "asarray", "O", relations));
        Ref dtype = MX_TAKE(PyObject_GetAttrString(ids.get(), "dtype"));
        Ref kind = MX_TAKE(PyObject_GetAttrString(dtype.get(), "kind"));
        if (!is_ascii(kind.get(), "i") && !is_ascii(kind.get(), "u"))
            fail(PyExc_TypeError, "relations must hold integers, got dtype %S", dtype.get());
        Ref wide = MX_TAKE(PyObject_CallMethod(numpy.get(), "ascontiguousarray", "Os", ids.get(), "int64"));
        Ref result = MX_TAKE(PyObject_CallMethod(numpy.get(), "empty_like", "Os", wide.get(), "float64"));
        Py_buffer in, res;
        MX_CHECK(PyObject_GetBuffer(wide.get(), &in, PyBUF_CONTIG_RO) == 0);
        const int64_t *id = static_cast<const int64_t *>(in.buf);
        const Py_ssize_t n = in.len / Py_ssize_t(sizeof(int64_t));
        PyBuffer_Release(&in);  // `wide` keeps the memory
        MX_CHECK(PyObject_GetBuffer(result.get(), &res, PyBUF_CONTIG) == 0);
        double *p = static_cast<double *>(res.buf);
        PyBuffer_Release(&res);  // `result` keeps the memory
        for (Py_ssize_t i = 0; i < n; ++i) {
            // an id of uint64 above 2**63 - 1 has wrapped to a negative one
            if (id[i] < 0 || id[i] >= x.relations)
                fail(PyExc_ValueError, "relations item %zd (%lld) is outside the index: relations are in [0, %lld)",
                     i, (long long)id[i], (long long)x.relations);
            p[i] = x.head_probability(int32_t(id[i]));
        }
        return result.steal();
    });
}

// ---- negatives ------------------------------------------------------------------

const char *const kCorruptKw[] = {"batch", "num_negatives", "side", "strategy", "filtered", "rng", "offset", "threads",
                                  "seed", nullptr};

PyObject *index_corrupt(PyObject *self, PyObject *args, PyObject *kwds) {
    return edge([&] {
        PyObject *batch_obj, *negatives_obj, *side_obj = nullptr, *strategy_obj = nullptr, *filtered_obj = Py_True,
                                             *rng_obj = nullptr, *offset_obj = nullptr, *threads_obj = Py_None,
                                             *seed_obj = nullptr;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OOOOOOO:corrupt", const_cast<char **>(kCorruptKw),
                                             &batch_obj, &negatives_obj, &side_obj, &strategy_obj, &filtered_obj,
                                             &rng_obj, &offset_obj, &threads_obj, &seed_obj));
        tri::CorruptArgs c{};
        c.negatives = int_in(int_arg(negatives_obj, "num_negatives", "an int"), 0, INT32_MAX, "num_negatives",
                             "[0, 2**31)");
        c.side = tri::SideRule::kBoth;
        if (side_obj != nullptr) {
            if (is_ascii(side_obj, "head"))
                c.side = tri::SideRule::kHead;
            else if (is_ascii(side_obj, "tail"))
                c.side = tri::SideRule::kTail;
            else if (!is_ascii(side_obj, "both"))
                fail(PyExc_ValueError, "side must be 'head', 'tail' or 'both', not %.60R", side_obj);
        }
        if (strategy_obj != nullptr) {
            c.bernoulli = is_ascii(strategy_obj, "bernoulli");
            if (!c.bernoulli && !is_ascii(strategy_obj, "uniform"))
                fail(PyExc_ValueError, "strategy must be 'uniform' or 'bernoulli', not %.60R", strategy_obj);
        }
        c.filtered = flag_arg(filtered_obj, "filtered");
        DrawKey key(rng_obj, seed_obj);
        if (offset_obj != nullptr)
            c.offset = int_in(int_arg(offset_obj, "offset", "an int"), 0, INT64_C(1) << 62, "offset", "[0, 2**62]");
        const int threads = parse_threads(threads_obj);
        Table batch_table(batch_obj, "batch");
        const IndexData &x = data_of(self);
        const int64_t m = batch_table.rows();
        Block<Triple> copy;
        const Triple *batch = nullptr;
        int64_t outside = -1;
        {
            WithoutGil nogil;
            batch = batch_table.records(copy);
            outside = tri::first_outside(x, batch, m);
        }
        if (outside >= 0) {
            const Triple &t = batch[outside];
            fail(PyExc_ValueError, "batch row %lld (%d, %d, %d) is outside the index: entities are in [0, %lld), "
                 "relations in [0, %lld)", (long long)outside, t.head, t.relation, t.tail,
                 (long long)x.entities, (long long)x.relations);
        }
        c.seed = key.take();  // a Generator moves on only for a call that goes ahead
        void *out_data = nullptr;
        Ref result;
        {
            Ref flat = new_array(Py_ssize_t(m * c.negatives), 3, "int32", &out_data);
            result = MX_TAKE(PyObject_CallMethod(flat.get(), "reshape", "(nnn)", Py_ssize_t(m),
                                                 Py_ssize_t(c.negatives), Py_ssize_t(3)));
        }
        tri::RowFault fault = tri::RowFault::kNone;
        int64_t bad = -1;
        {
            WithoutGil nogil;
            bad = tri::corrupt(x, batch, m, c, static_cast<Triple *>(out_data), threads, &fault);
        }
        if (bad >= 0) {
            const Triple &t = batch[bad];
            const char *what = fault == tri::RowFault::kHead   ? "head"
                               : fault == tri::RowFault::kTail ? "tail"
                                                               : "head or tail";
            fail(PyExc_ValueError, "batch row %lld (%d, %d, %d) has no valid %s replacement%s", (long long)bad,
                 t.head, t.relation, t.tail, what, c.filtered ? " that is not a known triple" : "");
        }
        return result.steal();
    });
}

// ---- ranking ------------------------------------------------------------------

// rank_counts(): filtered ranking counts from model scores (rank.cpp).
PyObject *index_rank_counts(PyObject *self, PyObject *args, PyObject *kwds) {
    return mx::py_edge::rank_counts(data_of(self), args, kwds);
}

// ---- the type ----------------------------------------------------------------------

#define MX_INDEX_THREADS_DOC                                                            \
    "`threads` is how many threads may work on it, as for the module's\n"               \
    "functions: None for every CPU the process may run on (at most\n"                   \
    "MORVEX_NUM_THREADS), 1 for the calling thread alone.  The result is the\n"        \
    "same for any number of threads.  The GIL is released while working.\n"

PyMethodDef index_methods[] = {
    {"contains", MX_KW(index_contains),
     "contains(queries, threads=None)\n--\n\n"
     "Return a bool array telling for each row of `queries` (first three\n"
     "columns of an int32 table in any layout) whether it is a triple of the\n"
     "index.  Exact.\n\n" MX_INDEX_THREADS_DOC},
    {"tails", MX_KW(index_tails),
     "tails(pairs, threads=None)\n--\n\n"
     "The known tails of each (head, relation) row of `pairs`, an (m, 2)\n"
     "int32 table, as a tuple (offsets, values): `offsets` is int64 of length\n"
     "m + 1 and values[offsets[i]:offsets[i + 1]] are the tails of pair i,\n"
     "ascending (int32).  A pair of no triple has an empty list.  These are\n"
     "the entities a filtered ranking masks out.\n\n" MX_INDEX_THREADS_DOC},
    {"heads", MX_KW(index_heads),
     "heads(pairs, threads=None)\n--\n\n"
     "The known heads of each (relation, tail) row of `pairs`, in the form\n"
     "tails() returns.\n\n" MX_INDEX_THREADS_DOC},
    {"head_probability", MX_KW(index_head_probability),
     "head_probability(relations=None)\n--\n\n"
     "The probability of replacing the head in Bernoulli negative sampling,\n"
     "tph / (tph + hpt): tph is a relation's triples per distinct head, hpt its\n"
     "triples per distinct tail.  A relation without triples gets 0.5.\n\n"
     "With `relations` (integer ids in [0, num_relations), any shape), a\n"
     "float64 array of the same shape.  Without, one value per relation id, of\n"
     "length num_relations; that is refused (ValueError) when the ids are\n"
     "spread so thin that num_relations exceeds 1024 + 8 x the relations\n"
     "present."},
    {"corrupt", MX_KW(index_corrupt),
     "corrupt(batch, num_negatives, *, side='both', strategy='uniform', filtered=True,\n"
     "        rng=None, offset=0, threads=None, seed=None)\n--\n\n"
     "Negatives for each row of `batch` (an int32 table in any layout, never\n"
     "written), as a new int32 array of shape (m, num_negatives, 3): negative j\n"
     "of row i is batch[i] with its head or its tail replaced.\n\n"
     "side='head' or 'tail' always replaces that field; side='both' replaces the\n"
     "head with probability 0.5 (strategy='uniform') or with the relation's\n"
     "head_probability() (strategy='bernoulli').  The new entity is uniform over\n"
     "[0, num_entities) without the entity it replaces, so a negative never\n"
     "equals its positive.  With filtered=True it is also never a triple of the\n"
     "index (exactly: the draw is among the allowed entities only).  A row\n"
     "whose side has no valid replacement takes the other side under\n"
     "side='both'; when neither has one, ValueError names the row.  Rows with\n"
     "ids outside the index's ranges are a ValueError naming the first.\n\n"
     "The draws come from a counter-based generator keyed by (key, row,\n"
     "negative), not from the module's random streams (which belong to its\n"
     "consumers).  `rng` gives the key: a numpy.random.Generator, from which\n"
     "one uint64 is drawn, so that a Generator seeded once gives a new and\n"
     "reproducible array at every call; an int, the key itself (modulo 2**64:\n"
     "the same array at every call, so never one int for every step of a\n"
     "loop); None, fresh entropy.  `seed`, its older name, takes None or an\n"
     "int.  The row is offset + the row's place in `batch`: parts of a batch,\n"
     "each given the position of its first row in the whole, give together\n"
     "the array of one call.  The same key gives the same array for any\n"
     "`threads`.\n\n" MX_INDEX_THREADS_DOC},
    {"rank_counts", MX_KW(index_rank_counts), mx::py_edge::kRankCountsDoc},
    {"__reduce__", index_reduce, METH_NOARGS, "Pickling: the index is rebuilt from its distinct triples."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {const_cast<char *>("num_entities"), get_entities, nullptr,
     const_cast<char *>("Entity ids are in [0, num_entities)."), nullptr},
    {const_cast<char *>("num_relations"), get_relations, nullptr,
     const_cast<char *>("Relation ids are in [0, num_relations): the largest one known, plus one."), nullptr},
    {const_cast<char *>("nbytes"), get_nbytes, nullptr,
     const_cast<char *>("The memory the index holds, in bytes: 16 per distinct triple, plus 4 per\n"
                        "entity id up to the largest head and the largest tail (4 per id present\n"
                        "when that is less), plus 12 per relation present, plus the directories\n"
                        "of the sparse ids and the long runs of known ids."),
     nullptr},
    {const_cast<char *>("_run_directory_nbytes"), get_run_directory_nbytes, nullptr,
     const_cast<char *>("The bytes of nbytes held by the directories of the long runs and the run tables of\n"
                         "the large groups."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods index_mapping = {index_len, nullptr, nullptr};

}  // namespace

namespace mx {
namespace py_edge {

int add_index_type(PyObject *module) {
    IndexType.tp_flags = Py_TPFLAGS_DEFAULT;
    IndexType.tp_doc =
        "Index(known, num_entities=None, threads=None)\n--\n\n"
        "An immutable index of the distinct rows of `known` (first three columns\n"
        "of an (n, 3) int32 table in any layout; duplicates count once), for\n"
        "exact membership, the known tails of (head, relation) pairs and heads\n"
        "of (relation, tail) pairs, and negatives that are never known triples\n"
        "(corrupt()).\n\n"
        "len() is the number of distinct triples.  num_entities and\n"
        "num_relations are the largest id plus one, unless num_entities is given,\n"
        "which must exceed every head and tail.  Ids must be non-negative.\n"
        "An index pickles (it is rebuilt from its triples) and compares equal to\n"
        "its copy.  Memory: see nbytes (about 17 bytes per distinct triple on\n"
        "graph-like data).\n\n" MX_INDEX_THREADS_DOC;
    IndexType.tp_new = index_new;
    IndexType.tp_dealloc = index_dealloc;
    IndexType.tp_methods = index_methods;
    IndexType.tp_getset = index_getset;
    IndexType.tp_as_mapping = &index_mapping;
    IndexType.tp_richcompare = index_richcompare;
    IndexType.tp_hash = PyObject_HashNotImplemented;
    if (PyType_Ready(&IndexType) < 0)
        return -1;
    Py_INCREF(&IndexType);
    if (PyModule_AddObject(module, "Index", reinterpret_cast<PyObject *>(&IndexType)) < 0) {
        Py_DECREF(&IndexType);
        return -1;
    }
    return 0;
}

}  // namespace py_edge
}  // namespace mx
