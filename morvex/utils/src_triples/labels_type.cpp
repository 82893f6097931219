// labels_type.cpp -- labeled files at the Python edge: the type
// morvex.utils.triples.Vocabulary, read_labeled() (a mapped file parsed on
// every thread, or a gzip file decompressed by the zlib inside Python while
// a second thread parses it) and write_labeled().  The parsing and merging
// are labels.h's, without the GIL.

#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#define MORVEX_MEMORY_NO_IMPORT
#include "py_edge.h"
#include "labels.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kSourceFile[] = "morvex\\utils\\src_triples\\labels_type.cpp";

using mx::Ref;
using mx::WithoutGil;
using mx::py_edge::edge;
using mx::py_edge::fail;
using mx::py_edge::HeldBuffer;
using mx::py_edge::int_arg;
using mx::py_edge::new_array;
using mx::py_edge::parse_threads;
using mx::py_edge::Table;
namespace lab = mx::triples::labels;
using lab::Vocab;

const char *const kVocabName[2] = {"entity", "relation"};

// ---- Vocabulary ------------------------------------------------------------------

struct VocabObject {
    PyObject_HEAD
    Vocab *v;
};

PyTypeObject VocabType = mx::compat::blank_type("morvex.utils.triples.Vocabulary", sizeof(VocabObject));
PyTypeObject VocabIterType = mx::compat::blank_type("morvex.utils.triples._VocabularyIterator", 0);

// The edge of a slot returning an int (-1 on failure).
template <class F>
int int_edge(F &&body) {
    return mx::edge(mx::py_edge::kTriplesEdge, nullptr, mx::kUntraced, std::forward<F>(body));
}

Vocab &vocab_of(PyObject *self) { return *reinterpret_cast<VocabObject *>(self)->v; }

// The vocabulary, indexed for lookups (made on first use, with the GIL held).
const Vocab &indexed(PyObject *self) {
    Vocab &v = vocab_of(self);
    v.index();
    return v;
}

Ref wrap(std::unique_ptr<Vocab> v) {
    PyObject *self = VocabType.tp_alloc(&VocabType, 0);
    MX_CHECK(self != nullptr);
    reinterpret_cast<VocabObject *>(self)->v = v.release();
    return Ref::take(self);
}

PyObject *new_str(std::string_view s) { return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "strict"); }

// A label argument's UTF-8 bytes; `ok` false (no exception) for a non-str.
std::string_view utf8_of(PyObject *label, bool *ok) {
    *ok = PyUnicode_Check(label);
    if (!*ok)
        return {};
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(label, &n);
    MX_CHECK(p != nullptr);
    return std::string_view(p, size_t(n));
}

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
    const std::vector<int64_t> &e = v.ends();
    (void)e;
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
        return wrap(std::move(v)).steal();
    });
}

