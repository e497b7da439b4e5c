#include "store.h"

#include "pdns_schema.h"
#include "protocol.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <utility>

namespace tovix::server {

namespace {

// The service's own table, beside PowerDNS's. Flags are small integers and
// the types are ones PostgreSQL takes as well; so is INSERT ... ON CONFLICT.
// What is SQLite's own: the ?N placeholders, sqlite_master and
// pragma_table_info (only the migration of the one-table layout, which only
// ever existed in SQLite, needs those two).
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
// (owned before any update has made a hosts row).
const char* const kAccountsSchema =
    "CREATE TABLE IF NOT EXISTS accounts ("
    " name VARCHAR(64) PRIMARY KEY NOT NULL,"
    " password_hash VARCHAR(255) NOT NULL);"
    "CREATE TABLE IF NOT EXISTS account_hosts ("
    " host VARCHAR(255) PRIMARY KEY NOT NULL,"
    " account VARCHAR(64) NOT NULL REFERENCES accounts(name) ON DELETE CASCADE)";

// The table the one-table layout kept its rows in, renamed out of
// PowerDNS's way for the length of the migration.
const char* const kLegacyTable = "tovix_legacy_records";

// The address and mail records of one host: the rows publish() owns.
const char* const kHostRecordsWhere =
    " WHERE domain_id = ?1 AND (name = ?2 OR name = ?3) AND type IN ('A', 'AAAA', 'MX')";

class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }
    // Borrows a statement the store keeps prepared; leaves it reset.
    Statement(sqlite3* db, sqlite3_stmt* kept) : db_(db), stmt_(kept), owned_(false) {}
    ~Statement() {
        if (owned_) {
            sqlite3_finalize(stmt_);
            return;
        }
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds text; an empty string binds NULL when `empty_is_null`.
    void bind(int index, const std::string& value, bool empty_is_null = false) {
        if (empty_is_null && value.empty()) {
            check(sqlite3_bind_null(stmt_, index));
            return;
        }
        check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
    }
    void bind(int index, std::int64_t value) { check(sqlite3_bind_int64(stmt_, index, value)); }

    // True while there is a row.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw StoreError(sqlite3_errmsg(db_));
        return false;
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    std::string text(int column) const {
        const unsigned char* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }

    Host host() const {
        Host h;
        h.name = text(0);
        h.account = text(1);
        h.zone = text(2);
        h.ipv4 = text(3);
        h.ipv6 = text(4);
        h.wildcard = integer(5) != 0;
        h.mx = text(6);
        h.backmx = integer(7) != 0;
        h.offline = integer(8) != 0;
        h.updated_at = integer(9);
        return h;
    }

    DnsRecord record() const {
        return {text(0), text(1), text(2), static_cast<int>(integer(3)),
                static_cast<int>(integer(4))};
    }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db_));
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    bool owned_ = true;
};

bool same_settings(const Host& a, const Host& b) {
    return a.account == b.account && a.ipv4 == b.ipv4 && a.ipv6 == b.ipv6 &&
           a.wildcard == b.wildcard && a.mx == b.mx && a.backmx == b.backmx &&
           a.offline == b.offline;
}

} // namespace

Store::Store(const std::string& path, Mode mode, StoreOptions options) : ttl_(options.ttl) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX |
                      (mode == Mode::Create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(path + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        // Every commit reaches the disk before we answer: WAL with a sync
        // on each commit. PowerDNS reads the same file in WAL mode too.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=FULL");
        exec("PRAGMA foreign_keys=ON");
        open_layout(options);
        if (mode == Mode::Create)
            check_writable();
    } catch (const StoreError& e) {
        close();
        throw StoreError(path + ": " + e.what());
    }
}

Store::~Store() {
    close();
}

void Store::close() {
    for (auto& [sql, statement] : kept_)
        sqlite3_finalize(statement);
    kept_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
}

// The statements of every update are prepared once, not once per update.
// Only one Statement may borrow a given one at a time.
sqlite3_stmt* Store::kept(const std::string& sql) {
    auto found = kept_.find(sql);
    if (found != kept_.end())
        return found->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK)
        throw StoreError(sqlite3_errmsg(db_));
    kept_.emplace(sql, statement);
    return statement;
}

void Store::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw StoreError(text);
    }
}

