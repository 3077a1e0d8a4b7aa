// Named events on POSIX systems, the host's side: the event is a FIFO that the
// host creates and holds open for reading while it publishes. It is opened for
// writing as well, so that the host does not see a hang-up each time a setter
// closes it.
#include "event_host.h"

#include "event_path.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

bool has_reader(const char* path)
{
    const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// Makes room for a new FIFO: only a stale one of this user's may go.
const char* clear_path(const char* path)
{
    struct stat found {};
    if (lstat(path, &found) != 0)
        return errno == ENOENT ? nullptr : std::strerror(errno);
    if (!S_ISFIFO(found.st_mode))
        return "the path holds something that is not an event";
    if (found.st_uid != geteuid())
        return "the event belongs to another user";
    if (has_reader(path))
        return "a running host already publishes it";
    return unlink(path) == 0 ? nullptr : std::strerror(errno);
}

void drain(int fd)
{
    char bytes[512];
    while (read(fd, bytes, sizeof bytes) > 0) {
    }
}

} // namespace

// Bounded only by the process's limit on open files.
const int max_waited_events = std::numeric_limits<int>::max();

const char* publish_event(const char* name, unsigned mode, event_handle* event)
{
    const event_path path = event_path_of(name);
    if (const char* why = clear_path(path.data()))
        return why;
    // Created private and opened before it gets its mode, so that a mode
    // without read rights for the owner still leaves the host its reader.
    if (mkfifo(path.data(), 0600) != 0)
        return errno == EEXIST ? "another host is publishing it" : std::strerror(errno);
    const int fd = open(path.data(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) {
        const char* why = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        unlink(path.data());
        return why;
    }
    *event = fd;
    return nullptr;
}

void withdraw_event(const char* name, event_handle event)
{
    const int fd = static_cast<int>(event);
    const event_path path = event_path_of(name);
    // Removes the path only while it is still this host's FIFO.
    struct stat ours {};
    struct stat found {};
    if (fstat(fd, &ours) == 0 && lstat(path.data(), &found) == 0 && ours.st_dev == found.st_dev &&
        ours.st_ino == found.st_ino)
        unlink(path.data());
    close(fd);
}

void stop_waiting_on_interrupt()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // Blocked everywhere but inside the wait, so that a signal is never lost
    // between a check of the flag and the start of the wait.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
}

int wait_for_events(const event_handle* events, int count, bool* set)
{
    std::vector<pollfd> fds(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < fds.size(); ++i)
        fds[i] = {static_cast<int>(events[i]), POLLIN, 0};

    sigset_t open_to_stops;
    sigprocmask(SIG_SETMASK, nullptr, &open_to_stops);
    sigdelset(&open_to_stops, SIGINT);
    sigdelset(&open_to_stops, SIGTERM);

    while (stop_requested == 0) {
        const int ready = ppoll(fds.data(), fds.size(), nullptr, &open_to_stops);
        if (ready < 0 && errno != EINTR)
            return -1;
        int taken = 0;
        for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            set[i] = (fds[i].revents & POLLIN) != 0;
            if (set[i]) {
                drain(fds[i].fd);
                ++taken;
            }
        }
        if (taken > 0)
            return taken;
    }
    return -1;
}
