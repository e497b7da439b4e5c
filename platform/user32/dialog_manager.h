/*
 * What the host dialog manager offers beyond the Win32 calls: start-up
 * hands it a module's compiled resources (as the loader maps a module's
 * resource section on Windows); tests observe everything that happens to
 * a dialog and scale timer intervals. The display a dialog is drawn on
 * comes from the driver (driver/driver.h). The program never calls these.
 */
#ifndef TOVIX_PLATFORM_USER32_DIALOG_MANAGER_H
#define TOVIX_PLATFORM_USER32_DIALOG_MANAGER_H

#include <windows.h>
#include "driver/driver.h"

#include <memory>
#include <string>
#include <vector>

namespace tovix {

// The resources of module: the bytes of a compiled .res file, which must
// stay in place. DialogBoxParamW and LoadIconW find resources through
// this; a module never given any has none.
void SetModuleResources(HMODULE module, const unsigned char* res, size_t size);

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

} // namespace tovix

#endif
