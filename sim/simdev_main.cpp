// ftpupg-simdev: a simulated device for tests and demos. Run it inside a private network
// namespace (scripts/netns-run); it binds loopback addresses only.
#include "sim/DeviceResponder.h"
#include "posix/ProgramSupport.h"
#include "posix/SignalSource.h"
#include "sim/TftpServer.h"

#include <arpa/inet.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct SimOptions {
    DeviceConfig device;
    bool help = false;
    // The firmware slot: a TFTP write server on the device's address when a file is given.
    std::string tftpSlot;
    uint16_t tftpPort = 69;
    // A fleet: count devices on consecutive addresses and hardware addresses.
    unsigned count = 1;
    std::string tftpSlotDir;      // each device's firmware slot is DIR/ADDRESS.bin
    int restartMs = 0;            // silence after a completed firmware write
    simtftp::SimTftpOptions tftp; // faults and the ACK delay of every device's TFTP server
};

const char* const Usage = R"(usage: ftpupg-simdev [options]
Plays one device (or --count of them) answering discovery and password requests until
SIGINT or SIGTERM.
Several instances (distinct --bind addresses) can run side by side.
  --bind ADDR             address the answers come from (default 127.0.0.2)
  --listen ADDR           where broadcast requests arrive (default 127.255.255.255)
  --port N                device port (default 17250)
  --ip-text TEXT          IP text reported in answers (default: the --bind address)
  --mac XX:XX:XX:XX:XX:XX hardware address (default 00:1b:7a:00:00:02)
  --name TEXT             device name (default KR730)
  --echo N                echo word of protocol-20 answers (default 0x5a17c3e1)
  --password TEXT         accepted password, first 12 bytes count (default 1234)
  --protocols LIST        discovery answers to send, e.g. 17 | 20 | 17,20 | 17,33,96,99 (default 17)
  --discovery-delay MS    answer discovery late
  --password-delay MS     answer password requests late
  --no-discovery-answer   never answer discovery
  --no-password-answer    never answer password requests
  --refuse RESULT[,VALUE] result and second value of a refusal (default 1,0)
  --reply-length N        cut or zero-pad every answer record to N bytes
  --name-unterminated     name runs to the end of the record with no zero byte
  --junk                  also send a datagram that is not a reply
  --tftp-slot FILE        also take firmware over TFTP on the --bind address and store
                          a write to "/" in FILE
  --tftp-port N           TFTP request port (default 69)
  --count N               play N devices on consecutive addresses from --bind, the
                          hardware address counting up with them (default 1)
  --tftp-slot-dir DIR     firmware slot of every device: DIR/ADDRESS.bin
  --ack-delay-ms MS       wait before every TFTP ACK of data (stands in for a network's
                          round trip; with a window, one wait per window)
  --tftp-max-windowsize N largest TFTP window granted (default 64; 0: lock-step only)
  --restart-ms MS         after a completed firmware write, answer no request for MS
                          (the device restarts), then answer again
  --tftp-error-after N    send a TFTP ERROR instead of the ACK of block N
  --tftp-error-text TEXT  its message (default "Simulated failure")
  --tftp-ignore-first N   leave the first N write requests unanswered
  --tftp-no-final-ack     store the image but never acknowledge the last block
  --tftp-refuse-image TEXT  refuse (TFTP ERROR "Image rejected") an image that starts
                          with TEXT, as a device refuses firmware not made for it
  --help                  this text
Every request received and what was done with it is logged to standard error.
)";

unsigned long Number(const std::string& option, const std::string& text, unsigned long max)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value > max || text[0] == '-')
        throw std::invalid_argument(option + ": not a number up to " + std::to_string(max) + ": " + text);
    return value;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

