#include "app/IniFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "inifile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& content)
    {
        std::string path = (dir_ / "FTPUPG.ini").string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    TIniFile Ini(const std::string& content) { return TIniFile(Write(content)); }

    fs::path dir_;
};

TEST_F(IniFileTest, MissingFileGivesDefaultsAndIsNotCreated)
{
    const fs::path path = dir_ / "FTPUPG.ini";
    TIniFile ini(path.string());
    EXPECT_EQ(ini.ReadString("Data", "IP", "192.168.1.225"), "192.168.1.225");
    EXPECT_EQ(ini.ReadString("Data", "Path1", " "), " ");
    EXPECT_EQ(ini.ReadInteger("Data", "Path_no", 1), 1);
    EXPECT_FALSE(fs::exists(path));

    // A directory in place of the file reads as a missing file.
    fs::create_directory(path);
    EXPECT_EQ(TIniFile(path.string()).ReadString("Data", "IP", "dflt"), "dflt");
}

TEST_F(IniFileTest, NamesIgnoreCaseAndSurroundingBlanks)
{
    const TIniFile ini = Ini("  [ dAtA ]  \r\n\t ip \t=   127.0.0.7  \r\nTITLE=KR730 - Firmware Upgrade\r\n");
    EXPECT_EQ(ini.ReadString("Data", "IP", "x"), "127.0.0.7");
    EXPECT_EQ(ini.ReadString(" DATA ", " Ip ", "x"), "127.0.0.7");
    EXPECT_EQ(ini.ReadString("Data", "Title", "x"), "KR730 - Firmware Upgrade");
    EXPECT_EQ(ini.ReadString("Dat", "IP", "x"), "x");
    EXPECT_EQ(ini.ReadString("Data", "I", "x"), "x");
}

TEST_F(IniFileTest, OnePairOfMatchingQuotesIsRemoved)
{
    const TIniFile ini =
        Ini("[Data]\n"
            "A=\"  padded  \"\n"
            "B='single'\n"
            "C=\"mixed'\n"
            "D=\"\n"
            "E=\"\"\n"
            "F=say \"hi\"\n"
            "G=\"\"double\"\"\n");
    EXPECT_EQ(ini.ReadString("Data", "A", "x"), "  padded  ");
    EXPECT_EQ(ini.ReadString("Data", "B", "x"), "single");
    EXPECT_EQ(ini.ReadString("Data", "C", "x"), "\"mixed'");
    EXPECT_EQ(ini.ReadString("Data", "D", "x"), "\"");
    EXPECT_EQ(ini.ReadString("Data", "E", "x"), "");
    EXPECT_EQ(ini.ReadString("Data", "F", "x"), "say \"hi\"");
    EXPECT_EQ(ini.ReadString("Data", "G", "x"), "\"double\"");
    // The service returns zero-terminated text, so a stray NUL ends the value.
    EXPECT_EQ(Ini("[Data]\nIP=10.0\0.0.1\n"s).ReadString("Data", "IP", "x"), "10.0");
}

TEST_F(IniFileTest, OnlyWholeLineSemicolonCommentsAndEqualsSeparates)
{
    const TIniFile ini =
        Ini("[Data]\n"
            ";IP=127.1.1.1\n"
            "   ; Title=commented\n"
            "Ver=Ver. 2.0 ; beta\n"
            "#Path1=hash.bin\n"
            "IP: 127.0.0.5\n"
            "Path1 = C:\\fw\\a=b.bin\n"
            "Path2\n"
            "Path2=after bare name\n");
    EXPECT_EQ(ini.ReadString("Data", "IP", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Data", "Title", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Data", "Ver", "dflt"), "Ver. 2.0 ; beta");
    EXPECT_EQ(ini.ReadString("Data", "#Path1", "dflt"), "hash.bin");
    EXPECT_EQ(ini.ReadString("Data", "Path1", "dflt"), "C:\\fw\\a=b.bin");
    EXPECT_EQ(ini.ReadString("Data", "Path2", "dflt"), "after bare name");
}

TEST_F(IniFileTest, FirstSectionAndFirstKeyWin)
{
    const TIniFile ini =
        Ini("IP=before any section\n"
            "[Other]\nIP=other\n"
            "[Data]\nIP=first\nIP=second\nEmpty=\n"
            "[DATA]\nIP=third\nVer=only in the duplicate\n");
    EXPECT_EQ(ini.ReadString("Data", "IP", "x"), "first");
    EXPECT_EQ(ini.ReadString("Data", "Ver", "x"), "x");
    EXPECT_EQ(ini.ReadString("Other", "IP", "x"), "other");
    EXPECT_EQ(ini.ReadString("Data", "Empty", "x"), "");
    EXPECT_EQ(ini.ReadString("", "IP", "x"), "x");
}

TEST_F(IniFileTest, LineEndingsByteOrderMarkAndOddHeaders)
{
    for (const char* eol : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(eol)));
        const std::string e = eol;
        const TIniFile ini =
            Ini("\xEF\xBB\xBF[Data]" + e + "IP=127.1.2.3" + e + e + "Ver=v" + e + "Title=no final newline");
        EXPECT_EQ(ini.ReadString("Data", "IP", "x"), "127.1.2.3");
        EXPECT_EQ(ini.ReadString("Data", "Ver", "x"), "v");
        EXPECT_EQ(ini.ReadString("Data", "Title", "x"), "no final newline");
    }
    // An unclosed header does not start a section; text after ']' is ignored.
    const TIniFile ini = Ini("[Data] trailing\nIP=a\n[Broken\nVer=b\n");
    EXPECT_EQ(ini.ReadString("Data", "Ver", "x"), "b");
    EXPECT_EQ(ini.ReadString("Broken", "Ver", "x"), "x");
}

