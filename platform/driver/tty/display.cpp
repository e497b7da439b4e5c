/*
 * The terminal driver (see driver.h): its display draws a dialog on the
 * controlling terminal, its wake-up also watches the terminal's input, and
 * the other host calls are the shared ones.
 *
 * The display draws a box centred on the screen
 * with the caption in its top edge and a close mark, the controls placed
 * at their template positions (four dialog units a column, eight a row),
 * static text clipped to its width (with an ellipsis for SS_WORDELLIPSIS /
 * SS_ENDELLIPSIS), the icon as a small mark, and push buttons in brackets
 * with the mnemonic underlined, bold when default, dim when disabled.
 */
#include "driver/host.h"
#include "driver/tty/terminal.h"

#include <algorithm>

namespace tovix {

namespace {

int Col(int dlu) {
    return (dlu + 2) / 4;
}
int Row(int dlu) {
    return (dlu + 4) / 8;
}

std::string MoveTo(int row, int col) {
    return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(col + 1) + "H";
}

std::string Repeat(const char* s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

std::string ButtonText(const ControlView& c, int width) {
    char16_t mnemonic = 0;
    std::u16string label = StripMnemonic(c.text, &mnemonic);
    label = ClipToColumns(label, width - 4, false);
    int pad = width - 4 - TextColumns(label);
    int left = pad / 2;
    std::string style = c.enabled ? ((c.style & 0x0F) == 1 ? "\x1b[1;7m" : "\x1b[7m") : "\x1b[2m";
    std::string out = style + "[ " + std::string(static_cast<size_t>(std::max(left, 0)), ' ');
    // Underline the first occurrence of the mnemonic character.
    bool marked = false;
    for (char16_t ch : label) {
        std::u16string one(1, ch);
        if (!marked && mnemonic && ch == mnemonic) {
            out += "\x1b[4m" + TerminalText(one) + "\x1b[24m";
            marked = true;
        } else {
            out += TerminalText(one);
        }
    }
    out += std::string(static_cast<size_t>(std::max(pad - left, 0)), ' ') + " ]\x1b[0m";
    return out;
}

class TerminalDisplay : public DialogDisplay {
  public:
    bool Open() override {
        terminal_ = Terminal::Open();
        return terminal_ != nullptr;
    }
    int InputFd() override { return terminal_ ? terminal_->Fd() : -1; }
    void ReadInput(std::vector<KeyEvent>* out) override { terminal_->ReadKeys(out); }
    void Close() override { terminal_.reset(); }

    void Render(const DialogView& view) override {
        int columns, rows;
        terminal_->Size(&columns, &rows);
        int width = Col(view.cx) + 2;  // with the borders
        int height = Row(view.cy) + 2; // with the borders
        int top = std::max((rows - height) / 2, 0);
        int left = std::max((columns - width) / 2, 0);

        std::string out = "\x1b[0m\x1b[2J";
        // Top edge: caption on the left, the close box on the right.
        std::u16string caption = ClipToColumns(view.caption, width - 9, true);
        int captionColumns = TextColumns(caption);
        out += MoveTo(top, left) + "┌─ \x1b[1m" + TerminalText(caption) + "\x1b[0m " +
               Repeat("─", std::max(width - 8 - captionColumns, 0)) + "[×]┐";
        for (int r = 1; r < height - 1; ++r) {
            out += MoveTo(top + r, left) + "│" + std::string(static_cast<size_t>(width - 2), ' ') +
                   "│";
        }
        out += MoveTo(top + height - 1, left) + "└" + Repeat("─", width - 2) + "┘";

        for (const ControlView& c : view.controls) {
            if (!(c.style & 0x10000000L /* WS_VISIBLE */)) {
                continue;
            }
            int row = top + 1 + Row(c.y);
            int col = left + 1 + Col(c.x);
            int cw = std::min(Col(c.cx), width - 2 - Col(c.x));
            if (cw <= 0 || row >= top + height - 1) {
                continue;
            }
            out += MoveTo(row, col);
            if (c.isIcon) {
                if (view.hasIcon) {
                    out += "\x1b[1;97;44m ◆ \x1b[0m";
                }
            } else if (c.windowClass == u"Button") {
                out += ButtonText(c, cw);
            } else {
                bool ellipsis = (c.style & 0x0000C000L) != 0;
                out += TerminalText(ClipToColumns(c.text, cw, ellipsis));
            }
        }
        out += MoveTo(top + height, left);
        terminal_->Write(out);
    }

  private:
    std::unique_ptr<Terminal> terminal_;
};

std::unique_ptr<DialogDisplay> MakeTerminalDisplay() {
    return std::unique_ptr<DialogDisplay>(new TerminalDisplay());
}

} // namespace

const Driver& TtyDriver() {
    static const Driver driver = {
        "tty",
        MakeTerminalDisplay,
        host::MakeEventWakeUp,
        host::RunProgram,
        host::GetEnvironment,
        host::OpenSocket,
        host::Now,
    };
    return driver;
}

} // namespace tovix
