// irqhost: a demo simulation host over libirqhost. Publishes one event per
// interrupt line, waits on all of them at once and prints "irq N" for each
// interrupt taken, until a stop signal or a failed write to standard output;
// then withdraws its events.
#include "event_name.h"
#include "irqhost.h"
#include "stop_signals.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void usage()
{
    std::fprintf(stderr, "usage: irqhost [-m octal-mode] [line ...]   (lines 0 to 7 and mode 0600 by default)\n");
}

// Whole decimal text up to 4294967295; nothing else is a line number here.
bool parse_irq(const char* text, std::uint32_t* irq)
{
    std::uint64_t value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9' && value <= UINT32_MAX; ++p)
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    *irq = static_cast<std::uint32_t>(value);
    return p != text && *p == '\0' && value <= UINT32_MAX;
}

bool parse_mode(const char* text, unsigned* mode)
{
    unsigned value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '7' && value <= 07777; ++p)
        value = value * 8 + static_cast<unsigned>(*p - '0');
    *mode = value;
    return p != text && *p == '\0' && value <= 07777;
}

// "2 lines: OSirq3, OSirq9"
std::string describe(const std::vector<std::uint32_t>& irqs)
{
    std::string text = std::to_string(irqs.size()) + (irqs.size() == 1 ? " line: " : " lines: ");
    for (std::size_t i = 0; i < irqs.size(); ++i)
        text.append(i == 0 ? "" : ", ").append(event_name_from_irq(irqs[i]).text);
    return text;
}

// Prints each interrupt until a stop; false when the wait or standard output failed.
bool serve(irqhost* host)
{
    std::uint32_t set[64];
    int count = 0;
    while ((count = irqhost_wait(host, -1, set, sizeof set / sizeof set[0])) > 0) {
        for (int i = 0; i < count; ++i) {
            if (std::printf("irq %lu\n", static_cast<unsigned long>(set[i])) < 0 || std::fflush(stdout) != 0) {
                std::fprintf(stderr, "irqhost: cannot write to standard output: %s\n", std::strerror(errno));
                return false;
            }
        }
    }
    if (count == -2)
        std::fprintf(stderr, "irqhost: waiting failed: %s\n", std::strerror(errno));
    return count == -1;
}

} // namespace

int main(int argc, char* argv[])
{
    unsigned mode = 0600;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "-m") == 0) {
        if (!parse_mode(argv[2], &mode)) {
            std::fprintf(stderr, "irqhost: '%s' is not an octal file mode\n", argv[2]);
            return 2;
        }
        first = 3;
    }

    std::vector<std::uint32_t> irqs;
    for (int i = first; i < argc; ++i) {
        std::uint32_t irq = 0;
        if (!parse_irq(argv[i], &irq)) {
            std::fprintf(stderr, "irqhost: '%s' is not a line number\n", argv[i]);
            usage();
            return 2;
        }
        irqs.push_back(irq);
    }
    if (irqs.empty())
        irqs = {0, 1, 2, 3, 4, 5, 6, 7};

    char why[256];
    irqhost* host = irqhost_open(irqs.data(), irqs.size(), mode, why, sizeof why);
    if (host == nullptr) {
        std::fprintf(stderr, "irqhost: cannot publish %s\n", why);
        return 1;
    }
    stop_on_signals(host);
    std::fprintf(stderr, "irqhost: publishing %s; Ctrl+C stops\n", describe(irqs).c_str());

    const bool stopped = serve(host);
    irqhost_close(host);
    std::fprintf(stderr, "irqhost: stopped\n");
    return stopped ? 0 : 1;
}
