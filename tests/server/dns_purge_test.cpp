// DnsPurger against a stand-in for PowerDNS's control socket, and the names
// a commit hands it.
#include "dns/purge.h"
#include "store/store.h"
#include "support.h"

#include <sys/un.h>

#include <chrono>
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

// Keeps each connection's line and answers "2", as pdns_server answers purge.
class FakeControl {
  public:
    FakeControl(const std::string& path, Lines& lines) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
        EXPECT_EQ(0, listen(fd_, 8));
        thread_ = std::thread([this, &lines] {
            for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0; close(c)) {
                std::string line;
                for (char ch; line.find('\n') == line.npos && read(c, &ch, 1) == 1;)
                    line += ch;
                lines.add(line);
                EXPECT_EQ(1, write(c, "2", 1));
            }
        });
    }
    ~FakeControl() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }

  private:
    int fd_;
    std::thread thread_;
};

// Polls `done` for at most five seconds.
template <typename Done> bool eventually(Done done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(DnsPurge, PurgeableNames) {
    for (const char* name : {"a.example$", "dyn.example", "*.a.example", "x-1.a.example"})
        EXPECT_TRUE(purgeable(name)) << name;
    for (const char* name : {"", "$", "a..example$", ".a.example", "A.example", "a example",
                             "a.example$$", "a\n.example", "a.example.", "a$.example"})
        EXPECT_FALSE(purgeable(name)) << name;
    EXPECT_FALSE(purgeable(std::string(64, 'a') + ".example"));
}

// The one list of changed names is the store's, told as each transaction
// commits: each host whose records changed with every name under it, and
// the apex of its zone; nothing of an update it refused or that changed
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
    store.apply({updates[2]}, 1);
    heard.clear();
    // Changed, not owned, unchanged, changed.
    EXPECT_EQ((std::vector<bool>{true, false, false, true}), changed(store.apply(updates, 2)));
    EXPECT_EQ((std::vector<std::vector<std::string>>{
                  {"a.dyn.example$", "d.other.example$", "dyn.example", "other.example"}}),
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
    ASSERT_TRUE(eventually([&] { return log.count("through " + path + " again"); }));
    EXPECT_EQ(std::vector<std::string>{"purge a.example$ example\n"}, sent.all);
    EXPECT_EQ(1u, log.count("cannot purge"));
    EXPECT_EQ(1u, log.count("'a..example$' is no host name"));
}

} // namespace
} // namespace tovix::server::test
