#include "app/MainForm.h"

#include "app/Application.h"
#include "app/IniFile.h"
#include "app/PumpWait.h"
#include "rtl/TextCodec.h"
#include "app/TextFile.h"
#include "app/WindowSettings.h"
#include "upgrade/UpgradePolicy.h"

#include <QBitmap>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <exception>

std::array<std::string, 10> FirmwarePaths;

namespace {

const QEvent::Type QuitRequest = static_cast<QEvent::Type>(QEvent::registerEventType());

void SetBackground(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    palette.setColor(QPalette::Base, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void SetTextColour(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

void PostWindowMessage(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    // Runs on the library's receiver thread: only queue, the UI thread handles it later.
    QCoreApplication::postEvent(static_cast<TForm1*>(context), new WindowMessage(message, wParam, lParam));
}

// What the device is sent: the system's 8-bit code page.
std::string ToText(const QString& text)
{
    return rtl::Utf8ToCp1252(text.toUtf8().toStdString());
}

// Mouse input on a label goes to the background picture beneath, which drags the window.
void LetMouseThrough(QWidget* widget)
{
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
}

} // namespace

const QEvent::Type WindowMessage::EventType = static_cast<QEvent::Type>(QEvent::registerEventType());

TForm1::TForm1(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    // exit(), not quit(): quit() first asks every window to close, and ours answers a close
    // by posting the quit request again.
    OnQuit = [] { QCoreApplication::exit(0); };
    CreateControls();
    FormCreate();
}

TForm1::~TForm1()
{
    FormDestroy();
}

static void LoadResources()
{
    // The skin lives in a static library: its resources must be registered by hand.
    Q_INIT_RESOURCE(resources);
}

void TForm1::CreateControls()
{
    LoadResources();
    setWindowTitle("Morvane KR730 Utility");
    setWindowIcon(QIcon(":/ftpupg.ico"));
    setFixedSize(434, 292);
    setFont(SansFont(11));

    const QPixmap skin(":/skin.bmp");
    Image1 = new TImage(this);
    Image1->setGeometry(0, 0, 434, 292);
    Image1->SetPicture(skin);
    Image1->OnMouseMove = [this](Qt::MouseButtons buttons, QPoint pos) { Image1MouseMove(buttons, pos); };
    Image1->OnMouseDown = [this](Qt::MouseButton button, QPoint pos) {
        if (button == Qt::LeftButton) dragOffset_ = pos;
    };
    Image1->OnMouseUp = [this](Qt::MouseButton button, QPoint) {
        if (button == Qt::LeftButton) dragging_ = false;
    };
    // Key-red pixels of the skin are see-through and let clicks pass to what lies behind.
    if (!skin.isNull()) {
        const QImage key = skin.toImage().createMaskFromColor(KeyRed.rgb(), Qt::MaskInColor);
        setMask(QBitmap::fromImage(key));
    }

    Image2 = new TImage(this);
    Image2->setGeometry(224, 160, 0, 120);
    Image2->SetPicture(QPixmap(":/progress.bmp"));

    lbVer = new TLabel(this, true);
    lbVer->setGeometry(328, 272, 5, 13);
    lbVer->setFont(SansFont(11, true));
    SetBackground(lbVer, SkinColour);
    SetTextColour(lbVer, Qt::white);

    lbVer_sel = new TLabel(this, true);
    lbVer_sel->setGeometry(3, 170, 66, 13);
    SetBackground(lbVer_sel, SkinColour);
    SetTextColour(lbVer_sel, palette().color(QPalette::Base));
    lbVer_sel->SetCaption("F/W Version :");

    lbTitle = new QLabel("Test", this);
    lbTitle->setTextFormat(Qt::PlainText);
    lbTitle->setGeometry(0, 6, 434, 33);
    lbTitle->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lbTitle->setWordWrap(false);
    lbTitle->setFont(ArialFont(24));
    SetTextColour(lbTitle, Qt::white);
    for (QWidget* label : std::initializer_list<QWidget*>{lbVer, lbVer_sel, lbTitle})
        LetMouseThrough(label);

    auto makeEdit = [this](const QString& caption, QSize labelSize, QRect geometry) {
        auto* edit = new TLabeledEdit(this, caption, labelSize, 3);
        edit->setGeometry(geometry);
        edit->PlaceLabel();
        SetBackground(edit->EditLabel(), SkinColour);
        SetTextColour(edit->EditLabel(), Qt::white);
        LetMouseThrough(edit->EditLabel());
        return edit;
    };
    leIP = makeEdit("IP Address :", {57, 13}, {72, 196, 121, 21});
    lePW = makeEdit("Password :", {52, 13}, {72, 224, 121, 21});
    lePW->setEchoMode(QLineEdit::Password);

    auto makeButton = [this](const QString& caption, QRect geometry) {
        auto* button = new QPushButton(caption, this);
        button->setGeometry(geometry);
        button->setAutoDefault(false);
        button->setDefault(false);
        return button;
    };
    btUpgrade = makeButton("GO", {32, 256, 65, 25});
    btCancel = makeButton("Cancel", {120, 256, 75, 25});
    connect(btUpgrade, &QPushButton::clicked, this, [this] { btUpgradeClick(); });
    connect(btCancel, &QPushButton::clicked, this, [this] { btCancelClick(); });

    stPer = new QLabel(this);
    stPer->setTextFormat(Qt::PlainText);
    stPer->setGeometry(224, 264, 34, 17);
    stPer->setAlignment(Qt::AlignRight | Qt::AlignTop);
    stPer->setFocusPolicy(Qt::NoFocus);
    SetBackground(stPer, SkinColour);
    SetTextColour(stPer, Qt::white);
    LetMouseThrough(stPer);

    mm1 = new TMemo(this);
    mm1->setGeometry(8, 56, 345, 105);
    mm1->setFont(ArialFont(12));
    SetBackground(mm1, SkinColour);
    SetTextColour(mm1, Qt::white);
    mm1->viewport()->setAutoFillBackground(true);
    SetBackground(mm1->viewport(), SkinColour);

    btFinish = makeButton("OK", {72, 256, 75, 25});
    connect(btFinish, &QPushButton::clicked, this, [this] { btFinishClick(); });

    cbVer = new QComboBox(this);
    cbVer->setGeometry(72, 168, 121, 21);
    cbVer->setEditable(false);
    cbVer->setInsertPolicy(QComboBox::NoInsert);
    // activated() is the operator's pick only; selecting from code raises nothing.
    connect(cbVer, &QComboBox::activated, this, [this] { cbVerChange(); });

    tftp1.SetPort(app::window::TftpPort);
    tftp1.SetReceiveTimeout(app::window::ReceiveTimeoutMs);
    tftp1.SetRequestedBlockSize(app::window::RequestedBlockSize);
    tftp1.OnWork = [this](TIdComponent* sender, TWorkMode mode, int32_t count) { tftp1Work(sender, mode, count); };
    tftp1.OnWorkEnd = [this](TIdComponent* sender, TWorkMode mode) { tftp1WorkEnd(sender, mode); };
    IdAntiFreeze1.SetOnlyWhenIdle(app::window::AntiFreezeOnlyWhenIdle);
    IdAntiFreeze1.SetActive(app::window::AntiFreezeActive);
    IdAntiFreeze1.SetApplicationHasPriority(app::window::AntiFreezeApplicationHasPriority);
    IdAntiFreeze1.SetIdleTimeOut(app::window::AntiFreezeIdleTimeOutMs);

    ApplyTabOrder();
}

void TForm1::ApplyTabOrder()
{
    const std::array<QWidget*, 6> order{leIP, lePW, btUpgrade, btCancel, mm1, btFinish};
    for (size_t i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
    setTabOrder(btFinish, cbVer);
}

void TForm1::FormCreate()
{
    window_.post = &PostWindowMessage;
    window_.context = this;
    libraryOpened_ = devmsg::OpenDeviceLibrary(window_) == 0;
    if (!libraryOpened_) PostQuitRequest();
}

void TForm1::FormShow()
{
    const TIniFile settings(app::InCurrentDirectory("FTPUPG.ini"));
    if (settings.Truncated()) ReportShortenedRead(settings.FileName());
    const auto display = [&settings](const std::string& value) {
        return QString::fromUtf8(settings.IsUtf8() ? value : rtl::Cp1252ToUtf8(value));
    };
    leIP->setText(display(settings.ReadString("Data", "IP", upgrade::DeviceAddress)));
    FirmwarePath = settings.ReadString("Data", "Path1", " ");
    lbVer->SetCaption(display(settings.ReadString("Data", "Ver", "Ver. 1.3.2")));
    lbTitle->setText(display(settings.ReadString("Data", "Title", "KR730 - Firmware Upgrade")));
    const int32_t count = settings.ReadInteger("Data", "Path_no", 1);
    if (count == 1) {
        lbVer_sel->hide();
        cbVer->hide();
        return;
    }
    // The table has room for ten images; entries beyond the tenth are not offered.
    const int32_t entries = std::min<int32_t>(count, static_cast<int32_t>(FirmwarePaths.size()));
    for (int32_t i = 1; i <= entries; ++i) {
        const std::string key = "Path" + std::to_string(i);
        cbVer->addItem(display(settings.ReadString("Data", key + "_ver", " ")));
        FirmwarePaths[static_cast<size_t>(i - 1)] = settings.ReadString("Data", key, " ");
    }
    if (cbVer->count() > 0) cbVer->setCurrentIndex(0);
    lbVer->SetCaption("");
}

void TForm1::FormActivate()
{
    leIP->setFocus(Qt::ActiveWindowFocusReason);
    Image2->hide();
    btFinish->hide();
    mm1->LoadFromFile("note1.txt");
}

void TForm1::FormDestroy()
{
    devmsg::CloseDeviceLibrary();
}

void TForm1::btCancelClick()
{
    close();
}

void TForm1::btFinishClick()
{
    close();
}

void TForm1::Image1MouseMove(Qt::MouseButtons buttons, QPoint pos)
{
    if (!(buttons & Qt::LeftButton)) {
        dragging_ = false;
        return;
    }
    if (!dragging_) {
        dragging_ = true;
        // A window manager moves the window itself; without one the window follows the mouse.
        systemMove_ = windowHandle() && windowHandle()->startSystemMove();
        if (systemMove_) return;
    }
    if (!systemMove_) move(mapToGlobal(pos) - dragOffset_);
}

void TForm1::cbVerChange()
{
    const int index = cbVer->currentIndex();
    if (index >= 0 && index < static_cast<int>(FirmwarePaths.size()))
        FirmwarePath = FirmwarePaths[static_cast<size_t>(index)];
}

void TForm1::PostQuitRequest()
{
    QCoreApplication::postEvent(this, new QEvent(QuitRequest));
}

bool TForm1::event(QEvent* event)
{
    if (event->type() == WindowMessage::EventType) {
        const auto* message = static_cast<WindowMessage*>(event);
        if (message->Message == WM_NDXL_NOTIFY) OnWM_NDXL_Notify(message->WParam);
        return QWidget::event(event);
    }
    if (event->type() == QuitRequest) {
        if (!InsidePumpWait() && OnQuit) OnQuit();
        return true;
    }
    return QWidget::event(event);
}

void TForm1::showEvent(QShowEvent* event)
{
    if (!shown_) {
        shown_ = true;
        if (const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
            const QRect area = screen->geometry();
            move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
        }
        // Whatever goes wrong while the controls are filled is shown, but the window is
        // still shown and activated: a half-built window that never activates is no use.
        try {
            FormShow();
        } catch (const std::exception& e) {
            ShowExceptionLater(e.what());
        } catch (...) {
            ShowExceptionLater("");
        }
    }
    QWidget::showEvent(event);
    activateWindow();
}

void TForm1::ShowExceptionLater(const std::string& message)
{
    QMetaObject::invokeMethod(
        this, [message] { ShowException(message); }, Qt::QueuedConnection);
}

void TForm1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && !activated_) {
        activated_ = true;
        FormActivate();
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // Closing the main window asks the application to end; the window lives until then.
    event->ignore();
    PostQuitRequest();
}

std::string TForm1::IpText()
{
    return ToText(leIP->text());
}

std::string TForm1::PasswordText()
{
    return ToText(lePW->text());
}

void TForm1::ShowMessage(const std::string& text)
{
    ::ShowMessage(text);
}
