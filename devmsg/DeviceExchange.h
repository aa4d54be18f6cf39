// Discovery of the device named in the window and the password check with it, over the
// device messaging library. Runs on the user-interface thread only; the library's
// notifications reach it as OnWM_NDXL_Notify calls made by the window's event handling.
#pragma once

#include "DebugPrint.h"
#include "ndxl.h"

#include <cstdint>
#include <string>

// Set by the exchange, cleared and read by the upgrade sequence. 0 at start.
extern int32_t DeviceFound;
extern int32_t PasswordAccepted;
// The one reply record; each fetch overwrites it.
extern unsigned char ReplyBuffer[800];

constexpr uint32_t WM_NDXL_NOTIFY = 1725;

// What the exchange needs from the main window.
class DeviceExchangeHost {
public:
    virtual ~DeviceExchangeHost() = default;
    virtual std::string IpText() = 0;                      // current text of leIP
    virtual std::string PasswordText() = 0;                // current text of lePW
    virtual void ShowMessage(const std::string& text) = 0; // modal box; may pump messages
};

// NDXL_Init("Dorvik", window, WM_NDXL_NOTIFY, 2): 0 = opened (FormCreate).
int32_t OpenDeviceLibrary(const NDXL_Window& window);
// NDXL_Terminate(), also after a failed open (FormDestroy).
void CloseDeviceLibrary();

class DeviceExchange {
public:
    explicit DeviceExchange(DeviceExchangeHost& host) : host_(host) {}

    // Broadcasts the discovery request. Reports nothing.
    void SearchDevice();
    // Handler of WM_NDXL_NOTIFY: fetches and dispatches one reply when wParam is 1.
    void OnWM_NDXL_Notify(uintptr_t wParam);
    // reply points to an 800-byte record (ReplyBuffer).
    void OnAPDPResponse(const unsigned char* reply);
    void OnAPDPResponsev4(const unsigned char* reply);
    void OnWDCPResponse(const unsigned char* reply);

private:
    void OnDiscoveryAnswer(const unsigned char* reply, uint8_t passwordProtocol);

    DeviceExchangeHost& host_;
};
