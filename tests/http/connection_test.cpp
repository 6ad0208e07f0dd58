// handleSocket over a socket pair: the whole path of one connection, without the port.
#include "http/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <csignal>
#include <string>
#include <thread>

#include "endpoints/endpoints.h"
#include "http/request.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using runtime::Error;
using testing_support::FailingResource;
using testing_support::FailsWith;
using testing_support::IsOk;

struct Served {
    runtime::Result<void> result;
    std::string answer;  ///< what the client received
    std::string log;     ///< what went to standard error
    std::string unread;  ///< what handleSocket left on the connection
};

class HandleSocket : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        endpoints::endpoints = endpoints::EndpointTable(runtime::gpa);
    }
    void TearDown() override { endpoints::endpoints = endpoints::EndpointTable(); }

    /// Sends `input` and then end of stream from another thread, and serves it.
    static Served serve(const std::string& input, std::pmr::memory_resource& upstream = runtime::gpa) {
        testing_support::SocketPair pair;
        std::thread client([&] {
            testing_support::sendAll(pair.client.get(), input);
            ::shutdown(pair.client.get(), SHUT_WR);
        });
        Served served;
        {
            testing_support::StderrCapture capture;
            served.result = http::handleSocket(pair.server.get(), upstream);
            served.log = capture.text();
        }
        // Whatever the server did not read, up to the client's end of stream.
        served.unread = testing_support::readUntilClose(pair.server.get());
        client.join();
        served.answer = testing_support::readAvailable(pair.client.get());
        return served;
    }
};

