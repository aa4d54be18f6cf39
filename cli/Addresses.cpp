#include "cli/Addresses.h"

#include "rtl/DottedIPv4.h"

#include <algorithm>

namespace fleet {

namespace {

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

bool IsDeviceAddress(std::string_view text)
{
    return rtl::IsDottedIPv4Host(text);
}

uint32_t AddressValue(std::string_view text)
{
    const auto parts = rtl::ParseDottedIPv4(text);
    if (!parts) return 0;
    return static_cast<uint32_t>((*parts)[0]) << 24 | static_cast<uint32_t>((*parts)[1]) << 16 |
           static_cast<uint32_t>((*parts)[2]) << 8 | static_cast<uint32_t>((*parts)[3]);
}

namespace {

// One line's fields, or the reason it is bad. Extra fields are never quoted back: a password
// written into the list by mistake must not reach the output.
std::string ParseTarget(std::string_view line, Target& target)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::vector<std::string_view> fields;
    while (true) {
        while (!line.empty() && blank(line.front()))
            line.remove_prefix(1);
        if (line.empty() || line.front() == '#') break;
        size_t end = 0;
        while (end < line.size() && !blank(line[end]))
            ++end;
        fields.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
    if (!IsDeviceAddress(fields[0])) return "not an IPv4 address: '" + std::string(fields[0]) + "'";
    target.ip = fields[0];
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string_view field = fields[i];
        if (field.front() == '@') {
            if (!target.passwordFile.empty()) return "more than one password file";
            if (field.size() == 1) return "'@' without a password file after it";
            if (field == "@-") return "a password file cannot be standard input";
            target.passwordFile = field.substr(1);
            continue;
        }
        if (!target.label.empty())
            return "a third field that is neither a label nor '@' and a password file (a label has no blanks)";
        if (field.size() > MaxLabelSize)
            return "the label is longer than " + std::to_string(MaxLabelSize) + " bytes";
        if (std::any_of(field.begin(), field.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return byte < 0x20 || byte == 0x7f;
            }))
            return "the label holds a control character";
        target.label = field;
    }
    return {};
}

} // namespace

AddressList ParseAddressList(std::string_view text, std::string_view sourceName)
{
    AddressList list;
    size_t lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        line = Trim(line);
        if (line.empty() || line.front() == '#') continue;
        const std::string where = std::string(sourceName) + ":" + std::to_string(lineNumber) + ": ";
        Target target;
        target.line = lineNumber;
        if (const auto error = ParseTarget(line, target); !error.empty()) {
            list.errors.push_back({lineNumber, where + error});
            continue;
        }
        const auto same = std::find_if(list.targets.begin(), list.targets.end(),
                                       [&](const Target& t) { return t.ip == target.ip; });
        if (same == list.targets.end()) {
            list.targets.push_back(std::move(target));
        } else if (same->label == target.label && same->passwordFile == target.passwordFile) {
            list.duplicates.push_back(target.ip);
        } else {
            list.errors.push_back({lineNumber, where + target.ip + " is listed on line " +
                                                   std::to_string(same->line) +
                                                   " too, with another label or password file"});
        }
    }
    return list;
}

} // namespace fleet
