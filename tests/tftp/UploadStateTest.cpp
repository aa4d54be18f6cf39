// The upload's lock-step rules as tables: what arrives, and what the state machine answers.
#include "rtl/Exception.h"
#include "tftp/IdTFTPException.h"
#include "tftp/IdTFTPUpload.h"
#include "tftp/ReliableUpload.h"
#include "tftp/TokenBucket.h"
#include "tftp/WindowControl.h"

#include <cmath>
#include <gtest/gtest.h>
#include <sstream>
#include <type_traits>

namespace {

using namespace std::string_literals;
using namespace tftp;

std::string Word(int v)
{
    return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}

// "ACK n", "OACK name value", "ERROR code text", "HEX bytes[|text]" or "TIMEOUT".
std::string Datagram(const std::string& input)
{
    std::istringstream in(input);
    std::string kind;
    in >> kind;
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (kind == "ACK") return Word(4) + Word(std::stoi(rest));
    if (kind == "OACK") {
        const size_t blank = rest.find(' ');
        return Word(6) + rest.substr(0, blank) + '\0' + rest.substr(blank + 1) + '\0';
    }
    if (kind == "ERROR") {
        const size_t blank = rest.find(' ');
        return Word(5) + Word(std::stoi(rest.substr(0, blank))) +
               (blank == std::string::npos ? "" : rest.substr(blank + 1)) + '\0';
    }
    // HEX
    const size_t bar = rest.find('|');
    std::string bytes;
    for (size_t i = 0; i + 1 < std::min(bar, rest.size()); i += 2)
        bytes += static_cast<char>(std::stoi(rest.substr(i, 2), nullptr, 16));
    return bar == std::string::npos ? bytes : bytes + rest.substr(bar + 1);
}

std::string StageName(ReliableUpload::Stage stage)
{
    using S = ReliableUpload::Stage;
    switch (stage) {
    case S::Open: return "open";
    case S::Probing: return "probing";
    case S::WindowAgain: return "window again";
    case S::Looking: return "looking";
    case S::PastWindow: return "past window";
    case S::PastLook: return "past look";
    }
    return "?";
}

std::string Describe(const UploadStep& step)
{
    switch (step.kind) {
    case UploadStep::SendNew: return "send " + std::to_string(step.block) + "/" + std::to_string(step.size);
    case UploadStep::Resend: return "resend";
    case UploadStep::SendBlocks: {
        const std::string first = std::to_string(step.block);
        if (step.count == 1) return "send " + first;
        return "send " + first + "-" + std::to_string(static_cast<uint16_t>(step.block + step.count - 1));
    }
    case UploadStep::Request: return "request";
    case UploadStep::Reject: return "reject";
    case UploadStep::Wait: return "wait";
    case UploadStep::Done: return "done";
    case UploadStep::Fail: break;
    }
    const UploadFailure& f = step.failure;
    switch (f.kind) {
    case UploadFailure::Timeout: return "fail " + f.message;
    case UploadFailure::ServerError: return "fail ERROR " + std::to_string(f.code) + ": " + f.message;
    case UploadFailure::BadBlockSize: return "fail blksize: " + f.message;
    case UploadFailure::BadWindowSize: return "fail windowsize: " + f.message;
    case UploadFailure::NotANumber: return "fail number: " + f.message;
    case UploadFailure::BadOption:
        return "refuse " + f.message.substr(f.message.find(": ") + 2) +
               (step.farewell.empty() ? "" : ", ERROR " + std::to_string(step.farewell[3]));
    case UploadFailure::Local: break;
    }
    return "?";
}

// Feeds one input and describes the answer. Inputs: "TIMEOUT" (classic: the receive time-out;
// reliable: a whole try of silence since the last send), "PROBE" (reliable: the timer's
// deadline, a wait short of a whole try), or a datagram as Datagram reads it, which the
// reliable policy takes at once after its last send unless it ends in " late" (a few round
// trips after it) or " after N" (N ms after it); "@B" at the end: from another sender than
// the server's transfer port. "STATE" answers the granted window, block size,
// retransmissions and whether the last block was acknowledged; "TIMER" the wait now due, the
// time-outs and the smoothed round trip; "STAGE" the reliable policy's stage of recovery;
// "HELD N": the last send went out only N ms later.
template <class State> std::string Feed(State& state, std::string input)
{
    constexpr bool reliable = std::is_same_v<State, ReliableUpload>;
    if (input == "STATE")
        return "window " + std::to_string(state.WindowSize()) + " blksize " + std::to_string(state.BlockSize()) +
               " retransmissions " + std::to_string(state.Retransmissions()) +
               (state.Acknowledged() ? " acknowledged" : "");
    if constexpr (!reliable) {
        if (input == "TIMEOUT") return Describe(state.OnTimeout());
    } else {
        if (input == "TIMEOUT") return Describe(state.OnTimeout(state.LastSend() + state.Timer().Ceiling()));
        if (input == "PROBE") return Describe(state.OnTimeout(state.Deadline()));
        if (input == "TIMER")
            return "wait " + std::to_string((state.Deadline() - state.LastSend()) / 1000) + " ms, " +
                   std::to_string(state.Timeouts()) + " timeouts, srtt " +
                   std::to_string(state.Timer().Smoothed() / 1000) + " ms";
        if (input == "STAGE") return StageName(state.Recovery());
        if (input.starts_with("HELD ")) {
            state.SentLater(state.LastSend() + std::stoll(input.substr(5)) * 1000);
            return "held";
        }
    }
    Peer from{0x7F000002, 1069};
    Micros now = 0;
    if constexpr (reliable) now = state.LastSend();
    if (input.size() > 5 && input.ends_with(" late")) {
        if constexpr (reliable) now += state.Timer().Base();
        input.resize(input.size() - 5);
    }
    if (const size_t at = input.rfind(" after "); at != std::string::npos) {
        now += std::stoll(input.substr(at + 7)) * 1000;
        input.resize(at);
    }
    if (const size_t at = input.rfind(" @"); at != std::string::npos) {
        from.port = static_cast<uint16_t>(2000 + input[at + 2]);
        input.resize(at);
    }
    const std::string d = Datagram(input);
    const tftp::Bytes bytes{reinterpret_cast<const uint8_t*>(d.data()), d.size()};
    if constexpr (reliable)
        return Describe(state.OnDatagram(bytes, from, now));
    else
        return Describe(state.OnDatagram(bytes));
}

struct Exchange {
    const char* in;
    const char* out;
};

// Plays the exchanges against a new classic upload of `bytes` bytes; a mismatch names its step.
void Play(int64_t bytes, std::initializer_list<Exchange> script)
{
    UploadState state(bytes);
    int i = 0;
    for (const Exchange& e : script) {
        ++i;
        EXPECT_EQ(Feed(state, e.in), e.out) << "step " << i << ": " << e.in;
    }
}

// The reliable policy: asks for block size 512 unless told, window `window`, 3 tries of at
// most a second (the timer's first wait: before a round trip is known, every wait is a try),
// no allowance for the first window.
UploadPolicy Reliable(int32_t window = 1, int32_t blockSize = 512, bool tsize = false)
{
    return UploadPolicy{blockSize, window, 3, tsize, 1000, 0};
}

// Plays the exchanges on against `state`.
void PlayOn(ReliableUpload& state, std::initializer_list<Exchange> script)
{
    int i = 0;
    for (const Exchange& e : script) {
        ++i;
        EXPECT_EQ(Feed(state, e.in), e.out) << "step " << i << ": " << e.in;
    }
}

void PlayReliable(int64_t bytes, UploadPolicy policy, std::initializer_list<Exchange> script)
{
    ReliableUpload state(bytes, policy);
    PlayOn(state, script);
}

// Where both policies have a rule, one row shows each one's answer (the reliable policy in
// lock-step, asking for the largest block size and no window).
struct Row {
    const char* in;
    const char* classic;
    const char* reliable;
};

void PlayBoth(int64_t bytes, std::initializer_list<Row> script)
{
    UploadState classic(bytes);
    ReliableUpload reliable(bytes, Reliable(1, MaxBlockSize));
    int i = 0;
    for (const Row& r : script) {
        ++i;
        if (*r.classic) {
            EXPECT_EQ(Feed(classic, r.in), r.classic) << "classic, step " << i << ": " << r.in;
        }
        if (*r.reliable) {
            EXPECT_EQ(Feed(reliable, r.in), r.reliable) << "reliable, step " << i << ": " << r.in;
        }
    }
}

TEST(UploadState, TheFirstAnswerPicksTheFirstBlock)
{
    // ACK n asks for block n + 1. Anything else: classic sends block 1, reliable waits for an
    // answer that starts the data.
    PlayBoth(1000, {{"ACK 0", "send 1/512", "send 1"}});
    PlayBoth(1000, {{"ACK 5", "send 6/512", "send 6"}});
    PlayBoth(1000, {{"ACK 65535", "send 0/512", "send 0"}});
    PlayBoth(1536, {{"ACK 65534", "send 65535/512", "send 65535"},
                    {"ACK 65535", "send 0/512", "send 0"},
                    {"ACK 0", "send 1/512", "send 1"},
                    {"ACK 1", "send 2/0", "send 2"},
                    {"ACK 2", "done", "done"}});
    PlayBoth(1000, {{"OACK blksize 1024", "send 1/1000", "send 1"},
                    {"STATE", "", "window 1 blksize 1024 retransmissions 0"}});
    PlayBoth(3000, {{"OACK BLKSIZE 1024", "send 1/1024", "send 1"}});
    PlayBoth(1000, {{"OACK tsize 1000", "send 1/512", "refuse option tsize was not asked for, ERROR 8"}});
    PlayBoth(1000, {{"HEX 0009|??", "send 1/512", "wait"}});
    PlayBoth(1000, {{"HEX 04", "send 1/512", "wait"}});           // too short for an opcode
    PlayBoth(1000, {{"HEX 000407", "send 1/512", "wait"}});       // ACK too short for its number
    PlayBoth(1000, {{"HEX 000501", "send 1/512", "wait"}});       // ERROR too short for its code
    PlayBoth(1000, {{"HEX 00030001|xyz", "send 1/512", "wait"}}); // DATA is no answer a writer expects
}

TEST(UploadState, OnlyTheAckOfTheBlockJustSentMovesOn)
{
    // Classic sends the current block again for any other answer. Reliable in lock-step
    // never sends a block again for a repeated ACK, late or not: only its timer does.
    PlayBoth(1200, {{"ACK 0", "send 1/512", "send 1"},
                    {"ACK 0", "resend", "wait"}, // repeated
                    {"ACK 0", "resend", "wait"},
                    {"ACK 2", "resend", "wait"}, // ahead
                    {"ACK 65535", "resend", "wait"},
                    {"OACK blksize 512", "resend", "wait"},
                    {"HEX 0009", "resend", "wait"},
                    {"HEX 04", "resend", "wait"},     // too short for an opcode
                    {"HEX 000407", "resend", "wait"}, // ACK too short for its number
                    {"HEX 000501", "resend", "wait"}, // ERROR too short for its code
                    {"ACK 1", "send 2/512", "send 2"},
                    {"ACK 1", "resend", "wait"},      // older; the echo of block 1 sent twice
                    {"ACK 1 late", "resend", "wait"}, // the receiver's own repeat
                    {"ACK 2", "send 3/176", "send 3"},
                    {"ACK 2", "resend", "wait"}, // older, after the last block
                    {"ACK 2 late", "resend", "wait"},
                    {"ACK 2 late", "resend", "wait"},
                    {"ACK 77", "resend", "wait"},
                    {"ACK 3", "done", "done"},
                    {"STATE", "window 1 blksize 512 retransmissions 0 acknowledged",
                     "window 1 blksize 512 retransmissions 0 acknowledged"}});
    // With a window, a repeat says the receiver lacks the next block: back to it once per
    // window; the first repeat after a window that went twice is its echo, unless late.
    PlayReliable(3000, Reliable(2),
                 {{"OACK windowsize 2", "send 1-2"},
                  {"ACK 2", "send 3-4"},
                  {"ACK 2", "send 3-4"},
                  {"ACK 2", "wait"},
                  {"ACK 4", "send 5-6"},
                  {"ACK 4", "wait"}, // the echo of 3-4 sent twice
                  {"ACK 4 late", "send 5-6"},
                  {"STATE", "window 2 blksize 512 retransmissions 4"}});
}

TEST(UploadState, BlockNumbersWrapWithoutSkippingData)
{
    // 4 blocks from 65534: 65535, 0, 1 and an empty last one.
    Play(1536, {{"ACK 65534", "send 65535/512"},
                {"ACK 65534", "resend"},
                {"ACK 65535", "send 0/512"},
                {"ACK 65535", "resend"}, // repeated ACK 65535 after block 0
                {"ACK 65534", "resend"}, // late and older, across the wrap
                {"ACK 1", "resend"},     // ahead, across the wrap
                {"ACK 0", "send 1/512"},
                {"ACK 65534", "resend"}, // the fault of old: read as a request for block 65535
                {"ACK 65535", "resend"},
                {"ACK 0", "resend"},
                {"ACK 1", "send 2/0"},
                {"ACK 0", "resend"},
                {"ACK 65535", "resend"},
                {"ACK 2", "done"}});
}

TEST(UploadState, TheLastBlockIsTheFirstShortOneAndOnlyItsAckIsSureToEnd)
{
    // Classic takes silence after the last block as the end; reliable sends it again.
    PlayBoth(0, {{"ACK 0", "send 1/0", "send 1"}, {"ACK 1", "done", "done"}});
    PlayBoth(0, {{"ACK 0", "send 1/0", "send 1"},
                 {"TIMEOUT", "done", "send 1"},
                 {"STATE", "window 1 blksize 512 retransmissions 0", "window 1 blksize 512 retransmissions 1"},
                 {"ACK 1", "", "done"},
                 {"STATE", "", "window 1 blksize 512 retransmissions 1 acknowledged"}});
    PlayBoth(1024, {{"ACK 0", "send 1/512", "send 1"},
                    {"ACK 1", "send 2/512", "send 2"},
                    {"ACK 2", "send 3/0", "send 3"},
                    {"ACK 3", "done", "done"}});
    PlayBoth(1024, {{"OACK blksize 1024", "send 1/1024", "send 1"},
                    {"ACK 1", "send 2/0", "send 2"},
                    {"TIMEOUT", "done", "send 2"}});
    PlayBoth(1500, {{"OACK blksize 1024", "send 1/1024", "send 1"},
                    {"ACK 1", "send 2/476", "send 2"},
                    {"ACK 2", "done", "done"}});
    PlayBoth(-5, {{"ACK 0", "send 1/0", "send 1"}}); // a source positioned past its end sends nothing
}

TEST(UploadState, TimeOuts)
{
    // Classic fails at the first time-out before the last block; reliable tries 3 times.
    PlayBoth(10, {{"TIMEOUT", "fail Timeout", "request"},
                  {"TIMEOUT", "", "request"},
                  {"TIMEOUT", "", "fail Timeout"},
                  {"STATE", "", "window 1 blksize 512 retransmissions 2"}});
    PlayBoth(1000, {{"ACK 0", "send 1/512", "send 1"},
                    {"TIMEOUT", "fail Timeout", "send 1"},
                    {"TIMEOUT", "", "send 1"},
                    {"TIMEOUT", "", "fail Timeout"}});
    // Progress gives each window its full tries again.
    PlayReliable(2000, Reliable(),
                 {{"TIMEOUT", "request"},
                  {"TIMEOUT", "request"},
                  {"ACK 0 after 2", "send 1"},
                  {"TIMER", "wait 6 ms, 2 timeouts, srtt 2 ms"}, // the last request's answer
                  {"TIMEOUT", "send 1"},
                  {"TIMEOUT", "send 1"},
                  {"ACK 1", "send 2"},
                  {"TIMEOUT", "send 2"},
                  {"TIMEOUT", "send 2"},
                  {"TIMEOUT", "fail Timeout"},
                  {"ACK 2", "wait"}}); // nothing after the end
}

TEST(UploadState, ServerErrorsFailWithTheirCodeAndText)
{
    PlayBoth(10, {{"ERROR 1 File not found", "fail ERROR 1: File not found", "fail ERROR 1: File not found"}});
    PlayBoth(10, {{"ERROR 0", "fail ERROR 0: ", "fail ERROR 0: "}});
    PlayBoth(1000, {{"ACK 0", "send 1/512", "send 1"}, {"ERROR 9 odd", "fail ERROR 9: odd", "fail ERROR 9: odd"}});
    PlayBoth(10, {{"ACK 0", "send 1/10", "send 1"},
                  {"ERROR 3 Flash full", "fail ERROR 3: Flash full", "fail ERROR 3: Flash full"}});
    PlayBoth(10, {{"HEX 00050002|no zero at the end", "fail ERROR 2: no zero at the end",
                   "fail ERROR 2: no zero at the end"}});
    // An option refusal: classic fails, reliable asks once more without options.
    PlayBoth(10, {{"ERROR 8 Bad option", "fail ERROR 8: Bad option", "request"},
                  {"ERROR 8 Bad option", "", "fail ERROR 8: Bad option"}});
}

TEST(UploadState, OptionAcknowledgements)
{
    // A block size is refused only where it cannot work: 0 or less, or a block too large
    // for a UDP/IPv4 datagram with its header.
    const char* tooLarge = "fail blksize: Invalid block size 65504 from the server (allowed: 1 to 65503)";
    PlayBoth(10, {{"OACK blksize 0", "fail blksize: Invalid block size 0 from the server (allowed: 1 to 65503)",
                   "refuse blksize 0 is not 8 to the 65464 asked for, ERROR 8"}});
    PlayBoth(10, {{"OACK blksize -4", "fail blksize: Invalid block size -4 from the server (allowed: 1 to 65503)",
                   "refuse blksize -4 is not 8 to the 65464 asked for, ERROR 8"}});
    PlayBoth(10,
             {{"OACK blksize 65504", tooLarge, "refuse blksize 65504 is not 8 to the 65464 asked for, ERROR 8"}});
    PlayBoth(10, {{"OACK blksize 2147483647",
                   "fail blksize: Invalid block size 2147483647 from the server (allowed: 1 to 65503)",
                   "refuse blksize 2147483647 is not 8 to the 65464 asked for, ERROR 8"}});
    // Reliable: a server's value that is no number is the server's fault, told with ERROR 8.
    PlayBoth(10, {{"OACK blksize 12a", "fail number: '12a' is not a valid integer value",
                   "refuse blksize '12a' is not a number, ERROR 8"}});
    PlayBoth(10, {{"HEX 0006|blksize", "fail number: '' is not a valid integer value",
                   "refuse blksize '' is not a number, ERROR 8"}});
    PlayBoth(100, {{"OACK blksize $10", "send 1/16", "send 1"}});
    PlayBoth(70000, {{"OACK blksize 65464", "send 1/65464", "send 1"}, {"ACK 1", "send 2/4536", "send 2"}});
    // Larger than the reliable policy asked for: refused.
    PlayBoth(70000, {{"OACK blksize 65465", "send 1/65465",
                      "refuse blksize 65465 is not 8 to the 65464 asked for, ERROR 8"},
                     {"ACK 1", "send 2/4535", ""}});
    PlayBoth(70000, {{"OACK blksize 65503", "send 1/65503",
                      "refuse blksize 65503 is not 8 to the 65464 asked for, ERROR 8"},
                     {"ACK 1", "send 2/4497", ""}});
    // A late acknowledgement: classic resends the current block and takes its size for later
    // blocks; reliable in lock-step waits for its timer, its block size fixed.
    PlayBoth(2000, {{"ACK 0", "send 1/512", "send 1"},
                    {"OACK blksize 1024", "resend", "wait"},
                    {"ACK 1", "send 2/1024", "send 2"},
                    {"ACK 2", "send 3/464", "send 3"},
                    {"OACK blksize x", "fail number: 'x' is not a valid integer value", "wait"}});
}

TEST(UploadState, FailuresRaiseTheirClassAndKindInOnePlace)
{
    using K = FailureKind;
    struct Case {
        UploadFailure failure;
        const std::type_info& type;
        int32_t serverCode;
        K kind;
    };
    const Case cases[] = {
        {{UploadFailure::Timeout, 0, "Timeout"}, typeid(EIdTFTPException), -1, K::Timeout},
        {{UploadFailure::ServerError, 1, "x"}, typeid(EIdTFTPFileNotFound), 1, K::ServerError},
        {{UploadFailure::ServerError, 2, "x"}, typeid(EIdTFTPAccessViolation), 2, K::ServerError},
        {{UploadFailure::ServerError, 3, "x"}, typeid(EIdTFTPAllocationExceeded), 3, K::ServerError},
        {{UploadFailure::ServerError, 4, "x"}, typeid(EIdTFTPIllegalOperation), 4, K::ServerError},
        {{UploadFailure::ServerError, 5, "x"}, typeid(EIdTFTPUnknownTransferID), 5, K::ServerError},
        {{UploadFailure::ServerError, 6, "x"}, typeid(EIdTFTPFileAlreadyExists), 6, K::ServerError},
        {{UploadFailure::ServerError, 7, "x"}, typeid(EIdTFTPNoSuchUser), 7, K::ServerError},
        {{UploadFailure::ServerError, 8, "x"}, typeid(EIdTFTPOptionNegotiationFailed), 8, K::ServerError},
        {{UploadFailure::ServerError, 0, "x"}, typeid(EIdTFTPException), 0, K::ServerError},
        // A server's text that reads like the client's own time-out is still the server's.
        {{UploadFailure::ServerError, 0, "Timeout"}, typeid(EIdTFTPException), 0, K::ServerError},
        {{UploadFailure::ServerError, 9, "x"}, typeid(EIdTFTPException), 9, K::ServerError},
        {{UploadFailure::BadBlockSize, 0, "x"}, typeid(EIdTFTPInvalidBlockSize), -1, K::BadBlockSize},
        {{UploadFailure::BadWindowSize, 0, "x"}, typeid(EIdTFTPOptionNegotiationFailed), -1, K::BadWindowSize},
        {{UploadFailure::BadOption, 0, "x"}, typeid(EIdTFTPOptionNegotiationFailed), -1, K::BadOption},
        {{UploadFailure::NotANumber, 0, "x"}, typeid(EConvertError), -2, K::NotANumber},
    };
    for (const Case& c : cases) {
        try {
            RaiseUploadFailure(c.failure);
        } catch (const Exception& e) {
            EXPECT_EQ(typeid(e), c.type) << static_cast<int>(c.failure.kind) << " " << c.failure.code;
            EXPECT_EQ(e.Message(), c.failure.message);
            if (const auto* t = dynamic_cast<const EIdTFTPException*>(&e)) {
                EXPECT_EQ(t->ServerCode(), c.serverCode);
                EXPECT_EQ(t->Kind(), c.kind) << static_cast<int>(c.failure.kind) << " " << c.failure.code;
            }
        }
    }
}

TEST(UploadState, RequestsAskForWhatThePolicySays)
{
    const auto request = [](int64_t bytes, UploadPolicy policy) {
        return ReliableUpload(bytes, policy).Request("fw.bin", "octet");
    };
    EXPECT_EQ(request(10, Reliable()), "\0\2fw.bin\0octet\0"s);
    EXPECT_EQ(request(10, Reliable(8, 1024)),
              "\0\2fw.bin\0octet\0blksize\0"
              "1024\0windowsize\0"
              "8\0"s);
    EXPECT_EQ(request(123456, Reliable(1, 1468, true)),
              "\0\2fw.bin\0octet\0blksize\0"
              "1468\0tsize\0"
              "123456\0"s);
    // After an option refusal the request goes out without options.
    ReliableUpload state(10, Reliable(8, 1024, true));
    EXPECT_EQ(Feed(state, "ERROR 8 no"), "request");
    EXPECT_EQ(state.Request("fw.bin", "netascii"), "\0\2fw.bin\0netascii\0"s);
}

TEST(UploadState, WindowsGoOutWholeAndGoBackToTheFirstBlockMissing)
{
    // 10 blocks of 512 (the last one short), window 4 asked and granted.
    PlayReliable(9 * 512 + 100, Reliable(4),
                 {
                     {"OACK windowsize 4", "send 1-4"},
                     {"ACK 4", "send 5-8"},
                     {"ACK 6", "send 7-10"}, // 7 and 8 missing: again
                     {"ACK 6", "send 7-10"}, // the block before the window: back once
                     {"ACK 6", "wait"},
                     {"ACK 4", "wait"},  // older than the window
                     {"ACK 11", "wait"}, // ahead of what went out
                     {"ACK 9", "send 10"},
                     {"TIMEOUT", "send 10"},
                     {"ACK 10", "done"},
                     {"STATE", "window 4 blksize 512 retransmissions 8 acknowledged"},
                 });
    // None granted: lock-step, which every server supports; a smaller window is taken.
    PlayReliable(2000, Reliable(8), {{"ACK 0", "send 1"}, {"STATE", "window 1 blksize 512 retransmissions 0"}});
    PlayReliable(2000, Reliable(8, 1024), {{"OACK blksize 1024", "send 1"}, {"ACK 1", "send 2"}});
    PlayReliable(9000, Reliable(8), {{"OACK WINDOWSIZE 3", "send 1-3"}, {"TIMEOUT", "send 1-3"}});
    // A window larger than asked, or none at all, cannot work: the server is told.
    PlayReliable(9000, Reliable(8),
                 {{"OACK windowsize 9", "refuse windowsize 9 is not 1 to the 8 asked for, ERROR 8"}});
    PlayReliable(9000, Reliable(8),
                 {{"OACK windowsize 0", "refuse windowsize 0 is not 1 to the 8 asked for, ERROR 8"}});
    PlayReliable(9000, Reliable(8),
                 {{"OACK windowsize -3", "refuse windowsize -3 is not 1 to the 8 asked for, ERROR 8"}});
    PlayReliable(9000, Reliable(8),
                 {{"OACK windowsize 65536", "refuse windowsize 65536 is not 1 to the 8 asked for, ERROR 8"}});
    PlayReliable(9000, Reliable(8),
                 {{"OACK windowsize many", "refuse windowsize 'many' is not a number, ERROR 8"}});
    // A repeated option acknowledgement: the server never saw block 1.
    PlayReliable(9000, Reliable(4),
                 {{"OACK windowsize 4", "send 1-4"},
                  {"OACK windowsize 4", "send 1-4"},
                  {"OACK windowsize 4", "wait"},
                  {"ACK 4", "send 5-8"},
                  {"OACK windowsize 4", "wait"}});
    // The whole file in one window, the last block empty.
    PlayReliable(1024, Reliable(8), {{"OACK windowsize 8", "send 1-3"}, {"ACK 3", "done"}});
}

// The reliable policy with the operator's default ceiling of 4 s, for a receiver known to
// answer data at once (no allowance for its first window).
UploadPolicy Patient(int32_t window, int32_t tries = 3)
{
    return UploadPolicy{512, window, tries, false, 4000, 0};
}

TEST(UploadState, TheTimerLearnsTheRoundTripAndProbesWithSingleBlocks)
{
    // 6 blocks. The first wait is a second; the answer 2 ms after the request gives a time-out
    // of 6 ms (round trip plus four variations). Time-outs send one block, the last sent and
    // the first unacknowledged in turn, each wait twice the one before.
    PlayReliable(3000, Patient(4),
                 {{"TIMER", "wait 1000 ms, 0 timeouts, srtt 0 ms"},
                  {"OACK windowsize 4 after 2", "send 1-4"},
                  {"TIMER", "wait 6 ms, 0 timeouts, srtt 2 ms"},
                  {"PROBE", "send 4"},
                  {"TIMER", "wait 12 ms, 1 timeouts, srtt 2 ms"},
                  {"PROBE", "send 1"},
                  {"PROBE", "send 4"},
                  {"ACK 9", "wait"}, // changes nothing, and moves no deadline
                  {"TIMER", "wait 48 ms, 3 timeouts, srtt 2 ms"},
                  {"STAGE", "probing"},
                  // Progress 42 ms after the window: the answer to blocks that went twice is
                  // no sample (Karn); the window before needed no time-out, so this is taken
                  // for a loss, and the wait is the learned one again.
                  {"ACK 4", "send 5-6"},
                  {"STAGE", "open"},
                  {"TIMER", "wait 6 ms, 3 timeouts, srtt 2 ms"},
                  // The receiver's answers to the probes of blocks it had: no news. With the
                  // last of them, every probe proves needless: the answer was the window's
                  // own, 42 ms late, learned as at most twice the first wait (12 ms), and
                  // the doubling ends.
                  {"ACK 4", "wait"},
                  {"ACK 4", "wait"},
                  {"ACK 4", "wait"},
                  {"TIMER", "wait 36 ms, 3 timeouts, srtt 12 ms"},
                  {"ACK 4", "send 5-6"}, // the next repeat is: block 5 went missing
                  {"ACK 6 after 10", "done"},
                  {"STATE", "window 4 blksize 512 retransmissions 5 acknowledged"}});
    // A clean answer is a sample; the first to data starts afresh from the request's (the
    // link's): 10 ms, then at once.
    PlayReliable(1100, Patient(1),
                 {{"ACK 0 after 2", "send 1"},
                  {"ACK 1 after 10", "send 2"},
                  {"TIMER", "wait 30 ms, 0 timeouts, srtt 10 ms"},
                  {"ACK 2", "send 3"},
                  {"TIMER", "wait 33 ms, 0 timeouts, srtt 8 ms"}});
    // A device that takes 12 ms to take each block, on a link of 1 ms, with no allowance for
    // a first window (as for a device slower than it): the request's answer teaches the link,
    // the first block times out and its probe goes; the answer 12 ms after the block is no
    // sample. The probe's echo proves it needless: twice the first wait is learned, and soon
    // every block goes once.
    PlayReliable(8 * 512 + 1, Patient(1),
                 {{"ACK 0 after 1", "send 1"},
                  {"TIMER", "wait 4 ms, 0 timeouts, srtt 1 ms"},
                  {"PROBE", "send 1"},
                  {"ACK 1 after 8", "send 2"},
                  {"TIMER", "wait 4 ms, 1 timeouts, srtt 1 ms"},
                  {"PROBE", "send 2"},
                  {"ACK 1 after 4", "wait"}, // the echo of block 1's probe
                  {"TIMER", "wait 24 ms, 2 timeouts, srtt 8 ms"},
                  {"ACK 2 after 8", "send 3"},
                  {"ACK 2 after 12", "wait"}, // and of block 2's
                  {"ACK 3 after 12", "send 4"},
                  {"ACK 4 after 12", "send 5"},
                  {"ACK 5 after 13", "send 6"},
                  {"ACK 6 after 11", "send 7"},
                  {"ACK 7 after 12", "send 8"},
                  {"TIMER", "wait 21 ms, 2 timeouts, srtt 9 ms"},
                  {"STATE", "window 1 blksize 512 retransmissions 2"}});
    // With the allowance for a first window the same device is learned from its first answer
    // to data, and nothing goes twice. A device slower than the allowance is probed as above.
    UploadPolicy allowing = Patient(4);
    allowing.firstWindowMs = 100;
    PlayReliable(12 * 512 + 1, allowing,
                 {{"OACK windowsize 4 after 1", "send 1-4"},
                  {"TIMER", "wait 100 ms, 0 timeouts, srtt 1 ms"},
                  {"ACK 4 after 12", "send 5-8"},
                  {"TIMER", "wait 36 ms, 0 timeouts, srtt 12 ms"},
                  {"ACK 8 after 12", "send 9-12"},
                  {"ACK 12 after 13", "send 13"},
                  {"STATE", "window 4 blksize 512 retransmissions 0"}});
    PlayReliable(8 * 512 + 1, allowing,
                 {{"OACK windowsize 4 after 1", "send 1-4"},
                  {"PROBE", "send 4"},
                  {"TIMER", "wait 200 ms, 1 timeouts, srtt 1 ms"},
                  // A repeat after the progress proves nothing yet: the probe's echo, or the
                  // server's own repeat for a lost block 5 (in.tftpd's after 10 ms).
                  {"ACK 4 after 2", "send 5-8"},
                  {"ACK 4 after 10", "wait"},
                  {"TIMER", "wait 100 ms, 1 timeouts, srtt 1 ms"}});
    // Window after window timing out is a receiver slower than the wait, not a loss: the
    // answer that is no sample then keeps the doubled wait as far as it took, until one that
    // is a sample comes.
    PlayReliable(20 * 512, Patient(4),
                 {{"OACK windowsize 4 after 1", "send 1-4"},
                  {"PROBE", "send 4"},
                  {"ACK 4 after 8", "send 5-8"},
                  {"TIMER", "wait 4 ms, 1 timeouts, srtt 1 ms"}, // one window: a loss
                  {"PROBE", "send 8"},
                  {"PROBE", "send 5"},
                  {"ACK 8 after 4", "send 9-12"},
                  {"TIMER", "wait 16 ms, 3 timeouts, srtt 1 ms"}, // the second in a row: kept
                  {"ACK 12 after 12", "send 13-16"},
                  {"TIMER", "wait 16 ms, 3 timeouts, srtt 1 ms"},
                  {"ACK 16 after 12", "send 17-20"},
                  {"TIMER", "wait 36 ms, 3 timeouts, srtt 12 ms"}}); // a sample: learned
    // In lock-step, the probe is the block itself; a repeated ACK sends nothing.
    PlayReliable(600, Patient(1),
                 {{"ACK 0", "send 1"},
                  {"ACK 0", "wait"},
                  {"PROBE", "send 1"},
                  {"ACK 0", "wait"},
                  {"PROBE", "send 1"},
                  {"ACK 1", "send 2"},
                  {"ACK 2", "done"}});
}

TEST(UploadState, ASendHeldBackByARateCapCountsFromWhenItWent)
{
    // Held back 30 ms, a block answered 2 ms after it went is a round trip of 2 ms, and its
    // wait runs from when it went: not a time-out before it was even sent.
    PlayReliable(1600, Patient(1),
                 {{"ACK 0 after 2", "send 1"},
                  {"HELD 30", "held"},
                  {"TIMER", "wait 6 ms, 0 timeouts, srtt 2 ms"},
                  {"ACK 1 after 2", "send 2"},
                  {"HELD 30", "held"},
                  {"TIMER", "wait 6 ms, 0 timeouts, srtt 2 ms"},
                  {"PROBE", "send 2"},
                  {"ACK 2", "send 3"},
                  {"HELD 0", "held"},
                  {"ACK 3", "send 4"},
                  {"ACK 4", "done"}});
}

TEST(TokenBucket, ASendGoesOnceTheDebtOfTheLastIsPaidAtTheRateOfItsTime)
{
    struct Row {
        int64_t bits;
        uint64_t rate;
        Micros now;
        Micros at; // when it may go
    };
    const auto play = [](TokenBucket bucket, std::initializer_list<Row> rows) {
        int i = 0;
        for (const Row& r : rows)
            EXPECT_EQ(bucket.Take(r.bits, r.rate, r.now), r.at) << "row " << ++i;
    };
    play(TokenBucket(), {{8000, 1000000, 1000, 1000},   // at once, 8 ms of debt at 1 Mbit/s
                         {8000, 1000000, 2000, 9000},   // asked early: once that is paid
                         {8000, 1000000, 9000, 17000},  // at its time: the second's debt follows
                         {8000, 2000000, 17000, 21000}, // the share doubled: the debt is paid twice as fast
                         {8000, 0, 21000, 21000},       // no cap: at once, and no debt kept
                         {8000, 1000000, 100000, 100000},
                         {1, 1000000, 200000, 200000}, // idle time pays the debt but earns nothing ahead
                         {8000, 1000000, 200000, 200001}});
    // A depth: idle time earns that much sending time ahead (16 ms at 1 Mbit/s), no more.
    play(TokenBucket(16000), {{8000, 1000000, 1000, 1000},
                              {8000, 1000000, 100000, 100000},
                              {8000, 1000000, 100000, 100000},
                              {8000, 1000000, 100000, 100000},
                              {8000, 1000000, 100000, 108000}});
}

TEST(UploadState, APauseShorterThanThePatienceCostsSingleProbes)
{
    // A device that stops answering: waits double from the learned 4 ms; for an eighth of
    // the ceiling (500 ms) only single blocks go out, then the window again with a short look
    // after it (its last block). No answer to that either: the receiver is taken for one
    // that has the window and answers no repeat (then the block past the window goes), and
    // from then on the window goes at every time-out but the look's. None uses up a try
    // until a wait is the whole ceiling.
    ReliableUpload state(100000, Patient(16));
    ASSERT_EQ(Feed(state, "OACK windowsize 16"), "send 1-16");
    std::vector<std::string> answers;
    std::vector<Micros> at;
    for (;;) {
        at.push_back(state.Deadline() / 1000);
        answers.push_back(Feed(state, "PROBE"));
        if (answers.back().starts_with("fail")) break;
    }
    const std::vector<std::string> first(answers.begin(), answers.begin() + 13);
    EXPECT_EQ(first,
              (std::vector<std::string>{"send 16", "send 1", "send 16", "send 1", "send 16", "send 1", "send 1-16",
                                        "send 16", "send 17", "send 17", "send 1-16", "send 16", "send 17-18"}));
    EXPECT_EQ(std::vector<Micros>(at.begin(), at.begin() + 8),
              (std::vector<Micros>{4, 12, 28, 60, 124, 252, 508, 512}));
    EXPECT_EQ(answers.back(), "fail Timeout");
    EXPECT_EQ(at.back(), 13580); // the doubling reaches the ceiling, then three whole tries of 4 s
    // The pause over, its answers come at once: the window's ACK and one per probe.
    ReliableUpload paused(100000, Patient(16));
    ASSERT_EQ(Feed(paused, "OACK windowsize 16"), "send 1-16");
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(Feed(paused, "PROBE").find('-'), std::string::npos);
    // One window's pause is taken for a loss: the wait is the learned one again. The last
    // probe's answer proves the probes needless, but a pause is no device's usual time: it is
    // learned only as twice the first wait.
    EXPECT_EQ(Feed(paused, "ACK 16 after 48"), "send 17-32");
    EXPECT_EQ(Feed(paused, "TIMER"), "wait 4 ms, 6 timeouts, srtt 0 ms");
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(Feed(paused, "ACK 16"), "wait");
    EXPECT_EQ(Feed(paused, "TIMER"), "wait 24 ms, 6 timeouts, srtt 8 ms");
    EXPECT_EQ(Feed(paused, "STATE"), "window 16 blksize 512 retransmissions 6");
    // Silence longer than the ceiling is a whole try however short the wait due.
    EXPECT_EQ(Feed(paused, "TIMEOUT"), "send 17-32");
    EXPECT_EQ(Feed(paused, "TIMEOUT"), "send 17-32");
    EXPECT_EQ(Feed(paused, "TIMEOUT"), "fail Timeout");
}

TEST(UploadState, AReceiverDeafToSingleBlocksGetsTheWindowSooner)
{
    // Window 4, time-out 6 ms. The receiver lacks a block of the window and its word of the
    // gap was lost: it answers no single block, only the window from the block it lacks and
    // then a repeat of the window's last block.
    const auto unanswered = [](ReliableUpload& state) {
        PlayOn(state, {{"OACK windowsize 4 after 2", "send 1-4"},
                       {"STAGE", "open"},
                       {"PROBE", "send 4"},
                       {"STAGE", "probing"},
                       {"PROBE", "send 1"},
                       {"PROBE", "send 4"},
                       {"PROBE", "send 1"},
                       {"PROBE", "send 4"},
                       {"PROBE", "send 1"},
                       {"PROBE", "send 1-4"}, // half a second of patience
                       {"STAGE", "window again"},
                       {"TIMER", "wait 6 ms, 7 timeouts, srtt 2 ms"},
                       {"PROBE", "send 4"}, // the look after it; both wait the learned time-out
                       {"STAGE", "looking"},
                       {"TIMER", "wait 6 ms, 8 timeouts, srtt 2 ms"}});
    };
    ReliableUpload deaf(10000, Patient(4)); // 20 blocks
    unanswered(deaf);
    PlayOn(deaf, {{"ACK 4", "send 5-8"},
                  // Answered only after the window: from now on two time-outs of patience.
                  {"PROBE", "send 8"},
                  {"PROBE", "send 5-8"},
                  {"PROBE", "send 8"},
                  {"ACK 8", "send 9-12"},
                  // The receiver has the window; its ACK and its one answer to a repeat were
                  // lost, and it answers no other: the block past the window wakes it.
                  {"PROBE", "send 12"},
                  {"PROBE", "send 9-12"},
                  {"PROBE", "send 12"},
                  {"PROBE", "send 13"},
                  {"STAGE", "past window"},
                  {"TIMER", "wait 6 ms, 15 timeouts, srtt 2 ms"},
                  {"PROBE", "send 13"}, // a look after it, which waits the doubled time-out
                  {"STAGE", "past look"},
                  {"TIMER", "wait 48 ms, 16 timeouts, srtt 2 ms"},
                  {"ACK 13", "send 14-17"},
                  {"STAGE", "open"},
                  {"STATE", "window 4 blksize 512 retransmissions 24"}});
    // Those past the window go again with one more; none past the file's last block.
    ReliableUpload end(4000, Patient(4)); // 8 blocks
    unanswered(end);
    PlayOn(end, {{"PROBE", "send 5"},
                 {"PROBE", "send 5"},
                 {"PROBE", "send 1-4"},
                 {"PROBE", "send 4"},
                 {"STATE", "window 4 blksize 512 retransmissions 17"},
                 {"PROBE", "send 5-6"}, // and one more never sent
                 {"STATE", "window 4 blksize 512 retransmissions 18"},
                 {"ACK 4", "send 5-8"},
                 {"PROBE", "send 8"},
                 {"PROBE", "send 5-8"},
                 {"PROBE", "send 8"},
                 {"PROBE", "send 5-8"}});
    // Nor in lock-step.
    ReliableUpload lockStep(1100, Patient(1));
    ASSERT_EQ(Feed(lockStep, "ACK 0 after 2"), "send 1");
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Feed(lockStep, "PROBE"), "send 1") << i;
    // With nothing past the window, a silence still comes to whole tries and the end.
    ReliableUpload last(1500, Patient(8));
    ASSERT_EQ(Feed(last, "OACK windowsize 8"), "send 1-3");
    int steps = 0;
    while (Feed(last, "PROBE") != "fail Timeout")
        ASSERT_LT(++steps, 100);
}

