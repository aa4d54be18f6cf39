#include "DeviceExchange.h"

#include "DeviceFrames.h"

#include <span>

int32_t DeviceFound = 0;
int32_t PasswordAccepted = 0;
unsigned char ReplyBuffer[800] = {};

static_assert(sizeof ReplyBuffer == DeviceFrames::ReplySize);

namespace {

std::span<const uint8_t> Record(const unsigned char* reply)
{
    return {reply, DeviceFrames::ReplySize};
}

} // namespace

int32_t OpenDeviceLibrary(const NDXL_Window& window)
{
    return NDXL_Init("Dorvik", &window, WM_NDXL_NOTIFY, 2);
}

void CloseDeviceLibrary()
{
    NDXL_Terminate();
}

void DeviceExchange::SearchDevice()
{
    const auto frame = DeviceFrames::BuildDiscoveryRequest();
    NDXL_SendData(frame.data());
}

void DeviceExchange::OnWM_NDXL_Notify(uintptr_t wParam)
{
    if (wParam != 1) return;
    const int32_t fetched = NDXL_GetData(ReplyBuffer);
    // Written before the result is looked at: a failed fetch shows what the buffer still holds.
    DebugPrint("[NDXL]Response prot=%x op=%x\n", ReplyBuffer[DeviceFrames::RepProtocol],
               ReplyBuffer[DeviceFrames::RepOperation]);
    if (fetched != 0) return;
    switch (ReplyBuffer[DeviceFrames::RepProtocol]) {
    case DeviceFrames::ApdpDiscovery: OnAPDPResponse(ReplyBuffer); break;
    case DeviceFrames::ApdpDiscoveryV4: OnAPDPResponsev4(ReplyBuffer); break;
    case DeviceFrames::WdcpPassword:
    case DeviceFrames::WdcpPasswordV4: OnWDCPResponse(ReplyBuffer); break;
    case DeviceFrames::Prot33:
    case DeviceFrames::Prot96: break;
    default: DebugPrint("[NDXL]Unknown Protocol\n"); break;
    }
}

void DeviceExchange::OnAPDPResponse(const unsigned char* reply)
{
    OnDiscoveryAnswer(reply, DeviceFrames::WdcpPassword);
}

void DeviceExchange::OnAPDPResponsev4(const unsigned char* reply)
{
    OnDiscoveryAnswer(reply, DeviceFrames::WdcpPasswordV4);
}

void DeviceExchange::OnDiscoveryAnswer(const unsigned char* reply, uint8_t passwordProtocol)
{
    const auto record = Record(reply);
    const std::string ip = DeviceFrames::ReplyIpText(record);
    DebugPrint("[APDP]Found device IP=%s name=\"%s\"", EscapeControls(ip).c_str(),
               EscapeControls(DeviceFrames::ReplyName(record)).c_str());
    if (host_.IpText() != ip) return;
    DeviceFound = 1;
    const auto frame = DeviceFrames::BuildPasswordRequest(record, host_.PasswordText(), passwordProtocol);
    NDXL_SendData(frame.data());
}

void DeviceExchange::OnWDCPResponse(const unsigned char* reply)
{
    // Read everything first: the box's message loop may fetch further replies into the buffer.
    const auto record = Record(reply);
    const unsigned result = DeviceFrames::ReplyResult(record);
    const unsigned status = DeviceFrames::ReplyStatus(record);
    if (result == 0) {
        PasswordAccepted = 1;
        return;
    }
    DebugPrint("[WDCP]Resule %8X, %4X \n", result, status);
    host_.ShowMessage("Invalid Password !");
}
