// What a server keeps of the accounts, and how a change made anywhere
// reaches it: the bounded caches (AccountCache), the change log read from
// the last number the server read (however many changes it missed, and
// after rows were pruned before it read them), pages of accounts and
// hosts, and on PostgreSQL a token made or revoked through another node.
#include "auth/authenticator.h"
#include "auth/tokens.h"
#include "base/workers.h"
#include "support.h"

#include <future>
#include <thread>

namespace tovix::server::test {
namespace {

// --- the cache of what was looked up ----------------------------------------

AccountPtr account(const std::string& name, std::vector<std::string> hosts) {
    return std::make_shared<const AccountRecord>(
        AccountRecord{name, "$argon2id$" + name, std::move(hosts), false});
}

TokenPtr grant(const std::string& digest, const std::string& host, const std::string& owner) {
    return std::make_shared<const TokenGrant>(
        TokenGrant{TokenRecord{host, 1, digest, "", 0, 0}, account(owner, {host})});
}

// What the cache holds, in a line: each of the names asked, and the owner
// of each host asked.
std::string held(AccountCache& cache, const std::vector<std::string>& names,
                 const std::vector<std::string>& digests, const std::vector<std::string>& hosts) {
    std::string out;
    for (const std::string& n : names)
        out += (cache.account(n) ? n : "-") + " ";
    for (const std::string& d : digests)
        out += (cache.token(d) ? d : "-") + " ";
    for (const std::string& h : hosts)
        out += cache.owner(h).value_or("-") + " ";
    return out;
}

TEST(AccountCache, IsBoundedAndForgetsWhatAChangeNames) {
    struct Row {
        const char* name;
        std::function<void(AccountCache&)> then;
        std::string want; // held(cache, {a, b, c}, {t1, t2}, {a.example, t.example})
    } rows[] = {
        {"AsPut", [](AccountCache&) {}, "- b c t1 t2 b t "},
        {"UsedStaysLeastUsedGoes",
         [](AccountCache& cache) {
             cache.account("b");
             cache.put(account("d", {"d.example"}), cache.epoch());
         },
         "- b - t1 t2 b t "},
        {"AccountForgotten", [](AccountCache& cache) { cache.forget_account("b"); },
         "- - c t1 t2 - t "},
        {"HostsTokensForgotten", [](AccountCache& cache) { cache.forget_host("t.example"); },
         "- b c - - b - "},
        {"AllForgotten", [](AccountCache& cache) { cache.forget_all(); }, "- - - - - - - "},
        {"ReadBeforeAForgetIsNotKept",
         [](AccountCache& cache) {
             const std::uint64_t before = cache.epoch();
             cache.forget_account("nobody");
             EXPECT_FALSE(cache.put(account("a", {"a.example"}), before));
             EXPECT_FALSE(cache.put(grant("t3", "t.example", "t"), before));
         },
         "- b c t1 t2 b t "},
        {"TokensBounded",
         [](AccountCache& cache) {
             cache.token("t1");
             cache.put(grant("t3", "u.example", "u"), cache.epoch());
         },
         "- b c t1 - b t "},
    };
    for (const Row& r : rows) {
        // Weight 4: an account weighs one and one per host. a (2) goes
        // when c comes.
        AccountCache cache(4, 2);
        ASSERT_TRUE(cache.put(account("a", {"a.example"}), cache.epoch()));
        ASSERT_TRUE(cache.put(account("b", {"b.example"}), cache.epoch()));
        ASSERT_TRUE(cache.put(account("c", {}), cache.epoch()));
        ASSERT_TRUE(cache.put(grant("t1", "t.example", "t"), cache.epoch()));
        ASSERT_TRUE(cache.put(grant("t2", "t.example", "t"), cache.epoch()));
        r.then(cache);
        EXPECT_EQ(r.want, held(cache, {"a", "b", "c"}, {"t1", "t2"}, {"b.example", "t.example"}))
            << r.name;
    }
}

// --- changes made elsewhere ---------------------------------------------------

// A server's Authenticator on a store of its own, and another connection
// to the same database: another node, or the command line. The
// Authenticator reads the change log only when told (refresh()), so each
// change is news it missed until then.
class AccountChangesOn : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (std::string(GetParam()) == "postgresql" && postgres_uri().empty())
            GTEST_SKIP() << "TOVIX_TEST_POSTGRES is not set";
    }

