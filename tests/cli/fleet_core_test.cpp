// Fleet rules without sockets: address lists, merging discovery answers, outcomes, progress
// text, the report and the image check. One device's password check is upgrade's
// (tests/upgrade).
#include "cli/Addresses.h"
#include "cli/Console.h"
#include "cli/DevicePassword.h"
#include "cli/DeviceTable.h"
#include "cli/DoctorChecks.h"
#include "cli/Image.h"
#include "cli/ImageSignature.h"
#include "cli/JobEvents.h"
#include "cli/OptionSuggest.h"
#include "cli/Outcome.h"
#include "cli/Report.h"
#include "cli/RestartWatch.h"
#include "cli/RolloutGate.h"
#include "cli/Stop.h"
#include "cli/Units.h"
#include "devmsg/wire/DeviceFrames.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <set>
#include <tuple>

using namespace fleet;
using Frame = std::vector<uint8_t>; // a request frame or reply record

namespace {

Frame Record(uint8_t protocol, const std::string& ip, uint8_t macLast = 0x10, uint16_t result = 0,
             const std::string& name = "KR730")
{
    using namespace devmsg::frames;
    Frame r(ReplySize, 0);
    std::copy(ip.begin(), ip.end(), r.begin());
    const uint8_t mac[6] = {0x00, 0x1b, 0x7a, 0x00, 0x00, macLast};
    std::copy(std::begin(mac), std::end(mac), r.begin() + RepMac);
    r[RepProtocol] = protocol;
    r[RepResult] = static_cast<uint8_t>(result & 0xff);
    r[RepResult + 1] = static_cast<uint8_t>(result >> 8);
    std::copy(name.begin(), name.end(), r.begin() + RepName);
    r[RepEcho] = 0xe1, r[RepEcho + 1] = 0xc3, r[RepEcho + 2] = 0x17, r[RepEcho + 3] = 0x5a;
    return r;
}

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/fleet-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name, const std::string& bytes) const
    {
        std::string path = path_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

} // namespace

TEST(FleetAddressTest, OnlyTheTextADeviceReportsCounts)
{
    for (const char* good : {"127.0.0.10", "127.1.2.3"})
        EXPECT_TRUE(IsDeviceAddress(good)) << good;
    // Every other spelling would never match the device's own text.
    for (const char* bad : {"", "127.0.0", "127.0.0.1.", "127.0.0.256", "127.0.0.010", " 127.0.0.1", "127.0.0.1 ",
                            "127.0.0.-1", "127.0.0.1/8", "localhost", "1.2.3.4.5", "1..2.3", "1234.1.1.1",
                            // Every host or none: a write there would go to the whole segment.
                            "0.0.0.0", "255.255.255.255"})
        EXPECT_FALSE(IsDeviceAddress(bad)) << bad;
    EXPECT_LT(AddressValue("127.0.0.9"), AddressValue("127.0.0.10"));
}

TEST(FleetAddressTest, ListSkipsCommentsAndBlanksKeepsOrderAndTakesLabelsAndPasswordFiles)
{
    auto list = ParseAddressList(
        "# lab rack\n127.0.0.12\n\n  127.0.0.10\t\r\n127.0.0.12\n"
        "127.0.0.11  line-3-press  @/etc/ftpupg/line3.pw\n"
        "127.0.0.13\t@pw/13.pw\tpr\xc3\xa9sse-4 # the new one\n"
        "127.0.0.14 #ignored label",
        "rack.txt");
    EXPECT_TRUE(list.errors.empty());
    std::vector<std::tuple<std::string, std::string, std::string, size_t>> got;
    for (const auto& t : list.targets)
        got.emplace_back(t.ip, t.label, t.passwordFile, t.line);
    EXPECT_EQ(got, (decltype(got){{"127.0.0.12", "", "", 2},
                                  {"127.0.0.10", "", "", 4},
                                  {"127.0.0.11", "line-3-press", "/etc/ftpupg/line3.pw", 6},
                                  {"127.0.0.13", "pr\xc3\xa9sse-4", "pw/13.pw", 7},
                                  {"127.0.0.14", "", "", 8}}));
    EXPECT_EQ(list.duplicates, std::vector<std::string>{"127.0.0.12"});
    EXPECT_TRUE(ParseAddressList("", "x").targets.empty());
}

TEST(FleetAddressTest, EveryBadLineIsNamedAndExtraFieldsAreNeverQuoted)
{
    const struct {
        const char* line;
        const char* error; // after "list:2: "
    } rows[] = {
        {"127.0.0.300", "not an IPv4 address: '127.0.0.300'"},
        {"press-1 127.0.0.11", "not an IPv4 address: 'press-1'"},
        {"127.0.0.11 press Secret-PW", "a third field that is neither a label nor '@' and a password file"},
        {"127.0.0.11 @", "'@' without a password file after it"},
        {"127.0.0.11 @a.pw @b.pw", "more than one password file"},
        {"127.0.0.11 @-", "a password file cannot be standard input"},
        {"127.0.0.11 bell\x07", "the label holds a control character"},
        {"127.0.0.10 other-label", "127.0.0.10 is listed on line 1 too, with another label or password file"},
    };
    for (const auto& row : rows) {
        const auto list = ParseAddressList("127.0.0.10 press\n" + std::string(row.line) + "\n", "list");
        ASSERT_EQ(list.errors.size(), 1u) << row.line;
        EXPECT_EQ(list.errors[0].line, 2u);
        EXPECT_EQ(list.errors[0].text.rfind(std::string("list:2: ") + row.error, 0), 0u) << list.errors[0].text;
        EXPECT_EQ(list.errors[0].text.find("Secret"), std::string::npos);
    }
    EXPECT_EQ(ParseAddressList("127.0.0.1 " + std::string(MaxLabelSize, 'x'), "l").errors.size(), 0u);
    EXPECT_EQ(ParseAddressList("127.0.0.1 " + std::string(MaxLabelSize + 1, 'x'), "l").errors.size(), 1u);
    // All of them at once, in line order, and the good lines still read.
    const auto list = ParseAddressList("127.0.0.1O\n127.0.0.11\n127.0.0.12 a b\n\n127.0.0.256\n", "l");
    ASSERT_EQ(list.errors.size(), 3u);
    EXPECT_EQ(list.errors[0].line, 1u);
    EXPECT_EQ(list.errors[1].line, 3u);
    EXPECT_EQ(list.errors[2].line, 5u);
    EXPECT_EQ(list.targets.size(), 1u);
}

