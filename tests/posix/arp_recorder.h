// A stand-in for the neighbour-table command (FTPUPG_ARP_COMMAND): a script that appends its
// arguments to a log. Whether a run has started is read from /proc, where a script shows
// from its exec on; so "started by now" needs no sleep and no guess.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class ArpRecorder {
public:
    explicit ArpRecorder(const std::filesystem::path& dir)
        : script_((dir / "arp-recorder.sh").string()), log_((dir / "arp.log").string())
    {
        std::ofstream(script_) << "#!/bin/sh\nprintf '%s|' \"$@\" >> '" << log_ << "'\necho >> '" << log_ << "'\n";
        std::filesystem::permissions(script_, std::filesystem::perms::owner_all);
        ::setenv("FTPUPG_ARP_COMMAND", script_.c_str(), 1);
    }
    ~ArpRecorder() { ::setenv("FTPUPG_ARP_COMMAND", "true", 1); }

    // One line per finished run, the arguments joined by '|': "-d|127.0.0.2|".
    std::vector<std::string> Runs() const
    {
        std::ifstream in(log_);
        std::vector<std::string> runs;
        for (std::string line; std::getline(in, line);)
            runs.push_back(line);
        return runs;
    }

    // A run is under way (exec'd, not yet exited).
    bool Running() const
    {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream in(entry.path() / "cmdline", std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            if (text.str().find(script_) != std::string::npos) return true;
        }
        return false;
    }

    // Started at some time up to now: it is running or has written its line.
    bool Started() const { return Running() || !Runs().empty(); }

    // Waits until every run started so far has ended.
    void WaitIdle() const
    {
        for (int i = 0; Running(); ++i) {
            ASSERT_LT(i, 60000) << "the recorder script never ended";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

private:
    std::string script_;
    std::string log_;
};
