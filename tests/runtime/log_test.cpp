// The log: pieces and their writes, formatting, escaping, failures; the error trace.
#include "runtime/log.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/result.h"
#include "runtime/sys.h"
#include "support/test_support.h"

namespace {

using runtime::Error;

/// Points descriptor 2 at a packet socket while alive, so every write call arrives as one
/// packet and the test can see how a line was cut.
class StderrPackets {
public:
    StderrPackets() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        write_end_ = fds[0];
        read_end_ = fds[1];
        saved_ = ::dup(2);
        ::dup2(write_end_, 2);
    }
    ~StderrPackets() {
        ::dup2(saved_, 2);
        for (int fd : {saved_, write_end_, read_end_}) ::close(fd);
    }
    std::vector<std::string> packets() const {
        std::vector<std::string> packets;
        char buffer[4096];
        for (;;) {
            ssize_t got = ::recv(read_end_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0) return packets;
            packets.emplace_back(buffer, static_cast<std::size_t>(got));
        }
    }

private:
    int write_end_, read_end_, saved_;
};

TEST(Log, EachLiteralRunAndArgumentIsOneWrite) {
    struct Case {
        std::function<void()> log;
        std::vector<std::string> writes;
        const char* note;
    };
    const Case cases[] = {
        {[] { runtime::info<"All your codebase are belong to us.\n">(); },
         {"info: All your codebase are belong to us.\n"},
         "fixed line: one write"},
        {[] { runtime::info<"{} {}\n">(std::string_view("DELETE"), std::string_view("/api/v1/worlds")); },
         {"info: ", "DELETE", " ", "/api/v1/worlds", "\n"},
         "request line: five pieces"},
        {[] { runtime::info<"{} {}\n">(std::string_view("GET"), std::string_view()); },
         {"info: ", "GET", " ", "\n"},
         "empty argument: no write"},
        {[] { runtime::err<"{}\n">(std::string_view("AddressInUse")); },
         {"error: ", "AddressInUse", "\n"},
         "error level"},
        {[] { runtime::info<"{}|{}|{}\n">(0u, 18446744073709551615ull, -42); },
         {"info: ", "0", "|", "18446744073709551615", "|", "-", "42", "\n"},
         "numbers in decimal"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        StderrPackets packets;
        c.log();
        EXPECT_EQ(packets.packets(), c.writes);
    }
}

TEST(Log, EscapedArgumentCannotEndTheLineOrReachTheTerminal) {
    struct Case {
        std::string_view path;
        std::vector<std::string> writes;
        const char* note;
    };
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"/x\nerror:\tBrokenPipe", {"/x", "\\x0a", "error:", "\\x09", "BrokenPipe"}, "LF and TAB: no forged line"},
        {"/a\rb", {"/a", "\\x0d", "b"}, "CR"},
        {"/\x1b[2J", {"/", "\\x1b", "[2J"}, "ESC"},
        {"/\0/"sv, {"/", "\\x00", "/"}, "NUL"},
        {"/\x7f", {"/", "\\x7f"}, "DEL"},
        {"/a\\b", {"/a", "\\\\", "b"}, "a backslash doubles, so an escape cannot be forged"},
        {"/caf\xc3\xa9\xff", {"/caf\xc3\xa9\xff"}, "bytes from 0x80 on as they are"},
        {"/api/v1/worlds?x=1", {"/api/v1/worlds?x=1"}, "plain path: one write, as before"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        StderrPackets packets;
        runtime::info<"{}\n">(runtime::Escaped{c.path});
        std::vector<std::string> expected = {"info: "};
        expected.insert(expected.end(), c.writes.begin(), c.writes.end());
        expected.push_back("\n");
        EXPECT_EQ(packets.packets(), expected);
    }
}

TEST(Log, FailingStandardErrorDropsItsLinesAndTheNextLineComesOutWhole) {
    StderrPackets packets;
    int saved = ::dup(2);
    ::close(2);
    runtime::info<"{} {}\n">(std::string_view("GET"), std::string_view("/"));
    runtime::info<"Listening..\n">();
    ::dup2(saved, 2);
    ::close(saved);
    runtime::info<"{} {}\n">(std::string_view("GET"), std::string_view("/next"));
    EXPECT_EQ(packets.packets(), (std::vector<std::string>{"info: ", "GET", " ", "/next", "\n"}));
}

// Numbers print in decimal; a bool or a character would print as a number where a text was
// meant, so the log refuses them when the server is built.
template <class T>
constexpr bool Loggable = requires(T value) { runtime::writeLogArgument(value); };
static_assert(Loggable<unsigned> && Loggable<long> && Loggable<std::size_t> && Loggable<std::string_view>);
static_assert(!Loggable<bool> && !Loggable<char> && !Loggable<unsigned char> && !Loggable<char8_t>);

runtime::Result<int> raiseHere() { return runtime::fail(Error::BrokenPipe); }

runtime::Result<int> passOnce() {
    int value = TRY(raiseHere());
    return value + 1;
}

runtime::Result<void> passTwice() {
    TRY(passOnce());
    return {};
}

TEST(ErrorTrace, RecordsWhereTheErrorAroseAndEveryHop) {
    runtime::Result<void> result = passTwice();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), Error::BrokenPipe);
    const runtime::ErrorTrace& trace = runtime::errorTrace();
    ASSERT_EQ(trace.count, 3u);
    EXPECT_STREQ(trace.entries[0].function_name(), "runtime::Result<int> {anonymous}::raiseHere()");
    EXPECT_STREQ(trace.entries[1].function_name(), "runtime::Result<int> {anonymous}::passOnce()");
    EXPECT_STREQ(trace.entries[2].function_name(), "runtime::Result<void> {anonymous}::passTwice()");
    EXPECT_EQ(trace.entries[1].line() + 5, trace.entries[2].line());
}

runtime::Result<void> readClosedDescriptor() {
    char byte = 0;
    TRY(runtime::sys::read(-1, &byte, 1));
    return {};
}

TEST(ErrorTrace, AFailedSystemCallAndTheTryAroundItAreOneHop) {
    // The wrapper raises at its caller's place; the TRY there must not record it again.
    ASSERT_FALSE(readClosedDescriptor().has_value());
    const runtime::ErrorTrace& trace = runtime::errorTrace();
    ASSERT_EQ(trace.count, 1u);
    EXPECT_STREQ(trace.entries[0].function_name(), "runtime::Result<void> {anonymous}::readClosedDescriptor()");
}

runtime::Result<void> recurse(int depth) {
    if (depth == 0) return runtime::fail(Error::Unexpected);
    TRY(recurse(depth - 1));
    return {};
}

TEST(ErrorTrace, KeepsTheFirst32HopsAndCountsTheRest) {
    ASSERT_FALSE(recurse(40).has_value());
    EXPECT_EQ(runtime::errorTrace().count, 32u);
    EXPECT_EQ(runtime::errorTrace().dropped, 9u);
}

}  // namespace
