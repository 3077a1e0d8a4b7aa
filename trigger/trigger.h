#pragma once

// The whole command: raises the interrupt line named by argv[1].
// Returns 0 when the event was set, -1 (usage) without an argument,
// -2 when the event could not be opened.
int run_trigger(int argc, const char* const argv[]);
