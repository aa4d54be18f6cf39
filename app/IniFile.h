// Read-only access to a profile (.ini) file with the rules of the Windows profile-string
// service: "[section]" headers and "key=value" lines, names compared without regard to
// case, blanks around names and values dropped, one pair of matching quotes around a
// value removed, lines starting with ';' ignored, no comments after a value, the first of
// duplicate sections and of duplicate keys in it counts, values cut to 2047 characters.
// The file is read once, when the object is made; it is never written or created. Only a
// regular file is read, and only its first MaxTextFileBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TIniFile {
public:
    // The service returns its text in a 2048-byte buffer, terminating zero included.
    static constexpr std::size_t MaxValueLength = 2047;

    // A file that is missing, unreadable or not a regular file behaves as an empty one.
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }
    // The file was longer than what is read of it.
    bool Truncated() const { return truncated_; }
    // Its values are UTF-8; otherwise they are Windows-1252 (see TextCodec.h).
    bool IsUtf8() const { return utf8_; }

    // The value of the key, or the default (without its trailing blanks) when the
    // section or the key is not there.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;

    // The value read as text and converted by IniStrToIntDef; the default when the key
    // is missing or its text does not convert.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t defaultValue) const;

private:
    struct Entry {
        std::string name;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };

    void Parse(std::string_view text);
    const Entry* Find(std::string_view section, std::string_view key) const;

    std::string fileName_;
    std::vector<Section> sections_;
    bool truncated_ = false;
    bool utf8_ = true;
};
