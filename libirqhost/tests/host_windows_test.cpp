// libirqhost on Windows: the same interface over kernel32 events, with the
// threads that wait on more lines than one wait takes.
#include "irqhost.h"
#include "named_event.h"
#include "windows_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>
#include <malloc.h>
#include <windows.h>
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

#include "wait_cases.h"

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
    const auto start = std::chrono::steady_clock::now();
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(published(lines[0]) && published(lines[2048]) && published(lines[4095]));
    irqhost_close(host);
    const held after_close;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "opening and closing 4096 lines";
    EXPECT_TRUE(after_close.same_as(before)) << "a handle or thread left after close";
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

// Every line set is reported once, up to the capacity, wherever it sits
// among 4096; none starves while others are set again and again.
TEST(Wait, ReportsEverySetLineOnceAndStarvesNoneAmongThousands)
{
    const std::vector<std::uint32_t> lines = many_test_lines(4096);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    for (const std::uint32_t line : lines)
        trigger(line);
    EXPECT_EQ(reported(host, lines.size(), 64), lines) << "not every set line was reported once";

    // B, wherever it sits, while its neighbours A and C are set again
    // before every wait, and once more by another thread in a loop.
    for (const std::size_t b : {std::size_t{0}, std::size_t{2047}, std::size_t{4095}}) {
        const std::uint32_t a = lines[(b + 1) % 4096], c = lines[(b + 4095) % 4096];
        for (const std::uint32_t line : {a, lines[b], c})
            trigger(line);
        bool b_seen = false;
        std::uint32_t set[1];
        for (int i = 0; i < 4 && !b_seen; ++i) {
            trigger(a);
            trigger(c);
            Sleep(20); // seen by their threads
            b_seen = irqhost_wait(host, 5000, set, 1) == 1 && set[0] == lines[b];
        }
        EXPECT_TRUE(b_seen) << "line " << b << " starved while its neighbours were set again";
        reported(host, 0, 64);
        std::atomic<bool> done{false};
        std::thread busy([&] {
            while (!done) {
                irqhost_raise(a);
                irqhost_raise(c);
            }
        });
        trigger(lines[b]);
        b_seen = false;
        for (int i = 0; i < 200 && !b_seen; ++i)
            b_seen = irqhost_wait(host, 5000, set, 1) == 1 && set[0] == lines[b];
        done = true;
        busy.join();
        EXPECT_TRUE(b_seen) << "line " << b << " starved while its neighbours were set in a loop";
        reported(host, 0, 64); // what the loop left set
    }
    irqhost_close(host);
}

// Lines set by another thread during a wait: with room for one, one comes
// and nothing is written past it, and the other stays set; with room for
// two, they come together. A wait that wakes on a line reports that line.
TEST(Wait, LinesSetDuringAWait)
{
    const std::vector<std::uint32_t> lines = many_test_lines(100);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    const std::uint32_t a = lines[80], b = lines[81];
    const HANDLE events[2] = {OpenEventW(EVENT_ALL_ACCESS, FALSE, widen(name_of(a).c_str()).text),
                              OpenEventW(EVENT_ALL_ACCESS, FALSE, widen(name_of(b).c_str()).text)};
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{2}, std::size_t{2}, std::size_t{2}, std::size_t{2}}) {
        std::thread setter([&] {
            Sleep(50);
            SetEvent(events[0]);
            SetEvent(events[1]);
        });
        std::uint32_t set[3] = {0, 0, 0xFEEDu};
        const int woken = irqhost_wait(host, 5000, set, capacity);
        setter.join();
        EXPECT_EQ(woken, static_cast<int>(capacity));
        EXPECT_EQ(set[capacity], capacity == 1 ? 0u : 0xFEEDu) << "written past the capacity";
        std::vector<std::uint32_t> all(set, set + std::max(woken, 0));
        const std::vector<std::uint32_t> rest = reported(host, 2 - all.size(), 2);
        all.insert(all.end(), rest.begin(), rest.end());
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all, std::vector<std::uint32_t>({a, b})) << "capacity " << capacity;
    }
    CloseHandle(events[0]);
    CloseHandle(events[1]);
    for (const std::uint32_t late : {lines[99], lines[0], lines[64]}) {
        std::thread setter([late] {
            Sleep(30);
            irqhost_raise(late);
        });
        std::uint32_t set[1];
        const int woken = irqhost_wait(host, 5000, set, 1);
        setter.join();
        EXPECT_EQ(woken, 1);
        EXPECT_EQ(set[0], late) << "the wait reported another line than the one set";
    }
    irqhost_close(host);
}

// A stop ends a wait within 100 ms, and a line set just before it is left
// set, not used up unreported.
TEST(Stop, EndsAWaitAtOnceAndLeavesALineSetBeforeItSet)
{
    const std::vector<std::uint32_t> lines = many_test_lines(200);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::thread stopper([host] {
        Sleep(100);
        irqhost_stop(host);
    });
    std::uint32_t set[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(irqhost_wait(host, 10000, set, 4), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    stopper.join();
    irqhost_close(host);

    host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    for (const std::size_t i : {std::size_t{5}, std::size_t{150}})
        trigger(lines[i]);
    Sleep(50); // their threads have taken them
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

// The host's event, waited on among the caller's own handles: set while a
// line is pending or after a stop, and only then.
TEST(Handle, IsSignalledWhileALineIsSetOrAfterAStop)
{
    const std::vector<std::uint32_t> lines = many_test_lines(100);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    const HANDLE ready = irqhost_handle(host);
    ASSERT_NE(ready, nullptr);
    EXPECT_EQ(irqhost_handle(nullptr), nullptr);
    EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_TIMEOUT);
    trigger(lines[90]);
    const HANDLE own = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE both[2] = {own, ready};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_OBJECT_0 + 1);
    std::uint32_t set[2];
    EXPECT_EQ(irqhost_wait(host, 0, set, 2), 1);
    EXPECT_EQ(set[0], lines[90]);
    EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_TIMEOUT) << "still signalled with nothing set";
    irqhost_stop(host);
    EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0);
    EXPECT_EQ(irqhost_wait(host, 0, set, 2), -1);
    EXPECT_EQ(WaitForSingleObject(ready, 0), WAIT_OBJECT_0) << "a wait took the stop away from the caller's loop";
    CloseHandle(own);
    irqhost_close(host);
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