// Brings the file to the current layout and the zones up to date, in one
// transaction: PowerDNS's tables, the hosts table, the rows of the
// one-table layout moved over, the served zones, and every host of a served
// zone published.
void Store::open_layout(const StoreOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    exec("BEGIN IMMEDIATE");
    try {
        std::set<std::string> tables;
        {
            Statement list(db_, "SELECT name FROM sqlite_master WHERE type = 'table'");
            while (list.step())
                tables.insert(list.text(0));
        }
        bool legacy = false;
        if (tables.count("records")) {
            Statement columns(db_, "SELECT name FROM pragma_table_info('records')");
            while (columns.step())
                legacy = legacy || columns.text(0) == "address";
        }
        if (legacy)
            exec((std::string("ALTER TABLE records RENAME TO ") + kLegacyTable).c_str());
        if (!tables.count("domains"))
            exec(kPowerDnsSchema);
        exec(kHostsSchema);
        accounts_created_ = !tables.count("accounts");
        exec(kAccountsSchema);
        if (legacy) {
            // The one address column goes to the column of its family.
            exec((std::string("INSERT INTO hosts (name, account, zone, ipv4, ipv6, wildcard, mx,"
                              " backmx, offline, updated_at)"
                              " SELECT host, account, NULL,"
                              " CASE WHEN instr(address, ':') = 0 THEN NULLIF(address, '') END,"
                              " CASE WHEN instr(address, ':') > 0 THEN address END,"
                              " CASE WHEN upper(wildcard) = 'ON' THEN 1 ELSE 0 END,"
                              " NULLIF(mx, ''),"
                              " CASE WHEN upper(backmx) = 'YES' THEN 1 ELSE 0 END,"
                              " 0, updated_at FROM ") +
                  kLegacyTable)
                     .c_str());
            exec((std::string("DROP TABLE ") + kLegacyTable).c_str());
        }

        std::set<std::int64_t> changed_zones;
        for (const std::string& zone : options.zones) {
            if (zone_id(zone) < 0) {
                create_zone(zone);
                changed_zones.insert(zone_id(zone));
            }
        }
        std::vector<Host> all;
        {
            Statement select(db_, kSelectHost);
            while (select.step())
                all.push_back(select.host());
        }
        for (Host& host : all) {
            if (host.zone.empty()) {
                std::optional<std::string> zone = zone_for(host.name, options.zones);
                if (!zone)
                    continue;
                host.zone = *zone;
                save_host(host);
            }
            if (zone_ids_.count(host.zone) && publish(host))
                changed_zones.insert(zone_ids_[host.zone]);
        }
        for (std::int64_t id : changed_zones)
            bump_serial(id);
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        zone_ids_.clear();
        throw;
    }
}

// The id of a served zone, or -1 when the zone is not in the file. Zones
// found are remembered: only those are ever published to.
std::int64_t Store::zone_id(const std::string& zone) {
    auto known = zone_ids_.find(zone);
    if (known != zone_ids_.end())
        return known->second;
    Statement select(db_, "SELECT id FROM domains WHERE name = ?1");
    select.bind(1, zone);
    if (!select.step())
        return -1;
    const std::int64_t id = select.integer(0);
    zone_ids_[zone] = id;
    return id;
}

void Store::create_zone(const std::string& zone) {
    Statement insert(db_, "INSERT INTO domains (name, type) VALUES (?1, 'NATIVE')");
    insert.bind(1, zone);
    insert.step();
    const std::int64_t id = zone_id(zone);
    Statement record(db_, "INSERT INTO records (domain_id, name, type, content, ttl, prio,"
                          " disabled, auth) VALUES (?1, ?2, ?3, ?4, ?5, 0, 0, 1)");
    for (const DnsRecord& r : zone_apex_records(zone, ttl_)) {
        record.bind(1, id);
        record.bind(2, r.name);
        record.bind(3, r.type);
        record.bind(4, r.content);
        record.bind(5, static_cast<std::int64_t>(r.ttl));
        record.step();
        record.reset();
    }
}

void Store::save_host(const Host& h) {
    Statement upsert(db_, kept("INSERT INTO hosts (name, account, zone, ipv4, ipv6, wildcard, mx,"
                               " backmx, offline, updated_at)"
                               " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
                               " ON CONFLICT (name) DO UPDATE SET account = excluded.account,"
                               " zone = excluded.zone, ipv4 = excluded.ipv4, ipv6 = excluded.ipv6,"
                               " wildcard = excluded.wildcard, mx = excluded.mx,"
                               " backmx = excluded.backmx, offline = excluded.offline,"
                               " updated_at = excluded.updated_at"));
    upsert.bind(1, h.name);
    upsert.bind(2, h.account);
    upsert.bind(3, h.zone, true);
    upsert.bind(4, h.ipv4, true);
    upsert.bind(5, h.ipv6, true);
    upsert.bind(6, std::int64_t{h.wildcard});
    upsert.bind(7, h.mx, true);
    upsert.bind(8, std::int64_t{h.backmx});
    upsert.bind(9, std::int64_t{h.offline});
    upsert.bind(10, h.updated_at);
    upsert.step();
}