// Which repeats are news, event by event: "probe", "back" (the window went again for a
// repeat), "progress", "timeout", or a repeat ("repeat", "late repeat") answered with its
// verdict; "quiet" says whether an answer now answers one send alone.
TEST(RepeatFilter, ARepeatIsNewsUnlessItAnswersACopyWeSent)
{
    const auto play = [](std::initializer_list<std::pair<const char*, const char*>> rows) {
        RepeatFilter filter;
        int i = 0;
        for (const auto& [event, expected] : rows) {
            ++i;
            const std::string e = event;
            std::string got = "-";
            if (e == "probe") filter.Probed();
            if (e == "back") filter.WentBack();
            if (e == "progress") filter.Progressed();
            if (e == "timeout") filter.TimedOut();
            if (e == "quiet") got = filter.Quiet() ? "yes" : "no";
            if (e == "repeat" || e == "late repeat") {
                const auto v = filter.Judge(e == "late repeat");
                got = v == RepeatFilter::Verdict::Echo  ? "echo"
                      : v == RepeatFilter::Verdict::Gap ? "gap"
                                                        : "ignore";
            }
            EXPECT_EQ(got, expected) << "row " << i << ": " << event;
        }
    };
    // Two probes of blocks the receiver had: their answers after the progress are echoes,
    // late or not (a busy device answers late); the one after them is news.
    play({{"quiet", "yes"},
          {"probe", "-"},
          {"probe", "-"},
          {"quiet", "no"},
          {"repeat", "gap"}, // before the progress a repeat says a block is missing
          {"progress", "-"},
          {"quiet", "no"},
          {"late repeat", "echo"},
          {"repeat", "echo"},
          {"quiet", "yes"},
          {"repeat", "gap"}});
    // Back once per window: its copies' answers are ignored until a late one, and through
    // the next window too; a time-out makes every repeat news again.
    play({{"back", "-"},
          {"quiet", "no"},
          {"repeat", "ignore"},
          {"late repeat", "gap"},
          {"back", "-"},
          {"progress", "-"},
          {"repeat", "ignore"},
          {"timeout", "-"},
          {"repeat", "gap"}});
    // Echoes are forgotten at the second progress: a lost one cannot hide a gap for long.
    play({{"probe", "-"}, {"progress", "-"}, {"progress", "-"}, {"quiet", "yes"}, {"repeat", "gap"}});
}

