/*
 * The controlling terminal as a screen for the host's windows: raw input,
 * the alternate screen, drawing helpers with East Asian widths, and a
 * restore of the terminal's state however the process ends (normal exit,
 * or a signal that ends it).
 */
#ifndef TOVIX_PLATFORM_DRIVER_TTY_TERMINAL_H
#define TOVIX_PLATFORM_DRIVER_TTY_TERMINAL_H

#include "driver/driver.h"

#include <string>
#include <vector>

namespace tovix {

class Terminal {
  public:
    // Opens /dev/tty in raw mode on the alternate screen; null when the
    // process has no controlling terminal.
    static std::unique_ptr<Terminal> Open();
    ~Terminal();

    int Fd() const { return fd_; }
    void Write(const std::string& bytes);
    void Size(int* columns, int* rows) const;
    // Reads the keys waiting, without blocking. A lone Escape is told from
    // the start of an escape sequence by a short wait for more bytes.
    void ReadKeys(std::vector<KeyEvent>* out);

  private:
    explicit Terminal(int fd) : fd_(fd) {}
    int fd_;
};

// The keys in bytes read from the terminal. Escape followed at once by
// another byte is Escape and then that key; "ESC [" and "ESC O" start a
// control sequence (arrows, function keys), which is skipped.
void ParseKeys(const std::string& bytes, std::vector<KeyEvent>* out);

// Columns that text takes on the terminal (wide characters count two).
int TextColumns(const std::u16string& text);
// Text cut to at most width columns; with ellipsis, text that does not fit
// ends in "..." within the width.
std::u16string ClipToColumns(const std::u16string& text, int width, bool ellipsis);
// UTF-8 for the terminal, with control characters shown as spaces.
std::string TerminalText(const std::u16string& text);

} // namespace tovix

#endif
