// libirqhost and the setter under faults that come at one chosen moment:
// the library's system calls are interposed (call_hooks.h), so that another
// host, a swapped path or a host that goes away lands exactly between two of
// them, every run.
#include "call_hooks.h"
#include "irqhost.h"
#include "named_event.h"
#include "posix_test.h"
#include "trigger.h"

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <map>
#include <optional>
#include <sys/inotify.h>
#include <sys/resource.h>

namespace {

using namespace test_support;

std::uint32_t test_line(unsigned offset)
{
    return line_of_this_process(1'300'000'000u, offset);
}

struct attempt {
    irqhost* host = nullptr;
    std::string why;
};

attempt open_host(std::vector<std::uint32_t> lines, unsigned mode = 0600)
{
    char why[256] = "";
    irqhost* host = irqhost_open(lines.data(), lines.size(), mode, why, sizeof why);
    return {host, why};
}

// Where a thread stops, the first time a call matches, until it is let go.
struct pause_point {
    moment when;
    call what;
    std::function<bool(const char* path, int detail)> matches;
};

class gate {
public:
    void arrive()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
    }
    bool wait_arrived()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return arrived_; });
    }
    void release()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool arrived_ = false, released_ = false;
};

thread_local const pause_point* own_pause = nullptr;
thread_local gate* own_gate = nullptr;

void pause_where_asked()
{
    set_call_hook([](moment when, call what, const char* path, int detail, long) {
        if (own_pause != nullptr && when == own_pause->when && what == own_pause->what &&
            own_pause->matches(path, detail)) {
            own_pause = nullptr;
            own_gate->arrive();
        }
    });
}

// A host published on its own thread, which stops at `pause` when given.
std::thread publisher(attempt* out, std::uint32_t line, const pause_point* pause, gate* where)
{
    return std::thread([=] {
        own_pause = pause;
        own_gate = where;
        *out = open_host({line});
    });
}

bool reads_a_fifo(const char*, int flags)
{
    return (flags & O_ACCMODE) == O_RDONLY && (flags & (O_PATH | O_DIRECTORY)) == 0;
}

// Two hosts take back one stale FIFO of their user's at the same time, each
// stopped at its worst moment: exactly one publishes the line, the one that
// bellTap reaches, and the other says why not.
TEST(Publish, OfTwoHostsReclaimingOneStaleFifoExactlyOneWins)
{
    const std::uint32_t line = test_line(1);
    const std::string path = path_of(line);
    const auto removes_it = [path](const char* p, int) { return p != nullptr && path == p; };
    const struct {
        const char* what;
        std::optional<pause_point> a, b;
        bool a_wins;
        const char* loser_says;
    } races[] = {
        {"A stops before it removes the stale FIFO", pause_point{moment::before, call::unlink, removes_it},
         std::nullopt, true, "a running host already publishes it"},
        {"A stops before it opens the stale FIFO to read", pause_point{moment::before, call::open, reads_a_fifo},
         std::nullopt, false, "a running host already publishes it"},
        {"A stops there, B while it holds the lock", pause_point{moment::before, call::open, reads_a_fifo},
         pause_point{moment::before, call::unlink, removes_it}, false, "another host is publishing it"},
    };
    for (const auto& race : races) {
        const int status = run_child([&] {
            pause_where_asked();
            if (mkfifo(path.c_str(), 0600) != 0)
                return 9;
            attempt a, b;
            gate a_gate, b_gate;
            std::thread first = publisher(&a, line, &*race.a, &a_gate);
            if (!a_gate.wait_arrived())
                return 1;
            std::thread second = publisher(&b, line, race.b ? &*race.b : nullptr, &b_gate);
            if (race.b && !b_gate.wait_arrived())
                return 1;
            if (!race.b)
                second.join();
            a_gate.release();
            first.join();
            b_gate.release();
            if (race.b)
                second.join();
            const attempt& winner = race.a_wins ? a : b;
            const attempt& loser = race.a_wins ? b : a;
            if (winner.host == nullptr || loser.host != nullptr)
                return 2;
            if (loser.why != name_of(line) + ": " + race.loser_says)
                return 3;
            std::uint32_t set[1];
            const bool reached = irqhost_raise(line) == 0 && irqhost_wait(winner.host, 5000, set, 1) == 1;
            irqhost_close(winner.host);
            if (!reached)
                return 4;
            return anything_named(line) ? 5 : 0;
        });
        EXPECT_EQ(status, 0) << race.what << ": " << ended(status)
                             << " (1: never stopped, 2: not exactly the one winner, 3: the loser's reason, "
                                "4: the winner not reached, 5: left behind)";
        unlink(path.c_str());
    }
}