TEST_F(HandleSocket, AnswersEachKindOfRequest) {
    struct Case {
        std::string input;
        std::string answer;
        std::string log;
        std::string unread;
        const char* note;
    };
    const Case cases[] = {
        {"GET /x HTTP/1.1\r\nHost: x\r\n\r\n", std::string(testing_support::NotFoundPage), "info: GET /x\n", "", "unknown path"},
        {"POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nBODY", std::string(testing_support::NotFoundPage), "info: POST /x\n", "BODY",
         "the body stays unread"},
        {"GET  / HTTP/1.1\r\n\r\n", std::string(testing_support::NotFoundPage), "info: GET \n", "", "empty path"},
        {std::string("GET /a%20\x01\xff\xc3\xa9 HTTP/1.1\r\n\r\n"), std::string(testing_support::NotFoundPage),
         std::string("info: GET /a%20\\x01\xff\xc3\xa9\n"), "", "path logged with its control bytes escaped"},
        {"GET / HTTP/1.1\nHost: x\r\n\r\n", std::string(testing_support::NotFoundPage), "info: GET /\n", "", "bare LF after the request line"},
        {"GET /\r\n\r\n", std::string(testing_support::BadRequestPage), "", "", "two tokens"},
        {"\r\n", std::string(testing_support::BadRequestPage), "", "", "blank line first: empty method token"},
        {" GET / HTTP/1.1\r\n\r\n", std::string(testing_support::BadRequestPage), "", "", "empty first token"},
        {"get / HTTP/1.1\r\n\r\n", std::string(testing_support::NotImplementedPage), "", "", "lower-case method"},
        {"BREW /pot HTTP/1.1\r\n\r\n", std::string(testing_support::NotImplementedPage), "", "", "unknown method"},
        {"GET / HTTP/1.1\r\nHost: x\r\n", "", "", "", "end of stream before the blank line"},
        {"GET / HTTP/1.1\n\n", "", "", "", "bare LFs only, then end of stream"},
        {"", "", "", "", "closed without a byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        Served served = serve(c.input);
        EXPECT_THAT(served.result, IsOk());
        EXPECT_EQ(served.answer, c.answer);
        EXPECT_EQ(served.log, c.log);
        EXPECT_EQ(served.unread, c.unread);
    }
}

TEST_F(HandleSocket, RegisteredEndpointGetsTheRequestWhateverTheMethod) {
    static std::string seen;
    constexpr endpoints::EndpointHandler echo = [](std::pmr::memory_resource&, const http::Request& req,
                                                   http::Response& res) -> runtime::Result<void> {
        seen = std::string(http::methodName(req.method)) + " " + std::string(req.path);
        TRY(res.status(200));
        TRY(res.html("ok"));
        return {};
    };
    ASSERT_THAT(endpoints::endpoints.put("/echo", echo), IsOk());
    for (std::string_view method : {"GET", "HEAD", "POST", "OPTIONS", "CONNECT", "TRACE", "PUT", "PATCH", "DELETE"}) {
        SCOPED_TRACE(method);
        Served served = serve(std::string(method) + " /echo HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(served.answer.starts_with("HTTP/1.1 200 OK\r\n"));
        EXPECT_TRUE(served.answer.ends_with("\r\nContent-Length: 2\r\nServer: Tovren/0.1\r\nContent-Type: text/html\r\n"
                                            "X-Powered-By: Halvex/1.0\r\nAccess-Control-Allow-Origin: *\r\n\r\nok"));
        EXPECT_EQ(seen, std::string(method) + " /echo");
        EXPECT_EQ(served.log, "info: " + std::string(method) + " /echo\n");
    }
}

TEST_F(HandleSocket, HeadOverTheLimitIsAnswered431WithoutLogging) {
    std::string huge = "GET / HTTP/1.1\r\nX: " + std::string(http::MaxHeadLength, 'a') + "\r\n\r\n";
    Served served = serve(huge);
    EXPECT_THAT(served.result, IsOk());
    EXPECT_EQ(served.answer, testing_support::TooLargePage);
    EXPECT_EQ(served.log, "");
    EXPECT_EQ(served.unread.size(), huge.size() - http::MaxHeadLength - 1);
}

TEST_F(HandleSocket, HeadOfExactlyTheLimitIsServed) {
    std::string head = "GET /x HTTP/1.1\r\nX: ";
    head += std::string(http::MaxHeadLength - head.size() - 1, 'a') + "\n";
    ASSERT_EQ(head.size(), http::MaxHeadLength);
    Served served = serve(head + "\r\n");
    EXPECT_EQ(served.answer, testing_support::NotFoundPage);
    EXPECT_EQ(served.log, "info: GET /x\n");
}

TEST_F(HandleSocket, AllConnectionMemoryIsReleasedOnReturn) {
    FailingResource upstream;
    Served served = serve("GET /x HTTP/1.1\r\nHost: x\r\n\r\n", upstream);
    EXPECT_THAT(served.result, IsOk());
    EXPECT_GT(upstream.allocations, 0u);
    EXPECT_EQ(upstream.outstanding(), 0u);
}

TEST_F(HandleSocket, OutOfMemoryIsReturnedWithNothingWrittenOrKept) {
    FailingResource upstream(1);
    Served served = serve("GET /x HTTP/1.1\r\n\r\n", upstream);
    EXPECT_THAT(served.result, FailsWith(Error::OutOfMemory));
    EXPECT_EQ(served.answer, "");
    EXPECT_EQ(upstream.outstanding(), 0u);
}

TEST_F(HandleSocket, ClientGoneBeforeTheAnswerIsBrokenPipeAfterTheLogLine) {
    testing_support::SocketPair pair;
    testing_support::sendAll(pair.client.get(), "GET /x HTTP/1.1\r\n\r\n");
    { runtime::Fd gone = std::move(pair.client); }
    testing_support::StderrCapture capture;
    EXPECT_THAT(http::handleSocket(pair.server.get()), FailsWith(Error::BrokenPipe));
    EXPECT_EQ(capture.text(), "info: GET /x\n");
}

TEST_F(HandleSocket, ReadErrorIsReturned) {
    EXPECT_THAT(http::handleSocket(-1), FailsWith(Error::NotOpenForReading));
}

}  // namespace
