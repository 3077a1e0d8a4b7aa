#pragma once

#include "named_event.h"

// The host's side of named events: publish an event, wait for it to be set,
// withdraw it. Each platform has its own source file beside the command's side.

// Publishes event `name` as an automatic-reset event, unsignalled. On POSIX
// `mode` is the file mode the event gets exactly (the umask does not apply);
// on Windows the event gets the default security and `mode` is not used.
// Returns null and stores the event in *event, or returns why it could not.
const char* publish_event(const char* name, unsigned mode, event_handle* event);

// Removes an event this process published.
void withdraw_event(const char* name, event_handle event);

// From now on SIGINT and SIGTERM (Ctrl+C on Windows) end wait_for_events
// instead of the process.
void stop_waiting_on_interrupt();

// The most events one wait_for_events call takes.
extern const int max_waited_events;

// Waits until at least one of `events` is set, resets every event that is,
// marks them in set[0 .. count) and returns how many; returns -1 when an
// interrupt asked the host to stop.
int wait_for_events(const event_handle* events, int count, bool* set);