TEST(FleetDiscoveryTest, OneRowPerDeviceMergedAndSortedByAddress)
{
    DeviceTable table;
    EXPECT_TRUE(table.Add(Record(17, "127.0.0.10", 0x10)));
    EXPECT_TRUE(table.Add(Record(20, "127.0.0.9", 0x09, 0, "Gate")));
    EXPECT_TRUE(table.Add(Record(17, "127.0.0.9", 0x09, 0, "Gate")));
    EXPECT_TRUE(table.Add(Record(17, "127.0.0.10", 0x10))); // answered twice
    EXPECT_FALSE(table.Add(Record(65, "127.0.0.11")));      // a password answer is no device
    EXPECT_FALSE(table.Add(Record(33, "127.0.0.12")));
    const auto devices = table.Sorted();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].ip, "127.0.0.9");
    EXPECT_EQ(devices[0].mac, "00:1b:7a:00:00:09");
    EXPECT_EQ(devices[0].name, "Gate");
    EXPECT_EQ(devices[0].protocols, (std::vector<uint8_t>{17, 20}));
    EXPECT_EQ(devices[1].ip, "127.0.0.10");
    EXPECT_EQ(devices[1].protocols, std::vector<uint8_t>{17});
}

TEST(FleetDiscoveryTest, NamesAreLatin1TextMadeSafeForTerminalsAndJson)
{
    DeviceTable table;
    table.Add(Record(17, "127.0.0.9", 0x09, 0,
                     "Stra\xdf"
                     "e\x07"));
    const auto devices = table.Sorted();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name,
              "Stra\xc3\x9f"
              "e?");
    // The report takes it as it is: valid UTF-8.
    EXPECT_NO_THROW(nlohmann::json(devices[0].name).dump());
}

TEST(FleetDiscoveryTest, SeveralDevicesClaimingOneAddressAreAConflictAndNonAddressesAreSetApart)
{
    DeviceTable table;
    table.Add(Record(17, "127.0.0.10", 0x10));
    table.Add(Record(20, "127.0.0.10", 0x10));
    table.Add(Record(17, "127.0.0.10", 0x77)); // another device, same address
    table.Add(Record(17, "127.0.0.10", 0x77));
    table.Add(Record(17, "127.0.0.11", 0x11));
    EXPECT_TRUE(table.Add(Record(17, "10.0.0.1\x1b[2J", 0x12))); // an answer, but no address
    EXPECT_TRUE(table.Add(Record(17, "", 0x13)));
    const auto devices = table.Sorted();
    ASSERT_EQ(devices.size(), 2u); // the malformed ones never become targets
    EXPECT_EQ(devices[0].mac, "00:1b:7a:00:00:10");
    EXPECT_EQ(devices[0].conflicts, std::vector<std::string>{"00:1b:7a:00:00:77"});
    EXPECT_EQ(ConflictText(devices[0]),
              "several devices answer for 127.0.0.10: 00:1b:7a:00:00:10, 00:1b:7a:00:00:77");
    EXPECT_TRUE(devices[1].conflicts.empty());
    EXPECT_EQ(table.Malformed(), (std::vector<std::string>{"10.0.0.1?[2J", ""}));
    // The answers kept to ask for the password: the first of each form, from the first device.
    const auto answers = table.Answers("127.0.0.10");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0][devmsg::frames::RepProtocol], 17);
    EXPECT_EQ(answers[1][devmsg::frames::RepProtocol], 20);
    EXPECT_EQ(answers[0][devmsg::frames::RepMac + 5], 0x10);
    EXPECT_TRUE(table.Answers("127.0.0.12").empty());
    // One hardware address for several addresses: each names the others, whichever of its
    // addresses' hardware addresses is shared.
    EXPECT_TRUE(table.SameMac("127.0.0.10").empty());
    table.Add(Record(17, "127.0.0.13", 0x77));
    table.Add(Record(17, "127.0.0.2", 0x11));
    EXPECT_EQ(table.SameMac("127.0.0.13"), std::vector<std::string>{"127.0.0.10"});
    EXPECT_EQ(table.SameMac("127.0.0.10"), std::vector<std::string>{"127.0.0.13"});
    EXPECT_EQ(table.SameMac("127.0.0.11"), std::vector<std::string>{"127.0.0.2"});
    EXPECT_EQ(table.SameMac("127.0.0.2"), std::vector<std::string>{"127.0.0.11"});
    EXPECT_TRUE(table.SameMac("127.0.0.99").empty());
    EXPECT_EQ(DuplicateMacText(*table.Find("127.0.0.2"), table.SameMac("127.0.0.2")),
              "00:1b:7a:00:00:11 answers for 127.0.0.2 and also for 127.0.0.11: one hardware address, several "
              "devices; none is asked for its password or written");
}

TEST(FleetEventTest, EveryEventRoundTripsAndOtherLinesAreNotes)
{
    const std::vector<JobEvent> events = {
        FoundEvent{{"",
                    "00:1b:7a:00:00:10",
                    "Stra\xc3\x9f"
                    "e \"7\"",
                    {17, 20}}},
        AcceptedEvent{},
        ProgressEvent{(1ull << 32) + 5},
        WaitingBackEvent{30},
        BackEvent{2.5},
        NotBackEvent{},
        DroppedEvent{17},
        SilentEvent{1.25},
        PinnedEvent{"eth0", "02:7f:01:00:0a:00"},
        UnpinnedEvent{},
        ResultEvent{Result::TftpError, "Flash write\nfailed", 4096, 16, 17, 1024, 3, 1500, 6},
        ResultEvent{Result::BackUnconfirmed, "", 8192},
        ResultEvent{Result::Unconfirmed, "", {8192, 8, 2, 1468, 1, 2250, 4, false, true}},
        ResultEvent{Result::AddressConflict, "", 0},
    };
    for (const auto& event : events) {
        const std::string line = EncodeEvent(event);
        ASSERT_EQ(line.find('\n'), line.size() - 1) << line; // exactly one line
        const auto back = DecodeEvent(line.substr(0, line.size() - 1));
        ASSERT_TRUE(back) << line;
        ASSERT_EQ(back->index(), event.index()) << line;
        EXPECT_EQ(EncodeEvent(*back), line);
    }
    for (const char* note : {"ndxl: reply queue full", "", "{", "{\"e\":\"result\",\"result\":\"finished\"}",
                             "{\"e\":\"progress\"}", "{\"e\":\"unknown\"}", "[1,2]"})
        EXPECT_FALSE(DecodeEvent(note)) << note;
}

