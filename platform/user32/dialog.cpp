/*
 * The host dialog manager's modal dialogs (see window.h): DialogBoxParamW
 * builds a dialog from a compiled dialog template (DLGTEMPLATEEX) of the
 * module's resources, sends WM_INITDIALOG and runs the modal loop on the
 * calling thread until EndDialog; the display the driver gives shows it.
 * With no display to show it on, it fails as the platform does when it
 * cannot create the window.
 *
 * Keys arrive as posted WM_KEYDOWN / WM_CHAR and are translated as the
 * platform's dialog navigation does: Escape sends IDCANCEL, Enter presses
 * the default push button when it is enabled (else IDOK), Space presses the
 * focused (first enabled push) button, and a button's mnemonic presses it.
 *
 * Left out: modeless dialogs, owner windows, focus handling beyond the
 * above, window procedures other than the dialog procedure, and the default
 * processing of messages that the dialog procedure does not handle.
 *
 * Map: keys; the modal loop; creating and destroying a dialog.
 */
#include "user32/window.h"

#include "common/text.h"

namespace tovix::user32 {

namespace {

// ---- Keys -------------------------------------------------------------------

Control* DefaultButton(Dialog& dialog) {
    for (Control& c : dialog.controls) {
        if (c.windowClass == u"Button" && (c.style & 0x0F) == BS_DEFPUSHBUTTON) {
            return &c;
        }
    }
    return nullptr;
}

void Click(Dialog& dialog, Control& button) {
    Dispatch(dialog, WM_COMMAND, MAKEWPARAM(button.id, 0 /* BN_CLICKED */),
             reinterpret_cast<LPARAM>(button.hwnd));
}

// The dialog navigation keys, as the platform's dialog message handling
// translates them.
void TranslateKey(Dialog& dialog, const Posted& msg) {
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
        Control* cancel = FindControl(dialog, IDCANCEL);
        Dispatch(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0),
                 reinterpret_cast<LPARAM>(cancel ? cancel->hwnd : nullptr));
    } else if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN) {
        Control* button = DefaultButton(dialog);
        if (button && button->enabled) {
            Click(dialog, *button);
        } else {
            Dispatch(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
        }
    } else if (msg.message == WM_CHAR && msg.wParam == u' ') {
        for (Control& c : dialog.controls) {
            if (c.windowClass == u"Button" && c.enabled) {
                Click(dialog, c); // the first enabled button holds the focus
                break;
            }
        }
    } else if (msg.message == WM_CHAR) {
        WCHAR typed = FoldCase(static_cast<WCHAR>(msg.wParam));
        for (Control& c : dialog.controls) {
            char16_t mnemonic = 0;
            StripMnemonic(c.text, &mnemonic);
            if (c.windowClass == u"Button" && c.enabled && mnemonic &&
                FoldCase(static_cast<WCHAR>(mnemonic)) == typed) {
                Click(dialog, c);
                break;
            }
        }
    }
}

// ---- The modal loop -----------------------------------------------------------

void Render(Dialog& dialog) {
    DialogView view;
    view.caption = dialog.caption;
    view.cx = dialog.cx;
    view.cy = dialog.cy;
    view.hasIcon = ClassHasIcon();
    for (const Control& c : dialog.controls) {
        view.controls.push_back(
            {c.id, c.windowClass, c.style, c.text, c.enabled, c.isIcon, c.x, c.y, c.cx, c.cy});
    }
    dialog.display->Render(view);
    dialog.dirty = false;
}

