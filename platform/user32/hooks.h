/*
 * What the host dialog manager offers tests and the terminal front end
 * beyond the Win32 calls: the display a dialog is drawn on, an observer of
 * everything that happens to a dialog, and a scale for timer intervals.
 * The program itself never calls these.
 */
#ifndef TOVIX_PLATFORM_USER32_HOOKS_H
#define TOVIX_PLATFORM_USER32_HOOKS_H

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tovix {

// What a display shows of one control.
struct ControlView {
    int id;
    std::u16string windowClass; // "Button" or "Static"
    DWORD style;
    std::u16string text;
    bool enabled;
    bool isIcon;        // a static icon control
    short x, y, cx, cy; // dialog units
};

struct DialogView {
    std::u16string caption;
    short cx, cy; // dialog units
    bool hasIcon; // the window class has an icon
    std::vector<ControlView> controls;
};

// Key input a display delivers; the dialog manager turns it into the
// messages the platform would send (see user32/window.cpp).
enum class Key { Enter, Escape, Space, Close, Char };
struct KeyEvent {
    Key key;
    char16_t ch; // for Key::Char
};

class DialogDisplay {
  public:
    virtual ~DialogDisplay() = default;
    // False when there is nothing to show the dialog on.
    virtual bool Open() = 0;
    // A descriptor that becomes readable when input is waiting, or -1.
    virtual int InputFd() = 0;
    // Reads what input is waiting, without blocking.
    virtual void ReadInput(std::vector<KeyEvent>* out) = 0;
    virtual void Render(const DialogView& view) = 0;
    virtual void Close() = 0;
};

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
