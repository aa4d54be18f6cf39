#include "cli/ReportCommand.h"

#include "cli/HtmlReport.h"
#include "cli/Report.h"
#include "rtl/SafeText.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace fleet {

namespace {

// A report of 100 000 devices is some 50 MB; a larger "report" (/dev/zero) is none.
constexpr std::streamsize MaxReportBytes = 256 * 1024 * 1024;

std::string ReadReport(const std::string& path)
{
    std::ifstream file;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    std::istream& in = path == "-" ? std::cin : file;
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (static_cast<std::streamsize>(text.size()) > MaxReportBytes)
            throw std::runtime_error(path + ": larger than a report can be");
    }
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return text;
}

} // namespace

CLI::App* AddReportCommand(CLI::App& app, ReportArgs& args)
{
    auto* report = app.add_subcommand("report", "Turn a JSON report of upgrade into a page to hand on");
    report->add_option("REPORT", args.jsonPath, "The JSON report (- for standard input)")->required();
    report
        ->add_option("--html", args.htmlPath,
                     "Write one self-contained HTML page (summary, devices, timeline) to FILE (- for standard "
                     "output)")
        ->required()
        ->type_name("FILE|-");
    return report;
}

int RunReportCommand(const ReportArgs& args)
{
    // The page would replace the only copy of the run's report.
    if (args.htmlPath != "-" && args.jsonPath != "-" &&
        (args.htmlPath == args.jsonPath || SameFile(args.htmlPath, args.jsonPath))) {
        std::fprintf(stderr, "ftpupg-cli: --html names the report itself; the page is not written\n");
        return 2;
    }
    std::string page;
    try {
        const auto report = nlohmann::json::parse(ReadReport(args.jsonPath), nullptr, false);
        if (report.is_discarded()) throw std::runtime_error(args.jsonPath + ": not JSON");
        try {
            page = HtmlReport(report);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(args.jsonPath + ": " + e.what());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", rtl::SafeText(e.what()).c_str());
        return 1;
    }
    try {
        if (args.htmlPath == "-") {
            std::fwrite(page.data(), 1, page.size(), stdout);
            if (std::fflush(stdout) != 0) throw std::runtime_error(std::string("- : ") + std::strerror(errno));
        } else {
            ReportFile(args.htmlPath).Commit(page);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: --html: %s; the page is not written\n", rtl::SafeText(e.what()).c_str());
        return 1;
    }
    return 0;
}

} // namespace fleet
