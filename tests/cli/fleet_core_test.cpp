// Fleet rules without sockets: address lists, merging discovery answers, outcomes, progress
// text, the report and the image check. One device's password check is upgrade's
// (tests/upgrade).
#include "DeviceFrames.h"
#include "FleetCore.h"
#include "Image.h"
#include "Report.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace fleet;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Record(uint8_t protocol, const std::string& ip, uint8_t macLast = 0x10, uint16_t result = 0,
             const std::string& name = "KR730")
{
    using namespace DeviceFrames;
    Bytes r(ReplySize, 0);
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
        const std::string path = path_ + "/" + name;
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
    for (const char* good : {"127.0.0.10", "0.0.0.0", "255.255.255.255", "127.1.2.3"})
        EXPECT_TRUE(IsDeviceAddress(good)) << good;
    // Every other spelling would never match the device's own text.
    for (const char* bad : {"", "127.0.0", "127.0.0.1.", "127.0.0.256", "127.0.0.010", " 127.0.0.1", "127.0.0.1 ",
                            "127.0.0.-1", "127.0.0.1/8", "localhost", "1.2.3.4.5", "1..2.3", "1234.1.1.1"})
        EXPECT_FALSE(IsDeviceAddress(bad)) << bad;
    EXPECT_LT(AddressValue("127.0.0.9"), AddressValue("127.0.0.10"));
}

TEST(FleetAddressTest, ListSkipsCommentsAndBlanksKeepsOrderAndNamesTheBadLine)
{
    auto list = ParseAddressList("# lab rack\n127.0.0.12\n\n  127.0.0.10\t\r\n127.0.0.12\n127.0.0.11", "rack.txt");
    EXPECT_TRUE(list.error.empty());
    EXPECT_EQ(list.addresses, (std::vector<std::string>{"127.0.0.12", "127.0.0.10", "127.0.0.11"}));
    EXPECT_EQ(list.duplicates, std::vector<std::string>{"127.0.0.12"});

    list = ParseAddressList("127.0.0.10\n127.0.0.300\n127.0.0.11\n", "rack.txt");
    EXPECT_EQ(list.error, "rack.txt:2: not an IPv4 address: '127.0.0.300'");
    EXPECT_TRUE(ParseAddressList("", "x").addresses.empty());
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
    EXPECT_EQ(DisplayText("Caf\xe9 \x1b[2J\x7f"), "Caf\xc3\xa9 ?[2J?");
    EXPECT_EQ(DisplayText("\x80 5"), "\xe2\x82\xac 5"); // the window's code page, not Latin-1
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

TEST(FleetResultTest, NamesRoundTripAndOnlyTimeOutsAndTftpErrorsAreRetried)
{
    for (int r = 0; r <= static_cast<int>(Result::Interrupted); ++r)
        EXPECT_EQ(ResultFromName(ResultName(static_cast<Result>(r))), static_cast<Result>(r));
    EXPECT_FALSE(ResultFromName("finished"));
    EXPECT_TRUE(IsRetryable(Result::Timeout));
    EXPECT_TRUE(IsRetryable(Result::TftpError));
    EXPECT_TRUE(IsRetryable(Result::PasswordTimeout));
    for (Result r :
         {Result::Done, Result::PasswordRefused, Result::NoDevice, Result::LocalError, Result::Interrupted})
        EXPECT_FALSE(IsRetryable(r)) << ResultName(r);
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
    // An image that is an exact multiple of the block size still ends with an empty block.
    EXPECT_EQ(BlocksFor(1024, 1024), 2u);
    EXPECT_EQ(BlocksFor(1023, 1024), 1u);
    EXPECT_GT(BlocksFor(64ull << 20, 1024), 65535u);
}

TEST(FleetReportTest, ReportHoldsOptionsAndOutcomesButNeverThePassword)
{
    FleetOptions opts;
    opts.job.password = "Secret-PW-123";
    opts.jobs = 4;
    DeviceReport done;
    done.ip = "127.0.0.10";
    done.result = Result::Done;
    done.attempts = 2;
    done.bytes = 4096;
    done.transferSeconds = 2.0;
    done.device = DeviceEntry{"127.0.0.10", "00:1b:7a:00:00:10", "KR730", {17}};
    DeviceReport cut;
    cut.ip = "127.0.0.11";
    const auto report =
        BuildReport({"1.0", "a", "b", "ip", true}, {"img", 4096, "ab", 5, false}, opts, {done, cut});
    EXPECT_EQ(report.dump().find("Secret-PW-123"), std::string::npos);
    EXPECT_EQ(report["options"]["jobs"], 4);
    EXPECT_EQ(report["summary"]["done"], 1);
    EXPECT_EQ(report["devices"][0]["rate_bytes_per_s"], 2048.0);
    EXPECT_EQ(report["devices"][0]["device"]["protocols"][0], 17);
    EXPECT_EQ(report["devices"][1]["result"], "interrupted"); // a device never finished is never done
    EXPECT_TRUE(report["devices"][1]["device"].is_null());
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
