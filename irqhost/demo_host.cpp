// irqhost: a demo simulation host over libirqhost. Publishes one event per
// interrupt line, waits on all of them at once and prints "irq N" for each
// interrupt taken, until a stop signal, a failed write to standard output or
// its reader going away, the count of interrupts asked for or the time
// allowed; then withdraws its events. Or it lists the lines published here.
#include "demo_host.h"

#include "event_name.h"
#include "host_process.h"
#include "irqhost.h"
#include "list_lines.h"
#include "options.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// How the host ended, and its exit status.
enum ending { stopped = 0, failed = 1, timed_out = 3 };

// "2 lines: OSirq3, OSirq9"
std::string describe(const std::vector<std::uint32_t>& irqs)
{
    std::string text = std::to_string(irqs.size()) + (irqs.size() == 1 ? " line: " : " lines: ");
    for (std::size_t i = 0; i < irqs.size(); ++i)
        text.append(i == 0 ? "" : ", ").append(event_name_from_irq(irqs[i]).text);
    return text;
}

// The time an interrupt was taken, in seconds since the epoch: the clock's at
// the start, and the steady clock's since, so that the times of one run
// never go back.
class report_clock {
public:
    std::string now() const
    {
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
            start_ + (std::chrono::steady_clock::now() - steady_start_)).count();
        char text[32];
        std::snprintf(text, sizeof text, "%lld.%06lld ", static_cast<long long>(micros / 1'000'000),
                      static_cast<long long>(micros % 1'000'000));
        return text;
    }

private:
    std::chrono::system_clock::duration start_ = std::chrono::system_clock::now().time_since_epoch();
    std::chrono::steady_clock::time_point steady_start_ = std::chrono::steady_clock::now();
};

// Some C libraries report a failed write only in the stream's error state.
bool print_irq(const std::string& stamp, std::uint32_t irq)
{
    for (;;) {
        std::FILE* out = interrupt_output();
        std::fprintf(out, "%sirq %lu\n", stamp.c_str(), static_cast<unsigned long>(irq));
        if (std::fflush(out) == 0 && !std::ferror(out))
            return true;
        if (!write_elsewhere_after(errno))
            return false;
    }
}

// Says why the host ended, unless a stop ended it.
ending ended_by(int waited)
{
    if (waited == output_gone)
        std::fprintf(stderr, "irqhost: cannot write to standard output: its reader has gone\n");
    else if (waited == -2)
        std::fprintf(stderr, "irqhost: waiting failed: %s\n", std::strerror(errno));
    return waited == -1 ? stopped : failed;
}

// Milliseconds left until `deadline` (-1 for none), at least 0.
int left_until(const std::chrono::steady_clock::time_point* deadline)
{
    if (deadline == nullptr)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : left.count() > INT32_MAX ? INT32_MAX : static_cast<int>(left.count());
}

// Prints each interrupt until a stop, the count or the deadline.
ending serve(irqhost* host, const host_options& options)
{
    const report_clock clock;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
    const auto* until = options.timeout_ms >= 0 ? &deadline : nullptr;
    std::uint32_t set[64];
    for (long long reported = 0;;) {
        const int left = left_until(until);
        const int count = wait_for_interrupts(host, set, sizeof set / sizeof *set, left);
        if (count == 0 && left == 0)
            return options.count == 0 ? stopped : timed_out;
        if (count < 0)
            return ended_by(count);
        const std::string stamp = options.timestamp ? clock.now() : "";
        for (int i = 0; i < count; ++i) {
            if (!print_irq(stamp, set[i])) {
                const int error = errno;
                // A stop signal cuts short a write blocked on a full output.
                if (irqhost_wait(host, 0, set, 1) == -1)
                    return stopped;
                std::fprintf(stderr, "irqhost: cannot write to standard output: %s\n", std::strerror(error));
                return failed;
            }
            if (++reported == options.count) // what else was taken goes unreported, with the lines
                return stopped;
        }
    }
}

} // namespace

int run_demo_host(int argc, char* argv[])
{
    open_standard_streams();
    host_options options;
    if (const int status = parse_options(argc, argv, &options); status != run_as_told)
        return status;
    if (options.list)
        return list_lines(stdout);

    hold_stop_signals();
    char why[256];
    irqhost* host = irqhost_open(options.lines.data(), options.lines.size(), options.mode, why, sizeof why);
    if (host == nullptr) {
        std::fprintf(stderr, "irqhost: cannot publish %s\n", why);
        return failed;
    }
    stop_on_signals(host);
    std::fprintf(stderr, "irqhost: publishing %s; Ctrl+C stops\n", describe(options.lines).c_str());

    const ending end = serve(host, options);
    release_stop_signals();
    irqhost_close(host);
    std::fprintf(stderr, "irqhost: stopped\n");
    return end;
}
