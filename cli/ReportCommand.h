// ftpupg-cli report: turns a JSON report into a page to hand on.
#pragma once

#include <string>

namespace fleet {

// Reads the report at jsonPath ("-": standard input) and writes its HTML page to htmlPath
// ("-": standard output), whole or not at all. Returns the exit status; says why on
// standard error.
int RunReportCommand(const std::string& jsonPath, const std::string& htmlPath);

} // namespace fleet
