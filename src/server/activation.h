// Socket activation: a listener handed in by the service manager instead of created here; and
// a stop that waits for the connection in progress, under a service manager or as process 1.
#pragma once

#include <initializer_list>

#include "runtime/fd.h"
#include "runtime/result.h"
#include "server/listener.h"

namespace server {

/// The descriptor of the first (and here only) listener a service manager hands in.
inline constexpr int InheritedListener = 3;

/// Whether this process was handed its listener: LISTEN_PID names this process and LISTEN_FDS
/// is set. If so, LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES leave the environment, so nothing
/// this process might start takes them for its own. Without LISTEN_PID it makes no system call.
/// Errors: InvalidListenFds when LISTEN_FDS is not 1.
runtime::Result<bool> takeActivationEnvironment();

/// Takes `fd` over as the listener: it must be a listening TCP stream socket (IPv4 or IPv6).
/// Sets close-on-exec, and TCP_CORK when `server` asks for it, and reads the bound address back
/// into `server.listen_address`. Returns the owner of `fd`.
/// Errors: FileDescriptorNotOpen, FileDescriptorNotASocket, SocketTypeNotSupported,
/// AddressFamilyNotSupported, ProtocolNotSupported, SocketNotListening; those of fcntl,
/// setsockopt and getsockname.
runtime::Result<runtime::Fd> adoptListener(Server& server, int fd);

/// Makes each of `signals` a request to stop between connections: from now on they are blocked
/// except while acceptUnlessStopped waits, and the listener (which may be shared with other
/// processes) is non-blocking, so that waiting is where a signal is taken and a connection
/// taken is always served. Errors: those of fcntl.
runtime::Result<void> stopBetweenConnections(const runtime::Fd& listener, std::initializer_list<int> signals);

/// True when a stop signal is pending: it arrived while a connection was served, with the
/// signal blocked (while waiting, it ends acceptUnlessStopped instead).
bool stopRequested() noexcept;

/// The next connection on `listener`, after stopBetweenConnections; nothing once a stop signal
/// asks to stop. Errors: those of ppoll and accept4.
runtime::Result<std::optional<runtime::Fd>> acceptUnlessStopped(const runtime::Fd& listener);

}  // namespace server
