#include "tests/app/form_fixture.h"

#include <QDir>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

void FormTest::SetUp()
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("ftpupg-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    oldDir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    FirmwarePaths.fill("");
    SetMessageBoxHook([this](const char* kind, const std::string& text) {
        boxes_.push_back({kind, text});
        if (onBox_) onBox_(boxes_.back());
    });
}

void FormTest::TearDown()
{
    Close();
    SetMessageBoxHook(nullptr);
    std::filesystem::current_path(oldDir_);
    std::filesystem::remove_all(dir_);
}

void FormTest::WriteFile(const std::string& name, const std::string& text)
{
    std::ofstream(std::filesystem::path(dir_) / name, std::ios::binary) << text;
}

TForm1& FormTest::Open()
{
    form_ = std::make_unique<TForm1>();
    form_->OnQuit = [this] { ++quitRequests_; };
    form_->show();
    EXPECT_TRUE(QTest::qWaitForWindowActive(form_.get()));
    QCoreApplication::processEvents();
    return *form_;
}

void FormTest::Close()
{
    form_.reset();
    QCoreApplication::processEvents();
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    setenv("NDXL_BROADCAST", "127.255.255.255", 1);
    setenv("FTPUPG_ARP_COMMAND", "true", 1);
    TApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
