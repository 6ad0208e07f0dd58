// System-call wrappers: errno tables, the unexpected-number diagnostic, the crash reporter.
#include "runtime/sys.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

#include "runtime/check.h"
#include "runtime/crash.h"
#include "runtime/fd.h"
#include "runtime/log.h"
#include "support/test_support.h"

namespace {

using runtime::Error;
namespace sys = runtime::sys;

TEST(ErrnoTables, NameEveryListedNumber) {
    struct Row {
        std::span<const sys::ErrnoName> table;
        int number;
        Error name;
    };
    const Row rows[] = {
        {sys::SocketErrors, EACCES, Error::PermissionDenied},
        {sys::SocketErrors, EAFNOSUPPORT, Error::AddressFamilyNotSupported},
        {sys::SocketErrors, EINVAL, Error::ProtocolFamilyNotAvailable},
        {sys::SocketErrors, EMFILE, Error::ProcessFdQuotaExceeded},
        {sys::SocketErrors, ENFILE, Error::SystemFdQuotaExceeded},
        {sys::SocketErrors, ENOBUFS, Error::SystemResources},
        {sys::SocketErrors, ENOMEM, Error::SystemResources},
        {sys::SocketErrors, EPROTONOSUPPORT, Error::ProtocolNotSupported},
        {sys::SocketErrors, EPROTOTYPE, Error::SocketTypeNotSupported},
        {sys::BindErrors, EACCES, Error::AccessDenied},
        {sys::BindErrors, EADDRINUSE, Error::AddressInUse},
        {sys::BindErrors, EADDRNOTAVAIL, Error::AddressNotAvailable},
        {sys::BindErrors, ENOMEM, Error::SystemResources},
        {sys::BindErrors, ENOENT, Error::FileNotFound},
        {sys::BindErrors, ENOTDIR, Error::NotDir},
        {sys::BindErrors, EROFS, Error::ReadOnlyFileSystem},
        {sys::BindErrors, ENAMETOOLONG, Error::NameTooLong},
        {sys::BindErrors, ELOOP, Error::SymLinkLoop},
        {sys::ListenErrors, EADDRINUSE, Error::AddressInUse},
        {sys::ListenErrors, ENOTSOCK, Error::FileDescriptorNotASocket},
        {sys::ListenErrors, EOPNOTSUPP, Error::OperationNotSupported},
        {sys::GetSockNameErrors, ENOTSOCK, Error::FileDescriptorNotASocket},
        {sys::GetSockNameErrors, ENOBUFS, Error::SystemResources},
        {sys::AcceptErrors, ECONNABORTED, Error::ConnectionAborted},
        {sys::AcceptErrors, EINVAL, Error::SocketNotListening},
        {sys::AcceptErrors, EMFILE, Error::ProcessFdQuotaExceeded},
        {sys::AcceptErrors, ENFILE, Error::SystemFdQuotaExceeded},
        {sys::AcceptErrors, ENOBUFS, Error::SystemResources},
        {sys::AcceptErrors, ENOMEM, Error::SystemResources},
        {sys::AcceptErrors, EPERM, Error::BlockedByFirewall},
        {sys::AcceptErrors, EPROTO, Error::ProtocolFailure},
        {sys::ReadErrors, EIO, Error::InputOutput},
        {sys::ReadErrors, EBADF, Error::NotOpenForReading},
        {sys::ReadErrors, EAGAIN, Error::WouldBlock},
        {sys::ReadErrors, ENOMEM, Error::SystemResources},
        {sys::ReadErrors, ENOBUFS, Error::SystemResources},
        {sys::ReadErrors, EISDIR, Error::IsDir},
        {sys::ReadErrors, ECONNRESET, Error::ConnectionResetByPeer},
        {sys::ReadErrors, ETIMEDOUT, Error::ConnectionTimedOut},
        {sys::WriteErrors, EDQUOT, Error::DiskQuota},
        {sys::WriteErrors, EFBIG, Error::FileTooBig},
        {sys::WriteErrors, EIO, Error::InputOutput},
        {sys::WriteErrors, ENOSPC, Error::NoSpaceLeft},
        {sys::WriteErrors, EPERM, Error::AccessDenied},
        {sys::WriteErrors, EPIPE, Error::BrokenPipe},
        {sys::WriteErrors, EBADF, Error::NotOpenForWriting},
        {sys::WriteErrors, EAGAIN, Error::WouldBlock},
    };
    testing_support::StderrCapture capture;
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << runtime::errorName(row.name) << " from errno " << row.number);
        EXPECT_EQ(sys::errorFromErrno(row.table, row.number, std::source_location::current()).error(), row.name);
    }
    EXPECT_EQ(capture.text(), "") << "a named number writes no diagnostic";
}