// Window control, answer by answer (times in microseconds, the path's fastest round trip
// 100): where the losses fall, the burst, and the pace in blocks per second once paced.
struct PathRow {
    int64_t blocks;
    int64_t missing;
    Micros elapsed;
    bool timedOut;
    const char* expected;
};

void PlayPath(int32_t window, std::initializer_list<PathRow> rows)
{
    WindowControl control(window);
    int i = 0;
    for (const PathRow& r : rows) {
        ++i;
        const bool overflowed = control.Answered({r.blocks, r.missing, r.elapsed, 100, r.timedOut});
        std::string got = (overflowed ? "overflow, burst " : "burst ") + std::to_string(control.Burst());
        if (control.Paced()) got += ", " + std::to_string(std::lround(control.Rate())) + "/s";
        EXPECT_EQ(got, r.expected) << "answer " << i;
    }
}

TEST(WindowControl, AShortQueueIsToldFromALossyWireByWhereTheLossesFall)
{
    PlayPath(8, {
                    {8, 0, 900, false, "burst 8"},                    // 10000 blocks/s, the window at once
                    {3, 5, 400, false, "burst 8"},                    // a lone loss
                    {6, 2, 700, false, "burst 8"},                    // another, elsewhere
                    {5, 3, 600, false, "overflow, burst 4, 10000/s"}, // near the depth of the last
                    {8, 0, 500, false, "burst 5, 20000/s"},           // whole: one block more
                    {8, 0, 1700, false, "burst 6, 10000/s"},          // the pace: median of three
                    {8, 0, 400, true, "burst 6, 10000/s"},            // after a time-out: no news
                    {8, 0, 900, false, "burst 7, 10000/s"},           // one below the burst that overflowed
                    {8, 0, 900, false, "burst 7, 10000/s"},
                });
    // Without a window taken whole before, the lossy one's delivery sets the pace.
    PlayPath(64, {{16, 48, 2100, false, "burst 64"}, {17, 47, 2100, false, "overflow, burst 32, 8500/s"}});
    // Above the burst that overflowed, one block more per 16 windows taken whole.
    WindowControl control(16);
    control.Answered({4, 12, 500, 100, false});
    ASSERT_TRUE(control.Answered({4, 12, 500, 100, false}));
    std::vector<int32_t> bursts;
    for (int i = 0; i < 26; ++i) {
        control.Answered({16, 0, 1700, 100, false});
        bursts.push_back(control.Burst());
    }
    EXPECT_EQ(bursts, (std::vector<int32_t>{9,  10, 11, 12, 13, 14, 15, 15, 15, 15, 15, 15, 15,
                                            15, 15, 15, 15, 15, 15, 15, 15, 15, 16, 16, 16, 16}));
    // 16 blocks at 10000/s, paced a third faster: four blocks more in a queue at the path's rate.
    EXPECT_EQ(control.Spacing(16), 1200);
    EXPECT_EQ(WindowControl(64).Spacing(64), 0); // not paced before an overflow
}

