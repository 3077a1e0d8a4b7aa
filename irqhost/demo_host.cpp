// irqhost: a demo simulation host over libirqhost. Publishes one event per
// interrupt line, waits on all of them at once and prints "irq N" for each
// interrupt taken, until a stop signal, a failed write to standard output or
// its reader going away; then withdraws its events.
#include "demo_host.h"

#include "event_name.h"
#include "host_process.h"
#include "irqhost.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

void usage(std::FILE* to)
{
    std::fprintf(to, "usage: irqhost [-h|--help] [--version] [-m octal-mode] [line ...]   "
                     "(lines 0 to 7 and mode 0600 by default)\n");
}

// Whole decimal text up to 4294967295; nothing else is a line number here
// (no sign, no blank, no other base).
bool parse_irq(const char* text, std::uint32_t* irq)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    *irq = static_cast<std::uint32_t>(value);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value <= UINT32_MAX;
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

// "2 lines: OSirq3, OSirq9"
std::string describe(const std::vector<std::uint32_t>& irqs)
{
    std::string text = std::to_string(irqs.size()) + (irqs.size() == 1 ? " line: " : " lines: ");
    for (std::size_t i = 0; i < irqs.size(); ++i)
        text.append(i == 0 ? "" : ", ").append(event_name_from_irq(irqs[i]).text);
    return text;
}

// Some C libraries report a failed write only in the stream's error state.
bool print_irq(std::uint32_t irq)
{
    for (;;) {
        std::FILE* out = interrupt_output();
        std::fprintf(out, "irq %lu\n", static_cast<unsigned long>(irq));
        if (std::fflush(out) == 0 && !std::ferror(out))
            return true;
        if (!write_elsewhere_after(errno))
            return false;
    }
}

// Says why the host ended, unless a stop ended it; true after a stop.
bool ended_by_stop(int waited)
{
    if (waited == output_gone)
        std::fprintf(stderr, "irqhost: cannot write to standard output: its reader has gone\n");
    else if (waited == -2)
        std::fprintf(stderr, "irqhost: waiting failed: %s\n", std::strerror(errno));
    return waited == -1;
}

// Prints each interrupt until a stop; false when the wait or standard output failed.
bool serve(irqhost* host)
{
    std::uint32_t set[64];
    for (;;) {
        const int count = wait_for_interrupts(host, set, sizeof set / sizeof set[0]);
        if (count <= 0)
            return ended_by_stop(count);
        for (int i = 0; i < count; ++i) {
            if (!print_irq(set[i])) {
                const int error = errno;
                // A stop signal cuts short a write blocked on a full output.
                if (irqhost_wait(host, 0, set, 1) == -1)
                    return true;
                std::fprintf(stderr, "irqhost: cannot write to standard output: %s\n", std::strerror(error));
                return false;
            }
        }
    }
}

} // namespace

int run_demo_host(int argc, char* argv[])
{
    open_standard_streams();
    unsigned mode = 0600;
    const option long_options[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
    // "+": options end at the first line, on every C library.
    for (int option; (option = getopt_long(argc, argv, "+:m:h", long_options, nullptr)) != -1;) {
        switch (option) {
        case 'm':
            if (!parse_mode(optarg, &mode))
                return refuse(std::string("'") + optarg + "' is not an octal file mode (0 to 7777)");
            break;
        case 'h':
            usage(stdout);
            return 0;
        case 'V':
            std::printf("irqhost %s\n", IRQHOST_DEMO_VERSION);
            return 0;
        case ':':
            return refuse("option -m needs an octal mode");
        default:
            return refuse(bad_option(argv[optind - 1], optopt, long_options));
        }
    }

    std::vector<std::uint32_t> irqs;
    for (int i = optind; i < argc; ++i) {
        std::uint32_t irq = 0;
        if (!parse_irq(argv[i], &irq))
            return refuse(std::string("'") + argv[i] + "' is not a line number");
        irqs.push_back(irq);
    }
    if (irqs.empty())
        irqs = {0, 1, 2, 3, 4, 5, 6, 7};
    std::vector<std::uint32_t> sorted = irqs;
    std::sort(sorted.begin(), sorted.end());
    if (const auto twice = std::adjacent_find(sorted.begin(), sorted.end()); twice != sorted.end())
        return refuse(std::string(event_name_from_irq(*twice).text) + ": given twice");

    hold_stop_signals();
    char why[256];
    irqhost* host = irqhost_open(irqs.data(), irqs.size(), mode, why, sizeof why);
    if (host == nullptr) {
        std::fprintf(stderr, "irqhost: cannot publish %s\n", why);
        return 1;
    }
    stop_on_signals(host);
    std::fprintf(stderr, "irqhost: publishing %s; Ctrl+C stops\n", describe(irqs).c_str());

    const bool stopped = serve(host);
    release_stop_signals();
    irqhost_close(host);
    std::fprintf(stderr, "irqhost: stopped\n");
    return stopped ? 0 : 1;
}
