// Descendants: found by walking /proc's parent links down from the host,
// round after round, because a process ended in one round leaves its own
// children to the host (as their subreaper) for the next.
#include "descendants.h"

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// The parent of `pid`, or -1 when it is gone. The command name in the stat
// line may hold spaces and parentheses; the fields resume after the last ')'.
pid_t parentOf(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *file = std::fopen(path, "re");
    if (!file)
        return -1;
    char line[1024];
    const size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = '\0';
    std::string_view text(line, length);
    const size_t close = text.rfind(')');
    if (close == std::string_view::npos)
        return -1;
    char state = 0;
    int parent = -1;
    if (std::sscanf(line + close + 1, " %c %d", &state, &parent) != 2)
        return -1;
    return parent;
}

// Every process below the host now, parents before their children.
std::vector<pid_t> findDescendants()
{
    std::multimap<pid_t, pid_t> children;
    if (DIR *proc = opendir("/proc")) {
        while (const dirent *entry = readdir(proc)) {
            char *end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0')
                continue;
            const pid_t parent = parentOf(pid_t(pid));
            if (parent > 0)
                children.emplace(parent, pid_t(pid));
        }
        closedir(proc);
    }
    std::vector<pid_t> found{getpid()};
    for (size_t i = 0; i < found.size(); ++i) {
        const auto range = children.equal_range(found[i]);
        for (auto it = range.first; it != range.second; ++it)
            found.push_back(it->second);
    }
    found.erase(found.begin());
    return found;
}

void reapExited()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

} // namespace

namespace descendants {

bool adoptOrphans()
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

int endAll(int graceMs)
{
    using Clock = std::chrono::steady_clock;
    const auto killAt = Clock::now() + std::chrono::milliseconds(graceMs);
    const auto giveUpAt = killAt + std::chrono::seconds(2);
    std::vector<pid_t> asked;
    for (;;) {
        reapExited();
        const std::vector<pid_t> found = findDescendants();
        if (found.empty() || Clock::now() > giveUpAt)
            break;
        const bool killing = Clock::now() >= killAt;
        for (const pid_t pid : found) {
            if (killing) {
                ::kill(pid, SIGKILL);
            } else if (std::find(asked.begin(), asked.end(), pid) == asked.end()) {
                ::kill(pid, SIGTERM);
                ::kill(pid, SIGCONT); // a stopped process must run to see it
                asked.push_back(pid);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reapExited();
    return int(asked.size());
}

} // namespace descendants
