// vocab_type.cpp -- the Python type morvex.utils.triples.Vocabulary: an
// immutable list of distinct str labels over the Python-free Vocab
// (labels.h), and its compact pickling.

#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#define MORVEX_MEMORY_NO_IMPORT
#include "vocab_type.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace {
const char kSourceFile[] = "morvex\\utils\\src_triples\\vocab_type.cpp";
}  // namespace

namespace mx {
namespace py_edge {

PyTypeObject VocabType = mx::compat::blank_type("morvex.utils.triples.Vocabulary", sizeof(VocabObject));

Vocab &vocab_of(PyObject *self) { return *reinterpret_cast<VocabObject *>(self)->v; }

const Vocab &indexed(PyObject *self) {
    Vocab &v = vocab_of(self);
    v.index();
    return v;
}

Ref wrap_vocab(std::unique_ptr<Vocab> v) {
    PyObject *self = VocabType.tp_alloc(&VocabType, 0);
    MX_CHECK(self != nullptr);
    reinterpret_cast<VocabObject *>(self)->v = v.release();
    return Ref::take(self);
}

PyObject *new_str(std::string_view s) { return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "strict"); }

std::string_view utf8_of(PyObject *label, bool *ok) {
    *ok = PyUnicode_Check(label);
    if (!*ok)
        return {};
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(label, &n);
    MX_CHECK(p != nullptr);
    return std::string_view(p, size_t(n));
}

}  // namespace py_edge
}  // namespace mx

namespace {

using mx::Ref;
using mx::py_edge::edge;
using mx::py_edge::fail;
using mx::py_edge::HeldBuffer;
using mx::py_edge::indexed;
using mx::py_edge::int_arg;
using mx::py_edge::new_array;
using mx::py_edge::new_str;
using mx::py_edge::utf8_of;
using mx::py_edge::VocabType;
using mx::py_edge::vocab_of;
using mx::py_edge::wrap_vocab;
using mx::py_edge::VocabObject;
namespace lab = mx::triples::labels;
using lab::Vocab;

PyTypeObject VocabIterType = mx::compat::blank_type("morvex.utils.triples._VocabularyIterator", 0);

std::string_view label_arg(PyObject *label, const char *what) {
    bool ok;
    const std::string_view s = utf8_of(label, &ok);
    if (!ok)
        fail(PyExc_TypeError, "%s must be a str, not '%.200s'", what, Py_TYPE(label)->tp_name);
    return s;
}

// Indexes a vocabulary made from a list, refusing a label given twice.
void index_distinct(Vocab &v) {
    v.index();
    for (int64_t id = 0; id < v.size(); ++id) {
        const int64_t first = v.find(v.label(id));
        if (first != id) {
            Ref label = MX_TAKE(new_str(v.label(id)));
            fail(PyExc_ValueError, "labels[%lld] repeats labels[%lld] (%R); labels must be distinct", (long long)id,
                 (long long)first, label.get());
        }
    }
}

const char *const kVocabKw[] = {"labels", nullptr};

PyObject *vocab_new(PyTypeObject *, PyObject *args, PyObject *kwds) {
    return edge([&]() -> PyObject * {
        PyObject *labels = nullptr;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "|O:Vocabulary", const_cast<char **>(kVocabKw), &labels));
        std::unique_ptr<Vocab> v(new Vocab());
        if (labels != nullptr) {
            Ref it = MX_TAKE(PyObject_GetIter(labels));
            while (PyObject *item = PyIter_Next(it.get())) {
                Ref label = Ref::take(item);
                v->push(label_arg(item, "a label"));
            }
            MX_CHECK(!PyErr_Occurred());
        }
        index_distinct(*v);
        return wrap_vocab(std::move(v)).steal();
    });
}

