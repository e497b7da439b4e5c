/*
 * The controlling terminal (see terminal.h). Only one terminal session is
 * open at a time; its saved settings are restored on close, at exit, and
 * from the handlers of the signals that end the process.
 */
#include "driver/tty/terminal.h"
#include "common/text.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace tovix {

namespace {

const char kEnter[] = "\x1b[?1049h\x1b[?25l";
const char kLeave[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

// Saved state for the restore, readable from a signal handler.
volatile sig_atomic_t g_active = 0;
int g_fd = -1;
struct termios g_saved;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGPIPE};
struct sigaction g_previous[sizeof(kSignals) / sizeof(kSignals[0])];

void Restore() {
    if (!g_active) {
        return;
    }
    g_active = 0;
    ssize_t n = write(g_fd, kLeave, sizeof(kLeave) - 1);
    (void)n;
    tcsetattr(g_fd, TCSAFLUSH, &g_saved);
}

void OnFatalSignal(int sig) {
    Restore();
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        if (kSignals[i] == sig) {
            sigaction(sig, &g_previous[i], nullptr);
        }
    }
    raise(sig);
}

void InstallRestore() {
    static bool atexitDone = false;
    if (!atexitDone) {
        atexitDone = true;
        std::atexit(Restore);
    }
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof(sa));
        sa.sa_handler = OnFatalSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        sigaction(kSignals[i], &sa, &g_previous[i]);
    }
}

void RemoveRestore() {
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        sigaction(kSignals[i], &g_previous[i], nullptr);
    }
}

} // namespace

std::unique_ptr<Terminal> Terminal::Open() {
    if (g_active) {
        return nullptr; // one window on the terminal at a time
    }
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct termios raw;
    if (tcgetattr(fd, &g_saved) != 0) {
        close(fd);
        return nullptr;
    }
    raw = g_saved;
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    g_fd = fd;
    InstallRestore();
    if (tcsetattr(fd, TCSAFLUSH, &raw) != 0) {
        RemoveRestore();
        close(fd);
        return nullptr;
    }
    g_active = 1;
    std::unique_ptr<Terminal> terminal(new Terminal(fd));
    terminal->Write(kEnter);
    return terminal;
}

Terminal::~Terminal() {
    Restore();
    RemoveRestore();
    close(fd_);
    g_fd = -1;
}

void Terminal::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // the terminal went away: nothing more to show
        }
        done += static_cast<size_t>(n);
    }
}

void Terminal::Size(int* columns, int* rows) const {
    struct winsize ws;
    if (ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        *columns = ws.ws_col;
        *rows = ws.ws_row;
    } else {
        *columns = 80;
        *rows = 24;
    }
}

void Terminal::ReadKeys(std::vector<KeyEvent>* out) {
    std::string bytes;
    char buf[256];
    for (;;) {
        ssize_t n = read(fd_, buf, sizeof(buf));
        if (n <= 0) {
            break;
        }
        bytes.append(buf, static_cast<size_t>(n));
        if (bytes.size() > 4096) {
            break;
        }
    }
    // A trailing Escape may be the start of a sequence still on its way.
    if (!bytes.empty() && bytes.back() == '\x1b') {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 30) > 0) {
            ssize_t n = read(fd_, buf, sizeof(buf));
            if (n > 0) {
                bytes.append(buf, static_cast<size_t>(n));
            }
        }
    }
    ParseKeys(bytes, out);
}

void ParseKeys(const std::string& bytes, std::vector<KeyEvent>* out) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' || c == '\n') {
            out->push_back({Key::Enter, 0});
        } else if (c == ' ') {
            out->push_back({Key::Space, 0});
        } else if (c == 0x03) {
            out->push_back({Key::Close, 0}); // Ctrl+C: the window's close box
        } else if (c == 0x1b && i + 1 < bytes.size() &&
                   (bytes[i + 1] == '[' || bytes[i + 1] == 'O')) {
            // A control sequence (arrows, function keys): skipped.
            size_t j = i + 2;
            while (j < bytes.size() && !(bytes[j] >= 0x40 && bytes[j] <= 0x7e)) {
                ++j;
            }
            i = j;
        } else if (c == 0x1b) {
            // Escape, and whatever came right behind it is a key of its own,
            // as a window on Windows sees a quick Escape, Ctrl+C.
            out->push_back({Key::Escape, 0});
        } else if (c >= 0x20 && c < 0x7f) {
            out->push_back({Key::Char, static_cast<char16_t>(c)});
        }
    }
}

int TextColumns(const std::u16string& text) {
    int columns = 0;
    for (char32_t c : ToCodePoints(text)) {
        columns += c < 0x20 ? 1 : DisplayColumns(c);
    }
    return columns;
}

std::u16string ClipToColumns(const std::u16string& text, int width, bool ellipsis) {
    if (width <= 0) {
        return u"";
    }
    if (TextColumns(text) <= width) {
        return text;
    }
    int room = ellipsis ? width - 3 : width;
    std::u32string kept;
    int used = 0;
    for (char32_t c : ToCodePoints(text)) {
        int w = c < 0x20 ? 1 : DisplayColumns(c);
        if (used + w > room) {
            break;
        }
        kept.push_back(c);
        used += w;
    }
    std::u16string out = FromCodePoints(kept);
    if (ellipsis) {
        out += width >= 3 ? u"..." : std::u16string(static_cast<size_t>(width), u'.');
    }
    return out;
}

std::string TerminalText(const std::u16string& text) {
    std::u16string clean = text;
    for (char16_t& c : clean) {
        if (c < 0x20 || c == 0x7f) {
            c = u' ';
        }
    }
    return Utf16ToUtf8(clean);
}

} // namespace tovix
