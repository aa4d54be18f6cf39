#include "posix/NeighbourPin.h"

#include "posix/Fd.h"
#include "rtl/DottedIPv4.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace posix {

namespace {

struct Command {
    int status = -1; // exit status; -1: it could not run
    std::string out; // standard output and error
};

// Runs `ip ARGS...` and waits for it. The texts travel as arguments, never through a shell.
Command RunIp(std::vector<std::string> args)
{
    args.insert(args.begin(), "ip");
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return {};
    Fd readEnd(ends[0]);
    Fd writeEnd(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 2);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.Reset();
    if (spawned != 0) return {};
    Command result;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(readEnd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (result.out.size() < 4096) result.out.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    while (!result.out.empty() && (result.out.back() == '\n' || result.out.back() == ' '))
        result.out.pop_back();
    return result;
}

// The word after `key` in a line of `ip -o route get`.
std::string WordAfter(const std::string& line, const std::string& key)
{
    const std::string spaced = " " + line + " ";
    const size_t at = spaced.find(" " + key + " ");
    if (at == std::string::npos) return {};
    const size_t start = at + key.size() + 2;
    return spaced.substr(start, spaced.find(' ', start) - start);
}

bool IsMac(const std::string& text)
{
    if (text.size() != 17) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (i % 3 == 2 ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

} // namespace

bool MayChangeNeighbours()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

std::optional<std::string> NeighbourInterface(const std::string& ip)
{
    if (!rtl::IsDottedIPv4Host(ip)) return std::nullopt;
    const Command route = RunIp({"-o", "route", "get", ip});
    // "local 127.0.0.10 dev lo ..." is this host's own address: no neighbour to pin.
    if (route.status != 0 || route.out.rfind("local ", 0) == 0) return std::nullopt;
    const std::string dev = WordAfter(route.out, "dev");
    if (dev.empty() || dev == "lo") return std::nullopt;
    return dev;
}

bool RemoveNeighbour(const std::string& ip, const std::string& dev)
{
    return RunIp({"neigh", "del", ip, "dev", dev}).status == 0;
}

NeighbourPin::NeighbourPin(std::string ip, const std::string& mac, std::string dev)
    : ip_(std::move(ip)), dev_(std::move(dev))
{
    if (!rtl::IsDottedIPv4Host(ip_) || !IsMac(mac))
        throw std::runtime_error("no address or hardware address to pin");
    const Command set = RunIp({"neigh", "replace", ip_, "lladdr", mac, "dev", dev_, "nud", "permanent"});
    if (set.status != 0)
        throw std::runtime_error("ip neigh replace " + ip_ + " on " + dev_ + ": " +
                                 (set.out.empty() ? "could not run ip" : set.out));
    held_ = true;
}

void NeighbourPin::Release()
{
    if (!held_) return;
    held_ = false;
    RemoveNeighbour(ip_, dev_);
}

} // namespace posix
