/*
 * kernel32 threads and last error: CreateThread (started at once; creation
 * flags other than 0 are not supported), CloseHandle, WaitForSingleObject and
 * GetExitCodeThread on thread handles, GetCurrentThreadId, Sleep, and the
 * per-thread last-error code. Thread handles come from a table, so a closed
 * or made-up handle fails with ERROR_INVALID_HANDLE instead of touching
 * freed memory. Closing a handle never stops its thread.
 */
#include <windows.h>
#include "driver/driver.h"
#include "kernel32/threads.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#define STILL_ACTIVE 259u

namespace {

thread_local DWORD t_lastError = 0;

struct ThreadObject {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
};

std::mutex g_tableMutex;
std::map<uintptr_t, std::shared_ptr<ThreadObject>>& Table() {
    static auto* table = new std::map<uintptr_t, std::shared_ptr<ThreadObject>>(); // never freed:
    return *table; // detached threads may still close handles while the process exits
}
uintptr_t g_nextHandle = 0x104;
std::atomic<int> g_running{0};
std::atomic<DWORD> g_nextThreadId{0x1000};
thread_local DWORD t_threadId = 0;

std::shared_ptr<ThreadObject> Lookup(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    auto it = Table().find(reinterpret_cast<uintptr_t>(h));
    return it == Table().end() ? nullptr : it->second;
}

} // namespace

DWORD GetLastError(void) {
    return t_lastError;
}
void SetLastError(DWORD code) {
    t_lastError = code;
}

DWORD GetCurrentThreadId(void) {
    if (!t_threadId) {
        t_threadId = g_nextThreadId.fetch_add(4);
    }
    return t_threadId;
}

void Sleep(DWORD ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId) {
    if (DWORD err = tovix::TakeFault("CreateThread")) {
        SetLastError(err);
        return nullptr;
    }
    if (!start || flags != 0) {
        SetLastError(start ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<ThreadObject>();
    DWORD id = g_nextThreadId.fetch_add(4);
    uintptr_t handle;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        handle = g_nextHandle;
        g_nextHandle += 4;
        Table()[handle] = object;
    }
    g_running.fetch_add(1);
    std::thread([object, start, param, id] {
        t_threadId = id;
        DWORD code = start(param);
        {
            std::lock_guard<std::mutex> lock(object->mutex);
            object->finished = true;
            object->exitCode = code;
        }
        object->done.notify_all();
        g_running.fetch_sub(1);
    }).detach();
    if (threadId) {
        *threadId = id;
    }
    return reinterpret_cast<HANDLE>(handle);
}

BOOL CloseHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    if (Table().erase(reinterpret_cast<uintptr_t>(h)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    auto object = Lookup(h);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(object->mutex);
    if (ms == INFINITE) {
        object->done.wait(lock, [&] { return object->finished; });
        return WAIT_OBJECT_0;
    }
    bool finished = object->done.wait_for(lock, std::chrono::milliseconds(ms),
                                          [&] { return object->finished; });
    return finished ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD code) {
    auto object = Lookup(h);
    if (!object || !code) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(object->mutex);
    *code = object->exitCode;
    return TRUE;
}

namespace tovix {
int RunningThreadCount() {
    return g_running.load();
}
} // namespace tovix
