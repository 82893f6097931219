// random.cpp -- random numbers: the per-thread and id-keyed 64-bit stream
// states kept in blocks of global_random_memory_pool, their seeding from the
// C library's generator, and the draws worker threads make without the GIL.
#include "internal.h"

#include <cstdlib>

namespace mx {

static const char kSourceFile[] = "morvex\\utils\\src\\random.cpp";

namespace {

// The per-thread array the module allocated last, and its slot count.  A
// draw checks the thread number only while next_random still points at this
// array: next_random is published by address, so a consumer may install an
// array of its own there, whose length the module cannot know and trusts.
unsigned long long *own_next_random = nullptr;
unsigned long long own_next_random_slots = 0;

constexpr int kIdSlots = 20;
constexpr unsigned kIdSeed = 41504;
constexpr unsigned long long kMultiplier = 25214903917ULL;  // 0x5DEECE66D
constexpr unsigned long long kIncrement = 11ULL;

// One step of a stream: the whole 64-bit word is the state.
inline unsigned long long step(unsigned long long &slot) {
    slot = slot * kMultiplier + kIncrement;
    return slot;
}

inline int id_slot(int id) {
    int k = id % kIdSlots;
    return k < 0 ? k + kIdSlots : k;
}

// The error paths of the draws: they may run on threads without the GIL.
[[gnu::cold, gnu::noinline]] void report_nogil(PyObject *type, PyObject *args, const char *context) {
    raise_unraisable_nogil(type, args, context);
}

[[gnu::cold, gnu::noinline]] void report_thread_slot(unsigned long long *array, const char *context) {
    report_nogil(PyExc_IndexError,
                 array == nullptr ? g.t_streams_not_ready : g.t_thread_out_of_range, context);
}

// The per-thread slot of `id`, or null after reporting why there is none.
// The module's own array costs two compares: which array, then one unsigned
// compare that covers a negative id, an id past the end and no array at all
// (0 slots).  An installed array costs the first compare and a null test.
inline unsigned long long *thread_slot(int id, const char *context) {
    unsigned long long *array = next_random;
    if (array == own_next_random) {
        if (static_cast<unsigned long long>(static_cast<unsigned>(id)) >= own_next_random_slots) {
            report_thread_slot(array, context);
            return nullptr;
        }
    } else if (array == nullptr) {
        report_thread_slot(array, context);
        return nullptr;
    }
    return array + id;
}

// The pool the set-up functions allocate from; a clear error while there is
// none yet.
morvex_MemoryPool *random_pool(PyErrOccurred where) {
    PyObject *pool = reinterpret_cast<PyObject *>(global_random_memory_pool);
    if (pool == nullptr || !PyObject_TypeCheck(pool, &MemoryPoolType))
        raise_args(PyExc_RuntimeError, g.t_random_pool_none, where);
    return global_random_memory_pool;
}

// `count` slots of 8 bytes from the random pool, each filled from rand().
unsigned long long *fresh_states(int count, PyErrOccurred where) {
    morvex_MemoryPool *pool = random_pool(where);
    void *block = pool->vtab->alloc(pool, static_cast<size_t>(static_cast<long long>(count)),
                                    sizeof(unsigned long long));
    check(block != nullptr, where);
    auto *states = static_cast<unsigned long long *>(block);
    for (int i = 0; i < count; ++i)
        states[i] = static_cast<unsigned long long>(std::rand());
    return states;
}

}  // namespace

// ---- set-up (GIL held) --------------------------------------------------------

void setRandMemory() {
    unraisable_edge("morvex.utils.memory.setRandMemory", [] {
        Ref fresh = new_pool(MX_HERE);
        Ref old = Ref::take(reinterpret_cast<PyObject *>(global_random_memory_pool));
        global_random_memory_pool = reinterpret_cast<morvex_MemoryPool *>(fresh.steal());
        // The old arrays die with the old pool: forget them, so that a draw
        // before the rebuild is reported instead of reading freed memory.
        next_random = own_next_random = nullptr;
        own_next_random_slots = 0;
        id_random = nullptr;
    });
}

void setRandSeed(int seed) {
    if (seed > 1)
        std::srand(static_cast<unsigned>(seed));
}

void randReset(int thread_number) {
    unraisable_edge("morvex.utils.memory.randReset", [&] {
        unsigned long long *states = fresh_states(thread_number, MX_HERE);
        // the previous block stays owned by the pool
        next_random = own_next_random = states;
        own_next_random_slots = static_cast<unsigned long long>(thread_number);
    });
}

void setThreadNumberAndRandSeed(int thread_number, int seed) {
    setRandSeed(seed);
    randReset(thread_number);
}

void reset_random_on_id() {
    unraisable_edge("morvex.utils.memory.reset_random_on_id", [] {
        std::srand(kIdSeed);
        id_random = fresh_states(kIdSlots, MX_HERE);
    });
}

// ---- draws (no GIL needed) ------------------------------------------------------

unsigned long long _rand64(int id) {
    unsigned long long *slot = thread_slot(id, "morvex.utils.memory._rand64");
    return slot == nullptr ? 0 : step(*slot);
}

unsigned long long random_for_prob(int id) {
    if (id_random == nullptr) {
        report_nogil(PyExc_IndexError, g.t_id_streams_not_ready,
                     "morvex.utils.memory.random_for_prob");
        return 0;
    }
    return step(id_random[id_slot(id)]);
}

long rand_max(int id, long bound, int stream) {
    static const char context[] = "morvex.utils.memory.rand_max";
    unsigned long long v;
    if (stream == 1) {
        unsigned long long *slot = thread_slot(id, context);
        if (slot == nullptr)
            return 0;
        v = step(*slot);
    } else {
        if (id_random == nullptr) {
            report_nogil(PyExc_IndexError, g.t_id_streams_not_ready, context);
            return 0;
        }
        v = step(id_random[id_slot(id)]);
    }
    if (bound <= 0) {
        if (bound == 0)
            report_nogil(PyExc_ZeroDivisionError, g.t_zero_division, context);
        else
            report_nogil(PyExc_ValueError, g.t_negative_bound, context);
        return 0;
    }
    return static_cast<long>(v % static_cast<unsigned long long>(bound));
}

long rand64(long low, long high) {
    const unsigned long c = static_cast<unsigned long>(std::rand());  // drawn first, always
    if (low == high) {
        report_nogil(PyExc_ZeroDivisionError, g.t_zero_division, "morvex.utils.memory.rand64");
        return 0;
    }
    // The width and remainder in unsigned arithmetic: exact for any low and
    // high.  The remainder takes the sign of the divisor, so for low > high
    // the result lies in (high, low].
    const unsigned long ul = static_cast<unsigned long>(low);
    const unsigned long uh = static_cast<unsigned long>(high);
    if (high > low)
        return static_cast<long>(ul + c % (uh - ul));
    const unsigned long r = c % (ul - uh);
    return r == 0 ? low : static_cast<long>(uh + r);
}

MX_CHECK_EXPORT_TABLE()

}  // namespace mx
