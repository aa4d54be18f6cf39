// Reading settings and notes: only regular files, a cap on size, and the two code pages.
#include "rtl/TextCodec.h"
#include "app/TextFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

using namespace app;

namespace {

class TextFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "textfile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::current_path(oldDir_, ignored);
        fs::remove_all(dir_);
    }
    std::string Path(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
    fs::path oldDir_ = fs::current_path();
};

TEST_F(TextFileTest, OnlyRegularFilesAreRead)
{
    std::ofstream(Path("plain.txt"), std::ios::binary) << "a\0b"s;
    const auto plain = ReadTextFile(Path("plain.txt"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->bytes, "a\0b"s);
    EXPECT_FALSE(plain->truncated);

    // A pipe without a writer would block the open, a device would never end.
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", Path("zero"));
    fs::create_directory(Path("dir"));
    for (const char* name : {"pipe", "zero", "dir", "missing"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(ReadTextFile(Path(name)));
    }
    // A link to a regular file is that file.
    fs::create_symlink(Path("plain.txt"), Path("link"));
    EXPECT_TRUE(ReadTextFile(Path("link")));
}

TEST_F(TextFileTest, LongFilesAreCutAfterTheLastLineEndWithinTheCap)
{
    // Lines that fill the cap exactly: the file is read whole.
    const std::string line = std::string(1023, 'x') + "\n";
    std::string exact;
    while (exact.size() < MaxTextFileBytes)
        exact += line;
    ASSERT_EQ(exact.size(), MaxTextFileBytes);
    const std::string utf8Line = "Versi\xc3\xb3n \xe2\x82\xac\n"; // 2- and 3-byte characters
    const std::string before = exact.substr(0, MaxTextFileBytes - 2 * line.size()) + "Path1=kr730.bin\n";
    struct Row {
        const char* name;
        std::string bytes;
        std::string read; // what comes back
        bool truncated;
    };
    const std::vector<Row> rows = {
        {"at the cap", exact, exact, false},
        {"one byte more", exact + "\n", exact, true},
        // A cut line could name another, valid file: "Path1=kr730.b" is not read.
        {"cut setting", before + std::string(MaxTextFileBytes - before.size() - 4, 'y') + "\nPath1=kr730.bin\n",
         before + std::string(MaxTextFileBytes - before.size() - 4, 'y') + "\n", true},
        {"cut inside a line", before + std::string(MaxTextFileBytes, 'z') + "\n", before, true},
        // A character cut in two would make the whole file read as Windows-1252.
        {"cut inside a character",
         std::string(MaxTextFileBytes - 2 * line.size(), '\n') + std::string(2 * line.size() - 10, 'a') + utf8Line,
         std::string(MaxTextFileBytes - 2 * line.size(), '\n'), true},
        {"no line end within the cap", std::string(MaxTextFileBytes + 1, 'w'), "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::ofstream(Path("long"), std::ios::binary | std::ios::trunc) << row.bytes;
        const auto read = ReadTextFile(Path("long"));
        ASSERT_TRUE(read);
        EXPECT_EQ(read->bytes.size(), row.read.size());
        EXPECT_TRUE(read->bytes == row.read);
        EXPECT_EQ(read->truncated, row.truncated);
        EXPECT_TRUE(rtl::IsValidUtf8(read->bytes));
    }

    // A sparse file reports a huge size: the buffer must follow the cap, not the size.
    {
        std::ofstream(Path("sparse"), std::ios::binary) << "head\n";
    }
    fs::resize_file(Path("sparse"), 1ull << 40);
    const auto sparse = ReadTextFile(Path("sparse"));
    ASSERT_TRUE(sparse);
    EXPECT_EQ(sparse->bytes, "head\n");
    EXPECT_TRUE(sparse->truncated);
}

TEST_F(TextFileTest, ADeletedWorkingDirectoryReadsAsMissingFiles)
{
    EXPECT_EQ(InCurrentDirectory("FTPUPG.ini"), (fs::current_path() / "FTPUPG.ini").string());
    fs::create_directory(Path("gone"));
    fs::current_path(Path("gone"));
    fs::remove(Path("gone"));
    EXPECT_EQ(InCurrentDirectory("FTPUPG.ini"), "FTPUPG.ini");
    EXPECT_FALSE(ReadTextFile(InCurrentDirectory("FTPUPG.ini")));
}

TEST(TextCodecTest, FilesAreUtf8WhenValidElseWindows1252)
{
    struct Case {
        std::string bytes;
        std::string utf8;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},                                       // UTF-8 stays
        {"Caf\xE9", "Caf\xC3\xA9"},                                           // 1252 é
        {"\x80 \x9F \xFF", "\xE2\x82\xAC \xC5\xB8 \xC3\xBF"},                 // € Ÿ ÿ
        {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"}, // unassigned
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                                     // overlong '/': not UTF-8
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},                     // a surrogate: not UTF-8
        {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC"},     // above U+10FFFF
        {"\xE2\x82", "\xC3\xA2\xE2\x80\x9A"},                                 // cut short
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                             // four bytes, valid
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(rtl::TextAsUtf8(c.bytes), c.utf8);
    }
}

TEST(TextCodecTest, WhatGoesToTheDeviceIsWindows1252)
{
    struct Case {
        std::string utf8;
        std::string cp1252;
    };
    const Case cases[] = {
        {"secret", "secret"},
        {"\xC3\xA9", "\xE9"},                 // é, not c3 a9
        {"\xE2\x82\xAC\xC5\xB8", "\x80\x9F"}, // € Ÿ
        {"\xC2\x81", "\x81"},                 // round trip of an unassigned byte
        {"\xC2\x80", "?"},                    // U+0080 has no place in 1252
        {"\xCE\xA9", "?"},                    // Ω
        {"\xF0\x9F\x98\x80x", "?x"},          // one '?' per character
        {"a\xFF"
         "b",
         "a?b"}, // malformed input
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.utf8));
        EXPECT_EQ(rtl::Utf8ToCp1252(c.utf8), c.cp1252);
    }
    // Every byte survives the way to UTF-8 and back.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(rtl::Utf8ToCp1252(rtl::Cp1252ToUtf8(all)), all);
}

} // namespace
