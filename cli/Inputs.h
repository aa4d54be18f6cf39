// What the operator hands over in files: address lists, earlier reports, password files
// ("-": standard input). Each is read with a limit, so a wrong name (a device, /dev/zero)
// ends in an error instead of an endless read.
#pragma once

#include <optional>
#include <string>

namespace fleet {

// The whole file: an address list or an earlier report. Throws std::runtime_error.
std::string ReadWhole(const std::string& path);

// The first line of a password file, without its line end. Only its start is read: a
// password file named by mistake (a device, a large file) must not be read whole. Throws
// std::runtime_error.
std::string ReadPasswordFile(const std::string& path);

// The password from the first of --password, --password-file, FTPUPG_PASSWORD; nothing,
// with error set, when none gives one.
std::optional<std::string> FindPassword(const std::optional<std::string>& password,
                                        const std::string& passwordFile, std::string& error);

// A list's password file path: relative paths are taken from the list's folder, so a list
// and its password files can move together.
std::string BesideList(const std::string& listPath, const std::string& path);

} // namespace fleet
