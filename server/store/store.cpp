#include "store/store.h"

#include "text.h"

#include <algorithm>
#include <set>
#include <utility>

namespace tovix::server {

namespace {

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

const char* const kSelectHost = "SELECT name, account, zone, ipv4, ipv6, wildcard, mx, backmx,"
                                " offline, updated_at FROM hosts";

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

// The table the one-table layout kept its rows in, renamed out of
// PowerDNS's way for the length of the migration.
const char* const kLegacyTable = "tovix_legacy_records";

// The address and mail records of one host: the rows publish() owns; and
// the SOA record of a zone. Both go by name and type, which PowerDNS's
// indexes cover in either database: "domain_id + 0" keeps the planner off
// the index on domain_id, which would walk every record of the zone.
const char* const kHostRecordsWhere =
    " WHERE name IN (?2, ?3) AND type IN ('A', 'AAAA', 'MX') AND domain_id + 0 = ?1";
const char* const kZoneSoaWhere = " WHERE name = ?1 AND type = 'SOA' AND domain_id + 0 = ?2";

// "?FIRST, ?FIRST+1, ..." (count of them).
std::string placeholders(std::size_t first, std::size_t count) {
    std::string out;
    for (std::size_t i = first; i < first + count; ++i)
        out += (out.empty() ? "?" : ", ?") + std::to_string(i);
    return out;
}

SqlValue or_null(const std::string& value) {
    return value.empty() ? SqlValue(nullptr) : SqlValue(value);
}

Host host_at(const SqlRows& r, std::size_t i) {
    Host h;
    h.name = r.text(i, 0);
    h.account = r.text(i, 1);
    h.zone = r.text(i, 2);
    h.ipv4 = r.text(i, 3);
    h.ipv6 = r.text(i, 4);
    h.wildcard = r.integer(i, 5) != 0;
    h.mx = r.text(i, 6);
    h.backmx = r.integer(i, 7) != 0;
    h.offline = r.integer(i, 8) != 0;
    h.updated_at = r.integer(i, 9);
    return h;
}

bool same_settings(const Host& a, const Host& b) {
    return a.account == b.account && a.ipv4 == b.ipv4 && a.ipv6 == b.ipv6 &&
           a.wildcard == b.wildcard && a.mx == b.mx && a.backmx == b.backmx &&
           a.offline == b.offline;
}

} // namespace

Store::Store(const std::string& where, Mode mode, StoreOptions options) : ttl_(options.ttl) {
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

// Runs `work` in one write transaction (the caller holds the lock): all of
// it is committed, or none of it.
template <typename Work> auto Store::in_transaction(Work work) {
    db_->begin_write();
    try {
        auto result = work();
        db_->exec("COMMIT");
        return result;
    } catch (...) {
        db_->rollback();
        throw;
    }
}

// Brings the database to the current layout and the zones up to date, in
// one transaction: PowerDNS's tables, the service's, the rows of the
// one-table layout moved over, the served zones, and every host of a
// served zone published.
void Store::open_layout(const StoreOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        in_transaction([&] {
            db_->lock_layout();
            const std::set<std::string> tables = db_->tables();
            const bool legacy = tables.count("records") && db_->has_column("records", "address");
            if (legacy)
                db_->exec(std::string("ALTER TABLE records RENAME TO ") + kLegacyTable);
            if (!tables.count("domains"))
                db_->exec(db_->powerdns_schema());
            db_->exec(kHostsSchema);
            accounts_created_ = !tables.count("accounts");
            db_->exec(kAccountsSchema);
            if (legacy)
                migrate_legacy();

            std::set<std::string> changed_zones;
            for (const std::string& zone : options.zones) {
                if (zone_id(zone) < 0) {
                    create_zone(zone);
                    changed_zones.insert(zone);
                }
            }
            lock_zones();
            // Hosts that wait for a zone: rows of the one-table layout, and
            // the hosts of a zone made just now (one that was deleted and is
            // served again). Every other host is published already.
            std::vector<Host> all;
            auto add_hosts = [&](const SqlRows& rows) {
                for (std::size_t i = 0; i < rows.rows.size(); ++i)
                    all.push_back(host_at(rows, i));
            };
            add_hosts(db_->query(std::string(kSelectHost) + " WHERE zone IS NULL"));
            for (const std::string& zone : changed_zones)
                add_hosts(db_->query(std::string(kSelectHost) + " WHERE zone = ?1", {zone}));
            for (Host& host : all) {
                if (host.zone.empty()) {
                    std::optional<std::string> zone = zone_for(host.name, options.zones);
                    if (!zone)
                        continue;
                    host.zone = *zone;
                    save_host(host);
                }
                if (zone_ids_.count(host.zone) && publish(host))
                    changed_zones.insert(host.zone);
            }
            for (const std::string& zone : changed_zones)
                bump_serial(zone);
            return true;
        });
    } catch (...) {
        zone_ids_.clear();
        throw;
    }
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

void Store::save_host(const Host& h) {
    db_->write("INSERT INTO hosts (name, account, zone, ipv4, ipv6, wildcard, mx, backmx,"
               " offline, updated_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
               " ON CONFLICT (name) DO UPDATE SET account = excluded.account,"
               " zone = excluded.zone, ipv4 = excluded.ipv4, ipv6 = excluded.ipv6,"
               " wildcard = excluded.wildcard, mx = excluded.mx, backmx = excluded.backmx,"
               " offline = excluded.offline, updated_at = excluded.updated_at",
               {h.name, h.account, or_null(h.zone), or_null(h.ipv4), or_null(h.ipv6),
                std::int64_t{h.wildcard}, or_null(h.mx), std::int64_t{h.backmx},
                std::int64_t{h.offline}, h.updated_at});
}

// Other servers on the same database wait here for the zones this server
// writes, always taken in the order of their ids, so that reading a host and
// writing it back are one step and two servers never wait for each other.
void Store::lock_zones() {
    std::map<std::int64_t, std::string> by_id;
    for (const auto& [name, id] : zone_ids_)
        by_id[id] = name;
    for (const auto& [id, name] : by_id)
        lock_zone(name, id);
}

// Inside a write transaction: holds every other writer of the zone off
// until it ends. Where the database locks rows, that is the zone's SOA
// row, found by name and type (an index) as bump_serial() finds it;
// SQLite's begin_write has locked the whole file already.
void Store::lock_zone(const std::string& zone, std::int64_t zone_id) {
    if (db_->locks_rows())
        db_->query(std::string("SELECT id FROM records") + kZoneSoaWhere + " FOR UPDATE",
                   {zone, zone_id});
}

Store::PublishedRow Store::PublishedRow::at(const SqlRows& r, std::size_t i) {
    return {r.integer(i, 0),
            {r.text(i, 1), r.text(i, 2), r.text(i, 3), static_cast<int>(r.integer(i, 4)),
             static_cast<int>(r.integer(i, 5))}};
}

void Store::PublishedRow::sort(std::vector<PublishedRow>& rows) {
    std::sort(rows.begin(), rows.end(),
              [](const PublishedRow& a, const PublishedRow& b) { return a.record < b.record; });
}

// The address and mail records of the host in its zone, sorted by record.
std::vector<Store::PublishedRow> Store::published_rows(const Host& host) {
    const SqlRows r = db_->query(
        std::string("SELECT id, name, type, content, ttl, prio FROM records") + kHostRecordsWhere,
        {zone_ids_.at(host.zone), host.name, "*." + host.name});
    std::vector<PublishedRow> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(PublishedRow::at(r, i));
    PublishedRow::sort(out);
    return out;
}

// Reads the stored rows and records of every host of a batch, a few dozen
// hosts per statement, rather than two statements per update.
Store::Prefetched Store::prefetch(const std::vector<Update>& updates) {
    std::set<std::string> unique;
    for (const Update& u : updates)
        unique.insert(u.host);
    const std::vector<std::string> names(unique.begin(), unique.end());
    constexpr std::size_t kChunk = 32; // one prepared statement: short chunks repeat a name
    const std::string hosts_sql =
        std::string(kSelectHost) + " WHERE name IN (" + placeholders(1, kChunk) + ")";
    const std::string records_sql =
        "SELECT id, name, type, content, ttl, prio, domain_id FROM records WHERE name IN (" +
        placeholders(1, 2 * kChunk) + ") AND type IN ('A', 'AAAA', 'MX')";
    const std::string owners_sql =
        "SELECT host, account FROM account_hosts WHERE host IN (" + placeholders(1, kChunk) + ")";
    Prefetched out;
    for (std::size_t first = 0; first < names.size(); first += kChunk) {
        std::vector<SqlValue> hosts, records;
        for (std::size_t i = 0; i < kChunk; ++i) {
            const std::string& name = names[std::min(first + i, names.size() - 1)];
            hosts.emplace_back(name);
            records.emplace_back(name);
            records.emplace_back("*." + name);
        }
        const SqlRows h = db_->query(hosts_sql, hosts);
        for (std::size_t i = 0; i < h.rows.size(); ++i)
            out.hosts[h.text(i, 0)] = host_at(h, i);
        const SqlRows o = db_->query(owners_sql, hosts);
        for (std::size_t i = 0; i < o.rows.size(); ++i)
            out.owners[o.text(i, 0)] = o.text(i, 1);
        const SqlRows r = db_->query(records_sql, records);
        for (std::size_t i = 0; i < r.rows.size(); ++i)
            out.records[r.text(i, 1)].push_back({r.integer(i, 6), PublishedRow::at(r, i)});
    }
    return out;
}

std::optional<Host> Store::Prefetched::host(const std::string& name) const {
    auto found = hosts.find(name);
    return found == hosts.end() ? std::nullopt : std::optional<Host>(found->second);
}

// The host's address and mail records in its zone, as published_rows()
// reads them; read again once this batch has rewritten them.
std::vector<Store::PublishedRow> Store::rows_of(const Prefetched& batch, const Host& host) {
    if (batch.rewritten.count(host.name))
        return published_rows(host);
    const std::int64_t zone = zone_ids_.at(host.zone);
    std::vector<PublishedRow> out;
    for (const std::string& name : {host.name, "*." + host.name}) {
        auto found = batch.records.find(name);
        if (found == batch.records.end())
            continue;
        for (const auto& [domain, row] : found->second)
            if (domain == zone)
                out.push_back(row);
    }
    PublishedRow::sort(out);
    return out;
}

bool Store::PublishedRow::same(const std::vector<PublishedRow>& rows,
                               const std::vector<DnsRecord>& records, bool shape_only) {
    return std::equal(rows.begin(), rows.end(), records.begin(), records.end(),
                      [shape_only](const PublishedRow& row, const DnsRecord& r) {
                          return shape_only ? row.record.name == r.name && row.record.type == r.type
                                            : row.record == r;
                      });
}

bool Store::publish(const Host& host) {
    return publish(host, published_rows(host));
}

// Makes the host's address and mail records in its zone what its settings
// say; true when they were not already. A new address changes the rows in
// place when the names and types stay: PowerDNS's indexes on the records
// table cover names and types, not contents, so they are left alone.
bool Store::publish(const Host& host, const std::vector<PublishedRow>& present) {
    const std::vector<DnsRecord> wanted = host_records(host, ttl_);
    if (PublishedRow::same(present, wanted, false))
        return false;
    if (PublishedRow::same(present, wanted, true)) {
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (present[i].record == wanted[i])
                continue;
            db_->write("UPDATE records SET content = ?1, ttl = ?2, prio = ?3 WHERE id = ?4",
                       {wanted[i].content, std::int64_t{wanted[i].ttl},
                        std::int64_t{wanted[i].prio}, present[i].id});
        }
        return true;
    }
    const std::int64_t id = zone_ids_.at(host.zone);
    db_->write(std::string("DELETE FROM records") + kHostRecordsWhere,
               {id, host.name, "*." + host.name});
    for (const DnsRecord& r : wanted)
        db_->write("INSERT INTO records (domain_id, name, type, content, ttl, prio, disabled,"
                   " auth) VALUES (?1, ?2, ?3, ?4, ?5, ?6, FALSE, TRUE)",
                   {id, r.name, r.type, r.content, std::int64_t{r.ttl}, std::int64_t{r.prio}});
    return true;
}

void Store::bump_serial(const std::string& zone) {
    bump_serial(zone, zone_ids_.at(zone));
}

void Store::bump_serial(const std::string& zone, std::int64_t zone_id) {
    const SqlRows r =
        db_->query(std::string("SELECT id, content FROM records") + kZoneSoaWhere, {zone, zone_id});
    if (r.empty())
        throw StoreError("zone " + zone + " has no SOA record");
    const std::optional<std::string> soa = next_serial(r.text(0, 1));
    if (!soa)
        throw StoreError("zone " + zone + " has a malformed SOA record");
    db_->write("UPDATE records SET content = ?1 WHERE id = ?2", {*soa, r.integer(0, 0)});
}

// SQLite's data_version moves whenever another connection commits (the
// command line's account commands are another process); elsewhere every
// account change counts itself in tovix_meta (account_change).
std::int64_t Store::accounts_version() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_->has_data_version())
        return db_->query("PRAGMA data_version").integer(0, 0);
    const SqlRows r = db_->query("SELECT value FROM tovix_meta WHERE name = 'accounts'");
    return r.empty() ? 0 : r.integer(0, 0);
}

