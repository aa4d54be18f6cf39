#include "app/SiteFolder.h"

#include "app/IniFile.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace app {

namespace {

// The toolkit's own options (they may come with one or two leading dashes).
constexpr std::array<std::string_view, 16> ToolkitValueOptions{"platform",      "platformpluginpath",
                                                               "platformtheme", "plugin",
                                                               "qmljsdebugger", "qwindowgeometry",
                                                               "geometry",      "qwindowicon",
                                                               "qwindowtitle",  "title",
                                                               "session",       "display",
                                                               "name",          "style",
                                                               "stylesheet",    "visual"};
constexpr std::array<std::string_view, 5> ToolkitFlags{"reverse", "widgetcount", "nograb", "dograb", "sync"};

template <size_t N> bool Contains(const std::array<std::string_view, N>& names, std::string_view name)
{
    for (const auto& n : names)
        if (n == name) return true;
    return false;
}

std::string Quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

} // namespace

StartOptions ParseStartOptions(const std::vector<std::string>& args)
{
    StartOptions options;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "-h" || arg == "--help") {
                options.help = true;
            } else if (arg == "--help-man") {
                options.manual = true;
            } else if (arg == "--version") {
                options.version = true;
            } else if (arg == "--choose-folder") {
                options.chooseFolder = true;
            } else {
                std::string_view name(arg);
                name.remove_prefix(name.starts_with("--") ? 2 : 1);
                const auto equals = name.find('=');
                if (Contains(ToolkitValueOptions, name.substr(0, equals))) {
                    if (equals == std::string_view::npos) ++i; // its value is the next argument
                } else if (!Contains(ToolkitFlags, name)) {
                    options.error = "unknown option " + arg;
                    return options;
                }
            }
            continue;
        }
        if (!options.site.empty()) {
            options.error = "one site folder only: " + Quoted(options.site) + " and " + Quoted(arg);
            return options;
        }
        if (arg.empty()) {
            options.error = "the site folder is an empty name";
            return options;
        }
        options.site = arg;
    }
    return options;
}

SiteFolder ResolveSiteFolder(const std::string& argument)
{
    namespace fs = std::filesystem;
    SiteFolder site;
    std::error_code error;
    const fs::path given(argument);
    const fs::file_status status = fs::status(given, error);
    if (error || !fs::exists(status)) {
        site.error = Quoted(argument) + " does not exist";
        return site;
    }
    fs::path folder = given;
    if (!fs::is_directory(status)) {
        if (!fs::is_regular_file(status) || given.filename() != SettingsFileName) {
            site.error = Quoted(argument) + " is neither a folder nor a file named " + SettingsFileName;
            return site;
        }
        folder = given.parent_path();
        if (folder.empty()) folder = ".";
    }
    // Changing to it proves it usable; reading it (the settings, the notes) needs search and
    // read rights, which an unreadable folder lacks although it can be entered.
    if (::access(folder.c_str(), R_OK | X_OK) != 0) {
        site.error = "cannot open the folder " + Quoted(folder.string()) + ": " + std::strerror(errno);
        return site;
    }
    site.path = folder.string();
    site.hasSettings = fs::is_regular_file(folder / SettingsFileName, error);
    return site;
}

std::vector<std::string> MissingImages(const std::string& folder)
{
    namespace fs = std::filesystem;
    const fs::path base = fs::absolute(fs::path(folder));
    const TIniFile settings((base / SettingsFileName).string());
    // As the window reads them: one image without Path_no, else at most ten.
    const int32_t count = settings.ReadInteger("Data", "Path_no", 1);
    std::vector<std::string> keys{"Path1"};
    for (int32_t i = 2; count != 1 && i <= std::min<int32_t>(count, 10); ++i)
        keys.push_back("Path" + std::to_string(i));
    std::vector<std::string> missing;
    for (const auto& key : keys) {
        const std::string value = settings.ReadString("Data", key, "");
        if (value.empty()) continue; // no image named: the window offers none
        const fs::path image = (base / value).lexically_normal();
        std::error_code error;
        if (!fs::is_regular_file(image, error)) missing.push_back(image.string());
    }
    return missing;
}

bool EnterSiteFolder(const std::string& path, std::string& error)
{
    if (::chdir(path.c_str()) == 0) return true;
    error = "cannot change to the folder " + Quoted(path) + ": " + std::strerror(errno);
    return false;
}

} // namespace app
