// tftpput: writes one file to a TFTP server with the same client the upgrade utility uses.
//   tftpput [-p PORT] [-b BLKSIZE] [-t TIMEOUT_MS] [-m octet|netascii] HOST FILE [REMOTE]
// Exit codes: 0 done, 1 failure, 2 usage error, 3 TFTP error (time-out or server ERROR).

#include "IdTrivialFTP.h"
#include "IntConv.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kUsage =
    "usage: tftpput [-p PORT] [-b BLKSIZE] [-t TIMEOUT_MS] [-m octet|netascii] HOST FILE [REMOTE]\n";

void PrintHelp()
{
    std::printf("%s"
                "Writes FILE to the TFTP server HOST under the name REMOTE (default: FILE's base name).\n"
                "\n"
                "  -p PORT        server port (default 69)\n"
                "  -b BLKSIZE     block size asked for with the blksize option (default 1024)\n"
                "  -t TIMEOUT_MS  longest wait for each reply in milliseconds (default 4000)\n"
                "  -m MODE        transfer mode: octet (default) or netascii; bytes go out unchanged\n"
                "  --help         show this help\n"
                "  --version      show the version\n"
                "\n"
                "Exit status: 0 done, 1 failure, 2 usage error, 3 TFTP error (time-out or server error).\n",
                kUsage);
}

int UsageError(const char* what)
{
    std::fprintf(stderr, "tftpput: %s\n%s", what, kUsage);
    return 2;
}

bool ParseNumber(const char* text, int32_t low, int32_t high, int32_t& out)
{
    const auto value = TryStrToInt(text);
    if (!value || *value < low || *value > high) return false;
    out = *value;
    return true;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Socket error messages span two lines; one line reads better in a log.
std::string OneLine(std::string text)
{
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, ": ");
    return text;
}

// Progress line on a terminal, redrawn at most ten times a second.
class Progress {
public:
    explicit Progress(int64_t total) : total_(total) {}

    void Update(int32_t count)
    {
        // The running count is a 32-bit total: follow it by differences so that files
        // above 2 GiB still count right.
        done_ += static_cast<uint32_t>(count) - static_cast<uint32_t>(last_);
        last_ = count;
        const auto now = Clock::now();
        if (now - drawn_ < std::chrono::milliseconds(100)) return;
        drawn_ = now;
        Draw();
    }

    void Finish()
    {
        Draw();
        std::fputc('\n', stderr);
        drawnOnce_ = false;
    }

    bool Drawn() const { return drawnOnce_; }

private:
    using Clock = std::chrono::steady_clock;

    void Draw()
    {
        drawnOnce_ = true;
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        const double rate = seconds > 0 ? static_cast<double>(done_) / seconds / 1024.0 : 0.0;
        const int percent = total_ > 0 ? static_cast<int>(done_ * 100 / total_) : 100;
        std::fprintf(stderr, "\r%3d%%  %lld / %lld bytes  %.0f KiB/s ", percent, static_cast<long long>(done_),
                     static_cast<long long>(total_), rate);
        std::fflush(stderr);
    }

    int64_t total_;
    int64_t done_ = 0;
    int32_t last_ = 0;
    bool drawnOnce_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point drawn_ = start_;
};

} // namespace

int main(int argc, char** argv)
{
    int32_t port = 69;
    int32_t blockSize = 1024;
    int32_t timeout = 4000;
    TIdTFTPMode mode = tfOctet;
    std::vector<std::string> operands;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--version") {
            std::printf("tftpput " FTPUPG_VERSION_TEXT "\n" FTPUPG_COMPANY "\n");
            return 0;
        }
        if (arg == "--") {
            for (++i; i < argc; ++i) operands.emplace_back(argv[i]);
            break;
        }
        if (arg.size() >= 2 && arg[0] == '-' && std::strchr("pbtm", arg[1]) && arg.size() <= 2 + 0 + 1000) {
            // Value either attached (-p69) or in the next argument (-p 69).
            std::string value;
            if (arg.size() > 2)
                value = arg.substr(2);
            else if (i + 1 < argc)
                value = argv[++i];
            else
                return UsageError(("option " + arg + " needs a value").c_str());
            switch (arg[1]) {
            case 'p':
                if (!ParseNumber(value.c_str(), 1, 65535, port)) return UsageError("PORT must be 1 to 65535");
                break;
            case 'b':
                if (!ParseNumber(value.c_str(), 8, 65464, blockSize))
                    return UsageError("BLKSIZE must be 8 to 65464");
                break;
            case 't':
                if (!ParseNumber(value.c_str(), 1, INT32_MAX, timeout))
                    return UsageError("TIMEOUT_MS must be a positive number of milliseconds");
                break;
            case 'm':
                if (value == "octet")
                    mode = tfOctet;
                else if (value == "netascii")
                    mode = tfNetAscii;
                else
                    return UsageError("MODE must be octet or netascii");
                break;
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') return UsageError(("unknown option " + arg).c_str());
        operands.push_back(arg);
    }
    if (operands.size() < 2 || operands.size() > 3) return UsageError("HOST and FILE are required");

    const std::string& host = operands[0];
    const std::string& file = operands[1];
    const std::string remote = operands.size() == 3 ? operands[2] : BaseName(file);
    if (remote.empty()) return UsageError("REMOTE name is empty");

    std::unique_ptr<Progress> progress;
    // A failure message starts on a line of its own when a progress line is showing.
    const auto lineBreak = [&progress] { return progress && progress->Drawn() ? "\n" : ""; };
    try {
        TIdTrivialFTP tftp1;
        tftp1.SetPort(port);
        tftp1.SetReceiveTimeout(timeout);
        tftp1.SetRequestedBlockSize(blockSize);
        tftp1.SetTransferMode(mode);
        tftp1.SetHost(host);

        if (::isatty(STDERR_FILENO)) {
            struct stat st {};
            progress = std::make_unique<Progress>(::stat(file.c_str(), &st) == 0 ? st.st_size : 0);
            tftp1.OnWork = [&progress](TIdComponent*, TWorkMode, int32_t count) { progress->Update(count); };
        }
        tftp1.Upload(file, remote);
        if (progress) progress->Finish();
    } catch (const EIdTFTPException& e) {
        std::fprintf(stderr, "%stftpput: %s\n", lineBreak(), OneLine(e.Message()).c_str());
        return 3;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%stftpput: %s\n", lineBreak(), OneLine(e.Message()).c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%stftpput: %s\n", lineBreak(), e.what());
        return 1;
    }
    return 0;
}
