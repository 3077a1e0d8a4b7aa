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

#include "wait_cases.h"

} // namespace
