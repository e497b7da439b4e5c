/*
 * The host dialog manager's timers (see window.h): SetTimer and KillTimer
 * on a dialog, from any thread; WM_TIMER arrives on the dialog's thread,
 * after everything else that is waiting, as on Windows. An interval under
 * ten milliseconds is ten (USER_TIMER_MINIMUM). Timer procedures and
 * timers without a window are left out. Tests may scale every interval.
 */
#include "user32/window.h"

#include <atomic>

namespace tovix::user32 {

namespace {
std::atomic<double> g_timerScale{1.0};
} // namespace

bool TakeDueTimer(Dialog& dialog, UINT_PTR* id, int* waitMs) {
    *waitMs = -1;
    if (dialog.timers.empty()) {
        return false;
    }
    Timer* next = &dialog.timers.front();
    for (Timer& t : dialog.timers) {
        if (t.due < next->due) {
            next = &t;
        }
    }
    Clock::time_point now = Now();
    if (next->due <= now) {
        *id = next->id;
        next->due = now + next->interval;
        return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next->due - now);
    *waitMs = static_cast<int>(left.count()) + 1;
    return false;
}

} // namespace tovix::user32

using namespace tovix::user32;
using tovix::Clock;

void tovix::SetTimerScale(double scale) {
    g_timerScale.store(scale > 0 ? scale : 1.0);
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
