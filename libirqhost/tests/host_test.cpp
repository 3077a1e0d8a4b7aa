// libirqhost on POSIX: publishing, waiting, stopping and withdrawing, and the
// hostile cases a host meets in a shared event directory.
#include "event_name.h"
#include "event_path.h"
#include "host_common.h"
#include "irqhost.h"
#include "named_event.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <sched.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::uint32_t test_line(unsigned offset)
{
    return 1'200'000'000u + static_cast<std::uint32_t>(getpid() % 1'000'000) * 100u + offset;
}

std::string name_of(std::uint32_t irq)
{
    return event_name_from_irq(irq).text;
}

std::string path_of(std::uint32_t irq)
{
    return event_path_of(name_of(irq).c_str()).text;
}

bool exists(std::uint32_t irq)
{
    struct stat st {};
    return lstat(path_of(irq).c_str(), &st) == 0;
}

// Sets a line as bellTap does.
void trigger(std::uint32_t irq)
{
    const event_handle event = open_event(name_of(irq).c_str());
    ASSERT_NE(event, no_event) << name_of(irq);
    set_event(event);
    close(static_cast<int>(event));
}

struct opened {
    irqhost* host;
    std::string why;
};

opened open_host(std::vector<std::uint32_t> lines, unsigned mode = 0600)
{
    char why[256] = "untouched";
    irqhost* host = irqhost_open(lines.data(), lines.size(), mode, why, sizeof why);
    return {host, why};
}

