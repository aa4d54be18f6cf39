#include "Application.h"
#include "FtpupgVersion.h"
#include "MainForm.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

void PrintUsage()
{
    std::printf(
        "Usage: ftpupg [--help] [--version]\n"
        "\n"
        "Morvane Firmware Upgrade Utility: loads new firmware into one device on the local\n"
        "network. Start it in the folder that holds its files:\n"
        "\n"
        "  FTPUPG.ini   settings, section [Data]: IP (device address), Path1 (firmware image),\n"
        "               Ver, Title, and for a version list Path_no with Path<i>_ver / Path<i>\n"
        "  note1.txt    notes shown when the window opens\n"
        "  note2.txt    notes shown when the upgrade has finished\n"
        "\n"
        "The files may be UTF-8 or Windows-1252 (files written on Windows); only regular files\n"
        "are read, and only their first 256 KiB. Without FTPUPG.ini the defaults apply.\n"
        "\n"
        "Type the device password, pick a version if offered, and press GO. The image is sent\n"
        "with TFTP to UDP port 69 of the device. Diagnostic lines go to standard error.\n"
        "\n"
        "Environment:\n"
        "  NDXL_BROADCAST       where device discovery is sent (default: every interface)\n"
        "  FTPUPG_ARP_COMMAND   program that clears the neighbour entry, called as PROGRAM -d IP\n"
        "                       (only for an address of four dotted decimal numbers)\n");
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", ftpupg::VersionText("ftpupg").c_str());
            return 0;
        }
    }

    TApplication application(argc, argv);
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
