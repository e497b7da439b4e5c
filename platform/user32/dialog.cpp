/*
 * Placeholder for the host dialog manager: no window can be created yet, so
 * DialogBoxParamW fails as Windows does when it cannot create the window
 * (-1), and every control call fails with ERROR_INVALID_WINDOW_HANDLE.
 */
#include <windows.h>

static BOOL NoWindow() {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM) { return NoWindow(), -1; }
BOOL EndDialog(HWND, INT_PTR) { return NoWindow(); }
HWND GetDlgItem(HWND, int) { return NoWindow(), nullptr; }
BOOL SetDlgItemTextW(HWND, int, LPCWSTR) { return NoWindow(); }
UINT GetDlgItemTextW(HWND, int, LPWSTR text, int max) {
    if (text && max > 0) {
        text[0] = 0;
    }
    return NoWindow();
}
BOOL EnableWindow(HWND, BOOL) { return NoWindow(); }
BOOL IsWindowEnabled(HWND) { return NoWindow(); }
UINT_PTR SetTimer(HWND, UINT_PTR, UINT, TIMERPROC) { return NoWindow(); }
BOOL KillTimer(HWND, UINT_PTR) { return NoWindow(); }
LRESULT SendMessageW(HWND, UINT, WPARAM, LPARAM) { return NoWindow(); }
BOOL PostMessageW(HWND, UINT, WPARAM, LPARAM) { return NoWindow(); }
HICON LoadIconW(HINSTANCE, LPCWSTR) { return NoWindow(), nullptr; }
DWORD SetClassLongW(HWND, int, LONG) { return NoWindow(); }
DWORD GetClassLongW(HWND, int) { return NoWindow(); }
