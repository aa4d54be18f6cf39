// What an operator sees of a fleet: on a terminal one live line per active device, redrawn
// in place; otherwise one plain line per event. Either way a summary table at the end, and
// optionally time-stamped lines appended to a log file.
#pragma once

#include "cli/Fleet.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fleet {

// Appends time-stamped lines ("2026-12-07T23:10:04.123Z text") to a file; a no-op when
// no file was given. Every line is masked (SafeText) and flushed at once; the first failed
// write is kept for the caller to report.
class LogFile {
public:
    LogFile() = default;
    // Opens for appending and writes firstLine. Throws std::runtime_error when either fails.
    LogFile(const std::string& path, const std::string& firstLine);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void Line(const std::string& text);
    // Why a write failed (empty while none did).
    const std::string& Failure() const { return failure_; }

private:
    FILE* file_ = nullptr;
    std::string failure_;
};

class ConsoleView : public FleetView {
public:
    // live: redraw lines in place (out is a terminal of the given width and height).
    ConsoleView(FILE* out, bool live, size_t width, size_t height, uint64_t imageSize, LogFile& log);

    void Attempt(const DeviceReport& device) override;
    void Note(const DeviceReport& device, const std::string& text) override;
    void Progress(const DeviceReport& device, uint64_t sent, double transferSeconds) override;
    void Finished(const DeviceReport& device) override;
    void Tick() override;
    // Plain lines of text that are not about one device (warnings, the image).
    void Say(const std::string& text) override;
    // The live lines are redrawn to the terminal's new size at the next tick.
    void Resized() override { resized_ = true; }
    // How many devices the run has, for the overall line.
    void Expect(size_t devices);
    // Clears the live lines for good.
    void Close();

    // The terminal's new size: the live lines are redrawn to fit it.
    void Resize(size_t width, size_t height);

private:
    struct Active {
        uint64_t sent = 0;
        double seconds = 0;
        std::string stage;
        std::string who; // address, and label when it has one
    };
    void Clear();
    void Draw();
    void Plain(const std::string& ip, const std::string& text);
    std::string Overall() const;
    // Every frame leaves in one write, so a terminal never shows half of one.
    void Flush();

    FILE* out_;
    bool live_;
    size_t width_;
    size_t height_;
    uint64_t imageSize_;
    LogFile& log_;
    std::map<std::string, Active> active_; // by address text, in address order
    std::map<std::string, int> lastQuarter_;
    std::vector<size_t> drawn_; // widths of the live lines on the screen now
    std::string frame_;
    size_t expected_ = 0;
    size_t finished_ = 0;
    size_t succeeded_ = 0;
    size_t overallShown_ = 0; // quarters of the devices announced on plain output
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    bool resized_ = false;
};

// The size of the terminal fd writes to, in columns and rows; 80 x 24 when it has none.
std::pair<size_t, size_t> TerminalSize(int fd);

// The summary table: device, result, attempts, bytes, time, rate, message.
std::string SummaryTable(const std::vector<DeviceReport>& devices, bool waitBack);
// One line per result count: "16 done, 2 password-refused, ...".
std::string CountLine(const std::vector<DeviceReport>& devices);
// Empty when no device was aborted mid-write; else a line naming each with the bytes sent.
std::string PartialWriteWarning(const std::vector<DeviceReport>& devices, uint64_t imageSize);

} // namespace fleet