// The address and mail records of the host in its zone, sorted.
std::vector<DnsRecord> Store::published_records(const Host& host) {
    std::vector<DnsRecord> present;
    Statement select(db_, kept(std::string("SELECT name, type, content, ttl, prio FROM records") +
                               kHostRecordsWhere));
    select.bind(1, zone_ids_.at(host.zone));
    select.bind(2, host.name);
    select.bind(3, "*." + host.name);
    while (select.step())
        present.push_back(select.record());
    std::sort(present.begin(), present.end());
    return present;
}

// Makes the host's address and mail records in its zone what its settings
// say; true when they were not already.
bool Store::publish(const Host& host) {
    const std::vector<DnsRecord> wanted = host_records(host, ttl_);
    if (published_records(host) == wanted)
        return false;
    const std::int64_t id = zone_ids_.at(host.zone);
    const std::string wildcard = "*." + host.name;
    Statement remove(db_, kept(std::string("DELETE FROM records") + kHostRecordsWhere));
    remove.bind(1, id);
    remove.bind(2, host.name);
    remove.bind(3, wildcard);
    remove.step();
    Statement insert(db_, kept("INSERT INTO records (domain_id, name, type, content, ttl, prio,"
                               " disabled, auth) VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0, 1)"));
    for (const DnsRecord& r : wanted) {
        insert.bind(1, id);
        insert.bind(2, r.name);
        insert.bind(3, r.type);
        insert.bind(4, r.content);
        insert.bind(5, static_cast<std::int64_t>(r.ttl));
        insert.bind(6, static_cast<std::int64_t>(r.prio));
        insert.step();
        insert.reset();
    }
    return true;
}

void Store::bump_serial(std::int64_t zone_id) {
    Statement select(db_,
                     kept("SELECT id, content FROM records WHERE domain_id = ?1 AND type = 'SOA'"));
    select.bind(1, zone_id);
    if (!select.step())
        throw StoreError("zone " + std::to_string(zone_id) + " has no SOA record");
    const std::int64_t id = select.integer(0);
    const std::optional<std::string> soa = next_serial(select.text(1));
    if (!soa)
        throw StoreError("zone " + std::to_string(zone_id) + " has a malformed SOA record");
    Statement update(db_, kept("UPDATE records SET content = ?1 WHERE id = ?2"));
    update.bind(1, *soa);
    update.bind(2, id);
    update.step();
}

// A server must learn that it cannot write before it answers anybody: an
// open that changed nothing has written nothing, so write the header.
void Store::check_writable() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sqlite3_db_readonly(db_, "main") == 1)
        throw StoreError("the database is read-only");
    std::int64_t version = 0;
    {
        Statement read(db_, "PRAGMA user_version");
        if (read.step())
            version = read.integer(0);
    }
    exec(("PRAGMA user_version = " + std::to_string(version)).c_str());
}

std::int64_t Store::data_version() {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement read(db_, "PRAGMA data_version");
    return read.step() ? read.integer(0) : 0;
}

std::vector<AccountRecord> Store::accounts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<AccountRecord> out;
    Statement select(db_, "SELECT a.name, a.password_hash, h.host FROM accounts a"
                          " LEFT JOIN account_hosts h ON h.account = a.name"
                          " ORDER BY a.name, h.host");
    while (select.step()) {
        if (out.empty() || out.back().name != select.text(0))
            out.push_back({select.text(0), select.text(1), {}});
        if (std::string host = select.text(2); !host.empty())
            out.back().hosts.push_back(std::move(host));
    }
    return out;
}

void Store::write_hosts_of(const std::string& name, const std::vector<std::string>& hosts) {
    Statement owner(db_, "SELECT account FROM account_hosts WHERE host = ?1 AND account <> ?2");
    Statement insert(db_, "INSERT INTO account_hosts (host, account) VALUES (?1, ?2)");
    exec_bound("DELETE FROM account_hosts WHERE account = ?1", name);
    for (const std::string& host : hosts) {
        owner.bind(1, host);
        owner.bind(2, name);
        if (owner.step())
            throw StoreError("host " + host + " belongs to account " + owner.text(0));
        owner.reset();
        insert.bind(1, host);
        insert.bind(2, name);
        insert.step();
        insert.reset();
    }
}

