#include "host_common.h"

#include "event_name.h"

#include <algorithm>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

// printf-style, as C callers know it; a parameter pack would need templates
// in a C header. NOLINTNEXTLINE(cert-dcl50-cpp)
void report(char* why, size_t size, const char* format, ...)
{
    if (why == nullptr || size == 0)
        return;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(why, size, format, arguments); // NOLINT(clang-analyzer-valist.Uninitialized): set by va_start
    va_end(arguments);
}

uint32_t* sorted_lines(const uint32_t* lines, size_t count, char* why, size_t why_size)
{
    if (lines == nullptr || count == 0) {
        report(why, why_size, "no lines to publish");
        return nullptr;
    }
    if (count > max_lines) {
        report(why, why_size, "more lines than a host can publish");
        return nullptr;
    }
    auto* sorted = static_cast<uint32_t*>(calloc(count, sizeof *lines));
    if (sorted == nullptr) {
        report(why, why_size, "out of memory");
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i)
        sorted[i] = lines[i];
    std::sort(sorted, sorted + count);
    // Sorted, a line given twice stands next to itself.
    for (size_t i = 1; i < count; ++i) {
        if (sorted[i] == sorted[i - 1]) {
            report(why, why_size, "%s: given twice", event_name_from_irq(sorted[i]).text);
            free(sorted);
            return nullptr;
        }
    }
    return sorted;
}