TEST(FleetEventTest, LineReaderJoinsPiecesAndBoundsEndlessLines)
{
    LineReader reader;
    reader.Feed("{\"e\":\"acc");
    EXPECT_FALSE(reader.Next());
    reader.Feed("epted\"}\nndxl: note\n\npart");
    EXPECT_EQ(reader.Next(), "{\"e\":\"accepted\"}");
    EXPECT_EQ(reader.Next(), "ndxl: note");
    EXPECT_EQ(reader.Next(), "");
    EXPECT_FALSE(reader.Next());
    reader.Feed("ial\n");
    EXPECT_EQ(reader.Next(), "partial");
    // A child that never ends its line is handed out in bounded pieces.
    reader.Feed(std::string(LineReader::MaxLine + 10, 'x'));
    const auto piece = reader.Next();
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->size(), LineReader::MaxLine);
    EXPECT_FALSE(reader.Next());
}

TEST(FleetResultTest, TheRetryDecisionAndSuccess)
{
    // A device that did not answer is tried again too: its answer may have been lost.
    for (Result r : {Result::Timeout, Result::TftpError, Result::PasswordTimeout, Result::NoDevice}) {
        EXPECT_TRUE(ShouldTryAgain(r, 1, 1)) << ResultName(r);
        EXPECT_TRUE(ShouldTryAgain(r, 3, 3)) << ResultName(r);
        EXPECT_FALSE(ShouldTryAgain(r, 2, 1)) << ResultName(r); // --retries 1: two attempts in all
        EXPECT_FALSE(ShouldTryAgain(r, 1, 0)) << ResultName(r);
    }
    EXPECT_EQ(ResultName(Result::PartialWrite), "partial-write");
    // A device whose last block went out unacknowledged may be writing flash: never written again.
    for (Result r : {Result::Done, Result::PasswordRefused, Result::AddressConflict, Result::LocalError,
                     Result::Interrupted, Result::NotRestarted, Result::AddressChanged, Result::Unconfirmed,
                     Result::BackUnconfirmed, Result::PartialWrite, Result::DuplicateMac, Result::WrongModel})
        EXPECT_FALSE(ShouldTryAgain(r, 1, 5)) << ResultName(r);
    // Success: the device runs the image (and came back when that was asked), or a dry run found it ready.
    EXPECT_TRUE(Succeeded(Result::Done, false, false));
    EXPECT_TRUE(Succeeded(Result::Done, true, true));
    EXPECT_FALSE(Succeeded(Result::Done, true, false));
    EXPECT_TRUE(Succeeded(Result::AlreadyDone, false, false));
    EXPECT_TRUE(Succeeded(Result::WouldUpgrade, false, false));
    for (Result r : {Result::Skipped, Result::Interrupted, Result::TftpError, Result::NoDevice,
                     Result::NotRestarted, Result::AddressChanged, Result::Unconfirmed, Result::BackUnconfirmed,
                     Result::PartialWrite, Result::DuplicateMac, Result::WrongModel})
        EXPECT_FALSE(Succeeded(r, true, true)) << ResultName(r);
}

// A script of one wait: per round, the answers that came ("A" the checked device, "B" another
// hardware address, "-" none, "x" answers were lost), and the state after each round.
TEST(FleetRestartTest, BackOnlyAfterASilenceOfThreeRoundsFromTheSameHardwareAddress)
{
    using State = RestartWatch::State;
    const std::string a = "00:1b:7a:00:00:0a", b = "00:1b:7a:00:00:0b";
    struct Row {
        const char* rounds;
        State end;
        int lastAnswer; // round of the last answer before the silence; -1: none
        int back;       // round it came back in; -1: it did not
        const char* why;
    };
    const Row rows[] = {
        {"AAAAAAAAAA", State::Up, 9, -1, "answers all along: no restart"},
        {"AA--A--A--A", State::Up, 10, -1, "two quiet rounds are a lost answer, not a restart"},
        {"AAxxxxA", State::Up, 6, -1, "rounds with lost answers prove no silence"},
        {"AA---", State::Silent, 1, -1, "three quiet rounds: restarting"},
        {"AA-x--A", State::Up, 6, -1, "a lost round breaks the silence count"},
        {"AA---A", State::Back, 1, 5, "silent, then the same device"},
        {"---A", State::Back, -1, 3, "restarted at once (before its last ACK)"},
        {"AA---AB", State::Back, 1, 5, "settled: later answers change nothing"},
        {"AA---B", State::AddressChanged, 1, -1, "silent, then another board"},
        {"AB", State::AddressChanged, 0, -1, "another board at any time"},
    };
    const auto at = [](int round) { return int64_t{round} * RestartWatch::RoundMs + 5; };
    for (const auto& row : rows) {
        RestartWatch watch(a);
        int round = 0;
        for (const char* c = row.rounds; *c != '\0'; ++c, ++round) {
            if (*c == 'A' || *c == 'B') watch.Answer(*c == 'A' ? a : b, at(round));
            watch.EndRound(*c == 'x');
        }
        EXPECT_EQ(watch.state(), row.end) << row.why;
        EXPECT_EQ(watch.LastAnswerMs(), row.lastAnswer < 0 ? 0 : at(row.lastAnswer)) << row.why;
        EXPECT_EQ(watch.BackMs(), row.back < 0 ? 0 : at(row.back)) << row.why;
        EXPECT_EQ(watch.OtherMac(), row.end == State::AddressChanged ? b : "") << row.why;
    }
}

TEST(FleetRestartTest, TheResultOfAWrittenDeviceByConfirmationAndWait)
{
    using State = RestartWatch::State;
    // confirmed (last block acknowledged) | not confirmed, for each end of the wait.
    const std::tuple<bool, State, Result, Result> rows[] = {
        {false, State::Up, Result::Done, Result::Unconfirmed}, // no --wait-back: what is known
        {true, State::Back, Result::Done, Result::BackUnconfirmed},
        {true, State::Up, Result::NotRestarted, Result::Unconfirmed},
        {true, State::Silent, Result::Done, Result::Unconfirmed}, // restarted, never heard again (not back)
        {true, State::AddressChanged, Result::AddressChanged, Result::AddressChanged},
    };
    for (const auto& [waited, state, confirmed, unconfirmed] : rows) {
        EXPECT_EQ(AfterWrite(true, waited, state), confirmed) << static_cast<int>(state);
        EXPECT_EQ(AfterWrite(false, waited, state), unconfirmed) << static_cast<int>(state);
    }
}

TEST(FleetResultTest, TheExitStatusNamesTheWorstOfTheRun)
{
    using R = Result;
    struct Row {
        std::vector<DeviceEnd> devices;
        bool interrupted;
        int status;
    };
    const Row rows[] = {
        {{{R::Done}, {R::AlreadyDone}, {R::WouldUpgrade}}, false, ExitDone},
        {{{R::Done, true, true}}, false, ExitDone},
        {{{R::Done, true, false}}, false, ExitFailed}, // written, but never came back
        {{{R::Done}, {R::TftpError}}, false, ExitFailed},
        {{}, false, ExitFailed}, // no device at all
        {{{R::TftpError}, {R::Skipped}}, false, ExitStopped},
        {{{R::Done}, {R::Skipped}}, true, ExitInterrupted},
    };
    for (const Row& row : rows)
        EXPECT_EQ(RunExitStatus(row.devices, row.interrupted), row.status) << &row - rows;
}

