// kernel32 and shlwapi string functions, with Windows' edge semantics.
#include <gtest/gtest.h>

#include <shlwapi.h>
#include <windows.h>

#include "text.h"

using testing_text::U8;

namespace {

struct CopyCase {
    const char* why;
    int count;
    const char* expected;
};

TEST(LstrcpynW, CountIncludesTheTerminator) {
    const CopyCase cases[] = {
        {"room for all", 10, "abcdef"},           {"exact fit", 7, "abcdef"},
        {"one short cuts one", 6, "abcde"},       {"count 1 stores only the terminator", 1, ""},
        {"count 2 stores one character", 2, "a"},
    };
    for (const CopyCase& c : cases) {
        WCHAR buf[16];
        for (WCHAR& w : buf) {
            w = L'#';
        }
        EXPECT_EQ(lstrcpynW(buf, L"abcdef", c.count), buf) << c.why;
        EXPECT_EQ(U8(buf), c.expected) << c.why;
        EXPECT_EQ(buf[c.count], L'#') << c.why << ": wrote past the count";
    }
}

TEST(LstrcpynW, CountZeroWritesNothing) {
    WCHAR buf[4] = {L'x', L'y', 0, 0};
    lstrcpynW(buf, L"abc", 0);
    EXPECT_EQ(U8(buf), "xy");
}

TEST(Lstrcmpi, IgnoresCaseIncludingNonAscii) {
    EXPECT_EQ(lstrcmpiW(L"关闭(&C))", L"关闭(&c))"), 0);
    EXPECT_EQ(lstrcmpiW(L"ÄBC", L"äbc"), 0);
    EXPECT_EQ(lstrcmpiW(L"ПРИВЕТ", L"привет"), 0);
    EXPECT_EQ(lstrcmpiW(L"\u0178", L"\u00FF"), 0) << "Y with diaeresis folds into Latin-1";
    EXPECT_NE(lstrcmpiW(L"\u0178", L"\u017A"), 0);
    EXPECT_LT(lstrcmpiW(L"abc", L"ABD"), 0);
    EXPECT_GT(lstrcmpiW(L"abcd", L"ABC"), 0);
    EXPECT_NE(lstrcmpiW(L"取消(&C)", L"关闭(&C))"), 0);
    EXPECT_NE(lstrcmpW(L"abc", L"ABC"), 0);
    EXPECT_EQ(lstrlenW(L"正在启动 Tovix..."), 13);
    EXPECT_EQ(lstrlenW(nullptr), 0);
}

TEST(StrCmpNIW, ComparesAtMostNCharacters) {
    EXPECT_EQ(StrCmpNIW(L"-SLIENTxyz", L"-Slient", 7), 0);
    EXPECT_EQ(StrCmpNIW(L"-Slien", L"-Slient", 7) < 0, true) << "a shorter text differs";
    EXPECT_NE(StrCmpNIW(L"-Silent", L"-Slient", 7), 0);
    EXPECT_EQ(StrCmpNIW(L"", L"-Slient", 0), 0);
    EXPECT_NE(StrCmpNIW(L"", L"-Slient", 7), 0);
}

TEST(StrChrW, FindsTheFirstOccurrenceButNeverTheTerminator) {
    LPCWSTR s = L"a b c";
    EXPECT_EQ(StrChrW(s, L' '), s + 1);
    EXPECT_EQ(StrChrW(s, L'z'), nullptr);
    EXPECT_EQ(StrChrW(s, 0), nullptr);
    EXPECT_EQ(StrChrW(L"a\tb", L' '), nullptr);
}

TEST(StrCmpNA, CaseMatters) {
    EXPECT_EQ(StrCmpNA("good 1.2.3.4", "good", 4), 0);
    EXPECT_NE(StrCmpNA("GOOD 1.2.3.4", "good", 4), 0);
    EXPECT_EQ(StrCmpNA("nochg", "nochg", 5), 0);
    EXPECT_NE(StrCmpNA("noch", "nochg", 5), 0);
    EXPECT_NE(StrCmpNA("", "good", 4), 0);
    EXPECT_GT(StrCmpNA("\xE4", "a", 1), 0) << "bytes compare unsigned";
}

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    DWORD seen = 0;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            *static_cast<DWORD*>(p) = GetLastError();
            SetLastError(99);
            return 7;
        },
        &seen, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_FALSE(CloseHandle(t)) << "a closed handle is invalid";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(GetModuleHandleW, KnowsTheProgramAndWinInet) {
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(GetModuleHandleW(L"WinInet"), nullptr);
    EXPECT_EQ(GetModuleHandleW(L"WININET.DLL"), GetModuleHandleW(L"wininet"));
    EXPECT_NE(GetModuleHandleW(L"WinInet"), GetModuleHandleW(nullptr));
    EXPECT_EQ(GetModuleHandleW(L"nosuch"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

} // namespace
