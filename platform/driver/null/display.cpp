/*
 * The headless driver (see driver.h): for tests, benchmarks and any run
 * that must not touch a terminal. Its display draws nothing and never has
 * input (the last view it was asked to show is kept for inspection); its
 * wake-up is a condition variable, as there is no descriptor to watch. The
 * other host calls are the shared ones.
 */
#include "driver/host.h"

#include <condition_variable>
#include <mutex>

namespace tovix {

namespace {

std::mutex g_mutex;
DialogView g_lastView;

class NullDisplay : public DialogDisplay {
  public:
    explicit NullDisplay(bool opens) : opens_(opens) {}
    bool Open() override { return opens_; }
    int InputFd() override { return -1; }
    void ReadInput(std::vector<KeyEvent>*) override {}
    void Render(const DialogView& view) override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lastView = view;
    }
    void Close() override {}

  private:
    bool opens_;
};

class NullWakeUp : public WakeUp {
  public:
    void Signal() override {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
        changed_.notify_all();
    }
    int Wait(int, int timeoutMs) override {
        std::unique_lock<std::mutex> lock(mutex_);
        auto woken = [this] { return signalled_; };
        if (timeoutMs < 0) {
            changed_.wait(lock, woken);
        } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken)) {
            return 0;
        }
        signalled_ = false;
        return kWoken;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

std::unique_ptr<DialogDisplay> OpeningNullDisplay() {
    return MakeNullDisplay(true);
}

std::unique_ptr<WakeUp> MakeNullWakeUp() {
    return std::unique_ptr<WakeUp>(new NullWakeUp());
}

} // namespace

std::unique_ptr<DialogDisplay> MakeNullDisplay(bool opens) {
    return std::unique_ptr<DialogDisplay>(new NullDisplay(opens));
}

DialogView LastNullDisplayView() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lastView;
}

const Driver& NullDriver() {
    static const Driver driver = {
        "null",           OpeningNullDisplay,   MakeNullWakeUp,
        host::RunProgram, host::GetEnvironment, host::OpenSocket,
        host::Now,
    };
    return driver;
}

} // namespace tovix
