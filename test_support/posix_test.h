#pragma once

// What the POSIX test programs share: line numbers of their own, the names
// and paths of events, children with a time limit (as another user, in a
// mount namespace of their own), and the descriptors a process holds.

#include "event_name.h"
#include "event_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace test_support {

// The test programs' ranges of lines, far above any a real host uses: a
// hundred lines a process from each base.
inline constexpr std::uint32_t line_bases[] = {1'100'000'000u, 1'200'000'000u, 1'300'000'000u, 1'700'000'000u};

// A line of this process's own, from the process id: parallel test
// programs and a running host never meet.
inline std::uint32_t line_of_this_process(std::uint32_t base, unsigned offset)
{
    return base + static_cast<std::uint32_t>(getpid() % 1'000'000) * 100u + offset;
}

// Up to 5000 lines of this process's own, from line_of_this_process's.
inline std::uint32_t many_lines_of_this_process(unsigned offset)
{
    return 400'000'000u + static_cast<std::uint32_t>(getpid() % 100'000) * 5'000u + offset;
}

// Is `line` one of this process's own (or its negative form, as bellTap
// reads a line of the upper half)?
inline bool is_line_of_this_process(std::uint32_t line)
{
    for (const std::uint32_t form : {line, 0u - line}) {
        for (const std::uint32_t base : line_bases)
            if (form - line_of_this_process(base, 0) < 100)
                return true;
        if (form - many_lines_of_this_process(0) < 5000)
            return true;
    }
    return false;
}

inline std::string name_of(std::uint32_t irq)
{
    return event_name_from_irq(irq).text;
}

inline std::string path_of(std::uint32_t irq)
{
    return event_path_of(name_of(irq).c_str()).text;
}

inline bool exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The names in a folder, but "." and "..".
inline std::vector<std::string> entries_of(const char* folder)
{
    std::vector<std::string> names;
    if (DIR* listing = opendir(folder)) {
        for (const dirent* entry; (entry = readdir(listing)) != nullptr;)
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        closedir(listing);
    }
    return names;
}

// The descriptors this process holds: from /proc, or where a case hides it,
// by asking each number up to the limit on open files (4096 at most).
inline std::vector<int> open_descriptors()
{
    std::vector<int> fds;
    if (access("/proc/self/fd", X_OK) == 0) {
        for (const std::string& name : entries_of("/proc/self/fd"))
            if (const int fd = std::atoi(name.c_str()); fcntl(fd, F_GETFD) != -1) // not the listing's own
                fds.push_back(fd);
        std::sort(fds.begin(), fds.end());
        return fds;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int highest = limit.rlim_cur < 4096 ? static_cast<int>(limit.rlim_cur) : 4096;
    for (int fd = 0; fd < highest; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            fds.push_back(fd);
    return fds;
}

// Is `fd` the library's inert placeholder on 0 to 2: an O_PATH descriptor
// of "/", close-on-exec?
inline bool is_placeholder(int fd)
{
    struct stat held {}, root {};
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_PATH) != 0 && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 && fstat(fd, &held) == 0 &&
           stat("/", &root) == 0 && held.st_dev == root.st_dev && held.st_ino == root.st_ino;
}

// How a host's private names of this line begin: ".OSirqN.".
inline std::string private_prefix_of(std::uint32_t irq)
{
    std::string prefix(1, '.');
    prefix.append(name_of(irq)).append(1, '.');
    return prefix;
}

// Does anything in the event directory carry this line's name, under its
// public name or a host's private one?
inline bool anything_named(std::uint32_t irq)
{
    const std::string path = path_of(irq), name = name_of(irq), hidden = private_prefix_of(irq);
    const std::string folder = path.substr(0, path.rfind('/'));
    for (const std::string& entry : entries_of(folder.c_str()))
        if (entry == name || entry.rfind(hidden, 0) == 0)
            return true;
    return false;
}

struct child_options {
    bool unprivileged = false;         // as user 65534, when running as root
    const char* private_shm = nullptr; // a tmpfs of these options over /dev/shm
    bool private_tmp = false;          // and one over /tmp
    bool hide_proc = false;            // a tmpfs over /proc
    int seconds = 30;                  // then it is killed, which fails the test
};

// A child's exit status, or this plus the signal that ended it.
constexpr int killed_by = 256;
// The child could not have the mount namespace it needs (not root, or none here).
constexpr int cannot_isolate = 77;

inline bool isolate(const child_options& options)
{
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    if (options.private_shm != nullptr && mount("none", "/dev/shm", "tmpfs", 0, options.private_shm) != 0)
        return false;
    if (options.private_tmp && mount("none", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return false;
    return !options.hide_proc ||
           (mount("none", "/proc", "tmpfs", 0, nullptr) == 0 && access("/proc/self/fd", F_OK) != 0);
}

inline bool become_nobody()
{
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

// Runs `body` in a child process of its own process group and returns its
// exit status. A child that outlives its time is killed with its group and
// returns killed_by + SIGKILL.
inline int run_child(const child_options& options, const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if ((options.private_shm != nullptr || options.hide_proc) && !isolate(options))
            _exit(cannot_isolate);
        if (options.unprivileged && geteuid() == 0 && !become_nobody())
            _exit(120);
        _exit(body());
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : killed_by + WTERMSIG(wstatus);
}

inline int run_child(const std::function<int()>& body)
{
    return run_child(child_options{}, body);
}

// How a child ended, for a failure's message.
inline std::string ended(int status)
{
    if (status >= killed_by)
        return "killed by signal " + std::to_string(status - killed_by) +
               (status == killed_by + SIGKILL ? " (it ran out of time)" : "");
    return "exit status " + std::to_string(status);
}

} // namespace test_support

// A child that could not be isolated skips the test; any other outcome is the test's.
#define SKIP_UNLESS_ISOLATED(status)                                                                                   \
    if ((status) == test_support::cannot_isolate)                                                                      \
    GTEST_SKIP() << "needs root and a mount namespace of its own"