void vocab_dealloc(PyObject *self) {
    delete reinterpret_cast<VocabObject *>(self)->v;
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t vocab_len(PyObject *self) { return Py_ssize_t(vocab_of(self).size()); }

int vocab_contains(PyObject *self, PyObject *label) {
    return mx::py_edge::int_edge([&]() -> int {
        bool ok;
        const std::string_view s = utf8_of(label, &ok);
        return ok && indexed(self).find(s) >= 0;
    });
}

// The id of a label, as an int64; id(label) raises KeyError for an unknown.
int64_t id_or_raise(const Vocab &v, PyObject *label) {
    const int64_t id = v.find(label_arg(label, "label"));
    if (id < 0) {
        PyErr_SetObject(PyExc_KeyError, label);
        MX_FAIL();
    }
    return id;
}

PyObject *vocab_id(PyObject *self, PyObject *label) {
    return edge([&] { return PyLong_FromLongLong(id_or_raise(indexed(self), label)); });
}

const char *const kIdsKw[] = {"labels", "default", nullptr};

PyObject *vocab_ids(PyObject *self, PyObject *args, PyObject *kwds) {
    return edge([&]() -> PyObject * {
        PyObject *labels, *default_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:ids", const_cast<char **>(kIdsKw), &labels,
                                             &default_obj));
        long long missing = 0;
        const bool has_default = default_obj != Py_None;
        if (has_default)
            missing = mx::py_edge::int_in(int_arg(default_obj, "default", "None or an int"), INT32_MIN, INT32_MAX,
                                          "default", "the int32 range");
        const Vocab &v = indexed(self);
        Ref seq = MX_TAKE(PySequence_Fast(labels, "labels must be an iterable of str"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        PyObject **items = PySequence_Fast_ITEMS(seq.get());
        void *data = nullptr;
        Ref out = new_array(n, 0, "int32", &data);
        int32_t *ids = static_cast<int32_t *>(data);
        for (Py_ssize_t i = 0; i < n; ++i) {
            bool ok;
            const std::string_view s = utf8_of(items[i], &ok);
            if (!ok)
                fail(PyExc_TypeError, "labels[%zd] must be a str, not '%.200s'", i, Py_TYPE(items[i])->tp_name);
            const int64_t id = v.find(s);
            if (id < 0 && !has_default) {
                PyErr_SetObject(PyExc_KeyError, items[i]);
                MX_FAIL();
            }
            ids[i] = int32_t(id < 0 ? missing : id);
        }
        return out.steal();
    });
}

// An id argument's value, when in [0, len); else IndexError.
int64_t id_arg(const Vocab &v, PyObject *obj) {
    Ref value = int_arg(obj, "an id", "an int");
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    MX_CHECK(!(id == -1 && PyErr_Occurred()));
    if (overflow != 0 || id < 0 || id >= v.size())
        fail(PyExc_IndexError, "id %S is not in [0, %lld)", value.get(), (long long)v.size());
    return id;
}

PyObject *vocab_label(PyObject *self, PyObject *id) {
    return edge([&] {
        const Vocab &v = vocab_of(self);
        return new_str(v.label(id_arg(v, id)));
    });
}

PyObject *vocab_labels(PyObject *self, PyObject *ids) {
    return edge([&]() -> PyObject * {
        const Vocab &v = vocab_of(self);
        // an integer array is read in place; anything else item by item
        HeldBuffer held(ids);
        if (!held.ok)
            PyErr_Clear();
        const Py_buffer &b = held.view;
        const char *f = held.ok && b.format ? b.format : "";
        if (*f == '@' || *f == '=' || *f == '<')
            ++f;
        const bool ints = held.ok && b.ndim == 1 && (std::strcmp(f, "i") == 0 || std::strcmp(f, "l") == 0 ||
                                                     std::strcmp(f, "q") == 0) && (b.itemsize == 4 || b.itemsize == 8);
        if (ints) {
            const Py_ssize_t n = b.shape[0], step = b.strides ? b.strides[0] : b.itemsize;
            Ref out = MX_TAKE(PyList_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                const char *at = static_cast<const char *>(b.buf) + i * step;
                int64_t id;
                if (b.itemsize == 4) {
                    int32_t x;
                    std::memcpy(&x, at, 4);
                    id = x;
                } else {
                    std::memcpy(&id, at, 8);
                }
                if (id < 0 || id >= v.size())
                    fail(PyExc_IndexError, "ids[%zd] is %lld, not in [0, %lld)", i, (long long)id,
                         (long long)v.size());
                PyList_SET_ITEM(out.get(), i, MX_TAKE(new_str(v.label(id))).steal());
            }
            return out.steal();
        }
        Ref seq = MX_TAKE(PySequence_Fast(ids, "ids must be an iterable of ints"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        Ref out = MX_TAKE(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(out.get(), i,
                            MX_TAKE(new_str(v.label(id_arg(v, PySequence_Fast_GET_ITEM(seq.get(), i))))).steal());
        return out.steal();
    });
}

PyObject *vocab_richcompare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &VocabType))
        Py_RETURN_NOTIMPLEMENTED;
    const bool same = vocab_of(self) == vocab_of(other);
    return mx::compat::new_ref(same == (op == Py_EQ) ? Py_True : Py_False);
}

// The module's _vocabulary_from_bytes, which unpickling calls.
PyObject *vocabulary_from_bytes = nullptr;

// Pickling: the labels' bytes end to end, and the end of each.
PyObject *vocab_reduce(PyObject *self, PyObject *) {
    return edge([&]() -> PyObject * {
        const Vocab &v = vocab_of(self);
        Ref bytes = MX_TAKE(PyBytes_FromStringAndSize(v.bytes().data(), Py_ssize_t(v.bytes().size())));
        Ref ends = MX_TAKE(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(v.ends().data() + 1),
                                                     Py_ssize_t((v.ends().size() - 1) * sizeof(int64_t))));
        return Py_BuildValue("(O(OO))", vocabulary_from_bytes, bytes.get(), ends.get());
    });
}

