#include "host_process.h"

#include <windows.h>

namespace {

// The console runs its handler on a thread of its own: the host it reaches
// is taken and let go under this lock.
CRITICAL_SECTION guard;
irqhost* stopped_host = nullptr;
bool stop_pending = false;

BOOL WINAPI stop_host(DWORD)
{
    EnterCriticalSection(&guard);
    if (stopped_host != nullptr)
        irqhost_stop(stopped_host);
    else
        stop_pending = true;
    LeaveCriticalSection(&guard);
    return TRUE;
}

} // namespace

// Windows gives every process its standard handles, or none it can reuse.
void open_standard_streams() {}

void hold_stop_signals()
{
    InitializeCriticalSection(&guard);
    SetConsoleCtrlHandler(stop_host, TRUE);
}

void stop_on_signals(irqhost* host)
{
    EnterCriticalSection(&guard);
    stopped_host = host;
    if (stop_pending)
        irqhost_stop(host);
    LeaveCriticalSection(&guard);
}

void release_stop_signals()
{
    EnterCriticalSection(&guard);
    stopped_host = nullptr;
    LeaveCriticalSection(&guard);
}
