// After each test of a POSIX test program, whatever is left in the event
// folders under the names of this process's lines (a host that a failing
// test never closed, a FIFO a case made) is removed and named, so that a
// failure leaves nothing behind. Linked into every POSIX test program.
#include "posix_test.h"

#include <cstdio>

namespace {

// The line a name of the event folder belongs to: "OSirqN" or ".OSirqN....".
bool line_of(const std::string& entry, std::uint32_t* line)
{
    const std::size_t at = entry.rfind("OSirq", 1);
    if (at == std::string::npos || (at == 1 && entry[0] != '.'))
        return false;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(entry.c_str() + at + 5, &end, 10);
    *line = static_cast<std::uint32_t>(value);
    return end != entry.c_str() + at + 5 && value <= UINT32_MAX;
}

class leftovers : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& test) override
    {
        for (const char* folder : {"/dev/shm", "/tmp"})
            for (const std::string& entry : test_support::entries_of(folder)) {
                std::uint32_t line = 0;
                if (!line_of(entry, &line) || !test_support::is_line_of_this_process(line))
                    continue;
                const std::string path = std::string(folder) + "/" + entry;
                if (unlink(path.c_str()) == 0 || rmdir(path.c_str()) == 0)
                    std::fprintf(stderr, "%s.%s left %s behind: removed\n", test.test_suite_name(), test.name(),
                                 path.c_str());
            }
    }
};

const bool appended = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new leftovers);
    return true;
}();

} // namespace
