// rank.h -- filtered ranking from model scores at the Python edge: what the
// Index type (index_type.cpp) and the module (triples.cpp) take of rank.cpp.
#pragma once

#include "py_edge.h"
#include "index_data.h"

namespace mx {
namespace py_edge {

// Index.rank_counts(batch, scores, *, side, start, true_scores, filtered,
// threads) on the index `x`: the (m, 3) int64 counts (higher, tied,
// candidates) of each batch row.
PyObject *rank_counts(const triples::IndexData &x, PyObject *args, PyObject *kwds);

// Its docstring, for the Index's method table.
extern const char kRankCountsDoc[];

// Adds ranks() and rank_metrics() to the module; -1 with an exception set
// on failure.
int add_rank_functions(PyObject *module);

}  // namespace py_edge
}  // namespace mx
