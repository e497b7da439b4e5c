/*
 * The per-thread last-error code, for the few platform sources the fuzz
 * targets link (the full kernel32 layer, threads and all, is not needed).
 */
#include <windows.h>

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError(void) {
    return t_lastError;
}
void SetLastError(DWORD code) {
    t_lastError = code;
}
