// ftpupg-simtftpd: the simulated device's TFTP write server as a program of its own.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>

#include <getopt.h>

#include "TftpServer.h"

namespace {

const char kUsage[] =
    "usage: ftpupg-simtftpd [OPTION]...\n"
    "TFTP write server of the simulated device. Runs until SIGINT or SIGTERM.\n"
    "  -a, --address ADDR     loopback address to bind (default 127.0.0.1)\n"
    "  -p, --port PORT        request port (default 69; 0 picks a free one)\n"
    "      --port-file FILE   write the bound port number to FILE\n"
    "  -o, --slot FILE        store writes to \"/\" (the firmware slot) in FILE\n"
    "  -d, --dir DIR          store writes to other names in DIR\n"
    "      --blksize-mode M   accept (echo the asked value), ignore (plain ACK 0),\n"
    "                         answer (always answer --answer-blksize)\n"
    "      --answer-blksize N block size answered in mode 'answer' (default 512)\n"
    "  -t, --timeout MS       wait before retransmitting the last ACK (default 1000)\n"
    "  -r, --retries N        retransmissions before giving up (default 5)\n"
    "      --exit-after N     exit after N images were received\n"
    "  -q, --quiet            no log lines\n"
    "Faults:\n"
    "      --silent           never answer a request\n"
    "      --error-after N    send ERROR instead of the ACK after N blocks (0: answer the request)\n"
    "      --error-code C     code of that ERROR (default 0)\n"
    "      --error-text TEXT  text of that ERROR (default \"Simulated failure\")\n"
    "      --no-final-ack     store the image but never acknowledge the last block\n"
    "      --dup-acks N       send every ACK N more times\n"
    "      --first-ack N      answer the request with ACK N (no option acknowledgement)\n"
    "      --lose-final-data  ignore the first copy of the last DATA block\n"
    "      --drop SHARE       drop this share (0..1) of packets each way\n"
    "      --dup SHARE        send this share of packets twice\n"
    "      --seed N           seed for --drop and --dup (default 1)\n"
    "  -h, --help             this text\n";

long Number(const char* opt, const char* text, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 0);
  if (errno || end == text || *end || v < lo || v > hi) {
    std::fprintf(stderr, "ftpupg-simtftpd: bad value for %s: %s\n", opt, text);
    std::exit(2);
  }
  return v;
}

