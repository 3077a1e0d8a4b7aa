// libirqhost on Windows: the same interface over kernel32 events.
#include "event_name.h"
#include "irqhost.h"
#include "named_event.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>
#include <windows.h>

namespace {

std::uint32_t test_line(unsigned offset)
{
    return 1'600'000'000u + static_cast<std::uint32_t>(GetCurrentProcessId() % 1'000'000) * 100u + offset;
}

std::string name_of(std::uint32_t irq)
{
    return event_name_from_irq(irq).text;
}

void trigger(std::uint32_t irq)
{
    const event_handle event = open_event(name_of(irq).c_str());
    ASSERT_NE(event, no_event) << name_of(irq);
    set_event(event);
    CloseHandle(reinterpret_cast<HANDLE>(event));
}

std::string why_refused(std::vector<std::uint32_t> lines)
{
    char why[256] = "untouched";
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0600, why, sizeof why);
    irqhost_close(host);
    return host == nullptr ? why : "published";
}

TEST(Open, RefusesLiveTwiceGivenAndTooManyLinesAndWithdrawsOnClose)
{
    const std::uint32_t a = test_line(1), b = test_line(2);
    irqhost* host = irqhost_open(&a, 1, 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(why_refused({b, a}), name_of(a) + ": a running host already publishes it");
    EXPECT_EQ(open_event(name_of(b).c_str()), no_event) << "not all or nothing";
    irqhost_close(host);
    EXPECT_EQ(open_event(name_of(a).c_str()), no_event);

    EXPECT_EQ(why_refused({a, b, a}), name_of(a) + ": given twice");
    std::vector<std::uint32_t> many;
    for (unsigned i = 0; i <= IRQHOST_WINDOWS_MAX_LINES; ++i)
        many.push_back(test_line(10 + i));
    EXPECT_EQ(why_refused(many), "at most 63 lines on Windows, not 64");
    many.pop_back();
    EXPECT_EQ(why_refused(many), "published");
}

// Every line set is reported, up to the capacity, and none starves: not
// when all are set at once, not while others are set again before every
// wait, not when the wait wakes on a line set after it began.
TEST(Wait, ReportsEverySetLineAndStarvesNone)
{
    std::vector<std::uint32_t> lines;
    for (unsigned i = 0; i < IRQHOST_WINDOWS_MAX_LINES; ++i)
        lines.push_back(test_line(20 + i));
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::uint32_t set[64];
    for (const std::uint32_t line : lines)
        trigger(line);
    EXPECT_EQ(irqhost_wait(host, 5000, set, 64), IRQHOST_WINDOWS_MAX_LINES);

    const std::uint32_t a = lines[0], b = lines[1], c = lines[2];
    for (const std::uint32_t line : {a, b, c})
        trigger(line);
    bool b_seen = false;
    for (int i = 0; i < 6 && !b_seen; ++i) {
        trigger(a);
        trigger(c);
        ASSERT_EQ(irqhost_wait(host, 5000, set, 1), 1);
        b_seen = set[0] == b;
    }
    EXPECT_TRUE(b_seen) << "a line starved while others were set again";
    while (irqhost_wait(host, 0, set, 64) > 0) {
    }

    for (const std::uint32_t late : {c, a, b}) {
        std::thread setter([late] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            trigger(late);
        });
        const int woken = irqhost_wait(host, 5000, set, 1);
        setter.join();
        EXPECT_EQ(woken, 1);
        EXPECT_EQ(set[0], late) << "the wait reported another line than the one set";
    }
    irqhost_close(host);
}

#include "wait_cases.h"

} // namespace
