// The host dialog manager: calls from other threads are served on the
// dialog's thread only between messages and return once applied; timers
// armed anywhere fire on the dialog's thread; keys are translated as the
// platform's dialog navigation does; a dialog without a display fails.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "resource.h"
#include "line_log.h"
#include "text.h"
#include "driver/driver.h"
#include "driver/tty/terminal.h"
#include "user32/dialog_manager.h"

using testing_text::U16;
using testing_text::U8;
using testing_text::W;

namespace {

// What the test dialog saw, in order, from every thread.
LineLog g_log;
std::thread::id g_dialogThread;
HWND g_hwnd;

void Log(const std::string& line) {
    g_log.Add(line);
}

bool WaitLog(const std::string& line) {
    return g_log.WaitFor(line);
}

class Observer : public tovix::DialogObserver {
    void TextChanged(HWND, int id, const std::u16string& text) override {
        Log("text " + std::to_string(id) + " " + U8(W(text)));
    }
    void EnabledChanged(HWND, int id, bool on) override {
        Log("enable " + std::to_string(id) + " " + (on ? "1" : "0"));
    }
};

std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> g_handler;

INT_PTR CALLBACK TestProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        g_hwnd = hwnd;
        g_dialogThread = std::this_thread::get_id();
        Log("init");
    }
    if (message == WM_COMMAND) {
        Log("command " + std::to_string(LOWORD(wParam)));
    }
    if (message == WM_TIMER) {
        Log(std::string("timer ") + std::to_string(wParam) +
            (std::this_thread::get_id() == g_dialogThread ? " on the dialog thread"
                                                          : " elsewhere"));
    }
    return g_handler ? g_handler(hwnd, message, wParam, lParam) : FALSE;
}

class DialogManager : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log.Clear();
        g_handler = nullptr;
        g_hwnd = nullptr;
        tovix::UseDriver(tovix::NullDriver());
        tovix::SetDialogObserver(&observer_);
    }
    void TearDown() override { tovix::SetDialogObserver(nullptr); }
    INT_PTR Run() {
        return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                               TestProc, 0);
    }
    HWND WaitWindow() {
        EXPECT_TRUE(WaitLog("init"));
        return g_hwnd;
    }
    Observer observer_;
};

TEST_F(DialogManager, ChangesFromAnotherThreadWaitForTheMessageInProgress) {
    std::atomic<bool> go{false};
    g_handler = [&](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_USER) {
            Log("handler start");
            go = true;
            // However long this message takes, the other thread's change
            // must not be applied in the middle of it.
            Sleep(100);
            Log("handler end");
        }
        return FALSE;
    };
    std::string seenAtReturn;
    std::thread other([&] {
        HWND hwnd = WaitWindow();
        PostMessageW(hwnd, WM_USER, 0, 0);
        while (!go) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(SetDlgItemTextW(hwnd, IDC_STATUS, L"from the worker"));
        { seenAtReturn = g_log.Last(); }
        EndDialog(hwnd, 7);
    });
    INT_PTR result = Run();
    other.join();
    EXPECT_EQ(result, 7);
    EXPECT_EQ(g_log.Lines(), (std::vector<std::string>{"init", "handler start", "handler end",
                                                       "text 102 from the worker"}));
    EXPECT_EQ(seenAtReturn, "text 102 from the worker") << "returned before it was applied";
}

TEST_F(DialogManager, ChangesAreAppliedBeforeTheCallReturns) {
    std::thread other([&] {
        HWND hwnd = WaitWindow();
        for (int i = 0; i < 50; ++i) {
            std::string text = "step " + std::to_string(i);
            std::u16string wide = U16(text);
            EXPECT_TRUE(SetDlgItemTextW(hwnd, IDC_STATUS, W(wide)));
            WCHAR back[64];
            EXPECT_EQ(GetDlgItemTextW(hwnd, IDC_STATUS, back, 64), text.size());
            EXPECT_EQ(U8(back), text);
        }
        EXPECT_FALSE(EnableWindow(GetDlgItem(hwnd, IDCANCEL), FALSE)) << "it was enabled";
        EXPECT_TRUE(EnableWindow(GetDlgItem(hwnd, IDCANCEL), FALSE)) << "it was disabled";
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, IDCANCEL)));
        EXPECT_EQ(SendMessageW(hwnd, WM_COMMAND, IDOK, 0), FALSE);
        EndDialog(hwnd, 3);
    });
    EXPECT_EQ(Run(), 3);
    other.join();
    EXPECT_EQ(g_log.Last(), "command 1") << "SendMessageW ran the procedure before returning";
}

