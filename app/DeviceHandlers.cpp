#include "app/DeviceHandlers.h"

#include "devmsg/wire/DeviceFrames.h"
#include "rtl/SafeText.h"

#include <span>

int32_t DeviceFound = 0;
int32_t PasswordAccepted = 0;
unsigned char ReplyBuffer[800] = {};

static_assert(sizeof ReplyBuffer == devmsg::frames::ReplySize);

namespace {

std::span<const uint8_t> Record(const unsigned char* reply)
{
    return {reply, devmsg::frames::ReplySize};
}

} // namespace

void DeviceHandlers::SearchDevice()
{
    const auto frame = devmsg::frames::BuildDiscoveryRequest();
    NDXL_SendData(frame.data());
}

void DeviceHandlers::OnWM_NDXL_Notify(uintptr_t wParam)
{
    if (wParam != 1) return;
    const int32_t fetched = NDXL_GetData(ReplyBuffer);
    // Written before the result is looked at: a failed fetch shows what the buffer still holds.
    DebugPrint("[NDXL]Response prot=%x op=%x\n", ReplyBuffer[devmsg::frames::RepProtocol],
               ReplyBuffer[devmsg::frames::RepOperation]);
    if (fetched != 0) return;
    switch (ReplyBuffer[devmsg::frames::RepProtocol]) {
    case devmsg::frames::ApdpDiscovery: OnAPDPResponse(ReplyBuffer); break;
    case devmsg::frames::ApdpDiscoveryV4: OnAPDPResponsev4(ReplyBuffer); break;
    case devmsg::frames::WdcpPassword:
    case devmsg::frames::WdcpPasswordV4: OnWDCPResponse(ReplyBuffer); break;
    case devmsg::frames::Prot33:
    case devmsg::frames::Prot96: break;
    default: DebugPrint("[NDXL]Unknown Protocol\n"); break;
    }
}

void DeviceHandlers::OnAPDPResponse(const unsigned char* reply)
{
    OnDiscoveryAnswer(reply, devmsg::frames::ApdpDiscovery);
}

void DeviceHandlers::OnAPDPResponsev4(const unsigned char* reply)
{
    OnDiscoveryAnswer(reply, devmsg::frames::ApdpDiscoveryV4);
}

void DeviceHandlers::OnDiscoveryAnswer(const unsigned char* reply, uint8_t form)
{
    const auto record = Record(reply);
    DebugPrint("[APDP]Found device IP=%s name=\"%s\"",
               rtl::EscapeControls(devmsg::frames::ReplyIpText(record)).c_str(),
               rtl::EscapeControls(devmsg::frames::ReplyName(record)).c_str());
    const auto step = check_.OnDiscoveryAnswer(record, form, IpText(), PasswordText());
    if (step.found) DeviceFound = 1;
    for (const auto& frame : step.send)
        NDXL_SendData(frame.data());
}

void DeviceHandlers::OnWDCPResponse(const unsigned char* reply)
{
    // The check reads everything first: the box's message loop may fetch further replies into
    // the buffer.
    const auto step = check_.OnPasswordAnswer(Record(reply));
    if (step.accepted) {
        PasswordAccepted = 1;
        return;
    }
    DebugPrint("[WDCP]Resule %8X, %4X \n", step.result, step.status);
    ShowMessage(upgrade::text::InvalidPassword);
}
