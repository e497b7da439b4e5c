// What a host's owner hands out and watches: update tokens, the history of
// changes, last seen and faults, checkip, and the ACME challenge's TXT.
#include "auth/tokens.h"
#include "base/metrics.h"
#include "support.h"
#include "update/activity.h"

#include <thread>

namespace tovix::server::test {
namespace {

const std::string kAgent = "tovix-test/1.0";
const std::string kTxt = "0123456789abcdefghijklmnopqrstuvwxyzABCDEF_"; // 43

class HostDataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Config config;
        config.accounts = test_accounts();
        config.zones = {"example"};
        config.db_path = db_ = dir_.file("records.db");
        config.history = 3;
        config.activity_interval = std::chrono::hours(1); // written by flush only
        server_ = start_server(std::move(config));
        Store store(db_, Store::Mode::Existing);
        home_ = make("home.example", store);
        www_ = make("www.home.example", store);
        bob_ = make("bob.example", store);
        removed_ = make("home.example", store);
        ASSERT_TRUE(store.remove_token("home.example", 2));
    }

    std::string make(const std::string& host, Store& store) {
        const std::string token = make_token();
        EXPECT_TRUE(store.add_token(host, token_digest(token), "test", 1));
        return token;
    }

    std::string get(const std::string& target, const std::string& user,
                    const std::string& password) {
        httplib::Client client("127.0.0.1", server_->port());
        httplib::Result r =
            client.Get(target, {{"Authorization", basic(user, password)}, {"User-Agent", kAgent}});
        return r ? std::to_string(r->status) + " " + r->body : "<no response>";
    }

    std::string acme(const std::string& user, const std::string& key, const std::string& body) {
        httplib::Client client("127.0.0.1", server_->port());
        httplib::Result r = client.Post("/update", {{"X-Api-User", user}, {"X-Api-Key", key}}, body,
                                        "application/json");
        return r ? std::to_string(r->status) + " " + r->body : "<no response>";
    }

    TempDir dir_;
    std::string db_;
    std::unique_ptr<UpdateServer> server_;
    std::string home_, www_, bob_, removed_;
};

