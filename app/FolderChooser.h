// The desktop's start: the window opens on a site folder the operator picks, not on whatever
// folder the desktop happened to start it in.
#pragma once

#include <optional>
#include <string>

namespace app {

// Asks for the site folder in the desktop's folder dialog, opened at the folder chosen last
// time. given is a folder or FTPUPG.ini the desktop handed over ("Open with"), which is taken
// without the dialog when usable; empty from the menu. A folder without FTPUPG.ini is opened
// only when the operator says so. Returns the folder; nothing when the operator cancels.
// Needs the application object.
std::optional<std::string> ChooseSiteFolder(const std::string& given);

} // namespace app
