#include "ascii_argument.h"
#include "event_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string name_of(const char* text)
{
    return event_name_from_irq(irq_from_text(text)).text;
}

// A name is an event's exactly as a raise composes it, and gives its line.
TEST(EventName, IsReadBackExactlyAsComposed)
{
    const struct {
        const char* name;
        bool event;
        std::uint32_t irq;
    } cases[] = {
        {"OSirq0", true, 0},           {"OSirq3", true, 3},          {"OSirq4294967295", true, 4294967295u},
        {"OSirq1000000000", true, 1000000000u},
        {"OSirq", false, 0},           {"OSirq03", false, 0},        {"OSirq00", false, 0},
        {"OSirq+3", false, 0},         {"OSirq3x", false, 0},        {"OSirq 3", false, 0},
        {"osirq3", false, 0},          {"OSIRQ3", false, 0},         {"xOSirq3", false, 0},
        {".OSirq3.1.0123456789abcdef", false, 0},                    {"OSirq4294967296", false, 0},
        {"OSirq9999999999", false, 0}, {"OSirq18446744073709551616", false, 0}, {"", false, 0},
    };
    for (const auto& c : cases) {
        std::uint32_t irq = 12345;
        EXPECT_EQ(irq_of_event_name(c.name, &irq), c.event) << c.name;
        EXPECT_EQ(irq, c.event ? c.irq : 12345u) << c.name;
    }
}

TEST(IrqFromText, ReadsLikeAtoi)
{
    const struct {
        const char* text;
        std::uint32_t irq;
        const char* name;
    } cases[] = {
        {"3", 3, "OSirq3"},       {"007", 7, "OSirq7"},  {"  5", 5, "OSirq5"},
        {"+6", 6, "OSirq6"},      {"2abc", 2, "OSirq2"}, {"1.5", 1, "OSirq1"},
        {"abc", 0, "OSirq0"},     {"", 0, "OSirq0"},     {"--1", 0, "OSirq0"},
        {"9", 9, "OSirq9"},       {"-1", 4294967295u, "OSirq4294967295"},
        {"-0", 0, "OSirq0"},      {"+-1", 0, "OSirq0"},  {"-+1", 0, "OSirq0"},
        {"+", 0, "OSirq0"},       {"-", 0, "OSirq0"},    {"12 34", 12, "OSirq12"},
        {"- 1", 0, "OSirq0"},     {"0x1F", 0, "OSirq0"}, {"-2", 4294967294u, "OSirq4294967294"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(irq_from_text(c.text), c.irq) << '"' << c.text << '"';
        EXPECT_EQ(name_of(c.text), c.name) << '"' << c.text << '"';
    }
}

TEST(IrqFromText, SkipsExactlyTheSixSpaceCharacters)
{
    EXPECT_EQ(irq_from_text(" \t\n\v\f\r4"), 4u);
    EXPECT_EQ(irq_from_text("\r\n-3"), 4294967293u);
    // Other bytes end the number before it starts, whatever a locale says.
    for (const char* text : {"\x1c" "4", "\xa0" "4", "\x85" "4", "\0" "4", "_4", "\b4"})
        EXPECT_EQ(irq_from_text(text), 0u) << static_cast<int>(text[0]);
}

TEST(IrqFromText, SaturatesAtTheSigned32BitBounds)
{
    EXPECT_EQ(irq_from_text("2147483647"), 2147483647u);
    EXPECT_EQ(irq_from_text("2147483648"), 2147483647u);
    EXPECT_EQ(irq_from_text("4294967295"), 2147483647u);
    EXPECT_EQ(irq_from_text("99999999999999999999"), 2147483647u);
    EXPECT_EQ(irq_from_text("-2147483647"), 2147483649u);
    EXPECT_EQ(irq_from_text("-2147483648"), 2147483648u);
    EXPECT_EQ(irq_from_text("-2147483649"), 2147483648u);
    EXPECT_EQ(irq_from_text("-99999999999999999999"), 2147483648u);
    // Values that a conversion without the per-digit clamp would wrap to a
    // small line: 2^32 + 1, 2^64 + 1, 2^64, 2^65.
    for (const char* text : {"4294967297", "18446744073709551617", "18446744073709551616", "36893488147419103232"})
        EXPECT_EQ(irq_from_text(text), 2147483647u) << text;
    for (const char* text : {"-4294967297", "-18446744073709551617", "-18446744073709551616", "-36893488147419103232"})
        EXPECT_EQ(irq_from_text(text), 2147483648u) << text;
    EXPECT_EQ(name_of("2147483648"), "OSirq2147483647");
    EXPECT_EQ(name_of("-2147483649"), "OSirq2147483648");
}

TEST(IrqFromText, ReadsAnyLengthOfDigits)
{
    const std::string zeros(1'000'000, '0');
    EXPECT_EQ(irq_from_text((zeros + "42").c_str()), 42u);
    EXPECT_EQ(irq_from_text(("-" + zeros + "1").c_str()), 4294967295u);
    EXPECT_EQ(irq_from_text(std::string(1'000'000, '9').c_str()), 2147483647u);
    EXPECT_EQ(irq_from_text(("-" + std::string(1'000'000, '7') + "x").c_str()), 2147483648u);
}

TEST(EventNameFromIrq, IsPrefixAndUnsignedDecimal)
{
    EXPECT_EQ(std::string(event_name_from_irq(0).text), "OSirq0");
    EXPECT_EQ(std::string(event_name_from_irq(10).text), "OSirq10");
    EXPECT_EQ(std::string(event_name_from_irq(4294967295u).text), "OSirq4294967295");
}

TEST(EventNameFromIrq, LeavesTheRestOfTheBufferZero)
{
    const event_name name = event_name_from_irq(4294967295u);
    for (std::size_t i = 15; i < sizeof name.text; ++i)
        ASSERT_EQ(name.text[i], '\0') << i;
}

TEST(AsciiPrefix, EndsAtTheFirstCharacterOutsideAscii)
{
    const struct {
        std::wstring wide;
        std::string ascii;
    } cases[] = {
        {L"", ""}, {L" +42x", " +42x"}, {L"\x7f" L"1", "\x7f" "1"}, {L"12\x80" L"3", "12"},
        {L"\uFF11\uFF12", ""}, {L"7\u2212", "7"}, {std::wstring(100'000, L'9') + L"\u00B2", std::string(100'000, '9')},
    };
    for (auto c : cases)
        EXPECT_EQ(ascii_prefix_in_place(c.wide.data()), c.ascii);
}

} // namespace
