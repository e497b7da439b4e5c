/* rasdlg.h for the host build: the system dial dialog. */
#ifndef TOVIX_PLATFORM_RASDLG_H
#define TOVIX_PLATFORM_RASDLG_H

#include <windows.h>
#include <ras.h>

typedef struct tagRASDIALDLG {
    DWORD dwSize;
    HWND hwndOwner;
    DWORD dwFlags;
    LONG xDlg;
    LONG yDlg;
    DWORD dwSubEntry;
    DWORD dwError;
    ULONG_PTR reserved;
    ULONG_PTR reserved2;
} RASDIALDLG, *LPRASDIALDLG;

#define RASDDFLAG_PositionDlg 0x00000001

BOOL RasDialDlgW(LPWSTR lpszPhonebook, LPWSTR lpszEntry, LPWSTR lpszPhoneNumber,
                 LPRASDIALDLG lpInfo);

#endif
