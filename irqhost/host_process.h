#pragma once

#include "irqhost.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// What a host process arranges around its host, one source file per
// platform. The stop signals are SIGINT, SIGTERM and SIGHUP on POSIX, and
// Ctrl+C, Ctrl+Break and the console closing on Windows.

// Opens /dev/null on standard input, output or error where the program was
// started with one closed, so that no descriptor of the host lands there
// and the interrupts printed go nowhere (NUL on Windows).
void open_standard_streams();

// Where the interrupts are printed: standard output, or a stream on NUL
// where a Windows program was started without one.
FILE* interrupt_output();

// After a write to interrupt_output() failed with `error`: true where that
// was for want of a handle behind standard output (Windows), and the
// interrupts go to NUL from now on, so that the write is made again there.
bool write_elsewhere_after(int error);

// Holds the stop signals back until stop_on_signals: one that comes while
// the host is being published then stops it as soon as it exists. Lets a
// failed write to standard output fail instead of ending the process.
void hold_stop_signals();

// Makes the stop signals stop `host`'s wait, so that it withdraws its lines,
// and lets through one that was held back.
void stop_on_signals(irqhost* host);

// Holds the stop signals back again and forgets the host: call it before
// closing the host, so that no handler reaches a host being freed.
void release_stop_signals();

// What wait_for_interrupts returns when standard output's reader has gone.
constexpr int output_gone = -3;

// Waits for the host's next interrupts, as irqhost_wait(host, timeout_ms,
// ...) does; where the system tells, it also watches standard output, and
// returns output_gone as soon as nobody reads it any more
// (`irqhost | head -1`).
int wait_for_interrupts(irqhost* host, uint32_t* set, size_t capacity, int timeout_ms);
