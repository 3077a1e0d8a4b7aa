// What one trigger of bellTap.exe costs on Windows (or under Wine), against a
// no-op .exe built with the same toolchain: spawn to exit, interleaved runs,
// ratio of medians. This program creates the event, as a host would. Then
// what a host of libirqhost costs: raise-to-report with few and many lines,
// interleaved, and opening and closing thousands of lines.
#include "event_name.h"
#include "irqhost.h"
#include "stats.h"
#include "wide_name.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <windows.h>

namespace {

std::wstring beside_me(const wchar_t* relative)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + relative;
}

double now_micros()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// Spawn to exit, in microseconds; exits the benchmark if the run fails.
double run(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const double start = now_micros();
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "cannot run %ls\n", program.c_str());
        std::exit(1);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    const double elapsed = now_micros() - start;
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (code != 0) {
        std::fprintf(stderr, "%ls exited with %lu\n", program.c_str(), code);
        std::exit(1);
    }
    return elapsed;
}

// A host of `count` lines whose wait, on a thread of its own, stamps the
// moment it returns and says so.
struct timed_host {
    std::vector<std::uint32_t> lines;
    irqhost* host = nullptr;
    HANDLE reported = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    double at = 0;
    std::thread waiter;

    timed_host(std::uint32_t first, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i)
            lines.push_back(first + static_cast<std::uint32_t>(i));
        char why[256];
        host = irqhost_open(lines.data(), lines.size(), 0, why, sizeof why);
        if (host == nullptr) {
            std::fprintf(stderr, "cannot publish: %s\n", why);
            std::exit(1);
        }
        waiter = std::thread([this] {
            std::uint32_t set[64];
            while (irqhost_wait(host, -1, set, 64) > 0) {
                at = now_micros();
                SetEvent(reported);
            }
        });
    }
    ~timed_host()
    {
        irqhost_stop(host);
        waiter.join();
        irqhost_close(host);
        CloseHandle(reported);
    }
    timed_host(const timed_host&) = delete;
    timed_host& operator=(const timed_host&) = delete;

    // Raise to report of line `index`, in microseconds.
    double raise(std::size_t index)
    {
        const double start = now_micros();
        if (irqhost_raise(lines[index]) != 0 || WaitForSingleObject(reported, 5000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "the host did not report its line\n");
            std::exit(1);
        }
        return at - start;
    }
};

void host_costs(int runs, std::uint32_t base)
{
    timed_host few(base, 8), many(base + 10'000, 1024);
    std::vector<double> at_8, at_1024;
    for (int i = 0; i < runs; ++i) {
        at_8.push_back(few.raise(static_cast<std::size_t>(i) % 8));
        at_1024.push_back(many.raise(static_cast<std::size_t>(i) * 7919 % 1024));
    }
    std::printf("\n5. A libirqhost host: raise to report (irqhost_raise to the wait's return), %d interleaved runs\n", runs);
    std::printf("  %6s %10s %10s\n", "lines", "p50 (us)", "p90 (us)");
    std::printf("  %6d %10.1f %10.1f\n", 8, quantile(at_8, 0.5), quantile(at_8, 0.9));
    std::printf("  %6d %10.1f %10.1f\n", 1024, quantile(at_1024, 0.5), quantile(at_1024, 0.9));
    std::printf("  1024 lines / 8 lines, p50  %6.3f   (target: at most 1.5)\n", quantile(at_1024, 0.5) / quantile(at_8, 0.5));

    std::vector<std::uint32_t> lines;
    for (std::uint32_t i = 0; i < 4096; ++i)
        lines.push_back(base + 20'000 + i);
    std::vector<double> open_close;
    for (int i = 0; i < 5; ++i) {
        const double start = now_micros();
        irqhost_close(irqhost_open(lines.data(), lines.size(), 0, nullptr, 0));
        open_close.push_back(now_micros() - start);
    }
    std::printf("  open and close of 4096 lines: %.1f ms (median of 5)\n", quantile(open_close, 0.5) / 1000);

    // A wait of 0 looks at every group of 63 lines: what a poll costs with
    // nothing set, and with one line set, by the number of lines.
    std::printf("  a poll (a wait of 0), median of 50:  %6s %14s %14s\n", "lines", "none set (ms)", "one set (ms)");
    for (const std::size_t count : {std::size_t{63}, std::size_t{1024}, std::size_t{4096}}) {
        irqhost* host = irqhost_open(lines.data(), count, 0, nullptr, 0);
        std::vector<double> idle, one;
        std::uint32_t set[64];
        for (int i = 0; i < 50; ++i) {
            double start = now_micros();
            irqhost_wait(host, 0, set, 64);
            idle.push_back(now_micros() - start);
            irqhost_raise(lines[static_cast<std::size_t>(i) * 7919 % count]);
            start = now_micros();
            irqhost_wait(host, 0, set, 64);
            one.push_back(now_micros() - start);
        }
        irqhost_close(host);
        std::printf("  %38zu %14.2f %14.2f\n", count, quantile(idle, 0.5) / 1000, quantile(one, 0.5) / 1000);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 300;
    const std::uint32_t irq = 1'800'000'000u + static_cast<std::uint32_t>(GetCurrentProcessId() % 1'000'000);
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, widen(event_name_from_irq(irq).text).text);
    const std::wstring belltap = beside_me(L"..\\trigger\\bellTap.exe");
    const std::wstring noop = beside_me(L"noop.exe");

    std::vector<double> tap, nothing;
    for (int i = 0; i < runs; ++i) {
        tap.push_back(run(belltap, std::to_wstring(irq)));
        if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "bellTap.exe did not set the event\n");
            return 1;
        }
        nothing.push_back(run(noop, L""));
    }
    CloseHandle(event);

    std::vector<double> r = ratios(tap, nothing);
    std::printf("4. Windows whole-process cost (spawn to exit), %d interleaved runs each\n", runs);
    std::printf("  bellTap.exe %.1f us, no-op .exe %.1f us (medians)\n", quantile(tap, 0.5), quantile(nothing, 0.5));
    std::printf("  bellTap.exe / no-op.exe %6.3f   (p10 %.3f, p90 %.3f)\n", quantile(r, 0.5), quantile(r, 0.1),
                quantile(r, 0.9));

    host_costs(runs, irq + 100'000);
    return 0;
}
