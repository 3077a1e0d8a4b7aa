// Windows builds main's ANSI arguments from the command line (UTF-16) by
// best-fit mapping, which turns a full-width digit into an ASCII one, and so
// a mistyped line into another. wmain gets the text itself, passed on as
// UTF-8, where anything but ASCII digits is no line number.
#include "demo_host.h"

#include <algorithm>
#include <string>
#include <vector>
#include <windows.h>

namespace {

std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string converted(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr);
    converted.resize(converted.size() - 1);
    return converted;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::vector<std::string> arguments(static_cast<std::size_t>(argc));
    std::transform(argv, argv + argc, arguments.begin(), utf8);
    std::vector<char*> pointers(arguments.size() + 1, nullptr);
    std::transform(arguments.begin(), arguments.end(), pointers.begin(), [](std::string& a) { return a.data(); });
    return run_demo_host(argc, pointers.data());
}
