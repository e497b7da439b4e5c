/*
 * The host driver: what the Win32 layer needs from the host system and no
 * Windows library provides. Today this is the display that a dialog is
 * drawn on and that delivers its keys; the terminal display lives in tty/,
 * the headless one in null/.
 */
#ifndef TOVIX_PLATFORM_DRIVER_DRIVER_H
#define TOVIX_PLATFORM_DRIVER_DRIVER_H

#include <windows.h>

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

// The headless display: it always opens (unless made with opens false),
// shows nothing, reads no input, and keeps the last view it was given.
std::unique_ptr<DialogDisplay> MakeNullDisplay(bool opens = true);
// The last view any headless display was given (for tests).
DialogView LastNullDisplayView();

} // namespace tovix

#endif