TEST_F(DialogManager, CallsAfterTheEndFailWithoutHanging) {
    HWND dead = nullptr;
    std::thread other([&] {
        dead = WaitWindow();
        EndDialog(dead, 0);
    });
    Run();
    other.join();
    SetLastError(0);
    EXPECT_FALSE(SetDlgItemTextW(dead, IDC_STATUS, L"late"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(EnableWindow(GetDlgItem(dead, IDCANCEL), TRUE));
    EXPECT_EQ(SetTimer(dead, 5, 10, nullptr), 0u);
    EXPECT_FALSE(PostMessageW(dead, WM_CLOSE, 0, 0));
    EXPECT_EQ(SendMessageW(dead, WM_CLOSE, 0, 0), 0);
    EXPECT_EQ(GetDlgItem(reinterpret_cast<HWND>(0x12345678), IDCANCEL), nullptr);
}

TEST_F(DialogManager, PendingCallsFailWhenTheDialogEnds) {
    std::atomic<bool> go{false};
    BOOL result = TRUE;
    DWORD error = 0;
    g_handler = [&](HWND hwnd, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_USER) {
            go = true;
            Sleep(50);
            EndDialog(hwnd, 0);
        }
        return FALSE;
    };
    std::thread other([&] {
        HWND hwnd = WaitWindow();
        PostMessageW(hwnd, WM_USER, 0, 0);
        while (!go) {
            std::this_thread::yield();
        }
        result = SetDlgItemTextW(hwnd, IDC_STATUS, L"too late");
        error = GetLastError();
    });
    Run();
    other.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(DialogManager, TimerArmedElsewhereFiresOnTheDialogThread) {
    g_handler = [](HWND hwnd, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_TIMER && wParam == 1108) {
            EXPECT_TRUE(KillTimer(hwnd, 1108));
            EXPECT_FALSE(KillTimer(hwnd, 1108)) << "killed twice";
            EndDialog(hwnd, 0);
        }
        return FALSE;
    };
    std::thread other([&] { EXPECT_EQ(SetTimer(WaitWindow(), 1108, 20, nullptr), 1108u); });
    Run();
    other.join();
    EXPECT_EQ(g_log.Last(), "timer 1108 on the dialog thread");
}

struct KeyCase {
    const char* why;
    bool buttonEnabled;
    UINT message;
    WPARAM key;
    const char* command; // null: no command
};

TEST_F(DialogManager, KeysAreTranslatedLikeDialogNavigation) {
    const KeyCase cases[] = {
        {"Escape sends IDCANCEL", true, WM_KEYDOWN, VK_ESCAPE, "command 2"},
        {"Escape sends IDCANCEL even when disabled", false, WM_KEYDOWN, VK_ESCAPE, "command 2"},
        {"Enter presses the default button", true, WM_KEYDOWN, VK_RETURN, "command 2"},
        {"Enter with a disabled default button sends IDOK", false, WM_KEYDOWN, VK_RETURN,
         "command 1"},
        {"Space presses the focused button", true, WM_CHAR, u' ', "command 2"},
        {"Space does nothing on a disabled button", false, WM_CHAR, u' ', nullptr},
        {"the mnemonic presses the button", true, WM_CHAR, u'c', "command 2"},
        {"the mnemonic in upper case too", true, WM_CHAR, u'C', "command 2"},
        {"another letter does nothing", true, WM_CHAR, u'x', nullptr},
        {"the mnemonic of a disabled button does nothing", false, WM_CHAR, u'c', nullptr},
    };
    for (const KeyCase& c : cases) {
        g_log.Clear();
        std::thread other([&] {
            HWND hwnd = WaitWindow();
            EnableWindow(GetDlgItem(hwnd, IDCANCEL), c.buttonEnabled);
            PostMessageW(hwnd, c.message, c.key, 0);
            PostMessageW(hwnd, WM_COMMAND, 99, 0); // marks the end
            EXPECT_TRUE(WaitLog("command 99"));
            EndDialog(hwnd, 0);
        });
        Run();
        other.join();
        std::vector<std::string> commands;
        for (const std::string& l : g_log.Lines()) {
            if (l.rfind("command", 0) == 0 && l != "command 99") {
                commands.push_back(l);
            }
        }
        std::vector<std::string> expected;
        if (c.command) {
            expected.push_back(c.command);
        }
        EXPECT_EQ(commands, expected) << c.why;
    }
}

TEST_F(DialogManager, TheTemplateGivesTheControlsAndTheView) {
    std::thread other([&] {
        HWND hwnd = WaitWindow();
        WCHAR text[64];
        GetDlgItemTextW(hwnd, IDC_STATUS, text, 64);
        EXPECT_EQ(U8(text), "正在启动 Tovix...");
        GetDlgItemTextW(hwnd, IDCANCEL, text, 64);
        EXPECT_EQ(U8(text), "取消(&C)");
        GetDlgItemTextW(hwnd, IDCANCEL, text, 3);
        EXPECT_EQ(U8(text), "取消") << "cut to the buffer with its terminator";
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, IDCANCEL)));
        EXPECT_EQ(GetDlgItem(hwnd, 555), nullptr);
        EndDialog(hwnd, 0);
    });
    Run();
    other.join();
    const tovix::DialogView last = tovix::LastNullDisplayView();
    EXPECT_EQ(U8(W(last.caption)), "Tovix");
    EXPECT_EQ(last.cx, 197);
    EXPECT_EQ(last.cy, 63);
    ASSERT_EQ(last.controls.size(), 3u);
    EXPECT_EQ(last.controls[0].id, IDCANCEL);
    EXPECT_TRUE(last.controls[1].isIcon);
    EXPECT_EQ(last.controls[2].id, IDC_STATUS);
}

