// Runs the real worlds-server binary for end-to-end tests and collects its standard error.
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/types.h>

#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace e2e {

inline constexpr std::uint16_t Port = 9091;
inline constexpr std::string_view StartLine = "info: All your codebase are belong to us.\n";
inline constexpr std::string_view ListeningLine = "info: Listening..\n";

/// How a server is handed its listener by socket activation.
struct Activation {
    int listener = -1;             ///< becomes the server's descriptor 3
    std::string listen_fds = "1";  ///< LISTEN_FDS
    bool own_pid = true;           ///< LISTEN_PID names the server, else another process (1)
};

/// Starts the server as process 1 of a PID namespace of its own, as in a container.
struct FirstProcess {};

/// One running server. A thread reads its standard error all the time, so the server never
/// blocks on a full pipe however much it logs. The destructor kills it if it still runs.
class ServerProcess {
public:
    /// Starts the binary with standard error on a pipe and standard output on /dev/null, and
    /// the descriptors in `closed` (of 0, 1 and 2) closed instead.
    explicit ServerProcess(std::initializer_list<int> closed = {});
    /// Starts the binary as a service manager would for socket activation.
    explicit ServerProcess(const Activation& activation);
    /// Starts the binary through unshare(1) as process 1 of a new PID namespace; pid() is then
    /// unshare's, which ends with the server's status, and server() the server's own.
    explicit ServerProcess(FirstProcess);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid() const { return pid_; }
    /// The server's own process: pid(), or the child of unshare for a FirstProcess.
    pid_t server();

    /// A copy of everything written to standard error so far.
    std::string log();

    /// Waits until `done(log)` holds or `timeout_ms` passes; returns whether it held.
    bool waitForLog(const std::function<bool(const std::string&)>& done, int timeout_ms = 5000);

    /// Waits until the log ends with "info: Listening..\n" for the `count`-th time.
    bool waitUntilListening(std::size_t count = 1, int timeout_ms = 5000);

    /// Waits for the process to end and for its last log bytes; its wait status, or nothing
    /// after `timeout_ms`.
    std::optional<int> waitForExit(int timeout_ms = 5000);

    /// Ends the process with `signal` and reaps it.
    void stop(int signal = 9);

private:
    /// Spawns `argv` with `actions`, the log pipe's write end on 2, and `environment`.
    void spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t& actions, bool log_to_pipe,
               char* const* environment);
    void readLog(int fd);

    pid_t pid_ = -1;
    bool through_unshare_ = false;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable grown_;
    std::string log_;
    bool log_ended_ = false;
    std::thread reader_;
};

/// A test with a fresh server that is already listening. SIGPIPE is ignored so a test that
/// writes to a connection the server closed sees an error instead of dying.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(server.waitUntilListening()) << server.log();
    }
    ServerProcess server;
};

}  // namespace e2e
