// Test memory with an inaccessible page on each side.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

namespace arbolite::testing_support {

// A read-write region with an inaccessible page on each side: a kernel that
// reads before its input, or reads or writes after its range, faults.
class Fenced {
public:
    explicit Fenced(size_t bytes) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        inner_ = (bytes + page_ - 1) / page_ * page_;
        void* m = mmap(nullptr, inner_ + 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) std::abort();
        base_ = static_cast<char*>(m);
        mprotect(base_, page_, PROT_NONE);
        mprotect(base_ + page_ + inner_, page_, PROT_NONE);
    }
    ~Fenced() { munmap(base_, inner_ + 2 * page_); }
    Fenced(const Fenced&) = delete;
    Fenced& operator=(const Fenced&) = delete;

    char* start() const { return base_ + page_; }
    char* end_minus(size_t bytes) const { return base_ + page_ + inner_ - bytes; }

private:
    size_t page_;
    size_t inner_;
    char* base_;
};

}  // namespace arbolite::testing_support
