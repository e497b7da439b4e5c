/*
 * GetModuleHandleW for the host: the program's own module (no name) and the
 * Internet library ("WinInet", with or without ".dll", any case). Other
 * names are not loaded and fail with ERROR_MOD_NOT_FOUND.
 */
#include <windows.h>
#include "common/modules.h"

HMODULE GetModuleHandleW(LPCWSTR name) {
    if (!name) {
        return tovix::ProgramModule();
    }
    if (lstrcmpiW(name, L"wininet") == 0 || lstrcmpiW(name, L"wininet.dll") == 0) {
        return tovix::WinInetModule();
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
