// The command line of tovix-server: the commands, their options (one
// table, commands/options.cpp, from which --help and the manual page's
// option list are made), and what a parse yields.
#pragma once

#include "config.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovix::server {

struct ListenAddress {
    std::string host; // without brackets
    int port = 0;     // 0 picks a free port
};

// "127.0.0.1:80", "[::1]:8080", "localhost:8080".
std::optional<ListenAddress> parse_listen(std::string_view text);

struct Options {
    enum class Command { Serve, List, Account, Token, History, Zone, Check, Host, Help, Version };
    Command command = Command::Serve;
    Config config;
    bool db_given = false; // --db was on the command line
    ListenAddress listen{"127.0.0.1", 80};
    std::optional<ListenAddress> listen_tls; // with a certificate and key
    std::string tls_cert_file, tls_key_file;
    // The command's words after its name: "add USER HOST..." (account),
    // "remove HOST ID" (token), "HOST" (history), "secure NAME" (zone),
    // "follow HOST ROUTER" (host).
    std::vector<std::string> words;
    std::string label;      // token add --label
    int limit = 20;         // history --limit
    bool dnssec = false;    // zone add --dnssec
    bool requested = false; // zone secure --requested
    bool admin = false;     // account add --admin
    // list, account list: a page of names that start with `prefix`, after
    // `after`; `all`: every page.
    std::string prefix, after;
    bool all = false;
    std::string suffix;     // host follow --suffix or --mac, canonical
    std::string pdnsutil = "pdnsutil";
    std::optional<ListenAddress> metrics_listen; // /metrics and /healthz
    std::optional<ListenAddress> dns;            // check: the PowerDNS to ask
};

// Parses the arguments after the program name. On a usage error returns
// nothing and describes the problem in *error.
std::optional<Options> parse_command_line(const std::vector<std::string>& args, std::string* error);

// What `tovix-server --help` prints.
std::string usage_text();

// The manual page's list of options (roff): each option, its value and
// the commands that take it, as the table has them.
std::string option_list_roff();

} // namespace tovix::server
