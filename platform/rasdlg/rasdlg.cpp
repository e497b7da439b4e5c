/*
 * RasDialDlgW for the host: the layer's own small dial dialog on the
 * controlling terminal. It asks whether to dial the entry (Enter or D
 * dials; Escape, C or Ctrl+C cancels), dials with the entry's saved
 * parameters through RasDialW while showing that it is dialling, shows the
 * result until a key is pressed, and only then returns: TRUE when the
 * connection came up. With no terminal it fails without dialling.
 * Owner windows, positions, sub-entries and phone-number overrides are
 * left out. Texts follow the user's locale (Simplified Chinese or English).
 */
#include <rasdlg.h>

#include "common/text.h"
#include "driver/tty/terminal.h"

#include <algorithm>
#include <poll.h>

namespace {

struct Texts {
    const char* title;
    const char* question;
    const char* buttons;
    const char* dialling;
    const char* connected;
    const char* failed;
    const char* close;
};

const Texts kEnglish = {"Connect",        "Dial %s?",         "[ Dial (D) ]   [ Cancel (C) ]",
                        "Dialling %s...", "Connected to %s.", "Could not connect %s (error %u).",
                        "[ Close ]"};
const Texts kChinese = {"连接",           "要拨号连接 %s 吗?", "[ 拨号(D) ]   [ 取消(C) ]",
                        "正在拨号 %s...", "已连接到 %s。",     "无法连接 %s (错误 %u)。",
                        "[ 关闭 ]"};

std::string Fill(const char* format, const std::string& entry, DWORD error = 0) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += entry;
            ++p;
        } else if (p[0] == '%' && p[1] == 'u') {
            out += std::to_string(error);
            ++p;
        } else {
            out.push_back(*p);
        }
    }
    return out;
}

void Draw(tovix::Terminal& t, const char* title, const std::string& line1, const char* line2) {
    int columns, rows;
    t.Size(&columns, &rows);
    std::u16string l1 = tovix::ClipToColumns(tovix::Utf8ToUtf16(line1), 44, true);
    std::u16string l2 = tovix::Utf8ToUtf16(line2);
    int width = 48;
    int top = std::max((rows - 6) / 2, 0);
    int left = std::max((columns - width) / 2, 0);
    auto at = [](int r, int c) {
        return "\x1b[" + std::to_string(r + 1) + ";" + std::to_string(c + 1) + "H";
    };
    std::u16string caption = tovix::Utf8ToUtf16(title);
    std::string out = "\x1b[0m\x1b[2J" + at(top, left) + "┌─ \x1b[1m" + title + "\x1b[0m ";
    for (int i = tovix::TextColumns(caption) + 4; i < width - 1; ++i) {
        out += "─";
    }
    out += "┐";
    for (int r = 1; r < 5; ++r) {
        out += at(top + r, left) + "│" + std::string(static_cast<size_t>(width - 2), ' ') + "│";
    }
    out += at(top + 5, left) + "└";
    for (int i = 1; i < width - 1; ++i) {
        out += "─";
    }
    out += "┘";
    out += at(top + 1, left + 2) + tovix::TerminalText(l1);
    out += at(top + 3, left + std::max((width - tovix::TextColumns(l2)) / 2, 1)) +
           tovix::TerminalText(l2);
    out += at(top + 6, left);
    t.Write(out);
}

// Waits for a key; returns 'd' (dial / confirm) or 'c' (cancel / close).
char WaitForChoice(tovix::Terminal& t, bool confirmOnly) {
    for (;;) {
        pollfd p = {t.Fd(), POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            continue;
        }
        if (p.revents & (POLLHUP | POLLERR)) {
            return 'c';
        }
        std::vector<tovix::KeyEvent> keys;
        t.ReadKeys(&keys);
        for (const tovix::KeyEvent& k : keys) {
            if (confirmOnly) {
                return 'c'; // any key closes the result
            }
            if (k.key == tovix::Key::Enter ||
                (k.key == tovix::Key::Char && (k.ch == u'd' || k.ch == u'D'))) {
                return 'd';
            }
            if (k.key == tovix::Key::Escape || k.key == tovix::Key::Close ||
                (k.key == tovix::Key::Char && (k.ch == u'c' || k.ch == u'C'))) {
                return 'c';
            }
        }
    }
}

} // namespace

BOOL RasDialDlgW(LPWSTR phonebook, LPWSTR entry, LPWSTR, LPRASDIALDLG info) {
    if (!entry || !info || info->dwSize != sizeof(RASDIALDLG)) {
        if (info) {
            info->dwError = ERROR_INVALID_PARAMETER;
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwError = 0;
    std::unique_ptr<tovix::Terminal> terminal = tovix::Terminal::Open();
    if (!terminal) {
        info->dwError = ERROR_INVALID_WINDOW_HANDLE; // no window can be shown
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const Texts& texts = tovix::UserLocaleIsChinese() ? kChinese : kEnglish;
    std::string name = tovix::Utf16ToUtf8(entry);

    Draw(*terminal, texts.title, Fill(texts.question, name), texts.buttons);
    if (WaitForChoice(*terminal, false) != 'd') {
        return FALSE; // cancelled by the user: no error
    }

    Draw(*terminal, texts.title, Fill(texts.dialling, name), "");
    RASDIALPARAMSW params;
    ZeroMemory(&params, sizeof(params));
    params.dwSize = sizeof(params);
    lstrcpynW(params.szEntryName, entry, RAS_MaxEntryName + 1);
    BOOL saved = FALSE;
    DWORD error = RasGetEntryDialParamsW(phonebook, &params, &saved);
    if (error == 0) {
        HRASCONN connection = nullptr;
        error = RasDialW(nullptr, phonebook, &params, 0, nullptr, &connection);
    }
    Draw(*terminal, texts.title,
         error ? Fill(texts.failed, name, error) : Fill(texts.connected, name), texts.close);
    WaitForChoice(*terminal, true);
    info->dwError = error;
    return error == 0;
}