std::vector<AccountRecord> Store::accounts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<AccountRecord> out;
    const SqlRows r = db_->query("SELECT a.name, a.password_hash, h.host FROM accounts a"
                                 " LEFT JOIN account_hosts h ON h.account = a.name"
                                 " ORDER BY a.name, h.host");
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        if (out.empty() || out.back().name != r.text(i, 0))
            out.push_back({r.text(i, 0), r.text(i, 1), {}});
        if (std::string host = r.text(i, 2); !host.empty())
            out.back().hosts.push_back(std::move(host));
    }
    return out;
}

std::optional<AccountRecord> Store::account(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows r = db_->query("SELECT a.password_hash, h.host FROM accounts a"
                                 " LEFT JOIN account_hosts h ON h.account = a.name"
                                 " WHERE a.name = ?1 ORDER BY h.host",
                                 {name});
    if (r.empty())
        return std::nullopt;
    AccountRecord out{name, r.text(0, 0), {}};
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        if (std::string host = r.text(i, 1); !host.empty())
            out.hosts.push_back(std::move(host));
    }
    return out;
}

// Refuses a host no account may own (see add_account). Every lookup but
// the one for names under `host` goes by an index.
void Store::check_ownable(const std::string& host, const std::string& account) {
    for (std::size_t dot = 0; dot != std::string::npos; dot = host.find('.', dot + 1)) {
        const std::string zone = dot == 0 ? host : host.substr(dot + 1);
        if (!db_->query("SELECT 1 FROM domains WHERE name = ?1", {zone}).empty()) {
            if (zone == host)
                throw StoreError(host + " is the apex of a zone");
            if (!db_->query("SELECT 1 FROM records WHERE name = ?1 AND type = 'NS'"
                            " AND content = ?2",
                            {zone, host})
                     .empty())
                throw StoreError(host + " is a name server of the zone " + zone);
        }
        const SqlRows owner =
            db_->query("SELECT host, account FROM account_hosts WHERE host = ?1 AND account <> ?2",
                       {zone, account});
        if (!owner.empty())
            throw StoreError(
                zone == host ? "host " + host + " belongs to account " + owner.text(0, 1)
                             : host + " lies under " + zone + " of account " + owner.text(0, 1));
    }
    const SqlRows under = db_->query(
        "SELECT host, account FROM account_hosts WHERE host LIKE ?1 AND account <> ?2 LIMIT 1",
        {"%." + host, account});
    if (!under.empty())
        throw StoreError(under.text(0, 0) + " of account " + under.text(0, 1) + " lies under " +
                         host);
}

