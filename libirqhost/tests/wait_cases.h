// What irqhost_wait and irqhost_stop promise alike on every platform, checked
// against a model in seeded random rounds, and the fairness of the waits.
// Included inside each platform's test file, after its many_test_lines(count)
// (ascending), trigger(line), readable(host, ms), shared_memory(bytes) and a
// declaration of raise_in_another_process(record, lines, seed), which it
// defines after; <atomic> and <random> included before the namespace.

// Every raise and every report is stamped from one clock that all raisers
// share (threads, and processes where they can share memory).
struct line_record {
    std::atomic<std::uint64_t> started;      // raises begun
    std::atomic<std::uint64_t> done_started; // the latest stamp at which a raise that worked began
    std::atomic<std::uint64_t> reports;
    std::atomic<std::uint64_t> last_report;  // the stamp of the latest report
};

struct model_record {
    std::atomic<std::uint64_t> clock;
    std::atomic<std::uint64_t> failed_raises;
    line_record lines[1];
};

model_record* new_record(std::size_t lines)
{
    return new (shared_memory(sizeof(model_record) + lines * sizeof(line_record))) model_record{};
}

// Raises line k of the host's, stamped.
void raise_recorded(model_record* record, const std::vector<std::uint32_t>& lines, std::size_t k)
{
    const std::uint64_t stamp = ++record->clock;
    ++record->lines[k].started;
    if (irqhost_raise(lines[k]) != 0) {
        ++record->failed_raises;
        return;
    }
    for (std::uint64_t seen = record->lines[k].done_started; seen < stamp;)
        record->lines[k].done_started.compare_exchange_weak(seen, stamp);
}

void raise_randomly(model_record* record, const std::vector<std::uint32_t>& lines, unsigned seed, int raises)
{
    std::minstd_rand random(seed);
    for (int i = 0; i < raises; ++i)
        raise_recorded(record, lines, random() % lines.size());
}

// One wait, checked against the model: never more than the capacity and
// nothing written past it, each line at most once and only a line of the
// host's, and only a line whose raise had begun. Returns what it returned.
int checked_wait(irqhost* host, const std::vector<std::uint32_t>& lines, model_record* record, int timeout_ms,
                 std::size_t capacity, std::vector<std::uint32_t>* got = nullptr)
{
    constexpr std::uint32_t canary = 0xC0FFEEu;
    std::vector<std::uint32_t> set(capacity + 1, canary);
    const int n = irqhost_wait(host, timeout_ms, set.data(), capacity);
    EXPECT_LE(n, static_cast<int>(capacity));
    EXPECT_EQ(set[capacity], canary) << "written past the capacity of " << capacity;
    std::vector<std::uint32_t> taken(set.begin(), set.begin() + std::max(n, 0));
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end()) << "a line twice in one return";
    for (const std::uint32_t line : taken) {
        const auto at = std::lower_bound(lines.begin(), lines.end(), line);
        if (at == lines.end() || *at != line) {
            ADD_FAILURE() << "reported " << line << ", not a line of the host's";
            continue;
        }
        line_record& r = record->lines[at - lines.begin()];
        const std::uint64_t reports = ++r.reports;
        r.last_report = ++record->clock;
        EXPECT_LE(reports, r.started.load()) << name_of(line) << " reported more often than raised";
    }
    if (got != nullptr)
        *got = taken;
    return n;
}