// Sets that a stale FIFO holds when a host takes it back reach the host of
// the line, as one interrupt, and no other: a raise that found the stale
// FIFO held (the new host's, or where a fresh host linked its own first,
// that one's), and the sets its dead host left unreported, kept by a process
// that still holds it open for writing. An empty stale FIFO makes none.
TEST(Publish, HandsOnTheSetsOfAStaleFifoAndNoOther)
{
    const std::uint32_t line = test_line(6);
    const std::string path = path_of(line);
    const struct {
        const char* what;
        bool raise_while_held, left_by_dead_host, fresh_host_links_first;
        int heard; // interrupts the line's host reports
    } cases[] = {
        {"nothing raised", false, false, false, 0},
        {"raised while held", true, false, false, 1},
        {"left unreported by the dead host", false, true, false, 1},
        {"raised while held, a fresh host linked first", true, false, true, 1},
        {"both, a fresh host linked first", true, true, true, 1},
    };
    for (const auto& c : cases) {
        const int status = run_child([&] {
            const std::vector<int> descriptors = open_descriptors();
            if (mkfifo(path.c_str(), 0600) != 0)
                return 9;
            int old_writer = -1;
            if (c.left_by_dead_host) {
                const int dead_host = open(path.c_str(), O_RDWR | O_NONBLOCK);
                old_writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
                if (write(dead_host, "x", 1) != 1)
                    return 9;
                close(dead_host);
            }
            int raised = 0;
            attempt fresh;
            set_call_hook([&](moment when, call what, const char* p, int, long) {
                if (when != moment::before || p == nullptr || path != p)
                    return;
                if (what == call::unlink && c.raise_while_held)
                    raised = irqhost_raise(line) == 0 ? 1 : -1; // the stale FIFO, held
                if (what == call::linkat && c.fresh_host_links_first)
                    fresh = open_host({line});
            });
            const attempt a = open_host({line});
            set_call_hook({});
            if (c.raise_while_held && raised != 1)
                return 1;
            irqhost* host = c.fresh_host_links_first ? fresh.host : a.host;
            if (host == nullptr || (c.fresh_host_links_first && a.host != nullptr))
                return 2;
            // Handed on before the open returned.
            std::uint32_t set[1];
            int heard = 0;
            for (int n; (n = irqhost_wait(host, 0, set, 1)) > 0;)
                heard += n;
            if (old_writer != -1)
                close(old_writer);
            irqhost_close(host);
            if (heard != c.heard)
                return 3;
            return open_descriptors() == descriptors ? 0 : 4;
        });
        EXPECT_EQ(status, 0) << c.what << ": " << ended(status)
                             << " (1: the raise found no host, 2: not the one host expected, 3: heard otherwise, "
                                "4: a descriptor left open)";
        unlink(path.c_str());
    }
}

