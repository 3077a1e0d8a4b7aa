#pragma once

// Windows names are UTF-16. Event names are ASCII, so each character becomes
// one code unit; the rest of the buffer stays zero.
struct wide_name {
    wchar_t text[256];
};

inline wide_name widen(const char* name)
{
    wide_name wide{};
    for (unsigned i = 0; name[i] != '\0' && i + 1 < sizeof wide.text / sizeof wide.text[0]; ++i)
        wide.text[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    return wide;
}
