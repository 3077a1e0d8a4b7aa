#pragma once

// The demo host's whole program, from its arguments (UTF-8 text on every
// platform) to its exit status; main.cpp and main_win32.cpp call it.
int run_demo_host(int argc, char* argv[]);