// _vocabulary_from_bytes(bytes, ends): the inverse of pickling, checked as
// any other input is (the ends, the UTF-8, the labels distinct).
PyObject *vocab_from_bytes(PyObject *, PyObject *args) {
    return edge([&]() -> PyObject * {
        PyObject *bytes_obj, *ends_obj;
        MX_CHECK(PyArg_ParseTuple(args, "O!O!:_vocabulary_from_bytes", &PyBytes_Type, &bytes_obj, &PyBytes_Type, &ends_obj));
        const char *bytes = PyBytes_AS_STRING(bytes_obj), *ends = PyBytes_AS_STRING(ends_obj);
        const Py_ssize_t nbytes = PyBytes_GET_SIZE(bytes_obj), nends = PyBytes_GET_SIZE(ends_obj);
        if (nends % Py_ssize_t(sizeof(int64_t)) != 0)
            fail(PyExc_ValueError, "the ends of a vocabulary's labels must be int64 values");
        std::unique_ptr<Vocab> v(new Vocab());
        int64_t at = 0;
        for (Py_ssize_t i = 0; i < nends / Py_ssize_t(sizeof(int64_t)); ++i) {
            int64_t end;
            std::memcpy(&end, ends + i * Py_ssize_t(sizeof(int64_t)), sizeof end);
            if (end < at || end > nbytes)
                fail(PyExc_ValueError, "the end of label %zd (%lld) is out of order or past the bytes", i,
                     (long long)end);
            if (!lab::valid_utf8(bytes + at, size_t(end - at)))
                fail(PyExc_ValueError, "label %zd is not valid UTF-8", i);
            v->push(std::string_view(bytes + at, size_t(end - at)));
            at = end;
        }
        if (at != nbytes)
            fail(PyExc_ValueError, "%zd bytes follow the last label", nbytes - Py_ssize_t(at));
        index_distinct(*v);
        return wrap_vocab(std::move(v)).steal();
    });
}

PyObject *vocab_repr(PyObject *self) {
    return edge([&]() -> PyObject * {
        const Vocab &v = vocab_of(self);
        const int64_t shown = std::min<int64_t>(v.size(), 3);
        Ref list = MX_TAKE(PyList_New(Py_ssize_t(shown)));
        for (int64_t i = 0; i < shown; ++i)
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), MX_TAKE(new_str(v.label(i))).steal());
        if (v.size() <= 3)
            return PyUnicode_FromFormat("Vocabulary(%R)", list.get());
        Ref last = MX_TAKE(new_str(v.label(v.size() - 1)));
        Ref head = MX_TAKE(PyObject_Repr(list.get()));
        Ref cut = MX_TAKE(PyUnicode_Substring(head.get(), 0, PyUnicode_GetLength(head.get()) - 1));
        return PyUnicode_FromFormat("Vocabulary(%U, ..., %R]) with %lld labels", cut.get(), last.get(),
                                    (long long)v.size());
    });
}

PyObject *get_nbytes(PyObject *self, void *) { return PyLong_FromLongLong(vocab_of(self).nbytes()); }

// The iterator: the vocabulary and the next id.
struct VocabIter {
    PyObject_HEAD
    PyObject *vocab;
    int64_t next;
};

