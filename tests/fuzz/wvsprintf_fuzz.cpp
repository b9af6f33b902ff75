// The host wvsprintfA against the C library's vsnprintf, on the message
// formats and on formats built of the conversions it knows ("%s", "%lu",
// "%%") and plain characters, with any arguments: strings of up to several
// thousand characters and any 32-bit numbers. Whatever the arguments, it
// stores the first 1024 characters of the full text and a zero, never more,
// and returns the count stored. The output buffer is allocated at exactly
// 1025 bytes, so AddressSanitizer sees any store past it.
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>
#include <vector>

#include "diagnostics/messages.h"
#include "platform/platform.h"
#include "tests/format_call.h"

namespace {

const size_t kMaxChars = 1024;
const size_t kMaxConversions = 4;

const char *const kMessages[] = {MSG_GETSTDHANDLE, MSG_READFILE, MSG_WRITEFILE, MSG_SHORT_WRITE,
                                 MSG_CLOSEHANDLE};

struct Case {
    std::string format;       // for wvsprintfA
    std::string reference;    // the same, for vsnprintf
    std::string conversions;  // 's' or 'u', one per argument, in order
    std::vector<std::string> strings;
    std::vector<DWORD> numbers;
};

// The format's conversions, in order, and the same format for vsnprintf.
void Parse(Case &c)
{
    for (size_t i = 0; i < c.format.size(); i++) {
        if (c.format[i] != '%') {
            c.reference += c.format[i];
        } else if (c.format.compare(i, 3, "%lu") == 0) {
            c.reference += "%" PRIu32;
            c.conversions += 'u';
            i += 2;
        } else {
            c.reference += c.format.substr(i, 2);
            if (c.format[i + 1] == 's')
                c.conversions += 's';
            i++;
        }
    }
}

std::string MessageFormat(FuzzedDataProvider &in)
{
    return kMessages[in.ConsumeIntegralInRange<size_t>(0, sizeof kMessages / sizeof kMessages[0] - 1)];
}

// Pieces of plain text (never '%' or a zero) and conversions, at most
// kMaxConversions that take an argument.
std::string BuiltFormat(FuzzedDataProvider &in)
{
    std::string format;
    size_t conversions = 0;
    size_t pieces = in.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t p = 0; p < pieces; p++) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            for (char ch : in.ConsumeRandomLengthString(64))
                if (ch != '%' && ch != 0)
                    format += ch;
            break;
        case 1:
            format += "%%";
            break;
        default:
            if (conversions < kMaxConversions) {
                format += in.ConsumeBool() ? "%s" : "%lu";
                conversions++;
            }
        }
    }
    return format;
}

// A string argument: a random piece, repeated to up to about 4000 characters.
std::string StringArgument(FuzzedDataProvider &in)
{
    std::string piece;
    for (char ch : in.ConsumeRandomLengthString(32))
        if (ch != 0)
            piece += ch;
    size_t repeat = in.ConsumeIntegralInRange<size_t>(1, 128);
    std::string s;
    for (size_t i = 0; i < repeat; i++)
        s += piece;
    return s;
}

std::string CallVsnprintf(const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    std::string text((size_t)n + 1, '\0');
    vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    va_end(args);
    text.resize((size_t)n);
    return text;
}

// Both formatters, with the case's arguments passed as a real variable
// argument list: each conversion in turn adds a string or a DWORD.
template <typename... Args>
void Check(const Case &c, size_t next, size_t strings, size_t numbers, Args... args)
{
    if constexpr (sizeof...(Args) < kMaxConversions) {
        if (next < c.conversions.size()) {
            if (c.conversions[next] == 's')
                Check(c, next + 1, strings + 1, numbers, args..., c.strings[strings].c_str());
            else
                Check(c, next + 1, strings, numbers + 1, args..., c.numbers[numbers]);
            return;
        }
    }
    std::unique_ptr<char[]> buffer(new char[kMaxChars + 1]);
    memset(buffer.get(), 0x55, kMaxChars + 1);
    int count = FormatCall(buffer.get(), c.format.c_str(), args...);

    std::string expected = CallVsnprintf(c.reference.c_str(), args...).substr(0, kMaxChars);
    if (count < 0 || (size_t)count != expected.size())
        abort();
    if (buffer[count] != 0 || std::string(buffer.get(), (size_t)count) != expected)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Case c;
    c.format = in.ConsumeBool() ? MessageFormat(in) : BuiltFormat(in);
    Parse(c);
    for (char kind : c.conversions) {
        if (kind == 's')
            c.strings.push_back(StringArgument(in));
        else
            c.numbers.push_back(in.ConsumeIntegral<DWORD>());
    }
    Check(c, 0, 0, 0);
    return 0;
}
