#include "stdio_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The whole state in one word, changed only by compare-and-swap, so that no
// lock is taken: which of 0, 1 and 2 hold a placeholder (bits 0 to 2),
// whether the last guard is closing them (bit 3), how many guards live
// (bits 4 to 31), and the process they live in (bits 32 to 63). In a child
// made by fork() while guards lived in other threads, those guards never
// end: its first guard starts the count anew and keeps the placeholders.
uint64_t state = 0;

constexpr uint64_t placed_bits = 7;
constexpr uint64_t closing = 8;
constexpr uint64_t one_guard = 16;
constexpr uint64_t guard_bits = 0xFFFFFFF0u;

uint64_t load()
{
    return __atomic_load_n(&state, __ATOMIC_ACQUIRE);
}

bool replace(uint64_t* expected, uint64_t desired)
{
    return __atomic_compare_exchange_n(&state, expected, desired, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

uint64_t this_process()
{
    return static_cast<uint64_t>(static_cast<uint32_t>(getpid())) << 32;
}

// The state as this process counts it: another process's count is none.
uint64_t as_own(uint64_t s, uint64_t process)
{
    return (s & ~uint64_t{0xFFFFFFFFu}) == process ? s : process | (s & placed_bits);
}

// A slot of poll's that asks for no event: a descriptor that is not open
// answers that it is invalid.
pollfd slot(int fd)
{
    pollfd asked{};
    asked.fd = fd;
    return asked;
}

// Fills each free one of 0, 1 and 2 with a placeholder. open() takes the
// lowest free number, so placeholders go on until one lands above 2. A
// placeholder already there polls as invalid too; it then costs one open.
void fill_free_slots()
{
    pollfd slots[3] = {slot(0), slot(1), slot(2)};
    poll(slots, 3, 0); // where it fails, no slot says it is free
    if (((slots[0].revents | slots[1].revents | slots[2].revents) & POLLNVAL) == 0)
        return;
    for (;;) {
        const int fd = open("/", O_PATH | O_CLOEXEC);
        if (fd == -1)
            return;
        if (fd > 2) {
            close(fd);
            return;
        }
        __atomic_fetch_or(&state, uint64_t{1} << fd, __ATOMIC_ACQ_REL);
    }
}

// Is `fd` still a placeholder? The caller may have put a descriptor of its
// own there meanwhile (dup2), which must stay.
bool is_placeholder(int fd, const struct stat& root)
{
    struct stat held {};
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_PATH) != 0 && fstat(fd, &held) == 0 && held.st_dev == root.st_dev &&
           held.st_ino == root.st_ino;
}

void close_placeholders(uint64_t placed)
{
    struct stat root {};
    if (stat("/", &root) != 0)
        return;
    for (int fd = 0; fd <= 2; ++fd)
        if ((placed & (uint64_t{1} << fd)) != 0 && is_placeholder(fd, root))
            close(fd);
}

} // namespace

stdio_guard::stdio_guard()
{
    const int saved_errno = errno;
    const uint64_t process = this_process();
    uint64_t s = load();
    for (;;) {
        const uint64_t own = as_own(s, process);
        if ((own & closing) != 0) {
            sched_yield(); // the last guard is closing the placeholders; a moment
            s = load();
            continue;
        }
        if (replace(&s, own + one_guard))
            break;
    }
    fill_free_slots();
    errno = saved_errno;
}

stdio_guard::~stdio_guard()
{
    const int saved_errno = errno;
    const uint64_t process = this_process();
    uint64_t s = load();
    for (;;) {
        uint64_t own = as_own(s, process);
        if ((own & guard_bits) == 0)
            own += one_guard; // made before a fork() in this thread: counted in its parent
        const uint64_t placed = own & placed_bits;
        if ((own & guard_bits) != one_guard || placed == 0) {
            if (replace(&s, own - one_guard))
                break;
            continue;
        }
        // The last guard closes the placeholders, with every signal held
        // back: a guard in a handler of this thread would wait for it forever.
        sigset_t all;
        sigset_t before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        if (replace(&s, (own - one_guard) | closing)) {
            close_placeholders(placed);
            __atomic_fetch_and(&state, ~(placed_bits | closing), __ATOMIC_ACQ_REL);
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
            break;
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    errno = saved_errno;
}
