// DnsPurger against a stand-in for PowerDNS's control socket, the names a
// commit hands it, and the answers that wait for it.
#include "auth/tokens.h"
#include "base/metrics.h"
#include "dns/purge.h"
#include "store/store.h"
#include "support.h"

#include <sys/un.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

namespace tovix::server::test {
namespace {

// Lines written by several threads.
struct Lines {
    std::mutex mutex;
    std::vector<std::string> all;
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        all.push_back(line);
    }
    std::size_t count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count_if(all.begin(), all.end(),
                             [&](const std::string& l) { return l.find(part) != l.npos; });
    }
};

using std::chrono::milliseconds;

// Keeps each connection's line and answers "2", as pdns_server answers
// purge: `late` after reading it (never, when negative), the line kept in
// `answered` just before.
class FakeControl {
  public:
    FakeControl(const std::string& path, Lines& lines, milliseconds late = {},
                Lines* answered = nullptr)
        : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
        EXPECT_EQ(0, listen(fd_, 8));
        thread_ = std::thread([this, &lines, late, answered] {
            for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0; close(c)) {
                std::string line;
                for (char ch; line.find('\n') == line.npos && read(c, &ch, 1) == 1;)
                    line += ch;
                lines.add(line);
                if (late.count() < 0) {
                    held_.push_back(dup(c));
                    continue;
                }
                std::this_thread::sleep_for(late);
                if (answered)
                    answered->add(line);
                EXPECT_EQ(1, write(c, "2", 1));
            }
        });
    }
    ~FakeControl() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
        for (int c : held_)
            close(c);
    }

  private:
    int fd_;
    std::vector<int> held_; // connections never answered
    std::thread thread_;
};

void no_log(const std::string&) {}

