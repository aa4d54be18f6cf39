// ftpupg-lossy-relay: a UDP relay between one TFTP client and a server that drops,
// duplicates and reorders a share of the datagrams each way (this kernel has no netem).
//
// The client talks to the relay's front port only. The relay sends the client's first
// datagram to the server's request port, then follows the server to whatever port it
// answers from (its transfer ID). A datagram from a new client address or port starts a
// new transfer on a new back socket, so the server sees a new TID as well.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <stdexcept>
#include <random>
#include <string>

#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>

#include "Fd.h"
#include "ProgramSupport.h"
#include "TftpServer.h"
#include "Udp.h"

namespace {

using posix::Fd;

const char Usage[] =
    "usage: ftpupg-lossy-relay [OPTION]... --server ADDR[:PORT]\n"
    "Relays one TFTP transfer at a time between a client and a server, losing packets.\n"
    "  -l, --listen ADDR[:PORT] front address for the client (default 127.0.0.1:6969;\n"
    "                           port 0 picks a free one)\n"
    "  -s, --server ADDR[:PORT] server request address (port default 69)\n"
    "      --port-file FILE     write the front port number to FILE\n"
    "      --drop SHARE         drop this share (0..1) of datagrams each way\n"
    "      --dup SHARE          send this share of datagrams twice\n"
    "      --reorder SHARE      hold back this share of datagrams until the next one in the\n"
    "                           same direction has passed, or --delay-ms has run out\n"
    "      --delay-ms N         longest hold of a reordered datagram (default 3)\n"
    "      --seed N             random seed (default 1)\n"
    "  -q, --quiet              log only the totals at exit\n"
    "  -h, --help               this text\n";

struct Endpoint {
    std::string addr;
    std::uint16_t port;
};

Endpoint ParseEndpoint(const std::string& text, std::uint16_t defPort)
{
    auto colon = text.rfind(':');
    if (colon == std::string::npos) return {text, defPort};
    char* end = nullptr;
    long p = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end || p < 0 || p > 65535) {
        std::fprintf(stderr, "ftpupg-lossy-relay: bad port in %s\n", text.c_str());
        std::exit(2);
    }
    return {text.substr(0, colon), static_cast<std::uint16_t>(p)};
}

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

struct Held {
    long long due;
    simtftp::Bytes data;
};

struct Direction {
    const char* name;
    std::deque<Held> held;
    unsigned long long passed = 0, dropped = 0, duplicated = 0, reordered = 0;
};

class Relay {
public:
    Relay(double drop, double dup, double reorder, int delayMs, std::uint32_t seed)
        : drop_(drop), dup_(dup), reorder_(reorder), delayMs_(delayMs), rng_(seed)
    {}

    // One datagram into the direction: `send` puts it on the wire.
    template <class SendFn> void Forward(Direction& d, simtftp::Bytes data, SendFn send)
    {
        double r = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
        if (r < drop_) {
            ++d.dropped;
            return;
        }
        if (r < drop_ + reorder_) {
            ++d.reordered;
            d.held.push_back({NowMs() + delayMs_, std::move(data)});
            return;
        }
        ++d.passed;
        send(data);
        if (std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < dup_) {
            ++d.duplicated;
            send(data);
        }
        // Whatever was held back now arrives after this datagram.
        Release(d, send, true);
    }

    template <class SendFn> void Release(Direction& d, SendFn send, bool all)
    {
        const long long now = NowMs();
        while (!d.held.empty() && (all || d.held.front().due <= now)) {
            send(d.held.front().data);
            d.held.pop_front();
        }
    }

private:
    double drop_, dup_, reorder_;
    int delayMs_;
    std::mt19937 rng_;
};

} // namespace

