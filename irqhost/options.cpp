#include "options.h"

#include "event_name.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>

namespace {

void usage(std::FILE* to)
{
    std::fprintf(to, "usage: irqhost [-h|--help] [--version] [-m octal-mode] [-n|--count count] "
                     "[-t|--timeout seconds] [--timestamp] [line|first-last ...]\n"
                     "       irqhost --list\n"
                     "(lines 0 to 7 and mode 0600 by default)\n");
}

// The most lines one command line names: far more than a host has
// descriptors or handles for.
constexpr unsigned long long most_lines = 1 << 20;

// Decimal digits alone (no sign, blank or other base) up to `limit`, then
// the character `end` (the text's end, or a separator that *text is then
// moved past).
bool parse_decimal(const char** text, unsigned long long limit, char end, unsigned long long* value)
{
    char* after = nullptr;
    errno = 0;
    *value = std::strtoull(*text, &after, 10);
    const bool whole = **text >= '0' && **text <= '9' && errno == 0 && *value <= limit && *after == end;
    *text = *after == '\0' ? after : after + 1;
    return whole;
}

// A line ("3") or a range of them ("0-4095", each end included), appended.
bool parse_lines(const char* text, std::vector<std::uint32_t>* lines)
{
    unsigned long long first = 0, last = 0;
    const char* p = text;
    const bool range = std::strchr(text, '-') != nullptr;
    if (!parse_decimal(&p, UINT32_MAX, range ? '-' : '\0', &first))
        return false;
    if (range && (!parse_decimal(&p, UINT32_MAX, '\0', &last) || first > last))
        return false;
    if (!range)
        last = first;
    for (unsigned long long line = first; line <= last && lines->size() <= most_lines; ++line)
        lines->push_back(static_cast<std::uint32_t>(line));
    return true;
}

// Octal text up to 7777, as chmod takes it.
bool parse_mode(const char* text, unsigned* mode)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 8);
    *mode = static_cast<unsigned>(value);
    return *text >= '0' && *text <= '7' && *end == '\0' && errno == 0 && value <= 07777;
}

// Seconds as decimal text, with a fraction or without ("2", "0.5"), to the
// millisecond: a finer fraction is rounded up.
bool parse_seconds(const char* text, long long* milliseconds)
{
    const char* p = text;
    const bool fraction = std::strchr(text, '.') != nullptr;
    unsigned long long whole = 0;
    if (!parse_decimal(&p, 1'000'000'000, fraction ? '.' : '\0', &whole))
        return false;
    long long ms = static_cast<long long>(whole) * 1000;
    if (fraction) {
        if (*p < '0' || *p > '9')
            return false;
        bool finer = false;
        for (long long scale = 100; *p >= '0' && *p <= '9'; ++p, scale /= 10) {
            ms += (*p - '0') * scale;
            finer = finer || (scale == 0 && *p != '0');
        }
        if (*p != '\0')
            return false;
        ms += finer ? 1 : 0;
    }
    *milliseconds = ms;
    return true;
}

// What is wrong with an option getopt_long refused: `given` is the argument
// it stopped at, `letter` the short option it names. A long option may be
// unknown, or given a value it does not take.
std::string bad_option(const char* given, int letter, const option* known)
{
    const std::string text = given;
    if (text.rfind("--", 0) != 0)
        return std::string("unknown option -") + static_cast<char>(letter);
    const std::string name = text.substr(2, text.find('=') - 2);
    for (const option* o = known; o->name != nullptr; ++o)
        if (name == o->name && o->has_arg == no_argument)
            return "option --" + name + " takes no value";
    return "unknown option " + text;
}

// A bad command line: the reason, the usage, status 2.
int refuse(const std::string& reason)
{
    std::fprintf(stderr, "irqhost: %s\n", reason.c_str());
    usage(stderr);
    return 2;
}

std::string quoted(const char* text)
{
    return std::string("'") + text + "'";
}

} // namespace

int parse_options(int argc, char* argv[], host_options* options)
{
    enum { timestamp = 256, list, version };
    const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, version},
                                   {"count", required_argument, nullptr, 'n'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"timestamp", no_argument, nullptr, timestamp},
                                   {"list", no_argument, nullptr, list},
                                   {}};
    unsigned long long count = 0;
    // "+": options end at the first line, on every C library.
    for (int option; (option = getopt_long(argc, argv, "+:m:n:t:h", long_options, nullptr)) != -1;) {
        const char* value = optarg;
        switch (option) {
        case 'm':
            if (!parse_mode(value, &options->mode))
                return refuse(quoted(value) + " is not an octal file mode (0 to 7777)");
            break;
        case 'n':
            if (!parse_decimal(&value, 1'000'000'000'000, '\0', &count) || count == 0)
                return refuse(quoted(optarg) + " is not a count of interrupts (a whole number from 1)");
            options->count = static_cast<long long>(count);
            break;
        case 't':
            if (!parse_seconds(value, &options->timeout_ms))
                return refuse(quoted(value) + " is not a time in seconds (such as 2 or 0.5)");
            break;
        case timestamp:
            options->timestamp = true;
            break;
        case list:
            options->list = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        case version:
            std::printf("irqhost %s\n", IRQHOST_DEMO_VERSION);
            return 0;
        case ':':
            return refuse(optopt == 'm' ? "option -m needs an octal mode"
                          : optopt == 'n' ? "option -n needs a count of interrupts"
                                          : "option -t needs a time in seconds");
        default:
            return refuse(bad_option(argv[optind - 1], optopt, long_options));
        }
    }
    if (options->list && optind < argc)
        return refuse("--list takes no lines");
    for (int i = optind; i < argc; ++i) {
        if (!parse_lines(argv[i], &options->lines))
            return refuse(quoted(argv[i]) + " is not a line number, nor a range of them (first-last)");
        if (options->lines.size() > most_lines)
            return refuse("more than " + std::to_string(most_lines) + " lines");
    }
    if (options->lines.empty())
        options->lines = {0, 1, 2, 3, 4, 5, 6, 7};
    std::vector<std::uint32_t> sorted = options->lines;
    std::sort(sorted.begin(), sorted.end());
    if (const auto twice = std::adjacent_find(sorted.begin(), sorted.end()); twice != sorted.end())
        return refuse(std::string(event_name_from_irq(*twice).text) + ": given twice");
    return run_as_told;
}
