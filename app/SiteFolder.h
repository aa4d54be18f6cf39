// The window's command line and the site folder it names. A site folder holds FTPUPG.ini and
// the notes; the window reads them from its current directory, so starting in a site folder
// means changing to it before the window exists. No toolkit here: usage errors must be
// reported on a terminal without a display.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace app {

inline constexpr const char* SettingsFileName = "FTPUPG.ini";

struct StartOptions {
    bool help = false;
    bool manual = false; // --help-man: the option lists of the manual page
    bool version = false;
    bool chooseFolder = false; // ask for the site folder before the window (desktop start)
    std::string site;          // FOLDER or FOLDER/FTPUPG.ini as given; empty: the current folder
    std::string error;         // a usage error, worded for the operator; empty when none
};

// Reads the arguments after the program name with the window's options declared on app, which
// its --help and manual page then describe. Options of the window toolkit (-platform X,
// -display X, -style X, ...) are left alone for the toolkit to take.
StartOptions ParseStartOptions(CLI::App& app, const std::vector<std::string>& args);
StartOptions ParseStartOptions(const std::vector<std::string>& args);

struct SiteFolder {
    std::string path;         // the folder to change to; empty when unusable
    bool hasSettings = false; // it holds a regular FTPUPG.ini
    std::string error;        // why the argument is unusable; empty when usable
};

// What an argument names: a folder, or the FTPUPG.ini inside one.
SiteFolder ResolveSiteFolder(const std::string& argument);

// The firmware images the folder's FTPUPG.ini names (Path1, or Path1..Path<Path_no> as the
// window offers them) that are no regular file, each as its full path, in the order named.
std::vector<std::string> MissingImages(const std::string& folder);

// Makes the folder the current directory; false with the reason in error.
bool EnterSiteFolder(const std::string& path, std::string& error);

} // namespace app
