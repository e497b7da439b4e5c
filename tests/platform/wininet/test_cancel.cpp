/*
 * Cancelling by closing a handle from another thread: the blocked call must
 * come back with ERROR_INTERNET_OPERATION_CANCELLED, the close must not wait
 * for it, and the handles are dead afterwards. These also run under
 * ThreadSanitizer. Waits are bounded generously; nothing here measures time.
 */
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "loopback_server.h"
#include "driver/driver.h"
#include "wininet/handles.h"
#include "wininet_test.h"

using namespace testing_server;
using namespace wininet_test;

namespace {

const auto kBound = std::chrono::seconds(20);
const DWORD kLongTimeoutMs = 60000; // longer than any wait below: only a cancel ends the call

struct Outcome {
    HINTERNET handle;
    BOOL ok;
    DWORD error;
    DWORD read;
};

// Signals from a status callback to the test thread.
struct Signal {
    std::mutex mutex;
    std::condition_variable changed;
    DWORD armedFor = 0; // the status that fires it
    bool fired = false;
    bool released = false; // the callback may go on
    bool holdUntilReleased = false;
    bool heldTooLong = false;

    void Reset(DWORD status, bool hold) {
        std::lock_guard<std::mutex> lock(mutex);
        armedFor = status;
        fired = false;
        released = false;
        holdUntilReleased = hold;
        heldTooLong = false;
    }
    bool WaitFired() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kBound, [this] { return fired; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};

Signal g_signal;

void CALLBACK SignallingCallback(HINTERNET, DWORD_PTR, DWORD status, LPVOID, DWORD) {
    std::unique_lock<std::mutex> lock(g_signal.mutex);
    if (g_signal.fired || status != g_signal.armedFor) {
        return;
    }
    g_signal.fired = true;
    g_signal.changed.notify_all();
    if (g_signal.holdUntilReleased) {
        // Like a worker whose callback waits for the dialog's thread.
        g_signal.heldTooLong =
            !g_signal.changed.wait_for(lock, kBound, [] { return g_signal.released; });
    }
}

Behaviour SlowDripBody() {
    return [](Connection& c) {
        if (c.ReadRequest() && c.Send("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n")) {
            c.Drip(std::string(500, 'g'), 5000);
        }
    };
}

class Cancel : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("http_proxy");
        liveBefore_ = tovix::InternetLiveHandleCount();
        g_signal.Reset(0, false);
    }
    void TearDown() override { EXPECT_EQ(liveBefore_, tovix::InternetLiveHandleCount()); }
    size_t liveBefore_ = 0;
};

TEST_F(Cancel, ClosingTheSessionEndsABlockedOpen) {
    LoopbackServer server(NeverAnswer());
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, kLongTimeoutMs);
    ASSERT_NE(nullptr, session);
    std::string url = server.Url("/");
    auto opening = std::async(std::launch::async, [session, url] {
        HINTERNET request = OpenUrl(session, url);
        return Outcome{request, request != nullptr, GetLastError(), 0};
    });
    ASSERT_TRUE(server.WaitForRequests(1, 20000)) << "the request never reached the server";
    EXPECT_TRUE(InternetCloseHandle(session));
    ASSERT_EQ(std::future_status::ready, opening.wait_for(kBound)) << "the open stayed blocked";
    Outcome outcome = opening.get();
    EXPECT_EQ(nullptr, outcome.handle);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED), outcome.error);
    SetLastError(0);
    EXPECT_FALSE(InternetCloseHandle(session));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

struct ReadCancelCase {
    const char* why;
    bool closeSession; // else the request itself
};

void PrintTo(const ReadCancelCase& c, std::ostream* os) {
    *os << c.why;
}

class CancelRead : public Cancel, public ::testing::WithParamInterface<ReadCancelCase> {};

TEST_P(CancelRead, ClosingEndsABlockedRead) {
    const ReadCancelCase& c = GetParam();
    LoopbackServer server(SlowDripBody());
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, kLongTimeoutMs);
    InternetSetStatusCallbackW(session, SignallingCallback);
    HINTERNET request = OpenUrl(session, server.Url("/"), 1);
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    g_signal.Reset(INTERNET_STATUS_RECEIVING_RESPONSE, false);
    auto reading = std::async(std::launch::async, [request] {
        char buffer[128];
        DWORD read = 0;
        BOOL ok = InternetReadFile(request, buffer, sizeof(buffer), &read);
        return Outcome{request, ok, GetLastError(), read};
    });
    ASSERT_TRUE(g_signal.WaitFired()) << c.why << ": the read never started waiting";
    EXPECT_TRUE(InternetCloseHandle(c.closeSession ? session : request)) << c.why;
    ASSERT_EQ(std::future_status::ready, reading.wait_for(kBound)) << c.why;
    Outcome outcome = reading.get();
    EXPECT_FALSE(outcome.ok) << c.why;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED), outcome.error) << c.why;
    EXPECT_EQ(0u, outcome.read) << c.why;

    char buffer[4];
    DWORD read = 0;
    SetLastError(0);
    EXPECT_FALSE(InternetReadFile(request, buffer, 4, &read)) << c.why;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << c.why;
    EXPECT_FALSE(InternetCloseHandle(request)) << c.why;
    if (!c.closeSession) {
        EXPECT_TRUE(InternetCloseHandle(session)) << c.why;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CancelRead,
                         ::testing::Values(ReadCancelCase{"closing the session", true},
                                           ReadCancelCase{"closing the request", false}));