void vocab_dealloc(PyObject *self) {
    delete reinterpret_cast<VocabObject *>(self)->v;
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t vocab_len(PyObject *self) { return Py_ssize_t(vocab_of(self).size()); }

int vocab_contains(PyObject *self, PyObject *label) {
    return int_edge([&]() -> int {
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
        return wrap(std::move(v)).steal();
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

PySequenceMethods vocab_sequence = {vocab_len, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, vocab_contains,
                                    nullptr, nullptr};

// ---- read_labeled --------------------------------------------------------------

PyStructSequence_Field kResultFields[] = {
    {const_cast<char *>("table"), const_cast<char *>("the (n, 3) int32 (head, relation, tail) ids, in file order")},
    {const_cast<char *>("entities"), const_cast<char *>("the Vocabulary of heads and tails")},
    {const_cast<char *>("relations"), const_cast<char *>("the Vocabulary of relations")},
    {const_cast<char *>("skipped"), const_cast<char *>("the rows left out for an unknown label (unknown='skip')")},
    {nullptr, nullptr},
};
PyStructSequence_Desc kResultDesc = {
    const_cast<char *>("morvex.utils.triples.LabeledTriples"),
    const_cast<char *>("What read_labeled() returns: (table, entities, relations), and skipped."), kResultFields, 3};
PyTypeObject ResultType;

// The most labels one vocabulary read from a file may hold (int32 ids), and
// the fewest bytes of a mapped file a thread parses.
int64_t max_ids = int64_t{1} << 31;
size_t min_piece = size_t{1} << 20;

#define MX_THREADS_DOC_LABELS                                                           \
    "`threads` is how many threads may parse: None for every CPU the process\n"         \
    "may run on (at most MORVEX_NUM_THREADS), 1 for the calling thread alone.\n"        \
    "A gzip file is decompressed on the calling thread and parsed on one more.\n"       \
    "The GIL is released while working.\n"

// An open file, closed when this goes.
struct File {
    int fd = -1;
    ~File() {
        if (fd >= 0)
            close(fd);
    }
};

// A mapping of a file, unmapped when this goes.
struct Mapping {
    void *p = MAP_FAILED;
    size_t size = 0;
    ~Mapping() {
        if (p != MAP_FAILED)
            munmap(p, size);
    }
};

[[noreturn]] void raise_os_error(PyObject *path, int error) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    MX_FAIL();
}

[[noreturn]] void raise_fault(PyObject *path, const lab::Fault &f, PyObject *columns, const lab::Options &o) {
    const long long line = (long long)f.line;
    switch (f.kind) {
    case lab::Fault::kFewColumns:
        fail(PyExc_ValueError, "%S, line %lld: %lld column%s, but columns %S need %d", path, line,
             (long long)f.count, f.count == 1 ? "" : "s", columns, 1 + std::max({o.column[0], o.column[1], o.column[2]}));
    case lab::Fault::kBadUtf8:
        fail(PyExc_ValueError, "%S, line %lld: column %d is not valid UTF-8", path, line, f.column);
    case lab::Fault::kLongLabel:
        fail(PyExc_ValueError, "%S, line %lld: the label in column %d has %lld bytes; labels have at most %d", path,
             line, f.column, (long long)f.count, int(lab::kMaxLabel));
    case lab::Fault::kEmptyLabel:
        fail(PyExc_ValueError, "%S, line %lld: column %d is empty", path, line, f.column);
    case lab::Fault::kUnknown: {
        Ref label = MX_TAKE(new_str(f.label));
        fail(PyExc_ValueError, "%S, line %lld: %s label %R (column %d) is not in the given vocabulary; "
             "unknown='skip' leaves such rows out, unknown='add' gives such labels new ids", path, line,
             kVocabName[f.vocab], label.get(), f.column);
    }
    case lab::Fault::kTooMany:
        fail(PyExc_ValueError, "%S, line %lld: more than %lld distinct %s labels; ids are int32", path, line,
             (long long)o.max_ids, kVocabName[f.vocab]);
    case lab::Fault::kTruncated:
        fail(PyExc_ValueError, "%S, line %lld: the gzip stream ends early (the file is truncated)", path, line);
    case lab::Fault::kNone:
        break;
    }
    fail(PyExc_SystemError, "%S: an unknown fault", path);
}

// A chunk of a stream: its bytes, kept alive by `owner` (a bytes object) or
// by `own`.
struct Chunk {
    PyObject *owner = nullptr;
    const char *p = nullptr;
    size_t n = 0;
};

// The chunks a decompressing thread hands to the parsing one, at most
// kQueued at a time.
class Queue {
public:
    static constexpr size_t kQueued = 4;
    // Waits for room (without the GIL), then queues; false once the parser
    // has stopped.
    bool push(Chunk c) {
        {
            WithoutGil nogil;
            std::unique_lock<std::mutex> hold(lock_);
            room_.wait(hold, [&] { return todo_.size() < kQueued || stopped_; });
            if (!stopped_) {
                todo_.push_back(c);
                ready_.notify_one();
                return true;
            }
        }
        return false;
    }
    // The parser's side: the next chunk, or false at the end.
    bool pop(Chunk &c) {
        std::unique_lock<std::mutex> hold(lock_);
        ready_.wait(hold, [&] { return !todo_.empty() || ended_; });
        if (todo_.empty())
            return false;
        c = todo_.front();
        todo_.pop_front();
        room_.notify_one();
        return true;
    }
    void done(Chunk c) {
        std::lock_guard<std::mutex> hold(lock_);
        done_.push_back(c.owner);
    }
    void stop() {  // the parser met a fault
        std::lock_guard<std::mutex> hold(lock_);
        stopped_ = true;
        room_.notify_all();
    }
    void end() {
        std::lock_guard<std::mutex> hold(lock_);
        ended_ = true;
        ready_.notify_all();
    }
    // The owners of parsed chunks, to release with the GIL.
    std::vector<PyObject *> take_done() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<PyObject *> d(done_.begin(), done_.end());
        done_.clear();
        return d;
    }
    // After the parser has gone: every owner not yet released.
    std::vector<PyObject *> take_all() {
        std::vector<PyObject *> d = take_done();
        for (const Chunk &c : todo_)
            d.push_back(c.owner);
        todo_.clear();
        return d;
    }

private:
    std::mutex lock_;
    std::condition_variable room_, ready_;
    std::deque<Chunk> todo_;
    std::deque<PyObject *> done_;
    bool stopped_ = false, ended_ = false;
};

// Parses a stream of chunks on a thread of its own, or on the feeding
// thread when no thread could be started (or one thread was asked for).
class Parser {
public:
    Parser(lab::Stream &stream, bool threaded) : stream_(stream) {
        if (!threaded)
            return;
        try {
            thread_ = std::thread([this] {
                Chunk c;
                while (queue_.pop(c)) {
                    if (!stream_.feed(c.p, c.n))
                        queue_.stop();
                    queue_.done(c);
                }
            });
        } catch (const std::system_error &) {
            // parsed on the feeding thread instead
        }
    }
    ~Parser() {
        join();
        if (mx::holds_gil())
            release(queue_.take_all());
    }
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;

    // Takes a chunk (a new reference to its bytes object); false once the
    // stream has met a fault.
    bool feed(Ref bytes) {
        release(queue_.take_done());
        Chunk c{bytes.get(), PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get()))};
        if (!thread_.joinable()) {
            WithoutGil nogil;
            return stream_.feed(c.p, c.n);
        }
        if (!queue_.push(c))
            return false;
        bytes.steal();  // the queue's now
        return true;
    }
    // Waits for the parser to finish the chunks queued.
    void finish() {
        if (thread_.joinable()) {
            WithoutGil nogil;
            join();
        }
        release(queue_.take_all());
    }

private:
    void join() {
        if (thread_.joinable()) {
            queue_.end();
            thread_.join();
        }
    }
    static void release(const std::vector<PyObject *> &owners) {
        for (PyObject *o : owners)
            mx::let_go(o);
    }

    lab::Stream &stream_;
    Queue queue_;
    std::thread thread_;
};

