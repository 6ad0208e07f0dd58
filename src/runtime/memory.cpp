// gpa and the fallible allocate() helper.
#include "runtime/memory.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace runtime {

namespace {

/// Blocks of 128 kB and more are mapped from the kernel by the C library and unmapped when
/// freed, so the memory of a big request leaves the process with it. Setting the threshold
/// also stops the C library from raising it as large blocks come and go, which would keep
/// later big heads in its heap and the process at its largest.
constexpr int MappedThreshold = 128 * 1024;

union Immortal {
    GeneralPurposeAllocator allocator;
    Immortal() : allocator() { ::mallopt(M_MMAP_THRESHOLD, MappedThreshold); }
    ~Immortal() {}
} immortal;

}  // namespace

GeneralPurposeAllocator& gpa = immortal.allocator;

void* GeneralPurposeAllocator::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes == 0) bytes = 1;
    void* pointer = alignment <= alignof(std::max_align_t)
                        ? std::malloc(bytes)
                        : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (pointer == nullptr) throw std::bad_alloc();
    return pointer;
}

void GeneralPurposeAllocator::do_deallocate(void* pointer, std::size_t, std::size_t) { std::free(pointer); }

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
