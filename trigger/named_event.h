#pragma once

#include <stdint.h>

// The setting side of a host's named event: the command's, and the
// library's irqhost_raise. Each platform has its own source file; nothing of
// the platform shows through this header.

// An open event. The command never closes it: the end of the process
// releases it.
using event_handle = intptr_t;
inline constexpr event_handle no_event = -1;

// Keeps a reader that has gone away (of standard output or of the event)
// from ending the process by a signal; the write just fails.
void ignore_broken_pipes();

// Opens the existing event `name` with full access. Never creates one.
// Returns no_event when there is no such event or the rights are refused.
// What it opens lands above descriptor 2 and is close-on-exec. These three
// functions use no stdio and allocate nothing: a signal handler may call them.
event_handle open_event(const char* name);

// Puts the event into the signalled state. Returns 0 when it is set (or was
// already), else the system's error: on POSIX errno's value (EPIPE: its host
// has gone), on Windows GetLastError's. The command does not look. Never
// raises SIGPIPE, and leaves the signal state and errno as they were.
int set_event(event_handle event);

// Closes an open event, for a caller that goes on running.
void close_event(event_handle event);
