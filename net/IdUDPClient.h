// Datagram endpoint with a default destination.
#pragma once

#include "net/IdUDPBase.h"

class TIdUDPClient : public TIdUDPBase {
public:
    // One datagram to Host:Port.
    void SendToHost(const std::string& bytes) { SendText(Host(), Port(), bytes); }
    void SendToHost(const void* buffer, int32_t count) { SendDatagram(Host(), Port(), buffer, count); }
};
