#pragma once

// What both platforms' hosts share: the checks of irqhost_open's arguments
// and the reason written into the caller's buffer.

#include <stddef.h>
#include <stdint.h>

// Writes a one-line reason into `why` (when not null), cut to `size` bytes.
void report(char* why, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The most lines one host takes: far more than any process has descriptors
// for, and few enough that no array of them overflows its size.
inline constexpr size_t max_lines = SIZE_MAX / 64;

// Checks the lines to publish: present, at most max_lines and each given
// once. Returns them sorted, in an array of `count` that the caller frees;
// NULL with the reason reported otherwise. Hosts publish in this order, so
// that of hosts that publish overlapping lines at once one always wins.
uint32_t* sorted_lines(const uint32_t* lines, size_t count, char* why, size_t why_size);
