/*
 * morvex/utils/triple.h -- the (head, relation, tail) triple record, in plain
 * C and with no other dependency, so that code which only reads or sorts
 * triples (the native sort kernels, a consumer's own loops) builds without
 * Python.h.  memory.h includes it; consumers include memory.h.
 *
 * The layout is frozen: other modules read the members by offset.
 */
#ifndef MORVEX_UTILS_TRIPLE_H
#define MORVEX_UTILS_TRIPLE_H

#include <stdint.h>

/* One (head, relation, tail) triple: 12 bytes, no padding. */
typedef struct morvex_Triple {
    int32_t head;
    int32_t relation;
    int32_t tail;
} morvex_Triple;

#endif /* MORVEX_UTILS_TRIPLE_H */
