/*
 * FormatMessageW of the host layer with the Internet library's and the
 * system's message tables, as the update worker calls it.
 */
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "text.h"

using testing_text::U8;

namespace {

const DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE;
const DWORD kUserDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
const DWORD kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT);
const DWORD kChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
const DWORD kLangNotFound = 15100;

// Sets the locale variables for one test and puts them back afterwards.
class Locale {
  public:
    Locale(const char* lcAll, const char* lcMessages, const char* lang) {
        const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
        const char* values[] = {lcAll, lcMessages, lang};
        for (int i = 0; i < 3; ++i) {
            const char* old = getenv(names[i]);
            saved_[i] = old ? old : "";
            had_[i] = old != nullptr;
            if (values[i]) {
                setenv(names[i], values[i], 1);
            } else {
                unsetenv(names[i]);
            }
        }
    }
    ~Locale() {
        const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
        for (int i = 0; i < 3; ++i) {
            if (had_[i]) {
                setenv(names[i], saved_[i].c_str(), 1);
            } else {
                unsetenv(names[i]);
            }
        }
    }

  private:
    std::string saved_[3];
    bool had_[3];
};

// The text the worker would show for `code`, or "" with the last error.
std::string Text(DWORD code, DWORD language = kUserDefault, DWORD flags = kFlags,
                 DWORD* error = nullptr) {
    WCHAR buffer[260];
    SetLastError(0xDEAD);
    DWORD n =
        FormatMessageW(flags, GetModuleHandleW(L"WinInet"), code, language, buffer, 260, NULL);
    if (error) {
        *error = n ? 0 : GetLastError();
    }
    return n ? U8(buffer) : std::string();
}

struct LocaleCase {
    const char* why;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    bool chinese;
};

const LocaleCase kLocaleCases[] = {
    {"LANG Chinese", nullptr, nullptr, "zh_CN.UTF-8", true},
    {"LANG English", nullptr, nullptr, "en_US.UTF-8", false},
    {"LANG C", nullptr, nullptr, "C", false},
    {"nothing set", nullptr, nullptr, nullptr, false},
    {"LC_MESSAGES before LANG", nullptr, "zh_CN.UTF-8", "en_US.UTF-8", true},
    {"LC_ALL before both", "en_GB.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8", false},
    {"empty LC_ALL is skipped", "", nullptr, "zh_TW.UTF-8", true},
};

void PrintTo(const LocaleCase& c, std::ostream* os) {
    *os << c.why;
}

class FormatMessageLocale : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(FormatMessageLocale, UserDefaultFollowsLocale) {
    const LocaleCase& c = GetParam();
    Locale locale(c.lcAll, c.lcMessages, c.lang);
    std::string expected = c.chinese ? "无法与服务器建立连接。\r\n"
                                     : "A connection to the server could not be established.\r\n";
    EXPECT_EQ(expected, Text(ERROR_INTERNET_CANNOT_CONNECT)) << c.why;
    EXPECT_EQ(expected, Text(ERROR_INTERNET_CANNOT_CONNECT, 0)) << c.why << " (language 0)";
}

INSTANTIATE_TEST_SUITE_P(Table, FormatMessageLocale, ::testing::ValuesIn(kLocaleCases));

TEST(FormatMessage, ExplicitLanguagesWinOverTheLocale) {
    Locale locale(nullptr, nullptr, "zh_CN.UTF-8");
    EXPECT_EQ("The server name could not be resolved.\r\n",
              Text(ERROR_INTERNET_NAME_NOT_RESOLVED, kEnglish));
    Locale english(nullptr, nullptr, "en_US.UTF-8");
    EXPECT_EQ("无法解析服务器名称。\r\n", Text(ERROR_INTERNET_NAME_NOT_RESOLVED, kChinese));
}

TEST(FormatMessage, OtherLanguagesAreNotFound) {
    DWORD error = 0;
    EXPECT_EQ("", Text(ERROR_INTERNET_TIMEOUT, MAKELANGID(0x07, 0x01), kFlags, &error));
    EXPECT_EQ(kLangNotFound, error);
}

// Every code the layer produces, and the common ones, has a text in both
// languages, ending in CR LF.
TEST(FormatMessage, TextsForTheLayersCodes) {
    const DWORD codes[] = {12001, 12002, 12004, 12005, 12006, 12007, 12012, 12017, 12018,
                           12019, 12029, 12030, 12031, 12152, 12156, 2,     5,     6,
                           8,     14,    50,    87,    122,   1223,  1400,  1460};
    for (DWORD code : codes) {
        for (DWORD language : {kEnglish, kChinese}) {
            std::string text = Text(code, language);
            ASSERT_GT(text.size(), 2u) << code << " in " << language;
            EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << code << " in " << language;
        }
        EXPECT_NE(Text(code, kEnglish), Text(code, kChinese)) << code;
    }
}

