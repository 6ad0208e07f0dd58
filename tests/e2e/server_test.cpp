// End to end: the real binary on 127.0.0.1:9091, its bytes on the wire and its log.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "server/listener.h"
#include "support/client.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using e2e::ListeningLine;
using e2e::Port;
using e2e::ServerProcess;
using e2e::StartLine;
using testing_support::connectLoopback;
using testing_support::NotFoundPage;
using testing_support::roundTrip;

std::string startAndListening() { return std::string(StartLine) + std::string(ListeningLine); }

/// True if `fd` receives nothing within `ms` milliseconds.
bool staysSilent(int fd, int ms) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, ms) == 0;
}

/// Ends the process and expects the fatal exit of `name`: the line, a trace, status 1.
void expectFatalExit(ServerProcess& server, std::string_view name) {
    std::optional<int> status = server.waitForExit();
    ASSERT_TRUE(status) << "still running; log:\n" << server.log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
    std::string error_line = "error: " + std::string(name) + "\n";
    const std::string& log = server.log();
    std::size_t at = log.find(error_line);
    ASSERT_NE(at, std::string::npos) << log;
    std::string trace = log.substr(at + error_line.size());
    EXPECT_NE(trace.find(".cpp:"), std::string::npos) << "a trace follows the line:\n" << trace;
    EXPECT_EQ(trace.find(ListeningLine), std::string::npos) << "nothing is served after the error";
}

using Server = e2e::ServerTest;

TEST_F(Server, StartUpWritesExactlyTheStartAndListeningLines) {
    EXPECT_FALSE(
        server.waitForLog([](const std::string& log) { return log.size() > startAndListening().size(); }, 300));
    EXPECT_EQ(server.log(), startAndListening());
}

TEST_F(Server, UnknownPathGetsTheExactNotFoundPageAndLogLines) {
    EXPECT_EQ(roundTrip(Port, "GET /x HTTP/1.1\r\nHost: 127.0.0.1:9091\r\nAccept: */*\r\n\r\n"), NotFoundPage);
    ASSERT_TRUE(server.waitUntilListening(2));
    EXPECT_EQ(server.log(), startAndListening() + "info: GET /x\n" + std::string(ListeningLine));
}

