/*
 * shlwapi string helpers: StrCmpNIW, StrChrW and StrCmpNA. The comparisons
 * stop at the first difference, at a terminator, or after the given number
 * of characters; a count of 0 or less compares nothing and gives equality.
 * Case folding is the layer's simple one; locale collation is left out.
 */
#include <shlwapi.h>
#include "common/text.h"

int StrCmpNIW(LPCWSTR a, LPCWSTR b, int n) {
    if (n <= 0) {
        return 0;
    }
    if (!a || !b) {
        return (a ? 1 : 0) - (b ? 1 : 0);
    }
    for (int i = 0; i < n; ++i) {
        char16_t ca = static_cast<char16_t>(tovix::FoldCase(a[i]));
        char16_t cb = static_cast<char16_t>(tovix::FoldCase(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (!ca) {
            break;
        }
    }
    return 0;
}

LPWSTR StrChrW(LPCWSTR s, WCHAR c) {
    if (!s) {
        return nullptr;
    }
    for (; *s; ++s) {
        if (*s == c) {
            return const_cast<LPWSTR>(s);
        }
    }
    return nullptr; // the terminator itself is never found
}

int StrCmpNA(LPCSTR a, LPCSTR b, int n) {
    if (n <= 0) {
        return 0;
    }
    if (!a || !b) {
        return (a ? 1 : 0) - (b ? 1 : 0);
    }
    for (int i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (!ca) {
            break;
        }
    }
    return 0;
}
