// Named events on POSIX systems, the side that sets them: an event is a FIFO
// that its host holds open for reading, and setting it writes one byte. The
// host's side is libirqhost.
#include "named_event.h"

#include "event_path.h"
#include "above_stdio.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int open_flags = O_NONBLOCK | O_NOCTTY;

// Full access is the right to read and to write, although setting only
// writes, and the kernel's own answer is the one that counts (modes, groups,
// ACLs, capabilities, security modules): an open for reading and writing
// asks it exactly. That open is made only after an open for writing alone
// has found a reader (without one it fails with ENXIO: no host, no event),
// since a reader of the caller's own would make a FIFO that no host holds
// look live. The byte then goes through the read-write descriptor, whose own
// reader keeps a host that has just gone from raising SIGPIPE.

bool out_of_descriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

// 0 where `fd` holds the FIFO `expected` names; else fstat's error, or ENXIO
// where it is something else (no event).
int differs_from(int fd, const struct stat& expected)
{
    struct stat opened {};
    if (fstat(fd, &opened) != 0)
        return errno;
    return S_ISFIFO(opened.st_mode) && opened.st_dev == expected.st_dev && opened.st_ino == expected.st_ino ? 0 : ENXIO;
}

// Without /proc, or without a second descriptor to spare: the path is
// looked at, checked with the effective ids and opened, and the inode opened
// must be the one looked at. A path swapped between the look and the open
// may be opened (never written to) and is then refused. Only where no
// descriptor is left for the read-write open may the rights checked be
// another FIFO's.
int open_by_path(const char* path)
{
    struct stat found {};
    if (lstat(path, &found) != 0)
        return -1;
    if (!S_ISFIFO(found.st_mode)) {
        errno = ENXIO;
        return -1;
    }
    // AT_EACCESS alone: a plain faccessat, which every kernel has.
    if (faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0)
        return -1;
    // The first descriptor here is not inert: none may land on 0 to 2.
    plug_free_stdio();
    const int writer = open_above_stdio(path, O_WRONLY | O_NOFOLLOW | open_flags);
    if (writer == -1)
        return -1;
    if (const int error = differs_from(writer, found)) {
        close(writer);
        errno = error;
        return -1;
    }
    // The read-write open is the kernel's exact answer; only where there is
    // no descriptor left for it does the check above stand alone.
    const int both = open_above_stdio(path, O_RDWR | O_NOFOLLOW | open_flags);
    if (both == -1 && out_of_descriptors(errno))
        return writer;
    const int error = both == -1 ? errno : differs_from(both, found);
    close(writer);
    if (error == 0)
        return both;
    if (both != -1)
        close(both);
    errno = error;
    return -1;
}

// Returns the read-write descriptor of the FIFO at `path`, or -1 with errno
// set; `fallback` is set where the answer must come from the path instead.
int open_by_inode(const char* path, bool* fallback)
{
    // O_PATH takes hold of the path's inode without opening it; everything
    // after acts on that inode, so a path swapped meanwhile changes nothing.
    // It is inert where it lands, and once it is above 2 so is all that
    // follows.
    const int where = open_above_stdio(path, O_PATH | O_NOFOLLOW);
    if (where == -1) {
        *fallback = out_of_descriptors(errno);
        return -1;
    }
    struct stat found {};
    const int looked = fstat(where, &found) != 0 ? errno : !S_ISFIFO(found.st_mode) ? ENXIO : 0;
    if (looked != 0) {
        close(where);
        errno = looked;
        return -1;
    }
    const int writer = open_above_stdio(path_of_descriptor(where).text, O_WRONLY | open_flags);
    int error = errno;
    close(where);
    if (writer == -1) {
        *fallback = error == ENOENT || out_of_descriptors(error); // ENOENT: no /proc
        errno = error;
        return -1;
    }
    const int both = open_above_stdio(path_of_descriptor(writer).text, O_RDWR | open_flags);
    error = errno;
    close(writer);
    *fallback = both == -1 && out_of_descriptors(error);
    errno = error;
    return both;
}

} // namespace

void ignore_broken_pipes()
{
    signal(SIGPIPE, SIG_IGN);
}

event_handle open_event(const char* name)
{
    const event_path path = event_path_of(name);
    bool fallback = false;
    int fd = open_by_inode(path.text, &fallback);
    if (fd == -1 && fallback)
        fd = open_by_path(path.text);
    return fd == -1 ? no_event : fd;
}

int set_event(event_handle event)
{
    // A full pipe is already signalled; the write then fails with EAGAIN
    // instead of blocking, and the event stays set. A write to a FIFO whose
    // host has gone raises SIGPIPE: it is held back in this thread and taken,
    // unless the caller had one pending already, so that no caller's signal
    // state is touched. Only a caller that blocks SIGPIPE itself can have one
    // pending here: one not blocked would have been delivered.
    const int saved_errno = errno;
    const char bell = '\a';
    sigset_t pipe_signal;
    sigset_t before;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    sigset_t pending;
    const bool was_pending =
        sigismember(&before, SIGPIPE) == 1 && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    const bool written = write(static_cast<int>(event), &bell, 1) == 1;
    const int error = written ? 0 : errno;
    if (error == EPIPE && !was_pending) {
        const timespec at_once{0, 0};
        sigtimedwait(&pipe_signal, nullptr, &at_once);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = saved_errno;
    return error == EAGAIN ? 0 : error;
}

void close_event(event_handle event)
{
    close(static_cast<int>(event));
}
