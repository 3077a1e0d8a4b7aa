#include "event_name.h"

#include <limits>

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Magnitude of the most negative 32-bit value; anything above it saturates.
constexpr std::uint64_t magnitude_limit = std::uint64_t{1} << 31;

} // namespace

std::uint32_t irq_from_text(const char* text)
{
    const char* p = text;
    while (is_space(*p))
        ++p;

    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;

    // Stops growing just past the limit, so digit strings of any length are
    // read in one pass without overflow.
    std::uint64_t magnitude = 0;
    for (; is_digit(*p); ++p) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
        if (magnitude > magnitude_limit)
            magnitude = magnitude_limit + 1;
    }

    std::int32_t value;
    if (negative)
        value = magnitude >= magnitude_limit
                    ? std::numeric_limits<std::int32_t>::min()
                    : -static_cast<std::int32_t>(magnitude);
    else
        value = magnitude >= magnitude_limit
                    ? std::numeric_limits<std::int32_t>::max()
                    : static_cast<std::int32_t>(magnitude);
    return static_cast<std::uint32_t>(value);
}

event_name event_name_from_irq(std::uint32_t irq)
{
    event_name name{};
    std::size_t length = 0;
    for (const char* c = "OSirq"; *c != '\0'; ++c)
        name[length++] = *c;

    char digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + irq % 10);
        irq /= 10;
    } while (irq != 0);
    while (count != 0)
        name[length++] = digits[--count];
    return name;
}