// The class icon is a handle: kept at the full width of a pointer, the
// previous one handed back; other class values are not kept.
TEST_F(DialogManager, TheClassIconIsKeptAtPointerWidth) {
    const LONG_PTR wide = static_cast<LONG_PTR>(UINTPTR_MAX >> 8); // more than 32 bits here
    std::thread other([&] {
        HWND hwnd = WaitWindow();
        const ULONG_PTR before = GetClassLongPtrW(hwnd, GCLP_HICON);
        EXPECT_EQ(SetClassLongPtrW(hwnd, GCLP_HICON, wide), before) << "the previous icon";
        EXPECT_EQ(GetClassLongPtrW(hwnd, GCLP_HICON), static_cast<ULONG_PTR>(wide))
            << "not cut to 32 bits";
        SetLastError(0);
        EXPECT_EQ(SetClassLongPtrW(hwnd, -12 /* GCLP_HCURSOR */, 1), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
        EXPECT_EQ(SetClassLongPtrW(hwnd, GCLP_HICON, static_cast<LONG_PTR>(before)),
                  static_cast<ULONG_PTR>(wide));
        EndDialog(hwnd, 0);
    });
    Run();
    other.join();
    SetLastError(0);
    EXPECT_EQ(GetClassLongPtrW(g_hwnd, GCLP_HICON), 0u) << "the dialog has ended";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(DialogManager, NoDisplayMeansNoWindow) {
    tovix::Driver noDisplay = tovix::NullDriver();
    noDisplay.createDisplay = [] { return tovix::MakeNullDisplay(false); };
    tovix::UseDriver(noDisplay);
    SetLastError(0);
    EXPECT_EQ(Run(), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(g_log.Lines().empty()) << "the procedure never ran";
}

struct ClipCase {
    const char* text;
    int width;
    bool ellipsis;
    const char* expected;
    int columns;
};

TEST(TerminalText, ClipsByColumnsWithWideCharacters) {
    const ClipCase cases[] = {
        {"short", 10, true, "short", 5},
        {"exactly ten", 11, true, "exactly ten", 11},
        {"a long status message", 10, true, "a long ...", 10},
        {"a long status message", 10, false, "a long sta", 10},
        {"域名注册成功: good", 10, true, "域名注...", 9},
        {"域名注册成功", 5, false, "域名", 4},
        {"abc", 2, true, "..", 2},
        {"", 5, true, "", 0},
    };
    for (const ClipCase& c : cases) {
        std::u16string clipped = tovix::ClipToColumns(U16(c.text), c.width, c.ellipsis);
        EXPECT_EQ(U8(W(clipped)), c.expected) << c.text << " in " << c.width;
        EXPECT_EQ(tovix::TextColumns(clipped), c.columns) << c.text << " in " << c.width;
    }
}

TEST(TerminalText, MnemonicsAreShownWithoutTheAmpersand) {
    char16_t mnemonic = 0;
    EXPECT_EQ(U8(W(tovix::StripMnemonic(U16("关闭(&C))"), &mnemonic))), "关闭(C))");
    EXPECT_EQ(mnemonic, u'C');
    EXPECT_EQ(U8(W(tovix::StripMnemonic(U16("A && B"), &mnemonic))), "A & B");
    EXPECT_EQ(mnemonic, 0);
    EXPECT_EQ(U8(W(tovix::StripMnemonic(U16("trailing&"), &mnemonic))), "trailing&");
}

} // namespace
