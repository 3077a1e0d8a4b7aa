// irqhost.exe as a user meets it: what it publishes and prints, what it
// refuses, and that each way a stop comes ends it and withdraws its events.
// Ctrl+C comes from a console of the test's own, which the host shares.
#include "irqhost.h"
#include "windows_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// How long a host or a list may take to end: Wine on a busy machine is slow
// to start and end a process, and only a hang should run out of it.
constexpr DWORD ends_within_ms = 60'000;

using namespace test_support;

std::uint32_t test_line(unsigned offset)
{
    return 1'400'000'000u + static_cast<std::uint32_t>(GetCurrentProcessId() % 100'000) * 5'000u + offset;
}

// Appends what the pipe holds by now, without blocking.
void read_available(HANDLE pipe, std::string* text)
{
    char buffer[4096];
    DWORD available = 0, n = 0;
    while (pipe != nullptr && PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text->append(buffer, n);
}

enum class output { pipe, none, bogus, unread };

// irqhost.exe with `arguments`, its standard output and error read here.
struct host_process {
    PROCESS_INFORMATION process{};
    HANDLE out = nullptr, err = nullptr;
    std::string out_text, err_text;

    host_process(const std::wstring& arguments, output to)
    {
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        HANDLE out_write = nullptr, err_write = nullptr;
        if (to == output::pipe || to == output::unread)
            CreatePipe(&out, &out_write, &inheritable, to == output::unread ? 1 : 0);
        CreatePipe(&err, &err_write, &inheritable, 0);
        if (out != nullptr)
            SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(err, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = to == output::bogus ? reinterpret_cast<HANDLE>(0x1234) : out_write;
        startup.hStdError = err_write;
        std::wstring command_line = L"\"" + beside_this_program(L"irqhost.exe") + L"\" " + arguments;
        EXPECT_TRUE(CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                   &process));
        if (out_write != nullptr)
            CloseHandle(out_write);
        CloseHandle(err_write);
    }
    ~host_process()
    {
        if (exit_code(0) == STILL_ACTIVE)
            TerminateProcess(process.hProcess, 99);
        for (const HANDLE h : {process.hProcess, process.hThread, out, err})
            if (h != nullptr)
                CloseHandle(h);
    }
    host_process(const host_process&) = delete;
    host_process& operator=(const host_process&) = delete;

    // Until standard error (says) or output (printed) holds `text`, 10 s at most.
    bool says(const std::string& text) { return holds(err, &err_text, text); }
    bool printed(const std::string& text) { return holds(out, &out_text, text); }
    static bool holds(HANDLE pipe, std::string* read, const std::string& text)
    {
        for (int i = 0; i < 1000; ++i) {
            read_available(pipe, read);
            if (read->find(text) != std::string::npos)
                return true;
            Sleep(10);
        }
        return false;
    }
    // Its exit code within `ms`, or STILL_ACTIVE; what it writes meanwhile
    // is read, so that it never waits on a full standard error.
    DWORD exit_code(DWORD ms)
    {
        DWORD code = STILL_ACTIVE;
        const ULONGLONG deadline = GetTickCount64() + ms;
        do {
            read_available(err, &err_text);
            if (process.hProcess != nullptr && WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) {
                GetExitCodeProcess(process.hProcess, &code);
                break;
            }
        } while (GetTickCount64() < deadline);
        read_available(err, &err_text);
        return code;
    }
};

// A console of the test's own, which the hosts it starts share; Ctrl+C
// there reaches the test too, which takes it as handled.
void prepare_console()
{
    static const bool made = [] {
        FreeConsole();
        const bool allocated = AllocConsole() != 0;
        SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE);
        return allocated;
    }();
    ASSERT_TRUE(made);
}

void press_ctrl_c()
{
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
}

std::wstring arguments_of(const std::vector<std::uint32_t>& lines)
{
    std::wstring text;
    for (const std::uint32_t line : lines)
        text += std::to_wstring(line) + L" ";
    return text;
}

std::vector<std::uint32_t> lines_from(unsigned offset, std::size_t count)
{
    std::vector<std::uint32_t> lines;
    for (std::size_t i = 0; i < count; ++i)
        lines.push_back(test_line(offset + static_cast<unsigned>(i)));
    return lines;
}

// A line that is not plain ASCII decimal digits, as the command line has
// it (UTF-16), is no line: the usage and status 2, nothing published.
TEST(CommandLine, RefusesWhatIsNoLineAndSaysItsVersion)
{
    prepare_console();
    const std::wstring refused[] = {L"\xFF13", L"1\xFF12", L"\x0663", L"-m 8 5", L"5 5", L"--bogus 5", L"-x 5"};
    for (const std::wstring& arguments : refused) {
        host_process host(arguments, output::pipe);
        EXPECT_EQ(host.exit_code(ends_within_ms), 2u) << "a refused command line";
        EXPECT_TRUE(host.says("usage: irqhost"));
    }
    host_process version(L"--version", output::pipe);
    EXPECT_EQ(version.exit_code(ends_within_ms), 0u);
    EXPECT_TRUE(version.printed(std::string("irqhost ") + IRQHOST_DEMO_VERSION + "\r\n"));
}

