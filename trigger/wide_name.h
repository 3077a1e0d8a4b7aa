#pragma once

#include <array>

// Windows names are UTF-16. Event names are ASCII, so each character becomes
// one code unit; the rest of the buffer stays zero.
using wide_name = std::array<wchar_t, 256>;

inline wide_name widen(const char* name)
{
    wide_name wide{};
    for (std::size_t i = 0; name[i] != '\0' && i + 1 < wide.size(); ++i)
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    return wide;
}
