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

TEST(Wait, ReportsResetsAndKeepsWhatDoesNotFit)
{
    const std::uint32_t lines[] = {test_line(3), test_line(4), test_line(5)};
    irqhost* host = irqhost_open(lines, 3, 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::uint32_t set[3] = {};
    EXPECT_EQ(irqhost_wait(host, 0, set, 3), 0);
    EXPECT_EQ(irqhost_wait(host, 20, set, 3), 0);

    trigger(lines[0]);
    trigger(lines[2]);
    trigger(lines[2]);
    ASSERT_EQ(irqhost_wait(host, 5000, set, 3), 2);
    EXPECT_EQ(std::min(set[0], set[1]), lines[0]);
    EXPECT_EQ(std::max(set[0], set[1]), lines[2]);
    EXPECT_EQ(irqhost_wait(host, 0, set, 3), 0);

    for (const std::uint32_t line : lines)
        trigger(line);
    std::vector<std::uint32_t> seen;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(irqhost_wait(host, 5000, set, 1), 1);
        seen.push_back(set[0]);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, std::vector<std::uint32_t>(lines, lines + 3));
    EXPECT_EQ(irqhost_wait(host, 0, set, 0), -2);
    irqhost_close(host);
}

TEST(Stop, EndsAWaitFromAnotherThreadAndEveryLaterOne)
{
    const std::uint32_t a = test_line(6);
    irqhost* host = irqhost_open(&a, 1, 0, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::thread stopper([host] {
        Sleep(50);
        irqhost_stop(host);
    });
    std::uint32_t set[1];
    EXPECT_EQ(irqhost_wait(host, 10000, set, 1), -1);
    stopper.join();
    trigger(a);
    EXPECT_EQ(irqhost_wait(host, 0, set, 1), -1);
    irqhost_close(host);
}

} // namespace