void Store::write_hosts_of(const std::string& name, const std::vector<std::string>& hosts) {
    std::vector<std::string> dropped;
    const SqlRows before = db_->query("SELECT host FROM account_hosts WHERE account = ?1", {name});
    for (std::size_t i = 0; i < before.rows.size(); ++i) {
        if (!std::binary_search(hosts.begin(), hosts.end(), before.text(i, 0)))
            dropped.push_back(before.text(i, 0));
    }
    db_->query("DELETE FROM account_hosts WHERE account = ?1", {name});
    for (const std::string& host : hosts) {
        check_ownable(host, name);
        db_->query("INSERT INTO account_hosts (host, account) VALUES (?1, ?2)", {host, name});
    }
    withdraw(dropped);
}

// Forgets hosts that left their account: their row, and their address and
// mail records in their zone, whose serial moves on.
void Store::withdraw(const std::vector<std::string>& hosts) {
    std::set<std::pair<std::string, std::int64_t>> zones;
    for (const std::string& name : hosts) {
        const SqlRows h = db_->query(
            "SELECT d.name, d.id FROM hosts h JOIN domains d ON d.name = h.zone WHERE h.name = ?1",
            {name});
        db_->query("DELETE FROM hosts WHERE name = ?1", {name});
        if (h.empty())
            continue;
        const std::int64_t zone_id = h.integer(0, 1);
        if (db_->query(std::string("DELETE FROM records") + kHostRecordsWhere,
                       {zone_id, name, "*." + name})
                .changed > 0)
            zones.emplace(h.text(0, 0), zone_id);
    }
    for (const auto& [zone, id] : zones) {
        lock_zone(zone, id);
        bump_serial(zone, id);
    }
}

