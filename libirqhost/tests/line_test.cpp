// The prepared line on POSIX: what it refuses and why, and that its raises
// follow its host through every way a host ends, restarts or leaves a reader
// behind, from threads, children and signal handlers, without a byte landing
// anywhere else.
#include "irqhost.h"
#include "posix_test.h"

#include <atomic>
#include <pthread.h>
#include <csignal>
#include <functional>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>

namespace {

using namespace test_support;

std::uint32_t test_line(unsigned offset)
{
    return line_of_this_process(1'700'000'000u, offset);
}

irqhost* open_host(std::uint32_t line, unsigned mode = 0600)
{
    return irqhost_open(&line, 1, mode, nullptr, 0);
}

// How many reports: the first within `first_ms`, then all that are there.
int reports(irqhost* host, int first_ms = 0)
{
    std::uint32_t set[4];
    int count = 0;
    for (int n, ms = first_ms; (n = irqhost_wait(host, ms, set, 4)) > 0; ms = 0)
        count += n;
    return count;
}

// The descriptors held now that were not `before`.
std::vector<int> held_since(const std::vector<int>& before)
{
    std::vector<int> held;
    for (const int fd : open_descriptors())
        if (std::find(before.begin(), before.end(), fd) == before.end())
            held.push_back(fd);
    return held;
}

// Raises until `host` hears the line, `limit` raises at most; true once it does.
bool raises_reach(irqhost_line* line, irqhost* host, int limit = 5000)
{
    std::uint32_t set[1];
    for (int i = 0; i < limit; ++i)
        if (irqhost_line_raise(line) == 0 && irqhost_wait(host, 1, set, 1) == 1)
            return true;
    return false;
}

struct refusal {
    const char* what;
    std::function<irqhost*()> setup; // the host it needs, or null
    child_options as;
    int error;
    std::string says;
};

// It refuses, with errno and a reason, as a raise would; it raises a live
// line, keeps errno on success, takes a full pipe for set, and holds one
// descriptor, above 2 and close-on-exec, until it is closed.
TEST(Line, OpensAndRaisesAsARaiseWould)
{
    const std::uint32_t a = test_line(1), b = test_line(2);
    child_options nobody;
    nobody.unprivileged = true;
    const refusal refusals[] = {
        {"no host", nullptr, {}, ENOENT, name_of(a) + ": no host publishes it"},
        {"a FIFO nobody reads", [&] { mkfifo(path_of(a).c_str(), 0666); return nullptr; }, {}, ENXIO,
         name_of(a) + ": no host publishes it"},
        {"another user's line", [&] { return open_host(a, 0622); }, nobody, EACCES,
         name_of(a) + ": this user may not read and write it"},
    };
    for (const refusal& r : refusals) {
        if (r.as.unprivileged && geteuid() != 0)
            continue;
        irqhost* host = r.setup ? r.setup() : nullptr;
        const int status = run_child(r.as, [&] {
            const std::vector<int> before = open_descriptors();
            char why[128] = "untouched";
            errno = 0;
            irqhost_line* line = irqhost_line_open(a, why, sizeof why);
            const int error = errno;
            irqhost_line_close(line);
            if (line != nullptr || error != r.error || why != r.says)
                return 1;
            return open_descriptors() == before ? 0 : 2;
        });
        EXPECT_EQ(status, 0) << r.what << ": " << ended(status) << " (1: not refused so, 2: a descriptor left)";
        irqhost_close(host);
        unlink(path_of(a).c_str());
    }

    // Refusals keep no memory.
    for (int i = 0; i < 2; ++i) {
        const std::size_t heap = mallinfo2().uordblks;
        for (int n = 0; n < 200; ++n)
            irqhost_line_open(a, nullptr, 0);
        EXPECT_TRUE(i == 0 || mallinfo2().uordblks < heap + 512) << "the heap grew by " << mallinfo2().uordblks - heap;
    }

    irqhost* host = open_host(b);
    ASSERT_NE(host, nullptr);
    // Nor does a line once closed.
    for (int i = 0; i < 2; ++i) {
        const std::size_t heap = mallinfo2().uordblks;
        for (int n = 0; n < 200; ++n)
            irqhost_line_close(irqhost_line_open(b, nullptr, 0));
        EXPECT_TRUE(i == 0 || mallinfo2().uordblks < heap + 512) << "closed lines kept " << mallinfo2().uordblks - heap;
    }
    reports(host);
    const std::vector<int> before = open_descriptors();
    char why[64] = "untouched";
    irqhost_line* line = irqhost_line_open(b, why, sizeof why);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(why, "");
    const std::vector<int> held = held_since(before);
    ASSERT_EQ(held.size(), 1u) << "not one descriptor held";
    EXPECT_GT(held[0], 2);
    EXPECT_NE(fcntl(held[0], F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(held[0], F_GETFL) & O_ACCMODE, O_WRONLY) << "a reader would keep a dead line looking live";
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const auto with_none_left = [&](const std::function<void()>& act) {
        const rlimit none{static_cast<rlim_t>(open_descriptors().back() + 1), limit.rlim_max};
        setrlimit(RLIMIT_NOFILE, &none);
        std::vector<int> holes;
        for (int fd; (fd = dup(held[0])) != -1;)
            holes.push_back(fd);
        act();
        for (const int fd : holes)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    // Opened, the line is ready: its first raise opens nothing.
    with_none_left([&] { EXPECT_EQ(irqhost_line_raise(line), 0) << strerror(errno) << ": the first raise opened"; });
    for (int i = 0; i < 3; ++i) {
        errno = EDOM;
        EXPECT_EQ(irqhost_line_raise(line), 0);
        EXPECT_EQ(errno, EDOM) << "a raise that worked changed errno";
    }
    EXPECT_EQ(reports(host), 1) << "four raises before the wait are one interrupt";
    const int writer = open(path_of(b).c_str(), O_WRONLY | O_NONBLOCK);
    while (write(writer, "xxxxxxxxxxxxxxxx", 16) > 0) {
    }
    close(writer);
    EXPECT_EQ(irqhost_line_raise(line), 0) << "a full pipe is set already";
    EXPECT_EQ(reports(host), 1);
    // With no descriptor left and its look at the path due, the line still
    // raises: it opens nothing while the path names the FIFO it holds (here
    // one it reopened, its host having started again).
    irqhost_close(host);
    host = open_host(b);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(irqhost_line_raise(line), 0);
    EXPECT_EQ(reports(host), 1);
    with_none_left([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150)); // at least the 100 ms between looks
        EXPECT_EQ(irqhost_line_raise(line), 0) << strerror(errno) << ": the look at the path opened something";
    });
    EXPECT_EQ(reports(host), 1);
    // A line opens with as few descriptors left as a raise needs.
    for (rlim_t spare = 1; spare <= 4; ++spare) {
        const rlim_t in_use = static_cast<rlim_t>(open_descriptors().back() + 1);
        const rlimit full{in_use, limit.rlim_max}, few{in_use + spare, limit.rlim_max};
        setrlimit(RLIMIT_NOFILE, &full);
        std::vector<int> holes;
        for (int fd; (fd = dup(held[0])) != -1;)
            holes.push_back(fd);
        setrlimit(RLIMIT_NOFILE, &few);
        const bool raised = irqhost_raise(b) == 0;
        irqhost_line* with_few = irqhost_line_open(b, nullptr, 0);
        const bool opened = with_few != nullptr;
        irqhost_line_close(with_few);
        for (const int fd : holes)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &limit);
        EXPECT_TRUE(opened || !raised) << "a raise worked with " << spare << " descriptors left, the line not";
        reports(host);
    }
    irqhost_line_close(line);
    irqhost_line_close(nullptr);
    EXPECT_EQ(open_descriptors(), before) << "the line's descriptor was not closed";
    errno = 0;
    EXPECT_EQ(irqhost_line_raise(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    irqhost_close(host);
}

// A host that ends (closed, or killed), and one that comes back: after the
// end each raise fails with the reason, and none makes the line look live or
// keeps the next host from publishing; once a host is back, raises reach it.
// A forked child of the old host that still reads its withdrawn FIFO keeps
// no raise from the new host for long.
TEST(Line, FollowsItsHostThroughEndsAndRestarts)
{
    const std::uint32_t a = test_line(3);
    const struct {
        const char* how;
        int error; // of a raise while no host publishes the line
    } ends[] = {{"closed", ENOENT}, {"killed", ENXIO}, {"closed, a child reading on", ENOENT}};
    for (const auto& end : ends) {
        const std::string how = end.how;
        const int status = run_child([&] {
            int until_done[2];
            if (pipe(until_done) != 0)
                return 9;
            const pid_t old_host = fork();
            if (old_host == 0) {
                close(until_done[1]);
                irqhost* host = open_host(a);
                if (how == "closed, a child reading on" && fork() == 0) {
                    char byte;
                    read(until_done[0], &byte, 1); // holds the host's FIFO open until the test ends
                    _exit(0);
                }
                std::uint32_t set[1];
                const bool heard = irqhost_wait(host, -1, set, 1) == 1; // a raise, then the end
                if (how != "killed")
                    irqhost_close(host);
                _exit(heard ? 0 : 1);
            }
            irqhost_line* line = nullptr;
            for (int i = 0; i < 5000 && line == nullptr; ++i)
                if ((line = irqhost_line_open(a, nullptr, 0)) == nullptr)
                    usleep(1000);
            if (line == nullptr || irqhost_line_raise(line) != 0)
                return 1;
            int wstatus = 0;
            if (waitpid(old_host, &wstatus, 0) != old_host || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0)
                return 2;
            if (how == "closed, a child reading on") {
                // The old FIFO still has a reader: only a look at the path
                // tells that it is withdrawn.
                usleep(110'000);
            }
            errno = 0;
            if (irqhost_line_raise(line) != -1 || errno != end.error || irqhost_line_raise(line) != -1)
                return 3;
            irqhost* next = open_host(a);
            if (next == nullptr)
                return 4; // the line kept the next host from publishing
            const bool reached = raises_reach(line, next);
            irqhost_close(next);
            irqhost_line_close(line);
            close(until_done[1]); // the child that reads on ends
            return reached ? 0 : 5;
        });
        EXPECT_EQ(status, 0) << end.how << ": " << ended(status)
                             << " (1: not raised, 2: the old host, 3: a raise with no host, 4: the next host "
                                "refused, 5: the next host not reached)";
        EXPECT_FALSE(anything_named(a)) << end.how;
        unlink(path_of(a).c_str());
    }
}

// Without /proc a line is opened, checked and reopened by its path: it
// raises its host, and the next host once the first has gone.
TEST(Line, WithoutProcFollowsItsHostByThePath)
{
    const std::uint32_t a = test_line(8);
    child_options isolated;
    isolated.private_shm = "mode=1777";
    isolated.hide_proc = true;
    const int status = run_child(isolated, [&] {
        irqhost* host = open_host(a);
        irqhost_line* line = irqhost_line_open(a, nullptr, 0);
        if (host == nullptr || line == nullptr)
            return 9;
        const bool first = raises_reach(line, host);
        irqhost_close(host);
        host = open_host(a);
        const bool next = host != nullptr && raises_reach(line, host);
        irqhost_line_close(line);
        irqhost_close(host);
        return first && next ? 0 : 1;
    });
    SKIP_UNLESS_ISOLATED(status);
    EXPECT_EQ(status, 0) << ended(status) << ": a host not reached without /proc";
}

// Threads raise one line while its host restarts again and again and files
// of the program's own are opened and closed: no byte of a raise ever lands
// in one of them, and the host of the moment hears the raises.
TEST(Line, ThreadsRaiseThroughRestartsIntoNothingElse)
{
    const std::uint32_t a = test_line(4);
    const int status = run_child([&] {
        irqhost* host = open_host(a);
        irqhost_line* line = irqhost_line_open(a, nullptr, 0);
        if (host == nullptr || line == nullptr)
            return 9;
        char made[] = "/tmp/line-test-XXXXXX";
        const int file = mkstemp(made);
        unlink(made);
        std::atomic<bool> done{false};
        std::vector<std::thread> others;
        for (int k = 0; k < 3; ++k)
            others.emplace_back([&] {
                while (!done)
                    irqhost_line_raise(line);
            });
        others.emplace_back([&] { // files that take every number freed
            while (!done)
                close(dup(file));
        });
        int failed = 0;
        for (int round = 0; round < 500 && failed == 0; ++round) {
            irqhost_close(host);
            host = open_host(a);
            std::uint32_t set[1];
            if (host == nullptr || irqhost_wait(host, 10'000, set, 1) != 1)
                failed = 1;
        }
        done = true;
        for (std::thread& other : others)
            other.join();
        struct stat st {};
        fstat(file, &st);
        irqhost_line_close(line);
        irqhost_close(host);
        if (failed != 0)
            return failed;
        return st.st_size == 0 ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << ended(status) << " (1: the restarted host not reached, 2: a raise wrote into a file)";
}

irqhost_line* handler_line = nullptr;
std::atomic<int> handler_raises{0}, handler_failures{0};

void raise_from_handler(int)
{
    const int interrupted_errno = errno;
    errno = EDOM;
    if (irqhost_line_raise(handler_line) != 0 || errno != EDOM)
        ++handler_failures;
    ++handler_raises;
    errno = interrupted_errno;
}

// A child made by fork() raises through the line it inherited, reopening in
// its own table once its parent's host has gone; exec takes no descriptor
// of it along; a timer's handler raises it while the thread does too; and a
// SIGPIPE of the caller's own, blocked and pending, stays pending through a
// raise that meets a host gone.
TEST(Line, WorksAcrossForkExecSignalsAndPipes)
{
    const std::uint32_t a = test_line(5);
    const int status = run_child([&] {
        irqhost* host = open_host(a);
        const std::vector<int> before = open_descriptors();
        irqhost_line* line = irqhost_line_open(a, nullptr, 0);
        const std::vector<int> held = held_since(before);
        if (host == nullptr || line == nullptr || held.size() != 1)
            return 9;
        const int raised_in_child = run_child([&] { return irqhost_line_raise(line) == 0 ? 0 : 1; });
        if (raised_in_child != 0 || reports(host, 10'000) != 1)
            return 1;
        const std::string absent = "[ ! -e /proc/self/fd/" + std::to_string(held[0]) + " ]";
        const int exec_sees = run_child([&] {
            execl("/bin/sh", "sh", "-c", absent.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        if (exec_sees != 0)
            return 2;
        irqhost_close(host);
        const int reopened_in_child = run_child([&] {
            irqhost* next = open_host(a);
            const bool reached = next != nullptr && raises_reach(line, next);
            irqhost_close(next);
            return reached ? 0 : 1;
        });
        if (reopened_in_child != 0)
            return 3;
        host = open_host(a);
        handler_line = line;
        struct sigaction action {};
        action.sa_handler = raise_from_handler;
        action.sa_flags = SA_RESTART;
        sigaction(SIGALRM, &action, nullptr);
        itimerval often{{0, 200}, {0, 200}};
        setitimer(ITIMER_REAL, &often, nullptr);
        int failures = 0;
        for (int i = 0; handler_raises < 200 && i < 10'000'000; ++i)
            failures += irqhost_line_raise(line) != 0;
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        if (failures != 0 || handler_failures != 0 || handler_raises < 200 || reports(host) == 0)
            return 4;
        // Reopened onto its own number: that number reaches the new FIFO.
        struct stat reached {}, published {};
        if (fstat(held[0], &reached) != 0 || lstat(path_of(a).c_str(), &published) != 0 ||
            reached.st_ino != published.st_ino || held_since(before) != held)
            return 6;
        sigset_t pipe_signal, pending;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        sigprocmask(SIG_BLOCK, &pipe_signal, nullptr);
        raise(SIGPIPE);
        std::signal(SIGPIPE, SIG_DFL);
        irqhost_close(host); // the next raise meets EPIPE
        const bool refused = irqhost_line_raise(line) == -1;
        sigpending(&pending);
        irqhost_line_close(line);
        return refused && sigismember(&pending, SIGPIPE) == 1 ? 0 : 5;
    });
    EXPECT_EQ(status, 0) << ended(status)
                         << " (1: a forked child's raise, 2: a descriptor inherited by exec, 3: a child's reopen, "
                            "4: raises from a handler and the thread, 5: the caller's own SIGPIPE taken, "
                            "6: reopened onto another descriptor)";
}

} // namespace

namespace {

// What a thread to be cancelled raises, opens and closes.
struct cancelled_work {
    std::uint32_t raised, published;
    irqhost_line* line;
};

void* work_until_cancelled(void* argument)
{
    const auto* work = static_cast<const cancelled_work*>(argument);
    for (;;) {
        irqhost_raise(work->raised);
        irqhost_line_raise(work->line);
        irqhost_close(open_host(work->published));
        pthread_testcancel();
    }
}

// Threads cancelled at any moment of a raise, a prepared line's raise or a
// host's open or close: no descriptor or line is left, no later call hangs,
// and the line is still raised and heard.
TEST(Cancel, ACancelledCallLeavesNothingAndHangsNothing)
{
    const std::uint32_t a = test_line(6), b = test_line(7);
    const int status = run_child([&] {
        irqhost* host = open_host(a);
        cancelled_work work{a, b, irqhost_line_open(a, nullptr, 0)};
        if (host == nullptr || work.line == nullptr)
            return 9;
        const std::vector<int> before = open_descriptors();
        for (int round = 0; round < 200; ++round) {
            pthread_t thread;
            if (pthread_create(&thread, nullptr, work_until_cancelled, &work) != 0)
                return 9;
            usleep(static_cast<useconds_t>(round % 50) * 20);
            pthread_cancel(thread);
            pthread_join(thread, nullptr);
        }
        reports(host);
        const bool heard = irqhost_line_raise(work.line) == 0 && irqhost_raise(a) == 0 && reports(host, 10'000) == 1;
        const bool nothing_left = open_descriptors() == before && !exists(path_of(b));
        irqhost_line_close(work.line);
        irqhost_close(host);
        return heard ? nothing_left ? 0 : 2 : 1;
    });
    EXPECT_EQ(status, 0) << ended(status) << " (1: a later raise failed or was not heard, 2: a descriptor or "
                                             "a line left by a cancelled call; killed: a later call hung)";
}

} // namespace
