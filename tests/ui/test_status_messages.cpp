// OnInternetStatus: each stage with a message writes it into the status line
// of the window named by the context value; other codes change nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resource.h"
#include "text.h"
#include "ui/status_messages.h"

using testing_text::U8;

namespace {
struct Call {
    HWND window;
    int id;
    std::string text;
    bool operator==(const Call& o) const {
        return window == o.window && id == o.id && text == o.text;
    }
};
std::vector<Call> g_calls;
} // namespace

// Stands in for user32: records the change; a null window changes nothing.
BOOL SetDlgItemTextW(HWND window, int id, LPCWSTR text) {
    if (!window) {
        return FALSE;
    }
    g_calls.push_back({window, id, U8(text)});
    return TRUE;
}

namespace {

HWND const kWindow = reinterpret_cast<HWND>(0x1234);

struct Case {
    DWORD status;
    const char* text; // null: the status line keeps its text
};

const Case kCases[] = {
    {INTERNET_STATUS_RESOLVING_NAME, "正在解析域名..."},
    {INTERNET_STATUS_NAME_RESOLVED, nullptr},
    {INTERNET_STATUS_CONNECTING_TO_SERVER, "正在连接到服务器..."},
    {INTERNET_STATUS_CONNECTED_TO_SERVER, nullptr},
    {INTERNET_STATUS_SENDING_REQUEST, "正在发送请求..."},
    {INTERNET_STATUS_REQUEST_SENT, nullptr},
    {INTERNET_STATUS_RECEIVING_RESPONSE, "正在接收响应..."},
    {INTERNET_STATUS_RESPONSE_RECEIVED, nullptr},
    {INTERNET_STATUS_CLOSING_CONNECTION, "正在关闭连接..."},
    {INTERNET_STATUS_CONNECTION_CLOSED, nullptr},
    {INTERNET_STATUS_HANDLE_CREATED, nullptr},
    {INTERNET_STATUS_HANDLE_CLOSING, nullptr},
    {INTERNET_STATUS_DETECTING_PROXY, "正在探测代理服务器..."},
    {INTERNET_STATUS_REQUEST_COMPLETE, nullptr},
    {INTERNET_STATUS_REDIRECT, "正在重定向..."},
    {0, nullptr},
    {111, nullptr},
    {0xFFFFFFFF, nullptr},
};

TEST(OnInternetStatus, WritesTheStageMessage) {
    for (const Case& c : kCases) {
        g_calls.clear();
        OnInternetStatus(nullptr, reinterpret_cast<DWORD_PTR>(kWindow), c.status, nullptr, 0);
        std::vector<Call> expected;
        if (c.text) {
            expected.push_back({kWindow, IDC_STATUS, c.text});
        }
        EXPECT_EQ(g_calls, expected) << "status " << c.status;
    }
}

TEST(OnInternetStatus, ContextZeroChangesNoWindow) {
    for (const Case& c : kCases) {
        g_calls.clear();
        OnInternetStatus(nullptr, 0, c.status, nullptr, 0);
        EXPECT_TRUE(g_calls.empty()) << "status " << c.status;
    }
}

TEST(StatusMessageTable, SevenEntriesWithTwentyFourUnitFields) {
    static_assert(sizeof(StatusMessageTable) / sizeof(StatusMessageTable[0]) == 7, "7 entries");
    static_assert(sizeof(StatusMessageTable[0].szText) == 24 * sizeof(WCHAR), "24 units");
    const DWORD order[] = {10, 20, 30, 40, 50, 80, 110};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(StatusMessageTable[i].dwStatus, order[i]) << "entry " << i;
    }
}

} // namespace
