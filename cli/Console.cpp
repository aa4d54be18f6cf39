#include "cli/Console.h"

#include "cli/Units.h"
#include "posix/Fd.h"
#include "rtl/SafeText.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace fleet {

namespace {

uint64_t Bytes(const DeviceReport& d)
{
    return static_cast<uint64_t>(d.transfer.acknowledgedBytes);
}

std::string Rate(const DeviceReport& d)
{
    return d.transferSeconds > 0 && Bytes(d) > 0 ? FormatRate(static_cast<double>(Bytes(d)) / d.transferSeconds)
                                                 : "-";
}

// How lines name a device: its address, and its label when the address list gave one.
std::string Who(const DeviceReport& d)
{
    return d.label.empty() ? d.ip : d.ip + " (" + d.label + ")";
}

// What the wait for the restart saw.
std::string BackText(const DeviceReport& d)
{
    if (d.result == Result::AddressChanged) return "another device answered";
    if (d.backSeconds) return "back after " + FormatSeconds(*d.backSeconds);
    if (d.silentSeconds) return "restarted, did not come back";
    return "did not restart";
}

std::string Outcome(const DeviceReport& d)
{
    std::string text(ResultName(d.result));
    if (d.result == Result::Done && Bytes(d) > 0)
        text += ": " + FormatBytes(Bytes(d)) + " in " + FormatSeconds(d.transferSeconds) + " (" + Rate(d) + ")";
    if (!d.message.empty()) text += (d.result == Result::Done ? "; " : ": ") + d.message;
    // The other results of the wait say it in their message.
    if (d.waitedBack && (d.result == Result::Done || d.result == Result::Unconfirmed)) text += "; " + BackText(d);
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
        std::fprintf(file_, "%s.%03dZ %s\n", stamp, static_cast<int>(ms), rtl::SafeText(text).c_str()) >= 0 &&
        std::fflush(file_) == 0;
    if (!written && failure_.empty()) failure_ = errno != 0 ? std::strerror(errno) : "write error";
}

ConsoleView::ConsoleView(FILE* out, bool live, size_t width, size_t height, uint64_t imageSize, LogFile& log)
    : out_(out), live_(live), width_(std::max<size_t>(width, 20)), height_(std::max<size_t>(height, 3)),
      imageSize_(imageSize), log_(log)
{}

void ConsoleView::Flush()
{
    std::fflush(out_);
    posix::WriteAll(::fileno(out_), frame_.data(), frame_.size());
    frame_.clear();
}

void ConsoleView::Plain(const std::string& ip, const std::string& text)
{
    const std::string line = rtl::SafeText(ip.empty() ? text : ip + ": " + text);
    log_.Line(line);
    if (live_) Clear();
    frame_ += line + "\n";
    if (live_) Draw();
    Flush();
}

void ConsoleView::Say(const std::string& text)
{
    Plain("", text);
}

void ConsoleView::Expect(size_t devices)
{
    expected_ = devices;
    start_ = std::chrono::steady_clock::now();
}

void ConsoleView::Attempt(const DeviceReport& device)
{
    active_[device.ip] = Active{0, 0, "searching", Who(device)};
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
        Plain(Who(device), ProgressLine("", sent, imageSize_, transferSeconds, 200));
    }
}

void ConsoleView::Finished(const DeviceReport& device)
{
    active_.erase(device.ip);
    ++finished_;
    if (Succeeded(device.result, device.waitedBack, device.backSeconds.has_value())) ++succeeded_;
    Plain(Who(device), Outcome(device));
    // Without a terminal: the overall line at each quarter of a larger fleet.
    if (!live_ && expected_ >= 8 && finished_ * 4 / expected_ > overallShown_) {
        overallShown_ = finished_ * 4 / expected_;
        Plain("", Overall());
    }
}

std::string ConsoleView::Overall() const
{
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const size_t remaining = expected_ > finished_ ? expected_ - finished_ : 0;
    std::string text = "overall: " + std::to_string(succeeded_) + " done, " +
                       std::to_string(finished_ - succeeded_) + " failed, " + std::to_string(remaining) +
                       " remaining, " + FormatSeconds(elapsed) + " elapsed";
    if (remaining > 0 && finished_ > 0)
        text += ", about " +
                FormatSeconds(elapsed / static_cast<double>(finished_) * static_cast<double>(remaining)) + " left";
    return text;
}

