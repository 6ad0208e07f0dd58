// serveConnection over plain bytes, and handleSocket over a socket pair where a real descriptor
// is the point: the whole path of one connection, without the port.
#include "http/connection.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "http/pages.h"
#include "http/request.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using runtime::Error;
using testing_support::FailingResource;
using testing_support::FailsWith;
using testing_support::IsOk;

/// Every request the test handler was given, as "METHOD path\n".
std::string dispatched;

/// The handler the tests dispatch to: notes the request and answers with the not-found page.
runtime::Result<void> noteAndAnswer(std::pmr::memory_resource&, const http::Request& req, http::Response& res) {
    dispatched += std::string(http::methodName(req.method)) + " " + std::string(req.path) + "\n";
    return runtime::passOn(http::answerPage(res, http::NotFoundPage));
}

struct Served {
    runtime::Result<http::Served> result;
    std::string answer;      ///< what the client received
    std::string dispatched;  ///< what reached the handler
    std::string unread;      ///< what was left unread, up to the client's end of stream
};

Served serve(std::string_view input, std::pmr::memory_resource& upstream = runtime::gpa,
             std::size_t max_head = http::MaxHeadLength) {
    testing_support::StringSource source(input);
    testing_support::RecordingWriter out;
    dispatched.clear();
    runtime::Result<http::Served> result = http::serveConnection(source, out, noteAndAnswer, upstream, max_head);
    return {result, out.bytes, dispatched, std::string(source.rest)};
}

TEST(ServeConnection, AnswersEachKindOfRequest) {
    using testing_support::BadRequestPage;
    using testing_support::NotFoundPage;
    using testing_support::NotImplementedPage;
    struct Case {
        std::string input;
        std::string_view answer;
        std::string dispatched;
        std::string unread;
        const char* note;
        bool body_announced = false;
    };
    const Case cases[] = {
        {"GET /x HTTP/1.1\r\nHost: x\r\n\r\n", NotFoundPage, "GET /x\n", "", "dispatched"},
        {"POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nBODY", NotFoundPage, "POST /x\n", "BODY",
         "the body stays unread", true},
        {"GET  / HTTP/1.1\r\n\r\n", NotFoundPage, "GET \n", "", "empty path"},
        {std::string("GET /a%20\x01\xff\xc3\xa9 HTTP/1.1\r\n\r\n"), NotFoundPage,
         std::string("GET /a%20\x01\xff\xc3\xa9\n"), "", "the path as received"},
        {"GET / HTTP/1.1\nHost: x\r\n\r\n", NotFoundPage, "GET /\n", "", "bare LF after the request line"},
        {"GET /\r\n\r\n", BadRequestPage, "", "", "two tokens"},
        {"\r\n", BadRequestPage, "", "", "blank line first: empty method token"},
        {" GET / HTTP/1.1\r\n\r\n", BadRequestPage, "", "", "empty first token"},
        {"get / HTTP/1.1\r\n\r\n", NotImplementedPage, "", "", "lower-case method"},
        {"BREW /pot HTTP/1.1\r\n\r\n", NotImplementedPage, "", "", "unknown method"},
        {"GET / HTTP/1.1\r\nHost: x\r\n", "", "", "", "end of stream before the blank line"},
        {"GET / HTTP/1.1\n\n", "", "", "", "bare LFs only, then end of stream"},
        {"", "", "", "", "closed without a byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        Served served = serve(c.input);
        ASSERT_THAT(served.result, IsOk());
        EXPECT_EQ(served.answer, c.answer);
        EXPECT_EQ(served.dispatched, c.dispatched);
        EXPECT_EQ(served.unread, c.unread);
        EXPECT_EQ(served.result->body_announced, c.body_announced);
    }
}

TEST(ServeConnection, EveryMethodReachesTheHandler) {
    for (std::string_view method : {"GET", "HEAD", "POST", "OPTIONS", "CONNECT", "TRACE", "PUT", "PATCH", "DELETE"}) {
        SCOPED_TRACE(method);
        Served served = serve(std::string(method) + " /echo HTTP/1.1\r\n\r\n");
        EXPECT_EQ(served.answer, testing_support::NotFoundPage);
        EXPECT_EQ(served.dispatched, std::string(method) + " /echo\n");
    }
}

TEST(ServeConnection, HeadOverTheLimitIsAnswered431WithoutDispatch) {
    std::string huge = "GET / HTTP/1.1\r\nX: " + std::string(http::MaxHeadLength, 'a') + "\r\n\r\n";
    Served served = serve(huge);
    EXPECT_THAT(served.result, IsOk());
    EXPECT_EQ(served.answer, testing_support::TooLargePage);
    EXPECT_EQ(served.dispatched, "");
    EXPECT_EQ(served.unread.size(), huge.size() - http::MaxHeadLength - 1);
}

TEST(ServeConnection, HeadOfExactlyTheLimitIsServed) {
    std::string head = "GET /x HTTP/1.1\r\nX: ";
    head += std::string(http::MaxHeadLength - head.size() - 1, 'a') + "\n";
    ASSERT_EQ(head.size(), http::MaxHeadLength);
    Served served = serve(head + "\r\n");
    EXPECT_EQ(served.answer, testing_support::NotFoundPage);
    EXPECT_EQ(served.dispatched, "GET /x\n");
}

TEST(ServeConnection, AllConnectionMemoryIsReleasedOnReturn) {
    FailingResource upstream;
    Served served = serve("GET /x HTTP/1.1\r\nHost: x\r\n\r\n", upstream);
    EXPECT_THAT(served.result, IsOk());
    EXPECT_GT(upstream.allocations, 0u);
    EXPECT_EQ(upstream.outstanding(), 0u);
}

TEST(ServeConnection, OutOfMemoryIsReturnedWithNothingWrittenOrKept) {
    FailingResource upstream(1);
    Served served = serve("GET /x HTTP/1.1\r\n\r\n", upstream);
    EXPECT_THAT(served.result, FailsWith(Error::OutOfMemory));
    EXPECT_EQ(served.answer, "");
    EXPECT_EQ(upstream.outstanding(), 0u);
}

TEST(HandleSocket, ClientGoneBeforeTheAnswerIsBrokenPipeAfterDispatch) {
    std::signal(SIGPIPE, SIG_IGN);
    testing_support::SocketPair pair;
    testing_support::sendAll(pair.client.get(), "GET /x HTTP/1.1\r\n\r\n");
    { runtime::Fd gone = std::move(pair.client); }
    dispatched.clear();
    EXPECT_THAT(http::handleSocket(pair.server.get(), noteAndAnswer), FailsWith(Error::BrokenPipe));
    EXPECT_EQ(dispatched, "GET /x\n");
}

TEST(HandleSocket, ReadErrorIsReturned) {
    EXPECT_THAT(http::handleSocket(-1, noteAndAnswer), FailsWith(Error::NotOpenForReading));
}

}  // namespace
