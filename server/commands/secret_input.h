// Reading a password for the account commands: from the terminal without
// echo (asked twice), or the first line of standard input when that is not a
// terminal, so that scripts can pipe it in. Never from the command line,
// where every local user could read it in /proc.
#pragma once

#include <optional>
#include <string>

namespace tovix::server {

// The password, or nothing with the reason in *error (no terminal and no
// input, the two entries differ, empty, or longer than 1024 bytes).
std::optional<std::string> read_new_password(const std::string& user, std::string* error);

} // namespace tovix::server
