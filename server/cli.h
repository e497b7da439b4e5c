// Command line of tovix-server.
#pragma once

#include "protocol.h"
#include "update_server.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tovix::server {

struct Options {
    enum class Command { Serve, List, Help };
    Command command = Command::Serve;
    Config config;
    ListenAddress listen{"127.0.0.1", 80};
};

extern const char* const kUsage;

// Parses the arguments after the program name. On a usage error returns
// nothing and describes the problem in *error.
std::optional<Options> parse_command_line(const std::vector<std::string>& args, std::string* error);

// `tovix-server list`: prints the hosts of an existing database. Returns the
// process exit status.
int list_records(const std::string& db_path, std::ostream& out, std::ostream& err);

} // namespace tovix::server
