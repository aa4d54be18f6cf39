#include "cli/HtmlReport.h"

#include "cli/Outcome.h"
#include "cli/Units.h"
#include "rtl/SafeText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

namespace fleet {

std::string HtmlEscaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

namespace {

using nlohmann::json;

std::string Number(double value, int decimals = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Every text a report holds came from a file, an operator or a device: made printable, then
// escaped.
std::string Text(const json& value)
{
    if (value.is_string()) return HtmlEscaped(rtl::SafeText(value.get<std::string>()));
    if (value.is_null()) return "";
    return HtmlEscaped(rtl::SafeText(value.dump()));
}

std::string Field(const json& object, const char* key)
{
    const auto it = object.find(key);
    return it == object.end() ? "" : Text(*it);
}

double NumberField(const json& object, const char* key)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : 0.0;
}

// The colour family of a result: fine, not done but harmless, needs someone. Whether a device
// came back is a tile of its own: the colour is the write's.
const char* ResultClass(const std::string& name)
{
    const auto result = upgrade::ResultFromName(name);
    if (!result) return "bad";
    if (Succeeded(*result, false, false)) return "good";
    if (*result == upgrade::Result::Skipped || *result == upgrade::Result::Interrupted) return "idle";
    if (*result == upgrade::Result::PartialWrite) return "harm";
    return "bad";
}

bool NotBack(const json& device)
{
    const auto back = device.find("wait_back");
    return upgrade::ResultFromName(device.value("result", "")) == upgrade::Result::Done && back != device.end() &&
           back->is_object() && !back->value("came_back", true);
}

constexpr const char* Style = R"(
:root { --good:#1b7f3b; --bad:#b3261e; --idle:#6b6b6b; --harm:#b35c00; --check:#5b7db1; --transfer:#2e8b57;
        --wait-back:#c09020; --discovery:#e4e9f2; --line:#d0d0d0; font-family: "DejaVu Sans", Arial, sans-serif; color:#1d1d1d; }
body { margin: 24px auto; max-width: 1100px; padding: 0 16px; font-size: 14px; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 28px 0 8px; }
.meta { color:#444; margin: 2px 0; } .meta code { font-size: 12px; word-break: break-all; }
.banner { border-left: 5px solid var(--harm); background:#fff4e5; padding: 8px 12px; margin: 12px 0; }
.tiles { display:flex; flex-wrap:wrap; gap:10px; margin-top: 14px; }
.tile { border:1px solid var(--line); border-radius:6px; padding:8px 14px; min-width:90px; }
.tile b { display:block; font-size:22px; } .tile span { color:#555; font-size:12px; }
.tile.good b { color:var(--good); } .tile.bad b { color:var(--bad); } .tile.harm b { color:var(--harm); }
table { border-collapse: collapse; width: 100%; font-size: 13px; }
th, td { text-align:left; padding: 5px 8px; border-bottom: 1px solid var(--line); vertical-align: top; }
th { background:#f3f3f3; } td.num { text-align:right; font-variant-numeric: tabular-nums; white-space:nowrap; }
.result { font-weight:bold; white-space:nowrap; } .result.good { color:var(--good); } .result.bad { color:var(--bad); }
.result.idle { color:var(--idle); } .result.harm { color:var(--harm); }
svg { width:100%; height:auto; font-size:12px; }
svg text { fill:#1d1d1d; } svg .axis { stroke:var(--line); } svg .tick { fill:#555; }
svg .check { fill:var(--check); } svg .transfer { fill:var(--transfer); } svg .wait-back { fill:var(--wait-back); }
svg .discovery { fill:var(--discovery); } svg .cut { fill:var(--harm); }
td:nth-child(-n+2) { white-space:nowrap; }
.legend span { display:inline-block; width:12px; height:12px; margin:0 4px 0 14px; vertical-align:-1px; }
.note { color:#555; font-style: italic; }
@media print {
  body { margin: 0; max-width: none; font-size: 11px; }
  h2 { break-after: avoid; } tr, .tile, svg { break-inside: avoid; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)";

void Summary(const json& report, std::string& page)
{
    const json& image = report.value("image", json::object());
    page += "<h1>Firmware upgrade report</h1>\n";
    page += "<p class=\"meta\">Image <code>" + Field(image, "path") + "</code>, " +
            HtmlEscaped(FormatBytes(static_cast<uint64_t>(NumberField(image, "size")))) + ", SHA-256 <code>" +
            Field(image, "sha256") + "</code></p>\n";
    // Reports written before images were signed hold no signature: nothing is said then.
    if (const auto sig = image.find("signature"); sig != image.end() && sig->is_object()) {
        if (sig->value("result", "") == "verified")
            page += "<p class=\"meta\">Signature verified: key <code>" + Field(*sig, "key_id") +
                    "</code>, trusted comment <code>" + Field(*sig, "trusted_comment") + "</code></p>\n";
        else
            page += "<p class=\"meta\">Signature not verified (no trusted key was given)</p>\n";
    }
    page += "<p class=\"meta\">Started " + Field(report, "started") + ", finished " + Field(report, "finished") +
            " (UTC) by " + Field(report, "tool") + " " + Field(report, "version") +
            (report.value("options", json::object()).value("dry_run", false) ? ", a dry run: nothing was written"
                                                                             : "") +
            "</p>\n";
    if (report.value("interrupted", false))
        page += "<p class=\"banner\">The run was stopped before every device had an outcome.</p>\n";
    if (!report.value("complete", true))
        page += "<p class=\"banner\">The run had not ended when this report was written (last at " +
                Field(report, "finished") +
                " UTC): devices still running are given as it would leave them, "
                "and <code>ftpupg-cli upgrade --resume</code> goes on with them.</p>\n";
    const json& summary = report.value("summary", json::object());
    page += "<div class=\"tiles\">\n";
    const std::pair<const char*, const char*> tiles[] = {{"devices", ""},          {"done", "good"},
                                                         {"already_done", "good"}, {"would_upgrade", "good"},
                                                         {"skipped", ""},          {"not_back", "bad"},
                                                         {"not_restarted", "bad"}, {"address_changed", "bad"},
                                                         {"unconfirmed", "bad"},   {"back_unconfirmed", "bad"},
                                                         {"failed", "bad"}};
    for (const auto& [key, kind] : tiles) {
        const double n = NumberField(summary, key);
        if (n == 0 && std::string_view(key) != "devices" && std::string_view(key) != "failed") continue;
        std::string name = key;
        std::replace(name.begin(), name.end(), '_', ' ');
        page += std::string("<div class=\"tile ") + (n > 0 ? kind : "") + "\"><b>" + Number(n) + "</b><span>" +
                name + "</span></div>\n";
    }
    page += "</div>\n";
}

// Devices a stop left holding part of an image: the first thing a reader must see.
void Warnings(const json& devices, double imageSize, std::string& page)
{
    std::string items;
    for (const auto& d : devices)
        if (upgrade::ResultFromName(d.value("result", "")) == upgrade::Result::PartialWrite)
            items += "<li>" + Field(d, "ip") +
                     (d.value("label", json()).is_string() ? " (" + Field(d, "label") + ")" : "") + ": " +
                     Number(NumberField(d, "bytes")) + " of " + Number(imageSize) + " bytes</li>\n";
    if (items.empty()) return;
    page +=
        "<div class=\"banner\"><b>Aborted mid-write:</b> these devices hold part of the image and may not "
        "start until it is written again.<ul>\n" +
        items + "</ul></div>\n";
}

struct Bar {
    std::string stage; // check, transfer, wait-back
    double startMs;
    double endMs;
};

// A device's bars: its timed stages, or for an older report its durations laid end to end.
std::vector<Bar> Bars(const json& device, bool timed)
{
    std::vector<Bar> bars;
    if (timed) {
        for (const auto& s : device.value("stages", json::array()))
            if (s.is_object())
                bars.push_back({s.value("stage", ""), NumberField(s, "start_ms"), NumberField(s, "end_ms")});
        return bars;
    }
    const double total = NumberField(device, "seconds") * 1000;
    const double transfer = NumberField(device, "transfer_seconds") * 1000;
    const auto back = device.find("wait_back");
    const double waitBack = back != device.end() && back->is_object() ? NumberField(*back, "seconds") * 1000 : 0.0;
    const double check = std::max(0.0, total - transfer - waitBack);
    double at = 0;
    for (const auto& [stage, ms] : {std::pair{"check", check}, {"transfer", transfer}, {"wait-back", waitBack}}) {
        if (ms > 0) bars.push_back({stage, at, at + ms});
        at += ms;
    }
    return bars;
}

// A tick every 1, 2 or 5 times a power of ten, at most about ten of them.
double TickStep(double spanMs)
{
    double step = 1;
    for (int i = 0; spanMs / step > 10; ++i)
        step *= i % 3 == 1 ? 2.5 : 2;
    return step;
}

std::string Seconds(double ms)
{
    return ms >= 10000 || std::fmod(ms, 1000) == 0 ? Number(ms / 1000) + " s" : Number(ms / 1000, 1) + " s";
}

void Legend(bool timed, std::string& page)
{
    page += "<h2>Timeline</h2>\n<p class=\"legend\">";
    for (const auto& [stage, meaning] : {std::pair{"discovery", "the fleet's shared discovery"},
                                         {"check", "the device's discovery and password check"},
                                         {"transfer", "transfer"},
                                         {"wait-back", "wait for the restart"}})
        page += std::string("<span style=\"background:var(--") + stage + ")\"></span>" + meaning;
    page += "</p>\n";
    if (!timed)
        page +=
            "<p class=\"note\">This report holds no stage times (it was written by an earlier version): each "
            "device's durations are drawn from a common start.</p>\n";
}

// The timeline's drawing: a row per device below a time axis.
struct Chart {
    static constexpr double Left = 230, Right = 985, RowHeight = 22, Top = 24;
    double endMs = 1;
    double height = 0;
    double X(double ms) const { return Left + ms * (Right - Left) / endMs; }
    double Y(size_t row) const { return Top + RowHeight * static_cast<double>(row); }
};

void Axis(const Chart& chart, std::optional<double> discoveryMs, std::string& page)
{
    if (discoveryMs)
        page += "<rect class=\"discovery\" x=\"" + Number(Chart::Left) + "\" y=\"" + Number(Chart::Top - 4) +
                "\" width=\"" + Number(chart.X(*discoveryMs) - Chart::Left, 1) + "\" height=\"" +
                Number(chart.height - Chart::Top - 4) + "\"><title>shared discovery: " + Seconds(*discoveryMs) +
                "</title></rect>\n";
    const double step = TickStep(chart.endMs);
    for (double t = 0; t <= chart.endMs + 0.5; t += step) {
        const std::string x = Number(chart.X(t), 1);
        page += "<line class=\"axis\" x1=\"" + x + "\" y1=\"" + Number(Chart::Top - 6) + "\" x2=\"" + x +
                "\" y2=\"" + Number(chart.height - 6) + "\"/><text class=\"tick\" x=\"" + x +
                "\" y=\"14\" text-anchor=\"middle\">" + Seconds(t) + "</text>\n";
    }
}

void DeviceRow(const Chart& chart, size_t row, const json& d, const std::vector<Bar>& bars, std::string& page)
{
    const std::string y = Number(chart.Y(row) + 15);
    std::string name = Field(d, "ip");
    if (d.value("label", json()).is_string()) name += " " + Field(d, "label");
    page += "<text x=\"4\" y=\"" + y + "\">" + name + "</text>\n";
    // The result beside the bars, or where they would be.
    const double end = bars.empty() ? Chart::Left : chart.X(bars.back().endMs);
    const bool right = end + 130 < 1000;
    page += "<text class=\"tick\" x=\"" + Number(right ? end + 4 : chart.X(bars.front().startMs) - 4) + "\" y=\"" +
            y + "\" text-anchor=\"" + (right ? "start" : "end") + "\">" + Field(d, "result") + "</text>\n";
    // A write the abort cut short is drawn in the warning's colour.
    const bool cut = upgrade::ResultFromName(d.value("result", "")) == upgrade::Result::PartialWrite;
    for (const auto& b : bars) {
        const std::string stage = HtmlEscaped(rtl::SafeText(b.stage));
        page += "<rect class=\"" + stage + (cut && &b == &bars.back() ? " cut" : "") + "\" x=\"" +
                Number(chart.X(b.startMs), 1) + "\" y=\"" + Number(chart.Y(row) + 4) + "\" width=\"" +
                Number(std::max(1.0, chart.X(b.endMs) - chart.X(b.startMs)), 1) + "\" height=\"14\"><title>" +
                Field(d, "ip") + " " + stage + ": " + Seconds(b.startMs) + " to " + Seconds(b.endMs) +
                "</title></rect>\n";
    }
}

void Timeline(const json& report, std::string& page)
{
    const json& devices = report["devices"];
    const bool timed =
        std::any_of(devices.begin(), devices.end(), [](const json& d) { return d.contains("stages"); });
    std::optional<double> discoveryMs;
    if (const auto it = report.find("discovery_ms"); timed && it != report.end() && it->is_number())
        discoveryMs = it->get<double>();
    Chart chart;
    chart.endMs = std::max(1.0, discoveryMs.value_or(0));
    chart.height = chart.Y(devices.size()) + 10;
    std::vector<std::vector<Bar>> rows;
    for (const auto& d : devices) {
        rows.push_back(Bars(d, timed));
        for (const auto& b : rows.back())
            chart.endMs = std::max(chart.endMs, b.endMs);
    }
    Legend(timed, page);
    page += "<svg viewBox=\"0 0 1000 " + Number(chart.height) +
            "\" role=\"img\" aria-label=\"Timeline of the devices\">\n";
    Axis(chart, discoveryMs, page);
    for (size_t i = 0; i < devices.size(); ++i)
        DeviceRow(chart, i, devices[i], rows[i], page);
    page += "</svg>\n";
}

std::string Back(const json& device)
{
    const auto back = device.find("wait_back");
    if (back == device.end() || !back->is_object()) return "";
    if (!back->value("came_back", false))
        return back->contains("silent_after") && (*back)["silent_after"].is_null() ? "did not restart"
                                                                                   : "did not come back";
    return HtmlEscaped(FormatSeconds(NumberField(*back, "seconds")));
}

void DeviceRows(const json& devices, std::string& page)
{
    page +=
        "<h2>Devices</h2>\n<table>\n<thead><tr><th>Device</th><th>Label</th><th>Name</th><th>Result</th>"
        "<th>Attempts</th><th>Bytes</th><th>Time</th><th>Rate</th><th>Back after</th><th>Message</th></tr>"
        "</thead>\n<tbody>\n";
    for (const auto& d : devices) {
        const std::string result = d.value("result", "");
        const std::string shown = NotBack(d) ? "not-back" : result;
        const json& device = d.value("device", json());
        const double rate = NumberField(d, "rate_bytes_per_s");
        page += "<tr><td>" + Field(d, "ip") + "</td><td>" + Field(d, "label") + "</td><td>" +
                (device.is_object() ? Field(device, "name") : "") + "</td><td class=\"result " +
                ResultClass(NotBack(d) ? "not-back" : result) + "\">" + HtmlEscaped(rtl::SafeText(shown)) +
                "</td><td class=\"num\">" + Number(NumberField(d, "attempts")) + "</td><td class=\"num\">" +
                Number(NumberField(d, "bytes")) + "</td><td class=\"num\">" +
                HtmlEscaped(FormatSeconds(NumberField(d, "seconds"))) + "</td><td class=\"num\">" +
                (rate > 0 ? HtmlEscaped(FormatRate(rate)) : "") + "</td><td class=\"num\">" + Back(d) +
                "</td><td>" + Field(d, "message") + "</td></tr>\n";
    }
    page += "</tbody>\n</table>\n";
}

} // namespace

std::string HtmlReport(const json& report)
{
    if (!report.is_object() || report.value("tool", json()) != "ftpupg-cli" || !report.contains("devices") ||
        !report["devices"].is_array())
        throw std::runtime_error("not a report of ftpupg-cli upgrade");
    try {
        const json& devices = report["devices"];
        std::string page =
            "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<title>Firmware upgrade report, " +
            Field(report, "started") + "</title>\n<style>" + Style + "</style>\n</head>\n<body>\n";
        Summary(report, page);
        Warnings(devices, NumberField(report.value("image", json::object()), "size"), page);
        Timeline(report, page);
        DeviceRows(devices, page);
        page += "</body>\n</html>\n";
        return page;
    } catch (const json::exception& e) {
        // A field of another type than a report has.
        throw std::runtime_error(std::string("not a report of ftpupg-cli upgrade (") + e.what() + ")");
    }
}

} // namespace fleet