int main(int argc, char** argv)
{
    enum { OptPortFile = 256, OptDrop, OptDup, OptReorder, OptDelay, OptSeed };
    static const option longOpts[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"server", required_argument, nullptr, 's'},
        {"port-file", required_argument, nullptr, OptPortFile},
        {"drop", required_argument, nullptr, OptDrop},
        {"dup", required_argument, nullptr, OptDup},
        {"reorder", required_argument, nullptr, OptReorder},
        {"delay-ms", required_argument, nullptr, OptDelay},
        {"seed", required_argument, nullptr, OptSeed},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Endpoint front{"127.0.0.1", 6969};
    std::optional<Endpoint> server;
    std::string portFile;
    double drop = 0, dup = 0, reorder = 0;
    int delayMs = 3;
    std::uint32_t seed = 1;
    bool quiet = false;
    int c;
    while ((c = getopt_long(argc, argv, "l:s:qh", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'l': front = ParseEndpoint(optarg, 6969); break;
        case 's': server = ParseEndpoint(optarg, 69); break;
        case OptPortFile: portFile = optarg; break;
        case OptDrop: drop = posix::ShareOption("ftpupg-lossy-relay", "--drop", optarg); break;
        case OptDup: dup = posix::ShareOption("ftpupg-lossy-relay", "--dup", optarg); break;
        case OptReorder: reorder = posix::ShareOption("ftpupg-lossy-relay", "--reorder", optarg); break;
        case OptDelay: delayMs = std::atoi(optarg); break;
        case OptSeed: seed = static_cast<std::uint32_t>(std::strtoul(optarg, nullptr, 0)); break;
        case 'q': quiet = true; break;
        case 'h': std::fputs(Usage, stdout); return 0;
        default: std::fputs(Usage, stderr); return 2;
        }
    }
    if (!server || optind != argc || drop + reorder > 1.0 || delayMs < 0) {
        std::fputs(Usage, stderr);
        return 2;
    }

    try {
        const sigset_t sigs = posix::BlockStopSignals();
        Fd sigFd(signalfd(-1, &sigs, SFD_CLOEXEC));
        if (!sigFd) throw std::runtime_error("signalfd failed");

        Fd frontSock = posix::BindUdp(front.addr, front.port);
        const sockaddr_in request = posix::MakeAddr(server->addr, server->port);
        if (!portFile.empty()) posix::WritePortFile(portFile, posix::LocalPort(frontSock.Get()));
        std::fprintf(stderr, "[relay] %s:%u -> %s:%u drop %.3f dup %.3f reorder %.3f seed %u\n",
                     front.addr.c_str(), posix::LocalPort(frontSock.Get()), server->addr.c_str(), server->port,
                     drop, dup, reorder, seed);

        Relay relay(drop, dup, reorder, delayMs, seed);
        Direction up{"client->server", {}}, down{"server->client", {}};
        Fd back;
        sockaddr_in client{}, serverPeer = request;
        bool haveClient = false;
        unsigned transfers = 0;
        auto sendUp = [&](const simtftp::Bytes& d) {
            ::sendto(back.Get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&serverPeer),
                     sizeof serverPeer);
        };
        auto sendDown = [&](const simtftp::Bytes& d) {
            ::sendto(frontSock.Get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&client),
                     sizeof client);
        };

        std::vector<std::uint8_t> buf(65536);
        for (;;) {
            int timeout = -1;
            for (Direction* d : {&up, &down})
                if (!d->held.empty()) {
                    long long left = std::max(0LL, d->held.front().due - NowMs());
                    timeout = timeout < 0 ? static_cast<int>(left) : std::min(timeout, static_cast<int>(left));
                }
            pollfd fds[3] = {{frontSock.Get(), POLLIN, 0}, {back.Get(), POLLIN, 0}, {sigFd.Get(), POLLIN, 0}};
            if (::poll(fds, 3, timeout) < 0 && errno != EINTR) break; // fd -1 (no back yet) is skipped
            if (fds[2].revents) break;
            if (back) {
                relay.Release(up, sendUp, false);
                relay.Release(down, sendDown, false);
            }
            sockaddr_in from{};
            socklen_t len = sizeof from;
            if (fds[0].revents & POLLIN) {
                ssize_t n = ::recvfrom(frontSock.Get(), buf.data(), buf.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &len);
                if (n >= 0) {
                    if (!haveClient || from.sin_addr.s_addr != client.sin_addr.s_addr ||
                        from.sin_port != client.sin_port) {
                        client = from;
                        haveClient = true;
                        back = posix::BindUdp(front.addr, 0);
                        serverPeer = request;
                        up.held.clear();
                        down.held.clear();
                        ++transfers;
                        if (!quiet)
                            std::fprintf(stderr, "[relay] transfer %u from %s\n", transfers,
                                         posix::AddrText(from).c_str());
                    }
                    relay.Forward(up, simtftp::Bytes(buf.begin(), buf.begin() + n), sendUp);
                }
            }
            if (back && (fds[1].revents & POLLIN)) {
                len = sizeof from;
                ssize_t n =
                    ::recvfrom(back.Get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n >= 0 && from.sin_addr.s_addr == request.sin_addr.s_addr) {
                    if (from.sin_port != serverPeer.sin_port && !quiet)
                        std::fprintf(stderr, "[relay] server answers from %s\n", posix::AddrText(from).c_str());
                    serverPeer = from;
                    relay.Forward(down, simtftp::Bytes(buf.begin(), buf.begin() + n), sendDown);
                }
            }
        }
        for (const Direction* d : {&up, &down})
            std::fprintf(stderr, "[relay] %s: %llu passed, %llu dropped, %llu duplicated, %llu reordered\n",
                         d->name, d->passed, d->dropped, d->duplicated, d->reordered);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-lossy-relay: %s\n", e.what());
        return 1;
    }
    return 0;
}
