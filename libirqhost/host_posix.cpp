// The host's side on POSIX systems. Each line is a FIFO that the host creates
// and holds open read-write (publish_posix.cpp): reading makes it a live
// event, and holding the write side too keeps a setter's close from showing
// as a hang-up. Setting writes a byte; the host resets a line by reading
// until nothing is left. One epoll set holds every line and an eventfd that
// a stop makes readable.
#include "irqhost.h"

#include "event_name.h"
#include "event_path.h"
#include "host_common.h"
#include "monotonic_clock.h"
#include "above_stdio.h"
#include "no_cancellation.h"
#include "publish_posix.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Marks the stop descriptor's events in the epoll set.
constexpr uint64_t stop_mark = UINT64_MAX;

// The most events taken from the kernel at once.
constexpr int batch_size = 64;

// Reads everything pending: a read that does not fill the buffer took the rest.
void drain(int fd)
{
    char bytes[PIPE_BUF];
    while (read(fd, bytes, sizeof bytes) == sizeof bytes) {
    }
}

} // namespace

struct irqhost {
    pid_t owner; // a child made by fork() shares the descriptors, not the host
    int epoll;
    int stop;
    int stopped;
    unsigned wait; // the wait under way (only one thread waits)
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

enum class taken { all, again, stopped };

// Takes every line ready in `ready` (resetting each), but one this wait has
// taken already: it was set again since, and stays set for the next wait.
// The kernel lists a line that is ready again after those that were ready
// before, so that `again` means every line ready then has been taken.
taken take(irqhost* host, const epoll_event* ready, int count, uint32_t* lines, size_t* taken_count)
{
    const no_cancellation shield; // a line drained is reported
    taken outcome = taken::all;
    for (int i = 0; i < count; ++i) {
        if (ready[i].data.u64 == stop_mark)
            return taken::stopped;
        hosted_line& line = host->lines[ready[i].data.u64];
        if (line.taken_in == host->wait) {
            outcome = taken::again;
            continue;
        }
        line.taken_in = host->wait;
        drain(line.fd);
        lines[(*taken_count)++] = line.irq;
    }
    return outcome;
}

// Publishes `lines`, sorted and each once; NULL with the reason reported.
irqhost* open_sorted(const uint32_t* lines, size_t count, unsigned mode, char* why, size_t why_size)
{
    auto* host = static_cast<irqhost*>(calloc(1, sizeof(irqhost)));
    if (host == nullptr) {
        report(why, why_size, "out of memory");
        return nullptr;
    }
    host->owner = getpid();
    // An epoll descriptor is inert on 0 to 2 (reads and writes fail), and
    // once it is above 2 so is everything after it.
    host->epoll = above_stdio(epoll_create1(EPOLL_CLOEXEC));
    // Written once, by the first stop: its count never fills, and the write
    // never blocks. Made only after the epoll set, whose failure is then
    // the one reported.
    host->stop = host->epoll == -1 ? -1 : above_stdio(eventfd(0, EFD_CLOEXEC));
    hosted_line* hosted = host->lines = static_cast<hosted_line*>(calloc(count, sizeof(hosted_line)));
    if (hosted == nullptr) {
        report(why, why_size, "out of memory");
        irqhost_close(host);
        return nullptr;
    }
    if (host->epoll == -1 || host->stop == -1 || !watch(host->epoll, host->stop, stop_mark)) {
        report(why, why_size, "cannot make the host's wait: %s", strerror(errno));
        irqhost_close(host);
        return nullptr;
    }
    const char* directory = event_directory();
    remove_stale_private_fifos(directory, lines, count);
    for (size_t i = 0; i < count; ++i) {
        if (!publish(directory, lines[i], mode, &hosted[i], why, why_size)) {
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

} // namespace

extern "C" {

irqhost* irqhost_open(const uint32_t* lines, size_t count, unsigned mode, char* why, size_t why_size)
{
    report(why, why_size, "%s", "");
    if (mode > 07777) {
        report(why, why_size, "0%o is not a file mode (0 to 07777)", mode);
        return nullptr;
    }
    const no_cancellation shield;
    uint32_t* sorted = sorted_lines(lines, count, why, why_size);
    if (sorted == nullptr)
        return nullptr;
    irqhost* host = open_sorted(sorted, count, mode, why, why_size);
    free(sorted);
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
    const long long deadline = timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
    int wait_ms = timeout_ms < 0 ? -1 : timeout_ms;
    size_t count_taken = 0;
    ++host->wait;
    epoll_event ready[batch_size];
    // Checked before every wait, so that a stop is honoured however busy the
    // lines are.
    while (!is_stopped(host)) {
        const int room = capacity - count_taken < batch_size ? static_cast<int>(capacity - count_taken) : batch_size;
        const int count = epoll_wait(host->epoll, ready, room, wait_ms);
        if (is_stopped(host))
            break;
        if (count < 0) {
            if (errno != EINTR)
                return -2;
            if (deadline >= 0) {
                const long long left = deadline - monotonic_ms();
                wait_ms = left > 0 ? static_cast<int>(left) : 0;
            }
            continue;
        }
        const taken outcome = take(host, ready, count, lines, &count_taken);
        if (outcome == taken::stopped)
            break;
        // One batch full: more may be ready, taken without waiting.
        if (count < room || count_taken == capacity || outcome == taken::again)
            return static_cast<int>(count_taken);
        wait_ms = 0;
    }
    return -1;
}

void irqhost_stop(irqhost* host)
{
    if (host == nullptr)
        return;
    const int saved_errno = errno; // a signal handler must leave errno as it was
    // The first stop makes the stop descriptor readable, for good. It is
    // shared with the process that opened the host: another process's stop
    // is its own alone.
    const uint64_t one = 1;
    if (__atomic_exchange_n(&host->stopped, 1, __ATOMIC_SEQ_CST) == 0 && is_owner(host)) {
        // It fails only where the descriptor is gone (a misuse): nothing to do then.
        const ssize_t written = write(host->stop, &one, sizeof one);
        static_cast<void>(written);
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
    const no_cancellation shield;
    // In another process (a child made by fork()) the lines are still its
    // opener's: only the descriptors are let go.
    const bool own_lines = is_owner(host);
    for (size_t i = 0; i < host->count; ++i) {
        if (own_lines)
            withdraw(host->lines[i]);
        close(host->lines[i].fd);
    }
    if (host->epoll != -1)
        close(host->epoll);
    if (host->stop != -1)
        close(host->stop);
    free(host->lines);
    free(host);
}

} // extern "C"
