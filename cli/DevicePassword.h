// A device password as it goes on the wire.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fleet {

// A password as the window sends it: in Windows-1252. Text that is valid UTF-8 is converted;
// other bytes are taken to be Windows-1252 already. whose names it in messages ("the
// password of 127.0.0.10"); the warnings count the bytes that go to the device.
struct DevicePassword {
    std::optional<std::string> encoded; // nothing: error says why (empty, a NUL byte)
    std::string error;
    std::vector<std::string> warnings;
};
DevicePassword EncodePassword(const std::string& text, const std::string& whose);

} // namespace fleet
