// The main window offscreen: its layout, its start-up, and what the settings file does to it.
#include "tests/app/form_fixture.h"

#include "app/PumpWait.h"
#include "app/TextFile.h"

#include <QBitmap>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QMessageBox>
#include <QTimer>

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QRect Geometry(const QWidget* w)
{
    return w->geometry();
}

// Collects what is written to standard error (the diagnostic lines) while it lives.
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile()), saved_(::dup(STDERR_FILENO))
    {
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture()
    {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        std::fclose(file_);
    }
    std::string Text() const
    {
        std::string text;
        char buffer[4096];
        std::rewind(file_);
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
            text.append(buffer, got);
        return text;
    }

private:
    std::FILE* file_;
    int saved_;
};

} // namespace

TEST_F(FormTest, LayoutMatchesTheFace)
{
    WriteFile("note1.txt", "Line one\nLine two\n");
    TForm1& f = Open();

    EXPECT_EQ(f.size(), QSize(434, 292));
    EXPECT_TRUE(f.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(f.windowTitle(), "Morvane KR730 Utility");
    EXPECT_EQ(Geometry(f.Image1), QRect(0, 0, 434, 292));
    EXPECT_EQ(Geometry(f.Image2), QRect(224, 160, 0, 120));
    EXPECT_EQ(Geometry(f.lbVer_sel).topLeft(), QPoint(3, 170));
    EXPECT_EQ(Geometry(f.lbTitle), QRect(0, 6, 434, 33));
    EXPECT_EQ(Geometry(f.leIP), QRect(72, 196, 121, 21));
    EXPECT_EQ(Geometry(f.lePW), QRect(72, 224, 121, 21));
    EXPECT_EQ(Geometry(f.leIP->EditLabel()), QRect(12, 200, 57, 13));
    EXPECT_EQ(Geometry(f.lePW->EditLabel()), QRect(17, 228, 52, 13));
    EXPECT_EQ(f.leIP->EditLabel()->text(), "IP Address :");
    EXPECT_EQ(f.lePW->EditLabel()->text(), "Password :");
    EXPECT_EQ(Geometry(f.btUpgrade), QRect(32, 256, 65, 25));
    EXPECT_EQ(Geometry(f.btCancel), QRect(120, 256, 75, 25));
    EXPECT_EQ(Geometry(f.stPer), QRect(224, 264, 34, 17));
    EXPECT_EQ(Geometry(f.mm1), QRect(8, 56, 345, 105));
    EXPECT_EQ(Geometry(f.btFinish), QRect(72, 256, 75, 25));
    EXPECT_EQ(Geometry(f.cbVer), QRect(72, 168, 121, 21));
    EXPECT_EQ(f.btUpgrade->text(), "GO");
    EXPECT_EQ(f.btCancel->text(), "Cancel");
    EXPECT_EQ(f.btFinish->text(), "OK");
    EXPECT_EQ(f.lbVer_sel->text(), "F/W Version :");
    // The nearest installed face must set the captions within their stored boxes.
    for (const QLabel* label : {f.leIP->EditLabel(), f.lePW->EditLabel()}) {
        const QFontMetrics metrics = label->fontMetrics();
        const QRect ink = metrics.tightBoundingRect(label->text())
                              .translated(label->width() - metrics.horizontalAdvance(label->text()), 0);
        EXPECT_GE(ink.left(), 0) << label->text().toStdString();
        EXPECT_LT(ink.right(), label->width()) << label->text().toStdString();
    }

    // Behaviour the operator relies on.
    EXPECT_EQ(f.lePW->echoMode(), QLineEdit::Password);
    EXPECT_EQ(f.lePW->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, f.lePW), '*');
    EXPECT_FALSE(f.cbVer->isEditable());
    EXPECT_TRUE(f.mm1->isReadOnly());
    EXPECT_EQ(f.mm1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(f.mm1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_FALSE(f.btUpgrade->isDefault() || f.btUpgrade->autoDefault());
    EXPECT_EQ(f.stPer->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    EXPECT_EQ(f.lbTitle->font().pixelSize(), 24);
    EXPECT_EQ(f.mm1->font().pixelSize(), 12);
    // The faces that stand in for the layout's fonts must really be installed and chosen.
    for (const QWidget* w : std::initializer_list<const QWidget*>{f.leIP->EditLabel(), f.lbVer, f.stPer}) {
        EXPECT_EQ(QFontInfo(w->font()).family(), "DejaVu Sans Condensed") << w->metaObject()->className();
    }
    for (const QWidget* w : std::initializer_list<const QWidget*>{f.lbTitle, f.mm1})
        EXPECT_EQ(QFontInfo(w->font()).family(), "Liberation Sans");

    // After the first activation: notes loaded, progress and "OK" hidden, focus in the IP.
    EXPECT_EQ(f.mm1->Lines(), QStringList({"Line one", "Line two"}));
    EXPECT_FALSE(f.Image2->isVisible());
    EXPECT_FALSE(f.btFinish->isVisible());
    EXPECT_TRUE(f.btUpgrade->isVisible() && f.btUpgrade->isEnabled());
    EXPECT_TRUE(f.leIP->EditLabel()->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), f.leIP);
    EXPECT_TRUE(boxes_.empty());

    // Tab order: IP, password, GO, Cancel, notes (the percentage takes no focus).
    for (QWidget* next : std::initializer_list<QWidget*>{f.lePW, f.btUpgrade, f.btCancel, f.mm1}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << next->metaObject()->className();
    }
    EXPECT_EQ(f.stPer->focusPolicy(), Qt::NoFocus);

    // The key-red corners are cut out of the window; the middle is not.
    const QRegion mask = f.mask();
    EXPECT_FALSE(mask.isEmpty());
    for (QPoint corner : {QPoint(0, 0), QPoint(433, 0), QPoint(0, 291), QPoint(433, 291)})
        EXPECT_FALSE(mask.contains(corner)) << corner.x() << "," << corner.y();
    EXPECT_TRUE(mask.contains(QPoint(217, 146)));
}

TEST_F(FormTest, LabelsFollowTheirEdits)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    f.leIP->hide();
    EXPECT_FALSE(f.leIP->EditLabel()->isVisible());
    f.leIP->show();
    EXPECT_TRUE(f.leIP->EditLabel()->isVisible());
    f.lePW->setEnabled(false);
    EXPECT_FALSE(f.lePW->EditLabel()->isEnabled());
}

TEST_F(FormTest, ActivationRunsOnceOnly)
{
    WriteFile("note1.txt", "first");
    TForm1& f = Open();
    WriteFile("note1.txt", "second");
    f.Image2->show();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    EXPECT_EQ(f.mm1->toPlainText(), "first");
    EXPECT_TRUE(f.Image2->isVisible());
}

TEST_F(FormTest, MissingNotesShowTheErrorOnceAndTheWindowGoesOn)
{
    TForm1& f = Open();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].kind, "error");
    EXPECT_EQ(boxes_[0].text, "Cannot open file note1.txt.");
    EXPECT_TRUE(f.mm1->toPlainText().isEmpty());
    EXPECT_FALSE(f.Image2->isVisible());
    EXPECT_FALSE(f.btFinish->isVisible());
    EXPECT_TRUE(f.isVisible());
}

