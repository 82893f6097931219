// load.h: shared by the two source files of mx_triples.  Both name the same
// function table (MORVEX_MEMORY_UNIQUE_SYMBOL): triples.cpp imports
// morvex.utils.memory and so holds the table; load.cpp defines
// MORVEX_MEMORY_NO_IMPORT before including this file and uses it.
#ifndef MX_TRIPLES_LOAD_H
#define MX_TRIPLES_LOAD_H

#define PY_SSIZE_T_CLEAN
#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#include <morvex/utils/memory.h>

// Replaces *triples with a pool-owned array holding columns 0, 1 and 2 of
// `table`, a two-dimensional int32 buffer of any layout (Fortran-ordered,
// transposed, strided), and sets *count.  Returns 0, or -1 with an exception.
int load_table(PyObject *table, morvex_MemoryPool *pool, morvex_Triple **triples, int *count);

#endif
