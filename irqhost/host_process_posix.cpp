#include "host_process.h"

#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

namespace {

irqhost* volatile stopped_host = nullptr;

void stop_host(int)
{
    irqhost_stop(stopped_host);
}

sigset_t stop_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

} // namespace

void open_standard_streams()
{
    // open() takes the lowest free number: the one just found closed.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1)
            return;
}

FILE* interrupt_output()
{
    return stdout;
}

bool write_elsewhere_after(int)
{
    return false; // a closed standard output was given /dev/null at the start
}

void hold_stop_signals()
{
    const sigset_t signals = stop_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

void stop_on_signals(irqhost* host)
{
    stopped_host = host;
    // No SA_RESTART: a write blocked on a full standard output must end on
    // a stop, not wait on.
    struct sigaction action {};
    action.sa_handler = stop_host;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A host started to outlive its terminal (nohup) keeps ignoring it.
    struct sigaction hang_up {};
    if (sigaction(SIGHUP, nullptr, &hang_up) == 0 && hang_up.sa_handler != SIG_IGN)
        sigaction(SIGHUP, &action, nullptr);
    const sigset_t signals = stop_signals();
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

void release_stop_signals()
{
    const sigset_t signals = stop_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    stopped_host = nullptr;
}

int wait_for_interrupts(irqhost* host, uint32_t* set, size_t capacity, int timeout_ms)
{
    // A pipe whose reader has gone polls as an error, a hung-up terminal or
    // socket as a hang-up; other outputs never do. A stop, or lines set,
    // still come first.
    pollfd watched[2] = {};
    watched[0].fd = irqhost_descriptor(host);
    watched[0].events = POLLIN;
    watched[1].fd = STDOUT_FILENO; // no events asked: only an error or a hang-up
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (bool gone = false;;) {
        const int taken = irqhost_wait(host, 0, set, capacity);
        if (taken != 0)
            return taken;
        if (gone)
            return output_gone;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (timeout_ms >= 0 && left.count() <= 0)
            return 0;
        const int ready = poll(watched, sizeof watched / sizeof *watched, timeout_ms < 0 ? -1 : static_cast<int>(left.count()));
        if (ready == -1 && errno != EINTR)
            return -2;
        gone = (watched[1].revents & (POLLERR | POLLHUP)) != 0; // none where nothing was ready
    }
}
