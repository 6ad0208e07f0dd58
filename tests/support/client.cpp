// A plain TCP client for tests.
#include "support/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/test_support.h"

namespace testing_support {

runtime::Fd connectLoopback(std::uint16_t port, int timeout_ms) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        runtime::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "cannot connect to port " << port << ": errno " << errno;
            return runtime::Fd(-1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string roundTrip(std::uint16_t port, std::string_view request, int timeout_ms) {
    runtime::Fd fd = connectLoopback(port, timeout_ms);
    if (fd.get() < 0) return {};
    sendAll(fd.get(), request);
    return readUntilClose(fd.get(), timeout_ms);
}

void resetAndClose(runtime::Fd fd) {
    linger hard{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

}  // namespace testing_support
