// wsprintfW: the conversions the program uses, and Windows' limits.
#include <gtest/gtest.h>

#include <windows.h>

#include "text.h"

using testing_text::U8;

namespace {

// How Windows lays numbers out (Wine's dlls/user32/wsprintf.c does the same):
// the "0x" prefix stands outside the width, which counts the sign and digits.
struct NumberRow {
    LPCWSTR format;
    int value;
    const char* expected;
    const char* why;
};

const NumberRow kNumberRows[] = {
    {L"%#08X", 12345, "0X00003039", "zero padding fills eight digits after the prefix"},
    {L"%#08X", 12029, "0X00002EFD", "the program's form for a WinInet code"},
    {L"%#08X", static_cast<int>(0x80070005u), "0X80070005", "eight digits need no padding"},
    {L"%#8x", 255, "      0xff", "space padding counts the digits, not the prefix"},
    {L"%-#8x|", 255, "0xff      |", "left alignment pads after the prefix and digits"},
    {L"%#x", 0, "0x0", "zero keeps its prefix"},
    {L"%05d", -42, "-0042", "the sign goes before the zeros and counts in the width"},
    {L"%.3d", -5, "-05", "the precision counts the sign too"},
    {L"%.3u", 7, "007", "the precision zero-fills"},
    {L"%-05d|", 42, "42   |", "left alignment drops zero padding"},
};

TEST(Wsprintf, NumbersAsWindowsLaysThemOut) {
    WCHAR buf[64];
    for (const NumberRow& row : kNumberRows) {
        int n = wsprintfW(buf, row.format, row.value);
        EXPECT_EQ(U8(buf), row.expected) << row.why;
        EXPECT_EQ(n, static_cast<int>(std::string(row.expected).size())) << row.why;
    }
}

TEST(Wsprintf, Conversions) {
    WCHAR buf[1100];
    EXPECT_EQ(wsprintfW(buf, L"%s%hs", L"域名注册成功: ", "good 1.2.3.4"), 20);
    EXPECT_EQ(U8(buf), "域名注册成功: good 1.2.3.4");
    wsprintfW(buf, L"%#x|%x|%X|%08x", 255u, 255u, 255u, 255u);
    EXPECT_EQ(U8(buf), "0xff|ff|FF|000000ff");
    wsprintfW(buf, L"%d|%i|%u|%5d|%-5d|%05d", -42, 7, 4000000000u, 42, 42, -42);
    EXPECT_EQ(U8(buf), "-42|7|4000000000|   42|42   |-0042");
    wsprintfW(buf, L"[%.3s][%5s][%-5s][%.2hs]", L"abcdef", L"ab", L"ab", "xyz");
    EXPECT_EQ(U8(buf), "[abc][   ab][ab   ][xy]");
    wsprintfW(buf, L"%c%hc%C|%S|%ls|%ws", L'中', 'a', 'b', "narrow", L"wide", L"w2");
    EXPECT_EQ(U8(buf), "中ab|narrow|wide|w2");
    wsprintfW(buf, L"100%% %s %hs", static_cast<LPCWSTR>(nullptr),
              static_cast<const char*>(nullptr));
    EXPECT_EQ(U8(buf), "100% (null) (null)");
    wsprintfW(buf, L"%hs", "caf\xC3\xA9 \xFF");
    EXPECT_EQ(U8(buf), "café \xEF\xBF\xBD") << "narrow text is UTF-8; a bad byte is U+FFFD";
}

TEST(Wsprintf, UrlWithRawValues) {
    WCHAR buf[512];
    wsprintfW(buf, L"http://%s:%s@127.0.0.1/dyndns/update?hostname=%s&mx=%s", L"u:x", L"p@&/",
              L"h.example", L"h.example");
    EXPECT_EQ(U8(buf), "http://u:x:p@&/@127.0.0.1/dyndns/update?hostname=h.example&mx=h.example");
}

TEST(Wsprintf, StoresAtMost1024CharactersWithTheTerminator) {
    static WCHAR big[3000];
    static WCHAR out[3000];
    for (int i = 0; i < 2000; ++i) {
        big[i] = L'x';
    }
    big[2000] = 0;
    out[1023] = L'#';
    out[1024] = L'#';
    EXPECT_EQ(wsprintfW(out, L"%s", big), 1023);
    EXPECT_EQ(out[1023], 0);
    EXPECT_EQ(out[1024], L'#') << "nothing written past the limit";
}

} // namespace
