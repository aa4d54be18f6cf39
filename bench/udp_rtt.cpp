// Round trip of a small UDP datagram between two processes on loopback: the lower bound of
// one lock-step TFTP exchange. Prints the median in microseconds.
// usage: ftpupg-udp-rtt [COUNT]   (run pinned: taskset -c 0 ftpupg-udp-rtt)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    int a = ::socket(AF_INET, SOCK_DGRAM, 0), b = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    sockaddr_in aa = addr, ba = addr;
    if (::bind(a, reinterpret_cast<sockaddr*>(&aa), sizeof aa) ||
        ::bind(b, reinterpret_cast<sockaddr*>(&ba), sizeof ba)) {
        std::perror("bind");
        return 1;
    }
    ::getsockname(a, reinterpret_cast<sockaddr*>(&aa), &len);
    ::getsockname(b, reinterpret_cast<sockaddr*>(&ba), &len);
    if (::connect(a, reinterpret_cast<sockaddr*>(&ba), sizeof ba) < 0 ||
        ::connect(b, reinterpret_cast<sockaddr*>(&aa), sizeof aa) < 0) {
        std::perror("connect");
        return 1;
    }
    char buf[8] = {0, 4, 0, 1};
    pid_t echo = ::fork();
    if (echo == 0) { // the echoing peer, like a server answering each block
        for (int i = 0; i < count + 100; ++i) {
            if (::recv(b, buf, sizeof buf, 0) < 0 || ::send(b, buf, 4, 0) < 0) _exit(1);
        }
        _exit(0);
    }
    std::vector<double> us;
    us.reserve(count);
    for (int i = 0; i < count + 100; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        if (::send(a, buf, 4, 0) < 0 || ::recv(a, buf, sizeof buf, 0) < 0) return 1;
        if (i >= 100)
            us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    ::waitpid(echo, nullptr, 0);
    std::nth_element(us.begin(), us.begin() + static_cast<std::ptrdiff_t>(us.size() / 2), us.end());
    std::printf("%.2f\n", us[us.size() / 2]);
    return 0;
}
