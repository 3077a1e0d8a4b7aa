// libirqhost on POSIX: publishing, waiting, stopping and withdrawing, and the
// hostile cases a host meets in a shared event directory.
#include "host_common.h"
#include "irqhost.h"
#include "named_event.h"
#include "posix_test.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <malloc.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>

namespace {

using namespace test_support;

std::uint32_t test_line(unsigned offset)
{
    return line_of_this_process(1'200'000'000u, offset);
}

// Lines of a range of their own, ascending, as many as a case needs (up to
// 5000), with the descriptors they take allowed.
std::vector<std::uint32_t> many_test_lines(std::size_t count)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < count + 100 && limit.rlim_max >= count + 100) {
        limit.rlim_cur = count + 100;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<std::uint32_t> lines;
    for (std::size_t i = 0; i < count; ++i)
        lines.push_back(many_lines_of_this_process(static_cast<unsigned>(i)));
    return lines;
}

bool exists(std::uint32_t irq)
{
    return test_support::exists(path_of(irq));
}

// Sets a line as bellTap does.
void trigger(std::uint32_t irq)
{
    const event_handle event = open_event(name_of(irq).c_str());
    ASSERT_NE(event, no_event) << name_of(irq);
    set_event(event);
    close_event(event);
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

std::size_t heap_in_use()
{
    return mallinfo2().uordblks;
}

child_options as_nobody()
{
    child_options options;
    options.unprivileged = true;
    return options;
}

TEST(Open, GivesExactlyTheModeAskedWhateverTheUmask)
{
    const std::uint32_t a = test_line(1), b = test_line(2);
    for (const unsigned mode : {0640u, 0u, 03660u, 07777u}) {
        const int status = run_child(as_nobody(), [&] {
            for (const mode_t mask : {0277, 0777}) {
                umask(mask);
                const opened o = open_host({a, b}, mode);
                irqhost* host = o.host;
                struct stat st {};
                if (host == nullptr || !o.why.empty())
                    return 1;
                if (lstat(path_of(b).c_str(), &st) != 0 || !S_ISFIFO(st.st_mode) || (st.st_mode & 07777) != mode)
                    return 2;
                irqhost_close(host);
                if (exists(a) || exists(b))
                    return 3;
            }
            return 0;
        });
        EXPECT_EQ(status, 0) << "mode 0" << std::oct << mode << ": " << ended(status)
                             << " (1: refused, or a reason left on success, 2: wrong mode, 3: left behind)";
    }
}

// Each refusal names its reason, publishes none of the lines, leaves
// what stood at a path as it was and holds no descriptor it did not have.
TEST(Open, RefusesWithItsReasonAndLeavesNothing)
{
    const std::uint32_t a = test_line(3), b = test_line(4), far = a + 2'000'000'000u;
    const std::string pb = path_of(b);
    const auto file_at_b = [pb] {
        const int fd = open(pb.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        return fd >= 0 && write(fd, "x", 1) == 1 && close(fd) == 0;
    };
    const auto link_at_b = [pb] { return symlink("/dev/null", pb.c_str()) == 0; };
    const auto foreign_fifo_at_b = [pb] { return mkfifo(pb.c_str(), 0600) == 0 && chown(pb.c_str(), 65534, 65534) == 0; };
    const struct {
        const char* what;
        std::vector<std::uint32_t> lines;
        std::size_t count; // 0: the lines' own
        bool null_lines;
        unsigned mode;
        std::function<bool()> setup;
        std::string why;
    } refusals[] = {
        {"given twice", {a, b, a}, 0, false, 0600, nullptr, name_of(a) + ": given twice"},
        {"given twice, far apart", {far, b, a, far}, 0, false, 0600, nullptr, name_of(far) + ": given twice"},
        {"no lines", {}, 0, false, 0600, nullptr, "no lines to publish"},
        {"no array", {}, 2, true, 0600, nullptr, "no lines to publish"},
        {"too many", {a, b}, SIZE_MAX / 4 + 2, false, 0600, nullptr, "more lines than a host can publish"},
        {"not a mode", {a, b}, 0, false, 010000, nullptr, "010000 is not a file mode (0 to 07777)"},
        {"a file", {a, b}, 0, false, 0600, file_at_b, name_of(b) + ": " + pb + " holds something that is not an event"},
        {"a link", {a, b}, 0, false, 0600, link_at_b, name_of(b) + ": " + pb + " holds something that is not an event"},
        {"another user's FIFO", {a, b}, 0, false, 0600, foreign_fifo_at_b, name_of(b) + ": the event belongs to another user"},
    };
    for (const auto& refusal : refusals) {
        if (refusal.setup && geteuid() != 0 && refusal.why.find("another user") != std::string::npos)
            continue;
        if (refusal.setup) {
            ASSERT_TRUE(refusal.setup()) << refusal.what;
        }
        struct stat before_at_b {};
        lstat(pb.c_str(), &before_at_b);
        const std::vector<int> descriptors = open_descriptors();
        char why[256] = "untouched";
        irqhost* host = irqhost_open(refusal.null_lines ? nullptr : refusal.lines.data(),
                                     refusal.count != 0 ? refusal.count : refusal.lines.size(), refusal.mode, why,
                                     sizeof why);
        EXPECT_EQ(host, nullptr) << refusal.what;
        irqhost_close(host);
        EXPECT_EQ(why, refusal.why) << refusal.what;
        EXPECT_FALSE(anything_named(a)) << refusal.what << ": a line was left published";
        EXPECT_EQ(open_descriptors(), descriptors) << refusal.what;
        if (refusal.setup) {
            struct stat after_at_b {};
            EXPECT_EQ(lstat(pb.c_str(), &after_at_b), 0) << refusal.what;
            EXPECT_EQ(after_at_b.st_ino, before_at_b.st_ino) << refusal.what;
            EXPECT_EQ(after_at_b.st_size, before_at_b.st_size) << refusal.what;
            EXPECT_EQ(after_at_b.st_mode, before_at_b.st_mode) << refusal.what;
            unlink(pb.c_str());
        }
        EXPECT_FALSE(anything_named(b)) << refusal.what;
    }
    // The reason is cut to the buffer, always zero-terminated; nothing is
    // written where there is no room at all.
    EXPECT_EQ(irqhost_open(&a, 0, 0600, nullptr, 256), nullptr) << "no buffer, whatever its size";
    for (const std::size_t room : {std::size_t{8}, std::size_t{1}, std::size_t{0}}) {
        char tiny[8] = "xxxxxxx";
        EXPECT_EQ(irqhost_open(&a, 0, 0600, tiny, room), nullptr);
        EXPECT_STREQ(tiny, room == 8 ? "no line" : room == 1 ? "" : "xxxxxxx") << room << " bytes";
    }

    irqhost* live = open_host({a}).host;
    ASSERT_NE(live, nullptr);
    const std::vector<int> descriptors = open_descriptors();
    const opened second = open_host({b, a});
    EXPECT_EQ(second.host, nullptr);
    EXPECT_EQ(second.why, name_of(a) + ": a running host already publishes it");
    EXPECT_FALSE(anything_named(b)) << "not all or nothing";
    EXPECT_EQ(open_descriptors(), descriptors);
    irqhost_close(live);
    EXPECT_FALSE(exists(a));
}

// Lines sort as numbers, and no count is multiplied before it is known
// that its arrays fit.
TEST(Open, ChecksLinesAsNumbersAndCountsBeforeAllocating)
{
    const struct {
        std::vector<std::uint32_t> lines;
        std::size_t count;
        const char* why;
    } cases[] = {
        {{0, 1'000'000'000, 2'000'000'000, 3'000'000'000u}, 4, ""},
        {{0}, 1, ""}, // nothing read past the last line
        {{3'000'000'000u, 0, 2'000'000'000, 3'000'000'000u}, 4, "OSirq3000000000: given twice"},
        {{4'294'967'295u, 0, 2'147'483'648u, 0}, 4, "OSirq0: given twice"},
        {{1, 2}, SIZE_MAX / 64 + 1, "more lines than a host can publish"},
        {{1, 2}, SIZE_MAX / 64, "out of memory"},
        {{1, 2}, SIZE_MAX, "more lines than a host can publish"},
    };
    for (const auto& c : cases) {
        char why[64] = "";
        std::uint32_t* sorted = sorted_lines(c.lines.data(), c.count, why, sizeof why);
        EXPECT_EQ(sorted != nullptr, *c.why == '\0') << c.why;
        EXPECT_STREQ(why, c.why);
        if (sorted != nullptr) {
            std::vector<std::uint32_t> expected = c.lines;
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(std::vector<std::uint32_t>(sorted, sorted + c.count), expected) << "not sorted";
        }
        free(sorted);
    }
}

// Opening, refusing and closing, many times over, leave the heap as it was
// (the sanitizers' build checks every test for leaks besides).
TEST(Open, LeaksNothing)
{
    std::vector<std::uint32_t> many = many_test_lines(100);
    many.push_back(many[50]);
    const std::uint32_t a = test_line(19);
    const auto cycle = [&] {
        irqhost_close(open_host({a}).host);
        irqhost_close(open_host(many).host);
        irqhost_close(open_host({}).host);
    };
    cycle();
    const std::size_t before = heap_in_use();
    for (int i = 0; i < 200; ++i)
        cycle();
    EXPECT_LT(heap_in_use(), before + 4096) << "the heap grew by " << heap_in_use() - before;
}

// The address space this process takes, in bytes.
std::size_t address_space()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    std::size_t kib = 0;
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmSize: %zu kB", &kib) == 1)
            break;
    if (status != nullptr)
        std::fclose(status);
    return kib * 1024;
}

// Memory that runs out while a million lines are checked, or while the
// host is made for them: the reason, and nothing held or left.
TEST(Open, RunsOutOfMemoryCleanly)
{
    if (BELLTAP_SANITIZED)
        GTEST_SKIP() << "the sanitizers' runtime reserves address space of its own";
    std::vector<std::uint32_t> lines(1'000'000);
    for (std::size_t i = 0; i < lines.size(); ++i)
        lines[i] = 3'500'000'000u + static_cast<std::uint32_t>(i);
    // The check copies the lines (4 MB); the host keeps 24 bytes a line.
    for (const std::size_t room : {std::size_t{2} << 20, std::size_t{12} << 20}) {
        const int status = run_child([&] {
            // Once first: the C library's first failure keeps a little.
            const auto refused_so = [&] {
                rlimit limit{};
                getrlimit(RLIMIT_AS, &limit);
                const rlimit tight{address_space() + room, limit.rlim_max};
                setrlimit(RLIMIT_AS, &tight);
                char why[64] = "";
                irqhost* host = irqhost_open(lines.data(), lines.size(), 0600, why, sizeof why);
                setrlimit(RLIMIT_AS, &limit);
                irqhost_close(host);
                return host == nullptr && std::strcmp(why, "out of memory") == 0;
            };
            refused_so();
            const std::vector<int> descriptors = open_descriptors();
            const std::size_t heap = heap_in_use();
            for (int i = 0; i < 20; ++i)
                if (!refused_so())
                    return 1;
            // Freed blocks the C library keeps at hand count as used: a few.
            const std::size_t heap_after = heap_in_use();
            if (open_descriptors() != descriptors || heap_after > heap + 512)
                return 2;
            return anything_named(lines[0]) ? 3 : 0;
        });
        EXPECT_EQ(status, 0) << (room >> 20) << " MiB to spare: " << ended(status)
                             << " (1: not refused so, 2: a descriptor or memory held, 3: left behind)";
    }
}

// A pid that no process has any more.
pid_t ended_process()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// A host takes back what a killed host of its user left on its lines: the
// public FIFO no process reads, and FIFOs under private names of a process
// that has ended. Nothing else.
TEST(Open, TakesBackOnlyWhatItsOwnKilledHostsLeft)
{
    const std::uint32_t line = test_line(5), other_line = test_line(6);
    ASSERT_EQ(mkfifo(path_of(line).c_str(), 0600), 0);
    const std::string dead = std::to_string(ended_process()), random = ".0123456789abcdef";
    const std::string hidden = private_prefix_of(line), folder = path_of(line).substr(0, path_of(line).rfind('/') + 1);
    const std::string line_text = std::to_string(line);
    const struct {
        std::string name;
        const char* kind; // "fifo", "file", "foreign fifo", "read fifo"
        bool taken;
    } left[] = {
        {hidden + dead + random, "fifo", true},
        {hidden + dead + ".ffffffffffffffff", "fifo", true},
        {hidden + dead + ".0000000000000000", "fifo", true},
        {hidden + "1999999990" + random, "fifo", true}, // no such process: every digit read
        {hidden + "1" + random, "fifo", false}, // its maker runs
        {hidden + dead + ".0123456789abcde", "fifo", false},
        {hidden + dead + random + "0", "fifo", false},
        {hidden + dead + ".0123456789ABCDEF", "fifo", false}, // names the library never makes
        {hidden + "0" + dead + random, "fifo", false},
        {".OSirq0" + line_text + "." + dead + random, "fifo", false},
        {".OSirq+" + line_text + "." + dead + random, "fifo", false},
        {private_prefix_of(other_line) + dead + random, "fifo", false},
        {hidden + dead + ".1123456789abcdef", "file", false},
        {hidden + dead + ".2123456789abcdef", "read fifo", false},
        {hidden + dead + ".3123456789abcdef", "foreign fifo", false},
    };
    std::vector<int> readers;
    for (const auto& entry : left) {
        const std::string path = folder + entry.name, kind = entry.kind;
        if (kind == "file")
            ASSERT_EQ(close(open(path.c_str(), O_WRONLY | O_CREAT, 0600)), 0);
        else
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        if (kind == "read fifo")
            readers.push_back(open(path.c_str(), O_RDONLY | O_NONBLOCK));
        if (kind == "foreign fifo" && chown(path.c_str(), 65534, 65534) != 0)
            unlink(path.c_str());
    }
    irqhost* host = open_host({line}).host;
    EXPECT_NE(host, nullptr) << "the stale public FIFO was not taken back";
    for (const auto& entry : left) {
        const std::string path = folder + entry.name;
        if (std::string(entry.kind) != "foreign fifo" || geteuid() == 0) {
            EXPECT_EQ(test_support::exists(path), !entry.taken) << entry.name << " (" << entry.kind << ")";
        }
        unlink(path.c_str());
    }
    for (const int fd : readers)
        close(fd);
    irqhost_close(host);
    EXPECT_FALSE(anything_named(line));

    // A maker that this user may not signal (EPERM) still runs.
    child_options nobody;
    nobody.unprivileged = true;
    const int status = run_child(nobody, [&] {
        const std::string other_users = folder + hidden + "1" + random;
        if (mkfifo(other_users.c_str(), 0600) != 0)
            return 9;
        irqhost_close(open_host({line}).host);
        const bool kept = test_support::exists(other_users);
        unlink(other_users.c_str());
        return kept ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << ended(status) << ": a private FIFO of a process that runs as another user was taken";
}

// A host belongs to the process that opened it: a child made by fork()
// neither takes its lines, nor stops it, nor withdraws them.
TEST(Open, BelongsToTheProcessThatOpenedIt)
{
    const std::uint32_t a = test_line(17);
    irqhost* host = open_host({a}).host;
    ASSERT_NE(host, nullptr);
    for (const bool set_before : {false, true}) {
        if (set_before)
            trigger(a);
        const int child = run_child([host] {
            std::uint32_t set[1];
            errno = 0;
            const bool refused = irqhost_wait(host, 0, set, 1) == -2 && errno == EPERM;
            irqhost_stop(host);
            irqhost_close(host);
            return refused ? 0 : 1;
        });
        EXPECT_EQ(child, 0) << ended(child) << ": the child's wait was not refused";
        EXPECT_TRUE(exists(a)) << "the child's close withdrew the parent's line";
        std::uint32_t set[1];
        EXPECT_EQ(irqhost_wait(host, set_before ? 5000 : 200, set, 1), set_before ? 1 : 0)
            << "the set was lost, or the child's stop reached the parent";
    }
    irqhost_close(host);
    EXPECT_FALSE(exists(a));
}

// An event directory the host may not use says so, naming the line: one it
// may not search, one it may not write, and one where a stale FIFO of its
// own may not be removed (not taken for another host's).
TEST(Open, SaysWhyTheEventDirectoryWillNotDo)
{
    const std::uint32_t a = test_line(18);
    const struct {
        const char* options; // of the tmpfs over /dev/shm, which root owns
        bool stale_fifo;     // one of the host's user's at the line's path
        unsigned mode;
        std::string says;
    } cases[] = {
        {"mode=0700", false, 0600, name_of(a) + ": cannot look at " + path_of(a) + ": " + strerror(EACCES)},
        {"mode=0555", false, 0600, name_of(a) + ": cannot create " + event_path_of(private_prefix_of(a).c_str()).text},
        {"mode=0755", true, 0600, name_of(a) + ": cannot remove the stale " + path_of(a)},
        // Set-group-ID, of a group the host is not in: its FIFOs lose that bit.
        {"mode=2777", false, 02600, name_of(a) + ": the system gave " + event_path_of(private_prefix_of(a).c_str()).text},
        {"mode=2777", false, 06600, name_of(a) + ": the system gave "},
    };
    for (const auto& c : cases) {
        child_options isolated;
        isolated.private_shm = c.options;
        const int status = run_child(isolated, [&] {
            if (c.stale_fifo && (mkfifo(path_of(a).c_str(), 0600) != 0 || chown(path_of(a).c_str(), 65534, 65534) != 0))
                return 3;
            return run_child(as_nobody(), [&] {
                const std::vector<int> descriptors = open_descriptors();
                const opened refused = open_host({a}, c.mode);
                irqhost_close(refused.host);
                const bool left = (!c.stale_fifo && anything_named(a)) || open_descriptors() != descriptors;
                // What the system gave, in the set-group-ID folder: all but that bit.
                char given[64];
                snprintf(given, sizeof given, " mode 0%o, not 0%o", c.mode & ~02000u, c.mode);
                const std::size_t at = refused.why.rfind(given);
                const bool says_mode = c.options != std::string("mode=2777") ||
                                       (at != std::string::npos && at + std::strlen(given) == refused.why.size());
                return refused.host == nullptr && refused.why.rfind(c.says, 0) == 0 && !left && says_mode ? 0 : 1;
            });
        });
        SKIP_UNLESS_ISOLATED(status);
        EXPECT_EQ(status, 0) << c.options << ": " << ended(status)
                             << " (1: another reason, or a FIFO or descriptor left, 3: setup)";
    }
}

// A probe that fails for another reason than "no reader" must not take a
// live host's event away.
TEST(Open, NeverTakesOverAnEventItCannotProbe)
{
    const std::uint32_t a = test_line(7);
    // A FIFO whose mode denies its owner reading or writing is probed with
    // them lent for the moment, through /proc: a live host keeps its event
    // and its mode, a killed host's (public or private) is taken back.
    // Without /proc nothing tells, and nothing is touched. A mode that lets
    // its owner read and write is probed as it is, and stays as it is.
    const std::string dead_private = event_path_of((private_prefix_of(a) + std::to_string(ended_process()) +
                                                    ".0123456789abcdef").c_str()).text;
    for (const bool hide_proc : {false, true})
        for (const unsigned mode : {0400u, 0200u, 0u, 066u, 0640u}) {
            child_options isolated;
            isolated.private_shm = "mode=1777";
            isolated.hide_proc = hide_proc;
            const int status = run_child(isolated, [&] {
                return run_child(as_nobody(), [&] {
                    irqhost* holder = open_host({a}, mode).host;
                    const opened second = open_host({a});
                    struct stat st {};
                    const bool kept = holder != nullptr && second.host == nullptr &&
                                      lstat(path_of(a).c_str(), &st) == 0 && (st.st_mode & 07777) == mode;
                    irqhost_close(holder);
                    // Without /proc an owner's write bit is enough to find a host.
                    const char* says = hide_proc && (mode & 0200) == 0 ? "cannot tell whether a host still publishes it"
                                                                       : "a running host already publishes it";
                    if (!kept || second.why.rfind(name_of(a) + ": " + says, 0) != 0)
                        return 1;
                    if (mkfifo(path_of(a).c_str(), 0600) != 0 || chmod(path_of(a).c_str(), mode) != 0 ||
                        mkfifo(dead_private.c_str(), 0600) != 0 || chmod(dead_private.c_str(), mode) != 0)
                        return 2;
                    const opened stale = open_host({a});
                    irqhost_close(stale.host);
                    if (hide_proc && (mode & 0600) != 0600)
                        return stale.host == nullptr && exists(a) &&
                                       stale.why.find("remove " + path_of(a)) != std::string::npos &&
                                       test_support::exists(dead_private)
                                   ? 0
                                   : 3;
                    return stale.host != nullptr && !anything_named(a) ? 0 : 4;
                });
            });
            SKIP_UNLESS_ISOLATED(status);
            EXPECT_EQ(status, 0) << "mode 0" << std::oct << mode << ", without /proc: " << hide_proc << ": "
                                 << ended(status)
                                 << " (1: a live host taken over, its mode changed or another reason, 2: setup, "
                                    "3: without /proc a stale FIFO guessed at, 4: a killed host's not taken back)";
        }
}

// In an event directory without the sticky bit, another user can rename a
// file over the FIFO a host has just made. The host must never act on it.
// The directory is fixed, so this runs in a private mount namespace with a
// tmpfs of mode 0777 over /dev/shm.
TEST(Open, NeverActsOnAFileRenamedOverItsFifo)
{
    const std::uint32_t line = test_line(8);
    child_options isolated;
    isolated.private_shm = "mode=0777";
    isolated.seconds = 60;
    const int status = run_child(isolated, [line] {
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
            const std::string hidden = private_prefix_of(line);
            for (unsigned round = 0;; ++round) {
                if (round % 2 == 0)
                    link(bait.c_str(), link_name.c_str());
                else
                    symlink(bait.c_str(), link_name.c_str());
                struct stat st {};
                if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
                    rename(link_name.c_str(), path.c_str());
                for (const std::string& entry : entries_of("/dev/shm"))
                    if (entry.rfind(hidden, 0) == 0)
                        rename(link_name.c_str(), ("/dev/shm/" + entry).c_str());
            }
        }
        for (int i = 0; i < 100 && access(bait.c_str(), F_OK) != 0; ++i)
            usleep(10'000);
        const int touched = inotify_init1(IN_NONBLOCK);
        if (inotify_add_watch(touched, bait.c_str(), IN_OPEN | IN_ATTRIB | IN_MODIFY) < 0)
            return 3;
        for (int i = 0; i < 1000; ++i) {
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
    SKIP_UNLESS_ISOLATED(status);
    EXPECT_EQ(status, 0) << ended(status)
                         << " (1: the host opened or changed another user's file; 3: setup; 4: removed it)";
}

// Without /proc the host reaches its new FIFO by its path again: it still
// publishes with the exact mode (where the umask leaves the owner read and
// write) and withdraws.
TEST(Open, WorksWithoutProc)
{
    const std::uint32_t a = test_line(9);
    child_options isolated;
    isolated.hide_proc = true;
    const int status = run_child(isolated, [a] {
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
    SKIP_UNLESS_ISOLATED(status);
    EXPECT_EQ(status, 0) << ended(status) << ": not published, woken or withdrawn";
}

// A descriptor of a host's, or a FIFO of an event's?
bool is_library_descriptor(int fd)
{
    char target[256] = "";
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    const std::string link(target, n > 0 ? static_cast<std::size_t>(n) : 0), folder = path_of(0).substr(0, 9);
    return link.rfind("anon_inode:", 0) == 0 || link.rfind(folder, 0) == 0;
}

// Started with standard input, output or error closed (each alone, all, or
// none), a program never finds a descriptor of the library there, even
// while another thread opens and closes files of its own: other threads'
// reads and writes on the closed ones reach nothing while hosts are opened
// and lines raised, every descriptor a host holds is above 2 and
// close-on-exec, each closed one holds an inert placeholder afterwards, and
// a descriptor of the program's own put there then is never touched.
TEST(Descriptors, NoneOnZeroToTwoWhicheverStandardOneIsClosed)
{
    const std::uint32_t a = test_line(15), b = test_line(16);
    const std::vector<int> closed_sets[] = {{}, {0}, {1}, {2}, {0, 1, 2}};
    for (const std::vector<int>& closed : closed_sets) {
        const int status = run_child([&] {
            for (const int fd : closed)
                close(fd);
            for (const int fd : open_descriptors()) // so that 3 is the next free one
                if (fd > 2)
                    close(fd);
            std::atomic<bool> done{false};
            std::atomic<int> reached{0};
            std::vector<std::thread> others;
            for (const int fd : closed)
                others.emplace_back([&, fd] {
                    char byte = 'x';
                    while (!done)
                        if ((fd == 0 ? read(fd, &byte, 1) : write(fd, &byte, 1)) > 0)
                            ++reached;
                });
            others.emplace_back([&] {
                while (!done)
                    close(open("/dev/null", O_RDONLY));
            });
            int failed = 0;
            for (int round = 0; round < 200 && failed == 0; ++round) {
                irqhost* host = open_host({a, b}).host;
                if (host == nullptr) {
                    failed = 1;
                    break;
                }
                for (const int fd : open_descriptors())
                    if (is_library_descriptor(fd) && (fd <= 2 || (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0))
                        failed = 2;
                std::uint32_t set[2];
                if (irqhost_raise(b) != 0 || irqhost_wait(host, 5000, set, 2) != 1 || set[0] != b)
                    failed = 3;
                irqhost_close(host);
            }
            done = true;
            for (std::thread& other : others)
                other.join();
            if (failed != 0)
                return failed;
            if (reached != 0)
                return 4;
            for (const int fd : closed)
                if (!is_placeholder(fd))
                    return 5;
            // The program's own descriptor over a placeholder stays its own.
            const int own = open("/", O_RDONLY | O_DIRECTORY);
            for (const int fd : closed)
                dup2(own, fd);
            irqhost* host = open_host({a, b}).host;
            for (int i = 0; i < 100; ++i)
                irqhost_raise(a);
            irqhost_close(host);
            for (const int fd : closed)
                if ((fcntl(fd, F_GETFL) & (O_PATH | O_ACCMODE)) != O_RDONLY)
                    return 6;
            return 0;
        });
        std::string which;
        for (const int fd : closed)
            which += std::to_string(fd) + " ";
        EXPECT_EQ(status, 0) << "closed: " << which << ended(status)
                             << " (1: not published, 2: a descriptor on 0-2 or inherited by exec, 3: not woken, "
                                "4: another thread reached a descriptor of the library's, 5: no placeholder left, "
                                "6: the program's own descriptor on 0-2 replaced)";
    }
}

// Is the host's descriptor readable within `ms`?
bool readable(irqhost* host, int ms)
{
    pollfd fd{irqhost_descriptor(host), POLLIN, 0};
    return poll(&fd, 1, ms) == 1;
}

// Memory that a child made by fork() shares with its parent.
void* shared_memory(std::size_t bytes)
{
    return mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
}

struct model_record;
void raise_in_another_process(model_record* record, const std::vector<std::uint32_t>& lines, unsigned seed);

// Where no descriptor may be above 2 (a limit of 3, with 0 to 2 closed),
// what the library opens is refused for want of descriptors, and says so;
// and a killed host's private FIFO of line 0 is taken back like any other.
TEST(Descriptors, NoRoomAboveTwoIsTooManyOpenFiles)
{
    const std::uint32_t a = test_line(30);
    const int status = run_child([&] {
        for (const int fd : open_descriptors())
            close(fd);
        const rlimit three{3, 3};
        setrlimit(RLIMIT_NOFILE, &three);
        const opened refused = open_host({a});
        // Each of 0 to 2 holds a placeholder from then on.
        const bool plugged = is_placeholder(0) && is_placeholder(1) && is_placeholder(2);
        return refused.host == nullptr && refused.why == std::string("cannot make the host's wait: ") + strerror(EMFILE) &&
                       plugged
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status, 0) << ended(status) << ": not refused for want of descriptors";
    child_options isolated;
    isolated.private_shm = "mode=1777";
    const int zero = run_child(isolated, [&] {
        const std::string dead = "/dev/shm/.OSirq0." + std::to_string(ended_process()) + ".0123456789abcdef";
        if (mkfifo(dead.c_str(), 0600) != 0)
            return 9;
        irqhost_close(open_host({0}).host);
        return test_support::exists(dead) ? 1 : 0;
    });
    SKIP_UNLESS_ISOLATED(zero);
    EXPECT_EQ(zero, 0) << ended(zero) << ": a killed host's private FIFO of line 0 was left";
}

#include "wait_cases.h"

void raise_in_another_process(model_record* record, const std::vector<std::uint32_t>& lines, unsigned seed)
{
    const int status = run_child([&] {
        raise_randomly(record, lines, seed, 100);
        return 0;
    });
    EXPECT_EQ(status, 0) << "the raising process: " << ended(status);
}

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
    EXPECT_EQ(irqhost_wait(nullptr, 0, set, 1), -2);
    EXPECT_EQ(irqhost_wait(host, 0, nullptr, 1), -2);
    EXPECT_EQ(irqhost_descriptor(nullptr), -1);
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

    errno = EDOM;
    EXPECT_EQ(irqhost_raise(own), 0);
    EXPECT_EQ(errno, EDOM) << "a raise that worked changed errno";
    EXPECT_EQ(irqhost_raise(test_line(43)), -1);
    EXPECT_EQ(errno, ENOENT);
    // Something at the path that is no FIFO is no event either.
    ASSERT_EQ(mkdir(path_of(test_line(43)).c_str(), 0700), 0);
    errno = EDOM;
    EXPECT_EQ(irqhost_raise(test_line(43)), -1);
    EXPECT_EQ(errno, ENXIO) << "a folder at the path";
    rmdir(path_of(test_line(43)).c_str());
    std::uint32_t set[2];
    EXPECT_EQ(irqhost_wait(host, 5000, set, 2), 1);
    EXPECT_EQ(set[0], own);
    const int as_other = run_child(as_nobody(), [&] {
        const bool refused = irqhost_raise(write_only) == -1 && errno == EACCES;
        return irqhost_raise(open_to_all) == 0 && (refused || getuid() != 65534) ? 0 : 1;
    });
    EXPECT_EQ(as_other, 0) << ended(as_other)
                           << ": another user: a 0666 line not set, or a 0622 line not refused with EACCES";
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

std::uint32_t handler_line = 0;
std::atomic<int> handler_raises{0}, handler_failures{0};

void raise_from_handler(int)
{
    const int interrupted_errno = errno;
    errno = EDOM;
    if (irqhost_raise(handler_line) != 0 || errno != EDOM)
        ++handler_failures;
    ++handler_raises;
    errno = interrupted_errno;
}

// A timer's signal handler raises a line at a high rate while the thread
// it interrupts raises another, with standard input open and closed (when
// every raise holds descriptor 0 for a moment): each raise works and keeps
// errno, nothing hangs, and the host hears both lines.
TEST(Raise, FromASignalHandlerWhileTheThreadRaisesToo)
{
    const std::uint32_t from_handler = test_line(44), from_thread = test_line(45);
    for (const bool stdin_closed : {false, true}) {
        const int status = run_child([&] {
            if (stdin_closed)
                close(0);
            irqhost* host = open_host({from_handler, from_thread}).host;
            if (host == nullptr)
                return 9;
            handler_line = from_handler;
            struct sigaction action {};
            action.sa_handler = raise_from_handler;
            action.sa_flags = SA_RESTART;
            sigaction(SIGALRM, &action, nullptr);
            itimerval often{{0, 100}, {0, 100}};
            setitimer(ITIMER_REAL, &often, nullptr);
            int failures = 0;
            bool heard[2] = {false, false};
            // Until the handler has raised a hundred times (the timer's
            // signals come however busy the machine is), and a while longer.
            for (int i = 0; (handler_raises < 100 || i < 10'000) && i < 10'000'000; ++i) {
                errno = ERANGE;
                if (irqhost_raise(from_thread) != 0 || errno != ERANGE)
                    ++failures;
                std::uint32_t set[2];
                for (int n = irqhost_wait(host, 0, set, 2), i = 0; i < n; ++i)
                    heard[set[i] == from_thread] = true;
            }
            const itimerval off{};
            setitimer(ITIMER_REAL, &off, nullptr);
            irqhost_close(host);
            if (failures != 0 || handler_failures != 0)
                return 1;
            if (handler_raises < 100)
                return 2;
            if (!heard[0] || !heard[1])
                return 3;
            return stdin_closed && !is_placeholder(0) ? 4 : 0;
        });
        EXPECT_EQ(status, 0) << "standard input closed: " << stdin_closed << ": " << ended(status)
                             << " (1: a raise failed or changed errno, 2: the handler ran too seldom, "
                                "3: a line was not heard, 4: descriptor 0 holds no placeholder)";
    }
}

void ignore_signal(int) {}

// A harmless signal neither fails a wait nor starts its timeout anew, nor
// ends a wait without one; lines ready in more than one of the kernel's
// batches, or in exactly one, come back in one call at once, when there is
// room for them.
TEST(Wait, KeepsItsDeadlineThroughSignalsAndTakesEveryBatch)
{
    const std::vector<std::uint32_t> lines = many_test_lines(150);
    irqhost* host = open_host(lines).host;
    ASSERT_NE(host, nullptr);
    struct sigaction harmless {};
    harmless.sa_handler = ignore_signal;
    sigaction(SIGALRM, &harmless, nullptr);
    // Signals every 20 ms for as long as the wait lasts: one that started its
    // timeout anew at each would never end, and ends only at this test's limit.
    const itimerval every_20_ms{{0, 20'000}, {0, 20'000}};
    setitimer(ITIMER_REAL, &every_20_ms, nullptr);
    std::uint32_t set[200];
    const auto start = std::chrono::steady_clock::now();
    const int result = irqhost_wait(host, 300, set, 200);
    const auto waited = std::chrono::steady_clock::now() - start;
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(290)) << "the timeout ended early";
    // Without a timeout, a signal does not end the wait either.
    const itimerval at_100_ms{{0, 0}, {0, 100'000}};
    setitimer(ITIMER_REAL, &at_100_ms, nullptr);
    std::atomic<bool> returned{false};
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        trigger(lines[149]);
        // A wait that never returns is stopped after 20 s, and fails.
        for (int i = 0; i < 2000 && !returned; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!returned)
            irqhost_stop(host);
    });
    EXPECT_EQ(irqhost_wait(host, -1, set, 200), 1) << "a signal ended a wait without a timeout, or it never returned";
    returned = true;
    raiser.join();
    std::signal(SIGALRM, SIG_DFL);

    // Without a timeout, all that is ready comes back at once (a wait for
    // more would never end).
    for (const std::size_t ready : {std::size_t{150}, std::size_t{64}}) {
        for (std::size_t i = 0; i < ready; ++i)
            trigger(lines[i]);
        EXPECT_EQ(irqhost_wait(host, -1, set, 200), static_cast<int>(ready)) << "only part of the lines set came back";
    }
    irqhost_close(host);
}

// A name too long for a path is cut short, and the path stays a string.
TEST(EventPath, CutsALongNameShortAndNamesEveryDescriptor)
{
    const std::string folder = path_of(0).substr(0, path_of(0).rfind('/') + 1);
    const std::string longest(sizeof(event_path::text) - 1 - folder.size(), 'x');
    for (const std::size_t extra : {std::size_t{0}, std::size_t{1}, std::size_t{100}})
        EXPECT_EQ(event_path_of((longest + std::string(extra, 'y')).c_str()).text, folder + longest) << extra;
    for (const int fd : {0, 7, 2147483647})
        EXPECT_EQ(std::string(path_of_descriptor(fd).text), "/proc/self/fd/" + std::to_string(fd));
}

} // namespace
