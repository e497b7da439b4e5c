// tovix-server over HTTP: a server on a free loopback port with a scratch
// database, driven with httplib::Client.
#include "auth/passwords.h"
#include "support.h"

#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

namespace tovix::server::test {
namespace {

const std::string kAlice = basic("alice", "s3cret:pw");
const std::string kAgent = "tovix-test/1.0";
const std::string kUpdate = "/nic/update?hostname=";

class UpdateServerTest : public ::testing::Test {
  protected:
    void SetUp() override { restart(test_accounts()); }

    // Accounts are written only to a database that has none yet: another
    // set of accounts needs another file.
    void restart(std::vector<SeedAccount> accounts, std::vector<std::string> zones = {"example"},
                 const std::string& db = "records.db",
                 const std::function<void(Config&)>& tune = {}) {
        server_.reset();
        log_ = std::make_unique<KeptLog>();
        Config config;
        config.accounts = std::move(accounts);
        config.zones = std::move(zones);
        config.db_path = db_ = dir_.file(db);
        config.log_path = dir_.file("requests.log");
        if (tune)
            tune(config);
        server_ = start_server(std::move(config), log_.get());
    }

    httplib::Result get(const std::string& target, const std::string& auth = kAlice,
                        const std::optional<std::string>& agent = kAgent) {
        httplib::Client client("127.0.0.1", server_->port());
        httplib::Headers headers;
        if (!auth.empty())
            headers.emplace("Authorization", auth);
        if (agent)
            headers.emplace("User-Agent", *agent);
        return client.Get(target, headers);
    }

    // Body of a 200 answer, or a description of what came instead.
    std::string answer(const std::string& target, const std::string& auth = kAlice) {
        httplib::Result res = get(target, auth);
        if (!res)
            return "<no response>";
        if (res->status != 200)
            return "<status " + std::to_string(res->status) + ">";
        return res->body;
    }

