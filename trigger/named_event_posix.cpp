// Named events on POSIX systems, the command's side: an event is a FIFO that
// its host holds open for reading, and setting it writes one byte. The host's
// side is libirqhost.
#include "named_event.h"

#include "event_path.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int write_flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Full access is the right to read and to write, although setting only
// writes. The command itself never opens for reading: a reader of its own
// would make a FIFO that no host holds look like a live event. Without a
// reader the open fails (ENXIO): no host, no event.

// Without /proc: the path is looked at, checked and opened, and the inode
// opened must be the one looked at. Between the look and the open the path
// can be swapped, so the rights checked may be another FIFO's.
int open_by_path(const char* path)
{
    struct stat found {};
    if (lstat(path, &found) != 0 || !S_ISFIFO(found.st_mode))
        return -1;
    // AT_EACCESS alone: a plain faccessat, which every kernel has.
    if (faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0)
        return -1;
    const int fd = open(path, write_flags | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISFIFO(opened.st_mode) || opened.st_dev != found.st_dev ||
        opened.st_ino != found.st_ino) {
        close(fd);
        return -1;
    }
    return fd;
}

// The type and the rights are checked on the inode that is then opened:
// O_PATH takes hold of the path's inode without opening it, and its
// /proc/self/fd entry reaches that inode again, whatever the path names by
// then. Nothing but a FIFO is ever really opened.
int open_by_inode(const char* path)
{
    const int where = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (where < 0)
        return -1;
    int fd = -1;
    struct stat found {};
    char inode[32];
    snprintf(inode, sizeof inode, "/proc/self/fd/%d", where);
    if (fstat(where, &found) == 0 && S_ISFIFO(found.st_mode)) {
        if (access(inode, R_OK | W_OK) == 0)
            fd = open(inode, write_flags);
        else if (errno == ENOENT)
            fd = open_by_path(path); // no /proc
    }
    close(where);
    return fd;
}

} // namespace

void ignore_broken_pipes()
{
    signal(SIGPIPE, SIG_IGN);
}

event_handle open_event(const char* name)
{
    const int fd = open_by_inode(event_path_of(name).text);
    return fd < 0 ? no_event : fd;
}

void set_event(event_handle event)
{
    // A full pipe is already signalled; the write then fails with EAGAIN
    // instead of blocking, and the event stays set.
    const char bell = '\a';
    if (write(static_cast<int>(event), &bell, 1) < 0)
        return;
}