TEST(FleetPasswordTest, SentAsTheWindowSendsItInWindows1252)
{
    struct Row {
        std::string text;
        std::optional<std::string> encoded;
        std::string error;
        size_t warnings;
    };
    const Row rows[] = {
        {"secret", "secret", "", 0},
        {"M\xc3\xbcller", "M\xfcller", "", 0},     // UTF-8 converted
        {"M\xfcller", "M\xfcller", "", 0},         // already Windows-1252
        {"\xe2\x82\xac", "\x80", "", 0},           // the euro sign has a byte there
        {"\xe4\xb8\xad", "?", "", 1},              // no room in the code page
        {"0123456789abc", "0123456789abc", "", 1}, // the device compares 12 bytes
        {"", std::nullopt, "the password is empty", 0},
        {std::string("a\0b", 3), std::nullopt, "the password contains a NUL byte", 0},
    };
    for (const Row& row : rows) {
        const DevicePassword password = EncodePassword(row.text, "the password");
        EXPECT_EQ(password.encoded, row.encoded) << row.text;
        EXPECT_EQ(password.error, row.error) << row.text;
        EXPECT_EQ(password.warnings.size(), row.warnings) << row.text;
    }
}

TEST(FleetOptionTest, ANearNameIsOfferedForAMistypedOption)
{
    const std::vector<std::string> known = {"--retries", "--wait", "--wait-back", "--json", "--jobs"};
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"--retres", "--retries"},  {"--wait-bak", "--wait-back"},
        {"--jobz", "--jobs"},       {"--jsno", std::nullopt}, // two edits in a short word is a guess
        {"--colour", std::nullopt}, {"--js", std::nullopt},
    };
    for (const auto& [word, nearest] : rows)
        EXPECT_EQ(NearestName(word, known), nearest) << word;
}

TEST(FleetStopTest, TheFirstStopLetsTransfersFinishTheSecondAborts)
{
    using L = StopLevel;
    // Each row: the level, a signal, the level after it.
    const struct {
        L now;
        int signal;
        L next;
    } rows[] = {
        {L::Running, SIGINT, L::Finishing},  {L::Running, SIGTERM, L::Finishing},
        {L::Running, SIGHUP, L::Finishing},  {L::Finishing, SIGINT, L::Aborting},
        {L::Finishing, SIGHUP, L::Aborting}, {L::Finishing, SIGTERM, L::Aborting},
        {L::Running, SIGQUIT, L::Aborting},  {L::Aborting, SIGINT, L::Aborting},
        {L::Running, SIGWINCH, L::Running},  {L::Finishing, SIGWINCH, L::Finishing},
    };
    for (const auto& row : rows)
        EXPECT_EQ(NextStopLevel(row.now, row.signal), row.next) << static_cast<int>(row.now) << " " << row.signal;
}

TEST(FleetRolloutTest, CanariesGoFirstAndFailuresStopTheRest)
{
    // Each row: canaries, max failures, then outcomes in order (position, success) and
    // after each whether position 3 (no canary) may start, and whether the rollout stopped.
    struct Step {
        size_t position;
        bool success;
        bool laterMayStart;
        bool stopped;
    };
    const struct {
        size_t canaries, maxFailures;
        std::vector<Step> steps;
        const char* reason;
    } rows[] = {
        // Both canaries done: the rest goes.
        {2, 0, {{0, true, false, false}, {1, true, true, false}, {3, false, true, false}}, ""},
        // One canary failed: nothing more starts, not even the other canaries.
        {2, 0, {{1, false, false, true}, {0, true, false, true}}, "a canary failed (d1)"},
        {3, 0, {{0, false, false, true}}, "a canary failed (d0)"},
        // No canary: everything may start until K failures.
        {0,
         2,
         {{5, false, true, false}, {4, true, true, false}, {6, false, false, true}},
         "2 devices failed (--max-failures 2)"},
        {0, 1, {{0, false, false, true}}, "1 device failed (--max-failures 1)"},
        // A canary failure counts toward K as well; the canary reason comes first.
        {1, 1, {{0, false, false, true}}, "a canary failed (d0)"},
        {0, 0, {{0, false, true, false}, {1, false, true, false}}, ""},
    };
    for (const auto& row : rows) {
        RolloutGate gate(row.canaries, row.maxFailures);
        EXPECT_EQ(gate.MayStart(3), row.canaries == 0);
        for (size_t i = 0; i < row.canaries; ++i)
            EXPECT_TRUE(gate.MayStart(i));
        for (const auto& step : row.steps) {
            gate.Settled(step.position, step.success, "d" + std::to_string(step.position));
            EXPECT_EQ(gate.MayStart(3), step.laterMayStart) << row.reason << " after " << step.position;
            EXPECT_EQ(gate.Stopped(), step.stopped) << row.reason << " after " << step.position;
            if (step.stopped) {
                EXPECT_FALSE(gate.MayStart(0));
            }
        }
        EXPECT_EQ(gate.Reason(), row.reason);
    }
}

TEST(FleetTextTest, ProgressLineAndBlockCounts)
{
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(4 * 1024 * 1024), "4.0 MiB");
    EXPECT_EQ(FormatSeconds(65.2), "1:05");
    EXPECT_EQ(ProgressLine("127.0.0.10", 1 << 20, 4 << 20, 1.0, 200),
              "127.0.0.10       25%  1.0 MiB / 4.0 MiB  1.0 MiB/s  3.0 s left");
    EXPECT_EQ(ProgressLine("127.0.0.10", 0, 4 << 20, 0.0, 200).substr(0, 20), "127.0.0.10        0%");
    EXPECT_EQ(ProgressLine("127.0.0.10", 1, 2, 1.0, 12).size(), 12u); // never wider than the terminal
    // A label comes whole beside its address.
    EXPECT_EQ(ProgressLine("127.0.0.10 (line-3-press)", 1, 4, 1.0, 200).substr(0, 30),
              "127.0.0.10 (line-3-press)  25%");
    // An image that is an exact multiple of the block size still ends with an empty block.
    EXPECT_EQ(BlocksFor(1024, 1024), 2u);
    EXPECT_EQ(BlocksFor(1023, 1024), 1u);
    EXPECT_GT(BlocksFor(64ull << 20, 1024), 65535u);
}

