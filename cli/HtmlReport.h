// A fleet report as one self-contained HTML page to hand on: the run's summary, a table of
// the devices and a timeline of each device's stages. Nothing is fetched to show it (inline
// CSS and SVG, no script), and it prints on paper as it shows on screen.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace fleet {

// Text made safe inside an HTML element or a quoted attribute.
std::string HtmlEscaped(std::string_view text);

// The page for a report of ftpupg-cli upgrade (as read from its JSON). A report written
// before stages were timed gets durations only. Throws std::runtime_error naming what is
// wrong when the JSON is no such report.
std::string HtmlReport(const nlohmann::json& report);

} // namespace fleet
