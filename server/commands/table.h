// The table of options (private to the commands room): each row an
// option's name, the commands that take it, its value, the setter that
// applies it, and its help. parse.cpp reads it to parse, usage.cpp to
// print --help and the manual page's option list.
#pragma once

#include "commands/options.h"

#include <string>
#include <vector>

namespace tovix::server {

// The commands as bits, for the rows' `commands`.
enum CommandBits : unsigned {
    kServing = 1u << static_cast<unsigned>(Options::Command::Serve),
    kList = 1u << static_cast<unsigned>(Options::Command::List),
    kAccount = 1u << static_cast<unsigned>(Options::Command::Account),
    kToken = 1u << static_cast<unsigned>(Options::Command::Token),
    kHistory = 1u << static_cast<unsigned>(Options::Command::History),
    kZone = 1u << static_cast<unsigned>(Options::Command::Zone),
    kCheck = 1u << static_cast<unsigned>(Options::Command::Check),
    kHost = 1u << static_cast<unsigned>(Options::Command::Host),
    kEveryCommand = kServing | kList | kAccount | kToken | kHistory | kZone | kCheck | kHost,
};

inline bool takes(unsigned commands, Options::Command command) {
    return (commands >> static_cast<unsigned>(command)) & 1u;
}

struct OptionRow {
    const char* name;  // "--listen"
    unsigned commands; // CommandBits
    const char* value; // what --help calls its value; nullptr: a switch
    bool empty_value;  // an empty value is given to the setter (else refused)
    // Applies the value (a switch gets none); false with the reason in *error.
    bool (*set)(Options& options, const std::string& value, std::string* error);
    // Its lines in --help's list of options; nullptr: told with its command.
    const char* help;
};

const std::vector<OptionRow>& option_table();
const OptionRow* find_option(const std::string& name);

// The command a first argument names ("list", "account", ...), if any.
std::optional<Options::Command> command_named(const std::string& word);
// What --help and the manual call a command ("serving" for the server).
const char* command_name(Options::Command command);

} // namespace tovix::server
