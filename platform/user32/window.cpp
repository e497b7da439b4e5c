/*
 * The host dialog manager's windows (see window.h for its other files): the
 * handle table, which gives every dialog and control a handle that fails
 * cleanly once the dialog is gone; control text and enable state; the
 * resources start-up hands over per module; icons and the dialog class.
 *
 * A dialog's handle is its serial number shifted left by eight bits; its
 * controls are the same plus their position (1 to 255), so a handle tells
 * its dialog and control without a second table.
 *
 * Map: the handle table; control text and state; module resources; icons
 * and the class.
 */
#include "user32/window.h"

#include "common/modules.h"
#include "common/text.h"

#include <atomic>
#include <map>

namespace tovix::user32 {

namespace {

std::mutex g_tableMutex;
std::map<uintptr_t, std::shared_ptr<Dialog>> g_dialogs;
uintptr_t g_nextSerial = 0x101;
std::atomic<DialogObserver*> g_observer{nullptr};
std::atomic<LONG_PTR> g_dialogClassIcon{0};

// The class of a template item, as the dialog manager knows it.
std::u16string ControlClass(const resdata::DialogItem& item) {
    if (item.windowClass.isOrdinal) {
        return item.windowClass.Is(resdata::kClassButton) ? u"Button" : u"Static";
    }
    std::u16string name = item.windowClass.text;
    for (char16_t& ch : name) {
        ch = static_cast<char16_t>(FoldCase(static_cast<WCHAR>(ch)));
    }
    return name == u"button" ? u"Button" : u"Static";
}

} // namespace

// ---- The handle table -----------------------------------------------------

Clock::time_point Now() {
    return HostDriver().now();
}

DialogObserver* Observer() {
    static DialogObserver none;
    DialogObserver* o = g_observer.load();
    return o ? o : &none;
}

std::shared_ptr<Dialog> Lookup(HWND hwnd, size_t* index) {
    uintptr_t value = reinterpret_cast<uintptr_t>(hwnd);
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = g_dialogs.find(value >> 8);
    if (it == g_dialogs.end() || (value & 0xFF) > it->second->controls.size()) {
        return nullptr;
    }
    *index = value & 0xFF;
    return it->second;
}

std::shared_ptr<Dialog> LookupDialog(HWND hwnd) {
    size_t index = 0;
    auto dialog = Lookup(hwnd, &index);
    return dialog && index == 0 ? dialog : nullptr;
}

BOOL InvalidWindow() {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

std::shared_ptr<Dialog> LockLiveDialog(HWND hwnd, std::unique_lock<std::mutex>* lock) {
    auto dialog = LookupDialog(hwnd);
    if (dialog) {
        *lock = std::unique_lock<std::mutex>(dialog->mutex);
        if (!dialog->destroyed) {
            return dialog;
        }
        lock->unlock();
    }
    InvalidWindow();
    return nullptr;
}

void Register(const std::shared_ptr<Dialog>& dialog, const resdata::DialogTemplate& tpl) {
    dialog->caption = tpl.title;
    dialog->cx = tpl.cx;
    dialog->cy = tpl.cy;
    std::lock_guard<std::mutex> lock(g_tableMutex);
    dialog->serial = g_nextSerial++;
    for (size_t i = 0; i < tpl.items.size() && i < 0xFF; ++i) {
        const resdata::DialogItem& item = tpl.items[i];
        Control c;
        c.hwnd = reinterpret_cast<HWND>((dialog->serial << 8) | (i + 1));
        c.id = static_cast<int>(item.id);
        c.windowClass = ControlClass(item);
        c.style = item.style;
        c.text = item.title.isOrdinal ? u"" : item.title.text;
        c.enabled = !(item.style & WS_DISABLED);
        c.isIcon = c.windowClass == u"Static" && (item.style & SS_TYPEMASK) == SS_ICON;
        c.x = item.x;
        c.y = item.y;
        c.cx = item.cx;
        c.cy = item.cy;
        dialog->controls.push_back(c);
    }
    g_dialogs[dialog->serial] = dialog;
}

void Forget(const Dialog& dialog) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    g_dialogs.erase(dialog.serial);
}

Control* FindControl(Dialog& dialog, int id) {
    for (Control& c : dialog.controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

// ---- Control text and state -----------------------------------------------

void SetControlText(Dialog& dialog, Control& control, const std::u16string& text) {
    control.text = text;
    dialog.dirty = true;
    Observer()->TextChanged(dialog.Handle(), control.id, text);
}

void SetControlEnabled(Dialog& dialog, Control& control, bool enabled) {
    control.enabled = enabled;
    dialog.dirty = true;
    Observer()->EnabledChanged(dialog.Handle(), control.id, enabled);
}

bool ClassHasIcon() {
    return g_dialogClassIcon.load() != 0;
}

// ---- Module resources -------------------------------------------------------

// The resources start-up handed over, per module, parsed once.
struct ModuleResources {
    HMODULE module;
    std::vector<resdata::Resource> resources;
};
std::mutex g_resourcesMutex;
std::deque<ModuleResources>& AllResources() {
    static auto* all = new std::deque<ModuleResources>(); // never freed: read until exit
    return *all;
}

const std::vector<resdata::Resource>* ResourcesOf(HINSTANCE instance) {
    HMODULE module = instance ? instance : ProgramModule();
    std::lock_guard<std::mutex> lock(g_resourcesMutex);
    for (const ModuleResources& m : AllResources()) {
        if (m.module == module) {
            return &m.resources;
        }
    }
    return nullptr;
}

} // namespace tovix::user32

using namespace tovix::user32;

void tovix::SetModuleResources(HMODULE module, const unsigned char* res, size_t size) {
    ModuleResources entry{module, {}};
    if (!resdata::ParseResFile(res, size, &entry.resources)) {
        entry.resources.clear();
    }
    std::lock_guard<std::mutex> lock(g_resourcesMutex);
    for (const ModuleResources& m : AllResources()) {
        if (m.module == module) {
            return; // a module's resources are handed over once
        }
    }
    AllResources().push_back(std::move(entry));
}

void tovix::SetDialogObserver(DialogObserver* observer) {
    g_observer.store(observer);
}

HWND GetDlgItem(HWND hwnd, int id) {
    auto dialog = LookupDialog(hwnd);
    if (!dialog) {
        InvalidWindow();
        return nullptr;
    }
    // Controls never change after creation, so any thread may look them up.
    for (const Control& c : dialog->controls) {
        if (c.id == id) {
            return c.hwnd;
        }
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

// As on Windows: WM_SETTEXT sent to the control.
BOOL SetDlgItemTextW(HWND hwnd, int id, LPCWSTR text) {
    HWND control = GetDlgItem(hwnd, id);
    if (!control) {
        return FALSE; // GetDlgItem has set the error
    }
    return static_cast<BOOL>(
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : L"")));
}

UINT GetDlgItemTextW(HWND hwnd, int id, LPWSTR buffer, int max) {
    if (buffer && max > 0) {
        buffer[0] = 0;
    }
    auto dialog = LookupDialog(hwnd);
    if (!dialog) {
        return InvalidWindow();
    }
    Dialog* d = dialog.get();
    std::u16string text;
    LRESULT found = FALSE;
    if (!OnDialogThread(
            *d,
            [d, id, &text]() -> LRESULT {
                Control* c = FindControl(*d, id);
                if (c) {
                    text = c->text;
                }
                return c != nullptr;
            },
            &found)) {
        return InvalidWindow();
    }
    if (!found) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return 0;
    }
    if (!buffer || max <= 0) {
        return 0;
    }
    size_t n = text.size() < static_cast<size_t>(max - 1) ? text.size() : max - 1;
    for (size_t i = 0; i < n; ++i) {
        buffer[i] = static_cast<WCHAR>(text[i]);
    }
    buffer[n] = 0;
    return static_cast<UINT>(n);
}

namespace {

// EnableWindow and IsWindowEnabled on a control (or on the dialog itself,
// which is always enabled here): fn runs on the dialog's thread with the
// control, and its result is the call's.
BOOL OnControl(HWND hwnd, BOOL forDialog, const std::function<LRESULT(Dialog&, Control&)>& fn) {
    size_t index = 0;
    auto dialog = Lookup(hwnd, &index);
    if (!dialog) {
        return InvalidWindow();
    }
    if (index == 0) {
        return forDialog;
    }
    Dialog* d = dialog.get();
    LRESULT result = FALSE;
    if (!OnDialogThread(
            *d, [d, index, &fn] { return fn(*d, d->controls[index - 1]); }, &result)) {
        return InvalidWindow();
    }
    return static_cast<BOOL>(result);
}

} // namespace

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    // Nonzero when the control was disabled before.
    return OnControl(hwnd, FALSE, [enable](Dialog& d, Control& c) -> LRESULT {
        bool was = c.enabled;
        if (was != (enable != FALSE)) {
            SetControlEnabled(d, c, enable != FALSE);
        }
        return !was;
    });
}

