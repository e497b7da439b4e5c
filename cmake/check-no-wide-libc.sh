#!/bin/sh
# Fails when an object in the given archives refers to the C or C++ library's
# wide-character facilities, which assume a 32-bit wchar_t while the host
# build compiles with -fshort-wchar.
set -eu
pattern='(^|[^A-Za-z0-9_])(wcs[a-z]*|wmem[a-z]*|[a-z]*wprintf|[a-z]*wscanf|wcwidth|wcswidth|mbstowcs|wcstombs|mbrtowc|wcrtomb|mbsrtowcs|wcsrtombs|btowc|wctob|towlower|towupper|isw[a-z]+|fgetws|fputws|getwc|putwc)($|[^A-Za-z0-9_])|basic_string<wchar_t|wstring|char_traits<wchar_t>'
bad=$(nm -C -u -A "$@" 2>/dev/null | grep -E "$pattern" || true)
if [ -n "$bad" ]; then
    echo "error: host objects use the C library's wide-character functions:" >&2
    echo "$bad" >&2
    exit 1
fi
