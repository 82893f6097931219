// labels_work.h -- what the units of the labeled-file reader share inside
// (labels.cpp, labels_piece.cpp, labels_merge.cpp): loads of a label's
// bytes, its key words, and running tasks on the pool.  Not part of the
// reader's interface (labels.h).
#pragma once

#include "workers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>

namespace mx {
namespace triples {
namespace labels {

inline uint64_t load8(const char *p) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

inline uint32_t load4(const char *p) {
    uint32_t x;
    std::memcpy(&x, p, 4);
    return x;
}

// A label's first 16 bytes, zero-padded, as two words.
inline void key_of(const char *p, size_t n, uint64_t &a, uint64_t &b) {
    if (n >= 16) {
        a = load8(p);
        b = load8(p + 8);
    } else if (n > 8) {
        a = load8(p);
        b = load8(p + n - 8) >> (8 * (16 - n));
    } else if (n == 8) {
        a = load8(p);
        b = 0;
    } else if (n >= 4) {
        a = load4(p) | (uint64_t(load4(p + n - 4)) << (8 * (n - 4)));
        b = 0;
    } else {
        a = uint64_t(uint8_t(p[0])) | (uint64_t(uint8_t(p[n / 2])) << (8 * (n / 2))) |
            (uint64_t(uint8_t(p[n - 1])) << (8 * (n - 1)));
        b = 0;
    }
}

// A slot's words for a label (Piece::Local::Slot).
inline void slot_of(const char *p, size_t n, uint64_t &a, uint32_t &b) {
    uint64_t hi;
    key_of(p, n, a, hi);
    b = uint32_t(hi & 0xffffff) | uint32_t(std::min<size_t>(n, 255) << 24);
}

// Slots for n labels: a power of two, at most three quarters full.
inline size_t slots_for(size_t n) {
    size_t s = 16;
    while (s / 4 * 3 < n + 1)
        s *= 2;
    return s;
}

// Runs task(i) for i in [0, n) on `threads`; the first exception a task
// throws (an allocation's) is thrown here once all are done.
template <class F>
inline void run_all(int threads, int n, F task) {
    std::exception_ptr error;
    std::mutex lock;
    auto body = [&](int i) {
        try {
            task(i);
        } catch (...) {
            std::lock_guard<std::mutex> hold(lock);
            if (!error)
                error = std::current_exception();
        }
    };
    mx::workers::run(threads, n, body);
    if (error)
        std::rethrow_exception(error);
}

}  // namespace labels
}  // namespace triples
}  // namespace mx
