// A preload library for the benchmark: runs the unchanged server binary with another TCP option
// on its listener than the TCP_CORK it sets, to measure the alternatives in the same run.
// WORLDS_BENCH_TCP_OPTION=nodelay sets TCP_NODELAY instead; =none sets nothing.
// Build: g++ -O2 -shared -fPIC -fno-exceptions -Wl,--as-needed -o tcp_option.so tcp_option.cpp -ldl; it needs
// no libstdc++, so none is loaded into the server to inflate its RSS.
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string_view>

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept {
    using SetSockOpt = int (*)(int, int, int, const void*, socklen_t);
    // Looked up on each call (the server makes one or two): a function-local static would
    // need libstdc++'s guard, and the library would load libstdc++ into the server.
    const auto real = reinterpret_cast<SetSockOpt>(::dlsym(RTLD_NEXT, "setsockopt"));
    if (level == IPPROTO_TCP && name == TCP_CORK) {
        const char* chosen = std::getenv("WORLDS_BENCH_TCP_OPTION");
        const std::string_view option = chosen == nullptr ? "" : chosen;
        if (option == "none") return 0;
        if (option == "nodelay") name = TCP_NODELAY;
    }
    return real(fd, level, name, value, length);
}
