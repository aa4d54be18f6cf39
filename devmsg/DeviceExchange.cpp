#include "devmsg/DeviceExchange.h"

namespace devmsg {

int32_t OpenDeviceLibrary(const NDXL_Window& window)
{
    return NDXL_Init("Dorvik", &window, WM_NDXL_NOTIFY, 2);
}

void CloseDeviceLibrary()
{
    NDXL_Terminate();
}

} // namespace devmsg
