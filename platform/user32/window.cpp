/*
 * The host dialog manager: modal dialogs built from the program's compiled
 * dialog templates, their controls, timers and messages.
 *
 * Each dialog belongs to the thread that called DialogBoxParamW and runs a
 * modal loop there. Between two messages the loop serves, in this order:
 * calls handed over by other threads (control changes, SendMessageW), posted
 * messages and input, and timers that are due (WM_TIMER comes last, as on
 * Windows). A control change or SendMessageW from another thread is queued
 * for the dialog's thread and returns only once applied there; if the dialog
 * ends first, it fails with ERROR_INVALID_WINDOW_HANDLE. Timers may be armed
 * from any thread; their WM_TIMER arrives on the dialog's thread.
 *
 * Keys arrive as posted WM_KEYDOWN / WM_CHAR and are translated as the
 * platform's dialog navigation does: Escape sends IDCANCEL, Enter presses
 * the default push button when it is enabled (else IDOK), Space presses the
 * focused (first enabled push) button, and a button's mnemonic presses it.
 * The close request of a display becomes WM_CLOSE.
 *
 * Left out: modeless dialogs, owner windows, focus handling beyond the
 * above, window procedures other than the dialog procedure, and the default
 * processing of messages that the dialog procedure does not handle.
 */
#include <windows.h>

#include "common/modules.h"
#include "common/text.h"
#include "user32/dialog_manager.h"
#include "user32/resource_data.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace {

using tovix::Clock;

Clock::time_point Now() {
    return tovix::HostDriver().now();
}

struct Control {
    HWND hwnd;
    int id;
    std::u16string windowClass;
    DWORD style;
    std::u16string text;
    bool enabled;
    bool isIcon;
    short x, y, cx, cy;
};

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// A call handed to the dialog's thread by another thread.
struct Handover {
    std::function<LRESULT()> call;
    LRESULT result = 0;
    bool done = false;
    bool failed = false;
};

struct Timer {
    UINT_PTR id;
    Clock::duration interval;
    Clock::time_point due;
};

struct Dialog {
    uintptr_t serial;
    std::thread::id thread;
    DLGPROC proc = nullptr;
    std::unique_ptr<tovix::DialogDisplay> display;
    std::unique_ptr<tovix::WakeUp> wakeUp;

    // Owned by the dialog's thread.
    std::u16string caption;
    short cx = 0, cy = 0;
    std::vector<Control> controls;
    bool dirty = true;

    // Shared with other threads, under mutex.
    std::mutex mutex;
    std::condition_variable handedOver;
    std::deque<std::shared_ptr<Handover>> handovers;
    std::deque<Posted> posted;
    std::vector<Timer> timers;
    bool ended = false;
    INT_PTR result = 0;
    bool destroyed = false;

    HWND Handle() const { return reinterpret_cast<HWND>(serial << 8); }
    void Wake() const { wakeUp->Signal(); }
};

std::mutex g_tableMutex;
std::map<uintptr_t, std::shared_ptr<Dialog>> g_dialogs;
uintptr_t g_nextSerial = 0x101;

std::atomic<tovix::DialogObserver*> g_observer{nullptr};
std::atomic<double> g_timerScale{1.0};
std::atomic<LONG> g_dialogClassIcon{0};

tovix::DialogObserver* Observer() {
    static tovix::DialogObserver none;
    tovix::DialogObserver* o = g_observer.load();
    return o ? o : &none;
}

// Finds the dialog a window handle belongs to; *index is 0 for the dialog
// itself, else the control's position plus one.
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

// Runs fn on the dialog's thread: directly when already there, otherwise
// handed over and waited for. False when the dialog is gone.
bool OnDialogThread(Dialog& dialog, const std::function<LRESULT()>& fn, LRESULT* result) {
    if (std::this_thread::get_id() == dialog.thread) {
        LRESULT r = fn();
        if (result) {
            *result = r;
        }
        return true;
    }
    auto item = std::make_shared<Handover>();
    item->call = fn;
    std::unique_lock<std::mutex> lock(dialog.mutex);
    if (dialog.destroyed) {
        return false;
    }
    dialog.handovers.push_back(item);
    dialog.Wake();
    dialog.handedOver.wait(lock, [&] { return item->done; });
    if (result) {
        *result = item->result;
    }
    return !item->failed;
}