TEST_F(HostDataTest, TokenUpdatesItsHostAndNothingElse) {
    const std::string h = "home.example";
    struct Row {
        std::string target, user, password, want;
    } rows[] = {
        {"/nic/update?myip=192.0.2.1", h, home_, "200 good 192.0.2.1"},
        {"/nic/update?hostname=HOME.example&myip=192.0.2.2", "Home.Example", home_,
         "200 good 192.0.2.2"},
        {"/nic/update?hostname=home.example,www.home.example&myip=192.0.2.3", h, home_,
         "200 good 192.0.2.3\nnohost"},
        {"/nic/update?hostname=bob.example&myip=192.0.2.4", h, home_, "200 nohost"},
        {"/nic/update?myip=192.0.2.5", h, www_, "401 badauth"},     // another host's token
        {"/nic/update?myip=192.0.2.5", h, removed_, "401 badauth"}, // removed
        {"/nic/update?myip=192.0.2.5", "nobody.example", home_, "401 badauth"},
        {"/nic/update?myip=192.0.2.5", "alice", home_, "401 badauth"}, // not a password
        {"/nic/update?hostname=home.example&myip=192.0.2.6", "alice", "s3cret:pw",
         "200 good 192.0.2.6"},
        {"/nic/update?myip=192.0.2.7", "bob.example", bob_, "200 good 192.0.2.7"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.want, get(r.target, r.user, r.password)) << r.user << " " << r.target;

    EXPECT_FALSE(stored_host(db_, "www.home.example"));
    EXPECT_EQ("192.0.2.6", stored_host(db_, "home.example")->ipv4);
    // A token made by another process is good at once.
    Store store(db_, Store::Mode::Existing);
    const std::string fresh = make("www.home.example", store);
    EXPECT_EQ("200 good 192.0.2.8", get("/nic/update?myip=192.0.2.8", "www.home.example", fresh));
    // A token used before and revoked by another process stops working
    // once the server reads the change log (every 100 ms).
    ASSERT_TRUE(store.remove_token("www.home.example", 2));
    std::string got;
    for (int i = 0; i < 100 && got != "401 badauth"; ++i) {
        got = get("/nic/update?myip=192.0.2.9", "www.home.example", fresh);
        if (got != "401 badauth")
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ("401 badauth", got);
}

TEST_F(HostDataTest, HistoryIsBoundedAndActivityWrittenInBatches) {
    for (const char* ip : {"192.0.2.1", "192.0.2.2", "192.0.2.2", "192.0.2.3", "192.0.2.4"})
        get(std::string("/nic/update?myip=") + ip, "home.example", home_);
    get("/nic/update?hostname=home.example&offline=YES", "alice", "s3cret:pw");
    get("/nic/update?hostname=home.example&myip=192.0.2.4", "alice", "wrong");
    get("/nic/update?myip=192.0.2.4", "home.example", home_); // nochg, yet seen
    // A wrong token counts against a host an account owns, and against no
    // name anybody may make up.
    for (const std::string& host : {std::string("home.example"), std::string("made-up.example"),
                                    "x." + std::string(9000, 'y')})
        acme(host, make_token(),
             "{\"subdomain\": \"" + host.substr(0, host.find('.')) + "\", \"txt\": \"" + kTxt +
                 "\"}");
    EXPECT_EQ(1, metrics().activity_pending.load()) << "hosts whose activity is kept";

    Store store(db_, Store::Mode::Existing);
    const std::vector<HistoryEntry> h = store.history("home.example", 10);
    ASSERT_EQ(3u, h.size()); // config.history
    EXPECT_EQ("online", h[0].what);
    EXPECT_EQ("token 1", h[0].origin.credential);
    EXPECT_EQ("offline", h[1].what);
    EXPECT_EQ("account alice", h[1].origin.credential);
    EXPECT_EQ("offline=NO", h[1].before);
    EXPECT_EQ("A=192.0.2.3", h[2].before);
    EXPECT_EQ("A=192.0.2.4", h[2].after);
    EXPECT_EQ("127.0.0.1", h[2].origin.caller);
    EXPECT_EQ(kAgent, h[2].origin.user_agent);

    EXPECT_TRUE(store.activity({"home.example"}).empty()) << "written before the interval";
    server_.reset(); // a clean stop writes what is pending
    const Activity a = store.activity({"home.example"}).at("home.example");
    EXPECT_NE(0, a.seen_at);
    EXPECT_EQ(kAgent, a.seen_agent);
    EXPECT_EQ(2, a.badauth);
    EXPECT_NE(0, store.tokens("home.example").at(0).last_used);
    EXPECT_EQ(0, store.tokens("www.home.example").at(0).last_used);
}

// At most max_hosts hosts wait to be written: reaching that writes at once,
// and what comes for further hosts meanwhile is dropped, and counted.
TEST(ActivityLogTest, IsBoundedAndWritesWhenFull) {
    TempDir dir;
    Store store(dir.file("a.db"), Store::Mode::Create, StoreOptions{{"example"}});
    std::vector<std::string> hosts;
    for (int i = 0; i < 10; ++i)
        hosts.push_back("h" + std::to_string(i) + ".example");
    own(store, "a", hosts);
    const std::uint64_t dropped_before = metrics().activity_dropped.load();
    {
        ActivityLog log(
            store, std::chrono::hours(1), nullptr, [](const std::string&) {},
            [](const std::string&) { return true; }, 3);
        for (const std::string& h : hosts)
            log.fault(h, ActivityLog::Fault::Badauth, 1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (store.activity(hosts).empty() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(store.activity(hosts).empty()) << "not written when full";
    }
    const std::size_t dropped = metrics().activity_dropped.load() - dropped_before;
    EXPECT_EQ(hosts.size(), store.activity(hosts).size() + dropped);
    EXPECT_GE(store.activity(hosts).size(), 3u);
}

// A log stopped while a write is under way (started by reaching max_hosts,
// many transactions long) still writes every host.
TEST(ActivityLogTest, StoppingDuringAWriteLosesNothing) {
    TempDir dir;
    Store store(dir.file("a.db"), Store::Mode::Create, StoreOptions{{"example"}});
    std::vector<std::string> hosts;
    for (int a = 0; a < 3; ++a) {
        std::vector<std::string> own_hosts;
        for (int i = 0; i < 1000; ++i)
            own_hosts.push_back("h" + std::to_string(a * 1000 + i) + ".example");
        own(store, "a" + std::to_string(a), own_hosts);
        hosts.insert(hosts.end(), own_hosts.begin(), own_hosts.end());
    }
    {
        ActivityLog log(
            store, std::chrono::hours(1), nullptr, [](const std::string&) {},
            [](const std::string&) { return true; }, hosts.size());
        for (const std::string& h : hosts)
            log.seen(h, 100, "192.0.2.1", "test", 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (store.activity({hosts[0]}).empty() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(store.activity({hosts[0]}).empty()) << "not written when full";
    }
    EXPECT_EQ(hosts.size(), store.activity(hosts).size());
}

TEST_F(HostDataTest, CheckipAnswersTheCaller) {
    httplib::Client client("127.0.0.1", server_->port());
    httplib::Result page = client.Get("/checkip");
    ASSERT_TRUE(page);
    EXPECT_EQ("<html><head><title>Current IP Check</title></head><body>Current IP Address: "
              "127.0.0.1</body></html>",
              page->body);
    EXPECT_EQ("text/html", page->get_header_value("Content-Type"));
    EXPECT_EQ("no-store", page->get_header_value("Cache-Control"));
    httplib::Result text = client.Get("/checkip?format=text");
    ASSERT_TRUE(text);
    EXPECT_EQ("127.0.0.1", text->body);
}

TEST_F(HostDataTest, AcmeChallengeKeepsTheTwoNewestValues) {
    const std::string h = "home.example";
    auto body = [](const std::string& sub, const std::string& txt) {
        return "{\"subdomain\": \"" + sub + "\", \"txt\": \"" + txt + "\"}";
    };
    const std::string other = std::string(42, 'b') + "c";
    struct Row {
        std::string user, key, body, want;
    } rows[] = {
        {h, home_, body("home", kTxt), "200 {\"txt\": \"" + kTxt + "\"}"},
        {h, home_, body(h, std::string(43, 'a')),
         "200 {\"txt\": \"" + std::string(43, 'a') + "\"}"},
        {h, home_, body("home", other), "200 {\"txt\": \"" + other + "\"}"},
        {h, home_, body("home", kTxt + "A"), "400 txt must be 43 characters of base64url"},
        {h, home_, body("home", std::string(42, 'a') + "="),
         "400 txt must be 43 characters of base64url"},
        {h, home_, body("bob", kTxt), "400 subdomain must name the host of X-Api-User"},
        {h, home_, "{\"subdomain\": \"home\"", "400 the body is not a JSON object"},
        {h, home_, "{\"subdomain\": 1, \"txt\": \"x\"}",
         "400 \"subdomain\" is missing or not a string"},
        {h, www_, body("home", kTxt), "401 X-Api-Key is not a token of this host"},
        {h, "s3cret:pw", body("home", kTxt), "401 X-Api-Key is not a token of this host"},
        {"alice", "s3cret:pw", body("alice", kTxt), "401 X-Api-Key is not a token of this host"},
        {h, home_, body("home", std::string(2000, 'x')), "413 "},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.want, acme(r.user, r.key, r.body).substr(0, r.want.size())) << r.body;

    std::vector<std::string> txt;
    for (const DnsRecord& r : dns_records(db_, "_acme-challenge.home.example"))
        txt.push_back(r.type + " " + r.content);
    EXPECT_EQ(
        (std::vector<std::string>{"TXT \"" + std::string(43, 'a') + "\"", "TXT \"" + other + "\""}),
        txt);
    // Leaving its account takes the host's tokens and challenge along.
    Store store(db_, Store::Mode::Existing);
    ASSERT_TRUE(store.set_hosts("alice", {"www.home.example"}));
    EXPECT_TRUE(dns_records(db_, "_acme-challenge.home.example").empty());
    EXPECT_TRUE(store.tokens("home.example").empty());
    EXPECT_TRUE(store.history("home.example", 10).empty());
}

} // namespace
} // namespace tovix::server::test