// Runs `change` in one transaction under the lock; false when it found no
// such account. A change counts in tovix_meta, which the servers watch.
template <typename Change> bool Store::account_change(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    db_->begin_write();
    try {
        const bool done = change();
        if (done)
            db_->query("INSERT INTO tovix_meta (name, value) VALUES ('accounts', 1)"
                       " ON CONFLICT (name) DO UPDATE SET value = tovix_meta.value + 1");
        db_->exec(done ? "COMMIT" : "ROLLBACK");
        return done;
    } catch (...) {
        db_->rollback();
        throw;
    }
}

bool Store::account_exists(const std::string& name) {
    return !db_->query("SELECT 1 FROM accounts WHERE name = ?1", {name}).empty();
}

bool Store::add_account(const AccountRecord& account) {
    return account_change([&] {
        if (account_exists(account.name))
            return false;
        db_->query("INSERT INTO accounts (name, password_hash) VALUES (?1, ?2)",
                   {account.name, account.password_hash});
        write_hosts_of(account.name, account.hosts);
        return true;
    });
}

bool Store::set_password(const std::string& name, const std::string& hash) {
    return account_change([&] {
        return db_->query("UPDATE accounts SET password_hash = ?2 WHERE name = ?1", {name, hash})
                   .changed > 0;
    });
}

