// "GO" end to end: the real main window offscreen against simulated devices on loopback,
// message boxes answered by the test.
#include "tests/app/form_fixture.h"

#include "sim/DeviceResponder.h"
#include "app/PumpWait.h"
#include "sim/TftpServer.h"
#include "tests/posix/arp_recorder.h"

#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>

using namespace sim;

namespace {

std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class UpgradeTest : public FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        WriteFile("note1.txt", "Before the upgrade");
        WriteFile("note2.txt", "Upgrade finished");
        image_ = RandomBytes(100 * 1024 + 123, 7);
        WriteFile("fw.bin", image_);
        WriteFile("FTPUPG.ini", "[Data]\nIP=127.0.0.2\nPath1=fw.bin\n");
        device_.bindAddress = "127.0.0.2";
        device_.password = "secret";
        tftp_.address = "127.0.0.2";
        tftp_.port = 69;
        tftp_.slotFile = dir_ + "/received.bin";
        tftp_.log = [](const std::string&) {};
    }

    void TearDown() override
    {
        Close();
        if (server_) server_->Stop();
        responders_.clear();
        FormTest::TearDown();
    }

    DeviceResponder& AddDevice(const DeviceConfig& config)
    {
        // Runs on the responder's thread, one call per event.
        auto log = [this](const std::string& line) {
            if (onDeviceLog_) onDeviceLog_(line);
        };
        responders_.push_back(std::make_unique<DeviceResponder>(config, log));
        responders_.back()->Start();
        return *responders_.back();
    }

    void StartDevice()
    {
        AddDevice(device_);
        server_ = std::make_unique<sim::SimTftpServer>(tftp_);
        server_->Start();
    }

    TForm1& OpenAndType(const char* password)
    {
        TForm1& f = Open();
        f.lePW->setText(password);
        return f;
    }

    void Go(TForm1& f)
    {
        f.btUpgradeClick();
        QCoreApplication::processEvents();
    }

    // Takes events until the condition holds; a condition that never comes is left to the
    // test's time-out, with a failure after a minute.
    template <typename Condition> void WaitUntil(Condition condition)
    {
        QElapsedTimer clock;
        clock.start();
        while (!condition()) {
            ASSERT_LT(clock.elapsed(), 60000) << "the awaited state never came";
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }

    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const auto& box : boxes_)
            texts.push_back(box.kind + ": " + box.text);
        return texts;
    }

    DeviceConfig device_;
    sim::SimTftpOptions tftp_;
    std::string image_;
    std::vector<std::unique_ptr<DeviceResponder>> responders_;
    std::unique_ptr<sim::SimTftpServer> server_;
    std::function<void(const std::string&)> onDeviceLog_;
};

using Strings = std::vector<std::string>;

