// The web page over HTTP: sessions in the store (SQLite, and PostgreSQL
// where TOVIX_TEST_POSTGRES is set), and the requests it must refuse without
// changing anything. The browser story is tests/server/web_test.py.
#include "auth/tokens.h"
#include "commands/commands.h"
#include "support.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <tuple>

namespace tovix::server::test {
namespace {

// Sessions live 30 minutes idle, 12 hours in all, and end with a sign-out,
// a new password or the account.
void check_sessions(Store& store) {
    own(store, "carol", {"carol.example"});
    const std::int64_t t = 1000000;
    ASSERT_TRUE(store.add_session("a", "carol", t));
    ASSERT_FALSE(store.add_session("x", "nobody", t));
    for (const auto& [at, live] :
         {std::pair{t + 29 * 60, true}, {t + 58 * 60, true}, {t + 89 * 60, false}})
        EXPECT_EQ(live, store.session("a", at).has_value()) << at;
    ASSERT_TRUE(store.add_session("b", "carol", t));
    std::int64_t at = t;
    for (; at <= t + 12 * 3600; at += 25 * 60)
        EXPECT_TRUE(store.session("b", at)) << at - t;
    EXPECT_FALSE(store.session("b", at));
    for (const char* d : {"c", "d", "e"})
        ASSERT_TRUE(store.add_session(d, "carol", at));
    store.end_session("c");
    EXPECT_FALSE(store.session("c", at));
    EXPECT_EQ("carol", store.session("d", at)->account);
    ASSERT_TRUE(store.set_password("carol", "$argon2id$y"));
    EXPECT_FALSE(store.session("d", at));
    ASSERT_TRUE(store.add_session("f", "carol", at));
    ASSERT_TRUE(store.set_admin("carol", true));
    EXPECT_TRUE(store.account("carol")->admin);
    ASSERT_TRUE(store.remove_account("carol"));
    EXPECT_FALSE(store.session("f", at));
    EXPECT_FALSE(store.set_admin("carol", true));
}

TEST(WebSessions, ExpireAndEnd) {
    TempDir dir;
    Store store(dir.file("s.db"), Store::Mode::Create, StoreOptions{{"example"}});
    check_sessions(store);
}

TEST(ServerPostgresWeb, SessionsExpireAndEnd) {
    if (postgres_uri().empty())
        GTEST_SKIP() << "TOVIX_TEST_POSTGRES is not set";
    Store store(fresh_postgres(), Store::Mode::Create, StoreOptions{{"example"}});
    check_sessions(store);
    // Another server on the database knows the session.
    Store other(postgres_uri(), Store::Mode::Create, StoreOptions{{"example"}});
    own(store, "dave", {"dave.example"});
    ASSERT_TRUE(store.add_session("g", "dave", 5000));
    EXPECT_EQ("dave", other.session("g", 5001)->account);
}

struct Reply {
    int status = 0;
    std::string location, body, cookie;
};

class WebTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Config config;
        config.accounts = test_accounts();
        config.zones = {"example"};
        config.db_path = db_ = dir_.file("web.db");
        config.log_path = dir_.file("requests.log");
        config.guard.account_burst = 4;
        config.guard.account_per_second = 0.001;
        config.guard.exempt_burst = 0;
        config.throttled_delay_ms = 1;
        server_ = start_server(std::move(config));
    }

    Reply send(const std::string& method, const std::string& path, const std::string& body = {},
               httplib::Headers headers = {}) {
        httplib::Client client("127.0.0.1", server_->port());
        httplib::Result r =
            method == "GET" ? client.Get(path, headers)
                            : client.Post(path, headers, body, "application/x-www-form-urlencoded");
        if (!r)
            return {};
        std::string cookie = r->get_header_value("Set-Cookie");
        cookie = cookie.substr(0, cookie.find(';'));
        return {r->status, r->get_header_value("Location"), r->body, cookie};
    }

