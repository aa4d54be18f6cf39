// A front end's session with the device messaging library: opened once, its notifications
// posted as window messages WM_NDXL_NOTIFY.
#pragma once

#include "devmsg/ndxl.h"

#include <cstdint>

constexpr uint32_t WM_NDXL_NOTIFY = 1725;

namespace devmsg {

// NDXL_Init("Dorvik", window, WM_NDXL_NOTIFY, 2): 0 = opened.
int32_t OpenDeviceLibrary(const NDXL_Window& window);
// NDXL_Terminate(), also after a failed open.
void CloseDeviceLibrary();

} // namespace devmsg
