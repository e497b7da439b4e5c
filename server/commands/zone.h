// `tovix-server zone ...`: zones made in the database, and signed live by
// PowerDNS (DNSSEC) with keys that PowerDNS's own pdnsutil makes and keeps
// in the same database.
#pragma once

#include <string>
#include <vector>

namespace tovix::server {

// The pdns.conf that points pdnsutil at the database `where` (an SQLite
// file, or a PostgreSQL URI taken apart by libpq), with DNSSEC on and
// ECDSA P-256 (algorithm 13) as the one key's algorithm. Throws
// std::invalid_argument for a location no pdns.conf line can hold.
std::string pdnsutil_config(const std::string& where);

// The pdnsutil commands that sign `zone`, in order: NSEC3 in narrow mode
// first (PowerDNS then hashes names as it answers, so records need no
// ordering data), the key unless it has one, then the auth flags.
std::vector<std::vector<std::string>> signing_commands(const std::string& zone, bool has_key);

} // namespace tovix::server
