// Runs the real worlds-server binary for end-to-end tests.
#include "e2e/server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace e2e {
namespace {

std::size_t occurrences(const std::string& text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

}  // namespace

ServerProcess::ServerProcess() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    stderr_fd_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(WORLDS_SERVER_PATH), nullptr};
    int spawned = ::posix_spawn(&pid_, WORLDS_SERVER_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    EXPECT_EQ(spawned, 0) << "cannot start " WORLDS_SERVER_PATH;
    if (spawned != 0) reaped_ = true;
}

ServerProcess::~ServerProcess() {
    stop();
    ::close(stderr_fd_);
}

void ServerProcess::drain(int timeout_ms) {
    pollfd ready{stderr_fd_, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t got = ::read(stderr_fd_, buffer, sizeof buffer);
    if (got > 0) log_.append(buffer, static_cast<std::size_t>(got));
    // At end of stream poll answers at once; pause so waiting loops do not spin.
    if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 20)));
}

const std::string& ServerProcess::log() {
    drain(0);
    return log_;
}

bool ServerProcess::waitForLog(const std::function<bool(const std::string&)>& done, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        drain(0);
        if (done(log_)) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        drain(static_cast<int>(std::min<long>(left.count(), 50)));
    }
}

bool ServerProcess::waitUntilListening(std::size_t count, int timeout_ms) {
    return waitForLog(
        [&](const std::string& log) { return occurrences(log, ListeningLine) >= count && log.ends_with(ListeningLine); },
        timeout_ms);
}

std::optional<int> ServerProcess::waitForExit(int timeout_ms) {
    if (reaped_) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            // The process held the only write end: read on to its end of stream.
            for (std::size_t before = ~std::size_t{0}; before != log_.size();) {
                before = log_.size();
                drain(1000);
            }
            return status;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        drain(20);
    }
}

void ServerProcess::stop(int signal) {
    if (reaped_) return;
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
}

}  // namespace e2e
