// tovix-server: the update server for Tovix clients. The command line
// chooses a command (commands/); serving builds the server from its rooms
// (server.h).
#include "commands/commands.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <optional>

using namespace tovix::server;

namespace {

// The database holds password hashes, and the process passwords in memory:
// files it makes are its user's alone, and it leaves no core dump.
void keep_secrets() {
    umask(077);
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

} // namespace

int main(int argc, char** argv) {
    keep_secrets();
    std::string error;
    std::optional<Options> options =
        parse_command_line(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!options) {
        std::fprintf(stderr, "tovix-server: %s\nTry 'tovix-server --help'.\n", error.c_str());
        return 2;
    }
    switch (options->command) {
    case Options::Command::Help:
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    case Options::Command::Version:
        std::puts("tovix-server " TOVIX_VERSION);
        return 0;
    case Options::Command::List:
        return list_hosts(options->config.db_path, std::cout, std::cerr,
                          options->config.pdns_schema,
                          {options->prefix, options->after, options->all});
    case Options::Command::Account:
        return account_command(*options, std::cout, std::cerr);
    case Options::Command::Token:
        return token_command(*options, std::cout, std::cerr);
    case Options::Command::History:
        return history_command(*options, std::cout, std::cerr);
    case Options::Command::Host:
        return host_command(*options, std::cout, std::cerr);
    case Options::Command::Zone:
        return zone_command(*options, std::cout, std::cerr);
    case Options::Command::Check:
        return check_command(*options, std::cout);
    case Options::Command::Serve:
        break;
    }
    return serve_command(*options);
}
