// irqhost's command line, read into what the host does: every option's
// values at and beyond their bounds, lines and ranges, and what is refused.
#include "options.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

struct reading {
    int status;
    host_options options;
};

reading read(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "irqhost");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    optind = 0; // getopt_long starts afresh
    opterr = 0;
    reading r{};
    std::fflush(stdout);
    errno = ERANGE; // what an earlier call left must not count as this one's
    r.status = parse_options(static_cast<int>(arguments.size()), argv.data(), &r.options);
    return r;
}

std::vector<std::uint32_t> lines(std::uint32_t first, std::uint32_t last)
{
    std::vector<std::uint32_t> all;
    for (std::uint64_t line = first; line <= last; ++line)
        all.push_back(static_cast<std::uint32_t>(line));
    return all;
}

TEST(Options, ReadEveryValueAndRefuseTheRest)
{
    const struct {
        std::vector<std::string> arguments;
        int status;
        unsigned mode;
        long long count, timeout_ms;
        std::vector<std::uint32_t> lines;
        bool timestamp, list;
    } cases[] = {
        {{}, run_as_told, 0600, 0, -1, lines(0, 7), false, false},
        {{"-m", "0640", "5"}, run_as_told, 0640, 0, -1, {5}, false, false},
        {{"-m", "7777", "5"}, run_as_told, 07777, 0, -1, {5}, false, false},
        {{"-m", "0", "5"}, run_as_told, 0, 0, -1, {5}, false, false},
        {{"5-7", "9"}, run_as_told, 0600, 0, -1, {5, 6, 7, 9}, false, false},
        {{"0-0"}, run_as_told, 0600, 0, -1, {0}, false, false},
        {{"4294967294-4294967295"}, run_as_told, 0600, 0, -1, {4294967294u, 4294967295u}, false, false},
        {{"0-1048575"}, run_as_told, 0600, 0, -1, lines(0, 1048575), false, false},
        {{"-n", "1", "5"}, run_as_told, 0600, 1, -1, {5}, false, false},
        {{"--count", "1000000000000", "5"}, run_as_told, 0600, 1000000000000, -1, {5}, false, false},
        {{"--count=3", "-t", "2", "5"}, run_as_told, 0600, 3, 2000, {5}, false, false},
        {{"-t", "0", "5"}, run_as_told, 0600, 0, 0, {5}, false, false},
        {{"-t", "0.5", "5"}, run_as_told, 0600, 0, 500, {5}, false, false},
        {{"-t", "1.234", "5"}, run_as_told, 0600, 0, 1234, {5}, false, false},
        {{"-t", "1.2340", "5"}, run_as_told, 0600, 0, 1234, {5}, false, false},
        {{"-t", "1.2341", "5"}, run_as_told, 0600, 0, 1235, {5}, false, false},
        {{"-t", "0.0001", "5"}, run_as_told, 0600, 0, 1, {5}, false, false},
        {{"-t", "9.999", "5"}, run_as_told, 0600, 0, 9999, {5}, false, false},
        {{"--timeout", "1000000000", "5"}, run_as_told, 0600, 0, 1000000000000, {5}, false, false},
        {{"--timestamp", "5"}, run_as_told, 0600, 0, -1, {5}, true, false},
        {{"--list"}, run_as_told, 0600, 0, -1, lines(0, 7), false, true},
        {{"-h"}, 0, 0600, 0, -1, {}, false, false},
        {{"--help"}, 0, 0600, 0, -1, {}, false, false},
        {{"--version"}, 0, 0600, 0, -1, {}, false, false},
    };
    const std::vector<std::string> refused[] = {
        {"-m", "8", "5"},
        {"-m", "10000", "5"},
        {"-m", "+600", "5"},
        {"-m", " 600", "5"},
        {"-m"},
        {"-n", "0", "5"},
        {"-n", "x", "5"},
        {"-n", "1000000000001"},
        {"-n", "+1", "5"},
        {"-n"},
        {"-t", "-1", "5"},
        {"-t", "1.", "5"},
        {"-t", ".5", "5"},
        {"-t", "1e3", "5"},
        {"-t", "0x10", "5"},
        {"-t", "1.5s", "5"},
        {"-t", "1000000001"},
        {"--timeout"},
        {"7-5"},
        {"5-"},
        {"-5"},
        {"5-7-9"},
        {"+5"},
        {" 5"},
        {"4294967296"},
        {"0-4294967296"},
        {"0-1048576"},
        {"5", "5"},
        {"3", "1-5"},
        {"--list", "5"},
        {"--help=x"},
        {"--bogus"},
        {"-x"},
        {"--timestamp=1", "5"},
    };
    for (const auto& arguments : refused) {
        std::string given;
        for (const std::string& argument : arguments)
            given += argument + " ";
        EXPECT_EQ(read(arguments).status, 2) << given << "was not refused";
    }
    for (const auto& c : cases) {
        std::string given;
        for (const std::string& argument : c.arguments)
            given += argument + " ";
        const reading r = read(c.arguments);
        EXPECT_EQ(r.status, c.status) << given;
        if (c.status != run_as_told || r.status != run_as_told)
            continue; // help and version: nothing more to read
        EXPECT_EQ(r.options.mode, c.mode) << given;
        EXPECT_EQ(r.options.count, c.count) << given;
        EXPECT_EQ(r.options.timeout_ms, c.timeout_ms) << given;
        EXPECT_EQ(r.options.lines, c.lines) << given;
        EXPECT_EQ(r.options.timestamp, c.timestamp) << given;
        EXPECT_EQ(r.options.list, c.list) << given;
    }
}

} // namespace
