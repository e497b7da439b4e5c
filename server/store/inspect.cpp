// Probes and reads of a database for the health endpoint and the check
// command.
#include "store/inspect.h"

#include "dns/zone.h"

#include <sys/statvfs.h>

#include <filesystem>

namespace tovix::server {

void probe_database(const std::string& where) {
    std::unique_ptr<Database> db =
        is_postgres_uri(where) ? open_postgres(where) : open_sqlite(where, false);
    // PostgreSQL tells without a write whether it takes writes. SQLite's
    // test of that is a write: a read-only file shows in the commits that fail.
    if (!db->has_data_version())
        db->check_writable();
    db->begin_write();
    try {
        db->query("SELECT id FROM domains LIMIT 1");
    } catch (...) {
        db->rollback();
        throw;
    }
    db->rollback();
}

std::string layout_problem(Database& db) {
    const std::set<std::string> tables = db.tables();
    std::string missing;
    for (const char* table :
         {"domains", "records", "hosts", "accounts", "account_hosts", "tovix_meta"}) {
        if (!tables.count(table))
            missing += std::string(missing.empty() ? "" : ", ") + table;
    }
    if (!missing.empty())
        return "missing tables: " + missing;
    if (db.has_column("records", "address"))
        return "records is of the one-table layout";
    return "";
}

ZoneApex zone_apex(Database& db, const std::string& zone) {
    ZoneApex apex;
    const SqlRows domain = db.query("SELECT id FROM domains WHERE name = ?1", {zone});
    if (domain.empty())
        return apex;
    apex.exists = true;
    const SqlRows r = db.query("SELECT type, content FROM records WHERE domain_id = ?1 AND"
                               " name = ?2 AND type IN ('SOA', 'NS')",
                               {domain.integer(0, 0), zone});
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        if (r.text(i, 0) == "NS")
            apex.ns = true;
        if (r.text(i, 0) == "SOA") {
            apex.soa = true;
            apex.serial = soa_serial(r.text(i, 1));
        }
    }
    return apex;
}

std::vector<std::string> zone_names(Database& db) {
    const SqlRows r = db.query("SELECT name FROM domains ORDER BY name");
    std::vector<std::string> names;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        names.push_back(r.text(i, 0));
    return names;
}

std::optional<std::string> password_hash(Database& db, const std::string& account) {
    const SqlRows r = db.query("SELECT password_hash FROM accounts WHERE name = ?1", {account});
    if (r.empty())
        return std::nullopt;
    return r.text(0, 0);
}

bool disk_nearly_full(const std::string& where) {
    if (is_postgres_uri(where))
        return false;
    std::filesystem::path dir = std::filesystem::path(where).parent_path();
    struct statvfs fs {};
    if (statvfs(dir.empty() ? "." : dir.c_str(), &fs) != 0)
        return false;
    return static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < 1024 * 1024;
}

} // namespace tovix::server
