/*
 * Cancel latency of the progress window on the host platform: the program's
 * own dialog procedure and update worker with the real dialog manager (on a
 * display that shows nothing), the real WinInet layer over libcurl, and a
 * server on 127.0.0.1:80 that accepts and never answers.
 *
 * Each run opens IDD_PROGRESS, waits until the worker has sent its request
 * and waits for the answer (status line "正在接收响应..."), presses Escape and
 * times two moments on the dialog's thread: the status line turning into the
 * cancelling text (the dialog has handled the key) and the button turning
 * into Close (the worker has given up and reported). A second Escape ends
 * the dialog. Figures are printed, one line per run:
 *
 *   run N handled_us U close_us C
 *
 * and "failed N WHAT" for a run that did not get there. Needs 127.0.0.1:80:
 * run it in a private network namespace. Bounded: each wait gives up after
 * ten seconds, and an alarm ends the whole process after RUNS * 10 + 30 s.
 *
 * Usage: bench_cancel_latency RUNS
 */
#include <windows.h>

#include "kernel32/threads.h"
#include "resource.h"
#include "ui/progress_dialog.h"
#include "driver/driver.h"
#include "user32/dialog_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(10);
// Once the request is out, the worker is about to block in its wait for the
// answer; this makes sure it has got there.
constexpr auto kSettle = std::chrono::milliseconds(10);

const std::u16string kReceiving = u"正在接收响应...";
const std::u16string kCancelling = u"正在取消请求，请稍候...";
const std::u16string kClose = u"关闭(&C))";

// Accepts on 127.0.0.1:80 and holds every connection without a word.
class SilentServer {
  public:
    bool Start() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return false;
        }
        int yes = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(80);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(fd_, 64) != 0) {
            return false;
        }
        thread_ = std::thread([this] { Serve(); });
        return true;
    }

    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        DropAll();
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // Closes the connections held so far.
    void DropAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : held_) {
            close(fd);
        }
        held_.clear();
    }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    held_.push_back(fd);
                }
            }
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<int> held_;
};

// What one run has seen, stamped on the dialog's thread as it happens.
class Watch : public tovix::DialogObserver {
  public:
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = nullptr;
        receiving_ = cancelling_ = closed_ = ended_ = false;
        lastStatus_.clear();
    }

    void Created(HWND window) override {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = window;
        changed_.notify_all();
    }

    void TextChanged(HWND, int id, const std::u16string& text) override {
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (id == IDC_STATUS) {
            lastStatus_ = text;
            if (text == kReceiving) {
                receiving_ = true;
            } else if (text == kCancelling && !cancelling_) {
                cancelling_ = true;
                cancellingAt_ = now;
            }
        } else if (id == IDCANCEL && text == kClose && !closed_) {
            closed_ = true;
            closedAt_ = now;
        }
        changed_.notify_all();
    }

    void Ended(HWND, INT_PTR) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    // True once the request is out and no answer has come; *window is the
    // dialog (or null when none was created).
    bool WaitReceiving(HWND* window) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, kWait, [this] { return window_ && (receiving_ || closed_); });
        *window = window_;
        return window_ && receiving_ && !closed_;
    }

    bool WaitClosed() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [this] { return closed_; });
    }

    bool WaitEnded() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [this] { return ended_; });
    }

    bool Cancelling(Clock::time_point* at) {
        std::lock_guard<std::mutex> lock(mutex_);
        *at = cancellingAt_;
        return cancelling_;
    }
    Clock::time_point ClosedAt() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closedAt_;
    }
    std::u16string LastStatus() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastStatus_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    HWND window_ = nullptr;
    bool receiving_ = false, cancelling_ = false, closed_ = false, ended_ = false;
    Clock::time_point cancellingAt_, closedAt_;
    std::u16string lastStatus_;
};

long long Micros(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

std::string Utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c == u'\r' || c == u'\n') {
            continue; // message texts end in a line break
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Drives one run from outside the dialog's thread; prints its line.
void Drive(Watch& watch, int run) {
    HWND window = nullptr;
    if (!watch.WaitReceiving(&window)) {
        printf("failed %d no-request-in-flight last-status=%s\n", run,
               Utf8(watch.LastStatus()).c_str());
        // End the dialog whatever state it is in: Escape cancels or closes.
        for (int i = 0; i < 3 && !watch.WaitEnded(); ++i) {
            PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
        }
        return;
    }
    std::this_thread::sleep_for(kSettle);
    Clock::time_point pressed = Clock::now();
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    bool closed = watch.WaitClosed();
    Clock::time_point handledAt;
    bool handled = watch.Cancelling(&handledAt);
    if (closed && handled) {
        printf("run %d handled_us %lld close_us %lld\n", run, Micros(handledAt - pressed),
               Micros(watch.ClosedAt() - pressed));
    } else {
        printf("failed %d %s\n", run, closed ? "no-cancelling-text" : "no-close-button");
    }
    if (run == 0 && closed) {
        printf("status-after-cancel %s\n", Utf8(watch.LastStatus()).c_str());
    }
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    if (!watch.WaitEnded()) {
        printf("failed %d dialog-did-not-end\n", run);
    }
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 0;
    if (runs <= 0 || runs > 100000) {
        fprintf(stderr, "usage: bench_cancel_latency RUNS\n");
        return 2;
    }
    alarm(static_cast<unsigned>(runs) * 10 + 30);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    SilentServer server;
    if (!server.Start()) {
        perror("bench_cancel_latency: 127.0.0.1:80 (run in a private network namespace)");
        return 1;
    }
    tovix::UseDriver(tovix::NullDriver());
    Watch watch;
    tovix::SetDialogObserver(&watch);

    for (int run = 0; run < runs; ++run) {
        watch.Reset();
        std::thread driver([&watch, run] { Drive(watch, run); });
        DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                        ProgressDialogProc, 0);
        driver.join();
        // One worker at a time, as in the program (one run per process): the
        // previous one may still be closing its handles, and it empties the
        // session slot that the next one fills.
        for (int i = 0; i < 10000 && tovix::RunningThreadCount() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        server.DropAll();
    }

    tovix::SetDialogObserver(nullptr);
    server.Stop();
    // The last worker may still be closing its handles; end as the program does.
    fflush(nullptr);
    _exit(0);
}
