/*
 * What the host dialog manager offers tests and the terminal front end
 * beyond the Win32 calls: the display a dialog is drawn on, an observer of
 * everything that happens to a dialog, and a scale for timer intervals.
 * The program itself never calls these.
 */
#ifndef TOVIX_PLATFORM_USER32_HOOKS_H
#define TOVIX_PLATFORM_USER32_HOOKS_H

#include <windows.h>
#include "driver/driver.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tovix {

// The display of every later dialog; null restores the terminal display.
void SetDialogDisplayFactory(std::function<std::unique_ptr<DialogDisplay>()> factory);

// Sees every message dispatched to a dialog procedure and every change of a
// dialog's controls, as it happens on the dialog's thread; timers armed or
// killed and EndDialog are reported on the thread that called them.
class DialogObserver {
  public:
    virtual ~DialogObserver() = default;
    virtual void Created(HWND) {}
    virtual void Message(HWND, UINT, WPARAM, LPARAM) {}
    virtual void TextChanged(HWND, int /*id*/, const std::u16string&) {}
    virtual void EnabledChanged(HWND, int /*id*/, bool) {}
    virtual void TimerSet(HWND, UINT_PTR /*id*/, UINT /*ms*/) {}
    virtual void TimerKilled(HWND, UINT_PTR /*id*/, bool /*existed*/) {}
    virtual void Ended(HWND, INT_PTR) {}
    virtual void Destroyed(HWND) {}
};
void SetDialogObserver(DialogObserver* observer);

// Multiplies every timer interval (tests run the two-second timer in a few
// milliseconds). 1.0 by default.
void SetTimerScale(double scale);

// The control's rendering of a caption: '&' marks the next character as the
// mnemonic (returned in *mnemonic, 0 if none) and "&&" stands for '&'.
std::u16string StripMnemonic(const std::u16string& text, char16_t* mnemonic);

} // namespace tovix

#endif
