// Reading a new password: from the terminal with echo off, asked twice, or
// the first line of standard input when that is not a terminal.
#include "commands/secret_input.h"

#include "auth/account_rules.h"

#include <termios.h>
#include <unistd.h>

namespace tovix::server {

namespace {

// One line from `fd`, without its end; nothing at end of input.
std::optional<std::string> read_line(int fd) {
    std::string line;
    char c;
    ssize_t n;
    while ((n = read(fd, &c, 1)) == 1 && c != '\n') {
        if (line.size() <= kMaxPassword)
            line.push_back(c);
    }
    if (n < 0 || (n == 0 && line.empty()))
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// Asks on the terminal with echo off, restoring it whatever happens.
std::optional<std::string> ask(int tty, const std::string& prompt) {
    if (write(tty, prompt.data(), prompt.size()) < 0)
        return std::nullopt;
    termios saved{};
    const bool has_termios = tcgetattr(tty, &saved) == 0;
    if (has_termios) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    std::optional<std::string> line = read_line(tty);
    if (has_termios)
        tcsetattr(tty, TCSAFLUSH, &saved);
    if (write(tty, "\n", 1) < 0)
        return std::nullopt;
    return line;
}

} // namespace

std::optional<std::string> read_new_password(const std::string& user, std::string* error) {
    std::optional<std::string> password;
    if (isatty(STDIN_FILENO)) {
        password = ask(STDIN_FILENO, "New password for " + user + ": ");
        std::optional<std::string> again = ask(STDIN_FILENO, "Again: ");
        if (password && again && *password != *again) {
            *error = "the two passwords differ";
            return std::nullopt;
        }
    } else {
        password = read_line(STDIN_FILENO);
    }
    if (!password) {
        *error = "no password on standard input";
        return std::nullopt;
    }
    if (password->empty()) {
        *error = "empty password";
        return std::nullopt;
    }
    if (password->size() > kMaxPassword) {
        *error = "password longer than 1024 bytes";
        return std::nullopt;
    }
    return password;
}

} // namespace tovix::server
