// Opening the store: the layout of its database, made or brought up to
// date in one transaction when a Store is constructed. The service's own
// tables (hosts, accounts) stand beside PowerDNS's; a file of the one-table
// layout, which kept every host in a single records table, has its rows
// moved over; the served zones are created with their SOA and NS, and the
// hosts that wait for one are published in it.
#include "store/changes.h"
#include "store/store.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

namespace tovix::server {

namespace {

// PowerDNS's own schema file: the tables then always match the PowerDNS
// that reads them.
std::string read_schema(const std::string& given, const Database::SchemaFile& installed) {
    const std::string path = given.empty() ? installed.path : given;
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.is_open() || text.str().empty())
        throw StoreError("cannot read PowerDNS's schema " + path +
                         (given.empty() ? std::string(" (install ") + installed.package +
                                              ", or give --pdns-schema FILE)"
                                        : std::string()));
    return text.str();
}

// The service's own tables, beside PowerDNS's, in SQL that SQLite and
// PostgreSQL both take: flags are small integers, ?N placeholders (the
// PostgreSQL connection renumbers them), INSERT ... ON CONFLICT.
const char* const kHostsSchema = "CREATE TABLE IF NOT EXISTS hosts ("
                                 " name VARCHAR(255) PRIMARY KEY NOT NULL,"
                                 " account VARCHAR(40) NOT NULL,"
                                 " zone VARCHAR(255) DEFAULT NULL,"
                                 " ipv4 VARCHAR(15) DEFAULT NULL,"
                                 " ipv6 VARCHAR(39) DEFAULT NULL,"
                                 " wildcard SMALLINT NOT NULL DEFAULT 0,"
                                 " mx VARCHAR(255) DEFAULT NULL,"
                                 " backmx SMALLINT NOT NULL DEFAULT 0,"
                                 " offline SMALLINT NOT NULL DEFAULT 0,"
                                 " updated_at BIGINT NOT NULL)";

// Accounts: an Argon2id hash per name, and the hosts each may update
// (owned before any update has made a hosts row). tovix_meta counts the
// changes of accounts, for the servers that keep them in memory.
const char* const kAccountsSchema =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " name VARCHAR(64) PRIMARY KEY NOT NULL,"
    " password_hash VARCHAR(255) NOT NULL);"
    "CREATE TABLE IF NOT EXISTS account_hosts ("
    " host VARCHAR(255) PRIMARY KEY NOT NULL,"
    " account VARCHAR(64) NOT NULL REFERENCES accounts(name) ON DELETE CASCADE);"
    "CREATE TABLE IF NOT EXISTS tovix_meta ("
    " name VARCHAR(64) PRIMARY KEY NOT NULL,"
    " value BIGINT NOT NULL)";

// What each host has beside its settings: update tokens (a digest of each;
// ids count per host), its latest changes, what it saw besides (written in
// batches), and the values of its ACME challenge. All go with the host when
// it leaves its account.
const char* const kHostDataSchema = "CREATE TABLE IF NOT EXISTS tovix_tokens ("
                                    " host VARCHAR(255) NOT NULL,"
                                    " id BIGINT NOT NULL,"
                                    " digest VARCHAR(64) NOT NULL UNIQUE,"
                                    " label VARCHAR(255) NOT NULL DEFAULT '',"
                                    " created BIGINT NOT NULL,"
                                    " last_used BIGINT NOT NULL DEFAULT 0,"
                                    " PRIMARY KEY (host, id));"
                                    "CREATE TABLE IF NOT EXISTS tovix_history ("
                                    " host VARCHAR(255) NOT NULL,"
                                    " seq BIGINT NOT NULL,"
                                    " at BIGINT NOT NULL,"
                                    " what VARCHAR(16) NOT NULL,"
                                    " old_value VARCHAR(1024) NOT NULL,"
                                    " new_value VARCHAR(1024) NOT NULL,"
                                    " caller VARCHAR(64) NOT NULL,"
                                    " user_agent VARCHAR(255) NOT NULL,"
                                    " https SMALLINT NOT NULL,"
                                    " credential VARCHAR(80) NOT NULL,"
                                    " PRIMARY KEY (host, seq));"
                                    "CREATE TABLE IF NOT EXISTS tovix_activity ("
                                    " host VARCHAR(255) PRIMARY KEY NOT NULL,"
                                    " seen_at BIGINT NOT NULL DEFAULT 0,"
                                    " seen_caller VARCHAR(64) NOT NULL DEFAULT '',"
                                    " seen_agent VARCHAR(255) NOT NULL DEFAULT '',"
                                    " badauth BIGINT NOT NULL DEFAULT 0,"
                                    " throttled BIGINT NOT NULL DEFAULT 0,"
                                    " malformed BIGINT NOT NULL DEFAULT 0,"
                                    " fault_at BIGINT NOT NULL DEFAULT 0);"
                                    "CREATE TABLE IF NOT EXISTS tovix_challenges ("
                                    " host VARCHAR(255) NOT NULL,"
                                    " value VARCHAR(64) NOT NULL,"
                                    " created BIGINT NOT NULL,"
                                    " seq BIGINT NOT NULL,"
                                    " PRIMARY KEY (host, value))";

// The change log of the accounts (Store::account_changes), and the
// indexes that find an account's hosts and the hosts that wait for a zone
// without reading every row.
const char* const kChangesSchema =
    "CREATE TABLE IF NOT EXISTS tovix_account_changes ("
    " seq BIGINT NOT NULL,"
    " what VARCHAR(16) NOT NULL,"
    " account VARCHAR(64) NOT NULL,"
    " host VARCHAR(255) NOT NULL,"
    " at BIGINT NOT NULL,"
    " PRIMARY KEY (seq, what, account, host));"
    "CREATE INDEX IF NOT EXISTS tovix_account_changes_at ON tovix_account_changes (at);"
    "CREATE INDEX IF NOT EXISTS account_hosts_account ON account_hosts (account);"
    "CREATE INDEX IF NOT EXISTS hosts_without_zone ON hosts (name) WHERE zone IS NULL";

// Hosts that follow a router's LAN prefix (one router each; the router's
// followers found by the index on its name), and the latest prefix each
// router sent.
const char* const kFollowsSchema = "CREATE TABLE IF NOT EXISTS tovix_follows ("
                                   " host VARCHAR(255) PRIMARY KEY NOT NULL,"
                                   " router VARCHAR(255) NOT NULL,"
                                   " suffix VARCHAR(39) NOT NULL);"
                                   "CREATE INDEX IF NOT EXISTS tovix_follows_router"
                                   " ON tovix_follows (router);"
                                   "CREATE TABLE IF NOT EXISTS tovix_prefixes ("
                                   " host VARCHAR(255) PRIMARY KEY NOT NULL,"
                                   " prefix VARCHAR(43) NOT NULL)";

// The web page's sessions: the digest of each id, whose they are, when
// made and when last used.
const char* const kSessionsSchema = "CREATE TABLE IF NOT EXISTS tovix_sessions ("
                                    " digest VARCHAR(64) PRIMARY KEY NOT NULL,"
                                    " account VARCHAR(64) NOT NULL,"
                                    " created BIGINT NOT NULL,"
                                    " last_seen BIGINT NOT NULL)";

// The table the one-table layout kept its rows in, renamed out of
// PowerDNS's way for the length of the migration.
const char* const kLegacyTable = "tovix_legacy_records";

} // namespace