TEST_F(FormTest, NoSettingsFileGivesDefaults)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    EXPECT_EQ(f.leIP->text(), "192.168.1.225");
    EXPECT_EQ(f.lbTitle->text(), "KR730 - Firmware Upgrade");
    EXPECT_EQ(f.lbVer->text(), "Ver. 1.3.2");
    EXPECT_FALSE(f.cbVer->isVisible());
    EXPECT_FALSE(f.lbVer_sel->isVisible());
    EXPECT_EQ(f.CurrentFirmwarePath(), " ");
    EXPECT_EQ(f.lbVer->geometry().topLeft(), QPoint(328, 272));
    EXPECT_GT(f.lbVer->width(), 5); // grown to fit its text
}

// The window's transfer settings are its own: written out here, so that a change of the
// tools' defaults cannot move them.
TEST_F(FormTest, TransferAndAntiFreezeSettingsAreTheWindowsOwn)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    EXPECT_EQ(f.tftp1.Port(), 69);
    EXPECT_EQ(f.tftp1.ReceiveTimeout(), 4000);
    EXPECT_EQ(f.tftp1.RequestedBlockSize(), 1024);
    EXPECT_EQ(f.tftp1.TransferMode(), tfOctet);
    EXPECT_FALSE(f.IdAntiFreeze1.OnlyWhenIdle());
    EXPECT_TRUE(f.IdAntiFreeze1.Active());
    EXPECT_TRUE(f.IdAntiFreeze1.ApplicationHasPriority());
    EXPECT_EQ(f.IdAntiFreeze1.IdleTimeOut(), 250);
}

