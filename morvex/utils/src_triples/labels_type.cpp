// labels_type.cpp -- labeled files at the Python edge: read_labeled() (a
// mapped file parsed on every thread, or a stream, labels_stream.h) and
// write_labeled().  The parsing and merging are labels.h's, without the
// GIL; the vocabularies are the type of vocab_type.h.

#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#define MORVEX_MEMORY_NO_IMPORT
#include "py_edge.h"
#include "labels.h"
#include "labels_stream.h"
#include "vocab_type.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>
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
using mx::py_edge::indexed;
using mx::py_edge::new_str;
using mx::py_edge::raise_os_error;
using mx::py_edge::read_some;
using mx::py_edge::read_stream;
using mx::py_edge::utf8_of;
using mx::py_edge::VocabType;
using mx::py_edge::vocab_of;
using mx::py_edge::wrap_vocab;
using mx::py_edge::int_arg;
using mx::py_edge::parse_threads;
using mx::py_edge::Table;
namespace lab = mx::triples::labels;
using lab::Vocab;

const char *const kVocabName[2] = {"entity", "relation"};

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
            Ref v = built[w] || given_obj[w] == Py_None ? wrap_vocab(std::unique_ptr<Vocab>(new Vocab(std::move(vocab[w]))))
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace mx {
namespace py_edge {

int add_label_types(PyObject *module) {
    return mx::py_edge::int_edge([&]() -> int {
        MX_CHECK(add_vocabulary_type(module) == 0);
        if (ResultType.tp_name == nullptr)
            MX_CHECK(PyStructSequence_InitType2(&ResultType, &kResultDesc) == 0);
        Py_INCREF(&ResultType);
        MX_CHECK(PyModule_AddObject(module, "LabeledTriples", reinterpret_cast<PyObject *>(&ResultType)) == 0);
        MX_CHECK(PyModule_AddFunctions(module, label_functions) == 0);
        return 0;
    });
}

}  // namespace py_edge
}  // namespace mx
