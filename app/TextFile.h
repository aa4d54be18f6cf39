// Reading the small text files the window relies on (settings and notes) from the current
// directory. Only regular files count: a pipe would block start-up, a device could be
// endless. What is read is capped at a size no real settings or notes file reaches.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace app {

inline constexpr std::size_t MaxTextFileBytes = 256 * 1024;

struct TextFileContent {
    std::string bytes;
    // The file is longer than MaxTextFileBytes; bytes holds the whole lines within them.
    bool truncated = false;
};

// The file's bytes, at most MaxTextFileBytes of them, cut after the last line end within them
// when the file is longer; nothing when the file is missing, unreadable or not a regular file
// (pipe, device, directory).
std::optional<TextFileContent> ReadTextFile(const std::string& path);

// name in the process's current directory; the bare name when that directory cannot be
// named (it has been deleted, say), which then reads as a missing file.
std::string InCurrentDirectory(const std::string& name);

} // namespace app