void Store::exec_bound(const char* sql, const std::string& value) {
    Statement statement(db_, sql);
    statement.bind(1, value);
    statement.step();
}

// Runs `change` in one transaction under the lock; false when it found no
// such account.
template <typename Change> bool Store::account_change(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    exec("BEGIN IMMEDIATE");
    try {
        const bool done = change();
        exec(done ? "COMMIT" : "ROLLBACK");
        return done;
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

bool Store::account_exists(const std::string& name) {
    Statement select(db_, "SELECT 1 FROM accounts WHERE name = ?1");
    select.bind(1, name);
    return select.step();
}

bool Store::add_account(const AccountRecord& account) {
    return account_change([&] {
        if (account_exists(account.name))
            return false;
        Statement insert(db_, "INSERT INTO accounts (name, password_hash) VALUES (?1, ?2)");
        insert.bind(1, account.name);
        insert.bind(2, account.password_hash);
        insert.step();
        write_hosts_of(account.name, account.hosts);
        return true;
    });
}

bool Store::set_password(const std::string& name, const std::string& hash) {
    return account_change([&] {
        Statement update(db_, "UPDATE accounts SET password_hash = ?2 WHERE name = ?1");
        update.bind(1, name);
        update.bind(2, hash);
        update.step();
        return sqlite3_changes(db_) > 0;
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
        exec_bound("DELETE FROM account_hosts WHERE account = ?1", name);
        exec_bound("DELETE FROM accounts WHERE name = ?1", name);
        return sqlite3_changes(db_) > 0;
    });
}

std::optional<Host> Store::find_locked(const std::string& host) {
    Statement select(db_, kept(std::string(kSelectHost) + " WHERE name = ?1"));
    select.bind(1, host);
    if (!select.step())
        return std::nullopt;
    return select.host();
}

std::optional<Host> Store::find(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find_locked(host);
}

std::vector<Host> Store::hosts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Host> out;
    Statement select(db_, std::string(kSelectHost) + " ORDER BY name");
    while (select.step())
        out.push_back(select.host());
    return out;
}

std::vector<DnsRecord> Store::dns_records(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DnsRecord> out;
    Statement select(db_, "SELECT name, type, content, ttl, prio FROM records WHERE name = ?1");
    select.bind(1, name);
    while (select.step())
        out.push_back(select.record());
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<std::uint32_t> Store::serial(const std::string& zone) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement select(db_, "SELECT r.content FROM records r JOIN domains d ON d.id = r.domain_id"
                          " WHERE d.name = ?1 AND r.type = 'SOA'");
    select.bind(1, zone);
    if (!select.step())
        return std::nullopt;
    return soa_serial(select.text(0));
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

// Whether storing `h` over `old` would change the file: its row, or the
// records it should have in its zone.
bool Store::needs_write(const std::optional<Host>& old, const Host& h) {
    return !old || !same_settings(*old, h) || old->zone != h.zone ||
           published_records(h) != host_records(h, ttl_);
}

bool Store::any_change(const std::vector<Update>& updates) {
    exec("BEGIN"); // reads only: one snapshot, and nothing to sync
    try {
        bool found = false;
        for (const Update& u : updates) {
            const std::optional<Host> old = find_locked(u.host);
            if (needs_write(old, merge(u, old, 0))) {
                found = true;
                break;
            }
        }
        exec("COMMIT");
        return found;
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<bool> Store::apply(const std::vector<Update>& updates, std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Most updates repeat what is stored: when all of them do, there is no
    // write transaction and no sync at all.
    if (!any_change(updates))
        return std::vector<bool>(updates.size(), false);
    std::vector<bool> changed;
    exec("BEGIN IMMEDIATE");
    try {
        std::set<std::int64_t> changed_zones;
        for (const Update& u : updates) {
            const std::optional<Host> old = find_locked(u.host);
            Host h = merge(u, old, now);
            changed.push_back(!old || !same_settings(*old, h));
            if (!needs_write(old, h))
                continue;
            if (changed.back())
                h.updated_at = now;
            save_host(h);
            if (old && old->zone != h.zone && zone_ids_.count(old->zone)) {
                // Moved to a more specific zone: withdraw it from the old one.
                Host gone;
                gone.name = h.name;
                gone.zone = old->zone;
                if (publish(gone))
                    changed_zones.insert(zone_ids_.at(gone.zone));
            }
            if (publish(h))
                changed_zones.insert(zone_ids_.at(h.zone));
        }
        for (std::int64_t id : changed_zones)
            bump_serial(id);
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return changed;
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
