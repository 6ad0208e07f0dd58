// Runs the real worlds-server binary for end-to-end tests.
#include "e2e/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

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

ServerProcess::ServerProcess(std::initializer_list<int> closed) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    auto isClosed = [&](int fd) { return std::find(closed.begin(), closed.end(), fd) != closed.end(); };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : closed) posix_spawn_file_actions_addclose(&actions, fd);
    // With 2 closed the pipe has no writer: the log reads as empty at once.
    if (!isClosed(2)) posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    if (!isClosed(1)) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(WORLDS_SERVER_PATH), nullptr};
    int spawned = ::posix_spawn(&pid_, WORLDS_SERVER_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    EXPECT_EQ(spawned, 0) << "cannot start " WORLDS_SERVER_PATH;
    if (spawned != 0) reaped_ = true;
    reader_ = std::thread([this, fd = fds[0]] { readLog(fd); });
}

ServerProcess::~ServerProcess() {
    stop();
    reader_.join();
}

void ServerProcess::readLog(int fd) {
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        std::lock_guard lock(mutex_);
        if (got <= 0) {
            log_ended_ = true;
            grown_.notify_all();
            break;
        }
        log_.append(buffer, static_cast<std::size_t>(got));
        grown_.notify_all();
    }
    ::close(fd);
}

std::string ServerProcess::log() {
    std::lock_guard lock(mutex_);
    return log_;
}

bool ServerProcess::waitForLog(const std::function<bool(const std::string&)>& done, int timeout_ms) {
    std::unique_lock lock(mutex_);
    return grown_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done(log_); });
}

bool ServerProcess::waitUntilListening(std::size_t count, int timeout_ms) {
    return waitForLog(
        [&](const std::string& log) { return log.ends_with(ListeningLine) && occurrences(log, ListeningLine) >= count; },
        timeout_ms);
}

std::optional<int> ServerProcess::waitForExit(int timeout_ms) {
    if (reaped_) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            // The process held the only write end: its end of stream follows.
            std::unique_lock lock(mutex_);
            grown_.wait_for(lock, std::chrono::seconds(5), [&] { return log_ended_; });
            return status;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
