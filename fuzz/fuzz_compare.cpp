/*
 * Case folding and the comparisons built on it: tovix::FoldCase,
 * StrCmpNIW (which recognises the silent switch), lstrcmpiW and lstrcmpW.
 *
 * Input: one byte for the count n (-2..253), then UTF-16LE units; the first
 * zero unit ends string a, the next one string b. Checks: folding is
 * idempotent, maps ASCII letters to lower case and maps nothing else into
 * ASCII; each comparison gives the sign of the ordinal comparison of the
 * (folded) strings, cut to n units for StrCmpNIW, and swapping the strings
 * flips the sign.
 */
#include <shlwapi.h>
#include <windows.h>
#include "common/text.h"

#include "fuzz_support.h"

namespace {

int Sign(int v) {
    return (v > 0) - (v < 0);
}

std::u16string Folded(const std::u16string& s) {
    std::u16string out;
    for (char16_t c : s) {
        out.push_back(static_cast<char16_t>(tovix::FoldCase(static_cast<WCHAR>(c))));
    }
    return out;
}

void CheckFold(char16_t u) {
    WCHAR once = tovix::FoldCase(static_cast<WCHAR>(u));
    WCHAR twice = tovix::FoldCase(once);
    std::string what = "FoldCase(" + fuzz::Show(std::u16string(1, u)) +
                       ") = " + fuzz::Show(std::u16string(1, static_cast<char16_t>(once)));
    FUZZ_CHECK(once == twice, what + ", folded again " +
                                  fuzz::Show(std::u16string(1, static_cast<char16_t>(twice))));
    bool upper = u >= u'A' && u <= u'Z';
    if (u < 0x80) {
        FUZZ_CHECK(once == static_cast<WCHAR>(upper ? u + 32 : u), what);
    } else {
        FUZZ_CHECK(static_cast<char16_t>(once) >= 0x80, what + ": into ASCII");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const int n = static_cast<int>(data[0]) - 2;
    std::u16string units = fuzz::Utf16LE(data + 1, size - 1);
    size_t end = units.find(u'\0');
    std::u16string a = units.substr(0, end);
    std::u16string b;
    if (end != std::u16string::npos) {
        b = units.substr(end + 1);
        b = b.substr(0, b.find(u'\0'));
    }
    for (char16_t c : a + b) {
        CheckFold(c);
    }

    const std::string ab = fuzz::Show(a) + ", " + fuzz::Show(b);
    LPCWSTR wa = tovix::AsWide(a);
    LPCWSTR wb = tovix::AsWide(b);

    int ordinal = Sign(a.compare(b));
    FUZZ_CHECK(Sign(lstrcmpW(wa, wb)) == ordinal, "lstrcmpW(" + ab + ")");
    FUZZ_CHECK(Sign(lstrcmpW(wb, wa)) == -ordinal, "lstrcmpW swapped (" + ab + ")");

    int folded = Sign(Folded(a).compare(Folded(b)));
    FUZZ_CHECK(Sign(lstrcmpiW(wa, wb)) == folded, "lstrcmpiW(" + ab + ")");
    FUZZ_CHECK(Sign(lstrcmpiW(wb, wa)) == -folded, "lstrcmpiW swapped (" + ab + ")");

    size_t cut = n < 0 ? 0 : static_cast<size_t>(n);
    int prefix = Sign(Folded(a.substr(0, cut)).compare(Folded(b.substr(0, cut))));
    std::string abn = ab + ", " + std::to_string(n);
    FUZZ_CHECK(Sign(StrCmpNIW(wa, wb, n)) == prefix, "StrCmpNIW(" + abn + ")");
    FUZZ_CHECK(Sign(StrCmpNIW(wb, wa, n)) == -prefix, "StrCmpNIW swapped (" + abn + ")");
    return 0;
}
