// The parts of the messaging library that need no socket: its settings from the
// environment, the choice of broadcast destinations and the bounded reply queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace devmsg {

inline constexpr size_t QueueCapacity = 256;

struct Settings {
    std::optional<uint32_t> broadcast; // host order; unset = every broadcast-capable interface
    uint16_t port = 0;                 // the devices' port
    uint16_t localPort = 0;            // our own; 0 = any free port
};

// Values of NDXL_BROADCAST, NDXL_PORT and NDXL_LOCAL_PORT (null or empty = not set).
// Invalid text gives nullopt and a reason in error.
std::optional<Settings> ParseSettings(const char* broadcast, const char* port, const char* localPort,
                                      std::string& error);
Settings SettingsFromEnvironment(std::string& error, bool& ok);

struct InterfaceEntry {
    unsigned flags = 0; // IFF_*
    bool ipv4 = false;
    std::optional<uint32_t> broadcast; // host order
};

// Up, IPv4, broadcast-capable interfaces' broadcast addresses, each once, in input order.
std::vector<uint32_t> BroadcastTargets(std::span<const InterfaceEntry> interfaces);
std::vector<InterfaceEntry> SystemInterfaces();

std::string AddressText(uint32_t hostOrder);

// Reply records waiting for NDXL_GetData. Filled by the receiver thread, drained by the caller's.
class ReplyQueue {
public:
    explicit ReplyQueue(size_t capacity = QueueCapacity) : capacity_(capacity) {}
    // Stores the record cut to RecordSize bytes; false when the queue is full (record dropped).
    bool Push(std::span<const uint8_t> record);
    // Writes RecordSize bytes (zero-filled past the stored length); false when empty.
    bool Pop(uint8_t* out);
    size_t Size() const;
    void Clear();

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<std::vector<uint8_t>> records_;
};

} // namespace devmsg
