// ftpupg-simdev: a simulated device for tests and demos. Run it inside a private network
// namespace (scripts/netns-run); it binds loopback addresses only.
#include "sim/DeviceResponder.h"
#include "posix/SignalSource.h"
#include "sim/ProgramSupport.h"
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
#include <string>
#include <vector>

namespace {

struct SimOptions {
    sim::DeviceConfig device;
    // The firmware slot: a TFTP write server on the device's address when a file is given.
    std::string tftpSlot;
    uint16_t tftpPort = 69;
    // A fleet: count devices on consecutive addresses and hardware addresses.
    unsigned count = 1;
    std::string tftpSlotDir;  // each device's firmware slot is DIR/ADDRESS.bin
    int restartMs = 0;        // silence after a completed firmware write; 0: never restarts
    int restartDelayMs = 0;   // answering on after the image, before the restart
    sim::SimTftpOptions tftp; // faults and the ACK delay of every device's TFTP server
};

// Range checks of the numbers; the limits only keep a typo from meaning hours.
constexpr int MaxDelayMs = 600000;
constexpr int MaxCount = 1 << 30;

void AddDeviceOptions(CLI::App& app, sim::DeviceConfig& d)
{
    app.add_option("--bind", d.bindAddress, "address the answers come from (default 127.0.0.2)")
        ->type_name("ADDR");
    app.add_option("--listen", d.listenAddress, "where broadcast requests arrive (default 127.255.255.255)")
        ->type_name("ADDR");
    app.add_option("--port", d.port, "device port (default 17250)")->type_name("N");
    app.add_option_function<std::string>(
           "--ip-text", [&d](const std::string& text) { d.ipText = text; },
           "IP text reported in answers (default: the --bind address)")
        ->type_name("TEXT");
    app.add_option_function<std::string>(
           "--mac",
           [&d](const std::string& text) {
               const auto mac = sim::ParseMac(text);
               if (!mac) throw CLI::ValidationError("--mac", "not a hardware address: " + text);
               d.mac = *mac;
           },
           "hardware address (default 00:1b:7a:00:00:02)")
        ->type_name("XX:XX:XX:XX:XX:XX");
    app.add_option("--name", d.name, "device name (default KR730)")->type_name("TEXT");
    app.add_option("--echo", d.echoWord, "echo word of protocol-20 answers (default 0x5a17c3e1)")->type_name("N");
    app.add_option("--password", d.password, "accepted password, first 12 bytes count (default 1234)")
        ->type_name("TEXT");
    app.add_option_function<std::vector<unsigned>>(
           "--protocols",
           [&d](const std::vector<unsigned>& protocols) {
               d.answer17 = d.answer20 = false;
               d.extraProtocols.clear();
               for (const unsigned protocol : protocols) {
                   if (protocol == 17)
                       d.answer17 = true;
                   else if (protocol == 20)
                       d.answer20 = true;
                   else
                       d.extraProtocols.push_back(static_cast<std::uint8_t>(protocol));
               }
           },
           "discovery answers to send, e.g. 17 | 20 | 17,20 | 17,33,96,99 (default 17)")
        ->delimiter(',')
        ->check(CLI::Range(0, 255))
        ->type_name("LIST");
    app.add_option("--discovery-delay", d.discoveryDelayMs, "answer discovery late")
        ->check(CLI::Range(0, MaxDelayMs))
        ->type_name("MS");
    app.add_option("--password-delay", d.passwordDelayMs, "answer password requests late")
        ->check(CLI::Range(0, MaxDelayMs))
        ->type_name("MS");
    app.add_flag_callback(
        "--no-discovery-answer", [&d] { d.answerDiscovery = false; }, "never answer discovery");
    app.add_flag_callback(
        "--no-password-answer", [&d] { d.answerPassword = false; }, "never answer password requests");
    app.add_option_function<std::vector<std::uint16_t>>(
           "--refuse",
           [&d](const std::vector<std::uint16_t>& values) {
               if (values.size() > 2) throw CLI::ValidationError("--refuse", "RESULT[,VALUE]");
               d.refuseResult = values.at(0);
               d.refuseStatus = values.size() == 2 ? values[1] : 0;
           },
           "result and second value of a refusal (default 1,0)")
        ->delimiter(',')
        ->type_name("RESULT[,VALUE]");
    app.add_option_function<std::size_t>(
           "--reply-length", [&d](std::size_t length) { d.replyLength = length; },
           "cut or zero-pad every answer record to N bytes")
        ->check(CLI::Range(0, 2000))
        ->type_name("N");
    app.add_flag("--name-unterminated", d.nameUnterminated,
                 "name runs to the end of the record with no zero byte");
    app.add_flag("--junk", d.junk, "also send a datagram that is not a reply");
}

void AddFirmwareOptions(CLI::App& app, SimOptions& options)
{
    sim::SimTftpOptions& t = options.tftp;
    app.add_option("--tftp-slot", options.tftpSlot,
                   "also take firmware over TFTP on the --bind address and store a write to \"/\" in FILE")
        ->type_name("FILE");
    app.add_option("--tftp-port", options.tftpPort, "TFTP request port (default 69)")->type_name("N");
    app.add_option("--count", options.count,
                   "play N devices on consecutive addresses from --bind, the hardware address and the "
                   "--tftp-seed counting up with them (default 1)")
        ->check(CLI::Range(1, 1000))
        ->type_name("N");
    app.add_option("--tftp-slot-dir", options.tftpSlotDir, "firmware slot of every device: DIR/ADDRESS.bin")
        ->type_name("DIR");
    sim::AddServiceTimeOption(app, t, "--tftp-seed", app.option_defaults()->get_group());
    app.add_option("--tftp-max-windowsize", t.windowLimit,
                   "largest TFTP window granted (default 64; 0: lock-step only)")
        ->type_name("N");
    app.add_option("--restart-ms", options.restartMs,
                   "after a completed firmware write, answer no request for MS (the device restarts), then "
                   "answer again; without it the device never restarts")
        ->check(CLI::Range(0, 3600000))
        ->type_name("MS");
    app.add_option("--restart-delay-ms", options.restartDelayMs,
                   "keep answering for MS after the image before the restart (the device writes its flash)")
        ->check(CLI::Range(0, 3600000))
        ->type_name("MS");
    app.add_option_function<std::string>(
           "--restart-mac",
           [&options](const std::string& text) {
               const auto mac = sim::ParseMac(text);
               if (!mac) throw CLI::ValidationError("--restart-mac", "not a hardware address: " + text);
               options.device.restartMac = *mac;
           },
           "come back from the restart with this hardware address")
        ->type_name("XX:XX:XX:XX:XX:XX");
    app.add_option("--tftp-error-after", t.errorAfterBlocks, "send a TFTP ERROR instead of the ACK of block N")
        ->check(CLI::Range(0, MaxCount))
        ->type_name("N");
    app.add_option("--tftp-error-text", t.errorText, "its message (default \"Simulated failure\")")
        ->type_name("TEXT");
    app.add_option("--tftp-ignore-first", t.ignoreRequests, "leave the first N write requests unanswered")
        ->check(CLI::Range(0, MaxCount))
        ->type_name("N");
    app.add_flag("--tftp-no-final-ack", t.noFinalAck, "store the image but never acknowledge the last block");
    app.add_option("--tftp-refuse-image", t.refuseImagePrefix,
                   "refuse (TFTP ERROR \"Image rejected\") an image that starts with TEXT, as a device refuses "
                   "firmware not made for it")
        ->type_name("TEXT");
    sim::AddLinkFaultOptions(app, t, "tftp-", "Link faults of the TFTP side");
}

// The checks that span options, after the parse.
void CheckTogether(const SimOptions& options)
{
    if (options.count > 1 && (options.device.ipText || !options.tftpSlot.empty()))
        throw CLI::ValidationError("--ip-text and --tftp-slot name one device; with --count use --tftp-slot-dir");
    if (!options.tftpSlot.empty() && !options.tftpSlotDir.empty())
        throw CLI::ValidationError("--tftp-slot and --tftp-slot-dir exclude each other");
}

// Device i of a fleet: the i-th address after --bind, the i-th hardware address after --mac.
sim::DeviceConfig NthDevice(const sim::DeviceConfig& first, unsigned i)
{
    in_addr address{};
    if (inet_pton(AF_INET, first.bindAddress.c_str(), &address) != 1)
        throw std::invalid_argument("--bind: not an IPv4 address: " + first.bindAddress);
    address.s_addr = htonl(ntohl(address.s_addr) + i);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    sim::DeviceConfig device = first;
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
    std::unique_ptr<sim::DeviceResponder> responder;
    std::unique_ptr<sim::SimTftpServer> tftp;
};

// Device i of the fleet; its losses draw from a seed of its own, so that devices do not
// all lose the same datagrams.
SimDevice StartDevice(const SimOptions& options, unsigned i)
{
    const sim::DeviceConfig config = NthDevice(options.device, i);
    SimDevice device;
    device.responder = std::make_unique<sim::DeviceResponder>(config);
    device.responder->Start();
    const std::string slot =
        !options.tftpSlotDir.empty() ? options.tftpSlotDir + "/" + config.bindAddress + ".bin" : options.tftpSlot;
    if (slot.empty()) return device;
    sim::SimTftpOptions tftpOptions = options.tftp;
    tftpOptions.address = config.bindAddress;
    tftpOptions.port = options.tftpPort;
    tftpOptions.slotFile = slot;
    tftpOptions.seed = options.tftp.seed + i;
    if (options.restartMs > 0) {
        sim::DeviceResponder* responder = device.responder.get();
        const auto silence = std::chrono::milliseconds(options.restartMs);
        const auto delay = std::chrono::milliseconds(options.restartDelayMs);
        tftpOptions.onStored = [responder, silence, delay](const std::string&) {
            responder->Restart(silence, delay);
        };
    }
    device.tftp = std::make_unique<sim::SimTftpServer>(tftpOptions);
    device.tftp->Start();
    return device;
}

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    CLI::App app{
        "Plays one device (or --count of them) answering discovery and password requests until SIGINT "
        "or SIGTERM. Several instances (distinct --bind addresses) can run side by side.",
        "ftpupg-simdev"};
    app.footer("Every request received and what was done with it is logged to standard error.");
    AddDeviceOptions(app, options.device);
    AddFirmwareOptions(app, options);
    app.callback([&options] { CheckTogether(options); });
    if (const auto status = sim::ParseCommandLine(app, argc, argv)) return *status;

    // A device runs for as long as a test needs it and is asked many times: keep no requests.
    options.device.keepRequests = false;
    try {
        posix::SignalSource stop({SIGINT, SIGTERM});
        std::vector<SimDevice> devices;
        for (unsigned i = 0; i < options.count; ++i)
            devices.push_back(StartDevice(options, i));
        const int signal = stop.Wait();
        std::cerr << "ftpupg-simdev: " << strsignal(signal) << ", stopping\n";
    } catch (const std::exception& e) {
        std::cerr << "ftpupg-simdev: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