TEST(UploadState, AfterAnOverflowTheWindowGoesInPacedBursts)
{
    // 21 blocks, window 8. The same depth lost twice: bursts of 4, the next one due when the
    // path has taken the first (3 blocks in 2 ms, paced twice as fast).
    PlayReliable(20 * 512 + 100, Patient(8),
                 {{"OACK windowsize 8 after 1", "send 1-8"},
                  {"ACK 3 after 3", "send 4-11"},
                  {"ACK 6 after 3", "send 7-10"},
                  {"TIMER", "wait 1 ms, 0 timeouts, srtt 3 ms"},
                  {"PROBE", "send 11-14"},
                  {"ACK 14 after 1", "send 15-19"}, // taken whole: one block more
                  {"PROBE", "send 20-21"},
                  {"ACK 21", "done"},
                  {"STATE", "window 8 blksize 512 retransmissions 10 acknowledged"}});
}

TEST(UploadState, ThePeerIsLockedAfterItsFirstAnswer)
{
    PlayReliable(1500, Reliable(4),
                 {
                     {"OACK windowsize 4", "send 1-3"},
                     {"ACK 3 @B", "reject"}, // another port: the transfer goes on without it
                     {"ERROR 1 stop @B", "reject"},
                     {"ACK 2", "send 3"},
                     {"ACK 3", "done"},
                 });
    // Before the first answer, anyone may be the server; an option refusal frees the lock
    // for the new request's answer.
    PlayReliable(1500, Reliable(4),
                 {{"ERROR 8 no options @C", "request"}, {"ACK 0 @D", "send 1"}, {"ACK 1 @C", "reject"}});
    // Classic takes answers from anyone.
    Play(1500, {{"ACK 0", "send 1/512"}, {"ACK 1 @B", "send 2/512"}});
}

