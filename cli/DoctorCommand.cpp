#include "cli/DoctorCommand.h"

#include "cli/Addresses.h"
#include "cli/DeviceLink.h"
#include "cli/DoctorChecks.h"
#include "cli/Outcome.h"
#include "devmsg/NdxlCore.h"
#include "posix/Fd.h"
#include "posix/PacketTrace.h"
#include "posix/Udp.h"
#include "tftp/IdTFTPPacket.h"
#include "upgrade/UpgradePolicy.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>
#include <span>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;
using doctor::Facts;

// The interface the route leaves by, as the checks and the probes need it.
struct Interface {
    std::string name;
    int index = 0;
    unsigned flags = 0;
};

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

int Remaining(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<int64_t>(0, left));
}

doctor::RouteFacts GatherRoute(uint32_t ip, Interface& out)
{
    doctor::RouteFacts r;
    std::string error;
    const auto source = posix::RouteSource(ip, &error);
    if (!source) {
        r.error = error;
        return r;
    }
    r.found = true;
    r.source = devmsg::AddressText(*source);
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return r;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || it->ifa_netmask == nullptr) continue;
        const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
        if (address != *source) continue;
        const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
        r.interface = it->ifa_name;
        r.onLink = (address & mask) == (ip & mask);
        out = {it->ifa_name, static_cast<int>(::if_nametoindex(it->ifa_name)), it->ifa_flags};
        break;
    }
    ::freeifaddrs(list);
    if (r.interface.empty()) {
        r.interface = "(unknown interface)";
        return r;
    }
    const posix::Fd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, r.interface.c_str(), IFNAMSIZ - 1);
    if (probe && ::ioctl(probe.Get(), SIOCGIFMTU, &request) == 0) r.mtu = request.ifr_mtu;
    return r;
}

doctor::DiscoveryFacts GatherDiscovery(const std::string& ip, int waitMs)
{
    doctor::DiscoveryFacts d;
    std::string problem;
    bool ok = true;
    const devmsg::Settings settings = devmsg::SettingsFromEnvironment(problem, ok);
    std::vector<uint32_t> targets;
    if (settings.broadcast)
        targets.push_back(*settings.broadcast);
    else
        targets = devmsg::BroadcastTargets(devmsg::SystemInterfaces());
    for (const uint32_t t : targets)
        d.targets += (d.targets.empty() ? "" : ", ") + devmsg::AddressText(t);
    try {
        const std::vector<std::string> wanted{ip};
        d.devices = Discover(waitMs, nullptr, &wanted).table.Sorted();
        d.sent = true;
    } catch (const std::exception& e) {
        d.error = e.what();
    }
    return d;
}

// Asks who has ip with ARP requests of our own and collects every hardware address that
// answers: two hosts on one address both do.
doctor::ArpFacts ProbeArp(const Interface& nic, uint32_t source, uint32_t ip, int waitMs)
{
    doctor::ArpFacts a;
    if (nic.index == 0 || (nic.flags & (IFF_LOOPBACK | IFF_NOARP)) != 0) {
        a.why = "the interface has no ARP";
        return a;
    }
    const posix::Fd fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ARP)));
    if (!fd) {
        a.why = errno == EPERM ? "needs CAP_NET_RAW" : Errno("packet socket");
        return a;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, nic.name.c_str(), IFNAMSIZ - 1);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ARP);
    link.sll_ifindex = nic.index;
    if (::ioctl(fd.Get(), SIOCGIFHWADDR, &request) != 0 ||
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0) {
        a.why = Errno("ARP");
        return a;
    }
    std::array<uint8_t, 28> ask{0, 1, 8, 0, 6, 4, 0, 1}; // Ethernet, IPv4, request
    std::memcpy(&ask[8], request.ifr_hwaddr.sa_data, 6);
    const uint32_t from = htonl(source), to = htonl(ip);
    std::memcpy(&ask[14], &from, 4);
    std::memcpy(&ask[24], &to, 4);
    link.sll_halen = 6;
    std::fill_n(link.sll_addr, 6, 0xFF);
    a.probed = true;
    std::set<std::string> macs;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (int sent = 0;;) {
        // Twice, in case one request or its answers get lost.
        if (sent < 2 && Remaining(deadline) <= waitMs - sent * waitMs / 2) {
            ::sendto(fd.Get(), ask.data(), ask.size(), 0, reinterpret_cast<const sockaddr*>(&link), sizeof link);
            ++sent;
        }
        const int left = Remaining(deadline);
        if (left == 0) break;
        pollfd ready{fd.Get(), POLLIN, 0};
        if (::poll(&ready, 1, std::min(left, waitMs / 2)) <= 0) continue;
        std::array<uint8_t, 64> got{};
        while (true) {
            const ssize_t n = ::recv(fd.Get(), got.data(), got.size(), 0);
            if (n < 0) break;
            if (n >= 28 && got[6] == 0 && got[7] == 2 && std::memcmp(&got[14], &to, 4) == 0)
                macs.insert(MacText(std::span<const uint8_t>(&got[8], 6)));
        }
    }
    a.macs.assign(macs.begin(), macs.end());
    return a;
}

