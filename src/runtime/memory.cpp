// gpa and the fallible allocate() helper.
#include "runtime/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

namespace runtime {

namespace {

union Immortal {
    GeneralPurposeAllocator allocator;
    Immortal() : allocator() {}
    ~Immortal() {}
} immortal;

/// Large blocks are mapped from the kernel and unmapped when freed, so the memory of a big
/// request leaves the process with it. (The C library's heap would keep them once its
/// adaptive threshold had risen past their size, and the process would stay that large.)
constexpr std::size_t MappedThreshold = 128 * 1024;

std::size_t mappedLength(std::size_t bytes) noexcept {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

bool isMapped(std::size_t bytes, std::size_t alignment) noexcept {
    return bytes >= MappedThreshold && alignment <= mappedLength(1);
}

}  // namespace

GeneralPurposeAllocator& gpa = immortal.allocator;

void* GeneralPurposeAllocator::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (isMapped(bytes, alignment)) {
        void* mapped = ::mmap(nullptr, mappedLength(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        return mapped;
    }
    if (bytes == 0) bytes = 1;
    void* pointer = alignment <= alignof(std::max_align_t)
                        ? std::malloc(bytes)
                        : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (pointer == nullptr) throw std::bad_alloc();
    return pointer;
}

void GeneralPurposeAllocator::do_deallocate(void* pointer, std::size_t bytes, std::size_t alignment) {
    if (isMapped(bytes, alignment)) {
        ::munmap(pointer, mappedLength(bytes));
        return;
    }
    std::free(pointer);
}

bool GeneralPurposeAllocator::do_is_equal(const std::pmr::memory_resource& other) const noexcept {
    return this == &other;
}

Result<void*> allocate(std::pmr::memory_resource& allocator, std::size_t bytes, std::size_t alignment,
                       std::source_location at) {
    // The one place an exception is caught: a memory resource reports exhaustion by throwing.
    try {
        return allocator.allocate(bytes, alignment);
    } catch (const std::bad_alloc&) {
        return fail(Error::OutOfMemory, at);
    }
}

}  // namespace runtime