TEST(FleetTextTest, RatesAreBitsPerSecondInThousands)
{
    const std::vector<std::pair<std::string, std::optional<uint64_t>>> rows = {
        {"20M", 20000000},
        {"1.5G", 1500000000},
        {"800k", 800000},
        {"800K", 800000},
        {"64000", 64000},
        {"0.5M", 500000},
        {"1000G", 1000000000000ull},
        // m would read as milli; a unit of bytes or per second is not guessed at.
        {"20m", std::nullopt},
        {"20Mb", std::nullopt},
        {"20 M", std::nullopt},
        {"M", std::nullopt},
        {"", std::nullopt},
        {"0", std::nullopt},
        {"0.0001", std::nullopt},
        {"1.", std::nullopt},
        {".5M", std::nullopt},
        {"-1M", std::nullopt},
        {"1001G", std::nullopt},
        {"1e6", std::nullopt}};
    for (const auto& [text, bits] : rows)
        EXPECT_EQ(ParseRate(text), bits) << text;
    EXPECT_EQ(FormatBits(20000000), "20 Mbit/s");
    EXPECT_EQ(FormatBits(1500000000), "1.5 Gbit/s");
    EXPECT_EQ(FormatBits(64000), "64 kbit/s");
    EXPECT_EQ(FormatBits(900), "900 bit/s");
}

TEST(FleetReportTest, ReportHoldsOptionsAndOutcomesButNeverThePassword)
{
    FleetOptions opts;
    opts.job.password = "Secret-PW-123";
    opts.jobs = 4;
    opts.canary = 2;
    DeviceReport done;
    done.ip = "127.0.0.10";
    done.label = "press-1";
    done.result = Result::Done;
    done.attempts = 2;
    done.transfer.acknowledgedBytes = 4096;
    done.transferSeconds = 2.0;
    done.device = DeviceEntry{"127.0.0.10", "00:1b:7a:00:00:10", "KR730", {17}};
    DeviceReport cut;
    cut.ip = "127.0.0.11";
    DeviceReport earlier, skipped, failed;
    earlier.result = Result::AlreadyDone;
    skipped.result = Result::Skipped;
    failed.result = Result::TftpError;
    DeviceReport away = done; // took the image but never answered again: not done
    away.waitedBack = true;
    away.silentSeconds = 1.5;
    DeviceReport stayed = away; // never restarted: a failure of its own
    stayed.result = Result::NotRestarted;
    stayed.silentSeconds.reset();
    const auto report = BuildReport({"1.0", "a", "b", "ip", true, std::nullopt}, {"img", 4096, "ab", 5, false},
                                    opts, {done, cut, earlier, skipped, failed, away, stayed});
    EXPECT_EQ(report.dump().find("Secret-PW-123"), std::string::npos);
    EXPECT_EQ(report["options"]["jobs"], 4);
    EXPECT_EQ(report["options"]["canary"], 2);
    EXPECT_TRUE(report["options"]["skip_done"].is_null());
    EXPECT_EQ(report["summary"], (nlohmann::json{{"devices", 7},
                                                 {"done", 1},
                                                 {"already_done", 1},
                                                 {"would_upgrade", 0},
                                                 {"skipped", 1},
                                                 {"not_back", 1},
                                                 {"not_restarted", 1},
                                                 {"address_changed", 0},
                                                 {"unconfirmed", 0},
                                                 {"back_unconfirmed", 0},
                                                 {"failed", 4}}));
    EXPECT_EQ(report["devices"][5]["wait_back"],
              (nlohmann::json{{"came_back", false}, {"seconds", nullptr}, {"silent_after", 1.5}}));
    EXPECT_EQ(report["devices"][0]["rate_bytes_per_s"], 2048.0);
    EXPECT_EQ(report["devices"][0]["device"]["protocols"][0], 17);
    EXPECT_EQ(report["devices"][0]["label"], "press-1");
    EXPECT_TRUE(report["devices"][1]["label"].is_null());
    EXPECT_EQ(report["devices"][1]["result"], "interrupted"); // a device never finished is never done
    EXPECT_TRUE(report["devices"][1]["device"].is_null());
}

TEST(FleetReportTest, AnEarlierReportSkipsOnlyDevicesDoneWithTheSameImage)
{
    const std::string sha(64, 'a');
    const auto reportText = [&](const std::string& hash, bool dryRun, const std::string& devices) {
        return R"({"tool": "ftpupg-cli", "finished": "2026-12-08T05:00:00Z", "image": {"sha256": ")" + hash +
               R"("}, "options": {"dry_run": )" + (dryRun ? "true" : "false") + R"(}, "devices": [)" + devices +
               "]}";
    };
    const std::string devices = R"({"ip": "127.0.0.10", "result": "done"},
        {"ip": "127.0.0.11", "result": "tftp-error"},
        {"ip": "127.0.0.12", "result": "already-done", "message": "Done with this image in the run that finished X"},
        {"ip": "127.0.0.13", "result": "would-upgrade"},
        {"ip": "127.0.0.14", "result": "skipped"})";
    auto done = ReadDoneEarlier(reportText(sha, false, devices), sha, "r.json");
    EXPECT_TRUE(done.note.empty());
    ASSERT_EQ(done.devices.size(), 2u);
    EXPECT_EQ(done.devices["127.0.0.10"],
              "Done with this image in the run that finished 2026-12-08T05:00:00Z (r.json)");
    EXPECT_EQ(done.devices["127.0.0.12"], "Done with this image in the run that finished X");
    // Another image: nothing is skipped, and the operator is told why.
    done = ReadDoneEarlier(reportText(std::string(64, 'b'), false, devices), sha, "r.json");
    EXPECT_TRUE(done.devices.empty());
    EXPECT_NE(done.note.find("another image"), std::string::npos);
    // A dry run wrote nothing, whatever an older version called it; what it carried over stands.
    done = ReadDoneEarlier(reportText(sha, true, devices), sha, "r.json");
    EXPECT_EQ(done.devices.size(), 1u);
    EXPECT_EQ(done.devices.count("127.0.0.12"), 1u);
    for (const std::string& bad :
         {std::string("not json"), std::string(R"({"tool": "other"})"),
          std::string(R"({"tool": "ftpupg-cli", "devices": []})"),
          std::string(R"({"tool": "ftpupg-cli", "image": {"sha256": 5}, "devices": []})"),
          reportText(sha, false, R"({"ip": "127.0.0.10"})"),
          reportText(sha, false, R"({"ip": "127.0.0.10", "result": "already-done", "message": 5})")}) {
        try {
            ReadDoneEarlier(bad, sha, "r.json");
            ADD_FAILURE() << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("r.json: not a report of ftpupg-cli upgrade (", 0), 0u)
                << e.what();
        }
    }
}

