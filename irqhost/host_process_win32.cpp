#include "host_process.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace {

// The console runs its handler on a thread of its own: the host it reaches
// is taken and let go under this lock.
CRITICAL_SECTION guard;

struct guarded {
    guarded() { EnterCriticalSection(&guard); }
    ~guarded() { LeaveCriticalSection(&guard); }
    guarded(const guarded&) = delete;
    guarded& operator=(const guarded&) = delete;
};

irqhost* stopped_host = nullptr;
bool stop_pending = false;
FILE* interrupts = nullptr;

// How long a stop waits for the main loop to end the process.
constexpr DWORD stop_grace_ms = 500;

void stop_or_keep_the_stop()
{
    const guarded lock;
    if (stopped_host != nullptr)
        irqhost_stop(stopped_host);
    else
        stop_pending = true;
}

BOOL WINAPI stop_host(DWORD)
{
    stop_or_keep_the_stop();
    // The main loop now withdraws the lines and ends the process. A write
    // blocked on an output that nobody reads would keep it from that, and no
    // call ends such a write; so after a grace the process ends here, and
    // the system withdraws the events with their handles (ExitProcess would
    // flush standard output first, and block on it too).
    Sleep(stop_grace_ms);
    TerminateProcess(GetCurrentProcess(), 0);
    return TRUE;
}

} // namespace

void open_standard_streams()
{
    // The C runtime gives standard output no descriptor where the program
    // was started without a handle, or with one of no known type, and cannot
    // reopen it then; the interrupts go to a stream of their own on NUL.
    if (_fileno(stdout) != STDOUT_FILENO)
        interrupts = fopen("NUL", "w");
}

FILE* interrupt_output()
{
    return interrupts != nullptr ? interrupts : stdout;
}

bool write_elsewhere_after(int error)
{
    // Wine hands a program started with its output closed a handle to
    // nothing, of the type a file has; only a write tells it from a file
    // (a redirected one is such a handle too), by failing for want of a
    // handle. NUL takes the interrupts from then on, as /dev/null does on
    // POSIX.
    if (error != EBADF || interrupts != nullptr)
        return false;
    interrupts = fopen("NUL", "w");
    return interrupts != nullptr;
}

void hold_stop_signals()
{
    InitializeCriticalSection(&guard);
    SetConsoleCtrlHandler(stop_host, TRUE);
}

void stop_on_signals(irqhost* host)
{
    const guarded lock;
    stopped_host = host;
    if (stop_pending)
        irqhost_stop(host);
}

void release_stop_signals()
{
    const guarded lock;
    stopped_host = nullptr;
}

// No call tells when a pipe's reader has gone: the next write fails.
int wait_for_interrupts(irqhost* host, uint32_t* set, size_t capacity, int timeout_ms)
{
    return irqhost_wait(host, timeout_ms, set, capacity);
}
