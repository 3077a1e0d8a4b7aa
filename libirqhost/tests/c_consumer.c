/* libirqhost from C alone, linked by the C compiler with nothing but the
 * library (shared or static): publishes two lines, has bellTap raise one and
 * irqhost_raise the other, waits for the first with irqhost_wait and for the
 * second in a loop of its own (MsgWaitForMultipleObjects on irqhost_handle
 * on Windows, poll on irqhost_descriptor elsewhere), raises a line nobody
 * publishes, stops and closes. Usage: c_consumer BELLTAP. Exits 0 when all
 * of that held. */
#include <irqhost.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <poll.h>
#include <unistd.h>
#endif

/* The caller's own loop: 1 when the host says a line is set or it stopped. */
static int ready_within(irqhost *host, int milliseconds)
{
#ifdef _WIN32
    HANDLE ready = irqhost_handle(host);
    return MsgWaitForMultipleObjects(1, &ready, FALSE, (DWORD)milliseconds, QS_ALLINPUT) == WAIT_OBJECT_0;
#else
    struct pollfd ready;
    ready.fd = irqhost_descriptor(host);
    ready.events = POLLIN;
    ready.revents = 0;
    return poll(&ready, 1, milliseconds) == 1;
#endif
}

static irqhost *host;
static uint32_t lines[2];

/* Every way out closes the host and removes what a library under test may
 * have failed to withdraw, so that no line is left. */
static void end_host(void)
{
    char path[64];
    int i;
    irqhost_close(host);
    for (i = 0; i < 2; ++i) {
        snprintf(path, sizeof path, "/dev/shm/OSirq%lu", (unsigned long)lines[i]);
        remove(path);
    }
}

static int fail(const char *what)
{
    end_host();
    fprintf(stderr, "c_consumer: %s\n", what);
    return 1;
}

int main(int argc, char *argv[])
{
    const uint32_t first = 1900000000u + (uint32_t)(getpid() % 1000000) * 100u;
    uint32_t set[2] = {0, 0};
    char why[128];
    char command[1024];

    lines[0] = first;
    lines[1] = first + 1;
    if (argc < 2)
        return fail("usage: c_consumer BELLTAP");
    host = irqhost_open(lines, 2, 0600, why, sizeof why);
    if (host == NULL)
        return fail(why);
    if (irqhost_wait(host, 0, set, 2) != 0)
        return fail("a line was set before any trigger");
    snprintf(command, sizeof command, "%s %lu", argv[1], (unsigned long)lines[1]);
    if (system(command) != 0)
        return fail("bellTap failed");
    if (irqhost_wait(host, 5000, set, 2) != 1 || set[0] != lines[1])
        return fail("the wait did not report the line raised");
    if (ready_within(host, 0))
        return fail("the host's wait is ready with nothing set");
    if (irqhost_raise(lines[0]) != 0)
        return fail("irqhost_raise did not set a published line");
    if (!ready_within(host, 5000))
        return fail("the host's wait did not become ready in the caller's loop");
    if (irqhost_wait(host, 0, set, 2) != 1 || set[0] != lines[0])
        return fail("the wait did not report the line irqhost_raise set");
    if (irqhost_raise(first + 2) != -1)
        return fail("irqhost_raise set a line nobody publishes");
    irqhost_stop(host);
    if (!ready_within(host, 0))
        return fail("the host's wait is not ready after a stop");
    if (irqhost_wait(host, 5000, set, 2) != -1)
        return fail("the wait went on after a stop");
    end_host();
    puts("1 passed, 0 failed");
    return 0;
}
