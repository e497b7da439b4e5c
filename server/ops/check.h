// `tovix-server check`: what an operator would check by hand, one line each.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tovix::server {

// What `tovix-server check` is to look at.
struct CheckRequest {
    std::string db;                 // the server's database (--db)
    std::vector<std::string> zones; // empty: every zone in the database
    std::string tls_cert_file;      // empty: no certificate to check
    std::string tls_key_file;       // empty: no key to match
    std::string dns_host = "127.0.0.1";
    int dns_port = 53; // the PowerDNS to ask for the serials
    // The server's listeners (--listen, --listen-tls): the built-in
    // account is a fault on any beyond loopback.
    std::vector<std::string> listen_hosts{"127.0.0.1"};
};

// Runs every check asked for and prints one line each: "ok   WHAT" or
// "FAIL WHAT: PROBLEM; fix: FIX". Creates nothing. Returns the exit
// status: 0 only when every check passed.
int run_checks(const CheckRequest& request, std::ostream& out);

// The serial of the SOA a DNS server at `host` (numeric), `port` answers for
// `zone`; nothing with the reason in *error.
std::optional<std::uint32_t> ask_soa_serial(const std::string& host, int port,
                                            const std::string& zone, std::string* error);

} // namespace tovix::server