    void open(const std::string& file) {
        auth_.reset();
        mine_.reset();
        const std::string where =
            std::string(GetParam()) == "sqlite" ? dir_.file(file) : fresh_postgres();
        other_ = std::make_unique<Store>(where, Store::Mode::Create, StoreOptions{{"example"}, 60});
        ASSERT_TRUE(other_->add_account({"alice", hash_password("pw-a"), {"home.example"}}));
        ASSERT_TRUE(other_->add_account({"bob", hash_password("pw-b"), {"bob.example"}}));
        token_ = made("home.example");
        mine_ =
            std::make_unique<Store>(where, Store::Mode::Existing, StoreOptions{{"example"}, 60});
        LoginGuard::Policy open_door;
        open_door.source_burst = open_door.account_burst = 1000;
        auth_ = std::make_unique<Authenticator>(*mine_, workers_, open_door, std::chrono::hours(1));
    }

    std::string made(const std::string& host) {
        const std::string token = make_token();
        EXPECT_TRUE(other_->add_token(host, token_digest(token), "", 1).id);
        return token;
    }

    // The verdict in a line: "good ACCOUNT HOST...", or "bad".
    std::string check(const std::string& user, const std::string& password) {
        std::promise<Verdict> given;
        auth_->check("192.0.2.1", {user, password},
                     [&given](Verdict v) { given.set_value(std::move(v)); });
        const Verdict v = given.get_future().get();
        if (v.outcome != Verdict::Outcome::Good)
            return v.outcome == Verdict::Outcome::Bad ? "bad" : "not checked";
        std::string out = "good " + v.account->name;
        for (const std::string& h : v.account->hosts)
            out += " " + h;
        return out;
    }

    TempDir dir_;
    Workers workers_{2, 64};
    std::unique_ptr<Store> other_, mine_;
    std::unique_ptr<Authenticator> auth_;
    std::string token_; // of home.example
};

INSTANTIATE_TEST_SUITE_P(Databases, AccountChangesOn, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(AccountChangesOn, ReachTheServerAfterItReadsTheLog) {
    struct Row {
        const char* name;
        std::string user, password;         // checked before the change and after
        std::function<void(Store&)> change; // through the other connection
        std::string before, after;
    };
    std::string fresh; // a token made by the change
    const Row rows[] = {
        {"TokenRevoked", "home.example", "token",
         [](Store& s) { s.remove_token("home.example", 1); }, "good alice home.example", "bad"},
        {"PasswordChanged", "alice", "pw-a",
         [](Store& s) { s.set_password("alice", hash_password("pw-new")); },
         "good alice home.example", "bad"},
        {"AccountRemoved", "bob", "pw-b", [](Store& s) { s.remove_account("bob"); },
         "good bob bob.example", "bad"},
        {"HostsChanged", "alice", "pw-a",
         [](Store& s) {
             s.set_hosts("alice", {"home.example", "www.home.example"});
         },
         "good alice home.example", "good alice home.example www.home.example"},
        {"HostLeftWithItsTokens", "home.example", "token",
         [](Store& s) { s.set_hosts("alice", {}); }, "good alice home.example", "bad"},
        {"HostMovedToAnotherAccount", "home.example", "token",
         [](Store& s) {
             s.set_hosts("alice", {});
             s.set_hosts("bob", {"bob.example", "home.example"});
         },
         "good alice home.example", "bad"},
        // More changes than one read of the log takes, the revocation last.
        {"ManyChangesMissed", "home.example", "token",
         [](Store& s) {
             for (int i = 0; i < 2 * static_cast<int>(Store::kChangesPerRead); ++i)
                 s.set_admin("bob", i % 2 == 0);
             s.remove_token("home.example", 1);
         },
         "good alice home.example", "bad"},
        // Rows pruned before this server read them: it forgets everything.
        {"LogPrunedBeforeRead", "home.example", "token",
         [](Store& s) {
             s.remove_token("home.example", 1);
             s.prune_account_changes(std::time(nullptr) + 2 * Store::kChangesKept);
         },
         "good alice home.example", "bad"},
    };
    int n = 0;
    for (const Row& r : rows) {
        open("accounts" + std::to_string(n++) + ".db");
        const std::string password = r.password == "token" ? token_ : r.password;
        EXPECT_EQ(r.before, check(r.user, password)) << r.name;
        EXPECT_EQ(r.before, check(r.user, password)) << r.name << ", as remembered";
        r.change(*other_);
        auth_->refresh();
        EXPECT_EQ(r.after, check(r.user, password)) << r.name;
    }
    // A token made elsewhere works at once: it is looked up by its digest.
    open("made.db");
    EXPECT_EQ("bad", check("bob.example", (token_[0] == 'x' ? "y" : "x") + token_.substr(1)));
    EXPECT_EQ("good bob bob.example", check("bob.example", made("bob.example")));
}

TEST_P(AccountChangesOn, AccountsAndHostsArePagedInTheOrderOfTheirBytes) {
    open("pages.db");
    // Bytes: '-' < '.' < '0' < '_' < 'b'; a collation may order them otherwise.
    const std::vector<std::string> odd{"a-b", "a.b", "a0b", "a_b", "abb"};
    for (const std::string& name : odd) {
        ASSERT_TRUE(other_->add_account({name, "$argon2id$x", {name + ".example"}}));
        Update u; // a hosts row: `list` shows the hosts that were updated
        u.host = name + ".example";
        u.account = name;
        u.zone = "example";
        u.ipv4 = "192.0.2.1";
        other_->apply({u}, 1);
    }
    for (int i = 0; i < 150; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "u%03d", i);
        ASSERT_TRUE(other_->add_account({name, "$argon2id$x", {}}));
    }
    auto names = [](const auto& rows) {
        std::string out;
        for (const auto& r : rows)
            out += r.name + " ";
        return out;
    };
    EXPECT_EQ("a-b a.b a0b a_b abb alice ", names(mine_->accounts_page({"a", "", 100})));
    EXPECT_EQ("a_b abb alice ", names(mine_->accounts_page({"a", "a0b", 100})));
    EXPECT_EQ("a.b.example a0b.example ", names(mine_->hosts_page({"a", "a-b.example", 2})));
    EXPECT_EQ("", names(mine_->accounts_page({"ab", "abb", 100})));
    const std::vector<AccountRecord> first = mine_->accounts_page({"u", "", 1000});
    ASSERT_EQ(kMaxPage, first.size()) << "at most a page";
    EXPECT_EQ("u099", first.back().name);
    EXPECT_EQ(50u, mine_->accounts_page({"u", "u099", 100}).size());
    EXPECT_EQ("u100 u101 ", names(mine_->accounts_page({"u10", "u0", 2})));
    const std::vector<AccountRecord> own = mine_->accounts_page({"alice", "", 100});
    ASSERT_EQ(1u, own.size());
    EXPECT_EQ(std::vector<std::string>{"home.example"}, own[0].hosts);
}

