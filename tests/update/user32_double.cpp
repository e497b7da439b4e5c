/* Recording user32 stand-ins for the update worker's tests (see user32_double.h). */
#include "user32_double.h"

#include <condition_variable>
#include <mutex>

#include "text.h"

namespace user32_double {

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<Call> g_calls;

void Record(Call call) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_calls.push_back(std::move(call));
    }
    g_changed.notify_all();
}

} // namespace

HWND ItemHandle(HWND window, int id) {
    return reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(window) + 0x10000 +
                                  static_cast<uintptr_t>(id));
}

std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

void Clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
}

bool WaitFor(const std::function<bool(const std::vector<Call>&)>& done,
             std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, bound, [&] { return done(g_calls); });
}

} // namespace user32_double

using user32_double::Call;

BOOL SetDlgItemTextW(HWND window, int id, LPCWSTR text) {
    user32_double::Record(Call{"SetDlgItemTextW", window, id, testing_text::U8(text), 0, FALSE});
    return TRUE;
}

HWND GetDlgItem(HWND window, int id) {
    user32_double::Record(Call{"GetDlgItem", window, id, "", 0, FALSE});
    return user32_double::ItemHandle(window, id);
}

BOOL EnableWindow(HWND window, BOOL enable) {
    user32_double::Record(Call{"EnableWindow", window, 0, "", 0, enable});
    return FALSE;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC) {
    user32_double::Record(Call{"SetTimer", window, static_cast<int>(id), "", elapse, FALSE});
    return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    user32_double::Record(Call{"KillTimer", window, static_cast<int>(id), "", 0, FALSE});
    return TRUE;
}
