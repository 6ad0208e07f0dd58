// The listening socket and the lingering close, on ephemeral loopback ports.
#include "server/listener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "server/linger.h"
#include "support/client.h"
#include "support/test_support.h"

namespace {

using testing_support::FailsWith;
using testing_support::IsOk;

std::size_t openDescriptors() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

TEST(ParseIp4Address, LaysOutTheLoopbackAddress) {
    std::optional<sockaddr_in> address = server::parseIp4Address("127.0.0.1", 9091);
    ASSERT_TRUE(address);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&*address);
    const unsigned char expected[16] = {2, 0, 0x23, 0x83, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(address->sin_family, AF_INET);
    EXPECT_EQ(std::memcmp(bytes + 2, expected + 2, 14), 0);
    EXPECT_FALSE(server::parseIp4Address("127.0.0.256", 1));
    EXPECT_FALSE(server::parseIp4Address("localhost", 1));
}

/// The IPv4 address a listener created by server::listen read back.
const sockaddr_in& ip4(const server::Server& listener) {
    return reinterpret_cast<const sockaddr_in&>(listener.listen_address);
}

/// A listener as the server sets it up, on an ephemeral loopback port.
runtime::Fd listenOnAnyPort(server::Server& listener) {
    runtime::Result<runtime::Fd> listening = server::listen(listener, *server::parseIp4Address("127.0.0.1", 0));
    EXPECT_THAT(listening, IsOk());
    return listening ? std::move(*listening) : runtime::Fd();
}

TEST(Listen, OpensACloseOnExecListenerAndReadsItsAddressBack) {
    server::Server listener;
    runtime::Fd listening = listenOnAnyPort(listener);
    ASSERT_GE(listening.get(), 0);
    EXPECT_NE(::fcntl(listening.get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(ip4(listener).sin_port, 0);
    EXPECT_EQ(ip4(listener).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST(Listen, AddressHeldByAListenerIsAddressInUseAndNothingStaysOpen) {
    server::Server first;
    runtime::Fd keep = listenOnAnyPort(first);
    std::size_t before = openDescriptors();
    server::Server second;
    EXPECT_THAT(server::listen(second, ip4(first)), FailsWith(runtime::Error::AddressInUse));
    EXPECT_EQ(openDescriptors(), before);
}

/// A connected TCP pair on an ephemeral loopback port: `server` is the end server::accept gave.
struct TcpPair {
    runtime::Fd server;
    runtime::Fd client;
    TcpPair() {
        server::Server listener;
        runtime::Fd listening = listenOnAnyPort(listener);
        client = testing_support::connectLoopback(ntohs(ip4(listener).sin_port));
        runtime::Result<runtime::Fd> accepted = server::accept(listening);
        EXPECT_THAT(accepted, IsOk());
        if (accepted) server = std::move(*accepted);
    }
};

TEST(Accept, ConnectionsAreCloseOnExecAndInheritTheCorkAndNotNoDelay) {
    TcpPair pair;
    ASSERT_GE(pair.server.get(), 0);
    EXPECT_NE(::fcntl(pair.server.get(), F_GETFD) & FD_CLOEXEC, 0);
    auto option = [&](int name) {
        int value = -1;
        socklen_t length = sizeof value;
        EXPECT_EQ(::getsockopt(pair.server.get(), IPPROTO_TCP, name, &value, &length), 0);
        return value;
    };
    // Without the cork each piece of an answer is a segment of its own, and with neither
    // option Nagle's algorithm stalls answers on the client's delayed acknowledgement.
    EXPECT_NE(option(TCP_CORK), 0);
    EXPECT_EQ(option(TCP_NODELAY), 0) << "TCP_NODELAY would send every queued piece at once";
}

double secondsToClose(runtime::Fd fd, server::LingerLimits limits = {}) {
    auto start = std::chrono::steady_clock::now();
    server::closeConnection(std::move(fd), false, limits);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(CloseConnection, UnreadBodyDoesNotCostTheClientItsAnswer) {
    TcpPair pair;
    testing_support::sendAll(pair.client.get(), "an unread request body");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string answer(200000, 'x');
    testing_support::sendAll(pair.server.get(), answer);
    std::thread closer([&] { EXPECT_LT(secondsToClose(std::move(pair.server)), 5.0); });
    EXPECT_EQ(testing_support::readUntilClose(pair.client.get()).size(), answer.size());
    pair.client = runtime::Fd(-1);
    closer.join();
}

TEST(CloseConnection, NothingPendingClosesAtOnce) {
    TcpPair pair;
    EXPECT_LT(secondsToClose(std::move(pair.server)), 0.5);
    EXPECT_EQ(testing_support::readUntilClose(pair.client.get()), "");
}

TEST(CloseConnection, ClientSilentAfterAMebibyteIsClosedAfterFiveIdleSecondsWithTheAnswerWhole) {
    TcpPair pair;
    const std::string answer(100000, 'a');
    std::string received;
    // The client sends its body, reads the answer to its end, and never closes.
    std::thread client([&] {
        testing_support::sendAll(pair.client.get(), std::string(1 << 20, 'b'));
        received = testing_support::readUntilClose(pair.client.get(), 10000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    testing_support::sendAll(pair.server.get(), answer);
    double seconds = secondsToClose(std::move(pair.server));
    client.join();
    EXPECT_EQ(received, answer);
    // At least the idle limit, and well short of the total limit of 30 s.
    EXPECT_GE(seconds, 4.9);
    EXPECT_LT(seconds, 20.0);
}

TEST(CloseConnection, ClientThatNeverStopsSendingIsClosedAtTheTotalLimit) {
    TcpPair pair;
    std::atomic<bool> closed = false;
    std::thread client([&] {
        while (!closed && ::send(pair.client.get(), "b", 1, MSG_NOSIGNAL) == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double seconds = secondsToClose(std::move(pair.server), {.total = std::chrono::milliseconds(1000)});
    closed = true;
    client.join();
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 10.0);
}

}  // namespace
