#pragma once

// irqhost's command line, read into what the host does.

#include <cstdint>
#include <vector>

struct host_options {
    unsigned mode = 0600;
    long long count = 0;       // interrupts to report before ending; 0: no limit
    long long timeout_ms = -1; // how long to serve at most; -1: no limit
    bool timestamp = false;    // each report prefixed with the time it was taken
    bool list = false;         // list the lines published here instead
    std::vector<std::uint32_t> lines;
};

// What a status of parse_options means: serve (or list) as `options` say.
constexpr int run_as_told = -1;

// Reads the command line into `options`. Returns run_as_told, or the status
// to exit with: 0 after printing the usage or version asked for, 2 after
// printing why the command line is bad and the usage on standard error.
int parse_options(int argc, char* argv[], host_options* options);