// --- two nodes on PostgreSQL ------------------------------------------------------

// Node A reads the change log only on news from the other nodes (its own
// reading every hour): a token made or revoked through another node, also
// while A's listening connection is lost, works or stops on A.
TEST(ServerPostgresNodes, ATokenMadeOrRevokedThroughAnotherNodeIsSeen) {
    if (postgres_uri().empty())
        GTEST_SKIP() << "TOVIX_TEST_POSTGRES is not set";
    const std::string uri = fresh_postgres();
    Config config;
    config.accounts = test_accounts();
    config.zones = {"example"};
    config.db_path = uri;
    config.accounts_refresh = std::chrono::hours(1);
    auto a = start_server(config);
    Store other(uri, Store::Mode::Existing, StoreOptions{{"example"}, 60});

    auto get = [&](const std::string& host, const std::string& token) {
        httplib::Client client("127.0.0.1", a->port());
        httplib::Result r =
            client.Get("/nic/update?myip=192.0.2.1",
                       {{"Authorization", basic(host, token)}, {"User-Agent", "tovix-test/1.0"}});
        return r ? std::to_string(r->status) : "<no response>";
    };
    auto eventually = [&](const std::string& host, const std::string& token,
                          const std::string& want) {
        std::string got;
        for (int i = 0; i < 100 && (got = get(host, token)) != want; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return got;
    };
    auto made = [&](const std::string& host) {
        const std::string token = make_token();
        EXPECT_TRUE(other.add_token(host, token_digest(token), "", 1).id);
        return token;
    };

    const std::string home = made("home.example"), bob = made("bob.example");
    EXPECT_EQ("200", get("home.example", home)) << "made elsewhere, works at once";
    EXPECT_EQ("200", get("bob.example", bob));
    ASSERT_TRUE(other.remove_token("home.example", 1));
    EXPECT_EQ("401", eventually("home.example", home, "401")) << "revoked through another node";

    // The listening connection is lost: a revocation meanwhile is read from
    // the log once it listens again.
    connection(uri)->exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                          " WHERE pid <> pg_backend_pid() AND datname = current_database()"
                          " AND query LIKE 'LISTEN%'");
    ASSERT_TRUE(other.remove_token("bob.example", 1));
    EXPECT_EQ("401", eventually("bob.example", bob, "401"));
}

} // namespace
} // namespace tovix::server::test
