// The PostgreSQL connection, through libpq: one per Store. Several
// tovix-server processes share the database: writers lock rows (the store
// locks each zone's SOA row) and layout changes wait on an advisory lock.
// Statements are prepared once per session, the writes of a transaction go
// out in libpq's pipeline without waiting for their answers, and a session
// that was lost is opened again.
#include "store/database.h"

#include <libpq-fe.h>

#include <cctype>
#include <map>

namespace tovix::server {

namespace {

// The store writes ?N; PostgreSQL numbers its placeholders $N. No SQL of
// the store has a question mark anywhere else.
std::string dollar_placeholders(const std::string& sql) {
    std::string out = sql;
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '?' && std::isdigit(static_cast<unsigned char>(out[i + 1])))
            out[i] = '$';
    }
    return out;
}

// The key of the advisory lock that layout changes hold ("tovix").
constexpr std::int64_t kLayoutLock = 0x746f766978;

std::string trimmed(std::string message) {
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())))
        message.pop_back();
    return message;
}

// Bound values as libpq takes them: text, or a null pointer for NULL.
class Parameters {
  public:
    explicit Parameters(const std::vector<SqlValue>& values)
        : texts_(values.size()), pointers_(values.size(), nullptr) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (values[i].kind() == SqlValue::Kind::Null)
                continue;
            texts_[i] = values[i].kind() == SqlValue::Kind::Text
                            ? values[i].text()
                            : std::to_string(values[i].number());
            pointers_[i] = texts_[i].c_str();
        }
    }
    int count() const { return static_cast<int>(pointers_.size()); }
    const char* const* values() const { return pointers_.data(); }

  private:
    std::vector<std::string> texts_;
    std::vector<const char*> pointers_;
};

class Result {
  public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    PGresult* get() const { return r_; }
    void reset(PGresult* r) {
        PQclear(r_);
        r_ = r;
    }

  private:
    PGresult* r_;
};

class PostgresDatabase final : public Database {
  public:
    explicit PostgresDatabase(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
        if (!conn_)
            throw StoreError("out of memory");
        if (PQstatus(conn_) != CONNECTION_OK) {
            std::string message = error();
            PQfinish(conn_);
            throw StoreError(message);
        }
        try {
            configure();
        } catch (...) {
            PQfinish(conn_);
            throw;
        }
    }
    ~PostgresDatabase() override { PQfinish(conn_); }
    PostgresDatabase(const PostgresDatabase&) = delete;
    PostgresDatabase& operator=(const PostgresDatabase&) = delete;

    void exec(const std::string& sql) override {
        finish_pipeline();
        send_begin();
        retrying([&] {
            Result r(PQexec(conn_, sql.c_str()));
            check(r.get());
            return 0;
        });
    }

    SqlRows query(const std::string& sql, const std::vector<SqlValue>& values) override {
        finish_pipeline();
        if (begin_waiting_)
            return retrying([&] { return begin_and_run(sql, values); });
        return retrying([&] { return run(sql, values); });
    }

    void write(const std::string& sql, const std::vector<SqlValue>& values) override {
        auto found = prepared_.find(sql);
        if (found == prepared_.end()) {
            finish_pipeline(); // a statement is prepared outside the pipeline
            prepared(sql);
            found = prepared_.find(sql);
        }
        enter_pipeline();
        if (begin_waiting_) {
            send_in_pipeline("BEGIN");
            begin_waiting_ = false;
        }
        send_prepared(found->second, values);
        // Each answer waits in the socket until the pipeline is read: a
        // few hundred are a few kilobytes.
        if (pending_ >= 256)
            finish_pipeline();
    }

    // BEGIN waits for the transaction's first statement and goes out with
    // it, in one round trip: a batch of updates starts with the lock on
    // its zone, and that answer is the first one it needs.
    void begin_write() override {
        finish_pipeline();
        begin_waiting_ = true;
    }

