// System-call wrappers and the errno tables that name their failures.
#include "runtime/sys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/check.h"
#include "runtime/log.h"
#include "runtime/trace.h"

namespace runtime::sys {
namespace {

constexpr ErrnoName socket_errors[] = {
    {EACCES, Error::PermissionDenied},
    {EAFNOSUPPORT, Error::AddressFamilyNotSupported},
    {EINVAL, Error::ProtocolFamilyNotAvailable},
    {EMFILE, Error::ProcessFdQuotaExceeded},
    {ENFILE, Error::SystemFdQuotaExceeded},
    {ENOBUFS, Error::SystemResources},
    {ENOMEM, Error::SystemResources},
    {EPROTONOSUPPORT, Error::ProtocolNotSupported},
    {EPROTOTYPE, Error::SocketTypeNotSupported},
};

// The path-related rows serve Unix-domain addresses; the same table serves every kind.
constexpr ErrnoName bind_errors[] = {
    {EACCES, Error::AccessDenied},      {EADDRINUSE, Error::AddressInUse},  {EADDRNOTAVAIL, Error::AddressNotAvailable},
    {ENOMEM, Error::SystemResources},   {ENOENT, Error::FileNotFound},      {ENOTDIR, Error::NotDir},
    {EROFS, Error::ReadOnlyFileSystem}, {ENAMETOOLONG, Error::NameTooLong}, {ELOOP, Error::SymLinkLoop},
};

constexpr ErrnoName listen_errors[] = {
    {EADDRINUSE, Error::AddressInUse},
    {ENOTSOCK, Error::FileDescriptorNotASocket},
    {EOPNOTSUPP, Error::OperationNotSupported},
};

constexpr ErrnoName getsockname_errors[] = {
    {ENOTSOCK, Error::FileDescriptorNotASocket},
    {ENOBUFS, Error::SystemResources},
};

constexpr ErrnoName setsockopt_errors[] = {
    {ENOMEM, Error::SystemResources},
    {ENOBUFS, Error::SystemResources},
};

constexpr ErrnoName getsockopt_errors[] = {
    {EBADF, Error::FileDescriptorNotOpen},
    {ENOTSOCK, Error::FileDescriptorNotASocket},
};

constexpr ErrnoName fcntl_errors[] = {
    {EBADF, Error::FileDescriptorNotOpen},
};

constexpr ErrnoName poll_errors[] = {
    {ENOMEM, Error::SystemResources},
};

constexpr ErrnoName accept_errors[] = {
    {ECONNABORTED, Error::ConnectionAborted}, {EINVAL, Error::SocketNotListening},
    {EMFILE, Error::ProcessFdQuotaExceeded},  {ENFILE, Error::SystemFdQuotaExceeded},
    {ENOBUFS, Error::SystemResources},        {ENOMEM, Error::SystemResources},
    {EPERM, Error::BlockedByFirewall},        {EPROTO, Error::ProtocolFailure},
};

constexpr ErrnoName read_errors[] = {
    {EIO, Error::InputOutput},
    {EBADF, Error::NotOpenForReading},
    {EAGAIN, Error::WouldBlock},
    {ENOMEM, Error::SystemResources},
    {ENOBUFS, Error::SystemResources},
    {EISDIR, Error::IsDir},
    {ECONNRESET, Error::ConnectionResetByPeer},
    {ETIMEDOUT, Error::ConnectionTimedOut},
};

constexpr ErrnoName open_errors[] = {
    {EACCES, Error::AccessDenied},
    {EPERM, Error::AccessDenied},
    {ENOENT, Error::FileNotFound},
    {ENOTDIR, Error::NotDir},
    {ELOOP, Error::SymLinkLoop},
    {ENAMETOOLONG, Error::NameTooLong},
    {EMFILE, Error::ProcessFdQuotaExceeded},
    {ENFILE, Error::SystemFdQuotaExceeded},
    {ENOMEM, Error::SystemResources},
};

// A reset connection (ECONNRESET) is deliberately absent: a write that meets it is Unexpected.
constexpr ErrnoName write_errors[] = {
    {EDQUOT, Error::DiskQuota},        {EFBIG, Error::FileTooBig},   {EIO, Error::InputOutput},
    {ENOSPC, Error::NoSpaceLeft},      {EPERM, Error::AccessDenied}, {EPIPE, Error::BrokenPipe},
    {EBADF, Error::NotOpenForWriting}, {EAGAIN, Error::WouldBlock},
};

/// Calls `call` again for as long as it fails with EINTR (a signal interrupted it); its last result.
template <class Call>
auto retryAfterSignal(Call call) noexcept {
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

}  // namespace

const std::span<const ErrnoName> SocketErrors = socket_errors;
const std::span<const ErrnoName> BindErrors = bind_errors;
const std::span<const ErrnoName> ListenErrors = listen_errors;
const std::span<const ErrnoName> GetSockNameErrors = getsockname_errors;
const std::span<const ErrnoName> SetSockOptErrors = setsockopt_errors;
const std::span<const ErrnoName> GetSockOptErrors = getsockopt_errors;
const std::span<const ErrnoName> FcntlErrors = fcntl_errors;
const std::span<const ErrnoName> PollErrors = poll_errors;
const std::span<const ErrnoName> AcceptErrors = accept_errors;
const std::span<const ErrnoName> OpenErrors = open_errors;
const std::span<const ErrnoName> ReadErrors = read_errors;
const std::span<const ErrnoName> WriteErrors = write_errors;

void writeUnexpectedErrnoLine(int number) noexcept {
    DigitBuffer digits;
    // Raw writes, not the mapped ones: a failing standard error must not send the
    // diagnostic into itself.
    writeStderrRaw("unexpected errno: ");
    writeStderrRaw(formatDecimal(static_cast<std::uint64_t>(number), digits));
    writeStderrRaw("\n");
}

void reportUnexpectedErrno(int number) noexcept {
    {
        StderrLock lock;
        writeUnexpectedErrnoLine(number);
    }
    printCallChain();
}

std::unexpected<Error> errorFromErrno(std::span<const ErrnoName> table, int number, std::source_location at) {
    for (const ErrnoName& row : table) {
        if (row.number == number) return fail(row.name, at);
    }
    reportUnexpectedErrno(number);
    return fail(Error::Unexpected, at);
}

Result<int> socket(int domain, int type, int protocol, std::source_location at) {
    int fd = ::socket(domain, type, protocol);
    if (fd < 0) return errorFromErrno(SocketErrors, errno, at);
    return fd;
}

Result<void> bind(int fd, const sockaddr* address, socklen_t length, std::source_location at) {
    if (::bind(fd, address, length) != 0) return errorFromErrno(BindErrors, errno, at);
    return {};
}

Result<void> setsockopt(int fd, int level, int name, int value, std::source_location at) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
        return errorFromErrno(SetSockOptErrors, errno, at);
    }
    return {};
}

