#include "cli/DevicePassword.h"

#include "devmsg/wire/DeviceFrames.h"
#include "rtl/TextCodec.h"

namespace fleet {

DevicePassword EncodePassword(const std::string& text, const std::string& whose)
{
    if (text.empty()) return {std::nullopt, whose + " is empty", {}};
    if (text.find('\0') != std::string::npos) return {std::nullopt, whose + " contains a NUL byte", {}};
    DevicePassword password;
    const bool utf8 = rtl::IsValidUtf8(text);
    password.encoded = utf8 ? rtl::Utf8ToCp1252(text) : text;
    if (utf8 && rtl::Cp1252ToUtf8(*password.encoded) != text)
        password.warnings.push_back(
            "warning: " + whose +
            " has characters Windows-1252 cannot hold; they are sent as '?', as the window sends them");
    if (password.encoded->size() > devmsg::frames::PasswordSize)
        password.warnings.push_back("warning: " + whose + " is " + std::to_string(password.encoded->size()) +
                                    " bytes long in Windows-1252; devices compare the first 12");
    return password;
}

} // namespace fleet
