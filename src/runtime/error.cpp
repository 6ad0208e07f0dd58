// Names of the errors, as the fatal exit prints them.
#include "runtime/error.h"

namespace runtime {

std::string_view errorName(Error error) {
    // No default: -Wswitch-enum makes a new enumerator without a name a build error.
    switch (error) {
    case Error::PermissionDenied: return "PermissionDenied";
    case Error::AddressFamilyNotSupported: return "AddressFamilyNotSupported";
    case Error::ProtocolFamilyNotAvailable: return "ProtocolFamilyNotAvailable";
    case Error::ProcessFdQuotaExceeded: return "ProcessFdQuotaExceeded";
    case Error::SystemFdQuotaExceeded: return "SystemFdQuotaExceeded";
    case Error::SystemResources: return "SystemResources";
    case Error::ProtocolNotSupported: return "ProtocolNotSupported";
    case Error::SocketTypeNotSupported: return "SocketTypeNotSupported";
    case Error::AccessDenied: return "AccessDenied";
    case Error::AddressInUse: return "AddressInUse";
    case Error::AddressNotAvailable: return "AddressNotAvailable";
    case Error::FileNotFound: return "FileNotFound";
    case Error::NotDir: return "NotDir";
    case Error::ReadOnlyFileSystem: return "ReadOnlyFileSystem";
    case Error::NameTooLong: return "NameTooLong";
    case Error::SymLinkLoop: return "SymLinkLoop";
    case Error::FileDescriptorNotASocket: return "FileDescriptorNotASocket";
    case Error::OperationNotSupported: return "OperationNotSupported";
    case Error::ConnectionAborted: return "ConnectionAborted";
    case Error::SocketNotListening: return "SocketNotListening";
    case Error::BlockedByFirewall: return "BlockedByFirewall";
    case Error::ProtocolFailure: return "ProtocolFailure";
    case Error::InputOutput: return "InputOutput";
    case Error::NotOpenForReading: return "NotOpenForReading";
    case Error::WouldBlock: return "WouldBlock";
    case Error::IsDir: return "IsDir";
    case Error::ConnectionResetByPeer: return "ConnectionResetByPeer";
    case Error::ConnectionTimedOut: return "ConnectionTimedOut";
    case Error::DiskQuota: return "DiskQuota";
    case Error::FileTooBig: return "FileTooBig";
    case Error::NoSpaceLeft: return "NoSpaceLeft";
    case Error::BrokenPipe: return "BrokenPipe";
    case Error::NotOpenForWriting: return "NotOpenForWriting";
    case Error::OutOfMemory: return "OutOfMemory";
    case Error::Unexpected: return "Unexpected";
    }
    return "Unknown";
}

}  // namespace runtime