Store::Store(const std::string& where, Mode mode, StoreOptions options)
    : ttl_(options.ttl), history_size_(options.history), origin_(new_origin()) {
    try {
        db_ = is_postgres_uri(where) ? open_postgres(where)
                                     : open_sqlite(where, mode == Mode::Create);
        // A server must learn that it cannot write before it answers
        // anybody: a read-only file, a PostgreSQL standby.
        if (mode == Mode::Create)
            db_->check_writable();
        open_layout(options);
    } catch (const StoreError& e) {
        db_.reset();
        throw StoreError(printable_location(where) + ": " + e.what());
    }
}

Store::~Store() = default;

// Brings the database to the current layout and the zones up to date, in
// one transaction: PowerDNS's tables, the service's, the rows of the
// one-table layout moved over, the served zones, and every host of a
// served zone published.
void Store::open_layout(const StoreOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        transaction(Begin::Write, [&] {
            db_->lock_layout();
            make_tables(options.pdns_schema);
            serve_zones(options.zones);
            return true;
        });
    } catch (...) {
        zone_ids_.clear();
        throw;
    }
}

namespace {

// Runs the statements of `schema` but its CREATE INDEX of an index that
// exists already: on PostgreSQL that statement takes a lock on the whole
// table before it finds the index there, and another node's update in the
// table then deadlocks against this layout transaction.
void exec_schema(Database& db, const std::set<std::string>& indexes, std::string_view schema) {
    constexpr std::string_view kCreateIndex = "CREATE INDEX IF NOT EXISTS ";
    while (!schema.empty()) {
        const std::size_t end = std::min(schema.find(';'), schema.size());
        std::string_view statement = schema.substr(0, end);
        schema.remove_prefix(std::min(end + 1, schema.size()));
        while (!statement.empty() && std::isspace(static_cast<unsigned char>(statement.front())))
            statement.remove_prefix(1);
        if (statement.empty())
            continue;
        if (statement.substr(0, kCreateIndex.size()) == kCreateIndex) {
            const std::string_view rest = statement.substr(kCreateIndex.size());
            if (indexes.count(std::string(rest.substr(0, rest.find(' ')))))
                continue;
        }
        db.exec(std::string(statement));
    }
}

} // namespace

