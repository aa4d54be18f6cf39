// The one main window: a borderless skinned face with the controls an operator needs to
// send new firmware to the device, and the handlers that carry it through its life.
#pragma once

#include "app/Controls.h"
#include "app/DeviceHandlers.h"
#include "app/IdAntiFreeze.h"
#include "tftp/IdTrivialFTP.h"
#include "devmsg/ndxl.h"

#include <QEvent>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

// Firmware images of the version list; entry i - 1 belongs to entry i of cbVer.
extern std::array<std::string, 10> FirmwarePaths;
// Size of the image taken at each "GO".
extern uint32_t FirmwareSize;

// The device library's notification, delivered as the window message it stands for.
class WindowMessage : public QEvent {
public:
    static const QEvent::Type EventType;
    WindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam)
        : QEvent(EventType), Message(message), WParam(wParam), LParam(lParam)
    {}
    uint32_t Message;
    uintptr_t WParam;
    intptr_t LParam;
};

class TForm1 : public QWidget, public DeviceHandlers {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls, in creation order (later ones lie above earlier ones).
    TImage* Image1;
    TImage* Image2;
    TLabel* lbVer;
    TLabel* lbVer_sel;
    QLabel* lbTitle;
    TLabeledEdit* leIP;
    TLabeledEdit* lePW;
    QPushButton* btUpgrade;
    QPushButton* btCancel;
    QLabel* stPer;
    TMemo* mm1;
    QPushButton* btFinish;
    QComboBox* cbVer;

    TIdTrivialFTP tftp1;
    TIdAntiFreeze IdAntiFreeze1;

    // Window life.
    void FormCreate();
    void FormShow();
    void FormActivate();
    void FormDestroy();
    void btCancelClick();
    void btFinishClick();
    void Image1MouseMove(Qt::MouseButtons buttons, QPoint pos);
    void cbVerChange();

    // The upgrade.
    void btUpgradeClick();
    void tftp1Work(TIdComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCount);
    void tftp1WorkEnd(TIdComponent* Sender, TWorkMode AWorkMode);
    void Per_cent(int percent);
    void Finish();

    // Discovery and password check: SearchDevice, OnWM_NDXL_Notify, OnAPDPResponse,
    // OnAPDPResponsev4 and OnWDCPResponse come with DeviceHandlers.

    const std::string& CurrentFirmwarePath() const { return FirmwarePath; }
    bool LibraryOpened() const { return libraryOpened_; }

    // Asks the application to end, as closing the main window does.
    void PostQuitRequest();
    // What taking the quit request does; tests replace it.
    std::function<void()> OnQuit;

protected:
    bool event(QEvent* event) override; // the window procedure
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

protected:
    std::string IpText() override;
    std::string PasswordText() override;
    void ShowMessage(const std::string& text) override;

private:
    void CreateControls();
    void ApplyTabOrder();
    void ShowExceptionLater(const std::string& message);

    std::string FirmwarePath;
    NDXL_Window window_{};
    bool libraryOpened_ = false;
    bool shown_ = false;
    bool activated_ = false;
    bool dragging_ = false;
    bool systemMove_ = false;
    QPoint dragOffset_;
};