    // The writes' answers and the commit's in one round trip. After a write
    // that failed, the commit is skipped and the transaction waits for its
    // rollback. A transaction that sent nothing has nothing to commit.
    void commit() override {
        if (begin_waiting_) {
            begin_waiting_ = false;
            return;
        }
        if (!in_pipeline_)
            return exec("COMMIT");
        send_in_pipeline("COMMIT");
        finish_pipeline();
    }

    // Its zone locks would hold the other servers up, for nothing.
    bool empty_writes_are_free() const override { return false; }

    bool locks_rows() const override { return true; }

    void lock_layout() override { query("SELECT pg_advisory_xact_lock(?1)", {kLayoutLock}); }

    SchemaFile powerdns_schema_file() const override {
        return {"/usr/share/pdns-backend-pgsql/schema/schema.pgsql.sql", "pdns-backend-pgsql"};
    }

    const char* tables_sql() const override {
        return "SELECT tablename FROM pg_tables WHERE schemaname = current_schema()";
    }
    const char* indexes_sql() const override {
        return "SELECT indexname FROM pg_indexes WHERE schemaname = current_schema()";
    }
    const char* column_sql() const override {
        return "SELECT 1 FROM information_schema.columns WHERE table_schema = current_schema()"
               " AND table_name = ?1 AND column_name = ?2";
    }

    void check_writable() override {
        if (query("SELECT pg_is_in_recovery()", {}).text(0, 0) == "t")
            throw StoreError("the database is a read-only standby");
        if (query("SHOW transaction_read_only", {}).text(0, 0) == "on")
            throw StoreError("the database is read-only");
    }

    bool has_data_version() const override { return false; }
    void lazy_commits(bool on) override {
        exec(on ? "SET synchronous_commit TO off" : "RESET synchronous_commit");
    }
    const char* byte_order() const override { return " COLLATE \"C\""; }

    bool has_notify() const override { return true; }

  private:
    // After the server went away (a restart, a failover) the next call
    // connects again. A call that failed because the connection broke is
    // made once more on the new one when no transaction was open: the
    // store's statements outside a transaction only read, and BEGIN
    // changes nothing, so nothing can be done twice.
    template <typename Call> auto retrying(Call call) -> decltype(call()) {
        reconnect_if_lost();
        const bool idle = PQtransactionStatus(conn_) == PQTRANS_IDLE;
        try {
            return call();
        } catch (const StoreError&) {
            if (!idle || PQstatus(conn_) != CONNECTION_BAD)
                throw;
        }
        reconnect_if_lost();
        return call();
    }

    // Ends the pipeline: sends its sync, reads every answer, and throws the
    // first error among them; the rows of the last statement otherwise.
    SqlRows finish_pipeline() {
        if (!in_pipeline_)
            return {};
        std::string failure;
        Result last(nullptr);
        if (PQpipelineSync(conn_) != 1)
            failure = error();
        for (int empty = 0; failure.empty() || PQstatus(conn_) != CONNECTION_BAD;) {
            PGresult* r = PQgetResult(conn_);
            if (!r) {
                // One empty result ends each statement's answers.
                if (PQstatus(conn_) == CONNECTION_BAD || ++empty > pending_ + 1) {
                    if (failure.empty())
                        failure = error();
                    break;
                }
                continue;
            }
            empty = 0;
            const ExecStatusType status = PQresultStatus(r);
            if (status == PGRES_FATAL_ERROR && failure.empty())
                failure = trimmed(PQresultErrorMessage(r));
            if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
                last.reset(r);
            else
                PQclear(r);
            if (status == PGRES_PIPELINE_SYNC)
                break;
        }
        PQexitPipelineMode(conn_);
        in_pipeline_ = false;
        pending_ = 0;
        if (!failure.empty())
            throw StoreError(failure);
        return last.get() ? rows_of(last.get()) : SqlRows{};
    }

    void enter_pipeline() {
        if (in_pipeline_)
            return;
        if (PQenterPipelineMode(conn_) != 1)
            throw StoreError(error());
        in_pipeline_ = true;
    }

