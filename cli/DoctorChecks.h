// ftpupg-cli doctor's rules: what the facts gathered about one device's address say, check
// by check in the order an upgrade needs them. Pure functions: the gathering is
// DoctorCommand's.
#pragma once

#include "cli/DeviceTable.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fleet::doctor {

// About what the kernel charges a socket's receive buffer for one discovery answer: the
// 808-byte datagram in a buffer of its own, and the kernel's bookkeeping.
inline constexpr int64_t AnswerCharge = 2304;
// IPv4, UDP and TFTP headers in front of a block.
inline constexpr int32_t BlockOverhead = 20 + 8 + 4;

struct RouteFacts {
    bool found = false;
    std::string error;     // why there is none
    std::string interface; // "eth0"
    std::string source;    // our address towards the device
    bool onLink = true;    // the device is on the interface's own network
    int32_t mtu = 0;       // 0: unknown
};

struct DiscoveryFacts {
    bool sent = false;
    std::string error;                // why nothing could be sent
    std::string targets;              // where the broadcast went ("127.1.255.255")
    std::vector<DeviceEntry> devices; // every device that answered
};

struct ArpFacts {
    bool probed = false;
    std::string why;               // why not probed
    std::vector<std::string> macs; // every hardware address that answered for the address
};

struct TftpFacts {
    enum class Answer { None, Answered, Unreachable, LocalError };
    Answer answer = Answer::None;
    uint16_t fromPort = 0; // of the answer (also when only seen on the interface)
    std::string what;      // "ERROR 2 'Only writes are accepted'"
    std::string error;     // a local failure
    bool watched = false;  // the interface was watched (CAP_NET_RAW)
    bool seenOnly = false; // an answer reached the interface but never the socket
    int32_t waitMs = 0;
};

struct Facts {
    std::string ip;
    int32_t blockSize = 0;
    int32_t jobs = 0;
    RouteFacts route;
    DiscoveryFacts discovery;
    ArpFacts arp;
    TftpFacts tftp;
    int64_t receiveBuffer = 0; // what the device library's socket gets, in bytes (0: unknown)
};

enum class Status { Ok, Warning, Failed, Skipped };
std::string_view StatusName(Status status); // "ok", "warning", "failed", "skipped"

struct Check {
    std::string name;
    Status status = Status::Ok;
    std::string detail;
    std::string advice; // what to do; empty when ok
};

// Every check in order: route, mtu, discovery, duplicates, tftp, new-port, receive-buffer. A
// check that cannot be judged because an earlier one failed is skipped.
std::vector<Check> Diagnose(const Facts& facts);
// All checks ok (skipped ones are not).
bool AllPassed(const std::vector<Check>& checks);

} // namespace fleet::doctor
