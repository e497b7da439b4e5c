#include "recorder.h"

#include "common/text.h"

#include <chrono>

Recorder::Recorder() {
    tovix::SetDialogObserver(this);
}
Recorder::~Recorder() {
    tovix::SetDialogObserver(nullptr);
}

std::vector<std::string> Recorder::Lines() {
    return log_.Lines();
}

HWND Recorder::Window() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [this] { return window_ != nullptr; });
    return window_;
}

bool Recorder::WaitFor(const std::string& text) {
    return log_.WaitFor(text);
}

void Recorder::Created(HWND hwnd) {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = hwnd;
    changed_.notify_all();
}

void Recorder::Message(HWND, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        Add("WM_INITDIALOG");
        break;
    case WM_COMMAND:
        Add("WM_COMMAND " + std::to_string(LOWORD(wParam)));
        break;
    case WM_CLOSE:
        Add("WM_CLOSE");
        break;
    case WM_TIMER:
        Add("WM_TIMER " + std::to_string(wParam));
        break;
    default:
        Add("message " + std::to_string(message));
        break;
    }
}

void Recorder::TextChanged(HWND hwnd, int id, const std::u16string& text) {
    std::string utf8 = tovix::Utf16ToUtf8(text);
    Add("text " + std::to_string(id) + " " + utf8);
    if (onText) {
        onText(hwnd, id, utf8);
    }
}

void Recorder::EnabledChanged(HWND, int id, bool enabled) {
    Add("enable " + std::to_string(id) + " " + (enabled ? "1" : "0"));
}

void Recorder::TimerSet(HWND, UINT_PTR id, UINT ms) {
    Add("SetTimer " + std::to_string(id) + " " + std::to_string(ms));
}

void Recorder::TimerKilled(HWND, UINT_PTR id, bool existed) {
    Add("KillTimer " + std::to_string(id) + (existed ? "" : " (none)"));
}

void Recorder::Ended(HWND, INT_PTR result) {
    Add("EndDialog " + std::to_string(result));
}

void UseHeadlessDisplay() {
    tovix::UseDriver(tovix::NullDriver());
}