Control* FindControl(Dialog& dialog, int id) {
    for (Control& c : dialog.controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

LRESULT Dispatch(Dialog& dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Observer()->Message(dialog.Handle(), message, wParam, lParam);
    return dialog.proc(dialog.Handle(), message, wParam, lParam);
}

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
        WCHAR typed = tovix::FoldCase(static_cast<WCHAR>(msg.wParam));
        for (Control& c : dialog.controls) {
            char16_t mnemonic = 0;
            tovix::StripMnemonic(c.text, &mnemonic);
            if (c.windowClass == u"Button" && c.enabled && mnemonic &&
                tovix::FoldCase(static_cast<WCHAR>(mnemonic)) == typed) {
                Click(dialog, c);
                break;
            }
        }
    }
}

void Render(Dialog& dialog) {
    tovix::DialogView view;
    view.caption = dialog.caption;
    view.cx = dialog.cx;
    view.cy = dialog.cy;
    view.hasIcon = g_dialogClassIcon.load() != 0;
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
        std::shared_ptr<Handover> handover;
        Posted posted{};
        bool havePosted = false;
        bool timerDue = false;
        UINT_PTR timerId = 0;
        int waitMs = -1;
        {
            std::lock_guard<std::mutex> lock(dialog.mutex);
            if (dialog.ended) {
                return;
            }
            if (!dialog.handovers.empty()) {
                handover = dialog.handovers.front();
                dialog.handovers.pop_front();
            } else if (!dialog.posted.empty()) {
                posted = dialog.posted.front();
                dialog.posted.pop_front();
                havePosted = true;
            } else if (!dialog.timers.empty()) {
                Timer* next = &dialog.timers.front();
                for (Timer& t : dialog.timers) {
                    if (t.due < next->due) {
                        next = &t;
                    }
                }
                Clock::time_point now = Now();
                if (next->due <= now) {
                    timerDue = true;
                    timerId = next->id;
                    next->due = now + next->interval;
                } else {
                    auto left =
                        std::chrono::duration_cast<std::chrono::milliseconds>(next->due - now);
                    waitMs = static_cast<int>(left.count()) + 1;
                }
            }
        }

        if (handover) {
            LRESULT r = handover->call();
            std::lock_guard<std::mutex> lock(dialog.mutex);
            handover->result = r;
            handover->done = true;
            dialog.handedOver.notify_all();
            continue;
        }
        if (havePosted) {
            if (posted.message == WM_KEYDOWN || posted.message == WM_CHAR) {
                TranslateKey(dialog, posted);
            } else {
                Dispatch(dialog, posted.message, posted.wParam, posted.lParam);
            }
            continue;
        }
        if (timerDue) {
            Dispatch(dialog, WM_TIMER, timerId, 0);
            continue;
        }

        int what = dialog.wakeUp->Wait(dialog.display->InputFd(), waitMs);
        if (what) {
            if (what & tovix::kInput) {
                std::vector<tovix::KeyEvent> keys;
                dialog.display->ReadInput(&keys);
                std::lock_guard<std::mutex> lock(dialog.mutex);
                for (const tovix::KeyEvent& k : keys) {
                    switch (k.key) {
                    case tovix::Key::Enter:
                        dialog.posted.push_back({WM_KEYDOWN, VK_RETURN, 0});
                        break;
                    case tovix::Key::Escape:
                        dialog.posted.push_back({WM_KEYDOWN, VK_ESCAPE, 0});
                        break;
                    case tovix::Key::Space:
                        dialog.posted.push_back({WM_CHAR, u' ', 0});
                        break;
                    case tovix::Key::Close:
                        dialog.posted.push_back({WM_CLOSE, 0, 0});
                        break;
                    case tovix::Key::Char:
                        dialog.posted.push_back({WM_CHAR, k.ch, 0});
                        break;
                    }
                }
            }
            dialog.dirty = true; // a resize or a repaint request redraws too
        }
    }
}

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
    HMODULE module = instance ? instance : tovix::ProgramModule();
    std::lock_guard<std::mutex> lock(g_resourcesMutex);
    for (const ModuleResources& m : AllResources()) {
        if (m.module == module) {
            return &m.resources;
        }
    }
    return nullptr;
}

} // namespace

