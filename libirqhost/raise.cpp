// irqhost_raise: the command's steps as a call, from the same source: the
// event name, then the open with full access and the set of that event.
#include "irqhost.h"

#include "event_name.h"
#include "named_event.h"
#include "no_cancellation.h"

#include <errno.h>

// Safe in a signal handler: nothing here or below uses stdio, allocates or
// takes a lock, and errno is left as it was unless the raise fails.
extern "C" IRQHOST_API int irqhost_raise(uint32_t line)
{
    const no_cancellation shield;
    const int saved_errno = errno;
    const event_handle event = open_event(event_name_from_irq(line).text);
    if (event == no_event)
        return -1;
    set_event(event);
    close_event(event);
    errno = saved_errno;
    return 0;
}
