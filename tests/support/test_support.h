// Shared test helpers: matchers for results, recording and failing writers, a string byte
// source, a failing memory resource, standard-error capture and socket pairs.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <memory_resource>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "runtime/fd.h"
#include "runtime/io.h"
#include "runtime/result.h"
#include "support/string_source.h"

namespace runtime {
void PrintTo(Error error, std::ostream* out);
}

namespace testing_support {

MATCHER(IsOk, "succeeds") {
    if (arg.has_value()) return true;
    *result_listener << "failed with " << runtime::errorName(arg.error());
    return false;
}

MATCHER_P(FailsWith, error, std::string("fails with ") + std::string(runtime::errorName(error))) {
    if (arg.has_value()) {
        *result_listener << "succeeded";
        return false;
    }
    *result_listener << "failed with " << runtime::errorName(arg.error());
    return arg.error() == error;
}

/// Keeps every byte and every call, so tests can check the bytes and how they were cut.
class RecordingWriter final : public runtime::Writer {
public:
    runtime::Result<void> writeAll(std::string_view bytes) override;
    std::string bytes;
    std::vector<std::string> calls;
};

/// Takes the first `limit` bytes, then fails every call with `error` (a call that crosses
/// the limit takes its bytes up to it first, like a short write followed by an error).
class FailingWriter final : public runtime::Writer {
public:
    explicit FailingWriter(std::size_t limit, runtime::Error error = runtime::Error::BrokenPipe)
        : limit_(limit), error_(error) {}
    runtime::Result<void> writeAll(std::string_view bytes) override;
    std::string bytes;

private:
    std::size_t limit_;
    runtime::Error error_;
};

/// Serves allocations from new/delete, except that the `fail_at`-th (1-based) and every later
/// one throw std::bad_alloc. 0 never fails. Counts the blocks not given back, and like an
/// arena frees them when it goes.
class FailingResource final : public std::pmr::memory_resource {
public:
    explicit FailingResource(std::size_t fail_at = 0) : fail_at_(fail_at) {}
    ~FailingResource() override;
    FailingResource(const FailingResource&) = delete;
    FailingResource& operator=(const FailingResource&) = delete;
    std::size_t allocations = 0;
    std::size_t outstanding() const { return live_.size(); }
    std::size_t outstandingBytes() const;

private:
    struct Block {
        std::size_t bytes;
        std::size_t alignment;
    };
    std::unordered_map<void*, Block> live_;
    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void* pointer, std::size_t bytes, std::size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
    std::size_t fail_at_;
};

/// Sends descriptor 2 into a temporary file while alive; text() reads what arrived.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string text() const;

private:
    int saved_;
    std::FILE* stream_;
    int file_;
};

/// Two connected stream sockets: `server` for the code under test, `client` for the test.
struct SocketPair {
    SocketPair();
    runtime::Fd server;
    runtime::Fd client;

private:
    explicit SocketPair(std::pair<int, int> fds);
};

/// Writes all of `bytes` to `fd` (test side; asserts on failure, and when the peer takes
/// nothing for `timeout_ms`).
void sendAll(int fd, std::string_view bytes, int timeout_ms = 10000);

/// Waits until the process or thread `id` is blocked in system call `number` (as
/// /proc/ID/syscall shows it), for at most `timeout_ms`; returns whether it was. Tests wait on
/// that state itself, never on a guess of how long it takes to reach it.
bool waitUntilInSyscall(pid_t id, long number, int timeout_ms = 10000);

/// Reads from `fd` until end of stream. Fails the test if `timeout_ms` passes without data or
/// the stream ends with an error (such as a reset) instead.
std::string readUntilClose(int fd, int timeout_ms = 5000);

/// Bytes readable on `fd` right now, without blocking.
std::string readAvailable(int fd);

}  // namespace testing_support
