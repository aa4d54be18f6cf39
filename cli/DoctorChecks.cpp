#include "cli/DoctorChecks.h"

#include <algorithm>

namespace fleet::doctor {

namespace {

using Answer = TftpFacts::Answer;

Check Ok(const char* name, std::string detail)
{
    return {name, Status::Ok, std::move(detail), {}};
}

Check Bad(const char* name, Status status, std::string detail, std::string advice)
{
    return {name, status, std::move(detail), std::move(advice)};
}

Check Skip(const char* name, std::string why)
{
    return {name, Status::Skipped, std::move(why), {}};
}

std::string Join(const std::vector<std::string>& parts)
{
    std::string text;
    for (const auto& p : parts)
        text += (text.empty() ? "" : ", ") + p;
    return text;
}

const DeviceEntry* Answered(const Facts& f)
{
    for (const auto& d : f.discovery.devices)
        if (d.ip == f.ip) return &d;
    return nullptr;
}

Check Route(const Facts& f)
{
    const RouteFacts& r = f.route;
    if (!r.found)
        return Bad("route", Status::Failed, "no route to " + f.ip + (r.error.empty() ? "" : ": " + r.error),
                   "give this host an address on the device's network (or a route to it)");
    if (!r.onLink)
        return Bad("route", Status::Warning,
                   f.ip + " is reached through a router on " + r.interface + " (from " + r.source +
                       "), not on this host's network: discovery broadcasts do not cross routers",
                   "run from the device's network, or set NDXL_BROADCAST to that network's broadcast address");
    return Ok("route", f.ip + " is on " + r.interface + "'s network, reached from " + r.source);
}

Check Mtu(const Facts& f)
{
    const RouteFacts& r = f.route;
    if (r.mtu <= 0)
        return Bad("mtu", Status::Warning, "the MTU of " + r.interface + " is unknown",
                   "compare it with --blksize + 32 yourself (ip link show)");
    const int32_t packet = f.blockSize + BlockOverhead;
    if (packet > r.mtu)
        return Bad("mtu", Status::Failed,
                   "blocks of " + std::to_string(f.blockSize) + " bytes make IP packets of " +
                       std::to_string(packet) + " bytes, above the MTU " + std::to_string(r.mtu) + " of " +
                       r.interface + ": each goes out in fragments, which devices often drop",
                   "use --blksize " + std::to_string(std::max(8, r.mtu - BlockOverhead)) + " or less");
    return Ok("mtu", "IP packets of " + std::to_string(packet) + " bytes (--blksize " +
                         std::to_string(f.blockSize) + ") fit the MTU " + std::to_string(r.mtu) + " of " +
                         r.interface);
}

Check Discovery(const Facts& f)
{
    const DiscoveryFacts& d = f.discovery;
    if (!d.sent)
        return Bad("discovery", Status::Failed, "no discovery could be sent: " + d.error,
                   "bring up a broadcast-capable interface, or check NDXL_BROADCAST");
    if (const DeviceEntry* device = Answered(f))
        return Ok("discovery", f.ip + " answered the broadcast to " + d.targets + " as '" + device->name + "' (" +
                                   device->mac + ")");
    const std::string others =
        d.devices.empty() ? "no device answered" : std::to_string(d.devices.size()) + " other device(s) answered";
    if (f.tftp.answer == Answer::Answered || f.tftp.seenOnly)
        return Bad("discovery", Status::Failed,
                   f.ip + " gave no answer to the discovery broadcast to " + d.targets + " (" + others +
                       "), though its TFTP port answers: broadcasts do not reach it",
                   "let broadcasts to UDP port 17250 through between this host and the device (a router, VLAN or "
                   "firewall drops them)");
    return Bad("discovery", Status::Failed,
               f.ip + " gave no answer to the discovery broadcast to " + d.targets + " (" + others + ")",
               "check that the device is on, on this network, and that its address is " + f.ip);
}

Check Duplicates(const Facts& f)
{
    std::vector<std::string> problems;
    if (f.arp.macs.size() > 1)
        problems.push_back("several hardware addresses answer ARP for " + f.ip + ": " + Join(f.arp.macs));
    const DeviceEntry* device = Answered(f);
    if (device != nullptr && !device->conflicts.empty()) problems.push_back(ConflictText(*device));
    if (device != nullptr)
        for (const auto& other : f.discovery.devices)
            if (other.ip != device->ip && other.mac == device->mac)
                problems.push_back("hardware address " + device->mac + " answers for both " + f.ip + " and " +
                                   other.ip);
    if (!problems.empty())
        return Bad("duplicates", Status::Failed, Join(problems),
                   "give each device an address and a hardware address of its own: an upgrade would write to "
                   "whichever answers first");
    std::string detail = "one device answers for " + f.ip;
    if (device != nullptr)
        detail += " (" + device->mac + ")";
    else if (f.arp.macs.size() == 1)
        detail += " (" + f.arp.macs.front() + ")";
    else
        detail = "no second device answers for " + f.ip;
    if (!f.arp.probed) detail += "; ARP not asked: " + f.arp.why;
    return Ok("duplicates", detail);
}

Check Tftp(const Facts& f)
{
    const TftpFacts& t = f.tftp;
    switch (t.answer) {
    case Answer::Answered:
        return Ok("tftp", "the TFTP port answered a read request for a name that cannot exist with " + t.what +
                              " (nothing is written)");
    case Answer::Unreachable:
        return Bad("tftp", Status::Failed, "nothing listens on " + f.ip + "'s TFTP port (port unreachable)",
                   "put the device into its upgrade mode, or check its TFTP port");
    case Answer::LocalError:
        return Bad("tftp", Status::Failed, "the TFTP request could not be sent: " + t.error,
                   "remedy the local reason above, then run doctor again");
    case Answer::None: break;
    }
    if (t.seenOnly)
        return Ok("tftp", "the TFTP port answered (from port " + std::to_string(t.fromPort) +
                              "), but the answer never reached this program: see new-port");
    return Bad("tftp", Status::Failed,
               "no answer from " + f.ip + "'s TFTP port within " + std::to_string(t.waitMs) + " ms",
               "check that the device takes TFTP now, and that nothing between drops UDP port 69");
}

Check NewPort(const Facts& f)
{
    const TftpFacts& t = f.tftp;
    if (t.answer == Answer::Answered)
        return Ok("new-port", t.fromPort == 69 ? "the device answers from port 69 itself"
                                               : "its answer from a new port (" + std::to_string(t.fromPort) +
                                                     ") reached this program");
    if (t.seenOnly)
        return Bad(
            "new-port", Status::Failed,
            "the device's answer from a new port (" + std::to_string(t.fromPort) +
                ") reached this host but was dropped before this program got it: a firewall here drops TFTP "
                "replies from a new port (no conntrack TFTP helper)",
            "load the TFTP helper (nf_conntrack_tftp with a ct helper rule for UDP port 69) or accept UDP "
            "from " +
                f.ip + " to this host's ports 1024-65535");
    if (t.answer == Answer::None && !t.watched)
        return Bad("new-port", Status::Warning,
                   "cannot tell whether a firewall here drops replies from a new port: no answer came, and "
                   "watching the interface needs CAP_NET_RAW",
                   "run doctor as root");
    return Skip("new-port", "no answer to judge (see tftp)");
}

Check ReceiveBuffer(const Facts& f)
{
    if (f.receiveBuffer <= 0)
        return Bad("receive-buffer", Status::Warning, "the receive buffer is unknown",
                   "check net.core.rmem_max (sysctl net.core.rmem_max)");
    const int64_t holds = f.receiveBuffer / AnswerCharge;
    const int64_t devices = std::max<int64_t>(1, static_cast<int64_t>(f.discovery.devices.size()));
    const int64_t needed = devices * f.jobs;
    const std::string detail = "the device library's receive buffer (" + std::to_string(f.receiveBuffer / 1024) +
                               " KiB) holds about " + std::to_string(holds) + " answers; --jobs " +
                               std::to_string(f.jobs) + " discoveries at once among " + std::to_string(devices) +
                               " device(s) bring up to " + std::to_string(needed);
    if (holds < needed)
        return Bad("receive-buffer", Status::Warning, detail,
                   "run as root (the library then takes 4 MiB), raise net.core.rmem_max to " +
                       std::to_string(needed * AnswerCharge) + ", or lower --jobs to " +
                       std::to_string(std::max<int64_t>(1, holds / devices)));
    return Ok("receive-buffer", detail);
}

} // namespace

std::string_view StatusName(Status status)
{
    switch (status) {
    case Status::Ok: return "ok";
    case Status::Warning: return "warning";
    case Status::Failed: return "failed";
    case Status::Skipped: return "skipped";
    }
    return "failed";
}

std::vector<Check> Diagnose(const Facts& facts)
{
    if (!facts.route.found)
        return {Route(facts),
                Skip("mtu", "no route"),
                Skip("discovery", "no route"),
                Skip("duplicates", "no route"),
                Skip("tftp", "no route"),
                Skip("new-port", "no route"),
                ReceiveBuffer(facts)};
    return {Route(facts), Mtu(facts),     Discovery(facts),    Duplicates(facts),
            Tftp(facts),  NewPort(facts), ReceiveBuffer(facts)};
}

bool AllPassed(const std::vector<Check>& checks)
{
    return std::all_of(checks.begin(), checks.end(), [](const Check& c) { return c.status == Status::Ok; });
}

} // namespace fleet::doctor