// The worker is held inside a status callback until the closing thread has
// come back from InternetCloseHandle. A close that waited for the worker
// would hold both until the callback gave up.
TEST_F(Cancel, CloseDoesNotWaitForTheBlockedCall) {
    LoopbackServer server(NeverAnswer());
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, kLongTimeoutMs);
    InternetSetStatusCallbackW(session, SignallingCallback);
    g_signal.Reset(INTERNET_STATUS_SENDING_REQUEST, true);
    std::string url = server.Url("/");
    auto opening = std::async(std::launch::async, [session, url] {
        HINTERNET request = OpenUrl(session, url, 1);
        return Outcome{request, request != nullptr, GetLastError(), 0};
    });
    ASSERT_TRUE(g_signal.WaitFired());
    EXPECT_TRUE(InternetCloseHandle(session));
    g_signal.Release();
    ASSERT_EQ(std::future_status::ready, opening.wait_for(kBound));
    Outcome outcome = opening.get();
    EXPECT_FALSE(g_signal.heldTooLong) << "InternetCloseHandle waited for the blocked call";
    EXPECT_EQ(nullptr, outcome.handle);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED), outcome.error);
}

HINTERNET g_selfClosing = nullptr;

void CALLBACK ClosingCallback(HINTERNET handle, DWORD_PTR, DWORD status, LPVOID, DWORD) {
    if (status == INTERNET_STATUS_RESPONSE_RECEIVED) {
        g_selfClosing = handle;
        InternetCloseHandle(handle);
    }
}

TEST_F(Cancel, CallbackClosingItsOwnRequest) {
    LoopbackServer server(Reply(HttpResponse(200, "OK", "good")));
    HINTERNET session = OpenSession();
    InternetSetStatusCallbackW(session, ClosingCallback);
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenUrl(session, server.Url("/"), 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED), GetLastError());
    EXPECT_NE(nullptr, g_selfClosing);
    EXPECT_FALSE(InternetCloseHandle(g_selfClosing));
    EXPECT_TRUE(InternetCloseHandle(session));
}

TEST_F(Cancel, OpenOnAnEmptiedSlot) {
    std::atomic<HINTERNET> slot{OpenSession()};
    if (HINTERNET s = slot.exchange(NULL)) {
        InternetCloseHandle(s);
    }
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenUrl(slot.load(), "http://127.0.0.1/"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// Closes at every moment of a request's life, many times over. Each call
// ends in success, a cancel or an invalid handle, and nothing leaks.
TEST_F(Cancel, RacingCloses) {
    LoopbackServer server(ChallengeThenReply(HttpResponse(200, "OK", "good 1.2.3.4")));
    std::string url = "http://u:p@127.0.0.1:" + std::to_string(server.port()) + "/";
    for (int i = 0; i < 40; ++i) {
        HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, kLongTimeoutMs);
        ASSERT_NE(nullptr, session);
        std::atomic<HINTERNET> slot{session};
        auto worker = std::async(std::launch::async, [&slot, url] {
            HINTERNET request = OpenUrl(slot.load(), url, 1);
            DWORD error = request ? 0 : GetLastError();
            if (request) {
                char buffer[128];
                DWORD read = 0;
                if (!InternetReadFile(request, buffer, sizeof(buffer), &read)) {
                    error = GetLastError();
                }
                InternetCloseHandle(request);
            }
            if (HINTERNET s = slot.exchange(NULL)) {
                InternetCloseHandle(s);
            }
            return error;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(250 * (i % 12)));
        if (HINTERNET s = slot.exchange(NULL)) {
            InternetCloseHandle(s);
        }
        ASSERT_EQ(std::future_status::ready, worker.wait_for(kBound)) << i;
        DWORD error = worker.get();
        EXPECT_TRUE(error == 0 || error == ERROR_INTERNET_OPERATION_CANCELLED ||
                    error == ERROR_INVALID_HANDLE)
            << "round " << i << ": error " << error;
    }
}

} // namespace