// More lines than one wait of the system takes, each interrupt printed as
// it comes, and Ctrl+C ends it cleanly with its events withdrawn; with its
// standard output missing, or a handle to nothing, it serves just the same.
TEST(Host, PublishesManyLinesAndCtrlCWithdrawsThem)
{
    prepare_console();
    const std::vector<std::uint32_t> lines = lines_from(0, 100);
    for (const output to : {output::pipe, output::none, output::bogus}) {
        host_process host(arguments_of(lines), to);
        ASSERT_TRUE(host.says("irqhost: publishing 100 lines: " + name_of(lines[0]) + ", "));
        for (const std::uint32_t line : {lines[0], lines[99], lines[64]}) {
            EXPECT_EQ(irqhost_raise(line), 0);
            if (to == output::pipe) {
                EXPECT_TRUE(host.printed("irq " + std::to_string(line) + "\r\n"));
            }
        }
        Sleep(200);
        EXPECT_EQ(host.exit_code(0), STILL_ACTIVE) << "it ended after an interrupt: " << (host.says("~"), host.err_text);
        press_ctrl_c();
        EXPECT_EQ(host.exit_code(ends_within_ms), 0u);
        EXPECT_TRUE(host.says("irqhost: stopped"));
        EXPECT_FALSE(published(lines[0]) || published(lines[99]));
    }
}

// A stop comes while a write to an output that nobody reads is blocked, or
// before the host has published all its lines: either way it ends and
// leaves no event.
TEST(Host, CtrlCEndsItWhateverItIsDoing)
{
    prepare_console();
    const std::vector<std::uint32_t> few = lines_from(200, 2);
    {
        host_process host(arguments_of(few), output::unread);
        ASSERT_TRUE(host.says("irqhost: publishing 2 lines"));
        // Raised until a raise stays unreported: the host is blocked in a
        // write to its full output then (it resets a line as it reports it).
        const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, widen(name_of(few[0]).c_str()).text);
        ASSERT_NE(event, nullptr);
        bool blocked = false;
        for (int i = 0; i < 20000 && !blocked; ++i) {
            irqhost_raise(few[0]);
            blocked = true;
            for (int waited = 0; waited < 100 && blocked; ++waited)
                blocked = WaitForSingleObject(event, 0) == WAIT_OBJECT_0 && (Sleep(waited < 10 ? 0 : 2), true);
        }
        CloseHandle(event);
        ASSERT_TRUE(blocked) << "the host's output never filled";
        press_ctrl_c();
        EXPECT_EQ(host.exit_code(ends_within_ms), 0u) << "a stop blocked in a write";
        EXPECT_FALSE(published(few[0]) || published(few[1])) << "a stop blocked in a write";
    }
    // Pressed as soon as the first line exists: the stop is kept until the
    // host is whole, and then it withdraws its lines as after any stop.
    const std::vector<std::uint32_t> many = lines_from(300, 1000);
    host_process host(arguments_of(many), output::pipe);
    for (int i = 0; i < 1000 && !published(many[0]); ++i)
        Sleep(1);
    press_ctrl_c();
    EXPECT_EQ(host.exit_code(ends_within_ms), 0u);
    EXPECT_TRUE(host.says("irqhost: stopped")) << "a stop before the host was whole was lost";
    EXPECT_FALSE(published(many[0]) || published(many[999])) << "a stop before the host was whole";
}

// A count, a time allowed, time stamps, a range of lines and the list of
// what is published, as on Linux: each way of ending withdraws the lines,
// with status 0, or 3 where the count was not reached in time.
TEST(Options, CountTimeoutTimestampsRangesAndTheList)
{
    prepare_console();
    const std::vector<std::uint32_t> two = lines_from(1400, 2);
    const std::wstring range = std::to_wstring(two[0]) + L"-" + std::to_wstring(two[1]);
    {
        host_process host(L"-n 2 --timestamp " + range, output::pipe);
        ASSERT_TRUE(host.says("irqhost: publishing 2 lines: " + name_of(two[0]) + ", " + name_of(two[1])));
        host_process list(L"--list", output::pipe);
        EXPECT_EQ(list.exit_code(ends_within_ms), 0u) << list.err_text;
        for (const std::uint32_t line : two)
            EXPECT_TRUE(list.printed(name_of(line) + "\t" + std::to_string(line) + "\t")) << list.out_text;
        EXPECT_NE(list.out_text.find("\t-\tlive\t-\r\n"), std::string::npos) << list.out_text;
        const long long now = static_cast<long long>(std::time(nullptr));
        for (const std::uint32_t line : two) {
            EXPECT_EQ(irqhost_raise(line), 0);
            EXPECT_TRUE(host.printed(" irq " + std::to_string(line) + "\r\n"));
        }
        EXPECT_EQ(host.exit_code(ends_within_ms), 0u) << "-n 2: " << host.err_text;
        const long long stamp = std::atoll(host.out_text.c_str());
        EXPECT_TRUE(stamp >= now - 1 && stamp <= now + 10) << host.out_text;
        EXPECT_EQ(host.out_text[host.out_text.find(' ') - 7], '.') << "microseconds: " << host.out_text;
        EXPECT_FALSE(published(two[0]) || published(two[1]));
    }
    for (const auto& [arguments, status] : {std::pair{L"-n 1 -t 0.3 ", 3u}, std::pair{L"--timeout 0.3 ", 0u}}) {
        host_process host(arguments + std::to_wstring(two[0]), output::pipe);
        EXPECT_EQ(host.exit_code(ends_within_ms), status) << host.err_text;
        EXPECT_FALSE(published(two[0]));
    }
}

} // namespace