void RunModalLoop(Dialog& dialog) {
    for (;;) {
        // Each change shows as soon as the message that made it is done, so
        // a text replaced by the next message is still seen for a moment.
        if (dialog.dirty) {
            Render(dialog);
        }
        Work work = NextWork(dialog);
        switch (work.kind) {
        case Work::kEnded:
            return;
        case Work::kHandover:
            Serve(dialog, *work.handover);
            break;
        case Work::kPosted:
            if (work.posted.message == WM_KEYDOWN || work.posted.message == WM_CHAR) {
                TranslateKey(dialog, work.posted);
            } else {
                Dispatch(dialog, work.posted.message, work.posted.wParam, work.posted.lParam);
            }
            break;
        case Work::kTimer:
            Dispatch(dialog, WM_TIMER, work.timerId, 0);
            break;
        case Work::kWait:
            WaitForWork(dialog, work.waitMs);
            break;
        }
    }
}

// ---- Creating and destroying a dialog ------------------------------------------

// The template of a dialog resource; 0, or the error to fail with.
DWORD FindTemplate(HINSTANCE instance, LPCWSTR name, resdata::DialogTemplate* tpl) {
    const std::vector<resdata::Resource>* resources = ResourcesOf(instance);
    if (!resources || !IS_INTRESOURCE(name)) {
        return ERROR_RESOURCE_NAME_NOT_FOUND;
    }
    // The user's language first, as the platform picks among a module's
    // translations of a dialog, then any.
    WORD id = static_cast<WORD>(reinterpret_cast<uintptr_t>(name));
    int language = UserLocaleIsChinese() ? MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)
                                         : MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT);
    const resdata::Resource* res =
        resdata::FindResourceEntry(*resources, resdata::kTypeDialog, id, language);
    if (!res) {
        res = resdata::FindResourceEntry(*resources, resdata::kTypeDialog, id);
    }
    if (!res) {
        return ERROR_RESOURCE_NAME_NOT_FOUND;
    }
    return resdata::ParseDialogEx(res->data, res->size, tpl) ? 0 : ERROR_RESOURCE_DATA_NOT_FOUND;
}

// The first control with WS_TABSTOP, which WM_INITDIALOG names.
HWND FirstTabStop(const Dialog& dialog) {
    for (const Control& c : dialog.controls) {
        if (c.style & WS_TABSTOP) {
            return c.hwnd;
        }
    }
    return nullptr;
}

// Calls still handed over fail, timers die with the window; the result.
INT_PTR Destroy(Dialog& dialog) {
    INT_PTR result;
    {
        std::lock_guard<std::mutex> lock(dialog.mutex);
        dialog.destroyed = true;
        FailHandovers(dialog);
        dialog.timers.clear();
        result = dialog.result;
    }
    Forget(dialog);
    dialog.display->Close();
    Observer()->Destroyed(dialog.Handle());
    return result;
}

} // namespace

} // namespace tovix::user32

using namespace tovix::user32;

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND, DLGPROC proc,
                        LPARAM param) {
    resdata::DialogTemplate tpl;
    DWORD error = proc ? FindTemplate(instance, templateName, &tpl) : ERROR_RESOURCE_NAME_NOT_FOUND;
    if (error) {
        SetLastError(error);
        return -1;
    }
    std::unique_ptr<tovix::DialogDisplay> display = tovix::HostDriver().createDisplay();
    if (!display || !display->Open()) {
        // Nothing to show the window on: the window cannot be created.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    auto dialog = std::make_shared<Dialog>();
    dialog->thread = std::this_thread::get_id();
    dialog->proc = proc;
    dialog->display = std::move(display);
    dialog->wakeUp = tovix::HostDriver().createWakeUp();
    Register(dialog, tpl);
    Observer()->Created(dialog->Handle());

    Dispatch(*dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(FirstTabStop(*dialog)), param);
    RunModalLoop(*dialog);
    return Destroy(*dialog);
}

BOOL EndDialog(HWND hwnd, INT_PTR result) {
    std::unique_lock<std::mutex> lock;
    auto dialog = LockLiveDialog(hwnd, &lock);
    if (!dialog) {
        return FALSE;
    }
    dialog->ended = true;
    dialog->result = result;
    dialog->Wake();
    lock.unlock();
    Observer()->Ended(hwnd, result);
    return TRUE;
}
