// Raising a line from code on Windows: the command's steps (OpenEventW with
// full access, SetEvent, CloseHandle) each time. A prepared line holds no
// handle: a held handle keeps the event, and its name, alive after its host
// has ended, so that the next host would be refused; it keeps the wide name.
#include "irqhost.h"

#include "event_name.h"
#include "host_common.h"
#include "wide_name.h"

#include <stdlib.h>
#include <windows.h>

struct irqhost_line {
    wide_name name;
};

namespace {

// 0, or -1 with GetLastError saying why.
int raise_named(const wchar_t* name)
{
    const HANDLE event = OpenEventW(EVENT_ALL_ACCESS, FALSE, name);
    if (event == nullptr)
        return -1;
    SetEvent(event);
    CloseHandle(event);
    return 0;
}

} // namespace

extern "C" {

IRQHOST_API int irqhost_raise(uint32_t line)
{
    return raise_named(widen(event_name_from_irq(line).text).text);
}

IRQHOST_API irqhost_line* irqhost_line_open(uint32_t irq, char* why, size_t why_size)
{
    report(why, why_size, "%s", "");
    auto* line = static_cast<irqhost_line*>(calloc(1, sizeof(irqhost_line)));
    if (line == nullptr) {
        report(why, why_size, "out of memory");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const event_name name = event_name_from_irq(irq);
    line->name = widen(name.text);
    const HANDLE event = OpenEventW(EVENT_ALL_ACCESS, FALSE, line->name.text);
    if (event == nullptr) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            report(why, why_size, "%s: no host publishes it", name.text);
        else if (error == ERROR_ACCESS_DENIED)
            report(why, why_size, "%s: this user may not open it with full access", name.text);
        else
            report(why, why_size, "%s: cannot open it (error %lu)", name.text, error);
        free(line);
        SetLastError(error);
        return nullptr;
    }
    CloseHandle(event);
    return line;
}

IRQHOST_API int irqhost_line_raise(irqhost_line* line)
{
    if (line == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return raise_named(line->name.text);
}

IRQHOST_API void irqhost_line_close(irqhost_line* line)
{
    free(line);
}

} // extern "C"
