/*
 * UTF-8 / UTF-16 conversions for the host platform layer. WCHAR is 16-bit
 * here (-fshort-wchar), so the C library's wide functions are off limits;
 * std::u16string holds UTF-16 text instead of std::wstring.
 */
#ifndef TOVIX_PLATFORM_COMMON_TEXT_H
#define TOVIX_PLATFORM_COMMON_TEXT_H

#include <windows.h>
#include <string>
#include <string_view>

namespace tovix {

// Length in UTF-16 units of a terminated string (0 for null).
size_t WideLength(LPCWSTR s);

// UTF-8 to UTF-16. Each byte that does not start a well-formed sequence
// becomes U+FFFD, as do encoded surrogates and overlong forms.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* s, size_t n);
inline std::string Utf16ToUtf8(const std::u16string& s) {
    return Utf16ToUtf8(s.data(), s.size());
}
inline std::string Utf16ToUtf8(LPCWSTR s) {
    return Utf16ToUtf8(reinterpret_cast<const char16_t*>(s), WideLength(s));
}

// Code points of UTF-16 text (an unpaired surrogate becomes U+FFFD), and back.
std::u32string ToCodePoints(const std::u16string& s);
std::u16string FromCodePoints(const std::u32string& cps);

inline LPCWSTR AsWide(const std::u16string& s) {
    return reinterpret_cast<LPCWSTR>(s.c_str());
}
inline const char16_t* AsU16(LPCWSTR s) {
    return reinterpret_cast<const char16_t*>(s);
}

// Simple case mapping used by the case-insensitive comparisons (ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic; other characters map to
// themselves).
WCHAR FoldCase(WCHAR c);

// Terminal columns a code point takes: 2 for East Asian wide and
// full-width characters, 0 for combining marks and controls, else 1.
int DisplayColumns(char32_t cp);

} // namespace tovix

#endif
