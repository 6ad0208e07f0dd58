// Runs the real worlds-server binary for end-to-end tests.
#include "e2e/server_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

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
    auto isClosed = [&](int fd) { return std::find(closed.begin(), closed.end(), fd) != closed.end(); };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : closed) posix_spawn_file_actions_addclose(&actions, fd);
    if (!isClosed(1)) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // With 2 closed the pipe has no writer: the log reads as empty at once.
    spawn({WORLDS_SERVER_PATH}, actions, !isClosed(2), environ);
    posix_spawn_file_actions_destroy(&actions);
}

ServerProcess::ServerProcess(const Activation& activation) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, activation.listener, 3);
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) variables.emplace_back(*variable);
    variables.push_back("LISTEN_FDS=" + activation.listen_fds);
    variables.push_back("LISTEN_FDNAMES=worlds-server.socket");
    if (!activation.own_pid) variables.push_back("LISTEN_PID=1");
    std::vector<char*> environment;
    for (std::string& variable : variables) environment.push_back(variable.data());
    environment.push_back(nullptr);
    // The shell's pid is the server's: exec keeps it.
    const char* script = activation.own_pid ? "LISTEN_PID=$$ exec \"$0\"" : "exec \"$0\"";
    spawn({"/bin/sh", "-c", script, WORLDS_SERVER_PATH}, actions, true, environment.data());
    posix_spawn_file_actions_destroy(&actions);
}

ServerProcess::ServerProcess(FirstProcess) : through_unshare_(true) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // --kill-child: when unshare is killed, so is the server.
    spawn({"/usr/bin/unshare", "--pid", "--fork", "--kill-child", WORLDS_SERVER_PATH}, actions, true, environ);
    posix_spawn_file_actions_destroy(&actions);
}

pid_t ServerProcess::server() {
    if (!through_unshare_) return pid_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children");
        pid_t child = -1;
        if (children >> child) return child;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "unshare started no server";
    return -1;
}

void ServerProcess::spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t& actions, bool log_to_pipe,
                          char* const* environment) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    if (log_to_pipe) posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int spawned = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environment);
    ::close(fds[1]);
    EXPECT_EQ(spawned, 0) << "cannot start " << argv[0];
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
        [&](const std::string& log) {
            return log.ends_with(ListeningLine) && occurrences(log, ListeningLine) >= count;
        },
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