    // Signs in; the session's cookie and its CSRF token.
    std::pair<std::string, std::string> sign_in(const std::string& user,
                                                const std::string& password) {
        const Reply r = send("POST", "/signin", "user=" + user + "&password=" + password);
        EXPECT_EQ(303, r.status) << r.body;
        const Reply page = send("GET", "/hosts", {}, {{"Cookie", r.cookie}});
        std::smatch m;
        EXPECT_TRUE(std::regex_search(page.body, m, std::regex("name=\"csrf\" value=\"(\\w+)\"")));
        return {r.cookie, m[1]};
    }

    // What the requests could have changed.
    std::string snapshot() {
        std::string out;
        for (const char* table : {"accounts", "account_hosts", "hosts", "tovix_tokens",
                                  "tovix_history", "tovix_sessions", "tovix_follows", "records"}) {
            const SqlRows r =
                connection(db_)->query(std::string("SELECT * FROM ") + table + " ORDER BY 1, 2");
            for (const auto& row : r.rows)
                for (const auto& v : row)
                    out += v.value_or("NULL") + "|";
            out += "\n";
        }
        return out;
    }

    TempDir dir_;
    std::string db_;
    std::unique_ptr<UpdateServer> server_;
};

TEST_F(WebTest, BadInputChangesNothing) {
    const auto [cookie, csrf] = sign_in("alice", "s3cret%3Apw");
    const std::string wrong_page = send("POST", "/signin", "user=alice&password=nope").body;
    const httplib::Headers alice{{"Cookie", cookie}}, none,
        forged{{"Cookie", "tovix_session=" + std::string(64, 'a')}};
    const std::string off = "/host/home.example/offline", c = "&csrf=" + csrf;
    const httplib::Headers alice_zh{{"Cookie", cookie}, {"Accept-Language", "zh"}};
    struct Row {
        std::string what, path, body; // no body: GET
        httplib::Headers headers;
        int status;
        std::string want; // in the body, or the Location
    } rows[] = {
        // clang-format off
        {"wrong password", "/signin", "user=alice&password=wrong", none, 403, "Wrong"},
        {"unknown account", "/signin", "user=zed&password=wrong", none, 403, "Wrong"},
        {"forged session", "/hosts", "", forged, 303, "session_gone"},
        {"forged session form", off, "offline=yes" + c, forged, 303, "/signin"},
        {"no session", "/host/home.example", "", none, 303, "/signin"},
        {"no csrf", off, "offline=yes", alice, 403, "stale"},
        {"wrong csrf", off, "offline=yes&csrf=" + std::string(64, '0'), alice, 403, "stale"},
        {"other site", off, "offline=yes" + c,
         {{"Cookie", cookie}, {"Origin", "https://evil.example"}}, 403, "stale"},
        {"cross-site fetch", "/signout", c,
         {{"Cookie", cookie}, {"Sec-Fetch-Site", "cross-site"}}, 403, "stale"},
        {"another's host", "/host/bob.example", "", alice, 404, "Not found"},
        {"another's host form", "/host/bob.example/offline", "offline=yes" + c, alice, 404, "Not found"},
        {"another's token", "/host/bob.example/revoke", "id=1" + c, alice, 404, "Not found"},
        {"over-long form", "/host/home.example/token", "label=" + std::string(2000, 'x') + c, alice, 413, ""},
        {"operator page", "/admin/accounts", "", alice, 404, "Not found"},
        {"operator form", "/admin/remove", "name=bob" + c, alice, 404, "Not found"},
        {"bad mx", "/host/home.example/settings", "mx=-bad-" + c, alice, 400, "mail exchanger"},
        {"bad suffix", "/host/home.example/follow", "router=www.home.example&suffix=1::5" + c, alice, 400, "MAC address"},
        {"another's router", "/host/home.example/follow", "router=bob.example&suffix=::5" + c, alice, 400, "this account"},
        {"another's follower", "/host/bob.example/unfollow", c, alice, 404, "Not found"},
        {"bad mx kept", "/host/home.example/settings", "mx=-bad-" + c, alice, 400, "value=\"-bad-\""},
        {"no page's path", "/no/such/page", "", none, 404, "<html lang=\"en\">"},
        {"no page's path, signed in", "/no/such/page", "", alice, 404, "There is no such page"},
        {"a form too large, in Chinese", "/host/home.example/settings", "mx=" + std::string(2000, 'm') + c, alice_zh, 413, "<title>表单过大"},
        {"not the page's: plain", "/nic/update", "mx=" + std::string(2000, 'm'), none, 413, "request too large"},
        // clang-format on
    };
    const std::string before = snapshot();
    for (const Row& r : rows) {
        const Reply got = send(r.body.empty() ? "GET" : "POST", r.path, r.body, r.headers);
        EXPECT_EQ(r.status, got.status) << r.what;
        EXPECT_NE(std::string::npos, (got.body + got.location).find(r.want)) << r.what;
    }
    EXPECT_EQ(before, snapshot());
    EXPECT_EQ(wrong_page, send("POST", "/signin", "user=nobody&password=nope").body);
    // Markup in a label is kept as given and shown escaped.
    const Reply made = send("POST", "/host/home.example/token",
                            "label=%3Cb%3Ehi%3C%2Fb%3E&csrf=" + csrf, {{"Cookie", cookie}});
    ASSERT_EQ(303, made.status);
    const Reply shown = send("GET", made.location, {}, {{"Cookie", cookie + "; " + made.cookie}});
    EXPECT_NE(std::string::npos, shown.body.find("&lt;b&gt;hi&lt;&#x2F;b&gt;"));
    EXPECT_EQ(std::string::npos, shown.body.find("<b>hi"));
    EXPECT_EQ("<b>hi</b>", Store(db_, Store::Mode::Existing).tokens("home.example").at(0).label);
}

