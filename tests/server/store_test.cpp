// The store on disk: a database written by the one-table layout is migrated
// when opened, and every change moves the zone's serial.
#include "cli.h"
#include "store.h"
#include "support.h"

#include <sqlite3.h>

#include <sstream>

namespace tovix::server::test {
namespace {

// A database as the one-table layout wrote it.
void write_old_database(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    const char* sql =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE records (host TEXT PRIMARY KEY NOT NULL, account TEXT NOT NULL,"
        " address TEXT NOT NULL, wildcard TEXT NOT NULL DEFAULT 'OFF',"
        " mx TEXT NOT NULL DEFAULT '', backmx TEXT NOT NULL DEFAULT 'NO',"
        " updated_at INTEGER NOT NULL);"
        "INSERT INTO records VALUES"
        " ('home.tovix.example', 'tovix', '192.0.2.5', 'ON', 'mail.example', 'YES', 1700000000),"
        " ('v6.tovix.example', 'tovix', '2001:db8::5', 'OFF', '', 'NO', 1700000001),"
        " ('outside.example', 'bob', '192.0.2.6', 'OFF', '', 'NO', 1700000002);";
    char* error = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, &error)) << error;
    sqlite3_free(error);
    sqlite3_close(db);
}

std::vector<std::string> tables(const std::string& path) {
    sqlite3* db = nullptr;
    std::vector<std::string> out;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
                           -1, &stmt, nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW)
            out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

const std::string kHome = "home.tovix.example";

Update ipv4_update(const std::string& host, const std::string& zone) {
    Update u;
    u.host = host;
    u.account = "tovix";
    u.zone = zone;
    u.ipv4 = "192.0.2.1";
    return u;
}

TEST(ServerStoreMigration, MovesEveryRowAndPublishesThoseInAZone) {
    TempDir dir;
    const std::string path = dir.file("old.db");
    write_old_database(path);
    std::uint32_t serial = 0;
    {
        Store store(path, Store::Mode::Existing, {{"tovix.example"}, 60});
        const std::vector<Host> hosts = store.hosts();
        ASSERT_EQ(3u, hosts.size());
        EXPECT_EQ(kHome, hosts[0].name);
        EXPECT_EQ("tovix", hosts[0].account);
        EXPECT_EQ("tovix.example", hosts[0].zone);
        EXPECT_EQ("192.0.2.5", hosts[0].ipv4);
        EXPECT_EQ("", hosts[0].ipv6);
        EXPECT_TRUE(hosts[0].wildcard);
        EXPECT_EQ("mail.example", hosts[0].mx);
        EXPECT_TRUE(hosts[0].backmx);
        EXPECT_FALSE(hosts[0].offline);
        EXPECT_EQ(1700000000, hosts[0].updated_at);
        // A host outside every served zone is kept, and published nowhere.
        EXPECT_EQ("outside.example", hosts[1].name);
        EXPECT_EQ("", hosts[1].zone);
        EXPECT_EQ("192.0.2.6", hosts[1].ipv4);
        EXPECT_TRUE(store.dns_records("outside.example").empty());
        EXPECT_EQ("v6.tovix.example", hosts[2].name);
        EXPECT_EQ("", hosts[2].ipv4);
        EXPECT_EQ("2001:db8::5", hosts[2].ipv6);

        EXPECT_EQ((std::vector<DnsRecord>{{kHome, "A", "192.0.2.5", 60, 0},
                                          {kHome, "MX", kHome, 60, 10},
                                          {kHome, "MX", "mail.example", 60, 20}}),
                  store.dns_records(kHome));
        EXPECT_EQ((std::vector<DnsRecord>{{"*." + kHome, "A", "192.0.2.5", 60, 0}}),
                  store.dns_records("*." + kHome));
        EXPECT_EQ((std::vector<DnsRecord>{{"v6.tovix.example", "AAAA", "2001:db8::5", 60, 0}}),
                  store.dns_records("v6.tovix.example"));
        serial = store.serial("tovix.example").value_or(0);
        EXPECT_GT(serial, 0u);
    }
    EXPECT_EQ((std::vector<std::string>{"account_hosts", "accounts", "comments", "cryptokeys",
                                        "domainmetadata", "domains", "hosts", "records",
                                        "supermasters", "tsigkeys"}),
              tables(path));
    // Opening again changes nothing.
    Store again(path, Store::Mode::Existing, {{"tovix.example"}, 60});
    EXPECT_EQ(std::optional<std::uint32_t>(serial), again.serial("tovix.example"));
    EXPECT_EQ(3u, again.hosts().size());
}

TEST(ServerStoreMigration, ListReadsAnOldDatabase) {
    TempDir dir;
    write_old_database(dir.file("old.db"));
    std::ostringstream out, err;
    EXPECT_EQ(0, list_records(dir.file("old.db"), out, err)) << err.str();
    EXPECT_NE(
        std::string::npos,
        out.str().find("\nhome.tovix.example\ttovix\t192.0.2.5\t-\tON\tmail.example\tYES\tNO\t"))
        << out.str();
    EXPECT_NE(std::string::npos, out.str().find("\nv6.tovix.example\ttovix\t-\t2001:db8::5\t"))
        << out.str();
    // The server opening it later publishes the hosts of its zones.
    Store store(dir.file("old.db"), Store::Mode::Existing, {{"tovix.example"}, 60});
    EXPECT_EQ(3u, store.dns_records(kHome).size());
}

TEST(ServerStore, SerialMovesOncePerChangingTransaction) {
    TempDir dir;
    Store store(dir.file("s.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    const std::uint32_t first = store.serial("tovix.example").value();
    Update u = ipv4_update(kHome, "tovix.example");
    store.apply({u, ipv4_update("other.tovix.example", "tovix.example")}, 1);
    EXPECT_EQ(first + 1, store.serial("tovix.example"));
    store.apply({u}, 2); // nothing new
    EXPECT_EQ(first + 1, store.serial("tovix.example"));
    // One family alone leaves the other published.
    u.ipv4.reset();
    u.ipv6 = "2001:db8::1";
    store.apply({u}, 3);
    EXPECT_EQ(first + 2, store.serial("tovix.example"));
    EXPECT_EQ((std::vector<DnsRecord>{{kHome, "A", "192.0.2.1", 60, 0},
                                      {kHome, "AAAA", "2001:db8::1", 60, 0}}),
              store.dns_records(kHome));
}

TEST(ServerStore, UpdateInAZoneNotServedIsRefusedWhole) {
    TempDir dir;
    Store store(dir.file("z.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    EXPECT_THROW(store.apply({ipv4_update(kHome, "tovix.example"),
                              ipv4_update("x.other.example", "other.example")},
                             1),
                 StoreError);
    EXPECT_FALSE(store.find(kHome));
    EXPECT_TRUE(store.dns_records(kHome).empty());
}

} // namespace
} // namespace tovix::server::test
