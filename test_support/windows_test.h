#pragma once

// What the Windows test programs share: the names of events, whether a line
// is published, and where the programs under test are.

#include "event_name.h"
#include "wide_name.h"

#include <cstdint>
#include <string>
#include <windows.h>

namespace test_support {

inline std::string name_of(std::uint32_t irq)
{
    return event_name_from_irq(irq).text;
}

inline bool published(std::uint32_t irq)
{
    const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, widen(name_of(irq).c_str()).text);
    if (event != nullptr)
        CloseHandle(event);
    return event != nullptr;
}

// A program beside this test program's own folder: L"..\\bellTap.exe".
inline std::wstring beside_this_program(const wchar_t* relative)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + relative;
}

} // namespace test_support
