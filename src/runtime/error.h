// Every failure the server can meet, as one symbolic name.
#pragma once

#include <cstdint>
#include <string_view>

namespace runtime {

/// The symbolic error names. Each is printed exactly as spelled here by the fatal exit.
enum class Error : std::uint8_t {
    // Creating, binding and listening on the socket, and accepting connections.
    PermissionDenied,
    AddressFamilyNotSupported,
    ProtocolFamilyNotAvailable,
    ProcessFdQuotaExceeded,
    SystemFdQuotaExceeded,
    SystemResources,
    ProtocolNotSupported,
    SocketTypeNotSupported,
    AccessDenied,
    AddressInUse,
    AddressNotAvailable,
    FileNotFound,
    NotDir,
    ReadOnlyFileSystem,
    NameTooLong,
    SymLinkLoop,
    FileDescriptorNotASocket,
    OperationNotSupported,
    ConnectionAborted,
    SocketNotListening,
    BlockedByFirewall,
    ProtocolFailure,
    // Reading a connection.
    InputOutput,
    NotOpenForReading,
    WouldBlock,
    IsDir,
    ConnectionResetByPeer,
    ConnectionTimedOut,
    // Writing a connection or standard error.
    DiskQuota,
    FileTooBig,
    NoSpaceLeft,
    BrokenPipe,
    NotOpenForWriting,
    // Anywhere.
    OutOfMemory,
    Unexpected,
};

/// The error's name, e.g. "AddressInUse". Static storage.
std::string_view errorName(Error error);

}  // namespace runtime