PyObject *vocab_iter(PyObject *self) {
    VocabIter *it = PyObject_New(VocabIter, &VocabIterType);
    if (it == nullptr)
        return nullptr;
    Py_INCREF(self);
    it->vocab = self;
    it->next = 0;
    return reinterpret_cast<PyObject *>(it);
}

void iter_dealloc(PyObject *self) {
    Py_DECREF(reinterpret_cast<VocabIter *>(self)->vocab);
    PyObject_Del(self);
}

PyObject *iter_next(PyObject *self) {
    VocabIter *it = reinterpret_cast<VocabIter *>(self);
    const Vocab &v = vocab_of(it->vocab);
    if (it->next >= v.size())
        return nullptr;
    return new_str(v.label(it->next++));
}

PyMethodDef vocab_methods[] = {
    {"id", vocab_id, METH_O,
     "id(label)\n--\n\nThe id of `label` (a str); KeyError when the vocabulary lacks it."},
    {"ids", MX_KW(vocab_ids),
     "ids(labels, *, default=None)\n--\n\n"
     "The ids of an iterable of str, as a new int32 array.  A label the\n"
     "vocabulary lacks is a KeyError, or `default` when that is an int."},
    {"label", vocab_label, METH_O, "label(id)\n--\n\nThe label of `id`; IndexError outside [0, len)."},
    {"labels", vocab_labels, METH_O,
     "labels(ids)\n--\n\nThe labels of an iterable of ids (or a one-dimensional integer array), as a\nlist of str."},
    {"__reduce__", vocab_reduce, METH_NOARGS, "Pickling: the labels' bytes and their ends, not one object a label."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef vocab_getset[] = {
    {const_cast<char *>("nbytes"), get_nbytes, nullptr,
     const_cast<char *>("The memory the vocabulary holds, in bytes: the labels' UTF-8 bytes, 8 a\n"
                        "label for where each ends, and once looked up in, 16 to 32 a label for\n"
                        "the table of ids."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef vocab_functions[] = {
    {"_vocabulary_from_bytes", vocab_from_bytes, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods vocab_sequence = {vocab_len, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, vocab_contains,
                                    nullptr, nullptr};

}  // namespace

namespace mx {
namespace py_edge {

int add_vocabulary_type(PyObject *module) {
    return int_edge([&]() -> int {
        VocabType.tp_flags = Py_TPFLAGS_DEFAULT;
        VocabType.tp_doc =
            "Vocabulary(labels=())\n--\n\n"
            "An immutable list of distinct str labels: the id of a label is its\n"
            "place.  len(), `in`, iteration in id order, == (the same labels in the\n"
            "same order), id()/ids() and label()/labels().  Pickles compactly (the\n"
            "labels' bytes).  Memory: see nbytes.";
        VocabType.tp_new = vocab_new;
        VocabType.tp_dealloc = vocab_dealloc;
        VocabType.tp_methods = vocab_methods;
        VocabType.tp_getset = vocab_getset;
        VocabType.tp_as_sequence = &vocab_sequence;
        VocabType.tp_richcompare = vocab_richcompare;
        VocabType.tp_hash = PyObject_HashNotImplemented;
        VocabType.tp_iter = vocab_iter;
        VocabType.tp_repr = vocab_repr;
        VocabIterType.tp_basicsize = sizeof(VocabIter);
        VocabIterType.tp_flags = Py_TPFLAGS_DEFAULT;
        VocabIterType.tp_dealloc = iter_dealloc;
        VocabIterType.tp_iter = PyObject_SelfIter;
        VocabIterType.tp_iternext = iter_next;
        MX_CHECK(PyType_Ready(&VocabType) == 0 && PyType_Ready(&VocabIterType) == 0);
        Py_INCREF(&VocabType);
        MX_CHECK(PyModule_AddObject(module, "Vocabulary", reinterpret_cast<PyObject *>(&VocabType)) == 0);
        MX_CHECK(PyModule_AddFunctions(module, vocab_functions) == 0);
        Py_XDECREF(vocabulary_from_bytes);
        vocabulary_from_bytes = MX_TAKE(PyObject_GetAttrString(module, "_vocabulary_from_bytes")).steal();
        return 0;
    });
}

}  // namespace py_edge
}  // namespace mx