// A new token: the form is answered by a redirect, and the token is shown
// on the page it leads to, once, to the session that made it alone.
TEST_F(WebTest, NewTokenIsShownOnceAfterARedirect) {
    const auto [cookie, csrf] = sign_in("alice", "s3cret%3Apw");
    const Reply made =
        send("POST", "/host/home.example/token", "label=router&csrf=" + csrf, {{"Cookie", cookie}});
    ASSERT_EQ(303, made.status);
    EXPECT_EQ("/host/home.example?m=token_made", made.location);
    EXPECT_EQ(std::string::npos, made.location.find(made.cookie.substr(16)));
    const Reply shown = send("GET", made.location, {}, {{"Cookie", cookie + "; " + made.cookie}});
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(shown.body, m, std::regex("id=\"token\" readonly value=\"(\\w+)\"")))
        << shown.body;
    EXPECT_EQ(26u, m[1].length());
    EXPECT_EQ("tovix_new_token=", shown.cookie) << "the page clears the cookie";
    EXPECT_EQ(std::string::npos,
              send("GET", made.location, {}, {{"Cookie", cookie}}).body.find(m[1]))
        << "a reload shows it no more";
    const auto [other, other_csrf] = sign_in("alice", "s3cret%3Apw");
    EXPECT_EQ(std::string::npos,
              send("GET", made.location, {}, {{"Cookie", other + "; " + made.cookie}})
                  .body.find("id=\"token\""))
        << "another session cannot open it";
    EXPECT_EQ(1u, Store(db_, Store::Mode::Existing).tokens("home.example").size());
}

