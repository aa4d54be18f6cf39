#include "app/SiteFolder.h"

#include "app/IniFile.h"

#include <CLI/CLI.hpp>

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

// The arguments for the window's own parser: the toolkit's options and their values taken
// out. The window has no short options to cluster, so "-help" is an unknown option rather
// than -h followed by -e, -l, -p.
std::vector<std::string> WithoutToolkitOptions(const std::vector<std::string>& args, std::string& error)
{
    std::vector<std::string> own;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            own.insert(own.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::string_view name(arg);
            name.remove_prefix(name.starts_with("--") ? 2 : 1);
            const auto equals = name.find('=');
            if (Contains(ToolkitValueOptions, name.substr(0, equals))) {
                if (equals == std::string_view::npos) ++i; // its value is the next argument
                continue;
            }
            if (Contains(ToolkitFlags, name)) continue;
            if (arg[1] != '-' && arg.size() > 2) {
                error = "unknown option " + arg;
                return {};
            }
        }
        own.push_back(arg);
    }
    return own;
}

} // namespace

StartOptions ParseStartOptions(CLI::App& app, const std::vector<std::string>& args)
{
    StartOptions options;
    app.add_flag("--help-man", options.manual, "the option lists for the manual page")->group("");
    app.add_flag("--version", options.version, "Display program version information and exit");
    app.add_flag("--choose-folder", options.chooseFolder,
                 "Ask for the site folder in a folder dialog first (the start from the desktop menu); with "
                 "FOLDER, open that one");
    app.add_option("FOLDER", options.site,
                   "the site folder, or the FTPUPG.ini in it (default: the current folder)")
        ->type_name("");
    // Left over are unknown options and further folders, told apart below in the window's words.
    app.allow_extras();

    std::vector<std::string> own = WithoutToolkitOptions(args, options.error);
    if (!options.error.empty()) return options;
    std::reverse(own.begin(), own.end()); // the parser takes them last first
    try {
        app.parse(own);
    } catch (const CLI::CallForHelp&) {
        options.help = true;
    } catch (const CLI::ParseError& e) {
        options.error = e.what();
        return options;
    }
    bool optionsEnded = false;
    for (const std::string& extra : app.remaining()) {
        if (extra == "--" && !optionsEnded) {
            optionsEnded = true;
        } else if (!optionsEnded && extra.size() > 1 && extra[0] == '-') {
            options.error = "unknown option " + extra;
            return options;
        } else {
            options.error = "one site folder only: " + Quoted(options.site) + " and " + Quoted(extra);
            return options;
        }
    }
    if (app.count("FOLDER") > 0 && options.site.empty()) options.error = "the site folder is an empty name";
    return options;
}

StartOptions ParseStartOptions(const std::vector<std::string>& args)
{
    CLI::App app;
    return ParseStartOptions(app, args);
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