BOOL IsWindowEnabled(HWND hwnd) {
    return OnControl(hwnd, TRUE, [](Dialog&, Control& c) -> LRESULT { return c.enabled; });
}

// ---- Icons and the class ----------------------------------------------------

// Icons are not drawn as bitmaps here; a handle only names the icon group.
HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (!IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    WORD id = static_cast<WORD>(reinterpret_cast<uintptr_t>(name));
    if (instance == nullptr) {
        // The system's predefined icons (IDI_APPLICATION and the like).
        if (id >= 32512 && id <= 32518) {
            return reinterpret_cast<HICON>(static_cast<uintptr_t>(0x10000 + id));
        }
    } else if (ResourcesOf(instance) &&
               resdata::FindResourceEntry(*ResourcesOf(instance), resdata::kTypeGroupIcon, id)) {
        return reinterpret_cast<HICON>(static_cast<uintptr_t>(0x20000 + id));
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

// The dialog class (#32770) is shared by every dialog; its icon is the one
// class value kept, at its full width (an icon is a handle).
ULONG_PTR SetClassLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    if (!LookupDialog(hwnd)) {
        return InvalidWindow();
    }
    if (index != GCLP_HICON && index != GCLP_HICONSM) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    ULONG_PTR previous = static_cast<ULONG_PTR>(g_dialogClassIcon.exchange(value));
    auto dialog = LookupDialog(hwnd);
    if (dialog) {
        std::lock_guard<std::mutex> lock(dialog->mutex);
        dialog->Wake(); // redraw with the icon
    }
    SetLastError(0);
    return previous;
}

ULONG_PTR GetClassLongPtrW(HWND hwnd, int index) {
    if (!LookupDialog(hwnd)) {
        return InvalidWindow();
    }
    if (index != GCLP_HICON && index != GCLP_HICONSM) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    return static_cast<ULONG_PTR>(g_dialogClassIcon.load());
}
