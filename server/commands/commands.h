// The commands of tovix-server, one file each: serving (serve.cpp), and
// list, check, account, token, history, host and zone. Each returns the process
// exit status.
#pragma once

#include "commands/options.h"

#include <iosfwd>
#include <string>

namespace tovix::server {

// Serves until SIGINT or SIGTERM: the server built from options.config
// (the composition root), its listeners, and the metrics listener.
int serve_command(const Options& options);

// Which rows a listing prints: a page (at most kMaxPage rows) of the names
// that start with `prefix`, after `after`; with `all`, every page.
struct Listing {
    std::string prefix, after;
    bool all = false;
};

// `tovix-server list`: prints the hosts of an existing database.
int list_hosts(const std::string& db_path, std::ostream& out, std::ostream& err,
               const std::string& pdns_schema = "", const Listing& listing = {});

// `tovix-server check`: see ops/check.h.
int check_command(const Options& options, std::ostream& out);

// `tovix-server account ...`: changes or lists the accounts of a database
// (created when missing), reading a new password from the terminal or
// standard input.
int account_command(const Options& options, std::ostream& out, std::ostream& err);

// `tovix-server token add|list|remove ...` and `tovix-server history HOST`.
int token_command(const Options& options, std::ostream& out, std::ostream& err);
int history_command(const Options& options, std::ostream& out, std::ostream& err);

// `tovix-server host follow|unfollow|followers ...` (follow.cpp).
int host_command(const Options& options, std::ostream& out, std::ostream& err);

// `tovix-server zone add|secure|ds ...` (zone.cpp).
int zone_command(const Options& options, std::ostream& out, std::ostream& err);

} // namespace tovix::server