// Reads from fd without the GIL: up to n bytes, 0 at the end.
Ref read_some(int fd, size_t n, PyObject *path) {
    Ref buf = MX_TAKE(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n)));
    ssize_t got;
    {
        WithoutGil nogil;
        do
            got = ::read(fd, PyBytes_AS_STRING(buf.get()), n);
        while (got < 0 && errno == EINTR);
    }
    if (got < 0)
        raise_os_error(path, errno);
    if (size_t(got) < n) {
        PyObject *o = buf.steal();
        MX_CHECK(_PyBytes_Resize(&o, got) == 0);
        buf = Ref::take(o);
    }
    return buf;
}

// A gzip file, or any file that cannot be mapped, read as a stream.
void read_stream(int fd, bool gzip, PyObject *path, lab::Stream &stream, int threads, Ref first,
                 lab::Fault &fault) {
    constexpr size_t kIn = size_t{1} << 20, kOut = size_t{4} << 20;
    Parser parser(stream, threads > 1);
    // zlib's decompressobj and error, fetched on first use and kept: the
    // module is never unloaded
    static PyObject *decompressobj = nullptr, *zlib_error = nullptr;
    // attribute names, interned once: the type attribute cache keeps the
    // name of each lookup, which would be a new string at every call
    static PyObject *decompress = PyUnicode_InternFromString("decompress"), *eof_name = PyUnicode_InternFromString("eof"),
                    *unused_data = PyUnicode_InternFromString("unused_data"),
                    *unconsumed_tail = PyUnicode_InternFromString("unconsumed_tail");
    MX_CHECK(decompress && eof_name && unused_data && unconsumed_tail);
    if (gzip && decompressobj == nullptr) {
        Ref zlib = MX_TAKE(PyImport_ImportModule("zlib"));
        zlib_error = MX_TAKE(PyObject_GetAttrString(zlib.get(), "error")).steal();
        decompressobj = MX_TAKE(PyObject_GetAttrString(zlib.get(), "decompressobj")).steal();
    }
    Ref d;
    if (gzip)
        d = MX_TAKE(PyObject_CallFunction(decompressobj, "i", 31));
    bool ok = true, ended = !gzip;  // whether the last gzip member ended
    Ref pending = std::move(first);  // input not yet decompressed
    while (ok) {
        if (!gzip) {
            Ref chunk = pending ? std::move(pending) : read_some(fd, kIn, path);
            if (PyBytes_GET_SIZE(chunk.get()) == 0)
                break;
            ok = parser.feed(std::move(chunk));
            continue;
        }
        if (!pending || PyBytes_GET_SIZE(pending.get()) == 0) {
            pending = read_some(fd, kIn, path);
            if (PyBytes_GET_SIZE(pending.get()) == 0)
                break;
        }
        if (ended) {  // another member follows the last
            d = MX_TAKE(PyObject_CallFunction(decompressobj, "i", 31));
            ended = false;
        }
        Ref most = MX_TAKE(PyLong_FromSsize_t(Py_ssize_t(kOut)));
        Ref out = Ref::take(PyObject_CallMethodObjArgs(d.get(), decompress, pending.get(), most.get(), nullptr));
        if (!out) {
            if (!PyErr_ExceptionMatches(zlib_error))
                MX_FAIL();
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            Ref t = Ref::take(type), v = Ref::take(value), b = Ref::take(tb);
            fail(PyExc_ValueError, "%S, line %lld: the gzip stream is corrupt (%S)", path,
                 (long long)stream.lines() + 1, v.get() ? v.get() : Py_None);
        }
        Ref eof = MX_TAKE(PyObject_GetAttr(d.get(), eof_name));
        ended = eof.get() == Py_True;
        pending = MX_TAKE(PyObject_GetAttr(d.get(), ended ? unused_data : unconsumed_tail));
        if (PyBytes_GET_SIZE(out.get()) > 0)
            ok = parser.feed(std::move(out));
    }
    parser.finish();
    if (ok && !ended && stream.fault().kind == lab::Fault::kNone) {
        fault.kind = lab::Fault::kTruncated;
        fault.line = stream.lines() + 1;
    }
}