    TempDir dir_;
    std::string db_;               // the server's database
    std::unique_ptr<KeptLog> log_; // before server_, which tells it its requests
    std::unique_ptr<UpdateServer> server_;
};

// --- one answer per request -------------------------------------------------

struct AnswerCase {
    const char* name;
    std::string target;
    std::string auth;
    std::optional<std::string> agent;
    int status;
    std::string body;
};

class AnswerTest : public UpdateServerTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, Answers) {
    const AnswerCase& c = GetParam();
    httplib::Result res = get(c.target, c.auth, c.agent);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(c.status, res->status);
    EXPECT_EQ(c.body, res->body);
    if (c.status == 401) {
        EXPECT_EQ("Basic realm=\"tovix-server\"", res->get_header_value("WWW-Authenticate"));
    }
    EXPECT_EQ(0u, res->get_header_value("Content-Type").rfind("text/plain", 0));
}

const std::string kHome = kUpdate + "home.example";
const std::string k64 = std::string(64, 'a');

INSTANTIATE_TEST_SUITE_P(
    Server, AnswerTest,
    ::testing::Values(
        AnswerCase{"NoCredentials", kHome, "", kAgent, 401, "badauth"},
        AnswerCase{"UnknownUser", kHome, basic("carol", "s3cret:pw"), kAgent, 401, "badauth"},
        AnswerCase{"WrongPassword", kHome, basic("alice", "s3cret"), kAgent, 401, "badauth"},
        AnswerCase{"NotBase64", kHome, "Basic !!!!", kAgent, 401, "badauth"},
        AnswerCase{"NoColon", kHome, "Basic " + base64("alice"), kAgent, 401, "badauth"},
        AnswerCase{"OtherScheme", kHome, "Bearer abc", kAgent, 401, "badauth"},
        AnswerCase{"EmptyAgent", kHome, kAlice, "", 200, "badagent"},
        AnswerCase{"BlankAgent", kHome, kAlice, "  ", 200, "badagent"},
        AnswerCase{"UnknownSystem", kHome + "&system=dyndns2", kAlice, kAgent, 200, "badsys"},
        AnswerCase{"StatdnsSystem", kHome + "&system=statdns&myip=192.0.2.1", kAlice, kAgent, 200,
                   "good 192.0.2.1"},
        AnswerCase{"NoHostname", "/nic/update?myip=192.0.2.1", kAlice, kAgent, 200, "notfqdn"},
        AnswerCase{"SingleLabel", kUpdate + "home", kAlice, kAgent, 200, "notfqdn"},
        AnswerCase{"EmptyLabel", kUpdate + "home..example", kAlice, kAgent, 200, "notfqdn"},
        AnswerCase{"LongLabel", kUpdate + k64 + ".example", kAlice, kAgent, 200, "notfqdn"},
        AnswerCase{"UnknownHost", kUpdate + "nobody.example", kAlice, kAgent, 200, "nohost"},
        AnswerCase{"OtherAccountsHost", kUpdate + "bob.example", kAlice, kAgent, 200, "nohost"},
        AnswerCase{"MixedCaseHost", kUpdate + "HOME.Example&myip=192.0.2.9", kAlice, kAgent, 200,
                   "good 192.0.2.9"},
        AnswerCase{"Ipv6Myip", kHome + "&myip=2001:DB8:0:0::1", kAlice, kAgent, 200,
                   "good 2001:db8::1"},
        AnswerCase{"BadMyipUsesCaller", kHome + "&myip=300.1.2.3", kAlice, kAgent, 200,
                   "good 127.0.0.1"},
        AnswerCase{"DualStackMyip", kHome + "&myip=2001:db8::2,192.0.2.2", kAlice, kAgent, 200,
                   "good 192.0.2.2,2001:db8::2"},
        AnswerCase{"BroadcastMyipUsesCaller", kHome + "&myip=255.255.255.255", kAlice, kAgent, 200,
                   "good 127.0.0.1"},
        AnswerCase{"InZoneButUnowned", kUpdate + "other.home.example", kAlice, kAgent, 200,
                   "nohost"},
        AnswerCase{"CallerAddress", kHome, kAlice, kAgent, 200, "good 127.0.0.1"},
        AnswerCase{"DyndnsPath", "/dyndns/update?hostname=home.example&myip=192.0.2.2", kAlice,
                   kAgent, 200, "good 192.0.2.2"},
        AnswerCase{"MultipleHosts",
                   kUpdate + "home.example,bob.example,nobody.example,bad,www.home.example" +
                       "&myip=192.0.2.3",
                   kAlice, kAgent, 200, "good 192.0.2.3\nnohost\nnohost\nnotfqdn\ngood 192.0.2.3"},
        AnswerCase{"TooManyHosts",
                   kUpdate +
                       [] {
                           std::string list = "home.example";
                           for (int i = 0; i < 20; ++i)
                               list += ",home.example";
                           return list;
                       }(),
                   kAlice, kAgent, 200, "numhost"},
        AnswerCase{"BadMxIsRefused", kHome + "&myip=192.0.2.2&mx=no_host", kAlice, kAgent, 200,
                   "dnserr"},
        AnswerCase{"LinkLocalMyipUsesCaller", kHome + "&myip=fe80::1", kAlice, kAgent, 200,
                   "good 127.0.0.1"}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

// A path that is no route's is the web page's: a page that says so, in the
// reader's language, with a way back.
TEST_F(UpdateServerTest, OtherPathIsAPage) {
    httplib::Result res = get("/nic/updates?hostname=home.example", kAlice, kAgent);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(404, res->status);
    EXPECT_EQ(0u, res->get_header_value("Content-Type").rfind("text/html", 0));
    EXPECT_NE(std::string::npos, res->body.find("<html lang=\"en\">"));
    EXPECT_NE(std::string::npos, res->body.find("There is no such page here."));
    EXPECT_NE(std::string::npos, res->body.find("<a href=\"/\" id=\"back\">"));
}

// --- protocol behaviour ------------------------------------------------------

TEST_F(UpdateServerTest, ChallengeThenCredentialsOnOneConnection) {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_keep_alive(true);
    const std::string target = kHome + "&myip=192.0.2.4";

    httplib::Result challenge = client.Get(target, {{"User-Agent", kAgent}});
    ASSERT_TRUE(challenge);
    EXPECT_EQ(401, challenge->status);
    EXPECT_EQ("badauth", challenge->body);
    EXPECT_EQ("Basic realm=\"tovix-server\"", challenge->get_header_value("WWW-Authenticate"));
    EXPECT_NE("close", challenge->get_header_value("Connection"));

    httplib::Result res = client.Get(target, {{"User-Agent", kAgent}, {"Authorization", kAlice}});
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status);
    EXPECT_EQ("good 192.0.2.4", res->body);

    const std::vector<RequestEntry> seen = log_->entries();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("", seen[0].user);
    EXPECT_EQ(401, seen[0].status);
    EXPECT_EQ("alice", seen[1].user);
    EXPECT_EQ(seen[0].remote_port, seen[1].remote_port) << "second request used a new connection";
}

TEST_F(UpdateServerTest, GoodThenNochgThenGoodOnChange) {
    EXPECT_EQ("good 192.0.2.5", answer(kHome + "&myip=192.0.2.5"));
    EXPECT_EQ("nochg 192.0.2.5", answer(kHome + "&myip=192.0.2.5"));
    EXPECT_EQ("good 192.0.2.6", answer(kHome + "&myip=192.0.2.6"));
    EXPECT_EQ("192.0.2.6", stored_host(db_, "home.example").value().ipv4);
}

TEST_F(UpdateServerTest, MissingUserAgentIsBadagent) {
    const std::string reply = raw_exchange(
        server_->port(), "GET " + kHome + " HTTP/1.1\r\nHost: x\r\nAuthorization: " + kAlice +
                             "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(0u, reply.rfind("HTTP/1.1 200", 0)) << reply;
    EXPECT_EQ("badagent", reply.substr(reply.size() - 8));
    EXPECT_FALSE(stored_host(db_, "home.example"));
}

TEST_F(UpdateServerTest, OtherMethodsAreNotAllowed) {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_keep_alive(true);
    httplib::Headers headers{{"Authorization", kAlice}, {"User-Agent", kAgent}};
    std::vector<httplib::Result> results;
    results.push_back(client.Post(kHome, headers, "hostname=home.example", "text/plain"));
    results.push_back(client.Put(kHome, headers, "", "text/plain"));
    results.push_back(client.Delete(kHome, headers));
    results.push_back(client.Head(kHome, headers));
    results.push_back(client.Options(kHome, headers));
    for (const httplib::Result& res : results) {
        ASSERT_TRUE(res);
        EXPECT_EQ(405, res->status);
        EXPECT_EQ("GET", res->get_header_value("Allow"));
    }
    // The POST body was consumed: the connection is still usable.
    httplib::Result res = client.Get(kHome + "&myip=192.0.2.7", headers);
    ASSERT_TRUE(res);
    EXPECT_EQ("good 192.0.2.7", res->body);
    EXPECT_EQ(6u, log_->entries().size());
}

TEST_F(UpdateServerTest, OversizedBodyAndUriAreRefused) {
    httplib::Client client("127.0.0.1", server_->port());
    httplib::Result big = client.Post(kHome, std::string(100000, 'x'), "text/plain");
    ASSERT_TRUE(big);
    EXPECT_EQ(413, big->status);
    httplib::Result longUri = client.Get("/nic/update?hostname=" + std::string(9000, 'a'));
    ASSERT_TRUE(longUri);
    EXPECT_EQ(414, longUri->status);
}

TEST_F(UpdateServerTest, SettingsAreStoredAndNochgKeepsThem) {
    EXPECT_EQ("good 192.0.2.8",
              answer(kHome + "&myip=192.0.2.8&wildcard=ON&mx=Mail.Example&backmx=YES"));
    Host h = stored_host(db_, "home.example").value();
    EXPECT_EQ("alice", h.account);
    EXPECT_EQ("example", h.zone);
    EXPECT_TRUE(h.wildcard);
    EXPECT_EQ("mail.example", h.mx);
    EXPECT_TRUE(h.backmx);

    EXPECT_EQ("nochg 192.0.2.8",
              answer(kHome + "&myip=192.0.2.8&wildcard=NOCHG&mx=NOCHG&backmx=NOCHG"));
    h = stored_host(db_, "home.example").value();
    EXPECT_TRUE(h.wildcard);
    EXPECT_EQ("mail.example", h.mx);
    EXPECT_TRUE(h.backmx);

    // A changed setting is a change, even with the same address.
    EXPECT_EQ("good 192.0.2.8", answer(kHome + "&myip=192.0.2.8&wildcard=off&mx=&backmx=no"));
    h = stored_host(db_, "home.example").value();
    EXPECT_FALSE(h.wildcard);
    EXPECT_EQ("", h.mx);
    EXPECT_FALSE(h.backmx);
}

TEST_F(UpdateServerTest, EachFamilyIsKeptApart) {
    EXPECT_EQ("good 192.0.2.20", answer(kHome + "&myip=192.0.2.20"));
    EXPECT_EQ("good 2001:db8::20", answer(kHome + "&myip=2001:db8::20"));
    Host h = stored_host(db_, "home.example").value();
    EXPECT_EQ("192.0.2.20", h.ipv4);
    EXPECT_EQ("2001:db8::20", h.ipv6);
    EXPECT_EQ("nochg 192.0.2.20,2001:db8::20", answer(kHome + "&myip=192.0.2.20,2001:db8::20"));
}

TEST_F(UpdateServerTest, OfflineWithdrawsTheAddressesUntilTheNextUpdate) {
    const auto addresses = [this] {
        std::string types;
        for (const DnsRecord& r : dns_records(db_, "home.example"))
            types += r.type + " ";
        return types;
    };
    EXPECT_EQ("good 192.0.2.21", answer(kHome + "&myip=192.0.2.21"));
    EXPECT_EQ("A ", addresses());
    EXPECT_EQ("good 192.0.2.21", answer(kHome + "&offline=YES")); // keeps the address
    EXPECT_EQ("", addresses());
    EXPECT_TRUE(stored_host(db_, "home.example").value().offline);
    EXPECT_EQ("192.0.2.21", stored_host(db_, "home.example").value().ipv4);
    EXPECT_EQ("good 192.0.2.21", answer(kHome + "&myip=192.0.2.21"));
    EXPECT_EQ("A ", addresses());
}

TEST_F(UpdateServerTest, UpdatesSurviveARestart) {
    EXPECT_EQ("good 192.0.2.10", answer(kHome + "&myip=192.0.2.10"));
    server_.reset();
    std::optional<Host> h = stored_host(db_, "home.example");
    ASSERT_TRUE(h);
    EXPECT_EQ("192.0.2.10", h->ipv4);
    restart(test_accounts());
    EXPECT_EQ("nochg 192.0.2.10", answer(kHome + "&myip=192.0.2.10"));
}

TEST_F(UpdateServerTest, DefaultAccountOwnsTheClientsDefaultHost) {
    restart({}, {}, "default.db");
    const std::string target = "/nic/update?hostname=home.tovix.example&myip=192.0.2.11";
    EXPECT_EQ("<status 401>", answer(target));
    EXPECT_EQ("good 192.0.2.11", answer(target, basic("tovix", "KoReL52")));
    EXPECT_EQ("tovix", stored_host(db_, "home.tovix.example").value().account);
}

TEST_F(UpdateServerTest, NoBuiltInAccountBeyondLoopback) {
    Config config;
    config.db_path = dir_.file("public.db");
    config.log_to_stderr = false;
    UpdateServer{config};
    EXPECT_TRUE(Store(config.db_path, Store::Mode::Existing).accounts_page({}).empty());
    config.loopback_only = true;
    config.zones = {"other.example"};
    UpdateServer{config};
    EXPECT_TRUE(Store(config.db_path, Store::Mode::Existing).accounts_page({}).empty())
        << "nor for another zone";
}

// Answers are made while the accounts change under them, many times a
// second: each keeps the snapshot it was authenticated against.
TEST_F(UpdateServerTest, AnswersKeepTheAccountsTheyWereCheckedAgainst) {
    restart(test_accounts(), {"example"}, "churn.db", [](Config& config) {
        config.accounts_refresh = std::chrono::milliseconds(1);
        config.guard.source_burst = 1000;
        config.guard.account_burst = 1000;
    });
    std::atomic<bool> done{false};
    std::thread churn([&] {
        Store other(dir_.file("churn.db"), Store::Mode::Existing);
        for (int i = 0; !done; ++i) {
            const std::string name = "churn" + std::to_string(i % 2);
            if (!other.add_account({name, "$argon2id$x", {name + ".example"}}))
                other.remove_account(name);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                // A password never seen before is checked on a worker thread.
                const std::string auth =
                    basic(t % 2 ? "alice" : "bob", "wrong" + std::to_string(i));
                answer(kHome + "&myip=192.0.2.1", auth);
                const std::string got =
                    answer(kUpdate + (t % 2 ? "home.example" : "bob.example") + "&myip=192.0.2." +
                               std::to_string(t * 10 + i + 1),
                           t % 2 ? kAlice : basic("bob", "hunter2"));
                const bool ok = got.rfind("good", 0) == 0 || got.rfind("nochg", 0) == 0;
                EXPECT_TRUE(ok) << got;
                good += ok;
            }
        });
    }
    for (std::thread& c : clients)
        c.join();
    done = true;
    churn.join();
    EXPECT_EQ(40, good);
}

TEST_F(UpdateServerTest, HostClaimedTwiceIsRejected) {
    Config config;
    config.db_path = dir_.file("other.db");
    config.accounts = {{"a", "x", {"same.example"}}, {"b", "y", {"same.example"}}};
    EXPECT_THROW(UpdateServer{config}, std::invalid_argument);
}

TEST_F(UpdateServerTest, AccountChangesReachARunningServer) {
    // Another connection to the file, as `tovix-server account ...` is.
    Store other(dir_.file("records.db"), Store::Mode::Existing);
    ASSERT_TRUE(other.add_account({"carol", hash_password("c4rol"), {"carol.example"}}));
    const std::string target = kUpdate + "carol.example&myip=192.0.2.30";
    auto eventually = [&](const std::string& auth, const std::string& want) {
        std::string got;
        for (int i = 0; i < 50 && got != want; ++i) {
            got = answer(target, auth);
            if (got != want)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return got;
    };
    EXPECT_EQ("good 192.0.2.30", eventually(basic("carol", "c4rol"), "good 192.0.2.30"));
    ASSERT_TRUE(other.set_password("carol", hash_password("n3w")));
    EXPECT_EQ("<status 401>", eventually(basic("carol", "c4rol"), "<status 401>"))
        << "a remembered password goes with its hash";
    EXPECT_EQ("nochg 192.0.2.30", eventually(basic("carol", "n3w"), "nochg 192.0.2.30"));
    ASSERT_TRUE(other.set_hosts("carol", {}));
    EXPECT_EQ("nohost", eventually(basic("carol", "n3w"), "nohost"));
    ASSERT_TRUE(other.remove_account("carol"));
    EXPECT_EQ("<status 401>", eventually(basic("carol", "n3w"), "<status 401>"));
}

TEST_F(UpdateServerTest, RequestsGoOnWhileAnUpdateWaitsForTheDatabase) {
    EXPECT_EQ("nohost", answer(kUpdate + "nobody.example")); // the password checked
    // Another process holds the write lock: the next update waits for it
    // in the committer (five seconds, then 911), and the store with it.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(dir_.file("records.db").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    std::thread update([&] { answer(kHome + "&myip=192.0.2.40"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the accounts are due
    // One request asks the database whether the accounts changed, and waits;
    // the others answer from the accounts as last read.
    int answered = 0;
    for (int i = 0; i < 2; ++i) {
        httplib::Client client("127.0.0.1", server_->port());
        client.set_read_timeout(2, 0);
        httplib::Result res = client.Get(kUpdate + "nobody.example",
                                         {{"Authorization", kAlice}, {"User-Agent", kAgent}});
        answered += res && res->body == "nohost";
    }
    EXPECT_GE(answered, 1);
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    update.join();
}

// Throttled, checked and cached answers, in order, from a guesser's source
// and from elsewhere. An account made behind the server's back is found by
// reading it again, not by the snapshot (which is never refreshed here).
TEST_F(UpdateServerTest, GuessingIsSlowedForTheGuesserOnly) {
    restart(test_accounts(), {"example"}, "guard.db", [](Config& config) {
        config.guard.source_burst = 3;
        config.guard.source_per_second = 0.01;
        config.throttled_delay_ms = 700;
        config.accounts_refresh = std::chrono::hours(1);
        config.proxies.add("127.0.0.1"); // the test stands in for a proxy
    });
    const struct {
        const char* what;
        std::string source, auth;
        int status;
        std::string body;
        bool delayed; // answered after the throttle delay, with Retry-After
    } steps[] = {
        {"the owner, checked", "198.51.100.5", kAlice, 200, "good 192.0.2.9", false},
        {"a guess", "192.0.2.66", basic("alice", "wrong1"), 401, "badauth", false},
        {"a guess", "192.0.2.66", basic("alice", "wrong2"), 401, "badauth", false},
        {"an unknown name", "192.0.2.66", basic("mallory", "x"), 401, "badauth", false},
        {"out of tokens: not checked", "192.0.2.66", basic("alice", "wrong3"), 503, "911", true},
        {"nor is an unknown name", "192.0.2.66", basic("mallory", "y"), 503, "911", true},
        {"the right password, verified before: before the guard", "192.0.2.66", kAlice, 200,
         "nochg 192.0.2.9", false},
        {"an account made a moment ago on another node", "198.51.100.6", basic("carol", "c4rol"),
         200, "good 192.0.2.9", false},
    };
    Store(dir_.file("guard.db"), Store::Mode::Existing)
        .add_account({"carol", hash_password("c4rol"), {"carol.example"}});
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        httplib::Client client("127.0.0.1", server_->port());
        const auto started = std::chrono::steady_clock::now();
        const std::string host = step.auth == basic("carol", "c4rol") ? "carol" : "home";
        httplib::Result res = client.Get(kUpdate + host + ".example&myip=192.0.2.9",
                                         {{"Authorization", step.auth},
                                          {"User-Agent", kAgent},
                                          {"X-Forwarded-For", step.source}});
        ASSERT_TRUE(res);
        EXPECT_EQ(step.status, res->status);
        EXPECT_EQ(step.body, res->body);
        EXPECT_EQ(step.delayed, res->has_header("Retry-After"));
        if (step.delayed) {
            EXPECT_GE(std::stoi(res->get_header_value("Retry-After")), 1);
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(650));
        }
    }
    const std::vector<RequestEntry> log = log_->entries();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("198.51.100.6", log.back().remote_addr) << "the forwarded caller is logged";
}

TEST_F(UpdateServerTest, BusyPortCannotBeBound) {
    Config config;
    config.db_path = dir_.file("other.db");
    UpdateServer second(config);
    std::string error;
    EXPECT_FALSE(second.listen({"127.0.0.1", server_->port(), "", ""}, &error));
    EXPECT_FALSE(error.empty());
}

// --- what the server saw -----------------------------------------------------

TEST_F(UpdateServerTest, LogNeverShowsThePassword) {
    EXPECT_EQ("good 192.0.2.12", answer(kHome + "&myip=192.0.2.12&password=s3cret:pw"));
    EXPECT_EQ("<status 401>", answer(kHome, basic("alice", "wrong-s3cret")));
    server_.reset(); // flushes and closes the log

    std::ifstream in(dir_.file("requests.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(2u, lines.size());
    const std::regex first("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\t127\\.0\\.0\\.1:\\d+\tGET\t"
                           "/nic/update\\?hostname=home\\.example&myip=192\\.0\\.2\\.12&password="
                           "\\*\\*\\*\ttovix-test/1\\.0\talice\t200\tgood 192\\.0\\.2\\.12");
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("\talice\t401\tbadauth")) << lines[1];
    for (const std::string& line : lines) {
        EXPECT_EQ(std::string::npos, line.find("s3cret")) << line;
        EXPECT_EQ(std::string::npos, line.find(base64("alice:s3cret:pw"))) << line;
    }
}

TEST_F(UpdateServerTest, MultiLineAnswerIsOneLogLine) {
    answer(kUpdate + "home.example,nobody.example&myip=192.0.2.13");
    const RequestEntry e = log_->entries().at(0);
    EXPECT_EQ("good 192.0.2.13\nnohost", e.answer);
    const std::string line = format_log_line(e);
    EXPECT_EQ(std::string::npos, line.find('\n'));
    EXPECT_NE(std::string::npos, line.find("\tgood 192.0.2.13\\nnohost"));
}

TEST_F(UpdateServerTest, TheLogSinkHearsEveryRequestInOrder) {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_keep_alive(true);
    const std::size_t total = 1005;
    for (std::size_t i = 0; i < total; ++i)
        ASSERT_TRUE(client.Get("/missing/" + std::to_string(i)));
    const std::vector<RequestEntry> seen = log_->entries();
    ASSERT_EQ(total, seen.size());
    EXPECT_EQ("/missing/0", seen.front().target);
    EXPECT_EQ("/missing/" + std::to_string(total - 1), seen.back().target);
}

// --- concurrency -------------------------------------------------------------

TEST_F(UpdateServerTest, ConcurrentUpdatesAreAllStored) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 50;
    SeedAccount account{"load", "pw", {}};
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i)
            account.hosts.push_back("h" + std::to_string(t) + "-" + std::to_string(i) +
                                    ".load.example");
    }
    restart({account}, {"load.example"}, "load.db");

    std::vector<int> good(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", server_->port());
            client.set_keep_alive(true);
            httplib::Headers headers{{"Authorization", basic("load", "pw")},
                                     {"User-Agent", kAgent}};
            for (int i = 0; i < kPerThread; ++i) {
                const std::string ip = "10.0." + std::to_string(t) + "." + std::to_string(i);
                httplib::Result res =
                    client.Get(kUpdate + "h" + std::to_string(t) + "-" + std::to_string(i) +
                                   ".load.example" + "&myip=" + ip,
                               headers);
                if (res && res->status == 200 && res->body == "good " + ip)
                    ++good[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(kPerThread, good[t]) << "thread " << t;
    std::vector<std::string> names;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            names.push_back("h" + std::to_string(t) + "-" + std::to_string(i) + ".load.example");
    const std::vector<Host> hosts = Store(db_, Store::Mode::Existing).hosts(names);
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kPerThread), hosts.size());
    for (const Host& h : hosts) {
        // h<t>-<i>.load.example holds 10.0.<t>.<i>, and DNS says so.
        const std::size_t dash = h.name.find('-');
        const std::string expected = "10.0." + h.name.substr(1, dash - 1) + "." +
                                     h.name.substr(dash + 1, h.name.find('.') - dash - 1);
        EXPECT_EQ(expected, h.ipv4) << h.name;
        EXPECT_EQ((std::vector<DnsRecord>{{h.name, "A", expected, kDefaultTtl, 0}}),
                  dns_records(db_, h.name));
    }
    // One serial step per transaction that changed the zone: concurrent
    // updates share transactions (group commit), so fewer steps than updates.
    const std::uint32_t serial = zone_serial(db_, "load.example").value_or(0);
    EXPECT_GT(serial, 2u);
    EXPECT_LE(serial, static_cast<std::uint32_t>(2 + kThreads * kPerThread));
}

} // namespace
} // namespace tovix::server::test
