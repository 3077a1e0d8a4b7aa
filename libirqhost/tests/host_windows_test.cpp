// libirqhost on Windows: the same interface over kernel32 events, with the
// threads that wait on more lines than one wait takes.
#include "irqhost.h"
#include "named_event.h"
#include "windows_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include <malloc.h>
#include <windows.h>
#include <winternl.h>
#include <tlhelp32.h>

namespace {

using namespace test_support;

std::uint32_t test_line(unsigned offset)
{
    return 1'600'000'000u + static_cast<std::uint32_t>(GetCurrentProcessId() % 100'000) * 10'000u + offset;
}

// Lines of a range of their own, as many as a case needs (up to 5000).
std::vector<std::uint32_t> many_test_lines(std::size_t count, unsigned from = 5000)
{
    std::vector<std::uint32_t> lines;
    for (std::size_t i = 0; i < count; ++i)
        lines.push_back(test_line(from + static_cast<unsigned>(i)));
    return lines;
}

void trigger(std::uint32_t irq)
{
    ASSERT_EQ(irqhost_raise(irq), 0) << name_of(irq);
}

std::string why_refused(std::vector<std::uint32_t> lines)
{
    char why[256] = "untouched";
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0600, why, sizeof why);
    irqhost_close(host);
    return host == nullptr ? why : *why == '\0' ? "published" : std::string("published, with a reason: ") + why;
}

DWORD handle_count()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

int thread_count()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

// What a process holds: handles and threads.
struct held {
    DWORD handles = handle_count();
    int threads = thread_count();
    bool same_as(const held& before) const { return handles == before.handles && threads == before.threads; }
};

