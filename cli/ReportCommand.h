// ftpupg-cli report: turns a JSON report into a page to hand on.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace fleet {

struct ReportArgs {
    std::string jsonPath; // "-": standard input
    std::string htmlPath; // "-": standard output
};

// Adds the command and its options to app; they read into args.
CLI::App* AddReportCommand(CLI::App& app, ReportArgs& args);

// Reads the report and writes its HTML page, whole or not at all. Returns the exit status;
// says why on standard error.
int RunReportCommand(const ReportArgs& args);

} // namespace fleet
