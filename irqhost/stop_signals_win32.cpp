#include "stop_signals.h"

#include <windows.h>

namespace {

irqhost* stopped_host = nullptr;

BOOL WINAPI stop_host(DWORD)
{
    irqhost_stop(stopped_host);
    return TRUE;
}

} // namespace

void stop_on_signals(irqhost* host)
{
    stopped_host = host;
    SetConsoleCtrlHandler(stop_host, TRUE);
}
