// ftpupg-cli: discovers devices and upgrades one or many of them, with the same device
// library, frames and TFTP client as the window.
#include "cli/DiscoverCommand.h"
#include "cli/DoctorCommand.h"
#include "cli/OptionSuggest.h"
#include "cli/Outcome.h"
#include "cli/ReportCommand.h"
#include "cli/Units.h"
#include "cli/UpgradeCommand.h"
#include "devmsg/NdxlCore.h"
#include "rtl/FtpupgVersion.h"
#include "rtl/OptionHelp.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

constexpr const char* Footer =
    "Exit status: 0 every device done or already-done (dry run: would-upgrade) (discover: a device\n"
    "answered) (doctor: every check ok), 1 a device failed (unconfirmed, back-unconfirmed among them)\n"
    "or, with --wait-back, did not restart (not-restarted), came back from another hardware address\n"
    "(address-changed) or did not come back (discover: none answered) (doctor: a check not ok),\n"
    "2 usage error, 3 image refused (also unsigned, tampered or signed by another key with\n"
    "--trusted-key), 4 the rollout stopped (a canary failed or --max-failures was\n"
    "reached) and devices were skipped, 130 interrupted.\n"
    "Address list (--ips): one device per line, 'ADDRESS [LABEL] [@PASSWORD-FILE]', e.g.\n"
    "  10.20.0.15  line-3-press  @line3.pw\n"
    "The label (no blanks) names the device in tables and reports; the device's password is the\n"
    "first line of PASSWORD-FILE (relative to the list's folder). '#' starts a comment.\n"
    "NDXL_BROADCAST=ADDRESS sends discovery to one network's broadcast address only;\n"
    "man ftpupg-cli lists every environment variable.";

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Discovers Morvane devices and upgrades their firmware, one or many at once.", "ftpupg-cli"};
    rtl::UseOperatorHelp(app);
    app.set_version_flag("--version", rtl::VersionText("ftpupg-cli"));
    app.require_subcommand(1);
    app.footer(Footer);
    fleet::DiscoverArgs discoverArgs;
    fleet::UpgradeArgs upgradeArgs;
    fleet::DoctorArgs doctorArgs;
    fleet::ReportArgs reportArgs;
    const auto* discover = fleet::AddDiscoverCommand(app, discoverArgs);
    fleet::AddUpgradeCommand(app, upgradeArgs);
    const auto* doctor = fleet::AddDoctorCommand(app, doctorArgs);
    const auto* report = fleet::AddReportCommand(app, reportArgs);

    if (argc == 1) {
        // No command: what there is to do, rather than only that a command is missing.
        std::fputs(app.help().c_str(), stdout);
        return fleet::ExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        if (code != 0) fleet::SuggestOptions(app, argc, argv);
        return code == 0 ? 0 : fleet::ExitUsage;
    }
    if (report->parsed()) return fleet::RunReportCommand(reportArgs);
    // The device library would refuse a bad setting device by device; it is named once, first.
    std::string problem;
    bool settingsOk = true;
    devmsg::SettingsFromEnvironment(problem, settingsOk);
    if (!settingsOk) return fleet::UsageError(problem);
    if (discover->parsed()) return fleet::RunDiscover(discoverArgs);
    if (doctor->parsed()) return fleet::RunDoctor(doctorArgs);
    return fleet::RunUpgrade(upgradeArgs);
}
