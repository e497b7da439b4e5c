// The server's configuration: what the command line (or a test, or a fuzz
// target) sets before the composition root builds the server from it.
#pragma once

#include "auth/account_rules.h"
#include "auth/guard.h"
#include "dns/zone.h"
#include "http/server.h"

#include <chrono>
#include <string>
#include <vector>

namespace tovix::server {

struct Config {
    // Written to a database that has no accounts yet, in place of the
    // built-in account (tests use this); never taken from a command line.
    std::vector<SeedAccount> accounts;
    // The built-in account in a new database: only when the server listens
    // on loopback alone and serves the default zone.
    bool default_account = true;
    // Every address the server listens on is a loopback address: then the
    // built-in account may exist, and loopback addresses may be published.
    bool loopback_only = false;
    bool public_addresses_only = false; // no private ranges, no loopback
    bool reveal_owned_names = false;    // !yours for another account's host
    std::string db_path = "tovix-server.db";
    std::string pdns_schema;        // for a new database; empty: PowerDNS's package's file
    std::vector<std::string> zones; // served zones, normalized; empty: kDefaultZone
    int ttl = kDefaultTtl;          // of every published record
    // Control sockets of the PowerDNS instances serving the database: each
    // commit purges the names it changed from their caches.
    std::vector<std::string> pdns_control;
    // The most an answer waits for them to purge what it changed (0: not
    // at all); past it, it goes out anyway.
    std::chrono::milliseconds purge_wait{50};
    std::string log_path;      // also append log lines here, if set
    bool log_to_stderr = true; // one line per request on stderr
    TrustedProxies proxies;    // whose forwarding header names the caller
    HttpLimits limits;
    LoginGuard::Policy guard;
    int throttled_delay_ms = 1000; // what a guess past the guard's limit costs
    // How often the accounts' change log is read (on PostgreSQL also at once
    // when another server tells of a change).
    std::chrono::milliseconds accounts_refresh{100};
    std::size_t history = 100; // changes kept per host
    // How often the hosts' last-seen times and faults are written.
    std::chrono::milliseconds activity_interval{60000};
    bool web = true;             // the web page under /
    bool web_allow_http = false; // its sign-in over plain HTTP beyond loopback
};

} // namespace tovix::server