double Share(const char* opt, const char* text) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end || !(v >= 0.0 && v <= 1.0)) {
    std::fprintf(stderr, "ftpupg-simtftpd: bad share for %s: %s\n", opt, text);
    std::exit(2);
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  enum {
    kPortFile = 256, kBlkMode, kAnswerBlk, kExitAfter, kSilent, kErrAfter, kErrCode, kErrText,
    kNoFinalAck, kDupAcks, kFirstAck, kLoseFinal, kDrop, kDup, kSeed,
  };
  static const option longOpts[] = {
      {"address", required_argument, nullptr, 'a'},   {"port", required_argument, nullptr, 'p'},
      {"port-file", required_argument, nullptr, kPortFile},
      {"slot", required_argument, nullptr, 'o'},      {"dir", required_argument, nullptr, 'd'},
      {"blksize-mode", required_argument, nullptr, kBlkMode},
      {"answer-blksize", required_argument, nullptr, kAnswerBlk},
      {"timeout", required_argument, nullptr, 't'},   {"retries", required_argument, nullptr, 'r'},
      {"exit-after", required_argument, nullptr, kExitAfter},
      {"quiet", no_argument, nullptr, 'q'},           {"silent", no_argument, nullptr, kSilent},
      {"error-after", required_argument, nullptr, kErrAfter},
      {"error-code", required_argument, nullptr, kErrCode},
      {"error-text", required_argument, nullptr, kErrText},
      {"no-final-ack", no_argument, nullptr, kNoFinalAck},
      {"dup-acks", required_argument, nullptr, kDupAcks},
      {"first-ack", required_argument, nullptr, kFirstAck},
      {"lose-final-data", no_argument, nullptr, kLoseFinal},
      {"drop", required_argument, nullptr, kDrop},    {"dup", required_argument, nullptr, kDup},
      {"seed", required_argument, nullptr, kSeed},    {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  simtftp::SimTftpOptions o;
  std::string portFile;
  long exitAfter = 0;
  int c;
  while ((c = getopt_long(argc, argv, "a:p:o:d:t:r:qh", longOpts, nullptr)) != -1) {
    switch (c) {
      case 'a': o.address = optarg; break;
      case 'p': o.port = static_cast<std::uint16_t>(Number("--port", optarg, 0, 65535)); break;
      case kPortFile: portFile = optarg; break;
      case 'o': o.slotFile = optarg; break;
      case 'd': o.directory = optarg; break;
      case kBlkMode: {
        std::string m = optarg;
        if (m == "accept") o.blksizeMode = simtftp::BlksizeMode::kAccept;
        else if (m == "ignore") o.blksizeMode = simtftp::BlksizeMode::kIgnore;
        else if (m == "answer") o.blksizeMode = simtftp::BlksizeMode::kAnswer;
        else { std::fprintf(stderr, "ftpupg-simtftpd: bad --blksize-mode %s\n", optarg); return 2; }
        break;
      }
      case kAnswerBlk: o.answerBlksize = static_cast<std::uint32_t>(Number("--answer-blksize", optarg, 0, 65535)); break;
      case 't': o.timeoutMs = static_cast<int>(Number("--timeout", optarg, 1, 600000)); break;
      case 'r': o.retries = static_cast<int>(Number("--retries", optarg, 0, 1000000)); break;
      case kExitAfter: exitAfter = Number("--exit-after", optarg, 0, 1000000); break;
      case 'q': o.log = [](const std::string&) {}; break;
      case kSilent: o.silent = true; break;
      case kErrAfter: o.errorAfterBlocks = static_cast<int>(Number("--error-after", optarg, 0, 1 << 30)); break;
      case kErrCode: o.errorCode = static_cast<std::uint16_t>(Number("--error-code", optarg, 0, 65535)); break;
      case kErrText: o.errorText = optarg; break;
      case kNoFinalAck: o.noFinalAck = true; break;
      case kDupAcks: o.duplicateAcks = static_cast<int>(Number("--dup-acks", optarg, 0, 100)); break;
      case kFirstAck: o.firstAck = static_cast<int>(Number("--first-ack", optarg, 0, 65535)); break;
      case kLoseFinal: o.loseFinalData = true; break;
      case kDrop: o.dropShare = Share("--drop", optarg); break;
      case kDup: o.dupShare = Share("--dup", optarg); break;
      case kSeed: o.seed = static_cast<std::uint32_t>(Number("--seed", optarg, 0, 0xffffffffL)); break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      default: std::fputs(kUsage, stderr); return 2;
    }
  }
  if (optind != argc) { std::fputs(kUsage, stderr); return 2; }
  if (o.slotFile.empty() && o.directory.empty()) {
    std::fprintf(stderr, "ftpupg-simtftpd: give --slot FILE and/or --dir DIR\n");
    return 2;
  }

  // Signals are taken synchronously by this thread; the server's threads inherit the mask.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

  try {
    simtftp::SimTftpServer server(o);
    server.Start();
    if (!portFile.empty()) {
      // Written whole under a temporary name, so a reader never sees half a number.
      std::string tmp = portFile + ".tmp";
      if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fprintf(f, "%u\n", server.Port());
        std::fclose(f);
        std::rename(tmp.c_str(), portFile.c_str());
      }
    }
    const timespec tick{0, 50 * 1000 * 1000};
    for (;;) {
      int s = sigtimedwait(&sigs, nullptr, &tick);
      if (s == SIGINT || s == SIGTERM) break;
      if (exitAfter > 0 && server.Images().size() >= static_cast<std::size_t>(exitAfter)) break;
    }
    server.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ftpupg-simtftpd: %s\n", e.what());
    return 1;
  }
  return 0;
}
