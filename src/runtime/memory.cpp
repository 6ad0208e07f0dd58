// gpa, the fallible allocate() helper and ByteBuffer.
#include "runtime/memory.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace runtime {

namespace {

union Immortal {
    GeneralPurposeAllocator allocator;
    Immortal() : allocator() {}
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

void GeneralPurposeAllocator::do_deallocate(void* pointer, std::size_t, std::size_t) {
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

ByteBuffer::~ByteBuffer() {
    if (data_ != nullptr) allocator_->deallocate(data_, capacity_, 1);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : allocator_(other.allocator_),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Result<void> ByteBuffer::append(char byte) {
    if (size_ == capacity_) {
        std::size_t capacity = capacity_ == 0 ? InitialCapacity : capacity_ * 2;
        void* grown = TRY(allocate(*allocator_, capacity, 1));
        if (data_ != nullptr) {
            std::memcpy(grown, data_, size_);
            allocator_->deallocate(data_, capacity_, 1);
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }
    data_[size_++] = byte;
    return {};
}

void ByteBuffer::truncate(std::size_t length) noexcept {
    if (length < size_) size_ = length;
}

}  // namespace runtime
