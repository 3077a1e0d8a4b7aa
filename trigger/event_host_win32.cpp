// Named events on Windows, the host's side: automatic-reset kernel events in
// the session namespace.
#include "event_host.h"
#include "wide_name.h"

#include <vector>
#include <windows.h>

namespace {

HANDLE stop_event = nullptr;

BOOL WINAPI on_console_control(DWORD)
{
    SetEvent(stop_event);
    return TRUE;
}

} // namespace

// One slot of WaitForMultipleObjects is the stop event's.
const int max_waited_events = MAXIMUM_WAIT_OBJECTS - 1;

const char* publish_event(const char* name, unsigned, event_handle* event)
{
    const HANDLE created = CreateEventW(nullptr, FALSE, FALSE, widen(name).data());
    if (created == nullptr)
        return "the system refused to create the event";
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(created);
        return "a running host already publishes it";
    }
    *event = reinterpret_cast<event_handle>(created);
    return nullptr;
}

void withdraw_event(const char*, event_handle event)
{
    CloseHandle(reinterpret_cast<HANDLE>(event));
}

void stop_waiting_on_interrupt()
{
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

int wait_for_events(const event_handle* events, int count, bool* set)
{
    if (count > max_waited_events)
        return -1;
    std::vector<HANDLE> handles{stop_event};
    for (int i = 0; i < count; ++i)
        handles.push_back(reinterpret_cast<HANDLE>(events[i]));

    const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    if (woken <= WAIT_OBJECT_0 || woken >= WAIT_OBJECT_0 + handles.size())
        return -1;
    // The wait reset the event that woke it; others set meanwhile are taken
    // (and reset) without waiting.
    int taken = 0;
    for (int i = 0; i < count; ++i) {
        set[i] = i + 1 == static_cast<int>(woken - WAIT_OBJECT_0) ||
                 WaitForSingleObject(handles[static_cast<std::size_t>(i) + 1], 0) == WAIT_OBJECT_0;
        taken += set[i];
    }
    return taken;
}
