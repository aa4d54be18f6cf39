// ftpupg-lossy-relay: a UDP relay between one TFTP client and a server that drops,
// duplicates and reorders a share of the datagrams each way and may hold every datagram
// for a fixed time, a LAN's latency on loopback (this kernel has no netem).
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
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#include "posix/Fd.h"
#include "posix/ProgramSupport.h"
#include "posix/SignalSource.h"
#include "sim/TftpServer.h"
#include "posix/Udp.h"

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
    "      --latency-us N       hold every datagram N microseconds, each way (default 0)\n"
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

long long NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

struct Held {
    long long due; // microseconds, NowUs()
    simtftp::Bytes data;
    sockaddr_in to{}; // on the wire: where it was sent when it passed
};

struct Direction {
    const char* name;
    std::deque<Held> held; // reordered: waiting for the next datagram to pass
    std::deque<Held> wire; // passed, on their way for --latency-us (due times in order)
    unsigned long long passed = 0, dropped = 0, duplicated = 0, reordered = 0;
};

// The earliest due time of a queue, kept in `soonest` (-1: none yet).
void Soonest(const std::deque<Held>& q, long long& soonest)
{
    if (!q.empty() && (soonest < 0 || q.front().due < soonest)) soonest = q.front().due;
}

class Relay {
public:
    Relay(double drop, double dup, double reorder, int delayMs, std::uint32_t seed)
        : drop_(drop), dup_(dup), reorder_(reorder), delayUs_(delayMs * 1000LL), rng_(seed)
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
            d.held.push_back({NowUs() + delayUs_, std::move(data)});
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
        const long long now = NowUs();
        while (!d.held.empty() && (all || d.held.front().due <= now)) {
            send(d.held.front().data);
            d.held.pop_front();
        }
    }

private:
    double drop_, dup_, reorder_;
    long long delayUs_;
    std::mt19937 rng_;
};

} // namespace

int main(int argc, char** argv)
{
    enum { OptPortFile = 256, OptDrop, OptDup, OptReorder, OptDelay, OptLatency, OptSeed };
    static const option longOpts[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"server", required_argument, nullptr, 's'},
        {"port-file", required_argument, nullptr, OptPortFile},
        {"drop", required_argument, nullptr, OptDrop},
        {"dup", required_argument, nullptr, OptDup},
        {"reorder", required_argument, nullptr, OptReorder},
        {"delay-ms", required_argument, nullptr, OptDelay},
        {"latency-us", required_argument, nullptr, OptLatency},
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
    long latencyUs = 0;
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
        case OptLatency: {
            char* end = nullptr;
            errno = 0;
            latencyUs = std::strtol(optarg, &end, 10);
            if (errno || end == optarg || *end || latencyUs < 0 || latencyUs > 10000000) {
                std::fprintf(stderr, "ftpupg-lossy-relay: --latency-us wants 0 to 10000000: %s\n", optarg);
                return 2;
            }
            break;
        }
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
        posix::SignalSource stop({SIGINT, SIGTERM});

        Fd frontSock = posix::BindUdp(front.addr, front.port);
        const sockaddr_in request = posix::MakeAddr(server->addr, server->port);
        if (!portFile.empty()) posix::WritePortFile(portFile, posix::LocalPort(frontSock.Get()));
        std::fprintf(stderr, "[relay] %s:%u -> %s:%u drop %.3f dup %.3f reorder %.3f latency %ld us seed %u\n",
                     front.addr.c_str(), posix::LocalPort(frontSock.Get()), server->addr.c_str(), server->port,
                     drop, dup, reorder, latencyUs, seed);
        // Wake-ups as late as the default timer slack (50 us) would add to every hold.
        if (latencyUs > 0) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

        Relay relay(drop, dup, reorder, delayMs, seed);
        Direction up{"client->server", {}, {}}, down{"server->client", {}, {}};
        Fd back;
        sockaddr_in client{}, serverPeer = request;
        bool haveClient = false;
        unsigned transfers = 0;
        auto send = [](const Fd& sock, const simtftp::Bytes& d, const sockaddr_in& to) {
            ::sendto(sock.Get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        };
        // What passes goes out at once, or after the latency when there is one, to where
        // it was headed when it passed (the server's port may change meanwhile).
        auto passUp = [&](const simtftp::Bytes& d) {
            if (latencyUs > 0)
                up.wire.push_back({NowUs() + latencyUs, d, serverPeer});
            else
                send(back, d, serverPeer);
        };
        auto passDown = [&](const simtftp::Bytes& d) {
            if (latencyUs > 0)
                down.wire.push_back({NowUs() + latencyUs, d, client});
            else
                send(frontSock, d, client);
        };
        auto deliver = [&](std::deque<Held>& wire, const Fd& sock) {
            const long long now = NowUs();
            while (!wire.empty() && wire.front().due <= now) {
                send(sock, wire.front().data, wire.front().to);
                wire.pop_front();
            }
        };

        std::vector<std::uint8_t> buf(65536);
        for (;;) {
            long long soonest = -1;
            for (Direction* d : {&up, &down}) {
                Soonest(d->held, soonest);
                Soonest(d->wire, soonest);
            }
            timespec wait{};
            if (soonest >= 0) {
                const long long left = std::max(0LL, soonest - NowUs());
                wait = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
            }
            pollfd fds[3] = {{frontSock.Get(), POLLIN, 0}, {back.Get(), POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
            // fd -1 (no back socket yet) is skipped.
            if (::ppoll(fds, 3, soonest >= 0 ? &wait : nullptr, nullptr) < 0 && errno != EINTR) break;
            if (fds[2].revents) break;
            if (back) {
                relay.Release(up, passUp, false);
                relay.Release(down, passDown, false);
                deliver(up.wire, back);
                deliver(down.wire, frontSock);
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
                        for (Direction* d : {&up, &down}) {
                            d->held.clear();
                            d->wire.clear();
                        }
                        ++transfers;
                        if (!quiet)
                            std::fprintf(stderr, "[relay] transfer %u from %s\n", transfers,
                                         posix::AddrText(from).c_str());
                    }
                    relay.Forward(up, simtftp::Bytes(buf.begin(), buf.begin() + n), passUp);
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
                    relay.Forward(down, simtftp::Bytes(buf.begin(), buf.begin() + n), passDown);
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
