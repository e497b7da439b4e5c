// The store on disk: a database written by the one-table layout is migrated
// when opened, and every change moves the zone's serial.
#include "commands/commands.h"
#include "store/store.h"
#include "support.h"
#include "update/committer.h"

#include <sqlite3.h>

#include <future>
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
        const std::vector<Host> hosts = store.hosts_page({});
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
        EXPECT_TRUE(dns_records(path, "outside.example").empty());
        EXPECT_EQ("v6.tovix.example", hosts[2].name);
        EXPECT_EQ("", hosts[2].ipv4);
        EXPECT_EQ("2001:db8::5", hosts[2].ipv6);

        EXPECT_EQ((std::vector<DnsRecord>{{kHome, "A", "192.0.2.5", 60, 0},
                                          {kHome, "MX", kHome, 60, 10},
                                          {kHome, "MX", "mail.example", 60, 20}}),
                  dns_records(path, kHome));
        EXPECT_EQ((std::vector<DnsRecord>{{"*." + kHome, "A", "192.0.2.5", 60, 0}}),
                  dns_records(path, "*." + kHome));
        EXPECT_EQ((std::vector<DnsRecord>{{"v6.tovix.example", "AAAA", "2001:db8::5", 60, 0}}),
                  dns_records(path, "v6.tovix.example"));
        serial = zone_serial(path, "tovix.example").value_or(0);
        EXPECT_GT(serial, 0u);
    }
    EXPECT_EQ((std::set<std::string>{
                  "account_hosts", "accounts", "comments", "cryptokeys", "domainmetadata",
                  "domains", "hosts", "records", "supermasters", "tovix_account_changes",
                  "tovix_activity", "tovix_challenges", "tovix_follows", "tovix_history",
                  "tovix_meta", "tovix_prefixes", "tovix_sessions", "tovix_tokens", "tsigkeys"}),
              connection(path)->tables());
    // Opening again changes nothing.
    Store again(path, Store::Mode::Existing, {{"tovix.example"}, 60});
    EXPECT_EQ(std::optional<std::uint32_t>(serial), zone_serial(path, "tovix.example"));
    EXPECT_EQ(3u, again.hosts_page({}).size());
}

TEST(ServerStoreMigration, ListReadsAnOldDatabase) {
    TempDir dir;
    write_old_database(dir.file("old.db"));
    std::ostringstream out, err;
    EXPECT_EQ(0, list_hosts(dir.file("old.db"), out, err)) << err.str();
    EXPECT_NE(
        std::string::npos,
        out.str().find("\nhome.tovix.example\ttovix\t192.0.2.5\t-\tON\tmail.example\tYES\tNO\t"))
        << out.str();
    EXPECT_NE(std::string::npos, out.str().find("\nv6.tovix.example\ttovix\t-\t2001:db8::5\t"))
        << out.str();
    // The server opening it later publishes the hosts of its zones.
    Store store(dir.file("old.db"), Store::Mode::Existing, {{"tovix.example"}, 60});
    EXPECT_EQ(3u, dns_records(dir.file("old.db"), kHome).size());
}

