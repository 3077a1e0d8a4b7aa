// Named events on Windows, the command's side: kernel32's own.
#include "named_event.h"

#include "wide_name.h"

#include <windows.h>

// A write to a pipe whose reader has gone simply fails on Windows.
void ignore_broken_pipes() {}

event_handle open_event(const char* name)
{
    const HANDLE event = OpenEventW(EVENT_ALL_ACCESS, FALSE, widen(name).text);
    return event != nullptr ? reinterpret_cast<event_handle>(event) : no_event;
}

int set_event(event_handle event)
{
    return SetEvent(reinterpret_cast<HANDLE>(event)) ? 0 : static_cast<int>(GetLastError());
}

void close_event(event_handle event)
{
    CloseHandle(reinterpret_cast<HANDLE>(event));
}
