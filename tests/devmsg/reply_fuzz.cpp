// libFuzzer target for the reply path: the input is what NDXL_GetData hands back, fed through
// the window's notification handler. The library is replaced by the stubs below, which the
// program's own definitions make win over the shared library's.
#include "app/DeviceHandlers.h"

#include <cstring>
#include <span>

namespace {

std::span<const uint8_t> g_input;

class FuzzHost : public DeviceHandlers {
public:
    std::string IpText() override { return ip; }
    std::string PasswordText() override { return "0123456789abcdef"; }
    void ShowMessage(const std::string&) override {}
    std::string ip;
};

} // namespace

extern "C" int32_t NDXL_Init(const char*, const NDXL_Window*, uint32_t, int32_t)
{
    return 0;
}
extern "C" int32_t NDXL_Terminate(void)
{
    return 0;
}

extern "C" int32_t NDXL_SendData(const void* frame)
{
    // The whole frame must be readable.
    volatile uint8_t sum = 0;
    for (size_t i = 0; i < 832; ++i)
        sum = static_cast<uint8_t>(sum + static_cast<const uint8_t*>(frame)[i]);
    return 0;
}

extern "C" int32_t NDXL_GetData(void* buffer)
{
    if (g_input.empty()) return 1;
    const size_t n = g_input.size() - 1 < 800 ? g_input.size() - 1 : 800;
    std::memcpy(buffer, g_input.data() + 1, n);
    std::memset(static_cast<uint8_t*>(buffer) + n, 0, 800 - n);
    return g_input[0] == 0xff ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_input = std::span<const uint8_t>(data, size);
    FuzzHost host;
    // Match the record's own IP text half of the time, so the password path runs too.
    if (size > 1 && (data[0] & 1)) {
        const size_t n = strnlen(reinterpret_cast<const char*>(data + 1), std::min<size_t>(16, size - 1));
        host.ip.assign(reinterpret_cast<const char*>(data + 1), n);
    }
    host.OnWM_NDXL_Notify(1);
    return 0;
}