// Cuts a new (m, 3) array of ours to its first n rows, in place: the array
// is ours alone.
void resize_rows(const Ref &table, size_t n) {
    static PyObject *name = PyUnicode_InternFromString("resize");
    MX_CHECK(name != nullptr);
    Ref resize = MX_TAKE(PyObject_GetAttr(table.get(), name));
    Ref shape = MX_TAKE(Py_BuildValue("((nn))", Py_ssize_t(n), Py_ssize_t(3)));
    Ref kw = MX_TAKE(Py_BuildValue("{sO}", "refcheck", Py_False));
    MX_TAKE(PyObject_Call(resize.get(), shape.get(), kw.get()));
}

const char *const kReadKw[] = {"path", "sep", "columns", "entities", "relations", "unknown", "threads", nullptr};

char sep_arg(PyObject *sep) {
    bool ok;
    const std::string_view s = utf8_of(sep, &ok);
    if (!ok || s.size() != 1 || s[0] == '\n' || s[0] == '\r')
        fail(PyExc_ValueError, "sep must be one ASCII character other than a line end, got %R", sep);
    return s[0];
}

void columns_arg(PyObject *columns, int out[3]) {
    Ref seq = Ref::take(PySequence_Check(columns) ? PySequence_Fast(columns, "") : nullptr);
    if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 3) {
        PyErr_Clear();
        fail(PyExc_ValueError, "columns must be three column numbers (head, relation, tail), got %R", columns);
    }
    for (int i = 0; i < 3; ++i) {
        out[i] = int(mx::py_edge::int_in(int_arg(PySequence_Fast_GET_ITEM(seq.get(), i), "a column", "an int"), 0,
                                         255, "a column", "[0, 255]"));
        for (int j = 0; j < i; ++j)
            if (out[j] == out[i])
                fail(PyExc_ValueError, "columns must be three different columns, got %R", columns);
    }
}

