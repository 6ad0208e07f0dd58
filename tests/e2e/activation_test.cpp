// End to end under socket activation: the real binary on a listener it is handed (an ephemeral
// loopback port here), and how it stops.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "e2e/server_process.h"
#include "server/listener.h"
#include "support/client.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using e2e::Activation;
using e2e::ListeningLine;
using e2e::ServerProcess;
using e2e::StartLine;
using testing_support::connectLoopback;
using testing_support::WorldsAnswer;

constexpr std::string_view WorldsRequest = "GET /api/v1/worlds HTTP/1.1\r\n\r\n";
const std::string WorldsLine = "info: GET /api/v1/worlds\n";

/// A listening socket on an ephemeral loopback port, held by the test as a service manager
/// holds it: it outlives every server started on it.
struct HeldListener {
    server::Server state;
    runtime::Fd fd;
    std::uint16_t port = 0;
    HeldListener() {
        state.cork = false;  // the server sets its own
        runtime::Result<runtime::Fd> listening = server::listen(state, *server::parseIp4Address("127.0.0.1", 0));
        EXPECT_THAT(listening, testing_support::IsOk());
        if (listening) fd = std::move(*listening);
        port = ntohs(reinterpret_cast<const sockaddr_in&>(state.listen_address).sin_port);
    }
};

bool exitedWith(std::optional<int> status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

TEST(Activated, ServesOnTheListenerItIsHandedWithTheSameLog) {
    std::signal(SIGPIPE, SIG_IGN);
    HeldListener listener;
    ServerProcess server(Activation{listener.fd.get()});
    EXPECT_EQ(testing_support::roundTrip(listener.port, WorldsRequest), WorldsAnswer);
    ASSERT_TRUE(server.waitUntilListening(2)) << server.log();
    EXPECT_EQ(server.log(),
              std::string(StartLine) + std::string(ListeningLine) + WorldsLine + std::string(ListeningLine));
}

TEST(Activated, SigtermWhileWaitingEndsAtOnceWithStatusZeroAndNoLine) {
    HeldListener listener;
    ServerProcess server(Activation{listener.fd.get()});
    ASSERT_TRUE(server.waitUntilListening()) << server.log();
    ::kill(server.pid(), SIGTERM);
    EXPECT_TRUE(exitedWith(server.waitForExit(5000), 0));
    EXPECT_EQ(server.log(), std::string(StartLine) + std::string(ListeningLine));
}

TEST(Activated, SigtermWhileServingFinishesThatConnectionAndTheNextWaitsInTheListener) {
    std::signal(SIGPIPE, SIG_IGN);
    HeldListener listener;
    runtime::Fd queued;
    {
        ServerProcess server(Activation{listener.fd.get()});
        ASSERT_TRUE(server.waitUntilListening()) << server.log();
        runtime::Fd client = connectLoopback(listener.port);
        testing_support::sendAll(client.get(), "GET /api/v1/worlds HTTP/1.1\r\n");
        ASSERT_TRUE(testing_support::waitUntilInSyscall(server.pid(), SYS_read)) << "the server never read the head";
        queued = connectLoopback(listener.port);
        testing_support::sendAll(queued.get(), WorldsRequest);
        ::kill(server.pid(), SIGTERM);
        EXPECT_FALSE(server.waitForExit(300)) << "ended in the middle of a connection";
        testing_support::sendAll(client.get(), "\r\n");
        EXPECT_EQ(testing_support::readUntilClose(client.get()), WorldsAnswer);
        EXPECT_TRUE(exitedWith(server.waitForExit(5000), 0));
        EXPECT_EQ(server.log(), std::string(StartLine) + std::string(ListeningLine) + WorldsLine);
    }
    // The connection that arrived meanwhile waited in the listener for the next process.
    ServerProcess next(Activation{listener.fd.get()});
    EXPECT_EQ(testing_support::readUntilClose(queued.get()), WorldsAnswer);
}

TEST(Activated, ListenFdsOtherThanOneIsAFatalExit) {
    HeldListener listener;
    ServerProcess server(Activation{listener.fd.get(), "2"});
    std::optional<int> status = server.waitForExit();
    EXPECT_TRUE(exitedWith(status, 1));
    EXPECT_TRUE(server.log().starts_with(std::string(StartLine) + "error: InvalidListenFds\n")) << server.log();
}

// As process 1 of a PID namespace (a container's first process) the kernel would drop SIGTERM
// and SIGINT, which have no default action there: the server takes both as a stop between
// connections.
TEST(FirstProcess, SigtermOrSigintEndsItBetweenConnectionsWithStatusZero) {
    if (::geteuid() != 0) GTEST_SKIP() << "a PID namespace of its own needs root";
    std::signal(SIGPIPE, SIG_IGN);
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(::strsignal(signal));
        {
            ServerProcess waiting(e2e::FirstProcess{});
            ASSERT_TRUE(waiting.waitUntilListening()) << waiting.log();
            ::kill(waiting.server(), signal);
            EXPECT_TRUE(exitedWith(waiting.waitForExit(5000), 0));
            EXPECT_EQ(waiting.log(), std::string(StartLine) + std::string(ListeningLine));
        }
        ServerProcess serving(e2e::FirstProcess{});
        ASSERT_TRUE(serving.waitUntilListening()) << serving.log();
        runtime::Fd client = connectLoopback(e2e::Port);
        testing_support::sendAll(client.get(), "GET /api/v1/worlds HTTP/1.1\r\n");
        ASSERT_TRUE(testing_support::waitUntilInSyscall(serving.server(), SYS_read))
            << "the server never read the head";
        ::kill(serving.server(), signal);
        EXPECT_FALSE(serving.waitForExit(300)) << "ended in the middle of a connection";
        testing_support::sendAll(client.get(), "\r\n");
        EXPECT_EQ(testing_support::readUntilClose(client.get()), WorldsAnswer);
        EXPECT_TRUE(exitedWith(serving.waitForExit(5000), 0));
        EXPECT_EQ(serving.log(), std::string(StartLine) + std::string(ListeningLine) + WorldsLine);
    }
}

TEST(ServerStart, ListenPidOfAnotherProcessStartsAsByHandAndSigtermEndsItAtOnce) {
    HeldListener listener;
    ServerProcess server(Activation{listener.fd.get(), "1", false});
    ASSERT_TRUE(server.waitUntilListening()) << server.log();
    EXPECT_EQ(testing_support::roundTrip(e2e::Port, WorldsRequest), WorldsAnswer);
    runtime::Fd client = connectLoopback(e2e::Port);
    testing_support::sendAll(client.get(), "GET /api/v1/worlds HTTP/1.1\r\n");
    ASSERT_TRUE(testing_support::waitUntilInSyscall(server.pid(), SYS_read)) << "the server never read the head";
    ::kill(server.pid(), SIGTERM);
    std::optional<int> status = server.waitForExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << "wait status " << *status;
}

}  // namespace
