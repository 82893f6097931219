// labels_stream.cpp -- a labeled file read as a stream: a gzip file
// decompressed by the zlib inside Python on the calling thread while a
// native thread parses the chunks (labels.h's Stream), or a file that cannot
// be mapped (a pipe) read as it comes.

#define MORVEX_MEMORY_UNIQUE_SYMBOL mx_triples_memory
#define MORVEX_MEMORY_NO_IMPORT
#include "labels_stream.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

using mx::Ref;
using mx::WithoutGil;
using mx::py_edge::fail;
namespace lab = mx::triples::labels;

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

}  // namespace

namespace mx {
namespace py_edge {

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

}  // namespace py_edge
}  // namespace mx
