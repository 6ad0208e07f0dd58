// Setting up the listening socket.
#include "server/listener.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "runtime/fd.h"
#include "runtime/sys.h"

namespace server {
namespace {

/// Room for any socket address kind the listener knows, Unix-domain ones included.
constexpr socklen_t PeerAddressLength = 112;

}  // namespace

std::optional<sockaddr_in> parseIp4Address(std::string_view text, std::uint16_t port) noexcept {
    std::array<char, INET_ADDRSTRLEN> terminated{};
    if (text.size() >= terminated.size()) return std::nullopt;
    std::memcpy(terminated.data(), text.data(), text.size());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, terminated.data(), &address.sin_addr) != 1) return std::nullopt;
    return address;
}

runtime::Result<runtime::Fd> listen(Server& server, const sockaddr_in& address) {
    runtime::Fd socket(TRY(runtime::sys::socket(address.sin_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)));
    if (server.reuse_address) TRY(runtime::sys::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, 1));
    if (server.cork) TRY(runtime::sys::setsockopt(socket.get(), IPPROTO_TCP, TCP_CORK, 1));
    TRY(runtime::sys::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
    TRY(runtime::sys::listen(socket.get(), static_cast<int>(server.kernel_backlog)));
    socklen_t length = sizeof address;
    TRY(runtime::sys::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&server.listen_address), &length));
    return socket;
}

runtime::Result<runtime::Fd> accept(const runtime::Fd& listener) {
    // Nothing reads the peer's address.
    alignas(sockaddr_storage) std::array<std::byte, PeerAddressLength> peer;
    socklen_t peer_length = PeerAddressLength;
    return runtime::Fd(TRY(
        runtime::sys::accept4(listener.get(), reinterpret_cast<sockaddr*>(peer.data()), &peer_length, SOCK_CLOEXEC)));
}

runtime::Result<std::optional<runtime::Fd>> acceptPending(const runtime::Fd& listener) {
    alignas(sockaddr_storage) std::array<std::byte, PeerAddressLength> peer;
    socklen_t peer_length = PeerAddressLength;
    std::optional<int> accepted = TRY(runtime::sys::acceptPending(
        listener.get(), reinterpret_cast<sockaddr*>(peer.data()), &peer_length, SOCK_CLOEXEC));
    if (!accepted) return std::nullopt;
    return runtime::Fd(*accepted);
}

}  // namespace server
