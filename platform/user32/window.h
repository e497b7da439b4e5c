/*
 * The host dialog manager's own records, shared by its files: a dialog and
 * its controls (window.cpp keeps the handle table), the queues other
 * threads hand work to (message.cpp), timers (timer.cpp) and the modal
 * loop (dialog.cpp). Nothing outside platform/user32 includes this.
 */
#ifndef TOVIX_PLATFORM_USER32_WINDOW_H
#define TOVIX_PLATFORM_USER32_WINDOW_H

#include <windows.h>

#include "driver/driver.h"
#include "user32/dialog_manager.h"
#include "user32/resource_data.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tovix::user32 {

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
    std::unique_ptr<DialogDisplay> display;
    std::unique_ptr<WakeUp> wakeUp;

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

// What the modal loop does next (message.cpp picks it).
struct Work {
    enum Kind { kWait, kEnded, kHandover, kPosted, kTimer } kind = kWait;
    std::shared_ptr<Handover> handover;
    Posted posted{};
    UINT_PTR timerId = 0;
    int waitMs = -1; // for kWait: until the next timer is due, or -1
};

// window.cpp: handles, controls and the class icon.
Clock::time_point Now();
DialogObserver* Observer();
// The dialog a window handle belongs to; *index is 0 for the dialog itself,
// else the control's position plus one.
std::shared_ptr<Dialog> Lookup(HWND hwnd, size_t* index);
std::shared_ptr<Dialog> LookupDialog(HWND hwnd);
BOOL InvalidWindow();
// The dialog hwnd names, locked in *lock, while it is not destroyed; else
// null, with ERROR_INVALID_WINDOW_HANDLE set.
std::shared_ptr<Dialog> LockLiveDialog(HWND hwnd, std::unique_lock<std::mutex>* lock);
// Gives the dialog its handle and controls (from the template) and enters
// it in the handle table; Forget takes it out.
void Register(const std::shared_ptr<Dialog>& dialog, const resdata::DialogTemplate& tpl);
void Forget(const Dialog& dialog);
Control* FindControl(Dialog& dialog, int id);
void SetControlText(Dialog& dialog, Control& control, const std::u16string& text);
void SetControlEnabled(Dialog& dialog, Control& control, bool enabled);
bool ClassHasIcon();
// The resources start-up handed over for a module (null: the program's).
const std::vector<resdata::Resource>* ResourcesOf(HINSTANCE instance);

// message.cpp: the dialog procedure and the hand-over between threads.
LRESULT Dispatch(Dialog& dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Runs fn on the dialog's thread: directly when already there, otherwise
// handed over and waited for. False when the dialog is gone.
bool OnDialogThread(Dialog& dialog, const std::function<LRESULT()>& fn, LRESULT* result);
Work NextWork(Dialog& dialog);
void Serve(Dialog& dialog, Handover& handover);
// Sleeps until woken, input or waitMs; input becomes posted key messages.
void WaitForWork(Dialog& dialog, int waitMs);
// Fails every call still handed over: the dialog is gone.
void FailHandovers(Dialog& dialog);

// timer.cpp
// Under dialog.mutex: the timer due now (true, its id in *id, re-armed), or
// in *waitMs the wait until the next one (-1: none).
bool TakeDueTimer(Dialog& dialog, UINT_PTR* id, int* waitMs);

} // namespace tovix::user32

#endif
