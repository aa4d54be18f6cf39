#include "posix/NeighbourCache.h"

#include "rtl/DottedIPv4.h"
#include "posix/Fd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

namespace posix {

namespace {

// Spawn attributes and file actions, released on every path.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

void ClearNeighbourEntry(const std::string& ipText)
{
    if (!rtl::IsDottedIPv4Host(ipText)) return;
    std::vector<std::string> args;
    if (const char* replacement = std::getenv("FTPUPG_ARP_COMMAND"); replacement && *replacement)
        args = {replacement, "-d", ipText};
    else
        args = {"ip", "neigh", "flush", "to", ipText};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    // Detached: a session of its own, so no signal meant for the caller's terminal reaches it,
    // and nothing of its output reaches the operator, since nobody reads the outcome.
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
    // Returns once the program runs (or could not be started), as the window always had it: the
    // spawn may return while the child is still between its birth and the new program, so the
    // end of a pipe that closes on exec tells when it is there. The outcome is never looked at.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    const posix::Fd readEnd(ends[0]);
    posix::Fd writeEnd(ends[1]);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), environ);
    writeEnd.Reset();
    if (spawned != 0) return;
    char byte;
    while (::read(readEnd.Get(), &byte, 1) < 0 && errno == EINTR) {}
    // The one who waits for it, so that it leaves no zombie behind however long it takes.
    std::thread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
    }).detach();
}

} // namespace posix