TEST_F(UpgradeTest, SuccessReachesFinishedWithTheImageAtTheDevice)
{
    StartDevice();
    TForm1& f = OpenAndType("secret");
    int workEnds = 0;
    const auto original = f.tftp1.OnWorkEnd;
    f.tftp1.OnWorkEnd = [&](TIdComponent* s, TWorkMode m) {
        ++workEnds;
        original(s, m);
    };
    Go(f);

    EXPECT_EQ(Texts(), Strings{});
    EXPECT_EQ(ReadAll(tftp_.slotFile), image_);
    EXPECT_EQ(FirmwareSize, image_.size());
    EXPECT_EQ(workEnds, 1);
    EXPECT_EQ(f.stPer->text(), "100%");
    EXPECT_EQ(f.Image2->width(), 185);
    EXPECT_TRUE(f.Image2->isVisible());
    EXPECT_TRUE(f.btFinish->isVisible());
    EXPECT_FALSE(f.btUpgrade->isVisible());
    EXPECT_FALSE(f.btCancel->isVisible());
    EXPECT_FALSE(f.leIP->isVisible() || f.lePW->isVisible() || f.leIP->EditLabel()->isVisible());
    EXPECT_EQ(f.mm1->toPlainText(), "Upgrade finished");
    ASSERT_EQ(server_->Images().size(), 1u);
    EXPECT_EQ(server_->Images()[0].blksize, 1024u);
    EXPECT_EQ(DeviceFound, 1);
    EXPECT_EQ(PasswordAccepted, 1);

    QTest::mouseClick(f.btFinish, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(quitRequests_, 1);
}

TEST_F(UpgradeTest, WrongPasswordSaysSoAndOffersGoAgain)
{
    StartDevice();
    TForm1& f = OpenAndType("wrong");
    Go(f);
    EXPECT_EQ(Texts(), Strings{"message: Invalid Password !"});
    EXPECT_TRUE(f.btUpgrade->isEnabled());
    EXPECT_TRUE(f.Image2->isVisible());
    EXPECT_EQ(f.stPer->text(), "");
    EXPECT_EQ(server_->RequestsSeen(), 0u);
    EXPECT_EQ(responders_[0]->PasswordRequests().size(), 1u);
}

TEST_F(UpgradeTest, NoDevice)
{
    TForm1& f = OpenAndType("secret");
    Go(f);
    EXPECT_EQ(Texts(), Strings{"message: There is no KR730 connected!"});
    EXPECT_TRUE(f.btUpgrade->isEnabled());
}

TEST_F(UpgradeTest, LatePasswordAnswerShowsNothing)
{
    device_.passwordDelayMs = 900;
    StartDevice();
    TForm1& f = OpenAndType("secret");
    Go(f);
    EXPECT_EQ(Texts(), Strings{});
    EXPECT_TRUE(f.btUpgrade->isEnabled());
    EXPECT_EQ(server_->RequestsSeen(), 0u);
    // The late acceptance arrives through the main loop; the next "GO" clears it first.
    WaitUntil([] { return PasswordAccepted == 1; });
    EXPECT_EQ(Texts(), Strings{});
}

TEST_F(UpgradeTest, ErrorPacketMidTransferKeepsProgress)
{
    tftp_.errorAfterBlocks = 40;
    tftp_.errorCode = 3;
    tftp_.errorText = "Flash full";
    StartDevice();
    TForm1& f = OpenAndType("secret");
    Go(f);
    EXPECT_EQ(Texts(), Strings{"message: Flash full"});
    EXPECT_TRUE(f.btUpgrade->isEnabled());
    EXPECT_TRUE(f.btUpgrade->isVisible());
    const QString text = f.stPer->text();
    EXPECT_EQ(text, "39%"); // 40 blocks of 1024 of 102523 bytes
    EXPECT_EQ(f.Image2->width(), 72);
    EXPECT_FALSE(f.btFinish->isVisible());
    EXPECT_EQ(f.mm1->toPlainText(), "Before the upgrade");
}

TEST_F(UpgradeTest, TimeoutBeforeTheLastBlock)
{
    tftp_.silent = true;
    StartDevice();
    TForm1& f = OpenAndType("secret");
    f.tftp1.SetReceiveTimeout(400);
    Go(f);
    EXPECT_EQ(Texts(), Strings{"message: Timeout"});
    EXPECT_TRUE(f.btUpgrade->isEnabled());
    EXPECT_EQ(f.stPer->text(), "");
}

TEST_F(UpgradeTest, SilenceAfterTheLastBlockStillFinishes)
{
    tftp_.noFinalAck = true;
    StartDevice();
    TForm1& f = OpenAndType("secret");
    f.tftp1.SetReceiveTimeout(400);
    Go(f);
    EXPECT_EQ(Texts(), Strings{});
    EXPECT_TRUE(f.btFinish->isVisible());
    EXPECT_EQ(ReadAll(tftp_.slotFile), image_);
}

TEST_F(UpgradeTest, ErrorAfterTheLastBlockFinishesThenReports)
{
    tftp_.errorAfterBlocks = static_cast<int>(image_.size() / 1024 + 1);
    tftp_.errorText = "Checksum stored late";
    StartDevice();
    TForm1& f = OpenAndType("secret");
    Go(f);
    EXPECT_EQ(Texts(), Strings{"message: Checksum stored late"});
    EXPECT_TRUE(f.btFinish->isVisible());
    EXPECT_FALSE(f.btUpgrade->isVisible());
    EXPECT_TRUE(f.btUpgrade->isEnabled());
}

TEST_F(UpgradeTest, MissingFirmwareBlocks)
{
    WriteFile("FTPUPG.ini", "[Data]\nIP=127.0.0.2\nPath1=gone.bin\n");
    StartDevice();
    TForm1& f = OpenAndType("secret");
    // Exceptions other than TFTP ones leave the handler, as a click would deliver them.
    QTest::mouseClick(f.btUpgrade, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(FirmwareSize, 0xFFFFFFFFu);
    EXPECT_EQ(Texts(), Strings{"error: Cannot open file gone.bin."});
    EXPECT_FALSE(f.btUpgrade->isEnabled());
    EXPECT_TRUE(f.btCancel->isVisible());
}

TEST_F(UpgradeTest, APipeAsFirmwareIsRefusedWithoutFreezingTheWindow)
{
    // Opening a pipe for reading waits for a writer: the window would hang at the transfer.
    ASSERT_EQ(::mkfifo((dir_ + "/pipe.bin").c_str(), 0600), 0);
    WriteFile("FTPUPG.ini", "[Data]\nIP=127.0.0.2\nPath1=pipe.bin\n");
    StartDevice();
    TForm1& f = OpenAndType("secret");
    QTest::mouseClick(f.btUpgrade, Qt::LeftButton);
    QCoreApplication::processEvents();
    ASSERT_FALSE(Texts().empty());
    EXPECT_EQ(Texts().back(), "error: Cannot open file pipe.bin.");
    EXPECT_TRUE(f.btCancel->isVisible());
}

TEST_F(UpgradeTest, EmptyImageWarnsThenFinishes)
{
    WriteFile("fw.bin", "");
    StartDevice();
    TForm1& f = OpenAndType("secret");
    Go(f);
    EXPECT_EQ(Texts(), Strings{"message: Error"});
    EXPECT_EQ(f.stPer->text(), "100%");
    EXPECT_TRUE(f.btFinish->isVisible());
    EXPECT_EQ(ReadAll(tftp_.slotFile), "");
}

TEST_F(UpgradeTest, VersionChoiceSendsTheChosenImage)
{
    const std::string second = RandomBytes(5000, 9);
    WriteFile("fw2.bin", second);
    WriteFile("FTPUPG.ini",
              "[Data]\nIP=127.0.0.2\nPath_no=2\nPath1=fw.bin\nPath1_ver=One\n"
              "Path2=fw2.bin\nPath2_ver=Two\n");
    StartDevice();
    TForm1& f = OpenAndType("secret");
    f.cbVer->setCurrentIndex(1);
    emit f.cbVer->activated(1);
    Go(f);
    EXPECT_EQ(Texts(), Strings{});
    EXPECT_EQ(ReadAll(tftp_.slotFile), second);
}

TEST_F(UpgradeTest, CancelDuringTheWaitDoesNothing)
{
    StartDevice();
    TForm1& f = OpenAndType("wrong");
    // Fires at the first event the wait takes.
    QTimer::singleShot(0, &f, [&] {
        EXPECT_TRUE(InsidePumpWait());
        QTest::mouseClick(f.btCancel, Qt::LeftButton);
    });
    Go(f);
    EXPECT_EQ(quitRequests_, 0);
    QTest::mouseClick(f.btCancel, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(quitRequests_, 1);
}

TEST_F(UpgradeTest, OnlyTheDeviceWithTheTypedAddressIsAsked)
{
    DeviceConfig other = device_;
    other.bindAddress = "127.0.0.3";
    other.mac = {0, 0x1b, 0x7a, 0, 0, 3};
    DeviceResponder& bystander = AddDevice(other);
    StartDevice();
    TForm1& f = OpenAndType("secret");
    Go(f);
    EXPECT_TRUE(f.btFinish->isVisible());
    EXPECT_EQ(bystander.PasswordRequests().size(), 0u);
    EXPECT_EQ(responders_.back()->PasswordRequests().size(), 1u);
}

TEST_F(UpgradeTest, WindowStaysResponsiveDuringTheTransfer)
{
    image_ = RandomBytes(2 * 1024 * 1024 + 100, 3);
    WriteFile("fw.bin", image_);
    StartDevice();
    TForm1& f = OpenAndType("secret");
    // Events posted while blocks go out must be handled before the transfer ends, through
    // the anti-freeze, not afterwards by the main loop.
    int posted = 0, handledDuringTransfer = 0;
    bool transferring = true;
    const auto work = f.tftp1.OnWork;
    f.tftp1.OnWork = [&](TIdComponent* s, TWorkMode m, int32_t count) {
        work(s, m, count);
        if (count % (256 * 1024) == 0) {
            ++posted;
            QTimer::singleShot(0, &f, [&] { handledDuringTransfer += transferring ? 1 : 0; });
        }
    };
    const auto workEnd = f.tftp1.OnWorkEnd;
    f.tftp1.OnWorkEnd = [&](TIdComponent* s, TWorkMode m) {
        transferring = false;
        workEnd(s, m);
    };
    Go(f);
    EXPECT_TRUE(f.btFinish->isVisible());
    EXPECT_EQ(posted, 8);
    EXPECT_GE(handledDuringTransfer, posted - 1) << "the last may come after the final block";
}

TEST_F(UpgradeTest, TheNeighbourEntryIsClearedBeforeDiscoveryWithTheAddressAsOneArgument)
{
    ArpRecorder recorder(dir_);
    std::atomic<int> discoveries{0}, startedBefore{0};
    onDeviceLog_ = [&](const std::string& line) {
        if (line.find(": request prot=17 ") == std::string::npos) return;
        ++discoveries;
        if (recorder.Started()) ++startedBefore;
    };
    StartDevice();
    TForm1& f = OpenAndType("secret");
    Go(f);
    EXPECT_TRUE(f.btFinish->isVisible());
    recorder.WaitIdle();
    EXPECT_EQ(recorder.Runs(), std::vector<std::string>{"-d|127.0.0.2|"});
    EXPECT_EQ(discoveries.load(), 1);
    EXPECT_EQ(startedBefore.load(), 1) << "the command must be under way before the discovery request";
}

TEST_F(UpgradeTest, AnEmptyOrRangeAddressStartsNoCommandAndFindsNoDevice)
{
    ArpRecorder recorder(dir_);
    StartDevice();
    TForm1& f = OpenAndType("secret");
    for (const char* ip : {"", "default", "127.0.0.0/24"}) {
        SCOPED_TRACE(ip);
        boxes_.clear();
        f.leIP->setText(ip);
        Go(f);
        EXPECT_EQ(Texts(), Strings{"message: There is no KR730 connected!"});
        EXPECT_TRUE(f.btUpgrade->isEnabled());
    }
    f.leIP->setText("127.0.0.2");
    Go(f); // started after the refused ones: once it has run, they would have too
    EXPECT_TRUE(f.btFinish->isVisible());
    recorder.WaitIdle();
    EXPECT_EQ(recorder.Runs(), std::vector<std::string>{"-d|127.0.0.2|"});
}

TEST_F(UpgradeTest, ASecondAttemptShowsTheOldProgressUntilItsFirstBlock)
{
    tftp_.errorAfterBlocks = 40;
    tftp_.errorText = "Flash full";
    StartDevice();
    TForm1& f = OpenAndType("secret");
    Go(f);
    ASSERT_EQ(f.stPer->text(), "39%");
    server_->Stop();
    tftp_.errorAfterBlocks = -1;
    server_ = std::make_unique<sim::SimTftpServer>(tftp_);
    server_->Start();

    // What the window shows at the second "GO" up to the first work event of the new transfer.
    QString textAtFirstBlock;
    int widthAtFirstBlock = -1;
    bool shownAtFirstBlock = false;
    const auto work = f.tftp1.OnWork;
    f.tftp1.OnWork = [&](TIdComponent* s, TWorkMode m, int32_t count) {
        if (widthAtFirstBlock < 0) {
            textAtFirstBlock = f.stPer->text();
            widthAtFirstBlock = f.Image2->width();
            shownAtFirstBlock = f.Image2->isVisible();
        }
        work(s, m, count);
    };
    Go(f);
    EXPECT_EQ(textAtFirstBlock, "39%");
    EXPECT_EQ(widthAtFirstBlock, 72);
    EXPECT_TRUE(shownAtFirstBlock);
    EXPECT_TRUE(f.btFinish->isVisible());
    EXPECT_EQ(ReadAll(tftp_.slotFile), image_);
}

TEST_F(UpgradeTest, PasswordAndAddressGoToTheDeviceInWindows1252)
{
    device_.password = "caf\xE9";
    StartDevice();
    TForm1& f = OpenAndType("");
    f.lePW->setText(QString::fromUtf8("caf\xC3\xA9"));
    Go(f);
    const auto requests = responders_[0]->PasswordRequests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& frame = requests[0].frame;
    EXPECT_EQ(std::string(frame.begin() + 8, frame.begin() + 20), std::string("caf\xE9\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(Texts(), Strings{});
    EXPECT_TRUE(f.btFinish->isVisible());
}

} // namespace
