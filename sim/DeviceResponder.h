// One simulated device on a loopback address: answers the messaging library's discovery and
// password requests the way a device does, with knobs for late, missing and malformed answers.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct DeviceConfig {
    std::string bindAddress = "127.0.0.2";         // answers come from here
    std::string listenAddress = "127.255.255.255"; // broadcast requests arrive here
    uint16_t port = 17250;                         // the library's device port
    std::optional<std::string> ipText;             // reported IP text; unset = bindAddress
    std::array<uint8_t, 6> mac = {0x00, 0x1b, 0x7a, 0x00, 0x00, 0x02};
    std::string name = "KR730";
    uint32_t echoWord = 0x5a17c3e1; // carried by protocol-20 answers (little-endian)
    std::string password = "1234";
    bool answer17 = true; // discovery answer forms
    bool answer20 = false;
    std::vector<uint8_t> extraProtocols; // further discovery answers with these numbers
    bool answerDiscovery = true;
    bool answerPassword = true;
    int discoveryDelayMs = 0;
    int passwordDelayMs = 0;
    uint16_t refuseResult = 1; // result and second value of a refusal
    uint16_t refuseStatus = 0;
    std::optional<size_t> replyLength; // send records cut or zero-padded to this length
    bool nameUnterminated = false;     // name fills the record to its end, no zero byte
    bool junk = false;                 // also send a datagram without our header
    // After a restart, answer with this hardware address (another board in the same place).
    std::optional<std::array<uint8_t, 6>> restartMac;
    // Keep every request for Received(); a long-running program turns it off.
    bool keepRequests = true;
};

// A request the device took in (addressed to it or not).
struct ReceivedRequest {
    std::vector<uint8_t> frame; // 832 bytes
    std::string vendor;
    std::string from; // "address:port"
};

// The records a device sends for one request frame, each after its delay.
struct PlannedReply {
    int delayMs = 0;
    std::vector<uint8_t> record;
};

// Pure device behaviour: what this configuration answers to one request frame.
std::vector<PlannedReply> PlanReplies(const DeviceConfig& config, std::span<const uint8_t> frame,
                                      std::string* note = nullptr);
std::vector<uint8_t> BuildDiscoveryAnswer(const DeviceConfig& config, uint8_t protocol);
std::vector<uint8_t> BuildPasswordAnswer(const DeviceConfig& config, uint8_t protocol, uint16_t result,
                                         uint16_t status);
// "00:1b:7a:00:00:02" (also with '-'); nullopt when malformed.
std::optional<std::array<uint8_t, 6>> ParseMac(const std::string& text);

class DeviceResponder {
public:
    using LogSink = std::function<void(const std::string& line)>;

    // log receives one line per event; the default writes to standard error.
    explicit DeviceResponder(DeviceConfig config, LogSink log = {});
    ~DeviceResponder();
    DeviceResponder(const DeviceResponder&) = delete;
    DeviceResponder& operator=(const DeviceResponder&) = delete;

    // Binds (throws std::runtime_error when it cannot) and starts answering on a thread.
    void Start();
    void Stop();

    // Plays a restart after a firmware write: after delay (the device writes its flash and
    // still answers), no request is answered for silence; then it answers again (with
    // restartMac, when configured).
    void Restart(std::chrono::milliseconds silence, std::chrono::milliseconds delay = {});

    std::vector<ReceivedRequest> Received() const;
    // Password requests (65 or 68) addressed to this device's MAC.
    std::vector<ReceivedRequest> PasswordRequests() const;
    const DeviceConfig& Config() const { return config_; }

private:
    struct Impl;
    void Run();
    void Log(const std::string& line) const;

    const DeviceConfig config_;
    const DeviceConfig restarted_; // what answers once a restart is over
    LogSink log_;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex mutex_;
    std::vector<ReceivedRequest> received_;
    std::atomic<int64_t> silentFromNs_{0}; // steady clock
    std::atomic<int64_t> silentUntilNs_{0};
    std::thread thread_;
};

} // namespace sim
