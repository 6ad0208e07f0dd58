// Every failure the server can meet, as one symbolic name.
#pragma once

#include <cstdint>
#include <string_view>

namespace runtime {

/// The one list of error names: the enumerators and their printed names both come from it.
/// Each is printed exactly as spelled here by the fatal exit.
#define WORLDS_ERRORS(X)                                                                       \
    /* Creating, binding and listening on the socket, accepting connections, opening files. */ \
    X(PermissionDenied)                                                                        \
    X(AddressFamilyNotSupported)                                                               \
    X(ProtocolFamilyNotAvailable)                                                              \
    X(ProcessFdQuotaExceeded)                                                                  \
    X(SystemFdQuotaExceeded)                                                                   \
    X(SystemResources)                                                                         \
    X(ProtocolNotSupported)                                                                    \
    X(SocketTypeNotSupported)                                                                  \
    X(AccessDenied)                                                                            \
    X(AddressInUse)                                                                            \
    X(AddressNotAvailable)                                                                     \
    X(FileNotFound)                                                                            \
    X(NotDir)                                                                                  \
    X(ReadOnlyFileSystem)                                                                      \
    X(NameTooLong)                                                                             \
    X(SymLinkLoop)                                                                             \
    X(FileDescriptorNotASocket)                                                                \
    X(OperationNotSupported)                                                                   \
    X(ConnectionAborted)                                                                       \
    X(SocketNotListening)                                                                      \
    X(BlockedByFirewall)                                                                       \
    X(ProtocolFailure)                                                                         \
    /* Taking over a listener handed in by socket activation. */                               \
    X(InvalidListenFds)                                                                        \
    X(FileDescriptorNotOpen)                                                                   \
    /* Reading a connection. */                                                                \
    X(InputOutput)                                                                             \
    X(NotOpenForReading)                                                                       \
    X(WouldBlock)                                                                              \
    X(IsDir)                                                                                   \
    X(ConnectionResetByPeer)                                                                   \
    X(ConnectionTimedOut)                                                                      \
    /* Writing a connection or standard error. */                                              \
    X(DiskQuota)                                                                               \
    X(FileTooBig)                                                                              \
    X(NoSpaceLeft)                                                                             \
    X(BrokenPipe)                                                                              \
    X(NotOpenForWriting)                                                                       \
    /* Anywhere. */                                                                            \
    X(OutOfMemory)                                                                             \
    X(Unexpected)

/// The symbolic error names.
enum class Error : std::uint8_t {
#define WORLDS_ERROR_ENUMERATOR(name) name,
    WORLDS_ERRORS(WORLDS_ERROR_ENUMERATOR)
#undef WORLDS_ERROR_ENUMERATOR
};

/// The error's name, e.g. "AddressInUse". Static storage.
std::string_view errorName(Error error) noexcept;

}  // namespace runtime
