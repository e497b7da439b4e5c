// The SQLite connection: one file in WAL mode with a sync on every commit,
// one write transaction at a time in the whole file (BEGIN IMMEDIATE),
// statements prepared once and kept, and a thread beside the writer that
// copies the WAL back into the file so that commits need not. Its PRAGMA
// data_version tells the store when another process has committed.
#include "base/threads.h"
#include "store/database.h"

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace tovix::server {

namespace {

// Copies the WAL back into the database file from a connection of its own,
// beside the writer: a checkpoint in the writer's commit (SQLite's
// automatic one, every 1000 pages) holds every request of that batch up
// for the length of a sync of the database file. A passive checkpoint
// never waits for the writer, nor the writer for it.
class Checkpointer {
  public:
    explicit Checkpointer(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
            return; // then the writer's own checkpoints stay as they are
        }
        sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        thread_ = std::thread([this] { run(); });
    }
    ~Checkpointer() {
        stop_thread(mutex_, stopping_, wake_, thread_);
        sqlite3_close(db_);
    }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    bool running() const { return db_ != nullptr; }

  private:
    // Every 200 ms, and after 50 ms while a pass found much to copy (a
    // burst of writes, the activity of many hosts say): the writer's own
    // checkpoint then finds little left to copy and sync.
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        std::chrono::milliseconds pause(200);
        int copied_before = 0;
        while (!wake_.wait_for(lock, pause, [this] { return stopping_; })) {
            lock.unlock();
            int frames = 0, copied = 0;
            sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
            // The count starts again when the WAL does.
            const int now_copied = copied >= copied_before ? copied - copied_before : copied;
            copied_before = copied;
            pause = std::chrono::milliseconds(now_copied >= kMuch ? 50 : 200);
            lock.lock();
        }
    }

    static constexpr int kMuch = 1000; // frames of 1 KiB pages
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// The store calls it under its own lock: the connection need not take
// SQLite's mutex on every call as well (SQLITE_OPEN_NOMUTEX).
class SqliteDatabase final : public Database {
  public:
    SqliteDatabase(const std::string& path, bool create) {
        const int flags =
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StoreError(message);
        }
        try {
            sqlite3_busy_timeout(db_, 5000);
            // A new file gets 1 KiB pages (an existing one keeps its own):
            // rows here are a few dozen bytes, and every page an update
            // touches goes whole into the WAL, so smaller pages mean fewer
            // bytes written and synced per batch.
            exec("PRAGMA page_size=1024");
            // Every commit reaches the disk before we answer: WAL with a
            // sync on each commit. PowerDNS reads the same file in WAL
            // mode too.
            exec("PRAGMA journal_mode=WAL");
            exec("PRAGMA synchronous=FULL");
            exec("PRAGMA foreign_keys=ON");
            // SQLite's default cache of 2 MiB is too small for a large file:
            // with a million hosts each index is four or five levels deep,
            // and a thousand busy hosts lie on a thousand leaves of each, so
            // nearly every lookup read its pages again from the file (a
            // system call and a copy each; a tenth of the server's time in
            // a bench). 16 MiB holds them, allocated as pages are read.
            exec("PRAGMA cache_size=-16384");
            checkpointer_ = std::make_unique<Checkpointer>(path);
            // The writer's own checkpoint is the backstop: under a load
            // without pause (or beside a long reader) the WAL is never
            // wholly copied while commits go on, and would grow without end.
            // SQLite's own would run after every commit once the WAL is that
            // long, each syncing the database file while the next batch
            // waits; this one runs at most once a second.
            if (checkpointer_->running())
                sqlite3_wal_hook(db_, &SqliteDatabase::backstop, this);
        } catch (...) {
            close();
            throw;
        }
    }
    ~SqliteDatabase() override { close(); }
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    void exec(const std::string& sql) override {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw StoreError(text);
        }
    }

    SqlRows query(const std::string& sql, const std::vector<SqlValue>& values) override {
        sqlite3_stmt* statement = prepared(sql);
        struct Reset {
            sqlite3_stmt* s;
            ~Reset() {
                sqlite3_reset(s);
                sqlite3_clear_bindings(s);
            }
        } reset{statement};
        for (std::size_t i = 0; i < values.size(); ++i)
            bind(statement, static_cast<int>(i + 1), values[i]);
        SqlRows out;
        const int columns = sqlite3_column_count(statement);
        for (;;) {
            const int rc = sqlite3_step(statement);
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW)
                throw StoreError(sqlite3_errmsg(db_));
            auto& row = out.rows.emplace_back();
            for (int c = 0; c < columns; ++c) {
                const auto* p = sqlite3_column_text(statement, c);
                if (p)
                    row.emplace_back(
                        std::string(reinterpret_cast<const char*>(p),
                                    static_cast<std::size_t>(sqlite3_column_bytes(statement, c))));
                else
                    row.emplace_back(std::nullopt);
            }
        }
        out.changed = sqlite3_changes(db_);
        return out;
    }

    void write(const std::string& sql, const std::vector<SqlValue>& values) override {
        query(sql, values);
    }

    void begin_write() override { exec("BEGIN IMMEDIATE"); }
    // A commit with no changed page writes nothing to the WAL.
    bool empty_writes_are_free() const override { return true; }
    // BEGIN IMMEDIATE has locked the whole file already.
    bool locks_rows() const override { return false; }
    void lock_layout() override {}

    SchemaFile powerdns_schema_file() const override {
        return {"/usr/share/pdns-backend-sqlite3/schema/schema.sqlite3.sql",
                "pdns-backend-sqlite3"};
    }

    const char* tables_sql() const override {
        return "SELECT name FROM sqlite_master WHERE type = 'table'";
    }
    const char* indexes_sql() const override {
        return "SELECT name FROM sqlite_master WHERE type = 'index'";
    }
    const char* column_sql() const override {
        return "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2";
    }

    // SQLite opens a file it may not write read-only, without complaint;
    // and an open that changed nothing has written nothing: writing the
    // header (its user version, unchanged) finds out the rest.
    void check_writable() override {
        if (sqlite3_db_readonly(db_, "main") == 1)
            throw StoreError("the database is read-only");
        const std::int64_t version = query("PRAGMA user_version", {}).integer(0, 0);
        exec("PRAGMA user_version = " + std::to_string(version));
    }

    bool has_data_version() const override { return true; }
    // In WAL mode a NORMAL commit is not synced; the next FULL one syncs
    // the log with it.
    void lazy_commits(bool on) override {
        exec(on ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL");
    }

  private:
    void close() {
        checkpointer_.reset();
        for (auto& [sql, statement] : prepared_)
            sqlite3_finalize(statement);
        prepared_.clear();
        sqlite3_close(db_);
        db_ = nullptr;
    }

    sqlite3_stmt* prepared(const std::string& sql) {
        auto found = prepared_.find(sql);
        if (found != prepared_.end())
            return found->second;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement,
                               nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db_));
        prepared_.emplace(sql, statement);
        return statement;
    }

    void bind(sqlite3_stmt* statement, int index, const SqlValue& value) {
        int rc = SQLITE_OK;
        switch (value.kind()) {
        case SqlValue::Kind::Text:
            rc = sqlite3_bind_text(statement, index, value.text().data(),
                                   static_cast<int>(value.text().size()), SQLITE_TRANSIENT);
            break;
        case SqlValue::Kind::Integer:
            rc = sqlite3_bind_int64(statement, index, value.number());
            break;
        case SqlValue::Kind::Null:
            rc = sqlite3_bind_null(statement, index);
            break;
        }
        if (rc != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db_));
    }

    static int backstop(void* self, sqlite3* db, const char* name, int frames) {
        auto* me = static_cast<SqliteDatabase*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (frames >= kBackstopFrames && now - me->last_backstop_ >= std::chrono::seconds(1)) {
            me->last_backstop_ = now;
            sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        }
        return SQLITE_OK;
    }
    static constexpr int kBackstopFrames = 10000; // 1 KiB pages
    std::chrono::steady_clock::time_point last_backstop_{};
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> prepared_;
    std::unique_ptr<Checkpointer> checkpointer_;
};

} // namespace

std::unique_ptr<Database> open_sqlite(const std::string& path, bool create) {
    return std::make_unique<SqliteDatabase>(path, create);
}

} // namespace tovix::server
