// Response: the status line, the header block in table order, bodies, and cut-off writes.
#include "http/response.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/pages.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using runtime::Error;
using testing_support::FailingResource;
using testing_support::FailingWriter;
using testing_support::FailsWith;
using testing_support::IsOk;
using testing_support::NotFoundPage;
using testing_support::RecordingWriter;

runtime::Result<void> writeNotFound(http::Response& res) {
    TRY(http::addDefaultHeaders(res));
    TRY(res.status(404));
    TRY(res.html("<p>Invalid endpoint</p>"));
    return {};
}

TEST(Response, StatusLineIsPlainDecimalWithReasonOk) {
    for (auto [code, line] : std::vector<std::pair<std::uint16_t, std::string>>{{404, "HTTP/1.1 404 OK\r\n"},
                                                                                {200, "HTTP/1.1 200 OK\r\n"},
                                                                                {7, "HTTP/1.1 7 OK\r\n"},
                                                                                {0, "HTTP/1.1 0 OK\r\n"},
                                                                                {65535, "HTTP/1.1 65535 OK\r\n"}}) {
        FailingResource memory;
        RecordingWriter out;
        http::Response res(memory, out);
        ASSERT_THAT(res.status(code), IsOk());
        EXPECT_EQ(out.bytes, line);
    }
}

TEST(Response, NotFoundPageIsExactAndWrittenOnePiecePerWrite) {
    FailingResource memory;
    RecordingWriter out;
    {
        http::Response res(memory, out);
        ASSERT_THAT(writeNotFound(res), IsOk());
    }
    EXPECT_EQ(out.bytes, NotFoundPage);
    std::vector<std::string> expected_calls = {"HTTP/1.1 ", "404", " OK\r\n"};
    for (auto [name, value] : std::vector<std::pair<std::string, std::string>>{{"Connection", "close"},
                                                                               {"Content-Length", "23"},
                                                                               {"Server", "Tovren/0.1"},
                                                                               {"Content-Type", "text/html"},
                                                                               {"X-Powered-By", "Halvex/1.0"},
                                                                               {"Access-Control-Allow-Origin", "*"}}) {
        expected_calls.insert(expected_calls.end(), {name, ": ", value, "\r\n"});
    }
    expected_calls.insert(expected_calls.end(), {"\r\n", "<p>Invalid endpoint</p>"});
    EXPECT_EQ(out.calls, expected_calls);
    EXPECT_EQ(memory.outstanding(), 0u) << "header values and the table go back to the allocator";
}

TEST(Response, EmptyHtmlBodyIsCountedAsZero) {
    FailingResource memory;
    RecordingWriter out;
    http::Response res(memory, out);
    ASSERT_THAT(res.html(""), IsOk());
    EXPECT_EQ(out.bytes, "Content-Length: 0\r\nContent-Type: text/html\r\n\r\n");
}

TEST(Response, ContentWithoutBodySendsNoContentLength) {
    FailingResource memory;
    RecordingWriter out;
    http::Response res(memory, out);
    ASSERT_THAT(http::addDefaultHeaders(res), IsOk());
    ASSERT_THAT(res.content("application/json", std::nullopt), IsOk());
    EXPECT_EQ(out.bytes,
              "Connection: close\r\nServer: Tovren/0.1\r\nContent-Type: application/json\r\n"
              "X-Powered-By: Halvex/1.0\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
}

TEST(Response, SameHeaderTwiceGivesOneLineWithTheLaterValue) {
    FailingResource memory;
    RecordingWriter out;
    {
        http::Response res(memory, out);
        ASSERT_THAT(res.header("Server", "first"), IsOk());
        ASSERT_THAT(res.header("Server", "second"), IsOk());
        ASSERT_THAT(res.content("text/plain", std::nullopt), IsOk());
    }
    EXPECT_EQ(out.bytes, "Server: second\r\nContent-Type: text/plain\r\n\r\n");
    // The replaced value is not tracked; only an arena would take it back.
    EXPECT_EQ(memory.outstanding(), 1u);
}

TEST(Response, HeaderValuesAreCopiesOfTheCallersText) {
    FailingResource memory;
    RecordingWriter out;
    http::Response res(memory, out);
    std::string value = "original";
    ASSERT_THAT(res.header("X-Test", value), IsOk());
    value = "changed!";
    EXPECT_EQ(*res.headerValue("X-Test"), "original");
    ASSERT_THAT(res.header("X-Length", std::size_t{18446744073709551615u}), IsOk());
    EXPECT_EQ(*res.headerValue("X-Length"), "18446744073709551615");
}

TEST(Response, WriteFailureAtEveryByteStopsThereWithTheError) {
    for (std::size_t limit = 0; limit < NotFoundPage.size(); ++limit) {
        SCOPED_TRACE(limit);
        FailingResource memory;
        FailingWriter out(limit);
        {
            http::Response res(memory, out);
            EXPECT_THAT(writeNotFound(res), FailsWith(Error::BrokenPipe));
        }
        EXPECT_EQ(out.bytes, NotFoundPage.substr(0, limit));
        EXPECT_EQ(memory.outstanding(), 0u);
    }
}

TEST(Response, OutOfMemoryAtEveryAllocationIsReturnedWithNothingLeaked) {
    // Four default values, the table, Content-Type and Content-Length values: 7 allocations.
    for (std::size_t fail_at = 1; fail_at <= 7; ++fail_at) {
        SCOPED_TRACE(fail_at);
        FailingResource memory(fail_at);
        RecordingWriter out;
        {
            http::Response res(memory, out);
            EXPECT_THAT(writeNotFound(res), FailsWith(Error::OutOfMemory));
        }
        EXPECT_EQ(out.bytes.find("\r\n\r\n"), std::string::npos) << "no header block after a failure";
        // A value whose table put failed stays with the allocator, as with an arena.
        EXPECT_LE(memory.outstanding(), 1u);
    }
}

}  // namespace
