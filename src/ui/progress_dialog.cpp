/*
 * Progress dialog procedure. It keeps no state: the button tells the phase.
 *   Running     "取消(&C)", enabled   -> IDCANCEL cancels the request
 *   Cancelling  "取消(&C)", disabled  -> IDCANCEL is ignored
 *   Finished    "关闭(&C))", enabled  -> IDCANCEL ends the dialog
 * The worker turns the button into Close when it reports, so the caption
 * check is the only way to EndDialog. The close box and any timer act as the
 * button does.
 */
#include "ui/progress_dialog.h"

#include "resource.h"
#include "ui/report.h"
#include "update/update.h"

#define CAPTION_CHARS 260

static const WCHAR CancellingText[] = L"正在取消请求，请稍候...";

static void StartWorker(HWND window) {
    DWORD threadId;
    HANDLE thread = CreateThread(NULL, 0, RunUpdate, window, 0, &threadId);
    if (!thread) {
        // Without a worker nothing would ever relabel the button, and the
        // window could not be closed: show the failure as the worker would.
        ReportUpdateResult(window, FALSE, GetLastError(), "");
        return;
    }
    CloseHandle(thread); // never waited for
}

static void OnCancel(HWND window) {
    WCHAR caption[CAPTION_CHARS];
    GetDlgItemTextW(window, IDCANCEL, caption, CAPTION_CHARS);
    if (lstrcmpiW(caption, CloseCaption) == 0) {
        KillTimer(window, IDT_AUTOCLOSE);
        EndDialog(window, 0);
    } else if (IsWindowEnabled(GetDlgItem(window, IDCANCEL))) {
        // Closing the session makes the worker's blocked request fail; the
        // worker then reports that failure and turns the button into Close.
        if (HINTERNET session = SessionSlot.exchange(NULL)) {
            InternetCloseHandle(session);
        }
        SetDlgItemTextW(window, IDC_STATUS, CancellingText);
        EnableWindow(GetDlgItem(window, IDCANCEL), FALSE);
    }
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        HICON icon = LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDI_MAIN));
        SetClassLongPtrW(window, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
        StartWorker(window);
        break;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel(window);
        }
        break;
    case WM_CLOSE:
    case WM_TIMER:
        SendMessageW(window, WM_COMMAND, IDCANCEL, 0);
        break;
    default:
        break;
    }
    return FALSE;
}
