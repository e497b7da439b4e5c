/*
 * The host dialog manager's messages (see window.h): the dialog procedure's
 * calls, the queues of a dialog, and the hand-over of work between threads.
 *
 * A dialog's thread serves, between two messages and in this order: calls
 * handed over by other threads (control changes, SendMessageW), posted
 * messages and input, and timers that are due (WM_TIMER comes last, as on
 * Windows). A call handed over returns only once applied on the dialog's
 * thread; if the dialog ends first, it fails with
 * ERROR_INVALID_WINDOW_HANDLE. The display's keys become posted WM_KEYDOWN
 * and WM_CHAR messages (dialog.cpp translates them) and its close request
 * WM_CLOSE.
 *
 * Map: dispatch and hand-over; what the loop does next; SendMessageW and
 * PostMessageW.
 */
#include "user32/window.h"

#include "common/text.h"

namespace tovix::user32 {

namespace {

Posted KeyMessage(const KeyEvent& k) {
    switch (k.key) {
    case Key::Enter:
        return {WM_KEYDOWN, VK_RETURN, 0};
    case Key::Escape:
        return {WM_KEYDOWN, VK_ESCAPE, 0};
    case Key::Space:
        return {WM_CHAR, u' ', 0};
    case Key::Close:
        return {WM_CLOSE, 0, 0};
    case Key::Char:
        break;
    }
    return {WM_CHAR, k.ch, 0};
}

} // namespace

// ---- Dispatch and hand-over -------------------------------------------------

LRESULT Dispatch(Dialog& dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    Observer()->Message(dialog.Handle(), message, wParam, lParam);
    return dialog.proc(dialog.Handle(), message, wParam, lParam);
}

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

void Serve(Dialog& dialog, Handover& handover) {
    LRESULT r = handover.call();
    std::lock_guard<std::mutex> lock(dialog.mutex);
    handover.result = r;
    handover.done = true;
    dialog.handedOver.notify_all();
}

void FailHandovers(Dialog& dialog) {
    for (auto& item : dialog.handovers) {
        item->done = true;
        item->failed = true;
    }
    dialog.handovers.clear();
    dialog.handedOver.notify_all();
}

// ---- What the loop does next --------------------------------------------------

Work NextWork(Dialog& dialog) {
    Work work;
    std::lock_guard<std::mutex> lock(dialog.mutex);
    if (dialog.ended) {
        work.kind = Work::kEnded;
    } else if (!dialog.handovers.empty()) {
        work.kind = Work::kHandover;
        work.handover = dialog.handovers.front();
        dialog.handovers.pop_front();
    } else if (!dialog.posted.empty()) {
        work.kind = Work::kPosted;
        work.posted = dialog.posted.front();
        dialog.posted.pop_front();
    } else if (TakeDueTimer(dialog, &work.timerId, &work.waitMs)) {
        work.kind = Work::kTimer;
    }
    return work;
}

void WaitForWork(Dialog& dialog, int waitMs) {
    int what = dialog.wakeUp->Wait(dialog.display->InputFd(), waitMs);
    if (what & kInput) {
        std::vector<KeyEvent> keys;
        dialog.display->ReadInput(&keys);
        std::lock_guard<std::mutex> lock(dialog.mutex);
        for (const KeyEvent& k : keys) {
            dialog.posted.push_back(KeyMessage(k));
        }
    }
    if (what) {
        dialog.dirty = true; // a resize or a repaint request redraws too
    }
}

} // namespace tovix::user32

using namespace tovix::user32;

// ---- SendMessageW and PostMessageW ------------------------------------------

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
    std::unique_lock<std::mutex> lock;
    auto dialog = LockLiveDialog(hwnd, &lock);
    if (!dialog) {
        return FALSE;
    }
    dialog->posted.push_back({message, wParam, lParam});
    dialog->Wake();
    return TRUE;
}
