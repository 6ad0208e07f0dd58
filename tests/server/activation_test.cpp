// Taking over a listener handed in by socket activation: the variables, and what descriptor 3
// must be.
#include "server/activation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/test_support.h"

namespace {

using runtime::Error;
using testing_support::FailsWith;
using testing_support::IsOk;

TEST(TakeActivationEnvironment, OnlyVariablesNamingThisProcessCountAndTheyMustNameOneListener) {
    const std::string own = std::to_string(::getpid());
    struct Case {
        const char* pid;  // nullptr: unset
        const char* fds;
        std::optional<Error> error;
        bool activated;
    };
    const Case cases[] = {
        {nullptr, nullptr, {}, false},
        {nullptr, "1", {}, false},
        {"1", "1", {}, false},  // another process's
        {"x", "1", {}, false},
        {own.c_str(), nullptr, {}, false},
        {own.c_str(), "1", {}, true},
        {own.c_str(), "2", Error::InvalidListenFds, false},
        {own.c_str(), "0", Error::InvalidListenFds, false},
        {own.c_str(), "one", Error::InvalidListenFds, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pid ? c.pid : "(unset)") + " " + (c.fds ? c.fds : "(unset)"));
        for (auto [name, value] : {std::pair{"LISTEN_PID", c.pid}, std::pair{"LISTEN_FDS", c.fds}}) {
            if (value)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
        ::setenv("LISTEN_FDNAMES", "worlds-server.socket", 1);
        runtime::Result<bool> taken = server::takeActivationEnvironment();
        if (c.error) {
            EXPECT_THAT(taken, FailsWith(*c.error));
        } else {
            ASSERT_THAT(taken, IsOk());
            EXPECT_EQ(*taken, c.activated);
        }
        const bool ours = c.pid == own.c_str() && c.fds != nullptr;
        EXPECT_EQ(std::getenv("LISTEN_FDNAMES") == nullptr, ours) << "removed exactly when meant for this process";
        EXPECT_EQ(std::getenv("LISTEN_PID") == nullptr, ours || c.pid == nullptr);
    }
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
}

runtime::Fd listening(int domain, int type, int protocol, const sockaddr* address, socklen_t length, bool listen) {
    runtime::Fd fd(::socket(domain, type, protocol));
    EXPECT_GE(fd.get(), 0);
    EXPECT_EQ(::bind(fd.get(), address, length), 0);
    if (listen) {
        EXPECT_EQ(::listen(fd.get(), 8), 0);
    }
    return fd;
}

TEST(AdoptListener, RefusesWhatIsNotOneListeningTcpSocket) {
    sockaddr_in ip4{};
    ip4.sin_family = AF_INET;
    ip4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* any_ip4 = reinterpret_cast<const sockaddr*>(&ip4);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::string path = "worlds-activation-test." + std::to_string(::getpid());
    path.copy(local.sun_path + 1, path.size());  // an abstract name: nothing on disk
    const auto local_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    runtime::Fd pipe_read(pipe_ends[0]), pipe_write(pipe_ends[1]);

    struct Case {
        const char* what;
        runtime::Fd fd;
        Error error;
    };
    Case cases[] = {
        {"a pipe", std::move(pipe_read), Error::FileDescriptorNotASocket},
        {"UDP", listening(AF_INET, SOCK_DGRAM, 0, any_ip4, sizeof ip4, false), Error::SocketTypeNotSupported},
        {"a listening Unix-domain stream",
         listening(AF_UNIX, SOCK_STREAM, 0, reinterpret_cast<sockaddr*>(&local), local_length, true),
         Error::AddressFamilyNotSupported},
        {"TCP bound, not listening", listening(AF_INET, SOCK_STREAM, 0, any_ip4, sizeof ip4, false),
         Error::SocketNotListening},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        server::Server state;
        EXPECT_THAT(server::adoptListener(state, c.fd.get()), FailsWith(c.error));
    }
    server::Server state;
    EXPECT_THAT(server::adoptListener(state, 1000), FailsWith(Error::FileDescriptorNotOpen));
}

// A stream socket of another protocol over IP.
TEST(AdoptListener, RefusesAListeningStreamOfAnotherProtocol) {
    runtime::Fd sctp(::socket(AF_INET, SOCK_STREAM, IPPROTO_SCTP));
    if (sctp.get() < 0)
        GTEST_SKIP() << "this kernel makes no SCTP socket (errno " << errno << "), the one such protocol";
    sockaddr_in ip4{};
    ip4.sin_family = AF_INET;
    ip4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(sctp.get(), reinterpret_cast<const sockaddr*>(&ip4), sizeof ip4), 0);
    ASSERT_EQ(::listen(sctp.get(), 8), 0);
    server::Server state;
    EXPECT_THAT(server::adoptListener(state, sctp.get()), FailsWith(Error::ProtocolNotSupported));
}

TEST(AdoptListener, TakesAnIpv6ListenerOverCorkedAndCloseOnExecAndReadsItsAddressBack) {
    sockaddr_in6 ip6{};
    ip6.sin6_family = AF_INET6;
    ip6.sin6_addr = in6addr_loopback;
    runtime::Fd handed = listening(AF_INET6, SOCK_STREAM, 0, reinterpret_cast<const sockaddr*>(&ip6), sizeof ip6, true);
    const int fd = ::dup(handed.get());  // the adopted owner closes this one
    server::Server state;
    runtime::Result<runtime::Fd> adopted = server::adoptListener(state, fd);
    ASSERT_THAT(adopted, IsOk());
    EXPECT_EQ(adopted->get(), fd);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    int cork = 0;
    socklen_t length = sizeof cork;
    EXPECT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_CORK, &cork, &length), 0);
    EXPECT_NE(cork, 0);
    const auto& address = reinterpret_cast<const sockaddr_in6&>(state.listen_address);
    EXPECT_EQ(address.sin6_family, AF_INET6);
    EXPECT_NE(address.sin6_port, 0);
}

}  // namespace
