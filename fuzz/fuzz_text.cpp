/*
 * The host layer's UTF-8 / UTF-16 conversions.
 *
 * The input is read as UTF-8 bytes and as UTF-16LE units. Against a decoder
 * written from the table of well-formed UTF-8 byte sequences: UTF-8 -> UTF-16
 * turns each well-formed sequence into its code point and each other byte
 * into U+FFFD; UTF-16 -> UTF-8 turns each unpaired surrogate into U+FFFD and
 * always gives well-formed UTF-8. Valid text survives both round trips
 * unchanged.
 */
#include "common/text.h"

#include "fuzz_support.h"

#include <vector>

namespace {

bool Trail(uint8_t b, uint8_t low = 0x80, uint8_t high = 0xBF) {
    return b >= low && b <= high;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0.
size_t WellFormed(const std::string& s, size_t i, char32_t* cp) {
    auto at = [&](size_t k) { return static_cast<uint8_t>(i + k < s.size() ? s[i + k] : 0); };
    uint8_t b0 = at(0);
    size_t len = 0;
    if (b0 <= 0x7F) {
        len = 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = Trail(at(1)) ? 2 : 0;
    } else if (b0 == 0xE0) {
        len = Trail(at(1), 0xA0, 0xBF) && Trail(at(2)) ? 3 : 0;
    } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
        len = Trail(at(1)) && Trail(at(2)) ? 3 : 0;
    } else if (b0 == 0xED) {
        len = Trail(at(1), 0x80, 0x9F) && Trail(at(2)) ? 3 : 0;
    } else if (b0 == 0xF0) {
        len = Trail(at(1), 0x90, 0xBF) && Trail(at(2)) && Trail(at(3)) ? 4 : 0;
    } else if (b0 >= 0xF1 && b0 <= 0xF3) {
        len = Trail(at(1)) && Trail(at(2)) && Trail(at(3)) ? 4 : 0;
    } else if (b0 == 0xF4) {
        len = Trail(at(1), 0x80, 0x8F) && Trail(at(2)) && Trail(at(3)) ? 4 : 0;
    }
    if (len == 0 || i + len > s.size()) {
        return 0;
    }
    const uint8_t leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t v = b0 & leadMask[len];
    for (size_t k = 1; k < len; ++k) {
        v = (v << 6) | (at(k) & 0x3F);
    }
    *cp = v;
    return len;
}

void PutUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        out.push_back(static_cast<char16_t>(0xD7C0 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

bool IsHigh(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// The input with every unpaired surrogate replaced by U+FFFD.
std::u16string Repaired(const std::u16string& u, bool* valid) {
    std::u16string out;
    *valid = true;
    for (size_t i = 0; i < u.size(); ++i) {
        if (IsHigh(u[i]) && i + 1 < u.size() && IsLow(u[i + 1])) {
            out.push_back(u[i]);
            out.push_back(u[++i]);
        } else if (IsHigh(u[i]) || IsLow(u[i])) {
            out.push_back(0xFFFD);
            *valid = false;
        } else {
            out.push_back(u[i]);
        }
    }
    return out;
}

bool IsWellFormedUtf8(const std::string& s) {
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t len = WellFormed(s, i, &cp);
        if (!len) {
            return false;
        }
        i += len;
    }
    return true;
}

void CheckUtf8(const std::string& bytes) {
    std::u16string want;
    bool valid = true;
    char32_t cp = 0;
    for (size_t i = 0; i < bytes.size();) {
        size_t len = WellFormed(bytes, i, &cp);
        if (len) {
            PutUtf16(want, cp);
            i += len;
        } else {
            want.push_back(0xFFFD);
            valid = false;
            ++i;
        }
    }
    std::u16string got = tovix::Utf8ToUtf16(bytes);
    FUZZ_CHECK(got == want, "Utf8ToUtf16(" + fuzz::ShowBytes(bytes) + ") = " + fuzz::Show(got) +
                                ", want " + fuzz::Show(want));
    std::string back = tovix::Utf16ToUtf8(got);
    FUZZ_CHECK(IsWellFormedUtf8(back), "Utf16ToUtf8 gave ill-formed " + fuzz::ShowBytes(back));
    if (valid) {
        FUZZ_CHECK(back == bytes, "UTF-8 round trip of " + fuzz::ShowBytes(bytes) + " gave " +
                                      fuzz::ShowBytes(back));
    }
}

void CheckUtf16(const std::u16string& units) {
    bool valid = true;
    std::u16string repaired = Repaired(units, &valid);
    std::string utf8 = tovix::Utf16ToUtf8(units);
    FUZZ_CHECK(IsWellFormedUtf8(utf8),
               "Utf16ToUtf8(" + fuzz::Show(units) + ") is ill-formed " + fuzz::ShowBytes(utf8));
    std::u16string back = tovix::Utf8ToUtf16(utf8);
    FUZZ_CHECK(back == repaired, "UTF-16 round trip of " + fuzz::Show(units) + " gave " +
                                     fuzz::Show(back) + ", want " + fuzz::Show(repaired));
    FUZZ_CHECK(!valid || back == units, "valid UTF-16 changed: " + fuzz::Show(units));

    std::u16string terminated = units.substr(0, units.find(u'\0'));
    FUZZ_CHECK(tovix::WideLength(tovix::AsWide(terminated)) == terminated.size(),
               "WideLength of " + fuzz::Show(terminated));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckUtf8(std::string(reinterpret_cast<const char*>(data), size));
    CheckUtf16(fuzz::Utf16LE(data, size));
    return 0;
}
