// The lines published here on Windows: the events of the session's
// namespace named as events are, listed by the native object directory
// calls (which kernel32 does not wrap), with the owner each event's
// security names. An event exists only while a process holds it: every one
// listed is live, and the system does not tell by whom.
#include "list_lines.h"

#include "event_name.h"
#include "wide_name.h"

#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

struct directory_entry {
    UNICODE_STRING name;
    UNICODE_STRING type;
};

using open_directory_call = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
using query_directory_call = LONG(NTAPI*)(HANDLE, void*, ULONG, BOOLEAN, BOOLEAN, ULONG*, ULONG*);

constexpr ACCESS_MASK directory_query = 0x0001;
constexpr LONG no_more_entries = static_cast<LONG>(0x8000001A);

template <typename Call>
Call native(const char* name)
{
    return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

std::wstring text_of(const UNICODE_STRING& s)
{
    return std::wstring(s.Buffer, s.Length / sizeof(wchar_t));
}

std::string utf8(const std::wstring& text)
{
    std::string converted(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                                       nullptr, 0, nullptr, nullptr)),
                          '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(),
                        static_cast<int>(converted.size()), nullptr, nullptr);
    return converted;
}

// The line that `name` is the event of, exactly as a raise composes it.
bool line_of(const std::wstring& name, std::uint32_t* line)
{
    std::string ascii;
    for (const wchar_t c : name) {
        if (c == 0 || c >= 0x80)
            return false;
        ascii += static_cast<char>(c);
    }
    return irq_of_event_name(ascii.c_str(), line);
}

std::string owner_of(std::uint32_t line)
{
    const HANDLE event = OpenEventW(READ_CONTROL, FALSE, widen(event_name_from_irq(line).text).text);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    std::string name = "-";
    if (event != nullptr && GetSecurityInfo(event, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                            nullptr, nullptr, &security) == ERROR_SUCCESS) {
        wchar_t user[256], domain[256];
        DWORD user_size = 256, domain_size = 256;
        SID_NAME_USE use{};
        if (LookupAccountSidW(nullptr, owner, user, &user_size, domain, &domain_size, &use))
            name = utf8(user);
        LocalFree(security);
    }
    if (event != nullptr)
        CloseHandle(event);
    return name;
}

} // namespace

int list_lines(std::FILE* out)
{
    const auto open_directory = native<open_directory_call>("NtOpenDirectoryObject");
    const auto query_directory = native<query_directory_call>("NtQueryDirectoryObject");
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::wstring path = session == 0 ? L"\\BaseNamedObjects"
                                     : L"\\Sessions\\" + std::to_wstring(session) + L"\\BaseNamedObjects";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(wchar_t)),
                        static_cast<USHORT>(path.size() * sizeof(wchar_t)), path.data()};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    HANDLE directory = nullptr;
    const LONG opened = open_directory != nullptr ? open_directory(&directory, directory_query, &attributes) : -1;
    if (opened != 0 || query_directory == nullptr) {
        std::fprintf(stderr, "irqhost: this system does not list the named objects of its session "
                             "(NtOpenDirectoryObject: status 0x%08lx)\n", static_cast<unsigned long>(opened));
        return 1;
    }
    std::vector<std::uint32_t> lines;
    alignas(8) unsigned char buffer[4096];
    ULONG context = 0, length = 0;
    LONG status = 0;
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        status = query_directory(directory, buffer, sizeof buffer, TRUE, restart, &context, &length);
        if (status != 0)
            break;
        const auto* entry = reinterpret_cast<const directory_entry*>(buffer);
        std::uint32_t line = 0;
        if (text_of(entry->type) == L"Event" && line_of(text_of(entry->name), &line))
            lines.push_back(line);
    }
    CloseHandle(directory);
    if (status != no_more_entries) {
        std::fprintf(stderr, "irqhost: this system does not list the named objects of its session "
                             "(NtQueryDirectoryObject: status 0x%08lx)\n", static_cast<unsigned long>(status));
        return 1;
    }
    std::sort(lines.begin(), lines.end());
    for (const std::uint32_t line : lines)
        std::fprintf(out, "%s\t%lu\t%s\t-\tlive\t-\n", event_name_from_irq(line).text, static_cast<unsigned long>(line),
                     owner_of(line).c_str());
    return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
}
