#include "net/IdStack.h"

#include "net/IdException.h"
#include "net/IdStackWinsock.h"
#include "rtl/IntConv.h"

#include <strings.h>

namespace {

// A transfer sends every datagram to the same address text: remembering the last text that
// passed spares reading it again per block. Both tests are pure functions of the text, so
// nothing observable changes; names are still looked up on every call. Per thread, so that
// uploads on several threads share nothing.
struct AddressMemo {
    const TIdStack* stack = nullptr;
    std::string dottedQuad;
    std::string parsedText;
    TIdInAddr parsed{};
};
thread_local AddressMemo t_memo;

} // namespace

std::string TakeToken(std::string& input, const std::string& delimiter, bool remove)
{
    const size_t at = input.find(delimiter);
    if (at == std::string::npos) {
        std::string all = input;
        if (remove) input.clear();
        return all;
    }
    std::string token = input.substr(0, at);
    if (remove) input.erase(0, at + delimiter.size());
    return token;
}

TIdStack::TIdStack() = default;
TIdStack::~TIdStack() = default;

TIdStack* TIdStack::MakeStack()
{
    return new TIdStackWinsock();
}

bool TIdStack::CheckResult(int result, std::initializer_list<int32_t> tolerated)
{
    if (result != Id_SOCKET_ERROR) return false;
    const int32_t code = LastErrorCode();
    for (int32_t t : tolerated)
        if (t == code) return true;
    ThrowError(code);
}

void TIdStack::ThrowError(int32_t code)
{
    std::string text = ErrorMessage(code);
    throw EIdSocketError(code, std::move(text));
}

TIdStackSocketHandle TIdStack::NewSocket(int type, int protocol)
{
    const TIdStackSocketHandle socket = CreateDescriptor(Id_PF_INET, type, protocol);
    if (socket == Id_INVALID_SOCKET) throw EIdInvalidSocket("Cannot allocate socket.");
    return socket;
}

std::string TIdStack::HostToIP(const std::string& host)
{
    // The memo first: it holds only dotted quads, never "LOCALHOST".
    if (!host.empty() && host == t_memo.dottedQuad) return host;
    if (host.size() == 9 && ::strcasecmp(host.c_str(), "LOCALHOST") == 0) return "127.0.0.1";
    if (IsDottedQuad(host)) {
        t_memo.dottedQuad = host;
        return host;
    }
    return LookupHostIP(host);
}

bool TIdStack::IsDottedQuad(const std::string& text)
{
    // Three takes up to the next dot; the fourth part is whatever remains, so a further
    // dot makes it no number.
    std::string_view rest = text;
    for (int i = 0; i < 4; ++i) {
        std::string_view part = rest;
        if (i < 3) {
            const size_t dot = rest.find('.');
            part = rest.substr(0, dot);
            rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
        }
        const auto value = rtl::TryStrToInt(part);
        if (!value || *value < 0 || *value > 255) return false;
    }
    return true;
}

TIdInAddr TIdStack::ParseAddress(const std::string& text)
{
    // ParseAddressInto may be overridden: a memo is good for its own stack only.
    if (t_memo.stack == this && !text.empty() && text == t_memo.parsedText) return t_memo.parsed;
    TIdInAddr address{};
    ParseAddressInto(text, address);
    t_memo.stack = this;
    t_memo.parsedText = text;
    t_memo.parsed = address;
    return address;
}
