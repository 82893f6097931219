// load.cpp: mx_triples' loader, in a file of its own to show the shared
// function table of a consumer split over several files.
#define MORVEX_MEMORY_NO_IMPORT  // triples.cpp holds the table
#include "load.h"

#include <cstdint>

int load_table(PyObject *table, morvex_MemoryPool *pool, morvex_Triple **triples, int *count) {
    Py_buffer view;
    if (PyObject_GetBuffer(table, &view, PyBUF_RECORDS_RO) < 0)
        return -1;
    morvex_memviewslice slice;  // the typed view the loader reads
    int rc = morvex_memviewslice_from_buffer(&view, &slice);
    if (rc == 0 && (slice.shape[1] < 3 || slice.shape[0] > INT32_MAX)) {
        PyErr_SetString(PyExc_ValueError, "need an (n, 3) int32 table with n < 2**31");
        rc = -1;
    }
    if (rc == 0) {
        int n = static_cast<int>(slice.shape[0]);
        morvex_memory.set_triple_ptr(triples, n, pool);  // zeroed, owned by the pool
        if (*triples == nullptr) {                       // the failure was reported
            PyErr_NoMemory();
            rc = -1;
        } else {
            morvex_memory.load_triple_from_numpy(*triples, slice);
            *count = n;
        }
    }
    PyBuffer_Release(&view);  // after the loader: the slice borrows the buffer
    return rc;
}
