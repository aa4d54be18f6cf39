#include "cli/ReportCommand.h"

#include "cli/HtmlReport.h"
#include "cli/Report.h"
#include "rtl/SafeText.h"

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

int RunReportCommand(const std::string& jsonPath, const std::string& htmlPath)
{
    // The page would replace the only copy of the run's report.
    if (htmlPath != "-" && jsonPath != "-" && (htmlPath == jsonPath || SameFile(htmlPath, jsonPath))) {
        std::fprintf(stderr, "ftpupg-cli: --html names the report itself; the page is not written\n");
        return 2;
    }
    std::string page;
    try {
        const auto report = nlohmann::json::parse(ReadReport(jsonPath), nullptr, false);
        if (report.is_discarded()) throw std::runtime_error(jsonPath + ": not JSON");
        try {
            page = HtmlReport(report);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error(jsonPath + ": " + e.what());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", rtl::SafeText(e.what()).c_str());
        return 1;
    }
    try {
        if (htmlPath == "-") {
            std::fwrite(page.data(), 1, page.size(), stdout);
            if (std::fflush(stdout) != 0) throw std::runtime_error(std::string("- : ") + std::strerror(errno));
        } else {
            ReportFile(htmlPath).Commit(page);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: --html: %s; the page is not written\n", rtl::SafeText(e.what()).c_str());
        return 1;
    }
    return 0;
}

} // namespace fleet
