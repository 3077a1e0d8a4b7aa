// Fuzzes the argument-text conversion and the name composed from it against
// an independent oracle: the digits are kept as text, clamped by comparing
// them as strings with the bounds, and only then turned into a number.
#include "event_name.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::uint32_t oracle_irq(const std::string& text)
{
    std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos)
        return 0;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+')
        ++i;
    const std::size_t end = text.find_first_not_of("0123456789", i);
    std::string digits = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
    digits.erase(0, digits.find_first_not_of('0'));

    const std::string bound = negative ? "2147483648" : "2147483647";
    if (digits.size() > bound.size() || (digits.size() == bound.size() && digits > bound))
        digits = bound;
    const long long magnitude = digits.empty() ? 0 : std::stoll(digits);
    return static_cast<std::uint32_t>(negative ? -magnitude : magnitude);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The command sees a zero-terminated argument: it ends at the first NUL.
    const std::string argument(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    const std::uint32_t irq = irq_from_text(argument.c_str());
    const std::uint32_t expected = oracle_irq(argument);
    if (irq != expected) {
        std::fprintf(stderr, "irq_from_text gave %u, the oracle %u\n", irq, expected);
        std::abort();
    }

    const event_name name = event_name_from_irq(irq);
    char reference[32];
    std::snprintf(reference, sizeof reference, "OSirq%u", irq);
    if (std::strcmp(name.text, reference) != 0) {
        std::fprintf(stderr, "event_name_from_irq gave %s, not %s\n", name.text, reference);
        std::abort();
    }
    for (std::size_t i = std::strlen(reference); i < sizeof name.text; ++i)
        if (name.text[i] != '\0')
            std::abort();
    return 0;
}
