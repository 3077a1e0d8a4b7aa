// The host's side on POSIX systems. Each line is a FIFO that the host creates
// and holds open read-write: reading makes it a live event, and holding the
// write side too keeps a setter's close from showing as a hang-up. Setting
// writes a byte; the host resets a line by reading until nothing is left.
// One epoll set holds every line and an eventfd that a stop makes readable.
#include "irqhost.h"

#include "event_name.h"
#include "event_path.h"
#include "host_common.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

struct hosted_line {
    uint32_t irq;
    int fd;
    dev_t device;
    ino_t inode;
};

// Marks the stop descriptor's events in the epoll set.
constexpr uint64_t stop_mark = UINT64_MAX;

// The most events taken from the kernel at once.
constexpr int batch_size = 64;

// Keeps a descriptor of the host's clear of standard input, output and
// error: in a program started with them closed it would land there, and the
// program's own writes would go to it.
int above_stdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// Takes hold of the inode at `path` without opening it (a symbolic link is
// not followed) and reads its status. Returns the O_PATH descriptor, or -1.
int hold(const char* path, struct stat* held)
{
    const int where = above_stdio(open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (where >= 0 && fstat(where, held) != 0) {
        close(where);
        return -1;
    }
    return where;
}

// A way back to the inode that `where` (from hold) holds, whatever its path
// names by now; the path itself where there is no /proc, opened then with
// `open_flags` so that a link put there is not followed.
struct inode_path {
    char text[512];
    bool by_path;
    int open_flags;
};

inode_path path_back_to(int where, const char* path)
{
    inode_path back{};
    back.by_path = access("/proc/self/fd", X_OK) != 0;
    back.open_flags = back.by_path ? O_NOFOLLOW : 0;
    if (back.by_path)
        snprintf(back.text, sizeof back.text, "%s", path);
    else
        snprintf(back.text, sizeof back.text, "/proc/self/fd/%d", where);
    return back;
}

bool same_inode(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Is this user's FIFO at `path` (the inode `found`) held by a running host?
// Only ENXIO ("no reader") means no; anything else that stops the probe
// leaves the answer open, and then the FIFO is not touched.
bool reclaim_if_stale(const char* name, const char* path, const struct stat& found, char* why, size_t why_size)
{
    struct stat held {};
    const int where = hold(path, &held);
    if (where < 0 || !same_inode(held, found)) {
        report(why, why_size, "%s: cannot look at %s: %s", name, path, where < 0 ? strerror(errno) : "it changed");
        if (where >= 0)
            close(where);
        return false;
    }
    const inode_path back = path_back_to(where, path);
    const int probe = above_stdio(open(back.text, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | back.open_flags));
    const int probe_error = errno;
    close(where);
    if (probe >= 0) {
        close(probe);
        report(why, why_size, "%s: a running host already publishes it", name);
        return false;
    }
    if (probe_error != ENXIO) {
        report(why, why_size, "%s: cannot tell whether a host still publishes it (%s); if none does, remove %s", name,
               strerror(probe_error), path);
        return false;
    }
    struct stat now {};
    if (lstat(path, &now) == 0 && same_inode(now, found) && unlink(path) != 0) {
        report(why, why_size, "%s: cannot remove the stale %s: %s", name, path, strerror(errno));
        return false;
    }
    return true;
}

// Makes room for a new FIFO: only a stale one of this user's may go.
bool clear_path(const char* name, const char* path, char* why, size_t why_size)
{
    struct stat found {};
    if (lstat(path, &found) != 0) {
        if (errno == ENOENT)
            return true;
        report(why, why_size, "%s: cannot look at %s: %s", name, path, strerror(errno));
        return false;
    }
    if (!S_ISFIFO(found.st_mode)) {
        report(why, why_size, "%s: %s holds something that is not an event", name, path);
        return false;
    }
    if (found.st_uid != geteuid()) {
        report(why, why_size, "%s: the event belongs to another user", name);
        return false;
    }
    return reclaim_if_stale(name, path, found, why, why_size);
}

// Opens the FIFO just made at `path`, read-write, with exactly `mode`. Acts
// only on the inode made: the FIFO is taken hold of without being opened and
// must be this user's FIFO, and everything after goes to that inode. Its mode
// is first 0600 (mkfifo's was masked by the umask), so that the host may open
// it whatever `mode` will allow. Without /proc the inode can be reached again
// only by its path, which is not changed before it is known to be the same
// FIFO: there the umask must leave its owner read and write. Returns the
// descriptor, or -1 with the reason reported.
int open_made_fifo(const char* name, const char* path, unsigned mode, hosted_line* line, char* why, size_t why_size)
{
    struct stat made {};
    const int where = hold(path, &made);
    if (where < 0) {
        report(why, why_size, "%s: cannot open %s: %s", name, path, strerror(errno));
        return -1;
    }
    if (!S_ISFIFO(made.st_mode) || made.st_uid != geteuid()) {
        report(why, why_size, "%s: %s was replaced while it was being published", name, path);
        close(where);
        return -1;
    }
    line->device = made.st_dev;
    line->inode = made.st_ino;

    const inode_path back = path_back_to(where, path);
    const int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC | back.open_flags;
    int fd = -1;
    struct stat opened {};
    if ((!back.by_path && chmod(back.text, 0600) != 0) || (fd = above_stdio(open(back.text, flags))) < 0)
        report(why, why_size, "%s: cannot open %s: %s", name, path, strerror(errno));
    else if (fstat(fd, &opened) != 0 || !same_inode(opened, made))
        report(why, why_size, "%s: %s was replaced while it was being published", name, path);
    else if (fchmod(fd, static_cast<mode_t>(mode)) != 0)
        report(why, why_size, "%s: cannot give %s its mode: %s", name, path, strerror(errno));
    else {
        close(where);
        return fd;
    }
    if (fd >= 0)
        close(fd);
    close(where);
    return -1;
}

// Removes `path` only while it is still the FIFO this host made.
void remove_own_fifo(const char* path, const hosted_line& line)
{
    struct stat found {};
    if (lstat(path, &found) == 0 && found.st_dev == line.device && found.st_ino == line.inode)
        unlink(path);
}

// Where a new FIFO is made and made ready before it takes its public name:
// ".OSirq3.<pid>.<random>" beside it. Nobody else knows the name, so no
// other host takes it for stale, and a failure leaves nothing under the
// public one.
event_path private_path_beside(const char* name)
{
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        random = static_cast<uint64_t>(now.tv_nsec) ^ reinterpret_cast<uintptr_t>(&now);
    }
    char hidden[sizeof(event_name) + 48];
    snprintf(hidden, sizeof hidden, ".%s.%ld.%016llx", name, static_cast<long>(getpid()),
             static_cast<unsigned long long>(random));
    return event_path_of(hidden);
}

// Removes the private name of a FIFO that this host made: by its inode once
// that is known, and before, only while it is a FIFO of this user's.
void remove_private(const char* path, const hosted_line& line)
{
    struct stat found {};
    if (line.inode != 0)
        remove_own_fifo(path, line);
    else if (lstat(path, &found) == 0 && S_ISFIFO(found.st_mode) && found.st_uid == geteuid())
        unlink(path);
}

// Gives the FIFO that `line` holds its public name. Through /proc the link
// is made to the inode held, whatever the private name holds by then;
// without it, by the private name, and a file renamed there meanwhile is
// found under the public name afterwards and left alone.
bool link_public(const char* made, const char* path, const hosted_line& line)
{
    char held[32];
    snprintf(held, sizeof held, "/proc/self/fd/%d", line.fd);
    if (linkat(AT_FDCWD, held, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != ENOENT || link(made, path) != 0)
        return false;
    struct stat linked {};
    if (lstat(path, &linked) == 0 && linked.st_dev == line.device && linked.st_ino == line.inode)
        return true;
    errno = EEXIST;
    return false;
}

// Makes the FIFO under a private name, opens it and gives it its mode there,
// and only then links it to its public name, where it appears live: link()
// fails if the name is taken meanwhile, so two hosts never share a line.
bool publish(uint32_t irq, unsigned mode, hosted_line* line, char* why, size_t why_size)
{
    const event_name name = event_name_from_irq(irq);
    const event_path path = event_path_of(name.text);
    line->irq = irq;
    line->fd = -1;
    if (!clear_path(name.text, path.text, why, why_size))
        return false;
    const event_path made = private_path_beside(name.text);
    if (mkfifo(made.text, 0600) != 0) {
        report(why, why_size, "%s: cannot create %s: %s", name.text, made.text, strerror(errno));
        return false;
    }
    line->fd = open_made_fifo(name.text, made.text, mode, line, why, why_size);
    if (line->fd >= 0 && !link_public(made.text, path.text, *line)) {
        report(why, why_size, "%s: cannot publish %s: %s", name.text, path.text,
               errno == EEXIST ? "another host is publishing it" : strerror(errno));
        close(line->fd);
        line->fd = -1;
    }
    remove_private(made.text, *line);
    return line->fd >= 0;
}

void drain(int fd)
{
    char bytes[4096];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

} // namespace

struct irqhost {
    pid_t owner; // a child made by fork() shares the descriptors, not the host
    int epoll;
    int stop;
    int stopped;
    size_t count;
    hosted_line* lines;
};

namespace {

bool is_owner(const irqhost* host)
{
    return host->owner == getpid();
}

bool is_stopped(const irqhost* host)
{
    return __atomic_load_n(&host->stopped, __ATOMIC_SEQ_CST) != 0;
}

bool watch(int epoll, int fd, uint64_t mark)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = mark;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

// Takes every line ready in `ready` (resetting each); returns false on a stop.
bool take(irqhost* host, const epoll_event* ready, int count, uint32_t* lines, size_t* taken)
{
    for (int i = 0; i < count; ++i) {
        if (ready[i].data.u64 == stop_mark)
            return false;
        const hosted_line& line = host->lines[ready[i].data.u64];
        drain(line.fd);
        lines[(*taken)++] = line.irq;
    }
    return true;
}

} // namespace

extern "C" {

irqhost* irqhost_open(const uint32_t* lines, size_t count, unsigned mode, char* why, size_t why_size)
{
    report(why, why_size, "%s", "");
    if (mode > 07777) {
        report(why, why_size, "0%o is not a file mode (0 to 07777)", mode);
        return nullptr;
    }
    if (!lines_are_valid(lines, count, why, why_size))
        return nullptr;

    auto* host = static_cast<irqhost*>(calloc(1, sizeof(irqhost)));
    auto* hosted = static_cast<hosted_line*>(calloc(count, sizeof(hosted_line)));
    if (host == nullptr || hosted == nullptr) {
        report(why, why_size, "out of memory");
        free(host);
        free(hosted);
        return nullptr;
    }
    host->owner = getpid();
    host->lines = hosted;
    host->epoll = above_stdio(epoll_create1(EPOLL_CLOEXEC));
    host->stop = above_stdio(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (host->epoll < 0 || host->stop < 0 || !watch(host->epoll, host->stop, stop_mark)) {
        report(why, why_size, "cannot make the host's wait: %s", strerror(errno));
        irqhost_close(host);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!publish(lines[i], mode, &hosted[i], why, why_size)) {
            irqhost_close(host);
            return nullptr;
        }
        host->count = i + 1;
        if (!watch(host->epoll, hosted[i].fd, i)) {
            report(why, why_size, "%s: cannot wait for it: %s", event_name_from_irq(lines[i]).text, strerror(errno));
            irqhost_close(host);
            return nullptr;
        }
    }
    return host;
}

int irqhost_wait(irqhost* host, int timeout_ms, uint32_t* lines, size_t capacity)
{
    if (host == nullptr || lines == nullptr || capacity == 0) {
        errno = EINVAL;
        return -2;
    }
    if (!is_owner(host)) {
        errno = EPERM;
        return -2;
    }
    const long long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    int wait_ms = timeout_ms < 0 ? -1 : timeout_ms;
    size_t taken = 0;
    epoll_event ready[batch_size];
    // Checked before every wait, so that a stop is honoured however busy the
    // lines are.
    while (!is_stopped(host)) {
        const int room = capacity - taken < batch_size ? static_cast<int>(capacity - taken) : batch_size;
        const int count = epoll_wait(host->epoll, ready, room, wait_ms);
        if (is_stopped(host))
            break;
        if (count < 0) {
            if (errno != EINTR)
                return -2;
            if (deadline >= 0) {
                const long long left = deadline - now_ms();
                wait_ms = left > 0 ? static_cast<int>(left) : 0;
            }
            continue;
        }
        if (!take(host, ready, count, lines, &taken))
            break;
        // One batch full: more may be ready, taken without waiting.
        if (count < room || taken == capacity)
            return static_cast<int>(taken);
        wait_ms = 0;
    }
    return -1;
}

void irqhost_stop(irqhost* host)
{
    if (host == nullptr)
        return;
    const int saved_errno = errno; // a signal handler must leave errno as it was
    __atomic_store_n(&host->stopped, 1, __ATOMIC_SEQ_CST);
    // The stop descriptor is shared with the process that opened the host:
    // another process's stop is its own alone.
    const uint64_t one = 1;
    if (is_owner(host) && write(host->stop, &one, sizeof one) < 0) {
        // Already readable: the counter is full, which is a stop as well.
    }
    errno = saved_errno;
}

int irqhost_descriptor(const irqhost* host)
{
    return host != nullptr ? host->epoll : -1;
}

void irqhost_close(irqhost* host)
{
    if (host == nullptr)
        return;
    // In another process (a child made by fork()) the lines are still its
    // opener's: only the descriptors are let go.
    const bool withdraw = is_owner(host);
    for (size_t i = 0; i < host->count; ++i) {
        if (withdraw)
            remove_own_fifo(event_path_of(event_name_from_irq(host->lines[i].irq).text).text, host->lines[i]);
        close(host->lines[i].fd);
    }
    if (host->epoll >= 0)
        close(host->epoll);
    if (host->stop >= 0)
        close(host->stop);
    free(host->lines);
    free(host);
}

} // extern "C"