TEST(ErrnoTables, ResetSeenByWriteIsUnexpected) {
    testing_support::StderrCapture capture;
    EXPECT_EQ(sys::errorFromErrno(sys::WriteErrors, ECONNRESET, std::source_location::current()).error(),
              Error::Unexpected);
    EXPECT_TRUE(capture.text().starts_with("unexpected errno: 104\n")) << capture.text();
}

TEST(ErrnoTables, UnnamedNumberWritesTheDiagnosticAndACallChain) {
    testing_support::StderrCapture capture;
    EXPECT_EQ(sys::errorFromErrno(sys::ListenErrors, 9999, std::source_location::current()).error(), Error::Unexpected);
    std::string text = capture.text();
    EXPECT_TRUE(text.starts_with("unexpected errno: 9999\n")) << text;
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 2) << "a call chain follows the line";
}

TEST(ErrnoTables, UnnamedNumberWhileALogLineHoldsTheLockDoesNotDeadlock) {
    // An eventfd refuses writes shorter than eight bytes with EINVAL, which no write table
    // names, so the log line's own write raises the diagnostic while it holds the lock.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(10);
        int event = ::eventfd(0, 0);
        ::dup2(event, 2);
        runtime::info<"{}\n">("short");
        runtime::info<"again\n">();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
}

std::atomic<int> signals_handled = 0;

TEST(Wrappers, ReadInterruptedByASignalIsRepeated) {
    // No SA_RESTART: the blocked read returns EINTR to the wrapper, which must call it again.
    struct sigaction action{}, previous{};
    action.sa_handler = [](int) { ++signals_handled; };
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    runtime::Fd read_end(ends[0]), write_end(ends[1]);
    char byte = 0;
    std::optional<runtime::Result<std::size_t>> got;
    std::atomic<pid_t> reader_id = 0;
    std::thread reader([&] {
        reader_id = ::gettid();
        got = sys::read(read_end.get(), &byte, 1);
    });
    while (reader_id == 0) std::this_thread::yield();
    // Signalled only once blocked in read; written only once the handler ran, so the byte can
    // reach it only through a repeated read.
    ASSERT_TRUE(testing_support::waitUntilInSyscall(reader_id, SYS_read)) << "the reader never blocked in read";
    ::pthread_kill(reader.native_handle(), SIGUSR1);
    while (signals_handled == 0) std::this_thread::yield();
    ASSERT_EQ(::write(write_end.get(), "x", 1), 1);
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(signals_handled, 1);
    ASSERT_TRUE(got && got->has_value()) << "the interrupted read was not repeated";
    EXPECT_EQ(**got, 1u);
    EXPECT_EQ(byte, 'x');
}

TEST(Wrappers, ErrorsAreReportedNotRetried) {
    testing_support::StderrCapture capture;
    char byte = 0;
    EXPECT_EQ(sys::read(-1, &byte, 1).error(), Error::NotOpenForReading);
    EXPECT_EQ(sys::write(-1, &byte, 1).error(), Error::NotOpenForWriting);
    EXPECT_EQ(sys::listen(-1, 1).error(), Error::Unexpected) << "EBADF is not in the listen table";
}

runtime::Result<int> failsWithBrokenPipe() { return runtime::fail(Error::BrokenPipe); }
runtime::Result<int> fortyTwo() { return 42; }

TEST(CheckDeathTest, BrokenInvariantsAbortWithTheirTextAndPlace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CHECK(1 + 1 == 3), "CHECK failed: 1 \\+ 1 == 3\n.*sys_test.cpp:[0-9]+");
    EXPECT_EQ(MUST(fortyTwo()), 42);
    EXPECT_DEATH((void)MUST(failsWithBrokenPipe()), "MUST failed: failsWithBrokenPipe\\(\\): BrokenPipe\n");
    // A descriptor closed twice: the second close finds it not open.
    const int fd = ::dup(0);
    ::close(fd);
    EXPECT_DEATH({ runtime::Fd twice(fd); }, "CHECK failed: close of a descriptor that is not open");
}

using CrashReporterDeathTest = ::testing::Test;

TEST_F(CrashReporterDeathTest, NamesTheFaultAndItsAddress) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            runtime::installCrashReporter();
            *reinterpret_cast<volatile int*>(std::uintptr_t{0x10}) = 1;
        },
        "Segmentation fault at address 0x10\n");
    EXPECT_DEATH(
        {
            runtime::installCrashReporter();
            __builtin_trap();
        },
        "Illegal instruction at address 0x[0-9a-f]+\n");
    EXPECT_DEATH(
        {
            runtime::installCrashReporter();
            std::raise(SIGBUS);
        },
        "Bus error at address 0x");
}

}  // namespace
