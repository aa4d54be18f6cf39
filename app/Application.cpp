#include "app/Application.h"

#include "rtl/Exception.h"
#include "rtl/FtpupgVersion.h"
#include "rtl/TextCodec.h"

#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>

#include <cstdio>
#include <exception>

namespace {

MessageBoxHook& Hook()
{
    static MessageBoxHook hook;
    return hook;
}

void ShowBox(QMessageBox::Icon icon, const char* kind, const std::string& text)
{
    if (Hook()) {
        Hook()(kind, text);
        return;
    }
    QMessageBox box(icon, QString::fromUtf8(ApplicationTitle), QString::fromStdString(rtl::TextAsUtf8(text)),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

// Password edits show '*' for every character, as operators know it from the device tools.
class AppStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        if (hint == SH_LineEdit_PasswordMaskDelay) return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setStyle(new AppStyle);
    setApplicationName("ftpupg");
    // No display name: the toolkit would append it to every window's caption.
    setOrganizationName(rtl::Maker);
    setApplicationVersion(rtl::Version);
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("");
    }
    return true;
}

void ShowMessage(const std::string& text)
{
    ShowBox(QMessageBox::NoIcon, "message", text);
}

void ShowException(const std::string& message)
{
    try {
        ShowBox(QMessageBox::Critical, "error", rtl::WithFullStop(message));
    } catch (...) {
        // An error inside the error display itself has nowhere left to go.
        std::fprintf(stderr, "ftpupg: %s\n", rtl::WithFullStop(message).c_str());
    }
}

void SetMessageBoxHook(MessageBoxHook hook)
{
    Hook() = std::move(hook);
}