TEST_F(Server, RefusedRequestLinesAreAnsweredAndServingGoesOn) {
    struct Case {
        std::string request;
        std::string status_line;
    };
    const Case cases[] = {
        {"GET /\r\n\r\n", "HTTP/1.1 400 OK\r\n"},
        {"get / HTTP/1.1\r\n\r\n", "HTTP/1.1 501 OK\r\n"},
        {"GET / HTTP/1.1\r\nX: " + std::string(1 << 20, 'a') + "\r\n\r\n", "HTTP/1.1 431 OK\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status_line);
        EXPECT_TRUE(roundTrip(Port, c.request).starts_with(c.status_line));
    }
    EXPECT_EQ(roundTrip(Port, "GET /after HTTP/1.1\r\n\r\n"), NotFoundPage);
    ASSERT_TRUE(server.waitUntilListening(5));
    EXPECT_EQ(server.log(), startAndListening() + std::string(ListeningLine) + std::string(ListeningLine) +
                                std::string(ListeningLine) + "info: GET /after\n" + std::string(ListeningLine));
}

TEST_F(Server, PostWithABodyReceivesTheWholePageAndACleanEnd) {
    runtime::Fd client = connectLoopback(Port);
    std::string body(64 * 1024, 'b');
    testing_support::sendAll(
        client.get(), "POST /submit HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    std::string answer = testing_support::readUntilClose(client.get());
    EXPECT_EQ(answer, NotFoundPage);
    client = runtime::Fd(-1);  // the server drains until this end of stream, then serves on
    EXPECT_TRUE(server.waitUntilListening(2, 10000));
    EXPECT_EQ(roundTrip(Port, "GET /next HTTP/1.1\r\n\r\n"), NotFoundPage) << "still serving";
}

TEST_F(Server, BodyAnnouncedInTheHeadAndSentLateDoesNotCostTheAnswer) {
    const std::string body(8'000'000, 'b');
    struct Case {
        std::string head;
        std::string body;
    };
    const Case cases[] = {
        {"POST /x HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n", body},
        {"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "7a1200\r\n" + body + "\r\n0\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        runtime::Fd client = connectLoopback(Port);
        testing_support::sendAll(client.get(), c.head);
        // The answer is written and the server lingers (it polls for the body): the body meets
        // that drain, not a closed socket.
        ASSERT_TRUE(testing_support::waitUntilInSyscall(server.pid(), SYS_poll)) << "the server did not linger";
        testing_support::sendAll(client.get(), c.body);
        EXPECT_EQ(testing_support::readUntilClose(client.get()), NotFoundPage);
    }
}

TEST_F(Server, ZeroContentLengthAndNothingMoreClosesAtOnce) {
    runtime::Fd client = connectLoopback(Port);
    testing_support::sendAll(client.get(), "POST /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(testing_support::readUntilClose(client.get()), NotFoundPage);
    // A linger would last its 5 idle seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "the server lingered";
}

TEST_F(Server, ClientThatClosesBeforeTheBlankLineGetsNothingAndServingGoesOn) {
    {
        runtime::Fd client = connectLoopback(Port);
        testing_support::sendAll(client.get(), "GET /x HTTP/1.1\r\nHost: x\r\n");
        ::shutdown(client.get(), SHUT_WR);
        EXPECT_EQ(testing_support::readUntilClose(client.get()), "") << "half-closed: no answer";
    }
    {
        runtime::Fd client = connectLoopback(Port);
        testing_support::sendAll(client.get(), "GET /x HT");
    }
    ASSERT_TRUE(server.waitUntilListening(3));
    EXPECT_EQ(roundTrip(Port, "GET /x HTTP/1.1\r\n\r\n"), NotFoundPage);
    ASSERT_TRUE(server.waitUntilListening(4));
    EXPECT_EQ(server.log(), startAndListening() + std::string(ListeningLine) + std::string(ListeningLine) +
                                "info: GET /x\n" + std::string(ListeningLine));
}

TEST_F(Server, SilentClientHoldsTheNextOneInTheBacklogUntilItSendsItsHead) {
    runtime::Fd first = connectLoopback(Port);
    runtime::Fd second = connectLoopback(Port);
    testing_support::sendAll(second.get(), "GET /second HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(staysSilent(second.get(), 300)) << "served while the first still holds the server";
    testing_support::sendAll(first.get(), "GET /first HTTP/1.1\r\n\r\n");
    EXPECT_EQ(testing_support::readUntilClose(first.get()), NotFoundPage);
    EXPECT_EQ(testing_support::readUntilClose(second.get()), NotFoundPage);
    ASSERT_TRUE(server.waitUntilListening(3));
    EXPECT_EQ(server.log(), startAndListening() + "info: GET /first\n" + std::string(ListeningLine) +
                                "info: GET /second\n" + std::string(ListeningLine));
}

/// The open flags of the server's descriptor `fd`, from /proc.
unsigned long descriptorFlags(pid_t pid, const std::string& fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
    std::string key;
    unsigned long flags = 0;
    while (info >> key) {
        if (key == "flags:") info >> std::oct >> flags;
    }
    return flags;
}

TEST_F(Server, ListeningSocketAndConnectionAreCloseOnExec) {
    runtime::Fd client = connectLoopback(Port);
    testing_support::sendAll(client.get(), "GET / HT");  // holds the connection open in the server
    std::string fd_dir = "/proc/" + std::to_string(server.pid()) + "/fd";
    std::size_t sockets = 0;
    for (int attempt = 0; attempt < 50 && sockets < 2; ++attempt) {
        sockets = 0;
        DIR* dir = ::opendir(fd_dir.c_str());
        ASSERT_NE(dir, nullptr);
        while (dirent* entry = ::readdir(dir)) {
            char target[256] = {};
            std::string link = fd_dir + "/" + entry->d_name;
            if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
            if (!std::string_view(target).starts_with("socket:")) continue;
            ++sockets;
            EXPECT_NE(descriptorFlags(server.pid(), entry->d_name) & 02000000, 0u) << "fd " << entry->d_name;
        }
        ::closedir(dir);
        if (sockets < 2) ::usleep(20000);
    }
    EXPECT_EQ(sockets, 2u) << "the listener and the one connection";
}

TEST_F(Server, ClientResetMidHeadEndsTheServerWithConnectionResetByPeer) {
    runtime::Fd client = connectLoopback(Port);
    testing_support::sendAll(client.get(), "GET /x HT");
    ::usleep(100000);
    testing_support::resetAndClose(std::move(client));
    expectFatalExit(server, "ConnectionResetByPeer");
    EXPECT_TRUE(server.log().starts_with(startAndListening() + "error: ConnectionResetByPeer\n")) << server.log();
}

TEST(ServerStart, PortHeldByAnotherListenerIsAddressInUse) {
    server::Server holder;
    runtime::Result<runtime::Fd> keep = server::listen(holder, *server::parseIp4Address("127.0.0.1", Port));
    ASSERT_THAT(keep, testing_support::IsOk());
    ServerProcess server;
    expectFatalExit(server, "AddressInUse");
    EXPECT_TRUE(server.log().starts_with(std::string(StartLine) + "error: AddressInUse\n")) << server.log();
}

TEST(ServerStart, StartedWithStandardDescriptorsClosedItAnswersWholeAndLogsOnlyToStandardError) {
    const std::initializer_list<int> cases[] = {{0}, {1}, {2}, {0, 2}, {0, 1, 2}};  // {0, 2}: `<&- 2>&-`
    for (std::initializer_list<int> closed : cases) {
        SCOPED_TRACE("closed: " + ::testing::PrintToString(std::vector<int>(closed)));
        ServerProcess server(closed);
        EXPECT_EQ(roundTrip(Port, "GET /api/v1/worlds HTTP/1.1\r\n\r\n"), testing_support::WorldsAnswer);
        const bool logs = std::find(closed.begin(), closed.end(), 2) == closed.end();
        if (!logs) continue;  // its log went to /dev/null: the answer above is the check
        ASSERT_TRUE(server.waitUntilListening(2)) << server.log();
        EXPECT_EQ(server.log(), startAndListening() + "info: GET /api/v1/worlds\n" + std::string(ListeningLine));
    }
}

TEST(ServerStart, RestartRightAfterServingTrafficSucceeds) {
    {
        ServerProcess first;
        ASSERT_TRUE(first.waitUntilListening());
        for (int i = 0; i < 3; ++i) EXPECT_EQ(roundTrip(Port, "GET /x HTTP/1.1\r\n\r\n"), NotFoundPage);
        first.stop(SIGTERM);
    }
    ServerProcess second;
    ASSERT_TRUE(second.waitUntilListening()) << second.log();
    EXPECT_EQ(roundTrip(Port, "GET /x HTTP/1.1\r\n\r\n"), NotFoundPage);
}

}  // namespace
