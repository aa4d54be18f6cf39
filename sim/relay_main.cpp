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
#include <optional>
#include <cerrno>
#include <deque>
#include <stdexcept>
#include <random>
#include <string>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#include "posix/Fd.h"
#include "posix/SignalSource.h"
#include "sim/ProgramSupport.h"
#include "tftp/IdTFTPPacket.h"
#include "sim/TftpServer.h"
#include "posix/Udp.h"

namespace {

using posix::Fd;

struct Endpoint {
    std::string addr;
    std::uint16_t port;
};

// "ADDR[:PORT]"; a bad port names the option.
Endpoint ParseEndpoint(const std::string& option, const std::string& text, std::uint16_t defPort)
{
    auto colon = text.rfind(':');
    if (colon == std::string::npos) return {text, defPort};
    std::uint16_t port = 0;
    if (!CLI::detail::lexical_cast(text.substr(colon + 1), port))
        throw CLI::ValidationError(option, "bad port in " + text);
    return {text.substr(0, colon), port};
}

struct RelayOptions {
    Endpoint front{"127.0.0.1", 6969};
    Endpoint server{"", 69};
    std::string portFile;
    double drop = 0, dup = 0, reorder = 0;
    int delayMs = 3;
    long latencyUs = 0;
    std::uint32_t seed = 1;
    bool quiet = false;
};

void AddOptions(CLI::App& app, RelayOptions& o)
{
    app.add_option_function<std::string>(
           "-l,--listen", [&o](const std::string& text) { o.front = ParseEndpoint("--listen", text, 6969); },
           "front address for the client (default 127.0.0.1:6969; port 0 picks a free one)")
        ->type_name("ADDR[:PORT]");
    app.add_option_function<std::string>(
           "-s,--server", [&o](const std::string& text) { o.server = ParseEndpoint("--server", text, 69); },
           "server request address (port default 69)")
        ->required()
        ->type_name("ADDR[:PORT]");
    app.add_option("--port-file", o.portFile, "write the front port number to FILE")->type_name("FILE");
    app.add_option("--drop", o.drop, "drop this share of datagrams each way")
        ->check(sim::Share())
        ->type_name("SHARE");
    app.add_option("--dup", o.dup, "send this share of datagrams twice")->check(sim::Share())->type_name("SHARE");
    app.add_option("--reorder", o.reorder,
                   "hold back this share of datagrams until the next one in the same direction has passed, or "
                   "--delay-ms has run out")
        ->check(sim::Share())
        ->type_name("SHARE");
    app.add_option("--delay-ms", o.delayMs, "longest hold of a reordered datagram (default 3)")
        ->check(CLI::Range(0, 600000))
        ->type_name("N");
    app.add_option("--latency-us", o.latencyUs, "hold every datagram N microseconds, each way (default 0)")
        ->check(CLI::Range(0L, 10000000L))
        ->type_name("N");
    app.add_option("--seed", o.seed, "random seed (default 1)")->type_name("N");
    app.add_flag("-q,--quiet", o.quiet, "log only the totals at exit");
    app.callback([&o] {
        if (o.drop + o.reorder > 1.0) throw CLI::ValidationError("--drop and --reorder", "more than 1 together");
    });
}

long long NowUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

struct Held {
    long long due; // microseconds, NowUs()
    sim::Packet data;
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
    template <class SendFn> void Forward(Direction& d, sim::Packet data, SendFn send)
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

// A read or write request: its opcode.
bool IsRequest(const sim::Packet& d)
{
    const uint16_t opcode = tftp::OpcodeOf(tftp::Bytes{d.data(), d.size()});
    return opcode == tftp::opRRQ || opcode == tftp::opWRQ;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// The wait until the next held datagram is due, none while nothing is held.
std::optional<timespec> UntilDue(const Direction& up, const Direction& down)
{
    long long soonest = -1;
    for (const Direction* d : {&up, &down}) {
        Soonest(d->held, soonest);
        Soonest(d->wire, soonest);
    }
    if (soonest < 0) return std::nullopt;
    const long long left = std::max(0LL, soonest - NowUs());
    return timespec{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
}

void SendTo(const Fd& sock, const sim::Packet& d, const sockaddr_in& to)
{
    ::sendto(sock.Get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// One client and the server it is relayed to: the front socket, the back socket of the
// current transfer, and what is on its way in each direction.
class Link {
    // What passes goes out at once, or after the latency when there is one, to where it was
    // headed when it passed (the server's port may change meanwhile). A request sent again
    // (its answer was lost) goes where requests go, as on a real network, not to the
    // transfer port that answered the first one.
    void SendUp(const sim::Packet& d)
    {
        const sockaddr_in& to = IsRequest(d) ? request_ : serverPeer_;
        if (latencyUs_ > 0)
            up_.wire.push_back({NowUs() + latencyUs_, d, to});
        else
            SendTo(back_, d, to);
    }
    void SendDown(const sim::Packet& d)
    {
        if (latencyUs_ > 0)
            down_.wire.push_back({NowUs() + latencyUs_, d, client_});
        else
            SendTo(front_, d, client_);
    }
    auto PassUp()
    {
        return [this](const sim::Packet& d) { SendUp(d); };
    }
    auto PassDown()
    {
        return [this](const sim::Packet& d) { SendDown(d); };
    }

public:
    Link(Fd front, const RelayOptions& o)
        : front_(std::move(front)), frontAddr_(o.front.addr),
          request_(posix::MakeAddr(o.server.addr, o.server.port)), serverPeer_(request_), latencyUs_(o.latencyUs),
          quiet_(o.quiet)
    {}

    const Fd& Front() const { return front_; }
    const Fd& Back() const { return back_; }
    std::optional<timespec> Wait() const { return UntilDue(up_, down_); }

    // Held datagrams whose time has come, and those on the wire that are due.
    void ReleaseDue(Relay& relay)
    {
        relay.Release(up_, PassUp(), false);
        relay.Release(down_, PassDown(), false);
        Deliver(up_.wire, back_);
        Deliver(down_.wire, front_);
    }

    void FromClient(Relay& relay, std::vector<std::uint8_t>& buf)
    {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(front_.Get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        if (!haveClient_ || !SameAddress(from, client_)) StartTransfer(from);
        relay.Forward(up_, sim::Packet(buf.begin(), buf.begin() + n), PassUp());
    }

    void FromServer(Relay& relay, std::vector<std::uint8_t>& buf)
    {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(back_.Get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0 || from.sin_addr.s_addr != request_.sin_addr.s_addr) return;
        if (from.sin_port != serverPeer_.sin_port && !quiet_)
            std::fprintf(stderr, "[relay] server answers from %s\n", posix::AddrText(from).c_str());
        serverPeer_ = from;
        relay.Forward(down_, sim::Packet(buf.begin(), buf.begin() + n), PassDown());
    }

    void LogTotals() const
    {
        for (const Direction* d : {&up_, &down_})
            std::fprintf(stderr, "[relay] %s: %llu passed, %llu dropped, %llu duplicated, %llu reordered\n",
                         d->name, d->passed, d->dropped, d->duplicated, d->reordered);
    }

private:
    // A new client address or port: a new back socket, so the server sees a new TID too.
    void StartTransfer(const sockaddr_in& from)
    {
        client_ = from;
        haveClient_ = true;
        back_ = posix::BindUdp(frontAddr_, 0);
        serverPeer_ = request_;
        for (Direction* d : {&up_, &down_}) {
            d->held.clear();
            d->wire.clear();
        }
        ++transfers_;
        if (!quiet_)
            std::fprintf(stderr, "[relay] transfer %u from %s\n", transfers_, posix::AddrText(from).c_str());
    }

    static void Deliver(std::deque<Held>& wire, const Fd& sock)
    {
        const long long now = NowUs();
        while (!wire.empty() && wire.front().due <= now) {
            SendTo(sock, wire.front().data, wire.front().to);
            wire.pop_front();
        }
    }

    Fd front_;
    Fd back_;
    std::string frontAddr_;
    sockaddr_in request_;
    sockaddr_in client_{};
    sockaddr_in serverPeer_;
    bool haveClient_ = false;
    unsigned transfers_ = 0;
    long latencyUs_;
    bool quiet_;
    Direction up_{"client->server", {}, {}};
    Direction down_{"server.client", {}, {}};
};

} // namespace

int main(int argc, char** argv)
{
    RelayOptions o;
    CLI::App app{"Relays one TFTP transfer at a time between a client and a server, losing packets.",
                 "ftpupg-lossy-relay"};
    AddOptions(app, o);
    if (const auto status = sim::ParseCommandLine(app, argc, argv)) return *status;

    try {
        posix::SignalSource stop({SIGINT, SIGTERM});

        Link link(posix::BindUdp(o.front.addr, o.front.port), o);
        const std::uint16_t frontPort = posix::LocalPort(link.Front().Get());
        if (!o.portFile.empty()) sim::WritePortFile(o.portFile, frontPort);
        std::fprintf(stderr, "[relay] %s:%u -> %s:%u drop %.3f dup %.3f reorder %.3f latency %ld us seed %u\n",
                     o.front.addr.c_str(), frontPort, o.server.addr.c_str(), o.server.port, o.drop, o.dup,
                     o.reorder, o.latencyUs, o.seed);
        // Wake-ups as late as the default timer slack (50 us) would add to every hold.
        if (o.latencyUs > 0) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

        Relay relay(o.drop, o.dup, o.reorder, o.delayMs, o.seed);
        std::vector<std::uint8_t> buf(65536);
        for (;;) {
            const std::optional<timespec> wait = link.Wait();
            pollfd fds[3] = {
                {link.Front().Get(), POLLIN, 0}, {link.Back().Get(), POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
            // fd -1 (no back socket yet) is skipped.
            if (::ppoll(fds, 3, wait ? &*wait : nullptr, nullptr) < 0 && errno != EINTR) break;
            if (fds[2].revents) break;
            if (link.Back()) link.ReleaseDue(relay);
            if (fds[0].revents & POLLIN) link.FromClient(relay, buf);
            if (link.Back() && (fds[1].revents & POLLIN)) link.FromServer(relay, buf);
        }
        link.LogTotals();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-lossy-relay: %s\n", e.what());
        return 1;
    }
    return 0;
}
