// irqhost: a demo simulation host. Publishes one event per interrupt line,
// waits on all of them at once and prints "irq N" for each interrupt taken,
// until SIGINT or SIGTERM (Ctrl+C on Windows); then withdraws its events.
#include "event_host.h"
#include "event_name.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void usage()
{
    std::fprintf(stderr, "usage: irqhost [-m octal-mode] [line ...]   (lines 0 to 7 by default)\n");
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

void withdraw_all(const std::vector<event_name>& names, const std::vector<event_handle>& events)
{
    for (std::size_t i = 0; i < events.size(); ++i)
        withdraw_event(names[i].data(), events[i]);
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
    if (irqs.size() > static_cast<std::size_t>(max_waited_events)) {
        std::fprintf(stderr, "irqhost: at most %d lines on this system\n", max_waited_events);
        return 2;
    }

    stop_waiting_on_interrupt();
    std::vector<event_name> names;
    std::vector<event_handle> events;
    for (const std::uint32_t irq : irqs) {
        names.push_back(event_name_from_irq(irq));
        event_handle event = no_event;
        if (const char* why = publish_event(names.back().data(), mode, &event)) {
            std::fprintf(stderr, "irqhost: cannot publish %s: %s\n", names.back().data(), why);
            withdraw_all(names, events);
            return 1;
        }
        events.push_back(event);
    }

    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::fprintf(stderr, "irqhost: publishing %s to %s (%zu lines); Ctrl+C stops\n",
                 names.front().data(), names.back().data(), names.size());

    const auto set = std::make_unique<bool[]>(events.size());
    while (wait_for_events(events.data(), static_cast<int>(events.size()), set.get()) >= 0) {
        for (std::size_t i = 0; i < irqs.size(); ++i)
            if (set[i])
                std::printf("irq %u\n", static_cast<unsigned>(irqs[i]));
    }

    withdraw_all(names, events);
    std::fprintf(stderr, "irqhost: stopped\n");
    return 0;
}
