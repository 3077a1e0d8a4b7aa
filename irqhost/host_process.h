#pragma once

#include "irqhost.h"

// What a host process arranges around its host, one source file per
// platform. The stop signals are SIGINT, SIGTERM and SIGHUP on POSIX, and
// Ctrl+C and the console closing on Windows.

// Opens /dev/null on standard input, output or error where the program was
// started with one closed, so that no descriptor of the host lands there.
void open_standard_streams();

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
