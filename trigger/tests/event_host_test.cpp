// The host's side of the POSIX event format: publishing, waiting, withdrawing.
#include "event_host.h"
#include "event_name.h"
#include "event_path.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string test_name(unsigned offset)
{
    const auto irq = 1'200'000'000u + static_cast<std::uint32_t>(getpid() % 1'000'000) * 100u + offset;
    return event_name_from_irq(irq).data();
}

std::string path_of(const std::string& name)
{
    return event_path_of(name.c_str()).data();
}

TEST(Publish, GivesTheExactModeWhateverTheUmask)
{
    const std::string name = test_name(1);
    const mode_t old_mask = umask(077);
    event_handle event = no_event;
    ASSERT_EQ(publish_event(name.c_str(), 0666, &event), nullptr);
    umask(old_mask);
    struct stat st {};
    ASSERT_EQ(lstat(path_of(name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    withdraw_event(name.c_str(), event);
    EXPECT_NE(lstat(path_of(name).c_str(), &st), 0);
}

TEST(Publish, RefusesALiveHostsEvent)
{
    const std::string name = test_name(2);
    event_handle first = no_event;
    ASSERT_EQ(publish_event(name.c_str(), 0600, &first), nullptr);
    event_handle second = no_event;
    EXPECT_STREQ(publish_event(name.c_str(), 0600, &second), "a running host already publishes it");
    withdraw_event(name.c_str(), first);
}

TEST(Publish, ReclaimsAStaleFifoAndRefusesAnythingElse)
{
    const std::string name = test_name(3);
    const std::string path = path_of(name);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    event_handle event = no_event;
    ASSERT_EQ(publish_event(name.c_str(), 0600, &event), nullptr);
    withdraw_event(name.c_str(), event);

    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(file, 0);
    close(file);
    EXPECT_STREQ(publish_event(name.c_str(), 0600, &event), "the path holds something that is not an event");
    unlink(path.c_str());

    ASSERT_EQ(symlink("/dev/null", path.c_str()), 0);
    EXPECT_STREQ(publish_event(name.c_str(), 0600, &event), "the path holds something that is not an event");
    unlink(path.c_str());
}

TEST(Publish, RefusesAnotherUsersFifo)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a FIFO that belongs to another user";
    const std::string name = test_name(4);
    const std::string path = path_of(name);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    event_handle event = no_event;
    EXPECT_STREQ(publish_event(name.c_str(), 0600, &event), "the event belongs to another user");
    unlink(path.c_str());
}

TEST(Wait, ReportsAndResetsEverySetEvent)
{
    const std::string names[] = {test_name(10), test_name(11), test_name(12)};
    event_handle events[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(publish_event(names[i].c_str(), 0600, &events[i]), nullptr);

    for (const int i : {0, 2, 2}) {
        const event_handle setter = open_event(names[i].c_str());
        ASSERT_NE(setter, no_event);
        set_event(setter);
        close(static_cast<int>(setter));
    }
    bool set[3] = {};
    EXPECT_EQ(wait_for_events(events, 3, set), 2);
    EXPECT_TRUE(set[0]);
    EXPECT_FALSE(set[1]);
    EXPECT_TRUE(set[2]);

    // Automatic reset: nothing is left pending once the host has woken.
    char byte;
    for (const event_handle event : events)
        EXPECT_LT(read(static_cast<int>(event), &byte, 1), 0);
    for (int i = 0; i < 3; ++i)
        withdraw_event(names[i].c_str(), events[i]);
}

TEST(Withdraw, LeavesAReplacedPathAlone)
{
    const std::string name = test_name(20);
    const std::string path = path_of(name);
    event_handle event = no_event;
    ASSERT_EQ(publish_event(name.c_str(), 0600, &event), nullptr);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    withdraw_event(name.c_str(), event);
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0);
    unlink(path.c_str());
}

} // namespace