bool Store::set_hosts(const std::string& name, const std::vector<std::string>& hosts) {
    return account_change([&] {
        if (!account_exists(name))
            return false;
        write_hosts_of(name, hosts);
        return true;
    });
}

bool Store::remove_account(const std::string& name) {
    return account_change([&] {
        if (!account_exists(name))
            return false;
        write_hosts_of(name, {});
        db_->query("DELETE FROM accounts WHERE name = ?1", {name});
        return true;
    });
}

std::optional<Host> Store::find_locked(const std::string& host) {
    const SqlRows r = db_->query(std::string(kSelectHost) + " WHERE name = ?1", {host});
    if (r.empty())
        return std::nullopt;
    return host_at(r, 0);
}

std::optional<Host> Store::find(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find_locked(host);
}

std::vector<Host> Store::hosts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Host> out;
    const SqlRows r = db_->query(std::string(kSelectHost) + " ORDER BY name");
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(host_at(r, i));
    return out;
}

std::vector<DnsRecord> Store::dns_records(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows r = db_->query(
        "SELECT id, name, type, content, ttl, prio FROM records WHERE name = ?1", {name});
    std::vector<DnsRecord> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(PublishedRow::at(r, i).record);
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<std::uint32_t> Store::serial(const std::string& zone) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Any zone in the database, served or not (zone_id() knows served ones).
    const SqlRows domain = db_->query("SELECT id FROM domains WHERE name = ?1", {zone});
    if (domain.empty())
        return std::nullopt;
    const SqlRows r = db_->query(std::string("SELECT content FROM records") + kZoneSoaWhere,
                                 {zone, domain.integer(0, 0)});
    if (r.empty())
        return std::nullopt;
    return soa_serial(r.text(0, 0));
}

// What the host becomes under the update, beside what it was.
Host Store::merge(const Update& u, const std::optional<Host>& old, std::int64_t now) {
    if (zone_id(u.zone) < 0)
        throw StoreError("zone " + u.zone + " is not in the database");
    Host h = old.value_or(Host{});
    h.name = u.host;
    h.account = u.account;
    h.zone = u.zone;
    if (u.ipv4)
        h.ipv4 = *u.ipv4;
    if (u.ipv6)
        h.ipv6 = *u.ipv6;
    if (u.wildcard)
        h.wildcard = *u.wildcard;
    if (u.mx)
        h.mx = *u.mx;
    if (u.backmx)
        h.backmx = *u.backmx;
    h.offline = u.offline;
    h.updated_at = old ? old->updated_at : now;
    return h;
}

