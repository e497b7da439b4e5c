/*
 * Text helpers for tests: WCHAR is 16-bit in the host build, so tests
 * compare UTF-8 std::string values and build UTF-16 input from UTF-8.
 */
#ifndef TOVIX_TESTS_SUPPORT_TEXT_H
#define TOVIX_TESTS_SUPPORT_TEXT_H

#include <windows.h>

#include <string>

namespace testing_text {

std::string U8(LPCWSTR text);
std::u16string U16(const std::string& utf8);
inline LPCWSTR W(const std::u16string& text) {
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

} // namespace testing_text

#endif
