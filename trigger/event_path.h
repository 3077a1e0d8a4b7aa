#pragma once

// Where a named event lives on POSIX systems: a FIFO at /dev/shm/NAME, or at
// /tmp/NAME where there is no /dev/shm. The command and every host find the
// event by this path alone.
struct event_path {
    char text[512];
};

// The path of event `name`; a name too long for the buffer is cut short,
// which names no event a host can publish.
event_path event_path_of(const char* name);
