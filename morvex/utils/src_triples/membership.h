// membership.h -- the membership engine of morvex.utils.triples.contains():
// which query rows occur in a table of known rows, exactly, with memory that
// grows with the queries and never with the known rows.
//
// Nothing here touches the interpreter, nor includes Python.h; all of it
// runs without the GIL.
#pragma once

#include "parallel.h"

#include <cstdint>

namespace mx {
namespace triples {

// out[i]: whether queries[i] occurs among the rows of `known`, under the
// order given (with `assume_sorted`, `known` is trusted to be sorted under
// it), for the m queries, on up to `threads` threads.  Throws NoMemory.
void membership(const par::Rows &known, const morvex_Triple *queries, int64_t m, const par::Order &order,
                bool assume_sorted, bool *out, int threads);

}  // namespace triples
}  // namespace mx
