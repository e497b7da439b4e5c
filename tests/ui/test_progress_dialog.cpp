// The progress dialog end to end in one process: ProgressDialogProc and the
// real update worker on the host dialog manager (headless), with a scripted
// Internet library. Each case drives the dialog from a second thread the
// way a user would and compares the recorded sequence of messages, control
// changes, timers and the end of the dialog with an expected table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "fake_wininet.h"
#include "driver/driver.h"
#include "kernel32/threads.h"
#include "recorder.h"
#include "resource.h"
#include "text.h"
#include "ui/progress_dialog.h"

using testing_text::U8;

namespace {

using Lines = std::vector<std::string>;

const std::string kCancelling = "text 102 正在取消请求，请稍候...";
const std::string kClose = "text 2 关闭(&C))";
const std::string kSuccess = "text 102 域名注册成功: good 192.0.2.1";
const Lines kStages = {"text 102 正在解析域名...", "text 102 正在连接到服务器...",
                       "text 102 正在发送请求...", "text 102 正在接收响应..."};

// The failure line the worker writes for an error code, with the platform's
// own text for it.
std::string Failure(DWORD code) {
    WCHAR text[300] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE,
                   GetModuleHandleW(L"WinInet"), code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   text, 260, nullptr);
    std::string message = U8(text);
    EXPECT_FALSE(message.empty()) << "no text for " << code;
    return "text 102 域名注册失败: " + message;
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void Key(HWND hwnd, UINT message, WPARAM key) {
    PostMessageW(hwnd, message, key, 0);
}
void Escape(HWND hwnd) {
    Key(hwnd, WM_KEYDOWN, VK_ESCAPE);
}

// Ends every thread the previous case started before the next one begins.
void WaitForWorkers() {
    fake::Release();
    for (int i = 0; i < 2000 && tovix::RunningThreadCount() > 0; ++i) {
        Sleep(10);
    }
    ASSERT_EQ(tovix::RunningThreadCount(), 0) << "the worker did not end";
}

struct Case {
    const char* why;
    fake::Script script;
    std::function<void(HWND, Recorder&)> drive;
    std::function<Lines()> expected;
    int sessionCloses;
};

fake::Script Answer(const std::string& answer) {
    fake::Script s;
    s.answer = answer;
    return s;
}
// The same answer on a connection that cannot be kept (Connection: close).
fake::Script Closing(const std::string& answer) {
    fake::Script s = Answer(answer);
    s.closesConnection = true;
    return s;
}
fake::Script Failing(DWORD code) {
    fake::Script s;
    s.open = fake::Open::Fail;
    s.failCode = code;
    return s;
}
fake::Script Blocking(fake::Open how = fake::Open::Block) {
    fake::Script s;
    s.open = how;
    return s;
}

const Lines kEndByCancel = {"WM_COMMAND 2", "KillTimer 1108 (none)", "EndDialog 0"};

// A badauth answer on screen with the Close button, until Escape.
Lines RefusalUntilEscape() {
    return Join(
        {{"WM_INITDIALOG"}, kStages, {"text 102 域名注册失败: badauth", kClose}, kEndByCancel});
}

std::vector<Case> Cases() {
    return {
        {"success closes itself with the timer", Answer("good 192.0.2.1"), [](HWND, Recorder&) {},
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"SetTimer 1108 2000", kSuccess, kClose, "WM_TIMER 1108", "WM_COMMAND 2",
                           "KillTimer 1108", "EndDialog 0"}});
         },
         1},
        {"nochg is a success too", Answer("nochg 192.0.2.1"), [](HWND, Recorder&) {},
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"SetTimer 1108 2000", "text 102 域名注册成功: nochg 192.0.2.1", kClose,
                           "WM_TIMER 1108", "WM_COMMAND 2", "KillTimer 1108", "EndDialog 0"}});
         },
         1},
        {"a success on a closing connection stays on screen until the timer",
         Closing("good 192.0.2.1"), [](HWND, Recorder&) {},
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"SetTimer 1108 2000", kSuccess, kClose, "WM_TIMER 1108", "WM_COMMAND 2",
                           "KillTimer 1108", "EndDialog 0"}});
         },
         1},
        {"a refusal on a closing connection stays on screen", Closing("badauth"),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(r.WaitFor(kClose));
             // Whatever the close of the handles shows, it shows before the
             // worker ends.
             for (int i = 0; i < 2000 && tovix::RunningThreadCount() > 0; ++i) {
                 Sleep(10);
             }
             Escape(hwnd);
         },
         RefusalUntilEscape, 1},
        {"Close before the timer ends the dialog at once", Answer("good 192.0.2.1"),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(r.WaitFor(kClose));
             Escape(hwnd);
         },
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"SetTimer 1108 2000", kSuccess, kClose, "WM_COMMAND 2", "KillTimer 1108",
                           "EndDialog 0"}});
         },
         1},
        {"a refusal stays open until Escape", Answer("badauth"),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(r.WaitFor(kClose));
             Escape(hwnd);
         },
         RefusalUntilEscape, 1},
        {"an unreachable server shows the platform's text; Enter closes",
         Failing(ERROR_INTERNET_CANNOT_CONNECT),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(r.WaitFor(kClose));
             Key(hwnd, WM_KEYDOWN, VK_RETURN);
         },
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {Failure(ERROR_INTERNET_CANNOT_CONNECT), kClose},
                          kEndByCancel});
         },
         1},
        {"the mnemonic presses Close", Answer("GOOD 192.0.2.1"),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(r.WaitFor(kClose));
             Key(hwnd, WM_CHAR, u'c');
         },
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"text 102 域名注册失败: GOOD 192.0.2.1", kClose},
                          kEndByCancel});
         },
         1},
        {"cancel during the request", Blocking(),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(fake::WaitUntilBlocked());
             Escape(hwnd);
             ASSERT_TRUE(r.WaitFor("enable 2 1"));
             Escape(hwnd);
         },
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"WM_COMMAND 2", kCancelling, "enable 2 0",
                           Failure(ERROR_INTERNET_OPERATION_CANCELLED), kClose, "enable 2 1"},
                          kEndByCancel});
         },
         1},
        {"the close box while running acts as Cancel", Blocking(),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(fake::WaitUntilBlocked());
             PostMessageW(hwnd, WM_CLOSE, 0, 0);
             ASSERT_TRUE(r.WaitFor("enable 2 1"));
             PostMessageW(hwnd, WM_CLOSE, 0, 0);
         },
         [] {
             return Join(
                 {{"WM_INITDIALOG"},
                  kStages,
                  {"WM_CLOSE", "WM_COMMAND 2", kCancelling, "enable 2 0",
                   Failure(ERROR_INTERNET_OPERATION_CANCELLED), kClose, "enable 2 1", "WM_CLOSE"},
                  kEndByCancel});
         },
         1},
        {"Cancel, Escape, Enter, Space and the close box are ignored while cancelling",
         Blocking(fake::Open::BlockIgnoringClose),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(fake::WaitUntilBlocked());
             Escape(hwnd);
             ASSERT_TRUE(r.WaitFor("enable 2 0"));
             Escape(hwnd);
             PostMessageW(hwnd, WM_CLOSE, 0, 0);
             Key(hwnd, WM_KEYDOWN, VK_RETURN);
             Key(hwnd, WM_CHAR, u' ');
             Key(hwnd, WM_CHAR, u'c');
             PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
             PostMessageW(hwnd, WM_USER + 1, 0, 0); // marks the end of the burst
             ASSERT_TRUE(r.WaitFor("message 1025"));
             fake::Release(); // the request ends late, as on Wine
             ASSERT_TRUE(r.WaitFor("enable 2 1"));
             Escape(hwnd);
         },
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"WM_COMMAND 2", kCancelling, "enable 2 0", "WM_COMMAND 2", "WM_CLOSE",
                           "WM_COMMAND 2", "WM_COMMAND 1", "WM_COMMAND 2", "message 1025",
                           Failure(ERROR_INTERNET_OPERATION_CANCELLED), kClose, "enable 2 1"},
                          kEndByCancel});
         },
         1},
        {"a late cancel after the result: the timer still closes", Answer("good 192.0.2.1"),
         [](HWND, Recorder&) {},
         [] {
             return Join({{"WM_INITDIALOG"},
                          kStages,
                          {"SetTimer 1108 2000", kSuccess, "WM_COMMAND 2", kCancelling,
                           "enable 2 0", kClose, "enable 2 1", "WM_TIMER 1108", "WM_COMMAND 2",
                           "KillTimer 1108", "EndDialog 0"}});
         },
         1},
        {"an unrelated timer cancels a running dialog and ends a finished one",
         Blocking(fake::Open::BlockIgnoringClose),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(fake::WaitUntilBlocked());
             SetTimer(hwnd, 77, 4000, nullptr);
             ASSERT_TRUE(r.WaitFor("enable 2 0"));
             KillTimer(hwnd, 77);
             fake::Release();
             ASSERT_TRUE(r.WaitFor("enable 2 1"));
             SetTimer(hwnd, 78, 4000, nullptr);
         },
         [] {
             return Join(
                 {{"WM_INITDIALOG"},
                  kStages,
                  {"SetTimer 77 4000", "WM_TIMER 77", "WM_COMMAND 2", kCancelling, "enable 2 0",
                   "KillTimer 77", Failure(ERROR_INTERNET_OPERATION_CANCELLED), kClose,
                   "enable 2 1", "SetTimer 78 4000", "WM_TIMER 78"},
                  kEndByCancel});
         },
         1},
        {"the caption compare ignores case", Blocking(fake::Open::BlockIgnoringClose),
         [](HWND hwnd, Recorder& r) {
             ASSERT_TRUE(fake::WaitUntilBlocked());
             SetDlgItemTextW(hwnd, IDCANCEL, L"关闭(&c))");
             ASSERT_TRUE(r.WaitFor("text 2 关闭(&c))"));
             Escape(hwnd);
         },
         [] {
             return Join({{"WM_INITDIALOG"}, kStages, {"text 2 关闭(&c))"}, kEndByCancel});
         },
         1},
    };
}

