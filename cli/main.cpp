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

int main(int argc, char** argv)
{
    CLI::App app{"Discovers Morvane devices and upgrades their firmware, one or many at once.", "ftpupg-cli"};
    rtl::UseOperatorHelp(app);
    app.set_version_flag("--version", rtl::VersionText("ftpupg-cli"));
    app.require_subcommand(1);
    app.footer(
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
        "man ftpupg-cli lists every environment variable.");

    int discoverWait = upgrade::ToolAnswerWaitMs;
    bool discoverJson = false;
    auto* discover = app.add_subcommand("discover", "List the devices that answer one discovery request");
    discover
        ->add_option("--wait", discoverWait,
                     "How long to collect answers, in ms (default " + std::to_string(::upgrade::ToolAnswerWaitMs) +
                         ")")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    discover->add_flag("--json", discoverJson, "Print the list as JSON");
    std::string discoverTrace;
    discover
        ->add_option("--trace", discoverTrace,
                     "Write every datagram sent and received to DIR/discovery.pcapng, a packet trace for "
                     "Wireshark")
        ->type_name("DIR");

    fleet::UpgradeArgs a;
    auto* upgrade = app.add_subcommand("upgrade", "Write a firmware image to one or many devices");
    upgrade->add_option("--image", a.image, "Firmware image to write (required unless --resume gives it)")
        ->type_name("FILE");
    std::string password;
    auto* passwordOption = upgrade
                               ->add_option("--password", password,
                                            "Device password (visible to other users; "
                                            "prefer --password-file or FTPUPG_PASSWORD)")
                               ->type_name("TEXT");
    upgrade
        ->add_option("--password-file", a.passwordFile,
                     "The password of devices without a password file of their own: the first line of FILE")
        ->type_name("FILE");
    upgrade->add_option("--ip", a.ips, "A device's IPv4 address; repeat for more devices")->type_name("IP");
    upgrade
        ->add_option("--ips", a.ipsFile,
                     "Address list: one device per line, ADDRESS [LABEL] [@PASSWORD-FILE] (- for stdin; "
                     "see below)")
        ->type_name("FILE");
    upgrade->add_flag("--all", a.all, "Every device that answers discovery");
    upgrade
        ->add_option("--jobs", a.jobs,
                     "Devices upgraded at once (default " + std::to_string(::upgrade::Jobs) + ")")
        ->check(CLI::Range(1, 256))
        ->type_name("N");
    upgrade
        ->add_option("--blksize", a.blockSize,
                     "TFTP block size (default " + std::to_string(::upgrade::BlockSize) + ")")
        ->check(CLI::Range(8, 65464))
        ->type_name("N");
    upgrade
        ->add_option("--timeout", a.timeoutMs,
                     "Longest TFTP wait for a reply in ms: the retransmission timer doubles up to it from the "
                     "measured round trip; " +
                         std::to_string(::upgrade::Tries) +
                         " such whole waits in a row without progress are a time-out (default " +
                         std::to_string(::upgrade::ReceiveTimeoutMs) + ")")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    upgrade
        ->add_option("--windowsize", a.windowSize,
                     "TFTP blocks sent before waiting for an acknowledgement (RFC 7440); a device that does not "
                     "know the option takes one at a time (default " +
                         std::to_string(::upgrade::WindowSize) + ")")
        ->check(CLI::Range(1, 65535))
        ->type_name("N");
    upgrade
        ->add_option("--wait", a.waitMs,
                     "Wait for discovery and password answers, in ms (default " +
                         std::to_string(::upgrade::ToolAnswerWaitMs) + ")")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    upgrade
        ->add_option("--retries", a.retries,
                     "Try a device again from discovery after a time-out or TFTP error, up to N more times "
                     "(default 0)")
        ->check(CLI::Range(0, 100))
        ->type_name("N");
    upgrade
        ->add_option("--wait-back", a.waitBack,
                     "After the write, wait up to SECONDS for the device to restart: fall silent, then answer "
                     "again from the same hardware address")
        ->check(CLI::Range(0, 3600))
        ->type_name("SECONDS");
    upgrade
        ->add_option("--canary", a.canary,
                     "Upgrade the first N devices first; go on only if all of them are done (and came back)")
        ->check(CLI::Range(0, 100000))
        ->type_name("N");
    upgrade
        ->add_option("--max-failures", a.maxFailures,
                     "Start no further device once K devices failed; running ones finish (default 0: no limit)")
        ->check(CLI::Range(0, 100000))
        ->type_name("K");
    upgrade
        ->add_option("--skip-done", a.skipDone,
                     "Skip every device an earlier JSON report gives as done with this image (already-done)")
        ->type_name("REPORT");
    upgrade
        ->add_option("--resume", a.resume,
                     "The run of an earlier JSON report again: its image (refused if it changed), devices and "
                     "options (those given here win), skipping the devices done; the report is written anew")
        ->type_name("REPORT");
    upgrade
        ->add_option_function<std::string>(
            "--max-rate",
            [&a](const std::string& text) {
                const auto rate = fleet::ParseRate(text);
                if (!rate)
                    throw CLI::ValidationError("--max-rate", "not a rate such as 20M, 800k or 1.5G: " + text);
                a.maxRate = *rate;
            },
            "At most RATE bits per second for all transfers together (k, M, G: 1000s), shared evenly among those "
            "running")
        ->type_name("RATE");
    upgrade->add_flag("--dry-run", a.dryRun,
                      "Discovery and password check only; nothing is written (result would-upgrade)");
    upgrade
        ->add_option("--json", a.json,
                     "Write the JSON report to FILE (- for standard output); an earlier FILE is kept as FILE.1")
        ->type_name("FILE|-");
    upgrade->add_option("--log", a.log, "Append time-stamped lines to FILE")->type_name("FILE");
    upgrade
        ->add_option("--trusted-key", a.trustedKeys,
                     "Write only an image signed (minisign) by this public key; repeat for more keys "
                     "(default: FTPUPG_TRUSTED_KEYS, files separated by ':')")
        ->type_name("KEY.pub");
    upgrade->add_option("--signature", a.signature, "The image's minisign signature (default IMAGE.minisig)")
        ->type_name("FILE");
    upgrade
        ->add_option("--trace", a.trace,
                     "Write every datagram sent and received to packet traces for Wireshark in DIR: "
                     "discovery.pcapng for the shared discovery, ADDRESS.pcapng for each device")
        ->type_name("DIR");

    fleet::DoctorArgs d;
    auto* doctor = app.add_subcommand(
        "doctor",
        "Check, in the order an upgrade needs them, what decides whether one device can be upgraded from "
        "here; one line each with what to do");
    doctor->add_option("--ip", d.ip, "The device's IPv4 address")->required()->type_name("IP");
    doctor
        ->add_option("--blksize", d.blockSize,
                     "TFTP block size the upgrade will use, checked against the interface's MTU (default " +
                         std::to_string(::upgrade::BlockSize) + ")")
        ->check(CLI::Range(8, 65464))
        ->type_name("N");
    doctor
        ->add_option("--jobs", d.jobs,
                     "Devices the upgrade will write at once (default " + std::to_string(::upgrade::Jobs) + ")")
        ->check(CLI::Range(1, 256))
        ->type_name("N");
    doctor
        ->add_option("--wait", d.waitMs,
                     "How long to wait for the discovery answer and for the TFTP answer, in ms (default 1000)")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    doctor->add_flag("--json", d.json, "Print the checks as JSON");

    std::string reportJson;
    std::string reportHtml;
    auto* report = app.add_subcommand("report", "Turn a JSON report of upgrade into a page to hand on");
    report->add_option("REPORT", reportJson, "The JSON report (- for standard input)")->required();
    report
        ->add_option("--html", reportHtml,
                     "Write one self-contained HTML page (summary, devices, timeline) to FILE (- for standard "
                     "output)")
        ->required()
        ->type_name("FILE|-");

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
    if (!report->parsed()) {
        // The device library would refuse a bad setting device by device; it is named once, first.
        std::string problem;
        bool settingsOk = true;
        devmsg::SettingsFromEnvironment(problem, settingsOk);
        if (!settingsOk) return fleet::UsageError(problem);
    }
    if (discover->parsed()) return fleet::RunDiscover(discoverWait, discoverJson, discoverTrace);
    if (doctor->parsed()) return fleet::RunDoctor(d);
    if (report->parsed()) return fleet::RunReportCommand(reportJson, reportHtml);
    if (passwordOption->count() > 0) a.password = password;
    for (const auto* option : upgrade->get_options())
        if (option->count() > 0) a.given.insert(option->get_name(false, true));
    return fleet::RunUpgrade(a);
}
