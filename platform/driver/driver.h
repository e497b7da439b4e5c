/*
 * The host driver: everything the Win32 layer needs from the host system,
 * so that the DLL folders (kernel32, user32, wininet, rasapi32, rasdlg)
 * hold Win32 behaviour only. It is cut the way Wine's user32 sits on
 * USER_DRIVER: one table of calls (Driver), filled by the terminal driver
 * (tty/) or the headless one (null/); start/ picks the terminal driver for
 * the program, and everything else (tests, benchmarks) runs headless. Any
 * entry a replacement table leaves null falls back to the headless one.
 *
 * Like SQLite's aSyscall[] in os_unix.c, the table is also where tests
 * change what the host does (a display that cannot open, a program that
 * cannot start); and one named table of Win32 calls lets a test make the
 * next use of a call fail (FailNextCall).
 *
 * Sections: the display (views, keys); wake-ups; the driver table; the
 * host calls behind it (processes, environment and locale, sockets, clock);
 * the fault table.
 */
#ifndef TOVIX_PLATFORM_DRIVER_DRIVER_H
#define TOVIX_PLATFORM_DRIVER_DRIVER_H

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tovix {

// ---- The display ---------------------------------------------------------

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

// The control's rendering of a caption: '&' marks the next character as the
// mnemonic (returned in *mnemonic, 0 if none) and "&&" stands for '&'.
std::u16string StripMnemonic(const std::u16string& text, char16_t* mnemonic);

// ---- Wake-ups ------------------------------------------------------------

// What a modal loop sleeps on: a signal from other threads, and the
// display's input.
class WakeUp {
  public:
    virtual ~WakeUp() = default;
    // Wakes the waiter (any thread).
    virtual void Signal() = 0;
    // Sleeps until signalled, until inputFd (-1: none) is readable, or for
    // timeoutMs (-1: no limit); clears the signal. Returns kWoken and/or
    // kInput, or 0 when the time ran out.
    virtual int Wait(int inputFd, int timeoutMs) = 0;
};
const int kWoken = 1;
const int kInput = 2;

// ---- The driver table ----------------------------------------------------

using Clock = std::chrono::steady_clock;

struct Driver {
    const char* name;
    // The display of a dialog about to be created; false from its Open()
    // means there is nothing to show a window on.
    std::unique_ptr<DialogDisplay> (*createDisplay)();
    std::unique_ptr<WakeUp> (*createWakeUp)();
    // Runs argv[0] (looked up in PATH, no shell) with argv and waits for it:
    // its exit status, 128 plus the signal that ended it, or -1 when it
    // could not be started.
    int (*runProgram)(const std::vector<std::string>& argv);
    // An environment variable, or null when unset.
    const char* (*getEnvironment)(const char* name);
    // A socket that is not inherited by programs started later, or -1.
    int (*openSocket)(int family, int type, int protocol);
    Clock::time_point (*now)();
};

// The terminal driver (tty/) and the headless one (null/).
const Driver& TtyDriver();
const Driver& NullDriver();
// The driver in use: the headless one until UseDriver picks another.
const Driver& HostDriver();
// Copies the table; its null entries are the headless driver's.
void UseDriver(const Driver& driver);

// ---- Host calls, through the driver in use ------------------------------

int RunProgram(const std::vector<std::string>& argv);
// An environment variable, or fallback when unset or empty.
std::string Environment(const char* name, const char* fallback = "");
// The user's message language, from LC_ALL, LC_MESSAGES and LANG (the
// first one set): true for Simplified Chinese ("zh..."), else English.
bool UserLocaleIsChinese();
// The numeric text of an IPv4 or IPv6 socket address (a struct sockaddr).
std::string SocketAddressText(const void* address);

// ---- The fault table -----------------------------------------------------

// The next use of the named call fails with error (a Win32 code) and does
// nothing else. The calls: "CreateThread", "InternetOpenUrlW",
// "InternetReadFile". False for a name not in the table.
bool FailNextCall(const char* call, DWORD error);
// For the layer, at the start of the call: the error to fail with (once),
// or 0.
DWORD TakeFault(const char* call);

// ---- The headless display -------------------------------------------------

// It opens (unless made with opens false), shows nothing, reads no input,
// and keeps the last view it was given.
std::unique_ptr<DialogDisplay> MakeNullDisplay(bool opens = true);
// The last view any headless display was given (for tests).
DialogView LastNullDisplayView();

} // namespace tovix

#endif
