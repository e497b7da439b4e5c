/*
 * A link-time stand-in for the user32 functions the update worker calls
 * (SetDlgItemTextW, GetDlgItem, EnableWindow, SetTimer, KillTimer): each call
 * is recorded, from whatever thread, and succeeds. wsprintfW is the real one.
 */
#ifndef TOVIX_TESTS_UPDATE_USER32_DOUBLE_H
#define TOVIX_TESTS_UPDATE_USER32_DOUBLE_H

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace user32_double {

struct Call {
    std::string function;
    HWND window;
    int id;           // control or timer identifier
    std::string text; // SetDlgItemTextW, as UTF-8
    UINT elapse;      // SetTimer
    BOOL enable;      // EnableWindow
};

// The handle GetDlgItem gives for a control of the window.
HWND ItemHandle(HWND window, int id);

std::vector<Call> Calls();
void Clear();
// Waits up to `bound` until `done` holds for the calls so far.
bool WaitFor(const std::function<bool(const std::vector<Call>&)>& done,
             std::chrono::milliseconds bound);

} // namespace user32_double

#endif
