#pragma once

// Where a named event lives on POSIX systems: a FIFO at /dev/shm/NAME, or at
// /tmp/NAME where there is no /dev/shm. The command and every host find the
// event by this path alone. Both functions use no stdio and allocate
// nothing, so that a signal handler may call them.
struct event_path {
    char text[512];
};

// The folder of the events, "/dev/shm/" or "/tmp/", looked up on each call:
// a host takes it once, so that all its paths are in one folder.
const char* event_directory();

// The path of event `name` in `directory`; a name too long for the buffer
// is cut short, which names no event a host can publish.
event_path event_path_in(const char* directory, const char* name);

// The path of event `name` in the folder of the events.
event_path event_path_of(const char* name);

// The path through which /proc reaches the inode that descriptor `fd`
// holds ("/proc/self/fd/7"), whatever its own path names by now.
struct descriptor_path {
    char text[32];
};
descriptor_path path_of_descriptor(int fd);