TEST(UploadState, WindowsSlideAcrossTheBlockNumberWrap)
{
    // Blocks of 1 byte: 65580 of them, the last one (number 44) empty.
    ReliableUpload state(65579, Reliable(16, 1));
    EXPECT_EQ(Feed(state,
                   "OACK blksize 1\0windowsize\0"s
                   "16"),
              "send 1-16");
    int64_t out = 16;
    while (out < 65520) {
        ASSERT_EQ(Feed(state, "ACK " + std::to_string(out)),
                  "send " + std::to_string(out + 1) + "-" + std::to_string(out + 16));
        out += 16;
    }
    EXPECT_EQ(Feed(state, "ACK 65520"), "send 65521-0"); // the window ends on block number 0
    EXPECT_EQ(Feed(state, "ACK 4"), "wait");             // ahead of the window, after the wrap
    EXPECT_EQ(Feed(state, "ACK 65535"), "send 0-15");    // 0 missing: from it
    EXPECT_EQ(Feed(state, "ACK 65530"), "wait");         // older, before the wrap
    EXPECT_EQ(Feed(state, "ACK 3"), "send 4-19");
    EXPECT_EQ(Feed(state, "ACK 19"), "send 20-35");
    EXPECT_EQ(Feed(state, "ACK 35"), "send 36-44");
    EXPECT_EQ(Feed(state, "ACK 43"), "send 44");
    EXPECT_EQ(Feed(state, "ACK 44"), "done");
    EXPECT_EQ(Feed(state, "STATE"), "window 16 blksize 1 retransmissions 14 acknowledged");
}

TEST(UploadState, MoreThan65536BlocksCountOnAcrossTheWrap)
{
    const int64_t bytes = 70000LL * 512 + 3;
    UploadState state(bytes);
    auto ack = [&](int n) {
        const std::string d = Word(4) + Word(n);
        return state.OnDatagram(Bytes{reinterpret_cast<const uint8_t*>(d.data()), d.size()});
    };
    int64_t sent = 0;
    UploadStep step = ack(0);
    int64_t blocks = 0;
    for (;;) {
        if (step.kind == UploadStep::Done) break;
        ASSERT_EQ(step.kind, UploadStep::SendNew);
        sent += step.size;
        ++blocks;
        ASSERT_EQ(step.block, blocks & 0xFFFF);
        ASSERT_EQ(ack((step.block - 1) & 0xFFFF).kind, UploadStep::Resend);
        step = ack(step.block);
    }
    EXPECT_EQ(sent, bytes);
    EXPECT_EQ(blocks, 70001);
}

} // namespace
