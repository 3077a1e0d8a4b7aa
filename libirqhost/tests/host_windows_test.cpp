// The host's side of Windows events: publishing, waiting, withdrawing.
#include "event_host.h"
#include "event_name.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace {

std::string test_name(unsigned offset)
{
    const auto irq = 1'600'000'000u + static_cast<std::uint32_t>(GetCurrentProcessId() % 1'000'000) * 100u + offset;
    return event_name_from_irq(irq).data();
}

TEST(Publish, RefusesALiveHostsEventAndFreesItOnWithdraw)
{
    const std::string name = test_name(1);
    event_handle first = no_event;
    ASSERT_EQ(publish_event(name.c_str(), 0600, &first), nullptr);
    event_handle second = no_event;
    EXPECT_STREQ(publish_event(name.c_str(), 0600, &second), "a running host already publishes it");
    withdraw_event(name.c_str(), first);
    EXPECT_EQ(open_event(name.c_str()), no_event);
}

TEST(Wait, ReportsAndResetsEverySetEvent)
{
    stop_waiting_on_interrupt();
    const std::string names[] = {test_name(10), test_name(11), test_name(12)};
    event_handle events[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(publish_event(names[i].c_str(), 0600, &events[i]), nullptr);

    for (const int i : {0, 2, 2}) {
        const event_handle setter = open_event(names[i].c_str());
        ASSERT_NE(setter, no_event);
        set_event(setter);
        CloseHandle(reinterpret_cast<HANDLE>(setter));
    }
    bool set[3] = {};
    EXPECT_EQ(wait_for_events(events, 3, set), 2);
    EXPECT_TRUE(set[0]);
    EXPECT_FALSE(set[1]);
    EXPECT_TRUE(set[2]);
    // Automatic reset: nothing is left set once the host has woken.
    for (const event_handle event : events)
        EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(event), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    for (int i = 0; i < 3; ++i)
        withdraw_event(names[i].c_str(), events[i]);
}

} // namespace
