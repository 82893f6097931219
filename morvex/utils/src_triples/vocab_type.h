// vocab_type.h -- the Python type morvex.utils.triples.Vocabulary
// (vocab_type.cpp), for the functions that read and write labeled files:
// its object, the Vocab it holds, and the str conversions of labels.
#pragma once

#include "py_edge.h"  // Python.h first
#include "labels.h"

#include <memory>
#include <string_view>

namespace mx {
namespace py_edge {

using mx::triples::labels::Vocab;

struct VocabObject {
    PyObject_HEAD
    Vocab *v;
};

extern PyTypeObject VocabType;

Vocab &vocab_of(PyObject *self);
// The vocabulary, indexed for lookups (its table made on first use, with the
// GIL held).
const Vocab &indexed(PyObject *self);
// A new Vocabulary holding `v`.
Ref wrap_vocab(std::unique_ptr<Vocab> v);
// A label as a new str.
PyObject *new_str(std::string_view s);
// A str argument's UTF-8 bytes; *ok false (no exception set) for a non-str.
std::string_view utf8_of(PyObject *label, bool *ok);

// Adds Vocabulary and the function unpickling calls to the module; -1 with
// an exception set on failure.
int add_vocabulary_type(PyObject *module);

}  // namespace py_edge
}  // namespace mx
