// Shared test helpers.
#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <new>
#include <thread>

namespace runtime {
void PrintTo(Error error, std::ostream* out) { *out << errorName(error); }
}  // namespace runtime

namespace testing_support {

runtime::Result<void> RecordingWriter::writeAll(std::string_view bytes_) {
    bytes.append(bytes_);
    calls.emplace_back(bytes_);
    return {};
}

runtime::Result<void> FailingWriter::writeAll(std::string_view bytes_) {
    std::size_t room = limit_ - std::min(limit_, bytes.size());
    bytes.append(bytes_.substr(0, room));
    if (bytes_.size() > room) return runtime::fail(error_);
    return {};
}

FailingResource::~FailingResource() {
    for (auto [pointer, block] : live_) ::operator delete(pointer, std::align_val_t(block.alignment));
}

std::size_t FailingResource::outstandingBytes() const {
    std::size_t bytes = 0;
    for (const auto& entry : live_) bytes += entry.second.bytes;
    return bytes;
}

void* FailingResource::do_allocate(std::size_t bytes, std::size_t alignment) {
    ++allocations;
    if (fail_at_ != 0 && allocations >= fail_at_) throw std::bad_alloc();
    void* pointer = ::operator new(bytes, std::align_val_t(alignment));
    live_.emplace(pointer, Block{bytes, alignment});
    return pointer;
}

void FailingResource::do_deallocate(void* pointer, std::size_t, std::size_t alignment) {
    EXPECT_EQ(live_.erase(pointer), 1u) << "freeing a block this resource does not hold";
    ::operator delete(pointer, std::align_val_t(alignment));
}

StderrCapture::StderrCapture() : saved_(::dup(2)), stream_(std::tmpfile()), file_(::fileno(stream_)) {
    ::dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
    ::dup2(saved_, 2);
    ::close(saved_);
    std::fclose(stream_);  // and with it file_
}

std::string StderrCapture::text() const {
    std::string text;
    char buffer[4096];
    for (off_t at = 0;;) {
        ssize_t got = ::pread(file_, buffer, sizeof buffer, at);
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
}

namespace {
std::pair<int, int> makeSocketPair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    return {fds[0], fds[1]};
}
}  // namespace

SocketPair::SocketPair() : SocketPair(makeSocketPair()) {}

SocketPair::SocketPair(std::pair<int, int> fds) : server(fds.first), client(fds.second) {}

void sendAll(int fd, std::string_view bytes, int timeout_ms) {
    while (!bytes.empty()) {
        pollfd ready{fd, POLLOUT, 0};
        int polled = ::poll(&ready, 1, timeout_ms);
        if (polled < 0 && errno == EINTR) continue;
        ASSERT_GT(polled, 0) << "the peer took nothing for " << timeout_ms << " ms";
        ssize_t put = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        ASSERT_GT(put, 0) << "send failed: errno " << errno;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
}

bool waitUntilInSyscall(pid_t id, long number, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream syscall("/proc/" + std::to_string(id) + "/syscall");
        long current = -2;
        if (syscall >> current && current == number) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string readUntilClose(int fd, int timeout_ms) {
    std::string text;
    char buffer[16384];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, timeout_ms);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) {
            ADD_FAILURE() << "no end of stream within " << timeout_ms << " ms";
            return text;
        }
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ADD_FAILURE() << "the stream ended with errno " << errno << " (a reset?), not end of stream";
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string readAvailable(int fd) {
    std::string text;
    char buffer[16384];
    for (;;) {
        ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace testing_support
