/*
 * Records what happens to a dialog (messages to its procedure, control
 * changes, timers, its end) as lines of text, in the order they happen, and
 * lets a test thread wait for a line to appear.
 */
#ifndef TOVIX_TESTS_UI_RECORDER_H
#define TOVIX_TESTS_UI_RECORDER_H

#include "line_log.h"
#include "user32/dialog_manager.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class Recorder : public tovix::DialogObserver {
  public:
    Recorder();
    ~Recorder() override;

    std::vector<std::string> Lines();
    HWND Window();
    // Waits (bounded) until a line equal to text has been recorded, and
    // returns whether it was.
    bool WaitFor(const std::string& text);
    // Runs on the dialog's thread right after a control text was applied.
    std::function<void(HWND, int, const std::string&)> onText;

    void Created(HWND) override;
    void Message(HWND, UINT, WPARAM, LPARAM) override;
    void TextChanged(HWND, int, const std::u16string&) override;
    void EnabledChanged(HWND, int, bool) override;
    void TimerSet(HWND, UINT_PTR, UINT) override;
    void TimerKilled(HWND, UINT_PTR, bool) override;
    void Ended(HWND, INT_PTR) override;

  private:
    void Add(const std::string& line) { log_.Add(line); }
    LineLog log_;
    std::mutex mutex_;
    std::condition_variable changed_;
    HWND window_ = nullptr;
};

// Every later dialog on the headless display (driver/null).
void UseHeadlessDisplay();

#endif