const Vocab *given_arg(PyObject *obj, const char *arg) {
    if (obj == Py_None)
        return nullptr;
    if (!PyObject_TypeCheck(obj, &VocabType))
        fail(PyExc_TypeError, "%s must be None or a Vocabulary, not '%.200s'", arg, Py_TYPE(obj)->tp_name);
    return &indexed(obj);
}

PyObject *py_read_labeled(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&]() -> PyObject * {
        PyObject *path_obj, *sep_obj = nullptr, *columns_obj = nullptr, *given_obj[2] = {Py_None, Py_None},
                            *unknown_obj = nullptr, *threads_obj = Py_None;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "O|$OOOOOO:read_labeled", const_cast<char **>(kReadKw),
                                             &path_obj, &sep_obj, &columns_obj, &given_obj[0], &given_obj[1],
                                             &unknown_obj, &threads_obj));
        Ref path = MX_TAKE(PyOS_FSPath(path_obj));
        lab::Options options;
        if (sep_obj != nullptr)
            options.sep = sep_arg(sep_obj);
        Ref columns = MX_TAKE(Py_BuildValue("(iii)", 0, 1, 2));
        if (columns_obj != nullptr) {
            columns_arg(columns_obj, options.column);
            columns = Ref::new_ref(columns_obj);
        }
        options.given[0] = given_arg(given_obj[0], "entities");
        options.given[1] = given_arg(given_obj[1], "relations");
        if (unknown_obj != nullptr) {
            if (mx::py_edge::is_ascii(unknown_obj, "error"))
                options.unknown = lab::Unknown::kError;
            else if (mx::py_edge::is_ascii(unknown_obj, "skip"))
                options.unknown = lab::Unknown::kSkip;
            else if (mx::py_edge::is_ascii(unknown_obj, "add"))
                options.unknown = lab::Unknown::kAdd;
            else
                fail(PyExc_ValueError, "unknown must be 'error', 'skip' or 'add', got %R", unknown_obj);
        }
        const int threads = parse_threads(threads_obj);
        options.max_ids = max_ids;
        options.min_piece = min_piece;

        PyObject *fs = nullptr;
        MX_CHECK(PyUnicode_FSConverter(path.get(), &fs));
        Ref fs_path = Ref::take(fs);
        File file;
        int error = 0;
        struct stat st;
        {
            WithoutGil nogil;
            file.fd = open(PyBytes_AS_STRING(fs), O_RDONLY | O_CLOEXEC);
            error = file.fd < 0 ? errno : fstat(file.fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
        }
        if (error != 0)
            raise_os_error(path.get(), error);
        // a gzip file begins with 1f 8b; a file that is no regular one (a
        // pipe) is read as a stream, and so sniffed in its first chunk
        const bool regular = S_ISREG(st.st_mode);
        unsigned char magic[2] = {0, 0};
        Ref first;
        if (regular) {
            ssize_t got;
            {
                WithoutGil nogil;
                got = pread(file.fd, magic, 2, 0);
            }
            if (got < 0)
                raise_os_error(path.get(), errno);
        } else {
            first = read_some(file.fd, size_t{1} << 20, path.get());
            if (PyBytes_GET_SIZE(first.get()) >= 2)
                std::memcpy(magic, PyBytes_AS_STRING(first.get()), 2);
        }
        const bool gzip = magic[0] == 0x1f && magic[1] == 0x8b;

        Vocab vocab[2];
        bool built[2] = {false, false};
        lab::Fault fault;
        int64_t skipped = 0;
        Ref table;
        Mapping map;
        if (regular && !gzip && st.st_size > 0) {
            map.size = size_t(st.st_size);
            map.p = mmap(nullptr, map.size, PROT_READ, MAP_PRIVATE, file.fd, 0);
        }
        if (map.p != MAP_FAILED) {
            const char *data = static_cast<const char *>(map.p);
            lab::Plan plan;
            {
                WithoutGil nogil;
                madvise(map.p, map.size, MADV_WILLNEED);  // a hint: failure changes nothing
                plan = lab::plan(data, map.size, options.min_piece, threads);
            }
            auto *rows = reinterpret_cast<lab::Row *>(mx::py_edge::new_records(Py_ssize_t(plan.row_at.back()), table));
            size_t n;
            {
                WithoutGil nogil;
                n = lab::read(plan, options, rows, vocab, built, fault, &skipped, threads);
            }
            if (fault.kind != lab::Fault::kNone)
                raise_fault(path.get(), fault, columns.get(), options);
            if (n != plan.row_at.back())
                resize_rows(table, n);
        } else {
            lab::Stream stream(options);
            read_stream(file.fd, gzip, path.get(), stream, threads, std::move(first), fault);
            bool ok = fault.kind == lab::Fault::kNone;
            if (ok) {
                WithoutGil nogil;
                ok = stream.finish(vocab, built, threads);
            }
            if (!ok)
                raise_fault(path.get(), fault.kind != lab::Fault::kNone ? fault : stream.fault(), columns.get(),
                            options);
            auto *rows = reinterpret_cast<lab::Row *>(mx::py_edge::new_records(Py_ssize_t(stream.rows()), table));
            size_t n;
            {
                WithoutGil nogil;
                n = stream.write(rows);
            }
            skipped = int64_t(stream.rows() - n);
            if (n != stream.rows())
                resize_rows(table, n);
        }

        Ref result = MX_TAKE(PyStructSequence_New(&ResultType));
        PyStructSequence_SET_ITEM(result.get(), 0, table.steal());
        for (int w = 0; w < 2; ++w) {
            Ref v = built[w] || given_obj[w] == Py_None ? wrap(std::unique_ptr<Vocab>(new Vocab(std::move(vocab[w]))))
                                                         : Ref::new_ref(given_obj[w]);
            PyStructSequence_SET_ITEM(result.get(), 1 + w, v.steal());
        }
        PyStructSequence_SET_ITEM(result.get(), 3, MX_TAKE(PyLong_FromLongLong(skipped)).steal());
        return result.steal();
    });
}