// Polls until a poll finds nothing; all that was taken, sorted.
std::vector<std::uint32_t> drained(irqhost* host, const std::vector<std::uint32_t>& lines, model_record* record,
                                   std::size_t capacity)
{
    std::vector<std::uint32_t> all, got;
    for (int i = 0; i < 10'000 && checked_wait(host, lines, record, 0, capacity, &got) > 0; ++i)
        all.insert(all.end(), got.begin(), got.end());
    std::sort(all.begin(), all.end());
    return all;
}

// Raises from threads and another process at once, while waits of every
// capacity and timeout take the lines; then, with nothing raised, polls see
// everything set before them, exactly once and up to their capacity, lines
// set together in a group come together in a wait that blocks, the object
// to wait on is ready exactly while something is set, and a stop ends a
// wait and every later one. Seeded: IRQHOST_MODEL_SEED repeats a run.
TEST(Model, RandomRoundsKeepEveryPromise)
{
    const char* given = std::getenv("IRQHOST_MODEL_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                           : static_cast<unsigned>(std::random_device{}());
    std::minstd_rand random(seed);
    const auto pick = [&random](std::initializer_list<std::size_t> choices) {
        return *(choices.begin() + random() % choices.size());
    };
    for (const std::size_t count : {std::size_t{1}, std::size_t{64}, std::size_t{130}, pick({1000, 4096})}) {
        SCOPED_TRACE("IRQHOST_MODEL_SEED=" + std::to_string(seed) + ", " + std::to_string(count) + " lines");
        const std::vector<std::uint32_t> lines = many_test_lines(count); // sorted
        irqhost* host = irqhost_open(lines.data(), lines.size(), 0600, nullptr, 0);
        ASSERT_NE(host, nullptr);
        model_record* record = new_record(count);

        // Raises from three threads and a process, against waits of random
        // capacity and timeout.
        std::atomic<int> raising{4};
        std::vector<std::thread> raisers;
        for (unsigned k = 0; k < 3; ++k)
            raisers.emplace_back([&, k] {
                raise_randomly(record, lines, seed + k, 300);
                --raising;
            });
        raisers.emplace_back([&] {
            raise_in_another_process(record, lines, seed + 3);
            --raising;
        });
        while (raising > 0) {
            const std::size_t capacity = pick({1, 2, 63, 64, 65, 100, count});
            ASSERT_GE(checked_wait(host, lines, record, static_cast<int>(pick({0, 1, 10})), capacity), 0);
        }
        for (std::thread& raiser : raisers)
            raiser.join();
        EXPECT_EQ(record->failed_raises, 0u);
        drained(host, lines, record, pick({1, 64, count}));
        for (std::size_t k = 0; k < count; ++k) {
            const line_record& r = record->lines[k];
            EXPECT_TRUE(r.done_started == 0 || r.last_report > r.done_started) << name_of(lines[k]) << " lost";
        }

        // Nothing set: nothing to wait for. Then polls see every line set
        // before them, once, the capacity's worth at a time.
        EXPECT_FALSE(readable(host, 0)) << "ready with nothing set";
        // At 130 lines all are set, and a poll of 100 must stop at 100.
        std::vector<std::uint32_t> subset;
        for (std::size_t k = 0; k < count; ++k)
            if (count == 130 || random() % 3 == 0 || (subset.empty() && k + 1 == count)) {
                subset.push_back(lines[k]);
                raise_recorded(record, lines, k);
                raise_recorded(record, lines, k); // two sets before a report are one interrupt
            }
        const std::size_t capacity = count == 130 ? 100 : pick({1, 63, 100, count});
        std::vector<std::uint32_t> first;
        checked_wait(host, lines, record, 0, capacity, &first);
        EXPECT_EQ(first.size(), std::min(capacity, subset.size())) << "a poll missed lines set before it";
        std::vector<std::uint32_t> all = drained(host, lines, record, capacity);
        all.insert(all.end(), first.begin(), first.end());
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all, subset) << "polls did not report each line set once";

        // One line set: ready until it is taken. Lines set together in one
        // group of 63 come together in a wait that blocks.
        const std::size_t from = random() % count, together = std::min<std::size_t>(count - from, 1 + random() % 63);
        const std::size_t group_end = std::min(count, from - from % 63 + 63);
        const std::vector<std::uint32_t> group(lines.begin() + from, lines.begin() + std::min(from + together, group_end));
        for (std::size_t k = from; k < from + group.size(); ++k)
            raise_recorded(record, lines, k);
        EXPECT_TRUE(readable(host, 10'000)) << "not ready with a line set";
        std::vector<std::uint32_t> got;
        EXPECT_EQ(checked_wait(host, lines, record, -1, count + 1, &got), static_cast<int>(group.size()));
        EXPECT_EQ(got, group) << "lines set together were split";
        EXPECT_FALSE(readable(host, 0)) << "ready after everything was taken";

        // A stop ends a wait that blocks, and every later one; it stays ready.
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
            irqhost_stop(host);
        });
        EXPECT_EQ(checked_wait(host, lines, record, -1, pick({1, count})), -1);
        stopper.join();
        raise_recorded(record, lines, 0);
        EXPECT_EQ(checked_wait(host, lines, record, 0, 1), -1);
        EXPECT_EQ(checked_wait(host, lines, record, 10, count), -1);
        EXPECT_TRUE(readable(host, 0)) << "not ready after a stop";
        std::uint32_t none[1];
        EXPECT_EQ(irqhost_wait(host, 0, none, 0), -2) << "a capacity of 0";
        irqhost_stop(host);
        irqhost_stop(nullptr);
        irqhost_close(host);
    }
}

// With every line kept set by another thread, waits of any capacity reach
// every line, in every group, again and again: none starves.
TEST(Wait, NoLineStarvesAtAnyCapacity)
{
    const std::vector<std::uint32_t> lines = many_test_lines(130);
    irqhost* host = irqhost_open(lines.data(), lines.size(), 0600, nullptr, 0);
    ASSERT_NE(host, nullptr);
    std::atomic<bool> done{false};
    std::thread keeper([&] {
        while (!done)
            for (const std::uint32_t line : lines)
                irqhost_raise(line);
    });
    // With room for all: a line set again while the wait takes the others
    // is the next wait's, and the wait still returns.
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{2}, std::size_t{65}, std::size_t{200}}) {
        std::vector<int> reports(lines.size());
        std::vector<std::uint32_t> set(capacity);
        for (int total = 0; total < 130 * 12;) {
            const int n = irqhost_wait(host, 10'000, set.data(), capacity);
            ASSERT_GT(n, 0);
            for (int i = 0; i < n; ++i)
                ++reports[std::lower_bound(lines.begin(), lines.end(), set[i]) - lines.begin()];
            total += n;
        }
        const auto fewest = std::min_element(reports.begin(), reports.end());
        EXPECT_GT(*fewest, 0) << "capacity " << capacity << ": " << name_of(lines[fewest - reports.begin()])
                              << " starved; the most reported had " << *std::max_element(reports.begin(), reports.end());
    }
    done = true;
    keeper.join();
    irqhost_close(host);
}