// Is the host's handle signalled within `ms`?
bool readable(irqhost* host, int ms)
{
    return WaitForSingleObject(irqhost_handle(host), static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

// Memory the raisers share: here all of them are this process's threads.
void* shared_memory(std::size_t bytes)
{
    return calloc(1, bytes);
}

struct model_record;
void raise_in_another_process(model_record* record, const std::vector<std::uint32_t>& lines, unsigned seed);

#include "wait_cases.h"

// bellTap.exe raises a few lines, each stamped around its process.
void raise_in_another_process(model_record* record, const std::vector<std::uint32_t>& lines, unsigned seed)
{
    std::minstd_rand random(seed);
    const std::wstring belltap = beside_this_program(L"..\\..\\trigger\\bellTap.exe");
    for (int i = 0; i < 4; ++i) {
        const std::size_t k = random() % lines.size();
        const std::uint64_t stamp = ++record->clock;
        ++record->lines[k].started;
        // bellTap reads a line from 2^31 on in its negative form.
        std::wstring command_line = L"bellTap " + std::to_wstring(static_cast<std::int32_t>(lines[k]));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        DWORD code = 1;
        if (CreateProcessW(belltap.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &process)) {
            if (WaitForSingleObject(process.hProcess, 20'000) == WAIT_OBJECT_0)
                GetExitCodeProcess(process.hProcess, &code);
            else
                TerminateProcess(process.hProcess, 1);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        if (code != 0) {
            ++record->failed_raises;
            continue;
        }
        for (std::uint64_t seen = record->lines[k].done_started; seen < stamp;)
            record->lines[k].done_started.compare_exchange_weak(seen, stamp);
    }
}

// Bytes in use on the C runtime's heap, where the library allocates.
std::size_t heap_in_use()
{
    _HEAPINFO entry{};
    std::size_t used = 0;
    while (_heapwalk(&entry) == _HEAPOK)
        used += entry._useflag == _USEDENTRY ? entry._size : 0;
    return used;
}

// Opening, refusing and closing, many times over, leave the heap as it was.
TEST(Open, LeaksNothing)
{
    const std::vector<std::uint32_t> lines = many_test_lines(70); // two waiting threads
    std::vector<std::uint32_t> twice = lines;
    twice.push_back(lines[7]);
    const auto cycle = [&] {
        irqhost_close(irqhost_open(lines.data(), lines.size(), 0, nullptr, 0));
        irqhost_close(irqhost_open(twice.data(), twice.size(), 0, nullptr, 0));
    };
    cycle();
    const std::size_t before = heap_in_use();
    for (int i = 0; i < 100; ++i)
        cycle();
    EXPECT_LT(heap_in_use(), before + 512) << "the heap grew by " << heap_in_use() - before;
}

// Any number of lines, all of them or none: a squatter, a live host or a
// line given twice anywhere among 4096 leaves none of them published and
// nothing held.
TEST(Open, PublishesThousandsOfLinesAllOrNothing)
{
    std::vector<std::uint32_t> lines = many_test_lines(4096);
    const held before;
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(published(lines[0]) && published(lines[2048]) && published(lines[4095]));
    // Every line set, reported once by polls of 64.
    for (const std::uint32_t line : lines)
        trigger(line);
    std::vector<std::uint32_t> seen;
    std::uint32_t set[64];
    for (int n; seen.size() <= lines.size() && (n = irqhost_wait(host, 0, set, 64)) > 0;)
        seen.insert(seen.end(), set, set + n);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, lines) << "not every set line was reported once";
    irqhost_close(host);
    EXPECT_TRUE(held().same_as(before)) << "a handle or thread left after close";
    EXPECT_FALSE(published(lines[0]) || published(lines[4095]));

    // An event of another host, or the name taken by an object of another
    // kind (the system refuses the event: ERROR_INVALID_HANDLE).
    for (const bool as_mutex : {false, true}) {
        for (const std::size_t at : {std::size_t{0}, std::size_t{63}, std::size_t{4095}}) {
            const std::string name = name_of(lines[at]);
            const HANDLE squatter = as_mutex ? CreateMutexW(nullptr, FALSE, widen(name.c_str()).text)
                                             : CreateEventW(nullptr, FALSE, FALSE, widen(name.c_str()).text);
            const held before_refusal;
            EXPECT_EQ(why_refused(lines), as_mutex ? name + ": the system refused to create the event (error 6)"
                                                   : name + ": a running host already publishes it")
                << at;
            EXPECT_TRUE(held().same_as(before_refusal)) << "refused at " << at << ": a handle or thread left";
            CloseHandle(squatter);
            EXPECT_FALSE(published(lines[at == 0 ? 1 : 0]) || published(lines[4000])) << "not all or nothing";
        }
    }
    lines[4000] = lines[17];
    EXPECT_EQ(why_refused(lines), name_of(lines[17]) + ": given twice");
    EXPECT_EQ(why_refused({}), "no lines to publish");
    lines.resize(IRQHOST_WINDOWS_MAX_LINES + 1);
    EXPECT_EQ(why_refused(lines), "published") << "64 lines: no longer a limit";
}

// A line set just before a stop is left set, not used up unreported,
// whether its thread has taken it in or not.
TEST(Stop, LeavesALineSetBeforeItSet)
{
    const std::vector<std::uint32_t> lines = many_test_lines(200);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::uint32_t set[4];
    for (const std::size_t i : {std::size_t{5}, std::size_t{150}})
        trigger(lines[i]);
    EXPECT_TRUE(readable(host, 10'000)); // a thread has taken one in
    irqhost_stop(host);
    EXPECT_EQ(irqhost_wait(host, 0, set, 4), -1);
    for (const std::size_t i : {std::size_t{5}, std::size_t{150}}) {
        const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, widen(name_of(lines[i]).c_str()).text);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "a set before the stop was used up unreported";
        CloseHandle(event);
    }
    irqhost_close(host);
}

// The handle of this process's that holds the event of `line`, found by the
// name the system gives it; nullptr where none does.
HANDLE handle_of_event(std::uint32_t line)
{
    using query_object = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<query_object>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    const std::wstring suffix = L"\\" + std::wstring(widen(name_of(line).c_str()).text);
    for (std::uintptr_t value = 4; query != nullptr && value < 0x10000; value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        alignas(8) unsigned char buffer[1024];
        ULONG length = 0;
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags) || query(handle, 1, buffer, sizeof buffer, &length) != 0)
            continue;
        const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
        const std::wstring text(name->Buffer, name->Length / sizeof(wchar_t));
        if (text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
            return handle;
    }
    return nullptr;
}

// A waiting thread whose wait fails (here: a handle of the host's closed
// behind its back) makes every wait fail, and the host's handle stays
// signalled for a caller's own loop, however often it polls.
TEST(Wait, AFailedThreadFailsEveryWaitAndKeepsTheHandleSet)
{
    const std::vector<std::uint32_t> lines = many_test_lines(2);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    const HANDLE event = handle_of_event(lines[0]);
    ASSERT_NE(event, nullptr) << "the host's event was not found";
    ASSERT_TRUE(CloseHandle(event));
    trigger(lines[1]); // its thread takes it in, and fails at its next wait
    std::uint32_t set[2];
    int result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i)
        result = irqhost_wait(host, 100, set, 2);
    EXPECT_EQ(result, -2) << "the failure was never reported";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(irqhost_wait(host, 0, set, 2), -2);
        EXPECT_TRUE(readable(host, 0)) << "the handle was reset after a failure";
    }
    irqhost_close(host);
}

// A prepared line holds no handle: its host restarts while it is held (the
// name is free when the host closes), a raise with no host fails and names
// why, and a raise then reaches the new host; nothing is left held.
TEST(Line, RaisesReachAHostThatRestartedWhileItWasHeld)
{
    const std::vector<std::uint32_t> lines = many_test_lines(1, 9000);
    const held before;
    char why[128] = "untouched";
    EXPECT_EQ(irqhost_line_open(lines[0], why, sizeof why), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(std::string(why), name_of(lines[0]) + ": no host publishes it");
    irqhost* host = irqhost_open(lines.data(), 1, 0, nullptr, 0);
    irqhost_line* line = irqhost_line_open(lines[0], why, sizeof why);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(why, "");
    std::uint32_t set[1];
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(irqhost_line_raise(line), 0);
        EXPECT_EQ(irqhost_wait(host, 10'000, set, 1), 1) << "round " << round;
        irqhost_close(host);
        EXPECT_EQ(irqhost_line_raise(line), -1) << "raised with no host";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        host = irqhost_open(lines.data(), 1, 0, nullptr, 0);
        ASSERT_NE(host, nullptr) << "the held line kept the next host from publishing";
    }
    irqhost_line_close(line);
    irqhost_line_close(nullptr);
    EXPECT_EQ(irqhost_line_raise(nullptr), -1);
    EXPECT_EQ(irqhost_handle(nullptr), nullptr);
    irqhost_close(host);
    EXPECT_TRUE(held().same_as(before)) << "a handle left";
}

// Closing while other threads raise the lines as fast as they can, and a
// stop from another thread meanwhile, leaves no event, handle or thread.
TEST(Close, WhileLinesAreRaisedLeavesNothing)
{
    const std::vector<std::uint32_t> lines = many_test_lines(300);
    const held before;
    for (int round = 0; round < 5; ++round) {
        irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
        ASSERT_NE(host, nullptr);
        std::atomic<bool> done{false};
        std::vector<std::thread> setters;
        for (int k = 0; k < 3; ++k)
            setters.emplace_back([&, k] {
                for (std::size_t i = static_cast<std::size_t>(k); !done; i += 7)
                    irqhost_raise(lines[i % lines.size()]);
            });
        std::thread stopper([host, round] {
            if (round % 2 == 1)
                irqhost_stop(host);
        });
        std::uint32_t set[64];
        for (int i = 0; i < 20; ++i)
            irqhost_wait(host, 1, set, 64);
        stopper.join();
        irqhost_close(host);
        done = true;
        for (std::thread& setter : setters)
            setter.join();
        EXPECT_FALSE(published(lines[0]) || published(lines[299]));
    }
    EXPECT_TRUE(held().same_as(before)) << "a handle or thread left";

    const held before_raises;
    for (int i = 0; i < 2000; ++i)
        irqhost_raise(lines[i % lines.size()]);
    EXPECT_TRUE(held().same_as(before_raises)) << "irqhost_raise left a handle";
}

} // namespace
