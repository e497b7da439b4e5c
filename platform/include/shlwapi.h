/* shlwapi.h for the host build: the string helpers Tovix calls. */
#ifndef TOVIX_PLATFORM_SHLWAPI_H
#define TOVIX_PLATFORM_SHLWAPI_H

#include <windows.h>

int StrCmpNIW(LPCWSTR psz1, LPCWSTR psz2, int nChar);
LPWSTR StrChrW(LPCWSTR pszStart, WCHAR wMatch);
int StrCmpNA(LPCSTR psz1, LPCSTR psz2, int nChar);

#endif