    void send_in_pipeline(const char* sql) {
        sent(PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0));
    }

    void send_prepared(const std::string& name, const std::vector<SqlValue>& values) {
        const Parameters p(values);
        sent(PQsendQueryPrepared(conn_, name.c_str(), p.count(), p.values(), nullptr, nullptr, 0));
    }

    void sent(int status) {
        if (status != 1) {
            const std::string message = error();
            finish_pipeline();
            throw StoreError(message);
        }
        ++pending_;
    }

    // Any other statement before the transaction's first query or write
    // (a SET, say; a ROLLBACK) sends the BEGIN on its own.
    void send_begin() {
        if (!begin_waiting_)
            return;
        retrying([&] {
            Result r(PQexec(conn_, "BEGIN"));
            check(r.get());
            return 0;
        });
        begin_waiting_ = false;
    }

    // BEGIN and the first query in one pipeline. Should the session be
    // lost, retrying() sends both again on the next one: nothing was
    // written yet. Once BEGIN has gone out, a failed query leaves a
    // transaction to roll back.
    SqlRows begin_and_run(const std::string& sql, const std::vector<SqlValue>& values) {
        const std::string& name = prepared(sql);
        enter_pipeline();
        send_in_pipeline("BEGIN");
        begin_waiting_ = false;
        send_prepared(name, values);
        return finish_pipeline();
    }

    SqlRows run(const std::string& sql, const std::vector<SqlValue>& values) {
        const std::string& name = prepared(sql);
        const Parameters p(values);
        Result r(PQexecPrepared(conn_, name.c_str(), p.count(), p.values(), nullptr, nullptr, 0));
        check(r.get());
        return rows_of(r.get());
    }

    static SqlRows rows_of(PGresult* r) {
        SqlRows out;
        const int rows = PQntuples(r), columns = PQnfields(r);
        for (int i = 0; i < rows; ++i) {
            auto& row = out.rows.emplace_back();
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(r, i, c))
                    row.emplace_back(std::nullopt);
                else
                    row.emplace_back(std::string(PQgetvalue(r, i, c),
                                                 static_cast<std::size_t>(PQgetlength(r, i, c))));
            }
        }
        const char* changed = PQcmdTuples(r);
        out.changed = changed && *changed ? std::stoll(changed) : 0;
        return out;
    }

    std::string error() const { return trimmed(PQerrorMessage(conn_)); }

    void check(PGresult* r) {
        const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return;
        const std::string message = r ? trimmed(PQresultErrorMessage(r)) : error();
        throw StoreError(message.empty() ? error() : message);
    }

    // Settings of every session: no notices on standard error ("relation
    // already exists, skipping"); a writer that waits more than 10 s for a
    // zone gives up rather than holding its clients forever; and every
    // statement planned for its values: a generic plan made before the
    // tables have statistics walks the records table for each lookup.
    void configure() {
        exec("SET client_min_messages = warning");
        exec("SET lock_timeout = '10s'");
        exec("SET plan_cache_mode = force_custom_plan");
    }

    // The statements prepared on the old session are gone with it.
    void reconnect_if_lost() {
        if (PQstatus(conn_) != CONNECTION_BAD)
            return;
        prepared_.clear();
        PQreset(conn_);
        if (PQstatus(conn_) != CONNECTION_OK)
            throw StoreError(error());
        configure();
    }

    const std::string& prepared(const std::string& sql) {
        auto found = prepared_.find(sql);
        if (found != prepared_.end())
            return found->second;
        std::string name = "tovix_" + std::to_string(prepared_.size() + 1);
        Result r(PQprepare(conn_, name.c_str(), dollar_placeholders(sql).c_str(), 0, nullptr));
        check(r.get());
        return prepared_.emplace(sql, std::move(name)).first->second;
    }

    PGconn* conn_;
    std::map<std::string, std::string> prepared_; // SQL text -> statement name
    bool in_pipeline_ = false;
    bool begin_waiting_ = false; // begin_write() was called, BEGIN not yet sent
    int pending_ = 0;            // statements sent in the pipeline
};

} // namespace

std::unique_ptr<Database> open_postgres(const std::string& uri) {
    return std::make_unique<PostgresDatabase>(uri);
}

} // namespace tovix::server
