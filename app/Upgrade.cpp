// "GO": find the device, have it check the password, send the image, show progress.
#include "app/MainForm.h"

#include "app/Application.h"
#include "posix/Fd.h"
#include "posix/NeighbourCache.h"
#include "app/Progress.h"
#include "app/PumpWait.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

uint32_t FirmwareSize = 0;

namespace {

// The image's size as 32 bits; all ones when it cannot be opened. Not blocking on the open,
// so that a pipe named as the image does not freeze the window here.
uint32_t FileSize32(const std::string& path)
{
    const posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return 0xFFFFFFFFu;
    struct stat st {};
    const bool ok = ::fstat(fd.Get(), &st) == 0 && !S_ISDIR(st.st_mode);
    return ok ? static_cast<uint32_t>(st.st_size) : 0xFFFFFFFFu;
}

} // namespace

void TForm1::btUpgradeClick()
{
    const std::string ip = IpText();
    posix::ClearNeighbourEntry(ip);

    FirmwareSize = FileSize32(FirmwarePath);
    if (FirmwareSize == 0) ::ShowMessage(upgrade::text::EmptyImage);

    btUpgrade->setEnabled(false);
    tftp1.SetHost(ip);
    Image2->show();
    PasswordAccepted = 0;
    SearchDevice();
    DeviceFound = 0;
    PumpWait(upgrade::WindowAnswerWaitMs);

    try {
        if (PasswordAccepted == 1) {
            tftp1.Upload(FirmwarePath, upgrade::FirmwareTarget);
        } else {
            if (DeviceFound == 0) ::ShowMessage(upgrade::text::NoDevice);
            btUpgrade->setEnabled(true);
        }
    } catch (const EIdTFTPException& e) {
        ::ShowMessage(e.Message());
        btUpgrade->setEnabled(true);
    }
}

void TForm1::tftp1Work(TIdComponent*, TWorkMode, int32_t AWorkCount)
{
    Per_cent(app::PercentOf(AWorkCount, FirmwareSize));
}

void TForm1::Per_cent(int percent)
{
    // A large image raises thousands of work events but the bar has 185 widths and the
    // text 101 values: repainting only what changed looks the same and keeps sending fast.
    const int width = app::BarWidth(percent);
    if (Image2->width() != width) {
        Image2->resize(width, Image2->height());
        Image2->repaint();
    }
    const QString text = QString::number(percent) + "%";
    if (stPer->text() != text) {
        stPer->setText(text);
        stPer->repaint();
    }
}

void TForm1::tftp1WorkEnd(TIdComponent*, TWorkMode)
{
    if (stPer->text() == "100%") Finish();
}

void TForm1::Finish()
{
    btCancel->hide();
    btUpgrade->hide();
    btFinish->show();
    leIP->hide();
    lePW->hide();
    lbVer_sel->hide();
    cbVer->hide();
    mm1->LoadFromFile("note2.txt");
}
