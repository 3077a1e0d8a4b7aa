// The lines published here on POSIX systems: the FIFOs of the event
// directory named as events are, each probed with an open for writing alone
// that writes nothing (no reader: stale), and the processes that hold one
// open for reading found through /proc.
#include "list_lines.h"

#include "event_name.h"
#include "event_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct published {
    std::uint32_t line;
    struct stat status;
    const char* state;
};

using inode = std::pair<dev_t, ino_t>;

std::vector<std::string> names_in(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* listing = opendir(folder.c_str())) {
        for (const dirent* entry; (entry = readdir(listing)) != nullptr;)
            names.emplace_back(entry->d_name);
        closedir(listing);
    }
    return names;
}

// A host holds its FIFO for reading: an open for writing alone finds it, and
// is closed at once.
const char* state_of(const std::string& path)
{
    const int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (probe != -1) {
        close(probe);
        return "live";
    }
    return errno == ENXIO ? "stale" : "unknown";
}

// Does descriptor `fd` of process `pid` read what it holds? Its fdinfo
// says, in a line "flags:\t0100002" (octal).
bool reads(const std::string& process, const std::string& fd)
{
    std::string path = process;
    path += "/fdinfo/";
    path += fd;
    std::FILE* info = std::fopen(path.c_str(), "r");
    char text[128];
    unsigned long flags = O_WRONLY;
    while (info != nullptr && std::fgets(text, sizeof text, info) != nullptr)
        if (std::strncmp(text, "flags:", 6) == 0) {
            flags = std::strtoul(text + 6, nullptr, 8);
            break;
        }
    if (info != nullptr)
        std::fclose(info);
    return (flags & O_ACCMODE) != O_WRONLY;
}

// The processes whose descriptors this user may read that hold one of
// `wanted` open for reading.
std::map<inode, std::set<long>> readers_of(const std::set<inode>& wanted)
{
    std::map<inode, std::set<long>> readers;
    for (const std::string& pid : names_in("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string process = "/proc/" + pid;
        for (const std::string& fd : names_in(process + "/fd")) {
            std::string path = process;
            path += "/fd/";
            path += fd;
            struct stat held {};
            if (stat(path.c_str(), &held) == 0 && wanted.count({held.st_dev, held.st_ino}) != 0 && reads(process, fd))
                readers[{held.st_dev, held.st_ino}].insert(std::strtol(pid.c_str(), nullptr, 10));
        }
    }
    return readers;
}

std::string owner_of(uid_t uid)
{
    const passwd* user = getpwuid(uid);
    return user != nullptr ? user->pw_name : std::to_string(uid);
}

} // namespace

int list_lines(std::FILE* out)
{
    const std::string folder = event_path_of("").text;
    std::vector<published> lines;
    for (const std::string& name : names_in(folder)) {
        published p{};
        // Only a name exactly as a raise composes it: no other file
        // ("OSirq007", a host's private ".OSirq3...") is taken for an event.
        if (irq_of_event_name(name.c_str(), &p.line) && lstat((folder + name).c_str(), &p.status) == 0 &&
            S_ISFIFO(p.status.st_mode)) {
            p.state = state_of(folder + name);
            lines.push_back(p);
        }
    }
    std::sort(lines.begin(), lines.end(), [](const published& a, const published& b) { return a.line < b.line; });
    std::set<inode> wanted;
    for (const published& p : lines)
        wanted.insert({p.status.st_dev, p.status.st_ino});
    const std::map<inode, std::set<long>> readers = readers_of(wanted);
    for (const published& p : lines) {
        std::string pids;
        if (const auto found = readers.find({p.status.st_dev, p.status.st_ino}); found != readers.end())
            for (const long pid : found->second)
                pids.append(pids.empty() ? "" : ",").append(std::to_string(pid));
        std::fprintf(out, "%s\t%lu\t%s\t%04o\t%s\t%s\n", event_name_from_irq(p.line).text,
                     static_cast<unsigned long>(p.line), owner_of(p.status.st_uid).c_str(),
                     static_cast<unsigned>(p.status.st_mode & 07777), p.state, pids.empty() ? "-" : pids.c_str());
    }
    return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
}