// Runs `body` in a child process, as user 65534 when this runs as root (whose
// rights override file modes), and returns its exit status; 10 seconds at most.
int as_other_process(bool unprivileged, const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        if (unprivileged && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(120);
        _exit(body());
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// In a mount namespace of this process's own: an empty tmpfs over `folder`.
bool private_tmpfs_over(const char* folder, const char* options)
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("none", folder, "tmpfs", 0, options) == 0;
}

TEST(Open, GivesTheExactModeWhateverTheUmask)
{
    const std::uint32_t a = test_line(1), b = test_line(2);
    const int status = as_other_process(true, [&] {
        for (const mode_t mask : {0277, 0777}) {
            umask(mask);
            irqhost* host = open_host({a, b}, 0640).host;
            struct stat st {};
            if (host == nullptr)
                return 1;
            if (lstat(path_of(b).c_str(), &st) != 0 || !S_ISFIFO(st.st_mode) || (st.st_mode & 07777) != 0640)
                return 2;
            irqhost_close(host);
            if (exists(a) || exists(b))
                return 3;
        }
        return 0;
    });
    EXPECT_EQ(status, 0) << "1: refused, 2: wrong mode, 3: left behind";
}

// The names in a folder, but "." and "..".
std::vector<std::string> entries_of(const char* folder)
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

// The descriptors this process holds (the listing's own is closed by now).
std::vector<int> open_descriptors()
{
    std::vector<int> fds;
    for (const std::string& name : entries_of("/proc/self/fd"))
        if (const int fd = std::atoi(name.c_str()); fcntl(fd, F_GETFD) >= 0)
            fds.push_back(fd);
    return fds;
}

// Does anything in the event directory carry this line's name, public or private?
bool anything_named(std::uint32_t irq)
{
    const std::string path = path_of(irq), name = name_of(irq);
    const std::string folder = path.substr(0, path.rfind('/'));
    for (const std::string& entry : entries_of(folder.c_str()))
        if (entry == name || entry.rfind("." + name + ".", 0) == 0)
            return true;
    return false;
}

TEST(Open, IsAllOrNothing)
{
    const std::uint32_t a = test_line(3), b = test_line(4);
    opened twice = open_host({a, b, a});
    EXPECT_EQ(twice.host, nullptr);
    EXPECT_EQ(twice.why, name_of(a) + ": given twice");

    const int file = open(path_of(b).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "x", 1), 1);
    close(file);
    opened blocked = open_host({a, b});
    EXPECT_EQ(blocked.host, nullptr);
    EXPECT_EQ(blocked.why, name_of(b) + ": " + path_of(b) + " holds something that is not an event");
    EXPECT_FALSE(exists(a)) << "the line before the failing one was left published";
    struct stat st {};
    ASSERT_EQ(lstat(path_of(b).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    unlink(path_of(b).c_str());

    EXPECT_EQ(open_host({}).host, nullptr);
    EXPECT_EQ(open_host({a}, 010000).host, nullptr);
    EXPECT_FALSE(exists(a));
    char tiny[8];
    EXPECT_EQ(irqhost_open(&a, 0, 0600, tiny, sizeof tiny), nullptr);
    EXPECT_EQ(std::string(tiny), "no line") << "the reason is cut to the buffer";
}

TEST(Open, RefusesLiveAndForeignEventsAndReclaimsItsOwnStaleOnes)
{
    const std::uint32_t a = test_line(5), b = test_line(6);
    irqhost* live = open_host({a}).host;
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(open_host({a}).why, name_of(a) + ": a running host already publishes it");
    irqhost_close(live);

    ASSERT_EQ(mkfifo(path_of(b).c_str(), 0600), 0); // left by a host that died
    irqhost* reclaimed = open_host({b}).host;
    EXPECT_NE(reclaimed, nullptr);
    irqhost_close(reclaimed);

    ASSERT_EQ(symlink("/dev/null", path_of(b).c_str()), 0);
    EXPECT_EQ(open_host({b}).host, nullptr);
    unlink(path_of(b).c_str());

    if (geteuid() == 0) {
        ASSERT_EQ(mkfifo(path_of(b).c_str(), 0600), 0);
        ASSERT_EQ(chown(path_of(b).c_str(), 65534, 65534), 0);
        EXPECT_EQ(open_host({b}).why, name_of(b) + ": the event belongs to another user");
        EXPECT_TRUE(exists(b));
        unlink(path_of(b).c_str());
    }
}

// Whatever step runs out of descriptors, a failed open leaves no FIFO, under
// either name, and holds or closes no descriptor it did not have before.
TEST(Open, LeavesNothingBehindWhateverStepFails)
{
    const std::uint32_t a = test_line(11), b = test_line(12);
    const int status = as_other_process(false, [&] {
        const rlimit few{64, 64};
        setrlimit(RLIMIT_NOFILE, &few);
        std::vector<int> filler;
        for (int fd; (fd = dup(0)) >= 0;)
            filler.push_back(fd);
        for (int spare = 0; spare <= 10; ++spare) {
            for (int i = 0; i < spare; ++i)
                close(filler[filler.size() - 1 - static_cast<std::size_t>(i)]);
            const std::vector<int> before = open_descriptors();
            irqhost* host = open_host({a, b}).host;
            if (host == nullptr && (anything_named(a) || anything_named(b)))
                return 1;
            if (host == nullptr && open_descriptors() != before)
                return 2;
            irqhost_close(host);
            if (anything_named(a) || anything_named(b) || open_descriptors() != before)
                return 3;
            for (int i = 0; i < spare; ++i)
                filler[filler.size() - 1 - static_cast<std::size_t>(i)] = dup(0);
        }
        return 0;
    });
    EXPECT_EQ(status, 0) << "1: a FIFO left after a failed open, 2: a descriptor taken or closed, 3: after close";
}

// Lines far apart sort as numbers, and no count is multiplied before it is
// known that its arrays fit.
TEST(Open, ChecksLinesAsNumbersAndCountsBeforeAllocating)
{
    const struct {
        std::vector<std::uint32_t> lines;
        std::size_t count;
        const char* why;
    } cases[] = {
        {{0, 1'000'000'000, 2'000'000'000, 3'000'000'000u}, 4, ""},
        {{3'000'000'000u, 0, 2'000'000'000, 3'000'000'000u}, 4, "OSirq3000000000: given twice"},
        {{4'294'967'295u, 0, 2'147'483'648u, 0}, 4, "OSirq0: given twice"},
        {{1, 2}, SIZE_MAX / 4 + 2, "more lines than a host can publish"},
        {{1, 2}, SIZE_MAX, "more lines than a host can publish"},
    };
    for (const auto& c : cases) {
        char why[64] = "";
        EXPECT_EQ(lines_are_valid(c.lines.data(), c.count, why, sizeof why), *c.why == '\0') << c.why;
        EXPECT_STREQ(why, c.why);
    }
    EXPECT_EQ(open_host({}).host, nullptr);
    const std::uint32_t two[] = {test_line(13), test_line(14)};
    EXPECT_EQ(irqhost_open(two, SIZE_MAX / 4 + 2, 0600, nullptr, 0), nullptr);
    EXPECT_FALSE(exists(two[0]));
}

// Started with standard input, output and error closed, a program still
// finds none of the host's descriptors there, and a program it starts
// inherits none of them.
TEST(Open, HoldsDescriptorsAboveTwoAndCloseOnExec)
{
    const std::uint32_t a = test_line(15), b = test_line(16);
    const int status = as_other_process(false, [&] {
        close(0);
        close(1);
        close(2);
        const std::vector<int> before = open_descriptors();
        irqhost* host = open_host({a, b}).host;
        if (host == nullptr)
            return 1;
        for (const int fd : open_descriptors())
            if (std::find(before.begin(), before.end(), fd) == before.end() &&
                (fd <= 2 || (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0))
                return 2;
        trigger(b);
        std::uint32_t set[2];
        const int woken = irqhost_wait(host, 5000, set, 2);
        irqhost_close(host);
        return woken == 1 && set[0] == b ? 0 : 3;
    });
    EXPECT_EQ(status, 0) << "1: not published, 2: a descriptor on 0-2 or inherited by exec, 3: not woken";
}

// A host belongs to the process that opened it: a child made by fork()
// neither takes its lines, nor stops it, nor withdraws them.
TEST(Open, BelongsToTheProcessThatOpenedIt)
{
    const std::uint32_t a = test_line(17);
    irqhost* host = open_host({a}).host;
    ASSERT_NE(host, nullptr);
    trigger(a);
    const int child = as_other_process(false, [host] {
        std::uint32_t set[1];
        errno = 0;
        const bool refused = irqhost_wait(host, 0, set, 1) == -2 && errno == EPERM;
        irqhost_stop(host);
        irqhost_close(host);
        return refused ? 0 : 1;
    });
    EXPECT_EQ(child, 0) << "the child's wait was not refused";
    EXPECT_TRUE(exists(a)) << "the child's close withdrew the parent's line";
    std::uint32_t set[1];
    EXPECT_EQ(irqhost_wait(host, 5000, set, 1), 1) << "the set was lost, or the child's stop reached the parent";
    irqhost_close(host);
    EXPECT_FALSE(exists(a));
}

// A stale FIFO of this user's that it may not remove (in a directory not
// its own) is reported as such, not as another host's.
TEST(Open, ReportsAStaleFifoItCannotRemove)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, for a private /dev/shm";
    const std::uint32_t a = test_line(18);
    const int status = as_other_process(false, [a] {
        if (!private_tmpfs_over("/dev/shm", "mode=0755"))
            return 2;
        if (mkfifo(path_of(a).c_str(), 0600) != 0 || chown(path_of(a).c_str(), 65534, 65534) != 0)
            return 3;
        return as_other_process(true, [a] {
            const opened refused = open_host({a});
            return refused.host == nullptr && refused.why.rfind(name_of(a) + ": cannot remove the stale " + path_of(a), 0) == 0 ? 0 : 1;
        });
    });
    if (status == 2)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0) << "1: another reason, 3: setup";
}

// A probe that fails for another reason than "no reader" must not take a
// live host's event away.
TEST(Open, NeverTakesOverAnEventItCannotProbe)
{
    const std::uint32_t a = test_line(7);
    irqhost* live = open_host({a}).host;
    ASSERT_NE(live, nullptr);
    const int out_of_descriptors = as_other_process(false, [&] {
        const rlimit few{64, 64};
        setrlimit(RLIMIT_NOFILE, &few);
        while (dup(0) >= 0) {
        }
        const opened refused = open_host({a});
        return refused.host == nullptr && refused.why.find(strerror(EMFILE)) != std::string::npos ? 0 : 1;
    });
    EXPECT_EQ(out_of_descriptors, 0);
    trigger(a);
    std::uint32_t set[4];
    EXPECT_EQ(irqhost_wait(live, 5000, set, 4), 1) << "the live host lost its event";
    irqhost_close(live);

    // Without write permission (a host started with mode 0, or a killed
    // host's mode-0000 FIFO) nothing tells whether a host holds it.
    const int unprobeable = as_other_process(true, [&] {
        irqhost* zero = open_host({a}, 0).host;
        const opened second = open_host({a});
        const bool kept = zero != nullptr && second.host == nullptr && exists(a);
        irqhost_close(zero);
        if (!kept || second.why.find("cannot tell whether a host still publishes it") == std::string::npos)
            return 1;
        if (mkfifo(path_of(a).c_str(), 0600) != 0 || chmod(path_of(a).c_str(), 0) != 0)
            return 2;
        const opened stale = open_host({a});
        const bool refused = stale.host == nullptr && exists(a) && stale.why.find("remove " + path_of(a)) != std::string::npos;
        unlink(path_of(a).c_str());
        return refused ? 0 : 3;
    });
    EXPECT_EQ(unprobeable, 0) << "1: live mode-0 host taken over, 2: setup, 3: stale mode-0000 FIFO guessed at";
}

// In an event directory without the sticky bit, another user can rename a
// file over the FIFO a host has just made. The host must never act on it.
// The directory is fixed, so this runs in a private mount namespace with a
// tmpfs of mode 0777 over /dev/shm.
TEST(Open, NeverActsOnAFileRenamedOverItsFifo)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, for a private /dev/shm";
    const std::uint32_t line = test_line(8);
    const int status = as_other_process(false, [line] {
        if (!private_tmpfs_over("/dev/shm", "mode=0777"))
            return 2;
        const std::string path = path_of(line);
        const std::string bait = "/dev/shm/bait", link_name = "/dev/shm/bait.link";
        const pid_t attacker = fork();
        if (attacker == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(1);
            close(open(bait.c_str(), O_WRONLY | O_CREAT, 0644));
            // As soon as a FIFO of the host's appears, under its public or
            // its private name, a link to the bait (hard or symbolic, in
            // turn), made beforehand, takes its place.
            char hidden[32];
            snprintf(hidden, sizeof hidden, ".%s.", name_of(line).c_str());
            for (unsigned round = 0;; ++round) {
                if (round % 2 == 0)
                    link(bait.c_str(), link_name.c_str());
                else
                    symlink(bait.c_str(), link_name.c_str());
                struct stat st {};
                if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
                    rename(link_name.c_str(), path.c_str());
                for (const std::string& entry : entries_of("/dev/shm"))
                    if (entry.rfind(hidden, 0) == 0) {
                        char target[64];
                        snprintf(target, sizeof target, "/dev/shm/%s", entry.c_str());
                        rename(link_name.c_str(), target);
                    }
            }
        }
        for (int i = 0; i < 100 && access(bait.c_str(), F_OK) != 0; ++i)
            usleep(10'000);
        const int touched = inotify_init1(IN_NONBLOCK);
        if (inotify_add_watch(touched, bait.c_str(), IN_OPEN | IN_ATTRIB | IN_MODIFY) < 0)
            return 3;
        for (int i = 0; i < 2000; ++i) {
            irqhost* host = open_host({line}, 0640).host;
            struct stat st {};
            const bool replaced = lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode);
            irqhost_close(host);
            if (replaced && lstat(path.c_str(), &st) != 0)
                return 4; // close removed what was renamed over its FIFO
            unlink(path.c_str());
        }
        kill(attacker, SIGKILL);
        waitpid(attacker, nullptr, 0);
        inotify_event events[8];
        // Its own links and renames are the attacker's; an open or a mode
        // change can only be the host's.
        for (ssize_t n; (n = read(touched, events, sizeof events)) > 0;)
            for (const char* p = reinterpret_cast<const char*>(events); p < reinterpret_cast<const char*>(events) + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if ((event->mask & (IN_OPEN | IN_MODIFY)) != 0)
                    return 1;
                if ((event->mask & IN_ATTRIB) != 0) {
                    struct stat st {};
                    if (stat(bait.c_str(), &st) != 0 || (st.st_mode & 07777) != 0644)
                        return 1;
                }
                p += sizeof(inotify_event) + event->len;
            }
        return 0;
    });
    if (status == 2)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0) << "1: the host opened or changed another user's file; 3: setup; 4: removed it";
}

// Without /proc the host reaches its new FIFO by its path again: it still
// publishes with the exact mode (where the umask leaves the owner read and
// write) and withdraws.
TEST(Open, WorksWithoutProc)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to hide /proc in a mount namespace of its own";
    const std::uint32_t a = test_line(9);
    const int status = as_other_process(false, [a] {
        if (!private_tmpfs_over("/proc", nullptr))
            return 2;
        umask(022);
        irqhost* host = open_host({a}, 0620).host;
        struct stat st {};
        const bool published = host != nullptr && lstat(path_of(a).c_str(), &st) == 0 && (st.st_mode & 07777) == 0620;
        trigger(a);
        std::uint32_t set[1];
        const bool woken = host != nullptr && irqhost_wait(host, 5000, set, 1) == 1 && set[0] == a;
        irqhost_close(host);
        return published && woken && !exists(a) ? 0 : 1;
    });
    if (status == 2)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0) << "not published, woken or withdrawn";
}

#include "wait_cases.h"

// More than one read's worth pending still resets in one wake.
TEST(Wait, ABurstOfBytesWakesOnceAndClosingWithdraws)
{
    const std::uint32_t a = test_line(10);
    irqhost* host = open_host({a}).host;
    ASSERT_NE(host, nullptr);
    const int writer = open(path_of(a).c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const std::string burst(5000, 'x');
    ASSERT_EQ(write(writer, burst.data(), burst.size()), 5000);
    close(writer);
    std::uint32_t set[2];
    EXPECT_EQ(irqhost_wait(host, 5000, set, 2), 1);
    EXPECT_EQ(irqhost_wait(host, 0, set, 2), 0) << "a line woke twice for one burst";
    errno = 0;
    EXPECT_EQ(irqhost_wait(host, 0, set, 0), -2);
    EXPECT_EQ(errno, EINVAL);
    irqhost_close(host);
    EXPECT_FALSE(exists(a));
}

irqhost* signalled_host = nullptr;

void stop_signalled_host(int)
{
    irqhost_stop(signalled_host);
}

TEST(Stop, AStopFromASignalIsHonouredWhileALineIsSetContinuously)
{
    const std::uint32_t a = test_line(21);
    signalled_host = open_host({a}).host;
    ASSERT_NE(signalled_host, nullptr);
    std::atomic<bool> done{false};
    std::thread setter([&] {
        const int fd = open(path_of(a).c_str(), O_WRONLY | O_NONBLOCK);
        while (!done)
            if (write(fd, "x", 1) < 0)
                std::this_thread::yield();
        close(fd);
    });
    std::signal(SIGALRM, stop_signalled_host);
    itimerval in_50ms{{0, 0}, {0, 50'000}};
    setitimer(ITIMER_REAL, &in_50ms, nullptr);
    int result = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::uint32_t set[1];
    while ((result = irqhost_wait(signalled_host, 1000, set, 1)) >= 0 && std::chrono::steady_clock::now() < limit) {
    }
    done = true;
    setter.join();
    std::signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(result, -1) << "the stop was starved by a busy line";
    irqhost_close(signalled_host);
}

// irqhost_raise sets a live line (a host's own too), says why it cannot with
// errno, and leaves the caller's signal mask and dispositions alone.
TEST(Raise, SetsALiveLineAndSaysWhyNot)
{
    const std::uint32_t own = test_line(40), open_to_all = test_line(41), write_only = test_line(42);
    irqhost* host = open_host({own}).host;
    irqhost* shared = open_host({open_to_all, write_only}, 0666).host;
    ASSERT_NE(host, nullptr);
    ASSERT_NE(shared, nullptr);
    ASSERT_EQ(chmod(path_of(write_only).c_str(), 0622), 0);
    sigset_t mask_before, mask_after;
    sigemptyset(&mask_before);
    sigemptyset(&mask_after);
    struct sigaction pipe_before {}, pipe_after {};
    sigprocmask(SIG_BLOCK, nullptr, &mask_before);
    sigaction(SIGPIPE, nullptr, &pipe_before);
    const std::vector<int> descriptors = open_descriptors();

    errno = 0;
    EXPECT_EQ(irqhost_raise(own), 0);
    EXPECT_EQ(irqhost_raise(test_line(43)), -1);
    EXPECT_EQ(errno, ENOENT);
    std::uint32_t set[2];
    EXPECT_EQ(irqhost_wait(host, 5000, set, 2), 1);
    EXPECT_EQ(set[0], own);
    const int as_other = as_other_process(true, [&] {
        const bool refused = irqhost_raise(write_only) == -1 && errno == EACCES;
        return irqhost_raise(open_to_all) == 0 && (refused || getuid() != 65534) ? 0 : 1;
    });
    EXPECT_EQ(as_other, 0) << "another user: a 0666 line not set, or a 0622 line not refused with EACCES";
    EXPECT_EQ(irqhost_wait(shared, 5000, set, 2), 1);
    EXPECT_EQ(set[0], open_to_all);

    sigprocmask(SIG_BLOCK, nullptr, &mask_after);
    sigaction(SIGPIPE, nullptr, &pipe_after);
    for (int signal = 1; signal < NSIG; ++signal)
        EXPECT_EQ(sigismember(&mask_before, signal), sigismember(&mask_after, signal)) << "signal " << signal;
    EXPECT_EQ(pipe_before.sa_handler, pipe_after.sa_handler) << "SIGPIPE's disposition changed";
    EXPECT_EQ(open_descriptors(), descriptors) << "a descriptor was left open";
    irqhost_close(shared);
    irqhost_close(host);
}

void ignore_signal(int) {}

// A harmless signal neither fails a wait nor starts its timeout anew; more
// lines ready than one batch of the kernel's, with room for all, come back
// in one call.
TEST(Wait, KeepsItsTimeoutThroughSignalsAndTakesEveryBatch)
{
    std::vector<std::uint32_t> lines;
    for (unsigned i = 0; i < 150; ++i)
        lines.push_back(2'000'000'000u + static_cast<std::uint32_t>(getpid() % 1'000'000) * 200u + i);
    irqhost* host = open_host(lines).host;
    ASSERT_NE(host, nullptr);
    struct sigaction harmless {};
    harmless.sa_handler = ignore_signal;
    sigaction(SIGALRM, &harmless, nullptr);
    itimerval every_20ms{{0, 20'000}, {0, 20'000}};
    setitimer(ITIMER_REAL, &every_20ms, nullptr);
    std::uint32_t set[200];
    const auto start = std::chrono::steady_clock::now();
    const int result = irqhost_wait(host, 300, set, 200);
    const auto waited = std::chrono::steady_clock::now() - start;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    std::signal(SIGALRM, SIG_DFL);
    EXPECT_EQ(result, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    EXPECT_LT(waited, std::chrono::milliseconds(2000)) << "the timeout started anew at each signal";

    for (const std::uint32_t line : lines)
        trigger(line);
    EXPECT_EQ(irqhost_wait(host, 5000, set, 200), 150) << "only part of the lines set came back";
    irqhost_close(host);
}

TEST(Descriptor, PollsReadableWhileALineIsSetOrAfterAStop)
{
    const std::uint32_t a = test_line(22);
    irqhost* host = open_host({a}).host;
    ASSERT_NE(host, nullptr);
    pollfd fd{irqhost_descriptor(host), POLLIN, 0};
    EXPECT_EQ(poll(&fd, 1, 0), 0);
    trigger(a);
    ASSERT_EQ(poll(&fd, 1, 5000), 1);
    std::uint32_t set[1];
    EXPECT_EQ(irqhost_wait(host, 0, set, 1), 1);
    EXPECT_EQ(poll(&fd, 1, 0), 0);
    irqhost_stop(host);
    EXPECT_EQ(poll(&fd, 1, 0), 1);
    EXPECT_EQ(irqhost_wait(host, 0, set, 1), -1);
    EXPECT_EQ(poll(&fd, 1, 0), 1) << "a wait took the stop away from an outside poll";
    irqhost_close(host);
}

} // namespace
