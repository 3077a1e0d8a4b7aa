#pragma once

// Keeps the event code's descriptors off 0, 1 and 2. In a program started
// with one of them closed, open() hands out that number, and another
// thread's read of standard input or write to standard output (or error)
// would then reach a FIFO of an event. So each descriptor the event code
// makes goes through above_stdio() at once: one that landed on 0, 1 or 2 is
// moved above 2 (close-on-exec), and then the number it leaves, like every
// other free one of 0, 1 and 2, is given an inert placeholder for the rest
// of the process's life: an O_PATH descriptor of "/", close-on-exec, on which reads
// and writes fail with EBADF as on a closed one. From then on no later open
// of the process lands there. No state is shared, nothing is allocated, no
// lock is taken and no cancellation point is passed but open(), so that a
// signal handler may use it.

// Returns `fd` where it is -1 or above 2; otherwise its copy above 2, or -1
// with errno set (EMFILE) where there is no room for one, the low one closed
// either way. errno is left as it was on success.
int above_stdio(int fd);

// Fills each free one of 0, 1 and 2 with a placeholder. Called before the
// first open of a sequence whose first descriptor is not inert.
void plug_free_stdio();

// open() with O_CLOEXEC added, its descriptor kept above 2.
int open_above_stdio(const char* path, int flags);
