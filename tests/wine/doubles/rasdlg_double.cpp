/*
 * Test double of rasdlg.dll for running the real Tovix.exe under Wine,
 * whose own RasDialDlgW is unimplemented and aborts the process. It logs the
 * call, checks the Windows XP record size, notes whether Tovix's progress
 * window already exists (it must not: every dial comes first), stays "open"
 * for TOVIX_DOUBLE_DIAL_MS milliseconds like a modal dial dialog would, and
 * reports the entry's scripted outcome.
 */
#include <windows.h>
#include <ras.h>
#include <rasdlg.h>
#include <raserror.h>

#include <stdlib.h>

#include "double_support.h"

static_assert(sizeof(RASDIALDLG) == XP_RASDIALDLG_SIZE, "built for the XP records");

static DWORD DialDelay() {
    char value[32];
    DWORD length = GetEnvironmentVariableA("TOVIX_DOUBLE_DIAL_MS", value, sizeof(value));
    if (length == 0 || length >= sizeof(value)) {
        return 0;
    }
    return strtoul(value, NULL, 10);
}

extern "C" BOOL WINAPI RasDialDlgW(LPWSTR phonebook, LPWSTR entryName, LPWSTR phoneNumber,
                                   LPRASDIALDLG info) {
    const char* call = "RasDialDlgW";
    if (!info) {
        LogLine(Format("%s entry=%s info=null -> 0", call, Utf8(entryName).c_str()));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool sizeOk = CheckSize(call, "dwSize", info->dwSize, XP_RASDIALDLG_SIZE);
    HWND progress = FindWindowW(L"#32770", L"Tovix");
    std::string before = TickField();
    Sleep(DialDelay());

    std::vector<PhonebookEntry> book = ReadPhonebook();
    const PhonebookEntry* found = FindEntry(book, entryName);
    BOOL result = TRUE;
    info->dwError = 0;
    if (!sizeOk) {
        result = FALSE;
        info->dwError = ERROR_INVALID_SIZE;
    } else if (!found) {
        result = FALSE;
        info->dwError = ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    } else if (found->failDial) {
        result = FALSE;
        info->dwError = ERROR_NO_ANSWER;
    }
    LogLine(Format("%s phonebook=%s entry=%s phone=%s size=%lu owner=%s flags=0x%lX "
                   "subentry=%lu progress-window=%s -> %d error=%lu %s end-tick=%lu",
                   call, Utf8(phonebook).c_str(), Utf8(entryName).c_str(),
                   Utf8(phoneNumber).c_str(), static_cast<unsigned long>(info->dwSize),
                   info->hwndOwner ? "set" : "0", static_cast<unsigned long>(info->dwFlags),
                   static_cast<unsigned long>(info->dwSubEntry), progress ? "present" : "none",
                   result, static_cast<unsigned long>(info->dwError), before.c_str(),
                   static_cast<unsigned long>(GetTickCount())));
    return result;
}
