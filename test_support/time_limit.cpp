// Every test of a GoogleTest program ends within its limit, or the program
// ends there, saying which test ran out of it: a hang fails where it is,
// not at ctest's limit for the whole program. Linked into every test program.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr auto limit = std::chrono::seconds(90);

class time_limit : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo& test) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        name_ = std::string(test.test_suite_name()) + "." + test.name();
        deadline_ = std::chrono::steady_clock::now() + limit;
        running_ = true;
        if (!watching_.joinable()) {
            // Under a sanitizer whose allocator has no fork handler, a thread
            // still starting (and allocating) when a test forks leaves the
            // child an allocator locked for ever: the test goes on only once
            // the watch has begun, after which the watcher allocates nothing.
            watching_ = std::thread([this] { watch(); });
            changed_.wait(lock, [this] { return watching_began_; });
        }
        changed_.notify_all();
    }
    void OnTestEnd(const testing::TestInfo&) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        changed_.notify_all();
    }
    void OnTestProgramEnd(const testing::UnitTest&) override
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
            changed_.notify_all();
        }
        if (watching_.joinable())
            watching_.join();
    }

private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        watching_began_ = true;
        changed_.notify_all();
        while (!ended_) {
            if (running_ && std::chrono::steady_clock::now() >= deadline_) {
                std::fprintf(stderr, "\nFAILED: %s ran out of its %lld s\n", name_.c_str(),
                             static_cast<long long>(limit.count()));
                std::fflush(stderr);
                std::_Exit(1);
            }
            changed_.wait_for(lock, std::chrono::milliseconds(200));
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread watching_;
    std::string name_;
    std::chrono::steady_clock::time_point deadline_;
    bool running_ = false, ended_ = false, watching_began_ = false;
};

// Appended before main() runs: gtest_main's main then runs the tests with it.
const bool appended = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new time_limit);
    return true;
}();

} // namespace
