#include "cli/Trace.h"

#include "devmsg/ndxl.h"
#include "devmsg/wire/DeviceFrames.h"
#include "devmsg/wire/NdxlWire.h"
#include "rtl/FtpupgVersion.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <stdexcept>

namespace fleet {

namespace {

ProcessTrace* g_current = nullptr;

// A trace goes to whoever helps: a password request's password is masked, a star for each
// byte that is set.
void Seen(void* context, const NDXL_Datagram* d)
{
    namespace wire = devmsg::wire;
    namespace frames = devmsg::frames;
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(d->bytes), d->size);
    std::array<uint8_t, wire::RequestDatagramSize> masked;
    constexpr size_t frameAt = wire::HeaderSize + wire::VendorSize;
    if (const auto request = wire::UnwrapRequest(bytes);
        request && request->frame[frames::ReqOperation] == frames::OpPassword) {
        std::copy(bytes.begin(), bytes.end(), masked.begin());
        for (size_t i = 0; i < frames::PasswordSize; ++i)
            if (uint8_t& b = masked[frameAt + frames::ReqPassword + i]; b != 0) b = '*';
        bytes = masked;
    }
    static_cast<posix::PacketTrace*>(context)->Record(
        {d->sent != 0, {d->localAddress, d->localPort}, {d->peerAddress, d->peerPort}, bytes});
}

} // namespace

std::string DiscoveryTraceFile(const std::string& dir)
{
    return dir + "/discovery.pcapng";
}

std::string DeviceTraceFile(const std::string& dir, const std::string& ip)
{
    return dir + "/" + ip + ".pcapng";
}

void PrepareTraceDir(const std::string& dir)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error || !std::filesystem::is_directory(dir))
        throw std::runtime_error("--trace: cannot make the folder " + dir +
                                 (error ? ": " + error.message() : ": not a folder"));
}

ProcessTrace::ProcessTrace(const std::string& path) : trace_(path, rtl::VersionText("ftpupg-cli"))
{
    NDXL_SetObserver(&Seen, &trace_);
    g_current = this;
}

ProcessTrace::~ProcessTrace()
{
    NDXL_SetObserver(nullptr, nullptr);
    g_current = nullptr;
}

ProcessTrace* ProcessTrace::Current()
{
    return g_current;
}

} // namespace fleet
