/*
 * The headless display (see driver.h): for tests, benchmarks and any run
 * without a terminal that still wants dialogs. It draws nothing and never
 * has input; the last view it was asked to show is kept for inspection.
 */
#include "driver/driver.h"

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

} // namespace

std::unique_ptr<DialogDisplay> MakeNullDisplay(bool opens) {
    return std::unique_ptr<DialogDisplay>(new NullDisplay(opens));
}

DialogView LastNullDisplayView() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lastView;
}

} // namespace tovix
