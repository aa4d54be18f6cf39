#include "app/Application.h"
#include "app/FolderChooser.h"
#include "rtl/FtpupgVersion.h"
#include "rtl/OptionHelp.h"
#include "app/MainForm.h"
#include "app/SiteFolder.h"
#include "upgrade/UpgradePolicy.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

// What --help and the manual page say besides the options, which ParseStartOptions declares.
void DescribeCommandLine(CLI::App& app)
{
    app.formatter(std::make_shared<rtl::OperatorHelp>());
    app.footer(
        std::string("The site folder holds:\n"
                    "  FTPUPG.ini   settings, section [Data]: IP (device address), Path1 (firmware image),\n"
                    "               Ver, Title, and for a version list Path_no with Path<i>_ver / Path<i>\n"
                    "  note1.txt    notes shown when the window opens\n"
                    "  note2.txt    notes shown when the upgrade has finished\n"
                    "The files may be UTF-8 or Windows-1252 (files written on Windows); only regular files\n"
                    "are read, and only their first 256 KiB. Without FTPUPG.ini the defaults apply: device\n"
                    "address ") +
        upgrade::DeviceAddress +
        " and no firmware image.\n"
        "\n"
        "Type the device password, pick a version if offered, and press GO. The image is sent\n"
        "with TFTP to UDP port 69 of the device. Diagnostic lines go to standard error.\n"
        "\n"
        "Environment: NDXL_BROADCAST, NDXL_PORT, NDXL_LOCAL_PORT, FTPUPG_ARP_COMMAND (man ftpupg).\n"
        "\n"
        "Exit status: 0 the window was closed (or the folder dialog cancelled), 2 usage error.");
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App cli{"Loads new firmware into one Morvane device on the local network.", "ftpupg"};
    DescribeCommandLine(cli);
    const app::StartOptions options = app::ParseStartOptions(cli, std::vector<std::string>(argv + 1, argv + argc));
    if (!options.error.empty()) {
        std::fprintf(stderr, "ftpupg: %s\nTry 'ftpupg --help'.\n", options.error.c_str());
        return 2;
    }
    if (options.help || options.manual) {
        std::cout << (options.manual ? rtl::OperatorHelp().Manual(cli) : cli.help());
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", rtl::VersionText("ftpupg").c_str());
        return 0;
    }
    // From a terminal the folder is settled before any window, so that a wrong one is told
    // where the operator typed it.
    if (!options.site.empty() && !options.chooseFolder) {
        const app::SiteFolder site = app::ResolveSiteFolder(options.site);
        std::string error = site.error;
        if (error.empty() && site.hasSettings)
            for (const auto& image : app::MissingImages(site.path))
                std::fprintf(stderr, "ftpupg: warning: FTPUPG.ini names the firmware image %s, which is missing\n",
                             image.c_str());
        if (error.empty() && app::EnterSiteFolder(site.path, error) && !site.hasSettings)
            std::fprintf(stderr, "ftpupg: no FTPUPG.ini in \"%s\": the defaults apply\n", site.path.c_str());
        if (!error.empty()) {
            std::fprintf(stderr, "ftpupg: %s\n", error.c_str());
            return 2;
        }
    }

    TApplication application(argc, argv);
    if (options.chooseFolder) {
        const auto folder = app::ChooseSiteFolder(options.site);
        if (!folder) return 0;
        std::string error;
        if (!app::EnterSiteFolder(*folder, error)) {
            ShowException(error);
            return 2;
        }
    }
    try {
        TForm1 form;
        form.show();
        application.exec();
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("");
    }
    return 0;
}