TEST_F(FormTest, SingleImageHidesTheVersionChoice)
{
    WriteFile("note1.txt", "");
    WriteFile("FTPUPG.ini",
              "[Data]\nIP=127.0.0.2\nPath1=fw.bin\nVer=Ver. 2.0\nTitle=KR730 Test\n"
              "Path_no=1\nPath1_ver=A\nPath2=other.bin\n");
    TForm1& f = Open();
    EXPECT_EQ(f.leIP->text(), "127.0.0.2");
    EXPECT_EQ(f.lbTitle->text(), "KR730 Test");
    EXPECT_EQ(f.lbVer->text(), "Ver. 2.0");
    EXPECT_FALSE(f.cbVer->isVisible());
    EXPECT_EQ(f.CurrentFirmwarePath(), "fw.bin");
    EXPECT_EQ(FirmwarePaths[0], "");
}

TEST_F(FormTest, VersionListAndChoice)
{
    WriteFile("note1.txt", "");
    WriteFile("FTPUPG.ini",
              "[data]\n path_no = 0x3 \nPATH1 = one.bin\nPath1_ver=Ver. 1\nPath2=two.bin\n"
              "Path2_ver=Ver. 2\nPath3_ver=Ver. 3\nVer=ignored\n");
    TForm1& f = Open();
    ASSERT_EQ(f.cbVer->count(), 3);
    EXPECT_EQ(f.cbVer->itemText(0), "Ver. 1");
    EXPECT_EQ(f.cbVer->itemText(2), "Ver. 3");
    EXPECT_EQ(f.cbVer->currentIndex(), 0);
    EXPECT_TRUE(f.cbVer->isVisible());
    EXPECT_TRUE(f.lbVer_sel->isVisible());
    EXPECT_EQ(f.lbVer->text(), "");
    EXPECT_EQ(f.CurrentFirmwarePath(), "one.bin");

    // The operator's pick changes the image; a missing Path3 key gives the one-blank default.
    f.cbVer->setCurrentIndex(1);
    EXPECT_EQ(f.CurrentFirmwarePath(), "one.bin") << "selecting from code raises nothing";
    emit f.cbVer->activated(1);
    EXPECT_EQ(f.CurrentFirmwarePath(), "two.bin");
    f.cbVer->setCurrentIndex(2);
    emit f.cbVer->activated(2);
    EXPECT_EQ(f.CurrentFirmwarePath(), " ");
    EXPECT_EQ(f.lbVer->text(), "");
}

TEST_F(FormTest, VersionCountEdges)
{
    struct Case {
        const char* pathNo;
        int entries;
        bool listShown;
    };
    for (const Case& c :
         {Case{"2", 2, true}, Case{"0", 0, true}, Case{"-1", 0, true}, Case{"$3", 3, true}, Case{"3abc", 0, false},
          Case{"3 x", 0, false}, Case{"11", 10, true}, Case{"$FFFFFFFF", 0, true}}) {
        SCOPED_TRACE(c.pathNo);
        FirmwarePaths.fill("");
        WriteFile("note1.txt", "");
        WriteFile("FTPUPG.ini", std::string("[Data]\nPath1=p1\nVer=V\nPath_no=") + c.pathNo + "\n");
        TForm1& f = Open();
        EXPECT_EQ(f.cbVer->count(), c.entries);
        EXPECT_EQ(f.cbVer->isVisible(), c.listShown);
        EXPECT_EQ(f.lbVer->text(), c.listShown ? "" : "V");
        EXPECT_EQ(f.CurrentFirmwarePath(), "p1");
        if (c.entries == 10) {
            EXPECT_EQ(FirmwarePaths[9], " ");
        }
        Close();
    }
}

TEST_F(FormTest, CancelAsksTheApplicationToEnd)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    QTest::mouseClick(f.btCancel, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(quitRequests_, 1);
    EXPECT_TRUE(f.isVisible()) << "the window stays until the loop ends";
}

