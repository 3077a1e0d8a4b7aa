// A line's FIFO is made under a private name beside its public one, opened
// read-write and given its mode there, and only then linked to the public
// name, where it appears live; link() fails if the name is taken meanwhile,
// so two hosts never share a line. The inode made is reached again through
// /proc/self/fd, so that whatever is renamed over its path meanwhile is
// never acted on.
#include "publish_posix.h"

#include "above_stdio.h"
#include "event_name.h"
#include "event_path.h"
#include "host_common.h"
#include "named_event.h"

#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool same_inode(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes hold of the inode at `path` without opening it (a symbolic link is
// not followed) and reads its status. Returns the O_PATH descriptor, or -1.
int hold(const char* path, struct stat* held)
{
    const int where = open_above_stdio(path, O_PATH | O_NOFOLLOW);
    if (where != -1 && fstat(where, held) != 0) {
        close(where);
        return -1;
    }
    return where;
}

bool have_proc()
{
    return access("/proc/self/fd", X_OK) == 0;
}

// Opens the inode that `where` (from hold) holds, the `expected` one, with
// `flags`. Without /proc it can only be reached by its path again, not
// following a link, and then what that path names by now must be the same
// inode: otherwise -1 with ESTALE.
int reopen(int where, const char* path, const struct stat& expected, int flags)
{
    if (have_proc())
        return open_above_stdio(path_of_descriptor(where).text, flags);
    const int fd = open_above_stdio(path, flags | O_NOFOLLOW);
    struct stat opened {};
    if (fd != -1 && (fstat(fd, &opened) != 0 || !same_inode(opened, expected))) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

enum class reclaim { done, refused, changed };

// A FIFO whose mode denies its owner reading or writing cannot be probed: it
// is given them for the probe, on the inode that `where` holds (only through
// /proc, which reaches nothing else), and its mode is put back unless it is
// removed. Returns the mode to put back, or -1 where nothing was changed.
int open_for_probe(int where, const struct stat& found)
{
    const auto mode = static_cast<mode_t>(found.st_mode & 07777);
    if ((mode & 0600) == 0600 || !have_proc() || chmod(path_of_descriptor(where).text, mode | 0600) != 0)
        return -1;
    return static_cast<int>(mode);
}

void put_back_mode(int where, int mode)
{
    if (mode != -1)
        chmod(path_of_descriptor(where).text, static_cast<mode_t>(mode));
}

// Takes a stale FIFO of this user's (the inode `found` at `path`) out of the
// way. It is stale when an open for writing finds no reader; only that
// answer (ENXIO) counts, and anything else leaves the FIFO alone. Several
// hosts may find it stale at once: each then opens it for reading, so that
// every later probe finds it live, and of those the one that takes its lock
// removes it, once it has checked under the lock that the path still names
// it. On success `*locked` holds it open and locked until the new FIFO is in
// place; `changed` means the path names something else by now.
reclaim reclaim_stale(const char* name, const char* path, const struct stat& found, int* locked, char* why,
                      size_t why_size)
{
    struct stat held {};
    const int where = hold(path, &held);
    if (where == -1 && errno == ENOENT)
        return reclaim::changed;
    if (where == -1) {
        report(why, why_size, "%s: cannot look at %s: %s", name, path, strerror(errno));
        return reclaim::refused;
    }
    if (!same_inode(held, found)) {
        close(where);
        return reclaim::changed;
    }
    const int mode = open_for_probe(where, held);
    const int probe = reopen(where, path, found, O_WRONLY | O_NONBLOCK | O_NOCTTY);
    const int probe_error = errno;
    int reader = -1;
    if (probe == -1 && probe_error == ENXIO)
        reader = reopen(where, path, found, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    const int error = probe_error != ENXIO ? probe_error : errno;
    reclaim outcome = reclaim::refused;
    if (probe != -1) {
        close(probe);
        report(why, why_size, "%s: a running host already publishes it", name);
    } else if (reader == -1) {
        if (error == ESTALE || error == ENOENT) // swapped or removed since it was held
            outcome = reclaim::changed;
        else
            report(why, why_size, "%s: cannot tell whether a host still publishes it (%s); if none does, remove %s",
                   name, strerror(error), path);
    } else if (flock(reader, LOCK_EX | LOCK_NB) != 0) {
        report(why, why_size, "%s: another host is publishing it", name);
    } else if (struct stat now {}; lstat(path, &now) != 0 || !same_inode(now, found)) {
        outcome = reclaim::changed;
    } else if (unlink(path) != 0) {
        report(why, why_size, "%s: cannot remove the stale %s: %s", name, path, strerror(errno));
    } else {
        *locked = reader;
        close(where);
        return reclaim::done;
    }
    put_back_mode(where, mode);
    if (reader != -1)
        close(reader);
    close(where);
    return outcome;
}

// Makes room for a new FIFO at `path`: only a stale one of this user's may
// go, and it is held in `*locked` until the new one is linked in.
bool clear_path(const char* name, const char* path, int* locked, char* why, size_t why_size)
{
    // Each new look follows a change that only another host's finished
    // publish or withdrawal makes: a few looks find where it settled.
    for (int look = 0; look < 8; ++look) {
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
        const reclaim outcome = reclaim_stale(name, path, found, locked, why, why_size);
        if (outcome != reclaim::changed)
            return outcome == reclaim::done;
    }
    report(why, why_size, "%s: %s keeps changing", name, path);
    return false;
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
    if (where == -1) {
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

    const int fd = !have_proc() || chmod(path_of_descriptor(where).text, 0600) == 0
                       ? reopen(where, path, made, O_RDWR | O_NONBLOCK)
                       : -1;
    const int error = errno;
    close(where);
    if (fd == -1) {
        if (error == ESTALE)
            report(why, why_size, "%s: %s was replaced while it was being published", name, path);
        else
            report(why, why_size, "%s: cannot open %s: %s", name, path, strerror(error));
        return -1;
    }
    // The system may give less than asked for: a set-group-ID bit is
    // dropped in a set-group-ID folder of a group the host is not in.
    struct stat given {};
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0 || fstat(fd, &given) != 0) {
        report(why, why_size, "%s: cannot give %s its mode: %s", name, path, strerror(errno));
        close(fd);
        return -1;
    }
    if ((given.st_mode & 07777) != mode) {
        report(why, why_size, "%s: the system gave %s mode 0%o, not 0%o", name, path,
               static_cast<unsigned>(given.st_mode & 07777), mode);
        close(fd);
        return -1;
    }
    return fd;
}

// Removes `path` only while it is still the FIFO that `line` holds.
void remove_own_fifo(const char* path, const hosted_line& line)
{
    struct stat found {};
    if (lstat(path, &found) == 0 && found.st_dev == line.device && found.st_ino == line.inode)
        unlink(path);
}

// Where a new FIFO is made and made ready before it takes its public name:
// ".OSirq3.<pid>.<random>" beside it. Nobody else knows the name, so no
// other host takes it for stale while its maker lives, and a failure leaves
// nothing under the public one.
event_path private_path_beside(const char* directory, const char* name)
{
    // Unforeseeable where the kernel can tell; where it cannot yet, the count
    // of names this process has made, which another host's never meets.
    static uint64_t made = 0;
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = __atomic_add_fetch(&made, 1, __ATOMIC_RELAXED);
    char hidden[sizeof(event_name) + 48];
    snprintf(hidden, sizeof hidden, ".%s.%ld.%016llx", name, static_cast<long>(getpid()),
             static_cast<unsigned long long>(random));
    return event_path_in(directory, hidden);
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

// Gives the FIFO that `line` holds its public name; false with errno set,
// EEXIST when another host has it, ESTALE when the private name was
// replaced. Through /proc the link is made to the inode held, whatever the
// private name holds by then; once something is renamed over that name the
// inode has no name left to link, and nothing is linked. Without /proc the
// link is made by the private name, and when it turns out to name another
// inode than the one made, it is taken back.
bool link_public(const char* made, const char* path, const hosted_line& line)
{
    if (have_proc()) {
        if (linkat(AT_FDCWD, path_of_descriptor(line.fd).text, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno == ENOENT)
            errno = ESTALE;
        return false;
    }
    if (link(made, path) != 0)
        return false;
    struct stat linked {};
    if (lstat(path, &linked) == 0 && linked.st_dev == line.device && linked.st_ino == line.inode)
        return true;
    // The link just made, to what was renamed over the private name, or to
    // what cannot be looked at: taken back.
    unlink(path);
    errno = ESTALE;
    return false;
}

// A stale FIFO that a host holds open while it takes it back looks live to
// a setter, whose byte would be lost with it; so would the sets that its
// dead host left unreported, kept while another process holds it open. All
// of them are one interrupt, read as late as can be, just before the FIFO is
// let go, and handed on: to the new FIFO (`to`), or where this host did not
// publish it, to whichever host publishes the line by now.
void hand_on_sets(int stale, int to, const char* name)
{
    char bytes[PIPE_BUF];
    bool set = false;
    while (read(stale, bytes, sizeof bytes) > 0)
        set = true;
    if (!set)
        return;
    if (to != -1) {
        set_event(to); // fails only where the new FIFO is full: set already
    } else if (const event_handle host = open_event(name); host != no_event) {
        set_event(host);
        close_event(host);
    }
}

// Reads a decimal number as this library writes one, without leading zeros,
// up to `limit`, then the character `end`. Returns the character after it,
// or null.
const char* read_decimal(const char* p, uint64_t limit, char end, uint64_t* value)
{
    const char* digits = p;
    for (*value = 0; *p >= '0' && *p <= '9' && *value <= limit; ++p)
        *value = *value * 10 + static_cast<uint64_t>(*p - '0');
    const bool canonical = p != digits && (*digits != '0' || p == digits + 1);
    return canonical && *value <= limit && *p == end ? p + 1 : nullptr;
}

// Reads a private name exactly as private_path_beside writes one,
// ".OSirqN.PID.RANDOM" with RANDOM 16 lower-case hexadecimal digits: its
// line and the process that made it. Nothing else is taken for one.
bool parse_private_name(const char* entry, uint32_t* irq, pid_t* maker)
{
    if (strncmp(entry, ".OSirq", 6) != 0)
        return false;
    uint64_t line = 0, process = 0;
    const char* p = read_decimal(entry + 6, UINT32_MAX, '.', &line);
    p = p != nullptr ? read_decimal(p, INT32_MAX, '.', &process) : nullptr;
    if (p == nullptr || process == 0)
        return false;
    size_t hex = 0;
    for (; (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'); ++p)
        ++hex;
    *irq = static_cast<uint32_t>(line);
    *maker = static_cast<pid_t>(process);
    return hex == 16 && *p == '\0';
}

bool has_ended(pid_t process)
{
    return process != getpid() && kill(process, 0) != 0 && errno == ESRCH;
}

} // namespace

bool publish(const char* directory, uint32_t irq, unsigned mode, hosted_line* line, char* why, size_t why_size)
{
    const event_name name = event_name_from_irq(irq);
    const event_path path = event_path_in(directory, name.text);
    line->directory = directory;
    line->irq = irq;
    line->fd = -1;
    int stale = -1;
    if (!clear_path(name.text, path.text, &stale, why, why_size))
        return false;
    const event_path made = private_path_beside(directory, name.text);
    if (mkfifo(made.text, 0600) != 0) {
        report(why, why_size, "%s: cannot create %s: %s", name.text, made.text, strerror(errno));
    } else {
        line->fd = open_made_fifo(name.text, made.text, mode, line, why, why_size);
        if (line->fd != -1 && !link_public(made.text, path.text, *line)) {
            if (errno == ESTALE)
                report(why, why_size, "%s: %s was replaced while it was being published", name.text, made.text);
            else
                report(why, why_size, "%s: cannot publish %s: %s", name.text, path.text,
                       errno == EEXIST ? "another host is publishing it" : strerror(errno));
            close(line->fd);
            line->fd = -1;
        }
        remove_private(made.text, *line);
    }
    if (stale != -1) {
        hand_on_sets(stale, line->fd, name.text);
        close(stale);
    }
    return line->fd != -1;
}

void withdraw(const hosted_line& line)
{
    remove_own_fifo(event_path_in(line.directory, event_name_from_irq(line.irq).text).text, line);
}

void remove_stale_private_fifos(const char* directory, const uint32_t* lines, size_t count)
{
    const int folder = open_above_stdio(directory, O_RDONLY | O_DIRECTORY);
    DIR* listing = folder != -1 ? fdopendir(folder) : nullptr;
    if (listing == nullptr) {
        if (folder != -1)
            close(folder);
        return;
    }
    for (const dirent* entry; (entry = readdir(listing)) != nullptr;) {
        uint32_t irq = 0;
        pid_t maker = 0;
        if (!parse_private_name(entry->d_name, &irq, &maker) || !std::binary_search(lines, lines + count, irq) ||
            !has_ended(maker))
            continue;
        const event_path path = event_path_in(directory, entry->d_name);
        struct stat found {};
        int locked = -1;
        if (lstat(path.text, &found) == 0 && S_ISFIFO(found.st_mode) && found.st_uid == geteuid() &&
            reclaim_stale(entry->d_name, path.text, found, &locked, nullptr, 0) == reclaim::done)
            close(locked);
    }
    closedir(listing);
}
