// The window's handlers of the device library's replies: discovery of the device named in
// the window and the password check with it. Thin adapters over upgrade::DeviceCheck with
// the window's policy: they fetch, write the diagnostic lines, send what the check asks and
// keep the window's flags. Run on the user-interface thread only; the library's
// notifications reach them as OnWM_NDXL_Notify calls made by the window's event handling.
#pragma once

#include "devmsg/DebugPrint.h"
#include "upgrade/DeviceCheck.h"
#include "devmsg/DeviceExchange.h"

#include <cstdint>
#include <string>

// Set by the handlers, cleared and read by the upgrade sequence. 0 at start.
extern int32_t DeviceFound;
extern int32_t PasswordAccepted;
// The one reply record; each fetch overwrites it.
extern unsigned char ReplyBuffer[800];

class DeviceHandlers {
public:
    virtual ~DeviceHandlers() = default;

    // Broadcasts the discovery request. Reports nothing.
    void SearchDevice();
    // Handler of WM_NDXL_NOTIFY: fetches and dispatches one reply when wParam is 1.
    void OnWM_NDXL_Notify(uintptr_t wParam);
    // reply points to an 800-byte record (ReplyBuffer).
    void OnAPDPResponse(const unsigned char* reply);
    void OnAPDPResponsev4(const unsigned char* reply);
    void OnWDCPResponse(const unsigned char* reply);

protected:
    // What the handlers read from the window, in the device's code page, when an answer comes.
    virtual std::string IpText() = 0;                      // current text of leIP
    virtual std::string PasswordText() = 0;                // current text of lePW
    virtual void ShowMessage(const std::string& text) = 0; // modal box; may pump messages

private:
    void OnDiscoveryAnswer(const unsigned char* reply, uint8_t form);

    upgrade::DeviceCheck check_{upgrade::Policy::Window};
};