// The source port of a UDP datagram from device to our port in an IPv4 packet as a packet
// socket hands it over; nothing when it is another packet.
std::optional<uint16_t> AnswerPort(std::span<const uint8_t> packet, uint32_t device, uint16_t ours)
{
    if (packet.size() < 20 || (packet[0] >> 4) != 4 || packet[9] != 17) return std::nullopt;
    const size_t header = static_cast<size_t>(packet[0] & 0x0F) * 4;
    const uint32_t source = uint32_t{packet[12]} << 24 | uint32_t{packet[13]} << 16 | packet[14] << 8 | packet[15];
    if (packet.size() < header + 8 || source != device || (packet[header + 2] << 8 | packet[header + 3]) != ours)
        return std::nullopt;
    return static_cast<uint16_t>(packet[header] << 8 | packet[header + 1]);
}

// A read request for a name no device has: it asks the TFTP port to answer and writes
// nothing. The interface is watched meanwhile (with CAP_NET_RAW): an answer seen there that
// never reaches the socket was dropped by a firewall on this host.
class TftpProbe {
public:
    using Answer = doctor::TftpFacts::Answer;

    TftpProbe(const Interface& nic, uint32_t ip, uint16_t port, int waitMs) : ip_(ip), waitMs_(waitMs)
    {
        facts_.waitMs = waitMs;
        device_.sin_family = AF_INET;
        device_.sin_addr.s_addr = htonl(ip);
        device_.sin_port = htons(port);
        Watch(nic);
    }

    doctor::TftpFacts Run()
    {
        if (!Open()) return facts_;
        // A read request is laid out as a write request (RFC 1350) but for its opcode.
        std::string request =
            tftp::MakeWriteRequest("ftpupg-doctor/no-such-file", "octet", tftp::RequestOptions{});
        request[1] = static_cast<char>(tftp::opRRQ);
        const auto start = Clock::now();
        deadline_ = start + std::chrono::milliseconds(waitMs_);
        if (!Send(request, device_)) {
            Fail(errno == ECONNREFUSED ? Answer::Unreachable : Answer::LocalError, "sendto");
            return facts_;
        }
        bool again = true; // one more request half-way, in case one was lost
        while (facts_.answer == Answer::None) {
            const int left = Remaining(deadline_);
            if (left == 0) break;
            if (again && !seen_ && Clock::now() >= start + std::chrono::milliseconds(waitMs_ / 2)) {
                Send(request, device_);
                again = false;
            }
            pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {watch_.Get(), POLLIN, 0}};
            if (::poll(fds, watch_ ? 2 : 1, std::min(left, std::max(1, waitMs_ / 4))) <= 0) continue;
            if (fds[0].revents != 0) FromSocket();
            if (watch_ && fds[1].revents != 0) FromInterface();
        }
        if (facts_.answer == Answer::None && seen_) {
            facts_.seenOnly = true;
            facts_.fromPort = *seen_;
        }
        return facts_;
    }

private:
    void Watch(const Interface& nic)
    {
        if (nic.index == 0) return;
        watch_.Reset(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_IP)));
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_IP);
        link.sll_ifindex = nic.index;
        if (watch_ && ::bind(watch_.Get(), reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0)
            watch_.Reset();
        facts_.watched = static_cast<bool>(watch_);
    }

    // Unconnected, since the answer comes from a new port; a port unreachable is still told.
    bool Open()
    {
        socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in any{};
        any.sin_family = AF_INET;
        const int on = 1;
        if (!socket_ || ::bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
            ::setsockopt(socket_.Get(), IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) {
            Fail(Answer::LocalError, "socket");
            return false;
        }
        ours_ = posix::LocalPort(socket_.Get());
        return true;
    }

    void Fail(Answer answer, const char* call)
    {
        facts_.answer = answer;
        facts_.error = Errno(call);
    }

    bool Send(const std::string& bytes, const sockaddr_in& to)
    {
        return ::sendto(socket_.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(bytes.size());
    }

    void FromSocket()
    {
        std::array<uint8_t, 1024> got{};
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(socket_.Get(), got.data(), got.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0 && errno == ECONNREFUSED) facts_.answer = Answer::Unreachable;
        if (n < 2 || from.sin_addr.s_addr != device_.sin_addr.s_addr) return;
        const tftp::Bytes bytes{got.data(), static_cast<size_t>(n)};
        facts_.answer = Answer::Answered;
        facts_.fromPort = ntohs(from.sin_port);
        if (const auto error = tftp::ServerErrorOf(bytes)) {
            facts_.what = "ERROR " + std::to_string(error->code) + " '" + error->message + "'";
        } else {
            // A transfer started after all (the name exists): ended at once.
            facts_.what = "opcode " + std::to_string(tftp::OpcodeOf(bytes));
            Send(tftp::MakeError(0, "ftpupg-cli doctor: probe only"), from);
        }
    }

    void FromInterface()
    {
        std::array<uint8_t, 128> got{};
        sockaddr_ll link{};
        socklen_t length = sizeof link;
        for (ssize_t n; (n = ::recvfrom(watch_.Get(), got.data(), got.size(), 0,
                                        reinterpret_cast<sockaddr*>(&link), &length)) > 0;
             length = sizeof link) {
            if (link.sll_pkttype == PACKET_OUTGOING || seen_) continue;
            seen_ = AnswerPort({got.data(), static_cast<size_t>(n)}, ip_, ours_);
            // The socket gets it a moment later, unless something drops it on the way.
            if (seen_) deadline_ = std::min(deadline_, Clock::now() + std::chrono::milliseconds(300));
        }
    }

    const uint32_t ip_;
    const int waitMs_;
    sockaddr_in device_{};
    doctor::TftpFacts facts_;
    posix::Fd socket_;
    posix::Fd watch_;
    uint16_t ours_ = 0;
    std::optional<uint16_t> seen_;
    Clock::time_point deadline_;
};

// What the device library's socket gets when it asks for its 4 MiB.
int64_t LibraryReceiveBuffer()
{
    const posix::Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return 0;
    const int want = 4 * 1024 * 1024;
    if (::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0)
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &value, &length);
    return value;
}