TEST_F(WebTest, SignInIsGuardedAndSessionsEnd) {
    // Past the guard's limit even the right password is told to come back.
    for (int i = 0; i < 4; ++i)
        send("POST", "/signin", "user=bob&password=wrong" + std::to_string(i));
    const Reply throttled = send("POST", "/signin", "user=bob&password=hunter2");
    EXPECT_EQ(503, throttled.status);
    EXPECT_NE(std::string::npos, throttled.body.find("try again"));

    for (const auto& [language, want] : {std::pair{"en;q=0.5, zh-CN", "zh-Hans"},
                                         {"en", "en"},
                                         {"zh;q=0.2, en-GB", "en"},
                                         {"fr", "en"}})
        EXPECT_NE(std::string::npos, send("GET", "/signin", "", {{"Accept-Language", language}})
                                         .body.find(std::string("lang=\"") + want + "\""));
    auto [cookie, csrf] = sign_in("alice", "s3cret%3Apw");
    EXPECT_EQ(303, send("POST", "/signout", "csrf=" + csrf, {{"Cookie", cookie}}).status);
    EXPECT_EQ(303, send("GET", "/hosts", {}, {{"Cookie", cookie}}).status);
    std::tie(cookie, csrf) = sign_in("alice", "s3cret%3Apw");
    const httplib::Headers c{{"Cookie", cookie}};
    EXPECT_EQ(403, send("POST", "/password", "old=bad&new=longenough&csrf=" + csrf, c).status);
    EXPECT_EQ(303,
              send("POST", "/password", "old=s3cret%3Apw&new=longenough&csrf=" + csrf, c).status);
    EXPECT_EQ("/signin?m=session_gone", send("GET", "/hosts", {}, c).location);
    EXPECT_EQ(303, send("POST", "/signin", "user=alice&password=longenough").status);
}

// What a page shows once (a token, a password the operator page made), the
// session and its CSRF value, and every password typed: none reaches the log,
// where a page's line names its route alone.
TEST_F(WebTest, SecretsStayOutOfTheLog) {
    ASSERT_TRUE(Store(db_, Store::Mode::Existing).set_admin("bob", true));
    const auto [cookie, csrf] = sign_in("alice", "s3cret%3Apw");
    std::smatch m;
    const Reply made =
        send("POST", "/host/home.example/token", "label=r&csrf=" + csrf, {{"Cookie", cookie}});
    const Reply shown = send("GET", made.location, {}, {{"Cookie", cookie + "; " + made.cookie}});
    ASSERT_TRUE(
        std::regex_search(shown.body, m, std::regex("id=\"token\" readonly value=\"(\\w+)")));
    const std::string token = m[1], sealed = made.cookie.substr(made.cookie.find('=') + 1);
    const auto [operator_cookie, operator_csrf] = sign_in("bob", "hunter2");
    const Reply added =
        send("POST", "/admin/accounts", "name=carol&hosts=c.example&csrf=" + operator_csrf,
             {{"Cookie", operator_cookie}});
    ASSERT_TRUE(std::regex_search(added.body, m,
                                  std::regex("id=\"new-password\" readonly value=\"(\\w+)")));
    const std::string made_password = m[1];
    send("GET", "/hosts?csrf=" + csrf + "&session=" + cookie, {}, {{"Cookie", cookie}});
    server_.reset(); // writes the log

    std::ifstream in(dir_.file("requests.log"));
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NE(std::string::npos, log.find("\t/admin/accounts\t")) << log;
    for (const std::string& secret :
         {token, sealed, made_password, csrf, cookie.substr(cookie.find('=') + 1),
          std::string("s3cret"), std::string("hunter2")})
        EXPECT_EQ(std::string::npos, log.find(secret)) << secret << " in\n" << log;
    EXPECT_EQ(std::string::npos, log.find("<html")) << log;
    EXPECT_NE(std::string::npos, log.find("\t303\tpage")) << log;
}

// The language switch goes back only to a path of this site.
TEST_F(WebTest, LanguageSwitchStaysOnTheSite) {
    const std::pair<std::string, std::string> rows[] = {
        {"/host/home.example", "/host/home.example"},
        {"/admin/accounts", "/admin/accounts"},
        {"/%09/evil.example", "/"}, // browsers drop the tab: //evil.example
        {"/%20/evil.example", "/"},
        {"//evil.example", "/"},
        {"/%5Cevil.example", "/"},
        {"https://evil.example/", "/"},
        {"/x%0d%0aSet-Cookie:%20a=b", "/"},
        {"", "/"},
    };
    for (const auto& [back, want] : rows) {
        httplib::Client client("127.0.0.1", server_->port());
        httplib::Result r = client.Get("/lang?to=zh&back=" + back);
        ASSERT_TRUE(r) << back;
        EXPECT_EQ(303, r->status) << back;
        EXPECT_EQ(want, r->get_header_value("Location")) << back;
        EXPECT_EQ("tovix_lang=zh; Path=/; HttpOnly; SameSite=Lax",
                  r->get_header_value("Set-Cookie"));
    }
}

