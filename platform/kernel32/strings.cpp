/*
 * kernel32 string functions: lstrcpyW, lstrcpynW, lstrcmpW, lstrcmpiW,
 * lstrlenW. lstrcpynW counts the terminator in its limit, as on Windows.
 * The comparisons are ordinal (after simple case folding for lstrcmpiW);
 * the locale-dependent collation of Windows is left out.
 */
#include <windows.h>
#include "common/text.h"

LPWSTR lstrcpyW(LPWSTR dst, LPCWSTR src) {
    if (!dst || !src) {
        return nullptr;
    }
    LPWSTR d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

LPWSTR lstrcpynW(LPWSTR dst, LPCWSTR src, int count) {
    if (!dst || !src) {
        return nullptr;
    }
    if (count <= 0) {
        return dst; // nothing may be written, not even the terminator
    }
    int i = 0;
    for (; i < count - 1 && src[i]; ++i) {
        dst[i] = src[i];
    }
    dst[i] = 0;
    return dst;
}

int lstrlenW(LPCWSTR s) {
    return static_cast<int>(tovix::WideLength(s));
}

static int Compare(LPCWSTR a, LPCWSTR b, bool fold) {
    // Null sorts before any string, as on Windows.
    if (!a || !b) {
        return (a ? 1 : 0) - (b ? 1 : 0);
    }
    for (;; ++a, ++b) {
        WCHAR ca = fold ? tovix::FoldCase(*a) : *a;
        WCHAR cb = fold ? tovix::FoldCase(*b) : *b;
        if (ca != cb) {
            return static_cast<char16_t>(ca) < static_cast<char16_t>(cb) ? -1 : 1;
        }
        if (!ca) {
            return 0;
        }
    }
}

int lstrcmpW(LPCWSTR a, LPCWSTR b) {
    return Compare(a, b, false);
}
int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    return Compare(a, b, true);
}