void Print(const DoctorArgs& args, const std::vector<doctor::Check>& checks, double seconds)
{
    if (args.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& c : checks)
            list.push_back({{"name", c.name},
                            {"status", doctor::StatusName(c.status)},
                            {"detail", c.detail},
                            {"advice", c.advice}});
        std::cout << nlohmann::json{{"ip", args.ip},      {"blksize", args.blockSize},
                                    {"jobs", args.jobs},  {"passed", doctor::AllPassed(checks)},
                                    {"seconds", seconds}, {"checks", list}}
                         .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                  << "\n";
        return;
    }
    int failed = 0, warnings = 0;
    for (const auto& c : checks) {
        std::printf("%-8s %-15s %s%s%s\n", std::string(doctor::StatusName(c.status)).c_str(), c.name.c_str(),
                    c.detail.c_str(), c.advice.empty() ? "" : "; do: ", c.advice.c_str());
        failed += c.status == doctor::Status::Failed;
        warnings += c.status == doctor::Status::Warning;
    }
    if (doctor::AllPassed(checks))
        std::printf("all checks passed in %.1f s\n", seconds);
    else
        std::printf("%d failed, %d warning(s) in %.1f s\n", failed, warnings, seconds);
}

} // namespace

CLI::App* AddDoctorCommand(CLI::App& app, DoctorArgs& args)
{
    auto* doctor = app.add_subcommand(
        "doctor",
        "Check, in the order an upgrade needs them, what decides whether one device can be upgraded from "
        "here; one line each with what to do");
    doctor->add_option("--ip", args.ip, "The device's IPv4 address")->required()->type_name("IP");
    doctor
        ->add_option("--blksize", args.blockSize,
                     "TFTP block size the upgrade will use, checked against the interface's MTU")
        ->check(CLI::Range(8, tftp::MaxBlockSize))
        ->type_name("N")
        ->capture_default_str();
    doctor->add_option("--jobs", args.jobs, "Devices the upgrade will write at once")
        ->check(CLI::Range(1, ::upgrade::MaxJobs))
        ->type_name("N")
        ->capture_default_str();
    doctor
        ->add_option("--wait", args.waitMs,
                     "How long to wait for the discovery answer and for the TFTP answer, in ms")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS")
        ->capture_default_str();
    doctor->add_flag("--json", args.json, "Print the checks as JSON");
    return doctor;
}

int RunDoctor(const DoctorArgs& args)
{
    if (!IsDeviceAddress(args.ip)) {
        std::fprintf(stderr, "ftpupg-cli: --ip: '%s' is no device address\n", args.ip.c_str());
        return ExitUsage;
    }
    const auto start = Clock::now();
    const uint32_t ip = AddressValue(args.ip);
    Facts facts;
    facts.ip = args.ip;
    facts.blockSize = args.blockSize;
    facts.jobs = args.jobs;
    Interface nic;
    facts.route = GatherRoute(ip, nic);
    if (facts.route.found) {
        facts.discovery = GatherDiscovery(args.ip, args.waitMs);
        facts.arp = ProbeArp(nic, AddressValue(facts.route.source), ip, 300);
        facts.tftp = TftpProbe(nic, ip, static_cast<uint16_t>(args.tftpPort), args.waitMs).Run();
    }
    facts.receiveBuffer = LibraryReceiveBuffer();
    const auto checks = doctor::Diagnose(facts);
    Print(args, checks, std::chrono::duration<double>(Clock::now() - start).count());
    return doctor::AllPassed(checks) ? ExitDone : ExitFailed;
}

} // namespace fleet
