// The disk's own rate of durable SQLite commits: one single-row INSERT per
// transaction, WAL with synchronous=FULL (as tovix-server opens its file),
// for a given number of seconds. What one sync per update could reach at
// best; bench/server_scale.sh sets the server's rate beside it.
//
//   bench_sqlite_commits FILE SECONDS  ->  "SQLITE commits=N duration_us=N"
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "bench_sqlite_commits: %s: %s\n", sql, message ? message : "?");
    sqlite3_free(message);
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_sqlite_commits FILE SECONDS\n");
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    sqlite3* db = nullptr;
    if (sqlite3_open(argv[1], &db) != SQLITE_OK) {
        std::fprintf(stderr, "bench_sqlite_commits: cannot open %s\n", argv[1]);
        return 1;
    }
    sqlite3_stmt* insert = nullptr;
    if (!exec(db, "PRAGMA journal_mode=WAL") || !exec(db, "PRAGMA synchronous=FULL") ||
        !exec(db, "CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, v TEXT NOT NULL)") ||
        sqlite3_prepare_v2(db, "INSERT INTO t (v) VALUES ('192.0.2.1')", -1, &insert, nullptr) !=
            SQLITE_OK) {
        sqlite3_close(db);
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    long commits = 0;
    Clock::time_point now = start;
    while (now < end) {
        // Autocommit: each step is its own transaction and its own sync.
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::fprintf(stderr, "bench_sqlite_commits: %s\n", sqlite3_errmsg(db));
            break;
        }
        sqlite3_reset(insert);
        ++commits;
        now = Clock::now();
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - start).count();
    std::printf("SQLITE commits=%ld duration_us=%lld\n", commits, static_cast<long long>(us));
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return commits > 0 ? 0 : 1;
}
