/*
 * The outcome line of the progress window: a success or failure prefix
 * followed by the server's answer or the platform's text for the error, and
 * the Close caption the button takes when the update has finished.
 */
#include "ui/report.h"

#include "resource.h"

#define TEXT_BUFFER_CHARS 512
#define ERROR_TEXT_CHARS 260
#define AUTOCLOSE_MS 2000

const WCHAR CloseCaption[] = L"关闭(&C))";

static const WCHAR SuccessPrefix[] = L"域名注册成功: ";
static const WCHAR FailurePrefix[] = L"域名注册失败: ";
static const int FailurePrefixLength = sizeof(FailurePrefix) / sizeof(WCHAR) - 1;

void ReportUpdateResult(HWND window, BOOL success, DWORD error, LPCSTR answer) {
    WCHAR text[TEXT_BUFFER_CHARS];
    if (success) {
        wsprintfW(text, L"%s%hs", SuccessPrefix, answer);
        SetTimer(window, IDT_AUTOCLOSE, AUTOCLOSE_MS, NULL);
    } else if (error != 0) {
        lstrcpyW(text, FailurePrefix);
        if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE,
                            GetModuleHandleW(L"WinInet"), error,
                            MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text + FailurePrefixLength,
                            ERROR_TEXT_CHARS, NULL)) {
            wsprintfW(text + FailurePrefixLength, L"%#08X", error);
        }
    } else {
        wsprintfW(text, L"%s%hs", FailurePrefix, answer);
    }
    SetDlgItemTextW(window, IDC_STATUS, text);
    SetDlgItemTextW(window, IDCANCEL, CloseCaption);
    EnableWindow(GetDlgItem(window, IDCANCEL), TRUE);
}
