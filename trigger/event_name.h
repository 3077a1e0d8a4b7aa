#pragma once

#include <stdint.h>

// The name under which a host publishes one interrupt line: "OSirq" and the
// line number in unsigned decimal, zero-terminated. 256 characters is far more
// than the longest name ("OSirq4294967295", 15) needs, so it is never cut short.
struct event_name {
    char text[256];
};

// Converts argument text to an interrupt line number by the rules of atoi in
// the C locale: leading white space, one optional sign, decimal digits up to
// the first other character. No digits give 0. Values beyond the signed 32-bit
// range saturate at its bounds. The signed result is returned with its bits
// unchanged, so "-1" gives 4294967295. Any text is accepted; never fails.
uint32_t irq_from_text(const char* text);

// Composes the event name of an interrupt line, e.g. 3 gives "OSirq3".
event_name event_name_from_irq(uint32_t irq);

// The line whose event `name` is, exactly as event_name_from_irq composes
// it: "OSirq3" is line 3; "OSirq03", "OSirq+3", "osirq3" or "OSirq4294967296"
// are no event's name. Returns false for those.
bool irq_of_event_name(const char* name, uint32_t* irq);

// Writes `value` in unsigned decimal into `text` from `length` on (room for
// ten digits, no terminator) and returns the new length. No stdio, so that
// a signal handler may call it.
unsigned append_decimal(char* text, unsigned length, uint32_t value);