namespace tovix {

void SetModuleResources(HMODULE module, const unsigned char* res, size_t size) {
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

void SetDialogObserver(DialogObserver* observer) {
    g_observer.store(observer);
}

void SetTimerScale(double scale) {
    g_timerScale.store(scale > 0 ? scale : 1.0);
}

} // namespace tovix

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND, DLGPROC proc,
                        LPARAM param) {
    const std::vector<resdata::Resource>* resources = ResourcesOf(instance);
    if (!proc || !resources || !IS_INTRESOURCE(templateName)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    const resdata::Resource* res =
        resdata::FindResourceEntry(*resources, resdata::kTypeDialog,
                                   static_cast<WORD>(reinterpret_cast<uintptr_t>(templateName)));
    resdata::DialogTemplate tpl;
    if (!res || !resdata::ParseDialogEx(res->data, res->size, &tpl)) {
        SetLastError(res ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }

    std::unique_ptr<tovix::DialogDisplay> display;
    display = tovix::HostDriver().createDisplay();
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
    dialog->caption = tpl.title;
    dialog->cx = tpl.cx;
    dialog->cy = tpl.cy;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        dialog->serial = g_nextSerial++;
        for (size_t i = 0; i < tpl.items.size() && i < 0xFF; ++i) {
            const resdata::DialogItem& item = tpl.items[i];
            Control c;
            c.hwnd = reinterpret_cast<HWND>((dialog->serial << 8) | (i + 1));
            c.id = static_cast<int>(item.id);
            c.windowClass = item.windowClass.Is(resdata::kClassButton) ? u"Button" : u"Static";
            if (!item.windowClass.isOrdinal) {
                std::u16string name = item.windowClass.text;
                for (char16_t& ch : name) {
                    ch = static_cast<char16_t>(tovix::FoldCase(static_cast<WCHAR>(ch)));
                }
                c.windowClass = name == u"button" ? u"Button" : u"Static";
            }
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
    HWND hwnd = dialog->Handle();
    Observer()->Created(hwnd);

    HWND focus = nullptr;
    for (const Control& c : dialog->controls) {
        if (c.style & WS_TABSTOP) {
            focus = c.hwnd;
            break;
        }
    }
    Dispatch(*dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);
    RunModalLoop(*dialog);

    // Destroy: calls still handed over fail, timers die with the window.
    INT_PTR result;
    {
        std::lock_guard<std::mutex> lock(dialog->mutex);
        dialog->destroyed = true;
        for (auto& item : dialog->handovers) {
            item->done = true;
            item->failed = true;
        }
        dialog->handovers.clear();
        dialog->timers.clear();
        result = dialog->result;
        dialog->handedOver.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        g_dialogs.erase(dialog->serial);
    }
    dialog->display->Close();
    Observer()->Destroyed(hwnd);
    return result;
}

BOOL EndDialog(HWND hwnd, INT_PTR result) {
    auto dialog = LookupDialog(hwnd);
    if (!dialog) {
        return InvalidWindow();
    }
    {
        std::lock_guard<std::mutex> lock(dialog->mutex);
        if (dialog->destroyed) {
            return InvalidWindow();
        }
        dialog->ended = true;
        dialog->result = result;
        dialog->Wake();
    }
    Observer()->Ended(hwnd, result);
    return TRUE;
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

// EnableWindow and IsWindowEnabled on a control (or on the dialog itself,
// which is always enabled here).
BOOL EnableWindow(HWND hwnd, BOOL enable) {
    size_t index = 0;
    auto dialog = Lookup(hwnd, &index);
    if (!dialog) {
        return InvalidWindow();
    }
    if (index == 0) {
        return FALSE;
    }
    Dialog* d = dialog.get();
    LRESULT wasDisabled = FALSE;
    if (!OnDialogThread(
            *d,
            [d, index, enable]() -> LRESULT {
                Control& c = d->controls[index - 1];
                bool was = c.enabled;
                if (was != (enable != FALSE)) {
                    SetControlEnabled(*d, c, enable != FALSE);
                }
                return !was;
            },
            &wasDisabled)) {
        return InvalidWindow();
    }
    return static_cast<BOOL>(wasDisabled); // nonzero when it was disabled before
}

BOOL IsWindowEnabled(HWND hwnd) {
    size_t index = 0;
    auto dialog = Lookup(hwnd, &index);
    if (!dialog) {
        return InvalidWindow();
    }
    if (index == 0) {
        return TRUE;
    }
    Dialog* d = dialog.get();
    LRESULT enabled = FALSE;
    if (!OnDialogThread(
            *d, [d, index]() -> LRESULT { return d->controls[index - 1].enabled; }, &enabled)) {
        return InvalidWindow();
    }
    return static_cast<BOOL>(enabled);
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, TIMERPROC proc) {
    auto dialog = LookupDialog(hwnd);
    if (!dialog || proc) {
        // Timer procedures are left out: only WM_TIMER to a dialog.
        if (proc) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return 0;
        }
        return InvalidWindow();
    }
    if (id == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UINT effective = ms < 10 ? 10 : ms; // the platform's minimum (USER_TIMER_MINIMUM)
    auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(effective * g_timerScale.load()));
    {
        std::lock_guard<std::mutex> lock(dialog->mutex);
        if (dialog->destroyed) {
            return InvalidWindow();
        }
        bool replaced = false;
        for (Timer& t : dialog->timers) {
            if (t.id == id) {
                t.interval = interval;
                t.due = Now() + interval;
                replaced = true;
            }
        }
        if (!replaced) {
            dialog->timers.push_back({id, interval, Now() + interval});
        }
        dialog->Wake();
    }
    Observer()->TimerSet(hwnd, id, ms);
    return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    auto dialog = LookupDialog(hwnd);
    if (!dialog) {
        return InvalidWindow();
    }
    bool existed = false;
    {
        std::lock_guard<std::mutex> lock(dialog->mutex);
        for (auto it = dialog->timers.begin(); it != dialog->timers.end(); ++it) {
            if (it->id == id) {
                dialog->timers.erase(it);
                existed = true;
                break;
            }
        }
    }
    Observer()->TimerKilled(hwnd, id, existed);
    if (!existed) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return existed ? TRUE : FALSE;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    size_t index = 0;
    auto dialog = Lookup(hwnd, &index);
    if (!dialog) {
        return InvalidWindow();
    }
    Dialog* d = dialog.get();
    LRESULT result = 0;
    std::function<LRESULT()> call;
    if (index == 0) {
        call = [d, message, wParam, lParam]() { return Dispatch(*d, message, wParam, lParam); };
    } else if (message == WM_SETTEXT) {
        std::u16string text(tovix::AsU16(reinterpret_cast<LPCWSTR>(lParam)),
                            tovix::WideLength(reinterpret_cast<LPCWSTR>(lParam)));
        call = [d, index, text]() -> LRESULT {
            SetControlText(*d, d->controls[index - 1], text);
            return TRUE;
        };
    } else if (message == WM_ENABLE) {
        call = [d, index, wParam]() -> LRESULT {
            SetControlEnabled(*d, d->controls[index - 1], wParam != 0);
            return 0;
        };
    } else {
        return 0; // controls handle nothing else here
    }
    if (!OnDialogThread(*d, call, &result)) {
        return InvalidWindow();
    }
    return result;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto dialog = LookupDialog(hwnd);
    if (!dialog) {
        return InvalidWindow();
    }
    std::lock_guard<std::mutex> lock(dialog->mutex);
    if (dialog->destroyed) {
        return InvalidWindow();
    }
    dialog->posted.push_back({message, wParam, lParam});
    dialog->Wake();
    return TRUE;
}

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
// class value kept.
DWORD SetClassLongW(HWND hwnd, int index, LONG value) {
    if (!LookupDialog(hwnd)) {
        return InvalidWindow();
    }
    if (index != GCL_HICON && index != GCL_HICONSM) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    DWORD previous = static_cast<DWORD>(g_dialogClassIcon.exchange(value));
    auto dialog = LookupDialog(hwnd);
    if (dialog) {
        std::lock_guard<std::mutex> lock(dialog->mutex);
        dialog->Wake(); // redraw with the icon
    }
    SetLastError(0);
    return previous;
}

DWORD GetClassLongW(HWND hwnd, int index) {
    if (!LookupDialog(hwnd)) {
        return InvalidWindow();
    }
    if (index != GCL_HICON && index != GCL_HICONSM) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    return static_cast<DWORD>(g_dialogClassIcon.load());
}
