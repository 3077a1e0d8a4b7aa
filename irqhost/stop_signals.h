#pragma once

#include "irqhost.h"

// Makes the signals that end a host (SIGINT, SIGTERM and SIGHUP on POSIX,
// Ctrl+C and the console closing on Windows) stop `host`'s wait instead,
// so that it withdraws its lines; and lets a failed write to standard output
// fail instead of ending the process.
void stop_on_signals(irqhost* host);
