// Fd: a move-only owner of a descriptor, closed when the owner goes (never retried).
#pragma once

#include <utility>

#include "runtime/sys.h"

namespace runtime {

class Fd {
public:
    /// Owns nothing.
    Fd() noexcept = default;
    /// Owns `fd` (a negative value: nothing).
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) sys::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        Fd old(std::exchange(fd_, std::exchange(other.fd_, -1)));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace runtime
