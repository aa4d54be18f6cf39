#include "app/SiteFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

using namespace app;

namespace {

TEST(StartOptionsTest, ArgumentsAndTheToolkitsOwn)
{
    struct Row {
        std::vector<std::string> args;
        bool choose;
        std::string site;
        std::string error; // part of the message; empty: none
    };
    const Row rows[] = {
        {{}, false, "", ""},
        {{"/srv/site"}, false, "/srv/site", ""},
        {{"--choose-folder"}, true, "", ""},
        {{"--choose-folder", "/srv/site/FTPUPG.ini"}, true, "/srv/site/FTPUPG.ini", ""},
        // The toolkit's options and their values are not folders.
        {{"-platform", "offscreen", "site"}, false, "site", ""},
        {{"--style=fusion", "-reverse", "site"}, false, "site", ""},
        {{"-display", ":1"}, false, "", ""},
        {{"--", "-odd-name"}, false, "-odd-name", ""},
        {{"a", "b"}, false, "a", "one site folder only"},
        {{"--choose"}, false, "", "unknown option --choose"},
        {{""}, false, "", "empty name"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        const StartOptions options = ParseStartOptions(row.args);
        if (row.error.empty()) {
            EXPECT_EQ(options.error, "");
            EXPECT_EQ(options.chooseFolder, row.choose);
            EXPECT_EQ(options.site, row.site);
        } else {
            EXPECT_NE(options.error.find(row.error), std::string::npos) << options.error;
        }
    }
    EXPECT_TRUE(ParseStartOptions({"-h"}).help);
    EXPECT_TRUE(ParseStartOptions({"site", "--version"}).version);
}

class SiteFolderTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "sitefolder-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        oldDir_ = fs::current_path();
    }
    void TearDown() override
    {
        fs::current_path(oldDir_);
        std::error_code ignored;
        fs::permissions(dir_ / "locked", fs::perms::owner_all, ignored);
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    void Write(const std::string& name) const { std::ofstream(Path(name)) << "[Data]\n"; }

    fs::path dir_, oldDir_;
};

TEST_F(SiteFolderTest, AFolderOrItsSettingsFile)
{
    fs::create_directories(dir_ / "site");
    fs::create_directories(dir_ / "empty");
    fs::create_directories(dir_ / "odd" / "FTPUPG.ini");
    Write("site/FTPUPG.ini");
    Write("site/other.ini");
    Write("site/ftpupg.ini");
    ASSERT_EQ(::mkfifo(Path("empty/FTPUPG.ini.pipe").c_str(), 0600), 0);

    struct Row {
        std::string argument;
        std::string path; // empty: unusable
        bool hasSettings;
        std::string error;
    };
    const Row rows[] = {
        {Path("site"), Path("site"), true, ""},
        {Path("site/"), Path("site/"), true, ""},
        {Path("site/FTPUPG.ini"), Path("site"), true, ""},
        {Path("empty"), Path("empty"), false, ""},
        // A settings "file" that is a folder is no settings file, as the window sees it.
        {Path("odd"), Path("odd"), false, ""},
        {Path("odd/FTPUPG.ini"), Path("odd/FTPUPG.ini"), false, ""},
        // The window reads FTPUPG.ini only: another name would open on the defaults.
        {Path("site/other.ini"), "", false, "neither a folder nor a file named FTPUPG.ini"},
        {Path("site/ftpupg.ini"), "", false, "neither a folder nor a file named FTPUPG.ini"},
        {Path("empty/FTPUPG.ini.pipe"), "", false, "neither a folder"},
        {Path("missing"), "", false, "does not exist"},
        {Path("missing/FTPUPG.ini"), "", false, "does not exist"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.argument);
        const SiteFolder site = ResolveSiteFolder(row.argument);
        EXPECT_EQ(site.path, row.path);
        if (row.error.empty()) {
            EXPECT_EQ(site.error, "");
            EXPECT_EQ(site.hasSettings, row.hasSettings);
        } else {
            EXPECT_NE(site.error.find(row.error), std::string::npos) << site.error;
        }
    }

    // A relative settings file names the folder it is in, the current one included.
    fs::current_path(dir_ / "site");
    EXPECT_EQ(ResolveSiteFolder("FTPUPG.ini").path, ".");
    std::string error;
    ASSERT_TRUE(EnterSiteFolder(ResolveSiteFolder("../empty").path, error)) << error;
    EXPECT_EQ(fs::current_path(), dir_ / "empty");
}

TEST_F(SiteFolderTest, MissingImagesAreNamedWithTheirFullPath)
{
    fs::create_directories(dir_ / "site" / "fw");
    std::ofstream(Path("site/fw/a.bin")) << "a";
    std::ofstream(Path("site/b.bin")) << "b";
    fs::create_directories(dir_ / "site" / "dir.bin");
    // Each row: FTPUPG.ini's [Data], the images missing (relative to the site folder).
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {"Path1=fw/a.bin\n", {}},
        {"Path1=gone.bin\n", {"gone.bin"}},
        {"", {}}, // no image named: nothing is missing
        {"Path_no=3\nPath1=fw/a.bin\nPath2=dir.bin\nPath3=./b.bin\n", {"dir.bin"}},
        // Without Path_no the window offers Path1 only; Path2 is no image of it.
        {"Path1=b.bin\nPath2=gone.bin\n", {}},
        {"Path_no=2\nPath1=../site/fw/../gone1.bin\nPath2=gone2.bin\n", {"gone1.bin", "gone2.bin"}},
    };
    for (const auto& [data, missing] : rows) {
        SCOPED_TRACE(data);
        std::ofstream(Path("site/FTPUPG.ini")) << "[Data]\n" << data;
        std::vector<std::string> expected;
        for (const auto& name : missing)
            expected.push_back(Path("site/" + name));
        EXPECT_EQ(MissingImages(Path("site")), expected);
    }
}

TEST_F(SiteFolderTest, AFolderThatCannotBeReadIsRefused)
{
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    fs::create_directories(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_exec);
    const SiteFolder site = ResolveSiteFolder(Path("locked"));
    EXPECT_EQ(site.path, "");
    EXPECT_NE(site.error.find("cannot open the folder"), std::string::npos) << site.error;
    std::string error;
    EXPECT_FALSE(EnterSiteFolder(Path("missing"), error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

} // namespace
