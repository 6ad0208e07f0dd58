// The request-line parser and the request head reader.
#include "http/request.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/memory.h"
#include "support/test_support.h"

namespace {

using http::HeadEnd;
using http::HttpMethod;
using http::RequestLineStatus;
using testing_support::IsOk;

TEST(ParseMethod, AcceptsOnlyTheNineExactNames) {
    const HttpMethod all[] = {HttpMethod::GET,     HttpMethod::HEAD,    HttpMethod::POST,
                              HttpMethod::OPTIONS, HttpMethod::CONNECT, HttpMethod::TRACE,
                              HttpMethod::PUT,     HttpMethod::PATCH,   HttpMethod::DELETE};
    for (std::size_t i = 0; i < std::size(all); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(all[i]), i);
        EXPECT_EQ(http::parseMethod(http::methodName(all[i])), all[i]);
    }
    for (std::string_view bad : {"get", "Get", "GETS", "GE", "", " GET", "DELETE\r", "OPTIONSX"}) {
        EXPECT_EQ(http::parseMethod(bad), std::nullopt) << bad;
    }
}

TEST(AnnouncesBody, ANonZeroLengthOrAnyTransferEncodingInTheHeaderLines) {
    struct Case {
        std::string_view head;
        bool announced;
    };
    const Case cases[] = {
        {"POST / HTTP/1.1\r\nContent-Length: 8000000\r\n", true},
        {"POST / HTTP/1.1\r\ncontent-LENGTH:1\n", true},
        {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n", true},
        {"POST / HTTP/1.1\r\ntransfer-encoding : gzip\r\n", true},
        {"POST / HTTP/1.1\r\nContent-Length: 0\r\n", false},
        {"POST / HTTP/1.1\r\nContent-Length:\t000 \r\n", false},
        {"GET / HTTP/1.1\r\nHost: x\r\n", false},
        {"GET /Content-Length: 5 HTTP/1.1\r\n", false},
        {"GET / HTTP/1.1\r\nX-Content-Length: 5\r\nContent-Lengths: 5\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        EXPECT_EQ(http::announcesBody(c.head), c.announced);
    }
}

TEST(ParseRequestLine, Table) {
    struct Case {
        std::string_view head;
        RequestLineStatus status;
        HttpMethod method;
        std::string_view path;
        const char* note;
    };
    using enum RequestLineStatus;
    const Case cases[] = {
        {"GET /api/v1/worlds HTTP/1.1\r\nHost: x\r\n", Ok, HttpMethod::GET, "/api/v1/worlds", "ordinary head"},
        {"GET / HTTP/1.1\nHost: x\r\n", Ok, HttpMethod::GET, "/", "bare LF: first line runs on, tokens still fit"},
        {"GET /api/v1/worlds?x=1 HTTP/1.1\r\n", Ok, HttpMethod::GET, "/api/v1/worlds?x=1", "query kept"},
        {"GET  / HTTP/1.1\r\n", Ok, HttpMethod::GET, "", "two spaces: empty path, / is the version"},
        {"GET / X\r\n", Ok, HttpMethod::GET, "/", "version not examined"},
        {"GET / HTTP/1.1 extra\r\n", Ok, HttpMethod::GET, "/", "fourth token ignored"},
        {"GET / \r\n", Ok, HttpMethod::GET, "/", "empty version accepted"},
        {"DELETE /a%20b\t HTTP/1.1", Ok, HttpMethod::DELETE, "/a%20b\t", "no CR LF at all; tab is a token byte"},
        {"PATCH /x HTTP/1.0\r\nGET /y HTTP/1.1\r\n", Ok, HttpMethod::PATCH, "/x", "only the first line counts"},
        {"", BadRequest, {}, {}, "empty head"},
        {"GET\r\n", BadRequest, {}, {}, "one token"},
        {"GET /\r\n", BadRequest, {}, {}, "two tokens"},
        {" GET / HTTP/1.1\r\n", BadRequest, {}, {}, "leading space: empty first token"},
        {"  x\r\n", BadRequest, {}, {}, "empty first token with three tokens"},
        {"get / HTTP/1.1\r\n", NotImplemented, {}, {}, "lower case"},
        {"BREW / HTTP/1.1\r\n", NotImplemented, {}, {}, "unknown word"},
        {"GET\t/ HTTP/1.1 x\r\n", NotImplemented, {}, {}, "tab does not split tokens"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        http::RequestLine line = http::parseRequestLine(c.head);
        ASSERT_EQ(line.status, c.status);
        if (c.status != Ok) continue;
        EXPECT_EQ(line.method, c.method);
        EXPECT_EQ(line.path, c.path);
    }
}

struct HeadRead {
    HeadEnd end;
    std::string head;
    std::string unread;  ///< what the reader left on the connection
};

/// Reads one head from `input`, then end of stream; checks that it took one call per byte.
HeadRead readHeadFrom(const std::string& input) {
    testing_support::StringSource source(input);
    runtime::Arena arena(runtime::gpa);
    runtime::ByteBuffer head(arena);
    runtime::Result<HeadEnd> end = http::readHead(source, head);
    EXPECT_THAT(end, IsOk());
    const HeadEnd ended = end.value_or(HeadEnd::EndOfStream);
    // One readByte per byte taken, and one more that found the end of stream.
    EXPECT_EQ(source.reads, input.size() - source.rest.size() + (ended == HeadEnd::EndOfStream ? 1 : 0));
    return {ended, std::string(head.view()), std::string(source.rest)};
}

TEST(ReadHead, EndsAtTheBlankLineAndConsumesNothingAfterIt) {
    struct Case {
        std::string input;
        HeadEnd end;
        std::string head;
        std::string unread;
        const char* note;
    };
    const Case cases[] = {
        {"GET /api/v1/worlds HTTP/1.1\r\nHost: x\r\n\r\nBODY", HeadEnd::Complete,
         "GET /api/v1/worlds HTTP/1.1\r\nHost: x\r\n", "BODY", "head, then a body left unread"},
        {"GET / HTTP/1.1\nHost: x\r\n\r\n", HeadEnd::Complete, "GET / HTTP/1.1\nHost: x\r\n", "", "bare LF line"},
        {"\r\nGET / HTTP/1.1\r\n\r\n", HeadEnd::Complete, "", "GET / HTTP/1.1\r\n\r\n", "CR LF first: empty head"},
        {"GET / HTTP/1.1\r\n\r\n\r\n", HeadEnd::Complete, "GET / HTTP/1.1\r\n", "\r\n", "second blank line unread"},
        {"", HeadEnd::EndOfStream, "", "", "nothing at all"},
        {"GET / HTTP/1.1\n\n\n", HeadEnd::EndOfStream, "GET / HTTP/1.1\n\n\n", "", "bare LF never ends the head"},
        {"GET / HTTP/1.1\r\n \r\n", HeadEnd::EndOfStream, "GET / HTTP/1.1\r\n \r\n", "", "a line of blanks"},
        {"GET / HTTP/1.1\r\n\r\r\n", HeadEnd::EndOfStream, "GET / HTTP/1.1\r\n\r\r\n", "", "two CRs"},
        {"GET / HTTP/1.1\r\nHost", HeadEnd::EndOfStream, "GET / HTTP/1.1\r\nHost", "", "cut mid-line"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        HeadRead read = readHeadFrom(c.input);
        EXPECT_EQ(read.end, c.end);
        EXPECT_EQ(read.head, c.head);
        EXPECT_EQ(read.unread, c.unread);
    }
}

TEST(ReadHead, HeadOfExactlyTheLimitIsComplete) {
    std::string line(http::MaxHeadLength - 1, 'a');
    HeadRead read = readHeadFrom(line + "\n\r\nrest");
    EXPECT_EQ(read.end, HeadEnd::Complete);
    EXPECT_EQ(read.head.size(), http::MaxHeadLength);
    EXPECT_EQ(read.unread, "rest");
}

TEST(ReadHead, StopsAtTheFirstByteBeyondTheLimit) {
    struct Case {
        std::string input;
        std::size_t consumed;
        const char* note;
    };
    const std::size_t max = http::MaxHeadLength;
    const Case cases[] = {
        {std::string(max + 10, 'a'), max + 1, "one endless line: stops mid-line"},
        {std::string(max, 'a') + "\n\r\n", max + 1, "the LF that would make it one too long"},
        {std::string(max - 1, 'a') + "\n\rX\r\n", max + 2, "a CR at the limit that is not the blank line"},
        {std::string(max - 2, 'a') + "\nb\n\r\n", max + 1, "a short line past the limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        HeadRead read = readHeadFrom(c.input);
        EXPECT_EQ(read.end, HeadEnd::TooLarge);
        EXPECT_LE(read.head.size(), max + 1);
        EXPECT_EQ(c.input.size() - read.unread.size(), c.consumed);
    }
}

TEST(ReadHead, ReadErrorIsPassedOn) {
    runtime::Arena arena(runtime::gpa);
    runtime::ByteBuffer head(arena);
    runtime::FdReader reader(-1);
    EXPECT_THAT(http::readHead(reader, head), testing_support::FailsWith(runtime::Error::NotOpenForReading));
}

}  // namespace