// For the tests: sets the most labels a vocabulary read from a file may
// hold and the fewest bytes a thread parses; returns the previous pair.
PyObject *py_set_label_limits(PyObject *, PyObject *args) {
    return edge([&] {
        long long ids, piece;
        MX_CHECK(PyArg_ParseTuple(args, "LL:_set_label_limits", &ids, &piece));
        Ref before = MX_TAKE(Py_BuildValue("(Ln)", (long long)max_ids, Py_ssize_t(min_piece)));
        max_ids = std::max<long long>(1, std::min<long long>(ids, (long long)INT32_MAX + 1));
        min_piece = size_t(std::max<long long>(piece, 1));
        return before.steal();
    });
}

// ---- write_labeled ----------------------------------------------------------------

const char *const kWriteKw[] = {"path", "table", "entities", "relations", "sep", nullptr};

const Vocab &vocab_arg(PyObject *obj, const char *arg) {
    if (!PyObject_TypeCheck(obj, &VocabType))
        fail(PyExc_TypeError, "%s must be a Vocabulary, not '%.200s'", arg, Py_TYPE(obj)->tp_name);
    return vocab_of(obj);
}

// Refuses a label that would not be read back as it was written.
void check_writable(const Vocab &v, int which, char sep) {
    for (int64_t id = 0; id < v.size(); ++id) {
        const std::string_view s = v.label(id);
        const char *why = s.empty() ? "is empty"
                          : s.find(sep) != s.npos ? "holds the separator"
                          : s.find('\n') != s.npos ? "holds a line end"
                          : s.back() == '\r' ? "ends in a carriage return"
                          : nullptr;
        if (why != nullptr) {
            Ref label = MX_TAKE(new_str(s));
            fail(PyExc_ValueError, "%s label %lld (%R) %s, so it could not be read back", kVocabName[which],
                 (long long)id, label.get(), why);
        }
    }
}