Result<int> getsockopt(int fd, int level, int name, std::source_location at) {
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) != 0) return errorFromErrno(GetSockOptErrors, errno, at);
    return value;
}

Result<int> fcntl(int fd, int command, int argument, std::source_location at) {
    int result = ::fcntl(fd, command, argument);
    if (result == -1) return errorFromErrno(FcntlErrors, errno, at);
    return result;
}

Result<bool> waitReadable(int fd, const sigset_t& mask, std::source_location at) {
    pollfd ready{fd, POLLIN, 0};
    if (::ppoll(&ready, 1, nullptr, &mask) >= 0) return true;
    if (errno == EINTR) return false;
    return errorFromErrno(PollErrors, errno, at);
}

Result<void> listen(int fd, int backlog, std::source_location at) {
    if (::listen(fd, backlog) != 0) return errorFromErrno(ListenErrors, errno, at);
    return {};
}

Result<void> getsockname(int fd, sockaddr* address, socklen_t* length, std::source_location at) {
    if (::getsockname(fd, address, length) != 0) return errorFromErrno(GetSockNameErrors, errno, at);
    return {};
}

Result<int> accept4(int fd, sockaddr* address, socklen_t* length, int flags, std::source_location at) {
    int conn = retryAfterSignal([&] { return ::accept4(fd, address, length, flags); });
    if (conn < 0) return errorFromErrno(AcceptErrors, errno, at);
    return conn;
}

Result<std::optional<int>> acceptPending(int fd, sockaddr* address, socklen_t* length, int flags,
                                         std::source_location at) {
    int conn = retryAfterSignal([&] { return ::accept4(fd, address, length, flags); });
    if (conn >= 0) return conn;
    if (errno == EAGAIN) return std::nullopt;  // EWOULDBLOCK is the same number
    return errorFromErrno(AcceptErrors, errno, at);
}

Result<int> open(const char* path, int flags, std::source_location at) {
    int fd = retryAfterSignal([&] { return ::open(path, flags); });
    if (fd < 0) return errorFromErrno(OpenErrors, errno, at);
    return fd;
}

void close(int fd) noexcept {
    // Never retried: after EINTR the descriptor is gone all the same. EBADF means it was not
    // open, so whoever owns it closed it before: a bug, not a result.
    if (::close(fd) != 0 && errno == EBADF) checkFailed("close of a descriptor that is not open (a double close?)");
}

Result<std::size_t> read(int fd, char* buffer, std::size_t length, std::source_location at) {
    ssize_t got = retryAfterSignal([&] { return ::read(fd, buffer, length); });
    if (got < 0) return errorFromErrno(ReadErrors, errno, at);
    return static_cast<std::size_t>(got);
}

Result<std::size_t> write(int fd, const char* bytes, std::size_t length, std::source_location at) {
    ssize_t put = retryAfterSignal([&] { return ::write(fd, bytes, length); });
    if (put < 0) return errorFromErrno(WriteErrors, errno, at);
    return static_cast<std::size_t>(put);
}

}  // namespace runtime::sys