class ProgressDialog : public ::testing::TestWithParam<Case> {
  protected:
    static void SetUpTestSuite() {
        setenv("LANG", "C", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        UseHeadlessDisplay();
        tovix::SetTimerScale(0.25); // the two-second timer fires after half a second
    }
};

TEST_P(ProgressDialog, Sequence) {
    const Case& c = GetParam();
    fake::Reset(c.script);
    Recorder recorder;
    if (std::string(c.why).find("late cancel") != std::string::npos) {
        // Served after the worker has written its result and before it
        // relabels the button.
        recorder.onText = [](HWND hwnd, int id, const std::string& text) {
            if (id == IDC_STATUS && text.rfind("域名注册成功", 0) == 0) {
                SendMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
            }
        };
    }
    std::thread driver([&] { c.drive(recorder.Window(), recorder); });
    INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS),
                                     nullptr, ProgressDialogProc, 0);
    driver.join();
    WaitForWorkers();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(recorder.Lines(), c.expected()) << c.why;
    EXPECT_EQ(fake::SessionCloses(), c.sessionCloses) << c.why << ": the session is closed once";
    EXPECT_EQ(fake::BadCloses(), 0) << c.why << ": no close of a closed session";
    EXPECT_EQ(fake::OpenSessions(), 0) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressDialog, ::testing::ValuesIn(Cases()));