void ConsoleView::Tick()
{
    if (!live_) return;
    if (resized_) {
        resized_ = false;
        const auto [width, height] = TerminalSize(::fileno(out_));
        Resize(width, height);
        return;
    }
    Clear();
    Draw();
    Flush();
}

void ConsoleView::Close()
{
    if (live_) Clear();
    Flush();
}

void ConsoleView::Resize(size_t width, size_t height)
{
    if (!live_) return;
    // The lines drawn for the old width may now wrap: count the rows they take at the new one.
    width_ = std::max<size_t>(width, 20);
    height_ = std::max<size_t>(height, 3);
    Clear();
    Draw();
    Flush();
}

void ConsoleView::Clear()
{
    // Up to the first live line, then clear to the end of the screen.
    size_t rows = 0;
    for (const size_t w : drawn_)
        rows += std::max<size_t>(1, (w + width_ - 1) / width_);
    if (rows > 0)
        frame_ += "\r\x1b[" + std::to_string(rows) + "A\x1b[J";
    else
        frame_ += "\r\x1b[J";
    drawn_.clear();
}

void ConsoleView::Draw()
{
    // Never more lines than fit: the screen must not scroll while it is redrawn. The last
    // line is the whole run's.
    const size_t room = height_ - 2;
    std::vector<std::string> lines;
    for (const auto& [ip, a] : active_) {
        if (lines.size() + 1 == room && active_.size() > room) {
            lines.push_back("... and " + std::to_string(active_.size() - lines.size()) + " more");
            break;
        }
        lines.push_back(a.stage.empty() ? ProgressLine(a.who, a.sent, imageSize_, a.seconds, width_ - 1)
                                        : a.who + ": " + a.stage);
    }
    if (expected_ > 0) lines.push_back(Overall());
    for (auto& line : lines) {
        line = rtl::SafeText(line);
        if (line.size() > width_ - 1) line.resize(width_ - 1);
        frame_ += line + "\n";
        drawn_.push_back(line.size());
    }
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
        for (auto cell : {std::string(ResultName(d.result)), std::to_string(d.attempts), std::to_string(Bytes(d)),
                          FormatSeconds(d.seconds), Rate(d)})
            rows.back().push_back(std::move(cell));
        if (waitBack)
            rows.back().push_back(!d.waitedBack   ? "-"
                                  : d.backSeconds ? FormatSeconds(*d.backSeconds)
                                                  : BackText(d));
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
    // A device that took the image but did not answer again needs someone: it is not done.
    const auto notBack = [](const DeviceReport& d) {
        return d.result == Result::Done && d.waitedBack && !d.backSeconds;
    };
    std::string line;
    const auto add = [&line](size_t n, std::string_view name) {
        if (n > 0) line += (line.empty() ? "" : ", ") + std::to_string(n) + " " + std::string(name);
    };
    for (int r = 0; r <= static_cast<int>(LastResult); ++r) {
        const auto result = static_cast<Result>(r);
        add(std::count_if(devices.begin(), devices.end(),
                          [&](const auto& d) { return d.result == result && !notBack(d); }),
            ResultName(result));
        if (result == Result::Done) add(std::count_if(devices.begin(), devices.end(), notBack), "not-back");
    }
    return line.empty() ? "no devices" : line;
}

std::pair<size_t, size_t> TerminalSize(int fd)
{
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
        return {size.ws_col, size.ws_row};
    return {80, 24};
}

std::string PartialWriteWarning(const std::vector<DeviceReport>& devices, uint64_t imageSize)
{
    std::string names;
    size_t count = 0;
    for (const auto& d : devices) {
        if (d.result != Result::PartialWrite) continue;
        ++count;
        names += (names.empty() ? "" : ", ") + Who(d) + " " + std::to_string(Bytes(d)) + " of " +
                 std::to_string(imageSize) + " bytes";
    }
    if (count == 0) return "";
    return "warning: " + std::to_string(count) + (count == 1 ? " device was" : " devices were") +
           " aborted mid-write and may not start until the image is written again: " + rtl::SafeText(names);
}

} // namespace fleet
