// Named events on POSIX systems, the command's side: an event is a FIFO that
// its host holds open for reading, and setting it writes one byte. See
// event_host_posix.cpp for the host's side.
#include "named_event.h"

#include "event_path.h"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void ignore_broken_pipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

event_handle open_event(const char* name)
{
    const event_path path = event_path_of(name);

    // Looked at before the open, so that nothing but a FIFO is ever opened:
    // opening a device can have effects of its own.
    struct stat found {};
    if (lstat(path.data(), &found) != 0 || !S_ISFIFO(found.st_mode))
        return no_event;

    // Full access is the right to read and to write, although setting only
    // writes. The command itself never opens for reading: a reader of its own
    // would make a FIFO that no host holds look like a live event.
    if (faccessat(AT_FDCWD, path.data(), R_OK | W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return no_event;

    // Without a reader the open fails (ENXIO): no host, no event.
    const int fd = open(path.data(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return no_event;

    // The path may have been replaced since it was looked at.
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISFIFO(opened.st_mode) || opened.st_dev != found.st_dev ||
        opened.st_ino != found.st_ino) {
        close(fd);
        return no_event;
    }
    return fd;
}

void set_event(event_handle event)
{
    // A full pipe is already signalled; the write then fails with EAGAIN
    // instead of blocking, and the event stays set.
    const char bell = '\a';
    if (write(static_cast<int>(event), &bell, 1) < 0)
        return;
}
