// Taking over a listener from the service manager, and stopping between connections.
#include "server/activation.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "runtime/check.h"
#include "runtime/sys.h"

namespace server {
namespace {

volatile std::sig_atomic_t stop_signal_arrived = 0;

/// The signals that ask for a stop, and the mask while waiting for a connection: the
/// process's own, with those signals let in.
sigset_t stop_signals;
sigset_t waiting_mask;

extern "C" void noteStopSignal(int) { stop_signal_arrived = 1; }

/// The whole of `text` as a decimal number, or nothing.
std::optional<long> parseDecimal(const char* text) noexcept {
    std::string_view digits(text);
    long value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

}  // namespace

runtime::Result<bool> takeActivationEnvironment() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (pid == nullptr || fds == nullptr) return false;
    // Meant for another process (the variables were inherited past it): start as by hand.
    if (parseDecimal(pid) != static_cast<long>(::getpid())) return false;
    std::optional<long> count = parseDecimal(fds);
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (count != 1) return runtime::fail(runtime::Error::InvalidListenFds);
    return true;
}

runtime::Result<runtime::Fd> adoptListener(Server& server, int fd) {
    namespace sys = runtime::sys;
    if (TRY(sys::getsockopt(fd, SOL_SOCKET, SO_TYPE)) != SOCK_STREAM) {
        return runtime::fail(runtime::Error::SocketTypeNotSupported);
    }
    int domain = TRY(sys::getsockopt(fd, SOL_SOCKET, SO_DOMAIN));
    if (domain != AF_INET && domain != AF_INET6) return runtime::fail(runtime::Error::AddressFamilyNotSupported);
    if (TRY(sys::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL)) != IPPROTO_TCP) {
        return runtime::fail(runtime::Error::ProtocolNotSupported);
    }
    if (TRY(sys::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN)) == 0)
        return runtime::fail(runtime::Error::SocketNotListening);
    runtime::Fd listener(fd);
    (void)TRY(sys::fcntl(fd, F_SETFD, FD_CLOEXEC));
    if (server.cork) TRY(sys::setsockopt(fd, IPPROTO_TCP, TCP_CORK, 1));
    socklen_t length = sizeof server.listen_address;
    TRY(sys::getsockname(fd, reinterpret_cast<sockaddr*>(&server.listen_address), &length));
    return listener;
}

runtime::Result<void> stopBetweenConnections(const runtime::Fd& listener, std::initializer_list<int> signals) {
    struct sigaction action{};
    action.sa_handler = noteStopSignal;
    // sigaction, sigprocmask, sigpending and the signal-set calls fail only for a signal that
    // cannot be caught or does not exist, an unknown `how` or a bad pointer (EINVAL, EFAULT):
    // none of them can come from here, so a failure is a broken invariant, not an error of the
    // run.
    CHECK(sigemptyset(&action.sa_mask) == 0);
    CHECK(sigemptyset(&stop_signals) == 0);
    for (int signal : signals) {
        CHECK(::sigaction(signal, &action, nullptr) == 0);
        CHECK(sigaddset(&stop_signals, signal) == 0);
    }
    CHECK(::sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask) == 0);
    for (int signal : signals) CHECK(sigdelset(&waiting_mask, signal) == 0);
    int flags = TRY(runtime::sys::fcntl(listener.get(), F_GETFL, 0));
    (void)TRY(runtime::sys::fcntl(listener.get(), F_SETFL, flags | O_NONBLOCK));
    return {};
}

bool stopRequested() noexcept {
    sigset_t pending;
    CHECK(::sigpending(&pending) == 0);
    sigset_t pending_stops;
    CHECK(sigandset(&pending_stops, &pending, &stop_signals) == 0);
    return sigisemptyset(&pending_stops) == 0;
}

runtime::Result<std::optional<runtime::Fd>> acceptUnlessStopped(const runtime::Fd& listener) {
    for (;;) {
        // The stop signals are let in only here, atomically with the wait: no signal is lost between a
        // check and the wait, and none arrives while a connection is served.
        if (!TRY(runtime::sys::waitReadable(listener.get(), waiting_mask)) && stop_signal_arrived != 0)
            return std::nullopt;
        std::optional<runtime::Fd> accepted = TRY(acceptPending(listener));
        if (accepted) return accepted;
    }
}

}  // namespace server
