// Looking at a database from outside the store: the health probe of a
// running server and `tovix-server check`. Each opens a connection of its
// own, never creates a file, and changes nothing anybody reads.
#pragma once

#include "store/database.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovix::server {

// The health probe: opens the database (an SQLite file that does not exist
// is an error, not made), takes its write lock (the
// lock a commit needs), reads a row and rolls back. It writes nothing, so a
// server's connection sees no change (an SQLite data_version that moved
// would make it read the accounts again). Throws StoreError.
void probe_database(const std::string& where);

// What the current layout lacks: empty when every table of PowerDNS and of
// the service is there and none is of an older layout.
std::string layout_problem(Database& db);

// A zone's apex as PowerDNS finds it in the database.
struct ZoneApex {
    bool exists = false;
    bool soa = false;
    bool ns = false;
    std::optional<std::uint32_t> serial; // from the SOA
};
ZoneApex zone_apex(Database& db, const std::string& zone);

// The zones in PowerDNS's domains table, sorted.
std::vector<std::string> zone_names(Database& db);

// The stored Argon2id string of an account's password, if the account exists.
std::optional<std::string> password_hash(Database& db, const std::string& account);

// Whether the file system of an SQLite file has next to no room left (under
// 1 MiB for its user); false for PostgreSQL, whose disk is the server's.
bool disk_nearly_full(const std::string& where);

} // namespace tovix::server
