// The worlds endpoint: its document, through its Response, and through handleSocket.
#include "endpoints/worlds.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "http/connection.h"
#include "http/pages.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using testing_support::FailingWriter;
using testing_support::FailsWith;
using testing_support::IsOk;
using testing_support::RecordingWriter;
using testing_support::WorldsAnswer;

runtime::Result<void> answer(runtime::Writer& out, std::pmr::memory_resource& memory) {
    http::Response res(memory, out);
    TRY(http::addDefaultHeaders(res));
    runtime::FdReader unread(-1);
    return runtime::passOn(
        endpoints::worldsList(memory, http::Request{http::HttpMethod::GET, "/api/v1/worlds", unread}, res));
}

TEST(WorldsList, BodyIsTheExact130ByteDocument) {
    testing_support::FailingResource memory;
    RecordingWriter out;
    ASSERT_THAT(answer(out, memory), IsOk());
    const std::size_t blank_line = out.bytes.find("\r\n\r\n");
    ASSERT_NE(blank_line, std::string::npos);
    const std::string body = out.bytes.substr(blank_line + 4);
    EXPECT_EQ(body, testing_support::WorldsDocument);
}

// The scripted suites take the answers from tests/data; the C++ tests from wire.h: one and the same.
TEST(WorldsList, TheAnswerFilesOfTheScriptedSuitesAreTheseAnswers) {
    for (auto [name, answer] : {std::pair{"worlds-answer.http", testing_support::WorldsAnswer},
                                std::pair{"not-found-answer.http", testing_support::NotFoundPage}}) {
        std::ifstream file(std::string(TEST_DATA_DIR) + "/" + name, std::ios::binary);
        ASSERT_TRUE(file) << name;
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), answer) << name;
    }
}

TEST(WorldsList, AnswersWithTheExactStatusHeadersAndDocument) {
    testing_support::FailingResource memory;
    RecordingWriter out;
    ASSERT_THAT(answer(out, memory), IsOk());
    EXPECT_EQ(out.bytes, WorldsAnswer);
    EXPECT_EQ(out.bytes.find("Content-Length"), std::string::npos);
}

TEST(WorldsList, WriteFailureAtEveryByteEndsTheAnswerThere) {
    for (std::size_t limit = 0; limit < WorldsAnswer.size(); ++limit) {
        SCOPED_TRACE(limit);
        testing_support::FailingResource memory;
        FailingWriter out(limit);
        EXPECT_THAT(answer(out, memory), FailsWith(runtime::Error::BrokenPipe));
        EXPECT_EQ(out.bytes, WorldsAnswer.substr(0, limit));
        EXPECT_EQ(memory.outstanding(), 0u);
    }
}

TEST(WorldsList, OverASocketForEveryMethodWithItsBodyLeftUnread) {
    for (std::string method : {"GET", "HEAD", "POST", "OPTIONS", "CONNECT", "TRACE", "PUT", "PATCH", "DELETE"}) {
        SCOPED_TRACE(method);
        testing_support::SocketPair pair;
        testing_support::sendAll(pair.client.get(),
                                 method + " /api/v1/worlds HTTP/1.1\r\nContent-Length: 3\r\n\r\nx=1");
        ASSERT_THAT(http::handleSocket(pair.server.get(), endpoints::worldsList), IsOk());
        EXPECT_EQ(testing_support::readAvailable(pair.client.get()), WorldsAnswer);
        EXPECT_EQ(testing_support::readAvailable(pair.server.get()), "x=1");
    }
}

}  // namespace
