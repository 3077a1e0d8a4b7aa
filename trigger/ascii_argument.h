#pragma once

// The ASCII characters at the start of a UTF-16 argument, up to the first
// that is not ASCII, which ends the text: so a look-alike (a full-width
// digit, U+2212 MINUS SIGN, an ideographic space) ends the number as such a
// byte does on Linux, instead of becoming the ASCII character it resembles.
// Written over the argument's own storage, which it returns as a C string: a
// char takes less room than the wchar_t it comes from, so character i is
// written only after the code unit that held it has been read.
inline char* ascii_prefix_in_place(wchar_t* text)
{
    char* ascii = reinterpret_cast<char*>(text);
    unsigned i = 0;
    for (; text[i] != L'\0' && static_cast<unsigned>(text[i]) < 0x80; ++i)
        ascii[i] = static_cast<char>(text[i]);
    ascii[i] = '\0';
    return ascii;
}
