#include "Console.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace {

std::string Rate(const DeviceReport& d)
{
    return d.transferSeconds > 0 && d.bytes > 0
               ? fleet::FormatRate(static_cast<double>(d.bytes) / d.transferSeconds)
               : "-";
}

// How lines name a device: its address, and its label when the address list gave one.
std::string Who(const DeviceReport& d)
{
    return d.label.empty() ? d.ip : d.ip + " (" + d.label + ")";
}

std::string Outcome(const DeviceReport& d)
{
    std::string text(fleet::ResultName(d.result));
    if (d.result == fleet::Result::Done && d.bytes > 0)
        text += ": " + fleet::FormatBytes(d.bytes) + " in " + fleet::FormatSeconds(d.transferSeconds) + " (" +
                Rate(d) + ")";
    if (!d.message.empty()) text += (d.result == fleet::Result::Done ? "; " : ": ") + d.message;
    if (d.waitedBack)
        text += d.backSeconds ? "; back after " + fleet::FormatSeconds(*d.backSeconds) : "; did not come back";
    if (d.attempts > 1) text += " (" + std::to_string(d.attempts) + " attempts)";
    return text;
}

} // namespace

LogFile::LogFile(const std::string& path, const std::string& firstLine)
{
    file_ = std::fopen(path.c_str(), "ae");
    if (file_ == nullptr) throw std::runtime_error("log " + path + ": " + std::strerror(errno));
    Line(firstLine);
    if (!failure_.empty()) throw std::runtime_error("log " + path + ": " + failure_);
}

LogFile::~LogFile()
{
    if (file_ != nullptr) std::fclose(file_);
}

void LogFile::Line(const std::string& text)
{
    if (file_ == nullptr) return;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    errno = 0;
    const bool written =
        std::fprintf(file_, "%s.%03dZ %s\n", stamp, static_cast<int>(ms), fleet::SafeText(text).c_str()) >= 0 &&
        std::fflush(file_) == 0;
    if (!written && failure_.empty()) failure_ = errno != 0 ? std::strerror(errno) : "write error";
}

ConsoleView::ConsoleView(FILE* out, bool live, size_t width, size_t height, uint64_t imageSize, LogFile& log)
    : out_(out), live_(live), width_(std::max<size_t>(width, 20)), height_(std::max<size_t>(height, 3)),
      imageSize_(imageSize), log_(log)
{}

void ConsoleView::Plain(const std::string& ip, const std::string& text)
{
    const std::string line = fleet::SafeText(ip.empty() ? text : ip + ": " + text);
    log_.Line(line);
    if (live_) {
        Clear();
        std::fprintf(out_, "%s\n", line.c_str());
        Draw();
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}

void ConsoleView::Say(const std::string& text)
{
    Plain("", text);
}

void ConsoleView::Attempt(const DeviceReport& device)
{
    active_[device.ip] = Active{0, 0, "searching"};
    lastQuarter_[device.ip] = 0;
    const std::string text = device.attempts > 1 ? "attempt " + std::to_string(device.attempts) : "started";
    if (live_)
        log_.Line(Who(device) + ": " + text); // the live line shows it
    else
        Plain(Who(device), text);
}

void ConsoleView::Note(const DeviceReport& device, const std::string& text)
{
    if (auto it = active_.find(device.ip); it != active_.end()) it->second.stage = text;
    if (live_) {
        // On a terminal only the live line changes; the log keeps every note.
        log_.Line(Who(device) + ": " + text);
        return;
    }
    Plain(Who(device), text);
}

void ConsoleView::Progress(const DeviceReport& device, uint64_t sent, double transferSeconds)
{
    auto& active = active_[device.ip];
    active.sent = sent;
    active.seconds = transferSeconds;
    active.stage.clear();
    if (live_) return; // drawn by Tick
    // Without a terminal: a line at each quarter, not at every block.
    const int quarter = imageSize_ > 0 ? static_cast<int>(sent * 4 / imageSize_) : 4;
    if (quarter > lastQuarter_[device.ip] && quarter < 4) {
        lastQuarter_[device.ip] = quarter;
        Plain(Who(device), fleet::ProgressLine("", sent, imageSize_, transferSeconds, 200));
    }
}

void ConsoleView::Finished(const DeviceReport& device)
{
    active_.erase(device.ip);
    Plain(Who(device), Outcome(device));
}

void ConsoleView::Tick()
{
    if (!live_) return;
    Clear();
    Draw();
    std::fflush(out_);
}

void ConsoleView::Close()
{
    if (live_) Clear();
    std::fflush(out_);
}

void ConsoleView::Clear()
{
    // Up to the first live line, then clear to the end of the screen.
    if (drawn_ > 0)
        std::fprintf(out_, "\r\x1b[%zuA\x1b[J", drawn_);
    else
        std::fprintf(out_, "\r\x1b[J");
    drawn_ = 0;
}

void ConsoleView::Draw()
{
    // Never more lines than fit: the screen must not scroll while it is redrawn.
    const size_t room = height_ - 1;
    size_t shown = 0;
    for (const auto& [ip, a] : active_) {
        if (shown + 1 == room && active_.size() > room) {
            std::fprintf(out_, "... and %zu more\n", active_.size() - shown);
            ++shown;
            break;
        }
        std::string line = a.stage.empty() ? fleet::ProgressLine(ip, a.sent, imageSize_, a.seconds, width_ - 1)
                                           : ip + ": " + a.stage;
        if (line.size() > width_ - 1) line.resize(width_ - 1);
        std::fprintf(out_, "%s\n", line.c_str());
        ++shown;
    }
    drawn_ = shown;
}

std::string SummaryTable(const std::vector<DeviceReport>& devices, bool waitBack)
{
    const bool labels =
        std::any_of(devices.begin(), devices.end(), [](const auto& d) { return !d.label.empty(); });
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"DEVICE"});
    if (labels) rows.back().push_back("LABEL");
    for (const char* title : {"RESULT", "ATTEMPTS", "BYTES", "TIME", "RATE"})
        rows.back().push_back(title);
    if (waitBack) rows.back().push_back("BACK AFTER");
    rows.back().push_back("MESSAGE");
    for (const auto& d : devices) {
        rows.push_back({d.ip});
        if (labels) rows.back().push_back(d.label.empty() ? "-" : d.label);
        for (auto cell : {std::string(fleet::ResultName(d.result)), std::to_string(d.attempts),
                          std::to_string(d.bytes), fleet::FormatSeconds(d.seconds), Rate(d)})
            rows.back().push_back(std::move(cell));
        if (waitBack)
            rows.back().push_back(!d.waitedBack   ? "-"
                                  : d.backSeconds ? fleet::FormatSeconds(*d.backSeconds)
                                                  : "did not come back");
        rows.back().push_back(d.message);
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        table += line + "\n";
    }
    return table;
}

std::string CountLine(const std::vector<DeviceReport>& devices)
{
    std::string line;
    for (int r = 0; r <= static_cast<int>(fleet::LastResult); ++r) {
        const auto result = static_cast<fleet::Result>(r);
        const auto n =
            std::count_if(devices.begin(), devices.end(), [&](const auto& d) { return d.result == result; });
        if (n == 0) continue;
        line += (line.empty() ? "" : ", ") + std::to_string(n) + " " + std::string(fleet::ResultName(result));
    }
    return line.empty() ? "no devices" : line;
}
