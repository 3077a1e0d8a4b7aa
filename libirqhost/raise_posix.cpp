// Raising a line from code on POSIX systems: irqhost_raise takes the
// command's steps (the event's name, the open with full access, one byte),
// and a prepared line takes them once and then writes its byte alone.
#include "irqhost.h"

#include "above_stdio.h"
#include "event_name.h"
#include "event_path.h"
#include "host_common.h"
#include "monotonic_clock.h"
#include "named_event.h"
#include "no_cancellation.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a prepared line looks whether its path still names the FIFO it
// holds. A host that ends shows at the next write (EPIPE); a FIFO that is
// withdrawn while another process still reads it (a child the host forked)
// shows only at a look.
constexpr long long look_every_ms = 100;

} // namespace

// Several threads may raise one line at once: what they share is changed
// only atomically, and the descriptor's number never changes.
struct irqhost_line {
    int fd; // write-only: a reader would keep a dead line looking live
    uint64_t device, inode; // of the FIFO it reaches
    long long looked_ms;    // when the path was last seen to name it
    event_name name;
    event_path path;
};

namespace {

// A descriptor open for writing alone on the FIFO of a live host, which the
// caller may read and write, as open_event checks; -1 with errno otherwise.
int open_writer(const irqhost_line& line, struct stat* reached)
{
    const event_handle both = open_event(line.name.text);
    if (both == no_event)
        return -1;
    const int checked = static_cast<int>(both);
    if (fstat(checked, reached) != 0 || (fcntl(checked, F_GETFL) & O_ACCMODE) == O_WRONLY)
        return checked; // where no descriptor was left for more, it is one already
    constexpr int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY;
    int writer = open_above_stdio(path_of_descriptor(checked).text, flags);
    if (writer == -1 && errno == ENOENT) { // no /proc: by the path, which must still name it
        writer = open_above_stdio(line.path.text, flags | O_NOFOLLOW);
        struct stat opened {};
        if (writer != -1 && (fstat(writer, &opened) != 0 || opened.st_ino != reached->st_ino ||
                             opened.st_dev != reached->st_dev)) {
            close(writer);
            writer = -1;
            errno = ENXIO;
        }
    }
    const int error = errno;
    close_event(both);
    errno = error;
    return writer;
}

void remember(irqhost_line* line, const struct stat& reached)
{
    __atomic_store_n(&line->device, static_cast<uint64_t>(reached.st_dev), __ATOMIC_RELAXED);
    __atomic_store_n(&line->inode, static_cast<uint64_t>(reached.st_ino), __ATOMIC_RELAXED);
    __atomic_store_n(&line->looked_ms, monotonic_ms(), __ATOMIC_RELAXED);
}

// Takes the line's host as it is now onto the line's own descriptor number,
// in one step, so that a write of another thread meanwhile goes to the old
// FIFO or to the new one and never to another file. Returns 0 or an errno.
int reopen(irqhost_line* line)
{
    struct stat reached {};
    const int fresh = open_writer(*line, &reached);
    if (fresh == -1)
        return errno;
    const int error = dup3(fresh, line->fd, O_CLOEXEC) == -1 ? errno : 0;
    close(fresh);
    if (error == 0)
        remember(line, reached);
    return error;
}

// At most every look_every_ms: is the FIFO held still the one at the path?
// Returns 0 where it is (or now is again), or an errno.
int look_at_path(irqhost_line* line)
{
    const long long now = monotonic_ms();
    if (now - __atomic_load_n(&line->looked_ms, __ATOMIC_RELAXED) < look_every_ms)
        return 0;
    struct stat found {};
    if (lstat(line->path.text, &found) != 0)
        return errno;
    if (static_cast<uint64_t>(found.st_ino) != __atomic_load_n(&line->inode, __ATOMIC_RELAXED) ||
        static_cast<uint64_t>(found.st_dev) != __atomic_load_n(&line->device, __ATOMIC_RELAXED))
        return reopen(line);
    __atomic_store_n(&line->looked_ms, now, __ATOMIC_RELAXED);
    return 0;
}

// The reason a line cannot be raised, as irqhost_line_open reports it.
void report_refusal(char* why, size_t why_size, const char* name, int error)
{
    if (error == ENOENT || error == ENXIO)
        report(why, why_size, "%s: no host publishes it", name);
    else if (error == EACCES)
        report(why, why_size, "%s: this user may not read and write it", name);
    else
        report(why, why_size, "%s: cannot open it: %s", name, strerror(error));
}

} // namespace

extern "C" {

// Safe in a signal handler: nothing here or below uses stdio, allocates or
// takes a lock, and errno is left as it was unless the raise fails.
IRQHOST_API int irqhost_raise(uint32_t line)
{
    const no_cancellation shield;
    const int saved_errno = errno;
    const event_handle event = open_event(event_name_from_irq(line).text);
    if (event == no_event)
        return -1;
    set_event(event);
    close_event(event);
    errno = saved_errno;
    return 0;
}

IRQHOST_API irqhost_line* irqhost_line_open(uint32_t irq, char* why, size_t why_size)
{
    report(why, why_size, "%s", "");
    const no_cancellation shield;
    auto* line = static_cast<irqhost_line*>(calloc(1, sizeof(irqhost_line)));
    if (line == nullptr) {
        report(why, why_size, "out of memory");
        errno = ENOMEM;
        return nullptr;
    }
    line->name = event_name_from_irq(irq);
    line->path = event_path_of(line->name.text);
    struct stat reached {};
    line->fd = open_writer(*line, &reached);
    if (line->fd == -1) {
        const int error = errno;
        report_refusal(why, why_size, line->name.text, error);
        free(line);
        errno = error;
        return nullptr;
    }
    remember(line, reached);
    return line;
}

// A host that has ended shows as EPIPE: the line then looks once for the
// host that publishes it now.
IRQHOST_API int irqhost_line_raise(irqhost_line* line)
{
    if (line == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const no_cancellation shield;
    const int saved_errno = errno;
    int error = look_at_path(line);
    if (error == 0)
        error = set_event(line->fd);
    if (error == EPIPE) {
        error = reopen(line);
        if (error == 0)
            error = set_event(line->fd);
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    errno = saved_errno;
    return 0;
}

IRQHOST_API void irqhost_line_close(irqhost_line* line)
{
    if (line == nullptr)
        return;
    close(line->fd);
    free(line);
}

} // extern "C"
