// Finding the device the operator named and having it check the password. Fed the replies
// that arrive, with the address and password as typed (in the device's code page), it answers
// which password requests to send and whether the device was found and the password
// accepted or refused. It sends, waits and shows nothing itself.
#pragma once

#include "upgrade/UpgradePolicy.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace upgrade {

// A discovery answer from the device at this address: devices are matched by the IP text
// they report, byte for byte.
bool AnswersFrom(std::span<const uint8_t> record, std::string_view ip);

struct CheckStep {
    std::vector<std::vector<uint8_t>> send; // password requests, in order
    bool found = false;                     // a discovery answer from the typed address
    bool accepted = false;                  // a password answer that accepts
    bool stray = false;                     // a password answer from another device, ignored (Tool)
    bool refused = false;                   // a password answer that refuses, with:
    uint16_t result = 0;
    uint16_t status = 0;
};

class DeviceCheck {
public:
    enum class State { Searching, Asked, Accepted, Refused };

    explicit DeviceCheck(Policy policy) : policy_(policy) {}

    // A discovery answer in the given form (17 or 20). The window's handler picks the form
    // by its own name, so the record's protocol byte is not looked at again here.
    CheckStep OnDiscoveryAnswer(std::span<const uint8_t> record, uint8_t form, std::string_view typedIp,
                                std::string_view password);
    // The tool counts only an answer that carries the address and hardware address of the
    // device found: devices that share a hardware address all hear the request.
    CheckStep OnPasswordAnswer(std::span<const uint8_t> record);
    // Any reply record: discovery and password answers by their protocol byte; others change nothing.
    CheckStep OnReply(std::span<const uint8_t> record, std::string_view typedIp, std::string_view password);

    State state() const { return state_; }
    bool Found() const { return state_ != State::Searching; }
    // Accepted, or refused with no request left unanswered (Tool; the window never waits).
    bool Settled() const;
    uint16_t refusal() const { return refusal_; }
    uint16_t refusalStatus() const { return refusalStatus_; }
    // The first matching discovery answer (empty until found) and the forms heard since.
    const std::vector<uint8_t>& FirstAnswer() const { return firstAnswer_; }
    const std::vector<uint8_t>& Forms() const { return forms_; }

private:
    Policy policy_;
    State state_ = State::Searching;
    std::vector<uint8_t> firstAnswer_;
    std::vector<uint8_t> forms_;
    std::vector<uint8_t> asked_; // password protocols requested (Tool)
    int unanswered_ = 0;
    uint16_t refusal_ = 0;
    uint16_t refusalStatus_ = 0;
};

} // namespace upgrade
