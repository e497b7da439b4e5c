// The cancel protocol with the cancel at random moments: before the session
// exists, while the request is open, after the result, while cancelling.
// Whatever the moment, the session is closed exactly once, the dialog ends,
// and nothing hangs. The host-tsan preset runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "fake_wininet.h"
#include "kernel32/threads.h"
#include "recorder.h"
#include "resource.h"
#include "ui/progress_dialog.h"

namespace {

int Iterations() {
    const char* env = std::getenv("TOVIX_STRESS_ITERATIONS");
    return env ? std::atoi(env) : 300;
}

TEST(CancelStress, SessionClosedOnceWhateverTheMoment) {
    UseHeadlessDisplay();
    tovix::SetTimerScale(0.005); // the auto-close timer after 10 ms
    std::mt19937 random(20261208);
    const int iterations = Iterations();
    int cancelled = 0;
    int succeeded = 0;
    for (int i = 0; i < iterations; ++i) {
        fake::Script script;
        script.open = fake::Open::Block;
        script.blockMicroseconds = static_cast<int>(random() % 3000);
        if (random() % 4 == 0) {
            script.stages.clear(); // reach the open sooner
        }
        fake::Reset(script);
        int cancelDelay = static_cast<int>(random() % 4000);
        int presses = 1 + static_cast<int>(random() % 3);

        Recorder recorder;
        std::thread driver([&] {
            HWND hwnd = recorder.Window();
            std::this_thread::sleep_for(std::chrono::microseconds(cancelDelay));
            for (int k = 0; k < presses; ++k) {
                PostMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
            }
            // Then keep pressing Close until the dialog is gone (a success
            // may also close it by its timer).
            for (int tries = 0; tries < 4000; ++tries) {
                if (!PostMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0)) {
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            ADD_FAILURE() << "the dialog did not end";
        });
        INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS),
                                         nullptr, ProgressDialogProc, 0);
        driver.join();
        for (int k = 0; k < 2000 && tovix::RunningThreadCount() > 0; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(tovix::RunningThreadCount(), 0) << "iteration " << i << ": worker hangs";
        ASSERT_EQ(result, 0) << "iteration " << i;
        ASSERT_EQ(fake::SessionCloses(), 1) << "iteration " << i;
        ASSERT_EQ(fake::BadCloses(), 0) << "iteration " << i;
        ASSERT_EQ(fake::OpenSessions(), 0) << "iteration " << i;
        std::vector<std::string> lines = recorder.Lines();
        int closes = 0;
        for (const std::string& l : lines) {
            closes += l == "text 2 关闭(&C))";
            cancelled += l == "text 102 正在取消请求，请稍候...";
            succeeded += l.rfind("text 102 域名注册成功", 0) == 0;
        }
        ASSERT_EQ(closes, 1) << "iteration " << i << ": the worker reports once";
        ASSERT_EQ(lines.back(), "EndDialog 0") << "iteration " << i;
    }
    // Both outcomes must have been exercised for the run to mean anything.
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(succeeded, 0);
    std::printf("%d runs: %d cancels shown, %d successes shown\n", iterations, cancelled,
                succeeded);
}

} // namespace
