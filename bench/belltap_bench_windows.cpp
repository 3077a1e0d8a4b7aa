// What one trigger of bellTap.exe costs on Windows (or under Wine), against a
// no-op .exe built with the same toolchain: spawn to exit, interleaved runs,
// ratio of medians. This program creates the event, as a host would.
#include "event_name.h"
#include "stats.h"
#include "wide_name.h"

#include <cstdio>
#include <cstdlib>
#include <string>
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
    return 0;
}
