// The cases of irqhost_wait and irqhost_stop that hold alike on every
// platform. Included inside each platform's test file, after its
// test_line(offset) and trigger(line).

TEST(Wait, ReportsResetsAndKeepsWhatDoesNotFit)
{
    const std::uint32_t lines[] = {test_line(50), test_line(51), test_line(52)};
    irqhost* host = irqhost_open(lines, 3, 0600, nullptr, 0);
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
    EXPECT_EQ(irqhost_wait(host, 0, set, 3), 0) << "two triggers before the wake count as one";

    // Lines beyond the capacity stay set for the next call.
    for (const std::uint32_t line : lines)
        trigger(line);
    std::vector<std::uint32_t> seen;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(irqhost_wait(host, 5000, set, 1), 1);
        seen.push_back(set[0]);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, std::vector<std::uint32_t>(lines, lines + 3));
    EXPECT_EQ(irqhost_wait(host, 0, set, 1), 0);
    EXPECT_EQ(irqhost_wait(host, 0, set, 0), -2);
    irqhost_close(host);
}

TEST(Stop, EndsAWaitFromAnotherThreadAndEveryLaterOne)
{
    const std::uint32_t a = test_line(53);
    irqhost* host = irqhost_open(&a, 1, 0600, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::thread stopper([host] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        irqhost_stop(host);
    });
    std::uint32_t set[1];
    EXPECT_EQ(irqhost_wait(host, 10000, set, 1), -1);
    stopper.join();
    trigger(a);
    EXPECT_EQ(irqhost_wait(host, 0, set, 1), -1);
    irqhost_close(host);
}
