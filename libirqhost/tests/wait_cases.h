// The cases of irqhost_wait and irqhost_stop that hold alike on every
// platform, with more lines than one wait of the system takes on Windows.
// Included inside each platform's test file, after its test_line(offset),
// many_test_lines(count) and trigger(line).

// What the host reports, `capacity` lines a call, until `count` lines have
// come and then for 50 ms more, so that one reported twice shows (5 s at
// most in all): sorted.
std::vector<std::uint32_t> reported(irqhost* host, std::size_t count, std::size_t capacity)
{
    std::vector<std::uint32_t> seen;
    std::vector<std::uint32_t> set(capacity);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < count && std::chrono::steady_clock::now() < limit) {
        const int n = irqhost_wait(host, 100, set.data(), capacity);
        EXPECT_LE(n, static_cast<int>(capacity));
        seen.insert(seen.end(), set.begin(), set.begin() + std::max(n, 0));
    }
    for (int n; std::chrono::steady_clock::now() < limit && (n = irqhost_wait(host, 50, set.data(), capacity)) > 0;)
        seen.insert(seen.end(), set.begin(), set.begin() + n);
    std::sort(seen.begin(), seen.end());
    return seen;
}

TEST(Wait, ReportsEachSetOnceAndKeepsWhatDoesNotFit)
{
    const std::vector<std::uint32_t> lines = many_test_lines(100);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0600, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::uint32_t set[3] = {};
    EXPECT_EQ(irqhost_wait(host, 0, set, 3), 0);
    EXPECT_EQ(irqhost_wait(host, 20, set, 3), 0);

    const std::uint32_t first = lines[0], middle = lines[63], last = lines[99];
    trigger(first);
    trigger(last);
    trigger(last);
    EXPECT_EQ(reported(host, 2, 3), std::vector<std::uint32_t>({first, last}))
        << "two triggers before the host looked count as one";

    // Lines beyond the capacity stay set for the next call.
    for (const std::uint32_t line : {first, middle, last})
        trigger(line);
    EXPECT_EQ(reported(host, 3, 1), std::vector<std::uint32_t>({first, middle, last}));

    // After its report a set is a new interrupt.
    for (int round = 0; round < 3; ++round) {
        trigger(middle);
        EXPECT_EQ(reported(host, 1, 3), std::vector<std::uint32_t>({middle})) << "round " << round;
    }
    EXPECT_EQ(irqhost_wait(host, 0, set, 0), -2);
    irqhost_close(host);
}

TEST(Stop, EndsAWaitFromAnotherThreadAndEveryLaterOne)
{
    const std::vector<std::uint32_t> lines = many_test_lines(100);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0600, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::thread stopper([host] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        irqhost_stop(host);
    });
    std::uint32_t set[1];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(irqhost_wait(host, 10000, set, 1), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    stopper.join();
    trigger(lines[70]);
    EXPECT_EQ(irqhost_wait(host, 0, set, 1), -1);
    EXPECT_EQ(irqhost_wait(host, 100, set, 1), -1);
    irqhost_stop(host);
    irqhost_stop(nullptr);
    irqhost_close(host);
}
