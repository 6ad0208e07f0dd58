// Sequential request latency: N connections one after another, each timed from connect to the
// server's close. Prints p50, p99 and the slowest in microseconds, and checks every answer's
// body equals the first's (headers such as Date may change). Usage: latency PORT COUNT [PATH]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string body(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }

std::string fetch(std::uint16_t port, const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t put = ::write(fd, request.data() + sent, request.size() - sent);
        if (put <= 0) std::exit(1);
        sent += static_cast<std::size_t>(put);
    }
    std::string answer;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return answer;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: latency PORT COUNT [PATH]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const int count = std::atoi(argv[2]);
    const std::string path = argc > 3 ? argv[3] : "/api/v1/worlds";
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string first = fetch(port, request);
    std::vector<double> micros;
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        std::string answer = fetch(port, request);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (body(answer) != body(first)) {
            std::fprintf(stderr, "answer %d has another body than the first\n", i);
            return 1;
        }
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
    std::printf("p50_us=%.0f p99_us=%.0f max_us=%.0f bytes=%zu\n", at(0.5), at(0.99), micros.back(), first.size());
    return 0;
}
