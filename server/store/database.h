// The connection under the store: SQLite (one file, the default) or
// PostgreSQL (one database that several tovix-server processes share), each
// a thin module behind this interface (sqlite.cpp, postgres.cpp), as
// PowerDNS layers its generic SQL backend over one module per database. The
// store writes its SQL once, with ?N placeholders and types both accept; a
// connection runs it and answers what its database can do (lock rows, tell
// of other connections' commits). What stays in a module is its database's
// own: the connection's settings, its PowerDNS schema, its catalog, its
// locks, and whether it can write.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tovix::server {

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A host no account may own, and why, so that a caller can say so in its
// own words: a zone's apex, one of its name servers, another account's
// host, or a name at or under one (either way: `other` is that host).
class HostRefused : public StoreError {
  public:
    enum class Why { Apex, NameServer, Taken, Under, Over };
    HostRefused(Why why, std::string host, std::string other, std::string account,
                const std::string& text)
        : StoreError(text), why(why), host(std::move(host)), other(std::move(other)),
          account(std::move(account)) {}
    Why why;
    std::string host, other, account; // account: the other host's owner
};

// A value bound to a placeholder: NULL, text or an integer.
class SqlValue {
  public:
    enum class Kind { Null, Text, Integer };
    SqlValue(std::nullptr_t) {}
    SqlValue(std::string text) : kind_(Kind::Text), text_(std::move(text)) {}
    SqlValue(const char* text) : SqlValue(std::string(text)) {}
    SqlValue(std::int64_t number) : kind_(Kind::Integer), number_(number) {}

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    std::int64_t number() const { return number_; }

  private:
    Kind kind_ = Kind::Null;
    std::string text_;
    std::int64_t number_ = 0;
};

// The rows of a query, every column as text (NULL: no value), and how many
// rows an INSERT, UPDATE or DELETE changed.
struct SqlRows {
    std::vector<std::vector<std::optional<std::string>>> rows;
    std::int64_t changed = 0;

    bool empty() const { return rows.empty(); }
    std::string text(std::size_t row, std::size_t column) const {
        return rows.at(row).at(column).value_or(std::string());
    }
    std::int64_t integer(std::size_t row, std::size_t column) const;
};

class Database {
  public:
    virtual ~Database() = default;

    // Runs SQL without placeholders: one statement or several.
    virtual void exec(const std::string& sql) = 0;
    // Runs one statement, prepared once per connection and kept.
    virtual SqlRows query(const std::string& sql, const std::vector<SqlValue>& values = {}) = 0;
    // Runs one statement whose rows and count nobody needs, inside a
    // transaction. PostgreSQL sends it on without waiting for the answer
    // (libpq's pipeline); its error, if any, comes from the next query,
    // exec or commit.
    virtual void write(const std::string& sql, const std::vector<SqlValue>& values) = 0;
    // Commits the open transaction; throws the first error of its writes.
    virtual void commit() { exec("COMMIT"); }
    // Ends the open transaction, if any, and throws nothing.
    void rollback() noexcept;

    // A transaction that will write. SQLite takes the file's write lock
    // here; PostgreSQL takes row locks as the writes come (locks_rows).
    virtual void begin_write() = 0;
    // Whether a write transaction that ends up writing nothing is free:
    // no sync, and no other process kept waiting (SQLite's file lock is
    // this process's alone while it serves). Otherwise the store first
    // checks, without a lock, whether a batch changes anything at all.
    virtual bool empty_writes_are_free() const = 0;
    // Whether writers lock rows (SELECT ... FOR UPDATE) rather than the
    // whole database in begin_write: then the store holds the other
    // writers of a zone off by locking a row of it.
    virtual bool locks_rows() const = 0;
    // Inside begin_write: holds every other process's layout change off.
    virtual void lock_layout() = 0;

    // PowerDNS's generic schema for this database, as the PowerDNS backend
    // package installs it, and that package's name.
    struct SchemaFile {
        const char* path;
        const char* package;
    };
    virtual SchemaFile powerdns_schema_file() const = 0;
    // In this dialect: the names of the tables; and a row when table ?1
    // has a column ?2.
    virtual const char* tables_sql() const = 0;
    virtual const char* column_sql() const = 0;
    // The names of the indexes.
    virtual const char* indexes_sql() const = 0;
    std::set<std::string> tables();
    std::set<std::string> indexes();
    bool has_column(const std::string& table, const std::string& column);
    // Throws StoreError when this connection cannot write (a read-only
    // file, a standby server).
    virtual void check_writable() = 0;
    // Whether PRAGMA data_version tells this connection that another one
    // has committed (SQLite); otherwise the store counts its changes itself.
    virtual bool has_data_version() const = 0;
    // What follows a text column to order and compare it by its bytes
    // (listings page by it, whatever the database's collation); empty when
    // that is the column's own order.
    virtual const char* byte_order() const { return ""; }
    // On: the commits of the transactions that follow need not be on disk
    // when COMMIT returns (the next synced commit takes them along; a crash
    // may lose them, never corrupt anything). For writes whose loss costs
    // little, so that they add no syncs to the updates'. Outside a
    // transaction.
    virtual void lazy_commits(bool on) { (void)on; }
    // Whether a transaction can tell the other connections of its changes
    // (PostgreSQL's NOTIFY, sent on commit; store/changes.h).
    virtual bool has_notify() const { return false; }
};

// "?FIRST, ?FIRST+1, ..." (count of them): the placeholders of a list.
std::string placeholders(std::size_t first, std::size_t count);

// names[first, first + count) as values for such a list, the last name
// repeated past the end: one prepared statement serves every chunk.
std::vector<SqlValue> chunk_values(const std::vector<std::string>& names, std::size_t first,
                                   std::size_t count);

// `postgresql://...` and `postgres://...` are PostgreSQL connection URIs;
// anything else is the path of an SQLite file.
bool is_postgres_uri(const std::string& where);
// What to print of `where` in messages: a URI without its password.
std::string printable_location(const std::string& where);

// Throw StoreError. `create`: an SQLite file that does not exist is made.
std::unique_ptr<Database> open_sqlite(const std::string& path, bool create);
std::unique_ptr<Database> open_postgres(const std::string& uri);

} // namespace tovix::server