// Whether `h` is stored as it is over `old`: its row, and the records
// it should have in its zone (`present`).
bool Store::up_to_date(const std::optional<Host>& old, const Host& h,
                       const std::vector<PublishedRow>& present) {
    return old && same_settings(*old, h) && old->zone == h.zone &&
           PublishedRow::same(present, host_records(h, ttl_), false);
}

// What update `u` makes of its host over what `batch` read: the answer, and
// (when the account still owns the host) the host as it becomes in *host
// and whether it is stored so already in *current.
Applied Store::judge(const Prefetched& batch, const Update& u, std::int64_t now, Host* host,
                     bool* current) {
    Applied applied;
    const std::optional<Host> old = batch.host(u.host);
    // The account may have lost the host since the request was
    // authenticated: a host once withdrawn stays withdrawn.
    auto owner = batch.owners.find(u.host);
    applied.owned = owner != batch.owners.end() && owner->second == u.account;
    *current = true;
    if (!applied.owned)
        return applied;
    *host = merge(u, old, now);
    applied.changed = !old || !same_settings(*old, *host);
    applied.ipv4 = host->ipv4;
    applied.ipv6 = host->ipv6;
    *current = up_to_date(old, *host, rows_of(batch, *host));
    return applied;
}

// Reads only, without a lock: the answers when no update changes anything
// (a hint: a batch with a change is decided again under the write lock).
std::optional<std::vector<Applied>> Store::unchanged(const std::vector<Update>& updates) {
    db_->exec("BEGIN");
    try {
        std::vector<Applied> out;
        bool current = true;
        Prefetched batch = prefetch(updates);
        for (std::size_t i = 0; i < updates.size() && current; ++i) {
            Host h;
            out.push_back(judge(batch, updates[i], 0, &h, &current));
        }
        db_->exec("COMMIT");
        return current ? std::optional(out) : std::nullopt;
    } catch (...) {
        db_->rollback();
        throw;
    }
}

std::vector<Applied> Store::apply(const std::vector<Update>& updates, std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Most updates repeat what is stored: when all of them do, nothing is
    // written and nothing synced.
    if (!db_->empty_writes_are_free()) {
        if (std::optional<std::vector<Applied>> same = unchanged(updates))
            return *same;
    }
    return in_transaction([&] {
        lock_zones();
        Prefetched batch = prefetch(updates);
        std::vector<Applied> out;
        std::set<std::string> changed_zones;
        for (const Update& u : updates) {
            Host h;
            bool current = true;
            const std::optional<Host> old = batch.host(u.host);
            const Applied& applied = out.emplace_back(judge(batch, u, now, &h, &current));
            if (current)
                continue;
            const std::vector<PublishedRow> present = rows_of(batch, h);
            if (applied.changed)
                h.updated_at = now;
            save_host(h);
            batch.hosts[h.name] = h;
            batch.rewritten.insert(h.name);
            if (old && old->zone != h.zone && zone_ids_.count(old->zone)) {
                // Moved to a more specific zone: withdraw it from the old one.
                Host gone;
                gone.name = h.name;
                gone.zone = old->zone;
                if (publish(gone))
                    changed_zones.insert(gone.zone);
            }
            if (publish(h, present))
                changed_zones.insert(h.zone);
        }
        for (const std::string& zone : changed_zones)
            bump_serial(zone);
        return out;
    });
}

void write_hosts(std::ostream& out, const std::vector<Host>& hosts) {
    out << "host\taccount\tipv4\tipv6\twildcard\tmx\tbackmx\toffline\tupdated\n";
    auto or_dash = [](const std::string& s) {
        return s.empty() ? std::string("-") : escape_field(s);
    };
    for (const Host& h : hosts) {
        out << escape_field(h.name) << '\t' << escape_field(h.account) << '\t' << or_dash(h.ipv4)
            << '\t' << or_dash(h.ipv6) << '\t' << (h.wildcard ? "ON" : "OFF") << '\t'
            << or_dash(h.mx) << '\t' << (h.backmx ? "YES" : "NO") << '\t'
            << (h.offline ? "YES" : "NO") << '\t'
            << format_utc(static_cast<std::time_t>(h.updated_at)) << '\n';
    }
}

} // namespace tovix::server
