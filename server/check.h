// `tovix-server check`: what an operator would check by hand, one line each.
#pragma once

#include "cli.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace tovix::server {

// Runs every check `options` asks for and prints one line each: "ok   WHAT"
// or "FAIL WHAT: PROBLEM; fix: FIX". Creates nothing. Returns the exit
// status: 0 only when every check passed.
int check_command(const Options& options, std::ostream& out);

// The serial of the SOA a DNS server at `host` (numeric), `port` answers for
// `zone`; nothing with the reason in *error.
std::optional<std::uint32_t> ask_soa_serial(const std::string& host, int port,
                                            const std::string& zone, std::string* error);

} // namespace tovix::server
