// Command line of tovix-server.
#pragma once

#include "config.h"
#include "store/store.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tovix::server {

struct ListenAddress {
    std::string host; // without brackets
    int port = 0;     // 0 picks a free port
};

// "127.0.0.1:80", "[::1]:8080", "localhost:8080".
std::optional<ListenAddress> parse_listen(std::string_view text);

struct Options {
    enum class Command { Serve, List, Account, Token, History, Zone, Check, Help };
    Command command = Command::Serve;
    Config config;
    ListenAddress listen{"127.0.0.1", 80};
    std::optional<ListenAddress> listen_tls; // with a certificate and key
    std::string tls_cert_file, tls_key_file;
    std::vector<std::string> account; // "add USER HOST...", "passwd USER", ...; token's, history's
    std::string label;                // token add --label
    int limit = 20;                   // history --limit
    std::vector<std::string> zone;    // "add NAME", "secure NAME", "ds NAME"
    bool dnssec = false;              // zone add --dnssec
    bool requested = false;           // zone secure --requested
    bool admin = false;               // account add --admin
    std::string pdnsutil = "pdnsutil";
    std::optional<ListenAddress> metrics_listen; // /metrics and /healthz
    std::optional<ListenAddress> dns;            // check: the PowerDNS to ask
};

extern const char* const kUsage;

// Parses the arguments after the program name. On a usage error returns
// nothing and describes the problem in *error.
std::optional<Options> parse_command_line(const std::vector<std::string>& args, std::string* error);

// `tovix-server list`: prints the hosts of an existing database. Returns the
// process exit status.
int list_hosts(const std::string& db_path, std::ostream& out, std::ostream& err,
               const std::string& pdns_schema = "");

// `tovix-server account ...`: changes or lists the accounts of a database
// (created when missing), reading a new password from the terminal or
// standard input. Returns the process exit status.
int account_command(const Options& options, std::ostream& out, std::ostream& err);

// `tovix-server token add|list|remove ...` and `tovix-server history HOST`
// (host_commands.cpp). Return the process exit status.
int token_command(const Options& options, std::ostream& out, std::ostream& err);
int history_command(const Options& options, std::ostream& out, std::ostream& err);
// The "last seen" and "faults" columns of `tovix-server list`, tab-separated.
std::string describe_activity(const Activity& activity);

} // namespace tovix::server
