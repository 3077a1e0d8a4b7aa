#include "trigger.h"

#include "event_name.h"
#include "named_event.h"

#include <stdio.h>

int run_trigger(int argc, const char* const argv[])
{
    ignore_broken_pipes();

    if (argc < 2) {
        printf("Usage: bellTap <number of irq 0 ... 7>\n");
        return -1;
    }

    const event_name name = event_name_from_irq(irq_from_text(argv[1]));
    const event_handle event = open_event(name.text);
    if (event == no_event) {
        printf("Could not open %s - exiting\n", name.text);
        return -2;
    }

    set_event(event);
    return 0;
}