TEST_F(IniFileTest, ValuesAreCutTo2047Characters)
{
    std::string big;
    for (int i = 0; i < 3000; ++i)
        big += static_cast<char>('a' + i % 26);
    const TIniFile ini = Ini("[Data]\nPath1=" + big + "\nPath2=\"" + big + "\"\nIP=next line\n");
    EXPECT_EQ(ini.ReadString("Data", "Path1", "x"), big.substr(0, 2047));
    EXPECT_EQ(ini.ReadString("Data", "Path2", "x"), big.substr(0, 2047));
    EXPECT_EQ(ini.ReadString("Data", "IP", "x"), "next line");
    EXPECT_EQ(ini.ReadString("Data", "Missing", big), big.substr(0, 2047));
    // Exactly at the limit nothing is lost.
    const TIniFile exact = Ini("[Data]\nPath1=" + big.substr(0, 2047) + "\n");
    EXPECT_EQ(exact.ReadString("Data", "Path1", "x").size(), 2047u);
}

TEST_F(IniFileTest, DefaultLosesTrailingBlanksButKeepsItsFirstCharacter)
{
    const TIniFile ini = Ini("[Data]\n");
    EXPECT_EQ(ini.ReadString("Data", "Ver", "Ver. 1.3.2  "), "Ver. 1.3.2");
    EXPECT_EQ(ini.ReadString("Data", "Path1", " "), " ");
    EXPECT_EQ(ini.ReadString("Data", "Path1", "   "), " ");
    EXPECT_EQ(ini.ReadString("Data", "Path1", "  a"), "  a");
    EXPECT_EQ(ini.ReadString("Data", "Path1", ""), "");
}

TEST_F(IniFileTest, IntegerValuesFollowTheRuntimeConversion)
{
    struct Case {
        const char* line;
        int32_t expected;
    };
    const std::string spaces(2046, ' ');
    const std::vector<Case> cases = {
        {"Path_no=1", 1},
        {"Path_no=2", 2},
        {"Path_no=0", 0},
        {"Path_no=-1", -1},
        {"Path_no=11", 11},
        {"Path_no=0x3", 3},
        {"path_NO = 0X3 ", 3},
        {"Path_no=$3", 3},
        {"Path_no=x3", 3},
        {"Path_no=0xFFFFFFFF", -1},
        {"Path_no=$100000000", 1},
        {"Path_no=2147483648", 1},
        {"Path_no=3abc", 1},
        {"Path_no=3 x", 1},
        {"Path_no=\"3 \"", 1},
        {"Path_no=\" 0x3\"", 3},
        {"Path_no='  +4'", 4},
        {"Path_no=0x", 1},
        {"Path_no=$", 1},
        {"Path_no=-", 1},
        {"Path_no=", 1},
        {"Path_no=3;comment", 1},
        {"Other=5", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Ini(std::string("[Data]\n") + c.line + "\n").ReadInteger("Data", "Path_no", 1), c.expected);
    }
    // Blanks inside quotes survive trimming; the digit beyond the cut is lost.
    EXPECT_EQ(Ini("[Data]\nPath_no=\"" + spaces + "7\"\n").ReadInteger("Data", "Path_no", 1), 7);
    EXPECT_EQ(Ini("[Data]\nPath_no=\"" + spaces + " 7\"\n").ReadInteger("Data", "Path_no", 1), 1);
    EXPECT_EQ(TIniFile((dir_ / "none.ini").string()).ReadInteger("Data", "Path_no", -9), -9);
}

// Working directories can be deeper than one path the kernel accepts (PATH_MAX).
TEST_F(IniFileTest, ReadsThroughPathsLongerThanTheSystemLimit)
{
    std::vector<int> dirs{::open(dir_.c_str(), O_RDONLY | O_DIRECTORY)};
    ASSERT_GE(dirs.back(), 0);
    const std::string part(200, 'd');
    std::string path = dir_.string();
    while (path.size() < 2 * PATH_MAX) {
        ASSERT_EQ(::mkdirat(dirs.back(), part.c_str(), 0700), 0);
        dirs.push_back(::openat(dirs.back(), part.c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_GE(dirs.back(), 0);
        path += "/" + part;
    }
    const int fd = ::openat(dirs.back(), "FTPUPG.ini", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string content = "[Data]\nIP=127.9.8.7\n";
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);

    EXPECT_EQ(TIniFile(path + "/FTPUPG.ini").ReadString("Data", "IP", "x"), "127.9.8.7");
    EXPECT_EQ(TIniFile(path + "//FTPUPG.ini").ReadString("Data", "IP", "x"), "127.9.8.7");
    EXPECT_EQ(TIniFile(path + "/missing.ini").ReadString("Data", "IP", "x"), "x");

    ::unlinkat(dirs.back(), "FTPUPG.ini", 0);
    for (std::size_t i = dirs.size() - 1; i > 0; --i) {
        ::close(dirs[i]);
        ::unlinkat(dirs[i - 1], part.c_str(), AT_REMOVEDIR);
    }
    ::close(dirs.front());
}

} // namespace
