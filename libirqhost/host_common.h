#pragma once

// What both platforms' hosts share: the checks of irqhost_open's arguments
// and the reason written into the caller's buffer.

#include <stddef.h>
#include <stdint.h>

// Writes a one-line reason into `why` (when not null), cut to `size` bytes.
void report(char* why, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Checks the lines to publish: present and each given once. Returns false
// with the reason reported otherwise.
bool lines_are_valid(const uint32_t* lines, size_t count, char* why, size_t why_size);
