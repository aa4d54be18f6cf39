// The application object: its title, the operator message box and the top-level error
// display that every exception escaping an event handler ends in.
#pragma once

#include "rtl/FtpupgVersion.h"

#include <QApplication>

#include <functional>
#include <string>

inline constexpr const char* ApplicationTitle = rtl::ProductName;

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Modal operator message: the application title as caption, the text, one "OK", no icon.
void ShowMessage(const std::string& text);

// The top-level error display: error icon, one OK, the message with the full-stop rule.
void ShowException(const std::string& message);

// Tests replace how boxes are shown (they still run inside the handler that shows them).
// kind is "message" or "error"; text is what the box would show.
using MessageBoxHook = std::function<void(const char* kind, const std::string& text)>;
void SetMessageBoxHook(MessageBoxHook hook);
