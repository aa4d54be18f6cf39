#include "app/FolderChooser.h"

#include "app/Application.h"
#include "app/SiteFolder.h"
#include "upgrade/UpgradePolicy.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

namespace app {

namespace {

// Per user, in the toolkit's settings file under the XDG configuration folder.
constexpr const char* LastFolderKey = "SiteFolder/Last";

QString Caption(const char* text)
{
    return QString::fromUtf8(ApplicationTitle) + QStringLiteral(": ") + QString::fromUtf8(text);
}

// The folder chosen last time, or the nearest folder above it that still exists.
QString StartFolder()
{
    QString folder = QSettings().value(LastFolderKey).toString();
    while (!folder.isEmpty() && !QFileInfo(folder).isDir()) {
        const QString parent = QFileInfo(folder).path();
        if (parent == folder) break;
        folder = parent;
    }
    return folder.isEmpty() || !QFileInfo(folder).isDir() ? QDir::homePath() : folder;
}

void Remember(const std::string& folder)
{
    QSettings settings;
    settings.setValue(LastFolderKey, QFileInfo(QFile::decodeName(folder.c_str())).absoluteFilePath());
    settings.sync();
}

std::optional<std::string> AskForFolder(const QString& startAt)
{
    QFileDialog dialog(nullptr, Caption("choose the folder that holds FTPUPG.ini"), startAt);
    dialog.setFileMode(QFileDialog::Directory);
    // The settings files show, so that a site folder does not look empty.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilter(QStringLiteral("Site settings (FTPUPG.ini)"));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("Folder with FTPUPG.ini:"));
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Open"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
}

enum class Answer { OpenWithDefaults, ChooseAnother, Cancel };

// Open this folder anyway, choose another (the default) or give up.
Answer AskOpenAnyway(QMessageBox::Icon icon, const QString& text, const QString& openLabel)
{
    QMessageBox box(icon, QString::fromUtf8(ApplicationTitle), text, QMessageBox::NoButton);
    box.setTextFormat(Qt::PlainText);
    QPushButton* open = box.addButton(openLabel, QMessageBox::AcceptRole);
    QPushButton* another = box.addButton(QStringLiteral("Choose Another Folder"), QMessageBox::ActionRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(another);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == open) return Answer::OpenWithDefaults;
    if (box.clickedButton() == another) return Answer::ChooseAnother;
    return Answer::Cancel;
}

// The window without FTPUPG.ini shows an address that is most likely not the device's, and
// GO would look for it: the operator decides with that in view.
Answer AskAboutMissingSettings(const std::string& folder)
{
    return AskOpenAnyway(QMessageBox::Question,
                         QStringLiteral("The folder %1 holds no FTPUPG.ini.\n\n"
                                        "Without it the window opens with its defaults: the device "
                                        "address %2 and no firmware image.")
                             .arg(QFile::decodeName(folder.c_str()), QString::fromLatin1(upgrade::DeviceAddress)),
                         QStringLiteral("Open with Defaults"));
}

// An image the settings name but the folder lacks would fail only at GO, after the password.
Answer AskAboutMissingImages(const std::vector<std::string>& images)
{
    QString list;
    for (const auto& image : images)
        list += QStringLiteral("\n") + QFile::decodeName(image.c_str());
    return AskOpenAnyway(QMessageBox::Warning,
                         QStringLiteral("FTPUPG.ini names firmware images that are missing:\n%1\n\n"
                                        "An upgrade with one of them fails.")
                             .arg(list),
                         QStringLiteral("Open Anyway"));
}

void ShowUnusable(const std::string& reason)
{
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(ApplicationTitle),
                    QString::fromStdString(reason) +
                        QStringLiteral(".\n\nChoose the folder that holds FTPUPG.ini."),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

std::optional<std::string> ChooseSiteFolder(const std::string& given)
{
    std::string candidate = given;
    QString startAt = StartFolder();
    for (;;) {
        if (candidate.empty()) {
            auto chosen = AskForFolder(startAt);
            if (!chosen) return std::nullopt;
            candidate = *chosen;
        }
        const SiteFolder site = ResolveSiteFolder(candidate);
        candidate.clear();
        if (!site.error.empty()) {
            ShowUnusable(site.error);
            continue;
        }
        startAt = QFile::decodeName(site.path.c_str());
        if (!site.hasSettings) {
            const Answer answer = AskAboutMissingSettings(site.path);
            if (answer == Answer::Cancel) return std::nullopt;
            if (answer == Answer::ChooseAnother) continue;
        } else if (const auto missing = MissingImages(site.path); !missing.empty()) {
            const Answer answer = AskAboutMissingImages(missing);
            if (answer == Answer::Cancel) return std::nullopt;
            if (answer == Answer::ChooseAnother) continue;
        }
        Remember(site.path);
        return site.path;
    }
}

} // namespace app