TEST_F(FormTest, EnterAndEscapePressNothing)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    QTest::keyClick(f.leIP, Qt::Key_Return);
    QTest::keyClick(f.leIP, Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_EQ(quitRequests_, 0);
    EXPECT_TRUE(f.btUpgrade->isEnabled());
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(FormTest, DraggingWithTheLeftButtonMovesTheWindow)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    const QPoint start = f.pos();
    f.Image1MouseMove(Qt::RightButton, QPoint(50, 20));
    EXPECT_EQ(f.pos(), start);
    // Positions reach the handler relative to the window, which moves under the pointer.
    auto pointerAt = [&](QPoint global) { f.Image1MouseMove(Qt::LeftButton, global - f.pos()); };
    f.Image1->OnMouseDown(Qt::LeftButton, QPoint(50, 20));
    pointerAt(start + QPoint(60, 25));
    pointerAt(start + QPoint(70, 30));
    EXPECT_EQ(f.pos(), start + QPoint(20, 10));
    f.Image1->OnMouseUp(Qt::LeftButton, QPoint(20, 10));
    f.Image1MouseMove(Qt::NoButton, QPoint(300, 200));
    EXPECT_EQ(f.pos(), start + QPoint(20, 10)) << "the button is up: no drag";
}

TEST_F(FormTest, PumpWaitDispatchesEverythingForItsWholeTimeAndLosesTheQuitRequest)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    // Timer events keep being dispatched inside the wait, not once at its end.
    int ticksInside = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ticksInside += InsidePumpWait() ? 1 : 0; });
    ticker.start(20);
    f.PostQuitRequest();
    QElapsedTimer clock;
    clock.start();
    PumpWait(300);
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_GE(ticksInside, 2);
    EXPECT_EQ(quitRequests_, 0) << "a quit request taken by the wait is lost";
    ticker.stop();
    // An idle wait must wake up by itself: with no event at all, only its own deadline
    // can end it (a hang here is caught by the test's time-out).
    clock.restart();
    PumpWait(200);
    EXPECT_GE(clock.elapsed(), 200);
    EXPECT_FALSE(InsidePumpWait());
    QCoreApplication::processEvents();
    EXPECT_EQ(quitRequests_, 0);
}

TEST_F(FormTest, ALibraryThatCannotOpenEndsTheApplicationSilently)
{
    WriteFile("note1.txt", "shown briefly");
    setenv("NDXL_BROADCAST", "not-an-address", 1);
    TForm1& f = Open();
    setenv("NDXL_BROADCAST", "127.255.255.255", 1);
    EXPECT_FALSE(f.LibraryOpened());
    EXPECT_EQ(quitRequests_, 1);
    EXPECT_TRUE(boxes_.empty()) << "nothing is shown to the operator";
    EXPECT_EQ(f.mm1->toPlainText(), "shown briefly");
}

TEST_F(FormTest, ADeletedWorkingDirectoryStillGivesAWorkingWindow)
{
    std::filesystem::remove_all(dir_);
    TForm1& f = Open();
    // The settings are simply absent; the missing notes are reported as always.
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "Cannot open file note1.txt.");
    EXPECT_EQ(f.leIP->text(), "192.168.1.225");
    EXPECT_EQ(f.lbTitle->text(), "KR730 - Firmware Upgrade");
    EXPECT_FALSE(f.btFinish->isVisible()) << "the first activation ran";
    EXPECT_TRUE(f.btUpgrade->isVisible() && f.btCancel->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), f.leIP);
}

TEST_F(FormTest, SettingsAndNotesThatAreNoFilesReadAsMissing)
{
    // A pipe would block start-up for ever, /dev/zero would fill the memory.
    ASSERT_EQ(::mkfifo((dir_ + "/FTPUPG.ini").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir_ + "/note1.txt");
    TForm1& f = Open();
    EXPECT_EQ(f.leIP->text(), "192.168.1.225");
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "Cannot open file note1.txt.");
    Close();

    boxes_.clear();
    std::filesystem::remove(dir_ + "/note1.txt");
    std::filesystem::create_directory(dir_ + "/note1.txt");
    Open();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "Cannot open file note1.txt.");
}