TEST(FormatMessage, ModuleTableFirstThenSystem) {
    // 12017 is only in the module's table, 87 only in the system's.
    EXPECT_EQ("The operation was cancelled because the handle it was working on was closed.\r\n",
              Text(ERROR_INTERNET_OPERATION_CANCELLED, kEnglish));
    EXPECT_EQ("A parameter is not valid.\r\n", Text(ERROR_INVALID_PARAMETER, kEnglish));

    DWORD error = 0;
    EXPECT_EQ("", Text(ERROR_INVALID_PARAMETER, kEnglish, FORMAT_MESSAGE_FROM_HMODULE, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), error) << "the module alone has no 87";
    EXPECT_EQ("", Text(ERROR_INTERNET_TIMEOUT, kEnglish, FORMAT_MESSAGE_FROM_SYSTEM, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), error) << "the system has no 12002";
}

TEST(FormatMessage, ProgramModuleHasNoTable) {
    WCHAR buffer[64];
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleW(NULL), 12002,
                                 kEnglish, buffer, 64, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
    // With the system as well, the system's table still answers.
    DWORD n = FormatMessageW(kFlags, GetModuleHandleW(NULL), ERROR_INVALID_PARAMETER, kEnglish,
                             buffer, 64, NULL);
    EXPECT_GT(n, 0u);
    EXPECT_EQ("A parameter is not valid.\r\n", U8(buffer));
}

TEST(FormatMessage, NoTextGivesMidNotFound) {
    DWORD error = 0;
    EXPECT_EQ("", Text(12999, kEnglish, kFlags, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), error);
    EXPECT_EQ("", Text(ERROR_HTTP_NOT_REDIRECTED, kChinese, kFlags, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), error);
}

TEST(FormatMessage, CountExcludesTerminatorAndSizeIncludesIt) {
    const std::string expected = "The URL is not valid.\r\n"; // 23 characters
    WCHAR buffer[64];
    for (DWORD i = 0; i < 64; ++i) {
        buffer[i] = L'#';
    }
    DWORD n = FormatMessageW(kFlags, GetModuleHandleW(L"WinInet"), ERROR_INTERNET_INVALID_URL,
                             kEnglish, buffer, 24, NULL);
    EXPECT_EQ(expected.size(), n);
    EXPECT_EQ(expected, U8(buffer));
    EXPECT_EQ(0, buffer[23]);
    EXPECT_EQ(L'#', buffer[24]) << "nothing written past the text";

    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageW(kFlags, GetModuleHandleW(L"WinInet"), ERROR_INTERNET_INVALID_URL,
                                 kEnglish, buffer, 23, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(FormatMessage, ChineseIntoTheWorkersBuffer) {
    Locale locale(nullptr, nullptr, "zh_CN.UTF-8");
    WCHAR text[512] = L"域名注册失败: ";
    int prefix = lstrlenW(text);
    DWORD n =
        FormatMessageW(kFlags, GetModuleHandleW(L"WinInet"), ERROR_INTERNET_OPERATION_CANCELLED,
                       kUserDefault, text + prefix, 260, NULL);
    EXPECT_GT(n, 0u);
    EXPECT_EQ("域名注册失败: 操作已取消，因为它所使用的句柄已被关闭。\r\n", U8(text));
}

TEST(FormatMessage, AllocatedBufferAndLocalFree) {
    LPWSTR text = nullptr;
    DWORD n =
        FormatMessageW(kFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       GetModuleHandleW(L"WinInet"), ERROR_INTERNET_TIMEOUT, kEnglish,
                       reinterpret_cast<LPWSTR>(&text), 0, NULL);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(static_cast<DWORD>(lstrlenW(text)), n);
    EXPECT_EQ("The request timed out waiting for the server.\r\n", U8(text));
    EXPECT_EQ(nullptr, LocalFree(text));

    // A block LocalFree never handed out is refused, and so is a second free.
    int notABlock = 0;
    SetLastError(0);
    EXPECT_EQ(&notABlock, LocalFree(&notABlock));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(nullptr, LocalFree(nullptr));
}

TEST(FormatMessage, BadArguments) {
    WCHAR buffer[64];
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageW(0, NULL, 2, kEnglish, buffer, 64, NULL)) << "no source";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, NULL, 2, kEnglish, NULL, 64, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

} // namespace
