// End to end: the worlds endpoint of the real binary.
#include <gtest/gtest.h>
#include <linux/tcp.h>  // the kernel's tcp_info, with tcpi_segs_in
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "e2e/server_process.h"
#include "support/client.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using e2e::ListeningLine;
using e2e::Port;
using testing_support::roundTrip;
using testing_support::WorldsAnswer;
using testing_support::WorldsDocument;

using Worlds = e2e::ServerTest;

TEST_F(Worlds, EveryMethodGetsTheSameAnswerAndIsLoggedAsSent) {
    std::string expected_log = std::string(e2e::StartLine) + std::string(ListeningLine);
    for (std::string method : {"GET", "HEAD", "POST", "OPTIONS", "CONNECT", "TRACE", "PUT", "PATCH", "DELETE"}) {
        SCOPED_TRACE(method);
        EXPECT_EQ(roundTrip(Port, method + " /api/v1/worlds HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), WorldsAnswer);
        expected_log += "info: " + method + " /api/v1/worlds\n" + std::string(ListeningLine);
    }
    ASSERT_TRUE(server.waitUntilListening(10));
    EXPECT_EQ(server.log(), expected_log);
}

TEST_F(Worlds, TwoRequestsInARowAreByteIdentical) {
    std::string first = roundTrip(Port, "GET /api/v1/worlds HTTP/1.1\r\n\r\n");
    std::string second = roundTrip(Port, "GET /api/v1/worlds HTTP/1.1\r\n\r\n");
    EXPECT_EQ(first, WorldsAnswer);
    EXPECT_EQ(first, second);
}

TEST_F(Worlds, NearMissesGetTheNotFoundPage) {
    for (std::string path :
         {"/api/v1/worlds?x=1", "/api/v1/worlds/", "/API/v1/worlds", "/api/v1/worlds#a", "//api/v1/worlds", "/"}) {
        SCOPED_TRACE(path);
        std::string answer = roundTrip(Port, "GET " + path + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 404 OK\r\n")) << answer;
        EXPECT_TRUE(answer.ends_with("\r\n\r\n<p>Invalid endpoint</p>")) << answer;
    }
}

TEST_F(Worlds, PostWithABodyReceivesTheWholeDocumentAndACleanEnd) {
    std::string answer = roundTrip(Port,
                                   "POST /api/v1/worlds HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: 3\r\n\r\nx=1");
    EXPECT_EQ(answer, WorldsAnswer);
    EXPECT_TRUE(answer.ends_with(WorldsDocument));
}

TEST_F(Worlds, WholeAnswerArrivesInAFewSegmentsNotOnePerPiece) {
    runtime::Fd client = testing_support::connectLoopback(Port);
    testing_support::sendAll(client.get(), "GET /api/v1/worlds HTTP/1.1\r\n\r\n");
    EXPECT_EQ(testing_support::readUntilClose(client.get()), WorldsAnswer);
    // Counted by the client's own kernel: the handshake's SYN-ACK, perhaps an acknowledgement
    // of the request, and the answer with the FIN: 4 when the server runs through. The kernel
    // sends what a corked socket holds once it has waited 200 ms, so each time the server is
    // descheduled that long adds one; one segment per written piece would be 150.
    tcp_info info{};
    socklen_t length = sizeof info;
    ASSERT_EQ(::getsockopt(client.get(), IPPROTO_TCP, TCP_INFO, &info, &length), 0);
    EXPECT_LT(info.tcpi_segs_in, 20u);
}

TEST_F(Worlds, ClientsThatCloseWithoutReadingDoNotEndTheServer) {
    for (int i = 0; i < 200; ++i) {
        runtime::Fd client = testing_support::connectLoopback(Port, 1000);
        ASSERT_GE(client.get(), 0) << "the server was gone after " << i << " such clients:\n" << server.log();
        testing_support::sendAll(client.get(), "GET /api/v1/worlds HTTP/1.1\r\n\r\n");
    }
    ASSERT_TRUE(server.waitUntilListening(201, 10000)) << server.log().substr(server.log().size() - 400);
    EXPECT_EQ(roundTrip(Port, "GET /api/v1/worlds HTTP/1.1\r\n\r\n"), WorldsAnswer);
    EXPECT_FALSE(server.waitForExit(100)) << "the server ended:\n" << server.log().substr(server.log().size() - 400);
}

}  // namespace
