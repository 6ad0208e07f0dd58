// processRequest: the request log line, exact-path dispatch and the not-found page.
#include "endpoints/endpoints.h"

#include <gtest/gtest.h>

#include <string>

#include "http/pages.h"
#include "runtime/arena.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using runtime::Error;
using testing_support::FailingWriter;
using testing_support::FailsWith;
using testing_support::IsOk;
using testing_support::NotFoundPage;
using testing_support::RecordingWriter;

runtime::Result<void> answerHit(std::pmr::memory_resource&, const http::Request&, http::Response& res) {
    TRY(res.status(200));
    TRY(res.html("hit"));
    return {};
}

class ProcessRequest : public ::testing::Test {
protected:
    void SetUp() override {
        endpoints::endpoints = endpoints::EndpointTable(runtime::gpa);
        ASSERT_THAT(endpoints::endpoints.put("/api/v1/worlds", answerHit), IsOk());
    }
    void TearDown() override { endpoints::endpoints = endpoints::EndpointTable(); }

    /// Runs processRequest for `path` against `out`; returns its result and the log.
    static std::pair<runtime::Result<void>, std::string> process(http::HttpMethod method, std::string_view path,
                                                                 runtime::Writer& out) {
        runtime::Arena arena(runtime::gpa);
        http::Response res(arena, out);
        EXPECT_THAT(http::addDefaultHeaders(res), IsOk());
        runtime::FdReader unread(-1);
        http::Request req{method, path, unread};
        testing_support::StderrCapture capture;
        runtime::Result<void> result = endpoints::processRequest(arena, req, res);
        return {result, capture.text()};
    }
};

TEST_F(ProcessRequest, OnlyTheExactPathReachesTheEndpoint) {
    struct Case {
        std::string_view path;
        bool hit;
    };
    const Case cases[] = {
        {"/api/v1/worlds", true},
        {"/api/v1/worlds?x=1", false},
        {"/api/v1/worlds/", false},
        {"/API/v1/worlds", false},
        {"/api/v1/worlds#a", false},
        {"//api/v1/worlds", false},
        {"/", false},
        {"", false},
        {"/api/v1/world", false},
        {"/api%2Fv1/worlds", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RecordingWriter out;
        auto [result, log] = process(http::HttpMethod::GET, c.path, out);
        EXPECT_THAT(result, IsOk());
        EXPECT_EQ(log, "info: GET " + std::string(c.path) + "\n");
        if (c.hit) {
            EXPECT_TRUE(out.bytes.starts_with("HTTP/1.1 200 OK\r\n")) << out.bytes;
        } else {
            EXPECT_EQ(out.bytes, NotFoundPage);
        }
    }
}

TEST_F(ProcessRequest, EveryMethodReachesTheEndpointAndIsLoggedAsSent) {
    for (std::uint8_t m = 0; m <= static_cast<std::uint8_t>(http::HttpMethod::DELETE); ++m) {
        auto method = static_cast<http::HttpMethod>(m);
        SCOPED_TRACE(http::methodName(method));
        RecordingWriter out;
        auto [result, log] = process(method, "/api/v1/worlds", out);
        EXPECT_THAT(result, IsOk());
        EXPECT_EQ(log, "info: " + std::string(http::methodName(method)) + " /api/v1/worlds\n");
        EXPECT_TRUE(out.bytes.ends_with("\r\n\r\nhit"));
    }
}

TEST_F(ProcessRequest, ControlBytesOfThePathAreEscapedInTheLog) {
    RecordingWriter out;
    auto [result, log] = process(http::HttpMethod::GET, "/x\nerror:\tBrokenPipe", out);
    EXPECT_EQ(log, "info: GET /x\\x0aerror:\\x09BrokenPipe\n");
    EXPECT_EQ(out.bytes, NotFoundPage);
}

TEST_F(ProcessRequest, FailedStatusLineStopsTheAnswerButTheRequestIsLogged) {
    FailingWriter out(5);
    auto [result, log] = process(http::HttpMethod::POST, "/nowhere", out);
    EXPECT_THAT(result, FailsWith(Error::BrokenPipe));
    EXPECT_EQ(out.bytes, "HTTP/");
    EXPECT_EQ(log, "info: POST /nowhere\n");
}

}  // namespace
