// block.h -- the raw arrays the kernels of morvex.utils.triples work in, and
// the allocation failure they throw.
//
// Nothing here touches the interpreter, nor includes Python.h.
#pragma once

#include "../kernels/no_memory.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include <stdlib.h>
#include <sys/mman.h>

namespace mx {
namespace triples {

// The module's name, which its MemoryErrors begin with.
constexpr char kName[] = "morvex.utils.triples";

// An allocation of ours that failed, with its byte count.
struct NoMemory : mx::NoMemory {
    explicit NoMemory(unsigned long long wanted) : mx::NoMemory(kName, wanted) {}
};

// An uninitialised array of n items for the searches' random accesses:
// blocks of 2 MiB and more ask the kernel for huge pages where it has them,
// so that those accesses are not also TLB misses.  A failed allocation
// throws NoMemory with its byte count.
template <class T>
class Block {
public:
    Block() = default;
    explicit Block(size_t n) {
        const size_t items = std::max<size_t>(n, 1), bytes = items * sizeof(T), huge = size_t{1} << 21;
        void *p = nullptr;
        if (bytes / sizeof(T) != items || posix_memalign(&p, bytes >= huge ? huge : 64, bytes) != 0)
            throw NoMemory(static_cast<unsigned long long>(items) * sizeof(T));
#if defined(MADV_HUGEPAGE)
        if (bytes >= huge)
            madvise(p, bytes, MADV_HUGEPAGE);  // only a hint: failure changes nothing
#endif
        p_ = static_cast<T *>(p);
    }
    ~Block() { free(p_); }
    Block(Block &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Block &operator=(Block &&other) noexcept {
        std::swap(p_, other.p_);  // the old array goes with `other`
        return *this;
    }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;

    T *get() const { return p_; }
    T &operator[](size_t i) const { return p_[i]; }

private:
    T *p_ = nullptr;
};

}  // namespace triples
}  // namespace mx
