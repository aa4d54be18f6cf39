// The upload's lock-step rules as tables: what arrives, and what the state machine answers.
#include "Exception.h"
#include "IdTFTPException.h"
#include "IdTFTPUpload.h"

#include <cxxabi.h>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

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

std::string Describe(const UploadStep& step)
{
    switch (step.kind) {
    case UploadStep::SendNew: return "send " + std::to_string(step.block) + "/" + std::to_string(step.size);
    case UploadStep::Resend: return "resend";
    case UploadStep::Done: return "done";
    case UploadStep::Fail: break;
    }
    try {
        std::rethrow_exception(step.error);
    } catch (const Exception& e) {
        std::unique_ptr<char, void (*)(void*)> name(
            abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, nullptr), std::free);
        std::string code;
        if (const auto* tftp = dynamic_cast<const EIdTFTPException*>(&e); tftp && tftp->ServerCode() >= 0)
            code = " " + std::to_string(tftp->ServerCode());
        return "fail " + std::string(name.get()) + code + ": " + e.Message();
    }
}

struct Exchange {
    const char* in;
    const char* out;
};

// Plays the exchanges against a new upload of `bytes` bytes; a mismatch names its step.
void Play(int64_t bytes, std::initializer_list<Exchange> script)
{
    UploadState state(bytes);
    int i = 0;
    for (const Exchange& e : script) {
        ++i;
        const std::string input = e.in;
        UploadStep step;
        if (input == "TIMEOUT") {
            step = state.OnTimeout();
        } else {
            const std::string d = Datagram(input);
            step = state.OnDatagram(Bytes{reinterpret_cast<const uint8_t*>(d.data()), d.size()});
        }
        EXPECT_EQ(Describe(step), e.out) << "step " << i << ": " << input;
    }
}

TEST(UploadState, TheFirstAnswerPicksTheFirstBlock)
{
    Play(1000, {{"ACK 0", "send 1/512"}});
    Play(1000, {{"ACK 5", "send 6/512"}});
    Play(1000, {{"ACK 65535", "send 0/512"}});
    Play(1000, {{"ACK 65534", "send 65535/512"}});
    Play(1000, {{"OACK blksize 1024", "send 1/1000"}});
    Play(3000, {{"OACK BLKSIZE 1024", "send 1/1024"}});
    Play(1000, {{"OACK tsize 1000", "send 1/512"}});
    Play(1000, {{"HEX 0009|??", "send 1/512"}});
    Play(1000, {{"HEX 04", "send 1/512"}});           // too short for an opcode
    Play(1000, {{"HEX 000407", "send 1/512"}});       // ACK too short for its number
    Play(1000, {{"HEX 000501", "send 1/512"}});       // ERROR too short for its code
    Play(1000, {{"HEX 00030001|xyz", "send 1/512"}}); // DATA is no answer a writer expects
}

TEST(UploadState, OnlyTheAckOfTheBlockJustSentMovesOn)
{
    Play(1200, {{"ACK 0", "send 1/512"},
                {"ACK 0", "resend"}, // repeated
                {"ACK 2", "resend"}, // ahead
                {"ACK 65535", "resend"},
                {"OACK blksize 512", "resend"},
                {"HEX 0009", "resend"},
                {"ACK 1", "send 2/512"},
                {"ACK 1", "resend"}, // older
                {"ACK 2", "send 3/176"},
                {"ACK 2", "resend"}, // older, after the last block
                {"ACK 77", "resend"},
                {"ACK 3", "done"}});
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

TEST(UploadState, TheLastBlockIsTheFirstShortOne)
{
    Play(0, {{"ACK 0", "send 1/0"}, {"ACK 1", "done"}});
    Play(0, {{"ACK 0", "send 1/0"}, {"TIMEOUT", "done"}});
    Play(1024, {{"ACK 0", "send 1/512"}, {"ACK 1", "send 2/512"}, {"ACK 2", "send 3/0"}, {"ACK 3", "done"}});
    Play(1024, {{"OACK blksize 1024", "send 1/1024"}, {"ACK 1", "send 2/0"}, {"TIMEOUT", "done"}});
    Play(1500, {{"OACK blksize 1024", "send 1/1024"}, {"ACK 1", "send 2/476"}, {"ACK 2", "done"}});
    Play(-5, {{"ACK 0", "send 1/0"}}); // a source positioned past its end sends nothing
}

TEST(UploadState, TimeOutsBeforeTheLastBlockFail)
{
    Play(10, {{"TIMEOUT", "fail EIdTFTPException: Timeout"}});
    Play(1000, {{"ACK 0", "send 1/512"}, {"TIMEOUT", "fail EIdTFTPException: Timeout"}});
}

TEST(UploadState, ServerErrorsFailWithTheirClassCodeAndText)
{
    Play(10, {{"ERROR 1 File not found", "fail EIdTFTPFileNotFound 1: File not found"}});
    Play(10, {{"ERROR 8 Bad option", "fail EIdTFTPOptionNegotiationFailed 8: Bad option"}});
    Play(10, {{"ERROR 0", "fail EIdTFTPException 0: "}});
    Play(1000, {{"ACK 0", "send 1/512"}, {"ERROR 9 odd", "fail EIdTFTPException 9: odd"}});
    Play(10, {{"ACK 0", "send 1/10"}, {"ERROR 3 Flash full", "fail EIdTFTPAllocationExceeded 3: Flash full"}});
    Play(10, {{"HEX 00050002|no zero at the end", "fail EIdTFTPAccessViolation 2: no zero at the end"}});
}

TEST(UploadState, OptionAcknowledgements)
{
    Play(10, {{"OACK blksize 0",
               "fail EIdTFTPInvalidBlockSize: Invalid block size 0 from the server (allowed: 1 to 65464)"}});
    Play(10, {{"OACK blksize 65465",
               "fail EIdTFTPInvalidBlockSize: Invalid block size 65465 from the server (allowed: 1 to 65464)"}});
    Play(10, {{"OACK blksize 12a", "fail EConvertError: '12a' is not a valid integer value"}});
    Play(10, {{"HEX 0006|blksize", "fail EConvertError: '' is not a valid integer value"}});
    Play(100, {{"OACK blksize $10", "send 1/16"}});
    Play(70000, {{"OACK blksize 65464", "send 1/65464"}, {"ACK 1", "send 2/4536"}});
    // A late acknowledgement resends the current block; its size counts for later blocks.
    Play(2000, {{"ACK 0", "send 1/512"},
                {"OACK blksize 1024", "resend"},
                {"ACK 1", "send 2/1024"},
                {"ACK 2", "send 3/464"},
                {"OACK blksize x", "fail EConvertError: 'x' is not a valid integer value"}});
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