// Polls `done` for at most five seconds.
template <typename Done> bool eventually(Done done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(DnsPurge, PurgeableNames) {
    for (const char* name :
         {"a.example$", "dyn.example", "*.a.example", "x-1.a.example", "_acme-challenge.a.example"})
        EXPECT_TRUE(purgeable(name)) << name;
    for (const char* name : {"", "$", "a..example$", ".a.example", "A.example", "a example",
                             "a.example$$", "a\n.example", "a.example.", "a$.example"})
        EXPECT_FALSE(purgeable(name)) << name;
    EXPECT_FALSE(purgeable(std::string(64, 'a') + ".example"));
}

// The one list of changed names is the store's, told as each transaction
// commits: each host whose records changed (with its wildcard and every
// name under it when the wildcard is or was on), a challenge's name, and
// the apex of the zone; nothing of an update it refused or that changed
// nothing.
TEST(DnsPurge, NamesOfACommitComeFromTheStore) {
    TempDir dir;
    Store store(dir.file("db"), Store::Mode::Create, {{"dyn.example", "other.example"}, 60});
    own(store, "tovix", {"a.dyn.example", "c.dyn.example", "d.other.example"});
    std::vector<std::vector<std::string>> heard;
    store.on_changed_names([&](const std::vector<std::string>& names) { heard.push_back(names); });
    std::vector<Update> updates(4);
    for (std::size_t i = 0; i < updates.size(); ++i) {
        updates[i].host =
            std::string(1, char('a' + i)) + (i < 3 ? ".dyn.example" : ".other.example");
        updates[i].zone = i < 3 ? "dyn.example" : "other.example";
        updates[i].account = "tovix";
        updates[i].ipv4 = "192.0.2." + std::to_string(i + 1);
    }
    updates[0].wildcard = true;
    store.apply({updates[2]}, 1);
    heard.clear();
    // Changed, not owned, unchanged, changed.
    EXPECT_EQ((std::vector<bool>{true, false, false, true}), changed(store.apply(updates, 2)));
    updates[0].wildcard = false; // was on
    store.apply({updates[0]}, 3);
    store.set_challenge("c.dyn.example", std::string(43, 'a'), 4);
    const std::vector<std::string> a = {"*.a.dyn.example", "a.dyn.example", "a.dyn.example$"};
    EXPECT_EQ((std::vector<std::vector<std::string>>{
                  {a[0], a[1], a[2], "d.other.example", "dyn.example", "other.example"},
                  {a[0], a[1], a[2], "dyn.example"},
                  {"_acme-challenge.c.dyn.example", "dyn.example"}}),
              heard);
}

// PowerDNS down at first: logged once, names kept and sent together once it
// is up; a name that is no host name never reaches the socket.
TEST(DnsPurge, RetriesUntilPowerDnsAnswers) {
    TempDir dir;
    const std::string path = dir.file("pdns.controlsocket");
    Lines log, sent;
    PurgePolicy policy;
    policy.first_retry = policy.last_retry = std::chrono::milliseconds(10);
    DnsPurger purger(
        {path}, [&log](const std::string& line) { log.add(line); }, policy);
    purger.purge({"a.example$", "a..example$"});
    ASSERT_TRUE(
        eventually([&] { return log.count("cannot purge PowerDNS's cache through " + path); }));
    purger.purge({"example", "a.example$"});
    FakeControl pdns(path, sent);
    ASSERT_TRUE(eventually(
        [&] { return log.count("through " + path + " again") && sent.count("purge") == 2; }));
    EXPECT_EQ((std::vector<std::string>{"purge example example\n", "purge a.example$\n"}),
              sent.all);
    EXPECT_EQ(1u, log.count("cannot purge"));
    EXPECT_EQ(1u, log.count("'a..example$' is no host name"));
}

// Each exact name twice in one command (PowerDNS 4.7 empties its packet
// cache of a name before its query cache), all in one command, first; then
// one name with those under it a command, once.
TEST(DnsPurge, ExactNamesFirstEachNameTwice) {
    TempDir dir;
    Lines sent;
    FakeControl pdns(dir.file("pdns.socket"), sent);
    DnsPurger purger({dir.file("pdns.socket")}, no_log);
    purger.purge({"b.example$", "example", "a.example$", "*.a.example"});
    ASSERT_TRUE(eventually([&] { return sent.count("purge") == 3; }));
    EXPECT_EQ((std::vector<std::string>{"purge *.a.example example *.a.example example\n",
                                        "purge a.example$\n", "purge b.example$\n"}),
              sent.all);
}

// after_purge() tells once every PowerDNS answered the exact names queued
// before it, without waiting for the names under them.
TEST(DnsPurge, AfterPurgeOnceEveryPowerDnsAnswered) {
    TempDir dir;
    Lines sent_a, sent_b, answered;
    FakeControl a(dir.file("a.socket"), sent_a, milliseconds(20), &answered);
    FakeControl b(dir.file("b.socket"), sent_b, milliseconds(100), &answered);
    PurgePolicy policy;
    policy.wait = milliseconds(60000);
    DnsPurger purger({dir.file("a.socket"), dir.file("b.socket")}, no_log, policy);
    purger.purge({"a.example", "a.example$"});
    std::promise<std::vector<std::size_t>> told;
    purger.after_purge([&](bool all) {
        told.set_value({all, answered.count("purge a.example a.example"), sent_b.count("$")});
    });
    EXPECT_EQ((std::vector<std::size_t>{true, 2, 0}), told.get_future().get());
}

// Waiters come and go while the bound's thread sleeps until the first one's
// deadline (under AddressSanitizer: never through a waiter already gone).
TEST(DnsPurge, AfterPurgeOneAfterAnother) {
    TempDir dir;
    Lines sent;
    FakeControl pdns(dir.file("pdns.socket"), sent);
    PurgePolicy policy;
    policy.wait = milliseconds(60000);
    DnsPurger purger({dir.file("pdns.socket")}, no_log, policy);
    std::vector<bool> told;
    for (int i = 0; i < 40; ++i) {
        purger.purge({"h" + std::to_string(i) + ".example"});
        std::promise<bool> done;
        purger.after_purge([&](bool all) { done.set_value(all); });
        told.push_back(done.get_future().get());
    }
    EXPECT_EQ(std::vector<bool>(40, true), told);
    EXPECT_EQ(40u, sent.count("purge"));
}

// Told false past PurgePolicy::wait, not after the socket's timeout; at once
// while the socket fails; true at once without sockets.
TEST(DnsPurge, AfterPurgeToldFalseWhenPowerDnsIsLateOrDown) {
    TempDir dir;
    Lines sent, log;
    PurgePolicy policy;
    policy.timeout = milliseconds(60000);
    DnsPurger purger(
        {dir.file("pdns.socket")}, [&log](const std::string& l) { log.add(l); }, policy);
    {
        FakeControl pdns(dir.file("pdns.socket"), sent, milliseconds(-1));
        purger.purge({"a.example"});
        std::promise<bool> told;
        purger.after_purge([&](bool all) { told.set_value(all); });
        EXPECT_FALSE(told.get_future().get());
    } // the held connection closes: the socket fails
    ASSERT_TRUE(eventually([&] { return log.count("cannot purge"); }));
    std::vector<bool> told;
    purger.purge({"b.example"});
    purger.after_purge([&](bool all) { told.push_back(all); });
    DnsPurger none({}, no_log);
    none.after_purge([&](bool all) { told.push_back(all); });
    EXPECT_EQ((std::vector<bool>{false, true}), told);
}

// An update's answer and an ACME challenge's leave once PowerDNS purged
// what they changed; past --purge-wait they leave anyway, counted.
TEST(DnsPurge, AnswersWaitForThePurge) {
    struct Row {
        const char* why;
        milliseconds late;       // PowerDNS's answer to each purge (negative: never)
        milliseconds purge_wait; // Config::purge_wait
        std::size_t purged;      // of the two answers, those that came after PowerDNS's
        std::uint64_t unconfirmed;
    };
    for (const Row& r : std::vector<Row>{
             {"PowerDNS answers late", milliseconds(100), milliseconds(60000), 2, 0},
             {"PowerDNS never answers", milliseconds(-1), milliseconds(50), 0, 2},
         }) {
        TempDir dir;
        Lines sent, answered;
        FakeControl pdns(dir.file("pdns.socket"), sent, r.late, &answered);
        Config config;
        config.accounts = test_accounts();
        config.zones = {"example"};
        config.db_path = dir.file("names.db");
        config.pdns_control = {dir.file("pdns.socket")};
        config.purge_wait = r.purge_wait;
        const std::uint64_t unconfirmed = metrics().purge_unconfirmed.load();
        const auto server = start_server(std::move(config));
        const std::string token = make_token();
        Store(dir.file("names.db"), Store::Mode::Existing)
            .add_token("home.example", token_digest(token), "acme", 1);
        httplib::Client client("127.0.0.1", server->port());
        const httplib::Result good = client.Get("/nic/update?hostname=home.example&myip=192.0.2.1",
                                                {{"Authorization", basic("alice", "s3cret:pw")}});
        ASSERT_TRUE(good) << r.why;
        EXPECT_EQ("good 192.0.2.1", good->body) << r.why;
        std::size_t purged = answered.count(" home.example ");
        const httplib::Result acme =
            client.Post("/update", {{"X-Api-User", "home.example"}, {"X-Api-Key", token}},
                        "{\"subdomain\": \"home\", \"txt\": \"" + std::string(43, 'a') + "\"}",
                        "application/json");
        ASSERT_TRUE(acme) << r.why;
        EXPECT_EQ(200, acme->status) << r.why;
        purged += answered.count(" _acme-challenge.home.example ");
        EXPECT_EQ(r.purged, purged) << r.why;
        EXPECT_EQ(r.unconfirmed, metrics().purge_unconfirmed.load() - unconfirmed) << r.why;
    }
}

} // namespace
} // namespace tovix::server::test