// Every line set again just as a wait with room for all takes it: each comes
// once in that wait, the wait returns, and the next wait has them all.
TEST(Wait, LinesSetAgainAsTheyAreTakenAreTheNextWaits)
{
    std::vector<std::uint32_t> lines;
    for (unsigned i = 0; i < 70; ++i)
        lines.push_back(test_line(30 + i));
    const int status = run_child([&] {
        const attempt a = open_host(lines);
        if (a.host == nullptr)
            return 9;
        for (const std::uint32_t line : lines)
            irqhost_raise(line);
        set_call_hook([](moment when, call what, const char*, int fd, long result) {
            if (when == moment::after && what == call::read && result > 0)
                static_cast<void>(::write(fd, "\a", 1)); // set again at once: the FIFO is open read-write
        });
        std::vector<std::uint32_t> first(200);
        const int taken = irqhost_wait(a.host, 0, first.data(), first.size());
        set_call_hook({});
        std::vector<std::uint32_t> next(200);
        const int again = irqhost_wait(a.host, 0, next.data(), next.size());
        irqhost_close(a.host);
        first.resize(static_cast<std::size_t>(std::max(taken, 0)));
        std::sort(first.begin(), first.end());
        return taken == 70 && first == lines && again == 70 ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << ended(status) << " (1: not each line once in each wait; killed: the wait never returned)";
}

// Hosts of overlapping lines take them in one order, whatever the order
// given: while one holds the lower line, another host of both tries that
// line first, is refused, and takes nothing; the first then takes both.
TEST(Publish, HostsOfOverlappingLinesTakeThemInOneOrder)
{
    const std::uint32_t low = test_line(7), high = test_line(8);
    const int status = run_child([&] {
        pause_where_asked();
        const std::string low_path = path_of(low), high_path = path_of(high);
        const pause_point after_low{moment::after, call::linkat,
                                    [low_path](const char* p, int) { return p != nullptr && low_path == p; }};
        attempt a, b;
        gate a_gate;
        std::thread first([&] {
            own_pause = &after_low;
            own_gate = &a_gate;
            a = open_host({low, high});
        });
        if (!a_gate.wait_arrived())
            return 1;
        bool touched_high = false;
        std::thread second([&] {
            set_call_hook([&](moment, call what, const char* p, int, long) {
                touched_high = touched_high || (what == call::linkat && p != nullptr && high_path == p);
            });
            b = open_host({high, low});
        });
        second.join();
        pause_where_asked();
        a_gate.release();
        first.join();
        irqhost_close(a.host);
        if (b.host != nullptr || touched_high || b.why != name_of(low) + ": a running host already publishes it")
            return 2;
        return a.host != nullptr ? 0 : 3;
    });
    EXPECT_EQ(status, 0) << ended(status)
                         << " (1: never stopped, 2: the second host took the higher line first, or another "
                            "outcome, 3: the first host lost)";
}

// Watches a file for being opened, written or changed.
struct watched {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    explicit watched(const std::string& path) { inotify_add_watch(fd, path.c_str(), IN_OPEN | IN_MODIFY | IN_ATTRIB); }
    ~watched() { close(fd); }
    watched(const watched&) = delete;
    watched& operator=(const watched&) = delete;
    std::uint32_t events() const
    {
        std::uint32_t seen = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            for (const char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                seen |= event->mask;
                p += sizeof(inotify_event) + event->len;
            }
        return seen;
    }
};

// Whatever is renamed over a new FIFO's private name, once the host has taken
// hold of it, is never changed, written or linked to the public name, and
// never opened while /proc leads back to the FIFO made (whose name is gone,
// so the host refuses); without /proc the inode opened by the path is
// checked, and the host refuses too.
TEST(Publish, NeverActsOnWhatIsRenamedOverThePrivateName)
{
    const std::uint32_t line = test_line(4);
    const std::string hidden = private_prefix_of(line);
    const auto is_private = [hidden](const char* p, int detail) {
        return std::strstr(p, hidden.c_str()) != nullptr && (detail & O_PATH) != 0;
    };
    const struct {
        bool hide_proc;
        const char* swapped_in; // "link" to the bait, or "fifo"
        const char* outcome;    // part of the reason
    } cases[] = {
        {false, "link", " was replaced while it was being published"},
        {false, "fifo", " was replaced while it was being published"},
        {true, "link", ": cannot open "},
        {true, "fifo", " was replaced while it was being published"},
    };
    for (const auto& c : cases) {
        child_options isolated;
        isolated.private_shm = "mode=1777";
        isolated.hide_proc = c.hide_proc;
        const int status = run_child(isolated, [&] {
            const std::string bait = "/dev/shm/bait", fifo = "/dev/shm/other";
            close(open(bait.c_str(), O_WRONLY | O_CREAT, 0644));
            mkfifo(fifo.c_str(), 0640);
            const watched bait_watch(bait), fifo_watch(fifo);
            set_call_hook([&](moment when, call what, const char* p, int detail, long result) {
                if (when != moment::after || what != call::open || result < 0 || !is_private(p, detail))
                    return;
                const std::string swapped = std::string(c.swapped_in) == "fifo" ? fifo : "/dev/shm/swap";
                if (swapped != fifo && symlink(bait.c_str(), swapped.c_str()) != 0)
                    return;
                rename(swapped.c_str(), p);
            });
            umask(022);
            const attempt a = open_host({line}, 0666);
            set_call_hook({});
            const bool published = a.host != nullptr;
            irqhost_close(a.host);
            if (published || a.why.find(c.outcome) == std::string::npos)
                return 1;
            struct stat st {};
            if ((bait_watch.events() & (IN_OPEN | IN_MODIFY | IN_ATTRIB)) != 0 || stat(bait.c_str(), &st) != 0 ||
                (st.st_mode & 07777) != 0644)
                return 2;
            const std::uint32_t fifo_events = fifo_watch.events();
            if ((fifo_events & (IN_MODIFY | IN_ATTRIB)) != 0 || (!c.hide_proc && (fifo_events & IN_OPEN) != 0))
                return 3;
            return exists(path_of(line)) ? 4 : 0;
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << c.swapped_in << ", without /proc: " << c.hide_proc << ": " << ended(status)
                             << " (1: outcome, 2: the bait touched, 3: the other FIFO changed or opened, 4: left behind)";
    }
}

// Without /proc the setter checks the path, then opens it, then opens it
// again for reading and writing (and a prepared line then for writing
// alone): a FIFO that the caller may only write, or another one altogether,
// swapped in at any of those moments, is refused with the reason the kernel
// gave (or as another inode), never gets a byte, and leaves nothing open.
TEST(Raise, WithoutProcRefusesAFifoSwappedInAtEachStep)
{
    const std::uint32_t full = test_line(10), write_only = test_line(11), another = test_line(12);
    const std::string path = path_of(full);
    const auto at_path = [path](const char* p, int) { return p != nullptr && path == p; };
    const auto opens_it = [path](int mode) {
        return [path, mode](const char* p, int flags) { return p != nullptr && path == p && (flags & O_ACCMODE) == mode; };
    };
    const struct {
        const char* when;
        std::optional<pause_point> swap_after;
        int error, line_error; // 0: set
        bool open_to_all = false;  // the FIFO swapped in: another one open to all, else the write-only one
    } steps[] = {
        {"nothing swapped", std::nullopt, 0, 0},
        {"after the look", pause_point{moment::after, call::lstat, at_path}, EACCES, EACCES},
        {"after the check of the rights", pause_point{moment::after, call::faccessat, at_path}, ENXIO, ENXIO},
        {"after the open for writing", pause_point{moment::after, call::open, opens_it(O_WRONLY)}, EACCES, EACCES},
        {"after the open for writing, one open to all", pause_point{moment::after, call::open, opens_it(O_WRONLY)},
         ENXIO, ENXIO, true},
        {"after the open for reading and writing", pause_point{moment::after, call::open, opens_it(O_RDWR)}, 0, ENXIO},
    };
    for (const auto& step : steps)
    for (const bool prepared : {false, true}) {
        child_options isolated;
        isolated.private_shm = "mode=0777"; // not sticky: another user may rename here
        isolated.hide_proc = true;
        const int status = run_child(isolated, [&] {
            const attempt open_to_all = open_host({full}, 0666), settable_only = open_host({write_only}, 0622),
                          also_open = open_host({another}, 0666);
            if (open_to_all.host == nullptr || settable_only.host == nullptr || also_open.host == nullptr ||
                !become_nobody())
                return 9;
            const std::string other = path_of(step.open_to_all ? another : write_only);
            bool swapped = false;
            set_call_hook([&](moment when, call what, const char* p, int detail, long) {
                if (!swapped && step.swap_after && when == moment::after && what == step.swap_after->what &&
                    step.swap_after->matches(p, detail))
                    swapped = renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) == 0;
            });
            const std::vector<int> descriptors = open_descriptors();
            errno = 0;
            int raised = -1;
            if (!prepared) {
                raised = irqhost_raise(full);
            } else if (irqhost_line* line = irqhost_line_open(full, nullptr, 0)) {
                raised = irqhost_line_raise(line);
                irqhost_line_close(line);
            }
            const int error = errno;
            set_call_hook({});
            if (open_descriptors() != descriptors)
                return 3;
            std::uint32_t set[1];
            if (irqhost_wait(settable_only.host, 0, set, 1) != 0 || irqhost_wait(also_open.host, 0, set, 1) != 0)
                return 1;
            const int expected = prepared ? step.line_error : step.error;
            if (expected == 0 ? raised != 0 || irqhost_wait(open_to_all.host, 0, set, 1) != 1
                              : raised != -1 || error != expected)
                return 2;
            return 0;
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << (prepared ? "a prepared line, " : "a raise, ") << step.when << ": " << ended(status)
                             << " (1: the FIFO swapped in got a byte, 2: another outcome or errno, "
                                "3: a descriptor left open, 9: setup)";
    }
}

// With 0 to 2 free, no descriptor that reads or writes (a FIFO, the wake)
// is ever on one of them, not even for a moment, where a thread of the
// caller's would take it for its standard input or output; a look by path
// (O_PATH) or an epoll set may be, as neither reads nor writes. Each call
// made first in its process, with /proc and without.
TEST(Descriptors, NoneOnZeroToTwoEvenForAMoment)
{
    const std::uint32_t line = test_line(13);
    const std::string path = path_of(line);
    const std::pair<const char*, std::function<bool()>> calls[] = {
        {"a raise", [&] { return irqhost_raise(line) == 0; }},
        {"a prepared line", [&] {
             irqhost_line* prepared = irqhost_line_open(line, nullptr, 0);
             const bool raised = prepared != nullptr && irqhost_line_raise(prepared) == 0;
             irqhost_line_close(prepared);
             return raised;
         }},
        {"a host", [&] {
             unlink(path.c_str()); // the test's own host makes way
             irqhost* host = irqhost_open(&line, 1, 0600, nullptr, 0);
             irqhost_close(host);
             return host != nullptr;
         }},
    };
    for (const bool hide_proc : {false, true})
    for (const auto& call_made : calls) {
        child_options isolated;
        isolated.private_shm = "mode=1777";
        isolated.hide_proc = hide_proc;
        const int status = run_child(isolated, [&] {
            if (mkfifo(path.c_str(), 0600) != 0 || open(path.c_str(), O_RDWR | O_CLOEXEC) < 3)
                return 9;
            for (const int fd : {0, 1, 2})
                close(fd);
            bool low = false;
            set_call_hook([&](moment when, call c, const char*, int flags, long result) {
                const bool readable = (c == call::open && (flags & O_PATH) == 0) || c == call::eventfd || c == call::dup3;
                low = low || (when == moment::after && readable && result >= 0 && result <= 2);
            });
            const bool done = call_made.second();
            set_call_hook({});
            unlink(path.c_str());
            return !done ? 8 : low ? 1 : 0;
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << call_made.first << (hide_proc ? " without /proc" : "") << ": " << ended(status)
                             << " (1: a descriptor on 0 to 2, 8: it failed)";
    }
}

// Every descriptor the library opens is close-on-exec, and every path it
// opens itself (not a way back through /proc) is opened without following
// a link, with /proc and without.
TEST(Descriptors, EveryOpenIsCloseOnExecAndFollowsNoLink)
{
    const std::uint32_t line = test_line(12);
    for (const bool hide_proc : {false, true})
    for (const bool stdin_closed : {false, true}) { // then descriptor 0 is held for a moment
        child_options isolated;
        isolated.private_shm = hide_proc ? "mode=1777" : nullptr;
        isolated.hide_proc = hide_proc;
        const int status = run_child(isolated, [&] {
            if (stdin_closed)
                close(0);
            std::vector<std::pair<std::string, int>> opens;
            std::vector<std::string> made;
            set_call_hook([&](moment when, call what, const char* p, int flags, long) {
                if (when == moment::before && what == call::open)
                    opens.emplace_back(p, flags);
                if (when == moment::before && what == call::mkfifo)
                    made.emplace_back(p);
            });
            // The kernel's random bits, or where it gives none, a count.
            if (stdin_closed)
                set_call_fault([](call what, const char*, int) { return what == call::getrandom ? ENOSYS : 0; });
            const attempt a = open_host({line});
            irqhost_line* prepared = irqhost_line_open(line, nullptr, 0);
            const bool raised = irqhost_raise(line) == 0 && irqhost_line_raise(prepared) == 0;
            irqhost_line_close(prepared);
            set_call_fault({});
            set_call_hook({});
            irqhost_close(a.host);
            if (a.host == nullptr || !raised)
                return 9;
            for (const auto& [p, flags] : opens) {
                if ((flags & O_CLOEXEC) == 0)
                    return 1;
                const bool by_path = p.rfind("/proc/", 0) != 0 && p != "/" && (flags & O_DIRECTORY) == 0;
                if (by_path && (flags & O_NOFOLLOW) == 0)
                    return 2;
            }
            // A private name is ".OSirqN.PID." and 16 hexadecimal digits.
            const std::string hidden = private_prefix_of(line) + std::to_string(getpid()) + ".";
            for (const std::string& name : made) {
                const std::string random = name.substr(name.rfind('/') + 1 + hidden.size());
                if (name.find("/" + hidden) == std::string::npos || random.size() != 16 ||
                    random.find_first_not_of("0123456789abcdef") != std::string::npos)
                    return 4;
            }
            return opens.size() >= 4 && !made.empty() ? 0 : 3;
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << "without /proc: " << hide_proc << ", standard input closed: " << stdin_closed << ": "
                             << ended(status)
                             << " (1: not close-on-exec, 2: a link would be followed, 3: too few opens seen, "
                                "4: a private name not as made)";
    }
}

// With one descriptor to spare and no /proc the setter writes through a
// descriptor open for writing alone. A host gone just before the write
// kills no caller by SIGPIPE, and a SIGPIPE of the caller's own, pending
// before, is pending after.
TEST(Raise, AHostGoneBeforeTheWriteRaisesNoSigpipe)
{
    const std::uint32_t line = test_line(13);
    for (const bool own_pending : {false, true}) {
        child_options isolated;
        isolated.private_shm = "mode=1777";
        isolated.hide_proc = true;
        const int status = run_child(isolated, [&] {
            attempt a = open_host({line});
            if (a.host == nullptr)
                return 9;
            std::signal(SIGPIPE, SIG_DFL);
            sigset_t pipe_signal;
            sigemptyset(&pipe_signal);
            sigaddset(&pipe_signal, SIGPIPE);
            if (own_pending) {
                sigprocmask(SIG_BLOCK, &pipe_signal, nullptr);
                raise(SIGPIPE);
            }
            bool wrote_alone = false;
            set_call_hook([&](moment when, call what, const char*, int fd, long) {
                if (when == moment::before && what == call::write && a.host != nullptr &&
                    (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {
                    wrote_alone = true;
                    irqhost_close(a.host);
                    a.host = nullptr;
                }
            });
            const rlimit few{64, 64};
            setrlimit(RLIMIT_NOFILE, &few);
            std::vector<int> filler;
            for (int fd; (fd = dup(0)) >= 0;)
                filler.push_back(fd);
            close(filler.back()); // the one to spare
            const int raised = irqhost_raise(line);
            set_call_hook({});
            for (const int fd : filler)
                close(fd);
            sigset_t pending;
            sigpending(&pending);
            if (!wrote_alone || raised != 0)
                return 1;
            return (sigismember(&pending, SIGPIPE) == 1) == own_pending ? 0 : 2;
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << "own SIGPIPE pending: " << own_pending << ": " << ended(status)
                             << " (1: not written through the write-only descriptor, or not 0, "
                                "2: a SIGPIPE left pending or taken away)";
    }
}

} // namespace

namespace {

// The errors each call really returns, as the loop below makes it fail.
const std::map<call, std::vector<int>> errors_of = {
    {call::open, {EMFILE, ENFILE, EACCES, ENOENT, EINTR, ENOMEM}},
    {call::close, {EINTR, EIO}},
    {call::read, {EINTR, EIO}},
    {call::write, {EINTR, EIO, ENOSPC}},
    {call::lstat, {ENOENT, EACCES, ENOMEM}},
    {call::stat, {ENOENT, EACCES}},
    {call::fstat, {EIO, ENOMEM}},
    {call::faccessat, {EACCES, ENOENT}},
    {call::fcntl, {EMFILE, EINVAL}},
    {call::dup3, {EMFILE, EINTR, EBUSY}},
    {call::mkfifo, {EEXIST, ENOSPC, EACCES}},
    {call::chmod, {EPERM, EIO}},
    {call::fchmod, {EPERM, EIO}},
    {call::unlink, {EACCES, EBUSY, ENOENT}},
    {call::flock, {EWOULDBLOCK, EINTR, ENOLCK}},
    {call::linkat, {EEXIST, ENOENT, EMLINK, ENOSPC}},
    {call::link, {EEXIST, EMLINK, ENOSPC}},
    {call::epoll_create1, {EMFILE, ENOMEM}},
    {call::epoll_ctl, {ENOMEM, ENOSPC}},
    {call::eventfd, {EMFILE, ENODEV}},
    {call::kill, {EPERM, ESRCH}},
    {call::getrandom, {EAGAIN, ENOSYS}},
    {call::fdopendir, {ENOMEM, EMFILE}},
};

// What a call in the loop is checked against, beside its own outcome.
struct process_state {
    std::vector<int> descriptors = open_descriptors();
    sigset_t mask = current_mask(), pending = pending_signals();

    static sigset_t current_mask()
    {
        sigset_t mask;
        sigprocmask(SIG_BLOCK, nullptr, &mask);
        return mask;
    }
    static sigset_t pending_signals()
    {
        sigset_t pending;
        sigpending(&pending);
        return pending;
    }
    std::string differs_from(const process_state& before) const
    {
        if (descriptors != before.descriptors)
            return "the descriptors changed";
        for (int signal = 1; signal < NSIG; ++signal)
            if (sigismember(&mask, signal) != sigismember(&before.mask, signal) ||
                sigismember(&pending, signal) != sigismember(&before.pending, signal))
                return "the signal mask or the pending signals changed";
        return "";
    }
};

// One library call under every failure: `act` makes it and returns its
// reason when refused ("" when it worked); `undo` lets go what it made.
struct faulted_case {
    const char* what;
    bool hide_proc;
    std::function<void()> setup, undo;
    std::function<std::string()> act;
    bool errno_kept; // a success leaves errno as it was
    bool reasoned = true; // a refusal says why (bellTap's never does)
    std::function<std::string()> kept = nullptr; // what must be as it was: "" when it is
    std::string looked_again = "";                // a path whose open failing with ENOENT is looked at again
};

void empty_event_directory()
{
    for (const std::string& entry : entries_of("/dev/shm"))
        unlink(("/dev/shm/" + entry).c_str());
}

// A refusal names the failed step: the system's error, or what it meant
// ("no host publishes it" for ENOENT), or how the host took it (another
// host was taken for the reason).
bool names_the_step(const std::string& why, int error)
{
    const char* meant = error == ENOENT || error == ENXIO ? "no host publishes it"
                        : error == EACCES                 ? "may not read and write it"
                                                          : nullptr;
    for (const char* phrase : {static_cast<const char*>(strerror(error)), meant, "another host is publishing it",
                               "a running host already publishes it", "was replaced while it was being published",
                               "cannot tell whether", "keeps changing"})
        if (phrase != nullptr && why.find(phrase) != std::string::npos)
            return true;
    return false;
}

// Fails each call of `c` in turn with each of its errors; returns what went
// wrong, a line each.
std::string fail_each_call(const faulted_case& c, const std::vector<std::string>& may_stay)
{
    std::vector<std::pair<call, std::string>> calls;
    c.setup();
    set_call_hook([&](moment when, call what, const char* p, int, long) {
        if (when == moment::before)
            calls.emplace_back(what, p != nullptr ? p : "");
    });
    c.act();
    set_call_hook({});
    c.undo();
    std::string problems;
    for (std::size_t k = 0; k < calls.size(); ++k) {
        const auto errors = errors_of.find(calls[k].first);
        for (const int error : errors != errors_of.end() ? errors->second : std::vector<int>{}) {
            empty_event_directory();
            const process_state before;
            c.setup();
            std::size_t made = 0;
            std::string failed_path; // this run's: a private name is new each time
            set_call_fault([&](call, const char* p, int) {
                if (made++ != k)
                    return 0;
                failed_path = p != nullptr ? p : "";
                return error;
            });
            errno = EDOM;
            const std::string why = c.act();
            const int error_after = errno;
            set_call_fault({});
            const std::string kept = c.kept ? c.kept() : "";
            c.undo();
            std::string problem = process_state().differs_from(before) + kept;
            // The folder looked up (a stat of /dev/shm) is /tmp where it fails.
            const bool folder = calls[k].first == call::stat;
            if (why.rfind("status ", 0) == 0)
                problem += " ended with " + why;
            if (!why.empty() && c.reasoned && !folder && !names_the_step(why, error))
                problem += " refused with a reason that does not name the step: " + why;
            if (why.empty() && c.errno_kept && error_after != EDOM)
                problem += " errno changed by a success";
            // A stale FIFO gone from its path between the look and the open
            // (or, without /proc, swapped) is looked at again.
            if (!why.empty() && calls[k].first == call::open && (error == ENOENT || error == ESTALE) &&
                calls[k].second == c.looked_again)
                problem += " refused where it should have looked again: " + why;
            // What the failed call was to look at or remove may stay.
            const bool looked_at = calls[k].first == call::lstat || calls[k].first == call::unlink;
            for (const std::string& entry : entries_of("/dev/shm"))
                if (std::find(may_stay.begin(), may_stay.end(), entry) == may_stay.end() &&
                    !(looked_at && failed_path == "/dev/shm/" + entry))
                    problem += " left " + entry;
            for (const std::string& entry : entries_of("/tmp"))
                problem += " left /tmp/" + entry;
            if (!problem.empty())
                problems += c.what + std::string(", call ") + std::to_string(k) + " (" + calls[k].second + ") failing with " +
                            strerror(error) + ":" + problem + "\n";
        }
    }
    return problems;
}

// Each system call that publishing (a stale FIFO taken back, a killed
// host's private FIFO removed, with and without /proc), withdrawing, a raise,
// a prepared line and bellTap make is made to fail in turn, with each error
// it really returns: the call is refused with a reason that names the step,
// or succeeds where another way is right; nothing is left in the event
// directory but what was there; the descriptors, the signal mask and the
// pending signals are as before, and a success keeps errno.
TEST(Faults, EachSystemCallFailingInTurnIsRefusedCleanly)
{
    const std::uint32_t a = test_line(20), b = test_line(21), live = test_line(22);
    const std::string stale = name_of(b), dead = private_prefix_of(a) + "1.0123456789abcdef";
    const auto with_stale_fifos = [&] {
        mkfifo(path_of(b).c_str(), 0600);
        mkfifo(("/dev/shm/" + dead).c_str(), 0600);
    };
    irqhost* host = nullptr;
    irqhost_line* line = nullptr;
    const auto open_lines = [&](std::vector<std::uint32_t> lines) {
        return [&host, lines]() {
            char why[256] = "";
            host = irqhost_open(lines.data(), lines.size(), 0640, why, sizeof why);
            return host != nullptr ? std::string() : std::string(why).empty() ? "(no reason)" : why;
        };
    };
    const auto close_host = [&] {
        irqhost_close(host);
        host = nullptr;
    };
    const auto raised = [](int result) { return result == 0 ? std::string() : std::string(strerror(errno)); };
    irqhost* held = nullptr;
    std::vector<int> before_belltap;
    int saved_output = -1;
    const auto host_of = [&](std::uint32_t l) { return [&held, l] { held = irqhost_open(&l, 1, 0666, nullptr, 0); }; };
    const auto end_held = [&] {
        irqhost_line_close(line);
        line = nullptr;
        irqhost_close(held);
        held = nullptr;
    };
    const faulted_case cases[] = {
        {"publishing", false, with_stale_fifos, close_host, open_lines({a, b}), false, true, nullptr, path_of(b)},
        {"publishing without /proc", true, with_stale_fifos, close_host, open_lines({a, b}), false, true, nullptr,
         path_of(b)},
        {"publishing beside a live host", false, [&] { with_stale_fifos(); host_of(live)(); },
         [&] { close_host(); end_held(); }, open_lines({a, b, live}), false, true,
         [&] {
             std::uint32_t set[1];
             return irqhost_raise(live) == 0 && irqhost_wait(held, 0, set, 1) == 1 ? "" : " the live host lost its line";
         }},
        {"withdrawing", false, [&] { open_lines({a, b})(); }, [] {}, [&] { close_host(); return std::string(); }, false},
        {"a raise", false, host_of(a), end_held, [&] { return raised(irqhost_raise(a)); }, true},
        {"a raise without /proc", true, host_of(a), end_held, [&] { return raised(irqhost_raise(a)); }, true},
        {"a prepared line", false, host_of(a), end_held,
         [&] {
             char why[256] = "";
             line = irqhost_line_open(a, why, sizeof why);
             if (line == nullptr)
                 return std::string(why);
             errno = EDOM; // the raise keeps it, not the open
             return raised(irqhost_line_raise(line));
         },
         true},
        {"a prepared line whose host came back", false,
         [&] {
             host_of(a)();
             line = irqhost_line_open(a, nullptr, 0);
             irqhost_close(held);
             host_of(a)();
         },
         end_held, [&] { return raised(irqhost_line_raise(line)); }, true},
        // bellTap leaves its event to the end of the process, which here
        // is the undo's, and prints nothing but its refusal.
        {"bellTap", false,
         [&] {
             host_of(a)();
             before_belltap = open_descriptors();
             fflush(stdout);
             saved_output = dup(1);
             dup2(open("/dev/null", O_WRONLY), 1);
         },
         [&] {
             fflush(stdout);
             for (const int fd : open_descriptors())
                 if (std::find(before_belltap.begin(), before_belltap.end(), fd) == before_belltap.end())
                     close(fd);
             dup2(saved_output, 1);
             close(saved_output);
             end_held();
         },
         [&] {
             const std::string argument = std::to_string(static_cast<std::int32_t>(a));
             const char* const argv[] = {"bellTap", argument.c_str(), nullptr};
             const int status = run_trigger(2, argv);
             return status == 0 ? std::string() : status == -2 ? "refused" : "status " + std::to_string(status);
         },
         false, false},
    };
    for (const faulted_case& c : cases) {
        child_options isolated;
        isolated.private_shm = "mode=1777";
        isolated.private_tmp = true; // where the events go without /dev/shm
        isolated.hide_proc = c.hide_proc;
        isolated.seconds = 120;
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        const int status = run_child(isolated, [&] {
            close(pipe_ends[0]);
            const std::string problems = fail_each_call(c, {stale, dead});
            const ssize_t written = ::write(pipe_ends[1], problems.data(), problems.size());
            return written == static_cast<ssize_t>(problems.size()) && problems.empty() ? 0 : 1;
        });
        close(pipe_ends[1]);
        std::string problems;
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
            problems.append(buffer, static_cast<std::size_t>(n));
        close(pipe_ends[0]);
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << c.what << ": " << ended(status) << "\n" << problems.substr(0, 4000);
    }
}

} // namespace