TEST_F(ProgressDialog, ThreadCreationFailureLeavesAWayOut) {
    fake::Reset(Answer("good 192.0.2.1"));
    Recorder recorder;
    tovix::FailNextCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    std::thread driver([&] {
        recorder.Window();
        ASSERT_TRUE(recorder.WaitFor(kClose));
        Escape(recorder.Window());
    });
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                    ProgressDialogProc, 0);
    driver.join();
    EXPECT_EQ(recorder.Lines(),
              Join({{"WM_INITDIALOG", Failure(ERROR_NOT_ENOUGH_MEMORY), kClose}, kEndByCancel}));
    EXPECT_EQ(fake::OpenSessions(), 0);
    EXPECT_EQ(fake::SessionCloses(), 0);
}

// The window takes the program's icon for its class, handle and all.
TEST_F(ProgressDialog, TheDialogClassTakesTheProgramsIcon) {
    fake::Reset(Answer("badauth"));
    Recorder recorder;
    ULONG_PTR classIcon = 0;
    std::thread driver([&] {
        HWND window = recorder.Window();
        ASSERT_TRUE(recorder.WaitFor(kClose));
        classIcon = GetClassLongPtrW(window, GCLP_HICON);
        Escape(window);
    });
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                    ProgressDialogProc, 0);
    driver.join();
    WaitForWorkers();
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(classIcon, reinterpret_cast<ULONG_PTR>(icon));
}

TEST_F(ProgressDialog, DialogAndIconComeFromTheProgramsResources) {
    fake::Reset(Answer("good 192.0.2.1"));
    Recorder recorder;
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                    ProgressDialogProc, 0);
    WaitForWorkers();
    EXPECT_NE(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN)), nullptr);
    EXPECT_EQ(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999)), nullptr);
    EXPECT_EQ(DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999), nullptr,
                              ProgressDialogProc, 0),
              -1)
        << "a missing template fails";
}

} // namespace