SimOptions ParseOptions(int argc, char** argv)
{
    SimOptions options;
    DeviceConfig& d = options.device;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(option + " needs a value");
            return argv[++i];
        };
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--bind") {
            d.bindAddress = value();
        } else if (option == "--listen") {
            d.listenAddress = value();
        } else if (option == "--port") {
            d.port = static_cast<uint16_t>(Number(option, value(), 65535));
        } else if (option == "--ip-text") {
            d.ipText = value();
        } else if (option == "--mac") {
            const std::string text = value();
            const auto mac = ParseMac(text);
            if (!mac) throw std::invalid_argument("--mac: not a hardware address: " + text);
            d.mac = *mac;
        } else if (option == "--name") {
            d.name = value();
        } else if (option == "--echo") {
            d.echoWord = static_cast<uint32_t>(Number(option, value(), 0xffffffffUL));
        } else if (option == "--password") {
            d.password = value();
        } else if (option == "--protocols") {
            d.answer17 = d.answer20 = false;
            d.extraProtocols.clear();
            for (const auto& part : Split(value(), ',')) {
                const auto protocol = static_cast<uint8_t>(Number(option, part, 255));
                if (protocol == 17)
                    d.answer17 = true;
                else if (protocol == 20)
                    d.answer20 = true;
                else
                    d.extraProtocols.push_back(protocol);
            }
        } else if (option == "--discovery-delay") {
            d.discoveryDelayMs = static_cast<int>(Number(option, value(), 600000));
        } else if (option == "--password-delay") {
            d.passwordDelayMs = static_cast<int>(Number(option, value(), 600000));
        } else if (option == "--no-discovery-answer") {
            d.answerDiscovery = false;
        } else if (option == "--no-password-answer") {
            d.answerPassword = false;
        } else if (option == "--refuse") {
            const auto parts = Split(value(), ',');
            if (parts.empty() || parts.size() > 2) throw std::invalid_argument("--refuse: RESULT[,VALUE]");
            d.refuseResult = static_cast<uint16_t>(Number(option, parts[0], 65535));
            d.refuseStatus = parts.size() == 2 ? static_cast<uint16_t>(Number(option, parts[1], 65535)) : 0;
        } else if (option == "--reply-length") {
            d.replyLength = Number(option, value(), 2000);
        } else if (option == "--name-unterminated") {
            d.nameUnterminated = true;
        } else if (option == "--junk") {
            d.junk = true;
        } else if (option == "--tftp-slot") {
            options.tftpSlot = value();
        } else if (option == "--tftp-port") {
            options.tftpPort = static_cast<uint16_t>(Number(option, value(), 65535));
        } else if (option == "--count") {
            options.count = static_cast<unsigned>(Number(option, value(), 1000));
            if (options.count == 0) throw std::invalid_argument("--count: at least 1");
        } else if (option == "--tftp-slot-dir") {
            options.tftpSlotDir = value();
        } else if (option == "--ack-delay-ms") {
            options.tftp.ackDelayMs = static_cast<int>(Number(option, value(), 60000));
        } else if (option == "--tftp-max-windowsize") {
            options.tftp.windowLimit = static_cast<uint16_t>(Number(option, value(), 65535));
        } else if (option == "--restart-ms") {
            options.restartMs = static_cast<int>(Number(option, value(), 3600000));
        } else if (option == "--tftp-error-after") {
            options.tftp.errorAfterBlocks = static_cast<int>(Number(option, value(), 1 << 30));
        } else if (option == "--tftp-error-text") {
            options.tftp.errorText = value();
        } else if (option == "--tftp-ignore-first") {
            options.tftp.ignoreRequests = static_cast<int>(Number(option, value(), 1 << 30));
        } else if (option == "--tftp-refuse-image") {
            options.tftp.refuseImagePrefix = value();
        } else if (option == "--tftp-no-final-ack") {
            options.tftp.noFinalAck = true;
        } else {
            throw std::invalid_argument("unknown option " + option);
        }
    }
    if (options.count > 1 && (options.device.ipText || !options.tftpSlot.empty()))
        throw std::invalid_argument("--ip-text and --tftp-slot name one device; with --count use --tftp-slot-dir");
    if (!options.tftpSlot.empty() && !options.tftpSlotDir.empty())
        throw std::invalid_argument("--tftp-slot and --tftp-slot-dir exclude each other");
    return options;
}

// Device i of a fleet: the i-th address after --bind, the i-th hardware address after --mac.
DeviceConfig NthDevice(const DeviceConfig& first, unsigned i)
{
    in_addr address{};
    if (inet_pton(AF_INET, first.bindAddress.c_str(), &address) != 1)
        throw std::invalid_argument("--bind: not an IPv4 address: " + first.bindAddress);
    address.s_addr = htonl(ntohl(address.s_addr) + i);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    DeviceConfig device = first;
    device.bindAddress = text;
    uint64_t mac = 0;
    for (const uint8_t byte : first.mac)
        mac = mac << 8 | byte;
    mac += i;
    for (size_t b = 0; b < device.mac.size(); ++b)
        device.mac[device.mac.size() - 1 - b] = static_cast<uint8_t>(mac >> (8 * b));
    return device;
}

// One simulated device: its responder and, when it has a firmware slot, its TFTP server.
struct SimDevice {
    std::unique_ptr<DeviceResponder> responder;
    std::unique_ptr<simtftp::SimTftpServer> tftp;
};

SimDevice StartDevice(const SimOptions& options, const DeviceConfig& config)
{
    SimDevice device;
    device.responder = std::make_unique<DeviceResponder>(config);
    device.responder->Start();
    const std::string slot =
        !options.tftpSlotDir.empty() ? options.tftpSlotDir + "/" + config.bindAddress + ".bin" : options.tftpSlot;
    if (slot.empty()) return device;
    simtftp::SimTftpOptions tftpOptions = options.tftp;
    tftpOptions.address = config.bindAddress;
    tftpOptions.port = options.tftpPort;
    tftpOptions.slotFile = slot;
    if (options.restartMs > 0) {
        DeviceResponder* responder = device.responder.get();
        const auto silence = std::chrono::milliseconds(options.restartMs);
        tftpOptions.onStored = [responder, silence](const std::string&) { responder->Restart(silence); };
    }
    device.tftp = std::make_unique<simtftp::SimTftpServer>(tftpOptions);
    device.tftp->Start();
    return device;
}

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "ftpupg-simdev: " << e.what() << "\n" << Usage;
        return 2;
    }
    if (options.help) {
        std::cout << Usage;
        return 0;
    }
    posix::SignalSource stop({SIGINT, SIGTERM});
    try {
        std::vector<SimDevice> devices;
        for (unsigned i = 0; i < options.count; ++i)
            devices.push_back(StartDevice(options, NthDevice(options.device, i)));
        const int signal = stop.Wait();
        std::cerr << "ftpupg-simdev: " << strsignal(signal) << ", stopping\n";
    } catch (const std::exception& e) {
        std::cerr << "ftpupg-simdev: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