// A host has at most 20 tokens; the page lists them ten at a time.
TEST_F(WebTest, TokensAreLimited) {
    {
        Store store(db_, Store::Mode::Existing);
        for (int i = 0; i < kMaxTokensPerHost; ++i)
            ASSERT_TRUE(store.add_token("home.example", token_digest(make_token()), "", 1));
        const NewToken more = store.add_token("home.example", token_digest(make_token()), "", 1);
        EXPECT_TRUE(more.full && !more);
    }
    std::string error;
    const std::optional<Options> command =
        parse_command_line({"token", "add", "home.example", "--db", db_}, &error);
    ASSERT_TRUE(command) << error;
    std::ostringstream out, err;
    EXPECT_EQ(1, token_command(*command, out, err));
    EXPECT_EQ("", out.str());
    EXPECT_NE(std::string::npos, err.str().find("has 20 tokens")) << err.str();
    const auto [cookie, csrf] = sign_in("alice", "s3cret%3Apw");
    const httplib::Headers c{{"Cookie", cookie}};
    const Reply refused = send("POST", "/host/home.example/token", "label=x&csrf=" + csrf, c);
    EXPECT_EQ(400, refused.status);
    EXPECT_NE(std::string::npos, refused.body.find("20 tokens")) << refused.body;
    EXPECT_EQ(20u, Store(db_, Store::Mode::Existing).tokens("home.example").size());
    for (const auto& [query, first, earlier, later] : {std::tuple{"", ">1<", false, true},
                                                       {"?tokens=1", ">11<", true, false},
                                                       {"?tokens=9", ">11<", true, false}}) {
        const std::string page = send("GET", std::string("/host/home.example") + query, {}, c).body;
        EXPECT_NE(std::string::npos,
                  page.find(std::string("<tr class=\"token\"><td data-label=\"#\"") + first))
            << query;
        std::size_t rows = 0;
        for (std::size_t at = 0; (at = page.find("<tr class=\"token\">", at)) != std::string::npos;
             ++at)
            ++rows;
        EXPECT_EQ(10u, rows) << query;
        EXPECT_EQ(earlier, page.find("tokens=0") != std::string::npos) << query;
        EXPECT_EQ(later, page.find("tokens=1\"") != std::string::npos) << query;
    }
}

TEST(WebHttp, SignInOverPlainHttpNeedsLoopbackOrConsent) {
    for (const bool allow : {false, true}) {
        TempDir dir;
        Config config;
        config.accounts = test_accounts();
        config.zones = {"example"};
        config.db_path = dir.file("web.db");
        config.web_allow_http = allow;
        config.log_to_stderr = false;
        UpdateServer server(config); // loopback_only unset: as if listening beyond
        std::string error;
        ASSERT_TRUE(server.listen({"127.0.0.1", 0, "", ""}, &error)) << error;
        httplib::Client client("127.0.0.1", server.port());
        httplib::Result r = client.Post("/signin", "user=bob&password=hunter2",
                                        "application/x-www-form-urlencoded");
        ASSERT_TRUE(r);
        EXPECT_EQ(allow ? 303 : 403, r->status);
        EXPECT_EQ(allow, r->has_header("Set-Cookie"));
        EXPECT_EQ("default-src 'self'; form-action 'self'; frame-ancestors 'none'",
                  r->get_header_value("Content-Security-Policy"));
    }
}

} // namespace
} // namespace tovix::server::test
