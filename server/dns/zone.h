// What tovix-server publishes in DNS: which served zone a host name falls in,
// the records a host's settings stand for, and the zone's own SOA and NS.
// Pure functions; the store writes their results into PowerDNS's tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovix::server {

constexpr int kDefaultTtl = 60;
// The zone served when none is given: it holds the built-in account's host.
inline constexpr const char* kDefaultZone = "tovix.example";
constexpr int kMxPriority = 10;       // the mail exchanger, or the host itself with backmx
constexpr int kBackupMxPriority = 20; // mx=NAME when backmx=YES

// A host's settings as stored; empty address: none of that family.
struct Host {
    std::string name;
    std::string account;
    std::string zone; // the served zone holding its records; empty: none
    std::string ipv4;
    std::string ipv6;
    bool wildcard = false;
    std::string mx; // empty: no mail exchanger
    bool backmx = false;
    bool offline = false;
    std::int64_t updated_at = 0; // Unix time of the last update that changed it
};

// One row of PowerDNS's records table, as far as tovix-server sets it.
struct DnsRecord {
    std::string name;
    std::string type;
    std::string content;
    int ttl = 0;
    int prio = 0;

    bool operator<(const DnsRecord& o) const;
    bool operator==(const DnsRecord& o) const;
};

// The longest zone of `zones` that is `host` or one of its parents; nothing
// when the host lies outside every zone. Both normalized (lower case, no
// trailing dot).
std::optional<std::string> zone_for(std::string_view host, const std::vector<std::string>& zones);

// The address and mail records a host stands for, sorted:
//   A / AAAA at HOST for each stored address, unless offline;
//   the same at *.HOST with wildcard;
//   MX 10 NAME for mx=NAME, or with backmx MX 10 HOST and MX 20 NAME (one
//   MX 10 HOST when NAME is the host itself).
std::vector<DnsRecord> host_records(const Host& host, int ttl);

// The apex records of a newly created zone: SOA (serial 1) and one NS.
std::vector<DnsRecord> zone_apex_records(const std::string& zone, int ttl);

// The SOA content with its serial (third field) increased by one, wrapping
// as serial arithmetic allows; nothing when `soa` is not a SOA content.
std::optional<std::string> next_serial(std::string_view soa);

// The serial field of a SOA content; nothing if there is none.
std::optional<std::uint32_t> soa_serial(std::string_view soa);

} // namespace tovix::server
