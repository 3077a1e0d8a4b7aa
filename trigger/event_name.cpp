#include "event_name.h"

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
constexpr uint64_t magnitude_limit = uint64_t{1} << 31;

} // namespace

uint32_t irq_from_text(const char* text)
{
    const char* p = text;
    while (is_space(*p))
        ++p;

    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;

    // Stops growing at the limit, so digit strings of any length are read in
    // one pass without overflow.
    uint64_t magnitude = 0;
    for (; is_digit(*p); ++p) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
        if (magnitude > magnitude_limit)
            magnitude = magnitude_limit;
    }

    // Two's complement: the bits of the signed result, read as unsigned.
    if (magnitude >= magnitude_limit)
        return negative ? static_cast<uint32_t>(magnitude_limit) : static_cast<uint32_t>(magnitude_limit - 1);
    const auto value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

unsigned append_decimal(char* text, unsigned length, uint32_t value)
{
    char digits[10];
    unsigned count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count != 0)
        text[length++] = digits[--count];
    return length;
}

event_name event_name_from_irq(uint32_t irq)
{
    event_name name{};
    unsigned length = 0;
    for (const char* c = "OSirq"; *c != '\0'; ++c)
        name.text[length++] = *c;
    append_decimal(name.text, length, irq);
    return name;
}

bool irq_of_event_name(const char* name, uint32_t* irq)
{
    const char* digits = name;
    for (const char* c = "OSirq"; *c != '\0'; ++c, ++digits)
        if (*digits != *c)
            return false;
    uint64_t value = 0;
    const char* p = digits;
    for (; is_digit(*p) && p - digits < 10; ++p)
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    // One digit at least, no leading zero, nothing after, and in range.
    if (p == digits || *p != '\0' || (*digits == '0' && p != digits + 1) || value > UINT32_MAX)
        return false;
    *irq = static_cast<uint32_t>(value);
    return true;
}
