// The host formatter and PrintFormat, with writes scripted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "diagnostics/messages.h"
#include "diagnostics/print_format.h"
#include "tests/format_call.h"
#include "tests/scripted_platform/scripted_platform.h"

namespace {

using scripted::kError;

// Each catalogue line with its arguments, byte for byte: the length counts
// what is stored, and the zero after it is stored too.
TEST(Formatter, CatalogueTexts)
{
    char buffer[1025];
    const struct {
        std::string got;
        std::string expected;
    } cases[] = {
        {std::string(buffer, FormatCall(buffer, MSG_READFILE, (DWORD)5)), "ReadFile() returned error 5\r\n"},
        {std::string(buffer, FormatCall(buffer, MSG_WRITEFILE, (DWORD)0)),
         "WriteFile() returned error 0\r\n"},
        {std::string(buffer, FormatCall(buffer, MSG_SHORT_WRITE, (DWORD)40, (DWORD)78)),
         "WriteFile() failed, 40 of 78 characters written\r\n"},
        {std::string(buffer, FormatCall(buffer, MSG_GETSTDHANDLE, NAME_STD_INPUT_HANDLE, (DWORD)6)),
         "GetStdHandle(STD_INPUT_HANDLE) returned error 6\r\n"},
        {std::string(buffer, FormatCall(buffer, MSG_CLOSEHANDLE, (DWORD)0x80000000u)),
         "CloseHandle() returned error 2147483648\r\n"},
        {std::string(buffer, FormatCall(buffer, MSG_CLOSEHANDLE, (DWORD)0xFFFFFFFFu)),
         "CloseHandle() returned error 4294967295\r\n"},
        {std::string(buffer, FormatCall(buffer, "100%% %s", (const char *)nullptr)), "100% (null)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.got, c.expected);
    EXPECT_EQ(cases[0].got.size(), 29u);
}

// Strings longer than the formatter's 1024 characters are cut, never overrun.
TEST(Formatter, StoresAtMost1024CharactersAndAZero)
{
    std::string longText(5000, 'x');
    for (size_t prefix : {0u, 1u, 1000u, 1023u, 1024u, 1030u}) {
        std::string format = std::string(prefix, 'p') + "%s%lu";
        char buffer[1100];
        memset(buffer, '#', sizeof buffer);
        int n = FormatCall(buffer, format.c_str(), longText.c_str(), (DWORD)12345);
        ASSERT_EQ(n, 1024) << prefix;
        EXPECT_EQ(buffer[1024], '\0');
        EXPECT_EQ(buffer[1025], '#');
        EXPECT_EQ(std::string(buffer, std::min<size_t>(prefix, 1024)),
                  std::string(std::min<size_t>(prefix, 1024), 'p'));
    }
    // A number is cut digit by digit.
    std::string format = std::string(1020, 'p') + "%lu";
    char buffer[1100];
    ASSERT_EQ(FormatCall(buffer, format.c_str(), (DWORD)12345), 1024);
    EXPECT_EQ(std::string(buffer + 1020), "1234");
}

// A conversion it does not know stands for its character, and no argument
// is taken for it; a "%" at the very end ends the text, and nothing past the
// format's zero is read.
TEST(Formatter, UnknownConversionsAndATrailingPercent)
{
    char buffer[1025];
    // Letters on both sides of s, l and u: each is told by equality, not order.
    EXPECT_EQ(std::string(buffer, FormatCall(buffer, "%lx %d %l|%ld %hu %zu %x %lu", (DWORD)7)),
              "lx d l|ld hu zu x 7");
    const char trailing[] = "50%\0X";
    EXPECT_EQ(std::string(buffer, FormatCall(buffer, trailing)), "50");
}

struct PrintCase {
    const char *name;
    scripted::WriteStep step;
    BOOL expected;
};

TEST(PrintFormat, ResultFollowsTheWrite)
{
    const PrintCase cases[] = {
        {"whole", {}, TRUE},
        {"short", {5}, FALSE},
        {"none taken", {0}, FALSE},
        {"failed", {0, 232}, FALSE},
        {"failed without a code", {0, 0}, FALSE},
        {"failed after taking it all", {scripted::WriteStep::kAll, 232}, FALSE},
    };
    for (const PrintCase &c : cases) {
        scripted::Script script;
        script.writes[kError].push_back(c.step);
        scripted::Reset(script);
        EXPECT_EQ(PrintFormat(kError, MSG_READFILE, (DWORD)5), c.expected) << c.name;
        auto writes = scripted::CallsOf(scripted::Call::WriteFile);
        ASSERT_EQ(writes.size(), 1u) << c.name;
        EXPECT_EQ(writes[0].data, "ReadFile() returned error 5\r\n") << "no terminating zero: " << c.name;
        EXPECT_FALSE(writes[0].overlapped);
    }
}

// An empty text is not written; one character is a text like any other; a
// text cut at 1024 characters fills the buffer to its last byte, the zero.
TEST(PrintFormat, TextLengths)
{
    const std::string longText(1030, 'x');
    const struct {
        const char *format;
        std::string written;
    } cases[] = {{"", ""}, {"x", "x"}, {longText.c_str(), longText.substr(0, 1024)}};
    for (const auto &c : cases) {
        scripted::Reset(scripted::Script());
        EXPECT_EQ(PrintFormat(kError, c.format), !c.written.empty()) << c.written.size();
        EXPECT_EQ(scripted::WrittenTo(kError), c.written);
        EXPECT_EQ(scripted::Calls().size(), c.written.empty() ? 0u : 1u);
    }
}

}  // namespace