// PowerDNS's tables and the service's, where they are missing; a records
// table of the one-table layout is migrated.
void Store::make_tables(const std::string& pdns_schema) {
    const std::set<std::string> tables = db_->tables();
    const std::set<std::string> indexes = db_->indexes();
    const auto exec = [&](std::string_view schema) { exec_schema(*db_, indexes, schema); };
    const bool legacy = tables.count("records") && db_->has_column("records", "address");
    if (legacy)
        db_->exec(std::string("ALTER TABLE records RENAME TO ") + kLegacyTable);
    if (!tables.count("domains"))
        db_->exec(read_schema(pdns_schema, db_->powerdns_schema_file()));
    exec(kHostsSchema);
    accounts_created_ = !tables.count("accounts");
    exec(kAccountsSchema);
    // Accounts of an earlier layout are no operators.
    if (!db_->has_column("accounts", "admin"))
        db_->exec("ALTER TABLE accounts ADD COLUMN admin SMALLINT NOT NULL DEFAULT 0");
    exec(kSessionsSchema);
    exec(kHostDataSchema);
    exec(kChangesSchema);
    // Pages of accounts and hosts go in the order of the names' bytes,
    // whatever the database's collation: indexes in that order too.
    if (const std::string bytes = db_->byte_order(); !bytes.empty())
        exec("CREATE INDEX IF NOT EXISTS accounts_by_bytes ON accounts (name" + bytes +
             ");"
             "CREATE INDEX IF NOT EXISTS hosts_by_bytes ON hosts (name" +
             bytes +
             ");"
             "CREATE INDEX IF NOT EXISTS account_hosts_by_bytes ON account_hosts (host" +
             bytes + ")");
    exec(kFollowsSchema);
    if (legacy)
        migrate_legacy();
}

// Creates the served zones that are missing, then publishes the hosts that
// wait for a zone: rows of the one-table layout, and the hosts of a zone
// made just now (one that was deleted and is served again). Every other
// host is published already.
void Store::serve_zones(const std::vector<std::string>& zones) {
    served_zones_ = zones;
    std::set<std::string> changed_zones;
    for (const std::string& zone : zones) {
        if (zone_id(zone) < 0) {
            create_zone(zone);
            changed_zones.insert(zone);
        }
    }
    lock_zones();
    std::vector<Host> all = hosts_where(" WHERE zone IS NULL", {});
    for (const std::string& zone : changed_zones) {
        const std::vector<Host> made = hosts_where(" WHERE zone = ?1", {zone});
        all.insert(all.end(), made.begin(), made.end());
    }
    for (Host& host : all) {
        if (host.zone.empty()) {
            std::optional<std::string> zone = zone_for(host.name, zones);
            if (!zone)
                continue;
            host.zone = *zone;
            save_host(host);
        }
        if (zone_ids_.count(host.zone) && publish(host)) {
            changed_zones.insert(host.zone);
            changed_name(host.name, host.zone, host.wildcard);
        }
    }
    for (const std::string& zone : changed_zones)
        bump_serial(zone);
}

// The one address column of the one-table layout (only ever an SQLite
// file) goes to the column of its family.
void Store::migrate_legacy() {
    db_->exec(std::string("INSERT INTO hosts (name, account, zone, ipv4, ipv6, wildcard, mx,"
                          " backmx, offline, updated_at)"
                          " SELECT host, account, NULL,"
                          " CASE WHEN instr(address, ':') = 0 THEN NULLIF(address, '') END,"
                          " CASE WHEN instr(address, ':') > 0 THEN address END,"
                          " CASE WHEN upper(wildcard) = 'ON' THEN 1 ELSE 0 END,"
                          " NULLIF(mx, ''),"
                          " CASE WHEN upper(backmx) = 'YES' THEN 1 ELSE 0 END,"
                          " 0, updated_at FROM ") +
              kLegacyTable);
    db_->exec(std::string("DROP TABLE ") + kLegacyTable);
}

// The id of a served zone, or -1 when the zone is not in the database.
// Zones found are remembered: only those are ever published to.
std::int64_t Store::zone_id(const std::string& zone) {
    auto known = zone_ids_.find(zone);
    if (known != zone_ids_.end())
        return known->second;
    const SqlRows r = db_->query("SELECT id FROM domains WHERE name = ?1", {zone});
    if (r.empty())
        return -1;
    const std::int64_t id = r.integer(0, 0);
    zone_ids_[zone] = id;
    return id;
}

void Store::create_zone(const std::string& zone) {
    db_->query("INSERT INTO domains (name, type) VALUES (?1, 'NATIVE')", {zone});
    const std::int64_t id = zone_id(zone);
    for (const DnsRecord& r : zone_apex_records(zone, ttl_))
        db_->query("INSERT INTO records (domain_id, name, type, content, ttl, prio, disabled,"
                   " auth) VALUES (?1, ?2, ?3, ?4, ?5, 0, FALSE, TRUE)",
                   {id, r.name, r.type, r.content, std::int64_t{r.ttl}});
}

} // namespace tovix::server
