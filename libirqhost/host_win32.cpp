// The host's side on Windows: one automatic-reset kernel event per line in
// the session namespace, and a manual-reset stop event that a stop sets.
#include "irqhost.h"

#include "event_name.h"
#include "host_common.h"
#include "wide_name.h"

#include <stdlib.h>
#include <windows.h>

struct irqhost {
    LONG stopped;
    size_t count;
    uint32_t* lines;
    HANDLE* handles; // [0] is the stop event, [1 .. count] the lines' events
    size_t next;     // where the next look starts, so that a busy line starves none
};

namespace {

bool is_stopped(irqhost* host)
{
    return InterlockedCompareExchange(&host->stopped, 0, 0) != 0;
}

bool publish(uint32_t irq, HANDLE* event, char* why, size_t why_size)
{
    const event_name name = event_name_from_irq(irq);
    *event = CreateEventW(nullptr, FALSE, FALSE, widen(name.text).text);
    if (*event == nullptr) {
        report(why, why_size, "%s: the system refused to create the event (error %lu)", name.text, GetLastError());
        return false;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(*event);
        *event = nullptr;
        report(why, why_size, "%s: a running host already publishes it", name.text);
        return false;
    }
    return true;
}

// Takes the lines that are set, without waiting, starting where the last
// look ended, at `looks` lines at most; a look at an automatic-reset event
// that is set resets it. The next look starts after the last line taken.
size_t take_set_lines(irqhost* host, uint32_t* lines, size_t capacity, size_t looks)
{
    const size_t start = host->next;
    size_t taken = 0;
    for (size_t looked = 0; looked < looks && taken < capacity; ++looked) {
        const size_t i = (start + looked) % host->count;
        if (WaitForSingleObject(host->handles[i + 1], 0) == WAIT_OBJECT_0) {
            lines[taken++] = host->lines[i];
            host->next = (i + 1) % host->count;
        }
    }
    return taken;
}

} // namespace

extern "C" {

irqhost* irqhost_open(const uint32_t* lines, size_t count, unsigned, char* why, size_t why_size)
{
    report(why, why_size, "%s", "");
    if (!lines_are_valid(lines, count, why, why_size))
        return nullptr;
    if (count > IRQHOST_WINDOWS_MAX_LINES) {
        report(why, why_size, "at most %d lines on Windows, not %lu", IRQHOST_WINDOWS_MAX_LINES,
               static_cast<unsigned long>(count));
        return nullptr;
    }
    auto* host = static_cast<irqhost*>(calloc(1, sizeof(irqhost)));
    auto* copy = static_cast<uint32_t*>(calloc(count, sizeof(uint32_t)));
    auto* handles = static_cast<HANDLE*>(calloc(count + 1, sizeof(HANDLE)));
    if (host == nullptr || copy == nullptr || handles == nullptr) {
        report(why, why_size, "out of memory");
        free(host);
        free(copy);
        free(handles);
        return nullptr;
    }
    host->lines = copy;
    host->handles = handles;
    handles[0] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handles[0] == nullptr) {
        report(why, why_size, "cannot make the host's stop event (error %lu)", GetLastError());
        irqhost_close(host);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        copy[i] = lines[i];
        if (!publish(lines[i], &handles[i + 1], why, why_size)) {
            irqhost_close(host);
            return nullptr;
        }
        host->count = i + 1;
    }
    return host;
}

int irqhost_wait(irqhost* host, int timeout_ms, uint32_t* lines, size_t capacity)
{
    if (host == nullptr || lines == nullptr || capacity == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -2;
    }
    if (is_stopped(host))
        return -1;
    if (const size_t taken = take_set_lines(host, lines, capacity, host->count))
        return static_cast<int>(taken);

    const DWORD timeout = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(host->count + 1), host->handles, FALSE, timeout);
    if (woken == WAIT_TIMEOUT)
        return 0;
    if (woken == WAIT_FAILED)
        return -2;
    if (woken == WAIT_OBJECT_0 || is_stopped(host))
        return -1;
    // The wait reset the line that woke it; others set meanwhile come along.
    const size_t first = woken - WAIT_OBJECT_0 - 1;
    lines[0] = host->lines[first];
    host->next = (first + 1) % host->count;
    return static_cast<int>(1 + take_set_lines(host, lines + 1, capacity - 1, host->count - 1));
}

void irqhost_stop(irqhost* host)
{
    if (host == nullptr)
        return;
    InterlockedExchange(&host->stopped, 1);
    SetEvent(host->handles[0]);
}

void irqhost_close(irqhost* host)
{
    if (host == nullptr)
        return;
    for (size_t i = 0; i <= host->count; ++i)
        if (host->handles[i] != nullptr)
            CloseHandle(host->handles[i]);
    free(host->handles);
    free(host->lines);
    free(host);
}

} // extern "C"