TEST(FleetReportTest, AReportWrittenAgainAndAgainIsAlwaysWholeAndLeavesNothingBeside)
{
    TempDir dir;
    const std::string path = dir.Path() + "/r.json";
    const std::string part = dir.Path() + "/.r.json.part";
    const auto read = [](const std::string& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    dir.File("r.json", "earlier");
    dir.File(".r.json.part", "left by a run that died, longer than what follows");
    {
        ReportFile report(path);
        int kept = 0;
        for (const std::string text : {"{\"n\": 1}", "{\"n\": 2}", "{}"}) {
            report.Commit(text, [&] { ++kept, std::filesystem::rename(path, path + ".1"); });
            EXPECT_EQ(read(path), text);
            EXPECT_FALSE(std::filesystem::exists(part)); // each write is renamed away
        }
        EXPECT_EQ(kept, 1); // the earlier report moves aside once, before the first write
        EXPECT_EQ(read(path + ".1"), "earlier");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
    // A run that ends before its first write leaves no part either.
    {
        ReportFile unused(dir.Path() + "/s.json");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
}

TEST(FleetReportTest, ResumeTakesTheImageDevicesAndOptionsOfTheRun)
{
    FleetOptions opts;
    opts.jobs = 3;
    opts.retries = 2;
    opts.job.waitBackS = 8;
    opts.job.blockSize = 1468;
    DeviceReport a, b;
    a.ip = "127.0.0.10";
    a.label = "press-1";
    b.ip = "127.0.0.11";
    ReportRun run{"1.0", "a", "b", "all", false, std::nullopt};
    run.complete = false;
    run.ipsFile = "/site/list";
    run.passwordFile = "/site/pw";
    run.maxRate = 20000000;
    const std::string sha(64, 'c');
    const auto text = BuildReport(run, {"/site/img.bin", 4096, sha, 5, false}, opts, {a, b}).dump();
    const ResumePlan plan = ReadResumePlan(text, "r.json");
    EXPECT_EQ(plan.imagePath, "/site/img.bin");
    EXPECT_EQ(plan.sha256, sha);
    EXPECT_EQ(plan.targets,
              (std::vector<std::pair<std::string, std::string>>{{"127.0.0.10", "press-1"}, {"127.0.0.11", ""}}));
    EXPECT_EQ(std::tie(plan.selection, plan.jobs, plan.retries, plan.waitBackS, plan.blockSize, plan.maxRate),
              std::make_tuple(std::string("all"), 3, 2, 8, 1468, uint64_t{20000000}));
    EXPECT_EQ(std::tie(plan.ipsFile, plan.passwordFile, plan.log),
              std::make_tuple(std::string("/site/list"), std::string("/site/pw"), std::string()));
    for (const std::string bad : {"not json", R"({"tool": "ftpupg-cli", "devices": []})",
                                  R"({"tool": "ftpupg-cli", "image": {}, "options": {}, "devices": []})"}) {
        try {
            ReadResumePlan(bad, "r.json");
            ADD_FAILURE() << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("r.json: not a report of ftpupg-cli upgrade (", 0), 0u)
                << e.what();
        }
    }
}

TEST(FleetReportTest, EarlierReportsAreKeptNineDeepAndOnlyRegularFilesMove)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("fleet-keep-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "r.json").string();
    const auto write = [](const std::string& p, const std::string& text) { std::ofstream(p) << text; };
    const auto read = [](const std::string& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::vector<std::string> notes;
    KeepEarlierReports(path, notes); // nothing there: nothing moves
    EXPECT_TRUE(notes.empty());
    for (int run = 1; run <= 11; ++run) {
        write(path, std::to_string(run));
        KeepEarlierReports(path, notes);
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(read(path + ".1"), "11");
    EXPECT_EQ(read(path + ".9"), "3"); // runs 1 and 2 dropped
    EXPECT_FALSE(fs::exists(path + ".10"));
    EXPECT_EQ(notes.back(), "the earlier report " + path + " is kept as " + path + ".1");
    fs::create_directory(path); // not a regular file: left as it is
    notes.clear();
    KeepEarlierReports(path, notes);
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(notes.empty());
    fs::remove_all(dir);
}

TEST(FleetImageTest, RefusesMissingDirectoryAndEmptyImagesWithTheReason)
{
    TempDir dir;
    const auto refusal = [](const std::string& path) {
        try {
            FirmwareImage image(path);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_NE(refusal(dir.Path() + "/none.bin").find("No such file"), std::string::npos);
    EXPECT_NE(refusal(dir.Path()).find("not a regular file"), std::string::npos);
    EXPECT_NE(refusal(dir.File("empty.bin", "")).find("empty"), std::string::npos);
}

TEST(FleetImageTest, StreamsAndHashTheCheckedBytes)
{
    TempDir dir;
    std::string bytes(200 * 1024 + 7, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 131 % 251);
    const FirmwareImage image(dir.File("img.bin", bytes));
    EXPECT_EQ(image.Size(), bytes.size());
    // Two streams at once (as two devices' transfers) do not move each other.
    auto a = image.OpenStream();
    auto b = image.OpenStream();
    std::string first(1000, '\0'), all(bytes.size(), '\0');
    a->ReadBuffer(first.data(), first.size());
    b->ReadBuffer(all.data(), all.size());
    EXPECT_EQ(first, bytes.substr(0, 1000));
    EXPECT_EQ(all, bytes);
    EXPECT_EQ(b->Read(all.data(), 1), 0u);
    EXPECT_EQ(FirmwareImage(dir.File("abc", "abc")).Sha256(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(FleetImageTest, TheBytesHashedAreTheBytesSentWhateverHappensToTheFile)
{
    TempDir dir;
    const std::string path = dir.File("img.bin", std::string(100000, 'a'));
    const FirmwareImage image(path);
    const std::string& hash = image.Sha256();
    // Changed in place (dd conv=notrunc) and cut, while the fleet runs.
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(5000);
        file << std::string(1000, 'X');
    }
    std::filesystem::resize_file(path, 6000);
    std::string sent(100000, '\0');
    image.OpenStream()->ReadBuffer(sent.data(), sent.size());
    EXPECT_EQ(sent, std::string(100000, 'a'));
    EXPECT_EQ(image.Sha256(), hash);
    // The copy itself cannot be changed by any process that shares it.
    EXPECT_EQ(::pwrite(image.Descriptor(), "X", 1, 0), -1);
    EXPECT_TRUE(image.IsFile(path));
    EXPECT_TRUE(image.IsFile(dir.Path() + "/./img.bin"));
    EXPECT_FALSE(image.IsFile(dir.File("other.bin", "a")));
}

namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One base64 character of line `line` (0-based) changed into another valid one.
std::string FlipBase64(std::string text, size_t line, size_t at)
{
    size_t pos = 0;
    for (size_t i = 0; i < line; ++i)
        pos = text.find('\n', pos) + 1;
    text[pos + at] = text[pos + at] == 'A' ? 'B' : 'A';
    return text;
}

} // namespace

// Keys and signatures made by the minisign tool operators use, at run time.
TEST(FleetSignatureTest, EachRefusalHasItsOwnVerdictAndMessage)
{
    if (std::system("minisign -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "minisign is not installed";
    TempDir dir;
    std::string bytes(600 * 1024 + 3, '\0'); // more than two chunks of the image's read
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 % 253);
    const std::string image = dir.File("fw.bin", bytes);
    const std::string& d = dir.Path();
    const std::string make =
        "cd " + d +
        " && minisign -G -W -p k.pub -s k.sec >/dev/null && minisign -G -W -p o.pub -s o.sec >/dev/null"
        " && minisign -S -s k.sec -m fw.bin -t 'model=KR730 model=KR731' >/dev/null"
        " && minisign -S -l -s k.sec -m fw.bin -x legacy.minisig >/dev/null"
        " && minisign -S -s o.sec -m fw.bin -x other.minisig >/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    std::string error;
    const auto key = ParseTrustedKey(ReadText(d + "/k.pub"), error);
    const auto otherKey = ParseTrustedKey(ReadText(d + "/o.pub"), error);
    ASSERT_TRUE(key && otherKey) << error;
    // minisign prints the key id it wrote in the file's comment.
    EXPECT_NE(ReadText(d + "/k.pub").find("public key " + KeyIdText(key->id) + "\n"), std::string::npos);
    EXPECT_EQ(KeyIdText(std::array<uint8_t, 8>{0x19, 0xf6, 0xcc, 0x0b, 0xdd, 0x5b, 0xca, 0x04}),
              "4CA5BDD0BCCF619");
    std::string flippedBytes = bytes;
    flippedBytes[300 * 1024] ^= 0x01;
    const FirmwareImage signedImage(image, true);
    const FirmwareImage flippedImage(dir.File("flipped.bin", flippedBytes), true);
    const std::string good = ReadText(image + ".minisig");
    std::string otherModel = good;
    otherModel.replace(otherModel.find("model=KR730 model=KR731"), 23, "model=KR739 model=KR731");

    using V = SignatureVerdict;
    struct Row {
        const char* name;
        const FirmwareImage* image;
        std::string signature;
        std::vector<TrustedKey> keys;
        std::optional<V> verdict; // nullopt: the file is refused as no whole signature
        std::string says;
    };
    const std::vector<Row> rows = {
        {"signed by the trusted key", &signedImage, good, {*otherKey, *key}, V::Verified, "signed by key"},
        {"a flipped byte in the image",
         &flippedImage,
         good,
         {*key},
         V::TamperedImage,
         "the image is not the one signed"},
        {"a flipped byte in the signature",
         &signedImage,
         FlipBase64(good, 1, 40),
         {*key},
         V::TamperedSignature,
         "the signature file was changed"},
        {"a flipped byte in the global signature",
         &signedImage,
         FlipBase64(good, 3, 10),
         {*key},
         V::TamperedSignature,
         "the signature file was changed"},
        {"another model put into the trusted comment",
         &signedImage,
         otherModel,
         {*key},
         V::TamperedSignature,
         "the signature file was changed"},
        {"another key",
         &signedImage,
         ReadText(d + "/other.minisig"),
         {*key},
         V::OtherKey,
         "which is no trusted key (trusted: " + KeyIdText(key->id) + ")"},
        {"legacy, not prehashed",
         &signedImage,
         ReadText(d + "/legacy.minisig"),
         {*key},
         V::Legacy,
         "legacy format"},
        {"cut in its last line",
         &signedImage,
         good.substr(0, good.size() - 20),
         {*key},
         std::nullopt,
         "no base64 of the right length"},
        {"cut after two lines",
         &signedImage,
         good.substr(0, good.find("trusted comment: ", 20)),
         {*key},
         std::nullopt,
         "cut short"},
        {"empty", &signedImage, "", {*key}, std::nullopt, "cut short"},
        {"a public key instead",
         &signedImage,
         ReadText(d + "/k.pub") + "\n\n",
         {*key},
         std::nullopt,
         "no trusted comment"},
    };
    std::set<std::string> messages;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        error.clear();
        const auto signature = ParseSignature(row.signature, error);
        if (!row.verdict) {
            EXPECT_FALSE(signature);
            EXPECT_NE(error.find(row.says), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(signature) << error;
        const SignatureCheck check = VerifySignature(*row.image->Blake2b(), *signature, row.keys);
        EXPECT_EQ(check.verdict, *row.verdict) << check.message;
        EXPECT_NE(check.message.find(row.says), std::string::npos) << check.message;
        if (check.verdict != V::Verified) messages.insert(check.message);
    }
    EXPECT_EQ(messages.size(), 4u); // each refusal says which
    // The trusted comment names the models; a device answering as another is refused.
    const auto check = VerifySignature(*signedImage.Blake2b(), *ParseSignature(good, error), {*key});
    EXPECT_EQ(check.trustedComment, "model=KR730 model=KR731");
    EXPECT_EQ(check.models, (std::vector<std::string>{"KR730", "KR731"}));
    EXPECT_EQ(ModelsOf("timestamp:1\tfile:fw.bin  model=A model= xmodel=B model=C"),
              (std::vector<std::string>{"A", "C"}));
    DeviceEntry device{"127.0.0.10", "00:1b:7a:00:00:10", "KR730", {17}};
    EXPECT_FALSE(WrongModelText(device, check.models));
    EXPECT_FALSE(WrongModelText(device, {}));
    device.name = "KR740";
    EXPECT_EQ(WrongModelText(device, check.models),
              "the image is signed for KR730, KR731; this device answers as KR740; nothing was written");
    // Without a signature to check, no second hash is taken.
    EXPECT_FALSE(FirmwareImage(image).Blake2b());
}

TEST(FleetConsoleTest, LiveLinesEndWithTheOverallLineAndARedrawAfterAResizeCoversWrappedLines)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    FILE* out = ::fdopen(fds[1], "w");
    ASSERT_NE(out, nullptr);
    LogFile log;
    ConsoleView view(out, true, 40, 10, 1000, log);
    view.Expect(3);
    DeviceReport a, b;
    a.ip = "127.0.0.10";
    b.ip = "127.0.0.11";
    view.Attempt(a);
    view.Attempt(b);
    view.Progress(a, 500, 1.0);
    view.Tick();
    a.result = Result::Done;
    a.message = "Finished";
    view.Finished(a);
    // Two lines now (127.0.0.11 and the overall line), each up to 39 columns: at 20 columns
    // each takes two rows, so the redraw must go up four.
    view.Resize(20, 10);
    std::fclose(out);
    std::string text(65536, '\0');
    text.resize(static_cast<size_t>(::read(fds[0], text.data(), text.size())));
    ::close(fds[0]);
    EXPECT_NE(text.find("127.0.0.10       50%"), std::string::npos) << text;
    EXPECT_NE(text.find("overall: 0 done, 0 failed, 3 remaining"), std::string::npos) << text;
    EXPECT_NE(text.find("127.0.0.10: done; Finished"), std::string::npos) << text;
    EXPECT_NE(text.find("overall: 1 done, 0 failed, 2 remaining"), std::string::npos) << text;
    EXPECT_NE(text.rfind("\r\x1b[4A\x1b[J"), std::string::npos) << text;
    // After the resize no line is wider than the terminal.
    const std::string last = text.substr(text.rfind("\x1b[J") + 3);
    for (size_t start = 0, end; (end = last.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LT(end - start, 20u) << last;
}

// doctor: each fault in the facts turns exactly its own check from ok, in the order an
// upgrade meets them; what follows from an earlier failure is skipped, not failed again.
TEST(FleetDoctorTest, EachFaultNamesItsOwnCheckAndNoOther)
{
    using namespace fleet::doctor;
    using Answer = TftpFacts::Answer;
    Facts healthy;
    healthy.ip = "127.0.0.5";
    healthy.blockSize = 1468;
    healthy.jobs = 8;
    healthy.route = {true, "", "eth0", "127.0.0.1", true, 1500};
    healthy.discovery = {true, "", "127.255.255.255", {{"127.0.0.5", "02:00:00:00:00:05", "KR730", {17}}}};
    healthy.arp = {true, "", {"02:00:00:00:00:05"}};
    healthy.tftp = {Answer::Answered, 50123, "ERROR 2 'Only writes are accepted'", "", true, false, 1000};
    healthy.receiveBuffer = 212992 * 2;

    struct Row {
        const char* fault;
        std::function<void(Facts&)> inject;
        std::vector<std::pair<std::string, Status>> wanted; // every check not ok
    };
    const std::vector<Row> rows = {
        {"healthy", [](Facts&) {}, {}},
        {"no route",
         [](Facts& f) {
             f.route = {};
             f.route.error = "connect: Network is unreachable";
             f.discovery = {};
             f.arp = {};
             f.tftp = {};
         },
         {{"route", Status::Failed},
          {"mtu", Status::Skipped},
          {"discovery", Status::Skipped},
          {"duplicates", Status::Skipped},
          {"tftp", Status::Skipped},
          {"new-port", Status::Skipped}}},
        {"behind a router", [](Facts& f) { f.route.onLink = false; }, {{"route", Status::Warning}}},
        {"MTU below the block", [](Facts& f) { f.route.mtu = 1000; }, {{"mtu", Status::Failed}}},
        {"MTU exactly the block", [](Facts& f) { f.route.mtu = 1500; }, {}},
        {"broadcast dropped", [](Facts& f) { f.discovery.devices.clear(); }, {{"discovery", Status::Failed}}},
        {"nothing could be sent",
         [](Facts& f) {
             f.discovery = {false, "no interface", "", {}};
         },
         {{"discovery", Status::Failed}}},
        {"second host on the address (ARP)",
         [](Facts& f) { f.arp.macs.push_back("02:aa:bb:cc:dd:ee"); },
         {{"duplicates", Status::Failed}}},
        {"second device on the address (discovery)",
         [](Facts& f) { f.discovery.devices[0].conflicts = {"02:aa:bb:cc:dd:ee"}; },
         {{"duplicates", Status::Failed}}},
        {"one hardware address on two addresses",
         [](Facts& f) {
             f.discovery.devices.push_back({"127.0.0.9", "02:00:00:00:00:05", "KR730", {17}});
         },
         {{"duplicates", Status::Failed}}},
        {"no ARP rights",
         [](Facts& f) {
             f.arp = {false, "needs CAP_NET_RAW", {}};
         },
         {}},
        {"TFTP port closed",
         [](Facts& f) { f.tftp = {Answer::Unreachable, 0, "", "", true, false, 1000}; },
         {{"tftp", Status::Failed}, {"new-port", Status::Skipped}}},
        {"TFTP silent",
         [](Facts& f) { f.tftp = {Answer::None, 0, "", "", true, false, 1000}; },
         {{"tftp", Status::Failed}, {"new-port", Status::Skipped}}},
        {"firewall drops the new port",
         [](Facts& f) { f.tftp = {Answer::None, 50123, "", "", true, true, 1000}; },
         {{"new-port", Status::Failed}}},
        {"silent and unwatched",
         [](Facts& f) { f.tftp = {Answer::None, 0, "", "", false, false, 1000}; },
         {{"tftp", Status::Failed}, {"new-port", Status::Warning}}},
        {"answers from port 69", [](Facts& f) { f.tftp.fromPort = 69; }, {}},
        {"small buffer for the jobs",
         [](Facts& f) {
             f.receiveBuffer = 8 * AnswerCharge;
             f.jobs = 16;
         },
         {{"receive-buffer", Status::Warning}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        Facts facts = healthy;
        row.inject(facts);
        const auto checks = Diagnose(facts);
        ASSERT_EQ(checks.size(), 7u);
        EXPECT_EQ(checks[0].name, "route");
        EXPECT_EQ(checks[4].name, "tftp");
        EXPECT_EQ(checks[6].name, "receive-buffer");
        std::vector<std::pair<std::string, Status>> notOk;
        for (const auto& c : checks) {
            if (c.status != Status::Ok) notOk.emplace_back(c.name, c.status);
            // Every check not passed says what to do, unless it was not judged.
            EXPECT_EQ(c.advice.empty(), c.status == Status::Ok || c.status == Status::Skipped) << c.name;
            EXPECT_FALSE(c.detail.empty()) << c.name;
        }
        EXPECT_EQ(notOk, row.wanted);
        EXPECT_EQ(AllPassed(checks), row.wanted.empty());
    }
    // The advice gives the largest block that fits.
    Facts small = healthy;
    small.route.mtu = 1000;
    EXPECT_NE(Diagnose(small)[1].advice.find("--blksize 968 "), std::string::npos);
}
