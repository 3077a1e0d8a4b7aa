#pragma once

// Publishing one line's FIFO on POSIX systems, and withdrawing it: the part
// of a host that meets the shared event directory, and whatever else other
// hosts and users put there.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

struct hosted_line {
    const char* directory; // of the events, as event_directory() gave it
    uint32_t irq;
    int fd; // the FIFO, open read-write
    dev_t device;
    ino_t inode;
    unsigned taken_in; // the wait that last reported it
};

// Publishes OSirq<irq> in `directory` as a FIFO with exactly `mode`, open
// read-write in `line`. Returns false with the reason reported, leaving
// nothing behind.
bool publish(const char* directory, uint32_t irq, unsigned mode, hosted_line* line, char* why, size_t why_size);

// Removes the line's FIFO from its path, only while it is still this one.
void withdraw(const hosted_line& line);

// Removes what hosts of this user that died while publishing one of
// `lines` (sorted) left under their private names: FIFOs that no process
// reads, made by a process that no longer exists.
void remove_stale_private_fifos(const char* directory, const uint32_t* lines, size_t count);