PyObject *py_write_labeled(PyObject *, PyObject *args, PyObject *kwds) {
    return edge([&]() -> PyObject * {
        PyObject *path_obj, *table_obj, *vocab_obj[2], *sep_obj = nullptr;
        MX_CHECK(PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|$O:write_labeled", const_cast<char **>(kWriteKw),
                                             &path_obj, &table_obj, &vocab_obj[0], &vocab_obj[1], &sep_obj));
        Ref path = MX_TAKE(PyOS_FSPath(path_obj));
        const char sep = sep_obj != nullptr ? sep_arg(sep_obj) : '\t';
        Table table(table_obj, "table");
        const Vocab *v[2] = {&vocab_arg(vocab_obj[0], "entities"), &vocab_arg(vocab_obj[1], "relations")};
        check_writable(*v[0], 0, sep);
        check_writable(*v[1], 1, sep);
        const mx::par::Rows rows = table.rows_view();
        for (size_t i = 0; i < rows.n; ++i) {
            const morvex_Triple t = rows.row(i);
            if (t.head < 0 || t.head >= v[0]->size() || t.tail < 0 || t.tail >= v[0]->size() || t.relation < 0 ||
                t.relation >= v[1]->size())
                fail(PyExc_ValueError, "table row %zu (%d, %d, %d) has an id outside the vocabularies (%lld "
                     "entities, %lld relations)", i, t.head, t.relation, t.tail, (long long)v[0]->size(),
                     (long long)v[1]->size());
        }
        if (rows.n > 0 && v[0]->label(rows.row(0).head).substr(0, 3) == "\xef\xbb\xbf")
            fail(PyExc_ValueError, "the first row's head label begins with a byte-order mark, which a reader "
                 "skips, so it could not be read back");
        PyObject *fs = nullptr;
        MX_CHECK(PyUnicode_FSConverter(path.get(), &fs));
        Ref fs_path = Ref::take(fs);
        int error = 0;
        {
            WithoutGil nogil;
            File file;
            file.fd = open(PyBytes_AS_STRING(fs), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            error = file.fd < 0 ? errno : 0;
            std::string buf;
            constexpr size_t kFlush = size_t{1} << 20;
            auto write_all = [&] {
                for (size_t at = 0; at < buf.size() && error == 0;) {
                    const ssize_t put = ::write(file.fd, buf.data() + at, buf.size() - at);
                    if (put < 0 && errno != EINTR)
                        error = errno;
                    else if (put > 0)
                        at += size_t(put);
                }
                buf.clear();
            };
            for (size_t i = 0; i < rows.n && error == 0; ++i) {
                const morvex_Triple t = rows.row(i);
                buf += v[0]->label(t.head);
                buf += sep;
                buf += v[1]->label(t.relation);
                buf += sep;
                buf += v[0]->label(t.tail);
                buf += '\n';
                if (buf.size() >= kFlush)
                    write_all();
            }
            if (error == 0)
                write_all();
            if (error == 0 && close(file.fd) != 0)
                error = errno;
            file.fd = -1;
        }
        if (error != 0)
            raise_os_error(path.get(), error);
        Py_RETURN_NONE;
    });
}

