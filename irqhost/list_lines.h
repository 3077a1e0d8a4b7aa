#pragma once

#include <cstdio>

// Prints the lines published on this machine that this user can see, one a
// line, sorted by line, fields separated by a tab: the event's name, the
// line, its owner (user name, else uid), its mode (octal; "-" on Windows),
// "live", "stale" (a FIFO no one reads) or "unknown" (this user may not
// look), and the PIDs of the processes that hold it for reading ("-" where
// the system does not tell). Raises nothing, takes no byte and leaves no
// reader. Returns the exit status: 0, also when there is none; 1 when the
// system cannot list them.
int list_lines(std::FILE* out);
