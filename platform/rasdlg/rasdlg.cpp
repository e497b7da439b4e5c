/*
 * RasDialDlgW for the host: the layer's own small dial dialog, a dialog
 * resource of this library (dial_dialog.rc) that DialogBoxParamW runs like
 * any other. It asks whether to dial the entry (Enter or the Dial button's
 * D dials; Escape, C or the close box cancels), dials with the entry's saved
 * parameters through RasDialW while showing that it is dialling, shows the
 * result until its Close button is pressed (Enter, Space or Escape), and
 * only then returns: TRUE when the connection came up. With nothing to show
 * the dialog on it fails without dialling. Owner windows, positions,
 * sub-entries and phone-number overrides are left out. Texts follow the
 * user's locale (Simplified Chinese or English).
 */
#include <rasdlg.h>

#include "common/modules.h"
#include "common/text.h"
#include "driver/driver.h"
#include "rasdlg/dial_dialog.h"
#include "user32/dialog_manager.h"

namespace {

struct Texts {
    const char* question;
    const char* dialling;
    const char* connected;
    const char* failed;
    const char* close;
};

const Texts kEnglish = {"Dial %s?", "Dialling %s...", "Connected to %s.",
                        "Could not connect %s (error %u).", "Close"};
const Texts kChinese = {"要拨号连接 %s 吗?", "正在拨号 %s...", "已连接到 %s。",
                        "无法连接 %s (错误 %u)。", "关闭"};

// Sent to the dialog once "dialling" is on screen: the dial itself.
const UINT kDialNow = WM_USER + 1;

// One RasDialDlgW call, as the dialog procedure sees it. The dialog is
// modal, so its procedure runs on the calling thread only: the call in
// progress on a thread is that thread's.
struct DialState {
    LPWSTR phonebook;
    LPWSTR entry;
    const Texts* texts;
    bool dialled = false; // the result is showing
    DWORD error = 0;
};

thread_local DialState* t_state = nullptr;

std::string Fill(const char* format, const std::string& entry, DWORD error = 0) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += entry;
            ++p;
        } else if (p[0] == '%' && p[1] == 'u') {
            out += std::to_string(error);
            ++p;
        } else {
            out.push_back(*p);
        }
    }
    return out;
}

void SetText(HWND hwnd, int id, const std::string& utf8) {
    std::u16string text = tovix::Utf8ToUtf16(utf8);
    SetDlgItemTextW(hwnd, id, reinterpret_cast<LPCWSTR>(text.c_str()));
}

DWORD Dial(const DialState& state) {
    RASDIALPARAMSW params;
    ZeroMemory(&params, sizeof(params));
    params.dwSize = sizeof(params);
    lstrcpynW(params.szEntryName, state.entry, RAS_MaxEntryName + 1);
    BOOL saved = FALSE;
    DWORD error = RasGetEntryDialParamsW(state.phonebook, &params, &saved);
    if (error == 0) {
        HRASCONN connection = nullptr;
        error = RasDialW(nullptr, state.phonebook, &params, 0, nullptr, &connection);
    }
    return error;
}

// The dial is done: its result, and one button that closes.
void ShowResult(HWND hwnd, DialState& state) {
    std::string name = tovix::Utf16ToUtf8(state.entry);
    state.error = Dial(state);
    state.dialled = true;
    SetText(hwnd, IDC_DIAL_STATUS,
            state.error ? Fill(state.texts->failed, name, state.error)
                        : Fill(state.texts->connected, name));
    SetText(hwnd, IDOK, state.texts->close);
    EnableWindow(GetDlgItem(hwnd, IDOK), TRUE);
}

INT_PTR CALLBACK DialDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    DialState* state = t_state;
    switch (message) {
    case WM_INITDIALOG:
        SetText(hwnd, IDC_DIAL_STATUS,
                Fill(state->texts->question, tovix::Utf16ToUtf8(state->entry)));
        return TRUE;
    case kDialNow:
        ShowResult(hwnd, *state);
        return TRUE;
    case WM_CLOSE:
        EndDialog(hwnd, IDCANCEL);
        return TRUE;
    case WM_COMMAND:
        if (state->dialled || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hwnd, LOWORD(wParam));
        } else if (LOWORD(wParam) == IDOK) {
            // Show "dialling" before the dial blocks this thread.
            SetText(hwnd, IDC_DIAL_STATUS,
                    Fill(state->texts->dialling, tovix::Utf16ToUtf8(state->entry)));
            EnableWindow(GetDlgItem(hwnd, IDOK), FALSE);
            EnableWindow(GetDlgItem(hwnd, IDCANCEL), FALSE);
            PostMessageW(hwnd, kDialNow, 0, 0);
        }
        return TRUE;
    }
    return FALSE;
}

HINSTANCE DialDialogModule() {
    static const HMODULE module = [] {
        size_t size = 0;
        const unsigned char* resources = RasDlgResourceBlob(&size);
        tovix::SetModuleResources(tovix::RasDlgModule(), resources, size);
        return tovix::RasDlgModule();
    }();
    return module;
}

} // namespace

BOOL RasDialDlgW(LPWSTR phonebook, LPWSTR entry, LPWSTR, LPRASDIALDLG info) {
    if (!entry || !info || info->dwSize != sizeof(RASDIALDLG)) {
        if (info) {
            info->dwError = ERROR_INVALID_PARAMETER;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwError = 0;
    DialState state{phonebook, entry, tovix::UserLocaleIsChinese() ? &kChinese : &kEnglish};
    DialState* outer = t_state; // a dial dialog opened from a dial dialog's procedure
    t_state = &state;
    INT_PTR result =
        DialogBoxParamW(DialDialogModule(), MAKEINTRESOURCEW(IDD_DIAL), nullptr, DialDialogProc, 0);
    t_state = outer;
    if (result == -1) {
        info->dwError = GetLastError(); // no window can be shown
        return FALSE;
    }
    info->dwError = state.error;
    return state.dialled && state.error == 0;
}