PyMethodDef label_functions[] = {
    {"read_labeled", MX_KW(py_read_labeled),
     "read_labeled(path, *, sep='\\t', columns=(0, 1, 2), entities=None, relations=None,\n"
     "             unknown='error', threads=None)\n--\n\n"
     "Read a file of labeled triples, one a line, and return (table, entities,\n"
     "relations): an (n, 3) int32 array of (head, relation, tail) ids, one row\n"
     "per non-empty line in file order, and the Vocabulary of the entity labels\n"
     "(heads and tails) and of the relation labels.  The result also has\n"
     "`skipped`, the rows left out.\n\n"
     "Fields are split by `sep` (one ASCII character); `columns` are the columns\n"
     "of head, relation and tail, and other columns are ignored.  Lines end in\n"
     "LF or CRLF; empty lines and a UTF-8 byte-order mark are skipped.  There is\n"
     "no quoting.  A gzip file (found by its first bytes) is decompressed as a\n"
     "stream.\n\n"
     "Without vocabularies, ids follow the labels' sorted (code point) order,\n"
     "the same for any `threads`.  With `entities` or `relations` given, labels\n"
     "map through them; a label they lack is a ValueError (unknown='error'),\n"
     "leaves its row out (unknown='skip', counted in `skipped`), or gets a new\n"
     "id after the existing ones (unknown='add', new labels in sorted order).\n\n"
     "A line with too few columns, an empty label, invalid UTF-8, a label of\n"
     "more than 65535 bytes or a truncated gzip stream is a ValueError naming\n"
     "the file and the line.\n\n" MX_THREADS_DOC_LABELS},
    {"write_labeled", MX_KW(py_write_labeled),
     "write_labeled(path, table, entities, relations, *, sep='\\t')\n--\n\n"
     "Write the rows of `table` (an (n, 3) int32 table in any layout) to `path`\n"
     "as lines of labels, through the two Vocabularies: read_labeled() reads\n"
     "the same table back.  A label that could not be read back (empty, or\n"
     "holding `sep` or a line end) is a ValueError, and so is an id outside\n"
     "its vocabulary."},
    {"_set_label_limits", py_set_label_limits, METH_VARARGS, nullptr},
    {"_vocabulary_from_bytes", vocab_from_bytes, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace mx {
namespace py_edge {

int add_label_types(PyObject *module) {
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
        if (ResultType.tp_name == nullptr)
            MX_CHECK(PyStructSequence_InitType2(&ResultType, &kResultDesc) == 0);
        Py_INCREF(&VocabType);
        MX_CHECK(PyModule_AddObject(module, "Vocabulary", reinterpret_cast<PyObject *>(&VocabType)) == 0);
        Py_INCREF(&ResultType);
        MX_CHECK(PyModule_AddObject(module, "LabeledTriples", reinterpret_cast<PyObject *>(&ResultType)) == 0);
        MX_CHECK(PyModule_AddFunctions(module, label_functions) == 0);
        Py_XDECREF(vocabulary_from_bytes);
        vocabulary_from_bytes = MX_TAKE(PyObject_GetAttrString(module, "_vocabulary_from_bytes")).steal();
        return 0;
    });
}

}  // namespace py_edge
}  // namespace mx
