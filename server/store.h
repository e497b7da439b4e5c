// The record store: one SQLite file, one row per host name.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace tovix::server {

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Record {
    std::string host;
    std::string account;
    std::string address;
    std::string wildcard = "OFF"; // ON / OFF
    std::string mx;               // empty: none
    std::string backmx = "NO";    // YES / NO
    std::time_t updated_at = 0;   // last accepted update, Unix time
};

// One host's part of an update request. Unset options keep the stored value
// (or the default for a new record).
struct Update {
    std::string host;
    std::string account;
    std::string address;
    std::optional<std::string> wildcard;
    std::optional<std::string> mx;
    std::optional<std::string> backmx;
};

class Store {
  public:
    enum class Mode { Create, Existing };

    // Opens (or creates) the database. Throws StoreError.
    explicit Store(const std::string& path, Mode mode = Mode::Create);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Applies the updates in order, in one transaction that is on disk when
    // this returns. Element i of the result tells whether update i changed the
    // address (or created the record). Throws StoreError; nothing is applied
    // then.
    std::vector<bool> apply(const std::vector<Update>& updates, std::time_t now);

    std::optional<Record> find(const std::string& host);
    std::vector<Record> records(); // ordered by host

  private:
    void exec(const char* sql);
    std::optional<Record> find_locked(const std::string& host);

    std::mutex mutex_; // one connection, shared by all request threads
    sqlite3* db_ = nullptr;
};

// The listing printed by `tovix-server list`: a header line, then one
// tab-separated line per record.
void write_records(std::ostream& out, const std::vector<Record>& records);

} // namespace tovix::server
