#include "app/IniFile.h"

#include "rtl/IntConv.h"
#include "rtl/TextCodec.h"
#include "app/TextFile.h"

#include <algorithm>
#include <utility>

namespace {

// The service counts CR and the old end-of-file mark ^Z as blanks (DOS-era files).
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

} // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName))
{
    std::optional<app::TextFileContent> content = app::ReadTextFile(fileName_);
    if (!content) return;
    truncated_ = content->truncated;
    utf8_ = rtl::IsValidUtf8(content->bytes);
    Parse(content->bytes);
}

void TIniFile::Parse(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

    // Lines before the first header belong to a nameless section that no lookup finds.
    sections_.push_back(Section{});
    // CR, LF and CR LF all end a line; the empty lines this makes between CR and LF are
    // skipped like any other empty line.
    while (!text.empty()) {
        const std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
        const std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));

        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                sections_.push_back(Section{std::string(Trim(line.substr(1, close - 1))), {}});
                continue;
            }
            // An unclosed header is read as an ordinary line.
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue; // a name without '=' is no key
        sections_.back().entries.push_back(
            Entry{std::string(Trim(line.substr(0, equals))), std::string(Trim(line.substr(equals + 1)))});
    }
}

const TIniFile::Entry* TIniFile::Find(std::string_view section, std::string_view key) const
{
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty()) return nullptr;
    for (const Section& s : sections_) {
        if (s.name.empty() || !SameName(s.name, section)) continue;
        // Only the first section of that name is searched, as the service does.
        for (const Entry& e : s.entries) {
            if (SameName(e.name, key)) return &e;
        }
        return nullptr;
    }
    return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    std::string_view result;
    if (const Entry* entry = Find(section, key)) {
        result = entry->value;
        // The service hands back zero-terminated text.
        result = result.substr(0, result.find('\0'));
        if (result.size() >= 2 && (result.front() == '"' || result.front() == '\'') &&
            result.back() == result.front())
            result = result.substr(1, result.size() - 2);
    } else {
        // The service drops trailing blanks of the default but keeps its first character.
        result = defaultValue;
        result = result.substr(0, result.find('\0'));
        while (result.size() > 1 && result.back() == ' ')
            result.remove_suffix(1);
    }
    return std::string(result.substr(0, MaxValueLength));
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t defaultValue) const
{
    return rtl::IniStrToIntDef(ReadString(section, key, std::string()), defaultValue);
}
