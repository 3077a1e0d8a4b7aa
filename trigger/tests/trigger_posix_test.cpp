// The built command against events published in this process, which plays
// the host. Line numbers come from the process id, far above any line a real
// host uses, so that parallel tests and a running host never meet.
#include "irqhost.h"
#include "named_event.h"
#include "posix_test.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fcntl.h>
#include <string>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace test_support;

struct outcome {
    int status;      // exit status 0..255, or -1 when a signal ended the process
    std::string out; // standard output
    std::string err; // standard error
};

enum class output_to { pipe, closed, gone_reader };

std::string read_all(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

// Runs bellTap with `args`; as user `uid` when it is not -1.
outcome run_belltap(const std::vector<std::string>& args, output_to output = output_to::pipe,
                    uid_t uid = static_cast<uid_t>(-1), const char* program = BELLTAP_PATH, rlim_t descriptors = 0)
{
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return {-2, "", "pipe failed"};
    if (output == output_to::gone_reader)
        close(out[0]);

    const pid_t pid = fork();
    if (pid == 0) {
        if (output == output_to::closed)
            close(STDOUT_FILENO);
        else
            dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (uid != static_cast<uid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(120);
        std::signal(SIGPIPE, SIG_DFL);
        if (descriptors != 0) {
            for (int fd = 3; fd < 1024; ++fd)
                close(fd);
            const rlimit few{descriptors, descriptors};
            setrlimit(RLIMIT_NOFILE, &few);
        }
        alarm(10); // a bellTap that hangs is ended by a signal, which fails the test
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outcome result{};
    if (output != output_to::gone_reader)
        result.out = read_all(out[0]);
    result.err = read_all(err[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    if (WIFSIGNALED(wstatus))
        result.err += "bellTap ended by signal " + std::to_string(WTERMSIG(wstatus)) + " (14: it ran for 10 s)";
    return result;
}

std::uint32_t test_line(unsigned offset)
{
    return line_of_this_process(1'100'000'000u, offset);
}

std::string failure_line(std::uint32_t irq)
{
    return "Could not open " + name_of(irq) + " - exiting\n";
}

// An event this test publishes, withdrawn when the test ends.
struct hosted_event {
    std::uint32_t irq;
    irqhost* host = nullptr;
    int reader = -1; // a second reader of the same pipe, to count what is pending

    explicit hosted_event(std::uint32_t line, unsigned mode = 0600) : irq(line)
    {
        char why[256];
        host = irqhost_open(&irq, 1, mode, why, sizeof why);
        EXPECT_NE(host, nullptr) << why;
        reader = open(path_of(irq).c_str(), O_RDONLY | O_NONBLOCK);
    }
    ~hosted_event()
    {
        close(reader);
        irqhost_close(host);
    }
    hosted_event(const hosted_event&) = delete;
    hosted_event& operator=(const hosted_event&) = delete;

    // Bytes pending, counted without resetting the event.
    int pending() const
    {
        int count = 0;
        return ioctl(reader, FIONREAD, &count) == 0 ? count : -1;
    }
};

// Something that is not a published event, at an event's path.
struct foreign_path {
    std::string path;
    explicit foreign_path(std::uint32_t irq) : path(path_of(irq)) {}
    ~foreign_path()
    {
        if (unlink(path.c_str()) != 0)
            rmdir(path.c_str());
    }
    foreign_path(const foreign_path&) = delete;
    foreign_path& operator=(const foreign_path&) = delete;
};

// A child with /proc hidden in a mount namespace of its own, and a /dev/shm
// of its own, so that nothing it swaps or leaves stays behind.
child_options isolated(bool hide_proc)
{
    child_options options;
    options.private_shm = "mode=1777";
    options.hide_proc = hide_proc;
    options.seconds = 120;
    return options;
}

bool can_hide_proc()
{
    return geteuid() == 0 && !BELLTAP_SANITIZED; // the sanitizers' runtime in bellTap needs /proc
}

TEST(Usage, NoArgumentPrintsUsageAndExitsMinusOne)
{
    const outcome r = run_belltap({});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_EQ(r.out, "Usage: bellTap <number of irq 0 ... 7>\n");
    EXPECT_EQ(r.err, "");
}

// The first argument names the line, read as atoi reads it (a negative
// number names a line of the upper half); the event is set silently, the
// others are ignored, and one already set stays set: one byte a trigger.
TEST(Trigger, SetsTheEventTheFirstArgumentNames)
{
    hosted_event first(test_line(2)), second(test_line(3)), upper(0u - test_line(8));
    const std::string line = std::to_string(first.irq);
    const struct {
        std::vector<std::string> args;
        const hosted_event& set;
    } cases[] = {
        {{line}, first},
        {{line, std::to_string(second.irq), "--help"}, first},
        {{" \t+" + line + "xyz"}, first},
        {{"000" + line + ".9"}, first},
        {{"-" + std::to_string(test_line(8))}, upper},
    };
    int expected[3] = {0, 0, 0};
    for (const auto& c : cases) {
        const outcome r = run_belltap(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
        ++expected[&c.set == &first ? 0 : &c.set == &second ? 1 : 2];
    }
    EXPECT_EQ(first.pending(), expected[0]) << "unread bytes: one a trigger";
    EXPECT_EQ(second.pending(), 0) << "a second argument was used";
    EXPECT_EQ(upper.pending(), expected[2]);
}

TEST(Trigger, FullPipeIsSignalledAndNeverBlocks)
{
    hosted_event host(test_line(6));
    const int writer = open(path_of(host.irq).c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const std::string block(4096, 'x');
    while (write(writer, block.data(), block.size()) > 0) {
    }
    while (write(writer, "x", 1) > 0) {
    }
    close(writer);
    const int full = host.pending();

    const outcome r = run_belltap({std::to_string(host.irq)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(host.pending(), full);
}

TEST(Trigger, ManyConcurrentTriggersOfOneLine)
{
    hosted_event host(test_line(7));
    const std::string line = std::to_string(host.irq);
    std::vector<pid_t> children;
    for (int i = 0; i < 200; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            alarm(10);
            execl(BELLTAP_PATH, BELLTAP_PATH, line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    int succeeded = 0;
    for (const pid_t pid : children) {
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        succeeded += WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
    }
    EXPECT_EQ(succeeded, 200);
    EXPECT_EQ(host.pending(), 200);
}

// Whatever stands at a line's path that is no live event (nothing, a
// withdrawn event, a FIFO nobody reads, a file, a folder, a link to a live
// event) gives the failure line and status -2, and stays as it was: the
// file byte for byte, the linked event unset.
TEST(Failure, WhatIsNoLiveEventGivesTheFailureLine)
{
    hosted_event target(test_line(15));
    const std::string content = "not an event\n\x00\x01";
    const struct {
        const char* what;
        std::function<bool(const std::string&)> make; // at the path
    } cases[] = {
        {"nothing", [](const std::string&) { return true; }},
        {"a withdrawn event", [](const std::string&) { return hosted_event(test_line(11)).host != nullptr; }},
        {"a FIFO nobody reads", [](const std::string& p) { return mkfifo(p.c_str(), 0666) == 0; }},
        {"a regular file",
         [&](const std::string& p) {
             const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
             return fd >= 0 && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                    close(fd) == 0;
         }},
        {"a folder", [](const std::string& p) { return mkdir(p.c_str(), 0777) == 0; }},
        {"a link to a live event", [&](const std::string& p) { return symlink(path_of(target.irq).c_str(), p.c_str()) == 0; }},
    };
    for (const auto& c : cases) {
        const std::uint32_t irq = std::string(c.what) == "a withdrawn event" ? test_line(11) : test_line(10);
        foreign_path at(irq);
        ASSERT_TRUE(c.make(at.path)) << c.what;
        struct stat before {};
        lstat(at.path.c_str(), &before);
        const outcome r = run_belltap({std::to_string(irq)});
        EXPECT_EQ(r.status, 254) << c.what;
        EXPECT_EQ(r.out, failure_line(irq)) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        struct stat after {};
        lstat(at.path.c_str(), &after);
        EXPECT_EQ(after.st_size, before.st_size) << c.what;
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << c.what;
        if (std::string(c.what) == "a regular file") {
            EXPECT_EQ(read_all(open(at.path.c_str(), O_RDONLY)), content);
        }
    }
    EXPECT_EQ(target.pending(), 0) << "a link was followed";
}

// bellTap where an unprivileged user reaches it: a copy in a public folder
// when this runs as root, which then runs it as user 65534.
struct unprivileged_belltap {
    std::string folder;
    std::string path = BELLTAP_PATH;
    uid_t uid = static_cast<uid_t>(-1);

    unprivileged_belltap()
    {
        if (geteuid() != 0)
            return;
        char made[] = "/tmp/belltap-test-XXXXXX";
        std::error_code failed;
        if (mkdtemp(made) == nullptr || chmod(made, 0755) != 0)
            return;
        folder = made;
        path = folder + "/bellTap";
        std::filesystem::copy_file(BELLTAP_PATH, path, failed);
        EXPECT_FALSE(failed) << failed.message();
        chmod(path.c_str(), 0755);
        uid = 65534;
    }
    ~unprivileged_belltap()
    {
        if (!folder.empty()) {
            unlink(path.c_str());
            rmdir(folder.c_str());
        }
    }
    unprivileged_belltap(const unprivileged_belltap&) = delete;
    unprivileged_belltap& operator=(const unprivileged_belltap&) = delete;

    outcome run(std::uint32_t irq, rlim_t descriptors = 0) const
    {
        return run_belltap({std::to_string(irq)}, output_to::pipe, uid, path.c_str(), descriptors);
    }
};

outcome run_unprivileged(std::uint32_t irq)
{
    return unprivileged_belltap().run(irq);
}

TEST(Rights, SetButNotReadIsRefused)
{
    hosted_event host(test_line(20), geteuid() == 0 ? 0622 : 0200);
    const outcome r = run_unprivileged(host.irq);
    EXPECT_EQ(r.status, 254) << r.err;
    EXPECT_EQ(r.out, failure_line(host.irq));
    EXPECT_EQ(host.pending(), 0);
}

TEST(Rights, FullAccessForOthersIsEnough)
{
    hosted_event host(test_line(21), 0666);
    const outcome r = run_unprivileged(host.irq);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host.pending(), 1);
}

// Full access is what the kernel grants an open for reading and writing,
// with the effective ids: a caller whose real user is root but effective user
// is not may not read a 0622 FIFO of root's; a set-user-ID-root copy run by
// another user may.
TEST(Rights, AsTheKernelCountsThem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run bellTap with other ids";
    if (BELLTAP_SANITIZED)
        GTEST_SKIP() << "the sanitizers' runtime in bellTap cannot run with differing ids";
    hosted_event write_only(test_line(22), 0622);
    hosted_event private_event(test_line(23), 0600);
    unprivileged_belltap setuid_copy;
    ASSERT_EQ(chmod(setuid_copy.path.c_str(), 04755), 0);
    struct statvfs mounted {};
    const bool setuid_works = statvfs(setuid_copy.path.c_str(), &mounted) == 0 && (mounted.f_flag & ST_NOSUID) == 0;
    const struct {
        const hosted_event& event;
        const char* program;
        uid_t real, effective;
        int status;
    } cases[] = {
        {write_only, BELLTAP_PATH, 0, 65534, 254},
        {private_event, BELLTAP_PATH, 0, 65534, 254},
        {private_event, setuid_copy.path.c_str(), 65534, 65534, setuid_works ? 0 : 254},
    };
    // With /proc and without: the checks by path take the effective ids too.
    for (const bool hide_proc : {false, true})
    for (const auto& c : cases) {
        const int before = c.event.pending();
        const std::string line = std::to_string(c.event.irq);
        child_options options;
        options.hide_proc = hide_proc;
        const int status = run_child(options, [&] {
            if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(c.real, c.effective, c.effective) != 0)
                return 120;
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            execl(c.program, c.program, line.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        if (status == cannot_isolate)
            continue;
        EXPECT_EQ(status, c.status) << c.event.irq << " as " << c.real << "/" << c.effective << " " << c.program
                                    << ", without /proc: " << hide_proc << ": " << ended(status);
        EXPECT_EQ(c.event.pending() - before, c.status == 0 ? 1 : 0);
    }
}

// Exchanges two paths by rename, in a process of its own,
// for as long as it lives; swapped back into place when it ends.
struct path_swapper {
    std::string a, b;
    pid_t pid;
    path_swapper(std::string first, std::string second) : a(std::move(first)), b(std::move(second))
    {
        struct stat st {};
        lstat(a.c_str(), &st);
        original = st.st_ino;
        pid = fork();
        if (pid == 0) {
            alarm(60);
            // At moments of every length up to some 50 us apart, so that a
            // swap falls between any two of bellTap's steps, and sometimes none.
            for (unsigned pause = 1;; pause = pause * 1103515245u + 12345u) {
                renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
                const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds((pause >> 16) % 50'000);
                while (std::chrono::steady_clock::now() < until) {
                }
            }
        }
    }
    ~path_swapper()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        struct stat st {};
        if (lstat(a.c_str(), &st) == 0 && st.st_ino != original)
            renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    }
    path_swapper(const path_swapper&) = delete;
    path_swapper& operator=(const path_swapper&) = delete;

private:
    ino_t original = 0;
};

// The rights and the type are those of the FIFO actually opened, even while
// the path is being swapped under the command; without /proc too. In a
// /dev/shm of its own, so that nothing swapped stays behind.
TEST(Race, AFifoTheCallerMayOnlyWriteNeverGetsAByte)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run bellTap as another user";
    const unprivileged_belltap belltap;
    for (const bool hide_proc : {false, true}) {
        if (hide_proc && !can_hide_proc())
            continue;
        const int status = run_child(isolated(hide_proc), [&] {
            const hosted_event full(test_line(40), 0666), write_only(test_line(41), 0622);
            int set = 0;
            {
                const path_swapper swapper(path_of(full.irq), path_of(write_only.irq));
                for (int i = 0; i < 400 && (i < 150 || set == 0); ++i)
                    set += belltap.run(full.irq).status == 0;
            }
            if (write_only.pending() != 0)
                return 1;
            return set > 0 && full.pending() > 0 ? 0 : 2;
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << "without /proc: " << hide_proc << ": " << ended(status)
                             << " (1: a FIFO without read rights was set, 2: never set)";
    }
}

// Nothing but a FIFO is ever opened; without /proc a regular file swapped in
// between the look and the open may be opened, but is never written to.
TEST(Race, NothingButAFifoIsEverOpenedOrWritten)
{
    for (const bool hide_proc : {false, true}) {
        if (hide_proc && !can_hide_proc())
            continue;
        const int status = run_child(isolated(hide_proc), [&] {
            const hosted_event live(test_line(42));
            const std::string file = path_of(test_line(43));
            if (close(open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666)) != 0)
                return 9;
            if (run_belltap({std::to_string(test_line(43))}).status != 254)
                return 3;
            const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (inotify_add_watch(opens, file.c_str(), IN_OPEN | IN_MODIFY) < 0)
                return 9;
            {
                const path_swapper swapper(path_of(live.irq), file);
                for (int i = 0; i < 150; ++i)
                    run_belltap({std::to_string(live.irq)});
            }
            alignas(inotify_event) char events[4096];
            bool opened = false, written = false;
            for (ssize_t n; (n = read(opens, events, sizeof events)) > 0;)
                for (const char* p = events; p < events + n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(p);
                    opened = opened || (event->mask & IN_OPEN) != 0;
                    written = written || (event->mask & IN_MODIFY) != 0;
                    p += sizeof(inotify_event) + event->len;
                }
            struct stat st {};
            if (written || lstat(file.c_str(), &st) != 0 || st.st_size != 0)
                return 1;
            return !hide_proc && opened ? 2 : 0;
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << "without /proc: " << hide_proc << ": " << ended(status)
                             << " (1: the regular file was written to, 2: it was opened, 3: taken for an event)";
    }
}

// musl makes faccessat with flags a faccessat2 call, which kernels before
// 5.8 lack: bellTap must not depend on it.
TEST(Kernel, SetsTheEventWhereFaccessat2IsMissing)
{
    hosted_event host(test_line(44));
    const std::string line = std::to_string(host.irq);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        sock_filter refuse_faccessat2[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_faccessat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{4, refuse_faccessat2};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(125);
        if (syscall(SYS_faccessat2, AT_FDCWD, "/", R_OK, AT_EACCESS) == 0 || errno != ENOSYS)
            _exit(126);
        execl(BELLTAP_PATH, BELLTAP_PATH, line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus)) << "ended by signal " << WTERMSIG(wstatus);
    EXPECT_EQ(WEXITSTATUS(wstatus), 0) << "125, 126: the filter could not be set up";
    EXPECT_EQ(host.pending(), 1);
}

// With few descriptors left bellTap falls back to the checks by path, and
// still sets a live event it may read and write; never one it may not.
TEST(Kernel, SetsTheEventWithFewDescriptors)
{
    if (BELLTAP_SANITIZED)
        GTEST_SKIP() << "the sanitizers' runtime in bellTap needs descriptors of its own";
    hosted_event host(test_line(48), 0666);
    hosted_event write_only(test_line(49), 0622);
    const unprivileged_belltap belltap;
    for (const rlim_t limit : {4, 5}) {
        for (const hosted_event* event : {&host, &write_only}) {
            const bool settable = event == &host;
            if (!settable && belltap.uid == static_cast<uid_t>(-1))
                continue; // root may read anything
            const int before = event->pending();
            const outcome r = belltap.run(event->irq, limit);
            EXPECT_EQ(r.status, settable ? 0 : 254) << "limit " << limit << ", line " << event->irq << r.err;
            EXPECT_EQ(event->pending() - before, settable ? 1 : 0) << "limit " << limit;
        }
    }
}

// Where /dev/shm is not a directory, events live in /tmp; a symbolic link
// to a directory (as older systems had, to /run/shm) is a directory. Each
// case in a private mount namespace with a tmpfs over /dev.
TEST(Kernel, EventDirectoryFallsBackToTmp)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, for a private /dev";
    const struct {
        const char* shm; // what /dev/shm is
        const char* expected;
    } cases[] = {
        {"directory", "/dev/shm/OSirq7"}, {"missing", "/tmp/OSirq7"},        {"file", "/tmp/OSirq7"},
        {"link", "/dev/shm/OSirq7"},      {"dangling link", "/tmp/OSirq7"},
    };
    for (const auto& c : cases) {
        const int status = run_child([&] {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("none", "/dev", "tmpfs", 0, nullptr) != 0)
                return 2;
            const std::string shm = c.shm;
            const bool made = shm == "missing" || (shm == "directory" && mkdir("/dev/shm", 0777) == 0) ||
                              (shm == "file" && close(open("/dev/shm", O_WRONLY | O_CREAT, 0644)) == 0) ||
                              (shm == "link" && mkdir("/dev/run", 0777) == 0 && symlink("run", "/dev/shm") == 0) ||
                              (shm == "dangling link" && symlink("nowhere", "/dev/shm") == 0);
            if (!made)
                return 3;
            return std::string(event_path_of("OSirq7").text) == c.expected ? 0 : 1;
        });
        if (status == 2)
            GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(status, 0) << "/dev/shm " << c.shm << ": " << ended(status) << " (1: not " << c.expected
                             << ", 3: setup)";
    }
}

// Where /proc is not mounted bellTap checks the path, opens it and compares
// the inodes: the same outcomes, without the guarantee under a swapped path.
TEST(Kernel, WithoutProcTheSameOutcomes)
{
    if (!can_hide_proc())
        GTEST_SKIP() << "needs root, to hide /proc in a mount namespace of its own, and no sanitizers, "
                        "whose runtime in bellTap needs /proc";
    hosted_event full(test_line(45), 0666);
    hosted_event write_only(test_line(46), 0622);
    const unprivileged_belltap belltap;
    child_options without_proc;
    without_proc.hide_proc = true;
    const int status = run_child(without_proc, [&] {
        const bool as_expected = belltap.run(full.irq).status == 0 && belltap.run(write_only.irq).status == 254 &&
                                 belltap.run(test_line(47)).status == 254;
        return as_expected ? 0 : 1;
    });
    SKIP_UNLESS_ISOLATED(status);
    EXPECT_EQ(status, 0) << ended(status) << ": another outcome than with /proc";
    EXPECT_EQ(full.pending(), 1);
    EXPECT_EQ(write_only.pending(), 0);
}

TEST(BrokenOutput, ClosedStandardOutputKeepsTheStatus)
{
    const std::uint32_t irq = test_line(30);
    EXPECT_EQ(run_belltap({std::to_string(irq)}, output_to::closed).status, 254);
    EXPECT_EQ(run_belltap({}, output_to::closed).status, 255);
    hosted_event host(test_line(31));
    EXPECT_EQ(run_belltap({std::to_string(host.irq)}, output_to::closed).status, 0);
    EXPECT_EQ(host.pending(), 1);
}

TEST(BrokenOutput, GoneReaderKillsNothing)
{
    EXPECT_EQ(run_belltap({std::to_string(test_line(32))}, output_to::gone_reader).status, 254);
    EXPECT_EQ(run_belltap({}, output_to::gone_reader).status, 255);
}

TEST(BrokenEvent, HostClosingAfterTheOpenKillsNothing)
{
    const std::uint32_t irq = test_line(33);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        irqhost* host = irqhost_open(&irq, 1, 0600, nullptr, 0);
        if (host == nullptr)
            _exit(3);
        const event_handle opened = open_event(name_of(irq).c_str());
        irqhost_close(host);
        ignore_broken_pipes();
        set_event(opened);
        _exit(opened == no_event ? 4 : 0);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus)) << "ended by signal " << WTERMSIG(wstatus);
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
}

} // namespace
