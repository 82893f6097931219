// labels_stream.h -- a labeled file read as a stream (labels_stream.cpp):
// a gzip file, or one that cannot be mapped.
#pragma once

#include "py_edge.h"  // Python.h first
#include "labels.h"

#include <cerrno>

namespace mx {
namespace py_edge {

// Raises the OSError of `error` for `path`, as open() would.
[[noreturn]] inline void raise_os_error(PyObject *path, int error) {
    constexpr char kSourceFile[] = "morvex\\utils\\src_triples\\labels_stream.h";
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    MX_FAIL();
}

// Reads from fd without the GIL: a bytes object of up to n bytes, empty at
// the end.
Ref read_some(int fd, size_t n, PyObject *path);

// Parses the file open as fd into `stream`, decompressing it when `gzip`:
// `first` holds bytes already read from it (or nothing).  The GIL is held
// but while reading, inflating and waiting; with threads > 1 a native
// thread parses while this one reads.  A gzip stream that ends early sets
// `fault`; a corrupt one raises ValueError.
void read_stream(int fd, bool gzip, PyObject *path, mx::triples::labels::Stream &stream, int threads, Ref first,
                 mx::triples::labels::Fault &fault);

}  // namespace py_edge
}  // namespace mx
