// What the simulators' programs share: the port file, the share option, the link's fault
// switches and the command line.
#include <gtest/gtest.h>

#include "sim/ProgramSupport.h"
#include "sim/TftpServer.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Parsed {
    std::optional<int> status;
    std::string err;
};

Parsed Parse(CLI::App& app, const std::vector<std::string>& args)
{
    std::vector<const char*> argv{"prog"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const auto status = sim::ParseCommandLine(app, static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
    ::testing::internal::GetCapturedStdout();
    return {status, ::testing::internal::GetCapturedStderr()};
}

std::string ErrorOf(auto&& call)
{
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(SimProgram, PortFileAppearsWholeOrNotAtAll)
{
    const fs::path dir = fs::temp_directory_path() / ("sim-program-test-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "port").string();
    sim::WritePortFile(path, 6969);
    sim::WritePortFile(path, 69); // replaces, never appends
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "69\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    const std::string missing = (dir / "no-such-dir" / "port").string();
    EXPECT_NE(ErrorOf([&] { sim::WritePortFile(missing, 1); }).find("port file " + missing), std::string::npos);
    EXPECT_FALSE(fs::exists(missing));
    fs::remove_all(dir);
}

TEST(SimProgram, ShareIsANumberFromZeroToOne)
{
    EXPECT_EQ(sim::ParseShare("0"), 0.0);
    EXPECT_EQ(sim::ParseShare("1"), 1.0);
    EXPECT_EQ(sim::ParseShare("0.25"), 0.25);
    EXPECT_EQ(sim::ParseShare("1e-1"), 0.1);
    for (const char* bad : {"", "-0.1", "1.01", "0.5x", "x", "nan", " ", "inf"})
        EXPECT_FALSE(sim::ParseShare(bad)) << '"' << bad << '"';
}

// A bad value is a usage error (status 2) that names the program and the option; --help is
// no error.
TEST(SimProgram, CommandLineStatusAndComplaint)
{
    struct Row {
        std::vector<const char*> args;
        std::optional<int> status;
        std::string said; // on standard error
    };
    const Row rows[] = {
        {{"--drop", "0.5"}, std::nullopt, ""},
        {{"--drop", "2"}, 2, "prog: --drop: not a share from 0 to 1: 2"},
        {{"--drop", "nan"}, 2, "--drop: not a share"},
        {{"--count", "70000"}, 2, "--count"},
        {{"--count", "-1"}, 2, "--count"},
        {{"--bogus"}, 2, "prog: The following argument was not expected: --bogus"},
        {{"stray"}, 2, "stray"},
        {{"--help"}, 0, ""},
    };
    for (const Row& row : rows) {
        CLI::App app{"test", "prog"};
        double drop = 0;
        std::uint16_t count = 0;
        app.add_option("--drop", drop)->check(sim::Share());
        app.add_option("--count", count);
        std::vector<const char*> argv{"prog"};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const auto status =
            sim::ParseCommandLine(app, static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, row.status) << row.args[0];
        if (!row.said.empty()) {
            EXPECT_NE(err.find(row.said), std::string::npos) << err;
        }
        if (status == 0) {
            EXPECT_NE(out.find("--drop"), std::string::npos) << "help on standard output";
        }
    }
}

// simtftpd and simdev declare the switches once, under their own names; a value out of range
// is a usage error naming the option as the program spells it.
TEST(SimProgram, LinkFaultSwitchesUnderEitherPrefix)
{
    for (const std::string prefix : {"", "tftp-"}) {
        CLI::App app{"test", "prog"};
        sim::SimTftpOptions o;
        sim::AddLinkFaultOptions(app, o, prefix, "Faults");
        std::vector<std::string> args;
        for (const auto& [name, value] : {std::pair{"lose-received", "0.05"},
                                          {"lose-acks", "0.5"},
                                          {"pause-ms", "50"},
                                          {"pause-every", "16"},
                                          {"receive-buffer", "4096"},
                                          {"seed", "9"}})
            args.insert(args.end(), {"--" + prefix + name, value});
        EXPECT_EQ(Parse(app, args).status, std::nullopt) << prefix;
        EXPECT_EQ(o.loseReceived, 0.05);
        EXPECT_EQ(o.loseAcks, 0.5);
        EXPECT_EQ(o.pauseMs, 50);
        EXPECT_EQ(o.pauseEvery, 16);
        EXPECT_EQ(o.receiveBuffer, 4096);
        EXPECT_EQ(o.seed, 9u);
    }

    const std::vector<std::string> refused[] = {
        {"--tftp-lose-received", "1.5"},       {"--tftp-lose-acks", "nan"},    {"--tftp-pause-ms", "600001"},
        {"--tftp-pause-every", "-1"},          {"--tftp-receive-buffer", "x"}, {"--tftp-seed", "-1"},
        {"--tftp-receive-buffer", "67108865"},
    };
    for (const auto& args : refused) {
        CLI::App app{"test", "prog"};
        sim::SimTftpOptions o;
        sim::AddLinkFaultOptions(app, o, "tftp-", "Faults");
        const Parsed parsed = Parse(app, args);
        EXPECT_EQ(parsed.status, 2) << args[0] << ' ' << args[1];
        EXPECT_NE(parsed.err.find(args[0]), std::string::npos) << parsed.err;
    }
    CLI::App app{"test", "prog"};
    sim::SimTftpOptions o;
    sim::AddLinkFaultOptions(app, o, "tftp-", "Faults");
    EXPECT_EQ(Parse(app, {"--lose-received", "0.1"}).status, 2) << "the unprefixed name belongs to simtftpd";
}

// --ack-delay-ms takes one time or a range under either program, and refuses what is neither,
// naming the option.
TEST(SimProgram, ServiceTimeIsATimeOrARange)
{
    struct Row {
        const char* text;
        std::optional<std::pair<int, int>> range;
    };
    const Row rows[] = {
        {"12", std::pair{12, 12}},
        {"0", std::pair{0, 0}},
        {"5-50", std::pair{5, 50}},
        {"7-7", std::pair{7, 7}},
        {"0-60000", std::pair{0, 60000}},
        {"50-5", std::nullopt},
        {"60001", std::nullopt},
        {"5-60001", std::nullopt},
        {"-5", std::nullopt},
        {"5-", std::nullopt},
        {"5-6-7", std::nullopt},
        {"1.5", std::nullopt},
        {" 5", std::nullopt},
        {"", std::nullopt},
        {"99999999999", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(sim::ParseTimeRange(row.text), row.range) << '"' << row.text << '"';
        CLI::App app{"test", "prog"};
        sim::SimTftpOptions o;
        sim::AddServiceTimeOption(app, o, "--seed", "Faults");
        const Parsed parsed = Parse(app, {"--ack-delay-ms", row.text});
        if (row.range) {
            EXPECT_EQ(parsed.status, std::nullopt) << row.text;
            EXPECT_EQ(std::pair(o.ackDelayMs, o.ackDelayMaxMs), *row.range);
        } else {
            EXPECT_EQ(parsed.status, 2) << row.text;
            EXPECT_NE(parsed.err.find("--ack-delay-ms"), std::string::npos) << parsed.err;
        }
    }
}
