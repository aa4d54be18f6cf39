#include "rtl/Exception.h"
#include "rtl/IntConv.h"
#include "rtl/OptionHelp.h"
#include "rtl/SafeText.h"
#include "rtl/Stream.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <cerrno>

#include <cstdio>
#include <fstream>

TEST(IntConv, DecimalHexAndRejects)
{
    EXPECT_EQ(rtl::TryStrToInt("42"), 42);
    EXPECT_EQ(rtl::TryStrToInt("  -17"), -17);
    EXPECT_EQ(rtl::TryStrToInt("+8"), 8);
    EXPECT_EQ(rtl::TryStrToInt("$1f"), 31);
    EXPECT_EQ(rtl::TryStrToInt("x10"), 16);
    EXPECT_EQ(rtl::TryStrToInt("X10"), 16);
    EXPECT_EQ(rtl::TryStrToInt("0x10"), 16);
    EXPECT_EQ(rtl::TryStrToInt(" 0X10"), 16);
    EXPECT_EQ(rtl::TryStrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(rtl::TryStrToInt("$80000000"), INT32_MIN);
    EXPECT_EQ(rtl::TryStrToInt("2147483647"), INT32_MAX);
    EXPECT_EQ(rtl::TryStrToInt("-2147483648"), INT32_MIN);
    for (const char* bad : {"", " ", "-", "+", "$", "x", "0x", "3abc", "3 x", "3 ", "2147483648", "-2147483649",
                            "$100000000", "-$10", "1.5", "\t3"})
        EXPECT_FALSE(rtl::TryStrToInt(bad).has_value()) << '"' << bad << '"';
}

TEST(IntConv, StrToIntRaisesWithText)
{
    try {
        rtl::StrToInt("12a");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'12a' is not a valid integer value");
    }
}

TEST(IntConv, IniRules)
{
    EXPECT_EQ(rtl::IniStrToIntDef("0x3", 1), 3);
    EXPECT_EQ(rtl::IniStrToIntDef("$3", 1), 3);
    EXPECT_EQ(rtl::IniStrToIntDef("3abc", 1), 1);
    EXPECT_EQ(rtl::IniStrToIntDef("3 x", 1), 1);
    EXPECT_EQ(rtl::IniStrToIntDef("", 1), 1);
    EXPECT_EQ(rtl::IniStrToIntDef("0x", 7), 7);
    EXPECT_EQ(rtl::IniStrToIntDef("-1", 1), -1);
    EXPECT_EQ(rtl::IniStrToIntDef("0xffffffff", 1), -1);
}

TEST(FullStop, AppendedOnlyAfterDot)
{
    EXPECT_EQ(rtl::WithFullStop("Cannot open file note1.txt"), "Cannot open file note1.txt.");
    EXPECT_EQ(rtl::WithFullStop("Done."), "Done.");
    EXPECT_EQ(rtl::WithFullStop("Stop!"), "Stop!");
    EXPECT_EQ(rtl::WithFullStop("(x)"), "(x)");
    EXPECT_EQ(rtl::WithFullStop("a -"), "a -"); // '-' sorts before '.'
    EXPECT_EQ(rtl::WithFullStop("ends in /"), "ends in /.");
    EXPECT_EQ(rtl::WithFullStop(""), "");
    EXPECT_EQ(rtl::WithFullStop("Timeout"), "Timeout.");
}

TEST(Streams, FileStreamReadsAndRefusesMissingOrNonRegularFiles)
{
    const std::string path = testing::TempDir() + "rtl_stream.bin";
    {
        std::ofstream(path, std::ios::binary) << "abcdef";
    }
    {
        TFileStream file(path);
        EXPECT_EQ(file.Size(), 6);
        char buf[4];
        file.ReadBuffer(buf, 4);
        EXPECT_EQ(std::string(buf, 4), "abcd");
        EXPECT_EQ(file.Position(), 4);
        EXPECT_THROW(file.ReadBuffer(buf, 3), EReadError);
    }

    // Sharing denied: while one stream has the file, no cooperating program reads or writes
    // it, and a second stream is refused.
    {
        const int writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        TFileStream reader(path);
        EXPECT_NE(::flock(writer, LOCK_EX | LOCK_NB), 0) << "the reader's lock keeps a writer out";
        EXPECT_NE(::flock(writer, LOCK_SH | LOCK_NB), 0) << "and another reader";
        EXPECT_THROW(TFileStream second(path), EFOpenError);
        ::close(writer);
    }
    EXPECT_NO_THROW(TFileStream again(path)); // the lock went with the stream
    {
        const std::string other = testing::TempDir() + "rtl_stream_held.bin";
        std::ofstream(other, std::ios::binary) << "x";
        const int writer = ::open(other.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
        EXPECT_THROW(TFileStream held(other), EFOpenError);
        ::close(writer);
        std::remove(other.c_str());
    }

    try {
        TFileStream missing("/nonexistent/fw.bin");
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file /nonexistent/fw.bin");
    }
    EXPECT_THROW(TFileStream dir(testing::TempDir()), EFOpenError);
    // Nor a pipe without a writer (opened at once, not waited on) or a device.
    const std::string fifo = testing::TempDir() + "rtl_stream.fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(TFileStream pipe(fifo), EFOpenError);
    EXPECT_THROW(TFileStream device("/dev/zero"), EFOpenError);
    std::remove(fifo.c_str());
    std::remove(path.c_str());
}

// A file system that cannot lock (NFS without its lock service, ...) is read unlocked; a
// file another program holds is refused.
TEST(Streams, ReadLockByFlockResult)
{
    // An exclusive lock, and only where the file system wants a descriptor open for writing
    // for it, a shared one.
    static std::vector<int> calls;
    static int failExclusive = 0, failShared = 0;
    const auto fake = [](int, int operation) {
        calls.push_back(operation & ~LOCK_NB);
        errno = (operation & LOCK_EX) ? failExclusive : failShared;
        return errno == 0 ? 0 : -1;
    };
    const struct {
        int exclusive, shared;
        bool taken;
        std::vector<int> calls;
    } paths[] = {
        {0, 0, true, {LOCK_EX}},
        {EWOULDBLOCK, 0, false, {LOCK_EX}},
        {EBADF, 0, true, {LOCK_EX, LOCK_SH}},            // NFS: shared instead
        {EBADF, EWOULDBLOCK, false, {LOCK_EX, LOCK_SH}}, // and held by a writer there
        {EBADF, ENOLCK, true, {LOCK_EX, LOCK_SH}},       // no lock service: read unlocked
        {ENOLCK, 0, true, {LOCK_EX}},
    };
    for (const auto& path : paths) {
        calls.clear();
        failExclusive = path.exclusive;
        failShared = path.shared;
        EXPECT_EQ(rtl::LockExclusively(3, fake), path.taken) << path.exclusive << " " << path.shared;
        EXPECT_EQ(calls, path.calls) << path.exclusive << " " << path.shared;
    }

    using rtl::ReadLock;
    const struct {
        int result, error;
        ReadLock outcome;
    } rows[] = {
        {0, 0, ReadLock::Taken},
        {0, EWOULDBLOCK, ReadLock::Taken},
        {-1, EWOULDBLOCK, ReadLock::Refused},
        {-1, EINTR, ReadLock::Refused},
        {-1, ENOLCK, ReadLock::Unsupported},
        {-1, EOPNOTSUPP, ReadLock::Unsupported},
        {-1, ENOTSUP, ReadLock::Unsupported},
        {-1, ENOSYS, ReadLock::Unsupported},
        {-1, EINVAL, ReadLock::Unsupported},
        {-1, EBADF, ReadLock::Unsupported},
    };
    for (const auto& row : rows)
        EXPECT_EQ(rtl::ReadLockOutcome(row.result, row.error), row.outcome) << row.result << " " << row.error;
}

TEST(Streams, FileStreamHandsOutEveryByteInOrderWhateverTheReadSizes)
{
    const std::string path = testing::TempDir() + "rtl_chunks.bin";
    std::string bytes(200 * 1024 + 13, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + i / 977);
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    TFileStream file(path);
    std::string got;
    const size_t sizes[] = {1, 1024, 65535, 70000, 3, 512};
    for (size_t i = 0; got.size() < bytes.size(); ++i) {
        std::string part(sizes[i % 6], '\0');
        const size_t n = file.Read(part.data(), part.size());
        ASSERT_GT(n, 0u);
        got.append(part, 0, n);
        EXPECT_EQ(file.Position(), static_cast<int64_t>(got.size()));
    }
    EXPECT_EQ(got, bytes);
    char c;
    EXPECT_EQ(file.Read(&c, 1), 0u);
    std::remove(path.c_str());
}

// The parser's notation as an operator reads it: one help line per row.
TEST(OperatorHelp, OptionsInWords)
{
    CLI::App app{"test", "prog"};
    rtl::UseOperatorHelp(app);
    int port = 69, jobs = 8, retries = 0;
    std::string image, log;
    std::vector<std::string> ips;
    bool all = false;
    app.add_option("-p,--port", port, "server port")->type_name("PORT")->capture_default_str();
    app.add_option("--jobs", jobs, "Devices at once (default 8)")->check(CLI::Range(1, 256))->type_name("N");
    app.add_option("--retries", retries, "tries (at most)")->check(CLI::Range(0, 100))->type_name("N");
    app.add_option("--image", image, "Firmware image")->required()->type_name("FILE");
    auto* ipOption = app.add_option("--ip", ips, "A device")->type_name("IP");
    app.add_flag("--all", all, "Every device")->excludes(ipOption);
    app.add_option("--log", log, "Log file")->envname("PROG_LOG")->type_name("FILE");
    const std::string help = app.help();
    for (const char* line : {
             "  -p, --port PORT             server port (default 69)\n",
             "  --jobs N                    Devices at once (default 8; 1 to 256)\n",
             "  --retries N                 tries (at most); 0 to 100\n",
             "  --image FILE                Firmware image (required)\n",
             "  --ip IP...                  A device (not with --all)\n",
             "  --all                       Every device (not with --ip)\n",
             "  --log FILE                  Log file (or the environment variable PROG_LOG)\n",
         })
        EXPECT_NE(help.find(line), std::string::npos) << line << "in:\n" << help;
    EXPECT_EQ(help.find("--help-man"), std::string::npos) << "hidden";
}

// The manual's part: the program's and each command's options, the exit codes as a list.
TEST(OperatorHelp, ManualListsCommandsAndExitStatus)
{
    CLI::App app{"test", "prog"};
    rtl::UseOperatorHelp(app);
    app.footer("Exit status: 0 done, 1 a device failed, 2\nusage error.\nMore prose.");
    int wait = 1000;
    std::string ip;
    bool all = false;
    auto* scan = app.add_subcommand("scan", "Look around");
    scan->add_option("--wait", wait, "ms")->type_name("MS");
    // A group of options with a rule: its own list, the rule in words.
    auto* targets = scan->add_option_group("Targets");
    targets->add_option("--ip", ip, "one device")->type_name("IP");
    targets->add_flag("--all", all, "every device");
    targets->require_option(1);
    testing::internal::CaptureStdout();
    const char* argv[] = {"prog", "--help-man"};
    EXPECT_THROW(app.parse(2, const_cast<char**>(argv)), CLI::Success);
    const std::string manual = testing::internal::GetCapturedStdout();
    EXPECT_EQ(manual,
              "Options:\n"
              "  -h, --help                  Print this help message and exit\n"
              "\n"
              "Commands:\n"
              "  scan                        Look around\n"
              "\n"
              "Options of prog scan:\n"
              "  --wait MS                   ms\n"
              "\n"
              "Options of prog scan (Targets, exactly one):\n"
              "  --ip IP                     one device\n"
              "  --all                       every device\n"
              "\n"
              "*Exit Status*\n"
              "  0     done\n"
              "  1     a device failed\n"
              "  2     usage error\n");
    EXPECT_NE(scan->help().find("\nTargets (exactly one):\n  --ip IP                     one device\n"
                                "  --all                       every device\n"),
              std::string::npos)
        << scan->help();
}

// Text from devices, servers and files, one column per way we show it: inside our own lines
// with the bytes kept, the same for a terminal that may not be set to UTF-8, and as UTF-8 for
// a terminal or a JSON report.
TEST(SafeText, NoTextCanForgeALineOrDriveATerminal)
{
    using rtl::EightBit;
    struct Row {
        std::string text;
        std::string escaped;   // EscapeControls
        std::string escapedC1; // EscapeControls, 8-bit controls too
        std::string safe;      // SafeText
    };
    const Row rows[] = {
        {"KR730-2", "KR730-2", "KR730-2", "KR730-2"},
        {"", "", "", ""},
        {"a\nb", "a\\x0ab", "a\\x0ab", "a?b"},
        {"\r\t\x1b[31m", "\\x0d\\x09\\x1b[31m", "\\x0d\\x09\\x1b[31m", "???[31m"},
        {"\x7f\x01\x1f", "\\x7f\\x01\\x1f", "\\x7f\\x01\\x1f", "???"},
        {"C:\\x0a", "C:\\\\x0a", "C:\\\\x0a", "C:\\x0a"}, // a backslash cannot pose as an escape
        {"Caf\xe9 \x80\xff", "Caf\xe9 \x80\xff", "Caf\xe9 \\x80\xff", "Caf? ??"},
        {"CSI \x9b"
         "31m",
         "CSI \x9b"
         "31m",
         "CSI \\x9b31m", "CSI ?31m"}, // the one-byte escape introducer
        {"C1 \xc2\x9b"
         "31m",
         "C1 \xc2\x9b"
         "31m",
         "C1 \\xc2\\x9b31m", "C1 ?31m"}, // the same as U+009B
        {"\xc3\x80 nbsp \xc2\xa0", "\xc3\x80 nbsp \xc2\xa0", "\xc3\x80 nbsp \xc2\xa0", "\xc3\x80 nbsp \xc2\xa0"},
        {"bad \xff\xc3", "bad \xff\xc3", "bad \xff\xc3", "bad ??"}, // not UTF-8
        {"M\xc3\xbcller \xe2\x82\xac", "M\xc3\xbcller \xe2\x82\xac", "M\xc3\xbcller \xe2\x82\xac",
         "M\xc3\xbcller \xe2\x82\xac"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.text));
        EXPECT_EQ(rtl::EscapeControls(row.text), row.escaped);
        EXPECT_EQ(rtl::EscapeControls(row.text, EightBit::EscapeC1), row.escapedC1);
        EXPECT_EQ(rtl::SafeText(row.text), row.safe);
    }
    // A device's text is in the window's code page, whose unassigned bytes would be C1 controls.
    EXPECT_EQ(rtl::DisplayText("Caf\xe9 \x1b[2J\x7f"), "Caf\xc3\xa9 ?[2J?");
    EXPECT_EQ(rtl::DisplayText("\x80 5"), "\xe2\x82\xac 5");
    EXPECT_EQ(rtl::DisplayText("a\x81\x8d\x8f\x90\x9d\x9b b"), "a?????\xe2\x80\xba b");
    EXPECT_EQ(rtl::MaskLines("a\x1b\nb\n"), "a?\nb\n");
    EXPECT_EQ(rtl::OneLine("Socket Error # 10060\r\nConnection timed out."),
              "Socket Error # 10060: Connection timed out.");
}
