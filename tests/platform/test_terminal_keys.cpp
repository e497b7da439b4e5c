// The keys read from the terminal, as a window on Windows would see them.
#include <gtest/gtest.h>

#include "driver/tty/terminal.h"

#include <map>

namespace {

using tovix::Key;
using tovix::KeyEvent;

// A key as one letter: E Enter, X Escape, S Space, Q close (Ctrl+C), else
// the character itself.
std::string Keys(const std::string& bytes) {
    std::vector<KeyEvent> keys;
    tovix::ParseKeys(bytes, &keys);
    const std::map<Key, char> letters = {
        {Key::Enter, 'E'}, {Key::Escape, 'X'}, {Key::Space, 'S'}, {Key::Close, 'Q'}};
    std::string out;
    for (const KeyEvent& k : keys) {
        out += k.key == Key::Char ? static_cast<char>(k.ch) : letters.at(k.key);
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

class TerminalKeys : public ::testing::TestWithParam<KeyRow> {};

TEST_P(TerminalKeys, ReadAsWindowsReadsThem) {
    EXPECT_EQ(Keys(GetParam().bytes), GetParam().keys) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(Rows, TerminalKeys, ::testing::ValuesIn(kRows));

} // namespace
