// The keys read from the terminal, as a window on Windows would see them.
#include <gtest/gtest.h>

#include "driver/tty/terminal.h"

namespace {

using tovix::Key;
using tovix::KeyEvent;

// A key as one letter: E Enter, S Space, X Escape, Q close (Ctrl+C), else
// the character itself.
std::string Keys(const std::string& bytes) {
    std::vector<KeyEvent> keys;
    tovix::ParseKeys(bytes, &keys);
    std::string out;
    for (const KeyEvent& k : keys) {
        switch (k.key) {
        case Key::Enter:
            out += 'E';
            break;
        case Key::Space:
            out += 'S';
            break;
        case Key::Escape:
            out += 'X';
            break;
        case Key::Close:
            out += 'Q';
            break;
        case Key::Char:
            out += static_cast<char>(k.ch);
            break;
        }
    }
    return out;
}

struct KeyRow {
    const char* bytes;
    const char* keys;
    const char* why;
};

const KeyRow kRows[] = {
    {"\r", "E", "Enter"},
    {"\n", "E", "Enter as a line feed"},
    {" c", "Sc", "Space, then the mnemonic"},
    {"\x03", "Q", "Ctrl+C is the close box"},
    {"\x1b", "X", "a lone Escape"},
    {"\x1b\x03", "XQ", "a quick Escape, Ctrl+C is both keys, as Windows reads them"},
    {"\x1b\r", "XE", "Escape, Enter"},
    {"\x1b"
     "c",
     "Xc", "Escape then a letter is not Alt+letter"},
    {"\x1b\x1b", "XX", "two Escapes"},
    {"\x1b[A\x1bOP", "", "an arrow and a function key are skipped"},
    {"\x1b[1;5Cd", "d", "a key after a long sequence still counts"},
    {"\x1b[", "", "a cut-off sequence is dropped"},
    {"\x7f\x01\xc3\xa9", "", "other control bytes and non-ASCII bytes are no keys"},
};

TEST(TerminalKeys, ReadAsWindowsReadsThem) {
    for (const KeyRow& row : kRows) {
        EXPECT_EQ(Keys(row.bytes), row.keys) << row.why;
    }
}

} // namespace
