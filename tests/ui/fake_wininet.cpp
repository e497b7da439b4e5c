#include "fake_wininet.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
fake::Script g_script;
uintptr_t g_nextSession = 0x5000;
uintptr_t g_session = 0; // the live session handle, or 0
bool g_sessionClosed = false;
bool g_blocked = false;
bool g_released = false;
int g_closes = 0;
int g_badCloses = 0;
int g_open = 0;
INTERNET_STATUS_CALLBACK g_callback = nullptr;        // the session's
INTERNET_STATUS_CALLBACK g_requestCallback = nullptr; // the request's own copy
DWORD_PTR g_requestContext = 0;
const uintptr_t kRequest = 0x3000; // below every session handle

} // namespace

namespace fake {

void Reset(const Script& script) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script = script;
    g_session = 0;
    g_sessionClosed = false;
    g_blocked = false;
    g_released = false;
    g_closes = 0;
    g_badCloses = 0;
    g_open = 0;
    g_callback = nullptr;
    g_requestCallback = nullptr;
    g_requestContext = 0;
}

bool WaitUntilBlocked() {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(20), [] { return g_blocked; });
}

void Release() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_released = true;
    g_changed.notify_all();
}

int SessionCloses() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_closes;
}
int BadCloses() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_badCloses;
}
int OpenSessions() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_open;
}

} // namespace fake

HINTERNET InternetOpenW(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_session = g_nextSession;
    g_nextSession += 4;
    g_sessionClosed = false;
    ++g_open;
    return reinterpret_cast<HINTERNET>(g_session);
}

BOOL InternetSetOptionW(HINTERNET, DWORD, LPVOID, DWORD) {
    return TRUE;
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallbackW(HINTERNET handle, INTERNET_STATUS_CALLBACK cb) {
    std::lock_guard<std::mutex> lock(g_mutex);
    INTERNET_STATUS_CALLBACK& slot =
        reinterpret_cast<uintptr_t>(handle) == kRequest ? g_requestCallback : g_callback;
    INTERNET_STATUS_CALLBACK previous = slot;
    slot = cb;
    return previous;
}

HINTERNET InternetOpenUrlW(HINTERNET session, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD_PTR context) {
    fake::Script script;
    INTERNET_STATUS_CALLBACK callback;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!session || reinterpret_cast<uintptr_t>(session) != g_session || g_sessionClosed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        script = g_script;
        callback = g_callback;
    }
    for (DWORD stage : script.stages) {
        if (callback && context) {
            callback(session, context, stage, nullptr, 0);
        }
    }
    if (script.open == fake::Open::Fail) {
        SetLastError(script.failCode);
        return nullptr;
    }
    if (script.open == fake::Open::Block || script.open == fake::Open::BlockIgnoringClose) {
        std::unique_lock<std::mutex> lock(g_mutex);
        g_blocked = true;
        g_changed.notify_all();
        auto done = [&] {
            return g_released || (script.open == fake::Open::Block && g_sessionClosed);
        };
        bool ended = script.blockMicroseconds < 0
                         ? (g_changed.wait(lock, done), true)
                         : g_changed.wait_for(
                               lock, std::chrono::microseconds(script.blockMicroseconds), done);
        if (ended) {
            SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
            return nullptr;
        }
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_requestCallback = callback;
    g_requestContext = context;
    return reinterpret_cast<HINTERNET>(kRequest);
}

BOOL InternetReadFile(HINTERNET, LPVOID buffer, DWORD size, LPDWORD read) {
    std::string answer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        answer = g_script.answer;
    }
    DWORD n = static_cast<DWORD>(answer.size() < size ? answer.size() : size);
    answer.copy(static_cast<char*>(buffer), n);
    *read = n;
    SetLastError(0);
    return TRUE;
}

BOOL InternetCloseHandle(HINTERNET handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == kRequest) {
        INTERNET_STATUS_CALLBACK callback;
        DWORD_PTR context;
        bool closing;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            callback = g_requestCallback;
            context = g_requestContext;
            closing = g_script.closesConnection;
        }
        if (callback && context) {
            if (closing) {
                callback(handle, context, INTERNET_STATUS_CLOSING_CONNECTION, nullptr, 0);
                callback(handle, context, INTERNET_STATUS_CONNECTION_CLOSED, nullptr, 0);
            }
            callback(handle, context, INTERNET_STATUS_HANDLE_CLOSING, &handle, sizeof(handle));
        }
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (value != g_session || g_sessionClosed) {
        ++g_badCloses;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_sessionClosed = true;
    ++g_closes;
    --g_open;
    g_changed.notify_all();
    return TRUE;
}
