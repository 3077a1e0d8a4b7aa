// The built bellTap.exe against events this process creates, as a host would.
// Line numbers come from the process id, far above any line a real host uses.
#include "windows_test.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>
#include <sddl.h>

namespace {

using namespace test_support;

struct outcome {
    DWORD exit_code;
    std::string out;
    std::string err;
};

std::string read_all(HANDLE pipe)
{
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    CloseHandle(pipe);
    return text;
}

// Runs bellTap.exe with `arguments` (the text after the program name).
outcome run_belltap(const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    if (!CreatePipe(&out_read, &out_write, &inheritable, 0) || !CreatePipe(&err_read, &err_write, &inheritable, 0))
        return {~0u - 100, "", "CreatePipe failed"};
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

    const std::wstring program = beside_this_program(L"..\\bellTap.exe");
    std::wstring command_line = L"\"" + program + L"\"";
    if (!arguments.empty())
        command_line += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (!started) {
        CloseHandle(out_read);
        CloseHandle(err_read);
        return {~0u - 101, "", "CreateProcessW failed"};
    }
    outcome result{};
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        result = {~0u - 102, "", "bellTap.exe still ran after 10 s"};
    } else {
        // Its output is a line at most, which the pipe holds until read.
        result.out = read_all(out_read);
        result.err = read_all(err_read);
        GetExitCodeProcess(process.hProcess, &result.exit_code);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}

std::uint32_t test_line(unsigned offset)
{
    return 1'500'000'000u + static_cast<std::uint32_t>(GetCurrentProcessId() % 1'000'000) * 100u + offset;
}

std::wstring argument(std::uint32_t irq)
{
    return std::to_wstring(irq);
}

// An event this test creates as the host, closed when the test ends.
struct hosted_event {
    std::uint32_t irq;
    HANDLE handle;

    hosted_event(std::uint32_t line, BOOL manual_reset, BOOL initially_set = FALSE,
                 SECURITY_ATTRIBUTES* security = nullptr)
        : irq(line), handle(CreateEventW(security, manual_reset, initially_set, widen(name_of(line).c_str()).text))
    {
        EXPECT_NE(handle, nullptr);
    }
    ~hosted_event() { CloseHandle(handle); }
    hosted_event(const hosted_event&) = delete;
    hosted_event& operator=(const hosted_event&) = delete;

    // Tests the state; for an automatic-reset event this takes it.
    bool is_set() const { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }
};

TEST(Usage, NoArgumentPrintsUsageAndExitsMinusOne)
{
    const outcome r = run_belltap(L"");
    EXPECT_EQ(r.exit_code, 0xFFFFFFFFu);
    EXPECT_EQ(r.out, "Usage: bellTap <number of irq 0 ... 7>\r\n");
    EXPECT_EQ(r.err, "");
}

TEST(Failure, MissingEventIsNamed)
{
    const std::uint32_t irq = test_line(1);
    const outcome r = run_belltap(argument(irq));
    EXPECT_EQ(r.exit_code, 0xFFFFFFFEu);
    EXPECT_EQ(r.out, "Could not open " + name_of(irq) + " - exiting\r\n");
    EXPECT_EQ(r.err, "");
}

TEST(Trigger, SetsAManualResetEventSilently)
{
    hosted_event host(test_line(2), TRUE);
    const outcome r = run_belltap(argument(host.irq));
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(host.is_set());
    EXPECT_TRUE(host.is_set());
}

TEST(Trigger, SetsAnAutomaticResetEventOnce)
{
    hosted_event host(test_line(3), FALSE);
    EXPECT_EQ(run_belltap(argument(host.irq)).exit_code, 0u);
    EXPECT_TRUE(host.is_set());
    EXPECT_FALSE(host.is_set());
}

TEST(Trigger, UsesOnlyTheFirstArgument)
{
    hosted_event first(test_line(4), TRUE);
    hosted_event second(test_line(5), TRUE);
    EXPECT_EQ(run_belltap(argument(first.irq) + L" " + argument(second.irq)).exit_code, 0u);
    EXPECT_TRUE(first.is_set());
    EXPECT_FALSE(second.is_set());
}

TEST(Trigger, AlreadySignalledEventStaysSignalled)
{
    hosted_event host(test_line(6), TRUE, TRUE);
    EXPECT_EQ(run_belltap(argument(host.irq)).exit_code, 0u);
    EXPECT_TRUE(host.is_set());
}

TEST(Trigger, ConvertsTheArgumentLikeAtoi)
{
    hosted_event host(test_line(7), TRUE);
    EXPECT_EQ(run_belltap(L"\" +000" + argument(host.irq) + L".5x\"").exit_code, 0u);
    EXPECT_TRUE(host.is_set());

    hosted_event upper(0u - test_line(8), TRUE);
    EXPECT_EQ(run_belltap(L"-" + argument(test_line(8))).exit_code, 0u);
    EXPECT_TRUE(upper.is_set());
}

// Characters outside ASCII end the number, as on Linux, whatever they look
// like; ASCII white space, signs and digits still read as before.
TEST(Trigger, LookAlikeCharactersEndTheNumber)
{
    const struct {
        const wchar_t* argument;
        const char* line;
    } cases[] = {
        {L"\uFF11\uFF12", "0"},  // full-width digits
        {L"\u22125", "0"},        // MINUS SIGN
        {L"\uFF0B7", "0"},        // full-width plus sign
        {L"\"\u30007\"", "0"},    // ideographic space
        {L"1\uFF12", "1"},        // a digit, then a look-alike
        {L"\"\t-\u00B2\"", "0"},  // superscript two
    };
    for (const auto& c : cases) {
        const outcome r = run_belltap(c.argument);
        EXPECT_EQ(r.exit_code, 0xFFFFFFFEu) << c.line;
        EXPECT_EQ(r.out, std::string("Could not open OSirq") + c.line + " - exiting\r\n");
    }
}

TEST(Rights, SetWithoutFullAccessIsRefused)
{
    // Everyone may wait on the event and set it, but nothing more.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;0x00100002;;;WD)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    hosted_event host(test_line(9), TRUE, FALSE, &security);
    LocalFree(descriptor);

    const HANDLE setter = OpenEventW(EVENT_MODIFY_STATE, FALSE, widen(name_of(host.irq).c_str()).text);
    EXPECT_NE(setter, nullptr) << "setting alone is granted";
    CloseHandle(setter);

    const outcome r = run_belltap(argument(host.irq));
    EXPECT_EQ(r.exit_code, 0xFFFFFFFEu);
    EXPECT_EQ(r.out, "Could not open " + name_of(host.irq) + " - exiting\r\n");
    EXPECT_FALSE(host.is_set());
}

TEST(Names, ADifferentCaseIsAnotherEvent)
{
    const std::uint32_t irq = test_line(10);
    const std::wstring other_case = L"osIRQ" + argument(irq);
    const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, other_case.c_str());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(run_belltap(argument(irq)).exit_code, 0xFFFFFFFEu);
    EXPECT_NE(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    CloseHandle(handle);
}

} // namespace
