#include "store.h"

#include "protocol.h"

#include <sqlite3.h>

#include <utility>

namespace tovix::server {

namespace {

const char* const kSchema = "CREATE TABLE IF NOT EXISTS records ("
                            " host TEXT PRIMARY KEY NOT NULL,"
                            " account TEXT NOT NULL,"
                            " address TEXT NOT NULL,"
                            " wildcard TEXT NOT NULL DEFAULT 'OFF',"
                            " mx TEXT NOT NULL DEFAULT '',"
                            " backmx TEXT NOT NULL DEFAULT 'NO',"
                            " updated_at INTEGER NOT NULL)";

const char* const kSelect =
    "SELECT host, account, address, wildcard, mx, backmx, updated_at FROM records";

class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const std::string& value) {
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

    std::string text(int column) const {
        const unsigned char* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }

    Record record() const {
        Record r;
        r.host = text(0);
        r.account = text(1);
        r.address = text(2);
        r.wildcard = text(3);
        r.mx = text(4);
        r.backmx = text(5);
        r.updated_at = static_cast<std::time_t>(integer(6));
        return r;
    }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db_));
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace

Store::Store(const std::string& path, Mode mode) {
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
        // on each commit.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=FULL");
        exec(kSchema);
    } catch (const StoreError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(path + ": " + e.what());
    }
}

Store::~Store() {
    sqlite3_close(db_);
}

void Store::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw StoreError(text);
    }
}

std::optional<Record> Store::find_locked(const std::string& host) {
    Statement select(db_, std::string(kSelect) + " WHERE host = ?1");
    select.bind(1, host);
    if (!select.step())
        return std::nullopt;
    return select.record();
}

std::optional<Record> Store::find(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find_locked(host);
}

std::vector<Record> Store::records() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Record> out;
    Statement select(db_, std::string(kSelect) + " ORDER BY host");
    while (select.step())
        out.push_back(select.record());
    return out;
}

std::vector<bool> Store::apply(const std::vector<Update>& updates, std::time_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<bool> changed;
    exec("BEGIN IMMEDIATE");
    try {
        Statement upsert(db_, "INSERT INTO records"
                              " (host, account, address, wildcard, mx, backmx, updated_at)"
                              " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
                              " ON CONFLICT(host) DO UPDATE SET account = excluded.account,"
                              " address = excluded.address, wildcard = excluded.wildcard,"
                              " mx = excluded.mx, backmx = excluded.backmx,"
                              " updated_at = excluded.updated_at");
        for (const Update& u : updates) {
            std::optional<Record> old = find_locked(u.host);
            Record r = old.value_or(Record{});
            changed.push_back(!old || old->address != u.address);
            r.host = u.host;
            r.account = u.account;
            r.address = u.address;
            if (u.wildcard)
                r.wildcard = *u.wildcard;
            if (u.mx)
                r.mx = *u.mx;
            if (u.backmx)
                r.backmx = *u.backmx;
            r.updated_at = now;

            upsert.bind(1, r.host);
            upsert.bind(2, r.account);
            upsert.bind(3, r.address);
            upsert.bind(4, r.wildcard);
            upsert.bind(5, r.mx);
            upsert.bind(6, r.backmx);
            upsert.bind(7, static_cast<std::int64_t>(r.updated_at));
            upsert.step();
            upsert.reset();
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return changed;
}

void write_records(std::ostream& out, const std::vector<Record>& records) {
    out << "host\taccount\taddress\twildcard\tmx\tbackmx\tupdated\n";
    for (const Record& r : records) {
        out << escape_field(r.host) << '\t' << escape_field(r.account) << '\t'
            << escape_field(r.address) << '\t' << escape_field(r.wildcard) << '\t'
            << (r.mx.empty() ? std::string("-") : escape_field(r.mx)) << '\t'
            << escape_field(r.backmx) << '\t' << format_utc(r.updated_at) << '\n';
    }
}

} // namespace tovix::server