TEST_F(FormTest, OversizedFilesAreReadUpToTheCapWithOneLineEach)
{
    const std::string filler(app::MaxTextFileBytes, ';');
    WriteFile("FTPUPG.ini", "[Data]\nIP=127.0.0.9\n" + filler + "\nTitle=beyond the cap\n");
    std::string notes = "First line\n";
    while (notes.size() <= app::MaxTextFileBytes)
        notes += std::string(79, 'x') + "\n";
    WriteFile("note1.txt", notes);
    StderrCapture stderrText;
    TForm1& f = Open();
    EXPECT_EQ(f.leIP->text(), "127.0.0.9");
    EXPECT_EQ(f.lbTitle->text(), "KR730 - Firmware Upgrade");
    EXPECT_EQ(f.mm1->Lines().first(), "First line");
    // Whole lines only: the one the cap falls into is left out.
    EXPECT_EQ(f.mm1->toPlainText().toStdString() + "\n",
              notes.substr(0, notes.rfind('\n', app::MaxTextFileBytes - 1) + 1));
    EXPECT_TRUE(boxes_.empty());
    const std::string lines = stderrText.Text();
    size_t tagged = 0;
    for (size_t at = lines.find("[FTPUPG]"); at != std::string::npos; at = lines.find("[FTPUPG]", at + 1))
        ++tagged;
    EXPECT_EQ(tagged, 2u) << lines;
    EXPECT_NE(lines.find("[FTPUPG]" + dir_ + "/FTPUPG.ini is longer than 262144 bytes"), std::string::npos)
        << lines;
    EXPECT_NE(lines.find("[FTPUPG]note1.txt is longer than 262144 bytes"), std::string::npos) << lines;
}

TEST_F(FormTest, WindowsWrittenFilesShowTheirAccents)
{
    WriteFile("note1.txt", "Caf\xE9 \x80 5\r\nna\xEFve\r\n");
    WriteFile("FTPUPG.ini",
              "[Data]\r\nTitle=KR730 \x96 Mise \xE0 jour\r\nVer=Ver. 1\xB7"
              "2\r\n");
    TForm1& f = Open();
    EXPECT_EQ(f.mm1->Lines(), QStringList({"Caf\u00E9 \u20AC 5", "na\u00EFve"}));
    EXPECT_EQ(f.lbTitle->text(), "KR730 \u2013 Mise \u00E0 jour");
    EXPECT_EQ(f.lbVer->text(), "Ver. 1\u00B72");
    Close();

    // Files that are valid UTF-8 (with or without a byte-order mark) stay UTF-8.
    WriteFile("note1.txt",
              "\xEF\xBB\xBF"
              "Caf\xC3\xA9");
    WriteFile("FTPUPG.ini", "[Data]\nTitle=Caf\xC3\xA9\n");
    TForm1& g = Open();
    EXPECT_EQ(g.mm1->toPlainText(), "Caf\u00E9");
    EXPECT_EQ(g.lbTitle->text(), "Caf\u00E9");
}

TEST_F(FormTest, DraggingStartsOnEveryVisiblePixelOfTheBackgroundTitleBandIncluded)
{
    WriteFile("note1.txt", "");
    TForm1& f = Open();
    // The title band, the version text and the captions of the edits are drawn over the picture.
    for (QPoint p : {QPoint(217, 20), QPoint(5, 10), QPoint(400, 140), QPoint(30, 205), QPoint(20, 175)})
        EXPECT_EQ(f.childAt(p), f.Image1) << p.x() << "," << p.y();
    EXPECT_EQ(f.childAt(QPoint(100, 205)), f.leIP) << "input controls keep their clicks";

    // Pressed on the title and moved, through the window as the platform delivers it.
    QWindow* window = f.windowHandle();
    const QPoint start = f.pos();
    QTest::mousePress(window, Qt::LeftButton, {}, QPoint(217, 20));
    QTest::mouseMove(window, QPoint(237, 30));
    QTest::mouseMove(window, QPoint(247, 35));
    QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(247, 35));
    EXPECT_NE(f.pos(), start) << "the title band must drag the window";
}

TEST_F(FormTest, TheOperatorMessageBoxIsPlain)
{
    SetMessageBoxHook(nullptr);
    QString caption, text;
    int buttons = -1;
    QMessageBox::Icon icon = QMessageBox::Critical;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        buttons = static_cast<int>(box->buttons().size());
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
    ShowMessage("There is no KR730 connected!");
    EXPECT_EQ(caption, "Morvane Firmware Upgrade Utility");
    EXPECT_EQ(text, "There is no KR730 connected!");
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(icon, QMessageBox::NoIcon);

    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text();
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
    ShowException("Cannot open file note2.txt");
    EXPECT_EQ(text, "Cannot open file note2.txt.");
    EXPECT_EQ(icon, QMessageBox::Critical);
}