// The tests that hold for either database: an SQLite file, and PostgreSQL
// when TOVIX_TEST_POSTGRES names one (the ctest server.postgres).
class ServerStoreOn : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (std::string(GetParam()) == "postgresql" && postgres_uri().empty())
            GTEST_SKIP() << "TOVIX_TEST_POSTGRES is not set";
    }
    std::string where(const std::string& file) {
        return db_ = std::string(GetParam()) == "sqlite" ? dir_.file(file) : fresh_postgres();
    }
    std::string db_; // where the test's store is

  private:
    TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Databases, ServerStoreOn, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(ServerStoreOn, SerialMovesOncePerChangingTransaction) {
    Store store(where("s.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome, "other.tovix.example"});
    const std::uint32_t first = zone_serial(db_, "tovix.example").value();
    Update u = ipv4_update(kHome, "tovix.example");
    store.apply({u, ipv4_update("other.tovix.example", "tovix.example")}, 1);
    EXPECT_EQ(first + 1, zone_serial(db_, "tovix.example"));
    store.apply({u}, 2); // nothing new
    EXPECT_EQ(first + 1, zone_serial(db_, "tovix.example"));
    // One family alone leaves the other published.
    u.ipv4.reset();
    u.ipv6 = "2001:db8::1";
    store.apply({u}, 3);
    EXPECT_EQ(first + 2, zone_serial(db_, "tovix.example"));
    EXPECT_EQ((std::vector<DnsRecord>{{kHome, "A", "192.0.2.1", 60, 0},
                                      {kHome, "AAAA", "2001:db8::1", 60, 0}}),
              dns_records(db_, kHome));
}

TEST_P(ServerStoreOn, UpdateInAZoneNotServedIsRefusedWhole) {
    Store store(where("z.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome, "x.other.example"});
    EXPECT_THROW(store.apply({ipv4_update(kHome, "tovix.example"),
                              ipv4_update("x.other.example", "other.example")},
                             1),
                 StoreError);
    EXPECT_FALSE(stored_host(db_, kHome));
    EXPECT_TRUE(dns_records(db_, kHome).empty());
    // The statements it left half-way are ready for the next update.
    EXPECT_EQ(std::vector<bool>{true},
              changed(store.apply({ipv4_update(kHome, "tovix.example")}, 2)));
    EXPECT_EQ(1u, dns_records(db_, kHome).size());
}

// Names no account may take, on both databases; a host that leaves its
// account takes its records along, with a new serial.
TEST_P(ServerStoreOn, AccountsCannotTakeNamesThatAnswerForOthers) {
    Store store(where("n.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "alice", {kHome, "deep.sub.tovix.example"});
    const struct {
        const char* host;
        bool allowed;
    } cases[] = {
        {"tovix.example", false},        // the zone's apex
        {"ns1.tovix.example", false},    // its name server
        {"home.tovix.example", false},   // alice's
        {"x.home.tovix.example", false}, // under alice's: her wildcard answers it
        {"sub.tovix.example", false},    // above alice's deep.sub
        {"other.tovix.example", true},   // nobody's
        {"ns1.other.example", true},     // no zone here
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        if (c.allowed)
            EXPECT_TRUE(store.add_account({std::string("b-") + c.host, "$argon2id$x", {c.host}}));
        else
            EXPECT_THROW(store.add_account({"bob", "$argon2id$x", {c.host}}), StoreError);
    }
    EXPECT_FALSE(store.account("bob"));
    EXPECT_TRUE(store.set_hosts("alice", {"x.home.tovix.example", kHome})) << "her own names";
}

TEST_P(ServerStoreOn, AHostLeavingItsAccountIsWithdrawn) {
    Store store(where("w.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome, "other.tovix.example"});
    Update u = ipv4_update(kHome, "tovix.example");
    u.wildcard = true;
    u.mx = "mail.example";
    store.apply({u, ipv4_update("other.tovix.example", "tovix.example")}, 1);
    const std::uint32_t serial = zone_serial(db_, "tovix.example").value();
    ASSERT_TRUE(store.set_hosts("tovix", {"other.tovix.example"}));
    EXPECT_TRUE(dns_records(db_, kHome).empty());
    EXPECT_TRUE(dns_records(db_, "*." + kHome).empty());
    EXPECT_FALSE(stored_host(db_, kHome));
    EXPECT_EQ(serial + 1, zone_serial(db_, "tovix.example"));
    EXPECT_FALSE(store.apply({u}, 2).at(0).owned) << "a late update of it changes nothing";
    EXPECT_TRUE(dns_records(db_, kHome).empty());
    ASSERT_TRUE(store.remove_account("tovix"));
    EXPECT_TRUE(dns_records(db_, "other.tovix.example").empty());
    EXPECT_TRUE(store.hosts_page({}).empty());
    EXPECT_EQ(serial + 2, zone_serial(db_, "tovix.example"));
}

// Who may follow whom; a router's prefix moves its followers in its own
// transaction, or refuses the request whole; a router that leaves lets them go.
// One batch may change a host more than once, beside hosts with and
// without a history: each change takes the next number, the oldest beyond
// the limit go, and the zone's serial moves once per batch.
TEST_P(ServerStoreOn, ABatchNumbersEachHostsHistoryInTurn) {
    Store store(where("h.db"), Store::Mode::Create, {{"tovix.example"}, 60, {}, 3});
    const std::string other = "other.tovix.example";
    own(store, "tovix", {kHome, other});
    auto at = [](const std::string& host, const char* ip) {
        Update u = ipv4_update(host, "tovix.example");
        u.ipv4 = ip;
        return u;
    };
    const std::uint32_t serial = zone_serial(db_, "tovix.example").value();
    EXPECT_EQ((std::vector<bool>{true, true, true}),
              changed(store.apply(
                  {at(kHome, "192.0.2.1"), at(other, "192.0.2.9"), at(kHome, "192.0.2.2")}, 1)));
    EXPECT_EQ((std::vector<bool>{true, true}),
              changed(store.apply({at(kHome, "192.0.2.3"), at(kHome, "192.0.2.4")}, 2)));
    EXPECT_EQ(2u, store.history(other, 10).size()) << "its account's entry, then new";
    EXPECT_EQ(serial + 2, zone_serial(db_, "tovix.example"));
    std::vector<std::string> seen;
    for (const HistoryEntry& e : store.history(kHome, 10))
        seen.push_back(e.what + " " + e.before + " -> " + e.after);
    EXPECT_EQ((std::vector<std::string>{"address A=192.0.2.3 -> A=192.0.2.4",
                                        "address A=192.0.2.2 -> A=192.0.2.3",
                                        "address A=192.0.2.1 -> A=192.0.2.2"}),
              seen);
    EXPECT_EQ("new", store.history(other, 1).at(0).what) << "after the account's own entry";
}

// Activity arrives as deltas, from this server or another one: last seen
// only moves forward, faults add up, and a host no account owns gets no row.
TEST_P(ServerStoreOn, ActivityDeltasAddUpAndSeenOnlyMovesForward) {
    Store store(where("a.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    const std::string other = "other.tovix.example", nobody = "nobody.tovix.example";
    own(store, "tovix", {kHome, other});
    const struct {
        std::string host;
        Activity delta;
    } writes[] = {
        {kHome, {200, "192.0.2.1", "new", 1, 0, 0, 150, {}}},
        {kHome, {100, "192.0.2.9", "old", 0, 2, 0, 120, {}}}, // another node's, older
        {other, {0, "", "", 0, 0, 3, 90, {}}},                // faults alone
        {nobody, {300, "192.0.2.3", "x", 1, 0, 0, 300, {}}},
    };
    for (const auto& w : writes) {
        std::map<std::string, Activity> deltas{{w.host, w.delta}};
        store.record_activity(deltas);
        EXPECT_TRUE(deltas.empty()) << w.host;
    }
    const std::map<std::string, Activity> a = store.activity({kHome, other, nobody});
    ASSERT_EQ(2u, a.size()) << "no row for a host nobody owns";
    EXPECT_EQ(200, a.at(kHome).seen_at);
    EXPECT_EQ("192.0.2.1 new", a.at(kHome).seen_caller + " " + a.at(kHome).seen_agent);
    EXPECT_EQ(3, a.at(kHome).badauth + a.at(kHome).throttled);
    EXPECT_EQ(150, a.at(kHome).fault_at);
    EXPECT_EQ(0, a.at(other).seen_at);
    EXPECT_EQ(3, a.at(other).malformed);
}

// More hosts and token uses than one statement or one transaction takes,
// written twice: the second time from another node, half of it older.
TEST_P(ServerStoreOn, ActivityOfManyHostsIsWrittenWhole) {
    Store store(where("many.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    const int n = 2 * static_cast<int>(Store::kActivityHosts) + 5;
    std::vector<std::string> hosts;
    for (int i = 0; i < n; ++i)
        hosts.push_back("h" + std::to_string(i) + ".tovix.example");
    own(store, "tovix", hosts);
    std::map<std::string, Activity> first, second;
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(1, store.add_token(hosts[i], "digest" + std::to_string(i), "", 1).id);
        Activity& a = first[hosts[i]];
        a.seen_at = 1000 + i;
        a.seen_caller = "192.0.2." + std::to_string(i % 250);
        a.badauth = i % 2;
        a.fault_at = a.badauth ? 900 : 0;
        a.token_uses[1] = 1000 + i;
        Activity& b = second[hosts[i]];
        b.seen_at = i % 2 ? 500 : 2000; // odd hosts: older than what is there
        b.seen_caller = "198.51.100.1";
        b.malformed = 1;
        b.fault_at = 950;
        b.token_uses[1] = b.seen_at;
    }
    store.record_activity(first);
    store.record_activity(second);
    EXPECT_TRUE(first.empty() && second.empty());
    const std::map<std::string, Activity> got = store.activity(hosts);
    ASSERT_EQ(static_cast<std::size_t>(n), got.size());
    int wrong = 0;
    for (int i = 0; i < n; ++i) {
        const Activity& a = got.at(hosts[i]);
        const bool older = i % 2;
        const std::int64_t seen = older ? 1000 + i : 2000;
        const std::string caller = older ? "192.0.2." + std::to_string(i % 250) : "198.51.100.1";
        const std::int64_t used = store.tokens(hosts[i]).at(0).last_used;
        if (a.seen_at == seen && a.seen_caller == caller && a.badauth == i % 2 &&
            a.malformed == 1 && a.fault_at == 950 && used == seen)
            continue;
        if (++wrong <= 3)
            ADD_FAILURE() << hosts[i] << ": seen " << a.seen_at << " by " << a.seen_caller
                          << ", badauth " << a.badauth << ", malformed " << a.malformed
                          << ", fault at " << a.fault_at << ", token used " << used;
    }
    EXPECT_EQ(0, wrong) << "hosts written wrong";
}

TEST_P(ServerStoreOn, FollowersMoveWithTheirRouter) {
    Store store(where("f.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    const std::string r = "r.tovix.example", cam = "cam.tovix.example", x = "x.tovix.example";
    own(store, "alice", {r, cam, x});
    own(store, "bob", {"bob.tovix.example"});
    const Origin o{"", "", false, "operator"};
    const struct {
        Follow follow;
        const char* account;
        FollowResult result;
    } cases[] = {
        {{cam, r, "::21e:c2ff:fe12:3456"}, "", FollowResult::Done},
        {{x, x, "::5"}, "", FollowResult::Itself},
        {{x, "bob.tovix.example", "::5"}, "", FollowResult::NotOwned},
        {{x, r, "::5"}, "bob", FollowResult::NotOwned},
        {{x, cam, "::5"}, "", FollowResult::RouterFollows},
        {{r, x, "::5"}, "alice", FollowResult::HostFollowed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.result, store.follow(c.follow, c.account, o, 1)) << c.follow.host;
    Update u = ipv4_update(r, "tovix.example");
    u.account = "alice";
    u.prefix = Ipv6Prefix{"2001:db8:aa:bb00::", 56};
    u.request = 7;
    const std::uint32_t serial = zone_serial(db_, "tovix.example").value();
    EXPECT_EQ(std::vector<bool>{true}, changed(store.apply({u}, 2)));
    EXPECT_EQ((std::vector<DnsRecord>{{cam, "AAAA", "2001:db8:aa:bb00:21e:c2ff:fe12:3456", 60, 0}}),
              dns_records(db_, cam));
    EXPECT_EQ(serial + 1, zone_serial(db_, "tovix.example"));
    // x joins at once behind the /56; then a /64 overlaps its suffix.
    EXPECT_EQ(FollowResult::Done, store.follow({x, r, "::1:0:0:0:5"}, "alice", o, 3));
    EXPECT_EQ("2001:db8:aa:bb01::5", stored_host(db_, x).value_or(Host{}).ipv6);
    Update v = ipv4_update("bob.tovix.example", "tovix.example");
    v.account = "bob";
    v.request = 8;
    u.request = 8;
    u.prefix = Ipv6Prefix{"2001:db8:cc::", 64};
    const std::vector<Applied> refused = store.apply({v, u, v}, 4);
    EXPECT_TRUE(refused[0].refused && refused[1].refused && refused[2].refused);
    EXPECT_FALSE(stored_host(db_, "bob.tovix.example")) << "the same request";
    EXPECT_EQ("2001:db8:aa:bb01::5", stored_host(db_, x).value_or(Host{}).ipv6);
    EXPECT_EQ(FollowResult::SuffixOverlaps, store.follow({cam, r, "0:0:0:100::5"}, "", o, 5));
    ASSERT_TRUE(store.set_hosts("alice", {cam, x}));
    EXPECT_EQ("2001:db8:aa:bb00:21e:c2ff:fe12:3456", stored_host(db_, cam).value_or(Host{}).ipv6);
    EXPECT_FALSE(store.follow_state(cam).follows);
    EXPECT_EQ("follow", store.history(cam, 1).at(0).what);
    EXPECT_FALSE(store.unfollow(x, "", o, 6));
}

// The host as first stored: 192.0.2.1, wildcard on, a mail exchanger.
Update first_update() {
    Update u = ipv4_update(kHome, "tovix.example");
    u.wildcard = true;
    u.mx = "mail.example";
    return u;
}

struct RepeatCase {
    const char* what;
    void (*change)(Update&);
    bool changes;
    bool republishes; // the zone's records change, and so its serial
};

TEST(ServerStore, AnUpdateThatChangesNothingWritesNothing) {
    const RepeatCase cases[] = {
        {"the same update again", [](Update&) {}, false, false},
        {"no address: keeps the stored one", [](Update& u) { u.ipv4.reset(); }, false, false},
        {"no settings: keeps the stored ones",
         [](Update& u) {
             u.wildcard.reset();
             u.mx.reset();
         },
         false, false},
        {"a new address", [](Update& u) { u.ipv4 = "192.0.2.2"; }, true, true},
        {"an IPv6 address besides", [](Update& u) { u.ipv6 = "2001:db8::1"; }, true, true},
        {"wildcard off", [](Update& u) { u.wildcard = false; }, true, true},
        {"another mail exchanger", [](Update& u) { u.mx = "mx.example"; }, true, true},
        {"offline", [](Update& u) { u.offline = true; }, true, true},
        {"an account that does not own the host", [](Update& u) { u.account = "other"; }, false,
         false},
    };
    for (const RepeatCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("n.db");
        Store store(path, Store::Mode::Create, {{"tovix.example"}, 60});
        own(store, "tovix", {kHome});
        store.apply({first_update()}, 100);
        const std::uint32_t serial = zone_serial(path, "tovix.example").value();
        const auto other = connection(path); // its data_version moves when others commit
        const std::int64_t version = other->query("PRAGMA data_version").integer(0, 0);

        Update u = first_update();
        c.change(u);
        EXPECT_EQ(std::vector<bool>{c.changes}, changed(store.apply({u}, 200)));
        EXPECT_EQ(c.changes, other->query("PRAGMA data_version").integer(0, 0) != version);
        EXPECT_EQ(c.changes ? 200 : 100, stored_host(path, kHome).value().updated_at);
        EXPECT_EQ(serial + (c.republishes ? 1 : 0), zone_serial(path, "tovix.example"));
    }
}

TEST_P(ServerStoreOn, AnUnchangedHostInAChangingBatchKeepsItsTime) {
    Store store(where("b.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome, "other.tovix.example"});
    const Update other = ipv4_update("other.tovix.example", "tovix.example");
    store.apply({first_update(), other}, 100);
    Update moved = other;
    moved.ipv4 = "192.0.2.9";
    EXPECT_EQ((std::vector<bool>{false, true}), changed(store.apply({first_update(), moved}, 200)));
    EXPECT_EQ(100, stored_host(db_, kHome).value().updated_at);
    EXPECT_EQ(200, stored_host(db_, "other.tovix.example").value().updated_at);
    // Back and forth within one batch: each step is a change.
    EXPECT_EQ((std::vector<bool>{true, true}), changed(store.apply({other, moved}, 300)));
    EXPECT_EQ("192.0.2.9", stored_host(db_, "other.tovix.example").value().ipv4);
}

// Repeats and changes in turn, each answered and written as what it is,
// however the batch before went.
TEST_P(ServerStoreOn, RepeatsAndChangesInTurnAreEachWhatTheyAre) {
    Store store(where("r.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome});
    Update moved = first_update();
    moved.ipv4 = "192.0.2.9";
    const struct {
        Update update;
        bool changes;
    } steps[] = {{first_update(), true}, {first_update(), false}, {first_update(), false},
                 {moved, true},          {moved, false},          {first_update(), true}};
    std::uint32_t serial = 0;
    std::int64_t now = 100, updated = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(std::to_string(now) + ": " + *step.update.ipv4);
        EXPECT_EQ(std::vector<bool>{step.changes}, changed(store.apply({step.update}, now)));
        const Host h = stored_host(db_, kHome).value();
        EXPECT_EQ(*step.update.ipv4, h.ipv4);
        updated = step.changes ? now : updated;
        EXPECT_EQ(updated, h.updated_at);
        const std::uint32_t now_serial = zone_serial(db_, "tovix.example").value();
        if (serial) {
            EXPECT_EQ(serial + (step.changes ? 1 : 0), now_serial);
        }
        serial = now_serial;
        now += 100;
    }
}

// A client's User-Agent may hold any bytes: what is not UTF-8 is written as
// '?' (PostgreSQL refuses such bytes, and with them the whole batch or the
// whole write of activity), and a long one is cut between characters.
TEST_P(ServerStoreOn, AnyUserAgentIsWrittenAsUtf8) {
    Store store(where("ua.db"), Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome});
    const std::string agent = "router \xff\xfe fw " + std::string(250, 'x') + "\u00e9";
    const std::string want = "router ?? fw " + std::string(242, 'x');
    Update u = first_update();
    u.origin = {"192.0.2.9", agent, false, "tovix"};
    EXPECT_EQ(std::vector<bool>{true}, changed(store.apply({u}, 100)));
    ASSERT_EQ(1u, store.add_token(kHome, "digest", "ma\xe9tre", 100).id);
    Activity a;
    a.seen_at = 100;
    a.seen_agent = agent;
    a.token_uses[1] = 100;
    std::map<std::string, Activity> deltas{{kHome, a}};
    store.record_activity(deltas);
    EXPECT_TRUE(deltas.empty()) << "written";
    EXPECT_EQ(want, store.history(kHome, 1).at(0).origin.user_agent);
    EXPECT_EQ(want, store.activity({kHome}).at(kHome).seen_agent);
    EXPECT_EQ("ma?tre", store.tokens(kHome).at(0).label);
    EXPECT_EQ(100, store.tokens(kHome).at(0).last_used);
}

// PowerDNS's tables come from PowerDNS's own file: without it, nothing opens.
TEST(ServerStore, AMissingPowerDnsSchemaIsAClearError) {
    TempDir dir;
    try {
        Store store(dir.file("s.db"), Store::Mode::Create,
                    {{"tovix.example"}, 60, "/nonexistent.sql"});
        ADD_FAILURE() << "a store opened without PowerDNS's schema";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("/nonexistent.sql")) << e.what();
    }
    std::ostringstream out, err;
    EXPECT_EQ(1, list_hosts(dir.file("s.db"), out, err, "/nonexistent.sql"))
        << "no tables were made";
}

TEST(ServerStore, AnUnchangedUpdateRestoresRecordsRemovedBehindItsBack) {
    TempDir dir;
    const std::string path = dir.file("r.db");
    Store store(path, Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome});
    store.apply({first_update()}, 100);
    const std::vector<DnsRecord> published = dns_records(path, kHome);
    const auto other = connection(path);
    other->exec("DELETE FROM records WHERE type = 'A'");
    EXPECT_EQ(std::vector<bool>{false}, changed(store.apply({first_update()}, 200)));
    EXPECT_EQ(published, dns_records(path, kHome));
}

TEST(ServerCommitter, AnswersNochgWithoutWriting) {
    TempDir dir;
    const std::string path = dir.file("c.db");
    Store store(path, Store::Mode::Create, {{"tovix.example"}, 60});
    own(store, "tovix", {kHome});
    Committer committer(store);
    auto submit = [&](const Update& u) {
        auto answer = std::make_shared<std::promise<std::vector<bool>>>();
        EXPECT_TRUE(committer.submit({u}, [answer](std::optional<std::vector<Applied>> applied) {
            answer->set_value(applied ? changed(*applied) : std::vector<bool>{});
        }));
        return answer->get_future().get();
    };
    EXPECT_EQ(std::vector<bool>{true}, submit(first_update()));
    const auto other = connection(path);
    const std::int64_t version = other->query("PRAGMA data_version").integer(0, 0);
    EXPECT_EQ(std::vector<bool>{false}, submit(first_update()));
    EXPECT_EQ(version, other->query("PRAGMA data_version").integer(0, 0));
    Update moved = first_update();
    moved.ipv4 = "192.0.2.3";
    EXPECT_EQ(std::vector<bool>{true}, submit(moved));
    EXPECT_NE(version, other->query("PRAGMA data_version").integer(0, 0));
}

} // namespace
} // namespace tovix::server::test
