// Windows builds main's ANSI arguments from the command line (UTF-16) by
// best-fit mapping, which turns a full-width digit into an ASCII one, and so
// a mistyped line into another. wmain gets the text itself, passed on as
// UTF-8, where anything but ASCII digits is no line number.
#include "demo_host.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>
#include <windows.h>

namespace {

std::string utf8(const wchar_t* text)
{
    const int length = static_cast<int>(wcslen(text));
    std::string converted(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr,
                                                                       nullptr)),
                          '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, converted.data(), static_cast<int>(converted.size()), nullptr,
                        nullptr);
    return converted;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::vector<std::string> arguments(static_cast<std::size_t>(argc));
    std::transform(argv, argv + argc, arguments.begin(), utf8);
    std::vector<char*> pointers;
    std::transform(arguments.begin(), arguments.end(), std::back_inserter(pointers),
                   [](std::string& argument) { return argument.data(); });
    pointers.push_back(nullptr);
    return run_demo_host(argc, pointers.data());
}
